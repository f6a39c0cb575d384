#include "engine/MsgWnd.h"

#include "net/SocketEngine.h"

CMsgWnd::CMsgWnd(platform::EventLoop& loop, CSocketLoop* sockets)
    : loop_(loop), sockets_(sockets ? *sockets : CSocketEngine::Instance().MainLoop()) {
    loop_.SetHandler([](const platform::PostedEvent& event) {
        auto* socket = static_cast<CFtpSocket*>(event.second);
        // A pooled socket object may have been bound to a new connection since this event
        // was raised; the event belongs to the old one and must not reach the new.
        if (socket && socket->Generation() != event.tag) return;
        Route(event.code, static_cast<CFtpListener*>(event.first), socket, event.tag);
    });
    // The loop finds ready sockets itself: their readiness is one more descriptor it waits on.
    CSocketLoop& ready = sockets_;
    loop_.AddReader(ready.ReadinessFd(), [&ready] { ready.ServeReady(); });
    loop_.SetBatchHooks([&ready] { ready.BeginBatch(); },
                        [this] { sockets_.EndBatch([this] { return loop_.PendingCount() > 0; }); });
}

CMsgWnd::~CMsgWnd() {
    loop_.RemoveReader(sockets_.ReadinessFd());
    loop_.SetBatchHooks(nullptr, nullptr);
}

void CMsgWnd::Post(uint32_t code, CFtpListener* connection, CFtpSocket* socket) {
    loop_.Post(code, connection, socket, socket ? socket->Generation() : 0);
}

void CMsgWnd::PostDrained(CFtpListener* connection, uint32_t mark) {
    loop_.Post(EV_DRAINED, connection, nullptr, mark);
}

// Connections outlive every event posted for them, so the pointer is used as it comes.
// The TLS events are routed too: a session must learn that its handshake failed.
bool CMsgWnd::Route(uint32_t code, CFtpListener* connection, CFtpSocket* socket, uint32_t mark) {
    if (code != EV_TICK) connection->EndQuiet();
    switch (code) {
        case EV_CONNECT_FAILED:
            connection->OnConnect(socket, false);
            return true;
        case EV_ACCEPT:
            connection->OnAccept(socket);
            return true;
        case EV_CONNECT:
            connection->OnConnect(socket, true);
            return true;
        case EV_SEND:
            connection->OnSend(socket);
            return true;
        case EV_RECEIVE:
            connection->OnReceive(socket);
            return true;
        case EV_CLOSE:
            connection->OnClose(socket);
            return true;
        case EV_TICK:
            connection->OnTick();
            return true;
        case EV_TLS_START:
            connection->OnTlsStart(socket);
            return true;
        case EV_TLS_END:
            connection->OnTlsEnd(socket);
            return true;
        case EV_TLS_FAILED:
            connection->OnTlsFailed(socket);
            return true;
        case EV_DRAINED:
            connection->OnDrained(mark);
            return true;
        case EV_GREET:
        case EV_GREET_TLS:
        case EV_SHUTDOWN:
        case EV_KICK:
        case EV_GREET_PROXY:
        case EV_GREET_TLS_PROXY:
        case EV_PROXY_ADMIT:
            connection->OnRequest(code);
            return true;
        default:
            return false;
    }
}
