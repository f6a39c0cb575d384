#include "config/PasswordHash.h"

#include <crypt.h>
#include <openssl/crypto.h>

#include <memory>

namespace {
constexpr const char kMethod[] = "$6$";

std::string Crypt(const std::string& password, const char* setting) {
    if (password.find('\0') != std::string::npos) return {};
    // crypt_data is some 32 kB: too large for a loop thread's stack frame.
    auto data = std::make_unique<crypt_data>();  // zeroed, as crypt_r wants it
    const char* result = crypt_r(password.c_str(), setting, data.get());
    // Failures come back as NULL or as a text starting with "*".
    if (!result || result[0] == '*') return {};
    return result;
}
}  // namespace

std::string HashPassword(const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // No random bytes given: the library takes them from the operating system.
    if (!crypt_gensalt_rn(kMethod, 0, nullptr, 0, setting, sizeof setting)) return {};
    return Crypt(password, setting);
}

bool VerifyPassword(const std::string& password, const std::string& hash) {
    if (!IsPasswordHash(hash)) return false;
    std::string computed = Crypt(password, hash.c_str());
    return !computed.empty() && SameSecret(computed, hash);
}

bool IsPasswordHash(const std::string& text) {
    if (text.size() < 4 || text[0] != '$' || text.find('\0') != std::string::npos) return false;
    return crypt_checksalt(text.c_str()) == CRYPT_SALT_OK;
}

bool SameSecret(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}
