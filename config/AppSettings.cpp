#include "config/AppSettings.h"

#include "config/SettingsRegistry.h"
#include "platform/RegistryFile.h"
#include "platform/Folders.h"

namespace {
// Every setting in table order: its engine default and the default the application stores
// over it (null: none). "{documents}" and "{system}" stand for those folders.
struct SettingDefault {
    const char* name;
    const char* engine;
    const char* application;
};

constexpr SettingDefault kDefaults[] = {
    {"LogState", "true", nullptr},
    {"LogInfoMsg", "false", nullptr},
    {"LogWarnMsg", "true", nullptr},
    {"LogErrorMsg", "true", nullptr},
    {"LogMask", "8791798054911", nullptr},  // 0x7FEFFFFFFFF
    {"SysName", "", nullptr},
    {"SysAdminEmail", kDefaultAdminEmail, kDefaultAdminEmail},
    {"SysIdleTimeout", "300", "300"},
    {"SysLoginAttempts", "3", "3"},
    {"SysCmdTimeout", "5", nullptr},
    {"SysVersion", "", nullptr},
    {"SysWelcomeMsgState", "false", "true"},
    {"SysWelcomeMsg", "", "{documents}/Welcome.txt"},
    {"SysCwdMsgState", "true", nullptr},
    {"SysDbName", ".", nullptr},
    {"SysAnonState", "false", "true"},
    {"SysAnonUser", "", nullptr},
    {"SysAnonPasswd", "", nullptr},
    {"SysAnonPerm", "0", nullptr},
    {"SysConsoleState", "false", nullptr},
    {"SysConsolePort", "1205", nullptr},
    {"SysConsolePass", "", nullptr},
    {"SysConsoleAuthPeer", "false", nullptr},
    {"SysDeflateState", "true", "false"},
    {"SysDeflComprLevel", "7", "7"},
    {"SysDeflMemLevel", "8", "2"},
    {"SysDeflWindowSize", "15", "15"},
    {"SysReqSSLLogin", "false", nullptr},
    {"SysFsMapHome", "false", nullptr},
    {"SysFsCount", "0", nullptr},
    {"SysRootFolder", nullptr, "{documents}/"},
    {"PowerSaveOpt", nullptr, "0"},
    {"PasswordFile", nullptr, "{system}/QuenlowFTP.dat"},
    {"AnonWrite", nullptr, "true"},
    {"AnonOverwrite", nullptr, "true"},
    {"AnonDelete", nullptr, "true"},
    {"AnonRename", nullptr, "true"},
    {"SSLState", "false", "false"},
    {"SSLCaFile", "", ""},
    {"SSLCaPath", "", ""},
    {"SSLCertFile", "", ""},
    {"SSLKeyFile", "", ""},
    {"SSLAuthClient", "false", "false"},
    {"SSLPassPhrase", "", ""},
    {"SSLCASerialNum", "1", nullptr},
    {"SSLVerifyCert", "false", nullptr},
    {"NetTcpPortState", "true", nullptr},
    {"NetTcpPort", "21", "21"},
    {"NetSslPortState", "true", nullptr},
    {"NetSslPort", "990", nullptr},
    {"NetIp", "0.0.0.0", nullptr},
    {"NetAdapter", "", nullptr},
    {"NetMaxConnection", "64", "16"},
    {"NetLoginsPerIp", "4", nullptr},
    {"NetForceIp", "true", nullptr},
    {"NetPortState", "false", nullptr},  // forced "true" after loading
    {"NetPolicy", "true", "true"},
    {"NetRuleCount", "0", "0"},
    {"NetPortLow", "5000", nullptr},
    {"NetPortHigh", "6000", nullptr},
    {"NetFixIPState", "false", "false"},
    {"NetFixIPAddress", "0.0.0.0", "0.0.0.0"},
};

std::string Expand(std::string text, const std::string& documents, const std::string& system) {
    for (auto [mark, value] : {std::pair<std::string, const std::string&>{"{documents}", documents},
                               {"{system}", system}}) {
        size_t at = text.find(mark);
        if (at != std::string::npos) text.replace(at, mark.size(), value);
    }
    return text;
}
}  // namespace

void SetDefaultSettings(CSettingsMap& map) {
    for (const SettingDefault& d : kDefaults)
        if (d.engine) map.SetString(d.name, d.engine);
}

bool CAppSettings::LoadSettings() {
    store_.Assign(CSettingsMap());
    overrides_.Assign(CSettingsMap());
    beneath_.Assign(CSettingsMap());
    SetDefaultSettings(store_);
    std::string documents = platform::DocumentsFolder();
    store_.SetString("SysRootFolder", documents + "/");
    store_.SetString("SysWelcomeMsg", documents + "/Welcome.txt");
    std::string configDir = platform::ConfigDir();
    for (const SettingDefault& d : kDefaults)
        if (d.application) store_.SetString(d.name, Expand(d.application, documents, configDir));
    if (!platform::MakeFolders(configDir)) return false;
    platform::Registry::SetFile(configDir + "/registry.reg");
    LoadSettingsKey(kSettingsKey, store_);  // a missing key leaves the defaults standing
    store_.SetString("NetPortState", "true");
    return true;
}

void CAppSettings::ApplyOverrides(const Overrides& overrides) {
    for (const auto& [name, text] : overrides) {
        std::string old;
        if (!overrides_.Contains(name) && store_.GetString(name, old))
            beneath_.SetString(name, old);
        overrides_.SetString(name, text);
        store_.SetString(name, text);
    }
}

std::string CAppSettings::GetSetting(const std::string& name) const {
    std::string text;
    store_.GetString(name, text);
    return text;
}

int CAppSettings::GetIntSetting(const std::string& name) const {
    int value = 0;
    ParseLeadingInt(GetSetting(name), value);
    return value;
}

bool CAppSettings::GetBoolSetting(const std::string& name) const {
    return GetSetting(name) == "true";
}

void CAppSettings::SetSetting(const std::string& name, const std::string& text) {
    store_.SetString(name, text);
}

void CAppSettings::SetIntSetting(const std::string& name, long value) {
    store_.SetInt(name, value);
}

void CAppSettings::SetBoolSetting(const std::string& name, bool value) {
    store_.SetString(name, value ? "true" : "false");
}

bool CAppSettings::SaveSettings() {
    if (overrides_.Size() == 0) return SaveSettingsKey(kSettingsKey, store_);
    // A value still as --set gave it is this run's only: save what it hid, or nothing.
    CSettingsMap toSave;
    for (const auto& [name, text] : store_.Entries()) {
        std::string given, hidden;
        if (overrides_.GetString(name, given) && given == text) {
            if (beneath_.GetString(name, hidden)) toSave.SetString(name, hidden);
        } else {
            toSave.SetString(name, text);
        }
    }
    return SaveSettingsKey(kSettingsKey, toSave);
}
