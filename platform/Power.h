#pragma once
// The machine's power management, as far as a server cares: how long until the login manager
// acts on an idle machine, and a lock that keeps it from doing so while clients are served.
// Talks to systemd-logind on the system bus; without a bus or logind everything reports "not
// available" (0, false) and nothing else happens.

#include <cstdint>

namespace platform {

// Seconds of idleness after which logind acts (suspend, power off, ...); 0 when it takes no
// action or cannot be asked.
uint32_t IdleTimeoutSeconds();

// Whether the keep-awake step keeps the machine awake: scheme 1 while the server listens and
// has a session, scheme 2 always, anything else never.
bool WantsToStayAwake(int scheme, bool listening, int activeSessions);

// An idle inhibitor lock of logind, held while its descriptor is open.
class IdleInhibitor {
public:
    IdleInhibitor() = default;
    ~IdleInhibitor();
    IdleInhibitor(const IdleInhibitor&) = delete;
    IdleInhibitor& operator=(const IdleInhibitor&) = delete;

    // Takes the lock when wanted and not held, gives it back when held and not wanted.
    // Returns whether it is held afterwards.
    bool Hold(bool wanted);
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace platform
