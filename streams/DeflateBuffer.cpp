#include "streams/DeflateBuffer.h"

CFtpDeflateBuffer::CFtpDeflateBuffer() = default;

CFtpDeflateBuffer::~CFtpDeflateBuffer() {
    CFtpDeflateBuffer::Free();
}

void CFtpDeflateBuffer::Free() {
    CFtpFifoBuffer::Free();
    if (initialised_) {
        deflateEnd(&deflater_);
        inflateEnd(&inflater_);
        initialised_ = false;
    }
}

void CFtpDeflateBuffer::Clear() {
    used_ = 0;
    if (initialised_) {
        if (inflater_.total_in || inflater_.total_out) inflateReset(&inflater_);
        if (deflater_.total_in || deflater_.total_out) deflateReset(&deflater_);
    }
    lastResult_ = 0;
}

void CFtpDeflateBuffer::ClampParameters(int& level, int& memLevel, int& windowBits) {
    if (level < 1) level = 0;
    if (level > 8) level = 9;
    if (memLevel < 2) memLevel = 1;
    if (memLevel > 8) memLevel = 9;
    if (windowBits < 10) windowBits = 9;
    if (windowBits > 14) windowBits = 15;
}

bool CFtpDeflateBuffer::Init(uint32_t capacity, bool zeroFill, int level, int memLevel,
                             int windowBits) {
    ClampParameters(level, memLevel, windowBits);
    try {
        Allocate(capacity, zeroFill);
    } catch (const COutOfMemory&) {
        return false;
    }
    inflater_ = z_stream{};
    if (inflateInit2(&inflater_, 15) != Z_OK) {
        CFtpFifoBuffer::Free();
        return false;
    }
    deflater_ = z_stream{};
    if (deflateInit2(&deflater_, level, Z_DEFLATED, windowBits, memLevel, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        CFtpFifoBuffer::Free();
        inflateEnd(&inflater_);
        return false;
    }
    initialised_ = true;
    return true;
}

bool CFtpDeflateBuffer::SetLevel(int level) {
    if (!initialised_) return false;
    return deflateParams(&deflater_, level, Z_DEFAULT_STRATEGY) == Z_OK;
}

uint32_t CFtpDeflateBuffer::Compress(const uint8_t* data, uint32_t length) {
    if (!initialised_ || !data) throw CStreamFailure("deflate buffer not ready");
    if (lastResult_ == Z_STREAM_END || length == 0) return 0;
    deflater_.next_in = const_cast<uint8_t*>(data);
    deflater_.avail_in = length;
    deflater_.next_out = End();
    deflater_.avail_out = FreeRoom();
    lastResult_ = deflate(&deflater_, Z_NO_FLUSH);
    if (lastResult_ != Z_OK && lastResult_ != Z_BUF_ERROR) throw CStreamFailure("deflate failed");
    used_ = capacity_ - deflater_.avail_out;
    return length - deflater_.avail_in;
}

bool CFtpDeflateBuffer::Finish() {
    if (!initialised_) throw CStreamFailure("deflate buffer not ready");
    if (lastResult_ == Z_STREAM_END) return true;
    deflater_.next_in = nullptr;
    deflater_.avail_in = 0;
    deflater_.next_out = End();
    deflater_.avail_out = FreeRoom();
    lastResult_ = deflate(&deflater_, Z_FINISH);
    if (lastResult_ != Z_OK && lastResult_ != Z_STREAM_END && lastResult_ != Z_BUF_ERROR)
        throw CStreamFailure("deflate failed");
    used_ = capacity_ - deflater_.avail_out;
    return lastResult_ == Z_STREAM_END;
}

uint32_t CFtpDeflateBuffer::Decompress(uint8_t* data, uint32_t room) {
    if (!initialised_ || !data) throw CStreamFailure("deflate buffer not ready");
    if (lastResult_ == Z_STREAM_END || room == 0) return 0;
    inflater_.next_in = data_;
    inflater_.avail_in = used_;
    inflater_.next_out = data;
    inflater_.avail_out = room;
    lastResult_ = inflate(&inflater_, Z_SYNC_FLUSH);
    if (lastResult_ != Z_OK && lastResult_ != Z_STREAM_END && lastResult_ != Z_BUF_ERROR)
        throw CStreamFailure("corrupt compressed data");
    Consume(used_ - inflater_.avail_in);
    return room - inflater_.avail_out;
}
