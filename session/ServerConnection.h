#pragma once
// One client's FTP session: a pooled object that the controller takes a client into, greets,
// ticks and releases. It reads command lines one per receive event, admits each by the
// session's state (logged out, busy, idle) and answers with numbered replies.

#include <memory>
#include <string>

#include "engine/PooledSession.h"
#include "platform/Log.h"
#include "session/Commands.h"
#include "session/DataSetup.h"
#include "session/LoginCommands.h"
#include "session/SecurityCommands.h"
#include "session/SessionState.h"
#include "session/StatusCommands.h"
#include "session/Transfers.h"
#include "session/TreeCommands.h"
#include "streams/DeflateBuffer.h"
#include "streams/FileStream.h"
#include "streams/MsgStream.h"

class CFtpServerController;
class CSettingsMap;

enum CloseReason {
    CLOSE_NONE = 0,
    CLOSE_CLIENT = 1,
    CLOSE_IDLE = 2,
    CLOSE_LOGINS = 3,
    CLOSE_SHUTDOWN = 4,
    CLOSE_ERROR = 5
};
// "the client closed the connection", "idle time-out", ... as the log says it.
const char* CloseReasonText(int reason);

// OnError's severity: the connection ended, or a step failed.
enum ErrorSeverity : int { ERROR_ENDED = 2, ERROR_FAILED = 3 };

class CFtpServerConnection : public CFtpPooledSession,
                             private CTreeSession,
                             private CDataSession,
                             private CStatusSession,
                             private CSecuritySession,
                             private CTransferSession,
                             private CLoginSession {
public:
    CFtpServerConnection(CFtpServerController* controller, CFtpEventSink* sink);
    ~CFtpServerConnection() override;

    bool Create() override;
    void OnClose(CFtpSocket* socket) override;
    void OnSend(CFtpSocket* socket) override;
    void OnReceive(CFtpSocket* socket) override;
    void OnTick() override;
    void OnDrained(uint32_t mark) override;
    void OnAccept(CFtpSocket* socket) override;
    void OnConnect(CFtpSocket* socket, bool ok) override;
    void OnTlsStart(CFtpSocket* socket) override;
    void OnTlsEnd(CFtpSocket* socket) override;
    void OnTlsFailed(CFtpSocket* socket) override;
    void CloseSockets() override;
    void DeleteSockets() override;
    CFtpSocket* CreatePrimarySocket(CFtpConnection* owner) override;
    CFtpSocket* CreateSecondarySocket(CFtpConnection* owner) override;

    void Greet(bool implicitTls = false) override;
    void SendGreeting();
    virtual void CloseSession();
    virtual void ResetSession();
    virtual bool EndControlTls();
    void ShutdownSession() override;
    void Disconnect() override;
    void DropClient() override;
    void ReleaseMemory() override;
    void TakeUp() override;
    void FillView(SessionView& view) const override;
    virtual std::unique_ptr<UserRecord> CreateUser();
    // The account check: the base refuses everyone.
    virtual bool Authenticate(UserRecord& user);
    // Every reply as it goes out; kind is a ReplyKind.
    virtual void OnReply(CommandId id, int kind, int code, const std::string& text);
    virtual void ReportTransfer(const TransferRecord& record);
    virtual void CountFiles(uint64_t uploads, uint64_t downloads);
    virtual void CountBytes(uint64_t received, uint64_t sent);
    // Closes the data connection and answers the running transfer with code.
    void FinishTransfer(int code);
    // A data connection that could not be taken: the transfer waiting for it ends with 425.
    void FailWaitingTransfer();
    virtual void OnError(int severity, uint32_t code);
    // The data connection's peer must pass the access rules and be the control connection's
    // own peer (no bounce, no theft of the data connection).
    virtual bool CheckDataPeer(CFtpSocket* socket);
    // Gets the data connection ready and answers 150 or 125; false after a 425.
    bool OpenDataConnection(int type, const std::string& text = "");

    // Sends one single-line reply ("" for the code's default text); a code of 400 or more
    // starts the command delay.
    bool SendReply(CommandId id, int code, const std::string& text = "");
    void SetCurrentOperation(CommandId id, const std::string& path = "", uint64_t state = 0,
                             uint64_t offset = 0);
    bool OperationPending() const;
    bool OperationInProgress() const;
    // A transfer past its start: it has answered 150 or 125 and owes its final reply.
    bool TransferStarted() const;

    // The account and its counters as the status display reads them (null before a client).
    const UserRecord* User() const { return state_.user.get(); }
    // Files this pool object has moved over all its sessions: kept when a session ends.
    uint64_t SessionUploads() const { return sessionUploads_; }
    uint64_t SessionDownloads() const { return sessionDownloads_; }
    std::string UserName() const override { return state_.user ? state_.user->name : ""; }
    std::string Password() const override { return state_.user ? state_.user->password : ""; }
    std::string LastCommandLine() const override { return state_.line; }
    std::string CurrentFolder() const override { return state_.folder; }
    platform::Time32 LoginTime() const override { return startTime_; }
    int CloseReason() const override { return closeReason_; }
    void FillFigures(CFtpConnMsg& record) const override;

    bool LoggedIn() const { return state_.loggedIn; }
    const CurrentOperation& Operation() const { return state_.operation; }
    CFtpMsgStream& ControlStream() { return control_; }

protected:
    virtual void DispatchCommand();
    // Calls the handler of an admitted command.
    virtual void Execute(CommandId id, const std::string& argument);
    // The login commands' view of the session (session/LoginCommands.h).
    bool LoginReply(CommandId id, int code, const std::string& text = "") override;
    UserRecord& LoginUser() override;
    bool LoginDataOpen() override;
    bool LoginControlSecure() override;
    bool LoginBoolSetting(const char* name) const override;
    std::string LoginTextSetting(const char* name) const override;
    bool LoginAuthenticate(UserRecord& user) override;
    void LoginFailed(const std::string& what) override;
    void LoginGuessFailed() override;
    void LoginAccepted(const std::string& welcomeFile) override;
    void LoginCloseData() override;
    void LoginRestart() override;
    void LoginQuit() override;
    // The tree commands' view of the session (session/TreeCommands.h).
    const std::string& TreeFolder() const override;
    std::string TreeHome() const override;
    uint32_t TreeRights() const override;
    const std::string& TreePreviousLine() const override;
    bool TreeTextType() const override;
    bool TreeReply(CommandId id, int code, const std::string& text = "") override;
    void TreeEnterFolder(const std::string& folder) override;
    void TreeCountTextSize(const std::string& real) override;
    void TreeBegin(CommandId id, int code) override;
    void TreeLine(const std::string& line) override;
    unsigned TreeMachineFacts() const override;
    // One step of an ASCII SIZE's count.
    void SizeStep();
    // The status commands' view of the session (session/StatusCommands.h).
    bool StatusReply(CommandId id, int code, const std::string& text = "") override;
    void StatusBegin(CommandId id, int code) override;
    void StatusLine(const std::string& line) override;
    std::optional<uint64_t> StatusTransferPosition() override;
    SessionStatus StatusOfSession() override;
    bool StatusDeflateOn() const override;
    bool StatusDeflateReady() override;
    bool StatusSetDeflateLevel(int level) override;
    int StatusApplyUtf8(const std::string& argument) override;
    bool StatusStartDigest(const std::string& path) override;
    bool StatusMachineListings() const override;
    unsigned StatusMachineFacts() const override;
    void StatusSetMachineFacts(unsigned facts) override;
    // The security commands' view of the session (session/SecurityCommands.h).
    bool SecurityReply(CommandId id, int code, const std::string& text = "") override;
    bool SecurityTlsOffered() const override;
    bool SecurityTlsAllowed() override;
    bool SecurityControlSecure() override;
    bool SecurityLoggedIn() const override;
    const std::string& SecurityPreviousLine() const override;
    void SecurityStartTls(AuthMechanism mechanism) override;
    void SecurityEndTls() override;
    void SecuritySetProtection(DataProtection protection) override;
    // The application's say whether TLS may be started (the base: never).
    virtual bool PrepareTls();
    // The once-per-transfer check of a protected data connection against the control
    // connection; false when the transfer was ended with 435.
    bool VerifyDataConnection();
    // AUTH and CCC switch the control connection after their reply: no line is read before.
    bool ControlSwitchPending() const;
    // ".message" of the current folder when folder messages are on.
    virtual bool FindFolderMessage(std::string& path);
    std::string Home() const { return state_.user ? state_.user->home : ""; }
    // The data-connection set-up's view of the session (session/DataSetup.h).
    bool DataReply(CommandId id, int code, const std::string& text = "") override;
    CFtpSocket& ControlSocket() override;
    CFtpSocket& DataSocket() override;
    // The passive data listener, kept in the connection's third socket slot (the controller
    // keeps its FTP listener there).
    CFtpSocket& PassiveListener() override;
    bool DataLoggedIn() const override;
    bool DataProtected() const override;
    CommandId DataCommand() const override;
    bool DataBoolSetting(const char* name) const override;
    std::string DataTextSetting(const char* name) const override;
    bool DataPeerAllowed(CFtpSocket& socket) override;
    void DataRefused() override;
    void DataActivity() override;
    void DataRaise(uint32_t code, CFtpSocket& socket) override;
    void DataError(uint32_t code) override;
    void DataWarn(const std::string& text) override;
    std::string ControlPeer();
    // A line in the log about this client: "PEER USER: text" (the user once logged in).
    void LogEvent(platform::LogLevel level, const std::string& text);
    // The transfers' view of the session (session/Transfers.h).
    bool TransferReply(CommandId id, int code, const std::string& text = "") override;
    const std::string& TransferFolder() const override;
    std::string TransferHome() const override;
    uint32_t TransferRights() const override;
    const std::string& TransferLine() const override;
    const std::string& TransferPreviousLine() const override;
    bool TransferNlstUtf8() const override;
    bool TransferDeflateReady() override;
    bool TransferUtf8() const override;
    unsigned TransferMachineFacts() const override;
    CurrentOperation& TransferOperation() override;
    void TransferSetOperation(CommandId id, const std::string& path, uint64_t state,
                              uint64_t offset) override;
    bool TransferOpenData(int type, const std::string& text) override;
    bool TransferDataVerified() override;
    bool TransferDataWaitsForCheck() const override;
    void TransferWantDataEvent(bool send) override;
    bool TransferDataOpen() override;
    void TransferCloseData() override;
    void TransferContinue() override;
    void TransferActivity() override;
    void TransferError(uint32_t code) override;
    void TransferCountFiles(uint64_t uploads, uint64_t downloads) override;
    void TransferCountBytes(uint64_t received, uint64_t sent) override;
    void TransferReport(const TransferRecord& record) override;
    void TransferFailSession() override;

    const CSettingsMap& Settings() const;
    bool BoolSetting(const char* name) const;
    int IntSetting(const char* name) const;
    std::string TextSetting(const char* name) const;  // "" when it is not there
    // The data connection and the passive listener close; the next one is checked afresh.
    void CloseData();
    int AtLeastOne(const char* name) const;
    // Raises a receive event for the control socket when a whole line waits unread.
    void ResumeReading();
    // The next step of a multi-step operation (a start, a count, a restart position) runs on
    // the control socket's next send event; it is raised at once instead of on the tick.
    void ContinueOnSend();
    // Makes zlib's state on first use; false when MODE Z is off or the state cannot be made.
    bool DeflateReady();

    SessionState state_;
    CFtpMsgStream control_;
    CFtpDeflateBuffer deflate_;
    bool errorDelay_ = false;
    bool readDeferred_ = false;   // a line waits unread for a reply or a start to finish
    bool greetAfterTls_ = false;  // a client of the implicit TLS port, not greeted yet
    platform::Time32 lastErrorTime_ = 0;
    platform::Time32 lastActivity_ = 0;
    platform::Time32 startTime_ = 0;
    std::string peer_;  // the client's address, for the log; "" once the session has ended
    int ticksWithoutConnection_ = 0;  // the fallback release comes on the second
    uint32_t closeMark_ = 0;          // the newest EV_DRAINED mark, one per CloseSession
    int closeReason_ = CLOSE_NONE;
    uint64_t sessionUploads_ = 0, sessionDownloads_ = 0;
    CFtpFile sizeFile_;  // the file an ASCII SIZE counts through
    CTreeCommands tree_{*this};
    CDataSetup data_{*this};
    CStatusCommands status_{*this};
    CSecurityCommands security_{*this};
    CTransfers transfers_{*this};
    CLoginCommands login_{*this};
};
