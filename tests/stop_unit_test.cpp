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

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScratchDirectory;
using testing_support::ScriptedEnvironment;
using testing_support::WithoutLogTimes;
using testing_support::WriteFile;

const char* const kTimeout = ScriptedEnvironment::kTimeout;

std::string Record(const std::string& name) { return "1018 INFO \"" + name + "'s record:\"\r\n"; }

// "player status" of each row of a results file, in order.
std::vector<std::string> Rows(const std::string& csv) {
  std::vector<std::string> rows;
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');) fields.push_back(cell);
    rows.push_back(fields.at(2) + " " + fields.at(3));
  }
  return rows;
}

struct StopCase {
  const char* what;
  long stopAtSleep;  // 1: the pause after the channel event; 2 on: before each request
  int stopAtWait;    // a second request in this wait; -1 none
  std::vector<std::string> afterChannel;
  std::string sent;
  std::vector<std::string> rows;
  int waits;  // the wait for answers ended after this many waits
  const char* logged;
};

// The walk of alice, bob, carol, dave; the channel event starts it in the
// first read. The script ends with a line no answer awaits: read, it would
// become an unattributed row.
const StopCase kStopCases[] = {
    {"a stop in the pause before the fourth request, the three answers come",
     5,
     -1,
     {Record("alice") + Record("bob"), Record("carol"), kTimeout},
     "/stats alice SEXP\r\n/stats bob SEXP\r\n/stats carol SEXP\r\n",
     {"alice record", "bob record", "carol record"},
     4,
     "read 3 and left 0 unanswered"},
    {"two answers never come: the wait gives up after 10 s of program time",
     4,
     -1,
     {Record("alice"), kTimeout, kTimeout, kTimeout, kTimeout, kTimeout, kTimeout, kTimeout, kTimeout,
      kTimeout, kTimeout, kTimeout, kTimeout},
     "/stats alice SEXP\r\n/stats bob SEXP\r\n",
     {"alice record", "bob unanswered"},
     12,
     "read 1 and left 1 unanswered"},
    {"a second request ends the wait at once",
     5,
     3,
     {Record("alice"), kTimeout, kTimeout, kTimeout},
     "/stats alice SEXP\r\n/stats bob SEXP\r\n/stats carol SEXP\r\n",
     {"alice record", "bob unanswered", "carol unanswered"},
     3,
     "read 1 and left 2 unanswered"},
    {"a stop in the pause after the channel event: no walk, no join",
     1,
     -1,
     {kTimeout},
     "",
     {},
     1,
     "read 0 and left 0 unanswered"},
};

void PrintTo(const StopCase& c, std::ostream* out) { *out << c.what; }

class StopTest : public testing::TestWithParam<StopCase> {};

TEST_P(StopTest, SendsNothingMoreReadsTheAnswersAskedForAndWritesTheirRows) {
  const StopCase& c = GetParam();
  ScratchDirectory scratch;
  ScriptedEnvironment environment;
  StatCheckBot bot(kBroodWarVariant, environment);
  WriteFile("configuration.txt", "statbot secret1 Clan\n");
  WriteFile("bwmembers.txt", "Members\nalice\nbob\ncarol\ndave\n");
  ASSERT_EQ(1, bot.OpenLog("corvane.log"));
  bot.Configure("statbot", "secret1", "127.0.0.1", 6112);
  ASSERT_EQ(1, bot.Connect());
  std::vector<std::string> script = {"1007 CHANNEL \"Clan\"\r\n"};
  script.insert(script.end(), c.afterChannel.begin(), c.afterChannel.end());
  script.push_back(Record("zed"));
  environment.Script(script);
  environment.stopAtSleep = c.stopAtSleep;
  environment.stopAtWait = c.stopAtWait;
  testing::internal::CaptureStdout();
  bot.ReceiveLoop();
  bot.FinishStop();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(c.sent, environment.sent);
  EXPECT_EQ(c.waits, environment.waits);
  EXPECT_EQ(c.rows, Rows(FileExists("BroodWar.csv") ? ReadFile("BroodWar.csv") : ""));
  EXPECT_EQ(!c.rows.empty(), FileExists("BroodWar.html")) << "the page follows the rows";
  for (const std::string& row : c.rows) {
    const std::string player = row.substr(0, row.find(' '));
    EXPECT_NE(std::string::npos, ReadFile("BroodWar.html").find(player))
        << "the page shows every row: " << player;
  }
  EXPECT_EQ(std::string("Stopped by SIGTERM: the wait for answers ") + c.logged + "\r\n",
            WithoutLogTimes(ReadFile("corvane.log")));
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
  } const cases[] = {
      {10, 2, 2, ""},
      {0, 1, 1, "\x03\x04statbot\r\nsecret1\r\n"},
  };
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
    const std::string stopped = "Stopped by SIGINT: the wait for answers read 0 and left 0 unanswered\r\n";
    EXPECT_EQ(stopped, log.substr(log.size() - std::min(log.size(), stopped.size()))) << log;
  }
}

}  // namespace
}  // namespace corvane
