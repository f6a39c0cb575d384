#pragma once
// quenlowftp share list | add | del: the share points beside "pub".

namespace CLI {
class App;
}
class CAdminSession;

void AddShareCommands(CLI::App& program, CAdminSession& session);
