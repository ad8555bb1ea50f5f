// One connection's conversation with the stand-in chat server, without
// sockets: lines in, bytes out. What connections share (channels, logged-on
// accounts, channel spellings) is in a Lobby each conversation is given. The
// caller serialises all calls on conversations of one lobby (the server holds
// one lock around them) and carries the bytes to and from the sockets.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "server/server_options.h"

namespace corvane::server {

// Cuts received bytes into lines at LF, dropping a CR right before the LF. A
// line longer than kLongestKept bytes keeps only its first kLongestKept bytes:
// the rest, up to its LF, is dropped as it arrives, so a client that never
// ends its line cannot grow the server's memory. The real server refuses
// lines over 200 characters; such a cut line is refused the same way.
class LineCutter {
 public:
  static constexpr size_t kLongestKept = 2048;

  // Takes `count` bytes and appends the lines they complete to `lines`.
  void Append(const char* bytes, size_t count, std::vector<std::string>* lines);

 private:
  std::string partial_;    // the unterminated line so far, at most kLongestKept bytes
  bool overlong_ = false;  // bytes of the unterminated line were dropped
};

class Conversation;

// What the conversations of one server share.
class Lobby {
 public:
  explicit Lobby(const ServerOptions& options);

  // Called whenever bytes are queued for a conversation, so that the caller
  // can have them sent. May be empty.
  std::function<void(Conversation&)> onOutput;
  // True when the client of a conversation has already gone (its end of the
  // stream arrived, unread); a logon of its account is then taken. May be
  // empty (no client is gone).
  std::function<bool(const Conversation&)> clientGone;

  // The server's spelling of the channel `name`, remembering `name` for a
  // new channel.
  std::string ChannelSpelling(const std::string& name);

 private:
  friend class Conversation;
  struct Channel {
    std::string name;                    // the server's spelling
    std::vector<Conversation*> members;  // in join order
  };

  const ServerOptions& options_;
  std::map<std::string, Channel> channels_;       // by name without letter case; only occupied ones
  std::map<std::string, std::string> spellings_;  // every channel name seen, without case -> spelling
  std::set<std::string> accountsSeen_;            // without letter case
  std::vector<Conversation*> conversations_;      // every conversation not yet destroyed
  int logonsRefused_ = 0;                         // by options_.refuseLogons
  std::map<std::string, int> recordsAnswered_;  // "player/PRODUCT" without case -> answers (changingRecords)
};

class Conversation {
 public:
  // A conversation of connection `id` (1, 2, ...) in `lobby`, which must
  // outlive it.
  Conversation(int id, const ServerOptions& options, Lobby& lobby);
  // Leaves the channel the client is in.
  ~Conversation();
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;

  int id() const { return id_; }
  bool LoggedOn() const { return loggedOn_; }
  // True once the conversation is over: the server closes the connection
  // after sending what is queued, and ignores what still arrives.
  bool Ended() const { return ended_; }

  // Queues the connect prompts, when the options want them.
  void Open();
  // Handles one line the client sent. Returns false once the conversation
  // has ended (at once, or when this line ended it).
  bool HandleLine(const ReceivedLine& line);
  // Names the client with 2010 NAME and logs it on as `account`, with no
  // first channel and no welcome, as a script does.
  void LogOn(const std::string& account);
  // Places the client in `channel` as a join would.
  void Enter(const std::string& channel);
  // Ends the conversation: the client leaves its channel (the others are
  // told) and nothing more is queued for it.
  void End();

  // Queues raw bytes for the client (even when the server is silent), unless
  // the conversation has ended.
  void Queue(const std::string& bytes);
  // The bytes queued for the client since the last call, in order.
  std::string TakeOutput();

 private:
  bool HandleLogonLine(const std::string& line);
  bool HandleCommand(const std::string& line);
  bool HandleStats(const std::string& arguments);
  void HandleJoin(const std::string& arguments);
  void HandleTalk(const std::string& text);
  // Counts `line` against the flood limit: 0 carry it out, 1 drop it, 2 close.
  int FloodVerdict(const ReceivedLine& line);
  bool IsLoggedOnElsewhere(const std::string& account) const;
  void LogOn(const std::string& account, bool welcome);
  void Enter(const std::string& channel, bool welcome);
  void Leave();

  const int id_;
  const ServerOptions& options_;
  Lobby& lobby_;
  bool ended_ = false;
  bool firstLine_ = true;
  bool haveAccount_ = false;  // the account line of a logon attempt was read
  std::string pendingAccount_;
  bool loggedOn_ = false;
  std::string name_;     // the account as logged on
  std::string channel_;  // the channel's key (name without letter case); empty while in none
  int joins_ = 0;        // joins that were carried out (for the redirect)
  int statsAsked_ = 0;   // /stats requests handled
  int statsAnswered_ = 0;
  std::string output_;  // queued for the client
  std::deque<std::pair<std::chrono::steady_clock::time_point, int>>
      counted_;  // flood counts within the window
};

}  // namespace corvane::server
