#include "cli/ConsoleCommands.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>

#include "cli/AdminSession.h"
#include "cli/ConsoleConnect.h"
#include "config/SettingNames.h"
#include "console/ConsoleFormat.h"
#include "console/ConsoleJson.h"
#include "console/ConsoleLink.h"
#include "console/NodeViews.h"
#include "console/WatchScreen.h"
#include "engine/ThrottleStore.h"
#include "messages/ScheduleText.h"
#include "net/HostAddress.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/Signals.h"

namespace {
struct ConsoleOptions : ConsoleConnectOptions {
    bool json = false;
    bool offline = false;
    int index = -1;
    std::string peer;
    std::string scheduleFile;
};

int Print(CAdminSession& session, const ConsoleOptions& o, const nlohmann::json& json,
          const std::string& text) {
    if (o.json)
        session.Out() << json.dump(2) << "\n";
    else
        session.Out() << text;
    return kExitOk;
}

// status and sessions of every --host in turn; a node that does not answer is shown as down.
// Exit status 1 when one did not.
int NodesView(CAdminSession& session, const ConsoleOptions& o, bool sessions) {
    std::vector<ConsoleTarget> targets;
    if (!ConsoleTargets(session, o, targets)) return session.LastFailure();
    std::vector<NodeSnapshot> nodes;
    for (size_t i = 0; i < targets.size(); ++i) {
        NodeSnapshot node;
        node.node = o.hosts[i];
        CConsoleLink link;
        node.up = link.Open(targets[i]) && link.FetchOverview(sessions, false, false) &&
                  (sessions || link.FetchBans()) &&
                  (sessions || link.FetchHostFacts() || link.Connected());
        if (node.up)
            node.snapshot = link.Snapshot();
        else
            node.error = link.Error();
        nodes.push_back(std::move(node));
    }
    platform::Time32 now = platform::Clock::Now();
    if (sessions)
        Print(session, o, NodesSessionsJson(nodes), NodesSessionsText(nodes));
    else
        Print(session, o, NodesStatusJson(nodes, now), NodesStatusText(nodes, now));
    for (const NodeSnapshot& node : nodes)
        if (!node.up) return kExitFailed;
    return kExitOk;
}

int Status(CAdminSession& session, const ConsoleOptions& o) {
    if (o.hosts.size() > 1) return NodesView(session, o, false);
    ConsoleTarget target;
    auto link = ConnectConsole(session, o, target);
    if (!link) return session.LastFailure();
    if (!link->FetchOverview(false, false, false)) return session.Fail(link->Error());
    // The ban line only when the server keeps bans and they are on.
    if (!link->FetchBans()) return session.Fail(link->Error());
    if (!link->FetchHostFacts() && !link->Connected()) return session.Fail(link->Error());
    platform::Time32 now = platform::Clock::Now();
    std::string text = "Console  " + AddressPortText(target.host, target.port) +
                       (link->Snapshot().system ? "" : " (no system information)") + "\n";
    return Print(session, o, StatusJson(link->Snapshot(), now),
                 text + StatusText(link->Snapshot(), now));
}

int Sessions(CAdminSession& session, const ConsoleOptions& o) {
    if (o.hosts.size() > 1) return NodesView(session, o, true);
    ConsoleTarget target;
    auto link = ConnectConsole(session, o, target);
    if (!link) return session.LastFailure();
    if (!link->FetchOverview(true, false, false)) return session.Fail(link->Error());
    return Print(session, o, SessionsJson(link->Snapshot()), SessionsText(link->Snapshot()));
}

int Events(CAdminSession& session, const ConsoleOptions& o, bool files) {
    ConsoleTarget target;
    auto link = ConnectConsole(session, o, target);
    if (!link) return session.LastFailure();
    if (!link->FetchOverview(false, !files, files)) return session.Fail(link->Error());
    const ConsoleSnapshot& s = link->Snapshot();
    return files ? Print(session, o, FileEventsJson(s), FileEventsText(s))
                 : Print(session, o, EventsJson(s), EventsText(s));
}

const CFtpConnMsg* FindSession(const std::vector<CFtpConnMsg>& sessions, int index) {
    for (const CFtpConnMsg& c : sessions)
        if (c.index == index) return &c;
    return nullptr;
}

int Kick(CAdminSession& session, const ConsoleOptions& o) {
    ConsoleTarget target;
    auto link = ConnectConsole(session, o, target);
    if (!link) return session.LastFailure();
    if (!link->FetchOverview(true, false, false)) return session.Fail(link->Error());
    const CFtpConnMsg* found = FindSession(link->Snapshot().sessions, o.index);
    if (!found)
        return session.Fail("there is no session " + std::to_string(o.index) + " (the server has " +
                            std::to_string(link->Snapshot().sessions.size()) +
                            "; see \"quenlowftp console sessions\")");
    if (!o.peer.empty() && found->peerAddress != o.peer)
        return session.Fail("session " + std::to_string(o.index) + " is from " +
                            found->peerAddress + ", not " + o.peer + "; nothing was done");
    CFtpConnMsg chosen = *found;
    std::string who = std::to_string(o.index) + " (" + chosen.peerAddress +
                      (chosen.user.empty() ? "" : ", " + chosen.user) + ")";
    if (!link->RequestDisconnect(o.index, chosen.peerAddress)) return session.Fail(link->Error());
    // The session goes at the server's next events: look until it is no longer listed.
    auto stillThere = [&] {
        for (const CFtpConnMsg& c : link->Snapshot().sessions)
            if (c.peerAddress == chosen.peerAddress && c.time == chosen.time &&
                c.user == chosen.user)
                return true;
        return false;
    };
    for (int look = 0; look < 20; ++look) {
        if (!link->FetchOverview(true, false, false)) return session.Fail(link->Error());
        if (!stillThere()) {
            session.Out() << "Disconnected session " << who << ".\n";
            return kExitOk;
        }
        link->RunUntil([] { return false; }, 150);
    }
    return session.Fail("session " + who + " is still connected");
}

// ---- the bandwidth schedule ----

bool ReadText(CAdminSession& session, const std::string& path, std::string& text) {
    if (path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
        return true;
    }
    if (platform::ReadWholeFile(path, text)) return true;
    session.Fail("cannot read " + path + ": " + std::strerror(errno));
    return false;
}

// The schedule in force: the server's, or with --offline the stored one (or the default).
bool CurrentSchedule(CAdminSession& session, const ConsoleOptions& o,
                     std::unique_ptr<CConsoleLink>& link, CFtpThrottleData& schedule) {
    if (o.offline) {
        if (!session.OpenSettings()) return false;
        LoadThrottleSchedule(schedule);
        return true;
    }
    ConsoleTarget target;
    link = ConnectConsole(session, o, target);
    if (!link) return false;
    CFtpReqMsg request;
    request.throttle = 1;
    if (!link->Fetch(request)) {
        session.Fail(link->Error());
        return false;
    }
    if (!link->Snapshot().schedule) {
        session.Fail("the server did not send its schedule");
        return false;
    }
    schedule = *link->Snapshot().schedule;
    return true;
}

int Install(CAdminSession& session, const ConsoleOptions& o, CConsoleLink* link,
            const CFtpThrottleData& schedule) {
    size_t zones = 0;
    for (const ZoneList& day : schedule.days) zones += day.size();
    std::string what =
        std::to_string(zones) + " zones, limiting " + (schedule.enabled ? "on" : "off");
    if (o.offline) {
        if (!SaveThrottleSchedule(schedule))
            return session.Fail("cannot write the schedule to the settings; they are as they were");
        session.Out() << "Stored the schedule (" << what
                      << "); a running server takes it at its next start.\n";
        return kExitOk;
    }
    if (!link->SendSchedule(schedule)) return session.Fail(link->Error());
    session.Out() << "The server now follows the schedule (" << what << ").\n";
    return kExitOk;
}

int ScheduleShow(CAdminSession& session, const ConsoleOptions& o) {
    std::unique_ptr<CConsoleLink> link;
    CFtpThrottleData schedule;
    if (!CurrentSchedule(session, o, link, schedule)) return kExitFailed;
    return Print(session, o, ScheduleJson(schedule), FormatSchedule(schedule));
}

int ScheduleSet(CAdminSession& session, const ConsoleOptions& o) {
    std::string text;
    if (!ReadText(session, o.scheduleFile, text)) return kExitFailed;
    CFtpThrottleData parsed;
    std::vector<std::string> errors;
    // Checked before anything is asked or sent.
    if (!ParseSchedule(text, parsed, errors)) {
        for (const std::string& e : errors) session.Fail(o.scheduleFile + ": " + e);
        return kExitFailed;
    }
    std::unique_ptr<CConsoleLink> link;
    CFtpThrottleData schedule;
    if (!CurrentSchedule(session, o, link, schedule)) return kExitFailed;
    // Once more over the schedule in force, which keeps its on/off state when the text
    // gives none.
    ParseSchedule(text, schedule, errors);
    return Install(session, o, link.get(), schedule);
}

int ScheduleSwitch(CAdminSession& session, const ConsoleOptions& o, bool on) {
    std::unique_ptr<CConsoleLink> link;
    CFtpThrottleData schedule;
    if (!CurrentSchedule(session, o, link, schedule)) return kExitFailed;
    schedule.enabled = on ? 1 : 0;
    return Install(session, o, link.get(), schedule);
}

int Watch(CAdminSession& session, const ConsoleOptions& o) {
    // Before the engine's thread starts, so that only the loop takes these signals.
    platform::SignalWatch signals;
    if (o.hosts.size() > 1) {
        std::vector<ConsoleTarget> targets;
        if (!ConsoleTargets(session, o, targets)) return session.LastFailure();
        std::string error;
        int status = RunNodesWatch(targets, o.hosts, signals, error);
        if (status != kExitOk) session.Fail(error);
        return status;
    }
    ConsoleTarget target;
    auto link = ConnectConsole(session, o, target);
    if (!link) return session.LastFailure();
    std::string error;
    int status = RunWatch(*link, signals, AddressPortText(target.host, target.port), error);
    if (status != kExitOk) session.Fail(error);
    return status;
}

void AddJson(CLI::App* command, ConsoleOptions& o) {
    command->add_flag("--json", o.json, "Print one JSON document instead of text");
}
}  // namespace

void AddConsoleCommands(CLI::App& program, CAdminSession& session) {
    auto o = std::make_shared<ConsoleOptions>();
    CLI::App* console = program.add_subcommand(
        "console",
        "A monitoring console for a running server (\"SysConsoleState\" true): plain text to "
        "127.0.0.1, TLS to any other address");
    console->require_subcommand(1);
    console->fallthrough();
    AddConsoleConnectOptions(console, *o);

    CLI::App* status =
        console->add_subcommand("status", "Server, machine, FTP address, traffic and counters");
    AddJson(status, *o);
    RunsAs(status, session, [&session, o] { return Status(session, *o); });

    CLI::App* sessions = console->add_subcommand("sessions", "One row per connected session");
    AddJson(sessions, *o);
    RunsAs(sessions, session, [&session, o] { return Sessions(session, *o); });

    CLI::App* events = console->add_subcommand("events", "The server's event list, oldest first");
    AddJson(events, *o);
    RunsAs(events, session, [&session, o] { return Events(session, *o, false); });

    CLI::App* files =
        console->add_subcommand("files", "The last finished transfers (up to 256), newest last");
    AddJson(files, *o);
    RunsAs(files, session, [&session, o] { return Events(session, *o, true); });

    CLI::App* kick = console->add_subcommand(
        "kick", "Disconnect the session with this number (see \"sessions\")");
    kick->add_option("INDEX", o->index, "The session's number")
        ->required()
        ->check(CLI::NonNegativeNumber);
    kick->add_option("--peer", o->peer,
                     "The address the session must have, so that a list that changed meanwhile "
                     "never disconnects another client");
    RunsAs(kick, session, [&session, o] { return Kick(session, *o); });

    CLI::App* schedule = console->add_subcommand(
        "schedule",
        "The weekly bandwidth schedule, as lines like \"enabled yes\", \"mon 08:00 512\" "
        "(from 08:00 on Monday 512 KB/s), \"all 00:00 1000\"");
    schedule->require_subcommand(1);
    schedule->fallthrough();
    schedule->add_flag("--offline", o->offline,
                       "Work on the stored schedule in the settings instead of a server's");
    CLI::App* show = schedule->add_subcommand("show", "Print it; \"set\" reads the same form");
    AddJson(show, *o);
    RunsAs(show, session, [&session, o] { return ScheduleShow(session, *o); });
    CLI::App* set = schedule->add_subcommand("set", "Replace it with the lines of FILE");
    set->add_option("FILE", o->scheduleFile, "The schedule (\"-\": standard input)")->required();
    RunsAs(set, session, [&session, o] { return ScheduleSet(session, *o); });
    RunsAs(schedule->add_subcommand("enable", "Limit bandwidth by the schedule"), session,
           [&session, o] { return ScheduleSwitch(session, *o, true); });
    RunsAs(schedule->add_subcommand("disable", "Stop limiting bandwidth"), session,
           [&session, o] { return ScheduleSwitch(session, *o, false); });

    CLI::App* watch = console->add_subcommand(
        "watch",
        "A live view, refreshed every second: q quits, k and a number kicks (several --host: "
        "every node in one view)");
    RunsAs(watch, session, [&session, o] { return Watch(session, *o); });
}
