#include "platform/Descriptors.h"

#include <sys/resource.h>

#include <algorithm>

namespace platform {

DescriptorLimit ReadDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return {};
    return {limit.rlim_cur, limit.rlim_max};
}

DescriptorLimit RaiseDescriptorLimit(uint64_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return {};
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY
                              ? static_cast<rlim_t>(wanted)
                              : std::min<rlim_t>(static_cast<rlim_t>(wanted), limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return {limit.rlim_cur, limit.rlim_max};
}

}  // namespace platform
