// Feeds arbitrary bytes through the control connection's input path: the telnet decoder in
// chunks of varying size, line extraction from the decoded bytes, and the UTF-8 decoder over
// each line, with the codec's encoder checked to give back what it decoded.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "streams/TelnetCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    TelnetDecoder decoder;
    std::string decoded, replies;
    size_t at = 1, chunk = 1 + data[0] % 16;
    while (at < size) {
        size_t n = std::min(chunk, size - at);
        decoder.Decode(data + at, n, decoded, replies);
        at += n;
    }
    if (replies.size() % 3 != 0) __builtin_trap();  // every refusal is IAC, verb, option

    const auto* bytes = reinterpret_cast<const uint8_t*>(decoded.data());
    size_t left = decoded.size();
    while (left > 0) {
        long end = FindLineEnd(bytes, left);
        size_t lineLength = end < 0 ? left : static_cast<size_t>(end) - 2;
        std::vector<char16_t> units(lineLength + 1);
        size_t consumed = 0, produced = 0;
        Utf8Result result = DecodeUtf8(bytes, lineLength, units.data(), units.size(), &consumed,
                                       &produced);
        if (produced > units.size() || consumed > lineLength) __builtin_trap();
        if (result == Utf8Result::Ok && consumed == lineLength) {
            std::vector<uint8_t> back(3 * produced + 1);
            size_t used = 0, written = 0;
            if (EncodeUtf8(units.data(), produced, back.data(), back.size(), &used, &written) !=
                    Utf8Result::Ok ||
                written != lineLength || !std::equal(back.begin(), back.begin() + written, bytes))
                __builtin_trap();  // valid UTF-8 must survive the round trip unchanged
        }
        if (end < 0) break;
        bytes += end;
        left -= static_cast<size_t>(end);
    }
    return 0;
}
