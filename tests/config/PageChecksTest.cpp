#include <gtest/gtest.h>

#include "config/FolderPath.h"
#include "config/IpRules.h"
#include "config/PageChecks.h"
#include "config/SettingsCatalog.h"
#include "config/UserAccounts.h"

TEST(PageChecksTest, SystemPageClampsNumbersAndKeepsTheStoredValueForLetters) {
    EXPECT_EQ(ClampMaxConnections("0"), 1);
    EXPECT_EQ(ClampMaxConnections("100"), 64);
    EXPECT_EQ(ClampMaxConnections("63"), 63);
    EXPECT_EQ(ClampMaxConnections(""), 1) << "no number reads as 0";
    EXPECT_EQ(ClampMaxConnections("99999999999999"), 64);
    // What the server reads: any pool up to its limit, negative as 0.
    EXPECT_EQ(ClampSessionLimit("5000"), 5000);
    EXPECT_EQ(ClampSessionLimit("-1"), 0);
    EXPECT_EQ(ClampSessionLimit("99999999999999"), kMaxSessionLimit);
    EXPECT_EQ(ClampPort("65535"), 65534);
    EXPECT_EQ(ClampPort("-5"), 0);
    EXPECT_EQ(ClampPort("2121x"), 2121) << "the leading number is read";
    EXPECT_EQ(ReadDigitsAtLeastOne("12a"), std::nullopt);
    EXPECT_EQ(ReadDigitsAtLeastOne("-3"), std::nullopt);
    EXPECT_EQ(ReadDigitsAtLeastOne(""), 1);
    EXPECT_EQ(ReadDigitsAtLeastOne("0"), 1);
    EXPECT_EQ(ReadDigitsAtLeastOne("600"), 600);
}

TEST(PageChecksTest, FolderPathsAreNormalisedAndReservedPartsRefused) {
    EXPECT_EQ(NormalizePath("\\My Documents\\..\\Temp\\.\\"), "\\Temp\\");
    EXPECT_EQ(NormalizePath(""), "\\");
    EXPECT_EQ(NormalizePath("..\\..\\a"), "\\a\\");
    for (const char* bad : {"\\Temp\\CON\\", "\\Temp\\con", "\\a?b\\", "\\x\\Lpt1", "\\a|b"})
        EXPECT_FALSE(IsValidName(bad)) << bad;
    EXPECT_TRUE(IsValidName("\\console\\a.b\\"));
    EXPECT_FALSE(IsValidName("\\" + std::string(256, 'a')));
    EXPECT_TRUE(IsValidName("\\" + std::string(255, 'a')));

    EXPECT_EQ(CheckRootFolder("/srv/My Documents/../Temp/./"), "/srv/Temp/");
    EXPECT_EQ(CheckRootFolder("/srv/Prn/x"), std::nullopt);
    EXPECT_EQ(CheckRootFolder("/srv/a?b"), std::nullopt);
    EXPECT_EQ(CheckRootFolder("/srv/back\\slash"), std::nullopt) << "a part cannot hold \\";
}

TEST(PageChecksTest, ProfileCutsCountUtf16UnitsAndKeepPairsWhole) {
    EXPECT_EQ(CutProfileName(std::string(40, 'n')), std::string(32, 'n'));
    EXPECT_EQ(CutProfilePassword("123456789"), "12345678");
    // Seven units and a surrogate pair: the pair does not fit in eight, so it goes whole.
    EXPECT_EQ(CutProfilePassword("1234567\xF0\x9F\x98\x80"), "1234567");
    EXPECT_EQ(TextUnits("\xC3\xA9t\xC3\xA9"), 3u);

    uint32_t rights = 99;
    ASSERT_TRUE(RightsFromLetters("rdow", rights));
    EXPECT_EQ(rights, RightsWrite | RightsOverwrite | RightsDelete | RightsRename);
    ASSERT_TRUE(RightsFromLetters("-", rights));
    EXPECT_EQ(rights, 0u);
    EXPECT_FALSE(RightsFromLetters("WX", rights));
    EXPECT_EQ(RightsLetters(RightsWrite | RightsDelete), "W-D-");
}

TEST(PageChecksTest, RuleDialogAndRuleLimit) {
    EXPECT_TRUE(IsAddressText("10.0.0.1"));
    EXPECT_TRUE(IsAddressText("255.255.255.255"));
    EXPECT_FALSE(IsAddressText("10.0.0"));
    EXPECT_TRUE(CanAddIpRule(127));
    EXPECT_FALSE(CanAddIpRule(128)) << "the 129th rule is refused";
}

TEST(PageChecksTest, CertificateFieldsFollowTheirRules) {
    EXPECT_TRUE(CertFieldPasses(CertField::Country, "U"));
    EXPECT_FALSE(CertFieldPasses(CertField::Country, "USA"));
    EXPECT_FALSE(CertFieldPasses(CertField::CommonName, " . .."));
    EXPECT_FALSE(CertFieldPasses(CertField::CommonName, ""));
    EXPECT_TRUE(CertFieldPasses(CertField::City, "")) << "an optional field may be empty";
    EXPECT_TRUE(CertFieldPasses(CertField::CommonName, std::string(64, 'c')));
    EXPECT_FALSE(CertFieldPasses(CertField::CommonName, std::string(65, 'c')));
    for (char c : std::string("/\\[];:|=,+*?<>{}"))
        EXPECT_FALSE(CertFieldPasses(CertField::Organization, std::string("a") + c)) << c;
    EXPECT_TRUE(CertFieldPasses(CertField::City, "Z\xC3\xBCrich"));

    CertificateRequest request;
    request.commonName = "ftp.example.org";
    EXPECT_FALSE(RequestPasses(request)) << "the state is required";
    request.state = "Ohio";
    EXPECT_TRUE(RequestPasses(request));
    EXPECT_EQ(request.country, "US");

    EXPECT_EQ(CertFieldMessage(CertField::Country),
              "Country code is invalid. This field has a maximum length of 2 characters. It "
              "cannot contain only spaces and periods, or any of the following characters: "
              "/\\[];:|=,+*?<>{}");
    EXPECT_TRUE(CertStepOnePasses("sub\\server", "pp", 365));
    EXPECT_FALSE(CertStepOnePasses("a*b", "pp", 365));
    EXPECT_FALSE(CertStepOnePasses("aux", "pp", 365));
    EXPECT_FALSE(CertStepOnePasses("server", "", 365));
    EXPECT_FALSE(CertStepOnePasses("server", "pp", 0));
}

TEST(SettingsCatalogTest, ValuesGoThroughTheChecksOfTheirSetting) {
    auto check = [](const char* name, const char* typed) {
        const SettingInfo* info = FindSetting(name);
        EXPECT_NE(info, nullptr) << name;
        return CheckSettingValue(*info, typed, "/home/me");
    };
    // The command line may set any pool up to the server's limit, and 0 (refuse everyone).
    SettingValue v = check("NetMaxConnection", "-3");
    EXPECT_TRUE(v.accepted);
    EXPECT_EQ(v.text, "0");
    EXPECT_EQ(v.note, "clamped from -3: the lowest is 0");
    EXPECT_EQ(check("NetMaxConnection", "0").note, "");
    EXPECT_EQ(check("NetMaxConnection", "5000").text, "5000");
    EXPECT_EQ(check("NetMaxConnection", "20000").note, "clamped from 20000: the highest is 10000");
    EXPECT_FALSE(check("NetMaxConnection", "many").accepted);
    EXPECT_EQ(check("NetTcpPort", "65535").text, "65534");
    EXPECT_FALSE(check("SysLoginAttempts", "3x").accepted);
    EXPECT_EQ(check("SysLoginAttempts", "0").text, "1");
    EXPECT_FALSE(check("SysDeflMemLevel", "0").accepted) << "the slider starts at 1";
    EXPECT_EQ(check("SysDeflWindowSize", "9").text, "9");
    EXPECT_FALSE(check("PowerSaveOpt", "3").accepted);
    EXPECT_FALSE(check("SysConsolePort", "70000").accepted) << "not silently cut to 16 bits";
    EXPECT_EQ(check("LogMask", "8791798054911").text, "8791798054911");
    EXPECT_FALSE(check("SysCmdTimeout", "99999999999").accepted);

    EXPECT_EQ(check("SSLState", "YES").text, "true");
    EXPECT_EQ(check("SSLState", "0").text, "false");
    EXPECT_FALSE(check("SSLState", "TRUE!").accepted);

    EXPECT_EQ(check("SysRootFolder", "pub/../share").text, "/home/me/share/");
    EXPECT_FALSE(check("SysRootFolder", "").accepted);
    EXPECT_FALSE(check("SysRootFolder", "/x/nul?").accepted);
    EXPECT_EQ(check("SSLCertFile", "certs/a.crt").text, "/home/me/certs/a.crt");
    EXPECT_EQ(check("SSLCertFile", "").text, "") << "empty: no file";
    EXPECT_FALSE(check("NetFixIPAddress", "host.example").accepted);
    EXPECT_TRUE(check("NetFixIPAddress", "").accepted) << "empty: the local address";
    EXPECT_FALSE(check("NetFixIPAddress", "2001:db8::1").accepted) << "PASV carries IPv4 only";
    // The bind address takes either family, IPv6 in its short form and without a prefix.
    EXPECT_EQ(check("NetIp", "::").text, "::");
    EXPECT_EQ(check("NetIp", "0:0:0:0:0:0:0:1").text, "::1");
    EXPECT_EQ(check("NetIp", "127.0.0.1").text, "127.0.0.1");
    EXPECT_EQ(check("NetIp", "::1/128").text,
              "\"::1/128\" is a prefix: give one address, such as ::");
    EXPECT_EQ(check("NetIp", "fe80::1%lo").text,
              "\"fe80::1%lo\" is not an IPv6 address such as 2001:db8::1");
    EXPECT_FALSE(check("NetIp", "host.example").accepted);
    // The trusted balancers: stored in one form, refused whole for one bad entry.
    EXPECT_EQ(check("NetProxyTrusted", " 10.0.0.1 ,10.1.0.0/16  2001:DB8::/32 ::1").text,
              "10.0.0.1, 10.1.0.0/16, 2001:db8::/32, ::1");
    EXPECT_EQ(check("NetProxyTrusted", "").text, "");
    EXPECT_EQ(check("NetProxyTrusted", "10.0.0.1, 10.0.0.0/33").text,
              "the prefix length in \"10.0.0.0/33\" must be a number from 0 to 32");
    EXPECT_EQ(check("NetProxyTrusted", "balancer.example").text,
              "\"balancer.example\" is not an address such as 192.0.2.10, 10.0.0.0/8 or "
              "2001:db8::/32");
    EXPECT_FALSE(check("SysName", "two\nlines").accepted);
    EXPECT_EQ(check("SysName", "  as typed ").text, "  as typed ");

    EXPECT_EQ(FindSetting("nettcpport"), nullptr) << "names are exact";
    std::vector<std::string> close = ClosestSettingNames("NetTcpprt");
    ASSERT_FALSE(close.empty());
    EXPECT_EQ(close[0], "NetTcpPort");
    EXPECT_EQ(ClosestSettingNames("nettcpport")[0], "NetTcpPort");
    EXPECT_TRUE(ClosestSettingNames("qqqqqqqqqqqq").empty());

    EXPECT_EQ(EffectiveDefault(*FindSetting("PasswordFile"), "/d", "/conf"),
              "/conf/QuenlowFTP.dat");
    EXPECT_EQ(EffectiveDefault(*FindSetting("SysDeflMemLevel"), "/d", "/c"), "2")
        << "the application default stands over the engine's";
    EXPECT_EQ(EffectiveDefault(*FindSetting("SysCmdTimeout"), "/d", "/c"), "5");
}
