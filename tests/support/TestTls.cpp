#include "support/TestTls.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

std::string MakeTempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    return pattern;
}

namespace {
void WriteWith(const std::string& path, auto writer) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file || !writer(file)) throw std::runtime_error("cannot write " + path);
    std::fclose(file);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
}  // namespace

TestCertificate MakeCertificate(const std::string& dir, const std::string& name,
                                const std::string& commonName, const std::string& passPhrase) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key) throw std::runtime_error("key generation");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), std::rand() + 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 7L * 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(cert, subject);
    if (!X509_sign(cert, key, EVP_sha256())) throw std::runtime_error("signing");

    TestCertificate result;
    result.certFile = dir + "/" + name + ".crt";
    result.keyFile = dir + "/" + name + ".key";
    result.combinedFile = dir + "/" + name + ".pem";
    WriteWith(result.certFile, [&](FILE* f) { return PEM_write_X509(f, cert) == 1; });
    WriteWith(result.keyFile, [&](FILE* f) {
        if (passPhrase.empty())
            return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
        return PEM_write_PrivateKey(f, key, EVP_aes_256_cbc(),
                                    reinterpret_cast<const unsigned char*>(passPhrase.data()),
                                    static_cast<int>(passPhrase.size()), nullptr, nullptr) == 1;
    });
    std::ofstream(result.combinedFile) << ReadAll(result.certFile) << ReadAll(result.keyFile);
    X509_free(cert);
    EVP_PKEY_free(key);
    return result;
}

}  // namespace testsupport
