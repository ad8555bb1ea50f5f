// A results file that the bot cannot write for a while: its rows wait
// beside the file, the page shows them, and they follow in order once the
// file takes rows again. On Linux the real program runs as the unprivileged
// user "nobody" beside a read-only file of root's, and the next start writes
// the rows. Built for wine (CORVANE_HOLD_FILE), BWCorvane_fast.exe runs while
// tests/windows/hold_file.cpp holds the file without write sharing, as a
// spreadsheet does, and the idle bot writes the rows once it lets go.
#include <sys/stat.h>
#include <unistd.h>

#ifndef CORVANE_HOLD_FILE
#include <pwd.h>
#endif

#include "app/results_file.h"
#include "tests/program_fixture.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;

const std::string kHeader = std::string(kResultsHeader) + "\r\n";
const char kOldRow[] = "2026-12-08T06:30:05Z,2026-12-08T06:30:06Z,zed,unknown,,,,,,,,,,,Invalid user.\r\n";
#ifdef CORVANE_HOLD_FILE
const char kRefusal[] = "(error code 32)";  // ERROR_SHARING_VIOLATION
#else
const char kRefusal[] = "(error code 13)";  // EACCES
#endif

class LockedResultsTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    WriteFile("BroodWar.csv", kHeader + kOldRow);
#ifdef CORVANE_HOLD_FILE
    program_ = CORVANE_BW_FAST;
    holder_ = std::make_unique<BotProcess>(CORVANE_HOLD_FILE, scratch_.path(), "holder");
    ASSERT_TRUE(
        WaitUntil([&] { return holder_->Stdout().find("holding BroodWar.csv") != std::string::npos; }, 60s))
        << holder_->Stdout();
#else
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr || access("/usr/bin/setpriv", X_OK) != 0) {
      GTEST_SKIP() << "needs root, the user nobody and /usr/bin/setpriv, to run the bot as nobody";
    }
    // The folder is the bot's to write; the results file, root's, is not.
    ASSERT_EQ(0, chmod(scratch_.path().c_str(), 0777));
    ASSERT_EQ(0, chmod("BroodWar.csv", 0444));
    program_ = scratch_.path() + "/as-nobody.sh";
    WriteFile(program_, "#!/bin/sh\nexec /usr/bin/setpriv --reuid=" + std::to_string(nobody->pw_uid) +
                            " --regid=" + std::to_string(nobody->pw_gid) + " --clear-groups " +
                            CORVANE_BW_FAST + "\n");
    ASSERT_EQ(0, chmod(program_.c_str(), 0755));
#endif
  }

  std::string program_;
  std::unique_ptr<BotProcess> holder_;
};

TEST_F(LockedResultsTest, RowsWaitWhileTheFileCannotBeWrittenAndFollowInOrder) {
  StartServer();
  Run(program_.c_str());
  ASSERT_TRUE(WaitForFileText("BroodWar.csv.pending", ",bob,", 1, 60s)) << bot_->Stdout() << bot_->Stderr();
  // The page is written from both files once the connection is quiet.
  ASSERT_TRUE(WaitForFileText("BroodWar.html", "[\"bob\",", 1, 60s)) << bot_->Stdout();
  // The rows' script comes after the summary, which names the members too.
  const std::string whole = ReadFile("BroodWar.html");
  const std::string page = whole.substr(whole.find("id=\"corvane-rows\""));
  EXPECT_LT(page.find("[\"zed\","), page.find("[\"alice\","));
  EXPECT_LT(page.find("[\"alice\","), page.find("[\"bob\","));
  EXPECT_EQ(kHeader + kOldRow, ReadFile("BroodWar.csv"));
  EXPECT_EQ((std::vector<std::string>{"alice record", "bob record"}), ResultRows("BroodWar.csv.pending"));
  EXPECT_EQ(1,
            CountOf(bot_->Stdout(), std::string("\nCannot write the results file BroodWar.csv ") + kRefusal +
                                        "; rows wait in BroodWar.csv.pending until it can be written \r\n"))
      << bot_->Stdout();
  const std::string written = "The rows that waited in BroodWar.csv.pending are written to BroodWar.csv \r\n";
#ifdef CORVANE_HOLD_FILE
  // Let go: the idle bot tries again once a minute of its time, 1.2 s here.
  WriteFile("let-go", "");
  ASSERT_EQ(0, holder_->Wait(60s)) << holder_->Stdout();
  ASSERT_TRUE(WaitForOutput(written, 60s)) << bot_->Stdout();
  StopBot();
  EXPECT_EQ((std::vector<std::string>{"zed unknown", "alice record", "bob record"}),
            ResultRows("BroodWar.csv"));
#else
  StopBot();
  // Writable again: the next start hands the rows over before its walk's.
  ASSERT_EQ(0, chmod("BroodWar.csv", 0666));
  Run(program_.c_str());
  ASSERT_TRUE(WaitForConnections(2));
  ASSERT_TRUE(WaitForOutput(written)) << bot_->Stdout();
  EXPECT_LT(bot_->Stdout().find("The rows that waited"), bot_->Stdout().find("Reading name:")) << "at start";
  WaitUntil([] { return ResultRows("BroodWar.csv").size() >= 5; });
  StopBot();
  EXPECT_EQ(
      (std::vector<std::string>{"zed unknown", "alice record", "bob record", "alice record", "bob record"}),
      ResultRows("BroodWar.csv"));
  EXPECT_EQ(std::string::npos, bot_->Stdout().find("rows wait")) << bot_->Stdout();
#endif
  EXPECT_FALSE(FileExists("BroodWar.csv.pending"));
}

}  // namespace
}  // namespace corvane
