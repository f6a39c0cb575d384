#include "net/TlsRuntime.h"

#include "net/SocketEngine.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstring>

namespace {
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

int CopyPassPhrase(char* buffer, int size, int /*rwflag*/, void* userdata) {
    const auto* phrase = static_cast<const std::string*>(userdata);
    if (!phrase || phrase->empty() || size <= 0) return 0;
    int length = static_cast<int>(std::min<size_t>(phrase->size(), static_cast<size_t>(size)));
    std::memcpy(buffer, phrase->data(), static_cast<size_t>(length));
    return length;
}

std::string OpenSslErrors() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char line[256];
        ERR_error_string_n(code, line, sizeof line);
        if (!text.empty()) text += "; ";
        text += line;
    }
    return text;
}

EVP_PKEY* ReadPrivateKey(const std::string& file, const std::string& passPhrase) {
    BIO* bio = BIO_new_file(file.c_str(), "r");
    if (!bio) return nullptr;
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, CopyPassPhrase,
                                            const_cast<std::string*>(&passPhrase));
    BIO_free(bio);
    return key;
}

// Loads the certificate chain and its key (from the certificate file when keyFile is empty);
// returns what went wrong, or nothing.
std::string UseCertificateAndKey(SSL_CTX* context, const std::string& certFile,
                                 const std::string& keyFile, const std::string& passPhrase) {
    if (SSL_CTX_use_certificate_chain_file(context, certFile.c_str()) != 1)
        return "cannot load the certificate " + certFile;
    const std::string& keyPath = keyFile.empty() ? certFile : keyFile;
    EVP_PKEY* key = ReadPrivateKey(keyPath, passPhrase);
    if (!key) return "cannot read the private key " + keyPath;
    bool keyOk = SSL_CTX_use_PrivateKey(context, key) > 0;
    EVP_PKEY_free(key);  // the context holds its own reference
    if (!keyOk || SSL_CTX_check_private_key(context) != 1)
        return "the private key does not match the certificate";
    return {};
}
}  // namespace

bool ApplyTlsPolicy(SSL_CTX* context) {
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) return false;
    if (SSL_CTX_set_cipher_list(context, kTls12Ciphers) != 1) return false;
    // No resumption unless a context keeps sessions (KeepServerSessions).
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_sess_set_cache_size(context, 0);
    SSL_CTX_set_options(context,
                        SSL_OP_NO_TICKET | SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_num_tickets(context, 0);
    // Sends return after each record, and a retried write may come from another buffer.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return true;
}

bool KeepServerSessions(SSL_CTX* context) {
    // Data connections resume the control connection's session, as FTP clients offer it:
    // an in-memory cache only. TLS 1.2 resumes by session ID; TLS 1.3 gets one ticket that
    // names a cache entry (stateful, since tickets stay off): no ticket key exists anywhere.
    static const unsigned char kContext[] = "quenlowftp";
    if (SSL_CTX_set_session_id_context(context, kContext, sizeof kContext - 1) != 1) return false;
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);
    SSL_CTX_sess_set_cache_size(context, kSessionCacheSize);
    // A control connection lives for hours; its data connections resume it all that time.
    SSL_CTX_set_timeout(context, kSessionLifetimeSeconds);
    SSL_CTX_set_num_tickets(context, 1);
    return true;
}

CTlsRuntime& CTlsRuntime::Instance() {
    static CTlsRuntime runtime;
    return runtime;
}

bool CTlsRuntime::Init() {
    return OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                            nullptr) == 1;
}

int CTlsRuntime::PassThroughVerify(int preverifyOk, X509_STORE_CTX*) {
    return preverifyOk;
}

bool CTlsRuntime::Fail(const std::string& what) {
    lastError_ = what;
    std::string detail = OpenSslErrors();
    if (!detail.empty()) lastError_ += ": " + detail;
    return false;
}

bool CTlsRuntime::InitServerContext(const std::string& certFile, const std::string& keyFile,
                                    const std::string& passPhrase, int clientAuthentication) {
    // Sockets make their TLS state from the contexts under the engine's lock.
    SocketLock lock(CSocketEngine::Instance().Mutex());
    FreeServerContext();
    lastError_.clear();
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context) return Fail("cannot create the TLS server context");
    auto failed = [&](const std::string& what) {
        SSL_CTX_free(context);
        return Fail(what);
    };
    if (!ApplyTlsPolicy(context)) return failed("cannot apply the TLS protocol policy");
    if (SSL_CTX_load_verify_locations(context, certFile.c_str(), nullptr) != 1 ||
        SSL_CTX_set_default_verify_paths(context) != 1)
        return failed("cannot load trusted certificates from " + certFile);
    std::string problem = UseCertificateAndKey(context, certFile, keyFile, passPhrase);
    if (!problem.empty()) return failed(problem);
    int mode = SSL_VERIFY_NONE;
    if (clientAuthentication == 1) mode = SSL_VERIFY_PEER;
    if (clientAuthentication == 2) mode = SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
    SSL_CTX_set_verify(context, mode, serverVerify_ ? serverVerify_ : PassThroughVerify);
    SSL_CTX_set_verify_depth(context, 10);
    if (!KeepServerSessions(context)) return failed("cannot set up the TLS session cache");
    serverContext_ = context;
    return true;
}

bool CTlsRuntime::InitClientContext(const std::string& caFile, const std::string& certFile,
                                    const std::string& keyFile, const std::string& passPhrase) {
    // Sockets make their TLS state from the contexts under the engine's lock.
    SocketLock lock(CSocketEngine::Instance().Mutex());
    FreeClientContext();
    lastError_.clear();
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) return Fail("cannot create the TLS client context");
    auto failed = [&](const std::string& what) {
        SSL_CTX_free(context);
        return Fail(what);
    };
    if (!ApplyTlsPolicy(context)) return failed("cannot apply the TLS protocol policy");
    if (!caFile.empty()) {
        if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1)
            return failed("cannot load trusted certificates from " + caFile);
    } else if (SSL_CTX_set_default_verify_paths(context) != 1) {
        return failed("cannot load the system's trusted certificates");
    }
    if (!certFile.empty()) {
        std::string problem = UseCertificateAndKey(context, certFile, keyFile, passPhrase);
        if (!problem.empty()) return failed(problem);
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, clientVerify_ ? clientVerify_ : PassThroughVerify);
    SSL_CTX_set_verify_depth(context, 9);
    clientContext_ = context;
    return true;
}

void CTlsRuntime::FreeServerContext() {
    SocketLock lock(CSocketEngine::Instance().Mutex());
    SSL_CTX_free(serverContext_);
    serverContext_ = nullptr;
}

void CTlsRuntime::FreeClientContext() {
    SocketLock lock(CSocketEngine::Instance().Mutex());
    SSL_CTX_free(clientContext_);
    clientContext_ = nullptr;
}

void CTlsRuntime::FreeTlsRuntime() {
    FreeServerContext();
    FreeClientContext();
}
