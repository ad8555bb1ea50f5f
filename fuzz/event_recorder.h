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
#include "core/event_table.h"
#include "fuzz/fuzz_environment.h"

namespace corvane {
namespace fuzzing {

// True for the ids that have a handler slot; every other id is only logged.
inline bool IsRoutedId(int id) { return FindEventRoute(id) != nullptr; }

// The id whose events reach the slot named `slotName`.
inline int IdOfSlot(const char* slotName) {
  for (std::size_t i = 0; i < kEventRouteCount; ++i) {
    if (std::strcmp(kEventRoutes[i].slotName, slotName) == 0) return kEventRoutes[i].id;
  }
  Fail("a slot the event table does not name");
}

struct RecordedEvent {
  int id;
  std::string name;
  std::uint32_t flags;
  std::string text;
  bool operator==(const RecordedEvent& other) const {
    return std::tie(id, name, flags, text) == std::tie(other.id, other.name, other.flags, other.text);
  }
};

class EventRecorder : public ChatConnection {
 public:
  explicit EventRecorder(Environment& environment) : ChatConnection(environment) {}
  std::vector<RecordedEvent> events;
  int idles = 0;

  void OnIdle() override { ++idles; }
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
  int OnChannel(const char* n, std::uint32_t f, const char* t) override {
    ChatConnection::OnChannel(n, f, t);
    return Record("OnChannel", n, f, t);
  }
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
  int OnName(const char* n, std::uint32_t f, const char* t) override {
    ChatConnection::OnName(n, f, t);
    return Record("OnName", n, f, t);
  }

 private:
  int Record(const char* slot, const char* name, std::uint32_t flags, const char* text) {
    // Handlers get NUL-terminated texts that fit the parser's buffers.
    Check(std::strlen(name) < static_cast<std::size_t>(kEventNameSize), "name overruns its buffer");
    Check(std::strlen(text) < static_cast<std::size_t>(kEventTextSize), "text overruns its buffer");
    events.push_back(RecordedEvent{IdOfSlot(slot), name, flags, text});
    return 1;
  }
};

}  // namespace fuzzing
}  // namespace corvane

#endif  // CORVANE_FUZZ_EVENT_RECORDER_H_
