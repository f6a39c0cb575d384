#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>

#include <iostream>

#include "cli/AdminSession.h"
#include "cli/BanCommands.h"
#include "cli/CertCommands.h"
#include "cli/ConfigCommands.h"
#include "cli/ConsoleCommands.h"
#include "cli/RuleCommands.h"
#include "cli/ShareCommands.h"
#include "cli/UserCommands.h"

CCommandLine::CCommandLine(CAdminSession& session)
    : session_(session),
      app_(std::make_unique<CLI::App>(
          "Quenlow FTP: an FTP server that shares one folder (\"pub\").\n"
          "Without a command it runs the server until SIGINT or SIGTERM; SIGHUP makes it "
          "re-read the password file, the IP rules, the shared folder and the log settings "
          "without dropping anyone, and reopen the transfer log.",
          "quenlowftp")) {
    CLI::App& app = *app_;
    app.fallthrough();  // --config-dir may also follow the command
    app.require_subcommand(0, 1);
    app.add_flag("--headless", options_.headless, "Run the server without windows");
    app.add_option("--config-dir", options_.configDir,
                   "Folder of registry.reg, the password file and certificates (default "
                   "$XDG_CONFIG_HOME/quenlowftp, else ~/.config/quenlowftp)")
        ->check([](const std::string& dir) {
            return dir.empty() ? std::string("--config-dir needs a folder") : std::string();
        });
    app.add_option("--set", sets_,
                   "Use a setting for this run of the server only, not saved (repeatable)")
        ->type_name("NAME=VALUE")
        ->check([](const std::string& pair) {
            size_t eq = pair.find('=');
            return eq == std::string::npos || eq == 0
                       ? "--set takes NAME=VALUE, not \"" + pair + "\""
                       : std::string();
        });
    AddUserCommands(app, session_);
    AddRuleCommands(app, session_);
    AddShareCommands(app, session_);
    AddConfigCommands(app, session_);
    AddCertCommands(app, session_);
    AddConsoleCommands(app, session_);
    AddBanCommands(app, session_);
    app.footer(
        "Examples:\n"
        "  quenlowftp --headless --set NetTcpPort=2121   serve on port 2121\n"
        "  quenlowftp user add alice --rights WODR        add an account (asks for the password)\n"
        "  quenlowftp cert create --name server --cn ftp.example.org --state Ohio --enable\n"
        "  quenlowftp config set NetTcpPort 2121          store a setting\n"
        "  quenlowftp console watch                       live view of the running server\n"
        "Each command has its own --help. Exit status: 0 done, 1 failed, 2 usage error.");
}

CCommandLine::~CCommandLine() = default;

std::optional<int> CCommandLine::Parse(const std::vector<std::string>& arguments) {
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app_->parse(reversed);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))  // --help
            return app_->exit(e, std::cout, std::cerr);
        std::cerr << "quenlowftp: " << e.what() << "\n"
                  << "Run \"quenlowftp --help\" for the commands and their options.\n";
        return kExitUsage;
    }
    for (const std::string& pair : sets_) {
        size_t eq = pair.find('=');
        options_.sets.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
    }
    session_.SetConfigDir(options_.configDir);
    if (HasCommand() && (options_.headless || !options_.sets.empty())) {
        std::cerr << "quenlowftp: --headless and --set are for running the server, not for "
                     "a command\n";
        return kExitUsage;
    }
    return std::nullopt;
}

bool CCommandLine::HasCommand() const {
    return session_.HasAction();
}

int CCommandLine::RunCommand() {
    return session_.RunAction();
}
