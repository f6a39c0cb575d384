#pragma once
// The 47 commands, and the machine listings (MLSD, MLST) that a setting adds: lookup of the
// command word, the argument of a line, and the tables that HELP and FEAT print from.

#include <cstdint>
#include <optional>
#include <string>

using CommandId = uint64_t;

enum : CommandId {
    CMD_NOOP = 0x1,
    CMD_USER = 0x2,
    CMD_PASS = 0x4,
    CMD_ACCT = 0x8,
    CMD_SYST = 0x10,
    CMD_TYPE = 0x20,
    CMD_PORT = 0x40,
    CMD_PASV = 0x80,
    CMD_LIST = 0x100,
    CMD_NLST = 0x200,
    CMD_CWD = 0x400,
    CMD_PWD = 0x800,
    CMD_MKD = 0x1000,
    CMD_REST = 0x2000,
    CMD_ALLO = 0x4000,
    CMD_STOR = 0x8000,
    CMD_STOU = 0x10000,
    CMD_APPE = 0x20000,
    CMD_RETR = 0x40000,
    CMD_DELE = 0x80000,
    CMD_RMD = 0x100000,
    CMD_RNFR = 0x200000,
    CMD_RNTO = 0x400000,
    CMD_SIZE = 0x800000,
    CMD_ABOR = 0x1000000,
    CMD_CDUP = 0x2000000,
    CMD_STRU = 0x4000000,
    CMD_MODE = 0x8000000,
    CMD_STAT = 0x10000000,
    CMD_HELP = 0x20000000,
    CMD_QUIT = 0x40000000,
    CMD_AUTH = 0x80000000,
    CMD_PBSZ = 0x200000000,
    CMD_PROT = 0x400000000,
    CMD_CCC = 0x800000000,
    CMD_FEAT = 0x1000000000,
    CMD_OPTS = 0x2000000000,
    CMD_REIN = 0x4000000000,
    CMD_MDTM = 0x8000000000,
    CMD_SITE = 0x10000000000,
    CMD_EPRT = 0x20000000000,
    CMD_EPSV = 0x40000000000,
    CMD_MLSD = 0x80000000000,
    CMD_MLST = 0x100000000000,
};

struct CommandEntry {
    const char* name;
    CommandId id;
    bool inFeat;
    const char* featText;
    const char* syntax;
};

inline constexpr int kCommandCount = 47;
inline constexpr int kMachineListingCount = 2;

// STOR, APPE and STOU: the commands that write a file from the data connection.
inline bool IsUpload(CommandId id) {
    return (id & (CMD_STOR | CMD_APPE | CMD_STOU)) != 0;
}
// RETR, LIST/NLST and the uploads: the commands that move data over a data connection.
inline bool IsTransfer(CommandId id) {
    return id == CMD_RETR || id == CMD_LIST || IsUpload(id);
}
const CommandEntry* CommandTable();  // kCommandCount entries, in table order
// MLSD and MLST (kMachineListingCount entries): commands only while machine listings are on.
const CommandEntry* MachineListingTable();

// The word before the first blank or tab, upper-cased and stripped of non-letters; 0 when it
// names no command (MLSD and MLST name one only with machineListings).
CommandId LookupCommand(const std::string& line, bool machineListings = false);
// The rest of the line after the first blank or tab, without leading blanks and tabs; true
// when that is not empty.
bool GetArgument(const std::string& line, std::string& argument);
// A number made of decimal digits alone that fits a non-negative 64-bit value.
std::optional<uint64_t> ParseDecimal(const std::string& text);
