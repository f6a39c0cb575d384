#include <gtest/gtest.h>

#include <sstream>

#include <curses.h>

#include "console/ConsoleFormat.h"
#include "console/ConsoleJson.h"
#include "console/NodeViews.h"
#include "console/WatchScreen.h"
#include "platform/Clock.h"

namespace {

CFtpConnMsg Session(int index, const std::string& user, bool figures) {
    CFtpConnMsg c;
    c.index = index;
    c.peerAddress = "127.0.0.1";
    c.user = user;
    c.lastCommand = "RETR /pub/big.bin";
    c.minutesConnected = 12;
    if (figures) {
        c.version = CFtpConnMsg::kFiguresVersion;
        c.downloads = 4;
        c.transferring = 1;
        c.transferBytes = 3 * 1024 * 1024 / 2;
    }
    return c;
}

ConsoleSnapshot Sample() {
    ConsoleSnapshot s;
    s.network.emplace();
    s.network->listenAddress = "0.0.0.0";
    s.network->listenPort = 2121;
    s.network->bytesSent = 5ULL << 30;
    s.network->openSockets = 7;
    s.users.emplace();
    s.users->activeSessions = 2;
    s.users->accepted = 17;
    s.users->rejected = 1;
    s.transfers.emplace();
    s.transfers->filesDownloaded = 9;
    s.sessions = {Session(0, "alice", true), Session(1, "", false)};
    for (uint32_t i = 0; i < 30; ++i) {
        CFtpFileEventMsg e;
        e.sequence = i;
        e.flags = FILE_EVENT_DOWNLOAD | FILE_EVENT_PROTECTED;
        e.path = "/srv/ftp/file" + std::to_string(i);
        e.user = "alice";
        e.start = 1000;
        e.end = 1003;
        e.fileBytes = i;
        s.fileEvents.push_back(e);
    }
    return s;
}

}  // namespace

TEST(ConsoleViewTest, NumbersReadTheWayPeopleSayThem) {
    EXPECT_EQ(BytesText(1023), "1023 B");
    EXPECT_EQ(BytesText(1536), "1.5 KiB");
    EXPECT_EQ(BytesText(5ULL << 30), "5.0 GiB");
    EXPECT_EQ(DurationText(42), "42 s");
    EXPECT_EQ(DurationText(5 * 60 + 3), "5 min");
    EXPECT_EQ(DurationText(3 * 3600 + 4 * 60 + 5), "3:04:05");
    EXPECT_EQ(DurationText(2 * 86400 + 3 * 3600 + 4 * 60), "2 d 03:04");
    EXPECT_EQ(FileEventFlagsText(FILE_EVENT_DOWNLOAD | FILE_EVENT_FAILED), "down,failed");
    EXPECT_EQ(FileEventFlagsText(FILE_EVENT_OTHER | FILE_EVENT_DEFLATE | FILE_EVENT_RESTARTED),
              "up,deflate,restarted");
}

TEST(ConsoleViewTest, SessionRowsShowFiguresOnlyWhereTheRecordCarriesThem) {
    std::vector<std::string> rows = SessionRows(Sample().sessions, 0);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].substr(0, 9), "  #  PEER");
    EXPECT_NE(rows[1].find("alice"), std::string::npos);
    EXPECT_NE(rows[1].find("1.5 MiB"), std::string::npos) << rows[1];
    EXPECT_NE(rows[2].find("(not logged in)"), std::string::npos);
    EXPECT_NE(rows[2].find("    -     -"), std::string::npos) << "version 1: no counts";
    for (const std::string& row : SessionRows(Sample().sessions, 40)) EXPECT_LE(row.size(), 40u);
    EXPECT_EQ(rows[0].find("ROOT"), std::string::npos) << "no user has a folder of their own";

    std::vector<CFtpConnMsg> homes = Sample().sessions;
    homes[0].version = CFtpConnMsg::kRootVersion;
    homes[0].root = "/srv/homes/alice/";
    rows = SessionRows(homes, 0);
    EXPECT_NE(rows[0].find("TRANSFER  ROOT  COMMAND"), std::string::npos) << rows[0];
    EXPECT_NE(rows[1].find("/srv/homes/alice/  "), std::string::npos) << rows[1];
    EXPECT_NE(rows[2].find("  -  "), std::string::npos) << rows[2];
    ConsoleSnapshot s = Sample();
    s.sessions = homes;
    EXPECT_EQ(SessionsJson(s)["sessions"][0]["root"], "/srv/homes/alice/");
    EXPECT_FALSE(SessionsJson(s)["sessions"][1].contains("root"));
}

TEST(ConsoleViewTest, StatusAndJsonSayTheSameThings) {
    ConsoleSnapshot s = Sample();
    std::string text = StatusText(s, 2000);
    EXPECT_NE(text.find("FTP        0.0.0.0:2121\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Sockets    7 open\n"), std::string::npos);
    EXPECT_NE(text.find("sent 5.0 GiB (5368709120 bytes)"), std::string::npos);
    EXPECT_NE(text.find("2 now, 17 accepted, 1 turned away"), std::string::npos);
    EXPECT_NE(text.find("Transfers  0 up, 9 down"), std::string::npos);
    EXPECT_EQ(text.find("Host"), std::string::npos) << "no system information, no host line";

    nlohmann::json doc = StatusJson(s, 2000);
    EXPECT_EQ(doc["ftp"]["port"], 2121);
    EXPECT_EQ(doc["bytes_sent"], 5ULL << 30);
    EXPECT_EQ(doc["sessions"]["turned_away"], 1);
    EXPECT_FALSE(doc.contains("host"));

    nlohmann::json sessions = SessionsJson(s)["sessions"];
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0]["transfer_bytes"], 3 * 1024 * 1024 / 2);
    EXPECT_FALSE(sessions[1].contains("uploads"));
    nlohmann::json files = FileEventsJson(s)["file_events"];
    EXPECT_EQ(files.back()["path"], "/srv/ftp/file29");
    EXPECT_EQ(files.back()["protected"], true);
    EXPECT_EQ(files.back()["direction"], "download");

    // An IPv6 server: the address in brackets, the host's reachable address beside its name,
    // and IPv6 peers widen their column for every row.
    s.network->listenAddress = "::";
    s.system.emplace();
    s.system->text = "ftp-host";
    s.system->version = CFtpSysMsg::kAddressVersion;
    s.system->address = "2001:db8::7";
    text = StatusText(s, 2000);
    EXPECT_NE(text.find("FTP        [::]:2121\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Host       ftp-host (2001:db8::7)"), std::string::npos) << text;
    EXPECT_EQ(StatusJson(s, 2000)["host"]["address"], "2001:db8::7");
    s.sessions[1].peerAddress = "2001:db8:1234:5678::abcd";
    std::vector<std::string> rows = SessionRows(s.sessions, 0);
    EXPECT_EQ(rows[0].find("USER"), rows[1].find("alice")) << rows[0] << "\n" << rows[1];
    EXPECT_EQ(rows[0].find("USER"), rows[2].find("(not logged in)")) << rows[2];

    CFtpThrottleData schedule;
    schedule.enabled = 1;
    schedule.days[1] = {
        {platform::MakeLocalTime({0, 30, 8, 1, 0, 124, 0, 0, -1, 0, nullptr}), 512}};
    nlohmann::json week = ScheduleJson(schedule);
    EXPECT_EQ(week["enabled"], true);
    EXPECT_EQ(week["days"]["mon"][0]["start"], "08:30");
    EXPECT_EQ(week["days"]["mon"][0]["kbps"], 512);
}

TEST(ConsoleViewTest, WatchFillsTheScreenWithTheNewestTransfersLast) {
    WatchFrame frame;
    frame.target = "127.0.0.1:1205";
    frame.footer = "q quit";
    frame.rows = 20;
    frame.cols = 110;
    frame.now = 5000;
    std::vector<std::string> lines = WatchLines(Sample(), frame);
    ASSERT_EQ(lines.size(), 20u);
    for (const std::string& line : lines) EXPECT_LE(line.size(), 110u) << line;
    EXPECT_EQ(lines[0].substr(0, 13), "Quenlow FTP  ");
    EXPECT_EQ(lines.back(), "q quit");
    std::string screen;
    for (const std::string& line : lines) screen += line + "\n";
    EXPECT_NE(screen.find("alice"), std::string::npos);
    EXPECT_NE(screen.find("Last transfers"), std::string::npos);
    EXPECT_NE(lines[lines.size() - 2].find("/srv/ftp/file29"), std::string::npos)
        << "the newest transfer sits just above the footer";
    EXPECT_EQ(screen.find("/srv/ftp/file0\n"), std::string::npos) << "the oldest did not fit";

    // A screen too small for anything still gives its lines and the footer.
    frame.rows = 3;
    frame.cols = 10;
    lines = WatchLines(Sample(), frame);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "q quit");
}

TEST(ConsoleViewTest, TheKickRowIsTypedDigitByDigit) {
    CRowEntry entry;
    EXPECT_EQ(entry.Key('1'), CRowEntry::Outcome::Typing);
    EXPECT_EQ(entry.Key('x'), CRowEntry::Outcome::Typing) << "not a digit: ignored";
    EXPECT_EQ(entry.Key('2'), CRowEntry::Outcome::Typing);
    EXPECT_EQ(entry.Key(KEY_BACKSPACE), CRowEntry::Outcome::Typing);
    EXPECT_EQ(entry.Text(), "1");
    EXPECT_EQ(entry.Key('\n'), CRowEntry::Outcome::Done);
    CRowEntry empty;
    EXPECT_EQ(empty.Key('\r'), CRowEntry::Outcome::Cancelled) << "Enter without a row";
    CRowEntry escaped;
    escaped.Key('3');
    EXPECT_EQ(escaped.Key(27), CRowEntry::Outcome::Cancelled);
}

TEST(ConsoleViewTest, BansShowOnlyWhileTheServerKeepsThemOn) {
    ConsoleSnapshot s = Sample();
    EXPECT_EQ(BansText(s, 2000), "") << "an older server sent no list";
    s.banEnd.emplace();
    EXPECT_EQ(BansText(s, 2000), "Bans are off (SysBanFailures is 0).\n");
    EXPECT_EQ(StatusText(s, 2000).find("Bans"), std::string::npos);
    EXPECT_FALSE(StatusJson(s, 2000).contains("bans"));

    s.banEnd->failuresToBan = 10;
    s.banEnd->windowMinutes = 1;
    s.banEnd->banMinutes = 60;
    EXPECT_EQ(BansText(s, 2000),
              "Bans: 10 failed logins in 1 minute ban an address for 60 minutes.\n"
              "No address is banned.\n");
    CFtpBanMsg ban;
    ban.address = "127.0.0.2";
    ban.since = 1900;
    ban.until = 1900 + 3600;
    ban.failures = 10;
    s.bans = {ban};
    std::string text = BansText(s, 2000);
    EXPECT_NE(text.find("ADDRESS"), std::string::npos) << text;
    EXPECT_NE(text.find("127.0.0.2"), std::string::npos);
    EXPECT_NE(text.find("58 min"), std::string::npos) << "the time left";
    EXPECT_NE(StatusText(s, 2000).find(
                  "Bans       1 now (10 failed logins in 1 minute ban an address for 60 minutes)"),
              std::string::npos);
    EXPECT_EQ(StatusJson(s, 2000)["bans"]["current"], 1);
    nlohmann::json doc = BansJson(s);
    EXPECT_EQ(doc["rules"]["window_minutes"], 1);
    EXPECT_EQ(doc["bans"][0]["until"], 1900 + 3600);
}

TEST(ConsoleViewTest, SeveralNodesSideBySideWithTheirTotals) {
    std::vector<NodeSnapshot> nodes(3);
    nodes[0].node = "10.0.0.2";
    nodes[0].up = true;
    nodes[0].snapshot = Sample();
    nodes[1].node = "node-b.example:1205";
    nodes[1].up = true;
    nodes[1].snapshot = Sample();
    nodes[1].snapshot.sessions[0].peerAddress = "2001:db8::77";
    nodes[2].node = "10.0.0.4";
    nodes[2].error = "cannot connect to 10.0.0.4:1205";

    std::string text = NodesStatusText(nodes, 2000);
    EXPECT_NE(text.find("Node       10.0.0.2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Node       10.0.0.4  DOWN: cannot connect to 10.0.0.4:1205\n"),
              std::string::npos);
    EXPECT_NE(text.find("Nodes      2 of 3 answered\n"), std::string::npos);
    EXPECT_NE(text.find("Sessions   4 now, 34 accepted, 2 turned away\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Transfers  0 up, 18 down\n"), std::string::npos);
    nlohmann::json doc = NodesStatusJson(nodes, 2000);
    EXPECT_EQ(doc["total"]["nodes_up"], 2);
    EXPECT_EQ(doc["total"]["bytes_sent"], 10ULL << 30);
    EXPECT_EQ(doc["nodes"][2]["up"], false);
    EXPECT_EQ(doc["nodes"][0]["ftp"]["port"], 2121);

    // One table: the NODE column first, every row lined up, the down node under it.
    std::istringstream lines(NodesSessionsText(nodes));
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0].rfind("NODE ", 0), 0u) << rows[0];
    EXPECT_EQ(rows[3].rfind("node-b.example:1205  ", 0), 0u) << rows[3];
    EXPECT_EQ(rows[0].find("PEER"), rows[3].find("2001:db8::77"));
    EXPECT_EQ(rows[0].find("USER"), rows[1].find("alice"));
    EXPECT_EQ(rows[0].find("USER"), rows[3].find("alice"));
    EXPECT_EQ(rows[5], "10.0.0.4" + std::string(13, ' ') + "DOWN: cannot connect to 10.0.0.4:1205");
    // The live view: a line a node, the totals, the one table; the down node once.
    WatchFrame frame;
    frame.rows = 14;
    frame.cols = 110;
    frame.footer = "q quit";
    std::vector<std::string> screen = NodesWatchLines(nodes, frame);
    ASSERT_EQ(screen.size(), 14u);
    EXPECT_EQ(screen[0].rfind("Quenlow FTP  3 nodes, 2 up", 0), 0u) << screen[0];
    EXPECT_EQ(screen[1].rfind("10.0.0.2             sessions 2 now, 17 accepted", 0), 0u)
        << screen[1];
    EXPECT_EQ(screen[3], "10.0.0.4             DOWN: cannot connect to 10.0.0.4:1205");
    EXPECT_EQ(screen[4].rfind("all                  sessions 4 now, 34 accepted, 2 turned away"
                              "   files 0 up, 18 down",
                              0),
              0u)
        << screen[4];
    EXPECT_EQ(screen[6].rfind("NODE ", 0), 0u) << screen[6];
    EXPECT_NE(screen[9].find("2001:db8::77"), std::string::npos) << screen[9];
    EXPECT_EQ(screen[10].rfind("node-b.example:1205", 0), 0u) << screen[10];
    EXPECT_EQ(screen[11], "");
    EXPECT_EQ(screen[13], "q quit");
    for (const std::string& line : screen) EXPECT_LE(line.size(), 110u);
    frame.rows = 10;  // the heading, one session and a line for the three more
    screen = NodesWatchLines(nodes, frame);
    ASSERT_EQ(screen.size(), 10u);
    EXPECT_EQ(screen[8], "    ... 3 more sessions") << screen[8];

    nlohmann::json sessions = NodesSessionsJson(nodes);
    ASSERT_EQ(sessions["sessions"].size(), 4u);
    EXPECT_EQ(sessions["sessions"][2]["node"], "node-b.example:1205");
    EXPECT_EQ(sessions["down"][0]["node"], "10.0.0.4");
}
