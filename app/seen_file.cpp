#include "app/seen_file.h"

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

// The longest text a field takes: every byte a doubled quote, the formula
// guard and the two quotes around it.
constexpr int FieldSize(int characters) noexcept { return 2 * characters + 3; }

// Room for the header and the longest row: the stream holds the whole of
// them until fclose writes them out in one write, so that a kill leaves
// whole rows only.
constexpr int kSeenWriteSize = static_cast<int>(sizeof(kSeenHeader)) +
                               kUtcTimeTextSize + FieldSize(kMemberNameLimit) +
                               static_cast<int>(sizeof("not-watching")) +
                               FieldSize(kEventTextSize) + 16;

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
  char buffer[kSeenWriteSize];
  if (std::setvbuf(file, buffer, _IOFBF, sizeof(buffer)) != 0) {
    std::fclose(file);
    return 0;
  }
  int ok = std::fseek(file, 0, SEEK_END) == 0;
  long size = std::ftell(file);
  ok &= size >= 0;
  if (ok && size == 0) {
    ok &= std::fputs(kSeenHeader, file) >= 0 && std::fputs(kRowEnd, file) >= 0;
  }
  char text[kUtcTimeTextSize];
  FormatUtcTime(time, text);
  ok &= std::fputs(text, file) >= 0 && std::fputc(',', file) != EOF;
  ok &= WriteCsvField(file, player) && std::fputc(',', file) != EOF;
  ok &= std::fputs(SeenEventName(event), file) >= 0;
  ok &= std::fputc(',', file) != EOF && WriteCsvField(file, channel);
  ok &= std::fputs(kRowEnd, file) >= 0;
  // A full disk shows only when the buffered row is written out.
  ok &= std::fclose(file) == 0;
  return ok;
}

}  // namespace corvane
