// The Windows environment over real Windows Sockets 1.1 on loopback, and the
// chat client's connection through it. Built only for Windows (run under
// wine); linked with the test builds' platform, whose pauses are divided by 50.
#include <gtest/gtest.h>
#include <winsock.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/chat_connection.h"
#include "platform/environment.h"

namespace corvane {
namespace {

const unsigned short kVersionOneOne = 0x0101;

// A loopback listener on an ephemeral port, over the same socket library.
class Listener {
 public:
  Listener() {
    socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = Loopback(0);
    int length = sizeof(address);
    if (bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(socket_, 8) != 0 ||
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      port_ = 0;
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { closesocket(socket_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  std::uint16_t port() const { return port_; }
  SOCKET Accept() { return accept(socket_, nullptr, nullptr); }

  static sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
  }

 private:
  SOCKET socket_;
  std::uint16_t port_;
};

std::string ReadExactly(SOCKET peer, std::size_t count) {
  std::string bytes;
  char buffer[512];
  while (bytes.size() < count) {
    std::size_t want = std::min(sizeof(buffer), count - bytes.size());
    int got = recv(peer, buffer, static_cast<int>(want), 0);
    if (got <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return bytes;
}

// Every test runs with the socket library started through the environment,
// as the program starts it, and stops it afterwards.
class WindowsEnvironmentTest : public testing::Test {
 protected:
  void SetUp() override {
    unsigned short reported = 0;
    ASSERT_EQ(1, environment_.StartSocketLibrary(kVersionOneOne, &reported));
    ASSERT_EQ(kVersionOneOne, reported);
  }
  void TearDown() override { environment_.StopSocketLibrary(); }

  // A socket of the environment connected to `listener`, and the accepted
  // peer in *peer.
  SocketHandle ConnectTo(Listener& listener, SOCKET* peer) {
    SocketHandle socket = environment_.OpenTcpSocket();
    EXPECT_NE(kInvalidSocket, socket);
    EXPECT_EQ(1, environment_.ConnectSocket(socket, environment_.ParseDottedAddress("127.0.0.1"),
                                            listener.port(), kConnectTimeoutMs));
    *peer = listener.Accept();
    EXPECT_NE(INVALID_SOCKET, *peer);
    return socket;
  }

  Environment& environment_ = DefaultEnvironment();
};

TEST_F(WindowsEnvironmentTest, StartUpReportsTheVersionTheLibraryOffers) {
  // The reported version comes from the library, not from the request: the
  // stat checker's version check depends on that. A second start nests
  // inside the fixture's and needs its own stop.
  unsigned short reported = 0;
  ASSERT_EQ(1, environment_.StartSocketLibrary(0x0202, &reported));
  EXPECT_EQ(0x0202, reported);
  environment_.StopSocketLibrary();
  reported = 0x4242;
  EXPECT_EQ(0, environment_.StartSocketLibrary(0x0000, &reported)) << "version 0.0 does not exist";
  EXPECT_EQ(0x4242, reported) << "nothing is stored when the start fails";
}

TEST_F(WindowsEnvironmentTest, DottedAddressesParseAndNamesResolve) {
  EXPECT_EQ(htonl(0x7f000001), environment_.ParseDottedAddress("127.0.0.1"));
  EXPECT_EQ(htonl(0x0a010203), environment_.ParseDottedAddress("10.1.2.3"));
  EXPECT_EQ(0xffffffffu, environment_.ParseDottedAddress("chat.example.org"));

  std::uint32_t address = 0;
  ASSERT_EQ(1, environment_.ResolveHostName("localhost", &address));
  EXPECT_EQ(htonl(0x7f000001), address);
  EXPECT_EQ(0, environment_.ResolveHostName("no-such-host.invalid", &address));
}

TEST_F(WindowsEnvironmentTest, BytesTravelBothWaysAndAClosedPeerReadsAsZero) {
  Listener listener;
  ASSERT_NE(0, listener.port());
  SOCKET peer = INVALID_SOCKET;
  SocketHandle socket = ConnectTo(listener, &peer);

  EXPECT_EQ(0, environment_.WaitReadable(socket, 0)) << "nothing sent yet";
  const std::string line = "\x03\x04statbot\r\n";
  EXPECT_EQ(static_cast<long>(line.size()), environment_.SendSome(socket, line.data(), line.size()));
  EXPECT_EQ(line, ReadExactly(peer, line.size()));

  const char answer[] = "1018 INFO \"hello\"\r\n";
  ASSERT_EQ(static_cast<int>(sizeof(answer) - 1), send(peer, answer, sizeof(answer) - 1, 0));
  EXPECT_GT(environment_.WaitReadable(socket, 5), 0);
  char buffer[64];
  long received = environment_.Receive(socket, buffer, sizeof(buffer));
  ASSERT_EQ(static_cast<long>(sizeof(answer) - 1), received);
  EXPECT_EQ(std::string(answer), std::string(buffer, static_cast<std::size_t>(received)));

  closesocket(peer);
  EXPECT_GT(environment_.WaitReadable(socket, 5), 0) << "a close makes the socket readable";
  EXPECT_EQ(0, environment_.Receive(socket, buffer, sizeof(buffer)));
  environment_.CloseSocket(socket);
}

TEST_F(WindowsEnvironmentTest, RefusedConnectFailsWithTheSocketLibrarysErrorCode) {
  std::uint16_t closedPort = 0;
  {
    Listener gone;
    closedPort = gone.port();
  }  // nothing listens there now
  ASSERT_NE(0, closedPort);
  SocketHandle socket = environment_.OpenTcpSocket();
  ASSERT_NE(kInvalidSocket, socket);
  EXPECT_EQ(0, environment_.ConnectSocket(socket, htonl(INADDR_LOOPBACK), closedPort, kConnectTimeoutMs));
  EXPECT_EQ(static_cast<unsigned long>(WSAECONNREFUSED), environment_.GetLastError());
  environment_.CloseSocket(socket);
}

TEST_F(WindowsEnvironmentTest, AConnectNobodyAnswersEndsAtItsBoundWithTheTimedOutCode) {
  // A listener whose queue one connect fills: under wine, on Linux sockets,
  // later SYNs then go unanswered, as a host that drops packets leaves them.
  SOCKET full = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = Listener::Loopback(0);
  int length = sizeof(address);
  ASSERT_EQ(0, bind(full, reinterpret_cast<sockaddr*>(&address), length));
  ASSERT_EQ(0, listen(full, 0));
  ASSERT_EQ(0, getsockname(full, reinterpret_cast<sockaddr*>(&address), &length));
  SOCKET filler = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(0, connect(filler, reinterpret_cast<sockaddr*>(&address), length));

  SocketHandle socket = environment_.OpenTcpSocket();
  ASSERT_NE(kInvalidSocket, socket);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, environment_.ConnectSocket(socket, address.sin_addr.s_addr, ntohs(address.sin_port), 300));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(static_cast<unsigned long>(WSAETIMEDOUT), environment_.GetLastError());
  EXPECT_LT(elapsed, std::chrono::seconds(20)) << "bounded, not the system's 21 s";
  environment_.CloseSocket(socket);
  closesocket(filler);
  closesocket(full);
}

TEST_F(WindowsEnvironmentTest, SendToAResetPeerFailsAndTheProcessGoesOn) {
  Listener listener;
  ASSERT_NE(0, listener.port());
  SOCKET peer = INVALID_SOCKET;
  SocketHandle socket = ConnectTo(listener, &peer);
  linger abort{};
  abort.l_onoff = 1;
  abort.l_linger = 0;  // close with a reset
  setsockopt(peer, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
  closesocket(peer);
  const std::string chunk(200, 'x');
  long result = 1;
  for (int i = 0; i < 50 && result > 0; ++i) {
    result = environment_.SendSome(socket, chunk.data(), chunk.size());
    if (result > 0) ::Sleep(2);
  }
  EXPECT_LT(result, 0);
  environment_.CloseSocket(socket);
}

TEST_F(WindowsEnvironmentTest, SleepIsDividedByTheTestBuildsDivisor) {
  auto start = std::chrono::steady_clock::now();
  environment_.Sleep(5000);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(90)) << "5000 ms divided by 50";
  EXPECT_LT(elapsed, std::chrono::milliseconds(2500)) << "not the full pause";
}

// The chat client's own connection, logon, send and receive loop over it.
class InfoRecorder : public ChatConnection {
 public:
  using ChatConnection::ChatConnection;
  std::string infos;
  int OnInfo(const char* name, std::uint32_t flags, const char* text) override {
    ChatConnection::OnInfo(name, flags, text);
    infos += std::string(text) + "|";
    return 1;
  }
};

TEST_F(WindowsEnvironmentTest, ChatConnectionLogsOnSendsAndReadsEventLines) {
  Listener listener;
  ASSERT_NE(0, listener.port());
  InfoRecorder connection(environment_);
  connection.Configure("statbot", "secret1", "localhost", listener.port());
  ASSERT_EQ(1, connection.Connect());
  SOCKET peer = listener.Accept();
  ASSERT_NE(INVALID_SOCKET, peer);
  ASSERT_EQ(1, connection.Logon());
  ASSERT_EQ(1, connection.Send("/stats %s SEXP\r\n", "%s%n"));
  const std::string expected = "\x03\x04statbot\r\nsecret1\r\n/stats %s%n SEXP\r\n";
  EXPECT_EQ(expected, ReadExactly(peer, expected.size()));

  const char events[] = "1018 INFO \"first\"\r\n1018 INFO \"sec";
  send(peer, events, sizeof(events) - 1, 0);
  const char rest[] = "ond\"\n";
  send(peer, rest, sizeof(rest) - 1, 0);
  closesocket(peer);
  EXPECT_EQ(0, connection.ReceiveLoop()) << "the loop ends when the server closes";
  EXPECT_EQ("first|second|", connection.infos);
  connection.Disconnect();
}

// A plain rename fails on Windows when the target exists; the report page
// is replaced this way while a browser may be reading the old one.
TEST_F(WindowsEnvironmentTest, MoveOverReplacesAnExistingTarget) {
  const char* files[] = {"corvane-replace-new.tmp", "corvane-replace-old.tmp"};
  const char* contents[] = {"new", "old"};
  for (int i = 0; i < 2; ++i) {
    std::FILE* file = std::fopen(files[i], "wb");
    ASSERT_NE(nullptr, file);
    std::fputs(contents[i], file);
    std::fclose(file);
  }
  ASSERT_EQ(1, environment_.MoveOver(files[0], files[1]));
  char read[8] = "";
  std::FILE* file = std::fopen(files[1], "rb");
  ASSERT_NE(nullptr, file);
  read[std::fread(read, 1, sizeof(read) - 1, file)] = '\0';
  std::fclose(file);
  EXPECT_STREQ("new", read);
  EXPECT_EQ(nullptr, std::fopen(files[0], "rb"));
  EXPECT_EQ(0, environment_.MoveOver(files[0], files[1])) << "the source is gone";
  std::remove(files[1]);
}

}  // namespace
}  // namespace corvane
