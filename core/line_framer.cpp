#include "core/line_framer.h"

#include <cstring>

namespace corvane {

LineFramer::LineFramer() : offset_(0), pending_(0) {}

char* LineFramer::Room(std::size_t* size) {
  int room = kReceiveBufferSize - pending_ - offset_;
  // Moving the bytes only when the end is reached keeps copies rare.
  if (room == 0) {
    std::memmove(buffer_, buffer_ + offset_,
                 static_cast<std::size_t>(pending_));
    offset_ = 0;
    room = kReceiveBufferSize - pending_;
  }
  *size = static_cast<std::size_t>(room);
  return buffer_ + offset_ + pending_;
}

void LineFramer::Append(std::size_t count) {
  pending_ += static_cast<int>(count);
}

char* LineFramer::NextLine() {
  if (pending_ == 0) return nullptr;
  char* start = buffer_ + offset_;
  char* end = static_cast<char*>(
      std::memchr(start, '\n', static_cast<std::size_t>(pending_)));
  if (end == nullptr) return nullptr;
  *end = '\0';
  int consumed = static_cast<int>(end - start) + 1;
  pending_ -= consumed;
  offset_ += consumed;
  if (pending_ == 0) offset_ = 0;
  return start;
}

}  // namespace corvane
