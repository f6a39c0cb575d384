#include "cli/Terminal.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "platform/AtomicFile.h"

namespace {
termios g_saved;
bool g_echoOff = false;
struct sigaction g_oldInt, g_oldTerm;

// An interrupt while echo is off must not leave the terminal blind.
void RestoreAndRaise(int signal) {
    if (g_echoOff) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    g_echoOff = false;
    ::sigaction(SIGINT, &g_oldInt, nullptr);
    ::sigaction(SIGTERM, &g_oldTerm, nullptr);
    ::raise(signal);
}

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}
}  // namespace

bool CTerminal::Interactive() const {
    return ::isatty(STDIN_FILENO) == 1;
}

bool CTerminal::ReadLine(const std::string& prompt, std::string& text) {
    std::cerr << prompt << std::flush;
    if (!std::getline(std::cin, text)) return false;
    text = WithoutLineEnd(text);
    return true;
}

bool CTerminal::ReadSecret(const std::string& prompt, std::string& text) {
    termios quiet;
    if (::tcgetattr(STDIN_FILENO, &g_saved) != 0) return ReadLine(prompt, text);
    quiet = g_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    struct sigaction restore {};
    restore.sa_handler = RestoreAndRaise;
    ::sigaction(SIGINT, &restore, &g_oldInt);
    ::sigaction(SIGTERM, &restore, &g_oldTerm);
    g_echoOff = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    bool ok = ReadLine(prompt, text);
    if (g_echoOff) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    g_echoOff = false;
    ::sigaction(SIGINT, &g_oldInt, nullptr);
    ::sigaction(SIGTERM, &g_oldTerm, nullptr);
    return ok;
}

bool ReadFirstLine(const std::string& path, std::string& text, std::string& error) {
    if (path == "-") {
        if (!std::getline(std::cin, text) && text.empty()) {
            error = "nothing could be read from standard input";
            return false;
        }
        text = WithoutLineEnd(text);
        return true;
    }
    std::string content;
    if (!platform::ReadWholeFile(path, content)) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    text = WithoutLineEnd(content.substr(0, content.find('\n')));
    return true;
}
