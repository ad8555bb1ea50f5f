// Fakes and helpers shared by the unit tests (the fake system itself is in
// fake_environment.h).
#ifndef CORVANE_TESTS_TEST_SUPPORT_H_
#define CORVANE_TESTS_TEST_SUPPORT_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "app/stat_check_bot.h"
#include "core/chat_connection.h"
#include "platform/environment.h"
#include "tests/fake_environment.h"

namespace corvane {
namespace testing_support {

// The real system's sockets, but sleeps are recorded instead of waited for,
// calls are counted, and sends can be cut into small pieces.
class RecordingEnvironment : public FakeEnvironment {
 public:
  RecordingEnvironment() {
    realSockets = true;
    lastError = -1;
  }
};

// A connection whose peer is a script (Script, kTimeout), the fake's own
// configuration.
typedef FakeEnvironment ScriptedEnvironment;

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
// `text`, the lines of corvane.log, with the UTC time and the space that
// begin each line taken away; a line without them gets "<no time> " instead,
// so that a comparison fails on it.
std::string WithoutLogTimes(const std::string& text);
// How many times `part` occurs in `text`, without overlaps.
int CountOf(const std::string& text, const std::string& part);
// A field of /proc/PID/status in kB, such as VmRSS or VmHWM ("self" for
// this process); -1 when it cannot be read.
long StatusFieldKb(const std::string& pid, const std::string& field);
// How many descriptors process `pid` has open (/proc/PID/fd); -1 when
// unknown.
int OpenDescriptors(const std::string& pid);
// "player status" of each row of the results file `path`, in order, as the
// results reader reads them; none when the file is missing.
std::vector<std::string> ResultRows(const std::string& path);
// The last line of corvane.log after a stop by `by` (its time taken away).
std::string StoppedLogLine(const std::string& by, int read, int unanswered);

// A BWCorvane bot on a scripted connection, in a scratch folder of its own:
// configuration.txt names statbot, secret1 and the home channel Clan,
// bwmembers.txt lists `members` (one name a line), and corvane.log is open.
struct ScriptedBot {
  explicit ScriptedBot(const std::string& members);
  // Connects, reads `chunks` (as ScriptedEnvironment::Script takes them)
  // until the script's end closes the connection, and disconnects.
  void Receive(const std::vector<std::string>& chunks);
  ScratchDirectory scratch;
  ScriptedEnvironment environment;
  StatCheckBot bot{kBroodWarVariant, environment};
};

}  // namespace testing_support
}  // namespace corvane

#endif  // CORVANE_TESTS_TEST_SUPPORT_H_
