#include "shell/Display.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool ConnectsUnix(const std::string& path, bool abstract = false) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    ::close(fd);
    return ok;
}

bool ConnectsTcp(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
    bool ok = false;
    for (addrinfo* a = found; a && !ok; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        ok = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0;
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return ok;
}

}  // namespace

std::string X11SocketOf(const std::string& display) {
    size_t colon = display.rfind(':');
    if (colon == std::string::npos || colon + 1 >= display.size()) return "";
    std::string host = display.substr(0, colon);
    std::string rest = display.substr(colon + 1);
    std::string number = rest.substr(0, rest.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos ||
        number.size() > 4)
        return "";
    if (host.empty() || host == "unix") return "/tmp/.X11-unix/X" + number;
    return host + ":" + std::to_string(6000 + std::stoi(number));
}

DisplayChoice ChooseDisplay() {
    std::string platform = Env("QT_QPA_PLATFORM");
    // A platform chosen by hand (offscreen, vnc, ...) is the user's word.
    if (!platform.empty() && platform.rfind("xcb", 0) != 0 && platform.rfind("wayland", 0) != 0)
        return {true, "windows on the \"" + platform + "\" platform"};
    std::string wayland = Env("WAYLAND_DISPLAY");
    if (!wayland.empty() && platform.rfind("xcb", 0) != 0) {
        std::string path = wayland[0] == '/' ? wayland : Env("XDG_RUNTIME_DIR") + "/" + wayland;
        if (ConnectsUnix(path)) return {true, "windows on Wayland display " + wayland};
    }
    std::string display = Env("DISPLAY");
    if (!display.empty()) {
        std::string socket = X11SocketOf(display);
        bool ok = false;
        if (!socket.empty() && socket[0] == '/')
            ok = ConnectsUnix(socket, true) || ConnectsUnix(socket);
        else if (!socket.empty())
            ok = ConnectsTcp(socket.substr(0, socket.rfind(':')),
                             socket.substr(socket.rfind(':') + 1));
        if (ok) return {true, "windows on X display " + display};
        return {false, "headless: X display " + display + " does not answer"};
    }
    if (!wayland.empty())
        return {false, "headless: Wayland display " + wayland + " does not answer"};
    return {false, "headless: no display (DISPLAY and WAYLAND_DISPLAY are not set)"};
}
