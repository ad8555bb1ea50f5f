// A configuration.txt of more than 2 GB: a unit test of its own, labelled
// slow, because reading the file takes seconds.
#include <gtest/gtest.h>
#include <unistd.h>

#include "app/configuration.h"
#include "tests/test_support.h"

namespace corvane {
namespace {

using testing_support::WriteFile;

TEST(ConfigurationFile, WordLongerThanTheLargestIntIsTooLong) {
  // A sparse file of 2^31 + 2 NUL bytes: one word without white space. Its
  // length once overflowed the reader's count, and the reader then stored a
  // byte at the negative count and crashed.
  testing_support::ScratchDirectory scratch;
  WriteFile("configuration.txt", "");
  ASSERT_EQ(0, truncate("configuration.txt", (1LL << 31) + 2));
  Configuration configuration;
  ConfigurationProblem problem = kConfigurationFine;
  EXPECT_EQ(0, ReadConfiguration("configuration.txt", &configuration, &problem));
  EXPECT_EQ(kAccountNameTooLong, problem);
}

}  // namespace
}  // namespace corvane
