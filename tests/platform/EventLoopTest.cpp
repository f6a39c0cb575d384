#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/EventLoop.h"
#include "platform/Signals.h"

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

TEST(EventLoopTest, ABusyLoopStillRunsTimersAndOutsidePosts) {
    EventLoop loop;
    int rounds = 0, fired = 0, outside = 0;
    loop.SetHandler([&](const PostedEvent& e) {
        if (e.code == 1) {
            ++rounds;
            loop.Post(1, nullptr, nullptr);  // a transfer that always has its next step
        } else {
            ++outside;
        }
    });
    loop.AddTimer(20, [&] { ++fired; });
    loop.Post(1, nullptr, nullptr);
    std::thread poster([&] { loop.Post(2, nullptr, nullptr); });
    poster.join();
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(200))
        loop.RunOnce(-1);  // never blocks: the queue is never empty
    EXPECT_GT(rounds, 100);
    EXPECT_GE(fired, 3);
    EXPECT_EQ(outside, 1);
}

TEST(EventLoopTest, AnOutsideDriverSeesWhatHandlersPosted) {
    // A driver that waits for the descriptor (a GUI's socket notifier) and then runs
    // RunPending must be woken for events that handlers posted for a later round.
    EventLoop loop;
    int seen = 0;
    loop.SetHandler([&](const PostedEvent& e) {
        ++seen;
        if (e.code == 1) loop.Post(2, nullptr, nullptr);
    });
    loop.Post(1, nullptr, nullptr);
    pollfd fd{loop.Fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&fd, 1, 1000), 1);
    loop.RunPending();
    EXPECT_EQ(seen, 1);
    ASSERT_EQ(::poll(&fd, 1, 1000), 1) << "the handler's post left the descriptor readable";
    loop.RunPending();
    EXPECT_EQ(seen, 2);
}

TEST(EventLoopTest, ReadersAreCalledWhenTheirDescriptorIsReadable) {
    platform::EventLoop loop;
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    int calls = 0;
    ASSERT_TRUE(loop.AddReader(pipeFds[0], [&] {
        char c;
        ASSERT_EQ(::read(pipeFds[0], &c, 1), 1);
        ++calls;
    }));
    loop.RunOnce(0);
    EXPECT_EQ(calls, 0);
    ASSERT_EQ(::write(pipeFds[1], "x", 1), 1);
    loop.RunOnce(1000);
    EXPECT_EQ(calls, 1);
    loop.RemoveReader(pipeFds[0]);
    ASSERT_EQ(::write(pipeFds[1], "y", 1), 1);
    loop.RunOnce(0);
    EXPECT_EQ(calls, 1);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(EventLoopTest, BusyTimeCountsHandlersNotWaiting) {
    EventLoop loop;
    loop.RunOnce(30);  // nothing to do: waiting is not busy
    EXPECT_LT(loop.BusyNanoseconds(), 10'000'000u);
    loop.SetHandler([&](const PostedEvent& e) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // A handler that runs the loop again is counted once, by the outer run.
        if (e.code == 1) loop.RunOnce(0);
    });
    loop.Post(1, nullptr, nullptr);
    loop.RunOnce(0);
    uint64_t busy = loop.BusyNanoseconds();
    EXPECT_GE(busy, 20'000'000u);
    EXPECT_LT(busy, 1'000'000'000u);
    loop.Post(2, nullptr, nullptr);
    loop.RunOnce(0);
    EXPECT_GE(loop.BusyNanoseconds() - busy, 20'000'000u);
}

TEST(SignalWatchTest, SignalsArriveAsReadableEventsInsteadOfEndingTheProcess) {
    platform::SignalWatch watch;
    ASSERT_TRUE(watch.Ok());
    EXPECT_EQ(watch.Take(), 0);
    ::raise(SIGHUP);
    ::raise(SIGTERM);
    EXPECT_EQ(watch.Take(), SIGHUP);
    EXPECT_EQ(watch.Take(), SIGTERM);
    EXPECT_EQ(watch.Take(), 0);
}
