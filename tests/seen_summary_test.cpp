// The seen summary's rules: who is here, when a member was last seen, the
// walk of their last game, and how long the bot watched, each as a table.
#include "app/seen_summary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace corvane {
namespace {

const std::int64_t kDay = 86400;
const std::int64_t kWritten = 1765000000;

// Sightings written "time player event", ", " between them; "-" is no player.
struct SeenCase {
  const char* what;
  const char* rows;
  bool here;
  std::int64_t lastSeen;  // of "ann", 0 for never
};

// Gives the summary the sightings `rows` describe, with times after `base`.
void TakeSightings(SeenSummary& summary, const char* rows, std::int64_t base = 0) {
  std::istringstream in(rows);
  std::int64_t time = 0;
  std::string player, event;
  while (in >> time >> player >> event) {
    if (event.back() == ',') event.pop_back();
    int kind = kSeenWatching;
    while (kind < kSeenNotWatching && event != SeenEventName(static_cast<SeenEvent>(kind))) ++kind;
    EXPECT_STREQ(event.c_str(), SeenEventName(static_cast<SeenEvent>(kind))) << rows;
    summary.TakeSighting(base + time, player == "-" ? "" : player.c_str(), static_cast<SeenEvent>(kind));
  }
}

const MemberSummary* Find(const SeenSummary& summary, const char* player) {
  for (int i = 0; i < summary.count(); ++i) {
    if (std::strcmp(summary.member(i).player, player) == 0) return &summary.member(i);
  }
  return nullptr;
}

TEST(SeenSummaryTest, HereAndLastSeenFollowTheRowsInTheirOrder) {
  static SeenSummary summary;
  const SeenCase cases[] = {
      {"still there: seen at the page's time", "10 ann here", true, kWritten},
      {"the first left after the latest presence", "10 ann joined, 20 ann left, 30 ann left", false, 20},
      {"the watch ended", "10 ann here, 40 - not-watching", false, 40},
      {"killed: the last row before the next watching", "10 ann here, 15 bob left, 50 - watching", false, 15},
      {"came back, then the watch ended", "10 ann joined, 20 ann left, 30 ann joined, 40 - not-watching",
       false, 40},
      {"a left without a presence is no sighting", "20 ann left", false, 0},
      {"here again after the bot was killed", "10 ann here, 20 - watching, 21 ann here", true, kWritten},
      {"a later presence is the latest", "10 ann here, 20 ann joined, 30 ann left, 35 - not-watching", false,
       30},
  };
  for (const SeenCase& c : cases) {
    summary.Begin(kWritten);
    TakeSightings(summary, c.rows);
    summary.Finish();
    const MemberSummary* ann = Find(summary, "ann");
    ASSERT_NE(nullptr, ann) << c.what;
    EXPECT_EQ(c.here, ann->here) << c.what;
    EXPECT_EQ(c.lastSeen, ann->lastSeen) << c.what;
  }
}

ResultsRecord Record(std::int64_t walk, const char* status, int ladderWins, int normalLosses) {
  ResultsRecord row{};
  char time[kUtcTimeTextSize];
  FormatUtcTime(walk, time);
  std::snprintf(row.field[kColumnWalk], kResultsFieldSize, "%s", time);
  row.length[kColumnWalk] = std::strlen(time);
  std::snprintf(row.field[kColumnPlayer], kResultsFieldSize, "ann");
  std::snprintf(row.field[kColumnStatus], kResultsFieldSize, "%s", status);
  std::snprintf(row.field[kColumnLadderWins], kResultsFieldSize, "%d", ladderWins);
  std::snprintf(row.field[kColumnNormalLosses], kResultsFieldSize, "%d", normalLosses);
  row.fields = kResultsColumnCount;
  return row;
}

TEST(SeenSummaryTest, TheLastGameIsTheLaterOfTheLastTwoDifferentTotals) {
  static SeenSummary summary;
  const std::int64_t w1 = kWritten - 3 * kDay, w2 = w1 + kDay, w3 = w2 + kDay;
  struct Case {
    const char* what;
    std::vector<ResultsRecord> rows;
    std::int64_t lastGame;
  };
  const std::vector<Case> cases = {
      {"one record", {Record(w1, "record", 5, 0)}, 0},
      {"the same total", {Record(w1, "record", 5, 0), Record(w2, "record", 5, 0)}, 0},
      {"a change, then none",
       {Record(w1, "record", 5, 0), Record(w2, "record", 5, 1), Record(w3, "record", 5, 1)},
       w2},
      {"the same total of other kinds", {Record(w1, "record", 5, 1), Record(w2, "record", 6, 0)}, 0},
      {"rows that are no record do not count",
       {Record(w1, "record", 5, 0), Record(w2, "unknown", 0, 0), Record(w3, "record", 5, 0)},
       0},
      {"a record before the oldest walk is not held",
       {Record(w1 - 500 * kDay, "record", 4, 0), Record(w1, "record", 5, 0)},
       0},
  };
  for (const Case& c : cases) {
    summary.Begin(kWritten);
    for (const ResultsRecord& row : c.rows) summary.TakeResultsRow(row, w1 - 400 * kDay);
    summary.Finish();
    const MemberSummary* ann = Find(summary, "ann");
    EXPECT_EQ(c.lastGame, ann == nullptr ? 0 : ann->lastGame) << c.what;
  }
}

TEST(SeenSummaryTest, TheWatchIsCountedInEachWindowBeforeThePagesTime) {
  static SeenSummary summary;
  struct Case {
    const char* what;
    const char* rows;                         // from ten days before the page's time
    std::int64_t watched[kWatchWindowCount];  // 7, 14, 30, 60, 90 days
  };
  const std::vector<Case> cases = {
      {"a day ten days ago", "0 - watching, 86400 - not-watching", {0, kDay, kDay, kDay, kDay}},
      {"open to the page's time", "856800 - watching", {7200, 7200, 7200, 7200, 7200}},
      {"cut at the window's start",
       "172800 - watching, 345600 - not-watching",
       {kDay, 2 * kDay, 2 * kDay, 2 * kDay, 2 * kDay}},
      {"killed: up to the last row, then open",
       "604800 - watching, 604900 ann here, 777600 - watching",
       {100 + kDay, 100 + kDay, 100 + kDay, 100 + kDay, 100 + kDay}},
  };
  for (const Case& c : cases) {
    summary.Begin(kWritten);
    TakeSightings(summary, c.rows, kWritten - 10 * kDay);
    summary.Finish();
    for (int window = 0; window < kWatchWindowCount; ++window) {
      EXPECT_EQ(c.watched[window], summary.watched(window))
          << c.what << ", " << kWatchWindowDays[window] << " days";
    }
  }
}

}  // namespace
}  // namespace corvane
