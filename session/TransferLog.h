#pragma once
// The lines a finished transfer leaves in the logs: the event log's sentence and the
// transfer log's line in the xferlog format that log analysers read:
//   current-time transfer-time remote-host file-size filename transfer-type
//   special-action-flag direction access-mode username service-name
//   authentication-method authenticated-user-id completion-status

#include <cstdint>
#include <string>

#include "platform/Clock.h"

struct TransferLogEntry {
    platform::Time32 end = 0;
    uint64_t milliseconds = 0;  // from the command to the final reply
    std::string peer;
    std::string user;  // "anonymous" for anonymous logins: the e-mail given is not written
    bool anonymous = false;
    std::string path;       // the real path
    uint64_t bytes = 0;     // bytes of the file moved
    bool binary = false;    // TYPE I
    bool incoming = false;  // an upload
    bool complete = false;
    int code = 0;  // the final reply
};

// One xferlog line, without its end. Blanks and control characters in the file name become
// "_" so that every field stays one word; the time is local, at least 1 second.
std::string XferlogLine(const TransferLogEntry& entry);
// "downloaded /srv/ftp/a.bin: 1048576 bytes in 0.02 s, complete (226)"
std::string TransferLogText(const TransferLogEntry& entry);
