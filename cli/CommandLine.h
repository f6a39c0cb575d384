#pragma once
// The program's command line: with no command it runs the server (--headless, --config-dir,
// --set); with one of the administration commands it runs that and exits.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
}
class CAdminSession;

struct ProgramOptions {
    bool headless = false;
    std::string configDir;  // empty: the default
    std::vector<std::pair<std::string, std::string>> sets;
};

class CCommandLine {
public:
    explicit CCommandLine(CAdminSession& session);
    ~CCommandLine();

    // Reads the arguments (without the program name). The exit status when the program is done
    // with them - help shown (0), a usage error explained (2) - and nothing when a command or
    // the server is to run.
    std::optional<int> Parse(const std::vector<std::string>& arguments);

    const ProgramOptions& Options() const { return options_; }
    bool HasCommand() const;
    int RunCommand();

private:
    CAdminSession& session_;
    std::unique_ptr<CLI::App> app_;
    ProgramOptions options_;
    std::vector<std::string> sets_;
};
