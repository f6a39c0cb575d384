#include "platform/Power.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";

// One short-lived connection per question: the questions are rare (start-up, a timer of
// several seconds), and a connection kept open would need its own watch on the loop.
struct SystemBus {
    sd_bus* bus = nullptr;
    SystemBus() {
        if (sd_bus_open_system(&bus) < 0) bus = nullptr;
    }
    ~SystemBus() { sd_bus_flush_close_unref(bus); }
};

}  // namespace

uint32_t IdleTimeoutSeconds() {
    SystemBus system;
    if (!system.bus) return 0;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char* action = nullptr;
    uint64_t usec = 0;
    bool ok = sd_bus_get_property_string(system.bus, kService, kPath, kManager, "IdleAction",
                                         &error, &action) >= 0;
    sd_bus_error_free(&error);
    ok = ok && sd_bus_get_property_trivial(system.bus, kService, kPath, kManager, "IdleActionUSec",
                                           &error, 't', &usec) >= 0;
    sd_bus_error_free(&error);
    bool acts = ok && action && std::strcmp(action, "ignore") != 0;
    std::free(action);
    if (!acts) return 0;
    uint64_t seconds = usec / 1000000;
    return seconds > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(seconds);
}

bool WantsToStayAwake(int scheme, bool listening, int activeSessions) {
    if (scheme == 2) return true;
    return scheme == 1 && listening && activeSessions > 0;
}

IdleInhibitor::~IdleInhibitor() {
    Hold(false);
}

bool IdleInhibitor::Hold(bool wanted) {
    if (!wanted && fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!wanted || fd_ >= 0) return Held();
    SystemBus system;
    if (!system.bus) return false;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(system.bus, kService, kPath, kManager, "Inhibit", &error, &reply, "ssss",
                           "idle", "Quenlow FTP", "Serving FTP clients", "block") >= 0) {
        int fd = -1;
        // The descriptor belongs to the reply; the lock lasts as long as our copy.
        if (sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0)
            fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return Held();
}

}  // namespace platform
