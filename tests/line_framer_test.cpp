#include "core/line_framer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace corvane {
namespace {

// What a framer makes of `bytes` received `chunk` bytes at a time (0: all at
// once): the lines taken, then "<full>" if the buffer filled without a line
// end, which ends the connection.
std::vector<std::string> Frame(const std::string& bytes, std::size_t chunk) {
  LineFramer framer;
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t room = 0;
    char* place = framer.Room(&room);
    if (room == 0) {
      lines.push_back("<full>");
      break;
    }
    std::size_t count = std::min({room, bytes.size() - at, chunk == 0 ? bytes.size() : chunk});
    std::memcpy(place, bytes.data() + at, count);
    framer.Append(count);
    at += count;
    for (const char* line = framer.NextLine(); line != nullptr; line = framer.NextLine()) {
      lines.push_back(line);
    }
  }
  return lines;
}

TEST(LineFramer, SameLinesWholeByteByByteAndTenAtATime) {
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::string> lines;
  };
  const std::string longest(2047, 'a');  // with its LF, the whole buffer
  const Case cases[] = {
      {"CR LF keeps the CR", "1018 INFO \"a\"\r\n2010 NAME b\r\n", {"1018 INFO \"a\"\r", "2010 NAME b\r"}},
      {"bare LF and empty lines", "one\n\n\r\ntwo\n", {"one", "", "\r", "two"}},
      {"end of stream mid-line", "done\nhalf a li", {"done"}},
      {"the longest line fits", longest + "\nnext\n", {longest, "next"}},
      {"a full buffer without LF", "ok\n" + std::string(3000, 'z') + "\nlost\n", {"ok", "<full>"}},
      {"many lines wrap the buffer",
       std::string(300, 'x') + "\n" + std::string(1900, 'y') + "\n" + std::string(1000, 'w') + "\n",
       {std::string(300, 'x'), std::string(1900, 'y'), std::string(1000, 'w')}},
  };
  for (const Case& c : cases) {
    for (std::size_t chunk : {0u, 1u, 10u}) {
      EXPECT_EQ(c.lines, Frame(c.bytes, chunk)) << c.what << ", chunks of " << chunk;
    }
  }
}

TEST(LineFramer, RoomCoversTheBufferAndMovesUnreadBytesOnlyAtItsEnd) {
  LineFramer framer;
  std::size_t room = 0;
  char* start = framer.Room(&room);
  ASSERT_EQ(2048u, room);
  std::memcpy(start, "ab\ncd", 5);
  framer.Append(5);
  EXPECT_STREQ("ab", framer.NextLine());
  EXPECT_EQ(nullptr, framer.NextLine());
  EXPECT_EQ(start + 5, framer.Room(&room)) << "unread bytes stay where they are";
  EXPECT_EQ(2043u, room);
  framer.Append(room);
  EXPECT_EQ(start + 2045, framer.Room(&room)) << "at the end, the unread bytes move to the start";
  EXPECT_EQ(3u, room);
  EXPECT_EQ(0, std::memcmp(start, "cd", 2));
}

}  // namespace
}  // namespace corvane
