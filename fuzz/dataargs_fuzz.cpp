// PORT and EPRT arguments as a client sends them (the input is the argument text).
//
// An accepted IPv4 address must be a dotted quad in its one plain form: four decimal numbers
// 0..255 without leading zeros. The bounce check reads the text as decimal numbers (each kept
// to its low 8 bits) and compares with the client's address; the connect hands the same text
// to the resolver, which reads a leading zero as octal and a number past 255 as no address at
// all. Any text the two read differently ("0177" is 177 to one and 127 to the other) lets a
// client aim the data connection at another host. An accepted IPv6 address must be the
// resolver's own short form of itself (numeric, no zone), so the bounce check and the connect
// compare the same text.

#include <arpa/inet.h>

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

bool IsShortIpv6(const std::string& address) {
    in6_addr parsed{};
    char text[INET6_ADDRSTRLEN];
    return address.size() < sizeof text && inet_pton(AF_INET6, address.c_str(), &parsed) == 1 &&
           inet_ntop(AF_INET6, &parsed, text, sizeof text) && address == text;
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

    EprtResult byFamily[2];
    for (int wanted = 1; wanted <= 2; ++wanted) {
        address = "unset";
        port = -1;
        EprtResult result = byFamily[wanted - 1] =
            ParseEprtArgument(argument, address, port, wanted);
        switch (result) {
            case EprtResult::Ok:
                if (port < 1 || port > 65535) __builtin_trap();
                if (wanted == 1) {
                    if (!IsPlainDottedQuad(address)) __builtin_trap();
                    CheckPassiveReply(address, port);
                } else if (!IsShortIpv6(address)) {
                    __builtin_trap();
                }
                break;
            case EprtResult::Bad:
            case EprtResult::UnsupportedProtocol:
                break;
            default:
                __builtin_trap();
        }
    }
    // Well-formed is well-formed whatever the control connection: only which protocol is
    // taken depends on it.
    if ((byFamily[0] == EprtResult::Bad) != (byFamily[1] == EprtResult::Bad)) __builtin_trap();
    if (byFamily[0] == EprtResult::Ok && byFamily[1] == EprtResult::Ok) __builtin_trap();
    return 0;
}
