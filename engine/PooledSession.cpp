#include "engine/PooledSession.h"

#include "engine/ServerController.h"
#include "engine/SessionLoop.h"

void CFtpPooledSession::Request(uint32_t code) {
    if (!loop_ || loop_->OnLoopThread()) return OnRequest(code);
    // Tagged with the control connection's use: a request for a client that has gone by the
    // time it arrives does not reach the next one.
    sink_->Post(code, this, primarySocket_);
}

void CFtpPooledSession::Admit(bool implicitTls) {
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
            TakeUp();
            admitted_ = true;
            if (primarySocket_) primarySocket_->Awaken();
            Greet(code == EV_GREET_TLS);
            controller_->UpdateSessionInfo(this);
            break;
        case EV_SHUTDOWN:
            if (admitted_) ShutdownSession();
            break;
        case EV_KICK:
            if (admitted_) Disconnect();
            break;
        default:
            break;
    }
}

void CFtpPooledSession::FillView(SessionView& shown) const {
    shown.hasUser = !UserName().empty();
    shown.user = UserName();
    shown.password = Password();
    shown.lastCommand = LastCommandLine();
    shown.loginTime = LoginTime();
}
