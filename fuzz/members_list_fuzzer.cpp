// Fuzz target: StatCheckBot::WalkMembersList over arbitrary file contents,
// with a fake environment that records sleeps and sends. Every pass sleeps
// 5 s, the walk makes at most one pass a line, and every stats command is
// one line for one name of 1 to 100 characters found in the file, in the
// file's order.
#include <cstdint>
#include <cstring>
#include <string>

#include "app/product_variant.h"
#include "app/stat_check_bot.h"
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvane;
  using namespace corvane::fuzzing;
  if (size > 65536) return 0;
  static const std::string path = ScratchFolder() + "/bwmembers.txt";
  static const ProductVariant variant = {"\t\t",
                                         "fuzz",
                                         "/nonexistent/results.log",
                                         "/nonexistent/results.csv",
                                         path.c_str(),
                                         "members list error\n",
                                         "/stats %s SEXP\r\n",
                                         "/nonexistent/results.html",
                                         "fuzz",
                                         "/nonexistent/results-seen.csv"};
  WriteWholeFile(path, data, size);

  FakeEnvironment environment;
  StatCheckBot bot(variant, environment);
  bot.Configure("bot", "pw", "127.0.0.1", 6112);
  Check(bot.Connect() == 1, "connect");
  // Names are printed as they are read; keep the fuzzer's output readable.
  static std::FILE* console = std::freopen("/dev/null", "w", stdout);
  Check(console != nullptr, "cannot silence stdout");
  bot.WalkMembersList();

  // The file as the reader sees it: without CR.
  std::string contents(reinterpret_cast<const char*>(data), size);
  std::string lines;
  for (char c : contents) {
    if (c != '\r') lines += c;
  }
  std::size_t lineEnds = 0;
  for (char c : lines) lineEnds += c == '\n' ? 1 : 0;

  Check(!environment.sleeps.empty(), "the walk makes at least one pass");
  Check(environment.sleeps.size() <= lineEnds + 1, "more passes than lines");
  for (unsigned pause : environment.sleeps) Check(pause == 5000, "a pass sleeps 5 s");

  const std::string prefix = "/stats ";
  const std::string suffix = " SEXP\r\n";
  std::size_t searchFrom = 0;
  std::size_t requests = 0;
  for (std::size_t at = 0; at < environment.sent.size();) {
    std::size_t end = environment.sent.find("\r\n", at);
    Check(end != std::string::npos, "a command without its line end");
    std::string command = environment.sent.substr(at, end + 2 - at);
    at = end + 2;
    Check(command.compare(0, prefix.size(), prefix) == 0, "command does not start with /stats");
    Check(command.size() > prefix.size() + suffix.size(), "empty name sent");
    Check(command.compare(command.size() - suffix.size(), suffix.size(), suffix) == 0,
          "command does not end with the product");
    std::string name = command.substr(prefix.size(), command.size() - prefix.size() - suffix.size());
    Check(name.size() <= 100, "name longer than 100 characters");
    Check(name.find_first_of(std::string("\r\n\0", 3)) == std::string::npos, "line end or NUL inside a name");
    std::size_t found = lines.find(name, searchFrom);
    Check(found != std::string::npos, "a name not found in the file, in order");
    searchFrom = found + 1;
    ++requests;
  }
  Check(requests <= environment.sleeps.size(), "more requests than passes");
  return 0;
}
