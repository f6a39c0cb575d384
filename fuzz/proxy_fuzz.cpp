// The first bytes of a connection from a trusted load balancer, read as a PROXY protocol
// header. The parser must never read past what it was given, never take more than the header
// limit, and say the same thing however the bytes arrive: a prefix of a header is "more",
// never a different header or a refusal.

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/HostAddress.h"
#include "net/ProxyHeader.h"

namespace {
void CheckAddress(const std::string& text) {
    SocketAddress parsed;
    std::string shown;
    int port = 0;
    if (!ParseNumericAddress(text, 0, parsed, IsIpv6Text(text) ? AF_INET6 : AF_INET) ||
        !FormatAddress(parsed.storage, shown, port) || shown != text)
        __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ProxyHeader header;
    size_t consumed = 0;
    std::string problem;
    ProxyParse whole = ParseProxyHeader(data, size, header, consumed, problem);
    if (whole == ProxyParse::Done) {
        if (consumed == 0 || consumed > size || consumed > kProxyHeaderMax) __builtin_trap();
        if (header.hasAddress) {
            CheckAddress(header.sourceAddress);
            CheckAddress(header.destinationAddress);
            if (header.sourcePort < 0 || header.sourcePort > 65535) __builtin_trap();
        }
        // The header alone reads the same as the header with what followed it.
        ProxyHeader again;
        size_t consumedAgain = 0;
        if (ParseProxyHeader(data, consumed, again, consumedAgain, problem) != ProxyParse::Done ||
            consumedAgain != consumed || again.sourceAddress != header.sourceAddress ||
            again.sourcePort != header.sourcePort || again.hasAddress != header.hasAddress)
            __builtin_trap();
    }
    if (whole == ProxyParse::Bad && problem.empty()) __builtin_trap();
    if (whole == ProxyParse::NeedMore && size >= kProxyHeaderMax) __builtin_trap();
    // Every shorter prefix of a header or of a possible one asks for more.
    if (whole != ProxyParse::Bad) {
        size_t step = size / 7 + 1;
        for (size_t cut = 0; cut < (whole == ProxyParse::Done ? consumed : size); cut += step) {
            ProxyHeader part;
            size_t partConsumed = 0;
            if (ParseProxyHeader(data, cut, part, partConsumed, problem) != ProxyParse::NeedMore)
                __builtin_trap();
        }
    }
    return 0;
}
