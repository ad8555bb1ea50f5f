#include "app/text_file.h"

namespace corvane {
namespace {

// Skips a UTF-8 byte-order mark at the start of `file`, just opened; editors
// on Windows may write one, and it belongs to no word of the file. Leaves
// the file at its start when there is none. Returns 0 when the first read
// fails.
int SkipByteOrderMark(std::FILE* file) {
  static const int kMark[] = {0xEF, 0xBB, 0xBF};
  for (int expected : kMark) {
    if (std::getc(file) != expected) {
      if (std::ferror(file)) return 0;
      std::rewind(file);
      return 1;
    }
  }
  return 1;
}

}  // namespace

std::FILE* OpenTextFile(const char* fileName) {
  // Binary mode: the readers drop CR themselves, and a 0x1A byte must not
  // end the file on Windows when it does not on Linux.
  std::FILE* file = std::fopen(fileName, "rb");
  if (file == nullptr) return nullptr;
  // A folder opens on Linux but not on Windows; its first read fails.
  if (!SkipByteOrderMark(file)) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}

}  // namespace corvane
