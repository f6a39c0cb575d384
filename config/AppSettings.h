#pragma once
// The application's settings store: built-in defaults, the registry over them, and the
// accessors the application reads them through. The engine never reads this store; the
// controller takes a copy at every server start.

#include <string>
#include <utility>
#include <vector>

#include "config/SettingsCatalog.h"
#include "config/SettingsMap.h"

// Stores the engine default of every setting that has one, in table order.
void SetDefaultSettings(CSettingsMap& map);

class CAppSettings {
public:
    using Overrides = std::vector<std::pair<std::string, std::string>>;

    // Fills the store: engine defaults, application defaults (documents and config folders),
    // then the registry; "NetPortState" is always "true" afterwards. The registry file is
    // <config dir>/registry.reg, the config dir is created if missing. False only when the
    // config dir cannot be made.
    bool LoadSettings();

    // Values given for this run only (--set): in force at once, never written by a save. A
    // name that is no setting is left out; a line says so for each.
    std::vector<std::string> ApplyOverrides(const Overrides& overrides);
    // A line for each name in the registry that is no setting (a misspelt one is not read).
    std::vector<std::string> UnknownStoredNames() const;

    // Puts in place of every loaded value the pages would never store what the server uses
    // instead (FixStoredValue), for this run only: a save writes the fixed value only where it
    // came from the registry. One line per value, naming where it came from.
    std::vector<std::string> FixLoadedValues();

    std::string GetSetting(const std::string& name) const;
    int GetIntSetting(const std::string& name) const;
    bool GetBoolSetting(const std::string& name) const;  // exactly "true"
    void SetSetting(const std::string& name, const std::string& text);
    void SetIntSetting(const std::string& name, long value);
    void SetBoolSetting(const std::string& name, bool value);
    bool SaveSettings();
    // What SaveSettings writes: the store, less the values that are still this run's only.
    CSettingsMap ValuesToSave() const;

    CSettingsMap& Store() { return store_; }
    const CSettingsMap& Store() const { return store_; }

private:
    CSettingsMap store_;
    CSettingsMap overrides_;  // name -> the value given for this run
    CSettingsMap beneath_;    // name -> the value the override hid, where there was one
};
