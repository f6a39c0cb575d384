#pragma once
// The socket type that connections own: every readiness and TLS notification becomes an event
// code raised on the owner, which posts it to the loop thread.

#include "net/EventCodes.h"
#include "net/SslSocket.h"

class CFtpSocket;

// Whoever receives a socket's events (the connection objects).
class CSocketEventTarget {
public:
    virtual ~CSocketEventTarget() = default;
    virtual void Notify(uint32_t code, CFtpSocket* socket) = 0;
};

class CFtpSocket : public CSslSocket {
public:
    explicit CFtpSocket(CSocketEventTarget* owner) : owner_(owner) {}
    ~CFtpSocket() override;

    CSocketEventTarget* Owner() const { return owner_; }

protected:
    void OnAccept(int error) override;
    void OnConnect(int error) override;
    void OnSend(int error) override;
    void OnReceive(int error) override;
    void OnClose(int error) override;
    void NotifyTlsStarted() override;
    void NotifyTlsEnded() override;
    void NotifyTlsFailed() override;

private:
    CSocketEventTarget* owner_;
};
