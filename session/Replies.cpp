#include "session/Replies.h"

#include <array>
#include <cstdio>
#include <vector>

namespace {
struct ReplyEntry {
    int code;
    const char* text;
};

constexpr ReplyEntry kReplyTable[] = {
    {110, "Restart marker reply."},
    {120, "Service ready in nnn minutes."},
    {125, "Data connection already open; transfer starting."},
    {150, "File status okay; about to open data connection."},
    {200, "Command okay."},
    {202, "Command not implemented, superfluous at this site."},
    {211, "System status, or system help reply."},
    {212, "Directory status."},
    {213, "File status."},
    {214, "Help message."},
    {215, "NAME system type."},
    {220, "Service ready for new user."},
    {221, "Service closing control connection."},
    {225, "Data connection open; no transfer in progress."},
    {226, "Closing data connection."},
    {227, "Entering passive mode (h1,h2,h3,h4,p1,p2)."},
    {229, "Entering extended passive mode (<d><d><d><tcp-port><d>)."},
    {230, "User logged in, proceed."},
    {232, "User logged in, authorized by security data exchange."},
    {234, "Security data exchange complete."},
    {250, "Requested file action okay, completed."},
    {257, "\"%s\" directory created."},
    {331, "User name okay, need password."},
    {332, "Need account for login."},
    {334, "Authentication method accepted, security data required."},
    {350, "Requested file action pending further information."},
    {421, "Service not available, closing control connection."},
    {425, "Can't open data connection."},
    {426, "Connection closed; transfer aborted."},
    {431, "Need some unavailable resource to process security."},
    {435, "Connection closed; failed security check (certificate, etc)."},
    {450, "Requested file action not taken."},
    {451, "Requested action aborted: local error in processing."},
    {452, "Requested action not taken. Insufficient storage space in system."},
    {500, "Syntax error, command unrecognized."},
    {501, "Syntax error in parameters or arguments."},
    {502, "Command not implemented."},
    {503, "Bad sequence of commands."},
    {504, "Command not implemented for that parameter."},
    {521, "\"%s\" directory already exists; taking no action."},
    {522, "Network protocol not supported, use (1)."},
    {530, "Not logged in."},
    {532, "Need account for storing files."},
    {533, "Command protection level denied for policy reasons."},
    {534, "Request denied for policy reasons."},
    {535, "Failed security check (hash, sequence, etc)."},
    {536, "Requested PROT level not supported by mechanism."},
    {537, "Command protection level not supported by security mechanism."},
    {550, "Requested action not taken."},
    {551, "Requested action aborted: page type unknown."},
    {552, "Requested file action aborted."},
    {553, "Requested action not taken. File name not allowed."},
    {554, "Requested action not taken: Invalid REST parameter."},
    {555, "Requested action not taken: TYPE or STRU mismatch."},
};
static_assert(std::size(kReplyTable) == 54);

// Indexed by code, filled once.
const std::vector<std::string>& ReplyTextIndex() {
    static const std::vector<std::string> index = [] {
        std::vector<std::string> texts(556);
        for (const ReplyEntry& entry : kReplyTable)
            texts[static_cast<size_t>(entry.code)] = entry.text;
        return texts;
    }();
    return index;
}
}  // namespace

const std::string& DefaultReplyText(int code) {
    static const std::string empty;
    const auto& index = ReplyTextIndex();
    if (code < 0 || static_cast<size_t>(code) >= index.size()) return empty;
    return index[static_cast<size_t>(code)];
}

std::string ReplyLine(int code, const std::string& text) {
    char head[16];
    std::snprintf(head, sizeof head, "%03d ", code);
    return head + (text.empty() ? DefaultReplyText(code) : text);
}

std::string FormatReply(int code) {
    return ReplyLine(code, "");
}

std::string GreetingLine(const std::string& systemName) {
    char line[512];
    std::snprintf(line, sizeof line, "220 %s%s%s %.02f%s (%s) Ready.", systemName.c_str(),
                  systemName.empty() ? "" : " ", "Quenlow FTP Pro", 1.70, "", "WINCE");
    return line;
}
