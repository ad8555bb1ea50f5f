// The shipped BWCorvane's sources with their real timing (BWCorvane_slow,
// whose server is at this build tree's slow test port) against the stand-in
// server.
#include "tests/program_fixture.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using server::ReceivedLine;
using server::ServerOptions;

// The shipped program, real pauses: the join 5 s after the logon; in the
// channel, 2 s to settle, then stats requests 5 s apart. The pauses are
// bounded below from the bot's start, which holds them however late the
// server reads; the gaps between arrivals are bounded above with 1.5 s of
// slack for a busy machine. (The unit tests check the exact pauses asked
// for; this checks that the real platform keeps them, not a fiftieth.)
TEST_F(ProgramTest, SlowShippedProgramKeepsItsRealPauses) {
  ServerOptions options;
  options.firstChannel = "Clan Lobby";
  StartServer(options, CORVANE_SLOW_TEST_PORT);
  Run(CORVANE_BW_SLOW);
  ASSERT_TRUE(WaitForLine("/stats bob SEXP", 1, 1, 40s));
  StopBot();
  std::vector<ReceivedLine> lines = server_->Lines();
  auto find = [&](const std::string& text) {
    return std::find_if(lines.begin(), lines.end(), [&](const ReceivedLine& l) { return l.text == text; })
        ->at;
  };
  EXPECT_GE(SinceStart(find("/join Clan")), 5s);
  EXPECT_GE(SinceStart(find("/stats alice SEXP")), 5s + 2s + 5s);
  EXPECT_GE(SinceStart(find("/stats bob SEXP")), 5s + 2s + 5s + 5s);
  EXPECT_LE(find("/join Clan") - find("secret1"), 5s + 1500ms);
  EXPECT_LE(find("/stats bob SEXP") - find("/stats alice SEXP"), 5s + 1500ms);
}

}  // namespace
}  // namespace corvane
