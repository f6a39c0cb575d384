#include "session/StatusTexts.h"

#include <cctype>
#include <cstdio>

#include "session/Commands.h"
#include "session/MachineListing.h"
#include "session/Parameters.h"
#include "session/Replies.h"
#include "streams/Stream.h"

const char* AuthWord(int mechanism) {
    return mechanism == AUTH_SSL ? "SSL" : mechanism == AUTH_TLS ? "TLS" : "NONE";
}
const char* TypeWord(int type) {
    return type == TYPE_ASCII ? "ASCII" : type == TYPE_IMAGE ? "BINARY" : "UNKNOWN";
}
const char* ModeWord(int mode) {
    return mode == MODE_STREAM ? "STREAM" : mode == MODE_DEFLATE ? "DEFLATE" : "UNKNOWN";
}
const char* StruWord(int structure) {
    switch (structure) {
        case STRU_FILE:
            return "FILE";
        case STRU_RECORD:
            return "RECORD";
        case STRU_PAGE:
            return "PAGE";
        default:
            return "UNKNOWN";
    }
}

std::string StatusBlock(const SessionStatus& s) {
    auto number = [](uint64_t n) { return std::to_string(n); };
    std::string block = "211-Begin status:\r\n Quenlow FTP Pro 1.70";
    if (!s.localAddress.empty()) block += "\r\n Connected to " + s.localAddress;
    if (!s.contact.empty()) block += "\r\n Contact is " + s.contact;
    block += "\r\n Logged in as " + s.user;
    block += std::string("\r\n AUTH: ") + AuthWord(s.auth);
    block += std::string("\r\n TYPE: ") + TypeWord(s.type);
    block += std::string("\r\n MODE: ") + ModeWord(s.mode);
    block += std::string("\r\n STRU: ") + StruWord(s.structure);
    block += "\r\n FORM: NON-PRINT";
    block +=
        "\r\n " + number(s.bytesSent) + " bytes sent in " + number(s.downloads) + " download(s)";
    block += "\r\n " + number(s.bytesReceived) + " bytes received in " + number(s.uploads) +
             " upload(s)";
    block += "\r\n " + number(s.bytesSent + s.bytesReceived) + " bytes total in " +
             number(s.downloads + s.uploads) + " file(s)";
    return block;
}

std::string HelpBlock(bool machineListings) {
    std::string block = "214-The following commands are recognized:";
    const CommandEntry* table = CommandTable();
    int count = kCommandCount + (machineListings ? kMachineListingCount : 0);
    for (int i = 0; i < count; ++i) {
        block += i % 7 == 0 ? "\r\n " : "\t";
        block += i < kCommandCount ? table[i].name : MachineListingTable()[i - kCommandCount].name;
    }
    return block;
}

std::string SyntaxOf(uint64_t commandId) {
    const CommandEntry* table = CommandTable();
    for (int i = 0; i < kCommandCount; ++i)
        if (table[i].id == commandId) return table[i].syntax;
    for (int i = 0; i < kMachineListingCount; ++i)
        if (MachineListingTable()[i].id == commandId) return MachineListingTable()[i].syntax;
    return "";
}

std::string FeatureBlock(bool deflate, std::optional<unsigned> machineFacts) {
    std::string block = "211-Extensions supported:\r\n UTF8";
    if (deflate) block += "\r\n MODE Z";
    const CommandEntry* table = CommandTable();
    for (int i = 0; i < kCommandCount; ++i) {
        if (!table[i].inFeat) continue;
        block += std::string("\r\n ") + table[i].name + " " + table[i].featText;
    }
    if (machineFacts) block += "\r\n MLST " + OfferedFacts(*machineFacts);
    return block + "\r\n TVFS";
}

int ApplyUtf8Option(const std::string& argument, bool& utf8, bool& utf8Nlist) {
    std::string lower = argument;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (size_t at; (at = lower.find("utf-8")) != std::string::npos;) lower.erase(at + 3, 1);
    if (lower.find("utf8") == std::string::npos) return REPLY_BAD_ARGUMENTS;
    std::string value;
    size_t gap = lower.find_first_of(" \t");
    if (gap != std::string::npos) {
        size_t start = lower.find_first_not_of(" \t", gap);
        if (start != std::string::npos) value = lower.substr(start);
    }
    bool on = utf8, nlist = utf8Nlist;
    if (value == "on") {
        utf8 = true;
    } else if (value == "off") {
        utf8 = utf8Nlist = false;
    } else if (value.empty()) {
        utf8 = !on;
        if (!utf8) utf8Nlist = false;
    } else if (value == "nlist") {
        if (!on) return REPLY_LOCAL_ERROR;
        utf8Nlist = !nlist;
    } else {
        return REPLY_BAD_ARGUMENTS;
    }
    return REPLY_OK;
}

std::optional<int> ParseDeflateOptions(const std::string& rest) {
    auto skipSeparators = [](const std::string& text, size_t from) {
        size_t at = text.find_first_not_of(" \t;", from);
        return at == std::string::npos ? text.size() : at;
    };
    int level = 7;
    size_t at = skipSeparators(rest, 0);
    while (at < rest.size()) {
        size_t end = rest.find(';', at);
        std::string part = rest.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? rest.size() : skipSeparators(rest, end);
        size_t blank = part.find(' ');
        if (blank == std::string::npos || part.substr(0, blank) != "LEVEL") return std::nullopt;
        std::optional<uint64_t> value = ParseDecimal(part.substr(blank + 1));
        if (!value || *value > 9) return std::nullopt;
        level = static_cast<int>(*value);
    }
    return level;
}
