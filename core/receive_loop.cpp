// Reading the server's lines and handing each event to its handler slot.
#include <cstring>

#include "core/chat_connection.h"
#include "core/event_line.h"
#include "core/event_table.h"
#include "core/line_framer.h"

namespace corvane {
namespace {

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
  LineFramer framer;
  bool stopping = false;
  std::int64_t stoppingSince = 0;
  for (;;) {
    if (!stopping && environment_.StopRequested() != 0) {
      stopping = true;
      stoppingSince = environment_.ProgramTimeMs();
      OnStopRequested();
    }
    if (stopping && StopWaitOver(stoppingSince)) return 0;
    // A failed wait counts as readiness: the receive then tells what is wrong.
    int ready = environment_.WaitReadable(socket_, kReceiveWaitSeconds);
    lastWaitTimedOut_ = ready == 0;
    if (ready != 0) {
      if (!ReceiveInto(framer) || !DispatchLines(framer)) return 0;
    }
    OnIdle();
  }
}

bool ChatConnection::StopWaitOver(std::int64_t since) {
  if (!AwaitsAnswers() || environment_.StopRequested() >= 2) return true;
  return environment_.ProgramTimeMs() - since >=
         static_cast<std::int64_t>(kStopAnswerWaitMs);
}

int ChatConnection::ReceiveInto(LineFramer& framer) {
  std::size_t room = 0;
  char* place = framer.Room(&room);
  // A full buffer without a line end leaves no room: the receive of 0 bytes
  // returns 0 and the connection is given up as if it had closed.
  long received = environment_.Receive(socket_, place, room);
  if (received <= 0) {
    WriteLog("recv() returned %d, error code %u", static_cast<int>(received),
             static_cast<unsigned>(environment_.GetLastError()));
    return 0;
  }
  framer.Append(static_cast<std::size_t>(received));
  return 1;
}

int ChatConnection::DispatchLines(LineFramer& framer) {
  for (const char* line = framer.NextLine(); line != nullptr;
       line = framer.NextLine()) {
    if (!HandleLine(line)) return 0;
  }
  return 1;
}

int ChatConnection::HandleLine(const char* line) {
  if (*line >= '0' && *line <= '9') {
    DispatchEventLine(line);
  } else if (IsLogonRefusal(line)) {
    // Without this the bot would wait here for ever: its join line has
    // become the answer to the server's next account prompt.
    logonState_ = kLogonRefused;
    WriteLog("Logon refused: %s, port %u answered \"Login failed.\" for %s",
             serverHost_, static_cast<unsigned>(port_), userName_);
    return 0;
  }
  return 1;
}

}  // namespace corvane
