#pragma once
// The receiving end of socket events. Sockets raise events on their owner while the engine
// dispatches readiness; the owner only posts them through its sink, and the loop later calls
// the matching handler here, in posting order.

#include <atomic>
#include <cstdint>

#include "net/FtpSocket.h"
#include "platform/Clock.h"

class CFtpListener;

// Hands an event to the loop thread. Never blocks and never calls protocol code.
class CFtpEventSink {
public:
    virtual ~CFtpEventSink() = default;
    virtual void Post(uint32_t code, CFtpListener* connection, CFtpSocket* socket) = 0;
    // Queues EV_DRAINED behind everything posted so far; a sink without a queue drops it.
    virtual void PostDrained(CFtpListener* /*connection*/, uint32_t /*mark*/) {}
};

class CFtpListener : public CSocketEventTarget {
public:
    explicit CFtpListener(CFtpEventSink* sink) : sink_(sink) {}
    ~CFtpListener() override = default;

    virtual bool Create();
    virtual void OnConnect(CFtpSocket* socket, bool ok);
    virtual void OnClose(CFtpSocket* socket);
    virtual void OnSend(CFtpSocket* socket);
    virtual void OnReceive(CFtpSocket* socket);
    virtual void OnAccept(CFtpSocket* socket);
    virtual void OnTick();
    virtual void OnTlsStart(CFtpSocket* socket);
    virtual void OnTlsEnd(CFtpSocket* socket);
    virtual void OnTlsFailed(CFtpSocket* socket);
    // Every event posted before PostDrained(this, mark) has been handled.
    virtual void OnDrained(uint32_t mark);
    // One of the requests a controller posts to a session (EV_GREET ... EV_KICK).
    virtual void OnRequest(uint32_t /*code*/) {}
    void Notify(uint32_t code, CFtpSocket* socket) override;

    CFtpEventSink* Sink() const { return sink_; }
    platform::Time32 CreatedTime() const { return created_; }
    platform::Time32 LastEventTime() const { return lastEvent_; }

    // A connection with nothing to do until a given time is left out of its controller's
    // ticks (so ten thousand idle sessions cost no ticks); any event it handles, or a new
    // configuration, ends that.
    bool QuietAt(platform::Time32 now) const {
        return now < quietUntil_.load(std::memory_order_relaxed);
    }
    void EndQuiet() {
        if (quietUntil_.load(std::memory_order_relaxed) != 0)
            quietUntil_.store(0, std::memory_order_relaxed);
    }

protected:
    void Stamp() { lastEvent_ = platform::Clock::Now(); }
    void QuietUntil(platform::Time32 time) { quietUntil_.store(time, std::memory_order_relaxed); }

    CFtpEventSink* sink_;
    platform::Time32 created_ = 0;
    platform::Time32 lastEvent_ = 0;
    std::atomic<platform::Time32> quietUntil_{0};
};
