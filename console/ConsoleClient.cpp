#include "console/ConsoleClient.h"

CConsoleClient::CConsoleClient(CFtpEventSink* sink) : CFtpControlConnection(sink) {}

CFtpSocket* CConsoleClient::CreatePrimarySocket(CFtpConnection* owner) {
    return new CFtpSocket(owner);
}

CFtpSocket* CConsoleClient::CreateSecondarySocket(CFtpConnection* owner) {
    return new CFtpSocket(owner);
}

void CConsoleClient::Restart() {
    CloseConsoleConnection();
    ready_ = connectFailed_ = tlsFailed_ = closed_ = false;
    protocolError_.clear();
    pendingSessions_.clear();
    pendingBans_.clear();
    reports_ = 0;
    ResetConsoleBuffers();
}

bool CConsoleClient::Open() {
    return secondarySocket_ && secondarySocket_->IsOpen();
}

void CConsoleClient::OnConnect(CFtpSocket* socket, bool ok) {
    CFtpControlConnection::OnConnect(socket, ok);
    if (socket != secondarySocket_) return;
    if (!ok) {
        connectFailed_ = true;
        return;
    }
    // Plain text to 127.0.0.1 is ready at once; elsewhere the handshake has begun.
    if (socket->IsOpen() && !socket->IsTlsRoleSet()) ready_ = true;
}

bool CConsoleClient::Ready() {
    if (!ready_ && secondarySocket_->IsOpen() && secondarySocket_->IsTlsRoleSet() &&
        secondarySocket_->TlsEstablished())
        ready_ = true;
    return ready_ && secondarySocket_->IsOpen();
}

void CConsoleClient::OnReceive(CFtpSocket* socket) {
    CFtpControlConnection::OnReceive(socket);
    // The channel drops a frame too long for its buffer: what came is not a console's.
    if (socket != secondarySocket_ || socket->IsOpen()) return;
    if (FrameOutgrowsBuffer() && protocolError_.empty())
        protocolError_ =
            "what the server sent is not a console message (is this its console port?)";
}

void CConsoleClient::OnClose(CFtpSocket* socket) {
    if (socket == secondarySocket_) closed_ = true;
    CFtpControlConnection::OnClose(socket);
}

void CConsoleClient::OnTlsFailed(CFtpSocket* socket) {
    if (socket == secondarySocket_ && !Ready()) tlsFailed_ = true;
    CFtpControlConnection::OnTlsFailed(socket);
}

bool CConsoleClient::Send(int type, CFtpMsgObject& message) {
    if (!CanSendMessage()) return false;
    return SendMessage(type, message);
}

int CConsoleClient::TakeReports() {
    int reports = reports_;
    reports_ = 0;
    return reports;
}

void CConsoleClient::OnConsoleRequest() {
    while (secondarySocket_->IsOpen() && HasMessage()) File(PeekMessageType());
}

void CConsoleClient::File(int type) {
    std::unique_ptr<CFtpMsgObject> message = CreateMessage(type);
    if (!message || !ReceiveMessage(*message)) {
        protocolError_ = message
                             ? "the server sent a message of type " + std::to_string(type) +
                                   " that does not read as one"
                             : "the server sent a message of unknown type " + std::to_string(type);
        CloseConsoleConnection();
        return;
    }
    ConsoleSnapshot& s = snapshot_;
    switch (type) {
        case MSG_SYSTEM:
            s.system = static_cast<CFtpSysMsg&>(*message);
            break;
        case MSG_OS:
            s.os = static_cast<CFtpOsMsg&>(*message);
            break;
        case MSG_CONNECTION: {
            auto& record = static_cast<CFtpConnMsg&>(*message);
            // The empty record ends a list.
            if (record.index < 0 && record.peerAddress.empty()) {
                s.sessions = std::move(pendingSessions_);
                s.sessionsComplete = true;
                pendingSessions_.clear();
            } else {
                pendingSessions_.push_back(record);
            }
            break;
        }
        case MSG_EVENT:
            s.events.push_back(static_cast<CFtpEventMsg&>(*message));
            break;
        case MSG_REPORT:
            ++reports_;
            break;
        case MSG_TRANSFER:
            s.transfers = static_cast<CFtpXferMsg&>(*message);
            break;
        case MSG_USER:
            s.users = static_cast<CFtpUserMsg&>(*message);
            break;
        case MSG_NETWORK:
            s.network = static_cast<CFtpNetMsg&>(*message);
            break;
        case MSG_THROTTLE:
            s.schedule = static_cast<CFtpThrottleData&>(*message);
            break;
        case MSG_FILE_EVENT:
            s.fileEvents.push_back(static_cast<CFtpFileEventMsg&>(*message));
            if (s.fileEvents.size() > ConsoleSnapshot::kMostFileEvents) s.fileEvents.pop_front();
            break;
        case MSG_BAN: {
            auto& record = static_cast<CFtpBanMsg&>(*message);
            if (record.address.empty()) {
                s.bans = std::move(pendingBans_);
                s.banEnd = record;
                pendingBans_.clear();
            } else {
                pendingBans_.push_back(record);
            }
            break;
        }
        default:
            break;  // share points: nothing of ours asks for them
    }
}
