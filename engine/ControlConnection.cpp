#include "engine/ControlConnection.h"

#include <cstring>
#include <new>

#include "config/IpRules.h"
#include "config/SettingNames.h"
#include "engine/ThrottleStore.h"
#include "messages/ThrottleData.h"
#include "net/HostAddress.h"
#include "net/SocketEngine.h"
#include "net/ThrottleSchedule.h"

namespace {
uint32_t GetU32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
}  // namespace

CFtpControlConnection::CFtpControlConnection(CFtpEventSink* sink) : CFtpConnection(sink) {}

CFtpControlConnection::~CFtpControlConnection() = default;

bool CFtpControlConnection::InitConsole(bool consoleEnabled) {
    if (!CFtpConnection::Create()) return false;
    try {
        consoleEnabled_ = consoleEnabled;
        try {
            sendBuffer_.assign(kBufferSize, 0);
            receiveBuffer_.assign(kBufferSize, 0);
            refusedConsole_ = std::make_unique<CFtpSocket>(this);
        } catch (const std::bad_alloc&) {
            ReportError("Failed to allocate control connection buffers");
            return false;
        }
        if (!EngineBool(settings_, setting::SysConsoleState) || !consoleEnabled) return true;
        int port = 0;
        if (!settings_.GetInt(setting::SysConsolePort, port) || port < 2) port = 1;
        port &= 0xFFFF;
        std::string bindAddress = CSocketEngine::Instance().BindAddress();
        int verify =
            EngineBool(settings_, setting::SysConsoleAuthPeer) ? VERIFY_REQUIRED : VERIFY_NONE;
        if (!primarySocket_->CreateWithMode(port, SOCK_STREAM, bindAddress.c_str(), verify) ||
            !primarySocket_->Listen(1)) {
            primarySocket_->Close();
            ReportError("Failed to create remote console listen socket (" +
                        AddressPortText(bindAddress, port) + ")");
            return false;
        }
        // The wildcards and 127.0.0.1 itself serve a console on this machine already (:: is
        // dual-stack).
        if (bindAddress != "0.0.0.0" && bindAddress != "::" && bindAddress != "127.0.0.1") {
            localListenSocket_ = std::make_unique<CFtpSocket>(this);
            if (!localListenSocket_->CreateWithMode(port, SOCK_STREAM, "127.0.0.1",
                                                    VERIFY_FROM_CONTEXT) ||
                !localListenSocket_->Listen(1)) {
                char text[96];
                std::snprintf(text, sizeof text,
                              "Failed to create local console listen socket (port %d)", port);
                ReportError(text);
                return false;
            }
        }
        return true;
    } catch (...) {
        ReportError("Unknown exception in control connection initialization");
        return false;
    }
}

bool CFtpControlConnection::CanSendMessage() {
    return secondarySocket_ && secondarySocket_->IsOpen() && pendingSend_ == 0;
}

uint32_t CFtpControlConnection::FrameLength() const {
    return GetU32(receiveBuffer_.data() + 4);
}

bool CFtpControlConnection::FrameOutgrowsBuffer() const {
    return received_ >= kHeaderSize && uint64_t{FrameLength()} + kHeaderSize > kBufferSize;
}

bool CFtpControlConnection::HasMessage() const {
    return received_ >= kHeaderSize && uint64_t{received_} >= uint64_t{FrameLength()} + kHeaderSize;
}

int CFtpControlConnection::PeekMessageType() const {
    return HasMessage() ? receiveBuffer_[0] : 0;
}

bool CFtpControlConnection::ConnectConsole(const std::string& address, int port) {
    if (secondarySocket_->IsOpen()) return false;
    std::string bindAddress = CSocketEngine::Instance().BindAddress();
    return secondarySocket_->CreateWithMode(0, SOCK_STREAM, bindAddress.c_str(),
                                            VERIFY_FROM_CONTEXT) &&
           secondarySocket_->Connect(address, port);
}

bool CFtpControlConnection::SendMessage(int type, CFtpMsgObject& message) {
    std::vector<uint8_t> payload;
    try {
        payload = StoreMessage(message, kBufferSize - kHeaderSize);
    } catch (...) {
        return false;
    }
    PutU32(sendBuffer_.data(), static_cast<uint32_t>(type));
    PutU32(sendBuffer_.data() + 4, static_cast<uint32_t>(payload.size()));
    std::memcpy(sendBuffer_.data() + kHeaderSize, payload.data(), payload.size());
    pendingSend_ = static_cast<uint32_t>(payload.size() + kHeaderSize);
    int sent = secondarySocket_->Send(sendBuffer_.data(), static_cast<int>(pendingSend_));
    if (sent < 0) {
        CloseConsoleConnection();
        return false;
    }
    if (sent > 0) {
        std::memmove(sendBuffer_.data(), sendBuffer_.data() + sent,
                     pendingSend_ - static_cast<uint32_t>(sent));
        pendingSend_ -= static_cast<uint32_t>(sent);
    }
    return true;
}

bool CFtpControlConnection::ReceiveMessage(CFtpMsgObject& message) {
    if (!HasMessage()) return false;
    uint32_t length = FrameLength();
    try {
        LoadMessage(message, receiveBuffer_.data() + kHeaderSize, length);
    } catch (...) {
        return false;
    }
    uint32_t frame = length + static_cast<uint32_t>(kHeaderSize);
    std::memmove(receiveBuffer_.data(), receiveBuffer_.data() + frame, received_ - frame);
    received_ -= frame;
    return true;
}

void CFtpControlConnection::CloseConsole() {
    primarySocket_->Close();
    secondarySocket_->Close();
    if (localListenSocket_) localListenSocket_->Close();
}

void CFtpControlConnection::ResetConsoleBuffers() {
    pendingSend_ = 0;
    received_ = 0;
    request_ = CFtpReqMsg();
}

void CFtpControlConnection::CloseConsoleConnection() {
    secondarySocket_->Close();
}

bool CFtpControlConnection::PasswordAccepted() const {
    std::string password;
    settings_.GetString(setting::SysConsolePass, password);
    return request_.password == password;
}

// ---- events ----

void CFtpControlConnection::AdmitConsole(CFtpSocket* socket, bool tlsClientRole) {
    std::string peer;
    int port = 0;
    if (!socket->GetPeerName(peer, port)) return socket->Close();
    // A console on this machine is trusted in plain text, whatever the rules say.
    bool local = IsLoopbackText(peer);
    if (!local && !CheckAddress(peer)) return socket->Close();
    if (!local && !socket->SetTlsRole(tlsClientRole ? TLS_CLIENT : TLS_SERVER))
        return socket->Close();
    ResetConsoleBuffers();
    socket->SetBudgetExempt(true);
}

void CFtpControlConnection::OnAccept(CFtpSocket* socket) {
    CFtpConnection::OnAccept(socket);
    if (socket != primarySocket_ && socket != localListenSocket_.get()) return;
    if (secondarySocket_->IsOpen()) {
        // One console at a time: the next is taken and dropped without a word.
        if (socket->Accept(*refusedConsole_) != 0) refusedConsole_->Close();
        return;
    }
    if (socket->Accept(*secondarySocket_) == 0 || !secondarySocket_->IsOpen()) return;
    if (!consoleEnabled_) return secondarySocket_->Close();
    AdmitConsole(secondarySocket_, false);
}

void CFtpControlConnection::OnConnect(CFtpSocket* socket, bool ok) {
    CFtpConnection::OnConnect(socket, ok);
    if (socket != secondarySocket_) return;
    if (!ok) return secondarySocket_->Close();
    if (consoleEnabled_) return;
    AdmitConsole(secondarySocket_, true);
}

void CFtpControlConnection::OnTlsEnd(CFtpSocket* socket) {
    CFtpConnection::OnTlsEnd(socket);
    if (socket == secondarySocket_) CloseConsoleConnection();
}

void CFtpControlConnection::OnTlsFailed(CFtpSocket* socket) {
    CFtpConnection::OnTlsFailed(socket);
    if (socket == secondarySocket_) CloseConsoleConnection();
}

void CFtpControlConnection::OnReceive(CFtpSocket* socket) {
    CFtpConnection::OnReceive(socket);
    if (socket != secondarySocket_ || !socket->IsOpen()) return;
    uint32_t space = static_cast<uint32_t>(kBufferSize) - received_;
    if (space == 0) {
        socket->SetReadWanted(true);
    } else {
        int n = socket->Receive(receiveBuffer_.data() + received_, static_cast<int>(space));
        if (n < 0) return CloseConsoleConnection();
        received_ += static_cast<uint32_t>(n);
    }
    // A frame that cannot fit the buffer would never complete: end such a console at once.
    if (FrameOutgrowsBuffer()) return CloseConsoleConnection();
    if (consoleEnabled_ && HasMessage()) {
        HandleFrame();
        // One frame per receive event; for a further one already here the socket will not
        // become readable again, so the event is raised here.
        if (secondarySocket_->IsOpen() && HasMessage()) Notify(EV_RECEIVE, secondarySocket_);
    }
    if (secondarySocket_->IsOpen()) OnConsoleRequest();
}

void CFtpControlConnection::HandleFrame() {
    std::string password;
    settings_.GetString(setting::SysConsolePass, password);
    switch (PeekMessageType()) {
        case MSG_REQUEST: {
            CFtpReqMsg newer;
            // A frame that does not read as a request would block the channel for good.
            if (!ReceiveMessage(newer)) return CloseConsoleConnection();
            request_.Merge(newer);
            if (request_.password != password) CloseConsoleConnection();
            return;
        }
        case MSG_THROTTLE: {
            CFtpThrottleData schedule;
            if (!ReceiveMessage(schedule)) return CloseConsoleConnection();
            if (schedule.password != password) return CloseConsoleConnection();
            schedule.password.clear();
            ReplaceThrottleSchedule(schedule);
            SaveThrottleSchedule(schedule);
            return;
        }
        default:
            return CloseConsoleConnection();
    }
}

void CFtpControlConnection::OnSend(CFtpSocket* socket) {
    CFtpConnection::OnSend(socket);
    if (socket != secondarySocket_ || !socket->IsOpen()) return;
    if (pendingSend_ == 0) {
        socket->SetWriteWanted(true);  // served again at the next tick
    } else {
        int sent = socket->Send(sendBuffer_.data(), static_cast<int>(pendingSend_));
        if (sent < 0) return CloseConsoleConnection();
        std::memmove(sendBuffer_.data(), sendBuffer_.data() + sent,
                     pendingSend_ - static_cast<uint32_t>(sent));
        pendingSend_ -= static_cast<uint32_t>(sent);
    }
    try {
        if (consoleEnabled_ && PasswordAccepted() && CanSendMessage()) ServeRequest();
    } catch (...) {
        // A failed snapshot must not take the loop down; the request is tried again.
    }
}

void CFtpControlConnection::ServeRequest() {
    CFtpReqMsg& r = request_;
    if (r.systemInfo) {
        CFtpSysMsg message;
        if (!FillSysMsg(message)) return;
        // The address is for consoles that ask in the request version that knows it.
        if ((r.version & 0xFF) < CFtpReqMsg::kBansVersion &&
            (message.version & 0xFF) >= CFtpSysMsg::kAddressVersion)
            message.version = CFtpSysMsg::kAddressVersion - 1;
        if (!SendMessage(MSG_SYSTEM, message)) return;
        r.systemInfo = 0;
    }
    if (r.osInfo) {
        CFtpOsMsg message;
        if (!FillOsMsg(message) || !SendMessage(MSG_OS, message)) return;
        r.osInfo = 0;
    }
    if (r.transfers && SendTransferStats()) r.transfers = 0;
    if (r.users && SendUserStats()) r.users = 0;
    if (r.network && SendNetStats()) r.network = 0;
    if (r.throttle && SendThrottle()) r.throttle = 0;
    if (r.sessions && !SendConnections()) r.sessions = 0;
    if (r.sharePoints && !SendSharePoints()) r.sharePoints = 0;
    if (r.events && !SendEvents()) r.events = 0;
    if (r.fileEvents && !SendFileEvents()) r.fileEvents = 0;
    if (r.bans && !SendBans()) r.bans = 0;
    if (r.reportKind != 0) {
        if (r.reportIndex < 0 || SendReport(r.reportKind, r.reportIndex)) {
            r.reportKind = 0;
            r.reportIndex = -1;
        }
    }
}

bool CFtpControlConnection::SendThrottle() {
    if (!CanSendMessage()) return false;
    CFtpThrottleData copy = CopyThrottleSchedule();
    return SendMessage(MSG_THROTTLE, copy);
}
