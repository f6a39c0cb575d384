#pragma once
// The FTP server engine object: the FTP listening socket, a pool of session objects made at
// each start, the admission rules (a free session, the IP rules, bans after failed logins,
// logins per address), the server-wide counters, and the console channel it inherits.
// Everything runs on the loop thread; the lock is there for the status display and the
// console, which read the lists. The ban table has a lock of its own: sessions count their
// failed logins on their loops.

#include <array>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/IpRules.h"
#include "engine/BanList.h"
#include "engine/ControlConnection.h"
#include "engine/PooledSession.h"
#include "engine/SessionLoop.h"
#include "metrics/ServerCounters.h"
#include "streams/MsgStream.h"

// A session's last command line as displays show it: a PASS line never shows its password.
std::string DisplayedCommandLine(const std::string& line);

class CFtpServerController : public CFtpControlConnection {
public:
    static constexpr size_t kMaxFileEvents = 256;
    static constexpr size_t kMaxSamples = 168;
    static constexpr uint32_t kSequenceModulus = 2147483647;

    explicit CFtpServerController(CFtpEventSink* sink);
    ~CFtpServerController() override;

    // The loops sessions live on from the next start (none: the controller's own loop). The
    // loops must outlive the pool.
    void SetSessionLoops(std::vector<CSessionLoop*> loops);
    // Sessions active on each loop, in the order of the loops.
    std::vector<int> SessionsPerLoop();

    bool Create() override;
    virtual bool GetHostAddress(std::string& address);
    virtual bool StartServer();
    virtual void StopServer(bool shutDownSessions);
    virtual bool IsListening();
    // Why the FTP port could not be opened at the last start (an errno value; 0: it could).
    int ListenErrno() const { return listenErrno_; }
    // The implicit TLS port's listener, when it is open (for the start-up line).
    CFtpSocket* ImplicitTlsListener();
    virtual bool IsStopped();
    virtual void UpdateSessionInfo(CFtpPooledSession* session);
    // The record's command, as each one is read (the rest of the record follows at the tick).
    void NoteSessionCommand(CFtpPooledSession* session, const std::string& line);
    virtual void AddTransferA(CFtpPooledSession* session, uint64_t uploads, uint64_t downloads);
    virtual void AddTransferB(CFtpPooledSession* session, uint64_t received, uint64_t sent);
    virtual void ReleaseSession(CFtpPooledSession* session);
    virtual void AddFileEvent(const CFtpFileEventMsg& event);
    virtual bool AcceptClient(CFtpSocket* listener);
    virtual CFtpPooledSession* CreateSessionObject(CFtpEventSink* sink) = 0;
    virtual void RejectBusy(CFtpSocket* socket);
    // A warning in the log: the client at peer was not let in, and why (counted by reason).
    static void LogRefusal(const std::string& peer, const std::string& why,
                           metrics::Refusal reason);
    // Any thread: a wrong password (or an unknown user) from address, counted against the ban
    // rules; the warning when it starts a ban.
    void CountFailedLogin(const std::string& address);
    // Any thread: the address is refused for its failed logins now.
    bool IsBanned(const std::string& address);
    CBanList& Bans() { return bans_; }
    // An info line: a banned client was turned away (the warning came when the ban began).
    static void LogBanRefusal(const std::string& peer);
    // Session thread: the client a load balancer's PROXY header named goes through the IP
    // rules, the bans and the per-address limit; false when it is refused (logged).
    bool AdmitProxiedClient(CFtpPooledSession* session);
    virtual void ResetStatistics();
    virtual void SampleSharePoints(platform::Time32 t);
    virtual void SampleNetwork(platform::Time32 t);
    virtual void SampleUsers(platform::Time32 t);
    virtual void SampleTransfers(platform::Time32 t);
    virtual void SampleOther(platform::Time32 t);
    virtual void DestroyPool();
    // Every session takes the next tick, as after a new configuration (a shorter idle limit).
    void EndQuietSessions();

    void OnClose(CFtpSocket* socket) override;
    void OnSend(CFtpSocket* socket) override;
    void OnAccept(CFtpSocket* socket) override;
    void OnTick() override;
    void OnTlsEnd(CFtpSocket* socket) override;
    void OnTlsFailed(CFtpSocket* socket) override;
    void ResetConsoleBuffers() override;

    // Read by the status display and tests (each under the lock).
    int ActiveSessionCount();
    int PoolSize();
    uint64_t Accepted();
    uint64_t Rejected();
    std::array<uint64_t, 6> EndedByReason();
    std::vector<CFtpConnMsg> SessionList();
    std::vector<CFtpFileEventMsg> FileEvents();
    std::recursive_mutex& Lock() { return lock_; }

    // Overwrites the last sample when it lies in t's hour, else appends (keeping 168 at most).
    static void AddSample(History& history, platform::Time32 t, int64_t value);

protected:
    // The FTP port's listening socket, kept in the connection's third socket slot (a
    // session keeps its passive listener there).
    CFtpSocket& FtpListener() { return *tertiarySocket_; }
    // The console's senders.
    bool SendTransferStats() override;
    bool SendUserStats() override;
    bool SendNetStats() override;
    bool SendConnections() override;
    bool SendSharePoints() override;
    bool SendEvents() override;
    bool SendFileEvents() override;
    bool SendBans() override;
    bool SendReport(int kind, int index) override;
    void OnConsoleRequest() override;
    // Share points for the console (none until the session layer provides them).
    virtual int SharePointCount() { return 0; }
    virtual void FillSharePointMsg(int /*index*/, CFtpSharePtMsg& /*message*/) {}

    bool stopped_ = true;
    int listenErrno_ = 0;
    std::unique_ptr<CFtpSocket> spareSocket_;
    // Clients of this port speak TLS from their first byte on ("NetSslPort").
    std::unique_ptr<CFtpSocket> implicitListener_;
    bool OpenImplicitTlsListener();
    // Makes room for a pool of this many sessions: socket records and open descriptors.
    void MakeRoomForSessions(int sessions);
    CFtpMsgStream rejectStream_;
    std::recursive_mutex lock_;
    std::vector<CFtpConnMsg> connInfo_;
    std::vector<CFtpEventMsg> eventList_;
    std::vector<CFtpPooledSession*> allSessions_, activeSessions_;
    std::vector<CSessionLoop*> sessionLoops_;
    // Free slots and active sessions of each loop (one entry without session loops).
    std::vector<std::vector<CFtpPooledSession*>> freeByLoop_;
    std::vector<int> activeByLoop_;
    // The active sessions of each client address, so that admission counts a client's
    // sessions without going through every session.
    std::unordered_map<std::string, std::vector<CFtpPooledSession*>> byAddress_;
    // The loop a new client goes to: the least busy that has a free slot; -1 when none has.
    int ChooseLoop() const;
    // Under the lock: the rules, the bans and the per-address limit let peer in (else the
    // refusal is logged).
    bool Admissible(const std::string& peer);
    void LogConnected(CFtpPooledSession* session, const std::string& peer);
    // PROXY protocol: connections come from these load balancers only, and say whom they carry.
    bool proxyProtocol_ = false;
    std::vector<AddressPrefix> proxySources_;
    platform::Time32 hourMark_ = 0;
    uint64_t rejected_ = 0, accepted_ = 0;
    std::array<uint64_t, 6> endedByReason_{};
    uint64_t filesUploaded_ = 0, filesDownloaded_ = 0, bytesReceived_ = 0, bytesSent_ = 0;
    uint64_t previousReceived_ = 0, previousSent_ = 0, previousAccepted_ = 0, previousRejected_ = 0,
             previousUploads_ = 0, previousDownloads_ = 0;
    std::vector<History> sharePointHistories_;
    std::array<History, 2> networkHistories_, userHistories_, transferHistories_, otherHistories_;
    std::deque<CFtpFileEventMsg> fileEvents_;
    uint32_t sequence_ = 0;
    size_t connCursor_ = 0, eventCursor_ = 0, fileEventCursor_ = 0, sharePointCursor_ = 0;
    CBanList bans_;
    // The ban list as the console is being sent it, and what its last lift found.
    std::vector<BanRecord> bansShown_;
    size_t banCursor_ = 0;
    uint8_t liftResult_ = CFtpBanMsg::kNoLift;
};
