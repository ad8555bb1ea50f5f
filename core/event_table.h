// The events the client handles: for each id the chat server sends, the
// handler slot it reaches and the fields its line carries. The parser, the
// dispatch and the test and fuzz helpers all read this one table; every id
// it does not name is unhandled.
#ifndef CORVANE_CORE_EVENT_TABLE_H_
#define CORVANE_CORE_EVENT_TABLE_H_

#include <cstddef>

#include "core/chat_connection.h"

namespace corvane {

// The id leads each row of the table for the reader; the padding that costs
// is a few bytes in each of 16 entries.
struct EventRoute {  // NOLINT(clang-analyzer-optin.performance.Padding)
  int id;
  EventHandler handler;  // the ChatConnection slot the event reaches
  const char* slotName;  // that slot's name, e.g. "OnInfo"
  bool textOnly;  // the line carries only the quoted text: no name, no flags
};

// The handled events, in the order of their ids.
const std::size_t kEventRouteCount = 16;
extern const EventRoute kEventRoutes[kEventRouteCount];

// Returns the route of `id`, or null when the id is unhandled.
const EventRoute* FindEventRoute(int id);

}  // namespace corvane

#endif  // CORVANE_CORE_EVENT_TABLE_H_
