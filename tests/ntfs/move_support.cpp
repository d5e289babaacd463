// Helpers of the move engine's tests.
#include "move_support.h"

#include <stdlib.h>

#include <filesystem>

#include "frame_support.h"

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
            bits[c / 8] &= (BYTE) ~(1 << (c % 8));
    }
}

void SetUpVolume() {
    ntfstest::ResetEngine();
    memset(&VolData, 0, sizeof(VolData));
    lPageOpt = 0;
    bLast50 = 0;
    BOOL ok = FALSE;
    std::string screen = ntfstest::Screen([&] { ok = Initialize(u"C:") && InitializeDefrag(); });
    ASSERT_TRUE(ok) << screen;
    ASSERT_GT(llVolumeBitMapExtents, 0);
    FileRecordLow = FileRecordHi = 0;
}

void TearDownVolume() {
    OffLineExit();
    ntfstest::ResetEngine();
}

bool LoadFile(LONGLONG frn) {
    VolData.FileRecordNumber = frn;
    if (!ManualGetExtentList(0) || VolData.FileRecordNumber != frn) return false;
    return VolData.NumberOfExtents > 0 && !VolData.bResident;
}

bool ReadNextRecord(LONGLONG *frn, BOOL *read) {
    VolData.FileRecordNumber = *frn;
    *read = FALSE;
    ntfstest::Screen([&] { *read = ManualGetExtentList(0); });
    *frn = VolData.FileRecordNumber;
    return *frn < VolData.TotalFileRecords;
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

namespace {

std::string MakeScratch() {
    for (const char *base : {"/dev/shm", "/tmp"}) {
        std::string pattern = std::string(base) + "/ntfsmove-XXXXXX";
        if (mkdtemp(pattern.data())) return pattern;
    }
    return "";
}

}  // namespace

ImageMachine::ImageMachine()
    : scratch_(MakeScratch()), machine_(std::make_unique<frametest::Machine>("C: image " + scratch_ + "/c.img\n")) {}

ImageMachine::~ImageMachine() {
    machine_.reset();
    std::error_code ignored;
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_, ignored);
}

const std::string &ImageMachine::folder() const { return machine_->root(); }

bool ImageMachine::ok() const { return !scratch_.empty() && machine_->ok(); }

}  // namespace movetest
