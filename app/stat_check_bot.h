// The stat checker: when the server reports the bot in its home channel, it
// asks for the statistics of every name on the members list, one request
// every five seconds, and prints and records the server's answers.
#ifndef CORVANE_APP_STAT_CHECK_BOT_H_
#define CORVANE_APP_STAT_CHECK_BOT_H_

#include <cstdint>

#include "app/answer_attribution.h"
#include "app/product_variant.h"
#include "app/report_page.h"
#include "app/results_file.h"
#include "app/row_spool.h"
#include "app/seen_file.h"
#include "core/chat_connection.h"
#include "core/event_line.h"

namespace corvane {

// The version the banner and the report page show.
const char kProgramVersion[] = "1.0 Beta";

class StatCheckBot : public ChatConnection, private ResultSink {
 public:
  // A bot for the product of `variant`, whose constants must outlive it.
  explicit StatCheckBot(
      const ProductVariant& variant,
      Environment& environment = DefaultEnvironment()) noexcept;

  // Records and prints the channel, waits 2 s and rereads configuration.txt:
  // when the channel's name contains the home channel, reads the members
  // list's names, starts watching the channel (a "watching" row in the seen
  // file) and walks the list; otherwise ends the watch (EndWatching), asks to
  // join the home channel again, and when the name contains it in other
  // letter case, also prints and logs both spellings. Ends the process with
  // status 1 when configuration.txt cannot be read.
  int OnChannel(const char* name, std::uint32_t flags,
                const char* text) override;

  // While the bot watches the home channel, record a member of the list
  // (the names compared without letter case) in the seen file as "here",
  // "joined" or "left", spelled as the list spells them, at the time the
  // line was read; anyone else passes unrecorded.
  int OnShowUser(const char* name, std::uint32_t flags,
                 const char* text) override;
  int OnJoin(const char* name, std::uint32_t flags, const char* text) override;
  int OnLeave(const char* name, std::uint32_t flags, const char* text) override;

  // Prints the notice that a join was refused.
  int OnChannelFull(const char* name, std::uint32_t flags,
                    const char* text) override;
  int OnChannelRestricted(const char* name, std::uint32_t flags,
                          const char* text) override;

  // Print the server's answer (control bytes shown as '?') and append it,
  // byte for byte, to the result log; then tie it to its request, for the
  // results file.
  int OnInfo(const char* name, std::uint32_t flags, const char* text) override;
  int OnError(const char* name, std::uint32_t flags, const char* text) override;

  // After a second without a line, the answer being read is complete; then,
  // when results rows have been written since the report page was last
  // written, or seen rows alone and the page is a minute old (program time),
  // writes the page (a failure is told in corvane.log).
  void OnIdle() override;

  // Prints that the bot stops and how many answers it waits for (when any
  // are); from here on the rows are counted for FinishStop's line.
  void OnStopRequested() override;

  // True while requests wait for their answers or an answer is being read.
  bool AwaitsAnswers() override;

  // Ends the run after a stop request: the answer being read is complete,
  // the requests still waiting become unanswered rows, the watch over the
  // home channel ends (EndWatching), the report page is written when rows
  // were, corvane.log and the console tell what stopped
  // the bot and how many answers the wait read and left unanswered; then
  // the connection and the log are closed.
  void FinishStop();

  // Records and prints the name the bot is logged on under.
  int OnName(const char* name, std::uint32_t flags, const char* text) override;

  // Sends the stats command for every name on the members list, one pass of
  // the list every 5 s, remembers each request sent and prints its name.
  // Stops at the first request that cannot be sent (the connection is lost),
  // with a line in the log naming the player, and at a stop request, in a
  // pause too. Ends the process with status 1
  // when the list cannot be opened.
  void WalkMembersList();

  // To be called when the connection has ended: the answer being read is
  // complete, the requests still waiting are written as unanswered, and the
  // watch over the home channel ends (EndWatching).
  void ConnectionEnded();

  // To be called when the run ends, and wherever the bot stops watching the
  // home channel: writes a "not-watching" row for the channel watched, when
  // it watches one. Does nothing otherwise.
  void EndWatching();

  // Notes that a row has been appended to `resultsFile`: the report page is
  // written from that file once the connection has been quiet for a second
  // (OnIdle after a wait that timed out).
  void NoteResultsRowWritten(const char* resultsFile);

  // Appends the rows that wait in the spools (see TakeRow, TakeSighting) to
  // the results file and the seen file, each when it takes rows again;
  // prints and logs once that they wait and why, and once that they have
  // been written. Called at start; each file's rows also before each of its
  // rows, and at most once a minute of program time while the bot is idle.
  void HandOverWaitingRows();

  const ProductVariant& variant() const { return variant_; }

 private:
  // Records the server's answer `text`: appends it after `logPrefix` to the
  // result log and prints it after `consolePrefix`, control bytes shown as
  // '?', each ended by a space and CR LF.
  void ReportAnswer(const char* logPrefix, const char* consolePrefix,
                    const char* text);
  // Appends `prefix`, `text`, a space and CR LF to the result log. When the
  // log cannot be opened or written, says so in the diagnostic log; the
  // answer is printed all the same.
  void AppendResult(const char* prefix, const char* text);
  // Writes the diagnostic line for a result line lost at `step`.
  void ReportLostResult(const char* step);
  // Writes the diagnostic line for a walk stopped at `name`, whose request
  // could not be sent.
  void ReportWalkStopped(const char* name);
  // Prints and logs that `channel` holds the home channel in other letter
  // case than configuration.txt.
  void ReportLetterCase(const char* channel, const char* homeChannel);
  // Writes the report page when rows have been written since it last was;
  // a failure is told in corvane.log.
  void WriteReportPageForNewRows();
  // Appends a finished row to the results file, after the rows that wait
  // for it; when the file does not take it, the row waits in the spool too.
  // Tells corvane.log when a row is lost, and the console and corvane.log
  // when a new file is taken.
  void TakeRow(const ResultRow& row) override;
  // Hands the rows that wait for the results file over to it (when a file
  // takes rows at all).
  void HandOverWaitingResults();
  // Hands the rows that wait for the seen file over to it.
  void HandOverWaitingSightings();
  // Hands the rows of `spool` over to the `kind` ("results", "seen") file
  // `path`; prints and logs that they wait, unless *toldWait, or that they
  // have been written. Returns 1 when none wait any more.
  int HandOver(const char* kind, const char* path, RowSpool* spool,
               bool* toldWait);
  // Prints and logs, unless *told (which it then sets), that rows wait in
  // `spool` because the `kind` file `path` gave `errorCode`.
  void ReportRowsWait(const char* kind, const char* path, const RowSpool& spool,
                      unsigned long errorCode, bool* told);
  // Prints and logs what the first row (or hand-over) of the run found out
  // about the results files, when there is news.
  void ReportResultsNews(ResultsFileNews news);
  // Reads the member names and, when the list could be read, starts
  // watching `channel` with a "watching" row at `time`.
  void StartWatching(std::int64_t time, const char* channel);
  // Ends the watch, when there is one, with a "not-watching" row at `time`.
  void StopWatching(std::int64_t time);
  // Records `event` of `name` when the bot watches and the name is on the
  // members list.
  void NoteMember(const char* name, SeenEvent event);
  // Appends a row to the seen file, after the rows that wait for it; when
  // the file does not take it, the row waits in the seen file's spool too.
  // When it is lost, tells corvane.log, and the console once until a row
  // is written again.
  void TakeSighting(std::int64_t time, const char* player, SeenEvent event);

  const ProductVariant& variant_;
  ResultsFile results_;
  AnswerAttribution attribution_;
  RowSpool spool_;
  // True once the console and corvane.log were told that rows wait.
  bool toldRowsWait_ = false;
  // The results file rows were written to since the report page was last
  // written; empty when none were.
  char reportResultsFile_[kReportPagePathSize] = "";
  // Set once a stop was requested; the rows taken since, by kind.
  bool stopping_ = false;
  int answersWhileStopping_ = 0;
  int unansweredWhileStopping_ = 0;
  SeenFile seen_;
  RowSpool seenSpool_;
  // True once the console and corvane.log were told that seen rows wait.
  bool toldSightingsWait_ = false;
  // The names of the members list when the watch started.
  MemberNames members_;
  bool watching_ = false;
  bool seenFailureTold_ = false;
  // The channel watched, as the server named it.
  char watchedChannel_[kEventTextSize] = "";
  // Seen rows were written since the report page was last written.
  bool seenRowsForPage_ = false;
  // When the page was last written (program time), once it was.
  bool pageWritten_ = false;
  std::int64_t pageWrittenMs_ = 0;
};

}  // namespace corvane

#endif  // CORVANE_APP_STAT_CHECK_BOT_H_
