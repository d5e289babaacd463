// The NTFS defragmentation run of bootntfs: OffLineDefrag and its stages.
//
// A run is a fixed sequence of numbered stages chosen by the run options:
// the MFT and paging-file work (entered before gathering and again before
// each file stage), the gathering scan, the directory and attribute stages,
// the list stage (FILES=LIST) or the five file stages (FILES=FULL), the
// paging-file minimisation, the last-files list (LAST50) and the report.
//
// No file list survives from one stage to the next: every scan walks the MFT
// again by record number (the record walk below) and every stage re-reads
// the volume bitmap from disk, so each stage sees the moves of the ones
// before it. Where a file may go is decided here, on the in-memory bitmap,
// always on clusters that bitmap shows free; NTFSMoveFile then moves the
// file in its crash-safe order and leaves the bitmap in memory equal to the
// one on disk again.
#include "bootntfs.h"

#include <cstring>

// ------------------------------------------------------------ run state
LONGLONG llFilesLocated = 0;
LONGLONG llDirClusters = 0;
LONGLONG llAttribClusters = 0;
LONG lGatherMask = 0;
LONGLONG llMftFirstLcn = 0;
ULONG *pVolumeBitmapBits = nullptr;
BYTE *pMftBitmapBits = nullptr;
LONG lLast50 = 0;

// Bytes before the bits in the volume bitmap block (starting LCN, size).
#define VOLUME_BITMAP_HEADER 16
// Width of a label of the moved-object table.
#define TABLE_LABEL_CHARS 68
// The name stored for a file whose path cannot be built.
static const WCHAR cNoFileName[] = u"COULDN'T GET MEMORY FOR FILENAME";
// The filler of the moved-object table's labels: 59 dots.
static const WCHAR cTableFiller[] = u"...........................................................";
static_assert(sizeof(cTableFiller) / sizeof(WCHAR) == 60, "59 dots");

// Percentage display of file stages 2 to 5: records counted, total work,
// display step.
static LONGLONG llPercentCount = 0;
static LONGLONG llPercentTotal = 1;
static LONGLONG llPercentStep = 1;

// ============================================================ shared pieces

// Takes the result of a re-read of the volume bitmap; FALSE (after the
// error report) when it failed. Locks the volume bitmap and the MFT bitmap
// as ReloadVolumeBitmap says.
static BOOL LockVolumeBitmaps(BOOL reread) {
    BYTE *block;

    if (!reread) {
        ERROR_REPORT();
        return FALSE;
    }
    block = (BYTE *)GlobalLock(VolData.hVolumeBitmap);
    if (block == nullptr) {
        ERROR_REPORT();
        return FALSE;
    }
    GlobalUnlock(VolData.hVolumeBitmap);
    pVolumeBitmapBits = (ULONG *)(block + VOLUME_BITMAP_HEADER);

    pMftBitmapBits = (BYTE *)GlobalLock(VolData.hMftBitmap);
    if (pMftBitmapBits == nullptr) {
        ERROR_REPORT();
        return FALSE;
    }
    GlobalUnlock(VolData.hMftBitmap);
    return TRUE;
}

// Takes nothing. Re-reads the volume bitmap from the volume's bitmap file
// (DirectReadVolumeBitmap: the stage sees what the file system and the
// stages before it left) and locks the volume bitmap and the MFT bitmap:
// both blocks are locked and unlocked again at once, and the addresses stay
// in use (pVolumeBitmapBits: the bits after the 16-byte header;
// pMftBitmapBits). Returns FALSE after the error report when the re-read or
// a lock fails; the run must then end.
BOOL ReloadVolumeBitmap(void) { return LockVolumeBitmaps(DirectReadVolumeBitmap()); }

// ReloadVolumeBitmap for a re-read mid-stage, that can only give what the
// run itself last wrote: answered from the copy of the disk's bitmap when
// one is kept (RereadVolumeBitmap).
static BOOL RefreshVolumeBitmap(void) { return LockVolumeBitmaps(RereadVolumeBitmap()); }

// The bit of a cluster in the locked volume bitmap: TRUE = in use. Clusters
// outside the volume count as in use.
static BOOL ClusterInUse(LONGLONG lcn) {
    if (lcn < 0 || lcn >= VolData.TotalClusters || pVolumeBitmapBits == nullptr) return TRUE;
    return VolumeClusterInUse(lcn);
}

// Takes FileRecordNumber. Reads the next record in use at or after it into
// pFileRecord (GetFrs through the MFT's extents and the locked MFT bitmap),
// moving FileRecordNumber to it. Returns WALK_END when no record in use is
// left, WALK_SKIP when the read fails or the record is an extension record
// (link count 0), else WALK_READ.
LONG ReadWalkRecord(void) {
    PFILE_RECORD_SEGMENT_HEADER record = (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord;

    if (VolData.FileRecordNumber >= VolData.TotalFileRecords) return WALK_END;
    if (!GetFrs(&VolData.FileRecordNumber, VolData.pMftExtentList, pMftBitmapBits, VolData.pMftBuffer, record))
        return WALK_SKIP;
    if (VolData.FileRecordNumber >= VolData.TotalFileRecords) return WALK_END;
    if (record->ReferenceCount == 0) return WALK_SKIP;
    return WALK_READ;
}

// One step of the record walk: ReadWalkRecord, then the record's extent
// list (ManualGetExtentList(0)), which fills the current-file fields of
// VolData. Returns WALK_READ with the current file ready, WALK_SKIP when
// the record or its list cannot be had, WALK_END at the end of the MFT.
LONG WalkFile(void) {
    LONG read = ReadWalkRecord();

    if (read != WALK_READ) return read;
    if (!ManualGetExtentList(0)) return WALK_SKIP;
    return WALK_READ;
}

// Walks from FileRecordNumber to the next file WalkFile reads, passing the
// records it skips. TRUE with the current file ready; FALSE at the end of
// the MFT.
static BOOL WalkToNextFile(void) {
    for (; VolData.FileRecordNumber < VolData.TotalFileRecords; VolData.FileRecordNumber++) {
        LONG walk = WalkFile();
        if (walk == WALK_END) return FALSE;
        if (walk == WALK_READ) return TRUE;
    }
    return FALSE;
}

// Reads the record `number` (the MFT or the root directory, whose reading
// the run cannot do without) with its extent list into the current-file
// fields, through the given MFT bitmap; FileRecordNumber becomes the
// number. FALSE, after the trace `badRecord` (the record) or `badList` (its
// extent list) at log level 3, when it cannot be had.
static BOOL ReadFixedRecord(LONGLONG number, BYTE *mftBitmap, const WCHAR *badRecord, const WCHAR *badList) {
    VolData.FileRecordNumber = number;
    if (!GetFrs(&VolData.FileRecordNumber, VolData.pMftExtentList, mftBitmap, VolData.pMftBuffer,
                (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord) ||
        VolData.FileRecordNumber != number) {
        TRACE(3, u"OffLineDefrag", badRecord);
        return FALSE;
    }
    if (!ManualGetExtentList(0)) {
        TRACE(3, u"OffLineDefrag", badList);
        return FALSE;
    }
    return TRUE;
}

// Reads record 0 (the MFT) with its extent list into the current-file
// fields; FileRecordNumber becomes 0. FALSE, after the trace "BadMFT1" (the
// record) or "BadMFT2" (its extent list) at log level 3, when it cannot be
// had: the run must end.
BOOL ReadMftRecord(void) { return ReadMftRecordThrough(pMftBitmapBits); }

// ReadMftRecord through the given MFT bitmap (a stage's argument).
BOOL ReadMftRecordThrough(BYTE *mftBitmap) {
    if (!ReadFixedRecord(MFT_RECORD_MFT, mftBitmap, u"BadMFT1", u"BadMFT2")) return FALSE;
    if (VolData.NumberOfExtents < 1) {
        TRACE(3, u"OffLineDefrag", u"BadMFT2");
        return FALSE;
    }
    return TRUE;
}

// The record walk for the one record FileRecordNumber names (or, when it is
// not in use, the next one in use). TRUE with the current file ready.
BOOL WalkOneRecord(void) { return WalkFile() == WALK_READ ? TRUE : FALSE; }

// Builds the current record's full path in cFileName. A path that the
// quick form (built from the previous path) cannot give is built again the
// long way, from the root, before the file is given up: otherwise every
// later file of the same directory would be left without a name, and
// without its exclusion test. Returns TRUE; FALSE with cFileName set to
// "COULDN'T GET MEMORY FOR FILENAME" when no path can be built.
BOOL GetCurrentPath(void) {
    if (ManualGetNtfsFilePath()) return TRUE;
    LastPathFrs = -1;
    if (ManualGetNtfsFilePath()) return TRUE;
    wcscpy(VolData.cFileName, cNoFileName);
    LastPathFrs = -1;
    return FALSE;
}

// TRUE when the current file's runs all live in its base record and that
// record holds a second $DATA attribute (a named stream beside the data):
// such a file is left where it is, like the files the raw readers refuse
// for several streams spread over their records.
BOOL HasSeveralDataStreams(void) {
    PFILE_RECORD_SEGMENT_HEADER record = (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord;
    PATTRIBUTE_RECORD_HEADER attribute = nullptr;
    ULONG position = 0;

    if (!VolData.bNonResident || record == nullptr) return FALSE;
    if (!FindAttribute(ATTR_DATA, record, &attribute, (ULONG)VolData.BytesPerFRS, &position)) return FALSE;
    return FindNextAttribute(ATTR_DATA, record, &attribute, (ULONG)VolData.BytesPerFRS, &position);
}

// The current file (or directory) may move: it has clusters, may be moved
// (LegalToMove), its runs are non-resident (in the base record or in several
// records), and it has a single data stream.
BOOL IsMovable(void) {
    if (VolData.NumberOfClusters <= 0) return FALSE;
    if (!VolData.bNonResident && !VolData.bHugeFile && !VolData.bMegaFile) return FALSE;
    if (!LegalToMove()) return FALSE;
    return HasSeveralDataStreams() ? FALSE : TRUE;
}

// The candidate filter of the file stages, on the current file: not a
// directory, and movable.
BOOL IsFileCandidate(void) { return VolData.bDirectory ? FALSE : IsMovable(); }

// TRUE when lcn lies in the MFT area [MftZoneStart, MftZoneLimit].
BOOL InMftArea(LONGLONG lcn) { return lcn >= VolData.MftZoneStart && lcn <= VolData.MftZoneLimit; }

// Takes a cluster count and a window [start, end). First-fit search over
// the locked volume bitmap: repeated FindFreeExtent from start with end as
// range end, shorter runs passed over. Only the part of a run inside the
// window counts (FindFreeExtent may report a run up to 31 clusters past its
// range end). Returns TRUE with the start of the first run of at least
// `needed` free clusters in *destination; FALSE when there is none (or no
// bitmap).
BOOL FirstFitSearchFor(LONGLONG needed, LONGLONG start, LONGLONG end, LONGLONG *destination) {
    LONGLONG cursor = start < 0 ? 0 : start;

    if (end > VolData.TotalClusters) end = VolData.TotalClusters;
    if (pVolumeBitmapBits == nullptr || needed <= 0) return FALSE;
    while (cursor < end) {
        LONGLONG lcn = 0, clusters = 0;
        cursor = SkipShortFreeRuns(pVolumeBitmapBits, cursor, needed);
        if (cursor >= end) return FALSE;
        FindFreeExtent(pVolumeBitmapBits, end, &cursor, &lcn, &clusters);
        if (clusters == 0) return FALSE;
        if (lcn + clusters > end) clusters = end - lcn;
        if (clusters >= needed) {
            *destination = lcn;
            return TRUE;
        }
    }
    return FALSE;
}

// The first-fit search for the current file's NumberOfClusters clusters.
BOOL FirstFitSearch(LONGLONG start, LONGLONG end, LONGLONG *destination) {
    return FirstFitSearchFor(VolData.NumberOfClusters, start, end, destination);
}

// Takes a window [start, end). Sets the search window and asks FindFreeSpace
// for the first run that holds NumberOfClusters clusters (the MFT zone cut
// out as FindFreeSpace does). TRUE when FoundLcn is the start of such a run
// inside the window; FALSE when the search fails or finds none.
BOOL FindFreeSpaceInWindow(LONGLONG start, LONGLONG end) {
    VolData.SearchStartLcn = start;
    VolData.SearchEndLcn = end;
    if (!FindFreeSpace(FFS_FIRST_FIT)) return FALSE;
    if (VolData.FoundLcn > VolData.SearchEndLcn) return FALSE;
    if (VolData.FoundLen < VolData.NumberOfClusters || VolData.FoundLen <= 0) return FALSE;
    return TRUE;
}

// Takes a destination LCN whose run of NumberOfClusters clusters is free.
// With NOMOVE does nothing (FALSE). Otherwise shows, at log level 4 and up,
// the file (its path is fetched for that line) and its extents, then
// "Found space ..." and moves the current file with NTFSMoveFile. Returns
// TRUE when the file moved. FileRecordNumber is kept.
BOOL MoveStep(LONGLONG destination) {
    LONGLONG current = VolData.FileRecordNumber;
    LONGLONG i;
    BOOL moved;

    if (!bMoveFiles) return FALSE;
    if (lLogLevel >= 4) {
        GetCurrentPath();
        _snwprintf(cOutline, OUTLINE_CHARS - 1, u"Name=%s, Size = %ld Clusters, #Extents=%ld, #Fragments=%ld\n",
                   VolData.cFileName, (LONG)VolData.NumberOfClusters, (LONG)VolData.NumberOfExtents,
                   (LONG)VolData.NumberOfFragments);
        cOutline[OUTLINE_CHARS - 1] = 0;
        ShowMessage(cOutline);
        for (i = 0; i < VolData.NumberOfExtents; i++) {
            const EXTENT_LIST *e = &VolData.pExtentList[i];
            if (i > 0 && lLogLevel < 6) break;
            swprintf(cOutline, u"...Exnt#=%06ld, Lcns=0x%08lx-0x%08lx\n", (LONG)i, (LONG)e->StartingLcn,
                     (LONG)(e->StartingLcn + e->ClusterCount - 1));
            ShowMessage(cOutline);
        }
    }
    swprintf(cOutline, u"Found space at Lcn=0x%08lx for %ld Clusters\n", (LONG)destination,
             (LONG)VolData.NumberOfClusters);
    ShowDiag(cOutline);
    TRACE(5, u"OffLineDefrag", u"NTFSMoveFile");
    moved = NTFSMoveFile(destination);
    VolData.FileRecordNumber = current;
    return moved ? TRUE : FALSE;
}

// Takes the MFT's first LCN and cluster count (record 0 as the run found
// it). Sets MftClusters and the MFT area that placement keeps clear: when
// the MFT reaches past the MFT zone, up to 20 clusters behind the MFT;
// otherwise the zone's end, moved halfway back toward the MFT's end when
// less than 25% of the volume is free. MftZoneLimitBase keeps the value
// before that halving.
void SetMftArea(LONGLONG mftFirstLcn, LONGLONG mftClusters) {
    LONGLONG behind = mftFirstLcn + mftClusters + 20;

    VolData.MftClusters = mftClusters;
    if (mftFirstLcn + mftClusters - 1 > VolData.MftZoneEnd) {
        VolData.MftZoneLimit = VolData.MftZoneLimitBase = behind;
        return;
    }
    VolData.MftZoneLimit = VolData.MftZoneLimitBase = VolData.MftZoneEnd;
    if (VolData.TotalClusters > 0 && (VolData.TotalClusters - VolData.UsedClusters) * 100 / VolData.TotalClusters < 25)
        VolData.MftZoneLimit = behind + (VolData.MftZoneEnd - behind) / 2;
}

// Arms the percentage display for total records of work; the display step
// is a twentieth of it, at least 1.
void StartPercentage(LONGLONG total) {
    llPercentCount = 0;
    llPercentTotal = total > 0 ? total : 1;
    llPercentStep = llPercentTotal / 20;
    if (llPercentStep < 1) llPercentStep = 1;
}

// The percentage of the work counted: count x 100 / total + 1, kept within
// 0 to 99.
LONG CurrentPercentage(void) {
    LONGLONG percentage = llPercentCount * 100 / llPercentTotal + 1;

    if (percentage > 99) percentage = 99;
    if (percentage < 0) percentage = 0;
    return (LONG)percentage;
}

// Counts one record; every step-th one shows "\r[nn%] " (ShowProgress).
void CountPercentage(void) {
    llPercentCount++;
    if (llPercentCount % llPercentStep != 0) return;
    swprintf(cOutline, cPro, (int)CurrentPercentage());
    ShowProgress(cOutline);
}

// Puts the current percentage into cProgress, the prefix of the move lines.
void PercentageToProgress(void) {
    _snwprintf(cProgress, 31, cPro, (int)CurrentPercentage());
    cProgress[31] = 0;
}

// ======================================================== work of other stages

// Runs the MFT stage when lMFTOpt is still 1; a stage that finishes the MFT
// (lMFTOpt 0) drops what only MFT=MIN asked for. FALSE on a hard failure.
static BOOL RunMftStage(void) {
    if (lMFTOpt != 1) return TRUE;
    lStageNumber++;
    if (!PartialDefragMFT(lStageNumber, pMftBitmapBits, llMftFirstLcn, VolData.MftClusters, &lMFTOpt)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (lMFTOpt == 0) PendingUpdate(2);
    return TRUE;
}

// Runs the paging-file placement check when PAGE=PLACE is still pending and
// the paging file is known; finished placement drops what only the paging
// option asked for. FALSE on a hard failure.
static BOOL RunPlacementStage(void) {
    if (lPageOpt != 3 || !bPageFileFound || llPageFileFRN == -1) return TRUE;
    lStageNumber++;
    if (!PlaceVerifyPagingFile(lStageNumber, llPageFileFRN, &llPageFileZone, pMftBitmapBits, &lPageOpt)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (lPageOpt == 0) PendingUpdate(4);
    return TRUE;
}

// The interleave run before every file stage and after the last: MFT first,
// then the paging file. FALSE on a hard failure.
static BOOL Interleave(void) {
    if (!RunMftStage()) return FALSE;
    return RunPlacementStage();
}

// ============================================================== gathering

// Adds the current file's clusters to the directory clusters when it is a
// directory (with the level-7 line).
static void CountDirectory(void) {
    if (!VolData.bDirectory) return;
    llDirClusters += VolData.NumberOfClusters;
    if (lLogLevel >= 7) {
        _snwprintf(cOutline, OUTLINE_CHARS - 1, u"\nFound Directory: %s, NumClusters: %ld\n", VolData.cFileName,
                   (LONG)VolData.NumberOfClusters);
        cOutline[OUTLINE_CHARS - 1] = 0;
        ShowDiag(cOutline);
    }
}

// Recognises the paging file by its path (PAGE=MIN or PAGE=PLACE): when its
// record is not known yet, a paging file in one piece needs no PAGE=MIN
// work; otherwise its record number, clusters and extents are recorded.
// Under PAGE=MIN the paging file is then put on the excluded list: the file
// stages leave it to the minimisation stage after them, which moves it
// whole into the longest free run (defragmented first by a file stage, it
// would only meet a paging file in one piece there). FALSE when the
// excluded list cannot grow (the run ends).
static BOOL RecognisePagingFile(void) {
    if (lPageOpt != 2 && lPageOpt != 3) return TRUE;
    if (!bPageFileFound || _wcsicmp(VolData.cFileName, cPageFile) != 0) return TRUE;
    if (llPageFileFRN == -1) {
        if (lPageOpt == 2 && VolData.NumberOfFragments < 2) {
            ShowDiag(u"Info: Paging file is not fragmented; skipping paging file processing\n");
            lPageOpt = 0;
            return TRUE;
        }
        llPageFileFRN = VolData.FileRecordNumber;
        llPageFileClusterCount = VolData.NumberOfClusters;
        llPageFileExtentCount = VolData.NumberOfExtents;
    }
    if (lPageOpt == 2 && VolData.FileRecordNumber == llPageFileFRN) return AddExcludedFrn(llPageFileFRN);
    return TRUE;
}

// The gathering scan: counts the files (llFilesLocated), the directory and
// attribute clusters, records the excluded files (CheckExcluded) and finds
// the paging file. FALSE ends the run (record 5 unreadable: a trace line
// only; the excluded list unable to grow: the error report).
static BOOL GatherPartitionData(void) {
    LONG walk;

    ShowStageBanner(u"*** STAGE %ld *** Gathering Partition Data\n");

    // The root directory first.
    if (!ReadFixedRecord(MFT_RECORD_ROOT, pMftBitmapBits, u"BadRoot2", u"BadRoot1")) return FALSE;
    if (!ManualGetNtfsFilePath()) {
        wcscpy(VolData.cFileName, cNoFileName);
        TRACE(3, u"OffLineDefrag", u"BadRoot2");
        return FALSE;
    }
    llFilesLocated++;
    llAttribClusters += VolData.AttribClusters;
    VolData.bDirectory = TRUE;
    CountDirectory();

    InitializeProgress(VolData.TotalFileRecords, 100);
    lGatherMask = 0;
    if (lPageOpt == 2 || lPageOpt == 3 || lFileOpt == 1 || lFileOpt == 2 || lDirsOpt == 3 || lDirsOpt == 4)
        lGatherMask |= 1;
    if (lDirsOpt >= 1 && lDirsOpt <= 4) lGatherMask |= 2;

    for (VolData.FileRecordNumber = FIRST_USER_RECORD; VolData.FileRecordNumber < VolData.TotalFileRecords;
         VolData.FileRecordNumber++) {
        walk = ReadWalkRecord();
        if (walk == WALK_END) break;
        if (walk == WALK_SKIP) continue;
        VolData.LowestLcn = 0;
        llFilesLocated++;
        UpdateProgress();
        if (llFilesLocated % 100 == 0) {
            ForceProgress();
            swprintf(cOutline, u"\r%sLocated %ld files...        ", cProgress, (LONG)llFilesLocated);
            ShowProgress(cOutline);
        }
        if (!ManualGetExtentList(0)) continue;
        llAttribClusters += VolData.AttribClusters;
        if (lGatherMask == 2 && !IsDirectory()) continue;
        GetCurrentPath();
        if (bShowEH && VolData.bMegaFile) {
            _snwprintf(cOutline, OUTLINE_CHARS - 1, u"\nInfo: ExHuge File: %s\n", VolData.cFileName);
            cOutline[OUTLINE_CHARS - 1] = 0;
            ShowDiag(cOutline);
        }
        if (!CheckExcluded()) {
            ERROR_REPORT();
            return FALSE;
        }
        if (!RecognisePagingFile()) return FALSE;
        CountDirectory();
    }
    return TRUE;
}

// ============================================================ file stages

// The fragmented file's last resort of file stages 1 and 2: the bitmap read
// again with only the MFT's own clusters closed, so that free space inside
// the MFT area may take the file. *found / *destination as FirstFitSearch
// over [0, end). FALSE when the bitmap cannot be read again (hard failure).
static BOOL FragmentedFallback(LONGLONG end, BOOL *found, LONGLONG *destination) {
    *found = FALSE;
    if (!RefreshVolumeBitmap()) return FALSE;
    if (!MarkZoneUnavailable(llMftFirstLcn, VolData.MftClusters)) return TRUE;
    *found = FirstFitSearch(0, end, destination);
    return TRUE;
}

// File stage 1: 16 passes, pass p treating the files that start in the last
// (16 - p) sixteenths of the volume. A fragmented file may go anywhere (as
// a last resort into the MFT area), a contiguous one inside the MFT area
// anywhere outside it, any other contiguous file only toward the front.
static BOOL FileStageConsolidate16(void) {
    LONGLONG moved = 0;
    LONG pass;

    ShowStageBanner(u"*** STAGE %ld *** Defragmenting Files and Consolidating Free Space\n");
    if (!ReloadVolumeBitmap()) return FALSE;
    InitializeProgress(llFilesLocated * 16, 20);
    for (pass = 15; pass >= 0; pass--) {
        LONGLONG threshold = (VolData.TotalClusters / 16) * pass;
        LONGLONG movedInPass = 0;
        for (VolData.FileRecordNumber = FIRST_USER_RECORD; WalkToNextFile(); VolData.FileRecordNumber++) {
            LONGLONG end, destination = 0;
            BOOL found;

            UpdateProgress();
            if (!IsFileCandidate() || VolData.LowestLcn < threshold) continue;
            ForceProgress();
            if (!MarkMFTZoneUnavailable()) continue;
            end = (VolData.bFragmented || InMftArea(VolData.LowestLcn)) ? VolData.TotalClusters : VolData.LowestLcn;
            found = FirstFitSearch(0, end, &destination);
            if (found && destination > end) continue;
            if (!found && VolData.bFragmented && !FragmentedFallback(end, &found, &destination)) return FALSE;
            if (!found) continue;
            if (MoveStep(destination)) {
                moved++;
                movedInPass++;
            }
        }
        if (movedInPass == 0 && pass > 1) pass = 1;  // the next pass is pass 0
    }
    ShowClosingLine(u"\rMoved %ld files during free space consolidation", moved, u"\n\n");
    return TRUE;
}

// The highest LowestLcn of the contiguous, non-resident files with clusters
// (0 when none): the top of file stage 2's gap region.
static LONGLONG TopOfContiguousFiles(void) {
    LONGLONG top = 0;

    for (VolData.FileRecordNumber = FIRST_USER_RECORD; WalkToNextFile(); VolData.FileRecordNumber++) {
        if (VolData.bDirectory || VolData.bResident || VolData.bFragmented || VolData.NumberOfClusters <= 0) continue;
        if (VolData.LowestLcn > top) top = VolData.LowestLcn;
    }
    return top;
}

// File stage 2, closing gaps: in up to 9 rounds, files below the top that
// have a free cluster right before them move into the first space that
// holds them (toward the front for a contiguous file), or else out of the
// gap region behind the top, so that their old place joins the gap.
static BOOL FileStageCloseGaps(void) {
    LONGLONG moved = 0;
    LONG round;

    ShowStageBanner(u"*** STAGE %ld *** Defragmenting Files and Closing Gaps in Free Space\n");
    if (!ReloadVolumeBitmap()) return FALSE;
    StartPercentage(llFilesLocated * 8);
    for (round = 0; round <= 8; round++) {
        LONGLONG top = TopOfContiguousFiles();
        LONGLONG movedInRound = 0;
        for (VolData.FileRecordNumber = FIRST_USER_RECORD + round * (llFilesLocated / 8); WalkToNextFile();
             VolData.FileRecordNumber++) {
            LONGLONG end, destination = 0;
            BOOL found;

            CountPercentage();
            if (VolData.LowestLcn == 0 || ClusterInUse(VolData.LowestLcn - 1)) continue;
            if (!IsFileCandidate() || VolData.LowestLcn >= top) continue;
            PercentageToProgress();
            end = VolData.bFragmented ? VolData.TotalClusters : VolData.LowestLcn;
            if (!MarkMFTZoneUnavailable()) continue;
            found = FirstFitSearch(0, end, &destination);
            if (!found && VolData.bFragmented && !FragmentedFallback(end, &found, &destination)) return FALSE;
            if (!found || destination > end) found = FirstFitSearch(top + 1, VolData.TotalClusters, &destination);
            if (!found) continue;
            if (MoveStep(destination)) {
                moved++;
                movedInRound++;
            }
        }
        if (movedInRound == 0 && round < 7) round = 7;  // the next round is round 8
    }
    ShowClosingLine(u"\rMoved %ld files during gap adjustment", moved, u"\n\n");
    cProgress[0] = 0;
    return TRUE;
}

// File stages 3 and 5: 8 passes, pass p treating the files that start in the
// last (8 - p) eighths of the volume, each moved to the first free space
// outside the MFT zone that holds it (a contiguous file only toward the
// front). The MFT-area variant (stage 5) also treats, in every pass, the
// files that start inside the MFT area, and moves a contiguous file only to
// space ending before the cluster in front of it.
static BOOL FileStageConsolidate8(BOOL mftAreaVariant) {
    LONGLONG moved = 0;
    LONG pass;

    ShowStageBanner(u"*** STAGE %ld *** Defragmenting Files and Consolidating Free Space\n");
    if (!ReloadVolumeBitmap()) return FALSE;
    StartPercentage(llFilesLocated * 8);
    for (pass = 7; pass >= 0; pass--) {
        LONGLONG threshold = (VolData.TotalClusters / 8) * pass;
        LONGLONG movedInPass = 0;
        for (VolData.FileRecordNumber = FIRST_USER_RECORD; WalkToNextFile(); VolData.FileRecordNumber++) {
            LONGLONG end;

            CountPercentage();
            if (!IsFileCandidate()) continue;
            if (VolData.LowestLcn < threshold && !(mftAreaVariant && InMftArea(VolData.LowestLcn))) continue;
            PercentageToProgress();
            if (VolData.bFragmented)
                end = VolData.TotalClusters;
            else
                end = mftAreaVariant ? VolData.LowestLcn - 1 : VolData.LowestLcn;
            if (!MarkMFTZoneUnavailable()) continue;
            if (!FindFreeSpaceInWindow(0, end)) continue;
            if (MoveStep(VolData.FoundLcn)) {
                moved++;
                movedInPass++;
            }
        }
        if (movedInPass == 0 && pass > 1) pass = 1;  // the next pass is pass 0
    }
    ShowClosingLine(u"\rMoved %ld files during free space consolidation", moved, u"\n\n");
    return TRUE;
}

// File stage 4: every fragmented file moves to the first free run outside
// the MFT zone that holds it whole.
static BOOL FileStageContiguousOnly(void) {
    LONGLONG moved = 0;

    ShowStageBanner(u"*** STAGE %ld *** Defragmenting Files To Contiguous Free Space Only\n");
    if (!ReloadVolumeBitmap()) return FALSE;
    StartPercentage(llFilesLocated);
    for (VolData.FileRecordNumber = FIRST_USER_RECORD; WalkToNextFile(); VolData.FileRecordNumber++) {
        CountPercentage();
        if (!IsFileCandidate() || !VolData.bFragmented) continue;
        PercentageToProgress();
        if (!FindFreeSpaceInWindow(0, VolData.TotalClusters)) continue;
        if (MoveStep(VolData.FoundLcn)) moved++;
    }
    ShowClosingLine(u"\rMoved %ld files during defragmentation pass", moved, u"\n\n");
    return TRUE;
}

static BOOL FileStage3(void) { return FileStageConsolidate8(FALSE); }
static BOOL FileStage5(void) { return FileStageConsolidate8(TRUE); }

// The full chain of FILES=FULL: before each of the five file stages and
// after the last, the interleave; the chain stops when lFileOpt has dropped
// to 0. FALSE on a hard failure.
static BOOL FullFileChain(void) {
    static BOOL (*const stages[])(void) = {FileStageConsolidate16, FileStageCloseGaps, FileStage3,
                                           FileStageContiguousOnly, FileStage5};
    size_t i;

    for (i = 0; i < sizeof stages / sizeof stages[0]; i++) {
        if (!Interleave()) return FALSE;
        if (lFileOpt == 0) return TRUE;
        if (!stages[i]()) return FALSE;
    }
    return Interleave();
}

// The list stage of FILES=LIST: each record of glFileList (from 16, below
// TotalFileRecords) that is a file with clusters moves to the first free
// run outside the MFT zone that holds it. The exclusions are not consulted.
// Sets lLogLevel to 4 for the rest of the run. FALSE on a hard failure.
static BOOL ListStage(void) {
    LONGLONG moved = 0;
    LONGLONG i;

    ShowStageBanner(u"*** STAGE %ld *** Defragmenting Specific Files\n");
    if (!ReloadVolumeBitmap()) return FALSE;
    lLogLevel = 4;
    for (i = 0; i < glFileListX && i < (LONGLONG)(sizeof glFileList / sizeof glFileList[0]); i++) {
        LONGLONG frn = glFileList[i];
        if (frn >= VolData.TotalFileRecords || frn < FIRST_USER_RECORD) continue;
        VolData.FileRecordNumber = frn;
        swprintf(cOutline, u"Addressing file %ld....\n", (LONG)frn);
        ShowDiag(cOutline);
        if (!WalkOneRecord()) continue;
        if (VolData.bDirectory || VolData.NumberOfClusters <= 0 || HasSeveralDataStreams()) continue;
        if (!MarkMFTZoneUnavailable()) continue;
        if (!FindFreeSpaceInWindow(0, VolData.TotalClusters)) continue;
        if (MoveStep(VolData.FoundLcn)) moved++;
    }
    ShowClosingLine(u"\rMoved %ld files during specific file moves", moved, u"\n\n");
    return TRUE;
}

// ================================================================= report

// Takes a class index of glFileStats (0..127) and a buffer of at least 69
// characters. Builds the label: size word, "Fragmented "/"Contiguous ",
// "Compressed "/"Uncompressed ", the kind (attributes and single extents
// replace the whole label), "Moved: " and the dots, cut to 68 characters.
void MovedObjectLabel(LONG index, WCHAR *label) {
    static const WCHAR *const sizeWords[4] = {u"", u"Large ", u"Huge ", u"Extremely Huge "};
    WCHAR text[160];

    wcscpy(text, sizeWords[(index >> 5) & 3]);
    wcscat(text, (index & 16) ? u"Fragmented " : u"Contiguous ");
    wcscat(text, (index & 8) ? u"Compressed " : u"Uncompressed ");
    switch (index & 7) {
    case 1:
        wcscat(text, u"Directories ");
        break;
    case 2:
        wcscat(text, u"Files ");
        break;
    case 3:
        wcscpy(text, u"Non-resident Attributes ");
        break;
    case 4:
        wcscpy(text, u"Individual Data Exents ");
        break;
    default:
        break;
    }
    wcscat(text, u"Moved: ");
    wcscat(text, cTableFiller);
    text[TABLE_LABEL_CHARS] = 0;
    wcscpy(label, text);
}

// Shows one line "label count" for every class of glFileStats that moved
// something, in index order (ShowDiag).
void ShowMovedObjectTable(void) {
    WCHAR label[TABLE_LABEL_CHARS + 1];
    LONG i;

    for (i = 0; i < 128; i++) {
        if (glFileStats[i] == 0) continue;
        MovedObjectLabel(i, label);
        swprintf(cOutline, u"%s %8ld\n", label, (LONG)glFileStats[i]);
        ShowDiag(cOutline);
    }
}

// Stores a path into a table entry, cut to the entry's capacity.
static void StoreLast50(LONG at, LONGLONG lcn, const WCHAR *name) {
    plLast50[at].Lcn = lcn;
    wcsncpy(plLast50[at].FileName, name, FILE_NAME_CHARS - 1);
    plLast50[at].FileName[FILE_NAME_CHARS - 1] = 0;
}

// Copies entry `from` over entry `to` (only the path's characters move).
static void CopyLast50(LONG to, LONG from) {
    plLast50[to].Lcn = plLast50[from].Lcn;
    wcscpy(plLast50[to].FileName, plLast50[from].FileName);
}

// Takes a file's lowest LCN and path. Keeps plLast50[0 .. lLast50 - 1] in
// ascending order of Lcn, a file going behind the ones of equal Lcn; a full
// list keeps the 50 highest, dropping its lowest entry for a higher file.
void AddToLast50(LONGLONG lcn, const WCHAR *name) {
    LONG i, j;

    if (plLast50 == nullptr) return;
    for (i = 0; i < lLast50; i++)
        if (plLast50[i].Lcn > lcn) break;
    if (i < lLast50) {
        if (lLast50 < LAST50_ENTRIES) {
            for (j = lLast50; j > i; j--) CopyLast50(j, j - 1);
            StoreLast50(i, lcn, name);
            lLast50++;
        } else if (i > 0) {
            for (j = 0; j < i - 1; j++) CopyLast50(j, j + 1);
            StoreLast50(i - 1, lcn, name);
        }
        return;
    }
    if (lLast50 < LAST50_ENTRIES) {
        StoreLast50(lLast50, lcn, name);
        lLast50++;
        return;
    }
    for (j = 0; j < LAST50_ENTRIES - 1; j++) CopyLast50(j, j + 1);
    StoreLast50(LAST50_ENTRIES - 1, lcn, name);
}

// Shows the last-files list, lowest LCN first (ShowDiag); the header also
// for an empty list.
void ShowLast50(void) {
    LONG i;

    ShowDiag(u"\n\nThe last files on the disk are:\n");
    for (i = 0; plLast50 != nullptr && i < lLast50; i++) {
        _snwprintf(cOutline, OUTLINE_CHARS - 1, u"@LCN 0x%08lx: %s\n", (LONG)plLast50[i].Lcn, plLast50[i].FileName);
        cOutline[OUTLINE_CHARS - 1] = 0;
        ShowDiag(cOutline);
    }
    ShowDiag(u"\n");
}

// The "Gathering File Placement Data" stage: walks the records from 1 (the
// system files take part, the MFT does not) and keeps the 50 files (not
// directories, with clusters) that start furthest toward the end of the
// volume, then shows them. FALSE (after the error report) when there is no
// table to fill; the run still goes on to its report.
BOOL GatherLast50(void) {
    LONGLONG met = 0;

    ShowStageBanner(u"*** STAGE %ld *** Gathering File Placement Data\n");
    lLast50 = 0;
    if (plLast50 == nullptr) {
        ERROR_REPORT();
        return FALSE;
    }
    for (VolData.FileRecordNumber = 1; VolData.FileRecordNumber < VolData.TotalFileRecords;
         VolData.FileRecordNumber++) {
        LONG walk = ReadWalkRecord();
        if (walk == WALK_END) break;
        if (walk == WALK_SKIP) continue;
        VolData.LowestLcn = 0;
        if (!ManualGetExtentList(0)) continue;
        met++;
        if (met % 100 == 0) {
            swprintf(cOutline, u"\rLocated %ld files...        ", (LONG)met);
            ShowProgress(cOutline);
        }
        GetCurrentPath();
        if (VolData.bDirectory || VolData.NumberOfClusters <= 0) continue;
        AddToLast50(VolData.LowestLcn, VolData.cFileName);
    }
    ShowLast50();
    return TRUE;
}

// ============================================================ stage driver

// The steps of the driver after the MFT and paging-file work.
#define STEP_GATHER 8
#define STEP_FILES 10
#define STEP_PAGE_MIN 12
#define STEP_REPORT 13

// The whole NTFS run, after volume setup (Initialize, InitializeDefrag):
// the MFT and paging-file work, gathering, the directory and attribute
// stages, the file stages or the list stage, the paging-file minimisation,
// the last-files list (LAST50), the moved-object table and the closing
// line. Takes the run options; changes lMFTOpt, lPageOpt, lDirsOpt,
// lFileOpt as their work is done and lLogLevel in the list stage; leaves the
// run state above and the current-file fields of VolData as the last stage
// left them. Allocates nothing (OffLineExit releases the volume's blocks).
// Returns 1 when the run reached its report, 0 when it stopped on a hard
// failure (bitmap, CheckExcluded, the MFT or root record unreadable, a
// failed MFT or paging-file stage); the report is then not shown.
BOOL OffLineDefrag(void) {
    LONG next;

    lStageNumber = -1;
    llFilesLocated = 0;
    llDirClusters = 0;
    llAttribClusters = 0;
    lGatherMask = 0;
    lLast50 = 0;

    if (!ReloadVolumeBitmap()) return FALSE;
    VolData.PagingZoneStartLcn = -1;
    VolData.PagingZoneEndLcn = -1;

    // The MFT itself: its size and place decide the MFT area.
    if (!ReadMftRecord()) return FALSE;
    llAttribClusters += VolData.AttribClusters;
    llMftFirstLcn = VolData.pExtentList[0].StartingLcn;
    SetMftArea(llMftFirstLcn, VolData.NumberOfClusters);

    if (!RunMftStage()) return FALSE;
    if (lPageOpt != 0 && !bPageFileFound) {
        lPageOpt = 0;
        PendingUpdate(4);
    }
    if (!RunPlacementStage()) return FALSE;

    next = (lDirsOpt == 0 && lFileOpt == 0) ? STEP_PAGE_MIN : STEP_GATHER;
    if (next == STEP_GATHER) {
        if (!GatherPartitionData()) return FALSE;
        if (llFilesLocated == 0) {
            ShowDiag(u"No files found.  Quitting now.\n");
            next = STEP_REPORT;
        } else if (lDirsOpt == 0) {
            swprintf(cOutline, u"\rLocated %ld files...            \n\n", (LONG)llFilesLocated);
            ShowMessage(cOutline);
            next = STEP_FILES;
        } else if (lDirsOpt >= 1 && lDirsOpt <= 4) {
            LONG dirs = ConsolidateDirsAndAttributes();
            if (dirs == DIRS_FAILED) return FALSE;
            next = dirs == DIRS_FILES ? STEP_FILES : STEP_PAGE_MIN;
        } else {
            ShowDiag(u"Bad Algorithm Selection.  Quitting now.\n");
            next = STEP_PAGE_MIN;
        }
    }

    if (next == STEP_FILES) {
        if (lFileOpt == 1) {
            if (!FullFileChain()) return FALSE;
        } else if (lFileOpt == 2) {
            if (!ListStage()) return FALSE;
        } else if (lFileOpt != 0) {
            ShowDiag(u"Conflicting suboptions in FILES command line option\n");
        }
        next = STEP_PAGE_MIN;
    }

    if (next == STEP_PAGE_MIN && lPageOpt == 2 && !MinimizePagingFileStage()) return FALSE;

    if (bLast50) GatherLast50();
    ShowMovedObjectTable();
    ShowDiag(u"\nTesserin boot-time processing completed.\n");
    return TRUE;
}
