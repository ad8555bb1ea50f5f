#include "tests/test_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "app/results_file.h"

namespace corvane {
namespace testing_support {

void RecordingConnection::OnIdle() { ++idles; }

int RecordingConnection::OnChannel(const char* n, std::uint32_t f, const char* t) {
  ChatConnection::OnChannel(n, f, t);
  return Record("OnChannel", n, f, t);
}

int RecordingConnection::OnName(const char* n, std::uint32_t f, const char* t) {
  ChatConnection::OnName(n, f, t);
  return Record("OnName", n, f, t);
}

int RecordingConnection::Record(const char* slot, const char* name, std::uint32_t flags, const char* text) {
  events.push_back(Event{slot, name, flags, text});
  return 1;
}

// std::filesystem only, so the Windows test build (run under wine) has it too.
ScratchDirectory::ScratchDirectory() {
  namespace fs = std::filesystem;
  std::error_code error;
  previous_ = fs::current_path(error).string();
  fs::path base = fs::temp_directory_path(error);
  std::mt19937_64 random(
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count()));
  // A name nobody holds yet: create_directory is false for an existing one.
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    fs::path candidate = base / ("corvane-test-" + std::to_string(random() % 1000000000));
    if (fs::create_directory(candidate, error)) path_ = candidate.string();
  }
  if (!path_.empty()) {
    fs::current_path(path_, error);
    if (error) path_.clear();
  }
}

ScratchDirectory::~ScratchDirectory() {
  namespace fs = std::filesystem;
  std::error_code ignored;
  fs::current_path(previous_, ignored);
  if (ignored) return;
  if (!path_.empty()) {
    // Make read-only folders that a test made removable again.
    for (auto& entry : fs::recursive_directory_iterator(path_, ignored)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
  }
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::string WithoutErrorCodes(const std::string& text) {
  const std::string marker = "error code ";
  std::string out;
  std::size_t at = 0;
  for (std::size_t found; (found = text.find(marker, at)) != std::string::npos;) {
    std::size_t digits = found + marker.size();
    std::size_t end = digits;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    out += text.substr(at, digits - at) + (end > digits ? "N" : "");
    at = end;
  }
  return out + text.substr(at);
}

namespace {

// True when `line` starts with a time as "2026-12-09T06:30:05Z " writes it.
bool StartsWithLogTime(const std::string& line) {
  const std::string shape = "dddd-dd-ddTdd:dd:ddZ ";
  if (line.size() < shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
  }
  return true;
}

}  // namespace

std::string WithoutLogTimes(const std::string& text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(at, end - at);
    out += StartsWithLogTime(line) ? line.substr(21) : "<no time> " + line;
    at = end;
  }
  return out;
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

long StatusFieldKb(const std::string& pid, const std::string& field) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

int OpenDescriptors(const std::string& pid) {
  std::error_code error;
  std::filesystem::directory_iterator fds("/proc/" + pid + "/fd", error);
  if (error) return -1;
  int count = 0;
  for (const auto& entry : fds) count += entry.path().filename().string()[0] != '.' ? 1 : 0;
  return count;
}

std::vector<std::string> ResultRows(const std::string& path) {
  std::vector<std::string> rows;
  ResultsReader reader;
  auto record = std::make_unique<ResultsRecord>();
  if (reader.Open(path.c_str()) != 1) return rows;
  while (reader.Next(record.get()) == 1) {
    rows.push_back(std::string(record->field[kColumnPlayer]) + " " + record->field[kColumnStatus]);
  }
  return rows;
}

std::string StoppedLogLine(const std::string& by, int read, int unanswered) {
  return "Stopped by " + by + ": the wait for answers read " + std::to_string(read) + " and left " +
         std::to_string(unanswered) + " unanswered\r\n";
}

ScriptedBot::ScriptedBot(const std::string& members) {
  WriteFile("configuration.txt", "statbot secret1 Clan\n");
  WriteFile("bwmembers.txt", "Members\n" + members);
  // No test of the bot holds without its log: end the run at once.
  if (!bot.OpenLog("corvane.log")) {
    std::fprintf(stderr, "cannot open corvane.log in %s\n", scratch.path().c_str());
    std::abort();
  }
  bot.Configure("statbot", "secret1", "127.0.0.1", 6112);
}

void ScriptedBot::Receive(const std::vector<std::string>& chunks) {
  // Nothing the test scripted can happen without the connection.
  if (!bot.Connect()) {
    std::fprintf(stderr, "the scripted connection did not connect\n");
    std::abort();
  }
  environment.Script(chunks);
  bot.ReceiveLoop();
  bot.Disconnect();
}

}  // namespace testing_support
}  // namespace corvane
