// The check of a volume before the run writes anything: the volume bitmap
// against the runs of every record of the MFT.
//
// The moves trust the bitmap: a cluster it calls free may receive a copy.
// When the bitmap calls free a cluster that a live file uses, or two records
// name one cluster, or a run leaves the volume, a move would overwrite live
// data, and the volume is refused instead, as a dirty one is. Clusters the
// bitmap marks in use that no record names (lost clusters, what an
// interrupted run leaves) are allowed.
//
// Every record in use, base and extension records alike, is read by the
// run's own reader (GetFrs, with its update-sequence check) and the runs of
// each of its non-resident attributes are decoded by the engine's run-list
// routines into the extent list; each run claims its clusters in the volume
// bitmap block, filled from the file system for the purpose and released
// again. Cost: one walk of the MFT and one bitmap of memory.
#include "ntfs.h"

#include <climits>

// Bytes before the bits in the volume bitmap block (starting LCN, size).
#define VOLUME_BITMAP_HEADER 16
#define DETAIL_CHARS 160

// Refuses the volume with a detail line: `format` takes the record number
// and a cluster (each cut to 32 bits).
static BOOL Refuse(const WCHAR *format, LONGLONG record, LONGLONG lcn) {
    WCHAR detail[DETAIL_CHARS];

    _snwprintf(detail, DETAIL_CHARS - 1, format, (LONG)record, (LONG)lcn);
    detail[DETAIL_CHARS - 1] = 0;
    return RefuseInconsistentVolume(detail);
}

// Claims the clusters of every non-resident attribute of the record in
// pFileRecord (record VolData.FileRecordNumber) in the bit array. TRUE when
// every run could claim its clusters; FALSE when the volume is refused or
// after the error report.
static BOOL ClaimRecord(BYTE *bits) {
    PFILE_RECORD_SEGMENT_HEADER record = (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord;
    PATTRIBUTE_RECORD_HEADER attribute = nullptr;
    LONGLONG frn = VolData.FileRecordNumber;
    BOOL damaged = FALSE;

    while (StepAttribute(record, (ULONG)VolData.BytesPerFRS, &attribute, &damaged)) {
        if (attribute->FormCode == RESIDENT_FORM) continue;
        LONGLONG covered = 0, clusters = 0;
        LONGLONG runs = GetExtentCount(attribute, &covered, LLONG_MAX, &clusters);
        if (runs < 0) return Refuse(u"Info: the runs of record %ld are damaged or leave the volume\n", frn, 0);
        if (runs == 0) continue;
        if (!GrowExtentList(runs)) return FALSE;
        LONGLONG index = 0, nextLcn = 0, fragments = 0;
        covered = 0;
        AddToExtentList(attribute, VolData.pExtentList, runs, &index, &nextLcn, &covered, LLONG_MAX, &fragments);
        for (LONGLONG i = 0; i < index; i++) {
            const EXTENT_LIST *e = &VolData.pExtentList[i];
            LONGLONG conflict = 0;
            if (e->StartingLcn < 0) continue;  // no disk space
            if (ClaimClusters(bits, VolData.TotalClusters, e->StartingLcn, e->ClusterCount, &conflict)) continue;
            // Free on the volume, or claimed by a record before: the bitmap
            // read again tells which.
            BYTE *block = (BYTE *)GlobalLock(VolData.hVolumeBitmap);
            BOOL marked = block != nullptr && GetVolumeBitmap() &&
                          (block[VOLUME_BITMAP_HEADER + conflict / 8] >> (conflict % 8)) & 1;
            if (block != nullptr) GlobalUnlock(VolData.hVolumeBitmap);
            if (marked)
                return Refuse(u"Info: record %ld uses cluster 0x%08lx, which another record uses too\n", frn, conflict);
            return Refuse(u"Info: record %ld uses cluster 0x%08lx, which the volume bitmap marks free\n", frn,
                          conflict);
        }
    }
    if (damaged) return Refuse(u"Info: record %ld holds a damaged attribute\n", frn, 0);
    return TRUE;
}

// Takes the volume set up as far as the MFT's bitmap, extents and read
// cache, with no volume bitmap block yet. Walks every record in use and
// claims the clusters of its runs in the volume bitmap (see above); leaves
// no bitmap block behind. TRUE for a volume whose bitmap agrees with its
// records but for lost clusters; FALSE when the volume is refused, with its
// line (a detail line before it at log level 1 and more), or after the
// error report.
BOOL CheckVolumeAllocation(void) {
    LONGLONG bitmapBytes = VolumeBitmapBlockBytes();
    BYTE *block, *mftBitmap;
    BOOL ok = TRUE;

    TRACE(7, u"CheckVolumeAllocation", u"GetVolumeBitmap");
    if (VolData.hVolumeBitmap != nullptr || bitmapBytes <= 0 ||
        !AllocateMemory((DWORD)bitmapBytes, &VolData.hVolumeBitmap, nullptr)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!GetVolumeBitmap()) {
        ReleaseMemory(&VolData.hVolumeBitmap, nullptr);
        ERROR_REPORT();
        return FALSE;
    }
    block = (BYTE *)GlobalLock(VolData.hVolumeBitmap);
    mftBitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
    if (block == nullptr || mftBitmap == nullptr) {
        ERROR_REPORT();
        ok = FALSE;
    }

    TRACE(7, u"CheckVolumeAllocation", u"WalkRecords");
    for (VolData.FileRecordNumber = 0; ok && VolData.FileRecordNumber < VolData.TotalFileRecords;
         VolData.FileRecordNumber++) {
        if (!GetFrs(&VolData.FileRecordNumber, VolData.pMftExtentList, mftBitmap, VolData.pMftBuffer,
                    (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord)) {
            // The record's clusters cannot be known.
            ok = Refuse(u"Info: record %ld cannot be read\n", VolData.FileRecordNumber, 0);
            break;
        }
        if (VolData.FileRecordNumber >= VolData.TotalFileRecords) break;
        ok = ClaimRecord(block + VOLUME_BITMAP_HEADER);
    }

    if (mftBitmap != nullptr) GlobalUnlock(VolData.hMftBitmap);
    if (block != nullptr) GlobalUnlock(VolData.hVolumeBitmap);
    ReleaseMemory(&VolData.hVolumeBitmap, nullptr);
    VolData.NumberOfExtents = 0;
    return ok;
}
