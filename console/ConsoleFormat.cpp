#include "console/ConsoleFormat.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "messages/HostFacts.h"
#include "net/HostAddress.h"

namespace {
std::string Printf(const char* format, auto... values) {
    char text[256];
    int length = std::snprintf(text, sizeof text, format, values...);
    if (length < static_cast<int>(sizeof text)) return text;
    // A long folder or command: the whole row, cut later to the screen if at all.
    std::string longer(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(longer.data(), longer.size(), format, values...);
    longer.resize(static_cast<size_t>(length));
    return longer;
}

std::string Cut(std::string text, size_t width) {
    if (width > 0 && text.size() > width) text.resize(width);
    return text;
}

std::string Line(const char* label, const std::string& value) {
    return Printf("%-10s %s\n", label, value.c_str());
}

std::string LoadText(uint32_t hundredths) {
    return Printf("%u.%02u", hundredths / 100, hundredths % 100);
}
}  // namespace

std::string BytesText(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    return Printf("%.1f %s", value, units[unit]);
}

std::string DurationText(uint32_t seconds) {
    uint32_t days = seconds / 86400, hours = seconds / 3600 % 24, minutes = seconds / 60 % 60;
    if (days > 0) return Printf("%u d %02u:%02u", days, hours, minutes);
    if (seconds >= 3600) return Printf("%u:%02u:%02u", hours, minutes, seconds % 60);
    if (seconds >= 60) return Printf("%u min", minutes);
    return Printf("%u s", seconds);
}

std::string FileEventFlagsText(uint8_t flags) {
    std::string text = flags & FILE_EVENT_DOWNLOAD ? "down" : "up";
    if (flags & FILE_EVENT_DEFLATE) text += ",deflate";
    if (flags & FILE_EVENT_PROTECTED) text += ",tls";
    if (flags & FILE_EVENT_RESTARTED) text += ",restarted";
    if (flags & FILE_EVENT_FAILED) text += ",failed";
    return text;
}

std::string StatusText(const ConsoleSnapshot& s, platform::Time32 now) {
    std::string text;
    if (s.system || s.os) {
        platform::HostFacts host =
            TakeHostFacts(s.system ? &*s.system : nullptr, s.os ? &*s.os : nullptr);
        if (host.serverStart)
            text += Line("Server", "up " + DurationText(now - host.serverStart) + ", since " +
                                       platform::LocalTimeText(host.serverStart));
        std::string machine = host.hostName;
        if (!host.hostAddress.empty()) machine += " (" + host.hostAddress + ")";
        if (!host.osName.empty()) machine += ", " + host.osName;
        if (!host.kernelName.empty())
            machine += ", " + host.kernelName + " " + host.kernelRelease + " " + host.machine;
        text += Line("Host", machine);
        text += Line("Load", LoadText(host.load1) + " " + LoadText(host.load5) + " " +
                                 LoadText(host.load15) + " on " + std::to_string(host.processors) +
                                 " processors, up " + DurationText(host.systemUptime));
        text += Line("Memory", std::to_string(host.memoryAvailableMiB) + " MiB available of " +
                                   std::to_string(host.memoryTotalMiB) + " MiB");
    }
    if (s.network) {
        const CFtpNetMsg& n = *s.network;
        text += Line("FTP", n.listenPort
                                ? AddressPortText(n.listenAddress, static_cast<int>(n.listenPort))
                                : "not listening");
        text += Line("Sockets", std::to_string(n.openSockets) + " open");
        text += Line("Traffic", "received " + BytesText(n.bytesReceived) + " (" +
                                    std::to_string(n.bytesReceived) + " bytes), sent " +
                                    BytesText(n.bytesSent) + " (" + std::to_string(n.bytesSent) +
                                    " bytes)");
    }
    if (s.users) {
        const CFtpUserMsg& u = *s.users;
        text +=
            Line("Sessions", Printf("%lld now, %llu accepted, %llu turned away, pool of %u",
                                    static_cast<long long>(u.activeSessions),
                                    static_cast<unsigned long long>(u.accepted),
                                    static_cast<unsigned long long>(u.rejected), u.pooledSessions));
        text +=
            Line("Ended", Printf("%llu by the client, %llu idle, %llu failed logins, %llu error, "
                                 "%llu shut-down, %llu other",
                                 static_cast<unsigned long long>(u.endedByClient),
                                 static_cast<unsigned long long>(u.endedIdle),
                                 static_cast<unsigned long long>(u.endedFailedLogins),
                                 static_cast<unsigned long long>(u.endedError),
                                 static_cast<unsigned long long>(u.endedShutdown),
                                 static_cast<unsigned long long>(u.endedOther)));
    }
    if (s.transfers) {
        const CFtpXferMsg& x = *s.transfers;
        text += Line("Transfers",
                     Printf("%llu up, %llu down", static_cast<unsigned long long>(x.filesUploaded),
                            static_cast<unsigned long long>(x.filesDownloaded)));
    }
    if (s.banEnd && s.banEnd->failuresToBan > 0)
        text +=
            Line("Bans", std::to_string(s.bans.size()) + " now (" + BanRulesText(*s.banEnd) + ")");
    return text;
}

std::vector<std::string> SessionRows(const std::vector<CFtpConnMsg>& sessions, size_t width) {
    std::vector<std::string> rows;
    // Users with folders of their own say which, before the command.
    bool roots = false;
    // IPv4 addresses fit 15 columns; a longer IPv6 one widens the column for every row.
    int peerWidth = 15;
    for (const CFtpConnMsg& c : sessions) {
        roots = roots || !c.root.empty();
        peerWidth = std::max(peerWidth, static_cast<int>(c.peerAddress.size()));
    }
    rows.push_back(
        Cut(Printf("%3s  %-*s  %-16s %-3s %5s %5s %5s %10s  %s%s", "#", peerWidth, "PEER", "USER",
                   "TLS", "MIN", "UP", "DOWN", "TRANSFER", roots ? "ROOT  " : "", "COMMAND"),
            width));
    for (const CFtpConnMsg& c : sessions) {
        bool figures = (c.version & 0xFF) >= CFtpConnMsg::kFiguresVersion;
        std::string up = figures ? std::to_string(c.uploads) : "-";
        std::string down = figures ? std::to_string(c.downloads) : "-";
        std::string transfer = figures && c.transferring ? BytesText(c.transferBytes) : "-";
        std::string user = c.user.empty() ? "(not logged in)" : c.user;
        std::string root = roots ? (c.root.empty() ? "-" : c.root) + "  " : "";
        rows.push_back(
            Cut(Printf("%3d  %-*s  %-16s %-3s %5u %5s %5s %10s  %s%s", c.index, peerWidth,
                       c.peerAddress.c_str(), Cut(user, 16).c_str(), c.secure ? "yes" : "no",
                       c.minutesConnected, up.c_str(), down.c_str(), transfer.c_str(), root.c_str(),
                       c.lastCommand.c_str()),
                width));
    }
    return rows;
}

std::string SessionsText(const ConsoleSnapshot& s) {
    if (s.sessions.empty()) return "No sessions.\n";
    std::string text;
    for (const std::string& row : SessionRows(s.sessions, 0)) text += row + "\n";
    return text;
}

std::vector<std::string> FileEventRows(const std::deque<CFtpFileEventMsg>& events, size_t width) {
    std::vector<std::string> rows;
    rows.push_back(Cut(Printf("%-19s  %8s  %-20s  %10s  %-16s  %s", "END", "SECONDS", "KIND",
                              "BYTES", "USER", "PATH"),
                       width));
    for (const CFtpFileEventMsg& e : events)
        rows.push_back(Cut(
            Printf("%-19s  %8u  %-20s  %10llu  %-16s  %s", platform::LocalTimeText(e.end).c_str(),
                   e.end - e.start, FileEventFlagsText(e.flags).c_str(),
                   static_cast<unsigned long long>(e.fileBytes), Cut(e.user, 16).c_str(),
                   e.path.c_str()),
            width));
    return rows;
}

std::string FileEventsText(const ConsoleSnapshot& s) {
    if (s.fileEvents.empty()) return "No finished transfers.\n";
    std::string text;
    for (const std::string& row : FileEventRows(s.fileEvents, 0)) text += row + "\n";
    return text;
}

namespace {
std::string Minutes(uint32_t minutes) {
    return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}
}  // namespace

std::string BanRulesText(const CFtpBanMsg& end) {
    return std::to_string(end.failuresToBan) + " failed logins in " + Minutes(end.windowMinutes) +
           " ban an address for " + Minutes(end.banMinutes);
}

std::string BansText(const ConsoleSnapshot& s, platform::Time32 now) {
    if (!s.banEnd) return "";
    std::string text;
    if (s.banEnd->failuresToBan > 0)
        text = "Bans: " + BanRulesText(*s.banEnd) + ".\n";
    else
        text = "Bans are off (SysBanFailures is 0).\n";
    if (s.bans.empty())
        return text + (s.banEnd->failuresToBan > 0 ? "No address is banned.\n" : "");
    int addressWidth = 15;
    for (const CFtpBanMsg& b : s.bans)
        addressWidth = std::max(addressWidth, static_cast<int>(b.address.size()));
    text += Printf("%-*s  %-19s  %-19s  %8s  %s\n", addressWidth, "ADDRESS", "SINCE", "UNTIL",
                   "LEFT", "FAILURES");
    for (const CFtpBanMsg& b : s.bans)
        text += Printf("%-*s  %-19s  %-19s  %8s  %u\n", addressWidth, b.address.c_str(),
                       platform::LocalTimeText(b.since).c_str(),
                       platform::LocalTimeText(b.until).c_str(),
                       DurationText(b.until > now ? b.until - now : 0).c_str(), b.failures);
    return text;
}

std::string EventsText(const ConsoleSnapshot& s) {
    if (s.events.empty()) return "No events.\n";
    std::string text = Printf("%5s  %5s  %s\n", "#", "CODE", "TEXT");
    for (const CFtpEventMsg& e : s.events)
        text += Printf("%5d  %5u  %s\n", e.index, e.code, e.text.c_str());
    return text;
}
