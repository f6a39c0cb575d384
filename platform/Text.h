#pragma once
// Text conversion at the places where stored or wire forms are UTF-16 or the local code page.
// Inside the program text is UTF-8.

#include <string>

namespace platform {

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);

// ASCII-only case folding, as key and value names of the registry compare.
bool EqualsIgnoreCase(const std::string& a, const std::string& b);
// ASCII letters upper-cased (lower-cased), every other byte kept.
std::string AsciiUpper(std::string text);
std::string AsciiLower(std::string text);

}  // namespace platform
