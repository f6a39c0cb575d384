#include "streams/MsgStream.h"

#include <cstdio>

#include "platform/CodePage.h"

CFtpMsgStream::CFtpMsgStream(CSocketEx* socket) : CFtpTelnetStream(socket) {
    telnet_ = true;
}

void CFtpMsgStream::BeginReply(int code, const std::string& finalText) {
    code_ = static_cast<uint16_t>(code);
    finalText_ = finalText;
    pending_ = true;
}

bool CFtpMsgStream::OpenReplyFile(const std::string& path) {
    CloseReplyFile();
    if (!file_.Open(path, FILE_TEXT | FILE_SHARE_DENY_WRITE)) return false;
    pending_ = true;
    return true;
}

void CFtpMsgStream::CloseReplyFile() {
    file_.Close();
}

int CFtpMsgStream::SendReplyFile(int maxLines) {
    bool wasPending = pending_;
    bool flushed = Flush(false);
    if (!wasPending) return flushed ? -1 : 0;
    for (int written = 0; written < maxLines; ++written) {
        if (output_.FreeRoom() < kRoomPerStep) return written;
        if (!SendNextReplyLine()) {
            CloseReplyFile();
            return written;
        }
    }
    return maxLines;
}

bool CFtpMsgStream::SendNextReplyLine() {
    std::string text;
    bool more = ReadReplyLine(text);
    pending_ = more;
    if (!more) {
        if (finalText_.empty()) return false;
        text = finalText_;
    }
    char head[8];
    std::snprintf(head, sizeof head, "%03d%s", code_, more ? "-" : " ");
    WriteLine(head + text);
    return more;
}

bool CFtpMsgStream::ReadReplyLine(std::string& line) {
    line.clear();
    if (!file_.IsOpen()) return false;
    uint8_t bytes[256];
    uint32_t count = 0;
    try {
        if (!file_.ReadString(count, bytes, 255)) return false;
    } catch (const CFileError&) {
        file_.Close();
        return false;
    }
    line = platform::CodePageToUtf8(std::string(reinterpret_cast<char*>(bytes), count));
    return true;
}

void CFtpMsgStream::Reset() {
    CFtpTelnetStream::Reset();
    code_ = 0;
    pending_ = false;
    finalText_.clear();
    CloseReplyFile();
    telnet_ = true;
}
