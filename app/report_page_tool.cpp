// corvane_report_page RESULTS.csv PAGE.html HOST PROGRAM [SEEN.csv
// [WAITING.csv]]: writes the report page of a results file (and of a seen
// file, and of the rows waiting for the results file: the bot's
// BroodWar.csv.pending) exactly as the bot does, for the browser tests, the
// benchmark and anyone who wants a page without running the bot.
#include <cstdio>

#include "app/report_page.h"

int main(int argc, char** argv) {
  if (argc < 5 || argc > 7) {
    std::fputs(
        "usage: corvane_report_page RESULTS.csv PAGE.html HOST PROGRAM "
        "[SEEN.csv [WAITING.csv]]\n",
        stderr);
    return 2;
  }
  corvane::ReportPageSource source = {argv[1],
                                      argv[2],
                                      argv[3],
                                      argv[4],
                                      argc >= 6 ? argv[5] : nullptr,
                                      argc == 7 ? argv[6] : nullptr};
  corvane::ReportPageProblem problem = {"", "", 0};
  if (!corvane::WriteReportPage(corvane::DefaultEnvironment(), source,
                                &problem)) {
    char text[corvane::kReportPageProblemTextSize];
    corvane::FormatReportPageProblem(problem, text);
    std::fprintf(stderr, "corvane_report_page: %s\n", text);
    return 1;
  }
  return 0;
}
