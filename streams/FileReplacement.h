#pragma once
// An upload that replaces an existing file is written beside it under a temporary name, and
// renamed over it only once the upload is complete: a failed, aborted or cut-off upload (a
// full disk, a vanished client) leaves the original whole.

#include <string>

class CFileReplacement {
public:
    CFileReplacement() = default;
    ~CFileReplacement();
    CFileReplacement(const CFileReplacement&) = delete;
    CFileReplacement& operator=(const CFileReplacement&) = delete;

    // Whether an upload onto path goes through a replacement: a plain file with one link.
    // Anything else (a link, a file with other names) is written in place, as the client
    // would expect of that name.
    static bool Replaces(const std::string& path);

    // Locks the original against other writers (as an upload in place would) and creates an
    // empty temporary file in its folder with the original's permission bits. False with an
    // errno value in error when the original is held by another writer or the folder takes no
    // new file.
    bool Begin(const std::string& original, int* error = nullptr);
    bool Active() const { return !temporary_.empty(); }
    const std::string& TemporaryPath() const { return temporary_; }

    // Renames the temporary file over the original. On failure the temporary file is removed
    // and the original stays; error gets an errno value.
    bool Commit(int* error = nullptr);
    // Removes the temporary file; the original stays as it was.
    void Abandon();

private:
    void Unlock();

    std::string original_, temporary_;
    int lockFd_ = -1;
};
