#include "platform/Folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace platform {

namespace {
std::string g_configDir;

std::string Home() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::string XdgConfigHome() {
    if (const char* dir = std::getenv("XDG_CONFIG_HOME"); dir && *dir == '/') return dir;
    return Home() + "/.config";
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}
}  // namespace

std::string ConfigDir() {
    if (!g_configDir.empty()) return g_configDir;
    return XdgConfigHome() + "/quenlowftp";
}

void SetConfigDir(const std::string& path) {
    g_configDir = WithoutTrailingSlash(AbsolutePath(path));
}

std::string AbsolutePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    std::error_code error;
    std::filesystem::path whole = std::filesystem::absolute(path, error);
    if (error) return path;
    return whole.lexically_normal().string();
}

// user-dirs.dirs holds shell assignments such as XDG_DOCUMENTS_DIR="$HOME/Documents".
std::string DocumentsFolder() {
    std::ifstream dirs(XdgConfigHome() + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DOCUMENTS_DIR=";
    while (std::getline(dirs, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
        std::string value = line.substr(start + key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.compare(0, 5, "$HOME") == 0)
            value.replace(0, 5, Home());
        else if (value.empty() || value[0] != '/')
            continue;
        value = WithoutTrailingSlash(value);
        if (value != WithoutTrailingSlash(Home())) return value;  // "$HOME" means "not set"
    }
    return WithoutTrailingSlash(Home()) + "/Documents";
}

bool MakeFolders(const std::string& path) {
    if (path.empty()) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash)))
        return false;
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace platform
