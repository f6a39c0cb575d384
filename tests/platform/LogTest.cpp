#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/Log.h"

using platform::FormatLogLine;
using platform::LogLevel;
using platform::LogSwitches;
using platform::LogTarget;
using platform::LogWriter;

namespace {

std::string ReadAll(int fd) {
    std::string text;
    char block[4096];
    ssize_t n;
    while ((n = ::read(fd, block, sizeof block)) > 0) text.append(block, static_cast<size_t>(n));
    return text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A writer into a pipe whose other end the test reads.
class PipeLog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::pipe(fds_), 0);
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    }
    void TearDown() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    std::string Drain(LogWriter& writer) {
        EXPECT_TRUE(writer.Flush(5000));
        return ReadAll(fds_[0]);
    }
    int fds_[2] = {-1, -1};
};

}  // namespace

TEST(LogFormatTest, JournalLinesCarryThePriorityAndOthersAStampAndTheLevel) {
    time_t t = 1700000000;
    EXPECT_EQ(FormatLogLine(LogTarget::Journal, LogLevel::Warning, "x refused", t),
              "<4>x refused\n");
    EXPECT_EQ(FormatLogLine(LogTarget::Journal, LogLevel::Info, "y", t), "<6>y\n");
    std::string plain = FormatLogLine(LogTarget::Plain, LogLevel::Error, "broken", t);
    EXPECT_EQ(plain.size(), std::string("2023-11-14 22:13:20 error: broken\n").size());
    EXPECT_EQ(plain.substr(19), " error: broken\n");
    EXPECT_EQ(plain.substr(4, 1) + plain.substr(7, 1) + plain.substr(13, 1), "--:");
}

TEST(LogFormatTest, ControlCharactersCannotStartALineOfTheirOwn) {
    std::string line =
        FormatLogLine(LogTarget::Journal, LogLevel::Warning, "login as x\n<0>fake\r\x1b[2J", 0);
    EXPECT_EQ(line, "<4>login as x\\x0A<0>fake\\x0D\\x1B[2J\n");
    std::string longText(platform::kMaxLogText + 100, 'a');
    line = FormatLogLine(LogTarget::Journal, LogLevel::Info, longText, 0);
    EXPECT_EQ(line.size(), 3 + platform::kMaxLogText + 3 + 1) << "cut, with a mark";
}

TEST_F(PipeLog, EachSwitchLetsItsLevelThroughAndTheMasterSwitchStopsAll) {
    LogWriter writer(fds_[1], LogTarget::Journal);
    auto all = [&] {
        writer.Write(LogLevel::Error, "e");
        writer.Write(LogLevel::Warning, "w");
        writer.Write(LogLevel::Notice, "n");
        writer.Write(LogLevel::Info, "i");
        return Drain(writer);
    };
    EXPECT_EQ(all(), "") << "nothing before the settings are known";
    writer.Configure({true, true, true, false});  // the defaults
    EXPECT_EQ(all(), "<3>e\n<4>w\n<5>n\n");
    writer.Configure({true, false, false, true});
    EXPECT_EQ(all(), "<5>n\n<6>i\n");
    writer.Configure({false, true, true, true});
    EXPECT_EQ(all(), "") << "LogState false: nothing at all";
    EXPECT_FALSE(writer.On(LogLevel::Error));
}

TEST_F(PipeLog, AStuckStderrDropsLinesInsteadOfHoldingTheCallerAndSaysSoLater) {
    ::fcntl(fds_[1], F_SETPIPE_SZ, 4096);
    // Fill the pipe: the writer's first write blocks until the test reads.
    std::string filler(65536, 'f');
    ::fcntl(fds_[1], F_SETFL, O_NONBLOCK);
    while (::write(fds_[1], filler.data(), filler.size()) > 0) {
    }
    ::fcntl(fds_[1], F_SETFL, 0);
    {
        LogWriter writer(fds_[1], LogTarget::Journal, 8);
        writer.Configure({true, true, true, true});
        for (int i = 0; i < 200; ++i) writer.Write(LogLevel::Info, "line " + std::to_string(i));
        EXPECT_GT(writer.Dropped(), 150u);
        std::string out;
        while (!writer.Flush(10)) out += ReadAll(fds_[0]);
        out += ReadAll(fds_[0]);
        EXPECT_NE(out.find("<6>line 0\n"), std::string::npos);
        EXPECT_NE(out.find("<4>" + std::to_string(writer.Dropped()) + " log lines were dropped\n"),
                  std::string::npos);
    }
}

TEST(TransferLogFileTest, AppendsAndReopensAfterTheFileWasMovedAway) {
    std::string dir = ::testing::TempDir() + "qftp-xferlog-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    std::string path = dir + "/xferlog";
    int sink = ::open("/dev/null", O_WRONLY);
    {
        LogWriter writer(sink, LogTarget::Plain);
        std::string error;
        EXPECT_FALSE(writer.TransferLogOpen());
        writer.WriteTransfer("not written: no file yet");
        ASSERT_TRUE(writer.OpenTransferLog(path, error)) << error;
        writer.WriteTransfer("first");
        ASSERT_TRUE(writer.Flush(5000));
        std::filesystem::rename(path, path + ".1");  // logrotate's "create" rotation
        writer.WriteTransfer("second");
        ASSERT_TRUE(writer.OpenTransferLog(path, error)) << error;  // SIGHUP
        writer.WriteTransfer("third");
        ASSERT_TRUE(writer.Flush(5000));
        EXPECT_EQ(ReadFile(path + ".1"), "first\nsecond\n");
        EXPECT_EQ(ReadFile(path), "third\n");
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0007, 0u) << "not readable by everyone";
        EXPECT_FALSE(writer.OpenTransferLog(dir + "/missing/xferlog", error));
        EXPECT_FALSE(error.empty());
        ASSERT_TRUE(writer.OpenTransferLog("", error));
        EXPECT_FALSE(writer.TransferLogOpen());
    }
    ::close(sink);
    std::filesystem::remove_all(dir);
}

TEST(LogTargetTest, TheJournalIsKnownByTheStreamItNames) {
    std::string path = ::testing::TempDir() + "qftp-journal-" + std::to_string(::getpid());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
    EXPECT_EQ(platform::DetectLogTarget(fd), LogTarget::Journal);
    ::setenv("JOURNAL_STREAM", (stream + "9").c_str(), 1);
    EXPECT_EQ(platform::DetectLogTarget(fd), LogTarget::Plain) << "another stream";
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_EQ(platform::DetectLogTarget(fd), LogTarget::Plain);
    ::close(fd);
    ::unlink(path.c_str());
}
