#include "session/VirtualFinder.h"

#include "platform/FileSystem.h"
#include "session/SharePoints.h"
#include "streams/Match.h"

bool CVirtualFinder::Start(const std::string& pattern) {
    Close();
    size_t slash = pattern.find_last_of('\\');
    if (slash != std::string::npos && slash != 0) {
        std::string real;
        if (!MapToReal(pattern.substr(0, slash + 1), home_, real)) return false;
        if (real.back() != '/') real += '/';
        return folder_.Start(real + pattern.substr(slash + 1));
    }
    atRoot_ = true;
    std::string wildcard = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if (wildcard.empty()) wildcard = "*";
    for (const SharePoint& point : *CSharePointTable::Instance().Points()) {
        if (!MatchPattern(wildcard, point.name, false)) continue;
        std::string folder = ShareFolder(point, home_);
        if (folder.empty()) continue;
        folder.pop_back();
        if (platform::Files().Status(folder).folder) shares_.push_back(point.name);
    }
    return !shares_.empty();
}

bool CVirtualFinder::Next() {
    if (!atRoot_) return folder_.Next();
    if (!started_) {
        started_ = true;
        current_ = 0;
    } else if (current_ < shares_.size()) {
        ++current_;
    }
    return current_ + 1 < shares_.size();
}

std::string CVirtualFinder::Name() const {
    if (!atRoot_) return folder_.Name();
    return current_ < shares_.size() ? shares_[current_] : "";
}

bool CVirtualFinder::IsFolder() const {
    return atRoot_ || folder_.IsFolder();
}
bool CVirtualFinder::IsReadOnly() const {
    return !atRoot_ && folder_.IsReadOnly();
}
uint64_t CVirtualFinder::Size() const {
    return atRoot_ ? 0 : folder_.Size();
}

bool CVirtualFinder::LastWriteTime(platform::Time32& time) const {
    if (!atRoot_) return folder_.LastWriteTime(time);
    time = platform::Clock::Now();
    return true;
}

void CVirtualFinder::Close() {
    folder_.Close();
    shares_.clear();
    atRoot_ = started_ = false;
    current_ = 0;
}
