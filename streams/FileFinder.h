#pragma once
// A search over the entries that match a path with wildcards, in the find-first/find-next
// manner: Start finds the first entry; Next makes the following one current and says whether
// one followed.

#include <string>
#include <vector>

#include "platform/Clock.h"

class CFileFinder {
public:
    virtual ~CFileFinder() = default;
    // True when anything matched; the first Next() makes the first match current.
    virtual bool Start(const std::string& pattern) = 0;
    // Moves to the next entry; true while further entries follow it.
    virtual bool Next() = 0;
    virtual std::string Name() const = 0;
    virtual bool IsFolder() const = 0;
    virtual bool IsReadOnly() const = 0;
    virtual uint64_t Size() const = 0;
    virtual bool LastWriteTime(platform::Time32& time) const = 0;
    virtual void Close() = 0;
};

// Entries of one real folder: the pattern is a host path whose last part may hold wildcards,
// matched without regard to case ("*" does not match names that start with a dot). Names
// that are not UTF-8 are left out rather than shown garbled.
class CDirFinder : public CFileFinder {
public:
    bool Start(const std::string& pattern) override;
    bool Next() override;
    std::string Name() const override;
    bool IsFolder() const override;
    bool IsReadOnly() const override;
    uint64_t Size() const override;
    bool LastWriteTime(platform::Time32& time) const override;
    void Close() override;

    struct Entry {
        std::string name;
        bool folder = false;
        bool readOnly = false;
        uint64_t size = 0;
        bool hasTime = false;
        platform::Time32 time = 0;
    };

private:
    std::vector<Entry> entries_;
    size_t current_ = 0;
    bool started_ = false;
};
