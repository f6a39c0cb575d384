#pragma once
// The process signals the server acts on (SIGINT, SIGTERM, SIGHUP), taken as readable events
// of a descriptor instead of handlers: the loop thread handles them between its events.

namespace platform {

class SignalWatch {
public:
    // Blocks the signals for the calling thread and every thread started after it (call it
    // before any thread is started), and opens the descriptor that reports them.
    SignalWatch();
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    bool Ok() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    // The next signal that arrived, or 0 when none is waiting.
    int Take();

private:
    int fd_ = -1;
};

}  // namespace platform
