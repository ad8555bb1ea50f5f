#include "app/members_list.h"

#include <cstring>

namespace corvane {

MembersListReader::MembersListReader(std::FILE* file)
    : file_(file), pushedBack_(EOF), finished_(false) {}

int MembersListReader::Next() {
  if (pushedBack_ != EOF) {
    int c = pushedBack_;
    pushedBack_ = EOF;
    return c;
  }
  // CR LF becomes LF, and a stray CR is dropped: no CR may reach a name or
  // the stats command built from it.
  int c = std::getc(file_);
  while (c == '\r') c = std::getc(file_);
  // A read error ends the walk as the end of the file does, so that a
  // failing disk cannot keep the bot in an endless walk.
  if (c == EOF) finished_ = true;
  return c;
}

void MembersListReader::ReadLineStart(char (&text)[kMemberNameLimit + 1]) {
  int length = 0;
  while (length < kMemberNameLimit) {
    int c = Next();
    if (c == EOF || c == '\n') break;
    text[length++] = static_cast<char>(c);
  }
  text[length] = '\0';
}

void MembersListReader::ReadUpToLineEnd(char (&text)[kMemberNameLimit + 1]) {
  int length = 0;
  for (;;) {
    int c = Next();
    if (c == EOF) break;
    if (c == '\n') {
      pushedBack_ = c;
      break;
    }
    if (length < kMemberNameLimit) text[length++] = static_cast<char>(c);
  }
  text[length] = '\0';
}

int MembersListReader::ReadName(char (&name)[kMemberNameLimit + 1]) {
  char rest[kMemberNameLimit + 1];
  ReadLineStart(name);
  ReadUpToLineEnd(rest);
  if (rest[0] != '\0') std::memcpy(name, rest, sizeof(rest));
  return name[0] != '\0';
}

}  // namespace corvane
