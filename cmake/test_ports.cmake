# Every TCP port on 127.0.0.1 that the tests, the benchmarks and the scripts
# listen on, in one table. Each build tree has a block of ports of its own, so
# that two build trees can be tested at once: the block starts at
# CORVANE_TEST_PORT_BASE, by default derived from a hash of the build folder's
# path (17000 to 31399, below the system's ephemeral ports), and each use
# sits at a fixed offset in it.
#
#   offset  variable                   use
#   0       CORVANE_TEST_SERVER_PORT   the end-to-end tests' server, compiled into
#                                      BWCorvane_fast and SCCorvane_fast; the
#                                      wine tests (scripts/test-windows.sh,
#                                      which gives the Linux build that checks
#                                      a Windows build the Windows build's port)
#   1       CORVANE_SLOW_TEST_PORT     the slow end-to-end test's server, compiled
#                                      into BWCorvane_slow (the shipped sources
#                                      with their real pauses)
#   2       CORVANE_BENCH_FAST_PORT    the benchmark's reconnect cycles
#                                      (BWCorvane_bench_fast, scripts/bench.sh)
#   3       CORVANE_PACKAGE_TEST_PORT  the .deb that scripts/test-package.sh
#                                      builds and runs against chatd
#
# Not in the block: CORVANE_SERVER_PORT (6112 by default), the chat server's
# own port compiled into the shipped programs, which the demo
# (scripts/demo.sh) and the benchmark's throughput runs use.
#
# A configured tree lists its ports in test_ports.txt ("NAME=PORT" lines),
# which the scripts read (scripts/common.sh, corvane_test_port). For a folder
# not configured yet, the scripts ask this file in script mode:
#   cmake -DCORVANE_PORTS_TREE=FOLDER -DCORVANE_PORTS_NAME=NAME -P cmake/test_ports.cmake

set(corvane_test_port_names CORVANE_TEST_SERVER_PORT CORVANE_SLOW_TEST_PORT CORVANE_BENCH_FAST_PORT
  CORVANE_PACKAGE_TEST_PORT)

# corvane_test_port_base(FOLDER VARIABLE): the first port of the block of the
# build tree in FOLDER, when CORVANE_TEST_PORT_BASE does not set it.
function(corvane_test_port_base folder variable)
  string(MD5 hash "${folder}")
  string(SUBSTRING "${hash}" 0 6 hex)
  math(EXPR slot "0x${hex} % 1800")
  math(EXPR base "17000 + ${slot} * 8")
  set(${variable} ${base} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  get_filename_component(tree "${CORVANE_PORTS_TREE}" ABSOLUTE)
  corvane_test_port_base("${tree}" base)
  list(FIND corvane_test_port_names "${CORVANE_PORTS_NAME}" offset)
  if(offset LESS 0)
    message(FATAL_ERROR "No test port called '${CORVANE_PORTS_NAME}' (${corvane_test_port_names})")
  endif()
  math(EXPR port "${base} + ${offset}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${port}")
  return()
endif()

set(CORVANE_TEST_PORT_BASE "" CACHE STRING
  "First of this build tree's test ports (empty: derived from the build folder's path)")
set(CORVANE_TEST_SERVER_PORT "" CACHE STRING
  "Port of the end-to-end tests' server (empty: CORVANE_TEST_PORT_BASE)")
if(CORVANE_TEST_PORT_BASE)
  set(corvane_base ${CORVANE_TEST_PORT_BASE})
else()
  corvane_test_port_base("${CMAKE_BINARY_DIR}" corvane_base)
endif()
set(corvane_listing "")
set(offset 0)
foreach(name IN LISTS corvane_test_port_names)
  math(EXPR port "${corvane_base} + ${offset}")
  # A value given on the command line (for instance a Windows build's port
  # handed to the Linux build that checks it) wins over the block.
  if(NOT ${name})
    set(${name} ${port})
  endif()
  string(APPEND corvane_listing "${name}=${${name}}\n")
  math(EXPR offset "${offset} + 1")
endforeach()
file(WRITE "${CMAKE_BINARY_DIR}/test_ports.txt" "${corvane_listing}")
