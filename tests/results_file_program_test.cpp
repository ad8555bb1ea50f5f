// The results file of the real programs, against the stand-in server.
#include "tests/program_fixture.h"
#include "tests/results_conversation.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing_support::ReadFile;
using testing_support::ResultsOfTheConversation;
using testing_support::WithoutUtcTimes;
using testing_support::WriteFile;

class ResultsFileProgramTest : public ProgramTest {
 protected:
  // Runs `program` through the scripted conversation and returns its
  // results file `fileName` once the last row is in it.
  std::string Converse(const char* program, const char* fileName) {
    server::ServerOptions options;
    options.scripts = {testing_support::AnswerTheWalkAndCloseMidAnswer, testing_support::NameTheBotAndListen};
    StartServer(options);
    Run(program);
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ReadFile(fileName).find("frank,unanswered") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    bot_->Stop();
    return ReadFile(fileName);
  }

  // Every row of one walk carries its start; no answer was read before it.
  static void ExpectOneWalkTime(const std::string& results) {
    std::string walk;
    std::size_t at = results.find("\r\n") + 2;
    for (std::size_t end; (end = results.find("\r\n", at)) != std::string::npos; at = end + 2) {
      std::string row = results.substr(at, end - at);
      if (row[0] == ',') continue;  // unattributed: no walk
      std::string rowWalk = row.substr(0, 20), time = row.substr(21, 20);
      if (walk.empty()) walk = rowWalk;
      EXPECT_EQ(walk, rowWalk) << row;
      EXPECT_LE(rowWalk, time) << row;
    }
  }
};

TEST_F(ResultsFileProgramTest, BroodWarWritesOneRowPerRequestWithItsStatusAndFigures) {
  WriteFile("bwmembers.txt", testing_support::kResultsMembers);
  const std::string results = Converse(CORVANE_BW_FAST, "BroodWar.csv");
  EXPECT_EQ(ResultsOfTheConversation(), WithoutUtcTimes(results));
  ExpectOneWalkTime(results);
  EXPECT_EQ(std::string::npos, bot_->Stdout().find("other columns"));
}

TEST_F(ResultsFileProgramTest, StarcraftWritesTheSameRowsToItsOwnFile) {
  WriteFile("scmembers.txt", testing_support::kResultsMembers);
  const std::string results = Converse(CORVANE_SC_FAST, "Starcraft.csv");
  EXPECT_EQ(ResultsOfTheConversation(), WithoutUtcTimes(results));
  EXPECT_FALSE(testing_support::FileExists("BroodWar.csv"));
}

TEST_F(ResultsFileProgramTest, AnOrdinaryWalkGivesOneRecordPerName) {
  WriteFile("bwmembers.txt", "Members\nalice\nnobody\nbob\n");
  server::ServerOptions options;
  options.players = {"alice", "bob"};
  StartServer(options);
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForOutput(AnswerLines("bob", "SEXP", "INFO: ", " \r\n")));
  // The last answer is complete after a second without a line.
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (ReadFile("BroodWar.csv").find(",bob,") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  bot_->Stop();
  std::vector<std::string> alice = server::StatsAnswer("alice", "SEXP");
  std::vector<std::string> bob = server::StatsAnswer("bob", "SEXP");
  const std::string rows = WithoutUtcTimes(ReadFile("BroodWar.csv"));
  const std::size_t header = rows.find("\r\n") + 2;
  EXPECT_EQ("T,T,alice,record,", rows.substr(header, 17));
  EXPECT_NE(std::string::npos, rows.find(",alice's record: | " + alice[1] + " | " + alice[2] + "\r\n"));
  EXPECT_NE(std::string::npos, rows.find("T,T,nobody,unknown,,,,,,,,,,,Invalid user.\r\n"));
  EXPECT_NE(std::string::npos, rows.find(",bob's record: | " + bob[1] + " | " + bob[2] + "\r\n"));
  EXPECT_EQ(4, std::count(rows.begin(), rows.end(), '\n')) << rows;
}

}  // namespace
}  // namespace corvane
