// Corvane's stand-in chat server: a small loopback TCP server that speaks the
// text chat protocol the bot uses (logon as two lines, event lines with a
// decimal id, /join and /stats commands) the way a real server of this kind
// does: it refuses a second logon of an account, ignores a join to the
// channel a client is in, matches names without letter case and protects
// itself against floods. It records every byte it receives and can be told to
// misbehave in scripted ways, or hand a connection to a test's script, so the
// bot can be tested without the real server.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
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

class ChatServer;
class ScriptedConnection;

// A test's script for one connection; it runs on the connection's thread.
using Script = std::function<void(ScriptedConnection&)>;

struct ServerOptions {
  // TCP port on 127.0.0.1; 0 picks a free ephemeral port (see Port()).
  uint16_t port = 6112;
  // Account -> password. Empty: any non-empty account with any password logs
  // on. Account names are matched without letter case, passwords exactly.
  std::map<std::string, std::string> accounts;
  // Players /stats knows, matched without letter case. Empty: every
  // well-formed name (IsWellFormedName) is a known player.
  std::set<std::string> players;
  // Public channel a client is placed in after logon.
  std::string firstChannel = "Chat";
  // Channels that exist from the start: a join in any letter case is
  // answered with the spelling given here.
  std::set<std::string> channels;
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

  // Flood protection, as the real server has it: once logged on, every line
  // counts (one per 40 characters started), and of what counts within any
  // `floodWindow` at most 4 are carried out; the rest are dropped, each with
  // two error lines, and at 10 the connection is closed without a word.
  // Tests of programs whose pauses are scaled down scale the window with
  // them. Off only for throughput measurements.
  bool floodProtection = true;
  std::chrono::milliseconds floodWindow{5000};

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
  // Refuse this many logons (counted over all connections) as a wrong
  // password is refused, then take them as usual.
  int refuseLogons = 0;
  // Connections 1, 2, ... up to scripts.size() are handed to these scripts
  // instead of the server's own conversation; later ones are served as usual.
  std::vector<Script> scripts;

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

// True for a name of 1 to 15 characters, each a letter, digit or one of -_[].
bool IsWellFormedName(const std::string& name);

// The text of each 1018 INFO line the server sends for "/stats <name>
// <product>" about a known player: a "<name>'s record:" heading, then one line
// per kind of game, in the product's format. SEXP records count points with
// the games won, lost and drawn ("Ladder games: 1625 pts (7/3/2)", a rank tag
// "[rank]" before the points of a ranked player); STAR and every other
// four-character code count "won-lost-drawn" games ("Ladder games: 9-6-1
// (rating 1480)", or "Ladder games: 0-0-0" for a player without ladder
// games), and a code the server does not know gives a record of zeros. The
// numbers are a fixed function of the name and the product, without letter
// case, so tests can compute the expected answer. Returns an empty vector
// when `product` is not four characters long.
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

  // Tells every logged-on client that the server shuts down, closes the
  // listener and every connection and joins all threads. Returns promptly
  // even when clients are connected and silent (a script that sleeps delays
  // it). Safe to call twice.
  void Stop();

  // Every chunk of bytes received so far, from all connections, in arrival order.
  std::vector<ReceivedChunk> Chunks() const;

  // The same bytes cut into lines at LF (a CR before the LF dropped), in arrival
  // order. The logon's 0x03 0x04 stay at the start of a connection's first line.
  // An unterminated tail is not a line (yet).
  std::vector<ReceivedLine> Lines() const;

  // The lines of connection `connection` alone, in order.
  std::vector<ReceivedLine> LinesOf(int connection) const;

  // Number of connections accepted so far (open or closed).
  int ConnectionCount() const;

  // True once connection `connection` was accepted and its serving ended: the
  // end of its stream was read, it was reset, or the server or its script
  // closed it. Everything the client sent before that is recorded.
  bool ConnectionEnded(int connection) const;

  // The client's TCP port of connection `connection` (0 when unknown).
  uint16_t ClientPort(int connection) const;

  // Polls `condition` about every 10 ms until it holds or `timeout` passes;
  // returns its last value. The condition may call the accessors above.
  bool WaitFor(const std::function<bool(const ChatServer&)>& condition,
               std::chrono::milliseconds timeout) const;

  // Sends raw bytes to every open connection (even with options.silent).
  void SendToAll(const std::string& raw);

  // Closes every open connection; the listener stays open for new clients.
  void CloseAll();

  // Closes connection `connection` if it is open, as a server does when it
  // gives up a session.
  void Close(int connection);

 private:
  friend class ScriptedConnection;
  struct Connection;
  struct Channel {
    std::string name;                  // the server's spelling
    std::vector<Connection*> members;  // in join order
  };
  struct Worker {
    std::shared_ptr<Connection> connection;
    std::thread thread;
  };

  void AcceptLoop();
  void Serve(const std::shared_ptr<Connection>& connection);
  // Reads the connection until it ends, handling every line.
  void ServeLines(Connection& c);
  // Records `bytes` as received on `c` and moves its complete lines to `lines`.
  void Receive(Connection& c, const char* bytes, size_t count, std::vector<ReceivedLine>* lines);
  // The Handle/Send/Enter/Leave helpers below run with mu_ held.
  bool HandleLine(Connection& c, const ReceivedLine& line);
  bool HandleLogonLine(Connection& c, const std::string& line);
  bool HandleCommand(Connection& c, const std::string& line);
  bool HandleStats(Connection& c, const std::string& arguments);
  void HandleJoin(Connection& c, const std::string& arguments);
  void HandleTalk(Connection& c, const std::string& text);
  // Counts `line` against the flood limit: 0 carry it out, 1 drop it, 2 close.
  int FloodVerdict(Connection& c, const ReceivedLine& line);
  bool IsLoggedOnElsewhere(const Connection& c, const std::string& account) const;
  void LogOn(Connection& c, const std::string& account, bool welcome);
  void Enter(Connection& c, const std::string& channel, bool welcome);
  void Leave(Connection& c);
  // The server's spelling of `name`, remembering `name` for a new channel.
  std::string ChannelSpelling(const std::string& name);
  void Send(Connection& c, const std::string& bytes);
  void Close(Connection& c);

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
  int logonsRefused_ = 0;                         // by options_.refuseLogons
  std::vector<Worker> workers_;                   // every connection not yet reaped, with its thread
  std::map<std::string, Channel> channels_;       // by name without letter case; only occupied ones
  std::map<std::string, std::string> spellings_;  // every channel name seen, without case -> spelling
  std::set<std::string> accountsSeen_;            // without letter case
  std::vector<ReceivedChunk> chunks_;
  std::vector<ReceivedLine> lines_;
  std::vector<uint16_t> clientPorts_;  // by connection id - 1
  std::set<int> ended_;                // connections whose serving has ended
};

// The server's view of one connection given to a script. Everything the
// client sends is recorded as on any connection (Chunks(), Lines()).
class ScriptedConnection {
 public:
  int id() const;

  // Reads the next line from the client (without CR LF). Returns false when
  // the connection ends, the server stops or `timeout` passes first.
  bool ReadLine(std::string* line, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Reads lines until one equals `text`; false if none does in time.
  bool ReadUntil(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Sends all of `bytes`; false when the client's side is gone.
  bool Send(const std::string& bytes);
  // Sends one byte a segment, `pause` apart.
  bool SendByteByByte(const std::string& bytes,
                      std::chrono::milliseconds pause = std::chrono::milliseconds(1));
  // Closes the connection with a reset (RST) instead of an orderly close.
  void Reset();
  // Closes the connection (FIN).
  void Close();
  // Ends the sending direction only; the client's lines can still be read.
  void ShutdownSending();

  // Reads the logon's two lines and then lines up to the first join, and
  // names the client with 2010 NAME and its account. Nothing else is sent:
  // no first channel, no welcome. Returns false when the connection ends
  // first.
  bool Welcome();
  // Places the client in `channel` as a join would and from then on serves
  // it as the server serves every client, until the connection ends. Needs
  // Welcome() first.
  void Converse(const std::string& channel = "Clan");

 private:
  friend class ChatServer;
  ScriptedConnection(ChatServer& server, ChatServer::Connection& connection)
      : server_(server), connection_(connection) {}
  // Closes the socket, with a reset when `reset`.
  void CloseSocket(bool reset);
  // Reads what arrives within `timeout` into the connection's unread lines.
  bool ReadMore(std::chrono::milliseconds timeout);

  ChatServer& server_;
  ChatServer::Connection& connection_;
  std::deque<ReceivedLine> unread_;  // lines received and not yet read by the script
  std::string account_;              // from Welcome()
};

}  // namespace corvane::server
