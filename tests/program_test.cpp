// The real programs, with scaled pauses, against the stand-in chat server.
#include <cerrno>

#include "tests/program_fixture.h"
#include "tests/server_texts.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using server::ChatServer;
using server::ReceivedLine;
using server::ServerOptions;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

const char kRefusedTenTimes[] =
    "The server refused the logon 10 times in a row. Check the account name and password in "
    "configuration.txt, or whether the account is still logged on elsewhere.\n";

// The console line of the `count`th refused logon in a row.
std::string RefusedLine(int count) {
  return "\n*** LOGON REFUSED FOR: statbot *** (" + std::to_string(count) + " in a row" +
         (count < 10 ? "; logging on again in 2 seconds, its answer 5 seconds later" : "") + ") \r\n";
}

// A script that refuses the logon as the server does and reads on until the
// bot closes the connection.
void RefuseTheLogon(server::ScriptedConnection& c) {
  std::string line;
  if (c.ReadLine(&line) && c.ReadLine(&line)) c.Send(server::texts::kLoginFailed);
  while (c.ReadLine(&line)) {
  }
}

// What the result log holds after one logon and one walk: the server's
// welcome (its greeting is an error event), the operator notice of the
// home channel, then the answers.
std::string WelcomeAndAnswers(const std::vector<std::string>& names, const std::string& product) {
  std::string lines =
      "ERROR: Hello statbot, welcome! \r\n"
      "There is 1 user account on this server. \r\n"
      " \r\n"
      "Chat topic: This is the public chat channel. \r\n"
      "you are now tempOP for this channel \r\n";
  for (const std::string& name : names) lines += AnswerLines(name, product, "", " \r\n");
  return lines;
}

// Each program, as its own user sees it: its banner, its product in the
// requests, its own result log and the fixture's members list.
struct Variant {
  const TestedProgram& tested;
  const char* bannerIndent;
  const char* product;
  const char* productCode;
  const char* resultLog;
  const char* otherResultLog;
  std::vector<std::string> members;  // as the fixture's members list names them
  friend void PrintTo(const Variant& v, std::ostream* out) { *out << v.tested.name; }
};

const Variant kVariants[] = {
    {kTestedPrograms[0], "\t\t", "Brood War", "SEXP", "BroodWar.log", "Starcraft.log", {"alice", "bob"}},
    {kTestedPrograms[1], "\t\t\t", "Starcraft", "STAR", "Starcraft.log", "BroodWar.log", {"bob1"}},
};

std::string VariantName(const testing::TestParamInfo<Variant>& info) { return info.param.tested.name; }

class ProgramVariantTest : public ProgramTest, public testing::WithParamInterface<Variant> {};

TEST_P(ProgramVariantTest, LogsOnJoinsWalksOnceAndRecordsTheAnswers) {
  const Variant& v = GetParam();
  ServerOptions options;
  options.rawAfterWelcome = "1020 NEWS \"not handled\"\r\n";
  StartServer(options);
  Run(v.tested.path);
  ASSERT_TRUE(WaitForOutput(AnswerLines(v.members.back(), v.productCode, "INFO: ", " \r\n")));
  StopBot();

  std::string received;
  for (const auto& chunk : server_->Chunks()) {
    if (chunk.connection == 1) received += chunk.bytes;
  }
  EXPECT_EQ(0u, received.find("\x03\x04statbot\r\nsecret1\r\n/join Clan\r\n")) << received;
  // Placed in Chat at logon, the bot asks for its home channel again; the
  // server, which has already put it there, says nothing; one walk follows.
  std::vector<std::string> conversation = {"\x03\x04statbot", "secret1", "/join Clan", "/join Clan "};
  std::string walked = "\nJoined Channel Clan \r\n";
  for (const std::string& name : v.members) {
    conversation.push_back("/stats " + name + " " + v.productCode);
    walked += "Reading name: " + name + "\n";
  }
  EXPECT_EQ(conversation, LinesOf(1));
  ExpectOneWalk(1, v.members, v.productCode);

  std::string out = bot_->Stdout();
  EXPECT_EQ(0u, out.find(Banner(v.bannerIndent, v.product)));
  EXPECT_NE(std::string::npos, out.find("\n*** LOGGED ON AS: statbot *** \r\n"));
  EXPECT_NE(std::string::npos, out.find("\nJoined Channel Chat \r\n\n/join Clan \n"));
  EXPECT_NE(std::string::npos, out.find(walked));
  EXPECT_NE(std::string::npos, out.find(AnswerLines(v.members.front(), v.productCode, "INFO: ", " \r\n")));

  EXPECT_EQ(WelcomeAndAnswers(v.members, v.productCode), ReadFile(v.resultLog));
  EXPECT_FALSE(FileExists(v.otherResultLog));
  EXPECT_NE(std::string::npos, ReadFile("corvane.log").find("Unhandled event ID 1020\r\n"))
      << "the diagnostic log keeps its slot after the first answer";
}

INSTANTIATE_TEST_SUITE_P(Program, ProgramVariantTest, testing::ValuesIn(kVariants), VariantName);

TEST_F(ProgramTest, WalkOfTwentyNamesStaysWithinTheFloodLimit) {
  std::vector<std::string> names;
  std::string list = "Members\n";
  for (int i = 1; i <= 20; ++i) {
    names.push_back("member" + std::to_string(i));
    list += names.back() + "\n";
  }
  WriteFile("bwmembers.txt", list);
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForOutput(AnswerLines("member20", "SEXP", "INFO: ", " \r\n"), 30s));
  StopBot();
  ExpectOneWalk(1, names);
  EXPECT_EQ(std::string::npos, bot_->Stdout().find("quota")) << "no request was dropped";
  EXPECT_EQ(WelcomeAndAnswers(names, "SEXP"), ReadFile("BroodWar.log"));
  EXPECT_EQ(1, server_->ConnectionCount());
}

TEST_F(ProgramTest, SecondBotWithTheSameAccountIsRefusedAndTheFirstGoesOn) {
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForLine("/stats alice SEXP"));
  // A second bot in the same folder, while the first walks.
  testing_support::BotProcess second(CORVANE_BW_FAST, scratch_.path(), "-second");
  ASSERT_TRUE(WaitForLine("/join Clan", 2));
  ASSERT_TRUE(WaitForOutput(AnswerLines("bob", "SEXP", "INFO: ", " \r\n")));
  // The second bot tries again 2 s after each refusal and gives up after ten.
  EXPECT_EQ(1, second.Wait(20s));
  EXPECT_EQ(kRefusedTenTimes, second.Stderr());
  EXPECT_EQ(11, server_->ConnectionCount()) << "the first bot's connection and ten refused ones";
  // A window for the first bot to end or send more if it wrongly would: it
  // can only miss a fault, never fail a sound program.
  std::this_thread::sleep_for(kScaledPause * 2);
  EXPECT_EQ(-1, bot_->Wait(0ms)) << "the first bot goes on";
  StopBot();
  // The server took the second bot's join line as the next account name.
  std::vector<std::string> refused = LinesOf(2);
  ASSERT_GE(refused.size(), 3u);
  EXPECT_EQ("\x03\x04statbot", refused[0]);
  EXPECT_EQ("/join Clan", refused[2]);
  EXPECT_TRUE(RequestsOf(2).empty());
  EXPECT_EQ(std::string::npos, second.Stdout().find("LOGGED ON")) << second.Stdout();
  ExpectOneWalk(1, {"alice", "bob"});
  EXPECT_EQ(WelcomeAndAnswers({"alice", "bob"}, "SEXP"), ReadFile("BroodWar.log"))
      << "the first bot's results alone";
}

TEST_F(ProgramTest, JoinFollowsTheLogonAfterTheScaledFiveSeconds) {
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForLine("/join Clan"));
  StopBot();
  std::vector<ReceivedLine> lines = server_->Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ("\x03\x04statbot", lines[0].text);
  EXPECT_EQ("secret1", lines[1].text);
  EXPECT_EQ("/join Clan", lines[2].text);
  // Measured from the bot's start, which holds the pause whenever the server
  // reads: no slack needed. (The unit tests check the 5000 ms asked for.)
  EXPECT_GE(SinceStart(lines[2].at), kScaledPause) << "5000 ms divided by 50";
}

TEST_F(ProgramTest, ReconnectsLogsOnAndWalksAgainAfterTheServerCloses) {
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForOutput(AnswerLines("bob", "SEXP", "INFO: ", " \r\n")));
  server_->CloseAll();
  ASSERT_TRUE(WaitForLine("/stats bob SEXP", 2));
  ASSERT_TRUE(WaitForOutput(AnswerLines("bob", "SEXP", "INFO: ", " \r\n") + "\n*** LOGGED ON"));
  // A window for a wrong extra request to show up (can only miss a fault).
  std::this_thread::sleep_for(kScaledPause * 2);
  StopBot();
  EXPECT_EQ((std::vector<std::string>{"\x03\x04statbot", "secret1", "/join Clan", "/join Clan ",
                                      "/stats alice SEXP", "/stats bob SEXP"}),
            LinesOf(2))
      << "the same conversation on the new connection";
  ExpectOneWalk(1, {"alice", "bob"});
  ExpectOneWalk(2, {"alice", "bob"});
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
  EXPECT_EQ(Banner("\t\t", "Brood War") + "\n*** STOPPED BY " + testing_support::kStopSignalName +
                " *** (0 answers read, 0 unanswered) \r\n",
            bot_->Stdout())
      << "nothing but the banner and the stop is printed";
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
  ASSERT_TRUE(WaitForLine("/stats bob SEXP", 1, 2));
  // A window for a wrong extra line to show up (can only miss a fault).
  std::this_thread::sleep_for(kScaledPause * 2);
  StopBot();
  // A walk in the lobby, whose name contains the home channel, and one in
  // the home channel once the re-join has brought the bot there.
  EXPECT_EQ(
      (std::vector<std::string>{"\x03\x04statbot", "secret1", "/join Clan", "/stats alice SEXP",
                                "/stats bob SEXP", "/join Clan ", "/stats alice SEXP", "/stats bob SEXP"}),
      LinesOf(1));
}

TEST_F(ProgramTest, RefusedJoinsArePrintedAndNotAnswered) {
  ServerOptions options;
  options.fullChannels = {"Clan"};
  StartServer(options);
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForOutput("\n***Channel is Full*** \r\n"));
  StopBot();
  for (const std::string& line : LinesOf(1)) EXPECT_EQ(std::string::npos, line.find("/stats"));
}

class EitherProgramTest : public ProgramTest, public testing::WithParamInterface<Variant> {};

TEST_P(EitherProgramTest, EndsWithStatusZeroAfterTenRefusedAttempts) {
  // No server is listening: every connect is refused.
  Run(GetParam().tested.path);
  EXPECT_EQ(0, bot_->Wait(20s));
  EXPECT_EQ(Banner(GetParam().bannerIndent, GetParam().product), bot_->Stdout());
  const std::string port = std::to_string(CORVANE_TEST_SERVER_PORT);
  std::string story;
  for (int i = 0; i < 10; ++i) story += "Cannot connect to 127.0.0.1, port " + port + ": error code N\r\n";
  story += "10 connect attempts in a row to 127.0.0.1, port " + port + " failed; the run ends\r\n";
  const std::string log = ReadFile("corvane.log");
  EXPECT_EQ(story, testing_support::WithoutErrorCodes(testing_support::WithoutLogTimes(log)))
      << "each attempt and the end are told, each with its time";
  // Standard error (a service's journal) tells the same, a line each.
  std::string told = story;
  for (std::size_t at; (at = told.find("\r\n")) != std::string::npos;) told.erase(at, 1);
  EXPECT_EQ(told, testing_support::WithoutErrorCodes(bot_->Stderr()));
  // The code is the system's: ECONNREFUSED, or WSAECONNREFUSED on Windows.
  EXPECT_TRUE(log.find("error code " + std::to_string(ECONNREFUSED) + "\r\n") != std::string::npos ||
              log.find("error code 10061\r\n") != std::string::npos)
      << log;
}

INSTANTIATE_TEST_SUITE_P(Program, EitherProgramTest, testing::ValuesIn(kVariants), VariantName);

TEST_F(ProgramTest, AWrongPasswordIsRefusedTenTimesAndEndsTheRunWithStatusOne) {
  ServerOptions options;
  options.accounts = {{"statbot", "another password"}};
  StartServer(options);
  Run(CORVANE_BW_FAST);
  EXPECT_EQ(1, bot_->Wait(20s));
  std::string expectedOut = Banner("\t\t", "Brood War");
  for (int i = 1; i <= 10; ++i) expectedOut += RefusedLine(i);
  EXPECT_EQ(expectedOut, bot_->Stdout());
  EXPECT_EQ(kRefusedTenTimes, bot_->Stderr());
  const std::string refused = "Logon refused: 127.0.0.1, port " + std::to_string(CORVANE_TEST_SERVER_PORT) +
                              " answered \"Login failed.\" for statbot\r\n";
  std::string story;
  for (int i = 0; i < 10; ++i) story += refused;
  EXPECT_EQ(story + "The logon was refused 10 times in a row; the run ends\r\n",
            testing_support::WithoutLogTimes(ReadFile("corvane.log")));
  // Ten connections, each the logon and the join, and the next after the
  // 2 s pause of a failed attempt. The bot has ended, but the server may
  // not have read its last lines yet.
  ASSERT_EQ(10, server_->ConnectionCount());
  ASSERT_TRUE(WaitForAllConnectionsEnded());
  for (int connection = 1; connection <= 10; ++connection) {
    EXPECT_EQ((std::vector<std::string>{"\x03\x04statbot", "secret1", "/join Clan"}), LinesOf(connection));
    // Before connection n the bot paused n - 1 times for the join and n - 1
    // times after a refusal; measured from its start, whenever the server
    // reads (gaps between two arrivals would shrink on a busy machine).
    const auto pauses = (kScaledPause + kScaledSecond * 2) * (connection - 1);
    EXPECT_GE(SinceStart(server_->LinesOf(connection).front().at), pauses) << connection;
  }
  EXPECT_FALSE(FileExists("BroodWar.log"));
}

TEST_F(ProgramTest, ALogonTheServerConfirmsStartsTheCountOfRefusalsAgain) {
  // Nine refusals, a logon that goes through and a walk, then nine more
  // refusals: without the new count the tenth refusal would end the run.
  ServerOptions options;
  for (int i = 0; i < 9; ++i) options.scripts.push_back(RefuseTheLogon);
  options.scripts.push_back([](server::ScriptedConnection& c) {
    if (c.Welcome()) c.Converse("Clan");
  });
  for (int i = 0; i < 9; ++i) options.scripts.push_back(RefuseTheLogon);
  StartServer(options);
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForLine("/stats bob SEXP", 10));
  ASSERT_TRUE(WaitForOutput(AnswerLines("bob", "SEXP", "INFO: ", " \r\n")));
  server_->Close(10);
  ASSERT_TRUE(WaitForLine("/stats bob SEXP", 20, 1, 20s));
  EXPECT_EQ(-1, bot_->Wait(0ms)) << bot_->Stderr();
  StopBot();
  const std::string out = bot_->Stdout();
  EXPECT_NE(std::string::npos, out.find(RefusedLine(9) + "\n*** LOGGED ON AS: statbot"));
  EXPECT_EQ(std::string::npos, out.find(RefusedLine(10)));
  EXPECT_EQ("", bot_->Stderr());
  ExpectOneWalk(20, {"alice", "bob"});
}

TEST_F(ProgramTest, AHomeChannelInOtherLetterCaseIsNamedWithTheServersSpelling) {
  WriteFile("configuration.txt", "statbot secret1 clan\n");
  ServerOptions options;
  options.channels = {"Clan"};
  StartServer(options);
  Run(CORVANE_BW_FAST);
  const std::string note =
      "\nThe server calls this channel \"Clan\", configuration.txt names the home channel \"clan\": "
      "spell the home channel in configuration.txt as the server does. \r\n";
  ASSERT_TRUE(WaitForOutput("\nJoined Channel Clan \r\n" + note + "\n/join clan \n"));
  ASSERT_TRUE(WaitForLine("/join clan ", 1, 2));
  // A window for a wrong walk or join to show up (can only miss a fault).
  std::this_thread::sleep_for(kScaledPause * 3);
  StopBot();
  // It asks for its home channel as it always does; the server, which has
  // put it there already, ignores that, and nothing is walked.
  EXPECT_EQ(
      (std::vector<std::string>{"\x03\x04statbot", "secret1", "/join clan", "/join clan ", "/join clan "}),
      LinesOf(1));
  const std::string out = bot_->Stdout();
  EXPECT_EQ(out.find(note), out.rfind(note)) << "said once";
  EXPECT_EQ(
      "The server calls the channel \"Clan\", configuration.txt names the home channel \"clan\": "
      "spell it in configuration.txt as the server does\r\n" +
          testing_support::StoppedLogLine(testing_support::kStopSignalName, 0, 0),
      testing_support::WithoutLogTimes(ReadFile("corvane.log")));
}

// Every message about configuration.txt, each checked here alone.
TEST_F(ProgramTest, ConfigurationErrorsStopTheProgramBeforeItConnects) {
  StartServer();
  struct Case {
    const char* name;
    bool present;  // false: no file at all
    std::string contents;
    const std::string& error;
  };
  const Case cases[] = {
      {"no file", false, "", kConfigurationError},
      {"empty", true, "", kConfigurationNotThreeWords},
      {"white space alone", true, " \r\n\t\n", kConfigurationNotThreeWords},
      {"two words", true, "statbot secret1\n", kConfigurationNotThreeWords},
      {"account name of 16", true, std::string(16, 'a') + " pw Clan\n", kConfigurationAccountNameTooLong},
      {"password of 5000", true, "statbot " + std::string(5000, 'p') + " Clan\n",
       kConfigurationPasswordTooLong},
      {"home channel of 36", true, "statbot secret1 a-home-channel-name-of-thirty-six-chars\n",
       kConfigurationHomeChannelTooLong},
      {"home channel of 100000 without a line end", true, "statbot pw " + std::string(100000, 'c'),
       kConfigurationHomeChannelTooLong},
  };
  for (const Case& c : cases) {
    std::remove("configuration.txt");
    if (c.present) WriteFile("configuration.txt", c.contents);
    Run(CORVANE_BW_FAST);
    EXPECT_EQ(1, bot_->Wait(20s)) << c.name;
    EXPECT_EQ(c.error, bot_->Stderr()) << c.name;
    EXPECT_EQ("", bot_->Stdout()) << c.name << ": no banner";
  }
  EXPECT_EQ(0, server_->ConnectionCount()) << "nothing is sent";
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

using namespace std::chrono_literals;

TEST_F(ProgramTest, AWalkCutByALostConnectionStopsAndTheBotReconnectsAtOnce) {
  std::string list = "Members\n";
  for (char c = 'a'; c <= 'j'; ++c) list += std::string("player_") + c + "\n";
  WriteFile("bwmembers.txt", list);
  std::atomic<std::chrono::steady_clock::rep> cut{0};  // set on the server's thread
  ServerOptions options;
  options.scripts.push_back([&cut](server::ScriptedConnection& c) {
    if (!c.Welcome()) return;
    c.Send(server::texts::kClanChannel);
    if (!c.ReadUntil("/stats player_a SEXP")) return;
    cut = std::chrono::steady_clock::now().time_since_epoch().count();
    c.Reset();
  });
  StartServer(options);
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForConnections(2)) << bot_->Stdout();
  const auto since =
      std::chrono::steady_clock::now().time_since_epoch() - std::chrono::steady_clock::duration(cut.load());
  std::printf("from the cut to the reconnect: %.0f ms (the test build's pauses are 1/50)\n",
              std::chrono::duration<double, std::milli>(since).count());
  ASSERT_TRUE(WaitForOutput("Reading name: player_j\n")) << bot_->Stdout();
  bot_->Stop();

  // The dead connection's part of the console: between the two logons.
  const std::string out = bot_->Stdout();
  const std::string logon = "*** LOGGED ON AS: statbot ***";
  const std::size_t first = out.find(logon);
  const std::size_t second = out.find(logon, first + 1);
  ASSERT_NE(std::string::npos, second) << out;
  const std::string dead = out.substr(first, second - first);
  EXPECT_NE(std::string::npos, dead.find("Reading name: player_a\n")) << dead;
  EXPECT_EQ(std::string::npos, dead.find("Reading name: player_b")) << "nothing more on a dead connection:\n"
                                                                    << dead;
  EXPECT_NE(std::string::npos,
            testing_support::WithoutErrorCodes(ReadFile("corvane.log"))
                .find("Cannot send the stats request for player_b: error code N; the walk stops there\r\n"))
      << ReadFile("corvane.log");
}

}  // namespace
}  // namespace corvane
