// Rows that wait for a results file, or a seen file, that does not take
// them: the spool's order, the hand-over, a hand-over a kill cut short, and
// the page. A file that refuses rows is a folder of its name: root, who runs
// the tests, may write any file.
#include "app/row_spool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/report_page.h"
#include "app/seen_file.h"
#include "app/stat_check_bot.h"
#include "tests/test_support.h"

namespace corvane {
namespace {

using namespace testing_support;

const std::string kHeader = std::string(kResultsHeader) + "\r\n";
const std::string kOld =
    "2026-12-08T06:30:05Z,2026-12-08T06:30:06Z,alice,unknown,,,,,,,,,,,Invalid user.\r\n";
const std::string kRows[] = {
    "2026-12-09T06:30:05Z,2026-12-09T06:30:06Z,alice,unknown,,,,,,,,,,,Invalid user.\r\n",
    "2026-12-09T06:30:05Z,2026-12-09T06:30:07Z,bob,record,,,,,,4,5,6,,,bob's record:\r\n",
    "2026-12-09T06:30:05Z,2026-12-09T06:30:08Z,carol,unanswered,,,,,,,,,,,\r\n"};
const std::string kAllRows = kRows[0] + kRows[1] + kRows[2];

// Adds kRows[index], a formatted row, to `spool`; the bot's tests below
// give it rows to format (Add).
int Add(RowSpool& spool, int index) { return spool.AddLine(kRows[index].data(), kRows[index].size()); }

// Each row goes to the spool while the results file refuses it, after the
// spool's header; then the rows reach the results file in their order, and
// the spool goes.
TEST(RowSpool, RowsWaitInTheirOrderAndAreHandedOverInIt) {
  ScratchDirectory scratch;
  ScriptedEnvironment environment;
  environment.lastError = -1;
  std::filesystem::create_directory("BroodWar.csv");
  RowSpool spool(environment, "BroodWar.csv", kResultsHeader);
  EXPECT_FALSE(spool.Waiting());
  for (int row = 0; row < 3; ++row) ASSERT_EQ(1, Add(spool, row));
  EXPECT_TRUE(spool.Waiting());
  EXPECT_EQ(kHeader + kAllRows, ReadFile("BroodWar.csv.pending"));
  int appended = -1, skipped = -1;
  EXPECT_EQ(0, spool.HandOver("BroodWar.csv", &appended, &skipped));
  EXPECT_NE(0u, spool.errorCode());
  EXPECT_TRUE(spool.Waiting());

  // The next run finds the last line cut (a power cut): it ends it, once,
  // before its first row, and the cut row stays one broken row.
  WriteFile("BroodWar.csv.pending", ReadFile("BroodWar.csv.pending") + "cut");
  RowSpool next(environment, "BroodWar.csv", kResultsHeader);
  for (int row = 0; row < 2; ++row) ASSERT_EQ(1, Add(next, 2));
  std::filesystem::remove("BroodWar.csv");
  WriteFile("BroodWar.csv", kHeader + kOld);
  ASSERT_EQ(1, next.HandOver("BroodWar.csv", &appended, &skipped));
  EXPECT_EQ(kHeader + kOld + kAllRows + "cut\r\n" + kRows[2] + kRows[2], ReadFile("BroodWar.csv"));
  EXPECT_EQ(6, appended);
  EXPECT_EQ(0, skipped);
  EXPECT_FALSE(next.Waiting());
  EXPECT_FALSE(FileExists("BroodWar.csv.pending"));
}

// A hand-over that a kill cut short left the first rows in both files, or a
// power cut left part of a row: every row ends up in the results file once
// after the rows it already had, and a cut line stays one broken row.
TEST(RowSpool, RowsAnEarlierHandOverLeftAreNotAppendedTwice) {
  const std::string cut = kRows[1].substr(0, 30);
  const struct {
    const char* name;
    std::string results;  // after the header
    std::string spool;    // after the header
    std::string expected;
    int skipped;
  } cases[] = {
      {"none there", kOld, kAllRows, kOld + kAllRows, 0},
      {"the first there", kOld + kRows[0], kAllRows, kOld + kAllRows, 1},
      {"two there", kOld + kRows[0] + kRows[1], kAllRows, kOld + kAllRows, 2},
      {"all there", kOld + kAllRows, kAllRows, kOld + kAllRows, 3},
      {"only the header there", "", kAllRows, kAllRows, 0},
      {"the first there, not at the end", kRows[0] + kOld, kAllRows, kRows[0] + kOld + kAllRows, 0},
      {"the second there alone", kOld + kRows[1], kAllRows, kOld + kRows[1] + kAllRows, 0},
      {"the first, then a cut second", kOld + kRows[0] + cut, kAllRows,
       kOld + kRows[0] + cut + "\r\n" + kRows[1] + kRows[2], 1},
      {"a cut last row in the spool", kOld, kRows[0] + cut, kOld + kRows[0] + cut + "\r\n", 0},
  };
  for (const auto& c : cases) {
    ScratchDirectory scratch;
    ScriptedEnvironment environment;
    WriteFile("BroodWar.csv", kHeader + c.results);
    WriteFile("BroodWar.csv.pending", kHeader + c.spool);
    RowSpool spool(environment, "BroodWar.csv", kResultsHeader);
    int appended = -1, skipped = -1;
    ASSERT_EQ(1, spool.HandOver("BroodWar.csv", &appended, &skipped)) << c.name;
    EXPECT_EQ(kHeader + c.expected, ReadFile("BroodWar.csv")) << c.name;
    EXPECT_EQ(c.skipped, skipped) << c.name;
    EXPECT_FALSE(FileExists("BroodWar.csv.pending")) << c.name;
  }
}

TEST(RowSpool, ThePageCarriesTheWaitingRowsAfterTheirFilesOnes) {
  ScratchDirectory scratch;
  ScriptedEnvironment environment;
  WriteFile("BroodWar.csv", kHeader + kOld);
  WriteFile("BroodWar.csv.pending", kHeader + kRows[0] + kRows[2]);
  // The seen file's waiting rows come after its own: alice left at 06:31.
  const std::string seen = std::string(kSeenHeader) + "\r\n";
  WriteFile("BroodWar-seen.csv",
            seen + "2026-12-09T06:30:00Z,,watching,Clan\r\n2026-12-09T06:30:10Z,alice,joined,Clan\r\n");
  WriteFile("BroodWar-seen.csv.pending", seen + "2026-12-09T06:31:00Z,alice,left,Clan\r\n");
  ReportPageSource source = {
      "BroodWar.csv",      "BroodWar.html",        "chat.example.org",         "BWCorvane 1.0",
      "BroodWar-seen.csv", "BroodWar.csv.pending", "BroodWar-seen.csv.pending"};
  ReportPageProblem problem = {"", "", 0};
  ASSERT_EQ(1, WriteReportPage(environment, source, &problem)) << problem.step;
  const std::string page = ReadFile("BroodWar.html");
  EXPECT_NE(std::string::npos, page.find(R"("newestWalk":"2026-12-09T06:30:05Z")"));
  EXPECT_NE(std::string::npos,
            page.find(R"(["2026-12-08T06:30:05Z",["alice","unknown","","","","","","","","","","",)"
                      R"("Invalid user.","2026-12-08T06:30:06Z"],"2026-12-09T06:30:05Z",["alice",)"))
      << page;
  EXPECT_NE(std::string::npos, page.find(R"(["carol","unanswered")"));
  EXPECT_NE(std::string::npos, page.find(R"(["alice",0,"2026-12-09T06:31:00Z",)")) << page;
}

// Through the bot: the rows of a walk wait while the results file, or the
// seen file, refuses them, the console and corvane.log say so once, an idle
// bot tries again only after a minute, and then says once that they are
// written.
TEST(RowSpool, TheBotKeepsTheRowsOfAWalkUntilTheirFileTakesThem) {
  const std::string row = "2026-12-09T06:30:05Z,2026-12-09T06:30:05Z,";
  const std::string seen = "2026-12-09T06:30:05Z,";
  const struct {
    const char* file;
    const char* kind;
    std::string rows;  // the file's, as the spool and then the file hold them
  } cases[] = {
      {"BroodWar.csv", "results",
       kHeader + row + "alice,unknown,,,,,,,,,,,Invalid user.\r\n" + row +
           "bob,unknown,,,,,,,,,,,Invalid user.\r\n"},
      {"BroodWar-seen.csv", "seen",
       std::string(kSeenHeader) + "\r\n" + seen + ",watching,Clan\r\n" + seen + "bob,joined,Clan\r\n"},
  };
  for (const auto& c : cases) {
    ScriptedBot scripted("alice\nbob\n");
    auto& [folder, environment, bot] = scripted;
    environment.lastError = -1;
    std::filesystem::create_directory(c.file);
    const std::string spool = std::string(c.file) + ".pending";
    testing::internal::CaptureStdout();
    scripted.Receive(
        {"1007 CHANNEL \"Clan\"\r\n1019 ERROR \"Invalid user.\"\r\n1019 ERROR \"Invalid user.\"\r\n"
         "1002 JOIN bob 0010 [CHAT]\r\n",
         ScriptedEnvironment::kTimeout});
    EXPECT_EQ(c.rows, ReadFile(spool.c_str())) << c.file;
    std::filesystem::remove(c.file);
    // The rows came just before the wait that timed out; the retries are
    // counted from them, in program time.
    const std::int64_t refusedAt = environment.programTimeMs - 1000;
    environment.programTimeMs = refusedAt + kRowSpoolRetryMs - 1 - 1000;
    scripted.Receive({ScriptedEnvironment::kTimeout});
    EXPECT_FALSE(FileExists(c.file)) << "tried again within a minute";
    environment.programTimeMs = refusedAt + kRowSpoolRetryMs - 1000;
    scripted.Receive({ScriptedEnvironment::kTimeout, ScriptedEnvironment::kTimeout});
    const std::string out = testing::internal::GetCapturedStdout();
    bot.CloseLog();

    EXPECT_EQ(c.rows, ReadFile(c.file));
    EXPECT_FALSE(FileExists(spool.c_str()));
    const std::string written = "The rows that waited in " + spool + " are written to " + c.file;
    const std::string cannot = std::string("Cannot write the ") + c.kind + " file " + c.file;
    const std::string wait = "; rows wait in " + spool + " until it can be written";
    EXPECT_EQ(1, CountOf(out, cannot + " (error code 21)" + wait + " \r\n")) << out;
    EXPECT_EQ(1, CountOf(out, "rows wait")) << out;
    EXPECT_EQ(1, CountOf(out, written + " \r\n")) << out;
    const std::string log = WithoutLogTimes(ReadFile("corvane.log"));
    EXPECT_EQ(1, CountOf(log, cannot + ": error code 21" + wait + "\r\n")) << log;
    EXPECT_EQ(1, CountOf(log, written + ": 2 appended, 0 that were there already left out\r\n")) << log;
  }
}

// A stop during a walk while the results file refuses rows: the answer read
// and the requests the stop leaves unanswered all wait, and the next start
// writes them in their order. (A folder of the results file's name has no
// page; the end-to-end tests see the page of a locked file.)
TEST(RowSpool, AStopWhileRowsWaitLosesNone) {
  ScriptedBot scripted("alice\nbob\ncarol\ndave\n");
  auto& [folder, environment, bot] = scripted;
  environment.lastError = -1;
  std::filesystem::create_directory("BroodWar.csv");
  testing::internal::CaptureStdout();
  ASSERT_EQ(1, bot.Connect());
  environment.Script({"1007 CHANNEL \"Clan\"\r\n", "1018 INFO \"alice's record:\"\r\n",
                      ScriptedEnvironment::kTimeout, ScriptedEnvironment::kTimeout,
                      ScriptedEnvironment::kTimeout, "1018 INFO \"zed's record:\"\r\n"});
  environment.stopAtSleep = 5;  // in the pause before dave's request
  environment.stopAtWait = 3;   // a second request: the wait ends at once
  bot.ReceiveLoop();
  bot.FinishStop();
  const std::string spooled = ReadFile("BroodWar.csv.pending");

  std::filesystem::remove("BroodWar.csv");
  StatCheckBot next(kBroodWarVariant, environment);
  ASSERT_EQ(1, next.OpenLog("corvane.log"));
  next.HandOverWaitingRows();
  next.CloseLog();
  const std::string out = testing::internal::GetCapturedStdout();
  const std::size_t bob = spooled.find(",bob,unanswered,");
  EXPECT_LT(spooled.find(",alice,record,"), bob) << spooled;
  EXPECT_LT(bob, spooled.find(",carol,unanswered,")) << spooled;
  EXPECT_EQ(4, CountOf(spooled, "\n")) << spooled;
  EXPECT_EQ(spooled, ReadFile("BroodWar.csv")) << out;
  EXPECT_FALSE(FileExists("BroodWar.csv.pending"));
  EXPECT_EQ(1, CountOf(WithoutLogTimes(ReadFile("corvane.log")), ": 3 appended, 0 that were there"));
}

}  // namespace
}  // namespace corvane
