#pragma once
// The pure parts of the control connection's text handling: the telnet decoder (every option
// refused), the line-end search, and the stream's own UTF-8 codec with its validity rules.

#include <cstddef>
#include <cstdint>
#include <string>

// Telnet command bytes.
enum TelnetByte : uint8_t {
    TELNET_SE = 240,
    TELNET_IP = 244,
    TELNET_DM = 242,
    TELNET_SB = 250,
    TELNET_WILL = 251,
    TELNET_WONT = 252,
    TELNET_DO = 253,
    TELNET_DONT = 254,
    TELNET_IAC = 255,
};

// Strips telnet commands from received bytes. The state survives between chunks, so a
// command split over two reads is decoded right. Data before the last IAC DM (Synch) of a
// chunk is dropped; a bare byte 242 is ordinary data. IAC IP is ignored: the ABOR that
// follows a client's interrupt does the work.
class TelnetDecoder {
public:
    enum State {
        DATA = 0,
        IAC = 1,
        WILL = 2,
        WONT = 3,
        DO = 4,
        DONT = 5,
        SB = 6,
        SB_DATA = 7,
        SB_IAC = 8,
        AFTER_CR = 9,
    };

    // Appends data bytes to data and the three-byte refusals to replies.
    void Decode(const uint8_t* bytes, size_t length, std::string& data, std::string& replies);
    int state = DATA;

private:
    // Position just past the last IAC DM in the chunk, or 0 when there is none.
    size_t LastDataMark(const uint8_t* bytes, size_t length) const;
    void Step(uint8_t b, bool keep, std::string& data, std::string& replies);
};

// Index just past the first CR LF or CR NUL, or -1.
long FindLineEnd(const uint8_t* data, size_t length);

enum class Utf8Result { Ok, Invalid, Incomplete };

// UTF-8 bytes to UTF-16 units. Stops with Ok when either side runs out at a character
// boundary (a pair is not split: with room for one unit only, it stops before it).
Utf8Result DecodeUtf8(const uint8_t* source, size_t length, char16_t* destination, size_t room,
                      size_t* consumed, size_t* produced);
// UTF-16 units to UTF-8 bytes; a lone low surrogate or a high one followed by anything but a
// low surrogate is invalid, a high surrogate at the very end incomplete.
Utf8Result EncodeUtf8(const char16_t* source, size_t length, uint8_t* destination, size_t room,
                      size_t* consumed, size_t* produced);
