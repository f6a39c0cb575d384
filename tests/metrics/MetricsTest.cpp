// The metrics text, the counters behind it, and the HTTP endpoint a scraper reads it from.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "metrics/MetricsEndpoint.h"
#include "metrics/MetricsText.h"
#include "metrics/ServerCounters.h"

using namespace metrics;

namespace {

bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// One HTTP/1.0 exchange with 127.0.0.1:port; the whole answer (status line, headers, body).
std::string HttpExchange(int port, const std::string& request) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return answer;
}

}  // namespace

TEST(MetricsText, EveryFamilyHasHelpTypeAndItsSeries) {
    MetricsSample s;
    s.version = "1.70";
    s.startTime = 1765000000;
    s.listening = true;
    s.sessionSlots = 64;
    s.sessionsActive = 3;
    s.counters.sessions = 41;
    s.counters.loginsOk = 30;
    s.counters.loginsFailed = 2;
    s.counters.bytesReceived = 1000;
    s.counters.bytesSent = 123456789012ull;
    s.counters.transfers[static_cast<size_t>(Direction::Download)]
                        [static_cast<size_t>(Outcome::Aborted)] = 4;
    s.counters.refused[static_cast<size_t>(Refusal::PerAddressLimit)] = 5;
    s.counters.tlsHandshakes[static_cast<size_t>(TlsChannel::Data)][1] = 6;
    s.counters.ended[static_cast<size_t>(SessionEnd::Idle)] = 7;
    s.loops = {{"main", 1500000000ull, 0}, {"1", 2000000001ull, 2}, {"2", 5, 1}};
    std::string text = FormatMetrics(s);

    for (const char* line : {
             "# TYPE quenlowftp_build_info gauge",
             "quenlowftp_build_info{version=\"1.70\"} 1",
             "quenlowftp_start_time_seconds 1765000000",
             "quenlowftp_listening 1",
             "quenlowftp_session_slots 64",
             "# HELP quenlowftp_sessions_active Sessions connected now.",
             "# TYPE quenlowftp_sessions_active gauge",
             "quenlowftp_sessions_active 3",
             "# TYPE quenlowftp_sessions_total counter",
             "quenlowftp_sessions_total 41",
             "quenlowftp_sessions_ended_total{reason=\"idle\"} 7",
             "quenlowftp_sessions_ended_total{reason=\"client\"} 0",
             "quenlowftp_logins_total{result=\"ok\"} 30",
             "quenlowftp_logins_total{result=\"failed\"} 2",
             "quenlowftp_received_bytes_total 1000",
             "quenlowftp_sent_bytes_total 123456789012",
             "quenlowftp_transfers_total{direction=\"download\",result=\"aborted\"} 4",
             "quenlowftp_transfers_total{direction=\"upload\",result=\"ok\"} 0",
             "quenlowftp_refused_connections_total{reason=\"per_address_limit\"} 5",
             "quenlowftp_refused_connections_total{reason=\"proxy_header\"} 0",
             "quenlowftp_tls_handshakes_total{connection=\"data\",result=\"failed\"} 6",
             "quenlowftp_tls_handshakes_total{connection=\"control\",result=\"ok\"} 0",
             "# TYPE quenlowftp_loop_busy_seconds_total counter",
             "quenlowftp_loop_busy_seconds_total{loop=\"main\"} 1.500000000",
             "quenlowftp_loop_busy_seconds_total{loop=\"1\"} 2.000000001",
             "quenlowftp_loop_busy_seconds_total{loop=\"2\"} 0.000000005",
             "quenlowftp_loop_sessions{loop=\"1\"} 2",
         })
        EXPECT_TRUE(HasLine(text, line)) << line << "\n---\n" << text;
    // Every series is labelled with each value of its label (so a rate starts at 0, not absent).
    size_t transfers = 0;
    for (size_t at = 0; (at = text.find("\nquenlowftp_transfers_total{", at)) != std::string::npos;
         ++at)
        ++transfers;
    EXPECT_EQ(transfers, 6u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(EscapeLabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

TEST(ServerCounters, CountEachKindApartAndKeepOutOfRangeValuesInBounds) {
    ServerCounters c;
    c.CountSession();
    c.CountLogin(true);
    c.CountLogin(false);
    c.CountLogin(false);
    c.CountBytes(10, 0);
    c.CountBytes(5, 7);
    c.CountTransfer(Direction::Upload, Outcome::Failed);
    c.CountRefusal(Refusal::Banned);
    c.CountTlsHandshake(TlsChannel::Control, true);
    c.CountSessionEnd(static_cast<SessionEnd>(42));  // a reason nobody named: "other"
    CounterValues v = c.Read();
    EXPECT_EQ(v.sessions, 1u);
    EXPECT_EQ(v.loginsOk, 1u);
    EXPECT_EQ(v.loginsFailed, 2u);
    EXPECT_EQ(v.bytesReceived, 15u);
    EXPECT_EQ(v.bytesSent, 7u);
    EXPECT_EQ(v.transfers[0][2], 1u);
    EXPECT_EQ(v.refused[static_cast<size_t>(Refusal::Banned)], 1u);
    EXPECT_EQ(v.tlsHandshakes[0][0], 1u);
    EXPECT_EQ(v.ended[static_cast<size_t>(SessionEnd::Other)], 1u);

    // Bumped from several threads at once, nothing is lost.
    ServerCounters shared;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&shared] {
            for (int i = 0; i < 10000; ++i) shared.CountBytes(1, 2);
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(shared.Read().bytesReceived, 40000u);
    EXPECT_EQ(shared.Read().bytesSent, 80000u);
}

TEST(MetricsEndpoint, AnswersByMethodAndPath) {
    MetricsEndpoint::Render render = [] { return std::string("x 1\n"); };
    MetricsEndpoint::Answer a = MetricsEndpoint::AnswerRequest("GET", "/metrics", render);
    EXPECT_EQ(a.status, 200u);
    EXPECT_EQ(a.body, "x 1\n");
    EXPECT_EQ(a.contentType, kMetricsContentType);
    EXPECT_EQ(MetricsEndpoint::AnswerRequest("GET", "/metrics?x=1", render).status, 200u);
    EXPECT_EQ(MetricsEndpoint::AnswerRequest("HEAD", "/metrics", render).status, 200u);
    EXPECT_EQ(MetricsEndpoint::AnswerRequest("GET", "/", render).status, 200u);
    EXPECT_EQ(MetricsEndpoint::AnswerRequest("GET", "/metricsx", render).status, 404u);
    EXPECT_EQ(MetricsEndpoint::AnswerRequest("POST", "/metrics", render).status, 405u);
    EXPECT_EQ(MetricsEndpoint::AnswerRequest("DELETE", "/", render).status, 405u);
}

TEST(MetricsEndpoint, ServesOverHttpAndReportsWhyItCannotStart) {
    int scrapes = 0;
    MetricsEndpoint endpoint;
    std::string error;
    ASSERT_TRUE(endpoint.Start(
        "127.0.0.1", 0, [&scrapes] { return "scrapes " + std::to_string(++scrapes) + "\n"; },
        error))
        << error;
    ASSERT_GT(endpoint.Port(), 0);
    std::string answer =
        HttpExchange(endpoint.Port(), "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("text/plain; version=0.0.4"), std::string::npos) << answer;
    EXPECT_NE(answer.find("\r\n\r\nscrapes 1\n"), std::string::npos) << answer;
    answer =
        HttpExchange(endpoint.Port(), "POST /metrics HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_NE(answer.find(" 405 "), std::string::npos) << answer;
    EXPECT_NE(answer.find("Allow: GET, HEAD"), std::string::npos) << answer;
    answer = HttpExchange(endpoint.Port(), "GET /nothing HTTP/1.0\r\n\r\n");
    EXPECT_NE(answer.find(" 404 "), std::string::npos) << answer;
    // Junk instead of a request ends that connection, not the endpoint.
    HttpExchange(endpoint.Port(), std::string(5000, '\x01') + "\r\n\r\n");
    answer = HttpExchange(endpoint.Port(), "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_NE(answer.find("scrapes 2\n"), std::string::npos) << answer;

    MetricsEndpoint second;
    EXPECT_FALSE(second.Start(
        "127.0.0.1", endpoint.Port(), [] { return std::string(); }, error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    EXPECT_FALSE(second.Start(
        "localhost", 9, [] { return std::string(); }, error));
    EXPECT_EQ(error, "\"localhost\" is not an IPv4 or IPv6 address");
    int port = endpoint.Port();
    endpoint.Stop();
    EXPECT_FALSE(endpoint.Running());
    EXPECT_EQ(HttpExchange(port, "GET /metrics HTTP/1.0\r\n\r\n"), "");
}
