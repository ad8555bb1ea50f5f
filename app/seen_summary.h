// Who still comes, per member, for the report page: whether they are in the
// home channel, when they were last seen there, the walk at which their
// games total last changed, and how long the bot watched the channel.
//
// The rules, from the seen file's rows in their order:
//   - a member is here when their latest "here" or "joined" row has no
//     "left", "not-watching" or "watching" after it;
//   - last seen is the page's time when they are here; otherwise the time of
//     the first "left" or "not-watching" after their latest "here" or
//     "joined", or, when a "watching" comes first (the bot was killed), the
//     time of the last row before that "watching"; never seen, none;
//   - their last game is the walk of the later of the last two consecutive
//     record rows of theirs whose games totals (wins, losses and
//     disconnects, ladder and normal) differ; none without two totals;
//   - a watch lasts from "watching" to the next "not-watching", or, when a
//     "watching" comes first, to the last row before it; an open one to the
//     page's time.
#ifndef CORVANE_APP_SEEN_SUMMARY_H_
#define CORVANE_APP_SEEN_SUMMARY_H_

#include <cstdint>

#include "app/report_page_writer.h"
#include "app/results_file.h"
#include "app/seen_file.h"
#include "platform/settings.h"

namespace corvane {

// The windows the page chooses from, in days, and their count.
const int kWatchWindowCount = 5;
extern const int kWatchWindowDays[kWatchWindowCount];

// What the page tells of one member; times in seconds, 0 for none.
struct MemberSummary {
  char player[kMemberNameLimit + 1];
  bool here;
  std::int64_t lastSeen;
  std::int64_t lastGame;
  std::int64_t lastPresence;  // their latest "here" or "joined"
  std::int64_t lastTotal;     // the games total of their latest record
  bool present;               // no row has ended their latest presence
  bool hasRecord;
};

// The summaries of up to kRequestQueueCapacity members, in fixed storage;
// members past that are left out.
class SeenSummary {
 public:
  SeenSummary() noexcept { Begin(0); }

  SeenSummary(const SeenSummary&) = delete;
  SeenSummary& operator=(const SeenSummary&) = delete;

  // Forgets everything; the watch windows end at `written`, the page's time.
  void Begin(std::int64_t written);

  // Takes a row of the results file, in the file's order: a record row of a
  // walk at `oldest` or later counts towards its player's last game.
  void TakeResultsRow(const ResultsRecord& row, std::int64_t oldest);

  // Takes a row of the seen file, in the file's order.
  void TakeSighting(std::int64_t time, const char* player, SeenEvent event);

  // Ends the rows: who is still present is here, and an open watch lasts
  // to the page's time.
  void Finish();

  int count() const { return count_; }
  const MemberSummary& member(int index) const { return members_[index]; }

  // The seconds the bot watched the home channel in the last
  // kWatchWindowDays[window] days before the page's time.
  std::int64_t watched(int window) const { return watched_[window]; }

 private:
  // The member `player`, added when new; null when the storage is full.
  MemberSummary* Find(const char* player);
  // Ends every member's presence at `time`.
  void EndPresences(std::int64_t time);
  // Counts the watch from watchStart_ to `end` into the windows.
  void EndWatch(std::int64_t end);

  std::int64_t written_;
  std::int64_t lastRowTime_;
  std::int64_t watchStart_;
  bool watching_;
  std::int64_t watched_[kWatchWindowCount];
  int count_;
  MemberSummary members_[kRequestQueueCapacity];
  // Open addressing over the names: index + 1 into members_, 0 when free.
  std::int16_t slots_[2 * kRequestQueueCapacity];
};

// Reads the rest of the results file `reader` has open into *summary, the
// rows of walks at `oldest` or later. Returns 1, or 0 when reading failed.
int SummarizeResults(ResultsReader* reader, std::int64_t oldest,
                     SeenSummary* summary);

// Reads the rows of the seen file `path` at `oldest` or later into
// *summary. A missing file, or one with other columns, has no rows.
// Returns 1, or 0 when reading failed.
int ReadSeenFile(const char* path, std::int64_t oldest, SeenSummary* summary);

// Writes the page's members of `summary` as app/report_page.h describes them:
// ,"watched":{...},"members":[...] inside the page's "about" object.
void WriteSeenSummary(PageWriter* page, const SeenSummary& summary);

}  // namespace corvane

#endif  // CORVANE_APP_SEEN_SUMMARY_H_
