#include "app/stat_checker.h"

#include <cstdio>

#include "app/configuration.h"

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

}  // namespace

void PrintBanner(const ProductVariant& variant) {
  const char* indent = variant.bannerIndentation;
  std::printf("%s             Corvane\n", indent);
  std::printf("%s           %s\n", indent, kCreditLine);
  std::printf("%s  %s\n", indent, kWebAddressLine);
  std::printf("%s          Version 1.0 Beta\n", indent);
  std::printf("%s  %s\n", indent, variant.bannerLine5);
}

int RunStatChecker(StatCheckBot& bot, Environment& environment,
                   const char* serverHost, std::uint16_t port) {
  if (!StartSocketLibrary(environment)) return 1;
  bot.OpenLog(kDiagnosticLogFile);
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
  while (bot.ConnectAndJoin()) {
    bot.ReceiveLoop();
    bot.Disconnect();
  }
  bot.CloseLog();
  return 0;
}

}  // namespace corvane
