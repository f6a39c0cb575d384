#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "config/AppSettings.h"
#include "config/IpRules.h"
#include "config/SettingsRegistry.h"
#include "config/UserAccounts.h"
#include "platform/AtomicFile.h"
#include "platform/Folders.h"
#include "platform/RegistryFile.h"
#include "support/FileSizeLimit.h"
#include "support/TestTls.h"

TEST(IpRulesTest, AddressesParseStrictlyAndPartsWrap) {
    uint32_t v = 0;
    ASSERT_TRUE(ParseAddress("192.168.1.7", v));
    EXPECT_EQ(v, 0xC0A80107u);
    ASSERT_TRUE(ParseAddress("256.1.1.1", v));
    EXPECT_EQ(v, 0x00010101u);
    ASSERT_TRUE(ParseAddress("1000000000000000000001.0.0.1", v));
    EXPECT_EQ(v, 0x01000001u) << "10^21 + 1 is 1 modulo 256";
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", ".1.2.3", "1..2.3", "1.2.3.", "1.2.3.x",
                            " 1.2.3.4", "-1.2.3.4"})
        EXPECT_FALSE(ParseAddress(bad, v)) << bad;
    EXPECT_TRUE(IsAddressText("1..2.3"));
    EXPECT_FALSE(IsAddressText(""));
    EXPECT_FALSE(IsAddressText("1.2.3"));
    EXPECT_FALSE(IsAddressText("a.b.c.d"));
}

TEST(IpRulesTest, RulesTurnThePolicyRound) {
    CIpRuleTable table;
    table.SetPolicy(true);
    EXPECT_TRUE(table.Check("10.0.0.1"));
    EXPECT_FALSE(table.Check("not.an.ip.addr"));
    table.SetPolicy(false);
    EXPECT_FALSE(table.Check("10.0.0.1"));

    ASSERT_TRUE(table.Append("192.168.1.0", "255.255.255.0"));
    EXPECT_FALSE(table.Append("1..2.3", "255.255.255.0")) << "an empty part never becomes a rule";
    table.SetPolicy(true);
    EXPECT_FALSE(table.Check("192.168.1.7"));
    EXPECT_TRUE(table.Check("192.168.2.7"));
    table.SetPolicy(false);
    EXPECT_TRUE(table.Check("192.168.1.7"));
    EXPECT_FALSE(table.Check("192.168.2.7"));

    // A mask with holes: the last byte must be 5, the rest is free.
    CIpRuleTable holes;
    holes.SetPolicy(true);
    ASSERT_TRUE(holes.Append("0.0.0.5", "0.0.0.255"));
    EXPECT_FALSE(holes.Check("10.20.30.5"));
    EXPECT_TRUE(holes.Check("10.20.30.6"));
    ASSERT_TRUE(holes.Append("0.0.0.0", "0.0.0.0"));
    EXPECT_FALSE(holes.Check("8.8.8.8")) << "0.0.0.0/0.0.0.0 matches every address";
}

TEST(IpRulesTest, Ipv6RulesMatchByPrefixAndOnlyIpv6Clients) {
    Address6 a{};
    int prefix = -1;
    std::string problem;
    ASSERT_TRUE(ParsePrefix6("2001:db8::/32", a, prefix));
    EXPECT_EQ(prefix, 32);
    EXPECT_EQ(a[0], 0x20);
    EXPECT_EQ(a[3], 0xb8);
    ASSERT_TRUE(ParsePrefix6("::1", a, prefix));
    EXPECT_EQ(prefix, 128);
    for (const char* bad : {"2001:db8::/129", "2001:db8::/", "2001:db8::/-1", "2001:db8::/3a",
                            "2001:db8:::1", "fe80::1%eth0", "[::1]", "1.2.3.4", "::1/1000"}) {
        problem.clear();
        EXPECT_FALSE(ParsePrefix6(bad, a, prefix, &problem)) << bad;
        EXPECT_FALSE(problem.empty()) << bad;
    }

    CIpRuleTable table;
    table.SetPolicy(true);
    ASSERT_TRUE(table.Append("2001:db8:1::/48", ""));
    ASSERT_TRUE(table.Append("::1", ""));
    EXPECT_FALSE(table.Append("2001:db8::/32", "255.0.0.0")) << "a prefix takes no mask";
    EXPECT_FALSE(table.Append("2001:db8::/200", ""));
    EXPECT_FALSE(table.Check("2001:db8:1:ffff::7"));
    EXPECT_TRUE(table.Check("2001:db8:2::7"));
    EXPECT_FALSE(table.Check("::1"));
    EXPECT_TRUE(table.Check("::2"));
    EXPECT_TRUE(table.Check("127.0.0.1")) << "IPv6 rules leave IPv4 clients alone";
    EXPECT_FALSE(table.Check("2001:db8::zz")) << "an unreadable address is refused";

    // Prefix lengths 0, 64 and 128, and the bits inside a byte.
    CIpRuleTable lengths;
    lengths.SetPolicy(false);
    ASSERT_TRUE(lengths.Append("fd00:1:2:3::/64", ""));
    EXPECT_TRUE(lengths.Check("fd00:1:2:3:ffff:ffff:ffff:ffff"));
    EXPECT_FALSE(lengths.Check("fd00:1:2:4::"));
    ASSERT_TRUE(lengths.Append("fe80::/10", ""));
    EXPECT_TRUE(lengths.Check("febf::1"));
    EXPECT_FALSE(lengths.Check("fec0::1"));
    EXPECT_FALSE(lengths.Check("10.0.0.1")) << "deny: no IPv4 rule names it";
    ASSERT_TRUE(lengths.Append("::/0", ""));
    EXPECT_TRUE(lengths.Check("2a00::1"));
    EXPECT_FALSE(lengths.Check("10.0.0.1")) << "::/0 is every IPv6 address, no IPv4 one";

    // An IPv4 client on a dual-stack socket meets the IPv4 rules.
    CIpRuleTable v4;
    v4.SetPolicy(true);
    ASSERT_TRUE(v4.Append("192.168.1.0", "255.255.255.0"));
    EXPECT_FALSE(v4.Check("::ffff:192.168.1.9"));
    EXPECT_TRUE(v4.Check("::ffff:192.168.2.9"));
}

namespace {
class StoredRulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = testsupport::MakeTempDir("qftp-rules");
        ::setenv("HOME", home.c_str(), 1);
        platform::SetConfigDir(home + "/conf");
        ASSERT_TRUE(app.LoadSettings());
    }
    void TearDown() override {
        platform::SetConfigDir("");
        CIpRuleTable::Publish(CIpRuleTable());
    }
    std::string home;
    CAppSettings app;
};
}  // namespace

TEST_F(StoredRulesTest, SavedRulesReachTheEngineTable) {
    CSettingsMap rules;
    rules.SetString(RuleAddressName(0), "192.168.1.0");
    rules.SetString(RuleMaskName(0), "255.255.255.0");
    rules.SetString(RuleAddressName(1), "1..2.3");
    rules.SetString(RuleMaskName(1), "255.255.255.255");
    ASSERT_TRUE(SaveIpRules(app, rules, 2));
    app.SetBoolSetting("NetPolicy", false);
    LoadIpRules(app);
    EXPECT_EQ(CIpRuleTable::Engine()->Rules().size(), 1u);
    EXPECT_TRUE(CheckAddress("192.168.1.99"));
    EXPECT_FALSE(CheckAddress("192.168.3.1"));

    CSettingsMap forPage;
    ASSERT_TRUE(ReadIpRules(app, forPage));
    std::string text;
    forPage.GetString(RuleAddressName(1), text);
    EXPECT_EQ(text, "1..2.3") << "listed though it never matches";

    // Saving fewer rules drops the old ones from the key.
    CSettingsMap one;
    one.SetString(RuleAddressName(0), "10.0.0.0");
    one.SetString(RuleMaskName(0), "255.0.0.0");
    ASSERT_TRUE(SaveIpRules(app, one, 1));
    CSettingsMap stored;
    ASSERT_TRUE(LoadSettingsKey(kNetRulesKey, stored));
    EXPECT_FALSE(stored.Contains(RuleAddressName(1)));
}

TEST_F(StoredRulesTest, CountBeyondTheStoredRulesGivesMatchAllRules) {
    CSettingsMap rules;
    rules.SetString(RuleAddressName(0), "192.168.1.0");
    rules.SetString(RuleMaskName(0), "255.255.255.0");
    ASSERT_TRUE(SaveIpRules(app, rules, 1));
    app.SetIntSetting("NetRuleCount", 3);
    app.SetBoolSetting("NetPolicy", true);
    LoadIpRules(app);
    EXPECT_EQ(CIpRuleTable::Engine()->Rules().size(), 3u);
    EXPECT_FALSE(CheckAddress("8.8.8.8")) << "a missing rule reads as 0.0.0.0/0.0.0.0";
}

TEST_F(StoredRulesTest, FailedRuleSaveKeepsTheOldCount) {
    app.SetIntSetting("NetRuleCount", 5);
    CSettingsMap old;
    old.SetString(RuleAddressName(0), "192.168.0.0");
    old.SetString(RuleMaskName(0), "255.255.0.0");
    ASSERT_TRUE(SaveIpRules(app, old, 1));
    std::string registry = home + "/conf/registry.reg", before;
    ASSERT_TRUE(platform::ReadWholeFile(registry, before));
    CSettingsMap rules;
    rules.SetString(RuleAddressName(0), "10.0.0.0");
    rules.SetString(RuleMaskName(0), "255.0.0.0");
    {
        FileSizeLimit full(64);
        EXPECT_FALSE(SaveIpRules(app, rules, 1));
    }
    EXPECT_EQ(app.GetIntSetting("NetRuleCount"), 1);
    std::string after;
    ASSERT_TRUE(platform::ReadWholeFile(registry, after));
    EXPECT_EQ(after, before) << "the old rules are still stored";
}

TEST(AccountsTest, RecordsAreEightyEightBytesOfUtf16) {
    UserAccount account{"bob", "pw", RightsWrite | RightsDelete};
    AccountRecord record = EncodeAccount(account);
    EXPECT_EQ(record[0], 'b');
    EXPECT_EQ(record[1], 0);
    EXPECT_EQ(record[4], 'b');
    EXPECT_EQ(record[6], 0) << "terminator";
    EXPECT_EQ(record[66], 'p');
    EXPECT_EQ(record[68], 'w');
    EXPECT_EQ(record[84], 9);
    EXPECT_EQ(record[87], 0);
    EXPECT_EQ(DecodeAccount(record.data()), account);

    // Long texts are cut to 32 and 8 units; a character beyond the BMP is not split.
    UserAccount longer{std::string(40, 'n'), "123456789", 0};
    UserAccount back = DecodeAccount(EncodeAccount(longer).data());
    EXPECT_EQ(back.name, std::string(32, 'n'));
    EXPECT_EQ(back.password, "12345678");
    UserAccount wide{"é日本", "1234567🎉", 0};
    back = DecodeAccount(EncodeAccount(wide).data());
    EXPECT_EQ(back.name, "é日本");
    EXPECT_EQ(back.password, "1234567");
}

namespace {
class PasswordFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = testsupport::MakeTempDir("qftp-users");
        path = dir + "/QuenlowFTP.dat";
    }
    std::string dir, path;
};
}  // namespace

TEST_F(PasswordFileTest, SaveAndLoadRoundTrip) {
    CUserList list;
    list.Users() = {{"alice", "secret", RightsWrite}, {"", "", 0}, {"alice", "other", 15}};
    ASSERT_TRUE(list.SaveUsers(path));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8 + 3 * 88);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    CUserList loaded;
    ASSERT_TRUE(loaded.LoadUsers(path));
    EXPECT_EQ(loaded.Users(), list.Users());
    EXPECT_FALSE(CUserList().LoadUsers(dir + "/missing.dat"));
}

TEST_F(PasswordFileTest, ShortFileKeepsItsCompleteRecordsAndBadHeadersGiveNone) {
    std::string bytes = EncodePasswordFile({{"a", "1", 1}, {"b", "2", 2}, {"c", "3", 3}});
    std::vector<UserAccount> users;
    EXPECT_FALSE(DecodePasswordFile(bytes.substr(0, 8 + 2 * 88 + 50), users));
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[1].name, "b");

    users.clear();
    std::string wrongVersion = bytes;
    wrongVersion[0] = 0;
    EXPECT_FALSE(DecodePasswordFile(wrongVersion, users));
    EXPECT_FALSE(DecodePasswordFile(bytes.substr(0, 7), users));
    EXPECT_TRUE(users.empty());

    // A lying count cannot make the reader run past the end.
    std::string lying = bytes;
    lying[4] = lying[5] = lying[6] = lying[7] = '\xff';
    EXPECT_FALSE(DecodePasswordFile(lying, users));
    EXPECT_EQ(users.size(), 3u);
}

TEST_F(PasswordFileTest, EveryFaultIsSaidWithWhatWasRead) {
    std::string bytes = EncodePasswordFile({{"a", "1", 1}, {"b", "2", 2}, {"c", "3", 3}});
    auto problems = [](const std::string& file) { return ReadPasswordFile(file).problems; };
    EXPECT_TRUE(problems(bytes).empty());
    EXPECT_TRUE(ReadPasswordFile(bytes).whole);
    EXPECT_EQ(problems(bytes.substr(0, 8 + 2 * 88 + 50)),
              std::vector<std::string>{"it says it holds 3 accounts but has only 2 whole records "
                                       "and 50 bytes of a cut-off one; the 2 accounts in them "
                                       "were read"});
    std::string lying = bytes;
    lying[4] = lying[5] = lying[6] = lying[7] = '\xff';
    EXPECT_EQ(problems(lying), std::vector<std::string>{"it says it holds 4294967295 accounts "
                                                        "but has only 3 whole records; the 3 "
                                                        "accounts in them were read"});
    EXPECT_EQ(problems(bytes.substr(0, 5)),
              std::vector<std::string>{
                  "it is 5 bytes long, too short for a password file; no account was read"});
    std::string random = bytes;
    random[0] = '\x9c';
    EXPECT_EQ(problems(random),
              std::vector<std::string>{"it has version 156, written by a newer release of this "
                                       "program, which reads versions 1 and 2; no account was "
                                       "read, and the file is left as it is"});
    random[0] = '\0';
    EXPECT_EQ(problems(random),
              std::vector<std::string>{"it has version 0, not 1 or 2, so it is not a password file "
                                       "this program reads; no account was read"});
    // A password that fills its nine units has lost its end: what is served is what a save
    // would write back, and it is said.
    std::string unended = bytes;
    for (int i = 0; i < 9; ++i) unended[8 + 66 + 2 * i] = static_cast<char>('1' + i);
    PasswordFileReading nine = ReadPasswordFile(unended);
    EXPECT_EQ(nine.users[0].password, "12345678");
    EXPECT_EQ(nine.problems, std::vector<std::string>{"record 1's password fills its field with "
                                                      "no end; only its first 8 characters count"});
    std::vector<UserAccount> again;
    ASSERT_TRUE(DecodePasswordFile(EncodePasswordFile(nine.users), again));
    EXPECT_EQ(again, nine.users);

    PasswordFileReading extra = ReadPasswordFile(bytes + "tail");
    EXPECT_TRUE(extra.whole);
    EXPECT_EQ(extra.users.size(), 3u);
    EXPECT_EQ(extra.problems, std::vector<std::string>{"4 bytes after its 3 records are ignored"});

    // Loading says the same and never writes the file.
    std::ofstream(path, std::ios::binary) << lying;
    CUserList list;
    std::vector<std::string> said;
    EXPECT_FALSE(list.LoadUsers(path, &said));
    EXPECT_EQ(list.Users().size(), 3u);
    EXPECT_EQ(said, problems(lying));
    std::string after;
    ASSERT_TRUE(platform::ReadWholeFile(path, after));
    EXPECT_EQ(after, lying);
    said.clear();
    EXPECT_FALSE(CUserList().LoadUsers(dir + "/missing.dat", &said));
    EXPECT_TRUE(said.empty()) << "no file is no fault: there are no accounts yet";
}

TEST_F(PasswordFileTest, FailedSaveKeepsTheOldFile) {
    CUserList list;
    list.Users() = {{"keep", "me", 8}};
    ASSERT_TRUE(list.SaveUsers(path));
    std::string before;
    ASSERT_TRUE(platform::ReadWholeFile(path, before));

    // The new file cannot grow past 200 bytes: the write fails part-way.
    for (int i = 0; i < 50; ++i) list.Users().push_back({"u" + std::to_string(i), "p", 0});
    {
        FileSizeLimit full(200);
        EXPECT_FALSE(list.SaveUsers(path));
    }

    std::string after;
    ASSERT_TRUE(platform::ReadWholeFile(path, after));
    EXPECT_EQ(after, before);
    CUserList reloaded;
    ASSERT_TRUE(reloaded.LoadUsers(path));
    ASSERT_EQ(reloaded.Users().size(), 1u);
    EXPECT_EQ(reloaded.Users()[0].name, "keep");
}

TEST(AuthenticateTest, AnonymousRuleAndFirstRecordByExactName) {
    CAppSettings settings;
    SetDefaultSettings(settings.Store());
    settings.SetSetting("AnonWrite", "true");
    settings.SetSetting("AnonDelete", "TRUE");  // the application reads exactly "true"
    settings.SetSetting("AnonRename", "true");
    std::vector<UserAccount> users = {{"anonymous", "nothing", 15},
                                      {"Bob", "pw1", RightsRename},
                                      {"Bob", "pw2", 15},
                                      {"zero", "z", 0},
                                      {"", "", RightsDelete}};
    uint32_t rights = 99;
    EXPECT_FALSE(Authenticate(users, settings, "anonymous", "nothing", rights));
    EXPECT_TRUE(Authenticate(users, settings, "anonymous", "guest@", rights));
    EXPECT_EQ(rights, RightsWrite | RightsRename);
    EXPECT_FALSE(Authenticate(users, settings, "Anonymous", "guest@", rights));

    EXPECT_TRUE(Authenticate(users, settings, "Bob", "pw1", rights));
    EXPECT_EQ(rights, RightsRename);
    EXPECT_FALSE(Authenticate(users, settings, "Bob", "pw2", rights)) << "only the first Bob";
    EXPECT_FALSE(Authenticate(users, settings, "bob", "pw1", rights));
    EXPECT_FALSE(Authenticate(users, settings, "Bob", "PW1", rights));
    EXPECT_TRUE(Authenticate(users, settings, "zero", "z", rights));
    EXPECT_EQ(rights, 0u);
    EXPECT_TRUE(Authenticate(users, settings, "", "", rights));
    EXPECT_FALSE(Authenticate(users, settings, "nobody", "", rights));
}

TEST(AddressPrefixesTest, TrustedSourcesOfBothFamilies) {
    std::vector<AddressPrefix> list;
    std::string problem;
    ASSERT_TRUE(ParseAddressPrefixes("192.0.2.10, 10.1.0.0/16 2001:db8::/48", list, problem))
        << problem;
    ASSERT_EQ(list.size(), 3u);
    EXPECT_TRUE(InAddressPrefixes(list, "192.0.2.10"));
    EXPECT_FALSE(InAddressPrefixes(list, "192.0.2.11"));
    EXPECT_TRUE(InAddressPrefixes(list, "10.1.255.7"));
    EXPECT_FALSE(InAddressPrefixes(list, "10.2.0.1"));
    EXPECT_TRUE(InAddressPrefixes(list, "::ffff:10.1.0.1")) << "an IPv4 client on a :: socket";
    EXPECT_TRUE(InAddressPrefixes(list, "2001:db8:0:ffff::1"));
    EXPECT_FALSE(InAddressPrefixes(list, "2001:db8:1::1"));
    EXPECT_FALSE(InAddressPrefixes(list, "not an address"));
    ASSERT_TRUE(ParseAddressPrefixes("0.0.0.0/0", list, problem));
    EXPECT_TRUE(InAddressPrefixes(list, "203.0.113.9"));
    EXPECT_FALSE(InAddressPrefixes(list, "::1")) << "an IPv4 prefix holds no IPv6 address";
    EXPECT_FALSE(ParseAddressPrefixes("10.0.0.1, nonsense", list, problem));
    EXPECT_EQ(list.size(), 1u) << "a refused text leaves the list as it was";
}
