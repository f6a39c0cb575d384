#include "streams/FileFinder.h"

#include <algorithm>

#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "streams/Match.h"

namespace {
bool IsUtf8(const std::string& name) {
    return platform::Utf16ToUtf8(platform::Utf8ToUtf16(name)) == name &&
           name.find("\xEF\xBF\xBD") == std::string::npos;
}
}  // namespace

// Reads the matching entries at once: a folder is listed in slices over many events, and a
// snapshot keeps a folder that changes meanwhile from tangling the listing.
bool CDirFinder::Start(const std::string& pattern) {
    Close();
    size_t slash = pattern.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : pattern.substr(0, slash + 1);
    std::string wildcard = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    std::vector<platform::FolderEntry> found;
    if (!platform::Files().ListFolder(folder, found)) return false;
    for (platform::FolderEntry& entry : found) {
        if (!IsUtf8(entry.name) || !MatchPattern(wildcard, entry.name, false)) continue;
        Entry e;
        e.name = std::move(entry.name);
        e.folder = entry.facts.folder;
        e.readOnly = entry.facts.readOnly;
        e.size = e.folder ? 0 : entry.facts.size;
        e.hasTime = true;
        e.time = static_cast<platform::Time32>(entry.facts.modified);
        entries_.push_back(std::move(e));
    }
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return !entries_.empty();
}

bool CDirFinder::Next() {
    if (!started_) {
        started_ = true;
        current_ = 0;
    } else if (current_ < entries_.size()) {
        ++current_;
    }
    return current_ + 1 < entries_.size();
}

std::string CDirFinder::Name() const {
    return current_ < entries_.size() ? entries_[current_].name : "";
}
bool CDirFinder::IsFolder() const {
    return current_ < entries_.size() && entries_[current_].folder;
}
bool CDirFinder::IsReadOnly() const {
    return current_ < entries_.size() && entries_[current_].readOnly;
}
uint64_t CDirFinder::Size() const {
    return current_ < entries_.size() ? entries_[current_].size : 0;
}

bool CDirFinder::LastWriteTime(platform::Time32& time) const {
    if (current_ >= entries_.size() || !entries_[current_].hasTime) return false;
    time = entries_[current_].time;
    return true;
}

void CDirFinder::Close() {
    entries_.clear();
    current_ = 0;
    started_ = false;
}
