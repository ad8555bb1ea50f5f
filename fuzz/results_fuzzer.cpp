// Fuzz target: the record parser and the attribution of answers to requests.
// The input is a conversation, one step a line: "R<name>" a request sent,
// "I<text>" an info line, "E<text>" an error line, "D" a second without a
// line, "L" the connection lost; its first byte picks a small capacity so
// that the storage overflows. The rows must be exactly those of a model
// written afresh with the standard library, and every field must fit.
#include <cstdint>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <vector>

#include "app/answer_attribution.h"
#include "fuzz/fuzz_checks.h"

namespace corvane {
namespace fuzzing {
namespace {

const std::string kSeparator = " | ";
const std::vector<std::vector<std::string>> kErrorAnswers = {
    {"Invalid user."},
    {"Your message quota has been exceeded!",
     "You are sending commands to the server too quickly and risk being disconnected for flooding. Please "
     "slow "
     "down."},
    {"This game does not support win/loss records.", "You must supply a user name and a valid program ID.",
     "Example: /stats "},
};
const char* const kStatuses[] = {"record", "unknown", "dropped", "error"};

std::string Lower(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

// `pattern` against all of `text`: 'N' is 1 to 9 digits, anything else itself.
bool Matches(const std::string& pattern, const std::string& text, std::vector<std::string>* numbers) {
  std::size_t at = 0;
  for (char p : pattern) {
    if (p != 'N') {
      if (at >= text.size() || text[at] != p) return false;
      ++at;
      continue;
    }
    std::size_t end = text.find_first_not_of("0123456789", at);
    if (end == std::string::npos) end = text.size();
    if (end == at || end - at > 9) return false;
    numbers->push_back(text.substr(at, end - at));
    at = end;
  }
  return at == text.size();
}

// wins, losses, disconnects, rating, tag; all empty for an unknown shape.
std::vector<std::string> ModelFigures(std::string rest) {
  std::vector<std::string> none(5), tag(1);
  if (!rest.empty() && rest[0] == '[') {
    std::size_t close = rest.find(']');
    if (close == std::string::npos || close > 32 || close + 1 >= rest.size() || rest[close + 1] != ' ')
      return none;
    tag[0] = rest.substr(1, close - 1);
    rest = rest.substr(close + 2);
  }
  std::vector<std::string> n;
  if (Matches("N-N-N", rest, &n)) return {n[0], n[1], n[2], "", tag[0]};
  n.clear();
  if (Matches("N-N-N (rating N)", rest, &n)) return {n[0], n[1], n[2], n[3], tag[0]};
  n.clear();
  if (Matches("N pts (N/N/N)", rest, &n)) return {n[1], n[2], n[3], n[0], tag[0]};
  return none;
}

struct Row {
  std::int64_t walk = -1, time = -1;
  std::string player, status;
  std::vector<std::string> kinds[2] = {std::vector<std::string>(5), std::vector<std::string>(5)};
  std::string answer;
  bool operator==(const Row& o) const {
    return walk == o.walk && time == o.time && player == o.player && status == o.status &&
           kinds[0] == o.kinds[0] && kinds[1] == o.kinds[1] && answer == o.answer;
  }
};

class Model {
 public:
  explicit Model(std::size_t capacity) : capacity_(capacity) {}
  std::vector<Row> rows;

  void Request(const std::string& name, std::int64_t walk) {
    if (waiting_.size() == capacity_ || untracked_ > 0) {
      ++untracked_;
    } else {
      waiting_.push_back({name.substr(0, 100), walk});
    }
  }
  void Line(bool error, const std::string& text, std::int64_t now) {
    if (open_ && Continue(error, text)) return;
    End();
    if (!error) {
      const std::string end = "'s record:";
      if (text.size() <= end.size() || text.compare(text.size() - end.size(), end.size(), end) != 0) return;
      std::string name = Lower(text.substr(0, std::min<std::size_t>(text.size() - end.size(), 100)));
      std::size_t index = 0;
      while (index < waiting_.size() && Lower(waiting_[index].first) != name) ++index;
      Open(index < waiting_.size() ? static_cast<int>(index) : -1, "record", now);
      errors_ = nullptr;
      seen_[0] = seen_[1] = 0;
      Append(text);
      return;
    }
    for (std::size_t k = 0; k < kErrorAnswers.size(); ++k) {
      if (text != kErrorAnswers[k][0]) continue;
      Open(waiting_.empty() ? -1 : 0, kStatuses[k + 1], now);
      errors_ = &kErrorAnswers[k];
      next_ = 1;
      Append(text);
      if (errors_->size() == 1) End();
      return;
    }
  }
  void End() {
    if (open_) rows.push_back(row_);
    open_ = false;
  }
  void Lost(std::int64_t now) {
    End();
    while (!waiting_.empty()) Unanswered(now);
    untracked_ = 0;
  }

 private:
  bool Continue(bool error, const std::string& text) {
    if (errors_ != nullptr) {
      const std::string& expected = (*errors_)[next_];
      bool last = next_ + 1 == errors_->size();
      if (!error || text.compare(0, expected.size(), expected) != 0 ||
          (!last && text.size() != expected.size())) {
        return false;
      }
      Append(text);
      if (++next_ == errors_->size()) End();
      return true;
    }
    std::size_t colon = text.find(':');
    if (error || colon == std::string::npos || colon <= 6 || text.compare(colon - 6, 7, " games:") != 0)
      return false;
    Append(text);
    for (int kind = 0; kind < 2; ++kind) {
      const std::string prefix = kind == 0 ? "Ladder games: " : "Normal games: ";
      if (text.compare(0, prefix.size(), prefix) != 0) continue;
      row_.kinds[kind] =
          ++seen_[kind] == 1 ? ModelFigures(text.substr(prefix.size())) : std::vector<std::string>(5);
    }
    return true;
  }
  void Open(int index, const std::string& status, std::int64_t now) {
    row_ = Row();
    row_.time = now;
    row_.status = index < 0 ? "unattributed" : status;
    if (index < 0 && waiting_.empty() && untracked_ > 0) --untracked_;
    for (int i = 0; i < index; ++i) Unanswered(now);
    if (index >= 0) {
      row_.player = waiting_.front().first;
      row_.walk = waiting_.front().second;
      waiting_.pop_front();
    }
    open_ = true;
  }
  void Unanswered(std::int64_t now) {
    Row row;
    row.walk = waiting_.front().second;
    row.time = now;
    row.player = waiting_.front().first;
    row.status = "unanswered";
    waiting_.pop_front();
    rows.push_back(row);
  }
  void Append(const std::string& text) {
    if (!row_.answer.empty()) row_.answer += kSeparator;
    row_.answer = (row_.answer + text).substr(0, kAnswerSize - 1);
  }

  std::size_t capacity_;
  std::deque<std::pair<std::string, std::int64_t>> waiting_;
  long untracked_ = 0;
  bool open_ = false;
  Row row_;
  const std::vector<std::string>* errors_ = nullptr;
  std::size_t next_ = 0;
  int seen_[2] = {0, 0};
};

Row FromResult(const ResultRow& r) {
  Row row;
  row.walk = r.walk;
  row.time = r.time;
  row.player = r.player;
  row.status = ResultStatusName(r.status);
  const GameFigures* figures[] = {&r.ladder, &r.normal};
  for (int kind = 0; kind < 2; ++kind) {
    row.kinds[kind] = {figures[kind]->wins, figures[kind]->losses, figures[kind]->disconnects,
                       figures[kind]->rating, figures[kind]->tag};
  }
  row.answer = r.answer;
  return row;
}

class Collector : public ResultSink {
 public:
  std::vector<Row> rows;
  void TakeRow(const ResultRow& row) override {
    Check(std::memchr(row.answer, '\0', sizeof(row.answer)) != nullptr, "answer not terminated");
    Check(std::memchr(row.player, '\0', sizeof(row.player)) != nullptr, "player not terminated");
    rows.push_back(FromResult(row));
  }
};

}  // namespace
}  // namespace fuzzing
}  // namespace corvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvane;
  using namespace corvane::fuzzing;
  if (size == 0 || size > 4096) return 0;
  const int capacity = data[0] % 8 + 1;
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  static Collector collector;
  collector.rows.clear();
  static AnswerAttribution* attribution = nullptr;
  // Fixed storage of the real size, made once; each run starts it afresh.
  alignas(AnswerAttribution) static unsigned char storage[sizeof(AnswerAttribution)];
  if (attribution != nullptr) attribution->~AnswerAttribution();
  attribution = new (storage) AnswerAttribution(collector, capacity);
  Model model(static_cast<std::size_t>(capacity));

  std::int64_t now = 0;
  for (std::size_t at = 0; at <= input.size();) {
    std::size_t end = input.find('\n', at);
    if (end == std::string::npos) end = input.size();
    // Texts as the event parser hands them over: cut at a NUL, at most 255.
    std::string line = input.substr(at, end - at);
    line = std::string(line.c_str()).substr(0, 256);
    at = end + 1;
    if (line.empty()) continue;
    std::string text = line.substr(1, 255);
    ++now;
    switch (line[0]) {
      case 'R':
        attribution->Requested(text.c_str(), now);
        model.Request(text, now);
        break;
      case 'I':
        attribution->InfoLine(text.c_str(), now);
        model.Line(false, text, now);
        break;
      case 'E':
        attribution->ErrorLine(text.c_str(), now);
        model.Line(true, text, now);
        break;
      case 'D':
        attribution->EndAnswer();
        model.End();
        break;
      case 'L':
        attribution->ConnectionLost(now);
        model.Lost(now);
        break;
      default:
        break;
    }
    Check(collector.rows == model.rows, "the rows differ from the model");
  }
  return 0;
}
