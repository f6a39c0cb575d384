#pragma once
// Admission of clients by address: a default policy and a table of exceptions, each an IPv4
// address with a mask (masks need not be contiguous) or an IPv6 address with a prefix length.
// IPv4 rules match IPv4 clients only, IPv6 rules IPv6 clients only; an IPv4 client on a
// dual-stack socket (::ffff:a.b.c.d) is an IPv4 client.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/SettingsMap.h"

class CAppSettings;

// Dotted quad to a 32-bit value (first number in the top byte); each number is cut to its low
// 8 bits. Only digits and dots, exactly three dots, no empty part.
bool ParseAddress(const std::string& text, uint32_t& value);
// The looser test of the rule dialog: not empty, digits and dots, exactly three dots.
bool IsAddressText(const std::string& text);

using Address6 = std::array<uint8_t, 16>;

// "2001:db8::/32" or "::1" (a whole address, prefix 128); false with the reason otherwise.
bool ParsePrefix6(const std::string& text, Address6& address, int& prefix,
                  std::string* problem = nullptr);
// The first prefix bits of the two addresses agree.
bool PrefixMatches(const Address6& rule, int prefix, const Address6& address);
// A rule text that names an IPv6 address (it holds a colon).
inline bool IsIpv6RuleText(const std::string& text) {
    return text.find(':') != std::string::npos;
}

struct IpRule {
    uint32_t address;
    uint32_t mask;
    bool v6 = false;  // then address6/prefix stand, address and mask do not
    Address6 address6{};
    int prefix = 0;
};

class CIpRuleTable {
public:
    // The engine's table, used for every client, data connection and remote console, as it
    // stands now: a reload replaces it whole (PublishIpRules), never in place.
    static std::shared_ptr<const CIpRuleTable> Engine();
    static void Publish(CIpRuleTable table);

    void Clear() { rules_.clear(); }
    // Appends a rule if both texts parse. An IPv6 rule is its address text with the prefix
    // length ("2001:db8::/32") and an empty mask.
    bool Append(const std::string& address, const std::string& mask);
    void SetPolicy(bool accept) { accept_ = accept; }
    bool Policy() const { return accept_; }
    const std::vector<IpRule>& Rules() const { return rules_; }

    // A matching rule turns the policy round; an unparsable address is refused.
    bool Check(const std::string& address) const;

private:
    std::vector<IpRule> rules_;
    bool accept_ = true;
};

bool CheckAddress(const std::string& address);

// A list of addresses and prefixes of either family, such as the load balancers trusted to
// name their clients: "192.0.2.10, 10.1.0.0/16, 2001:db8::/48" (commas or spaces between).
struct AddressPrefix {
    bool v6 = false;
    Address6 address{};  // IPv4 in the first four bytes
    int prefix = 0;
};
// False with the reason (nothing in list) when an entry is neither; an empty text is an empty
// list.
bool ParseAddressPrefixes(const std::string& text, std::vector<AddressPrefix>& list,
                          std::string& problem);
// The list in its one stored form: entries in their short form, ", " between.
std::string AddressPrefixesText(const std::vector<AddressPrefix>& list);
// Whether the address (as the program shows addresses) is in one of the prefixes.
bool InAddressPrefixes(const std::vector<AddressPrefix>& list, const std::string& address);

// The names of rule index's values in the "NetRules" key.
std::string RuleAddressName(int index);
std::string RuleMaskName(int index);

// The stored rules: "0.0.0.0" placeholders for every index below "NetRuleCount", replaced by
// what the "NetRules" key holds. False when the key could not be read.
bool ReadIpRules(const CAppSettings& settings, CSettingsMap& rules);
// The stored rules in their order, as the engine reads them: a rule the count names but the
// key lacks is 0.0.0.0 with mask 0.0.0.0.
struct StoredIpRule {
    std::string address, mask;
};
std::vector<StoredIpRule> ReadStoredIpRules(const CAppSettings& settings);
// Replaces the stored rules by these, in this order; false (nothing changed) on failure.
bool SaveStoredIpRules(CAppSettings& settings, const std::vector<StoredIpRule>& rules);
// Rebuilds the engine's table and policy from the settings.
void LoadIpRules(const CAppSettings& settings);
// Replaces the stored rules by the given ones and sets "NetRuleCount".
bool SaveIpRules(CAppSettings& settings, const CSettingsMap& rules, int count);
