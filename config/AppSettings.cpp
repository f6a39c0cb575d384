#include "config/AppSettings.h"

#include "config/SettingsRegistry.h"
#include "platform/RegistryFile.h"
#include "platform/SpecialFolders.h"

void SetDefaultSettings(CSettingsMap& map) {
    map.SetString("LogState", "true");
    map.SetString("LogInfoMsg", "false");
    map.SetString("LogWarnMsg", "true");
    map.SetString("LogErrorMsg", "true");
    map.SetString("LogMask", "8791798054911");  // 0x7FEFFFFFFFF
    map.SetString("SysName", "");
    map.SetString("SysAdminEmail", kDefaultAdminEmail);
    map.SetInt("SysIdleTimeout", 300);
    map.SetInt("SysLoginAttempts", 3);
    map.SetInt("SysCmdTimeout", 5);
    map.SetString("SysVersion", "");
    map.SetString("SysWelcomeMsgState", "false");
    map.SetString("SysWelcomeMsg", "");
    map.SetString("SysCwdMsgState", "true");
    map.SetString("SysDbName", ".");
    map.SetString("SysAnonState", "false");
    map.SetString("SysAnonUser", "");
    map.SetString("SysAnonPasswd", "");
    map.SetString("SysAnonPerm", "0");
    map.SetString("SysConsoleState", "false");
    map.SetString("SysConsolePort", "1205");
    map.SetString("SysConsolePass", "");
    map.SetString("SysConsoleAuthPeer", "false");
    map.SetString("SysDeflateState", "true");
    map.SetInt("SysDeflComprLevel", 7);
    map.SetInt("SysDeflMemLevel", 8);
    map.SetInt("SysDeflWindowSize", 15);
    map.SetString("SysReqSSLLogin", "false");
    map.SetString("SysFsMapHome", "false");
    map.SetString("SysFsCount", "0");
    map.SetString("SSLState", "false");
    map.SetString("SSLCaFile", "");
    map.SetString("SSLCaPath", "");
    map.SetString("SSLCertFile", "");
    map.SetString("SSLKeyFile", "");
    map.SetString("SSLAuthClient", "false");
    map.SetString("SSLPassPhrase", "");
    map.SetString("SSLCASerialNum", "1");
    map.SetString("SSLVerifyCert", "false");
    map.SetString("NetTcpPortState", "true");
    map.SetInt("NetTcpPort", 21);
    map.SetString("NetSslPortState", "true");
    map.SetInt("NetSslPort", 990);
    map.SetString("NetIp", "0.0.0.0");
    map.SetString("NetAdapter", "");
    map.SetInt("NetMaxConnection", 64);
    map.SetInt("NetLoginsPerIp", 4);
    map.SetString("NetForceIp", "true");
    map.SetString("NetPortState", "false");
    map.SetString("NetPolicy", "true");
    map.SetString("NetRuleCount", "0");
    map.SetInt("NetPortLow", 5000);
    map.SetInt("NetPortHigh", 6000);
    map.SetString("NetFixIPState", "false");
    map.SetString("NetFixIPAddress", "0.0.0.0");
}

namespace {
// What the application stores over the engine defaults, in table order.
void SetApplicationDefaults(CSettingsMap& map, const std::string& documents,
                            const std::string& systemFolder) {
    map.SetString("SysAdminEmail", kDefaultAdminEmail);
    map.SetInt("SysIdleTimeout", 300);
    map.SetInt("SysLoginAttempts", 3);
    map.SetString("SysWelcomeMsgState", "true");
    map.SetString("SysWelcomeMsg", documents + "/Welcome.txt");
    map.SetString("SysAnonState", "true");
    map.SetString("SysDeflateState", "false");
    map.SetInt("SysDeflComprLevel", 7);
    map.SetInt("SysDeflMemLevel", 2);
    map.SetInt("SysDeflWindowSize", 15);
    map.SetString("SysRootFolder", documents + "/");
    map.SetInt("PowerSaveOpt", 0);
    map.SetString("PasswordFile", systemFolder + "/QuenlowFTP.dat");
    map.SetString("AnonWrite", "true");
    map.SetString("AnonOverwrite", "true");
    map.SetString("AnonDelete", "true");
    map.SetString("AnonRename", "true");
    map.SetString("SSLState", "false");
    map.SetString("SSLCaFile", "");
    map.SetString("SSLCaPath", "");
    map.SetString("SSLCertFile", "");
    map.SetString("SSLKeyFile", "");
    map.SetString("SSLAuthClient", "false");
    map.SetString("SSLPassPhrase", "");
    map.SetInt("NetTcpPort", 21);
    map.SetInt("NetMaxConnection", 16);
    map.SetString("NetPolicy", "true");
    map.SetString("NetRuleCount", "0");
    map.SetString("NetFixIPState", "false");
    map.SetString("NetFixIPAddress", "0.0.0.0");
}
}  // namespace

bool CAppSettings::LoadSettings() {
    store_.Assign(CSettingsMap());
    overrides_.Assign(CSettingsMap());
    beneath_.Assign(CSettingsMap());
    SetDefaultSettings(store_);
    std::string documents = platform::DocumentsFolder();
    store_.SetString("SysRootFolder", documents + "/");
    store_.SetString("SysWelcomeMsg", documents + "/Welcome.txt");
    std::string configDir = platform::ConfigDir();
    SetApplicationDefaults(store_, documents, configDir);
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
