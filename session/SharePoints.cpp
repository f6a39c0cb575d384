#include "session/SharePoints.h"

#include "platform/FileSystem.h"
#include "platform/Text.h"

CSharePointTable& CSharePointTable::Instance() {
    static CSharePointTable table;
    return table;
}

namespace {
bool Fit(SharePoint& point) {
    if (point.name.empty() || point.name.size() > 260 || point.folder.size() > 8192) return false;
    if (point.folder.empty() || point.folder.back() != '/') point.folder += '/';
    return true;
}
}  // namespace

bool CSharePointTable::Add(const std::string& name, const std::string& folder, bool home) {
    SharePoint point{name, folder, home};
    if (!Fit(point)) return false;
    std::vector<SharePoint> points = *points_.Get();
    points.push_back(point);
    points_.Set(std::move(points));
    return true;
}

bool CSharePointTable::Replace(const std::vector<SharePoint>& points) {
    std::vector<SharePoint> fitted;
    for (SharePoint point : points)
        if (Fit(point)) fitted.push_back(point);
    bool all = fitted.size() == points.size();
    points_.Set(std::move(fitted));
    return all;
}

std::optional<SharePoint> CSharePointTable::Find(const std::string& name) const {
    std::shared_ptr<const std::vector<SharePoint>> points = points_.Get();
    for (const SharePoint& point : *points)
        if (platform::EqualsIgnoreCase(point.name, name)) return point;
    return std::nullopt;
}

void ClearSharePoints() {
    CSharePointTable::Instance().Clear();
}

bool AddSharePoint(const std::string& name, const std::string& folder, bool home) {
    return CSharePointTable::Instance().Add(name, folder, home);
}

bool SetSharePoints(const std::vector<SharePoint>& points) {
    return CSharePointTable::Instance().Replace(points);
}

uint32_t RightsAt(const std::string& virtualPath, uint32_t rights) {
    std::vector<std::string> parts = SplitVirtual(virtualPath);
    if (parts.empty()) return rights;
    std::optional<SharePoint> point = CSharePointTable::Instance().Find(parts[0]);
    if (point && point->readOnly) return 0;
    return rights;
}

std::string ShareFolder(const SharePoint& point, const std::string& home) {
    if (!point.home) return point.folder;
    if (home.empty()) return "";
    return home.back() == '/' ? home : home + "/";
}

std::string ResolveAgainst(const std::string& currentFolder, const std::string& path) {
    std::string p = path;
    for (char& c : p)
        if (c == '/') c = '\\';
    if (p.empty() || p[0] != '\\') p = currentFolder + p;
    return NormalizePath(p);
}

namespace {
std::string Canonical(const std::string& path) {
    return platform::Files().Canonical(path);
}

// The path stays inside folder once links are resolved: resolve the deepest part that exists.
bool ResolvesInside(const std::string& real, const std::string& folder) {
    std::string root = Canonical(folder);
    if (root.empty()) return false;
    std::string probe = real;
    while (!probe.empty() && probe.back() == '/' && probe.size() > 1) probe.pop_back();
    std::string existing = Canonical(probe);
    while (existing.empty()) {
        // A part that is there but does not resolve is a link to nothing (or a loop): a file
        // created through it would land wherever the link points.
        if (platform::Files().LinkStatus(probe).exists) return false;
        size_t slash = probe.find_last_of('/');
        if (slash == std::string::npos || slash == 0) return false;
        probe.erase(slash);
        existing = Canonical(probe);
    }
    return existing == root || existing.compare(0, root.size() + 1, root + "/") == 0;
}

// The same answer, cheaply for the usual case: when no part below the folder is a link (and
// none is "." or ".."), the path cannot leave it. Anything else takes the full resolution.
// finalFacts, if given, receives what was learnt of the path itself when its last part was
// looked at and is no link (the same as following it would say); it stays untouched otherwise.
bool StaysInside(const std::string& real, const std::string& folder,
                 platform::FileFacts* finalFacts) {
    if (real.compare(0, folder.size(), folder) != 0) return ResolvesInside(real, folder);
    std::string probe = folder;
    size_t at = folder.size();
    while (at < real.size()) {
        size_t slash = real.find('/', at);
        std::string part =
            real.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        at = slash == std::string::npos ? real.size() : slash + 1;
        if (part.empty()) continue;
        if (part == "." || part == "..") return ResolvesInside(real, folder);
        if (probe.back() != '/') probe += '/';
        probe += part;
        platform::FileFacts facts = platform::Files().LinkStatus(probe);
        // Nothing below a missing part exists, so nothing there links away; a part that
        // cannot be looked at for another reason (no access, not a folder) takes the full
        // resolution.
        if (!facts.exists) return facts.missing || ResolvesInside(real, folder);
        if (facts.link) return ResolvesInside(real, folder);
        if (finalFacts && at >= real.size()) *finalFacts = facts;
    }
    return true;
}
}  // namespace

bool MapToReal(const std::string& virtualPath, const std::string& home, std::string& real,
               platform::FileFacts* facts) {
    std::vector<std::string> parts = SplitVirtual(virtualPath);
    if (parts.empty()) return false;
    std::optional<SharePoint> point = CSharePointTable::Instance().Find(parts[0]);
    if (!point) return false;
    std::string folder = ShareFolder(*point, home);
    if (folder.empty()) return false;
    real = folder;
    for (size_t i = 1; i < parts.size(); ++i) {
        // Paths come normalised; one that is not must not climb out by its own parts.
        if (parts[i] == "." || parts[i] == "..") return false;
        real += (i > 1 ? "/" : "") + parts[i];
    }
    return StaysInside(real, folder, facts);
}

std::string WithoutTrailingSeparator(std::string path) {
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

bool IsSharePointRoot(const std::string& virtualPath) {
    std::vector<std::string> parts = SplitVirtual(virtualPath);
    return parts.size() == 1 && CSharePointTable::Instance().Find(parts[0]).has_value();
}

CheckedPath CheckPath(const std::string& virtualPath, const std::string& home) {
    CheckedPath checked;
    platform::FileFacts seen;
    if (!MapToReal(virtualPath, home, checked.real, &seen)) {
        checked.real.clear();
        return checked;
    }
    if (seen.exists) {
        checked.facts = seen;
        return checked;
    }
    std::string look = checked.real;
    if (look.size() > 1 && look.back() == '/') look.pop_back();
    checked.facts = platform::Files().Status(look);
    return checked;
}

CheckedPath CheckFileArgument(const std::string& currentFolder, const std::string& path,
                              const std::string& home) {
    return CheckPath(WithoutTrailingSeparator(ResolveAgainst(currentFolder, path)), home);
}

bool FolderExists(const std::string& virtualPath, const std::string& home) {
    return virtualPath == "\\" || CheckPath(virtualPath, home).IsFolder();
}

bool FileExists(const std::string& virtualPath, const std::string& home) {
    return CheckPath(virtualPath, home).IsFile();
}
