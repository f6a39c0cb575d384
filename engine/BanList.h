#pragma once
// Addresses that failed to log in too often: a client with so many failed logins within the
// window is refused for a while. Sessions count their failures on their loop threads while
// admission asks on the listener's, so every member takes the table's own lock; it calls
// nothing outside itself under it. Times are passed in, seconds of platform::Clock.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Clock.h"

struct BanRecord {
    std::string address;
    platform::Time32 since = 0, until = 0;
    uint32_t failures = 0;  // the failed logins that started it
    bool operator==(const BanRecord&) const = default;
};

class CBanList {
public:
    // Addresses followed at most, banned or counting; beyond it the oldest is forgotten.
    static constexpr size_t kMostAddresses = 10000;
    // Seconds with failures kept per address; beyond it the oldest two are counted as one.
    static constexpr size_t kMostStamps = 256;

    struct Rules {
        uint32_t failures = 0;  // 0: no bans at all
        uint32_t windowSeconds = 600;
        uint32_t banSeconds = 3600;
        bool operator==(const Rules&) const = default;
    };

    // The rules from the settings' values (minutes); out-of-range values are clamped.
    static Rules FromMinutes(int failures, int windowMinutes, int banMinutes);

    // New rules for what comes next; turning bans off forgets every address.
    void SetRules(const Rules& rules);
    Rules CurrentRules() const;

    // Counts one failed login; the ban when this failure starts one. An address that is
    // banned already is not counted further.
    std::optional<BanRecord> RecordFailure(const std::string& address, platform::Time32 now);
    bool IsBanned(const std::string& address, platform::Time32 now);
    // The bans in force, oldest first.
    std::vector<BanRecord> Bans(platform::Time32 now);
    // Ends the ban on address and forgets its failures; false when it was not banned.
    bool Lift(const std::string& address, platform::Time32 now);
    // Addresses followed now (banned or counting), for tests and the memory bound.
    size_t Tracked() const;

private:
    struct Entry {
        std::deque<std::pair<platform::Time32, uint32_t>> stamps;  // second, failures in it
        uint32_t counted = 0;                                      // sum over the stamps
        platform::Time32 since = 0, until = 0, last = 0;
        uint32_t banFailures = 0;
    };
    bool Banned(const Entry& e, platform::Time32 now) const { return e.until > now; }
    // Drops the failures that left the window.
    void Slide(Entry& e, platform::Time32 now) const;
    bool Expired(Entry& e, platform::Time32 now) const;
    // Makes room for one more address.
    void MakeRoom(platform::Time32 now);

    mutable std::mutex lock_;
    Rules rules_;
    std::unordered_map<std::string, Entry> entries_;
};
