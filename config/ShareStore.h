#pragma once
// The share points a person adds beside "pub", as the settings keep them: their number in
// "SysFsCount" and one name, folder and read-only flag each under the key "FsShares". Also
// where a named user's home folder is when every user has one ("SysFsMapHome").

#include <string>
#include <vector>

#include "config/AppSettings.h"

inline constexpr int kMaxExtraShares = 64;

struct StoredShare {
    std::string name;
    std::string folder;  // a host folder, ending in "/"
    bool readOnly = false;
    bool operator==(const StoredShare&) const = default;
};

// The stored share points in order; an entry the key lacks or whose name is not usable is
// left out, and problems (if given) says which.
std::vector<StoredShare> ReadStoredShares(const CAppSettings& settings,
                                          std::vector<std::string>* problems = nullptr);
// Replaces the stored list and its count in one write; nothing changes on failure.
bool SaveStoredShares(CAppSettings& settings, const std::vector<StoredShare>& shares);

// Why a name cannot be a share point's (it must be one valid path part, and not "pub"):
// empty when it can.
std::string ShareNameProblem(const std::string& name);

// The folder that holds one folder per named user: "SysHomeFolder", or when that is empty
// "home" in the config folder. Ends in "/".
std::string HomeBaseFolder(const CAppSettings& settings);
// A named user's home folder: the base folder and the name. Empty when the name cannot be a
// folder's (a separator, "." or "..", a control character or over 255 bytes).
std::string HomeFolderOf(const CAppSettings& settings, const std::string& name);
