#pragma once
// What every socket that may carry TLS has: its role, handshake state, peer-verification mode,
// and its share of the bandwidth budget.

#include "net/SocketEx.h"

enum TlsRole { TLS_NONE = 0, TLS_CLIENT = 1, TLS_SERVER = 2 };

enum VerifyMode {
    VERIFY_NONE = 0,         // do not verify the peer
    VERIFY_IF_PRESENT = 1,   // verify a certificate the peer sends
    VERIFY_REQUIRED = 2,     // require and verify a peer certificate
    VERIFY_FROM_CONTEXT = 3  // keep the context's setting
};

class CSecureSocket : public CSocketEx {
public:
    virtual bool SetTlsRole(int role);
    virtual bool IsTlsRoleSet();
    virtual void SetBudgetExempt(bool exempt);
    virtual bool HasBudget();
    // TLS information: cipher strength in bits, the cipher's algorithm bits, largest record.
    virtual int CipherBits();
    virtual int CipherAlgorithmBits();
    virtual int MaxRecordSize();
    virtual bool CreateWithMode(int port, int type, const char* address, int verifyMode);
    virtual void ClearTlsState();
    virtual bool IsSecure();
    // Gives back what the budget allows in elapsedMs (a whole second: the budget).
    virtual void BudgetPeriodReset(uint32_t elapsedMs = 1000);
    virtual void ClearBudget();

    int TlsRoleValue();
    int HandshakeState();
    int VerifyModeValue();

protected:
    virtual int CipherBitsHook() { return 0; }
    virtual int CipherAlgorithmBitsHook() { return 0; }
    virtual int MaxRecordSizeHook() { return 16384; }
    virtual bool StartTls(int /*role*/) { return false; }
    virtual void BeginTlsShutdown() {}

    void ResetMembers() override;
    bool DoAccept(CSocketEx& target, sockaddr_storage* address, socklen_t* length) override;
    int DoReceive(void* buffer, int length, int flags) override;
    int DoSend(const void* buffer, int length, int flags) override;
    int DoSendFile(int fd, int length) override;
    int DoReceiveToPipe(int pipeFd, int length) override;

    // How many of length bytes the budget lets move now (length itself when unlimited).
    int BudgetAllowance(int length);
    void BudgetMoved(int count);

    int tlsRole_ = TLS_NONE;
    int handshakeState_ = 0;  // 0 none, 1 started, 2 failed
    uint32_t budgetCounter_ = 0;
    bool budgetExempt_ = false;
    int verifyMode_ = VERIFY_NONE;
};
