// A connection that records every event its handler slots receive, for the
// fuzz targets of parsing, dispatch and framing.
#ifndef CORVANE_FUZZ_EVENT_RECORDER_H_
#define CORVANE_FUZZ_EVENT_RECORDER_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "core/chat_connection.h"
#include "core/event_line.h"
#include "fuzz/fuzz_environment.h"

namespace corvane {
namespace fuzzing {

// True for the ids that have a handler slot; every other id is only logged.
inline bool IsRoutedId(int id) {
  static const int kIds[] = {1001, 1002, 1003, 1004, 1005, 1006, 1007, 1009,
                             1010, 1013, 1014, 1015, 1018, 1019, 1023, 2010};
  for (int known : kIds) {
    if (known == id) return true;
  }
  return false;
}

struct RecordedEvent {
  int id;
  std::string name;
  std::uint32_t flags;
  std::string text;
  bool operator==(const RecordedEvent& other) const {
    return std::tie(id, name, flags, text) ==
           std::tie(other.id, other.name, other.flags, other.text);
  }
};

class EventRecorder : public ChatConnection {
 public:
  explicit EventRecorder(Environment& environment) : ChatConnection(environment) {}
  std::vector<RecordedEvent> events;
  int idles = 0;

  void OnIdle() override { ++idles; }
  int OnShowUser(const char* n, std::uint32_t f, const char* t) override { return Record(kEventShowUser, n, f, t); }
  int OnJoin(const char* n, std::uint32_t f, const char* t) override { return Record(kEventJoin, n, f, t); }
  int OnUserFlags(const char* n, std::uint32_t f, const char* t) override { return Record(kEventUserFlags, n, f, t); }
  int OnLeave(const char* n, std::uint32_t f, const char* t) override { return Record(kEventLeave, n, f, t); }
  int OnTalk(const char* n, std::uint32_t f, const char* t) override { return Record(kEventTalk, n, f, t); }
  int OnBroadcast(const char* n, std::uint32_t f, const char* t) override { return Record(kEventBroadcast, n, f, t); }
  int OnChannel(const char* n, std::uint32_t f, const char* t) override {
    ChatConnection::OnChannel(n, f, t);
    return Record(kEventChannel, n, f, t);
  }
  int OnWhisper(const char* n, std::uint32_t f, const char* t) override { return Record(kEventWhisper, n, f, t); }
  int OnWhisperSent(const char* n, std::uint32_t f, const char* t) override { return Record(kEventWhisperSent, n, f, t); }
  int OnEmote(const char* n, std::uint32_t f, const char* t) override { return Record(kEventEmote, n, f, t); }
  int OnChannelFull(const char* n, std::uint32_t f, const char* t) override { return Record(kEventChannelFull, n, f, t); }
  int OnChannelDoesNotExist(const char* n, std::uint32_t f, const char* t) override { return Record(kEventChannelDoesNotExist, n, f, t); }
  int OnChannelRestricted(const char* n, std::uint32_t f, const char* t) override { return Record(kEventChannelRestricted, n, f, t); }
  int OnInfo(const char* n, std::uint32_t f, const char* t) override { return Record(kEventInfo, n, f, t); }
  int OnError(const char* n, std::uint32_t f, const char* t) override { return Record(kEventError, n, f, t); }
  int OnName(const char* n, std::uint32_t f, const char* t) override {
    ChatConnection::OnName(n, f, t);
    return Record(kEventName, n, f, t);
  }

 private:
  int Record(int id, const char* name, std::uint32_t flags, const char* text) {
    // Handlers get NUL-terminated texts that fit the parser's buffers.
    Check(std::strlen(name) < static_cast<std::size_t>(kEventNameSize), "name overruns its buffer");
    Check(std::strlen(text) < static_cast<std::size_t>(kEventTextSize), "text overruns its buffer");
    events.push_back(RecordedEvent{id, name, flags, text});
    return 1;
  }
};

}  // namespace fuzzing
}  // namespace corvane

#endif  // CORVANE_FUZZ_EVENT_RECORDER_H_
