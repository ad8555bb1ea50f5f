// Reading the server's lines and handing each event to its handler slot.
#include <cstring>

#include "core/chat_connection.h"
#include "core/event_line.h"
#include "core/event_table.h"

namespace corvane {
namespace {

const int kReceiveBufferSize = 2048;
const int kWaitSeconds = 1;
// The server's answer to a logon it does not take: a plain line, not an
// event. A new "Username: " prompt without a line end follows it.
const char kLoginFailed[] = "Login failed.";

// True for that line, with or without the CR before its LF.
bool IsLogonRefusal(const char* line) {
  std::size_t length = sizeof(kLoginFailed) - 1;
  if (std::strncmp(line, kLoginFailed, length) != 0) return false;
  return line[length] == '\0' ||
         (line[length] == '\r' && line[length + 1] == '\0');
}

}  // namespace

int ChatConnection::DispatchEventLine(const char* line) {
  char name[kEventNameSize];
  char text[kEventTextSize];
  std::memset(name, 0, sizeof(name));
  std::memset(text, 0, sizeof(text));
  int id = 0;
  std::uint32_t flags = 0;
  ParseEventLine(line, &id, name, &flags, text);
  const EventRoute* route = FindEventRoute(id);
  if (route == nullptr) {
    WriteLog("Unhandled event ID %d", id);
    return 0;
  }
  (this->*route->handler)(name, flags, text);
  return 1;
}

int ChatConnection::ReceiveLoop() {
  if (socket_ == kInvalidSocket) return 0;
  char buffer[kReceiveBufferSize];
  int offset = 0;
  int pending = 0;
  for (;;) {
    // A failed wait counts as readiness: the receive then tells what is wrong.
    int ready = environment_.WaitReadable(socket_, kWaitSeconds);
    lastWaitTimedOut_ = ready == 0;
    if (ready != 0) {
      int room = kReceiveBufferSize - pending - offset;
      if (room == 0) {
        std::memmove(buffer, buffer + offset,
                     static_cast<std::size_t>(pending));
        offset = 0;
        room = kReceiveBufferSize - pending;
      }
      // A full buffer without a line end leaves no room: the receive of 0
      // bytes returns 0 and the connection is given up as if it had closed.
      long received = environment_.Receive(socket_, buffer + offset + pending,
                                           static_cast<std::size_t>(room));
      if (received <= 0) {
        WriteLog("recv() returned %d, error code %u",
                 static_cast<int>(received),
                 static_cast<unsigned>(environment_.GetLastError()));
        return 0;
      }
      pending += static_cast<int>(received);
      while (pending > 0) {
        char* start = buffer + offset;
        char* end = static_cast<char*>(
            std::memchr(start, '\n', static_cast<std::size_t>(pending)));
        if (end == nullptr) break;
        *end = '\0';
        if (*start >= '0' && *start <= '9') {
          DispatchEventLine(start);
        } else if (IsLogonRefusal(start)) {
          // Without this the bot would wait here for ever: its join line has
          // become the answer to the server's next account prompt.
          logonState_ = kLogonRefused;
          WriteLog(
              "Logon refused: %s, port %u answered \"Login failed.\" for %s",
              serverHost_, static_cast<unsigned>(port_), userName_);
          return 0;
        }
        int consumed = static_cast<int>(end - start) + 1;
        pending -= consumed;
        offset += consumed;
      }
      if (pending == 0) offset = 0;
    }
    OnIdle();
  }
}

}  // namespace corvane
