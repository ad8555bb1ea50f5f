// Fuzz target: one event line through ParseEventLine and DispatchEventLine.
// Checks the fields against a model written with the standard library's own
// number readers, and that dispatch calls the slot of the id with exactly
// the parsed fields.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/chat_connection.h"
#include "core/event_line.h"
#include "core/event_table.h"
#include "fuzz/event_recorder.h"
#include "fuzz/fuzz_checks.h"

namespace corvane {
namespace fuzzing {
namespace {

bool IsSpace(char c) { return c != '\0' && std::strchr(" \t\n\v\f\r", c) != nullptr; }

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool CarriesTextOnly(int id) {
  const EventRoute* route = FindEventRoute(id);
  return route != nullptr && route->textOnly;
}

// The flags as %x reads them, with the magnitude saturated at 32 bits.
std::uint32_t ModelFlags(const char* p) {
  while (IsSpace(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (!IsHexDigit(*p)) return 0;
  errno = 0;
  unsigned long long magnitude = std::strtoull(p, nullptr, 16);
  if (errno == ERANGE || magnitude > 0xFFFFFFFFull) magnitude = 0xFFFFFFFFull;
  std::uint32_t bounded = static_cast<std::uint32_t>(magnitude);
  return negative ? 0u - bounded : bounded;
}

// The fields of one event line.
struct Fields {
  int id = 0;
  std::string name;
  std::uint32_t flags = 0;
  std::string text;
};

Fields Model(const std::string& line) {
  Fields model;
  const char* start = line.c_str();
  char* afterId = nullptr;
  errno = 0;
  long id = std::strtol(start, &afterId, 10);
  if (id > INT_MAX) id = INT_MAX;
  if (id < INT_MIN) id = INT_MIN;
  model.id = static_cast<int>(id);
  if (afterId != start && !CarriesTextOnly(model.id)) {
    std::string rest = afterId;
    std::size_t keyword = rest.find_first_not_of(" \t\n\v\f\r");
    std::size_t keywordEnd = rest.find_first_of(" \t\n\v\f\r", keyword);
    std::size_t name = rest.find_first_not_of(" \t\n\v\f\r", keywordEnd);
    if (keyword != std::string::npos && keywordEnd != std::string::npos && name != std::string::npos) {
      std::size_t nameEnd = rest.find_first_of(" \t\n\v\f\r", name);
      if (nameEnd == std::string::npos) nameEnd = rest.size();
      model.name = rest.substr(name, std::min<std::size_t>(nameEnd - name, kEventNameSize - 1));
      model.flags = ModelFlags(rest.c_str() + nameEnd);
    }
  }
  std::size_t quote = line.find('"');
  if (quote != std::string::npos) {
    model.text = line.substr(quote + 1, kEventTextSize - 1);
    std::size_t last = model.text.rfind('"');
    if (last != std::string::npos) model.text.erase(last);
  }
  return model;
}

}  // namespace
}  // namespace fuzzing
}  // namespace corvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvane;
  using namespace corvane::fuzzing;
  if (size > 4096) return 0;
  // The receive loop hands over lines cut at their first NUL byte.
  std::string raw(reinterpret_cast<const char*>(data), size);
  std::string line = raw.substr(0, raw.find('\0'));

  int id = -7;
  std::uint32_t flags = 7;
  char name[kEventNameSize];
  char text[kEventTextSize];
  std::memset(name, 'N', sizeof(name));
  std::memset(text, 'T', sizeof(text));
  Check(ParseEventLine(line.c_str(), &id, name, &flags, text) == 1, "parse result");
  Check(std::memchr(name, '\0', sizeof(name)) != nullptr, "name not terminated");
  Check(std::memchr(text, '\0', sizeof(text)) != nullptr, "text not terminated");
  Fields parsed{id, name, flags, text};
  Fields model = Model(line);
  Check(parsed.id == model.id, "id differs from the strtol model");
  Check(parsed.name == model.name, "name differs from the model");
  Check(parsed.flags == model.flags, "flags differ from the strtoull model");
  Check(parsed.text == model.text, "text differs from the model");

  FakeEnvironment environment;
  RecordingConnection connection(environment);
  int handled = connection.DispatchEventLine(line.c_str());
  if (IsRoutedId(id)) {
    Check(handled == 1, "a routed id was not handled");
    Check(connection.events.size() == 1, "one handler call per line");
    CheckFieldsFit(connection.events);
    Check(connection.events[0] == RoutedEvent(id, parsed.name, parsed.flags, parsed.text),
          "the handler got other fields than the parser");
  } else {
    Check(handled == 0 && connection.events.empty(), "an unknown id reached a handler");
  }
  Check(environment.sent.empty() && environment.sleeps.empty(), "dispatch sent or slept");
  return 0;
}
