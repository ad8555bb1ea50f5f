#include "app/stat_check_bot.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/configuration.h"
#include "app/members_list.h"
#include "app/text_file.h"

namespace corvane {
namespace {

const unsigned kSettlePauseMs = 2000;
const unsigned kRequestPauseMs = 5000;

}  // namespace

StatCheckBot::StatCheckBot(const ProductVariant& variant,
                           Environment& environment)
    : ChatConnection(environment), variant_(variant) {}

int StatCheckBot::OnChannel(const char* name, std::uint32_t flags,
                            const char* text) {
  ChatConnection::OnChannel(name, flags, text);
  std::printf("\nJoined Channel %s \r\n", text);
  environment().Sleep(kSettlePauseMs);
  // The file is read afresh so that a new home channel takes effect at the
  // next channel event, without a restart.
  Configuration configuration;
  ReadConfigurationOrExit(&configuration);
  // Containment, not equality: the server may decorate the channel's name.
  if (std::strstr(text, configuration.homeChannel) != nullptr) {
    WalkMembersList();
    return 1;
  }
  ReadConfigurationOrExit(&configuration);
  Send("/join %s \r\n", configuration.homeChannel);
  std::printf("\n/join %s \n", configuration.homeChannel);
  return 1;
}

int StatCheckBot::OnChannelFull(const char* name, std::uint32_t flags,
                                const char* text) {
  ChatConnection::OnChannelFull(name, flags, text);
  std::printf("\n***Channel is Full*** \r\n");
  return 1;
}

int StatCheckBot::OnChannelRestricted(const char* name, std::uint32_t flags,
                                      const char* text) {
  ChatConnection::OnChannelRestricted(name, flags, text);
  std::printf("\n***Channel is Restricted!*** \r\n");
  return 1;
}

int StatCheckBot::OnInfo(const char* name, std::uint32_t flags,
                         const char* text) {
  ChatConnection::OnInfo(name, flags, text);
  AppendResult("", text);
  std::printf("INFO: %s \r\n", text);
  return 1;
}

int StatCheckBot::OnError(const char* name, std::uint32_t flags,
                          const char* text) {
  ChatConnection::OnError(name, flags, text);
  AppendResult("ERROR: ", text);
  std::printf("\nERROR: %s \r\n", text);
  return 1;
}

int StatCheckBot::OnName(const char* name, std::uint32_t flags,
                         const char* text) {
  ChatConnection::OnName(name, flags, text);
  std::printf("\n*** LOGGED ON AS: %s *** \r\n", name);
  return 1;
}

void StatCheckBot::WalkMembersList() {
  std::FILE* file = std::fopen(variant_.membersListFile, "r");
  if (file == nullptr) {
    std::fputs(variant_.membersListError, stderr);
    std::exit(1);
  }
  SkipByteOrderMark(file);
  MembersListReader reader(file);
  while (!reader.Finished()) {
    environment().Sleep(kRequestPauseMs);
    char lineStart[kMemberNameLimit + 1];
    char rest[kMemberNameLimit + 1];
    reader.ReadLineStart(lineStart);
    reader.ReadUpToLineEnd(rest);
    // The second read holds the name; the first holds it only where the
    // second found nothing: a heading followed by an empty line, or a list
    // whose first line is its only name.
    const char* name = rest[0] != '\0' ? rest : lineStart;
    if (name[0] == '\0') continue;
    std::printf("Reading name: %s\n", name);
    Send(variant_.statsCommandFormat, name);
  }
  std::fclose(file);
}

void StatCheckBot::AppendResult(const char* prefix, const char* text) {
  // The result log has a file of its own, opened around each line, so that
  // corvane.log keeps the log slot for the whole run.
  std::FILE* log = std::fopen(variant_.resultLogFile, "ab");
  if (log == nullptr) return;
  std::fprintf(log, "%s%s \r\n", prefix, text);
  std::fclose(log);
}

}  // namespace corvane
