#pragma once
// The HTTP endpoint a Prometheus server scrapes: GET /metrics answers with the text a callback
// renders at that moment. libmicrohttpd serves it from a thread of its own, so the callback
// runs there and must only read what is safe to read from another thread. It waits in epoll
// without a time-out while nobody connects.

#include <functional>
#include <string>

struct MHD_Daemon;

namespace metrics {

class MetricsEndpoint {
public:
    using Render = std::function<std::string()>;

    MetricsEndpoint() = default;
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // address: a numeric IPv4 or IPv6 address ("::" listens on both families); port 0 takes
    // any free port (see Port). On failure, error says why.
    bool Start(const std::string& address, int port, Render render, std::string& error);
    // Waits for a scrape in progress to end.
    void Stop();
    bool Running() const { return daemon_ != nullptr; }
    int Port() const { return port_; }

    // What a request gets, apart from the socket: the status, the body and its media type.
    struct Answer {
        unsigned status = 200;
        std::string contentType;
        std::string body;
    };
    // GET or HEAD /metrics: the rendered text; / : a pointer to it; other paths 404; other
    // methods 405.
    static Answer AnswerRequest(const std::string& method, const std::string& url,
                                const Render& render);

private:
    MHD_Daemon* daemon_ = nullptr;
    Render render_;
    int port_ = 0;
    std::string lastLibraryError_;
    friend struct EndpointCallbacks;
};

}  // namespace metrics
