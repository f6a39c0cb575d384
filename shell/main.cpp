// quenlowftp: the FTP server, and the commands that administer it.

#include <csignal>
#include <cstdio>
#include <iostream>
#include <vector>

#include "cli/AdminSession.h"
#include "cli/CommandLine.h"
#include "platform/Log.h"
#include "platform/ServiceManager.h"
#include "platform/Signals.h"
#include "shell/Application.h"
#include "shell/Display.h"
#include "shell/WindowedShell.h"

namespace {
int RunServer(const ProgramOptions& options, int argc, char** argv) {
    // Before any thread starts, so that every thread leaves these signals to the loop.
    platform::SignalWatch signals;
    DisplayChoice display;
    if (options.headless)
        display.reason = "headless: --headless given";
    else
        display = ChooseDisplay();
    // Said first, so that what the start-up reports follows it.
    std::fprintf(stderr, "quenlowftp: %s\n", display.reason.c_str());
    CQuenlowApp app;
    if (!app.Start(options)) {
        platform::Log::Flush(1000);  // what the start-up logged comes first
        std::fprintf(stderr, "quenlowftp: %s\n", app.Error().c_str());
        return kExitFailed;
    }
    if (signals.Ok())
        app.Loop().AddReader(signals.Fd(), [&] {
            while (int signal = signals.Take()) {
                if (signal == SIGHUP) {
                    platform::service::Reloading();
                    app.Reload();
                    platform::service::Ready(app.ListeningText());
                } else {
                    app.Quit();
                }
            }
        });
    std::string listening = app.ListeningText();
    std::printf("%s\n", listening.c_str());
    std::fflush(stdout);
    for (const std::string& line : app.AnonymousAccessText())
        std::fprintf(stderr, "quenlowftp: %s\n", line.c_str());
    platform::service::Ready(listening);
    if (display.windows)
        RunWindowed(app, argc, argv);
    else
        app.Run();
    app.Loop().RemoveReader(signals.Fd());
    platform::Log::Flush(1000);
    return kExitOk;
}
}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    CTerminal terminal;
    CAdminSession session(std::cout, std::cerr, terminal);
    CCommandLine commandLine(session);
    if (std::optional<int> done = commandLine.Parse({argv + 1, argv + argc})) return *done;
    if (commandLine.HasCommand()) return commandLine.RunCommand();
    return RunServer(commandLine.Options(), argc, argv);
}
