#include "app/seen_summary.h"

#include <cstdio>
#include <cstring>

#include "core/utc_time.h"

namespace corvane {

const int kWatchWindowDays[kWatchWindowCount] = {7, 14, 30, 60, 90};

namespace {

const std::int64_t kSecondsPerDay = 86400;
const int kSlotCount = 2 * kRequestQueueCapacity;

// The columns of the seen file, in the order of its header.
enum SeenColumn { kSeenTime, kSeenPlayer, kSeenEventColumn, kSeenChannel };

unsigned Hash(const char* text) {
  unsigned hash = 2166136261u;
  for (; *text != '\0'; ++text) {
    hash = (hash ^ static_cast<unsigned char>(*text)) * 16777619u;
  }
  return hash;
}

// A figure as a number; what is not plain digits counts as 0.
std::int64_t Figure(const char* text) {
  std::int64_t value = 0;
  for (int digits = 0; *text != '\0'; ++text, ++digits) {
    if (*text < '0' || *text > '9' || digits >= 12) return 0;
    value = value * 10 + (*text - '0');
  }
  return value;
}

bool ParseEvent(const char* name, SeenEvent* event) {
  for (int at = kSeenWatching; at <= kSeenNotWatching; ++at) {
    if (std::strcmp(name, SeenEventName(static_cast<SeenEvent>(at))) == 0) {
      *event = static_cast<SeenEvent>(at);
      return true;
    }
  }
  return false;
}

}  // namespace

void SeenSummary::Begin(std::int64_t written) {
  written_ = written;
  lastRowTime_ = 0;
  watchStart_ = 0;
  watching_ = false;
  for (std::int64_t& seconds : watched_) seconds = 0;
  count_ = 0;
  std::memset(slots_, 0, sizeof(slots_));
}

MemberSummary* SeenSummary::Find(const char* player) {
  if (std::strlen(player) > static_cast<std::size_t>(kMemberNameLimit)) {
    return nullptr;
  }
  for (unsigned slot = Hash(player) % kSlotCount;;
       slot = (slot + 1) % kSlotCount) {
    if (slots_[slot] != 0) {
      MemberSummary& member = members_[slots_[slot] - 1];
      if (std::strcmp(member.player, player) == 0) return &member;
      continue;
    }
    // Half the slots stay free: the search always ends.
    if (count_ == kRequestQueueCapacity) return nullptr;
    MemberSummary& member = members_[count_++];
    slots_[slot] = static_cast<std::int16_t>(count_);
    std::memset(&member, 0, sizeof(member));
    std::memcpy(member.player, player, std::strlen(player) + 1);
    return &member;
  }
}

void SeenSummary::TakeResultsRow(const ResultsRecord& row,
                                 std::int64_t oldest) {
  std::int64_t walk = 0;
  if (std::strcmp(row.field[kColumnStatus], "record") != 0 ||
      row.field[kColumnPlayer][0] == '\0' ||
      ParseUtcTime(row.field[kColumnWalk], row.length[kColumnWalk], &walk) !=
          1 ||
      walk < oldest) {
    return;
  }
  const std::int64_t total = Figure(row.field[kColumnLadderWins]) +
                             Figure(row.field[kColumnLadderLosses]) +
                             Figure(row.field[kColumnLadderDisconnects]) +
                             Figure(row.field[kColumnNormalWins]) +
                             Figure(row.field[kColumnNormalLosses]) +
                             Figure(row.field[kColumnNormalDisconnects]);
  MemberSummary* member = Find(row.field[kColumnPlayer]);
  if (member == nullptr) return;
  if (member->hasRecord && total != member->lastTotal) member->lastGame = walk;
  member->hasRecord = true;
  member->lastTotal = total;
}

void SeenSummary::EndPresences(std::int64_t time) {
  for (int i = 0; i < count_; ++i) {
    if (!members_[i].present) continue;
    members_[i].present = false;
    members_[i].lastSeen = time;
  }
}

void SeenSummary::EndWatch(std::int64_t end) {
  watching_ = false;
  for (int window = 0; window < kWatchWindowCount; ++window) {
    const std::int64_t from =
        written_ - kWatchWindowDays[window] * kSecondsPerDay;
    const std::int64_t start = watchStart_ > from ? watchStart_ : from;
    const std::int64_t stop = end < written_ ? end : written_;
    if (stop > start) watched_[window] += stop - start;
  }
}

void SeenSummary::TakeSighting(std::int64_t time, const char* player,
                               SeenEvent event) {
  if (event == kSeenWatching || event == kSeenNotWatching) {
    // A watching row while watching: the bot was killed after the last row.
    const std::int64_t end = event == kSeenWatching ? lastRowTime_ : time;
    EndPresences(end);
    if (watching_) EndWatch(end);
    if (event == kSeenWatching) {
      watching_ = true;
      watchStart_ = time;
    }
  } else if (player[0] != '\0') {
    MemberSummary* member = Find(player);
    if (member != nullptr && event == kSeenLeft) {
      if (member->present) member->lastSeen = time;
      member->present = false;
    } else if (member != nullptr) {
      member->present = true;
      member->lastPresence = time;
    }
  }
  lastRowTime_ = time;
}

void SeenSummary::Finish() {
  for (int i = 0; i < count_; ++i) {
    MemberSummary& member = members_[i];
    member.here = member.present;
    if (member.present) member.lastSeen = written_;
  }
  if (watching_) EndWatch(written_);
}

int SummarizeResults(ResultsReader* reader, std::int64_t oldest,
                     SeenSummary* summary) {
  ResultsRecord row;
  while (reader->Next(&row)) summary->TakeResultsRow(row, oldest);
  return reader->failed() ? 0 : 1;
}

int ReadSeenFile(const char* path, std::int64_t oldest, SeenSummary* summary) {
  ResultsReader reader(kSeenHeader);
  if (!reader.Open(path)) return 1;
  ResultsRecord row;
  SeenEvent event = kSeenWatching;
  std::int64_t time = 0;
  while (reader.Next(&row)) {
    if (row.fields < 3 ||
        ParseUtcTime(row.field[kSeenTime], row.length[kSeenTime], &time) != 1 ||
        time < oldest || !ParseEvent(row.field[kSeenEventColumn], &event)) {
      continue;
    }
    summary->TakeSighting(time, row.field[kSeenPlayer], event);
  }
  return reader.failed() ? 0 : 1;
}

void WriteSeenSummary(PageWriter* page, const SeenSummary& summary) {
  char number[48];
  page->Write(",\"watched\":{");
  for (int window = 0; window < kWatchWindowCount; ++window) {
    std::snprintf(number, sizeof(number), "%s\"%d\":%lld",
                  window == 0 ? "" : ",", kWatchWindowDays[window],
                  static_cast<long long>(summary.watched(window)));
    page->Write(number);
  }
  page->Write("},\"members\":[");
  for (int i = 0; i < summary.count(); ++i) {
    const MemberSummary& member = summary.member(i);
    page->Write(i == 0 ? "[" : ",[");
    page->WriteJsonString(member.player, std::strlen(member.player));
    page->Write(member.here ? ",1," : ",0,");
    page->WriteJsonTime(member.lastSeen);
    page->Write(",", 1);
    page->WriteJsonTime(member.lastGame);
    page->Write("]", 1);
  }
  page->Write("]", 1);
}

}  // namespace corvane
