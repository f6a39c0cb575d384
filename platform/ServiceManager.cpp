#include "platform/ServiceManager.h"

#include <systemd/sd-daemon.h>

#include <cstdio>

#include "platform/Clock.h"

namespace platform::service {

void Ready(const std::string& status) {
    sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}

void Reloading() {
    // The monotonic time lets a newer systemd tell this reload from the last one.
    unsigned long long usec = static_cast<unsigned long long>(MonotonicMs()) * 1000ULL;
    sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu", usec);
}

void Stopping() {
    sd_notify(0, "STOPPING=1");
}

}  // namespace platform::service
