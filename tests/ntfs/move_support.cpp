// Helpers of the move engine's tests.
#include "move_support.h"

#include <stdlib.h>
#include <unistd.h>

#include "internal.h"

namespace movetest {

namespace {

HGLOBAL hMoveBlock = nullptr, hFrsBlock = nullptr;

void Release(HGLOBAL *handle) {
    if (*handle) {
        GlobalUnlock(*handle);
        GlobalFree(*handle);
        *handle = nullptr;
    }
}

BYTE *Aligned(BYTE *p) {
    ULONG_PTR s = (ULONG_PTR)VolData.BytesPerSector;
    return (BYTE *)(((ULONG_PTR)p + s - 1) / s * s);
}

BYTE *BitmapBits() {
    BYTE *block = (BYTE *)GlobalLock(VolData.hVolumeBitmap);
    GlobalUnlock(VolData.hVolumeBitmap);
    return block ? block + 16 : nullptr;
}

}  // namespace

bool AllocateMoveBuffers(LONGLONG blockBytes) {
    ReleaseMoveBuffers();
    DWORD bytes = (DWORD)(2 * VolData.BytesPerSector + 65536);
    BYTE *p = nullptr;
    if (!AllocateMemory(bytes, &hMoveBlock, (void **)&p)) return false;
    hMoveBuffer = hMoveBlock;
    pMoveBuffer = Aligned(p);
    if (!AllocateMemory(bytes, &hFrsBlock, (void **)&p)) return false;
    hFrsBuffer = hFrsBlock;
    pFrsBuffer = Aligned(p);
    if (VolData.BitmapSizeBits == 0) {
        VolData.BitmapSizeBits = BitmapSizeBitsFor(VolData.TotalClusters);
        VolData.BitmapSizeBytes = VolData.BitmapSizeBits / 8;
    }
    if (blockBytes == 0) blockBytes = VolumeBitmapBlockBytes();
    void *block = nullptr;
    if (blockBytes <= 0 || !AllocateMemory((DWORD)blockBytes, &VolData.hVolumeBitmap, &block)) return false;
    SetBits(VolData.TotalClusters, VolData.BitmapSizeBits - VolData.TotalClusters, true);
    return true;
}

void ReleaseMoveBuffers() {
    Release(&hMoveBlock);
    Release(&hFrsBlock);
    hMoveBuffer = hFrsBuffer = nullptr;
    pMoveBuffer = pFrsBuffer = nullptr;
    Release(&VolData.hVolumeBitmap);
    Release(&hVolumeBitMapExtent);
    pVolumeBitMapExtent = nullptr;
    llVolumeBitMapExtents = 0;
}

bool BitSet(LONGLONG c) { return (BitmapBits()[c / 8] >> (c % 8)) & 1; }

void SetBits(LONGLONG first, LONGLONG count, bool value) {
    BYTE *bits = BitmapBits();
    for (LONGLONG c = first; c < first + count; c++) {
        if (value)
            bits[c / 8] |= (BYTE)(1 << (c % 8));
        else
            bits[c / 8] &= (BYTE)~(1 << (c % 8));
    }
}

void SetUpVolume() {
    ntfstest::ResetEngine();
    memset(&VolData, 0, sizeof(VolData));
    memset(glFileStats, 0, sizeof(glFileStats));
    VolData.cDrive[0] = u'C';
    VolData.cDrive[1] = u':';
    ASSERT_TRUE(GetNtfsVolumeStats());
    ASSERT_FALSE(IsVolumeDirty());
    VolData.BitmapSizeBytes = VolData.BitmapSizeBits / 8;
    ASSERT_TRUE(AllocateMemory((DWORD)(2 * VolData.BytesPerFRS), &VolData.hFileRecord, (void **)&VolData.pFileRecord));
    VolData.ExtentListBytes = 0x28000;
    ASSERT_TRUE(
        AllocateMemory((DWORD)VolData.ExtentListBytes, &VolData.hExtentList, (void **)&VolData.pExtentList));
    BYTE *buffer = nullptr;
    ASSERT_TRUE(AllocateMemory((DWORD)(65536 + VolData.BytesPerSector), &VolData.hMftBuffer, (void **)&buffer));
    VolData.pMftBuffer = Aligned(buffer);
    ASSERT_TRUE(GetMftBitmap());
    ASSERT_TRUE(GetSystemsExtentList());
    VolData.MftSize = VolData.FileSize;
    VolData.MftExtentCount = VolData.NumberOfExtents - 1;
    ASSERT_TRUE(AllocateMemory((DWORD)((VolData.MftExtentCount + 1) * sizeof(EXTENT_LIST)), &VolData.hMftExtentList,
                               (void **)&VolData.pMftExtentList));
    memcpy(VolData.pMftExtentList, VolData.pExtentList, VolData.MftExtentCount * sizeof(EXTENT_LIST));

    ASSERT_TRUE(AllocateMoveBuffers());
    ASSERT_TRUE(GetVolumeBitmap());
    // The runs of the volume bitmap file (record 6).
    ASSERT_TRUE(LoadFile(MFT_RECORD_BITMAP));
    llVolumeBitMapExtents = VolData.NumberOfExtents;
    ASSERT_TRUE(AllocateMemory((DWORD)((llVolumeBitMapExtents + 1) * sizeof(EXTENT_LIST)), &hVolumeBitMapExtent,
                               (void **)&pVolumeBitMapExtent));
    memcpy(pVolumeBitMapExtent, VolData.pExtentList, llVolumeBitMapExtents * sizeof(EXTENT_LIST));
    FileRecordLow = FileRecordHi = 0;
}

void TearDownVolume() {
    if (VolData.hVolume && VolData.hVolume != INVALID_HANDLE_VALUE) CloseHandle(VolData.hVolume);
    VolData.hVolume = INVALID_HANDLE_VALUE;
    ReleaseMoveBuffers();
    ntfstest::ResetEngine();
}

bool LoadFile(LONGLONG frn) {
    VolData.FileRecordNumber = frn;
    if (!ManualGetExtentList(0) || VolData.FileRecordNumber != frn) return false;
    return VolData.NumberOfExtents > 0 && !VolData.bResident;
}

LONGLONG FindDestination(LONGLONG clusters, LONGLONG from) {
    if (!DirectReadVolumeBitmap()) return -1;
    LONGLONG kept = VolData.NumberOfClusters;
    VolData.NumberOfClusters = clusters;
    VolData.SearchStartLcn = from;
    VolData.SearchEndLcn = VolData.TotalClusters;
    BOOL ok = FindFreeSpace(FFS_FIRST_FIT);
    VolData.NumberOfClusters = kept;
    if (!ok || VolData.FoundLen < clusters || VolData.FoundLcn + clusters > VolData.TotalClusters) return -1;
    return VolData.FoundLcn;
}

ImageMachine::ImageMachine() {
    char pattern[] = "/tmp/ntfsmove-XXXXXX";
    if (!mkdtemp(pattern)) return;
    folder_ = pattern;
    std::string error;
    if (system(("mkdir -p '" + folder_ + "/config'").c_str()) != 0 ||
        !ntp::create_empty_hive(folder_ + "/config/SYSTEM", &error))
        return;
    FILE *drives = fopen((folder_ + "/drives").c_str(), "w");
    if (!drives) return;
    fprintf(drives, "C: image c.img\n");
    fclose(drives);
    setenv("NT_MACHINE", folder_.c_str(), 1);
    ok_ = true;
}

ImageMachine::~ImageMachine() {
    if (folder_.rfind("/tmp/ntfsmove-", 0) == 0)
        if (system(("rm -rf '" + folder_ + "'").c_str()) != 0) fprintf(stderr, "cannot remove %s\n", folder_.c_str());
}

}  // namespace movetest
