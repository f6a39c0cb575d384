#include "net/ProxyHeader.h"

#include <arpa/inet.h>

#include <cstring>
#include <string_view>

#include "net/HostAddress.h"

namespace {
constexpr char kTextSignature[] = "PROXY ";  // version 1
constexpr size_t kTextSignatureSize = sizeof kTextSignature - 1;
constexpr size_t kTextLineMax = 107;  // "PROXY TCP6 " + two longest addresses and ports + CRLF
constexpr uint8_t kBinarySignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                          0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr size_t kBinaryFixedSize = 16;

ProxyParse Refuse(std::string& problem, const std::string& why) {
    problem = why;
    return ProxyParse::Bad;
}

// Whether the bytes so far could still become the start of what prefix says.
bool StartsAs(const uint8_t* data, size_t size, const void* prefix, size_t prefixSize) {
    return std::memcmp(data, prefix, size < prefixSize ? size : prefixSize) == 0;
}

// The address of family in binary form as the program shows it (an IPv4-mapped IPv6 address
// as plain IPv4), with its port.
std::string ShownAddress(int family, const uint8_t* bytes, int port) {
    SocketAddress address;
    ParseNumericAddress("", port, address, family);
    if (family == AF_INET)
        std::memcpy(&reinterpret_cast<sockaddr_in*>(&address.storage)->sin_addr, bytes, 4);
    else
        std::memcpy(&reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_addr, bytes, 16);
    std::string text;
    int ignored = 0;
    FormatAddress(address.storage, text, ignored);
    return text;
}

// A decimal port of version 1: 0 to 65535, no sign, no leading zero.
bool TextPort(std::string_view text, int& port) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
    port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        port = port * 10 + (c - '0');
    }
    return port <= 65535;
}

// An address of version 1 in the one form inet_pton takes for its family.
bool TextAddress(std::string_view text, int family, std::string& shown) {
    char copy[INET6_ADDRSTRLEN + 1];
    if (text.empty() || text.size() >= sizeof copy) return false;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    uint8_t bytes[16];
    if (::inet_pton(family, copy, bytes) != 1) return false;
    shown = ShownAddress(family, bytes, 0);
    return true;
}

ProxyParse ParseText(const uint8_t* data, size_t size, ProxyHeader& header, size_t& consumed,
                     std::string& problem) {
    size_t window = size < kTextLineMax ? size : kTextLineMax;
    const void* found = std::memchr(data, '\n', window);
    if (!found) {
        if (size >= kTextLineMax) return Refuse(problem, "the PROXY line is longer than 107 bytes");
        return ProxyParse::NeedMore;
    }
    size_t end = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
    if (end == 0 || data[end - 1] != '\r')
        return Refuse(problem, "the PROXY line does not end in CR LF");
    std::string_view line(reinterpret_cast<const char*>(data), end - 1);
    consumed = end + 1;
    // UNKNOWN: the balancer cannot name the client; whatever follows is to be ignored.
    if (line == "PROXY UNKNOWN" || line.substr(0, 14) == "PROXY UNKNOWN ") {
        header = ProxyHeader{};
        header.version = 1;
        return ProxyParse::Done;
    }
    // Fields are separated by exactly one space.
    std::string_view fields[6];
    size_t count = 0, at = 0;
    while (true) {
        size_t space = line.find(' ', at);
        if (count == 6) return Refuse(problem, "the PROXY line has more than six fields");
        fields[count++] = line.substr(at, space == std::string_view::npos ? line.npos : space - at);
        if (space == std::string_view::npos) break;
        at = space + 1;
    }
    header = ProxyHeader{};
    header.version = 1;
    int family = fields[1] == "TCP4" ? AF_INET : fields[1] == "TCP6" ? AF_INET6 : 0;
    if (!family) return Refuse(problem, "the PROXY line names no protocol TCP4, TCP6 or UNKNOWN");
    if (count != 6) return Refuse(problem, "the PROXY line does not have six fields");
    if (!TextAddress(fields[2], family, header.sourceAddress) ||
        !TextAddress(fields[3], family, header.destinationAddress))
        return Refuse(
            problem, "the PROXY line's addresses are not " + std::string(fields[1]) + " addresses");
    if (!TextPort(fields[4], header.sourcePort) || !TextPort(fields[5], header.destinationPort))
        return Refuse(problem, "the PROXY line's ports are not numbers from 0 to 65535");
    header.hasAddress = true;
    return ProxyParse::Done;
}

ProxyParse ParseBinary(const uint8_t* data, size_t size, ProxyHeader& header, size_t& consumed,
                       std::string& problem) {
    if (size < kBinaryFixedSize) return ProxyParse::NeedMore;
    uint8_t versionCommand = data[12], familyTransport = data[13];
    size_t length = (size_t{data[14]} << 8) | data[15];
    if (versionCommand >> 4 != 2) return Refuse(problem, "the PROXY header's version is not 2");
    int command = versionCommand & 0x0F;
    if (command > 1)
        return Refuse(problem, "the PROXY header's command is neither LOCAL nor PROXY");
    if (kBinaryFixedSize + length > kProxyHeaderMax)
        return Refuse(problem, "the PROXY header is longer than " +
                                   std::to_string(kProxyHeaderMax) + " bytes");
    if (size < kBinaryFixedSize + length) return ProxyParse::NeedMore;
    header = ProxyHeader{};
    header.version = 2;
    consumed = kBinaryFixedSize + length;
    // LOCAL: the balancer's own connection. Other families (UNIX sockets) and datagrams name
    // no TCP client; the addresses, and any TLVs after them, are skipped.
    if (command == 0 || (familyTransport != 0x11 && familyTransport != 0x21))
        return ProxyParse::Done;
    int family = familyTransport == 0x11 ? AF_INET : AF_INET6;
    size_t width = family == AF_INET ? 4 : 16;
    if (length < 2 * width + 4)
        return Refuse(problem, "the PROXY header is too short for its addresses");
    const uint8_t* at = data + kBinaryFixedSize;
    header.sourcePort = (at[2 * width] << 8) | at[2 * width + 1];
    header.destinationPort = (at[2 * width + 2] << 8) | at[2 * width + 3];
    header.sourceAddress = ShownAddress(family, at, header.sourcePort);
    header.destinationAddress = ShownAddress(family, at + width, header.destinationPort);
    header.hasAddress = true;
    return ProxyParse::Done;
}
}  // namespace

ProxyParse ParseProxyHeader(const uint8_t* data, size_t size, ProxyHeader& header, size_t& consumed,
                            std::string& problem) {
    consumed = 0;
    if (size == 0) return ProxyParse::NeedMore;
    if (StartsAs(data, size, kTextSignature, kTextSignatureSize))
        return size < kTextSignatureSize ? ProxyParse::NeedMore
                                         : ParseText(data, size, header, consumed, problem);
    if (StartsAs(data, size, kBinarySignature, sizeof kBinarySignature))
        return ParseBinary(data, size, header, consumed, problem);
    return Refuse(problem, "the connection does not start with a PROXY protocol header");
}
