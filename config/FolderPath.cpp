#include "config/FolderPath.h"

#include "platform/Text.h"

std::vector<std::string> SplitVirtual(const std::string& path, char separator) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == separator) {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part.push_back(c);
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

std::string NormalizePath(const std::string& path, char separator) {
    std::vector<std::string> kept;
    for (const std::string& part : SplitVirtual(path, separator)) {
        if (part == "..") {
            if (!kept.empty()) kept.pop_back();
        } else if (part != ".") {
            kept.push_back(part);
        }
    }
    std::string result(1, separator);
    for (const std::string& k : kept) result += k + separator;
    return result;
}

namespace {
bool PartsAreValid(const std::string& normalized, char separator) {
    for (const std::string& part : SplitVirtual(normalized, separator)) {
        if (platform::Utf8ToUtf16(part).size() > 255) return false;
        for (const char* reserved : {"aux", "con", "lpt1", "prn"})
            if (platform::EqualsIgnoreCase(part, reserved)) return false;
        if (part.find_first_of("\"*/<>?\\|") != std::string::npos) return false;
    }
    return true;
}
}  // namespace

bool IsValidName(const std::string& path) {
    std::string p = path;
    for (char& c : p)
        if (c == '/') c = '\\';
    return PartsAreValid(NormalizePath(p), '\\');
}

bool IsValidHostFolder(const std::string& path) {
    return PartsAreValid(NormalizePath(path, '/'), '/');
}
