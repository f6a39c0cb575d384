#include <gtest/gtest.h>

#include <sys/resource.h>

#include "platform/Descriptors.h"

TEST(DescriptorsTest, TheSoftLimitRisesToWhatIsWantedAndNoFurtherThanTheHardLimit) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < 1000) GTEST_SKIP() << "hard limit";
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);

    platform::DescriptorLimit limit = platform::RaiseDescriptorLimit(900);
    EXPECT_EQ(limit.soft, 900u);
    EXPECT_EQ(platform::ReadDescriptorLimit().soft, 900u);
    EXPECT_EQ(platform::RaiseDescriptorLimit(300).soft, 900u) << "never lowered";
    if (saved.rlim_max != RLIM_INFINITY) {
        limit = platform::RaiseDescriptorLimit(saved.rlim_max + 1000);
        EXPECT_EQ(limit.soft, saved.rlim_max) << "as near as the hard limit allows";
        EXPECT_LT(limit.soft, saved.rlim_max + 1000) << "the caller can tell it fell short";
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
}
