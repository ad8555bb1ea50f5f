// What the stand-in chat server records, and how it is told to behave.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "server/stats_oracle.h"

namespace corvane::server {

// One recv() worth of bytes from a client, as it arrived.
struct ReceivedChunk {
  int connection = 0;  // 1 for the first accepted connection, then 2, 3, ...
  std::chrono::steady_clock::time_point at;
  std::string bytes;
};

// One line received from a client: the text without its LF (and without a CR
// right before it). `at` is the arrival time of the chunk that completed it.
struct ReceivedLine {
  int connection = 0;
  std::chrono::steady_clock::time_point at;
  std::string text;
};

class ScriptedConnection;

// A test's script for one connection; it runs on the connection's thread.
using Script = std::function<void(ScriptedConnection&)>;

struct ServerOptions {
  // TCP port on 127.0.0.1; 0 picks a free ephemeral port (see Port()).
  uint16_t port = 6112;
  // Account -> password. Empty: any non-empty account with any password logs
  // on. Account names are matched without letter case, passwords exactly.
  std::map<std::string, std::string> accounts;
  // Players /stats knows, matched without letter case. Empty: every
  // well-formed name (IsWellFormedName) is a known player. A request about
  // any other name is answered with 1019 ERROR "Invalid user.".
  std::set<std::string> players;
  // Public channel a client is placed in after logon.
  std::string firstChannel = "Chat";
  // Channels that exist from the start: a join in any letter case is
  // answered with the spelling given here.
  std::set<std::string> channels;
  // Send the plain prompt lines ("Connection from ...", "Username: ",
  // "Password: ") around the logon. "Login failed." is sent either way.
  bool sendPrompts = true;
  // Records that change from one answer to the next: each answer about a
  // player (and product) counts as one more ladder game played before the
  // next, over all connections (StatsAnswer's `laterGames`), so that
  // successive walks read other figures. Off, a player's record never
  // changes.
  bool changingRecords = false;
  // A /join to one of these gets 1013 CHANNELFULL / 1015 CHANNELRESTRICTED and
  // the client stays where it is. Such refused joins do not count as joins for
  // the redirect below.
  std::set<std::string> fullChannels;
  std::set<std::string> restrictedChannels;
  // If non-empty, the first `redirectJoins` joins of each connection land in
  // this channel instead of the requested one; -1 redirects every join.
  std::string redirectChannel;
  int redirectJoins = 0;

  // Flood protection, as the real server has it: once logged on, every line
  // counts (one per 40 characters started), and of what counts within any
  // `floodWindow` at most 4 are carried out; the rest are dropped, each with
  // two error lines, and at 10 the connection is closed without a word.
  // Tests of programs whose pauses are scaled down scale the window with
  // them. Off only for throughput measurements.
  bool floodProtection = true;
  std::chrono::milliseconds floodWindow{5000};

  // The record lines of /stats answers: the format (points or won-lost-drawn,
  // by default chosen by the product code, as the real server's display
  // setting would choose it for all) and which records carry a "[tag] "
  // before their figures (by default "[rank] " on half of the points records).
  StatsStyle statsStyle;
  // The /stats requests of each connection, counted from 1, that are dropped
  // as the flood limit drops a line: answered with the two quota error lines
  // instead of the record, whatever the flood protection says.
  std::set<int> dropStats;

  // Scripted faults, for tests.
  // Close the connection as soon as the two logon lines are read, without
  // answering them (the connect prompts, if enabled, were already sent).
  bool closeAfterLogon = false;
  // Accept and record, never answer anything (SendToAll still writes).
  bool silent = false;
  // Raw bytes sent verbatim right after the welcome burst of every logon.
  std::string rawAfterWelcome;
  // Close a connection once it has been answered this many /stats requests
  // (-1 never; 0 closes on the first /stats without answering it).
  int closeAfterStats = -1;
  // Close a connection in the middle of the answer to its `cutStats`-th
  // /stats request (counted from 1; 0 never), once the first
  // `cutStatsAfterLines` lines of that answer are sent (1: after the header
  // line of a record). The answers before it are complete.
  int cutStats = 0;
  int cutStatsAfterLines = 1;
  // Refuse this many logons (counted over all connections) as a wrong
  // password is refused, then take them as usual.
  int refuseLogons = 0;
  // Connections 1, 2, ... up to scripts.size() are handed to these scripts
  // instead of the server's own conversation; later ones are served as usual.
  std::vector<Script> scripts;
  // If set, every later connection is handed to this script (the benchmark's
  // flood mode is one).
  Script defaultScript;

  // Limits, so that no client can run the server out of memory or threads.
  // Keep what clients send (Chunks(), Lines()), for tests. Off, nothing is
  // kept. Recording stops for good once it holds `recordLimitBytes` bytes;
  // RecordingStopped() and LastError() then say so.
  bool record = false;
  // At most this many connections are served at once; a client beyond them
  // is accepted and closed at once, without a byte (it gets no number).
  int maxConnections = 64;
  size_t recordLimitBytes = size_t{64} << 20;
  // Bytes waiting for a client that does not read: past this the server
  // gives the connection up and closes it, as it does a client that is gone.
  size_t pendingLimitBytes = size_t{4} << 20;

  // Called for every received line, on the connection's thread, without any
  // server lock held. Used by chatd to log what clients send.
  std::function<void(const ReceivedLine&)> onLine;
};

}  // namespace corvane::server
