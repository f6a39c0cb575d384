#pragma once
// What one client's session knows between commands: who is logged in and where, the
// operation that runs, the last two lines, and the choices made with AUTH, PROT and OPTS.
// The connection owns it and hands the command families narrow views of it.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "session/Commands.h"
#include "session/MachineListing.h"

// The client's account data.
struct UserRecord {
    virtual ~UserRecord() = default;
    virtual void Reset() { *this = UserRecord(); }
    std::string name, password, home;
    uint32_t rights = 0;
    uint64_t downloads = 0, bytesSent = 0, uploads = 0, bytesReceived = 0;
};

// The operation in progress, as transfer reports and the session list see it.
struct CurrentOperation {
    // state: the operation was accepted and waits for its start on a send event.
    static constexpr uint64_t kStartPending = 1;

    CommandId commandId = 0;
    std::string path;
    uint64_t state = 0;
    uint64_t offset = 0;
    uint64_t bytesSent = 0, bytesReceived = 0, previousSent = 0, previousReceived = 0;
    platform::Time32 time = 0;
    uint64_t startMs = 0;  // platform::MonotonicMs() when it began

    void Reset();
    bool StartPending() const { return (state & kStartPending) != 0; }
    // A transfer past its start: it has answered 150 or 125 and owes its final reply.
    bool TransferStarted() const { return IsTransfer(commandId) && !StartPending(); }
};

struct SessionState {
    std::unique_ptr<UserRecord> user;
    bool loggedIn = false;
    std::string folder = "\\";  // the current folder, "\...\"
    CurrentOperation operation;
    std::string line, previousLine;  // the line being answered and the one before
    int failedLogins = 0;
    int authMechanism = 0;      // AuthMechanism
    int dataProtection = 0;     // DataProtection
    bool dataVerified = false;  // the protected data connection passed its check
    bool utf8 = false, utf8Nlst = false;
    unsigned machineFacts = FACT_ALL;  // the facts MLST and MLSD show (OPTS MLST)

    // A new client or REIN: everything but the account record, which is only emptied.
    void Reset();
};
