#include <gtest/gtest.h>

#include "messages/ThrottleData.h"
#include "platform/Clock.h"

using platform::Time32;

namespace {
// A local time on a Wednesday (2026-12-09).
Time32 At(int hour, int minute, int day = 9) {
    struct tm parts {};
    parts.tm_year = 2026 - 1900;
    parts.tm_mon = 11;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    return platform::MakeLocalTime(parts);
}
}  // namespace

TEST(ThrottleDataTest, DefaultScheduleHasFourQuartersOf1000) {
    CFtpThrottleData schedule;
    EXPECT_EQ(schedule.enabled, 0);
    EXPECT_EQ(schedule.GetZoneIndex(At(0, 0)), 0);
    EXPECT_EQ(schedule.GetZoneIndex(At(5, 59)), 0);
    EXPECT_EQ(schedule.GetZoneIndex(At(6, 0)), 1);
    EXPECT_EQ(schedule.GetZoneIndex(At(13, 0)), 2);
    EXPECT_EQ(schedule.GetZoneIndex(At(23, 59)), 3);
    EXPECT_EQ(schedule.GetMaxSpeed(At(12, 0)), 1000);
    EXPECT_EQ(schedule.LimitAt(At(12, 0)), std::nullopt) << "limiting is off by default";
    schedule.enabled = 1;
    EXPECT_EQ(schedule.LimitAt(At(12, 0)), 1000);
}

TEST(ThrottleDataTest, LastZoneRunsOnPastMidnight) {
    CFtpThrottleData schedule;
    int wednesday = platform::LocalTime(At(12, 0)).tm_wday;
    schedule.SetDay(wednesday, {{At(8, 0, 1), 10}, {At(20, 0, 2), 20}});  // dates do not count
    EXPECT_EQ(schedule.GetZoneIndex(At(7, 59)), 1);
    EXPECT_EQ(schedule.GetZoneIndex(At(8, 0)), 0);
    EXPECT_EQ(schedule.GetZoneIndex(At(19, 59)), 0);
    EXPECT_EQ(schedule.GetZoneIndex(At(20, 0)), 1);
    EXPECT_EQ(schedule.GetZoneIndex(At(23, 59)), 1);
    EXPECT_EQ(schedule.GetMaxSpeed(At(7, 59)), 20);

    schedule.SetDay(wednesday, {{At(15, 0), 5}});
    EXPECT_EQ(schedule.GetZoneIndex(At(3, 0)), 0) << "one zone covers the whole day";
    schedule.SetDay(wednesday, {});
    schedule.enabled = 1;
    EXPECT_EQ(schedule.GetZoneIndex(At(3, 0)), -1);
    EXPECT_EQ(schedule.LimitAt(At(3, 0)), std::nullopt) << "a day without zones has no limit";
}

TEST(ThrottleDataTest, SerialisedScheduleRoundTrips) {
    CFtpThrottleData schedule;
    schedule.enabled = 1;
    schedule.password = "secret";
    schedule.SetAllZonesSpeed(42);
    schedule.SetZoneSpeed(6, 3, -5);
    schedule.SetDay(2, {{At(1, 0), 1}, {At(2, 0), 2}, {At(3, 0), 3}, {At(4, 0), 4}, {At(5, 0), 5}});
    std::vector<uint8_t> bytes = StoreMessage(schedule);
    // version, time, password (3 + 1 + 12), enabled, then 7 counts and 29 zones of 24 bytes
    EXPECT_EQ(bytes.size(), 1u + 4 + 16 + 4 + 7 * 2 + 29 * 24);
    CFtpThrottleData back;
    back.time = 0;
    LoadMessage(back, bytes.data(), bytes.size());
    EXPECT_TRUE(back == schedule);
    EXPECT_EQ(back.GetDay(2).size(), 5u);
    EXPECT_EQ(back.GetZoneSpeed(6, 3), -5);
    back.SetZoneSpeed(0, 0, 1);
    EXPECT_FALSE(back == schedule);
}
