#pragma once
// What a monitoring console has been told by the server, message by message.

#include <deque>
#include <optional>
#include <vector>

#include "messages/MsgObjects.h"
#include "messages/ThrottleData.h"

struct ConsoleSnapshot {
    static constexpr size_t kMostFileEvents = 256;  // as many as the server keeps

    std::optional<CFtpXferMsg> transfers;
    std::optional<CFtpUserMsg> users;
    std::optional<CFtpNetMsg> network;
    std::optional<CFtpSysMsg> system;
    std::optional<CFtpOsMsg> os;
    std::optional<CFtpThrottleData> schedule;
    // The last complete session list (the records up to an empty one).
    std::vector<CFtpConnMsg> sessions;
    bool sessionsComplete = false;
    // The server sends each event once per console connection: these are all of them so far,
    // oldest first.
    std::vector<CFtpEventMsg> events;
    std::deque<CFtpFileEventMsg> fileEvents;
    // The last complete ban list and its end record (the rules in force, what a lift found);
    // no end record from a server that keeps no bans.
    std::vector<CFtpBanMsg> bans;
    std::optional<CFtpBanMsg> banEnd;
};
