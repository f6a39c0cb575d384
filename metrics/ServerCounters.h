#pragma once
// The server's running totals for a metrics scrape. Any thread bumps them with relaxed atomic
// adds (they are tallies, not synchronisation); nothing resets them while the program runs,
// so a scraper's rates stay right across server stops and console resets.

#include <array>
#include <atomic>
#include <cstdint>

namespace metrics {

// Why a connection was turned away before it became a session (or right after a load
// balancer's header named its client).
enum class Refusal : int {
    Busy,             // every session slot taken
    IpRules,          // refused by the IP rules
    Banned,           // banned after failed logins
    PerAddressLimit,  // too many sessions from the address
    ProxyUntrusted,   // not a trusted source of PROXY headers
    ProxyHeader,      // a missing, late or malformed PROXY header
    kCount
};
enum class Direction : int { Upload, Download, kCount };
enum class Outcome : int { Ok, Aborted, Failed, kCount };
enum class TlsChannel : int { Control, Data, kCount };
// The reasons a session ends, in the order the session list counts them.
enum class SessionEnd : int { Client, Idle, FailedLogins, Shutdown, Error, Other, kCount };

template <typename E>
constexpr size_t Count() {
    return static_cast<size_t>(E::kCount);
}

struct CounterValues {
    uint64_t sessions = 0;
    uint64_t loginsOk = 0, loginsFailed = 0;
    uint64_t bytesReceived = 0, bytesSent = 0;
    std::array<std::array<uint64_t, Count<Outcome>()>, Count<Direction>()> transfers{};
    std::array<uint64_t, Count<Refusal>()> refused{};
    // [channel][0 ok, 1 failed]
    std::array<std::array<uint64_t, 2>, Count<TlsChannel>()> tlsHandshakes{};
    std::array<uint64_t, Count<SessionEnd>()> ended{};
};

class ServerCounters {
public:
    void CountSession() { Add(sessions_); }
    void CountLogin(bool ok) { Add(ok ? loginsOk_ : loginsFailed_); }
    void CountBytes(uint64_t received, uint64_t sent);
    void CountTransfer(Direction direction, Outcome outcome);
    void CountRefusal(Refusal why);
    void CountTlsHandshake(TlsChannel channel, bool ok);
    void CountSessionEnd(SessionEnd why);
    CounterValues Read() const;

private:
    using Counter = std::atomic<uint64_t>;
    static void Add(Counter& c, uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }
    Counter sessions_{0}, loginsOk_{0}, loginsFailed_{0}, bytesReceived_{0}, bytesSent_{0};
    std::array<std::array<Counter, Count<Outcome>()>, Count<Direction>()> transfers_{};
    std::array<Counter, Count<Refusal>()> refused_{};
    std::array<std::array<Counter, 2>, Count<TlsChannel>()> tls_{};
    std::array<Counter, Count<SessionEnd>()> ended_{};
};

// The program's one set of counters.
ServerCounters& Counters();

}  // namespace metrics
