#include <gtest/gtest.h>

#include <unistd.h>

#include "engine/ServerController.h"
#include "support/EngineFixture.h"

using namespace testsupport;

namespace {

// A pooled session reduced to what the controller relies on.
class TestSession : public CFtpPooledSession {
public:
    using CFtpPooledSession::CFtpPooledSession;
    CFtpSocket* CreatePrimarySocket(CFtpConnection* o) override { return new CFtpSocket(o); }
    CFtpSocket* CreateSecondarySocket(CFtpConnection* o) override { return new CFtpSocket(o); }
    void Greet(bool) override { ++greeted; }
    void ShutdownSession() override { ++shutDown; }
    void Disconnect() override { primarySocket_->Close(); }
    void DropClient() override {
        primarySocket_->Close();
        ++dropped;
    }
    std::string UserName() const override { return "anonymous"; }
    std::string Password() const override { return "guest@"; }
    std::string LastCommandLine() const override { return "pass secret"; }
    std::string CurrentFolder() const override { return "\\pub\\"; }
    platform::Time32 LoginTime() const override { return 1000; }
    int CloseReason() const override { return reason; }
    void OnClose(CFtpSocket* s) override {
        CFtpConnection::OnClose(s);
        if (s == primarySocket_) reason = 1;
    }
    void OnTick() override {
        CFtpConnection::OnTick();
        ++ticked;
        ProxyHeaderOverdue(platform::Clock::Now());
        if (!primarySocket_->IsOpen() && ++ticks == 2) controller_->ReleaseSession(this);
    }
    void GoQuietUntil(platform::Time32 time) { QuietUntil(time); }
    void OnReceive(CFtpSocket* s) override {
        CFtpConnection::OnReceive(s);
        if (s == primarySocket_ && ProxyHeaderPending()) return ReadProxyHeader();
        activeWhenReceived = activeIndex;
    }
    void OnDrained(uint32_t mark) override {
        CFtpConnection::OnDrained(mark);
        if (!primarySocket_->IsOpen()) controller_->ReleaseSession(this);
    }
    int greeted = 0, shutDown = 0, ticks = 0, ticked = 0, reason = 0, activeWhenReceived = -2,
        dropped = 0;
};

class TestController : public CFtpServerController {
public:
    using CFtpServerController::CFtpServerController;
    CFtpPooledSession* CreateSessionObject(CFtpEventSink* sink) override {
        auto* s = new TestSession(this, sink);
        made.push_back(s);
        return s;
    }
    CFtpSocket* CreatePrimarySocket(CFtpConnection* o) override { return new CFtpSocket(o); }
    CFtpSocket* CreateSecondarySocket(CFtpConnection* o) override { return new CFtpSocket(o); }
    void ReportError(const std::string& text) override { errors.push_back(text); }
    size_t& ConnCursor() { return connCursor_; }
    size_t& FileEventCursor() { return fileEventCursor_; }
    std::vector<TestSession*> made;
    std::vector<std::string> errors;
};

}  // namespace

class ControllerTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        int probe = 0;
        ::close(ListenBlocking(probe));
        port = probe;
        controller.Settings().SetString("NetTcpPortState", "true");
        controller.Settings().SetInt("NetTcpPort", port);
        controller.Settings().SetInt("NetMaxConnection", 3);
        controller.Settings().SetInt("NetLoginsPerIp", 4);
        ASSERT_TRUE(controller.Create());
        ASSERT_TRUE(controller.StartServer()) << controller.errors.back();
    }
    void TearDown() override {
        controller.StopServer(false);
        EngineTest::TearDown();
    }
    // Ticks the controller and runs the sessions' ticks.
    void Tick() {
        controller.OnTick();
        loop.RunPending();
    }

    int port = 0;
    TestController controller{&window};
};

TEST_F(ControllerTest, AdmissionTakesTheLastFreeSessionAndListsIt) {
    EXPECT_EQ(controller.PoolSize(), 3);
    int a = ConnectBlocking(port), b = ConnectBlocking(port);
    ASSERT_TRUE(PumpUntil([&] { return controller.ActiveSessionCount() == 2; }));
    EXPECT_EQ(controller.made[2]->activeIndex, 0) << "the free list is used as a stack";
    EXPECT_EQ(controller.made[1]->activeIndex, 1);
    EXPECT_EQ(controller.made[2]->sessionNumber, 1u);
    EXPECT_EQ(controller.made[2]->greeted, 1);
    EXPECT_EQ(controller.Accepted(), 2u);
    std::vector<CFtpConnMsg> list = controller.SessionList();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].index, 1);
    EXPECT_EQ(list[1].peerAddress, "127.0.0.1");
    controller.NoteSessionCommand(controller.made[2], controller.made[2]->LastCommandLine());
    controller.UpdateSessionInfo(controller.made[2]);
    list = controller.SessionList();
    EXPECT_EQ(list[0].lastCommand, "PASS *");
    EXPECT_EQ(list[0].user, "guest@") << "anonymous shows the password it gave";
    ::close(a);
    ::close(b);
}

TEST_F(ControllerTest, EndedSessionIsReleasedOnTheSecondTickAndTheCursorMovesBack) {
    int a = ConnectBlocking(port), b = ConnectBlocking(port);
    ASSERT_TRUE(PumpUntil([&] { return controller.ActiveSessionCount() == 2; }));
    controller.ConnCursor() = 2;
    TestSession* first = controller.made[2];
    ::close(a);
    first->PrimarySocket()->SetReadWanted(true);
    ASSERT_TRUE(PumpUntil([&] {
        char buffer[8];
        first->PrimarySocket()->Receive(buffer, sizeof buffer);
        return !first->PrimarySocket()->IsOpen();
    }));
    Tick();
    EXPECT_EQ(controller.ActiveSessionCount(), 2) << "not on the first tick";
    Tick();
    EXPECT_EQ(controller.ActiveSessionCount(), 1);
    EXPECT_EQ(first->activeIndex, -1);
    EXPECT_EQ(controller.made[1]->activeIndex, 0) << "later sessions move up";
    EXPECT_EQ(controller.SessionList().size(), 1u);
    EXPECT_EQ(controller.ConnCursor(), 1u);
    EXPECT_EQ(controller.EndedByReason()[0], 1u);
    // The released session is the next one taken.
    int c = ConnectBlocking(port);
    ASSERT_TRUE(PumpUntil([&] { return controller.ActiveSessionCount() == 2; }));
    EXPECT_EQ(first->activeIndex, 1);
    ::close(b);
    ::close(c);
}

TEST_F(ControllerTest, ClosedSessionIsReleasedOnceWhatWasQueuedForItIsHandled) {
    int a = ConnectBlocking(port);
    ASSERT_TRUE(PumpUntil([&] { return controller.ActiveSessionCount() == 1; }));
    TestSession* session = controller.made[2];
    window.Post(EV_RECEIVE, session, session->PrimarySocket());  // raised before the close
    session->PrimarySocket()->Close();
    window.PostDrained(session, 1);
    loop.RunPending();
    EXPECT_EQ(session->activeWhenReceived, 0) << "the earlier event still found its session";
    EXPECT_EQ(controller.ActiveSessionCount(), 0) << "released without waiting for a tick";
    auto ended = [&] {
        uint64_t sum = 0;
        for (uint64_t n : controller.EndedByReason()) sum += n;
        return sum;
    };
    EXPECT_EQ(ended(), 1u);
    Tick();
    Tick();  // the fallback release finds nothing to do
    controller.ReleaseSession(session);
    EXPECT_EQ(ended(), 1u);
    ::close(a);
}

TEST_F(ControllerTest, AQuietSessionIsNotTickedUntilItsTimeAnEventOrANewConfiguration) {
    platform::Clock::Freeze(1800000000);
    int a = ConnectBlocking(port);
    ASSERT_TRUE(PumpUntil([&] { return controller.ActiveSessionCount() == 1; }));
    TestSession* session = controller.made[2];
    Tick();
    EXPECT_EQ(session->ticked, 1);
    session->GoQuietUntil(1800000010);
    Tick();
    EXPECT_EQ(session->ticked, 1) << "quiet";
    platform::Clock::Advance(10);
    Tick();
    EXPECT_EQ(session->ticked, 2) << "its time has come";

    session->GoQuietUntil(1800000100);
    window.Post(EV_RECEIVE, session, session->PrimarySocket());
    loop.RunPending();
    Tick();
    EXPECT_EQ(session->ticked, 3) << "an event ends the quiet";

    session->GoQuietUntil(1800000100);
    Tick();
    controller.EndQuietSessions();
    Tick();
    EXPECT_EQ(session->ticked, 4) << "so does a new configuration";
    ::close(a);
}

TEST_F(ControllerTest, FileEventsKeepTheNewest256) {
    controller.FileEventCursor() = 10;
    for (int i = 0; i < 257; ++i) {
        CFtpFileEventMsg event;
        event.path = "f" + std::to_string(i);
        controller.AddFileEvent(event);
    }
    std::vector<CFtpFileEventMsg> events = controller.FileEvents();
    ASSERT_EQ(events.size(), 256u);
    EXPECT_EQ(events.front().path, "f1");
    EXPECT_EQ(events.front().sequence, 1u);
    EXPECT_EQ(events.back().sequence, 256u);
    EXPECT_EQ(controller.FileEventCursor(), 9u);
}

TEST_F(ControllerTest, RestartWaitsForEndingSessionsAndStopTellsThem) {
    int a = ConnectBlocking(port);
    ASSERT_TRUE(PumpUntil([&] { return controller.ActiveSessionCount() == 1; }));
    controller.StopServer(true);
    EXPECT_FALSE(controller.IsListening());
    EXPECT_FALSE(controller.IsStopped()) << "a session is still active";
    EXPECT_EQ(controller.made[2]->shutDown, 1);
    controller.DestroyPool();
    EXPECT_EQ(controller.PoolSize(), 3) << "live sessions are not destroyed";
    EXPECT_FALSE(controller.StartServer());
    controller.made[2]->PrimarySocket()->Close();
    Tick();
    Tick();
    EXPECT_TRUE(controller.IsStopped());
    controller.made.clear();
    EXPECT_TRUE(controller.StartServer());
    EXPECT_EQ(controller.PoolSize(), 3);
    ::close(a);
}

TEST_F(ControllerTest, HourlySamplesShareTheHour) {
    History history;
    CFtpServerController::AddSample(history, 3600 * 100, 1);
    CFtpServerController::AddSample(history, 3600 * 100 + 60, 2);
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].value, 2);
    for (int h = 1; h < 200; ++h) CFtpServerController::AddSample(history, 3600 * (100 + h), h);
    EXPECT_EQ(history.size(), 168u);
    EXPECT_EQ(history.back().value, 199);
}

TEST_F(ControllerTest, ABannedAddressIsClosedWithoutAGreetingUntilItsBanIsLiftedOrBansGoOff) {
    controller.StopServer(false);
    controller.Settings().SetInt("SysBanFailures", 2);
    controller.made.clear();
    ASSERT_TRUE(controller.StartServer());
    controller.CountFailedLogin("127.0.0.1");
    int a = ConnectBlocking(port);
    ASSERT_TRUE(PumpUntil([&] { return controller.ActiveSessionCount() == 1; }))
        << "one failure is not enough";
    controller.CountFailedLogin("127.0.0.1");
    EXPECT_TRUE(controller.IsBanned("127.0.0.1"));
    EXPECT_FALSE(controller.IsBanned("127.0.0.2"));
    int b = ConnectBlocking(port);
    ASSERT_TRUE(PumpUntil([&] { return controller.Rejected() == 1; }));
    char byte = 0;
    EXPECT_EQ(::recv(b, &byte, 1, 0), 0) << "closed without a greeting";
    EXPECT_EQ(controller.ActiveSessionCount(), 1);
    int greeted = 0;
    for (TestSession* s : controller.made) greeted += s->greeted;
    EXPECT_EQ(greeted, 1);

    EXPECT_TRUE(controller.Bans().Lift("127.0.0.1", platform::Clock::Now()));
    int c = ConnectBlocking(port);
    ASSERT_TRUE(PumpUntil([&] { return controller.ActiveSessionCount() == 2; }));
    for (int fd : {a, b, c}) ::close(fd);
}

TEST_F(ControllerTest, WithoutTheBanSettingFailuresBanNobody) {
    for (int i = 0; i < 50; ++i) controller.CountFailedLogin("127.0.0.1");
    EXPECT_FALSE(controller.IsBanned("127.0.0.1"));
    EXPECT_EQ(controller.Bans().Tracked(), 0u);
}

TEST_F(ControllerTest, BehindALoadBalancerTheHeadersClientIsAdmittedAndShown) {
    controller.StopServer(false);
    controller.Settings().SetString("NetProxyProtocol", "true");
    controller.Settings().SetString("NetProxyTrusted", "");
    controller.made.clear();
    EXPECT_FALSE(controller.StartServer()) << "on, but nobody to trust";
    EXPECT_EQ(controller.errors.back(),
              "NetProxyProtocol is on, but NetProxyTrusted names no load balancer to trust");
    controller.Settings().SetString("NetProxyTrusted", "127.0.0.1");
    controller.Settings().SetInt("NetLoginsPerIp", 1);
    controller.Settings().SetInt("NetMaxConnection", 6);
    ASSERT_TRUE(controller.StartServer()) << controller.errors.back();
    auto greeted = [&] {
        int count = 0;
        for (TestSession* s : controller.made) count += s->greeted;
        return count;
    };
    auto dropped = [&] {
        int count = 0;
        for (TestSession* s : controller.made) count += s->dropped;
        return count;
    };

    // Not greeted before the header; then shown, counted and checked as the client it names.
    int a = ConnectBlocking(port);
    ASSERT_TRUE(PumpUntil([&] { return controller.ActiveSessionCount() == 1; }));
    EXPECT_EQ(greeted(), 0);
    ASSERT_TRUE(SendLine(a, "PROXY TCP4 192.0.2.9 127.0.0.1 5555 21"));
    ASSERT_TRUE(PumpUntil([&] { return greeted() == 1; }));
    std::vector<CFtpConnMsg> list = controller.SessionList();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].peerAddress, "192.0.2.9");

    // The per-address limit counts the client, not the balancer.
    int b = ConnectBlocking(port);
    ASSERT_TRUE(SendLine(b, "PROXY TCP4 192.0.2.9 127.0.0.1 5556 21"));
    ASSERT_TRUE(PumpUntil([&] { return dropped() == 1; }));
    EXPECT_EQ(greeted(), 1);
    int c = ConnectBlocking(port);
    ASSERT_TRUE(SendLine(c, "PROXY TCP4 192.0.2.10 127.0.0.1 5557 21"));
    ASSERT_TRUE(PumpUntil([&] { return greeted() == 2; }));

    // A broken header ends that connection only.
    int d = ConnectBlocking(port);
    ASSERT_TRUE(SendLine(d, "USER anonymous"));
    ASSERT_TRUE(PumpUntil([&] { return dropped() == 2; }));
    char byte = 0;
    EXPECT_LE(::recv(d, &byte, 1, 0), 0) << "closed without a word (reset: its line was unread)";
    EXPECT_EQ(greeted(), 2);
    for (int fd : {a, b, c, d}) ::close(fd);
}

TEST_F(ControllerTest, BehindALoadBalancerOtherSourcesAreRefused) {
    controller.StopServer(false);
    controller.Settings().SetString("NetProxyProtocol", "true");
    controller.Settings().SetString("NetProxyTrusted", "127.0.0.2, 2001:db8::/32");
    controller.made.clear();
    ASSERT_TRUE(controller.StartServer()) << controller.errors.back();
    int a = ConnectBlocking(port);
    ASSERT_TRUE(PumpUntil([&] { return controller.Rejected() == 1; }));
    char byte = 0;
    EXPECT_EQ(::recv(a, &byte, 1, 0), 0);
    EXPECT_EQ(controller.ActiveSessionCount(), 0);
    ::close(a);
}

TEST_F(ControllerTest, BehindALoadBalancerAHeaderThatDoesNotComeEndsItsConnection) {
    controller.StopServer(false);
    controller.Settings().SetString("NetProxyProtocol", "true");
    controller.Settings().SetString("NetProxyTrusted", "127.0.0.1");
    controller.made.clear();
    ASSERT_TRUE(controller.StartServer()) << controller.errors.back();
    platform::Clock::Freeze(1'000'000);
    int a = ConnectBlocking(port);
    ASSERT_TRUE(PumpUntil([&] { return controller.ActiveSessionCount() == 1; }));
    // Half a header, then nothing.
    ASSERT_EQ(::send(a, "PROXY TCP4 192.0", 16, 0), 16);
    TestSession* s = nullptr;
    for (TestSession* made : controller.made)
        if (made->activeIndex == 0) s = made;
    ASSERT_NE(s, nullptr);
    platform::Clock::Advance(9);
    Tick();
    EXPECT_EQ(s->dropped, 0) << "nine seconds are not ten";
    platform::Clock::Advance(1);
    Tick();
    EXPECT_EQ(s->dropped, 1);
    EXPECT_EQ(s->greeted, 0);
    platform::Clock::Release();
    ::close(a);
}
