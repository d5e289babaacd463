// NTFS volume setup and teardown: Initialize opens and checks the volume,
// prepares the paging file and loads the MFT's bitmap and extents;
// InitializeDefrag allocates the move machinery and reads the volume bitmap;
// DisplayNtfsVolumeStats shows the partition data; OffLineExit releases
// everything and closes the volume and the log.
//
// Nothing here writes to the volume raw. The only changes setup makes are
// the paging-file preparation's, through the file system, and they come
// after every check that can refuse the volume (dirty, NTFS version, a
// cluster size the run cannot process, a volume bitmap that disagrees with
// the records): a refused setup leaves the volume as it found it.
#include "ntfs.h"

#include <cstring>

// The extent list allocated at setup: 4,096 entries.
#define SETUP_EXTENT_LIST_BYTES 0x28000
// The move buffer and the record-rewrite buffer: 64 KB usable after
// alignment to a sector.
#define MOVE_BUFFER_BYTES 65536
// The excluded-record list at setup: 200 record numbers.
#define SETUP_EXCLUDED_FRNS 200
// The last-files table (LAST50).
#define LAST50_BYTES 3280400
// The NTFS version the run can process.
#define NTFS_SUPPORTED_MAJOR_VERSION 3
// The largest cluster the run can process; main refuses larger ones after
// the partition data is shown.
#define LARGEST_PROCESSED_CLUSTER 4096

// The NTFS major version held by the $VOLUME_INFORMATION of a $Volume record
// (fix-ups removed). FALSE with the error report when the attribute is
// missing, not resident or too short.
static BOOL VolumeMajorVersion(PFILE_RECORD_SEGMENT_HEADER record, UCHAR *major) {
    PATTRIBUTE_RECORD_HEADER attribute = nullptr;
    ULONG position = 0;
    const BYTE *value;

    if (!FindAttribute(ATTR_VOLUME_INFORMATION, record, &attribute, (ULONG)VolData.BytesPerFRS, &position)) {
        ERROR_REPORT();
        return FALSE;
    }
    value = ResidentValue(attribute, offsetof(VOLUME_INFORMATION, MinorVersion) + 1);
    if (value == nullptr) {
        ERROR_REPORT();
        return FALSE;
    }
    *major = ((const VOLUME_INFORMATION *)value)->MajorVersion;
    return TRUE;
}

// Refuses a volume of another NTFS version than 3 with the version line.
static BOOL VersionAccepted(UCHAR major) {
    if (major == NTFS_SUPPORTED_MAJOR_VERSION) return TRUE;
    swprintf(cOutline, u"Device %c: not legal for boot-time defragmentation (NTFS version incompatible)\n",
             (int)VolData.cDrive[0]);
    ShowMessage(cOutline);
    return FALSE;
}

// The version gate before anything changes the volume: reads $Volume through
// the file system's record query (pFileRecord must exist). FALSE for a
// record that cannot be read, a damaged one, or another version.
static BOOL EarlyVersionGate(void) {
    LONGLONG frn = MFT_RECORD_VOLUME;
    UCHAR major = 0;

    if (!GetInUseFrs(VolData.hVolume, &frn, (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord,
                     (ULONG)VolData.BytesPerFRS) ||
        frn != MFT_RECORD_VOLUME) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!VolumeMajorVersion((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, &major)) return FALSE;
    return VersionAccepted(major);
}

// Reads the MFT's view of the volume, after any earlier one is released:
// the MFT bitmap, the MFT's extents (from the system extent list) and, as
// the run itself reads it, the NTFS version from $Volume. The record cache
// is emptied first. TRUE for version 3; FALSE with the version line or
// after the error report.
static BOOL LoadMft(void) {
    BYTE *mftBitmap;
    UCHAR major = 0;

    FileRecordLow = FileRecordHi = 0;
    ReleaseMemory(&VolData.hMftBitmap, nullptr);
    llMftBitmapBits = 0;
    ReleaseMemory(&VolData.hMftExtentList, (void **)&VolData.pMftExtentList);
    VolData.MftExtentCount = 0;

    TRACE(7, u"Initialize", u"GetMftBitmap");
    if (!GetMftBitmap()) {
        ERROR_REPORT();
        return FALSE;
    }

    TRACE(7, u"Initialize", u"GetSystemExtentList");
    if (!GetSystemsExtentList()) {
        ERROR_REPORT();
        return FALSE;
    }
    VolData.MftSize = VolData.FileSize;
    VolData.MftExtentCount = VolData.NumberOfExtents - 1;

    TRACE(9, u"Initialize", u"AllocateMftExtentList");
    if (VolData.MftExtentCount < 1 || !AllocateMemory((DWORD)(VolData.MftExtentCount * sizeof(EXTENT_LIST)),
                                                      &VolData.hMftExtentList, (void **)&VolData.pMftExtentList)) {
        VolData.MftExtentCount = 0;
        ERROR_REPORT();
        return FALSE;
    }
    memcpy(VolData.pMftExtentList, VolData.pExtentList, (size_t)VolData.MftExtentCount * sizeof(EXTENT_LIST));

    // The version again, from the record as the run itself reads it.
    mftBitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
    if (mftBitmap == nullptr) {
        ERROR_REPORT();
        return FALSE;
    }
    VolData.FileRecordNumber = MFT_RECORD_VOLUME;
    if (!GetFrs(&VolData.FileRecordNumber, VolData.pMftExtentList, mftBitmap, VolData.pMftBuffer,
                (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord) ||
        VolData.FileRecordNumber != MFT_RECORD_VOLUME) {
        GlobalUnlock(VolData.hMftBitmap);
        ERROR_REPORT();
        return FALSE;
    }
    if (!VolumeMajorVersion((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, &major)) {
        GlobalUnlock(VolData.hMftBitmap);
        return FALSE;
    }
    GlobalUnlock(VolData.hMftBitmap);
    return VersionAccepted(major);
}

// Opens and describes the volume of the run.
//   drive  the drive argument ("C:")
// Zeroes VolData, glFileStats and glAttribStats, then fills VolData: the
// geometry and an open hVolume, the file-record buffer (hFileRecord/
// pFileRecord), the extent list (hExtentList/pExtentList), the MFT read
// cache (hMftBuffer/pMftBuffer), the MFT bitmap (hMftBitmap), the MFT's
// extents (hMftExtentList/pMftExtentList, MftExtentCount, MftSize); prepares
// the paging file (hPageFileNames and the paging-file globals), after the
// volume bitmap was checked against the records (CheckVolumeAllocation).
// Returns TRUE for an NTFS version 3 volume that is not dirty and whose
// bitmap agrees with its records; FALSE refuses the run (with the dirty,
// version or inconsistent-volume lines, or the error report). Whatever was
// obtained is released by OffLineExit, which must follow in every case.
BOOL Initialize(const WCHAR *drive) {
    BOOL prepared;

    TRACE(9, u"Initialize", u"ZeroVolData");
    memset(&VolData, 0, sizeof VolData);
    memset(glFileStats, 0, sizeof glFileStats);
    memset(glAttribStats, 0, sizeof glAttribStats);
    wcsncpy(VolData.cDrive, drive, sizeof VolData.cDrive / sizeof(WCHAR) - 1);
    FileRecordLow = FileRecordHi = 0;
    llMftBitmapBits = 0;
    LastPathFrs = 0;

    TRACE(7, u"Initialize", u"GetNTFSVolumeStats");
    if (!GetNtfsVolumeStats()) {
        ERROR_REPORT();
        return FALSE;
    }
    VolData.BitmapSizeBytes = VolData.BitmapSizeBits / 8;

    if (IsVolumeDirty()) return FALSE;

    TRACE(9, u"Initialize", u"AllocFileRecord");
    if (!AllocateMemory((DWORD)(2 * VolData.BytesPerFRS), &VolData.hFileRecord, (void **)&VolData.pFileRecord)) {
        ERROR_REPORT();
        return FALSE;
    }
    VolData.ExtentListBytes = SETUP_EXTENT_LIST_BYTES;
    TRACE(9, u"Initialize", u"AllocExtentList");
    if (!AllocateMemory((DWORD)VolData.ExtentListBytes, &VolData.hExtentList, (void **)&VolData.pExtentList)) {
        VolData.ExtentListBytes = 0;
        ERROR_REPORT();
        return FALSE;
    }

    // The paging-file preparation below writes to the volume: the version
    // is learnt first, through the file system, and a volume the run will
    // refuse for its cluster size is not prepared at all.
    if (!EarlyVersionGate()) return FALSE;
    if (VolData.BytesPerCluster > LARGEST_PROCESSED_CLUSTER) lPageOpt = 0;

    TRACE(9, u"Initialize", u"AllocateMFTBuffer");
    if (!AllocateAligned(MFT_WINDOW_BYTES, &VolData.hMftBuffer, &VolData.pMftBuffer)) return FALSE;
    if (!AllocateRecordCache()) return FALSE;
    if (!LoadMft()) return FALSE;

    // Nothing is changed on a volume whose bitmap disagrees with its records
    // (one the run would refuse for its cluster size is not changed anyway).
    if (VolData.BytesPerCluster <= LARGEST_PROCESSED_CLUSTER && !CheckVolumeAllocation()) return FALSE;

    // PAGE=PLACE and PAGE=ZERO change the MFT through the file system: its
    // bitmap and extents are read again after them.
    prepared = lPageOpt == 1 || lPageOpt == 3;
    TRACE(7, u"Initialize", u"GetPageFileNames");
    if (!PreparePageFile(VolData.cDrive[0])) {
        ERROR_REPORT();
        return FALSE;
    }
    return prepared ? LoadMft() : TRUE;
}

// Allocates the move machinery and reads the volume bitmap, after a
// successful Initialize.
// Leaves bMoveDirs = 1, the volume bitmap block (VolData.hVolumeBitmap,
// VolumeBitmapBlockBytes() long, unlocked, filled from the file system), the
// move and record-rewrite buffers (hMoveBuffer/pMoveBuffer,
// hFrsBuffer/pFrsBuffer, sector-aligned), the excluded-record list
// (hExcludedFrns/pExcludedFrns, 200 entries, none used), the runs of the
// volume-bitmap file (hVolumeBitMapExtent/pVolumeBitMapExtent,
// llVolumeBitMapExtents), SystemAreaEnd, and with LAST50 the last-files
// table; the attribute extent list is emptied. Returns TRUE; FALSE after the
// error report (or without one when the volume-bitmap file's record cannot
// be found). Blocks already obtained are released by OffLineExit.
BOOL InitializeDefrag(void) {
    LONGLONG bitmapBytes;
    BYTE *mftBitmap;
    BOOL read;

    bMoveDirs = 1;

    TRACE(8, u"InitializeDefrag", u"AllocVolumeBitmap");
    bitmapBytes = VolumeBitmapBlockBytes();
    if (bitmapBytes <= 0 || !AllocateMemory((DWORD)bitmapBytes, &VolData.hVolumeBitmap, nullptr)) {
        ERROR_REPORT();
        return FALSE;
    }

    TRACE(8, u"InitializeDefrag", u"AllocMoveBuffer");
    if (!AllocateAligned(MOVE_BUFFER_BYTES + VolData.BytesPerSector, &hMoveBuffer, &pMoveBuffer)) return FALSE;
    TRACE(8, u"InitializeDefrag", u"AllocFrsBuffer");
    if (!AllocateAligned(MOVE_BUFFER_BYTES + VolData.BytesPerSector, &hFrsBuffer, &pFrsBuffer)) return FALSE;

    TRACE(8, u"InitializeDefrag", u"AllocExcludedFrns");
    if (!AllocateMemory(SETUP_EXCLUDED_FRNS * sizeof(LONGLONG), &hExcludedFrns, (void **)&pExcludedFrns)) {
        ERROR_REPORT();
        return FALSE;
    }
    llUsedFrns = 0;
    llMaxFrns = SETUP_EXCLUDED_FRNS;

    TRACE(7, u"InitializeDefrag", u"GetVolumeBitmap");
    if (!GetVolumeBitmap()) {
        ERROR_REPORT();
        return FALSE;
    }

    VolData.FileRecordNumber = MFT_RECORD_BITMAP;
    TRACE(7, u"InitializeDefrag", u"GetFRS - of - MFTBitmap");
    mftBitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
    if (mftBitmap == nullptr) {
        ERROR_REPORT();
        return FALSE;
    }
    read = GetFrs(&VolData.FileRecordNumber, VolData.pMftExtentList, mftBitmap, VolData.pMftBuffer,
                  (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord);
    GlobalUnlock(VolData.hMftBitmap);
    if (!read) {
        ERROR_REPORT();
        return FALSE;
    }
    if (VolData.FileRecordNumber >= VolData.TotalFileRecords) return FALSE;
    // GetFrs moves on to the next record in use: the runs of any other
    // record must never be taken for the volume bitmap's, which the moves
    // write.
    if (VolData.FileRecordNumber != MFT_RECORD_BITMAP) {
        ERROR_REPORT();
        return FALSE;
    }
    if (((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord)->ReferenceCount != 0) {
        TRACE(8, u"InitializeDefrag", u"GetExtentList");
        if (!GetExtentList(ATTR_DATA) || VolData.NumberOfExtents < 1) {
            ERROR_REPORT();
            return FALSE;
        }
        llVolumeBitMapExtents = VolData.NumberOfExtents;
        TRACE(8, u"InitializeDefrag", u"AllocateBitMapExtents");
        if (!AllocateMemory((DWORD)(llVolumeBitMapExtents * sizeof(EXTENT_LIST)), &hVolumeBitMapExtent,
                            (void **)&pVolumeBitMapExtent)) {
            llVolumeBitMapExtents = 0;
            ERROR_REPORT();
            return FALSE;
        }
        memcpy(pVolumeBitMapExtent, VolData.pExtentList, (size_t)llVolumeBitMapExtents * sizeof(EXTENT_LIST));
    }

    TRACE(7, u"InitializeDefrag", u"GetMftMirror");
    if (!GetMftMirror()) {
        ERROR_REPORT();
        return FALSE;
    }

    if (bLast50 && !AllocateMemory(LAST50_BYTES, &hLast50, (void **)&plLast50)) {
        ERROR_REPORT();
        return FALSE;
    }

    // Nothing of setup's reads belongs to a current record's attributes.
    ReleaseMemory(&VolData.hAttribExtentList, (void **)&VolData.pAttribExtentList);
    VolData.AttribExtentCount = 0;
    VolData.AttribExtentCapacity = 0;
    VolData.AttribClusters = 0;
    VolData.AttribFragments = 0;
    VolData.bAttribFragmented = FALSE;
    VolData.AttribLowestLcn = 0;
    return TRUE;
}

// Shows one line of the partition data with a 32-bit number formatted in.
static void ShowStatsLine(const WCHAR *format, LONG value) {
    swprintf(cOutline, format, value);
    ShowDiag(cOutline);
}

// Shows the partition data block (screen and log), one line at a time, from
// VolData and the volume-bitmap runs of InitializeDefrag; numbers are the
// low 32 bits of the 64-bit fields. Changes nothing.
void DisplayNtfsVolumeStats(void) {
    LONGLONG bitmapClusters = 0;
    LONGLONG i;

    swprintf(cOutline, u"          Data for partition %c:\n", (int)VolData.cDrive[0]);
    ShowDiag(cOutline);
    ShowDiag(u"=========================================\n");
    ShowStatsLine(u"Bytes per sector             =   %8ld\n", (LONG)VolData.BytesPerSector);
    ShowStatsLine(u"Bytes per cluster            =   %8ld\n", (LONG)VolData.BytesPerCluster);
    ShowStatsLine(u"Sectors per cluster          =   %8ld\n", (LONG)VolData.SectorsPerCluster);
    ShowStatsLine(u"Total clusters on partition  =   %8ld\n", (LONG)VolData.TotalClusters);
    ShowStatsLine(u"Bytes per File Record Segment=   %8ld\n", (LONG)VolData.BytesPerFRS);
    ShowStatsLine(
        u"Volume Bitmap Start LCN      = 0x%08lx\n",
        (LONG)(pVolumeBitMapExtent != nullptr && llVolumeBitMapExtents > 0 ? pVolumeBitMapExtent[0].StartingLcn : 0));
    ShowStatsLine(u"Volume Bitmap Extents        =   %8ld\n", (LONG)llVolumeBitMapExtents);
    for (i = 0; pVolumeBitMapExtent != nullptr && i < llVolumeBitMapExtents; i++)
        bitmapClusters += pVolumeBitMapExtent[i].ClusterCount;
    ShowStatsLine(u"Volume Bitmap Cluster Count  =   %8ld\n", (LONG)bitmapClusters);
    ShowStatsLine(u"Volume Bitmap Size           =   %8ld\n", (LONG)VolData.BitmapSizeBits);
    ShowStatsLine(u"Total File Records           =   %8ld\n", (LONG)VolData.TotalFileRecords);
    ShowStatsLine(u"MFT Start LCN                = 0x%08lx\n", (LONG)VolData.MftStartLcn);
    ShowStatsLine(u"MFT Area Start               = 0x%08lx\n", (LONG)VolData.MftZoneStart);
    ShowStatsLine(u"MFT Area End                 = 0x%08lx\n", (LONG)VolData.MftZoneEnd);
    ShowStatsLine(u"MFT Start Offset             = 0x%08lx\n\n", (LONG)VolData.MftStartOffset);
}

// Ends the run: releases every block of setup and the stages that exists
// (each only when its handle is not null), flushes and closes the volume
// when it is open, and closes the log. Safe after a setup that failed at
// any point, and a second time. Returns TRUE.
BOOL OffLineExit(void) {
    ReleaseMemory(&hMoveBuffer, (void **)&pMoveBuffer);
    ReleaseMemory(&hFrsBuffer, (void **)&pFrsBuffer);
    ReleaseMemory(&hExcludedFrns, (void **)&pExcludedFrns);
    llUsedFrns = 0;
    llMaxFrns = 0;

    TRACE(7, u"OffLineExit", u"UnlockVolume");
    if (VolData.hVolume != nullptr && VolData.hVolume != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(VolData.hVolume);
        CloseHandle(VolData.hVolume);
    }
    VolData.hVolume = INVALID_HANDLE_VALUE;

    ReleaseMemory(&VolData.hMftExtentList, (void **)&VolData.pMftExtentList);
    VolData.MftExtentCount = 0;
    ReleaseMemory(&VolData.hMftBuffer, (void **)&VolData.pMftBuffer);
    ForgetRecordCache();
    ReleaseMemory(&VolData.hMftBitmap, nullptr);
    llMftBitmapBits = 0;
    ReleaseMemory(&VolData.hExtentList, (void **)&VolData.pExtentList);
    VolData.ExtentListBytes = 0;
    VolData.NumberOfExtents = 0;
    ReleaseMemory(&VolData.hAttribExtentList, (void **)&VolData.pAttribExtentList);
    VolData.AttribExtentCount = 0;
    VolData.AttribExtentCapacity = 0;
    ForgetVolumeBitmapCopy();
    ReleaseMemory(&VolData.hVolumeBitmap, nullptr);
    ReleaseMemory(&VolData.hFileRecord, (void **)&VolData.pFileRecord);
    ReleaseMemory(&hPageFileNames, (void **)&pPageFileNames);
    ReleaseMemory(&hVolumeBitMapExtent, (void **)&pVolumeBitMapExtent);
    llVolumeBitMapExtents = 0;
    ReleaseMemory(&hLast50, (void **)&plLast50);

    if (bLogFile && hLogFile != nullptr) {
        CloseLogFile(hLogFile);
        hLogFile = nullptr;
    }
    return TRUE;
}
