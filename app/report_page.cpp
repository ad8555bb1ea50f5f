#include "app/report_page.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/report_page_assets.h"
#include "app/report_page_writer.h"
#include "app/results_file.h"
#include "app/seen_summary.h"
#include "core/bounded_text.h"
#include "core/utc_time.h"
#include "platform/settings.h"

namespace corvane {
namespace {

const std::int64_t kSecondsPerDay = 86400;

bool FieldIs(const ResultsRecord& row, ResultsColumn column, const char* text) {
  return std::strcmp(row.field[column], text) == 0;
}

// Reads the time a row counts at into *time: its walk's, or the time its
// answer was read when it belongs to no walk (an unattributed answer); sets
// *inWalk accordingly. Returns false when the row has neither.
bool RowTime(const ResultsRecord& row, std::int64_t* time, bool* inWalk) {
  *inWalk =
      ParseUtcTime(row.field[kColumnWalk], row.length[kColumnWalk], time) == 1;
  if (*inWalk) return true;
  return ParseUtcTime(row.field[kColumnTime], row.length[kColumnTime], time) ==
         1;
}

void WriteField(PageWriter* page, const ResultsRecord& row,
                ResultsColumn column) {
  page->WriteJsonString(row.field[column], row.length[column]);
}

// Writes one row in the layout report_page.h describes.
void WriteRow(PageWriter* page, const ResultsRecord& row) {
  page->Write("[", 1);
  WriteField(page, row, kColumnPlayer);
  page->Write(",", 1);
  WriteField(page, row, kColumnStatus);
  for (int at = kColumnLadderWins; at <= kColumnNormalTag; ++at) {
    const ResultsColumn column = static_cast<ResultsColumn>(at);
    page->Write(",", 1);
    if (column == kColumnLadderTag || column == kColumnNormalTag) {
      WriteField(page, row, column);
    } else {
      page->WriteFigure(row.field[column], row.length[column]);
    }
  }
  if (!FieldIs(row, kColumnStatus, "record")) {
    page->Write(",", 1);
    WriteField(page, row, kColumnAnswer);
    page->Write(",", 1);
    WriteField(page, row, kColumnTime);
  }
  page->Write("]", 1);
}

void SetProblem(ReportPageProblem* problem, const char* step, const char* file,
                unsigned long errorCode) {
  problem->step = step;
  problem->file = file;
  problem->errorCode = errorCode;
}

// Finds the newest walk. Returns 1, or 0 with *problem set.
int ScanResults(Environment& environment, ResultsReader* reader,
                const char* resultsFile, std::int64_t* newest,
                ReportPageProblem* problem) {
  // The newest walk; the newest answer only when no row has a walk.
  *newest = 0;
  std::int64_t newestAnswer = 0;
  std::int64_t time = 0;
  bool inWalk = false;
  ResultsRecord row;
  while (reader->Next(&row)) {
    if (!RowTime(row, &time, &inWalk)) continue;
    std::int64_t& latest = inWalk ? *newest : newestAnswer;
    if (time > latest) latest = time;
  }
  if (*newest == 0) *newest = newestAnswer;
  if (reader->failed()) {
    SetProblem(problem, "read", resultsFile, environment.GetLastError());
    return 0;
  }
  return 1;
}

void WriteAbout(PageWriter* page, const ReportPageSource& source,
                std::int64_t newest, std::int64_t written,
                const SeenSummary& summary) {
  page->Write("{\"host\":");
  page->WriteJsonString(source.serverHost, std::strlen(source.serverHost));
  page->Write(",\"program\":");
  page->WriteJsonString(source.program, std::strlen(source.program));
  page->Write(",\"results\":");
  page->WriteJsonString(source.resultsFile, std::strlen(source.resultsFile));
  page->Write(",\"newestWalk\":");
  page->WriteJsonTime(newest);
  page->Write(",\"written\":");
  page->WriteJsonTime(written);
  char days[32];
  std::snprintf(days, sizeof(days), ",\"days\":%d", kReportPageDays);
  page->Write(days);
  WriteSeenSummary(page, summary);
  page->Write("}", 1);
}

// Where the rows written so far leave the page's list.
struct RowsWritten {
  bool first = true;
  char lastWalk[kUtcTimeTextSize] = "";
  std::size_t lastLength = sizeof(lastWalk);  // no walk written yet
};

// Writes the rows of `reader` of the walks from `oldest` on, each walk's time
// once before its rows; the list's brackets are the caller's.
int WriteRows(Environment& environment, PageWriter* page, ResultsReader* reader,
              const char* resultsFile, std::int64_t oldest,
              RowsWritten* written, ReportPageProblem* problem) {
  std::int64_t time = 0;
  bool inWalk = false;
  ResultsRecord row;
  while (reader->Next(&row)) {
    if (!RowTime(row, &time, &inWalk) || time < oldest) continue;
    if (!written->first) page->Write(",", 1);
    written->first = false;
    // A walk's time is 20 characters: RowTime read it.
    std::size_t length = inWalk ? row.length[kColumnWalk] : 0;
    const char* walk = row.field[kColumnWalk];
    if (length != written->lastLength ||
        std::memcmp(walk, written->lastWalk, length) != 0) {
      std::memcpy(written->lastWalk, walk, length);
      written->lastLength = length;
      page->WriteJsonString(walk, length);
      page->Write(",", 1);
    }
    WriteRow(page, row);
  }
  if (reader->failed()) {
    SetProblem(problem, "read", resultsFile, environment.GetLastError());
    return 0;
  }
  return 1;
}

// The files the page's rows come from: the results file, then the rows that
// wait for it (not opened when none wait).
struct PageRows {
  ResultsReader* reader[2];
  const char* file[2];
};

// Writes the whole page into `file`.
int WritePage(Environment& environment, const ReportPageSource& source,
              const PageRows& rows, std::FILE* file,
              ReportPageProblem* problem) {
  // Fixed storage, too large for a stack: one page is written at a time.
  static SeenSummary summary;
  const std::int64_t written = environment.UtcTime();
  summary.Begin(written);
  std::int64_t newest = 0;
  for (int at = 0; at < 2; ++at) {
    if (!rows.reader[at]->opened()) continue;
    std::int64_t newestHere = 0;
    if (!ScanResults(environment, rows.reader[at], rows.file[at], &newestHere,
                     problem)) {
      return 0;
    }
    if (newestHere > newest) newest = newestHere;
  }
  const std::int64_t oldest = newest - kReportPageDays * kSecondsPerDay;
  for (int at = 0; at < 2; ++at) {
    if (!rows.reader[at]->opened()) continue;
    if (!rows.reader[at]->Rewind() ||
        !SummarizeResults(rows.reader[at], oldest, &summary) ||
        !rows.reader[at]->Rewind()) {
      SetProblem(problem, "read", rows.file[at], environment.GetLastError());
      return 0;
    }
  }
  // The seen file's rows, then those that wait for it, in their order.
  const char* const seenFiles[] = {source.seenFile, source.waitingSeenFile};
  for (const char* seenFile : seenFiles) {
    if (seenFile != nullptr && !ReadSeenFile(seenFile, oldest, &summary)) {
      SetProblem(problem, "read", seenFile, environment.GetLastError());
      return 0;
    }
  }
  summary.Finish();
  PageWriter page(file);
  page.Write(kReportPageBeforeAbout);
  WriteAbout(&page, source, newest, written, summary);
  page.Write(kReportPageBeforeRows);
  RowsWritten rowsWritten;
  page.Write("[", 1);
  for (int at = 0; at < 2; ++at) {
    if (rows.reader[at]->opened() &&
        !WriteRows(environment, &page, rows.reader[at], rows.file[at], oldest,
                   &rowsWritten, problem)) {
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
  ResultsReader reader;
  if (!reader.Open(source.resultsFile)) {
    if (!reader.opened()) {
      SetProblem(problem, "open", source.resultsFile,
                 environment.GetLastError());
    } else {
      SetProblem(problem, "recognise the columns of", source.resultsFile, 0);
    }
    return 0;
  }
  // Missing when no rows wait; a file of other columns is none of the bot's.
  ResultsReader waiting;
  if (source.waitingRowsFile != nullptr &&
      !waiting.Open(source.waitingRowsFile) && waiting.opened()) {
    SetProblem(problem, "recognise the columns of", source.waitingRowsFile, 0);
    return 0;
  }
  std::FILE* file = std::fopen(temporary, "wb");
  if (file == nullptr) {
    SetProblem(problem, "create", temporary, environment.GetLastError());
    return 0;
  }
  const PageRows rows = {{&reader, &waiting},
                         {source.resultsFile, source.waitingRowsFile}};
  int written = WritePage(environment, source, rows, file, problem);
  // A full disk may show only when the last buffered bytes go out.
  if (std::fclose(file) != 0 && written) {
    SetProblem(problem, "write", temporary, environment.GetLastError());
    written = 0;
  }
  if (written && !environment.MoveOver(temporary, source.pageFile)) {
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
