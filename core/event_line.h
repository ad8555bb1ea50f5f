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

// Event ids the chat server sends.
enum EventId {
  kEventShowUser = 1001,
  kEventJoin = 1002,
  kEventLeave = 1003,
  kEventWhisper = 1004,
  kEventTalk = 1005,
  kEventBroadcast = 1006,
  kEventChannel = 1007,
  kEventUserFlags = 1009,
  kEventWhisperSent = 1010,
  kEventChannelFull = 1013,
  kEventChannelDoesNotExist = 1014,
  kEventChannelRestricted = 1015,
  kEventInfo = 1018,
  kEventError = 1019,
  kEventEmote = 1023,
  kEventName = 2010,
};

// Splits `line` into the event's id, user name (third word, at most 127
// characters, the rest of a longer word is skipped), flags (fourth word, in
// hexadecimal) and text (after the line's first double quote, at most 255
// characters, cut at the last double quote among them). The six text-only
// events (1007, 1013, 1014, 1015, 1018, 1019) get no name and no flags.
// `name` must hold kEventNameSize bytes and `text` kEventTextSize. Numbers
// out of range saturate. Fields missing from the line stay empty or 0.
// Writes nothing when any argument is null. Returns 1.
int ParseEventLine(const char* line, int* id, char* name, std::uint32_t* flags,
                   char* text);

}  // namespace corvane

#endif  // CORVANE_CORE_EVENT_LINE_H_
