#include "platform/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <vector>

namespace platform {

EventLoop::EventLoop() {
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epollFd_ < 0 || wakeFd_ < 0) throw std::runtime_error("event loop descriptors");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd_;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev) != 0)
        throw std::runtime_error("event loop epoll");
}

EventLoop::~EventLoop() {
    for (auto& [fd, cb] : timers_) ::close(fd);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (epollFd_ >= 0) ::close(epollFd_);
}

namespace {
// The loop whose handlers run on this thread right now.
thread_local EventLoop* runningLoop = nullptr;
}  // namespace

void EventLoop::Post(uint32_t code, void* first, void* second, uint32_t tag) {
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        wasEmpty = queue_.empty();
        queue_.push_back(PostedEvent{code, first, second, tag});
    }
    if (!wasEmpty) return;  // one signal per batch is enough: a batch takes the whole queue
    if (runningLoop == this) {
        // Posted by a handler of this loop: the loop looks at its queue before it waits, so
        // the signal (two system calls per event) is only needed by an outside driver.
        selfPosted_ = true;
        return;
    }
    Signal();
}

void EventLoop::PostTask(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        tasks_.push_back(std::move(task));
    }
    if (runningLoop == this) {
        selfPosted_ = true;
        return;
    }
    Signal();
}

void EventLoop::Signal() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

int EventLoop::AddTimer(unsigned periodMs, TimerCallback callback) {
    int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) return 0;
    itimerspec period{};
    period.it_interval.tv_sec = periodMs / 1000;
    period.it_interval.tv_nsec = static_cast<long>(periodMs % 1000) * 1000000L;
    period.it_value = period.it_interval;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::timerfd_settime(fd, 0, &period, nullptr) != 0 ||
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        ::close(fd);
        return 0;
    }
    timers_[fd] = std::move(callback);
    return fd;
}

void EventLoop::RemoveTimer(int id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, id, nullptr);
    ::close(id);
    timers_.erase(it);
}

bool EventLoop::AddReader(int fd, std::function<void()> callback) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
    readers_[fd] = std::move(callback);
    return true;
}

void EventLoop::RemoveReader(int fd) {
    if (readers_.erase(fd) != 0) ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
}

void EventLoop::DrainWakeFd() {
    uint64_t count;  // one read resets the counter
    [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
}

void EventLoop::RunPending() {
    epoll_event ready[kMaxReady];
    int n = ::epoll_wait(epollFd_, ready, kMaxReady, 0);
    RunReady(ready, n);
    // An outside driver waits for the descriptor: make it readable for what handlers posted.
    if (selfPosted_) {
        selfPosted_ = false;
        if (PendingCount() > 0) Signal();
    }
}

void EventLoop::RunOnce(int timeoutMs) {
    selfPosted_ = false;
    auto now = std::chrono::steady_clock::now();
    if (PendingCount() > 0) {
        // Events are waiting: timers and outside posts are looked at once a millisecond
        // rather than with a system call per batch.
        if (now - lastLook_ < std::chrono::milliseconds(1)) return RunReady(nullptr, 0);
        timeoutMs = 0;
    }
    epoll_event ready[kMaxReady];
    int n = ::epoll_wait(epollFd_, ready, kMaxReady, timeoutMs);
    if (n < 0 && errno != EINTR) return;
    lastLook_ = timeoutMs == 0 ? now : std::chrono::steady_clock::now();
    RunReady(ready, n);
}

void EventLoop::RunReady(const epoll_event* ready, int count) {
    auto began = std::chrono::steady_clock::now();
    EventLoop* outer = runningLoop;
    runningLoop = this;
    if (batchBegin_) batchBegin_();
    std::vector<int> expired, readable;
    for (int i = 0; i < count; ++i) {
        int fd = ready[i].data.fd;
        if (fd == wakeFd_) {
            DrainWakeFd();
        } else if (readers_.count(fd) != 0) {
            readable.push_back(fd);
        } else {
            uint64_t expirations;
            if (::read(fd, &expirations, sizeof expirations) > 0) expired.push_back(fd);
        }
    }
    for (int fd : expired) {
        auto it = timers_.find(fd);  // a callback may have removed a later timer
        if (it != timers_.end()) {
            TimerCallback cb = it->second;
            cb();
        }
    }
    for (int fd : readable) {
        auto it = readers_.find(fd);
        if (it != readers_.end()) {
            std::function<void()> cb = it->second;
            cb();
        }
    }
    std::deque<PostedEvent> batch;
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        batch.swap(queue_);
        tasks.swap(tasks_);
    }
    for (const PostedEvent& ev : batch)
        if (handler_) handler_(ev);
    for (std::function<void()>& task : tasks) task();
    if (batchEnd_) batchEnd_();
    runningLoop = outer;
    // A handler that runs the loop again (a modal wait) is counted once, by its outer run.
    if (outer == this) return;
    busyNs_.fetch_add(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                std::chrono::steady_clock::now() - began)
                                                .count()),
                      std::memory_order_relaxed);
}

bool EventLoop::RunUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        RunOnce(static_cast<int>(std::min<int64_t>(left.count(), 100)));
    }
    return true;
}

void EventLoop::Run() {
    while (!QuitRequested()) RunOnce(-1);
}

void EventLoop::Quit() {
    // Only an atomic store and a write(): safe from a signal handler.
    quit_.store(true);
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

bool EventLoop::QuitRequested() const {
    return quit_.load();
}

size_t EventLoop::PendingCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return queue_.size() + tasks_.size();
}

}  // namespace platform
