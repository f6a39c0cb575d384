#pragma once
// Host names to addresses (the one place the program asks the resolver), and socket
// addresses of either family to and from the text clients, logs and rules use.

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

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
// "address:port", with an IPv6 address in brackets ("[::1]:21").
std::string AddressPortText(const std::string& address, int port);
// 127.0.0.1 or ::1.
inline bool IsLoopbackText(const std::string& address) {
    return address == "127.0.0.1" || address == "::1";
}
// The port of either family (0 for anything else).
int AddressPort(const sockaddr_storage& address);
void SetAddressPort(sockaddr_storage& address, int port);

// A dotted address as it is, else the first IPv4 address the resolver gives for the name.
bool ResolveIPv4(const std::string& host, in_addr& address);
// The same in dotted form.
bool ResolveIPv4(const std::string& host, std::string& dotted);

// A numeric address as it is (IPv6 without brackets, in its short form), else the first IPv4
// address the resolver gives for the name, else its first IPv6 one.
bool ResolveHost(const std::string& host, std::string& address);
// "host", "host:port", "[v6]", "[v6]:port" or a bare IPv6 address (several colons, no port).
// port is 0 when the text gives none; false with the reason for a bad text.
bool SplitHostPort(const std::string& text, std::string& host, int& port, std::string& problem);

// The address clients can reach this server at: the bind address unless it is a wildcard,
// else the first of the machine's addresses that is neither loopback nor link-local (IPv4
// first; IPv6 only for "::"), else "".
std::string ChooseHostAddress(const std::string& bindAddress,
                              const std::vector<std::string>& machineAddresses);
// The machine's interface addresses, as texts, in the system's order.
std::vector<std::string> MachineAddresses();
// ChooseHostAddress with the machine's own addresses.
std::string ReachableHostAddress(const std::string& bindAddress);

// Whether a socket can be bound to this numeric address here: one of the machine's own, or
// 0.0.0.0 or :: for all of them. Names do not count; the canonical form goes to canonical.
bool IsLocalAddress(const std::string& text, std::string& canonical);
