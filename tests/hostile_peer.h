// A scripted chat server for hostile end-to-end tests: it listens on
// 127.0.0.1 and hands each accepted connection to a script of the test,
// which can read the bot's lines and send anything, byte by byte, cut by a
// close or a reset. Connections past the scripted ones get a well-behaved
// conversation: log on, home channel, one info line per stats request.
#ifndef CORVANE_TESTS_HOSTILE_PEER_H_
#define CORVANE_TESTS_HOSTILE_PEER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvane {
namespace testing_support {

class HostilePeer;

// One accepted connection, driven by a script on the peer's thread.
class PeerConnection {
 public:
  PeerConnection(HostilePeer& peer, int id, int fd);
  ~PeerConnection();
  PeerConnection(const PeerConnection&) = delete;
  PeerConnection& operator=(const PeerConnection&) = delete;

  int id() const { return id_; }

  // Reads the next line from the bot (without CR LF) and records it.
  // Returns false when the connection ends or `timeout` passes first.
  bool ReadLine(std::string* line,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Reads lines until one equals `text`; false if none does in time.
  bool ReadUntil(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Sends all of `bytes`; false when the bot's side is gone.
  bool Send(const std::string& bytes);
  // Sends one byte a segment, `pause` apart.
  bool SendByteByByte(const std::string& bytes,
                      std::chrono::milliseconds pause = std::chrono::milliseconds(1));
  // Closes the connection with a reset (RST) instead of an orderly close.
  void Reset();
  // Closes the connection (FIN).
  void Close();
  // Ends the sending direction only; the bot's lines can still be read.
  void ShutdownSending();

  // The steps of a well-behaved server. Welcome reads the logon and the
  // join line and names the bot; Converse places it in `channel` and then
  // answers every stats request with one info line until the connection
  // ends, and every join with the channel asked for.
  bool Welcome();
  void Converse(const std::string& channel = "Clan");

 private:
  HostilePeer& peer_;
  int id_;
  int fd_;
  std::string pending_;
};

class HostilePeer {
 public:
  using Script = std::function<void(PeerConnection&)>;

  // Listens on 127.0.0.1:`port`; `scripts` serve connections 1, 2, ... in
  // order, and later ones get the well-behaved conversation.
  HostilePeer(std::uint16_t port, std::vector<Script> scripts);
  // Closes the listener and waits for the script that runs to end (the bot
  // should be stopped first, so that its reads end).
  ~HostilePeer();
  HostilePeer(const HostilePeer&) = delete;
  HostilePeer& operator=(const HostilePeer&) = delete;

  bool listening() const { return listenFd_ >= 0; }
  int ConnectionCount() const { return connections_.load(); }
  // The lines connection `connection` sent, in order.
  std::vector<std::string> LinesOf(int connection) const;
  // Waits until connection `connection` sent `text` at least `count` times.
  bool WaitForLine(const std::string& text, int connection, int count = 1,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  bool WaitForConnections(int count,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

 private:
  friend class PeerConnection;
  void Record(int connection, const std::string& line);
  void AcceptLoop();

  int listenFd_;
  std::vector<Script> scripts_;
  std::atomic<bool> stopping_;
  std::atomic<int> connections_;
  mutable std::mutex mu_;
  std::vector<std::pair<int, std::string>> lines_;
  std::thread thread_;
};

}  // namespace testing_support
}  // namespace corvane

#endif  // CORVANE_TESTS_HOSTILE_PEER_H_
