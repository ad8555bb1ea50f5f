# Tests of the stand-in chat server (server/). Included by tests/CMakeLists.txt,
# which has already found GTest and included GoogleTest.

# The listener, recording, scripts and chatd, through real loopback sockets.
add_executable(chat_server_test ${CMAKE_CURRENT_LIST_DIR}/chat_server_test.cpp)
target_link_libraries(chat_server_test PRIVATE corvane_chat_server corvane_test_support GTest::gmock GTest::gtest_main corvane_warnings)
# The chatd tests start the real program.
target_compile_definitions(chat_server_test PRIVATE CORVANE_CHATD_PATH="$<TARGET_FILE:chatd>")
add_dependencies(chat_server_test chatd)
gtest_discover_tests(chat_server_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60 LABELS server)

# The conversation, its line framing and the stats oracle, without sockets.
add_executable(conversation_test ${CMAKE_CURRENT_LIST_DIR}/conversation_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stats_oracle_test.cpp)
target_link_libraries(conversation_test PRIVATE corvane_chat_server GTest::gmock GTest::gtest_main corvane_warnings)
gtest_discover_tests(conversation_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60 LABELS server)
