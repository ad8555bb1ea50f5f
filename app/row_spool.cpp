#include "app/row_spool.h"

#include <cstdio>
#include <cstring>

#include "core/bounded_text.h"
#include "core/utc_time.h"

namespace corvane {
namespace {

const char kRowEnd[] = "\r\n";
// Room for the header (about 200 bytes) and one row: a new spool gets both
// in one write.
const std::size_t kWriteBufferSize = kResultsRowSize + 512;

// Builds one line in a fixed buffer; a line that does not fit is marked
// cut.
class LineBuilder {
 public:
  explicit LineBuilder(char (&line)[kResultsRowSize]) : line_(line) {}

  void Put(char c) {
    if (used_ == sizeof(line_)) {
      cut_ = true;
      return;
    }
    line_[used_++] = c;
  }

  void Put(const char* text) {
    for (const char* c = text; *c != '\0'; ++c) Put(*c);
  }

  // As WriteCsvField: quoted when it holds a comma, a quote, a CR or an LF,
  // quotes doubled, a leading ' before = + - or @.
  void Field(const char* text) {
    bool quoted = std::strpbrk(text, ",\"\r\n") != nullptr;
    bool formula = text[0] != '\0' && std::strchr("=+-@", text[0]) != nullptr;
    if (quoted) Put('"');
    if (formula) Put('\'');
    for (const char* c = text; *c != '\0'; ++c) {
      if (*c == '"') Put('"');
      Put(*c);
    }
    if (quoted) Put('"');
  }

  // As the writer's times: empty when unknown.
  void Time(std::int64_t seconds) {
    if (seconds < 0) return;
    char text[kUtcTimeTextSize];
    FormatUtcTime(seconds, text);
    Put(text);
  }

  void Figures(const GameFigures& figures) {
    const char* numbers[] = {figures.wins, figures.losses, figures.disconnects,
                             figures.rating};
    for (const char* number : numbers) {
      Put(number);
      Put(',');
    }
    Field(figures.tag);
  }

  std::size_t used() const { return used_; }
  bool cut() const { return cut_; }

 private:
  char (&line_)[kResultsRowSize];
  std::size_t used_ = 0;
  bool cut_ = false;
};

// Reads a file line by line (each up to and with its LF, or the bytes
// before the end of the file), through stdio's own buffer. A line longer
// than the buffer comes in pieces.
int NextLine(std::FILE* file, char (&line)[kResultsRowSize],
             std::size_t* length) {
  *length = 0;
  int c;
  while (*length < sizeof(line) && (c = std::getc(file)) != EOF) {
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

// Finds the results file's last whole line, the one that ends at `end` (just
// after an LF), and copies it into `line`. Returns 0 when there is none or it
// is longer than any row.
int ReadLastLine(std::FILE* results, long end, char (&line)[kResultsRowSize],
                 std::size_t* length) {
  long from = end > static_cast<long>(sizeof(line))
                  ? end - static_cast<long>(sizeof(line))
                  : 0;
  std::size_t size = static_cast<std::size_t>(end - from);
  if (size == 0 || ReadAt(results, from, line, size) != size) return 0;
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
  char tail[kResultsRowSize];
  long from = size > static_cast<long>(sizeof(tail))
                  ? size - static_cast<long>(sizeof(tail))
                  : 0;
  std::size_t read =
      ReadAt(file, from, tail, static_cast<std::size_t>(size - from));
  while (read > 0 && tail[read - 1] != '\n') --read;
  return read > 0 ? from + static_cast<long>(read) : 0;
}

// How many of the spool's first rows already stand, in their order, at the
// end of the results file (whose whole lines end at `end`): a hand-over that
// a kill cut short left them there. The largest such count.
int RowsAlreadyThere(std::FILE* results, long end, const char* spoolPath) {
  char last[kResultsRowSize];
  std::size_t lastLength = 0;
  if (!ReadLastLine(results, end, last, &lastLength)) return 0;
  std::FILE* rows = std::fopen(spoolPath, "rb");
  std::FILE* again = std::fopen(spoolPath, "rb");
  int found = 0;
  if (rows != nullptr && again != nullptr) {
    char line[kResultsRowSize];
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
           ReadAt(results, end - prefix - 1, &before, 1) == 1) &&
          before == '\n' &&
          RangesEqual(results, end - prefix, again, first, prefix)) {
        found = count;
      }
    }
  }
  if (rows != nullptr) std::fclose(rows);
  if (again != nullptr) std::fclose(again);
  return found;
}

}  // namespace

int FormatResultsLine(const ResultRow& row, char (&line)[kResultsRowSize],
                      std::size_t* length) {
  LineBuilder builder(line);
  builder.Time(row.walk);
  builder.Put(',');
  builder.Time(row.time);
  builder.Put(',');
  builder.Field(row.player);
  builder.Put(',');
  builder.Put(ResultStatusName(row.status));
  builder.Put(',');
  builder.Figures(row.ladder);
  builder.Put(',');
  builder.Figures(row.normal);
  builder.Put(',');
  builder.Field(row.answer);
  builder.Put(kRowEnd);
  *length = builder.used();
  return builder.cut() ? 0 : 1;
}

RowSpool::RowSpool(Environment& environment, const char* resultsFile) noexcept
    : environment_(environment),
      path_(),
      looked_(false),
      waiting_(false),
      lineEndChecked_(false),
      errorCode_(0) {
  std::snprintf(path_, sizeof(path_), "%s%s", resultsFile, kRowSpoolSuffix);
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

int RowSpool::EndCutLine() {
  if (lineEndChecked_) return 1;
  std::FILE* file = std::fopen(path_, "rb");
  int last = '\n';
  if (file != nullptr) {
    if (std::fseek(file, -1, SEEK_END) == 0) last = std::getc(file);
    std::fclose(file);
  }
  if (last != '\n' && last != EOF) {
    file = std::fopen(path_, "ab");
    if (file == nullptr) return Fail();
    int ok = std::fputs(kRowEnd, file) >= 0;
    if ((std::fclose(file) != 0 || !ok)) return Fail();
  }
  lineEndChecked_ = true;
  return 1;
}

int RowSpool::Add(const char* line, std::size_t length) {
  Waiting();
  if (!EndCutLine()) return 0;
  std::FILE* file = std::fopen(path_, "ab");
  if (file == nullptr) return Fail();
  waiting_ = true;
  // The buffer holds the header and the row: they go out in one write.
  char buffer[kWriteBufferSize];
  std::setvbuf(file, buffer, _IOFBF, sizeof(buffer));
  int ok = std::fseek(file, 0, SEEK_END) == 0;
  long size = std::ftell(file);
  if (ok && size == 0) {
    ok &= std::fputs(kResultsHeader, file) >= 0;
    ok &= std::fputs(kRowEnd, file) >= 0;
  }
  ok &= size >= 0 && std::fwrite(line, 1, length, file) == length;
  ok &= std::fflush(file) == 0;
  if (!ok) Fail();
  if (std::fclose(file) != 0 && ok) ok = Fail();
  return ok;
}

int RowSpool::HandOver(const char* resultsPath, int* appended, int* skipped) {
  *appended = 0;
  *skipped = 0;
  if (!Waiting()) return 1;
  std::FILE* out = std::fopen(resultsPath, "ab");
  if (out == nullptr) return Fail();
  char buffer[kWriteBufferSize];
  std::setvbuf(out, buffer, _IOFBF, sizeof(buffer));
  if (!EndCutLine()) {
    std::fclose(out);
    return 0;
  }
  std::FILE* rows = std::fopen(path_, "rb");
  if (rows == nullptr) {
    Fail();
    std::fclose(out);
    return 0;
  }
  int ok = std::fseek(out, 0, SEEK_END) == 0;
  const long size = std::ftell(out);
  ok &= size >= 0;
  if (ok && size == 0) {
    ok &= std::fputs(kResultsHeader, out) >= 0;
    ok &= std::fputs(kRowEnd, out) >= 0;
  } else if (ok) {
    std::FILE* results = std::fopen(resultsPath, "rb");
    if (results == nullptr) {
      ok = Fail();
    } else {
      const long end = WholeLinesEnd(results, size);
      // A power cut left the last line without its end: it stays one broken
      // row, and is not compared with the waiting rows.
      if (end != size) ok &= std::fputs(kRowEnd, out) >= 0;
      *skipped = RowsAlreadyThere(results, end, path_);
      std::fclose(results);
    }
  }
  ok &= std::fflush(out) == 0;
  char line[kResultsRowSize];
  std::size_t length = 0;
  NextLine(rows, line, &length);  // the spool's header
  for (int row = 0; ok && NextLine(rows, line, &length); ++row) {
    if (row < *skipped) continue;
    // One write per row: a kill leaves whole rows only.
    ok &= std::fwrite(line, 1, length, out) == length;
    ok &= std::fflush(out) == 0;
    if (ok) ++*appended;
  }
  if (!ok) Fail();
  if (std::fclose(out) != 0 && ok) ok = Fail();
  std::fclose(rows);
  if (!ok) return 0;
  // The rows are in the results file: the spool goes. Should it stay (held
  // open elsewhere), it is emptied; the next hand-over finds its rows at
  // the results file's end and skips them.
  if (std::remove(path_) != 0) {
    std::FILE* emptied = std::fopen(path_, "wb");
    if (emptied != nullptr) std::fclose(emptied);
  }
  waiting_ = false;
  return 1;
}

}  // namespace corvane
