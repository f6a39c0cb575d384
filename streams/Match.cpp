#include "streams/Match.h"

#include <string_view>
#include <vector>

#include "platform/Text.h"

namespace {

constexpr char16_t kSeparator = u'\\';
constexpr size_t kNone = std::u16string::npos;
constexpr size_t kMaxClassName = 260;

char16_t Fold(char16_t c, bool fold) {
    return fold && c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool InClass(std::u16string_view cls, char16_t c) {
    if (c >= 128) return false;
    const bool upper = c >= u'A' && c <= u'Z', lower = c >= u'a' && c <= u'z';
    const bool digit = c >= u'0' && c <= u'9', graph = c > u' ' && c < 127;
    if (cls == u"alnum") return upper || lower || digit;
    if (cls == u"alpha") return upper || lower;
    if (cls == u"blank") return c == u' ' || c == u'\t';
    if (cls == u"cntrl") return c < 32 || c == 127;
    if (cls == u"digit") return digit;
    if (cls == u"graph") return graph;
    if (cls == u"lower") return lower;
    if (cls == u"print") return graph || c == u' ';
    if (cls == u"punct") return graph && !upper && !lower && !digit;
    if (cls == u"space") return c == u' ' || (c >= u'\t' && c <= u'\r');
    if (cls == u"upper") return upper;
    if (cls == u"xdigit") return digit || ((c | 32) >= u'a' && (c | 32) <= u'f');
    return false;  // an unknown class holds nothing
}

struct BracketResult {
    size_t end;  // just past the closing "]", or kNone when the expression is malformed
    bool hit;    // ch is accepted, negation applied
};

// Reads the expression whose body starts at p (just past "[") and tests ch against it.
// Every member is read even after a hit, so that where the expression ends and whether it is
// well formed never depend on the name.
BracketResult ScanBracket(const std::u16string& pat, size_t p, char16_t ch, bool escapes,
                          bool fold) {
    const bool negate = p < pat.size() && (pat[p] == u'!' || pat[p] == u'^');
    if (negate) ++p;
    const size_t first = p;
    const char16_t folded = Fold(ch, fold);
    bool hit = false;
    for (;;) {
        if (p == pat.size()) return {kNone, false};
        char16_t lo = pat[p];
        if (lo == u']' && p != first) return {p + 1, hit != negate};
        if (lo == u'[' && p + 1 < pat.size() && pat[p + 1] == u':') {
            const size_t name = p + 2;
            size_t q = name;
            while (q < pat.size() && pat[q] >= u'a' && pat[q] <= u'y') ++q;
            if (q - name >= kMaxClassName) return {kNone, false};
            if (q + 1 < pat.size() && pat[q] == u':' && pat[q + 1] == u']') {
                if (InClass(std::u16string_view(pat).substr(name, q - name), ch)) hit = true;
                p = q + 2;
                continue;
            }
            // Not a class after all: the "[" is an ordinary member.
        }
        if (lo == u'\\' && escapes) {
            if (++p == pat.size()) return {kNone, false};
            lo = pat[p];
        }
        ++p;
        char16_t hi = lo;
        if (p + 1 < pat.size() && pat[p] == u'-' && pat[p + 1] != u']') {
            hi = pat[p + 1];
            p += 2;
            if (hi == u'\\' && escapes) {
                if (p == pat.size()) return {kNone, false};
                hi = pat[p++];
            }
        }
        if (Fold(lo, fold) <= folded && folded <= Fold(hi, fold)) hit = true;
    }
}

enum class Kind { Literal, Any, Star, Bracket };

struct Token {
    Kind kind;
    char16_t c;   // Literal
    size_t body;  // Bracket: index just past its "["
};

// False when the pattern can match nothing: a trailing escape or a malformed bracket expression.
bool Tokenize(const std::u16string& pat, bool pathname, bool escapes, std::vector<Token>& out) {
    bool afterStars = false;
    for (size_t p = 0; p < pat.size();) {
        const char16_t c = pat[p];
        if (c == u'*') {
            if (out.empty() || out.back().kind != Kind::Star) out.push_back({Kind::Star, 0, 0});
            afterStars = true;
            ++p;
            continue;
        }
        if (c == u'?') {
            out.push_back({Kind::Any, 0, 0});
            ++p;
            continue;
        }
        if (c == kSeparator && pathname && afterStars) {
            out.push_back({Kind::Literal, kSeparator, 0});
            ++p;
        } else if (c == u'\\' && escapes) {
            if (p + 1 == pat.size()) return false;
            out.push_back({Kind::Literal, pat[p + 1], 0});
            p += 2;
        } else if (c == u'[') {
            const size_t end = ScanBracket(pat, p + 1, 0, escapes, false).end;
            if (end == kNone) return false;
            out.push_back({Kind::Bracket, 0, p + 1});
            p = end;
        } else {
            out.push_back({Kind::Literal, c, 0});
            ++p;
        }
        afterStars = false;
    }
    return true;
}

}  // namespace

int MatchPatternWith(const std::u16string& pattern, const std::u16string& name,
                     bool noLeadingPeriod, int options) {
    const bool pathname = options & MATCH_PATHNAME;
    const bool escapes = !(options & MATCH_NOESCAPE);
    const bool fold = options & MATCH_CASEFOLD;
    const bool period = noLeadingPeriod || (options & MATCH_PERIOD);

    std::vector<Token> tokens;
    if (!Tokenize(pattern, pathname, escapes, tokens)) return 1;

    // A "." that starts the name or a path component may only be matched literally.
    auto guardedDot = [&](size_t i) {
        return period && i < name.size() && name[i] == u'.' &&
               (i == 0 || (pathname && name[i - 1] == kSeparator));
    };
    auto matchesOne = [&](const Token& tok, size_t i) {
        const char16_t ch = name[i];
        if (tok.kind == Kind::Literal) return Fold(tok.c, fold) == Fold(ch, fold);
        if ((pathname && ch == kSeparator) || guardedDot(i)) return false;
        return tok.kind == Kind::Any || ScanBracket(pattern, tok.body, ch, escapes, fold).hit;
    };

    // Patterns come from the network, so no recursion and no exponential search: only the most
    // recent star is ever widened. Widening an earlier one instead would only move text the later
    // star could take as well (a star never spans a separator under MATCH_PATHNAME, and a star
    // at the start of a component cannot move), so this finds every match in at most
    // pattern x name steps.
    size_t t = 0, i = 0;
    size_t starNext = kNone, starEnd = 0;  // token after the last star, name index it reaches
    for (;;) {
        if (t < tokens.size()) {
            const Token& tok = tokens[t];
            if (tok.kind == Kind::Star) {
                if (!guardedDot(i)) {
                    starNext = ++t;
                    starEnd = i;
                    continue;
                }
            } else if (i < name.size() && matchesOne(tok, i)) {
                ++t;
                ++i;
                continue;
            }
        } else if (i == name.size()) {
            return 0;
        }
        if (starNext == kNone || starEnd == name.size()) return 1;
        if (pathname && name[starEnd] == kSeparator) return 1;
        t = starNext;
        i = ++starEnd;
    }
}

bool MatchPattern(const std::string& pattern, const std::string& name, bool caseSensitive) {
    const int options = MATCH_PATHNAME | (caseSensitive ? 0 : MATCH_CASEFOLD);
    return MatchPatternWith(platform::Utf8ToUtf16(pattern), platform::Utf8ToUtf16(name), true,
                            options) == 0;
}
