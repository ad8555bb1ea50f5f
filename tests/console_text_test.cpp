// What local files put on the console: their control bytes show as '?', as
// the server's do; and a diagnostic log that cannot be opened is said once.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "server/server_options.h"
#include "tests/program_fixture.h"

namespace corvane {
namespace {

using testing_support::WriteFile;

struct ConsoleCase {
  const char* what;
  std::string configuration;
  std::string members;
  int refuseLogons;
  std::string shown;  // on standard output, control bytes as '?'
  std::string sent;   // a line the server receives as the file gives it
};

const ConsoleCase kConsoleCases[] = {
    {"member name", "statbot secret1 Clan\n", "Members\nal\x1b[2J\xe9\x7f\x01oz\nbob\n", 0,
     "Reading name: al?[2J\xe9??oz\n", "/stats al\x1b[2J\xe9\x7f\x01oz SEXP"},
    {"account", "st\x1b]0;x\x07\x7f secret1 Clan\n", "Members\nbob\n", 1,
     "*** LOGON REFUSED FOR: st?]0;x?? ***", "\x03\x04st\x1b]0;x\x07\x7f"},
    {"home channel", "statbot secret1 Cl\x1b[1m\xe9\x7fn\n", "Members\nbob\n", 0, "\n/join Cl?[1m\xe9?n \n",
     "/join Cl\x1b[1m\xe9\x7fn "},
};

class ConsoleTextTest : public ProgramTest {};

TEST_F(ConsoleTextTest, ControlBytesOfLocalFilesShowAsQuestionMarks) {
  for (const ConsoleCase& c : kConsoleCases) {
    SCOPED_TRACE(c.what);
    WriteFile("configuration.txt", c.configuration);
    WriteFile("bwmembers.txt", c.members);
    server::ServerOptions options;
    options.refuseLogons = c.refuseLogons;
    StartServer(options);
    Run(CORVANE_BW_FAST);
    EXPECT_TRUE(WaitForOutput(c.shown)) << bot_->Stdout();
    EXPECT_TRUE(WaitForLine(c.sent)) << "the server gets the text as the file gives it";
    const std::string out = bot_->Stdout();
    EXPECT_TRUE(std::none_of(out.begin(), out.end(), [](unsigned char u) {
      return (u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0x7f;
    })) << "a control byte on the console";
    bot_->Stop();
    ExpectNoSanitizerReport();
    server_.reset();
  }
}

TEST_F(ConsoleTextTest, UnopenableDiagnosticLogIsSaidOnceAndTheRunGoesOn) {
  ASSERT_EQ(0, mkdir("corvane.log", 0700));
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForLine("/stats bob SEXP"));
  server_->CloseAll();
  EXPECT_TRUE(WaitForLine("/stats bob SEXP", 2)) << "reconnects and walks without its diagnostic log";
  EXPECT_EQ("Cannot open the diagnostic log corvane.log: error code " + std::to_string(EISDIR) +
                "; the run goes on without it\n",
            bot_->Stderr());
  bot_->Stop();
  ExpectNoSanitizerReport();
  ASSERT_EQ(0, rmdir("corvane.log"));
}

}  // namespace
}  // namespace corvane
