#pragma once
// The server's log: one line per event on stderr, and optionally the transfer log, a file of
// one xferlog line per finished transfer. Lines are queued and written by a thread of their
// own, so a slow or stuck stderr (a full pipe, a paused terminal) or a slow disk never holds
// up the loop: when the queue is full, lines are dropped and counted, and the count is
// written once there is room again.
//
// What stderr is decides the form of a line: under systemd's journal a priority prefix it
// understands ("<4>..."), elsewhere a local timestamp and the level's word.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

// The syslog priorities the journal reads.
enum class LogLevel : int { Error = 3, Warning = 4, Notice = 5, Info = 6 };

// Which levels are written. Notices (start-up and reload reports) follow enabled alone.
struct LogSwitches {
    bool enabled = false;
    bool errors = false;
    bool warnings = false;
    bool infos = false;
};

// The journal, or anything else (a terminal, a file, a pipe): lines with a timestamp.
enum class LogTarget { Journal, Plain };

// Whether the descriptor is the journal's stream (systemd names it in JOURNAL_STREAM as
// "device:inode").
LogTarget DetectLogTarget(int fd);
// One line with its end. Control characters in text are written as "\xNN" (a client's name
// cannot start a line of its own), and text is cut at kMaxLogText bytes.
std::string FormatLogLine(LogTarget target, LogLevel level, const std::string& text, time_t now);
// The same, appended to line, with the local time already formatted ("YYYY-MM-DD HH:MM:SS").
void AppendLogLine(std::string& line, LogTarget target, LogLevel level, const std::string& text,
                   const std::string& stamp);
constexpr size_t kMaxLogText = 2048;

// The queue and its writing thread, over one descriptor for the event lines and one for the
// transfer log (the transfer log's is its own: it opens and closes it).
class LogWriter {
public:
    LogWriter(int fd, LogTarget target, size_t capacity = 4096);
    ~LogWriter();  // writes what is queued, then ends the thread
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    void Configure(const LogSwitches& switches);
    bool On(LogLevel level) const;
    void Write(LogLevel level, const std::string& text);
    bool OpenTransferLog(const std::string& path, std::string& error);
    bool TransferLogOpen() const { return transferOpen_.load(std::memory_order_relaxed); }
    void WriteTransfer(const std::string& line);
    // True when everything queued was written within timeoutMs.
    bool Flush(int timeoutMs);
    uint64_t Dropped() const { return droppedTotal_.load(); }

private:
    enum class Kind { Event, Transfer, SwapTransfer };
    // Event lines are formatted by the writing thread: the caller only queues the text.
    struct Entry {
        Kind kind;
        std::string text;  // Transfer: the line with its end
        LogLevel level = LogLevel::Info;
        time_t time = 0;
        int fd = -1;  // SwapTransfer: the transfer log's new descriptor (-1: none)
    };
    void Queue(Entry entry);
    void Run();
    static void WriteAll(int fd, const std::string& data);

    const int fd_;
    const LogTarget target_;
    const size_t capacity_;
    std::atomic<uint32_t> mask_{0};  // bit n: level n is written
    std::atomic<bool> transferOpen_{false};
    std::mutex lock_;
    std::condition_variable wake_, idle_;
    std::deque<Entry> queue_;
    bool writing_ = false;
    bool waiting_ = false;  // the thread waits for a first line
    bool stopping_ = false;
    uint64_t dropped_ = 0;  // since the last report
    std::atomic<uint64_t> droppedTotal_{0};
    int transferFd_ = -1;  // the writing thread's own
    std::thread thread_;
};

// The process's log, on stderr; nothing is written until Configure turns levels on.
class Log {
public:
    static void Configure(const LogSwitches& switches);
    static bool On(LogLevel level);
    static void Write(LogLevel level, const std::string& text);
    // The transfer log: opens path for appending (creating it), closing the one before; ""
    // closes it. Called again with the same path it reopens the file (after a rotation).
    // False, with the reason in error, when the file cannot be opened.
    static bool OpenTransferLog(const std::string& path, std::string& error);
    static bool TransferLogOpen();
    static void WriteTransfer(const std::string& line);  // line without its end
    // Waits up to timeoutMs for the queued lines to be written (at exit).
    static void Flush(int timeoutMs);

    // The writer behind the calls above; tests make their own.
    static LogWriter& Writer();
};

}  // namespace platform
