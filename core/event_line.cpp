#include "core/event_line.h"

#include <climits>
#include <cstring>

#include "core/event_table.h"

namespace corvane {
namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char* SkipSpace(const char* p) {
  while (IsSpace(*p)) ++p;
  return p;
}

// Reads a decimal number as %d does: white space, an optional sign, digits.
// Values beyond int saturate. Returns the position after it, or null when
// there are no digits.
const char* ScanDecimal(const char* p, int* value) {
  p = SkipSpace(p);
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (!IsDigit(*p)) return nullptr;
  long long magnitude = 0;
  const long long limit = static_cast<long long>(INT_MAX) + 1;
  for (; IsDigit(*p); ++p) {
    if (magnitude < limit) magnitude = magnitude * 10 + (*p - '0');
  }
  if (negative) {
    *value = magnitude >= limit ? INT_MIN : static_cast<int>(-magnitude);
  } else {
    *value = magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
  }
  return p;
}

// Reads a hexadecimal number as %x does: white space, an optional sign, an
// optional 0x, hex digits. Values beyond 32 bits saturate; a minus sign
// negates modulo 2^32. Returns null when there are no digits.
const char* ScanHex(const char* p, std::uint32_t* value) {
  p = SkipSpace(p);
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexValue(p[2]) >= 0) {
    p += 2;
  }
  if (HexValue(*p) < 0) return nullptr;
  std::uint64_t magnitude = 0;
  for (; HexValue(*p) >= 0; ++p) {
    if (magnitude <= 0xFFFFFFFFu) magnitude = magnitude * 16 + HexValue(*p);
  }
  std::uint32_t bounded = magnitude > 0xFFFFFFFFu
                              ? 0xFFFFFFFFu
                              : static_cast<std::uint32_t>(magnitude);
  *value = negative ? static_cast<std::uint32_t>(0u - bounded) : bounded;
  return p;
}

// Reads a word as %s does into `word` (`size` bytes), keeping its first
// size - 1 characters and skipping the rest. Returns null at the line's end.
const char* ScanWord(const char* p, char* word, int size) {
  p = SkipSpace(p);
  if (*p == '\0') return nullptr;
  int length = 0;
  for (; *p != '\0' && !IsSpace(*p); ++p) {
    if (length < size - 1) word[length++] = *p;
  }
  word[length] = '\0';
  return p;
}

bool CarriesTextOnly(int id) {
  const EventRoute* route = FindEventRoute(id);
  return route != nullptr && route->textOnly;
}

void ScanUserFields(const char* line, int* id, char* name,
                    std::uint32_t* flags) {
  char keyword[kEventNameSize];
  const char* p = ScanDecimal(line, id);
  if (p != nullptr) p = ScanWord(p, keyword, kEventNameSize);
  if (p != nullptr) p = ScanWord(p, name, kEventNameSize);
  if (p != nullptr) ScanHex(p, flags);
}

void CopyQuotedText(const char* line, char* text) {
  const char* quote = std::strchr(line, '"');
  if (quote == nullptr) return;
  std::strncpy(text, quote + 1, kEventTextSize);
  text[kEventTextSize - 1] = '\0';
  char* last = std::strrchr(text, '"');
  if (last != nullptr) *last = '\0';
}

}  // namespace

int ParseEventLine(const char* line, int* id, char* name, std::uint32_t* flags,
                   char* text) {
  if (line == nullptr || id == nullptr || name == nullptr || flags == nullptr ||
      text == nullptr) {
    return 1;
  }
  name[0] = '\0';
  text[0] = '\0';
  *flags = 0;
  *id = 0;
  ScanDecimal(line, id);
  if (!CarriesTextOnly(*id)) ScanUserFields(line, id, name, flags);
  CopyQuotedText(line, text);
  return 1;
}

}  // namespace corvane
