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

using Clock = std::chrono::steady_clock;

constexpr const char* kFlags = "0010";
constexpr const char* kCrLf = "\r\n";

// The answer to a logon the server does not take; the next prompt has no
// line end.
constexpr const char* kLoginFailed = "Login failed.\r\n";
constexpr const char* kLoginFailedPrompt = "Login failed.\r\n\r\nUsername: ";

// Flood protection: what counts within the window, and the limits.
constexpr size_t kCharactersPerCount = 40;
constexpr int kMostCarriedOut = 4;
constexpr int kCountThatCloses = 10;
constexpr size_t kLongestLine = 200;

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

// The element of `names` equal to `name` without letter case, or "".
std::string FindWithoutCase(const std::set<std::string>& names, const std::string& name) {
  const std::string key = Lower(name);
  for (const std::string& candidate : names) {
    if (Lower(candidate) == key) return candidate;
  }
  return "";
}

std::string Event(const std::string& body) { return body + kCrLf; }
std::string Info(const std::string& text) { return Event("1018 INFO \"" + text + "\""); }
std::string Error(const std::string& text) { return Event("1019 ERROR \"" + text + "\""); }

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// True when the client has closed its end of `fd` (its FIN or a reset has
// arrived, even behind unread bytes).
bool ClientHasGone(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Sends all of `bytes` on `fd`; false when the client's side is gone.
bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

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

// Games won, lost and drawn, from the bits of `h`.
struct Games {
  uint32_t won, lost, drawn;
  explicit Games(uint32_t h) : won(h % 200), lost((h >> 8) % 150), drawn((h >> 16) % 10) {}
};

}  // namespace

bool IsWellFormedName(const std::string& name) {
  if (name.empty() || name.size() > 15) return false;
  return std::all_of(name.begin(), name.end(), [](char ch) {
    return std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '_' || ch == '[' || ch == ']' ||
           ch == '.';
  });
}

std::vector<std::string> StatsAnswer(const std::string& name, const std::string& product) {
  if (product.size() != 4) return {};
  const std::string code = Upper(product);
  const std::string who = Lower(name);
  auto hash = [&](const std::string& what) { return Fnv1a(what + '/' + who + '/' + code); };
  const std::string heading = name + "'s record:";
  if (code == "SEXP") {
    const std::string tag = hash("rank") % 2 == 0 ? "[rank] " : "";
    auto points = [&](const std::string& kind, uint32_t pts) {
      const Games g(hash(kind));
      return kind + " games: " + tag + std::to_string(pts) + " pts (" + std::to_string(g.won) + "/" +
             std::to_string(g.lost) + "/" + std::to_string(g.drawn) + ")";
    };
    return {heading, points("Ladder", 1000 + hash("points") % 1000), points("Normal", 0)};
  }
  auto record = [](const Games& g) {
    return std::to_string(g.won) + "-" + std::to_string(g.lost) + "-" + std::to_string(g.drawn);
  };
  if (code != "STAR") return {heading, "Normal games: 0-0-0", "Ladder games: 0-0-0"};
  const bool rated = hash("rated") % 3 != 0;
  const std::string ladder =
      rated ? record(Games(hash("Ladder"))) + " (rating " + std::to_string(1000 + hash("rating") % 1000) + ")"
            : "0-0-0";
  return {heading, "Normal games: " + record(Games(hash("Normal"))), "Ladder games: " + ladder};
}

struct ChatServer::Connection {
  int id = 0;
  int fd = -1;           // -1 once closed
  bool closed = false;   // the serving thread is done (all fields guarded by mu_)
  bool closing = false;  // shut down by the server; lines still arriving are ignored
  bool firstLine = true;
  bool haveAccount = false;  // the account line of a logon attempt was read
  std::string pendingAccount;
  bool loggedOn = false;
  std::string name;     // the account as logged on
  std::string channel;  // the channel's key (name without letter case); empty while in none
  int joins = 0;        // joins that were carried out (for the redirect)
  int statsAnswered = 0;
  std::string partial;                                    // received bytes not yet cut into lines
  std::deque<std::pair<Clock::time_point, int>> counted;  // flood counts within the window
};

ChatServer::ChatServer(ServerOptions options) : options_(std::move(options)) {
  // Channels the options name keep the options' spelling.
  std::vector<std::string> named = {options_.firstChannel, options_.redirectChannel, options_.floodChannel};
  named.insert(named.end(), options_.channels.begin(), options_.channels.end());
  named.insert(named.end(), options_.fullChannels.begin(), options_.fullChannels.end());
  named.insert(named.end(), options_.restrictedChannels.begin(), options_.restrictedChannels.end());
  for (const std::string& name : named) {
    if (!name.empty()) spellings_.emplace(Lower(name), name);
  }
}

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
    std::vector<Connection*> remaining;
    for (Worker& w : workers_) {
      if (w.connection->loggedOn && !w.connection->closing && !w.connection->closed) {
        remaining.push_back(w.connection.get());
      }
    }
    const std::string notice = Error("The server will shut down in 1 second. (" +
                                     std::to_string(remaining.size()) + " connections remaining).");
    for (Connection* c : remaining) Send(*c, notice);
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

std::vector<ReceivedLine> ChatServer::LinesOf(int connection) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ReceivedLine> lines;
  for (const ReceivedLine& line : lines_) {
    if (line.connection == connection) lines.push_back(line);
  }
  return lines;
}

int ChatServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connectionCount_;
}

bool ChatServer::ConnectionEnded(int connection) const {
  std::lock_guard<std::mutex> lock(mu_);
  return ended_.count(connection) != 0;
}

uint16_t ChatServer::ClientPort(int connection) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (connection < 1 || static_cast<size_t>(connection) > clientPorts_.size()) return 0;
  return clientPorts_[static_cast<size_t>(connection) - 1];
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
  for (Worker& w : workers_) Send(*w.connection, raw);
}

void ChatServer::CloseAll() {
  std::lock_guard<std::mutex> lock(mu_);
  for (Worker& w : workers_) Close(*w.connection);
}

void ChatServer::Close(int connection) {
  std::lock_guard<std::mutex> lock(mu_);
  for (Worker& w : workers_) {
    if (w.connection->id == connection) Close(*w.connection);
  }
}

void ChatServer::Close(Connection& c) {
  if (c.closed || c.closing || c.fd < 0) return;
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
      clientPorts_.push_back(ntohs(client.sin_port));
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
  const size_t index = static_cast<size_t>(c.id) - 1;
  if (index < options_.scripts.size()) {
    ScriptedConnection scripted(*this, c);
    options_.scripts[index](scripted);
  } else {
    if (!options_.silent && options_.sendPrompts) {
      std::lock_guard<std::mutex> lock(mu_);
      Send(c, "Connection from [127.0.0.1]\r\nEnter your account name and password.\r\nUsername: ");
    }
    ServeLines(c);
  }
  std::lock_guard<std::mutex> lock(mu_);
  Leave(c);
  if (c.fd >= 0) {
    ::shutdown(c.fd, SHUT_RDWR);
    ::close(c.fd);
    c.fd = -1;
  }
  c.closed = true;
  ended_.insert(c.id);
}

void ChatServer::ServeLines(Connection& c) {
  char buf[4096];
  for (;;) {
    ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::vector<ReceivedLine> received;
    {
      std::lock_guard<std::mutex> lock(mu_);
      Receive(c, buf, static_cast<size_t>(n), &received);
    }
    if (options_.onLine) {
      for (const ReceivedLine& line : received) options_.onLine(line);
    }
    for (const ReceivedLine& line : received) {
      std::lock_guard<std::mutex> lock(mu_);
      if (!HandleLine(c, line)) return;
    }
  }
}

void ChatServer::Receive(Connection& c, const char* bytes, size_t count, std::vector<ReceivedLine>* lines) {
  const auto at = Clock::now();
  chunks_.push_back({c.id, at, std::string(bytes, count)});
  c.partial.append(bytes, count);
  size_t end;
  while ((end = c.partial.find('\n')) != std::string::npos) {
    std::string text = c.partial.substr(0, end);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    c.partial.erase(0, end + 1);
    lines_.push_back({c.id, at, text});
    lines->push_back({c.id, at, std::move(text)});
  }
}

bool ChatServer::HandleLine(Connection& c, const ReceivedLine& line) {
  if (c.closing) return false;
  if (options_.silent) return true;
  if (!c.loggedOn) return HandleLogonLine(c, line.text);
  if (options_.floodProtection) {
    const int verdict = FloodVerdict(c, line);
    if (verdict == 2) return false;  // closed without a word
    if (verdict == 1) {
      Send(c, Error("Your message quota has been exceeded!") +
                  Error("You are sending commands to the server too quickly and risk being disconnected "
                        "for flooding. Please slow down."));
      return true;
    }
  }
  if (line.text.size() > kLongestLine) return true;  // refused
  return HandleCommand(c, line.text);
}

int ChatServer::FloodVerdict(Connection& c, const ReceivedLine& line) {
  while (!c.counted.empty() && line.at - c.counted.front().first >= options_.floodWindow)
    c.counted.pop_front();
  const int count = static_cast<int>(
      std::max<size_t>(1, (line.text.size() + kCharactersPerCount - 1) / kCharactersPerCount));
  c.counted.emplace_back(line.at, count);
  int total = 0;
  for (const auto& entry : c.counted) total += entry.second;
  if (total >= kCountThatCloses) return 2;
  return total > kMostCarriedOut ? 1 : 0;
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
  std::string account = c.pendingAccount;
  const std::string& password = raw;
  c.haveAccount = false;
  if (options_.closeAfterLogon) return false;
  if (options_.sendPrompts) Send(c, kCrLf);
  bool ok = !account.empty();
  if (ok && !options_.accounts.empty()) {
    auto it = std::find_if(options_.accounts.begin(), options_.accounts.end(),
                           [&](const auto& entry) { return Lower(entry.first) == Lower(account); });
    ok = it != options_.accounts.end() && it->second == password;
    if (ok) account = it->first;
  }
  if (ok && logonsRefused_ < options_.refuseLogons) {
    ++logonsRefused_;
    ok = false;
  }
  // A second logon of an account that is still connected is refused; the
  // first session goes on.
  if (ok && IsLoggedOnElsewhere(c, account)) ok = false;
  if (!ok) {
    Send(c, options_.sendPrompts ? kLoginFailedPrompt : kLoginFailed);
    return true;
  }
  LogOn(c, account, true);
  return true;
}

bool ChatServer::IsLoggedOnElsewhere(const Connection& c, const std::string& account) const {
  return std::any_of(workers_.begin(), workers_.end(), [&](const Worker& w) {
    const Connection& other = *w.connection;
    // A session whose client has already gone is over: the server only has
    // not read the end of its stream yet.
    return &other != &c && other.loggedOn && !other.closed && !other.closing && other.fd >= 0 &&
           Lower(other.name) == Lower(account) && !ClientHasGone(other.fd);
  });
}

void ChatServer::LogOn(Connection& c, const std::string& account, bool welcome) {
  c.loggedOn = true;
  c.name = account;
  accountsSeen_.insert(Lower(account));
  Send(c, Event("2010 NAME " + c.name));
  if (!welcome || options_.floodLines > 0) return;  // flood mode: nothing before the flood
  Enter(c, options_.firstChannel, true);
  const size_t accountCount = options_.accounts.empty() ? accountsSeen_.size() : options_.accounts.size();
  std::string burst = Error("Hello " + c.name + ", welcome!");
  burst += Info(accountCount == 1
                    ? std::string("There is 1 user account on this server.")
                    : "There are " + std::to_string(accountCount) + " user accounts on this server.");
  burst += Info("");
  burst += Event("1005 TALK " + c.name + " " + kFlags + " \"You have no mail.\"");
  burst += Info(options_.firstChannel + " topic: This is the public chat channel.");
  burst += options_.rawAfterWelcome;
  Send(c, burst);
}

bool ChatServer::HandleCommand(Connection& c, const std::string& raw) {
  const std::string line = TrimRight(raw);
  if (line.empty()) return true;
  if (line[0] != '/') {
    HandleTalk(c, line);
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
  Send(c, Error("Unknown command."));
  return true;
}

void ChatServer::HandleTalk(Connection& c, const std::string& text) {
  bool heard = false;
  auto it = channels_.find(c.channel);
  if (it != channels_.end()) {
    for (Connection* other : it->second.members) {
      if (other == &c) continue;
      Send(*other, Event("1005 TALK " + c.name + " " + kFlags + " \"" + text + "\""));
      heard = true;
    }
  }
  if (!heard) Send(c, Info("No one hears you."));
}

void ChatServer::HandleJoin(Connection& c, const std::string& arguments) {
  // The channel is the argument's first word.
  const std::vector<std::string> words = Words(arguments);
  if (words.empty()) {
    Send(c, Error("Usage: /join <channel>"));
    return;
  }
  const std::string& requested = words[0];
  // Already there: the server says nothing at all.
  if (!c.channel.empty() && Lower(requested) == c.channel) return;
  if (options_.floodLines > 0 && c.joins == 0) {
    ++c.joins;
    for (long first = 0; first < options_.floodLines && !c.closing; first += kFloodChunkLines) {
      Send(c, FloodChunk(first, std::min(kFloodChunkLines, options_.floodLines - first)));
    }
    Enter(c, options_.floodChannel, false);
    return;
  }
  const std::string full = FindWithoutCase(options_.fullChannels, requested);
  if (!full.empty()) {
    Send(c, Event("1013 CHANNELFULL \"" + full + "\""));
    return;
  }
  const std::string restricted = FindWithoutCase(options_.restrictedChannels, requested);
  if (!restricted.empty()) {
    Send(c, Event("1015 CHANNELRESTRICTED \"" + restricted + "\""));
    return;
  }
  std::string target = requested;
  if (!options_.redirectChannel.empty() && (options_.redirectJoins < 0 || c.joins < options_.redirectJoins)) {
    target = options_.redirectChannel;
  }
  ++c.joins;
  Enter(c, target, false);
}

std::string ChatServer::ChannelSpelling(const std::string& name) {
  return spellings_.emplace(Lower(name), name).first->second;
}

void ChatServer::Enter(Connection& c, const std::string& requested, bool welcome) {
  const std::string name = ChannelSpelling(requested);
  const std::string key = Lower(name);
  const bool again = c.channel == key;
  if (!again) Leave(c);
  Channel& channel = channels_[key];
  channel.name = name;
  const bool tempOp = !welcome && channel.members.empty() && key != Lower(options_.firstChannel);
  std::string out = Event("1007 CHANNEL \"" + name + "\"");
  if (tempOp) out += Info("you are now tempOP for this channel");
  for (Connection* m : channel.members) {
    if (m != &c) out += Event("1001 USER " + m->name + " " + kFlags + " [CHAT]");
  }
  if (!welcome) out += Event("1009 USER " + c.name + " " + kFlags);
  out += Event("1001 USER " + c.name + " " + kFlags + " [CHAT]");
  if (tempOp) out += Event("1009 USER " + c.name + " 0002");
  if (!again) {
    for (Connection* m : channel.members) Send(*m, Event("1002 JOIN " + c.name + " " + kFlags + " [CHAT]"));
    channel.members.push_back(&c);
    c.channel = key;
  }
  Send(c, out);
}

void ChatServer::Leave(Connection& c) {
  if (c.channel.empty()) return;
  auto it = channels_.find(c.channel);
  c.channel.clear();
  if (it == channels_.end()) return;
  std::vector<Connection*>& members = it->second.members;
  members.erase(std::remove(members.begin(), members.end(), &c), members.end());
  for (Connection* m : members) Send(*m, Event("1003 LEAVE " + c.name + " " + kFlags));
  if (members.empty()) channels_.erase(it);
}

bool ChatServer::HandleStats(Connection& c, const std::string& arguments) {
  if (options_.closeAfterStats >= 0 && c.statsAnswered >= options_.closeAfterStats) return false;
  const std::vector<std::string> words = Words(arguments);
  std::string out;
  if (words.size() < 2 || words[1].size() != 4) {
    out += Error("This game does not support win/loss records.");
    out += Error("You must supply a user name and a valid program ID.");
    out += Error("Example: /stats joe STAR");
  } else {
    // The player's own spelling, or "" for a player the server does not know.
    const std::string player = options_.players.empty() ? (IsWellFormedName(words[0]) ? words[0] : "")
                                                        : FindWithoutCase(options_.players, words[0]);
    if (player.empty()) {
      out += Error("Invalid user.");
    } else {
      for (const std::string& text : StatsAnswer(player, words[1])) out += Info(text);
    }
  }
  Send(c, out);
  ++c.statsAnswered;
  return options_.closeAfterStats < 0 || c.statsAnswered < options_.closeAfterStats;
}

void ChatServer::Send(Connection& c, const std::string& bytes) {
  if (c.closed || c.closing || c.fd < 0) return;
  if (!SendAll(c.fd, bytes)) {
    // Peer gone or not reading: the stream is broken, end the connection.
    // (Only shut down here: leaving the channel would change the member
    // lists a caller may be iterating; the serving thread does it.)
    c.closing = true;
    ::shutdown(c.fd, SHUT_RDWR);
  }
}

// ---------------------------------------------------------------- scripts

int ScriptedConnection::id() const { return connection_.id; }

bool ScriptedConnection::ReadMore(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(server_.mu_);
      if (server_.stopping_ || connection_.fd < 0) return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    // Short polls, so that a stopping server is noticed.
    pollfd p{connection_.fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, 100)));
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0) break;
    if (Clock::now() >= deadline) return false;
  }
  char buf[4096];
  ssize_t n;
  do {
    n = ::recv(connection_.fd, buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  std::vector<ReceivedLine> received;
  {
    std::lock_guard<std::mutex> lock(server_.mu_);
    server_.Receive(connection_, buf, static_cast<size_t>(n), &received);
  }
  for (const ReceivedLine& line : received) {
    if (server_.options_.onLine) server_.options_.onLine(line);
    unread_.push_back(line);
  }
  return true;
}

bool ScriptedConnection::ReadLine(std::string* line, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (unread_.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !ReadMore(left)) return false;
  }
  *line = unread_.front().text;
  unread_.pop_front();
  return true;
}

bool ScriptedConnection::ReadUntil(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string line;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !ReadLine(&line, left)) return false;
    if (line == text) return true;
  }
}

bool ScriptedConnection::Send(const std::string& bytes) {
  // The socket stays open while the script runs (only this thread closes
  // it), so the bytes go out without the server's lock.
  return connection_.fd >= 0 && SendAll(connection_.fd, bytes);
}

bool ScriptedConnection::SendByteByByte(const std::string& bytes, std::chrono::milliseconds pause) {
  for (char ch : bytes) {
    if (!Send(std::string(1, ch))) return false;
    std::this_thread::sleep_for(pause);
  }
  return true;
}

void ScriptedConnection::Reset() { CloseSocket(true); }

void ScriptedConnection::Close() { CloseSocket(false); }

void ScriptedConnection::CloseSocket(bool reset) {
  std::lock_guard<std::mutex> lock(server_.mu_);
  if (connection_.fd < 0) return;
  server_.Leave(connection_);
  if (reset) {
    // Closing with a zero linger time sends RST instead of FIN.
    linger abort{1, 0};
    ::setsockopt(connection_.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  ::close(connection_.fd);
  connection_.fd = -1;
  connection_.closing = true;
}

void ScriptedConnection::ShutdownSending() {
  if (connection_.fd >= 0) ::shutdown(connection_.fd, SHUT_WR);
}

bool ScriptedConnection::Welcome() {
  std::string account, password, line;
  if (!ReadLine(&account) || !ReadLine(&password)) return false;
  account.erase(0, account.find_first_not_of("\x03\x04"));
  do {
    if (!ReadLine(&line)) return false;
  } while (line.rfind("/join ", 0) != 0);
  {
    std::lock_guard<std::mutex> lock(server_.mu_);
    connection_.firstLine = false;
    server_.LogOn(connection_, account, false);
  }
  return connection_.fd >= 0;
}

void ScriptedConnection::Converse(const std::string& channel) {
  {
    std::lock_guard<std::mutex> lock(server_.mu_);
    if (connection_.fd < 0) return;
    server_.Enter(connection_, channel, false);
    // Lines the script received but did not read are the server's now.
    while (!unread_.empty()) {
      const ReceivedLine line = unread_.front();
      unread_.pop_front();
      if (!server_.HandleLine(connection_, line)) return;
    }
  }
  server_.ServeLines(connection_);
}

}  // namespace corvane::server
