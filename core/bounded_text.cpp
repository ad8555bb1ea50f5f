#include "core/bounded_text.h"

#include <cstdio>

namespace corvane {

void CopyText(char* destination, std::size_t size, const char* source) {
  std::size_t i = 0;
  for (; i + 1 < size && source[i] != '\0'; ++i) destination[i] = source[i];
  destination[i] = '\0';
}

void CopyPrintable(char* destination, std::size_t size, const char* source) {
  CopyText(destination, size, source);
  for (char* c = destination; *c != '\0'; ++c) {
    unsigned char byte = static_cast<unsigned char>(*c);
    if (byte < 0x20 || byte == 0x7F) *c = '?';
  }
}

namespace {

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool ContainsIgnoringCase(const char* text, const char* part) {
  for (;; ++text) {
    const char* t = text;
    const char* p = part;
    while (*p != '\0' && LowerAscii(*t) == LowerAscii(*p)) {
      ++t;
      ++p;
    }
    if (*p == '\0') return true;
    if (*text == '\0') return false;
  }
}

bool EqualsIgnoringCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (LowerAscii(*a) != LowerAscii(*b)) return false;
    if (*a == '\0') return true;
  }
}

int FormatText(char* destination, std::size_t size, const char* format,
               std::va_list arguments) {
  int length = std::vsnprintf(destination, size, format, arguments);
  if (length < 0) {
    destination[0] = '\0';
    return -1;
  }
  return static_cast<std::size_t>(length) < size ? length : -1;
}

}  // namespace corvane
