#pragma once
// The body of LIST, NLST and MLSD: one line per entry, the long Unix-style form, the bare
// name or the entry's facts, written in slices of at most 255 entries per send event.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "streams/FileFinder.h"
#include "streams/TelnetStream.h"

class CFtpListStream : public CFtpTelnetStream {
public:
    static constexpr int kMaxEntriesPerStep = 255;
    static constexpr uint32_t kRoomPerStep = 2560;

    explicit CFtpListStream(CSocketEx* socket = nullptr);

    virtual bool OpenListing(int kind, const std::string& pattern, bool namesOnly);
    // One line per entry from facts(name, folder, readOnly, size, time); the lines given
    // first (the listed folder's own) go out before the entries.
    using FactsFormatter = std::function<std::string(
        const std::string& name, bool folder, bool readOnly, uint64_t size, int64_t modified)>;
    bool OpenFactsListing(int kind, const std::string& pattern, std::vector<std::string> first,
                          FactsFormatter facts);
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
    FactsFormatter facts_;
    std::vector<std::string> first_;
    size_t firstSent_ = 0;
    std::string pattern_;
    CDirFinder ownFinder_;
    CFileFinder* finder_ = &ownFinder_;
};

// One long-form line: "-rwxrwxrwx   1 owner    group             1234 Mar 05 09:07 name".
std::string FormatListLine(const std::string& name, bool folder, bool readOnly, uint64_t size,
                           platform::Time32 time, platform::Time32 now);
