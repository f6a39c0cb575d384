#include "shell/StatusText.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "shell/AppFixture.h"

TEST(StatusTextTest, MegabytesHaveTwoDecimalsAndGroupedThousands) {
    EXPECT_EQ(MegabytesText(0), "0.00");
    EXPECT_EQ(MegabytesText(1048576), "1.00");
    EXPECT_EQ(MegabytesText(5242), "0.00");
    EXPECT_EQ(MegabytesText(5243), "0.01");  // rounded as printf rounds
    EXPECT_EQ(MegabytesText(999ull * 1048576), "999.00");
    EXPECT_EQ(MegabytesText(1234ull * 1048576 + 524288), "1,234.50");
    EXPECT_EQ(MegabytesText(1234567ull * 1048576), "1,234,567.00");
    EXPECT_EQ(MegabytesText(999999ull * 1048576 + 1048000), "1,000,000.00");
}

TEST(StatusTextTest, UptimeCountsDaysAndWrapsHoursMinutesSeconds) {
    EXPECT_EQ(UptimeText(0), "0 00:00:00");
    EXPECT_EQ(UptimeText(59), "0 00:00:59");
    EXPECT_EQ(UptimeText(86399), "0 23:59:59");
    EXPECT_EQ(UptimeText(90061), "1 01:01:01");
    EXPECT_EQ(UptimeText(400 * 86400 + 3600), "400 01:00:00");
}

TEST(StatusTextTest, AnonymousClientsAreShownUnderTheirPassword) {
    EXPECT_EQ(StatusUserText("", ""), "");
    EXPECT_EQ(StatusUserText("alice", "secret"), "alice");
    EXPECT_EQ(StatusUserText("AnonYmous", "guest@example.org"), "guest@example.org");
    EXPECT_EQ(CountPairText(3, 12), "3/12");
}

namespace {

class StatusSnapshotTest : public AppTest {
protected:
    // Runs the loop until the snapshot satisfies the check, for at most two seconds.
    StatusSnapshot WaitFor(const std::function<bool(const StatusSnapshot&)>& check) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        StatusSnapshot snapshot;
        do {
            app_.Loop().RunOnce(20);
            snapshot = app_.Controller()->TakeStatusSnapshot(platform::Clock::Now());
            if (check(snapshot)) break;
        } while (std::chrono::steady_clock::now() < deadline);
        return snapshot;
    }
};

}  // namespace

TEST_F(StatusSnapshotTest, RowsFollowTheSessionsAndThePasswordNeverShows) {
    StatusSnapshot idle = WaitFor([](const StatusSnapshot&) { return true; });
    EXPECT_TRUE(idle.rows.empty());
    EXPECT_EQ(idle.sessions, "0/0");
    EXPECT_NE(idle.uptime, "Offline");

    int first = Connect(port_), second = Connect(port_);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    StatusSnapshot two = WaitFor([](const StatusSnapshot& s) { return s.rows.size() == 2; });
    ASSERT_EQ(two.rows.size(), 2u);
    for (const StatusRow& row : two.rows) {
        EXPECT_EQ(row.user, "");  // connected, no USER yet
        EXPECT_EQ(row.counts, "0/0");
        EXPECT_EQ(row.minutes, "0");
        EXPECT_FALSE(row.secure);
    }
    EXPECT_EQ(two.sessions, "2/2");

    Say(second, "USER anonymous");
    Say(second, "PASS guest@example.org");
    // Rows come in pool order, which need not be the order of arrival.
    auto guest = [](const StatusSnapshot& s) -> const StatusRow* {
        for (const StatusRow& row : s.rows)
            if (row.user == "guest@example.org") return &row;
        return nullptr;
    };
    StatusSnapshot named = WaitFor([&](const StatusSnapshot& s) { return guest(s) != nullptr; });
    ASSERT_EQ(named.rows.size(), 2u);
    ASSERT_NE(guest(named), nullptr);
    EXPECT_EQ(guest(named)->command, "PASS *");

    // The client of the first row goes: its row disappears and the other moves up.
    bool guestFirst = guest(named) == &named.rows[0];
    StatusRow survivor = named.rows[1];
    ::close(guestFirst ? second : first);
    StatusSnapshot one = WaitFor([](const StatusSnapshot& s) { return s.rows.size() == 1; });
    ASSERT_EQ(one.rows.size(), 1u);
    EXPECT_EQ(one.rows[0].user, survivor.user);
    EXPECT_EQ(one.rows[0].command, survivor.command);
    EXPECT_EQ(one.sessions, "1/2");
    ::close(guestFirst ? first : second);

    app_.Controller()->StopServer(true);
    StatusSnapshot stopped = WaitFor([](const StatusSnapshot& s) { return s.uptime == "Offline"; });
    EXPECT_EQ(stopped.uptime, "Offline");
    EXPECT_TRUE(stopped.rows.empty());
}

namespace {

// A blocking reader of one reply line (the tests' replies are single lines).
std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1) {
        line += c;
        if (c == '\n') break;
    }
    return line;
}

}  // namespace

TEST_F(StatusSnapshotTest, AClosedSessionsTransfersStillCountInXfers) {
    {
        std::ofstream file(dir_ / "pub" / "f.txt");
        file << std::string(5000, 'x');
    }
    // The client runs aside while this thread drives the server's loop.
    std::string finalReply;
    std::atomic<bool> done{false};
    std::thread client([&] {
        int control = Connect(port_);
        ReadLine(control);  // greeting
        for (const char* line : {"USER anonymous", "PASS guest@example.org", "TYPE I"}) {
            testsupport::SendLine(control, line);
            ReadLine(control);
        }
        testsupport::SendLine(control, "PASV");
        std::string reply = ReadLine(control);
        int h1, h2, h3, h4, p1 = 0, p2 = 0;
        std::sscanf(reply.c_str() + reply.find('(') + 1, "%d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4,
                    &p1, &p2);
        int data = Connect(p1 * 256 + p2);
        testsupport::SendLine(control, "RETR /pub/f.txt");
        ReadLine(control);  // 150
        char buffer[8192];
        while (::read(data, buffer, sizeof buffer) > 0) {
        }
        ::close(data);
        finalReply = ReadLine(control);
        ::close(control);
        done = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < deadline) app_.Loop().RunOnce(20);
    client.join();
    EXPECT_EQ(finalReply.substr(0, 3), "226");
    StatusSnapshot after = WaitFor([](const StatusSnapshot& s) { return s.rows.empty(); });
    EXPECT_TRUE(after.rows.empty());
    EXPECT_EQ(after.xfers, "0/1") << "the idle pool session's download still counts";
    EXPECT_EQ(after.sessions, "0/1");
}

TEST(FirstStartTest, OneLineSaysWhyThePortCannotBeHadAndWhatToDo) {
    EXPECT_EQ(ListenFailureText(EACCES, 21, false),
              "Port 21 needs root: run as root, or pick another port with --set "
              "NetTcpPort=2121");
    EXPECT_EQ(ListenFailureText(EADDRINUSE, 21, true),
              "Port 21 is in use by another program: stop it, or pick another port with --set "
              "NetTcpPort=2121");
    EXPECT_EQ(ListenFailureText(EADDRINUSE, 2121, false).substr(0, 36),
              "Port 2121 is in use by another progr");
    EXPECT_NE(ListenFailureText(EADDRINUSE, 2121, false).find("NetTcpPort=2122"),
              std::string::npos);
    EXPECT_EQ(ListenFailureText(EADDRNOTAVAIL, 2121, false),
              "Failed to create FTP service listen socket (port 2121): Cannot assign requested "
              "address; pick another port with --set NetTcpPort=2122");
}

TEST(FirstStartTest, TheFirstLinesSayWhoMayDoWhatInPub) {
    CAppSettings settings;
    settings.SetSetting("SysAnonState", "true");
    settings.SetSetting("SysRootFolder", "/srv/ftp/");
    settings.SetSetting("NetIp", "0.0.0.0");
    for (const char* name : {"AnonWrite", "AnonOverwrite", "AnonDelete", "AnonRename"})
        settings.SetSetting(name, "true");
    std::vector<std::string> lines = AnonymousAccessLines(settings, 0, true);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "Anyone from any address on every network of this machine may log in as "
              "\"anonymous\" and read, list, upload, overwrite, delete and rename in \"pub\" = "
              "/srv/ftp/");
    EXPECT_EQ(lines[1],
              "To let anonymous users only read: quenlowftp config set AnonWrite false "
              "AnonOverwrite false AnonDelete false AnonRename false (then SIGHUP or a restart)");
    settings.SetSetting("AnonOverwrite", "false");
    settings.SetSetting("AnonDelete", "false");
    settings.SetSetting("NetIp", "192.0.2.7");
    lines = AnonymousAccessLines(settings, 2, true);
    EXPECT_EQ(lines[0],
              "Anyone from the addresses the IP rules let in on 192.0.2.7 may log in as "
              "\"anonymous\" and read, list, upload and rename in \"pub\" = /srv/ftp/");
    settings.SetSetting("AnonWrite", "false");
    settings.SetSetting("AnonRename", "false");
    lines = AnonymousAccessLines(settings, 0, false);
    ASSERT_EQ(lines.size(), 1u) << "nothing to turn off";
    EXPECT_NE(lines[0].find("the IP rules let in on 192.0.2.7 may log in as \"anonymous\" and "
                            "read and list in"),
              std::string::npos)
        << lines[0];
    settings.SetSetting("SysAnonState", "false");
    EXPECT_TRUE(AnonymousAccessLines(settings, 0, true).empty());
}
