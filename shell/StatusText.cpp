#include "shell/StatusText.h"

#include <strings.h>
#include <cstdio>

std::string MegabytesText(uint64_t bytes) {
    char plain[64];
    std::snprintf(plain, sizeof plain, "%.2f", static_cast<double>(bytes) / 1048576.0);
    std::string text = plain;
    size_t point = text.find('.');
    std::string whole = text.substr(0, point), grouped;
    for (size_t i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0) grouped += ',';
        grouped += whole[i];
    }
    return grouped + text.substr(point);
}

std::string UptimeText(uint32_t s) {
    char text[48];
    std::snprintf(text, sizeof text, "%u %02u:%02u:%02u", s / 86400, s / 3600 - 24 * (s / 86400),
                  s / 60 - 60 * (s / 3600), s - 60 * (s / 60));
    return text;
}

std::string CountPairText(uint64_t a, uint64_t b) {
    return std::to_string(a) + "/" + std::to_string(b);
}

std::string StatusUserText(const std::string& name, const std::string& password) {
    return ::strcasecmp(name.c_str(), "anonymous") == 0 ? password : name;
}
