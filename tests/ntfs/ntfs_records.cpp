// Support of the engine's tests: a fresh set of globals per test, screen capture.
#include "ntfs_records.h"

namespace ntfstest {

static void Release(HGLOBAL *handle) {
    if (*handle) {
        GlobalUnlock(*handle);
        GlobalFree(*handle);
        *handle = nullptr;
    }
}

void ResetEngine(LONGLONG bytesPerCluster, LONGLONG totalClusters, LONGLONG records) {
    Release(&VolData.hExtentList);
    Release(&VolData.hAttribExtentList);
    Release(&VolData.hMftBitmap);
    Release(&VolData.hMftExtentList);
    Release(&VolData.hMftBuffer);
    Release(&VolData.hFileRecord);
    memset(&VolData, 0, sizeof(VolData));
    memset(glAttribStats, 0, sizeof(glAttribStats));
    VolData.hVolume = INVALID_HANDLE_VALUE;
    VolData.BytesPerSector = 512;
    VolData.BytesPerCluster = bytesPerCluster;
    VolData.BytesPerFRS = 1024;
    VolData.ClustersPerFRS = bytesPerCluster >= 1024 ? 0 : 1024 / bytesPerCluster;
    VolData.TotalClusters = totalClusters;
    VolData.TotalFileRecords = records;
    VolData.cDrive[0] = u'C';
    VolData.cDrive[1] = u':';
    FileRecordLow = FileRecordHi = 0;
    llMftBitmapBits = 0;
    LastPathFrs = 0;
    lLogLevel = 0;
    bLogFile = 0;
    bScreenLog = 0;
}

void SetUpCachedMft() {
    ASSERT_TRUE(AllocateMemory(65536 + 512, &VolData.hMftBuffer, (void **)&VolData.pMftBuffer));
    ASSERT_TRUE(AllocateMemory(2048, &VolData.hFileRecord, (void **)&VolData.pFileRecord));
    ASSERT_TRUE(GrowExtentList(4096));
    BYTE *bitmap = nullptr;
    ASSERT_TRUE(AllocateMemory(16, &VolData.hMftBitmap, (void **)&bitmap));
    GlobalUnlock(VolData.hMftBitmap);
    llMftBitmapBits = 64;
    FileRecordLow = 0;
    FileRecordHi = 64;
}

void PutCachedRecord(LONGLONG n, const std::vector<uint8_t> &record) {
    memcpy(VolData.pMftBuffer + n * 1024, record.data(), 1024);
    BYTE *bitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
    bitmap[n / 8] |= (BYTE)(1 << (n % 8));
    GlobalUnlock(VolData.hMftBitmap);
}

std::string Screen(const std::function<void()> &fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

}  // namespace ntfstest
