#include "server/chat_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace corvane::server {

namespace {

using Clock = std::chrono::steady_clock;

// How long a closing connection's client gets to take what is queued for it.
constexpr std::chrono::milliseconds kFlushOnClose{1000};

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// True when the client has closed its end of `fd` (its FIN or a reset has
// arrived, even behind unread bytes).
bool ClientHasGone(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Sends all of `bytes` on the blocking socket `fd` (within its send timeout);
// false when the client's side is gone.
bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

}  // namespace

// One accepted connection: its socket, its conversation and its thread. Only
// the link's own thread reads, writes or closes the socket; other threads
// queue bytes on the conversation and wake the thread through `wake`.
class ChatServer::Link final : public ConnectionLink {
 public:
  Link(ChatServer& server, int id, int fd)
      : fd(fd),
        wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
        conversation(id, server.options_, server.lobby_),
        server_(server),
        id_(id) {}
  ~Link() {
    if (wake >= 0) ::close(wake);
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  int fd;                       // -1 once closed; changed only by the link's thread, with mu_ held
  int wake;                     // an eventfd that wakes the link's thread
  Conversation conversation;    // guarded by mu_
  LineCutter cutter;            // guarded by mu_
  std::string sending;          // taken from the conversation, not yet sent; the link's thread only
  bool closeRequested = false;  // guarded by mu_
  bool conversing = false;      // served by the server's conversation (guarded by mu_)
  bool scripted = false;        // handed to a script
  bool ended = false;           // the link's thread is done (guarded by mu_)
  std::thread thread;

  // Wakes the link's thread (safe from any thread, never blocks).
  void Wake() const {
    const uint64_t one = 1;
    if (wake >= 0) (void)!::write(wake, &one, sizeof one);
  }
  void DrainWake() const {
    uint64_t count = 0;
    (void)!::read(wake, &count, sizeof count);
  }

  // Sends what is queued for the client, blocking (for scripts, which hold no lock).
  bool FlushQueued() {
    {
      std::lock_guard<std::mutex> lock(server_.mu_);
      sending += conversation.TakeOutput();
    }
    if (sending.empty()) return true;
    const bool sent = fd >= 0 && SendAll(fd, sending);
    sending.clear();
    return sent;
  }

  int Id() const override { return id_; }

  bool Receive(std::chrono::milliseconds timeout, std::vector<ReceivedLine>* lines) override {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(server_.mu_);
        if (server_.stopping_ || fd < 0 || closeRequested) return false;
      }
      if (!FlushQueued()) return false;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      // Short polls, so that a stopping server is noticed.
      pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
      const int ready = ::poll(fds, 2, static_cast<int>(std::clamp<long long>(left, 0, 100)));
      if (ready < 0 && errno != EINTR) return false;
      if (ready > 0 && fds[1].revents != 0) DrainWake();
      if (ready > 0 && fds[0].revents != 0) break;
      if (Clock::now() >= deadline) return false;
    }
    char buf[4096];
    ssize_t n;
    do {
      n = ::recv(fd, buf, sizeof buf, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    std::vector<ReceivedLine> received;
    {
      std::lock_guard<std::mutex> lock(server_.mu_);
      received = server_.Receive(*this, buf, static_cast<size_t>(n));
    }
    for (const ReceivedLine& line : received) {
      if (server_.options_.onLine) server_.options_.onLine(line);
      lines->push_back(line);
    }
    return true;
  }

  bool SendBytes(const std::string& bytes) override {
    // The socket stays open while the script runs (only this thread closes
    // it), so the bytes go out without the server's lock.
    return FlushQueued() && fd >= 0 && SendAll(fd, bytes);
  }

  void CloseSocket(bool reset) override {
    std::lock_guard<std::mutex> lock(server_.mu_);
    if (fd < 0) return;
    conversation.End();
    if (reset) {
      // Closing with a zero linger time sends RST instead of FIN.
      linger abort{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(fd);
    fd = -1;
  }

  void ShutdownSending() override {
    if (fd >= 0) ::shutdown(fd, SHUT_WR);
  }

  bool LogOn(const std::string& account) override {
    {
      std::lock_guard<std::mutex> lock(server_.mu_);
      if (fd < 0 || conversation.Ended()) return false;
      conversation.LogOn(account);
    }
    return FlushQueued() && fd >= 0;
  }

  void Converse(const std::string& channel, const std::deque<ReceivedLine>& unread) override {
    {
      std::lock_guard<std::mutex> lock(server_.mu_);
      if (fd < 0) return;
      conversing = true;
      conversation.Enter(channel);
      // Lines the script received but did not read are the server's now.
      for (const ReceivedLine& line : unread) {
        if (!conversation.HandleLine(line)) break;
      }
    }
    server_.Pump(*this);
  }

 private:
  ChatServer& server_;
  const int id_;
};

ChatServer::ChatServer(ServerOptions options) : options_(std::move(options)), lobby_(options_) {
  // Called with mu_ held, from any thread.
  lobby_.onOutput = [this](Conversation& c) {
    auto it = links_.find(c.id());
    if (it != links_.end()) it->second->Wake();
  };
  lobby_.clientGone = [this](const Conversation& c) {
    auto it = links_.find(c.id());
    return it == links_.end() || it->second->fd < 0 || ClientHasGone(it->second->fd);
  };
}

ChatServer::~ChatServer() {
  Stop();
  // The conversations are destroyed with the links, before the lobby.
  std::lock_guard<std::mutex> lock(mu_);
  links_.clear();
}

bool ChatServer::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  if (started_) {
    lastError_ = "the server was started before";
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    lastError_ = ErrnoText("socket");
    return false;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options_.port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    lastError_ = ErrnoText("bind 127.0.0.1:" + std::to_string(options_.port));
    ::close(fd);
    return false;
  }
  if (::listen(fd, 64) != 0) {
    lastError_ = ErrnoText("listen");
    ::close(fd);
    return false;
  }
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    lastError_ = ErrnoText("getsockname");
    ::close(fd);
    return false;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    lastError_ = ErrnoText("pipe");
    ::close(fd);
    return false;
  }
  listenFd_ = fd;
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  port_ = ntohs(addr.sin_port);
  started_ = true;
  lastError_.clear();
  acceptThread_ = std::thread(&ChatServer::AcceptLoop, this);
  return true;
}

uint16_t ChatServer::Port() const {
  std::lock_guard<std::mutex> lock(mu_);
  return port_;
}

std::string ChatServer::LastError() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastError_;
}

void ChatServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!started_ || stopping_) return;
    stopping_ = true;
  }
  char wake = 'x';
  while (::write(wakeWrite_, &wake, 1) < 0 && errno == EINTR) {
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<Link*> links;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ::close(listenFd_);
    listenFd_ = -1;
    std::vector<Link*> remaining;
    for (auto& [id, link] : links_) {
      if (link->conversation.LoggedOn() && !link->conversation.Ended() && !link->ended)
        remaining.push_back(link.get());
    }
    const std::string notice = "1019 ERROR \"The server will shut down in 1 second. (" +
                               std::to_string(remaining.size()) + " connections remaining).\"\r\n";
    for (Link* link : remaining) link->conversation.Queue(notice);
    for (auto& [id, link] : links_) {
      RequestClose(*link);
      links.push_back(link.get());
    }
  }
  // Each link's thread now sends what is queued, closes its socket and ends.
  for (Link* link : links) {
    if (link->thread.joinable()) link->thread.join();
  }
  std::lock_guard<std::mutex> lock(mu_);
  ::close(wakeRead_);
  ::close(wakeWrite_);
  wakeRead_ = wakeWrite_ = -1;
}

std::vector<ReceivedChunk> ChatServer::Chunks() const {
  std::lock_guard<std::mutex> lock(mu_);
  return chunks_;
}

std::vector<ReceivedLine> ChatServer::Lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::vector<ReceivedLine> ChatServer::LinesOf(int connection) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ReceivedLine> lines;
  for (const ReceivedLine& line : lines_) {
    if (line.connection == connection) lines.push_back(line);
  }
  return lines;
}

bool ChatServer::RecordingStopped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return recordingStopped_;
}

int ChatServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connectionCount_;
}

uint16_t ChatServer::ClientPort(int connection) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (connection < 1 || static_cast<size_t>(connection) > records_.size()) return 0;
  return records_[static_cast<size_t>(connection) - 1].clientPort;
}

bool ChatServer::ConnectionEnded(int connection) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (connection < 1 || static_cast<size_t>(connection) > records_.size()) return false;
  return records_[static_cast<size_t>(connection) - 1].ended;
}

bool ChatServer::WaitFor(const std::function<bool(const ChatServer&)>& condition,
                         std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (!condition(*this)) {
    if (Clock::now() >= deadline) return condition(*this);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void ChatServer::SendToAll(const std::string& raw) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [id, link] : links_) link->conversation.Queue(raw);
}

void ChatServer::CloseAll() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [id, link] : links_) RequestClose(*link);
}

void ChatServer::Close(int connection) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = links_.find(connection);
  if (it != links_.end()) RequestClose(*it->second);
}

void ChatServer::RequestClose(Link& link) {
  if (link.ended || link.closeRequested) return;
  link.closeRequested = true;
  // Leave the channel now rather than when the link's thread notices, so
  // that a client reconnecting right away does not find its old self listed.
  link.conversation.End();
  // A script may not look at its connection for a while; its client learns
  // at once. (A served connection first sends what is queued.)
  if (link.scripted && !link.conversing && link.fd >= 0) ::shutdown(link.fd, SHUT_RDWR);
  link.Wake();
}

void ChatServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    sockaddr_in client{};
    socklen_t clientLength = sizeof client;
    int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&client), &clientLength, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors and the like: back off a little instead of spinning.
      if (errno != EINTR && errno != ECONNABORTED) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A script's blocking sends to a client that stops reading give up.
    timeval sendTimeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);

    std::vector<std::unique_ptr<Link>> finished;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) {
        ::close(fd);
        return;
      }
      // Reap the links whose serving has ended.
      for (auto it = links_.begin(); it != links_.end();) {
        if (it->second->ended) {
          finished.push_back(std::move(it->second));
          it = links_.erase(it);
        } else {
          ++it;
        }
      }
      if (static_cast<int>(links_.size()) >= options_.maxConnections) {
        // Refused: closed at once, without a byte and without a number.
        ::close(fd);
      } else {
        const int id = ++connectionCount_;
        records_.push_back({ntohs(client.sin_port), false});
        auto link = std::make_unique<Link>(*this, id, fd);
        link->scripted = static_cast<size_t>(id) <= options_.scripts.size() || options_.defaultScript;
        Link& added = *link;
        links_.emplace(id, std::move(link));
        added.thread = std::thread(&ChatServer::Serve, this, std::ref(added));
      }
    }
    for (auto& link : finished) {
      link->thread.join();
      std::lock_guard<std::mutex> lock(mu_);
      link.reset();  // its conversation leaves the lobby under the lock
    }
  }
}

void ChatServer::Serve(Link& link) {
  if (link.scripted) {
    ScriptedConnection scripted(link);
    const size_t index = static_cast<size_t>(link.Id()) - 1;
    (index < options_.scripts.size() ? options_.scripts[index] : options_.defaultScript)(scripted);
  } else {
    {
      std::lock_guard<std::mutex> lock(mu_);
      link.conversing = true;
      link.conversation.Open();
    }
    Pump(link);
  }
  std::lock_guard<std::mutex> lock(mu_);
  link.conversation.End();
  if (link.fd >= 0) {
    ::shutdown(link.fd, SHUT_RDWR);
    ::close(link.fd);
    link.fd = -1;
  }
  link.ended = true;
  records_[static_cast<size_t>(link.Id()) - 1].ended = true;
}

void ChatServer::Pump(Link& link) {
  auto flushDeadline = Clock::time_point::max();
  bool endOfStream = false;
  char buf[16384];
  for (;;) {
    bool closing;
    {
      std::lock_guard<std::mutex> lock(mu_);
      link.sending += link.conversation.TakeOutput();
      closing = endOfStream || link.closeRequested || link.conversation.Ended() || link.fd < 0;
    }
    // A client that leaves this much unread is given up, as one that is gone.
    if (link.sending.size() > options_.pendingLimitBytes || link.fd < 0) return;
    if (closing) {
      if (link.sending.empty()) return;
      const auto now = Clock::now();
      if (flushDeadline == Clock::time_point::max()) flushDeadline = now + kFlushOnClose;
      if (now >= flushDeadline) return;
    }
    const short events = static_cast<short>((closing ? 0 : POLLIN) | (link.sending.empty() ? 0 : POLLOUT));
    pollfd fds[2] = {{link.fd, events, 0}, {link.wake, POLLIN, 0}};
    int timeout = -1;
    if (closing) {
      timeout = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(flushDeadline - Clock::now()).count() + 1);
    }
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) link.DrainWake();
    const short got = fds[0].revents;
    if ((got & POLLNVAL) != 0) return;
    if (!link.sending.empty() && (got & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t n =
          ::send(link.fd, link.sending.data(), link.sending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        link.sending.erase(0, static_cast<size_t>(n));
      } else if (n < 0 && !WouldBlock()) {
        return;  // the client is gone
      }
    }
    if (closing || (got & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
    const ssize_t n = ::recv(link.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && WouldBlock()) continue;
    if (n < 0) return;  // reset
    if (n == 0) {
      endOfStream = true;  // what is queued still goes out, then the connection closes
      continue;
    }
    std::vector<ReceivedLine> received;
    {
      std::lock_guard<std::mutex> lock(mu_);
      received = Receive(link, buf, static_cast<size_t>(n));
    }
    if (options_.onLine) {
      for (const ReceivedLine& line : received) options_.onLine(line);
    }
    for (const ReceivedLine& line : received) {
      std::lock_guard<std::mutex> lock(mu_);
      if (!link.conversation.HandleLine(line)) break;
    }
  }
}

std::vector<ReceivedLine> ChatServer::Receive(Link& link, const char* bytes, size_t count) {
  const auto at = Clock::now();
  // Recording stops for good at its bound.
  auto keep = [this](size_t size) {
    if (!options_.record || recordingStopped_) return false;
    if (recordedBytes_ + size > options_.recordLimitBytes) {
      recordingStopped_ = true;
      lastError_ =
          "recording stopped at its bound of " + std::to_string(options_.recordLimitBytes) + " bytes";
      return false;
    }
    recordedBytes_ += size;
    return true;
  };
  if (keep(count)) chunks_.push_back({link.Id(), at, std::string(bytes, count)});
  std::vector<std::string> texts;
  link.cutter.Append(bytes, count, &texts);
  std::vector<ReceivedLine> lines;
  for (std::string& text : texts) {
    if (keep(text.size())) lines_.push_back({link.Id(), at, text});
    lines.push_back({link.Id(), at, std::move(text)});
  }
  return lines;
}

}  // namespace corvane::server
