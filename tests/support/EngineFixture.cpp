#include "support/EngineFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/NetRuntime.h"
#include "platform/Clock.h"

namespace testsupport {

int RecordingConnection::Count(uint32_t code, CFtpSocket* socket) const {
    int n = 0;
    for (const SeenEvent& e : events)
        if (e.code == code && (!socket || e.socket == socket)) ++n;
    return n;
}

void EngineTest::SetUp() {
    ASSERT_TRUE(engine.StartEngine());
    tickTimer = loop.AddTimer(75, [] { CSocketEngine::Instance().WakeEngine(); });
}

void EngineTest::TearDown() {
    loop.RemoveTimer(tickTimer);
    engine.StopEngine();
    engine.SetBudgetEnabled(false);
    engine.SetBudgetSource(nullptr);
    engine.SetPortRange(1500, 2000);
    engine.SetPortsWanted(0);
    engine.SetDynamicPorts(true);
    engine.SetPortRandom(nullptr);
    platform::Clock::Release();
}

bool EngineTest::PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    return loop.RunUntil(done, timeoutMs);
}

void EngineTest::PumpFor(int milliseconds) {
    PumpUntil([] { return false; }, milliseconds);
}

int ConnectBlocking(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendLine(int fd, const std::string& line) {
    std::string wire = line + "\r\n";
    return ::send(fd, wire.data(), wire.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(wire.size());
}

int ListenBlocking(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    return fd;
}

}  // namespace testsupport
