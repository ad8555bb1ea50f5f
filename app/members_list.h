// Reading the members list: a heading line, then one name a line. The file
// is read in binary mode on every system; a CR LF line end counts as one
// line end, a stray CR is dropped, and every other byte (0x1A too) is part
// of a name.
#ifndef CORVANE_APP_MEMBERS_LIST_H_
#define CORVANE_APP_MEMBERS_LIST_H_

#include <cstdio>

#include "platform/settings.h"

namespace corvane {

// Reads a text file in the two steps of one pass of the members walk.
class MembersListReader {
 public:
  // Reads from `file`, which the caller opened and closes.
  explicit MembersListReader(std::FILE* file);

  MembersListReader(const MembersListReader&) = delete;
  MembersListReader& operator=(const MembersListReader&) = delete;

  // First read of a pass: the rest of the current line up to and including
  // its line end, but at most `kMemberNameLimit` characters (a line end
  // counts as one). Stores them in `text` without the line end.
  void ReadLineStart(char (&text)[kMemberNameLimit + 1]);

  // Second read of a pass: the characters up to the next line end, which
  // stays unread. The first `kMemberNameLimit` are stored in `text`; the rest
  // of a longer line is skipped. Reads nothing at a line end or the end.
  void ReadUpToLineEnd(char (&text)[kMemberNameLimit + 1]);

  // One pass of the walk: the first read, then the second. The second
  // holds the name; the first holds it only where the second found nothing:
  // a heading followed by an empty line, or a list whose first line is its
  // only name. Stores the name in `name`; returns 1, or 0 when it is empty.
  int ReadName(char (&name)[kMemberNameLimit + 1]);

  // True once a read met the end of the file or failed: the walk ends.
  bool Finished() const { return finished_; }

 private:
  // The next character, CR LF read as LF; EOF at the end or on a read
  // error (both end the walk).
  int Next();

  std::FILE* file_;
  int pushedBack_;  // a line end left unread, or EOF
  bool finished_;
};

}  // namespace corvane

#endif  // CORVANE_APP_MEMBERS_LIST_H_
