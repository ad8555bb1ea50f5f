// The results file: parsing the server's records, tying answers to their
// requests, and writing the rows.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/answer_attribution.h"
#include "app/results_file.h"
#include "app/stat_check_bot.h"
#include "core/bounded_text.h"
#include "tests/test_support.h"

namespace corvane {
namespace {

using namespace testing_support;

const char kQuota1[] = "Your message quota has been exceeded!";
const char kQuota2[] =
    "You are sending commands to the server too quickly and risk being disconnected for flooding. Please "
    "slow down.";
const char kNoCode1[] = "This game does not support win/loss records.";
const char kNoCode2[] = "You must supply a user name and a valid program ID.";
const char kNoCode3[] = "Example: /stats joe STAR";

std::string CsvRow(const ResultRow& row) {
  static char line[kResultsLineSize];
  std::size_t length = 0;
  EXPECT_EQ(1, FormatResultsRow(row, line, sizeof(line), &length));
  return std::string(line, length);
}

// "wins,losses,disconnects,rating,tag" of a games line; "-" when the line is
// no games line, "other" for a kind that is not ladder or normal.
std::string Figures(const char* line) {
  GameKind kind = kGamesOther;
  GameFigures f;
  if (!ReadGamesLine(line, &kind, &f)) return "-";
  if (kind == kGamesOther) return "other";
  return std::string(f.wins) + "," + f.losses + "," + f.disconnects + "," + f.rating + "," + f.tag;
}

TEST(StatsAnswer, GamesLinesInEveryKnownShapeAndNothingGuessedFromOthers) {
  const struct {
    const char* line;
    const char* figures;
  } cases[] = {
      {"Ladder games: 7-3-0 (rating 1543)", "7,3,0,1543,"},
      {"Normal games: 12-5-1", "12,5,1,,"},
      {"Ladder games: 0-0-0", "0,0,0,,"},
      {"Ladder games: [rank] 1625 pts (7/3/2)", "7,3,2,1625,rank"},
      {"Normal games: 0 pts (12/5/1)", "12,5,1,0,"},
      {"Normal games: [A+] 25-17-3", "25,17,3,,A+"},
      {"Ladder games: [] 1-2-3", "1,2,3,,"},
      // Unknown shapes: a games line, every field empty.
      {"Ladder games: 7-3", ",,,,"},
      {"Ladder games: 7-3-0 (rating 1543) and more", ",,,,"},
      {"Ladder games: 7-3-0 (rating )", ",,,,"},
      {"Ladder games: -7-3-0", ",,,,"},
      {"Ladder games: 1234567890-0-0", ",,,,"},
      {"Ladder games: [rank]7-3-0", ",,,,"},
      {"Ladder games: [rank 7-3-0", ",,,,"},
      {"Ladder games: 12 pts (1/2)", ",,,,"},
      {"Ladder games: 7-3-0 ", ",,,,"},
      {"Iron man games: 1-2-3", "other"},
      {"Normal games:", "other"},
      // Not games lines.
      {"games: 1-2-3", "-"},
      {"alice's record:", "-"},
      {"Ladder games 1-2-3", "-"},
      {"", "-"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.figures, Figures(c.line)) << c.line;

  char name[kMemberNameLimit + 1];
  EXPECT_TRUE(ReadRecordHeader("alice's record:", name));
  EXPECT_STREQ("alice", name);
  EXPECT_FALSE(ReadRecordHeader("'s record:", name));
  EXPECT_FALSE(ReadRecordHeader("alice's record: ", name));
}

// Rows as the file shows them, without the walk and time (they are checked
// once, below).
class Attribution : public testing::Test, public ResultSink {
 protected:
  void TakeRow(const ResultRow& row) override {
    ResultRow copy = row;
    copy.walk = copy.time = -1;
    rows_.push_back(CsvRow(copy));
    times_.push_back(row.time);
  }
  void Request(std::initializer_list<const char*> names) {
    for (const char* name : names) attribution_.Requested(name, 100);
  }
  void Info(const char* text) { attribution_.InfoLine(text, ++now_); }
  void Error(const char* text) { attribution_.ErrorLine(text, ++now_); }

  std::int64_t now_ = 1000;
  std::vector<std::string> rows_;
  std::vector<std::int64_t> times_;
  AnswerAttribution attribution_{*this};
};

TEST_F(Attribution, EachAnswerKindGoesToItsRequestAmongLinesThatAnswerNothing) {
  Request({"alice", "bob", "nobody", "Carol", "dave", "erin"});
  Info("you are now tempOP for this channel");
  Info("alice's record:");
  Info("Normal games: 12-5-1");
  Info("Ladder games: 7-3-0 (rating 1543)");
  Error(kQuota1);  // bob's request was dropped by the flood limit
  Error(kQuota2);
  Info("No one hears you.");
  Error("Invalid user.");
  Info("CAROL's record:");  // the server's spelling
  Info("Ladder games: [A+] 1625 pts (7/3/2)");
  Info("Normal games: [A+] 0 pts (12/5/1)");
  Error(kNoCode1);
  Error(kNoCode2);
  Error(kNoCode3);
  Info("erin's record:");
  Info("Normal games: 1-1-1");
  Info("Normal games: 2-2-2");  // two lines of one kind: neither is taken
  Info("Iron man games: 3-3-3");
  attribution_.EndAnswer();
  EXPECT_EQ((std::vector<std::string>{
                ",,alice,record,7,3,0,1543,,12,5,1,,,alice's record: | Normal games: 12-5-1 | Ladder games: "
                "7-3-0 (rating 1543)\r\n",
                ",,bob,dropped,,,,,,,,,,,Your message quota has been exceeded! | You are sending commands "
                "to the server too quickly and risk being disconnected for flooding. Please slow down.\r\n",
                ",,nobody,unknown,,,,,,,,,,,Invalid user.\r\n",
                ",,Carol,record,7,3,2,1625,A+,12,5,1,0,A+,CAROL's record: | Ladder games: [A+] 1625 pts "
                "(7/3/2) | Normal games: [A+] 0 pts (12/5/1)\r\n",
                ",,dave,error,,,,,,,,,,,This game does not support win/loss records. | You must supply a "
                "user name and a valid program ID. | Example: /stats joe STAR\r\n",
                ",,erin,record,,,,,,,,,,,erin's record: | Normal games: 1-1-1 | Normal games: 2-2-2 | Iron "
                "man games: 3-3-3\r\n"}),
            rows_);
  EXPECT_EQ((std::vector<std::int64_t>{1002, 1005, 1008, 1009, 1012, 1015}), times_)
      << "the time each answer's first line was read";
  EXPECT_EQ(0, attribution_.waiting());
}

TEST_F(Attribution, AMissingAnswerIsUnansweredAndARecordIsNeverTiedToAnotherName) {
  Request({"alice", "bob", "carol"});
  Info("alice's record:");
  Info("carol's record:");  // bob got no answer
  Info("Normal games: 1-2-3");
  Info("zed's record:");  // names no waiting request
  attribution_.EndAnswer();
  EXPECT_EQ((std::vector<std::string>{",,alice,record,,,,,,,,,,,alice's record:\r\n",
                                      ",,bob,unanswered,,,,,,,,,,,\r\n",
                                      ",,carol,record,,,,,,1,2,3,,,carol's record: | Normal games: 1-2-3\r\n",
                                      ",,,unattributed,,,,,,,,,,,zed's record:\r\n"}),
            rows_);
}

TEST_F(Attribution, ALostConnectionEndsTheAnswerAndLeavesTheRestUnanswered) {
  Request({"alice", "bob"});
  Info("alice's record:");
  Info("Normal games: 1-2-3");
  Error(kQuota1);
  attribution_.ConnectionLost(2000);
  EXPECT_EQ((std::vector<std::string>{",,alice,record,,,,,,1,2,3,,,alice's record: | Normal games: 1-2-3\r\n",
                                      ",,bob,dropped,,,,,,,,,,,Your message quota has been exceeded!\r\n"}),
            rows_)
      << "the answer being read counts with what came";
  rows_.clear();
  Request({"carol", "dave"});
  Info("carol's record:");
  attribution_.ConnectionLost(2000);
  EXPECT_EQ((std::vector<std::string>{",,carol,record,,,,,,,,,,,carol's record:\r\n",
                                      ",,dave,unanswered,,,,,,,,,,,\r\n"}),
            rows_);
  EXPECT_EQ(2000, times_.back());
  rows_.clear();
  Info("Normal games: 1-2-3");
  Error("Invalid user.");
  EXPECT_EQ(std::vector<std::string>{",,,unattributed,,,,,,,,,,,Invalid user.\r\n"}, rows_)
      << "a new connection remembers nothing of the old one";
}

TEST_F(Attribution, AnswersPastTheCapacityAreUnattributed) {
  const int names = kRequestQueueCapacity + 2;
  for (int i = 0; i < names; ++i) attribution_.Requested(("p" + std::to_string(i)).c_str(), 100);
  EXPECT_EQ(kRequestQueueCapacity, attribution_.waiting());
  for (int i = 0; i < 3; ++i) Error("Invalid user.");
  // A request sent while earlier ones are untracked is not stored either.
  attribution_.Requested("late", 100);
  for (int i = 3; i < names + 1; ++i) Info(("p" + std::to_string(i) + "'s record:").c_str());
  attribution_.EndAnswer();
  ASSERT_EQ(static_cast<std::size_t>(names + 1), rows_.size());
  EXPECT_EQ(",,p2,unknown,,,,,,,,,,,Invalid user.\r\n", rows_[2]);
  EXPECT_EQ(",,p2047,record,,,,,,,,,,,p2047's record:\r\n", rows_[kRequestQueueCapacity - 1]);
  EXPECT_EQ(",,,unattributed,,,,,,,,,,,p2048's record:\r\n", rows_[kRequestQueueCapacity]);
  EXPECT_EQ(",,,unattributed,,,,,,,,,,,p2050's record:\r\n", rows_.back());
  rows_.clear();
  attribution_.Requested("again", 100);
  Error("Invalid user.");
  EXPECT_EQ(std::vector<std::string>{",,again,unknown,,,,,,,,,,,Invalid user.\r\n"}, rows_)
      << "once every untracked answer came, requests are remembered again";
}

TEST(ResultsFile, QuotesAndDefusesTextsAndWritesTheHeaderOnce) {
  ScratchDirectory scratch;
  ResultRow row;
  ClearResultRow(&row);
  row.walk = 1796797805;
  row.time = 1796797866;
  row.status = kStatusRecord;
  CopyText(row.player, "-Zed-");
  CopyText(row.ladder.tag, "=1+1");
  CopyText(row.answer, "say \"hi\", |\r\n@x");
  ResultsFile results("BroodWar.csv");
  ResultsFileNews news = kResultsFileMoved;
  ASSERT_EQ(1, results.Append(row, &news));
  EXPECT_EQ(kResultsFileAsNamed, news);
  ClearResultRow(&row);
  ASSERT_EQ(1, results.Append(row, &news));
  EXPECT_EQ(std::string(kResultsHeader) +
                "\r\n2026-12-09T06:30:05Z,2026-12-09T06:31:06Z,'-Zed-,record,,,,,'=1+1,,,,,,"
                "\"say \"\"hi\"\", |\r\n@x\"\r\n,,,unattributed,,,,,,,,,,,\r\n",
            ReadFile("BroodWar.csv"));
}

TEST(ResultsFile, AFileWithOtherColumnsIsLeftAloneForANewOne) {
  ScratchDirectory scratch;
  WriteFile("BroodWar.csv", "when,who\r\n");
  WriteFile("BroodWar-2.csv", "something else\r\n");
  WriteFile("BroodWar-3.csv", std::string(kResultsHeader) + "\n");  // as a spreadsheet saves it
  ResultRow row;
  ClearResultRow(&row);
  ResultsFile results("BroodWar.csv");
  ResultsFileNews news = kResultsFileAsNamed;
  ASSERT_EQ(1, results.Append(row, &news));
  EXPECT_EQ(kResultsFileMoved, news);
  ASSERT_EQ(1, results.Append(row, &news));
  EXPECT_EQ(kResultsFileAsNamed, news) << "told once";
  EXPECT_STREQ("BroodWar-3.csv", results.path());
  EXPECT_EQ("when,who\r\n", ReadFile("BroodWar.csv"));
  EXPECT_EQ(std::string(kResultsHeader) + "\n" + CsvRow(row) + CsvRow(row), ReadFile("BroodWar-3.csv"));
}

// Each text field, guarded or not, comes back from the reader as the writer
// was given it; the file shows the guard a spreadsheet needs.
TEST(ResultsFile, EveryTextRoundTripsThroughTheGuardAndTheQuotes) {
  ScratchDirectory scratch;
  const struct {
    const char* text;
    const char* field;  // as the file has it
  } cases[] = {
      {"=1+1", "'=1+1"},       {"+1", "'+1"}, {"-Zed-", "'-Zed-"}, {"@x", "'@x"},
      {"'x", "''x"},           {"''", "'''"}, {"x=1", "x=1"},      {"a,\"b\"", "\"a,\"\"b\"\"\""},
      {"-\r\n", "\"'-\r\n\""}, {"", ""},
  };
  ResultsFile results("BroodWar.csv");
  std::string expected = std::string(kResultsHeader) + "\r\n";
  for (const auto& c : cases) {
    ResultRow row;
    ClearResultRow(&row);
    CopyText(row.player, c.text);
    CopyText(row.normal.tag, c.text);
    CopyText(row.answer, c.text);
    ResultsFileNews news;
    ASSERT_EQ(1, results.Append(row, &news));
    expected += std::string(",,") + c.field + ",unattributed,,,,,,,,,," + c.field + "," + c.field + "\r\n";
  }
  EXPECT_EQ(expected, ReadFile("BroodWar.csv"));
  ResultsReader reader;
  ASSERT_EQ(1, reader.Open("BroodWar.csv"));
  static ResultsRecord record;
  for (const auto& c : cases) {
    ASSERT_EQ(1, reader.Next(&record));
    EXPECT_EQ(kResultsColumnCount, record.fields);
    for (ResultsColumn column : {kColumnPlayer, kColumnNormalTag, kColumnAnswer}) {
      EXPECT_EQ(c.text, std::string(record.field[column], record.length[column])) << c.field;
    }
    EXPECT_STREQ("unattributed", record.field[kColumnStatus]);
  }
  EXPECT_EQ(0, reader.Next(&record));
  EXPECT_FALSE(reader.failed());
}

// Files a spreadsheet or an editor saved, or a cut last line: the reader
// reads them, the writer appends CR LF rows, never joining a line.
TEST(ResultsFile, AByteOrderMarkLfLineEndsAndACutLastLineAreTaken) {
  ScratchDirectory scratch;
  ResultRow row;
  ClearResultRow(&row);
  CopyText(row.player, "bob");
  const std::string added = CsvRow(row);
  const std::string header = kResultsHeader;
  const struct {
    std::string before;    // the file as found
    std::string appended;  // what Append adds
    std::vector<std::string> players;
  } cases[] = {
      {"\xEF\xBB\xBF" + header + "\r\n,,alice,record\r\n", added, {"alice", "bob"}},
      {header + "\n,,alice,record\n,,\"a\nb\",record\n", added, {"alice", "a\nb", "bob"}},
      {"\xEF\xBB\xBF" + header + "\n,,alice,record", "\r\n" + added, {"alice", "bob"}},
      {header, "\r\n" + added, {"bob"}},
      {"\xEF\xBB\xBF", header + "\r\n" + added, {"bob"}},
      {"", header + "\r\n" + added, {"bob"}},
  };
  static ResultsRecord record;
  for (const auto& c : cases) {
    WriteFile("BroodWar.csv", c.before);
    ResultsFile results("BroodWar.csv");
    ResultsFileNews news;
    ASSERT_EQ(1, results.Append(row, &news)) << c.before;
    EXPECT_EQ(kResultsFileAsNamed, news) << c.before;
    EXPECT_EQ(c.before + c.appended, ReadFile("BroodWar.csv"));
    ResultsReader reader;
    ASSERT_EQ(1, reader.Open("BroodWar.csv")) << c.before;
    std::vector<std::string> players;
    while (reader.Next(&record)) players.push_back(record.field[kColumnPlayer]);
    EXPECT_EQ(c.players, players) << c.before;
  }
  for (const char* foreign : {"walk,time\r\n", "\xEF\xBB\xBFwalk,time,player\r\n", "x"}) {
    WriteFile("Other.csv", std::string(foreign) + ",,alice\r\n");
    ResultsReader reader;
    EXPECT_EQ(0, reader.Open("Other.csv")) << foreign;
    EXPECT_TRUE(reader.opened());
  }
}

// The bot's hooks: requests the walk sent, answers read by the receive loop,
// an idle second (alice's answer ends before its games line comes) and the
// end of the connection.
TEST(StatCheckBotResults, AWalkAndItsAnswersBecomeRowsOfTheResultsFile) {
  ScriptedBot scripted("alice\nbob\ncarol\n");
  auto& [folder, environment, bot] = scripted;
  WriteFile("BroodWar.csv", "walk,time\r\n");
  ASSERT_EQ(1, bot.Connect());
  environment.Script({"1007 CHANNEL \"Clan\"\r\n1018 INFO \"alice's record:\"\r\n",
                      ScriptedEnvironment::kTimeout, "1018 INFO \"Normal games: 1-2-3\"\r\n",
                      "1018 INFO \"bob's record:\"\r\n1018 INFO \"Normal games: 4-5-6\"\r\n"});
  testing::internal::CaptureStdout();
  bot.ReceiveLoop();
  environment.utcTime += 60;
  bot.ConnectionEnded();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::string(kResultsHeader) +
                "\r\n"
                "2026-12-09T06:30:05Z,2026-12-09T06:30:05Z,alice,record,,,,,,,,,,,alice's record:\r\n"
                "2026-12-09T06:30:05Z,2026-12-09T06:30:05Z,bob,record,,,,,,4,5,6,,,bob's record: | "
                "Normal games: 4-5-6\r\n"
                "2026-12-09T06:30:05Z,2026-12-09T06:31:05Z,carol,unanswered,,,,,,,,,,,\r\n",
            ReadFile("BroodWar-2.csv"));
  EXPECT_EQ("walk,time\r\n", ReadFile("BroodWar.csv"));
  const std::string moved =
      "BroodWar.csv has other columns than this program writes; the results go to BroodWar-2.csv";
  EXPECT_NE(std::string::npos, out.find("\n" + moved + " \r\n")) << out;
  EXPECT_NE(std::string::npos,
            WithoutLogTimes(ReadFile("corvane.log")).find("The results file " + moved + "\r\n"));
}

TEST(StatCheckBotResults, WhenEveryFileHasOtherColumnsNoRowIsWrittenAndThatIsToldOnce) {
  ScriptedBot scripted("alice\nbob\n");
  auto& [folder, environment, bot] = scripted;
  WriteFile("BroodWar.csv", "walk,time\r\n");
  for (int number = 2; number <= 99; ++number) {
    WriteFile("BroodWar-" + std::to_string(number) + ".csv", "\xEF\xBB\xBFsomething else\n");
  }
  ASSERT_EQ(1, bot.Connect());
  environment.Script({"1007 CHANNEL \"Clan\"\r\n1018 INFO \"alice's record:\"\r\n"});
  testing::internal::CaptureStdout();
  bot.ReceiveLoop();
  bot.ConnectionEnded();  // bob's row too
  const std::string out = testing::internal::GetCapturedStdout();
  bot.CloseLog();
  const std::string told =
      "BroodWar.csv and every file up to BroodWar-99.csv have other columns than this program writes; "
      "the results are not written";
  EXPECT_EQ(1, CountOf(out, told + " \r\n")) << out;
  const std::string log = WithoutLogTimes(ReadFile("corvane.log"));
  EXPECT_EQ(1, CountOf(log, "The results file " + told + "\r\n")) << log;
  EXPECT_EQ(std::string::npos, log.find("Cannot write")) << log;
  EXPECT_EQ("walk,time\r\n", ReadFile("BroodWar.csv"));
  EXPECT_EQ("\xEF\xBB\xBFsomething else\n", ReadFile("BroodWar-99.csv"));
  EXPECT_FALSE(FileExists("BroodWar.html"));
}

}  // namespace
}  // namespace corvane
