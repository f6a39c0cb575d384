#include "platform/CodePage.h"

#include "platform/Text.h"

namespace platform {

namespace {
// 0x80..0x9F of Windows-1252; the rest of the bytes are their own code points.
constexpr char16_t kHigh[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
}  // namespace

std::string CodePageToUtf8(const std::string& bytes) {
    std::u16string wide;
    wide.reserve(bytes.size());
    for (unsigned char b : bytes)
        wide.push_back(b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : static_cast<char16_t>(b));
    return Utf16ToUtf8(wide);
}

std::string Utf8ToCodePage(const std::string& text, bool* ok) {
    std::u16string wide = Utf8ToUtf16(text);
    std::string out;
    out.reserve(wide.size());
    if (ok) *ok = true;
    for (size_t i = 0; i < wide.size(); ++i) {
        char16_t u = wide[i];
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            out.push_back(static_cast<char>(u));
            continue;
        }
        char byte = '?';
        bool found = false;
        for (int k = 0; k < 32; ++k) {
            if (kHigh[k] == u && u != 0xFFFD) {
                byte = static_cast<char>(0x80 + k);
                found = true;
                break;
            }
        }
        if (!found && ok) *ok = false;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < wide.size()) ++i;  // one '?' per character
        out.push_back(byte);
    }
    return out;
}

}  // namespace platform
