// The results file: one comma-separated row per stats request, as RFC 4180
// writes them, for a spreadsheet or the report page.
#ifndef CORVANE_APP_RESULTS_FILE_H_
#define CORVANE_APP_RESULTS_FILE_H_

#include <cstdio>

#include "app/stats_answer.h"

namespace corvane {

// The header row; a file that starts with another is never written to.
extern const char kResultsHeader[];
// Room for the variant's file name with "-99" inserted before ".csv".
const int kResultsPathSize = 64;

// Writes `text` as one field: quoted when it holds a comma, a quote, a CR or
// an LF, quotes doubled, and with a leading ' when it starts with = + - or @
// (a spreadsheet would take it for a formula). Returns 1, or 0 when a write
// failed.
int WriteCsvField(std::FILE* file, const char* text);

// Writes `row` as one line of the file, ended by CR LF: the times as
// "2026-12-09T06:30:05Z" (empty when unknown), the figures as they are, the
// texts through WriteCsvField. Returns 1, or 0 when a write failed.
int WriteCsvRow(std::FILE* file, const ResultRow& row);

// Appends rows to a results file, opened around each row so that every row
// is on disk once Append returns, and the file can be moved away at any time.
class ResultsFile {
 public:
  // `fileName` ("BroodWar.csv") must end in ".csv" and outlive the object.
  explicit ResultsFile(const char* fileName) noexcept;

  ResultsFile(const ResultsFile&) = delete;
  ResultsFile& operator=(const ResultsFile&) = delete;

  // Appends `row`, after the header row when the file is new or empty.
  // Returns 1 when written, 0 when the file could not be opened or written.
  // At the first row of the run, a file whose first line is not the header
  // is left alone: the rows go to "<name>-2.csv" (or -3 to -99, the first
  // that is missing, empty or has the header) for the rest of the run, and
  // *newFile is set to true; otherwise it is set to false.
  int Append(const ResultRow& row, bool* newFile);

  // Settles, at the first call of the run, the file rows go to, as the
  // first Append does, and returns its name; *newFile as for Append.
  const char* Settle(bool* newFile);

  // The file rows go to (or went to, once the first row was appended).
  const char* path() const { return path_; }

 private:
  // Settles path_ once per run. Returns 1 when it is the constructor's name.
  int ChooseFile();

  const char* fileName_;
  bool chosen_;
  char path_[kResultsPathSize];
};

}  // namespace corvane

#endif  // CORVANE_APP_RESULTS_FILE_H_
