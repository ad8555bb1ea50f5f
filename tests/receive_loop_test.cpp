#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/event_table.h"
#include "tests/test_support.h"

namespace corvane {
namespace {

using testing_support::Event;
using testing_support::ReadFile;
using testing_support::RecordingConnection;
using testing_support::ScratchDirectory;
using testing_support::ScriptedEnvironment;

// A connected client whose server is `script`.
struct ScriptedClient {
  ScriptedEnvironment environment;
  RecordingConnection connection{environment};

  explicit ScriptedClient(std::vector<std::string> chunks) {
    environment.Script(chunks);
    connection.Configure("bot", "pw", "127.0.0.1", 6112);
    EXPECT_EQ(1, connection.Connect());
  }
  std::vector<Event> Run() {
    EXPECT_EQ(0, connection.ReceiveLoop());
    return connection.events;
  }
};

std::vector<std::string> Cut(const std::string& bytes, std::size_t size) {
  std::vector<std::string> chunks;
  for (std::size_t at = 0; at < bytes.size(); at += size) chunks.push_back(bytes.substr(at, size));
  return chunks;
}

std::string Conversation() {
  std::string bytes =
      "Connection from [127.0.0.1]\r\n"
      "Username: statbot\r\n"
      "2010 NAME statbot\r\n"
      "1007 CHANNEL \"Chat\"\r\n"
      "\r\n"
      "\n"
      "1001 USER statbot 0010 [CHAT]\n"
      "1018 INFO \"\"\r\n";
  // Enough lines to wrap the 2048-byte buffer several times.
  for (int i = 0; i < 60; ++i) {
    bytes += "1005 TALK user" + std::to_string(i) + " 0010 \"line " + std::to_string(i) + " " +
             std::string(static_cast<std::size_t>(i * 7), 'x') + "\"\r\n";
  }
  bytes += "1019 ERROR \"last\"\r\n";
  return bytes;
}

TEST(ReceiveLoop, SameBytesGiveSameEventsHoweverTheyArrive) {
  const std::string bytes = Conversation();
  std::vector<Event> whole = ScriptedClient({bytes}).Run();
  ASSERT_EQ(65u, whole.size());
  EXPECT_EQ((Event{"OnName", "statbot", 0, ""}), whole[0]);
  EXPECT_EQ((Event{"OnChannel", "", 0, "Chat"}), whole[1]);
  EXPECT_EQ((Event{"OnShowUser", "statbot", 0x10, ""}), whole[2]);
  EXPECT_EQ((Event{"OnInfo", "", 0, ""}), whole[3]);
  EXPECT_EQ((Event{"OnTalk", "user59", 0x10, ("line 59 " + std::string(413, 'x')).substr(0, 255)}),
            whole[63]);
  EXPECT_EQ((Event{"OnError", "", 0, "last"}), whole[64]);
  for (std::size_t size : {1u, 10u, 700u, 2047u}) {
    EXPECT_EQ(whole, ScriptedClient(Cut(bytes, size)).Run()) << "chunks of " << size;
  }
}

TEST(ReceiveLoop, LinesInOneReadAreDispatchedBeforeIdleAndSplitLinesOnce) {
  ScriptedClient client(
      {"1018 INFO \"a\"\r\n1018 INFO \"b\"\r\n1018 IN", ScriptedEnvironment::kTimeout, "FO \"c\"\r\n"});
  std::vector<int> idlesAtEvent;
  struct Watcher : RecordingConnection {
    using RecordingConnection::RecordingConnection;
    std::vector<int>* idlesAtEvent = nullptr;
    int OnInfo(const char* n, std::uint32_t f, const char* t) override {
      idlesAtEvent->push_back(idles);
      return RecordingConnection::OnInfo(n, f, t);
    }
  } watcher(client.environment);
  watcher.idlesAtEvent = &idlesAtEvent;
  watcher.Configure("bot", "pw", "127.0.0.1", 6112);
  ASSERT_EQ(1, watcher.Connect());
  EXPECT_EQ(0, watcher.ReceiveLoop());
  ASSERT_EQ(3u, watcher.events.size());
  EXPECT_EQ("c", watcher.events[2].text);
  EXPECT_EQ((std::vector<int>{0, 0, 2}), idlesAtEvent)
      << "a and b before the first idle call; c after the timeout's idle call";
  EXPECT_EQ(3, watcher.idles) << "one idle call after every wait";
}

TEST(EventTable, HoldsTheProtocolsIdsAndTheirSlots) {
  // The protocol's table, written out once: the one place outside the
  // table itself that names the ids.
  const std::vector<std::tuple<int, std::string, bool>> protocol = {{1001, "OnShowUser", false},
                                                                    {1002, "OnJoin", false},
                                                                    {1003, "OnLeave", false},
                                                                    {1004, "OnWhisper", false},
                                                                    {1005, "OnTalk", false},
                                                                    {1006, "OnBroadcast", false},
                                                                    {1007, "OnChannel", true},
                                                                    {1009, "OnUserFlags", false},
                                                                    {1010, "OnWhisperSent", false},
                                                                    {1013, "OnChannelFull", true},
                                                                    {1014, "OnChannelDoesNotExist", true},
                                                                    {1015, "OnChannelRestricted", true},
                                                                    {1018, "OnInfo", true},
                                                                    {1019, "OnError", true},
                                                                    {1023, "OnEmote", false},
                                                                    {2010, "OnName", false}};
  ASSERT_EQ(protocol.size(), kEventRouteCount);
  for (std::size_t i = 0; i < kEventRouteCount; ++i) {
    EXPECT_EQ(std::get<0>(protocol[i]), kEventRoutes[i].id);
    EXPECT_EQ(std::get<1>(protocol[i]), kEventRoutes[i].slotName);
    EXPECT_EQ(std::get<2>(protocol[i]), kEventRoutes[i].textOnly) << kEventRoutes[i].id;
    EXPECT_EQ(&kEventRoutes[i], FindEventRoute(kEventRoutes[i].id));
  }
  EXPECT_EQ(nullptr, FindEventRoute(1008));
  EXPECT_EQ(nullptr, FindEventRoute(0));
}

TEST(ReceiveLoop, EveryTableIdReachesItsSlotAndOthersAreLogged) {
  ScratchDirectory scratch;
  std::string bytes;
  for (const EventRoute& route : kEventRoutes) bytes += std::to_string(route.id) + " X n 1 \"t\"\r\n";
  bytes += "1008 X\r\n1011 X\r\n1012 X\r\n1016 X\r\n1017 X\r\n1020 X\r\n999 X\r\n";
  ScriptedClient client({bytes});
  ASSERT_EQ(1, client.connection.OpenLog("corvane.log"));
  std::vector<Event> events = client.Run();
  ASSERT_EQ(kEventRouteCount, events.size());
  // The recording connection names each slot itself: the route's handler
  // must be the slot the route names.
  for (std::size_t i = 0; i < kEventRouteCount; ++i) {
    EXPECT_EQ(kEventRoutes[i].slotName, events[i].slot);
    EXPECT_EQ(kEventRoutes[i].textOnly ? "" : "n", events[i].name) << events[i].slot;
  }
  EXPECT_EQ(
      "Unhandled event ID 1008\r\nUnhandled event ID 1011\r\nUnhandled event ID 1012\r\n"
      "Unhandled event ID 1016\r\nUnhandled event ID 1017\r\nUnhandled event ID 1020\r\n"
      "Unhandled event ID 999\r\nrecv() returned 0, error code 104\r\n",
      ReadFile("corvane.log"));
}

TEST(ReceiveLoop, LinesNotStartingWithADigitAreDroppedSilently) {
  ScratchDirectory scratch;
  ScriptedClient client(
      {"Connection from [127.0.0.1]\r\n Username: x\r\n\r\n\"1018\r\n"
       "Username: Password: Login failed.\r\nLogin failed. \r\nlogin failed.\r\n"
       "1018 INFO \"ok\"\r\n"});
  client.connection.OpenLog("corvane.log");
  std::vector<Event> events = client.Run();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ("ok", events[0].text);
  EXPECT_EQ("recv() returned 0, error code 104\r\n", ReadFile("corvane.log"));
  EXPECT_EQ(kLogonPending, client.connection.logonState()) << "only the exact line is a refusal";
}

TEST(ReceiveLoop, LoginFailedEndsTheLoopAsARefusedLogon) {
  ScratchDirectory scratch;
  for (const char* line : {"Login failed.\r\n", "Login failed.\n"}) {
    ScriptedClient client({std::string("Username: statbot\r\nPassword: \r\n") + line +
                           "\r\nUsername: 1018 INFO \"never read\"\r\n"});
    client.connection.Configure("statbot", "pw", "chat.example.org", 6112);
    ASSERT_EQ(1, client.connection.OpenLog("refused.log"));
    EXPECT_TRUE(client.Run().empty());
    EXPECT_EQ(kLogonRefused, client.connection.logonState());
    client.connection.CloseLog();
  }
  EXPECT_EQ(
      "Logon refused: chat.example.org, port 6112 answered \"Login failed.\" for statbot\r\n"
      "Logon refused: chat.example.org, port 6112 answered \"Login failed.\" for statbot\r\n",
      ReadFile("refused.log"))
      << "one line each, and no recv() line: the connection did not fail";

  ScriptedClient confirmed({"2010 NAME statbot\r\n"});
  confirmed.Run();
  EXPECT_EQ(kLogonConfirmed, confirmed.connection.logonState());
}

TEST(ReceiveLoop, LongestLineFitsAndAFullBufferWithoutLineEndEndsTheConnection) {
  ScratchDirectory scratch;
  std::string longest = "1018 INFO \"" + std::string(2047 - 12, 'a') + "\"\n";
  ASSERT_EQ(2048u, longest.size());
  ScriptedClient fits({longest, "1018 INFO \"after\"\n"});
  std::vector<Event> events = fits.Run();
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ(std::string(255, 'a'), events[0].text);
  EXPECT_EQ("after", events[1].text);

  ScriptedClient full({"1018 INFO \"ok\"\n" + std::string(3000, 'z')});
  full.connection.OpenLog("corvane.log");
  events = full.Run();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(0u, full.environment.lastReceiveRoom) << "no room is left for a receive";
  EXPECT_EQ("recv() returned 0, error code 104\r\n", ReadFile("corvane.log"));
}

TEST(ReceiveLoop, IdleWhileTheServerIsSilentAndNothingWithoutASocket) {
  ScriptedClient silent(
      {ScriptedEnvironment::kTimeout, ScriptedEnvironment::kTimeout, ScriptedEnvironment::kTimeout});
  silent.Run();
  EXPECT_EQ(3, silent.connection.idles);
  EXPECT_EQ(4, silent.environment.waits);

  ScriptedEnvironment environment;
  environment.Script({"1018 INFO \"never read\"\n"});
  RecordingConnection unconnected(environment);
  EXPECT_EQ(0, unconnected.ReceiveLoop());
  EXPECT_EQ(0, environment.waits);
  EXPECT_TRUE(unconnected.events.empty());
}

}  // namespace
}  // namespace corvane
