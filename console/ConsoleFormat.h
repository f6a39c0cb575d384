#pragma once
// What the console commands print: a snapshot as text for people. Pure functions of the
// snapshot and the time, so that what a command prints can be checked without a server.

#include <string>
#include <vector>

#include "console/ConsoleSnapshot.h"

// "512 B", "1.5 KiB", "3.2 MiB", "1.0 GiB".
std::string BytesText(uint64_t bytes);
// "42 s", "5 min", "3:04:05", "2 d 03:04" - the shorter the longer it gets.
std::string DurationText(uint32_t seconds);
// A file event's flags as words: "down", "up", and "deflate", "tls", "failed", "restarted".
std::string FileEventFlagsText(uint8_t flags);

// The summary: server, machine, FTP address, sockets, traffic, sessions, transfers.
std::string StatusText(const ConsoleSnapshot& snapshot, platform::Time32 now);

// One row per session under a heading; width cuts the last column ("COMMAND").
std::vector<std::string> SessionRows(const std::vector<CFtpConnMsg>& sessions, size_t width);
std::string SessionsText(const ConsoleSnapshot& snapshot);

std::vector<std::string> FileEventRows(const std::deque<CFtpFileEventMsg>& events, size_t width);
std::string FileEventsText(const ConsoleSnapshot& snapshot);
std::string EventsText(const ConsoleSnapshot& snapshot);

// "10 failed logins in 10 minutes ban an address for 60 minutes", from a ban list's end record.
std::string BanRulesText(const CFtpBanMsg& end);
// The rules and one row per banned address; "" when the server keeps no bans.
std::string BansText(const ConsoleSnapshot& snapshot, platform::Time32 now);
