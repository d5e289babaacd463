// The one volume record of a run, the run-wide buffers and the run
// statistics. Everything here is a process-wide global that starts zeroed:
// Initialize zeroes VolData and the statistics again at the start of a run,
// the setup routines allocate the buffers, and OffLineExit releases each
// handle that is not null.
#include "frame.h"

VOL_DATA VolData;

HGLOBAL hMoveBuffer;
BYTE *pMoveBuffer;
HGLOBAL hFrsBuffer;
BYTE *pFrsBuffer;
HGLOBAL hExcludedFrns;
LONGLONG *pExcludedFrns;
LONGLONG llUsedFrns;
LONGLONG llMaxFrns;
HGLOBAL hVolumeBitMapExtent;
EXTENT_LIST *pVolumeBitMapExtent;
LONGLONG llVolumeBitMapExtents;
BOOL bMoveDirs;
HGLOBAL hLast50;
struct _LAST_50 *plLast50;

LONGLONG glFileStats[128];
LONGLONG glAttribStats[2][18];

// Takes a cluster count (>= 0); returns the bit count of the bitmap array:
// the clusters rounded up to whole 32-bit words, plus one spare word.
LONGLONG BitmapSizeBitsFor(LONGLONG totalClusters) {
    if (totalClusters < 0) return 0;
    LONGLONG words = totalClusters / 32 + ((totalClusters % 32) != 0 ? 1 : 0) + 1;
    return words * 32;
}

// Takes VolData.BitmapSizeBits and VolData.BytesPerCluster; returns the byte
// size of the bitmap block (see voldata.h), or 0 for an impossible geometry.
// The block is allocated by the setup routines and freed by OffLineExit.
LONGLONG VolumeBitmapBlockBytes(void) {
    LONGLONG bits = VolData.BitmapSizeBits;
    if (bits <= 0 || bits % 32 != 0) return 0;
    LONGLONG bytes = bits / 8;
    LONGLONG cluster = VolData.BytesPerCluster;
    if (cluster > 0) bytes = (bytes + cluster - 1) / cluster * cluster;
    bytes += 24;
    if (bytes > (LONGLONG)0xFFFFFFFF) return 0;
    return bytes;
}
