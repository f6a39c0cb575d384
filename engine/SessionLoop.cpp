#include "engine/SessionLoop.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

CSessionLoop::CSessionLoop(CMsgWnd& mainWindow) : window_(&mainWindow) {}

CSessionLoop::CSessionLoop()
    : ownLoop_(std::make_unique<platform::EventLoop>()),
      ownSockets_(std::make_unique<CSocketLoop>()),
      ownWindow_(std::make_unique<CMsgWnd>(*ownLoop_, ownSockets_.get())),
      window_(ownWindow_.get()) {
    CSocketEngine::Instance().AddLoop(ownSockets_.get());
}

CSessionLoop::~CSessionLoop() {
    Stop();
    if (ownSockets_) CSocketEngine::Instance().RemoveLoop(ownSockets_.get());
}

bool CSessionLoop::Start() {
    if (!ownLoop_ || thread_.joinable()) return true;
    // The main loop's 75 ms tick does this for the main loop's sockets: interest armed
    // without progress, and the budget's periods.
    CSocketLoop& sockets = *ownSockets_;
    if (ownLoop_->AddTimer(75, [&sockets] {
            sockets.BudgetTick();
            sockets.WakeEngine();
        }) == 0)
        return false;
    thread_ = std::thread([this] { ownLoop_->Run(); });
    threadId_ = thread_.get_id();
    return true;
}

void CSessionLoop::Stop() {
    if (!thread_.joinable()) return;
    ownLoop_->Quit();
    thread_.join();
}

bool CSessionLoop::OnLoopThread() const {
    if (!ownLoop_) return !thread_.joinable();  // the main loop: its caller's thread
    return std::this_thread::get_id() == threadId_;
}

bool CSessionLoop::Drain(int timeoutMs) {
    if (!ownLoop_ || !thread_.joinable() || OnLoopThread()) return true;
    auto state = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto done = std::make_shared<bool>(false);
    ownLoop_->PostTask([state, done] {
        std::lock_guard<std::mutex> guard(state->first);
        *done = true;
        state->second.notify_all();
    });
    std::unique_lock<std::mutex> guard(state->first);
    return state->second.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                  [&done] { return *done; });
}

int SessionLoopCount(int setting) {
    constexpr int kMost = 64;
    if (setting > 0) return std::min(setting, kMost);
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::clamp<long>(online, 1, kMost));
}

bool CSessionLoops::Start(int count, CMsgWnd& mainWindow) {
    if (!loops_.empty()) return false;
    if (count <= 1) {
        loops_.push_back(std::make_unique<CSessionLoop>(mainWindow));
        return true;
    }
    for (int i = 0; i < count; ++i) {
        loops_.push_back(std::make_unique<CSessionLoop>());
        if (!loops_.back()->Start()) return false;
    }
    return true;
}

void CSessionLoops::Stop() {
    for (auto& loop : loops_) loop->Stop();
}

bool CSessionLoops::DrainAll() {
    bool all = true;
    for (auto& loop : loops_) all = loop->Drain() && all;
    return all;
}

std::vector<CSessionLoop*> CSessionLoops::Loops() const {
    std::vector<CSessionLoop*> loops;
    for (const auto& loop : loops_) loops.push_back(loop.get());
    return loops;
}
