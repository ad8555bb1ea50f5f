// Tests of the stand-in chat server's stats oracle: the record lines it
// answers /stats with.

#include "server/stats_oracle.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace corvane::server {
namespace {

bool Matches(const std::string& text, const std::string& pattern) {
  return ::testing::Value(text, ::testing::MatchesRegex(pattern));
}

TEST(StatsAnswerTest, TwoFormatsOneForEachProduct) {
  // Points, with the games won, lost and drawn in brackets; a rank tag for
  // a ranked player.
  const std::string points = R"(^(Ladder|Normal) games: (\[rank\] )?[0-9]+ pts \([0-9]+/[0-9]+/[0-9]+\)$)";
  // Won-lost-drawn, with a rating for a player with ladder games.
  const std::string games = R"(^Normal games: [0-9]+-[0-9]+-[0-9]+$)";
  const std::string ladder = R"(^Ladder games: ([0-9]+-[0-9]+-[0-9]+ \(rating [0-9]+\)|0-0-0)$)";
  EXPECT_FALSE(Matches("Ladder games: 12 pts", points)) << "the patterns do reject";
  EXPECT_FALSE(Matches("Ladder games: 1-2-3 (rating)", ladder));
  int ranked = 0, rated = 0;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "player" + std::to_string(i);
    const auto sexp = StatsAnswer(name, "SEXP");
    ASSERT_EQ(sexp.size(), 3u);
    EXPECT_EQ(sexp[0], name + "'s record:");
    EXPECT_TRUE(Matches(sexp[1], points)) << sexp[1];
    EXPECT_EQ(sexp[1].rfind("Ladder", 0), 0u);
    EXPECT_TRUE(Matches(sexp[2], points)) << sexp[2];
    EXPECT_EQ(sexp[2].rfind("Normal", 0), 0u);
    ranked += sexp[1].find("[rank]") != std::string::npos ? 1 : 0;

    const auto star = StatsAnswer(name, "STAR");
    ASSERT_EQ(star.size(), 3u);
    EXPECT_EQ(star[0], name + "'s record:");
    EXPECT_TRUE(Matches(star[1], games)) << star[1];
    EXPECT_TRUE(Matches(star[2], ladder)) << star[2];
    rated += star[2].find("rating") != std::string::npos ? 1 : 0;
  }
  EXPECT_GT(ranked, 0);
  EXPECT_LT(ranked, 40) << "some players are not ranked";
  EXPECT_GT(rated, 0);
  EXPECT_LT(rated, 40) << "some players have no ladder games";
}

TEST(StatsAnswerTest, IsDeterministicWithoutLetterCase) {
  const auto a = StatsAnswer("alice", "SEXP");
  EXPECT_EQ(StatsAnswer("alice", "SEXP"), a);
  auto upper = StatsAnswer("ALICE", "sexp");
  EXPECT_EQ(upper[0], "ALICE's record:") << "the heading names the player as given";
  upper[0] = a[0];
  EXPECT_EQ(upper, a) << "the numbers do not depend on letter case";
  EXPECT_NE(StatsAnswer("alicf", "SEXP")[1], a[1]);
  EXPECT_EQ(StatsAnswer("alice", "W2XY"),
            (std::vector<std::string>{"alice's record:", "Normal games: 0-0-0", "Ladder games: 0-0-0"}))
      << "an unknown code gives zeros";
  EXPECT_TRUE(StatsAnswer("alice", "SEX").empty());
  EXPECT_TRUE(StatsAnswer("alice", "").empty());
}

TEST(StatsAnswerTest, WellFormedNames) {
  EXPECT_TRUE(IsWellFormedName("a"));
  EXPECT_TRUE(IsWellFormedName("Some-Name_[1].x"));
  EXPECT_FALSE(IsWellFormedName(""));
  EXPECT_FALSE(IsWellFormedName("sixteen_chars_xx"));
  EXPECT_FALSE(IsWellFormedName("bad*name"));
}

TEST(StatsAnswerTest, TheServersStyleDecidesFormatAndTag) {
  struct Case {
    const char* product;
    StatsStyle style;
    std::vector<std::string> patterns;  // of the two record lines
  };
  const std::string points = R"([0-9]+ pts \([0-9]+/[0-9]+/[0-9]+\)$)";
  const std::string wld = R"([0-9]+-[0-9]+-[0-9]+$)";
  const std::string rated = R"(([0-9]+-[0-9]+-[0-9]+ \(rating [0-9]+\)|0-0-0)$)";
  const std::vector<Case> cases = {
      {"SEXP",
       {RecordFormat::kWonLostDrawn, RecordTag::kNone, ""},
       {"^Normal games: " + wld, "^Ladder games: " + rated}},
      {"STAR",
       {RecordFormat::kPoints, RecordTag::kNone, ""},
       {"^Ladder games: " + points, "^Normal games: " + points}},
      {"STAR",
       {RecordFormat::kWonLostDrawn, RecordTag::kEvery, "A+"},
       {R"(^Normal games: \[A\+\] )" + wld, R"(^Ladder games: \[A\+\] )" + rated}},
      {"SEXP",
       {RecordFormat::kByProduct, RecordTag::kEvery, "Gold"},
       {R"(^Ladder games: \[Gold\] )" + points, R"(^Normal games: \[Gold\] )" + points}},
      {"QQQQ",
       {RecordFormat::kPoints, RecordTag::kEvery, "x"},
       {"^Ladder games: 0 pts \\(0/0/0\\)$", "^Normal games: 0 pts \\(0/0/0\\)$"}},
  };
  for (const Case& c : cases) {
    for (int i = 0; i < 20; ++i) {
      const std::string name = "player" + std::to_string(i);
      const auto answer = StatsAnswer(name, c.product, c.style);
      ASSERT_EQ(answer.size(), 3u);
      EXPECT_EQ(answer[0], name + "'s record:");
      EXPECT_TRUE(Matches(answer[1], c.patterns[0])) << c.product << ": " << answer[1];
      EXPECT_TRUE(Matches(answer[2], c.patterns[1])) << c.product << ": " << answer[2];
    }
  }
  // The figures are the player's whatever the format: points and
  // won-lost-drawn count the same games.
  const auto byPoints = StatsAnswer("alice", "SEXP");
  const auto byGames = StatsAnswer("alice", "SEXP", {RecordFormat::kWonLostDrawn, RecordTag::kNone, ""});
  std::string games = byGames[1].substr(std::string("Normal games: ").size());
  std::replace(games.begin(), games.end(), '-', '/');
  EXPECT_EQ(byPoints[2].substr(byPoints[2].find('(')), "(" + games + ")")
      << byPoints[2] << " / " << byGames[1];
}

// Later games: two of every three won, +15 a win and -10 a loss; a player
// without ladder games gets them and a rating; the normal record stays.
TEST(StatsAnswerTest, LaterGamesMoveTheLadderRecord) {
  struct Case {
    const char* product;
    int laterGames;
    int won, lost, figure;  // added to the record without later games
  };
  const Case cases[] = {{"SEXP", 1, 1, 0, 15},
                        {"SEXP", 3, 2, 1, 20},
                        {"SEXP", 7, 5, 2, 55},
                        {"STAR", 2, 2, 0, 30},
                        {"STAR", 6, 4, 2, 40}};
  const StatsStyle plain{RecordFormat::kByProduct, RecordTag::kNone, ""};
  // points, won, lost, drawn or won, lost, drawn, rating
  auto figures = [](std::string line) {
    std::replace_if(
        line.begin(), line.end(), [](unsigned char c) { return std::isdigit(c) == 0; }, ' ');
    std::istringstream numbers(line);
    return std::vector<int>(std::istream_iterator<int>(numbers), std::istream_iterator<int>());
  };
  for (const Case& c : cases) {
    for (const char* name : {"alice", "carol", "player7"}) {
      const auto before = StatsAnswer(name, c.product, plain);
      const auto after = StatsAnswer(name, c.product, plain, c.laterGames);
      const bool points = std::string(c.product) == "SEXP";
      const size_t ladder = points ? 1 : 2;
      EXPECT_EQ(after[3 - ladder], before[3 - ladder]) << "the normal record stays";
      std::vector<int> was = figures(before[ladder]);
      const std::vector<int> is = figures(after[ladder]);
      if (was.size() == 3) was.push_back(is.size() == 4 ? is[3] - c.figure : 0);  // "0-0-0": no rating yet
      ASSERT_EQ(was.size(), 4u) << before[ladder];
      ASSERT_EQ(is.size(), 4u) << after[ladder];
      const std::vector<int> moved = points ? std::vector<int>{c.figure, c.won, c.lost, 0}
                                            : std::vector<int>{c.won, c.lost, 0, c.figure};
      for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(is[i] - was[i], moved[i])
            << name << " " << c.product << ": " << before[ladder] << " -> " << after[ladder];
      }
    }
  }
}

}  // namespace
}  // namespace corvane::server
