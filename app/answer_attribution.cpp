#include "app/answer_attribution.h"

#include <cstring>

#include "core/bounded_text.h"

namespace corvane {
namespace {

const char kInvalidUser[] = "Invalid user.";
const char kAnswerSeparator[] = " | ";

}  // namespace

AnswerAttribution::AnswerAttribution(ResultSink& sink, int capacity) noexcept
    : sink_(sink),
      capacity_(capacity < 1                       ? 1
                : capacity > kRequestQueueCapacity ? kRequestQueueCapacity
                                                   : capacity),
      first_(0),
      count_(0),
      untracked_(0),
      reading_(false),
      errorAnswer_(nullptr),
      errorLines_(0),
      kindLines_() {
  ClearResultRow(&row_);
}

void AnswerAttribution::Requested(const char* name, std::int64_t walk) {
  // Once one request was not stored, later ones are not either: an answer
  // is tied to a request only while every earlier request is remembered.
  if (count_ == capacity_ || untracked_ > 0) {
    ++untracked_;
    return;
  }
  Request& request = requests_[(first_ + count_) % capacity_];
  request.walk = walk;
  CopyText(request.name, name);
  ++count_;
}

void AnswerAttribution::InfoLine(const char* text, std::int64_t now) {
  Line(false, text, now);
}

void AnswerAttribution::ErrorLine(const char* text, std::int64_t now) {
  Line(true, text, now);
}

void AnswerAttribution::EndAnswer() {
  if (!reading_) return;
  reading_ = false;
  sink_.TakeRow(row_);
}

void AnswerAttribution::ConnectionLost(std::int64_t now) {
  EndAnswer();
  while (count_ > 0) PassOver(now);
  first_ = 0;
  untracked_ = 0;
}

void AnswerAttribution::Line(bool error, const char* text, std::int64_t now) {
  if (reading_ && ContinueAnswer(error, text)) return;
  EndAnswer();
  StartAnswer(error, text, now);
}

bool AnswerAttribution::ContinueAnswer(bool error, const char* text) {
  if (errorAnswer_ == nullptr) {
    GameKind kind = kGamesOther;
    GameFigures figures;
    if (error || !ReadGamesLine(text, &kind, &figures)) return false;
    AppendAnswer(text);
    TakeFigures(kind, figures);
    return true;
  }
  const char* expected = errorAnswer_->lines[errorLines_];
  bool last = errorLines_ == errorAnswer_->lineCount - 1;
  std::size_t length = std::strlen(expected);
  if (!error || std::strncmp(text, expected, length) != 0 ||
      (!last && text[length] != '\0')) {
    return false;
  }
  AppendAnswer(text);
  if (++errorLines_ == errorAnswer_->lineCount) EndAnswer();
  return true;
}

void AnswerAttribution::StartAnswer(bool error, const char* text,
                                    std::int64_t now) {
  static const ErrorAnswer kErrorAnswers[] = {
      {kStatusUnknown, 1, {kInvalidUser, nullptr, nullptr}},
      {kStatusDropped,
       2,
       {"Your message quota has been exceeded!",
        "You are sending commands to the server too quickly and risk being "
        "disconnected for flooding. Please slow down.",
        nullptr}},
      {kStatusError,
       3,
       {"This game does not support win/loss records.",
        "You must supply a user name and a valid program ID.",
        "Example: /stats "}},
  };
  if (!error) {
    StartRecord(text, now);
    return;
  }
  for (const ErrorAnswer& answer : kErrorAnswers) {
    if (std::strcmp(text, answer.lines[0]) == 0) {
      StartErrorAnswer(answer, now);
      AppendAnswer(text);
      if (answer.lineCount == 1) EndAnswer();
      return;
    }
  }
}

void AnswerAttribution::StartRecord(const char* text, std::int64_t now) {
  char name[kMemberNameLimit + 1];
  if (!ReadRecordHeader(text, name)) return;
  ClearResultRow(&row_);
  int index = -1;
  for (int i = 0; i < count_ && index < 0; ++i) {
    if (EqualsIgnoringCase(At(i).name, name)) index = i;
  }
  Attribute(index, now);
  row_.status = index >= 0 ? kStatusRecord : kStatusUnattributed;
  row_.time = now;
  reading_ = true;
  errorAnswer_ = nullptr;
  kindLines_[0] = kindLines_[1] = 0;
  AppendAnswer(text);
}

void AnswerAttribution::StartErrorAnswer(const ErrorAnswer& answer,
                                         std::int64_t now) {
  ClearResultRow(&row_);
  // These answers do not name the player: they answer the oldest request.
  int index = count_ > 0 ? 0 : -1;
  Attribute(index, now);
  row_.status = index >= 0 ? answer.status : kStatusUnattributed;
  row_.time = now;
  reading_ = true;
  errorAnswer_ = &answer;
  errorLines_ = 1;
}

void AnswerAttribution::Attribute(int index, std::int64_t now) {
  if (index < 0) {
    // An answer to a request past the storage, once the remembered ones are
    // answered; or to nothing this connection remembers.
    if (count_ == 0 && untracked_ > 0) --untracked_;
    return;
  }
  for (int i = 0; i < index; ++i) PassOver(now);
  row_.walk = At(0).walk;
  CopyText(row_.player, At(0).name);
  first_ = (first_ + 1) % capacity_;
  --count_;
}

void AnswerAttribution::PassOver(std::int64_t now) {
  ResultRow row;
  ClearResultRow(&row);
  row.walk = At(0).walk;
  row.time = now;
  row.status = kStatusUnanswered;
  CopyText(row.player, At(0).name);
  first_ = (first_ + 1) % capacity_;
  --count_;
  sink_.TakeRow(row);
}

void AnswerAttribution::AppendAnswer(const char* text) {
  std::size_t used = std::strlen(row_.answer);
  if (used > 0) {
    CopyText(row_.answer + used, sizeof(row_.answer) - used, kAnswerSeparator);
    used = std::strlen(row_.answer);
  }
  CopyText(row_.answer + used, sizeof(row_.answer) - used, text);
}

void AnswerAttribution::TakeFigures(GameKind kind, const GameFigures& figures) {
  if (kind == kGamesOther) return;
  GameFigures& target = kind == kGamesLadder ? row_.ladder : row_.normal;
  // Two lines of one kind disagree or repeat: neither is taken as the truth.
  if (++kindLines_[kind] == 1) {
    target = figures;
  } else {
    std::memset(&target, 0, sizeof(target));
  }
}

}  // namespace corvane
