#pragma once
// Salted one-way hashes of account passwords, in the crypt(3) text form of libcrypt.
//
// New hashes are SHA-512-crypt ("$6$", 5000 rounds): a login check runs on the loop thread of
// its session, and this costs about as much as a TLS handshake (a few milliseconds) where
// yescrypt at its default cost takes some 70 ms and 16 MiB, stalling every other session of
// that loop meanwhile. Checking takes any form libcrypt knows, so stronger hashes made
// elsewhere still verify.

#include <string>

// A new salted hash of password; "" if the library cannot make one (or the password holds a
// NUL, which the hash would silently cut at).
std::string HashPassword(const std::string& password);

// Whether password hashes to hash; false for anything that is not a hash libcrypt accepts.
bool VerifyPassword(const std::string& password, const std::string& hash);

// Whether text has the shape of a crypt(3) hash ("$id$...") that libcrypt can check.
bool IsPasswordHash(const std::string& text);

// a == b in time that depends only on their lengths (OpenSSL's CRYPTO_memcmp).
bool SameSecret(const std::string& a, const std::string& b);
