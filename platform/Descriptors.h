#pragma once
// The process's limit on open descriptors. Every session holds up to three sockets and a
// file, so a large pool needs more than the usual soft limit of 1024.

#include <cstdint>

namespace platform {

struct DescriptorLimit {
    uint64_t soft = 0;  // in force now
    uint64_t hard = 0;  // the most the soft limit may be raised to without privileges
};

DescriptorLimit ReadDescriptorLimit();
// Raises the soft limit to wanted, or as near as the hard limit allows; never lowers it.
// Returns the limits in force afterwards.
DescriptorLimit RaiseDescriptorLimit(uint64_t wanted);

}  // namespace platform
