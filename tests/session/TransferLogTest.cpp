#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "session/TransferLog.h"

namespace {

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

TransferLogEntry Download() {
    TransferLogEntry e;
    e.end = 1700000000;
    e.milliseconds = 2400;
    e.peer = "127.0.0.1";
    e.user = "alice";
    e.path = "/srv/ftp/My File\t.bin";
    e.bytes = 1048576;
    e.binary = true;
    e.complete = true;
    e.code = 226;
    return e;
}

}  // namespace

TEST(TransferLogTest, XferlogLinesHaveTheFieldsLogAnalysersSplit) {
    std::vector<std::string> w = Words(XferlogLine(Download()));
    // Five words of ctime, then thirteen fields.
    ASSERT_EQ(w.size(), 18u);
    EXPECT_EQ(w[4], "2023");
    EXPECT_EQ(w[5], "2") << "seconds, rounded";
    EXPECT_EQ(w[6], "127.0.0.1");
    EXPECT_EQ(w[7], "1048576");
    EXPECT_EQ(w[8], "/srv/ftp/My_File_.bin") << "a name stays one field";
    EXPECT_EQ((std::vector<std::string>(w.begin() + 9, w.end())),
              (std::vector<std::string>{"b", "_", "o", "r", "alice", "ftp", "0", "*", "c"}));

    TransferLogEntry up = Download();
    up.incoming = true;
    up.binary = false;
    up.anonymous = true;
    up.user = "anonymous";
    up.complete = false;
    up.milliseconds = 3;
    w = Words(XferlogLine(up));
    EXPECT_EQ(w[5], "1") << "at least a second";
    EXPECT_EQ((std::vector<std::string>(w.begin() + 9, w.end())),
              (std::vector<std::string>{"a", "_", "i", "a", "anonymous", "ftp", "0", "*", "i"}));
}

TEST(TransferLogTest, TheEventLogSaysWhatMovedHowMuchAndHowItEnded) {
    EXPECT_EQ(TransferLogText(Download()),
              "downloaded /srv/ftp/My File\t.bin: 1048576 bytes in 2.40 s, complete (226)");
    TransferLogEntry up = Download();
    up.incoming = true;
    up.complete = false;
    up.code = 452;
    up.bytes = 0;
    EXPECT_EQ(TransferLogText(up),
              "uploaded /srv/ftp/My File\t.bin: 0 bytes in 2.40 s, failed (452)");
}
