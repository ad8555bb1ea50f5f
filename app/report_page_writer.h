// The report page's bytes: written through a fixed buffer, with texts as
// JSON strings that are safe inside an HTML <script> element.
#ifndef CORVANE_APP_REPORT_PAGE_WRITER_H_
#define CORVANE_APP_REPORT_PAGE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "app/report_page_assets.h"

namespace corvane {

// The page file being written, through a fixed buffer.
class PageWriter {
 public:
  explicit PageWriter(std::FILE* file) : file_(file) {}

  // Writes `size` bytes as they are.
  void Write(const void* bytes, std::size_t size);

  // Writes a NUL-ended text as it is.
  void Write(const char* text);

  // Writes a part of the page's fixed text.
  void Write(const ReportPagePart& part) { Write(part.bytes, part.size); }

  // Writes `size` bytes of `text` as a JSON string that is safe inside an
  // HTML <script> element: nothing in it can end the element, start a
  // comment or a tag, or end a line in JavaScript; bytes that are not
  // UTF-8 are taken as Latin-1.
  void WriteJsonString(const char* text, std::size_t size);

  // Writes a figure as a JSON number when it is a plain one of at most nine
  // digits (which JavaScript holds exactly), as a string otherwise.
  void WriteFigure(const char* text, std::size_t size);

  // Writes `seconds` since 1970 as a JSON string "2026-12-09T06:30:05Z", or
  // "" when it is 0 or less (no time).
  void WriteJsonTime(std::int64_t seconds);

  // Writes out what is buffered. Returns 1 when every write succeeded.
  int Finish();

 private:
  void WriteEscape(unsigned codePoint);
  void Flush();

  std::FILE* file_;
  char buffer_[16384];
  std::size_t used_ = 0;
  bool failed_ = false;
};

}  // namespace corvane

#endif  // CORVANE_APP_REPORT_PAGE_WRITER_H_
