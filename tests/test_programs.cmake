# Test builds of the programs, for the end-to-end tests on every system: the
# shipped sources with the test timings of platform/settings.h (every pause
# divided by 50) and the server on loopback at this build tree's test port
# (cmake/test_ports.cmake).
corvane_add_platform(corvane_platform_fast test)
corvane_add_program(BWCorvane_fast kBroodWarVariant corvane_platform_fast 127.0.0.1
  ${CORVANE_TEST_SERVER_PORT})
corvane_add_program(SCCorvane_fast kStarcraftVariant corvane_platform_fast 127.0.0.1
  ${CORVANE_TEST_SERVER_PORT})
