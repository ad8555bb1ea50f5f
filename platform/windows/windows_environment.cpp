// The environment over Windows Sockets 1.1 (wsock32). The library start-up
// reports the version it offers; the stat checker refuses any other than 1.1.
#include <fcntl.h>
#include <io.h>
#include <winsock.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/environment.h"
#include "platform/settings.h"
#include "scaled_timings.h"

namespace corvane {
namespace {

SOCKET ToSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// Winsock takes lengths as int; a larger request is served in part, which
// every caller already handles.
int ClampLength(std::size_t size) {
  return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX
                                                  : static_cast<int>(size);
}

// Stop requests, as the console control handler records them. The handler
// runs on a thread of its own: it only counts the requests, notes the first
// one's kind and, for a closing console, the time; the main thread reads
// them in its pauses and waits.
enum StopKind { kNoStop, kCtrlC, kCtrlBreak, kConsoleClose };
volatile LONG stopRequests = 0;
volatile LONG stopKind = kNoStop;
volatile LONG consoleClosing = 0;
ULONGLONG consoleClosedAt = 0;
// Set by the main thread once its stop is done; a closing console's handler
// holds the process until then.
HANDLE stopFinished = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  LONG kind = kNoStop;
  if (type == CTRL_C_EVENT) kind = kCtrlC;
  if (type == CTRL_BREAK_EVENT) kind = kCtrlBreak;
  if (type == CTRL_CLOSE_EVENT) kind = kConsoleClose;
  if (kind == kNoStop) return FALSE;
  InterlockedCompareExchange(&stopKind, kind, kNoStop);
  if (kind == kConsoleClose) {
    consoleClosedAt = GetTickCount64();
    InterlockedExchange(&consoleClosing, 1);
  }
  InterlockedIncrement(&stopRequests);
  // On a close the process ends when this returns (or after about 5 s): it
  // waits for the main thread to finish writing, bounded below that.
  if (kind == kConsoleClose && stopFinished != nullptr) {
    WaitForSingleObject(stopFinished, kConsoleCloseHoldMs);
  }
  return TRUE;
}

// Waits until the connect under way on `socket` has ended or `timeoutMs`
// have passed: Windows Sockets 1.1 reports success as writability and
// failure as an exception. Returns 1 when connected; 0 with the last error
// set to the connect's error, or to WSAETIMEDOUT when the peer never
// answered.
int FinishConnect(SOCKET socket, unsigned timeoutMs) {
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(socket, &writable);
  FD_SET(socket, &failed);
  timeval timeout;
  timeout.tv_sec = static_cast<long>(timeoutMs / 1000);
  timeout.tv_usec = static_cast<long>(timeoutMs % 1000) * 1000;
  int ready = select(0, nullptr, &writable, &failed, &timeout);
  if (ready == SOCKET_ERROR) return 0;
  if (ready == 0) {
    WSASetLastError(WSAETIMEDOUT);
    return 0;
  }
  if (FD_ISSET(socket, &writable)) return 1;
  int error = 0;
  int length = sizeof(error);
  getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
             &length);
  WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
  return 0;
}

class WindowsEnvironment : public Environment {
 public:
  int StartSocketLibrary(unsigned short requestedVersion,
                         unsigned short* reportedVersion) override {
    WSADATA data;
    std::memset(&data, 0, sizeof(data));
    if (WSAStartup(requestedVersion, &data) != 0) return 0;
    *reportedVersion = data.wVersion;
    return 1;
  }

  void StopSocketLibrary() override { WSACleanup(); }

  std::uint32_t ParseDottedAddress(const char* text) override {
    return static_cast<std::uint32_t>(inet_addr(text));
  }

  int ResolveHostName(const char* name, std::uint32_t* address) override {
    // Winsock 1.1 knows IPv4 only, as the protocol's socket address does.
    hostent* host = gethostbyname(name);
    if (host == nullptr || host->h_addr_list[0] == nullptr) return 0;
    std::size_t length = static_cast<std::size_t>(host->h_length);
    if (length > sizeof(*address)) length = sizeof(*address);
    *address = 0;
    std::memcpy(address, host->h_addr_list[0], length);
    return 1;
  }

  SocketHandle OpenTcpSocket() override {
    SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) return kInvalidSocket;
    // Keep-alive with the system's timings: Windows Sockets 1.1 can switch
    // it on but not set its times (by default the first probe follows 2
    // hours of silence, then 10 probes 1 s apart; the registry values
    // KeepAliveTime and KeepAliveInterval of Tcpip\Parameters change that).
    BOOL on = TRUE;
    setsockopt(handle, SOL_SOCKET, SO_KEEPALIVE,
               reinterpret_cast<const char*>(&on), sizeof(on));
    return static_cast<SocketHandle>(handle);
  }

  int ConnectSocket(SocketHandle socket, std::uint32_t address,
                    std::uint16_t port, unsigned timeoutMs) override {
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof(peer));
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    u_long nonBlocking = 1;
    if (ioctlsocket(ToSocket(socket), FIONBIO, &nonBlocking) != 0) return 0;
    int connected =
        connect(ToSocket(socket), reinterpret_cast<const sockaddr*>(&peer),
                sizeof(peer)) == 0;
    if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
      connected =
          FinishConnect(ToSocket(socket),
                        ScaledBoundMs(timeoutMs, kShortestConnectTimeoutMs));
    }
    // Receive and send block from here on; keep the connect's error.
    const int error = WSAGetLastError();
    u_long blocking = 0;
    ioctlsocket(ToSocket(socket), FIONBIO, &blocking);
    WSASetLastError(error);
    return connected ? 1 : 0;
  }

  int WaitReadable(SocketHandle socket, int timeoutSeconds) override {
    // Windows' select takes a set of handles, not descriptor numbers, so the
    // FD_SETSIZE limit of BSD select does not apply to one socket.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(ToSocket(socket), &readable);
    timeval timeout;
    timeout.tv_sec = timeoutSeconds;
    timeout.tv_usec = 0;
    return select(0, &readable, nullptr, nullptr, &timeout);
  }

  long Receive(SocketHandle socket, char* buffer, std::size_t size) override {
    return recv(ToSocket(socket), buffer, ClampLength(size), 0);
  }

  long SendSome(SocketHandle socket, const char* data,
                std::size_t size) override {
    // A closed peer makes send fail with an error code; Windows has no
    // signal to kill the process for it.
    return send(ToSocket(socket), data, ClampLength(size), 0);
  }

  void CloseSocket(SocketHandle socket) override {
    closesocket(ToSocket(socket));
  }

  void Sleep(unsigned milliseconds) override {
    unsigned left = ScaledPauseMs(milliseconds);
    while (left > 0 && StopRequested() == 0) {
      unsigned slice = left < kStopCheckSliceMs ? left : kStopCheckSliceMs;
      left -= slice;
      ::Sleep(slice);
    }
  }

  unsigned long GetLastError() override { return ::GetLastError(); }

  std::int64_t UtcTime() override {
    // FILETIME counts 100-ns steps since 1601-01-01, 11644473600 s before
    // 1970-01-01.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    std::uint64_t ticks =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
        now.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000000u) - 11644473600LL;
  }

  int MoveOver(const char* from, const char* to) override {
    // The C library's rename fails on Windows when `to` exists; MoveFileEx
    // replaces it in one step.
    return MoveFileExA(from, to,
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0
               ? 1
               : 0;
  }

  void InstallStopHandlers() override {
    stopFinished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  }

  int StopRequested() override {
    if (consoleClosing != 0 &&
        GetTickCount64() - consoleClosedAt >= kConsoleCloseAnswerWaitMs) {
      return 2;
    }
    LONG requests = stopRequests;
    return requests > 2 ? 2 : static_cast<int>(requests);
  }

  const char* StopRequestName() override {
    switch (stopKind) {
      case kCtrlC:
        return "Ctrl-C";
      case kCtrlBreak:
        return "Ctrl-Break";
      case kConsoleClose:
        return "the console window closing";
      default:
        return "";
    }
  }

  void StopFinished() override {
    if (stopFinished != nullptr) SetEvent(stopFinished);
  }

  std::int64_t ProgramTimeMs() override {
    // GetTickCount64 does not wrap, unlike GetTickCount after 49.7 days.
    return static_cast<std::int64_t>(GetTickCount64()) * kPauseDivisor;
  }
};

}  // namespace

Environment& DefaultEnvironment() noexcept {
  static WindowsEnvironment environment;
  return environment;
}

void MakeConsoleUnbuffered() {
  // Binary mode: a "\r\n" the program prints reaches the console, pipe or
  // file as those two bytes, as on POSIX, not as "\r\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}

}  // namespace corvane
