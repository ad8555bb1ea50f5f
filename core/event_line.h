// The chat server's event lines: an event id in decimal, a keyword and,
// depending on the event, a user name, a hexadecimal flags word and a text
// in double quotes.
#ifndef CORVANE_CORE_EVENT_LINE_H_
#define CORVANE_CORE_EVENT_LINE_H_

#include <cstdint>

namespace corvane {

// Sizes of the buffers ParseEventLine fills.
const int kEventNameSize = 128;
const int kEventTextSize = 256;

// Splits `line` into the event's id, user name (third word, at most 127
// characters, the rest of a longer word is skipped), flags (fourth word, in
// hexadecimal) and text (after the line's first double quote, at most 255
// characters, cut at the last double quote among them). The text-only events
// of kEventRoutes (event_table.h) get no name and no flags.
// `name` must hold kEventNameSize bytes and `text` kEventTextSize. Numbers
// out of range saturate. Fields missing from the line stay empty or 0.
// Writes nothing when any argument is null. Returns 1.
int ParseEventLine(const char* line, int* id, char* name, std::uint32_t* flags,
                   char* text);

}  // namespace corvane

#endif  // CORVANE_CORE_EVENT_LINE_H_
