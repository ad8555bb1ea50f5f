// The shipped BWCorvane's sources with their real timing (BWCorvane_slow,
// whose server is at this build tree's slow test port) against the stand-in
// server.
#include "tests/program_fixture.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using server::ReceivedLine;
using server::ServerOptions;

// The shipped program, real pauses: the join 5 s after the logon, and stats
// requests 5 s apart, each within 10%.
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
  auto seconds = [](auto d) { return std::chrono::duration<double>(d).count(); };
  EXPECT_NEAR(5.0, seconds(find("/join Clan") - find("secret1")), 0.5);
  EXPECT_NEAR(5.0, seconds(find("/stats bob SEXP") - find("/stats alice SEXP")), 0.5);
}

}  // namespace
}  // namespace corvane
