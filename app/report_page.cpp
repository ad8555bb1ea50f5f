#include "app/report_page.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/report_page_assets.h"
#include "core/bounded_text.h"
#include "core/utc_time.h"

namespace corvane {
namespace {

// The results file's columns, in their order.
const char kResultsHeader[] =
    "walk,time,player,status,ladder_wins,ladder_losses,ladder_disconnects,"
    "ladder_rating,ladder_tag,normal_wins,normal_losses,normal_disconnects,"
    "normal_rating,normal_tag,answer";
enum Column {
  kWalk = 0,
  kTime = 1,
  kPlayer = 2,
  kStatus = 3,
  kLadderWins = 4,
  kNormalTag = 13,
  kAnswer = 14,
  kColumns = 15
};

// A row's text is cut to this; a record's answer is a few hundred bytes.
const std::size_t kRowTextSize = 4096;
const std::size_t kReadBufferSize = 16384;
const std::size_t kWriteBufferSize = 16384;
const std::int64_t kSecondsPerDay = 86400;

// One row of the results file: its fields' bytes, one after the other.
struct CsvRow {
  char text[kRowTextSize];
  std::size_t used;
  std::size_t start[kColumns];
  std::size_t length[kColumns];
  int fields;  // fields found, at most kColumns are kept
};

// Reads RFC 4180 rows from a file through a fixed buffer. Quoted fields may
// hold commas, doubled quotes, CR and LF; a CR outside quotes is dropped.
class CsvReader {
 public:
  explicit CsvReader(std::FILE* file) : file_(file) {}

  // Reads the next row into *row. Returns 1 when a row was read, 0 at the
  // end of the file (failed() then tells whether reading failed).
  int ReadRow(CsvRow* row) {
    row->used = 0;
    row->fields = 0;
    BeginField(row);
    bool quoted = false;
    bool any = false;
    int c;
    while ((c = Next()) >= 0) {
      any = true;
      if (quoted) {
        if (c != '"') {
          Append(row, static_cast<char>(c));
        } else if (Peek() == '"') {
          Next();
          Append(row, '"');
        } else {
          quoted = false;
        }
      } else if (c == '"') {
        quoted = true;
      } else if (c == ',') {
        BeginField(row);
      } else if (c == '\n') {
        return 1;
      } else if (c != '\r') {
        Append(row, static_cast<char>(c));
      }
    }
    return any ? 1 : 0;
  }

  bool failed() const { return failed_; }

 private:
  int Next() {
    if (at_ == size_ && !Fill()) return -1;
    return static_cast<unsigned char>(buffer_[at_++]);
  }

  int Peek() {
    if (at_ == size_ && !Fill()) return -1;
    return static_cast<unsigned char>(buffer_[at_]);
  }

  bool Fill() {
    size_ = std::fread(buffer_, 1, sizeof(buffer_), file_);
    at_ = 0;
    if (size_ == 0 && std::ferror(file_) != 0) failed_ = true;
    return size_ > 0;
  }

  static void BeginField(CsvRow* row) {
    if (row->fields == kColumns) return;  // extra fields join the last
    row->start[row->fields] = row->used;
    row->length[row->fields] = 0;
    ++row->fields;
  }

  static void Append(CsvRow* row, char c) {
    if (row->used == sizeof(row->text)) return;  // the rest of the row is cut
    row->text[row->used++] = c;
    ++row->length[row->fields - 1];
  }

  std::FILE* file_;
  char buffer_[kReadBufferSize];
  std::size_t size_ = 0;
  std::size_t at_ = 0;
  bool failed_ = false;
};

const char* Field(const CsvRow& row, int column, std::size_t* length) {
  if (column >= row.fields) {
    *length = 0;
    return "";
  }
  *length = row.length[column];
  return row.text + row.start[column];
}

bool FieldIs(const CsvRow& row, int column, const char* text) {
  std::size_t length = 0;
  const char* field = Field(row, column, &length);
  return length == std::strlen(text) && std::memcmp(field, text, length) == 0;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(int year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear =
      (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra =
      yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// Reads `count` decimal digits at `text` into *value.
bool ReadDigits(const char* text, int count, int* value) {
  *value = 0;
  for (int i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    *value = *value * 10 + (text[i] - '0');
  }
  return true;
}

// Reads a time written as "2026-12-09T06:30:05Z" into seconds since the
// epoch. Returns false for anything else.
bool ParseUtcTime(const char* text, std::size_t length, std::int64_t* seconds) {
  if (length != kUtcTimeTextSize - 1) return false;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!ReadDigits(text, 4, &year) || text[4] != '-' ||
      !ReadDigits(text + 5, 2, &month) || text[7] != '-' ||
      !ReadDigits(text + 8, 2, &day) || text[10] != 'T' ||
      !ReadDigits(text + 11, 2, &hour) || text[13] != ':' ||
      !ReadDigits(text + 14, 2, &minute) || text[16] != ':' ||
      !ReadDigits(text + 17, 2, &second) || text[19] != 'Z') {
    return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 60) {
    return false;
  }
  const std::int64_t secondOfDay =
      (static_cast<std::int64_t>(hour) * 60 + minute) * 60 + second;
  *seconds = DaysFromCivil(year, month, day) * kSecondsPerDay + secondOfDay;
  return true;
}

// Reads the time a row counts at into *time: its walk's, or the time its
// answer was read when it belongs to no walk (an unattributed answer); sets
// *inWalk accordingly. Returns false when the row has neither.
bool RowTime(const CsvRow& row, std::int64_t* time, bool* inWalk) {
  std::size_t length = 0;
  const char* field = Field(row, kWalk, &length);
  *inWalk = ParseUtcTime(field, length, time);
  if (*inWalk) return true;
  field = Field(row, kTime, &length);
  return ParseUtcTime(field, length, time);
}

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

// The page file being written, through a fixed buffer.
class PageWriter {
 public:
  explicit PageWriter(std::FILE* file) : file_(file) {}

  void Write(const void* bytes, std::size_t size) {
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

  void Write(const char* text) { Write(text, std::strlen(text)); }
  void Write(const ReportPagePart& part) { Write(part.bytes, part.size); }

  // Writes `size` bytes of `text` as a JSON string that is safe inside an
  // HTML <script> element: nothing in it can end the element, start a
  // comment or a tag, or end a line in JavaScript; bytes that are not
  // UTF-8 are taken as Latin-1.
  void WriteJsonString(const char* text, std::size_t size) {
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

  // Writes a figure as a JSON number when it is a plain one of at most nine
  // digits (which JavaScript holds exactly), as a string otherwise.
  void WriteFigure(const char* text, std::size_t size) {
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

  // Writes out what is buffered. Returns 1 when every write succeeded.
  int Finish() {
    Flush();
    return failed_ ? 0 : 1;
  }

 private:
  void WriteEscape(unsigned codePoint) {
    char escape[8];
    std::snprintf(escape, sizeof(escape), "\\u%04x", codePoint & 0xFFFFu);
    Write(escape, 6);
  }

  void Flush() {
    if (used_ > 0 && std::fwrite(buffer_, 1, used_, file_) != used_) {
      failed_ = true;
    }
    used_ = 0;
  }

  std::FILE* file_;
  char buffer_[kWriteBufferSize];
  std::size_t used_ = 0;
  bool failed_ = false;
};

void WriteField(PageWriter* page, const CsvRow& row, int column) {
  std::size_t length = 0;
  const char* field = Field(row, column, &length);
  page->WriteJsonString(field, length);
}

// Writes one row as [player, status, ladder figures and tag, normal figures
// and tag, answer, time read]; a record's answer and time are left out: its
// figures say it, and it counts at its walk's time.
void WriteRow(PageWriter* page, const CsvRow& row) {
  page->Write("[", 1);
  WriteField(page, row, kPlayer);
  page->Write(",", 1);
  WriteField(page, row, kStatus);
  for (int column = kLadderWins; column <= kNormalTag; ++column) {
    page->Write(",", 1);
    std::size_t length = 0;
    const char* field = Field(row, column, &length);
    if (column == kLadderWins + 4 || column == kNormalTag) {
      page->WriteJsonString(field, length);
    } else {
      page->WriteFigure(field, length);
    }
  }
  if (!FieldIs(row, kStatus, "record")) {
    page->Write(",", 1);
    WriteField(page, row, kAnswer);
    page->Write(",", 1);
    WriteField(page, row, kTime);
  }
  page->Write("]", 1);
}

void SetProblem(ReportPageProblem* problem, const char* step, const char* file,
                unsigned long errorCode) {
  problem->step = step;
  problem->file = file;
  problem->errorCode = errorCode;
}

// Checks the header row and finds the newest walk. Returns 1, or 0 with
// *problem set.
int ScanResults(Environment& environment, std::FILE* results,
                const char* resultsFile, std::int64_t* newest,
                ReportPageProblem* problem) {
  CsvReader reader(results);
  CsvRow row;
  if (reader.ReadRow(&row)) {
    // An editor may have put a byte-order mark before the header.
    std::size_t skip =
        row.used >= 3 && std::memcmp(row.text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    char header[sizeof(kResultsHeader)];
    std::size_t length = 0;
    for (int field = 0; field < row.fields && length < sizeof(header);
         ++field) {
      if (field > 0) header[length++] = ',';
      for (std::size_t i = 0; i < row.length[field] && length < sizeof(header);
           ++i) {
        header[length++] = row.text[row.start[field] + i];
      }
    }
    if (length < skip || length - skip != sizeof(kResultsHeader) - 1 ||
        std::memcmp(header + skip, kResultsHeader, length - skip) != 0) {
      SetProblem(problem, "recognise the columns of", resultsFile, 0);
      return 0;
    }
  }
  // The newest walk; the newest answer only when no row has a walk.
  *newest = 0;
  std::int64_t newestAnswer = 0;
  std::int64_t time = 0;
  bool inWalk = false;
  while (reader.ReadRow(&row)) {
    if (!RowTime(row, &time, &inWalk)) continue;
    std::int64_t& latest = inWalk ? *newest : newestAnswer;
    if (time > latest) latest = time;
  }
  if (*newest == 0) *newest = newestAnswer;
  if (reader.failed()) {
    SetProblem(problem, "read", resultsFile, environment.GetLastError());
    return 0;
  }
  return 1;
}

void WriteAbout(PageWriter* page, const ReportPageSource& source,
                std::int64_t newest, std::int64_t written) {
  char time[kUtcTimeTextSize];
  page->Write("{\"host\":");
  page->WriteJsonString(source.serverHost, std::strlen(source.serverHost));
  page->Write(",\"program\":");
  page->WriteJsonString(source.program, std::strlen(source.program));
  page->Write(",\"results\":");
  page->WriteJsonString(source.resultsFile, std::strlen(source.resultsFile));
  page->Write(",\"newestWalk\":");
  FormatUtcTime(newest, time);
  page->WriteJsonString(time, newest > 0 ? std::strlen(time) : 0);
  page->Write(",\"written\":");
  FormatUtcTime(written, time);
  page->WriteJsonString(time, std::strlen(time));
  char days[32];
  std::snprintf(days, sizeof(days), ",\"days\":%d}", kReportPageDays);
  page->Write(days);
}

// Where the rows written so far leave the page's list.
struct RowsWritten {
  bool first = true;
  char lastWalk[kUtcTimeTextSize] = "";
  std::size_t lastLength = sizeof(lastWalk);  // no walk written yet
};

// Writes the rows of `results` of the walks from `oldest` on, each walk's
// time once before its rows: [walk, row, row, ..., walk, row, ...]; "" stands
// before rows of no walk. The brackets are the caller's.
int WriteRows(Environment& environment, PageWriter* page, std::FILE* results,
              const char* resultsFile, std::int64_t oldest,
              RowsWritten* written, ReportPageProblem* problem) {
  CsvReader reader(results);
  CsvRow row = {};
  reader.ReadRow(&row);  // the header
  std::int64_t time = 0;
  bool inWalk = false;
  while (reader.ReadRow(&row)) {
    if (!RowTime(row, &time, &inWalk) || time < oldest) continue;
    if (!written->first) page->Write(",", 1);
    written->first = false;
    std::size_t length = 0;
    const char* walk = inWalk ? Field(row, kWalk, &length) : "";
    if (length != written->lastLength ||
        std::memcmp(walk, written->lastWalk, length) != 0) {
      std::memcpy(written->lastWalk, walk, length);
      written->lastLength = length;
      page->WriteJsonString(walk, length);
      page->Write(",", 1);
    }
    WriteRow(page, row);
  }
  if (reader.failed()) {
    SetProblem(problem, "read", resultsFile, environment.GetLastError());
    return 0;
  }
  return 1;
}

// Writes the whole page into `file`; `waiting` (the rows waiting for the
// results file) may be null.
int WritePage(Environment& environment, const ReportPageSource& source,
              std::FILE* results, std::FILE* waiting, std::FILE* file,
              ReportPageProblem* problem) {
  std::int64_t newest = 0;
  std::int64_t newestWaiting = 0;
  if (!ScanResults(environment, results, source.resultsFile, &newest,
                   problem) ||
      (waiting != nullptr &&
       !ScanResults(environment, waiting, source.waitingRowsFile,
                    &newestWaiting, problem))) {
    return 0;
  }
  if (newestWaiting > newest) newest = newestWaiting;
  std::rewind(results);
  PageWriter page(file);
  page.Write(kReportPageBeforeAbout);
  WriteAbout(&page, source, newest, environment.UtcTime());
  page.Write(kReportPageBeforeRows);
  const std::int64_t oldest = newest - kReportPageDays * kSecondsPerDay;
  RowsWritten written;
  page.Write("[", 1);
  if (!WriteRows(environment, &page, results, source.resultsFile, oldest,
                 &written, problem)) {
    return 0;
  }
  if (waiting != nullptr) {
    std::rewind(waiting);
    if (!WriteRows(environment, &page, waiting, source.waitingRowsFile, oldest,
                   &written, problem)) {
      return 0;
    }
  }
  page.Write("]", 1);
  page.Write(kReportPageAfterRows);
  if (!page.Finish()) {
    SetProblem(problem, "write", source.pageFile, environment.GetLastError());
    return 0;
  }
  return 1;
}

}  // namespace

int WriteReportPage(Environment& environment, const ReportPageSource& source,
                    ReportPageProblem* problem) {
  char temporary[kReportPagePathSize];
  if (std::snprintf(temporary, sizeof(temporary), "%s.tmp", source.pageFile) >=
      static_cast<int>(sizeof(temporary))) {
    SetProblem(problem, "name", source.pageFile, 0);
    return 0;
  }
  std::FILE* results = std::fopen(source.resultsFile, "rb");
  if (results == nullptr) {
    SetProblem(problem, "open", source.resultsFile, environment.GetLastError());
    return 0;
  }
  std::FILE* file = std::fopen(temporary, "wb");
  if (file == nullptr) {
    SetProblem(problem, "create", temporary, environment.GetLastError());
    std::fclose(results);
    return 0;
  }
  // Missing when no rows wait.
  std::FILE* waiting = source.waitingRowsFile == nullptr
                           ? nullptr
                           : std::fopen(source.waitingRowsFile, "rb");
  int written = WritePage(environment, source, results, waiting, file, problem);
  std::fclose(results);
  if (waiting != nullptr) std::fclose(waiting);
  // A full disk may show only when the last buffered bytes go out.
  if (std::fclose(file) != 0 && written) {
    SetProblem(problem, "write", temporary, environment.GetLastError());
    written = 0;
  }
  if (written && !environment.ReplaceFile(temporary, source.pageFile)) {
    SetProblem(problem, "put in place", source.pageFile,
               environment.GetLastError());
    written = 0;
  }
  if (!written) std::remove(temporary);
  return written;
}

void FormatReportPageProblem(const ReportPageProblem& problem,
                             char (&text)[kReportPageProblemTextSize]) {
  char file[kReportPagePathSize];
  CopyPrintable(file, problem.file);
  std::snprintf(text, sizeof(text),
                "Cannot %s %s: error code %lu; the report page was not "
                "written",
                problem.step, file, problem.errorCode);
}

}  // namespace corvane
