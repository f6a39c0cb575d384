#include "streams/FileReplacement.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/FileSystem.h"

CFileReplacement::~CFileReplacement() {
    Abandon();
}

bool CFileReplacement::Replaces(const std::string& path) {
    platform::FileFacts facts = platform::Files().LinkStatus(path);
    return facts.regular && facts.hardLinks == 1;
}

bool CFileReplacement::Begin(const std::string& original, int* error) {
    Abandon();
    auto fail = [&](int code) {
        if (error) *error = code;
        Abandon();
        return false;
    };
    int fd = platform::Files().Open(original, O_RDONLY | O_NOFOLLOW);
    if (fd < 0) return fail(errno);
    lockFd_ = fd;
    struct stat info {};
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0 || ::fstat(lockFd_, &info) != 0)
        return fail(errno);

    size_t slash = original.rfind('/');
    std::string folder = slash == std::string::npos ? "" : original.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? original : original.substr(slash + 1);
    // Room for the marks within a name's 255 bytes, cut on a character boundary.
    if (name.size() > 200) {
        size_t cut = 200;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.resize(cut);
    }
    std::string pattern = folder + "." + name + ".upload-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    int temporary = ::mkostemp(buffer.data(), O_CLOEXEC);
    if (temporary < 0) return fail(errno);
    temporary_.assign(buffer.data());
    original_ = original;
    int modeResult = ::fchmod(temporary, info.st_mode & 07777);
    int modeError = errno;
    ::close(temporary);
    if (modeResult != 0) return fail(modeError);
    return true;
}

bool CFileReplacement::Commit(int* error) {
    if (!Active()) return true;
    if (!platform::Files().Rename(temporary_, original_)) {
        if (error) *error = errno;
        Abandon();
        return false;
    }
    temporary_.clear();
    Unlock();
    return true;
}

void CFileReplacement::Abandon() {
    if (!temporary_.empty()) platform::Files().RemoveFile(temporary_);
    temporary_.clear();
    Unlock();
}

void CFileReplacement::Unlock() {
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
    original_.clear();
}
