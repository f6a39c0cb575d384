#pragma once
// What the server controller needs of a pooled FTP session (the session itself lives above
// the engine): start it for a new client, shut it down, and read what the session list shows.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/FtpConnection.h"
#include "messages/MsgObjects.h"

class CFtpServerController;
class CSessionLoop;

// What displays on other threads read of a session: the session copies it on its own thread
// under the controller's lock (UpdateSessionInfo), and they read it under the same lock.
struct SessionView {
    bool hasUser = false;
    std::string user, password;
    std::string root;  // the user's own folder, when "pub" stands for it
    uint64_t userUploads = 0, userDownloads = 0;
    std::string lastCommand;
    platform::Time32 loginTime = 0;
    // Files this pool object has moved over all its sessions.
    uint64_t slotUploads = 0, slotDownloads = 0;
    CFtpConnMsg figures;  // the session record's version 2 items
};

class CFtpPooledSession : public CFtpConnection {
public:
    CFtpPooledSession(CFtpServerController* controller, CFtpEventSink* sink)
        : CFtpConnection(sink), controller_(controller) {}

    // The loop the slot lives on (null: the loop of whoever calls, as in a single-loop
    // program). Set once, when the pool is made.
    void SetLoop(CSessionLoop* loop, int index) {
        loop_ = loop;
        loopIndex_ = index;
    }
    CSessionLoop* Loop() const { return loop_; }
    int LoopIndex() const { return loopIndex_; }

    // Called by the controller on its own thread; each is carried out on the session's loop.
    // Admit: the client just accepted into the control socket is greeted.
    // proxied: the connection comes from a trusted load balancer; its PROXY header is read
    // first and the client it names goes through admission (AdmitProxiedClient) before the
    // greeting.
    void Admit(bool implicitTls, bool proxied = false);
    void RequestShutdown();
    void RequestDisconnect();
    void OnRequest(uint32_t code) override;

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
    // Session thread, under the controller's lock: what displays show of the session.
    virtual void FillView(SessionView& view) const;

    CFtpServerController* Controller() const { return controller_; }

    uint64_t sessionNumber = 0;
    int activeIndex = -1;
    SessionView view;  // under the controller's lock

protected:
    // Session thread: gets the slot ready for the client just accepted (the control socket
    // holds it already), before Greet.
    virtual void TakeUp() {}

    // Session thread, while the PROXY header of a balancer's connection is awaited: the
    // control connection's bytes are the header's. ReadProxyHeader takes what has arrived;
    // ProxyHeaderOverdue closes a connection whose header did not come in time.
    bool ProxyHeaderPending() const { return proxyPending_; }
    void ReadProxyHeader();
    bool ProxyHeaderOverdue(platform::Time32 now);
    static constexpr platform::Time32 kProxyHeaderSeconds = 10;
    // Ends the connection without a word (a refused or broken PROXY header).
    virtual void DropClient() = 0;
    // Sends a request to the session's loop, or carries it out at once on that loop.
    void Request(uint32_t code);

    CFtpServerController* controller_;
    CSessionLoop* loop_ = nullptr;
    int loopIndex_ = 0;
    // The session serves a client: set when it takes one up, cleared when it is released;
    // events of an earlier client arriving late (a tick) find it unset. Session thread only.
    bool admitted_ = false;

private:
    void EndProxyHeader(const std::string& problem);

    bool proxyPending_ = false, proxyImplicit_ = false;
    platform::Time32 proxyStart_ = 0;
    std::vector<uint8_t> proxyBytes_;  // the header's bytes taken so far
};
