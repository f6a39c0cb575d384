#include "platform/Log.h"

#include "platform/Clock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

const char* LevelWord(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return "error";
        case LogLevel::Warning:
            return "warning";
        case LogLevel::Notice:
            return "notice";
        case LogLevel::Info:
            return "info";
    }
    return "info";
}

constexpr int kGatherMs = 20;

uint32_t Bit(LogLevel level) {
    return 1u << static_cast<int>(level);
}

}  // namespace

LogTarget DetectLogTarget(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return LogTarget::Plain;
    if (const char* stream = std::getenv("JOURNAL_STREAM")) {
        unsigned long long device = 0, inode = 0;
        if (std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
            device == static_cast<unsigned long long>(st.st_dev) &&
            inode == static_cast<unsigned long long>(st.st_ino))
            return LogTarget::Journal;
    }
    return LogTarget::Plain;
}

std::string FormatLogLine(LogTarget target, LogLevel level, const std::string& text, time_t now) {
    std::string line;
    AppendLogLine(line, target, level, text,
                  target == LogTarget::Journal ? "" : LocalTimeText(static_cast<Time32>(now)));
    return line;
}

void AppendLogLine(std::string& line, LogTarget target, LogLevel level, const std::string& text,
                   const std::string& stamp) {
    if (target == LogTarget::Journal) {
        line += '<';
        line += static_cast<char>('0' + static_cast<int>(level));
        line += '>';
    } else {
        line += stamp;
        line += ' ';
        line += LevelWord(level);
        line += ": ";
    }
    size_t length = std::min(text.size(), kMaxLogText);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            line += escaped;
        } else {
            line += static_cast<char>(c);
        }
    }
    if (length < text.size()) line += "...";
    line += '\n';
}

LogWriter::LogWriter(int fd, LogTarget target, size_t capacity)
    : fd_(fd), target_(target), capacity_(capacity), thread_([this] { Run(); }) {}

LogWriter::~LogWriter() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    if (transferFd_ >= 0) ::close(transferFd_);
}

void LogWriter::Configure(const LogSwitches& switches) {
    uint32_t mask = 0;
    if (switches.enabled) {
        mask |= Bit(LogLevel::Notice);
        if (switches.errors) mask |= Bit(LogLevel::Error);
        if (switches.warnings) mask |= Bit(LogLevel::Warning);
        if (switches.infos) mask |= Bit(LogLevel::Info);
    }
    mask_.store(mask, std::memory_order_relaxed);
}

bool LogWriter::On(LogLevel level) const {
    return (mask_.load(std::memory_order_relaxed) & Bit(level)) != 0;
}

void LogWriter::Write(LogLevel level, const std::string& text) {
    if (!On(level)) return;
    Queue({Kind::Event, text, level, std::time(nullptr)});
}

void LogWriter::WriteTransfer(const std::string& line) {
    if (!TransferLogOpen()) return;
    Queue({Kind::Transfer, line + "\n"});
}

bool LogWriter::OpenTransferLog(const std::string& path, std::string& error) {
    int fd = -1;
    if (!path.empty()) {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640);
        if (fd < 0) {
            error = std::strerror(errno);
            return false;
        }
    }
    transferOpen_.store(fd >= 0, std::memory_order_relaxed);
    Queue({Kind::SwapTransfer, "", LogLevel::Info, 0, fd});
    return true;
}

void LogWriter::Queue(Entry entry) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        // A new transfer log is always taken in: dropping it would leak its descriptor.
        if (queue_.size() >= capacity_ && entry.kind != Kind::SwapTransfer) {
            ++dropped_;
            droppedTotal_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        queue_.push_back(std::move(entry));
        // While the thread gathers a batch it is not waiting: no wake-up per line.
        if (!waiting_) return;
    }
    wake_.notify_one();
}

bool LogWriter::Flush(int timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    return idle_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                          [this] { return queue_.empty() && !writing_; });
}

void LogWriter::WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to write to: the line is lost, nothing else
        done += static_cast<size_t>(n);
    }
}

void LogWriter::Run() {
    std::deque<Entry> batch;
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        waiting_ = true;
        wake_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
        waiting_ = false;
        if (queue_.empty() && stopping_) return;
        if (!stopping_) {
            // What follows the first line within a moment goes out in the same write.
            guard.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(kGatherMs));
            guard.lock();
        }
        batch.swap(queue_);
        uint64_t dropped = dropped_;
        dropped_ = 0;
        writing_ = true;
        guard.unlock();
        // Lines of one kind go out in one write where they can.
        std::string events, transfers;
        time_t stampTime = -1;  // lines of one second share their stamp
        std::string stamp;
        auto flush = [&] {
            if (!events.empty()) WriteAll(fd_, events);
            if (!transfers.empty() && transferFd_ >= 0) WriteAll(transferFd_, transfers);
            events.clear();
            transfers.clear();
        };
        for (Entry& entry : batch) {
            if (entry.kind == Kind::Event) {
                if (target_ != LogTarget::Journal && entry.time != stampTime) {
                    stampTime = entry.time;
                    stamp = LocalTimeText(static_cast<Time32>(stampTime));
                }
                AppendLogLine(events, target_, entry.level, entry.text, stamp);
            } else if (entry.kind == Kind::Transfer) {
                transfers += entry.text;
            } else {
                flush();
                if (transferFd_ >= 0) ::close(transferFd_);
                transferFd_ = entry.fd;
            }
        }
        if (dropped > 0)
            events += FormatLogLine(target_, LogLevel::Warning,
                                    std::to_string(dropped) + " log lines were dropped",
                                    std::time(nullptr));
        flush();
        batch.clear();
        guard.lock();
        writing_ = false;
        if (queue_.empty()) idle_.notify_all();
    }
}

LogWriter& Log::Writer() {
    // Made at first use and never destroyed: its thread may still be writing while the
    // process ends.
    static LogWriter* writer = new LogWriter(STDERR_FILENO, DetectLogTarget(STDERR_FILENO));
    return *writer;
}

void Log::Configure(const LogSwitches& switches) {
    Writer().Configure(switches);
}

bool Log::On(LogLevel level) {
    return Writer().On(level);
}

void Log::Write(LogLevel level, const std::string& text) {
    Writer().Write(level, text);
}

bool Log::OpenTransferLog(const std::string& path, std::string& error) {
    return Writer().OpenTransferLog(path, error);
}

bool Log::TransferLogOpen() {
    return Writer().TransferLogOpen();
}

void Log::WriteTransfer(const std::string& line) {
    Writer().WriteTransfer(line);
}

void Log::Flush(int timeoutMs) {
    Writer().Flush(timeoutMs);
}

}  // namespace platform
