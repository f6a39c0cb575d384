#pragma once
// The weekly bandwidth schedule: for each day (0 Sunday .. 6 Saturday, local time) zones that
// start at a time of day and carry a maximum speed in KB/s. The last zone of a day runs on
// past midnight until the day's first zone starts.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "messages/MsgObjects.h"

struct ThrottleZone {
    platform::Time32 start = 0;  // only its local time of day counts
    int64_t maxSpeed = 0;        // KB/s
    bool operator==(const ThrottleZone&) const = default;
};
using ZoneList = std::vector<ThrottleZone>;

class CFtpThrottleData : public CFtpMsgObject {
public:
    static constexpr int kDays = 7;
    static constexpr int64_t kDefaultSpeed = 1000;

    CFtpThrottleData();  // the default schedule
    void Serialize(CArchive& ar) override;

    // Four zones a day at 00:00, 06:00, 12:00 and 18:00 of today, 1000 KB/s each; limiting off.
    virtual void SetDefaults();
    // The max speed in force at t; nothing when t's day has no zones.
    virtual std::optional<int64_t> GetMaxSpeed(platform::Time32 t) const;
    // The zone in force at t within t's weekday, or -1 for a day without zones.
    virtual int GetZoneIndex(platform::Time32 t) const;
    virtual void SetZoneStart(int day, int zone, platform::Time32 start);
    virtual platform::Time32 GetZoneStart(int day, int zone) const;
    virtual void SetAllZonesSpeed(int64_t speed);  // zones 0 to 3 of every day
    virtual void SetZoneSpeed(int day, int zone, int64_t speed);
    virtual int64_t GetZoneSpeed(int day, int zone) const;
    virtual void SetDay(int day, const ZoneList& zones);
    virtual ZoneList GetDay(int day) const;

    // Version, password, time stamp, enabled, and zones 0 to 3 of every day.
    bool operator==(const CFtpThrottleData& other) const;

    // The rate the budget follows now: nothing when limiting is off or the day has no zones.
    std::optional<int64_t> LimitAt(platform::Time32 t) const;

    std::string password;  // a console's password; empty when installed or sent
    int32_t enabled = 0;
    std::array<ZoneList, kDays> days;
};
