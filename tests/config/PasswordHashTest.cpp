// Passwords kept as hashes, and the version 2 password file that holds them.
#include <crypt.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "config/AppSettings.h"
#include "config/PasswordHash.h"
#include "config/UserAccounts.h"
#include "platform/AtomicFile.h"
#include "support/TestTls.h"

namespace {
const std::string kPhrase(64, 'p');

std::string Read(const std::string& path) {
    std::string bytes;
    platform::ReadWholeFile(path, bytes);
    return bytes;
}

class HashedPasswordTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = testsupport::MakeTempDir("qftp-hash");
        path = dir + "/QuenlowFTP.dat";
    }
    std::string dir, path;
};
}  // namespace

TEST(PasswordHashTest, HashesAreSaltedAndOnlyTheirPasswordMatches) {
    std::string long128(128, 'x');
    std::string first = HashPassword(long128), second = HashPassword(long128);
    ASSERT_EQ(first.rfind("$6$", 0), 0u) << first;
    EXPECT_NE(first, second) << "a salt of its own each time";
    EXPECT_TRUE(IsPasswordHash(first));
    EXPECT_TRUE(VerifyPassword(long128, first));
    EXPECT_TRUE(VerifyPassword(long128, second));
    EXPECT_FALSE(VerifyPassword(long128 + "x", first));
    EXPECT_FALSE(VerifyPassword(std::string(127, 'x'), first));
    EXPECT_FALSE(VerifyPassword("", first));

    // A NUL would cut the password short inside the library: refused, never matched.
    EXPECT_EQ(HashPassword(std::string("ab\0cd", 5)), "");
    std::string ab = HashPassword("ab");
    EXPECT_FALSE(VerifyPassword(std::string("ab\0cd", 5), ab));

    // Not hashes: plain text, and forms libcrypt does not check.
    for (const char* text : {"secret", "", "$", "$6$", "*0", "$zz$salt$hash"})
        EXPECT_FALSE(IsPasswordHash(text)) << text;
    EXPECT_FALSE(VerifyPassword("secret", "secret"));

    // A stronger hash made elsewhere (yescrypt) still verifies.
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    ASSERT_NE(crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting), nullptr);
    crypt_data data{};
    std::string yescrypt = crypt_r("phrase", setting, &data);
    EXPECT_TRUE(VerifyPassword("phrase", yescrypt));
    EXPECT_FALSE(VerifyPassword("Phrase", yescrypt));

    EXPECT_TRUE(SameSecret("abc", "abc"));
    EXPECT_FALSE(SameSecret("abc", "abd"));
    EXPECT_FALSE(SameSecret("abc", "abcd"));
    EXPECT_FALSE(SameSecret("", "a"));
}

TEST_F(HashedPasswordTest, VersionOneStaysUntilHashingIsOnThenNoPasswordIsStored) {
    CUserList list;
    list.Users() = {{"alice", "secret", RightsWrite}, {"bob", "12345678", 15}};
    ASSERT_TRUE(list.SaveUsers(path));
    std::string v1 = Read(path);
    EXPECT_EQ(v1[0], 1);
    ASSERT_TRUE(list.SaveUsers(path, false));
    EXPECT_EQ(Read(path), v1) << "without hashing the file stays version 1";

    ASSERT_TRUE(list.SaveUsers(path, true));
    std::string v2 = Read(path);
    EXPECT_EQ(v2[0], 2);
    EXPECT_EQ(v2.find("secret"), std::string::npos);
    EXPECT_EQ(v2.find("12345678"), std::string::npos);
    EXPECT_TRUE(list.Users()[0].hashed && list.Users()[1].hashed);

    CUserList loaded;
    ASSERT_TRUE(loaded.LoadUsers(path));
    EXPECT_EQ(loaded.Users(), list.Users());
    CAppSettings settings;
    uint32_t rights = 0;
    EXPECT_TRUE(Authenticate(loaded.Users(), settings, "alice", "secret", rights));
    EXPECT_EQ(rights, RightsWrite);
    EXPECT_TRUE(Authenticate(loaded.Users(), settings, "bob", "12345678", rights));
    EXPECT_EQ(rights, 15u);
    EXPECT_FALSE(Authenticate(loaded.Users(), settings, "alice", "Secret", rights));
    EXPECT_FALSE(Authenticate(loaded.Users(), settings, "alice", "", rights));

    // With hashing off again, a new plain password joins the hashes: the file stays version 2,
    // and a pass phrase longer than 8 characters is not cut there.
    loaded.Users().push_back({"carol", kPhrase, 0});
    ASSERT_TRUE(loaded.SaveUsers(path, false));
    CUserList again;
    ASSERT_TRUE(again.LoadUsers(path));
    ASSERT_EQ(again.Users().size(), 3u);
    EXPECT_FALSE(again.Users()[2].hashed);
    EXPECT_TRUE(Authenticate(again.Users(), settings, "carol", kPhrase, rights));
    EXPECT_TRUE(Authenticate(again.Users(), settings, "alice", "secret", rights));
}

TEST_F(HashedPasswordTest, VersionTwoRoundTripsEveryKindOfAccount) {
    std::vector<UserAccount> users = {{"ünïcødé-名前", HashPassword(kPhrase), 15, true},
                                      {"", "", 0},
                                      {std::string(32, 'n'), std::string(128, 'q'), 8},
                                      {"dup", "a", 1},
                                      {"dup", HashPassword("b"), 2, true}};
    std::string bytes = EncodePasswordFileV2(users);
    PasswordFileReading reading = ReadPasswordFile(bytes);
    EXPECT_TRUE(reading.whole);
    EXPECT_FALSE(reading.keep);
    EXPECT_TRUE(reading.problems.empty());
    EXPECT_EQ(reading.users, users);
    EXPECT_EQ(EncodePasswordFile(users), bytes) << "hashes or long passwords need version 2";
    EXPECT_EQ(EncodePasswordFileV2({}), std::string("\2\0\0\0\0\0\0\0", 8));
}

TEST_F(HashedPasswordTest, DamagedOrNewerFilesAreRefusedWholeAndNeverReplaced) {
    std::string good =
        EncodePasswordFileV2({{"alice", HashPassword("a"), 8, true}, {"bob", "plain", 1}});
    std::vector<std::string> damaged;
    for (size_t n = 8; n < good.size(); ++n) damaged.push_back(good.substr(0, n));
    damaged.push_back(good + "x");
    std::string kind = good;
    kind[8] = 7;
    damaged.push_back(kind);
    std::string notAHash = good;
    notAHash[8 + 8 + 5] = '#';  // the "$" that starts alice's hash
    damaged.push_back(notAHash);
    std::string badText = good;
    badText[8 + 8] = '\xff';  // the "a" of alice
    damaged.push_back(badText);
    std::string newer = good;
    newer[0] = 3;
    damaged.push_back(newer);

    for (const std::string& bytes : damaged) {
        SCOPED_TRACE(bytes.size());
        PasswordFileReading reading = ReadPasswordFile(bytes);
        EXPECT_FALSE(reading.whole);
        EXPECT_TRUE(reading.keep);
        EXPECT_TRUE(reading.users.empty()) << "all or nothing";
        ASSERT_EQ(reading.problems.size(), 1u);
        EXPECT_NE(reading.problems[0].find("the file is left as it is"), std::string::npos)
            << reading.problems[0];

        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        CUserList list;
        std::vector<std::string> said;
        EXPECT_FALSE(list.LoadUsers(path, &said));
        EXPECT_EQ(said, reading.problems);
        list.Users().push_back({"new", "pw", 0});
        std::string why;
        EXPECT_FALSE(list.SaveUsers(path, true, &why));
        EXPECT_EQ(why, path + " is not replaced: " + reading.problems[0]);
        EXPECT_EQ(Read(path), bytes) << "left untouched";
    }
    EXPECT_EQ(ReadPasswordFile(good.substr(0, 20)).problems[0],
              "it says it holds 2 accounts but ends in record 1; no account was read, and the "
              "file is left as it is");
}
