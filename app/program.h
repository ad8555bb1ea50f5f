// The program's run from start-up to its end: socket library, diagnostic
// log, configuration, banner and the connection loop.
#ifndef CORVANE_APP_PROGRAM_H_
#define CORVANE_APP_PROGRAM_H_

#include <cstdint>

#include "app/stat_check_bot.h"
#include "platform/environment.h"

namespace corvane {

// The socket library version the program is written for (1.1).
const unsigned short kSocketLibraryVersion = 0x0101;
// The diagnostic log, appended to across runs.
const char kDiagnosticLogFile[] = "corvane.log";

// Prints the five banner lines of `variant` on standard output.
void PrintBanner(const ProductVariant& variant);

// Runs the program with `bot`: starts the socket library of `environment`,
// opens corvane.log, reads configuration.txt, prints the banner and keeps
// the bot connected to `serverHost`:`port` until ten connect attempts in a
// row fail. A logon the server refuses is tried again on a new connection
// after 2 s. A stop request (see Environment::InstallStopHandlers) ends the
// run cleanly, as StatCheckBot::FinishStop tells, with status 0.
// Returns the exit status: 0 after the connection loop ends, 1
// when the socket library is unusable, configuration.txt cannot be read or
// the server refused ten logons in a row (the reason is printed).
int RunProgram(StatCheckBot& bot, Environment& environment,
               const char* serverHost, std::uint16_t port);

}  // namespace corvane

#endif  // CORVANE_APP_PROGRAM_H_
