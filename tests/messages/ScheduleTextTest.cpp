// The schedule's text form: what a person writes, the errors they get, and the round trip.

#include "messages/ScheduleText.h"

#include <gtest/gtest.h>

#include "platform/Clock.h"

namespace {

int MinuteOfDay(platform::Time32 t) {
    struct tm local = platform::LocalTime(t);
    return local.tm_hour * 60 + local.tm_min;
}

}  // namespace

TEST(ScheduleTextTest, ZonesGoToTheirDaysInTimeOrderAndFormatBackTheSame) {
    CFtpThrottleData schedule;
    schedule.password = "kept";
    std::vector<std::string> errors;
    const std::string text =
        "# office hours\n"
        "enabled yes\n"
        "MON 18:00 1000\n"
        "mon 08:00 512   # mornings are slow\n"
        "\n"
        "all 00:00 2000\n";
    ASSERT_TRUE(ParseSchedule(text, schedule, errors)) << errors.front();
    EXPECT_EQ(schedule.enabled, 1);
    EXPECT_EQ(schedule.password, "kept");
    ASSERT_EQ(schedule.days[1].size(), 3u);  // Monday
    EXPECT_EQ(MinuteOfDay(schedule.days[1][0].start), 0);
    EXPECT_EQ(MinuteOfDay(schedule.days[1][1].start), 8 * 60);
    EXPECT_EQ(schedule.days[1][1].maxSpeed, 512);
    EXPECT_EQ(MinuteOfDay(schedule.days[1][2].start), 18 * 60);
    ASSERT_EQ(schedule.days[0].size(), 1u);  // Sunday: only the "all" zone
    EXPECT_EQ(schedule.days[0][0].maxSpeed, 2000);

    const std::string formatted = FormatSchedule(schedule);
    EXPECT_EQ(formatted.substr(0, 12), "enabled yes\n");
    EXPECT_NE(formatted.find("sun 00:00 2000\nmon 00:00 2000\nmon 08:00 512\nmon 18:00 1000\n"),
              std::string::npos)
        << formatted;
    CFtpThrottleData again;
    ASSERT_TRUE(ParseSchedule(formatted, again, errors));
    EXPECT_EQ(FormatSchedule(again), formatted);
}

TEST(ScheduleTextTest, TheDefaultScheduleRoundTrips) {
    CFtpThrottleData schedule;  // four zones a day, limiting off
    const std::string formatted = FormatSchedule(schedule);
    EXPECT_EQ(formatted.substr(0, 36), "enabled no\nsun 00:00 1000\nsun 06:00 ");
    CFtpThrottleData parsed;
    parsed.enabled = 1;
    std::vector<std::string> errors;
    ASSERT_TRUE(ParseSchedule(formatted, parsed, errors));
    EXPECT_EQ(parsed.enabled, 0);
    EXPECT_EQ(FormatSchedule(parsed), formatted);
}

TEST(ScheduleTextTest, EveryBadLineIsNamedAndNothingChanges) {
    CFtpThrottleData schedule;
    const std::string before = FormatSchedule(schedule);
    std::vector<std::string> errors;
    const std::string text =
        "enabled maybe\n"
        "mon 8:00 512\n"
        "tue 24:00 512\n"
        "wed 08:00 fast\n"
        "thu 08:00\n"
        "someday 08:00 1\n"
        "fri 08:00 -5\n"
        "sat 08:00 1\n"
        "sat 08:00 2\n"
        "sun 07:59 99999999999\n";
    EXPECT_FALSE(ParseSchedule(text, schedule, errors));
    ASSERT_EQ(errors.size(), 9u);
    EXPECT_EQ(errors[0], "line 1: \"enabled\" takes yes or no");
    EXPECT_EQ(errors[1], "line 2: \"8:00\" is not a time of day from 00:00 to 23:59");
    EXPECT_EQ(errors[2], "line 3: \"24:00\" is not a time of day from 00:00 to 23:59");
    EXPECT_EQ(errors[3], "line 4: \"fast\" is not a speed in KB/s (0 to 2147483647)");
    EXPECT_EQ(errors[4], "line 5: a zone is DAY HH:MM KBPS, e.g. \"mon 08:00 512\"");
    EXPECT_EQ(errors[5], "line 6: \"someday\" is not a day (sun mon tue wed thu fri sat, or all)");
    EXPECT_EQ(errors[6], "line 7: \"-5\" is not a speed in KB/s (0 to 2147483647)");
    EXPECT_EQ(errors[7], "line 9: sat already has a zone at 08:00");
    EXPECT_EQ(errors[8], "line 10: \"99999999999\" is not a speed in KB/s (0 to 2147483647)");
    EXPECT_EQ(FormatSchedule(schedule), before);
}

TEST(ScheduleTextTest, ADayTakesAtMostTheZonesAMessageCarries) {
    std::string text;
    for (int hour = 0; hour < 24; ++hour)
        text += "mon " + std::string(hour < 10 ? "0" : "") + std::to_string(hour) + ":00 100\n";
    CFtpThrottleData schedule;
    std::vector<std::string> errors;
    ASSERT_TRUE(ParseSchedule(text, schedule, errors));
    EXPECT_EQ(schedule.days[1].size(), 24u);
    EXPECT_FALSE(ParseSchedule(text + "mon 23:30 100\n", schedule, errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "line 25: mon has more than 24 zones");
}
