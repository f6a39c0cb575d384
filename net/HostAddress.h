#pragma once
// Host names to addresses (the one place the program asks the resolver), and socket
// addresses of either family to and from the text clients, logs and rules use.

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

// An IPv4 or IPv6 socket address.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int Family() const { return storage.ss_family; }
    sockaddr* Raw() { return reinterpret_cast<sockaddr*>(&storage); }
};

// Address texts with a colon are IPv6 ones.
inline bool IsIpv6Text(const std::string& text) {
    return text.find(':') != std::string::npos;
}
// Dotted IPv4 or IPv6 text (no brackets, no zone) and a port; "" is the wildcard of family.
bool ParseNumericAddress(const std::string& text, int port, SocketAddress& address,
                         int family = AF_INET);
// The address as it is shown everywhere: dotted IPv4, also for an IPv4 client on a
// dual-stack socket (::ffff:a.b.c.d), else IPv6 in its short form.
bool FormatAddress(const sockaddr_storage& address, std::string& text, int& port);
// The port of either family (0 for anything else).
int AddressPort(const sockaddr_storage& address);
void SetAddressPort(sockaddr_storage& address, int port);

// A dotted address as it is, else the first IPv4 address the resolver gives for the name.
bool ResolveIPv4(const std::string& host, in_addr& address);
// The same in dotted form.
bool ResolveIPv4(const std::string& host, std::string& dotted);

// Whether a socket can be bound to this dotted IPv4 address here: one of the machine's own,
// or 0.0.0.0 for all of them. Names do not count; the canonical dotted form goes to dotted.
bool IsLocalAddress(const std::string& text, std::string& dotted);
