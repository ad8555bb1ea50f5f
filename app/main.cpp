// Entry point of BWCorvane and SCCorvane. The build defines CORVANE_VARIANT
// (the program's ProductVariant) and the chat server's host and port.
#include "app/program.h"

#ifndef CORVANE_VARIANT
#error "CORVANE_VARIANT must name the program's ProductVariant"
#endif

namespace {

// One bot for the whole run; its destruction at exit closes the log slot,
// also when a handler ends the process.
corvane::StatCheckBot bot(corvane::CORVANE_VARIANT);

}  // namespace

int main() {
  corvane::MakeConsoleUnbuffered();
  return corvane::RunProgram(bot, corvane::DefaultEnvironment(),
                             CORVANE_SERVER_HOST, CORVANE_SERVER_PORT);
}
