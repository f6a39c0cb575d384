#pragma once
// Enumerates the virtual tree for listings: at the root the share points whose folders
// exist, inside a share point the real folder's entries.

#include <string>

#include "streams/FileFinder.h"

class CVirtualFinder : public CFileFinder {
public:
    void SetHome(const std::string& home) { home_ = home; }

    // pattern: a virtual path whose last part may hold wildcards.
    bool Start(const std::string& pattern) override;
    bool Next() override;
    std::string Name() const override;
    bool IsFolder() const override;
    bool IsReadOnly() const override;
    uint64_t Size() const override;
    bool LastWriteTime(platform::Time32& time) const override;
    void Close() override;

private:
    bool atRoot_ = false;
    std::vector<std::string> shares_;
    size_t current_ = 0;
    bool started_ = false;
    CDirFinder folder_;
    std::string home_;
};
