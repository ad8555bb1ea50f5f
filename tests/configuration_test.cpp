#include "app/configuration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/test_support.h"

namespace corvane {
namespace {

using testing_support::ScratchDirectory;
using testing_support::WriteFile;

ConfigurationProblem ReadFrom(const std::string& contents, Configuration* configuration) {
  WriteFile("configuration.txt", contents);
  ConfigurationProblem problem = kConfigurationFine;
  int result = ReadConfiguration("configuration.txt", configuration, &problem);
  EXPECT_EQ(problem == kConfigurationFine ? 1 : 0, result);
  return problem;
}

TEST(Configuration, ThreeWordsSeparatedByAnyWhiteSpace) {
  ScratchDirectory scratch;
  for (const char* contents :
       {"statbot secret1 Clan\n", "statbot\nsecret1\nClan\n", "  statbot\tsecret1\r\nClan",
        "statbot\r\nsecret1\r\nClan\r\n", "statbot secret1 Clan extra words\n"}) {
    Configuration c;
    ASSERT_EQ(kConfigurationFine, ReadFrom(contents, &c)) << contents;
    EXPECT_STREQ("statbot", c.accountName);
    EXPECT_STREQ("secret1", c.password);
    EXPECT_STREQ("Clan", c.homeChannel) << "no CR may stay in the last word";
  }
}

TEST(Configuration, WordsUpToTheirLimitsAreKeptWhole) {
  ScratchDirectory scratch;
  Configuration c;
  std::string account(15, 'a'), password(15, 'p'), channel(35, 'c');
  ASSERT_EQ(kConfigurationFine, ReadFrom(account + " " + password + " " + channel, &c));
  EXPECT_EQ(account, c.accountName);
  EXPECT_EQ(password, c.password);
  EXPECT_EQ(channel, c.homeChannel);
}

TEST(Configuration, ByteOrderMarkIsNotPartOfTheAccountName) {
  ScratchDirectory scratch;
  Configuration c;
  ASSERT_EQ(kConfigurationFine, ReadFrom("\xEF\xBB\xBF" + std::string(15, 'a') + " secret1 Clan\n", &c));
  EXPECT_EQ(std::string(15, 'a'), c.accountName);
  // Only the whole mark at the very start is skipped.
  ASSERT_EQ(kConfigurationFine, ReadFrom("\xEF\xBBx p c", &c));
  EXPECT_STREQ("\xEF\xBBx", c.accountName);
  ASSERT_EQ(kConfigurationFine, ReadFrom("a \xEF\xBB\xBFp c", &c));
  EXPECT_STREQ("\xEF\xBB\xBFp", c.password);
}

TEST(Configuration, ProblemsAreNamed) {
  ScratchDirectory scratch;
  Configuration c;
  ConfigurationProblem problem;
  EXPECT_EQ(0, ReadConfiguration("configuration.txt", &c, &problem));
  EXPECT_EQ(kConfigurationMissing, problem);
  EXPECT_EQ(kConfigurationTooFewWords, ReadFrom("", &c));
  EXPECT_EQ(kConfigurationTooFewWords, ReadFrom("statbot secret1\n", &c));
  EXPECT_EQ(kConfigurationTooFewWords, ReadFrom(" \r\n\t ", &c));
  EXPECT_EQ(kAccountNameTooLong, ReadFrom(std::string(16, 'a') + " p c", &c));
  EXPECT_EQ(kPasswordTooLong, ReadFrom("a " + std::string(16, 'p') + " c", &c));
  EXPECT_EQ(kHomeChannelTooLong, ReadFrom("a p " + std::string(5000, 'c'), &c));
  EXPECT_EQ(kHomeChannelEmpty, ReadFrom(std::string("a p \0\n", 6), &c)) << "found in every channel's name";
  EXPECT_EQ(kHomeChannelEmpty, ReadFrom(std::string("a p \0Clan\n", 10), &c));
  ASSERT_EQ(kConfigurationFine, ReadFrom(std::string("a p C\0lan\n", 10), &c));
  EXPECT_STREQ("C", c.homeChannel);
  // Binary on every system: 0x1A does not end the file on Windows.
  ASSERT_EQ(kConfigurationFine, ReadFrom("a\x1A"
                                         "b p\r\nClan\r\n",
                                         &c));
  EXPECT_STREQ(
      "a\x1A"
      "b",
      c.accountName);
  EXPECT_STREQ("Clan", c.homeChannel);
  // A folder reads as a missing file on every system.
  std::filesystem::remove("configuration.txt");
  ASSERT_TRUE(std::filesystem::create_directory("configuration.txt"));
  EXPECT_EQ(0, ReadConfiguration("configuration.txt", &c, &problem));
  EXPECT_EQ(kConfigurationMissing, problem);
}

TEST(Configuration, ReportNamesTheProblemOnStandardError) {
  testing::internal::CaptureStderr();
  ReportConfigurationProblem(kConfigurationMissing);
  EXPECT_EQ("Error Reading Configuration File\n", testing::internal::GetCapturedStderr());
  testing::internal::CaptureStderr();
  ReportConfigurationProblem(kHomeChannelTooLong);
  EXPECT_EQ("Error Reading Configuration File\nThe home channel is longer than 35 characters.\n",
            testing::internal::GetCapturedStderr());
  testing::internal::CaptureStderr();
  ReportConfigurationProblem(kHomeChannelEmpty);
  EXPECT_EQ("Error Reading Configuration File\nThe home channel is empty: it begins with a NUL byte.\n",
            testing::internal::GetCapturedStderr());
}

}  // namespace
}  // namespace corvane
