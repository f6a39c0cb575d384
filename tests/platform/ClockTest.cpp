#include <gtest/gtest.h>

#include "platform/Clock.h"

using platform::Clock;

TEST(ClockTest, FrozenClockMovesOnlyWhenTold) {
    Clock::Freeze(1000000);
    EXPECT_EQ(Clock::Now(), 1000000u);
    Clock::Advance(89);
    EXPECT_EQ(Clock::Now(), 1000089u);
    Clock::Release();
    EXPECT_GT(Clock::Now(), 1700000000u);
}

TEST(ClockTest, RunningClockCanBeShifted) {
    platform::Time32 before = Clock::Now();
    Clock::Advance(3600);
    EXPECT_GE(Clock::Now(), before + 3600);
    Clock::Release();
    EXPECT_LT(Clock::Now(), before + 3600);
}

TEST(ClockTest, LocalTimeRoundTrips) {
    platform::Time32 t = 1765000000;
    struct tm parts = platform::LocalTime(t);
    EXPECT_EQ(platform::MakeLocalTime(parts), t);
}
