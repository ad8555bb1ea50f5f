// flood_runner: measures the real program end to end against the stand-in
// chat server, which runs inside this process so that the arrival time of
// every line the client sends is known exactly.
//
//   flood_runner throughput --bot PATH --reference PATH [--also PATH]
//                           [--lines N] [--runs R]
//     Runs the bot and the reference client (and a third program given with
//     --also, such as another build of the bot) R times each, in turns, against a
//     server in flood mode on 127.0.0.1:6112: after the client's join the
//     server sends N info lines and then places it in a channel that is not
//     its home channel. The time from the join's arrival to the arrival of
//     the client's re-join, minus the client's fixed 2 s pause, is the time
//     it took to handle the N lines. Prints lines per second of each run, the
//     medians, their ratio and each program's peak resident memory.
//
//   flood_runner footprint --bot PATH --fast-bot PATH [--cycles C]
//     Runs the shipped bot through its members walks on 127.0.0.1:6112 and
//     samples its resident memory, then counts its wakeups and CPU time over
//     10 s of idle connection. Then runs the test build with pauses divided
//     by 50 (its server port is given with --fast-port) through C reconnect
//     cycles and samples its resident memory and open descriptors.
//
// Both modes fail with a clear message when the port is taken.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/chat_server.h"
#include "server/flood_script.h"

namespace {

using corvane::server::ChatServer;
using corvane::server::ReceivedLine;
using corvane::server::ServerOptions;
using Clock = std::chrono::steady_clock;

const char kHomeChannel[] = "CorvaneHome";
const double kChannelPauseSeconds = 2.0;  // the client's fixed pause after a channel event

// The program under measurement, ended when the runner gives up.
pid_t runningChild = -1;

[[noreturn]] void Fail(const std::string& message) {
  if (runningChild > 0) kill(runningChild, SIGTERM);
  std::fprintf(stderr, "flood_runner: %s\n", message.c_str());
  std::exit(1);
}

// A fresh folder holding the client's input files; removed with the object.
class WorkFolder {
 public:
  explicit WorkFolder(const std::string& members) {
    char pattern[] = "/tmp/corvane-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) Fail("cannot make a folder in /tmp");
    path_ = pattern;
    Write("configuration.txt", std::string("floodbot secret1 ") + kHomeChannel + "\n");
    Write("bwmembers.txt", members);
  }
  ~WorkFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  // Lines of the result log that carry a flood line's text.
  long CountResultLines(const std::string& prefix) const {
    std::ifstream in(File("BroodWar.log"));
    std::string line;
    long count = 0;
    while (std::getline(in, line)) {
      if (line.compare(0, prefix.size(), prefix) == 0) ++count;
    }
    return count;
  }

  std::string Read(const std::string& name) const {
    std::ifstream in(File(name));
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

 private:
  void Write(const std::string& name, const std::string& contents) {
    std::ofstream out(File(name), std::ios::binary);
    out << contents;
    if (!out) Fail("cannot write " + File(name));
  }

  std::string path_;
};

// A program started in a work folder, standard output to /dev/null and
// standard error to a file in the folder. Ended with SIGTERM.
class Child {
 public:
  Child(const std::string& program, const WorkFolder& folder) {
    const std::string errors = folder.File("stderr.txt");
    pid_ = fork();
    if (pid_ < 0) Fail("fork failed");
    if (pid_ == 0) {
      int null = open("/dev/null", O_WRONLY);
      int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (null < 0 || err < 0 || chdir(folder.path().c_str()) != 0) _exit(126);
      dup2(null, 1);
      dup2(err, 2);
      close(null);
      close(err);
      char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
      execv(program.c_str(), argv);
      _exit(127);
    }
    runningChild = pid_;
  }
  ~Child() {
    if (pid_ > 0) Stop();
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  // True while the program has not ended by itself.
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    rusage usage{};
    if (wait4(pid_, &status, WNOHANG, &usage) == pid_) {
      pid_ = -1;
      runningChild = -1;
      Record(usage);
      return false;
    }
    return true;
  }

  // CPU time the ended program spent in user and in system mode, seconds.
  double userSeconds() const { return user_; }
  double systemSeconds() const { return system_; }

  // Ends the program: SIGTERM, and SIGKILL if it still runs 5 s later.
  // Returns its peak resident memory in KiB.
  long Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      rusage usage{};
      pid_t ended = 0;
      for (int i = 0; i < 500 && ended == 0; ++i) {
        ended = wait4(pid_, &status, WNOHANG, &usage);
        if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (ended == 0) {
        kill(pid_, SIGKILL);
        while (wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
        }
      }
      pid_ = -1;
      runningChild = -1;
      Record(usage);
    }
    return peakKb_;
  }

 private:
  void Record(const rusage& usage) {
    peakKb_ = usage.ru_maxrss;
    user_ = static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6;
    system_ = static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6;
  }

  pid_t pid_ = -1;
  long peakKb_ = 0;
  double user_ = 0;
  double system_ = 0;
};

// A value from /proc/PID/status such as "VmRSS:     1234 kB"; -1 if absent.
long StatusValue(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + ":") == 0) {
      return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
    }
  }
  return -1;
}

// Nanoseconds the process ran on a CPU (first field of /proc/PID/schedstat).
long long CpuNanoseconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  long long runtime = -1;
  in >> runtime;
  return runtime;
}

long OpenDescriptors(pid_t pid) {
  std::error_code error;
  long count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return count;
}

std::unique_ptr<ChatServer> StartServer(ServerOptions options) {
  const unsigned port = options.port;
  options.record = true;  // the runner reads the arrival times of the client's lines
  auto server = std::make_unique<ChatServer>(std::move(options));
  if (!server->Start()) {
    Fail("cannot listen on 127.0.0.1:" + std::to_string(port) + " (" + server->LastError() +
         "). The shipped program connects to this port: stop whatever listens there and run again.");
  }
  return server;
}

std::vector<ReceivedLine> LinesOf(const ChatServer& server, int connection, const std::string& start) {
  std::vector<ReceivedLine> found;
  for (const ReceivedLine& line : server.Lines()) {
    if (line.connection == connection && line.text.compare(0, start.size(), start) == 0)
      found.push_back(line);
  }
  return found;
}

// Waits until `connection` has sent `count` lines beginning with `start`, while
// the child runs. Returns them, or fails with `what` after `timeout`.
std::vector<ReceivedLine> AwaitLines(const ChatServer& server, Child& child, int connection,
                                     const std::string& start, size_t count, std::chrono::seconds timeout,
                                     const std::string& what, const std::function<void()>& poll = {}) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    std::vector<ReceivedLine> lines = LinesOf(server, connection, start);
    if (lines.size() >= count) return lines;
    if (!child.Running()) Fail(what + ": the program ended early");
    if (Clock::now() > deadline) Fail(what + ": timed out");
    if (poll) poll();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

struct FloodRun {
  double seconds = 0;
  double linesPerSecond = 0;
  long peakKb = 0;
  double userSeconds = 0;  // CPU time of the whole run, flood and pauses
  double systemSeconds = 0;
};

FloodRun RunFlood(ChatServer& server, const std::string& program, long lines) {
  WorkFolder folder("Members\nalice\n");
  const int connection = server.ConnectionCount() + 1;
  Child child(program, folder);
  const auto timeout = std::chrono::seconds(60 + lines / 5000);
  std::vector<ReceivedLine> joins =
      AwaitLines(server, child, connection, "/join", 2, timeout, program + " in the flood");
  FloodRun run;
  run.peakKb = child.Stop();
  run.userSeconds = child.userSeconds();
  run.systemSeconds = child.systemSeconds();
  const double between = std::chrono::duration<double>(joins[1].at - joins[0].at).count();
  run.seconds = between - kChannelPauseSeconds;
  run.linesPerSecond = static_cast<double>(lines) / run.seconds;
  if (joins[1].text != std::string("/join ") + kHomeChannel + " ") {
    Fail("unexpected re-join line from " + program + ": " + joins[1].text);
  }
  if (server.ConnectionCount() != connection) Fail("another client connected during the run");
  const long recorded = folder.CountResultLines("Flood ");
  if (recorded != lines) {
    Fail(program + " recorded " + std::to_string(recorded) + " of " + std::to_string(lines) +
         " lines; its standard error: " + folder.Read("stderr.txt"));
  }
  return run;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Base(const std::string& path) { return std::filesystem::path(path).filename().string(); }

struct Arguments {
  std::string bot, reference, also, fastBot;
  long lines = 1000000;
  int runs = 3;
  int cycles = 100;
  unsigned port = 6112;
  unsigned fastPort = 16112;
};

int Throughput(const Arguments& a) {
  if (a.bot.empty() || a.reference.empty()) Fail("throughput needs --bot and --reference");
  ServerOptions options;
  options.port = static_cast<uint16_t>(a.port);
  options.defaultScript = corvane::server::FloodScript(a.lines);
  options.floodProtection = false;  // the reference client's pacing is not the bot's
  std::unique_ptr<ChatServer> server = StartServer(options);
  std::printf("Flood of %ld info lines on 127.0.0.1:%u, %d runs each, standard output to /dev/null\n",
              a.lines, a.port, a.runs);
  std::vector<std::string> programs = {a.bot, a.reference};
  if (!a.also.empty()) programs.push_back(a.also);
  std::vector<std::vector<double>> rates(programs.size());
  std::vector<long> peak(programs.size(), 0);
  for (int run = 1; run <= a.runs; ++run) {
    for (size_t p = 0; p < programs.size(); ++p) {
      FloodRun r = RunFlood(*server, programs[p], a.lines);
      rates[p].push_back(r.linesPerSecond);
      peak[p] = std::max(peak[p], r.peakKb);
      std::printf(
          "  run %d  %-24s %7.3f s %7.0f lines/s  peak RSS %5ld KiB  CPU user %.2f s, system %.2f s\n", run,
          Base(programs[p]).c_str(), r.seconds, r.linesPerSecond, r.peakKb, r.userSeconds, r.systemSeconds);
      std::fflush(stdout);
    }
  }
  const double bot = Median(rates[0]);
  const double reference = Median(rates[1]);
  std::printf("median  %-24s %7.0f lines/s  peak RSS %5ld KiB\n", Base(a.bot).c_str(), bot, peak[0]);
  std::printf("median  %-24s %7.0f lines/s  peak RSS %5ld KiB\n", Base(a.reference).c_str(), reference,
              peak[1]);
  std::printf("ratio   %.3f (goal: at least 0.9)\n", bot / reference);
  std::printf("peak RSS difference %+ld KiB (goal: at most +1024 KiB)\n", peak[0] - peak[1]);
  if (!a.also.empty()) {
    const double also = Median(rates[2]);
    std::printf("median  %-24s %7.0f lines/s  peak RSS %5ld KiB  (ratio %.3f, peak RSS %+ld KiB)\n",
                Base(a.also).c_str(), also, peak[2], also / reference, peak[2] - peak[1]);
  }
  return 0;
}

// After a logon the bot walks the list once; the walk ends with one more
// 5-s pass that finds the list's end.
void MeasureWalkAndIdle(const Arguments& a) {
  ServerOptions options;
  options.port = static_cast<uint16_t>(a.port);
  std::unique_ptr<ChatServer> server = StartServer(options);
  WorkFolder folder("Members\nalice\nbob\n");
  Child child(a.bot, folder);
  long sampledPeak = 0;
  auto sample = [&] { sampledPeak = std::max(sampledPeak, StatusValue(child.pid(), "VmRSS")); };
  std::printf("Members walk of 2 names, shipped %s on 127.0.0.1:%u, 5 s per request:\n", Base(a.bot).c_str(),
              a.port);
  std::fflush(stdout);
  AwaitLines(*server, child, 1, "/stats", 2, std::chrono::seconds(90), "the walk", sample);
  for (int i = 0; i < 60; ++i) {  // the last pass of the walk and the answers
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sample();
  }
  std::printf("  resident memory during the walk: highest sample %ld KiB, VmHWM %ld KiB\n", sampledPeak,
              StatusValue(child.pid(), "VmHWM"));
  const int seconds = 10;
  const size_t linesBefore = server->Lines().size();
  const long voluntary = StatusValue(child.pid(), "voluntary_ctxt_switches");
  const long involuntary = StatusValue(child.pid(), "nonvoluntary_ctxt_switches");
  const long long cpu = CpuNanoseconds(child.pid());
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const long wakeups = StatusValue(child.pid(), "voluntary_ctxt_switches") - voluntary;
  const long preempted = StatusValue(child.pid(), "nonvoluntary_ctxt_switches") - involuntary;
  const long long cpuUsed = CpuNanoseconds(child.pid()) - cpu;
  if (!child.Running()) Fail("the bot ended during the idle measurement");
  if (server->Lines().size() != linesBefore)
    Fail("the bot was not idle: it sent lines during the measurement");
  std::printf(
      "  idle and connected for %d s: %ld wakeups (%.1f per second), %ld preemptions,\n"
      "  CPU time %.3f ms (%.4f %% of one core), VmRSS %ld KiB\n",
      seconds, wakeups, static_cast<double>(wakeups) / seconds, preempted, cpuUsed / 1e6,
      cpuUsed / 1e7 / seconds, StatusValue(child.pid(), "VmRSS"));
  std::printf("  peak RSS of the whole run (wait4): %ld KiB\n", child.Stop());
}

void MeasureReconnects(const Arguments& a) {
  if (a.fastBot.empty()) return;
  ServerOptions options;
  options.port = static_cast<uint16_t>(a.fastPort);
  options.floodWindow = std::chrono::milliseconds(5000 / 50);  // the fast bot's pauses are scaled
  std::unique_ptr<ChatServer> server = StartServer(options);
  WorkFolder folder("Members\nalice\n");
  Child child(a.fastBot, folder);
  std::printf(
      "%d reconnect cycles, %s (pauses divided by 50) on 127.0.0.1:%u; each cycle: logon,\n"
      "join, re-join from the first channel, one stats request and its answer, server closes:\n",
      a.cycles, Base(a.fastBot).c_str(), a.fastPort);
  std::fflush(stdout);
  long firstRss = 0;
  long firstDescriptors = 0;
  for (int cycle = 1; cycle <= a.cycles; ++cycle) {
    AwaitLines(*server, child, cycle, "/stats", 1, std::chrono::seconds(20),
               "cycle " + std::to_string(cycle));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the answer reaches the bot
    const long rss = StatusValue(child.pid(), "VmRSS");
    const long descriptors = OpenDescriptors(child.pid());
    if (cycle == 1) {
      firstRss = rss;
      firstDescriptors = descriptors;
    }
    if (cycle == 1 || cycle == 10 || cycle == a.cycles / 2 || cycle == a.cycles) {
      std::printf("  after cycle %3d: VmRSS %ld KiB, VmHWM %ld KiB, %ld open descriptors\n", cycle, rss,
                  StatusValue(child.pid(), "VmHWM"), descriptors);
      std::fflush(stdout);
    }
    if (cycle == a.cycles) {
      std::printf("  growth from cycle 1: %+ld KiB resident, %+ld descriptors\n", rss - firstRss,
                  descriptors - firstDescriptors);
      break;
    }
    server->CloseAll();
  }
  std::printf("  peak RSS of the whole run (wait4): %ld KiB\n", child.Stop());
}

Arguments Parse(int argc, char** argv) {
  Arguments a;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) Fail(arg + " needs a value");
    const std::string value = argv[++i];
    if (arg == "--bot") {
      a.bot = value;
    } else if (arg == "--reference") {
      a.reference = value;
    } else if (arg == "--also") {
      a.also = value;
    } else if (arg == "--fast-bot") {
      a.fastBot = value;
    } else if (arg == "--lines") {
      a.lines = std::atol(value.c_str());
    } else if (arg == "--runs") {
      a.runs = std::atoi(value.c_str());
    } else if (arg == "--cycles") {
      a.cycles = std::atoi(value.c_str());
    } else if (arg == "--port") {
      a.port = static_cast<unsigned>(std::atoi(value.c_str()));
    } else if (arg == "--fast-port") {
      a.fastPort = static_cast<unsigned>(std::atoi(value.c_str()));
    } else {
      Fail("unknown option " + arg);
    }
  }
  if (a.lines < 1 || a.lines > 100000000 || a.runs < 1 || a.runs > 99 || a.cycles < 1 || a.cycles > 10000 ||
      a.port < 1 || a.port > 65535 || a.fastPort < 1 || a.fastPort > 65535) {
    Fail("a number is out of range");
  }
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode != "throughput" && mode != "footprint") {
    std::fprintf(
        stderr,
        "usage: flood_runner throughput --bot PATH --reference PATH [--also PATH] [--lines N] [--runs R]\n"
        "                               [--port P]\n"
        "       flood_runner footprint --bot PATH [--fast-bot PATH --fast-port P] [--cycles C] [--port P]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const Arguments a = Parse(argc, argv);
  if (mode == "throughput") return Throughput(a);
  MeasureWalkAndIdle(a);
  MeasureReconnects(a);
  return 0;
}
