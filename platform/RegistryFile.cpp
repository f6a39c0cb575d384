#include "platform/RegistryFile.h"

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/AtomicFile.h"
#include "platform/Text.h"

namespace platform {

namespace {

constexpr const char* kHeader = "REGEDIT4";

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Reads a quoted string starting at s[pos] == '"'; on success pos is just past the closing
// quote and out holds the raw (still escaped) text between the quotes.
bool ReadQuoted(const std::string& s, size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    size_t i = pos + 1;
    out.clear();
    while (i < s.size()) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size()) {
            out.push_back(c);
            out.push_back(s[i + 1]);
            i += 2;
            continue;
        }
        if (c == '"') {
            pos = i + 1;
            return true;
        }
        out.push_back(c);
        ++i;
    }
    return false;
}

// One value line: "name"=... or @=...
bool ParseValue(const std::string& line, RegistryFile::Entry& entry) {
    size_t pos = 0;
    std::string rawName;
    if (line[0] == '@') {
        pos = 1;
    } else if (!ReadQuoted(line, pos, rawName)) {
        return false;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') return false;
    ++pos;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    entry.name = Registry::Unescape(rawName);
    if (pos < line.size() && line[pos] == '"') {
        std::string rawText;
        if (!ReadQuoted(line, pos, rawText)) return false;
        if (!Trim(line.substr(pos)).empty()) return false;
        entry.isString = true;
        entry.text = Registry::Unescape(rawText);
        return true;
    }
    std::string rest = Trim(line.substr(pos));
    static const char* kTypes[] = {"dword:", "hex:", "hex("};
    for (const char* prefix : kTypes) {
        if (rest.compare(0, std::char_traits<char>::length(prefix), prefix) == 0) {
            entry.isString = false;
            entry.raw = rest;
            return true;
        }
    }
    return false;
}

// Whether a line is a value line whose data is hex: such a value may go on over lines that
// end with a backslash. Read the way the value is read, so that how the line is spaced (and
// thus whether it was saved by us) does not change what belongs to it.
bool StartsHexValue(const std::string& line) {
    std::string trimmed = Trim(line);
    size_t pos = 0;
    std::string rawName;
    if (trimmed.empty()) return false;
    if (trimmed[0] == '@')
        pos = 1;
    else if (!ReadQuoted(trimmed, pos, rawName))
        return false;
    while (pos < trimmed.size() && (trimmed[pos] == ' ' || trimmed[pos] == '\t')) ++pos;
    if (pos >= trimmed.size() || trimmed[pos] != '=') return false;
    ++pos;
    while (pos < trimmed.size() && (trimmed[pos] == ' ' || trimmed[pos] == '\t')) ++pos;
    return trimmed.compare(pos, 4, "hex:") == 0 || trimmed.compare(pos, 4, "hex(") == 0;
}

// A line that carries on a wrapped hex value: hex bytes and commas, perhaps ending with a
// backslash.
bool IsHexContinuation(const std::string& line) {
    std::string trimmed = Trim(line);
    if (trimmed.empty()) return false;
    for (size_t i = 0; i < trimmed.size(); ++i) {
        char c = trimmed[i];
        bool hexDigit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hexDigit && c != ',' && c != ' ' && c != '\t' &&
            !(c == '\\' && i + 1 == trimmed.size()))
            return false;
    }
    return true;
}

}  // namespace

std::string Registry::Escape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string Registry::Unescape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            out.push_back(c);
            continue;
        }
        char next = text[++i];
        switch (next) {
            case '\\':
                out.push_back('\\');
                break;
            case '"':
                out.push_back('"');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            default:  // a lone backslash written by hand: keep what was meant
                out.push_back('\\');
                out.push_back(next);
        }
    }
    return out;
}

RegistryFile RegistryFile::Parse(const std::string& content, const std::string& fileName,
                                 std::vector<std::string>* problems) {
    RegistryFile file;
    auto problem = [&](int line, const std::string& what) {
        if (problems) problems->push_back(fileName + ":" + std::to_string(line) + ": " + what);
    };
    std::string text = content;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    std::istringstream in(text);
    std::string line;
    int number = 0;
    bool headerSeen = false;
    Key* current = nullptr;
    auto keep = [&](const std::string& verbatim) {
        if (current) {
            Entry e;
            e.verbatim = true;
            e.raw = verbatim;
            current->entries.push_back(std::move(e));
        } else {
            file.preamble.push_back(verbatim);
        }
    };
    std::string pending;  // a line read ahead that turned out not to carry on a value
    bool hasPending = false;
    auto next = [&](std::string& out) {
        if (!hasPending) return static_cast<bool>(std::getline(in, out));
        out = std::move(pending);
        hasPending = false;
        return true;
    };
    while (next(line)) {
        ++number;
        int first = number;
        while (!line.empty() && line.back() == '\r') line.pop_back();
        // A hex value may go on over lines that end with a backslash, each holding more hex
        // bytes. Anything else ends it (the backslash then stays where it is) and is read as
        // a line of its own.
        bool hex = StartsHexValue(line);
        while (hex && !line.empty() && line.back() == '\\') {
            std::string more;
            if (!next(more)) break;
            if (!IsHexContinuation(more)) {
                pending = more;
                hasPending = true;
                break;
            }
            ++number;
            line.pop_back();
            line += Trim(more);
        }
        std::string trimmed = Trim(line);
        if (!headerSeen) {
            if (trimmed.empty()) continue;
            headerSeen = true;
            if (trimmed == kHeader) continue;
            problem(first, "the file does not start with " + std::string(kHeader));
        }
        if (trimmed.empty()) continue;
        if (trimmed[0] == ';') {
            keep(line);
            continue;
        }
        if (trimmed[0] == '[') {
            if (trimmed.back() == ']' && trimmed.size() > 2 && trimmed[1] != '-') {
                current = &file.OpenOrCreateKey(trimmed.substr(1, trimmed.size() - 2));
            } else {
                problem(first, "cannot read the key line: " + trimmed);
                keep(line);
            }
            continue;
        }
        Entry entry;
        if (current && ParseValue(trimmed, entry)) {
            current->entries.push_back(std::move(entry));
        } else {
            problem(first, current ? "cannot read the value line: " + trimmed
                                   : "a value line outside any key: " + trimmed);
            keep(line);
        }
    }
    return file;
}

std::string RegistryFile::Format() const {
    std::string out = std::string(kHeader) + "\n\n";
    // A line that ends with a backslash gets a blank line after it, so that the line after it
    // is never read as carrying it on.
    auto put = [&out](const std::string& line) {
        out += line + "\n";
        if (!line.empty() && line.back() == '\\') out += "\n";
    };
    for (const std::string& line : preamble) put(line);
    if (!preamble.empty()) out += "\n";
    for (const Key& key : keys) {
        out += "[" + key.path + "]\n";
        for (const Entry& e : key.entries) {
            if (e.verbatim) {
                put(e.raw);
                continue;
            }
            std::string name =
                e.name.empty() ? std::string("@") : "\"" + Registry::Escape(e.name) + "\"";
            put(name + "=" + (e.isString ? "\"" + Registry::Escape(e.text) + "\"" : e.raw));
        }
        out += "\n";
    }
    return out;
}

RegistryFile::Key* RegistryFile::FindKey(const std::string& path) {
    for (Key& key : keys)
        if (EqualsIgnoreCase(key.path, path)) return &key;
    return nullptr;
}

RegistryFile::Key& RegistryFile::OpenOrCreateKey(const std::string& path) {
    if (Key* key = FindKey(path)) return *key;
    keys.push_back(Key{path, {}});
    return keys.back();
}

bool RegistryFile::DeleteTree(const std::string& path) {
    std::string prefix = path + "\\";
    size_t before = keys.size();
    std::erase_if(keys, [&](const Key& key) {
        return EqualsIgnoreCase(key.path, path) ||
               (key.path.size() > prefix.size() &&
                EqualsIgnoreCase(key.path.substr(0, prefix.size()), prefix));
    });
    return keys.size() != before;
}

void RegistryFile::SetString(Key& key, const std::string& name, const std::string& text) {
    for (Entry& e : key.entries) {
        if (!e.verbatim && EqualsIgnoreCase(e.name, name)) {
            e.name = name;
            e.isString = true;
            e.text = text;
            e.raw.clear();
            return;
        }
    }
    Entry e;
    e.name = name;
    e.text = text;
    key.entries.push_back(std::move(e));
}

// ---- the process's registry file ----

namespace {
std::mutex g_mutex;
std::string g_path;
std::set<std::string> g_reported;  // problems already reported, by the line's text

// Loads the file; false if it exists but cannot be read (a missing file is an empty registry).
bool Load(RegistryFile& file, bool& exists) {
    std::string content;
    exists = ReadWholeFile(g_path, content);
    if (!exists) return errno == ENOENT;
    std::vector<std::string> problems;
    file = RegistryFile::Parse(content, g_path, &problems);
    // Each unreadable line is reported once per run, though every read meets it again.
    bool reported = false;
    for (const std::string& p : problems) {
        std::string what = p.substr(p.find(": ", g_path.size() + 1) + 2);
        if (!g_reported.insert(what).second) continue;
        std::fprintf(stderr, "%s\n", p.c_str());
        reported = true;
    }
    if (reported)
        std::fprintf(stderr,
                     "%s: the lines above were not understood; their settings keep their "
                     "defaults and the lines are kept as they are\n",
                     g_path.c_str());
    return true;
}

bool Store(const RegistryFile& file) {
    return WriteFileAtomically(g_path, file.Format(), 0600);
}
}  // namespace

void Registry::SetFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_path = path;
    g_reported.clear();
}

std::string Registry::File() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_path;
}

bool Registry::ReadKey(const std::string& keyPath, Values& values) {
    std::lock_guard<std::mutex> lock(g_mutex);
    RegistryFile file;
    bool exists = false;
    if (!Load(file, exists) || !exists) return false;
    RegistryFile::Key* key = file.FindKey(keyPath);
    if (!key) return false;
    for (const RegistryFile::Entry& e : key->entries)
        if (!e.verbatim) values.emplace_back(e.name, e.isString ? e.text : std::string());
    return true;
}

bool Registry::WriteStrings(const std::string& keyPath, const Values& values) {
    return WriteKeys({{keyPath, values}});
}

bool Registry::WriteKeys(const std::vector<std::pair<std::string, Values>>& keys) {
    return Update([&](RegistryFile& file) {
        for (const auto& [keyPath, values] : keys) {
            RegistryFile::Key& key = file.OpenOrCreateKey(keyPath);
            for (const auto& [name, text] : values) RegistryFile::SetString(key, name, text);
        }
    });
}

bool Registry::Update(const std::function<void(RegistryFile&)>& change) {
    std::lock_guard<std::mutex> lock(g_mutex);
    RegistryFile file;
    bool exists = false;
    if (!Load(file, exists)) return false;  // never replace a file we could not read
    change(file);
    return Store(file);
}

bool Registry::DeleteKeyTree(const std::string& keyPath) {
    std::lock_guard<std::mutex> lock(g_mutex);
    RegistryFile file;
    bool exists = false;
    if (!Load(file, exists) || !exists) return false;
    if (!file.DeleteTree(keyPath)) return false;
    return Store(file);
}

}  // namespace platform
