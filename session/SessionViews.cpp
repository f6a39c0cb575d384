// The session as its command families see it: the narrow views of session/LoginCommands.h,
// session/TreeCommands.h, session/DataSetup.h, session/Transfers.h,
// session/StatusCommands.h and session/SecurityCommands.h, each answered from the
// session's state.

#include "config/SettingNames.h"
#include "config/SettingsMap.h"
#include "engine/ServerController.h"
#include "metrics/ServerCounters.h"
#include "net/TlsRuntime.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "session/Replies.h"
#include "session/ServerConnection.h"
#include "session/SharePoints.h"
#include "streams/FileStream.h"

// What the login commands ask of the session.

bool CFtpServerConnection::LoginReply(CommandId id, int code, const std::string& text) {
    return SendReply(id, code, text);
}

UserRecord& CFtpServerConnection::LoginUser() {
    return *state_.user;
}

bool CFtpServerConnection::LoginDataOpen() {
    return secondarySocket_->IsOpen() || PassiveListener().IsOpen();
}

bool CFtpServerConnection::LoginControlSecure() {
    return primarySocket_->IsTlsRoleSet();
}

bool CFtpServerConnection::LoginBoolSetting(const char* name) const {
    return BoolSetting(name);
}

std::string CFtpServerConnection::LoginTextSetting(const char* name) const {
    return TextSetting(name);
}

bool CFtpServerConnection::LoginAuthenticate(UserRecord& user) {
    return Authenticate(user);
}

void CFtpServerConnection::LoginFailed(const std::string& what) {
    ++state_.failedLogins;
    metrics::Counters().CountLogin(false);
    LogEvent(platform::LogLevel::Warning, what);
}

void CFtpServerConnection::LoginGuessFailed() {
    controller_->CountFailedLogin(peer_.empty() ? ControlPeer() : peer_);
}

void CFtpServerConnection::LoginAccepted(const std::string& welcomeFile) {
    OnReply(CMD_PASS, REPLY_KIND_SUCCESS, REPLY_LOGGED_IN, FormatReply(REPLY_LOGGED_IN));
    state_.loggedIn = true;
    metrics::Counters().CountLogin(true);
    // The console's record names the user before the client hears 230, not at the next tick.
    controller_->UpdateSessionInfo(this);
    LogEvent(platform::LogLevel::Info, std::string("logged in") +
                                           (primarySocket_->IsTlsRoleSet() ? " over TLS" : "") +
                                           (Home().empty() ? "" : ", \"pub\" is " + Home()));
    control_.BeginReply(REPLY_LOGGED_IN, DefaultReplyText(REPLY_LOGGED_IN));
    if (!welcomeFile.empty()) control_.OpenReplyFile(welcomeFile);
    control_.SendReplyFile(CFtpMsgStream::kMaxLinesPerStep);
}

void CFtpServerConnection::LoginCloseData() {
    CloseData();
}

void CFtpServerConnection::LoginRestart() {
    if (!EndControlTls()) {
        closeReason_ = CLOSE_ERROR;
        return CloseSession();
    }
    ResetSession();
}

void CFtpServerConnection::LoginQuit() {
    SetCurrentOperation(CMD_QUIT);
}

// What the tree commands ask of the session.

const std::string& CFtpServerConnection::TreeFolder() const {
    return state_.folder;
}

std::string CFtpServerConnection::TreeHome() const {
    return Home();
}

uint32_t CFtpServerConnection::TreeRights() const {
    return state_.user ? state_.user->rights : 0;
}

const std::string& CFtpServerConnection::TreePreviousLine() const {
    return state_.previousLine;
}

bool CFtpServerConnection::TreeTextType() const {
    return transfers_.DataTypeInUse() == TYPE_ASCII;
}

bool CFtpServerConnection::TreeReply(CommandId id, int code, const std::string& text) {
    return SendReply(id, code, text);
}

void CFtpServerConnection::TreeEnterFolder(const std::string& folder) {
    state_.folder = folder;
    OnReply(CMD_CWD, REPLY_KIND_SUCCESS, REPLY_FILE_ACTION_DONE, folder);
    control_.BeginReply(REPLY_FILE_ACTION_DONE, DefaultReplyText(REPLY_FILE_ACTION_DONE));
    std::string message, real;
    if (FindFolderMessage(message) && MapToReal(message, Home(), real))
        control_.OpenReplyFile(real);
    control_.SendReplyFile(CFtpMsgStream::kMaxLinesPerStep);
}

void CFtpServerConnection::TreeCountTextSize(const std::string& real) {
    // Counted through the line-end conversion, a block per send event.
    if (!sizeFile_.Open(real, FILE_READ | FILE_SHARE_DENY_NONE | FILE_TEXT))
        return (void)SendReply(CMD_SIZE, REPLY_NOT_TAKEN);
    SetCurrentOperation(CMD_SIZE);
    ContinueOnSend();
}

bool CFtpServerConnection::FindFolderMessage(std::string& path) {
    path.clear();
    if (!BoolSetting(setting::SysCwdMsgState)) return false;
    std::string candidate = ResolveAgainst(state_.folder, ".message");
    candidate.pop_back();
    if (!FileExists(candidate, Home())) return false;
    path = candidate;
    return true;
}

void CFtpServerConnection::SizeStep() {
    try {
        uint8_t block[8192];
        uint32_t n = sizeFile_.Read(block, sizeof block);
        state_.operation.offset += n;
        if (n > 0) {
            ContinueOnSend();
            return;
        }
        sizeFile_.Close();
        uint64_t count = state_.operation.offset;
        SetCurrentOperation(CMD_NOOP);
        SendReply(CMD_SIZE, REPLY_FILE_STATUS, std::to_string(count));
    } catch (const CFileError&) {
        sizeFile_.Close();
        SetCurrentOperation(CMD_NOOP);
        SendReply(CMD_SIZE, REPLY_NOT_TAKEN);
    }
}

// What the data-connection set-up asks of the session.

bool CFtpServerConnection::DataReply(CommandId id, int code, const std::string& text) {
    return SendReply(id, code, text);
}

CFtpSocket& CFtpServerConnection::ControlSocket() {
    return *primarySocket_;
}

CFtpSocket& CFtpServerConnection::DataSocket() {
    return *secondarySocket_;
}

CFtpSocket& CFtpServerConnection::PassiveListener() {
    return *tertiarySocket_;
}

bool CFtpServerConnection::DataLoggedIn() const {
    return state_.loggedIn;
}

bool CFtpServerConnection::DataProtected() const {
    return state_.dataProtection != 0;
}

CommandId CFtpServerConnection::DataCommand() const {
    return state_.operation.commandId;
}

bool CFtpServerConnection::DataBoolSetting(const char* name) const {
    return BoolSetting(name);
}

std::string CFtpServerConnection::DataTextSetting(const char* name) const {
    return TextSetting(name);
}

bool CFtpServerConnection::DataPeerAllowed(CFtpSocket& socket) {
    if (CheckDataPeer(&socket)) return true;
    if (platform::Log::On(platform::LogLevel::Warning)) {
        std::string peer;
        int port = 0;
        socket.GetPeerName(peer, port);
        LogEvent(platform::LogLevel::Warning,
                 "data connection with " + (peer.empty() ? std::string("an unknown peer") : peer) +
                     " refused: not the client's address, or refused by the IP rules");
    }
    return false;
}

void CFtpServerConnection::DataWarn(const std::string& text) {
    LogEvent(platform::LogLevel::Warning, text);
}

void CFtpServerConnection::DataRefused() {
    FailWaitingTransfer();
}

void CFtpServerConnection::DataActivity() {
    lastActivity_ = platform::Clock::Now();
}

void CFtpServerConnection::DataRaise(uint32_t code, CFtpSocket& socket) {
    Notify(code, &socket);
}

void CFtpServerConnection::DataError(uint32_t code) {
    OnError(ERROR_FAILED, code);
}

// What the transfers ask of the session.

bool CFtpServerConnection::TransferReply(CommandId id, int code, const std::string& text) {
    return SendReply(id, code, text);
}

const std::string& CFtpServerConnection::TransferFolder() const {
    return state_.folder;
}

std::string CFtpServerConnection::TransferHome() const {
    return Home();
}

uint32_t CFtpServerConnection::TransferRights() const {
    return state_.user ? state_.user->rights : 0;
}

const std::string& CFtpServerConnection::TransferLine() const {
    return state_.line;
}

const std::string& CFtpServerConnection::TransferPreviousLine() const {
    return state_.previousLine;
}

bool CFtpServerConnection::TransferNlstUtf8() const {
    return state_.utf8Nlst;
}

bool CFtpServerConnection::TransferDeflateReady() {
    return DeflateReady();
}

CurrentOperation& CFtpServerConnection::TransferOperation() {
    return state_.operation;
}

void CFtpServerConnection::TransferSetOperation(CommandId id, const std::string& path,
                                                uint64_t state, uint64_t offset) {
    SetCurrentOperation(id, path, state, offset);
}

bool CFtpServerConnection::TransferOpenData(int type, const std::string& text) {
    return OpenDataConnection(type, text);
}

bool CFtpServerConnection::TransferDataVerified() {
    return VerifyDataConnection();
}

bool CFtpServerConnection::TransferDataWaitsForCheck() const {
    return state_.dataProtection != PROT_CLEAR && !state_.dataVerified;
}

void CFtpServerConnection::TransferWantDataEvent(bool send) {
    if (send)
        secondarySocket_->SetWriteWanted(true);
    else
        secondarySocket_->SetReadWanted(true);
}

bool CFtpServerConnection::TransferDataOpen() {
    return secondarySocket_->State() == SS_CONNECTED || PassiveListener().IsListening();
}

void CFtpServerConnection::TransferCloseData() {
    CloseData();
}

void CFtpServerConnection::TransferContinue() {
    ContinueOnSend();
}

void CFtpServerConnection::TransferActivity() {
    lastActivity_ = platform::Clock::Now();
}

void CFtpServerConnection::TransferError(uint32_t code) {
    OnError(ERROR_FAILED, code);
}

void CFtpServerConnection::TransferCountFiles(uint64_t uploads, uint64_t downloads) {
    CountFiles(uploads, downloads);
}

void CFtpServerConnection::TransferCountBytes(uint64_t received, uint64_t sent) {
    CountBytes(received, sent);
}

void CFtpServerConnection::TransferReport(const TransferRecord& record) {
    ReportTransfer(record);
}

void CFtpServerConnection::TransferFailSession() {
    CloseSession();
}

// What the status commands ask of the session.

bool CFtpServerConnection::StatusStartDigest(const std::string& path) {
    return transfers_.StartDigest(path);
}

bool CFtpServerConnection::StatusReply(CommandId id, int code, const std::string& text) {
    return SendReply(id, code, text);
}

void CFtpServerConnection::StatusBegin(CommandId id, int code) {
    OnReply(id, REPLY_KIND_SUCCESS, code, "");
}

void CFtpServerConnection::StatusLine(const std::string& line) {
    control_.WriteLine(line);
}

std::optional<uint64_t> CFtpServerConnection::StatusTransferPosition() {
    if (!OperationInProgress()) return std::nullopt;
    return transfers_.FilePosition();
}

SessionStatus CFtpServerConnection::StatusOfSession() {
    SessionStatus status;
    if (!BoolSetting(setting::NetFixIPState)) {
        int port = 0;
        primarySocket_->GetSockName(status.localAddress, port);
    }
    status.contact = TextSetting(setting::SysAdminEmail);
    status.user = state_.user->name;
    status.auth = state_.authMechanism;
    status.type = transfers_.DataTypeInUse();
    status.mode = transfers_.ModeInUse();
    status.structure = transfers_.StructureInUse();
    status.bytesSent = state_.user->bytesSent;
    status.downloads = state_.user->downloads;
    status.bytesReceived = state_.user->bytesReceived;
    status.uploads = state_.user->uploads;
    return status;
}

bool CFtpServerConnection::StatusDeflateOn() const {
    return BoolSetting(setting::SysDeflateState);
}

bool CFtpServerConnection::StatusDeflateReady() {
    return DeflateReady();
}

bool CFtpServerConnection::StatusSetDeflateLevel(int level) {
    return deflate_.SetLevel(level);
}

int CFtpServerConnection::StatusApplyUtf8(const std::string& argument) {
    int code = ApplyUtf8Option(argument, state_.utf8, state_.utf8Nlst);
    control_.SetUtf8(state_.utf8);
    return code;
}

// What the security commands ask of the session, and the TLS mechanics they set going.

bool CFtpServerConnection::PrepareTls() {
    return false;
}

bool CFtpServerConnection::ControlSwitchPending() const {
    return state_.operation.commandId == CMD_AUTH || state_.operation.commandId == CMD_CCC;
}

bool CFtpServerConnection::SecurityReply(CommandId id, int code, const std::string& text) {
    return SendReply(id, code, text);
}

bool CFtpServerConnection::SecurityTlsOffered() const {
    return BoolSetting(setting::SSLState) && CTlsRuntime::Instance().HasServerContext();
}

bool CFtpServerConnection::SecurityTlsAllowed() {
    return PrepareTls();
}

bool CFtpServerConnection::SecurityControlSecure() {
    return primarySocket_->IsSecure();
}

bool CFtpServerConnection::SecurityLoggedIn() const {
    return state_.loggedIn;
}

const std::string& CFtpServerConnection::SecurityPreviousLine() const {
    return state_.previousLine;
}

void CFtpServerConnection::SecurityStartTls(AuthMechanism mechanism) {
    state_.authMechanism = mechanism;
    state_.dataProtection = PROT_PRIVATE;
    SetCurrentOperation(CMD_AUTH);
}

void CFtpServerConnection::SecurityEndTls() {
    SetCurrentOperation(CMD_CCC);
}

void CFtpServerConnection::SecuritySetProtection(DataProtection protection) {
    data_.ForgetPassive();
    state_.dataProtection = protection;
}

bool CFtpServerConnection::EndControlTls() {
    // Only the control connection goes back to plain text: the data protection the client
    // chose with PROT stays (RFC 4217; clients such as curl go on using TLS for data after
    // CCC, and data asked to be private must not go out in clear). REIN resets it anyway.
    state_.authMechanism = AUTH_NONE;
    if (primarySocket_->State() == SS_CONNECTED && primarySocket_->IsSecure())
        return primarySocket_->SetTlsRole(TLS_NONE);
    return true;
}

bool CFtpServerConnection::VerifyDataConnection() {
    if (state_.dataProtection == PROT_CLEAR || state_.dataVerified) return true;
    if (!secondarySocket_->TlsEstablished()) {
        secondarySocket_->SetWriteWanted(true);  // the send event after the handshake
        return false;
    }
    if (BoolSetting(setting::SSLVerifyCert) &&
        primarySocket_->SamePeerCertificate(*secondarySocket_) < 1) {
        FinishTransfer(REPLY_SECURITY_CHECK_FAILED);
        return false;
    }
    // Someone who took the passive port would need a session of this server as well, and
    // from the client's own address (the peer check) only the client has one.
    if (BoolSetting(setting::SSLReqSessionReuse) && !secondarySocket_->SessionResumed()) {
        LogEvent(platform::LogLevel::Warning,
                 "protected data connection refused: it did not resume the control "
                 "connection's TLS session");
        FinishTransfer(REPLY_SECURITY_CHECK_FAILED);
        return false;
    }
    // A TLS 1.3 client uses a ticket once: the one this data connection resumed with is spent.
    // A fresh one goes out ahead of the next reply on the control connection, which every
    // client reads, so its next data connection can resume too (curl fetching several files).
    // Data connections themselves get none: an uploading client may never read them.
    if (secondarySocket_->SessionResumed() && primarySocket_->IsSecure())
        primarySocket_->IssueSessionTicket();
    state_.dataVerified = true;
    // An upload may have data waiting already; its receive events were only re-armed so far.
    if (IsUpload(state_.operation.commandId)) Notify(EV_RECEIVE, secondarySocket_);
    return true;
}

// ---- machine listings (MLSD, MLST) ----

bool CFtpServerConnection::StatusMachineListings() const {
    return BoolSetting(setting::SysMlstState);
}

unsigned CFtpServerConnection::StatusMachineFacts() const {
    return state_.machineFacts;
}

void CFtpServerConnection::StatusSetMachineFacts(unsigned facts) {
    state_.machineFacts = facts;
}

void CFtpServerConnection::TreeBegin(CommandId id, int code) {
    StatusBegin(id, code);
}

void CFtpServerConnection::TreeLine(const std::string& line) {
    StatusLine(line);
}

unsigned CFtpServerConnection::TreeMachineFacts() const {
    return state_.machineFacts;
}

bool CFtpServerConnection::TransferUtf8() const {
    return state_.utf8;
}

unsigned CFtpServerConnection::TransferMachineFacts() const {
    return state_.machineFacts;
}
