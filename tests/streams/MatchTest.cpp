#include "streams/Match.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

#include "platform/Text.h"

namespace {

constexpr int kPath = MATCH_PATHNAME;
constexpr int kPathFold = MATCH_PATHNAME | MATCH_CASEFOLD;

// With the options the server uses: pathname, leading-period rule, case-sensitive unless told.
bool Matches(const std::u16string& pattern, const std::u16string& name, int options = kPath,
             bool noLeadingPeriod = true) {
    return MatchPatternWith(pattern, name, noLeadingPeriod, options) == 0;
}

TEST(MatchEdgeCases, LeadingDotNeedsALiteralDot) {
    EXPECT_FALSE(MatchPattern("*", ".profile", false));
    EXPECT_TRUE(MatchPattern(".*", ".profile", false));
    EXPECT_TRUE(MatchPattern("*", "profile", false));
}

TEST(MatchEdgeCases, CaseFoldingOnlyWhenInsensitive) {
    EXPECT_TRUE(MatchPattern("F*", "files", false));
    EXPECT_FALSE(MatchPattern("F*", "files", true));
    EXPECT_TRUE(MatchPattern("F*", "Files", true));
}

TEST(MatchEdgeCases, NegatedRange) {
    for (const char* pattern : {"[!a-c]*", "[^a-c]*"}) {
        EXPECT_TRUE(MatchPattern(pattern, "docs", false)) << pattern;
        EXPECT_FALSE(MatchPattern(pattern, "apps", false)) << pattern;
    }
}

TEST(MatchEdgeCases, CharacterClasses) {
    EXPECT_TRUE(MatchPattern("[[:digit:]]*", "2004", false));
    EXPECT_FALSE(MatchPattern("[[:digit:]]*", "x2004", false));
    EXPECT_FALSE(MatchPattern("[[:alpha:]]", "\xC3\xA9", false));  // U+00E9
    EXPECT_TRUE(MatchPattern("[[:alpha:]]", "e", false));
}

TEST(MatchEdgeCases, QuestionMarkNeedsACharacter) {
    EXPECT_FALSE(MatchPattern("?", "", false));
    EXPECT_FALSE(MatchPattern("a?", "a", false));
    EXPECT_TRUE(MatchPattern("a?", "ab", false));
}

TEST(MatchEdgeCases, BracketFirstMemberAndUnterminated) {
    EXPECT_TRUE(MatchPattern("[]x]", "]", true));
    EXPECT_TRUE(MatchPattern("[]x]", "x", true));
    EXPECT_FALSE(MatchPattern("[]x]", "y", true));
    for (const char* name : {"", "a", "[a", "[", "ab"})
        EXPECT_FALSE(MatchPattern("[a", name, true));
}

TEST(MatchEdgeCases, EscapedStarIsLiteral) {
    EXPECT_TRUE(MatchPattern(R"(a\*)", "a*", true));
    for (const char* name : {"a", "ab", "a**", R"(a\*)", "a*b"})
        EXPECT_FALSE(MatchPattern(R"(a\*)", name, true)) << name;
}

TEST(MatchWildcards, StarAndQuestionMark) {
    EXPECT_TRUE(Matches(u"*", u""));
    EXPECT_TRUE(Matches(u"a*b*c", u"aXXbYYc"));
    EXPECT_TRUE(Matches(u"a*b*c", u"abc"));
    EXPECT_FALSE(Matches(u"a*b*c", u"aXXbYYcd"));
    EXPECT_TRUE(Matches(u"*c", u"ccc"));  // needs backtracking past the first "c"
    EXPECT_TRUE(Matches(u"a**?b", u"axb"));
    EXPECT_FALSE(Matches(u"abc", u"ab"));
    EXPECT_FALSE(Matches(u"ab", u"abc"));
    EXPECT_TRUE(Matches(u"", u""));
    EXPECT_FALSE(Matches(u"", u"a"));
}

TEST(MatchWildcards, QuestionMarksUnderAStarEachTakeACharacter) {
    EXPECT_FALSE(Matches(u"*?", u""));
    EXPECT_TRUE(Matches(u"*?", u"a"));
    EXPECT_FALSE(Matches(u"*??", u"a"));
    EXPECT_TRUE(Matches(u"*?*?x", u"abx"));
    EXPECT_FALSE(Matches(u"*?*?x", u"ax"));
    EXPECT_FALSE(Matches(uR"(a*?)", uR"(a\)"));
    EXPECT_TRUE(Matches(uR"(a*?)", uR"(a\)", 0));
}

TEST(MatchWildcards, SeparatorIsNeverMatchedByAWildcardUnderPathname) {
    for (const char16_t* pattern : {u"*", u"a*", u"a?b", u"a[!x]b", u"a[\\\\]b", u"*b"}) {
        EXPECT_FALSE(Matches(pattern, uR"(a\b)")) << platform::Utf16ToUtf8(pattern);
        EXPECT_TRUE(Matches(pattern, uR"(a\b)", 0)) << platform::Utf16ToUtf8(pattern);
    }
    EXPECT_TRUE(Matches(uR"(a\\b)", uR"(a\b)"));  // an escaped separator matches literally
}

TEST(MatchWildcards, BackslashAfterStarsIsTheSeparatorUnderPathname) {
    // It skips the name to just past its next separator; what follows matches from there.
    EXPECT_TRUE(Matches(uR"(*\file)", uR"(dir\file)"));
    EXPECT_TRUE(Matches(uR"(d*\f*)", uR"(dir\file)"));
    EXPECT_TRUE(Matches(uR"(*?\*)", uR"(dir\file)"));
    EXPECT_FALSE(Matches(uR"(*\file)", uR"(a\b\file)"));  // only the next separator is tried
    EXPECT_FALSE(Matches(uR"(*\file)", u"file"));
    EXPECT_FALSE(Matches(uR"(*\*)", uR"(dir\.hidden)"));
    EXPECT_TRUE(Matches(uR"(*\.*)", uR"(dir\.hidden)"));
    EXPECT_TRUE(Matches(uR"(*\)", uR"(dir\)"));
    // So a second backslash escapes what follows it.
    EXPECT_TRUE(Matches(uR"(*\\*)", uR"(dir\*)"));
    EXPECT_FALSE(Matches(uR"(*\\*)", uR"(dir\file)"));
    // Without pathname the backslash after a star is an ordinary escape.
    EXPECT_TRUE(Matches(uR"(*\?)", u"what?", 0));
    EXPECT_FALSE(Matches(uR"(*\?)", u"whatX", 0));
    EXPECT_FALSE(Matches(uR"(*\)", uR"(x\)", 0));
}

TEST(MatchPeriod, LeadingDotMustBeLiteral) {
    for (const char16_t* pattern : {u"*", u"?profile", u"[.]profile", u"[!a]profile", u"*?"}) {
        EXPECT_FALSE(Matches(pattern, u".profile")) << platform::Utf16ToUtf8(pattern);
        EXPECT_TRUE(Matches(pattern, u".profile", kPath, false)) << platform::Utf16ToUtf8(pattern);
    }
    EXPECT_FALSE(Matches(u"*.txt", u".txt"));
    EXPECT_TRUE(Matches(u".*", u"."));
    EXPECT_TRUE(Matches(u"a*", u"a.b"));  // only leading dots are guarded
    EXPECT_TRUE(Matches(u"a?b", u"a.b"));
    EXPECT_TRUE(Matches(u"a[.]b", u"a.b"));
    EXPECT_FALSE(Matches(u"*", u".x", MATCH_PERIOD, false));  // the option turns the rule on too
}

TEST(MatchPeriod, DotAfterASeparatorIsLeadingOnlyUnderPathname) {
    EXPECT_FALSE(Matches(uR"(d\\?x)", uR"(d\.x)"));
    EXPECT_FALSE(Matches(uR"(d\\[.]x)", uR"(d\.x)"));
    EXPECT_FALSE(Matches(uR"(d\\*)", uR"(d\.x)"));
    EXPECT_TRUE(Matches(uR"(d\\.*)", uR"(d\.x)"));
    EXPECT_TRUE(Matches(uR"(d\\?x)", uR"(d\.x)", 0));
    EXPECT_TRUE(Matches(uR"(d*)", uR"(d\.x)", 0));
}

TEST(MatchEscapes, EscapesMakeCharactersOrdinary) {
    EXPECT_TRUE(Matches(uR"(\?)", u"?"));
    EXPECT_FALSE(Matches(uR"(\?)", u"x"));
    EXPECT_TRUE(Matches(uR"(\[a])", u"[a]"));
    EXPECT_TRUE(Matches(uR"(\a\b)", u"ab"));
    EXPECT_TRUE(Matches(uR"(*x\?)", u"wx?"));
    EXPECT_FALSE(Matches(uR"(*x\?)", u"wxy"));
}

TEST(MatchEscapes, TrailingBackslashFails) {
    EXPECT_FALSE(Matches(uR"(a\)", u"a"));
    EXPECT_FALSE(Matches(uR"(a\)", uR"(a\)"));
    EXPECT_FALSE(Matches(uR"([a\)", u"a"));
}

TEST(MatchEscapes, NoEscapeMakesBackslashOrdinary) {
    EXPECT_TRUE(Matches(uR"(a\*)", uR"(a\xyz)", MATCH_NOESCAPE));
    EXPECT_FALSE(Matches(uR"(a\*)", u"a*", MATCH_NOESCAPE));
    EXPECT_TRUE(Matches(uR"(a\)", uR"(a\)", MATCH_NOESCAPE));
    EXPECT_TRUE(Matches(uR"([\]x)", uR"(\x)", MATCH_NOESCAPE));
}

TEST(MatchBracket, RangesAndMembers) {
    EXPECT_TRUE(Matches(u"[a-cx]", u"b"));
    EXPECT_TRUE(Matches(u"[a-cx]", u"x"));
    EXPECT_FALSE(Matches(u"[a-cx]", u"d"));
    EXPECT_FALSE(Matches(u"[c-a]", u"b"));
    EXPECT_TRUE(Matches(u"[a-]", u"-"));  // "-" before "]" is a member
    EXPECT_FALSE(Matches(u"[a-]", u"b"));
    EXPECT_TRUE(Matches(u"[!]]", u"x"));
    EXPECT_FALSE(Matches(u"[!]]", u"]"));
    EXPECT_TRUE(Matches(u"[]-a]", u"^"));  // "]" can start a range
    EXPECT_TRUE(Matches(uR"([\]])", u"]"));
    EXPECT_TRUE(Matches(uR"([a-\z])", u"y"));
    EXPECT_TRUE(Matches(u"[ab]c", u"bc"));  // the rest is skipped after a hit
    EXPECT_FALSE(Matches(u"[!ab]", u""));
}

TEST(MatchBracket, UnterminatedExpressionsMatchNothing) {
    for (const char16_t* pattern : {u"[", u"[]", u"[!]", u"[a-", u"*[ab", u"[[:alpha:]"}) {
        for (const char16_t* name : {u"", u"a", u"[", u"]", u"[]"})
            EXPECT_FALSE(Matches(pattern, name, 0, false)) << platform::Utf16ToUtf8(pattern);
    }
}

TEST(MatchBracket, RangesFoldBothEnds) {
    EXPECT_TRUE(Matches(u"[A-C]", u"b", kPathFold));
    EXPECT_TRUE(Matches(u"[a-c]", u"B", kPathFold));
    EXPECT_FALSE(Matches(u"[A-C]", u"b"));
    EXPECT_TRUE(Matches(u"[a-Z]", u"q", kPathFold));  // folds to a-z
    EXPECT_FALSE(Matches(u"[a-Z]", u"q"));
}

TEST(MatchBracket, EachClass) {
    struct Case {
        const char16_t* cls;
        const char16_t* in;
        const char16_t* out;
    };
    const Case cases[] = {
        {u"alnum", u"aZ0", u" _"},       {u"alpha", u"aZ", u"0_"},
        {u"blank", u" \t", u"\nx"},      {u"cntrl", u"\x01\x1f\x7f", u" a"},
        {u"digit", u"09", u"a "},        {u"graph", u"!~a", u" \x7f"},
        {u"lower", u"az", u"AZ0"},       {u"print", u" ~", u"\t\x7f"},
        {u"punct", u"!/:@[`{~", u"a0 "}, {u"space", u" \t\n\v\f\r", u"x\x01"},
        {u"upper", u"AZ", u"az"},        {u"xdigit", u"09afAF", u"gG"},
    };
    for (const Case& c : cases) {
        const std::u16string pattern = u"[[:" + std::u16string(c.cls) + u":]]";
        for (const char16_t* ch = c.in; *ch; ++ch)
            EXPECT_TRUE(Matches(pattern, {*ch})) << platform::Utf16ToUtf8(c.cls) << int(*ch);
        for (const char16_t* ch = c.out; *ch; ++ch)
            EXPECT_FALSE(Matches(pattern, {*ch})) << platform::Utf16ToUtf8(c.cls) << int(*ch);
    }
}

TEST(MatchBracket, CharactersFrom128AreInNoClass) {
    for (const char16_t* cls : {u"alpha", u"alnum", u"print", u"graph", u"lower", u"punct"}) {
        const std::u16string cs = cls;
        EXPECT_FALSE(Matches(u"[[:" + cs + u":]]", u"\u00e9")) << platform::Utf16ToUtf8(cls);
        EXPECT_FALSE(Matches(u"[[:" + cs + u":]]", u"\u00a0")) << platform::Utf16ToUtf8(cls);
        EXPECT_TRUE(Matches(u"[![:" + cs + u":]]", u"\u00e9")) << platform::Utf16ToUtf8(cls);
    }
}

TEST(MatchBracket, ClassesAlongsideOtherMembers) {
    EXPECT_TRUE(Matches(u"[x[:digit:]y]", u"5"));
    EXPECT_TRUE(Matches(u"[x[:digit:]y]", u"y"));
    EXPECT_FALSE(Matches(u"[x[:digit:]y]", u"z"));
    EXPECT_TRUE(Matches(u"[![:digit:][:upper:]]", u"a"));
    EXPECT_FALSE(Matches(u"[![:digit:][:upper:]]", u"Q"));
}

TEST(MatchBracket, UnknownClassMatchesNothing) {
    EXPECT_FALSE(Matches(u"[[:vowel:]]", u"a"));
    EXPECT_FALSE(Matches(u"[[::]]", u":"));
    EXPECT_TRUE(Matches(u"[[:vowel:]a]", u"a"));
    EXPECT_TRUE(Matches(u"[![:vowel:]]", u"a"));
}

TEST(MatchBracket, OpeningBracketIsAMemberWhenTheClassNameIsInterrupted) {
    // "z", capitals and digits cannot be in a class name, so "[" and what follows are members.
    EXPECT_TRUE(Matches(u"[[:zeta:]]", u"[]"));
    EXPECT_TRUE(Matches(u"[[:zeta:]]", u"z]"));
    EXPECT_FALSE(Matches(u"[[:zeta:]]", u"["));
    EXPECT_TRUE(Matches(u"[[:Alpha:]]", u"A]"));
    EXPECT_TRUE(Matches(u"[[:a1]", u"1"));
    EXPECT_TRUE(Matches(u"[[:a1]", u"["));
    EXPECT_FALSE(Matches(u"[[:a1]", u"b"));
}

TEST(MatchBracket, OverlongClassNameFails) {
    const std::u16string n259(259, u'a'), n260(260, u'a');
    EXPECT_TRUE(Matches(u"[[:" + n259 + u":]x]", u"x"));
    EXPECT_TRUE(Matches(u"[![:" + n259 + u":]]", u"x"));
    EXPECT_FALSE(Matches(u"[[:" + n260 + u":]x]", u"x"));
    EXPECT_FALSE(Matches(u"[![:" + n260 + u":]]", u"x"));
    EXPECT_FALSE(Matches(u"[x[:" + n260 + u":]]", u"x"));  // also after a member has matched
}

TEST(MatchBracket, GuardedLikeOtherWildcards) {
    EXPECT_FALSE(Matches(uR"([!a])", uR"(\)"));
    EXPECT_FALSE(Matches(uR"([\\])", uR"(\)"));
    EXPECT_TRUE(Matches(uR"([\\])", uR"(\)", 0));
    EXPECT_FALSE(Matches(u"[.]", u"."));
    EXPECT_TRUE(Matches(u"[.]", u".", kPath, false));
}

TEST(MatchCaseFold, AsciiOnly) {
    EXPECT_TRUE(Matches(u"ABC", u"abc", kPathFold));
    EXPECT_TRUE(Matches(u"abc", u"ABC", kPathFold));
    EXPECT_FALSE(Matches(u"ABC", u"abc"));
    EXPECT_FALSE(Matches(u"\u00c9", u"\u00e9", kPathFold));
    EXPECT_FALSE(Matches(u"[\u00c9]", u"\u00e9", kPathFold));
    EXPECT_TRUE(Matches(u"*X", u"boX", kPathFold));
    EXPECT_TRUE(Matches(u"[[:upper:]]", u"A", kPathFold));
    EXPECT_FALSE(Matches(u"@", u"`", kPathFold));  // neighbours of the letters stay apart
    EXPECT_FALSE(Matches(uR"(\[)", u"{", kPathFold));
}

TEST(MatchUtf8, CharactersAreUtf16CodeUnits) {
    EXPECT_TRUE(MatchPattern("?", "\xC3\xA9", true));  // U+00E9
    EXPECT_TRUE(MatchPattern("caf?", "caf\xC3\xA9", true));
    EXPECT_FALSE(MatchPattern("?", "\xF0\x9F\x98\x80", true));  // U+1F600: two units
    EXPECT_TRUE(MatchPattern("??", "\xF0\x9F\x98\x80", true));
    EXPECT_TRUE(MatchPattern("\xC3\xA9*", "\xC3\xA9t\xC3\xA9", false));
    EXPECT_FALSE(MatchPattern("*", "a\\b", false));
}

TEST(MatchHostile, ManyStarsStayFast) {
    const std::u16string name(20000, u'a');
    EXPECT_FALSE(Matches(u"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", name));
    EXPECT_TRUE(Matches(u"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a", name));
    std::u16string stars;
    for (int i = 0; i < 20000; ++i) stars += u"*a";
    EXPECT_FALSE(Matches(stars + u"b", name));
    EXPECT_TRUE(Matches(stars, name + name));
    EXPECT_FALSE(Matches(std::u16string(100000, u'*') + u"b", name));
}

// The rules read literally: recursive, exponential on bad patterns, and independent of the
// matcher's design, so that the two can be compared on small inputs.
class Reference {
public:
    Reference(const std::u16string& pattern, const std::u16string& name, bool noLeadingPeriod,
              int options)
        : p_(pattern),
          n_(name),
          period_(noLeadingPeriod),
          pathname_(options & MATCH_PATHNAME),
          escapes_(!(options & MATCH_NOESCAPE)),
          fold_(options & MATCH_CASEFOLD) {}

    bool Matches() const { return Match(0, 0); }

private:
    static constexpr size_t kNone = std::u16string::npos;

    char16_t F(char16_t c) const { return fold_ && c < 128 ? std::tolower(c) : c; }
    bool Sep(size_t i) const { return pathname_ && n_[i] == u'\\'; }
    bool LeadingDot(size_t i) const {
        return period_ && i < n_.size() && n_[i] == u'.' &&
               (i == 0 || (pathname_ && n_[i - 1] == u'\\'));
    }

    bool Match(size_t p, size_t n) const {
        while (p < p_.size()) {
            char16_t c = p_[p++];
            if (c == u'?') {
                if (n == n_.size() || Sep(n) || LeadingDot(n)) return false;
                ++n;
            } else if (c == u'*') {
                if (LeadingDot(n)) return false;
                for (; p < p_.size() && (p_[p] == u'*' || p_[p] == u'?'); ++p) {
                    if (p_[p] == u'*') continue;
                    if (n == n_.size() || Sep(n)) return false;
                    ++n;
                }
                const size_t sep = pathname_ ? n_.find(u'\\', n) : kNone;
                if (p == p_.size()) return sep == kNone;
                if (pathname_ && p_[p] == u'\\') return sep != kNone && Match(p + 1, sep + 1);
                const bool bracket = p_[p] == u'[';
                char16_t next = p_[p];
                if (next == u'\\' && escapes_) {
                    if (p + 1 == p_.size()) return false;
                    next = p_[p + 1];
                }
                for (size_t i = n; i < (sep == kNone ? n_.size() : sep); ++i)
                    if ((bracket || F(n_[i]) == F(next)) && Match(p, i)) return true;
                return false;
            } else if (c == u'[') {
                if (!Bracket(p, n)) return false;
                ++n;
            } else {
                if (c == u'\\' && escapes_) {
                    if (p == p_.size()) return false;
                    c = p_[p++];
                }
                if (n == n_.size() || F(c) != F(n_[n])) return false;
                ++n;
            }
        }
        return n == n_.size();
    }

    // Scans "[:name:]" with p at the ":"; false when the name is too long. *end is set past
    // the closing "]", or left alone when this is no class after all.
    bool ClassName(size_t p, std::u16string* cls, size_t* end) const {
        for (size_t q = p + 1;; ++q) {
            if (cls->size() == 260) return false;
            if (q + 1 < p_.size() && p_[q] == u':' && p_[q + 1] == u']') {
                *end = q + 2;
                return true;
            }
            if (q == p_.size() || p_[q] < u'a' || p_[q] > u'y') return true;
            *cls += p_[q];
        }
    }

    static bool InClass(const std::u16string& cls, char16_t c) {
        if (c >= 128) return false;
        if (cls == u"alnum") return std::isalnum(c);
        if (cls == u"alpha") return std::isalpha(c);
        if (cls == u"blank") return std::isblank(c);
        if (cls == u"cntrl") return std::iscntrl(c);
        if (cls == u"digit") return std::isdigit(c);
        if (cls == u"graph") return std::isgraph(c);
        if (cls == u"lower") return std::islower(c);
        if (cls == u"print") return std::isprint(c);
        if (cls == u"punct") return std::ispunct(c);
        if (cls == u"space") return std::isspace(c);
        if (cls == u"upper") return std::isupper(c);
        if (cls == u"xdigit") return std::isxdigit(c);
        return false;
    }

    // Reads every member, so a hit never changes where the expression ends.
    bool Bracket(size_t& p, size_t n) const {
        if (n == n_.size() || LeadingDot(n) || Sep(n)) return false;
        const char16_t ch = n_[n];
        const bool negate = p < p_.size() && (p_[p] == u'!' || p_[p] == u'^');
        if (negate) ++p;
        bool first = true, hit = false;
        for (;;) {
            if (p == p_.size()) return false;
            char16_t c = p_[p++];
            if (c == u']' && !first) return hit != negate;
            first = false;
            if (c == u'[' && p < p_.size() && p_[p] == u':') {
                std::u16string cls;
                size_t end = kNone;
                if (!ClassName(p, &cls, &end)) return false;
                if (end != kNone) {
                    hit = hit || InClass(cls, ch);
                    p = end;
                    continue;
                }
            }
            if (c == u'\\' && escapes_) {
                if (p == p_.size()) return false;
                c = p_[p++];
            }
            char16_t hi = c;
            if (p + 1 < p_.size() && p_[p] == u'-' && p_[p + 1] != u']') {
                hi = p_[p + 1];
                p += 2;
                if (hi == u'\\' && escapes_) {
                    if (p == p_.size()) return false;
                    hi = p_[p++];
                }
            }
            hit = hit || (F(c) <= F(ch) && F(ch) <= F(hi));
        }
    }

    const std::u16string& p_;
    const std::u16string& n_;
    bool period_, pathname_, escapes_, fold_;
};

TEST(MatchReference, AgreesWithTheRulesOnRandomInputs) {
    const std::u16string patternPieces[] = {
        u"a", u"b", u"A", u".", u"\\",        u"*",         u"*",       u"?",      u"[",  u"]",
        u"!", u"^", u"-", u":", u"[:alpha:]", u"[:lower:]", u"[:xyz:]", u"\u00e9", u"[!", u"[a-b]"};
    const char16_t nameChars[] = {u'a', u'b', u'B', u'.', u'\\', u']', u'-', u'\u00e9', u'!'};
    const int optionSets[] = {
        0, kPath, kPathFold, MATCH_CASEFOLD, MATCH_NOESCAPE, kPath | MATCH_NOESCAPE};
    std::mt19937 rng(20240611);
    auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    int matches = 0;
    for (int round = 0; round < 200000; ++round) {
        std::u16string pattern, name;
        for (size_t k = below(8); k > 0; --k)
            pattern += patternPieces[below(std::size(patternPieces))];
        for (size_t k = below(7); k > 0; --k) name += nameChars[below(std::size(nameChars))];
        const int options = optionSets[below(std::size(optionSets))];
        const bool noLeadingPeriod = below(2);
        const bool expected = Reference(pattern, name, noLeadingPeriod, options).Matches();
        matches += expected;
        ASSERT_EQ(expected, MatchPatternWith(pattern, name, noLeadingPeriod, options) == 0)
            << "pattern '" << platform::Utf16ToUtf8(pattern) << "' name '"
            << platform::Utf16ToUtf8(name) << "' options " << options << " noLeadingPeriod "
            << noLeadingPeriod;
    }
    EXPECT_GT(matches, 5000);  // the inputs must exercise matches, not only failures
}

}  // namespace
