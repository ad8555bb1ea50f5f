// Helpers for the text files a person edits by hand.
#ifndef CORVANE_APP_TEXT_FILE_H_
#define CORVANE_APP_TEXT_FILE_H_

#include <cstdio>

namespace corvane {

// Skips a UTF-8 byte-order mark at the start of `file`, just opened; editors
// on Windows may write one, and it belongs to no word of the file. Leaves
// the file at its start when there is none.
void SkipByteOrderMark(std::FILE* file);

}  // namespace corvane

#endif  // CORVANE_APP_TEXT_FILE_H_
