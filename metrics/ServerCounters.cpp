#include "metrics/ServerCounters.h"

namespace metrics {

namespace {
template <typename E>
size_t Index(E value) {
    size_t i = static_cast<size_t>(value);
    return i < Count<E>() ? i : Count<E>() - 1;
}
uint64_t Get(const std::atomic<uint64_t>& c) {
    return c.load(std::memory_order_relaxed);
}
}  // namespace

void ServerCounters::CountBytes(uint64_t received, uint64_t sent) {
    if (received) Add(bytesReceived_, received);
    if (sent) Add(bytesSent_, sent);
}

void ServerCounters::CountTransfer(Direction direction, Outcome outcome) {
    Add(transfers_[Index(direction)][Index(outcome)]);
}

void ServerCounters::CountRefusal(Refusal why) {
    Add(refused_[Index(why)]);
}

void ServerCounters::CountTlsHandshake(TlsChannel channel, bool ok) {
    Add(tls_[Index(channel)][ok ? 0 : 1]);
}

void ServerCounters::CountSessionEnd(SessionEnd why) {
    Add(ended_[Index(why)]);
}

CounterValues ServerCounters::Read() const {
    CounterValues v;
    v.sessions = Get(sessions_);
    v.loginsOk = Get(loginsOk_);
    v.loginsFailed = Get(loginsFailed_);
    v.bytesReceived = Get(bytesReceived_);
    v.bytesSent = Get(bytesSent_);
    for (size_t d = 0; d < v.transfers.size(); ++d)
        for (size_t o = 0; o < v.transfers[d].size(); ++o)
            v.transfers[d][o] = Get(transfers_[d][o]);
    for (size_t r = 0; r < v.refused.size(); ++r) v.refused[r] = Get(refused_[r]);
    for (size_t c = 0; c < v.tlsHandshakes.size(); ++c)
        for (size_t k = 0; k < 2; ++k) v.tlsHandshakes[c][k] = Get(tls_[c][k]);
    for (size_t e = 0; e < v.ended.size(); ++e) v.ended[e] = Get(ended_[e]);
    return v;
}

ServerCounters& Counters() {
    static ServerCounters counters;
    return counters;
}

}  // namespace metrics
