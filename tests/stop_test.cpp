// The real programs stopped by a signal (the Windows programs under wine by
// their console control handler): during a walk, with the stand-in server
// answering or not, and while idle.
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "server/scripted_connection.h"
#include "tests/program_fixture.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using server::ScriptedConnection;
using server::ServerOptions;

// SIGINT as the program names it: under wine it is the console's Ctrl-C,
// which is also the stop that kStopSignal sends there.
const char* const kIdleStopName = kStopSignal == SIGINT ? kStopSignalName : "SIGINT";

// The stop waits for answers 10 s of program time (0.2 s in the test
// builds), and notices their end after one quiet second of the receive
// loop's wait, which is not scaled; the rest is slack for a busy machine.
constexpr auto kStopBound = 6s;

class StopTest : public ProgramTest, public testing::WithParamInterface<TestedProgram> {
 protected:
  // Walks six names; the script stops the bot (kStopSignal) once the
  // third request arrived, then answers every request it read (when
  // `answer`) and reads on until the bot closes the connection. One row per
  // request sent: the answered ones, the rest unanswered.
  void StopDuringTheWalk(bool answer) {
    WriteFile(GetParam().variant.membersListFile, "Members\nn1\nn2\nn3\nn4\nn5\nn6\n");
    ServerOptions options;
    options.scripts = {[this, answer](ScriptedConnection& c) {
      if (!c.Welcome()) return;
      c.Send("1007 CHANNEL \"Clan\"\r\n");
      std::vector<std::string> names;
      std::string line;
      while (names.size() < 3 && c.ReadLine(&line)) {
        if (line.rfind("/stats ", 0) == 0) names.push_back(line.substr(7, line.find(' ', 7) - 7));
      }
      kill(BotPid(), kStopSignal);
      stoppedAt_ = std::chrono::steady_clock::now();
      for (const std::string& name : names) {
        if (answer) c.Send("1018 INFO \"" + name + "'s record:\"\r\n1018 INFO \"Normal games: 1-2-3\"\r\n");
      }
      while (c.ReadLine(&line)) {
      }
    }};
    StartServer(options);
    Run(GetParam().path);
    EXPECT_EQ(0, bot_->Wait(60s));
    EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt_.load(), kStopBound);
    EXPECT_TRUE(WaitForAllConnectionsEnded());
    // Only a request already on its way when the signal came may follow
    // the third: the walk ends at the stop.
    std::vector<std::string> expected;
    for (const server::ReceivedLine& line : RequestsOf(1))
      expected.push_back(line.text.substr(7, 2) +
                         (answer && expected.size() < 3 ? " record" : " unanswered"));
    EXPECT_GE(expected.size(), 3u);
    EXPECT_LE(expected.size(), 4u);
    EXPECT_EQ(expected, ResultRows(GetParam().variant.resultsFile)) << "one row per request sent";
    EXPECT_TRUE(FileExists(GetParam().variant.reportPageFile));
    const int read = answer ? 3 : 0;
    EXPECT_NE(std::string::npos,
              WithoutLogTimes(ReadFile("corvane.log"))
                  .find(StoppedLogLine(kStopSignalName, read, int(expected.size()) - read)));
    ExpectNoSanitizerReport();
  }

  std::atomic<std::chrono::steady_clock::time_point> stoppedAt_{std::chrono::steady_clock::now() + 1h};
};

// The script answers the three requests it read before the signal.
TEST_P(StopTest, AStopDuringAWalkWritesTheRowsOfTheAnswersItStillReads) { StopDuringTheWalk(true); }

TEST_P(StopTest, AStopWhileAnswersAreMissingWritesThemUnanswered) { StopDuringTheWalk(false); }

TEST_P(StopTest, SigintWhileIdleEndsWithinASecond) {
  WriteFile(GetParam().variant.membersListFile, "Members\nn1\n");
  StartServer();
  Run(GetParam().path);
  // The page is written after the walk's answers and a quiet second: the
  // bot is idle then, waiting for the server's next line.
  ASSERT_TRUE(WaitUntil([] { return FileExists(GetParam().variant.reportPageFile); })) << "no page";
  auto stopped = std::chrono::steady_clock::now();
  kill(bot_->pid(), SIGINT);
  EXPECT_EQ(0, bot_->Wait(20s));
  // Within a second, with slack for a busy machine.
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 3s);
  EXPECT_EQ(std::vector<std::string>{"n1 record"}, ResultRows(GetParam().variant.resultsFile));
  EXPECT_NE(std::string::npos, bot_->Stdout().find(std::string("\n*** STOPPED BY ") + kIdleStopName +
                                                   " *** (0 answers read, 0 unanswered) \r\n"));
  EXPECT_NE(std::string::npos,
            WithoutLogTimes(ReadFile("corvane.log")).find(StoppedLogLine(kIdleStopName, 0, 0)));
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, StopTest, testing::ValuesIn(kTestedPrograms), TestedProgramName);

}  // namespace
}  // namespace corvane
