#include "core/chat_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "server/chat_server.h"
#include "tests/test_support.h"

namespace corvane {
namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::RecordingEnvironment;
using testing_support::ScratchDirectory;
using testing_support::ScriptedEnvironment;
using testing_support::WithoutLogTimes;

// The stand-in server on an ephemeral port, its connections given to
// `scripts`.
std::unique_ptr<server::ChatServer> StartServer(std::vector<server::Script> scripts = {}) {
  server::ServerOptions options;
  options.port = 0;
  options.record = true;
  options.scripts = std::move(scripts);
  auto chat = std::make_unique<server::ChatServer>(options);
  EXPECT_TRUE(chat->Start()) << chat->LastError();
  return chat;
}

// A loopback port that nobody can listen on while the object lives: a socket
// is bound to it but does not listen, so connects to it are refused. A port
// freed by a closed server could be taken by anyone at once. With a
// `backlog`, the socket listens but never accepts: once `backlog` + 1
// connects fill its queue, the kernel drops further SYNs unanswered.
class HeldPort {
 public:
  explicit HeldPort(int backlog = -1) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&address), length));
    if (backlog >= 0) {
      EXPECT_EQ(0, listen(fd_, backlog));
    }
    EXPECT_EQ(0, getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length));
    port_ = ntohs(address.sin_port);
  }
  ~HeldPort() { close(fd_); }
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

// Everything connection 1 of `chat` received, once it holds `count` bytes.
std::string Received(const server::ChatServer& chat, std::size_t count) {
  std::string bytes;
  chat.WaitFor(
      [&](const server::ChatServer& s) {
        bytes.clear();
        for (const server::ReceivedChunk& chunk : s.Chunks()) bytes += chunk.bytes;
        return bytes.size() >= count;
      },
      std::chrono::seconds(5));
  return bytes;
}

TEST(ChatConnection, ConfigureCopiesTextsAndLoggedOnNameFollowsTheServer) {
  ScriptedEnvironment environment;
  ChatConnection connection(environment);
  EXPECT_EQ(kInvalidSocket, connection.socket());
  EXPECT_EQ(6112, connection.port());
  connection.Configure("statbot", "secret1", "chat.example.org", 4000);
  connection.SetHomeChannel("Clan Home");
  EXPECT_STREQ("statbot", connection.userName());
  EXPECT_STREQ("statbot", connection.loggedOnName());
  EXPECT_STREQ("secret1", connection.password());
  EXPECT_STREQ("chat.example.org", connection.serverHost());
  EXPECT_STREQ("Clan Home", connection.homeChannel());
  EXPECT_EQ(4000, connection.port());

  connection.DispatchEventLine("2010 NAME statbot#2\r");
  EXPECT_STREQ("statbot#2", connection.loggedOnName());
  EXPECT_STREQ("statbot", connection.userName());
}

TEST(ChatConnection, LongChannelNameIsCutToTheField) {
  ScriptedEnvironment environment;
  ChatConnection connection(environment);
  std::string name(200, 'c');
  connection.DispatchEventLine(("1007 CHANNEL \"" + name + "\"").c_str());
  EXPECT_EQ(std::string(127, 'c'), connection.currentChannel());
}

TEST(ChatConnection, LogSlotKeepsItsFirstFileAndWritesLinesAtOnce) {
  ScratchDirectory scratch;
  ScriptedEnvironment environment;
  const std::string kAt = "2026-12-09T06:30:05Z ";
  {
    ChatConnection connection(environment);
    EXPECT_EQ(0, connection.WriteLog("nothing %d", 1));
    EXPECT_FALSE(FileExists("first.log")) << "no file without an open log";

    ASSERT_EQ(1, connection.OpenLog("first.log"));
    EXPECT_EQ(0, connection.OpenLog("second.log"));
    EXPECT_FALSE(FileExists("second.log"));
    EXPECT_EQ(1, connection.WriteLog("line %d", 1));
    // Flushed as written: visible before the log is closed.
    // Each line begins with the clock's UTC time.
    EXPECT_EQ(kAt + "line 1\r\n", ReadFile("first.log"));
    EXPECT_EQ(1, connection.WriteLog("%s", std::string(2000, 'w').c_str()));
    EXPECT_EQ(kAt + "line 1\r\n" + kAt + std::string(1023, 'w') + "\r\n", ReadFile("first.log"));
    EXPECT_EQ(1, connection.WriteLog("%%s %s", "%n%s")) << "arguments are never read as formats";
  }
  // Destruction closed the log; a new run appends.
  ChatConnection again(environment);
  ASSERT_EQ(1, again.OpenLog("first.log"));
  environment.utcTime += 3600 * 24 + 1;
  again.WriteLog("second run");
  again.CloseLog();
  again.CloseLog();
  EXPECT_EQ(1, again.OpenLog("second.log"));
  EXPECT_EQ(kAt + "line 1\r\n" + kAt + std::string(1023, 'w') + "\r\n" + kAt +
                "%s %n%s\r\n2026-12-10T06:30:06Z second run\r\n",
            ReadFile("first.log"));

  again.CloseLog();
  EXPECT_EQ(0, again.OpenLog("no-such-folder/x.log"));
  EXPECT_FALSE(again.logIsOpen());
  EXPECT_EQ(0, again.WriteLog("lost"));
}

TEST(ChatConnection, NumericHostsSkipNameResolutionAndNamesUseIt) {
  auto chat = StartServer();
  struct Case {
    const char* host;
    int connected;
    int dotted;
    int named;
    int opened;
  };
  const Case cases[] = {
      {"127.0.0.1", 1, 1, 0, 1},
      {"localhost", 1, 0, 1, 1},
      {"no-such-host.invalid", 0, 0, 1, 0},
      {"", 0, 1, 0, 1},  // handed to the dotted-address parser as it is
  };
  for (const Case& c : cases) {
    RecordingEnvironment environment;
    ChatConnection connection(environment);
    connection.Configure("bot", "pw", c.host, chat->Port());
    EXPECT_EQ(c.connected, connection.Connect()) << c.host;
    EXPECT_EQ(c.dotted, environment.dottedAddressCalls) << c.host;
    EXPECT_EQ(c.named, environment.hostNameCalls) << c.host;
    EXPECT_EQ(c.opened, environment.socketsOpened) << c.host;
    EXPECT_EQ(c.opened == 1, connection.socket() != kInvalidSocket) << c.host;
    connection.Disconnect();
    EXPECT_EQ(kInvalidSocket, connection.socket());
    connection.Disconnect();
    EXPECT_EQ(static_cast<std::size_t>(c.opened), environment.socketsClosed.size());
  }
}

TEST(ChatConnection, ConnectAndJoinLogsOnWaitsFiveSecondsAndJoins) {
  ScriptedEnvironment environment;
  environment.connectFailures = 2;
  ChatConnection connection(environment);
  connection.Configure("statbot", "secret1", "127.0.0.1", 6112);
  connection.SetHomeChannel("Clan Home");
  ASSERT_EQ(1, connection.ConnectAndJoin());
  EXPECT_EQ(std::string("\x03\x04statbot\r\nsecret1\r\n/join Clan Home\r\n"), environment.sent);
  EXPECT_EQ((std::vector<unsigned>{2000, 2000, 5000}), environment.sleeps);
  EXPECT_EQ(std::vector<unsigned>(3, 10000), environment.connectTimeouts) << "each attempt bounded by 10 s";
  EXPECT_EQ(3, environment.socketsOpened);
  EXPECT_EQ((std::vector<SocketHandle>{101, 102}), environment.socketsClosed)
      << "each failed attempt's socket is closed before the next attempt";
  EXPECT_EQ(103, connection.socket());
}

TEST(ChatConnection, ConnectAndJoinGivesUpAfterTenRefusedAttemptsAndLogsEach) {
  ScratchDirectory scratch;
  HeldPort held;
  const std::uint16_t closedPort = held.port();
  RecordingEnvironment environment;
  ChatConnection connection(environment);
  ASSERT_EQ(1, connection.OpenLog("corvane.log"));
  connection.Configure("bot", "pw", "127.0.0.1", closedPort);
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, connection.ConnectAndJoin());
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::vector<unsigned>(10, 2000), environment.sleeps);
  EXPECT_EQ(10, environment.socketsOpened);
  EXPECT_EQ(10u, environment.socketsClosed.size());
  EXPECT_EQ(kInvalidSocket, connection.socket());
  std::string line = "Cannot connect to 127.0.0.1, port " + std::to_string(closedPort) + ": error code " +
                     std::to_string(ECONNREFUSED) + "\r\n";
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += line;
  EXPECT_EQ(expected, WithoutLogTimes(ReadFile("corvane.log")));
  // The console (and a service's journal) is told each attempt too.
  std::string told;
  for (int i = 0; i < 10; ++i) told += line.substr(0, line.size() - 2) + "\n";
  EXPECT_EQ(told, errors);
}

TEST(ChatConnection, APlatformConnectNobodyAnswersEndsAtItsBound) {
  HeldPort full(0);
  // One connect fills the listener's queue; from then on its SYNs go
  // unanswered, as a host that drops packets leaves them.
  int queued = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(full.port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  pollfd watched{queued, POLLOUT, 0};
  ASSERT_EQ(1, poll(&watched, 1, 10000)) << "the queued connect completes";

  RecordingEnvironment environment;
  SocketHandle socket = environment.OpenTcpSocket();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, environment.ConnectSocket(socket, address.sin_addr.s_addr, full.port(), 300));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(static_cast<unsigned long>(ETIMEDOUT), environment.GetLastError());
  EXPECT_LT(elapsed, std::chrono::seconds(20)) << "bounded, not the system's two minutes";
  EXPECT_EQ(0, fcntl(static_cast<int>(socket), F_GETFL) & O_NONBLOCK) << "the socket blocks again";
  environment.CloseSocket(socket);
  close(queued);
}

TEST(ChatConnection, AnUnknownHostNameIsLoggedWithTheResolversCode) {
  ScratchDirectory scratch;
  RecordingEnvironment environment;
  ChatConnection connection(environment);
  ASSERT_EQ(1, connection.OpenLog("corvane.log"));
  connection.Configure("bot", "pw", "no-such-host.invalid", 6112);
  EXPECT_EQ(0, connection.Connect());
  const std::string log = WithoutLogTimes(ReadFile("corvane.log"));
  const std::string start =
      "Cannot resolve the chat server's name no-such-host.invalid, port 6112: error code ";
  ASSERT_EQ(0u, log.find(start)) << log;
  const int code = std::stoi(log.substr(start.size()));
  EXPECT_TRUE(code == HOST_NOT_FOUND || code == TRY_AGAIN || code == NO_RECOVERY || code == NO_DATA)
      << "h_errno, not errno: " << log;
}

TEST(ChatConnection, SendDeliversWholeLinesThroughPartialSends) {
  auto chat = StartServer();
  RecordingEnvironment environment;
  environment.largestSend = 3;
  ChatConnection connection(environment);
  connection.Configure("statbot", "secret1", "127.0.0.1", chat->Port());
  ASSERT_EQ(1, connection.Connect());
  ASSERT_EQ(1, connection.Logon());
  ASSERT_EQ(1, connection.Send("/stats %s SEXP\r\n", "%s%n"));
  std::string expected = std::string("\x03\x04statbot\r\nsecret1\r\n") + "/stats %s%n SEXP\r\n";
  EXPECT_EQ(expected, Received(*chat, expected.size()));
  connection.Disconnect();
}

TEST(ChatConnection, SendFailsCleanlyOnAClosedPeerAndOnOverlongLines) {
  auto chat = StartServer({[](server::ScriptedConnection& c) { c.Close(); }});
  RecordingEnvironment environment;
  ChatConnection connection(environment);
  connection.Configure("bot", "pw", "127.0.0.1", chat->Port());
  EXPECT_EQ(0, connection.Send("/join x\r\n")) << "no socket yet";
  ASSERT_EQ(1, connection.Connect());
  ASSERT_TRUE(chat->WaitFor([](const server::ChatServer& s) { return s.ConnectionEnded(1); },
                            std::chrono::seconds(20)))
      << "the stand-in never closed";
  // The peer is closed now, but the first sends may still be taken by the
  // kernel until its reset comes back: send until one fails.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int result = 1;
  while (result == 1 && std::chrono::steady_clock::now() < deadline) {
    result = connection.Send("%s\r\n", std::string(200, 'x').c_str());
    usleep(1000);
  }
  EXPECT_EQ(0, result) << "and the process is still alive: no SIGPIPE";
  connection.Disconnect();

  ScriptedEnvironment scripted;
  ChatConnection overlong(scripted);
  overlong.Configure("bot", "pw", "127.0.0.1", 6112);
  ASSERT_EQ(1, overlong.Connect());
  EXPECT_EQ(0, overlong.Send("%s\r\n", std::string(254, 'y').c_str()));
  EXPECT_EQ("", scripted.sent) << "a cut line would run into the next command";
  EXPECT_EQ(1, overlong.Send("%s\r\n", std::string(253, 'y').c_str()));
  EXPECT_EQ(255u, scripted.sent.size());

  ScriptedEnvironment failing;
  failing.failSendAfter = 4;
  ChatConnection broken(failing);
  broken.Configure("bot", "pw", "127.0.0.1", 6112);
  ASSERT_EQ(1, broken.Connect());
  EXPECT_EQ(0, broken.Send("/join home\r\n"));
  EXPECT_EQ("/joi", failing.sent);
}

}  // namespace
}  // namespace corvane
