// The input is a UTF-8 pattern, a NUL byte, then the name (empty when there is no NUL).

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Text.h"
#include "streams/Match.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\0');
    const std::string pattern = input.substr(0, cut);
    const std::string name = cut == std::string::npos ? std::string() : input.substr(cut + 1);

    MatchPattern(pattern, name, true);
    MatchPattern(pattern, name, false);

    // The option bits the server never sets.
    const std::u16string widePattern = platform::Utf8ToUtf16(pattern);
    const std::u16string wideName = platform::Utf8ToUtf16(name);
    for (int options : {0, MATCH_NOESCAPE | MATCH_CASEFOLD, MATCH_PATHNAME | MATCH_NOESCAPE})
        MatchPatternWith(widePattern, wideName, false, options);
    return 0;
}
