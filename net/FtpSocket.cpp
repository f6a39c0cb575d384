#include "net/FtpSocket.h"

CFtpSocket::~CFtpSocket() {
    SocketLock lock(Mutex());
    Detach();
}

void CFtpSocket::OnAccept(int) {
    owner_->Notify(EV_ACCEPT, this);
}

void CFtpSocket::OnConnect(int error) {
    owner_->Notify(error == -1 ? EV_CONNECT_FAILED : EV_CONNECT, this);
}

void CFtpSocket::OnSend(int) {
    owner_->Notify(EV_SEND, this);
}
void CFtpSocket::OnReceive(int) {
    owner_->Notify(EV_RECEIVE, this);
}
void CFtpSocket::OnClose(int) {
    owner_->Notify(EV_CLOSE, this);
}
void CFtpSocket::NotifyTlsStarted() {
    owner_->Notify(EV_TLS_START, this);
}
void CFtpSocket::NotifyTlsEnded() {
    owner_->Notify(EV_TLS_END, this);
}
void CFtpSocket::NotifyTlsFailed() {
    owner_->Notify(EV_TLS_FAILED, this);
}
