// The environment over BSD sockets. It stands in for Windows Sockets 1.1 on
// POSIX systems: the library start-up always succeeds and offers 1.1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/environment.h"
#include "platform/settings.h"
#include "scaled_timings.h"

namespace corvane {
namespace {

// Keep-alive takes whole seconds, at least one.
int ScaledSeconds(int seconds) {
  return static_cast<int>(
      ScaledBoundMs(static_cast<unsigned>(seconds) * 1000, 1000) / 1000);
}

// TCP keep-alive: a connection whose peer has vanished without a close
// (a NAT timeout, a router reboot) is given up after the silence and probes
// of platform/settings.h. A live peer answers the probes, so a quiet but
// working connection is never dropped.
void EnableKeepAlive(int fd) {
  const int idle = ScaledSeconds(kKeepAliveIdleSeconds);
  const int interval = ScaledSeconds(kKeepAliveIntervalSeconds);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(int));
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(int));
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof(int));
  // The same bound for lines sent into a dead path: without it their
  // retransmissions would go on for a quarter of an hour.
  unsigned int userTimeoutMs =
      static_cast<unsigned int>((idle + interval * kKeepAliveProbes) * 1000);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs,
             sizeof(userTimeoutMs));
}

// Stop requests, as the signal handler records them: how many came (kept
// at most 2) and the first one's signal number. Nothing else may happen in
// a signal handler; the waits below read them.
volatile sig_atomic_t stopRequests = 0;
volatile sig_atomic_t stopSignal = 0;

void RecordStopRequest(int signalNumber) {
  if (stopRequests == 0) stopSignal = signalNumber;
  if (stopRequests < 2) stopRequests = stopRequests + 1;
}

long long MonotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until the connect under way on `fd` has ended or `timeoutMs` have
// passed. Returns 1 when connected; 0 with errno set to the connect's error,
// or to ETIMEDOUT when the peer never answered.
int FinishConnect(int fd, unsigned timeoutMs) {
  const long long deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    long long left = deadline - MonotonicMs();
    pollfd watched;
    watched.fd = fd;
    watched.events = POLLOUT;
    watched.revents = 0;
    int ready = poll(&watched, 1, left > 0 ? static_cast<int>(left) : 0);
    // A stop request ends the attempt: the run is about to end anyway.
    if (ready < 0 && errno == EINTR && stopRequests == 0) continue;
    if (ready < 0) return 0;
    if (ready == 0) {
      errno = ETIMEDOUT;
      return 0;
    }
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return 0;
    errno = error;
    return error == 0 ? 1 : 0;
  }
}

class PosixEnvironment : public Environment {
 public:
  int StartSocketLibrary(unsigned short /*requestedVersion*/,
                         unsigned short* reportedVersion) override {
    *reportedVersion = 0x0101;
    return 1;
  }

  void StopSocketLibrary() override {}

  std::uint32_t ParseDottedAddress(const char* text) override {
    return inet_addr(text);
  }

  int ResolveHostName(const char* name, std::uint32_t* address) override {
    // gethostbyname is IPv4-only, as the protocol's socket address is.
    hostent* host = gethostbyname(name);
    if (host == nullptr || host->h_addr_list[0] == nullptr) {
      // The resolver reports through h_errno; GetLastError reads errno.
      errno = host == nullptr ? h_errno : NO_DATA;
      return 0;
    }
    std::size_t length = static_cast<std::size_t>(host->h_length);
    if (length > sizeof(*address)) length = sizeof(*address);
    *address = 0;
    std::memcpy(address, host->h_addr_list[0], length);
    return 1;
  }

  SocketHandle OpenTcpSocket() override {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return kInvalidSocket;
    EnableKeepAlive(fd);
    return static_cast<SocketHandle>(fd);
  }

  int ConnectSocket(SocketHandle socket, std::uint32_t address,
                    std::uint16_t port, unsigned timeoutMs) override {
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof(peer));
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    const int fd = static_cast<int>(socket);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return 0;
    int connected = connect(fd, reinterpret_cast<const sockaddr*>(&peer),
                            sizeof(peer)) == 0;
    // EINTR too: the connect goes on in the background, as EINPROGRESS.
    if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
      connected = FinishConnect(
          fd, ScaledBoundMs(timeoutMs, kShortestConnectTimeoutMs));
    }
    // Receive and send block from here on; keep the connect's error.
    const int error = errno;
    fcntl(fd, F_SETFL, flags);
    errno = error;
    return connected ? 1 : 0;
  }

  int WaitReadable(SocketHandle socket, int timeoutSeconds) override {
    // poll rather than select: select cannot watch a descriptor numbered
    // FD_SETSIZE or above, and a long-running process may get one.
    pollfd watched;
    watched.fd = static_cast<int>(socket);
    watched.events = POLLIN;
    watched.revents = 0;
    // Without SA_RESTART a stop signal interrupts the poll: the loop then
    // hears of the stop at once instead of after the rest of the second.
    int ready = poll(&watched, 1, timeoutSeconds * 1000);
    return ready < 0 && errno == EINTR ? 0 : ready;
  }

  long Receive(SocketHandle socket, char* buffer, std::size_t size) override {
    ssize_t result;
    do {
      result = recv(static_cast<int>(socket), buffer, size, 0);
    } while (result < 0 && errno == EINTR);
    return static_cast<long>(result);
  }

  long SendSome(SocketHandle socket, const char* data,
                std::size_t size) override {
    ssize_t result;
    do {
      // MSG_NOSIGNAL: a closed peer gives EPIPE instead of killing us.
      result = send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    return static_cast<long>(result);
  }

  void CloseSocket(SocketHandle socket) override {
    close(static_cast<int>(socket));
  }

  void Sleep(unsigned milliseconds) override {
    // In slices, checking between them: a signal that comes just before a
    // nanosleep starts would not interrupt it.
    unsigned left = ScaledPauseMs(milliseconds);
    while (left > 0 && stopRequests == 0) {
      unsigned slice = left < kStopCheckSliceMs ? left : kStopCheckSliceMs;
      left -= slice;
      timespec remaining;
      remaining.tv_sec = 0;
      remaining.tv_nsec = static_cast<long>(slice) * 1000000L;
      while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR &&
             stopRequests == 0) {
      }
    }
  }

  unsigned long GetLastError() override {
    return static_cast<unsigned long>(errno);
  }

  std::int64_t UtcTime() override {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec);
  }

  int MoveOver(const char* from, const char* to) override {
    // POSIX rename replaces an existing target atomically.
    return std::rename(from, to) == 0 ? 1 : 0;
  }

  void InstallStopHandlers() override {
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = RecordStopRequest;
    // No SA_RESTART: the receive loop's poll must return on a stop. The
    // three signals are held off each other's handler.
    sigemptyset(&action.sa_mask);
    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    for (int signalNumber : signals) sigaddset(&action.sa_mask, signalNumber);
    for (int signalNumber : signals) sigaction(signalNumber, &action, nullptr);
  }

  int StopRequested() override { return stopRequests; }

  const char* StopRequestName() override {
    switch (stopSignal) {
      case SIGTERM:
        return "SIGTERM";
      case SIGINT:
        return "SIGINT";
      case SIGHUP:
        return "SIGHUP";
      default:
        return "";
    }
  }

  void StopFinished() override {}

  std::int64_t ProgramTimeMs() override {
    return static_cast<std::int64_t>(MonotonicMs()) * kPauseDivisor;
  }
};

}  // namespace

Environment& DefaultEnvironment() noexcept {
  static PosixEnvironment environment;
  return environment;
}

void MakeConsoleUnbuffered() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}

}  // namespace corvane
