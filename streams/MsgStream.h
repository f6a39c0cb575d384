#pragma once
// A control connection's stream: command lines in, numbered replies out, including long
// multi-line replies whose lines come from a text file, sent in slices that never overrun the
// output buffer ("250-first", "250-second", "250 final").

#include <string>

#include "streams/FileStream.h"
#include "streams/TelnetStream.h"

class CFtpMsgStream : public CFtpTelnetStream {
public:
    static constexpr int kMaxLinesPerStep = 255;
    static constexpr uint32_t kRoomPerStep = 1285;  // five lines of 257 bytes

    explicit CFtpMsgStream(CSocketEx* socket = nullptr);

    virtual bool OpenReplyFile(const std::string& path);
    virtual void CloseReplyFile();
    // One step of the pending reply: -1 when none is pending and all output has left, 0 when
    // none is pending but output is still queued, else the file lines written in this step.
    virtual int SendReplyFile(int maxLines);
    virtual bool SendNextReplyLine();

    // Starts a multi-line reply; a reply file may be opened afterwards.
    void BeginReply(int code, const std::string& finalText);
    bool ReplyPending() const { return pending_; }

    void Reset() override;

private:
    bool ReadReplyLine(std::string& line);

    uint16_t code_ = 0;
    bool pending_ = false;
    std::string finalText_;
    CFtpFile file_;
};
