#include "net/HostAddress.h"

#include <arpa/inet.h>
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

bool IsLocalAddress(const std::string& text, std::string& dotted) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    if (::inet_pton(AF_INET, text.c_str(), &sa.sin_addr) != 1) return false;
    char canonical[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &sa.sin_addr, canonical, sizeof canonical);
    dotted = canonical;
    if (sa.sin_addr.s_addr == htonl(INADDR_ANY)) return true;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // Port 0: the probe takes no port that a listener may want.
    bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return bound;
}
