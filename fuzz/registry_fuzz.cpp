// The registry file as a person may have edited it. The input up to its first NUL byte is the
// file; what follows is "name NUL text", a string value the program sets in it before saving.
//
// Every save is a Format() of what was parsed, and the next start parses that again: the keys
// and values must come back as they were (unreadable lines may lose surrounding blanks, no
// more), and the value set must read back exactly.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/RegistryFile.h"
#include "platform/Text.h"

using platform::RegistryFile;

namespace {

constexpr const char* kSettingsKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Orv\\Quenlow FTP\\Settings";

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool SameEntry(const RegistryFile::Entry& a, const RegistryFile::Entry& b) {
    if (a.verbatim != b.verbatim) return false;
    if (a.verbatim) return Trim(a.raw) == Trim(b.raw);
    if (a.name != b.name || a.isString != b.isString) return false;
    return a.isString ? a.text == b.text : a.raw == b.raw;
}

bool SameFile(const RegistryFile& a, const RegistryFile& b) {
    if (a.preamble.size() != b.preamble.size() || a.keys.size() != b.keys.size()) return false;
    for (size_t i = 0; i < a.preamble.size(); ++i)
        if (Trim(a.preamble[i]) != Trim(b.preamble[i])) return false;
    for (size_t k = 0; k < a.keys.size(); ++k) {
        const RegistryFile::Key &x = a.keys[k], &y = b.keys[k];
        if (x.path != y.path || x.entries.size() != y.entries.size()) return false;
        for (size_t e = 0; e < x.entries.size(); ++e)
            if (!SameEntry(x.entries[e], y.entries[e])) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\0');
    const std::string content = input.substr(0, cut);

    std::vector<std::string> problems;
    RegistryFile parsed = RegistryFile::Parse(content, "fuzz.reg", &problems);
    const std::string saved = parsed.Format();
    RegistryFile reread = RegistryFile::Parse(saved, "fuzz.reg", nullptr);
    if (!SameFile(parsed, reread)) __builtin_trap();  // a save changed the settings

    if (cut == std::string::npos) return 0;
    const std::string rest = input.substr(cut + 1);
    const size_t split = rest.find('\0');
    const std::string name = rest.substr(0, split);
    const std::string text = split == std::string::npos ? std::string() : rest.substr(split + 1);
    RegistryFile::SetString(parsed.OpenOrCreateKey(kSettingsKey), name, text);
    RegistryFile written = RegistryFile::Parse(parsed.Format(), "fuzz.reg", nullptr);
    RegistryFile::Key* key = written.FindKey(kSettingsKey);
    if (!key) __builtin_trap();
    const RegistryFile::Entry* found = nullptr;
    for (const RegistryFile::Entry& e : key->entries)
        if (!e.verbatim && platform::EqualsIgnoreCase(e.name, name)) {
            found = &e;
            break;
        }
    if (!found || !found->isString || found->text != text) __builtin_trap();
    return 0;
}
