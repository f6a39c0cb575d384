#pragma once
// The body of LIST and NLST: one line per entry, the long Unix-style form or the bare name,
// written in slices of at most 255 entries per send event.

#include <memory>
#include <string>

#include "streams/FileFinder.h"
#include "streams/TelnetStream.h"

class CFtpListStream : public CFtpTelnetStream {
public:
    static constexpr int kMaxEntriesPerStep = 255;
    static constexpr uint32_t kRoomPerStep = 2560;

    explicit CFtpListStream(CSocketEx* socket = nullptr);

    virtual bool OpenListing(int kind, const std::string& pattern, bool namesOnly);
    // True: call again when the socket can send; false: finished (state bit 4) or stuck.
    virtual bool SendListing();
    virtual bool NextEntry();

    void Reset() override;

    // The session's finder (mapping virtual paths to share points); a plain folder finder
    // until one is given.
    void SetFinder(CFileFinder* finder) { finder_ = finder ? finder : &ownFinder_; }

private:
    bool namesOnly_ = false;
    bool more_ = false;
    std::string pattern_;
    CDirFinder ownFinder_;
    CFileFinder* finder_ = &ownFinder_;
};

// One long-form line: "-rwxrwxrwx   1 owner    group             1234 Mar 05 09:07 name".
std::string FormatListLine(const std::string& name, bool folder, bool readOnly, uint64_t size,
                           platform::Time32 time, platform::Time32 now);
