// The operating system as Corvane sees it: the socket library, sleeping,
// the clocks, replacing a file, the last error code and the requests to
// stop. core/ and app/ reach the
// system only through this header; the build compiles exactly one
// implementation of it (posix/ or windows/).
#ifndef CORVANE_PLATFORM_ENVIRONMENT_H_
#define CORVANE_PLATFORM_ENVIRONMENT_H_

#include <cstddef>
#include <cstdint>

namespace corvane {

// A socket of the platform's socket library. Both BSD descriptors and
// Windows SOCKET values fit, and both libraries use all bits set as invalid.
typedef std::intptr_t SocketHandle;
const SocketHandle kInvalidSocket = -1;

// The system services the chat client needs. The default implementation
// talks to the real system; tests derive from it to record or fake calls.
class Environment {
 public:
  virtual ~Environment() {}

  // Starts the socket library asking for `requestedVersion` (0x0101 for 1.1)
  // and stores in *reportedVersion the version the library offers for use.
  // Returns 1 on success, 0 when the library cannot start.
  virtual int StartSocketLibrary(unsigned short requestedVersion,
                                 unsigned short* reportedVersion) = 0;

  // Shuts the socket library down after a successful start.
  virtual void StopSocketLibrary() = 0;

  // Parses a dotted IPv4 address as the socket library's inet_addr does and
  // returns it in network byte order; the library's "none" value (all bits
  // set) when the text is not an address. The result is not checked by
  // callers.
  virtual std::uint32_t ParseDottedAddress(const char* text) = 0;

  // Resolves a host name to its first IPv4 address, stored in network byte
  // order in *address. Returns 1 on success, 0 when the name is unknown;
  // GetLastError then tells the resolver's error code.
  virtual int ResolveHostName(const char* name, std::uint32_t* address) = 0;

  // Creates a TCP stream socket over IPv4 with keep-alive on, so that a
  // connection whose peer has vanished is given up (POSIX: after about three
  // minutes of silence; Windows: with the system's keep-alive timings, by
  // default after about two hours).
  // Returns kInvalidSocket on failure.
  virtual SocketHandle OpenTcpSocket() = 0;

  // Connects `socket` to `address`:`port` (network byte order, host byte
  // order), waiting at most `timeoutMs` (scaled as the build's pauses are)
  // for the peer to answer; the socket blocks again afterwards. Returns 1 on
  // success, 0 on failure; a peer that never answered leaves the system's
  // "timed out" code (ETIMEDOUT, WSAETIMEDOUT) for GetLastError.
  virtual int ConnectSocket(SocketHandle socket, std::uint32_t address,
                            std::uint16_t port, unsigned timeoutMs) = 0;

  // Waits until `socket` is readable or `timeoutSeconds` have passed.
  // Returns a positive number when readable, 0 on timeout, negative on error.
  // A stop request ends the wait early with 0 where the system can wake it
  // (POSIX); Windows Sockets 1.1 cannot, and waits out the timeout.
  virtual int WaitReadable(SocketHandle socket, int timeoutSeconds) = 0;

  // Receives at most `size` bytes into `buffer`. Returns the number of bytes
  // read, 0 when the peer closed the connection, negative on error.
  virtual long Receive(SocketHandle socket, char* buffer, std::size_t size) = 0;

  // Sends at most `size` bytes of `data`; a peer that has gone away makes
  // this fail, it never ends the process. Returns the number of bytes the
  // socket accepted, negative on error.
  virtual long SendSome(SocketHandle socket, const char* data,
                        std::size_t size) = 0;

  // Closes `socket`.
  virtual void CloseSocket(SocketHandle socket) = 0;

  // Blocks the calling thread for `milliseconds`, or less: a stop request
  // ends the pause within a tenth of a second.
  virtual void Sleep(unsigned milliseconds) = 0;

  // Returns the error code of the last failed system call on this thread.
  virtual unsigned long GetLastError() = 0;

  // Returns the system clock's time: whole seconds since
  // 1970-01-01T00:00:00Z.
  virtual std::int64_t UtcTime() = 0;

  // Renames the file `from` to `to`, replacing `to` when it exists, in one
  // step: a reader of `to` finds the old file or the new one, never a part.
  // Both must lie on the same volume. Returns 1 on success, 0 on failure
  // (`from` then stays as it was; GetLastError tells why).
  virtual int MoveOver(const char* from, const char* to) = 0;

  // --- Stopping: the handlers only record a request; the pauses and waits
  // above notice it, and the program asks here what it should do.

  // Makes the stop requests of the system reach StopRequested: SIGTERM,
  // SIGINT and SIGHUP (POSIX); Ctrl-C, Ctrl-Break and the closing of the
  // console window (Windows). Called once, where the program starts.
  virtual void InstallStopHandlers() = 0;

  // Returns 0 while no stop was requested, 1 after one request, 2 when the
  // rest of the stop must be skipped: a second request came, or (Windows)
  // the closing console leaves no more time.
  virtual int StopRequested() = 0;

  // Names what requested the stop, for the log ("SIGTERM", "Ctrl-C", "the
  // console window closing", ...); empty while nothing did.
  virtual const char* StopRequestName() = 0;

  // Tells the stop handlers that the program has finished its stop: a
  // closing console that holds the process for it may now let it end.
  virtual void StopFinished() = 0;

  // A steady clock in milliseconds from an arbitrary start, unaffected by
  // changes to the system's time. The test builds' clock runs faster by
  // their pause divisor, so that a wait measured on it scales as the
  // pauses do.
  virtual std::int64_t ProgramTimeMs() = 0;
};

// Returns the environment of the real system; it lives for the whole run.
Environment& DefaultEnvironment() noexcept;

// Makes console output reach standard output as it is printed, even when
// standard output is a pipe or a file: the bot is normally ended from
// outside, and buffered lines would be lost.
void MakeConsoleUnbuffered();

}  // namespace corvane

#endif  // CORVANE_PLATFORM_ENVIRONMENT_H_
