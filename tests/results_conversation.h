// A stand-in server conversation that gives every kind of row of the results
// file, and the rows it gives, for the end-to-end tests of both programs and
// of the Windows build.
#ifndef CORVANE_TESTS_RESULTS_CONVERSATION_H_
#define CORVANE_TESTS_RESULTS_CONVERSATION_H_

#include <cctype>
#include <string>

#include "server/chat_server.h"

namespace corvane {
namespace testing_support {

// The members list the conversation answers (after its heading line).
inline const char kResultsMembers[] = "Members\nalice\nnobody\nbob\ncarol\ndave\nerin\nfrank\n";

// Connection 1: places the bot in Clan, reads the walk's seven requests,
// answers them out of the ordinary (a record with a tag, a header naming
// nobody asked for, an unknown player, a request dropped by the flood
// limit, a header in other letter case, no answer for dave) and closes in
// the middle of erin's answer, frank's still to come.
inline void AnswerTheWalkAndCloseMidAnswer(server::ScriptedConnection& c) {
  if (!c.Welcome()) return;
  c.Send("1007 CHANNEL \"Clan\"\r\n1018 INFO \"you are now tempOP for this channel\"\r\n");
  std::string line;
  for (int requests = 0; requests < 7;) {
    if (!c.ReadLine(&line)) return;
    if (line.rfind("/stats ", 0) == 0) ++requests;
  }
  c.Send(
      "1018 INFO \"alice's record:\"\r\n"
      "1018 INFO \"Ladder games: [A+] 7-3-0 (rating 1543)\"\r\n"
      "1018 INFO \"Normal games: 12-5-1\"\r\n"
      "1018 INFO \"=HYPERLINK(1)'s record:\"\r\n"
      "1019 ERROR \"Invalid user.\"\r\n"
      "1019 ERROR \"Your message quota has been exceeded!\"\r\n"
      "1019 ERROR \"You are sending commands to the server too quickly and risk being disconnected for "
      "flooding. Please slow down.\"\r\n"
      "1009 USER statbot 0002\r\n"
      "1018 INFO \"CAROL's record:\"\r\n"
      "1018 INFO \"Ladder games: 1234 pts (3/2/0)\"\r\n"
      "1018 INFO \"Normal games: 0 pts (12/5/1)\"\r\n"
      "1018 INFO \"erin's record:\"\r\n"
      "1018 INFO \"Normal games: 1-2-3\"\r\n");
  c.Close();
}

// Connection 2: names the bot and answers nothing more.
inline void NameTheBotAndListen(server::ScriptedConnection& c) {
  if (!c.Welcome()) return;
  std::string line;
  while (c.ReadLine(&line)) {
  }
}

// The results file after that conversation, times written as T.
inline std::string ResultsOfTheConversation() {
  return "walk,time,player,status,ladder_wins,ladder_losses,ladder_disconnects,ladder_rating,ladder_tag,"
         "normal_wins,normal_losses,normal_disconnects,normal_rating,normal_tag,answer\r\n"
         "T,T,alice,record,7,3,0,1543,A+,12,5,1,,,alice's record: | Ladder games: [A+] 7-3-0 (rating 1543) | "
         "Normal games: 12-5-1\r\n"
         ",T,,unattributed,,,,,,,,,,,'=HYPERLINK(1)'s record:\r\n"
         "T,T,nobody,unknown,,,,,,,,,,,Invalid user.\r\n"
         "T,T,bob,dropped,,,,,,,,,,,Your message quota has been exceeded! | You are sending commands to the "
         "server too quickly and risk being disconnected for flooding. Please slow down.\r\n"
         "T,T,carol,record,3,2,0,1234,,12,5,1,0,,CAROL's record: | Ladder games: 1234 pts (3/2/0) | Normal "
         "games: 0 pts (12/5/1)\r\n"
         "T,T,dave,unanswered,,,,,,,,,,,\r\n"
         "T,T,erin,record,,,,,,1,2,3,,,erin's record: | Normal games: 1-2-3\r\n"
         "T,T,frank,unanswered,,,,,,,,,,,\r\n";
}

// `text` with every UTC time ("2026-12-09T06:30:05Z") written as T.
inline std::string WithoutUtcTimes(const std::string& text) {
  const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    bool time = at + shape.size() <= text.size();
    for (std::size_t i = 0; time && i < shape.size(); ++i) {
      char c = text[at + i];
      time = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(c)) != 0 : c == shape[i];
    }
    out += time ? "T" : text.substr(at, 1);
    at += time ? shape.size() : 1;
  }
  return out;
}

}  // namespace testing_support
}  // namespace corvane

#endif  // CORVANE_TESTS_RESULTS_CONVERSATION_H_
