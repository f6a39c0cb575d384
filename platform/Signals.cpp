#include "platform/Signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace platform {

namespace {
sigset_t Watched() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}
}  // namespace

SignalWatch::SignalWatch() {
    sigset_t set = Watched();
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

SignalWatch::~SignalWatch() {
    if (fd_ >= 0) ::close(fd_);
    sigset_t set = Watched();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int SignalWatch::Take() {
    signalfd_siginfo info{};
    if (fd_ < 0 || ::read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
    return static_cast<int>(info.ssi_signo);
}

}  // namespace platform
