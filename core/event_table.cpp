#include "core/event_table.h"

namespace corvane {

// Sized by its entries: a count that differs from kEventRouteCount does not
// compile.
const EventRoute kEventRoutes[] = {
    {1001, &ChatConnection::OnShowUser, "OnShowUser", false},
    {1002, &ChatConnection::OnJoin, "OnJoin", false},
    {1003, &ChatConnection::OnLeave, "OnLeave", false},
    {1004, &ChatConnection::OnWhisper, "OnWhisper", false},
    {1005, &ChatConnection::OnTalk, "OnTalk", false},
    {1006, &ChatConnection::OnBroadcast, "OnBroadcast", false},
    {1007, &ChatConnection::OnChannel, "OnChannel", true},
    {1009, &ChatConnection::OnUserFlags, "OnUserFlags", false},
    {1010, &ChatConnection::OnWhisperSent, "OnWhisperSent", false},
    {1013, &ChatConnection::OnChannelFull, "OnChannelFull", true},
    {1014, &ChatConnection::OnChannelDoesNotExist, "OnChannelDoesNotExist",
     true},
    {1015, &ChatConnection::OnChannelRestricted, "OnChannelRestricted", true},
    {1018, &ChatConnection::OnInfo, "OnInfo", true},
    {1019, &ChatConnection::OnError, "OnError", true},
    {1023, &ChatConnection::OnEmote, "OnEmote", false},
    {2010, &ChatConnection::OnName, "OnName", false},
};

const EventRoute* FindEventRoute(int id) {
  for (const EventRoute& route : kEventRoutes) {
    if (route.id == id) return &route;
  }
  return nullptr;
}

}  // namespace corvane
