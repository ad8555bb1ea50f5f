# The tests' shared fakes, as libraries that the tests, the fuzz targets and
# the benchmarks link; each of those includes this file, and a build with
# several of them defines the libraries once.
include_guard(GLOBAL)

# The fake system: an Environment whose every call a test can script.
add_library(corvane_fake_environment STATIC ${CMAKE_CURRENT_LIST_DIR}/fake_environment.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fake_environment.h)
target_link_libraries(corvane_fake_environment PUBLIC corvane_platform PRIVATE corvane_warnings)

# The recording connection and the helpers built on the fake system.
add_library(corvane_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/test_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_support.h)
target_link_libraries(corvane_test_support PUBLIC corvane_fake_environment corvane_core
  corvane_app PRIVATE corvane_warnings)
