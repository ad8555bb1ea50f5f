// Corvane's stand-in chat server: a small loopback TCP server that speaks the
// text chat protocol the bot uses (logon as two lines, event lines with a
// decimal id, /join and /stats commands) the way a real server of this kind
// does: it refuses a second logon of an account, ignores a join to the
// channel a client is in, matches names without letter case and protects
// itself against floods. It can record every byte it receives and be told to
// misbehave in scripted ways, or hand a connection to a test's script, so the
// bot can be tested without the real server.
//
// The parts: the stats oracle (stats_oracle.h), one connection's conversation
// without sockets (conversation.h), the scripts' view of a connection
// (scripted_connection.h), and here the listener with one thread per
// connection that carries bytes between the sockets and the conversations.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/conversation.h"
#include "server/scripted_connection.h"
#include "server/server_options.h"
#include "server/stats_oracle.h"

namespace corvane::server {

class ChatServer {
 public:
  explicit ChatServer(ServerOptions options);
  // Stops the server (see Stop()).
  ~ChatServer();
  ChatServer(const ChatServer&) = delete;
  ChatServer& operator=(const ChatServer&) = delete;

  // Binds 127.0.0.1:port (SO_REUSEADDR), listens and serves every client on a
  // thread of its own. Returns false (see LastError()) if the socket cannot be
  // set up or the server was started before.
  bool Start();

  // The port actually listened on (the ephemeral one when options.port was 0);
  // 0 before a successful Start().
  uint16_t Port() const;

  // Why the last Start() failed, e.g. "bind 127.0.0.1:6112: Address already
  // in use"; or, once recording stopped at its bound, that it did.
  std::string LastError() const;

  // Tells every logged-on client that the server shuts down, closes the
  // listener and every connection and joins all threads. Returns promptly
  // even when clients are connected and silent (a script that sleeps delays
  // it; a client that does not read gets a second to take what is queued for
  // it). Safe to call twice.
  void Stop();

  // Every chunk of bytes received so far, from all connections, in arrival
  // order (with options.record; empty otherwise).
  std::vector<ReceivedChunk> Chunks() const;

  // The same bytes cut into lines at LF (a CR before the LF dropped), in arrival
  // order. The logon's 0x03 0x04 stay at the start of a connection's first line.
  // An unterminated tail is not a line (yet). A line longer than
  // LineCutter::kLongestKept bytes keeps only its start.
  std::vector<ReceivedLine> Lines() const;

  // The lines of connection `connection` alone, in order.
  std::vector<ReceivedLine> LinesOf(int connection) const;

  // True once recording stopped because it reached options.recordLimitBytes.
  bool RecordingStopped() const;

  // Number of connections accepted so far (open or closed), not counting
  // those refused beyond options.maxConnections.
  int ConnectionCount() const;

  // The client's TCP port of connection `connection` (0 when unknown).
  uint16_t ClientPort(int connection) const;

  // True once connection `connection` was accepted and its serving has ended
  // (end of stream read, reset, or closed by the server or its script), so
  // every byte the client sent before it was recorded.
  bool ConnectionEnded(int connection) const;

  // Polls `condition` about every 10 ms until it holds or `timeout` passes;
  // returns its last value. The condition may call the accessors above.
  bool WaitFor(const std::function<bool(const ChatServer&)>& condition,
               std::chrono::milliseconds timeout) const;

  // Sends raw bytes to every open connection (even with options.silent).
  void SendToAll(const std::string& raw);

  // Closes every open connection; the listener stays open for new clients.
  void CloseAll();

  // Closes connection `connection` if it is open, as a server does when it
  // gives up a session: the client leaves its channel at once, and gets what
  // was queued for it before the connection closes.
  void Close(int connection);

 private:
  class Link;
  struct Record {
    uint16_t clientPort = 0;
    bool ended = false;
  };

  void AcceptLoop();
  void Serve(Link& link);
  // Carries bytes between the link's socket and its conversation until the
  // connection ends.
  void Pump(Link& link);
  // Records `bytes` as received on `link` and returns the lines they complete.
  // Needs mu_.
  std::vector<ReceivedLine> Receive(Link& link, const char* bytes, size_t count);
  // Ends the link's conversation and wakes its thread to close it. Needs mu_.
  void RequestClose(Link& link);

  const ServerOptions options_;
  mutable std::mutex mu_;
  Lobby lobby_;  // guarded by mu_, as every conversation
  bool started_ = false;
  bool stopping_ = false;
  uint16_t port_ = 0;
  std::string lastError_;
  int listenFd_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread acceptThread_;
  int connectionCount_ = 0;
  std::map<int, std::unique_ptr<Link>> links_;  // every connection not yet reaped, by id
  std::vector<Record> records_;                 // by connection id - 1
  std::vector<ReceivedChunk> chunks_;
  std::vector<ReceivedLine> lines_;
  size_t recordedBytes_ = 0;
  bool recordingStopped_ = false;
};

}  // namespace corvane::server
