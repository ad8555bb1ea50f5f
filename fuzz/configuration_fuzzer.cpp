// Fuzz target: ReadConfiguration over arbitrary file contents, checked
// against a model that splits the file into white-space separated words
// with the standard library.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/configuration.h"
#include "fuzz/fuzz_checks.h"

namespace {

// The file as the reader sees it: without a UTF-8 byte-order mark at its start.
std::string WithoutByteOrderMark(const std::string& contents) {
  return contents.compare(0, 3, "\xEF\xBB\xBF") == 0 ? contents.substr(3) : contents;
}

// The first three words and what ReadConfiguration must say about them.
corvane::ConfigurationProblem ModelProblem(const std::string& contents, std::vector<std::string>* words) {
  using namespace corvane;
  const char* kSpace = " \t\n\v\f\r";
  const int limits[] = {kAccountNameLimit, kPasswordLimit, kHomeChannelLimit};
  const ConfigurationProblem tooLong[] = {kAccountNameTooLong, kPasswordTooLong, kHomeChannelTooLong};
  std::size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    std::size_t start = contents.find_first_not_of(kSpace, at);
    if (start == std::string::npos) return kConfigurationTooFewWords;
    std::size_t end = contents.find_first_of(kSpace, start);
    if (end == std::string::npos) end = contents.size();
    std::string word = contents.substr(start, end - start);
    if (word.size() > static_cast<std::size_t>(limits[i])) return tooLong[i];
    words->push_back(word);
    at = end;
  }
  // A home channel that begins with a NUL byte is empty.
  if ((*words)[2][0] == '\0') return kHomeChannelEmpty;
  return kConfigurationFine;
}

// A word as a C string sees it: up to its first NUL byte.
std::string AsText(const std::string& word) { return word.substr(0, word.find('\0')); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvane;
  using namespace corvane::fuzzing;
  if (size > 65536) return 0;
  static const std::string path = ScratchFolder() + "/configuration.txt";
  WriteWholeFile(path, data, size);

  Configuration configuration;
  std::memset(&configuration, 'X', sizeof(configuration));
  ConfigurationProblem problem = kConfigurationMissing;
  int result = ReadConfiguration(path.c_str(), &configuration, &problem);

  std::vector<std::string> words;
  ConfigurationProblem expected =
      ModelProblem(WithoutByteOrderMark(std::string(reinterpret_cast<const char*>(data), size)), &words);
  Check(problem == expected, "problem differs from the model");
  Check(result == (expected == kConfigurationFine ? 1 : 0), "result does not match the problem");
  if (result == 1) {
    Check(std::memchr(configuration.accountName, '\0', sizeof(configuration.accountName)) != nullptr,
          "account name not terminated");
    Check(std::memchr(configuration.password, '\0', sizeof(configuration.password)) != nullptr,
          "password not terminated");
    Check(std::memchr(configuration.homeChannel, '\0', sizeof(configuration.homeChannel)) != nullptr,
          "home channel not terminated");
    Check(AsText(words[0]) == configuration.accountName, "account name differs");
    Check(AsText(words[1]) == configuration.password, "password differs");
    Check(AsText(words[2]) == configuration.homeChannel, "home channel differs");
  }
  return 0;
}
