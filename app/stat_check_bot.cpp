#include "app/stat_check_bot.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/configuration.h"
#include "app/members_list.h"
#include "app/text_file.h"
#include "core/bounded_text.h"
#include "core/event_line.h"

namespace corvane {
namespace {

// True when `path` can be opened for reading.
bool Readable(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

}  // namespace

StatCheckBot::StatCheckBot(const ProductVariant& variant,
                           Environment& environment) noexcept
    : ChatConnection(environment),
      variant_(variant),
      results_(variant.resultsFile),
      attribution_(*this),
      spool_(environment, variant.resultsFile, kResultsHeader),
      seen_(variant.seenFile),
      seenSpool_(environment, variant.seenFile, kSeenHeader) {}

int StatCheckBot::OnChannel(const char* name, std::uint32_t flags,
                            const char* text) {
  ChatConnection::OnChannel(name, flags, text);
  const std::int64_t now = environment().UtcTime();
  attribution_.EndAnswer();
  char channel[kEventTextSize];
  CopyPrintable(channel, text);
  std::printf("\nJoined Channel %s \r\n", channel);
  environment().Sleep(kSettlePauseMs);
  // A stopping bot starts no walk and asks for no channel.
  if (environment().StopRequested() != 0) return 1;
  // The file is read afresh so that a new home channel takes effect at the
  // next channel event, without a restart.
  Configuration configuration;
  ReadConfigurationOrExit(&configuration);
  // Containment, not equality: the server may decorate the channel's name.
  if (std::strstr(text, configuration.homeChannel) != nullptr) {
    // The names are read before the walk, whatever stops it: the lines of
    // those present wait until the walk has ended.
    StartWatching(now, text);
    WalkMembersList();
    return 1;
  }
  StopWatching(now);
  if (ContainsIgnoringCase(text, configuration.homeChannel)) {
    ReportLetterCase(channel, configuration.homeChannel);
  }
  ReadConfigurationOrExit(&configuration);
  Send("/join %s \r\n", configuration.homeChannel);
  char homeChannel[sizeof(configuration.homeChannel)];
  CopyPrintable(homeChannel, configuration.homeChannel);
  std::printf("\n/join %s \n", homeChannel);
  return 1;
}

void StatCheckBot::StartWatching(std::int64_t time, const char* channel) {
  // A list that cannot be read ends the process in the walk that follows.
  if (!members_.Load(variant_.membersListFile)) return;
  watching_ = true;
  CopyText(watchedChannel_, channel);
  TakeSighting(time, "", kSeenWatching);
}

void StatCheckBot::StopWatching(std::int64_t time) {
  if (!watching_) return;
  watching_ = false;
  TakeSighting(time, "", kSeenNotWatching);
}

void StatCheckBot::EndWatching() { StopWatching(environment().UtcTime()); }

int StatCheckBot::OnShowUser(const char* name, std::uint32_t flags,
                             const char* text) {
  ChatConnection::OnShowUser(name, flags, text);
  NoteMember(name, kSeenHere);
  return 1;
}

int StatCheckBot::OnJoin(const char* name, std::uint32_t flags,
                         const char* text) {
  ChatConnection::OnJoin(name, flags, text);
  NoteMember(name, kSeenJoined);
  return 1;
}

int StatCheckBot::OnLeave(const char* name, std::uint32_t flags,
                          const char* text) {
  ChatConnection::OnLeave(name, flags, text);
  NoteMember(name, kSeenLeft);
  return 1;
}

void StatCheckBot::NoteMember(const char* name, SeenEvent event) {
  if (!watching_) return;
  const char* member = members_.Find(name);
  if (member != nullptr) TakeSighting(environment().UtcTime(), member, event);
}

void StatCheckBot::TakeSighting(std::int64_t time, const char* player,
                                SeenEvent event) {
  char line[kSeenLineSize];
  const std::size_t length =
      FormatSeenRow(time, player, event, watchedChannel_, line);
  // Rows reach the seen file in their order: the waiting ones first.
  if (seenSpool_.Waiting()) HandOverWaitingSightings();
  int written = 0;
  unsigned long code = 0;
  if (!seenSpool_.Waiting()) {
    written = seen_.AppendLine(line, length);
    // Read before the lines below, whose file calls may change it.
    code = environment().GetLastError();
  }
  if (!written && seenSpool_.AddLine(line, length)) {
    ReportRowsWait("seen", seen_.path(), seenSpool_, code, &toldSightingsWait_);
    written = 1;
  }
  if (written) {
    seenFailureTold_ = false;
    seenRowsForPage_ = true;
    return;
  }
  if (!seenFailureTold_) {
    std::printf(
        "\nCannot write the seen file %s (error code %lu): "
        "who comes and goes is not recorded while it cannot be written \r\n",
        seen_.path(), code);
  }
  seenFailureTold_ = true;
  WriteLog(
      "Cannot write the seen file %s: error code %lu, nor %s: error code %lu; "
      "the %s row of \"%s\" was not recorded",
      seen_.path(), code, seenSpool_.path(), seenSpool_.errorCode(),
      SeenEventName(event), player);
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
  ReportAnswer("", "INFO: ", text);
  attribution_.InfoLine(text, environment().UtcTime());
  return 1;
}

int StatCheckBot::OnError(const char* name, std::uint32_t flags,
                          const char* text) {
  ChatConnection::OnError(name, flags, text);
  ReportAnswer("ERROR: ", "\nERROR: ", text);
  attribution_.ErrorLine(text, environment().UtcTime());
  return 1;
}

int StatCheckBot::OnName(const char* name, std::uint32_t flags,
                         const char* text) {
  ChatConnection::OnName(name, flags, text);
  char shown[kEventNameSize];
  CopyPrintable(shown, name);
  std::printf("\n*** LOGGED ON AS: %s *** \r\n", shown);
  return 1;
}

void StatCheckBot::WalkMembersList() {
  std::FILE* file = OpenTextFile(variant_.membersListFile);
  if (file == nullptr) {
    std::fputs(variant_.membersListError, stderr);
    std::exit(1);
  }
  const std::int64_t walk = environment().UtcTime();
  MembersListReader reader(file);
  while (!reader.Finished()) {
    environment().Sleep(kRequestPauseMs);
    // The pause ends early on a stop request; the walk ends with it.
    if (environment().StopRequested() != 0) break;
    char name[kMemberNameLimit + 1];
    if (!reader.ReadName(name)) continue;
    // Sent before it is printed: the console shows only requests that left.
    if (!Send(variant_.statsCommandFormat, name)) {
      // A stop that came just now refuses the send; the connection is fine.
      if (environment().StopRequested() == 0) ReportWalkStopped(name);
      break;
    }
    // The console shows the name's control bytes as '?', as it shows the
    // server's text; the request and the results carry it as it is.
    char shown[kMemberNameLimit + 1];
    CopyPrintable(shown, name);
    std::printf("Reading name: %s\n", shown);
    attribution_.Requested(name, walk);
  }
  std::fclose(file);
}

void StatCheckBot::ReportWalkStopped(const char* name) {
  // The connection is gone: the rest of the list would be sent into a dead
  // socket, 5 s a name, before the receive loop could notice and reconnect.
  WriteLogWithError("the walk stops there",
                    "Cannot send the stats request for %s", name);
}

void StatCheckBot::ReportAnswer(const char* logPrefix,
                                const char* consolePrefix, const char* text) {
  AppendResult(logPrefix, text);
  char shown[kEventTextSize];
  CopyPrintable(shown, text);
  std::printf("%s%s \r\n", consolePrefix, shown);
}

void StatCheckBot::ConnectionEnded() {
  attribution_.ConnectionLost(environment().UtcTime());
  EndWatching();
}

void StatCheckBot::OnStopRequested() {
  ChatConnection::OnStopRequested();
  stopping_ = true;
  if (attribution_.waiting() == 0) return;
  std::printf(
      "\n*** STOPPING *** (waiting up to %u seconds for %d answers) \r\n",
      kStopAnswerWaitMs / 1000, attribution_.waiting());
}

bool StatCheckBot::AwaitsAnswers() {
  return attribution_.waiting() > 0 || attribution_.reading();
}

void StatCheckBot::FinishStop() {
  stopping_ = true;
  attribution_.ConnectionLost(environment().UtcTime());
  // The watch ends before the page is written, so that the page does not
  // show as here the members the bot no longer watches.
  EndWatching();
  // A stop always leaves a page of the file as it stands: one a kill left
  // behind the file is brought up to date even when this run wrote no row.
  if (reportResultsFile_[0] == '\0' && Readable(results_.path())) {
    CopyText(reportResultsFile_, results_.path());
  }
  WriteReportPageForNewRows();
  const char* cause = environment().StopRequestName();
  std::printf("\n*** STOPPED BY %s *** (%d answers read, %d unanswered) \r\n",
              cause, answersWhileStopping_, unansweredWhileStopping_);
  WriteLog("Stopped by %s: the wait for answers read %d and left %d unanswered",
           cause, answersWhileStopping_, unansweredWhileStopping_);
  Disconnect();
  CloseLog();
}

void StatCheckBot::AppendResult(const char* prefix, const char* text) {
  // The result log has a file of its own, opened around each line, so that
  // corvane.log keeps the log slot for the whole run.
  std::FILE* log = std::fopen(variant_.resultLogFile, "ab");
  if (log == nullptr) {
    ReportLostResult("open");
    return;
  }
  // A full disk shows only when the buffered line is written out at fclose.
  int written = std::fprintf(log, "%s%s \r\n", prefix, text);
  int closed = std::fclose(log);
  if (written < 0 || closed != 0) ReportLostResult("write");
}

void StatCheckBot::ReportLostResult(const char* step) {
  WriteLogWithError("an answer was printed but not recorded",
                    "Cannot %s the result log %s", step,
                    variant_.resultLogFile);
}

void StatCheckBot::TakeRow(const ResultRow& row) {
  if (stopping_ && row.status == kStatusUnanswered) {
    ++unansweredWhileStopping_;
  } else if (stopping_) {
    ++answersWhileStopping_;
  }
  // Rows reach the results file in their order: the waiting ones first.
  if (spool_.Waiting()) HandOverWaitingRows();
  ResultsFileNews news = kResultsFileAsNamed;
  int written = 0;
  unsigned long code = 0;
  if (!spool_.Waiting()) {
    written = results_.Append(row, &news);
    // Read before the lines below, whose file calls may change it.
    code = environment().GetLastError();
  }
  ReportResultsNews(news);
  // A refusal is told once: no file takes rows for the rest of the run.
  if (results_.refused()) return;
  if (written) {
    NoteResultsRowWritten(results_.path());
    return;
  }
  if (!spool_.Add(row)) {
    WriteLog(
        "Cannot write the results file %s: error code %lu, nor %s: error code "
        "%lu; the %s row of \"%s\" was not recorded",
        results_.path(), code, spool_.path(), spool_.errorCode(),
        ResultStatusName(row.status), row.player);
    return;
  }
  ReportRowsWait("results", results_.path(), spool_, code, &toldRowsWait_);
  // The row only waits: the page shows it all the same.
  NoteResultsRowWritten(results_.path());
}

void StatCheckBot::HandOverWaitingRows() {
  HandOverWaitingResults();
  HandOverWaitingSightings();
}

void StatCheckBot::HandOverWaitingResults() {
  if (!spool_.Waiting()) return;
  ReportResultsNews(results_.Settle());
  // No file takes rows: they stay where they are, for a later run.
  if (results_.refused()) return;
  if (HandOver("results", results_.path(), &spool_, &toldRowsWait_)) {
    NoteResultsRowWritten(results_.path());
  }
}

void StatCheckBot::HandOverWaitingSightings() {
  if (seenSpool_.Waiting() &&
      HandOver("seen", seen_.path(), &seenSpool_, &toldSightingsWait_)) {
    seenRowsForPage_ = true;
  }
}

int StatCheckBot::HandOver(const char* kind, const char* path, RowSpool* spool,
                           bool* toldWait) {
  int appended = 0;
  int skipped = 0;
  if (!spool->HandOver(path, &appended, &skipped)) {
    ReportRowsWait(kind, path, *spool, spool->errorCode(), toldWait);
    return 0;
  }
  *toldWait = false;
  std::printf("\nThe rows that waited in %s are written to %s \r\n",
              spool->path(), path);
  WriteLog(
      "The rows that waited in %s are written to %s: %d appended, %d that "
      "were there already left out",
      spool->path(), path, appended, skipped);
  return 1;
}

void StatCheckBot::ReportRowsWait(const char* kind, const char* path,
                                  const RowSpool& spool,
                                  unsigned long errorCode, bool* told) {
  if (*told) return;
  *told = true;
  std::printf(
      "\nCannot write the %s file %s (error code %lu); rows wait in %s "
      "until it can be written \r\n",
      kind, path, errorCode, spool.path());
  WriteLog(
      "Cannot write the %s file %s: error code %lu; rows wait in %s "
      "until it can be written",
      kind, path, errorCode, spool.path());
}

void StatCheckBot::ReportResultsNews(ResultsFileNews news) {
  if (news == kResultsFileMoved) {
    std::printf(
        "\n%s has other columns than this program writes; "
        "the results go to %s \r\n",
        variant_.resultsFile, results_.path());
    WriteLog(
        "The results file %s has other columns than this program writes; "
        "the results go to %s",
        variant_.resultsFile, results_.path());
  }
  if (news == kResultsFileRefused) {
    std::printf(
        "\n%s and every file up to %s have other columns than this program "
        "writes; the results are not written \r\n",
        variant_.resultsFile, results_.path());
    WriteLog(
        "The results file %s and every file up to %s have other columns "
        "than this program writes; the results are not written",
        variant_.resultsFile, results_.path());
  }
}

void StatCheckBot::ReportLetterCase(const char* channel,
                                    const char* homeChannel) {
  // The server ignores a join to the channel the bot is in, whatever its
  // letter case: without this line the bot would sit there and never say why.
  char shownHomeChannel[kHomeChannelLimit + 1];
  CopyPrintable(shownHomeChannel, homeChannel);
  std::printf(
      "\nThe server calls this channel \"%s\", "
      "configuration.txt names the home channel \"%s\": "
      "spell the home channel in configuration.txt as the server does. \r\n",
      channel, shownHomeChannel);
  WriteLog(
      "The server calls the channel \"%s\", "
      "configuration.txt names the home channel \"%s\": "
      "spell it in configuration.txt as the server does",
      channel, homeChannel);
}

void StatCheckBot::NoteResultsRowWritten(const char* resultsFile) {
  CopyText(reportResultsFile_, resultsFile);
}

void StatCheckBot::OnIdle() {
  ChatConnection::OnIdle();
  // A second without a line ends the answer being read, and with it a
  // walk's answers, read in one burst: the page is written once for them.
  if (!lastWaitTimedOut()) return;
  attribution_.EndAnswer();
  if (spool_.RetryDue()) HandOverWaitingResults();
  if (seenSpool_.RetryDue()) HandOverWaitingSightings();
  WriteReportPageForNewRows();
}

void StatCheckBot::WriteReportPageForNewRows() {
  const std::int64_t now = environment().ProgramTimeMs();
  // New seen rows alone rewrite the page too, at most once a minute, when
  // the results file has rows for it.
  if (reportResultsFile_[0] == '\0' && seenRowsForPage_ &&
      (!pageWritten_ || now - pageWrittenMs_ >= kSeenPageIntervalMs) &&
      Readable(results_.path())) {
    CopyText(reportResultsFile_, results_.path());
  }
  if (reportResultsFile_[0] == '\0') return;
  seenRowsForPage_ = false;
  pageWritten_ = true;
  pageWrittenMs_ = now;
  char program[kTextFieldSize];
  std::snprintf(program, sizeof(program), "%s %s", variant_.programName,
                kProgramVersion);
  const ReportPageSource source = {
      reportResultsFile_, variant_.reportPageFile, serverHost(),     program,
      variant_.seenFile,  spool_.path(),           seenSpool_.path()};
  ReportPageProblem problem = {"", "", 0};
  if (!WriteReportPage(environment(), source, &problem)) {
    char text[kReportPageProblemTextSize];
    FormatReportPageProblem(problem, text);
    WriteLog("%s", text);
  }
  // Written or not, the next try waits for the next rows: a page that cannot
  // be written now would fail again at every idle second.
  reportResultsFile_[0] = '\0';
}

}  // namespace corvane
