#include "session/ServerConnection.h"

#include <cstdio>

#include "config/IpRules.h"
#include "config/SettingNames.h"
#include "config/SettingsMap.h"
#include "engine/ServerController.h"
#include "net/SocketEngine.h"
#include "platform/Log.h"
#include "session/Replies.h"

using platform::Clock;

CFtpServerConnection::CFtpServerConnection(CFtpServerController* controller, CFtpEventSink* sink)
    : CFtpPooledSession(controller, sink) {}

CFtpServerConnection::~CFtpServerConnection() {
    CFtpServerConnection::DeleteSockets();
}

CFtpSocket* CFtpServerConnection::CreatePrimarySocket(CFtpConnection* owner) {
    auto* socket = new CFtpSocket(owner);
    socket->SetHandshakeTally(metrics::TlsChannel::Control);
    return socket;
}

// Data connections resume the control connection's session and get no tickets of their own.
// A ticket would be the only thing the server sends on an upload's connection: a client that
// just writes there (Go's TLS, so rclone) never reads it, and a socket closed with unread
// input is reset by the client's kernel, which throws away the part of the upload still
// queued to leave.
CFtpSocket* CFtpServerConnection::CreateSecondarySocket(CFtpConnection* owner) {
    auto* socket = new CFtpSocket(owner);
    socket->SetIssuesTickets(false);
    socket->SetHandshakeTally(metrics::TlsChannel::Data);
    return socket;
}

void CFtpServerConnection::CloseData() {
    state_.dataVerified = false;
    secondarySocket_->Close();
    PassiveListener().Close();
}

const CSettingsMap& CFtpServerConnection::Settings() const {
    return controller_->Settings();
}
bool CFtpServerConnection::BoolSetting(const char* name) const {
    return EngineBool(Settings(), name);
}
std::string CFtpServerConnection::TextSetting(const char* name) const {
    std::string text;
    Settings().GetString(name, text);
    return text;
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
        control_.Create(4096, 4096);
        control_.SetSocket(primarySocket_);
        transfers_.Create(secondarySocket_, &deflate_);
        state_.user = CreateUser();
        return state_.user != nullptr;
    } catch (const std::exception&) {
        OnError(ERROR_FAILED, EV_CONNECT_FAILED);
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
void CFtpServerConnection::OnError(int, uint32_t) {}

void CFtpServerConnection::ReleaseMemory() {
    control_.Release();
    transfers_.ReleaseBuffers();
    deflate_.Free();
}

// zlib's state for MODE Z is made when a client first asks for the mode (MODE Z, OPTS MODE Z)
// and kept for the rest of the session; a session starts at level 7 whatever it was made with.
bool CFtpServerConnection::DeflateReady() {
    if (!BoolSetting(setting::SysDeflateState)) return false;
    if (deflate_.Initialised()) return true;
    if (!deflate_.Init(4096, true, IntSetting(setting::SysDeflComprLevel),
                       IntSetting(setting::SysDeflMemLevel),
                       IntSetting(setting::SysDeflWindowSize)))
        return false;
    deflate_.SetLevel(7);
    return true;
}

void CFtpServerConnection::ResetSession() {
    state_.Reset();
    data_.Reset();
    transfers_.Reset();
    control_.SetUtf8(false);
    if (BoolSetting(setting::SysDeflateState)) deflate_.SetLevel(7);
    errorDelay_ = readDeferred_ = false;
}

void CFtpServerConnection::CloseSockets() {
    CFtpConnection::CloseSockets();
    control_.Close();
    transfers_.CloseStreams();
    ResetSession();
    lastActivity_ = Clock::Now();
}

void CFtpServerConnection::DeleteSockets() {
    CFtpConnection::DeleteSockets();
    control_.SetSocket(nullptr);
    transfers_.Detach();
}

void CFtpServerConnection::CloseSession() {
    transfers_.End(false);
    if (!peer_.empty()) {
        LogEvent(platform::LogLevel::Info,
                 std::string("session ended: ") + CloseReasonText(closeReason_));
        peer_.clear();
    }
    CloseData();
    primarySocket_->Close();
    OnError(ERROR_ENDED, EV_CLOSE);
    CloseSockets();
    // Closed sockets raise nothing more, so once this mark comes back every event they raised
    // has been handled and the slot can take the next client at once.
    sink_->PostDrained(this, ++closeMark_);
}

void CFtpServerConnection::OnDrained(uint32_t mark) {
    CFtpConnection::OnDrained(mark);
    if (mark != closeMark_ || primarySocket_->IsOpen()) return;
    // The last thing this thread does with the slot: from here the controller may hand it to
    // the next client.
    admitted_ = false;
    controller_->ReleaseSession(this);
}

void CFtpServerConnection::TakeUp() {
    // What closing the sockets does for a slot, but the control socket holds the new client.
    secondarySocket_->Close();
    PassiveListener().Close();
    control_.Close();
    transfers_.CloseStreams();
    ResetSession();
    lastActivity_ = Clock::Now();
}

void CFtpServerConnection::Greet(bool implicitTls) {
    try {
        startTime_ = Clock::Now();
        ticksWithoutConnection_ = 0;
        peer_ = ControlPeer();
        if (!control_.Open(STREAM_KIND_CONNECTION, 0)) {
            closeReason_ = CLOSE_ERROR;
            return CloseSession();
        }
        closeReason_ = CLOSE_NONE;
        lastActivity_ = Clock::Now();
        greetAfterTls_ = implicitTls;
        if (implicitTls) {
            // As after AUTH TLS: the control connection is protected, and so are data
            // connections until the client asks otherwise with PROT.
            state_.authMechanism = AUTH_TLS;
            state_.dataProtection = PROT_PRIVATE;
            if (!primarySocket_->SetTlsRole(TLS_SERVER)) {
                closeReason_ = CLOSE_ERROR;
                return CloseSession();
            }
            return;  // the greeting follows the handshake
        }
        SendGreeting();
    } catch (const std::exception&) {
        OnError(ERROR_FAILED, EV_CONNECT);
        closeReason_ = CLOSE_ERROR;
        CloseSession();
    }
}

void CFtpServerConnection::SendGreeting() {
    control_.WriteLine(GreetingLine(TextSetting(setting::SysName)));
}

bool CFtpServerConnection::SendReply(CommandId id, int code, const std::string& text) {
    OnReply(id, IsFailureReply(code) ? REPLY_KIND_FAILURE : REPLY_KIND_SUCCESS, code,
            text.empty() ? FormatReply(code) : text);
    // A delay of 0 seconds is none: setting the flag would hold the next line until a tick.
    if (IsFailureReply(code) && IntSetting(setting::SysCmdTimeout) > 0) {
        errorDelay_ = true;
        lastErrorTime_ = Clock::Now();
    }
    return control_.WriteLine(ReplyLine(code, text));
}

void CFtpServerConnection::SetCurrentOperation(CommandId id, const std::string& path,
                                               uint64_t state, uint64_t offset) {
    state_.operation.previousSent = state_.operation.bytesSent;
    state_.operation.previousReceived = state_.operation.bytesReceived;
    state_.operation.commandId = id;
    state_.operation.path = path;
    state_.operation.state = state;
    state_.operation.offset = offset;
    state_.operation.bytesSent = state_.operation.bytesReceived = 0;
    state_.operation.time = Clock::Now();
    state_.operation.startMs = platform::MonotonicMs();
}

bool CFtpServerConnection::OperationPending() const {
    CommandId id = state_.operation.commandId;
    if (id == CMD_SIZE) return true;
    return (IsUpload(id) || id == CMD_RETR || id == CMD_SITE) && state_.operation.StartPending();
}

bool CFtpServerConnection::OperationInProgress() const {
    CommandId id = state_.operation.commandId;
    return IsTransfer(id) || id == CMD_AUTH || id == CMD_CCC;
}

bool CFtpServerConnection::TransferStarted() const {
    return state_.operation.TransferStarted();
}

// ---- events ----

void CFtpServerConnection::OnReceive(CFtpSocket* socket) {
    CFtpConnection::OnReceive(socket);
    if (socket == primarySocket_ && ProxyHeaderPending()) return ReadProxyHeader();
    if (socket == primarySocket_) DispatchCommand();
    if (socket == secondarySocket_ && state_.loggedIn) transfers_.OnDataReceive();
}

void CFtpServerConnection::OnSend(CFtpSocket* socket) {
    CFtpConnection::OnSend(socket);
    if (socket == secondarySocket_ && state_.loggedIn) return transfers_.OnDataSend();
    if (socket != primarySocket_) return;
    try {
        if (control_.SendReplyFile(CFtpMsgStream::kMaxLinesPerStep) >= 0) return;
        if (state_.operation.commandId == CMD_SIZE) return SizeStep();
        if (state_.operation.StartPending()) {
            CommandId id = state_.operation.commandId;
            if (id == CMD_RETR || IsUpload(id)) return transfers_.Start();
            if (id == CMD_SITE) return transfers_.DigestStep();
        }
        if (state_.operation.commandId == CMD_AUTH) {
            SetCurrentOperation(CMD_NOOP);
            if (!primarySocket_->SetTlsRole(TLS_SERVER)) {
                closeReason_ = CLOSE_ERROR;
                return CloseSession();
            }
        } else if (state_.operation.commandId == CMD_CCC) {
            SetCurrentOperation(CMD_NOOP);
            if (!EndControlTls()) {
                closeReason_ = CLOSE_ERROR;
                return CloseSession();
            }
        }
        if (state_.operation.commandId == CMD_QUIT) {
            // Everything said: end our side and let the client close.
            if (control_.Usable()) control_.ShutDown();
            return;
        }
        ResumeReading();
    } catch (const std::exception&) {
        OnError(ERROR_FAILED, EV_SEND);
        closeReason_ = CLOSE_ERROR;
        CloseSession();
    }
}

void CFtpServerConnection::ResumeReading() {
    if (errorDelay_) return;
    CFtpFifoBuffer& input = control_.Input();
    if (readDeferred_ || FindLineEnd(input.Data(), input.Used()) >= 0) {
        readDeferred_ = false;
        Notify(EV_RECEIVE, primarySocket_);
    }
}

void CFtpServerConnection::ContinueOnSend() {
    Notify(EV_SEND, primarySocket_);
}

void CFtpServerConnection::OnClose(CFtpSocket* socket) {
    if (socket == secondarySocket_ && IsUpload(state_.operation.commandId))
        transfers_.DrainUpload();
    CFtpConnection::OnClose(socket);
    if (socket == secondarySocket_) return transfers_.OnDataClose();
    if (socket == primarySocket_ || socket == &PassiveListener()) {
        // A session that ends for its own reason (idle, shut-down) keeps that reason.
        if (closeReason_ == CLOSE_NONE) closeReason_ = CLOSE_CLIENT;
        CloseSession();
    }
}

void CFtpServerConnection::OnTlsStart(CFtpSocket* socket) {
    CFtpConnection::OnTlsStart(socket);
    if (socket != primarySocket_ || !greetAfterTls_) return;
    greetAfterTls_ = false;
    try {
        SendGreeting();
        lastActivity_ = Clock::Now();
    } catch (const std::exception&) {
        OnError(ERROR_FAILED, EV_TLS_START);
        closeReason_ = CLOSE_ERROR;
        CloseSession();
    }
}

void CFtpServerConnection::OnTlsEnd(CFtpSocket* socket) {
    CFtpConnection::OnTlsEnd(socket);
    if (socket == primarySocket_) OnError(ERROR_ENDED, EV_TLS_END);
}

void CFtpServerConnection::OnTlsFailed(CFtpSocket* socket) {
    CFtpConnection::OnTlsFailed(socket);
    if (socket == primarySocket_ || socket == &PassiveListener()) {
        // A failed control handshake must end the session, not leave it hanging.
        OnError(ERROR_ENDED, EV_TLS_FAILED);
        closeReason_ = CLOSE_ERROR;
        return CloseSession();
    }
    if (socket != secondarySocket_) return;
    // A protected data connection that failed cannot carry the transfer.
    if (TransferStarted()) return FinishTransfer(REPLY_TRANSFER_ABORTED);
    secondarySocket_->Close();
}

void CFtpServerConnection::OnTick() {
    CFtpConnection::OnTick();
    if (!admitted_) return;  // a tick for the slot's previous client, arriving late
    if (!primarySocket_->IsOpen()) {
        // Released once whatever is still queued for the slot has been handled.
        if (++ticksWithoutConnection_ == 2) sink_->PostDrained(this, ++closeMark_);
        return;
    }
    if (ProxyHeaderPending()) {
        ProxyHeaderOverdue(Clock::Now());
        return;
    }
    controller_->UpdateSessionInfo(this);
    // The command delay ends here rather than by re-arming read interest over and over.
    if (errorDelay_ && Clock::Now() - lastErrorTime_ >=
                           static_cast<uint32_t>(std::max(0, IntSetting(setting::SysCmdTimeout)))) {
        errorDelay_ = false;
        Notify(EV_RECEIVE, primarySocket_);  // what waits may still be in the socket
    }
    int limit = AtLeastOne(setting::SysIdleTimeout);
    platform::Time32 now = Clock::Now();
    if (now - lastActivity_ < static_cast<uint32_t>(limit)) {
        // Without a command, a transfer or a delay in progress nothing changes here before the
        // idle limit.
        if (!errorDelay_ && !OperationInProgress() && transfers_.Idle())
            QuietUntil(lastActivity_ + static_cast<uint32_t>(limit));
        return;
    }
    lastActivity_ = now;
    CloseData();
    SetCurrentOperation(CMD_QUIT);
    closeReason_ = CLOSE_IDLE;
    LogEvent(platform::LogLevel::Warning,
             "idle for " + std::to_string(limit) + " seconds: closing the session");
    try {
        char text[96];
        std::snprintf(text, sizeof text, "Timeout (%d seconds): closing control connection.",
                      limit);
        if (!SendReply(CMD_QUIT, REPLY_CLOSING, text) || primarySocket_->IsTlsRoleSet())
            CloseSession();
    } catch (const std::exception&) {
        OnError(ERROR_FAILED, EV_CONNECT);
        closeReason_ = CLOSE_ERROR;
        CloseSession();
    }
}

void CFtpServerConnection::ShutdownSession() {
    try {
        if (primarySocket_->State() != SS_CONNECTED) return;
        transfers_.End(false);
        closeReason_ = CLOSE_SHUTDOWN;
        lastActivity_ = Clock::Now();
        CloseData();
        SetCurrentOperation(CMD_QUIT);
        SendReply(CMD_QUIT, REPLY_CLOSING, "Shutting system down.");
    } catch (const std::exception&) {
        OnError(ERROR_FAILED, EV_CLOSE);
        closeReason_ = CLOSE_ERROR;
    }
}

void CFtpServerConnection::DropClient() {
    ticksWithoutConnection_ = 0;
    closeReason_ = CLOSE_NONE;
    CloseSession();
}

void CFtpServerConnection::Disconnect() {
    LogEvent(platform::LogLevel::Warning, "disconnected by the console");
    closeReason_ = CLOSE_SHUTDOWN;
    CloseSession();
}

// ---- commands ----

void CFtpServerConnection::DispatchCommand() {
    try {
        if (errorDelay_) {
            int delay = std::max(0, IntSetting(setting::SysCmdTimeout));
            if (Clock::Now() - lastErrorTime_ < static_cast<uint32_t>(delay)) {
                // The line waits unread; the tick lifts the delay and resumes reading.
                lastActivity_ = Clock::Now();
                return;
            }
            errorDelay_ = false;
        }
        if (control_.SendReplyFile(CFtpMsgStream::kMaxLinesPerStep) >= 0 || OperationPending() ||
            ControlSwitchPending()) {
            // Reading resumes once the reply or the operation's start is through.
            primarySocket_->SetReadWanted(true);
            readDeferred_ = true;
            lastActivity_ = Clock::Now();
            return;
        }
        std::string line;
        // A line too long to keep was thrown away whole: no part of it is a command, and it is
        // answered as a syntax error in every state.
        bool tooLong = false;
        if (!control_.ReadLine(line)) {
            if (!control_.TakeDiscardedLine()) return;
            tooLong = true;
        }
        state_.previousLine = state_.line;
        state_.line = line;
        controller_->NoteSessionCommand(this, line);
        CommandId id = tooLong ? 0 : LookupCommand(line);
        // Only a word the main table does not know asks whether machine listings are offered.
        if (id == 0 && !tooLong && StatusMachineListings()) id = LookupCommand(line, true);
        std::string argument;
        GetArgument(line, argument);
        if (!state_.loggedIn && state_.failedLogins >= AtLeastOne(setting::SysLoginAttempts)) {
            LogEvent(platform::LogLevel::Warning,
                     std::to_string(state_.failedLogins) + " failed logins: closing the session");
            closeReason_ = CLOSE_LOGINS;
            return CloseSession();
        }
        // A guesser's sessions that were open before its address was banned end too.
        if (!state_.loggedIn && controller_->IsBanned(peer_)) {
            LogEvent(platform::LogLevel::Warning,
                     "banned after failed logins: closing the session");
            closeReason_ = CLOSE_LOGINS;
            return CloseSession();
        }
        if (tooLong) {
            SendReply(id, REPLY_SYNTAX_ERROR);
        } else if (!state_.loggedIn) {
            constexpr CommandId kBeforeLogin = CMD_USER | CMD_PASS | CMD_HELP | CMD_QUIT |
                                               CMD_AUTH | CMD_PBSZ | CMD_PROT | CMD_CCC | CMD_FEAT |
                                               CMD_OPTS;
            if (id & kBeforeLogin)
                Execute(id, argument);
            else
                SendReply(id, REPLY_NOT_LOGGED_IN);
        } else if (OperationInProgress()) {
            constexpr CommandId kWhileBusy =
                CMD_ABOR | CMD_STAT | CMD_HELP | CMD_QUIT | CMD_FEAT | CMD_OPTS;
            if (id == CMD_NOOP)
                SendReply(id, REPLY_OK);
            else if (id & kWhileBusy)
                Execute(id, argument);
            else
                SendReply(id, REPLY_SYNTAX_ERROR, "Service unavailable.");
        } else {
            SetCurrentOperation(CMD_NOOP);
            if (id == CMD_NOOP)
                SendReply(id, REPLY_OK);
            else if (id == 0 || id == CMD_USER || id == CMD_PASS)
                SendReply(id, REPLY_NOT_IMPLEMENTED);
            else
                Execute(id, argument);
        }
        lastActivity_ = Clock::Now();
        ResumeReading();
    } catch (const std::exception& failure) {
        OnError(ERROR_FAILED, EV_RECEIVE);
        closeReason_ = CLOSE_ERROR;
        CloseSession();
    }
}

void CFtpServerConnection::Execute(CommandId id, const std::string& argument) {
    std::string ignored;
    switch (id) {
        case CMD_USER:
            return login_.User(argument);
        case CMD_PASS:
            return login_.Pass(argument);
        case CMD_ACCT:
            return login_.Acct();
        case CMD_REIN:
            return login_.Rein(GetArgument(state_.line, ignored));
        case CMD_QUIT:
            return login_.Quit();
        case CMD_PORT:
        case CMD_EPRT:
            return data_.Port(id, argument);
        case CMD_PASV:
        case CMD_EPSV:
            return data_.Passive(id, argument);
        case CMD_CWD:
            return tree_.Cwd(GetArgument(state_.line, ignored) ? argument : std::string());
        case CMD_CDUP:
            return tree_.Cwd("..");
        case CMD_PWD:
            return tree_.Pwd(id);
        case CMD_MKD:
            return tree_.Mkd(argument);
        case CMD_RMD:
            return tree_.Rmd(argument);
        case CMD_DELE:
            return tree_.Dele(argument);
        case CMD_RNFR:
            return tree_.Rnfr(argument);
        case CMD_RNTO:
            return tree_.Rnto(argument);
        case CMD_SIZE:
            return tree_.Size(argument);
        case CMD_MDTM:
            return tree_.Mdtm(argument);
        case CMD_TYPE:
            return transfers_.Type(argument);
        case CMD_MODE:
            return transfers_.Mode(argument);
        case CMD_STRU:
            return transfers_.Stru(argument);
        case CMD_REST:
            return transfers_.Rest();
        case CMD_ALLO:
            return transfers_.Allo(argument);
        case CMD_ABOR:
            return transfers_.Abor();
        case CMD_RETR:
            return transfers_.Retr(argument);
        case CMD_STOR:
        case CMD_STOU:
        case CMD_APPE:
            return transfers_.Upload(id, argument);
        case CMD_LIST:
            return transfers_.List(LISTING_LONG, argument);
        case CMD_NLST:
            return transfers_.List(LISTING_NAMES, argument);
        case CMD_MLSD:
            return transfers_.MachineList(argument);
        case CMD_MLST:
            return tree_.Mlst(argument);
        case CMD_STAT:
            return status_.Stat(argument);
        case CMD_HELP:
            return status_.Help(argument);
        case CMD_FEAT:
            return status_.Feat(argument);
        case CMD_OPTS:
            return status_.Opts(argument);
        case CMD_SYST:
            SendReply(id, REPLY_SYSTEM_TYPE, "Windows_CE.");
            return;
        case CMD_SITE:
            return status_.Site(argument);
        case CMD_AUTH:
            return security_.Auth(argument);
        case CMD_PBSZ:
            return security_.Pbsz(argument);
        case CMD_PROT:
            return security_.Prot(argument);
        case CMD_CCC:
            return security_.Ccc(argument);
        default:
            SendReply(id, REPLY_NOT_IMPLEMENTED);
            return;  // not available in this server
    }
}

// ---- data connections ----

std::string CFtpServerConnection::ControlPeer() {
    std::string peer;
    int port = 0;
    primarySocket_->GetPeerName(peer, port);
    return peer;
}

bool CFtpServerConnection::CheckDataPeer(CFtpSocket* socket) {
    std::string peer;
    int port = 0;
    return socket->GetPeerName(peer, port) && CheckAddress(peer) && peer == ControlPeer();
}

void CFtpServerConnection::OnAccept(CFtpSocket* socket) {
    CFtpConnection::OnAccept(socket);
    if (socket != &PassiveListener()) return;
    try {
        data_.OnAccept(*socket);
    } catch (const std::exception&) {
        OnError(ERROR_FAILED, EV_ACCEPT);
    }
}

void CFtpServerConnection::OnConnect(CFtpSocket* socket, bool ok) {
    CFtpConnection::OnConnect(socket, ok);
    try {
        data_.OnConnect(*socket, ok);
    } catch (const std::exception&) {
        OnError(ERROR_FAILED, EV_CONNECT);
    }
}

bool CFtpServerConnection::OpenDataConnection(int type, const std::string& text) {
    if (!data_.Open(type, text)) return false;
    state_.dataVerified = false;
    return true;
}

// ---- the end of a transfer ----

void CFtpServerConnection::FinishTransfer(int code) {
    transfers_.Finish(code);
}

void CFtpServerConnection::FailWaitingTransfer() {
    if (TransferStarted()) FinishTransfer(REPLY_NO_DATA_CONNECTION);
}
