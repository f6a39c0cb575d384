#pragma once
// The process-wide TLS contexts: one for the server role (built from the settings at start-up)
// and one for the client role (our own tests and the console client).

#include <openssl/ssl.h>

#include <string>

class CTlsRuntime {
public:
    using VerifyCallback = int (*)(int preverifyOk, X509_STORE_CTX* store);

    static CTlsRuntime& Instance();

    // Library start-up; OpenSSL 3 seeds its random generator from the system itself.
    bool Init();

    // Builds the server context. On any failure no server context exists afterwards, so TLS is
    // not offered at all rather than offered and failing every handshake.
    bool InitServerContext(const std::string& certFile, const std::string& keyFile,
                           const std::string& passPhrase, int clientAuthentication);
    // caFile: trusted certificates for verifying servers (empty: the system's defaults).
    // certFile/keyFile: an optional client certificate.
    bool InitClientContext(const std::string& caFile, const std::string& certFile,
                           const std::string& keyFile, const std::string& passPhrase);

    bool HasServerContext() const { return serverContext_ != nullptr; }
    bool HasClientContext() const { return clientContext_ != nullptr; }
    SSL_CTX* ServerContext() const { return serverContext_; }
    SSL_CTX* ClientContext() const { return clientContext_; }

    void SetServerVerifyCallback(VerifyCallback callback) { serverVerify_ = callback; }
    void SetClientVerifyCallback(VerifyCallback callback) { clientVerify_ = callback; }

    void FreeServerContext();
    void FreeClientContext();
    void FreeTlsRuntime();

    // Text of the last failure of InitServerContext / InitClientContext.
    const std::string& LastError() const { return lastError_; }

private:
    CTlsRuntime() = default;
    bool Fail(const std::string& what);
    static int PassThroughVerify(int preverifyOk, X509_STORE_CTX* store);

    SSL_CTX* serverContext_ = nullptr;
    SSL_CTX* clientContext_ = nullptr;
    VerifyCallback serverVerify_ = nullptr;
    VerifyCallback clientVerify_ = nullptr;
    std::string lastError_;
};

// The protocol and cipher policy of both contexts: TLS 1.2 and 1.3, forward-secret AEAD suites.
bool ApplyTlsPolicy(SSL_CTX* context);
// The server's session cache, so that data connections can resume the control connection's
// session.
bool KeepServerSessions(SSL_CTX* context);
constexpr long kSessionCacheSize = 1024;
constexpr long kSessionLifetimeSeconds = 24 * 3600;
