# The report page in headless Chromium (label browser): Debian's chromium,
# chromium-driver and python3-selenium, which the test packages of
# scripts/common.sh install. The pages, the browser's profile and a
# screenshot (report-page.png) go to browser/ in the build tree. One test
# runs BWCorvane_fast against chatd on the end-to-end tests' port: it takes
# turns with them.
find_program(CORVANE_PYTHON3 python3 HINTS /usr/bin NO_DEFAULT_PATH)
if(NOT CORVANE_PYTHON3)
  find_program(CORVANE_PYTHON3 python3 REQUIRED)
endif()
add_test(NAME report_page_browser
  COMMAND ${CORVANE_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/report_page_browser_test.py
    $<TARGET_FILE:corvane_report_page> ${CMAKE_CURRENT_BINARY_DIR}/browser
    $<TARGET_FILE:chatd> $<TARGET_FILE:BWCorvane_fast> ${CORVANE_TEST_SERVER_PORT})
set_tests_properties(report_page_browser PROPERTIES LABELS browser TIMEOUT 600
  RESOURCE_LOCK port-${CORVANE_TEST_SERVER_PORT})
