#include <gtest/gtest.h>

#include "config/UserAccounts.h"
#include "platform/FileSystem.h"
#include "session/SharePoints.h"
#include "session/TreeCommands.h"
#include "support/MemoryShare.h"

namespace {

// A session that records what the commands answer.
class RecordingSession : public CTreeSession {
public:
    const std::string& TreeFolder() const override { return folder; }
    std::string TreeHome() const override { return ""; }
    uint32_t TreeRights() const override { return rights; }
    const std::string& TreePreviousLine() const override { return previous; }
    bool TreeTextType() const override { return text; }
    bool TreeReply(CommandId, int code, const std::string& reply) override {
        codes.push_back(code);
        texts.push_back(reply);
        return true;
    }
    void TreeEnterFolder(const std::string& entered) override { folder = entered; }
    void TreeCountTextSize(const std::string& real) override { counted = real; }

    int Last() const { return codes.empty() ? 0 : codes.back(); }

    std::string folder = "\\pub\\";
    uint32_t rights = RightsWrite | RightsDelete | RightsRename | RightsOverwrite;
    std::string previous;
    bool text = false;
    std::vector<int> codes;
    std::vector<std::string> texts;
    std::string counted;
};

class TreeCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs.File("/srv/pub/a.txt", 1234, 1700000000);
        fs.File("/srv/outside.txt", 1);
    }

    MemoryShare share;
    MemoryFileSystem& fs = share.fs;
    RecordingSession session;
    CTreeCommands tree{session};
};

}  // namespace

TEST_F(TreeCommandsTest, RefusalsForRightsTheShareRootAndReservedNames) {
    session.rights = 0;
    tree.Mkd("new");
    tree.Rmd("docs");
    tree.Dele("a.txt");
    tree.Rnfr("a.txt");
    tree.Rnto("b.txt");
    EXPECT_EQ(session.codes, (std::vector<int>{550, 550, 550, 550, 550}));
    tree.Mdtm("20240102030405 a.txt");
    EXPECT_EQ(session.Last(), 553);
    EXPECT_EQ(session.texts.back(), "Permission denied.");
    EXPECT_TRUE(fs.Has("/srv/pub/docs") && fs.Has("/srv/pub/a.txt")) << "nothing was touched";

    session.rights = RightsWrite | RightsDelete | RightsRename;
    session.codes.clear();
    tree.Mkd("con");  // a name the system keeps for itself
    tree.Dele("con");
    tree.Rmd("\\pub");  // the share point itself
    tree.Rnfr("/pub");
    tree.Mkd("\\newtop");  // the root holds share points only
    tree.Mkd("../../outside");
    EXPECT_EQ(session.codes, (std::vector<int>{550, 550, 550, 550, 550, 550}))
        << "a name that climbs is no name";
    EXPECT_FALSE(fs.Has("/srv/newtop"));

    session.codes.clear();
    tree.Mkd("");
    tree.Mkd("docs");
    EXPECT_EQ(session.codes, (std::vector<int>{501, 521}));
    EXPECT_EQ(session.texts.back(), "\"docs\" directory already exists; taking no action.");
    tree.Mkd("docs/new");
    EXPECT_EQ(session.Last(), 257);
    EXPECT_TRUE(fs.At("/srv/pub/docs/new").folder);
    tree.Rmd("docs");
    EXPECT_EQ(session.Last(), 550) << "not empty";
    tree.Rmd("docs/new");
    EXPECT_EQ(session.Last(), 250);
    tree.Dele("docs");
    EXPECT_EQ(session.Last(), 550) << "DELE removes files only";
    tree.Dele("a.txt");
    EXPECT_EQ(session.Last(), 250);
    EXPECT_FALSE(fs.Has("/srv/pub/a.txt"));
}

TEST_F(TreeCommandsTest, CwdMovesOnlyIntoFoldersThatExist) {
    tree.Cwd("*");
    tree.Cwd("");
    tree.Cwd("missing");
    tree.Cwd("a.txt");
    EXPECT_EQ(session.codes, (std::vector<int>{501, 501, 550, 550}));
    EXPECT_EQ(session.folder, "\\pub\\");
    tree.Cwd("/pub/docs");
    EXPECT_EQ(session.folder, "\\pub\\docs\\");
    tree.Cwd("../..");
    EXPECT_EQ(session.folder, "\\") << "the root always exists";
    tree.Pwd(CMD_PWD);
    EXPECT_EQ(session.texts.back(), "\"/\" is current directory.");
    EXPECT_EQ(ShownFolder("\\pub\\docs\\"), "/pub/docs");
}

TEST_F(TreeCommandsTest, RntoNeedsItsRnfrJustBeforeAndStaysInOneFolder) {
    tree.Rnfr("missing.txt");
    EXPECT_EQ(session.Last(), 550);
    tree.Rnfr("a.txt");
    EXPECT_EQ(session.Last(), 350);

    session.previous = "NOOP";
    tree.Rnto("b.txt");
    EXPECT_EQ(session.Last(), 503) << "the line before was not RNFR";
    session.previous = "RNFR missing.txt";
    tree.Rnto("b.txt");
    EXPECT_EQ(session.Last(), 503) << "RNFR named nothing";

    session.previous = "RNFR a.txt";
    tree.Rnto("docs");
    EXPECT_EQ(session.Last(), 553) << "the target exists";
    tree.Rnto("docs/b.txt");
    EXPECT_EQ(session.Last(), 553) << "into another folder";
    tree.Rnto("\\pub");
    EXPECT_EQ(session.Last(), 553) << "onto the share point";
    tree.Rnto("B.TXT");
    EXPECT_EQ(session.Last(), 250);
    EXPECT_TRUE(fs.Has("/srv/pub/B.TXT"));
    EXPECT_FALSE(fs.Has("/srv/pub/a.txt"));

    session.previous = "RNFR docs";
    tree.Rnto("papers");
    EXPECT_EQ(session.Last(), 250) << "folders rename too";
    EXPECT_TRUE(fs.At("/srv/pub/papers").folder);
}

TEST_F(TreeCommandsTest, MdtmAnswersInUtcAndSetsTheTimeGivenInLocalTime) {
    tree.Mdtm("a.txt");
    EXPECT_EQ(session.Last(), 213);
    EXPECT_EQ(session.texts.back(), "20231114221320");  // 1700000000
    tree.Mdtm("20240102030405 a.txt");
    EXPECT_EQ(session.Last(), 213);
    struct tm local {};
    local.tm_year = 124;
    local.tm_mon = 0;
    local.tm_mday = 2;
    local.tm_hour = 3;
    local.tm_min = 4;
    local.tm_sec = 5;
    platform::Time32 expected = platform::MakeLocalTime(local);
    EXPECT_EQ(fs.At("/srv/pub/a.txt").modified, expected);
    EXPECT_EQ(session.texts.back(), ModifyStampText(expected));

    tree.Mdtm("docs");
    EXPECT_EQ(session.Last(), 550) << "folders have no MDTM";
    tree.Mdtm("");
    EXPECT_EQ(session.Last(), 501);
    // Not a time: the whole argument is the name.
    struct tm when {};
    std::string path;
    EXPECT_FALSE(ParseModifyStamp("20241301000000 a.txt", when, path));
    EXPECT_EQ(path, "20241301000000 a.txt");
    EXPECT_TRUE(ParseModifyStamp("20240102030405.123 a b.txt", when, path));
    EXPECT_EQ(path, "a b.txt");
    EXPECT_FALSE(ParseModifyStamp("a.txt", when, path));
}

TEST_F(TreeCommandsTest, SizeIsTheByteCountInBinaryAndCountedByTheSessionInAscii) {
    tree.Size("a.txt");
    EXPECT_EQ(session.Last(), 213);
    EXPECT_EQ(session.texts.back(), "1234");
    tree.Size("docs");
    tree.Size("");
    tree.Size("../outside.txt");
    EXPECT_EQ(session.codes, (std::vector<int>{213, 550, 501, 550}));
    session.text = true;
    tree.Size("a.txt");
    EXPECT_EQ(session.counted, "/srv/pub/a.txt");
    EXPECT_EQ(session.codes.size(), 4u) << "the session answers once it has counted";
}
