#include "console/ConsoleJson.h"

#include <cstdio>

#include "messages/HostFacts.h"

using nlohmann::json;

namespace {
json SessionJson(const CFtpConnMsg& c) {
    json row = {{"index", c.index},
                {"peer", c.peerAddress},
                {"user", c.user},
                {"secure", c.secure != 0},
                {"minutes", c.minutesConnected},
                {"login_time", c.time},
                {"command", c.lastCommand},
                {"folder", c.folder}};
    if ((c.version & 0xFF) >= CFtpConnMsg::kFiguresVersion) {
        row["uploads"] = c.uploads;
        row["downloads"] = c.downloads;
        row["bytes_received"] = c.bytesReceived;
        row["bytes_sent"] = c.bytesSent;
        row["transfer_bytes"] = c.transferring ? json(c.transferBytes) : json(nullptr);
    }
    if ((c.version & 0xFF) >= CFtpConnMsg::kRootVersion)
        row["root"] = c.root.empty() ? json(nullptr) : json(c.root);
    return row;
}

std::string ClockText(platform::Time32 t) {
    struct tm local = platform::LocalTime(t);
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", local.tm_hour, local.tm_min);
    return text;
}
}  // namespace

json StatusJson(const ConsoleSnapshot& s, platform::Time32 now) {
    json doc = json::object();
    if (s.system || s.os) {
        platform::HostFacts h =
            TakeHostFacts(s.system ? &*s.system : nullptr, s.os ? &*s.os : nullptr);
        doc["server"] = {{"started", h.serverStart},
                         {"uptime_seconds", h.serverStart ? now - h.serverStart : 0}};
        doc["host"] = {{"name", h.hostName},
                       {"address", h.hostAddress},
                       {"os", h.osName},
                       {"kernel", h.kernelName + " " + h.kernelRelease},
                       {"machine", h.machine},
                       {"processors", h.processors},
                       {"load", {h.load1 / 100.0, h.load5 / 100.0, h.load15 / 100.0}},
                       {"memory_total_mib", h.memoryTotalMiB},
                       {"memory_available_mib", h.memoryAvailableMiB},
                       {"uptime_seconds", h.systemUptime}};
    }
    if (s.network) {
        const CFtpNetMsg& n = *s.network;
        doc["ftp"] = {
            {"address", n.listenAddress}, {"port", n.listenPort}, {"listening", n.listenPort != 0}};
        doc["sockets_open"] = n.openSockets;
        doc["bytes_received"] = n.bytesReceived;
        doc["bytes_sent"] = n.bytesSent;
    }
    if (s.users) {
        const CFtpUserMsg& u = *s.users;
        doc["sessions"] = {{"current", u.activeSessions},
                           {"accepted", u.accepted},
                           {"turned_away", u.rejected},
                           {"pool", u.pooledSessions},
                           {"ended",
                            {{"by_client", u.endedByClient},
                             {"idle", u.endedIdle},
                             {"failed_logins", u.endedFailedLogins},
                             {"error", u.endedError},
                             {"shut_down", u.endedShutdown},
                             {"other", u.endedOther}}}};
    }
    if (s.transfers)
        doc["transfers"] = {{"uploads", s.transfers->filesUploaded},
                            {"downloads", s.transfers->filesDownloaded}};
    if (s.banEnd && s.banEnd->failuresToBan > 0)
        doc["bans"] = {{"current", s.bans.size()},
                       {"failures", s.banEnd->failuresToBan},
                       {"window_minutes", s.banEnd->windowMinutes},
                       {"ban_minutes", s.banEnd->banMinutes}};
    return doc;
}

json SessionsJson(const ConsoleSnapshot& s) {
    json rows = json::array();
    for (const CFtpConnMsg& c : s.sessions) rows.push_back(SessionJson(c));
    return {{"sessions", rows}};
}

json EventsJson(const ConsoleSnapshot& s) {
    json rows = json::array();
    for (const CFtpEventMsg& e : s.events)
        rows.push_back({{"index", e.index}, {"code", e.code}, {"text", e.text}, {"time", e.time}});
    return {{"events", rows}};
}

json FileEventsJson(const ConsoleSnapshot& s) {
    json rows = json::array();
    for (const CFtpFileEventMsg& e : s.fileEvents)
        rows.push_back({{"sequence", e.sequence},
                        {"direction", e.flags & FILE_EVENT_DOWNLOAD ? "download" : "upload"},
                        {"deflate", (e.flags & FILE_EVENT_DEFLATE) != 0},
                        {"protected", (e.flags & FILE_EVENT_PROTECTED) != 0},
                        {"failed", (e.flags & FILE_EVENT_FAILED) != 0},
                        {"binary", (e.flags & FILE_EVENT_BINARY) != 0},
                        {"restarted", (e.flags & FILE_EVENT_RESTARTED) != 0},
                        {"path", e.path},
                        {"user", e.user},
                        {"start", e.start},
                        {"end", e.end},
                        {"file_bytes", e.fileBytes},
                        {"transfer_bytes", e.transferBytes}});
    return {{"file_events", rows}};
}

json BansJson(const ConsoleSnapshot& s) {
    json rows = json::array();
    for (const CFtpBanMsg& b : s.bans)
        rows.push_back({{"address", b.address},
                        {"since", b.since},
                        {"until", b.until},
                        {"failures", b.failures}});
    json rules = nullptr;
    if (s.banEnd)
        rules = {{"failures", s.banEnd->failuresToBan},
                 {"window_minutes", s.banEnd->windowMinutes},
                 {"ban_minutes", s.banEnd->banMinutes}};
    return {{"rules", rules}, {"bans", rows}};
}

json ScheduleJson(const CFtpThrottleData& schedule) {
    static const char* kDays[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
    json days = json::object();
    for (int d = 0; d < CFtpThrottleData::kDays; ++d) {
        json zones = json::array();
        for (const ThrottleZone& z : schedule.days[static_cast<size_t>(d)])
            zones.push_back({{"start", ClockText(z.start)}, {"kbps", z.maxSpeed}});
        days[kDays[d]] = zones;
    }
    return {{"enabled", schedule.enabled != 0}, {"days", days}};
}
