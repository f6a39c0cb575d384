#include "config/ShareStore.h"

#include <cstdio>

#include "config/FolderPath.h"
#include "config/SettingNames.h"
#include "config/SettingsRegistry.h"
#include "platform/Folders.h"
#include "platform/Text.h"

namespace {
constexpr const char* kSharesSubKey = "FsShares";

std::string EntryName(const char* what, int index) {
    char name[24];
    std::snprintf(name, sizeof name, "%s%04d", what, index);
    return name;
}

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

// Why name cannot be the name of one folder of the machine; "" when it can.
std::string FolderNameProblem(const std::string& name) {
    if (name.empty()) return "the name is empty";
    if (name.size() > 255) return "the name is longer than 255 characters";
    if (name.find('/') != std::string::npos) return "the name is one folder name: it cannot hold /";
    if (name == "." || name == "..") return "the name cannot be . or ..";
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return "the name cannot hold control characters";
    return "";
}
}  // namespace

std::string ShareNameProblem(const std::string& name) {
    if (name.empty()) return "a share point needs a name";
    std::string problem = FolderNameProblem(name);
    if (!problem.empty()) return problem;
    // Clients may write a backslash as a separator too.
    if (name.find('\\') != std::string::npos)
        return "the name is one folder name: it cannot hold \\";
    if (!IsValidName(name))
        return "the name cannot be aux, con, lpt1 or prn, or hold any of \" * < > ? |";
    if (platform::EqualsIgnoreCase(name, "pub")) return "\"pub\" is the shared folder's name";
    return "";
}

std::vector<StoredShare> ReadStoredShares(const CAppSettings& settings,
                                          std::vector<std::string>* problems) {
    int count = settings.GetIntSetting(setting::SysFsCount);
    std::vector<StoredShare> shares;
    if (count <= 0) return shares;
    if (count > kMaxExtraShares) {
        if (problems)
            problems->push_back("SysFsCount is " + std::to_string(count) + "; only the first " +
                                std::to_string(kMaxExtraShares) + " share points are read");
        count = kMaxExtraShares;
    }
    CSettingsMap stored;
    LoadSettingsKey(std::string(kSettingsKey) + "\\" + kSharesSubKey, stored);
    for (int i = 0; i < count; ++i) {
        StoredShare share;
        std::string readOnly;
        bool named = stored.GetString(EntryName("Name", i), share.name);
        bool placed = stored.GetString(EntryName("Folder", i), share.folder);
        stored.GetString(EntryName("ReadOnly", i), readOnly);
        std::string problem =
            !named || !placed ? "is missing from the registry" : ShareNameProblem(share.name);
        if (problem.empty() && (share.folder.empty() || share.folder[0] != '/'))
            problem = "has no absolute folder";
        if (!problem.empty()) {
            if (problems)
                problems->push_back("share point " + std::to_string(i + 1) +
                                    (share.name.empty() ? "" : " \"" + share.name + "\"") + " " +
                                    problem + "; it is left out");
            continue;
        }
        share.folder = WithSlash(share.folder);
        share.readOnly = platform::EqualsIgnoreCase(readOnly, "true");
        shares.push_back(share);
    }
    return shares;
}

bool SaveStoredShares(CAppSettings& settings, const std::vector<StoredShare>& shares) {
    CSettingsMap map;
    for (size_t i = 0; i < shares.size(); ++i) {
        int n = static_cast<int>(i);
        map.SetString(EntryName("Name", n), shares[i].name);
        map.SetString(EntryName("Folder", n), shares[i].folder);
        map.SetString(EntryName("ReadOnly", n), shares[i].readOnly ? "true" : "false");
    }
    std::string oldCount = settings.GetSetting(setting::SysFsCount);
    settings.SetIntSetting(setting::SysFsCount, static_cast<long>(shares.size()));
    if (ReplaceSubKeyAndSave(kSharesSubKey, map, settings.ValuesToSave())) return true;
    settings.SetSetting(setting::SysFsCount, oldCount);
    return false;
}

std::string HomeBaseFolder(const CAppSettings& settings) {
    std::string base = settings.GetSetting(setting::SysHomeFolder);
    if (base.empty()) base = platform::ConfigDir() + "/home";
    return WithSlash(base);
}

std::string HomeFolderOf(const CAppSettings& settings, const std::string& name) {
    return FolderNameProblem(name).empty() ? HomeBaseFolder(settings) + name + "/" : "";
}
