// Bad local files: configuration.txt, the members list and the two logs
// broken in the ways a person editing them by hand, or a full or locked
// disk, breaks them. Each gives the program's own error or the bot goes on
// without the file; none crashes, and nothing is written outside its files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/product_variant.h"
#include "app/stat_check_bot.h"
#include "tests/program_fixture.h"
#include "tests/server_texts.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using server::ServerOptions;
using testing_support::CountOf;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

class BadFilesTest : public ProgramTest {
 protected:
  void TearDown() override {
    if (bot_ != nullptr) ExpectNoSanitizerReport();
    bot_.reset();
    ExpectOnlyOwnFiles();
  }

  // Runs BWCorvane_fast with the configuration `contents` and expects it to
  // end with status 1 and exactly `error` on standard error, before it
  // connects and without a banner.
  void ExpectConfigurationError(const std::string& contents, const std::string& error) {
    WriteFile("configuration.txt", contents);
    Run(CORVANE_BW_FAST);
    EXPECT_EQ(1, bot_->Wait(20s));
    EXPECT_EQ(error, bot_->Stderr());
    EXPECT_EQ("", bot_->Stdout());
  }

  // Waits until the stand-in server answered `count` walks of alice and bob.
  bool WaitForWalks(int count, int connection = 1) {
    return WaitForLine("/stats alice SEXP", connection, count) &&
           WaitForLine("/stats bob SEXP", connection, count);
  }

  // Places the bot in its home channel again: a new walk begins.
  void EnterHomeChannelAgain() { server_->SendToAll(server::texts::kClanChannel); }

  bool StillRunning() { return bot_->Wait(0ms) == -1; }
};

// --- configuration.txt -------------------------------------------------------
// (Each of its messages is checked in ProgramTest.ConfigurationErrors...;
// these are the files that must not crash the reader.)

TEST_F(BadFilesTest, BinaryConfiguration) {
  // Every byte value in turn: the words are cut at the white-space bytes, and
  // the second word (bytes 14 to 31) is too long for a password.
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>(i % 256);
  StartServer();
  ExpectConfigurationError(binary, kConfigurationPasswordTooLong);
  EXPECT_EQ(0, server_->ConnectionCount());
}

TEST_F(BadFilesTest, HugeConfigurationWithOneEndlessWord) {
  // 16 MB without white space: read to its end and refused, not kept.
  StartServer();
  ExpectConfigurationError(std::string(16 << 20, 'x'), kConfigurationAccountNameTooLong);
}

TEST_F(BadFilesTest, HugeConfigurationAfterThreeGoodWords) {
  // Whatever follows the third word is never read, however much there is.
  WriteFile("configuration.txt", "statbot secret1 Clan\n" + std::string(16 << 20, '#'));
  StartServer();
  Run(CORVANE_BW_FAST);
  EXPECT_TRUE(WaitForWalks(1));
  EXPECT_TRUE(StillRunning());
}

TEST_F(BadFilesTest, ConfigurationWithAByteOrderMark) {
  // Editors may start the file with a UTF-8 byte-order mark; it is not part
  // of the account name the bot logs on with.
  WriteFile("configuration.txt", "\xEF\xBB\xBFstatbot secret1 Clan\r\n");
  StartServer();
  Run(CORVANE_BW_FAST);
  EXPECT_TRUE(WaitForLine("\x03\x04statbot"));
  EXPECT_TRUE(WaitForWalks(1));
  EXPECT_TRUE(StillRunning());
}

TEST_F(BadFilesTest, ConfigurationChangedWhileRunning) {
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForWalks(1));
  // A new home channel is taken at the next channel event...
  WriteFile("configuration.txt", "statbot secret1 Elsewhere\n");
  EnterHomeChannelAgain();
  EXPECT_TRUE(WaitForLine("/join Elsewhere "));
  // ...and a broken file then ends the bot with the configuration error.
  WriteFile("configuration.txt", "statbot\n");
  EnterHomeChannelAgain();
  EXPECT_EQ(1, bot_->Wait(20s));
  EXPECT_EQ(kConfigurationNotThreeWords, bot_->Stderr());
}

TEST_F(BadFilesTest, ConfigurationDeletedWhileRunning) {
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForWalks(1));
  ASSERT_TRUE(WaitForOutput("INFO: bob's record:"));
  ASSERT_EQ(0, std::remove("configuration.txt"));
  EnterHomeChannelAgain();
  EXPECT_EQ(1, bot_->Wait(20s));
  EXPECT_EQ(kConfigurationError, bot_->Stderr());
  EXPECT_NE(std::string::npos, ReadFile("BroodWar.log").find("'s record:"))
      << "the answers before stay in the result log";
}

// --- the members list -----------------------------------------------------

TEST_F(BadFilesTest, MembersListWithNulBytes) {
  WriteFile("bwmembers.txt", std::string("Members\nal\0ice\n\0\0\nbob\n", 23));
  StartServer();
  Run(CORVANE_BW_FAST);
  EXPECT_TRUE(WaitForLine("/stats bob SEXP"));
  EXPECT_TRUE(WaitForLine("/stats al SEXP")) << "a name ends at its NUL byte";
  EXPECT_TRUE(StillRunning());
}

TEST_F(BadFilesTest, MembersListWithoutAnyLineEnd) {
  // One line of 5000 characters: its first 100 are taken as the heading,
  // the next 100 as the name, the rest skipped.
  std::string line;
  for (int i = 0; i < 5000; ++i) line += static_cast<char>('a' + i % 26);
  WriteFile("bwmembers.txt", line);
  StartServer();
  Run(CORVANE_BW_FAST);
  EXPECT_TRUE(WaitForLine("/stats " + line.substr(100, 100) + " SEXP"));
  EnterHomeChannelAgain();
  EXPECT_TRUE(WaitForLine("/stats " + line.substr(100, 100) + " SEXP", 1, 2));
  std::vector<std::string> lines = LinesOf(1);
  EXPECT_EQ(2, std::count_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.rfind("/stats ", 0) == 0; }));
  EXPECT_TRUE(StillRunning());
}

// A members list the program cannot open: it ends with its own error, and
// no request is sent.
struct UnopenableListCase {
  const char* name;
  bool needsNonRoot;  // file permissions do not stop root from reading
  int (*prepare)();   // makes bwmembers.txt unopenable; 0 on success
  void (*restore)();
  friend void PrintTo(const UnopenableListCase& c, std::ostream* out) { *out << c.name; }
};

const UnopenableListCase kUnopenableLists[] = {
    // A folder cannot be read on any system: it is a missing list, as it has
    // always been on Windows.
    {"MembersListThatIsAFolder", false,
     [] { return std::remove("bwmembers.txt") + mkdir("bwmembers.txt", 0700); }, [] {}},
    {"MembersListMissing", false, [] { return std::remove("bwmembers.txt"); }, [] {}},
    {"MembersListUnreadable", true, [] { return chmod("bwmembers.txt", 0); },
     [] { chmod("bwmembers.txt", 0600); }},
};

class UnopenableListTest : public BadFilesTest, public testing::WithParamInterface<UnopenableListCase> {};

TEST_P(UnopenableListTest, EndsWithTheListsError) {
  const UnopenableListCase& c = GetParam();
  if (c.needsNonRoot && geteuid() == 0) GTEST_SKIP() << "running as root: permissions do not stop root";
  ASSERT_EQ(0, c.prepare());
  StartServer();
  Run(CORVANE_BW_FAST);
  EXPECT_EQ(1, bot_->Wait(20s));
  EXPECT_EQ(kBroodWarVariant.membersListError, bot_->Stderr());
  for (const std::string& line : LinesOf(1)) EXPECT_EQ(std::string::npos, line.find("/stats"));
  c.restore();
}

INSTANTIATE_TEST_SUITE_P(BadFiles, UnopenableListTest, testing::ValuesIn(kUnopenableLists),
                         [](const testing::TestParamInfo<UnopenableListCase>& info) {
                           return info.param.name;
                         });

// --- the logs ------------------------------------------------------------

TEST_F(BadFilesTest, ResultLogThatIsAFolder) {
  ASSERT_EQ(0, mkdir("BroodWar.log", 0700));
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForWalks(1));
  ASSERT_TRUE(WaitForOutput("INFO: bob's record:")) << "answers are printed all the same";
  EXPECT_TRUE(StillRunning());
  // Every line that could not be recorded is told, with the system's code.
  const std::string lost = "Cannot open the result log BroodWar.log: error code " + std::to_string(EISDIR) +
                           "; an answer was printed but not recorded\r\n";
  const std::string out = bot_->Stdout();
  const std::string log = ReadFile("corvane.log");
  EXPECT_EQ(CountOf(out, "INFO: ") + CountOf(out, "\nERROR: "), CountOf(log, lost))
      << "one line for each lost answer:\n"
      << log;
  // Once the log can be written again, the next answers are kept.
  ASSERT_EQ(0, rmdir("BroodWar.log"));
  EnterHomeChannelAgain();
  ASSERT_TRUE(WaitForWalks(2));
  EXPECT_TRUE(server_->WaitFor(
      [](const server::ChatServer&) {
        return ReadFile("BroodWar.log").find("bob's record:") != std::string::npos;
      },
      10s));
}

TEST_F(BadFilesTest, ResultLogOnAFullDisk) {
  ASSERT_EQ(0, symlink("/dev/full", "BroodWar.log"));
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForOutput("INFO: bob's record:"));
  EXPECT_TRUE(StillRunning());
  EXPECT_NE(std::string::npos,
            ReadFile("corvane.log")
                .find("Cannot write the result log BroodWar.log: error code " + std::to_string(ENOSPC) +
                      "; an answer was printed but not recorded\r\n"));
  ASSERT_EQ(0, unlink("BroodWar.log"));
}

TEST_F(BadFilesTest, DiagnosticLogThatIsAFolder) {
  ASSERT_EQ(0, mkdir("corvane.log", 0700));
  ServerOptions options;
  options.rawAfterWelcome = "1020 NEWS \"not handled\"\r\n";
  StartServer(options);
  Run(CORVANE_BW_FAST);
  EXPECT_TRUE(WaitForWalks(1));
  EXPECT_TRUE(WaitForOutput("INFO: bob's record:"));
  server_->CloseAll();
  EXPECT_TRUE(WaitForWalks(1, 2)) << "reconnects and walks without its diagnostic log";
  EXPECT_NE(std::string::npos, ReadFile("BroodWar.log").find("bob's record:"));
  ASSERT_EQ(0, rmdir("corvane.log"));
}

TEST_F(BadFilesTest, ReadOnlyFolder) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "running as root: a read-only folder does not stop root from writing";
  }
  ASSERT_EQ(0, chmod(scratch_.path().c_str(), 0500));
  StartServer();
  Run(CORVANE_BW_FAST);
  EXPECT_TRUE(WaitForWalks(1));
  EXPECT_TRUE(WaitForOutput("INFO: bob's record:"));
  EXPECT_TRUE(StillRunning());
  chmod(scratch_.path().c_str(), 0700);
  EXPECT_FALSE(FileExists("BroodWar.log"));
  EXPECT_FALSE(FileExists("corvane.log"));
}

// --- a million names, in process ------------------------------------------

// Counts the stats commands instead of sending them; sleeps are not waited.
class CountingEnvironment : public testing_support::ScriptedEnvironment {
 public:
  long commands = 0;
  std::string last;
  long SendSome(SocketHandle, const char* data, std::size_t size) override {
    ++commands;
    last.assign(data, size);
    return static_cast<long>(size);
  }
  void Sleep(unsigned) override {}
};

TEST(MembersListWalk, AMillionNamesInFlatMemory) {
  testing_support::ScratchDirectory scratch;
  CountingEnvironment environment;
  StatCheckBot bot(kBroodWarVariant, environment);
  bot.Configure("statbot", "secret1", "127.0.0.1", 6112);
  ASSERT_EQ(1, bot.Connect());
  // Every name is printed as it is read: send the million lines nowhere.
  std::fflush(stdout);
  int console = dup(1);
  int null = open("/dev/null", O_WRONLY);
  ASSERT_GE(console, 0);
  ASSERT_GE(null, 0);
  dup2(null, 1);
  // A walk past the requests' fixed storage first, so that the stdio buffers
  // exist and every page of that storage has been touched before measuring.
  std::string warm = "Members\n";
  for (int i = 0; i < kRequestQueueCapacity + 100; ++i) warm += "warm" + std::to_string(i) + "\n";
  WriteFile("bwmembers.txt", warm);
  bot.WalkMembersList();
  {
    std::ofstream list("bwmembers.txt", std::ios::binary | std::ios::trunc);
    list << "Members\n";
    for (int i = 0; i < 1000000; ++i) list << "player" << i << "\n";
  }
  long before = testing_support::StatusFieldKb("self", "VmRSS");
  long commandsBefore = environment.commands;
  bot.WalkMembersList();
  long after = testing_support::StatusFieldKb("self", "VmRSS");
  std::fflush(stdout);
  dup2(console, 1);
  close(console);
  close(null);
  std::printf("a million names: %ld kB resident before the walk, %ld kB after\n", before, after);
  EXPECT_EQ(1000000, environment.commands - commandsBefore);
  EXPECT_EQ("/stats player999999 SEXP\r\n", environment.last);
  EXPECT_LE(after - before, 256) << "resident memory grew from " << before << " to " << after
                                 << " kB over the walk";
}

}  // namespace
}  // namespace corvane
