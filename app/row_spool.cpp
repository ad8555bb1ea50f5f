#include "app/row_spool.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace corvane {
namespace {

// Reads a file line by line (each up to and with its LF, or the bytes
// before the end of the file), through stdio's own buffer. A line longer
// than the buffer comes in pieces. The program's rows hold no line end in a
// field (the server's lines are split at them), so each line is one row.
int NextLine(std::FILE* file, char (&line)[kResultsLineSize],
             std::size_t* length) {
  *length = 0;
  int c;
  // Room is left for the line end of a cut last line.
  while (*length + 2 < sizeof(line) && (c = std::getc(file)) != EOF) {
    line[(*length)++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  return *length > 0;
}

// The bytes of `file` at `at`, at most `size`; returns how many were read.
std::size_t ReadAt(std::FILE* file, long at, char* bytes, std::size_t size) {
  if (std::fseek(file, at, SEEK_SET) != 0) return 0;
  return std::fread(bytes, 1, size, file);
}

// True when `length` bytes of `a` at `aAt` equal those of `b` at `bAt`.
bool RangesEqual(std::FILE* a, long aAt, std::FILE* b, long bAt, long length) {
  char left[1024];
  char right[1024];
  while (length > 0) {
    std::size_t size = length < 1024 ? static_cast<std::size_t>(length) : 1024;
    if (ReadAt(a, aAt, left, size) != size ||
        ReadAt(b, bAt, right, size) != size ||
        std::memcmp(left, right, size) != 0) {
      return false;
    }
    aAt += static_cast<long>(size);
    bAt += static_cast<long>(size);
    length -= static_cast<long>(size);
  }
  return true;
}

// Finds the target file's last whole line, the one that ends at `end` (just
// after an LF), and copies it into `line`. Returns 0 when there is none or it
// is longer than any row.
int ReadLastLine(std::FILE* file, long end, char (&line)[kResultsLineSize],
                 std::size_t* length) {
  long from = end > static_cast<long>(sizeof(line))
                  ? end - static_cast<long>(sizeof(line))
                  : 0;
  std::size_t size = static_cast<std::size_t>(end - from);
  if (size == 0 || ReadAt(file, from, line, size) != size) return 0;
  std::size_t start = size - 1;  // the line's own LF
  while (start > 0 && line[start - 1] != '\n') --start;
  if (start == 0 && from > 0) return 0;
  *length = size - start;
  std::memmove(line, line + start, *length);
  return 1;
}

// Where the whole lines of a file of `size` bytes end: just after its last
// LF, looked for among its last bytes of a row's length (0 when none is
// there).
long WholeLinesEnd(std::FILE* file, long size) {
  char tail[kResultsLineSize];
  long from = size > static_cast<long>(sizeof(tail))
                  ? size - static_cast<long>(sizeof(tail))
                  : 0;
  std::size_t read =
      ReadAt(file, from, tail, static_cast<std::size_t>(size - from));
  while (read > 0 && tail[read - 1] != '\n') --read;
  return read > 0 ? from + static_cast<long>(read) : 0;
}

// How many of the spool's first rows already stand, in their order, at the
// end of the target file (whose whole lines end at `end`): a hand-over that
// a kill cut short left them there. The largest such count.
int RowsAlreadyThere(std::FILE* target, long end, const char* spoolPath) {
  char last[kResultsLineSize];
  std::size_t lastLength = 0;
  if (!ReadLastLine(target, end, last, &lastLength)) return 0;
  std::FILE* rows = std::fopen(spoolPath, "rb");
  std::FILE* again = std::fopen(spoolPath, "rb");
  int found = 0;
  if (rows != nullptr && again != nullptr) {
    char line[kResultsLineSize];
    std::size_t length = 0;
    NextLine(rows, line, &length);  // the header
    const long first = static_cast<long>(length);
    long prefix = 0;
    for (int count = 1; NextLine(rows, line, &length); ++count) {
      prefix += static_cast<long>(length);
      if (prefix > end) break;
      char before = '\n';
      if (length == lastLength && std::memcmp(line, last, length) == 0 &&
          (prefix == end ||
           ReadAt(target, end - prefix - 1, &before, 1) == 1) &&
          before == '\n' &&
          RangesEqual(target, end - prefix, again, first, prefix)) {
        found = count;
      }
    }
  }
  if (rows != nullptr) std::fclose(rows);
  if (again != nullptr) std::fclose(again);
  return found;
}

}  // namespace

RowSpool::RowSpool(Environment& environment, const char* fileName,
                   const char* header) noexcept
    : environment_(environment),
      header_(header),
      path_(),
      lastTryMs_(0),
      looked_(false),
      waiting_(false),
      errorCode_(0) {
  std::snprintf(path_, sizeof(path_), "%s%s", fileName, kRowSpoolSuffix);
}

bool RowSpool::Waiting() {
  if (!looked_) {
    looked_ = true;
    std::FILE* file = std::fopen(path_, "rb");
    waiting_ = file != nullptr;
    if (file != nullptr) std::fclose(file);
  }
  return waiting_;
}

int RowSpool::Fail() {
  errorCode_ = environment_.GetLastError();
  return 0;
}

bool RowSpool::RetryDue() {
  return Waiting() &&
         environment_.ProgramTimeMs() - lastTryMs_ >= kRowSpoolRetryMs;
}

int RowSpool::AddLine(const char* line, std::size_t length) {
  // The first row that waits: an idle bot tries the file again after a
  // minute.
  if (!Waiting()) lastTryMs_ = environment_.ProgramTimeMs();
  // The file's own writer: the header when the spool is new, a line cut
  // short (a power cut) ended first, and the row in one write.
  if (!AppendCsvLine(path_, header_, line, length)) return Fail();
  waiting_ = true;
  return 1;
}

int RowSpool::Add(const ResultRow& row) {
  char line[kResultsLineSize];
  std::size_t length = 0;
  if (!FormatResultsRow(row, line, sizeof(line), &length)) return Fail();
  return AddLine(line, length);
}

int RowSpool::HandOver(const char* path, int* appended, int* skipped) {
  *appended = 0;
  *skipped = 0;
  if (!Waiting()) return 1;
  lastTryMs_ = environment_.ProgramTimeMs();
  // Tried first for writing: a file held without write sharing, or one that
  // is not writable, refuses here, before anything is read.
  std::FILE* out = std::fopen(path, "ab");
  if (out == nullptr) return Fail();
  std::fclose(out);
  std::FILE* rows = std::fopen(path_, "rb");
  if (rows == nullptr) return Fail();
  std::FILE* target = std::fopen(path, "rb");
  int ok = target != nullptr && std::fseek(target, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(target) : -1;
  ok &= size >= 0;
  if (ok && size > 0) {
    // A last line without its end (a power cut) is not compared with the
    // waiting rows; the first row handed over ends it.
    *skipped = RowsAlreadyThere(target, WholeLinesEnd(target, size), path_);
  }
  if (target != nullptr) std::fclose(target);
  if (!ok) {
    std::fclose(rows);
    return Fail();
  }
  char line[kResultsLineSize];
  std::size_t length = 0;
  NextLine(rows, line, &length);  // the spool's header
  for (int row = 0; ok && NextLine(rows, line, &length); ++row) {
    if (row < *skipped) continue;
    // A power cut left the spool's last row without its end: it reaches
    // the target file ended, one broken row.
    if (line[length - 1] != '\n') {
      line[length++] = '\r';
      line[length++] = '\n';
    }
    // One write per row: a kill leaves whole rows only.
    ok = AppendCsvLine(path, header_, line, length);
    if (ok) ++*appended;
  }
  if (!ok) Fail();
  std::fclose(rows);
  if (!ok) return 0;
  // The rows are in the target file: the spool goes. Should it stay (held
  // open elsewhere), it is emptied; the next hand-over finds its rows at
  // the target file's end and skips them.
  if (std::remove(path_) != 0) {
    std::FILE* emptied = std::fopen(path_, "wb");
    if (emptied != nullptr) std::fclose(emptied);
  }
  waiting_ = false;
  return 1;
}

}  // namespace corvane
