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
// the options PAGE= implies, messages) come from the program's record,
// BootProgram (program.h).
#include "program.h"

#include <cstring>

// ------------------------------------------------------------- run options
BOOL bMoveFiles = 1;
BOOL bMoveAttrs = 1;
BOOL bDfrgBins = 0;
BOOL bDfrgShel = 0;  // main sets the program's initial value (BootProgram.DfrgShelInitial)
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

static const WCHAR cMakersNotice[] = u"Copyright (C) the boot-time defragmenter developers.\n\n";

const WCHAR cDirsConflict[] = u"Directory options conflict...\n";
const WCHAR cFilesConflict[] = u"File options conflict...\n";
const WCHAR cPageConflict[] = u"Paging file options conflict...\n";

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
    bDfrgShel = BootProgram.DfrgShelInitial;
    bWho = 0;
    bShowEH = 0;
    bEndPause = 0;
    bKybd = 1;
    bLast50 = 0;
    lPageOpt = -1;
    lDirsOpt = -1;
    lFileOpt = -1;
    lMFTOpt = -1;
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
    memset(glFileList, 0, sizeof glFileList);
    glFileListX = 0;
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

    for (i = 0; i < BootProgram.KeywordCount; i++) {
        const KEYWORD *k = &BootProgram.Keywords[i];
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
            return TakeFileList(k, token + length);
        case KW_LOG:
            return TakeLogName(token + length, drive);
        case KW_LEVEL:
            return TakeLevel(k, token + length);
        }
    }
    return 0;
}

// Settings that follow from the options given. (lMFTOpt is set only by the
// NTFS program's keywords.)
static void DeriveSettings(void) {
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
        if (lDirsOpt == -1) lDirsOpt = BootProgram.PageDirsOpt;
        lDirsPending |= PENDING_PAGE;
        if (lFileOpt == -1) lFileOpt = 1;
        lFilesPending |= PENDING_PAGE;
        bDfrgBins = 1;
        bDfrgShel = 1;
    }
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
        ShowMessage(BootProgram.OsRefusal);
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
    ShowDiag(BootProgram.Banner);
    ShowDiag(cMakersNotice);
    if (bWho) ShowDiag(BootProgram.Credits);

    bDbgMsg = 0;
    ShowOptions();
    ReleaseOptions();

    TRACE(2, u"main", u"Initialize");
    if (!Initialize(drive)) {
        if (BootProgram.InitializeFailure != nullptr) {
            swprintf(cOutline, BootProgram.InitializeFailure, (int)drive[0]);
            ShowDiag(cOutline);
        }
    } else {
        TRACE(2, u"main", u"InitializeDefrag");
        if (InitializeDefrag()) {
            if (BootProgram.BlankLineAfterDiagnostics && bDbgMsg) ShowDiag(u"\n");
            BootProgram.DisplayVolumeStats();
            if (BootProgram.MaxBytesPerCluster != 0 && VolData.BytesPerCluster > BootProgram.MaxBytesPerCluster) {
                swprintf(cOutline, BootProgram.ClusterRefusal, (int)drive[0]);
                ShowDiag(cOutline);
            } else {
                TRACE(2, u"main", u"OfflineDefrag");
                OffLineDefrag();
            }
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
        if (BootProgram.ShowOptionsWhenRefused) ShowOptions();
        BootProgram.ShowRefused(BootProgram.RefusedLine);
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
        if (!BootProgram.Deregister()) {
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
