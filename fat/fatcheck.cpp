// The check of a FAT volume before the run writes anything: the FAT against
// the chains of every entry of the directory tree.
//
// The moves trust the FAT: a cluster whose entry is 0 may receive a copy.
// When an entry's chain starts on or runs into a free cluster, clusters the
// file holds read as free, and a move could overwrite them; when two chains
// share a cluster, a move of one rewrites the other's data under it. Such a
// volume is refused instead, with the line of a volume whose allocation
// disagrees with its files. Clusters in use that no chain reaches (lost
// clusters, what an interrupted run leaves) are allowed.
//
// The tree is walked as the gathering stage walks it (NextFatFile) and each
// entry's chain is read with the engine's own chain walk
// (GetExtentListManuallyFat); each extent claims its clusters in a volume
// bitmap built from the FAT for the purpose and released again. Cost: one
// walk of the tree and one bitmap of memory.
#include "fat.h"

#define DETAIL_CHARS 512  // a longer path is cut

// Refuses the volume with a detail line: `format` takes the entry's path and
// a cluster number.
static BOOL Refuse(const WCHAR *format, LONGLONG cluster) {
    WCHAR detail[DETAIL_CHARS];

    _snwprintf(detail, DETAIL_CHARS - 1, format, VolData.cFileName, (ULONG)cluster);
    detail[DETAIL_CHARS - 1] = 0;
    return RefuseInconsistentVolume(detail);
}

// Claims the clusters of the chain of the current entry (VolData.StartingLcn,
// cFileName) in the bit array. TRUE when each is in use and claimed by no
// chain before; FALSE when the volume is refused or after the error report.
static BOOL ClaimChain(BYTE *bits) {
    LONGLONG first = VolData.StartingLcn + FAT_FIRST_CLUSTER;

    if (!GetExtentListManuallyFat()) return FALSE;
    if (VolData.NumberOfExtents == 0)
        return Refuse(u"Info: the cluster chain of %s, from cluster %lu, runs into a free cluster\n", first);
    for (LONGLONG i = 0; i < VolData.NumberOfExtents; i++) {
        const EXTENT_LIST *e = &VolData.pExtentList[i];
        LONGLONG conflict = 0;
        // Every cluster of the chain was read in use: a clear bit is one a
        // chain before claimed.
        if (!ClaimClusters(bits, VolData.TotalClusters, e->StartingLcn, e->ClusterCount, &conflict))
            return Refuse(u"Info: %s uses cluster %lu, which another chain uses too\n", conflict + FAT_FIRST_CLUSTER);
    }
    return TRUE;
}

// Takes the volume opened and described (GetFatVolumeStats), with no volume
// bitmap block yet. Reads the boot sector and walks the whole tree, the
// FAT32 root's own chain included; leaves no bitmap block and no walk
// behind. TRUE for a volume whose FAT agrees with its chains but for lost
// clusters; FALSE when the volume is refused, with its line (a detail line
// before it at log level 1 and more), or after the error report.
BOOL CheckFatAllocation(void) {
    LONGLONG bytes = VolumeBitmapBlockBytes();
    BYTE *block = nullptr;
    BOOL ok = TRUE;

    if (VolData.hVolumeBitmap != nullptr || bytes <= 0 ||
        !AllocateMemory((DWORD)bytes, &VolData.hVolumeBitmap, nullptr)) {
        ERROR_REPORT();
        return FALSE;
    }
    // The layout first: the bitmap is read from the FAT it locates.
    if (!GetFatBootSector() || !ManualGetVolumeBitmap() ||
        (block = (BYTE *)GlobalLock(VolData.hVolumeBitmap)) == nullptr) {
        ERROR_REPORT();
        ok = FALSE;
    }
    BYTE *bits = ok ? block + offsetof(VOLUME_BITMAP_BUFFER, Buffer) : nullptr;
    if (ok && VolData.FileSystem == FS_FAT32) {
        swprintf(VolData.cFileName, u"%c:\\", (int)VolData.cDrive[0]);
        VolData.bDirectory = 1;
        VolData.StartingLcn = TreeData.llDirLcn[0];
        ok = ClaimChain(bits);
    }
    while (ok) {
        if (!NextFatFile()) {
            ERROR_REPORT();
            ok = FALSE;
            break;
        }
        if (VolData.cFileName[0] == 0) break;  // the walk is over
        if (VolData.StartingLcn != FAT_NO_CLUSTER) ok = ClaimChain(bits);
    }

    ReleaseTreeHandles();
    if (block != nullptr) GlobalUnlock(VolData.hVolumeBitmap);
    ReleaseMemory(&VolData.hVolumeBitmap, nullptr);
    VolData.NumberOfExtents = VolData.NumberOfClusters = 0;
    VolData.cFileName[0] = 0;
    return ok;
}
