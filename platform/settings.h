// The program's timings and limits, each with its value and the reason for
// it. Every layer reads them from here; this header sits beside the platform
// seam, at the bottom of the layering, so that the platform code can read
// the ones it applies without depending on core/ or app/.
#ifndef CORVANE_PLATFORM_SETTINGS_H_
#define CORVANE_PLATFORM_SETTINGS_H_

namespace corvane {

// --- Connecting ----------------------------------------------------------

// Attempts in a row before the run ends: a server that is down for longer
// than that is not coming back soon.
const int kConnectAttempts = 10;
// Pause after each failed attempt, so that a refusing server is not hammered.
const unsigned kConnectRetryPauseMs = 2000;
// Bound on one attempt: a host that drops packets would otherwise hold each
// attempt for the system's own timeout (about 127 s on Linux, 21 s on
// Windows).
const unsigned kConnectTimeoutMs = 10000;
// The test builds' connect bound is never shorter than this: a busy machine
// must still finish a loopback connect within it, and Windows takes about a
// second to report a refused one.
const unsigned kShortestConnectTimeoutMs = 2000;
// Pause between the logon line and the join line: the server answers the
// logon first, and a join sent too early is lost.
const unsigned kLogonToJoinPauseMs = 5000;
// Logons the server refuses in a row, with none confirmed between them,
// before the run ends: a wrong password does not get better by trying.
const int kRefusedLogonLimit = 10;

// --- Walking the members list ------------------------------------------

// Pause after entering a channel, before the walk: the server sends the
// channel's user list first.
const unsigned kSettlePauseMs = 2000;
// Pause before each stats request: the server drops a client that floods it.
const unsigned kRequestPauseMs = 5000;

// --- Receiving -----------------------------------------------------------

// Longest wait for the server's next bytes; the idle slot runs after each.
const int kReceiveWaitSeconds = 1;
// The receive buffer: the longest line the server sends, LF included, fits.
// A full buffer without a line end ends the connection.
const int kReceiveBufferSize = 2048;

// --- Lines the program writes ------------------------------------------

// A line sent to the server, NUL included: 255 characters, far above the
// longest command (a stats request for a 100-character name).
const int kSendLineSize = 256;
// A line of the diagnostic log, NUL included; longer ones are cut.
const int kLogLineSize = 1024;

// --- Noticing a dead connection (POSIX; Windows Sockets 1.1 can only switch
// keep-alive on, with the system's timings: first probe after two hours) --

// Silence before the first keep-alive probe.
const int kKeepAliveIdleSeconds = 60;
// Between unanswered probes.
const int kKeepAliveIntervalSeconds = 20;
// Unanswered probes that end the connection: about three minutes in all.
const int kKeepAliveProbes = 5;

// --- Test builds -----------------------------------------------------------

// The end-to-end tests' builds of the programs define CORVANE_TEST_TIMINGS:
// the platform divides every pause, the connect bound and the keep-alive
// times by 50, so a run of minutes takes seconds. The shipped programs use
// the values above as they are.
#ifdef CORVANE_TEST_TIMINGS
const unsigned kPauseDivisor = 50;
#else
const unsigned kPauseDivisor = 1;
#endif

// The two helpers below are static: the shipped and the test platform
// libraries compile them with different divisors, and each keeps its own.

// Returns `milliseconds` as the build waits them: divided by kPauseDivisor.
static inline unsigned ScaledPauseMs(unsigned milliseconds) {
  return milliseconds / kPauseDivisor;
}

// Returns `milliseconds` divided by kPauseDivisor, but at least `floorMs`
// (or `milliseconds` itself when that is less): for bounds on the system's
// own work (connecting, keep-alive) that a busy test machine must still be
// able to meet.
static inline unsigned ScaledBoundMs(unsigned milliseconds, unsigned floorMs) {
  unsigned scaled = milliseconds / kPauseDivisor;
  if (floorMs > milliseconds) floorMs = milliseconds;
  return scaled < floorMs ? floorMs : scaled;
}

// --- Files the program keeps ---------------------------------------------
// The report page carries the walks of this many days before the newest:
// over a year of history, and a page that stays small however old the file.
const int kReportPageDays = 400;
// A results file with other columns is left alone for "<name>-2.csv" up to
// this number: enough for any folder, and the file name stays short.
const int kLastNewFileNumber = 99;

}  // namespace corvane

#endif  // CORVANE_PLATFORM_SETTINGS_H_
