#pragma once
// TLS over a BIO pair: the library never touches the socket. This class moves bytes between
// the non-blocking socket and the pair, drives the handshake and the closing exchange from the
// engine's readiness events, enforces their time limits, and passes application-level receive
// and send events on only when there is something for the application.

#include <openssl/ssl.h>

#include <optional>

#include "metrics/ServerCounters.h"
#include "net/SecureSocket.h"

class CSslSocket : public CSecureSocket {
public:
    static constexpr uint32_t kHandshakeLimit = 89;  // seconds
    static constexpr uint32_t kShutdownLimit = 60;   // seconds
    // Each direction of the buffer pair between the library and the socket holds eight full
    // records: a file step of 128 KiB then leaves in one send, and a burst from the peer comes
    // in with one receive, where the library's default (one record) costs a system call per
    // 16 KiB. The library allocates a direction's buffer when it is first written.
    static constexpr size_t kPairBufferSize = 8 * (16384 + 256);

    ~CSslSocket() override;

    void SetReadWanted(bool wanted) override;
    void SetWriteWanted(bool wanted) override;
    bool IsSecure() override;
    // TLS runs, its handshake is over and it is not ending.
    bool TlsEstablished();
    // Its handshake resumed an earlier session rather than making a new one.
    bool SessionResumed();
    // Whether a TLS 1.3 handshake in the server role ends by sending the peer session tickets
    // (as many as the context issues). Kept for the socket's whole life, across reuses.
    void SetIssuesTickets(bool issues) { issuesTickets_ = issues; }
    // The connection kind this socket's handshakes are counted under in the metrics (none:
    // they are not counted).
    void SetHandshakeTally(metrics::TlsChannel channel) { tally_ = channel; }
    // Queues one more TLS 1.3 session ticket, sent ahead of the next record this socket
    // writes; false when TLS 1.3 is not established here.
    bool IssueSessionTicket();

    void DispatchAccept(int error) override;
    void DispatchConnect(int error) override;
    void DispatchSend(int error) override;
    void DispatchReceive(int error) override;
    void DispatchClose(int error) override;

    // 1 same client certificate (or neither socket secure), 0 different (or only one secure),
    // -1 not created, a required certificate missing, or a digest failure.
    virtual int SamePeerCertificate(CSslSocket& other);

protected:
    virtual void NotifyTlsStarted() = 0;
    virtual void NotifyTlsEnded() = 0;
    virtual void NotifyTlsFailed() = 0;

    int CipherBitsHook() override;
    int CipherAlgorithmBitsHook() override;

    virtual void BeginHandshake();
    virtual void TlsEnded();
    virtual void TlsFailed();
    virtual int PullFromSocket();
    // During the closing exchange: one whole record of the peer, or kPlainFollows.
    int PullShutdownRecord();
    static constexpr int kPlainFollows = -2;
    static constexpr unsigned char kFirstRecordType = 20;  // change_cipher_spec
    static constexpr unsigned char kLastRecordType = 23;   // application_data
    virtual int PushToSocket();
    virtual void AddEntropy() {}
    virtual bool CreateSsl(bool clientRole);
    virtual void FreeSsl();
    bool StartTls(int role) override;
    void BeginTlsShutdown() override;

    void ResetMembers() override;
    bool DoAccept(CSocketEx& target, sockaddr_storage* address, socklen_t* length) override;
    int DoReceive(void* buffer, int length, int flags) override;
    int DoSend(const void* buffer, int length, int flags) override;
    int DoSendFile(int fd, int length) override;
    int DoReceiveToPipe(int pipeFd, int length) override;
    void DoClose() override;
    int DoShutDown() override;
    bool DoCanClose() override;
    bool ResetIsOrderlyEnd() const override { return peerEndedTls_; }

    // Frees the library's state and gives the record back without any notification; for the
    // destructors, so the engine never dispatches into a half-destroyed object.
    void Detach();

private:
    bool InHandshake() const;
    bool CloseNotifySent() const;
    bool HandshakeExpiredOrRejected();
    // Decrypted data (or the peer's close or an error) is ready for the owner's next receive.
    bool InputPending();
    // Pushes whatever the library has queued for the peer; false when the socket went away.
    bool Flush();
    void AfterHandshakeStep();
    int Unblock(int result);

    SSL* ssl_ = nullptr;
    BIO* sslBio_ = nullptr;
    BIO* networkBio_ = nullptr;
    platform::Time32 handshakeStart_ = 0;
    platform::Time32 shutdownStart_ = 0;
    bool receiveNotify_ = false;
    bool sendNotify_ = false;
    bool notifyEnabled_ = false;
    // The peer's close notification came: all it sent has arrived. Some TLS stacks close
    // with a reset right after it, while ours is still unread.
    bool peerEndedTls_ = false;
    bool issuesTickets_ = true;
    std::optional<metrics::TlsChannel> tally_;
    // This handshake has been counted: the library can be "in init" again after it (TLS 1.3
    // tickets still to write), which is no new handshake.
    bool tallied_ = false;
};
