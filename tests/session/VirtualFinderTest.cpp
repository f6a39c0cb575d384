#include <gtest/gtest.h>

#include "session/SharePoints.h"
#include "session/VirtualFinder.h"
#include "support/MemoryShare.h"

namespace {

class VirtualFinderTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs.File("/srv/pub/b.txt", 20, 1700000000);
        fs.File("/srv/pub/A.bin", 10);
        fs.File("/srv/pub/.hidden", 1);
        fs.File("/srv/pub/docs/inner.txt", 5);
        AddSharePoint("gone", "/srv/gone/", false);  // its folder is missing
    }
    // Every name the finder gives for pattern, in its order.
    std::vector<std::string> Names(const std::string& pattern) {
        std::vector<std::string> names;
        if (!finder.Start(pattern)) return names;
        bool more = true;
        while (more) {
            more = finder.Next();
            names.push_back(finder.Name() + (finder.IsFolder() ? "/" : ""));
        }
        finder.Close();
        return names;
    }

    MemoryShare share;
    MemoryFileSystem& fs = share.fs;
    CVirtualFinder finder;
};

}  // namespace

TEST_F(VirtualFinderTest, TheRootShowsSharePointsWhoseFoldersExist) {
    EXPECT_EQ(Names("\\*"), (std::vector<std::string>{"pub/"}));
    EXPECT_TRUE(Names("\\g*").empty());
}

TEST_F(VirtualFinderTest, AFolderListsItsEntriesSortedAndKeepsDotNamesForLiteralPatterns) {
    EXPECT_EQ(Names("\\pub\\*"), (std::vector<std::string>{"A.bin", "b.txt", "docs/"}));
    EXPECT_EQ(Names("\\pub\\*.TXT"), (std::vector<std::string>{"b.txt"})) << "case is ignored";
    EXPECT_EQ(Names("\\pub\\.h*"), (std::vector<std::string>{".hidden"}));
    EXPECT_EQ(Names("\\pub\\docs\\*"), (std::vector<std::string>{"inner.txt"}));
    EXPECT_TRUE(Names("\\pub\\missing\\*").empty());

    ASSERT_TRUE(finder.Start("\\pub\\b.txt"));
    finder.Next();
    platform::Time32 time = 0;
    EXPECT_EQ(finder.Size(), 20u);
    EXPECT_TRUE(finder.LastWriteTime(time));
    EXPECT_EQ(time, 1700000000u);
    ASSERT_TRUE(finder.Start("\\pub\\docs"));
    finder.Next();
    EXPECT_EQ(finder.Size(), 0u) << "a folder shows no size";
}
