# Tests of the stand-in chat server (server/). Included by tests/CMakeLists.txt,
# which has already found GTest and included GoogleTest.

add_executable(chat_server_test ${CMAKE_CURRENT_LIST_DIR}/chat_server_test.cpp)
target_link_libraries(chat_server_test PRIVATE corvane_chat_server GTest::gmock GTest::gtest_main corvane_warnings)
# The chatd tests start the real program.
target_compile_definitions(chat_server_test PRIVATE CORVANE_CHATD_PATH="$<TARGET_FILE:chatd>")
add_dependencies(chat_server_test chatd)
gtest_discover_tests(chat_server_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60 LABELS server)
