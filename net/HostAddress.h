#pragma once
// Host names to IPv4 addresses: the one place the program asks the resolver.

#include <netinet/in.h>

#include <string>

// A dotted address as it is, else the first IPv4 address the resolver gives for the name.
bool ResolveIPv4(const std::string& host, in_addr& address);
// The same in dotted form.
bool ResolveIPv4(const std::string& host, std::string& dotted);

// Whether a socket can be bound to this dotted IPv4 address here: one of the machine's own,
// or 0.0.0.0 for all of them. Names do not count; the canonical dotted form goes to dotted.
bool IsLocalAddress(const std::string& text, std::string& dotted);
