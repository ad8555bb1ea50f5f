#include "core/chat_connection.h"

#include <cstdarg>
#include <cstring>

#include "core/bounded_text.h"
#include "core/utc_time.h"

namespace corvane {
namespace {

bool IsNumericHost(const char* host) {
  for (; *host != '\0'; ++host) {
    if (!((*host >= '0' && *host <= '9') || *host == '.')) return false;
  }
  return true;
}

}  // namespace

ChatConnection::ChatConnection(Environment& environment) noexcept
    : environment_(environment),
      log_(nullptr),
      socket_(kInvalidSocket),
      port_(kChatServerPort),
      logonState_(kLogonPending),
      lastWaitTimedOut_(false) {
  userName_[0] = '\0';
  loggedOnName_[0] = '\0';
  password_[0] = '\0';
  serverHost_[0] = '\0';
  homeChannel_[0] = '\0';
  currentChannel_[0] = '\0';
}

ChatConnection::~ChatConnection() { CloseLog(); }

void ChatConnection::Configure(const char* user, const char* password,
                               const char* server, std::uint16_t port) {
  CopyText(userName_, user);
  CopyText(loggedOnName_, user);
  CopyText(password_, password);
  CopyText(serverHost_, server);
  port_ = port;
}

void ChatConnection::SetHomeChannel(const char* channel) {
  CopyText(homeChannel_, channel);
}

int ChatConnection::Connect() {
  std::uint32_t address;
  if (IsNumericHost(serverHost_)) {
    address = environment_.ParseDottedAddress(serverHost_);
  } else if (!environment_.ResolveHostName(serverHost_, &address)) {
    LogFailure("Cannot resolve the chat server's name");
    return 0;
  }
  socket_ = environment_.OpenTcpSocket();
  if (socket_ == kInvalidSocket) {
    LogFailure("Cannot create a socket for");
    return 0;
  }
  if (!environment_.ConnectSocket(socket_, address, port_, kConnectTimeoutMs)) {
    LogFailure("Cannot connect to");
    return 0;
  }
  return 1;
}

void ChatConnection::LogFailure(const char* what) {
  ReportFailureWithError(nullptr, "%s %s, port %u", what, serverHost_,
                         static_cast<unsigned>(port_));
}

int ChatConnection::Logon() {
  Send("%c%c%s\r\n%s\r\n", 3, 4, userName_, password_);
  return 1;
}

int ChatConnection::ConnectAndJoin() {
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    if (environment_.StopRequested() != 0) return 0;
    if (!Connect()) {
      // Over days of retries an unclosed socket per attempt would pile up.
      Disconnect();
      environment_.Sleep(kConnectRetryPauseMs);
      continue;
    }
    logonState_ = kLogonPending;
    Logon();
    environment_.Sleep(kLogonToJoinPauseMs);
    Send("/join %s\r\n", homeChannel_);
    return 1;
  }
  return 0;
}

// printf-style by design; the format attribute of the declaration checks
// every call.
// NOLINTNEXTLINE(cert-dcl50-cpp): see above
int ChatConnection::Send(const char* format, ...) {
  char line[kSendLineSize];
  std::va_list arguments;
  va_start(arguments, format);
  int length = FormatText(line, sizeof(line), format, arguments);
  va_end(arguments);
  // A cut line would run into the next command on the server's side.
  if (length < 0) return 0;
  // After a stop request only answers are read: nothing more is asked.
  if (environment_.StopRequested() != 0) return 0;
  int sent = 0;
  while (sent < length) {
    long result = environment_.SendSome(
        socket_, line + sent, static_cast<std::size_t>(length - sent));
    if (result <= 0) return 0;
    sent += static_cast<int>(result);
  }
  return 1;
}

void ChatConnection::Disconnect() {
  if (socket_ == kInvalidSocket) return;
  environment_.CloseSocket(socket_);
  socket_ = kInvalidSocket;
}

int ChatConnection::OpenLog(const char* fileName) {
  if (log_ != nullptr) return 0;
  log_ = std::fopen(fileName, "ab");
  return log_ != nullptr ? 1 : 0;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style by design, as Send
int ChatConnection::WriteLog(const char* format, ...) {
  if (log_ == nullptr) return 0;
  char line[kLogLineSize];
  std::va_list arguments;
  va_start(arguments, format);
  FormatText(line, sizeof(line), format, arguments);
  va_end(arguments);
  // Each line carries its time, so that it can be matched to the console's
  // or the service journal's events after weeks of runs.
  char stamp[kUtcTimeTextSize];
  FormatUtcTime(environment_.UtcTime(), stamp);
  // Each line is flushed at once: the bot is usually ended from outside,
  // and lines left in the stream's buffer would be lost.
  int written = std::fprintf(log_, "%s %s\r\n", stamp, line);
  return (written >= 0 && std::fflush(log_) == 0) ? 1 : 0;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style by design, as Send
int ChatConnection::ReportFailure(const char* format, ...) {
  char line[kLogLineSize];
  std::va_list arguments;
  va_start(arguments, format);
  FormatText(line, sizeof(line), format, arguments);
  va_end(arguments);
  // Standard error, not the console's standard output: run as a service, the
  // bot's journal then tells what corvane.log tells.
  std::fprintf(stderr, "%s\n", line);
  return WriteLog("%s", line);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style by design, as Send
int ChatConnection::WriteLogWithError(const char* consequence,
                                      const char* format, ...) {
  // Read first: the formatting and file calls below may change it.
  unsigned long code = environment_.GetLastError();
  std::va_list arguments;
  va_start(arguments, format);
  int result = LogWithErrorCode(false, code, consequence, format, arguments);
  va_end(arguments);
  return result;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style by design, as Send
int ChatConnection::ReportFailureWithError(const char* consequence,
                                           const char* format, ...) {
  // Read first, as in WriteLogWithError.
  unsigned long code = environment_.GetLastError();
  std::va_list arguments;
  va_start(arguments, format);
  int result = LogWithErrorCode(true, code, consequence, format, arguments);
  va_end(arguments);
  return result;
}

int ChatConnection::LogWithErrorCode(bool toStandardError, unsigned long code,
                                     const char* consequence,
                                     const char* format,
                                     std::va_list arguments) {
  char failure[kLogLineSize];
  FormatText(failure, sizeof(failure), format, arguments);
  const char* separator = consequence != nullptr ? "; " : "";
  if (consequence == nullptr) consequence = "";
  if (toStandardError) {
    return ReportFailure("%s: error code %lu%s%s", failure, code, separator,
                         consequence);
  }
  return WriteLog("%s: error code %lu%s%s", failure, code, separator,
                  consequence);
}

void ChatConnection::CloseLog() {
  if (log_ == nullptr) return;
  std::fclose(log_);
  log_ = nullptr;
}

void ChatConnection::OnIdle() {}

void ChatConnection::OnStopRequested() {}

bool ChatConnection::AwaitsAnswers() { return false; }

int ChatConnection::OnShowUser(const char*, std::uint32_t, const char*) {
  return 1;
}
int ChatConnection::OnJoin(const char*, std::uint32_t, const char*) {
  return 1;
}
int ChatConnection::OnUserFlags(const char*, std::uint32_t, const char*) {
  return 1;
}
int ChatConnection::OnLeave(const char*, std::uint32_t, const char*) {
  return 1;
}
int ChatConnection::OnTalk(const char*, std::uint32_t, const char*) {
  return 1;
}
int ChatConnection::OnBroadcast(const char*, std::uint32_t, const char*) {
  return 1;
}

int ChatConnection::OnChannel(const char*, std::uint32_t, const char* text) {
  CopyText(currentChannel_, text);
  return 1;
}

int ChatConnection::OnWhisper(const char*, std::uint32_t, const char*) {
  return 1;
}
int ChatConnection::OnWhisperSent(const char*, std::uint32_t, const char*) {
  return 1;
}
int ChatConnection::OnEmote(const char*, std::uint32_t, const char*) {
  return 1;
}
int ChatConnection::OnChannelFull(const char*, std::uint32_t, const char*) {
  return 1;
}
int ChatConnection::OnChannelDoesNotExist(const char*, std::uint32_t,
                                          const char*) {
  return 1;
}
int ChatConnection::OnChannelRestricted(const char*, std::uint32_t,
                                        const char*) {
  return 1;
}
int ChatConnection::OnInfo(const char*, std::uint32_t, const char*) {
  return 1;
}
int ChatConnection::OnError(const char*, std::uint32_t, const char*) {
  return 1;
}

int ChatConnection::OnName(const char* name, std::uint32_t, const char*) {
  CopyText(loggedOnName_, name);
  logonState_ = kLogonConfirmed;
  return 1;
}

}  // namespace corvane
