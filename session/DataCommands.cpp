#include "session/DataCommands.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "session/Replies.h"

namespace {
bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// A decimal of up to nine digits (so it fits an int); longer ones count as too large.
long SmallNumber(const std::string& digits) {
    if (digits.size() > 9) return -1;
    return std::stol(digits);
}
// Four decimal numbers of 0 to 255 as the dotted quad that the address check and the connect
// both read alike: "0177" is 177 here, and never reaches a resolver that would take it for
// octal (127). Empty parts and numbers above 255 are refused.
bool CanonicalQuad(const std::vector<std::string>& parts, std::string& address) {
    if (parts.size() != 4) return false;
    std::string text;
    for (const std::string& part : parts) {
        if (!AllDigits(part)) return false;
        size_t first = part.find_first_not_of('0');
        std::string digits = first == std::string::npos ? "0" : part.substr(first);
        if (digits.size() > 3 || std::stoi(digits) > 255) return false;
        text += (text.empty() ? "" : ".") + digits;
    }
    address = text;
    return true;
}
}  // namespace

bool ParsePortArgument(const std::string& argument, std::string& address, int& port) {
    std::vector<std::string> fields(1);
    for (char c : argument) {
        if (c == ',')
            fields.emplace_back();
        else if (c >= '0' && c <= '9')
            fields.back().push_back(c);
    }
    if (fields.size() != 6) return false;
    for (const std::string& field : fields)
        if (field.empty()) return false;  // commas with no digits between them
    if (!CanonicalQuad({fields[0], fields[1], fields[2], fields[3]}, address)) return false;
    auto low8 = [](const std::string& digits) {
        int value = 0;
        for (char c : digits) value = (value * 10 + (c - '0')) % 256;
        return value;
    };
    port = low8(fields[4]) * 256 + low8(fields[5]);
    return true;
}

EprtResult ParseEprtArgument(const std::string& argument, std::string& address, int& port,
                             int wanted) {
    std::string text = argument;
    size_t open = text.find('(');
    if (open != std::string::npos) text.erase(0, open + 1);
    size_t close = text.rfind(')');
    if (close != std::string::npos) text.erase(close);
    size_t start = text.find_first_not_of(" \t");
    text = start == std::string::npos ? "" : text.substr(start);
    if (text.size() <= 4) return EprtResult::Bad;
    unsigned char delimiter = static_cast<unsigned char>(text[0]);
    if (delimiter < 33 || delimiter > 126) return EprtResult::Bad;
    text.erase(0, 1);
    size_t last = text.rfind(static_cast<char>(delimiter));
    if (last == std::string::npos) return EprtResult::Bad;
    text.erase(last + 1);
    std::vector<std::string> fields;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(static_cast<char>(delimiter), at);
        if (end == std::string::npos) break;
        fields.push_back(text.substr(at, end - at));
        at = text.find_first_not_of(" \t", end + 1);
        if (at == std::string::npos) break;
        if (fields.size() > 3) return EprtResult::Bad;
    }
    if (fields.size() != 3) return EprtResult::Bad;
    for (const std::string& field : fields)
        if (field.empty()) return EprtResult::Bad;
    if (!AllDigits(fields[0])) return EprtResult::Bad;
    long protocol = SmallNumber(fields[0]);
    if (protocol != 1 && protocol != 2) return EprtResult::Bad;
    std::string quad;
    if (protocol == 1) {
        std::vector<std::string> parts(1);
        for (char c : fields[1]) {
            if (c == '.')
                parts.emplace_back();
            else
                parts.back().push_back(c);
        }
        if (!CanonicalQuad(parts, quad)) return EprtResult::Bad;
    } else {
        // Numeric only: a zone ("%eth0") or a name never reaches a resolver or an interface.
        in6_addr parsed{};
        char text6[INET6_ADDRSTRLEN];
        if (fields[1].size() >= sizeof text6 ||
            inet_pton(AF_INET6, fields[1].c_str(), &parsed) != 1 ||
            !inet_ntop(AF_INET6, &parsed, text6, sizeof text6))
            return EprtResult::Bad;
        quad = text6;
    }
    if (!AllDigits(fields[2])) return EprtResult::Bad;
    long value = SmallNumber(fields[2]);
    if (value < 1 || value > 65535) return EprtResult::Bad;
    if (protocol != wanted) return EprtResult::UnsupportedProtocol;
    address = quad;
    port = static_cast<int>(value);
    return EprtResult::Ok;
}

std::string PassiveModeText(const std::string& address, int port) {
    std::string commas = address;
    for (char& c : commas)
        if (c == '.') c = ',';
    char tail[32];
    std::snprintf(tail, sizeof tail, ",%d,%d).", (port >> 8) & 0xFF, port & 0xFF);
    return "Entering passive mode (" + commas + tail;
}

std::string ProtocolRefusalText(int wanted) {
    return "Network protocol not supported, use (" + std::to_string(wanted) + ").";
}

std::string ExtendedPassiveModeText(int port) {
    char text[64];
    std::snprintf(text, sizeof text, "Entering extended passive mode (|||%d|).", port);
    return text;
}

int UploadFailureCode(int error) {
    return error == ENOSPC || error == EDQUOT ? REPLY_NO_STORAGE : REPLY_TRANSFER_ABORTED;
}
