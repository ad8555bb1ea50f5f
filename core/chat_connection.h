// One client connection to the game network's chat server: the logon's
// texts, the TCP socket, one optional log file, and the seventeen handler
// slots through which the server's events reach the application.
#ifndef CORVANE_CORE_CHAT_CONNECTION_H_
#define CORVANE_CORE_CHAT_CONNECTION_H_

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "platform/environment.h"
#include "platform/settings.h"

#if defined(__GNUC__)
#define CORVANE_PRINTF_FORMAT(format_index, first_argument) \
  __attribute__((format(printf, format_index, first_argument)))
#else
#define CORVANE_PRINTF_FORMAT(format_index, first_argument)
#endif

namespace corvane {

// Every text field holds at most 127 characters and a NUL.
const int kTextFieldSize = 128;
// The chat server's TCP port.
const std::uint16_t kChatServerPort = 6112;

class LineFramer;

// What the server made of the logon of the current connection.
enum LogonState {
  kLogonPending,    // no answer yet
  kLogonConfirmed,  // the server named the bot (event 2010)
  kLogonRefused,    // the server answered "Login failed."
};

class ChatConnection {
 public:
  // Sets every field to its initial value: no log, an invalid socket, empty
  // texts, port 6112; system calls go to `environment`.
  explicit ChatConnection(
      Environment& environment = DefaultEnvironment()) noexcept;

  // Closes the log slot. The socket is left as it is.
  virtual ~ChatConnection();

  ChatConnection(const ChatConnection&) = delete;
  ChatConnection& operator=(const ChatConnection&) = delete;

  // Stores the account (also as the logged-on name until the server names
  // it), the password, the server's host name or dotted address and port.
  // Texts longer than 127 characters are cut.
  void Configure(const char* user, const char* password, const char* server,
                 std::uint16_t port);

  // Stores the channel joined after every logon.
  void SetHomeChannel(const char* channel);

  // Opens a TCP connection to the server. A host of digits and dots only is
  // used as a numeric address; any other is resolved by name. Returns 1 when
  // connected; 0 when the name is unknown (no socket is created) or the
  // socket cannot be created or connected within 10 s (that socket stays
  // recorded until Disconnect closes it). Each failure writes one line, with
  // the system's error code, to the log.
  int Connect();

  // Sends the logon line: 0x03, 0x04, account CR LF, password CR LF.
  // Always returns 1; the server's answer is not awaited.
  int Logon();

  // Connects with up to ten attempts, 2 s apart, closing the socket of each
  // failed attempt; then logs on (the logon state becomes pending), waits 5 s
  // and sends the join line for the home channel. Returns 1 once the join
  // line was sent (no answer is awaited), 0 after ten failed attempts. A stop
  // request ends the attempts (0) or, during the pause after the logon,
  // leaves the join unsent (1: the receive loop then ends at once).
  int ConnectAndJoin();

  // Formats a line printf-style and sends all of it. Returns 1 when the
  // socket took the whole line; 0 when sending failed, the formatted line
  // exceeds 255 characters or a stop was requested (nothing is sent then).
  int Send(const char* format, ...) CORVANE_PRINTF_FORMAT(2, 3);

  // Closes the socket if it is valid and marks it invalid.
  void Disconnect();

  // Opens `fileName` for appending, in binary mode, as the log slot.
  // Returns 0 and changes nothing when a log is already open; otherwise 1 if
  // the file could be opened, 0 if not.
  int OpenLog(const char* fileName);

  // Formats one line (at most 1023 characters, longer ones are cut) into the
  // open log, after its UTC time and a space ("2026-12-09T06:30:05Z "), ends
  // it with CR LF and flushes it. Returns 1 when written, 0 when no log is
  // open or the write failed.
  int WriteLog(const char* format, ...) CORVANE_PRINTF_FORMAT(2, 3);

  // Writes one line, formatted as WriteLog does, to standard error and to
  // the log: a failure to reach the server shows on the console (and in a
  // service's journal), not only in corvane.log. Returns WriteLog's result.
  int ReportFailure(const char* format, ...) CORVANE_PRINTF_FORMAT(2, 3);

  // Reads the system's error code of the call that just failed, before any
  // other call can change it; then writes, as WriteLog does, the line
  // formatted from `format`, ": error code <code>" and, unless `consequence`
  // is null, "; " and `consequence`. Returns WriteLog's result.
  int WriteLogWithError(const char* consequence, const char* format, ...)
      CORVANE_PRINTF_FORMAT(3, 4);

  // As WriteLogWithError, but the line goes to standard error too, as
  // ReportFailure sends it.
  int ReportFailureWithError(const char* consequence, const char* format, ...)
      CORVANE_PRINTF_FORMAT(3, 4);

  // Closes the log slot if it is open.
  void CloseLog();

  // Reads the connection until it fails or closes, cutting the bytes into
  // lines and dispatching those that begin with a digit; calls OnIdle after
  // every wait of up to 1 s. The server's plain line "Login failed." ends the
  // loop too: the logon state becomes refused and a line goes to the log.
  // Always returns 0; at once when not connected.
  // Once a stop is requested it calls OnStopRequested, then goes on reading
  // only while AwaitsAnswers says requests are unanswered, for at most 10 s
  // of program time, and not past a second stop request.
  int ReceiveLoop();

  // Parses one event line (without its LF) and calls the handler slot of
  // its id. Returns 1 when a handler was called, 0 for an unhandled id
  // (which is written to the log).
  int DispatchEventLine(const char* line);

  // Called once when the receive loop notices a stop request, before its
  // wait for the answers still to come.
  virtual void OnStopRequested();

  // True while requests sent on this connection still wait for (the rest
  // of) their answers; a stopping receive loop reads on until it is false.
  virtual bool AwaitsAnswers();

  // Handler slots. OnIdle runs between reads; the others receive a parsed
  // event (kEventRoutes in event_table.h gives the id of each) and return 1.
  virtual void OnIdle();
  virtual int OnShowUser(const char* name, std::uint32_t flags,
                         const char* text);
  virtual int OnJoin(const char* name, std::uint32_t flags, const char* text);
  virtual int OnUserFlags(const char* name, std::uint32_t flags,
                          const char* text);
  virtual int OnLeave(const char* name, std::uint32_t flags, const char* text);
  virtual int OnTalk(const char* name, std::uint32_t flags, const char* text);
  virtual int OnBroadcast(const char* name, std::uint32_t flags,
                          const char* text);
  // Records `text`, the channel's name, as the current channel (cut to 127
  // characters).
  virtual int OnChannel(const char* name, std::uint32_t flags,
                        const char* text);
  virtual int OnWhisper(const char* name, std::uint32_t flags,
                        const char* text);
  virtual int OnWhisperSent(const char* name, std::uint32_t flags,
                            const char* text);
  virtual int OnEmote(const char* name, std::uint32_t flags, const char* text);
  virtual int OnChannelFull(const char* name, std::uint32_t flags,
                            const char* text);
  virtual int OnChannelDoesNotExist(const char* name, std::uint32_t flags,
                                    const char* text);
  virtual int OnChannelRestricted(const char* name, std::uint32_t flags,
                                  const char* text);
  virtual int OnInfo(const char* name, std::uint32_t flags, const char* text);
  virtual int OnError(const char* name, std::uint32_t flags, const char* text);
  // Records `name` as the name the bot is logged on under; the logon is
  // confirmed.
  virtual int OnName(const char* name, std::uint32_t flags, const char* text);

  const char* userName() const { return userName_; }
  const char* loggedOnName() const { return loggedOnName_; }
  const char* password() const { return password_; }
  const char* serverHost() const { return serverHost_; }
  const char* homeChannel() const { return homeChannel_; }
  const char* currentChannel() const { return currentChannel_; }
  std::uint16_t port() const { return port_; }
  SocketHandle socket() const { return socket_; }
  bool logIsOpen() const { return log_ != nullptr; }
  LogonState logonState() const { return logonState_; }

 protected:
  Environment& environment() { return environment_; }

  // True when the receive loop's last wait ended without anything to read:
  // a whole second passed without a line.
  bool lastWaitTimedOut() const { return lastWaitTimedOut_; }

 private:
  // Writes "`what` <host>, port <port>: error code <code>" to standard
  // error and the log, with the error code of the system call that just
  // failed.
  void LogFailure(const char* what);

  // The body of WriteLogWithError and ReportFailureWithError, with the
  // error code already read.
  int LogWithErrorCode(bool toStandardError, unsigned long code,
                       const char* consequence, const char* format,
                       std::va_list arguments);

  // The steps of ReceiveLoop. ReceiveInto receives what the socket holds
  // into `framer`; DispatchLines hands each complete line on; both return 0
  // when the loop must end (the connection failed or closed; the logon was
  // refused), 1 otherwise.
  int ReceiveInto(LineFramer& framer);
  int DispatchLines(LineFramer& framer);
  // Dispatches one line that begins with a digit, drops other lines, and
  // returns 0 for the server's refusal of the logon.
  int HandleLine(const char* line);
  // True when a stopping receive loop, stopping since `since` (program
  // time), should end: nothing is awaited, a second request came or the
  // wait's bound has passed.
  bool StopWaitOver(std::int64_t since);

  Environment& environment_;
  std::FILE* log_;
  SocketHandle socket_;
  char userName_[kTextFieldSize];
  char loggedOnName_[kTextFieldSize];
  char password_[kTextFieldSize];
  char serverHost_[kTextFieldSize];
  char homeChannel_[kTextFieldSize];
  char currentChannel_[kTextFieldSize];
  std::uint16_t port_;
  LogonState logonState_;
  bool lastWaitTimedOut_;
};

// The signature of handler slots 1 to 16, as a member of ChatConnection.
typedef int (ChatConnection::*EventHandler)(const char* name,
                                            std::uint32_t flags,
                                            const char* text);

}  // namespace corvane

#endif  // CORVANE_CORE_CHAT_CONNECTION_H_
