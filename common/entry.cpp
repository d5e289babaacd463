// Process entry, command line and run options of both boot-time programs.
//
// The Session Manager starts the program with its BootExecute entry: the
// program's token, the drive and the option keywords. NativeMain turns the
// keywords into the run options (process-wide globals, set only here), looks
// for the trigger file Defragme.dat in the root of the named volume and
// either runs (setup, stages, teardown, then a 15-second wait and a reboot)
// or, on the boot after a run, removes its BootExecute entry and returns so
// that Windows goes on booting.
//
// bootntfs and bootfat share this code; their differences (keyword tables,
// derived settings, messages) are chosen at compile time.
#include "frame.h"

#include <cstring>

// ------------------------------------------------------------- run options
BOOL bMoveFiles = 1;
BOOL bMoveAttrs = 1;
BOOL bDfrgBins = 0;
#ifdef BOOT_FAT
BOOL bDfrgShel = 1;
#else
BOOL bDfrgShel = 0;
#endif
BOOL bWho = 0;
BOOL bShowEH = 0;
BOOL bEndPause = 0;
BOOL bKybd = 1;
BOOL bLast50 = 0;
LONG lPageOpt = -1;
LONG lDirsOpt = -1;
LONG lFileOpt = -1;
LONG lMFTOpt = -1;
LONG lDirsPending = 0;
LONG lFilesPending = 0;
LONGLONG llPageFileFRN = -1;
LONGLONG llPageFileZone = -1;
LONGLONG glFileList[64] = {0};
LONGLONG glFileListX = 0;
WCHAR pExcludes[EXCLUDE_ROWS][EXCLUDE_ROW_CHARS];
LONG lExcludes = 0;
BOOL bExcludes = 0;
LONG lLogLevel = 0;
BOOL bLogFile = 0;
BOOL bScreenLog = 0;
BOOL bDbgMsg = 0;
HANDLE hLogFile = nullptr;
WCHAR cLogFileName[LOG_NAME_CHARS] = {0};

// Pending bits of lDirsPending / lFilesPending.
#define PENDING_KEYWORD 1
#define PENDING_MFT 2
#define PENDING_PAGE 4

// Patterns EX= may give (the 20th refuses the run), numbers FILEX= may give
// (the 64th refuses it).
#define EX_PATTERN_LIMIT 20
#define FILEX_LIMIT 64
// Characters of a token (with the terminator) and of the options report.
#define TOKEN_CHARS 100
#define OPTIONS_BYTES 2050
#define OPTIONS_CHARS (OPTIONS_BYTES / 2)
#define OPTIONS_APPEND_LIMIT 1080
// 15 seconds, in 100 ns units, relative.
#define END_WAIT_INTERVAL (-150000000LL)

// The options report, shown once after the banner.
static HGLOBAL hOptions = nullptr;
static WCHAR *ptOptions = nullptr;

// ----------------------------------------------------------- banner texts
#ifdef BOOT_NTFS
static const WCHAR cBanner[] = u"\nBoot-time defragmenter for NTFS volumes\n";
static const WCHAR cCredits[] = u"Runtime frame, NTFS engine and run stages by the boot-time defragmenter team.\n";
#else
static const WCHAR cBanner[] = u"\nBoot-time defragmenter for FAT16 and FAT32 volumes\n";
static const WCHAR cCredits[] = u"Runtime frame, FAT engine and run stages by the boot-time defragmenter team.\n";
#endif
static const WCHAR cMakersNotice[] = u"Copyright (C) the boot-time defragmenter developers.\n\n";

// -------------------------------------------------------------- keywords

// What a keyword does.
enum KEYWORD_KIND {
    KW_FLAG,     // sets one or two flags; always counted
    KW_OPTION,   // sets a group option (conflict when already set)
    KW_PFFRN,    // "PFFRN=" n
    KW_PFZONE,   // "PFZONE=" n
    KW_EXCLUDE,  // "EX=" list
    KW_FILEX,    // "FILEX=" list
    KW_LOG,      // "LOG=" name
    KW_LEVEL,    // "LEV=" d
};

typedef struct _KEYWORD {
    const WCHAR *Text;
    BOOL Prefix;  // matches when the token begins with Text
    KEYWORD_KIND Kind;
    BOOL *Flag;   // KW_FLAG
    BOOL *Flag2;  // KW_FLAG, optional second flag
    BOOL FlagValue;
    LONG *Option;  // KW_OPTION
    LONG Value;
    BOOL Pending;  // KW_OPTION: sets PENDING_KEYWORD in PendingSet
    LONG *PendingSet;
    const WCHAR *Report;
    const WCHAR *Conflict;
} KEYWORD;

#define FLAG1(text, flag, value, report)                                                                               \
    { text, FALSE, KW_FLAG, &flag, nullptr, value, nullptr, 0, FALSE, nullptr, report, nullptr }
#define FLAG2(text, flag, flag2, value, report)                                                                        \
    { text, FALSE, KW_FLAG, &flag, &flag2, value, nullptr, 0, FALSE, nullptr, report, nullptr }
#define OPTION(text, option, value, pending, pendingSet, report, conflict)                                             \
    { text, FALSE, KW_OPTION, nullptr, nullptr, 0, &option, value, pending, pendingSet, report, conflict }
#define SPECIAL(text, kind, report, conflict)                                                                          \
    { text, TRUE, kind, nullptr, nullptr, 0, nullptr, 0, FALSE, nullptr, report, conflict }

static const WCHAR cDirsConflict[] = u"Directory options conflict...\n";
static const WCHAR cFilesConflict[] = u"File options conflict...\n";
static const WCHAR cPageConflict[] = u"Paging file options conflict...\n";

#ifdef BOOT_NTFS
static const KEYWORD Keywords[] = {
    FLAG2(u"NOMOVE", bMoveFiles, bMoveAttrs, 0, u"Nomove set...\n"),
    FLAG2(u"MOVEALL", bMoveFiles, bMoveAttrs, 1, u"MoveAll (Files&Attrs) set...\n"),
    FLAG1(u"MOVEATTR", bMoveAttrs, 1, u"MoveAttr set...\n"),
    FLAG1(u"MOVEFILE", bMoveFiles, 1, u"MoveFile set...\n"),
    FLAG1(u"DFRGBINS", bDfrgBins, 1, u"DfrgBins set...\n"),
    FLAG1(u"DFRGSHEL", bDfrgShel, 1, u"DfrgShel set...\n"),
    FLAG1(u"WHO", bWho, 1, u"Who set...\n"),
    FLAG1(u"SHOWEH", bShowEH, 1, u"ShowEH set...\n"),
    OPTION(u"DIRS=MFTZ", lDirsOpt, 3, TRUE, &lDirsPending, u"Directories -> MFT area...\n", cDirsConflict),
    OPTION(u"DIRS=NONE", lDirsOpt, 0, FALSE, &lDirsPending, u"Directory manipulation skipped...\n", cDirsConflict),
    OPTION(u"DIRS=FREE", lDirsOpt, 1, TRUE, &lDirsPending, u"Directories -> Contiguous Freespace...\n", cDirsConflict),
    OPTION(u"DIRS=MFTM", lDirsOpt, 4, TRUE, &lDirsPending, u"Directories -> MFT Mirror end...\n", cDirsConflict),
    OPTION(u"DIRS=ZERO", lDirsOpt, 2, TRUE, &lDirsPending, u"Directories -> Toward LCN Zero...\n", cDirsConflict),
    FLAG1(u"ENDPAUSE", bEndPause, 1, u"Pausing at end...\n"),
    OPTION(u"FILES=FULL", lFileOpt, 1, TRUE, &lFilesPending, u"Doing Full File Defragmentation...\n", cFilesConflict),
    OPTION(u"FILES=NONE", lFileOpt, 0, FALSE, &lFilesPending, u"Not doing full partition defragmentation...\n",
           cFilesConflict),
    OPTION(u"FILES=LIST", lFileOpt, 2, TRUE, &lFilesPending, u"Doing specified file defragmentation...\n",
           cFilesConflict),
    OPTION(u"PAGE=KEEP", lPageOpt, 0, FALSE, nullptr, u"Keeping paging file...\n", cPageConflict),
    OPTION(u"PAGE=ZERO", lPageOpt, 1, FALSE, nullptr, u"Forcing Paging File Rebuild...\n", cPageConflict),
    OPTION(u"PAGE=MIN", lPageOpt, 2, FALSE, nullptr, u"Minimizing Paging File Fragments...\n", cPageConflict),
    OPTION(u"PAGE=PLACE", lPageOpt, 3, FALSE, nullptr, u"Defragmenting/Placing Paging File ...\n", cPageConflict),
    OPTION(u"MFT=MIN", lMFTOpt, 1, FALSE, nullptr, u"Minimizing MFT Fragments...\n", u"MFT file options conflict...\n"),
    OPTION(u"MFT=NONE", lMFTOpt, 0, FALSE, nullptr, u"Leaving MFT alone...\n", u"MFT file options conflict...\n"),
    FLAG1(u"LAST50", bLast50, 1, u"Gathering Last50 data...\n"),
    SPECIAL(u"PFFRN=", KW_PFFRN, u"Paging File FRN passed in as %ld...\n", u"Paging File FRN options conflict...\n"),
    SPECIAL(u"PFZONE=", KW_PFZONE, u"Paging File Zone passed in as %ld...\n",
            u"Paging File Zone options conflict...\n"),
    FLAG1(u"KYBD=NO", bKybd, 0, u"Keyboard input ignored...\n"),
    SPECIAL(u"EX=", KW_EXCLUDE, u"Assimilating exclusion list...\n", nullptr),
    SPECIAL(u"FILEX=", KW_FILEX, u"Assimilating target FRS list...\n", nullptr),
    SPECIAL(u"LOG=", KW_LOG, nullptr, nullptr),
    SPECIAL(u"LEV=", KW_LEVEL, u"Log Level Set To %ld\n", nullptr),
};
#else
static const KEYWORD Keywords[] = {
    FLAG1(u"NOMOVE", bMoveFiles, 0, u"Nomove set...\n"),
    FLAG1(u"DFRGBINS", bDfrgBins, 1, u"DfrgBins set...\n"),
    FLAG1(u"DFRGSHEL", bDfrgShel, 1, u"DfrgShel set...\n"),
    FLAG1(u"WHO", bWho, 1, u"Who set...\n"),
    FLAG1(u"ENDPAUSE", bEndPause, 1, u"Pausing at end...\n"),
    OPTION(u"DIRS=MFTZ", lDirsOpt, 3, TRUE, &lDirsPending, u"Directories -> front of partition...\n", cDirsConflict),
    OPTION(u"DIRS=NONE", lDirsOpt, 0, FALSE, &lDirsPending, u"Directory consolidation skipped...\n", cDirsConflict),
    OPTION(u"DIRS=FREE", lDirsOpt, 1, TRUE, &lDirsPending, u"Directories -> Contiguous Freespace...\n", cDirsConflict),
    OPTION(u"DIRS=MFTM", lDirsOpt, 4, TRUE, &lDirsPending, u"Directories -> Middle of partition...\n", cDirsConflict),
    OPTION(u"DIRS=ZERO", lDirsOpt, 2, TRUE, &lDirsPending, u"Directories -> Toward LCN Zero...\n", cDirsConflict),
    OPTION(u"FILES=FULL", lFileOpt, 1, TRUE, &lFilesPending, u"Doing Full File Defragmentation...\n", cFilesConflict),
    OPTION(u"FILES=NONE", lFileOpt, 0, FALSE, &lFilesPending, u"Not doing full partition defragmentation...\n",
           cFilesConflict),
    OPTION(u"PAGE=KEEP", lPageOpt, 0, FALSE, nullptr, u"Keeping paging file...\n", cPageConflict),
    OPTION(u"PAGE=ZERO", lPageOpt, 1, FALSE, nullptr, u"Forcing Paging File Rebuild...\n", cPageConflict),
    OPTION(u"PAGE=MIN", lPageOpt, 2, FALSE, nullptr, u"Minimize Paging File Fragments Requested...\n", cPageConflict),
    OPTION(u"PAGE=PLACE", lPageOpt, 3, FALSE, nullptr, u"Defragmenting/Placing Paging File...\n", cPageConflict),
    FLAG1(u"KYBD=NO", bKybd, 0, u"Keyboard input ignored...\n"),
    SPECIAL(u"PFZONE=", KW_PFZONE, u"Paging File Zone passed in as %ld...\n",
            u"Paging File Zone options conflict...\n"),
    SPECIAL(u"EX=", KW_EXCLUDE, u"Assimilating exclusion list...\n", nullptr),
    SPECIAL(u"LOG=", KW_LOG, nullptr, nullptr),
    SPECIAL(u"LEV=", KW_LEVEL, u"Log Level Set To %ld\n", nullptr),
};
#endif

#define KEYWORD_COUNT (sizeof(Keywords) / sizeof(Keywords[0]))

// ---------------------------------------------------------- small helpers

static BOOL IsLetter(WCHAR c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// Appends a line to the options report while it holds fewer than 1080
// characters. The report's block holds 1024 characters and a terminator: a
// line that would not fit whole is left out, and the last place is kept for
// the closing empty line (closing = TRUE).
static void AppendOption(const WCHAR *line, BOOL closing) {
    size_t have, add, room;

    if (ptOptions == nullptr || line == nullptr) return;
    have = wcslen(ptOptions);
    if (have >= OPTIONS_APPEND_LIMIT) return;
    add = wcslen(line);
    room = OPTIONS_CHARS - 1 - (closing ? 0 : 1);
    if (have + add > room) return;
    memcpy(ptOptions + have, line, (add + 1) * sizeof(WCHAR));
}

// Releases the options report.
static void ReleaseOptions(void) {
    if (hOptions != nullptr) {
        GlobalUnlock(hOptions);
        GlobalFree(hOptions);
    }
    hOptions = nullptr;
    ptOptions = nullptr;
}

// Appends "\n" to a non-empty options report and shows it (screen and log).
static void ShowOptions(void) {
    if (ptOptions != nullptr && ptOptions[0] != 0) {
        AppendOption(u"\n", TRUE);
        ShowDiag(ptOptions);
    }
}

// Reads a signed 32-bit decimal number at text: optional sign, then the
// leading digits (none gives 0). Beyond the 32-bit range the value stops at
// the nearest limit.
static LONG ReadDecimal32(const WCHAR *text) {
    LONGLONG value = 0;
    BOOL negative = FALSE;

    if (*text == u'-' || *text == u'+') negative = (*text++ == u'-');
    while (isdecimaldigit(*text)) {
        if (value <= 0x80000000LL) value = value * 10 + (*text - u'0');
        text++;
    }
    if (negative) value = -value;
    if (value > 0x7FFFFFFFLL) value = 0x7FFFFFFFLL;
    if (value < -0x80000000LL) value = -0x80000000LL;
    return (LONG)value;
}

// Gives every run option its initial value.
static void ResetRunOptions(void) {
    LONG row;

    bMoveFiles = 1;
    bMoveAttrs = 1;
    bDfrgBins = 0;
#ifdef BOOT_FAT
    bDfrgShel = 1;
#else
    bDfrgShel = 0;
#endif
    bWho = 0;
    bShowEH = 0;
    bEndPause = 0;
    bKybd = 1;
    bLast50 = 0;
    lPageOpt = -1;
    lDirsOpt = -1;
    lFileOpt = -1;
#ifdef BOOT_NTFS
    lMFTOpt = -1;
#endif
    lDirsPending = 0;
    lFilesPending = 0;
    for (row = 0; row < EXCLUDE_ROWS; row++) {
        LONG i;
        for (i = 0; i < EXCLUDE_ROW_CHARS - 1; i++) pExcludes[row][i] = u'.';
        pExcludes[row][EXCLUDE_ROW_CHARS - 1] = 0;
    }
    lExcludes = 0;
    bExcludes = 0;
    lLogLevel = 0;
    bLogFile = 0;
    hLogFile = nullptr;
    bDbgMsg = 0;
    cLogFileName[0] = 0;
#ifdef BOOT_NTFS
    memset(glFileList, 0, sizeof glFileList);
    glFileListX = 0;
#endif
}

// ---------------------------------------------------- keyword handlers
// Each returns the change of the argument counter: +1 for an accepted
// token, 0 for one that counts as unrecognised, -1 for a conflict; or
// KEYWORD_STOP when the program must return at once.
#define KEYWORD_STOP 0x7FFF

// "EX=" list: comma-separated patterns into the rows of pExcludes.
static int TakeExcludes(const KEYWORD *k, const WCHAR *list) {
    const WCHAR *piece = list;

    AppendOption(k->Report, FALSE);
    for (;;) {
        const WCHAR *end = piece;
        size_t length;

        while (*end && *end != u',') end++;
        length = (size_t)(end - piece);
        if (length > EXCLUDE_ROW_CHARS - 1) {
            // A cut pattern would exclude other files than the ones named.
            AppendOption(u"Error in exclusion list (EX option): pattern longer than 86 characters...\n", FALSE);
            return 0;
        }
        memcpy(pExcludes[lExcludes], piece, length * sizeof(WCHAR));
        pExcludes[lExcludes][length] = 0;
        lExcludes++;
        bExcludes = 1;
        if (lExcludes >= EX_PATTERN_LIMIT) {
            ERROR_REPORT();
            return KEYWORD_STOP;
        }
        if (*end == 0) break;
        piece = end + 1;
    }
    return 1;
}

#ifdef BOOT_NTFS
// "FILEX=" list: comma-separated record numbers into glFileList.
static int TakeFileList(const KEYWORD *k, const WCHAR *list) {
    const WCHAR *piece = list;

    AppendOption(k->Report, FALSE);
    for (;;) {
        const WCHAR *end = piece;
        LONGLONG value = 0;
        BOOL good = TRUE;

        // An empty piece is read as record 0, which the list stage passes
        // over.
        while (*end && *end != u',') end++;
        for (const WCHAR *p = piece; good && p < end; p++) {
            if (!isdecimaldigit(*p))
                good = FALSE;
            else if ((value = value * 10 + (*p - u'0')) > 0x7FFFFFFFLL)
                good = FALSE;
        }
        if (!good) {
            AppendOption(u"Error in FRS list (FILEX option)...\n", FALSE);
            return 0;
        }
        glFileList[glFileListX++] = value;
        if (glFileListX >= FILEX_LIMIT) {
            ERROR_REPORT();
            return KEYWORD_STOP;
        }
        if (*end == 0) break;
        piece = end + 1;
    }
    return 1;
}
#endif

// "PFFRN=" / "PFZONE=" n: the report line first, then the value or the
// conflict.
static int TakeNumber(const KEYWORD *k, const WCHAR *text, LONGLONG *target) {
    LONG value = ReadDecimal32(text);

    _snwprintf(cOutline, OUTLINE_CHARS - 1, k->Report, value);
    cOutline[OUTLINE_CHARS - 1] = 0;
    AppendOption(cOutline, FALSE);
    if (*target == -1) {
        *target = value;
        return 1;
    }
    AppendOption(k->Conflict, FALSE);
    return -1;
}

// "LOG=" name: always counted; a name that does not begin with a drive
// letter is refused at once (the count drops back).
static int TakeLogName(const WCHAR *name, const WCHAR *drive) {
    bLogFile = 1;
    if (name[0] != 0) {
        wcsncpy(cLogFileName, name, LOG_NAME_CHARS - 1);
        cLogFileName[LOG_NAME_CHARS - 1] = 0;
    } else {
        // The default name on drive A:, after the drive given so far (none
        // yet: the name ends after "defrag").
        wcscpy(cLogFileName, u"a:\\defrag");
        if (drive[0] != 0) {
            size_t n = wcslen(cLogFileName);
            cLogFileName[n] = drive[0];
            cLogFileName[n + 1] = 0;
            wcscat(cLogFileName, u".log");
        }
    }
    if (!IsLetter(cLogFileName[0]) || cLogFileName[1] != u':') {
        ShowMessage(u"Incorrect format for summary/log file name (probably volume missing)\n");
        return 0;
    }
    return 1;
}

// "LEV=" d: one character after "LEV="; the level is its distance from '0'.
// Screen logging is turned on; the token counts when the level is 9 or less
// (a character below '0' gives a negative level, which logs nothing more).
static int TakeLevel(const KEYWORD *k, const WCHAR *text) {
    if (text[0] == 0 || text[1] != 0) return 0;
    lLogLevel = (LONG)text[0] - (LONG)u'0';
    _snwprintf(cOutline, OUTLINE_CHARS - 1, k->Report, lLogLevel);
    cOutline[OUTLINE_CHARS - 1] = 0;
    AppendOption(cOutline, FALSE);
    bScreenLog = 1;
    return lLogLevel <= 9 ? 1 : 0;
}

// Applies the first keyword that matches an upper-cased token.
static int TakeKeyword(const WCHAR *token, const WCHAR *drive) {
    size_t i;

    for (i = 0; i < KEYWORD_COUNT; i++) {
        const KEYWORD *k = &Keywords[i];
        size_t length = wcslen(k->Text);

        if (k->Prefix ? wcsncmp(token, k->Text, length) != 0 : wcscmp(token, k->Text) != 0) continue;
        switch (k->Kind) {
        case KW_FLAG:
            *k->Flag = k->FlagValue;
            if (k->Flag2) *k->Flag2 = k->FlagValue;
            AppendOption(k->Report, FALSE);
            return 1;
        case KW_OPTION:
            if (*k->Option != -1) {
                AppendOption(k->Conflict, FALSE);
                return -1;
            }
            *k->Option = k->Value;
            if (k->Pending) *k->PendingSet |= PENDING_KEYWORD;
            AppendOption(k->Report, FALSE);
            return 1;
        case KW_PFFRN:
            return TakeNumber(k, token + length, &llPageFileFRN);
        case KW_PFZONE:
            return TakeNumber(k, token + length, &llPageFileZone);
        case KW_EXCLUDE:
            return TakeExcludes(k, token + length);
        case KW_FILEX:
#ifdef BOOT_NTFS
            return TakeFileList(k, token + length);
#else
            return 0;
#endif
        case KW_LOG:
            return TakeLogName(token + length, drive);
        case KW_LEVEL:
            return TakeLevel(k, token + length);
        }
    }
    return 0;
}

// Settings that follow from the options given.
static void DeriveSettings(void) {
#ifdef BOOT_NTFS
    if (bLogFile && lLogLevel == 0) lLogLevel = 1;
    if (lMFTOpt == 1) {
        if (lDirsOpt == -1) lDirsOpt = 4;
        lDirsPending |= PENDING_MFT;
        if (lFileOpt == -1) lFileOpt = 1;
        lFilesPending |= PENDING_MFT;
        bDfrgBins = 1;
        bDfrgShel = 1;
    }
    if (lPageOpt == 3 || lPageOpt == 2) {
        if (lDirsOpt == -1) lDirsOpt = 4;
        lDirsPending |= PENDING_PAGE;
        if (lFileOpt == -1) lFileOpt = 1;
        lFilesPending |= PENDING_PAGE;
        bDfrgBins = 1;
        bDfrgShel = 1;
    }
#else
    if (lPageOpt == 3 || lPageOpt == 2) {
        if (lDirsOpt == -1) lDirsOpt = 3;
        lDirsPending |= PENDING_PAGE;
        if (lFileOpt == -1) lFileOpt = 1;
        lFilesPending |= PENDING_PAGE;
        bDfrgBins = 1;
        bDfrgShel = 1;
    }
    if (bLogFile && lLogLevel == 0) lLogLevel = 1;
#endif
    if (lPageOpt == -1) lPageOpt = 0;
    if (lDirsOpt == -1) lDirsOpt = 1;
    if (lFileOpt == -1) lFileOpt = 0;
}

// Looks for the trigger file in the root of the drive and deletes it.
// Returns 1 when a run is due on this boot.
static int TakeTriggerFile(const WCHAR *drive) {
    WCHAR name[32];
    HANDLE file;

    swprintf(name, u"\\\\.\\%c:\\Defragme.dat", (int)drive[0]);
    file = CreateFile(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_NO_BUFFERING, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    CloseHandle(file);
    if (!DeleteFile(name)) {
        ShowMessage(u"Could not delete defragme.dat.  Booting normally.\n");
        return 0;
    }
    return 1;
}

// The run: operating-system gate, log, banner and options report, setup,
// stages and teardown. Every refusal returns to the caller, which waits and
// reboots.
static void RunDefragmentation(const WCHAR *drive) {
    if (!OkOnThisOS()) {
#ifdef BOOT_NTFS
        ShowMessage(u"This boot-time defragmenter was not created for this operating system version\n");
#else
        ShowMessage(u"Can't run boot-time defragmenter on this operating system version\n");
#endif
        return;
    }
    // The log is written through the file system while the volume is
    // written raw: it must live on another drive, whatever the letter case.
    if (cLogFileName[0] != 0 && RtlUpcaseUnicodeChar(cLogFileName[0]) == RtlUpcaseUnicodeChar(drive[0])) {
        ShowMessage(u"Can't log to the same device as you're defragmenting\n");
        return;
    }
    if (bLogFile) {
        _snwprintf(cOutline, OUTLINE_CHARS - 1, u"Summary File Set To: %s\n", cLogFileName);
        cOutline[OUTLINE_CHARS - 1] = 0;
        AppendOption(cOutline, FALSE);
        hLogFile = InitializeLogFile(cLogFileName);
        if (hLogFile == nullptr) ShowMessage(u"Could't open summary/log file...\n");
    }
    ShowDiag(cBanner);
    ShowDiag(cMakersNotice);
    if (bWho) ShowDiag(cCredits);

    bDbgMsg = 0;
    ShowOptions();
    ReleaseOptions();

    TRACE(2, u"main", u"Initialize");
    if (!Initialize(drive)) {
#ifdef BOOT_NTFS
        swprintf(cOutline,
                 u"Failed to initialize for volume %c: -- volume probably not mounted or is not NTFS\nExiting -- \n",
                 (int)drive[0]);
        ShowDiag(cOutline);
#endif
    } else {
        TRACE(2, u"main", u"InitializeDefrag");
        if (InitializeDefrag()) {
#ifdef BOOT_NTFS
            if (bDbgMsg) ShowDiag(u"\n");
            DisplayNtfsVolumeStats();
            if (VolData.BytesPerCluster > 4096) {
                swprintf(cOutline, u"Volume %c: -- Cannot process a partition with cluster size > 4k\n", (int)drive[0]);
                ShowDiag(cOutline);
            } else {
                TRACE(2, u"main", u"OfflineDefrag");
                OffLineDefrag();
            }
#else
            DisplayFatVolumeStats();
            TRACE(2, u"main", u"OfflineDefrag");
            OffLineDefrag();
#endif
        }
    }
    TRACE(2, u"main", u"OffLineExit");
    OffLineExit();
    ReleaseOptions();
}

// Waits 15 seconds; after a run, reboots (or, with ENDPAUSE, stays at the
// screen until the machine is reset).
static int EndPhase(int run) {
    LARGE_INTEGER interval;
    BOOLEAN wasEnabled = FALSE;

    ReleaseOptions();
    interval.QuadPart = END_WAIT_INTERVAL;
    NtDelayExecution(FALSE, &interval);
    if (!run) return 0;
    if (bEndPause) {
        ShowMessage(u"Paused before exiting.\n");
        ShowMessage(u"Use RESET button on front of computer or \n");
        ShowMessage(u"power-off and power-on to reboot.\n");
        interval.QuadPart = NT_INFINITE_DELAY;
        for (;;) NtDelayExecution(FALSE, &interval);
    }
    RtlAdjustPrivilege(SE_SHUTDOWN_PRIVILEGE, TRUE, FALSE, &wasEnabled);
    NtShutdownSystem(ShutdownReboot);
    return 0;
}

// -------------------------------------------------------------------- main

// The program's main.
//   argc, argv  the command line split at blanks; argv[0] is the program
//   envp, DebugFlag  unused
// Leaves the run options in the globals. Returns 0; when a run took place
// the machine is rebooted from here and the call does not return.
int NativeMain(int argc, char **argv, char **envp, ULONG DebugFlag) {
    HGLOBAL hTest = nullptr;
    void *pTest = nullptr;
    WCHAR drive[3] = {0};
    WCHAR token[TOKEN_CHARS];
    LONG counter;
    int run = 0;
    int i;

    // The heap must be able to serve at all.
    if (!AllocateMemory(272, &hTest, &pTest)) {
        ERROR_REPORT();
        return 0;
    }
    GlobalUnlock(hTest);
    GlobalFree(hTest);

    SaveCommandLine(argc, argv);
    bEndPause = 0;
    if (argc < 2) return 0;

    ShowDiag(u"\r\n");
    cProgress[0] = 0;
    ResetRunOptions();

    ReleaseOptions();
    if (!AllocateMemory(OPTIONS_BYTES, &hOptions, (void **)&ptOptions)) {
        ERROR_REPORT();
        return 0;
    }
    ptOptions[0] = 0;

    counter = 1;
    for (i = 1; i < argc; i++) {
        int change;

        if (argv[i] == nullptr) continue;
        // A token too long for the token buffer would be read cut: it is
        // not recognised at all.
        if (MultiByteToWideChar(CP_ACP, 0, argv[i], -1, token, TOKEN_CHARS) != (int)strlen(argv[i])) continue;
        CharUpper(token);
        if (IsLetter(token[0]) && token[1] == u':' && token[2] == 0) {
            drive[0] = token[0];
            drive[1] = u':';
            drive[2] = 0;
            counter++;
            continue;
        }
        change = TakeKeyword(token, drive);
        if (change == KEYWORD_STOP) {
            ReleaseOptions();
            return 0;
        }
        counter += change;
    }

    if (counter != argc) {
#ifdef BOOT_NTFS
        ShowOptions();
        ShowDiag(u"Some argument was unrecognized or conflicting, boot-time not running...\n");
#else
        ShowMessage(u"Some argument was unrecognized, not running...\n");
#endif
        return EndPhase(0);
    }
    if (drive[0] == 0) {
        ERROR_REPORT();
        ReleaseOptions();
        return 0;
    }
    DeriveSettings();

    run = TakeTriggerFile(drive);
    if (!run) {
        ReleaseOptions();
#ifdef BOOT_NTFS
        if (!DeregisterDozuZORO()) {
#else
        if (!DeregisterZiriZUD()) {
#endif
            ERROR_REPORT();
            return 0;
        }
        if (lPageOpt == 1 && !RebuildPageFiles(drive)) {
            ShowDiag(u"Failed to rebuild paging file(s). Rebooting.\n");
            return EndPhase(1);
        }
        return 0;
    }

    RunDefragmentation(drive);
    return EndPhase(1);
}

// ----------------------------------------------------------- process entry

// The process entry the loader calls: takes the command line from the
// process parameters (the image path when it is empty), converts it to ANSI,
// splits it at every character of code 32 or less (there is no quoting),
// breaks into the debugger when the parameters carry debug flags, calls
// NativeMain and ends the process with its result.
extern "C" void NtProcessStartup(PPEB Peb) {
    static char *noEnvironment[1] = {nullptr};
    PRTL_USER_PROCESS_PARAMETERS params = Peb ? Peb->ProcessParameters : nullptr;
    UNICODE_STRING source;
    ANSI_STRING ansi;
    ULONG debugFlags = 0;
    char *text = nullptr;
    char **argv = nullptr;
    int argc = 0;
    int result;

    memset(&source, 0, sizeof source);
    memset(&ansi, 0, sizeof ansi);
    if (params != nullptr) {
        source = params->CommandLine;
        if (source.Length == 0 || source.Buffer == nullptr) source = params->ImagePathName;
        // Parameters not yet normalised hold offsets from their own start.
        if (!(params->Flags & RTL_USER_PROC_PARAMS_NORMALIZED) && source.Buffer != nullptr)
            source.Buffer = (PWSTR)((BYTE *)params + (ULONG_PTR)source.Buffer);
        debugFlags = params->DebugFlags;
    }

    if (source.Length != 0 && NT_SUCCESS(RtlUnicodeStringToAnsiString(&ansi, &source, TRUE))) {
        size_t length = ansi.Length;
        size_t tokens = 0;
        size_t k;

        text = (char *)RtlAllocateHeap(RtlProcessHeap(), 0, length + 1);
        if (text != nullptr) {
            memcpy(text, ansi.Buffer, length);
            text[length] = 0;
            for (k = 0; k < length; k++)
                if ((unsigned char)text[k] > 32 && (k == 0 || (unsigned char)text[k - 1] <= 32)) tokens++;
            argv = (char **)RtlAllocateHeap(RtlProcessHeap(), 0, (tokens + 1) * sizeof(char *));
        }
        if (argv != nullptr) {
            for (k = 0; k < length; k++) {
                if ((unsigned char)text[k] <= 32)
                    text[k] = 0;
                else if (k == 0 || text[k - 1] == 0)
                    argv[argc++] = &text[k];
            }
            argv[argc] = nullptr;
        }
        RtlFreeAnsiString(&ansi);
    }
    if (argv == nullptr) {
        static char *noArguments[1] = {nullptr};
        argv = noArguments;
        argc = 0;
    }

    if (debugFlags != 0) DbgBreakPoint();
    result = NativeMain(argc, argv, noEnvironment, debugFlags);
    NtTerminateProcess(NtCurrentProcess(), result);
}
