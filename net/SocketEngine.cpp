#include "net/SocketEngine.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "net/HostAddress.h"
#include "net/SecureSocket.h"
#include "net/SocketEx.h"

bool SocketState::ChangeState(int wanted) {
    if (state == SS_CLOSED) return wanted == SS_CLOSED;
    if (state == SS_CLOSING && wanted != SS_CLOSED) return wanted == SS_CLOSING;
    state = wanted;
    return true;
}

uint32_t ComputeBudget(int64_t kilobytesPerSecond, int activeSessions) {
    int64_t rate = kilobytesPerSecond * 1024;
    if (activeSessions > 1) rate /= activeSessions;
    if (rate < 2) return 1;
    if (rate > UINT32_MAX) return UINT32_MAX;
    return static_cast<uint32_t>(rate);
}

CSocketEngine& CSocketEngine::Instance() {
    static CSocketEngine engine;
    return engine;
}

CSocketEngine::CSocketEngine() {
    loops_.push_back(&mainLoop_);
}

// A loop's wait set lives as long as the loop, so the loop thread can watch it before the
// engine starts and after it stops.
CSocketLoop::CSocketLoop() : epollFd_(::epoll_create1(EPOLL_CLOEXEC)) {}

CSocketLoop::~CSocketLoop() {
    if (epollFd_ >= 0) ::close(epollFd_);
}

void CSocketLoop::Start() {
    SocketLock lock(mutex_);
    freeList_.clear();
    activeList_.clear();
    for (size_t i = records_.size(); i-- > 0;) {
        records_[i] = SocketState{};
        records_[i].index = static_cast<uint32_t>(i);
        records_[i].loop = this;
        freeList_.push_back(&records_[i]);
    }
    checkList_.clear();
}

void CSocketLoop::Forget() {
    SocketLock lock(mutex_);
    while (!activeList_.empty()) {
        SocketState* record = activeList_.back();
        if (record->owner) record->owner->Forget();
        ReturnRecord(record);
    }
}

bool CSocketEngine::StartEngine() {
    if (started_.load()) return true;
    if (mainLoop_.ReadinessFd() < 0) return false;
    std::vector<CSocketLoop*> loops;
    {
        SocketLock lock(mutex_);
        loops = loops_;
        portMap_.fill(0);
        if (!portRandom_) {
            portRandom_ = [gen = std::mt19937(std::random_device{}())]() mutable {
                return static_cast<uint32_t>(gen());
            };
        }
    }
    for (CSocketLoop* loop : loops) loop->Start();
    capacity_.store(std::max(kDefaultCapacity, openSockets_.load()));
    started_.store(true);
    return true;
}

void CSocketEngine::StopEngine() {
    if (!started_.load()) return;
    std::vector<CSocketLoop*> loops;
    {
        SocketLock lock(mutex_);
        loops = loops_;
    }
    for (CSocketLoop* loop : loops) loop->Forget();
    started_.store(false);
}

bool CSocketEngine::IsStarted() const {
    return started_.load();
}

void CSocketEngine::AddLoop(CSocketLoop* loop) {
    {
        SocketLock lock(mutex_);
        loops_.push_back(loop);
    }
    if (started_.load()) loop->Start();
}

void CSocketEngine::RemoveLoop(CSocketLoop* loop) {
    loop->Forget();
    SocketLock lock(mutex_);
    loops_.erase(std::remove(loops_.begin(), loops_.end(), loop), loops_.end());
}

namespace {
thread_local CSocketLoop* newSocketHome = nullptr;
}  // namespace

CSocketLoop& CSocketEngine::HomeForNewSockets() {
    return newSocketHome ? *newSocketHome : Instance().MainLoop();
}

CSocketEngine::HomeScope::HomeScope(CSocketLoop& loop) : previous_(newSocketHome) {
    newSocketHome = &loop;
}

CSocketEngine::HomeScope::~HomeScope() {
    newSocketHome = previous_;
}

void CSocketLoop::WakeEngine() {
    SocketLock lock(mutex_);
    if (!CSocketEngine::Instance().IsStarted()) return;
    // Interest armed by progress is in the wait set already; only interest that waits for
    // the tick needs a pass. An idle server's tick therefore asks the kernel nothing.
    for (const SocketState* r : activeList_) {
        if ((r->readWanted && !r->readPrompt) || (r->writeWanted && !r->writePrompt) ||
            (r->acceptWanted && !r->acceptPrompt))
            return FullPass();
    }
}

int CSocketLoop::OpenSocketCount() {
    SocketLock lock(mutex_);
    return static_cast<int>(activeList_.size());
}

namespace {
// The events a record waits for; with full false only those armed by progress.
short InterestOf(const SocketState* r, bool full) {
    if (r->handle < 0) return 0;
    switch (r->state) {
        case SS_CONNECTED: {
            short events = 0;
            if (r->readWanted && (full || r->readPrompt)) events |= POLLIN;
            if (r->writeWanted && (full || r->writePrompt)) events |= POLLOUT;
            return events;
        }
        case SS_CONNECTING:
            return POLLOUT;
        case SS_LISTENING:
            return (r->acceptWanted && (full || r->acceptPrompt)) ? POLLIN : 0;
        case SS_CLOSING:
            return POLLIN;
        default:
            return 0;
    }
}
}  // namespace

namespace {
// The socket loop whose batch of handlers this thread runs now, if any.
thread_local CSocketLoop* batchLoop = nullptr;
}  // namespace

uint64_t CSocketLoop::KeyOf(const SocketState* r) const {
    return static_cast<uint64_t>(r->index) | static_cast<uint64_t>(r->incarnation) << 32;
}

SocketState* CSocketLoop::RecordOf(uint64_t key) {
    uint64_t index = key & 0xffffffffu;
    if (index >= records_.size()) return nullptr;
    SocketState* r = &records_[index];
    return r->incarnation == static_cast<uint32_t>(key >> 32) ? r : nullptr;
}

void CSocketLoop::Watch(SocketState* r) {
    if (r->handle < 0 || epollFd_ < 0) return;
    short events = InterestOf(r, false);
    // Interest dropped without a dispatch stays registered: its one spurious report finds
    // nothing wanted and is the registration's last.
    if (!events || (r->watched & events) == events) return;
    epoll_event ev{};
    ev.events = static_cast<uint32_t>(events) | EPOLLONESHOT;
    ev.data.u64 = KeyOf(r);
    int op = r->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(epollFd_, op, r->handle, &ev) != 0) {
        // The record's belief and the kernel's set disagree (a descriptor number reused
        // behind our back); the other operation then fits.
        op = op == EPOLL_CTL_MOD ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
        if (::epoll_ctl(epollFd_, op, r->handle, &ev) != 0) return;
    }
    r->registered = true;
    r->watched = events;
}

void CSocketLoop::Prompt(SocketState* r) {
    // Armed from another thread (an accept handing a socket over): the wait set tells.
    if (batchLoop != this) return Watch(r);
    if (!r->checkQueued) {
        r->checkQueued = true;
        checkList_.push_back(r);
    }
}

void CSocketLoop::ArmRead(SocketState* r, bool prompt) {
    r->readPrompt = prompt || (r->readWanted && r->readPrompt);
    r->readWanted = true;
    if (prompt) Prompt(r);
}

void CSocketLoop::ArmWrite(SocketState* r, bool prompt) {
    r->writePrompt = prompt || (r->writeWanted && r->writePrompt);
    r->writeWanted = true;
    if (prompt) Prompt(r);
}

void CSocketLoop::ArmAccept(SocketState* r, bool prompt) {
    r->acceptPrompt = prompt || (r->acceptWanted && r->acceptPrompt);
    r->acceptWanted = true;
    if (prompt) Prompt(r);
}

void CSocketLoop::BeginBatch() {
    batchLoop = this;
}

void CSocketLoop::EndBatch(const std::function<bool()>& loopHasMore) {
    if (batchLoop == this) batchLoop = nullptr;
    SocketLock lock(mutex_);
    if (checkList_.empty()) return;
    checkFds_.clear();
    checkRecords_.clear();
    checkAssumed_.clear();
    bool ask = false;
    for (SocketState* r : checkList_) {
        r->checkQueued = false;
        short events = InterestOf(r, false);
        short assumed = 0;
        if (r->state == SS_CONNECTED) {
            if ((events & POLLIN) && r->likelyReadable) assumed |= POLLIN;
            if ((events & POLLOUT) && r->likelyWritable) assumed |= POLLOUT;
        }
        r->likelyReadable = r->likelyWritable = false;
        if (!events) continue;
        // Interest beyond a likely readiness stays armed and is looked at next time.
        ask = ask || assumed == 0;
        checkFds_.push_back(pollfd{r->handle, events, 0});
        checkRecords_.push_back({r, r->incarnation});
        checkAssumed_.push_back(assumed);
    }
    checkList_.clear();
    if (checkFds_.empty() || !CSocketEngine::Instance().IsStarted()) return;
    // A wrong guess costs one empty receive or send, which arms the interest again.
    if (ask && ::poll(checkFds_.data(), checkFds_.size(), 0) < 0) {
        for (const Polled& polled : checkRecords_) Watch(polled.record);
        return;
    }
    for (size_t k = 0; k < checkFds_.size(); ++k) checkFds_[k].revents |= checkAssumed_[k];
    Dispatch(checkFds_, checkRecords_);
    // What is still armed (not ready yet, only half ready, or armed again by a handler just
    // now) is checked again after the next batch while the loop has more to do, and handed to
    // the wait set once the loop is about to wait: a busy loop then rarely needs it.
    bool more = loopHasMore && loopHasMore();
    for (const Polled& polled : checkRecords_) {
        SocketState* r = polled.record;
        if (r->incarnation != polled.incarnation) continue;
        short events = InterestOf(r, false);
        if (!events || (r->watched & events) == events) continue;
        if (!more) {
            Watch(r);
        } else if (!r->checkQueued) {
            r->checkQueued = true;
            checkList_.push_back(r);
        }
    }
}

void CSocketLoop::ServeReady() {
    SocketLock lock(mutex_);
    if (!CSocketEngine::Instance().IsStarted()) return;
    std::array<epoll_event, 64> ready;
    int count = ::epoll_wait(epollFd_, ready.data(), static_cast<int>(ready.size()), 0);
    firedFds_.clear();
    firedRecords_.clear();
    for (int k = 0; k < count; ++k) {
        // A record given back and reused since the report was reset already.
        SocketState* r = RecordOf(ready[k].data.u64);
        if (!r || r->handle < 0) continue;
        r->watched = 0;  // one-shot: the registration is spent
        firedFds_.push_back(pollfd{r->handle, 0, static_cast<short>(ready[k].events)});
        firedRecords_.push_back({r, r->incarnation});
    }
    Dispatch(firedFds_, firedRecords_);
    // What was not armed again inside the batch (a close still draining, say) goes back to
    // the wait set now; the rest is looked at when the batch ends.
    for (const Polled& polled : firedRecords_)
        if (polled.record->incarnation == polled.incarnation && !polled.record->checkQueued)
            Watch(polled.record);
}

void CSocketLoop::FullPass() {
    pollFds_.clear();
    pollRecords_.clear();
    for (SocketState* r : activeList_) {
        short events = InterestOf(r, true);
        if (!events) continue;
        pollFds_.push_back(pollfd{r->handle, events, 0});
        pollRecords_.push_back({r, r->incarnation});
    }
    if (pollFds_.empty()) return;
    if (::poll(pollFds_.data(), pollFds_.size(), 0) <= 0) return;
    Dispatch(pollFds_, pollRecords_);
    for (const Polled& polled : pollRecords_)
        if (polled.record->incarnation == polled.incarnation) Watch(polled.record);
}

void CSocketLoop::Dispatch(const std::vector<pollfd>& fds, const std::vector<Polled>& records) {
    constexpr short kReadable = POLLIN | POLLERR | POLLHUP;
    constexpr short kWritable = POLLOUT | POLLERR | POLLHUP;
    // From the last record to the first, as the active list is walked.
    for (size_t k = fds.size(); k-- > 0;) {
        short revents = fds[k].revents;
        SocketState* r = records[k].record;
        if (!revents || !r) continue;
        CSocketEx* socket = r->owner;
        // Skip records given back meanwhile, and records reused since the poll: the new use
        // may even have the same descriptor number, and an old hang-up read as a pending
        // accept would fail a fresh passive listener.
        if (!socket || r->incarnation != records[k].incarnation || r->handle != fds[k].fd) continue;
        switch (r->state) {
            case SS_CONNECTED:
                if (r->readWanted && (revents & kReadable)) socket->DispatchReceive(0);
                if (r->owner == socket && r->state == SS_CONNECTED && r->writeWanted &&
                    (revents & kWritable))
                    socket->DispatchSend(0);
                break;
            case SS_CONNECTING:
                if (revents & (POLLOUT | POLLERR | POLLHUP)) {
                    int error = 0;
                    socklen_t len = sizeof error;
                    if (::getsockopt(r->handle, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
                        error = errno;
                    bool failed = error != 0 || (revents & (POLLERR | POLLHUP));
                    socket->DispatchConnect(failed ? -1 : 0);
                }
                break;
            case SS_LISTENING:
                if (r->acceptWanted && (revents & kReadable)) socket->DispatchAccept(0);
                break;
            case SS_CLOSING: {
                char scratch[512];
                ssize_t n = ::recv(r->handle, scratch, sizeof scratch, 0);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                    socket->DispatchClose(0);
                break;
            }
            default:
                break;
        }
    }
}

void CSocketEngine::SetPortRange(int low, int high) {
    SocketLock lock(mutex_);
    if (low < 0 || high > 65536 || low >= high) return;
    portLow_ = low;
    portHigh_ = high;
}

bool CSocketEngine::SetPortsWanted(int ports) {
    SocketLock lock(mutex_);
    portsWanted_ = std::max(ports, 0);
    return PortEnd() > portHigh_;
}

std::pair<int, int> CSocketEngine::DynamicPortRange() {
    SocketLock lock(mutex_);
    return {portLow_, PortEnd() - 1};
}

int CSocketEngine::PortEnd() const {
    return std::max(portHigh_, std::min(65536, portLow_ + portsWanted_));
}

void CSocketEngine::SetDynamicPorts(bool on) {
    SocketLock lock(mutex_);
    dynamicPorts_ = on;
}

void CSocketEngine::SetBindAddress(const std::string& address) {
    SocketLock lock(mutex_);
    bindAddress_ = address;
}

std::string CSocketEngine::BindAddress() {
    SocketLock lock(mutex_);
    return bindAddress_;
}

void CSocketEngine::SetPortRandom(std::function<uint32_t()> random) {
    SocketLock lock(mutex_);
    portRandom_ = std::move(random);
}

void CSocketEngine::SetDefaultSendBufferSize(int bytes) {
    defaultSendBuffer_.store(bytes, std::memory_order_relaxed);
}

void CSocketEngine::SetSocketCapacity(int sockets) {
    capacity_.store(std::max(std::max(sockets, 0), openSockets_.load()));
}

bool CSocketEngine::TakeSocketSlot() {
    int open = openSockets_.load();
    do {
        if (open >= capacity_.load()) return false;
    } while (!openSockets_.compare_exchange_weak(open, open + 1));
    return true;
}

void CSocketEngine::GiveSocketSlot() {
    openSockets_.fetch_sub(1);
}

SocketState* CSocketEngine::AttachRecord(CSocketEx* owner) {
    return owner->home_->AttachRecord(owner);
}

SocketState* CSocketLoop::AttachRecord(CSocketEx* owner) {
    CSocketEngine& engine = CSocketEngine::Instance();
    if (!engine.TakeSocketSlot()) return nullptr;
    if (freeList_.empty()) {
        // Records come in chunks as sockets need them, so a large pool costs memory only
        // once that many sockets are open.
        size_t first = records_.size();
        for (size_t i = 0; i < kRecordChunk; ++i) {
            SocketState& added = records_.emplace_back();
            added.index = static_cast<uint32_t>(first + i);
            added.loop = this;
        }
        for (size_t i = records_.size(); i-- > first;) freeList_.push_back(&records_[i]);
    }
    SocketState* r = freeList_.back();
    freeList_.pop_back();
    bool queued = r->checkQueued;  // it may still sit on the batch's check list
    uint32_t incarnation = r->incarnation;
    uint32_t index = r->index;
    *r = SocketState{};
    r->checkQueued = queued;
    r->incarnation = incarnation + 1;
    r->index = index;
    r->loop = this;
    r->owner = owner;
    r->activeIndex = static_cast<int>(activeList_.size());
    activeList_.push_back(r);
    return r;
}

void CSocketLoop::ReturnRecord(SocketState* r) {
    if (r->handle >= 0) {
        // Closing the descriptor also takes it out of the wait set.
        ::close(r->handle);
        r->handle = -1;
        r->watched = 0;
        r->registered = false;
    }
    if (r->boundPort >= 0) CSocketEngine::Instance().ReleasePort(r->boundPort);
    int index = r->activeIndex;
    if (index >= 0 && index < static_cast<int>(activeList_.size()) && activeList_[index] == r) {
        // The last record takes the place: the order of the list means nothing.
        activeList_[index] = activeList_.back();
        activeList_[index]->activeIndex = index;
        activeList_.pop_back();
        CSocketEngine::Instance().GiveSocketSlot();
    }
    r->owner = nullptr;
    r->activeIndex = -1;
    r->boundPort = -1;
    freeList_.push_back(r);
}

void CSocketEngine::ReleasePort(int port) {
    SocketLock lock(mutex_);
    SetPortBit(port, false);
}

bool CSocketEngine::PortTaken(int port) const {
    return portMap_[port >> 3] & (1u << (port & 7));
}

void CSocketEngine::SetPortBit(int port, bool taken) {
    if (port < 0 || port > 65535) return;
    if (taken)
        portMap_[port >> 3] |= static_cast<uint8_t>(1u << (port & 7));
    else
        portMap_[port >> 3] &= static_cast<uint8_t>(~(1u << (port & 7)));
}

int CSocketEngine::Bind(SocketState* r, int family, const std::string* address, int port,
                        sockaddr_storage* bound) {
    SocketLock lock(mutex_);
    SocketAddress sa;
    if (!ParseNumericAddress(address ? *address : std::string(), 0, sa, family) ||
        sa.Family() != family)
        return EINVAL;
    auto tryBind = [&](int p) {
        SetAddressPort(sa.storage, p);
        return ::bind(r->handle, sa.Raw(), sa.length) == 0 ? 0 : errno;
    };
    int chosen = port;
    if (port != 0 || !dynamicPorts_) {
        if (int error = tryBind(port)) return error;
    } else {
        const uint32_t span = static_cast<uint32_t>(PortEnd() - portLow_);
        chosen = -1;
        for (int attempt = 1; attempt <= kPortAttempts && chosen < 0; ++attempt) {
            uint64_t draw = portRandom_();
            // Uniform over the range, so a port just given back is rarely handed out at once.
            uint32_t start = static_cast<uint32_t>(draw % span);
            int candidate = -1;
            for (uint32_t step = 1; step < span; ++step) {
                int p = portLow_ + static_cast<int>((start + step) % span);
                if (!PortTaken(p)) {
                    candidate = p;
                    break;
                }
            }
            if (candidate < 0 && span == 1 && !PortTaken(portLow_)) candidate = portLow_;
            if (candidate < 0) return EADDRNOTAVAIL;
            int error = tryBind(candidate);
            if (error == 0) {
                chosen = candidate;
            } else if (error != EADDRINUSE || attempt == kPortAttempts) {
                return error;
            }
        }
    }
    if (chosen == 0) {  // the system chose: learn which
        SocketAddress named;
        named.length = sizeof named.storage;
        if (::getsockname(r->handle, named.Raw(), &named.length) == 0)
            chosen = AddressPort(named.storage);
    }
    r->boundPort = chosen;
    SetPortBit(chosen, true);
    if (bound) {
        SetAddressPort(sa.storage, chosen);
        *bound = sa.storage;
    }
    return 0;
}

// ---- bandwidth budget ----

void CSocketEngine::SetBudget(uint32_t bytesPerSecond) {
    budget_.store(bytesPerSecond, std::memory_order_relaxed);
}

void CSocketEngine::SetBudgetEnabled(bool enabled) {
    budgetEnabled_.store(enabled, std::memory_order_relaxed);
}

void CSocketEngine::SetBudgetSource(BudgetSource source) {
    SocketLock lock(mutex_);
    budgetSource_ = std::move(source);
}

void CSocketEngine::SetBudgetSessions(int activeSessions) {
    SocketLock lock(mutex_);
    budgetSessions_ = activeSessions;
    RefreshBudget();
}

void CSocketEngine::RefreshBudget() {
    SocketLock lock(mutex_);
    platform::Time32 now = platform::Clock::Now();
    lastRefresh_ = now;
    // The schedule behind the source is guarded by this lock too.
    std::optional<int64_t> rate = budgetSource_ ? budgetSource_(now) : std::nullopt;
    if (rate) SetBudget(ComputeBudget(*rate, budgetSessions_));
    SetBudgetEnabled(rate.has_value());
}

void CSocketEngine::StartBudgetPeriod() {
    SocketLock lock(mainLoop_.Mutex());
    mainLoop_.refilledMs_ = platform::Clock::NowMs();
}

// Each loop gives its own sockets their budget back, each socket's share of the whole rate,
// so the limit holds in total over all loops. What is given back is the time gone since the
// last time (a second's worth at most), not a whole second's budget at each change of the
// second: a transfer that began late in a second would otherwise get two seconds' budget
// within a moment.
void CSocketLoop::BudgetTick() {
    SocketLock lock(mutex_);
    CSocketEngine& engine = CSocketEngine::Instance();
    if (!engine.BudgetEnabled()) {
        // Time without a limit is no budget saved up: once a schedule limits, the first
        // tick must not give back a second's worth that a transfer has just spent.
        refilledMs_ = platform::Clock::NowMs();
        return;
    }
    tickCounter_ = (tickCounter_ + 1) % 3;
    if (tickCounter_ != 0) return;
    uint64_t now = platform::Clock::NowMs();
    if (now <= refilledMs_) {
        refilledMs_ = now;  // the clock went back: start again from here
        return;
    }
    uint64_t elapsed = std::min<uint64_t>(now - refilledMs_, 1000);
    // A budget too small for the time gone waits until it amounts to a byte.
    if (uint64_t{engine.Budget()} * elapsed / 1000 == 0) return;
    refilledMs_ = now;
    for (SocketState* r : activeList_) {
        if (!r->open) continue;
        if (auto* secure = dynamic_cast<CSecureSocket*>(r->owner))
            secure->BudgetPeriodReset(static_cast<uint32_t>(elapsed));
    }
}

void CSocketEngine::RefreshBudgetIfDue() {
    SocketLock loopLock(mainLoop_.Mutex());
    SocketLock lock(mutex_);
    if (mainLoop_.tickCounter_ == 0 && platform::Clock::Now() - lastRefresh_ > 9) RefreshBudget();
}
