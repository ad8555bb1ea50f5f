// The real programs, with scaled pauses, against the stand-in chat server.
#include "tests/program_fixture.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using server::ChatServer;
using server::ReceivedLine;
using server::ServerOptions;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

std::string AnswerLines(const std::string& name, const std::string& product,
                        const std::string& before, const std::string& after) {
  std::string lines;
  for (const std::string& text : server::StatsAnswer(name, product)) lines += before + text + after;
  return lines;
}

TEST_F(ProgramTest, BroodWarCheckLogsOnJoinsWalksAndRecordsTheAnswers) {
  ServerOptions options;
  options.rawAfterWelcome = "1020 NEWS \"not handled\"\r\n";
  StartServer(options);
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForLine("/stats bob SEXP"));
  std::string bobAnswers = AnswerLines("bob", "SEXP", "INFO: ", " \r\n");
  ASSERT_TRUE(WaitForOutput(bobAnswers));
  bot_->Stop();

  std::string received;
  for (const auto& chunk : server_->Chunks()) {
    if (chunk.connection == 1) received += chunk.bytes;
  }
  EXPECT_EQ(0u, received.find("\x03\x04statbot\r\nsecret1\r\n/join Clan\r\n")) << received;
  std::vector<std::string> lines = LinesOf(1);
  auto alice = std::find(lines.begin(), lines.end(), "/stats alice SEXP");
  ASSERT_NE(lines.end(), alice);
  EXPECT_EQ("/stats bob SEXP", *(alice + 1));

  std::string out = bot_->Stdout();
  EXPECT_EQ(0u, out.find(Banner("\t\t", "Brood War")));
  EXPECT_NE(std::string::npos, out.find("\n*** LOGGED ON AS: statbot *** \r\n"));
  EXPECT_NE(std::string::npos, out.find("\nJoined Channel Clan \r\nReading name: alice\nReading name: bob\n"));
  EXPECT_NE(std::string::npos, out.find(AnswerLines("alice", "SEXP", "INFO: ", " \r\n")));

  std::string results = ReadFile("BroodWar.log");
  EXPECT_NE(std::string::npos, results.find(AnswerLines("alice", "SEXP", "", " \r\n") +
                                            AnswerLines("bob", "SEXP", "", " \r\n")));
  EXPECT_NE(std::string::npos, results.find("ERROR: Hello statbot, welcome! \r\n"));
  EXPECT_FALSE(FileExists("Starcraft.log"));
  EXPECT_NE(std::string::npos, ReadFile("corvane.log").find("Unhandled event ID 1020\r\n"))
      << "the diagnostic log keeps its slot after the first answer";
}

TEST_F(ProgramTest, StarcraftCheckUsesItsOwnProductListAndLog) {
  StartServer();
  Run(CORVANE_SC_FAST);
  ASSERT_TRUE(WaitForLine("/stats bob1 STAR"));
  ASSERT_TRUE(WaitForOutput(AnswerLines("bob1", "STAR", "INFO: ", " \r\n")));
  bot_->Stop();
  EXPECT_EQ(0u, bot_->Stdout().find(Banner("\t\t\t", "Starcraft")));
  EXPECT_NE(std::string::npos,
            ReadFile("Starcraft.log").find(AnswerLines("bob1", "STAR", "", " \r\n")));
  EXPECT_FALSE(FileExists("BroodWar.log"));
}

TEST_F(ProgramTest, JoinFollowsTheLogonAfterTheScaledFiveSeconds) {
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForLine("/join Clan"));
  bot_->Stop();
  std::vector<ReceivedLine> lines = server_->Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ("\x03\x04statbot", lines[0].text);
  EXPECT_EQ("secret1", lines[1].text);
  EXPECT_EQ("/join Clan", lines[2].text);
  EXPECT_GE(lines[2].at - lines[1].at, 90ms) << "5000 ms divided by 50";
}

TEST_F(ProgramTest, ReconnectsLogsOnAndWalksAgainAfterTheServerCloses) {
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForLine("/stats alice SEXP"));
  server_->CloseAll();
  ASSERT_TRUE(WaitForLine("/stats alice SEXP", 2));
  bot_->Stop();
  std::vector<std::string> second = LinesOf(2);
  ASSERT_GE(second.size(), 3u);
  EXPECT_EQ("\x03\x04statbot", second[0]);
  EXPECT_EQ("/join Clan", second[2]);
  EXPECT_NE(std::string::npos, ReadFile("corvane.log").find("recv() returned "));
}

TEST_F(ProgramTest, ReconnectsWhenTheServerClosesRightAfterTheLogon) {
  ServerOptions options;
  options.closeAfterLogon = true;
  StartServer(options);
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.ConnectionCount() >= 3; }, 10s));
  ASSERT_TRUE(WaitForLine("\x03\x04statbot", 3));
  bot_->Stop();
  EXPECT_EQ(Banner("\t\t", "Brood War"), bot_->Stdout()) << "nothing but the banner is printed";
}

TEST_F(ProgramTest, AsksToJoinAgainWhenPlacedInAnotherChannel) {
  ServerOptions options;
  options.firstChannel = "Clan Lobby";  // contains the home channel: no re-join for it
  options.redirectChannel = "The Void";
  options.redirectJoins = 1;
  StartServer(options);
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForLine("/join Clan "));
  ASSERT_TRUE(WaitForOutput("\nJoined Channel The Void \r\n\n/join Clan \n"));
  ASSERT_TRUE(WaitForOutput("\nJoined Channel Clan \r\n"));
  bot_->Stop();
}

TEST_F(ProgramTest, RefusedJoinsArePrintedAndNotAnswered) {
  ServerOptions options;
  options.fullChannels = {"Clan"};
  StartServer(options);
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForOutput("\n***Channel is Full*** \r\n"));
  bot_->Stop();
  for (const std::string& line : LinesOf(1)) EXPECT_EQ(std::string::npos, line.find("/stats"));
}

TEST_F(ProgramTest, EndsWithStatusZeroAfterTenRefusedAttempts) {
  // No server is listening: every connect is refused.
  Run(CORVANE_BW_FAST);
  EXPECT_EQ(0, bot_->Wait(20s));
  EXPECT_EQ(Banner("\t\t", "Brood War"), bot_->Stdout());
  EXPECT_EQ("", bot_->Stderr());
  EXPECT_EQ("", ReadFile("corvane.log"));

  Run(CORVANE_SC_FAST);
  EXPECT_EQ(0, bot_->Wait(20s));
  EXPECT_EQ(Banner("\t\t\t", "Starcraft"), bot_->Stdout());
}

TEST_F(ProgramTest, ConfigurationErrorsStopTheProgramBeforeItConnects) {
  StartServer();
  struct Case {
    const char* contents;  // nullptr: no file
    const char* error;
  };
  const Case cases[] = {
      {nullptr, "Error Reading Configuration File\n"},
      {"statbot secret1\n",
       "Error Reading Configuration File\n"
       "It needs three words: account name, password and home channel.\n"},
      {"statbot secret1 a-home-channel-name-of-thirty-six-chars\n",
       "Error Reading Configuration File\nThe home channel is longer than 35 characters.\n"},
  };
  for (const Case& c : cases) {
    std::remove("configuration.txt");
    if (c.contents != nullptr) WriteFile("configuration.txt", c.contents);
    Run(CORVANE_BW_FAST);
    EXPECT_EQ(1, bot_->Wait(10s));
    EXPECT_EQ(c.error, bot_->Stderr());
    EXPECT_EQ("", bot_->Stdout()) << "no banner";
  }
  EXPECT_EQ(0, server_->ConnectionCount()) << "nothing is sent";
}

}  // namespace
}  // namespace corvane
