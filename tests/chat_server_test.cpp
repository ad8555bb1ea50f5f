// Tests of the stand-in chat server, driven through real loopback sockets.

#include "server/chat_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/server_texts.h"
#include "tests/test_support.h"

namespace corvane::server {
namespace {

using texts::InfoLines;
using texts::kLoginFailed;
using texts::kTopic;
using texts::Welcome;

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kWait{
    10000};  // generous upper bound for a busy machine; tests end as soon as data arrives

// A plain blocking TCP client on 127.0.0.1 that keeps everything it receives.
class Client {
 public:
  // `receiveBuffer` above 0 sets the socket's receive buffer size (SO_RCVBUF).
  explicit Client(uint16_t port, int receiveBuffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && receiveBuffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
    int one = 1;
    if (fd_ >= 0) ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Client() { Close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connected() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // The error of the receive that ended the connection; 0 for an orderly close.
  int LastError() const { return lastError_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool Send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }

  // Reads until everything received since `from` contains `needle`.
  bool WaitFor(const std::string& needle, size_t from = 0, milliseconds timeout = kWait) {
    return ReadUntil([&] { return received_.find(needle, from) != std::string::npos; }, timeout);
  }

  // Reads until the server closes the connection; false on timeout.
  bool WaitForClose(milliseconds timeout = kWait) {
    return ReadUntil([&] { return eof_; }, timeout);
  }

  // Reads whatever arrives within `span`.
  void ReadFor(milliseconds span) {
    ReadUntil([] { return false; }, span);
  }

  const std::string& Received() const { return received_; }
  size_t Mark() const { return received_.size(); }
  std::string Since(size_t mark) const { return received_.substr(mark); }
  bool Eof() const { return eof_; }

 private:
  template <typename Done>
  bool ReadUntil(Done done, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
      if (eof_ || fd_ < 0) return false;
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        lastError_ = n < 0 ? errno : 0;
        eof_ = true;
      } else {
        received_.append(buf, static_cast<size_t>(n));
      }
    }
    return true;
  }

  int fd_ = -1;
  bool eof_ = false;
  int lastError_ = 0;
  std::string received_;
};

// Sends the logon the way the bot does and waits for the end of the welcome burst.
bool LogOn(Client& client, const std::string& account, const std::string& password = "secret1") {
  const size_t mark = client.Mark();
  return client.Send("\x03\x04" + account + "\r\n" + password + "\r\n") &&
         client.WaitFor(" topic: This is the public chat channel.\"\r\n", mark);
}

ServerOptions Ephemeral() {
  ServerOptions options;
  options.port = 0;
  options.record = true;
  return options;
}

// Starts a server on an ephemeral port; every test below uses one of these.
class ChatServerTest : public ::testing::Test {
 protected:
  void StartServer(ServerOptions options) {
    options.port = 0;
    server_ = std::make_unique<ChatServer>(std::move(options));
    ASSERT_TRUE(server_->Start()) << server_->LastError();
    ASSERT_NE(server_->Port(), 0);
  }
  std::unique_ptr<Client> Connect() {
    auto client = std::make_unique<Client>(server_->Port());
    EXPECT_TRUE(client->Connected());
    return client;
  }
  // Sends a line and returns what arrived up to and including `until`.
  std::string Ask(Client& client, const std::string& line, const std::string& until) {
    const size_t mark = client.Mark();
    EXPECT_TRUE(client.Send(line));
    EXPECT_TRUE(client.WaitFor(until, mark)) << "after " << line << " got: " << client.Since(mark);
    return client.Since(mark);
  }
  std::unique_ptr<ChatServer> server_;
};

// ---------------------------------------------------------------- logon

using LogonTest = ChatServerTest;

TEST_F(LogonTest, RepliesWithPromptsThenWelcomeBurst) {
  StartServer(Ephemeral());
  auto c = Connect();
  ASSERT_TRUE(LogOn(*c, "statbot"));
  EXPECT_EQ(c->Received(),
            "Connection from [127.0.0.1]\r\nEnter your account name and password.\r\n"
            "Username: statbot\r\nPassword: \r\n" +
                Welcome("statbot"));
  c->ReadFor(milliseconds(50));
  EXPECT_EQ(c->Received().size(), c->Received().rfind(kTopic) + kTopic.size()) << "nothing after the burst";
}

// ---------------------------------------------------------------- recording

using RecordingTest = ChatServerTest;

TEST_F(RecordingTest, ChunksAndLinesKeepBytesAndArrivalTimes) {
  ServerOptions options = Ephemeral();
  options.silent = true;  // only what the client sends matters here
  StartServer(options);
  auto c = Connect();
  const auto before = Clock::now();
  ASSERT_TRUE(c->Send("\x03\x04stat"));
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.Chunks().size() == 1; }, kWait));
  std::this_thread::sleep_for(milliseconds(30));
  ASSERT_TRUE(c->Send("bot\r\nsecret1"));
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.Chunks().size() == 2; }, kWait));
  std::this_thread::sleep_for(milliseconds(30));
  ASSERT_TRUE(c->Send("\r\n/join Clan\nrest"));
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.Lines().size() == 3; }, kWait));
  const auto after = Clock::now();

  const auto chunks = server_->Chunks();
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].bytes, "\x03\x04stat");
  EXPECT_EQ(chunks[1].bytes, "bot\r\nsecret1");
  EXPECT_EQ(chunks[2].bytes, "\r\n/join Clan\nrest");
  for (const auto& chunk : chunks) {
    EXPECT_EQ(chunk.connection, 1);
    EXPECT_GE(chunk.at, before);
    EXPECT_LE(chunk.at, after);
  }
  EXPECT_GE(chunks[1].at - chunks[0].at, milliseconds(25));
  EXPECT_GE(chunks[2].at - chunks[1].at, milliseconds(25));

  const auto lines = server_->Lines();
  ASSERT_EQ(lines.size(), 3u) << "the unterminated tail is not a line";
  EXPECT_EQ(lines[0].text, "\x03\x04statbot");
  EXPECT_EQ(lines[0].at, chunks[1].at);
  EXPECT_EQ(lines[1].text, "secret1");
  EXPECT_EQ(lines[1].at, chunks[2].at);
  EXPECT_EQ(lines[2].text, "/join Clan");
  EXPECT_EQ(lines[2].at, chunks[2].at);
}

TEST_F(RecordingTest, ConnectionsAreNumberedAndCounted) {
  StartServer(Ephemeral());
  EXPECT_EQ(server_->ConnectionCount(), 0);
  auto a = Connect();
  ASSERT_TRUE(a->WaitFor("Username: "));
  auto b = Connect();
  ASSERT_TRUE(b->WaitFor("Username: "));
  ASSERT_TRUE(b->Send("second\r\n"));
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.Lines().size() == 1; }, kWait));
  ASSERT_TRUE(a->Send("first\r\n"));
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.Lines().size() == 2; }, kWait));
  EXPECT_EQ(server_->ConnectionCount(), 2);
  const auto lines = server_->Lines();
  EXPECT_EQ(lines[0].connection, 2);
  EXPECT_EQ(lines[0].text, "second");
  EXPECT_EQ(lines[1].connection, 1);
  EXPECT_EQ(lines[1].text, "first");
}

TEST_F(RecordingTest, OnLineSeesEveryLine) {
  ServerOptions options = Ephemeral();
  std::mutex mu;
  std::vector<std::string> seen;
  options.onLine = [&](const ReceivedLine& line) {
    std::lock_guard<std::mutex> lock(mu);
    seen.push_back(std::to_string(line.connection) + ":" + line.text);
  };
  StartServer(options);
  auto c = Connect();
  ASSERT_TRUE(LogOn(*c, "statbot"));
  Ask(*c, "/join Clan\r\n", "1001 USER statbot 0010 [CHAT]\r\n");
  server_->Stop();
  EXPECT_EQ(seen, (std::vector<std::string>{"1:\x03\x04statbot", "1:secret1", "1:/join Clan"}));
}

TEST_F(RecordingTest, WaitForGivesUpAfterTimeout) {
  StartServer(Ephemeral());
  const auto start = Clock::now();
  EXPECT_FALSE(
      server_->WaitFor([](const ChatServer& s) { return s.ConnectionCount() > 0; }, milliseconds(60)));
  EXPECT_GE(Clock::now() - start, milliseconds(60));
  EXPECT_LT(Clock::now() - start, kWait);
}

TEST_F(RecordingTest, NothingIsRecordedUnlessAskedAndRecordingStopsAtItsBound) {
  ServerOptions options = Ephemeral();
  options.record = false;
  StartServer(options);
  auto c = Connect();
  ASSERT_TRUE(LogOn(*c, "statbot"));
  EXPECT_TRUE(server_->Chunks().empty());
  EXPECT_TRUE(server_->Lines().empty());

  options.record = true;
  options.recordLimitBytes = 100;
  StartServer(options);
  auto d = Connect();
  ASSERT_TRUE(LogOn(*d, "statbot"));  // two chunks and lines of 25 bytes or so
  ASSERT_TRUE(d->Send("/join " + std::string(100, 'x') + "\r\n"));
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.RecordingStopped(); }, kWait));
  EXPECT_NE(server_->LastError().find("recording stopped"), std::string::npos) << server_->LastError();
  size_t kept = 0;
  for (const ReceivedChunk& chunk : server_->Chunks()) kept += chunk.bytes.size();
  for (const ReceivedLine& line : server_->Lines()) kept += line.text.size();
  EXPECT_LE(kept, 100u);
  EXPECT_EQ(server_->LinesOf(1).front().text, "\x03\x04statbot");
}

TEST_F(RecordingTest, ConnectionEndedOnceEverythingSentBeforeTheEndWasRead) {
  ServerOptions options = Ephemeral();
  options.closeAfterStats = 1;
  StartServer(options);
  auto a = Connect();
  ASSERT_TRUE(LogOn(*a, "alpha"));
  EXPECT_FALSE(server_->ConnectionEnded(1));
  EXPECT_FALSE(server_->ConnectionEnded(2)) << "not accepted yet";
  ASSERT_TRUE(a->Send("one\r\ntwo\r\nthree"));
  a->Close();
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.ConnectionEnded(1); }, kWait));
  const auto lines = server_->LinesOf(1);
  ASSERT_EQ(lines.size(), 4u) << "the unterminated tail is not a line";
  EXPECT_EQ(lines[3].text, "two");
  std::string bytes;
  for (const ReceivedChunk& chunk : server_->Chunks()) bytes += chunk.bytes;
  EXPECT_EQ(bytes.substr(bytes.size() - 15), "one\r\ntwo\r\nthree") << "the tail too";

  auto b = Connect();  // closed by the server after its answer
  ASSERT_TRUE(LogOn(*b, "beta"));
  ASSERT_TRUE(b->Send("/stats alice SEXP\r\n"));
  ASSERT_TRUE(b->WaitForClose());
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.ConnectionEnded(2); }, kWait));
  EXPECT_EQ(b->Received().substr(b->Received().size() - 2), "\r\n") << "the answer went out before the close";
}

// ---------------------------------------------------------------- scripted faults

using FaultTest = ChatServerTest;

TEST_F(FaultTest, SilentServerRecordsButNeverWrites) {
  ServerOptions options = Ephemeral();
  options.silent = true;
  StartServer(options);
  auto c = Connect();
  ASSERT_TRUE(c->Send("\x03\x04statbot\r\nsecret1\r\n/join Clan\r\n/stats alice SEXP\r\n"));
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.Lines().size() == 4; }, kWait));
  c->ReadFor(milliseconds(100));
  EXPECT_EQ(c->Received(), "");
  EXPECT_FALSE(c->Eof());
  // A silent server can still be scripted byte by byte.
  server_->SendToAll("2010 NAME scripted\r\n");
  ASSERT_TRUE(c->WaitFor("2010 NAME scripted\r\n"));
  EXPECT_EQ(c->Received(), "2010 NAME scripted\r\n");
}

TEST_F(FaultTest, CloseAllEndsConnectionsButKeepsListening) {
  StartServer(Ephemeral());
  auto a = Connect();
  auto b = Connect();
  ASSERT_TRUE(LogOn(*a, "alpha"));
  ASSERT_TRUE(LogOn(*b, "beta"));
  server_->SendToAll("raw bytes\r\n");
  ASSERT_TRUE(a->WaitFor("raw bytes\r\n"));
  ASSERT_TRUE(b->WaitFor("raw bytes\r\n"));
  server_->CloseAll();
  EXPECT_TRUE(a->WaitForClose());
  EXPECT_TRUE(b->WaitForClose());

  auto c = Connect();
  ASSERT_TRUE(LogOn(*c, "gamma"));
  EXPECT_EQ(server_->ConnectionCount(), 3);
  EXPECT_NE(c->Received().find("1001 USER gamma"), std::string::npos);
  EXPECT_EQ(c->Received().find("alpha"), std::string::npos) << "closed clients left the channel";
}

TEST_F(FaultTest, IdleClientIsNotDisconnected) {
  StartServer(Ephemeral());
  auto c = Connect();
  ASSERT_TRUE(LogOn(*c, "statbot"));
  const size_t mark = c->Mark();
  c->ReadFor(milliseconds(300));
  EXPECT_FALSE(c->Eof());
  EXPECT_EQ(c->Since(mark), "") << "no keep-alive lines";
  const std::string answer = InfoLines(StatsAnswer("alice", "SEXP"));
  EXPECT_EQ(Ask(*c, "/stats alice SEXP\r\n", answer), answer);
}

TEST_F(FaultTest, CloseOneConnectionAndTellItsClientPort) {
  StartServer(Ephemeral());
  auto a = Connect();
  auto b = Connect();
  ASSERT_TRUE(LogOn(*a, "alpha"));
  ASSERT_TRUE(LogOn(*b, "beta"));
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ASSERT_EQ(::getsockname(a->Fd(), reinterpret_cast<sockaddr*>(&local), &length), 0);
  EXPECT_EQ(server_->ClientPort(1), ntohs(local.sin_port));
  EXPECT_EQ(server_->ClientPort(3), 0);
  server_->Close(1);
  EXPECT_TRUE(a->WaitForClose());
  ASSERT_TRUE(b->WaitFor("1003 LEAVE alpha 0010\r\n"));
  const std::string answer = InfoLines(StatsAnswer("bob", "STAR"));
  EXPECT_EQ(Ask(*b, "/stats bob STAR\r\n", answer), answer);
}

// ---------------------------------------------------------------- limits

using LimitTest = ChatServerTest;

TEST_F(LimitTest, ClientsBeyondTheMostConnectionsAreClosedAtOnce) {
  ServerOptions options = Ephemeral();
  options.maxConnections = 2;
  StartServer(options);
  auto a = Connect();
  auto b = Connect();
  ASSERT_TRUE(a->WaitFor("Username: "));
  ASSERT_TRUE(b->WaitFor("Username: "));
  auto refused = Connect();
  ASSERT_TRUE(refused->WaitForClose());
  EXPECT_EQ(refused->Received(), "") << "closed without a byte";
  EXPECT_EQ(server_->ConnectionCount(), 2) << "and without a number";

  a->Close();
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.ConnectionEnded(1); }, kWait));
  auto c = Connect();
  ASSERT_TRUE(LogOn(*c, "gamma")) << "a place came free";
  EXPECT_EQ(server_->ConnectionCount(), 3);
}

TEST_F(LimitTest, AClientThatStopsReadingDelaysNoOneAndLosesNothing) {
  ServerOptions options = Ephemeral();
  options.floodProtection = false;
  StartServer(options);
  // A small receive buffer, so that the server's sends to it soon block.
  Client stalled(server_->Port(), 4096);
  ASSERT_TRUE(LogOn(stalled, "stalled"));
  auto b = Connect();
  ASSERT_TRUE(LogOn(*b, "talker"));
  const size_t mark = stalled.Mark();
  // About 2 MB for the client that does not read: far more than the socket
  // buffers take, less than the server keeps for a client.
  std::string talk;
  std::string expected;
  for (int i = 0; i < 10000; ++i) {
    const std::string text = "line " + std::to_string(i) + " " + std::string(180, 'z');
    talk += text + "\r\n";
    expected += "1005 TALK talker 0010 \"" + text + "\"\r\n";
  }
  ASSERT_TRUE(b->Send(talk));
  // The talker's own requests are answered while the other's bytes wait.
  const std::string answer = InfoLines(StatsAnswer("alice", "SEXP"));
  const auto asked = Clock::now();
  EXPECT_EQ(Ask(*b, "/stats alice SEXP\r\n", answer), answer);
  // A server that sends while holding its lock waits out a send timeout (2 s)
  // here, then drops the stalled client.
  EXPECT_LT(Clock::now() - asked, milliseconds(2000)) << "the answer waited for the stalled client";
  ASSERT_TRUE(stalled.WaitFor(expected, mark, kWait * 3)) << "everything reaches it once it reads";
  EXPECT_FALSE(stalled.Eof());
}

TEST_F(LimitTest, AClientLeavingTooMuchUnreadIsGivenUp) {
  ServerOptions options = Ephemeral();
  options.floodProtection = false;
  options.pendingLimitBytes = 64 * 1024;
  StartServer(options);
  Client stalled(server_->Port(), 4096);
  ASSERT_TRUE(LogOn(stalled, "stalled"));
  auto b = Connect();
  ASSERT_TRUE(LogOn(*b, "talker"));
  const size_t mark = b->Mark();
  std::string talk;
  for (int i = 0; i < 5000; ++i) talk += std::string(190, 'z') + "\r\n";  // about 1 MB for the stalled client
  // The kernel's buffers toward the stalled client can take a few MB before
  // the server's own queue grows: talk on until the server gives it up.
  const std::string leave = "1003 LEAVE stalled 0010\r\n";
  bool left = false;
  for (int chunk = 0; chunk < 16 && !left; ++chunk) {
    ASSERT_TRUE(b->Send(talk));
    left = b->WaitFor(leave, mark, milliseconds(100));
  }
  ASSERT_TRUE(left || b->WaitFor(leave, mark)) << "the stalled client was closed";
  EXPECT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.ConnectionEnded(1); }, kWait));
  EXPECT_FALSE(server_->ConnectionEnded(2));
}

TEST_F(LimitTest, AnAnswerCutByTheServerArrivesUpToTheCut) {
  ServerOptions options = Ephemeral();
  options.cutStats = 2;
  options.statsStyle.format = RecordFormat::kWonLostDrawn;
  StartServer(options);
  auto c = Connect();
  ASSERT_TRUE(LogOn(*c, "statbot"));
  const size_t mark = c->Mark();
  ASSERT_TRUE(c->Send("/stats alice SEXP\r\n/stats bob1 STAR\r\n/stats carol SEXP\r\n"));
  ASSERT_TRUE(c->WaitForClose());
  EXPECT_EQ(c->Since(mark),
            InfoLines(StatsAnswer("alice", "SEXP", options.statsStyle)) + InfoLines({"bob1's record:"}));
}

// ---------------------------------------------------------------- scripts

using ScriptTest = ChatServerTest;

TEST_F(ScriptTest, ScriptsServeTheFirstConnectionsAndTheServerTheRest) {
  ServerOptions options = Ephemeral();
  std::atomic<int> scriptId{0};
  options.scripts = {[&](ScriptedConnection& c) {
    scriptId = c.id();
    std::string line;
    if (!c.ReadLine(&line) || line != "hello") return;
    c.Send("1018 INFO \"scripted\"\r\n");
    c.ReadUntil("bye");
    c.Close();
  }};
  StartServer(options);
  auto scripted = Connect();
  ASSERT_TRUE(scripted->Send("hello\r\nnoise\r\nbye\r\n"));
  ASSERT_TRUE(scripted->WaitForClose());
  EXPECT_EQ(scripted->Received(), "1018 INFO \"scripted\"\r\n") << "no prompts on a scripted connection";
  EXPECT_EQ(scriptId, 1);
  std::vector<std::string> texts;
  for (const ReceivedLine& line : server_->LinesOf(1)) texts.push_back(line.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"hello", "noise", "bye"})) << "recorded as on any connection";

  auto served = Connect();
  ASSERT_TRUE(LogOn(*served, "statbot"));
}

TEST_F(ScriptTest, WelcomeNamesTheClientAndConverseHandsItToTheServer) {
  ServerOptions options = Ephemeral();
  options.scripts = {[](ScriptedConnection& c) {
    if (c.Welcome() && c.Send("1018 INFO \"between\"\r\n")) c.Converse("Clan");
  }};
  StartServer(options);
  auto c = Connect();
  ASSERT_TRUE(c->Send("\x03\x04statbot\r\nsecret1\r\n/join Clan\r\n/stats alice SEXP\r\n"));
  const std::string answer = InfoLines(StatsAnswer("alice", "SEXP"));
  ASSERT_TRUE(c->WaitFor(answer));
  EXPECT_EQ(c->Received(),
            "2010 NAME statbot\r\n1018 INFO \"between\"\r\n"
            "1007 CHANNEL \"Clan\"\r\n1018 INFO \"you are now tempOP for this channel\"\r\n"
            "1009 USER statbot 0010\r\n1001 USER statbot 0010 [CHAT]\r\n1009 USER statbot 0002\r\n" +
                answer)
      << "a request sent before the channel is answered once the server serves the connection";
  const size_t mark = c->Mark();
  ASSERT_TRUE(c->Send("/join clan\r\n/stats bob STAR\r\n"));
  const std::string bob = InfoLines(StatsAnswer("bob", "STAR"));
  ASSERT_TRUE(c->WaitFor(bob, mark));
  EXPECT_EQ(c->Since(mark), bob) << "the join to the channel it is in gets no answer";

  // The welcomed account is logged on: a second logon of it is refused.
  auto second = Connect();
  ASSERT_TRUE(second->Send("statbot\r\nsecret1\r\n"));
  EXPECT_TRUE(second->WaitFor(kLoginFailed));
}

TEST_F(ScriptTest, TheDefaultScriptServesEveryLaterConnection) {
  ServerOptions options = Ephemeral();
  options.scripts = {[](ScriptedConnection& c) { c.Send("first\r\n"); }};
  options.defaultScript = [](ScriptedConnection& c) {
    std::string account;
    if (c.ReadLine(&account) && c.LogOn(account)) c.Converse("Later");
  };
  StartServer(options);
  auto first = Connect();
  ASSERT_TRUE(first->WaitForClose());
  EXPECT_EQ(first->Received(), "first\r\n");
  for (const char* name : {"two", "three"}) {
    auto c = Connect();
    ASSERT_TRUE(c->Send(std::string(name) + "\r\n"));
    ASSERT_TRUE(c->WaitFor("1001 USER " + std::string(name) + " 0010 [CHAT]\r\n"));
    EXPECT_EQ(c->Received().rfind("2010 NAME " + std::string(name) + "\r\n1007 CHANNEL \"Later\"\r\n", 0), 0u)
        << c->Received();
  }
}

TEST_F(ScriptTest, ResetReachesTheClientAsAReset) {
  ServerOptions options = Ephemeral();
  options.scripts = {[](ScriptedConnection& c) {
    std::string line;
    if (c.ReadLine(&line)) c.Reset();
  }};
  StartServer(options);
  auto c = Connect();
  ASSERT_TRUE(c->Send("x\r\n"));
  ASSERT_TRUE(c->WaitForClose());
  EXPECT_EQ(c->LastError(), ECONNRESET);
}

// ---------------------------------------------------------------- start and stop

using LifecycleTest = ChatServerTest;

TEST_F(LifecycleTest, StopReturnsPromptlyWithSilentClientsConnected) {
  StartServer(Ephemeral());
  auto quiet = Connect();  // never sends a byte
  auto half = Connect();
  ASSERT_TRUE(half->Send("\x03\x04stat"));  // half a logon
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.Chunks().size() == 1; }, kWait));
  const auto start = Clock::now();
  server_->Stop();
  EXPECT_LT(Clock::now() - start, kWait) << "not stuck on a silent client";
  EXPECT_TRUE(quiet->WaitForClose());
  EXPECT_TRUE(half->WaitForClose());
  server_->Stop();  // a second Stop is harmless
  Client late(server_->Port());
  EXPECT_FALSE(late.Connected()) << "the listener is closed";
}

TEST_F(LifecycleTest, DestructorStopsAServerWithClients) {
  StartServer(Ephemeral());
  auto c = Connect();
  ASSERT_TRUE(LogOn(*c, "statbot"));
  const size_t mark = c->Mark();
  const auto start = Clock::now();
  server_.reset();
  EXPECT_LT(Clock::now() - start, kWait) << "not stuck on a silent client";
  EXPECT_TRUE(c->WaitForClose());
  EXPECT_EQ(c->Since(mark),
            "1019 ERROR \"The server will shut down in 1 second. (1 connections remaining).\"\r\n")
      << "logged-on clients are told";
}

TEST_F(LifecycleTest, StartFailsWhenThePortIsTaken) {
  StartServer(Ephemeral());
  ServerOptions options;
  options.port = server_->Port();
  ChatServer second(options);
  EXPECT_FALSE(second.Start());
  EXPECT_NE(second.LastError().find("bind 127.0.0.1:" + std::to_string(options.port)), std::string::npos)
      << second.LastError();
  EXPECT_EQ(second.Port(), 0);
}

TEST_F(LifecycleTest, StartTwiceFails) {
  StartServer(Ephemeral());
  EXPECT_FALSE(server_->Start());
}

// ---------------------------------------------------------------- chatd

// Runs chatd with its stdout and stderr on pipes.
class Chatd {
 public:
  explicit Chatd(const std::vector<std::string>& arguments) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    // Everything the child needs is made before fork(): other threads of this
    // process may hold the allocator's lock at that moment.
    std::string path = CORVANE_CHATD_PATH;
    std::vector<std::string> copy = arguments;
    std::vector<char*> argv{path.data()};
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::execv(path.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Chatd() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }

  // Reads stdout until it contains `needle`.
  bool WaitForOutput(const std::string& needle, milliseconds timeout = kWait) {
    const auto deadline = Clock::now() + timeout;
    while (output_.find(needle) == std::string::npos) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[1024];
      ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      output_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }

  // Waits for the exit and returns the exit status (-1 for a signal or timeout).
  int Wait(milliseconds timeout = kWait) {
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) return -1;
      std::this_thread::sleep_for(milliseconds(5));
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Errors() {
    std::string text;
    char buf[1024];
    ssize_t n;
    while ((n = ::read(err_, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
  }

  pid_t Pid() const { return pid_; }
  const std::string& Output() const { return output_; }

  // The port from the "listening on" line, 0 if not seen.
  uint16_t Port() {
    const std::string marker = "chatd: listening on 127.0.0.1:";
    if (!WaitForOutput("\n")) return 0;
    const size_t at = output_.find(marker);
    if (at == std::string::npos) return 0;
    return static_cast<uint16_t>(std::stoi(output_.substr(at + marker.size())));
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int out_ = -1;
  int err_ = -1;
  std::string output_;
};

std::string TempFile(const std::string& name, const std::string& content) {
  const std::string path = ::testing::TempDir() + "chatd_" + std::to_string(::getpid()) + "_" + name;
  std::ofstream(path) << content;
  return path;
}

TEST(ChatdTest, LogsReceivedLinesAndStopsOnSigterm) {
  const std::string accounts = TempFile("accounts", "# test accounts\nstatbot secret1\n\nother pw\n");
  const std::string players = TempFile("players", "alice\nbob\n");
  Chatd chatd({"--port", "0", "--accounts", accounts, "--players", players, "--full", "Busy", "--redirect",
               "Void", "--channel", "OldHands", "--no-flood-protection"});
  const uint16_t port = chatd.Port();
  ASSERT_NE(port, 0) << chatd.Output();

  Client c(port);
  ASSERT_TRUE(c.Connected());
  ASSERT_TRUE(LogOn(c, "statbot", "secret1"));
  EXPECT_NE(c.Received().find("There are 2 user accounts"), std::string::npos);
  size_t mark = c.Mark();
  ASSERT_TRUE(c.Send("/join Busy\r\n/join Clan \r\n"));
  ASSERT_TRUE(c.WaitFor("1001 USER statbot 0010 [CHAT]\r\n", mark));
  EXPECT_EQ(c.Since(mark).substr(0, 46), "1013 CHANNELFULL \"Busy\"\r\n1007 CHANNEL \"Void\"\r\n")
      << c.Since(mark);
  mark = c.Mark();
  ASSERT_TRUE(c.Send("/stats carol SEXP\r\n"));
  ASSERT_TRUE(c.WaitFor("Invalid user.", mark));
  mark = c.Mark();
  ASSERT_TRUE(c.Send("/join oldhands\r\n/stats x1 SEXP\r\n/stats x2 SEXP\r\n/stats x3 SEXP\r\n"));
  ASSERT_TRUE(
      c.WaitFor("Invalid user.\"\r\n1019 ERROR \"Invalid user.\"\r\n1019 ERROR \"Invalid user.", mark))
      << "without flood protection every line is carried out: " << c.Since(mark);
  EXPECT_EQ(c.Since(mark).substr(0, 23), "1007 CHANNEL \"OldHands\"");

  ASSERT_TRUE(chatd.WaitForOutput("[conn 1] >> /stats carol SEXP\n"));
  EXPECT_NE(chatd.Output().find("[conn 1] >> \\x03\\x04statbot\n[conn 1] >> secret1\n"
                                "[conn 1] >> /join Busy\n[conn 1] >> /join Clan \n"),
            std::string::npos)
      << chatd.Output();

  ASSERT_EQ(::kill(chatd.Pid(), SIGTERM), 0);
  EXPECT_EQ(chatd.Wait(), 0);
  EXPECT_TRUE(c.WaitForClose());
  std::remove(accounts.c_str());
  std::remove(players.c_str());
}

// chatd keeps at most LineCutter::kLongestKept bytes of a line, records
// nothing unless asked, and so stays small however long a line grows. The
// bound: the program's own size (about 4 MiB resident) and its threads, far
// below the 100 MB sent.
TEST(ChatdTest, AHundredMegabytesWithoutALineEndLeaveItsMemorySmall) {
  constexpr long kBoundKb = 16 * 1024;
  Chatd chatd({"--port", "0"});
  const uint16_t port = chatd.Port();
  ASSERT_NE(port, 0) << chatd.Output();
  Client c(port);
  ASSERT_TRUE(c.WaitFor("Username: "));
  const std::string block(size_t{1} << 20, 'x');
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(c.Send(block)) << "after " << i << " MiB";
  // The answer to the line's end shows that chatd has read all of it.
  const size_t mark = c.Mark();
  ASSERT_TRUE(c.Send("\r\n"));
  ASSERT_TRUE(c.WaitFor("\r\nPassword: ", mark, kWait * 3));
  EXPECT_EQ(c.Since(mark), std::string(2048, 'x') + "\r\nPassword: ") << "the line was cut at 2048 bytes";
  const long peak = corvane::testing_support::StatusFieldKb(std::to_string(chatd.Pid()), "VmHWM");
  const long now = corvane::testing_support::StatusFieldKb(std::to_string(chatd.Pid()), "VmRSS");
  std::cout << "chatd after a 100 MiB line: VmRSS " << now << " KiB, VmHWM " << peak << " KiB\n";
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, kBoundKb);
  Client other(port);
  EXPECT_TRUE(LogOn(other, "other")) << "still serving";
}

TEST(ChatdTest, FloodModeAnswersTheFirstJoinWithTheFlood) {
  Chatd chatd({"--port", "0", "--quiet", "--flood", "3"});
  const uint16_t port = chatd.Port();
  ASSERT_NE(port, 0) << chatd.Output();
  Client c(port);
  ASSERT_TRUE(
      c.Send("\x03\x04"
             "floodbot\r\nsecret1\r\n"));
  ASSERT_TRUE(c.WaitFor("2010 NAME floodbot\r\n"));
  ASSERT_TRUE(c.Send("/join CorvaneHome\r\n"));
  ASSERT_TRUE(c.WaitFor("1001 USER floodbot 0010 [CHAT]\r\n"));
  const std::string& got = c.Received();
  EXPECT_EQ(got.find("2010 NAME floodbot\r\n1018 INFO \"Flood 0000000: "), 0u) << "nothing before the flood";
  EXPECT_NE(got.find("1018 INFO \"Flood 0000002: "), std::string::npos);
  EXPECT_EQ(got.find("Flood 0000003"), std::string::npos);
  EXPECT_NE(got.find("\"\r\n1007 CHANNEL \"Flood Overflow\"\r\n"), std::string::npos) << got;
  const size_t mark = c.Mark();
  ASSERT_TRUE(c.Send("/join CorvaneHome\r\n"));
  ASSERT_TRUE(c.WaitFor("1007 CHANNEL \"CorvaneHome\"\r\n", mark)) << "served as usual after the flood";
}

TEST(ChatdTest, ExitAfterEndsItByItself) {
  Chatd chatd({"--port", "0", "--quiet", "--exit-after", "0.2"});
  const uint16_t port = chatd.Port();
  ASSERT_NE(port, 0);
  Client c(port);
  ASSERT_TRUE(LogOn(c, "statbot"));
  EXPECT_EQ(chatd.Wait(), 0);
  EXPECT_TRUE(c.WaitForClose());
  EXPECT_EQ(chatd.Output().find("[conn"), std::string::npos) << "--quiet logs no lines";
}

// Every answer about a player counts one more game, over all connections
// and per product; without the option the record stays.
TEST(ChatdTest, ChangingRecordsAdvanceAPlayersGamesWithEachAnswer) {
  Chatd chatd({"--port", "0", "--quiet", "--changing-records"});
  ASSERT_NE(chatd.Port(), 0) << chatd.Output();
  Client a(chatd.Port());
  Client b(chatd.Port());
  ASSERT_TRUE(LogOn(a, "alpha"));
  ASSERT_TRUE(LogOn(b, "beta"));
  const std::vector<std::tuple<Client*, const char*, const char*, int>> asked = {
      {&a, "alice", "SEXP", 0}, {&b, "ALICE", "SEXP", 1}, {&a, "alice", "STAR", 0},
      {&a, "bob", "SEXP", 0},   {&a, "alice", "SEXP", 2},
  };
  for (const auto& [client, name, product, later] : asked) {
    const size_t mark = client->Mark();
    const std::string answer = InfoLines(StatsAnswer(name, product, StatsStyle(), later));
    ASSERT_TRUE(client->Send(std::string("/stats ") + name + " " + product + "\r\n"));
    EXPECT_TRUE(client->WaitFor(answer, mark)) << name << " " << product << " after " << later << " answers";
  }
  Chatd fixed({"--port", "0", "--quiet"});
  Client c(fixed.Port());
  ASSERT_TRUE(LogOn(c, "gamma"));
  for (int i = 0; i < 2; ++i) {
    const size_t mark = c.Mark();
    ASSERT_TRUE(c.Send("/stats alice SEXP\r\n"));
    ASSERT_TRUE(c.WaitFor("Normal games", mark));
    EXPECT_EQ(c.Since(mark).find(InfoLines(StatsAnswer("alice", "SEXP"))), 0u) << c.Since(mark);
  }
}

TEST(ChatdTest, RejectsBadOptionsWithExitCodeOne) {
  const std::string noPassword = TempFile("badaccounts", "statbot\n");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"--port"}, "--port needs a value"},
      {{"--port", "70000"}, "--port wants a whole number"},
      {{"--port", "12x"}, "--port wants a whole number"},
      {{"--accounts", "/nonexistent/file"}, "cannot read accounts file"},
      {{"--accounts", noPassword}, "expected \"account password\""},
      {{"--redirect-joins", "2"}, "--redirect-joins needs --redirect"},
      {{"--exit-after", "soon"}, "--exit-after wants a number"},
  };
  for (const auto& [arguments, message] : cases) {
    Chatd chatd(arguments);
    EXPECT_EQ(chatd.Wait(), 1) << arguments[0];
    const std::string errors = chatd.Errors();
    EXPECT_EQ(errors.rfind("chatd: ", 0), 0u) << errors;
    EXPECT_NE(errors.find(message), std::string::npos) << errors;
  }
  std::remove(noPassword.c_str());
}

TEST(ChatdTest, FailsClearlyWhenThePortIsTaken) {
  ChatServer holder(Ephemeral());
  ASSERT_TRUE(holder.Start());
  Chatd chatd({"--port", std::to_string(holder.Port())});
  EXPECT_EQ(chatd.Wait(), 1);
  EXPECT_NE(chatd.Errors().find("chatd: cannot listen: bind 127.0.0.1:"), std::string::npos);
}

}  // namespace
}  // namespace corvane::server
