#include "net/SslSocket.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "net/TlsRuntime.h"

using platform::Clock;

CSslSocket::~CSslSocket() {
    SocketLock lock(Mutex());
    Detach();
}

void CSslSocket::Detach() {
    if (ssl_) {
        SSL_free(ssl_);
        BIO_free(networkBio_);
        ssl_ = nullptr;
        sslBio_ = networkBio_ = nullptr;
    }
    notifyEnabled_ = false;
    CSocketEx::DoClose();
}

bool CSslSocket::IsSecure() {
    SocketLock lock(Mutex());
    if (tlsRole_ == TLS_NONE || !created_) return false;
    return ssl_ != nullptr || record_->state == SS_LISTENING;
}

bool CSslSocket::TlsEstablished() {
    SocketLock lock(Mutex());
    return created_ && ssl_ && !SSL_in_init(ssl_) && !CloseNotifySent();
}

bool CSslSocket::SessionResumed() {
    SocketLock lock(Mutex());
    return created_ && ssl_ && SSL_session_reused(ssl_) == 1;
}

bool CSslSocket::IssueSessionTicket() {
    SocketLock lock(Mutex());
    if (!created_ || !ssl_ || SSL_in_init(ssl_) || SSL_version(ssl_) != TLS1_3_VERSION)
        return false;
    return SSL_new_session_ticket(ssl_) == 1;
}

bool CSslSocket::InHandshake() const {
    return ssl_ && SSL_in_init(ssl_);
}

bool CSslSocket::CloseNotifySent() const {
    return ssl_ && (SSL_get_shutdown(ssl_) & SSL_SENT_SHUTDOWN);
}

bool CSslSocket::InputPending() {
    if (!ssl_) return false;
    if (SSL_pending(ssl_) > 0) return true;
    // A close notification that an earlier look (SSL_peek) already took from the pair is
    // still news for the owner until its next receive answers it with ours.
    if ((SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) && !CloseNotifySent()) return true;
    if (BIO_ctrl_pending(sslBio_) == 0) return false;
    // Bytes in the pair may be only part of a record: ask the library whether they decrypt
    // to anything. An error or the peer's close notification counts too, so the owner's
    // next receive finds out.
    char probe;
    int result = SSL_peek(ssl_, &probe, 1);
    if (result > 0) return true;
    int error = SSL_get_error(ssl_, result);
    return error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
}

bool CSslSocket::HandshakeExpiredOrRejected() {
    // The verdict only matters where the peer is verified at all; without verification the
    // library still records why it would not have trusted the peer.
    if ((SSL_get_verify_mode(ssl_) & SSL_VERIFY_PEER) && SSL_get_verify_result(ssl_) != X509_V_OK)
        return true;
    return Clock::Now() - handshakeStart_ > kHandshakeLimit;
}

bool CSslSocket::Flush() {
    while (ssl_ && BIO_ctrl_pending(networkBio_) > 0) {
        int pushed = PushToSocket();
        if (pushed < 0) return false;
        if (pushed == 0) break;
    }
    return ssl_ != nullptr;
}

// ---- interest ----

void CSslSocket::SetReadWanted(bool wanted) {
    SocketLock lock(Mutex());
    if (!created_ || !record_->open) return;
    if (!IsSecure()) {
        CSocketEx::SetReadWanted(wanted);
        return;
    }
    receiveNotify_ = wanted;
    if (!wanted) return;
    // Data may already wait inside the library, where poll() cannot see it.
    Engine().ArmRead(record_, false);
    if (InputPending()) Engine().ArmWrite(record_, true);
}

void CSslSocket::SetWriteWanted(bool wanted) {
    SocketLock lock(Mutex());
    if (!created_ || !record_->open) return;
    if (!IsSecure()) {
        CSocketEx::SetWriteWanted(wanted);
        return;
    }
    sendNotify_ = wanted;
    // Also arm the record, so an idle secure connection that asks for a send event gets one.
    if (wanted) Engine().ArmWrite(record_, false);
}

// ---- dispatch (lock held) ----

void CSslSocket::DispatchAccept(int error) {
    CSocketEx::DispatchAccept(error);
    AddEntropy();
}

void CSslSocket::DispatchConnect(int error) {
    CSocketEx::DispatchConnect(error);
    if (tlsRole_ != TLS_NONE && ssl_) {
        if (created_ && record_->state == SS_CONNECTED)
            BeginHandshake();
        else
            TlsFailed();
    }
    AddEntropy();
}

void CSslSocket::AfterHandshakeStep() {
    if (!Flush()) return;
    if (InHandshake()) {
        // Served each tick while the peer is silent, so the time limit is enforced.
        Engine().ArmWrite(record_, false);
        return;
    }
    // Established: a send event now tells the owner; pending input is passed on from there.
    if (tally_ && !tallied_) metrics::Counters().CountTlsHandshake(*tally_, true);
    tallied_ = true;
    Engine().ArmWrite(record_, true);
}

namespace {
bool FatalError(SSL* ssl, int result) {
    int error = SSL_get_error(ssl, result);
    return error == SSL_ERROR_SSL || error == SSL_ERROR_SYSCALL;
}
}  // namespace

void CSslSocket::DispatchReceive(int error) {
    if (!created_ || !record_->open) return;
    if (!IsSecure() || !ssl_) {
        CSocketEx::DispatchReceive(error);
        return;
    }
    record_->readWanted = record_->readPrompt = false;
    if (InHandshake()) {
        if (HandshakeExpiredOrRejected()) return TlsFailed();
        if (PullFromSocket() == -1) return;
        int result = SSL_do_handshake(ssl_);
        if (result <= 0 && FatalError(ssl_, result)) {
            Flush();  // the alert that tells the peer why
            return TlsFailed();
        }
        return AfterHandshakeStep();
    }
    if (CloseNotifySent()) {
        // Not finished yet (0, or "want read" from the library of today): take what the
        // socket holds and try once more.
        int result = SSL_shutdown(ssl_);
        if (result == 0 || (result < 0 && !FatalError(ssl_, result))) {
            int pulled = PullShutdownRecord();
            if (pulled == kPlainFollows) return TlsEnded();
            if (pulled == -1) return;
            result = SSL_shutdown(ssl_);
        }
        if (result < 0 && FatalError(ssl_, result)) return TlsFailed();
        if (result == 0 && Clock::Now() - shutdownStart_ > kShutdownLimit) return TlsFailed();
        if (result > 0) return TlsEnded();
        Engine().ArmRead(record_, false);
        return;
    }
    if (PullFromSocket() == -1) return;
    // One receive event per piece of data the owner can read, not per piece of a record.
    if (notifyEnabled_ && receiveNotify_ && InputPending()) {
        receiveNotify_ = false;
        OnReceive(error);
    }
    Flush();
}

void CSslSocket::DispatchSend(int error) {
    if (!created_ || !record_->open) return;
    if (!IsSecure() || !ssl_) {
        CSocketEx::DispatchSend(error);
        return;
    }
    record_->writeWanted = record_->writePrompt = false;
    if (InHandshake()) {
        if (HandshakeExpiredOrRejected()) return TlsFailed();
        int result = SSL_do_handshake(ssl_);
        if (result <= 0 && FatalError(ssl_, result)) {
            Flush();
            return TlsFailed();
        }
        return AfterHandshakeStep();
    }
    if (CloseNotifySent()) {
        int result = SSL_shutdown(ssl_);
        if (result > 0) return TlsEnded();
        if (result < 0 && FatalError(ssl_, result)) return TlsFailed();
        if (Clock::Now() - shutdownStart_ > kShutdownLimit) return TlsFailed();
        if (PushToSocket() == -1) return;
        Engine().ArmWrite(record_, false);  // the time limit is checked each tick
        return;
    }
    if (PushToSocket() == -1 || !notifyEnabled_) return;
    if (sendNotify_) {
        sendNotify_ = false;
        OnSend(error);
    }
    if (receiveNotify_ && InputPending()) {
        receiveNotify_ = false;
        OnReceive(error);
    }
}

void CSslSocket::DispatchClose(int error) {
    if (created_ && record_->open && IsSecure() && ssl_) {
        if (SSL_get_shutdown(ssl_) != 0)
            TlsEnded();
        else
            TlsFailed();
    }
    CSocketEx::DispatchClose(error);
}

// ---- TLS life cycle ----

bool CSslSocket::CreateSsl(bool clientRole) {
    if (ssl_) FreeSsl();
    peerEndedTls_ = false;
    CTlsRuntime& runtime = CTlsRuntime::Instance();
    SSL_CTX* context = clientRole ? runtime.ClientContext() : runtime.ServerContext();
    if (!context) {
        FreeSsl();
        return false;
    }
    ssl_ = SSL_new(context);
    if (!ssl_ || BIO_new_bio_pair(&sslBio_, kPairBufferSize, &networkBio_, kPairBufferSize) != 1) {
        FreeSsl();
        return false;
    }
    SSL_set_bio(ssl_, sslBio_, sslBio_);
    SSL_verify_cb callback = SSL_get_verify_callback(ssl_);
    switch (verifyMode_) {
        case VERIFY_NONE:
            SSL_set_verify(ssl_, SSL_VERIFY_NONE, callback);
            break;
        case VERIFY_IF_PRESENT:
            SSL_set_verify(ssl_, SSL_VERIFY_PEER, callback);
            break;
        case VERIFY_REQUIRED:
            SSL_set_verify(ssl_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, callback);
            break;
        default:
            break;  // the context's mode
    }
    if (clientRole) {
        SSL_set_connect_state(ssl_);
    } else {
        SSL_set_accept_state(ssl_);
        if (!issuesTickets_) SSL_set_num_tickets(ssl_, 0);
    }
    receiveNotify_ = sendNotify_ = notifyEnabled_ = true;
    return true;
}

void CSslSocket::FreeSsl() {
    if (ssl_) {
        // The library drops the session of a connection that never sent its close
        // notification from the cache: the peer's close came first, or the connection was
        // cut. A data connection's session is the control connection's, which every later
        // data connection resumes; it stays (a fatal alert still drops it).
        SSL_set_shutdown(ssl_, SSL_get_shutdown(ssl_) | SSL_SENT_SHUTDOWN);
        SSL_free(ssl_);  // frees sslBio_ too
    } else if (sslBio_) {
        BIO_free(sslBio_);
    }
    if (networkBio_) BIO_free(networkBio_);
    ssl_ = nullptr;
    sslBio_ = networkBio_ = nullptr;
    handshakeStart_ = shutdownStart_ = 0;
    ClearTlsState();
    receiveNotify_ = sendNotify_ = notifyEnabled_ = false;
}

bool CSslSocket::StartTls(int role) {
    handshakeState_ = 0;
    if (role != TLS_CLIENT && role != TLS_SERVER) return false;
    if (!CreateSsl(role == TLS_CLIENT)) return false;
    tlsRole_ = role;
    if (created_ && record_->open) BeginHandshake();
    return tlsRole_ == role && handshakeState_ == 1;
}

void CSslSocket::BeginHandshake() {
    if (notifyEnabled_) NotifyTlsStarted();
    handshakeStart_ = Clock::Now();
    handshakeState_ = 1;
    tallied_ = false;
    Engine().ArmRead(record_, true);
    Engine().ArmWrite(record_, true);
}

void CSslSocket::BeginTlsShutdown() {
    if (!ssl_) return;
    ERR_clear_error();
    SSL_shutdown(ssl_);
    shutdownStart_ = Clock::Now();
    if (!Flush()) return;
    if (!(SSL_get_shutdown(ssl_) & SSL_SENT_SHUTDOWN)) return TlsFailed();
    if (created_ && record_->open) {
        Engine().ArmRead(record_, true);    // the peer's close notification
        Engine().ArmWrite(record_, false);  // the time limit
    }
}

void CSslSocket::TlsEnded() {
    peerEndedTls_ = ssl_ && (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN);
    if (notifyEnabled_) NotifyTlsEnded();
    FreeSsl();
    handshakeState_ = 0;
    tlsRole_ = TLS_NONE;
    // Plain text may follow at once (or be there already): the owner hears of it.
    if (created_ && record_->open) Engine().ArmRead(record_, true);
}

void CSslSocket::TlsFailed() {
    if (tally_ && !tallied_ && InHandshake()) metrics::Counters().CountTlsHandshake(*tally_, false);
    tallied_ = true;
    if (notifyEnabled_) NotifyTlsFailed();
    FreeSsl();
    handshakeState_ = 2;
    tlsRole_ = TLS_NONE;
    AddEntropy();
}

// ---- moving bytes between the socket and the pair ----

int CSslSocket::PullFromSocket() {
    if (!ssl_) return -1;
    char* space = nullptr;
    ossl_ssize_t room = BIO_nwrite0(networkBio_, &space);
    if (room <= 0) return 0;
    if (BIO_ctrl_pending(sslBio_) > 0) {
        // The library has input to work on; read more only if the socket has some.
        char probe;
        ssize_t peeked = ::recv(record_->handle, &probe, 1, MSG_PEEK);
        if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Engine().ArmRead(record_, true);  // hear the rest when it comes
            return 0;
        }
        if (peeked <= 0) return 0;
    }
    int received =
        CSecureSocket::DoReceive(space, static_cast<int>(std::min<ossl_ssize_t>(room, INT_MAX)), 0);
    if (!ssl_) return -1;  // the close event freed the library's state
    if (received <= 0) return 0;
    BIO_nwrite(networkBio_, &space, received);
    return received;
}

int CSslSocket::PullShutdownRecord() {
    if (!ssl_) return -1;
    // After our close notification the connection goes back to plain text. Take the peer's
    // records one whole record at a time, so that plain text following its close
    // notification stays in the socket; a peer that goes plain without one (some clients
    // never answer a close notification) shows it by a first byte that starts no record.
    unsigned char header[5];
    ssize_t peeked = ::recv(record_->handle, header, sizeof header, MSG_PEEK);
    if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        Engine().ArmRead(record_, true);
        return 0;
    }
    if (peeked <= 0) return 0;  // the close is reported by the engine
    if (header[0] < kFirstRecordType || header[0] > kLastRecordType) return kPlainFollows;
    char* space = nullptr;
    ossl_ssize_t room = BIO_nwrite0(networkBio_, &space);
    size_t length = peeked < 5 ? 0 : 5 + ((size_t(header[3]) << 8) | header[4]);
    std::vector<char> probe(std::max<size_t>(length, 1));
    if (length == 0 || room < static_cast<ossl_ssize_t>(length) ||
        ::recv(record_->handle, probe.data(), length, MSG_PEEK) < static_cast<ssize_t>(length)) {
        // The rest of the record is on its way; looked at each tick, so that a peer sending a
        // piece and nothing more cannot keep the loop spinning.
        Engine().ArmRead(record_, false);
        return 0;
    }
    int received = CSecureSocket::DoReceive(space, static_cast<int>(length), 0);
    if (!ssl_) return -1;
    if (received <= 0) return 0;
    BIO_nwrite(networkBio_, &space, received);
    return received;
}

int CSslSocket::PushToSocket() {
    if (!ssl_) return -1;
    char* data = nullptr;
    ossl_ssize_t pending = BIO_nread0(networkBio_, &data);
    if (pending <= 0) return 0;
    int sent =
        CSecureSocket::DoSend(data, static_cast<int>(std::min<ossl_ssize_t>(pending, INT_MAX)), 0);
    if (!ssl_) return -1;
    if (sent <= 0) return 0;
    BIO_nread(networkBio_, &data, sent);
    return sent;
}

// ---- the Do operations (lock held) ----

void CSslSocket::ResetMembers() {
    FreeSsl();
    peerEndedTls_ = false;
    CSecureSocket::ResetMembers();
}

bool CSslSocket::DoAccept(CSocketEx& target, sockaddr_storage* address, socklen_t* length) {
    if (!CSecureSocket::DoAccept(target, address, length)) return false;
    if (tlsRole_ == TLS_NONE) return true;
    auto* secure = dynamic_cast<CSslSocket*>(&target);
    return secure && secure->StartTls(tlsRole_);
}

// After a library call that moved nothing: 1 try again, 0 stop for now, -1 TLS failed.
int CSslSocket::Unblock(int result) {
    int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_SSL || error == SSL_ERROR_SYSCALL) {
        Flush();  // the alert that tells the peer why
        TlsFailed();
        return -1;
    }
    if (error == SSL_ERROR_WANT_READ) {
        int pulled = PullFromSocket();
        if (pulled != 0) return pulled > 0 ? 1 : 0;
        error = SSL_ERROR_WANT_WRITE;  // nothing came in: perhaps something must go out
    }
    if (error == SSL_ERROR_WANT_WRITE) return PushToSocket() > 0 ? 1 : 0;
    if (error == SSL_ERROR_ZERO_RETURN) BeginTlsShutdown();
    return 0;
}

int CSslSocket::DoReceive(void* buffer, int length, int flags) {
    if (!IsSecure() || !ssl_) return CSecureSocket::DoReceive(buffer, length, flags);
    if (CloseNotifySent()) return 0;
    receiveNotify_ = true;
    char* bytes = static_cast<char*>(buffer);
    int total = 0;
    ERR_clear_error();
    while (total < length) {
        int result = SSL_read(ssl_, bytes + total, length - total);
        if (result > 0) {
            total += result;
            continue;
        }
        int next = Unblock(result);
        if (next < 0) return -1;
        if (next == 0) break;
    }
    // Reading can make the library answer (key updates); and if the caller stopped early, the
    // rest waits inside the library where poll() cannot see it. What is still to come from
    // the socket needs read interest even when this read never had to pull (the pair was
    // full): the owner wants more.
    if (Flush() && total > 0 && InputPending()) Engine().ArmWrite(record_, true);
    if (ssl_) Engine().ArmRead(record_, true);
    return total;
}

int CSslSocket::DoSend(const void* buffer, int length, int flags) {
    if (!IsSecure() || !ssl_) return CSecureSocket::DoSend(buffer, length, flags);
    if (CloseNotifySent()) return 0;
    sendNotify_ = true;
    const char* bytes = static_cast<const char*>(buffer);
    int total = 0;
    ERR_clear_error();
    // The records gather in the pair and leave together: the library returns after each
    // record, and a full pair comes back as a would-block that pushes it out.
    while (total < length) {
        int result = SSL_write(ssl_, bytes + total, length - total);
        if (result > 0) {
            total += result;
            continue;
        }
        int next = Unblock(result);
        if (next < 0) return -1;
        if (next == 0) break;
    }
    Flush();
    return total;
}

// TLS has to see every byte it protects.
int CSslSocket::DoSendFile(int fd, int length) {
    if (tlsRole_ != TLS_NONE || ssl_) return kCopyInstead;
    return CSecureSocket::DoSendFile(fd, length);
}

int CSslSocket::DoReceiveToPipe(int pipeFd, int length) {
    if (tlsRole_ != TLS_NONE || ssl_) return kCopyInstead;
    return CSecureSocket::DoReceiveToPipe(pipeFd, length);
}

void CSslSocket::DoClose() {
    if (created_ && IsSecure() && ssl_) {
        notifyEnabled_ = false;
        // Closing is our own decision: a failing send of the close notification must not
        // raise a close event for a socket that is about to be reused.
        record_->open = false;
        BeginTlsShutdown();
        FreeSsl();
    }
    CSecureSocket::DoClose();
}

int CSslSocket::DoShutDown() {
    if (IsSecure() && ssl_) {
        record_->ChangeState(SS_CLOSING);
        BeginTlsShutdown();
    }
    return CSecureSocket::DoShutDown();
}

bool CSslSocket::DoCanClose() {
    if (!IsSecure() || !ssl_) return true;
    if (InHandshake() || CloseNotifySent()) return false;
    (void)BIO_flush(networkBio_);
    if (BIO_ctrl_pending(networkBio_) > 0) {
        PushToSocket();
        return false;
    }
    pollfd probe{record_->handle, POLLOUT, 0};
    return ::poll(&probe, 1, 0) == 1 && (probe.revents & POLLOUT);
}

// ---- information ----

int CSslSocket::CipherBitsHook() {
    return ssl_ ? SSL_get_cipher_bits(ssl_, nullptr) : 0;
}

int CSslSocket::CipherAlgorithmBitsHook() {
    int algorithmBits = 0;
    if (ssl_) SSL_get_cipher_bits(ssl_, &algorithmBits);
    return algorithmBits;
}

int CSslSocket::SamePeerCertificate(CSslSocket& other) {
    SocketLock lock(Mutex());
    if (!created_) return -1;
    bool mine = IsSecure() && ssl_;
    bool theirs = other.IsSecure() && other.ssl_;
    if (mine != theirs) return 0;
    if (!mine) return 1;
    X509* a = SSL_get1_peer_certificate(ssl_);
    X509* b = SSL_get1_peer_certificate(other.ssl_);
    int result;
    if (!a || !b) {
        bool required = (SSL_get_verify_mode(ssl_) & SSL_VERIFY_FAIL_IF_NO_PEER_CERT) ||
                        (SSL_get_verify_mode(other.ssl_) & SSL_VERIFY_FAIL_IF_NO_PEER_CERT);
        result = required ? -1 : 1;
    } else {
        unsigned char da[EVP_MAX_MD_SIZE], db[EVP_MAX_MD_SIZE];
        unsigned int la = 0, lb = 0;
        if (X509_digest(a, EVP_sha1(), da, &la) != 1 || X509_digest(b, EVP_sha1(), db, &lb) != 1)
            result = -1;
        else
            result = (la == lb && std::memcmp(da, db, la) == 0) ? 1 : 0;
    }
    X509_free(a);
    X509_free(b);
    return result;
}
