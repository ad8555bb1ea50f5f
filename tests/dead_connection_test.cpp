// A connection whose path dies without a close (a NAT timeout, a router
// reboot): the bot's TCP keep-alive must give it up, and the bot must
// reconnect. Each test runs in a network namespace of its own, where
// nftables can drop the path without touching the machine's network; that
// needs root, as CI runs.
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tests/program_fixture.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using server::ChatServer;
using testing_support::ReadFile;

// When the test builds' keep-alive gives up a silent peer: probes after 1 s
// of silence, 1 s apart, the fifth unanswered one ends it (the shipped
// programs: 60 s, 20 s, 5).
constexpr auto kGiveUp = 6s;

int Shell(const std::string& command) { return std::system(command.c_str()); }

class DeadConnectionTest : public ProgramTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace of its own";
    // Before any thread starts: the namespace is the calling thread's, and
    // the server's threads and the bot inherit it.
    ASSERT_EQ(0, unshare(CLONE_NEWNET)) << "unshare(CLONE_NEWNET) failed";
    ASSERT_EQ(0, Shell("ip link set lo up"));
    ASSERT_EQ(0, Shell("nft --version >/dev/null")) << "needs nftables (Debian package nftables)";
    ProgramTest::SetUp();
  }

  // Drops every packet between the server and the client port of connection 1.
  void DropThePath() {
    const std::string client = std::to_string(server_->ClientPort(1));
    const std::string port = std::to_string(CORVANE_TEST_SERVER_PORT);
    ASSERT_EQ(0, Shell("nft add table inet dead && "
                       "nft 'add chain inet dead out { type filter hook output priority 0; }' && "
                       "nft add rule inet dead out tcp sport " +
                       client + " tcp dport " + port +
                       " drop && "
                       "nft add rule inet dead out tcp sport " +
                       port + " tcp dport " + client + " drop"));
  }
};

TEST_F(DeadConnectionTest, AVanishedPeerIsGivenUpAndTheBotReconnects) {
  StartServer();
  Run(CORVANE_BW_FAST);
  ASSERT_TRUE(WaitForOutput(AnswerLines("bob", "SEXP", "INFO: ", " \r\n")));

  // A live connection that is merely quiet answers the probes and stays.
  std::this_thread::sleep_for(kGiveUp + 2s);
  EXPECT_EQ(1, server_->ConnectionCount()) << "a quiet but live connection was dropped";

  DropThePath();
  const auto dropped = std::chrono::steady_clock::now();
  ASSERT_TRUE(server_->WaitFor([](const ChatServer& s) { return s.ConnectionCount() >= 2; }, 60s))
      << "the bot never noticed that its peer had vanished";
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - dropped).count();
  std::printf("the vanished peer was given up after %.1f s\n", seconds);
  EXPECT_GE(seconds, 4.0);
  EXPECT_LE(seconds, 15.0);
  EXPECT_NE(std::string::npos, ReadFile("corvane.log").find("recv() returned -1, error code 110\r\n"))
      << ReadFile("corvane.log");

  // The server never saw the old connection end, so it refuses the account
  // until it gives that session up itself; the bot tries again meanwhile.
  server_->Close(1);
  ASSERT_TRUE(server_->WaitFor(
      [&](const ChatServer& s) {
        for (int c = 2; c <= s.ConnectionCount(); ++c) {
          if (RequestsOf(c).size() == 2) return true;
        }
        return false;
      },
      20s))
      << bot_->Stdout();
  EXPECT_EQ(-1, bot_->Wait(0ms)) << "the bot still runs";
  StopBot();
  const int last = server_->ConnectionCount();
  ExpectOneWalk(last, {"alice", "bob"});
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

using namespace std::chrono_literals;

// A server address whose packets are dropped (a firewall, a host gone with
// its address): each connect attempt ends at its bound, and ten attempts end
// the run within two minutes of the shipped programs' time (10 s bound and
// 2 s pause each), not the system's own connect timeout ten times over.
TEST_F(DeadConnectionTest, ConnectsToAPeerThatDropsPacketsEndAtTheirBound) {
  const std::string port = std::to_string(CORVANE_TEST_SERVER_PORT);
  ASSERT_EQ(0, Shell("nft add table inet blackhole && "
                     "nft 'add chain inet blackhole out { type filter hook output priority 0; }' && "
                     "nft add rule inet blackhole out tcp dport " +
                     port + " drop"));
  const auto start = std::chrono::steady_clock::now();
  Run(CORVANE_BW_FAST);
  // The test builds bound a connect by 2 s (their floor), so ten attempts
  // take about 20 s; unbounded, each would take the system's 127 s.
  EXPECT_EQ(0, bot_->Wait(100s)) << bot_->Stdout();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("ten connect attempts to a dropping peer took %.1f s\n", seconds);
  EXPECT_LT(seconds, 60.0);
  std::string expected;
  for (int i = 0; i < 10; ++i)
    expected += "Cannot connect to 127.0.0.1, port " + port + ": error code 110\r\n";
  expected += "10 connect attempts in a row to 127.0.0.1, port " + port + " failed; the run ends\r\n";
  EXPECT_EQ(expected, testing_support::WithoutLogTimes(ReadFile("corvane.log")));
}

}  // namespace
}  // namespace corvane
