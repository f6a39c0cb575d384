#pragma once
// An in-memory socket for stream tests: what is sent is collected, what is queued is received,
// and it can be told to take only so much or to fail.

#include <algorithm>
#include <cstring>
#include <string>

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

inline std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}
