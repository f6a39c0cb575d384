#include "net/HostAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

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
