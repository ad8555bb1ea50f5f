// A results file that the bot's user cannot write for a while: the real
// program runs as the unprivileged user "nobody", its rows wait beside the
// file, the page shows them, and the next start writes them in order.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/program_fixture.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

const char kHeader[] =
    "walk,time,player,status,ladder_wins,ladder_losses,ladder_disconnects,ladder_rating,ladder_tag,"
    "normal_wins,normal_losses,normal_disconnects,normal_rating,normal_tag,answer\r\n";
const char kOldRow[] = "2026-12-08T06:30:05Z,2026-12-08T06:30:06Z,zed,unknown,,,,,,,,,,,Invalid user.\r\n";

class LockedResultsTest : public ProgramTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the bot as the user nobody";
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr || access("/usr/bin/setpriv", X_OK) != 0) {
      GTEST_SKIP() << "needs the user nobody and /usr/bin/setpriv";
    }
    ProgramTest::SetUp();
    // The folder is the bot's to write; the results file, root's, is not.
    ASSERT_EQ(0, chmod(scratch_.path().c_str(), 0777));
    WriteFile("BroodWar.csv", std::string(kHeader) + kOldRow);
    ASSERT_EQ(0, chmod("BroodWar.csv", 0444));
    wrapper_ = scratch_.path() + ".as-nobody";
    WriteFile(wrapper_, "#!/bin/sh\nexec /usr/bin/setpriv --reuid=" + std::to_string(nobody->pw_uid) +
                            " --regid=" + std::to_string(nobody->pw_gid) + " --clear-groups " +
                            CORVANE_BW_FAST + "\n");
    ASSERT_EQ(0, chmod(wrapper_.c_str(), 0755));
  }

  void TearDown() override {
    if (!wrapper_.empty()) unlink(wrapper_.c_str());
  }

  // Waits until `file` holds `text`.
  static bool WaitForFileText(const char* file, const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ReadFile(file).find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  // The players of the rows after the header, in order.
  static std::vector<std::string> Players(const std::string& csv) {
    std::vector<std::string> players;
    std::size_t at = csv.find("\r\n") + 2;
    for (std::size_t end; (end = csv.find("\r\n", at)) != std::string::npos; at = end + 2) {
      std::size_t from = csv.find(',', csv.find(',', at) + 1) + 1;
      players.push_back(csv.substr(from, csv.find(',', from) - from));
    }
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
  EXPECT_EQ(std::string(kHeader) + kOldRow, ReadFile("BroodWar.csv"));
  EXPECT_EQ((std::vector<std::string>{"alice", "bob"}), Players(ReadFile("BroodWar.csv.pending")));
  EXPECT_EQ(1, testing_support::CountOf(bot_->Stdout(),
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
  ASSERT_TRUE(WaitForLine("/stats bob SEXP", 2));
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (Players(ReadFile("BroodWar.csv")).size() < 5 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  StopBot();
  EXPECT_EQ((std::vector<std::string>{"zed", "alice", "bob", "alice", "bob"}),
            Players(ReadFile("BroodWar.csv")));
  EXPECT_FALSE(FileExists("BroodWar.csv.pending"));
  EXPECT_EQ(std::string::npos, bot_->Stdout().find("rows wait")) << bot_->Stdout();
}

}  // namespace
}  // namespace corvane
