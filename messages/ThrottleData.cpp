#include "messages/ThrottleData.h"

using platform::Time32;

CFtpThrottleData::CFtpThrottleData() : CFtpMsgObject(1) {
    SetDefaults();
}

void CFtpThrottleData::SetDefaults() {
    password.clear();
    enabled = 0;
    struct tm today = platform::LocalTime(platform::Clock::Now());
    today.tm_hour = today.tm_min = today.tm_sec = 0;
    Time32 midnight = platform::MakeLocalTime(today);
    for (ZoneList& day : days) {
        day.clear();
        for (int zone = 0; zone < 4; ++zone)
            day.push_back(
                ThrottleZone{midnight + static_cast<Time32>(zone) * 21600, kDefaultSpeed});
    }
}

namespace {
// t's date at the time of day of start.
Time32 AtTimeOfDay(const struct tm& date, Time32 start) {
    struct tm of = platform::LocalTime(start);
    struct tm at = date;
    at.tm_hour = of.tm_hour;
    at.tm_min = of.tm_min;
    at.tm_sec = of.tm_sec;
    return platform::MakeLocalTime(at);
}
}  // namespace

int CFtpThrottleData::GetZoneIndex(Time32 t) const {
    struct tm date = platform::LocalTime(t);
    const ZoneList& zones = days[static_cast<size_t>(date.tm_wday)];
    int n = static_cast<int>(zones.size());
    if (n == 0) return -1;
    for (int c = 0; c + 1 < n; ++c) {
        Time32 s = AtTimeOfDay(date, zones[static_cast<size_t>(c)].start);
        Time32 e = AtTimeOfDay(date, zones[static_cast<size_t>(c) + 1].start);
        if (s <= t && t < e) return c;
    }
    return n - 1;
}

std::optional<int64_t> CFtpThrottleData::GetMaxSpeed(Time32 t) const {
    int zone = GetZoneIndex(t);
    if (zone < 0) return std::nullopt;
    struct tm date = platform::LocalTime(t);
    return days[static_cast<size_t>(date.tm_wday)][static_cast<size_t>(zone)].maxSpeed;
}

std::optional<int64_t> CFtpThrottleData::LimitAt(Time32 t) const {
    if (enabled != 1) return std::nullopt;
    return GetMaxSpeed(t);  // a day without zones is a day without a limit
}

void CFtpThrottleData::SetZoneStart(int day, int zone, Time32 start) {
    days[static_cast<size_t>(day)][static_cast<size_t>(zone)].start = start;
}

Time32 CFtpThrottleData::GetZoneStart(int day, int zone) const {
    return days[static_cast<size_t>(day)][static_cast<size_t>(zone)].start;
}

void CFtpThrottleData::SetAllZonesSpeed(int64_t speed) {
    for (ZoneList& day : days)
        for (size_t zone = 0; zone < 4 && zone < day.size(); ++zone) day[zone].maxSpeed = speed;
}

void CFtpThrottleData::SetZoneSpeed(int day, int zone, int64_t speed) {
    days[static_cast<size_t>(day)][static_cast<size_t>(zone)].maxSpeed = speed;
}

int64_t CFtpThrottleData::GetZoneSpeed(int day, int zone) const {
    return days[static_cast<size_t>(day)][static_cast<size_t>(zone)].maxSpeed;
}

void CFtpThrottleData::SetDay(int day, const ZoneList& zones) {
    days[static_cast<size_t>(day)] = zones;
}

ZoneList CFtpThrottleData::GetDay(int day) const {
    return days[static_cast<size_t>(day)];
}

bool CFtpThrottleData::operator==(const CFtpThrottleData& other) const {
    if (version != other.version || password != other.password || time != other.time ||
        enabled != other.enabled)
        return false;
    for (size_t d = 0; d < days.size(); ++d) {
        for (size_t z = 0; z < 4; ++z) {
            bool here = z < days[d].size(), there = z < other.days[d].size();
            if (here != there) return false;
            if (here && !(days[d][z] == other.days[d][z])) return false;
        }
    }
    return true;
}

void CFtpThrottleData::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    ar.String(password);
    ar.Int32(enabled);
    for (ZoneList& day : days) {
        uint32_t count = static_cast<uint32_t>(day.size());
        ar.Count(count, 24);
        if (ar.IsLoading()) day.assign(count, ThrottleZone{});
        for (ThrottleZone& zone : day) SerializeSample(ar, zone.start, zone.maxSpeed);
    }
}
