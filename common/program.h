// What makes the frame one program or the other. The frame in common/ is
// built once; each program (ntfs/, fat/) supplies one constant record,
// BootProgram, with its keyword table, texts and the few choices where the
// two programs' frames differ, and defines the routines the frame calls by
// name (Initialize, InitializeDefrag, OffLineDefrag, OffLineExit,
// LegalToMove). Both are bound when the program is linked.
#pragma once

#include "frame.h"

// ------------------------------------------------------------ keywords

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

// One row of a program's keyword table, tested in table order.
typedef struct _KEYWORD {
    const WCHAR *Text;
    BOOL Prefix;  // matches when the token begins with Text
    KEYWORD_KIND Kind;
    BOOL *Flag;   // KW_FLAG
    BOOL *Flag2;  // KW_FLAG, optional second flag
    BOOL FlagValue;
    LONG *Option;  // KW_OPTION
    LONG Value;
    BOOL Pending;  // KW_OPTION: sets the keyword bit (1) in PendingSet
    LONG *PendingSet;
    const WCHAR *Report;
    const WCHAR *Conflict;
} KEYWORD;

#define KEYWORD_FLAG1(text, flag, value, report)                                                                       \
    { text, FALSE, KW_FLAG, &flag, nullptr, value, nullptr, 0, FALSE, nullptr, report, nullptr }
#define KEYWORD_FLAG2(text, flag, flag2, value, report)                                                                \
    { text, FALSE, KW_FLAG, &flag, &flag2, value, nullptr, 0, FALSE, nullptr, report, nullptr }
#define KEYWORD_OPTION(text, option, value, pending, pendingSet, report, conflict)                                     \
    { text, FALSE, KW_OPTION, nullptr, nullptr, 0, &option, value, pending, pendingSet, report, conflict }
#define KEYWORD_SPECIAL(text, kind, report, conflict)                                                                  \
    { text, TRUE, kind, nullptr, nullptr, 0, nullptr, 0, FALSE, nullptr, report, conflict }

// Conflict lines both tables use.
extern const WCHAR cDirsConflict[];
extern const WCHAR cFilesConflict[];
extern const WCHAR cPageConflict[];

// ------------------------------------------------------ the program record

typedef struct _BOOT_PROGRAM {
    // ---- command line and run (entry.cpp)
    const KEYWORD *Keywords;
    ULONG KeywordCount;
    BOOL DfrgShelInitial;  // bDfrgShel before any keyword
    LONG PageDirsOpt;      // lDirsOpt that PAGE=PLACE and PAGE=MIN imply when no DIRS= was given
    const WCHAR *Banner;
    const WCHAR *Credits;  // shown after the banner with WHO
    // Unrecognised or conflicting arguments: the options report first
    // (ShowDiag) when ShowOptionsWhenRefused, then RefusedLine through
    // ShowRefused.
    BOOL ShowOptionsWhenRefused;
    const WCHAR *RefusedLine;
    BOOL (*ShowRefused)(const WCHAR *text);
    const WCHAR *OsRefusal;            // OkOnThisOS said no (ShowMessage)
    const WCHAR *InitializeFailure;    // Initialize failed (ShowDiag, the drive letter as %c); null: nothing shown
    BOOL BlankLineAfterDiagnostics;    // a setup diagnostic line (bDbgMsg) is followed by "\n" before the data
    void (*DisplayVolumeStats)(void);  // the partition data block
    LONGLONG MaxBytesPerCluster;       // larger clusters refuse the run with ClusterRefusal; 0: no limit
    const WCHAR *ClusterRefusal;       // ShowDiag, the drive letter as %c
    BOOL (*Deregister)(void);          // removes the program's BootExecute entry

    // ---- setup gate (setup.cpp)
    BOOL NeedsMountedDevices;  // OkOnThisOS refuses a system without SYSTEM\MountedDevices

    // ---- output (fssubs.cpp)
    BOOL FlushLogWrites;  // the log is flushed after every write

    // ---- exclusions (exclude.cpp)
    const WCHAR *const *BuiltInPatterns;  // in test order; the last four are the recycle bins,
    LONG BuiltInPatternCount;             // the one before them the shell icon cache

    // ---- paging-file preparation (pageprep.cpp)
    BOOL (*ShowRebuildFound)(const WCHAR *text);  // PAGE=ZERO: "Registry Data For Paging File Found" line
    const WCHAR *RebuildFailure;                  // PAGE=ZERO: a paging file that could not be deleted (%s)
    BOOL RebuildClearsPageOpt;                    // PAGE=ZERO: lPageOpt = 0 once the files are deleted
    const WCHAR *MinFound;                        // PAGE=MIN: the found line (%s)
    const WCHAR *MinMoreThanOne;                  // PAGE=MIN: a second paging file
    BOOL MinSecondRefusesSetup;                   // PAGE=MIN: a second paging file makes setup fail
} BOOT_PROGRAM;

// The line of a second paging file where only one can be placed.
extern const WCHAR cMoreThanOne[];

// The program's record (ntfs/bootntfs.cpp or fat/bootfat.cpp).
extern const BOOT_PROGRAM BootProgram;

// Removes every string of the Session Manager's BootExecute value that
// begins with token (any letter case), keeping the rest in order. TRUE, or
// FALSE after the error report with the value left as it was.
BOOL DeregisterBootExecuteToken(const WCHAR *token);

// The first built-in exclusion pattern in use with the run's options
// (DFRGBINS drops the recycle bins, DFRGBINS with DFRGSHEL the shell icon
// cache too) that matches path, or null.
const WCHAR *MatchBuiltInPattern(const WCHAR *path);
// The first user pattern (pExcludes, in row order) that matches path, or
// null; null too without bExcludes.
const WCHAR *MatchUserPattern(const WCHAR *path);
