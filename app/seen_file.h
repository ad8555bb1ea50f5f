// The seen file: one comma-separated row for each sighting of a member in the
// home channel, and for each start and end of the bot's watch over it, so
// that a clan leader can tell who still comes.
#ifndef CORVANE_APP_SEEN_FILE_H_
#define CORVANE_APP_SEEN_FILE_H_

#include <cstddef>
#include <cstdint>

#include "app/answer_attribution.h"
#include "app/members_list.h"
#include "app/results_file.h"
#include "core/event_line.h"
#include "core/utc_time.h"

namespace corvane {

// The header row, written when the file is created (or found empty).
extern const char kSeenHeader[];

// What a row of the seen file tells.
enum SeenEvent {
  kSeenWatching,     // the bot was placed in the home channel
  kSeenHere,         // a member was there when the bot came (1001)
  kSeenJoined,       // a member came in (1002)
  kSeenLeft,         // a member went out (1003)
  kSeenNotWatching,  // the bot left the home channel, lost it or stopped
};

// The name of `event` as the file writes it ("watching", "here", ...).
const char* SeenEventName(SeenEvent event);

// Room for the longest row FormatSeenRow writes, its CR LF included: the
// texts at their worst as FormatCsvField writes them.
constexpr std::size_t kSeenLineSize =
    kUtcTimeTextSize + CsvFieldSize(kMemberNameLimit) + sizeof("not-watching") +
    CsvFieldSize(kEventTextSize) + 8;
static_assert(kSeenLineSize <= kResultsLineSize,
              "a seen row fits the lines the CSV writer and the spool take");

// Writes the row `time,player,event,channel` into `line` (the time as
// "2026-12-09T06:30:05Z", the texts as FormatCsvField writes them, CR LF at
// its end, no NUL) and returns its length.
std::size_t FormatSeenRow(std::int64_t time, const char* player,
                          SeenEvent event, const char* channel,
                          char (&line)[kSeenLineSize]);

// The names of the members list, as the list spells them, in fixed storage:
// as many as the requests one connection remembers.
class MemberNames {
 public:
  MemberNames() noexcept : count_(0) {}

  MemberNames(const MemberNames&) = delete;
  MemberNames& operator=(const MemberNames&) = delete;

  // Replaces the names with those of the list `fileName`, read as the walk
  // reads it; past the storage's capacity, further names are left out.
  // Returns 1, or 0 (and holds no name) when the list cannot be opened.
  int Load(const char* fileName);

  // The list's spelling of `name`, compared without ASCII letter case; null
  // when `name` is not on the list.
  const char* Find(const char* name) const;

 private:
  int count_;
  char names_[kRequestQueueCapacity][kMemberNameLimit + 1];
};

// Appends rows to a seen file, opened around each row so that every row is
// on disk once Append returns, and the file can be moved away at any time.
class SeenFile {
 public:
  // `fileName` ("BroodWar-seen.csv") must outlive the object.
  explicit SeenFile(const char* fileName) noexcept : fileName_(fileName) {}

  SeenFile(const SeenFile&) = delete;
  SeenFile& operator=(const SeenFile&) = delete;

  // Appends `length` bytes of `line`, a row as FormatSeenRow writes it, in
  // one write, after the header row when the file is new or empty and after
  // a CR LF when its last line has no line end. Returns 1 when written, 0
  // when the file could not be opened or written.
  int AppendLine(const char* line, std::size_t length);

  // The seen file's name ("BroodWar-seen.csv").
  const char* path() const { return fileName_; }

 private:
  const char* fileName_;
};

}  // namespace corvane

#endif  // CORVANE_APP_SEEN_FILE_H_
