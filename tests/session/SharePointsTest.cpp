#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "config/UserAccounts.h"
#include "session/SharePoints.h"

namespace {

class SharePointsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qftp-share-XXXXXX";
        base_ = ::mkdtemp(pattern);
        shared_ = base_ + "/pub/";
        ::mkdir(shared_.c_str(), 0755);
        ::mkdir((shared_ + "a").c_str(), 0755);
        ::mkdir((shared_ + "a/b").c_str(), 0755);
        std::ofstream(base_ + "/secret.txt") << "secret";
        std::ofstream(shared_ + "a/b/file.txt") << "ok";
        ClearSharePoints();
        AddSharePoint("pub", shared_, false);
    }
    void TearDown() override {
        ClearSharePoints();
        std::system(("rm -rf " + base_).c_str());
    }
    bool Maps(const std::string& virtualPath) {
        std::string real;
        return MapToReal(virtualPath, "", real);
    }

    std::string base_, shared_;
};

TEST_F(SharePointsTest, LinksDeepInsideTheTreeCannotLeadOutside) {
    ASSERT_EQ(::symlink(base_.c_str(), (shared_ + "a/b/out").c_str()), 0);
    ASSERT_EQ(::symlink((base_ + "/secret.txt").c_str(), (shared_ + "a/leak.txt").c_str()), 0);
    ASSERT_EQ(::symlink((shared_ + "a/b").c_str(), (shared_ + "inner").c_str()), 0);

    EXPECT_TRUE(Maps("\\pub\\a\\b\\file.txt"));
    EXPECT_TRUE(Maps("\\pub\\a\\b\\not-yet-there\\x.txt")) << "uploads name new paths";
    EXPECT_FALSE(Maps("\\pub\\a\\b\\out"));
    EXPECT_FALSE(Maps("\\pub\\a\\b\\out\\secret.txt"));
    EXPECT_FALSE(Maps("\\pub\\a\\b\\out\\new.txt")) << "a new name behind the link";
    EXPECT_FALSE(Maps("\\pub\\a\\leak.txt"));
    EXPECT_TRUE(Maps("\\pub\\inner\\file.txt")) << "a link that stays inside is fine";
    EXPECT_TRUE(FileExists("\\pub\\inner\\file.txt", ""));
    EXPECT_FALSE(FileExists("\\pub\\a\\leak.txt", ""));

    // A link to nothing: an upload through it would create its target, wherever that is.
    ASSERT_EQ(::symlink((base_ + "/planted").c_str(), (shared_ + "a/dangling").c_str()), 0);
    ASSERT_EQ(::symlink((shared_ + "a/loop").c_str(), (shared_ + "a/loop").c_str()), 0);
    EXPECT_FALSE(Maps("\\pub\\a\\dangling"));
    EXPECT_FALSE(Maps("\\pub\\a\\dangling\\x"));
    EXPECT_FALSE(Maps("\\pub\\a\\loop"));
    // A path that was not normalised cannot climb out by its own parts.
    EXPECT_FALSE(Maps("\\pub\\nothere\\..\\..\\secret.txt"));
    EXPECT_FALSE(Maps("\\pub\\.\\a"));
}

TEST_F(SharePointsTest, AFileInThePathIsNotAFolder) {
    EXPECT_FALSE(FolderExists("\\pub\\a\\b\\file.txt\\x", ""));
    EXPECT_FALSE(FileExists("\\pub\\a\\b\\file.txt\\x", ""));
    EXPECT_TRUE(FolderExists("\\pub\\a", ""));
    EXPECT_FALSE(Maps("\\nothing\\a"));
}

TEST_F(SharePointsTest, AHomeShareMapsEachUserToTheirOwnFolderAndAReadOnlyOneTakesNoChanges) {
    std::string alice = base_ + "/homes/alice/";
    ::mkdir((base_ + "/homes").c_str(), 0755);
    ::mkdir(alice.c_str(), 0755);
    ASSERT_EQ(::symlink((base_ + "/secret.txt").c_str(), (alice + "leak.txt").c_str()), 0);
    SetSharePoints({{"pub", shared_, true}, {"docs", shared_ + "a/", false, true}});
    std::string real;
    EXPECT_TRUE(MapToReal("\\pub\\x.txt", alice, real));
    EXPECT_EQ(real, alice + "x.txt");
    EXPECT_FALSE(MapToReal("\\pub\\x.txt", "", real)) << "a user without a home has no pub";
    EXPECT_FALSE(MapToReal("\\pub\\leak.txt", alice, real));
    EXPECT_FALSE(FolderExists("\\pub\\a", alice)) << "the shared folder is not the home";
    EXPECT_TRUE(FolderExists("\\docs\\b", alice));

    uint32_t all = RightsWrite | RightsOverwrite | RightsDelete | RightsRename;
    EXPECT_EQ(RightsAt("\\docs\\b\\file.txt", all), 0u);
    EXPECT_EQ(RightsAt("\\DOCS", all), 0u) << "names match without regard to case";
    EXPECT_EQ(RightsAt("\\pub\\x", all), all);
    EXPECT_EQ(RightsAt("\\", all), all);
    EXPECT_EQ(RightsAt("\\docs\\b\\file.txt", RightsWrite), 0u);
    EXPECT_EQ(RightsAt("\\pub\\x.txt", RightsWrite), uint32_t{RightsWrite});
}

}  // namespace
