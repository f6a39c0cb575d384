#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/EventLoop.h"

using platform::EventLoop;
using platform::PostedEvent;

TEST(EventLoopTest, DeliversInPostingOrderOnTheRunningThread) {
    EventLoop loop;
    std::vector<uint32_t> seen;
    std::thread::id deliveredOn;
    loop.SetHandler([&](const PostedEvent& e) {
        seen.push_back(e.code);
        deliveredOn = std::this_thread::get_id();
    });
    std::thread poster([&] {
        for (uint32_t i = 0; i < 1000; ++i) loop.Post(i, nullptr, nullptr);
    });
    poster.join();
    EXPECT_TRUE(seen.empty());  // nothing runs until the loop thread runs it
    loop.RunOnce(1000);
    ASSERT_EQ(seen.size(), 1000u);
    for (uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
    EXPECT_EQ(deliveredOn, std::this_thread::get_id());
}

TEST(EventLoopTest, EventsPostedByAHandlerRunInALaterRound) {
    EventLoop loop;
    std::vector<uint32_t> seen;
    loop.SetHandler([&](const PostedEvent& e) {
        seen.push_back(e.code);
        if (e.code == 1) loop.Post(3, nullptr, nullptr);
    });
    loop.Post(1, nullptr, nullptr);
    loop.Post(2, nullptr, nullptr);
    loop.RunPending();
    EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2}));
    loop.RunOnce(1000);
    EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2, 3}));
}

TEST(EventLoopTest, ManyPostersKeepEachPostersOrder) {
    EventLoop loop;
    std::vector<std::vector<uintptr_t>> perPoster(4);
    std::atomic<int> delivered{0};
    loop.SetHandler([&](const PostedEvent& e) {
        perPoster[e.code].push_back(reinterpret_cast<uintptr_t>(e.first));
        ++delivered;
    });
    std::vector<std::thread> posters;
    for (uint32_t p = 0; p < 4; ++p)
        posters.emplace_back([&loop, p] {
            for (uintptr_t i = 0; i < 5000; ++i) loop.Post(p, reinterpret_cast<void*>(i), nullptr);
        });
    while (delivered < 20000) loop.RunOnce(100);
    for (auto& t : posters) t.join();
    for (auto& list : perPoster) {
        ASSERT_EQ(list.size(), 5000u);
        for (uintptr_t i = 0; i < 5000; ++i) ASSERT_EQ(list[i], i);
    }
}

TEST(EventLoopTest, TimersFireAndCanBeRemoved) {
    EventLoop loop;
    int fast = 0, slow = 0;
    int fastId = loop.AddTimer(10, [&] { ++fast; });
    loop.AddTimer(1000, [&] { ++slow; });
    ASSERT_GT(fastId, 0);
    uint64_t start = platform::MonotonicMs();
    while (fast < 3 && platform::MonotonicMs() - start < 2000) loop.RunOnce(100);
    EXPECT_GE(fast, 3);
    EXPECT_EQ(slow, 0);
    loop.RemoveTimer(fastId);
    int stopped = fast;
    start = platform::MonotonicMs();
    while (platform::MonotonicMs() - start < 50) loop.RunOnce(20);
    EXPECT_EQ(fast, stopped);
}

TEST(EventLoopTest, QuitFromAnotherThreadEndsRun) {
    EventLoop loop;
    std::thread stopper([&] { loop.Quit(); });
    loop.Run();  // returns once the quit is seen
    stopper.join();
    EXPECT_TRUE(loop.QuitRequested());
}
