// Socket engine benchmark: throughput of two engine sockets on loopback against a plain
// blocking socket pair, and the CPU an idle engine uses with idle connections.
//
//   engine_bench [--bytes N] [--sndbuf BYTES|0] [--idle-connections N] [--idle-seconds S]
//
// --sndbuf 0 leaves the kernel's send-buffer autotuning alone (the engine's default);
// --sndbuf 8192 gives every socket a fixed 8192-byte send buffer.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/FtpConnection.h"
#include "engine/MsgWnd.h"
#include "net/NetRuntime.h"
#include "net/SocketEngine.h"
#include "platform/Clock.h"
#include "platform/EventLoop.h"

namespace {

constexpr int kStep = 32768;  // what a file transfer moves per send event

class BenchConnection : public CFtpConnection {
public:
    using CFtpConnection::CFtpConnection;
    CFtpSocket* CreatePrimarySocket(CFtpConnection* owner) override {
        return new CFtpSocket(owner);
    }
    CFtpSocket* CreateSecondarySocket(CFtpConnection* owner) override {
        return new CFtpSocket(owner);
    }

    void OnAccept(CFtpSocket* listener) override {
        CFtpConnection::OnAccept(listener);
        if (acceptInto) listener->Accept(*acceptInto);
        ++accepted;
    }
    void OnConnect(CFtpSocket* s, bool ok) override {
        CFtpConnection::OnConnect(s, ok);
        connected += ok;
        if (ok && sendTotal) Pump(s);
    }
    void OnSend(CFtpSocket* s) override {
        CFtpConnection::OnSend(s);
        if (sendTotal) Pump(s);
    }
    void OnReceive(CFtpSocket* s) override {
        CFtpConnection::OnReceive(s);
        static std::vector<char> buffer(65536);
        for (int i = 0; i < 4; ++i) {
            int n = s->Receive(buffer.data(), static_cast<int>(buffer.size()));
            if (n <= 0) break;
            received += static_cast<uint64_t>(n);
        }
    }

    // One step per send event, as a download does.
    void Pump(CFtpSocket* s) {
        static std::vector<char> data(kStep, 'q');
        if (sent >= sendTotal) return;
        int want = static_cast<int>(std::min<uint64_t>(kStep, sendTotal - sent));
        int n = s->Send(data.data(), want);
        if (n > 0) sent += static_cast<uint64_t>(n);
        if (sent >= sendTotal) s->ShutDown();
    }

    CFtpSocket* acceptInto = nullptr;
    uint64_t sendTotal = 0, sent = 0, received = 0;
    int accepted = 0, connected = 0;
};

double Seconds() {
    return static_cast<double>(platform::MonotonicMs()) / 1000.0;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

template <typename Done>
void Run(platform::EventLoop& loop, Done done) {
    while (!done()) loop.RunOnce(100);
}

int ListenPort(CFtpSocket* listener) {
    if (!listener->Create(0, SOCK_STREAM, "127.0.0.1") || !listener->Listen(5)) {
        std::fprintf(stderr, "cannot listen\n");
        std::exit(1);
    }
    std::string address;
    int port = 0;
    listener->GetSockName(address, port);
    return port;
}

// Connections must outlive every event posted for them; the benchmark's connections simply
// live until the process ends.
template <typename T>
T& KeepAlive(T* object) {
    static std::vector<std::unique_ptr<CFtpConnection>> all;
    all.emplace_back(object);
    return *object;
}

double EngineThroughput(platform::EventLoop& loop, CMsgWnd& window, uint64_t bytes) {
    BenchConnection& receiver = KeepAlive(new BenchConnection(&window));
    BenchConnection& sender = KeepAlive(new BenchConnection(&window));
    receiver.Create();
    sender.Create();
    receiver.acceptInto = receiver.PrimarySocket();
    int port = ListenPort(receiver.TertiarySocket());
    sender.sendTotal = bytes;
    double start = Seconds();
    sender.PrimarySocket()->Create(0);
    sender.PrimarySocket()->Connect("127.0.0.1", port);
    Run(loop, [&] { return receiver.received >= bytes; });
    double elapsed = Seconds() - start;
    return static_cast<double>(bytes) / elapsed / 1e6;
}

double BlockingThroughput(uint64_t bytes) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(listener, 1);
    socklen_t len = sizeof sa;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
    double start = Seconds();
    std::thread writer([&] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        std::vector<char> data(kStep, 'q');
        uint64_t sent = 0;
        while (sent < bytes) {
            ssize_t n = ::send(fd, data.data(), std::min<uint64_t>(kStep, bytes - sent), 0);
            if (n <= 0) break;
            sent += static_cast<uint64_t>(n);
        }
        ::close(fd);
    });
    int fd = ::accept(listener, nullptr, nullptr);
    std::vector<char> buffer(65536);
    uint64_t received = 0;
    ssize_t n;
    while ((n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0)
        received += static_cast<uint64_t>(n);
    double elapsed = Seconds() - start;
    writer.join();
    ::close(fd);
    ::close(listener);
    return static_cast<double>(received) / elapsed / 1e6;
}

void IdleCpu(platform::EventLoop& loop, CMsgWnd& window, int connections, int seconds) {
    BenchConnection& server = KeepAlive(new BenchConnection(&window));
    server.Create();
    int port = ListenPort(server.TertiarySocket());
    std::vector<std::unique_ptr<CFtpSocket>> serverSide;
    std::vector<BenchConnection*> clients;
    for (int i = 0; i < connections; ++i) {
        serverSide.push_back(std::make_unique<CFtpSocket>(&server));
        server.acceptInto = serverSide.back().get();
        clients.push_back(&KeepAlive(new BenchConnection(&window)));
        clients.back()->Create();
        clients.back()->PrimarySocket()->Create(0);
        clients.back()->PrimarySocket()->Connect("127.0.0.1", port);
        Run(loop, [&] { return server.accepted == i + 1 && clients.back()->connected == 1; });
    }
    // Settle, then measure: every socket has read interest armed, nothing arrives.
    double settle = Seconds() + 0.5;
    Run(loop, [&] { return Seconds() >= settle; });
    double cpuStart = CpuSeconds(), wallStart = Seconds();
    Run(loop, [&] { return Seconds() - wallStart >= seconds; });
    double cpu = CpuSeconds() - cpuStart, wall = Seconds() - wallStart;
    std::printf("idle: %d connections (%d sockets), %.1f s: CPU %.3f s = %.3f %%\n", connections,
                CSocketEngine::Instance().OpenSocketCount(), wall, cpu, 100.0 * cpu / wall);
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t bytes = 1ull << 30;
    int sndbuf = 0, idleConnections = 50, idleSeconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--bytes")
            bytes = std::strtoull(argv[i + 1], nullptr, 10);
        else if (option == "--sndbuf")
            sndbuf = std::atoi(argv[i + 1]);
        else if (option == "--idle-connections")
            idleConnections = std::atoi(argv[i + 1]);
        else if (option == "--idle-seconds")
            idleSeconds = std::atoi(argv[i + 1]);
    }
    CThrottleRuntime runtime;
    if (!runtime.Init()) return 1;
    CSocketEngine::Instance().SetDefaultSendBufferSize(sndbuf);
    platform::EventLoop loop;
    CMsgWnd window(loop);
    loop.AddTimer(75, [&] { runtime.Tick(0); });

    double engine = EngineThroughput(loop, window, bytes);
    double blocking = BlockingThroughput(bytes);
    std::printf("throughput, %llu bytes, send buffer %s:\n", static_cast<unsigned long long>(bytes),
                sndbuf ? std::to_string(sndbuf).c_str() : "autotuned");
    std::printf("  engine sockets   %8.1f MB/s\n", engine);
    std::printf("  blocking sockets %8.1f MB/s\n", blocking);
    std::printf("  ratio            %8.2f\n", engine / blocking);
    if (idleConnections > 0 && idleSeconds > 0) IdleCpu(loop, window, idleConnections, idleSeconds);
    runtime.Term();
    return 0;
}
