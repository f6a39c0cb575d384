#pragma once
// The host file system as the session's commands use it: look at a path, make and remove
// folders, remove and rename files, set a modification time. One interface, so that the
// commands run against an in-memory file system in tests; Files() is the one in use.

#include <cstdint>
#include <string>

#include "platform/Clock.h"

namespace platform {

struct FileFacts {
    bool exists = false;
    bool missing = false;  // not there at all (ENOENT), rather than not to be looked at
    bool folder = false;
    bool regular = false;  // a plain file, not a folder, device or pipe
    bool link = false;  // only from LinkStatus
    uint64_t size = 0;
    int64_t modified = 0;  // seconds since 1970
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    // What is at path, links followed (stat).
    virtual FileFacts Status(const std::string& path) = 0;
    // What is at path itself, a link as a link (lstat).
    virtual FileFacts LinkStatus(const std::string& path) = 0;
    // The path with every link, "." and ".." resolved; "" when some part is missing.
    virtual std::string Canonical(const std::string& path) = 0;
    virtual bool MakeFolder(const std::string& path) = 0;
    virtual bool RemoveFolder(const std::string& path) = 0;
    virtual bool RemoveFile(const std::string& path) = 0;
    virtual bool Rename(const std::string& from, const std::string& to) = 0;
    // Sets both the access and the modification time.
    virtual bool SetModified(const std::string& path, Time32 time) = 0;
};

// The file system in use: the host's, unless a test put its own in place.
FileSystem& Files();
// Puts fs in place (null: the host's again); for tests.
void UseFiles(FileSystem* fs);

}  // namespace platform
