#pragma once
// The loop thread's event window: the sink that posts socket events into the loop's queue,
// and the router that calls the connection's handler for each event taken from it.

#include "engine/FtpListener.h"
#include "net/SocketEngine.h"
#include "platform/EventLoop.h"

class CMsgWnd : public CFtpEventSink {
public:
    // Registers itself as the loop's handler of posted events, and has the loop serve the
    // readiness of the sockets at home in sockets (the main loop's unless given).
    explicit CMsgWnd(platform::EventLoop& loop, CSocketLoop* sockets = nullptr);
    ~CMsgWnd() override;
    CMsgWnd(const CMsgWnd&) = delete;
    CMsgWnd& operator=(const CMsgWnd&) = delete;

    void Post(uint32_t code, CFtpListener* connection, CFtpSocket* socket) override;
    void PostDrained(CFtpListener* connection, uint32_t mark) override;

    // Calls the handler for one event; false for a code that is not a socket event.
    static bool Route(uint32_t code, CFtpListener* connection, CFtpSocket* socket,
                      uint32_t mark = 0);

    platform::EventLoop& Loop() { return loop_; }
    CSocketLoop& Sockets() { return sockets_; }

private:
    platform::EventLoop& loop_;
    CSocketLoop& sockets_;
};
