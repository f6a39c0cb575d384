#include "session/Commands.h"

#include "platform/Text.h"

namespace {
constexpr CommandEntry kCommands[kCommandCount] = {
    {"LIST", CMD_LIST, false, "", "LIST [<sp> pathname]"},
    {"NLST", CMD_NLST, false, "", "NLST [<sp> pathname]"},
    {"CWD", CMD_CWD, false, "", "CWD/XCWD <sp> directory"},
    {"XCWD", CMD_CWD, false, "", "XCWD (see CWD)"},
    {"CDUP", CMD_CDUP, false, "", "CDUP/XCUP (change to parent directory)"},
    {"XCUP", CMD_CDUP, false, "", "XCUP (see CDUP)"},
    {"PORT", CMD_PORT, false, "", "PORT <sp> b0, b1, b2, b3, b4, b5"},
    {"PASV", CMD_PASV, false, "", "PASV (set passive mode)"},
    {"TYPE", CMD_TYPE, false, "", "TYPE <sp> [A | I | L 8 | N | T | AN | AT]"},
    {"ALLO", CMD_ALLO, false, "", "ALLO <sp> filesize (ignored)"},
    {"STOR", CMD_STOR, false, "", "STOR <sp> filename (upload)"},
    {"STOU", CMD_STOU, false, "", "STOU (store unique)"},
    {"APPE", CMD_APPE, false, "", "APPE <sp> filename"},
    {"RETR", CMD_RETR, false, "", "RETR <sp> filename (download)"},
    {"PWD", CMD_PWD, false, "", "PWD/XPWD (show current directory)"},
    {"XPWD", CMD_PWD, false, "", "XPWD (see PWD)"},
    {"ABOR", CMD_ABOR, false, "", "ABOR (stop current operation)"},
    {"REST", CMD_REST, true, "STREAM", "REST <sp> position"},
    {"USER", CMD_USER, false, "", "USER <sp> username"},
    {"PASS", CMD_PASS, false, "", "PASS <sp> password"},
    {"ACCT", CMD_ACCT, false, "", "ACCT (unsupported)"},
    {"DELE", CMD_DELE, false, "", "DELE <sp> filename"},
    {"RMD", CMD_RMD, false, "", "RMD/XRMD <sp> directory"},
    {"XRMD", CMD_RMD, false, "", "XRMD (see RMD)"},
    {"MKD", CMD_MKD, false, "", "MKD/XMKD <sp> directory"},
    {"XMKD", CMD_MKD, false, "", "XMKD (see MKD)"},
    {"RNFR", CMD_RNFR, false, "", "RNFR <sp> filename"},
    {"RNTO", CMD_RNTO, false, "", "RNTO <sp> filename"},
    {"SYST", CMD_SYST, false, "", "SYST (return host operating system)"},
    {"MODE", CMD_MODE, false, "", "MODE <sp> [S | Z]"},
    {"STRU", CMD_STRU, false, "", "STRU <sp> [F | R]"},
    {"STAT", CMD_STAT, false, "", "STAT [<sp> pathname]"},
    {"REIN", CMD_REIN, false, "", "REIN (reinitialize)"},
    {"MDTM", CMD_MDTM, true, "", "MDTM <sp> pathname"},
    {"SIZE", CMD_SIZE, true, "", "SIZE <sp> pathname"},
    {"SITE", CMD_SITE, false, "", "SITE <sp> command [<sp> parameters]"},
    {"AUTH", CMD_AUTH, true, "TLS", "AUTH <sp> [SSL | TLS]"},
    {"PBSZ", CMD_PBSZ, true, "", "PBSZ <sp> size"},
    {"PROT", CMD_PROT, true, "", "PROT <sp> [C | P]"},
    {"CCC", CMD_CCC, true, "", "CCC"},
    {"FEAT", CMD_FEAT, false, "", "FEAT"},
    {"OPTS", CMD_OPTS, false, "", "OPTS <sp> command [<sp> command-options]"},
    {"EPRT", CMD_EPRT, false, "", "EPRT <sp> <d><net-prt><d><net-addr><d><tcp-port><d>"},
    {"EPSV", CMD_EPSV, false, "", "EPSV"},
    {"HELP", CMD_HELP, false, "", "HELP [<sp> command]"},
    {"NOOP", CMD_NOOP, false, "", "NOOP"},
    {"QUIT", CMD_QUIT, false, "", "QUIT (terminate session)"},
};

// FEAT prints MLST's line itself: its facts follow the session's choice.
constexpr CommandEntry kMachineListings[kMachineListingCount] = {
    {"MLSD", CMD_MLSD, false, "", "MLSD [<sp> directory]"},
    {"MLST", CMD_MLST, false, "", "MLST [<sp> pathname]"},
};
}  // namespace

const CommandEntry* CommandTable() {
    return kCommands;
}

const CommandEntry* MachineListingTable() {
    return kMachineListings;
}

CommandId LookupCommand(const std::string& line, bool machineListings) {
    size_t end = line.find_first_of(" \t");
    // Only ASCII letters count, whatever the process's locale says a letter is.
    std::string word;
    for (char c : line.substr(0, end))
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) word.push_back(c);
    word = platform::AsciiUpper(word);
    for (const CommandEntry& entry : kCommands)
        if (word == entry.name) return entry.id;
    if (machineListings)
        for (const CommandEntry& entry : kMachineListings)
            if (word == entry.name) return entry.id;
    return 0;
}

bool GetArgument(const std::string& line, std::string& argument) {
    argument.clear();
    size_t gap = line.find_first_of(" \t");
    if (gap == std::string::npos) return false;
    size_t start = line.find_first_not_of(" \t", gap);
    if (start != std::string::npos) argument = line.substr(start);
    return !argument.empty();
}

std::optional<uint64_t> ParseDecimal(const std::string& text) {
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (value > static_cast<uint64_t>(INT64_MAX))
        return std::nullopt;  // a non-negative 64-bit value
    return value;
}
