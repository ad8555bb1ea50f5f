// The real program (BWCorvane_fast: every pause divided by 50) against a
// hostile server: the stand-in server hands the first connections to a
// test's script, which can send anything, byte by byte, cut by a close or a
// reset, and serves later ones as usual. Each test is named after the fault
// it feeds the bot, and each ends by checking that the bot still works: it
// walks its members list on the same connection, or it reconnects, logs on
// and walks again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/chat_server.h"
#include "tests/program_fixture.h"
#include "tests/server_texts.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using server::Script;
using server::ScriptedConnection;
using server::ServerOptions;
using server::texts::Info;
namespace texts = server::texts;
using testing_support::CountOf;
using testing_support::ReadFile;
using testing_support::WriteFile;

// User plus system CPU time of `pid`, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream rest(line.substr(line.rfind(')') + 1));
  std::string field;
  long user = 0, system = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) user = std::stol(field);
    if (i == 15) system = std::stol(field);
  }
  return user + system;
}

// True when the bot's resident memory is its own: not in sanitizer builds or
// under valgrind, whose runtimes set freed blocks aside (quarantine, free
// list), so that every fopen and fclose grows the figure there.
bool ResidentMemoryIsTheProgramsOwn() {
#if defined(__SANITIZE_ADDRESS__)
  return false;
#else
  return std::string(CORVANE_BW_FAST).find("memcheck-") == std::string::npos;
#endif
}

// A script that welcomes the bot, sends `bytes` and then converses normally,
// on the same connection.
Script SendThenConverse(const std::string& bytes) {
  return [bytes](ScriptedConnection& c) {
    if (c.Welcome() && c.Send(bytes)) c.Converse();
  };
}

// A script that welcomes the bot, sends `bytes` and closes.
Script SendThenClose(const std::string& bytes) {
  return [bytes](ScriptedConnection& c) {
    if (c.Welcome()) c.Send(bytes);
    c.Close();
  };
}

class HostileServerTest : public ProgramTest {
 protected:
  void TearDown() override {
    if (bot_ != nullptr) {
      EXPECT_EQ(-1, bot_->Wait(0ms)) << "the bot ended; its error output:\n" << bot_->Stderr();
      bot_->Stop();
      ExpectNoSanitizerReport();
      // Refused connects are told on standard error; nothing else may be.
      std::string errors = bot_->Stderr();
      const std::string refused = "Cannot connect to 127.0.0.1, port ";
      for (std::size_t at; (at = errors.find(refused)) != std::string::npos;) {
        errors.erase(at, errors.find('\n', at) + 1 - at);
      }
      EXPECT_EQ("", errors) << bot_->Stderr();
    }
    server_.reset();
    ExpectOnlyOwnFiles();
  }

  // Starts the server with `scripts` for the first connections, then the bot.
  void Start(std::vector<Script> scripts) {
    ServerOptions options;
    options.scripts = std::move(scripts);
    StartServer(options);
    Run(CORVANE_BW_FAST);
  }

  // The bot still works: connection `connection` asks for both members'
  // statistics and the bot prints the answer to the last of them.
  void ExpectWalk(int connection) {
    EXPECT_TRUE(WaitForLine("/stats alice SEXP", connection)) << Lines(connection);
    EXPECT_TRUE(WaitForLine("/stats bob SEXP", connection)) << Lines(connection);
    EXPECT_TRUE(WaitForOutput("INFO: bob's record: \r\n")) << bot_->Stdout();
  }

  // The bot still works after losing connection 1: it logs on again on
  // connection 2 and walks there.
  void ExpectReconnectAndWalk() {
    ASSERT_TRUE(WaitForConnections(2)) << "no reconnect";
    EXPECT_TRUE(WaitForLine("\x03\x04statbot", 2));
    EXPECT_TRUE(WaitForLine("secret1", 2));
    ExpectWalk(2);
  }

  bool OutputHas(const std::string& text) const { return bot_->Stdout().find(text) != std::string::npos; }

  std::string Lines(int connection) const {
    std::string all;
    for (const std::string& line : LinesOf(connection)) all += line + "\n";
    return all;
  }
};

// --- One malformed line after another, on one connection -------------------

// A line, or a few, that the bot must survive: each is followed by a probe
// (an info line of its own) whose answer on the console proves that the
// bot read past the case and still handles lines; then what the bot printed
// and recorded since the case is checked.
struct MalformedCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> shown = {};     // printed on the console
  std::vector<std::string> notShown = {};  // never printed
  std::vector<std::string> recorded = {};  // in the result log, as sent
  std::string diagnosed = "";              // in corvane.log
  bool rejoins = false;                    // asks for its home channel again
};

std::size_t FileSize(const char* path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<std::size_t>(size);
}

std::vector<MalformedCase> MalformedCases() {
  const std::string flags = "1009 USER bob " + std::string(40, 'f') + "\r\n1009 USER bob -1\r\n" +
                            "1009 USER bob +-0x\r\n1009 USER bob 0x" + std::string(1500, '9') + "\r\n";
  const std::string line2047 = "1018 INFO \"" + std::string(2047 - 12, 'a') + "\"";
  std::string prompts, infos;
  while (prompts.size() < 200000) prompts += "Username: Password: Login failed.\r\n";
  for (int i = 0; i < 2000; ++i) infos += Info("flood " + std::to_string(i));
  return {
      // Fields far over their buffers.
      {"UserNameOfThousandsOfBytes", "1001 USER " + std::string(1900, 'n') + " 0010 [CHAT]\r\n"},
      {"KeywordOfThousandsOfBytes", "1005 " + std::string(1900, 'K') + " bob 0010 \"hi\"\r\n"},
      {"FlagsOfFortyHexDigitsAndSigns", flags},
      {"InfoTextOfThousandsOfBytes",
       Info(std::string(1800, 't')),
       {"INFO: " + std::string(255, 't') + " \r\n"},
       {std::string(256, 't')},
       {std::string(255, 't') + " \r\n"}},
      {"ErrorTextOfThousandsOfBytes",
       "1019 ERROR \"" + std::string(1800, 'e') + "\"\r\n",
       {"\nERROR: " + std::string(255, 'e') + " \r\n"}},
      // The home channel lies beyond the 255 characters kept: not found.
      {"ChannelNameOfThousandsOfBytes",
       "1007 CHANNEL \"" + std::string(1500, 'x') + "Clan\"\r\n",
       {"\nJoined Channel " + std::string(255, 'x') + " \r\n"},
       {},
       {},
       "",
       true},
      {"ChannelNameOfThousandsOfBytesStartingWithTheHomeChannel",
       "1007 CHANNEL \"Clan" + std::string(1500, 'x') + "\"\r\n",
       {"\nJoined Channel Clan" + std::string(251, 'x') + " \r\n", "Reading name: bob\n"}},
      {"LogonNameOfThousandsOfBytes",
       "2010 NAME " + std::string(1900, 'n') + "\r\n",
       {"\n*** LOGGED ON AS: " + std::string(127, 'n') + " *** \r\n"}},
      {"EveryFieldOfAWhisperOverLong", "1004 " + std::string(500, 'W') + " " + std::string(500, 'n') + " " +
                                           std::string(500, 'f') + " \"" + std::string(500, 't') + "\"\r\n"},
      // NUL bytes and control characters.
      {"NulByteInsideALine", Info(std::string("before\0after", 12)), {"INFO: before \r\n"}, {"after"}},
      {"NulByteAtTheStartOfALine",
       std::string("\0", 1) + Info("hidden") + std::string(300, '\0') + "\n",
       {},
       {"hidden"}},
      {"ControlBytesReachTheConsoleAsQuestionMarksAndTheLogAsSent",
       Info("a\x01\x1b[2J\x7f\x08 b") + "1019 ERROR \"\x1b]0;title\x07\"\r\n" +
           "1005 TALK \x1b\x07 0010 \"\x0b\x0c\"\r\n" + Info("tab\there\rcr") +
           "2010 NAME \x1b[8mhidden\r\n" + "1007 CHANNEL \"Clan\x1b[1A\"\r\n",
       {"INFO: a??[2J?? b \r\n", "\nERROR: ?]0;title? \r\n", "INFO: tab?here?cr \r\n",
        "\n*** LOGGED ON AS: ?[8mhidden *** \r\n", "\nJoined Channel Clan?[1A \r\n"},
       {},
       {"a\x01\x1b[2J\x7f\x08 b \r\n", "ERROR: \x1b]0;title\x07 \r\n", "tab\there\rcr \r\n"}},
      {"HighBytesAndBrokenUtf8", Info("\xff\xfe\xc3\x28\xe2\x82\xf0\x9f\x98") + "2010 NAME \xff\xff\r\n"},
      // Format directives in every field.
      {"FormatDirectivesInAnInfoText",
       Info("%s%n%x%p%d%%%1000000d"),
       {"INFO: %s%n%x%p%d%%%1000000d \r\n"},
       {},
       {"%s%n%x%p%d%%%1000000d \r\n"}},
      {"FormatDirectivesInAnErrorText", "1019 ERROR \"%n%n%n%s\"\r\n", {"\nERROR: %n%n%n%s \r\n"}},
      {"FormatDirectivesInTheLogonName", "2010 NAME %s%n%s%n\r\n", {"\n*** LOGGED ON AS: %s%n%s%n *** \r\n"}},
      {"FormatDirectivesInTheChannelName",
       "1007 CHANNEL \"%n%sClan%s%n\"\r\n",
       {"\nJoined Channel %n%sClan%s%n \r\n", "Reading name: bob\n"}},
      {"FormatDirectivesInUserEventFields",
       "1005 TALK %n%s %n%n \"%s%n\"\r\n1001 USER %s%s%s %n [%n]\r\n1023 EMOTE %99999s 0010 \"%n\"\r\n"},
      {"FormatDirectivesInAnUnknownEvent",
       "1020 %n%s \"%n%s\"\r\n",
       {},
       {},
       {},
       "Unhandled event ID 1020\r\n"},
      // Numbers out of range.
      {"IdsOfTwentyDigits",
       "99999999999999999999 NEWS\r\n00000000000000001018 INFO \"padded\"\r\n",
       {"INFO: padded \r\n"},
       {},
       {},
       "Unhandled event ID 2147483647\r\n"},
      // Line lengths and line ends.
      {"LineOfExactly2047BytesIsAnEvent", line2047 + "\n", {"INFO: " + std::string(255, 'a') + " \r\n"}},
      {"BareLineFeedsAndEmptyLines",
       "\n\n\r\n\r\r\n" + std::string(1000, '\n') + "1018 INFO \"lf\"\n",
       {"INFO: lf \r\n"}},
      // A lone quote keeps the CR, shown as ?.
      {"QuotesMissingOrUnbalanced",
       "1018 INFO no quotes\r\n1018 INFO \"\r\n1018 INFO \"\"\"\"\"\r\n1018 INFO \"open only\r\n",
       {"INFO: open only? \r\n"},
       {},
       {"open only\r \r\n"}},
      // An empty channel name does not contain the home channel.
      {"ChannelEventWithoutAName", "1007 CHANNEL\r\n", {}, {}, {}, "", true},
      {"LogonNameEventWithoutAName", "2010 NAME\r\n", {"\n*** LOGGED ON AS:  *** \r\n"}},
      {"FloodOfPromptLinesWithoutEvents", prompts},
      {"FloodOfTwoThousandInfoLines",
       infos,
       {"INFO: flood 1999 \r\n"},
       {},
       {"flood 0 \r\n", "flood 1999 \r\n"}},
  };
}

TEST_F(HostileServerTest, MalformedLinesOneAfterAnotherOnOneConnection) {
  ServerOptions options;
  // Walks and joins follow each other quickly here; the flood limit is not
  // what this test is about.
  options.floodProtection = false;
  StartServer(options);
  Run(CORVANE_BW_FAST);
  ExpectWalk(1);
  auto from = [](const std::string& text, std::size_t at) { return at < text.size() ? text.substr(at) : ""; };
  for (const MalformedCase& c : MalformedCases()) {
    SCOPED_TRACE(c.name);
    const std::size_t out = bot_->Stdout().size();
    const std::size_t results = FileSize("BroodWar.log");
    const std::size_t diagnostics = FileSize("corvane.log");
    const std::vector<std::string> lines = LinesOf(1);
    const int joins = static_cast<int>(std::count(lines.begin(), lines.end(), "/join Clan "));
    const std::string probe = "probe " + std::string(c.name);
    server_->SendToAll(c.bytes + Info(probe));
    ASSERT_TRUE(WaitForOutput("INFO: " + probe + " \r\n")) << c.name << ": the bot no longer handles lines";
    const std::string shown = from(bot_->Stdout(), out);
    for (const std::string& text : c.shown) EXPECT_NE(std::string::npos, shown.find(text)) << c.name;
    for (const std::string& text : c.notShown) EXPECT_EQ(std::string::npos, shown.find(text)) << c.name;
    for (char byte : shown) {
      EXPECT_TRUE(byte == '\r' || byte == '\n' || (byte >= ' ' && byte != '\x7f') || (byte & 0x80) != 0)
          << c.name << ": control byte " << static_cast<int>(byte) << " on the console";
    }
    const std::string recorded = from(ReadFile("BroodWar.log"), results);
    for (const std::string& text : c.recorded) EXPECT_NE(std::string::npos, recorded.find(text)) << c.name;
    if (!c.diagnosed.empty()) {
      EXPECT_NE(std::string::npos, from(ReadFile("corvane.log"), diagnostics).find(c.diagnosed)) << c.name;
    }
    if (c.rejoins) {
      EXPECT_TRUE(WaitForLine("/join Clan ", 1, joins + 1)) << c.name << ": no join asked for";
    }
  }
  // None of it ended the connection, and the bot still walks its list.
  const std::string walked = "Reading name: bob\n";
  const int walks = CountOf(bot_->Stdout(), walked);
  server_->SendToAll(texts::kClanChannel);
  EXPECT_TRUE(server_->WaitFor(
      [&](const server::ChatServer&) { return CountOf(bot_->Stdout(), walked) > walks; }, 20s));
  EXPECT_EQ(1, server_->ConnectionCount());
}

// --- Delivery ---------------------------------------------------------------

TEST_F(HostileServerTest, ByteByByteDelivery) {
  Start({[](ScriptedConnection& c) {
    if (!c.Welcome()) return;
    c.SendByteByByte("1019 ERROR \"slow\"\r\n" + texts::kClanChannel);
    std::string line;
    while (c.ReadLine(&line)) {
      if (line.rfind("/stats ", 0) == 0) {
        std::string name = line.substr(7, line.rfind(' ') - 7);
        c.SendByteByByte(Info(name + "'s record:"));
      }
    }
  }});
  ExpectWalk(1);
  EXPECT_TRUE(OutputHas("\nERROR: slow \r\n"));
}

TEST_F(HostileServerTest, LineSplitAcrossAnIdleSecond) {
  Start({[](ScriptedConnection& c) {
    if (!c.Welcome() || !c.Send("1018 INFO \"sp")) return;
    std::this_thread::sleep_for(1300ms);
    if (c.Send("lit\"\r\n")) c.Converse();
  }});
  ExpectWalk(1);
  EXPECT_TRUE(OutputHas("INFO: split \r\n"));
}

// --- Faults that end connection 1: the bot reconnects and walks -------------

struct ReconnectCase {
  const char* name;
  Script script;
  std::string members = "";    // bwmembers.txt, when not the fixture's
  std::string notShown = "";   // never printed: an unfinished or overlong line is no event
  std::string diagnosed = "";  // in corvane.log
  friend void PrintTo(const ReconnectCase& c, std::ostream* out) { *out << c.name; }
};

Script CutMidWalk(void (ScriptedConnection::*cut)()) {
  return [cut](ScriptedConnection& c) {
    if (c.Welcome() && c.Send(texts::kClanChannel) && c.ReadUntil("/stats alice SEXP")) (c.*cut)();
  };
}

std::vector<ReconnectCase> ReconnectCases() {
  std::string crOnly;
  while (crOnly.size() < 4000) crOnly += Info("cr only").substr(0, 20) + "\r";
  // The bot goes on sending its requests into a reset connection; a send to
  // a dead peer must not end the process.
  const std::string fourMembers = "Members\nalice\nbob\ncarol\ndave\n";
  return {
      // With its LF a line of 2048 bytes (11 + 2036 + 1) does not fit the
      // 2048-byte buffer: the bot gives the connection up, as if the server
      // had closed it.
      {"LineOf2048BytesEndsTheConnection",
       SendThenConverse("1018 INFO \"" + std::string(2048 - 12, 'a') + "\"\n"), "", "INFO: aaaa",
       "recv() returned 0"},
      {"FiveMegabytesWithoutALineEnd", SendThenClose(std::string(5 * 1024 * 1024, '7'))},
      {"CarriageReturnsWithoutLineFeeds", SendThenClose(crOnly)},
      {"LineCutByAClose", SendThenClose("1018 INFO \"partial"), "", "partial"},
      {"ResetMidLine",
       [](ScriptedConnection& c) {
         if (c.Welcome()) c.Send("1018 INFO \"half");
         std::this_thread::sleep_for(50ms);
         c.Reset();
       },
       "", "half", "recv() returned -1, error code 104"},
      {"ResetMidWalk", CutMidWalk(&ScriptedConnection::Reset), fourMembers},
      {"CloseMidWalk", CutMidWalk(&ScriptedConnection::Close), fourMembers},
      {"HalfCloseWhileStillReading",
       [](ScriptedConnection& c) {
         if (!c.Welcome()) return;
         c.ShutdownSending();
         std::string line;
         while (c.ReadLine(&line, 3s)) {
         }
       }},
      {"CloseRightAfterAccepting", [](ScriptedConnection& c) { c.Close(); }},
      {"ResetRightAfterAccepting", [](ScriptedConnection& c) { c.Reset(); }},
      {"CloseDuringTheLogonPause",
       [](ScriptedConnection& c) {
         std::string line;
         c.ReadLine(&line);
         c.ReadLine(&line);
         c.Close();
       }},
  };
}

class HostileServerReconnectTest : public HostileServerTest,
                                   public testing::WithParamInterface<ReconnectCase> {};

TEST_P(HostileServerReconnectTest, ReconnectsAndWalks) {
  const ReconnectCase& c = GetParam();
  if (!c.members.empty()) WriteFile("bwmembers.txt", c.members);
  Start({c.script});
  ExpectReconnectAndWalk();
  if (!c.notShown.empty()) {
    EXPECT_FALSE(OutputHas(c.notShown)) << "an unfinished or overlong line is no event";
  }
  if (!c.diagnosed.empty()) {
    EXPECT_NE(std::string::npos, ReadFile("corvane.log").find(c.diagnosed));
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, HostileServerReconnectTest, testing::ValuesIn(ReconnectCases()),
                         [](const testing::TestParamInfo<ReconnectCase>& info) { return info.param.name; });

TEST_F(HostileServerTest, SilentServerLeavesTheBotIdleWithoutABusyLoop) {
  std::atomic<pid_t> pid{0};
  std::atomic<long> ticks{-1};
  Start({[&](ScriptedConnection& c) {
    if (!c.Welcome()) return;
    // Accepted, named, and then nothing for three seconds: the bot waits a
    // second at a time for the next line.
    pid = BotPid();
    long before = CpuTicks(pid);
    std::this_thread::sleep_for(3s);
    ticks = CpuTicks(pid) - before;
    c.Converse();
  }});
  ExpectWalk(1);
  ASSERT_NE(0, pid);
  long perSecond = sysconf(_SC_CLK_TCK);
  std::printf("CPU in 3 s of silence: %ld ticks of 1/%ld s\n", ticks.load(), perSecond);
  EXPECT_LE(ticks, perSecond / 10) << "more than 0.1 s of CPU in 3 s of silence";
}

TEST_F(HostileServerTest, RefusedConnectionsUntilTheServerStarts) {
  // Nothing listens at first: the bot's connect attempts are refused, 40 ms
  // apart in this build. Once one was refused, the bot is paused, the server
  // started, and the bot let go on: it reaches the server at its next
  // attempt, however slow the machine. Only if the bot got through all ten
  // attempts before it could be paused (a test thread stalled for most of
  // 400 ms) is the run tried again.
  const std::string refused = "Cannot connect to 127.0.0.1";
  for (int run = 1; !server_; ++run) {
    ASSERT_LE(run, 5) << "the bot never stayed long enough to be paused";
    Run(CORVANE_BW_FAST);
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ReadFile("corvane.log").find(refused) == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no refused attempt was told";
      std::this_thread::sleep_for(1ms);
    }
    if (bot_->Pause()) {
      StartServer();
      bot_->Resume();
    } else {
      // It ended: only sound if it made its ten attempts.
      ASSERT_EQ(10, CountOf(ReadFile("corvane.log"), refused)) << ReadFile("corvane.log");
      std::remove("corvane.log");
    }
  }
  EXPECT_TRUE(WaitForLine("\x03\x04statbot", 1));
  ExpectWalk(1);
}

TEST_F(HostileServerTest, ServerThatKeepsPlacingTheBotInAnotherChannel) {
  Start({[](ScriptedConnection& c) {
    if (!c.Welcome() || !c.Send("1007 CHANNEL \"Elsewhere\"\r\n")) return;
    // Twenty more refusals of the home channel, then let the bot in.
    for (int i = 0; i < 20; ++i) {
      if (!c.ReadUntil("/join Clan ") || !c.Send("1007 CHANNEL \"Elsewhere\"\r\n")) return;
    }
    c.Converse();
  }});
  ExpectWalk(1);
  EXPECT_TRUE(WaitForLine("/join Clan ", 1, 21));
}

// --- Resources over many connections --------------------------------------

TEST_F(HostileServerTest, HundredReconnectCyclesLeakNoDescriptorsOrMemory) {
  const int kCycles = 100;
  struct Sample {
    int descriptors = -1;
    long rssKb = -1;
  };
  std::vector<Sample> samples(kCycles + 1);
  std::vector<Script> scripts;
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    scripts.push_back([this, &samples, cycle](ScriptedConnection& c) {
      if (!c.Welcome()) return;
      // Named, an answer recorded, then dropped: every cycle goes through
      // the logon, the receive loop, both logs and the reconnect.
      const std::string info = "cycle " + std::to_string(cycle);
      c.Send(Info(info));
      // Sampled once the bot has printed the line, which it does after
      // recording it: no result log is open then.
      pid_t pid = BotPid();
      if (!WaitForOutput("INFO: " + info + " \r\n")) return;
      samples[static_cast<std::size_t>(cycle)] = {
          testing_support::OpenDescriptors(std::to_string(pid)),
          testing_support::StatusFieldKb(std::to_string(pid), "VmRSS")};
      c.Close();
    });
  }
  Start(scripts);
  ASSERT_TRUE(WaitForConnections(kCycles + 1, 60s));
  ExpectWalk(kCycles + 1);
  const Sample& first = samples[1];
  const Sample& last = samples[kCycles];
  std::printf("after cycle 1: %d descriptors, %ld kB resident; after cycle %d: %d, %ld kB\n",
              first.descriptors, first.rssKb, kCycles, last.descriptors, last.rssKb);
  ASSERT_GT(first.descriptors, 0);
  EXPECT_EQ(first.descriptors, last.descriptors);
  if (ResidentMemoryIsTheProgramsOwn()) {
    EXPECT_LE(last.rssKb - first.rssKb, 64) << "resident memory grew over the cycles";
  } else {
    std::printf("resident memory not compared: a sanitizer or valgrind runtime holds freed blocks\n");
  }
  EXPECT_NE(std::string::npos, ReadFile("BroodWar.log").find("cycle 100 \r\n"));
}

}  // namespace
}  // namespace corvane
