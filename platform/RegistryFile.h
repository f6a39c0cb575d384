#pragma once
// A registry kept in a text file that a person can edit while the program is stopped:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Apps\Orv\Quenlow FTP\Settings]
//   "Name"="Value"
//
// Inside quotes "\\" is a backslash and "\"" a double quote ("\n" and "\r" stand for line
// breaks, which a line cannot hold). Values of other types (dword:, hex:) read as empty text
// and are written back as they were. Lines starting with ";" are comments. Key and value names
// compare without regard to ASCII case, as the registry's do. A line that cannot be read is
// reported and kept, in its place, through every later save.

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class RegistryFile {
public:
    struct Entry {
        bool verbatim = false;  // a comment or an unreadable line, kept as it stands
        std::string name;       // value name ("" for the key's default value, "@")
        bool isString = true;   // a string value; otherwise raw holds its right-hand side
        std::string text;       // the string's text
        std::string raw;        // the line (verbatim) or the value's right-hand side
    };
    struct Key {
        std::string path;
        std::vector<Entry> entries;
    };

    // problems receives "file:line: what" for every line that could not be read.
    static RegistryFile Parse(const std::string& content, const std::string& fileName,
                              std::vector<std::string>* problems);
    std::string Format() const;

    Key* FindKey(const std::string& path);
    Key& OpenOrCreateKey(const std::string& path);
    // Removes the key and every key below it; false if there was none.
    bool DeleteTree(const std::string& path);
    // Sets a string value, replacing a value of the same name (of whatever type).
    static void SetString(Key& key, const std::string& name, const std::string& text);

    std::vector<std::string> preamble;  // comments and unreadable lines before the first key
    std::vector<Key> keys;
};

// The process's registry, in the file set at start-up. Every read takes the file as it is now;
// every change rewrites it whole and atomically (mode 0600: it may hold pass phrases).
class Registry {
public:
    using Values = std::vector<std::pair<std::string, std::string>>;

    static void SetFile(const std::string& path);
    static std::string File();

    // The values of a key in file order (non-string values as ""); false if the file or the
    // key does not exist or the file cannot be read.
    static bool ReadKey(const std::string& keyPath, Values& values);
    // Creates the key if needed and sets the values; others in the key stay as they are.
    static bool WriteStrings(const std::string& keyPath, const Values& values);
    // Several keys in one atomic rewrite of the file.
    static bool WriteKeys(const std::vector<std::pair<std::string, Values>>& keys);
    // Deletes a key with everything below it; false if it was not there or the file could not
    // be written.
    static bool DeleteKeyTree(const std::string& keyPath);
    // Any change to the file as it is now, written in one atomic rewrite: either all of it
    // reaches the file or none of it. False if the file cannot be read or written.
    static bool Update(const std::function<void(RegistryFile&)>& change);

    // Encodes a text between the quotes of a value line, and decodes it back.
    static std::string Escape(const std::string& text);
    static std::string Unescape(const std::string& text);
};

}  // namespace platform
