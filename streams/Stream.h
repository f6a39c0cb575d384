#pragma once
// Every byte the server moves over a connection goes through a stream: it sits on one socket,
// counts the bytes, and keeps a state word the session reads to learn how a transfer ended.
// A data stream adds the transfer mode: in MODE Z the bytes pass through the session's
// deflate buffer.

#include <cstdint>

#include "net/SocketEx.h"
#include "streams/Buffers.h"

class CFtpDeflateBuffer;

enum StreamState : uint32_t {
    STREAM_CONSTRUCTED = 0,
    STREAM_IDLE = 1,
    STREAM_OPEN = 2,
    STREAM_COMPLETE = 4,
    STREAM_FAILED = 8,
    STREAM_SHUT_DOWN = 16,
};

enum TransferMode : int { MODE_STREAM = 0, MODE_DEFLATE = 3 };

// What a stream is opened for (Kind()).
enum StreamKind : int { STREAM_KIND_NONE = 0, STREAM_KIND_LISTING = 2, STREAM_KIND_CONNECTION = 3 };

class CFtpStream {
public:
    explicit CFtpStream(CSocketEx* socket = nullptr) : socket_(socket) {}
    virtual ~CFtpStream();
    CFtpStream(const CFtpStream&) = delete;
    CFtpStream& operator=(const CFtpStream&) = delete;

    virtual bool Initialize();
    virtual bool Open(int kind, intptr_t param);
    virtual int SendBuffer(CFtpFifoBuffer& buffer, int flags);
    // What the socket took (0 when nothing now); a socket error raises CStreamFailure.
    virtual int Send(const uint8_t* data, int length, int flags);
    virtual int ReceiveBuffer(CFtpFifoBuffer& buffer, int flags);
    virtual int Receive(uint8_t* data, int length, int flags);
    virtual void ShutDown();
    virtual void Close();
    virtual void Reset();
    // True once everything sent has left (TLS records included); asks for a send event.
    virtual bool Flush(bool final);

    uint32_t State() const { return state_; }
    void AddState(uint32_t bits) { state_ |= bits; }
    bool Usable() const { return (state_ & STREAM_OPEN) && !(state_ & STREAM_SHUT_DOWN); }
    int Kind() const { return kind_; }
    uint64_t BytesSent() const { return bytesSent_; }
    uint64_t BytesReceived() const { return bytesReceived_; }
    CSocketEx* Socket() const { return socket_; }
    void SetSocket(CSocketEx* socket) { socket_ = socket; }

protected:
    int kind_ = 0;
    uint32_t state_ = STREAM_CONSTRUCTED;
    uint64_t bytesSent_ = 0;
    uint64_t bytesReceived_ = 0;
    CSocketEx* socket_;
};

class CFtpDataStream : public CFtpStream {
public:
    using CFtpStream::CFtpStream;

    int Send(const uint8_t* data, int length, int flags) override;
    int Receive(uint8_t* data, int length, int flags) override;
    void Reset() override;
    bool Flush(bool final) override;
    virtual bool SetMode(int mode);
    virtual int GetCompressionRatio() const;

    int Mode() const { return mode_; }
    void SetDeflateBuffer(CFtpDeflateBuffer* buffer) { deflate_ = buffer; }
    CFtpDeflateBuffer* DeflateBuffer() const { return deflate_; }
    // MODE Z data came in but its deflate stream never reached its end: the sender was cut
    // off, however orderly the connection closed.
    bool InflationCutShort() const;

protected:
    bool Deflating() const { return mode_ == MODE_DEFLATE && deflate_; }

    int mode_ = MODE_STREAM;
    CFtpDeflateBuffer* deflate_ = nullptr;
};

// 100 minus the compressed size as a percentage of the original (0 when nothing was saved).
int CompressionRatio(uint64_t compressed2, uint64_t uncompressed2);
