#pragma once
// What the service manager (systemd, for a unit of Type=notify) is told of the server's
// state. Without a service manager (no NOTIFY_SOCKET) every call does nothing.

#include <string>

namespace platform::service {

void Ready(const std::string& status);  // the FTP port listens
void Reloading();                       // a reload begins; Ready() ends it
void Stopping();

}  // namespace platform::service
