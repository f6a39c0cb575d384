#pragma once
// The texts and option parsers of the status and feature commands (STAT, HELP, FEAT, OPTS),
// kept free of sockets so that they can be checked on their own.

#include <cstdint>
#include <optional>
#include <string>

// The words STAT shows for the session's settings.
const char* AuthWord(int mechanism);  // 1 SSL, 3 TLS, else NONE
const char* TypeWord(int type);       // 0 ASCII, 1 BINARY, else UNKNOWN
const char* ModeWord(int mode);       // 0 STREAM, 3 DEFLATE, else UNKNOWN
const char* StruWord(int structure);  // 0 FILE, 1 RECORD, 2 PAGE, else UNKNOWN

struct SessionStatus {
    std::string localAddress;  // empty: not shown (a fixed address is announced)
    std::string contact;       // empty: not shown
    std::string user;
    int auth = 0, type = 0, mode = 0, structure = 0;
    uint64_t bytesSent = 0, downloads = 0, bytesReceived = 0, uploads = 0;
};

// The body of STAT without an argument: "211-Begin status:" and its lines joined by CR LF,
// without the closing "211 End status.".
std::string StatusBlock(const SessionStatus& status);

// "214-The following commands are recognized:" and the 47 names, seven to a line; MLSD and
// MLST follow them while machine listings are on.
std::string HelpBlock(bool machineListings = false);
// The syntax text of the first table entry of a command id (an alias shows its main entry).
std::string SyntaxOf(uint64_t commandId);

// "211-Extensions supported:" and one line per feature; MODE Z only when deflate is on, and
// "MLST type*;size*;modify*;perm*;" (the chosen facts starred) only with machine listings.
std::string FeatureBlock(bool deflate, std::optional<unsigned> machineFacts = std::nullopt);

// OPTS UTF8: applies the option (the whole argument, any case) to the two flags and gives
// the reply code: 200, 451 (NLIST while UTF-8 is off) or 501.
int ApplyUtf8Option(const std::string& argument, bool& utf8, bool& utf8Nlist);

// OPTS MODE Z: the text after "MODE Z" (upper case), e.g. " LEVEL 9"; the level it asks for
// (7 when it names none), or nothing when it is not made of "LEVEL n" parts with n in 0..9.
std::optional<int> ParseDeflateOptions(const std::string& rest);
