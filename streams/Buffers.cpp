#include "streams/Buffers.h"

#include <cstdlib>
#include <cstring>

CFtpBlock::~CFtpBlock() {
    CFtpBlock::Free();
}

void CFtpBlock::Attach(const CFtpBlock& other) {
    SetData(other.data_, other.capacity_, true);
}

void CFtpBlock::SetData(uint8_t* data, uint32_t capacity, bool borrowed) {
    Free();
    data_ = data;
    capacity_ = capacity;
    borrowed_ = borrowed;
}

uint8_t* CFtpBlock::Allocate(uint32_t size, bool zeroFill) {
    bool fresh = false;
    if (size != capacity_ || borrowed_) {
        Free();
        if (size > 0) {
            // calloc hands out a large block as untouched zero pages, so the buffers of a
            // pooled session take up memory only once the session uses them.
            data_ = static_cast<uint8_t*>(zeroFill ? std::calloc(1, size) : std::malloc(size));
            if (!data_) throw COutOfMemory("cannot allocate a buffer");
            capacity_ = size;
            fresh = true;
        }
    }
    if (zeroFill && data_ && !fresh) std::memset(data_, 0, capacity_);
    return data_;
}

void CFtpBlock::Free() {
    if (!borrowed_) std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
    borrowed_ = false;
}

void CFtpByteBuffer::Zero() {
    if (data_) std::memset(data_, 0, capacity_);
}

bool CFtpByteBuffer::FindByte(uint8_t byte, uint32_t& position, uint32_t from, uint32_t to) const {
    if (to > capacity_) to = capacity_;
    if (from >= to) return false;
    const void* found = std::memchr(data_ + from, byte, to - from);
    if (!found) return false;
    position = static_cast<uint32_t>(static_cast<const uint8_t*>(found) - data_);
    return true;
}

bool CFtpByteBuffer::FindByteBackward(uint8_t byte, uint32_t& position, uint32_t from) const {
    if (capacity_ == 0) return false;
    if (from >= capacity_) from = capacity_ - 1;
    for (uint32_t i = from + 1; i-- > 0;) {
        if (data_[i] == byte) {
            position = i;
            return true;
        }
    }
    return false;
}

bool CFtpByteBuffer::FindAnyOf(const uint8_t* set, uint32_t setLength, uint32_t& position,
                               uint32_t from, uint32_t to) const {
    if (to > capacity_) to = capacity_;
    for (uint32_t i = from; i < to; ++i) {
        if (std::memchr(set, data_[i], setLength)) {
            position = i;
            return true;
        }
    }
    return false;
}

bool CFtpByteBuffer::FindBytes(const uint8_t* pattern, uint32_t length, uint32_t& position,
                               uint32_t from, uint32_t end) const {
    if (end > capacity_) end = capacity_;
    if (length == 0 || from >= end || end - from < length) return false;
    for (uint32_t i = from; i + length <= end; ++i) {
        if (data_[i] == pattern[0] && std::memcmp(data_ + i, pattern, length) == 0) {
            position = i;
            return true;
        }
    }
    return false;
}

void CFtpByteBuffer::Remove(uint32_t position, uint32_t count) {
    if (position >= capacity_) return;
    if (count > capacity_ - position) count = capacity_ - position;
    std::memmove(data_ + position, data_ + position + count, capacity_ - position - count);
}

void CFtpByteBuffer::Insert(uint32_t position, const uint8_t* data, uint32_t count) {
    if (position >= capacity_) return;
    if (count > capacity_ - position) count = capacity_ - position;
    std::memmove(data_ + position + count, data_ + position, capacity_ - position - count);
    std::memcpy(data_ + position, data, count);
}

void CFtpByteBuffer::InsertByte(uint32_t position, uint8_t byte) {
    Insert(position, &byte, 1);
}

void CFtpByteBuffer::Write(uint32_t position, const uint8_t* data, uint32_t count) {
    if (position >= capacity_) return;
    if (count > capacity_ - position) count = capacity_ - position;
    std::memcpy(data_ + position, data, count);
}

void CFtpFifoBuffer::Free() {
    CFtpByteBuffer::Free();
    used_ = 0;
}

void CFtpFifoBuffer::Clear() {
    used_ = 0;
}

void CFtpFifoBuffer::Consume(uint32_t count) {
    if (count > used_) throw COutOfMemory("consumed more than the buffer holds");
    // Only the filled part matters: move just that forward.
    std::memmove(data_, data_ + count, used_ - count);
    used_ -= count;
}

void CFtpFifoBuffer::Append(const uint8_t* data, uint32_t count) {
    if (count > capacity_ - used_) throw COutOfMemory("appended more than the buffer has room for");
    if (count) std::memcpy(data_ + used_, data, count);
    used_ += count;
}

void CFtpFifoBuffer::Grow(uint32_t count) {
    if (count > capacity_ - used_) throw COutOfMemory("grew past the buffer's room");
    used_ += count;
}
