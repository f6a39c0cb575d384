#pragma once
// The folders the program takes its places from. Paths are host paths without a trailing "/".

#include <string>

namespace platform {

// The folder of settings, registry.reg and the password file: the one given with
// --config-dir, else $XDG_CONFIG_HOME/quenlowftp, else ~/.config/quenlowftp.
std::string ConfigDir();
void SetConfigDir(const std::string& path);  // "" goes back to the default

// The user's documents folder: XDG_DOCUMENTS_DIR of user-dirs.dirs, else ~/Documents.
std::string DocumentsFolder();

// Creates a folder and its parents (mode 0700 for new ones); true if it exists afterwards.
bool MakeFolders(const std::string& path);

}  // namespace platform
