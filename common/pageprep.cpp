// Paging-file preparation during volume setup, by the PAGE= option:
//   PAGE=MIN    the drive's one paging file is recorded for fragment
//               minimisation;
//   PAGE=PLACE  it is recorded and recreated as a small placeholder (when
//               the volume has room for it), so that the later stages can
//               place it;
//   PAGE=ZERO   every paging file of the drive is deleted, so that Windows
//               builds a fresh one, and excluded from the moves.
// The paging files are changed through the file system, before the volume
// setup reads the MFT raw. bootntfs and bootfat differ in a few messages and
// in how a second paging file is handled under PAGE=MIN; the program's
// record (BootProgram) holds the differences.
#include "program.h"

#include <climits>
#include <cstring>

// The placeholder: the 64-byte pattern written 16,385 times (1,048,640 bytes).
static const char cFillPattern[] = "IamaduckIamaduckIamaduckIamaduckIamaduckIamaduckIamaduckIamaduck";
#define FILL_PATTERN_BYTES 64
#define FILL_PATTERN_WRITES 16385
static_assert(sizeof(cFillPattern) == FILL_PATTERN_BYTES + 1, "the fill pattern is 64 characters");

// Waits after the placeholder is written and after a paging file is
// deleted, in 100 ns units (relative).
#define PLACE_WAIT_INTERVAL (-300000000LL)
#define ZERO_WAIT_INTERVAL (-200000000LL)

// Share of the volume kept free beyond the paging file itself, in percent.
#define PLACE_RESERVE_PERCENT 15

#define PAGE_PATH_CHARS 256
#define BYTES_PER_MEGABYTE 1048576LL

const WCHAR cMoreThanOne[] =
    u"Info: Cannot optimize paging files when there's more than one paging file per partition\n";

// Shows a line with one text argument formatted in, through show.
static void ShowWith(BOOL (*show)(const WCHAR *), const WCHAR *format, const WCHAR *text) {
    _snwprintf(cOutline, OUTLINE_CHARS - 1, format, text);
    cOutline[OUTLINE_CHARS - 1] = 0;
    show(cOutline);
}

// Builds "X:\name" into path (PAGE_PATH_CHARS characters). FALSE when it
// does not fit.
static BOOL BuildPagePath(WCHAR *path, WCHAR driveLetter, const WCHAR *name) {
    int written = _snwprintf(path, PAGE_PATH_CHARS - 1, u"%c:\\%s", (int)driveLetter, name);
    path[PAGE_PATH_CHARS - 1] = 0;
    return written >= 0 ? TRUE : FALSE;
}

// Waits for an interval given in 100 ns units (negative: relative).
static void Wait(LONGLONG interval) {
    LARGE_INTEGER delay;

    delay.QuadPart = interval;
    NtDelayExecution(FALSE, &delay);
}

// Records the drive's one paging file in cPageFile/bPageFileFound. A second
// one shows moreThanOne (ShowDiag) and clears bPageFileFound and lPageOpt.
//   driveLetter  the drive; names  the multi-string of pPageFileNames
//   found        the found line's format; show  ShowMessage or ShowDiag
// Returns TRUE with at most one paging file, FALSE after a second one.
static BOOL RecordOnePageFile(WCHAR driveLetter, const WCHAR *names, const WCHAR *found, BOOL (*show)(const WCHAR *),
                              const WCHAR *moreThanOne) {
    const WCHAR *name;
    WCHAR path[PAGE_PATH_CHARS];

    for (name = names; *name != 0; name += wcslen(name) + 1) {
        if (bPageFileFound) {
            ShowDiag(moreThanOne);
            bPageFileFound = 0;
            lPageOpt = 0;
            return FALSE;
        }
        if (!BuildPagePath(path, driveLetter, name)) {
            ERROR_REPORT();
            continue;
        }
        ShowWith(show, found, path);
        bDbgMsg = 1;
        wcscpy(cPageFile, path);
        bPageFileFound = 1;
    }
    return TRUE;
}

// The number of clusters PAGE=PLACE needs free: the larger of the paging
// file's registry maximum and the PFZONE= zone, plus 15 % of the volume.
// The maximum (megabytes) and the zone (clusters) are compared as plain
// numbers. A maximum too large to count in bytes needs more than any volume
// has.
static LONGLONG PlacementClustersNeeded(void) {
    LONGLONG needed;

    if (llPageFileMax > llPageFileZone) {
        if (VolData.BytesPerCluster <= 0 || llPageFileMax > LLONG_MAX / BYTES_PER_MEGABYTE) return LLONG_MAX;
        needed = (llPageFileMax * BYTES_PER_MEGABYTE + VolData.BytesPerCluster - 1) / VolData.BytesPerCluster;
    } else {
        needed = llPageFileZone < 0 ? 0 : llPageFileZone;
    }
    if (needed > LLONG_MAX - VolData.TotalClusters) return LLONG_MAX;
    return needed + VolData.TotalClusters * PLACE_RESERVE_PERCENT / 100;
}

// Recreates cPageFile as the placeholder (hidden, system; the fill pattern
// 16,385 times), then waits 30 seconds. A file that cannot be created is
// reported with a line; a failed or short write only traces (level 7).
static void WritePlaceholder(void) {
    HANDLE file;
    LONG i;

    TRACE(7, u"PreparePageFile", u"PagePlaceFoundF");
    TRACE(7, u"PreparePageFile", u"PagePlaceFoundG");
    file = CreateFile(cPageFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ShowWith(ShowDiag, u"Failed to open Paging File Found as: %s\n", cPageFile);
        bDbgMsg = 1;
        return;
    }
    for (i = 0; i < FILL_PATTERN_WRITES; i++) {
        DWORD done = 0;

        if (!WriteFile(file, cFillPattern, FILL_PATTERN_BYTES, &done, nullptr))
            TRACE(7, u"PreparePageFile", u"PagePlaceFailWriteB");
        else if (done < FILL_PATTERN_BYTES)
            TRACE(7, u"PreparePageFile", u"PagePlaceFailWriteA");
    }
    FlushFileBuffers(file);
    TRACE(7, u"PreparePageFile", u"PagePlaceFoundH");
    CloseHandle(file);
    TRACE(7, u"PreparePageFile", u"PagePlaceFoundI");
    Wait(PLACE_WAIT_INTERVAL);
}

// PAGE=PLACE: records the one paging file and, when the volume has room for
// it, recreates it as the placeholder. FALSE after a second paging file
// (setup fails) or when the registry cannot be read.
static BOOL PreparePlacement(WCHAR driveLetter) {
    TRACE(7, u"PreparePageFile", u"PagePlaceFoundA");
    TRACE(7, u"PreparePageFile", u"PagePlaceFoundB");
    TRACE(7, u"PreparePageFile", u"PagePlaceFoundC");
    TRACE(7, u"PreparePageFile", u"PagePlaceFoundD");
    if (!RecordOnePageFile(driveLetter, pPageFileNames, u"Registry Data For Paging File Found: %s\n", ShowDiag,
                           cMoreThanOne))
        return FALSE;
    TRACE(7, u"PreparePageFile", u"PagePlaceFoundE");
    if (bPageFileFound != 1) return TRUE;

    TRACE(7, u"PreparePageFile", u"PagePlaceFoundJ");
    if (!GetPageFileBounds(cPageFile, &llPageFileMin, &llPageFileMax)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (PlacementClustersNeeded() > VolData.TotalClusters - VolData.UsedClusters) {
        ShowDiag(u"Note: Insufficient free space to guarantee paging file placement\n");
        ShowDiag(u"Paging File Placement will not be performed.\n\n");
        lPageOpt = 0;
        bPageFileFound = 0;
        return TRUE;
    }
    WritePlaceholder();
    return TRUE;
}

// Appends a path to the exclusion patterns: here, so that nothing moves
// into a deleted paging file's place.
BOOL ExcludePath(const WCHAR *path) {
    size_t length = wcslen(path);

    if (length > EXCLUDE_ROW_CHARS - 1 || lExcludes < 0 || lExcludes >= EXCLUDE_ROWS) {
        ERROR_REPORT();
        return FALSE;
    }
    memcpy(pExcludes[lExcludes], path, (length + 1) * sizeof(WCHAR));
    lExcludes++;
    bExcludes = 1;
    if (lExcludes >= EXCLUDE_ROWS) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// PAGE=ZERO: deletes every paging file of the drive (delete, recreate
// empty, delete again, wait 20 seconds) and excludes its path from the
// moves. A file that cannot be deleted is reported and excluded all the
// same. FALSE only when the exclusion list cannot take a path.
static BOOL PrepareRebuild(WCHAR driveLetter) {
    const WCHAR *name;
    WCHAR path[PAGE_PATH_CHARS];

    TRACE(7, u"PreparePageFile", u"PageZeroFound");
    for (name = pPageFileNames; *name != 0; name += wcslen(name) + 1) {
        if (!BuildPagePath(path, driveLetter, name)) {
            ERROR_REPORT();
            return FALSE;
        }
        ShowWith(BootProgram.ShowRebuildFound, u"Registry Data For Paging File Found: %s\n", path);
        bDbgMsg = 1;
        if (DeleteFile(path)) {
            HANDLE file = CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
            DeleteFile(path);
            Wait(ZERO_WAIT_INTERVAL);
        } else {
            ShowWith(ShowDiag, BootProgram.RebuildFailure, path);
        }
        if (!ExcludePath(path)) return FALSE;
    }
    if (BootProgram.RebuildClearsPageOpt) lPageOpt = 0;
    return TRUE;
}

// The paging-file preparation of volume setup, for lPageOpt.
//   driveLetter  the drive being processed (VolData's geometry, TotalClusters
//                and UsedClusters, must be known)
// Leaves the drive's paging-file names in hPageFileNames/pPageFileNames (a
// block released by OffLineExit, replacing any earlier one), and, by mode,
// cPageFile, bPageFileFound, llPageFileMin/llPageFileMax, the exclusion
// patterns and bDbgMsg; lPageOpt drops to 0 when the work is impossible or
// done. Returns TRUE; FALSE (setup fails) when the registry cannot be read,
// a second paging file makes PAGE=MIN (bootntfs) or PAGE=PLACE impossible,
// or the exclusion list cannot take a deleted paging file's path.
BOOL PreparePageFile(WCHAR driveLetter) {
    cPageFile[0] = 0;
    bPageFileFound = 0;
    llPageFileMin = -1;
    llPageFileMax = -1;
    llPageFileClusterCount = 0;
    llPageFileExtentCount = 0;
    if (hPageFileNames != nullptr) {
        GlobalUnlock(hPageFileNames);
        GlobalFree(hPageFileNames);
        hPageFileNames = nullptr;
        pPageFileNames = nullptr;
    }
    if (!GetPagefileNames(driveLetter, &hPageFileNames, &pPageFileNames)) {
        ERROR_REPORT();
        return FALSE;
    }

    switch (lPageOpt) {
    case 2:
        TRACE(7, u"PreparePageFile", u"PageMinFound");
        // A second paging file refuses the setup (bootntfs) or only switches
        // minimisation off (bootfat).
        if (!RecordOnePageFile(driveLetter, pPageFileNames, BootProgram.MinFound, ShowMessage,
                               BootProgram.MinMoreThanOne))
            return BootProgram.MinSecondRefusesSetup ? FALSE : TRUE;
        return TRUE;
    case 3:
        return PreparePlacement(driveLetter);
    case 1:
        return PrepareRebuild(driveLetter);
    default:
        return TRUE;
    }
}
