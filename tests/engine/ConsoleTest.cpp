#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <optional>

#include "config/IpRules.h"
#include "engine/ControlConnection.h"
#include "engine/ThrottleStore.h"
#include "messages/ThrottleData.h"
#include "net/NetRuntime.h"
#include "net/ThrottleSchedule.h"
#include "net/TlsRuntime.h"
#include "platform/RegistryFile.h"
#include "support/EngineFixture.h"
#include "support/TestTls.h"

using namespace testsupport;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Frame(int type, CFtpMsgObject& message) {
    Bytes payload = StoreMessage(message);
    Bytes frame(8);
    uint32_t length = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) {
        frame[i] = static_cast<uint8_t>(static_cast<uint32_t>(type) >> (8 * i));
        frame[4 + i] = static_cast<uint8_t>(length >> (8 * i));
    }
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

CFtpReqMsg Request(const std::string& password) {
    CFtpReqMsg request;
    request.password = password;
    return request;
}

// Takes complete frames off the front of a byte stream.
std::optional<std::pair<int, Bytes>> NextFrame(Bytes& stream) {
    if (stream.size() < 8) return std::nullopt;
    uint32_t length = stream[4] | stream[5] << 8 | stream[6] << 16 | uint32_t{stream[7]} << 24;
    if (stream.size() < 8 + length) return std::nullopt;
    std::pair<int, Bytes> frame{stream[0], Bytes(stream.begin() + 8, stream.begin() + 8 + length)};
    stream.erase(stream.begin(), stream.begin() + 8 + length);
    return frame;
}

// A console of the test's own on a plain socket.
class RawConsole {
public:
    explicit RawConsole(int port) : fd_(ConnectBlocking(port)) {}
    ~RawConsole() {
        if (fd_ >= 0) ::close(fd_);
    }
    void Send(const Bytes& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Takes what has arrived; true once the server has closed the connection.
    bool Poll() {
        uint8_t buffer[65536];
        for (;;) {
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                stream.insert(stream.end(), buffer, buffer + n);
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed = true;
            return closed;
        }
    }
    Bytes stream;
    bool closed = false;

private:
    int fd_;
};

class TestConsoleServer : public CFtpControlConnection {
public:
    using CFtpControlConnection::CFtpControlConnection;
    CFtpSocket* CreatePrimarySocket(CFtpConnection* owner) override {
        return new CFtpSocket(owner);
    }
    CFtpSocket* CreateSecondarySocket(CFtpConnection* owner) override {
        return new CFtpSocket(owner);
    }
    void ReportError(const std::string& text) override { errors.push_back(text); }
    void ServeRequest() override {
        ++serves;
        if (!holdRequest) CFtpControlConnection::ServeRequest();
    }
    std::vector<std::string> errors;
    bool holdRequest = false;
    int serves = 0;
};

}  // namespace

class ConsoleTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        home = MakeTempDir("qftp-console");
        platform::Registry::SetFile(home + "/registry.reg");
        int probe = 0;
        ::close(ListenBlocking(probe));
        port = probe;
        server.Settings().SetString("SysConsoleState", "true");
        server.Settings().SetInt("SysConsolePort", port);
        server.Settings().SetString("SysConsolePass", "pw");
        ASSERT_TRUE(server.InitConsole(true)) << (server.errors.empty() ? "" : server.errors[0]);
        InstallThrottleSchedule();
    }
    void TearDown() override {
        server.CloseConsole();
        ReplaceThrottleSchedule(CFtpThrottleData());
        CIpRuleTable::Publish(CIpRuleTable());
        EngineTest::TearDown();
    }

    // Pumps until the console has a frame (or was closed).
    std::optional<std::pair<int, Bytes>> Await(RawConsole& console, int timeoutMs = 3000) {
        std::optional<std::pair<int, Bytes>> frame;
        PumpUntil(
            [&] {
                console.Poll();
                frame = NextFrame(console.stream);
                return frame.has_value() || console.closed;
            },
            timeoutMs);
        return frame;
    }

    std::string home;
    int port = 0;
    TestConsoleServer server{&window};
};

TEST_F(ConsoleTest, RightPasswordIsAnswered) {
    RawConsole console(port);
    CFtpReqMsg request = Request("pw");
    request.throttle = 1;
    console.Send(Frame(MSG_REQUEST, request));
    auto frame = Await(console);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->first, MSG_THROTTLE);
    CFtpThrottleData schedule;
    LoadMessage(schedule, frame->second.data(), frame->second.size());
    EXPECT_TRUE(schedule == CopyThrottleSchedule());
    EXPECT_EQ(schedule.password, "");
    // Served once: the flag is cleared.
    PumpFor(300);
    console.Poll();
    EXPECT_TRUE(console.stream.empty());
    EXPECT_FALSE(console.closed);
}

TEST_F(ConsoleTest, WrongPasswordClosesWithNothingSentAndTheNextConsoleStartsFresh) {
    {
        RawConsole intruder(port);
        CFtpReqMsg request = Request("PW");
        request.throttle = 1;
        intruder.Send(Frame(MSG_REQUEST, request));
        EXPECT_FALSE(Await(intruder).has_value());
        EXPECT_TRUE(intruder.closed);
        EXPECT_TRUE(intruder.stream.empty());
    }
    RawConsole console(port);
    ASSERT_TRUE(PumpUntil([&] { return server.ConsoleSocket()->IsOpen(); }));
    CFtpReqMsg plain = Request("pw");
    console.Send(Frame(MSG_REQUEST, plain));
    EXPECT_FALSE(Await(console, 400).has_value()) << "the throttle flag did not carry over";
    EXPECT_FALSE(console.closed);
}

TEST_F(ConsoleTest, RequestsSentTogetherAreMerged) {
    server.holdRequest = true;
    RawConsole console(port);
    CFtpReqMsg first = Request("pw"), second = Request("pw");
    first.reportKind = REPORT_NETWORK;
    first.reportIndex = 1;
    first.transfers = 1;
    first.disconnect = 1;
    first.disconnectIndex = 4;
    first.disconnectAddress = "10.1.1.1";
    second.reportKind = REPORT_USERS;
    second.reportIndex = 0;
    second.throttle = 1;
    second.disconnect = 1;
    second.disconnectIndex = 9;
    Bytes both = Frame(MSG_REQUEST, first);
    Bytes more = Frame(MSG_REQUEST, second);
    both.insert(both.end(), more.begin(), more.end());
    console.Send(both);
    ASSERT_TRUE(PumpUntil([&] { return server.StandingRequest().throttle == 1; }));
    const CFtpReqMsg& standing = server.StandingRequest();
    EXPECT_EQ(standing.transfers, 1);
    EXPECT_EQ(standing.reportKind, REPORT_NETWORK) << "the first report request wins";
    EXPECT_EQ(standing.reportIndex, 1);
    EXPECT_EQ(standing.disconnectIndex, 4);
    EXPECT_EQ(standing.disconnectAddress, "10.1.1.1");
}

TEST_F(ConsoleTest, SecondConsoleIsClosedAtOnce) {
    RawConsole first(port);
    ASSERT_TRUE(PumpUntil([&] { return server.ConsoleSocket()->IsOpen(); }));
    RawConsole second(port);
    ASSERT_TRUE(PumpUntil([&] { return second.Poll(); }));
    EXPECT_TRUE(second.stream.empty());
    CFtpReqMsg request = Request("pw");
    request.throttle = 1;
    first.Send(Frame(MSG_REQUEST, request));
    auto frame = Await(first);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->first, MSG_THROTTLE);
}

TEST_F(ConsoleTest, BadFramesEndTheConsole) {
    {
        RawConsole console(port);
        Bytes unknown{99, 0, 0, 0, 0, 0, 0, 0};
        console.Send(unknown);
        Await(console);
        EXPECT_TRUE(console.closed);
    }
    {
        RawConsole console(port);
        Bytes garbage{1, 0, 0, 0, 3, 0, 0, 0, 5, 1, 2};  // a request cut short
        console.Send(garbage);
        Await(console);
        EXPECT_TRUE(console.closed);
    }
    {
        RawConsole console(port);
        Bytes huge{1, 0, 0, 0, 0xF9, 0xFF, 0, 0};  // 65529 bytes cannot fit the buffer
        console.Send(huge);
        Await(console);
        EXPECT_TRUE(console.closed);
    }
}

TEST_F(ConsoleTest, NewScheduleReplacesTheOldAndChangesTheBudget) {
    RawConsole console(port);
    CFtpThrottleData schedule;
    schedule.enabled = 1;
    schedule.SetAllZonesSpeed(3);
    schedule.password = "wrong";
    console.Send(Frame(MSG_THROTTLE, schedule));
    Await(console);
    EXPECT_TRUE(console.closed);
    EXPECT_EQ(CopyThrottleSchedule().enabled, 0) << "kept after a wrong password";

    RawConsole again(port);
    ASSERT_TRUE(PumpUntil([&] { return server.ConsoleSocket()->IsOpen(); }));
    schedule.password = "pw";
    again.Send(Frame(MSG_THROTTLE, schedule));
    ASSERT_TRUE(PumpUntil([&] { return CopyThrottleSchedule().enabled == 1; }));
    EXPECT_TRUE(engine.BudgetEnabled());
    EXPECT_EQ(engine.Budget(), 3072u);
    EXPECT_EQ(CopyThrottleSchedule().password, "");

    CFtpThrottleData stored;
    ASSERT_TRUE(LoadThrottleSchedule(stored)) << "persisted for the next start";
    EXPECT_EQ(stored.enabled, 1);
    EXPECT_EQ(stored.GetZoneSpeed(3, 2), 3);
}

TEST_F(ConsoleTest, LocalConsoleIsNotSlowedByTheBudget) {
    CFtpThrottleData tight;
    tight.enabled = 1;
    for (int day = 0; day < 7; ++day) {
        ZoneList zones;
        for (int z = 0; z < 40; ++z) zones.push_back({static_cast<platform::Time32>(z * 60), 1});
        tight.SetDay(day, zones);
    }
    ReplaceThrottleSchedule(tight);  // 1 KB/s; the schedule itself is about 6.8 KB
    ASSERT_EQ(engine.Budget(), 1024u);
    CIpRuleTable refuseAll;
    refuseAll.SetPolicy(false);
    CIpRuleTable::Publish(refuseAll);  // the local console is admitted all the same
    RawConsole console(port);
    CFtpReqMsg request = Request("pw");
    request.throttle = 1;
    console.Send(Frame(MSG_REQUEST, request));
    auto frame = Await(console);
    ASSERT_TRUE(frame.has_value());
    EXPECT_GT(frame->second.size(), 6000u);
}

TEST_F(ConsoleTest, RemoteConsolesNeedTlsAndPassTheRules) {
    std::string dir = MakeTempDir("qftp-console-tls");
    TestCertificate cert = MakeCertificate(dir, "server", "localhost");
    CTlsRuntime& tls = CTlsRuntime::Instance();
    ASSERT_TRUE(tls.Init());
    RecordingConnection remote(&window);
    ASSERT_TRUE(remote.Create());
    CFtpSocket& client = *remote.PrimarySocket();
    auto connectFrom127002 = [&] {
        ASSERT_TRUE(client.CreateWithMode(0, SOCK_STREAM, "127.0.0.2", VERIFY_FROM_CONTEXT));
        ASSERT_TRUE(client.Connect("127.0.0.1", port));
    };

    // No server context: a remote console is closed at once.
    connectFrom127002();
    ASSERT_TRUE(PumpUntil([&] { return remote.Count(EV_CONNECT) == 1; }));
    ASSERT_TRUE(PumpUntil([&] {
        char b[16];
        client.Receive(b, sizeof b);
        return !client.IsOpen();
    }));

    // Refused by the rules.
    ASSERT_TRUE(tls.InitServerContext(cert.certFile, cert.keyFile, "", 0));
    ASSERT_TRUE(tls.InitClientContext(cert.certFile, "", "", ""));
    CIpRuleTable refuse127002;
    ASSERT_TRUE(refuse127002.Append("127.0.0.2", "255.255.255.255"));
    CIpRuleTable::Publish(refuse127002);
    remote.Clear();
    connectFrom127002();
    ASSERT_TRUE(PumpUntil([&] {
        char b[16];
        client.Receive(b, sizeof b);
        return remote.Count(EV_CONNECT) == 1 && !client.IsOpen();
    }));

    // Admitted over TLS.
    CIpRuleTable::Publish(CIpRuleTable());
    remote.Clear();
    connectFrom127002();
    client.SetTlsRole(TLS_CLIENT);
    CFtpReqMsg request = Request("pw");
    request.throttle = 1;
    Bytes out = Frame(MSG_REQUEST, request), in;
    size_t sent = 0;
    std::optional<std::pair<int, Bytes>> frame;
    ASSERT_TRUE(PumpUntil([&] {
        if (sent < out.size()) {
            int n = client.Send(out.data() + sent, static_cast<int>(out.size() - sent));
            if (n > 0) sent += static_cast<size_t>(n);
        }
        uint8_t b[4096];
        int n = client.Receive(b, sizeof b);
        if (n > 0) in.insert(in.end(), b, b + n);
        frame = NextFrame(in);
        return frame.has_value();
    }));
    EXPECT_EQ(frame->first, MSG_THROTTLE);
    EXPECT_TRUE(client.IsSecure());
    client.Close();
    tls.FreeTlsRuntime();
}

TEST_F(ConsoleTest, ListenerFailureIsReported) {
    TestConsoleServer second(&window);
    second.Settings().Assign(server.Settings());
    EXPECT_FALSE(second.InitConsole(true));
    ASSERT_EQ(second.errors.size(), 1u);
    EXPECT_EQ(second.errors[0], "Failed to create remote console listen socket (0.0.0.0:" +
                                    std::to_string(port) + ")");

    TestConsoleServer off(&window);
    EXPECT_TRUE(off.InitConsole(true)) << "console off: no listener, no failure";
    EXPECT_FALSE(off.PrimarySocket()->IsOpen());
}

TEST(ThrottleStoreTest, StoredScheduleIsRestoredAndAnUnreadableOneIgnored) {
    std::string home = MakeTempDir("qftp-throttle");
    std::string file = home + "/registry.reg";
    platform::Registry::SetFile(file);
    CFtpThrottleData none;
    EXPECT_FALSE(LoadThrottleSchedule(none)) << "nothing stored yet";

    CFtpThrottleData schedule;
    schedule.enabled = 1;
    schedule.version = 3;
    schedule.time = 1234567;
    schedule.SetZoneSpeed(0, 1, 77);
    schedule.SetZoneStart(6, 3, 1000);
    ASSERT_TRUE(SaveThrottleSchedule(schedule));
    ASSERT_TRUE(RestoreThrottleSchedule());
    CFtpThrottleData restored = CopyThrottleSchedule();
    EXPECT_TRUE(restored == schedule);
    ReplaceThrottleSchedule(CFtpThrottleData());

    // A value that is not a number: the whole stored schedule is ignored.
    ASSERT_TRUE(platform::Registry::WriteStrings(
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Orv\\Quenlow FTP\\Settings\\Throttle\\Day02\\Zone01",
        {{"MaxSpeed", "fast"}}));
    CFtpThrottleData target;
    target.SetZoneSpeed(0, 1, 5);
    EXPECT_FALSE(LoadThrottleSchedule(target));
    EXPECT_EQ(target.GetZoneSpeed(0, 1), 5);
    EXPECT_EQ(target.enabled, 0);
}

TEST(ThrottleStoreTest, DaysKeepTheirOwnZoneCountAndOldStoresGiveFour) {
    std::string home = MakeTempDir("qftp-throttle-zones");
    platform::Registry::SetFile(home + "/registry.reg");
    CFtpThrottleData schedule;
    schedule.days[0] = {};  // a day without zones
    schedule.days[1] = {{3600, 10}};
    for (int i = 0; i < 6; ++i)
        schedule.days[2].push_back({static_cast<platform::Time32>(i * 3600), 100 + i});
    ASSERT_TRUE(SaveThrottleSchedule(schedule));
    CFtpThrottleData back;
    ASSERT_TRUE(LoadThrottleSchedule(back));
    EXPECT_EQ(back.days, schedule.days);

    // Fewer zones than an earlier save: the stale keys below do not come back.
    schedule.days[2].resize(2);
    ASSERT_TRUE(SaveThrottleSchedule(schedule));
    ASSERT_TRUE(LoadThrottleSchedule(back));
    EXPECT_EQ(back.days[2].size(), 2u);

    // A store of the four-zone layout (no counts) reads as four zones over the defaults.
    std::string old = home + "/old.reg";
    platform::Registry::SetFile(old);
    ASSERT_TRUE(platform::Registry::WriteStrings(
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Orv\\Quenlow FTP\\Settings\\Throttle",
        {{"State", "false"}}));
    ASSERT_TRUE(platform::Registry::WriteStrings(
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Orv\\Quenlow FTP\\Settings\\Throttle\\Day03\\Zone02",
        {{"MaxSpeed", "55"}}));
    CFtpThrottleData fromOld;
    ASSERT_TRUE(LoadThrottleSchedule(fromOld));
    EXPECT_EQ(fromOld.days[3].size(), 4u);
    EXPECT_EQ(fromOld.GetZoneSpeed(3, 2), 55);
    EXPECT_EQ(fromOld.GetZoneSpeed(3, 1), CFtpThrottleData::kDefaultSpeed);

    // A count the layout cannot hold makes the whole store unreadable.
    ASSERT_TRUE(platform::Registry::WriteStrings(
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Orv\\Quenlow FTP\\Settings\\Throttle\\Day04",
        {{"Zones", "9999"}}));
    EXPECT_FALSE(LoadThrottleSchedule(fromOld));
}
