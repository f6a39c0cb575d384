#pragma once
// The host file system as the session and its streams use it: look at a path, list a folder,
// open a file, make and remove folders, remove and rename files, set a modification time. One
// interface, so that the commands run against an in-memory file system in tests; Files() is
// the one in use. What is done with an open descriptor (read, write, lock) stays with its
// owner.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace platform {

struct FileFacts {
    bool exists = false;
    bool missing = false;  // not there at all (ENOENT), rather than not to be looked at
    bool folder = false;
    bool regular = false;   // a plain file, not a folder, device or pipe
    bool link = false;      // only from LinkStatus
    bool readOnly = false;  // the owner may not write it
    uint64_t size = 0;
    uint64_t hardLinks = 0;
    int64_t modified = 0;  // seconds since 1970
};

struct FolderEntry {
    std::string name;
    FileFacts facts;  // links followed
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
    // The entries of folder as the system gives them ("." and ".." included), unsorted; an
    // entry that is gone by the time it is looked at, or a link that leads nowhere, is left
    // out. False when the folder cannot be read.
    virtual bool ListFolder(const std::string& folder, std::vector<FolderEntry>& entries) = 0;
    // open(2) with flags (close-on-exec added; a created file gets 0644): a descriptor, or -1
    // with errno set.
    virtual int Open(const std::string& path, int flags) = 0;
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
