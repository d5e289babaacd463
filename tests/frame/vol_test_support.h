// Shared helpers of the volume-record tests: an in-memory volume bitmap in a
// Global block, and capture of what the frame shows on the screen.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "frame.h"

namespace voltest {

// Runs fn with screen logging on and returns what reached the screen.
inline std::string Screen(const std::function<void()> &fn, LONG logLevel = 0) {
    BOOL oldScreen = bScreenLog;
    LONG oldLevel = lLogLevel;
    bScreenLog = TRUE;
    lLogLevel = logLevel;
    testing::internal::CaptureStdout();
    fn();
    std::string out = testing::internal::GetCapturedStdout();
    bScreenLog = oldScreen;
    lLogLevel = oldLevel;
    return out;
}

inline bool HasErrorReport(const std::string &screen) { return screen.find("Error #0 at line") != std::string::npos; }

// A bitmap of `clusters` clusters in VolData (all free, the spare bits set),
// allocated the way the setup does.
class BitmapVolume {
public:
    explicit BitmapVolume(LONGLONG clusters, ULONG fileSystem = FS_NTFS, LONGLONG bytesPerCluster = 4096) {
        memset(&VolData, 0, sizeof VolData);
        VolData.FileSystem = fileSystem;
        VolData.TotalClusters = clusters;
        VolData.BitmapSizeBits = BitmapSizeBitsFor(clusters);
        VolData.BitmapSizeBytes = VolData.BitmapSizeBits / 8;
        VolData.BytesPerCluster = bytesPerCluster;
        VolData.BytesPerSector = 512;
        void *p = nullptr;
        ok_ = AllocateMemory((DWORD)VolumeBitmapBlockBytes(), &VolData.hVolumeBitmap, &p) != FALSE;
        block_ = (BYTE *)p;
        if (ok_) SetUsed(clusters, VolData.BitmapSizeBits);
    }
    ~BitmapVolume() {
        if (VolData.hVolumeBitmap) {
            GlobalUnlock(VolData.hVolumeBitmap);
            GlobalFree(VolData.hVolumeBitmap);
        }
        memset(&VolData, 0, sizeof VolData);
    }
    bool ok() const { return ok_; }
    BYTE *block() { return block_; }
    ULONG *bits() { return (ULONG *)(block_ + 16); }
    bool Used(LONGLONG n) { return (bits()[n / 32] >> (n % 32)) & 1; }
    void SetUsed(LONGLONG a, LONGLONG b) {
        for (LONGLONG n = a; n < b; ++n) bits()[n / 32] |= 1u << (n % 32);
    }
    void SetFree(LONGLONG a, LONGLONG b) {
        for (LONGLONG n = a; n < b; ++n) bits()[n / 32] &= ~(1u << (n % 32));
    }

private:
    bool ok_ = false;
    BYTE *block_ = nullptr;
};

}  // namespace voltest
