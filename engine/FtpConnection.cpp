#include "engine/FtpConnection.h"

#include <new>

CFtpConnection::~CFtpConnection() {
    CFtpConnection::DeleteSockets();
}

bool CFtpConnection::Create() {
    CFtpListener::Create();
    try {
        primarySocket_ = CreatePrimarySocket(this);
        secondarySocket_ = CreateSecondarySocket(this);
        tertiarySocket_ = CreateTertiarySocket(this);
    } catch (const std::bad_alloc&) {
        DeleteSockets();
        return false;
    }
    if (primarySocket_ && secondarySocket_ && tertiarySocket_) return true;
    ReportError("Failed to create connection sockets");
    return false;
}

void CFtpConnection::OnClose(CFtpSocket* socket) {
    Stamp();
    if (socket) socket->Close();
}

void CFtpConnection::OnTick() {
    Stamp();
}

void CFtpConnection::CloseSockets() {
    for (CFtpSocket* socket : {primarySocket_, secondarySocket_, tertiarySocket_})
        if (socket) socket->Close();
}

void CFtpConnection::DeleteSockets() {
    for (CFtpSocket** socket : {&primarySocket_, &secondarySocket_, &tertiarySocket_}) {
        delete *socket;
        *socket = nullptr;
    }
}

CFtpSocket* CFtpConnection::CreateTertiarySocket(CFtpConnection* owner) {
    return CreateSecondarySocket(owner);
}

void CFtpConnection::ReportError(const std::string&) {}
