#pragma once
// The PROXY protocol header a TCP load balancer (HAProxy, nginx, the cloud balancers) puts in
// front of a client's bytes to say whom the connection is really from: version 1 is one text
// line, version 2 a binary block. Only what the bytes say is read here; whether the sender may
// say it is the caller's question.

#include <cstddef>
#include <cstdint>
#include <string>

struct ProxyHeader {
    // False for a LOCAL (v2) or UNKNOWN (v1) header, or an address family that is not TCP
    // over IPv4 or IPv6: the connection is the balancer's own (a health check) or its client
    // cannot be named, and the connection's own peer stands.
    bool hasAddress = false;
    std::string sourceAddress, destinationAddress;  // as the program shows addresses
    int sourcePort = 0, destinationPort = 0;
    int version = 0;  // 1 or 2
};

enum class ProxyParse {
    NeedMore,  // a header may still come: read more and call again
    Done,      // consumed bytes are the header
    Bad,       // not a header, or a broken or over-long one: problem says which
};

// The longest header taken: a version 1 line is at most 107 bytes; a version 2 block may
// carry TLVs of the balancer's, which are skipped, up to this size in all.
constexpr size_t kProxyHeaderMax = 1024;

// Reads a header from the first size bytes a connection sent. It never reads past the
// header, so the client's own bytes after it stay for the caller.
ProxyParse ParseProxyHeader(const uint8_t* data, size_t size, ProxyHeader& header, size_t& consumed,
                            std::string& problem);
