// A folder with the programs' files and a stand-in chat server, for running
// the real programs end to end. BWCorvane_fast and SCCorvane_fast are the
// shipped sources with every pause divided by 50 and the server at
// 127.0.0.1:CORVANE_TEST_SERVER_PORT.
#ifndef CORVANE_TESTS_PROGRAM_FIXTURE_H_
#define CORVANE_TESTS_PROGRAM_FIXTURE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/product_variant.h"
#include "server/chat_server.h"
#include "tests/bot_process.h"
#include "tests/test_support.h"

namespace corvane {

inline const char kBanner[] =
    "             Corvane\n"
    "           by the Corvane developers\n"
    "  https://corvane.example.org/\n"
    "          Version 1.0 Beta\n";

inline std::string Banner(const std::string& indent, const std::string& product) {
  std::string banner;
  std::string lines = kBanner;
  for (std::size_t at = 0; at < lines.size();) {
    std::size_t end = lines.find('\n', at);
    banner += indent + lines.substr(at, end - at + 1);
    at = end + 1;
  }
  return banner + indent + "  Stat Checker for " + product + " Only\n";
}

// What the programs print on standard error, and nothing else, for each
// problem with configuration.txt (checked in ProgramTest.ConfigurationErrors...).
inline const std::string kConfigurationError = "Error Reading Configuration File\n";
inline const std::string kConfigurationNotThreeWords =
    kConfigurationError + "It needs three words: account name, password and home channel.\n";
inline const std::string kConfigurationAccountNameTooLong =
    kConfigurationError + "The account name is longer than 15 characters.\n";
inline const std::string kConfigurationPasswordTooLong =
    kConfigurationError + "The password is longer than 15 characters.\n";
inline const std::string kConfigurationHomeChannelTooLong =
    kConfigurationError + "The home channel is longer than 35 characters.\n";

// 1 s of the shipped programs' time in the test builds, whose pauses are
// divided by 50.
inline constexpr std::chrono::milliseconds kScaledSecond{1000 / 50};
// The pause between two stats requests, scaled.
inline constexpr std::chrono::milliseconds kScaledPause = kScaledSecond * 5;

// The server's answer about `name`, each line between `before` and `after`.
inline std::string AnswerLines(const std::string& name, const std::string& product, const std::string& before,
                               const std::string& after) {
  std::string lines;
  for (const std::string& text : server::StatsAnswer(name, product)) lines += before + text + after;
  return lines;
}

#ifdef CORVANE_SC_FAST  // the Windows build's locked-file test has BWCorvane only
// Each program under test with its files, for tests of both.
struct TestedProgram {
  const char* name;
  const char* path;
  const ProductVariant& variant;
  friend void PrintTo(const TestedProgram& program, std::ostream* out) { *out << program.name; }
};
inline const TestedProgram kTestedPrograms[] = {{"BroodWar", CORVANE_BW_FAST, kBroodWarVariant},
                                                {"Starcraft", CORVANE_SC_FAST, kStarcraftVariant}};
inline std::string TestedProgramName(const testing::TestParamInfo<TestedProgram>& info) {
  return info.param.name;
}
#endif

class ProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    testing_support::WriteFile("configuration.txt", "statbot secret1 Clan\n");
    testing_support::WriteFile("bwmembers.txt", "Members\nalice\nbob\n");
    // As a Windows editor saves it: no CR may reach a request.
    testing_support::WriteFile("scmembers.txt", "Members\r\nbob1\r\n");
  }

  // Starts the stand-in server. Its flood protection counts in the
  // programs' time: 5 s divided by the test builds' 50.
  void StartServer(server::ServerOptions options = server::ServerOptions(),
                   std::uint16_t port = CORVANE_TEST_SERVER_PORT) {
    options.port = port;
    options.record = true;
    if (port == CORVANE_TEST_SERVER_PORT) options.floodWindow = kScaledSecond * 5;
    server_ = std::make_unique<server::ChatServer>(options);
    ASSERT_TRUE(server_->Start()) << server_->LastError();
  }

  // Starts `program` in the test's folder, after ending any earlier one.
  void Run(const char* program) {
    bot_.reset();
    botPid_ = 0;
    started_ = std::chrono::steady_clock::now();
    bot_ = std::make_unique<testing_support::BotProcess>(program, scratch_.path());
    botPid_ = bot_->pid();
  }

  // The bot's process id, for a server script: waits until Run() has
  // published it, as the bot may connect before Run() returns.
  pid_t BotPid() const {
    while (botPid_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return botPid_;
  }

  // Ends the bot and waits until the server has read everything it sent:
  // every connection's end was read. Compare what the server received only
  // after this (or after the bot's last line arrived).
  void StopBot() {
    bot_->Stop();
    ASSERT_TRUE(WaitForAllConnectionsEnded()) << "the server did not see the bot's connections end";
  }

  // Waits until every connection the server accepted has ended.
  bool WaitForAllConnectionsEnded(std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
    return server_->WaitFor(
        [](const server::ChatServer& s) {
          for (int connection = 1; connection <= s.ConnectionCount(); ++connection) {
            if (!s.ConnectionEnded(connection)) return false;
          }
          return true;
        },
        timeout);
  }

  // Time since the last Run() started the bot, up to `at`. It holds every
  // pause the bot took before an event the server recorded at `at`, however
  // slow the machine: a strict lower bound, unlike gaps between two arrivals.
  std::chrono::steady_clock::duration SinceStart(std::chrono::steady_clock::time_point at) const {
    return at - started_;
  }

  std::vector<std::string> LinesOf(int connection) const {
    std::vector<std::string> texts;
    for (const server::ReceivedLine& line : server_->LinesOf(connection)) texts.push_back(line.text);
    return texts;
  }

  // The stats requests connection `connection` sent, in order.
  std::vector<server::ReceivedLine> RequestsOf(int connection) const {
    std::vector<server::ReceivedLine> requests;
    for (const server::ReceivedLine& line : server_->LinesOf(connection)) {
      if (line.text.rfind("/stats ", 0) == 0) requests.push_back(line);
    }
    return requests;
  }

  // Connection `connection` asked for each of `names` exactly once, in order,
  // and nothing else. The 5 s between two requests are not measured here:
  // gaps between arrivals shrink when the server reads late on a busy
  // machine. The unit tests check the pauses the bot asks for, and the slow
  // test the real ones.
  void ExpectOneWalk(int connection, const std::vector<std::string>& names,
                     const std::string& product = "SEXP") const {
    std::vector<std::string> texts, expected;
    for (const server::ReceivedLine& line : RequestsOf(connection)) texts.push_back(line.text);
    for (const std::string& name : names) expected.push_back("/stats " + name + " " + product);
    EXPECT_EQ(expected, texts) << "connection " << connection;
  }

  // Waits until connection `connection` sent `count` lines equal to `text`.
  bool WaitForLine(const std::string& text, int connection = 1, int count = 1,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
    return server_->WaitFor(
        [&](const server::ChatServer&) {
          std::vector<std::string> lines = LinesOf(connection);
          return std::count(lines.begin(), lines.end(), text) >= count;
        },
        timeout);
  }

  // Waits until the server has accepted `count` connections.
  bool WaitForConnections(int count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
    return server_->WaitFor([count](const server::ChatServer& s) { return s.ConnectionCount() >= count; },
                            timeout);
  }

  // Fails for every file in the test's folder that is not one of either
  // program's: its configuration, its own log, and each variant's files,
  // the report page's temporary among them.
  void ExpectOnlyOwnFiles() const {
    std::set<std::string> own = {"configuration.txt", "corvane.log"};
    for (const ProductVariant* variant : {&kBroodWarVariant, &kStarcraftVariant}) {
      own.insert({variant->resultLogFile, variant->resultsFile, variant->membersListFile, variant->seenFile,
                  std::string(variant->resultsFile) + ".pending", variant->reportPageFile,
                  std::string(variant->reportPageFile) + ".tmp"});
    }
    for (const auto& entry : std::filesystem::directory_iterator(scratch_.path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_EQ(1u, own.count(name)) << "wrote outside its own files: " << name;
    }
  }

  // Fails when the program's error output holds a sanitizer's report.
  void ExpectNoSanitizerReport() const {
    const std::string errors = bot_->Stderr();
    EXPECT_EQ(std::string::npos, errors.find("Sanitizer")) << errors;
    EXPECT_EQ(std::string::npos, errors.find("runtime error")) << errors;
  }

  // Waits until `done()` holds, looking every 10 ms.
  template <typename Done>
  static bool WaitUntil(Done done, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  // Waits until the program printed `text`.
  bool WaitForOutput(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
    return WaitUntil([&] { return bot_->Stdout().find(text) != std::string::npos; }, timeout);
  }

  // Waits until the file `name` holds `count` copies of `text`.
  static bool WaitForFileText(const std::string& name, const std::string& text, int count = 1,
                              std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return WaitUntil([&] { return testing_support::CountOf(testing_support::ReadFile(name), text) >= count; },
                     timeout);
  }

  testing_support::ScratchDirectory scratch_;
  std::unique_ptr<server::ChatServer> server_;
  std::unique_ptr<testing_support::BotProcess> bot_;
  std::atomic<pid_t> botPid_{0};
  std::chrono::steady_clock::time_point started_;
};

}  // namespace corvane

#endif  // CORVANE_TESTS_PROGRAM_FIXTURE_H_
