// Entry point of the Windows test programs: the bot's console set-up (binary
// mode, unbuffered), then GoogleTest. Binary mode keeps CR bytes out of the
// test list that ctest reads when it discovers the tests.
#include <gtest/gtest.h>

#include "platform/environment.h"

int main(int argc, char** argv) {
  corvane::MakeConsoleUnbuffered();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
