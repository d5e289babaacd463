// The FAT run of bootfat: OffLineDefrag and its stages.
//
// A run gathers the volume's files and directories, places the directory
// trees into the target area of its DIRS= mode, defragments and packs the
// files toward the front in five stages (FILES=FULL), fits the paging-file
// stages in between (fatpage.cpp) and shows the table of moves.
//
// No list of files survives a stage: every stage walks the tree again from
// the root, because moves change directories an earlier walk had loaded,
// and after every move the bitmap is rebuilt from the FAT. Within a walk
// moves never change a directory the walk still reads through: the file
// stages move only files, and the directory stages walk only the root's own
// entries and move only top-level trees, whose parent (the root) stays.
//
// Beyond the volume's own checks: the gathering stage notes every cluster
// that two entries' chains claim (crossed chains, hSharedClusters); no
// move touches a file or directory that holds one. File stage 4 does not
// rebuild the bitmap between its moves; it marks the clusters it has just
// given out as taken instead, so that a later search in the same walk does
// not hand them out again.
#include <cstring>

#include "fat.h"

// Every search window of the stages starts at this LCN.
#define FIRST_TARGET_LCN 2
// File stage 1 works from the last of this many zones toward the front.
#define FILE_ZONES 8
// Cycles of file stage 2.
#define GAP_CYCLES 9
// Width of a label of the moved-object table.
#define TABLE_LABEL_CHARS 68
// Classes of glFileStats the FAT program counts.
#define FAT_MOVE_CLASSES 64
static const WCHAR cTableFiller[] = u"...........................................................";

// What the directory stages tell the driver.
#define DIRS_FILES 1   // go on with the file stages
#define DIRS_END 2     // go on with the end steps
#define DIRS_FAILED 0  // hard failure: the run ends

// Per-run values of the driver.
static LONGLONG llFileCount = 0;    // entries with clusters found by gathering
static LONGLONG llDirCount = 0;     // directories with clusters ...
static LONGLONG llDirClusters = 0;  // ... and their clusters
static LONGLONG llAreaFirst = 0;    // the directory target area, first LCN ...
static LONGLONG llAreaLast = 0;     // ... and last LCN

// ================================================================ pieces

// Whether the bitmap shows lcn in use (a byte of 0xFF is taken whole).
static BOOL ClusterInUse(LONGLONG lcn) {
    const BYTE *bytes = (const BYTE *)FatBitmapBits();
    if (bytes == nullptr || lcn < 0 || lcn >= VolData.TotalClusters) return TRUE;
    if (bytes[lcn / 8] == 0xFF) return TRUE;
    return (bytes[lcn / 8] >> (lcn % 8)) & 1;
}

// The bitmap rebuilt from the FAT. FALSE after the error report.
static BOOL RebuildBitmap(void) {
    TRACE(6, u"OffLineDefrag", u"ManualGetVolumeBitmap");
    if (ManualGetVolumeBitmap()) return TRUE;
    ERROR_REPORT();
    return FALSE;
}

// The progress prefix of the move lines: done x 100 / total + 1, within 0
// to 99.
static void SetProgress(LONGLONG done, LONGLONG total) {
    LONGLONG percent = done * 100 / (total > 0 ? total : 1) + 1;

    if (percent > 99) percent = 99;
    if (percent < 0) percent = 0;
    _snwprintf(cProgress, 31, cPro, (int)percent);
    cProgress[31] = 0;
}

// First fit for `needed` clusters in the window [start, end): TRUE when the
// run found holds them and starts at most at the window's end.
static BOOL Search(LONGLONG needed, LONGLONG start, LONGLONG end) {
    if (end > VolData.TotalClusters) end = VolData.TotalClusters;
    LONGLONG own = VolData.NumberOfClusters;
    BOOL found;

    if (needed <= 0 || start >= end) return FALSE;
    VolData.NumberOfClusters = needed;
    VolData.SearchStartLcn = start;
    VolData.SearchEndLcn = end;
    TRACE(6, u"OffLineDefrag", u"FindFreeSpace");
    found = FindFreeSpace(FFS_FIRST_FIT) && VolData.FoundLen >= needed && VolData.FoundLcn <= end;
    VolData.NumberOfClusters = own;
    return found;
}

// The next entry of a walk with its extent list. FALSE (hard failure, after
// the error report) when the walk or the list fails; *done at the walk's
// end.
static BOOL NextEntry(BOOL *done) {
    *done = FALSE;
    TRACE(6, u"OffLineDefrag", u"NextFatFile");
    if (!NextFatFile()) {
        ERROR_REPORT();
        return FALSE;
    }
    if (VolData.cFileName[0] == 0) {
        *done = TRUE;
        return TRUE;
    }
    TRACE(6, u"OffLineDefrag", u"GetExtentListManuallyFat");
    if (!GetExtentListManuallyFat()) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Starts a walk of the whole tree, or of the root's own entries only.
static BOOL StartWalk(BOOL rootOnly) {
    TRACE(6, u"OffLineDefrag", u"GetFatBootSector");
    if (!GetFatBootSector()) {
        ERROR_REPORT();
        return FALSE;
    }
    TreeData.bRootOnly = rootOnly;
    return TRUE;
}

// The paging file of PAGE=MIN, which the file stages leave to its own stage
// (moved there whole into the longest free run; a file stage would only
// hand it a paging file in one piece).
static BOOL IsPagingFileForMinimizing(void) {
    return lPageOpt == 2 && bPageFileFound && _wcsicmp(VolData.cFileName, cPageFile) == 0;
}

// The filter of the file stages: a file with clusters that LegalToMove
// accepts.
static BOOL IsFileCandidate(void) {
    if (VolData.NumberOfClusters <= 0 || VolData.bDirectory) return FALSE;
    return LegalToMove() && !IsPagingFileForMinimizing();
}

// A top-level directory with clusters that LegalToMove accepts: the only
// entries the directory stages move (everything below it moves with it).
static BOOL IsTreeCandidate(void) {
    const WCHAR *slash = wcschr(VolData.cFileName, u'\\');
    if (!VolData.bDirectory || VolData.NumberOfClusters <= 0 || slash == nullptr || wcschr(slash + 1, u'\\'))
        return FALSE;
    return LegalToMove();
}

// The lines of a move at log level 4 and more: the file, its extents, the
// space found.
static void ShowMoveDetails(LONGLONG destination, LONGLONG clusters) {
    if (lLogLevel <= 3) return;
    _snwprintf(cOutline, OUTLINE_CHARS - 1, u"Name=%s, Size = %ld Clusters, #Extents=%ld, #Fragments=%ld\n",
               VolData.cFileName, (LONG)VolData.NumberOfClusters, (LONG)VolData.NumberOfExtents,
               (LONG)VolData.NumberOfFragments);
    cOutline[OUTLINE_CHARS - 1] = 0;
    ShowMessage(cOutline);
    for (LONGLONG i = 0; i < VolData.NumberOfExtents && (i == 0 || lLogLevel >= 6); i++) {
        const EXTENT_LIST *e = &VolData.pExtentList[i];
        swprintf(cOutline, u"...Exnt#=%06ld, Lcns=0x%08lx-0x%08lx\n", (LONG)i, (LONG)e->StartingLcn,
                 (LONG)(e->StartingLcn + e->ClusterCount - 1));
        ShowMessage(cOutline);
    }
    swprintf(cOutline, u"Found space at Lcn=0x%08lx for %ld Clusters\n", (LONG)destination, (LONG)clusters);
    ShowDiag(cOutline);
}

// What a move step came to.
#define MOVE_FAILED (-1)  // hard failure: the run ends
#define MOVE_NONE 0       // nothing moved (NOMOVE, or FATMoveFile refused)
#define MOVE_DONE 1

// Moves the current entry (its `clusters` clusters: a file's own, a tree's
// whole) to destination: the lines of the move, then, unless NOMOVE,
// FATMoveFile and, when asked, the bitmap rebuilt. Returns MOVE_*.
static LONG MoveStep(LONGLONG destination, LONGLONG clusters, BOOL rebuild) {
    BOOL noName = FALSE;

    ShowMoveDetails(destination, clusters);
    if (!bMoveFiles) return MOVE_NONE;
    TRACE(5, u"OffLineDefrag", u"FATMoveFile");
    if (!MoveCurrentEntry(destination, clusters, &noName)) return noName ? MOVE_FAILED : MOVE_NONE;
    if (rebuild && !RebuildBitmap()) return MOVE_FAILED;
    return MOVE_DONE;
}

// The paging-file check between stages: PAGE=PLACE with the paging file
// identified runs the placement check as a stage of its own; a check that
// finishes placement withdraws what only the paging option asked for.
// FALSE on a hard failure.
static BOOL PagingFileCheck(void) {
    if (lPageOpt != 3 || !bPageFileFound || llPageFileFRN != -1) return TRUE;
    lStageNumber++;
    if (!PlaceVerifyPagingFile(lStageNumber, bPageFileFound, &llPageFileZone, &lPageOpt)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (lPageOpt == 0) PendingUpdate(4);
    return TRUE;
}

// ============================================================== gathering

// Marks the clusters of a list as claimed; a cluster claimed before is
// marked shared.
static void Claim(ULONG *claimed, ULONG *shared, const EXTENT_LIST *list, LONGLONG count) {
    for (LONGLONG i = 0; i < count; i++)
        for (LONGLONG n = list[i].StartingLcn; n < list[i].StartingLcn + list[i].ClusterCount; n++) {
            if (n < 0 || n >= VolData.TotalClusters) continue;
            ULONG bit = 1u << (n % 32);
            if (claimed[n / 32] & bit) shared[n / 32] |= bit;
            claimed[n / 32] |= bit;
        }
}

// Recognises the paging file of PAGE=MIN and PAGE=PLACE by its path, once:
// one in a single fragment needs no PAGE=MIN work; otherwise its counts are
// recorded (llPageFileFRN = -1: identified).
static void RecognisePagingFile(void) {
    if ((lPageOpt != 2 && lPageOpt != 3) || !bPageFileFound || llPageFileFRN != 0) return;
    if (_wcsicmp(VolData.cFileName, cPageFile) != 0) return;
    if (lPageOpt == 2 && VolData.NumberOfFragments == 1) {
        ShowDiag(u"Info: Paging file is not fragmented; skipping paging file processing\n");
        lPageOpt = 0;
        return;
    }
    llPageFileFRN = -1;
    llPageFileClusterCount = VolData.NumberOfClusters;
    llPageFileExtentCount = VolData.NumberOfExtents;
}

// The gathering stage: counts the entries with clusters and the
// directories, recognises the paging file and notes the clusters that more
// than one chain claims (the FAT32 root's included). FALSE after the error
// report.
static BOOL GatherPartitionInformation(ULONG *claimed, ULONG *shared) {
    BOOL done = FALSE;

    ShowStageBanner(u"*** STAGE %ld *** Gathering Partition Information \n");
    if (VolData.llRootDirLcn != FAT_NO_CLUSTER) {
        VolData.StartingLcn = VolData.llRootDirLcn;
        VolData.bDirectory = TRUE;
        if (!GetExtentListManuallyFat()) {
            ERROR_REPORT();
            return FALSE;
        }
        Claim(claimed, shared, VolData.pExtentList, VolData.NumberOfExtents);
    }
    if (!StartWalk(FALSE)) return FALSE;
    for (;;) {
        if (!NextEntry(&done)) return FALSE;
        if (done) break;
        if (VolData.NumberOfClusters == 0) continue;
        if (++llFileCount % 100 == 0) {
            swprintf(cOutline, u"\rLocated %ld files...        ", (LONG)llFileCount);
            ShowProgress(cOutline);
        }
        Claim(claimed, shared, VolData.pExtentList, VolData.NumberOfExtents);
        RecognisePagingFile();
        if (VolData.bDirectory) {
            llDirCount++;
            llDirClusters += VolData.NumberOfClusters;
        }
    }
    return TRUE;
}

// The gathering stage with the claim maps it needs: hSharedClusters stays
// for the run (OffLineExit releases it). FALSE after the error report.
static BOOL Gather(void) {
    HGLOBAL hClaimed = nullptr;
    ULONG *claimed = nullptr, *shared = nullptr;
    BOOL ok;

    ReleaseMemory(&hSharedClusters, nullptr);
    if (VolData.BitmapSizeBytes <= 0 || VolData.BitmapSizeBytes > 0x7FFFFFFF ||
        !AllocateMemory((DWORD)VolData.BitmapSizeBytes, &hClaimed, (void **)&claimed) ||
        !AllocateMemory((DWORD)VolData.BitmapSizeBytes, &hSharedClusters, (void **)&shared)) {
        ReleaseMemory(&hClaimed, nullptr);
        ERROR_REPORT();
        return FALSE;
    }
    ok = GatherPartitionInformation(claimed, shared);
    ReleaseMemory(&hClaimed, nullptr);
    GlobalUnlock(hSharedClusters);
    for (LONGLONG n = 0; ok && n < VolData.TotalClusters; n += 32)
        if (shared[n / 32] != 0) {
            ShowDiag(u"Some clusters belong to more than one file (crossed chains): the files and directories that "
                     u"hold them are left where they are\n");
            break;
        }
    return ok;
}

// ====================================================== directory stages

// Moves every top-level directory tree with room for it in [start, end).
// Counts the trees moved in *moved. FALSE on a hard failure.
static BOOL MoveTrees(LONGLONG start, LONGLONG end, LONGLONG *moved) {
    LONGLONG movedClusters = 0;
    BOOL done = FALSE;

    *moved = 0;
    if (!StartWalk(TRUE)) return FALSE;
    for (;;) {
        if (!NextEntry(&done)) return FALSE;
        if (done) break;
        if (!IsTreeCandidate()) continue;
        LONGLONG size = GetFATDirSizeWithChildren(wcsrchr(VolData.cFileName, u'\\') + 1, VolData.llParentDirLcn);
        if (size == 0) continue;
        if (!Search(size, start, end)) continue;
        SetProgress(movedClusters, llDirClusters + llDirClusters / 10);
        LONG step = MoveStep(VolData.FoundLcn, size, TRUE);
        if (step == MOVE_FAILED) return FALSE;
        if (step == MOVE_DONE) {
            ++*moved;
            movedClusters += size;
        }
    }
    return TRUE;
}

// DIRS=MFTZ and DIRS=MFTM, stage (a): every file that starts inside the area
// moves to free space behind it. FALSE on a hard failure.
static BOOL ClearDirectoryArea(void) {
    LONGLONG moved = 0, visited = 0;
    BOOL done = FALSE;

    ShowStageBanner(u"*** STAGE %ld *** Clearing Directory Area\n");
    if (!StartWalk(FALSE)) return FALSE;
    for (;;) {
        if (!NextEntry(&done)) return FALSE;
        if (done) break;
        if (!IsFileCandidate()) continue;
        if (++visited % 20 == 0) SetProgress(visited, llFileCount);
        if (VolData.StartingLcn < llAreaFirst || VolData.StartingLcn > llAreaLast) continue;
        if (!Search(VolData.NumberOfClusters, llAreaLast, VolData.TotalClusters)) continue;
        LONG step = MoveStep(VolData.FoundLcn, VolData.NumberOfClusters, TRUE);
        if (step == MOVE_FAILED) return FALSE;
        moved += step;
    }
    ShowClosingLine(u"\rMoved %ld files from directory target area", moved, u"\n\n");
    return TRUE;
}

// The directory stages of DIRS= FREE, ZERO, MFTZ or MFTM into the area
// [llAreaFirst, llAreaLast]. FALSE on a hard failure.
static BOOL ConsolidateDirectories(void) {
    LONGLONG moved = 0;

    if (lDirsOpt == 3 || lDirsOpt == 4) {
        if (!ClearDirectoryArea()) return FALSE;
        // Out of the way: behind the area, or before it when the area
        // reaches the end of the volume.
        BOOL atEnd = llAreaLast >= VolData.TotalClusters - 1;
        if (!MoveTrees(atEnd ? FIRST_TARGET_LCN : llAreaLast, atEnd ? llAreaFirst : VolData.TotalClusters, &moved))
            return FALSE;
        ShowClosingLine(u"\rMoved %ld directories to free space", moved, u"\n");
    }
    ShowStageBanner(u"*** STAGE %ld *** Defragmenting and Consolidating Directories\n");
    if (!MoveTrees(llAreaFirst, VolData.TotalClusters, &moved)) return FALSE;
    ShowClosingLine(u"\rMoved %ld subdirectory trees to directory target area", moved, u"\n\n");
    return TRUE;
}

// The target area of the DIRS= mode and the directory stages. Returns
// DIRS_*.
static LONG DirectoryStages(void) {
    LONGLONG slack = llDirClusters / 10, need;

    switch (lDirsOpt) {
    case 0:
        swprintf(cOutline, u"\rLocated %ld files...\n\n", (LONG)llFileCount);
        ShowMessage(cOutline);
        return DIRS_FILES;
    case 3:
        llAreaFirst = FIRST_TARGET_LCN;
        llAreaLast = llAreaFirst + llDirClusters + slack;
        need = llDirClusters;
        break;
    case 4:
        llAreaFirst = VolData.TotalClusters / 2;
        llAreaLast = llAreaFirst + llDirClusters + slack;
        need = llDirClusters;
        break;
    case 1:
        if (!Search(llDirClusters + slack, FIRST_TARGET_LCN, VolData.TotalClusters)) {
            ShowDiag(u"Couldn't find free space for directories.\n");
            return DIRS_END;
        }
        llAreaFirst = VolData.FoundLcn;
        llAreaLast = llAreaFirst + llDirClusters + slack;
        need = llDirClusters + slack;
        break;
    case 2:
        llAreaFirst = FIRST_TARGET_LCN;
        llAreaLast = VolData.TotalClusters;
        need = llDirClusters + slack;
        break;
    default:
        ShowDiag(u"Bad Algorithm Selection.  Quitting now.\n");
        return DIRS_END;
    }
    swprintf(cOutline, u"\rLocated %ld files...", (LONG)llFileCount);
    ShowMessage(cOutline);
    swprintf(cOutline, u"Need %ld clusters for directories\nDirectory target area is LCNs 0x%08lx-0x%08lx\n\n",
             (LONG)need, (LONG)llAreaFirst, (LONG)llAreaLast);
    ShowMessage(cOutline);
    if (!PagingFileCheck()) return DIRS_FAILED;
    // The check may have withdrawn the directory stages.
    if (lDirsOpt != 0 && !ConsolidateDirectories()) return DIRS_FAILED;
    return DIRS_FILES;
}

// =========================================================== file stages

// File stage 1 (also 3 and 5): from the last eighth of the volume toward
// the front, each file that starts in the zone moves to the first free run
// that holds it (a contiguous one only toward the front); a pass that moves
// nothing goes straight to the whole-volume pass, which repeats until it
// moves nothing. FALSE on a hard failure.
static BOOL ConsolidateFreeSpace(void) {
    LONGLONG moved = 0, visited = 0;
    LONG zone = FILE_ZONES - 1;

    ShowStageBanner(u"*** STAGE %ld *** Defragmenting Files and Consolidating Free Space\n");
    while (zone >= 0) {
        LONGLONG threshold = zone * (VolData.TotalClusters / FILE_ZONES), movedInPass = 0;
        BOOL done = FALSE;
        if (!StartWalk(FALSE)) return FALSE;
        for (;;) {
            if (!NextEntry(&done)) return FALSE;
            if (done) break;
            TRACE(6, u"OffLineDefrag", u"GoingToTest");
            if (!IsFileCandidate()) continue;
            SetProgress(++visited, FILE_ZONES * llFileCount);
            if (VolData.StartingLcn < threshold) continue;
            if (lLogLevel > 8) {
                swprintf(cOutline, u".NumoFExtents=%ld .StartingLcn=0x%08lx\n", (LONG)VolData.NumberOfExtents,
                         (LONG)VolData.StartingLcn);
                ShowMessage(cOutline);
            }
            LONGLONG end = VolData.bFragmented ? VolData.TotalClusters : VolData.StartingLcn;
            if (!Search(VolData.NumberOfClusters, FIRST_TARGET_LCN, end)) continue;
            LONG step = MoveStep(VolData.FoundLcn, VolData.NumberOfClusters, TRUE);
            if (step == MOVE_FAILED) return FALSE;
            moved += step;
            movedInPass += step;
        }
        if (movedInPass > 0 || zone <= 1)
            zone--;
        else
            zone = 0;
        if (zone == -1 && movedInPass > 0) zone = 0;
    }
    ShowClosingLine(u"\rMoved %ld files during free space consolidation", moved, u"\n\n");
    return TRUE;
}

// The first free extent at or after `from` that holds `needed` clusters,
// extent after extent. TRUE with its start in *lcn.
static BOOL FreeExtentFrom(LONGLONG from, LONGLONG needed, LONGLONG *lcn) {
    ULONG *bits = FatBitmapBits();
    LONGLONG cursor = from;

    while (bits != nullptr && cursor >= 0 && cursor < VolData.TotalClusters) {
        LONGLONG start = 0, clusters = 0;
        FindFreeExtent(bits, VolData.TotalClusters, &cursor, &start, &clusters);
        if (clusters == 0) return FALSE;
        if (start + clusters > VolData.TotalClusters) clusters = VolData.TotalClusters - start;
        if (clusters >= needed) {
            *lcn = start;
            return TRUE;
        }
    }
    return FALSE;
}

// The end of the last contiguous file (the highest first LCN among the
// files in one fragment): *top its first LCN, *topEnd the cluster after it.
static BOOL FindLastContiguousFile(LONGLONG *top, LONGLONG *topEnd) {
    BOOL done = FALSE;

    *top = *topEnd = 0;
    if (!StartWalk(FALSE)) return FALSE;
    for (;;) {
        if (!NextEntry(&done)) return FALSE;
        if (done) return TRUE;
        if (VolData.NumberOfClusters <= 0 || VolData.bDirectory || VolData.bFragmented) continue;
        if (VolData.StartingLcn < *top) continue;
        *top = VolData.StartingLcn;
        *topEnd = VolData.StartingLcn + VolData.NumberOfClusters;
    }
}

// File stage 2, closing gaps: in up to nine cycles, each file below the last
// contiguous file with a free cluster right before it moves to the first
// free run that holds it (a contiguous one only toward the front), or else
// to the first free extent behind the last contiguous file that holds it.
// A cycle that moves nothing leads to the last cycle. FALSE on a hard
// failure.
static BOOL CloseGaps(void) {
    LONGLONG moved = 0;

    ShowStageBanner(u"*** STAGE %ld *** Defragmenting Files and Closing Gaps in Free Space\n");
    for (LONG cycle = 0; cycle < GAP_CYCLES; cycle++) {
        LONGLONG top, topEnd, movedInCycle = 0, visited = 0, destination = 0;
        BOOL done = FALSE;
        if (!FindLastContiguousFile(&top, &topEnd) || !StartWalk(FALSE)) return FALSE;
        for (;;) {
            if (!NextEntry(&done)) return FALSE;
            if (done) break;
            if (!IsFileCandidate()) continue;
            SetProgress(cycle * llFileCount + ++visited, GAP_CYCLES * llFileCount);
            if (VolData.StartingLcn == 0 || VolData.StartingLcn > top || ClusterInUse(VolData.StartingLcn - 1))
                continue;
            LONGLONG end = VolData.bFragmented ? VolData.TotalClusters : VolData.StartingLcn;
            if (Search(VolData.NumberOfClusters, FIRST_TARGET_LCN, end))
                destination = VolData.FoundLcn;
            else if (!FreeExtentFrom(topEnd, VolData.NumberOfClusters, &destination))
                continue;
            LONG step = MoveStep(destination, VolData.NumberOfClusters, TRUE);
            if (step == MOVE_FAILED) return FALSE;
            moved += step;
            movedInCycle += step;
        }
        if (movedInCycle == 0 && cycle < GAP_CYCLES - 2) cycle = GAP_CYCLES - 2;  // the next cycle is the last
    }
    ShowClosingLine(u"\rMoved %ld files during gap adjustment", moved, u"\n\n");
    cProgress[0] = 0;
    return TRUE;
}

// File stage 4: every fragmented file moves to the first free run that
// holds it whole. The bitmap is not rebuilt between the moves; the clusters
// each move takes are marked taken in it. FALSE on a hard failure.
static BOOL ContiguousFreeSpaceOnly(void) {
    LONGLONG moved = 0, visited = 0;
    BOOL done = FALSE;

    ShowStageBanner(u"*** STAGE %ld *** Defragmenting Files to Contiguous Free Space Only\n");
    if (!StartWalk(FALSE)) return FALSE;
    for (;;) {
        if (!NextEntry(&done)) return FALSE;
        if (done) break;
        if (!IsFileCandidate() || !VolData.bFragmented) continue;
        SetProgress(++visited, llFileCount);
        if (!Search(VolData.NumberOfClusters, FIRST_TARGET_LCN, VolData.TotalClusters)) continue;
        LONGLONG destination = VolData.FoundLcn, clusters = VolData.NumberOfClusters;
        LONG step = MoveStep(destination, clusters, FALSE);
        if (step == MOVE_FAILED) return FALSE;
        if (step == MOVE_DONE) {
            moved++;
            MarkZoneUnavailable(destination, clusters);
        }
    }
    ShowClosingLine(u"\rMoved %ld files during defragmentation pass", moved, u"\n\n");
    return TRUE;
}

// The five file stages of FILES=FULL, each after the paging-file check and
// only while lFileOpt is set; the check once more after the last. FALSE on
// a hard failure.
static BOOL FileStages(void) {
    static BOOL (*const stages[])(void) = {ConsolidateFreeSpace, CloseGaps, ConsolidateFreeSpace,
                                           ContiguousFreeSpaceOnly, ConsolidateFreeSpace};

    if (!PagingFileCheck()) return FALSE;
    for (size_t i = 0; i < sizeof stages / sizeof stages[0]; i++) {
        if (lFileOpt == 0) break;
        if (!stages[i]() || !PagingFileCheck()) return FALSE;
    }
    return TRUE;
}

// ================================================================= report

// The table of moves: one line per class of glFileStats that moved
// something, its label cut to 68 characters, then the count (ShowDiag).
static void ShowMovedObjectTable(void) {
    static const WCHAR *const sizeWords[4] = {u"", u"Large ", u"Huge ", u"Extremely Huge "};
    WCHAR text[160];

    for (LONG i = 0; i < FAT_MOVE_CLASSES; i++) {
        if (glFileStats[i] == 0) continue;
        wcscpy(text, (i & 32) ? sizeWords[3] : (i & 16) ? sizeWords[2] : (i & 8) ? sizeWords[1] : sizeWords[0]);
        wcscat(text, (i & 4) ? u"Fragmented " : u"Contiguous ");
        wcscat(text, (i & 2) ? u"Compressed " : u"Uncompressed ");
        wcscat(text, (i & 1) ? u"Files Moved: " : u"Directories Moved: ");
        wcscat(text, cTableFiller);
        text[TABLE_LABEL_CHARS] = 0;
        swprintf(cOutline, u"%s %8ld\n", text, (LONG)glFileStats[i]);
        ShowDiag(cOutline);
    }
}

// ================================================================== driver

// Returns TRUE when the run reached its report (also after the "Quitting
// now" paths), FALSE after a hard failure (already reported): the walk,
// an extent list, the bitmap, the name of a move, a paging-file stage.
BOOL OffLineDefrag(void) {
    LONG next = DIRS_FILES;

    lStageNumber = 0;
    llPageFileFRN = 0;
    llFileCount = llDirCount = llDirClusters = 0;
    VolData.PagingZoneStartLcn = VolData.PagingZoneEndLcn = -1;
    cProgress[0] = 0;
    if (!StartWalk(FALSE)) return FALSE;
    if ((lPageOpt == 2 || lPageOpt == 3) && !bPageFileFound) {
        lPageOpt = 0;
        PendingUpdate(4);
    }
    if (!RebuildBitmap() || !Gather()) return FALSE;

    if (llFileCount == 0 || llDirCount == 0) {
        ShowDiag(u"No files found or no directories found. Quitting now.\n");
        next = DIRS_END;
    } else {
        next = DirectoryStages();
        if (next == DIRS_FAILED) return FALSE;
    }
    if (next == DIRS_FILES && !FileStages()) return FALSE;
    cProgress[0] = 0;
    if (lPageOpt == 2 && !MinimizePagingFileStage()) return FALSE;

    ShowMovedObjectTable();
    ShowDiag(u"\nTesserin boot-time processing completed.\n");
    return TRUE;
}
