#pragma once
// Files over a data connection: downloads read into the transfer buffer and send, uploads
// receive and write. Text-mode reads turn bare LF into CR LF; restart positioning; MD5 of
// what is read or written.

#include <openssl/evp.h>

#include <array>
#include <stdexcept>
#include <string>

#include "streams/FileReplacement.h"
#include "streams/Stream.h"

// Open flags (the access, sharing, create and type bits the session uses).
enum FileOpenFlags : uint32_t {
    FILE_READ = 0x0000,
    FILE_WRITE = 0x0001,
    FILE_READ_WRITE = 0x0002,
    FILE_SHARE_EXCLUSIVE = 0x0010,
    FILE_SHARE_DENY_WRITE = 0x0020,
    FILE_SHARE_DENY_READ = 0x0030,
    FILE_SHARE_DENY_NONE = 0x0040,
    FILE_CREATE = 0x1000,
    FILE_NO_TRUNCATE = 0x2000,
    FILE_TEXT = 0x4000,
    FILE_BINARY = 0x8000,
    // An existing plain file is written under a temporary name and replaced by
    // CommitReplacement; any other close leaves it as it was.
    FILE_REPLACE = 0x10000,
};

// A file error (read, write, seek); caught inside the stream's steps.
class CFileError : public std::runtime_error {
public:
    explicit CFileError(int code);
    int code;
};

class CFtpFile {
public:
    CFtpFile() = default;
    ~CFtpFile();
    CFtpFile(const CFtpFile&) = delete;
    CFtpFile& operator=(const CFtpFile&) = delete;

    // The file itself is always opened in binary; "others may not write" takes an advisory
    // lock without waiting, so a second writer fails to open. error gets an errno value.
    bool Open(const std::string& path, uint32_t flags, int* error = nullptr);
    uint32_t Read(uint8_t* data, uint32_t length);
    void Write(const uint8_t* data, uint32_t length);
    uint64_t Seek(int64_t offset, int origin);
    void Close();
    // One text line into data: true when its line end was written.
    bool ReadTextLine(uint32_t& count, uint8_t* data, uint32_t length);
    // ReadTextLine with the line end replaced by a 0 byte.
    bool ReadString(uint32_t& count, uint8_t* data, uint32_t length);

    bool IsOpen() const { return fd_ >= 0; }
    uint32_t Flags() const { return flags_; }
    uint64_t Position() const;
    // The file's length, whatever the offset (which stays where it is).
    uint64_t Size() const;
    int Descriptor() const { return fd_; }

private:
    int fd_ = -1;
    uint32_t flags_ = 0;
    uint8_t lastByte_ = 0;
};

class CFtpFileStream : public CFtpDataStream {
public:
    // What one event moves of a binary file: large enough that 64 busy sessions cost few
    // events per megabyte, small enough (well under a millisecond) to keep them fair.
    static constexpr uint32_t kBinaryStep = 131072;
    static constexpr uint32_t kTextStep = 1024;
    // What one event hands to sendfile or moves through the upload pipe: no buffer of ours is
    // filled, so the step can be larger; on loopback a 512 KiB step moves about a fifth more
    // per second than the buffer's step, and still takes well under a millisecond.
    static constexpr uint32_t kDirectStep = 524288;

    using CFtpDataStream::CFtpDataStream;
    ~CFtpFileStream() override;

    virtual bool Create(uint32_t size);
    // Opening a file takes back a buffer of Create's size after a Release.
    virtual bool OpenFile(const std::string& path, uint32_t flags, bool digest);
    void Release();
    virtual bool Seek(uint64_t offset);
    virtual uint64_t GetFileLength();
    virtual void WriteFile(CFtpFifoBuffer& buffer);
    virtual uint32_t ReadFile(CFtpFifoBuffer& buffer, uint32_t maximum);
    virtual bool ReceiveToFile();
    virtual bool SendFromFile();
    virtual void CloseFile();
    // Closes the file and, for an upload opened with FILE_REPLACE, puts it in place of the
    // original. False (errno in error) if that fails; the original then stays.
    bool CommitReplacement(int* error = nullptr);
    // The errno value of the read or write that failed the stream, 0 if none did.
    int FileError() const { return fileError_; }
    // Reads (and drops) up to maximum bytes through the text conversion: positioning a text
    // file at a restart offset that counts converted bytes.
    uint32_t SkipText(uint32_t maximum);
    bool TextMode() const { return (file_.Flags() & FILE_TEXT) != 0; }

    void Reset() override;
    bool Flush(bool final) override;

    uint64_t Position() const { return position_; }
    bool FileOpen() const { return file_.IsOpen(); }
    CFtpFifoBuffer& Buffer() { return buffer_; }
    // The 32 lowercase hex digits of the digest, once the file was closed.
    std::string DigestHex() const;

private:
    uint32_t Step() const;
    // Sends the next step of a binary file straight from its descriptor; false when the
    // bytes must be copied through the buffer instead (from then on, for this file).
    bool SendDirect(uint32_t chunk);
    // Receives the next step of a binary upload through a pipe into the file; false when the
    // bytes must be copied through the buffer instead (from then on, for this file).
    bool ReceiveDirect(uint32_t chunk);
    // Moves count bytes that wait in the pipe readEnd into the file.
    void WriteFromPipe(int readEnd, uint32_t count);
    void CloseHandle();
    void Digest(const uint8_t* data, uint32_t length);

    CFtpFifoBuffer buffer_;
    uint32_t bufferSize_ = 0;
    CFtpFile file_;
    CFileReplacement replacement_;
    int fileError_ = 0;
    uint64_t position_ = 0;
    bool digest_ = false;
    bool direct_ = true;  // the socket may still send this file without copying
    EVP_MD_CTX* md5_ = nullptr;
    std::array<uint8_t, 16> digestValue_{};
};
