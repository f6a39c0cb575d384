#pragma once
// quenlowftp user list | add | edit | del: the named accounts of the password file.

namespace CLI {
class App;
}
class CAdminSession;

void AddUserCommands(CLI::App& program, CAdminSession& session);
