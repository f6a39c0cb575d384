#include "config/ProgramOptions.h"

ProgramOptions ParseProgramOptions(const std::vector<std::string>& arguments) {
    ProgramOptions options;
    auto valueOf = [&](size_t& i, const std::string& option, std::string& value) {
        std::string arg = arguments[i];
        if (arg.size() > option.size() && arg[option.size()] == '=') {
            value = arg.substr(option.size() + 1);
            return true;
        }
        if (i + 1 >= arguments.size()) {
            options.error = option + " needs a value";
            return false;
        }
        value = arguments[++i];
        return true;
    };
    for (size_t i = 0; i < arguments.size() && options.error.empty(); ++i) {
        const std::string& arg = arguments[i];
        std::string value;
        if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg.rfind("--config-dir", 0) == 0 && (arg.size() == 12 || arg[12] == '=')) {
            if (!valueOf(i, "--config-dir", value)) break;
            if (value.empty()) options.error = "--config-dir needs a folder";
            options.configDir = value;
        } else if (arg.rfind("--set", 0) == 0 && (arg.size() == 5 || arg[5] == '=')) {
            if (!valueOf(i, "--set", value)) break;
            size_t eq = value.find('=');
            if (eq == std::string::npos || eq == 0) {
                options.error = "--set takes NAME=VALUE, not \"" + value + "\"";
                break;
            }
            options.sets.emplace_back(value.substr(0, eq), value.substr(eq + 1));
        } else {
            options.error = "unknown option \"" + arg + "\"";
        }
    }
    return options;
}

const char* ProgramUsage() {
    return "usage: quenlowftp [--headless] [--config-dir DIR] [--set NAME=VALUE]...\n"
           "  --headless          run without windows\n"
           "  --config-dir DIR    settings, registry.reg and the password file live in DIR\n"
           "                      (default $XDG_CONFIG_HOME/quenlowftp)\n"
           "  --set NAME=VALUE    use this setting for this run only (not saved)\n";
}
