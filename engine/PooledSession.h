#pragma once
// What the server controller needs of a pooled FTP session (the session itself lives above
// the engine): start it for a new client, shut it down, and read what the session list shows.

#include <cstdint>
#include <string>

#include "engine/FtpConnection.h"
#include "messages/MsgObjects.h"

class CFtpServerController;

class CFtpPooledSession : public CFtpConnection {
public:
    CFtpPooledSession(CFtpServerController* controller, CFtpEventSink* sink)
        : CFtpConnection(sink), controller_(controller) {}

    // Greets the client just accepted into the control socket; a client of the implicit TLS
    // port is greeted once its handshake is through.
    virtual void Greet(bool implicitTls = false) = 0;
    // The server stops: "421 Shutting system down." and close.
    virtual void ShutdownSession() = 0;
    // A console asked for this session to go.
    virtual void Disconnect() = 0;
    // The slot serves nobody now: what only a client needs (buffers, compression state) is
    // given back, so that a large pool costs little until it is used.
    virtual void ReleaseMemory() {}

    virtual std::string UserName() const = 0;
    virtual std::string Password() const = 0;
    virtual std::string LastCommandLine() const = 0;
    virtual std::string CurrentFolder() const = 0;
    virtual platform::Time32 LoginTime() const = 0;
    // 1 client or network, 2 idle, 3 failed logins, 4 shut-down, 5 error, 0 none.
    virtual int CloseReason() const = 0;
    // The session's transfer figures (the session record's version 2 items).
    virtual void FillFigures(CFtpConnMsg& /*record*/) const {}

    CFtpServerController* Controller() const { return controller_; }

    uint64_t sessionNumber = 0;
    int activeIndex = -1;

protected:
    CFtpServerController* controller_;
};
