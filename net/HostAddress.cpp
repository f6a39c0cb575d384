#include "net/HostAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

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
