#include "session/SessionState.h"

void CurrentOperation::Reset() {
    commandId = 0;
    path.clear();
    state = offset = 0;
    bytesSent = bytesReceived = previousSent = previousReceived = 0;
    time = platform::Clock::Now();
    startMs = platform::MonotonicMs();
}

void SessionState::Reset() {
    if (user) user->Reset();
    loggedIn = false;
    folder = "\\";
    operation.Reset();
    line.clear();
    previousLine.clear();
    failedLogins = 0;
    authMechanism = dataProtection = 0;
    dataVerified = false;
    utf8 = utf8Nlst = false;
    machineFacts = FACT_ALL;
}
