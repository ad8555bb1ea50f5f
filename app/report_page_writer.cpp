#include "app/report_page_writer.h"

#include <cstring>

#include "core/utc_time.h"

namespace corvane {
namespace {

// The length of the valid UTF-8 sequence at `text` (at most `available`
// bytes), or 0 when the bytes there are not one: then the first byte is
// taken as Latin-1. Overlong forms, surrogates and code points past
// U+10FFFF are not valid.
std::size_t Utf8SequenceLength(const unsigned char* text,
                               std::size_t available) {
  const unsigned char lead = text[0];
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (length > available) return 0;
  if (text[1] < low || text[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (text[i] < 0x80 || text[i] > 0xBF) return 0;
  }
  return length;
}

}  // namespace

void PageWriter::Write(const void* bytes, std::size_t size) {
  const char* from = static_cast<const char*>(bytes);
  while (size > 0) {
    if (used_ == sizeof(buffer_)) Flush();
    std::size_t room = sizeof(buffer_) - used_;
    std::size_t count = size < room ? size : room;
    std::memcpy(buffer_ + used_, from, count);
    used_ += count;
    from += count;
    size -= count;
  }
}

void PageWriter::Write(const char* text) { Write(text, std::strlen(text)); }

void PageWriter::WriteJsonString(const char* text, std::size_t size) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  Write("\"", 1);
  std::size_t at = 0;
  while (at < size) {
    const unsigned char c = bytes[at];
    if (c >= 0x80) {
      std::size_t length = Utf8SequenceLength(bytes + at, size - at);
      if (length == 3 && c == 0xE2 && bytes[at + 1] == 0x80 &&
          (bytes[at + 2] == 0xA8 || bytes[at + 2] == 0xA9)) {
        WriteEscape(bytes[at + 2] == 0xA8 ? 0x2028 : 0x2029);
      } else if (length > 0) {
        Write(bytes + at, length);
      } else {
        WriteEscape(c);  // the Latin-1 character of that byte
        length = 1;
      }
      at += length;
      continue;
    }
    if (c == '"' || c == '\\') {
      char pair[2] = {'\\', static_cast<char>(c)};
      Write(pair, 2);
    } else if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&' ||
               c == '\'') {
      WriteEscape(c);
    } else {
      Write(bytes + at, 1);
    }
    ++at;
  }
  Write("\"", 1);
}

void PageWriter::WriteFigure(const char* text, std::size_t size) {
  bool plain = size > 0 && size <= 9 && (text[0] != '0' || size == 1);
  for (std::size_t i = 0; plain && i < size; ++i) {
    plain = text[i] >= '0' && text[i] <= '9';
  }
  if (plain) {
    Write(text, size);
  } else {
    WriteJsonString(text, size);
  }
}

void PageWriter::WriteJsonTime(std::int64_t seconds) {
  char time[kUtcTimeTextSize];
  FormatUtcTime(seconds, time);
  WriteJsonString(time, seconds > 0 ? std::strlen(time) : 0);
}

int PageWriter::Finish() {
  Flush();
  return failed_ ? 0 : 1;
}

void PageWriter::WriteEscape(unsigned codePoint) {
  char escape[8];
  std::snprintf(escape, sizeof(escape), "\\u%04x", codePoint & 0xFFFFu);
  Write(escape, 6);
}

void PageWriter::Flush() {
  if (used_ > 0 && std::fwrite(buffer_, 1, used_, file_) != used_) {
    failed_ = true;
  }
  used_ = 0;
}

}  // namespace corvane
