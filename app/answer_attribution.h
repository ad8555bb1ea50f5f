// Ties the server's answers to the stats requests they answer. A server
// answers the requests of one connection in order, one answer each, whatever
// walk sent them; lines that answer nothing (welcome texts, notices) come
// between them.
#ifndef CORVANE_APP_ANSWER_ATTRIBUTION_H_
#define CORVANE_APP_ANSWER_ATTRIBUTION_H_

#include <cstdint>

#include "app/members_list.h"
#include "app/stats_answer.h"
#include "platform/settings.h"

namespace corvane {

// Where finished rows go.
class ResultSink {
 public:
  virtual ~ResultSink() {}
  // Takes one finished row; rows come in the order of the requests.
  virtual void TakeRow(const ResultRow& row) = 0;
};

// One connection's requests, oldest first, in fixed storage, and the answer
// being read. Every request becomes exactly one row: its answer, or
// "unanswered".
class AnswerAttribution {
 public:
  // Rows go to `sink`, which must outlive this object. At most `capacity`
  // requests (1 to kRequestQueueCapacity) are remembered.
  explicit AnswerAttribution(ResultSink& sink,
                             int capacity = kRequestQueueCapacity) noexcept;

  AnswerAttribution(const AnswerAttribution&) = delete;
  AnswerAttribution& operator=(const AnswerAttribution&) = delete;

  // Remembers a stats request for `name` (cut to kMemberNameLimit
  // characters) sent by the walk that started at `walk`. When the storage is
  // full, the request is counted only, and so are the ones after it until
  // their answers have come: their answers are unattributed.
  void Requested(const char* name, std::int64_t walk);

  // Takes an info or error event's text, read at `now`. A line that does
  // not continue the answer being read ends it; a header ties its record to
  // the oldest waiting request of that name (without letter case) and makes
  // the requests before it unanswered; "Invalid user.", the quota lines and
  // the missing-code lines answer the oldest waiting request. Other lines
  // answer nothing and are left out.
  void InfoLine(const char* text, std::int64_t now);
  void ErrorLine(const char* text, std::int64_t now);

  // Ends the answer being read, with what came: a second passed without a
  // line, or a line of another kind came.
  void EndAnswer();

  // The connection is lost: ends the answer being read, and every request
  // still waiting becomes unanswered at `now`. Forgets every request.
  void ConnectionLost(std::int64_t now);

  // Requests remembered and waiting for their answer.
  int waiting() const { return count_; }
  // True while an answer is being read: more of its lines may come.
  bool reading() const { return reading_; }

 private:
  struct Request {
    std::int64_t walk;
    char name[kMemberNameLimit + 1];
  };
  // An answer made of error lines that come together.
  struct ErrorAnswer {
    ResultStatus status;
    int lineCount;
    const char* lines[3];  // the last one is matched as a prefix
  };

  void Line(bool error, const char* text, std::int64_t now);
  bool ContinueAnswer(bool error, const char* text);
  void StartAnswer(bool error, const char* text, std::int64_t now);
  void StartRecord(const char* text, std::int64_t now);
  void StartErrorAnswer(const ErrorAnswer& answer, std::int64_t now);
  // Ties row_ to the request at `index` (-1: none), after making the ones
  // before it unanswered at `now`.
  void Attribute(int index, std::int64_t now);
  // Emits the oldest request as unanswered at `now` and forgets it.
  void PassOver(std::int64_t now);
  void AppendAnswer(const char* text);
  void TakeFigures(GameKind kind, const GameFigures& figures);
  const Request& At(int index) const {
    return requests_[(first_ + index) % capacity_];
  }

  ResultSink& sink_;
  int capacity_;
  int first_;
  int count_;
  long untracked_;  // requests sent past the storage, their answers to come
  bool reading_;    // an answer is being read into row_
  const ErrorAnswer* errorAnswer_;  // its kind when made of error lines
  int errorLines_;                  // error lines of it read so far
  int kindLines_[2];                // ladder and normal lines read so far
  ResultRow row_;
  Request requests_[kRequestQueueCapacity];
};

}  // namespace corvane

#endif  // CORVANE_APP_ANSWER_ATTRIBUTION_H_
