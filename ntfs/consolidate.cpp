// The directory and attribute stages of the NTFS run (DIRS=FREE, ZERO, MFTZ,
// MFTM): one target area, sized from the directory and attribute clusters
// the gathering scan counted, into whose front part every directory's index
// allocation is packed and behind which every record's other non-resident
// attributes (attribute lists, index bitmaps, security descriptors, ...)
// go. Only a boot-time run can move these: the file system holds them while
// it runs.
//
//   DIRS=FREE  the first free run large enough, anywhere   stage "(a)"
//   DIRS=ZERO  the whole volume; a directory only moves toward the front
//   DIRS=MFTZ  at LCN 0 when it fits before the MFT zone, else just behind
//              the MFT area                                 clearing, "(b)"
//   DIRS=MFTM  just behind the system-file area              clearing, "(b)"
//
// Directories move with NTFSMoveFile (one run per index run, back to back),
// attributes with NTFSMoveAttrib; a move of the MFT's own attributes is
// followed by the refresh of the MFT extent list and the mirror copy of
// record 0. Every search runs over the in-memory bitmap with the MFT area
// closed; every move leaves the bitmap in memory equal to the disk's.
#include "bootntfs.h"

#define DIRS_OPT_FREE 1
#define DIRS_OPT_ZERO 2
#define DIRS_OPT_MFTZ 3
#define DIRS_OPT_MFTM 4

// An LCN kept within [0, TotalClusters].
static LONGLONG WithinVolume(LONGLONG lcn) {
    if (lcn < 0) return 0;
    return lcn > VolData.TotalClusters ? VolData.TotalClusters : lcn;
}

// Takes an extent array, its entry count and a zone's first and last
// cluster. TRUE when every entry with disk space starts at or after the
// first cluster and ends at or before the last; entries without disk space
// are ignored, and an empty list is TRUE.
BOOL AllClustersInZone(const EXTENT_LIST *list, LONGLONG count, LONGLONG first, LONGLONG last) {
    for (LONGLONG i = 0; list && i < count; i++) {
        if (list[i].StartingLcn < 0) continue;
        if (list[i].StartingLcn < first || list[i].StartingLcn + list[i].ClusterCount - 1 > last) return FALSE;
    }
    return TRUE;
}

// Takes lDirsOpt (2 to 4) and the directory and attribute clusters. The
// target area: for DIRS=ZERO the whole volume (attributes from LCN 0 too);
// for DIRS=MFTZ from LCN 0 when directories and attributes together are
// fewer than the clusters before the MFT zone, else from MftZoneLimitBase;
// for DIRS=MFTM from SystemAreaEnd. MFTZ and MFTM give both parts a tenth
// more room. No bound passes TotalClusters.
TARGET_AREA FixedTargetArea(LONG dirsOpt, LONGLONG d, LONGLONG a) {
    TARGET_AREA t;
    LONGLONG total = VolData.TotalClusters;
    if (dirsOpt == DIRS_OPT_ZERO) {
        t.S = 0;
        t.Ed = total;
        t.Sa = 0;
        t.E = total;
        return t;
    }
    if (dirsOpt == DIRS_OPT_MFTZ)
        t.S = d + a < VolData.MftZoneStart ? 0 : VolData.MftZoneLimitBase;
    else
        t.S = VolData.SystemAreaEnd;
    t.S = WithinVolume(t.S);
    t.Ed = WithinVolume(t.S + d + d / 10);
    t.Sa = WithinVolume(t.Ed + 1);
    t.E = WithinVolume(t.Sa + a + a / 10);
    return t;
}

// DIRS=FREE: the first free run outside the MFT area that holds the
// directories and attributes together. DIRS_FILES with the area in *t;
// DIRS_END after the two lines saying that there is no such run.
static LONG FreeTargetArea(LONGLONG d, LONGLONG a, TARGET_AREA *t) {
    VolData.NumberOfClusters = d + a;
    MarkMFTZoneUnavailable();
    VolData.SearchStartLcn = 0;
    VolData.SearchEndLcn = VolData.TotalClusters;
    if (!FindFreeSpace(FFS_FIRST_FIT)) {
        swprintf(cOutline, u"\nNeed %ld clusters for directories & attributes\n", (LONG)(d + a));
        ShowDiag(cOutline);
        ShowDiag(u"Couldn't find contiguous free space for directories & attributes.\n");
        return DIRS_END;
    }
    if (VolData.FoundLen < d + a || VolData.FoundLcn >= VolData.TotalClusters) {
        swprintf(cOutline, u"\n...Need %ld clusters for directories & attributes\n", (LONG)(d + a));
        ShowDiag(cOutline);
        ShowDiag(u"Couldn't find free space for directories & attributes.\n");
        return DIRS_END;
    }
    t->S = WithinVolume(VolData.FoundLcn);
    t->Ed = WithinVolume(t->S + d);
    t->Sa = WithinVolume(t->Ed + 1);
    t->E = WithinVolume(t->Sa + a);
    return DIRS_FILES;
}

// The files located and the target area (ShowMessage).
static void ShowTargetArea(LONG dirsOpt, LONGLONG needed, const TARGET_AREA *t) {
    swprintf(cOutline, u"\rLocated %ld files...            ", (LONG)llFilesLocated);
    ShowMessage(cOutline);
    swprintf(cOutline,
             dirsOpt == DIRS_OPT_ZERO
                 ? u"\nNeed %ld clusters for directories & attributes \nTarget area is LCNs 0x%08lx-0x%08lx\n\n"
                 : u"\nNeed %ld clusters for directories & attributes\nTarget area is LCNs 0x%08lx-0x%08lx\n\n",
             (LONG)needed, (ULONG)((ULONGLONG)t->S & 0xFFFFFFFF), (ULONG)((ULONGLONG)t->E & 0xFFFFFFFF));
    ShowMessage(cOutline);
}

// The walk of these stages: the root directory (record 5), then records 16
// to the end. Reads the next record into pFileRecord (not its extent list);
// TRUE with one read, FALSE at the end of the MFT. *number is the walk's
// position, starting at MFT_RECORD_ROOT.
static BOOL WalkDirectoryRecords(LONGLONG *number) {
    for (; *number < VolData.TotalFileRecords;
         *number = *number < FIRST_USER_RECORD ? FIRST_USER_RECORD : *number + 1) {
        VolData.FileRecordNumber = *number;
        LONG walk = ReadWalkRecord();
        if (walk == WALK_END) return FALSE;
        if (walk == WALK_SKIP) continue;
        if (VolData.FileRecordNumber < FIRST_USER_RECORD && VolData.FileRecordNumber != MFT_RECORD_ROOT) continue;
        *number = VolData.FileRecordNumber;
        return TRUE;
    }
    return FALSE;
}

// The position after the record just walked.
static LONGLONG NextWalkPosition(LONGLONG number) {
    return number < FIRST_USER_RECORD ? FIRST_USER_RECORD : number + 1;
}

// The clearing stage's test on the current record: its lowest LCN lies in
// the area (a directory in one piece there already belongs there) or in the
// MFT area, and it can move.
static BOOL ToBeCleared(const TARGET_AREA *t) {
    BOOL inArea = VolData.LowestLcn >= t->S && VolData.LowestLcn <= t->E;
    BOOL belongs = VolData.bDirectory && !VolData.bFragmented;
    if (!(inArea && !belongs) && !InMftArea(VolData.LowestLcn)) return FALSE;
    return IsMovable();
}

// DIRS=MFTZ and MFTM: the files and directories that are in the way move
// out of the target area and out of the MFT area, each to the first free
// run outside both. FALSE never: a file that cannot move is passed over.
static BOOL ClearTargetArea(const TARGET_AREA *t) {
    LONGLONG moved = 0;

    ShowStageBanner(u"*** STAGE %ld *** Clearing Directory & Attribute Target Area\n");
    StartPercentage(llFilesLocated);
    for (LONGLONG n = MFT_RECORD_ROOT; WalkDirectoryRecords(&n); n = NextWalkPosition(n)) {
        CountPercentage();
        if (!ManualGetExtentList(0) || !ToBeCleared(t)) continue;
        PercentageToProgress();
        if (!MarkMFTZoneUnavailable() || !MarkZoneUnavailable(t->S, t->E - t->S + 1)) continue;
        if (!FindFreeSpaceInWindow(0, VolData.TotalClusters)) continue;
        if (MoveStep(VolData.FoundLcn)) moved++;
    }
    ShowClosingLine(u"\rMoved %ld files from directory target area", moved, u"\n\n");
    cProgress[0] = 0;
    return TRUE;
}

// Moves the current record's other non-resident attributes (AttribClusters
// of them) to the first free run from Sa on, outside the MFT area, when
// attributes may move. Returns 1 when they moved, 0 when they stay, -1
// after the error report on a failed move (the run ends). After a move of
// the MFT's own attributes the MFT extent list is read again and record 0
// copied to the mirror.
static LONG MoveAttributes(const TARGET_AREA *t) {
    LONGLONG destination = 0;

    if (!MarkMFTZoneUnavailable()) return 0;
    if (!FirstFitSearchFor(VolData.AttribClusters, t->Sa, VolData.TotalClusters, &destination) || !bMoveAttrs) return 0;
    if (!NTFSMoveAttrib(destination)) {
        ERROR_REPORT();
        return -1;
    }
    if (VolData.FileRecordNumber == MFT_RECORD_MFT && !(SaveMFTExtentList() && SyncNTFSMirror())) {
        ERROR_REPORT();
        return -1;
    }
    return 1;
}

// Moves the current directory into the area: "(a)" into [S, Ed); ZERO into
// the first run before its own lowest LCN; "(b)" out of the way behind Ed
// first (not counted), then, read again, into [S, Ed). TRUE when the
// counted move was made.
static BOOL MoveDirectory(LONG dirsOpt, const TARGET_AREA *t) {
    LONGLONG destination = 0;

    if (!MarkMFTZoneUnavailable()) return FALSE;
    if (dirsOpt == DIRS_OPT_FREE) return FirstFitSearch(t->S, t->Ed, &destination) && MoveStep(destination);
    if (dirsOpt == DIRS_OPT_ZERO) return FirstFitSearch(t->S, VolData.LowestLcn, &destination) && MoveStep(destination);
    if (bMoveFiles && FirstFitSearch(t->Ed, VolData.TotalClusters, &destination)) MoveStep(destination);
    if (!WalkOneRecord() || !MarkMFTZoneUnavailable()) return FALSE;
    return FirstFitSearch(t->S, t->Ed, &destination) && MoveStep(destination);
}

// The consolidation stage of the mode: the MFT's attributes first, then for
// the root and every record from 16 on its attributes and, for a directory,
// its index allocation. "(b)" passes over what already lies in place.
// DIRS_FILES, or DIRS_FAILED on a hard failure.
static LONG ConsolidationStage(LONG dirsOpt, const TARGET_AREA *t) {
    BOOL placed = dirsOpt == DIRS_OPT_MFTZ || dirsOpt == DIRS_OPT_MFTM;  // "(b)"
    LONGLONG directories = 0, attributes = 0;

    if (dirsOpt == DIRS_OPT_FREE)
        ShowStageBanner(u"*** STAGE %ld *** Defragmenting and Consolidating Directories & Attributes (a)\n");
    else if (dirsOpt == DIRS_OPT_ZERO)
        ShowStageBanner(u"*** STAGE %ld *** Moving Directories & Attributes (to front of disk)\n");
    else
        ShowStageBanner(u"*** STAGE %ld *** Defragmenting and Consolidating Directories & Attributes (b)\n");
    if (dirsOpt != DIRS_OPT_ZERO && !ReloadVolumeBitmap()) return DIRS_FAILED;
    StartPercentage(llFilesLocated);

    if (!ReadMftRecord()) return DIRS_FAILED;
    if (VolData.AttribClusters > 0) {
        LONG moved = MoveAttributes(t);
        if (moved < 0) return DIRS_FAILED;
        attributes += moved;
    }

    for (LONGLONG n = MFT_RECORD_ROOT; WalkDirectoryRecords(&n); n = NextWalkPosition(n)) {
        CountPercentage();
        if (dirsOpt == DIRS_OPT_ZERO && !IsDirectory()) continue;
        if (!ManualGetExtentList(0)) continue;
        if (VolData.AttribClusters > 0) {
            if (placed && VolData.AttribExtentCount > 0 &&
                AllClustersInZone(VolData.pAttribExtentList, VolData.AttribExtentCount, t->Sa, t->E) &&
                !VolData.bAttribFragmented)
                continue;  // the attributes are in place: the whole record is passed over
            PercentageToProgress();
            LONG moved = MoveAttributes(t);
            if (moved < 0) return DIRS_FAILED;
            attributes += moved;
        }
        if (!IsDirectory()) continue;
        if (placed && VolData.NumberOfClusters > 0 &&
            AllClustersInZone(VolData.pExtentList, VolData.NumberOfExtents, t->S, t->Ed) && !VolData.bFragmented)
            continue;  // in place
        if (!IsMovable()) continue;
        PercentageToProgress();
        if (MoveDirectory(dirsOpt, t)) directories++;
    }
    ShowClosingLine(u"\rMoved %ld directories to target area", directories, u"\n");
    ShowClosingLine(u"\rMoved %ld attributes to target area", attributes, u"\n\n");
    cProgress[0] = 0;
    return DIRS_FILES;
}

// The directory and attribute stages for lDirsOpt 1 to 4, after the
// gathering scan: the target area and its lines, the clearing stage for
// MFTZ and MFTM, then the consolidation stage. DIRS_FILES when the file
// stages follow, DIRS_END when DIRS=FREE finds no area (the end steps
// follow), DIRS_FAILED on a hard failure (the run ends with result 0).
LONG ConsolidateDirsAndAttributes(void) {
    LONG dirsOpt = lDirsOpt;
    LONGLONG d = llDirClusters, a = llAttribClusters;
    TARGET_AREA t;

    if (dirsOpt == DIRS_OPT_FREE) {
        LONG area = FreeTargetArea(d, a, &t);
        if (area != DIRS_FILES) return area;
    } else {
        if (!ReloadVolumeBitmap()) return DIRS_FAILED;
        if (dirsOpt == DIRS_OPT_ZERO) MarkMFTZoneUnavailable();
        t = FixedTargetArea(dirsOpt, d, a);
    }
    ShowTargetArea(dirsOpt, d + a, &t);
    if ((dirsOpt == DIRS_OPT_MFTZ || dirsOpt == DIRS_OPT_MFTM) && !ClearTargetArea(&t)) return DIRS_FAILED;
    return ConsolidationStage(dirsOpt, &t);
}
