#include "server/conversation.h"

#include <algorithm>
#include <cstring>

#include "server/text.h"

namespace corvane::server {

namespace {

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

std::string Event(const std::string& body) { return body + kCrLf; }
std::string Info(const std::string& text) { return Event("1018 INFO \"" + text + "\""); }
std::string Error(const std::string& text) { return Event("1019 ERROR \"" + text + "\""); }

// The two lines that answer a line the flood limit drops.
std::vector<std::string> QuotaExceeded() {
  return {
      Error("Your message quota has been exceeded!"),
      Error("You are sending commands to the server too quickly and risk being disconnected for flooding. "
            "Please slow down.")};
}

}  // namespace

// ---------------------------------------------------------------- line framing

void LineCutter::Append(const char* bytes, size_t count, std::vector<std::string>* lines) {
  size_t start = 0;
  while (start < count) {
    const void* lf = std::memchr(bytes + start, '\n', count - start);
    const size_t end = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - bytes) : count;
    const size_t take = std::min(kLongestKept - partial_.size(), end - start);
    partial_.append(bytes + start, take);
    if (take < end - start) overlong_ = true;
    if (lf == nullptr) return;
    std::string text;
    text.swap(partial_);
    if (!overlong_ && !text.empty() && text.back() == '\r') text.pop_back();
    overlong_ = false;
    lines->push_back(std::move(text));
    start = end + 1;
  }
}

// ---------------------------------------------------------------- lobby

Lobby::Lobby(const ServerOptions& options) : options_(options) {
  // Channels the options name keep the options' spelling.
  std::vector<std::string> named = {options_.firstChannel, options_.redirectChannel};
  named.insert(named.end(), options_.channels.begin(), options_.channels.end());
  named.insert(named.end(), options_.fullChannels.begin(), options_.fullChannels.end());
  named.insert(named.end(), options_.restrictedChannels.begin(), options_.restrictedChannels.end());
  for (const std::string& name : named) {
    if (!name.empty()) spellings_.emplace(Lower(name), name);
  }
}

std::string Lobby::ChannelSpelling(const std::string& name) {
  return spellings_.emplace(Lower(name), name).first->second;
}

// ---------------------------------------------------------------- conversation

Conversation::Conversation(int id, const ServerOptions& options, Lobby& lobby)
    : id_(id), options_(options), lobby_(lobby) {
  lobby_.conversations_.push_back(this);
}

Conversation::~Conversation() {
  End();
  auto& all = lobby_.conversations_;
  all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

void Conversation::Queue(const std::string& bytes) {
  if (ended_ || bytes.empty()) return;
  output_ += bytes;
  if (lobby_.onOutput) lobby_.onOutput(*this);
}

std::string Conversation::TakeOutput() {
  std::string out;
  out.swap(output_);
  return out;
}

void Conversation::Open() {
  if (!options_.silent && options_.sendPrompts) {
    Queue("Connection from [127.0.0.1]\r\nEnter your account name and password.\r\nUsername: ");
  }
}

void Conversation::End() {
  if (ended_) return;
  Leave();
  ended_ = true;
}

bool Conversation::HandleLine(const ReceivedLine& line) {
  if (ended_) return false;
  if (options_.silent) return true;
  bool goOn = true;
  if (!loggedOn_) {
    goOn = HandleLogonLine(line.text);
  } else {
    const int verdict = options_.floodProtection ? FloodVerdict(line) : 0;
    if (verdict == 2) {
      goOn = false;  // closed without a word
    } else if (verdict == 1) {
      for (const std::string& error : QuotaExceeded()) Queue(error);
    } else if (line.text.size() <= kLongestLine) {  // longer lines are refused
      goOn = HandleCommand(line.text);
    }
  }
  if (!goOn) End();
  return goOn;
}

int Conversation::FloodVerdict(const ReceivedLine& line) {
  while (!counted_.empty() && line.at - counted_.front().first >= options_.floodWindow) counted_.pop_front();
  const int count = static_cast<int>(
      std::max<size_t>(1, (line.text.size() + kCharactersPerCount - 1) / kCharactersPerCount));
  counted_.emplace_back(line.at, count);
  int total = 0;
  for (const auto& entry : counted_) total += entry.second;
  if (total >= kCountThatCloses) return 2;
  return total > kMostCarriedOut ? 1 : 0;
}

bool Conversation::HandleLogonLine(const std::string& raw) {
  if (!haveAccount_) {
    // The bot puts 0x03 0x04 before its account name; they are not part of it.
    std::string account = raw;
    if (firstLine_) {
      size_t skip = 0;
      while (skip < account.size() && (account[skip] == '\x03' || account[skip] == '\x04')) ++skip;
      account.erase(0, skip);
      firstLine_ = false;
    }
    pendingAccount_ = TrimRight(account);
    haveAccount_ = true;
    if (options_.sendPrompts && !options_.closeAfterLogon) Queue(pendingAccount_ + "\r\nPassword: ");
    return true;
  }
  std::string account = pendingAccount_;
  const std::string& password = raw;
  haveAccount_ = false;
  if (options_.closeAfterLogon) return false;
  if (options_.sendPrompts) Queue(kCrLf);
  bool ok = !account.empty();
  if (ok && !options_.accounts.empty()) {
    auto it = std::find_if(options_.accounts.begin(), options_.accounts.end(),
                           [&](const auto& entry) { return Lower(entry.first) == Lower(account); });
    ok = it != options_.accounts.end() && it->second == password;
    if (ok) account = it->first;
  }
  if (ok && lobby_.logonsRefused_ < options_.refuseLogons) {
    ++lobby_.logonsRefused_;
    ok = false;
  }
  // A second logon of an account that is still connected is refused; the
  // first session goes on.
  if (ok && IsLoggedOnElsewhere(account)) ok = false;
  if (!ok) {
    Queue(options_.sendPrompts ? kLoginFailedPrompt : kLoginFailed);
    return true;
  }
  LogOn(account, true);
  return true;
}

bool Conversation::IsLoggedOnElsewhere(const std::string& account) const {
  return std::any_of(
      lobby_.conversations_.begin(), lobby_.conversations_.end(), [&](const Conversation* other) {
        // A session whose client has already gone is over: the server only has
        // not read the end of its stream yet.
        return other != this && other->loggedOn_ && !other->ended_ && Lower(other->name_) == Lower(account) &&
               !(lobby_.clientGone && lobby_.clientGone(*other));
      });
}

void Conversation::LogOn(const std::string& account) {
  firstLine_ = false;
  LogOn(account, false);
}

void Conversation::LogOn(const std::string& account, bool welcome) {
  loggedOn_ = true;
  name_ = account;
  lobby_.accountsSeen_.insert(Lower(account));
  Queue(Event("2010 NAME " + name_));
  if (!welcome) return;
  Enter(options_.firstChannel, true);
  const size_t accountCount =
      options_.accounts.empty() ? lobby_.accountsSeen_.size() : options_.accounts.size();
  std::string burst = Error("Hello " + name_ + ", welcome!");
  burst += Info(accountCount == 1
                    ? std::string("There is 1 user account on this server.")
                    : "There are " + std::to_string(accountCount) + " user accounts on this server.");
  burst += Info("");
  burst += Event("1005 TALK " + name_ + " " + kFlags + " \"You have no mail.\"");
  burst += Info(options_.firstChannel + " topic: This is the public chat channel.");
  burst += options_.rawAfterWelcome;
  Queue(burst);
}

bool Conversation::HandleCommand(const std::string& raw) {
  const std::string line = TrimRight(raw);
  if (line.empty()) return true;
  if (line[0] != '/') {
    HandleTalk(line);
    return true;
  }
  const size_t space = line.find_first_of(" \t");
  const std::string command = Lower(line.substr(0, space));
  const std::string arguments = space == std::string::npos ? "" : TrimLeft(line.substr(space));
  if (command == "/join" || command == "/j") {
    HandleJoin(arguments);
    return true;
  }
  if (command == "/stats") return HandleStats(arguments);
  Queue(Error("Unknown command."));
  return true;
}

void Conversation::HandleTalk(const std::string& text) {
  bool heard = false;
  auto it = lobby_.channels_.find(channel_);
  if (it != lobby_.channels_.end()) {
    for (Conversation* other : it->second.members) {
      if (other == this) continue;
      other->Queue(Event("1005 TALK " + name_ + " " + kFlags + " \"" + text + "\""));
      heard = true;
    }
  }
  if (!heard) Queue(Info("No one hears you."));
}

void Conversation::HandleJoin(const std::string& arguments) {
  // The channel is the argument's first word.
  const std::vector<std::string> words = Words(arguments);
  if (words.empty()) {
    Queue(Error("Usage: /join <channel>"));
    return;
  }
  const std::string& requested = words[0];
  // Already there: the server says nothing at all.
  if (!channel_.empty() && Lower(requested) == channel_) return;
  const std::string full = FindWithoutCase(options_.fullChannels, requested);
  if (!full.empty()) {
    Queue(Event("1013 CHANNELFULL \"" + full + "\""));
    return;
  }
  const std::string restricted = FindWithoutCase(options_.restrictedChannels, requested);
  if (!restricted.empty()) {
    Queue(Event("1015 CHANNELRESTRICTED \"" + restricted + "\""));
    return;
  }
  std::string target = requested;
  if (!options_.redirectChannel.empty() && (options_.redirectJoins < 0 || joins_ < options_.redirectJoins)) {
    target = options_.redirectChannel;
  }
  ++joins_;
  Enter(target, false);
}

void Conversation::Enter(const std::string& channel) { Enter(channel, false); }

void Conversation::Enter(const std::string& requested, bool welcome) {
  if (ended_) return;
  const std::string name = lobby_.ChannelSpelling(requested);
  const std::string key = Lower(name);
  const bool again = channel_ == key;
  if (!again) Leave();
  Lobby::Channel& channel = lobby_.channels_[key];
  channel.name = name;
  const bool tempOp = !welcome && channel.members.empty() && key != Lower(options_.firstChannel);
  std::string out = Event("1007 CHANNEL \"" + name + "\"");
  if (tempOp) out += Info("you are now tempOP for this channel");
  for (Conversation* m : channel.members) {
    if (m != this) out += Event("1001 USER " + m->name_ + " " + kFlags + " [CHAT]");
  }
  if (!welcome) out += Event("1009 USER " + name_ + " " + kFlags);
  out += Event("1001 USER " + name_ + " " + kFlags + " [CHAT]");
  if (tempOp) out += Event("1009 USER " + name_ + " 0002");
  if (!again) {
    for (Conversation* m : channel.members) m->Queue(Event("1002 JOIN " + name_ + " " + kFlags + " [CHAT]"));
    channel.members.push_back(this);
    channel_ = key;
  }
  Queue(out);
}

void Conversation::Leave() {
  if (channel_.empty()) return;
  auto it = lobby_.channels_.find(channel_);
  channel_.clear();
  if (it == lobby_.channels_.end()) return;
  std::vector<Conversation*>& members = it->second.members;
  members.erase(std::remove(members.begin(), members.end(), this), members.end());
  for (Conversation* m : members) m->Queue(Event("1003 LEAVE " + name_ + " " + kFlags));
  if (members.empty()) lobby_.channels_.erase(it);
}

bool Conversation::HandleStats(const std::string& arguments) {
  if (options_.closeAfterStats >= 0 && statsAnswered_ >= options_.closeAfterStats) return false;
  ++statsAsked_;
  const std::vector<std::string> words = Words(arguments);
  std::vector<std::string> lines;
  if (options_.dropStats.count(statsAsked_) != 0) {
    lines = QuotaExceeded();
  } else if (words.size() < 2 || words[1].size() != 4) {
    lines = {Error("This game does not support win/loss records."),
             Error("You must supply a user name and a valid program ID."), Error("Example: /stats joe STAR")};
  } else {
    // The player's own spelling, or "" for a player the server does not know.
    const std::string player = options_.players.empty() ? (IsWellFormedName(words[0]) ? words[0] : "")
                                                        : FindWithoutCase(options_.players, words[0]);
    if (player.empty()) {
      lines = {Error("Invalid user.")};
    } else {
      const int laterGames =
          options_.changingRecords ? lobby_.recordsAnswered_[Lower(player) + '/' + Upper(words[1])]++ : 0;
      for (const std::string& text : StatsAnswer(player, words[1], options_.statsStyle, laterGames))
        lines.push_back(Info(text));
    }
  }
  const bool cut = options_.cutStats == statsAsked_;
  std::string out;
  for (size_t i = 0; i < lines.size() && (!cut || static_cast<int>(i) < options_.cutStatsAfterLines); ++i) {
    out += lines[i];
  }
  Queue(out);
  if (cut) return false;
  ++statsAnswered_;
  return options_.closeAfterStats < 0 || statsAnswered_ < options_.closeAfterStats;
}

}  // namespace corvane::server
