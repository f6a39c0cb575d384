#include "config/UserAccounts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>
#include <utility>

#include "config/AppSettings.h"
#include "config/PasswordHash.h"
#include "platform/AtomicFile.h"
#include "platform/Text.h"

namespace {
constexpr size_t kNameOffset = 0, kNameField = 33;
constexpr size_t kPasswordOffset = 66, kPasswordField = 9;
constexpr size_t kRightsOffset = 84;
constexpr size_t kHeaderSize = 8;
// Version 2 records: kind, name length, secret length (2 bytes), rights, then the texts.
constexpr size_t kV2Fixed = 8;
constexpr uint8_t kKindPlain = 0, kKindHash = 1;
constexpr size_t kNameBytesMax = 4 * kAccountNameUnits;  // UTF-8 of 32 units
constexpr size_t kSecretBytesMax = 1024;

void PutText(uint8_t* at, size_t fieldUnits, const std::string& text, size_t maxUnits) {
    std::u16string units = platform::Utf8ToUtf16(CutToUnits(text, maxUnits));
    for (size_t i = 0; i < fieldUnits; ++i) {
        char16_t u = i < units.size() ? units[i] : 0;
        at[2 * i] = static_cast<uint8_t>(u & 0xFF);
        at[2 * i + 1] = static_cast<uint8_t>(u >> 8);
    }
}

std::string GetText(const uint8_t* at, size_t fieldUnits) {
    std::u16string units;
    for (size_t i = 0; i < fieldUnits; ++i) {
        char16_t u = static_cast<char16_t>(at[2 * i] | (at[2 * i + 1] << 8));
        if (u == 0) break;
        units.push_back(u);
    }
    return platform::Utf16ToUtf8(units);
}

void PutU32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetU32(const uint8_t* at) {
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

std::string Counted(size_t n, const char* thing) {
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}
}  // namespace

namespace {
constexpr std::pair<char, uint32_t> kRightLetters[] = {
    {'W', RightsWrite}, {'O', RightsOverwrite}, {'D', RightsDelete}, {'R', RightsRename}};
}  // namespace

std::string RightsLetters(uint32_t rights) {
    std::string letters;
    for (auto [letter, bit] : kRightLetters) letters += rights & bit ? letter : '-';
    return letters;
}

bool RightsFromLetters(const std::string& letters, uint32_t& rights) {
    uint32_t result = 0;
    for (char c : letters) {
        if (c == '-') continue;
        char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        bool known = false;
        for (auto [letter, bit] : kRightLetters)
            if (upper == letter) result |= bit, known = true;
        if (!known) return false;
    }
    rights = result;
    return true;
}

std::string CutToUnits(const std::string& text, size_t units) {
    std::u16string wide = platform::Utf8ToUtf16(text);
    if (wide.size() <= units) return text;
    size_t keep = units;
    if (keep > 0 && wide[keep - 1] >= 0xD800 && wide[keep - 1] <= 0xDBFF) --keep;
    return platform::Utf16ToUtf8(wide.substr(0, keep));
}

AccountRecord EncodeAccount(const UserAccount& account) {
    AccountRecord record{};
    PutText(record.data() + kNameOffset, kNameField, account.name, kAccountNameUnits);
    PutText(record.data() + kPasswordOffset, kPasswordField, account.password,
            kAccountPasswordUnits);
    PutU32(record.data() + kRightsOffset, account.rights);
    return record;
}

UserAccount DecodeAccount(const uint8_t* record) {
    UserAccount account;
    // A field filled to its end has lost its terminator: only what a save would write back
    // counts, so that a save never changes a name or a password.
    account.name = CutToUnits(GetText(record + kNameOffset, kNameField), kAccountNameUnits);
    account.password =
        CutToUnits(GetText(record + kPasswordOffset, kPasswordField), kAccountPasswordUnits);
    account.rights = GetU32(record + kRightsOffset);
    return account;
}

namespace {
bool FitsVersionOne(const UserAccount& account) {
    return !account.hashed && platform::Utf8ToUtf16(account.password).size() <= kAccountPasswordUnits;
}

std::string Header(uint8_t version, size_t count) {
    std::string header(kHeaderSize, '\0');
    auto* out = reinterpret_cast<uint8_t*>(header.data());
    out[0] = version;
    PutU32(out + 4, static_cast<uint32_t>(count));
    return header;
}
}  // namespace

std::string EncodePasswordFile(const std::vector<UserAccount>& users) {
    if (!std::all_of(users.begin(), users.end(), FitsVersionOne))
        return EncodePasswordFileV2(users);
    std::string bytes = Header(1, users.size());
    for (const UserAccount& account : users) {
        AccountRecord record = EncodeAccount(account);
        bytes.append(reinterpret_cast<const char*>(record.data()), record.size());
    }
    return bytes;
}

std::string EncodePasswordFileV2(const std::vector<UserAccount>& users) {
    std::string bytes = Header(kPasswordFileVersion, users.size());
    for (const UserAccount& account : users) {
        std::string name = CutToUnits(account.name, kAccountNameUnits);
        std::string secret = account.hashed ? account.password
                                            : CutToUnits(account.password, kLongPasswordUnits);
        uint8_t fixed[kV2Fixed];
        fixed[0] = account.hashed ? kKindHash : kKindPlain;
        fixed[1] = static_cast<uint8_t>(name.size());
        fixed[2] = static_cast<uint8_t>(secret.size() & 0xFF);
        fixed[3] = static_cast<uint8_t>(secret.size() >> 8);
        PutU32(fixed + 4, account.rights);
        bytes.append(reinterpret_cast<const char*>(fixed), sizeof fixed);
        bytes += name;
        bytes += secret;
    }
    return bytes;
}

namespace {
bool IsUtf8(const std::string& text) {
    return platform::Utf16ToUtf8(platform::Utf8ToUtf16(text)) == text;
}

// A version 2 file, all or nothing.
void ReadVersionTwo(const std::string& bytes, PasswordFileReading& reading) {
    const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
    uint32_t count = GetU32(in + 4);
    size_t at = kHeaderSize;
    std::vector<UserAccount> users;
    auto refuse = [&](const std::string& why) {
        reading.keep = true;
        reading.problems.push_back(why + "; no account was read, and the file is left as it is");
    };
    for (uint32_t i = 0; i < count; ++i) {
        std::string which = "record " + std::to_string(i + 1);
        auto cut = [&] {
            refuse("it says it holds " + Counted(count, "account") + " but ends in " + which);
        };
        if (bytes.size() - at < kV2Fixed) return cut();
        const uint8_t* fixed = in + at;
        size_t nameBytes = fixed[1], secretBytes = size_t{fixed[2]} | size_t{fixed[3]} << 8;
        if (fixed[0] != kKindPlain && fixed[0] != kKindHash)
            return refuse(which + " has an unknown kind " + std::to_string(fixed[0]));
        if (nameBytes > kNameBytesMax || secretBytes > kSecretBytesMax)
            return refuse(which + " is longer than any account");
        if (bytes.size() - at - kV2Fixed < nameBytes + secretBytes) return cut();
        UserAccount account;
        account.name.assign(bytes, at + kV2Fixed, nameBytes);
        account.password.assign(bytes, at + kV2Fixed + nameBytes, secretBytes);
        account.rights = GetU32(fixed + 4);
        account.hashed = fixed[0] == kKindHash;
        at += kV2Fixed + nameBytes + secretBytes;
        // Only what a save writes back unchanged is an account: a save must never alter one.
        if (!IsUtf8(account.name) || !IsUtf8(account.password) ||
            CutToUnits(account.name, kAccountNameUnits) != account.name ||
            account.name.find('\0') != std::string::npos)
            return refuse(which + " holds a name or password that is not valid text");
        if (account.hashed ? !IsPasswordHash(account.password)
                           : CutToUnits(account.password, kLongPasswordUnits) != account.password)
            return refuse(which + "'s password is neither a hash this program checks nor a "
                                  "password it accepts");
        users.push_back(std::move(account));
    }
    if (at != bytes.size())
        return refuse(std::to_string(bytes.size() - at) + " bytes follow its " +
                      Counted(count, "record"));
    reading.users = std::move(users);
    reading.whole = true;
}
}  // namespace

PasswordFileReading ReadPasswordFile(const std::string& bytes) {
    PasswordFileReading reading;
    const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
    if (bytes.size() < kHeaderSize) {
        reading.problems.push_back("it is " + std::to_string(bytes.size()) +
                                   " bytes long, too short for a password file; no account "
                                   "was read");
        return reading;
    }
    if (in[0] == kPasswordFileVersion) {
        ReadVersionTwo(bytes, reading);
        return reading;
    }
    if (in[0] > kPasswordFileVersion) {
        reading.keep = true;
        reading.problems.push_back(
            "it has version " + std::to_string(in[0]) +
            ", written by a newer release of this program, which reads versions 1 and 2; no "
            "account was read, and the file is left as it is");
        return reading;
    }
    if (in[0] != 1) {
        reading.problems.push_back("it has version " + std::to_string(in[0]) +
                                   ", not 1 or 2, so it is not a password file this program "
                                   "reads; no account was read");
        return reading;
    }
    uint32_t count = GetU32(in + 4);
    size_t body = bytes.size() - kHeaderSize;
    size_t available = body / kAccountRecordSize;
    size_t read = std::min<size_t>(count, available);
    auto unterminated = [](const uint8_t* field, size_t units) {
        return field[2 * (units - 1)] != 0 || field[2 * (units - 1) + 1] != 0;
    };
    for (size_t i = 0; i < read; ++i) {
        const uint8_t* record = in + kHeaderSize + i * kAccountRecordSize;
        reading.users.push_back(DecodeAccount(record));
        for (auto [offset, units, what] :
             {std::tuple{kNameOffset, kNameField, "name"},
              std::tuple{kPasswordOffset, kPasswordField, "password"}})
            if (unterminated(record + offset, units))
                reading.problems.push_back("record " + std::to_string(i + 1) + "'s " + what +
                                           " fills its field with no end; only its first " +
                                           std::to_string(units - 1) + " characters count");
    }
    reading.whole = available >= count;
    if (!reading.whole) {
        size_t cut = body - available * kAccountRecordSize;
        reading.problems.push_back(
            "it says it holds " + Counted(count, "account") + " but has only " +
            Counted(available, "whole record") +
            (cut ? " and " + std::to_string(cut) + " bytes of a cut-off one" : "") +
            "; the " + Counted(read, "account") + " in them were read");
    } else if (body > static_cast<size_t>(count) * kAccountRecordSize) {
        reading.problems.push_back(std::to_string(body - count * kAccountRecordSize) +
                                   " bytes after its " + Counted(count, "record") +
                                   " are ignored");
    }
    return reading;
}

bool DecodePasswordFile(const std::string& bytes, std::vector<UserAccount>& users) {
    PasswordFileReading reading = ReadPasswordFile(bytes);
    users.insert(users.end(), reading.users.begin(), reading.users.end());
    return reading.whole;
}

bool CUserList::LoadUsers(const std::string& path, std::vector<std::string>* problems,
                          bool* kept) {
    users_.clear();
    if (kept) *kept = false;
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes)) {
        if (problems && errno != ENOENT)
            problems->push_back(std::string("it cannot be read: ") + std::strerror(errno));
        return false;
    }
    PasswordFileReading reading = ReadPasswordFile(bytes);
    users_ = std::move(reading.users);
    if (kept) *kept = reading.keep;
    if (problems) problems->insert(problems->end(), reading.problems.begin(), reading.problems.end());
    return reading.whole;
}

bool CUserList::SaveUsers(const std::string& path, bool hashPasswords, std::string* problem) {
    auto fail = [&](const std::string& why) {
        if (problem) *problem = why;
        return false;
    };
    std::string existing;
    if (platform::ReadWholeFile(path, existing)) {
        PasswordFileReading reading = ReadPasswordFile(existing);
        if (reading.keep) return fail(path + " is not replaced: " + reading.problems.front());
    }
    if (hashPasswords) {
        for (UserAccount& account : users_) {
            if (account.hashed) continue;
            std::string hash = HashPassword(account.password);
            if (hash.empty()) return fail("a password could not be hashed");
            account.password = std::move(hash);
            account.hashed = true;
        }
    }
    if (!platform::WriteFileAtomically(path, EncodePasswordFile(users_), 0600))
        return fail(path + " cannot be written: " + std::strerror(errno));
    return true;
}

uint32_t AnonymousRights(const CAppSettings& settings) {
    uint32_t rights = 0;
    if (settings.GetBoolSetting("AnonDelete")) rights |= RightsDelete;
    if (settings.GetBoolSetting("AnonOverwrite")) rights |= RightsOverwrite;
    if (settings.GetBoolSetting("AnonRename")) rights |= RightsRename;
    if (settings.GetBoolSetting("AnonWrite")) rights |= RightsWrite;
    return rights;
}

bool Authenticate(const std::vector<UserAccount>& users, const CAppSettings& settings,
                  const std::string& name, const std::string& password, uint32_t& rights) {
    if (name == "anonymous") {
        if (password.find('@') == std::string::npos) return false;
        rights = AnonymousRights(settings);
        return true;
    }
    for (const UserAccount& account : users) {
        if (account.name != name) continue;
        bool matches = account.hashed ? VerifyPassword(password, account.password)
                                      : SameSecret(account.password, password);
        if (!matches) return false;
        rights = account.rights;
        return true;
    }
    return false;
}
