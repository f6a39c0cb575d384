#pragma once
// The settings store: a map from setting name (compared exactly) to its text. Integers are
// decimal texts, booleans "true" or "false". Entries keep the order in which their names were
// first stored, so a saved registry lists them in a stable order.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class CSettingsMap {
public:
    using Entry = std::pair<std::string, std::string>;

    virtual ~CSettingsMap() = default;

    // False if absent (out unchanged). Otherwise parses a signed decimal after leading white
    // space up to the first character that is not part of it, and returns true even when the
    // text held no digits (out then unchanged).
    virtual bool GetInt(const std::string& name, int& out) const;
    virtual bool GetString(const std::string& name, std::string& out) const;
    virtual void SetInt(const std::string& name, long value);
    virtual void SetString(const std::string& name, const std::string& text);
    // Every entry of other is here with an identical text.
    virtual bool ContainsAll(const CSettingsMap& other) const;
    virtual bool IsEqual(const CSettingsMap& other) const;
    virtual void RemoveKeys(const CSettingsMap& other);

    void Assign(const CSettingsMap& other);
    void Merge(const CSettingsMap& other);

    bool Contains(const std::string& name) const { return index_.count(name) != 0; }
    void Remove(const std::string& name);
    size_t Size() const { return entries_.size(); }
    const std::vector<Entry>& Entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
    std::unordered_map<std::string, size_t> index_;
};

// Leading signed decimal of a text, as GetInt reads it; false when there are no digits.
bool ParseLeadingInt(const std::string& text, int& out);

// How the engine reads its copy: a boolean is "true" in any case; an integer that is missing
// (or holds no digits) is 0.
bool EngineBool(const CSettingsMap& settings, const std::string& name);
int EngineInt(const CSettingsMap& settings, const std::string& name);
