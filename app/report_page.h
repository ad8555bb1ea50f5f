// The report page: one self-contained HTML file, beside the results file,
// that shows every member of the latest walk, their change since the last
// record and a chart of their standing over time. The program streams the
// results file's rows into it as JSON data; the page's own script groups,
// sorts and draws them.
//
// The page's data, the one description of it (the script's table of field
// indices follows it):
//   about (element "corvane-about"): {"host", "program", "results": the
//     results file, "newestWalk", "written": times as "2026-12-09T06:30:05Z"
//     ("" for no walk), "days": the days of walks carried, kReportPageDays,
//     "watched": {"7": seconds, "14", "30", "60", "90"}: how long the bot
//     watched the home channel in that many days before "written",
//     "members": [[player, here (1 or 0), last seen, last game], ...]: the
//     summary of each member found in the results file or the seen file
//     (app/seen_summary.h has its rules), times "" for none; the seen
//     file's rows are read from the oldest walk the rows carry on}
//   rows (element "corvane-rows"): the rows of the walks that started at
//     most kReportPageDays before the newest walk, in the file's order, each
//     walk's time written once before its rows, "" before rows of no walk
//     (unattributed answers):
//       ["2026-12-09T06:30:05Z", row, row, ..., "", row, ...]
//     a row is an array of the results file's fields:
//       0 player, 1 status,
//       2 ladder wins, 3 ladder losses, 4 ladder disconnects,
//       5 ladder rating or points, 6 ladder tag,
//       7 normal wins, 8 normal losses, 9 normal disconnects,
//       10 normal rating or points, 11 normal tag,
//       and, for a row that is not a record only, 12 the answer and 13 the
//       time it was read (a record's figures say its answer, and it counts
//       at its walk's time).
//     Figures are JSON numbers when they are plain ones of at most nine
//     digits, strings otherwise; every text is a JSON string, unquoted and
//     without the results file's formula guard.
#ifndef CORVANE_APP_REPORT_PAGE_H_
#define CORVANE_APP_REPORT_PAGE_H_

#include <cstddef>

#include "platform/environment.h"
#include "platform/settings.h"

namespace corvane {

// The longest page file name, temporary suffix included, the writer takes.
const std::size_t kReportPagePathSize = 260;

// Where a page comes from and what it says about itself.
struct ReportPageSource {
  const char* resultsFile;  // the results file (CSV) read
  const char* pageFile;     // the page, replaced through pageFile + ".tmp"
  const char* serverHost;   // the chat server's host, shown on the page
  const char* program;      // the program and its version, shown on the page
  const char* seenFile = nullptr;  // the seen file (CSV) read; null for none
  // Rows that wait for the results file (a file like it, header included),
  // read after its rows; none when null or missing.
  const char* waitingRowsFile = nullptr;
  // Rows that wait for the seen file, read after its rows, likewise.
  const char* waitingSeenFile = nullptr;
};

// Why a page was not written: the step that failed, its file and the
// system's error code (0 when the failure is not the system's).
struct ReportPageProblem {
  const char* step;
  const char* file;
  unsigned long errorCode;
};

// Writes the page of `source` from its results file and seen file, each
// followed by the rows that wait for it: into a temporary file in the page's
// folder, then put in the old page's place in one step, so that a reader finds
// the old page or the new one, never a part. Returns 1 on success; 0 when the
// results file cannot be read or has other columns, the seen file cannot be
// read (a missing one, or one of other columns, has no rows), or the page
// cannot be written or put in place: *problem then says why, the old page stays
// and the temporary file is removed.
int WriteReportPage(Environment& environment, const ReportPageSource& source,
                    ReportPageProblem* problem);

// Size of the text FormatReportPageProblem writes.
const std::size_t kReportPageProblemTextSize = 512;

// Writes a one-line description of `problem` for the diagnostic log.
void FormatReportPageProblem(const ReportPageProblem& problem,
                             char (&text)[kReportPageProblemTextSize]);

}  // namespace corvane

#endif  // CORVANE_APP_REPORT_PAGE_H_
