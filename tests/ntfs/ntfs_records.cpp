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

std::string Screen(const std::function<void()> &fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

}  // namespace ntfstest
