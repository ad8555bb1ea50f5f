// Opening the text files a person edits by hand: configuration.txt and the
// members list.
#ifndef CORVANE_APP_TEXT_FILE_H_
#define CORVANE_APP_TEXT_FILE_H_

#include <cstdio>

namespace corvane {

// Opens `fileName` for reading in binary mode and skips a UTF-8 byte-order
// mark at its start. Returns the open file, which the caller closes; null
// when the file cannot be opened or read, as a folder of that name cannot.
std::FILE* OpenTextFile(const char* fileName);

}  // namespace corvane

#endif  // CORVANE_APP_TEXT_FILE_H_
