#include "streams/TelnetStream.h"

#include <vector>

#include "platform/CodePage.h"
#include "platform/Text.h"

bool CFtpTelnetStream::Create(uint32_t inputSize, uint32_t outputSize) {
    Initialize();
    inputSize_ = inputSize;
    outputSize_ = outputSize;
    if (inputSize) input_.Allocate(inputSize, true);
    if (outputSize) output_.Allocate(outputSize, true);
    return true;
}

bool CFtpTelnetStream::Open(int kind, intptr_t param) {
    if (input_.Capacity() != inputSize_) input_.Allocate(inputSize_, true);
    if (output_.Capacity() != outputSize_) output_.Allocate(outputSize_, true);
    return CFtpDataStream::Open(kind, param);
}

void CFtpTelnetStream::Release() {
    Close();
    input_.Free();
    output_.Free();
}

void CFtpTelnetStream::Reset() {
    CFtpDataStream::Reset();
    input_.Clear();
    output_.Clear();
    telnet_ = utf8_ = false;
    decoder_.state = TelnetDecoder::DATA;
    skippingLine_ = discardedLine_ = false;
}

bool CFtpTelnetStream::ReadLine(std::string& line) {
    FillInput();
    return ExtractLine(line);
}

bool CFtpTelnetStream::DecodeInput(const uint8_t* data, uint32_t length) {
    if (!telnet_) {
        input_.Append(data, length);
        return true;
    }
    std::string decoded, replies;
    decoder_.Decode(data, length, decoded, replies);
    input_.Append(reinterpret_cast<const uint8_t*>(decoded.data()),
                  static_cast<uint32_t>(decoded.size()));
    if (!replies.empty()) {
        // Option replies are protocol bytes: their IAC must not be doubled like a data 255.
        output_.Append(reinterpret_cast<const uint8_t*>(replies.data()),
                       static_cast<uint32_t>(replies.size()));
        Flush(false);
    }
    return true;
}

bool CFtpTelnetStream::FillInput() {
    uint8_t chunk[kReadChunk];
    int total = 0;
    while (total < kReadPerCall) {
        if (input_.FreeRoom() == 0) DropOverlongLine();
        int room = static_cast<int>(std::min<uint32_t>(kReadChunk, input_.FreeRoom()));
        if (room <= 0) break;
        int n = Receive(chunk, room, 0);
        if (n < 1) break;
        total += n;
        if (!DecodeInput(chunk, static_cast<uint32_t>(n))) return false;
        // A short read emptied the socket; asking again would only hear "would block". What
        // comes later is reported, as the read interest stays armed.
        if (n < room) break;
    }
    if (input_.FreeRoom() == 0) DropOverlongLine();
    return true;
}

void CFtpTelnetStream::DropOverlongLine() {
    if (input_.Capacity() == 0 || FindLineEnd(input_.Data(), input_.Used()) >= 0) return;
    // Keep a final CR: its LF may be the next byte to come.
    bool endsInCr = input_.Used() > 0 && input_.Data()[input_.Used() - 1] == 13;
    input_.Consume(input_.Used() - (endsInCr ? 1 : 0));
    skippingLine_ = true;
}

bool CFtpTelnetStream::TakeDiscardedLine() {
    bool discarded = discardedLine_;
    discardedLine_ = false;
    return discarded;
}

bool CFtpTelnetStream::ExtractLine(std::string& line) {
    line.clear();
    long end = FindLineEnd(input_.Data(), input_.Used());
    if (end < 0) return false;
    uint32_t n = static_cast<uint32_t>(end);
    if (skippingLine_) {  // the rest of a line that was too long: thrown away with it
        input_.Consume(n);
        skippingLine_ = false;
        discardedLine_ = true;
        return false;
    }
    uint8_t* bytes = input_.Data();
    bytes[n - 2] = bytes[n - 1] = 0;
    size_t textLength = 0;
    while (textLength < n && bytes[textLength] != 0) ++textLength;
    if (utf8_) {
        std::u16string units(n + 1, u'\0');
        size_t consumed = 0, produced = 0;
        Utf8Result result =
            DecodeUtf8(bytes, textLength, units.data(), units.size(), &consumed, &produced);
        if (result != Utf8Result::Ok) {
            input_.Consume(n);
            throw COutOfMemory("a line that is not UTF-8");
        }
        units.resize(produced);
        line = platform::Utf16ToUtf8(units);
    } else {
        line = platform::CodePageToUtf8(std::string(reinterpret_cast<char*>(bytes), textLength));
    }
    input_.Consume(n);
    return !line.empty();
}

void CFtpTelnetStream::WriteRaw(const uint8_t* data, uint32_t length) {
    if (!telnet_) {
        output_.Append(data, length);
        return;
    }
    for (uint32_t i = 0; i < length; ++i) {
        output_.Append(&data[i], 1);
        if (data[i] == TELNET_IAC) output_.Append(&data[i], 1);
    }
}

bool CFtpTelnetStream::WriteLine(const std::string& line) {
    std::string bytes;
    if (utf8_) {
        std::u16string units = platform::Utf8ToUtf16(line + "\r\n");
        // Room for the longest form, three bytes per unit, so a line end is never cut off.
        std::vector<uint8_t> encoded(3 * units.size() + 1, 0);
        size_t consumed = 0, produced = 0;
        if (EncodeUtf8(units.data(), units.size(), encoded.data(), encoded.size(), &consumed,
                       &produced) != Utf8Result::Ok)
            throw COutOfMemory("a line that cannot be written as UTF-8");
        bytes.assign(reinterpret_cast<char*>(encoded.data()), produced);
    } else {
        bytes = platform::Utf8ToCodePage(line + "\r\n");
    }
    WriteRaw(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
    return SendBuffer(output_, 0) >= 0;
}

bool CFtpTelnetStream::Flush(bool final) {
    if (output_.Used() > 0) SendBuffer(output_, 0);
    if (output_.Used() > 0) return false;
    return CFtpDataStream::Flush(final);
}
