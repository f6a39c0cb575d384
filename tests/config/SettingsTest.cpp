#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "config/AppSettings.h"
#include "config/SettingsRegistry.h"
#include "platform/AtomicFile.h"
#include "platform/Folders.h"
#include "platform/RegistryFile.h"
#include "support/FileSizeLimit.h"
#include "support/TestTls.h"

using platform::Registry;

namespace {

class ConfigDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = testsupport::MakeTempDir("qftp-home");
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
        configDir = home + "/conf";
        platform::SetConfigDir(configDir);
        registryFile = configDir + "/registry.reg";
    }
    void TearDown() override { platform::SetConfigDir(""); }

    void WriteRegistry(const std::string& text) {
        platform::MakeFolders(configDir);
        std::ofstream(registryFile) << text;
    }
    std::string ReadRegistry() {
        std::string text;
        platform::ReadWholeFile(registryFile, text);
        return text;
    }

    std::string home, configDir, registryFile;
};

const char* kSettings = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Orv\\Quenlow FTP\\Settings]\n";

}  // namespace

TEST(SettingsMapTest, NamesAreExactAndIntegersParseTheirLeadingNumber) {
    CSettingsMap map;
    map.SetString("NetTcpPort", "2121");
    int value = -1;
    EXPECT_FALSE(map.GetInt("nettcpport", value));
    EXPECT_EQ(value, -1);
    EXPECT_TRUE(map.GetInt("NetTcpPort", value));
    EXPECT_EQ(value, 2121);

    map.SetString("Trailing", "  42abc");
    EXPECT_TRUE(map.GetInt("Trailing", value));
    EXPECT_EQ(value, 42);
    map.SetString("Letters", "abc");
    value = 7;
    EXPECT_TRUE(map.GetInt("Letters", value)) << "found, though no digits";
    EXPECT_EQ(value, 7);
    map.SetString("Negative", "-15x");
    EXPECT_TRUE(map.GetInt("Negative", value));
    EXPECT_EQ(value, -15);
    map.SetString("Huge", "99999999999");
    EXPECT_TRUE(map.GetInt("Huge", value));
    EXPECT_EQ(value, 2147483647);
}

TEST(SettingsMapTest, ComparisonsRemovalAndAssignment) {
    CSettingsMap a, b;
    EXPECT_TRUE(a.ContainsAll(b));
    a.SetString("x", "1");
    a.SetInt("y", 2);
    b.SetString("y", "2");
    EXPECT_TRUE(a.ContainsAll(b));
    EXPECT_FALSE(b.ContainsAll(a));
    EXPECT_FALSE(a.IsEqual(b));
    b.SetString("x", "1");
    EXPECT_TRUE(a.IsEqual(b));
    b.SetString("x", "01");
    EXPECT_FALSE(a.IsEqual(b)) << "texts compare exactly";

    CSettingsMap only;
    only.SetString("x", "whatever");
    a.RemoveKeys(only);
    EXPECT_FALSE(a.Contains("x"));
    EXPECT_TRUE(a.Contains("y"));
    a.Assign(b);
    EXPECT_TRUE(a.IsEqual(b));
    CSettingsMap extra;
    extra.SetString("z", "3");
    a.Merge(extra);
    EXPECT_EQ(a.Size(), 3u);
}

TEST(SettingsMapTest, EngineAndApplicationReadBooleansDifferently) {
    CAppSettings app;
    app.SetSetting("SysAnonState", "TRUE");
    EXPECT_FALSE(app.GetBoolSetting("SysAnonState"));
    EXPECT_TRUE(EngineBool(app.Store(), "SysAnonState"));
    EXPECT_FALSE(EngineBool(app.Store(), "Missing"));
    app.SetSetting("Count", "12 apples");
    EXPECT_EQ(app.GetIntSetting("Count"), 12);
    app.SetSetting("Count", "none");
    EXPECT_EQ(app.GetIntSetting("Count"), 0);
    EXPECT_EQ(EngineInt(app.Store(), "Absent"), 0);
}

TEST_F(ConfigDirTest, FreshConfigDirGivesEveryEffectiveDefault) {
    CAppSettings app;
    ASSERT_TRUE(app.LoadSettings());
    EXPECT_EQ(app.GetSetting("SysRootFolder"), home + "/Documents/");
    EXPECT_EQ(app.GetSetting("SysWelcomeMsg"), home + "/Documents/Welcome.txt");
    EXPECT_EQ(app.GetSetting("PasswordFile"), configDir + "/QuenlowFTP.dat");
    EXPECT_EQ(app.GetSetting("NetMaxConnection"), "16");
    EXPECT_EQ(app.GetSetting("SysDeflMemLevel"), "2");
    EXPECT_EQ(app.GetSetting("SysDeflateState"), "false");
    EXPECT_EQ(app.GetSetting("SysAnonState"), "true");
    EXPECT_EQ(app.GetSetting("SysWelcomeMsgState"), "true");
    EXPECT_EQ(app.GetSetting("NetPortState"), "true");
    EXPECT_EQ(app.GetSetting("SysConsolePort"), "1205");
    EXPECT_EQ(app.GetSetting("LogMask"), "8791798054911");
    EXPECT_EQ(app.GetSetting("PowerSaveOpt"), "0");
    EXPECT_EQ(app.GetSetting("AnonRename"), "true");
    EXPECT_EQ(app.GetSetting("SysAdminEmail"), kDefaultAdminEmail);
    EXPECT_EQ(app.GetSetting("SysMlstState"), "false");
    EXPECT_EQ(app.GetSetting("SysSessionLoops"), "0");
    EXPECT_EQ(app.GetSetting("SysPasswordHash"), "false");
    EXPECT_EQ(app.GetSetting("NetProxyProtocol"), "false");
    EXPECT_EQ(app.GetSetting("NetProxyTrusted"), "");
    EXPECT_EQ(app.GetSetting("NetMetricsPort"), "0");
    EXPECT_EQ(app.GetSetting("NetMetricsIp"), "127.0.0.1");
    EXPECT_EQ(app.Store().Size(), 74u);
    struct stat st {};
    ASSERT_EQ(::stat(configDir.c_str(), &st), 0);

    // The first save writes the whole store, defaults included.
    ASSERT_TRUE(app.SaveSettings());
    CSettingsMap saved;
    ASSERT_TRUE(LoadSettingsKey(kSettingsKey, saved));
    EXPECT_TRUE(saved.IsEqual(app.Store()));
    ASSERT_EQ(::stat(registryFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ConfigDirTest, DocumentsFolderFollowsUserDirs) {
    platform::MakeFolders(home + "/.config");
    std::ofstream(home + "/.config/user-dirs.dirs")
        << "# written by xdg-user-dirs-update\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n";
    EXPECT_EQ(platform::DocumentsFolder(), home + "/Dokumente");
    std::ofstream(home + "/.config/user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"$HOME/\"\n";
    EXPECT_EQ(platform::DocumentsFolder(), home + "/Documents") << "$HOME means not set";
}

TEST_F(ConfigDirTest, StoredValuesReplaceDefaultsAndOddValuesReadAsTheyShould) {
    WriteRegistry(std::string("REGEDIT4\n\n") + kSettings +
                  "\"NetTcpPort\"=\"2121\"\n"
                  "\"NetPortState\"=\"false\"\n"
                  "\"SysIdleTimeout\"=dword:0000001e\n"
                  "\"NetMaxConnection\"=hex:01,02,\\\n  03,04\n"
                  "\"MyOwnValue\"=\"kept\"\n");
    CAppSettings app;
    ASSERT_TRUE(app.LoadSettings());
    EXPECT_EQ(app.GetIntSetting("NetTcpPort"), 2121);
    EXPECT_EQ(app.GetSetting("NetPortState"), "true") << "always on after start-up";
    EXPECT_EQ(app.GetSetting("SysIdleTimeout"), "") << "a non-string value reads as empty";
    EXPECT_EQ(app.GetIntSetting("SysIdleTimeout"), 0);
    EXPECT_EQ(app.GetSetting("NetMaxConnection"), "");

    // Unknown values survive; a removed setting stays in the file; other types survive until
    // the program writes that setting itself.
    app.Store().Remove("NetTcpPort");
    app.SetIntSetting("SysIdleTimeout", 60);
    ASSERT_TRUE(app.SaveSettings());
    ASSERT_TRUE(app.SaveSettings()) << "a second save loses nothing";
    std::string text = ReadRegistry();
    EXPECT_NE(text.find("\"MyOwnValue\"=\"kept\""), std::string::npos);
    EXPECT_NE(text.find("\"NetTcpPort\"=\"2121\""), std::string::npos);
    EXPECT_NE(text.find("\"SysIdleTimeout\"=\"60\""), std::string::npos);
    EXPECT_NE(text.find("\"NetMaxConnection\"=\"\"\n"), std::string::npos);
}

TEST_F(ConfigDirTest, RegistryRoundTripKeepsEveryByte) {
    CAppSettings app;
    ASSERT_TRUE(app.LoadSettings());
    const std::string tricky[] = {
        "C:\\Program Files\\\"Quoted\"\\",
        "ünïcødé — 日本語 🎉",
        "\\\\server\\share\\\\",
        "ends with backslash\\",
        "\"",
        "tab\there; semicolon = equals [brackets]",
        "line\nbreak\r\nand \\n literally",
        "",
    };
    for (size_t i = 0; i < std::size(tricky); ++i)
        app.SetSetting("Tricky" + std::to_string(i), tricky[i]);
    ASSERT_TRUE(app.SaveSettings());
    CSettingsMap back;
    ASSERT_TRUE(LoadSettingsKey(kSettingsKey, back));
    for (size_t i = 0; i < std::size(tricky); ++i) {
        std::string text;
        ASSERT_TRUE(back.GetString("Tricky" + std::to_string(i), text));
        EXPECT_EQ(text, tricky[i]) << i;
    }
    EXPECT_TRUE(back.IsEqual(app.Store()));
}

TEST(RegistryTextTest, WrappedHexValuesReadTheSameBeforeAndAfterASave) {
    using platform::RegistryFile;
    auto values = [](const RegistryFile& file) {
        std::vector<std::string> out;
        for (const RegistryFile::Entry& e : file.keys.at(0).entries)
            out.push_back(e.name + "=" + (e.isString ? e.text : e.raw));
        return out;
    };
    const std::string texts[] = {
        // Spaced by hand, so not as a save writes it; the next line is a value of its own.
        "REGEDIT4\n\n[K]\n\"a\" = hex:00\\\n\"b\"=\"keep\"\n",
        // Wrapped over two lines, then a string whose name holds "=hex".
        "REGEDIT4\n\n[K]\n\"Blob\" = hex:01,\\\n  02\n\"x=hex\"=\"y\\\\\"\n",
        // A backslash before a blank line or the end of the file stays.
        "REGEDIT4\n\n[K]\n\"c\"=hex:03\\\n\n\"d\"=hex:04\\",
        // ... and a hex-looking line after that blank line stays a line of its own.
        "REGEDIT4\n\n[K]\n\"e\"=hex:05\\\n\n  06,07\n",
        // Line ends of CR CR LF.
        "REGEDIT4\r\n\r\n[K]\r\n\"f\"=hex:01,\\\r\r\n  02\r\n",
    };
    for (const std::string& text : texts) {
        RegistryFile first = RegistryFile::Parse(text, "r", nullptr);
        RegistryFile second = RegistryFile::Parse(first.Format(), "r", nullptr);
        EXPECT_EQ(values(first), values(second)) << text;
    }
    EXPECT_EQ(values(RegistryFile::Parse(texts[0], "r", nullptr)),
              (std::vector<std::string>{"a=hex:00\\", "b=keep"}));
    EXPECT_EQ(values(RegistryFile::Parse(texts[1], "r", nullptr)),
              (std::vector<std::string>{"Blob=hex:01,02", "x=hex=y\\"}));
    EXPECT_EQ(values(RegistryFile::Parse(texts[4], "r", nullptr)),
              (std::vector<std::string>{"f=hex:01,02"}));
}

TEST_F(ConfigDirTest, UnreadableLinesAreReportedKeptAndNeverDropped) {
    WriteRegistry(std::string("REGEDIT4\n\n; a comment of the owner\n") + kSettings +
                  "\"NetTcpPort\"=\"2121\"\n"
                  "this line is nonsense\n"
                  "\"SysName\"=\"unterminated\n"
                  "\"SysAdminEmail\"=\"me@example.org\"\n");
    testing::internal::CaptureStderr();
    CAppSettings app;
    ASSERT_TRUE(app.LoadSettings());
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find(registryFile + ":6:"), std::string::npos) << errors;
    EXPECT_NE(errors.find(registryFile + ":7:"), std::string::npos) << errors;
    EXPECT_EQ(app.GetIntSetting("NetTcpPort"), 2121);
    EXPECT_EQ(app.GetSetting("SysName"), "") << "what could not be read keeps its default";
    EXPECT_EQ(app.GetSetting("SysAdminEmail"), "me@example.org");

    ASSERT_TRUE(app.SaveSettings());
    std::string text = ReadRegistry();
    EXPECT_NE(text.find("\nthis line is nonsense\n"), std::string::npos);
    EXPECT_NE(text.find("\n\"SysName\"=\"unterminated\n"), std::string::npos);
    EXPECT_NE(text.find("; a comment of the owner\n"), std::string::npos);
    // The kept lines are reported once, not at every read.
    testing::internal::CaptureStderr();
    CSettingsMap again;
    LoadSettingsKey(kSettingsKey, again);
    LoadSettingsKey(kSettingsKey, again);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("not understood"), std::string::npos);
}

TEST_F(ConfigDirTest, FailedSaveKeepsTheOldFile) {
    CAppSettings app;
    ASSERT_TRUE(app.LoadSettings());
    ASSERT_TRUE(app.SaveSettings());
    std::string before = ReadRegistry();
    app.SetSetting("SysName", "changed");
    {
        FileSizeLimit full(64);
        EXPECT_FALSE(app.SaveSettings());
    }
    EXPECT_EQ(ReadRegistry(), before);
}

TEST_F(ConfigDirTest, SubKeysAreDeletedWithEverythingBelowThem) {
    WriteRegistry(
        std::string("REGEDIT4\n\n") + kSettings + "\"A\"=\"1\"\n\n" +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Orv\\Quenlow FTP\\Settings\\NetRules]\n"
        "\"Ip0000\"=\"1.2.3.4\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Orv\\Quenlow FTP\\Settings\\netrules\\Deeper]\n"
        "\"X\"=\"y\"\n");
    platform::Registry::SetFile(registryFile);
    DeleteSettingsSubKey("NetRules");
    std::string text = ReadRegistry();
    EXPECT_EQ(text.find("NetRules"), std::string::npos);
    EXPECT_EQ(text.find("Deeper"), std::string::npos);
    EXPECT_NE(text.find("\"A\"=\"1\""), std::string::npos);
}

TEST_F(ConfigDirTest, ValuesThePagesWouldNeverStoreAreFixedForTheRunAndSaid) {
    WriteRegistry(std::string("REGEDIT4\n\n") + kSettings +
                  "\"NetMaxConnection\"=\"100000\"\n"
                  "\"NetTcpPort\"=\"65535\"\n"
                  "\"SysLoginAttempts\"=\"0\"\n"
                  "\"SysIdleTimeout\"=\"90 seconds\"\n"
                  "\"SysAnonState\"=\"maybe\"\n"
                  "\"SysCmdTimeout\"=\"5\"\n");
    CAppSettings app;
    ASSERT_TRUE(app.LoadSettings());
    app.ApplyOverrides({{"SysDeflMemLevel", "12"}, {"NetLoginsPerIp", "-5"}});
    std::vector<std::string> lines = app.FixLoadedValues();
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "registry.reg: SysIdleTimeout=\"90 seconds\" is not a whole number; it "
                         "is read as 90",
                         "registry.reg: SysLoginAttempts=\"0\" is out of range; 1 (the lowest) "
                         "is used",
                         "registry.reg: SysAnonState=\"maybe\" is neither true nor false, so it "
                         "reads as false",
                         "--set SysDeflMemLevel=\"12\" is out of range; 9 (the highest) is used",
                         "registry.reg: NetTcpPort=\"65535\" is out of range; 65534 (the "
                         "highest) is used",
                         "registry.reg: NetMaxConnection=\"100000\" is out of range; 10000 "
                         "(the highest) is used",
                         "--set NetLoginsPerIp=\"-5\" is out of range; 1 (the lowest) is used"}));
    EXPECT_EQ(app.GetSetting("NetMaxConnection"), "10000");
    EXPECT_EQ(app.GetSetting("SysAnonState"), "maybe") << "kept as it is";
    EXPECT_FALSE(app.GetBoolSetting("SysAnonState"));
    EXPECT_EQ(app.GetSetting("SysCmdTimeout"), "5");
    EXPECT_EQ(app.FixLoadedValues().size(), 1u) << "only the boolean kept as it was is said again";
    // A fixed override is still this run's only.
    ASSERT_TRUE(app.SaveSettings());
    std::string text = ReadRegistry();
    EXPECT_NE(text.find("\"SysDeflMemLevel\"=\"2\""), std::string::npos);
    EXPECT_NE(text.find("\"NetLoginsPerIp\"=\"4\""), std::string::npos);
    EXPECT_NE(text.find("\"SysAnonState\"=\"maybe\""), std::string::npos);
}

TEST_F(ConfigDirTest, NamesThatAreNoSettingAreSaidAndNotUsed) {
    WriteRegistry(std::string("REGEDIT4\n\n") + kSettings + "\"NetTcpPrt\"=\"2121\"\n" +
                  "\"Frobnicate\"=\"yes\"\n");
    CAppSettings app;
    ASSERT_TRUE(app.LoadSettings());
    std::vector<std::string> lines =
        app.ApplyOverrides({{"SysIdleTimout", "30"}, {"NetTcpPort", "2999"}});
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "--set SysIdleTimout=\"30\" is ignored: there is no setting named "
                         "\"SysIdleTimout\"; did you mean SysIdleTimeout?"}));
    EXPECT_EQ(app.GetSetting("SysIdleTimout"), "");
    EXPECT_EQ(app.GetSetting("SysIdleTimeout"), "300");
    EXPECT_EQ(app.GetSetting("NetTcpPort"), "2999");
    EXPECT_EQ(app.UnknownStoredNames(),
              (std::vector<std::string>{
                  "registry.reg: \"NetTcpPrt\"=\"2121\" is not read: there is no setting named "
                  "\"NetTcpPrt\"; did you mean NetTcpPort?",
                  "registry.reg: \"Frobnicate\"=\"yes\" is not read: there is no setting named "
                  "\"Frobnicate\""}));
}

TEST_F(ConfigDirTest, OverridesHoldForThisRunOnly) {
    WriteRegistry(std::string("REGEDIT4\n\n") + kSettings + "\"NetTcpPort\"=\"2121\"\n");
    CAppSettings app;
    ASSERT_TRUE(app.LoadSettings());
    app.ApplyOverrides({{"NetTcpPort", "2999"}, {"SysName", "Test Server"}});
    EXPECT_EQ(app.GetIntSetting("NetTcpPort"), 2999);
    EXPECT_EQ(app.GetSetting("SysName"), "Test Server");
    app.SetSetting("SysAdminEmail", "changed@example.org");
    ASSERT_TRUE(app.SaveSettings());
    std::string text = ReadRegistry();
    EXPECT_NE(text.find("\"NetTcpPort\"=\"2121\""), std::string::npos);
    EXPECT_NE(text.find("\"SysName\"=\"\""), std::string::npos);
    EXPECT_NE(text.find("\"SysAdminEmail\"=\"changed@example.org\""), std::string::npos);
    // A setting changed during the run is saved even if --set named it.
    app.SetSetting("NetTcpPort", "2100");
    ASSERT_TRUE(app.SaveSettings());
    EXPECT_NE(ReadRegistry().find("\"NetTcpPort\"=\"2100\""), std::string::npos);
}
