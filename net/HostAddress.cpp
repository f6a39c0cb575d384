#include "net/HostAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

bool ParseNumericAddress(const std::string& text, int port, SocketAddress& address, int family) {
    address = SocketAddress{};
    if (text.empty() ? family == AF_INET6 : IsIpv6Text(text)) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&address.storage);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(static_cast<uint16_t>(port));
        if (!text.empty() && ::inet_pton(AF_INET6, text.c_str(), &sa->sin6_addr) != 1) return false;
        address.length = sizeof(sockaddr_in6);
        return true;
    }
    auto* sa = reinterpret_cast<sockaddr_in*>(&address.storage);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(static_cast<uint16_t>(port));
    if (!text.empty() && ::inet_pton(AF_INET, text.c_str(), &sa->sin_addr) != 1) return false;
    address.length = sizeof(sockaddr_in);
    return true;
}

bool FormatAddress(const sockaddr_storage& address, std::string& text, int& port) {
    char buffer[INET6_ADDRSTRLEN] = {};
    port = AddressPort(address);
    if (address.ss_family == AF_INET) {
        const auto* sa = reinterpret_cast<const sockaddr_in*>(&address);
        if (!::inet_ntop(AF_INET, &sa->sin_addr, buffer, sizeof buffer)) return false;
    } else if (address.ss_family == AF_INET6) {
        const auto* sa = reinterpret_cast<const sockaddr_in6*>(&address);
        if (IN6_IS_ADDR_V4MAPPED(&sa->sin6_addr)) {
            if (!::inet_ntop(AF_INET, &sa->sin6_addr.s6_addr[12], buffer, sizeof buffer))
                return false;
        } else if (!::inet_ntop(AF_INET6, &sa->sin6_addr, buffer, sizeof buffer)) {
            return false;
        }
    } else {
        return false;
    }
    text = buffer;
    return true;
}

std::string AddressPortText(const std::string& address, int port) {
    std::string host = IsIpv6Text(address) ? "[" + address + "]" : address;
    return host + ":" + std::to_string(port);
}

int AddressPort(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

void SetAddressPort(sockaddr_storage& address, int port) {
    uint16_t value = htons(static_cast<uint16_t>(port));
    if (address.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&address)->sin_port = value;
    else if (address.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = value;
}

bool ResolveIPv4(const std::string& host, in_addr& address) {
    if (::inet_pton(AF_INET, host.c_str(), &address) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

bool ResolveIPv4(const std::string& host, std::string& dotted) {
    in_addr address{};
    if (!ResolveIPv4(host, address)) return false;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    dotted = text;
    return true;
}

bool ResolveHost(const std::string& host, std::string& address) {
    SocketAddress parsed;
    int port = 0;
    if (IsIpv6Text(host) && ParseNumericAddress(host, 0, parsed, AF_INET6))
        return FormatAddress(parsed.storage, address, port);
    if (ResolveIPv4(host, address)) return true;
    char text[INET6_ADDRSTRLEN] = {};
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr, text,
                sizeof text);
    ::freeaddrinfo(found);
    address = text;
    return true;
}

bool SplitHostPort(const std::string& text, std::string& host, int& port, std::string& problem) {
    port = 0;
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) {
            problem = "\"" + text + "\" has no closing ]";
            return false;
        }
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') {
            problem = "\"" + text + "\" has something other than :port after ]";
            return false;
        }
    } else {
        size_t colon = text.find(':');
        if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
            host = text;  // no port, or a bare IPv6 address
        } else {
            host = text.substr(0, colon);
            rest = text.substr(colon);
        }
    }
    if (host.empty()) {
        problem = "\"" + text + "\" names no host";
        return false;
    }
    if (rest.empty()) return true;
    std::string digits = rest.substr(1);
    int value = digits.empty() || digits.size() > 5 ||
                        digits.find_first_not_of("0123456789") != std::string::npos
                    ? 0
                    : std::stoi(digits);
    if (value < 1 || value > 65535) {
        problem = "the port in \"" + text + "\" must be a number from 1 to 65535";
        return false;
    }
    port = value;
    return true;
}

std::string ChooseHostAddress(const std::string& bindAddress,
                              const std::vector<std::string>& machineAddresses) {
    if (bindAddress != "0.0.0.0" && bindAddress != "::" && !bindAddress.empty()) return bindAddress;
    auto usable = [](const std::string& address, bool ipv6) {
        if (IsIpv6Text(address) != ipv6) return false;
        if (!ipv6) return address.rfind("127.", 0) != 0 && address.rfind("169.254.", 0) != 0;
        return address != "::1" && address.rfind("fe80:", 0) != 0;
    };
    for (bool ipv6 : {false, true}) {
        if (ipv6 && bindAddress != "::") break;
        for (const std::string& address : machineAddresses)
            if (usable(address, ipv6)) return address;
    }
    return "";
}

std::vector<std::string> MachineAddresses() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return addresses;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr) continue;
        int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        sockaddr_storage address{};
        std::memcpy(&address, entry->ifa_addr,
                    family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        std::string text;
        int port = 0;
        if (FormatAddress(address, text, port)) addresses.push_back(text);
    }
    ::freeifaddrs(list);
    return addresses;
}

std::string ReachableHostAddress(const std::string& bindAddress) {
    return ChooseHostAddress(bindAddress, MachineAddresses());
}

bool IsLocalAddress(const std::string& text, std::string& canonical) {
    SocketAddress sa;
    int family = IsIpv6Text(text) ? AF_INET6 : AF_INET;
    if (text.empty() || !ParseNumericAddress(text, 0, sa, family) || sa.Family() != family)
        return false;
    int port = 0;
    FormatAddress(sa.storage, canonical, port);
    if (canonical == "0.0.0.0" || canonical == "::") return true;
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // Port 0: the probe takes no port that a listener may want.
    bool bound = ::bind(fd, sa.Raw(), sa.length) == 0;
    ::close(fd);
    return bound;
}
