#pragma once
// What the main window's status view shows, as plain text: the five counters and one row per
// connected client. Built from the controller on the loop thread; the view only compares
// and writes texts, so everything that decides a text is here and testable without a window.

#include <cstdint>
#include <string>
#include <vector>

// Bytes as megabytes with two decimals and "," between thousands: 0 -> "0.00",
// 1234.5 MiB -> "1,234.50".
std::string MegabytesText(uint64_t bytes);
// "days hh:mm:ss", e.g. 90061 s -> "1 01:01:01".
std::string UptimeText(uint32_t seconds);
// "a/b", as the session, transfer and per-client counts are shown.
std::string CountPairText(uint64_t a, uint64_t b);
// Anonymous clients are shown under the address they gave as password; empty before USER.
std::string StatusUserText(const std::string& name, const std::string& password);

struct StatusRow {
    std::string user, minutes, counts, command;
    std::string root;  // shown on the user's name when the user has a folder of their own
    bool secure = false;
};

struct StatusSnapshot {
    std::string uptime = "0 00:00:00", sessions = "0/0", xfers = "0/0", sent = "0.00",
                received = "0.00";
    std::vector<StatusRow> rows;
};
