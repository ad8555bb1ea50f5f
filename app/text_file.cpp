#include "app/text_file.h"

namespace corvane {

void SkipByteOrderMark(std::FILE* file) {
  static const int kMark[] = {0xEF, 0xBB, 0xBF};
  for (int expected : kMark) {
    if (std::getc(file) != expected) {
      std::rewind(file);
      return;
    }
  }
}

}  // namespace corvane
