// Bounded copies and formatting into the fixed text buffers of the client.
#ifndef CORVANE_CORE_BOUNDED_TEXT_H_
#define CORVANE_CORE_BOUNDED_TEXT_H_

#include <cstdarg>
#include <cstddef>

namespace corvane {

// Copies `source` into `destination` (a buffer of `size` bytes, size > 0),
// cutting it to size - 1 characters; the result is always NUL-terminated.
void CopyText(char* destination, std::size_t size, const char* source);

// Copies into a fixed array, deducing its size.
template <std::size_t N>
void CopyText(char (&destination)[N], const char* source) {
  CopyText(destination, N, source);
}

// Copies `source` into `destination` (`size` bytes, size > 0) as CopyText
// does, with every control byte (0x01 to 0x1F, 0x7F) shown as '?': text
// from the server may hold escape sequences that would drive the terminal.
void CopyPrintable(char* destination, std::size_t size, const char* source);

template <std::size_t N>
void CopyPrintable(char (&destination)[N], const char* source) {
  CopyPrintable(destination, N, source);
}

// True when `text` contains `part` with ASCII letters compared without case.
bool ContainsIgnoringCase(const char* text, const char* part);

// True when `a` and `b` are equal with ASCII letters compared without case.
bool EqualsIgnoringCase(const char* a, const char* b);

// Formats `format` with `arguments` into `destination` (`size` bytes).
// Returns the length of the text in the buffer, or -1 when the formatted text
// does not fit (the buffer then holds the cut text) or formatting failed.
int FormatText(char* destination, std::size_t size, const char* format,
               std::va_list arguments);

}  // namespace corvane

#endif  // CORVANE_CORE_BOUNDED_TEXT_H_
