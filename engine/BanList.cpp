#include "engine/BanList.h"

#include <algorithm>
#include <iterator>
#include <limits>

using platform::Time32;
using Guard = std::lock_guard<std::mutex>;

namespace {
constexpr uint64_t kLatest = std::numeric_limits<Time32>::max();

uint32_t MinutesToSeconds(int minutes) {
    return static_cast<uint32_t>(
        std::min<uint64_t>(uint64_t{static_cast<uint32_t>(std::max(1, minutes))} * 60, kLatest));
}
}  // namespace

CBanList::Rules CBanList::FromMinutes(int failures, int windowMinutes, int banMinutes) {
    Rules rules;
    rules.failures = static_cast<uint32_t>(std::max(0, failures));
    rules.windowSeconds = MinutesToSeconds(windowMinutes);
    rules.banSeconds = MinutesToSeconds(banMinutes);
    return rules;
}

void CBanList::SetRules(const Rules& rules) {
    Guard guard(lock_);
    rules_ = rules;
    if (rules_.failures == 0) entries_.clear();
}

CBanList::Rules CBanList::CurrentRules() const {
    Guard guard(lock_);
    return rules_;
}

void CBanList::Slide(Entry& e, Time32 now) const {
    // A stamp from after now (the clock was set back) stays until now passes it.
    while (!e.stamps.empty() && now >= e.stamps.front().first &&
           now - e.stamps.front().first >= rules_.windowSeconds) {
        e.counted -= e.stamps.front().second;
        e.stamps.pop_front();
    }
}

bool CBanList::Expired(Entry& e, Time32 now) const {
    if (Banned(e, now)) return false;
    Slide(e, now);
    return e.stamps.empty();
}

void CBanList::MakeRoom(Time32 now) {
    for (auto it = entries_.begin(); it != entries_.end();)
        it = Expired(it->second, now) ? entries_.erase(it) : std::next(it);
    if (entries_.size() < kMostAddresses) return;
    // Still full: an address that is only counting goes first, the one quiet the longest;
    // with bans alone, the one that ends first.
    auto victim = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (victim == entries_.end()) {
            victim = it;
            continue;
        }
        const Entry &a = it->second, &b = victim->second;
        bool aBanned = Banned(a, now), bBanned = Banned(b, now);
        if (aBanned != bBanned ? !aBanned : (aBanned ? a.until < b.until : a.last < b.last))
            victim = it;
    }
    if (victim != entries_.end()) entries_.erase(victim);
}

std::optional<BanRecord> CBanList::RecordFailure(const std::string& address, Time32 now) {
    Guard guard(lock_);
    if (rules_.failures == 0) return std::nullopt;
    auto it = entries_.find(address);
    if (it == entries_.end()) {
        if (entries_.size() >= kMostAddresses) MakeRoom(now);
        it = entries_.emplace(address, Entry{}).first;
    }
    Entry& e = it->second;
    e.last = now;
    if (Banned(e, now)) return std::nullopt;
    Slide(e, now);
    if (!e.stamps.empty() && e.stamps.back().first == now)
        ++e.stamps.back().second;
    else
        e.stamps.emplace_back(now, 1);
    ++e.counted;
    if (e.stamps.size() > kMostStamps) {
        // The older second is counted as the later one: it stays a little longer in the window.
        e.stamps[1].second += e.stamps[0].second;
        e.stamps.pop_front();
    }
    if (e.counted < rules_.failures) return std::nullopt;
    e.since = now;
    e.until = static_cast<Time32>(std::min<uint64_t>(uint64_t{now} + rules_.banSeconds, kLatest));
    e.banFailures = e.counted;
    e.stamps.clear();
    e.counted = 0;
    return BanRecord{address, e.since, e.until, e.banFailures};
}

bool CBanList::IsBanned(const std::string& address, Time32 now) {
    Guard guard(lock_);
    if (rules_.failures == 0) return false;
    auto it = entries_.find(address);
    return it != entries_.end() && Banned(it->second, now);
}

std::vector<BanRecord> CBanList::Bans(Time32 now) {
    Guard guard(lock_);
    std::vector<BanRecord> bans;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (Expired(it->second, now)) {
            it = entries_.erase(it);
            continue;
        }
        const Entry& e = it->second;
        if (Banned(e, now)) bans.push_back(BanRecord{it->first, e.since, e.until, e.banFailures});
        ++it;
    }
    std::sort(bans.begin(), bans.end(), [](const BanRecord& a, const BanRecord& b) {
        return a.since != b.since ? a.since < b.since : a.address < b.address;
    });
    return bans;
}

bool CBanList::Lift(const std::string& address, Time32 now) {
    Guard guard(lock_);
    auto it = entries_.find(address);
    if (it == entries_.end() || !Banned(it->second, now)) return false;
    entries_.erase(it);
    return true;
}

size_t CBanList::Tracked() const {
    Guard guard(lock_);
    return entries_.size();
}
