#include "chat_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <utility>

namespace corvane::server {

namespace {

constexpr const char* kFlags = "0010";
constexpr const char* kCrLf = "\r\n";

// Products /stats knows, and which kinds of game each one keeps records for.
struct Product {
  const char* code;
  bool ladder;
};
constexpr Product kProducts[] = {
    {"SEXP", true},
    {"STAR", true},
    {"DEMO", false},  // no ladder: a shorter answer, for clients that must not assume a fixed count
};

const Product* FindProduct(const std::string& code) {
  for (const Product& p : kProducts) {
    if (code == p.code) return &p;
  }
  return nullptr;
}

uint32_t Fnv1a(const std::string& text) {
  uint32_t h = 2166136261u;
  for (unsigned char ch : text) {
    h ^= ch;
    h *= 16777619u;
  }
  return h;
}

std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

std::string TrimLeft(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  return s.substr(i);
}

std::string Upper(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return s;
}

std::string Lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> words;
  std::istringstream in(s);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

std::string Event(const std::string& body) { return body + kCrLf; }
std::string Info(const std::string& text) { return Event("1018 INFO \"" + text + "\""); }
std::string Error(const std::string& text) { return Event("1019 ERROR \"" + text + "\""); }

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Flood mode: lines [first, first + count) of the flood, each a 1018 INFO line
// of 66 to 74 bytes (about 72 on average) whose numbers vary from line to line.
constexpr long kFloodChunkLines = 1000;
std::string FloodChunk(long first, long count) {
  std::string out;
  out.reserve(static_cast<size_t>(count) * 72);
  char line[128];
  for (long i = first; i < first + count; ++i) {
    const uint32_t h = Fnv1a(std::to_string(i));
    const int n = std::snprintf(line, sizeof line,
                                "1018 INFO \"Flood %07ld: player%u's record: %u-%u-%u, rating %u\"\r\n", i,
                                h % 100000, h % 200, (h >> 8) % 150, (h >> 16) % 10, 1000 + (h >> 20) % 1000);
    out.append(line, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace

std::vector<std::string> KnownProducts() {
  std::vector<std::string> codes;
  for (const Product& p : kProducts) codes.emplace_back(p.code);
  return codes;
}

bool IsWellFormedName(const std::string& name) {
  if (name.empty() || name.size() > 15) return false;
  return std::all_of(name.begin(), name.end(), [](char ch) {
    return std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '_' || ch == '[' ||
           ch == ']' || ch == '.';
  });
}

std::vector<std::string> StatsAnswer(const std::string& name, const std::string& product) {
  const Product* p = FindProduct(product);
  if (p == nullptr) return {};
  auto record = [&](const std::string& kind) {
    uint32_t h = Fnv1a(kind + '/' + name + '/' + product);
    return std::to_string(h % 200) + "-" + std::to_string((h >> 8) % 150) + "-" +
           std::to_string((h >> 16) % 10);
  };
  std::vector<std::string> lines{name + "'s record:", "Normal games: " + record("normal")};
  if (p->ladder) {
    uint32_t rating = 1000 + Fnv1a("rating/" + name + '/' + product) % 1000;
    lines.push_back("Ladder games: " + record("ladder") + ", rating " + std::to_string(rating));
  }
  return lines;
}

struct ChatServer::Connection {
  int id = 0;
  int fd = -1;
  bool closed = false;   // fd closed by the serving thread (all fields guarded by mu_)
  bool closing = false;  // shut down by the server; lines still arriving are ignored
  bool firstLine = true;
  bool haveAccount = false;  // the account line of a logon attempt was read
  std::string pendingAccount;
  bool loggedOn = false;
  std::string name;     // unique user name after logon
  std::string channel;  // empty while in no channel
  int joins = 0;        // joins that were carried out (for the redirect)
  int statsAnswered = 0;
  std::string partial;  // received bytes not yet cut into lines
};

ChatServer::ChatServer(ServerOptions options) : options_(std::move(options)) {}

ChatServer::~ChatServer() { Stop(); }

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
  std::vector<Worker> workers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ::close(listenFd_);
    listenFd_ = -1;
    for (Worker& w : workers_) Close(*w.connection);
    workers.swap(workers_);
  }
  // Each serving thread now sees end of stream, leaves its channel and closes its socket.
  for (Worker& w : workers) w.thread.join();
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

int ChatServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connectionCount_;
}

bool ChatServer::WaitFor(const std::function<bool(const ChatServer&)>& condition,
                         std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition(*this)) {
    if (std::chrono::steady_clock::now() >= deadline) return condition(*this);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void ChatServer::SendToAll(const std::string& raw) {
  std::lock_guard<std::mutex> lock(mu_);
  for (Worker& w : workers_) Send(*w.connection, raw);
}

void ChatServer::CloseAll() {
  std::lock_guard<std::mutex> lock(mu_);
  for (Worker& w : workers_) Close(*w.connection);
}

void ChatServer::Close(Connection& c) {
  if (c.closed || c.closing) return;
  c.closing = true;
  // Leave the channel now rather than when the serving thread notices, so that
  // a client reconnecting right away does not find its old self listed.
  Leave(c);
  ::shutdown(c.fd, SHUT_RDWR);
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
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors and the like: back off a little instead of spinning.
      if (errno != EINTR && errno != ECONNABORTED) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A client that stops reading must not hold the server lock for long.
    timeval sendTimeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);

    std::vector<Worker> finished;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) {
        ::close(fd);
        return;
      }
      // Reap the threads of connections that have ended.
      auto done = std::stable_partition(workers_.begin(), workers_.end(),
                                        [](const Worker& w) { return !w.connection->closed; });
      std::move(done, workers_.end(), std::back_inserter(finished));
      workers_.erase(done, workers_.end());

      auto c = std::make_shared<Connection>();
      c->id = ++connectionCount_;
      c->fd = fd;
      Worker w;
      w.connection = c;
      w.thread = std::thread(&ChatServer::Serve, this, c);
      workers_.push_back(std::move(w));
    }
    for (Worker& w : finished) w.thread.join();
  }
}

void ChatServer::Serve(const std::shared_ptr<Connection>& connection) {
  Connection& c = *connection;
  if (!options_.silent && options_.sendPrompts) {
    std::lock_guard<std::mutex> lock(mu_);
    Send(c, "Connection from [127.0.0.1]\r\nEnter your account name and password.\r\nUsername: ");
  }
  char buf[4096];
  bool open = true;
  while (open) {
    ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const auto at = std::chrono::steady_clock::now();
    std::vector<ReceivedLine> received;
    {
      std::lock_guard<std::mutex> lock(mu_);
      chunks_.push_back({c.id, at, std::string(buf, static_cast<size_t>(n))});
      c.partial.append(buf, static_cast<size_t>(n));
      size_t end;
      while ((end = c.partial.find('\n')) != std::string::npos) {
        std::string text = c.partial.substr(0, end);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        c.partial.erase(0, end + 1);
        lines_.push_back({c.id, at, text});
        received.push_back({c.id, at, std::move(text)});
      }
    }
    if (options_.onLine) {
      for (const ReceivedLine& line : received) options_.onLine(line);
    }
    for (const ReceivedLine& line : received) {
      std::lock_guard<std::mutex> lock(mu_);
      if (!HandleLine(c, line.text)) {
        open = false;
        break;
      }
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  Leave(c);
  ::shutdown(c.fd, SHUT_RDWR);
  ::close(c.fd);
  c.closed = true;
}

bool ChatServer::HandleLine(Connection& c, const std::string& raw) {
  if (c.closing) return false;
  if (options_.silent) return true;
  if (!c.loggedOn) return HandleLogonLine(c, raw);

  const std::string line = TrimRight(raw);
  if (line.empty()) return true;
  if (line[0] != '/') {
    if (!c.channel.empty()) {
      for (Connection* other : channels_[c.channel]) {
        if (other != &c) Send(*other, Event("1005 TALK " + c.name + " " + kFlags + " \"" + line + "\""));
      }
    }
    return true;
  }
  const size_t space = line.find_first_of(" \t");
  const std::string command = Lower(line.substr(0, space));
  const std::string arguments = space == std::string::npos ? "" : TrimLeft(line.substr(space));
  if (command == "/join" || command == "/j") {
    HandleJoin(c, arguments);
    return true;
  }
  if (command == "/stats") return HandleStats(c, arguments);
  Send(c, Error("That is not a valid command."));
  return true;
}

bool ChatServer::HandleLogonLine(Connection& c, const std::string& raw) {
  if (!c.haveAccount) {
    // The bot puts 0x03 0x04 before its account name; they are not part of it.
    std::string account = raw;
    if (c.firstLine) {
      size_t skip = 0;
      while (skip < account.size() && (account[skip] == '\x03' || account[skip] == '\x04')) ++skip;
      account.erase(0, skip);
      c.firstLine = false;
    }
    c.pendingAccount = TrimRight(account);
    c.haveAccount = true;
    if (options_.sendPrompts && !options_.closeAfterLogon) Send(c, c.pendingAccount + "\r\nPassword: ");
    return true;
  }
  const std::string account = c.pendingAccount;
  const std::string password = raw;
  c.haveAccount = false;
  if (options_.closeAfterLogon) return false;
  if (options_.sendPrompts) Send(c, kCrLf);
  bool ok = !account.empty();
  if (ok && !options_.accounts.empty()) {
    auto it = options_.accounts.find(account);
    ok = it != options_.accounts.end() && it->second == password;
  }
  if (!ok) {
    Send(c, std::string("Login failed.\r\n") + (options_.sendPrompts ? "Username: " : ""));
    return true;
  }
  LogOn(c, account);
  return true;
}

void ChatServer::LogOn(Connection& c, const std::string& account) {
  c.loggedOn = true;
  c.name = UniqueName(account);
  accountsSeen_.insert(account);
  Send(c, Event("2010 NAME " + c.name));
  if (options_.floodLines > 0) return;  // flood mode: nothing before the flood
  Enter(c, options_.firstChannel, true);
  const size_t accountCount = options_.accounts.empty() ? accountsSeen_.size() : options_.accounts.size();
  std::string welcome = Error("Hello " + c.name + ", welcome!");
  welcome += Info(accountCount == 1 ? std::string("There is 1 user account on this server.")
                                    : "There are " + std::to_string(accountCount) + " user accounts on this server.");
  welcome += Info("");
  welcome += Event("1005 TALK " + c.name + " " + kFlags + " \"You have no mail.\"");
  welcome += Info(options_.firstChannel + " topic: This is the public chat channel.");
  welcome += options_.rawAfterWelcome;
  Send(c, welcome);
}

std::string ChatServer::UniqueName(const std::string& account) const {
  auto taken = [&](const std::string& name) {
    return std::any_of(workers_.begin(), workers_.end(), [&](const Worker& w) {
      const Connection& c = *w.connection;
      return c.loggedOn && !c.closed && !c.closing && c.name == name;
    });
  };
  std::string name = account;
  for (int n = 2; taken(name); ++n) name = account + "#" + std::to_string(n);
  return name;
}

void ChatServer::HandleJoin(Connection& c, const std::string& arguments) {
  const std::string requested = TrimRight(arguments);
  if (requested.empty()) {
    Send(c, Error("Usage: /join <channel>"));
    return;
  }
  if (options_.floodLines > 0 && c.joins == 0) {
    ++c.joins;
    for (long first = 0; first < options_.floodLines && !c.closing; first += kFloodChunkLines) {
      Send(c, FloodChunk(first, std::min(kFloodChunkLines, options_.floodLines - first)));
    }
    Enter(c, options_.floodChannel, false);
    return;
  }
  if (options_.fullChannels.count(requested) != 0) {
    Send(c, Event("1013 CHANNELFULL \"" + requested + "\""));
    return;
  }
  if (options_.restrictedChannels.count(requested) != 0) {
    Send(c, Event("1015 CHANNELRESTRICTED \"" + requested + "\""));
    return;
  }
  std::string target = requested;
  if (!options_.redirectChannel.empty() &&
      (options_.redirectJoins < 0 || c.joins < options_.redirectJoins)) {
    target = options_.redirectChannel;
  }
  ++c.joins;
  Enter(c, target, false);
}

void ChatServer::Enter(Connection& c, const std::string& channel, bool welcome) {
  const bool rejoin = c.channel == channel;
  if (!rejoin) Leave(c);
  std::vector<Connection*>& members = channels_[channel];
  std::string out = Event("1007 CHANNEL \"" + channel + "\"");
  if (!welcome && members.empty() && channel != options_.firstChannel) {
    out += Info("you are now tempOP for this channel");
  }
  for (Connection* m : members) {
    if (m != &c) out += Event("1001 USER " + m->name + " " + kFlags + " [CHAT]");
  }
  if (!welcome) out += Event("1009 USER " + c.name + " " + kFlags);
  out += Event("1001 USER " + c.name + " " + kFlags + " [CHAT]");
  if (!rejoin) {
    for (Connection* m : members) Send(*m, Event("1002 JOIN " + c.name + " " + kFlags + " [CHAT]"));
    members.push_back(&c);
    c.channel = channel;
  }
  Send(c, out);
}

void ChatServer::Leave(Connection& c) {
  if (c.channel.empty()) return;
  auto it = channels_.find(c.channel);
  c.channel.clear();
  if (it == channels_.end()) return;
  std::vector<Connection*>& members = it->second;
  members.erase(std::remove(members.begin(), members.end(), &c), members.end());
  for (Connection* m : members) Send(*m, Event("1003 LEAVE " + c.name + " " + kFlags));
  if (members.empty()) channels_.erase(it);
}

bool ChatServer::HandleStats(Connection& c, const std::string& arguments) {
  if (options_.closeAfterStats >= 0 && c.statsAnswered >= options_.closeAfterStats) return false;
  const std::vector<std::string> words = Words(arguments);
  std::string out;
  if (words.size() < 2) {
    out += Error("Usage: /stats <name> <product>");
    out += Error("<product> is a product code such as SEXP or STAR.");
    out += Error("Example: /stats somebody STAR");
  } else {
    const std::string& name = words[0];
    const std::string product = Upper(words[1]);
    if (FindProduct(product) == nullptr) {
      std::string codes;
      for (const std::string& code : KnownProducts()) codes += (codes.empty() ? "" : ", ") + code;
      out += Error("Unknown product code: " + words[1] + ".");
      out += Error("Known product codes: " + codes + ".");
    } else {
      const bool known = options_.players.empty() ? IsWellFormedName(name) : options_.players.count(name) != 0;
      if (!known) {
        out += Error("Invalid user.");
      } else {
        for (const std::string& text : StatsAnswer(name, product)) out += Info(text);
      }
    }
  }
  Send(c, out);
  ++c.statsAnswered;
  return options_.closeAfterStats < 0 || c.statsAnswered < options_.closeAfterStats;
}

void ChatServer::Send(Connection& c, const std::string& bytes) {
  if (c.closed || c.closing) return;
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(c.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Peer gone or not reading: the stream is broken, end the connection.
      // (Only shut down here: leaving the channel would change the member
      // lists a caller may be iterating; the serving thread does it.)
      c.closing = true;
      ::shutdown(c.fd, SHUT_RDWR);
      return;
    }
    sent += static_cast<size_t>(n);
  }
}

}  // namespace corvane::server
