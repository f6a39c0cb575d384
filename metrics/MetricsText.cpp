#include "metrics/MetricsText.h"

#include <cinttypes>
#include <cstdio>

namespace metrics {

namespace {

constexpr const char* kRefusalNames[] = {
    "busy", "ip_rules", "banned", "per_address_limit", "proxy_untrusted", "proxy_header"};
constexpr const char* kDirectionNames[] = {"upload", "download"};
constexpr const char* kOutcomeNames[] = {"ok", "aborted", "failed"};
constexpr const char* kChannelNames[] = {"control", "data"};
constexpr const char* kEndNames[] = {"client",   "idle",  "failed_logins",
                                     "shutdown", "error", "other"};
static_assert(std::size(kRefusalNames) == Count<Refusal>());
static_assert(std::size(kOutcomeNames) == Count<Outcome>());
static_assert(std::size(kEndNames) == Count<SessionEnd>());

class Writer {
public:
    void Family(const char* name, const char* type, const char* help) {
        name_ = name;
        text_ += "# HELP ";
        text_ += name;
        text_ += ' ';
        text_ += help;
        text_ += "\n# TYPE ";
        text_ += name;
        text_ += ' ';
        text_ += type;
        text_ += '\n';
    }
    // labels: already written as name="value" pairs, without braces; empty for none.
    void Value(const std::string& labels, uint64_t value) {
        Begin(labels);
        text_ += std::to_string(value);
        text_ += '\n';
    }
    void Seconds(const std::string& labels, uint64_t nanoseconds) {
        Begin(labels);
        char digits[32];
        std::snprintf(digits, sizeof digits, "%" PRIu64 ".%09" PRIu64, nanoseconds / 1000000000u,
                      nanoseconds % 1000000000u);
        text_ += digits;
        text_ += '\n';
    }
    std::string Take() { return std::move(text_); }

private:
    void Begin(const std::string& labels) {
        text_ += name_;
        if (!labels.empty()) {
            text_ += '{';
            text_ += labels;
            text_ += '}';
        }
        text_ += ' ';
    }
    const char* name_ = "";
    std::string text_;
};

std::string Label(const char* name, std::string_view value) {
    return std::string(name) + "=\"" + EscapeLabelValue(value) + "\"";
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string FormatMetrics(const MetricsSample& s) {
    const CounterValues& c = s.counters;
    Writer w;
    w.Family("quenlowftp_build_info", "gauge", "The program's version, as a label.");
    w.Value(Label("version", s.version), 1);
    w.Family("quenlowftp_start_time_seconds", "gauge",
             "When the program started, in seconds since 1970.");
    w.Value("", static_cast<uint64_t>(s.startTime < 0 ? 0 : s.startTime));
    w.Family("quenlowftp_listening", "gauge",
             "1 while the server takes FTP clients, 0 while it is stopped.");
    w.Value("", s.listening ? 1 : 0);
    w.Family("quenlowftp_session_slots", "gauge",
             "Sessions the server holds at once (NetMaxConnection).");
    w.Value("", static_cast<uint64_t>(s.sessionSlots < 0 ? 0 : s.sessionSlots));
    w.Family("quenlowftp_sessions_active", "gauge", "Sessions connected now.");
    w.Value("", static_cast<uint64_t>(s.sessionsActive < 0 ? 0 : s.sessionsActive));
    w.Family("quenlowftp_sessions_total", "counter", "Connections taken into a session.");
    w.Value("", c.sessions);
    w.Family("quenlowftp_sessions_ended_total", "counter", "Sessions that ended, by reason.");
    for (size_t e = 0; e < c.ended.size(); ++e) w.Value(Label("reason", kEndNames[e]), c.ended[e]);
    w.Family("quenlowftp_logins_total", "counter", "Login attempts, by result.");
    w.Value(Label("result", "ok"), c.loginsOk);
    w.Value(Label("result", "failed"), c.loginsFailed);
    w.Family("quenlowftp_received_bytes_total", "counter", "Bytes of files received (uploads).");
    w.Value("", c.bytesReceived);
    w.Family("quenlowftp_sent_bytes_total", "counter", "Bytes of files sent (downloads).");
    w.Value("", c.bytesSent);
    w.Family("quenlowftp_transfers_total", "counter", "File transfers, by direction and result.");
    for (size_t d = 0; d < c.transfers.size(); ++d)
        for (size_t o = 0; o < c.transfers[d].size(); ++o)
            w.Value(
                Label("direction", kDirectionNames[d]) + "," + Label("result", kOutcomeNames[o]),
                c.transfers[d][o]);
    w.Family("quenlowftp_refused_connections_total", "counter",
             "Connections turned away, by reason.");
    for (size_t r = 0; r < c.refused.size(); ++r)
        w.Value(Label("reason", kRefusalNames[r]), c.refused[r]);
    w.Family("quenlowftp_tls_handshakes_total", "counter",
             "TLS handshakes on control and data connections, by result.");
    for (size_t ch = 0; ch < c.tlsHandshakes.size(); ++ch) {
        w.Value(Label("connection", kChannelNames[ch]) + "," + Label("result", "ok"),
                c.tlsHandshakes[ch][0]);
        w.Value(Label("connection", kChannelNames[ch]) + "," + Label("result", "failed"),
                c.tlsHandshakes[ch][1]);
    }
    w.Family("quenlowftp_loop_busy_seconds_total", "counter",
             "Time each loop thread spent handling events.");
    for (const LoopSample& loop : s.loops)
        w.Seconds(Label("loop", loop.name), loop.busyNanoseconds);
    w.Family("quenlowftp_loop_sessions", "gauge", "Sessions on each loop thread now.");
    for (const LoopSample& loop : s.loops)
        w.Value(Label("loop", loop.name),
                static_cast<uint64_t>(loop.sessions < 0 ? 0 : loop.sessions));
    return w.Take();
}

}  // namespace metrics
