// Rows that wait for one of the bot's CSV files (the results file, the
// seen file): while another program holds it without write sharing, or it
// is not writable, each row goes to a file of the bot's own beside it
// ("BroodWar.csv.pending"), and is handed over to the file, in its order,
// once that takes rows again.
#ifndef CORVANE_APP_ROW_SPOOL_H_
#define CORVANE_APP_ROW_SPOOL_H_

#include <cstddef>
#include <cstdint>

#include "app/results_file.h"
#include "app/stats_answer.h"
#include "platform/environment.h"

namespace corvane {

// What the spool's name adds to its file's.
const char kRowSpoolSuffix[] = ".pending";
// Room for a CSV file's name and that suffix.
const int kRowSpoolPathSize = kResultsPathSize + sizeof(kRowSpoolSuffix);
// While rows wait, an idle bot tries their file at most this often
// (program time).
const std::int64_t kRowSpoolRetryMs = 60000;

// The spool file of one CSV file. Each row reaches it, and later the file,
// in one write, so that a kill leaves only whole rows; it has the file's
// header, so that it reads as such a file itself.
class RowSpool {
 public:
  // The spool of `fileName` ("BroodWar.csv"), whose rows follow `header`;
  // both must outlive it.
  RowSpool(Environment& environment, const char* fileName,
           const char* header) noexcept;

  RowSpool(const RowSpool&) = delete;
  RowSpool& operator=(const RowSpool&) = delete;

  // True when the spool file is there: rows (of this run or an earlier one)
  // wait in it. Looks for the file at the first call only; from then on
  // AddLine and HandOver keep the answer.
  bool Waiting();

  // True when rows wait and their file was last tried (the first row that
  // waits, or the last hand-over) at least kRowSpoolRetryMs of program time
  // ago.
  bool RetryDue();

  // Appends `length` bytes of `line`, one whole row ended by CR LF (at most
  // kResultsLineSize bytes), to the spool as the file's writer writes it:
  // in one write, after the header when the spool is new, and after a CR LF
  // when a power cut left its last line without one. Returns 1 when the row
  // is on disk; 0 with errorCode() set otherwise.
  int AddLine(const char* line, std::size_t length);

  // Appends `row` as the results file's writer formats it (AddLine).
  int Add(const ResultRow& row);

  // Appends the waiting rows, in their order, to `path`: the header first
  // when it is empty, a last line cut short ended first, and the rows
  // a hand-over that was cut short (a kill) already left at its end skipped.
  // Then removes the spool. Sets *appended and *skipped to the rows written
  // and left out. Returns 1 when no rows wait any more; 0 when `path`
  // cannot be written now (errorCode() says why; the rows still wait,
  // and those already appended are found again at the next try).
  int HandOver(const char* path, int* appended, int* skipped);

  // The system's error code of the last failed AddLine or HandOver.
  unsigned long errorCode() const { return errorCode_; }

  // The spool file's name ("BroodWar.csv.pending").
  const char* path() const { return path_; }

 private:
  // Records the error code of a failed step; returns 0.
  int Fail();

  Environment& environment_;
  const char* header_;
  char path_[kRowSpoolPathSize];
  // When the file was last tried for the waiting rows (program time).
  std::int64_t lastTryMs_;
  bool looked_;
  bool waiting_;
  unsigned long errorCode_;
};

}  // namespace corvane

#endif  // CORVANE_APP_ROW_SPOOL_H_
