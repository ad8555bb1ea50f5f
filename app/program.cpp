#include "app/program.h"

#include <cstdio>

#include "app/configuration.h"
#include "core/bounded_text.h"

namespace corvane {
namespace {

// Our own credit and web-address lines.
const char kCreditLine[] = "by the Corvane developers";
const char kWebAddressLine[] = "https://corvane.example.org/";

int StartSocketLibrary(Environment& environment) {
  unsigned short version = 0;
  if (!environment.StartSocketLibrary(kSocketLibraryVersion, &version)) {
    std::printf("Cannot initialize socket library.\n");
    return 0;
  }
  if (version != kSocketLibraryVersion) {
    std::printf("Incorrect socket library version.\n");
    environment.StopSocketLibrary();
    return 0;
  }
  return 1;
}

// The account as the console shows it: control bytes read from
// configuration.txt appear as '?', as in the server's text.
struct ShownAccount {
  explicit ShownAccount(const StatCheckBot& bot) {
    CopyPrintable(text, bot.userName());
  }
  char text[kTextFieldSize];
};

int EndAfterRefusedLogons(StatCheckBot& bot) {
  std::printf("\n*** LOGON REFUSED FOR: %s *** (%d in a row) \r\n",
              ShownAccount(bot).text, kRefusedLogonLimit);
  std::fprintf(stderr,
               "The server refused the logon %d times in a row. "
               "Check the account name and password in configuration.txt, "
               "or whether the account is still logged on elsewhere.\n",
               kRefusedLogonLimit);
  bot.WriteLog("The logon was refused %d times in a row; the run ends",
               kRefusedLogonLimit);
  bot.EndWatching();
  bot.CloseLog();
  return 1;
}

// Ends the run on a stop request; the exit status is 0, as for any run
// that ends as asked.
int EndOnStop(StatCheckBot& bot, Environment& environment) {
  bot.FinishStop();
  environment.StopFinished();
  return 0;
}

}  // namespace

void PrintBanner(const ProductVariant& variant) {
  const char* indent = variant.bannerIndentation;
  std::printf("%s             Corvane\n", indent);
  std::printf("%s           %s\n", indent, kCreditLine);
  std::printf("%s  %s\n", indent, kWebAddressLine);
  std::printf("%s          Version %s\n", indent, kProgramVersion);
  std::printf("%s  %s\n", indent, variant.bannerLine5);
}

int RunProgram(StatCheckBot& bot, Environment& environment,
               const char* serverHost, std::uint16_t port) {
  // First: a stop from here on ends the run cleanly, not by the signal.
  environment.InstallStopHandlers();
  if (!StartSocketLibrary(environment)) return 1;
  if (!bot.OpenLog(kDiagnosticLogFile)) {
    // Said once: every later line of the log is lost the same way.
    bot.ReportFailureWithError("the run goes on without it",
                               "Cannot open the diagnostic log %s",
                               kDiagnosticLogFile);
  }
  Configuration configuration;
  ConfigurationProblem problem;
  if (!ReadConfiguration(kConfigurationFile, &configuration, &problem)) {
    ReportConfigurationProblem(problem);
    return 1;
  }
  PrintBanner(bot.variant());
  bot.Configure(configuration.accountName, configuration.password, serverHost,
                port);
  bot.SetHomeChannel(configuration.homeChannel);
  bot.HandOverWaitingRows();
  int refused = 0;
  while (bot.ConnectAndJoin()) {
    bot.ReceiveLoop();
    if (environment.StopRequested() != 0) break;
    bot.ConnectionEnded();
    bot.Disconnect();
    if (bot.logonState() == kLogonConfirmed) refused = 0;
    if (bot.logonState() != kLogonRefused) continue;
    if (++refused == kRefusedLogonLimit) return EndAfterRefusedLogons(bot);
    // The answer to a logon is read only after the pause before the join.
    std::printf(
        "\n*** LOGON REFUSED FOR: %s *** "
        "(%d in a row; logging on again in %u seconds, "
        "its answer %u seconds later) \r\n",
        ShownAccount(bot).text, refused, kConnectRetryPauseMs / 1000,
        kLogonToJoinPauseMs / 1000);
    environment.Sleep(kConnectRetryPauseMs);
  }
  if (environment.StopRequested() != 0) return EndOnStop(bot, environment);
  bot.ReportFailure(
      "%d connect attempts in a row to %s, port %u failed; the run ends",
      kConnectAttempts, serverHost, static_cast<unsigned>(port));
  bot.EndWatching();
  bot.CloseLog();
  return 0;
}

}  // namespace corvane
