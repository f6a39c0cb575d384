#include "engine/FtpListener.h"

bool CFtpListener::Create() {
    created_ = platform::Clock::Now();
    return true;
}

void CFtpListener::OnConnect(CFtpSocket*, bool) {
    Stamp();
}
void CFtpListener::OnClose(CFtpSocket*) {
    Stamp();
}
void CFtpListener::OnSend(CFtpSocket*) {
    Stamp();
}
void CFtpListener::OnReceive(CFtpSocket*) {
    Stamp();
}
void CFtpListener::OnAccept(CFtpSocket*) {
    Stamp();
}
void CFtpListener::OnTick() {
    Stamp();
}
void CFtpListener::OnTlsStart(CFtpSocket*) {
    Stamp();
}
void CFtpListener::OnTlsEnd(CFtpSocket*) {
    Stamp();
}
void CFtpListener::OnTlsFailed(CFtpSocket*) {
    Stamp();
}

void CFtpListener::OnDrained(uint32_t) {
    Stamp();
}

void CFtpListener::Notify(uint32_t code, CFtpSocket* socket) {
    sink_->Post(code, this, socket);
}
