// Tests of one connection's conversation with the stand-in chat server and of
// its line framing, without sockets: bytes go in through a LineCutter, the
// conversation's queued output comes out, and time is given by the test.

#include "server/conversation.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/server_texts.h"

namespace corvane::server {
namespace {

using texts::InfoLines;
using texts::kLoginFailed;
using texts::kPrompts;
using texts::kTopic;
using texts::Welcome;

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

const std::string kQuotaExceeded =
    "1019 ERROR \"Your message quota has been exceeded!\"\r\n"
    "1019 ERROR \"You are sending commands to the server too quickly and risk being disconnected for "
    "flooding. Please slow down.\"\r\n";

// One client of the lobby: what it sends goes through the line framing into
// its conversation; what the conversation queues is what it receives.
struct Client {
  Client(int id, const ServerOptions& options, Lobby& lobby) : conversation(id, options, lobby) {}
  Conversation conversation;
  LineCutter cutter;
  std::string received;            // everything taken from the conversation so far
  std::vector<std::string> lines;  // every line the framing cut, as the server records them
  bool gone = false;               // the client closed its end (for Lobby::clientGone)

  // The bytes queued for the client since the last call.
  std::string Take() {
    std::string out = conversation.TakeOutput();
    received += out;
    return out;
  }
  // True once the server would close the connection.
  bool Closed() const { return conversation.Ended(); }
};

class ConversationTest : public ::testing::Test {
 protected:
  void Start(ServerOptions options = ServerOptions()) {
    options_ = std::move(options);
    lobby_ = std::make_unique<Lobby>(options_);
    lobby_->clientGone = [this](const Conversation& c) { return clients_[c.id() - 1]->gone; };
  }
  void TearDown() override {
    clients_.clear();  // before the lobby they are in
  }
  // A new connection, given the connect prompts.
  Client& Connect() {
    clients_.push_back(std::make_unique<Client>(static_cast<int>(clients_.size()) + 1, options_, *lobby_));
    clients_.back()->conversation.Open();
    return *clients_.back();
  }
  // `bytes` arrive from `c` at the test's clock; returns what they were answered.
  std::string Send(Client& c, const std::string& bytes) {
    c.Take();
    std::vector<std::string> texts;
    c.cutter.Append(bytes.data(), bytes.size(), &texts);
    for (const std::string& text : texts) {
      c.lines.push_back(text);
      if (!c.conversation.HandleLine({c.conversation.id(), now_, text})) break;
    }
    return c.Take();
  }
  // Sends the logon the way the bot does; true when the welcome burst came.
  bool LogOn(Client& c, const std::string& account, const std::string& password = "secret1") {
    const std::string reply = Send(c, "\x03\x04" + account + "\r\n" + password + "\r\n");
    return reply.find(" topic: This is the public chat channel.\"\r\n") != std::string::npos;
  }
  void Advance(milliseconds span) { now_ += span; }

  ServerOptions options_;
  std::unique_ptr<Lobby> lobby_;
  std::vector<std::unique_ptr<Client>> clients_;
  Clock::time_point now_ = Clock::now();
};

// ---------------------------------------------------------------- line framing

TEST(LineCutterTest, SplitInputGivesTheSameLines) {
  const std::string bytes = "\x03\x04statbot\r\nsecret1\n\r\n/join Clan \r\r\nrest";
  const std::vector<std::string> expected = {"\x03\x04statbot", "secret1", "", "/join Clan \r"};
  for (size_t step : {bytes.size(), size_t{1}, size_t{10}}) {
    LineCutter cutter;
    std::vector<std::string> lines;
    for (size_t at = 0; at < bytes.size(); at += step) {
      cutter.Append(bytes.data() + at, std::min(step, bytes.size() - at), &lines);
    }
    EXPECT_EQ(lines, expected) << "in pieces of " << step << "; the unterminated tail is not a line";
  }
}

TEST(LineCutterTest, AnOverlongLineKeepsOnlyItsStartAndTheNextLineIsWhole) {
  LineCutter cutter;
  std::vector<std::string> lines;
  const std::string chunk(1000, 'x');
  for (int i = 0; i < 5; ++i) cutter.Append(chunk.data(), chunk.size(), &lines);
  EXPECT_TRUE(lines.empty());
  const std::string end = "yy\r\nnext\r\n";
  cutter.Append(end.data(), end.size(), &lines);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(LineCutter::kLongestKept, 'x'));
  EXPECT_EQ(lines[1], "next");
}

// ---------------------------------------------------------------- logon

using LogonTest = ConversationTest;

TEST_F(LogonTest, AcceptsSplitBytesBareLineFeedsAndNoLeadingBytes) {
  ServerOptions options;
  options.sendPrompts = false;
  Start(options);
  Client& c = Connect();
  for (char ch : std::string("statbot\nsecret1\n")) Send(c, std::string(1, ch));
  EXPECT_EQ(c.received, Welcome("statbot")) << "no prompts expected";
}

TEST_F(LogonTest, LeadingBytesMayArriveAlone) {
  ServerOptions options;
  options.sendPrompts = false;
  Start(options);
  Client& c = Connect();
  Send(c, "\x03");
  Send(c, "\x04");
  Send(c, "statbot\r\nx\r\n");
  EXPECT_EQ(c.received.substr(0, 19), "2010 NAME statbot\r\n");
}

TEST_F(LogonTest, RefusedLogonKeepsConnectionOpenAndRetryWorks) {
  ServerOptions options;
  options.accounts = {{"statbot", "secret1"}, {"other", "pw2"}};
  Start(options);
  Client& c = Connect();
  EXPECT_EQ(c.Take(), kPrompts);
  EXPECT_EQ(Send(c, "\x03\x04statbot\r\nwrong\r\n"), "statbot\r\nPassword: " + kLoginFailed)
      << "the new prompt has no line end and no event follows";
  const std::string unknown = Send(c, "nobody\r\nsecret1\r\n");
  EXPECT_NE(unknown.find(kLoginFailed), std::string::npos) << "unknown account";
  EXPECT_EQ(unknown.find("2010"), std::string::npos);
  EXPECT_EQ(Send(c, "StatBot\r\nsecret1\r\n"), "StatBot\r\nPassword: \r\n" + Welcome("statbot", 2))
      << "account names without letter case; named in the accounts file's spelling";
  EXPECT_FALSE(c.Closed());
}

TEST_F(LogonTest, SecondLogonOfAConnectedAccountIsRefusedAndTheFirstGoesOn) {
  Start();
  Client& first = Connect();
  ASSERT_TRUE(LogOn(first, "statbot"));
  Client& second = Connect();
  Send(second, "\x03\x04STATBOT\r\nsecret1\r\n");
  EXPECT_EQ(second.received, kPrompts + "STATBOT\r\nPassword: " + kLoginFailed);
  EXPECT_FALSE(second.Closed());

  const std::string answer = InfoLines(StatsAnswer("alice", "SEXP"));
  EXPECT_EQ(Send(first, "/stats alice SEXP\r\n"), answer) << "the first session goes on";

  // Once the first client has gone, the account may log on again, even
  // before the server has read the end of its stream.
  first.gone = true;
  EXPECT_NE(Send(second, "statbot\r\nsecret1\r\n").find("2010 NAME statbot\r\n"), std::string::npos);
}

TEST_F(LogonTest, RefuseLogonsRefusesTheFirstOnesOnly) {
  ServerOptions options;
  options.refuseLogons = 2;
  Start(options);
  Client& c = Connect();
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(Send(c, "statbot\r\nsecret1\r\n").find(kLoginFailed), std::string::npos) << "logon " << i;
  }
  ASSERT_TRUE(LogOn(c, "statbot"));
}

// ---------------------------------------------------------------- channels

using ChannelTest = ConversationTest;

TEST_F(ChannelTest, JoinTakesTheFirstWordAndListsUsers) {
  Start();
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  EXPECT_EQ(Send(c, "/join TestHome \t \r\n"),
            "1007 CHANNEL \"TestHome\"\r\n"
            "1018 INFO \"you are now tempOP for this channel\"\r\n"
            "1009 USER statbot 0010\r\n"
            "1001 USER statbot 0010 [CHAT]\r\n"
            "1009 USER statbot 0002\r\n");
  // The recorded line keeps what the client really sent.
  ASSERT_EQ(c.lines.size(), 3u);
  EXPECT_EQ(c.lines[2], "/join TestHome \t ");
  EXPECT_EQ(Send(c, "/join Other words\r\n").substr(0, 23), "1007 CHANNEL \"Other\"\r\n1");
}

TEST_F(ChannelTest, JoinToTheCurrentChannelGetsNoAnswerWhateverItsLetterCase) {
  ServerOptions options;
  options.floodProtection = false;  // more lines than 4 in 5 s
  Start(options);
  Client& a = Connect();
  Client& b = Connect();
  ASSERT_TRUE(LogOn(a, "alpha"));
  Send(a, "/join TestHome\r\n");
  ASSERT_TRUE(LogOn(b, "beta"));
  EXPECT_NE(Send(b, "/join testhome\r\n").find("1001 USER beta 0010 [CHAT]\r\n"), std::string::npos);
  EXPECT_NE(a.Take().find("1002 JOIN beta 0010 [CHAT]\r\n"), std::string::npos);
  for (const char* again : {"/join TestHome\r\n", "/join TESTHOME \r\n", "/j testhome\t\r\n"}) {
    EXPECT_EQ(Send(b, again), "") << "nothing for " << again;
  }
  EXPECT_EQ(Send(b, "/dance\r\n"), "1019 ERROR \"Unknown command.\"\r\n");
  EXPECT_EQ(a.Take(), "") << "the others are not told either";
}

TEST_F(ChannelTest, ChannelsKeepTheSpellingTheyWereFirstCreatedWith) {
  ServerOptions options;
  options.firstChannel = "Chat Lobby";
  options.redirectChannel = "The Void";
  options.redirectJoins = 1;
  options.channels = {"OldHands"};
  options.floodProtection = false;  // more lines than 4 in 5 s
  Start(options);
  Client& c = Connect();
  Send(c, "\x03\x04statbot\r\nsecret1\r\n");
  EXPECT_EQ(Send(c, "/join elsewhere\r\n").substr(0, 23), "1007 CHANNEL \"The Void\"")
      << "a redirect target keeps the options' spelling";
  EXPECT_EQ(Send(c, "/join oldhands\r\n").substr(0, 23), "1007 CHANNEL \"OldHands\"")
      << "a channel that exists from the start";
  EXPECT_EQ(Send(c, "/join TestHome\r\n").substr(0, 23), "1007 CHANNEL \"TestHome\"");
  Send(c, "/join the VOID\r\n");
  EXPECT_EQ(Send(c, "/join testhome\r\n").substr(0, 23), "1007 CHANNEL \"TestHome\"")
      << "joined in other letter case, reported in the server's spelling";

  Client& other = Connect();
  EXPECT_NE(Send(other,
                 "\x03\x04"
                 "alpha\r\nsecret1\r\n")
                .find("1007 CHANNEL \"Chat Lobby\""),
            std::string::npos);
  Send(other, "/join Redirected\r\n");
  EXPECT_EQ(Send(other, "/join TESTHOME\r\n"),
            "1007 CHANNEL \"TestHome\"\r\n"
            "1001 USER statbot 0010 [CHAT]\r\n"
            "1009 USER alpha 0010\r\n"
            "1001 USER alpha 0010 [CHAT]\r\n")
      << "no tempOP line when the channel has people in it";
}

TEST_F(ChannelTest, TwoClientsSeeEachOthersJoinTalkAndLeave) {
  Start();
  Client& a = Connect();
  Client& b = Connect();
  ASSERT_TRUE(LogOn(a, "alpha"));
  Send(a, "/join Clan\r\n");
  EXPECT_EQ(Send(a, "anyone?\r\n"), "1018 INFO \"No one hears you.\"\r\n");

  ASSERT_TRUE(LogOn(b, "beta"));
  a.Take();
  Send(b, "/join Clan\r\n");
  EXPECT_EQ(a.Take(), "1002 JOIN beta 0010 [CHAT]\r\n");

  EXPECT_EQ(Send(b, "hello there\r\n"), "") << "the talker gets no echo";
  EXPECT_EQ(a.Take(), "1005 TALK beta 0010 \"hello there\"\r\n");

  b.conversation.End();  // the connection ended
  EXPECT_EQ(a.Take(), "1003 LEAVE beta 0010\r\n");
}

TEST_F(ChannelTest, LeavingForAnotherChannelTellsTheOldOne) {
  Start();
  Client& a = Connect();
  Client& b = Connect();
  ASSERT_TRUE(LogOn(a, "alpha"));
  ASSERT_TRUE(LogOn(b, "beta"));
  EXPECT_EQ(a.Take(), "1002 JOIN beta 0010 [CHAT]\r\n") << "both start in the first channel";
  Send(b, "/join Elsewhere\r\n");
  EXPECT_EQ(a.Take(), "1003 LEAVE beta 0010\r\n");
}

TEST_F(ChannelTest, FullAndRestrictedChannelsKeepClientWhereItIs) {
  ServerOptions options;
  options.fullChannels = {"Busy"};
  options.restrictedChannels = {"Locked"};
  Start(options);
  Client& a = Connect();
  ASSERT_TRUE(LogOn(a, "alpha"));
  EXPECT_EQ(Send(a, "/join busy\r\n"), "1013 CHANNELFULL \"Busy\"\r\n");
  EXPECT_EQ(Send(a, "/join Locked \r\n"), "1015 CHANNELRESTRICTED \"Locked\"\r\n");

  // alpha is still in the first channel: a newcomer there lists it.
  Client& b = Connect();
  ASSERT_TRUE(LogOn(b, "beta"));
  EXPECT_NE(b.received.find("1001 USER alpha 0010 [CHAT]\r\n1001 USER beta 0010 [CHAT]\r\n"),
            std::string::npos)
      << b.received;
}

TEST_F(ChannelTest, RedirectPlacesTheFirstJoinsElsewhere) {
  ServerOptions options;
  options.redirectChannel = "Void";
  options.redirectJoins = 1;
  Start(options);
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  EXPECT_EQ(Send(c, "/join Clan\r\n").substr(0, 22), "1007 CHANNEL \"Void\"\r\n1");
  EXPECT_EQ(Send(c, "/join Clan\r\n").substr(0, 22), "1007 CHANNEL \"Clan\"\r\n1");
}

TEST_F(ChannelTest, RedirectMinusOneRedirectsEveryJoin) {
  ServerOptions options;
  options.redirectChannel = "Void";
  options.redirectJoins = -1;
  Start(options);
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  for (int i = 0; i < 3; ++i) {
    const std::string reply = Send(c, "/join Clan\r\n");
    EXPECT_EQ(reply.substr(0, 21), "1007 CHANNEL \"Void\"\r\n") << "join " << i;
    // Only the first join makes the client the channel's operator (0002).
    EXPECT_EQ(reply.find("1009 USER statbot 0002\r\n") != std::string::npos, i == 0) << "join " << i;
  }
}

TEST_F(ChannelTest, BadCommandsGetErrors) {
  Start();
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  EXPECT_EQ(Send(c, "/dance now\r\n"), "1019 ERROR \"Unknown command.\"\r\n");
  EXPECT_EQ(Send(c, "/join   \r\n"), "1019 ERROR \"Usage: /join <channel>\"\r\n");
}

// ---------------------------------------------------------------- stats

using StatsTest = ConversationTest;

TEST_F(StatsTest, KnownPlayerGetsRecordLinesInTheProductsFormat) {
  Start();
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  EXPECT_EQ(Send(c, "/stats alice SEXP\r\n"), InfoLines(StatsAnswer("alice", "SEXP")));
  EXPECT_EQ(Send(c, "/stats alice star \r\n"), InfoLines(StatsAnswer("alice", "STAR")))
      << "product code in any case";
  EXPECT_EQ(Send(c, "/stats alice QQQQ\r\n"), InfoLines(StatsAnswer("alice", "QQQQ")));
}

TEST_F(StatsTest, PlayerListDecidesWhoIsKnownWithoutLetterCase) {
  ServerOptions options;
  options.players = {"Alice", "bob"};
  Start(options);
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  EXPECT_EQ(Send(c, "/stats nobody SEXP\r\n"), "1019 ERROR \"Invalid user.\"\r\n");
  EXPECT_EQ(Send(c, "/stats aLiCe SEXP\r\n"), InfoLines(StatsAnswer("Alice", "SEXP")))
      << "named in the server's spelling";
  EXPECT_EQ(Send(c, "/stats BOB STAR\r\n"), InfoLines(StatsAnswer("bob", "STAR")));
}

TEST_F(StatsTest, MalformedNameIsUnknownWithoutPlayerList) {
  Start();
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  EXPECT_EQ(Send(c, "/stats bad*name SEXP\r\n"), "1019 ERROR \"Invalid user.\"\r\n");
  EXPECT_EQ(Send(c, "/stats waytoolongname16 SEXP\r\n"), "1019 ERROR \"Invalid user.\"\r\n");
}

TEST_F(StatsTest, MissingProductGetsThreeErrors) {
  Start();
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  const std::string errors =
      "1019 ERROR \"This game does not support win/loss records.\"\r\n"
      "1019 ERROR \"You must supply a user name and a valid program ID.\"\r\n"
      "1019 ERROR \"Example: /stats joe STAR\"\r\n";
  EXPECT_EQ(Send(c, "/stats alice\r\n"), errors);
  EXPECT_EQ(Send(c, "/stats\r\n"), errors);
}

TEST_F(StatsTest, StyleDroppedRequestsAndACutAnswerAsTold) {
  ServerOptions options;
  options.floodProtection = false;
  options.statsStyle = {RecordFormat::kWonLostDrawn, RecordTag::kEvery, "A+"};
  options.dropStats = {2};
  options.cutStats = 4;
  options.cutStatsAfterLines = 2;
  Start(options);
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  const std::vector<std::string> alice = StatsAnswer("alice", "SEXP", options.statsStyle);
  EXPECT_EQ(Send(c, "/stats alice SEXP\r\n"), InfoLines(alice)) << "the server's style, not the product's";
  EXPECT_EQ(alice[1].rfind("Normal games: [A+] ", 0), 0u) << alice[1];
  EXPECT_EQ(Send(c, "/stats bob1 STAR\r\n"), kQuotaExceeded) << "the second request is dropped";
  EXPECT_EQ(Send(c, "/stats bob1 STAR\r\n"), InfoLines(StatsAnswer("bob1", "STAR", options.statsStyle)));
  const std::vector<std::string> carol = StatsAnswer("carol", "SEXP", options.statsStyle);
  EXPECT_EQ(Send(c, "/stats carol SEXP\r\n"), InfoLines({carol[0], carol[1]}))
      << "the fourth answer is cut after two lines";
  EXPECT_TRUE(c.Closed());
}

// ---------------------------------------------------------------- flood protection

using FloodTest = ConversationTest;

TEST_F(FloodTest, FourLinesAreCarriedOutTheFifthToNinthDroppedTheTenthCloses) {
  Start();
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  std::string expected;
  std::string requests;
  for (int i = 0; i < 10; ++i) {
    const std::string name = "p" + std::to_string(i);
    requests += "/stats " + name + " SEXP\r\n";
    if (i < 4) expected += InfoLines(StatsAnswer(name, "SEXP"));
    if (i >= 4 && i < 9) expected += kQuotaExceeded;
  }
  EXPECT_EQ(Send(c, requests), expected) << "the tenth closes without a word";
  EXPECT_TRUE(c.Closed());
}

TEST_F(FloodTest, LongLinesCountOncePerFortyCharactersAndOldLinesExpire) {
  ServerOptions options;
  options.floodWindow = milliseconds(300);
  Start(options);
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  // 41 characters count twice: two of them fill the window.
  const std::string talk = std::string(41, 't') + "\r\n";
  EXPECT_EQ(Send(c, talk), "1018 INFO \"No one hears you.\"\r\n");
  Advance(milliseconds(100));
  EXPECT_EQ(Send(c, talk), "1018 INFO \"No one hears you.\"\r\n");
  Advance(milliseconds(100));
  EXPECT_EQ(Send(c, "x\r\n"), kQuotaExceeded);
  // Once the window has passed, lines count afresh.
  Advance(milliseconds(300));
  EXPECT_EQ(Send(c, "x\r\n"), "1018 INFO \"No one hears you.\"\r\n");
  // A line over 200 characters counts six times: over the limit by itself.
  Advance(milliseconds(300));
  EXPECT_EQ(Send(c, "/stats " + std::string(200, 'n') + " SEXP\r\n"), kQuotaExceeded);
}

TEST_F(FloodTest, LogonLinesDoNotCountAndOneRequestAWindowNeverTrips) {
  ServerOptions options;
  options.floodWindow = milliseconds(40);
  Start(options);
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  for (int i = 0; i < 12; ++i) {
    const std::string name = "p" + std::to_string(i);
    EXPECT_EQ(Send(c, "/stats " + name + " SEXP\r\n"), InfoLines(StatsAnswer(name, "SEXP")));
    Advance(milliseconds(20));
  }
}

TEST_F(FloodTest, WithoutProtectionRapidRequestsAreAllAnsweredInOrder) {
  ServerOptions options;
  options.floodProtection = false;
  Start(options);
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  // A line over 200 characters is refused without an answer.
  std::string requests = "/stats " + std::string(200, 'n') + " SEXP\r\n";
  std::string expected;
  for (int i = 0; i < 60; ++i) {
    const std::string name = "p" + std::to_string(i);
    const std::string product = i % 2 == 0 ? "SEXP" : "STAR";
    requests += "/stats " + name + " " + product + "\r\n";
    expected += InfoLines(StatsAnswer(name, product));
  }
  EXPECT_EQ(Send(c, requests), expected);
  EXPECT_FALSE(c.Closed());
}

// ---------------------------------------------------------------- scripted faults

using FaultTest = ConversationTest;

TEST_F(FaultTest, CloseAfterLogonClosesWithoutAnswer) {
  ServerOptions options;
  options.closeAfterLogon = true;
  Start(options);
  Client& c = Connect();
  EXPECT_EQ(Send(c, "\x03\x04statbot\r\nsecret1\r\n"), "");
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(c.received, kPrompts);
}

TEST_F(FaultTest, CloseAfterLogonWithoutPromptsSendsNothing) {
  ServerOptions options;
  options.closeAfterLogon = true;
  options.sendPrompts = false;
  Start(options);
  Client& c = Connect();
  Send(c, "statbot\r\n");
  EXPECT_FALSE(c.Closed()) << "only the second logon line ends it";
  Send(c, "secret1\r\n");
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(c.received, "");
}

TEST_F(FaultTest, SilentServerNeverAnswersButQueuesRawBytes) {
  ServerOptions options;
  options.silent = true;
  Start(options);
  Client& c = Connect();
  EXPECT_EQ(Send(c, "\x03\x04statbot\r\nsecret1\r\n/join Clan\r\n/stats alice SEXP\r\n"), "");
  EXPECT_FALSE(c.Closed());
  c.conversation.Queue("2010 NAME scripted\r\n");
  EXPECT_EQ(c.Take(), "2010 NAME scripted\r\n");
}

TEST_F(FaultTest, RawAfterWelcomeFollowsTheBurst) {
  ServerOptions options;
  options.rawAfterWelcome = "1019 ERROR \"odd\"\r\nno line end";
  Start(options);
  Client& c = Connect();
  const std::string got = Send(c, "\x03\x04statbot\r\nsecret1\r\n");
  ASSERT_GE(got.size(), kTopic.size() + options.rawAfterWelcome.size());
  EXPECT_EQ(got.substr(got.size() - kTopic.size() - options.rawAfterWelcome.size()),
            kTopic + options.rawAfterWelcome);
}

TEST_F(FaultTest, CloseAfterStatsClosesOnceAnswered) {
  ServerOptions options;
  options.closeAfterStats = 2;
  Start(options);
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  EXPECT_EQ(Send(c, "/stats alice SEXP\r\n"), InfoLines(StatsAnswer("alice", "SEXP")));
  ASSERT_FALSE(c.Closed());
  EXPECT_EQ(Send(c, "/stats nobody* SEXP\r\n"), "1019 ERROR \"Invalid user.\"\r\n")
      << "errors count as answers too";
  EXPECT_TRUE(c.Closed());
}

TEST_F(FaultTest, CloseAfterZeroStatsClosesWithoutAnswer) {
  ServerOptions options;
  options.closeAfterStats = 0;
  Start(options);
  Client& c = Connect();
  ASSERT_TRUE(LogOn(c, "statbot"));
  EXPECT_EQ(Send(c, "/stats alice SEXP\r\n"), "");
  EXPECT_TRUE(c.Closed());
}

}  // namespace
}  // namespace corvane::server
