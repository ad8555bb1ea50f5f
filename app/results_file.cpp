#include "app/results_file.h"

#include <cstring>

#include "core/bounded_text.h"
#include "platform/settings.h"

namespace corvane {

const char kResultsHeader[] =
    "walk,time,player,status,"
    "ladder_wins,ladder_losses,ladder_disconnects,ladder_rating,ladder_tag,"
    "normal_wins,normal_losses,normal_disconnects,normal_rating,normal_tag,"
    "answer";

namespace {

const char kRowEnd[] = "\r\n";
const char kByteOrderMark[] = "\xEF\xBB\xBF";

// The first characters a spreadsheet takes for a formula, and the guard's
// own, so that a text that starts with it comes back as it was.
const char kGuarded[] = "=+-@'";

enum HeaderState { kHeaderMissing, kHeaderFound, kHeaderForeign };

// Reads the start of `file` from its beginning: nothing (or only a
// byte-order mark), the header and its line end, or something else. Leaves
// the file at the first row after the header when it is found.
HeaderState ReadHeader(std::FILE* file, const char* header = kResultsHeader) {
  const std::size_t headerLength = std::strlen(header);
  char start[sizeof(kResultsHeader) + 4];
  if (headerLength + 4 > sizeof(start)) return kHeaderForeign;
  std::size_t read = std::fread(start, 1, sizeof(start), file);
  std::size_t skip =
      read >= 3 && std::memcmp(start, kByteOrderMark, 3) == 0 ? 3 : 0;
  if (read == skip) return kHeaderMissing;
  if (read < skip + headerLength ||
      std::memcmp(start + skip, header, headerLength) != 0) {
    return kHeaderForeign;
  }
  std::size_t end = skip + headerLength;
  if (end < read && start[end] == '\r') ++end;
  if (end < read && start[end] == '\n') {
    ++end;
  } else if (end < read) {
    return kHeaderForeign;  // a longer first line
  }
  return std::fseek(file, static_cast<long>(end), SEEK_SET) == 0
             ? kHeaderFound
             : kHeaderForeign;
}

// True when `path` is missing, empty or starts with the header row; then
// rows may go to it.
bool TakesRows(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return true;
  HeaderState state = ReadHeader(file);
  std::fclose(file);
  return state != kHeaderForeign;
}

// Appends to a line of `size` bytes, never past its end.
class LineBuilder {
 public:
  LineBuilder(char* line, std::size_t size) : line_(line), size_(size) {}

  void Put(char c) {
    if (used_ < size_) line_[used_++] = c;
  }
  void Put(const char* text) {
    for (; *text != '\0'; ++text) Put(*text);
  }
  void PutTime(std::int64_t seconds) {
    if (seconds < 0) return;
    char text[kUtcTimeTextSize];
    FormatUtcTime(seconds, text);
    Put(text);
  }
  void PutText(const char* text) {
    bool quoted = std::strpbrk(text, ",\"\r\n") != nullptr;
    if (quoted) Put('"');
    if (text[0] != '\0' && std::strchr(kGuarded, text[0]) != nullptr) {
      Put('\'');
    }
    for (const char* c = text; *c != '\0'; ++c) {
      if (*c == '"') Put('"');
      Put(*c);
    }
    if (quoted) Put('"');
  }
  // The figures are the program's own (digits only); the tag is the
  // server's.
  void PutFigures(const GameFigures& figures) {
    const char* numbers[] = {figures.wins, figures.losses, figures.disconnects,
                             figures.rating};
    for (const char* number : numbers) {
      Put(number);
      Put(',');
    }
    PutText(figures.tag);
  }
  std::size_t used() const { return used_; }

 private:
  char* line_;
  std::size_t size_;
  std::size_t used_ = 0;
};

}  // namespace

std::size_t FormatCsvField(const char* text, char* field, std::size_t size) {
  if (size < CsvFieldSize(std::strlen(text))) return 0;
  LineBuilder builder(field, size);
  builder.PutText(text);
  return builder.used();
}

int FormatResultsRow(const ResultRow& row, char* line, std::size_t size,
                     std::size_t* length) {
  *length = 0;
  if (size < kResultsLineSize) return 0;
  LineBuilder builder(line, size - 1);
  builder.PutTime(row.walk);
  builder.Put(',');
  builder.PutTime(row.time);
  builder.Put(',');
  builder.PutText(row.player);
  builder.Put(',');
  builder.Put(ResultStatusName(row.status));
  builder.Put(',');
  builder.PutFigures(row.ladder);
  builder.Put(',');
  builder.PutFigures(row.normal);
  builder.Put(',');
  builder.PutText(row.answer);
  builder.Put(kRowEnd);
  *length = builder.used();
  line[*length] = '\0';
  return 1;
}

ResultsFile::ResultsFile(const char* fileName) noexcept
    : fileName_(fileName), chosen_(false), refused_(false), path_() {
  CopyText(path_, fileName);
}

ResultsFileNews ResultsFile::ChooseFile() {
  chosen_ = true;
  if (TakesRows(fileName_)) return kResultsFileAsNamed;
  std::size_t stem = std::strlen(fileName_) - 4;  // without ".csv"
  for (int number = 2; number <= kLastNewFileNumber; ++number) {
    std::snprintf(path_, sizeof(path_), "%.*s-%d.csv", static_cast<int>(stem),
                  fileName_, number);
    if (TakesRows(path_)) return kResultsFileMoved;
  }
  refused_ = true;
  return kResultsFileRefused;
}

ResultsFileNews ResultsFile::Settle() {
  return chosen_ ? kResultsFileAsNamed : ChooseFile();
}

int ResultsFile::Append(const ResultRow& row, ResultsFileNews* news) {
  *news = Settle();
  if (refused_) return 0;
  char line[kResultsLineSize];
  std::size_t length = 0;
  return FormatResultsRow(row, line, sizeof(line), &length) &&
         AppendCsvLine(path_, kResultsHeader, line, length);
}

int AppendCsvLine(const char* path, const char* header, const char* line,
                  std::size_t length) {
  std::FILE* file = std::fopen(path, "ab+");
  if (file == nullptr) return 0;
  // What goes before the row: the header when the file holds nothing yet
  // (or only a byte-order mark), a line end when its last line has none
  // (a cut or an edited file), so that the row never joins another.
  char out[kResultsLineSize + kCsvHeaderLimit + 2];
  std::size_t used = 0;
  const std::size_t headerLength = std::strlen(header);
  int ok = length <= kResultsLineSize && headerLength <= kCsvHeaderLimit;
  ok &= std::fseek(file, 0, SEEK_END) == 0;
  long size = std::ftell(file);
  ok &= size >= 0;
  char last[3] = {0, 0, 0};
  if (ok && size > 0 && size <= 3) {
    ok &= std::fseek(file, 0, SEEK_SET) == 0;
    ok &= std::fread(last, 1, static_cast<std::size_t>(size), file) ==
          static_cast<std::size_t>(size);
  } else if (ok && size > 3) {
    ok &= std::fseek(file, -1, SEEK_END) == 0;
    ok &= std::fread(last, 1, 1, file) == 1;
  }
  if (!ok) {
    // Nothing is written: neither the header's length nor the size is sure.
  } else if (size == 0 ||
             (size == 3 && std::memcmp(last, kByteOrderMark, 3) == 0)) {
    used = headerLength;
    std::memcpy(out, header, used);
    out[used++] = '\r';
    out[used++] = '\n';
  } else if (last[size <= 3 ? size - 1 : 0] != '\n') {
    out[used++] = '\r';
    out[used++] = '\n';
  }
  if (ok) {
    std::memcpy(out + used, line, length);
    used += length;
  }
  // Unbuffered, the line goes to the system in one write: a kill between
  // two rows leaves whole rows only.
  ok &= std::fseek(file, 0, SEEK_END) == 0;
  ok &= std::setvbuf(file, nullptr, _IONBF, 0) == 0;
  ok &= ok && std::fwrite(out, 1, used, file) == used;
  // A full disk may show only when the file is closed.
  ok &= std::fclose(file) == 0;
  return ok;
}

ResultsReader::ResultsReader(const char* header) noexcept
    : header_(header),
      file_(nullptr),
      buffer_(),
      size_(0),
      at_(0),
      failed_(false) {}

ResultsReader::~ResultsReader() {
  if (file_ != nullptr) std::fclose(file_);
}

int ResultsReader::Open(const char* path) {
  if (file_ != nullptr) std::fclose(file_);
  file_ = std::fopen(path, "rb");
  if (file_ == nullptr) return 0;
  return Rewind();
}

int ResultsReader::Rewind() {
  size_ = 0;
  at_ = 0;
  failed_ = false;
  if (file_ == nullptr || std::fseek(file_, 0, SEEK_SET) != 0) return 0;
  HeaderState state = ReadHeader(file_, header_);
  if (state == kHeaderMissing) {
    // Nothing but a byte-order mark, if that: no rows to read.
    return std::fseek(file_, 0, SEEK_END) == 0;
  }
  return state == kHeaderFound;
}

bool ResultsReader::Fill() {
  size_ = std::fread(buffer_, 1, sizeof(buffer_), file_);
  at_ = 0;
  if (size_ == 0 && std::ferror(file_) != 0) failed_ = true;
  return size_ > 0;
}

namespace {

// Ends every field with its NUL, and removes the one ' the writer put
// before a text it guarded.
void EndFields(ResultsRecord* record) {
  for (int column = 0; column < kResultsColumnCount; ++column) {
    char* field = record->field[column];
    std::size_t& length = record->length[column];
    if (column >= record->fields) length = 0;
    field[length] = '\0';
    if (length >= 2 && field[0] == '\'' &&
        std::strchr(kGuarded, field[1]) != nullptr) {
      std::memmove(field, field + 1, length);  // the NUL too
      --length;
    }
  }
}

}  // namespace

int ResultsReader::Next(ResultsRecord* record) {
  // Where the row is: outside quotes, inside them, or just after a quote
  // inside them (a second one makes it a quote of the text).
  enum { kPlain, kQuoted, kQuoteInQuoted } state = kPlain;
  int column = 0;
  std::size_t length = 0;
  char* field = record->field[0];
  bool any = false;
  bool ended = false;
  // The bytes are taken from the buffer in a local loop: the field's bytes
  // are written through a char pointer, which may alias any member.
  while (!ended && file_ != nullptr && (at_ < size_ || Fill())) {
    any = true;
    const char* at = buffer_ + at_;
    const char* const end = buffer_ + size_;
    while (at < end) {
      const char c = *at++;
      if (state == kQuoted) {
        if (c == '"') {
          state = kQuoteInQuoted;
        } else if (length + 1 < kResultsFieldSize) {  // the rest is cut
          field[length++] = c;
        }
        continue;
      }
      if (state == kQuoteInQuoted) {
        state = c == '"' ? kQuoted : kPlain;
        if (c == '"') {
          if (length + 1 < kResultsFieldSize) field[length++] = c;
          continue;
        }
      }
      if (c == '"') {
        state = kQuoted;
      } else if (c == ',') {
        if (column + 1 < kResultsColumnCount) {  // extra fields join the last
          record->length[column++] = length;
          length = 0;
          field = record->field[column];
        }
      } else if (c == '\n') {
        ended = true;
        break;
      } else if (c != '\r' && length + 1 < kResultsFieldSize) {
        field[length++] = c;  // a CR outside quotes is dropped
      }
    }
    at_ = static_cast<std::size_t>(at - buffer_);
  }
  record->length[column] = length;
  record->fields = column + 1;
  EndFields(record);
  return any ? 1 : 0;
}

}  // namespace corvane
