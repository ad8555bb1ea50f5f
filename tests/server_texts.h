// What the stand-in chat server sends, as the server tests expect it.
#pragma once

#include <string>
#include <vector>

namespace corvane::server::texts {

inline const std::string kPrompts =
    "Connection from [127.0.0.1]\r\nEnter your account name and password.\r\nUsername: ";
inline const std::string kTopic = "1018 INFO \"Chat topic: This is the public chat channel.\"\r\n";
// What follows the password of a logon the server does not take.
inline const std::string kLoginFailed = "\r\nLogin failed.\r\n\r\nUsername: ";

// `text` as a 1018 INFO line.
inline std::string Info(const std::string& text) { return "1018 INFO \"" + text + "\"\r\n"; }

// Each of `texts` as a 1018 INFO line.
inline std::string InfoLines(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& t : texts) out += Info(t);
  return out;
}

// The home channel's event, as the tests' configuration names it.
inline const std::string kClanChannel = "1007 CHANNEL \"Clan\"\r\n";

// The burst after the password of a logon as `name`, with `accounts` known.
inline std::string Welcome(const std::string& name, int accounts = 1) {
  return "2010 NAME " + name + "\r\n" + "1007 CHANNEL \"Chat\"\r\n" + "1001 USER " + name +
         " 0010 [CHAT]\r\n" + "1019 ERROR \"Hello " + name + ", welcome!\"\r\n" +
         (accounts == 1 ? std::string("1018 INFO \"There is 1 user account on this server.\"\r\n")
                        : "1018 INFO \"There are " + std::to_string(accounts) +
                              " user accounts on this server.\"\r\n") +
         "1018 INFO \"\"\r\n" + "1005 TALK " + name + " 0010 \"You have no mail.\"\r\n" + kTopic;
}

}  // namespace corvane::server::texts
