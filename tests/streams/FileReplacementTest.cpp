#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "streams/FileReplacement.h"
#include "streams/FileStream.h"
#include "support/TestTls.h"

namespace fs = std::filesystem;

namespace {
void Put(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}
std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
size_t Entries(const std::string& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
}
}  // namespace

TEST(FileReplacementTest, OriginalStaysUntilCommitAndTakesTheNewContentWithItsMode) {
    std::string dir = testsupport::MakeTempDir("replace");
    std::string original = dir + "/report.txt";
    Put(original, "old contents");
    ::chmod(original.c_str(), 0640);

    CFtpFileStream stream;
    stream.Create(4096);
    ASSERT_TRUE(stream.OpenFile(
        original,
        FILE_CREATE | FILE_READ_WRITE | FILE_SHARE_DENY_WRITE | FILE_BINARY | FILE_REPLACE, false));
    EXPECT_EQ(Entries(dir), 2u) << "the temporary file lies beside the original";
    CFtpFifoBuffer data;
    data.Allocate(64, true);
    data.Append(reinterpret_cast<const uint8_t*>("new"), 3);
    stream.WriteFile(data);
    EXPECT_EQ(Get(original), "old contents");

    // A second writer is turned away while the upload runs, as with an upload in place.
    CFtpFileStream second;
    second.Create(4096);
    EXPECT_FALSE(second.OpenFile(
        original, FILE_CREATE | FILE_READ_WRITE | FILE_SHARE_DENY_WRITE | FILE_NO_TRUNCATE, false));

    ASSERT_TRUE(stream.CommitReplacement());
    EXPECT_EQ(Get(original), "new");
    EXPECT_EQ(Entries(dir), 1u);
    struct stat info {};
    ::stat(original.c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    fs::remove_all(dir);
}

TEST(FileReplacementTest, AnyCloseWithoutCommitLeavesTheOriginal) {
    std::string dir = testsupport::MakeTempDir("replace");
    std::string original = dir + "/a.bin";
    Put(original, "keep me");
    CFtpFileStream stream;
    stream.Create(4096);
    uint32_t flags = FILE_CREATE | FILE_READ_WRITE | FILE_BINARY | FILE_REPLACE;
    ASSERT_TRUE(stream.OpenFile(original, flags, false));
    stream.Close();
    EXPECT_EQ(Get(original), "keep me");
    EXPECT_EQ(Entries(dir), 1u);
    {
        CFtpFileStream gone;  // a session torn down mid-upload
        gone.Create(4096);
        ASSERT_TRUE(gone.OpenFile(original, flags, false));
    }
    EXPECT_EQ(Entries(dir), 1u);
    EXPECT_TRUE(stream.CommitReplacement()) << "nothing pending is no failure";
    fs::remove_all(dir);
}

TEST(FileReplacementTest, LinksAndLongNames) {
    std::string dir = testsupport::MakeTempDir("replace");
    Put(dir + "/target", "t");
    fs::create_symlink(dir + "/target", dir + "/link");
    fs::create_hard_link(dir + "/target", dir + "/second");
    EXPECT_FALSE(CFileReplacement::Replaces(dir + "/link")) << "written through, in place";
    EXPECT_FALSE(CFileReplacement::Replaces(dir + "/second"));
    EXPECT_FALSE(CFileReplacement::Replaces(dir + "/missing"));
    EXPECT_FALSE(CFileReplacement::Replaces(dir));

    std::string longName = dir + "/" + std::string(199, 'x') + "\xC3\xA9" +
                           std::string(53, 'y');  // 254 bytes, a two-byte character at 199
    Put(longName, "old");
    ASSERT_TRUE(CFileReplacement::Replaces(longName));
    CFileReplacement replacement;
    ASSERT_TRUE(replacement.Begin(longName));
    EXPECT_LE(fs::path(replacement.TemporaryPath()).filename().string().size(), 255u);
    Put(replacement.TemporaryPath(), "new");
    ASSERT_TRUE(replacement.Commit());
    EXPECT_EQ(Get(longName), "new");
    fs::remove_all(dir);
}
