#include "tests/test_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace corvane {
namespace testing_support {

int RecordingEnvironment::StartSocketLibrary(unsigned short requested, unsigned short* reported) {
  return DefaultEnvironment().StartSocketLibrary(requested, reported);
}
void RecordingEnvironment::StopSocketLibrary() {}
std::uint32_t RecordingEnvironment::ParseDottedAddress(const char* text) {
  ++dottedAddressCalls;
  return DefaultEnvironment().ParseDottedAddress(text);
}
int RecordingEnvironment::ResolveHostName(const char* name, std::uint32_t* address) {
  ++hostNameCalls;
  return DefaultEnvironment().ResolveHostName(name, address);
}
SocketHandle RecordingEnvironment::OpenTcpSocket() {
  ++socketsOpened;
  return DefaultEnvironment().OpenTcpSocket();
}
int RecordingEnvironment::ConnectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  return DefaultEnvironment().ConnectSocket(socket, address, port);
}
int RecordingEnvironment::WaitReadable(SocketHandle socket, int timeoutSeconds) {
  return DefaultEnvironment().WaitReadable(socket, timeoutSeconds);
}
long RecordingEnvironment::Receive(SocketHandle socket, char* buffer, std::size_t size) {
  return DefaultEnvironment().Receive(socket, buffer, size);
}
long RecordingEnvironment::SendSome(SocketHandle socket, const char* data, std::size_t size) {
  return DefaultEnvironment().SendSome(socket, data, std::min(size, largestSend));
}
void RecordingEnvironment::CloseSocket(SocketHandle socket) {
  socketsClosed.push_back(socket);
  DefaultEnvironment().CloseSocket(socket);
}
void RecordingEnvironment::Sleep(unsigned milliseconds) { sleeps.push_back(milliseconds); }
unsigned long RecordingEnvironment::GetLastError() { return DefaultEnvironment().GetLastError(); }

const char* const ScriptedEnvironment::kTimeout = "<timeout>";

int ScriptedEnvironment::ConnectSocket(SocketHandle, std::uint32_t, std::uint16_t) {
  if (connectFailures == 0) return 1;
  --connectFailures;
  return 0;
}

int ScriptedEnvironment::WaitReadable(SocketHandle, int) {
  ++waits;
  if (!script.empty() && script.front() == kTimeout) {
    script.pop_front();
    return 0;
  }
  return 1;
}

long ScriptedEnvironment::Receive(SocketHandle, char* buffer, std::size_t size) {
  receiveSizes.push_back(size);
  if (script.empty() || size == 0) return 0;
  std::string& chunk = script.front();
  std::size_t count = std::min(size, chunk.size());
  std::memcpy(buffer, chunk.data(), count);
  chunk.erase(0, count);
  if (chunk.empty()) script.pop_front();
  return static_cast<long>(count);
}

long ScriptedEnvironment::SendSome(SocketHandle, const char* data, std::size_t size) {
  std::size_t count = std::min(size, largestSend);
  if (failSendAfter >= 0) {
    long room = failSendAfter - static_cast<long>(sent.size());
    if (room <= 0) return -1;
    count = std::min(count, static_cast<std::size_t>(room));
  }
  sent.append(data, count);
  return static_cast<long>(count);
}

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

}  // namespace testing_support
}  // namespace corvane
