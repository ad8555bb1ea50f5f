#include "server/flood_script.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "server/text.h"

namespace corvane::server {

namespace {

// Lines [first, first + count) of the flood.
constexpr long kChunkLines = 1000;
std::string FloodChunk(long first, long count) {
  std::string out;
  out.reserve(static_cast<size_t>(count) * 72);
  char line[128];
  for (long i = first; i < first + count; ++i) {
    const uint32_t h = server::Fnv1a(std::to_string(i));
    const int n = std::snprintf(line, sizeof line,
                                "1018 INFO \"Flood %07ld: player%u's record: %u-%u-%u, rating %u\"\r\n", i,
                                h % 100000, h % 200, (h >> 8) % 150, (h >> 16) % 10, 1000 + (h >> 20) % 1000);
    out.append(line, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof line) - 1)));
  }
  return out;
}

}  // namespace

server::Script FloodScript(long lines, const std::string& channel) {
  return [lines, channel](server::ScriptedConnection& c) {
    // The client may take its time between the logon and its join.
    const auto patience = std::chrono::minutes(10);
    std::string account, password, line;
    if (!c.ReadLine(&account, patience) || !c.ReadLine(&password, patience)) return;
    account.erase(0, account.find_first_not_of("\x03\x04"));
    if (!c.LogOn(account)) return;
    do {
      if (!c.ReadLine(&line, patience)) return;
    } while (line.rfind("/join ", 0) != 0);
    for (long first = 0; first < lines; first += kChunkLines) {
      if (!c.Send(FloodChunk(first, std::min(kChunkLines, lines - first)))) return;
    }
    c.Converse(channel);
  };
}

}  // namespace corvane::server
