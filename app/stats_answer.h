// The server's answers to a stats request, line by line: which lines belong
// to an answer, and the figures of a record's "... games:" lines.
#ifndef CORVANE_APP_STATS_ANSWER_H_
#define CORVANE_APP_STATS_ANSWER_H_

#include <cstdint>

#include "app/members_list.h"

namespace corvane {

// A figure: 1 to 9 decimal digits as the server sent them, and a NUL.
const int kFigureSize = 10;
// A tag without its brackets: at most 31 characters and a NUL.
const int kTagSize = 32;
// An answer's lines joined by " | ": the room of a header and three lines of
// the longest event text; a longer answer is cut (the result log has it all).
const int kAnswerSize = 1024;

// The figures of one kind of game. Every field is empty when the server did
// not send it, or sent it in a shape the parser does not know.
struct GameFigures {
  char wins[kFigureSize];
  char losses[kFigureSize];
  char disconnects[kFigureSize];  // the third figure
  char rating[kFigureSize];       // "(rating N)", or the points of "N pts"
  char tag[kTagSize];             // "[A+] " gives "A+"
};

// What became of one request, as the results file names it.
enum ResultStatus {
  kStatusRecord,        // the record of the requested name
  kStatusUnknown,       // "Invalid user."
  kStatusDropped,       // the flood limit's two quota lines
  kStatusError,         // the three lines of a request without product code
  kStatusUnanswered,    // passed over, or waiting when the connection ended
  kStatusUnattributed,  // an answer no waiting request can be tied to
};

// One row of the results file.
struct ResultRow {
  std::int64_t walk;  // when the request's walk started; -1 when unknown
  std::int64_t time;  // when the answer was read (or found missing)
  char player[kMemberNameLimit + 1];  // as the members list gives it
  ResultStatus status;
  GameFigures ladder;
  GameFigures normal;
  char answer[kAnswerSize];  // the answer's lines, joined by " | "
};

// The kind of game a "... games:" line counts.
enum GameKind { kGamesLadder, kGamesNormal, kGamesOther };

// Returns the status's name in the results file ("record", "unknown", ...).
const char* ResultStatusName(ResultStatus status);

// Empties every field of `row` and sets walk and time to -1.
void ClearResultRow(ResultRow* row);

// True when `text` is a record's header "<name>'s record:" with a name of at
// least one character; copies the name, cut to what `name` holds, into it.
bool ReadRecordHeader(const char* text, char (&name)[kMemberNameLimit + 1]);

// True when `text` is a "<kind> games:" line of a record; stores its kind in
// *kind. Fills *figures from "W-L-D", "W-L-D (rating N)" or "N pts (W/L/D)",
// each optionally after "[tag] ", when the kind is ladder or normal and the
// rest of the line has exactly one of these shapes; otherwise leaves every
// field of *figures empty.
bool ReadGamesLine(const char* text, GameKind* kind, GameFigures* figures);

}  // namespace corvane

#endif  // CORVANE_APP_STATS_ANSWER_H_
