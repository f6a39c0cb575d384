#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "support/EngineFixture.h"

using namespace testsupport;
using platform::Clock;

namespace {

// Implements only the two factories the base requires.
class TwoFactoryConnection : public CFtpConnection {
public:
    using CFtpConnection::CFtpConnection;
    CFtpSocket* CreatePrimarySocket(CFtpConnection* owner) override {
        return new CFtpSocket(owner);
    }
    CFtpSocket* CreateSecondarySocket(CFtpConnection* owner) override {
        ++secondaryMade;
        return new CFtpSocket(owner);
    }
    int secondaryMade = 0;
};

class FailingConnection : public RecordingConnection {
public:
    using RecordingConnection::RecordingConnection;
    CFtpSocket* CreateSecondarySocket(CFtpConnection*) override { return nullptr; }
};

class ThrowingConnection : public RecordingConnection {
public:
    using RecordingConnection::RecordingConnection;
    CFtpSocket* CreateTertiarySocket(CFtpConnection*) override { throw std::bad_alloc(); }
};

}  // namespace

using ConnectionTest = EngineTest;

TEST_F(ConnectionTest, TertiarySocketDefaultsToTheSecondaryKind) {
    TwoFactoryConnection connection(&window);
    Clock::Freeze(1700000000);
    ASSERT_TRUE(connection.Create());
    EXPECT_EQ(connection.CreatedTime(), 1700000000u);
    EXPECT_EQ(connection.secondaryMade, 2);
    EXPECT_NE(connection.TertiarySocket(), nullptr);
    EXPECT_EQ(connection.TertiarySocket()->Owner(), &connection);
}

TEST_F(ConnectionTest, CreateReportsMissingSocketsAndSurvivesOutOfMemory) {
    FailingConnection failing(&window);
    EXPECT_FALSE(failing.Create());
    ASSERT_EQ(failing.errors.size(), 1u);
    EXPECT_EQ(failing.errors[0], "Failed to create connection sockets");
    EXPECT_NE(failing.PrimarySocket(), nullptr) << "what was made stays until deleted";

    ThrowingConnection throwing(&window);
    EXPECT_FALSE(throwing.Create());
    EXPECT_EQ(throwing.PrimarySocket(), nullptr);
    EXPECT_EQ(throwing.SecondarySocket(), nullptr);
    EXPECT_TRUE(throwing.errors.empty());
}

TEST_F(ConnectionTest, CloseEventClosesWhateverSocketItNames) {
    RecordingConnection connection(&window);
    ASSERT_TRUE(connection.Create());
    CFtpSocket stranger(&connection);
    ASSERT_TRUE(stranger.Create(0));
    ASSERT_TRUE(stranger.Listen(1));
    window.Post(EV_CLOSE, &connection, &stranger);
    loop.RunPending();
    EXPECT_FALSE(stranger.IsOpen());
}

TEST_F(ConnectionTest, EveryEventMovesTheLastEventTimeAndTicksCarryNoSocket) {
    RecordingConnection connection(&window);
    ASSERT_TRUE(connection.Create());
    Clock::Freeze(1700000000);
    uint32_t codes[] = {EV_CONNECT_FAILED, EV_ACCEPT, EV_CONNECT,   EV_SEND,    EV_RECEIVE,
                        EV_CLOSE,          EV_TICK,   EV_TLS_START, EV_TLS_END, EV_TLS_FAILED};
    platform::Time32 t = 1700000000;
    for (uint32_t code : codes) {
        Clock::Advance(1);
        ++t;
        window.Post(code, &connection, code == EV_TICK ? nullptr : connection.SecondarySocket());
        loop.RunPending();
        EXPECT_EQ(connection.events.back().code, code);
        EXPECT_EQ(connection.LastEventTime(), t) << std::hex << code;
    }
    EXPECT_EQ(connection.Count(EV_TICK, nullptr), 1);
    EXPECT_FALSE(CMsgWnd::Route(0x4200, &connection, nullptr));
}

TEST_F(ConnectionTest, BaseListenerStampsEveryHandler) {
    CFtpListener listener(&window);
    Clock::Freeze(1700000100);
    listener.OnTlsFailed(nullptr);
    EXPECT_EQ(listener.LastEventTime(), 1700000100u);
    Clock::Advance(5);
    listener.OnTick();
    EXPECT_EQ(listener.LastEventTime(), 1700000105u);
}

TEST_F(ConnectionTest, EventsOfAnEarlierUseOfAPooledSocketAreDropped) {
    RecordingConnection connection(&window);
    ASSERT_TRUE(connection.Create());
    CFtpSocket* socket = connection.SecondarySocket();
    ASSERT_TRUE(socket->Create(0));
    window.Post(EV_CLOSE, &connection, socket);
    window.Post(EV_RECEIVE, &connection, socket);
    // The object is closed and bound to a new socket before the events are handled.
    socket->Close();
    ASSERT_TRUE(socket->Create(0));
    window.Post(EV_SEND, &connection, socket);
    loop.RunPending();
    ASSERT_EQ(connection.events.size(), 1u);
    EXPECT_EQ(connection.events[0].code, EV_SEND);
    EXPECT_EQ(socket->State(), SS_NONE) << "still created, not closed by the stale event";
    EXPECT_EQ(engine.OpenSocketCount(), 1);
}
