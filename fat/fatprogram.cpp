// The FAT program's side of the frame: its record (keyword table, texts,
// the choices where its frame differs from bootntfs's), its BootExecute
// entry, and move legality by the path's patterns.
#include "fat.h"
#include "program.h"

// ------------------------------------------------------------- keywords

static const KEYWORD cFatKeywords[] = {
    KEYWORD_FLAG1(u"NOMOVE", bMoveFiles, 0, u"Nomove set...\n"),
    KEYWORD_FLAG1(u"DFRGBINS", bDfrgBins, 1, u"DfrgBins set...\n"),
    KEYWORD_FLAG1(u"DFRGSHEL", bDfrgShel, 1, u"DfrgShel set...\n"),
    KEYWORD_FLAG1(u"WHO", bWho, 1, u"Who set...\n"),
    KEYWORD_FLAG1(u"ENDPAUSE", bEndPause, 1, u"Pausing at end...\n"),
    KEYWORD_OPTION(u"DIRS=MFTZ", lDirsOpt, 3, TRUE, &lDirsPending, u"Directories -> front of partition...\n",
                   cDirsConflict),
    KEYWORD_OPTION(u"DIRS=NONE", lDirsOpt, 0, FALSE, &lDirsPending, u"Directory consolidation skipped...\n",
                   cDirsConflict),
    KEYWORD_OPTION(u"DIRS=FREE", lDirsOpt, 1, TRUE, &lDirsPending, u"Directories -> Contiguous Freespace...\n",
                   cDirsConflict),
    KEYWORD_OPTION(u"DIRS=MFTM", lDirsOpt, 4, TRUE, &lDirsPending, u"Directories -> Middle of partition...\n",
                   cDirsConflict),
    KEYWORD_OPTION(u"DIRS=ZERO", lDirsOpt, 2, TRUE, &lDirsPending, u"Directories -> Toward LCN Zero...\n",
                   cDirsConflict),
    KEYWORD_OPTION(u"FILES=FULL", lFileOpt, 1, TRUE, &lFilesPending, u"Doing Full File Defragmentation...\n",
                   cFilesConflict),
    KEYWORD_OPTION(u"FILES=NONE", lFileOpt, 0, FALSE, &lFilesPending, u"Not doing full partition defragmentation...\n",
                   cFilesConflict),
    KEYWORD_OPTION(u"PAGE=KEEP", lPageOpt, 0, FALSE, nullptr, u"Keeping paging file...\n", cPageConflict),
    KEYWORD_OPTION(u"PAGE=ZERO", lPageOpt, 1, FALSE, nullptr, u"Forcing Paging File Rebuild...\n", cPageConflict),
    KEYWORD_OPTION(u"PAGE=MIN", lPageOpt, 2, FALSE, nullptr, u"Minimize Paging File Fragments Requested...\n",
                   cPageConflict),
    KEYWORD_OPTION(u"PAGE=PLACE", lPageOpt, 3, FALSE, nullptr, u"Defragmenting/Placing Paging File...\n",
                   cPageConflict),
    KEYWORD_FLAG1(u"KYBD=NO", bKybd, 0, u"Keyboard input ignored...\n"),
    KEYWORD_SPECIAL(u"PFZONE=", KW_PFZONE, u"Paging File Zone passed in as %ld...\n",
                    u"Paging File Zone options conflict...\n"),
    KEYWORD_SPECIAL(u"EX=", KW_EXCLUDE, u"Assimilating exclusion list...\n", nullptr),
    KEYWORD_SPECIAL(u"LOG=", KW_LOG, nullptr, nullptr),
    KEYWORD_SPECIAL(u"LEV=", KW_LEVEL, u"Log Level Set To %ld\n", nullptr),
};

// Files that must never move, in test order.
static const WCHAR *const cFatBuiltInPatterns[] = {
    u"*BOOTSECT.DOS", u"*:\\safeboot.fs", u"*:\\safeboot.csv", u"*:\\safeboot.rsv", u"*ShellIconCache",
    u"*:\\RECYCLER",  u"*:\\RECYCLER\\*", u"*:\\RECYCLED",     u"*:\\RECYCLED\\*",
};

const BOOT_PROGRAM BootProgram = {
    cFatKeywords,
    sizeof(cFatKeywords) / sizeof(cFatKeywords[0]),
    TRUE,  // DfrgShelInitial
    3,     // PageDirsOpt: DIRS=MFTZ, the front of the partition
    u"\nBoot-time defragmenter for FAT16 and FAT32 volumes\n",
    u"Runtime frame, FAT engine and run stages by the boot-time defragmenter team.\n",
    FALSE,
    u"Some argument was unrecognized, not running...\n",
    ShowMessage,
    u"Can't run boot-time defragmenter on this operating system version\n",
    nullptr,  // InitializeFailure: Initialize shows its own line
    FALSE,    // BlankLineAfterDiagnostics
    DisplayFatVolumeStats,
    0,  // no cluster-size limit
    nullptr,
    DeregisterZiriZUD,
    FALSE,  // NeedsMountedDevices: Windows NT 4.0 and Windows 2000
    TRUE,   // FlushLogWrites
    cFatBuiltInPatterns,
    sizeof(cFatBuiltInPatterns) / sizeof(cFatBuiltInPatterns[0]),
    ShowMessage,
    u"Failed to handle pagefile %s properly\n",
    FALSE,  // RebuildClearsPageOpt
    u"Registry Data for Paging File Found: %s\n",
    u"Error: Cannot optimize more than one pagefile per partition\n",
    FALSE,  // MinSecondRefusesSetup
};

// ------------------------------------------------------- BootExecute entry

// Removes the program's own entries ("ZIRIZUD ...", any letter case) from
// BootExecute, keeping every other entry. TRUE, or FALSE after the error
// report with the value left as it was.
BOOL DeregisterZiriZUD(void) { return DeregisterBootExecuteToken(u"ZIRIZUD"); }

// ----------------------------------------------------------- move legality

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
    const WCHAR *pattern;

    TRACE(8, u"LegalToMove", u"FirstTest");
    if ((pattern = MatchBuiltInPattern(VolData.cFileName)) != nullptr) {
        ShowRejection(u"LegalToMove1:Rejecting file:%s:Pattern=%s\n", pattern);
        return FALSE;
    }
    TRACE(8, u"LegalToMove", u"SecondTest");
    if (!bExcludes) return TRUE;
    TRACE(8, u"LegalToMove", u"ThirdTest");
    if ((pattern = MatchUserPattern(VolData.cFileName)) != nullptr) {
        ShowRejection(u"LegalToMove3:Rejecting file:%s:Pattern=%s\n", pattern);
        return FALSE;
    }
    return TRUE;
}
