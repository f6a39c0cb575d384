#pragma once
// quenlowftp console status | sessions | events | files | kick | schedule | watch: a
// monitoring console for a running server, over the console channel.

namespace CLI {
class App;
}
class CAdminSession;

void AddConsoleCommands(CLI::App& program, CAdminSession& session);
