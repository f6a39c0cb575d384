#include "session/MachineListing.h"

#include <cinttypes>
#include <cstdio>

#include "config/FolderPath.h"
#include "config/UserAccounts.h"
#include "platform/Text.h"
#include "session/SharePoints.h"
#include "session/TreeCommands.h"

namespace {
struct FactName {
    MachineFact fact;
    const char* name;
};
constexpr FactName kFacts[] = {
    {FACT_TYPE, "type"}, {FACT_SIZE, "size"}, {FACT_MODIFY, "modify"}, {FACT_PERM, "perm"}};

const char* TypeText(EntryType type) {
    switch (type) {
        case EntryType::Dir:
            return "dir";
        case EntryType::ListedDir:
            return "cdir";
        case EntryType::ParentDir:
            return "pdir";
        case EntryType::File:
            break;
    }
    return "file";
}
}  // namespace

std::string FactsLine(const EntryFacts& facts, unsigned chosen, const std::string& name) {
    std::string line;
    if (chosen & FACT_TYPE) line += std::string("type=") + TypeText(facts.type) + ";";
    // A folder's size says nothing about its contents; RFC 3659 leaves it out.
    if ((chosen & FACT_SIZE) && facts.type == EntryType::File)
        line += "size=" + std::to_string(facts.size) + ";";
    if ((chosen & FACT_MODIFY) && facts.modified >= 0)
        line += "modify=" + ModifyStampText(static_cast<time_t>(facts.modified)) + ";";
    if (chosen & FACT_PERM) line += "perm=" + facts.perm + ";";
    return line + " " + name;
}

std::string PermFacts(bool folder, bool readOnly, bool root, uint32_t rights) {
    // The virtual root holds the share points alone: nothing is made, renamed or removed there.
    bool write = (rights & RightsWrite) && !readOnly && !root;
    std::string perm;
    if (folder) {
        if (write) perm += "c";
        if ((rights & RightsDelete) && !root) perm += "d";
        perm += "e";
        if ((rights & RightsRename) && !root) perm += "f";
        perm += "l";
        if (write) perm += "m";
        return perm;
    }
    bool replace = write && (rights & RightsOverwrite);
    if (replace) perm += "a";
    if (rights & RightsDelete) perm += "d";
    if (rights & RightsRename) perm += "f";
    perm += "r";
    if (replace) perm += "w";
    return perm;
}

EntryFacts EntryFactsOf(bool folder, bool readOnly, uint64_t size, int64_t modified,
                        uint32_t rights) {
    EntryFacts facts;
    facts.type = folder ? EntryType::Dir : EntryType::File;
    facts.size = size;
    facts.modified = modified;
    facts.perm = PermFacts(folder, readOnly, false, rights);
    return facts;
}

std::optional<EntryFacts> PathFacts(const std::string& path, const std::string& home,
                                    uint32_t rights) {
    if (path.empty() || path == "\\") {
        EntryFacts root;
        root.type = EntryType::Dir;
        root.perm = PermFacts(true, false, true, rights);
        return root;
    }
    CheckedPath at = CheckPath(path, home);
    if (!at.Maps() || !at.facts.exists) return std::nullopt;
    return EntryFactsOf(at.facts.folder, at.facts.readOnly, at.facts.size, at.facts.modified,
                        rights);
}

std::string OfferedFacts(unsigned chosen) {
    std::string text;
    for (const FactName& f : kFacts) text += std::string(f.name) + (chosen & f.fact ? "*;" : ";");
    return text;
}

unsigned ParseFactChoice(const std::string& text) {
    unsigned chosen = 0;
    for (const std::string& name : SplitVirtual(platform::AsciiLower(text), ';'))
        for (const FactName& f : kFacts)
            if (name == f.name) chosen |= f.fact;
    return chosen;
}

std::string ChosenFacts(unsigned chosen) {
    std::string text;
    for (const FactName& f : kFacts)
        if (chosen & f.fact) text += std::string(f.name) + ";";
    return text;
}
