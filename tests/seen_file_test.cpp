// The seen file of the real programs, with members logging on to the
// stand-in server as clients of their own.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "tests/program_fixture.h"
#include "tests/results_conversation.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing_support::ReadFile;
using testing_support::WriteFile;

// A member's own client: logs on (the server places it in its first
// channel), joins channels, and leaves by closing.
class Member {
 public:
  Member(std::uint16_t port, const std::string& account) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(0, connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    const timeval patience = {20, 0};  // a receive that waits longer fails
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof(patience));
    Send("\x03\x04" + account + "\r\nsecret\r\n");
    EXPECT_TRUE(WaitFor("1007 CHANNEL "));
  }
  ~Member() { close(fd_); }
  Member(const Member&) = delete;
  Member& operator=(const Member&) = delete;

  // Joins `channel`; once the server answered, everyone there was told.
  void Join(const std::string& channel) {
    Send("/join " + channel + "\r\n");
    EXPECT_TRUE(WaitFor("1007 CHANNEL \"" + channel + "\"")) << channel;
  }

 private:
  void Send(const std::string& line) {
    EXPECT_EQ(static_cast<ssize_t>(line.size()), send(fd_, line.data(), line.size(), 0));
  }
  // Reads until `text` arrives after what an earlier wait found.
  bool WaitFor(const std::string& text) {
    std::size_t at;
    while ((at = received_.find(text, from_)) == std::string::npos) {
      char bytes[4096];
      const ssize_t got = recv(fd_, bytes, sizeof(bytes), 0);
      if (got <= 0) return false;
      received_.append(bytes, static_cast<std::size_t>(got));
    }
    from_ = at + text.size();
    return true;
  }

  int fd_;
  std::string received_;
  std::size_t from_ = 0;
};

class SeenFileProgramTest : public ProgramTest, public testing::WithParamInterface<TestedProgram> {
 protected:
  // Waits until the seen file holds `count` rows ending in `row`.
  static bool WaitForRows(const std::string& row, int count = 1) {
    return WaitForFileText(GetParam().variant.seenFile, row + "\r\n", count);
  }
};

TEST_P(SeenFileProgramTest, RecordsMembersOnlyWhileWatchingTheHomeChannel) {
  WriteFile(GetParam().variant.membersListFile, "Members\nAlice\nbob\n");
  // Every logon lands in the home channel: no other channel event comes
  // between a lost connection and the next watch.
  server::ServerOptions options;
  options.firstChannel = "Clan";
  StartServer(options);
  const std::uint16_t port = server_->Port();
  Member alice(port, "alice"), carol(port, "carol");
  Run(GetParam().path);
  ASSERT_TRUE(WaitForRows(",Alice,here,Clan"));
  int bot = server_->ConnectionCount();
  {
    // Dave is on no list; his join and leave come before bob's.
    Member dave(port, "dave"), bob(port, "BOB");
    ASSERT_TRUE(WaitForRows(",bob,joined,Clan"));
    dave.Join("Elsewhere");
  }
  ASSERT_TRUE(WaitForRows(",bob,left,Clan"));
  server_->SendToAll("1007 CHANNEL \"The Void\"\r\n");
  ASSERT_TRUE(WaitForRows(",,not-watching,Clan")) << "placed elsewhere";
  for (int watch = 2; watch <= 3; ++watch) {
    server_->Close(bot);
    ASSERT_TRUE(WaitForRows(",Alice,here,Clan", watch)) << "no new watch after the connection was lost";
    bot = server_->ConnectionCount();
  }
  bot_->Stop();  // a clean stop ends the watch too
  const std::string seen = ReadFile(GetParam().variant.seenFile);
  EXPECT_EQ(
      "time,player,event,channel\r\n"
      "T,,watching,Clan\r\nT,Alice,here,Clan\r\nT,bob,joined,Clan\r\nT,bob,left,Clan\r\nT,,not-watching,"
      "Clan\r\n"
      "T,,watching,Clan\r\nT,Alice,here,Clan\r\nT,,not-watching,Clan\r\nT,,watching,Clan\r\nT,Alice,here,"
      "Clan\r\nT,,not-watching,Clan\r\n",
      testing_support::WithoutUtcTimes(seen));
  std::string last;
  for (std::size_t at = seen.find("\r\n") + 2; at < seen.size(); at = seen.find("\r\n", at) + 2) {
    EXPECT_LE(last, seen.substr(at, 20)) << "rows out of time order";
    last = seen.substr(at, 20);
  }
  ExpectNoSanitizerReport();
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, SeenFileProgramTest, testing::ValuesIn(kTestedPrograms),
                         TestedProgramName);

}  // namespace
}  // namespace corvane
