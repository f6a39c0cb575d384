#pragma once
// Machine-readable listings (MLST on the control connection, MLSD over a data connection):
// which facts a session chose, how one entry's facts are written, and the perm fact that
// says what this session may do with an entry.

#include <cstdint>
#include <optional>
#include <string>

// The facts offered, as bits of a session's choice.
enum MachineFact : unsigned {
    FACT_TYPE = 1,
    FACT_SIZE = 2,
    FACT_MODIFY = 4,
    FACT_PERM = 8,
    FACT_ALL = FACT_TYPE | FACT_SIZE | FACT_MODIFY | FACT_PERM,
};

enum class EntryType { File, Dir, ListedDir, ParentDir };

struct EntryFacts {
    EntryType type = EntryType::File;
    uint64_t size = 0;
    int64_t modified = -1;  // seconds since 1970; below 0 when not known (no modify fact)
    std::string perm;
};

// "type=file;size=6;modify=20261209075200;perm=adfrw; name": the chosen facts in the offered
// order, each ending in ";", then one blank and the name.
std::string FactsLine(const EntryFacts& facts, unsigned chosen, const std::string& name);

// The perm letters (RFC 3659) for this session's rights (the UserRights bits).
// A file: r always; w and a with write and overwrite rights unless it is read-only; d with
// delete; f with rename. A folder: e and l always; c and m with write unless it is read-only;
// d and f with delete and rename. The virtual root is only entered and listed.
std::string PermFacts(bool folder, bool readOnly, bool root, uint32_t rights);

// The facts of a folder entry (Dir or File) as the tree shows it to this session.
EntryFacts EntryFactsOf(bool folder, bool readOnly, uint64_t size, int64_t modified,
                        uint32_t rights);

// The facts of a virtual path ("\\pub\\a.txt"; "" or "\\" for the root, which is no real
// folder), or nothing when it names nothing the tree maps (missing, or outside the share).
std::optional<EntryFacts> PathFacts(const std::string& path, const std::string& home,
                                    uint32_t rights);

// FEAT's "type*;size*;modify*;perm*;": every offered fact, starred when chosen.
std::string OfferedFacts(unsigned chosen);
// OPTS MLST: the facts named in "size;Type;", without regard to case; unknown names are
// left out, as RFC 3659 has it.
unsigned ParseFactChoice(const std::string& text);
// The facts of a choice as OPTS MLST confirms them: "size;type;" in the offered order.
std::string ChosenFacts(unsigned chosen);
