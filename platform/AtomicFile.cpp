#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

namespace {
std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool Fail(int* error, int code) {
    if (error) *error = code;
    return false;
}
}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& data, unsigned mode,
                         int* error) {
    // A name of its own beside the target: the server and an administration command may
    // write the same file at the same moment, and neither may rename the other's half.
    std::string temp = path + ".tmp.XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return Fail(error, errno);
    ::fchmod(fd, mode);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int code = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(temp.c_str());
            return Fail(error, code);
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        int code = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return Fail(error, code);
    }
    if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        int code = errno;
        ::unlink(temp.c_str());
        return Fail(error, code);
    }
    int dir = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& data) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    data.clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

}  // namespace platform
