#include "server/scripted_connection.h"

#include <thread>

namespace corvane::server {

namespace {
using Clock = std::chrono::steady_clock;
}

bool ScriptedConnection::ReadLine(std::string* line, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (unread_.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    std::vector<ReceivedLine> received;
    if (left.count() <= 0 || !link_.Receive(left, &received)) return false;
    unread_.insert(unread_.end(), received.begin(), received.end());
  }
  *line = unread_.front().text;
  unread_.pop_front();
  return true;
}

bool ScriptedConnection::ReadUntil(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string line;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !ReadLine(&line, left)) return false;
    if (line == text) return true;
  }
}

bool ScriptedConnection::SendByteByByte(const std::string& bytes, std::chrono::milliseconds pause) {
  for (char ch : bytes) {
    if (!Send(std::string(1, ch))) return false;
    std::this_thread::sleep_for(pause);
  }
  return true;
}

bool ScriptedConnection::Welcome() {
  std::string account, password, line;
  if (!ReadLine(&account) || !ReadLine(&password)) return false;
  account.erase(0, account.find_first_not_of("\x03\x04"));
  do {
    if (!ReadLine(&line)) return false;
  } while (line.rfind("/join ", 0) != 0);
  return LogOn(account);
}

void ScriptedConnection::Converse(const std::string& channel) {
  std::deque<ReceivedLine> unread;
  unread.swap(unread_);
  link_.Converse(channel, unread);
}

}  // namespace corvane::server
