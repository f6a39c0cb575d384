#include <gtest/gtest.h>

#include <cstdlib>

#include "config/SettingNames.h"
#include "config/ShareStore.h"
#include "platform/Folders.h"
#include "support/TestTls.h"

namespace {
class ShareStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = testsupport::MakeTempDir("qftp-shares");
        ::setenv("HOME", home.c_str(), 1);
        platform::SetConfigDir(home + "/conf");
        ASSERT_TRUE(app.LoadSettings());
    }
    void TearDown() override { platform::SetConfigDir(""); }
    std::string home;
    CAppSettings app;
};
}  // namespace

TEST_F(ShareStoreTest, SharesRoundTripAndFewerDropTheRest) {
    std::vector<StoredShare> shares{{"docs", "/srv/docs/", true}, {"Drop", "/srv/drop", false}};
    ASSERT_TRUE(SaveStoredShares(app, shares));
    EXPECT_EQ(app.GetIntSetting(setting::SysFsCount), 2);
    CAppSettings again;
    ASSERT_TRUE(again.LoadSettings());
    shares[1].folder = "/srv/drop/";
    EXPECT_EQ(ReadStoredShares(again), shares);

    ASSERT_TRUE(SaveStoredShares(app, {shares[1]}));
    CAppSettings fewer;
    ASSERT_TRUE(fewer.LoadSettings());
    EXPECT_EQ(ReadStoredShares(fewer), std::vector<StoredShare>{shares[1]});
    fewer.SetIntSetting(setting::SysFsCount, 2);
    std::vector<std::string> problems;
    EXPECT_EQ(ReadStoredShares(fewer, &problems).size(), 1u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], "share point 2 is missing from the registry; it is left out");
}

TEST_F(ShareStoreTest, NamesAndHomeFoldersThatCannotBeAreRefused) {
    EXPECT_EQ(ShareNameProblem("docs"), "");
    for (const char* bad : {"", "pub", "PUB", "a/b", "a\\b", ".", "..", "con", "a*", "tab\there"})
        EXPECT_NE(ShareNameProblem(bad), "") << bad;

    EXPECT_EQ(HomeBaseFolder(app), home + "/conf/home/");
    EXPECT_EQ(HomeFolderOf(app, "alice"), home + "/conf/home/alice/");
    app.SetSetting(setting::SysHomeFolder, "/srv/homes");
    EXPECT_EQ(HomeFolderOf(app, "bob smith"), "/srv/homes/bob smith/");
    for (const char* bad : {"", ".", "..", "a/b", "../x", "new\nline"})
        EXPECT_EQ(HomeFolderOf(app, bad), "") << bad;
    EXPECT_EQ(HomeFolderOf(app, std::string(256, 'a')), "");
}
