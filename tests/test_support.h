// Fakes and helpers shared by the unit tests.
#ifndef CORVANE_TESTS_TEST_SUPPORT_H_
#define CORVANE_TESTS_TEST_SUPPORT_H_

#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "core/chat_connection.h"
#include "platform/environment.h"

namespace corvane {
namespace testing_support {

// The real system's sockets, but sleeps are recorded instead of waited for,
// calls are counted, and sends can be cut into small pieces.
class RecordingEnvironment : public Environment {
 public:
  std::vector<unsigned> sleeps;
  int dottedAddressCalls = 0;
  int hostNameCalls = 0;
  int socketsOpened = 0;
  std::vector<SocketHandle> socketsClosed;
  std::size_t largestSend = static_cast<std::size_t>(-1);  // cap per send call
  std::int64_t utcTime = 1796797805;                       // 2026-12-09T06:30:05Z

  int StartSocketLibrary(unsigned short requested, unsigned short* reported) override;
  void StopSocketLibrary() override;
  std::uint32_t ParseDottedAddress(const char* text) override;
  int ResolveHostName(const char* name, std::uint32_t* address) override;
  SocketHandle OpenTcpSocket() override;
  int ConnectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) override;
  int WaitReadable(SocketHandle socket, int timeoutSeconds) override;
  long Receive(SocketHandle socket, char* buffer, std::size_t size) override;
  long SendSome(SocketHandle socket, const char* data, std::size_t size) override;
  void CloseSocket(SocketHandle socket) override;
  void Sleep(unsigned milliseconds) override;
  unsigned long GetLastError() override;
  std::int64_t UtcTime() override { return utcTime; }
};

// A connection whose peer is a script: each receive hands out the next
// chunk, a waiting step makes the readiness wait time out once, and the end
// of the script reads as the server closing the connection. Sent bytes are
// collected.
class ScriptedEnvironment : public RecordingEnvironment {
 public:
  static const char* const kTimeout;  // a chunk that stands for a 1-s timeout

  std::deque<std::string> script;
  std::string sent;
  int connectFailures = 0;  // connect attempts that fail before one succeeds
  int waits = 0;
  std::vector<std::size_t> receiveSizes;  // room offered to each receive
  long failSendAfter = -1;                // bytes accepted before sends fail; -1 never
  long lastError = 104;                   // what GetLastError reports; -1 the real system's

  SocketHandle OpenTcpSocket() override { return 100 + ++socketsOpened; }
  int ConnectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) override;
  void CloseSocket(SocketHandle socket) override { socketsClosed.push_back(socket); }
  int WaitReadable(SocketHandle socket, int timeoutSeconds) override;
  long Receive(SocketHandle socket, char* buffer, std::size_t size) override;
  long SendSome(SocketHandle socket, const char* data, std::size_t size) override;
  unsigned long GetLastError() override {
    return lastError >= 0 ? static_cast<unsigned long>(lastError) : RecordingEnvironment::GetLastError();
  }
};

// One event as a handler slot received it.
struct Event {
  std::string slot;
  std::string name;
  std::uint32_t flags;
  std::string text;
  bool operator==(const Event& other) const {
    return std::tie(slot, name, flags, text) == std::tie(other.slot, other.name, other.flags, other.text);
  }
  friend void PrintTo(const Event& e, std::ostream* out) {
    *out << e.slot << "(\"" << e.name << "\", 0x" << std::hex << e.flags << std::dec << ", \"" << e.text
         << "\")";
  }
};

// A connection that records every handler call, in order.
class RecordingConnection : public ChatConnection {
 public:
  explicit RecordingConnection(Environment& environment) : ChatConnection(environment) {}
  std::vector<Event> events;
  int idles = 0;

  void OnIdle() override;
  int OnShowUser(const char* n, std::uint32_t f, const char* t) override {
    return Record("OnShowUser", n, f, t);
  }
  int OnJoin(const char* n, std::uint32_t f, const char* t) override { return Record("OnJoin", n, f, t); }
  int OnUserFlags(const char* n, std::uint32_t f, const char* t) override {
    return Record("OnUserFlags", n, f, t);
  }
  int OnLeave(const char* n, std::uint32_t f, const char* t) override { return Record("OnLeave", n, f, t); }
  int OnTalk(const char* n, std::uint32_t f, const char* t) override { return Record("OnTalk", n, f, t); }
  int OnBroadcast(const char* n, std::uint32_t f, const char* t) override {
    return Record("OnBroadcast", n, f, t);
  }
  int OnChannel(const char* n, std::uint32_t f, const char* t) override;
  int OnWhisper(const char* n, std::uint32_t f, const char* t) override {
    return Record("OnWhisper", n, f, t);
  }
  int OnWhisperSent(const char* n, std::uint32_t f, const char* t) override {
    return Record("OnWhisperSent", n, f, t);
  }
  int OnEmote(const char* n, std::uint32_t f, const char* t) override { return Record("OnEmote", n, f, t); }
  int OnChannelFull(const char* n, std::uint32_t f, const char* t) override {
    return Record("OnChannelFull", n, f, t);
  }
  int OnChannelDoesNotExist(const char* n, std::uint32_t f, const char* t) override {
    return Record("OnChannelDoesNotExist", n, f, t);
  }
  int OnChannelRestricted(const char* n, std::uint32_t f, const char* t) override {
    return Record("OnChannelRestricted", n, f, t);
  }
  int OnInfo(const char* n, std::uint32_t f, const char* t) override { return Record("OnInfo", n, f, t); }
  int OnError(const char* n, std::uint32_t f, const char* t) override { return Record("OnError", n, f, t); }
  int OnName(const char* n, std::uint32_t f, const char* t) override;

 private:
  int Record(const char* slot, const char* name, std::uint32_t flags, const char* text);
};

// Makes a fresh empty directory the working directory for the life of the
// object and goes back (removing the directory) afterwards.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
};

void WriteFile(const std::string& path, const std::string& contents);
// The whole file, or "<missing>" when it cannot be opened.
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// `text` with every "error code <number>" as "error code N": the codes are
// the system's own (errno on POSIX, Windows error codes under wine).
std::string WithoutErrorCodes(const std::string& text);
// How many times `part` occurs in `text`, without overlaps.
int CountOf(const std::string& text, const std::string& part);

}  // namespace testing_support
}  // namespace corvane

#endif  // CORVANE_TESTS_TEST_SUPPORT_H_
