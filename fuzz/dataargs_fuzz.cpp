// PORT and EPRT arguments as a client sends them (the input is the argument text).
//
// An accepted address must be an IPv4 dotted quad in its one plain form: four decimal numbers
// 0..255 without leading zeros. The bounce check reads the text as decimal numbers (each kept
// to its low 8 bits) and compares with the client's address; the connect hands the same text
// to the resolver, which reads a leading zero as octal and a number past 255 as no address at
// all. Any text the two read differently ("0177" is 177 to one and 127 to the other) lets a
// client aim the data connection at another host.

#include <cstddef>
#include <cstdint>
#include <string>

#include "session/DataCommands.h"

namespace {

bool IsPlainDottedQuad(const std::string& address) {
    int parts = 0;
    size_t at = 0;
    for (;;) {
        size_t dot = address.find('.', at);
        std::string part = address.substr(at, dot == std::string::npos ? dot : dot - at);
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
        int value = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        if (value > 255) return false;
        ++parts;
        if (dot == std::string::npos) break;
        at = dot + 1;
    }
    return parts == 4;
}

// A 227 reply is read by clients exactly as a PORT argument; it must name what was parsed.
void CheckPassiveReply(const std::string& address, int port) {
    const std::string reply = PassiveModeText(address, port);
    std::string readAddress;
    int readPort = -1;
    if (!ParsePortArgument(reply, readAddress, readPort) || readAddress != address ||
        readPort != port)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string argument(reinterpret_cast<const char*>(data), size);

    std::string address = "unset";
    int port = -1;
    if (ParsePortArgument(argument, address, port)) {
        if (!IsPlainDottedQuad(address)) __builtin_trap();
        if (port < 0 || port > 65535) __builtin_trap();
        CheckPassiveReply(address, port);
    }

    address = "unset";
    port = -1;
    switch (ParseEprtArgument(argument, address, port)) {
        case EprtResult::Ok:
            if (!IsPlainDottedQuad(address)) __builtin_trap();
            if (port < 1 || port > 65535) __builtin_trap();
            CheckPassiveReply(address, port);
            break;
        case EprtResult::Bad:
        case EprtResult::UnsupportedProtocol:
            break;
        default:
            __builtin_trap();
    }
    return 0;
}
