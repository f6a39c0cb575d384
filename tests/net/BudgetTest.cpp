#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "net/NetRuntime.h"
#include "platform/Clock.h"
#include "support/EngineFixture.h"

using namespace testsupport;
using platform::Clock;

TEST(BudgetMath, RateIsSharedByTheActiveSessionsAndNeverZero) {
    EXPECT_EQ(ComputeBudget(1000, 3), 341333u);
    EXPECT_EQ(ComputeBudget(1000, 1), 1024000u);
    EXPECT_EQ(ComputeBudget(1000, 0), 1024000u);
    EXPECT_EQ(ComputeBudget(3, 1), 3072u);
    EXPECT_EQ(ComputeBudget(0, 1), 1u);
    EXPECT_EQ(ComputeBudget(1, 4096), 1u);
}

class BudgetTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Clock::Freeze(1800000000);
        engine.StartBudgetPeriod();
        engine.SetBudgetSource([this](platform::Time32) {
            ++sourceCalls;
            return std::optional<int64_t>(kilobytes);
        });
        engine.SetBudgetSessions(1);
        ASSERT_TRUE(engine.BudgetEnabled());
        ASSERT_EQ(engine.Budget(), 3072u);

        ASSERT_TRUE(server.Create());
        ASSERT_TRUE(server.TertiarySocket()->Create(0, SOCK_STREAM, "127.0.0.1"));
        ASSERT_TRUE(server.TertiarySocket()->Listen(5));
        std::string address;
        int port = 0;
        server.TertiarySocket()->GetSockName(address, port);
        peer = ConnectBlocking(port);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(PumpUntil([&] { return server.Count(EV_ACCEPT) > 0; }));
        ASSERT_EQ(server.TertiarySocket()->Accept(*server.PrimarySocket()), 1);
        socket = server.PrimarySocket();
    }
    void TearDown() override {
        ::close(peer);
        EngineTest::TearDown();
    }
    // Three ticks with a second gone: the budget period restarts.
    void NextPeriod() {
        Clock::Advance(1);
        for (int i = 0; i < 3; ++i) engine.BudgetTick();
    }

    RecordingConnection server{&window};
    CFtpSocket* socket = nullptr;
    int peer = -1;
    int64_t kilobytes = 3;
    int sourceCalls = 0;
};

TEST_F(BudgetTest, ReceivesAreSlicedToAThirdAndStopAtTheBudget) {
    std::vector<char> data(10000, 'd');
    ASSERT_EQ(::send(peer, data.data(), data.size(), 0), 10000);
    ASSERT_TRUE(PumpUntil([&] { return server.Count(EV_RECEIVE, socket) > 0; }));
    char buffer[65536];
    int total = 0, n;
    while ((n = socket->Receive(buffer, sizeof buffer)) > 0) {
        EXPECT_LE(n, 1024);
        total += n;
    }
    EXPECT_EQ(total, 3072);
    EXPECT_FALSE(socket->HasBudget());

    NextPeriod();
    EXPECT_TRUE(socket->HasBudget());
    total = 0;
    while ((n = socket->Receive(buffer, sizeof buffer)) > 0) total += n;
    EXPECT_EQ(total, 3072);
}

TEST_F(BudgetTest, WhatComesBackIsTheTimeGoneNotAWholeSecondAtEachNewSecond) {
    std::vector<char> data(10000, 's');
    auto sendAll = [&] {
        int total = 0, n;
        while ((n = socket->Send(data.data(), static_cast<int>(data.size()))) > 0) total += n;
        return total;
    };
    // A transfer that begins a moment before the second changes: its budget is spent, and
    // the new second gives back only the quarter second gone, not a whole second's budget.
    Clock::AdvanceMs(750);
    for (int i = 0; i < 3; ++i) engine.BudgetTick();  // the ticks go on meanwhile
    EXPECT_EQ(sendAll(), 3072);
    Clock::AdvanceMs(250);
    for (int i = 0; i < 3; ++i) engine.BudgetTick();
    EXPECT_EQ(sendAll(), 768);
    // Over the next second the rate holds: a second's worth in steps.
    for (int step = 0; step < 4; ++step) {
        Clock::AdvanceMs(250);
        for (int i = 0; i < 3; ++i) engine.BudgetTick();
        EXPECT_EQ(sendAll(), 768) << step;
    }
    // Idle for long gives back one second's budget, no more.
    Clock::Advance(5);
    for (int i = 0; i < 3; ++i) engine.BudgetTick();
    EXPECT_EQ(sendAll(), 3072);
    // Time without a limit saves nothing up: the first tick once a limit is back gives back
    // only the time since the last tick, not a second's worth just spent.
    engine.SetBudgetEnabled(false);
    Clock::Advance(5);
    for (int i = 0; i < 3; ++i) engine.BudgetTick();
    engine.SetBudgetEnabled(true);
    Clock::AdvanceMs(100);
    for (int i = 0; i < 3; ++i) engine.BudgetTick();
    EXPECT_EQ(sendAll(), 307);
}

TEST_F(BudgetTest, SendsAreSlicedAndASpentBudgetWaitsForTheTick) {
    std::vector<char> data(10000, 's');
    int total = 0, n;
    while ((n = socket->Send(data.data(), static_cast<int>(data.size()))) > 0) {
        EXPECT_LE(n, 1024);
        total += n;
    }
    EXPECT_EQ(total, 3072);
    // The budget is spent: no send event until a new period begins.
    PumpFor(100);
    server.Clear();
    PumpFor(250);
    EXPECT_EQ(server.Count(EV_SEND, socket), 0);
    NextPeriod();
    EXPECT_EQ(socket->Send(data.data(), 5000), 1024);
}

TEST_F(BudgetTest, FilesSentStraightFromTheDescriptorKeepToTheBudgetAndTheOffset) {
    char name[] = "/tmp/qftp-sendfile-XXXXXX";
    int file = ::mkstemp(name);
    ASSERT_GE(file, 0);
    ::unlink(name);
    std::vector<char> data(10000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13);
    ASSERT_EQ(::write(file, data.data(), data.size()), 10000);
    ASSERT_EQ(::lseek(file, 100, SEEK_SET), 100);
    int total = 0, n;
    while ((n = socket->SendFile(file, 10000)) > 0) {
        EXPECT_LE(n, 1024);
        total += n;
    }
    EXPECT_EQ(n, 0) << "a spent budget is nothing now, not an end";
    EXPECT_EQ(total, 3072);
    EXPECT_EQ(::lseek(file, 0, SEEK_CUR), 100 + 3072) << "the offset moved on";
    socket->SetBudgetExempt(true);
    while ((n = socket->SendFile(file, 10000)) > 0) total += n;
    EXPECT_EQ(n, CSocketEx::kEndOfFile);
    EXPECT_EQ(total, 9900);
    std::vector<char> got(9900);
    size_t have = 0;
    while (have < got.size()) {
        ssize_t r = ::recv(peer, got.data() + have, got.size() - have, 0);
        ASSERT_GT(r, 0);
        have += static_cast<size_t>(r);
    }
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + 100));
    EXPECT_EQ(socket->BytesSent(), 9900u);
    ::close(file);
}

TEST_F(BudgetTest, UploadsSplicedIntoAPipeKeepToTheBudgetAndSeeThePeerClose) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_NONBLOCK), 0);
    std::vector<char> data(10000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 11);
    ASSERT_EQ(::send(peer, data.data(), data.size(), 0), 10000);
    ASSERT_TRUE(PumpUntil([&] { return server.Count(EV_RECEIVE, socket) > 0; }));
    int total = 0, n;
    while ((n = socket->ReceiveToPipe(ends[1], 10000)) > 0) {
        EXPECT_LE(n, 1024);
        total += n;
    }
    EXPECT_EQ(n, 0);
    EXPECT_EQ(total, 3072);
    socket->SetBudgetExempt(true);
    while (total < 10000 && (n = socket->ReceiveToPipe(ends[1], 10000)) >= 0) total += n;
    EXPECT_EQ(total, 10000);
    EXPECT_EQ(socket->BytesReceived(), 10000u);
    std::vector<char> got(10000);
    ASSERT_EQ(::read(ends[0], got.data(), got.size()), 10000);
    EXPECT_EQ(got, data);

    server.Clear();
    ::shutdown(peer, SHUT_WR);
    bool ended = false;
    ASSERT_TRUE(PumpUntil([&] {
        if (!ended) ended = socket->ReceiveToPipe(ends[1], 10000) == 0 && !socket->IsOpen();
        return ended && server.Count(EV_CLOSE, socket) > 0;
    }));
    ::close(ends[0]);
    ::close(ends[1]);
}

TEST_F(BudgetTest, ExemptSocketsAreNotLimited) {
    socket->SetBudgetExempt(true);
    std::vector<char> data(10000, 'e');
    EXPECT_EQ(socket->Send(data.data(), 10000), 10000);
}

TEST_F(BudgetTest, BudgetFollowsSessionCountAndRefreshesEveryTenSeconds) {
    engine.SetBudgetSessions(3);
    EXPECT_EQ(engine.Budget(), 1024u);
    kilobytes = 1000;
    int before = sourceCalls;
    CThrottleRuntime runtime;  // only its tick is used here
    Clock::Advance(9);
    for (int i = 0; i < 3; ++i) runtime.Tick(0);
    EXPECT_EQ(sourceCalls, before) << "not yet ten seconds";
    Clock::Advance(1);
    for (int i = 0; i < 3; ++i) runtime.Tick(0);
    EXPECT_EQ(sourceCalls, before + 1);
    EXPECT_EQ(engine.Budget(), 341333u);
}

TEST_F(BudgetTest, NoLimitWhenTheSourceSaysSo) {
    engine.SetBudgetSource([](platform::Time32) { return std::optional<int64_t>(); });
    engine.RefreshBudget();
    EXPECT_FALSE(engine.BudgetEnabled());
    std::vector<char> data(10000, 'n');
    EXPECT_EQ(socket->Send(data.data(), 10000), 10000);
}
