#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "FakeSocket.h"
#include "platform/Clock.h"
#include "streams/FileStream.h"
#include "streams/ListStream.h"
#include "support/TestTls.h"

namespace {

std::string WriteTemp(const std::string& dir, const std::string& name, const std::string& bytes) {
    std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

struct Download {
    explicit Download(const std::string& path, uint32_t type, uint64_t restart = 0,
                      bool digest = false)
        : stream(&socket) {
        stream.Create(32768);
        EXPECT_TRUE(stream.OpenFile(path, FILE_READ | FILE_SHARE_DENY_NONE | type, digest));
        if (restart) {
            EXPECT_TRUE(stream.Seek(restart));
        }
        for (int i = 0; i < 10000 && stream.SendFromFile(); ++i) {
        }
    }
    FakeSocket socket;
    CFtpFileStream stream;
};

class FileStreamTest : public ::testing::Test {
protected:
    void SetUp() override { dir = testsupport::MakeTempDir("qftp-files"); }
    std::string dir;
};

}  // namespace

TEST_F(FileStreamTest, TextReadsTurnBareLineFeedsIntoCrLf) {
    EXPECT_EQ(Download(WriteTemp(dir, "a", "a\nb"), FILE_TEXT).socket.sent, "a\r\nb");
    EXPECT_EQ(Download(WriteTemp(dir, "b", "a\r\n"), FILE_TEXT).socket.sent, "a\r\n");
    EXPECT_EQ(Download(WriteTemp(dir, "c", "a\rb"), FILE_TEXT).socket.sent, "a\rb");
    EXPECT_EQ(Download(WriteTemp(dir, "d", "a\nb"), FILE_BINARY).socket.sent, "a\nb");

    // The caller's area ends right after a converted CR: the LF comes first next time.
    CFtpFile file;
    ASSERT_TRUE(file.Open(WriteTemp(dir, "e", "ab\ncd\n"), FILE_TEXT));
    uint8_t area[3];
    EXPECT_EQ(file.Read(area, 3), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(area), 3), "ab\r");
    EXPECT_EQ(file.Read(area, 3), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(area), 3), "\ncd");
    EXPECT_EQ(file.Read(area, 3), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(area), 2), "\r\n");
    EXPECT_EQ(file.Read(area, 3), 0u);
}

TEST_F(FileStreamTest, DownloadsCompleteAndRestartWhereAsked) {
    std::string content;
    for (int i = 0; i < 100000; ++i) content.push_back(static_cast<char>(i * 31));
    std::string path = WriteTemp(dir, "big", content);
    Download whole(path, FILE_BINARY);
    EXPECT_EQ(whole.socket.sent, content);
    EXPECT_TRUE(whole.stream.State() & STREAM_COMPLETE);
    EXPECT_EQ(whole.stream.Position(), content.size());
    EXPECT_EQ(Download(path, FILE_BINARY, 99000).socket.sent, content.substr(99000));
    Download atEnd(path, FILE_BINARY, content.size());
    EXPECT_EQ(atEnd.socket.sent, "");
    EXPECT_TRUE(atEnd.stream.State() & STREAM_COMPLETE);
    Download empty(WriteTemp(dir, "empty", ""), FILE_BINARY);
    EXPECT_EQ(empty.socket.sent, "");
    EXPECT_TRUE(empty.stream.State() & STREAM_COMPLETE);

    // A slow client: each step sends no more than the socket takes; nothing is lost.
    FakeSocket slow;
    slow.room = 0;
    CFtpFileStream stream(&slow);
    stream.Create(32768);
    ASSERT_TRUE(stream.OpenFile(path, FILE_BINARY, false));
    EXPECT_EQ(stream.GetFileLength(), content.size());
    EXPECT_TRUE(stream.SendFromFile());
    EXPECT_EQ(slow.sent, "");
    for (int i = 0; i < 100 && (slow.room = 5000, stream.SendFromFile()); ++i) {
    }
    EXPECT_EQ(slow.sent, content);
}

TEST_F(FileStreamTest, BinaryDownloadsGoStraightFromTheFileAndCanFallBackToCopying) {
    std::string content;
    for (int i = 0; i < 100000; ++i) content.push_back(static_cast<char>(i * 7));
    std::string path = WriteTemp(dir, "direct", content);
    auto run = [&](SendFileSocket& socket, uint32_t type, uint64_t restart, bool digest) {
        CFtpFileStream stream(&socket);
        stream.Create(32768);
        EXPECT_TRUE(stream.OpenFile(path, FILE_READ | type, digest));
        if (restart) {
            EXPECT_TRUE(stream.Seek(restart));
        }
        for (int i = 0; i < 1000 && (socket.room = 10000, stream.SendFromFile()); ++i) {
        }
        EXPECT_TRUE(stream.State() & STREAM_COMPLETE);
        EXPECT_EQ(stream.BytesSent(), socket.sent.size());
        return stream.Position();
    };
    SendFileSocket direct;
    EXPECT_EQ(run(direct, FILE_BINARY, 12345, false), content.size());
    EXPECT_EQ(direct.sent, content.substr(12345)) << "from the restart offset";
    EXPECT_GT(direct.sendFileCalls, 8);

    // The socket refuses after three steps: the copy goes on where the kernel stopped.
    SendFileSocket refusing;
    refusing.copyAfter = 3;
    run(refusing, FILE_BINARY, 0, false);
    EXPECT_EQ(refusing.sent, content);
    EXPECT_EQ(refusing.sendFileCalls, 4) << "asked once more, never again for this file";

    // Text conversion and digests need the bytes: they are never sent from the file.
    SendFileSocket text, digested;
    run(text, FILE_TEXT, 0, false);
    run(digested, FILE_BINARY, 0, true);
    EXPECT_EQ(text.sendFileCalls + digested.sendFileCalls, 0);
    EXPECT_EQ(digested.sent, content);
}

TEST_F(FileStreamTest, BinaryUploadsGoThroughAPipeAndCanFallBackToCopying) {
    std::string content;
    for (int i = 0; i < 300000; ++i) content.push_back(static_cast<char>(i * 7));
    std::string head = "0123456789";
    auto run = [&](PipeSocket& socket, uint32_t type, bool digest) {
        std::string path = WriteTemp(dir, "piped", head);
        socket.incoming = content;
        socket.chunk = 40000;
        CFtpFileStream stream(&socket);
        stream.Create(32768);
        EXPECT_TRUE(stream.OpenFile(path, FILE_CREATE | FILE_NO_TRUNCATE | FILE_READ_WRITE | type,
                                    digest));
        EXPECT_TRUE(stream.Seek(4)) << "a restarted upload";
        for (int i = 0; i < 1000 && !socket.incoming.empty(); ++i) EXPECT_TRUE(stream.ReceiveToFile());
        EXPECT_EQ(stream.Position(), 4 + content.size());
        EXPECT_EQ(stream.BytesReceived(), content.size());
        stream.CloseFile();
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    PipeSocket piped;
    EXPECT_EQ(run(piped, FILE_BINARY, false), "0123" + content);
    EXPECT_GT(piped.pipeCalls, 7);

    // The socket refuses after three calls: the copy goes on where the pipe stopped.
    PipeSocket refusing;
    refusing.copyAfter = 3;
    EXPECT_EQ(run(refusing, FILE_BINARY, false), "0123" + content);
    EXPECT_EQ(refusing.pipeCalls, 4) << "asked once more, never again for this file";

    // Text conversion and digests need the bytes: they never go through the pipe.
    PipeSocket text, digested;
    run(text, FILE_TEXT, false);
    run(digested, FILE_BINARY, true);
    EXPECT_EQ(text.pipeCalls + digested.pipeCalls, 0);
}

TEST_F(FileStreamTest, UploadsAreStoredAsReceivedAndDigestsMatch) {
    FakeSocket socket;
    socket.incoming = "line one\r\nline two\r\n";
    socket.chunk = 7;
    CFtpFileStream stream(&socket);
    stream.Create(32768);
    std::string path = dir + "/up.txt";
    ASSERT_TRUE(stream.OpenFile(
        path, FILE_CREATE | FILE_READ_WRITE | FILE_SHARE_DENY_WRITE | FILE_TEXT, true));
    // A second writer cannot open the file while this one holds it.
    CFtpFile other;
    EXPECT_FALSE(
        other.Open(path, FILE_CREATE | FILE_NO_TRUNCATE | FILE_READ_WRITE | FILE_SHARE_DENY_WRITE));
    while (!socket.incoming.empty()) EXPECT_TRUE(stream.ReceiveToFile());
    stream.CloseFile();
    std::ifstream in(path, std::ios::binary);
    std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(stored, "line one\r\nline two\r\n");
    EXPECT_EQ(stream.DigestHex(), "a775daabdb44c57a65eaadeef4edfe51")
        << "the digest of what was written";

    // RFC 1321's test values.
    EXPECT_EQ(Download(WriteTemp(dir, "md5a", ""), FILE_BINARY, 0, true).stream.DigestHex(),
              "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Download(WriteTemp(dir, "md5b", "abc"), FILE_BINARY, 0, true).stream.DigestHex(),
              "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(
        Download(WriteTemp(dir, "md5c", "message digest"), FILE_BINARY, 0, true).stream.DigestHex(),
        "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST_F(FileStreamTest, MissingFileIsReportedAndTheStreamReset) {
    FakeSocket socket;
    CFtpFileStream stream(&socket);
    stream.Create(1024);
    EXPECT_FALSE(stream.OpenFile(dir + "/nope", FILE_BINARY, false));
    EXPECT_EQ(stream.State(), STREAM_IDLE);
}

TEST(ListLineTest, LongFormLinesByteForByte) {
    struct tm parts {};
    parts.tm_year = 2026 - 1900;
    parts.tm_mon = 2;
    parts.tm_mday = 5;
    parts.tm_hour = 9;
    parts.tm_min = 7;
    platform::Time32 march = platform::MakeLocalTime(parts);
    parts.tm_mon = 11;
    parts.tm_mday = 9;
    platform::Time32 now = platform::MakeLocalTime(parts);
    EXPECT_EQ(FormatListLine("a.txt", false, false, 1234, march, now),
              "-rwxrwxrwx   1 owner    group             1234 Mar 05 09:07 a.txt");
    EXPECT_EQ(FormatListLine("ro", false, true, 0, march, now),
              "-r-xr-xr-x   1 owner    group                0 Mar 05 09:07 ro");
    EXPECT_EQ(FormatListLine("dir", true, false, 0, march, now).substr(0, 10), "drwxrwxrwx");
    parts.tm_year = 2003 - 1900;
    parts.tm_mon = 11;
    parts.tm_mday = 31;
    EXPECT_EQ(FormatListLine("old", false, false, 12345678901234567ull,
                             platform::MakeLocalTime(parts), now),
              "-rwxrwxrwx   1 owner    group 12345678901234567 Dec 31  2003 old");
}

TEST_F(FileStreamTest, ListingsGoOutInStepsAndSkipDotEntries) {
    for (int i = 0; i < 300; ++i) WriteTemp(dir, "f" + std::to_string(1000 + i), "x");
    ::mkdir((dir + "/sub").c_str(), 0755);
    WriteTemp(dir, ".hidden", "");
    WriteTemp(dir, "é.txt", "");
    FakeSocket socket;
    CFtpListStream list(&socket);
    list.Create(0, 4096);
    ASSERT_TRUE(list.OpenListing(2, dir + "/*", true));
    list.SetUtf8(true);
    int steps = 0;
    while (list.SendListing()) ++steps;
    EXPECT_GE(steps, 1) << "more than 255 names need two steps at least";
    EXPECT_TRUE(list.State() & STREAM_COMPLETE);
    EXPECT_EQ(std::count(socket.sent.begin(), socket.sent.end(), '\n'), 302);
    EXPECT_EQ(socket.sent.find(".hidden"), std::string::npos) << "* does not match dot files";
    EXPECT_NE(socket.sent.find("\xC3\xA9.txt\r\n"), std::string::npos);

    // An empty folder lists nothing and completes at once.
    std::string empty = testsupport::MakeTempDir("qftp-empty");
    FakeSocket quiet;
    CFtpListStream none(&quiet);
    none.Create(0, 4096);
    ASSERT_TRUE(none.OpenListing(2, empty + "/*", false));
    EXPECT_FALSE(none.SendListing());
    EXPECT_TRUE(none.State() & STREAM_COMPLETE);
    EXPECT_EQ(quiet.sent, "");
}
