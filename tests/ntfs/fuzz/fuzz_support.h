// Common set-up of the NTFS fuzz targets: a volume of 1,024-byte records and
// 4,096-byte clusters held only in the engine's globals (no disk behind it),
// the screen silenced.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "ntfs.h"

namespace ntfsfuzz {

const LONGLONG kRecords = 16;

inline void Trap(bool ok) {
    if (!ok) __builtin_trap();
}

// Once per process: the buffers a volume setup would allocate.
inline bool InitOnce() {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);  // the dumps of bad records would flood the screen
    memset(&VolData, 0, sizeof(VolData));
    VolData.hVolume = INVALID_HANDLE_VALUE;
    VolData.cDrive[0] = u'F';
    VolData.cDrive[1] = u':';
    VolData.BytesPerSector = 512;
    VolData.BytesPerCluster = 4096;
    VolData.BytesPerFRS = 1024;
    VolData.TotalClusters = 1 << 16;
    Trap(AllocateMemory(65536 + 512, &VolData.hMftBuffer, (void **)&VolData.pMftBuffer));
    Trap(AllocateMemory(2048, &VolData.hFileRecord, (void **)&VolData.pFileRecord));
    Trap(AllocateMemory(64, &VolData.hMftBitmap, nullptr));
    Trap(AllocateMemory(sizeof(EXTENT_LIST) * 2, &VolData.hMftExtentList, (void **)&VolData.pMftExtentList));
    Trap(GrowExtentList(16));
    return true;
}

// Before each input: the per-file state a run would carry.
inline void ResetPerInput() {
    VolData.TotalFileRecords = kRecords;
    VolData.MftExtentCount = 1;
    VolData.pMftExtentList[0] = {0, 4, 0, 0, 0, 0};  // records 0..15 at clusters 0..3
    VolData.AttribExtentCount = 0;
    VolData.cFileName[0] = 0;
    LastPathFrs = 0;
    FileRecordLow = FileRecordHi = 0;
    BYTE *bitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
    memset(bitmap, 0, 64);
    GlobalUnlock(VolData.hMftBitmap);
    llMftBitmapBits = 64 * 8;
}

}  // namespace ntfsfuzz
