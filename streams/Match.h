#pragma once
// Wildcard matching of names with "*", "?", bracket expressions and backslash escapes. The
// backslash is also the path separator; with MATCH_PATHNAME a "\" right after a run of "*" and
// "?" stands for the separator rather than an escape.

#include <string>

enum MatchOptions : int {
    MATCH_PATHNAME = 1,     // wildcards never match "\"
    MATCH_NOESCAPE = 2,     // "\" in the pattern is an ordinary character
    MATCH_PERIOD = 4,       // same as noLeadingPeriod
    MATCH_LEADING_DIR = 8,  // accepted, no effect: a match always covers the whole name
    MATCH_CASEFOLD = 16,    // ASCII letters only
};

// Characters are UTF-16 code units. noLeadingPeriod: a "." that starts the name (or, with
// MATCH_PATHNAME, follows a separator) must be matched by a literal ".". Returns 0 for a match,
// 1 otherwise.
int MatchPatternWith(const std::u16string& pattern, const std::u16string& name,
                     bool noLeadingPeriod, int options);

// UTF-8 pattern and name, with the pathname and leading-period rules.
bool MatchPattern(const std::string& pattern, const std::string& name, bool caseSensitive);
