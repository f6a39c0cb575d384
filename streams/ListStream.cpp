#include "streams/ListStream.h"

#include <cinttypes>
#include <cstdio>

CFtpListStream::CFtpListStream(CSocketEx* socket) : CFtpTelnetStream(socket) {}

bool CFtpListStream::OpenListing(int kind, const std::string& pattern, bool namesOnly) {
    Open(kind, 0);
    pattern_ = pattern;
    namesOnly_ = namesOnly;
    more_ = finder_->Start(pattern);
    return true;
}

bool CFtpListStream::OpenFactsListing(int kind, const std::string& pattern,
                                      std::vector<std::string> first, FactsFormatter facts) {
    OpenListing(kind, pattern, false);
    first_ = std::move(first);
    firstSent_ = 0;
    facts_ = std::move(facts);
    return true;
}

bool CFtpListStream::SendListing() {
    Flush(false);
    for (int written = 0; written < kMaxEntriesPerStep; ++written) {
        if (output_.FreeRoom() < kRoomPerStep) return true;
        if (!NextEntry()) {
            if (!Flush(true)) return true;  // the next step finds no entry and flushes again
            state_ |= STREAM_COMPLETE;
            return false;
        }
    }
    return true;
}

bool CFtpListStream::NextEntry() {
    if (firstSent_ < first_.size()) {
        WriteLine(first_[firstSent_++]);
        return true;
    }
    while (more_) {
        more_ = finder_->Next();
        std::string name = finder_->Name();
        if (name == "." || name == "..") continue;
        if (namesOnly_) {
            WriteLine(name);
            return true;
        }
        platform::Time32 now = platform::Clock::Now(), time = now;
        bool timeKnown = finder_->LastWriteTime(time);
        if (facts_) {
            WriteLine(facts_(name, finder_->IsFolder(), finder_->IsReadOnly(), finder_->Size(),
                             timeKnown ? static_cast<int64_t>(time) : -1));
            return true;
        }
        if (!timeKnown) time = now;
        WriteLine(FormatListLine(name, finder_->IsFolder(), finder_->IsReadOnly(), finder_->Size(),
                                 time, now));
        return true;
    }
    return false;
}

void CFtpListStream::Reset() {
    CFtpTelnetStream::Reset();
    pattern_.clear();
    namesOnly_ = more_ = false;
    facts_ = nullptr;
    first_.clear();
    firstSent_ = 0;
    finder_->Close();
}

std::string FormatListLine(const std::string& name, bool folder, bool readOnly, uint64_t size,
                           platform::Time32 time, platform::Time32 now) {
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* w = readOnly ? "-" : "w";
    char line[160];
    struct tm at = platform::LocalTime(time);
    struct tm today = platform::LocalTime(now);
    char when[32];
    if (at.tm_year == today.tm_year)
        std::snprintf(when, sizeof when, "%s %02d %02d:%02d", kMonths[at.tm_mon], at.tm_mday,
                      at.tm_hour, at.tm_min);
    else
        std::snprintf(when, sizeof when, "%s %02d  %04d", kMonths[at.tm_mon], at.tm_mday,
                      at.tm_year + 1900);
    std::snprintf(line, sizeof line, "%sr%sxr%sxr%sx   1 owner    group %16" PRIu64 " %s ",
                  folder ? "d" : "-", w, w, w, size, when);
    return line + name;
}
