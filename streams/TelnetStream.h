#pragma once
// Text lines over a connection: received bytes lose their telnet commands and become lines
// (CR LF or CR NUL ends a line), in UTF-8 or the local code page; lines written get CR LF and
// go out in the same encoding. Lines inside the program are UTF-8 text.

#include <string>

#include "streams/Stream.h"
#include "streams/TelnetCodec.h"

class CFtpTelnetStream : public CFtpDataStream {
public:
    static constexpr int kReadChunk = 1536;
    static constexpr int kReadPerCall = 8192;

    using CFtpDataStream::CFtpDataStream;

    virtual bool Create(uint32_t inputSize, uint32_t outputSize);
    // Opening takes back buffers of the sizes given to Create after a Release: a pooled stream
    // that serves nobody holds none (a thousand idle slots would hold megabytes).
    bool Open(int kind, intptr_t param) override;
    void Release();
    // FillInput, then ExtractLine.
    virtual bool ReadLine(std::string& line);
    virtual bool WriteLine(const std::string& line);
    virtual bool DecodeInput(const uint8_t* data, uint32_t length);
    virtual bool FillInput();
    virtual bool ExtractLine(std::string& line);
    virtual void WriteRaw(const uint8_t* data, uint32_t length);

    void Reset() override;
    bool Flush(bool final) override;

    // True once after a line too long for the input buffer was thrown away whole; the caller
    // answers it as an unrecognised command.
    bool TakeDiscardedLine();

    void SetTelnet(bool on) { telnet_ = on; }
    void SetUtf8(bool on) { utf8_ = on; }
    bool Telnet() const { return telnet_; }
    bool Utf8() const { return utf8_; }
    CFtpFifoBuffer& Input() { return input_; }
    CFtpFifoBuffer& Output() { return output_; }

protected:
    bool telnet_ = false;
    bool utf8_ = false;
    TelnetDecoder decoder_;
    CFtpFifoBuffer input_;
    CFtpFifoBuffer output_;

private:
    // A full input buffer without a line end: drop what is there and skip to the line's end.
    void DropOverlongLine();

    bool skippingLine_ = false;
    bool discardedLine_ = false;
    uint32_t inputSize_ = 0;
    uint32_t outputSize_ = 0;
};
