#pragma once
// The binary archive encoding of message objects: little-endian values, 64-bit values as two
// 32-bit halves (low first), wide strings behind a 0xFF 0xFFFE mark with a one-, three- or
// seven-byte length, element counts of 16 bits (or 0xFFFF and 32 bits).
//
// A loading archive checks every length against what is left, so a truncated or lying payload
// raises CArchiveException and never reads past the end or allocates more than it holds. A
// storing archive raises it when the payload would outgrow its limit.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class CArchiveException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CArchive {
public:
    // Storing, appending to out, at most limit bytes in all.
    CArchive(std::vector<uint8_t>& out, size_t limit);
    // Loading from size bytes at data.
    CArchive(const uint8_t* data, size_t size);

    bool IsStoring() const { return out_ != nullptr; }
    bool IsLoading() const { return out_ == nullptr; }
    size_t Remaining() const { return size_ - position_; }
    size_t Position() const { return position_; }

    // Each of these writes when storing and reads into the value when loading.
    void Byte(uint8_t& value);
    void Word(uint16_t& value);
    void Dword(uint32_t& value);
    void Int32(int32_t& value);
    void Uint64(uint64_t& value);
    void Int64(int64_t& value);
    void Time(uint32_t& value) { Dword(value); }
    void String(std::string& utf8);
    // An element count; loading checks that count elements of at least elementSize bytes fit.
    void Count(uint32_t& count, size_t elementSize);

private:
    void Put(const void* bytes, size_t n);
    void Get(void* bytes, size_t n);
    uint32_t GetLength(bool& wide);
    void Need(size_t n) const;

    std::vector<uint8_t>* out_ = nullptr;
    size_t limit_ = 0;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t position_ = 0;
};
