#pragma once
// The file-system door in memory, for the command families' tests.

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

// A file system in memory: real paths ("/srv/pub/a.txt") to folders and files, no links.
class MemoryFileSystem : public platform::FileSystem {
public:
    struct Entry {
        bool folder = false;
        uint64_t size = 0;
        int64_t modified = 0;
    };

    void Folder(const std::string& path) { entries_[path] = {true, 0, 0}; }
    void File(const std::string& path, uint64_t size, int64_t modified = 1000) {
        entries_[path] = {false, size, modified};
    }
    bool Has(const std::string& path) const { return entries_.count(Key(path)) != 0; }
    const Entry& At(const std::string& path) { return entries_.at(Key(path)); }

    platform::FileFacts Status(const std::string& path) override {
        platform::FileFacts facts;
        auto found = entries_.find(Key(path));
        if (found == entries_.end()) {
            facts.missing = true;
            return facts;
        }
        facts.exists = true;
        facts.folder = found->second.folder;
        facts.regular = !found->second.folder;
        facts.size = found->second.size;
        facts.modified = found->second.modified;
        return facts;
    }
    platform::FileFacts LinkStatus(const std::string& path) override { return Status(path); }
    std::string Canonical(const std::string& path) override {
        return Has(path) ? Key(path) : std::string();
    }
    bool ListFolder(const std::string& folder, std::vector<platform::FolderEntry>& out) override {
        if (!Status(folder).folder) return false;
        std::string prefix = Key(folder) + "/";
        for (const auto& [name, entry] : entries_) {
            if (name.rfind(prefix, 0) != 0 || name.find('/', prefix.size()) != std::string::npos)
                continue;
            out.push_back({name.substr(prefix.size()), Status(name)});
        }
        return true;
    }
    int Open(const std::string&, int) override {
        errno = EACCES;  // no descriptors here: a test that opens files uses a real folder
        return -1;
    }
    bool MakeFolder(const std::string& path) override {
        if (Has(path) || !Status(Parent(path)).folder) return false;
        Folder(Key(path));
        return true;
    }
    bool RemoveFolder(const std::string& path) override {
        if (!Status(path).folder) return false;
        for (const auto& [name, entry] : entries_)
            if (name.rfind(Key(path) + "/", 0) == 0) return false;  // not empty
        entries_.erase(Key(path));
        return true;
    }
    bool RemoveFile(const std::string& path) override {
        if (!Status(path).regular) return false;
        entries_.erase(Key(path));
        return true;
    }
    bool Rename(const std::string& from, const std::string& to) override {
        if (!Has(from) || Has(to)) return false;
        entries_[Key(to)] = entries_[Key(from)];
        entries_.erase(Key(from));
        return true;
    }
    bool SetModified(const std::string& path, platform::Time32 time) override {
        if (!Has(path)) return false;
        entries_[Key(path)].modified = time;
        return true;
    }

private:
    static std::string Key(std::string path) {
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        return path;
    }
    static std::string Parent(const std::string& path) {
        std::string key = Key(path);
        return key.substr(0, key.find_last_of('/'));
    }
    std::map<std::string, Entry> entries_;
};
