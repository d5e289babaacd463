// MFT fragment minimisation (MFT=MIN): the extents of the MFT's data are
// brought together behind its first extent, one extent at a time, with
// NTFSMoveExtent. The first extent never moves: record 0 is written through
// it and the boot sector names its first cluster.
//
// A pass walks the extents after the first in file order. An extent that
// already follows its predecessor stays. One that does not is *closed up*
// when the free run at the place where it would follow (the "expected"
// LCN) holds it; otherwise, when it lies in the way (starting at or before
// the end a contiguous MFT would have, and ending at or after the start of
// the MFT zone), it is *moved out* to the first free run that holds it,
// provided that run lies at or behind that ideal end, so that the space it
// held opens for the extents that close up in the next pass. Other files in
// the way are left to the file stages, which the driver runs between calls
// of this stage.
//
// After every move attempt the MFT extent list is read again from record 0
// and record 0 is copied to the MFT mirror, before the next raw record read.
#include "bootntfs.h"

// Reads record 0 into the current-file fields through the MFT bitmap and
// copies it to the MFT mirror. The copy is written only when the mirror
// differs: after a run stopped between the write of record 0 and that of
// the mirror, it brings the mirror back in step before anything else is
// written. FALSE when the record cannot be read (a trace line only) or the
// mirror cannot be written (the error report).
static BOOL ReadRecordZeroAndMirror(BYTE *mftBitmap) {
    if (!ReadMftRecordThrough(mftBitmap)) return FALSE;
    VolData.FileRecordNumber = MFT_RECORD_MFT;
    if (!SyncNTFSMirror()) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Where extent i of the MFT (StartingLcn lcn, clusters long) goes in this
// pass, given the LCN where it would follow its predecessor (`expected`),
// the end of a contiguous MFT (`idealEnd`) and the MFT's first LCN and
// cluster count as the run found them. Needs the volume bitmap read again
// just before. TRUE with the destination; FALSE when the extent stays.
static BOOL ExtentDestination(LONGLONG lcn, LONGLONG clusters, LONGLONG expected, LONGLONG idealEnd,
                              LONGLONG mftFirstLcn, LONGLONG mftClusters, LONGLONG *destination) {
    LONGLONG cursor = expected, runLcn = 0, runClusters = 0;

    // Close up: the first free run at or after the expected place begins
    // there and holds the extent.
    if (expected > 0 && expected < VolData.TotalClusters)
        FindFreeExtent(pVolumeBitmapBits, VolData.TotalClusters, &cursor, &runLcn, &runClusters);
    if (runClusters > 0 && runLcn == expected && runClusters >= clusters) {
        *destination = expected;
        return TRUE;
    }
    // Move out, only for an extent in the way: the span of a contiguous MFT
    // is closed to the search, and a first fitting run in front of the
    // ideal end keeps the extent where it is for this pass.
    if (lcn > idealEnd || lcn + clusters < VolData.MftZoneStart) return FALSE;
    if (!MarkZoneUnavailable(mftFirstLcn, mftClusters)) return FALSE;
    if (!FirstFitSearchFor(clusters, 0, VolData.TotalClusters, destination)) return FALSE;
    return *destination >= idealEnd ? TRUE : FALSE;
}

// One pass over the MFT's extents (the current-file fields hold record 0's
// data runs). Returns the extents moved, or -1 after a hard failure (the
// bitmap cannot be read again, the MFT extent list or the mirror cannot be
// saved).
static LONGLONG MftPass(LONGLONG mftFirstLcn, LONGLONG mftClusters) {
    LONGLONG idealStart = VolData.pExtentList[0].StartingLcn;
    LONGLONG idealEnd = idealStart + VolData.NumberOfClusters;
    LONGLONG expected = idealStart, moved = 0;

    if (!ReloadVolumeBitmap()) return -1;
    // NumberOfExtents and pExtentList are read afresh at every step: each
    // move attempt reads them again from record 0.
    for (LONGLONG i = 1; i < VolData.NumberOfExtents; i++) {
        LONGLONG lcn = VolData.pExtentList[i].StartingLcn, clusters = VolData.pExtentList[i].ClusterCount;
        LONGLONG destination = 0;

        expected += VolData.pExtentList[i - 1].ClusterCount;
        UpdateProgress();
        if (lcn == expected) continue;  // already follows its predecessor
        if (!ReloadVolumeBitmap()) return -1;
        if (!ExtentDestination(lcn, clusters, expected, idealEnd, mftFirstLcn, mftClusters, &destination)) continue;

        ForceProgress();
        if (NTFSMoveExtent(destination, i)) {
            moved++;
            if (!ReloadVolumeBitmap()) return -1;
        }
        // Moved or not, the MFT extent list and the mirror follow record 0
        // before the next record is read.
        VolData.FileRecordNumber = MFT_RECORD_MFT;
        if (!SaveMFTExtentList() || !SyncNTFSMirror()) {
            ERROR_REPORT();
            return -1;
        }
    }
    return moved;
}

// The MFT stage. Takes the stage number for the banner, the locked MFT
// bitmap, the MFT's first LCN and cluster count as the driver recorded them
// at the start of the run, and &lMFTOpt. Shows the banner; an MFT in one
// fragment gives "Stage skipped; MFT already defragmented" and *mftOpt = 0.
// Otherwise passes run while the extents moved in a pass differ from those
// moved in the pass before (the first pass is compared with the number of
// extents, so at least two passes run). Those counts need not ever repeat,
// so the passes are also bounded: at most the number of extents the MFT had
// at the start of the stage, plus two. That many passes let every extent
// close up in a pass of its own, each close-up opening the place of the
// next, and leave the two passes the stopping rule needs to see a count
// repeat. The driver calls the stage again before each file stage while
// the MFT stays in pieces, so the stage is bounded per call, not per run.
// Then "MFT is now in %ld fragment(s)" (*mftOpt = 0 when fewer than two
// remain) and "Moved %ld extents during MFT defragmentation". Leaves the
// current-file fields describing record 0. Returns TRUE when the stage ran
// or was skipped; FALSE on a hard failure (the bitmap, record 0, the
// progress meter, the MFT extent list or the mirror), after the error
// report or, for record 0, the trace line "BadMFT1" or "BadMFT2".
BOOL PartialDefragMFT(LONG stage, BYTE *mftBitmap, LONGLONG mftFirstLcn, LONGLONG mftClusters, LONG *mftOpt) {
    LONGLONG previous, passes = 0, bound, total = 0;

    swprintf(cOutline, u"*** STAGE %ld *** Minimizing MFT Fragmentation\n", stage);
    ShowMessage(cOutline);
    if (!ReloadVolumeBitmap()) return FALSE;
    if (!ReadRecordZeroAndMirror(mftBitmap)) return FALSE;
    if (VolData.NumberOfFragments == 1) {
        ShowMessage(u"Stage skipped; MFT already defragmented\n\n");
        *mftOpt = 0;
        return TRUE;
    }
    if (!InitializeProgress(VolData.NumberOfExtents * 8, 20)) {
        ERROR_REPORT();
        return FALSE;
    }

    previous = VolData.NumberOfExtents;
    bound = VolData.NumberOfExtents + 2;
    for (;;) {
        LONGLONG moved = MftPass(mftFirstLcn, mftClusters);
        if (moved < 0) return FALSE;
        total += moved;
        passes++;
        if (moved == previous || passes >= bound) break;
        previous = moved;
    }

    if (!ReadMftRecordThrough(mftBitmap)) return FALSE;
    ShowClosingLine(u"\rMFT is now in %ld fragment(s)", VolData.NumberOfFragments, u"\n");
    if (VolData.NumberOfFragments < 2) *mftOpt = 0;
    ShowClosingLine(u"\rMoved %ld extents during MFT defragmentation", total, u"\n\n");
    return TRUE;
}
