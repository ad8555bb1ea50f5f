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

const char kRowEnd[] = "\r\n";

// Room for the header and the longest row, written in one write so that a
// kill leaves whole rows only.
constexpr std::size_t kSeenWriteSize =
    sizeof(kSeenHeader) + kUtcTimeTextSize + CsvFieldSize(kMemberNameLimit) +
    sizeof("not-watching") + CsvFieldSize(kEventTextSize) + 16;

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

int SeenFile::Append(std::int64_t time, const char* player, SeenEvent event,
                     const char* channel) {
  std::FILE* file = std::fopen(fileName_, "ab");
  if (file == nullptr) return 0;
  // Unbuffered, the line goes to the system in one write.
  int ok = std::setvbuf(file, nullptr, _IONBF, 0) == 0;
  ok &= std::fseek(file, 0, SEEK_END) == 0;
  long size = std::ftell(file);
  ok &= size >= 0;
  char line[kSeenWriteSize];
  std::size_t used = 0;
  if (ok && size == 0) {
    used = AppendBytes(line, used, kSeenHeader);
    used = AppendBytes(line, used, kRowEnd);
  }
  char text[kUtcTimeTextSize];
  FormatUtcTime(time, text);
  used = AppendBytes(line, used, text);
  used = AppendBytes(line, used, ",");
  used += FormatCsvField(player, line + used, sizeof(line) - used);
  used = AppendBytes(line, used, ",");
  used = AppendBytes(line, used, SeenEventName(event));
  used = AppendBytes(line, used, ",");
  used += FormatCsvField(channel, line + used, sizeof(line) - used);
  used = AppendBytes(line, used, kRowEnd);
  ok &= ok && std::fwrite(line, 1, used, file) == used;
  // A full disk may show only when the file is closed.
  ok &= std::fclose(file) == 0;
  return ok;
}

}  // namespace corvane
