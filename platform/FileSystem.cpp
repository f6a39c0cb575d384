#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

FileFacts FactsOf(const struct stat& st) {
    FileFacts facts;
    facts.exists = true;
    facts.folder = S_ISDIR(st.st_mode);
    facts.regular = S_ISREG(st.st_mode);
    facts.link = S_ISLNK(st.st_mode);
    facts.readOnly = !(st.st_mode & S_IWUSR);
    facts.size = static_cast<uint64_t>(st.st_size);
    facts.hardLinks = static_cast<uint64_t>(st.st_nlink);
    facts.modified = static_cast<int64_t>(st.st_mtime);
    return facts;
}

FileFacts Failed() {
    FileFacts facts;
    facts.missing = errno == ENOENT;
    return facts;
}

class HostFileSystem : public FileSystem {
public:
    FileFacts Status(const std::string& path) override {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? FactsOf(st) : Failed();
    }
    FileFacts LinkStatus(const std::string& path) override {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? FactsOf(st) : Failed();
    }
    std::string Canonical(const std::string& path) override {
        char buffer[PATH_MAX];
        return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
    }
    bool ListFolder(const std::string& folder, std::vector<FolderEntry>& entries) override {
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) return false;
        std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
        while (dirent* d = ::readdir(dir)) {
            std::string name = d->d_name;
            struct stat st {};
            if (::stat((prefix + name).c_str(), &st) != 0) continue;
            entries.push_back({std::move(name), FactsOf(st)});
        }
        ::closedir(dir);
        return true;
    }
    int Open(const std::string& path, int flags) override {
        return ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    }
    bool MakeFolder(const std::string& path) override { return ::mkdir(path.c_str(), 0755) == 0; }
    bool RemoveFolder(const std::string& path) override { return ::rmdir(path.c_str()) == 0; }
    bool RemoveFile(const std::string& path) override { return ::unlink(path.c_str()) == 0; }
    bool Rename(const std::string& from, const std::string& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0;
    }
    bool SetModified(const std::string& path, Time32 time) override {
        timespec times[2];
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(time);
        times[0].tv_nsec = times[1].tv_nsec = 0;
        return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
    }
};

HostFileSystem g_host;
FileSystem* g_files = &g_host;

}  // namespace

FileSystem& Files() {
    return *g_files;
}

void UseFiles(FileSystem* fs) {
    g_files = fs ? fs : &g_host;
}

}  // namespace platform
