#pragma once
// quenlowftp rule list | add | del | policy | check: the IP access rules.

namespace CLI {
class App;
}
class CAdminSession;

void AddRuleCommands(CLI::App& program, CAdminSession& session);
