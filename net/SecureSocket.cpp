#include "net/SecureSocket.h"

#include <algorithm>

bool CSecureSocket::SetTlsRole(int role) {
    SocketLock lock(Mutex());
    if (!created_) return false;
    if (record_->state == SS_LISTENING) {
        tlsRole_ = role;
        return true;
    }
    if (role != TLS_NONE) return StartTls(role);
    BeginTlsShutdown();
    return true;
}

bool CSecureSocket::IsTlsRoleSet() {
    SocketLock lock(Mutex());
    return tlsRole_ != TLS_NONE;
}

void CSecureSocket::SetBudgetExempt(bool exempt) {
    SocketLock lock(Mutex());
    budgetExempt_ = exempt;
}

bool CSecureSocket::HasBudget() {
    SocketLock lock(Mutex());
    return budgetExempt_ || budgetCounter_ < Engine().Budget();
}

int CSecureSocket::CipherBits() {
    SocketLock lock(Mutex());
    return IsSecure() ? CipherBitsHook() : 0;
}

int CSecureSocket::CipherAlgorithmBits() {
    SocketLock lock(Mutex());
    return IsSecure() ? CipherAlgorithmBitsHook() : 0;
}

int CSecureSocket::MaxRecordSize() {
    SocketLock lock(Mutex());
    return IsSecure() ? MaxRecordSizeHook() : 65535;
}

bool CSecureSocket::CreateWithMode(int port, int type, const char* address, int verifyMode) {
    SocketLock lock(Mutex());
    if (!Create(port, type, address, AF_INET)) return false;
    verifyMode_ = verifyMode;
    return true;
}

void CSecureSocket::ClearTlsState() {
    tlsRole_ = TLS_NONE;
    handshakeState_ = 0;
    verifyMode_ = VERIFY_NONE;
}

bool CSecureSocket::IsSecure() {
    SocketLock lock(Mutex());
    return tlsRole_ != TLS_NONE && created_ && record_->state == SS_LISTENING;
}

void CSecureSocket::BudgetPeriodReset(uint32_t elapsedMs) {
    uint64_t share = uint64_t{Engine().Budget()} * std::min<uint32_t>(elapsedMs, 1000) / 1000;
    uint32_t back = static_cast<uint32_t>(share);
    budgetCounter_ = budgetCounter_ > back ? budgetCounter_ - back : 0;
}

void CSecureSocket::ClearBudget() {
    budgetCounter_ = 0;
    budgetExempt_ = false;
}

int CSecureSocket::TlsRoleValue() {
    SocketLock lock(Mutex());
    return tlsRole_;
}

int CSecureSocket::HandshakeState() {
    SocketLock lock(Mutex());
    return handshakeState_;
}

int CSecureSocket::VerifyModeValue() {
    SocketLock lock(Mutex());
    return verifyMode_;
}

void CSecureSocket::ResetMembers() {
    CSocketEx::ResetMembers();
    ClearTlsState();
    ClearBudget();
}

bool CSecureSocket::DoAccept(CSocketEx& target, sockaddr_storage* address, socklen_t* length) {
    if (!CSocketEx::DoAccept(target, address, length)) return false;
    if (auto* secure = dynamic_cast<CSecureSocket*>(&target)) secure->verifyMode_ = verifyMode_;
    return true;
}

int CSecureSocket::BudgetAllowance(int length) {
    if (budgetExempt_ || !Engine().BudgetEnabled()) return length;
    uint32_t budget = Engine().Budget();
    uint32_t chunk = budget / 3;
    uint32_t remaining = budgetCounter_ >= budget ? 0 : budget - budgetCounter_;
    uint32_t allowed = std::min(chunk, remaining);
    return static_cast<int>(std::min<uint32_t>(static_cast<uint32_t>(length), allowed));
}

void CSecureSocket::BudgetMoved(int count) {
    if (count <= 0 || budgetExempt_ || !Engine().BudgetEnabled()) return;
    uint64_t sum = uint64_t{budgetCounter_} + static_cast<uint64_t>(count);
    budgetCounter_ = sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum);
}

// A spent budget is no progress: the direction is served again at the next tick, after the
// tick may have opened a new period.
int CSecureSocket::DoReceive(void* buffer, int length, int flags) {
    int allowed = BudgetAllowance(length);
    if (allowed == 0 && length > 0) {
        Engine().ArmRead(record_, false);
        return 0;
    }
    int n = CSocketEx::DoReceive(buffer, allowed, flags);
    BudgetMoved(n);
    return n;
}

int CSecureSocket::DoSendFile(int fd, int length) {
    int allowed = BudgetAllowance(length);
    if (allowed == 0) {
        Engine().ArmWrite(record_, false);
        return 0;
    }
    int n = CSocketEx::DoSendFile(fd, allowed);
    BudgetMoved(n);
    return n;
}

int CSecureSocket::DoReceiveToPipe(int pipeFd, int length) {
    int allowed = BudgetAllowance(length);
    if (allowed == 0) {
        Engine().ArmRead(record_, false);
        return 0;
    }
    int n = CSocketEx::DoReceiveToPipe(pipeFd, allowed);
    BudgetMoved(n);
    return n;
}

int CSecureSocket::DoSend(const void* buffer, int length, int flags) {
    int allowed = BudgetAllowance(length);
    if (allowed == 0 && length > 0) {
        Engine().ArmWrite(record_, false);
        return 0;
    }
    int n = CSocketEx::DoSend(buffer, allowed, flags);
    BudgetMoved(n);
    return n;
}
