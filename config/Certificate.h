#pragma once
// A new RSA key pair and a self-signed certificate for the server's TLS, written as PEM files:
// the key encrypted under a pass phrase, the certificate beside it.

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
