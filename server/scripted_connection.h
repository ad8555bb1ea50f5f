// A test's script in place of the stand-in server's conversation on one
// connection: it reads the client's lines and sends what it likes.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "server/server_options.h"

namespace corvane::server {

// The server's side of one connection, as a script drives it. The server
// implements it for every scripted connection.
class ConnectionLink {
 public:
  // The connection's number (1, 2, ...).
  virtual int Id() const = 0;
  // Waits up to `timeout` for bytes from the client, records them as on any
  // connection and appends the lines they complete to `lines`. Returns false
  // when the connection ends, the server stops or nothing arrives in time.
  virtual bool Receive(std::chrono::milliseconds timeout, std::vector<ReceivedLine>* lines) = 0;
  // Sends what the server has queued for the client, then all of `bytes`;
  // false when the client's side is gone.
  virtual bool SendBytes(const std::string& bytes) = 0;
  // Closes the socket, with a reset (RST) when `reset`; the client leaves
  // its channel.
  virtual void CloseSocket(bool reset) = 0;
  // Ends the sending direction only.
  virtual void ShutdownSending() = 0;
  // Names the client with 2010 NAME and logs it on as `account`; false when
  // the connection has ended.
  virtual bool LogOn(const std::string& account) = 0;
  // Places the client in `channel`, handles `unread` as received lines and
  // serves the connection as the server serves every client, until it ends.
  virtual void Converse(const std::string& channel, const std::deque<ReceivedLine>& unread) = 0;

 protected:
  ~ConnectionLink() = default;
};

// The server's view of one connection given to a script. Everything the
// client sends is recorded as on any connection (Chunks(), Lines()).
class ScriptedConnection {
 public:
  explicit ScriptedConnection(ConnectionLink& link) : link_(link) {}

  int id() const { return link_.Id(); }

  // Reads the next line from the client (without CR LF). Returns false when
  // the connection ends, the server stops or `timeout` passes first.
  bool ReadLine(std::string* line, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Reads lines until one equals `text`; false if none does in time.
  bool ReadUntil(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Sends all of `bytes`; false when the client's side is gone.
  bool Send(const std::string& bytes) { return link_.SendBytes(bytes); }
  // Sends one byte a segment, `pause` apart.
  bool SendByteByByte(const std::string& bytes,
                      std::chrono::milliseconds pause = std::chrono::milliseconds(1));
  // Closes the connection with a reset (RST) instead of an orderly close.
  void Reset() { link_.CloseSocket(true); }
  // Closes the connection (FIN).
  void Close() { link_.CloseSocket(false); }
  // Ends the sending direction only; the client's lines can still be read.
  void ShutdownSending() { link_.ShutdownSending(); }

  // Reads the logon's two lines and then lines up to the first join, and
  // names the client with 2010 NAME and its account. Nothing else is sent:
  // no first channel, no welcome. Returns false when the connection ends
  // first.
  bool Welcome();
  // Names the client with 2010 NAME and logs it on as `account` at once, with
  // no first channel and no welcome (Welcome() without its reading). Returns
  // false when the connection has ended.
  bool LogOn(const std::string& account) { return link_.LogOn(account); }
  // Places the client in `channel` as a join would and from then on serves
  // it as the server serves every client, until the connection ends. Needs
  // Welcome() or LogOn() first.
  void Converse(const std::string& channel = "Clan");

 private:
  ConnectionLink& link_;
  std::deque<ReceivedLine> unread_;  // lines received and not yet read by the script
};

}  // namespace corvane::server
