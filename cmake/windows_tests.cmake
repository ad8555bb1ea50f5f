# The tests of a Windows build, run under wine by ctest through
# CMAKE_CROSSCOMPILING_EMULATOR (see cmake/mingw-w64-x86_64.cmake).
# Included by tests/CMakeLists.txt instead of its own body when WIN32.
#
# Under wine run: the unit tests that need no POSIX call (configuration,
# event lines, receive loop) and the tests of the Windows environment over
# real Winsock sockets. The unit tests that use POSIX sockets or mkdir, the
# stand-in server (a POSIX program) and the end-to-end tests stay in the
# Linux build; cmake/windows_check.cmake runs the end-to-end tests of this
# build's programs from there.

# Debian ships GoogleTest for the build machine only; its sources
# (libgtest-dev) are built here for the target.
set(CORVANE_GOOGLETEST_SOURCE "/usr/src/googletest/googletest" CACHE PATH
  "GoogleTest sources, built for the Windows tests")
if(NOT EXISTS "${CORVANE_GOOGLETEST_SOURCE}/CMakeLists.txt")
  message(FATAL_ERROR "No GoogleTest sources in ${CORVANE_GOOGLETEST_SOURCE} (install libgtest-dev)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${CORVANE_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

include(${PROJECT_SOURCE_DIR}/tests/test_support.cmake)

# Test programs print through the same console set-up as the bot (binary
# mode), so ctest reads the test list without CR bytes.
set(CORVANE_WINDOWS_TEST_MAIN ${PROJECT_SOURCE_DIR}/tests/windows_test_main.cpp)

add_executable(corvane_unit_tests
  ${PROJECT_SOURCE_DIR}/tests/configuration_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/event_line_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/line_framer_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/receive_loop_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/utc_time_test.cpp
  ${CORVANE_WINDOWS_TEST_MAIN})
target_link_libraries(corvane_unit_tests PRIVATE corvane_app corvane_test_support gtest
  corvane_warnings)
gtest_discover_tests(corvane_unit_tests DISCOVERY_TIMEOUT 120
  PROPERTIES LABELS unit TIMEOUT 60)

include(${PROJECT_SOURCE_DIR}/tests/test_programs.cmake)

# The Windows environment over real sockets, with the fast pauses so its
# Sleep can be timed without waiting for the real ones.
add_executable(corvane_windows_environment_tests
  ${PROJECT_SOURCE_DIR}/tests/windows_environment_test.cpp
  ${CORVANE_WINDOWS_TEST_MAIN})
target_link_libraries(corvane_windows_environment_tests PRIVATE corvane_core
  corvane_platform_fast gtest corvane_warnings)
gtest_discover_tests(corvane_windows_environment_tests DISCOVERY_TIMEOUT 120
  PROPERTIES LABELS unit TIMEOUT 60)

# Holds a file open without write sharing, as a spreadsheet does, for the
# locked results file test that cmake/windows_check.cmake runs under wine.
add_executable(corvane_hold_file ${PROJECT_SOURCE_DIR}/tests/windows/hold_file.cpp)
target_link_libraries(corvane_hold_file PRIVATE corvane_warnings)
