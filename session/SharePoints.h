#pragma once
// The virtual tree clients see: its root holds only share points, each standing for a real
// folder. Virtual paths use "\" (clients may write "/"); real paths are host paths with "/".

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/FolderPath.h"
#include "platform/FileSystem.h"
#include "platform/Snapshot.h"

struct SharePoint {
    std::string name;
    std::string folder;     // real, ends in "/"
    bool home = false;      // stands for the user's home folder instead
    bool readOnly = false;  // nothing is made, changed or removed below it, whatever the rights
};

// The process-wide list; names match without regard to case, the first match wins. Sessions
// on every loop read it while a reload may replace it: each change publishes a new list, and
// a reader keeps the version it took.
class CSharePointTable {
public:
    static CSharePointTable& Instance();
    void Clear() { points_.Set(std::vector<SharePoint>{}); }
    bool Add(const std::string& name, const std::string& folder, bool home);
    // Replaces the whole list at once (no reader sees it half built).
    bool Replace(const std::vector<SharePoint>& points);
    std::optional<SharePoint> Find(const std::string& name) const;
    std::shared_ptr<const std::vector<SharePoint>> Points() const { return points_.Get(); }

private:
    platform::Snapshot<std::vector<SharePoint>> points_;
};

void ClearSharePoints();
bool AddSharePoint(const std::string& name, const std::string& folder, bool home);
bool SetSharePoints(const std::vector<SharePoint>& points);

// The rights a user has at a virtual path: none of the changing ones inside a read-only share
// point (the root itself holds nothing to change).
uint32_t RightsAt(const std::string& virtualPath, uint32_t rights);
// The real folder a share point stands for, for a user with this home ("" when it has none).
std::string ShareFolder(const SharePoint& point, const std::string& home);

// The path against the current folder (itself "\...\"), normalised.
std::string ResolveAgainst(const std::string& currentFolder, const std::string& path);

// The real path of a virtual one; false when its first component names no share point, when
// a home share has no home, or when the real path would leave the share point's folder
// (symbolic links resolved). facts, if given, receives what the check learnt of the real path
// when it looked at it (then it is no link); it stays as it is otherwise.
bool MapToReal(const std::string& virtualPath, const std::string& home, std::string& real,
               platform::FileFacts* facts = nullptr);
// A virtual path resolved once for a command: its real path (inside its share point, links
// resolved) and what is there, so that the command acts on what it checked.
struct CheckedPath {
    std::string real;  // empty when the path maps to no real place
    platform::FileFacts facts;
    bool Maps() const { return !real.empty(); }
    bool IsFile() const { return Maps() && facts.exists && !facts.folder; }
    bool IsFolder() const { return Maps() && facts.exists && facts.folder; }
};
CheckedPath CheckPath(const std::string& virtualPath, const std::string& home);
// A file a command names: path against the current folder, without a trailing "\", checked.
CheckedPath CheckFileArgument(const std::string& currentFolder, const std::string& path,
                              const std::string& home);

// A file's virtual path as the commands take it: without a trailing "\".
std::string WithoutTrailingSeparator(std::string path);
bool IsSharePointRoot(const std::string& virtualPath);
bool FolderExists(const std::string& virtualPath, const std::string& home);
bool FileExists(const std::string& virtualPath, const std::string& home);
