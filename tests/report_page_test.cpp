// The report page writer: the rows it carries, how it escapes them, and
// that a failed write never spoils the page a reader already has. What the
// page then shows is checked in a browser (tests/browser/).
#include "app/report_page.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/stat_check_bot.h"
#include "tests/test_support.h"

namespace corvane {
namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::RecordingEnvironment;
using testing_support::ScratchDirectory;
using testing_support::ScriptedBot;
using testing_support::ScriptedEnvironment;
using testing_support::WithoutLogTimes;
using testing_support::WriteFile;

const char kHeader[] =
    "walk,time,player,status,ladder_wins,ladder_losses,ladder_disconnects,"
    "ladder_rating,ladder_tag,normal_wins,normal_losses,normal_disconnects,"
    "normal_rating,normal_tag,answer\r\n";
const ReportPageSource kSource = {"BroodWar.csv", "BroodWar.html", "chat.example.org", "BWCorvane 1.0",
                                  nullptr};

// A row of the results file; the player's name is quoted as RFC 4180 says.
std::string Row(const std::string& walk, const std::string& player, const std::string& status = "unknown",
                const std::string& answer = "Invalid user.") {
  std::string quoted = "\"";
  for (char c : player) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return walk + "," + walk + "," + quoted + "\"," + status + ",7,3,0,1543,A+,,,,,," + answer + "\r\n";
}

// The page's rows: the JSON between its data element's tags.
std::string PageRows(RecordingEnvironment& environment, const std::string& results) {
  WriteFile("BroodWar.csv", results);
  ReportPageProblem problem = {"", "", 0};
  EXPECT_EQ(1, WriteReportPage(environment, kSource, &problem)) << problem.step;
  std::string page = ReadFile("BroodWar.html");
  std::string start = "<script type=\"application/json\" id=\"corvane-rows\">";
  std::size_t from = page.find(start);
  if (from == std::string::npos) return "<no rows element>";
  from += start.size();
  return page.substr(from, page.find("</script>", from) - from);
}

TEST(ReportPage, EscapesEveryByteThatCouldEndTheElementOrRunScript) {
  ScratchDirectory scratch;
  RecordingEnvironment environment;
  const struct {
    std::string name;      // a player's name as the results file has it
    std::string expected;  // the JSON string the page carries
  } cases[] = {
      {"\"</script ><img src=x onerror=alert(1)>\"",
       R"("\"\u003c/script \u003e\u003cimg src=x onerror=alert(1)\u003e\"")"},
      {"<!--&'\\", R"("\u003c!--\u0026\u0027\\")"},
      {"tab\tbell\x07"
       "del\x7f",
       R"("tab\u0009bell\u0007del\u007f")"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82\""},
      {"line\xe2\x80\xa8para\xe2\x80\xa9", R"("line\u2028para\u2029")"},
      // Not UTF-8: each byte is its Latin-1 character.
      {"caf\xe9 \xff", R"("caf\u00e9 \u00ff")"},
      {"overlong \xc0\xaf surrogate \xed\xa0\x80 cut \xe2\x82",
       R"("overlong \u00c0\u00af surrogate \u00ed\u00a0\u0080 cut \u00e2\u0082")"},
  };
  for (const auto& c : cases) {
    std::string rows = PageRows(environment, std::string(kHeader) + Row("2026-12-09T06:30:05Z", c.name));
    EXPECT_EQ("[\"2026-12-09T06:30:05Z\",[" + c.expected +
                  R"(,"unknown",7,3,0,1543,"A+","","","","","","Invalid user.","2026-12-09T06:30:05Z"]])",
              rows)
        << c.name;
  }
}

TEST(ReportPage, CarriesTheLastFourHundredDaysOfWalksEachTimeOnce) {
  ScratchDirectory scratch;
  RecordingEnvironment environment;
  // An unattributed answer belongs to no walk: it counts at the time it was
  // read, and never as the newest walk.
  std::string results = std::string(kHeader) + Row("2025-11-04T06:30:04Z", "too-old") +
                        Row("2025-11-04T06:30:05Z", "oldest") + Row("not a time", "no-walk") +
                        Row("2026-12-09T06:30:05Z", "a, \"quoted\"\r\nname") +
                        ",2027-01-01T00:00:00Z,,unattributed,,,,,,,,,,,x\r\n" +
                        Row("2026-12-09T06:30:05Z", "bob1", "record", "bob1's record: | ...");
  EXPECT_EQ(
      R"(["2025-11-04T06:30:05Z",["oldest","unknown",7,3,0,1543,"A+","","","","","","Invalid user.",)"
      R"("2025-11-04T06:30:05Z"],"2026-12-09T06:30:05Z",["a, \"quoted\"\u000d\u000aname","unknown",7,3,0,1543,)"
      R"("A+","","","","","","Invalid user.","2026-12-09T06:30:05Z"],"",["","unattributed","","","","","",)"
      R"("","","","","","x","2027-01-01T00:00:00Z"],"2026-12-09T06:30:05Z",)"
      R"(["bob1","record",7,3,0,1543,"A+","","","","",""]])",
      PageRows(environment, results));
}

// The page reads the file through the results file's reader: a file saved
// with a byte-order mark and LF line ends, and names without their guard.
TEST(ReportPage, ReadsASavedFileAndShowsNamesAsTheMembersListGivesThem) {
  ScratchDirectory scratch;
  RecordingEnvironment environment;
  const auto lf = [](std::string row) { return row.replace(row.size() - 2, 2, "\n"); };
  EXPECT_EQ(R"(["2026-12-09T06:30:05Z",["-Zed-","unknown",7,3,0,1543,"A+","","","","","","Invalid user.",)"
            R"("2026-12-09T06:30:05Z"],["\u0027x","unknown",7,3,0,1543,"A+","","","","","","=1",)"
            R"("2026-12-09T06:30:05Z"]])",
            PageRows(environment, "\xEF\xBB\xBF" + lf(kHeader) + lf(Row("2026-12-09T06:30:05Z", "'-Zed-")) +
                                      lf(Row("2026-12-09T06:30:05Z", "''x", "unknown", "'=1"))));
}

TEST(ReportPage, AFailedWriteLeavesTheOldPageAndNoTemporaryFile) {
  ScratchDirectory scratch;
  RecordingEnvironment environment;
  WriteFile("BroodWar.html", "the old page");
  ReportPageProblem problem = {"", "", 0};

  EXPECT_EQ(0, WriteReportPage(environment, kSource, &problem));  // no results file yet
  EXPECT_STREQ("open", problem.step);

  WriteFile("BroodWar.csv", "walk,time,player\r\n" + Row("2026-12-09T06:30:05Z", "alice"));
  EXPECT_EQ(0, WriteReportPage(environment, kSource, &problem));
  EXPECT_STREQ("recognise the columns of", problem.step);

  WriteFile("BroodWar.csv", std::string(kHeader) + Row("2026-12-09T06:30:05Z", "alice"));
  environment.failReplace = true;
  EXPECT_EQ(0, WriteReportPage(environment, kSource, &problem));
  char text[kReportPageProblemTextSize];
  FormatReportPageProblem(problem, text);
  EXPECT_EQ("Cannot put in place BroodWar.html: error code 13; the report page was not written",
            std::string(text));
  EXPECT_EQ("the old page", ReadFile("BroodWar.html"));
  EXPECT_FALSE(FileExists("BroodWar.html.tmp"));

  environment.failReplace = false;
  EXPECT_EQ(1, WriteReportPage(environment, kSource, &problem));
  EXPECT_NE(std::string::npos, ReadFile("BroodWar.html").find("[\"alice\""));
  EXPECT_FALSE(FileExists("BroodWar.html.tmp"));
}

// The bot writes the page once rows have been written and then a second has
// passed without a line, not at each pass of the receive loop, and tells a
// failure in corvane.log.
TEST(ReportPage, TheBotWritesThePageOnceTheConnectionIsQuiet) {
  ScratchDirectory scratch;
  ScriptedEnvironment environment;
  environment.lastError = -1;  // the system's: EACCES from failReplace
  StatCheckBot bot(kBroodWarVariant, environment);
  bot.Configure("statbot", "pw", "127.0.0.1", 6112);
  ASSERT_EQ(1, bot.OpenLog("corvane.log"));
  WriteFile("BroodWar.csv", std::string(kHeader) + Row("2026-12-09T06:30:05Z", "alice"));
  const auto receive = [&](const std::vector<std::string>& chunks) {
    ASSERT_EQ(1, bot.Connect());
    environment.Script(chunks);
    bot.ReceiveLoop();  // until the script's end closes the connection
    bot.Disconnect();
  };

  receive({ScriptedEnvironment::kTimeout});
  EXPECT_FALSE(FileExists("BroodWar.html")) << "no rows written yet";
  bot.NoteResultsRowWritten("BroodWar.csv");
  receive({"1018 INFO \"Welcome\"\r\n"});
  EXPECT_FALSE(FileExists("BroodWar.html")) << "lines were still coming";
  receive({ScriptedEnvironment::kTimeout});
  EXPECT_NE(std::string::npos,
            ReadFile("BroodWar.html").find(R"("host":"127.0.0.1","program":"BWCorvane 1.0 Beta")"));

  environment.failReplace = true;
  bot.NoteResultsRowWritten("BroodWar.csv");
  receive({ScriptedEnvironment::kTimeout, ScriptedEnvironment::kTimeout});
  bot.CloseLog();
  const std::string log = WithoutLogTimes(ReadFile("corvane.log"));
  const std::string failure =
      "Cannot put in place BroodWar.html: error code 13; the report page was not written\r\n";
  EXPECT_NE(std::string::npos, log.find(failure));
  EXPECT_EQ(log.find(failure), log.rfind(failure)) << "tried again without new rows:\n" << log;
}

// Seen rows alone rewrite the page once the results file exists, at most
// once a minute of program time; the page then carries the sighting.
TEST(ReportPage, SeenRowsAloneRewriteThePageAtMostOnceAMinute) {
  ScriptedBot scripted("alice\n");
  ScriptedEnvironment& environment = scripted.environment;
  const std::string join = "1002 JOIN alice 0010 [CHAT]\r\n";
  scripted.Receive({"1007 CHANNEL \"Clan\"\r\n", join, ScriptedEnvironment::kTimeout});
  EXPECT_FALSE(FileExists("BroodWar.html")) << "no results file yet";
  WriteFile("BroodWar.csv", std::string(kHeader) + Row("2026-12-09T06:30:05Z", "alice"));
  scripted.Receive({join, ScriptedEnvironment::kTimeout});
  EXPECT_NE(std::string::npos, ReadFile("BroodWar.html").find(R"("members":[["alice",1,)"));
  std::remove("BroodWar.html");
  environment.programTimeMs += 50000;
  scripted.Receive({join, ScriptedEnvironment::kTimeout});
  EXPECT_FALSE(FileExists("BroodWar.html")) << "rewritten within a minute";
  environment.programTimeMs += 10000;
  scripted.Receive({ScriptedEnvironment::kTimeout});
  EXPECT_TRUE(FileExists("BroodWar.html")) << "the seen row of 50 s ago waits for the minute";
}

}  // namespace
}  // namespace corvane
