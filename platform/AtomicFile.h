#pragma once
// Whole-file writes that either replace the file completely or leave the old one untouched:
// a temporary file in the same folder, fsync, rename over the target, fsync of the folder.

#include <string>

namespace platform {

// Writes data as the new content of path with the given permission bits (for a new file; an
// existing file keeps neither its mode nor its owner, it is replaced). Returns false and sets
// error (an errno value) when anything fails; the old file is then unchanged.
bool WriteFileAtomically(const std::string& path, const std::string& data, unsigned mode,
                         int* error = nullptr);

// Reads a whole file; false if it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& data);

}  // namespace platform
