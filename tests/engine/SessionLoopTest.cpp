#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/SessionLoop.h"
#include "platform/Snapshot.h"
#include "support/EngineFixture.h"

using namespace testsupport;

namespace {

// Records which thread each event reached it on.
class ThreadRecorder : public CFtpConnection {
public:
    using CFtpConnection::CFtpConnection;
    CFtpSocket* CreatePrimarySocket(CFtpConnection* o) override { return new CFtpSocket(o); }
    CFtpSocket* CreateSecondarySocket(CFtpConnection* o) override { return new CFtpSocket(o); }
    void OnReceive(CFtpSocket* s) override {
        char buffer[64];
        int n = s->Receive(buffer, sizeof buffer);
        std::lock_guard<std::mutex> guard(mutex);
        if (n > 0) received.append(buffer, static_cast<size_t>(n));
        threads.push_back(std::this_thread::get_id());
    }
    void OnSend(CFtpSocket*) override {
        std::lock_guard<std::mutex> guard(mutex);
        threads.push_back(std::this_thread::get_id());
    }
    size_t Seen() {
        std::lock_guard<std::mutex> guard(mutex);
        return threads.size();
    }

    std::mutex mutex;
    std::string received;
    std::vector<std::thread::id> threads;
};

}  // namespace

class SessionLoopTest : public EngineTest {};

TEST_F(SessionLoopTest, AConnectionAcceptedForAnotherLoopWaitsForItAndIsServedThere) {
    CSessionLoop other;
    ASSERT_TRUE(other.Start());
    std::unique_ptr<ThreadRecorder> remote;
    {
        CSocketEngine::HomeScope home(other.Sockets());
        remote = std::make_unique<ThreadRecorder>(&other.Sink());
        ASSERT_TRUE(remote->Create());
    }
    EXPECT_EQ(&remote->PrimarySocket()->Home(), &other.Sockets());

    RecordingConnection server(&window);
    ASSERT_TRUE(server.Create());
    CFtpSocket* listener = server.TertiarySocket();
    ASSERT_EQ(&listener->Home(), &engine.MainLoop());
    ASSERT_TRUE(listener->Create(0, SOCK_STREAM, "127.0.0.1"));
    ASSERT_TRUE(listener->Listen(5));
    std::string address;
    int port = 0;
    listener->GetSockName(address, port);
    int peer = ConnectBlocking(port);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(PumpUntil([&] { return server.Count(EV_ACCEPT) > 0; }));
    ASSERT_EQ(listener->Accept(*remote->PrimarySocket()), 1);
    ASSERT_TRUE(SendLine(peer, "hello"));

    // Nothing reaches the owner before its loop takes the connection up.
    PumpFor(300);
    EXPECT_EQ(remote->Seen(), 0u);
    EXPECT_EQ(other.Sockets().OpenSocketCount(), 1);

    remote->PrimarySocket()->Awaken();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> guard(remote->mutex);
            if (remote->received == "hello\r\n") break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    {
        std::lock_guard<std::mutex> guard(remote->mutex);
        EXPECT_EQ(remote->received, "hello\r\n");
        ASSERT_FALSE(remote->threads.empty());
        for (std::thread::id id : remote->threads) EXPECT_NE(id, std::this_thread::get_id());
    }
    other.Stop();
    ::close(peer);
}

TEST(SessionLoopDrain, DrainReturnsOnceEverythingPostedBeforeIsHandled) {
    CSessionLoop loop;
    ASSERT_TRUE(loop.Start());
    EXPECT_FALSE(loop.OnLoopThread());
    std::atomic<int> ran{0};
    std::atomic<bool> onThread{true};
    for (int i = 0; i < 100; ++i)
        loop.Loop().PostTask([&] {
            onThread = onThread && loop.OnLoopThread();
            ran.fetch_add(1);
        });
    EXPECT_TRUE(loop.Drain());
    EXPECT_EQ(ran.load(), 100);
    EXPECT_TRUE(onThread.load());
    loop.Stop();
}

TEST(SessionLoopCount, ZeroMeansOnePerProcessorAndTheCountIsBounded) {
    EXPECT_EQ(SessionLoopCount(1), 1);
    EXPECT_EQ(SessionLoopCount(3), 3);
    EXPECT_EQ(SessionLoopCount(1000), 64);
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    EXPECT_EQ(SessionLoopCount(0), std::clamp<long>(online, 1, 64));
    EXPECT_EQ(SessionLoopCount(-4), SessionLoopCount(0));
}

TEST(SnapshotTest, AReaderKeepsTheVersionItTookWhileAWriterReplacesIt) {
    platform::Snapshot<std::vector<int>> shared;
    shared.Set(std::vector<int>{1, 2, 3});
    std::shared_ptr<const std::vector<int>> held = shared.Get();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000 && !stop; ++i) shared.Set(std::vector<int>(10, i));
    });
    for (int i = 0; i < 2000; ++i) {
        auto now = shared.Get();
        ASSERT_TRUE(now->size() == 3 || now->size() == 10);
        if (now->size() == 10) {
            EXPECT_EQ(now->front(), now->back()) << "never half replaced";
        }
    }
    stop = true;
    writer.join();
    EXPECT_EQ(*held, (std::vector<int>{1, 2, 3}));
}
