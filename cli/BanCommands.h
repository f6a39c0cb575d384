#pragma once
// quenlowftp ban list | del: the addresses a running server refuses after failed logins, over
// its console channel.

namespace CLI {
class App;
}
class CAdminSession;

void AddBanCommands(CLI::App& program, CAdminSession& session);
