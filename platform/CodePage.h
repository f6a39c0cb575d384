#pragma once
// The local code page, Windows-1252, both ways.

#include <string>

namespace platform {

// Each byte of Windows-1252 text to UTF-8 (the five unassigned bytes map to U+FFFD).
std::string CodePageToUtf8(const std::string& bytes);
// UTF-8 to Windows-1252; characters it cannot hold become '?'. With ok given, it is set to
// false when any character had no byte.
std::string Utf8ToCodePage(const std::string& text, bool* ok = nullptr);

}  // namespace platform
