#include "cli/BanCommands.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>

#include <memory>

#include "cli/AdminSession.h"
#include "cli/ConsoleConnect.h"
#include "console/ConsoleFormat.h"
#include "console/ConsoleJson.h"
#include "net/HostAddress.h"
#include "platform/Clock.h"

namespace {
struct BanOptions : ConsoleConnectOptions {
    bool json = false;
    std::string address;
};

const char* kOlderServer =
    "the server keeps no bans (a version from before them): it did not send a ban list";

int List(CAdminSession& session, const BanOptions& o) {
    ConsoleTarget target;
    auto link = ConnectConsole(session, o, target);
    if (!link) return session.LastFailure();
    if (!link->FetchBans()) return session.Fail(link->Error());
    const ConsoleSnapshot& s = link->Snapshot();
    if (!s.banEnd) return session.Fail(kOlderServer);
    if (o.json)
        session.Out() << BansJson(s).dump(2) << "\n";
    else
        session.Out() << BansText(s, platform::Clock::Now());
    return kExitOk;
}

int Del(CAdminSession& session, BanOptions o) {
    // The server keys bans by the address as it shows it: IPv6 in its short form.
    SocketAddress parsed;
    int port = 0;
    if (o.address.empty() || !ParseNumericAddress(o.address, 0, parsed, AF_INET) ||
        !FormatAddress(parsed.storage, o.address, port))
        return session.Fail(
            "\"" + o.address + "\" is not an address such as 192.168.1.20 or 2001:db8::20",
            kExitUsage);
    ConsoleTarget target;
    auto link = ConnectConsole(session, o, target);
    if (!link) return session.LastFailure();
    if (!link->FetchBans(o.address)) return session.Fail(link->Error());
    const ConsoleSnapshot& s = link->Snapshot();
    if (!s.banEnd) return session.Fail(kOlderServer);
    if (s.banEnd->lift == CFtpBanMsg::kLifted) {
        session.Out() << "Lifted the ban on " << o.address << ".\n";
        return kExitOk;
    }
    session.Out() << o.address << " is not banned.\n";
    return kExitFailed;
}
}  // namespace

void AddBanCommands(CLI::App& program, CAdminSession& session) {
    auto o = std::make_shared<BanOptions>();
    CLI::App* ban = program.add_subcommand(
        "ban",
        "Addresses a running server refuses after failed logins (\"SysBanFailures\"), over its "
        "console channel (\"SysConsoleState\" true)");
    ban->require_subcommand(1);
    ban->fallthrough();
    AddConsoleConnectOptions(ban, *o);

    CLI::App* list = ban->add_subcommand(
        "list", "The banned addresses: since when, until when, after how many failed logins");
    list->add_flag("--json", o->json, "Print one JSON document instead of text");
    RunsAs(list, session, [&session, o] { return List(session, *o); });

    CLI::App* del = ban->add_subcommand(
        "del", "Lift the ban on ADDRESS at once (exit status 1 when it is not banned)");
    del->add_option("ADDRESS", o->address, "The banned IPv4 address")->required();
    RunsAs(del, session, [&session, o] { return Del(session, *o); });
}
