#pragma once
// The process-wide socket engine and its loops. Each loop thread that serves sockets has a
// socket loop of its own (CSocketLoop): its socket records, its socket lock, the wait set that
// finds its ready sockets and its batch. A socket belongs to one loop for its whole life (its
// home), so a ready socket wakes only its own loop, and loops never wait for each other's
// locks while serving sockets. The engine keeps what all loops share: the capacity, the byte
// totals, the dynamic port range, the bind address and the bandwidth budget.
//
// Readiness is found on the loop thread, which also runs every handler: the wait set is one
// epoll descriptor (ReadinessFd) that the loop watches beside its own queue and timers, and
// the loop dispatches what it reports (ServeReady). A command on a control connection thus
// wakes one thread once, where a separate monitor thread would cost two wake-ups and a
// hand-off per command, the bulk of the time a small file takes.
//
// The wait set holds every socket whose interest was armed by real progress (bytes moved, a
// would-block, an accept, a completed connect), so transfers run at the speed of the
// network. Its registrations are one-shot and stay with the socket; re-arming is one
// epoll_ctl. Interest armed without progress (a handler asking for the next send event, a
// spent budget, a refused accept) is served by the next tick's full pass (WakeEngine), which
// keeps an idle server at rest.
//
// Interest armed by a handler is first checked at the end of the loop's batch
// (BeginBatch/EndBatch): what is ready then is dispatched there, so a transfer that keeps up
// needs no wait per step; only what has to be waited for goes to the wait set.
//
// Locks: a loop's socket lock may be held while the engine's own lock is taken, never the
// other way round; the main loop's lock may be held while a session loop's is taken (an
// accept hands the new socket to its session's loop), never the other way round.

#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <netinet/in.h>
#include <poll.h>

#include "platform/Clock.h"

class CSocketEx;
class CSocketLoop;

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
    // Whether each armed interest goes to the wait set as soon as the socket is ready
    // (armed by progress) or wait for the next tick.
    bool readPrompt = false;
    bool writePrompt = false;
    bool acceptPrompt = false;
    bool checkQueued = false;  // on the list of the loop's batch-end readiness check
    // Counts the record's uses: a poll answer about an earlier use (whose descriptor number
    // the kernel handed out again) must not reach the socket now holding the record.
    uint32_t incarnation = 0;
    // What the socket's registration in the wait set waits for now; cleared when it fires, as the
    // registration is one-shot.
    short watched = 0;
    bool registered = false;  // the descriptor is in the wait set
    // The last receive filled its whole buffer / the last send was taken whole: the socket is
    // very likely ready again, and the batch-end check takes that without asking the kernel.
    bool likelyReadable = false;
    bool likelyWritable = false;
    uint32_t index = 0;           // its place among its loop's records, for the wait set's key
    CSocketLoop* loop = nullptr;  // the loop whose records hold it

    // From SS_CLOSING only to SS_CLOSED, from SS_CLOSED never, otherwise anywhere.
    // Reports whether the record is now in the wanted state.
    bool ChangeState(int wanted);
};

// Budget in bytes per second per socket for a rate in KB/s shared by the active sessions.
uint32_t ComputeBudget(int64_t kilobytesPerSecond, int activeSessions);

// One loop thread's share of the engine: its records, socket lock, wait set and batch.
class CSocketLoop {
public:
    CSocketLoop();
    ~CSocketLoop();
    CSocketLoop(const CSocketLoop&) = delete;
    CSocketLoop& operator=(const CSocketLoop&) = delete;

    // The lock of every socket at home here.
    std::recursive_mutex& Mutex() { return mutex_; }
    // Loop thread. Readable when a watched socket is ready; ServeReady then dispatches.
    int ReadinessFd() const { return epollFd_; }
    void ServeReady();
    // The tick's pass: every armed socket, also those waiting for the tick.
    void WakeEngine();
    // The budget's period bookkeeping of this loop's sockets, once per tick.
    void BudgetTick();
    void BeginBatch();
    // loopHasMore: whether the loop will run another batch at once (then what is not ready
    // yet stays with the loop for one more check instead of going to the wait set).
    void EndBatch(const std::function<bool()>& loopHasMore = nullptr);
    int OpenSocketCount();

    // --- used by the socket classes and the engine, always under Mutex() ---
    SocketState* AttachRecord(CSocketEx* owner);
    void ReturnRecord(SocketState* record);
    void ArmRead(SocketState* record, bool prompt);
    void ArmWrite(SocketState* record, bool prompt);
    void ArmAccept(SocketState* record, bool prompt);
    void Watch(SocketState* record);

private:
    friend class CSocketEngine;
    static constexpr size_t kRecordChunk = 256;
    // The epoll key of a record's current use, and the record a key names if still that use.
    uint64_t KeyOf(const SocketState* record) const;
    SocketState* RecordOf(uint64_t key);
    void FullPass();
    struct Polled {
        SocketState* record;
        uint32_t incarnation;
    };
    void Dispatch(const std::vector<pollfd>& fds, const std::vector<Polled>& records);
    void Prompt(SocketState* record);
    void Start();   // every record free again (engine start)
    void Forget();  // every socket loses its record (engine stop)

    mutable std::recursive_mutex mutex_;
    int epollFd_ = -1;
    std::deque<SocketState> records_;  // grows in chunks; a record never moves
    std::vector<SocketState*> freeList_;
    std::vector<SocketState*> activeList_;
    std::vector<pollfd> pollFds_;
    std::vector<Polled> pollRecords_;
    std::vector<pollfd> firedFds_;  // what the wait set reported, as poll() would
    std::vector<Polled> firedRecords_;
    std::vector<SocketState*> checkList_;  // armed by progress during the current batch
    std::vector<pollfd> checkFds_;
    std::vector<Polled> checkRecords_;
    std::vector<short> checkAssumed_;
    // When the sockets' budget was last given back (Clock::NowMs).
    uint64_t refilledMs_ = 0;
    int tickCounter_ = 0;
};

class CSocketEngine {
public:
    // Records are made as sockets need them, up to the capacity: at least this many, and what
    // the server's pool needs (SetSocketCapacity).
    static constexpr int kDefaultCapacity = 512;
    static constexpr int kPortAttempts = 8;

    // What the bandwidth schedule says now: the rate in KB/s, or nothing when it does not limit.
    using BudgetSource = std::function<std::optional<int64_t>(platform::Time32 now)>;

    static CSocketEngine& Instance();

    bool StartEngine();
    void StopEngine();
    bool IsStarted() const;

    // The main loop's socket loop: where sockets live unless made inside a HomeScope.
    CSocketLoop& MainLoop() { return mainLoop_; }
    // A loop joins the engine for as long as it exists (engine start and stop reach it).
    void AddLoop(CSocketLoop* loop);
    void RemoveLoop(CSocketLoop* loop);
    // The loop that sockets made on this thread now take as their home.
    static CSocketLoop& HomeForNewSockets();
    // Sockets made while this lives (on this thread) have the given loop as their home.
    class HomeScope {
    public:
        explicit HomeScope(CSocketLoop& loop);
        ~HomeScope();
        HomeScope(const HomeScope&) = delete;
        HomeScope& operator=(const HomeScope&) = delete;

    private:
        CSocketLoop* previous_;
    };

    // The main loop's share, as a single-loop program sees the engine.
    int ReadinessFd() const { return mainLoop_.ReadinessFd(); }
    void ServeReady() { mainLoop_.ServeReady(); }
    void WakeEngine() { mainLoop_.WakeEngine(); }
    void BeginBatch() { mainLoop_.BeginBatch(); }
    void EndBatch(const std::function<bool()>& loopHasMore = nullptr) {
        mainLoop_.EndBatch(loopHasMore);
    }

    // The engine's own lock: the shared settings, the port map, the budget.
    std::recursive_mutex& Mutex() { return mutex_; }

    uint64_t TotalBytesReceived() { return totalReceived_.load(std::memory_order_relaxed); }
    uint64_t TotalBytesSent() { return totalSent_.load(std::memory_order_relaxed); }
    // Open sockets of every loop.
    int OpenSocketCount() { return openSockets_.load(); }
    // How many sockets may be open at once, over all loops; never below those open now.
    // Starting the engine sets kDefaultCapacity.
    void SetSocketCapacity(int sockets);
    int SocketCapacity() { return capacity_.load(); }

    void SetPortRange(int low, int high);
    // Binds without a port take one of the range's ports. A range smaller than ports is widened
    // upward to that many (never beyond 65535), so that a large pool's sessions can all wait
    // for passive connections at once; 0 keeps the range as set. True when it was widened.
    bool SetPortsWanted(int ports);
    // The ports binds without a port take: first and last.
    std::pair<int, int> DynamicPortRange();
    void SetDynamicPorts(bool on);
    void SetBindAddress(const std::string& address);
    std::string BindAddress();
    // Test hook: the random numbers behind the dynamic port choice.
    void SetPortRandom(std::function<uint32_t()> random);

    // Send-buffer size given to new sockets; 0 leaves the kernel's autotuning alone.
    void SetDefaultSendBufferSize(int bytes);
    int DefaultSendBufferSize() { return defaultSendBuffer_.load(std::memory_order_relaxed); }

    // Bandwidth budget: bytes per second for each socket, the rate shared by every active
    // session of every loop, so a limit holds in total.
    void SetBudget(uint32_t bytesPerSecond);
    uint32_t Budget() { return budget_.load(std::memory_order_relaxed); }
    void SetBudgetEnabled(bool enabled);
    bool BudgetEnabled() { return budgetEnabled_.load(std::memory_order_relaxed); }
    void SetBudgetSource(BudgetSource source);
    // Any thread: the sessions now active (recomputes the budget).
    void SetBudgetSessions(int activeSessions);
    void RefreshBudget();                          // from the source and the session count
    void BudgetTick() { mainLoop_.BudgetTick(); }  // the main loop's period bookkeeping
    void RefreshBudgetIfDue();                     // the ten-second refresh of the tick
    void StartBudgetPeriod();                      // the main loop's period starts now

    // --- used by the socket classes, under the socket's loop lock ---
    SocketState* AttachRecord(CSocketEx* owner);
    void ReturnRecord(SocketState* record) { record->loop->ReturnRecord(record); }
    // Binds handle, a socket of family, to address:port (no address: all interfaces); port 0
    // takes a dynamic port. Returns 0 or an errno value; bound (if given) receives the address
    // and port bound to.
    int Bind(SocketState* record, int family, const std::string* address, int port,
             sockaddr_storage* bound = nullptr);
    void AddBytesSent(uint64_t n) { totalSent_.fetch_add(n, std::memory_order_relaxed); }
    void AddBytesReceived(uint64_t n) { totalReceived_.fetch_add(n, std::memory_order_relaxed); }
    void ArmRead(SocketState* r, bool prompt) { r->loop->ArmRead(r, prompt); }
    void ArmWrite(SocketState* r, bool prompt) { r->loop->ArmWrite(r, prompt); }
    void ArmAccept(SocketState* r, bool prompt) { r->loop->ArmAccept(r, prompt); }
    void Watch(SocketState* r) { r->loop->Watch(r); }
    // A record for a new socket counts against the capacity; false when it is reached.
    bool TakeSocketSlot();
    void GiveSocketSlot();
    void ReleasePort(int port);

private:
    CSocketEngine();
    bool PortTaken(int port) const;
    void SetPortBit(int port, bool taken);

    mutable std::recursive_mutex mutex_;  // also taken by const readers
    CSocketLoop mainLoop_;
    std::vector<CSocketLoop*> loops_;  // every loop, the main one first
    std::atomic<bool> started_{false};
    std::atomic<int> openSockets_{0};
    std::atomic<int> capacity_{kDefaultCapacity};

    std::atomic<uint64_t> totalSent_{0};
    std::atomic<uint64_t> totalReceived_{0};
    std::array<uint8_t, 8192> portMap_{};
    int portLow_ = 1500;
    int portHigh_ = 2000;
    int portsWanted_ = 0;
    int PortEnd() const;
    bool dynamicPorts_ = true;
    std::string bindAddress_ = "0.0.0.0";
    std::function<uint32_t()> portRandom_;
    std::atomic<int> defaultSendBuffer_{0};

    std::atomic<uint32_t> budget_{0};
    std::atomic<bool> budgetEnabled_{false};
    platform::Time32 lastRefresh_ = 0;
    int budgetSessions_ = 0;
    BudgetSource budgetSource_;
};

// The engine's lock, for the public socket operations.
using SocketLock = std::lock_guard<std::recursive_mutex>;
