#include "app/results_file.h"

#include <cstring>

#include "core/bounded_text.h"
#include "core/utc_time.h"

namespace corvane {

const char kResultsHeader[] =
    "walk,time,player,status,"
    "ladder_wins,ladder_losses,ladder_disconnects,ladder_rating,ladder_tag,"
    "normal_wins,normal_losses,normal_disconnects,normal_rating,normal_tag,"
    "answer";

namespace {

const char kRowEnd[] = "\r\n";
const int kLastNewFileNumber = 99;

// True when `path` is missing, empty or starts with the header row; then
// rows may go to it.
bool TakesRows(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return true;
  char start[sizeof(kResultsHeader) + 1];
  std::size_t read = std::fread(start, 1, sizeof(start), file);
  std::fclose(file);
  if (read == 0) return true;
  std::size_t length = sizeof(kResultsHeader) - 1;
  if (read < length + 1 || std::memcmp(start, kResultsHeader, length) != 0) {
    return false;
  }
  // A spreadsheet may have saved it with LF line ends.
  return start[length] == '\n' ||
         (start[length] == '\r' && read == length + 2 &&
          start[length + 1] == '\n');
}

int WriteTime(std::FILE* file, std::int64_t seconds) {
  if (seconds < 0) return 1;
  char text[kUtcTimeTextSize];
  FormatUtcTime(seconds, text);
  return std::fputs(text, file) >= 0;
}

// The figures are the program's own (digits only); the tag is the server's.
int WriteFigures(std::FILE* file, const GameFigures& figures) {
  int ok = 1;
  const char* numbers[] = {figures.wins, figures.losses, figures.disconnects,
                           figures.rating};
  for (const char* number : numbers) {
    ok &= std::fputs(number, file) >= 0 && std::fputc(',', file) != EOF;
  }
  return ok & WriteCsvField(file, figures.tag);
}

}  // namespace

int WriteCsvRow(std::FILE* file, const ResultRow& row) {
  int ok = WriteTime(file, row.walk);
  ok &= std::fputc(',', file) != EOF;
  ok &= WriteTime(file, row.time);
  ok &= std::fputc(',', file) != EOF;
  ok &= WriteCsvField(file, row.player);
  ok &= std::fputc(',', file) != EOF;
  ok &= std::fputs(ResultStatusName(row.status), file) >= 0;
  ok &= std::fputc(',', file) != EOF;
  ok &= WriteFigures(file, row.ladder);
  ok &= std::fputc(',', file) != EOF;
  ok &= WriteFigures(file, row.normal);
  ok &= std::fputc(',', file) != EOF;
  ok &= WriteCsvField(file, row.answer);
  return ok & (std::fputs(kRowEnd, file) >= 0);
}

int WriteCsvField(std::FILE* file, const char* text) {
  bool quoted = std::strpbrk(text, ",\"\r\n") != nullptr;
  bool formula = text[0] != '\0' && std::strchr("=+-@", text[0]) != nullptr;
  int ok = 1;
  if (quoted) ok &= std::fputc('"', file) != EOF;
  if (formula) ok &= std::fputc('\'', file) != EOF;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '"') ok &= std::fputc('"', file) != EOF;
    ok &= std::fputc(static_cast<unsigned char>(*c), file) != EOF;
  }
  if (quoted) ok &= std::fputc('"', file) != EOF;
  return ok;
}

ResultsFile::ResultsFile(const char* fileName) noexcept
    : fileName_(fileName), chosen_(false), path_() {
  CopyText(path_, fileName);
}

int ResultsFile::ChooseFile() {
  chosen_ = true;
  if (TakesRows(fileName_)) return 1;
  std::size_t stem = std::strlen(fileName_) - 4;  // without ".csv"
  for (int number = 2; number <= kLastNewFileNumber; ++number) {
    std::snprintf(path_, sizeof(path_), "%.*s-%d.csv", static_cast<int>(stem),
                  fileName_, number);
    if (TakesRows(path_)) return 0;
  }
  return 0;
}

const char* ResultsFile::Settle(bool* newFile) {
  *newFile = !chosen_ && !ChooseFile();
  return path_;
}

int ResultsFile::Append(const ResultRow& row, bool* newFile) {
  std::FILE* file = std::fopen(Settle(newFile), "ab");
  if (file == nullptr) return 0;
  int ok = std::fseek(file, 0, SEEK_END) == 0;
  long size = std::ftell(file);
  if (ok && size == 0) {
    ok &= std::fputs(kResultsHeader, file) >= 0;
    ok &= std::fputs(kRowEnd, file) >= 0;
  }
  ok &= size >= 0 && WriteCsvRow(file, row);
  // A full disk shows only when the buffered row is written out.
  ok &= std::fclose(file) == 0;
  return ok;
}

}  // namespace corvane
