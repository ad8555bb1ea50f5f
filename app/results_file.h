// The results file: one comma-separated row per stats request, as RFC 4180
// writes them, for a spreadsheet or the report page. This is its one owner:
// the header, the columns, the writer and the reader.
#ifndef CORVANE_APP_RESULTS_FILE_H_
#define CORVANE_APP_RESULTS_FILE_H_

#include <cstddef>
#include <cstdio>

#include "app/stats_answer.h"
#include "core/utc_time.h"

namespace corvane {

// The header row; a file that starts with another is never written to. A
// UTF-8 byte-order mark before it (a spreadsheet saved the file) is taken.
extern const char kResultsHeader[];

// The columns, in the order of the header.
enum ResultsColumn {
  kColumnWalk,  // when the request's walk started; empty when unknown
  kColumnTime,  // when the answer was read (or found missing)
  kColumnPlayer,
  kColumnStatus,  // ResultStatusName
  kColumnLadderWins,
  kColumnLadderLosses,
  kColumnLadderDisconnects,
  kColumnLadderRating,
  kColumnLadderTag,
  kColumnNormalWins,
  kColumnNormalLosses,
  kColumnNormalDisconnects,
  kColumnNormalRating,
  kColumnNormalTag,
  kColumnAnswer,  // the answer's lines, joined by " | "
  kResultsColumnCount
};

// Room for the variant's file name with "-99" inserted before ".csv".
const int kResultsPathSize = 64;

// The longest row FormatResultsRow writes, its CR LF and a NUL included: a
// text field at its worst is all quotes (each doubled), in quotes, after the
// formula guard; the figures are digits, the status a short name.
const std::size_t kResultsLineSize =
    2 * kUtcTimeTextSize + 2 * (kMemberNameLimit + kAnswerSize + 2 * kTagSize) +
    3 * 4 + 8 * kFigureSize + 16 + kResultsColumnCount + 2;

// Writes `row` into `line` as one line of the file, ended by CR LF: the
// times as "2026-12-09T06:30:05Z" (empty when unknown), the figures as they
// are, each text quoted when it holds a comma, a quote, a CR or an LF, with
// quotes doubled, and with a leading ' when it starts with = + - @ or ' (a
// spreadsheet would take it for a formula; the reader removes exactly that
// one). Sets *length to the line's length. Returns 1, or 0 when `size` is
// less than kResultsLineSize could need (nothing is then kept).
int FormatResultsRow(const ResultRow& row, char* line, std::size_t size,
                     std::size_t* length);

// The longest header row AppendCsvLine writes, without its line end.
const std::size_t kCsvHeaderLimit = 256;

// Appends `length` bytes of `line`, whole rows of at most kResultsLineSize
// bytes (as FormatResultsRow writes them, or a seen file's row), to the file
// `path` in one write: after the row `header` (at most kCsvHeaderLimit bytes)
// when the file is new or empty (a byte-order mark alone counts as empty),
// and after a CR LF when its last line has no line end. Returns 1 when
// written, 0 when the file could not be opened or written.
int AppendCsvLine(const char* path, const char* header, const char* line,
                  std::size_t length);

// The most bytes FormatCsvField writes for a text of `characters` bytes:
// every byte a doubled quote, the guard and the two quotes around it.
constexpr std::size_t CsvFieldSize(std::size_t characters) {
  return 2 * characters + 3;
}

// Writes `text` into `field` as one field of a row, as FormatResultsRow
// writes its texts (quoted, quotes doubled, the formula guard), never more
// than `size` bytes and with no NUL. Returns the bytes written, or 0 (and
// writes nothing) when `size` is less than CsvFieldSize of the text.
std::size_t FormatCsvField(const char* text, char* field, std::size_t size);

// What the first row of the run found out about the files.
enum ResultsFileNews {
  kResultsFileAsNamed,  // nothing to tell
  kResultsFileMoved,    // the file has other columns; rows go to path()
  kResultsFileRefused,  // it and every -2 to -99 file have other columns
};

// Appends rows to a results file, opened around each row so that every row
// is on disk once Append returns, and the file can be moved away at any time.
class ResultsFile {
 public:
  // `fileName` ("BroodWar.csv") must end in ".csv" and outlive the object.
  explicit ResultsFile(const char* fileName) noexcept;

  ResultsFile(const ResultsFile&) = delete;
  ResultsFile& operator=(const ResultsFile&) = delete;

  // Appends `row` in one write, after the header row when the file is new
  // or empty, and after a CR LF when its last line has no line end. Returns
  // 1 when written, 0 when the file could not be opened or written, or no
  // file takes rows. At the first row of the run, a file whose first line
  // is not the header is left alone: the rows go to "<name>-2.csv" (or -3
  // to -99, the first that is missing, empty or has the header) for the
  // rest of the run, or nowhere when none does; *news says which, at that
  // row only, and kResultsFileAsNamed otherwise.
  int Append(const ResultRow& row, ResultsFileNews* news);

  // Settles, at the first call of the run, the file rows go to (path()), as
  // the first Append does, and returns its news; kResultsFileAsNamed at
  // every later call.
  ResultsFileNews Settle();

  // Settles, at the first call of the run, the file rows go to, as the
  // first Append does, and returns its name; *newFile as for Append.
  const char* Settle(bool* newFile);

  // The file rows go to (or went to, once the first row was appended).
  const char* path() const { return path_; }

  // True once the first row found no file that takes rows.
  bool refused() const { return refused_; }

 private:
  // Settles path_ and refused_ once per run.
  ResultsFileNews ChooseFile();

  const char* fileName_;
  bool chosen_;
  bool refused_;
  char path_[kResultsPathSize];
};

// The longest field a ResultsReader keeps, its NUL included: an answer as
// the writer writes it. A longer field (an edited file) is cut.
const std::size_t kResultsFieldSize = kAnswerSize;

// One row as the reader found it, every field unquoted and without the
// formula guard.
struct ResultsRecord {
  char field[kResultsColumnCount][kResultsFieldSize];  // each NUL-ended
  std::size_t length[kResultsColumnCount];  // bytes kept (a NUL may be one)
  int fields;  // the fields of the row, at most kResultsColumnCount: extra
               // ones join the last
};

// Streams the rows of a results file through a fixed buffer. Quoted fields
// may hold commas, doubled quotes, CR and LF; rows end with CR LF or LF.
// Another file written by the same rules (the seen file) is read through it
// with its own header.
class ResultsReader {
 public:
  // Reads files whose first row is `header` (a text that outlives the
  // reader).
  explicit ResultsReader(const char* header = kResultsHeader) noexcept;
  ~ResultsReader();

  ResultsReader(const ResultsReader&) = delete;
  ResultsReader& operator=(const ResultsReader&) = delete;

  // Opens `path` and reads its header. Returns 1 when the file starts with
  // the header or is empty; 0 when it cannot be opened (opened() is then
  // false, and the system's error code tells why) or has other columns.
  int Open(const char* path);

  // True while a file is open.
  bool opened() const { return file_ != nullptr; }

  // Goes back to the first row after the header. Returns 1, or 0 when the
  // file cannot be read again.
  int Rewind();

  // Reads the next row into *record. Returns 1 when a row was read, 0 at
  // the end of the file (failed() then tells whether reading failed).
  int Next(ResultsRecord* record);

  // True when a read failed.
  bool failed() const { return failed_; }

 private:
  bool Fill();

  const char* header_;
  std::FILE* file_;
  char buffer_[16384];
  std::size_t size_;
  std::size_t at_;
  bool failed_;
};

}  // namespace corvane

#endif  // CORVANE_APP_RESULTS_FILE_H_
