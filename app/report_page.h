// The report page: one self-contained HTML file, beside the results file,
// that shows every member of the latest walk, their change since the last
// record and a chart of their standing over time. The program streams the
// results file's rows into it as JSON data; the page's own script groups,
// sorts and draws them.
#ifndef CORVANE_APP_REPORT_PAGE_H_
#define CORVANE_APP_REPORT_PAGE_H_

#include <cstddef>

#include "platform/environment.h"

namespace corvane {

// The page carries the rows of the walks that started at most this many
// days before the newest walk of the results file, so that it stays small
// whatever the file's age.
const int kReportPageDays = 400;

// The longest page file name, temporary suffix included, the writer takes.
const std::size_t kReportPagePathSize = 260;

// Where a page comes from and what it says about itself.
struct ReportPageSource {
  const char* resultsFile;  // the results file (CSV) read
  const char* pageFile;     // the page, replaced through pageFile + ".tmp"
  const char* serverHost;   // the chat server's host, shown on the page
  const char* program;      // the program and its version, shown on the page
  // Rows that wait for the results file (a file like it, header included),
  // read after its rows; none when null or missing.
  const char* waitingRowsFile = nullptr;
};

// Why a page was not written: the step that failed, its file and the
// system's error code (0 when the failure is not the system's).
struct ReportPageProblem {
  const char* step;
  const char* file;
  unsigned long errorCode;
};

// Writes the page of `source` from its results file and waiting rows: into a
// temporary file in the page's folder, then put in the old page's place in one
// step, so that a reader finds the old page or the new one, never a part.
// Returns 1 on success; 0 when the results file cannot be read or has other
// columns, or the page cannot be written or put in place: *problem then says
// why, the old page stays and the temporary file is removed.
int WriteReportPage(Environment& environment, const ReportPageSource& source,
                    ReportPageProblem* problem);

// Size of the text FormatReportPageProblem writes.
const std::size_t kReportPageProblemTextSize = 512;

// Writes a one-line description of `problem` for the diagnostic log.
void FormatReportPageProblem(const ReportPageProblem& problem,
                             char (&text)[kReportPageProblemTextSize]);

}  // namespace corvane

#endif  // CORVANE_APP_REPORT_PAGE_H_
