#include "config/Certificate.h"

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "platform/AtomicFile.h"

namespace {
template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

bool Fail(std::string* detail, const std::string& what) {
    if (detail) {
        *detail = what;
        if (unsigned long code = ERR_peek_last_error()) {
            char text[256];
            ERR_error_string_n(code, text, sizeof text);
            *detail += ": " + std::string(text);
        }
    }
    ERR_clear_error();
    return false;
}

// A random positive serial of at most 20 octets (RFC 5280): 159 random bits, never zero.
bool SetRandomSerial(X509* certificate) {
    BnPtr serial(BN_new());
    if (!serial) return false;
    do {
        if (BN_rand(serial.get(), 159, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1) return false;
    } while (BN_is_zero(serial.get()));
    return BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate)) != nullptr;
}

// A host name of letters, digits and hyphens in dot-separated labels ("*." allowed in front).
bool IsHostName(const std::string& name) {
    std::string rest = name.rfind("*.", 0) == 0 ? name.substr(2) : name;
    if (rest.empty() || rest.size() > 253) return false;
    size_t label = 0;
    for (size_t i = 0; i <= rest.size(); ++i) {
        char c = i < rest.size() ? rest[i] : '.';
        if (c == '.') {
            if (label == 0 || label > 63 || rest[i - 1] == '-') return false;
            label = 0;
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   (c == '-' && label > 0)) {
            ++label;
        } else {
            return false;
        }
    }
    return true;
}

// Clients that check host names read only the subjectAltName: the common name goes there as
// an IP address or a DNS name; a name that is neither gets none.
std::string AltNameFor(const std::string& commonName) {
    unsigned char address[16];
    if (inet_pton(AF_INET, commonName.c_str(), address) == 1 ||
        inet_pton(AF_INET6, commonName.c_str(), address) == 1)
        return "IP:" + commonName;
    if (IsHostName(commonName)) return "DNS:" + commonName;
    return {};
}

bool AddExtension(X509* certificate, X509V3_CTX* context, int nid, const std::string& value) {
    ExtPtr extension(X509V3_EXT_conf_nid(nullptr, context, nid, value.c_str()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

bool BuildSubject(X509* certificate, const CertificateRequest& request) {
    X509_NAME* name = X509_get_subject_name(certificate);
    auto add = [&](const char* attribute, const std::string& text) {
        return X509_NAME_add_entry_by_txt(name, attribute, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(text.c_str()), -1,
                                          -1, 0) == 1;
    };
    if (!request.country.empty() && !add("C", request.country)) return false;
    if (!add("CN", request.commonName)) return false;
    for (CertField field : {CertField::State, CertField::City, CertField::Organization,
                            CertField::Unit, CertField::Email}) {
        const std::string& text = request[field];
        if (!text.empty() && !add(FieldInfo(field).attribute, text)) return false;
    }
    return true;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

// Version 3, a random serial, valid from now for whole days, with the key's public half.
CertPtr NewCertificate(EVP_PKEY* key, unsigned days) {
    CertPtr certificate(X509_new());
    // Both ends from one reading of the clock, so the validity is whole days even when
    // a second ticks over between the two.
    time_t now = time(nullptr);
    if (!certificate || X509_set_version(certificate.get(), 2) != 1 ||
        !SetRandomSerial(certificate.get()) ||
        !X509_time_adj_ex(X509_getm_notBefore(certificate.get()), 0, 0, &now) ||
        !X509_time_adj_ex(X509_getm_notAfter(certificate.get()), static_cast<int>(days), 0, &now) ||
        X509_set_pubkey(certificate.get(), key) != 1)
        return nullptr;
    return certificate;
}

// The key first, then the certificate, each replaced whole; a pass phrase of nullptr leaves the
// key unencrypted.
bool WritePair(const CertificatePaths& paths, EVP_PKEY* key, const std::string* passPhrase,
               X509* certificate, std::string* detail) {
    BioPtr keyPem(BIO_new(BIO_s_mem())), certificatePem(BIO_new(BIO_s_mem()));
    bool keyWritten =
        keyPem && (passPhrase ? PEM_write_bio_PrivateKey(
                                    keyPem.get(), key, EVP_aes_256_cbc(),
                                    reinterpret_cast<const unsigned char*>(passPhrase->data()),
                                    static_cast<int>(passPhrase->size()), nullptr, nullptr)
                              : PEM_write_bio_PrivateKey(keyPem.get(), key, nullptr, nullptr, 0,
                                                         nullptr, nullptr)) == 1;
    if (!keyWritten || !certificatePem ||
        PEM_write_bio_X509(certificatePem.get(), certificate) != 1)
        return Fail(detail, "cannot write the PEM texts");
    int error = 0;
    if (!platform::WriteFileAtomically(paths.key, BioText(keyPem.get()), 0600, &error))
        return Fail(detail, "cannot write " + paths.key + ": " + std::strerror(error));
    if (!platform::WriteFileAtomically(paths.certificate, BioText(certificatePem.get()), 0644,
                                       &error))
        return Fail(detail, "cannot write " + paths.certificate + ": " + std::strerror(error));
    return true;
}

CertPtr ReadCertificateFile(const std::string& path) {
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    return CertPtr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

KeyPtr ReadKeyFile(const std::string& path, const std::string& passPhrase) {
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    return KeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr,
                                                const_cast<char*>(passPhrase.c_str()))
                      : nullptr);
}

}  // namespace

CertificatePaths CertificateFiles(const std::string& folder, const std::string& name) {
    std::string base = folder;
    if (!base.empty() && base.back() != '/') base += '/';
    for (char c : name) base += c == '\\' ? '/' : c;
    return {base + ".crt", base + ".key"};
}

bool GenerateCertificate(const CertificatePaths& paths, const std::string& passPhrase,
                         const CertificateRequest& request, const CertificateParameters& parameters,
                         std::string* detail) {
    ERR_clear_error();
    if (!RequestPasses(request)) return Fail(detail, "the request breaks the field rules");
    KeyPtr key(EVP_RSA_gen(static_cast<unsigned>(parameters.keyBits)));
    if (!key) return Fail(detail, "cannot generate the RSA key");
    CertPtr certificate = NewCertificate(key.get(), parameters.days);
    if (!certificate) return Fail(detail, "cannot build the certificate");
    if (!BuildSubject(certificate.get(), request) ||
        X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get())) != 1)
        return Fail(detail, "cannot build the certificate's subject");

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
    std::string altName = AltNameFor(request.commonName);
    if (!AddExtension(certificate.get(), &context, NID_basic_constraints, "critical,CA:TRUE") ||
        !AddExtension(certificate.get(), &context, NID_subject_key_identifier, "hash") ||
        (!altName.empty() &&
         !AddExtension(certificate.get(), &context, NID_subject_alt_name, altName)))
        return Fail(detail, "cannot add the certificate's extensions");
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0)
        return Fail(detail, "cannot sign the certificate");

    return WritePair(paths, key.get(), &passPhrase, certificate.get(), detail);
}

bool ClientFieldPasses(CertField field, const std::string& text) {
    return (field != CertField::CommonName && text.empty()) || CertFieldPasses(field, text);
}

bool ClientRequestPasses(const CertificateRequest& request) {
    for (CertField field : kCertFields)
        if (!ClientFieldPasses(field, request[field])) return false;
    return true;
}

bool GenerateClientCertificate(const CertificatePaths& paths, const CertificateIssuer& issuer,
                               const CertificateRequest& request,
                               const CertificateParameters& parameters, std::string* detail) {
    ERR_clear_error();
    if (!ClientRequestPasses(request)) return Fail(detail, "the request breaks the field rules");
    CertPtr issuerCertificate = ReadCertificateFile(issuer.certificate);
    if (!issuerCertificate)
        return Fail(detail, "cannot read the server's certificate " + issuer.certificate);
    KeyPtr issuerKey = ReadKeyFile(issuer.key, issuer.passPhrase);
    if (!issuerKey)
        return Fail(detail, "cannot read the server's private key " + issuer.key +
                                " with the pass phrase in SSLPassPhrase");
    if (X509_check_private_key(issuerCertificate.get(), issuerKey.get()) != 1)
        return Fail(detail, "the server's private key " + issuer.key +
                                " does not belong to its certificate " + issuer.certificate);
    // A certificate from a public authority may not sign others; one made by "cert create" may.
    if (X509_check_ca(issuerCertificate.get()) == 0) {
        ERR_clear_error();
        return Fail(detail, "the server's certificate " + issuer.certificate +
                                " may not sign other certificates (it is no CA certificate)");
    }

    KeyPtr key(EVP_RSA_gen(static_cast<unsigned>(parameters.keyBits)));
    if (!key) return Fail(detail, "cannot generate the RSA key");
    CertPtr certificate = NewCertificate(key.get(), parameters.days);
    if (!certificate) return Fail(detail, "cannot build the certificate");
    if (!BuildSubject(certificate.get(), request) ||
        X509_set_issuer_name(certificate.get(), X509_get_subject_name(issuerCertificate.get())) !=
            1)
        return Fail(detail, "cannot build the certificate's subject");
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuerCertificate.get(), certificate.get(), nullptr, nullptr, 0);
    if (!AddExtension(certificate.get(), &context, NID_basic_constraints, "critical,CA:FALSE") ||
        !AddExtension(certificate.get(), &context, NID_key_usage, "critical,digitalSignature") ||
        !AddExtension(certificate.get(), &context, NID_ext_key_usage, "clientAuth") ||
        !AddExtension(certificate.get(), &context, NID_subject_key_identifier, "hash") ||
        !AddExtension(certificate.get(), &context, NID_authority_key_identifier, "keyid"))
        return Fail(detail, "cannot add the certificate's extensions");
    if (X509_sign(certificate.get(), issuerKey.get(), EVP_sha256()) <= 0)
        return Fail(detail, "cannot sign the certificate");
    return WritePair(paths, key.get(), nullptr, certificate.get(), detail);
}
