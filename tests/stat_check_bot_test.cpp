#include "app/stat_check_bot.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace corvane {
namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScratchDirectory;
using testing_support::ScriptedEnvironment;
using testing_support::WithoutLogTimes;
using testing_support::WriteFile;

// A connected bot in a scratch folder holding configuration.txt.
class StatCheckBotTest : public testing::Test {
 protected:
  explicit StatCheckBotTest(const ProductVariant& variant = kBroodWarVariant) : bot_(variant, environment_) {
    WriteFile("configuration.txt", "statbot secret1 abc\n");
    bot_.Configure("statbot", "secret1", "127.0.0.1", 6112);
    EXPECT_EQ(1, bot_.Connect());
  }

  // Walks `list` as bwmembers.txt; returns what was printed.
  std::string Walk(const std::string& list) {
    WriteFile("bwmembers.txt", list);
    environment_.sent.clear();
    environment_.sleeps.clear();
    testing::internal::CaptureStdout();
    bot_.WalkMembersList();
    return testing::internal::GetCapturedStdout();
  }

  std::string Dispatch(const std::string& line) {
    testing::internal::CaptureStdout();
    bot_.DispatchEventLine(line.c_str());
    return testing::internal::GetCapturedStdout();
  }

  static std::string Requests(const std::vector<std::string>& names) {
    std::string sent;
    for (const std::string& name : names) sent += "/stats " + name + " SEXP\r\n";
    return sent;
  }

  std::vector<unsigned> Passes(std::size_t count) { return std::vector<unsigned>(count, 5000); }

  ScratchDirectory scratch_;
  ScriptedEnvironment environment_;
  StatCheckBot bot_;
};

// One walk of a members list and what it must send.
struct WalkStep {
  std::string list;
  std::vector<std::string> requested;  // the names asked for, in order
  int passes = -1;                     // the 5 s pauses taken; -1: not checked
  const char* printed = nullptr;       // the console's text; null: not checked
  const char* why = "";
};

struct WalkCase {
  const char* name;
  std::vector<WalkStep> steps;
  friend void PrintTo(const WalkCase& c, std::ostream* out) { *out << c.name; }
};

std::vector<WalkCase> WalkCases() {
  const std::string h99(99, 'h'), h100(100, 'h');
  return {
      {"WalkSkipsTheHeadingAndSendsOneRequestPerPass",
       {{"Members\nalice\nbob\n",
         {"alice", "bob"},
         3,
         "Reading name: alice\nReading name: bob\n",
         "a final line end costs one more empty pass"},
        {"Members\nalice\nbob", {"alice", "bob"}, 2},
        {"Members\r\nalice\r\nbob\r\n", {"alice", "bob"}, -1, nullptr, "CR LF is one line end"},
        {"\xEF\xBB\xBFMembers\n\nalice\n", {"Members", "alice"}, -1, nullptr, "no byte-order mark in a name"},
        {"Members\nal\x1Aice\nbob\n", {"al\x1Aice", "bob"}, -1, nullptr, "0x1A is an ordinary byte"},
        {"Members\nhas space\n   \n", {"has space", "   "}, -1, nullptr, "spaces belong to the name"}}},
      {"EmptyLinesSendNothingButAHeadingBeforeOneIsAName",
       {{"Members\nalice\n\nbob\n", {"alice", "bob"}, 4}, {"Members\n\nalice\n", {"Members", "alice"}}}},
      {"ShortListsAndTheEmptyList", {{"alice", {"alice"}, 1}, {"alice\n", {"alice"}}, {"", {}, 1, ""}}},
      {"LongLinesNeverOverflowAndDoNotShiftLaterNames",
       {{"Members\nalice\n" + std::string(150, 'x') + "\nbob\n", {"alice", std::string(100, 'x'), "bob"}},
        // A first line of 100 characters or more: its first 100 are the
        // first read.
        {h100 + "rest\nbob\n", {"rest", "bob"}},
        {h100 + "\nbob\n", {h100, "bob"}},
        {h99 + "\r\nbob\r\n", {"bob"}, -1, nullptr, "a CR LF counts as one character of those 100"}}},
      {"WalkIsPrintedAndSentVerbatimWithoutFormatting",
       {{"Members\n%s%n\n", {"%s%n"}, -1, "Reading name: %s%n\n"}}},
  };
}

class WalkTest : public StatCheckBotTest, public testing::WithParamInterface<WalkCase> {};

TEST_P(WalkTest, SendsTheListsNames) {
  for (const WalkStep& step : GetParam().steps) {
    SCOPED_TRACE(testing::PrintToString(step.list));
    const std::string printed = Walk(step.list);
    if (step.printed != nullptr) {
      EXPECT_EQ(step.printed, printed) << step.why;
    }
    EXPECT_EQ(Requests(step.requested), environment_.sent) << step.why;
    if (step.passes >= 0) {
      EXPECT_EQ(Passes(static_cast<std::size_t>(step.passes)), environment_.sleeps) << step.why;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(StatCheckBot, WalkTest, testing::ValuesIn(WalkCases()),
                         [](const testing::TestParamInfo<WalkCase>& info) { return info.param.name; });

TEST_F(StatCheckBotTest, ChannelContainingTheHomeChannelStartsTheWalk) {
  WriteFile("bwmembers.txt", "Members\nalice\n");
  std::string printed = Dispatch("1007 CHANNEL \"xabcx\"\r");
  EXPECT_EQ("\nJoined Channel xabcx \r\nReading name: alice\n", printed);
  EXPECT_STREQ("xabcx", bot_.currentChannel());
  EXPECT_EQ(Requests({"alice"}), environment_.sent);
  EXPECT_EQ((std::vector<unsigned>{2000, 5000, 5000}), environment_.sleeps);
}

TEST_F(StatCheckBotTest, OtherChannelAsksToJoinTheHomeChannelAgain) {
  ASSERT_EQ(1, bot_.OpenLog("corvane.log"));
  WriteFile("configuration.txt", "statbot secret1 Home\n");
  // No members list: opening it here would end the process.
  EXPECT_EQ("\nJoined Channel Elsewhere \r\n\n/join Home \n", Dispatch("1007 CHANNEL \"Elsewhere\"\r"));
  EXPECT_EQ("/join Home \r\n", environment_.sent);
  EXPECT_EQ((std::vector<unsigned>{2000}), environment_.sleeps);
  EXPECT_EQ("", WithoutLogTimes(ReadFile("corvane.log")));

  // Containment is case-sensitive; a name that holds the home channel in
  // other letter case is re-joined all the same, and both spellings named.
  environment_.sent.clear();
  EXPECT_EQ(
      "\nJoined Channel my home? \r\n"
      "\nThe server calls this channel \"my home?\", configuration.txt names the home channel "
      "\"Home\": spell the home channel in configuration.txt as the server does. \r\n"
      "\n/join Home \n",
      Dispatch("1007 CHANNEL \"my home\x1b\"\r"));
  EXPECT_EQ("/join Home \r\n", environment_.sent);
  EXPECT_EQ(
      "The server calls the channel \"my home?\", configuration.txt names the home channel "
      "\"Home\": spell it in configuration.txt as the server does\r\n",
      WithoutLogTimes(ReadFile("corvane.log")));
}

TEST_F(StatCheckBotTest, ChangedHomeChannelTakesEffectAtTheNextChannelEvent) {
  WriteFile("bwmembers.txt", "Members\nalice\n");
  WriteFile("configuration.txt", "statbot secret1 One\n");
  Dispatch("1007 CHANNEL \"One\"\r");
  EXPECT_EQ(Requests({"alice"}), environment_.sent);
  environment_.sent.clear();
  WriteFile("configuration.txt", "statbot secret1\nTwo\n");
  Dispatch("1007 CHANNEL \"One\"\r");
  EXPECT_EQ("/join Two \r\n", environment_.sent);
}

TEST_F(StatCheckBotTest, AnswersArePrintedAndKeptInTheResultLog) {
  ASSERT_EQ(1, bot_.OpenLog("corvane.log"));
  EXPECT_EQ("INFO: alice's record: \r\n", Dispatch("1018 INFO \"alice's record:\"\r"));
  EXPECT_EQ("\nERROR: Invalid user. \r\n", Dispatch("1019 ERROR \"Invalid user.\"\r"));
  EXPECT_EQ("INFO: %s%n \r\n", Dispatch("1018 INFO \"%s%n\"\r"));
  EXPECT_EQ("alice's record: \r\nERROR: Invalid user. \r\n%s%n \r\n", ReadFile("BroodWar.log"));
  EXPECT_FALSE(FileExists("Starcraft.log"));
  // The diagnostic log keeps its slot after the first answer.
  Dispatch("1020 UNKNOWN\r");
  EXPECT_EQ("Unhandled event ID 1020\r\n", WithoutLogTimes(ReadFile("corvane.log")));
}

TEST_F(StatCheckBotTest, ALostResultIsPrintedAndReportedOncePerLine) {
  environment_.lastError = -1;  // the file calls' own error codes
  ASSERT_EQ(1, bot_.OpenLog("corvane.log"));
  ASSERT_EQ(0, mkdir("BroodWar.log", 0700));
  EXPECT_EQ("INFO: still shown \r\n", Dispatch("1018 INFO \"still shown\"\r"));
  EXPECT_EQ("\nERROR: also shown \r\n", Dispatch("1019 ERROR \"also shown\"\r"));
  const std::string lost = "Cannot open the result log BroodWar.log: error code " + std::to_string(EISDIR) +
                           "; an answer was printed but not recorded\r\n";
  EXPECT_EQ(lost + lost, WithoutLogTimes(ReadFile("corvane.log")));
  ASSERT_EQ(0, rmdir("BroodWar.log"));

  // A full disk: the line is taken into the stream's buffer and lost when
  // it is written out.
  ASSERT_EQ(0, symlink("/dev/full", "BroodWar.log"));
  EXPECT_EQ("INFO: into a full disk \r\n", Dispatch("1018 INFO \"into a full disk\"\r"));
  EXPECT_EQ(lost + lost + "Cannot write the result log BroodWar.log: error code " + std::to_string(ENOSPC) +
                "; an answer was printed but not recorded\r\n",
            WithoutLogTimes(ReadFile("corvane.log")));
}

TEST_F(StatCheckBotTest, NoticesAndTheLogonName) {
  EXPECT_EQ("\n*** LOGGED ON AS: statbot#2 *** \r\n", Dispatch("2010 NAME statbot#2\r"));
  EXPECT_STREQ("statbot#2", bot_.loggedOnName());
  EXPECT_EQ("\n***Channel is Full*** \r\n", Dispatch("1013 CHANNELFULL \"Clan\"\r"));
  EXPECT_EQ("\n***Channel is Restricted!*** \r\n", Dispatch("1015 CHANNELRESTRICTED \"Op\"\r"));
  EXPECT_EQ("", Dispatch("1014 CHANNELDOESNOTEXIST \"x\"\r"));
  EXPECT_EQ("", environment_.sent) << "refused joins are not answered";
}

TEST_F(StatCheckBotTest, AWalkStopsAtTheFirstRequestThatCannotBeSent) {
  ASSERT_EQ(1, bot_.OpenLog("corvane.log"));
  environment_.failSendAfter = static_cast<long>(Requests({"alice"}).size()) + 3;  // bob's line breaks off
  EXPECT_EQ("Reading name: alice\n", Walk("Members\nalice\nbob\ncarol\n"))
      << "only requests that were sent are printed";
  EXPECT_EQ(Requests({"alice"}) + "/st", environment_.sent);
  EXPECT_EQ(Passes(2), environment_.sleeps) << "no pass after the failed one";
  EXPECT_EQ("Cannot send the stats request for bob: error code 104; the walk stops there\r\n",
            WithoutLogTimes(ReadFile("corvane.log")));
}

TEST_F(StatCheckBotTest, MissingFilesInAHandlerEndTheProcessWithStatusOne) {
  EXPECT_EXIT(bot_.WalkMembersList(), testing::ExitedWithCode(1),
              "^Error Reading Brood War Members List\\.  Make sure list is in same directory "
              "as\n\t this program\\.\n$");
  // A folder cannot be read on any system: it is a missing list too.
  ASSERT_EQ(0, mkdir("bwmembers.txt", 0700));
  EXPECT_EXIT(bot_.WalkMembersList(), testing::ExitedWithCode(1), "^Error Reading Brood War Members List");
  rmdir("bwmembers.txt");
  EXPECT_EXIT(Dispatch("1007 CHANNEL \"abc\"\r"), testing::ExitedWithCode(1),
              "^Error Reading Brood War Members List");
  std::remove("configuration.txt");
  EXPECT_EXIT(Dispatch("1007 CHANNEL \"abc\"\r"), testing::ExitedWithCode(1),
              "^Error Reading Configuration File\n$");
}

class StarcraftBotTest : public StatCheckBotTest {
 protected:
  StarcraftBotTest() : StatCheckBotTest(kStarcraftVariant) {}
};

TEST_F(StarcraftBotTest, UsesItsOwnListCommandAndLog) {
  WriteFile("scmembers.txt", "Members\nbob1\n");
  bot_.WalkMembersList();
  EXPECT_EQ("/stats bob1 STAR\r\n", environment_.sent);
  Dispatch("1018 INFO \"bob1's record:\"\r");
  EXPECT_EQ("bob1's record: \r\n", ReadFile("Starcraft.log"));
  EXPECT_FALSE(FileExists("BroodWar.log"));
  std::remove("scmembers.txt");
  EXPECT_EXIT(bot_.WalkMembersList(), testing::ExitedWithCode(1),
              "^Error Reading Starcraft Members List\\.  Make sure list is in same directory "
              "as\n\t this program\\.\n$");
}

}  // namespace
}  // namespace corvane
