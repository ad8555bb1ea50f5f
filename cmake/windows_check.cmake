# End-to-end tests of a Windows build's programs, run under wine from this
# (Linux) build against the stand-in server. Included by tests/CMakeLists.txt
# when CORVANE_WINDOWS_BUILD_DIR names a configured and built Windows build
# (scripts/test-windows.sh sets it up).
#
#   corvane_windows_program_tests     the end-to-end tests of program_test.cpp,
#                                     run against the Windows .exe files
#   corvane_windows_comparison_tests  the POSIX and the Windows test builds
#                                     side by side: the same bytes everywhere
#   corvane_windows_locked_results_tests
#                                     BWCorvane_fast.exe while another program
#                                     holds BroodWar.csv without write sharing
#   corvane_windows_stop_tests        the stop tests of stop_test.cpp, the
#                                     stop coming as Ctrl-C

set(CORVANE_WINEPREFIX "$ENV{WINEPREFIX}" CACHE PATH
  "wine prefix the Windows programs run in (empty: ~/.wine)")
find_program(CORVANE_WINE wine REQUIRED)
set(CORVANE_WINE_HOME "$ENV{HOME}")
if(CORVANE_WINEPREFIX STREQUAL "")
  set(CORVANE_WINEPREFIX "${CORVANE_WINE_HOME}/.wine")
endif()

# Both builds' test programs have the server's port compiled in.
file(STRINGS "${CORVANE_WINDOWS_BUILD_DIR}/test_ports.txt" windows_port REGEX "^CORVANE_TEST_SERVER_PORT=")
string(REPLACE "CORVANE_TEST_SERVER_PORT=" "" windows_port "${windows_port}")
if(NOT windows_port STREQUAL CORVANE_TEST_SERVER_PORT)
  message(FATAL_ERROR "The Windows build in ${CORVANE_WINDOWS_BUILD_DIR} uses test port "
    "'${windows_port}', this build ${CORVANE_TEST_SERVER_PORT}: configure this build with "
    "-DCORVANE_TEST_SERVER_PORT=${windows_port}")
endif()

# One launcher script per Windows program.
foreach(program BWCorvane_fast SCCorvane_fast corvane_hold_file)
  set(CORVANE_WINE_TARGET "${CORVANE_WINDOWS_BUILD_DIR}/tests/${program}.exe")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/wine_program.sh.in
    ${CMAKE_CURRENT_BINARY_DIR}/wine/${program} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
  set(CORVANE_WINE_${program} ${CMAKE_CURRENT_BINARY_DIR}/wine/${program})
endforeach()

# corvane_add_wine_program_tests(NAME SOURCE): end-to-end tests of both
# Windows programs under wine, which turns the tests' stop (SIGINT) into the
# console's Ctrl-C event.
function(corvane_add_wine_program_tests name source)
  add_executable(${name} ${source} bot_process.cpp)
  target_link_libraries(${name} PRIVATE corvane_test_support corvane_chat_server GTest::gtest_main
    corvane_warnings)
  target_compile_definitions(${name} PRIVATE CORVANE_UNDER_WINE
    CORVANE_TEST_SERVER_PORT=${CORVANE_TEST_SERVER_PORT}
    CORVANE_BW_FAST="${CORVANE_WINE_BWCorvane_fast}"
    CORVANE_SC_FAST="${CORVANE_WINE_SCCorvane_fast}")
endfunction()

corvane_add_wine_program_tests(corvane_windows_program_tests program_test.cpp)

add_executable(corvane_windows_comparison_tests windows_program_test.cpp bot_process.cpp)
target_link_libraries(corvane_windows_comparison_tests PRIVATE corvane_test_support
  corvane_chat_server GTest::gtest_main corvane_warnings)
target_compile_definitions(corvane_windows_comparison_tests PRIVATE
  CORVANE_TEST_SERVER_PORT=${CORVANE_TEST_SERVER_PORT}
  CORVANE_POSIX_BW_FAST="$<TARGET_FILE:BWCorvane_fast>"
  CORVANE_POSIX_SC_FAST="$<TARGET_FILE:SCCorvane_fast>"
  CORVANE_WINDOWS_BW_FAST="${CORVANE_WINE_BWCorvane_fast}"
  CORVANE_WINDOWS_SC_FAST="${CORVANE_WINE_SCCorvane_fast}")
add_dependencies(corvane_windows_comparison_tests BWCorvane_fast SCCorvane_fast)

add_executable(corvane_windows_locked_results_tests locked_results_test.cpp bot_process.cpp)
target_link_libraries(corvane_windows_locked_results_tests PRIVATE corvane_app corvane_test_support
  corvane_chat_server GTest::gtest_main corvane_warnings)
target_compile_definitions(corvane_windows_locked_results_tests PRIVATE
  CORVANE_TEST_SERVER_PORT=${CORVANE_TEST_SERVER_PORT}
  CORVANE_BW_FAST="${CORVANE_WINE_BWCorvane_fast}"
  CORVANE_HOLD_FILE="${CORVANE_WINE_corvane_hold_file}")

# The stop tests, the stop coming as Ctrl-C.
corvane_add_wine_program_tests(corvane_windows_stop_tests stop_test.cpp)

foreach(target corvane_windows_program_tests corvane_windows_comparison_tests
    corvane_windows_locked_results_tests corvane_windows_stop_tests)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_PREFIX "Windows."
    PROPERTIES LABELS windows RESOURCE_LOCK chat_server_port TIMEOUT 180)
endforeach()
