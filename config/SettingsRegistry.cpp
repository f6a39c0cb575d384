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
