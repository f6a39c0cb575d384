#include "session/ServerConnection.h"

#include <sys/stat.h>

#include <cstdio>
#include <new>

#include "config/SettingsMap.h"
#include "engine/ServerController.h"
#include "session/Replies.h"

using platform::Clock;

void CurrentOperation::Reset() {
    commandId = 0;
    path.clear();
    state = offset = 0;
    bytesSent = bytesReceived = previousSent = previousReceived = 0;
    time = Clock::Now();
    extra1.clear();
    extra2.clear();
    extraInt1 = -1;
    extraLong = 0;
    extraInt2 = 0;
}

CFtpServerConnection::CFtpServerConnection(CFtpServerController* controller, CFtpEventSink* sink)
    : CFtpPooledSession(controller, sink) {}

CFtpServerConnection::~CFtpServerConnection() {
    CFtpServerConnection::DeleteSockets();
}

CFtpSocket* CFtpServerConnection::CreatePrimarySocket(CFtpConnection* owner) {
    return new CFtpSocket(owner);
}

CFtpSocket* CFtpServerConnection::CreateSecondarySocket(CFtpConnection* owner) {
    return new CFtpSocket(owner);
}

const CSettingsMap& CFtpServerConnection::Settings() const {
    return controller_->Settings();
}
bool CFtpServerConnection::BoolSetting(const char* name) const {
    return EngineBool(Settings(), name);
}
int CFtpServerConnection::IntSetting(const char* name) const {
    return EngineInt(Settings(), name);
}
int CFtpServerConnection::AtLeastOne(const char* name) const {
    int value = 0;
    if (!Settings().GetInt(name, value) || value < 2) return 1;
    return value;
}

bool CFtpServerConnection::Create() {
    if (!CFtpConnection::Create()) return false;
    try {
        if (BoolSetting("SysDeflateState"))
            deflate_.Init(4096, true, IntSetting("SysDeflComprLevel"),
                          IntSetting("SysDeflMemLevel"), IntSetting("SysDeflWindowSize"));
        control_.Create(4096, 4096);
        list_.Create(0, 4096);
        file_.Create(32768);
        control_.SetSocket(primarySocket_);
        list_.SetSocket(secondarySocket_);
        file_.SetSocket(secondarySocket_);
        user_ = CreateUser();
        if (!user_) return false;
        CFtpDeflateBuffer* deflate = deflate_.Initialised() ? &deflate_ : nullptr;
        list_.SetDeflateBuffer(deflate);
        file_.SetDeflateBuffer(deflate);
        return true;
    } catch (const std::exception&) {
        OnError(3, EV_CONNECT_FAILED);
        return false;
    }
}

std::unique_ptr<UserRecord> CFtpServerConnection::CreateUser() {
    return std::make_unique<UserRecord>();
}

bool CFtpServerConnection::Authenticate(UserRecord&) {
    return false;
}
void CFtpServerConnection::OnReply(CommandId, int, int, const std::string&) {}
void CFtpServerConnection::EndTransfer(bool) {}
void CFtpServerConnection::OnError(int, uint32_t) {}
bool CFtpServerConnection::EndControlTls() {
    return true;
}

void CFtpServerConnection::ResetSession() {
    loggedIn_ = false;
    if (user_) user_->Reset();
    currentFolder_ = "\\";
    portAddress_.clear();
    port_ = 0;
    passivePending_ = dataVerified_ = false;
    failedLogins_ = 0;
    dataType_ = transferMode_ = fileStructure_ = dataProtection_ = authMechanism_ = 0;
    utf8_ = utf8Nlst_ = epsvAll_ = false;
    control_.SetUtf8(false);
    if (BoolSetting("SysDeflateState")) deflate_.SetLevel(7);
    currentLine_.clear();
    previousLine_.clear();
    errorDelay_ = false;
    SetCurrentOperation(CMD_NOOP);
    operation_.Reset();
}

void CFtpServerConnection::CloseSockets() {
    CFtpConnection::CloseSockets();
    control_.Close();
    list_.Close();
    file_.Close();
    ResetSession();
    lastActivity_ = Clock::Now();
}

void CFtpServerConnection::DeleteSockets() {
    CFtpConnection::DeleteSockets();
    control_.SetSocket(nullptr);
    list_.SetSocket(nullptr);
    file_.SetSocket(nullptr);
}

void CFtpServerConnection::CloseSession() {
    EndTransfer(false);
    secondarySocket_->Close();
    tertiarySocket_->Close();
    primarySocket_->Close();
    OnError(2, EV_CLOSE);
    CloseSockets();
}

void CFtpServerConnection::Greet() {
    try {
        startTime_ = Clock::Now();
        ticksWithoutConnection_ = 0;
        if (!control_.Open(3, 0)) {
            closeReason_ = CLOSE_ERROR;
            return CloseSession();
        }
        closeReason_ = CLOSE_NONE;
        std::string name;
        Settings().GetString("SysName", name);
        control_.WriteLine(GreetingLine(name));
        lastActivity_ = Clock::Now();
    } catch (const std::exception&) {
        OnError(3, EV_CONNECT);
        closeReason_ = CLOSE_ERROR;
        CloseSession();
    }
}

bool CFtpServerConnection::SendReply(CommandId id, int code, const std::string& text) {
    OnReply(id, code < 400 ? 2 : 1, code, text.empty() ? FormatReply(code) : text);
    if (code >= 400) {
        errorDelay_ = true;
        lastErrorTime_ = Clock::Now();
    }
    return control_.WriteLine(ReplyLine(code, text));
}

void CFtpServerConnection::SetCurrentOperation(CommandId id, const std::string& path,
                                               uint64_t state, uint64_t offset) {
    operation_.previousSent = operation_.bytesSent;
    operation_.previousReceived = operation_.bytesReceived;
    operation_.commandId = id;
    operation_.path = path;
    operation_.state = state;
    operation_.offset = offset;
    operation_.bytesSent = operation_.bytesReceived = 0;
    operation_.time = Clock::Now();
}

namespace {
constexpr uint64_t kStartPending = 1;
}

bool CFtpServerConnection::OperationPending() const {
    CommandId id = operation_.commandId;
    if (id == CMD_SIZE) return true;
    return (id == CMD_STOR || id == CMD_RETR || id == CMD_SITE) &&
           (operation_.state & kStartPending);
}

bool CFtpServerConnection::OperationInProgress() const {
    CommandId id = operation_.commandId;
    return id == CMD_LIST || id == CMD_STOR || id == CMD_RETR || id == CMD_AUTH || id == CMD_CCC;
}

// ---- events ----

void CFtpServerConnection::OnReceive(CFtpSocket* socket) {
    CFtpConnection::OnReceive(socket);
    if (socket == primarySocket_) DispatchCommand();
}

void CFtpServerConnection::OnSend(CFtpSocket* socket) {
    CFtpConnection::OnSend(socket);
    if (socket != primarySocket_) return;
    try {
        if (control_.SendReplyFile(CFtpMsgStream::kMaxLinesPerStep) >= 0) return;
        if (operation_.commandId == CMD_QUIT) {
            // Everything said: end our side and let the client close.
            if (control_.Usable()) control_.ShutDown();
            return;
        }
        ResumeReading();
    } catch (const std::exception&) {
        OnError(3, EV_SEND);
        closeReason_ = CLOSE_ERROR;
        CloseSession();
    }
}

void CFtpServerConnection::ResumeReading() {
    CFtpFifoBuffer& input = control_.Input();
    if (!errorDelay_ && FindLineEnd(input.Data(), input.Used()) >= 0)
        Notify(EV_RECEIVE, primarySocket_);
}

void CFtpServerConnection::OnClose(CFtpSocket* socket) {
    CFtpConnection::OnClose(socket);
    if (socket == primarySocket_ || socket == tertiarySocket_) {
        // A session that ends for its own reason (idle, shut-down) keeps that reason.
        if (closeReason_ == CLOSE_NONE) closeReason_ = CLOSE_CLIENT;
        CloseSession();
    }
}

void CFtpServerConnection::OnTlsEnd(CFtpSocket* socket) {
    CFtpConnection::OnTlsEnd(socket);
}

void CFtpServerConnection::OnTlsFailed(CFtpSocket* socket) {
    CFtpConnection::OnTlsFailed(socket);
    if (socket == primarySocket_) {  // a failed control handshake must end, not hang
        closeReason_ = CLOSE_ERROR;
        CloseSession();
    }
}

void CFtpServerConnection::OnTick() {
    CFtpConnection::OnTick();
    if (!primarySocket_->IsOpen()) {
        if (++ticksWithoutConnection_ == 2) controller_->ReleaseSession(this);
        return;
    }
    controller_->UpdateSessionInfo(this);
    // The command delay ends here rather than by re-arming read interest over and over.
    if (errorDelay_ && Clock::Now() - lastErrorTime_ >=
                           static_cast<uint32_t>(std::max(0, IntSetting("SysCmdTimeout")))) {
        errorDelay_ = false;
        Notify(EV_RECEIVE, primarySocket_);  // what waits may still be in the socket
    }
    int limit = AtLeastOne("SysIdleTimeout");
    if (Clock::Now() - lastActivity_ < static_cast<uint32_t>(limit)) return;
    lastActivity_ = Clock::Now();
    secondarySocket_->Close();
    tertiarySocket_->Close();
    SetCurrentOperation(CMD_QUIT);
    closeReason_ = CLOSE_IDLE;
    try {
        char text[96];
        std::snprintf(text, sizeof text, "Timeout (%d seconds): closing control connection.",
                      limit);
        if (!SendReply(CMD_QUIT, 421, text) || primarySocket_->IsTlsRoleSet()) CloseSession();
    } catch (const std::exception&) {
        OnError(3, EV_CONNECT);
        closeReason_ = CLOSE_ERROR;
        CloseSession();
    }
}

void CFtpServerConnection::ShutdownSession() {
    try {
        if (primarySocket_->State() != SS_CONNECTED) return;
        EndTransfer(false);
        closeReason_ = CLOSE_SHUTDOWN;
        dataVerified_ = false;
        lastActivity_ = Clock::Now();
        secondarySocket_->Close();
        tertiarySocket_->Close();
        SetCurrentOperation(CMD_QUIT);
        SendReply(CMD_QUIT, 421, "Shutting system down.");
    } catch (const std::exception&) {
        OnError(3, EV_CLOSE);
        closeReason_ = CLOSE_ERROR;
    }
}

void CFtpServerConnection::Disconnect() {
    closeReason_ = CLOSE_SHUTDOWN;
    CloseSession();
}

// ---- commands ----

void CFtpServerConnection::DispatchCommand() {
    try {
        if (errorDelay_) {
            int delay = std::max(0, IntSetting("SysCmdTimeout"));
            if (Clock::Now() - lastErrorTime_ < static_cast<uint32_t>(delay)) {
                // The line waits unread; the tick lifts the delay and resumes reading.
                lastActivity_ = Clock::Now();
                return;
            }
            errorDelay_ = false;
        }
        if (control_.SendReplyFile(CFtpMsgStream::kMaxLinesPerStep) >= 0 || OperationPending()) {
            primarySocket_->SetReadWanted(true);
            lastActivity_ = Clock::Now();
            return;
        }
        std::string line;
        bool got = control_.ReadLine(line);
        if (!got && control_.TakeDiscardedLine()) {
            line = "\x7f";  // stands for a line too long to keep: no command
            got = true;
        }
        if (!got) return;
        previousLine_ = currentLine_;
        currentLine_ = line;
        CommandId id = LookupCommand(line);
        std::string argument;
        GetArgument(line, argument);
        if (!loggedIn_) {
            if (failedLogins_ >= AtLeastOne("SysLoginAttempts")) {
                closeReason_ = CLOSE_LOGINS;
                return CloseSession();
            }
            constexpr CommandId kBeforeLogin = CMD_USER | CMD_PASS | CMD_HELP | CMD_QUIT |
                                               CMD_AUTH | CMD_PBSZ | CMD_PROT | CMD_CCC | CMD_FEAT |
                                               CMD_OPTS;
            if (id & kBeforeLogin)
                Execute(id, argument);
            else
                SendReply(id, 530);
        } else if (OperationInProgress()) {
            constexpr CommandId kWhileBusy =
                CMD_ABOR | CMD_STAT | CMD_HELP | CMD_QUIT | CMD_FEAT | CMD_OPTS;
            if (id == CMD_NOOP)
                SendReply(id, 200);
            else if (id & kWhileBusy)
                Execute(id, argument);
            else
                SendReply(id, 500, "Service unavailable.");
        } else {
            SetCurrentOperation(CMD_NOOP);
            if (id == CMD_NOOP)
                SendReply(id, 200);
            else if (id == 0 || id == CMD_USER || id == CMD_PASS)
                SendReply(id, 502);
            else
                Execute(id, argument);
        }
        lastActivity_ = Clock::Now();
        ResumeReading();
    } catch (const std::exception& failure) {
        OnError(3, EV_RECEIVE);
        closeReason_ = CLOSE_ERROR;
        CloseSession();
    }
}

void CFtpServerConnection::Execute(CommandId id, const std::string& argument) {
    std::string ignored;
    switch (id) {
        case CMD_USER:
            return HandleUser(argument);
        case CMD_PASS:
            return HandlePass(argument);
        case CMD_ACCT:
            SendReply(id, 202);
            return;
        case CMD_REIN:
            return HandleRein(argument, GetArgument(currentLine_, ignored));
        case CMD_QUIT:
            return HandleQuit();
        default:
            SendReply(id, 502);
            return;  // not available in this server
    }
}

void CFtpServerConnection::HandleUser(const std::string& name) {
    if (secondarySocket_->IsOpen() || tertiarySocket_->IsOpen()) {
        SendReply(CMD_USER, 421);
        return;
    }
    if (name != "anonymous") {
        if (BoolSetting("SysReqSSLLogin") && !primarySocket_->IsTlsRoleSet()) {
            ++failedLogins_;
            SendReply(CMD_USER, 534, "Secure login required.");
            return;
        }
    } else if (!BoolSetting("SysAnonState")) {
        ++failedLogins_;
        SendReply(CMD_USER, 500, "User not allowed.");
        return;
    }
    SendReply(CMD_USER, 331);
    user_->name = name;
}

void CFtpServerConnection::HandlePass(const std::string& password) {
    if (user_->name.empty()) {
        ++failedLogins_;
        SendReply(CMD_PASS, 503);
        return;
    }
    user_->password = password;
    if (!Authenticate(*user_)) {
        ++failedLogins_;
        SendReply(CMD_PASS, 530);
        return;
    }
    OnReply(CMD_PASS, 2, 230, FormatReply(230));
    loggedIn_ = true;
    control_.BeginReply(230, DefaultReplyText(230));
    std::string welcome;
    Settings().GetString("SysWelcomeMsg", welcome);
    struct stat st {};
    if (BoolSetting("SysWelcomeMsgState") && !welcome.empty() &&
        ::stat(welcome.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        control_.OpenReplyFile(welcome);
    control_.SendReplyFile(CFtpMsgStream::kMaxLinesPerStep);
}

void CFtpServerConnection::HandleRein(const std::string&, bool hasArgument) {
    if (hasArgument) {
        SendReply(CMD_REIN, 500);
        return;
    }
    secondarySocket_->Close();
    tertiarySocket_->Close();
    SendReply(CMD_REIN, 220);
    if (!EndControlTls()) {
        closeReason_ = CLOSE_ERROR;
        return CloseSession();
    }
    ResetSession();
}

void CFtpServerConnection::HandleQuit() {
    SetCurrentOperation(CMD_QUIT);
    SendReply(CMD_QUIT, 221, "Goodbye.");
}
