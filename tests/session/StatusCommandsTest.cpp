#include <gtest/gtest.h>

#include "session/StatusCommands.h"

namespace {

// A session that records what the status commands say.
class RecordingStatusSession : public CStatusSession {
public:
    bool StatusReply(CommandId, int code, const std::string& text) override {
        replies.push_back(std::to_string(code) + " " + text);
        return true;
    }
    void StatusBegin(CommandId, int code) override { begun.push_back(code); }
    void StatusLine(const std::string& line) override { lines.push_back(line); }
    std::optional<uint64_t> StatusTransferPosition() override { return position; }
    SessionStatus StatusOfSession() override {
        SessionStatus status;
        status.user = "alice";
        return status;
    }
    bool StatusDeflateOn() const override { return deflateOn; }
    bool StatusDeflateReady() override { return deflateOn && deflateReady; }
    bool StatusSetDeflateLevel(int level) override {
        this->level = level;
        return level <= 9;
    }
    int StatusApplyUtf8(const std::string& argument) override {
        utf8Argument = argument;
        return 200;
    }
    bool StatusStartDigest(const std::string& path) override {
        digestPath = path;
        return path != "missing";
    }

    std::vector<std::string> replies, lines;
    std::vector<int> begun;
    std::optional<uint64_t> position;
    bool deflateOn = true, deflateReady = true;
    int level = -1;
    std::string utf8Argument, digestPath;
};

class StatusCommandsTest : public ::testing::Test {
protected:
    RecordingStatusSession session;
    CStatusCommands status{session};
};

}  // namespace

TEST_F(StatusCommandsTest, FeatListsModeZOnlyWhileTheSettingIsOn) {
    status.Feat("");
    ASSERT_EQ(session.lines.size(), 2u);
    EXPECT_NE(session.lines[0].find("MODE Z"), std::string::npos);
    EXPECT_EQ(session.lines[1], "211 End");
    EXPECT_EQ(session.begun, (std::vector<int>{211}));
    session.lines.clear();
    session.deflateOn = false;
    status.Feat("");
    EXPECT_EQ(session.lines[0].find("MODE Z"), std::string::npos);
    status.Feat("x");
    EXPECT_EQ(session.replies.back(), "501 ");
}

TEST_F(StatusCommandsTest, OptsChoosesUtf8OrModeZAndRefusesTheRest) {
    status.Opts("UTF8 ON");
    EXPECT_EQ(session.utf8Argument, "UTF8 ON");
    status.Opts("mode z level 9");
    EXPECT_EQ(session.level, 9);
    EXPECT_EQ(session.replies.back(), "200 ");
    status.Opts("MODE Z LEVEL 12");
    EXPECT_EQ(session.replies.back(), "501 ") << "not a level";
    session.deflateReady = false;
    status.Opts("MODE Z");
    EXPECT_EQ(session.replies.back(), "501 Option not recognized.");
    status.Opts("FEAT");
    EXPECT_EQ(session.replies.back(), "501 ");
    status.Opts("RETR x");
    EXPECT_EQ(session.replies.back(), "501 Option not recognized.");
}

TEST_F(StatusCommandsTest, StatDuringATransferGivesThePositionOnly) {
    session.position = 4096;
    status.Stat("");
    EXPECT_EQ(session.replies.back(), "211 Position is 4096.");
    EXPECT_TRUE(session.lines.empty());
    session.position.reset();
    status.Stat("");
    ASSERT_EQ(session.lines.size(), 2u);
    EXPECT_NE(session.lines[0].find("alice"), std::string::npos);
    EXPECT_EQ(session.lines[1], "211 End status.");
}

TEST_F(StatusCommandsTest, HelpAndSiteMd5) {
    status.Help("NOSUCH");
    EXPECT_EQ(session.replies.back(), "502 Unknown command NOSUCH.");
    status.Help("retr");
    EXPECT_EQ(session.replies.back().substr(0, 12), "214 Syntax: ");
    status.Site("MD5");
    EXPECT_EQ(session.replies.back(), "501 ");
    status.Site("CHMOD 644 a");
    EXPECT_EQ(session.replies.back(), "500 ");
    size_t replies = session.replies.size();
    status.Site("md5   a b.txt");
    EXPECT_EQ(session.digestPath, "a b.txt");
    EXPECT_EQ(session.replies.size(), replies) << "the digest answers when it is done";
    status.Site("MD5 missing");
    EXPECT_EQ(session.replies.back(), "550 ");
}
