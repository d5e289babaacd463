// The FAT read side on mkfs.fat volumes filled by the image kit through
// mtools (long, non-ASCII and 8.3-only names, empty directories, a tree 21
// levels deep, fragmented files and directories, deleted entries among live
// ones), over FAT16 and FAT32, clusters of 512 bytes to 32 KB, one and two
// FATs and FAT32 with mirroring off: the layout against fsck.fat, the walk
// against mdir, every extent list against mshowfat, the bitmap against
// fsck.fat's count and the platform's FAT driver; no raw write.
#include "fat_test_support.h"
#include "internal.h"

namespace {

using fattest::Fsck;
using fattest::FsckFacts;

struct Geometry {
    int bits;
    uint32_t cluster;
    int fats;
    uint64_t megabytes;
    int activeFat;  // FAT32: -1 mirroring on, else mirroring off with this copy in use
};

void PrintTo(const Geometry &g, std::ostream *os) { *os << "FAT" << g.bits << ", " << g.cluster << "-byte clusters"; }

std::string Name(const testing::TestParamInfo<Geometry> &info) {
    const Geometry &g = info.param;
    std::string name =
        "Fat" + std::to_string(g.bits) + "_" + std::to_string(g.cluster) + "B_" + std::to_string(g.fats) + "Fats";
    return g.activeFat >= 0 ? name + "_Active" + std::to_string(g.activeFat) : name;
}

class FatRead : public fattest::VolumeTest<Geometry> {};

TEST_P(FatRead, LayoutWalkExtentsAndBitmapAgreeWithTheToolsAndWriteNothing) {
    const Geometry &g = GetParam();
    imgkit::make_fat(image_, g.megabytes << 20, g.bits, g.cluster, "IMGKIT", g.fats);
    imgkit::Profile profile = imgkit::Profile::basic();
    profile.deep_dirs = 21;
    profile.empty_dirs = 3;
    profile.name_variety = true;
    imgkit::fill(image_, profile, 14);
    FsckFacts fsck = Fsck(image_);
    ASSERT_EQ(fsck.code, 0) << fsck.out;
    if (g.activeFat >= 0) imgkit::fat_unmirror(image_, (uint32_t)g.activeFat);
    std::vector<imgkit::FatEntry> expected = imgkit::fat_entries(image_);
    uint64_t writes = ntp::raw_write_count();
    DWORD units = dwNumUnits;

    // Setup, and the partition data block against fsck.fat's numbers.
    bool setUp = false;
    std::string screen = frametest::Screen([&] {
        setUp = Initialize(u"c:") && InitializeDefrag();
        if (setUp) DisplayFatVolumeStats();
    });
    ASSERT_TRUE(setUp) << screen;
    char block[512];
    long long bits = (fsck.clusters / 32 + (fsck.clusters % 32 != 0) + 1) * 32;
    snprintf(block, sizeof block,
             "        Data for partition C:        \n=====================================\n"
             "Total sectors on partition = %8lld\nBytes per sector           = %8lld\n"
             "Bytes per cluster          = %8lld\nSectors per cluster        = %8lld\n"
             "Total clusters on disk     = %8lld\nVolume bitmap Size         = %8lld\n\n",
             fsck.clusters * (fsck.clusterBytes / fsck.sectorBytes), fsck.sectorBytes, fsck.clusterBytes,
             fsck.clusterBytes / fsck.sectorBytes, fsck.clusters, bits);
    EXPECT_EQ(screen, block);
    EXPECT_EQ(VolData.FileSystem, g.bits == 32 ? (ULONG)FS_FAT32 : (ULONG)FS_FAT);
    EXPECT_EQ(VolData.llDataAreaOffset, fsck.dataStart);
    EXPECT_EQ(VolData.llFatBytes, fsck.fatBytes);
    EXPECT_EQ(VolData.llFatOffset, fsck.firstFat + (g.activeFat > 0 ? g.activeFat * fsck.fatBytes : 0));
    EXPECT_EQ(VolData.llMirrorFatOffset, g.activeFat >= 0 || g.fats == 1 ? 0 : fsck.firstFat + fsck.fatBytes);
    EXPECT_EQ(VolData.lFatCopies, g.activeFat >= 0 ? 1 : g.fats);

    // The FAT32 root's extents came from the file system's retrieval pointers.
    if (g.bits == 32) {
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(expected[0].path, "\\");
        EXPECT_EQ(fattest::CurrentExtents(), expected[0].extents);
        expected.erase(expected.begin());
    }

    // The bitmap the file system gave, then the one built from the FAT.
    ULONG *bits32 = (ULONG *)((BYTE *)GlobalLock(VolData.hVolumeBitmap) + 16);
    std::vector<ULONG> fromDriver(bits32, bits32 + VolData.BitmapSizeBits / 32);
    ASSERT_TRUE(ManualGetVolumeBitmap());
    std::vector<ULONG> fromFat(bits32, bits32 + VolData.BitmapSizeBits / 32);
    EXPECT_EQ(fromFat, fromDriver);
    long long used = 0;
    for (LONGLONG n = 0; n < VolData.TotalClusters; n++) used += (fromFat[n / 32] >> (n % 32)) & 1;
    EXPECT_EQ(used, fsck.used);
    for (LONGLONG n = VolData.TotalClusters; n < VolData.BitmapSizeBits; n++)
        EXPECT_TRUE((fromFat[n / 32] >> (n % 32)) & 1) << "spare bit " << n;

    // The walk: the entries mdir lists, in its order, with mshowfat's extents.
    std::vector<imgkit::FatEntry> walked;
    ASSERT_TRUE(fattest::Walk(&walked));
    ASSERT_EQ(walked.size(), expected.size());
    size_t fragmented = 0, deepest = 0;
    for (size_t i = 0; i < walked.size(); i++) {
        SCOPED_TRACE(expected[i].path);
        EXPECT_EQ(walked[i].path, expected[i].path);
        EXPECT_EQ(walked[i].directory, expected[i].directory);
        EXPECT_EQ(walked[i].extents, expected[i].extents);
        fragmented += walked[i].extents.size() > 1;
        deepest = std::max<size_t>(deepest, std::count(walked[i].path.begin(), walked[i].path.end(), '\\'));
    }
    EXPECT_GE(fragmented, 4u) << "the fill fragments files and directories";
    EXPECT_GE(deepest, 22u);
    EXPECT_EQ(TreeData.hDirBuffer[0], nullptr) << "the finished walk holds no buffer";

    EXPECT_EQ(ntp::raw_write_count(), writes) << "the read side writes nothing raw";
    OffLineExit();
    EXPECT_EQ(dwNumUnits, units) << "a block outlived the teardown";
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatRead,
                         ::testing::Values(Geometry{16, 512, 2, 24, -1}, Geometry{16, 4096, 1, 32, -1},
                                           Geometry{16, 16384, 2, 80, -1}, Geometry{16, 32768, 1, 160, -1},
                                           Geometry{32, 512, 2, 40, -1}, Geometry{32, 1024, 1, 80, -1},
                                           Geometry{32, 2048, 2, 160, 1}, Geometry{32, 8192, 2, 600, -1},
                                           Geometry{32, 32768, 2, 2200, -1}),
                         Name);

}  // namespace
