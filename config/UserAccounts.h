#pragma once
// Named users and the password file: a header (a version byte, three reserved bytes, a
// 32-bit record count), then the records, all little-endian.
// Version 1: 88-byte records of UTF-16LE name (33 units), password (9 units, in plain text)
// and rights word.
// Version 2, written once any password is kept as a hash: records of a kind byte (0 plain
// text, 1 crypt(3) hash), the name's length (1 byte), the secret's length (2 bytes), the
// rights word, then the UTF-8 name and secret. A version 1 file stays version 1 until then.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class CAppSettings;

enum UserRights : uint32_t {
    RightsDelete = 1,     // RMD, DELE
    RightsOverwrite = 2,  // STOR/APPE onto an existing file (with RightsWrite)
    RightsRename = 4,     // RNFR, RNTO
    RightsWrite = 8,      // MKD, STOR, STOU, APPE, setting a file time
};

// Rights as the letters of the pages: W(rite), O(verwrite), D(elete), R(ename), in that
// order, "-" for one not granted ("W-D-").
std::string RightsLetters(uint32_t rights);
// Letters in any order and case; "" and "-" grant nothing. False on any other character.
bool RightsFromLetters(const std::string& letters, uint32_t& rights);

struct UserAccount {
    std::string name;      // at most 32 UTF-16 units are stored
    std::string password;  // plain text (8 UTF-16 units in a version 1 file), or a hash
    uint32_t rights = 0;
    bool hashed = false;  // password is a crypt(3) hash, not the password itself

    bool operator==(const UserAccount&) const = default;
};

inline constexpr size_t kAccountRecordSize = 88;
inline constexpr size_t kAccountNameUnits = 32;
inline constexpr size_t kAccountPasswordUnits = 8;
// The longest password accepted when passwords are kept as hashes.
inline constexpr size_t kLongPasswordUnits = 128;
inline constexpr uint8_t kPasswordFileVersion = 2;  // the newest this program writes and reads

using AccountRecord = std::array<uint8_t, kAccountRecordSize>;
AccountRecord EncodeAccount(const UserAccount& account);
UserAccount DecodeAccount(const uint8_t* record);

// Cuts a text to at most units UTF-16 code units without splitting a character.
std::string CutToUnits(const std::string& text, size_t units);

// Version 1 when every password is plain text of at most 8 units, else version 2.
std::string EncodePasswordFile(const std::vector<UserAccount>& users);
std::string EncodePasswordFileV2(const std::vector<UserAccount>& users);

// What a password file holds: the accounts of its whole records, whether the file is whole
// (a good header and every record it counts), and one sentence per fault found. A version 2
// file is read whole or not at all; keep says a file that must not be replaced (a damaged
// version 2 file, or one of a newer version), so that a save cannot destroy its accounts.
struct PasswordFileReading {
    std::vector<UserAccount> users;
    bool whole = false;
    bool keep = false;
    std::vector<std::string> problems;
};
PasswordFileReading ReadPasswordFile(const std::string& bytes);
// The complete records of the file, appended to users; false if the header is bad or the file
// holds fewer records than it says.
bool DecodePasswordFile(const std::string& bytes, std::vector<UserAccount>& users);

class CUserList {
public:
    // Replaces the list with the file's whole records; false if the file cannot be read or is
    // not whole. problems gets one sentence per fault, none for a missing file. The file is
    // never written here.
    // kept, if given, says whether the file is one a save will not replace.
    bool LoadUsers(const std::string& path, std::vector<std::string>* problems = nullptr,
                   bool* kept = nullptr);
    // Replaces the file whole; on failure the old file is unchanged. New files get mode 0600.
    // With hashPasswords every plain password is first replaced by its hash, here and in the
    // file. A file that must be kept (see PasswordFileReading) is never replaced; problem
    // then says why.
    bool SaveUsers(const std::string& path, bool hashPasswords = false,
                   std::string* problem = nullptr);

    std::vector<UserAccount>& Users() { return users_; }
    const std::vector<UserAccount>& Users() const { return users_; }

private:
    std::vector<UserAccount> users_;
};

// The rights of anonymous logins: each bit whose setting ("AnonWrite", ...) is exactly "true".
uint32_t AnonymousRights(const CAppSettings& settings);

// The login check: "anonymous" needs an "@" in its password and gets its rights from the
// settings; anyone else must match the first record of that exact name and its password
// (compared in constant time, or through its hash).
bool Authenticate(const std::vector<UserAccount>& users, const CAppSettings& settings,
                  const std::string& name, const std::string& password, uint32_t& rights);
