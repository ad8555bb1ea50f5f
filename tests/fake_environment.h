// The one fake of the system that the unit tests, the fuzz targets and the
// benchmarks share. It needs no test framework, so the fuzz targets link it.
//
// By default its peer is a script: receives hand out prepared bytes in
// pieces, sends are collected, connects succeed, sleeps are recorded and
// never waited for, and nothing touches a real socket. With `realSockets`
// the socket calls go to the real system instead (sleeps are still only
// recorded), and with `givenSocket` too, the connection's socket is one the
// test made (one end of a socket pair).
#ifndef CORVANE_TESTS_FAKE_ENVIRONMENT_H_
#define CORVANE_TESTS_FAKE_ENVIRONMENT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/environment.h"

namespace corvane {
namespace testing_support {

class FakeEnvironment : public Environment {
 public:
  // A script chunk that stands for a readiness wait that times out.
  static const char* const kTimeout;

  // --- the peer, when scripted
  // What the peer sends: `peerBytes`, handed out in receives of the lengths
  // in `pieces` in turn (a receive takes at most its room; the rest of the
  // piece goes to the next one). A piece of 0 makes one readiness wait time
  // out. After the last piece the peer closes, or with `repeatPieces` the
  // lengths start over until the bytes run out.
  std::string peerBytes;
  std::vector<std::size_t> pieces;
  bool repeatPieces = false;
  // Sets the peer to send `chunks` one receive each (kTimeout: a wait that
  // times out), then close.
  void Script(const std::vector<std::string>& chunks);

  // --- settings
  bool realSockets = false;                                // socket calls go to the system
  SocketHandle givenSocket = kInvalidSocket;               // the socket "opened", if set
  int connectFailures = 0;                                 // connect attempts that fail before one works
  std::size_t largestSend = static_cast<std::size_t>(-1);  // cap per send
  long failSendAfter = -1;                                 // bytes accepted before sends fail; -1 never
  bool keepSent = true;                                    // collect sent bytes in `sent`
  long lastError = 104;                                    // GetLastError's answer; -1 the real system's
  std::int64_t utcTime = 1796797805;                       // 2026-12-09T06:30:05Z

  // --- stop requests: each trigger adds one request (at most 2 count)
  int stopRequests = 0;                  // StopRequested's answer
  long stopAtSleep = -1;                 // the request comes during this sleep (from 1)
  long stopAtSend = -1;                  // ... right after this send that took bytes
  int stopAtWait = -1;                   // ... during this readiness wait
  const char* stopName = "SIGTERM";      // StopRequestName's answer once requested
  std::int64_t programTimeMs = 1000000;  // advanced by sleeps and timed-out waits
  int stopsFinished = 0;                 // StopFinished calls
  int handlersInstalled = 0;
  void RequestStop() { stopRequests = stopRequests < 2 ? stopRequests + 1 : 2; }

  // --- what happened
  std::string sent;
  long sends = 0;  // send calls that took bytes
  std::vector<unsigned> sleeps;
  std::vector<unsigned> connectTimeouts;  // the bound asked of each connect
  int dottedAddressCalls = 0;
  int hostNameCalls = 0;
  int socketsOpened = 0;
  std::vector<SocketHandle> socketsClosed;
  int waits = 0;
  int receives = 0;
  std::size_t lastReceiveRoom = 0;  // the room offered to the last receive

  int StartSocketLibrary(unsigned short requested, unsigned short* reported) override;
  void StopSocketLibrary() override {}
  std::uint32_t ParseDottedAddress(const char* text) override;
  int ResolveHostName(const char* name, std::uint32_t* address) override;
  SocketHandle OpenTcpSocket() override;
  int ConnectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port,
                    unsigned timeoutMs) override;
  int WaitReadable(SocketHandle socket, int timeoutSeconds) override;
  long Receive(SocketHandle socket, char* buffer, std::size_t size) override;
  long SendSome(SocketHandle socket, const char* data, std::size_t size) override;
  void CloseSocket(SocketHandle socket) override;
  void Sleep(unsigned milliseconds) override;
  unsigned long GetLastError() override;
  std::int64_t UtcTime() override { return utcTime; }
  // The system's rename, unless `failReplace` is set: then it fails, the
  // file untouched, with EACCES.
  bool failReplace = false;
  int MoveOver(const char* from, const char* to) override;
  void InstallStopHandlers() override { ++handlersInstalled; }
  int StopRequested() override { return stopRequests; }
  const char* StopRequestName() override { return stopRequests > 0 ? stopName : ""; }
  void StopFinished() override { ++stopsFinished; }
  std::int64_t ProgramTimeMs() override { return programTimeMs; }

 private:
  // True when the socket calls go to the real system.
  bool Real() const { return realSockets || givenSocket != kInvalidSocket; }

  std::size_t sentBytes_ = 0;    // bytes the sends took
  std::size_t piece_ = 0;        // the entry of `pieces` being handed out
  std::size_t at_ = 0;           // bytes handed out so far
  std::size_t usedOfPiece_ = 0;  // of them, in the current piece
};

}  // namespace testing_support
}  // namespace corvane

#endif  // CORVANE_TESTS_FAKE_ENVIRONMENT_H_
