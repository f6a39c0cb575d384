#pragma once
// What every command that talks to a running server over its console channel shares: the
// connection options, the console password and opening the link.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/ConsoleLink.h"

namespace CLI {
class App;
}
class CAdminSession;

inline constexpr const char* kConsolePasswordVariable = "QUENLOWFTP_CONSOLE_PASSWORD";

struct ConsoleConnectOptions {
    std::vector<std::string> hosts;  // none: 127.0.0.1
    std::optional<int> port;
    std::string passwordFile;
    std::string caFile;
    std::string tlsName;
    bool insecure = false;
    std::string certFile;
    std::string keyFile;
    double timeout = 5;
};

// --host, --port, --password-file, --cafile, --insecure, --tls-name, --cert, --key and
// --timeout, with the footer that says where the password comes from.
void AddConsoleConnectOptions(CLI::App* command, ConsoleConnectOptions& o);

// Where each --host points (127.0.0.1 without one), with the console password, read once.
bool ConsoleTargets(CAdminSession& session, const ConsoleConnectOptions& o,
                    std::vector<ConsoleTarget>& targets);
// Connects to the one --host; the link is null after saying why. target is what it
// connected to.
std::unique_ptr<CConsoleLink> ConnectConsole(CAdminSession& session, const ConsoleConnectOptions& o,
                                             ConsoleTarget& target);
