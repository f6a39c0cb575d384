#pragma once
// A loop that sessions live on. The main loop is one (its sessions share it with the
// controller, the console and the windows); with more than one, each has a thread of its own,
// with its own posted-event queue, socket records, wait set and tick. A session is handed to a
// loop when its pool slot is made and stays there: its sockets, streams and time-outs are that
// loop's alone, and other threads reach it only by posting to the loop.

#include <memory>
#include <thread>
#include <vector>

#include "engine/MsgWnd.h"
#include "net/SocketEngine.h"
#include "platform/EventLoop.h"

class CSessionLoop {
public:
    // The main loop's share: sessions run beside the controller.
    explicit CSessionLoop(CMsgWnd& mainWindow);
    // A loop on a thread of its own (Start).
    CSessionLoop();
    ~CSessionLoop();  // stops the thread
    CSessionLoop(const CSessionLoop&) = delete;
    CSessionLoop& operator=(const CSessionLoop&) = delete;

    bool Start();
    void Stop();
    // Waits until the loop has handled everything posted to it before the call (at most
    // timeoutMs); at once on the loop's own thread.
    bool Drain(int timeoutMs = 2000);

    CFtpEventSink& Sink() { return *window_; }
    CSocketLoop& Sockets() { return window_->Sockets(); }
    platform::EventLoop& Loop() { return window_->Loop(); }
    // Whether the calling thread is the one that runs this loop's handlers.
    bool OnLoopThread() const;
    bool OwnThread() const { return ownLoop_ != nullptr; }

private:
    std::unique_ptr<platform::EventLoop> ownLoop_;
    std::unique_ptr<CSocketLoop> ownSockets_;
    std::unique_ptr<CMsgWnd> ownWindow_;
    CMsgWnd* window_;
    std::thread thread_;
    std::thread::id threadId_;
};

// How many session loops a setting asks for: 0 (or less) the online processors, at most 64.
int SessionLoopCount(int setting);

// The session loops of a server: the main loop alone, or that many loops of their own.
class CSessionLoops {
public:
    // count 1: sessions stay on the main loop.
    bool Start(int count, CMsgWnd& mainWindow);
    // Ends the threads; the loops themselves (and the sockets' records) stay until this goes,
    // which must be after every session on them.
    void Stop();
    bool DrainAll();
    std::vector<CSessionLoop*> Loops() const;
    size_t Count() const { return loops_.size(); }

private:
    std::vector<std::unique_ptr<CSessionLoop>> loops_;
};
