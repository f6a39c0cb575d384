#pragma once
// The loop thread's posted-event queue and timers. Any thread may Post; events are delivered
// in posting order, one at a time, on the thread that calls RunPending. The whole loop is one
// descriptor (Fd), so whoever drives the loop - the headless runner or a GUI toolkit's socket
// notifier - waits on it and then calls RunPending.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

struct epoll_event;

namespace platform {

struct PostedEvent {
    uint32_t code;
    void* first;
    void* second;
    uint32_t tag;  // the poster's own check value, handed back unchanged
};

class EventLoop {
public:
    using Handler = std::function<void(const PostedEvent&)>;
    using TimerCallback = std::function<void()>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // The receiver of posted events (set once, before events flow).
    void SetHandler(Handler handler) { handler_ = std::move(handler); }
    // Called on the loop thread before and after each RunPending's timers and events.
    void SetBatchHooks(std::function<void()> begin, std::function<void()> end) {
        batchBegin_ = std::move(begin);
        batchEnd_ = std::move(end);
    }

    // Any thread. Appends under a short lock and signals the loop; never waits for the loop.
    void Post(uint32_t code, void* first, void* second, uint32_t tag = 0);
    // Any thread. Runs task on the loop thread once every event posted before it is handled.
    void PostTask(std::function<void()> task);

    // Loop thread. A periodic timer; returns its id (> 0), or 0 on failure.
    int AddTimer(unsigned periodMs, TimerCallback callback);
    void RemoveTimer(int id);

    // Loop thread. Calls back whenever fd is readable (the callback must read it); the
    // descriptor stays the caller's.
    bool AddReader(int fd, std::function<void()> callback);
    void RemoveReader(int fd);

    // Readable whenever RunPending has something to do.
    int Fd() const { return epollFd_; }

    // Runs the callbacks of expired timers and every event posted before the call.
    void RunPending();

    // Waits on Fd for at most timeoutMs (-1: without limit), then RunPending.
    void RunOnce(int timeoutMs);

    // Runs until done() (checked before each wait) or timeoutMs pass; whether done() came.
    bool RunUntil(const std::function<bool()>& done, int timeoutMs);

    // Runs until Quit.
    void Run();
    // Any thread, also a signal-safe context.
    void Quit();
    bool QuitRequested() const;

    size_t PendingCount() const;
    // Any thread: the time this loop has spent running handlers, in nanoseconds (monotonic).
    uint64_t BusyNanoseconds() const { return busyNs_.load(std::memory_order_relaxed); }

private:
    static constexpr int kMaxReady = 16;
    void Signal();
    void DrainWakeFd();
    void RunReady(const ::epoll_event* ready, int count);

    std::atomic<uint64_t> busyNs_{0};
    int epollFd_ = -1;
    int wakeFd_ = -1;
    mutable std::mutex mutex_;
    std::deque<PostedEvent> queue_;
    std::deque<std::function<void()>> tasks_;
    Handler handler_;
    std::function<void()> batchBegin_, batchEnd_;
    std::map<int, TimerCallback> timers_;  // timerfd -> callback
    std::map<int, std::function<void()>> readers_;
    std::atomic<bool> quit_{false};
    bool selfPosted_ = false;  // a handler posted without signalling (loop thread only)
    std::chrono::steady_clock::time_point lastLook_{};  // last epoll look (RunOnce)
};

}  // namespace platform
