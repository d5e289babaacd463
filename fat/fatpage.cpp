// The paging-file stages of the FAT run, on the paging file that volume
// setup found in the registry (and, for PAGE=PLACE, recreated as a small
// placeholder):
//   PAGE=PLACE  "Verifying Paging File Placement": the file moves to the
//               start of a zone at the end of the volume, as large as the
//               file's registry maximum and one megabyte more (or PFZONE=),
//               and the free space behind it must let Windows grow it back
//               to that size. The driver runs the check between its stages
//               until it succeeds; then the paging file's path joins the
//               exclusion patterns, so that no later stage moves it.
//   PAGE=MIN    "Minimizing Paging File Fragmentation": a fragmented paging
//               file moves whole into the longest free run, once, after the
//               file stages.
// The paging file is found by walking the tree to its path; both stages
// move it with FATMoveFile, and only when moves are allowed (not NOMOVE).
#include <climits>
#include <cstring>

#include "fat.h"

#define BYTES_PER_MEGABYTE 1048576LL
// Entries of the minimisation's table of longest free runs.
#define PAGE_CANDIDATES 200
// The free-run search of the minimisation starts here.
#define FIRST_TARGET_LCN 2

// Walks the tree to the paging file (a file whose path is cPageFile, in any
// letter case) and builds its extent list into the current-file fields.
// TRUE with *found; FALSE after the error report when the walk fails.
static BOOL LocatePagingFile(BOOL *found) {
    *found = FALSE;
    if (!GetFatBootSector()) {
        ERROR_REPORT();
        return FALSE;
    }
    for (;;) {
        if (!NextFatFile()) {
            ERROR_REPORT();
            return FALSE;
        }
        if (VolData.cFileName[0] == 0) return TRUE;
        if (VolData.bDirectory || _wcsicmp(VolData.cFileName, cPageFile) != 0) continue;
        if (!GetExtentListManuallyFat()) {
            ERROR_REPORT();
            return FALSE;
        }
        *found = TRUE;
        ReleaseTreeHandles();  // the walk ends here
        return TRUE;
    }
}

// Shows "Error: Unable to locate paging file (<path>)!" (ShowDiag).
static void ShowNotLocated(void) {
    _snwprintf(cOutline, OUTLINE_CHARS - 1, u"Error: Unable to locate paging file (%s)!\n", cPageFile);
    cOutline[OUTLINE_CHARS - 1] = 0;
    ShowDiag(cOutline);
}

// The first free run at or after `from`: *lcn and *clusters (0 when none).
static void FirstFreeRunFrom(LONGLONG from, LONGLONG *lcn, LONGLONG *clusters) {
    ULONG *bits = FatBitmapBits();
    LONGLONG cursor = from;

    *lcn = *clusters = 0;
    if (bits != nullptr && from >= 0 && from < VolData.TotalClusters)
        FindFreeExtent(bits, VolData.TotalClusters, &cursor, lcn, clusters);
}

// Takes &llPageFileZone. The placement zone at the end of the volume, once:
// *zone clusters, which, when not given (-1), become the clusters of the
// registry maximum and one megabyte more. FALSE, both bounds -1, when the
// zone does not lie inside the volume: larger than it, or empty (no size
// known, or a PFZONE= of 0 or less), which would leave a check that can
// never succeed.
static BOOL ComputeFatPagingZone(LONGLONG *zone) {
    if (VolData.PagingZoneStartLcn != -1) return TRUE;
    if (*zone == -1) {
        if (llPageFileMax < 0 || llPageFileMax >= LLONG_MAX / BYTES_PER_MEGABYTE - 1)
            *zone = llPageFileMax < 0 ? 0 : LLONG_MAX;
        else
            *zone = (llPageFileMax + 1) * BYTES_PER_MEGABYTE / VolData.BytesPerCluster;
    }
    VolData.PagingZoneStartLcn = VolData.TotalClusters - *zone;
    VolData.PagingZoneEndLcn = VolData.PagingZoneStartLcn + *zone - 1;
    if (*zone <= 0 || VolData.PagingZoneStartLcn < 0 || VolData.PagingZoneEndLcn < 0) {
        VolData.PagingZoneStartLcn = VolData.PagingZoneEndLcn = -1;
        return FALSE;
    }
    return TRUE;
}

// Shows a verdict padded with blanks to 78 characters, then "\n\n".
static void ShowVerdict(const WCHAR *text) { ShowClosingLine(text, 0, u"\n\n"); }

// The placement check of PAGE=PLACE. Takes the stage number for the banner,
// whether the paging file was found, &llPageFileZone and &lPageOpt. Shows
// the banner; no paging file, one the walk does not meet or a zone outside
// the volume skip the stage with their line and set *pageOpt = 0. Otherwise
// the file is placed when it starts at the zone start, or is moved there
// (unless NOMOVE) when the free run at the zone start holds it; there is
// room when the free run behind it holds the rest of the zone. Placed with
// room: *pageOpt = 0, the path joins the exclusion patterns and "Paging File
// Determined to be placed properly"; else "Paging File Target area still
// needs to be cleared", *pageOpt staying 3. Returns TRUE; FALSE on a hard
// failure (the walk, the bitmap, the exclusion list), after the error
// report.
BOOL PlaceVerifyPagingFile(LONG stage, BOOL pageFileFound, LONGLONG *pageFileZone, LONG *pageOpt) {
    LONGLONG runLcn = 0, runClusters = 0;
    BOOL placed = FALSE, room, found = FALSE;

    swprintf(cOutline, u"*** STAGE %ld *** Verifying Paging File Placement\n", stage);
    ShowMessage(cOutline);
    if (!pageFileFound) {
        ShowMessage(u"Paging File not found or FRN passed was invalid; stage skipped\n\n");
        *pageOpt = 0;
        return TRUE;
    }
    if (!LocatePagingFile(&found)) return FALSE;
    if (!found) {
        ShowNotLocated();
        *pageOpt = 0;
        return TRUE;
    }
    if (!ManualGetVolumeBitmap()) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!ComputeFatPagingZone(pageFileZone)) {
        ShowMessage(u"Couldn't compute deterministic placement of paging file; stage skipped\n\n");
        *pageOpt = 0;
        return TRUE;
    }

    if (VolData.NumberOfExtents > 0 && VolData.pExtentList[0].StartingLcn == VolData.PagingZoneStartLcn) {
        placed = TRUE;
    } else {
        FirstFreeRunFrom(VolData.PagingZoneStartLcn, &runLcn, &runClusters);
        if (runClusters > 0 && runLcn == VolData.PagingZoneStartLcn && runClusters >= VolData.NumberOfClusters &&
            bMoveFiles && MoveCurrentEntry(VolData.PagingZoneStartLcn, VolData.NumberOfClusters, nullptr)) {
            placed = TRUE;
            if (!ManualGetVolumeBitmap()) {
                ERROR_REPORT();
                return FALSE;
            }
        }
    }

    FirstFreeRunFrom(VolData.PagingZoneStartLcn + VolData.NumberOfClusters, &runLcn, &runClusters);
    room = runClusters >= *pageFileZone - VolData.NumberOfClusters ? TRUE : FALSE;
    if (placed && room) {
        *pageOpt = 0;
        if (!ExcludePath(cPageFile)) return FALSE;
        ShowVerdict(u"\rPaging File Determined to be placed properly");
    } else {
        ShowVerdict(u"\rPaging File Target area still needs to be cleared");
    }
    return TRUE;
}

// The stage's work after its banner: the paging file found and checked, and
// moved into the longest free run. Returns the files moved (0 or 1) after
// the line of a check that ends the stage, or -1 on a hard failure.
static LONG MinimizePagingFile(FREE_RUN *candidates) {
    BOOL found = FALSE;
    LONGLONG used;

    if (!ManualGetVolumeBitmap() || !LocatePagingFile(&found)) {
        ERROR_REPORT();
        return -1;
    }
    if (!found) {
        ShowNotLocated();
        return 0;
    }
    if (VolData.NumberOfExtents <= 1) {
        ShowDiag(u"Error: Can't force rebuild of a contiguous paging file\n");
        return 0;
    }
    used =
        CollectLongestFreeRuns(FatBitmapBits(), FIRST_TARGET_LCN, VolData.TotalClusters, candidates, PAGE_CANDIDATES);
    if (used == 0 || candidates[0].ClusterCount < VolData.NumberOfClusters) {
        ShowDiag(u"Error: Couldn't find contiguous free space for paging file\n");
        return 0;
    }
    if (!bMoveFiles) return 0;
    if (!MoveCurrentEntry(candidates[0].StartingLcn, VolData.NumberOfClusters, nullptr) || !ManualGetVolumeBitmap()) {
        ShowDiag(u"Error: Unable to move/defragment paging file\n");
        return 0;
    }
    return 1;
}

// The paging-file minimisation stage of PAGE=MIN: the next stage number and
// its banner; without a paging file "Info: No paging file found, skipping
// page filing minimization". Otherwise the paging file is found by the
// walk; one the walk does not meet, one in a single extent and one no free
// run holds whole are left with their line; else it moves (unless NOMOVE)
// to the start of the longest free run, the later of equal ones. Ends with
// "Moved %ld files during paging file fragment minimization". Returns TRUE;
// FALSE on a hard failure (the table, the bitmap or the walk, after the
// error report): the run then ends without its report.
BOOL MinimizePagingFileStage(void) {
    HGLOBAL handle = nullptr;
    FREE_RUN *candidates = nullptr;
    LONG moved;

    ShowStageBanner(u"*** STAGE %ld *** Minimizing Paging File Fragmentation\n");
    if (!bPageFileFound) {
        ShowDiag(u"Info: No paging file found, skipping page filing minimization\n\n");
        return TRUE;
    }
    cProgress[0] = 0;
    if (!AllocateMemory(PAGE_CANDIDATES * sizeof(FREE_RUN), &handle, (void **)&candidates)) {
        ERROR_REPORT();
        return FALSE;
    }
    moved = MinimizePagingFile(candidates);
    ReleaseMemory(&handle, nullptr);
    if (moved < 0) return FALSE;
    ShowClosingLine(u"\rMoved %ld files during paging file fragment minimization", moved, u"\n\n");
    return TRUE;
}
