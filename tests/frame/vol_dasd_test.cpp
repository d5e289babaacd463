// Raw volume I/O on an image: where the bytes land (cluster offsets, the FAT
// data-area offset, sectors), the unaligned-buffer rule, and the refusals
// that must touch nothing. The image holds no file system: every byte is
// checked against the image file itself, read behind the platform's back.
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "frame_support.h"
#include "internal.h"
#include "vol_test_support.h"

using voltest::HasErrorReport;
using voltest::Screen;

namespace {

constexpr LONGLONG kSector = 512;
constexpr LONGLONG kCluster = 4096;
constexpr size_t kImageBytes = 1 << 20;

BYTE PatternByte(size_t offset) { return (BYTE)((offset * 131 + offset / 509) ^ 0x5C); }

class VolDasd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string bytes(kImageBytes, '\0');
        for (size_t i = 0; i < kImageBytes; ++i) bytes[i] = (char)PatternByte(i);
        machine.WriteFile("c.img", bytes);
        memset(&VolData, 0, sizeof VolData);
        VolData.FileSystem = FS_NTFS;
        volume = CreateFile(u"\\\\.\\C:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
        ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (volume != INVALID_HANDLE_VALUE) CloseHandle(volume);
        memset(&VolData, 0, sizeof VolData);
    }
    // Bytes of the image file at an offset.
    std::string OnDisk(size_t offset, size_t length) {
        std::string all = machine.ReadFile("c.img");
        return all.substr(offset, length);
    }
    static std::string Expected(size_t offset, size_t length) {
        std::string s(length, '\0');
        for (size_t i = 0; i < length; ++i) s[i] = (char)PatternByte(offset + i);
        return s;
    }
    // A buffer of `bytes` plus one sector, at `misalign` bytes past a sector
    // boundary, inside a larger area filled with junk so that writes past the
    // buffer are seen.
    BYTE *Buffer(size_t bytes, size_t misalign) {
        area.assign(bytes + 3 * kSector + 4096, 0xEE);
        uintptr_t base = (uintptr_t)area.data();
        uintptr_t aligned = (base + 4095) / 4096 * 4096;
        return (BYTE *)(aligned + misalign);
    }
    static std::string Bytes(const BYTE *p, size_t n) { return std::string((const char *)p, n); }

    frametest::Machine machine{"C: image c.img\n"};
    HANDLE volume = INVALID_HANDLE_VALUE;
    std::vector<BYTE> area;
};

TEST_F(VolDasd, ReadsPutTheDataAtTheBufferStart) {
    for (size_t misalign : {0, 8, 100, 511}) {
        BYTE *buffer = Buffer(2 * kCluster, misalign);
        ASSERT_TRUE(DasdReadClusters(volume, 3, 2, buffer, kSector, kCluster)) << misalign;
        EXPECT_EQ(Bytes(buffer, 2 * kCluster), Expected(3 * kCluster, 2 * kCluster)) << misalign;
        const BYTE *tail = buffer + 2 * kCluster;
        if (misalign != 0) {
            // The sector after the data is zeroed, and nothing beyond it is touched.
            EXPECT_EQ(Bytes(tail, kSector), std::string(kSector, '\0')) << misalign;
            EXPECT_EQ(tail[kSector], 0xEE) << misalign;
        } else {
            EXPECT_EQ(tail[0], 0xEE);  // an aligned buffer is read in place
        }
        EXPECT_EQ(buffer[-1], 0xEE) << misalign;
    }
}

TEST_F(VolDasd, WritesLandAtTheClusterAndKeepTheBuffer) {
    for (size_t misalign : {0, 24, 510}) {
        BYTE *buffer = Buffer(kCluster, misalign);
        for (LONGLONG i = 0; i < kCluster; ++i) buffer[i] = (BYTE)(i * 7 + misalign);
        std::string data = Bytes(buffer, kCluster);
        uint64_t writes = ntp::raw_write_count();
        ASSERT_TRUE(DasdWriteClusters(volume, 5, 1, buffer, kSector, kCluster)) << misalign;
        EXPECT_EQ(ntp::raw_write_count(), writes + 1);
        EXPECT_EQ(OnDisk(5 * kCluster, kCluster), data) << misalign;
        EXPECT_EQ(OnDisk(4 * kCluster, kCluster), Expected(4 * kCluster, kCluster));  // neighbours untouched
        EXPECT_EQ(OnDisk(6 * kCluster, kCluster), Expected(6 * kCluster, kCluster));
        EXPECT_EQ(Bytes(buffer, kCluster), data) << misalign;
        if (misalign != 0) {
            EXPECT_EQ(Bytes(buffer + kCluster, kSector), std::string(kSector, '\0'));
        }
    }
}

TEST_F(VolDasd, BadRequestsAreReportedAndTouchNothing) {
    BYTE *buffer = Buffer(kCluster, 8);
    std::string before = Bytes(buffer - 8, kCluster + 2 * kSector);
    uint64_t writes = ntp::raw_write_count();
    struct Case {
        const char *name;
        LONGLONG lcn, clusters, sector, cluster;
    } cases[] = {
        {"zero clusters", 0, 0, kSector, kCluster},          {"negative count", 0, -1, kSector, kCluster},
        {"negative lcn", -1, 1, kSector, kCluster},          {"zero sector size", 0, 1, 0, kCluster},
        {"more than 4 GiB", 0, 0x100000, kSector, kCluster},
    };
    for (const Case &c : cases) {
        BOOL ok = TRUE;
        std::string screen =
            Screen([&] { ok = DasdReadClusters(volume, c.lcn, c.clusters, buffer, c.sector, c.cluster); });
        EXPECT_FALSE(ok) << c.name;
        EXPECT_TRUE(HasErrorReport(screen)) << c.name << ": " << screen;
        EXPECT_NE(screen.find("dasdread.cpp"), std::string::npos) << screen;
        screen = Screen([&] { ok = DasdWriteClusters(volume, c.lcn, c.clusters, buffer, c.sector, c.cluster); });
        EXPECT_FALSE(ok) << c.name;
        EXPECT_TRUE(HasErrorReport(screen)) << c.name;
        EXPECT_EQ(Bytes(buffer - 8, kCluster + 2 * kSector), before) << c.name;
    }
    EXPECT_EQ(ntp::raw_write_count(), writes);
    EXPECT_EQ(machine.ReadFile("c.img"), Expected(0, kImageBytes));
}

TEST_F(VolDasd, FailedTransfers) {
    BYTE *buffer = Buffer(kCluster, 0);
    const LONGLONG past = kImageBytes / kCluster;
    // A failed read is silent at the usual levels and traced above level 5.
    BOOL ok = TRUE;
    std::string screen = Screen([&] { ok = DasdReadClusters(volume, past, 1, buffer, kSector, kCluster); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(screen, "");
    screen = Screen([&] { ok = DasdReadClusters(volume, past, 1, buffer, kSector, kCluster); }, 6);
    EXPECT_FALSE(ok);
    EXPECT_NE(screen.find("Error:DasdReadCluster couldn't read disk: ReadFile H=0x"), std::string::npos) << screen;
    EXPECT_NE(screen.find("O=0x00100000, C=0x00000100"), std::string::npos) << screen;

    // A failed write always gives the error report.
    screen = Screen([&] { ok = DasdWriteClusters(volume, past, 1, buffer, kSector, kCluster); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(HasErrorReport(screen));

    // A failed write through an unaligned buffer leaves the caller's data in place.
    BYTE *moved = Buffer(kCluster, 40);
    for (LONGLONG i = 0; i < kCluster; ++i) moved[i] = (BYTE)i;
    std::string data = Bytes(moved, kCluster);
    Screen([&] { ok = DasdWriteClusters(volume, past, 1, moved, kSector, kCluster); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(Bytes(moved, kCluster), data);

    // A transfer the volume refuses (not whole sectors) fails too.
    EXPECT_FALSE(DasdReadClusters(volume, 1, 1, buffer, kSector, 100));
}

TEST_F(VolDasd, FatClustersCountFromTheDataArea) {
    BYTE *buffer = Buffer(2048, 16);
    VolData.llDataAreaOffset = 3 * kSector;  // not a multiple of the cluster
    for (ULONG fs : {FS_FAT, FS_FAT32}) {
        VolData.FileSystem = fs;
        ASSERT_TRUE(DasdReadClusters(volume, 2, 1, buffer, kSector, 2048));
        EXPECT_EQ(Bytes(buffer, 2048), Expected(3 * kSector + 2 * 2048, 2048)) << fs;
    }
    // NTFS and unknown volumes take cluster offsets as they are.
    for (ULONG fs : {FS_NTFS, FS_OTHER}) {
        VolData.FileSystem = fs;
        ASSERT_TRUE(DasdReadClusters(volume, 2, 1, buffer, kSector, 2048));
        EXPECT_EQ(Bytes(buffer, 2048), Expected(2 * 2048, 2048)) << fs;
    }
    // A write lands at the same place a read takes it from.
    VolData.FileSystem = FS_FAT32;
    memset(buffer, 0x3C, 2048);
    ASSERT_TRUE(DasdWriteClusters(volume, 0, 1, buffer, kSector, 2048));
    EXPECT_EQ(OnDisk(3 * kSector, 2048), std::string(2048, '\x3C'));
    EXPECT_EQ(OnDisk(2 * kSector, kSector), Expected(2 * kSector, kSector));

    // A data-area offset beyond 32 bits is refused, not wrapped.
    VolData.llDataAreaOffset = 0x100000000LL;
    BOOL ok = TRUE;
    std::string screen = Screen([&] { ok = DasdReadClusters(volume, 0, 1, buffer, kSector, 2048); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(HasErrorReport(screen));
}

TEST_F(VolDasd, SectorsLoadIntoANewBlock) {
    // Sector numbers count from the start of the volume, whatever the data area.
    VolData.FileSystem = FS_FAT;
    VolData.llDataAreaOffset = 64 * kSector;
    HGLOBAL block = DasdLoadSectors(volume, 3, 2, kSector);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(GlobalSize(block), (SIZE_T)(3 * kSector));
    BYTE *p = (BYTE *)GlobalLock(block);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Bytes(p, 2 * kSector), Expected(3 * kSector, 2 * kSector));
    EXPECT_EQ(Bytes(p + 2 * kSector, kSector), std::string(kSector, '\0'));
    GlobalUnlock(block);
    GlobalFree(block);

    ULONG frees = GlobalFreeCount;
    HGLOBAL none = (HGLOBAL)1;
    std::string screen = Screen([&] { none = DasdLoadSectors(volume, 0, 0, kSector); });
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(HasErrorReport(screen));
    // A failed read releases the block it made.
    ULONG allocs = GlobalAllocCount;
    screen = Screen([&] { none = DasdLoadSectors(volume, kImageBytes / kSector, 1, kSector); });
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(HasErrorReport(screen));
    EXPECT_EQ(GlobalAllocCount - allocs, GlobalFreeCount - frees);
}

TEST_F(VolDasd, SectorsStoreWhereTheyWereRead) {
    VolData.FileSystem = FS_FAT32;
    VolData.llDataAreaOffset = 64 * kSector;
    BYTE *buffer = Buffer(2 * kSector, 200);
    memset(buffer, 0x77, 2 * kSector);
    ASSERT_TRUE(DasdStoreSectors(volume, 7, 2, kSector, buffer));
    EXPECT_EQ(OnDisk(7 * kSector, 2 * kSector), std::string(2 * kSector, '\x77'));
    EXPECT_EQ(OnDisk(9 * kSector, kSector), Expected(9 * kSector, kSector));
    EXPECT_EQ(Bytes(buffer, 2 * kSector), std::string(2 * kSector, '\x77'));

    uint64_t writes = ntp::raw_write_count();
    BOOL ok = TRUE;
    std::string screen = Screen([&] { ok = DasdStoreSectors(volume, 7, 0, kSector, buffer); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(HasErrorReport(screen));
    screen = Screen([&] { ok = DasdStoreSectors(volume, kImageBytes / kSector, 1, kSector, buffer); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(HasErrorReport(screen));
    EXPECT_EQ(ntp::raw_write_count(), writes);  // neither refused write reached the volume
}

}  // namespace
