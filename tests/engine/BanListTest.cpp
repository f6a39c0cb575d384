#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>
#include <vector>

#include "engine/BanList.h"

namespace {

constexpr platform::Time32 kStart = 1'800'000'000;

class BanListTest : public ::testing::Test {
protected:
    void SetUp() override { bans.SetRules({3, 600, 3600}); }
    CBanList bans;
};

std::string Address(size_t n) {
    return "10." + std::to_string(n >> 16 & 0xFF) + "." + std::to_string(n >> 8 & 0xFF) + "." +
           std::to_string(n & 0xFF);
}

}  // namespace

TEST_F(BanListTest, TheFailureThatReachesTheThresholdStartsTheBanOnItsAddressAlone) {
    EXPECT_FALSE(bans.RecordFailure("127.0.0.2", kStart));
    EXPECT_FALSE(bans.RecordFailure("127.0.0.2", kStart + 1));
    EXPECT_FALSE(bans.IsBanned("127.0.0.2", kStart + 1));
    auto ban = bans.RecordFailure("127.0.0.2", kStart + 2);
    ASSERT_TRUE(ban);
    EXPECT_EQ(*ban, (BanRecord{"127.0.0.2", kStart + 2, kStart + 2 + 3600, 3}));
    EXPECT_TRUE(bans.IsBanned("127.0.0.2", kStart + 2));
    EXPECT_FALSE(bans.IsBanned("127.0.0.3", kStart + 2));
    // Knocking on while banned neither starts a second ban nor makes it longer.
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(bans.RecordFailure("127.0.0.2", kStart + 100));
    EXPECT_EQ(bans.Bans(kStart + 100), (std::vector<BanRecord>{*ban}));
}

TEST_F(BanListTest, OffByDefaultAndTurningItOffForgetsEveryBan) {
    CBanList off;
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(off.RecordFailure("127.0.0.2", kStart));
    EXPECT_FALSE(off.IsBanned("127.0.0.2", kStart));
    EXPECT_EQ(off.Tracked(), 0u);

    for (int i = 0; i < 3; ++i) bans.RecordFailure("127.0.0.2", kStart);
    ASSERT_TRUE(bans.IsBanned("127.0.0.2", kStart));
    bans.SetRules({0, 600, 3600});
    EXPECT_FALSE(bans.IsBanned("127.0.0.2", kStart));
    EXPECT_TRUE(bans.Bans(kStart).empty());
}

TEST_F(BanListTest, FailuresLeaveTheWindowWhenItsLengthHasPassed) {
    bans.RecordFailure("a", kStart);
    bans.RecordFailure("a", kStart + 300);
    EXPECT_FALSE(bans.RecordFailure("a", kStart + 600)) << "the first is 600 s old: out";
    EXPECT_TRUE(bans.RecordFailure("a", kStart + 601)) << "300, 600 and 601 are within 600 s";

    bans.RecordFailure("b", kStart);
    bans.RecordFailure("b", kStart + 300);
    EXPECT_TRUE(bans.RecordFailure("b", kStart + 599));
}

TEST_F(BanListTest, ABanEndsOnTimeAndCountingStartsAfresh) {
    for (int i = 0; i < 3; ++i) bans.RecordFailure("127.0.0.2", kStart);
    EXPECT_TRUE(bans.IsBanned("127.0.0.2", kStart + 3599));
    EXPECT_FALSE(bans.IsBanned("127.0.0.2", kStart + 3600));
    EXPECT_TRUE(bans.Bans(kStart + 3600).empty());
    EXPECT_EQ(bans.Tracked(), 0u) << "the ended ban is forgotten";
    EXPECT_FALSE(bans.RecordFailure("127.0.0.2", kStart + 3600));
    EXPECT_FALSE(bans.RecordFailure("127.0.0.2", kStart + 3601));
    EXPECT_TRUE(bans.RecordFailure("127.0.0.2", kStart + 3602));
}

TEST_F(BanListTest, LiftEndsABanButNotTheCountOfAnAddressThatIsNotBanned) {
    for (int i = 0; i < 3; ++i) bans.RecordFailure("127.0.0.2", kStart);
    bans.RecordFailure("127.0.0.3", kStart);
    bans.RecordFailure("127.0.0.3", kStart);
    EXPECT_TRUE(bans.Lift("127.0.0.2", kStart + 10));
    EXPECT_FALSE(bans.IsBanned("127.0.0.2", kStart + 10));
    EXPECT_FALSE(bans.Lift("127.0.0.2", kStart + 10));
    EXPECT_FALSE(bans.Lift("127.0.0.3", kStart + 10));
    EXPECT_TRUE(bans.RecordFailure("127.0.0.3", kStart + 10)) << "its two failures still count";
    EXPECT_FALSE(bans.RecordFailure("127.0.0.2", kStart + 10)) << "a lift forgives all";
}

TEST_F(BanListTest, ListIsOldestFirstAndForgetsEndedBans) {
    bans.SetRules({1, 600, 100});
    bans.RecordFailure("10.0.0.9", kStart);
    bans.RecordFailure("10.0.0.1", kStart + 50);
    bans.RecordFailure("10.0.0.5", kStart);
    std::vector<BanRecord> list = bans.Bans(kStart + 60);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].address, "10.0.0.5");
    EXPECT_EQ(list[1].address, "10.0.0.9");
    EXPECT_EQ(list[2].address, "10.0.0.1");
    list = bans.Bans(kStart + 100);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].address, "10.0.0.1");
}

TEST_F(BanListTest, TrackedAddressesAreCappedDroppingTheQuietestCountingOnesFirst) {
    bans.SetRules({2, 86400, 86400});
    bans.RecordFailure("banned", kStart);
    ASSERT_TRUE(bans.RecordFailure("banned", kStart));
    bans.RecordFailure("first", kStart);
    size_t flood = CBanList::kMostAddresses + 500;
    for (size_t n = 0; n < flood; ++n) bans.RecordFailure(Address(n), kStart + 1);
    EXPECT_EQ(bans.Tracked(), CBanList::kMostAddresses);
    EXPECT_TRUE(bans.IsBanned("banned", kStart + 2)) << "a flood does not lift a ban";
    EXPECT_TRUE(bans.RecordFailure(Address(flood - 1), kStart + 2)) << "the latest was kept";
    EXPECT_FALSE(bans.RecordFailure("first", kStart + 2)) << "the quietest was forgotten";
    EXPECT_LE(bans.Tracked(), CBanList::kMostAddresses);
}

TEST_F(BanListTest, FailuresSpreadOverMoreSecondsThanAreKeptStillAddUp) {
    bans.SetRules({1000, 3600, 60});
    for (platform::Time32 t = 0; t < 999; ++t)
        ASSERT_FALSE(bans.RecordFailure("127.0.0.2", kStart + t)) << t;
    EXPECT_TRUE(bans.RecordFailure("127.0.0.2", kStart + 999));
}

TEST_F(BanListTest, MinutesFromTheSettingsAreClampedAndTheBanEndNeverWrapsAround) {
    CBanList::Rules rules = CBanList::FromMinutes(-4, 0, INT_MAX);
    EXPECT_EQ(rules.failures, 0u);
    EXPECT_EQ(rules.windowSeconds, 60u);
    EXPECT_EQ(rules.banSeconds, UINT32_MAX);
    EXPECT_EQ(CBanList::FromMinutes(10, 10, 60), (CBanList::Rules{10, 600, 3600}));
    rules.failures = 1;
    bans.SetRules(rules);
    auto ban = bans.RecordFailure("127.0.0.2", kStart);
    ASSERT_TRUE(ban);
    EXPECT_EQ(ban->until, UINT32_MAX);
}

// Sessions count on several loop threads while admission and the console read.
TEST_F(BanListTest, ConcurrentFailuresStartExactlyOneBan) {
    bans.SetRules({4000, 600, 3600});
    std::atomic<int> started{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            bans.IsBanned("127.0.0.2", kStart);
            bans.Bans(kStart);
        }
    });
    std::vector<std::thread> loops;
    for (int k = 0; k < 4; ++k)
        loops.emplace_back([&, k] {
            for (int i = 0; i < 1000; ++i) {
                if (bans.RecordFailure("127.0.0.2", kStart)) ++started;
                bans.RecordFailure(Address(static_cast<size_t>(k * 1000 + i)), kStart);
            }
        });
    for (std::thread& t : loops) t.join();
    done = true;
    reader.join();
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(bans.IsBanned("127.0.0.2", kStart));
    EXPECT_EQ(bans.Tracked(), 4001u);
}
