// The program's timings, limits and capacities, each with its value and the
// reason for it. Every layer reads them from here; this header sits beside
// the platform seam, at the bottom of the layering, so that the platform
// code can read the ones it applies without depending on core/ or app/.
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

// --- Stopping ----------------------------------------------------------

// Longest wait, after a stop request, for the answers to the requests
// already sent (program time): the server answers each request at once, so
// a walk's backlog is read in a second or two, and 10 s stays well inside a
// service manager's stop timeout and a shutdown's patience.
const unsigned kStopAnswerWaitMs = 10000;
// A pause is slept in slices of at most this, checking for a stop request
// between them: a stop then ends any pause within a tenth of a second.
const unsigned kStopCheckSliceMs = 100;
// Windows ends a process about 5 s after its console window was closed
// (real time, in every build): the wait for answers is cut to this, and
// the console handler holds the process at most kConsoleCloseHoldMs for the
// rows and the page to be written.
const unsigned kConsoleCloseAnswerWaitMs = 2500;
const unsigned kConsoleCloseHoldMs = 4500;

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

// --- What the program keeps ----------------------------------------------

// Longest account name and password taken from configuration.txt: the
// longest the game network gives out; a longer word is cut, not overrun.
const int kAccountNameLimit = 15;
const int kPasswordLimit = 15;
// Longest home channel taken from configuration.txt: the longest channel
// name the bot's users were given; a longer word is cut, not overrun.
const int kHomeChannelLimit = 35;
// Longest member name the walk takes from one line of the members list: far
// above any account name, and a stats request for it fits in a sent line.
const int kMemberNameLimit = 100;
// Stats requests one connection remembers: more than a walk of three hours,
// one request every 5 s. Answers to requests past it are unattributed.
const int kRequestQueueCapacity = 2048;

// --- Files the program keeps ---------------------------------------------
// The report page carries the walks of this many days before the newest:
// over a year of history, and a page that stays small however old the file.
const int kReportPageDays = 400;
// New seen rows alone rewrite the report page at most this often (program
// time): who comes and goes all day does not rewrite it every second.
const int kSeenPageIntervalMs = 60000;
// A results file with other columns is left alone for "<name>-2.csv" up to
// this number: enough for any folder, and the file name stays short.
const int kLastNewFileNumber = 99;

}  // namespace corvane

#endif  // CORVANE_PLATFORM_SETTINGS_H_
