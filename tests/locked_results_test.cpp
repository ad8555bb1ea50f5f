// A results file that the bot's user cannot write for a while: the real
// program runs as the unprivileged user "nobody", its rows wait beside the
// file, the page shows them, and the next start writes them in order.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "app/results_file.h"
#include "tests/program_fixture.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;

const std::string kHeader = std::string(kResultsHeader) + "\r\n";
const char kOldRow[] = "2026-12-08T06:30:05Z,2026-12-08T06:30:06Z,zed,unknown,,,,,,,,,,,Invalid user.\r\n";

class LockedResultsTest : public ProgramTest {
 protected:
  void SetUp() override {
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr || access("/usr/bin/setpriv", X_OK) != 0) {
      GTEST_SKIP() << "needs root, the user nobody and /usr/bin/setpriv, to run the bot as nobody";
    }
    ProgramTest::SetUp();
    // The folder is the bot's to write; the results file, root's, is not.
    ASSERT_EQ(0, chmod(scratch_.path().c_str(), 0777));
    WriteFile("BroodWar.csv", kHeader + kOldRow);
    ASSERT_EQ(0, chmod("BroodWar.csv", 0444));
    wrapper_ = scratch_.path() + "/as-nobody.sh";
    WriteFile(wrapper_, "#!/bin/sh\nexec /usr/bin/setpriv --reuid=" + std::to_string(nobody->pw_uid) +
                            " --regid=" + std::to_string(nobody->pw_gid) + " --clear-groups " +
                            CORVANE_BW_FAST + "\n");
    ASSERT_EQ(0, chmod(wrapper_.c_str(), 0755));
  }

  // Waits until `done` holds.
  template <typename Done>
  static bool WaitUntil(Done done) {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }
  static bool WaitForFileText(const char* file, const std::string& text) {
    return WaitUntil([&] { return ReadFile(file).find(text) != std::string::npos; });
  }

  // The players of the rows after the header, in order (each row starts
  // with its walk's and its answer's times).
  static std::vector<std::string> Players(const std::string& csv) {
    std::vector<std::string> players;
    std::istringstream rows(csv.substr(csv.find('\n') + 1));
    for (std::string row; std::getline(rows, row);) players.push_back(row.substr(42, row.find(',', 42) - 42));
    return players;
  }

  std::string wrapper_;
};

TEST_F(LockedResultsTest, RowsWaitWhileTheFileCannotBeWrittenAndFollowInOrder) {
  StartServer();
  Run(wrapper_.c_str());
  ASSERT_TRUE(WaitForFileText("BroodWar.csv.pending", ",bob,")) << bot_->Stdout() << bot_->Stderr();
  // The page is written from both files once the connection is quiet.
  ASSERT_TRUE(WaitForFileText("BroodWar.html", "[\"bob\",")) << bot_->Stdout();
  const std::string page = ReadFile("BroodWar.html");
  EXPECT_LT(page.find("[\"zed\","), page.find("[\"alice\","));
  EXPECT_LT(page.find("[\"alice\","), page.find("[\"bob\","));
  EXPECT_EQ(kHeader + kOldRow, ReadFile("BroodWar.csv"));
  EXPECT_EQ((std::vector<std::string>{"alice", "bob"}), Players(ReadFile("BroodWar.csv.pending")));
  EXPECT_EQ(1, CountOf(bot_->Stdout(),
                       "\nCannot write the results file BroodWar.csv (error code 13); rows "
                       "wait in BroodWar.csv.pending until it can be written \r\n"))
      << bot_->Stdout();
  StopBot();

  // Writable again: the next start hands the rows over before its walk's.
  ASSERT_EQ(0, chmod("BroodWar.csv", 0666));
  Run(wrapper_.c_str());
  ASSERT_TRUE(WaitForConnections(2));
  ASSERT_TRUE(WaitForOutput("The rows that waited in BroodWar.csv.pending are written to BroodWar.csv \r\n"))
      << bot_->Stdout();
  EXPECT_LT(bot_->Stdout().find("The rows that waited"), bot_->Stdout().find("Reading name:")) << "at start";
  WaitUntil([] { return Players(ReadFile("BroodWar.csv")).size() >= 5; });
  StopBot();
  EXPECT_EQ((std::vector<std::string>{"zed", "alice", "bob", "alice", "bob"}),
            Players(ReadFile("BroodWar.csv")));
  EXPECT_FALSE(FileExists("BroodWar.csv.pending"));
  EXPECT_EQ(std::string::npos, bot_->Stdout().find("rows wait")) << bot_->Stdout();
}

}  // namespace
}  // namespace corvane
