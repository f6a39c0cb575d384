#include "cli/ConsoleConnect.h"

#include <CLI/CLI.hpp>

#include <cstdlib>

#include "cli/AdminSession.h"
#include "config/SettingNames.h"
#include "net/HostAddress.h"

namespace {
// The console password from --password-file, the environment, or a prompt - never from an
// argument, which every user of the machine could read.
bool ConsolePassword(CAdminSession& session, const ConsoleConnectOptions& o,
                     std::string& password) {
    if (!o.passwordFile.empty()) {
        std::string error;
        if (ReadFirstLine(o.passwordFile, password, error)) return true;
        session.Fail(error);
        return false;
    }
    if (const char* given = std::getenv(kConsolePasswordVariable)) {
        password = given;
        return true;
    }
    if (!session.Terminal().Interactive()) {
        session.Fail(std::string("no console password: give --password-file FILE or set ") +
                     kConsolePasswordVariable + " (standard input is not a terminal to ask on)");
        return false;
    }
    if (!session.Terminal().ReadSecret("Console password: ", password)) {
        session.Fail("no console password was typed");
        return false;
    }
    return true;
}

// Where one --host value points, with the options every node shares; no password yet.
bool Target(CAdminSession& session, const ConsoleConnectOptions& o, const std::string& host,
            ConsoleTarget& target) {
    int hostPort = 0;
    std::string problem;
    if (!SplitHostPort(host, target.host, hostPort, problem)) {
        session.Fail("--host: " + problem, kExitUsage);
        return false;
    }
    if (o.port && hostPort && *o.port != hostPort) {
        session.Fail("--host names port " + std::to_string(hostPort) + " and --port " +
                         std::to_string(*o.port) + ": give one",
                     kExitUsage);
        return false;
    }
    if (o.port) {
        target.port = *o.port;
    } else if (hostPort) {
        target.port = hostPort;
    } else {
        if (!session.OpenSettings()) return false;
        int port = session.Settings().GetIntSetting(setting::SysConsolePort);
        if (port < 1 || port > 65535) port = 1205;
        target.port = port;
    }
    target.caFile = o.caFile;
    target.insecure = o.insecure;
    target.tlsName = o.tlsName;
    target.certFile = o.certFile;
    target.keyFile = o.keyFile;
    target.timeoutMs = static_cast<int>(o.timeout * 1000);
    return true;
}
}  // namespace

void AddConsoleConnectOptions(CLI::App* command, ConsoleConnectOptions& o) {
    command->add_option("--host", o.hosts,
                        "The server: a name or address, with :PORT if you like ([::1]:1205 for "
                        "IPv6; default 127.0.0.1). status, sessions and watch take several, "
                        "one per node of a farm");
    command
        ->add_option("--port", o.port,
                     "Its console port (default: \"SysConsolePort\" of the settings)")
        ->check(CLI::Range(1, 65535));
    command->add_option("--password-file", o.passwordFile,
                        std::string("Read the console password from the first line of FILE "
                                    "(\"-\": standard input); else ") +
                            kConsolePasswordVariable + ", else it is asked for");
    CLI::Option* cafile = command->add_option(
        "--cafile", o.caFile,
        "TLS: trust the server's certificate if FILE vouches for it (the certificate that "
        "\"quenlowftp cert create\" made serves as its own); default: the system's");
    command
        ->add_flag("--insecure", o.insecure,
                   "TLS: do not check the server's certificate at all. Anyone between you and "
                   "the server can then read the console password")
        ->excludes(cafile);
    command->add_option("--tls-name", o.tlsName,
                        "TLS: the host name or address the certificate must carry (default: "
                        "--host)");
    CLI::Option* cert = command->add_option(
        "--cert", o.certFile,
        "TLS: show the server this client certificate (PEM), for a server with "
        "\"SysConsoleAuthPeer\" true (\"quenlowftp cert create --client\" makes one)");
    command
        ->add_option("--key", o.keyFile,
                     "TLS: the unencrypted private key of --cert (default: in the --cert file)")
        ->needs(cert);
    command->add_option("--timeout", o.timeout, "Seconds to wait for each answer (default 5)")
        ->check(CLI::Range(0.5, 600.0));
    command->footer(
        "The console password is the server's \"SysConsolePass\"; it is never taken from the "
        "command line.\n"
        "Exit status: 0 done, 1 failed (one line on stderr says why), 2 usage error.");
}

bool ConsoleTargets(CAdminSession& session, const ConsoleConnectOptions& o,
                    std::vector<ConsoleTarget>& targets) {
    targets.clear();
    std::vector<std::string> hosts = o.hosts;
    if (hosts.empty()) hosts.push_back("127.0.0.1");
    for (const std::string& host : hosts) {
        targets.emplace_back();
        if (!Target(session, o, host, targets.back())) return false;
    }
    std::string password;
    if (!ConsolePassword(session, o, password)) return false;
    for (ConsoleTarget& target : targets) target.password = password;
    return true;
}

std::unique_ptr<CConsoleLink> ConnectConsole(CAdminSession& session, const ConsoleConnectOptions& o,
                                             ConsoleTarget& target) {
    if (o.hosts.size() > 1) {
        session.Fail("this command works on one node: give one --host", kExitUsage);
        return nullptr;
    }
    std::vector<ConsoleTarget> targets;
    if (!ConsoleTargets(session, o, targets)) return nullptr;
    target = targets.front();
    auto link = std::make_unique<CConsoleLink>();
    if (!link->Open(target)) {
        session.Fail(link->Error());
        return nullptr;
    }
    return link;
}
