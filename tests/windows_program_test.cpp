// The Windows programs, run under wine, against the POSIX programs: the same
// files and the same server conversation must give the same bytes on the
// console, in every file and on the wire. Built by a Linux build that was
// pointed at a Windows build (cmake/windows_check.cmake); both builds' test
// programs reach the stand-in server at 127.0.0.1:CORVANE_TEST_SERVER_PORT.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "server/chat_server.h"
#include "tests/bot_process.h"
#include "tests/results_conversation.h"
#include "tests/test_support.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using server::ChatServer;
using server::ServerOptions;
using testing_support::BotProcess;
using testing_support::CountOf;
using testing_support::ReadFile;
using testing_support::ScratchDirectory;
using testing_support::WithoutErrorCodes;
using testing_support::WriteFile;

struct Program {
  const char* posix;
  const char* windows;  // a script that runs the .exe under wine
};
const Program kBroodWar = {CORVANE_POSIX_BW_FAST, CORVANE_WINDOWS_BW_FAST};
const Program kStarcraft = {CORVANE_POSIX_SC_FAST, CORVANE_WINDOWS_SC_FAST};

// What a program left behind: everything a user or the server can see.
struct Outcome {
  int status = -1;  // exit status; -1 when the run was ended by the test
  std::string out;
  std::string err;
  std::map<std::string, std::string> files;  // every file of its folder
  std::string sent;                          // the bytes the server received, per connection
};

// The conditions of one run. The run ends when `lastOutput` was printed
// `lastOutputTimes` times (then the program is stopped) or, when it is
// empty, when the program ends by itself. A scenario's last output must be
// the end of its conversation: after it the bot only waits for the server.
struct Scenario {
  std::map<std::string, std::string> files;
  std::vector<std::string> folders;  // made in the program's folder
  bool serve = true;
  ServerOptions options;
  std::string lastOutput;
  int lastOutputTimes = 1;
};

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// The report page without what the run's timing decides: the seconds the
// bot watched, and whether two walks fell in the same second (the rows'
// walk times, all "T" here, are then written once).
std::string PageWithoutTimings(const std::string& page) {
  return ReplaceAll(std::regex_replace(page, std::regex("\"watched\":\\{[^}]*\\}"), "\"watched\":{}"),
                    "\"T\",", "");
}

Outcome RunIn(const char* program, const Scenario& scenario) {
  ScratchDirectory folder;
  EXPECT_FALSE(folder.path().empty());
  for (const auto& [name, contents] : scenario.files) WriteFile(name, contents);
  for (const std::string& name : scenario.folders) std::filesystem::create_directory(name);
  std::unique_ptr<ChatServer> server;
  if (scenario.serve) {
    ServerOptions options = scenario.options;
    options.port = CORVANE_TEST_SERVER_PORT;
    options.record = true;
    options.floodWindow = std::chrono::milliseconds(5000 / 50);  // the programs' pauses are scaled
    server = std::make_unique<ChatServer>(options);
    EXPECT_TRUE(server->Start()) << server->LastError();
  }
  Outcome outcome;
  {
    BotProcess bot(program, folder.path());
    if (scenario.lastOutput.empty()) {
      outcome.status = bot.Wait(30s);
    } else {
      auto deadline = std::chrono::steady_clock::now() + 30s;
      while (CountOf(bot.Stdout(), scenario.lastOutput) < scenario.lastOutputTimes &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
      }
      // Nothing more comes after the last output unless the server sends
      // more, and it does not: the grace lets a stray late byte show up.
      std::this_thread::sleep_for(300ms);
      // The stop both builds take alike: SIGINT, which wine turns into the
      // console's Ctrl-C event (SIGTERM would end a wine process outright).
      kill(bot.pid(), SIGINT);
      EXPECT_EQ(0, bot.Wait(30s)) << "a clean stop";
    }
    outcome.out = bot.Stdout();
    // Refused connects are told with the system's own error codes.
    outcome.err = WithoutErrorCodes(bot.Stderr());
  }
  for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
    std::string name = entry.path().filename().string();
    // The results files hold the times of each run.
    outcome.files[name] = entry.is_directory()
                              ? "<folder>"
                              : testing_support::WithoutUtcTimes(WithoutErrorCodes(ReadFile(name)));
    if (entry.path().extension() == ".html") outcome.files[name] = PageWithoutTimings(outcome.files[name]);
  }
  if (server) {
    // The program has ended; compare only once the server has read all it sent.
    EXPECT_TRUE(server->WaitFor(
        [](const ChatServer& s) {
          for (int connection = 1; connection <= s.ConnectionCount(); ++connection) {
            if (!s.ConnectionEnded(connection)) return false;
          }
          return true;
        },
        20s));
    server->Stop();
    for (int connection = 1; connection <= server->ConnectionCount(); ++connection) {
      outcome.sent += "<connection " + std::to_string(connection) + ">";
      for (const auto& chunk : server->Chunks()) {
        if (chunk.connection == connection) outcome.sent += chunk.bytes;
      }
    }
  }
  return outcome;
}

// Runs both builds of `program` in the same scenario and compares every byte.
// Returns the POSIX outcome for further checks of the scenario itself.
Outcome ExpectSameBytes(const Program& program, const Scenario& scenario) {
  Outcome posix = RunIn(program.posix, scenario);
  Outcome windows = RunIn(program.windows, scenario);
  // The one difference by design: the stop's name, as each system calls it.
  windows.out = ReplaceAll(windows.out, "Ctrl-C", "SIGINT");
  for (auto& file : windows.files) file.second = ReplaceAll(file.second, "Ctrl-C", "SIGINT");
  EXPECT_EQ(posix.status, windows.status);
  EXPECT_EQ(posix.out, windows.out) << "console output";
  EXPECT_EQ(posix.err, windows.err) << "standard error";
  EXPECT_EQ(posix.sent, windows.sent) << "bytes sent to the server";
  std::vector<std::string> posixNames, windowsNames;
  for (const auto& file : posix.files) posixNames.push_back(file.first);
  for (const auto& file : windows.files) windowsNames.push_back(file.first);
  EXPECT_EQ(posixNames, windowsNames) << "the files in the program's folder";
  for (const auto& [name, contents] : posix.files) {
    auto other = windows.files.find(name);
    if (other != windows.files.end()) {
      EXPECT_EQ(contents, other->second) << name;
    }
  }
  return posix;
}

std::string Answers(const std::string& name, const std::string& product, const std::string& before) {
  std::string lines;
  for (const std::string& text : server::StatsAnswer(name, product)) {
    lines += before + text + " \r\n";
  }
  return lines;
}

TEST(WindowsProgram, WholeBroodWarCheckWithCrLfFilesMatchesThePosixBuild) {
  // Files as a Windows editor saves them, logs that already hold a line,
  // a redirect to another channel and an event the bot does not handle. The
  // bot walks the list in the lobby, is sent to The Void, asks to join again
  // and walks the list a second time in its home channel.
  Scenario scenario;
  scenario.files = {{"configuration.txt", "statbot\r\nsecret1\r\nClan\r\n"},
                    {"bwmembers.txt", "Clan members\r\nalice\r\nbob\r\n"},
                    {"BroodWar.log", "earlier answer \r\n"},
                    {"corvane.log", "earlier note\r\n"}};
  scenario.options.firstChannel = "Clan Lobby";
  scenario.options.redirectChannel = "The Void";
  scenario.options.redirectJoins = 1;
  scenario.options.rawAfterWelcome = "1020 NEWS \"not handled\"\r\n";
  scenario.lastOutput = Answers("bob", "SEXP", "INFO: ");
  scenario.lastOutputTimes = 2;
  Outcome posix = ExpectSameBytes(kBroodWar, scenario);

  // The scenario did what it is meant to: a whole check, on both builds.
  EXPECT_NE(std::string::npos, posix.out.find("\nJoined Channel The Void \r\n\n/join Clan \n"));
  EXPECT_NE(std::string::npos, posix.sent.find("/stats alice SEXP\r\n/stats bob SEXP\r\n"));
  EXPECT_EQ(0u, posix.files["BroodWar.log"].find("earlier answer \r\n"));
  EXPECT_NE(std::string::npos,
            posix.files["BroodWar.log"].find(Answers("alice", "SEXP", "") + Answers("bob", "SEXP", "")));
  EXPECT_NE(std::string::npos,
            posix.files["corvane.log"].find("earlier note\r\nT Unhandled event ID 1020\r\n"));
}

TEST(WindowsProgram, StarcraftCheckWithAnUnknownPlayerMatchesThePosixBuild) {
  Scenario scenario;
  scenario.files = {{"configuration.txt", "statbot secret1 Clan\n"},
                    {"scmembers.txt", "Members\nnobody\nbob1\n"}};
  scenario.options.players = {"bob1"};
  // Placed in Chat, the bot asks to join its home channel again; the server
  // has already put it there and says nothing, so the bot walks the list once.
  scenario.lastOutput = Answers("bob1", "STAR", "INFO: ");
  scenario.lastOutputTimes = 1;
  Outcome posix = ExpectSameBytes(kStarcraft, scenario);
  EXPECT_NE(std::string::npos, posix.sent.find("/stats nobody STAR\r\n/stats bob1 STAR\r\n"));
  EXPECT_NE(std::string::npos, posix.out.find("\nERROR: "));
  EXPECT_EQ(1u, posix.files.count("Starcraft.log"));
}

TEST(WindowsProgram, MissingFilesEndBothBuildsTheSameWay) {
  Scenario noConfiguration;
  noConfiguration.files = {{"bwmembers.txt", "Members\nalice\n"}};
  Outcome posix = ExpectSameBytes(kBroodWar, noConfiguration);
  EXPECT_EQ(1, posix.status);
  EXPECT_EQ("Error Reading Configuration File\n", posix.err);

  Scenario noMembersList;
  noMembersList.files = {{"configuration.txt", "statbot secret1 Clan\n"}};
  posix = ExpectSameBytes(kStarcraft, noMembersList);
  EXPECT_EQ(1, posix.status);
  EXPECT_NE("", posix.err);
}

TEST(WindowsProgram, NoServerGivesUpAfterTenAttemptsOnBothBuilds) {
  Scenario scenario;
  scenario.files = {{"configuration.txt", "statbot secret1 Clan\n"}};
  scenario.serve = false;
  Outcome posix = ExpectSameBytes(kBroodWar, scenario);
  EXPECT_EQ(0, posix.status);
  EXPECT_EQ(10, CountOf(posix.files["corvane.log"], "Cannot connect to 127.0.0.1"));
}

TEST(WindowsProgram, TenRefusedLogonsEndBothBuildsWithStatusOne) {
  Scenario scenario;
  scenario.files = {{"configuration.txt", "statbot wrong Clan\n"}, {"bwmembers.txt", "Members\nalice\n"}};
  scenario.options.accounts = {{"statbot", "secret1"}};
  Outcome posix = ExpectSameBytes(kBroodWar, scenario);
  EXPECT_EQ(1, posix.status);
  EXPECT_NE(std::string::npos, posix.err.find("refused the logon 10 times in a row"));
  EXPECT_EQ(10, CountOf(posix.out, "*** LOGON REFUSED FOR: statbot ***"));
  EXPECT_EQ(10, CountOf(posix.files["corvane.log"], "Logon refused: "));
}

TEST(WindowsProgram, HomeChannelInOtherLetterCaseIsNamedOnBothBuilds) {
  Scenario scenario;
  scenario.files = {{"configuration.txt", "statbot secret1 clan\n"}, {"bwmembers.txt", "Members\nalice\n"}};
  scenario.options.channels = {"Clan"};
  scenario.lastOutput = "spell the home channel in configuration.txt as the server does. \r\n\n/join clan \n";
  Outcome posix = ExpectSameBytes(kBroodWar, scenario);
  EXPECT_NE(std::string::npos, posix.files["corvane.log"].find("The server calls the channel \"Clan\""));
}

TEST(WindowsProgram, ControlBytesAndALostResultLogMatchOnBothBuilds) {
  // Escape sequences from the server, and a folder where the result log
  // should be: the console shows '?', corvane.log tells of every answer lost.
  Scenario scenario;
  scenario.files = {{"configuration.txt", "statbot secret1 Clan\n"}, {"bwmembers.txt", "Members\nalice\n"}};
  scenario.folders = {"BroodWar.log"};
  scenario.options.rawAfterWelcome =
      "1018 INFO \"\x1b[2Jcleared\x07\"\r\n2010 NAME \x1b]0;t\x07"
      "bot\r\n";
  scenario.lastOutput = Answers("alice", "SEXP", "INFO: ");
  Outcome posix = ExpectSameBytes(kBroodWar, scenario);
  EXPECT_NE(std::string::npos, posix.out.find("INFO: ?[2Jcleared? \r\n"));
  EXPECT_NE(std::string::npos, posix.out.find("*** LOGGED ON AS: ?]0;t?bot ***"));
  EXPECT_EQ(std::string::npos, posix.out.find('\x1b'));
  EXPECT_EQ(CountOf(posix.out, "INFO: ") + CountOf(posix.out, "\nERROR: "),
            CountOf(posix.files["corvane.log"], "Cannot open the result log BroodWar.log: error code N"));
}

TEST(WindowsProgram, ResultsFileOfEveryKindOfAnswerMatchesThePosixBuild) {
  // Every kind of row: records, an unattributed header, an unknown player, a
  // dropped request, a missing answer and a connection lost mid-answer.
  Scenario scenario;
  scenario.files = {{"configuration.txt", "statbot secret1 Clan\n"},
                    {"bwmembers.txt", testing_support::kResultsMembers}};
  scenario.options.scripts = {testing_support::AnswerTheWalkAndCloseMidAnswer,
                              testing_support::NameTheBotAndListen};
  // The second logon comes after the rows of the lost connection.
  scenario.lastOutput = "\n*** LOGGED ON AS: statbot *** \r\n";
  scenario.lastOutputTimes = 2;
  Outcome posix = ExpectSameBytes(kBroodWar, scenario);
  EXPECT_EQ(testing_support::ResultsOfTheConversation(), posix.files["BroodWar.csv"]);
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

TEST(WindowsProgram, FoldersA1AByteAndAnEmptyHomeChannelMatchOnBothBuilds) {
  // A folder in place of either file is a missing file on both systems.
  Scenario configurationFolder;
  configurationFolder.files = {{"bwmembers.txt", "Members\nalice\n"}};
  configurationFolder.folders = {"configuration.txt"};
  Outcome posix = ExpectSameBytes(kBroodWar, configurationFolder);
  EXPECT_EQ(1, posix.status);
  EXPECT_EQ("Error Reading Configuration File\n", posix.err);

  Scenario listFolder;
  listFolder.files = {{"configuration.txt", "statbot secret1 Clan\n"}};
  listFolder.folders = {"bwmembers.txt"};
  posix = ExpectSameBytes(kBroodWar, listFolder);
  EXPECT_EQ(1, posix.status);
  EXPECT_EQ(0u, posix.err.find("Error Reading Brood War Members List."));

  // 0x1A is an ordinary byte: a text-mode read on Windows would end there.
  Scenario substitute;
  substitute.files = {{"configuration.txt", "statbot secret1 Clan\r\n\x1A\r\n"},
                      {"bwmembers.txt",
                       "Members\r\nal\x1A"
                       "ice\r\nbob\r\n"}};
  substitute.lastOutput = Answers("bob", "SEXP", "INFO: ");
  posix = ExpectSameBytes(kBroodWar, substitute);
  EXPECT_NE(std::string::npos, posix.out.find("Reading name: bob\n"));

  // A NUL byte leaving the home channel empty is a configuration error.
  Scenario emptyHome;
  emptyHome.files = {{"configuration.txt", std::string("statbot secret1 \0\n", 18)}};
  posix = ExpectSameBytes(kBroodWar, emptyHome);
  EXPECT_EQ(1, posix.status);
  EXPECT_EQ("Error Reading Configuration File\nThe home channel is empty: it begins with a NUL byte.\n",
            posix.err);
}

}  // namespace
}  // namespace corvane
