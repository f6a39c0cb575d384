#include "metrics/MetricsEndpoint.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "metrics/MetricsText.h"

namespace metrics {

namespace {
// A scraper opens a connection or two; the limit only stops a flood from taking descriptors.
constexpr unsigned kMaxConnections = 32;
constexpr unsigned kIdleSeconds = 10;
// The request line and headers of a scrape are small.
constexpr size_t kConnectionMemory = 32 * 1024;
}  // namespace

struct EndpointCallbacks {
    static void Log(void* cls, const char* format, va_list args) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        static_cast<MetricsEndpoint*>(cls)->lastLibraryError_ = line;
    }

    static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char* /*version*/,
                             const char* /*uploadData*/, size_t* uploadDataSize, void** state) {
        // The first call only announces the request; a body (there should be none) is
        // swallowed before the answer goes out.
        static int announced;
        if (*state == nullptr) {
            *state = &announced;
            return MHD_YES;
        }
        if (*uploadDataSize != 0) {
            *uploadDataSize = 0;
            return MHD_YES;
        }
        auto* self = static_cast<MetricsEndpoint*>(cls);
        MetricsEndpoint::Answer answer =
            MetricsEndpoint::AnswerRequest(method ? method : "", url ? url : "", self->render_);
        MHD_Response* response = MHD_create_response_from_buffer(
            answer.body.size(), answer.body.data(), MHD_RESPMEM_MUST_COPY);
        if (!response) return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
        if (answer.status == MHD_HTTP_METHOD_NOT_ALLOWED)
            MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        MHD_Result queued = MHD_queue_response(connection, answer.status, response);
        MHD_destroy_response(response);
        return queued;
    }
};

MetricsEndpoint::~MetricsEndpoint() {
    Stop();
}

MetricsEndpoint::Answer MetricsEndpoint::AnswerRequest(const std::string& method,
                                                       const std::string& url,
                                                       const Render& render) {
    Answer answer;
    answer.contentType = "text/plain; charset=utf-8";
    if (method != "GET" && method != "HEAD") {
        answer.status = 405;
        answer.body = "Only GET and HEAD are served here.\n";
        return answer;
    }
    std::string path = url.substr(0, url.find('?'));
    if (path == "/metrics") {
        answer.contentType = kMetricsContentType;
        answer.body = render ? render() : std::string();
    } else if (path == "/") {
        answer.body = "Quenlow FTP: the metrics are at /metrics\n";
    } else {
        answer.status = 404;
        answer.body = "Not found: the metrics are at /metrics\n";
    }
    return answer;
}

bool MetricsEndpoint::Start(const std::string& address, int port, Render render,
                            std::string& error) {
    Stop();
    if (port < 0 || port > 65535) {
        error = "the port " + std::to_string(port) + " is not between 0 and 65535";
        return false;
    }
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* where = nullptr;
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
    if (::inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(port));
        where = reinterpret_cast<const sockaddr*>(&v4);
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        where = reinterpret_cast<const sockaddr*>(&v6);
        flags |= IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr) ? MHD_USE_DUAL_STACK : MHD_USE_IPv6;
    } else {
        error = "\"" + address + "\" is not an IPv4 or IPv6 address";
        return false;
    }
    render_ = std::move(render);
    lastLibraryError_.clear();
    daemon_ = MHD_start_daemon(
        flags, static_cast<uint16_t>(port), nullptr, nullptr, &EndpointCallbacks::Handle, this,
        MHD_OPTION_EXTERNAL_LOGGER, &EndpointCallbacks::Log, this, MHD_OPTION_SOCK_ADDR, where,
        MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_END);
    if (!daemon_) {
        error = lastLibraryError_.empty() ? std::string("the HTTP library could not start")
                                          : lastLibraryError_;
        render_ = nullptr;
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : port;
    return true;
}

void MetricsEndpoint::Stop() {
    if (!daemon_) return;
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    render_ = nullptr;
    port_ = 0;
}

}  // namespace metrics
