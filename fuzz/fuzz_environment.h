// A fake of the system for the fuzz targets: the peer's bytes come from a
// list of chunks, sends are collected, sleeps are counted and never waited
// for, and nothing touches a real socket.
#ifndef CORVANE_FUZZ_FUZZ_ENVIRONMENT_H_
#define CORVANE_FUZZ_FUZZ_ENVIRONMENT_H_

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/environment.h"

namespace corvane {
namespace fuzzing {

class FuzzEnvironment : public Environment {
 public:
  // What the peer sends: `bytes`, cut into receives of the lengths in
  // `plan`; a length of 0 stands for a readiness wait that times out.
  std::string bytes;
  std::vector<std::uint32_t> plan;
  std::string sent;
  std::vector<unsigned> sleeps;
  int waits = 0;

  // Forgets everything for the next run.
  void Reset() {
    bytes.clear();
    plan.clear();
    step_ = 0;
    at_ = 0;
    usedOfStep_ = 0;
    sent.clear();
    sleeps.clear();
    waits = 0;
  }

  int StartSocketLibrary(unsigned short, unsigned short* reported) override {
    *reported = 0x0101;
    return 1;
  }
  void StopSocketLibrary() override {}
  std::uint32_t ParseDottedAddress(const char*) override { return 0x0100007Fu; }
  int ResolveHostName(const char*, std::uint32_t* address) override {
    *address = 0x0100007Fu;
    return 1;
  }
  SocketHandle OpenTcpSocket() override { return 7; }
  int ConnectSocket(SocketHandle, std::uint32_t, std::uint16_t) override { return 1; }

  int WaitReadable(SocketHandle, int) override {
    ++waits;
    if (step_ < plan.size() && plan[step_] == 0) {
      ++step_;
      return 0;
    }
    return 1;
  }

  long Receive(SocketHandle, char* buffer, std::size_t size) override {
    if (step_ >= plan.size() || at_ >= bytes.size() || size == 0) return 0;
    std::size_t count = std::min<std::size_t>(size, plan[step_] - usedOfStep_);
    count = std::min(count, bytes.size() - at_);
    std::memcpy(buffer, bytes.data() + at_, count);
    at_ += count;
    usedOfStep_ += count;
    if (usedOfStep_ == plan[step_]) {
      ++step_;
      usedOfStep_ = 0;
    }
    return static_cast<long>(count);
  }

  long SendSome(SocketHandle, const char* data, std::size_t size) override {
    sent.append(data, size);
    return static_cast<long>(size);
  }
  void CloseSocket(SocketHandle) override {}
  void Sleep(unsigned milliseconds) override { sleeps.push_back(milliseconds); }
  unsigned long GetLastError() override { return 104; }
  std::int64_t UtcTime() override { return 1796797805; }  // 2026-12-09T06:30:05Z
  int ReplaceFile(const char* from, const char* to) override { return std::rename(from, to) == 0 ? 1 : 0; }

 private:
  std::size_t step_ = 0;        // the plan entry the next receive follows
  std::size_t at_ = 0;          // bytes handed out so far
  std::size_t usedOfStep_ = 0;  // of them, in the current entry
};

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

#endif  // CORVANE_FUZZ_FUZZ_ENVIRONMENT_H_
