#pragma once
// Non-blocking TCP socket (IPv4 or IPv6) bound to a record of the socket engine. A socket belongs
// to one socket loop (its home, the loop for new sockets of the thread that made it) for its whole
// life. Public operations take its home's lock; the Dispatch/On/Do operations run with it held
// (when the loop dispatches readiness, or inside a public operation).

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "net/SocketEngine.h"

class CSocketEx {
public:
    static constexpr int kDefaultSendBufferSize = 8192;

    CSocketEx();
    virtual ~CSocketEx();
    CSocketEx(const CSocketEx&) = delete;
    CSocketEx& operator=(const CSocketEx&) = delete;

    // address: dotted IPv4 or IPv6 text (which makes the socket IPv6 whatever family says),
    // or null for all interfaces of family. Port 0 takes a dynamic port. An IPv6 socket bound
    // to :: takes IPv4 connections too.
    virtual bool Create(int port, int type = SOCK_STREAM, const char* address = nullptr,
                        int family = AF_INET);
    virtual bool Connect(const std::string& host, int port);
    virtual int Send(const void* buffer, int length, int flags = 0);
    // Sends up to length (> 0) bytes straight from the file descriptor fd at its offset, which
    // moves on as read() would move it: the bytes never pass through user space. Returns what
    // was sent, 0 when the socket takes nothing now (write interest armed), kEndOfFile, -1 when
    // the connection failed, or kCopyInstead when the bytes must go through Send (TLS, a socket
    // that is not a kernel socket, a file the kernel cannot send from, an error whose kind
    // only the copying path can tell).
    static constexpr int kEndOfFile = -2;
    static constexpr int kCopyInstead = -3;
    virtual int SendFile(int fd, int length);
    virtual int Receive(void* buffer, int length, int flags = 0);
    // Moves up to length (> 0) received bytes into the pipe pipeFd, which must have room for
    // them, without passing through user space. Returns what was moved, 0 when nothing waits
    // now (read interest armed) or the peer has closed (the close is dispatched), -1 when the
    // connection failed, or kCopyInstead when the bytes must come through Receive (TLS, a
    // socket that is not a kernel socket).
    virtual int ReceiveToPipe(int pipeFd, int length);
    virtual void Close();
    virtual void ShutDown();
    virtual bool CanClose();
    // 1 accepted, 0 failed, -1 when this is not an open socket (target untouched).
    virtual int Accept(CSocketEx& target, sockaddr_storage* address = nullptr,
                       socklen_t* length = nullptr);
    virtual bool Listen(int backlog);
    // The longest listen queue the system grants (net.core.somaxconn), so that a burst of
    // connections is answered rather than left half-open by an overflowing queue.
    static int SystemMaxBacklog();
    // Addresses as FormatAddress shows them (an IPv4 peer of a dual-stack socket as IPv4).
    virtual bool GetSockName(std::string& address, int& port);
    virtual bool GetPeerName(std::string& address, int& port);
    // The client a load balancer's PROXY header names is the peer from now on (until the socket
    // is closed), for everyone who asks; false for an address that is not numeric.
    bool SetPeerAddress(const std::string& address, int port);
    // Copies up to length waiting bytes without taking them, outside TLS and the bandwidth
    // budget: > 0 bytes, 0 when none wait (read interest armed), -1 when the connection ended.
    int Peek(void* buffer, int length);
    // Takes length bytes that Peek showed; false when they were not all there.
    bool Skip(int length);
    // AF_INET or AF_INET6 as the socket was made (0 when it is not).
    int Family();
    virtual void SetReadWanted(bool wanted);
    virtual void SetWriteWanted(bool wanted);
    virtual void SetAcceptWanted(bool wanted);
    virtual bool IsOpen();
    virtual bool IsListening();
    // A connection accepted by another loop's listener waits, unwatched, until its own loop
    // takes it up: this arms it there as a fresh connection.
    void Awaken();
    CSocketLoop& Home() const { return *home_; }

    // Called by the engine, with the lock held, when the socket is ready.
    virtual void DispatchAccept(int error);
    virtual void DispatchConnect(int error);
    virtual void DispatchSend(int error);
    virtual void DispatchReceive(int error);
    virtual void DispatchClose(int error);

    // Changes each time the object is bound to a new socket (created or accepted into), so an
    // event raised for an earlier use of a pooled object can be told apart.
    uint32_t Generation() const { return generation_.load(std::memory_order_relaxed); }

    uint64_t BytesSent();
    uint64_t BytesReceived();
    int State();  // SS_NONE when not created
    int Handle();

protected:
    virtual void OnAccept(int error) = 0;
    virtual void OnConnect(int error) = 0;
    virtual void OnSend(int error) = 0;
    virtual void OnReceive(int error) = 0;
    virtual void OnClose(int error) = 0;

    virtual void ResetMembers();
    // accepted: the socket came from accept() and has its listener's options already.
    virtual bool Configure(bool accepted = false);
    virtual bool DoConnect(const std::string& host, int port);
    virtual bool DoAccept(CSocketEx& target, sockaddr_storage* address, socklen_t* length);
    virtual int DoReceive(void* buffer, int length, int flags);
    // Whether a reset from the peer now ends the connection as a close would, not as an
    // error: the peer has already said that everything was sent.
    virtual bool ResetIsOrderlyEnd() const { return false; }
    virtual int DoSend(const void* buffer, int length, int flags);
    virtual int DoSendFile(int fd, int length);
    virtual int DoReceiveToPipe(int pipeFd, int length);
    // What a receive call's result n means: the count moved, 0 for nothing now (read interest
    // armed) or the end (the close dispatched), -1 for a failed connection.
    int Received(ssize_t n, int length);
    virtual void DoClose();
    virtual int DoShutDown();
    virtual bool DoCanClose();

    // Hands the record back and forgets the handle (the engine closes it).
    void ReleaseRecord();
    // The engine took the record back (engine stop).
    void Forget();
    CSocketEngine& Engine() { return CSocketEngine::Instance(); }
    std::recursive_mutex& Mutex() { return home_->Mutex(); }

    CSocketLoop* const home_ = &CSocketEngine::HomeForNewSockets();
    bool created_ = false;
    SocketState* record_ = nullptr;
    uint64_t bytesSent_ = 0;
    uint64_t bytesReceived_ = 0;
    int sendBufferSize_ = kDefaultSendBufferSize;
    std::atomic<uint32_t> generation_{0};
    // A connected socket's two ends (and a listener's own) never change: each is asked of
    // the kernel once, or taken from accept(), and not again for every data connection.
    sockaddr_storage localName_{};
    sockaddr_storage peerName_{};
    int family_ = 0;
    bool localKnown_ = false;
    bool peerKnown_ = false;

    friend class CSocketEngine;
    friend class CSocketLoop;
};
