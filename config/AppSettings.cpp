#include "config/AppSettings.h"

#include "config/SettingsCatalog.h"
#include "config/SettingsRegistry.h"
#include "platform/Folders.h"
#include "platform/RegistryFile.h"

void SetDefaultSettings(CSettingsMap& map) {
    for (const SettingInfo& info : KnownSettings())
        if (info.engineDefault) map.SetString(info.name, info.engineDefault);
}

bool CAppSettings::LoadSettings() {
    store_.Assign(CSettingsMap());
    overrides_.Assign(CSettingsMap());
    beneath_.Assign(CSettingsMap());
    SetDefaultSettings(store_);
    std::string documents = platform::DocumentsFolder();
    std::string configDir = platform::ConfigDir();
    for (const SettingInfo& info : KnownSettings())
        if (info.applicationDefault)
            store_.SetString(info.name, *EffectiveDefault(info, documents, configDir));
    if (!platform::MakeFolders(configDir)) return false;
    platform::Registry::SetFile(configDir + "/registry.reg");
    LoadSettingsKey(kSettingsKey, store_);  // a missing key leaves the defaults standing
    store_.SetString("NetPortState", "true");
    return true;
}

std::vector<std::string> CAppSettings::ApplyOverrides(const Overrides& overrides) {
    std::vector<std::string> unknown;
    for (const auto& [name, text] : overrides) {
        if (!FindSetting(name)) {
            unknown.push_back("--set " + name + "=\"" + text +
                              "\" is ignored: " + NoSuchSettingText(name));
            continue;
        }
        std::string old;
        if (!overrides_.Contains(name) && store_.GetString(name, old))
            beneath_.SetString(name, old);
        overrides_.SetString(name, text);
        store_.SetString(name, text);
    }
    return unknown;
}

std::vector<std::string> CAppSettings::UnknownStoredNames() const {
    std::vector<std::string> lines;
    for (const auto& [name, text] : store_.Entries())
        if (!FindSetting(name) && !overrides_.Contains(name))
            lines.push_back("registry.reg: \"" + name + "\"=\"" + text +
                            "\" is not read: " + NoSuchSettingText(name));
    return lines;
}

std::vector<std::string> CAppSettings::FixLoadedValues() {
    std::vector<std::string> lines;
    for (const SettingInfo& info : KnownSettings()) {
        std::string stored;
        if (!store_.GetString(info.name, stored)) continue;
        std::optional<StoredValueFix> fix = FixStoredValue(info, stored);
        if (!fix) continue;
        bool given = overrides_.Contains(info.name);
        lines.push_back(std::string(given ? "--set " : "registry.reg: ") + info.name + "=\"" +
                        stored + "\" " + fix->why);
        store_.SetString(info.name, fix->value);
        // An override stays this run's only, whatever it was fixed to.
        if (given) overrides_.SetString(info.name, fix->value);
    }
    return lines;
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
    return SaveSettingsKey(kSettingsKey, ValuesToSave());
}

CSettingsMap CAppSettings::ValuesToSave() const {
    if (overrides_.Size() == 0) return store_;
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
    return toSave;
}
