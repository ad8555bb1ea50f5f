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

}  // namespace
}  // namespace corvane
