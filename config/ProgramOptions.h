#pragma once
// The program's command line: --headless, --config-dir DIR, --set NAME=VALUE (repeatable).

#include <string>
#include <utility>
#include <vector>

struct ProgramOptions {
    bool headless = false;
    bool help = false;
    std::string configDir;  // empty: the default
    std::vector<std::pair<std::string, std::string>> sets;
    std::string error;  // set when the command line cannot be used
};

ProgramOptions ParseProgramOptions(const std::vector<std::string>& arguments);
const char* ProgramUsage();
