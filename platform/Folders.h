#pragma once
// The folders the program takes its places from. Paths are host paths without a trailing "/".

#include <string>

namespace platform {

// The folder of settings, registry.reg and the password file: the one given with
// --config-dir, else $XDG_CONFIG_HOME/quenlowftp, else ~/.config/quenlowftp.
std::string ConfigDir();
// "" goes back to the default. A relative path is made absolute from the working folder now,
// so that what is derived from it and stored (the password file's path) holds from anywhere.
void SetConfigDir(const std::string& path);
// path from the working folder, without "." and ".." parts (a folder may keep its trailing
// "/"); an absolute path as it is.
std::string AbsolutePath(const std::string& path);

// The user's documents folder: XDG_DOCUMENTS_DIR of user-dirs.dirs, else ~/Documents.
std::string DocumentsFolder();

// Creates a folder and its parents (mode 0700 for new ones); true if it exists afterwards.
bool MakeFolders(const std::string& path);

}  // namespace platform
