#include "app/stats_answer.h"

#include <cstring>

#include "core/bounded_text.h"

namespace corvane {
namespace {

const char kHeaderEnd[] = "'s record:";
const char kGamesWord[] = " games:";
const char kLadderPrefix[] = "Ladder games: ";
const char kNormalPrefix[] = "Normal games: ";

// Each reader takes the text at `p`, or nullptr when an earlier step failed,
// and returns where its part ends, or nullptr when the text does not match.
const char* ReadLiteral(const char* p, const char* literal) {
  if (p == nullptr) return nullptr;
  std::size_t length = std::strlen(literal);
  return std::strncmp(p, literal, length) == 0 ? p + length : nullptr;
}

// 1 to 9 digits: more would be no count a server keeps, and is not guessed at.
const char* ReadFigure(const char* p, char (&figure)[kFigureSize]) {
  if (p == nullptr) return nullptr;
  int length = 0;
  while (p[length] >= '0' && p[length] <= '9') {
    if (length == kFigureSize - 1) return nullptr;
    ++length;
  }
  if (length == 0) return nullptr;
  std::memcpy(figure, p, static_cast<std::size_t>(length));
  figure[length] = '\0';
  return p + length;
}

// "[tag] ", when the text starts with '['.
const char* ReadTag(const char* p, char (&tag)[kTagSize]) {
  if (*p != '[') return p;
  const char* end = std::strchr(p + 1, ']');
  if (end == nullptr || end - p - 1 >= kTagSize || end[1] != ' ') {
    return nullptr;
  }
  std::memcpy(tag, p + 1, static_cast<std::size_t>(end - p - 1));
  tag[end - p - 1] = '\0';
  return end + 2;
}

// "W-L-D", "W-L-D (rating N)" or "N pts (W/L/D)", and nothing after it.
bool ReadFigures(const char* p, GameFigures* f) {
  char first[kFigureSize];
  p = ReadFigure(p, first);
  if (p == nullptr) return false;
  if (*p == '-') {
    CopyText(f->wins, first);
    p = ReadFigure(ReadLiteral(p, "-"), f->losses);
    p = ReadFigure(ReadLiteral(p, "-"), f->disconnects);
    if (p != nullptr && *p == ' ') {
      p = ReadLiteral(ReadFigure(ReadLiteral(p, " (rating "), f->rating), ")");
    }
  } else {
    CopyText(f->rating, first);
    p = ReadFigure(ReadLiteral(p, " pts ("), f->wins);
    p = ReadFigure(ReadLiteral(p, "/"), f->losses);
    p = ReadLiteral(ReadFigure(ReadLiteral(p, "/"), f->disconnects), ")");
  }
  return p != nullptr && *p == '\0';
}

void ClearFigures(GameFigures* figures) {
  std::memset(figures, 0, sizeof(*figures));
}

}  // namespace

const char* ResultStatusName(ResultStatus status) {
  switch (status) {
    case kStatusRecord:
      return "record";
    case kStatusUnknown:
      return "unknown";
    case kStatusDropped:
      return "dropped";
    case kStatusError:
      return "error";
    case kStatusUnanswered:
      return "unanswered";
    case kStatusUnattributed:
      return "unattributed";
  }
  return "unattributed";
}

void ClearResultRow(ResultRow* row) {
  std::memset(row, 0, sizeof(*row));
  row->walk = -1;
  row->time = -1;
  row->status = kStatusUnattributed;
}

bool ReadRecordHeader(const char* text, char (&name)[kMemberNameLimit + 1]) {
  std::size_t length = std::strlen(text);
  std::size_t endLength = sizeof(kHeaderEnd) - 1;
  if (length <= endLength) return false;
  if (std::strcmp(text + length - endLength, kHeaderEnd) != 0) return false;
  std::size_t nameLength = length - endLength;
  if (nameLength > kMemberNameLimit) nameLength = kMemberNameLimit;
  std::memcpy(name, text, nameLength);
  name[nameLength] = '\0';
  return true;
}

bool ReadGamesLine(const char* text, GameKind* kind, GameFigures* figures) {
  ClearFigures(figures);
  // "<kind> games:": the kind is a word or more before " games:".
  const char* colon = std::strchr(text, ':');
  std::size_t wordLength = sizeof(kGamesWord) - 2;  // without the colon
  if (colon == nullptr ||
      static_cast<std::size_t>(colon - text) <= wordLength ||
      std::strncmp(colon - wordLength, kGamesWord, wordLength + 1) != 0) {
    return false;
  }
  const char* rest = ReadLiteral(text, kLadderPrefix);
  *kind = kGamesLadder;
  if (rest == nullptr) {
    rest = ReadLiteral(text, kNormalPrefix);
    *kind = kGamesNormal;
  }
  if (rest == nullptr) {
    *kind = kGamesOther;
    return true;
  }
  GameFigures parsed;
  ClearFigures(&parsed);
  rest = ReadTag(rest, parsed.tag);
  if (rest != nullptr && ReadFigures(rest, &parsed)) *figures = parsed;
  return true;
}

}  // namespace corvane
