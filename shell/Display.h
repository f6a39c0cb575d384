#pragma once
// Whether a window system is there to open windows on, found without the toolkit (which ends
// the process when it cannot connect).

#include <string>

struct DisplayChoice {
    bool windows = false;
    std::string reason;  // said on stderr: which display, or why none
};

// From the environment: QT_QPA_PLATFORM, WAYLAND_DISPLAY (with XDG_RUNTIME_DIR) and DISPLAY,
// each display checked by connecting to its socket.
DisplayChoice ChooseDisplay();

// The X11 socket a DISPLAY value names: "/tmp/.X11-unix/X<n>" for a local display, or
// "host:port" (port 6000 + n) for a remote one; "" when the value cannot be read.
std::string X11SocketOf(const std::string& display);
