// The fuzz targets' view of dispatched events: the tests' recording
// connection (tests/test_support.h), which records every handler call in
// order, and the event table.
#ifndef CORVANE_FUZZ_EVENT_RECORDER_H_
#define CORVANE_FUZZ_EVENT_RECORDER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "core/event_line.h"
#include "core/event_table.h"
#include "fuzz/fuzz_checks.h"
#include "tests/test_support.h"

namespace corvane {
namespace fuzzing {

using testing_support::Event;
using testing_support::RecordingConnection;

// True for the ids that have a handler slot; every other id is only logged.
inline bool IsRoutedId(int id) { return FindEventRoute(id) != nullptr; }

// The event a routed `id` with these fields makes the recording connection
// record.
inline Event RoutedEvent(int id, const std::string& name, std::uint32_t flags, const std::string& text) {
  return Event{FindEventRoute(id)->slotName, name, flags, text};
}

// Handlers get NUL-terminated texts that fit the parser's buffers.
inline void CheckFieldsFit(const std::vector<Event>& events) {
  for (const Event& event : events) {
    Check(event.name.size() < static_cast<std::size_t>(kEventNameSize), "name overruns its buffer");
    Check(event.text.size() < static_cast<std::size_t>(kEventTextSize), "text overruns its buffer");
  }
}

}  // namespace fuzzing
}  // namespace corvane

#endif  // CORVANE_FUZZ_EVENT_RECORDER_H_
