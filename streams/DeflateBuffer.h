#pragma once
// MODE Z: one deflate stream for what goes out and one inflate stream for what comes in, with
// the compressed bytes waiting in this fifo between them and the socket. zlib's state is made
// once and reset between transfers.

#include <zlib.h>

#include "streams/Buffers.h"

class CFtpDeflateBuffer : public CFtpFifoBuffer {
public:
    CFtpDeflateBuffer();
    ~CFtpDeflateBuffer() override;

    void Free() override;
    // The reset between transfers: empty, both zlib streams back to their start.
    void Clear() override;

    // Level, memLevel and windowBits are brought into 0-9, 1-9 and 9-15.
    virtual bool Init(uint32_t capacity, bool zeroFill, int level, int memLevel, int windowBits);
    virtual bool SetLevel(int level);
    // Input bytes taken into the compressor (output lands in this buffer).
    virtual uint32_t Compress(const uint8_t* data, uint32_t length);
    // Bytes written to the caller from the compressed bytes held here.
    virtual uint32_t Decompress(uint8_t* data, uint32_t room);
    // Produces the end of the compressed stream as room allows; true once it is all out.
    virtual bool Finish();

    bool Initialised() const { return initialised_; }
    int LastResult() const { return lastResult_; }
    // zlib's counters, for the compression ratio.
    uint64_t DeflateIn() const { return deflater_.total_in; }
    uint64_t DeflateOut() const { return deflater_.total_out; }
    uint64_t InflateIn() const { return inflater_.total_in; }
    uint64_t InflateOut() const { return inflater_.total_out; }

    static void ClampParameters(int& level, int& memLevel, int& windowBits);

private:
    bool initialised_ = false;
    z_stream deflater_{};
    z_stream inflater_{};
    int lastResult_ = 0;
};
