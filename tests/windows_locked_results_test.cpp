// BWCorvane_fast.exe under wine while another Windows program holds
// BroodWar.csv open for reading without write sharing, as a spreadsheet
// does: the rows wait beside it, the page shows them, and once the file is
// let go the idle bot writes them to it in their order.
#include <sstream>

#include "app/results_file.h"
#include "tests/program_fixture.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;

const std::string kHeader = std::string(kResultsHeader) + "\r\n";
const char kOldRow[] = "2026-12-08T06:30:05Z,2026-12-08T06:30:06Z,zed,unknown,,,,,,,,,,,Invalid user.\r\n";

// The players of the rows after the header, in order (each row starts with
// its walk's and its answer's times).
std::vector<std::string> Players(const std::string& csv) {
  std::vector<std::string> players;
  std::istringstream rows(csv.substr(csv.find('\n') + 1));
  for (std::string row; std::getline(rows, row);) players.push_back(row.substr(42, row.find(',', 42) - 42));
  return players;
}

// Waits until `done` holds; wine starts programs slowly.
template <typename Done>
bool WaitUntil(Done done) {
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

bool FileHas(const char* file, const std::string& text) {
  return FileExists(file) && ReadFile(file).find(text) != std::string::npos;
}

class WindowsLockedResultsTest : public ProgramTest {};

TEST_F(WindowsLockedResultsTest, RowsWaitWhileASpreadsheetHoldsTheFileAndFollowInOrder) {
  WriteFile("BroodWar.csv", kHeader + kOldRow);
  BotProcess holder(CORVANE_HOLD_FILE, scratch_.path(), "holder");
  ASSERT_TRUE(WaitUntil([&] { return holder.Stdout().find("holding BroodWar.csv\n") != std::string::npos; }))
      << holder.Stdout();
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitUntil([] { return FileHas("BroodWar.csv.pending", ",bob,"); })) << bot_->Stdout();
  // ERROR_SHARING_VIOLATION.
  EXPECT_EQ(1, CountOf(bot_->Stdout(),
                       "\nCannot write the results file BroodWar.csv (error code 32); rows "
                       "wait in BroodWar.csv.pending until it can be written \r\n"))
      << bot_->Stdout();
  // The page, written once the connection is quiet, holds both files' rows.
  ASSERT_TRUE(WaitUntil([] { return FileHas("BroodWar.html", "[\"bob\","); })) << bot_->Stdout();
  const std::string page = ReadFile("BroodWar.html");
  EXPECT_LT(page.find("[\"zed\","), page.find("[\"alice\","));
  EXPECT_LT(page.find("[\"alice\","), page.find("[\"bob\","));
  EXPECT_EQ(kHeader + kOldRow, ReadFile("BroodWar.csv"));
  EXPECT_EQ((std::vector<std::string>{"alice", "bob"}), Players(ReadFile("BroodWar.csv.pending")));

  WriteFile("let-go", "");
  ASSERT_EQ(0, holder.Wait(60s)) << holder.Stdout();
  // An idle bot tries again once a minute of its time: 1.2 s here.
  ASSERT_TRUE(
      WaitForOutput("The rows that waited in BroodWar.csv.pending are written to BroodWar.csv \r\n", 60s))
      << bot_->Stdout();
  EXPECT_EQ((std::vector<std::string>{"zed", "alice", "bob"}), Players(ReadFile("BroodWar.csv")));
  EXPECT_FALSE(FileExists("BroodWar.csv.pending"));
  StopBot();
}

}  // namespace
}  // namespace corvane
