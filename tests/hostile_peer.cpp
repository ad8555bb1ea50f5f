#include "tests/hostile_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvane {
namespace testing_support {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

}  // namespace

PeerConnection::PeerConnection(HostilePeer& peer, int id, int fd)
    : peer_(peer), id_(id), fd_(fd) {
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

PeerConnection::~PeerConnection() { Close(); }

bool PeerConnection::ReadLine(std::string* line, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      *line = pending_.substr(0, end);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      pending_.erase(0, end + 1);
      peer_.Record(id_, *line);
      return true;
    }
    if (fd_ < 0 || peer_.stopping_) return false;
    pollfd watched{fd_, POLLIN, 0};
    // Short polls, so that a stopping peer is noticed.
    int ready = poll(&watched, 1, std::min(100, MillisecondsLeft(deadline)));
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0) {
      char buffer[4096];
      ssize_t count = recv(fd_, buffer, sizeof(buffer), 0);
      if (count <= 0) return false;
      pending_.append(buffer, static_cast<std::size_t>(count));
    } else if (Clock::now() >= deadline) {
      return false;
    }
  }
}

bool PeerConnection::ReadUntil(const std::string& text, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  std::string line;
  while (ReadLine(&line, std::chrono::milliseconds(MillisecondsLeft(deadline)))) {
    if (line == text) return true;
  }
  return false;
}

bool PeerConnection::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size() && fd_ >= 0) {
    ssize_t count = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    sent += static_cast<std::size_t>(count);
  }
  return sent == bytes.size();
}

bool PeerConnection::SendByteByByte(const std::string& bytes, std::chrono::milliseconds pause) {
  for (char c : bytes) {
    if (!Send(std::string(1, c))) return false;
    std::this_thread::sleep_for(pause);
  }
  return true;
}

void PeerConnection::Reset() {
  if (fd_ < 0) return;
  linger abort{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
  close(fd_);
  fd_ = -1;
}

void PeerConnection::Close() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
}

void PeerConnection::ShutdownSending() {
  if (fd_ >= 0) shutdown(fd_, SHUT_WR);
}

bool PeerConnection::Welcome() {
  std::string account, password;
  if (!ReadLine(&account) || !ReadLine(&password)) return false;
  if (!ReadUntil("/join Clan")) return false;
  return Send("2010 NAME statbot\r\n");
}

void PeerConnection::Converse(const std::string& channel) {
  if (!Send("1007 CHANNEL \"" + channel + "\"\r\n")) return;
  std::string line;
  while (ReadLine(&line)) {
    if (line.rfind("/stats ", 0) == 0) {
      std::string name = line.substr(7, line.rfind(' ') - 7);
      if (!Send("1018 INFO \"" + name + "'s record: 1-2-3\"\r\n")) return;
    } else if (line.rfind("/join ", 0) == 0) {
      std::string asked = line.substr(6);
      while (!asked.empty() && asked.back() == ' ') asked.pop_back();
      if (!Send("1007 CHANNEL \"" + asked + "\"\r\n")) return;
    }
  }
}

HostilePeer::HostilePeer(std::uint16_t port, std::vector<Script> scripts)
    : listenFd_(-1), scripts_(std::move(scripts)), stopping_(false), connections_(0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 16) != 0) {
    close(fd);
    return;
  }
  listenFd_ = fd;
  thread_ = std::thread(&HostilePeer::AcceptLoop, this);
}

HostilePeer::~HostilePeer() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) close(listenFd_);
}

void HostilePeer::AcceptLoop() {
  while (!stopping_) {
    pollfd watched{listenFd_, POLLIN, 0};
    if (poll(&watched, 1, 50) <= 0) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int id = connections_.load() + 1;
    PeerConnection connection(*this, id, fd);
    connections_ = id;
    if (static_cast<std::size_t>(id) <= scripts_.size()) {
      scripts_[static_cast<std::size_t>(id) - 1](connection);
    } else if (connection.Welcome()) {
      connection.Converse();
    }
  }
}

void HostilePeer::Record(int connection, const std::string& line) {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.emplace_back(connection, line);
}

std::vector<std::string> HostilePeer::LinesOf(int connection) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> texts;
  for (const auto& line : lines_) {
    if (line.first == connection) texts.push_back(line.second);
  }
  return texts;
}

bool HostilePeer::WaitForLine(const std::string& text, int connection, int count,
                              std::chrono::milliseconds timeout) const {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    std::vector<std::string> lines = LinesOf(connection);
    if (std::count(lines.begin(), lines.end(), text) >= count) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool HostilePeer::WaitForConnections(int count, std::chrono::milliseconds timeout) const {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (ConnectionCount() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace testing_support
}  // namespace corvane
