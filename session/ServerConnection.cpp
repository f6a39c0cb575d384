#include "session/ServerConnection.h"

#include <unistd.h>

#include <cstdio>
#include <new>

#include "config/IpRules.h"
#include "config/SettingNames.h"
#include "config/SettingsMap.h"
#include "config/UserAccounts.h"
#include "engine/ServerController.h"
#include "net/SocketEngine.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "session/DataCommands.h"
#include "session/Replies.h"
#include "session/SharePoints.h"

using platform::Clock;

namespace {
constexpr uint64_t kStartPending = 1;
constexpr uint32_t kDigestStep = 8192;  // bytes SITE MD5 reads a step
}

void CurrentOperation::Reset() {
    commandId = 0;
    path.clear();
    state = offset = 0;
    bytesSent = bytesReceived = previousSent = previousReceived = 0;
    time = Clock::Now();
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
        if (BoolSetting(setting::SysDeflateState))
            deflate_.Init(4096, true, IntSetting(setting::SysDeflComprLevel),
                          IntSetting(setting::SysDeflMemLevel),
                          IntSetting(setting::SysDeflWindowSize));
        control_.Create(4096, 4096);
        list_.Create(0, 4096);
        file_.Create(32768);
        control_.SetSocket(primarySocket_);
        list_.SetSocket(secondarySocket_);
        list_.SetFinder(&finder_);
        file_.SetSocket(secondarySocket_);
        user_ = CreateUser();
        if (!user_) return false;
        CFtpDeflateBuffer* deflate = deflate_.Initialised() ? &deflate_ : nullptr;
        list_.SetDeflateBuffer(deflate);
        file_.SetDeflateBuffer(deflate);
        return true;
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

void CFtpServerConnection::ResetSession() {
    loggedIn_ = false;
    if (user_) user_->Reset();
    currentFolder_ = "\\";
    data_.Reset();
    dataVerified_ = false;
    failedLogins_ = 0;
    dataType_ = transferMode_ = fileStructure_ = dataProtection_ = authMechanism_ = 0;
    utf8_ = utf8Nlst_ = false;
    control_.SetUtf8(false);
    if (BoolSetting(setting::SysDeflateState)) deflate_.SetLevel(7);
    currentLine_.clear();
    previousLine_.clear();
    errorDelay_ = readDeferred_ = false;
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
    OnError(ERROR_ENDED, EV_CLOSE);
    CloseSockets();
}

void CFtpServerConnection::Greet() {
    try {
        startTime_ = Clock::Now();
        ticksWithoutConnection_ = 0;
        if (!control_.Open(STREAM_KIND_CONNECTION, 0)) {
            closeReason_ = CLOSE_ERROR;
            return CloseSession();
        }
        closeReason_ = CLOSE_NONE;
        std::string name;
        Settings().GetString(setting::SysName, name);
        control_.WriteLine(GreetingLine(name));
        lastActivity_ = Clock::Now();
    } catch (const std::exception&) {
        OnError(ERROR_FAILED, EV_CONNECT);
        closeReason_ = CLOSE_ERROR;
        CloseSession();
    }
}

bool CFtpServerConnection::SendReply(CommandId id, int code, const std::string& text) {
    OnReply(id, code < 400 ? 2 : 1, code, text.empty() ? FormatReply(code) : text);
    // A delay of 0 seconds is none: setting the flag would hold the next line until a tick.
    if (code >= 400 && IntSetting(setting::SysCmdTimeout) > 0) {
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

bool CFtpServerConnection::OperationPending() const {
    CommandId id = operation_.commandId;
    if (id == CMD_SIZE) return true;
    return (IsUpload(id) || id == CMD_RETR || id == CMD_SITE) &&
           (operation_.state & kStartPending);
}

bool CFtpServerConnection::OperationInProgress() const {
    CommandId id = operation_.commandId;
    return id == CMD_LIST || IsUpload(id) || id == CMD_RETR || id == CMD_AUTH || id == CMD_CCC;
}

bool CFtpServerConnection::TransferStarted() const {
    CommandId id = operation_.commandId;
    return (id == CMD_LIST || IsUpload(id) || id == CMD_RETR) &&
           !(operation_.state & kStartPending);
}

void CFtpServerConnection::FillFigures(CFtpConnMsg& record) const {
    if (user_) {
        record.uploads = user_->uploads;
        record.downloads = user_->downloads;
        record.bytesReceived = user_->bytesReceived;
        record.bytesSent = user_->bytesSent;
    }
    record.transferring = TransferStarted() && OperationInProgress() ? 1 : 0;
    record.transferBytes =
        record.transferring ? operation_.bytesSent + operation_.bytesReceived : 0;
}

// ---- events ----

void CFtpServerConnection::OnReceive(CFtpSocket* socket) {
    CFtpConnection::OnReceive(socket);
    if (socket == primarySocket_) DispatchCommand();
    if (socket == secondarySocket_ && loggedIn_) OnDataReceive();
}

void CFtpServerConnection::OnSend(CFtpSocket* socket) {
    CFtpConnection::OnSend(socket);
    if (socket == secondarySocket_ && loggedIn_) return OnDataSend();
    if (socket != primarySocket_) return;
    try {
        if (control_.SendReplyFile(CFtpMsgStream::kMaxLinesPerStep) >= 0) return;
        if (operation_.commandId == CMD_SIZE) return SizeStep();
        if (operation_.state & kStartPending) {
            if (operation_.commandId == CMD_RETR) return StartDownload();
            if (IsUpload(operation_.commandId)) return StartUpload();
            if (operation_.commandId == CMD_SITE) return DigestStep();
        }
        if (operation_.commandId == CMD_AUTH) {
            SetCurrentOperation(CMD_NOOP);
            if (!primarySocket_->SetTlsRole(TLS_SERVER)) {
                closeReason_ = CLOSE_ERROR;
                return CloseSession();
            }
        } else if (operation_.commandId == CMD_CCC) {
            SetCurrentOperation(CMD_NOOP);
            if (!EndControlTls()) {
                closeReason_ = CLOSE_ERROR;
                return CloseSession();
            }
        }
        if (operation_.commandId == CMD_QUIT) {
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
    if (socket == secondarySocket_ && IsUpload(operation_.commandId)) DrainUpload();
    CFtpConnection::OnClose(socket);
    if (socket == secondarySocket_) return OnDataClose();
    if (socket == primarySocket_ || socket == tertiarySocket_) {
        // A session that ends for its own reason (idle, shut-down) keeps that reason.
        if (closeReason_ == CLOSE_NONE) closeReason_ = CLOSE_CLIENT;
        CloseSession();
    }
}

void CFtpServerConnection::OnTlsEnd(CFtpSocket* socket) {
    CFtpConnection::OnTlsEnd(socket);
    if (socket == primarySocket_) OnError(ERROR_ENDED, EV_TLS_END);
}

void CFtpServerConnection::OnTlsFailed(CFtpSocket* socket) {
    CFtpConnection::OnTlsFailed(socket);
    if (socket == primarySocket_ || socket == tertiarySocket_) {
        // A failed control handshake must end the session, not leave it hanging.
        OnError(ERROR_ENDED, EV_TLS_FAILED);
        closeReason_ = CLOSE_ERROR;
        return CloseSession();
    }
    if (socket != secondarySocket_) return;
    // A protected data connection that failed cannot carry the transfer.
    CommandId id = operation_.commandId;
    if ((id == CMD_LIST || id == CMD_RETR || IsUpload(id)) && !(operation_.state & kStartPending))
        return FinishTransfer(426);
    secondarySocket_->Close();
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
                           static_cast<uint32_t>(std::max(0, IntSetting(setting::SysCmdTimeout)))) {
        errorDelay_ = false;
        Notify(EV_RECEIVE, primarySocket_);  // what waits may still be in the socket
    }
    int limit = AtLeastOne(setting::SysIdleTimeout);
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
        OnError(ERROR_FAILED, EV_CONNECT);
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
        OnError(ERROR_FAILED, EV_CLOSE);
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
        previousLine_ = currentLine_;
        currentLine_ = line;
        CommandId id = tooLong ? 0 : LookupCommand(line);
        std::string argument;
        GetArgument(line, argument);
        if (!loggedIn_ && failedLogins_ >= AtLeastOne(setting::SysLoginAttempts)) {
            closeReason_ = CLOSE_LOGINS;
            return CloseSession();
        }
        if (tooLong) {
            SendReply(id, 500);
        } else if (!loggedIn_) {
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
        OnError(ERROR_FAILED, EV_RECEIVE);
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
        case CMD_PORT:
        case CMD_EPRT:
            return data_.Port(id, argument);
        case CMD_PASV:
        case CMD_EPSV:
            return data_.Passive(id, argument);
        case CMD_CWD:
            return tree_.Cwd(GetArgument(currentLine_, ignored) ? argument : std::string());
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
            return HandleType(argument);
        case CMD_MODE:
            return HandleMode(argument);
        case CMD_STRU:
            return HandleStru(argument);
        case CMD_REST:
            return HandleRest();
        case CMD_ALLO:
            return HandleAllo(argument);
        case CMD_ABOR:
            return HandleAbor();
        case CMD_RETR:
            return HandleRetr(argument);
        case CMD_STOR:
        case CMD_STOU:
        case CMD_APPE:
            return HandleUpload(id, argument);
        case CMD_LIST:
            return HandleList(LISTING_LONG, argument);
        case CMD_NLST:
            return HandleList(LISTING_NAMES, argument);
        case CMD_STAT:
            return status_.Stat(argument);
        case CMD_HELP:
            return status_.Help(argument);
        case CMD_FEAT:
            return status_.Feat(argument);
        case CMD_OPTS:
            return status_.Opts(argument);
        case CMD_SYST:
            SendReply(id, 215, "Windows_CE.");
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
        if (BoolSetting(setting::SysReqSSLLogin) && !primarySocket_->IsTlsRoleSet()) {
            ++failedLogins_;
            SendReply(CMD_USER, 534, "Secure login required.");
            return;
        }
    } else if (!BoolSetting(setting::SysAnonState)) {
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
    Settings().GetString(setting::SysWelcomeMsg, welcome);
    if (BoolSetting(setting::SysWelcomeMsgState) && !welcome.empty() &&
        platform::Files().Status(welcome).regular)
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
    if (socket != tertiarySocket_) return;
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
    dataVerified_ = false;
    return true;
}

// ---- the virtual tree ----

bool CFtpServerConnection::FindFolderMessage(std::string& path) {
    path.clear();
    if (!BoolSetting(setting::SysCwdMsgState)) return false;
    std::string candidate = ResolveAgainst(currentFolder_, ".message");
    candidate.pop_back();
    if (!FileExists(candidate, Home())) return false;
    path = candidate;
    return true;
}

void CFtpServerConnection::SizeStep() {
    try {
        uint8_t block[8192];
        uint32_t n = sizeFile_.Read(block, sizeof block);
        operation_.offset += n;
        if (n > 0) {
            ContinueOnSend();
            return;
        }
        sizeFile_.Close();
        uint64_t count = operation_.offset;
        SetCurrentOperation(CMD_NOOP);
        SendReply(CMD_SIZE, 213, std::to_string(count));
    } catch (const CFileError&) {
        sizeFile_.Close();
        SetCurrentOperation(CMD_NOOP);
        SendReply(CMD_SIZE, 550);
    }
}

bool CFtpServerConnection::StatusStartDigest(const std::string& path) {
    std::string real;
    if (!OpenForReading(path, true, real)) return false;
    SetCurrentOperation(CMD_SITE, real, kStartPending);
    ContinueOnSend();
    return true;
}

void CFtpServerConnection::DigestStep() {
    try {
        CFtpFifoBuffer& buffer = file_.Buffer();
        buffer.Clear();  // only the digest of what was read matters
        if (file_.ReadFile(buffer, kDigestStep) > 0) return ContinueOnSend();
        file_.CloseFile();  // finishes the digest (a read that found the end closed it already)
        std::string digest = file_.DigestHex();
        file_.Close();
        SetCurrentOperation(CMD_NOOP);
        SendReply(CMD_SITE, 200, digest);
    } catch (const CFileError&) {
        file_.Close();
        SetCurrentOperation(CMD_NOOP);
        SendReply(CMD_SITE, 550);
    }
}

// ---- transfers ----

uint64_t CFtpServerConnection::RestartOffset() const {
    std::string argument;
    if (LookupCommand(previousLine_) != CMD_REST || !GetArgument(previousLine_, argument)) return 0;
    return ParseDecimal(argument).value_or(0);
}

void CFtpServerConnection::HandleType(const std::string& argument) {
    if (argument.empty()) return (void)SendReply(CMD_TYPE, 501);
    std::string type = platform::AsciiUpper(argument);
    if (type == "I" || type == "L 8")
        dataType_ = TYPE_IMAGE;
    else if (type == "A" || type == "AN" || type == "N" || type == "AT" || type == "T")
        dataType_ = TYPE_ASCII;
    else
        return (void)SendReply(CMD_TYPE, 504);
    SendReply(CMD_TYPE, 200, "Type set to " + type + ".");
}

void CFtpServerConnection::HandleMode(const std::string& argument) {
    if (argument.empty()) return (void)SendReply(CMD_MODE, 501);
    std::string mode = platform::AsciiUpper(argument);
    if (mode == "S") {
        transferMode_ = MODE_STREAM;
        SendReply(CMD_MODE, 200, "Mode set to S.");
    } else if (mode == "Z") {
        if (!BoolSetting(setting::SysDeflateState) || !deflate_.Initialised())
            return (void)SendReply(CMD_MODE, 534);
        transferMode_ = MODE_DEFLATE;
        SendReply(CMD_MODE, 200, "Mode set to Z.");
    } else {
        SendReply(CMD_MODE, 504);
    }
}

void CFtpServerConnection::HandleStru(const std::string& argument) {
    if (argument.empty()) return (void)SendReply(CMD_STRU, 501);
    std::string structure = platform::AsciiUpper(argument);
    if (structure != "F" && structure != "R") return (void)SendReply(CMD_STRU, 504);
    fileStructure_ = structure == "R" ? 1 : 0;
    SendReply(CMD_STRU, 200, "File structure set to " + structure + ".");
}

void CFtpServerConnection::HandleRest() {
    // The raw argument: "REST 10 " with its trailing blank must not pass as 10.
    std::string raw;
    GetArgument(currentLine_, raw);
    std::optional<uint64_t> offset = ParseDecimal(raw);
    if (!offset) return (void)SendReply(CMD_REST, 501);
    SendReply(CMD_REST, 350,
              "Restarting at " + std::to_string(*offset) +
                  " bytes. Send STOR or RETR to start transfer.");
}

void CFtpServerConnection::HandleAllo(const std::string& argument) {
    SendReply(CMD_ALLO, ParseDecimal(argument) ? 202 : 501);
}

void CFtpServerConnection::HandleAbor() {
    // A transfer whose own reply has not gone out yet is cut here even when its data has all
    // moved (a download waits for the client's close): it is answered too, so the client
    // gets one reply per command.
    bool cut = TransferStarted();
    EndTransfer(false);
    dataVerified_ = false;
    if (cut || secondarySocket_->State() == SS_CONNECTED || tertiarySocket_->IsListening()) {
        secondarySocket_->Close();
        tertiarySocket_->Close();
        list_.Close();
        file_.Close();
        SendReply(CMD_ABOR, 426);
    }
    SendReply(CMD_ABOR, 226);
    SetCurrentOperation(CMD_NOOP);
}

bool CFtpServerConnection::OpenForReading(const std::string& path, bool digest, std::string& real) {
    CheckedPath at = CheckFileArgument(currentFolder_, path, Home());
    if (!at.IsFile()) return false;
    real = at.real;
    uint32_t flags =
        FILE_READ | FILE_SHARE_DENY_NONE | (dataType_ == TYPE_IMAGE ? FILE_BINARY : FILE_TEXT);
    if (!file_.OpenFile(real, flags, digest)) return false;
    file_.SetMode(transferMode_);
    return true;
}

void CFtpServerConnection::HandleRetr(const std::string& argument) {
    uint64_t offset = RestartOffset();
    if (argument.empty()) return (void)SendReply(CMD_RETR, 501);
    std::string real;
    if (!OpenForReading(argument, false, real)) return (void)SendReply(CMD_RETR, 550);
    SetCurrentOperation(CMD_RETR, real, kStartPending, offset);
    restartLeft_ = offset;
    ContinueOnSend();
}

void CFtpServerConnection::HandleUpload(CommandId id, const std::string& argument) {
    if (!(user_->rights & RightsWrite)) return (void)SendReply(id, 553, "Permission denied.");
    uint64_t offset = RestartOffset();
    std::string resolved;
    CheckedPath at;
    bool exists = false;
    if (id != CMD_STOU) {
        if (argument.empty() || !IsValidName(argument)) return (void)SendReply(id, 501);
        resolved = WithoutTrailingSeparator(ResolveAgainst(currentFolder_, argument));
        if (resolved.empty()) return (void)SendReply(id, 550);  // the root
        at = CheckPath(resolved, Home());
        if (at.IsFolder()) return (void)SendReply(id, 550);
        exists = at.IsFile();
        bool overwrite = (user_->rights & RightsOverwrite) != 0;
        if (id == CMD_STOR) {
            if (!exists && offset != 0) return (void)SendReply(id, 552);
            if (exists && !overwrite) return (void)SendReply(id, 553);
        } else {
            if (exists && !overwrite) return (void)SendReply(id, 553);
            if (offset != 0) return (void)SendReply(id, 554);
        }
    } else {
        std::string ignored;
        if (GetArgument(currentLine_, ignored)) return (void)SendReply(id, 500);
        if (offset != 0) return (void)SendReply(id, 554);
        int n = 0;
        for (; n < 65535; ++n) {
            char name[8];
            std::snprintf(name, sizeof name, "%05d", n);
            resolved = WithoutTrailingSeparator(ResolveAgainst(currentFolder_, name));
            at = CheckPath(resolved, Home());
            if (!at.IsFile()) {
                uniqueName_ = name;
                break;
            }
        }
        if (n == 65535) return (void)SendReply(id, 552);
    }
    if (resolved.empty() || IsSharePointRoot(resolved) || SplitVirtual(resolved).size() < 2 ||
        !at.Maps())
        return (void)SendReply(id, 550);
    const std::string& real = at.real;
    uint32_t flags = FILE_CREATE | FILE_READ_WRITE | FILE_SHARE_DENY_WRITE |
                     (dataType_ == TYPE_IMAGE ? FILE_BINARY : FILE_TEXT);
    if ((id == CMD_STOR && offset != 0) || id == CMD_APPE) flags |= FILE_NO_TRUNCATE;
    // An overwrite replaces the file only when the upload completes; resumes and appends
    // write in place, and what a failed new upload wrote stays for a resume.
    if (id == CMD_STOR && offset == 0 && exists) flags |= FILE_REPLACE;
    if (!file_.OpenFile(real, flags, false)) return (void)SendReply(id, 550);
    file_.SetMode(transferMode_);
    SetCurrentOperation(id, real, kStartPending, offset);
    restartLeft_ = offset;
    ContinueOnSend();
}

// A transfer that cannot start: the file goes, the session is idle again, and the refusal
// (if any) is answered under the command given.
void CFtpServerConnection::AbandonStart(CommandId id, int code) {
    file_.CloseFile();
    SetCurrentOperation(CMD_NOOP);
    if (code) SendReply(id, code);
}

// One positioning step. Text files are read through their line-end conversion, a block per
// send event, since offsets count converted bytes. True once the file stands at the offset;
// false while more steps follow or after the refusal was answered.
bool CFtpServerConnection::PositionAt(CommandId id, uint64_t offset, bool throughText) {
    if (throughText) {
        if (restartLeft_ == 0) return true;
        uint32_t got =
            file_.SkipText(static_cast<uint32_t>(std::min<uint64_t>(restartLeft_, 8192)));
        restartLeft_ -= got;
        if (restartLeft_ == 0) return true;
        if (got > 0)
            ContinueOnSend();
        else
            AbandonStart(id, 554);  // the file ends before the offset
        return false;
    }
    if (offset > file_.GetFileLength()) {
        AbandonStart(id, 554);
        return false;
    }
    if (!file_.Seek(offset)) {
        AbandonStart(id, 550);
        return false;
    }
    return true;
}

void CFtpServerConnection::StartDownload() {
    try {
        if (!PositionAt(CMD_RETR, operation_.offset, file_.TextMode())) return;
        operation_.state = 0;
        if (OpenDataConnection(dataType_)) {
            CountFiles(0, 1);
        } else {
            AbandonStart(CMD_RETR, 0);
            ContinueOnSend();
        }
    } catch (const CFileError&) {
        AbandonStart(CMD_RETR, 550);
    }
}

void CFtpServerConnection::StartUpload() {
    CommandId id = operation_.commandId;
    try {
        if (id != CMD_STOU) {
            // APPE writes after the last byte; STOR at its offset.
            uint64_t offset = id == CMD_APPE ? file_.GetFileLength() : operation_.offset;
            if (!PositionAt(id, offset, file_.TextMode() && id == CMD_STOR)) return;
            operation_.offset = offset;
        }
        operation_.state = 0;
        std::string text = id == CMD_STOU ? "FILE: " + uniqueName_ : "";
        if (OpenDataConnection(dataType_, text)) {
            CountFiles(1, 0);
        } else {
            AbandonStart(id, 0);
            ContinueOnSend();
        }
    } catch (const CFileError&) {
        AbandonStart(id, 550);
    }
}

void CFtpServerConnection::HandleList(int kind, const std::string& argument) {
    std::string path = argument;
    if (!path.empty() && path[0] == '-') {
        std::string rest;
        GetArgument(path, rest);
        path = rest;
    }
    if (path.empty()) path = "*";
    std::string resolved = WithoutTrailingSeparator(ResolveAgainst(currentFolder_, path));
    if (resolved.empty()) resolved = "\\";
    finder_.SetHome(Home());
    if (path.find_first_of("*?") == std::string::npos) {
        if (resolved == "\\" || FolderExists(resolved + "\\", Home()))
            resolved = (resolved == "\\" ? "" : resolved) + "\\*";
    }
    if (!list_.OpenListing(STREAM_KIND_LISTING, resolved, kind == LISTING_NAMES))
        return (void)SendReply(CMD_LIST, 450);
    list_.SetMode(transferMode_);
    list_.SetUtf8(kind == LISTING_NAMES && utf8Nlst_);
    CurrentOperation saved = operation_;
    SetCurrentOperation(CMD_LIST, resolved);
    if (!OpenDataConnection(TYPE_ASCII)) {
        list_.Close();
        operation_ = saved;
    }
}

void CFtpServerConnection::UpdateFromStream(const CFtpStream& stream) {
    operation_.previousSent = operation_.bytesSent;
    operation_.previousReceived = operation_.bytesReceived;
    operation_.bytesSent = stream.BytesSent();
    operation_.bytesReceived = stream.BytesReceived();
}

void CFtpServerConnection::OnDataSend() {
    if (OperationPending()) return secondarySocket_->SetWriteWanted(true);
    if (!VerifyDataConnection()) return;
    try {
        if (operation_.commandId == CMD_LIST) {
            try {
                if (list_.Usable() && !list_.SendListing()) list_.ShutDown();
            } catch (const std::exception&) {
                OnError(ERROR_FAILED, EV_SEND);
                list_.ShutDown();
            }
            UpdateFromStream(list_);
        } else if (operation_.commandId == CMD_RETR) {
            FileStep(true);
            CountBytes(0, operation_.bytesSent - operation_.previousSent);
        }
        lastActivity_ = Clock::Now();
    } catch (const std::exception&) {
        OnError(ERROR_FAILED, EV_SEND);
    }
}

void CFtpServerConnection::FileStep(bool sending) {
    try {
        if (file_.Usable() && !(sending ? file_.SendFromFile() : file_.ReceiveToFile()))
            file_.ShutDown();
    } catch (const std::exception&) {
        OnError(ERROR_FAILED, sending ? EV_SEND : EV_RECEIVE);
        file_.AddState(STREAM_FAILED);
        file_.ShutDown();
    }
    UpdateFromStream(file_);
}

void CFtpServerConnection::OnDataReceive() {
    if (OperationPending() || (dataProtection_ != 0 && !dataVerified_))
        return secondarySocket_->SetReadWanted(true);  // the check comes with a send event
    if (!IsUpload(operation_.commandId)) return;
    FileStep(false);
    CountBytes(operation_.bytesReceived - operation_.previousReceived, 0);
    lastActivity_ = Clock::Now();
}

void CFtpServerConnection::OnDataClose() {
    try {
        uint32_t state;
        switch (operation_.commandId) {
            case CMD_LIST:
                state = list_.State();
                return FinishTransfer((state & STREAM_COMPLETE) && !(state & STREAM_FAILED) ? 226
                                                                                            : 426);
            case CMD_STOR:
            case CMD_APPE:
            case CMD_STOU:
                // What the client sent before closing may still wait in the socket.
                if (file_.FileOpen() && !(file_.State() & STREAM_FAILED)) {
                    UpdateFromStream(file_);
                }
                if (file_.State() & STREAM_FAILED)
                    return FinishTransfer(UploadFailureCode(file_.FileError()));
                return FinishTransfer(file_.InflationCutShort() ? 426 : 226);
            case CMD_RETR:
                state = file_.State();
                return FinishTransfer((state & STREAM_COMPLETE) && !(state & STREAM_FAILED) ? 226
                                                                                            : 426);
            default:
                return;
        }
    } catch (const std::exception&) {
        OnError(ERROR_FAILED, EV_CLOSE);
        FinishTransfer(426);
    }
}

void CFtpServerConnection::FinishTransfer(int code) {
    try {
        CommandId id = operation_.commandId;
        if (IsUpload(id) && code < 300 && !file_.CommitReplacement()) code = 451;
        EndTransfer(code < 300);
        dataVerified_ = false;
        secondarySocket_->Close();
        tertiarySocket_->Close();
        list_.Close();
        file_.Close();
        try {
            SendReply(id, code);
        } catch (const std::exception&) {
            OnError(ERROR_FAILED, EV_CLOSE);
        }
        SetCurrentOperation(CMD_NOOP);
    } catch (const std::exception&) {
        CloseSession();
    }
}

void CFtpServerConnection::FailWaitingTransfer() {
    if (TransferStarted()) FinishTransfer(425);
}

void CFtpServerConnection::EndTransfer(bool success) {
    CommandId id = operation_.commandId;
    if (id != CMD_RETR && !IsUpload(id)) return;
    uint64_t offset = operation_.offset;
    uint64_t position = file_.Position();
    ReportTransfer(id, success, operation_.path, offset != 0,
                   position > offset ? position - offset : 0,
                   operation_.bytesSent + operation_.bytesReceived, operation_.time, Clock::Now());
}

void CFtpServerConnection::ReportTransfer(CommandId id, bool success, const std::string& path,
                                          bool restarted, uint64_t fileBytes,
                                          uint64_t transferBytes, platform::Time32 start,
                                          platform::Time32 end) {
    CFtpFileEventMsg event;
    event.flags = id == CMD_RETR ? FILE_EVENT_DOWNLOAD : FILE_EVENT_OTHER;
    if (transferMode_ == MODE_DEFLATE) event.flags |= FILE_EVENT_DEFLATE;
    if (primarySocket_->IsTlsRoleSet() && dataProtection_ != 0) event.flags |= FILE_EVENT_PROTECTED;
    if (!success) event.flags |= FILE_EVENT_FAILED;
    if (dataType_ == TYPE_IMAGE) event.flags |= FILE_EVENT_BINARY;
    if (restarted) event.flags |= FILE_EVENT_RESTARTED;
    event.valid = 1;
    event.path = path;
    event.user =
        platform::EqualsIgnoreCase(user_->name, "anonymous") ? user_->password : user_->name;
    event.start = start;
    event.end = end;
    event.fileBytes = fileBytes;
    event.transferBytes = transferBytes;
    controller_->AddFileEvent(event);
}

void CFtpServerConnection::CountFiles(uint64_t uploads, uint64_t downloads) {
    user_->uploads += uploads;
    user_->downloads += downloads;
    sessionUploads_ += uploads;
    sessionDownloads_ += downloads;
    controller_->AddTransferA(this, uploads, downloads);
}

void CFtpServerConnection::CountBytes(uint64_t received, uint64_t sent) {
    user_->bytesReceived += received;
    user_->bytesSent += sent;
    controller_->AddTransferB(this, received, sent);
}

// The client's last bytes (and in MODE Z what still waits to be inflated) are stored before
// the closed data connection goes.
void CFtpServerConnection::DrainUpload() {
    try {
        for (int i = 0; i < 100000 && file_.FileOpen() && file_.Usable(); ++i) {
            uint64_t before = file_.Position();
            file_.ReceiveToFile();
            if (file_.Position() == before) break;
        }
        UpdateFromStream(file_);
        CountBytes(operation_.bytesReceived - operation_.previousReceived, 0);
    } catch (const std::exception&) {
        file_.AddState(STREAM_FAILED);
    }
}
