// The volume bitmap and the file-system control call on NTFS images made
// by mkntfs and filled through libntfs-3g: the bitmap the frame reads must
// agree with libntfs-3g cluster for cluster.
#include <vector>

#include "frame_support.h"
#include "imgkit/imgkit.h"
#include "vol_ntfs_reference.h"
#include "vol_test_support.h"

using voltest::HasErrorReport;
using voltest::Screen;

namespace {

class VolNtfsImage : public ::testing::Test {
protected:
    void TearDown() override {
        if (VolData.hVolumeBitmap) {
            GlobalUnlock(VolData.hVolumeBitmap);
            GlobalFree(VolData.hVolumeBitmap);
        }
        if (VolData.hVolume && VolData.hVolume != INVALID_HANDLE_VALUE) CloseHandle(VolData.hVolume);
        memset(&VolData, 0, sizeof VolData);
    }
    // Makes and fills C:, reads libntfs-3g's facts, opens the volume and
    // sets the geometry fields by hand; allocates the bitmap block.
    void Prepare(uint64_t bytes, uint32_t cluster, uint64_t seed) {
        image = machine.Path("c.img");
        imgkit::make_ntfs(image, bytes, cluster);
        imgkit::fill(image, imgkit::Profile::basic(), seed);
        std::string why;
        ASSERT_TRUE(voltest::ReadNtfsBitmapFacts(image, &facts, &why)) << why;
        memset(&VolData, 0, sizeof VolData);
        ULONG fs = 99;
        ASSERT_TRUE(GetFileSystem(u'C', &fs));
        ASSERT_EQ(fs, (ULONG)FS_NTFS);
        VolData.FileSystem = fs;
        VolData.hVolume = CreateFile(u"\\\\.\\C:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
        ASSERT_NE(VolData.hVolume, INVALID_HANDLE_VALUE);
        VolData.BytesPerSector = 512;
        VolData.BytesPerCluster = cluster;
        VolData.TotalClusters = facts.totalClusters;
        VolData.BitmapSizeBits = BitmapSizeBitsFor(facts.totalClusters);
        void *p = nullptr;
        ASSERT_TRUE(AllocateMemory((DWORD)VolumeBitmapBlockBytes(), &VolData.hVolumeBitmap, &p));
        block = (BYTE *)p;
    }
    bool Used(LONGLONG n) const { return (((const ULONG *)(block + 16))[n / 32] >> (n % 32)) & 1; }

    frametest::Machine machine{"C: image c.img\n"};
    std::string image;
    voltest::NtfsBitmapFacts facts;
    BYTE *block = nullptr;
};

TEST_F(VolNtfsImage, BitmapAgreesWithLibntfs3g) {
    struct Case {
        uint64_t bytes;
        uint32_t cluster;
    } cases[] = {{16 << 20, 4096}, {24 << 20, 512}, {(32 << 20) + 3 * 4096, 1024}};
    uint64_t seed = 3;
    for (const Case &c : cases) {
        SCOPED_TRACE("cluster " + std::to_string(c.cluster) + ", bytes " + std::to_string(c.bytes));
        Prepare(c.bytes, c.cluster, seed++);
        if (HasFatalFailure()) return;
        ASSERT_NE(facts.totalClusters % 32, 0) << "the case should leave spare bits in the last word";
        memset(block, 0xA5, (size_t)VolumeBitmapBlockBytes());

        ASSERT_TRUE(GetVolumeBitmap());
        const VOLUME_BITMAP_BUFFER *head = (const VOLUME_BITMAP_BUFFER *)block;
        EXPECT_EQ(head->StartingLcn.QuadPart, 0);
        EXPECT_EQ(head->BitmapSize.QuadPart, facts.totalClusters);

        LONGLONG freeBits = 0, differing = 0;
        for (LONGLONG n = 0; n < facts.totalClusters; ++n) {
            bool lib = (facts.bitmap[n / 8] >> (n % 8)) & 1;
            if (!Used(n)) ++freeBits;
            if (Used(n) != lib) ++differing;
        }
        EXPECT_EQ(freeBits, facts.freeClusters);
        EXPECT_EQ(differing, 0);
        EXPECT_GT(facts.freeClusters, 0);
        EXPECT_LT(facts.freeClusters, facts.totalClusters);
        for (LONGLONG n = facts.totalClusters; n < VolData.BitmapSizeBits; ++n)
            ASSERT_TRUE(Used(n)) << "spare bit " << n;

        // Every run the search offers is free according to libntfs-3g.
        VolData.SearchStartLcn = 0;
        VolData.SearchEndLcn = facts.totalClusters;
        VolData.NumberOfClusters = 1;
        LONGLONG cursor = 0, runs = 0;
        ULONG *bits = (ULONG *)(block + 16);
        while (cursor < facts.totalClusters) {
            LONGLONG lcn = 0, len = 0;
            FindFreeExtent(bits, facts.totalClusters, &cursor, &lcn, &len);
            if (len == 0) break;
            ++runs;
            ASSERT_LE(lcn + len, facts.totalClusters);
            for (LONGLONG n = lcn; n < lcn + len; ++n) ASSERT_EQ((facts.bitmap[n / 8] >> (n % 8)) & 1, 0) << n;
        }
        EXPECT_GT(runs, 1);
        TearDown();
    }
}

TEST_F(VolNtfsImage, DeviceControlResults) {
    Prepare(16 << 20, 4096, 11);
    if (HasFatalFailure()) return;
    NTFS_VOLUME_DATA_BUFFER data;
    memset(&data, 0xCC, sizeof data);
    DWORD returned = 12345;
    ASSERT_TRUE(HvDeviceIoControl(VolData.hVolume, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &data, sizeof data,
                                  &returned, nullptr));
    EXPECT_EQ(returned, sizeof data);
    EXPECT_EQ(data.TotalClusters.QuadPart, facts.totalClusters);
    EXPECT_EQ(data.FreeClusters.QuadPart, facts.freeClusters);
    EXPECT_EQ(data.BytesPerCluster, 4096u);

    // A short output buffer: a warning, FALSE, and the bytes that came back.
    STARTING_LCN_INPUT_BUFFER in;
    in.StartingLcn.QuadPart = 0;
    BYTE small[24];
    returned = 12345;
    EXPECT_FALSE(HvDeviceIoControl(VolData.hVolume, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, small, sizeof small,
                                   &returned, nullptr));
    EXPECT_EQ(returned, sizeof small);

    // An error: FALSE and nothing returned.
    returned = 12345;
    EXPECT_FALSE(HvDeviceIoControl(VolData.hVolume, 0x00090FFF, nullptr, 0, small, sizeof small, &returned, nullptr));
    EXPECT_EQ(returned, 12345u);

    // An answer larger than the block (the geometry says half the clusters
    // the volume has) fails, and leaves
    // every bit set so that nothing can be placed from it.
    GlobalUnlock(VolData.hVolumeBitmap);
    GlobalFree(VolData.hVolumeBitmap);
    VolData.hVolumeBitmap = nullptr;
    VolData.TotalClusters = facts.totalClusters;
    void *p = nullptr;
    VolData.BitmapSizeBits = BitmapSizeBitsFor(facts.totalClusters / 2);  // wrong geometry: half the volume
    VolData.TotalClusters = facts.totalClusters / 2;
    ASSERT_TRUE(AllocateMemory((DWORD)(VolData.BitmapSizeBits / 8 + 24), &VolData.hVolumeBitmap, &p));
    block = (BYTE *)p;
    BOOL ok = TRUE;
    std::string screen = Screen([&] { ok = GetVolumeBitmap(); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(HasErrorReport(screen));
    for (LONGLONG n = 0; n < VolData.BitmapSizeBits; ++n) ASSERT_TRUE(Used(n)) << n;
}

}  // namespace
