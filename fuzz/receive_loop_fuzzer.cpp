// Fuzz target: the receive loop's framing. The same bytes are delivered
// whole, one byte at a time, and in chunks of fuzzer-chosen sizes with
// timed-out waits between them; every delivery must dispatch the same
// sequence of (id, name, flags, text) and match a model of the framing:
// every line ended by LF and starting with a digit is dispatched, up to the
// first line that does not fit the 2048-byte buffer, where the connection is
// given up, or the server's plain "Login failed.", which ends the loop as a
// refused logon.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/chat_connection.h"
#include "core/event_line.h"
#include "fuzz/event_recorder.h"
#include "fuzz/fuzz_checks.h"

namespace corvane {
namespace fuzzing {
namespace {

const std::size_t kBufferSize = 2048;

struct Outcome {
  std::vector<Event> events;
  bool refused = false;
};

Outcome Deliver(const std::string& bytes, const std::vector<std::uint32_t>& plan) {
  FakeEnvironment environment;
  environment.peerBytes = bytes;
  environment.pieces.assign(plan.begin(), plan.end());
  RecordingConnection connection(environment);
  connection.Configure("bot", "pw", "127.0.0.1", 6112);
  Check(connection.Connect() == 1, "connect");
  Check(connection.ReceiveLoop() == 0, "receive loop result");
  Check(connection.idles + 1 == environment.waits, "one idle call after every wait but the last");
  Check(environment.sent.empty(), "the loop sent something");
  CheckFieldsFit(connection.events);
  return Outcome{connection.events, connection.logonState() == kLogonRefused};
}

// What the framing should produce for `bytes`, line by line.
Outcome Model(const std::string& bytes) {
  Outcome model;
  std::size_t at = 0;
  for (;;) {
    std::size_t end = bytes.find('\n', at);
    // The buffer holds 2048 bytes: a longer line or an unfinished one ends
    // the connection.
    if (end == std::string::npos || end - at >= kBufferSize) break;
    std::string line = bytes.substr(at, end - at);
    line = line.substr(0, line.find('\0'));
    at = end + 1;
    if (line == "Login failed." || line == "Login failed.\r") {
      model.refused = true;
      break;
    }
    if (line.empty() || line[0] < '0' || line[0] > '9') continue;
    int id = 0;
    std::uint32_t flags = 0;
    char name[kEventNameSize];
    char text[kEventTextSize];
    ParseEventLine(line.c_str(), &id, name, &flags, text);
    if (IsRoutedId(id)) model.events.push_back(RoutedEvent(id, name, flags, text));
  }
  return model;
}

}  // namespace
}  // namespace fuzzing
}  // namespace corvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvane::fuzzing;
  if (size > 8192) return 0;
  FuzzedDataProvider provider(data, size);
  // The last bytes of the input choose the chunking; the rest is the stream.
  std::uint64_t plan = provider.ConsumeIntegral<std::uint64_t>();
  std::string bytes = provider.ConsumeRemainingBytesAsString();

  Outcome whole = Deliver(bytes, {static_cast<std::uint32_t>(bytes.size())});
  Outcome byByte = Deliver(bytes, std::vector<std::uint32_t>(bytes.size(), 1));

  std::vector<std::uint32_t> chunks;
  std::uint64_t state = plan | 1;
  for (std::size_t at = 0; at < bytes.size();) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    // Mostly short chunks, sometimes long ones that cross the buffer's end.
    std::uint32_t limit = (state & 0x100) != 0 ? 3000 : 24;
    std::uint32_t length = 1 + static_cast<std::uint32_t>((state >> 16) % limit);
    chunks.push_back(length);
    at += length;
    if ((state & 0x7) == 0) chunks.push_back(0);  // a wait that times out
  }
  Outcome random = Deliver(bytes, chunks);

  Outcome model = Model(bytes);
  Check(whole.events == model.events, "whole delivery differs from the framing model");
  Check(whole.refused == model.refused, "a refused logon differs from the framing model");
  Check(byByte.refused == whole.refused && random.refused == whole.refused,
        "a refused logon depends on the delivery");
  Check(byByte.events == whole.events, "byte-at-a-time delivery differs from whole");
  Check(random.events == whole.events, "chunked delivery differs from whole");
  return 0;
}
