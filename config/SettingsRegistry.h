#pragma once
// The settings' registry form: one string value per setting under
// HKEY_LOCAL_MACHINE\SOFTWARE\Apps\<sub-key>.

#include <string>

#include "config/SettingsMap.h"

inline constexpr const char* kSettingsKey = "Orv\\Quenlow FTP\\Settings";
inline constexpr const char* kNetRulesKey = "Orv\\Quenlow FTP\\Settings\\NetRules";

// The full registry path of a sub-key given relative to \SOFTWARE\Apps\.
std::string SettingsKeyPath(const std::string& subKey);

// Every value of the key into the map (values of other types as ""); false if the key cannot
// be read, with what was read kept.
bool LoadSettingsKey(const std::string& subKey, CSettingsMap& map);
// Every entry of the map as a string value; values of the key not in the map stay.
bool SaveSettingsKey(const std::string& subKey, const CSettingsMap& map);
// Deletes the sub-key of that name below the settings key, with everything below it.
void DeleteSettingsSubKey(const std::string& name);
// In one write: the sub-key of that name below the settings key is replaced by the given
// values (everything below it goes), and the settings are saved. Nothing changes on failure.
bool ReplaceSubKeyAndSave(const std::string& name, const CSettingsMap& subKeyValues,
                          const CSettingsMap& settings);
