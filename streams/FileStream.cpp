#include "streams/FileStream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/FileSystem.h"

CFileError::CFileError(int c) : std::runtime_error(std::strerror(c)), code(c) {}

CFtpFile::~CFtpFile() {
    Close();
}

bool CFtpFile::Open(const std::string& path, uint32_t flags, int* error) {
    Close();
    flags_ = flags;
    lastByte_ = 0;
    int access = flags & 3;
    int mode = access == FILE_WRITE ? O_WRONLY : access == FILE_READ_WRITE ? O_RDWR : O_RDONLY;
    if (flags & FILE_CREATE) mode |= O_CREAT | ((flags & FILE_NO_TRUNCATE) ? 0 : O_TRUNC);
    // Open before truncating: a file another writer holds must stay as it is.
    int fd = platform::Files().Open(path, mode & ~O_TRUNC);
    if (fd < 0) {
        if (error) *error = errno;
        return false;
    }
    uint32_t share = flags & 0x70;
    if (share == FILE_SHARE_EXCLUSIVE || share == FILE_SHARE_DENY_WRITE ||
        share == FILE_SHARE_DENY_READ) {
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (error) *error = errno;
            ::close(fd);
            return false;
        }
    }
    if ((mode & O_TRUNC) && ::ftruncate(fd, 0) != 0) {
        if (error) *error = errno;
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

uint32_t CFtpFile::Read(uint8_t* data, uint32_t length) {
    if (length == 0) return 0;
    if (!(flags_ & FILE_TEXT)) {
        ssize_t n;
        do n = ::read(fd_, data, length);
        while (n < 0 && errno == EINTR);
        if (n < 0) throw CFileError(errno);
        return static_cast<uint32_t>(n);
    }
    uint32_t total = 0;
    while (total < length) {
        uint32_t count = 0;
        bool complete = ReadTextLine(count, data + total, length - total);
        total += count;
        if (!complete && total < length) break;  // the end of the file
    }
    return total;
}

void CFtpFile::Write(const uint8_t* data, uint32_t length) {
    lastByte_ = 0;
    while (length > 0) {
        ssize_t n = ::write(fd_, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw CFileError(n < 0 ? errno : EIO);
        data += n;
        length -= static_cast<uint32_t>(n);
    }
}

uint64_t CFtpFile::Seek(int64_t offset, int origin) {
    lastByte_ = 0;
    off_t at = ::lseek(fd_, offset, origin);
    if (at < 0) throw CFileError(errno);
    return static_cast<uint64_t>(at);
}

uint64_t CFtpFile::Size() const {
    struct stat facts {};
    if (::fstat(fd_, &facts) != 0) throw CFileError(errno);
    return static_cast<uint64_t>(facts.st_size);
}

uint64_t CFtpFile::Position() const {
    off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) throw CFileError(errno);
    return static_cast<uint64_t>(at);
}

void CFtpFile::Close() {
    if (fd_ >= 0) ::close(fd_);  // a failed close just forgets the handle
    fd_ = -1;
    flags_ = 0;
    lastByte_ = 0;
}

bool CFtpFile::ReadTextLine(uint32_t& count, uint8_t* data, uint32_t length) {
    count = 0;
    uint8_t block[512];
    while (count < length) {
        uint32_t want = std::min<uint32_t>(sizeof block, length - count);
        ssize_t got;
        do got = ::read(fd_, block, want);
        while (got < 0 && errno == EINTR);
        if (got < 0) throw CFileError(errno);
        if (got == 0) return false;
        uint32_t used = 0;
        bool complete = false;
        while (used < static_cast<uint32_t>(got) && count < length) {
            uint8_t b = block[used];
            if (lastByte_ == 13 && b == 10) {
                data[count++] = 10;
                lastByte_ = 0;
                ++used;
                complete = true;
                break;
            }
            if (b == 10) {
                data[count++] = 13;  // the LF itself is handled again, after this CR
                lastByte_ = 13;
                continue;
            }
            data[count++] = b;
            lastByte_ = b;
            ++used;
        }
        if (used < static_cast<uint32_t>(got)) {
            // Give back what was not used; this seek keeps the last byte.
            if (::lseek(fd_, -static_cast<off_t>(static_cast<uint32_t>(got) - used), SEEK_CUR) < 0)
                throw CFileError(errno);
        }
        if (complete) return true;
    }
    return false;
}

bool CFtpFile::ReadString(uint32_t& count, uint8_t* data, uint32_t length) {
    bool complete = ReadTextLine(count, data, length);
    if (complete && count >= 2) {
        count -= 2;
        data[count] = 0;
    }
    return complete;
}

// ---- the stream ----

namespace {
// The pipe a plain binary upload passes through on its way from the socket to the file, so
// that its bytes are never copied into a buffer of ours: one per thread, and empty again
// whenever a step ends.
class UploadPipe {
public:
    UploadPipe() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
        readEnd_ = ends[0];
        writeEnd_ = ends[1];
        // A larger pipe moves more per call; the system may grant less than asked.
        (void)::fcntl(writeEnd_, F_SETPIPE_SZ, kWanted);
        int size = ::fcntl(writeEnd_, F_GETPIPE_SZ);
        capacity_ = size > 0 ? static_cast<uint32_t>(size) : 0;
    }
    ~UploadPipe() {
        if (readEnd_ >= 0) ::close(readEnd_);
        if (writeEnd_ >= 0) ::close(writeEnd_);
    }
    UploadPipe(const UploadPipe&) = delete;
    UploadPipe& operator=(const UploadPipe&) = delete;

    bool Usable() const { return capacity_ > 0; }
    int ReadEnd() const { return readEnd_; }
    int WriteEnd() const { return writeEnd_; }
    uint32_t Capacity() const { return capacity_; }
    // Drops whatever still waits in the pipe.
    void Empty() {
        uint8_t block[16384];
        while (::read(readEnd_, block, sizeof block) > 0) {
        }
    }

    static UploadPipe& OfThisThread() {
        thread_local UploadPipe pipe;
        return pipe;
    }

private:
    static constexpr int kWanted = 1 << 20;
    int readEnd_ = -1;
    int writeEnd_ = -1;
    uint32_t capacity_ = 0;
};
}  // namespace

CFtpFileStream::~CFtpFileStream() {
    if (md5_) EVP_MD_CTX_free(md5_);
}

bool CFtpFileStream::Create(uint32_t size) {
    Initialize();
    bufferSize_ = size;
    buffer_.Allocate(size, true);
    return true;
}

void CFtpFileStream::Release() {
    Close();
    buffer_.Free();
}

bool CFtpFileStream::OpenFile(const std::string& path, uint32_t flags, bool digest) {
    if (buffer_.Capacity() != bufferSize_) buffer_.Allocate(bufferSize_, true);
    Open(STREAM_KIND_CONNECTION, static_cast<intptr_t>(flags));
    fileError_ = 0;
    std::string target = path;
    if ((flags & FILE_REPLACE) && CFileReplacement::Replaces(path)) {
        if (!replacement_.Begin(path)) {
            Close();
            return false;
        }
        target = replacement_.TemporaryPath();
    }
    if (!file_.Open(target, flags & ~FILE_REPLACE)) {
        replacement_.Abandon();
        Close();
        return false;
    }
    digest_ = digest;
    direct_ = true;
    position_ = 0;
    if (digest_) {
        if (!md5_) md5_ = EVP_MD_CTX_new();
        if (!md5_ || EVP_DigestInit_ex(md5_, EVP_md5(), nullptr) != 1) digest_ = false;
        digestValue_.fill(0);
    }
    return true;
}

bool CFtpFileStream::Seek(uint64_t offset) {
    // Every byte read, sent or written moves the position, so a file that moved nothing since
    // it was opened stands at its start already.
    if (offset == 0 && position_ == 0 && file_.IsOpen()) return true;
    position_ = 0;
    try {
        // One absolute seek, checked against the offset.
        uint64_t at = file_.Seek(static_cast<int64_t>(offset), SEEK_SET);
        position_ = offset;
        return at == offset;
    } catch (const CFileError&) {
        state_ |= STREAM_FAILED;
        return false;
    }
}

uint64_t CFtpFileStream::GetFileLength() {
    try {
        return file_.Size();
    } catch (const CFileError&) {
        state_ |= STREAM_FAILED;
        return 0;
    }
}

void CFtpFileStream::Digest(const uint8_t* data, uint32_t length) {
    if (digest_ && length) EVP_DigestUpdate(md5_, data, length);
}

void CFtpFileStream::WriteFile(CFtpFifoBuffer& buffer) {
    uint32_t n = buffer.Used();
    file_.Write(buffer.Data(), n);
    Digest(buffer.Data(), n);
    buffer.Consume(n);
    position_ += n;
}

uint32_t CFtpFileStream::ReadFile(CFtpFifoBuffer& buffer, uint32_t maximum) {
    uint32_t n = std::min(maximum, buffer.FreeRoom());
    if (n == 0) return 0;
    uint32_t got = file_.Read(buffer.End(), n);
    if (got == 0) {
        CloseFile();
        return 0;
    }
    Digest(buffer.End(), got);
    buffer.Grow(got);
    position_ += got;
    return got;
}

uint32_t CFtpFileStream::Step() const {
    return (file_.Flags() & FILE_BINARY) ? kBinaryStep : kTextStep;
}

bool CFtpFileStream::SendDirect(uint32_t chunk) {
    if (!direct_ || !socket_ || !file_.IsOpen() || (file_.Flags() & FILE_TEXT) || digest_ ||
        Deflating() || buffer_.Used() > 0)
        return false;
    uint32_t sentNow = 0;
    while (sentNow < chunk) {
        int n = socket_->SendFile(file_.Descriptor(), static_cast<int>(chunk - sentNow));
        if (n == CSocketEx::kCopyInstead) {
            direct_ = false;
            return sentNow > 0;
        }
        if (n == CSocketEx::kEndOfFile) {
            CloseFile();
            break;
        }
        if (n < 0) throw CStreamFailure("send failed");
        if (n == 0) break;
        sentNow += static_cast<uint32_t>(n);
        position_ += static_cast<uint32_t>(n);
        bytesSent_ += static_cast<uint64_t>(n);
    }
    return true;
}

bool CFtpFileStream::SendFromFile() {
    try {
        Flush(false);
        uint32_t chunk = Step();
        uint32_t sentNow = 0;
        while (!SendDirect(kDirectStep)) {
            if (file_.IsOpen()) ReadFile(buffer_, chunk);
            int sent = SendBuffer(buffer_, 0);
            if (sent < 1) break;
            sentNow += static_cast<uint32_t>(sent);
            if (sentNow >= chunk) break;
        }
        if (!file_.IsOpen() && Flush(true)) {
            state_ |= STREAM_COMPLETE;
            return false;
        }
        return true;
    } catch (const CFileError& failure) {
        fileError_ = failure.code;
        CloseFile();
        state_ |= STREAM_FAILED;
        return false;
    }
}

bool CFtpFileStream::ReceiveDirect(uint32_t chunk) {
    if (!direct_ || !socket_ || !file_.IsOpen() || (file_.Flags() & FILE_TEXT) || digest_ ||
        Deflating() || buffer_.Used() > 0)
        return false;
    UploadPipe& pipe = UploadPipe::OfThisThread();
    if (!pipe.Usable()) {
        direct_ = false;
        return false;
    }
    uint32_t receivedNow = 0;
    while (receivedNow < chunk && file_.IsOpen()) {
        int n = socket_->ReceiveToPipe(pipe.WriteEnd(),
                                       static_cast<int>(std::min(chunk - receivedNow,
                                                                 pipe.Capacity())));
        if (n == CSocketEx::kCopyInstead) {
            direct_ = false;
            return receivedNow > 0;
        }
        if (n < 0) throw CStreamFailure("receive failed");
        if (n == 0) break;
        bytesReceived_ += static_cast<uint64_t>(n);
        WriteFromPipe(pipe.ReadEnd(), static_cast<uint32_t>(n));
        receivedNow += static_cast<uint32_t>(n);
    }
    return true;
}

void CFtpFileStream::WriteFromPipe(int readEnd, uint32_t count) {
    while (count > 0) {
        ssize_t n = ::splice(readEnd, nullptr, file_.Descriptor(), nullptr, count,
                             SPLICE_F_MOVE);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        position_ += static_cast<uint64_t>(n);
        count -= static_cast<uint32_t>(n);
    }
    if (count == 0) return;
    // The file did not take the rest this way (a file system that cannot splice, a full
    // disk): it goes through the buffer and write(), which reports an error the way the
    // copying path does, and the pipe is left empty whatever happens.
    direct_ = false;
    try {
        while (count > 0) {
            ssize_t n = ::read(readEnd, buffer_.End(), std::min(count, buffer_.FreeRoom()));
            if (n <= 0) throw CFileError(EIO);
            buffer_.Grow(static_cast<uint32_t>(n));
            count -= static_cast<uint32_t>(n);
            WriteFile(buffer_);
        }
    } catch (...) {
        buffer_.Clear();
        UploadPipe::OfThisThread().Empty();
        throw;
    }
}

bool CFtpFileStream::ReceiveToFile() {
    if (!file_.IsOpen()) return false;
    try {
        if (ReceiveDirect(kDirectStep)) return true;
        uint32_t chunk = Step();
        uint32_t receivedNow = 0;
        while (receivedNow < chunk) {
            int r = ReceiveBuffer(buffer_, 0);
            if (r <= 0) break;
            receivedNow += static_cast<uint32_t>(r);
            WriteFile(buffer_);
        }
        return true;
    } catch (const CFileError& failure) {
        fileError_ = failure.code;
        CloseFile();
        state_ |= STREAM_FAILED;
        return false;
    }
}

void CFtpFileStream::CloseFile() {
    replacement_.Abandon();
    CloseHandle();
}

bool CFtpFileStream::CommitReplacement(int* error) {
    CloseHandle();
    return replacement_.Commit(error);
}

void CFtpFileStream::CloseHandle() {
    if (!file_.IsOpen()) return;
    if (digest_) {
        unsigned int length = 0;
        EVP_DigestFinal_ex(md5_, digestValue_.data(), &length);
    }
    file_.Close();
}

uint32_t CFtpFileStream::SkipText(uint32_t maximum) {
    uint8_t block[8192];
    uint32_t got = file_.Read(block, std::min<uint32_t>(maximum, sizeof block));
    position_ += got;
    return got;
}

std::string CFtpFileStream::DigestHex() const {
    std::string hex;
    char two[3];
    for (uint8_t b : digestValue_) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

void CFtpFileStream::Reset() {
    CFtpDataStream::Reset();
    buffer_.Clear();
    digest_ = false;
    position_ = 0;
    CloseFile();
}

bool CFtpFileStream::Flush(bool final) {
    if (buffer_.Used() > 0) SendBuffer(buffer_, 0);
    if (buffer_.Used() > 0) return false;
    return CFtpDataStream::Flush(final);
}
