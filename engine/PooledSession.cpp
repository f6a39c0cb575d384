#include "engine/PooledSession.h"

#include <cstring>

#include "engine/ServerController.h"
#include "engine/SessionLoop.h"
#include "metrics/ServerCounters.h"
#include "net/ProxyHeader.h"
#include "platform/Clock.h"
#include "platform/Log.h"

void CFtpPooledSession::Request(uint32_t code) {
    if (!loop_ || loop_->OnLoopThread()) return OnRequest(code);
    // Tagged with the control connection's use: a request for a client that has gone by the
    // time it arrives does not reach the next one.
    sink_->Post(code, this, primarySocket_);
}

void CFtpPooledSession::Admit(bool implicitTls, bool proxied) {
    if (proxied) return Request(implicitTls ? EV_GREET_TLS_PROXY : EV_GREET_PROXY);
    Request(implicitTls ? EV_GREET_TLS : EV_GREET);
}

void CFtpPooledSession::RequestShutdown() {
    Request(EV_SHUTDOWN);
}

void CFtpPooledSession::RequestDisconnect() {
    Request(EV_KICK);
}

void CFtpPooledSession::OnRequest(uint32_t code) {
    switch (code) {
        case EV_GREET:
        case EV_GREET_TLS:
        case EV_GREET_PROXY:
        case EV_GREET_TLS_PROXY:
            TakeUp();
            admitted_ = true;
            // A balancer's connection is greeted once its PROXY header names the client.
            proxyPending_ = code == EV_GREET_PROXY || code == EV_GREET_TLS_PROXY;
            proxyImplicit_ = code == EV_GREET_TLS || code == EV_GREET_TLS_PROXY;
            proxyStart_ = platform::Clock::Now();
            proxyBytes_.clear();
            if (primarySocket_) primarySocket_->Awaken();
            if (proxyPending_) break;
            Greet(proxyImplicit_);
            controller_->UpdateSessionInfo(this);
            break;
        case EV_PROXY_ADMIT:
            if (!admitted_) break;
            if (!controller_->AdmitProxiedClient(this)) {
                DropClient();
                break;
            }
            Greet(proxyImplicit_);
            controller_->UpdateSessionInfo(this);
            break;
        case EV_SHUTDOWN:
            // A balancer's connection whose header has not come has no client to say
            // goodbye to: it goes at once rather than holding the stop.
            if (admitted_ && proxyPending_) {
                proxyPending_ = false;
                DropClient();
            } else if (admitted_) {
                ShutdownSession();
            }
            break;
        case EV_KICK:
            if (admitted_) Disconnect();
            break;
        default:
            break;
    }
}

void CFtpPooledSession::ReadProxyHeader() {
    if (!proxyPending_ || !primarySocket_) return;
    // What has arrived is peeked at, and only the header's own bytes are taken: the client's
    // first bytes (a TLS hello on the implicit port) stay in the socket for the session.
    uint8_t bytes[kProxyHeaderMax];
    size_t held = proxyBytes_.size();
    if (held) std::memcpy(bytes, proxyBytes_.data(), held);
    int n = primarySocket_->Peek(bytes + held, static_cast<int>(kProxyHeaderMax - held));
    if (n == 0) return;  // nothing yet: read interest is armed
    if (n < 0) return EndProxyHeader("the connection ended before its PROXY header");
    ProxyHeader header;
    size_t consumed = 0;
    std::string problem;
    ProxyParse result =
        ParseProxyHeader(bytes, held + static_cast<size_t>(n), header, consumed, problem);
    if (result == ProxyParse::Bad) return EndProxyHeader(problem);
    if (result == ProxyParse::NeedMore) {
        // Every byte so far is the header's: take them and wait for the rest.
        if (!primarySocket_->Skip(n)) return EndProxyHeader("the PROXY header could not be read");
        proxyBytes_.assign(bytes, bytes + held + static_cast<size_t>(n));
        return;
    }
    if (!primarySocket_->Skip(static_cast<int>(consumed - held)))
        return EndProxyHeader("the PROXY header could not be read");
    proxyPending_ = false;
    proxyBytes_.clear();
    proxyBytes_.shrink_to_fit();
    // LOCAL or UNKNOWN: the balancer's own connection (a health check); it stands for itself.
    if (header.hasAddress) primarySocket_->SetPeerAddress(header.sourceAddress, header.sourcePort);
    // Posted, not called: admission takes the controller's lock, which is never taken inside
    // a socket event.
    sink_->Post(EV_PROXY_ADMIT, this, primarySocket_);
}

bool CFtpPooledSession::ProxyHeaderOverdue(platform::Time32 now) {
    if (!proxyPending_) return false;
    if (now - proxyStart_ < kProxyHeaderSeconds) return false;
    EndProxyHeader("no PROXY header within " + std::to_string(kProxyHeaderSeconds) + " seconds");
    return true;
}

void CFtpPooledSession::EndProxyHeader(const std::string& problem) {
    metrics::Counters().CountRefusal(metrics::Refusal::ProxyHeader);
    proxyPending_ = false;
    proxyBytes_.clear();
    std::string balancer;
    int port = 0;
    if (primarySocket_) primarySocket_->GetPeerName(balancer, port);
    if (platform::Log::On(platform::LogLevel::Warning))
        platform::Log::Write(platform::LogLevel::Warning,
                             (balancer.empty() ? std::string("a load balancer") : balancer) + ": " +
                                 problem + "; closing the connection");
    DropClient();
}

void CFtpPooledSession::FillView(SessionView& shown) const {
    shown.hasUser = !UserName().empty();
    shown.user = UserName();
    shown.password = Password();
    shown.lastCommand = LastCommandLine();
    shown.loginTime = LoginTime();
}
