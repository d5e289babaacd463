// Fuzz target: an MFT of 16 records held in the record cache. Every record is
// read with GetFrs (update-sequence check), its extent list built by the raw
// family (single records, attribute lists naming other records, several
// streams) and its path walked up the parent chain (loops, missing parents).
#include "fuzz_support.h"

using namespace ntfsfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = InitOnce();
    (void)ready;
    ResetPerInput();
    size_t bytes = kRecords * 1024;
    memset(VolData.pMftBuffer, 0, bytes);
    memcpy(VolData.pMftBuffer, data, size < bytes ? size : bytes);
    BYTE *bitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
    bitmap[0] = size > bytes ? data[bytes] : 0xFF;
    bitmap[1] = size > bytes + 1 ? data[bytes + 1] : 0xFF;
    GlobalUnlock(VolData.hMftBitmap);
    FileRecordLow = 0;
    FileRecordHi = kRecords;

    LONGLONG next = 0;
    for (int guard = 0; next < kRecords && guard < 2 * kRecords; guard++) {
        VolData.FileRecordNumber = next;
        FileRecordLow = 0;
        FileRecordHi = kRecords;
        BOOL ok = ManualGetExtentList(0);
        Trap(VolData.FileRecordNumber >= next && VolData.FileRecordNumber <= kRecords);
        if (VolData.FileRecordNumber >= kRecords) break;
        if (ok) {
            Trap(VolData.NumberOfExtents >= 0 &&
                 VolData.NumberOfExtents <= VolData.ExtentListBytes / (LONGLONG)sizeof(EXTENT_LIST));
            ManualGetNtfsFilePath();
            IsDirectory();
        }
        next = VolData.FileRecordNumber + 1;
    }
    return 0;
}
