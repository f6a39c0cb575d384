#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "console/ConsoleLink.h"
#include "support/EngineFixture.h"

using Bytes = std::vector<uint8_t>;

namespace {

Bytes Frame(int type, CFtpMsgObject& message) {
    Bytes payload = StoreMessage(message);
    Bytes frame(8);
    for (int i = 0; i < 4; ++i) {
        frame[i] = static_cast<uint8_t>(static_cast<uint32_t>(type) >> (8 * i));
        frame[4 + i] = static_cast<uint8_t>(payload.size() >> (8 * i));
    }
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

void SendAll(int fd, const Bytes& bytes) {
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// One whole frame from fd (type and payload), or nothing within two seconds.
std::optional<std::pair<int, Bytes>> ReadFrame(int fd) {
    Bytes in;
    for (;;) {
        if (in.size() >= 8) {
            uint32_t length = in[4] | in[5] << 8 | in[6] << 16 | uint32_t{in[7]} << 24;
            if (in.size() >= 8 + length)
                return std::pair<int, Bytes>{in[0], Bytes(in.begin() + 8, in.begin() + 8 + length)};
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) return std::nullopt;
        uint8_t buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return std::nullopt;
        in.insert(in.end(), buffer, buffer + n);
    }
}

// A console server of the test's own: takes one connection on 127.0.0.1 and plays script.
class FakeServer {
public:
    explicit FakeServer(std::function<void(int)> script) {
        listener_ = testsupport::ListenBlocking(port);
        thread_ = std::thread([this, script] {
            int fd = ::accept(listener_, nullptr, nullptr);
            if (fd >= 0) {
                script(fd);
                ::close(fd);
            }
        });
    }
    ~FakeServer() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    int port = 0;

private:
    int listener_ = -1;
    std::thread thread_;
};

ConsoleTarget Local(int port, int timeoutMs = 3000) {
    ConsoleTarget target;
    target.port = port;
    target.password = "pw";
    target.timeoutMs = timeoutMs;
    return target;
}

}  // namespace

TEST(ConsoleLinkTest, AnAnswerIsFiledUpToItsReportWhateverTheChunks) {
    CFtpReqMsg seen;
    FakeServer server([&](int fd) {
        auto frame = ReadFrame(fd);
        if (!frame || frame->first != MSG_REQUEST) return;
        LoadMessage(seen, frame->second.data(), frame->second.size());
        Bytes answer;
        for (int i = 0; i < 2; ++i) {
            CFtpConnMsg record;
            record.index = i;
            record.peerAddress = "127.0.0.1";
            record.user = i ? "bob" : "alice";
            Bytes f = Frame(MSG_CONNECTION, record);
            answer.insert(answer.end(), f.begin(), f.end());
        }
        CFtpConnMsg end;
        CFtpReportMsg report;
        for (Bytes f : {Frame(MSG_CONNECTION, end), Frame(MSG_REPORT, report)})
            answer.insert(answer.end(), f.begin(), f.end());
        // In pieces that cut frames and headers apart.
        for (size_t at = 0; at < answer.size(); at += 7) {
            SendAll(fd, Bytes(answer.begin() + at,
                              answer.begin() + std::min(answer.size(), at + 7)));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ReadFrame(fd);  // until the console goes
    });
    CConsoleLink link;
    ASSERT_TRUE(link.Open(Local(server.port))) << link.Error();
    ASSERT_TRUE(link.FetchOverview(true, false, false)) << link.Error();
    EXPECT_EQ(seen.password, "pw");
    EXPECT_EQ(seen.version, CFtpReqMsg::kBansVersion) << "asks for the figures and roots";
    EXPECT_EQ(seen.sessions, 1);
    EXPECT_EQ(seen.reportKind, REPORT_NETWORK) << "the report marks the answer's end";
    ASSERT_TRUE(link.Snapshot().sessionsComplete);
    ASSERT_EQ(link.Snapshot().sessions.size(), 2u);
    EXPECT_EQ(link.Snapshot().sessions[1].user, "bob");
}

TEST(ConsoleLinkTest, OnlyBanRequestsTakeTheirVersionAndAnOlderServerJustSendsNoList) {
    std::vector<CFtpReqMsg> seen;
    auto script = [&seen](bool knowsBans) {
        return [&seen, knowsBans](int fd) {
            while (auto frame = ReadFrame(fd)) {
                CFtpReqMsg request;
                LoadMessage(request, frame->second.data(), frame->second.size());
                seen.push_back(request);
                Bytes answer;
                if (knowsBans && request.version >= CFtpReqMsg::kBansVersion && request.bans) {
                    CFtpBanMsg ban, end;
                    ban.address = "127.0.0.2";
                    ban.failures = 10;
                    end.failuresToBan = 10;
                    end.lift = request.liftBan ? CFtpBanMsg::kLifted : CFtpBanMsg::kNoLift;
                    for (Bytes f : {Frame(MSG_BAN, ban), Frame(MSG_BAN, end)})
                        answer.insert(answer.end(), f.begin(), f.end());
                }
                CFtpReportMsg report;
                Bytes f = Frame(MSG_REPORT, report);
                answer.insert(answer.end(), f.begin(), f.end());
                SendAll(fd, answer);
            }
        };
    };
    {
        FakeServer server(script(true));
        CConsoleLink link;
        ASSERT_TRUE(link.Open(Local(server.port))) << link.Error();
        ASSERT_TRUE(link.FetchOverview(false, false, false)) << link.Error();
        ASSERT_TRUE(link.FetchBans("127.0.0.2")) << link.Error();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].version, CFtpReqMsg::kFiguresVersion) << "no bans asked: as before";
        EXPECT_EQ(seen[1].version, CFtpReqMsg::kBansVersion);
        EXPECT_EQ(seen[1].liftAddress, "127.0.0.2");
        ASSERT_TRUE(link.Snapshot().banEnd);
        EXPECT_EQ(link.Snapshot().banEnd->lift, CFtpBanMsg::kLifted);
        ASSERT_EQ(link.Snapshot().bans.size(), 1u);
        EXPECT_EQ(link.Snapshot().bans[0].address, "127.0.0.2");
    }
    seen.clear();
    FakeServer older(script(false));
    CConsoleLink link;
    ASSERT_TRUE(link.Open(Local(older.port))) << link.Error();
    ASSERT_TRUE(link.FetchBans()) << "the answer still ends with its report";
    EXPECT_FALSE(link.Snapshot().banEnd);
    EXPECT_TRUE(link.Snapshot().bans.empty());
}

TEST(ConsoleLinkTest, EachWayTheServerFailsIsOneSentence) {
    struct Case {
        std::function<void(int)> script;
        std::string text;
    };
    std::vector<Case> cases = {
        {[](int fd) { ReadFrame(fd); },  // closed after the request
         "without an answer: a wrong console password"},
        {[](int fd) {
             ReadFrame(fd);
             std::this_thread::sleep_for(std::chrono::milliseconds(1500));
         },
         "did not answer within 0.5 s"},
        {[](int fd) {
             ReadFrame(fd);
             SendAll(fd, {MSG_CONNECTION, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3});
             ReadFrame(fd);
         },
         "a message of type 4 that does not read as one"},
        {[](int fd) {
             ReadFrame(fd);
             SendAll(fd, {99, 0, 0, 0, 0, 0, 0, 0});
             ReadFrame(fd);
         },
         "a message of unknown type 99"},
        {[](int fd) {
             SendAll(fd, {'2', '2', '0', ' ', 'F', 'T', 'P', '\r', '\n'});
             ReadFrame(fd);
         },
         "not a console message (is this its console port?)"},
    };
    for (const Case& c : cases) {
        FakeServer server(c.script);
        CConsoleLink link;
        ConsoleTarget target = Local(server.port, 500);
        bool ok = link.Open(target) && link.FetchOverview(true, false, false);
        EXPECT_FALSE(ok) << c.text;
        EXPECT_NE(link.Error().find(c.text), std::string::npos) << link.Error();
    }
    int port = 0;
    ::close(testsupport::ListenBlocking(port));
    CConsoleLink link;
    EXPECT_FALSE(link.Open(Local(port)));
    EXPECT_NE(link.Error().find("refused or unreachable"), std::string::npos) << link.Error();
}
