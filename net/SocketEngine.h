#pragma once
// The process-wide socket engine: the pool of socket records, the global socket lock, the
// monitor thread that finds ready sockets, the byte totals, the dynamic port range and the
// bandwidth budget.
//
// The monitor waits in epoll on a wake descriptor plus every socket whose interest was armed
// by real progress (bytes moved, a would-block, an accept, a completed connect), so transfers
// run at the speed of the network. Interest armed without progress (a handler asking for the
// next send event, a spent budget, a refused accept) is served by the next tick's full pass,
// which keeps an idle server at rest.
//
// Each socket's registration is one-shot and stays with the socket: whoever arms interest
// (the loop at the end of its batch, or the monitor after a dispatch) re-arms it in the
// kernel with one epoll_ctl, and the sleeping monitor needs no wake to see it. A command on a
// control connection therefore costs the monitor one wake-up, not two.
//
// Interest armed by a handler on the loop thread is first checked by the loop itself at the
// end of its batch (BeginBatch/EndBatch): what is ready then is dispatched there, so a
// transfer that keeps up needs no hand-off between the threads per step; only what has to be
// waited for goes to the monitor.

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>

#include "platform/Clock.h"

class CSocketEx;

enum SocketStateCode {
    SS_NONE = 0,
    SS_CONNECTED = 1,
    SS_CONNECTING = 2,
    SS_LISTENING = 3,
    SS_CLOSING = 4,
    SS_CLOSED = 5,
};

// One open socket's record, owned by the engine.
struct SocketState {
    int handle = -1;
    CSocketEx* owner = nullptr;
    bool open = false;
    bool readWanted = false;
    bool writeWanted = false;
    bool acceptWanted = false;
    bool noGraceful = false;
    int state = SS_NONE;
    int activeIndex = -1;
    int boundPort = -1;
    // Whether each armed interest should wake the monitor as soon as the socket is ready
    // (armed by progress) or wait for the next tick.
    bool readPrompt = false;
    bool writePrompt = false;
    bool acceptPrompt = false;
    bool checkQueued = false;  // on the list of the loop's batch-end readiness check
    // Counts the record's uses: a poll answer about an earlier use (whose descriptor number
    // the kernel handed out again) must not reach the socket now holding the record.
    uint32_t incarnation = 0;
    // What the monitor's epoll registration waits for now; cleared when it fires, as the
    // registration is one-shot.
    short watched = 0;
    bool registered = false;  // the descriptor is in the monitor's epoll set
    // The last receive filled its whole buffer / the last send was taken whole: the socket is
    // very likely ready again, and the batch-end check takes that without asking the kernel.
    bool likelyReadable = false;
    bool likelyWritable = false;

    // From SS_CLOSING only to SS_CLOSED, from SS_CLOSED never, otherwise anywhere.
    // Reports whether the record is now in the wanted state.
    bool ChangeState(int wanted);
};

// Budget in bytes per second per socket for a rate in KB/s shared by the active sessions.
uint32_t ComputeBudget(int64_t kilobytesPerSecond, int activeSessions);

class CSocketEngine {
public:
    static constexpr int kMaxSockets = 512;
    static constexpr int kPortAttempts = 8;

    // What the bandwidth schedule says now: the rate in KB/s, or nothing when it does not limit.
    using BudgetSource = std::function<std::optional<int64_t>(platform::Time32 now)>;

    static CSocketEngine& Instance();

    bool StartEngine();
    void StopEngine();
    // The tick's wake-up: one full pass over every armed socket.
    void WakeEngine();
    bool IsStarted() const;

    std::recursive_mutex& Mutex() { return mutex_; }

    uint64_t TotalBytesReceived();
    uint64_t TotalBytesSent();
    int OpenSocketCount();

    void SetPortRange(int low, int high);
    void SetDynamicPorts(bool on);
    void SetBindAddress(const std::string& address);
    std::string BindAddress();
    // Test hook: the random numbers behind the dynamic port choice.
    void SetPortRandom(std::function<uint32_t()> random);

    // Send-buffer size given to new sockets; 0 leaves the kernel's autotuning alone.
    void SetDefaultSendBufferSize(int bytes);
    int DefaultSendBufferSize();

    // Bandwidth budget.
    void SetBudget(uint32_t bytesPerSecond);
    uint32_t Budget();
    void SetBudgetEnabled(bool enabled);
    bool BudgetEnabled();
    void SetBudgetSource(BudgetSource source);
    void SetBudgetSessions(int activeSessions);  // recomputes the budget
    void RefreshBudget();                        // from the source and the session count
    void BudgetTick();                           // the per-tick period bookkeeping
    void RefreshBudgetIfDue();                   // the ten-second refresh of the tick
    void StartBudgetPeriod();

    // --- used by the socket classes, always under Mutex() ---
    SocketState* AttachRecord(CSocketEx* owner);
    void ReturnRecord(SocketState* record);
    // Binds handle to address:port; port 0 takes a dynamic port. Returns 0 or an errno value.
    int Bind(SocketState* record, const std::string* address, int port);
    void AddBytesSent(uint64_t n) { totalSent_ += n; }
    void AddBytesReceived(uint64_t n) { totalReceived_ += n; }
    void ArmRead(SocketState* record, bool prompt);
    void ArmWrite(SocketState* record, bool prompt);
    void ArmAccept(SocketState* record, bool prompt);
    // Hands the record's interest armed by progress (or a connect or close in progress) to
    // the monitor's wait set; nothing to do when it waits for that already.
    void Watch(SocketState* record);

    // Loop thread, around one batch of event handlers. Interest that the handlers arm after
    // progress is checked once, at the end of the batch, with a zero-time-out poll: a socket
    // that is ready already is dispatched there, and only the others go to the monitor. A
    // transfer whose socket keeps up therefore needs no hand-off to the monitor per step.
    void BeginBatch();
    // loopHasMore: whether the loop will run another batch at once (then what is not ready
    // yet stays with the loop for one more check instead of waking the monitor).
    void EndBatch(const std::function<bool()>& loopHasMore = nullptr);

private:
    CSocketEngine() = default;
    static constexpr uint64_t kWakeKey = ~uint64_t{0};
    void MonitorThread();
    void CloseDescriptors();
    // The epoll key of a record's current use, and the record a key names if still that use.
    uint64_t KeyOf(const SocketState* record) const;
    SocketState* RecordOf(uint64_t key);
    // A zero-time-out poll over every armed socket, also those waiting for the tick, then
    // dispatch.
    void FullPass();
    // A polled record with the use it was polled for.
    struct Polled {
        SocketState* record;
        uint32_t incarnation;
    };
    void Dispatch(const std::vector<pollfd>& fds, const std::vector<Polled>& records);
    void Prompt(SocketState* record);
    bool PortTaken(int port) const;
    void SetPortBit(int port, bool taken);

    mutable std::recursive_mutex mutex_;  // also taken by const readers
    std::thread monitor_;
    int wakeFd_ = -1;
    int epollFd_ = -1;  // the monitor's wait set: the wake descriptor and watched sockets
    bool started_ = false;
    bool stop_ = false;
    bool wakePending_ = false;  // a wake is written and not yet seen
    bool tickPending_ = false;  // the next pass is a full one

    std::array<SocketState, kMaxSockets> records_{};
    std::vector<SocketState*> freeList_;
    std::vector<SocketState*> activeList_;
    std::vector<pollfd> pollFds_;
    std::vector<Polled> pollRecords_;
    std::vector<SocketState*> checkList_;  // armed by progress during the current batch
    std::vector<pollfd> checkFds_;
    std::vector<Polled> checkRecords_;
    std::vector<short> checkAssumed_;

    uint64_t totalSent_ = 0;
    uint64_t totalReceived_ = 0;
    std::array<uint8_t, 8192> portMap_{};
    int portLow_ = 1500;
    int portHigh_ = 2000;
    bool dynamicPorts_ = true;
    std::string bindAddress_ = "0.0.0.0";
    std::function<uint32_t()> portRandom_;
    int defaultSendBuffer_ = 0;

    uint32_t budget_ = 0;
    bool budgetEnabled_ = false;
    platform::Time32 periodStart_ = 0;
    int tickCounter_ = 0;
    platform::Time32 lastRefresh_ = 0;
    int budgetSessions_ = 0;
    BudgetSource budgetSource_;
};

// The engine's lock, for the public socket operations.
using SocketLock = std::lock_guard<std::recursive_mutex>;
