#include "app/seen_file.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "app/results_file.h"
#include "app/text_file.h"
#include "core/bounded_text.h"
#include "core/event_line.h"
#include "core/utc_time.h"

namespace corvane {

const char kSeenHeader[] = "time,player,event,channel";

namespace {

// Appends `text` to the `used` bytes of `line`, never past its end.
template <std::size_t N>
std::size_t AppendBytes(char (&line)[N], std::size_t used, const char* text) {
  for (; *text != '\0' && used < N; ++text) line[used++] = *text;
  return used;
}

const char* const kSeenEventNames[] = {"watching", "here", "joined", "left",
                                       "not-watching"};

}  // namespace

const char* SeenEventName(SeenEvent event) { return kSeenEventNames[event]; }

int MemberNames::Load(const char* fileName) {
  count_ = 0;
  std::FILE* file = OpenTextFile(fileName);
  if (file == nullptr) return 0;
  MembersListReader reader(file);
  while (!reader.Finished() && count_ < kRequestQueueCapacity) {
    if (reader.ReadName(names_[count_])) ++count_;
  }
  std::fclose(file);
  return 1;
}

const char* MemberNames::Find(const char* name) const {
  for (int i = 0; i < count_; ++i) {
    if (EqualsIgnoringCase(names_[i], name)) return names_[i];
  }
  return nullptr;
}

std::size_t FormatSeenRow(std::int64_t time, const char* player,
                          SeenEvent event, const char* channel,
                          char (&line)[kSeenLineSize]) {
  char text[kUtcTimeTextSize];
  FormatUtcTime(time, text);
  std::size_t used = AppendBytes(line, 0, text);
  used = AppendBytes(line, used, ",");
  used += FormatCsvField(player, line + used, sizeof(line) - used);
  used = AppendBytes(line, used, ",");
  used = AppendBytes(line, used, SeenEventName(event));
  used = AppendBytes(line, used, ",");
  used += FormatCsvField(channel, line + used, sizeof(line) - used);
  return AppendBytes(line, used, "\r\n");
}

int SeenFile::AppendLine(const char* line, std::size_t length) {
  return AppendCsvLine(fileName_, kSeenHeader, line, length);
}

}  // namespace corvane
