#pragma once
// Certificates made by the tests themselves: a self-signed certificate with its key, written as
// PEM files into a temporary folder.

#include <string>

namespace testsupport {

struct TestCertificate {
    std::string certFile;
    std::string keyFile;
    std::string combinedFile;  // certificate and key in one file
};

// Makes a fresh temporary folder (removed at process exit is not attempted; /tmp is fine).
std::string MakeTempDir(const std::string& prefix);

// A self-signed EC certificate for commonName, files named <dir>/<name>.crt/.key/.pem.
// With passPhrase non-empty the key is encrypted with it.
TestCertificate MakeCertificate(const std::string& dir, const std::string& name,
                                const std::string& commonName, const std::string& passPhrase = "");

}  // namespace testsupport
