#pragma once
// A running socket engine, a loop thread (the test's own thread) and connections that record
// every event they are given.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/FtpConnection.h"
#include "engine/MsgWnd.h"
#include "net/SocketEngine.h"
#include "platform/EventLoop.h"

namespace testsupport {

struct SeenEvent {
    uint32_t code;
    CFtpSocket* socket;
};

// A connection whose handlers record each event and then run an optional reaction.
class RecordingConnection : public CFtpConnection {
public:
    explicit RecordingConnection(CFtpEventSink* sink) : CFtpConnection(sink) {}

    CFtpSocket* CreatePrimarySocket(CFtpConnection* owner) override {
        return new CFtpSocket(owner);
    }
    CFtpSocket* CreateSecondarySocket(CFtpConnection* owner) override {
        return new CFtpSocket(owner);
    }
    void ReportError(const std::string& text) override { errors.push_back(text); }

    void OnConnect(CFtpSocket* s, bool ok) override {
        CFtpConnection::OnConnect(s, ok);
        Seen(ok ? EV_CONNECT : EV_CONNECT_FAILED, s);
    }
    void OnClose(CFtpSocket* s) override {
        if (closeSocketsOnClose)
            CFtpConnection::OnClose(s);
        else
            CFtpListener::OnClose(s);
        Seen(EV_CLOSE, s);
    }
    void OnSend(CFtpSocket* s) override {
        CFtpConnection::OnSend(s);
        Seen(EV_SEND, s);
    }
    void OnReceive(CFtpSocket* s) override {
        CFtpConnection::OnReceive(s);
        Seen(EV_RECEIVE, s);
    }
    void OnAccept(CFtpSocket* s) override {
        CFtpConnection::OnAccept(s);
        Seen(EV_ACCEPT, s);
    }
    void OnTick() override {
        CFtpConnection::OnTick();
        Seen(EV_TICK, nullptr);
    }
    void OnTlsStart(CFtpSocket* s) override {
        CFtpConnection::OnTlsStart(s);
        Seen(EV_TLS_START, s);
    }
    void OnTlsEnd(CFtpSocket* s) override {
        CFtpConnection::OnTlsEnd(s);
        Seen(EV_TLS_END, s);
    }
    void OnTlsFailed(CFtpSocket* s) override {
        CFtpConnection::OnTlsFailed(s);
        Seen(EV_TLS_FAILED, s);
    }

    int Count(uint32_t code, CFtpSocket* socket = nullptr) const;
    void Clear() { events.clear(); }

    std::vector<SeenEvent> events;
    std::vector<std::string> errors;
    std::function<void(uint32_t, CFtpSocket*)> react;
    bool closeSocketsOnClose = true;

private:
    void Seen(uint32_t code, CFtpSocket* s) {
        events.push_back({code, s});
        if (react) react(code, s);
    }
};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the loop (with the 75 ms engine tick) until done() or timeoutMs pass.
    bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
    // Runs the loop for a while, for checks that something does NOT happen.
    void PumpFor(int milliseconds);

    platform::EventLoop loop;
    CMsgWnd window{loop};
    CSocketEngine& engine = CSocketEngine::Instance();
    int tickTimer = 0;
};

// A plain blocking client socket connected to 127.0.0.1:port.
int ConnectBlocking(int port);
// Sends line and CR LF whole; false if the socket took less.
bool SendLine(int fd, const std::string& line);
// A listening socket of our own on 127.0.0.1 at an ephemeral port.
int ListenBlocking(int& port);

}  // namespace testsupport
