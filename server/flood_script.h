// The flood mode of the stand-in chat server, for throughput measurements:
// a script the flood runner (and chatd --flood) installs for every
// connection.
#pragma once

#include <string>

#include "server/chat_server.h"

namespace corvane::server {

// A connection script that answers the logon with the 2010 NAME line alone (no
// first channel, no welcome, so no 1007 reaches the client before the flood),
// and the connection's first /join with `lines` 1018 INFO lines of 66 to 74
// bytes (about 72 on average) whose numbers vary from line to line, followed
// by a 1007 CHANNEL for `channel` (which must not contain the client's home
// channel, so that the client asks to join again). From then on the server
// serves the connection as usual.
Script FloodScript(long lines, const std::string& channel = "Flood Overflow");

}  // namespace corvane::server
