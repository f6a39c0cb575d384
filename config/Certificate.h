#pragma once
// New RSA key pairs and certificates, written as PEM files: the server's own, self-signed, with
// the key encrypted under a pass phrase; and certificates the server's signs for consoles.

#include <string>

#include "config/PageChecks.h"

struct CertificateParameters {
    int keyBits = 2048;
    unsigned days = 365;  // valid from now to now + days x 86400 s
};

// The two files of a base name given relative to folder ("\" or "/" name sub-folders).
struct CertificatePaths {
    std::string certificate;  // base + ".crt"
    std::string key;          // base + ".key"
};
CertificatePaths CertificateFiles(const std::string& folder, const std::string& name);

// Writes the key (mode 0600) and then the certificate, each file replaced whole. False on any
// failure - a request that breaks the field rules, a library failure, a file that cannot be
// written - with a short reason in detail when one is known. An existing pair is overwritten.
bool GenerateCertificate(const CertificatePaths& paths, const std::string& passPhrase,
                         const CertificateRequest& request, const CertificateParameters& parameters,
                         std::string* detail = nullptr);

// The certificate and key that sign a client certificate: the server's own, which its TLS
// trusts.
struct CertificateIssuer {
    std::string certificate;
    std::string key;
    std::string passPhrase;
};

// A client certificate needs a valid common name; the other fields may be empty ("" country
// included), and pass the field rules when they are not.
bool ClientFieldPasses(CertField field, const std::string& text);
bool ClientRequestPasses(const CertificateRequest& request);

// A certificate for a console that the server asks for one (client authentication only),
// signed by the issuer. The key is written unencrypted (mode 0600): the console reads it
// unattended. Fails, writing nothing, when the issuer cannot be read, its key is not its
// certificate's, or its certificate may not sign others (a public authority's).
bool GenerateClientCertificate(const CertificatePaths& paths, const CertificateIssuer& issuer,
                               const CertificateRequest& request,
                               const CertificateParameters& parameters,
                               std::string* detail = nullptr);
