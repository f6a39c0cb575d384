#include "session/TransferLog.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {
// One xferlog field: "-" when empty, blanks and control characters as "_".
std::string Field(const std::string& text) {
    std::string field = text.empty() ? "-" : text;
    for (char& c : field)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) c = '_';
    return field;
}
}  // namespace

std::string XferlogLine(const TransferLogEntry& e) {
    struct tm local = platform::LocalTime(e.end);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%a %b %e %H:%M:%S %Y", &local);
    std::string name = Field(e.path);
    std::string user = Field(e.user);
    uint64_t seconds = std::max<uint64_t>(1, (e.milliseconds + 500) / 1000);
    char tail[64];
    std::snprintf(tail, sizeof tail, " %c _ %c %c ", e.binary ? 'b' : 'a', e.incoming ? 'i' : 'o',
                  e.anonymous ? 'a' : 'r');
    return std::string(stamp) + " " + std::to_string(seconds) + " " + e.peer + " " +
           std::to_string(e.bytes) + " " + name + tail + user + " ftp 0 * " +
           (e.complete ? "c" : "i");
}

std::string TransferLogText(const TransferLogEntry& e) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.2f s", e.milliseconds / 1000.0);
    return std::string(e.incoming ? "uploaded " : "downloaded ") + e.path + ": " +
           std::to_string(e.bytes) + " bytes in " + duration + ", " +
           (e.complete ? "complete" : "failed") + " (" + std::to_string(e.code) + ")";
}
