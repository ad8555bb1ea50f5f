#include "tests/fake_environment.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvane {
namespace testing_support {

const char* const FakeEnvironment::kTimeout = "<timeout>";

void FakeEnvironment::Script(const std::vector<std::string>& chunks) {
  peerBytes.clear();
  pieces.clear();
  for (const std::string& chunk : chunks) {
    if (chunk == kTimeout) {
      pieces.push_back(0);
      continue;
    }
    peerBytes += chunk;
    pieces.push_back(chunk.size());
  }
  piece_ = 0;
  at_ = 0;
  usedOfPiece_ = 0;
}

int FakeEnvironment::StartSocketLibrary(unsigned short requested, unsigned short* reported) {
  return DefaultEnvironment().StartSocketLibrary(requested, reported);
}

std::uint32_t FakeEnvironment::ParseDottedAddress(const char* text) {
  ++dottedAddressCalls;
  return DefaultEnvironment().ParseDottedAddress(text);
}

int FakeEnvironment::ResolveHostName(const char* name, std::uint32_t* address) {
  ++hostNameCalls;
  return DefaultEnvironment().ResolveHostName(name, address);
}

SocketHandle FakeEnvironment::OpenTcpSocket() {
  ++socketsOpened;
  if (givenSocket != kInvalidSocket) return givenSocket;
  if (realSockets) return DefaultEnvironment().OpenTcpSocket();
  return 100 + socketsOpened;
}

int FakeEnvironment::ConnectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port,
                                   unsigned timeoutMs) {
  connectTimeouts.push_back(timeoutMs);
  if (connectFailures > 0) {
    --connectFailures;
    return 0;
  }
  if (givenSocket != kInvalidSocket || !realSockets) return 1;
  return DefaultEnvironment().ConnectSocket(socket, address, port, timeoutMs);
}

int FakeEnvironment::WaitReadable(SocketHandle socket, int timeoutSeconds) {
  ++waits;
  if (waits == stopAtWait) RequestStop();
  if (Real()) return DefaultEnvironment().WaitReadable(socket, timeoutSeconds);
  if (piece_ < pieces.size() && pieces[piece_] == 0) {
    ++piece_;
    programTimeMs += timeoutSeconds * 1000;
    return 0;
  }
  return 1;
}

long FakeEnvironment::Receive(SocketHandle socket, char* buffer, std::size_t size) {
  ++receives;
  lastReceiveRoom = size;
  if (Real()) return DefaultEnvironment().Receive(socket, buffer, size);
  if (repeatPieces && piece_ == pieces.size()) piece_ = 0;
  if (piece_ >= pieces.size() || at_ >= peerBytes.size() || size == 0) {
    return 0;
  }
  std::size_t count = std::min(size, pieces[piece_] - usedOfPiece_);
  count = std::min(count, peerBytes.size() - at_);
  std::memcpy(buffer, peerBytes.data() + at_, count);
  at_ += count;
  usedOfPiece_ += count;
  if (usedOfPiece_ == pieces[piece_]) {
    ++piece_;
    usedOfPiece_ = 0;
  }
  return static_cast<long>(count);
}

long FakeEnvironment::SendSome(SocketHandle socket, const char* data, std::size_t size) {
  std::size_t count = std::min(size, largestSend);
  if (failSendAfter >= 0) {
    long room = failSendAfter - static_cast<long>(sentBytes_);
    if (room <= 0) return -1;
    count = std::min(count, static_cast<std::size_t>(room));
  }
  long taken = static_cast<long>(count);
  if (Real()) taken = DefaultEnvironment().SendSome(socket, data, count);
  if (taken <= 0) return taken;
  ++sends;
  if (sends == stopAtSend) RequestStop();
  sentBytes_ += static_cast<std::size_t>(taken);
  if (keepSent) sent.append(data, static_cast<std::size_t>(taken));
  return taken;
}

void FakeEnvironment::CloseSocket(SocketHandle socket) {
  socketsClosed.push_back(socket);
  if (Real()) DefaultEnvironment().CloseSocket(socket);
}

void FakeEnvironment::Sleep(unsigned milliseconds) {
  sleeps.push_back(milliseconds);
  if (static_cast<long>(sleeps.size()) == stopAtSleep) RequestStop();
  programTimeMs += milliseconds;
}

int FakeEnvironment::MoveOver(const char* from, const char* to) {
  if (!failReplace) return DefaultEnvironment().MoveOver(from, to);
  errno = EACCES;
  return 0;
}

unsigned long FakeEnvironment::GetLastError() {
  if (lastError >= 0) return static_cast<unsigned long>(lastError);
  return DefaultEnvironment().GetLastError();
}

}  // namespace testing_support
}  // namespace corvane
