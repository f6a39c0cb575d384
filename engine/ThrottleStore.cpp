#include "engine/ThrottleStore.h"

#include <cstdio>

#include "config/SettingsRegistry.h"
#include "net/ThrottleSchedule.h"
#include "platform/RegistryFile.h"

namespace {
const std::string kThrottleKey = std::string(kSettingsKey) + "\\Throttle";

constexpr long long kMostStoredZones = 24;

std::string DayKey(int day) {
    char name[16];
    std::snprintf(name, sizeof name, "\\Day%02d", day);
    return kThrottleKey + name;
}

std::string ZoneKey(int day, int zone) {
    char name[32];
    std::snprintf(name, sizeof name, "\\Day%02d\\Zone%02d", day, zone);
    return kThrottleKey + name;
}

// A whole decimal number, or nothing.
bool ParseWhole(const std::string& text, long long& value) {
    if (text.empty()) return false;
    size_t used = 0;
    try {
        value = std::stoll(text, &used);
    } catch (const std::exception&) {
        return false;
    }
    return used == text.size();
}
}  // namespace

bool LoadThrottleSchedule(CFtpThrottleData& schedule) {
    CSettingsMap top;
    if (!LoadSettingsKey(kThrottleKey, top)) return false;
    CFtpThrottleData loaded = schedule;
    std::string state, text;
    long long number = 0;
    if (top.GetString("State", state)) {
        if (state != "true" && state != "false") return false;
        loaded.enabled = state == "true" ? 1 : 0;
    }
    if (top.GetString("Version", text) && !text.empty()) {
        if (!ParseWhole(text, number)) return false;
        loaded.version = static_cast<uint32_t>(number);
    }
    if (top.GetString("Timestamp", text) && !text.empty()) {
        if (!ParseWhole(text, number)) return false;
        loaded.time = static_cast<platform::Time32>(number);
    }
    for (int day = 0; day < CFtpThrottleData::kDays; ++day) {
        ZoneList& zones = loaded.days[static_cast<size_t>(day)];
        // "Zones" gives a day's own zone count; without it a day has the default four.
        CSettingsMap dayValues;
        if (LoadSettingsKey(DayKey(day), dayValues) && dayValues.GetString("Zones", text) &&
            !text.empty()) {
            if (!ParseWhole(text, number) || number < 0 || number > kMostStoredZones) return false;
            zones.resize(static_cast<size_t>(number));
        }
        for (int zone = 0; zone < static_cast<int>(zones.size()); ++zone) {
            CSettingsMap values;
            if (!LoadSettingsKey(ZoneKey(day, zone), values)) continue;  // keeps its default
            if (values.GetString("StartTime", text) && !text.empty()) {
                if (!ParseWhole(text, number)) return false;
                loaded.SetZoneStart(day, zone, static_cast<platform::Time32>(number));
            }
            if (values.GetString("MaxSpeed", text) && !text.empty()) {
                if (!ParseWhole(text, number)) return false;
                loaded.SetZoneSpeed(day, zone, number);
            }
        }
    }
    loaded.password.clear();
    schedule = loaded;
    return true;
}

bool SaveThrottleSchedule(const CFtpThrottleData& schedule) {
    std::vector<std::pair<std::string, platform::Registry::Values>> keys;
    keys.push_back({SettingsKeyPath(kThrottleKey),
                    {{"State", schedule.enabled == 1 ? "true" : "false"},
                     {"Version", std::to_string(schedule.version)},
                     {"DefaultSpeed", std::to_string(CFtpThrottleData::kDefaultSpeed)},
                     {"Timestamp", std::to_string(schedule.time)}}});
    for (int day = 0; day < CFtpThrottleData::kDays; ++day) {
        const ZoneList& zones = schedule.days[static_cast<size_t>(day)];
        keys.push_back({SettingsKeyPath(DayKey(day)), {{"Zones", std::to_string(zones.size())}}});
        for (size_t zone = 0; zone < zones.size(); ++zone) {
            const ThrottleZone& z = zones[zone];
            keys.push_back({SettingsKeyPath(ZoneKey(day, static_cast<int>(zone))),
                            {{"StartTime", std::to_string(z.start)},
                             {"MaxSpeed", std::to_string(z.maxSpeed)}}});
        }
    }
    return platform::Registry::WriteKeys(keys);
}

bool RestoreThrottleSchedule() {
    CFtpThrottleData schedule;
    if (!LoadThrottleSchedule(schedule)) return false;
    ReplaceThrottleSchedule(schedule);
    return true;
}
