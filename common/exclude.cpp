// Exclusions: the wildcard matcher and the tests of a path against the
// program's built-in patterns of files that must never move and against
// the user's EX= patterns.
//
// The decision itself is each program's: bootntfs matches each file's path
// once, while files are gathered (CheckExcluded, ntfs/), and answers
// LegalToMove with a search of the record numbers it excluded; bootfat keeps
// no list and matches the patterns in LegalToMove itself (fat/).
#include "program.h"

// Patterns that drop out with DFRGBINS (the recycle bins, the last four of
// the built-in list) and with DFRGBINS and DFRGSHEL (the shell icon cache
// before them too).
#define PATTERNS_OF_BINS 4
#define PATTERNS_OF_BINS_AND_SHELL 5

// TRUE for the characters '0' to '9'.
BOOL isdecimaldigit(WCHAR c) { return (c >= u'0' && c <= u'9') ? TRUE : FALSE; }

// One character as the comparison sees it: upper case unless the match is
// case-sensitive.
static WCHAR FoldChar(WCHAR c, BOOL caseSensitive) {
    return caseSensitive ? c : (WCHAR)(ULONG_PTR)CharUpper((LPWSTR)(ULONG_PTR)c);
}

// TRUE when the `length` characters at text equal those at pattern.
static BOOL SameRun(const WCHAR *text, const WCHAR *pattern, size_t length, BOOL caseSensitive) {
    size_t i;

    for (i = 0; i < length; i++)
        if (FoldChar(text[i], caseSensitive) != FoldChar(pattern[i], caseSensitive)) return FALSE;
    return TRUE;
}

// Matches a text against a pattern of literal characters, '*' (any run,
// possibly empty) and '?' (exactly one character).
//   text, pattern   terminated UTF-16 texts; null or empty never match
//   caseSensitive   0 (what the programs pass): letters match in any case
// Returns TRUE on a match. The walk never backtracks: a literal run after a
// '*' is taken at its first occurrence in the rest of the text, except the
// last run of the pattern, which must end the text ("*.TMP" does not match
// "A.TMP.OLD"). A trailing '*' takes whatever is left. Nothing is changed;
// the comparison works on the texts in place, so any length is accepted.
BOOL lStrWildCmp(const WCHAR *text, const WCHAR *pattern, BOOL caseSensitive) {
    size_t textLength, t, p;
    BOOL star;

    if (text == nullptr || pattern == nullptr || text[0] == 0 || pattern[0] == 0) return FALSE;
    textLength = wcslen(text);

    if (wcschr(pattern, u'*') == nullptr && wcschr(pattern, u'?') == nullptr)
        return (wcslen(pattern) == textLength && SameRun(text, pattern, textLength, caseSensitive)) ? TRUE : FALSE;

    t = 0;
    p = 0;
    star = FALSE;
    while (pattern[p] != 0) {
        if (pattern[p] == u'*') {
            star = TRUE;
            p++;
        } else if (pattern[p] == u'?') {
            if (t >= textLength) return FALSE;
            t++;
            p++;
            star = FALSE;
        } else {
            size_t runLength = 0;
            BOOL lastRun;

            while (pattern[p + runLength] != 0 && pattern[p + runLength] != u'*' && pattern[p + runLength] != u'?')
                runLength++;
            lastRun = pattern[p + runLength] == 0;
            if (star && lastRun) {
                // Anchored at the end of the text.
                if (textLength - t < runLength) return FALSE;
                t = textLength - runLength;
            } else if (star) {
                // The first occurrence in the rest of the text.
                size_t at = t;
                while (at + runLength <= textLength && !SameRun(text + at, pattern + p, runLength, caseSensitive)) at++;
                if (at + runLength > textLength) return FALSE;
                t = at;
                star = FALSE;
            }
            if (textLength - t < runLength || !SameRun(text + t, pattern + p, runLength, caseSensitive)) return FALSE;
            t += runLength;
            p += runLength;
        }
    }
    return (t == textLength || star) ? TRUE : FALSE;
}

// How many of the built-in patterns apply with the run's options.
static LONG BuiltInPatternCount(void) {
    LONG all = BootProgram.BuiltInPatternCount;

    if (bDfrgBins && bDfrgShel) return all - PATTERNS_OF_BINS_AND_SHELL;
    if (bDfrgBins) return all - PATTERNS_OF_BINS;
    return all;
}

const WCHAR *MatchBuiltInPattern(const WCHAR *path) {
    LONG count = BuiltInPatternCount(), i;

    for (i = 0; i < count; i++)
        if (lStrWildCmp(path, BootProgram.BuiltInPatterns[i], 0)) return BootProgram.BuiltInPatterns[i];
    return nullptr;
}

const WCHAR *MatchUserPattern(const WCHAR *path) {
    LONG i;

    if (!bExcludes) return nullptr;
    for (i = 0; i < lExcludes && i < EXCLUDE_ROWS; i++)
        if (lStrWildCmp(path, pExcludes[i], 0)) return pExcludes[i];
    return nullptr;
}
