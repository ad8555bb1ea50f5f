#include "core/bounded_text.h"

#include <cstdio>

namespace corvane {

void CopyText(char* destination, std::size_t size, const char* source) {
  std::size_t i = 0;
  for (; i + 1 < size && source[i] != '\0'; ++i) destination[i] = source[i];
  destination[i] = '\0';
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
