// Cutting the server's byte stream into lines in one fixed buffer: the
// received bytes are appended, each line is taken up to its LF, and the rest
// stays for the next receive.
#ifndef CORVANE_CORE_LINE_FRAMER_H_
#define CORVANE_CORE_LINE_FRAMER_H_

#include <cstddef>

#include "platform/settings.h"

namespace corvane {

class LineFramer {
 public:
  // An empty buffer of kReceiveBufferSize bytes.
  LineFramer();

  LineFramer(const LineFramer&) = delete;
  LineFramer& operator=(const LineFramer&) = delete;

  // Returns where the next received bytes go and stores in *size how many
  // fit. When the buffer's end is reached, the unread bytes first move to
  // its start. A full buffer that holds no LF leaves *size 0: the line is
  // longer than the protocol allows.
  char* Room(std::size_t* size);

  // Records that `count` bytes (at most the size Room gave) were written at
  // the place Room returned.
  void Append(std::size_t count);

  // Takes the next complete line: replaces its LF with a NUL and returns its
  // start (a CR before the LF stays part of it). The line stays valid until
  // the next call of Room. Returns null when no LF has arrived yet; the
  // bytes of an unfinished line stay for later.
  char* NextLine();

 private:
  char buffer_[kReceiveBufferSize];
  int offset_;   // where the unread bytes start
  int pending_;  // how many unread bytes there are
};

}  // namespace corvane

#endif  // CORVANE_CORE_LINE_FRAMER_H_
