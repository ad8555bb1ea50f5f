// Micro-benchmarks of the chat client's per-line work: parsing an event
// line, dispatching it to a handler slot, parsing and attributing the lines
// of stats answers for the results file, and the receive loop's framing of a
// byte stream read from a socket pair.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "app/answer_attribution.h"
#include "app/stats_answer.h"
#include "core/chat_connection.h"
#include "core/event_line.h"
#include "platform/environment.h"
#include "tests/fake_environment.h"

namespace corvane {
namespace {

// One line of each kind, as the receive loop hands it over (LF cut, CR kept).
const char kInfoLine[] = "1018 INFO \"Flood 0000042: player12345's record: 123-45-6, rating 1234\"\r";
const char kChannelLine[] = "1007 CHANNEL \"Clan Corvane\"\r";
const char kTalkLine[] = "1005 TALK someone 0010 \"is anyone up for a ladder game tonight?\"\r";
const char kUserLine[] = "1001 USER someone 0010 [CHAT]\r";
const char kUnhandledLine[] = "1020 UNKNOWN someone 0010 \"an event this client does not know\"\r";

void BM_ParseEventLine(benchmark::State& state, const char* line) {
  int id = 0;
  char name[kEventNameSize];
  std::uint32_t flags = 0;
  char text[kEventTextSize];
  for (auto _ : state) {
    ParseEventLine(line, &id, name, &flags, text);
    benchmark::DoNotOptimize(id);
    benchmark::DoNotOptimize(flags);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_ParseEventLine, info_text_only, kInfoLine);
BENCHMARK_CAPTURE(BM_ParseEventLine, channel_text_only, kChannelLine);
BENCHMARK_CAPTURE(BM_ParseEventLine, talk_name_flags_text, kTalkLine);
BENCHMARK_CAPTURE(BM_ParseEventLine, user_name_flags, kUserLine);
BENCHMARK_CAPTURE(BM_ParseEventLine, unhandled_id, kUnhandledLine);

// Dispatch through the default handler slots. `logFile`, when given, is the
// open log slot, which an unhandled id writes its diagnostic line to.
void BM_DispatchEventLine(benchmark::State& state, const char* line, const char* logFile) {
  ChatConnection connection;
  if (logFile != nullptr && !connection.OpenLog(logFile)) {
    state.SkipWithError("cannot open the log");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(connection.DispatchEventLine(line));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_DispatchEventLine, info_text_only, kInfoLine, nullptr);
BENCHMARK_CAPTURE(BM_DispatchEventLine, channel_text_only, kChannelLine, nullptr);
BENCHMARK_CAPTURE(BM_DispatchEventLine, talk_name_flags_text, kTalkLine, nullptr);
BENCHMARK_CAPTURE(BM_DispatchEventLine, user_name_flags, kUserLine, nullptr);
BENCHMARK_CAPTURE(BM_DispatchEventLine, unhandled_id_no_log, kUnhandledLine, nullptr);
BENCHMARK_CAPTURE(BM_DispatchEventLine, unhandled_id_log_to_dev_null, kUnhandledLine, "/dev/null");

// The lines of one stats answer, as the handlers get their texts.
const char* const kAnswerTexts[] = {"player12345's record:", "Ladder games: [rank] 1625 pts (7/3/2)",
                                    "Normal games: 12-5-1"};
const char* const kAnswerLines[] = {"1018 INFO \"player12345's record:\"\r",
                                    "1018 INFO \"Ladder games: [rank] 1625 pts (7/3/2)\"\r",
                                    "1018 INFO \"Normal games: 12-5-1\"\r"};

void BM_ReadGamesLine(benchmark::State& state) {
  GameKind kind = kGamesOther;
  GameFigures figures;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReadGamesLine(kAnswerTexts[1], &kind, &figures));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadGamesLine);

// Rows are counted, not written: the file's cost is the result log's kind.
class CountingSink : public ResultSink {
 public:
  long rows = 0;
  void TakeRow(const ResultRow&) override { ++rows; }
};

// A connection whose info handler ties each answer line to its request, as
// the bot's does after printing and logging it.
class AttributingConnection : public ChatConnection {
 public:
  CountingSink sink;
  AnswerAttribution attribution{sink};
  int OnInfo(const char*, std::uint32_t, const char* text) override {
    attribution.InfoLine(text, 0);
    return 1;
  }
};

// Per answer line: a request is remembered for every answer of three lines,
// and each line is attributed and parsed; with `dispatch`, each line is
// first parsed and dispatched as the receive loop hands it over.
void BM_AttributeAnswerLine(benchmark::State& state, bool dispatch) {
  static AttributingConnection connection;  // fixed storage of 2,048 requests
  long lines = 0;
  for (auto _ : state) {
    int line = static_cast<int>(lines++ % 3);
    if (line == 0) connection.attribution.Requested("player12345", 0);
    if (dispatch) {
      connection.DispatchEventLine(kAnswerLines[line]);
    } else {
      connection.attribution.InfoLine(kAnswerTexts[line], 0);
    }
  }
  connection.attribution.ConnectionLost(0);
  benchmark::DoNotOptimize(connection.sink.rows);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_AttributeAnswerLine, attribution_and_parsing, false);
BENCHMARK_CAPTURE(BM_AttributeAnswerLine, dispatch_attribution_and_parsing, true);

// Counts the lines that reached a handler, so the loop's work is observable.
class CountingConnection : public ChatConnection {
 public:
  explicit CountingConnection(Environment& environment) : ChatConnection(environment) {}
  long lines = 0;
  int OnInfo(const char*, std::uint32_t, const char*) override {
    ++lines;
    return 1;
  }
  int OnTalk(const char*, std::uint32_t, const char*) override {
    ++lines;
    return 1;
  }
};

// One pass of the receive loop over `count` lines written to a socket pair in
// one go and then closed: framing in the 2048-byte buffer, lines split across
// reads, parsing and dispatch. The lines alternate between info and talk.
void BM_ReceiveLoopFromSocketPair(benchmark::State& state) {
  const long count = state.range(0);
  std::string bytes;
  for (long i = 0; i < count; ++i) {
    bytes += i % 2 == 0 ? kInfoLine : kTalkLine;
    bytes += '\n';
  }
  // The real system's socket calls on one end of a socket pair.
  testing_support::FakeEnvironment environment;
  environment.lastError = -1;
  CountingConnection connection(environment);
  connection.Configure("bench", "pw", "127.0.0.1", kChatServerPort);
  for (auto _ : state) {
    state.PauseTiming();
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
      state.SkipWithError("socketpair failed");
      break;
    }
    int size = static_cast<int>(bytes.size()) + 65536;
    setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    setsockopt(ends[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    std::size_t written = 0;
    while (written < bytes.size()) {
      ssize_t n = send(ends[1], bytes.data() + written, bytes.size() - written, MSG_DONTWAIT);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    close(ends[1]);
    if (written != bytes.size()) {
      state.SkipWithError("the socket pair did not take the whole batch");
      close(ends[0]);
      break;
    }
    environment.givenSocket = ends[0];
    connection.lines = 0;
    state.ResumeTiming();
    connection.Connect();
    connection.ReceiveLoop();
    connection.Disconnect();
    if (connection.lines != count) {
      state.SkipWithError("not every line reached its handler");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * count);
  state.SetBytesProcessed(state.iterations() * static_cast<long>(bytes.size()));
}
BENCHMARK(BM_ReceiveLoopFromSocketPair)->Arg(1000);

}  // namespace
}  // namespace corvane

BENCHMARK_MAIN();
