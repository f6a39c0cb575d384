// Virtual paths as clients name them. The input is "current folder NUL path" (no NUL: the
// path alone, at the root); other NUL bytes are dropped, as the control connection ends a line
// at the first one.
//
// The path goes the way every command takes it, ResolveAgainst and then MapToReal, over a
// small real tree with links leading in and out of the share points. Whenever a path maps,
// the real path must lie in the share point's folder as plain text (no "." or ".." parts the
// kernel would follow) and, with links resolved, as far as it exists.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/FolderPath.h"
#include "platform/Text.h"
#include "session/SharePoints.h"

namespace {

std::string g_base, g_pub, g_home;

std::string Canonical(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

void RemoveTree() {
    if (!g_base.empty()) std::system(("rm -rf '" + g_base + "'").c_str());
}

void MakeTree() {
    // A crash skips the clean-up: run.sh points TMPDIR into the build tree for that.
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qftp-path-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    g_base = Canonical(pattern);
    std::atexit(RemoveTree);
    g_pub = g_base + "/share/pub";
    g_home = g_base + "/home/user";
    std::string script = "cd '" + g_base +
                         "' && mkdir -p share/pub/a/b home/user/docs && "
                         "echo secret > secret && echo ok > share/pub/a/b/file.txt && "
                         "ln -s '" + g_pub + "/a' share/pub/inner && "   // stays inside
                         "ln -s .. share/pub/a/up && "                  // back to pub: inside
                         "ln -s '" + g_base + "' share/pub/a/b/out && "  // leaves
                         "ln -s ../ share/pub/esc && "                  // leaves by a relative link
                         "ln -s loop share/pub/loop && "
                         "ln -s '" + g_base + "/planted' share/pub/a/dangling && "  // leaves, not there
                         "ln -s new.txt share/pub/a/later && "          // inside, not there yet
                         "ln -s ../../share home/user/away";
    if (std::system(script.c_str()) != 0) std::abort();
    ClearSharePoints();
    AddSharePoint("pub", g_pub, false);
    AddSharePoint("Home", "", true);
    AddSharePoint("gone", g_base + "/missing", false);  // a share point whose folder is not there
}

// The folder a virtual path's first part stands for, without its trailing "/".
bool ShareFolder(const std::string& virtualPath, const std::string& home, std::string& folder) {
    std::vector<std::string> parts = SplitVirtual(virtualPath);
    if (parts.empty()) return false;
    if (platform::EqualsIgnoreCase(parts[0], "pub")) {
        folder = g_pub;
    } else if (platform::EqualsIgnoreCase(parts[0], "home")) {
        if (home.empty()) return false;
        folder = home;
    } else if (platform::EqualsIgnoreCase(parts[0], "gone")) {
        folder = g_base + "/missing";
    } else {
        return false;
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return true;
}

bool Inside(const std::string& path, const std::string& root) {
    return path == root || path.compare(0, root.size() + 1, root + "/") == 0;
}

void CheckMapped(const std::string& virtualPath, const std::string& home) {
    std::string real;
    const bool mapped = MapToReal(virtualPath, home, real);
    std::string folder;
    if (!ShareFolder(virtualPath, home, folder)) {
        if (mapped) __builtin_trap();  // no share point, or a home share without a home
        return;
    }
    if (!mapped) return;
    const std::string seen = real.c_str();  // what the system calls get
    if (seen != real) __builtin_trap();
    if (seen != folder && seen != folder + "/" && seen.compare(0, folder.size() + 1, folder + "/"))
        __builtin_trap();
    for (const char* bad : {"/../", "/./", "//"})
        if (seen.find(bad) != std::string::npos) __builtin_trap();
    for (const char* end : {"/..", "/."})
        if (seen.size() >= 3 && seen.compare(seen.size() - std::char_traits<char>::length(end),
                                             std::string::npos, end) == 0)
            __builtin_trap();

    // Links: the deepest part that exists must resolve inside the folder. A link that leads
    // nowhere yet counts by where it points: creating a file through it makes its target.
    const std::string root = Canonical(folder);
    if (root.empty()) return;
    std::string probe = seen;
    while (probe.size() > 1 && probe.back() == '/') probe.pop_back();
    for (;;) {
        const std::string resolved = Canonical(probe);
        if (!resolved.empty()) {
            if (!Inside(resolved, root)) __builtin_trap();
            return;
        }
        const bool loop = errno == ELOOP;
        struct stat st {};
        if (::lstat(probe.c_str(), &st) == 0) {
            if (loop || !S_ISLNK(st.st_mode)) return;  // the kernel follows it nowhere
            char target[PATH_MAX];
            ssize_t n = ::readlink(probe.c_str(), target, sizeof target - 1);
            if (n <= 0) return;
            std::string to(target, static_cast<size_t>(n));
            if (to[0] != '/') to = Canonical(probe.substr(0, probe.find_last_of('/'))) + "/" + to;
            to = NormalizePath(to, '/');
            if (to.size() > 1) to.pop_back();
            if (!Inside(to, root)) __builtin_trap();
            return;
        }
        size_t slash = probe.find_last_of('/');
        if (slash == std::string::npos || slash == 0) __builtin_trap();
        probe.erase(slash);
    }
}

void CheckNormalized(const std::string& path, char separator) {
    const std::string normal = NormalizePath(path, separator);
    if (normal.empty() || normal.front() != separator || normal.back() != separator)
        __builtin_trap();
    if (NormalizePath(normal, separator) != normal) __builtin_trap();
    if (normal.find(std::string(2, separator)) != std::string::npos) __builtin_trap();
    for (const std::string& part : SplitVirtual(normal, separator))
        if (part == "." || part == "..") __builtin_trap();
}

void CheckSplit(const std::string& path) {
    std::string joined, expected;
    for (const std::string& part : SplitVirtual(path)) {
        if (part.empty() || part.find('\\') != std::string::npos) __builtin_trap();
        joined += part;
    }
    for (char c : path)
        if (c != '\\') expected.push_back(c);
    if (joined != expected) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MakeTree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\0');
    std::string current = cut == std::string::npos ? std::string() : input.substr(0, cut);
    std::string path = cut == std::string::npos ? input : input.substr(cut + 1);
    std::erase(path, '\0');

    CheckSplit(path);
    CheckNormalized(path, '\\');
    CheckNormalized(path, '/');
    std::string slashes = path;
    for (char& c : slashes)
        if (c == '/') c = '\\';
    if (IsValidName(path) != IsValidName(NormalizePath(slashes))) __builtin_trap();
    IsValidHostFolder(path);

    // The session's current folder is always one it resolved earlier.
    current = ResolveAgainst("\\", current);
    const std::string resolved = ResolveAgainst(current, path);
    if (resolved != NormalizePath(resolved)) __builtin_trap();
    for (const std::string& candidate : {resolved, WithoutTrailingSeparator(resolved)}) {
        CheckMapped(candidate, g_home);
        CheckMapped(candidate, g_home + "/");
        CheckMapped(candidate, "");
    }
    return 0;
}
