#pragma once
// An in-memory file system in place, with the share point "pub" on /srv/pub holding the
// folder docs, for as long as the object lives.

#include "session/SharePoints.h"
#include "support/MemoryFileSystem.h"

class MemoryShare {
public:
    MemoryShare() {
        fs.Folder("/srv/pub");
        fs.Folder("/srv/pub/docs");
        platform::UseFiles(&fs);
        ClearSharePoints();
        AddSharePoint("pub", "/srv/pub/", false);
    }
    ~MemoryShare() {
        ClearSharePoints();
        platform::UseFiles(nullptr);
    }
    MemoryShare(const MemoryShare&) = delete;
    MemoryShare& operator=(const MemoryShare&) = delete;

    MemoryFileSystem fs;
};
