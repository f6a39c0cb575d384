#include "messages/Archive.h"

#include <cstring>

#include "platform/CodePage.h"
#include "platform/Text.h"

CArchive::CArchive(std::vector<uint8_t>& out, size_t limit) : out_(&out), limit_(limit) {}

CArchive::CArchive(const uint8_t* data, size_t size) : data_(data), size_(size) {}

void CArchive::Need(size_t n) const {
    if (n > Remaining()) throw CArchiveException("the archive ends early");
}

void CArchive::Put(const void* bytes, size_t n) {
    if (out_->size() + n > limit_) throw CArchiveException("the archive is full");
    const auto* p = static_cast<const uint8_t*>(bytes);
    out_->insert(out_->end(), p, p + n);
}

void CArchive::Get(void* bytes, size_t n) {
    Need(n);
    std::memcpy(bytes, data_ + position_, n);
    position_ += n;
}

void CArchive::Byte(uint8_t& value) {
    if (IsStoring())
        Put(&value, 1);
    else
        Get(&value, 1);
}

void CArchive::Word(uint16_t& value) {
    uint8_t b[2];
    if (IsStoring()) {
        b[0] = static_cast<uint8_t>(value);
        b[1] = static_cast<uint8_t>(value >> 8);
        Put(b, 2);
    } else {
        Get(b, 2);
        value = static_cast<uint16_t>(b[0] | b[1] << 8);
    }
}

void CArchive::Dword(uint32_t& value) {
    uint8_t b[4];
    if (IsStoring()) {
        for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
        Put(b, 4);
    } else {
        Get(b, 4);
        value = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    }
}

void CArchive::Int32(int32_t& value) {
    uint32_t raw = static_cast<uint32_t>(value);
    Dword(raw);
    value = static_cast<int32_t>(raw);
}

void CArchive::Uint64(uint64_t& value) {
    uint32_t low = static_cast<uint32_t>(value), high = static_cast<uint32_t>(value >> 32);
    Dword(low);
    Dword(high);
    value = uint64_t{high} << 32 | low;
}

void CArchive::Int64(int64_t& value) {
    uint64_t raw = static_cast<uint64_t>(value);
    Uint64(raw);
    value = static_cast<int64_t>(raw);
}

// Length of a string: a byte below 0xFF; else a 16-bit value, where 0xFFFE marks wide text
// (and the length follows again) and 0xFFFF announces a 32-bit length.
uint32_t CArchive::GetLength(bool& wide) {
    wide = false;
    uint8_t shortLength = 0;
    Byte(shortLength);
    if (shortLength < 0xFF) return shortLength;
    uint16_t length = 0;
    Word(length);
    if (length == 0xFFFE) {
        wide = true;
        Byte(shortLength);
        if (shortLength < 0xFF) return shortLength;
        Word(length);
    }
    if (length < 0xFFFF) return length;
    uint32_t longLength = 0;
    Dword(longLength);
    return longLength;
}

void CArchive::String(std::string& utf8) {
    if (IsStoring()) {
        std::u16string wide = platform::Utf8ToUtf16(utf8);
        uint8_t ff = 0xFF;
        uint16_t mark = 0xFFFE;
        Byte(ff);
        Word(mark);
        uint32_t length = static_cast<uint32_t>(wide.size());
        if (length < 0xFF) {
            uint8_t b = static_cast<uint8_t>(length);
            Byte(b);
        } else if (length < 0xFFFE) {
            uint16_t w = static_cast<uint16_t>(length);
            Byte(ff);
            Word(w);
        } else {
            uint16_t all = 0xFFFF;
            Byte(ff);
            Word(all);
            Dword(length);
        }
        for (char16_t unit : wide) {
            uint16_t w = unit;
            Word(w);
        }
        return;
    }
    bool wide;
    uint32_t length = GetLength(wide);
    if (wide) {
        Need(size_t{length} * 2);
        std::u16string units(length, u'\0');
        for (uint32_t i = 0; i < length; ++i) {
            uint16_t w;
            Word(w);
            units[i] = w;
        }
        utf8 = platform::Utf16ToUtf8(units);
    } else {
        Need(length);
        std::string bytes(reinterpret_cast<const char*>(data_ + position_), length);
        position_ += length;
        utf8 = platform::CodePageToUtf8(bytes);
    }
}

void CArchive::Count(uint32_t& count, size_t elementSize) {
    if (IsStoring()) {
        if (count < 0xFFFF) {
            uint16_t w = static_cast<uint16_t>(count);
            Word(w);
        } else {
            uint16_t all = 0xFFFF;
            Word(all);
            Dword(count);
        }
        return;
    }
    uint16_t w;
    Word(w);
    if (w < 0xFFFF) {
        count = w;
    } else {
        Dword(count);
    }
    if (elementSize > 0) Need(size_t{count} * elementSize);
}
