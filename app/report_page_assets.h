// The report page's fixed text, generated at build time from
// app/report_page.html with the chart library inlined
// (cmake/embed_report_page.cmake).
#ifndef CORVANE_APP_REPORT_PAGE_ASSETS_H_
#define CORVANE_APP_REPORT_PAGE_ASSETS_H_

#include <cstddef>

namespace corvane {

struct ReportPagePart {
  const unsigned char* bytes;
  std::size_t size;
};

// The page's text before its "about" data, between that and the rows, and
// after the rows (the chart library and the page's script among it).
extern const ReportPagePart kReportPageBeforeAbout;
extern const ReportPagePart kReportPageBeforeRows;
extern const ReportPagePart kReportPageAfterRows;

}  // namespace corvane

#endif  // CORVANE_APP_REPORT_PAGE_ASSETS_H_
