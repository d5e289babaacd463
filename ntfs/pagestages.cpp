// The paging-file stages of the NTFS run, on the paging file that volume
// setup found in the registry (and, for PAGE=PLACE, recreated as a small
// placeholder):
//   PAGE=PLACE  "Verifying Paging File Placement": the file moves to the
//               start of a zone at the end of the volume, as large as the
//               file's registry maximum (or PFZONE=), and the free space
//               behind it must let Windows grow it back to that size. The
//               driver runs the check before gathering (when PFFRN= names
//               the file) and before each file stage, until it succeeds.
//   PAGE=MIN    "Minimizing Paging File Fragmentation": a fragmented paging
//               file moves whole into the longest free run outside the MFT
//               zone, once, after the file stages.
// Both move the file with NTFSMoveFile and only when moves are allowed
// (not NOMOVE).
#include "bootntfs.h"

#include <climits>

#define BYTES_PER_MEGABYTE 1048576LL
// Entries of the minimisation's table of longest free runs.
#define PAGE_CANDIDATES 200

static const WCHAR cNoFileName[] = u"COULDN'T GET MEMORY FOR FILENAME";
static const WCHAR cFrnMismatch[] =
    u"Paging File FRN passed didn't match pagefile found in registry; stage skipped\n\n";

// Clusters that hold `megabytes` MB, rounded up; 0 for no size, LLONG_MAX
// for a size too large to count in bytes.
static LONGLONG ClustersOfMegabytes(LONGLONG megabytes) {
    if (megabytes <= 0 || VolData.BytesPerCluster <= 0) return 0;
    if (megabytes > LLONG_MAX / BYTES_PER_MEGABYTE) return LLONG_MAX;
    return (megabytes * BYTES_PER_MEGABYTE + VolData.BytesPerCluster - 1) / VolData.BytesPerCluster;
}

// Takes &llPageFileZone. The placement zone [PagingZoneStartLcn,
// PagingZoneEndLcn] at the end of the volume, computed once: as many
// clusters as *pageFileZone, which, when not given (-1), becomes the
// clusters of the registry maximum (llPageFileMax megabytes, rounded up).
// TRUE with the zone set; FALSE, both bounds -1, when the zone does not lie
// inside the volume: larger than the volume, or empty (no size known, or a
// PFZONE= of 0 or less), which would put its start at or past the end.
BOOL ComputePagingZone(LONGLONG *pageFileZone) {
    if (VolData.PagingZoneStartLcn != -1) return TRUE;
    if (*pageFileZone == -1) *pageFileZone = ClustersOfMegabytes(llPageFileMax);
    VolData.PagingZoneStartLcn = VolData.TotalClusters - *pageFileZone;
    VolData.PagingZoneEndLcn = VolData.TotalClusters - 1;
    if (*pageFileZone <= 0 || VolData.PagingZoneStartLcn < 0 || VolData.PagingZoneEndLcn < 0) {
        VolData.PagingZoneStartLcn = -1;
        VolData.PagingZoneEndLcn = -1;
        return FALSE;
    }
    return TRUE;
}

// Takes an LCN inside the volume. The first free run at or after it, on the
// locked volume bitmap: *lcn its start and *clusters its length (both 0 when
// there is none).
static void FirstFreeRunFrom(LONGLONG from, LONGLONG *lcn, LONGLONG *clusters) {
    LONGLONG cursor = from;

    *lcn = 0;
    *clusters = 0;
    if (from >= 0 && from < VolData.TotalClusters)
        FindFreeExtent(pVolumeBitmapBits, VolData.TotalClusters, &cursor, lcn, clusters);
}

// What ReadPagingFileRecord found.
#define PF_READ 1        // the record and its extent list
#define PF_INVALID 2     // no such record number on the volume
#define PF_OTHER 3       // the record is not in use (GetFrs went on to a later one)
#define PF_NO_RECORD 0   // the record cannot be read
#define PF_NO_LIST (-1)  // read, but its extent list cannot be built

// Makes record `frn` the current file, through the given MFT bitmap: its
// record (FileRecordNumber = frn) and its extent list. Returns PF_*.
static LONG ReadPagingFileRecord(LONGLONG frn, BYTE *mftBitmap) {
    if (frn < 0 || frn >= VolData.TotalFileRecords) return PF_INVALID;
    VolData.FileRecordNumber = frn;
    if (!GetFrs(&VolData.FileRecordNumber, VolData.pMftExtentList, mftBitmap, VolData.pMftBuffer,
                (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord))
        return PF_NO_RECORD;
    if (VolData.FileRecordNumber != frn) return PF_OTHER;
    return ManualGetExtentList(0) ? PF_READ : PF_NO_LIST;
}

// The current file's path (the long way) against cPageFile, ignoring case.
// FALSE, with cFileName "COULDN'T GET MEMORY FOR FILENAME", when no path
// can be built; *same tells whether the paths are equal.
static BOOL IsRegisteredPagingFile(BOOL *same) {
    *same = FALSE;
    LastPathFrs = -1;
    if (!ManualGetNtfsFilePath()) {
        wcscpy(VolData.cFileName, cNoFileName);
        return FALSE;
    }
    *same = _wcsicmp(VolData.cFileName, cPageFile) == 0 ? TRUE : FALSE;
    return TRUE;
}

// Shows a line padded with blanks to 78 characters, then "\n\n".
static void ShowVerdict(const WCHAR *text) { ShowClosingLine(text, 0, u"\n\n"); }

// The placement check of PAGE=PLACE. Takes the stage number for the banner,
// the paging file's record number, &llPageFileZone, the locked MFT bitmap
// and &lPageOpt. Shows the banner; a negative record number, a record whose
// path is not cPageFile (the registry's paging file) or a zone that does
// not lie inside the volume skip the stage with their line and set
// *pageOpt = 0. Otherwise the file is placed when its first extent starts
// at the zone start, or is moved there (unless NOMOVE) when the free run at
// the zone start holds it; there is room when the free run behind it holds
// the rest of the zone. Placed with room: *pageOpt = 0, the record goes on
// the excluded list (no later stage moves it) and "Paging File Determined
// to be placed properly"; else "Paging File Target area still needs to be
// cleared" and *pageOpt stays, so that the driver checks again after its
// next stage. Returns TRUE; FALSE on a hard failure: the bitmap (error
// report), the record, its extent list or its path (traces "BadPF1",
// "BadPF2", "BadRoot2"), the excluded list (error report).
BOOL PlaceVerifyPagingFile(LONG stage, LONGLONG pageFileFrn, LONGLONG *pageFileZone, BYTE *mftBitmap, LONG *pageOpt) {
    LONGLONG runLcn = 0, runClusters = 0;
    BOOL placed = FALSE, room, same = FALSE;
    LONG read;

    swprintf(cOutline, u"*** STAGE %ld *** Verifying Paging File Placement\n", stage);
    ShowMessage(cOutline);
    if (pageFileFrn < 0 || pageFileFrn >= VolData.TotalFileRecords) {
        ShowMessage(u"Paging File not found or FRN passed was invalid; stage skipped\n\n");
        *pageOpt = 0;
        return TRUE;
    }
    if (!ReloadVolumeBitmap()) return FALSE;
    read = ReadPagingFileRecord(pageFileFrn, mftBitmap);
    if (read == PF_NO_RECORD || read == PF_NO_LIST) {
        TRACE(3, u"PlaceVerifyPagingFile", read == PF_NO_RECORD ? u"BadPF1" : u"BadPF2");
        return FALSE;
    }
    if (read == PF_OTHER) {
        ShowMessage(cFrnMismatch);  // the record is not in use: it is no paging file
        *pageOpt = 0;
        return TRUE;
    }
    if (!IsRegisteredPagingFile(&same)) {
        TRACE(3, u"PlaceVerifyPagingFile", u"BadRoot2");
        return FALSE;
    }
    if (!same) {
        ShowMessage(cFrnMismatch);
        *pageOpt = 0;
        return TRUE;
    }
    if (!ComputePagingZone(pageFileZone)) {
        ShowMessage(u"Couldn't compute deterministic placement of paging file; stage skipped\n\n");
        *pageOpt = 0;
        return TRUE;
    }

    if (VolData.NumberOfExtents > 0 && VolData.pExtentList[0].StartingLcn == VolData.PagingZoneStartLcn) {
        placed = TRUE;
    } else {
        if (!ReloadVolumeBitmap()) return FALSE;
        FirstFreeRunFrom(VolData.PagingZoneStartLcn, &runLcn, &runClusters);
        if (runClusters > 0 && runLcn == VolData.PagingZoneStartLcn && runClusters >= VolData.NumberOfClusters &&
            bMoveFiles)
            placed = NTFSMoveFile(VolData.PagingZoneStartLcn) ? TRUE : FALSE;
    }

    if (!ReloadVolumeBitmap()) return FALSE;
    FirstFreeRunFrom(VolData.PagingZoneStartLcn + VolData.NumberOfClusters, &runLcn, &runClusters);
    room = runClusters >= *pageFileZone - VolData.NumberOfClusters ? TRUE : FALSE;

    if (placed && room) {
        *pageOpt = 0;
        if (!AddExcludedFrn(pageFileFrn)) return FALSE;
        ShowVerdict(u"\rPaging File Determined to be placed properly");
    } else {
        ShowVerdict(u"\rPaging File Target area still needs to be cleared");
    }
    return TRUE;
}

// The stage's work after its banner: the checks on the paging file
// (llPageFileFRN) and its move into the longest free run. Takes the
// candidate table. Returns the files moved (0 or 1) after its line for a
// check that ends the stage, or -1 on a hard failure (the bitmap).
static LONG MinimizePagingFile(FREE_RUN *candidates) {
    BOOL same = FALSE;
    LONGLONG used;
    LONG read;

    if (!ReloadVolumeBitmap()) return -1;
    MarkMFTZoneUnavailable();  // never offered as free space
    read = ReadPagingFileRecord(llPageFileFRN, pMftBitmapBits);
    if (read != PF_READ && read != PF_NO_LIST) {
        ShowDiag(u"Error: Couldn't get paging file MFT record\n");
        return 0;
    }
    if (read == PF_NO_LIST) {
        ShowDiag(u"Error: Couldn't get paging file extent list\n");
        return 0;
    }
    // A record number given with PFFRN= must name the registry's paging
    // file: the stage moves nothing else (not a system file, not another
    // user's file).
    if (!IsRegisteredPagingFile(&same) || !same) {
        ShowDiag(cFrnMismatch);
        return 0;
    }
    if (VolData.bCompressed) {
        ShowDiag(u"Error: Can't force rebuild of a compressed paging file\n");
        return 0;
    }
    if (VolData.NumberOfExtents <= 1) {
        ShowDiag(u"Error: Can't force rebuild of a contiguous paging file\n");
        return 0;
    }
    used = CollectLongestFreeRuns(pVolumeBitmapBits, 0, VolData.TotalClusters, candidates, PAGE_CANDIDATES);
    if (used == 0 || candidates[0].ClusterCount < VolData.NumberOfClusters) {
        ShowDiag(u"Error: Couldn't find contiguous free space for paging file\n");
        return 0;
    }
    if (!bMoveFiles) return 0;
    return NTFSMoveFile(candidates[0].StartingLcn) ? 1 : 0;
}

// The paging-file minimisation stage of PAGE=MIN: the next stage number and
// its banner; without a paging file "Info: No paging file found, skipping
// paging file minimization". Otherwise the paging file (llPageFileFRN) is
// read; one that cannot be read, is not the registry's paging file, is
// compressed or lies in one extent is left with its line, and one that no
// free run holds whole too; else it moves (unless NOMOVE) to the start of
// the longest free run outside the MFT zone, the one found later among
// equal ones. Ends with "Moved %ld files during paging file fragment
// minimization". Returns TRUE; FALSE on a hard failure (the candidate table
// cannot be had or the bitmap cannot be read, after the error report): the
// run then ends without its report.
BOOL MinimizePagingFileStage(void) {
    HGLOBAL handle = nullptr;
    FREE_RUN *candidates = nullptr;
    LONG moved;

    ShowStageBanner(u"*** STAGE %ld *** Minimizing Paging File Fragmentation\n");
    if (!bPageFileFound) {
        ShowDiag(u"Info: No paging file found, skipping paging file minimization\n\n");
        return TRUE;
    }
    cProgress[0] = 0;
    if (!AllocateMemory(PAGE_CANDIDATES * sizeof(FREE_RUN), &handle, (void **)&candidates)) {
        ERROR_REPORT();
        return FALSE;
    }
    moved = MinimizePagingFile(candidates);
    GlobalUnlock(handle);
    GlobalFree(handle);
    if (moved < 0) return FALSE;
    ShowClosingLine(u"\rMoved %ld files during paging file fragment minimization", moved, u"\n\n");
    return TRUE;
}
