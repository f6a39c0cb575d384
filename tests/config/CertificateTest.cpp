#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>

#include "config/Certificate.h"
#include "net/TlsRuntime.h"
#include "platform/AtomicFile.h"
#include "support/TestTls.h"

namespace {
class CertificateTest : public testing::Test {
protected:
    void SetUp() override {
        folder = testsupport::MakeTempDir("qftp-cert");
        request.commonName = "127.0.0.1";
        request.state = "Ohio";
    }
    void TearDown() override { std::system(("rm -rf " + folder).c_str()); }

    X509* ReadCertificate(const std::string& path) {
        BIO* bio = BIO_new_file(path.c_str(), "r");
        X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(bio);
        return cert;
    }
    EVP_PKEY* ReadKey(const std::string& path, const char* passPhrase) {
        BIO* bio = BIO_new_file(path.c_str(), "r");
        EVP_PKEY* key =
            bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, const_cast<char*>(passPhrase))
                : nullptr;
        BIO_free(bio);
        return key;
    }
    static std::string Subject(X509* cert) {
        char text[512];
        X509_NAME_oneline(X509_get_subject_name(cert), text, sizeof text);
        return text;
    }
    static std::string AltName(X509* cert) {
        auto* names = static_cast<GENERAL_NAMES*>(
            X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
        if (!names) return "";
        std::string result;
        GENERAL_NAME* name = sk_GENERAL_NAME_value(names, 0);
        if (name->type == GEN_DNS)
            result =
                "DNS:" +
                std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)));
        if (name->type == GEN_IPADD)
            result = "IP:" + std::to_string(ASN1_STRING_length(name->d.iPAddress)) + " bytes";
        GENERAL_NAMES_free(names);
        return result;
    }

    std::string folder;
    CertificateRequest request;
};
}  // namespace

TEST_F(CertificateTest, MakesAKeyAndACertificateCurrentClientsAccept) {
    CertificatePaths paths = CertificateFiles(folder, "server");
    EXPECT_EQ(paths.certificate, folder + "/server.crt");
    request.city = "Columbus";
    request.unit = "Ops";
    CertificateParameters parameters;
    parameters.days = 1;
    std::string detail;
    time_t before = std::time(nullptr);
    ASSERT_TRUE(GenerateCertificate(paths, "secret", request, parameters, &detail)) << detail;

    struct stat st {};
    ASSERT_EQ(::stat(paths.key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string pem;
    ASSERT_TRUE(platform::ReadWholeFile(paths.key, pem));
    EXPECT_NE(pem.find("BEGIN ENCRYPTED PRIVATE KEY"), std::string::npos);
    EXPECT_EQ(ReadKey(paths.key, "wrong"), nullptr);
    EVP_PKEY* key = ReadKey(paths.key, "secret");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(EVP_PKEY_get_bits(key), 2048);

    X509* cert = ReadCertificate(paths.certificate);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(X509_get_version(cert), 2);
    EXPECT_EQ(X509_verify(cert, key), 1) << "self-signed with this key";
    EXPECT_EQ(X509_get_signature_nid(cert), NID_sha256WithRSAEncryption);
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    BIGNUM* number = ASN1_INTEGER_to_BN(serial, nullptr);
    EXPECT_FALSE(BN_is_zero(number));
    EXPECT_FALSE(BN_is_negative(number));
    EXPECT_LE(BN_num_bytes(number), 20);
    BN_free(number);
    EXPECT_EQ(Subject(cert), "/C=US/CN=127.0.0.1/ST=Ohio/L=Columbus/OU=Ops")
        << "in this order, empty optional fields left out";
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)), 0);
    EXPECT_EQ(X509_check_ca(cert), 1);
    EXPECT_EQ(AltName(cert), "IP:4 bytes");
    int days = 0, seconds = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert), X509_get0_notAfter(cert)),
              1);
    EXPECT_EQ(days * 86400 + seconds, 86400);
    EXPECT_LE(std::abs(ASN1_TIME_cmp_time_t(X509_get0_notBefore(cert), before)), 1);
    X509_free(cert);
    EVP_PKEY_free(key);

    // The server reads the pair with the pass phrase.
    CTlsRuntime& tls = CTlsRuntime::Instance();
    EXPECT_TRUE(tls.InitServerContext(paths.certificate, paths.key, "secret", 0))
        << tls.LastError();
    EXPECT_FALSE(tls.InitServerContext(paths.certificate, paths.key, "wrong", 0));
}

TEST_F(CertificateTest, HostNamesGoToTheAltNameAndOtherNamesDoNot) {
    CertificatePaths paths = CertificateFiles(folder, "named");
    CertificateParameters parameters;
    request.commonName = "ftp.example.org";
    ASSERT_TRUE(GenerateCertificate(paths, "p", request, parameters));
    X509* cert = ReadCertificate(paths.certificate);
    EXPECT_EQ(AltName(cert), "DNS:ftp.example.org");
    X509_free(cert);
    request.commonName = "My Server";
    ASSERT_TRUE(GenerateCertificate(paths, "p", request, parameters)) << "overwrites the pair";
    cert = ReadCertificate(paths.certificate);
    EXPECT_EQ(AltName(cert), "");
    EXPECT_EQ(Subject(cert), "/C=US/CN=My Server/ST=Ohio");
    X509_free(cert);
}

TEST_F(CertificateTest, FailuresLeaveNoFiles) {
    CertificateParameters parameters;
    std::string detail;
    CertificatePaths missing = CertificateFiles(folder, "nosuch\\server");
    EXPECT_EQ(missing.key, folder + "/nosuch/server.key");
    EXPECT_FALSE(GenerateCertificate(missing, "p", request, parameters, &detail));
    EXPECT_NE(detail.find("No such file"), std::string::npos) << detail;

    CertificatePaths paths = CertificateFiles(folder, "bad");
    request.state = " . ";
    EXPECT_FALSE(GenerateCertificate(paths, "p", request, parameters, &detail));
    request.state = "Ohio";
    request.country = "U";  // passes the field rule, but a country code has two letters
    EXPECT_FALSE(GenerateCertificate(paths, "p", request, parameters, &detail));
    EXPECT_NE(detail.find("too short"), std::string::npos) << detail;
    struct stat st {};
    EXPECT_NE(::stat(paths.key.c_str(), &st), 0);
    EXPECT_NE(::stat(paths.certificate.c_str(), &st), 0);
}

TEST_F(CertificateTest, ClientCertificatesAreSignedByTheServersForClientAuthenticationOnly) {
    CertificatePaths server = CertificateFiles(folder, "server");
    CertificateParameters parameters;
    ASSERT_TRUE(GenerateCertificate(server, "secret", request, parameters));
    CertificateIssuer issuer{server.certificate, server.key, "secret"};
    CertificateRequest who;
    who.country.clear();
    who.commonName = "admin";
    who.organization = "Ops";
    CertificatePaths client = CertificateFiles(folder, "admin");
    std::string detail;
    ASSERT_TRUE(GenerateClientCertificate(client, issuer, who, parameters, &detail)) << detail;

    struct stat st {};
    ASSERT_EQ(::stat(client.key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string pem;
    ASSERT_TRUE(platform::ReadWholeFile(client.key, pem));
    EXPECT_NE(pem.find("BEGIN PRIVATE KEY"), std::string::npos) << "unencrypted";
    X509* serverCert = ReadCertificate(server.certificate);
    X509* cert = ReadCertificate(client.certificate);
    ASSERT_TRUE(serverCert && cert);
    EXPECT_EQ(Subject(cert), "/CN=admin/O=Ops") << "no country unless given";
    EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(cert), X509_get_subject_name(serverCert)), 0);
    EXPECT_EQ(X509_check_ca(cert), 0);

    // The server trusts its own certificate file; the chain must hold for a TLS client and
    // only for one.
    auto verifies = [&](int purpose) {
        X509_STORE* store = X509_STORE_new();
        X509_STORE_add_cert(store, serverCert);
        X509_STORE_CTX* context = X509_STORE_CTX_new();
        X509_STORE_CTX_init(context, store, cert, nullptr);
        X509_STORE_CTX_set_purpose(context, purpose);
        int ok = X509_verify_cert(context);
        X509_STORE_CTX_free(context);
        X509_STORE_free(store);
        return ok == 1;
    };
    EXPECT_TRUE(verifies(X509_PURPOSE_SSL_CLIENT));
    EXPECT_FALSE(verifies(X509_PURPOSE_SSL_SERVER));
    X509_free(cert);
    X509_free(serverCert);

    // A console's TLS reads the pair without a pass phrase.
    CTlsRuntime& tls = CTlsRuntime::Instance();
    EXPECT_TRUE(tls.InitClientContext(server.certificate, client.certificate, client.key, ""))
        << tls.LastError();
    tls.FreeClientContext();
}

TEST_F(CertificateTest, AClientCertificateNeedsAnIssuerThatCanSignAndItsPassPhrase) {
    CertificatePaths server = CertificateFiles(folder, "server");
    CertificateParameters parameters;
    ASSERT_TRUE(GenerateCertificate(server, "secret", request, parameters));
    CertificateRequest who;
    who.commonName = "admin";
    CertificatePaths client = CertificateFiles(folder, "admin");
    std::string detail;
    struct stat st {};

    EXPECT_FALSE(GenerateClientCertificate(client, {server.certificate, server.key, "wrong"}, who,
                                           parameters, &detail));
    EXPECT_NE(detail.find("SSLPassPhrase"), std::string::npos) << detail;
    EXPECT_NE(::stat(client.key.c_str(), &st), 0) << "nothing written";

    CertificateRequest nobody;
    nobody.commonName = " . ";
    EXPECT_FALSE(GenerateClientCertificate(client, {server.certificate, server.key, "secret"},
                                           nobody, parameters, &detail));
    EXPECT_FALSE(ClientRequestPasses(nobody));
    who.state = "a/b";
    EXPECT_FALSE(ClientRequestPasses(who)) << "optional fields still follow the rules";
    who.state.clear();

    // A client certificate may not sign others, as a public authority's server certificate.
    ASSERT_TRUE(GenerateClientCertificate(client, {server.certificate, server.key, "secret"}, who,
                                          parameters, &detail));
    CertificatePaths second = CertificateFiles(folder, "second");
    EXPECT_FALSE(GenerateClientCertificate(second, {client.certificate, client.key, ""}, who,
                                           parameters, &detail));
    EXPECT_NE(detail.find("may not sign other certificates"), std::string::npos) << detail;
    EXPECT_FALSE(GenerateClientCertificate(second, {server.certificate, client.key, ""}, who,
                                           parameters, &detail));
    EXPECT_NE(detail.find("does not belong"), std::string::npos) << detail;
    EXPECT_NE(::stat(second.certificate.c_str(), &st), 0);
}
