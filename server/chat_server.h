// Corvane's stand-in chat server: a small loopback TCP server that speaks the
// text chat protocol the bot uses (logon as two lines, event lines with a
// decimal id, /join and /stats commands), records every byte it receives and
// can be told to misbehave in scripted ways, so the bot can be tested without
// the real server.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace corvane::server {

// One recv() worth of bytes from a client, as it arrived.
struct ReceivedChunk {
  int connection = 0;  // 1 for the first accepted connection, then 2, 3, ...
  std::chrono::steady_clock::time_point at;
  std::string bytes;
};

// One line received from a client: the text without its LF (and without a CR
// right before it). `at` is the arrival time of the chunk that completed it.
struct ReceivedLine {
  int connection = 0;
  std::chrono::steady_clock::time_point at;
  std::string text;
};

struct ServerOptions {
  // TCP port on 127.0.0.1; 0 picks a free ephemeral port (see Port()).
  uint16_t port = 6112;
  // Account -> password. Empty: any non-empty account with any password logs on.
  std::map<std::string, std::string> accounts;
  // Players /stats knows. Empty: every well-formed name (IsWellFormedName) is a
  // known player; otherwise exactly these names (case-sensitive).
  std::set<std::string> players;
  // Public channel a client is placed in after logon.
  std::string firstChannel = "Chat";
  // Send the plain prompt lines ("Connection from ...", "Username: ",
  // "Password: ") around the logon. "Login failed." is sent either way.
  bool sendPrompts = true;
  // A /join to one of these gets 1013 CHANNELFULL / 1015 CHANNELRESTRICTED and
  // the client stays where it is. Such refused joins do not count as joins for
  // the redirect below.
  std::set<std::string> fullChannels;
  std::set<std::string> restrictedChannels;
  // If non-empty, the first `redirectJoins` joins of each connection land in
  // this channel instead of the requested one; -1 redirects every join.
  std::string redirectChannel;
  int redirectJoins = 0;

  // Scripted faults, for tests.
  // Close the connection as soon as the two logon lines are read, without
  // answering them (the connect prompts, if enabled, were already sent).
  bool closeAfterLogon = false;
  // Accept and record, never answer anything (SendToAll still writes).
  bool silent = false;
  // Raw bytes sent verbatim right after the welcome burst of every logon.
  std::string rawAfterWelcome;
  // Close a connection once it has been answered this many /stats requests
  // (-1 never; 0 closes on the first /stats without answering it).
  int closeAfterStats = -1;

  // Flood mode, for throughput measurements. When above 0, a logon is
  // answered with the 2010 NAME line alone (no first channel, no welcome, so
  // no 1007 reaches the client before the flood), and the first /join of a
  // connection with this many 1018 INFO lines of about 70 bytes, varied
  // text, followed by a 1007 CHANNEL for floodChannel (which must not contain
  // the client's home channel, so that the client asks to join again).
  long floodLines = 0;
  std::string floodChannel = "Flood Overflow";

  // Called for every received line, on the connection's thread, without any
  // server lock held. Used by chatd to log what clients send.
  std::function<void(const ReceivedLine&)> onLine;
};

// The product codes /stats accepts, in upper case (the command itself takes
// them in any case).
std::vector<std::string> KnownProducts();

// True for a name of 1 to 15 characters, each a letter, digit or one of -_[].
bool IsWellFormedName(const std::string& name);

// The text of each 1018 INFO line the server sends for "/stats <name>
// <product>" about a known player: a "<name>'s record:" heading, then one line
// per kind of game. The numbers are a fixed function of name and product
// (case-sensitive), so tests can compute the expected answer. Returns an empty
// vector for an unknown product code.
std::vector<std::string> StatsAnswer(const std::string& name, const std::string& product);

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

  // Why the last Start() failed, e.g. "bind 127.0.0.1:6112: Address already in use".
  std::string LastError() const;

  // Closes the listener and every connection and joins all threads. Returns
  // promptly even when clients are connected and silent. Safe to call twice.
  void Stop();

  // Every chunk of bytes received so far, from all connections, in arrival order.
  std::vector<ReceivedChunk> Chunks() const;

  // The same bytes cut into lines at LF (a CR before the LF dropped), in arrival
  // order. The logon's 0x03 0x04 stay at the start of a connection's first line.
  // An unterminated tail is not a line (yet).
  std::vector<ReceivedLine> Lines() const;

  // Number of connections accepted so far (open or closed).
  int ConnectionCount() const;

  // Polls `condition` about every 10 ms until it holds or `timeout` passes;
  // returns its last value. The condition may call the accessors above.
  bool WaitFor(const std::function<bool(const ChatServer&)>& condition,
               std::chrono::milliseconds timeout) const;

  // Sends raw bytes to every open connection (even with options.silent).
  void SendToAll(const std::string& raw);

  // Closes every open connection; the listener stays open for new clients.
  void CloseAll();

 private:
  struct Connection;
  struct Worker {
    std::shared_ptr<Connection> connection;
    std::thread thread;
  };

  void AcceptLoop();
  void Serve(const std::shared_ptr<Connection>& connection);
  // The Handle/Send/Enter/Leave helpers below run with mu_ held.
  bool HandleLine(Connection& c, const std::string& line);
  bool HandleLogonLine(Connection& c, const std::string& line);
  bool HandleStats(Connection& c, const std::string& arguments);
  void HandleJoin(Connection& c, const std::string& arguments);
  void LogOn(Connection& c, const std::string& account);
  void Enter(Connection& c, const std::string& channel, bool welcome);
  void Leave(Connection& c);
  void Send(Connection& c, const std::string& bytes);
  void Close(Connection& c);
  std::string UniqueName(const std::string& account) const;

  const ServerOptions options_;
  mutable std::mutex mu_;
  bool started_ = false;
  bool stopping_ = false;
  uint16_t port_ = 0;
  std::string lastError_;
  int listenFd_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread acceptThread_;
  int connectionCount_ = 0;
  std::vector<Worker> workers_;  // every connection not yet reaped, with its thread
  std::map<std::string, std::vector<Connection*>> channels_;  // members in join order
  std::set<std::string> accountsSeen_;
  std::vector<ReceivedChunk> chunks_;
  std::vector<ReceivedLine> lines_;
};

}  // namespace corvane::server
