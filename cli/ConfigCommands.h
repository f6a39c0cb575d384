#pragma once
// quenlowftp config list | get | set | reset: the settings in registry.reg.

namespace CLI {
class App;
}
class CAdminSession;

void AddConfigCommands(CLI::App& program, CAdminSession& session);
