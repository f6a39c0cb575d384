#include "config/SettingsMap.h"

#include <climits>

#include "platform/Text.h"

bool ParseLeadingInt(const std::string& text, int& out) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    // Out of range saturates, as the C library's conversion does.
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    out = static_cast<int>(value);
    return true;
}

bool CSettingsMap::GetInt(const std::string& name, int& out) const {
    auto it = index_.find(name);
    if (it == index_.end()) return false;
    ParseLeadingInt(entries_[it->second].second, out);
    return true;
}

bool CSettingsMap::GetString(const std::string& name, std::string& out) const {
    auto it = index_.find(name);
    if (it == index_.end()) return false;
    out = entries_[it->second].second;
    return true;
}

void CSettingsMap::SetInt(const std::string& name, long value) {
    SetString(name, std::to_string(value));
}

void CSettingsMap::SetString(const std::string& name, const std::string& text) {
    auto it = index_.find(name);
    if (it != index_.end()) {
        entries_[it->second].second = text;
        return;
    }
    index_.emplace(name, entries_.size());
    entries_.emplace_back(name, text);
}

bool CSettingsMap::ContainsAll(const CSettingsMap& other) const {
    for (const auto& [name, text] : other.entries_) {
        auto it = index_.find(name);
        if (it == index_.end() || entries_[it->second].second != text) return false;
    }
    return true;
}

bool CSettingsMap::IsEqual(const CSettingsMap& other) const {
    return ContainsAll(other) && other.ContainsAll(*this);
}

void CSettingsMap::RemoveKeys(const CSettingsMap& other) {
    for (const auto& entry : other.entries_) Remove(entry.first);
}

void CSettingsMap::Remove(const std::string& name) {
    auto it = index_.find(name);
    if (it == index_.end()) return;
    size_t at = it->second;
    index_.erase(it);
    entries_.erase(entries_.begin() + static_cast<long>(at));
    for (size_t i = at; i < entries_.size(); ++i) index_[entries_[i].first] = i;
}

void CSettingsMap::Assign(const CSettingsMap& other) {
    if (&other == this) return;
    entries_.clear();
    index_.clear();
    Merge(other);
}

void CSettingsMap::Merge(const CSettingsMap& other) {
    if (&other == this) return;
    for (const auto& [name, text] : other.entries_) SetString(name, text);
}

bool EngineBool(const CSettingsMap& settings, const std::string& name) {
    std::string text;
    return settings.GetString(name, text) && platform::EqualsIgnoreCase(text, "true");
}

int EngineInt(const CSettingsMap& settings, const std::string& name) {
    int value = 0;
    settings.GetInt(name, value);
    return value;
}
