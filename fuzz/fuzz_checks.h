// The fuzz targets' checks and scratch files, and the fake system they share
// with the unit tests.
#ifndef CORVANE_FUZZ_FUZZ_CHECKS_H_
#define CORVANE_FUZZ_FUZZ_CHECKS_H_

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/fake_environment.h"

namespace corvane {
namespace fuzzing {

using testing_support::FakeEnvironment;

// Ends the run with a message: libFuzzer records the input as a crash.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

inline void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// A private folder on a memory file system for the targets that read files.
inline std::string ScratchFolder() {
  static std::string folder;
  if (folder.empty()) {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/corvane-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) Fail("cannot make a scratch folder");
    folder = name.data();
  }
  return folder;
}

inline void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) Fail("cannot write the input file");
  if (size > 0 && std::fwrite(data, 1, size, file) != size) Fail("short write");
  std::fclose(file);
}

}  // namespace fuzzing
}  // namespace corvane

#endif  // CORVANE_FUZZ_FUZZ_CHECKS_H_
