#pragma once
// An in-memory socket for stream tests: what is sent is collected, what is queued is received,
// and it can be told to take only so much or to fail.

#include <algorithm>
#include <cstring>
#include <string>

#include <unistd.h>

#include "net/SocketEx.h"

class FakeSocket : public CSocketEx {
public:
    int Send(const void* buffer, int length, int) override {
        if (fail) return -1;
        int n = std::min(length, room);
        sent.append(static_cast<const char*>(buffer), static_cast<size_t>(n));
        room -= n;
        return n;
    }
    int Receive(void* buffer, int length, int) override {
        if (fail) return -1;
        int n = std::min<int>(length, static_cast<int>(incoming.size()));
        n = std::min(n, chunk);
        std::memcpy(buffer, incoming.data(), static_cast<size_t>(n));
        incoming.erase(0, static_cast<size_t>(n));
        return n;
    }
    void ShutDown() override { shutDown = true; }

    std::string sent, incoming;
    int room = 1 << 30;   // bytes the socket still takes
    int chunk = 1 << 30;  // bytes one receive delivers at most
    bool fail = false, shutDown = false;

protected:
    void OnAccept(int) override {}
    void OnConnect(int) override {}
    void OnSend(int) override {}
    void OnReceive(int) override {}
    void OnClose(int) override {}
};

// A socket that sends files the way the kernel's sendfile does: from the descriptor's offset,
// which moves on, as much as there is room for. It can be told to refuse after some calls.
class SendFileSocket : public FakeSocket {
public:
    int SendFile(int fd, int length) override {
        ++sendFileCalls;
        if (fail) return -1;
        if (sendFileCalls > copyAfter) return kCopyInstead;
        int n = std::min(length, room);
        if (n == 0) return 0;
        std::string bytes(static_cast<size_t>(n), '\0');
        ssize_t got = ::read(fd, bytes.data(), bytes.size());
        if (got == 0) return kEndOfFile;
        if (got < 0) return kCopyInstead;
        sent.append(bytes.data(), static_cast<size_t>(got));
        room -= static_cast<int>(got);
        return static_cast<int>(got);
    }
    int sendFileCalls = 0;
    int copyAfter = 1 << 30;  // calls answered before kCopyInstead
};

// A socket that hands received bytes over through a pipe, as the kernel's splice does. It can
// be told to refuse after some calls.
class PipeSocket : public FakeSocket {
public:
    int ReceiveToPipe(int pipeFd, int length) override {
        ++pipeCalls;
        if (fail) return -1;
        if (pipeCalls > copyAfter) return kCopyInstead;
        int n = std::min({length, chunk, static_cast<int>(incoming.size())});
        if (n == 0) return 0;
        ssize_t put = ::write(pipeFd, incoming.data(), static_cast<size_t>(n));
        if (put <= 0) return -1;
        incoming.erase(0, static_cast<size_t>(put));
        return static_cast<int>(put);
    }
    int pipeCalls = 0;
    int copyAfter = 1 << 30;  // calls answered before kCopyInstead
};

inline std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}
