// The password file as it may lie on disk. Decoding must take no more records than the file
// holds, and the accounts it yields must survive a save unchanged: a save that altered a name
// or a password would lock that user out. A version 2 file is read whole or not at all, and
// one that is not read whole must never be replaced.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/UserAccounts.h"

namespace {
void VersionOne(const uint8_t* data, size_t size, const std::string& bytes) {
    const UserAccount before{"already-listed", "pw", RightsWrite};
    std::vector<UserAccount> users{before};
    const bool complete = DecodePasswordFile(bytes, users);
    if (users.empty() || !(users.front() == before)) __builtin_trap();  // appends, never replaces
    users.erase(users.begin());

    if (size < 8) {
        if (complete || !users.empty()) __builtin_trap();
        return;
    }
    const uint32_t count = uint32_t{data[4]} | uint32_t{data[5]} << 8 | uint32_t{data[6]} << 16 |
                           uint32_t{data[7]} << 24;
    if (users.size() > (size - 8) / kAccountRecordSize || users.size() > count) __builtin_trap();
    if (complete && users.size() != count) __builtin_trap();

    const std::string saved = EncodePasswordFile(users);
    if (saved.size() != 8 + users.size() * kAccountRecordSize) __builtin_trap();
    std::vector<UserAccount> reloaded;
    if (!DecodePasswordFile(saved, reloaded)) __builtin_trap();
    if (reloaded != users) __builtin_trap();
}

void VersionTwo(const std::string& bytes) {
    PasswordFileReading reading = ReadPasswordFile(bytes);
    if (reading.whole == reading.keep) __builtin_trap();  // read whole, or kept as it is
    if (!reading.whole) {
        if (!reading.users.empty() || reading.problems.size() != 1) __builtin_trap();
        return;
    }
    const std::string saved = EncodePasswordFileV2(reading.users);
    if (saved.compare(8, std::string::npos, bytes, 8, std::string::npos) != 0) __builtin_trap();
    PasswordFileReading again = ReadPasswordFile(saved);
    if (!again.whole || again.users != reading.users) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (size >= 8 && data[0] == 2)
        VersionTwo(bytes);
    else
        VersionOne(data, size, bytes);
    return 0;
}
