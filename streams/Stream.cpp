#include "streams/Stream.h"

#include <zlib.h>

#include "streams/DeflateBuffer.h"

CFtpStream::~CFtpStream() {
    if (state_ != STREAM_CONSTRUCTED) state_ = STREAM_IDLE;  // Close() is a reset
}

bool CFtpStream::Initialize() {
    state_ = STREAM_IDLE;
    return true;
}

bool CFtpStream::Open(int kind, intptr_t) {
    Reset();
    kind_ = kind;
    bytesSent_ = bytesReceived_ = 0;
    state_ = STREAM_OPEN;
    return true;
}

int CFtpStream::SendBuffer(CFtpFifoBuffer& buffer, int flags) {
    int sent = Send(buffer.Data(), static_cast<int>(buffer.Used()), flags);
    if (sent > 0) buffer.Consume(static_cast<uint32_t>(sent));
    return sent;
}

int CFtpStream::Send(const uint8_t* data, int length, int flags) {
    int sent = socket_ ? socket_->Send(data, length, flags) : -1;
    if (sent < 0) throw CStreamFailure("send failed");
    bytesSent_ += static_cast<uint64_t>(sent);
    return sent;
}

int CFtpStream::ReceiveBuffer(CFtpFifoBuffer& buffer, int flags) {
    int received = Receive(buffer.End(), static_cast<int>(buffer.FreeRoom()), flags);
    if (received > 0) buffer.Grow(static_cast<uint32_t>(received));
    return received;
}

int CFtpStream::Receive(uint8_t* data, int length, int flags) {
    int received = socket_ ? socket_->Receive(data, length, flags) : -1;
    if (received < 0) throw CStreamFailure("receive failed");
    bytesReceived_ += static_cast<uint64_t>(received);
    return received;
}

void CFtpStream::ShutDown() {
    if (socket_) socket_->ShutDown();
    state_ |= STREAM_SHUT_DOWN;
}

void CFtpStream::Close() {
    Reset();
}

void CFtpStream::Reset() {
    state_ = STREAM_IDLE;
    kind_ = 0;
}

bool CFtpStream::Flush(bool) {
    if (!socket_ || socket_->State() != SS_CONNECTED) return true;
    if (socket_->CanClose()) return true;
    // Told when the rest has gone. Output already delivered asks for nothing: a send that went
    // through or would block arms the next send event itself, and an idle connection that
    // asked again at every flush would be woken at every tick (each of 10,000 idle sessions).
    socket_->SetWriteWanted(true);
    return false;
}

// ---- data stream ----

int CFtpDataStream::Send(const uint8_t* data, int length, int flags) {
    if (!Deflating()) return CFtpStream::Send(data, length, flags);
    int taken = 0;
    while (taken < length) {
        uint32_t d = deflate_->Compress(data + taken, static_cast<uint32_t>(length - taken));
        int e = CFtpStream::Send(deflate_->Data(), static_cast<int>(deflate_->Used()), flags);
        taken += static_cast<int>(d);
        if (e < 1) return taken;  // the compressed bytes wait in the buffer
        deflate_->Consume(static_cast<uint32_t>(e));
    }
    return taken;
}

int CFtpDataStream::Receive(uint8_t* data, int length, int flags) {
    if (!Deflating()) return CFtpStream::Receive(data, length, flags);
    int produced = 0;
    while (produced < length) {
        int r = CFtpStream::Receive(deflate_->End(), static_cast<int>(deflate_->FreeRoom()), flags);
        if (r > 0) deflate_->Grow(static_cast<uint32_t>(r));
        uint32_t e =
            deflate_->Decompress(data + produced, static_cast<uint32_t>(length - produced));
        if (e < 1) break;
        produced += static_cast<int>(e);
    }
    return produced;
}

void CFtpDataStream::Reset() {
    CFtpStream::Reset();
    SetMode(MODE_STREAM);
    if (deflate_) deflate_->Clear();
}

bool CFtpDataStream::Flush(bool final) {
    if (!Deflating()) return CFtpStream::Flush(final);
    bool finished = final ? deflate_->Finish() : true;
    if (deflate_->Used() > 0) {
        int e = CFtpStream::Send(deflate_->Data(), static_cast<int>(deflate_->Used()), 0);
        if (e > 0) deflate_->Consume(static_cast<uint32_t>(e));
    }
    bool flushed = CFtpStream::Flush(final);
    return deflate_->Used() == 0 && finished && flushed;
}

bool CFtpDataStream::InflationCutShort() const {
    return Deflating() && deflate_->InflateIn() > 0 && deflate_->LastResult() != Z_STREAM_END;
}

bool CFtpDataStream::SetMode(int mode) {
    mode_ = mode;
    return true;
}

int CompressionRatio(uint64_t compressed2, uint64_t uncompressed2) {
    uint64_t c = compressed2 / 2;
    uint64_t u = uncompressed2 / 2 + 1;
    int p = static_cast<int>(static_cast<double>(c) / static_cast<double>(u) * 100.0);
    return p < 100 ? 100 - p : 0;
}

int CFtpDataStream::GetCompressionRatio() const {
    if (!Deflating()) return 0;
    return CompressionRatio(deflate_->DeflateOut() + deflate_->InflateIn(),
                            deflate_->DeflateIn() + deflate_->InflateOut());
}
