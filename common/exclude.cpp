// Exclusions and move legality: the wildcard matcher, the built-in patterns
// of files that must never move, the user's EX= patterns, and the test made
// before every move.
//
// bootntfs matches each file's path once, while files are gathered
// (CheckExcluded records the record numbers of excluded files), and answers
// LegalToMove with a search of that list; bootfat keeps no list and matches
// the patterns in LegalToMove itself.
#include "frame.h"

// Record numbers the excluded list grows by when it is full.
#define EXCLUDED_FRNS_STEP 200

// Files that must never move, in test order. The recycle bins (the last
// four) drop out with DFRGBINS, the shell icon cache too with DFRGBINS and
// DFRGSHEL together.
#ifdef BOOT_NTFS
static const WCHAR *const cBuiltInPatterns[] = {
    u"*BOOTSECT.DOS",   u"*:\\safeboot.fs", u"*:\\safeboot.csv", u"*:\\safeboot.rsv", u"*:\\$Extend\\*",
    u"*ShellIconCache", u"*:\\RECYCLER",    u"*:\\RECYCLER\\*",  u"*:\\RECYCLED",     u"*:\\RECYCLED\\*",
};
#define PATTERNS_ALL 10
#define PATTERNS_WITHOUT_BINS 6
#define PATTERNS_WITHOUT_BINS_AND_SHELL 5
#else
static const WCHAR *const cBuiltInPatterns[] = {
    u"*BOOTSECT.DOS", u"*:\\safeboot.fs", u"*:\\safeboot.csv", u"*:\\safeboot.rsv", u"*ShellIconCache",
    u"*:\\RECYCLER",  u"*:\\RECYCLER\\*", u"*:\\RECYCLED",     u"*:\\RECYCLED\\*",
};
#define PATTERNS_ALL 9
#define PATTERNS_WITHOUT_BINS 5
#define PATTERNS_WITHOUT_BINS_AND_SHELL 4
#endif

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
    if (bDfrgBins && bDfrgShel) return PATTERNS_WITHOUT_BINS_AND_SHELL;
    if (bDfrgBins) return PATTERNS_WITHOUT_BINS;
    return PATTERNS_ALL;
}

#ifdef BOOT_NTFS

// Appends VolData.FileRecordNumber to the excluded list (room is made by
// the caller).
static void AppendExcludedFrn(void) { pExcludedFrns[llUsedFrns++] = VolData.FileRecordNumber; }

// Puts the current file on the excluded list, showing "Excluding <path>"
// through the given output above log level 3.
static void ExcludeCurrentFile(BOOL (*show)(const WCHAR *)) {
    if (lLogLevel > 3) {
        _snwprintf(cOutline, OUTLINE_CHARS - 1, u"\nExcluding %s\n", VolData.cFileName);
        cOutline[OUTLINE_CHARS - 1] = 0;
        show(cOutline);
    }
    AppendExcludedFrn();
}

// Decides once, while files are gathered, whether the current file (its
// path in VolData.cFileName, its record VolData.FileRecordNumber) must never
// move: a match with a built-in pattern in use, then with a user pattern,
// puts its record number on the excluded list (hExcludedFrns/pExcludedFrns,
// llUsedFrns, grown by 200 entries when full; released by OffLineExit).
// Returns TRUE; FALSE with the error report only when the list cannot grow
// (it then stays as it was).
BOOL CheckExcluded(void) {
    LONG count, i;

    if (pExcludedFrns == nullptr || llUsedFrns >= llMaxFrns) {
        HGLOBAL oldHandle = hExcludedFrns;
        LONGLONG *oldPointer = pExcludedFrns;
        LONGLONG wanted;

        if (pExcludedFrns == nullptr) llUsedFrns = llMaxFrns = 0;  // no list yet: start one
        wanted = llMaxFrns + EXCLUDED_FRNS_STEP;

        if (wanted * (LONGLONG)sizeof(LONGLONG) > 0x7FFFFFFF ||
            !AllocateMemory((DWORD)(wanted * sizeof(LONGLONG)), &hExcludedFrns, (void **)&pExcludedFrns)) {
            // A failed resize leaves the old block in place: keep using it.
            if (hExcludedFrns == nullptr) {
                hExcludedFrns = oldHandle;
                pExcludedFrns = oldPointer;
            }
            ERROR_REPORT();
            return FALSE;
        }
        llMaxFrns = wanted;
    }

    count = BuiltInPatternCount();
    for (i = 0; i < count; i++) {
        if (lStrWildCmp(VolData.cFileName, cBuiltInPatterns[i], 0)) {
            ExcludeCurrentFile(ShowDiag);
            return TRUE;
        }
    }
    if (bExcludes) {
        for (i = 0; i < lExcludes && i < EXCLUDE_ROWS; i++) {
            if (lStrWildCmp(VolData.cFileName, pExcludes[i], 0)) {
                ExcludeCurrentFile(ShowMessage);
                return TRUE;
            }
        }
    }
    return TRUE;
}

// May the current file (VolData.FileRecordNumber) be moved? FALSE when its
// record number is on the excluded list that CheckExcluded built, else TRUE.
BOOL LegalToMove(void) {
    LONGLONG i;

    if (pExcludedFrns == nullptr) return TRUE;
    for (i = 0; i < llUsedFrns; i++)
        if (pExcludedFrns[i] == VolData.FileRecordNumber) return FALSE;
    return TRUE;
}

#else

// Shows "LegalToMove<n>:Rejecting file:<path>:Pattern=<pattern>" above log
// level 5.
static void ShowRejection(const WCHAR *format, const WCHAR *pattern) {
    if (lLogLevel <= 5) return;
    _snwprintf(cOutline, OUTLINE_CHARS - 1, format, VolData.cFileName, pattern);
    cOutline[OUTLINE_CHARS - 1] = 0;
    ShowDiag(cOutline);
}

// May the current file (its path in VolData.cFileName) be moved? FALSE when
// a built-in pattern in use or a user pattern matches the path, else TRUE.
BOOL LegalToMove(void) {
    LONG count, i;

    TRACE(8, u"LegalToMove", u"FirstTest");
    count = BuiltInPatternCount();
    for (i = 0; i < count; i++) {
        if (lStrWildCmp(VolData.cFileName, cBuiltInPatterns[i], 0)) {
            ShowRejection(u"LegalToMove1:Rejecting file:%s:Pattern=%s\n", cBuiltInPatterns[i]);
            return FALSE;
        }
    }
    TRACE(8, u"LegalToMove", u"SecondTest");
    if (!bExcludes) return TRUE;
    TRACE(8, u"LegalToMove", u"ThirdTest");
    for (i = 0; i < lExcludes && i < EXCLUDE_ROWS; i++) {
        if (lStrWildCmp(VolData.cFileName, pExcludes[i], 0)) {
            ShowRejection(u"LegalToMove3:Rejecting file:%s:Pattern=%s\n", pExcludes[i]);
            return FALSE;
        }
    }
    return TRUE;
}

#endif
