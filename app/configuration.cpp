#include "app/configuration.h"

#include <cstdio>
#include <cstdlib>

#include "app/text_file.h"

namespace corvane {
namespace {

bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// Reads the next white-space separated word into `word` (room for `limit`
// characters and a NUL). Returns its length, limit + 1 for any longer word,
// -1 at the end of the file.
int ReadWord(std::FILE* file, char* word, int limit) {
  int c = std::getc(file);
  while (c != EOF && IsSpace(c)) c = std::getc(file);
  if (c == EOF) return -1;
  int length = 0;
  for (; c != EOF && !IsSpace(c); c = std::getc(file)) {
    if (length < limit) word[length] = static_cast<char>(c);
    // The count stops one past the limit: a word of 2 GB or more in a
    // damaged file would otherwise overflow it.
    if (length <= limit) ++length;
  }
  word[length < limit ? length : limit] = '\0';
  return length;
}

int ReadWords(std::FILE* file, Configuration* configuration,
              ConfigurationProblem* problem) {
  struct Field {
    char* word;
    int limit;
    ConfigurationProblem tooLong;
  };
  const Field fields[] = {
      {configuration->accountName, kAccountNameLimit, kAccountNameTooLong},
      {configuration->password, kPasswordLimit, kPasswordTooLong},
      {configuration->homeChannel, kHomeChannelLimit, kHomeChannelTooLong},
  };
  for (const Field& field : fields) {
    int length = ReadWord(file, field.word, field.limit);
    if (length < 0) {
      *problem = kConfigurationTooFewWords;
      return 0;
    }
    if (length > field.limit) {
      *problem = field.tooLong;
      return 0;
    }
  }
  // A NUL byte leaves the word empty, and an empty home channel is found in
  // every channel's name: the bot would walk wherever it is put.
  if (configuration->homeChannel[0] == '\0') {
    *problem = kHomeChannelEmpty;
    return 0;
  }
  *problem = kConfigurationFine;
  return 1;
}

}  // namespace

int ReadConfiguration(const char* fileName, Configuration* configuration,
                      ConfigurationProblem* problem) {
  std::FILE* file = OpenTextFile(fileName);
  if (file == nullptr) {
    *problem = kConfigurationMissing;
    return 0;
  }
  int result = ReadWords(file, configuration, problem);
  std::fclose(file);
  return result;
}

void ReportConfigurationProblem(ConfigurationProblem problem) {
  std::fputs("Error Reading Configuration File\n", stderr);
  const char* reason = nullptr;
  switch (problem) {
    case kConfigurationTooFewWords:
      reason =
          "It needs three words: account name, password and home channel.\n";
      break;
    case kAccountNameTooLong:
      reason = "The account name is longer than 15 characters.\n";
      break;
    case kPasswordTooLong:
      reason = "The password is longer than 15 characters.\n";
      break;
    case kHomeChannelTooLong:
      reason = "The home channel is longer than 35 characters.\n";
      break;
    case kHomeChannelEmpty:
      reason = "The home channel is empty: it begins with a NUL byte.\n";
      break;
    case kConfigurationFine:
    case kConfigurationMissing:
      break;
  }
  if (reason != nullptr) std::fputs(reason, stderr);
}

void ReadConfigurationOrExit(Configuration* configuration) {
  ConfigurationProblem problem;
  if (ReadConfiguration(kConfigurationFile, configuration, &problem)) return;
  ReportConfigurationProblem(problem);
  std::exit(1);
}

}  // namespace corvane
