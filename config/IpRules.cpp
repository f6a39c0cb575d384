#include "config/IpRules.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

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

bool ParsePrefix6(const std::string& text, Address6& address, int& prefix, std::string* problem) {
    auto refuse = [problem](const std::string& why) {
        if (problem) *problem = why;
        return false;
    };
    size_t slash = text.find('/');
    std::string host = text.substr(0, slash);
    prefix = 128;
    if (slash != std::string::npos) {
        std::string length = text.substr(slash + 1);
        if (length.empty() || length.size() > 3 ||
            length.find_first_not_of("0123456789") != std::string::npos || std::stoi(length) > 128)
            return refuse("the prefix length after / must be a number from 0 to 128");
        prefix = std::stoi(length);
    }
    // inet_pton takes no zone ("%eth0") and no brackets, which rules have no use for.
    in6_addr parsed{};
    if (host.size() > INET6_ADDRSTRLEN || ::inet_pton(AF_INET6, host.c_str(), &parsed) != 1)
        return refuse("\"" + host + "\" is not an IPv6 address such as 2001:db8::1");
    std::memcpy(address.data(), parsed.s6_addr, 16);
    return true;
}

bool PrefixMatches(const Address6& rule, int prefix, const Address6& address) {
    int whole = prefix / 8, rest = prefix % 8;
    if (std::memcmp(rule.data(), address.data(), static_cast<size_t>(whole)) != 0) return false;
    if (rest == 0) return true;
    uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return ((rule[static_cast<size_t>(whole)] ^ address[static_cast<size_t>(whole)]) & mask) == 0;
}

namespace {
// A client's address: IPv4 as the rules have always read it, or IPv6; an IPv4-mapped IPv6
// address is its IPv4 address.
bool ParseClient(const std::string& text, bool& v6, uint32_t& v4, Address6& address) {
    v6 = false;
    if (ParseAddress(text, v4)) return true;
    int prefix = 0;
    if (!IsIpv6RuleText(text) || text.find('/') != std::string::npos ||
        !ParsePrefix6(text, address, prefix))
        return false;
    static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(address.data(), kMapped, 12) == 0) {
        v4 = (uint32_t{address[12]} << 24) | (uint32_t{address[13]} << 16) |
             (uint32_t{address[14]} << 8) | address[15];
        return true;
    }
    v6 = true;
    return true;
}

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
    if (IsIpv6RuleText(address)) {
        if (!mask.empty() || !ParsePrefix6(address, rule.address6, rule.prefix)) return false;
        rule.v6 = true;
    } else if (!ParseAddress(address, rule.address) || !ParseAddress(mask, rule.mask)) {
        return false;
    }
    rules_.push_back(rule);
    return true;
}

bool CIpRuleTable::Check(const std::string& address) const {
    bool v6 = false;
    uint32_t value = 0;
    Address6 value6{};
    if (!ParseClient(address, v6, value, value6)) return false;
    for (const IpRule& rule : rules_) {
        if (rule.v6 != v6) continue;
        bool matches = v6 ? PrefixMatches(rule.address6, rule.prefix, value6)
                          : (rule.mask & (value ^ rule.address)) == 0;
        if (matches) return !accept_;
    }
    return accept_;
}

bool CheckAddress(const std::string& address) {
    return CIpRuleTable::Engine()->Check(address);
}

bool ParseAddressPrefixes(const std::string& text, std::vector<AddressPrefix>& list,
                          std::string& problem) {
    std::vector<AddressPrefix> parsed;
    size_t at = 0;
    while ((at = text.find_first_not_of(", \t", at)) != std::string::npos) {
        size_t end = text.find_first_of(", \t", at);
        std::string entry = text.substr(at, end == std::string::npos ? end : end - at);
        at = end;
        AddressPrefix prefix;
        if (IsIpv6RuleText(entry)) {
            prefix.v6 = true;
            if (!ParsePrefix6(entry, prefix.address, prefix.prefix, &problem)) return false;
        } else {
            size_t slash = entry.find('/');
            std::string host = entry.substr(0, slash), length;
            prefix.prefix = 32;
            if (slash != std::string::npos) {
                length = entry.substr(slash + 1);
                if (length.empty() || length.size() > 2 ||
                    length.find_first_not_of("0123456789") != std::string::npos ||
                    std::stoi(length) > 32) {
                    problem =
                        "the prefix length in \"" + entry + "\" must be a number from 0 to 32";
                    return false;
                }
                prefix.prefix = std::stoi(length);
            }
            in_addr parsed4{};
            if (::inet_pton(AF_INET, host.c_str(), &parsed4) != 1) {
                problem = "\"" + entry +
                          "\" is not an address such as 192.0.2.10, 10.0.0.0/8 "
                          "or 2001:db8::/32";
                return false;
            }
            std::memcpy(prefix.address.data(), &parsed4, 4);
        }
        parsed.push_back(prefix);
    }
    list = std::move(parsed);
    return true;
}

std::string AddressPrefixesText(const std::vector<AddressPrefix>& list) {
    std::string text;
    for (const AddressPrefix& entry : list) {
        char shown[INET6_ADDRSTRLEN] = {};
        ::inet_ntop(entry.v6 ? AF_INET6 : AF_INET, entry.address.data(), shown, sizeof shown);
        if (!text.empty()) text += ", ";
        text += shown;
        if (entry.prefix != (entry.v6 ? 128 : 32)) text += "/" + std::to_string(entry.prefix);
    }
    return text;
}

bool InAddressPrefixes(const std::vector<AddressPrefix>& list, const std::string& address) {
    bool v6 = false;
    uint32_t value = 0;
    Address6 value6{};
    if (!ParseClient(address, v6, value, value6)) return false;
    if (!v6) {
        uint32_t network = htonl(value);
        std::memcpy(value6.data(), &network, 4);
    }
    for (const AddressPrefix& entry : list)
        if (entry.v6 == v6 && PrefixMatches(entry.address, entry.prefix, value6)) return true;
    return false;
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
