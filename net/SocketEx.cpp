#include "net/SocketEx.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "net/HostAddress.h"

CSocketEx::CSocketEx() = default;

CSocketEx::~CSocketEx() {
    // Derived parts are gone by now; only the base close runs, which is all a record needs.
    SocketLock lock(Mutex());
    CSocketEx::DoClose();
}

void CSocketEx::ReleaseRecord() {
    if (record_) Engine().ReturnRecord(record_);
    record_ = nullptr;
    created_ = false;
}

void CSocketEx::Forget() {
    record_ = nullptr;
    created_ = false;
}

bool CSocketEx::Create(int port, int type, const char* address, int family) {
    SocketLock lock(Mutex());
    if (created_) DoClose();
    ResetMembers();
    SocketState* r = Engine().AttachRecord(this);
    if (!r) return false;
    generation_.fetch_add(1, std::memory_order_relaxed);
    record_ = r;
    created_ = true;
    std::string text;
    if (address) text = address;
    if (IsIpv6Text(text)) family = AF_INET6;
    r->handle = ::socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (r->handle < 0) {
        ReleaseRecord();
        return false;
    }
    family_ = family;
    // Lets a restarted server take its port back while old connections sit in TIME_WAIT; a
    // port that another socket listens on still refuses the bind.
    int on = 1;
    ::setsockopt(r->handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6) {
        // Dual stack on ::, whatever the system's default says.
        int off = 0;
        ::setsockopt(r->handle, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    int error = Engine().Bind(r, family, address ? &text : nullptr, port, &localName_);
    if (error != 0 || !Configure()) {
        errno = error;
        ReleaseRecord();
        return false;
    }
    return true;
}

bool CSocketEx::Connect(const std::string& host, int port) {
    SocketLock lock(Mutex());
    return created_ && DoConnect(host, port);
}

int CSocketEx::Send(const void* buffer, int length, int flags) {
    SocketLock lock(Mutex());
    if (!created_ || !record_->open) return -1;
    return DoSend(buffer, length, flags);
}

int CSocketEx::SendFile(int fd, int length) {
    SocketLock lock(Mutex());
    if (!created_) return kCopyInstead;
    if (!record_->open) return -1;
    return DoSendFile(fd, length);
}

int CSocketEx::Receive(void* buffer, int length, int flags) {
    SocketLock lock(Mutex());
    if (!created_) return -1;
    if (!record_->open) return 0;
    return DoReceive(buffer, length, flags);
}

int CSocketEx::ReceiveToPipe(int pipeFd, int length) {
    SocketLock lock(Mutex());
    if (!created_) return kCopyInstead;
    if (!record_->open) return 0;
    return DoReceiveToPipe(pipeFd, length);
}

void CSocketEx::Close() {
    SocketLock lock(Mutex());
    if (created_) DoClose();
}

void CSocketEx::ShutDown() {
    SocketLock lock(Mutex());
    if (created_) DoShutDown();
}

bool CSocketEx::CanClose() {
    SocketLock lock(Mutex());
    return created_ && DoCanClose();
}

int CSocketEx::Accept(CSocketEx& target, sockaddr_storage* address, socklen_t* length) {
    SocketLock lock(Mutex());
    if (!created_ || !record_->open) return -1;
    return DoAccept(target, address, length) ? 1 : 0;
}

int CSocketEx::SystemMaxBacklog() {
    static const int backlog = [] {
        std::ifstream in("/proc/sys/net/core/somaxconn");
        int value = 0;
        return in >> value && value > 0 ? value : SOMAXCONN;
    }();
    return backlog;
}

bool CSocketEx::Listen(int backlog) {
    SocketLock lock(Mutex());
    if (!created_ || !record_->ChangeState(SS_LISTENING)) return false;
    if (::listen(record_->handle, backlog) != 0) {
        ReleaseRecord();
        return false;
    }
    record_->open = true;
    record_->noGraceful = true;
    // A listener's name is what it was bound to; a port the system chose is known by now too.
    localKnown_ = AddressPort(localName_) != 0;
    Engine().ArmAccept(record_, true);
    return true;
}

int CSocketEx::Family() {
    SocketLock lock(Mutex());
    return created_ ? family_ : 0;
}

bool CSocketEx::GetSockName(std::string& address, int& port) {
    SocketLock lock(Mutex());
    address.clear();
    port = 0;
    if (!created_ || record_->handle < 0) return false;
    if (localKnown_) return FormatAddress(localName_, address, port);
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(record_->handle, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return false;
    // A socket bound to all interfaces learns its address only when it connects.
    if (record_->state == SS_CONNECTED || record_->state == SS_LISTENING) {
        localName_ = sa;
        localKnown_ = true;
    }
    return FormatAddress(sa, address, port);
}

bool CSocketEx::GetPeerName(std::string& address, int& port) {
    SocketLock lock(Mutex());
    address.clear();
    port = 0;
    if (!created_ || !record_->open) return false;
    if (peerKnown_) return FormatAddress(peerName_, address, port);
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(record_->handle, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return false;
    peerName_ = sa;
    peerKnown_ = true;
    return FormatAddress(sa, address, port);
}

bool CSocketEx::SetPeerAddress(const std::string& address, int port) {
    SocketLock lock(Mutex());
    SocketAddress parsed;
    if (!created_ || address.empty() ||
        !ParseNumericAddress(address, port, parsed, IsIpv6Text(address) ? AF_INET6 : AF_INET))
        return false;
    peerName_ = parsed.storage;
    peerKnown_ = true;
    return true;
}

int CSocketEx::Peek(void* buffer, int length) {
    SocketLock lock(Mutex());
    if (!created_ || !record_->open) return -1;
    ssize_t n = ::recv(record_->handle, buffer, static_cast<size_t>(length), MSG_PEEK);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        Engine().ArmRead(record_, true);
        return 0;
    }
    return n > 0 ? static_cast<int>(n) : -1;
}

bool CSocketEx::Skip(int length) {
    SocketLock lock(Mutex());
    if (!created_ || !record_->open) return false;
    char scratch[1024];
    while (length > 0) {
        ssize_t n = ::recv(record_->handle, scratch,
                           static_cast<size_t>(std::min<int>(length, sizeof scratch)), 0);
        if (n <= 0) return false;
        bytesReceived_ += static_cast<uint64_t>(n);
        Engine().AddBytesReceived(static_cast<uint64_t>(n));
        length -= static_cast<int>(n);
    }
    Engine().ArmRead(record_, true);
    return true;
}

// A handler asking for the next event has made no progress: the next tick serves it.
void CSocketEx::SetReadWanted(bool wanted) {
    SocketLock lock(Mutex());
    if (!created_ || !record_->open) return;
    if (wanted)
        Engine().ArmRead(record_, false);
    else
        record_->readWanted = record_->readPrompt = false;
}

void CSocketEx::SetWriteWanted(bool wanted) {
    SocketLock lock(Mutex());
    if (!created_ || !record_->open) return;
    if (wanted)
        Engine().ArmWrite(record_, false);
    else
        record_->writeWanted = record_->writePrompt = false;
}

void CSocketEx::SetAcceptWanted(bool wanted) {
    SocketLock lock(Mutex());
    if (!created_ || !record_->open) return;
    if (wanted)
        Engine().ArmAccept(record_, false);
    else
        record_->acceptWanted = record_->acceptPrompt = false;
}

bool CSocketEx::IsOpen() {
    SocketLock lock(Mutex());
    return created_ && record_->open;
}

void CSocketEx::Awaken() {
    SocketLock lock(Mutex());
    if (!created_ || !record_->open || record_->state != SS_CONNECTED) return;
    Engine().ArmRead(record_, true);
    Engine().ArmWrite(record_, true);
}

bool CSocketEx::IsListening() {
    SocketLock lock(Mutex());
    return created_ && record_->open && record_->state == SS_LISTENING;
}

int CSocketEx::State() {
    SocketLock lock(Mutex());
    return created_ ? record_->state : SS_NONE;
}

int CSocketEx::Handle() {
    SocketLock lock(Mutex());
    return created_ ? record_->handle : -1;
}

uint64_t CSocketEx::BytesSent() {
    SocketLock lock(Mutex());
    return bytesSent_;
}

uint64_t CSocketEx::BytesReceived() {
    SocketLock lock(Mutex());
    return bytesReceived_;
}

// ---- dispatch (lock held) ----

void CSocketEx::DispatchAccept(int error) {
    if (!created_ || !record_->open) return;
    record_->acceptWanted = record_->acceptPrompt = false;
    OnAccept(error);
}

void CSocketEx::DispatchConnect(int error) {
    if (!created_) return;
    if (error != -1 && record_->ChangeState(SS_CONNECTED)) {
        record_->open = true;
        record_->noGraceful = false;
        Engine().ArmRead(record_, true);
        Engine().ArmWrite(record_, true);
        OnConnect(error);
        return;
    }
    record_->ChangeState(SS_CLOSED);
    OnConnect(-1);
}

void CSocketEx::DispatchSend(int error) {
    if (!created_ || !record_->open) return;
    record_->writeWanted = record_->writePrompt = false;
    OnSend(error);
}

void CSocketEx::DispatchReceive(int error) {
    if (!created_ || !record_->open) return;
    record_->readWanted = record_->readPrompt = false;
    OnReceive(error);
}

void CSocketEx::DispatchClose(int error) {
    if (!created_ || !record_->open) return;
    record_->ChangeState(SS_CLOSED);
    record_->open = false;
    record_->readWanted = record_->writeWanted = record_->acceptWanted = false;
    OnClose(error);
}

// ---- the Do operations (lock held) ----

void CSocketEx::ResetMembers() {
    created_ = false;
    record_ = nullptr;
    bytesSent_ = bytesReceived_ = 0;
    sendBufferSize_ = Engine().DefaultSendBufferSize();
    localKnown_ = peerKnown_ = false;
    family_ = 0;
}

// Sockets are made and accepted non-blocking (SOCK_NONBLOCK), so a send time-out would never
// apply, and a new socket lingers not at all already: each option set here costs a system call
// for every data connection.
//
// An accepted socket inherits the listener's options (the kernel clones the listening
// socket), and every listener was configured here: only a send-buffer size of its own needs
// setting again.
bool CSocketEx::Configure(bool accepted) {
    int handle = record_->handle;
    if (sendBufferSize_ > 0)
        ::setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &sendBufferSize_, sizeof sendBufferSize_);
    if (accepted) return true;
    // Clients send the Telnet Synch (and some the whole ABOR line) as urgent data; out of line
    // the kernel would cut that byte out of the stream and the line would never end.
    int on = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
    // Replies go out whole; Nagle would hold a reply back for the peer's delayed ACK of the
    // one before (40 ms for each "125 ... 226" pair).
    ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

bool CSocketEx::DoConnect(const std::string& host, int port) {
    if (record_->state != SS_NONE) return false;
    record_->state = SS_CONNECTING;
    record_->noGraceful = true;
    // A numeric address of the socket's family, or a name of an IPv4 socket.
    SocketAddress sa;
    bool numeric = ParseNumericAddress(host, port, sa, family_) && sa.Family() == family_;
    if (!numeric && family_ == AF_INET) {
        in_addr resolved{};
        if (ResolveIPv4(host, resolved)) {
            ParseNumericAddress("", port, sa, AF_INET);
            reinterpret_cast<sockaddr_in*>(&sa.storage)->sin_addr = resolved;
            numeric = true;
        }
    }
    if (!numeric) {
        record_->state = SS_NONE;  // nothing started; the socket may try again
        record_->noGraceful = false;
        return false;
    }
    if (::connect(record_->handle, sa.Raw(), sa.length) == 0 || errno == EINPROGRESS ||
        errno == EWOULDBLOCK) {
        Engine().Watch(record_);  // the wait set reports the connect's end
        return true;
    }
    ReleaseRecord();
    return false;
}

bool CSocketEx::DoAccept(CSocketEx& target, sockaddr_storage* address, socklen_t* length) {
    // The target's lock as well when it lives on another loop (this loop's lock is held: the
    // main loop's before a session loop's, never the other way round).
    std::unique_lock<std::recursive_mutex> targetLock;
    if (target.home_ != home_) targetLock = std::unique_lock(target.Mutex());
    // Served again at the next tick unless this accept succeeds, so a connection that cannot
    // be taken (no free record) does not spin the loop.
    Engine().ArmAccept(record_, false);
    if (target.created_) target.DoClose();
    target.ResetMembers();
    SocketState* r = Engine().AttachRecord(&target);
    if (!r) return false;
    target.generation_.fetch_add(1, std::memory_order_relaxed);
    target.record_ = r;
    target.created_ = true;
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    r->handle = ::accept4(record_->handle, reinterpret_cast<sockaddr*>(&sa), &len,
                          SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (r->handle < 0 || !target.Configure(true)) {
        target.ReleaseRecord();
        return false;
    }
    target.peerName_ = sa;
    target.peerKnown_ = sa.ss_family == AF_INET || sa.ss_family == AF_INET6;
    target.family_ = family_;
    if (address) *address = sa;
    if (length) *length = len;
    r->open = true;
    r->state = SS_CONNECTED;
    // A connection for another loop is armed there (Awaken), once its owner has taken it up:
    // its events must not reach the owner before that.
    if (target.home_ == home_) {
        Engine().ArmRead(r, true);
        Engine().ArmWrite(r, true);
    }
    Engine().ArmAccept(record_, true);
    return true;
}

int CSocketEx::DoReceive(void* buffer, int length, int flags) {
    return Received(::recv(record_->handle, buffer, static_cast<size_t>(length), flags), length);
}

int CSocketEx::Received(ssize_t n, int length) {
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            Engine().ArmRead(record_, true);
            return 0;
        }
        if (errno == ECONNRESET && ResetIsOrderlyEnd()) {
            DispatchClose(0);
            return 0;
        }
        DispatchClose(-1);
        return -1;
    }
    if (n == 0) {
        if (length == 0) return 0;
        DispatchClose(0);
        return 0;
    }
    bytesReceived_ += static_cast<uint64_t>(n);
    Engine().AddBytesReceived(static_cast<uint64_t>(n));
    record_->likelyReadable = n == length;
    Engine().ArmRead(record_, true);
    return static_cast<int>(n);
}

int CSocketEx::DoSend(const void* buffer, int length, int /*flags*/) {
    ssize_t n = ::send(record_->handle, buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            Engine().ArmWrite(record_, true);
            return 0;
        }
        DispatchClose(-1);
        return -1;
    }
    bytesSent_ += static_cast<uint64_t>(n);
    Engine().AddBytesSent(static_cast<uint64_t>(n));
    record_->likelyWritable = n == length;
    Engine().ArmWrite(record_, true);
    return static_cast<int>(n);
}

int CSocketEx::DoSendFile(int fd, int length) {
    ssize_t n = ::sendfile(record_->handle, fd, nullptr, static_cast<size_t>(length));
    if (n == 0) return kEndOfFile;
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            Engine().ArmWrite(record_, true);
            return 0;
        }
        // The copying path reads and sends apart, so a file error is reported as one and a
        // connection error as the other.
        return kCopyInstead;
    }
    bytesSent_ += static_cast<uint64_t>(n);
    Engine().AddBytesSent(static_cast<uint64_t>(n));
    record_->likelyWritable = n == length;
    Engine().ArmWrite(record_, true);
    return static_cast<int>(n);
}

int CSocketEx::DoReceiveToPipe(int pipeFd, int length) {
    ssize_t n = ::splice(record_->handle, nullptr, pipeFd, nullptr, static_cast<size_t>(length),
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n < 0 && (errno == EINVAL || errno == ENOSYS)) return kCopyInstead;
    return Received(n, length);
}

void CSocketEx::DoClose() {
    if (created_) ReleaseRecord();
}

int CSocketEx::DoShutDown() {
    if (!record_->open || record_->noGraceful) {
        DispatchClose(0);
        return 0;
    }
    int result = ::shutdown(record_->handle, SHUT_WR);
    record_->ChangeState(SS_CLOSING);
    // The engine drains what still arrives and reports the close once the peer has closed.
    Engine().Watch(record_);
    return result;
}

bool CSocketEx::DoCanClose() {
    return true;
}
