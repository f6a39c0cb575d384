// The benchmark's FTP client: a compiled one, so that on a small machine the client's own
// CPU does not decide the figures of fast servers. bench/compare_peers.py starts one process
// per job. A process logs in its sessions, prints "ready", waits for a line on standard
// input, does its job and prints one line of JSON: what it did, its CPU and its timings
// (CLOCK_MONOTONIC seconds, the clock of Python's time.perf_counter).
//
//   ftp_load --port P --user U --password W [--tls] --kind reuse|connect|many|big
//            [--sessions N] [--host A] [--source A] [--pasv] PATH...
//
// reuse:   one session fetches every PATH in turn.
// connect: a connect, login, fetch and QUIT for every PATH.
// many:    N sessions, each on a thread of its own, share the PATHs between them; the
//          time of every RETR is reported.
// big:     N sessions, each on a thread of its own, fetch the first PATH at once.
// Sessions use TYPE I, EPSV and "CWD pub"; with --tls they use AUTH TLS, PROT P and resume
// the control connection's TLS session on their data connections. --host is the server's
// IPv4 address (default 127.0.0.1), --source the client's own (each loopback address is a
// client of its own to a balancer that keeps a client on one node), and --pasv asks PASV
// and connects to the address it names: behind a balancer, EPSV would send the data
// connection to the balancer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

double Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Endpoints {
    in_addr host{htonl(INADDR_LOOPBACK)};
    in_addr source{htonl(INADDR_ANY)};
};

int Connect(const Endpoints& where, int port, in_addr host) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
    timeval timeout{60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (where.source.s_addr != htonl(INADDR_ANY)) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr = where.source;
        if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            std::string why = strerror(errno);
            close(fd);
            throw std::runtime_error("bind: " + why);
        }
    }
    address.sin_addr = host;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::string why = strerror(errno);
        close(fd);
        throw std::runtime_error("connect to port " + std::to_string(port) + ": " + why);
    }
    return fd;
}

// A socket, plain or TLS, with a read buffer for reply lines.
class Stream {
public:
    explicit Stream(int fd) : fd_(fd) {}
    ~Stream() {
        if (ssl_) SSL_free(ssl_);
        if (fd_ >= 0) close(fd_);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    void StartTls(SSL_CTX* context, SSL_SESSION* resume) {
        ssl_ = SSL_new(context);
        SSL_set_fd(ssl_, fd_);
        if (resume) SSL_set_session(ssl_, resume);
        if (SSL_connect(ssl_) != 1) throw std::runtime_error("TLS handshake failed");
    }
    SSL* Ssl() const { return ssl_; }

    // Ends a TLS stream with a close notification, as FTP clients do after a transfer
    // (without one the library here marks the session unusable for the next resumption).
    void Close() {
        if (ssl_) SSL_shutdown(ssl_);
    }

    void Send(const std::string& text) {
        size_t sent = 0;
        while (sent < text.size()) {
            long n = ssl_
                         ? SSL_write(ssl_, text.data() + sent, static_cast<int>(text.size() - sent))
                         : send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("send failed");
            sent += static_cast<size_t>(n);
        }
    }

    // Bytes straight from the socket (0 at the end of the stream).
    size_t Receive(char* into, size_t size) {
        if (start_ < end_) {
            size_t n = std::min(size, end_ - start_);
            memcpy(into, buffer_ + start_, n);
            start_ += n;
            return n;
        }
        for (;;) {
            if (ssl_) {
                int n = SSL_read(ssl_, into, static_cast<int>(std::min<size_t>(size, 1 << 30)));
                if (n > 0) return static_cast<size_t>(n);
                int error = SSL_get_error(ssl_, n);
                if (error == SSL_ERROR_ZERO_RETURN) return 0;
                if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == 0) return 0;
                throw std::runtime_error("TLS read failed");
            }
            ssize_t n = recv(fd_, into, size, 0);
            if (n >= 0) return static_cast<size_t>(n);
            if (errno != EINTR) throw std::runtime_error(std::string("recv: ") + strerror(errno));
        }
    }

    std::string Line() {
        std::string line;
        for (;;) {
            for (size_t i = start_; i < end_; ++i) {
                if (buffer_[i] == '\n') {
                    line.append(buffer_ + start_, i + 1 - start_);
                    start_ = i + 1;
                    return line;
                }
            }
            line.append(buffer_ + start_, end_ - start_);
            start_ = end_ = 0;
            size_t n = Receive(buffer_, sizeof buffer_);
            if (n == 0) throw std::runtime_error("the server closed the control connection");
            end_ = n;
        }
    }

private:
    int fd_;
    SSL* ssl_ = nullptr;
    char buffer_[4096];
    size_t start_ = 0, end_ = 0;
};

struct Reply {
    int code;
    std::string line;
};

Reply ReadReply(Stream& control) {
    std::string line = control.Line();
    if (line.size() < 4) throw std::runtime_error("short reply: " + line);
    if (line[3] == '-') {
        for (;;) {
            std::string more = control.Line();
            if (more.compare(0, 3, line, 0, 3) == 0 && more.size() > 3 && more[3] == ' ') break;
        }
    }
    return {std::atoi(line.substr(0, 3).c_str()), line};
}

std::string Trimmed(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

struct Options {
    int port = 0;
    Endpoints where;
    bool pasv = false;
    std::string user, password, kind;
    bool tls = false;
    int sessions = 1;
    std::vector<std::string> paths;
};

class Session {
public:
    Session(const Options& options, SSL_CTX* context)
        : context_(context),
          where_(options.where),
          pasv_(options.pasv),
          control_(Connect(where_, options.port, where_.host)) {
        Reply greeting = ReadReply(control_);
        if (greeting.code != 220) throw Refused(Trimmed(greeting.line));
        if (context_) {
            Command("AUTH TLS", 234);
            control_.StartTls(context_, nullptr);
            Command("PBSZ 0", 200);
            Command("PROT P", 200);
        }
        Reply user = Command("USER " + options.user);
        if (user.code == 331)
            Command("PASS " + options.password, 230);
        else if (user.code != 230)
            throw std::runtime_error("USER answered " + Trimmed(user.line));
        Command("TYPE I", 200);
        // Paths are relative to the share's folder: vsftpd running as the launching user
        // does not chroot, so "/" would be the machine's root there.
        Command("CWD pub", 250);
    }

    Reply Command(const std::string& text, int expected = 0) {
        control_.Send(text + "\r\n");
        Reply reply = ReadReply(control_);
        if (expected && reply.code != expected)
            throw std::runtime_error(text.substr(0, text.find(' ')) + " answered " +
                                     Trimmed(reply.line));
        return reply;
    }

    size_t Fetch(const std::string& path, std::vector<char>& buffer) {
        std::unique_ptr<Stream> data;
        if (pasv_) {
            Reply passive = Command("PASV", 227);
            unsigned h[4], p[2];
            size_t open = passive.line.find('(');
            if (open == std::string::npos ||
                sscanf(passive.line.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &h[0], &h[1], &h[2],
                       &h[3], &p[0], &p[1]) != 6)
                throw std::runtime_error("PASV without an address");
            in_addr host{htonl(h[0] << 24 | h[1] << 16 | h[2] << 8 | h[3])};
            data = std::make_unique<Stream>(
                Connect(where_, static_cast<int>(p[0] * 256 + p[1]), host));
        } else {
            Reply passive = Command("EPSV", 229);
            size_t bars = passive.line.find("|||");
            if (bars == std::string::npos) throw std::runtime_error("EPSV without a port");
            data = std::make_unique<Stream>(
                Connect(where_, std::atoi(passive.line.c_str() + bars + 3), where_.host));
        }
        control_.Send("RETR " + path + "\r\n");
        if (context_) {  // the server starts TLS once it begins the transfer
            SSL_SESSION* session = SSL_get1_session(control_.Ssl());
            data->StartTls(context_, session);
            SSL_SESSION_free(session);
            if (SSL_session_reused(data->Ssl())) ++resumed;
        }
        Reply start = ReadReply(control_);
        if (start.code / 100 != 1) throw std::runtime_error("RETR answered " + Trimmed(start.line));
        size_t total = 0;
        while (size_t n = data->Receive(buffer.data(), buffer.size())) total += n;
        data->Close();
        data.reset();  // some servers wait for the client's close before their 226
        Reply end = ReadReply(control_);
        if (end.code != 226) throw std::runtime_error("RETR ended with " + Trimmed(end.line));
        return total;
    }

    void Quit() {
        try {
            Command("QUIT");
        } catch (const std::exception&) {
        }
    }

    long resumed = 0;  // data connections that resumed the control connection's TLS session

private:
    SSL_CTX* context_;
    Endpoints where_;
    bool pasv_;
    Stream control_;
};

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

struct Outcome {
    std::mutex lock;
    long done = 0, refused = 0, resumed = 0;
    std::vector<std::string> errors;
    std::vector<double> latencies;
    std::vector<std::string> spans;

    void Error(const std::string& what) {
        std::lock_guard<std::mutex> hold(lock);
        errors.push_back(what);
    }
};

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--port")
            options.port = std::stoi(value());
        else if (arg == "--user")
            options.user = value();
        else if (arg == "--password")
            options.password = value();
        else if (arg == "--kind")
            options.kind = value();
        else if (arg == "--sessions")
            options.sessions = std::stoi(value());
        else if (arg == "--tls")
            options.tls = true;
        else if (arg == "--pasv")
            options.pasv = true;
        else if (arg == "--host" || arg == "--source") {
            std::string text = value();
            in_addr& address = arg == "--host" ? options.where.host : options.where.source;
            if (inet_pton(AF_INET, text.c_str(), &address) != 1)
                throw std::runtime_error(arg + " takes an IPv4 address");
        } else if (arg.rfind("--", 0) == 0)
            throw std::runtime_error("unknown option " + arg);
        else
            options.paths.push_back(arg);
    }
    if (options.kind != "reuse" && options.kind != "connect" && options.kind != "many" &&
        options.kind != "big")
        throw std::runtime_error("--kind is reuse, connect, many or big");
    if (options.port <= 0 || options.sessions <= 0 || options.paths.empty())
        throw std::runtime_error("--port, --sessions and at least one path are needed");
    return options;
}

void Run(const Options& options, SSL_CTX* context, std::vector<std::unique_ptr<Session>>& sessions,
         Outcome& outcome) {
    std::vector<char> buffer(1 << 20);
    if (options.kind == "reuse") {
        for (const std::string& path : options.paths) {
            sessions[0]->Fetch(path, buffer);
            ++outcome.done;
        }
        sessions[0]->Quit();
    } else if (options.kind == "connect") {
        for (const std::string& path : options.paths) {
            std::unique_ptr<Session> session;
            try {
                session = std::make_unique<Session>(options, context);
            } catch (const Refused&) {
                ++outcome.refused;
                continue;
            }
            session->Fetch(path, buffer);
            session->Quit();
            ++outcome.done;
            outcome.resumed += session->resumed;
        }
    } else {
        std::vector<std::thread> threads;
        for (size_t k = 0; k < sessions.size(); ++k) {
            threads.emplace_back([&, k] {
                try {
                    std::vector<char> local(options.kind == "many" ? 1 << 16 : 1 << 20);
                    Session& session = *sessions[k];
                    if (options.kind == "many") {
                        for (size_t p = k; p < options.paths.size(); p += sessions.size()) {
                            double begin = Now();
                            session.Fetch(options.paths[p], local);
                            double took = Now() - begin;
                            std::lock_guard<std::mutex> hold(outcome.lock);
                            outcome.latencies.push_back(took);
                        }
                    } else {
                        double begin = Now();
                        size_t size = session.Fetch(options.paths[0], local);
                        double end = Now();
                        char span[96];
                        snprintf(span, sizeof span, "[%.6f,%.6f,%zu]", begin, end, size);
                        std::lock_guard<std::mutex> hold(outcome.lock);
                        outcome.spans.push_back(span);
                    }
                    session.Quit();
                } catch (const std::exception& error) {
                    outcome.Error(error.what());
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        outcome.done = static_cast<long>(options.kind == "many" ? outcome.latencies.size()
                                                                : outcome.spans.size());
    }
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);  // a server may close first
    Options options;
    try {
        options = Parse(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "ftp_load: " << error.what() << "\n";
        return 2;
    }
    SSL_CTX* context = nullptr;
    if (options.tls) {
        context = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
        // Sessions are resumed by hand (control to data). No client cache: a cached session
        // is marked unusable when a data connection ends without a close notification.
        SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    }
    Outcome outcome;
    std::vector<std::unique_ptr<Session>> sessions;
    bool setUp = true;
    try {
        int wanted = options.kind == "reuse" ? 1 : options.kind == "connect" ? 0 : options.sessions;
        for (int i = 0; i < wanted; ++i) {
            try {
                sessions.push_back(std::make_unique<Session>(options, context));
            } catch (const Refused&) {
                if (options.kind != "many") throw;
                ++outcome.refused;
            }
        }
    } catch (const std::exception& error) {
        outcome.Error(std::string("setup: ") + error.what());
        setUp = false;
    }
    std::cout << "ready" << std::endl;
    std::string go;
    std::getline(std::cin, go);
    double cpu = CpuSeconds();
    double started = Now();
    if (setUp) {
        try {
            Run(options, context, sessions, outcome);
        } catch (const std::exception& error) {
            outcome.Error(error.what());
        }
    }
    double ended = Now();
    cpu = CpuSeconds() - cpu;
    for (const auto& session : sessions) outcome.resumed += session->resumed;
    sessions.clear();

    std::string out = "{\"done\": " + std::to_string(outcome.done) +
                      ", \"refused\": " + std::to_string(outcome.refused) +
                      ", \"resumed\": " + std::to_string(outcome.resumed) + ", \"errors\": [";
    for (size_t i = 0; i < outcome.errors.size(); ++i)
        out += (i ? ", " : "") + Json(outcome.errors[i]);
    out += "], \"spans\": [";
    for (size_t i = 0; i < outcome.spans.size(); ++i) out += (i ? ", " : "") + outcome.spans[i];
    out += "], \"latencies\": [";
    char number[48];
    for (size_t i = 0; i < outcome.latencies.size(); ++i) {
        snprintf(number, sizeof number, "%s%.6f", i ? ", " : "", outcome.latencies[i]);
        out += number;
    }
    snprintf(number, sizeof number, "%.6f", cpu);
    out += std::string("], \"cpu\": ") + number;
    snprintf(number, sizeof number, "%.6f", started);
    out += std::string(", \"started\": ") + number;
    snprintf(number, sizeof number, "%.6f", ended);
    out += std::string(", \"ended\": ") + number + "}";
    std::cout << out << std::endl;
    if (context) SSL_CTX_free(context);
    return 0;
}
