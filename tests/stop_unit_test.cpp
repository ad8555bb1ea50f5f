// A stop request, driven through the fake environment: what the bot still
// sends, how long it reads on, and the rows and lines it leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "app/program.h"
#include "app/stat_check_bot.h"
#include "tests/test_support.h"

namespace corvane {
namespace {

using namespace testing_support;

std::string Record(const std::string& name) { return "1018 INFO \"" + name + "'s record:\"\r\n"; }

// The parts of `text` between `separator`s; none of an empty text.
std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

struct StopCase {
  const char* what;
  long stopAtSleep;      // 1: the pause after the channel event; 2 on: before each request
  int stopAtWait;        // a second request in this wait; -1 none
  const char* reads;     // after the channel event, each read's records, "|" between reads; "-" a timeout
  const char* rows;      // "player status", "|" between rows: also the requests sent, in order
  int waits;             // the wait for answers ended after this many waits
  int read, unanswered;  // as the log tells them
};

// The walk of alice, bob, carol, dave; the channel event starts it in the
// first read. The script ends with a line no answer awaits: read, it would
// become an unattributed row.
const StopCase kStopCases[] = {
    {"a stop in the pause before the fourth request, the three answers come", 5, -1, "alice bob|carol|-",
     "alice record|bob record|carol record", 4, 3, 0},
    {"two answers never come: the wait gives up after 10 s of program time", 4, -1,
     "alice|-|-|-|-|-|-|-|-|-|-|-|-", "alice record|bob unanswered", 12, 1, 1},
    {"a second request ends the wait at once", 5, 3, "alice|-|-|-",
     "alice record|bob unanswered|carol unanswered", 3, 1, 2},
    {"a stop in the pause after the channel event: no walk, no join", 1, -1, "-", "", 1, 0, 0},
};

void PrintTo(const StopCase& c, std::ostream* out) { *out << c.what; }

class StopTest : public testing::TestWithParam<StopCase> {};

TEST_P(StopTest, SendsNothingMoreReadsTheAnswersAskedForAndWritesTheirRows) {
  const StopCase& c = GetParam();
  ScriptedBot scripted("alice\nbob\ncarol\ndave\n");
  auto& [folder, environment, bot] = scripted;
  ASSERT_EQ(1, bot.Connect());
  std::vector<std::string> script = {"1007 CHANNEL \"Clan\"\r\n"};
  for (const std::string& read : Split(c.reads, '|')) {
    script.push_back(read == "-" ? ScriptedEnvironment::kTimeout : "");
    for (const std::string& name : Split(read == "-" ? "" : read, ' ')) script.back() += Record(name);
  }
  script.push_back(Record("zed"));
  environment.Script(script);
  environment.stopAtSleep = c.stopAtSleep;
  environment.stopAtWait = c.stopAtWait;
  testing::internal::CaptureStdout();
  bot.ReceiveLoop();
  bot.FinishStop();
  const std::string out = testing::internal::GetCapturedStdout();
  const std::vector<std::string> rows = Split(c.rows, '|');
  std::string sent;
  for (const std::string& row : rows) sent += "/stats " + row.substr(0, row.find(' ')) + " SEXP\r\n";
  EXPECT_EQ(sent, environment.sent);
  EXPECT_EQ(c.waits, environment.waits);
  EXPECT_EQ(rows, ResultRows("BroodWar.csv"));
  EXPECT_EQ(!rows.empty(), FileExists("BroodWar.html")) << "the page follows the rows";
  for (const std::string& row : rows) {
    const std::string player = row.substr(0, row.find(' '));
    EXPECT_NE(std::string::npos, ReadFile("BroodWar.html").find(player))
        << "the page shows every row: " << player;
  }
  EXPECT_EQ(StoppedLogLine("SIGTERM", c.read, c.unanswered), WithoutLogTimes(ReadFile("corvane.log")));
  EXPECT_NE(std::string::npos, out.find("*** STOPPED BY SIGTERM ***")) << out;
  EXPECT_FALSE(bot.logIsOpen());
  EXPECT_EQ(kInvalidSocket, bot.socket());
}

INSTANTIATE_TEST_SUITE_P(Stops, StopTest, testing::ValuesIn(kStopCases),
                         [](const testing::TestParamInfo<StopCase>& info) {
                           return "Case" + std::to_string(info.index);
                         });

// Pauses outside the receive loop: the connect retries, and the pause
// between the logon and the join.
TEST(StopRun, AStopInTheConnectRetriesOrTheLogonPauseEndsTheRunWithStatusZero) {
  struct {
    int connectFailures;
    long stopAtSleep;
    std::size_t connects;
    std::string sent;
  } const cases[] = {{10, 2, 2, ""}, {0, 1, 1, "\x03\x04statbot\r\nsecret1\r\n"}};
  for (const auto& c : cases) {
    ScratchDirectory scratch;
    ScriptedEnvironment environment;
    StatCheckBot bot(kBroodWarVariant, environment);
    WriteFile("configuration.txt", "statbot secret1 Clan\n");
    environment.connectFailures = c.connectFailures;
    environment.stopAtSleep = c.stopAtSleep;
    environment.stopName = "SIGINT";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, RunProgram(bot, environment, "127.0.0.1", 6112));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string::npos, testing::internal::GetCapturedStderr().find("attempts")) << "no failed run";
    EXPECT_EQ(1, environment.handlersInstalled);
    EXPECT_EQ(1, environment.stopsFinished);
    EXPECT_EQ(c.connects, environment.connectTimeouts.size());
    EXPECT_EQ(c.sent, environment.sent) << "no join after a stop";
    const std::string log = WithoutLogTimes(ReadFile("corvane.log"));
    const std::string stopped = StoppedLogLine("SIGINT", 0, 0);
    EXPECT_EQ(stopped, log.substr(log.size() - std::min(log.size(), stopped.size()))) << log;
  }
}

}  // namespace
}  // namespace corvane
