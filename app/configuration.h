// configuration.txt: three words separated by white space (spaces, tabs or
// line breaks, CR LF included): account name, password, home channel.
// Whatever follows the third word is ignored.
#ifndef CORVANE_APP_CONFIGURATION_H_
#define CORVANE_APP_CONFIGURATION_H_

#include "platform/settings.h"

namespace corvane {

const char kConfigurationFile[] = "configuration.txt";

struct Configuration {
  char accountName[kAccountNameLimit + 1];
  char password[kPasswordLimit + 1];
  char homeChannel[kHomeChannelLimit + 1];
};

enum ConfigurationProblem {
  kConfigurationFine,
  kConfigurationMissing,      // the file cannot be opened
  kConfigurationTooFewWords,  // fewer than three words
  kAccountNameTooLong,
  kPasswordTooLong,
  kHomeChannelTooLong,
  kHomeChannelEmpty,  // a NUL byte left the third word empty
};

// Reads the three words of `fileName` into *configuration. Returns 1 when
// all three were read within their limits and the home channel is not
// empty; otherwise 0, with the reason in
// *problem (*configuration is then unspecified).
int ReadConfiguration(const char* fileName, Configuration* configuration,
                      ConfigurationProblem* problem);

// Writes the message for `problem` to standard error: "Error Reading
// Configuration File" and, unless the file is missing, a line naming what is
// wrong with it.
void ReportConfigurationProblem(ConfigurationProblem problem);

// Reads configuration.txt; when that fails, reports why and ends the
// process with status 1.
void ReadConfigurationOrExit(Configuration* configuration);

}  // namespace corvane

#endif  // CORVANE_APP_CONFIGURATION_H_
