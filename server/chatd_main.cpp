// chatd: runs Corvane's stand-in chat server on 127.0.0.1 and logs every line
// the clients send, one stdout line each.

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>

#include "server/chat_server.h"
#include "server/flood_script.h"

namespace {

using corvane::server::ChatServer;
using corvane::server::ReceivedLine;
using corvane::server::ServerOptions;

const char kUsage[] =
    "usage: chatd [options]\n"
    "  --port N              TCP port on 127.0.0.1 (default 6112; 0 picks a free one)\n"
    "  --accounts FILE       only these accounts may log on (lines \"account password\")\n"
    "  --players FILE        /stats knows only these players (one name a line)\n"
    "  --first-channel NAME  channel a client is placed in after logon (default Chat)\n"
    "  --channel NAME        a channel that exists from the start, spelled so (repeatable)\n"
    "  --full NAME           joins to NAME are refused as full (repeatable)\n"
    "  --restricted NAME     joins to NAME are refused as restricted (repeatable)\n"
    "  --redirect NAME       place joins in NAME instead of the requested channel\n"
    "  --redirect-joins N    how many joins per connection to redirect (-1 all; default 1)\n"
    "  --no-prompts          leave out the plain prompt lines around the logon\n"
    "  --flood N             flood mode: after logon send only the 2010 NAME line;\n"
    "                        answer the first /join with N 1018 INFO lines, then a\n"
    "                        1007 CHANNEL for \"Flood Overflow\" (for throughput runs)\n"
    "  --no-flood-protection carry out every line, however fast it comes (the server\n"
    "                        otherwise takes at most 4 in 5 s and closes at 10)\n"
    "  --changing-records    each answer about a player counts as one more ladder game\n"
    "                        played before the next (two of three won), so that the\n"
    "                        records of successive walks differ (default: fixed records)\n"
    "  --max-connections N   serve at most N clients at once; close others at once\n"
    "                        (default 64)\n"
    "  --exit-after SECONDS  stop by itself after this long (fractions allowed)\n"
    "  --quiet               do not log received lines\n"
    "  --help                show this text\n";

struct BadOption {
  std::string message;
};

std::string Printable(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char ch : text) {
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch >= 0x20 && ch < 0x7f) {
      out += static_cast<char>(ch);
    } else {
      out += "\\x";
      out += kHex[ch >> 4];
      out += kHex[ch & 15];
    }
  }
  return out;
}

long ParseInteger(const std::string& option, const std::string& value, long low, long high) {
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno != 0 || n < low || n > high) {
    throw BadOption{option + " wants a whole number from " + std::to_string(low) + " to " +
                    std::to_string(high) + ", not \"" + value + "\""};
  }
  return n;
}

std::string TrimmedLine(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
  size_t start = line.find_first_not_of(" \t");
  return start == std::string::npos ? std::string() : line.substr(start);
}

void ReadAccounts(const std::string& path, ServerOptions& options) {
  std::ifstream in(path);
  if (!in) throw BadOption{"cannot read accounts file " + path};
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    line = TrimmedLine(line);
    if (line.empty() || line[0] == '#') continue;
    size_t space = line.find_first_of(" \t");
    if (space == std::string::npos) {
      throw BadOption{path + ":" + std::to_string(number) + ": expected \"account password\""};
    }
    options.accounts[line.substr(0, space)] = TrimmedLine(line.substr(space));
  }
  if (options.accounts.empty()) throw BadOption{"accounts file " + path + " lists no account"};
}

void ReadPlayers(const std::string& path, ServerOptions& options) {
  std::ifstream in(path);
  if (!in) throw BadOption{"cannot read players file " + path};
  std::string line;
  while (std::getline(in, line)) {
    line = TrimmedLine(line);
    if (!line.empty() && line[0] != '#') options.players.insert(line);
  }
  if (options.players.empty()) throw BadOption{"players file " + path + " lists no player"};
}

struct Settings {
  ServerOptions options;
  double exitAfter = -1;  // seconds; negative: run until a signal
  bool quiet = false;
};

Settings ParseArguments(int argc, char** argv) {
  Settings s;
  bool redirectJoinsGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw BadOption{arg + " needs a value"};
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--port") {
      s.options.port = static_cast<uint16_t>(ParseInteger(arg, value(), 0, 65535));
    } else if (arg == "--accounts") {
      ReadAccounts(value(), s.options);
    } else if (arg == "--players") {
      ReadPlayers(value(), s.options);
    } else if (arg == "--first-channel") {
      s.options.firstChannel = value();
      if (s.options.firstChannel.empty()) throw BadOption{"--first-channel needs a non-empty name"};
    } else if (arg == "--channel") {
      s.options.channels.insert(value());
    } else if (arg == "--full") {
      s.options.fullChannels.insert(value());
    } else if (arg == "--restricted") {
      s.options.restrictedChannels.insert(value());
    } else if (arg == "--redirect") {
      s.options.redirectChannel = value();
    } else if (arg == "--redirect-joins") {
      s.options.redirectJoins = static_cast<int>(ParseInteger(arg, value(), -1, 1000000));
      redirectJoinsGiven = true;
    } else if (arg == "--no-prompts") {
      s.options.sendPrompts = false;
    } else if (arg == "--flood") {
      s.options.defaultScript = corvane::server::FloodScript(ParseInteger(arg, value(), 1, 100000000));
    } else if (arg == "--no-flood-protection") {
      s.options.floodProtection = false;
    } else if (arg == "--changing-records") {
      s.options.changingRecords = true;
    } else if (arg == "--max-connections") {
      s.options.maxConnections = static_cast<int>(ParseInteger(arg, value(), 1, 10000));
    } else if (arg == "--exit-after") {
      const std::string v = value();
      char* end = nullptr;
      s.exitAfter = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !(s.exitAfter >= 0) || s.exitAfter > 1e7) {
        throw BadOption{"--exit-after wants a number of seconds, not \"" + v + "\""};
      }
    } else if (arg == "--quiet") {
      s.quiet = true;
    } else {
      throw BadOption{"unknown option " + arg};
    }
  }
  if (redirectJoinsGiven && s.options.redirectChannel.empty()) {
    throw BadOption{"--redirect-joins needs --redirect"};
  }
  if (!s.options.redirectChannel.empty() && !redirectJoinsGiven) s.options.redirectJoins = 1;
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  try {
    settings = ParseArguments(argc, argv);
  } catch (const BadOption& bad) {
    std::fprintf(stderr, "chatd: %s\n(chatd --help lists the options)\n", bad.message.c_str());
    return 1;
  }

  // Block the stop signals in every thread; main waits for them below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A shell starts background jobs with SIGINT ignored, and an ignored signal
  // is dropped even while blocked; give both a handler so sigtimedwait sees them.
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::mutex outputMutex;
  if (!settings.quiet) {
    settings.options.onLine = [&outputMutex](const ReceivedLine& line) {
      std::lock_guard<std::mutex> lock(outputMutex);
      std::printf("[conn %d] >> %s\n", line.connection, Printable(line.text).c_str());
      std::fflush(stdout);
    };
  }

  ChatServer server(settings.options);
  if (!server.Start()) {
    std::fprintf(stderr, "chatd: cannot listen: %s\n", server.LastError().c_str());
    return 1;
  }
  {
    std::lock_guard<std::mutex> lock(outputMutex);
    std::printf("chatd: listening on 127.0.0.1:%u\n", static_cast<unsigned>(server.Port()));
    std::fflush(stdout);
  }

  timespec wait{};
  timespec* timeout = nullptr;
  if (settings.exitAfter >= 0) {
    wait.tv_sec = static_cast<time_t>(settings.exitAfter);
    wait.tv_nsec = static_cast<long>((settings.exitAfter - static_cast<double>(wait.tv_sec)) * 1e9);
    timeout = &wait;
  }
  for (;;) {
    int sig = sigtimedwait(&stopSignals, nullptr, timeout);
    if (sig >= 0 || errno == EAGAIN) break;  // a stop signal, or the time is up
    // EINTR: some other signal; keep waiting (the remaining time restarts, which is fine here).
  }
  server.Stop();
  return 0;
}
