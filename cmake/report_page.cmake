# The report page's fixed text as C++ data: app/report_page.html with the
# chart library of Debian's libjs-chart.js inlined, so that every program
# (and every package) carries the whole page.
find_file(CORVANE_CHART_JS chart.min.js
  PATHS /usr/share/javascript/chart.js /usr/share/nodejs/chart.js/dist
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
  DOC "The chart library the report page inlines (Debian package libjs-chart.js)")
if(NOT CORVANE_CHART_JS)
  message(FATAL_ERROR "chart.min.js not found: install the Debian package libjs-chart.js "
    "(or set CORVANE_CHART_JS to the file)")
endif()
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/report_page_assets.cpp
  COMMAND ${CMAKE_COMMAND} -DTEMPLATE=${PROJECT_SOURCE_DIR}/app/report_page.html
    -DCHART=${CORVANE_CHART_JS} -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/report_page_assets.cpp
    -P ${PROJECT_SOURCE_DIR}/cmake/embed_report_page.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/app/report_page.html ${CORVANE_CHART_JS}
    ${PROJECT_SOURCE_DIR}/cmake/embed_report_page.cmake
  COMMENT "Embedding the report page and its chart library"
  VERBATIM)

# corvane_report_page RESULTS.csv PAGE.html HOST PROGRAM: writes the page of
# a results file, as the bot does; for the browser tests and the benchmark.
add_executable(corvane_report_page ${PROJECT_SOURCE_DIR}/app/report_page_tool.cpp)
target_link_libraries(corvane_report_page PRIVATE corvane_app corvane_platform corvane_warnings)
