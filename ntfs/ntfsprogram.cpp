// The NTFS program's side of the frame: its record (keyword table, texts,
// the choices where its frame differs from bootfat's), its BootExecute
// entry, and move legality by record number.
#include "ntfs.h"
#include "program.h"

// ------------------------------------------------------------- keywords

static const KEYWORD cNtfsKeywords[] = {
    KEYWORD_FLAG2(u"NOMOVE", bMoveFiles, bMoveAttrs, 0, u"Nomove set...\n"),
    KEYWORD_FLAG2(u"MOVEALL", bMoveFiles, bMoveAttrs, 1, u"MoveAll (Files&Attrs) set...\n"),
    KEYWORD_FLAG1(u"MOVEATTR", bMoveAttrs, 1, u"MoveAttr set...\n"),
    KEYWORD_FLAG1(u"MOVEFILE", bMoveFiles, 1, u"MoveFile set...\n"),
    KEYWORD_FLAG1(u"DFRGBINS", bDfrgBins, 1, u"DfrgBins set...\n"),
    KEYWORD_FLAG1(u"DFRGSHEL", bDfrgShel, 1, u"DfrgShel set...\n"),
    KEYWORD_FLAG1(u"WHO", bWho, 1, u"Who set...\n"),
    KEYWORD_FLAG1(u"SHOWEH", bShowEH, 1, u"ShowEH set...\n"),
    KEYWORD_OPTION(u"DIRS=MFTZ", lDirsOpt, 3, TRUE, &lDirsPending, u"Directories -> MFT area...\n", cDirsConflict),
    KEYWORD_OPTION(u"DIRS=NONE", lDirsOpt, 0, FALSE, &lDirsPending, u"Directory manipulation skipped...\n",
                   cDirsConflict),
    KEYWORD_OPTION(u"DIRS=FREE", lDirsOpt, 1, TRUE, &lDirsPending, u"Directories -> Contiguous Freespace...\n",
                   cDirsConflict),
    KEYWORD_OPTION(u"DIRS=MFTM", lDirsOpt, 4, TRUE, &lDirsPending, u"Directories -> MFT Mirror end...\n",
                   cDirsConflict),
    KEYWORD_OPTION(u"DIRS=ZERO", lDirsOpt, 2, TRUE, &lDirsPending, u"Directories -> Toward LCN Zero...\n",
                   cDirsConflict),
    KEYWORD_FLAG1(u"ENDPAUSE", bEndPause, 1, u"Pausing at end...\n"),
    KEYWORD_OPTION(u"FILES=FULL", lFileOpt, 1, TRUE, &lFilesPending, u"Doing Full File Defragmentation...\n",
                   cFilesConflict),
    KEYWORD_OPTION(u"FILES=NONE", lFileOpt, 0, FALSE, &lFilesPending, u"Not doing full partition defragmentation...\n",
                   cFilesConflict),
    KEYWORD_OPTION(u"FILES=LIST", lFileOpt, 2, TRUE, &lFilesPending, u"Doing specified file defragmentation...\n",
                   cFilesConflict),
    KEYWORD_OPTION(u"PAGE=KEEP", lPageOpt, 0, FALSE, nullptr, u"Keeping paging file...\n", cPageConflict),
    KEYWORD_OPTION(u"PAGE=ZERO", lPageOpt, 1, FALSE, nullptr, u"Forcing Paging File Rebuild...\n", cPageConflict),
    KEYWORD_OPTION(u"PAGE=MIN", lPageOpt, 2, FALSE, nullptr, u"Minimizing Paging File Fragments...\n", cPageConflict),
    KEYWORD_OPTION(u"PAGE=PLACE", lPageOpt, 3, FALSE, nullptr, u"Defragmenting/Placing Paging File ...\n",
                   cPageConflict),
    KEYWORD_OPTION(u"MFT=MIN", lMFTOpt, 1, FALSE, nullptr, u"Minimizing MFT Fragments...\n",
                   u"MFT file options conflict...\n"),
    KEYWORD_OPTION(u"MFT=NONE", lMFTOpt, 0, FALSE, nullptr, u"Leaving MFT alone...\n",
                   u"MFT file options conflict...\n"),
    KEYWORD_FLAG1(u"LAST50", bLast50, 1, u"Gathering Last50 data...\n"),
    KEYWORD_SPECIAL(u"PFFRN=", KW_PFFRN, u"Paging File FRN passed in as %ld...\n",
                    u"Paging File FRN options conflict...\n"),
    KEYWORD_SPECIAL(u"PFZONE=", KW_PFZONE, u"Paging File Zone passed in as %ld...\n",
                    u"Paging File Zone options conflict...\n"),
    KEYWORD_FLAG1(u"KYBD=NO", bKybd, 0, u"Keyboard input ignored...\n"),
    KEYWORD_SPECIAL(u"EX=", KW_EXCLUDE, u"Assimilating exclusion list...\n", nullptr),
    KEYWORD_SPECIAL(u"FILEX=", KW_FILEX, u"Assimilating target FRS list...\n", nullptr),
    KEYWORD_SPECIAL(u"LOG=", KW_LOG, nullptr, nullptr),
    KEYWORD_SPECIAL(u"LEV=", KW_LEVEL, u"Log Level Set To %ld\n", nullptr),
};

// Files that must never move, in test order.
static const WCHAR *const cNtfsBuiltInPatterns[] = {
    u"*BOOTSECT.DOS",   u"*:\\safeboot.fs", u"*:\\safeboot.csv", u"*:\\safeboot.rsv", u"*:\\$Extend\\*",
    u"*ShellIconCache", u"*:\\RECYCLER",    u"*:\\RECYCLER\\*",  u"*:\\RECYCLED",     u"*:\\RECYCLED\\*",
};

const BOOT_PROGRAM BootProgram = {
    cNtfsKeywords,
    sizeof(cNtfsKeywords) / sizeof(cNtfsKeywords[0]),
    FALSE,  // DfrgShelInitial
    4,      // PageDirsOpt: DIRS=MFTM
    u"\nBoot-time defragmenter for NTFS volumes\n",
    u"Runtime frame, NTFS engine and run stages by the boot-time defragmenter team.\n",
    TRUE,
    u"Some argument was unrecognized or conflicting, boot-time not running...\n",
    ShowDiag,
    u"This boot-time defragmenter was not created for this operating system version\n",
    u"Failed to initialize for volume %c: -- volume probably not mounted or is not NTFS\nExiting -- \n",
    TRUE,  // BlankLineAfterDiagnostics
    DisplayNtfsVolumeStats,
    4096,
    u"Volume %c: -- Cannot process a partition with cluster size > 4k\n",
    DeregisterDozuZORO,
    TRUE,   // NeedsMountedDevices
    FALSE,  // FlushLogWrites
    cNtfsBuiltInPatterns,
    sizeof(cNtfsBuiltInPatterns) / sizeof(cNtfsBuiltInPatterns[0]),
    ShowDiag,
    u"Failed to handle paging file %s properly\n",
    TRUE,  // RebuildClearsPageOpt
    u"Registry Data For Paging File Found: %s\n",
    cMoreThanOne,
    TRUE,  // MinSecondRefusesSetup
};

// ------------------------------------------------------- BootExecute entry

// Removes the program's own entries ("DOZUZORO ...", any letter case) from
// BootExecute, keeping every other entry. TRUE, or FALSE after the error
// report with the value left as it was.
BOOL DeregisterDozuZORO(void) { return DeregisterBootExecuteToken(u"DOZUZORO"); }

// ----------------------------------------------------------- move legality

// Record numbers the excluded list grows by when it is full.
#define EXCLUDED_FRNS_STEP 200

// Makes room for one more record number on the excluded list
// (hExcludedFrns/pExcludedFrns, llUsedFrns of llMaxFrns used; released by
// OffLineExit): a full list, or none yet, grows by 200 entries, its
// contents kept. FALSE with the error report when it cannot grow (it then
// stays as it was).
static BOOL RoomForExcludedFrn(void) {
    if (pExcludedFrns != nullptr && llUsedFrns < llMaxFrns) return TRUE;
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
    return TRUE;
}

// Puts a record number on the excluded list (growing it by 200 entries when
// it is full), so that LegalToMove refuses that record from now on. FALSE
// with the error report when the list cannot grow.
BOOL AddExcludedFrn(LONGLONG frn) {
    if (!RoomForExcludedFrn()) return FALSE;
    pExcludedFrns[llUsedFrns++] = frn;
    return TRUE;
}

// Puts the current file on the excluded list (room made before), showing
// "Excluding <path>" through the given output above log level 3.
static void ExcludeCurrentFile(BOOL (*show)(const WCHAR *)) {
    if (lLogLevel > 3) {
        _snwprintf(cOutline, OUTLINE_CHARS - 1, u"\nExcluding %s\n", VolData.cFileName);
        cOutline[OUTLINE_CHARS - 1] = 0;
        show(cOutline);
    }
    pExcludedFrns[llUsedFrns++] = VolData.FileRecordNumber;
}

// Decides once, while files are gathered, whether the current file (its
// path in VolData.cFileName, its record VolData.FileRecordNumber) must never
// move: a match with a built-in pattern in use, then with a user pattern,
// puts its record number on the excluded list. Returns TRUE; FALSE with the
// error report only when the list cannot grow (it then stays as it was).
BOOL CheckExcluded(void) {
    if (!RoomForExcludedFrn()) return FALSE;
    if (MatchBuiltInPattern(VolData.cFileName) != nullptr)
        ExcludeCurrentFile(ShowDiag);
    else if (MatchUserPattern(VolData.cFileName) != nullptr)
        ExcludeCurrentFile(ShowMessage);
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
