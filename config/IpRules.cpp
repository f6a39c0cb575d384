#include "config/IpRules.h"

#include <cstdio>

#include "config/AppSettings.h"
#include "config/SettingsRegistry.h"
#include "platform/Snapshot.h"

bool ParseAddress(const std::string& text, uint32_t& value) {
    int dots = 0;
    char previous = '.';  // a dot at the start counts as one after a dot
    for (char c : text) {
        if (c == '.') {
            if (previous == '.') return false;
            ++dots;
        } else if (c < '0' || c > '9') {
            return false;
        }
        previous = c;
    }
    if (dots != 3 || previous == '.') return false;
    uint32_t result = 0, part = 0;
    for (char c : text) {
        if (c == '.') {
            result = (result << 8) | part;
            part = 0;
        } else {
            part = (part * 10 + static_cast<uint32_t>(c - '0')) & 0xFF;  // the low 8 bits
        }
    }
    value = (result << 8) | part;
    return true;
}

bool IsAddressText(const std::string& text) {
    if (text.empty()) return false;
    int dots = 0;
    for (char c : text) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    }
    return dots == 3;
}

namespace {
platform::Snapshot<CIpRuleTable>& EngineTable() {
    static platform::Snapshot<CIpRuleTable> table;
    return table;
}
}  // namespace

std::shared_ptr<const CIpRuleTable> CIpRuleTable::Engine() {
    return EngineTable().Get();
}

void CIpRuleTable::Publish(CIpRuleTable table) {
    EngineTable().Set(std::move(table));
}

bool CIpRuleTable::Append(const std::string& address, const std::string& mask) {
    IpRule rule{};
    if (!ParseAddress(address, rule.address) || !ParseAddress(mask, rule.mask)) return false;
    rules_.push_back(rule);
    return true;
}

bool CIpRuleTable::Check(const std::string& address) const {
    uint32_t value;
    if (!ParseAddress(address, value)) return false;
    for (const IpRule& rule : rules_)
        if ((rule.mask & (value ^ rule.address)) == 0) return !accept_;
    return accept_;
}

bool CheckAddress(const std::string& address) {
    return CIpRuleTable::Engine()->Check(address);
}

std::string RuleAddressName(int index) {
    char name[16];
    std::snprintf(name, sizeof name, "Ip%04d", index);
    return name;
}

std::string RuleMaskName(int index) {
    char name[16];
    std::snprintf(name, sizeof name, "Mask%04d", index);
    return name;
}

bool ReadIpRules(const CAppSettings& settings, CSettingsMap& rules) {
    int count = settings.GetIntSetting("NetRuleCount");
    for (int i = 0; i < count; ++i) {
        rules.SetString(RuleAddressName(i), "0.0.0.0");
        rules.SetString(RuleMaskName(i), "0.0.0.0");
    }
    return LoadSettingsKey(kNetRulesKey, rules);
}

std::vector<StoredIpRule> ReadStoredIpRules(const CAppSettings& settings) {
    CSettingsMap stored;
    ReadIpRules(settings, stored);  // a rule the key lacks stays 0.0.0.0/0.0.0.0: matches all
    std::vector<StoredIpRule> rules;
    int count = settings.GetIntSetting("NetRuleCount");
    for (int i = 0; i < count; ++i) {
        StoredIpRule rule;
        stored.GetString(RuleAddressName(i), rule.address);
        stored.GetString(RuleMaskName(i), rule.mask);
        rules.push_back(rule);
    }
    return rules;
}

bool SaveStoredIpRules(CAppSettings& settings, const std::vector<StoredIpRule>& rules) {
    CSettingsMap map;
    for (size_t i = 0; i < rules.size(); ++i) {
        map.SetString(RuleAddressName(static_cast<int>(i)), rules[i].address);
        map.SetString(RuleMaskName(static_cast<int>(i)), rules[i].mask);
    }
    return SaveIpRules(settings, map, static_cast<int>(rules.size()));
}

void LoadIpRules(const CAppSettings& settings) {
    CIpRuleTable table;
    for (const StoredIpRule& rule : ReadStoredIpRules(settings))
        table.Append(rule.address, rule.mask);
    table.SetPolicy(settings.GetBoolSetting("NetPolicy"));
    CIpRuleTable::Publish(std::move(table));
}

bool SaveIpRules(CAppSettings& settings, const CSettingsMap& rules, int count) {
    // The old rules, the new ones and their count change in one write: a failure leaves the
    // stored rules and "NetRuleCount" as they were.
    std::string oldCount = settings.GetSetting("NetRuleCount");
    settings.SetIntSetting("NetRuleCount", count);
    if (ReplaceSubKeyAndSave("NetRules", rules, settings.ValuesToSave())) return true;
    settings.SetSetting("NetRuleCount", oldCount);
    return false;
}
