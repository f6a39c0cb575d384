#include "config/SettingsRegistry.h"

#include "platform/RegistryFile.h"

using platform::Registry;

std::string SettingsKeyPath(const std::string& subKey) {
    return "HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\" + subKey;
}

bool LoadSettingsKey(const std::string& subKey, CSettingsMap& map) {
    Registry::Values values;
    if (!Registry::ReadKey(SettingsKeyPath(subKey), values)) return false;
    for (const auto& [name, text] : values) map.SetString(name, text);
    return true;
}

bool SaveSettingsKey(const std::string& subKey, const CSettingsMap& map) {
    return Registry::WriteStrings(SettingsKeyPath(subKey), map.Entries());
}

void DeleteSettingsSubKey(const std::string& name) {
    Registry::DeleteKeyTree(SettingsKeyPath(kSettingsKey) + "\\" + name);
}

bool ReplaceSubKeyAndSave(const std::string& name, const CSettingsMap& subKeyValues,
                          const CSettingsMap& settings) {
    std::string settingsPath = SettingsKeyPath(kSettingsKey);
    std::string subKeyPath = settingsPath + "\\" + name;
    return Registry::Update([&](platform::RegistryFile& file) {
        file.DeleteTree(subKeyPath);
        platform::RegistryFile::Key& sub = file.OpenOrCreateKey(subKeyPath);
        for (const auto& [value, text] : subKeyValues.Entries())
            platform::RegistryFile::SetString(sub, value, text);
        platform::RegistryFile::Key& key = file.OpenOrCreateKey(settingsPath);
        for (const auto& [value, text] : settings.Entries())
            platform::RegistryFile::SetString(key, value, text);
    });
}
