#include "streams/TelnetCodec.h"

size_t TelnetDecoder::LastDataMark(const uint8_t* bytes, size_t length) const {
    // Walk the command structure (without acting) so that IAC IAC 242 stays data.
    int s = state;
    size_t last = 0;
    for (size_t i = 0; i < length; ++i) {
        uint8_t b = bytes[i];
        switch (s) {
            case DATA:
            case AFTER_CR:
                s = b == TELNET_IAC ? IAC : (b == 13 ? AFTER_CR : DATA);
                break;
            case IAC:
                if (b == TELNET_DM) last = i + 1;
                s = b == TELNET_WILL   ? WILL
                    : b == TELNET_WONT ? WONT
                    : b == TELNET_DO   ? DO
                    : b == TELNET_DONT ? DONT
                    : b == TELNET_SB   ? SB
                                       : DATA;
                break;
            case WILL:
            case WONT:
            case DO:
            case DONT:
                s = DATA;
                break;
            case SB:
                s = SB_DATA;
                break;
            case SB_DATA:
                s = b == TELNET_IAC ? SB_IAC : SB_DATA;
                break;
            case SB_IAC:
                s = b == TELNET_SE ? DATA : SB_DATA;
                break;
        }
    }
    return last;
}

void TelnetDecoder::Decode(const uint8_t* bytes, size_t length, std::string& data,
                           std::string& replies) {
    size_t keepFrom = LastDataMark(bytes, length);
    for (size_t i = 0; i < length; ++i) Step(bytes[i], i >= keepFrom, data, replies);
}

void TelnetDecoder::Step(uint8_t b, bool keep, std::string& data, std::string& replies) {
    auto refuse = [&](uint8_t verb) {
        replies.push_back(static_cast<char>(TELNET_IAC));
        replies.push_back(static_cast<char>(verb));
        replies.push_back(static_cast<char>(b));
        state = DATA;
    };
    switch (state) {
        case AFTER_CR:
            if (b == 0) {  // CR NUL is a bare CR
                state = DATA;
                return;
            }
            [[fallthrough]];
        case DATA:
            if (b == TELNET_IAC) {
                state = IAC;
                return;
            }
            if (keep) data.push_back(static_cast<char>(b));
            state = b == 13 ? AFTER_CR : DATA;
            return;
        case IAC:
            switch (b) {
                case TELNET_WILL:
                    state = WILL;
                    return;
                case TELNET_WONT:
                    state = WONT;
                    return;
                case TELNET_DO:
                    state = DO;
                    return;
                case TELNET_DONT:
                    state = DONT;
                    return;
                case TELNET_SB:
                    state = SB;
                    return;
                case TELNET_IAC:
                    if (keep) data.push_back(static_cast<char>(TELNET_IAC));
                    state = DATA;
                    return;
                default:  // DM, IP and every other command: nothing more to do here
                    state = DATA;
                    return;
            }
        case WILL:
        case WONT:
            return refuse(TELNET_DONT);
        case DO:
        case DONT:
            return refuse(TELNET_WONT);
        case SB:
            state = SB_DATA;
            return;
        case SB_DATA:
            state = b == TELNET_IAC ? SB_IAC : SB_DATA;
            return;
        case SB_IAC:
            state = b == TELNET_SE ? DATA : SB_DATA;
            return;
        default:
            state = DATA;
            return;
    }
}

long FindLineEnd(const uint8_t* data, size_t length) {
    for (size_t i = 0; i + 1 < length; ++i)
        if (data[i] == 13 && (data[i + 1] == 10 || data[i + 1] == 0))
            return static_cast<long>(i + 2);
    return -1;
}

Utf8Result DecodeUtf8(const uint8_t* source, size_t length, char16_t* destination, size_t room,
                      size_t* consumed, size_t* produced) {
    size_t in = 0, out = 0;
    Utf8Result result = Utf8Result::Ok;
    while (in < length && out < room) {
        uint8_t lead = source[in];
        if (lead < 0x80) {
            destination[out++] = lead;
            ++in;
            continue;
        }
        size_t extra;
        char32_t cp;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            cp = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            cp = lead & 0x07;
        } else {  // a continuation byte, C0, C1, or a lead above F4
            result = Utf8Result::Invalid;
            break;
        }
        bool bad = false;
        size_t have = length - in - 1;
        for (size_t k = 1; k <= extra && k <= have; ++k) {
            uint8_t c = source[in + k];
            bool ok = (c & 0xC0) == 0x80;
            if (k == 1) {  // the second byte also rules out overlongs, surrogates, > U+10FFFF
                if (lead == 0xE0 && c < 0xA0) ok = false;
                if (lead == 0xED && c >= 0xA0) ok = false;
                if (lead == 0xF0 && c < 0x90) ok = false;
                if (lead == 0xF4 && c >= 0x90) ok = false;
            }
            if (!ok) {
                bad = true;
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (bad) {
            result = Utf8Result::Invalid;
            break;
        }
        if (have < extra) {
            result = Utf8Result::Incomplete;
            break;
        }
        if (cp >= 0x10000) {
            if (room - out < 2) break;  // no room for the pair: stop before it
            cp -= 0x10000;
            destination[out++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            destination[out++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            destination[out++] = static_cast<char16_t>(cp);
        }
        in += extra + 1;
    }
    if (consumed) *consumed = in;
    if (produced) *produced = out;
    return result;
}

Utf8Result EncodeUtf8(const char16_t* source, size_t length, uint8_t* destination, size_t room,
                      size_t* consumed, size_t* produced) {
    size_t in = 0, out = 0;
    Utf8Result result = Utf8Result::Ok;
    while (in < length) {
        char32_t unit = source[in];
        size_t units = 1;
        char32_t cp = unit;
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            result = Utf8Result::Invalid;
            break;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (in + 1 >= length) {
                result = Utf8Result::Incomplete;
                break;
            }
            char32_t low = source[in + 1];
            if (low < 0xDC00 || low > 0xDFFF) {
                result = Utf8Result::Invalid;
                break;
            }
            cp = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            units = 2;
        }
        size_t bytes = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        if (room - out < bytes) break;  // no room for the whole sequence: stop here
        if (bytes == 1) {
            destination[out++] = static_cast<uint8_t>(cp);
        } else if (bytes == 2) {
            destination[out++] = static_cast<uint8_t>(0xC0 | (cp >> 6));
            destination[out++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        } else if (bytes == 3) {
            destination[out++] = static_cast<uint8_t>(0xE0 | (cp >> 12));
            destination[out++] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            destination[out++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        } else {
            destination[out++] = static_cast<uint8_t>(0xF0 | (cp >> 18));
            destination[out++] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
            destination[out++] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            destination[out++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        }
        in += units;
    }
    if (consumed) *consumed = in;
    if (produced) *produced = out;
    return result;
}
