#pragma once
// quenlowftp cert create: a key pair and a self-signed certificate for TLS.

namespace CLI {
class App;
}
class CAdminSession;

void AddCertCommands(CLI::App& program, CAdminSession& session);
