#pragma once
// The byte buffers of the streams, allocated once per stream object and reused, and the two
// failures the streams raise (caught at each socket-event handler).

#include <cstdint>
#include <stdexcept>

// A socket error, a deflate error or a telnet interrupt: the stream's connection ends.
class CStreamFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A buffer could not be allocated, or a fifo was asked for more than it holds or has room for.
class COutOfMemory : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CFtpBlock {
public:
    CFtpBlock() = default;
    virtual ~CFtpBlock();
    CFtpBlock(const CFtpBlock&) = delete;
    CFtpBlock& operator=(const CFtpBlock&) = delete;

    // Borrows the other block's bytes (never freed here).
    virtual void Attach(const CFtpBlock& other);
    virtual void SetData(uint8_t* data, uint32_t capacity, bool borrowed);
    // Exactly size bytes (none for 0); raises COutOfMemory. Returns the data.
    virtual uint8_t* Allocate(uint32_t size, bool zeroFill);
    virtual void Free();

    uint8_t* Data() const { return data_; }
    uint32_t Capacity() const { return capacity_; }

protected:
    uint32_t capacity_ = 0;
    uint8_t* data_ = nullptr;
    bool borrowed_ = false;
};

class CFtpByteBuffer : public CFtpBlock {
public:
    virtual void Zero();
    virtual bool FindByte(uint8_t byte, uint32_t& position, uint32_t from, uint32_t to) const;
    virtual bool FindByteBackward(uint8_t byte, uint32_t& position, uint32_t from) const;
    virtual bool FindAnyOf(const uint8_t* set, uint32_t setLength, uint32_t& position,
                           uint32_t from, uint32_t to) const;
    // First place at or after from where the pattern matches whole before end.
    virtual bool FindBytes(const uint8_t* pattern, uint32_t length, uint32_t& position,
                           uint32_t from, uint32_t end) const;
    // Closes the gap: bytes after position + count move down; the capacity stays.
    virtual void Remove(uint32_t position, uint32_t count);
    // Opens a gap within the capacity (the last count bytes fall off) and copies data in.
    virtual void Insert(uint32_t position, const uint8_t* data, uint32_t count);
    virtual void InsertByte(uint32_t position, uint8_t byte);
    virtual void Write(uint32_t position, const uint8_t* data, uint32_t count);
};

// Data at the front, free room behind; never grows after Allocate.
class CFtpFifoBuffer : public CFtpByteBuffer {
public:
    void Free() override;
    virtual void Clear();
    // Raise COutOfMemory (and change nothing) when asked for more than there is.
    virtual void Consume(uint32_t count);
    virtual void Append(const uint8_t* data, uint32_t count);

    uint32_t Used() const { return used_; }
    uint32_t FreeRoom() const { return capacity_ - used_; }
    uint8_t* End() const { return data_ + used_; }
    void Grow(uint32_t count);  // after writing count bytes at End()

protected:
    uint32_t used_ = 0;
};
