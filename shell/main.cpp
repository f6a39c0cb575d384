// quenlowftp: the FTP server. Runs headless (the windowed front end comes later).

#include <csignal>
#include <cstdio>
#include <vector>

#include "config/ProgramOptions.h"
#include "shell/Application.h"

namespace {
CQuenlowApp* g_app = nullptr;

void OnSignal(int) {
    if (g_app) g_app->Quit();
}
}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    ProgramOptions options = ParseProgramOptions(arguments);
    if (options.help) {
        std::fputs(ProgramUsage(), stdout);
        return 0;
    }
    if (!options.error.empty()) {
        std::fprintf(stderr, "quenlowftp: %s\n%s", options.error.c_str(), ProgramUsage());
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    CQuenlowApp app;
    if (!app.Start(options)) {
        std::fprintf(stderr, "quenlowftp: %s\n", app.Error().c_str());
        return 1;
    }
    g_app = &app;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::printf("%s\n", app.ListeningText().c_str());
    std::fflush(stdout);
    app.Run();
    g_app = nullptr;
    return 0;
}
