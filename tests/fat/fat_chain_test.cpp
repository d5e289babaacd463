// The chain writers on kit volumes (FAT16 with two and three FATs, FAT32
// mirrored and with mirroring off): a chain of three records over two FAT
// windows, linked backwards, is written into every copy kept in step (only
// the active one with mirroring off), one write per window and copy, the
// reserved high bits of a FAT32 entry kept; fsck.fat then counts exactly its
// clusters as lost, and freeing it gives back the image byte for byte. A
// chain over a cluster in use, a release of a free cluster and a list that
// names a cluster twice are refused with no raw write. Copies that differ
// (a stop between two copy writes) are brought in step before the first
// chain write.
#include "fat_test_support.h"
#include "internal.h"

namespace {

using fattest::Fsck;
using fattest::FsckFacts;
using fattest::Patch;
using fattest::ReadImage;

struct Geometry {
    int bits;
    uint32_t cluster;
    int fats;
    uint64_t megabytes;
    int activeFat;  // FAT32: -1 mirroring on, else mirroring off with this copy in use
};
void PrintTo(const Geometry &g, std::ostream *os) { *os << "FAT" << g.bits << ", " << g.fats << " FATs"; }

class FatChain : public fattest::VolumeTest<Geometry> {
protected:
    // The entry of cluster c in FAT copy `copy`, whole.
    uint32_t Entry(const std::string &bytes, int copy, uint64_t c) const {
        uint32_t v = 0;
        memcpy(&v, bytes.data() + facts_.firstFat + copy * facts_.fatBytes + c * (GetParam().bits / 8),
               GetParam().bits / 8);
        return v;
    }
    void SetEntry(int copy, uint64_t c, uint32_t v) {
        Patch(image_, facts_.firstFat + copy * facts_.fatBytes + c * (GetParam().bits / 8),
              std::string((const char *)&v, GetParam().bits / 8));
    }

    FsckFacts facts_;
};

TEST_P(FatChain, WrittenInEveryCopyRefusedWithoutAWriteFreedToTheImageAsItWas) {
    const Geometry &g = GetParam();
    imgkit::make_fat(image_, g.megabytes << 20, g.bits, g.cluster, "IMGKIT", g.fats);
    imgkit::Profile profile = imgkit::Profile::basic();
    profile.large_files = 2;
    imgkit::fill(image_, profile, 7);
    facts_ = fattest::Layout(image_);
    if (g.activeFat >= 0) imgkit::fat_unmirror(image_, (uint32_t)g.activeFat);
    std::string screen;
    bool setUp = false;
    frametest::Screen([&] { setUp = Initialize(u"c:") && InitializeDefrag() && ManualGetVolumeBitmap(); });
    ASSERT_TRUE(setUp);

    // A free run of more than two windows, and a cluster in use behind it.
    const LONGLONG perWindow = VolData.BytesPerCluster / (g.bits / 8);
    LONGLONG cursor = 0, free = 0, length = 0;
    while (length < 2 * perWindow + 4 && cursor < VolData.TotalClusters)
        FindFreeExtent(FatBitmapBits(), VolData.TotalClusters, &cursor, &free, &length);
    ASSERT_GE(length, 2 * perWindow + 4);
    if ((free + 2) % perWindow == perWindow - 1) free++;  // F and F + 1 in one window
    const LONGLONG far = free + 2 * perWindow;
    std::vector<imgkit::FatEntry> entries = imgkit::fat_entries(image_);
    LONGLONG used = -1;
    for (const imgkit::FatEntry &e : entries)
        if (!e.extents.empty() && e.extents[0].lcn > far && used < 0) used = e.extents[0].lcn;
    if (used < 0) used = entries.back().extents[0].lcn;

    // The copies kept in step, and the reserved bits of a FAT32 entry.
    std::vector<int> kept;
    for (int copy = 0; copy < g.fats; copy++)
        if (g.activeFat < 0 || copy == g.activeFat) kept.push_back(copy);
    const uint32_t reserved = g.bits == 32 ? 0xA0000000u : 0;
    for (int copy : kept) SetEntry(copy, free + 2, reserved);
    const std::string before = ReadImage(image_);
    const uint64_t writes = ntp::raw_write_count();

    auto refused = [&](const char *what, std::vector<EXTENT_LIST> list, bool allocate) {
        BOOL ok = TRUE;
        std::string out = frametest::Screen([&] {
            ok = allocate ? AllocateFATClusters((DWORD)list.size(), list.data(), FAT_NO_CLUSTER)
                          : DeallocateFATClusters((DWORD)list.size(), list.data());
        });
        EXPECT_FALSE(ok) << what;
        EXPECT_TRUE(ReadImage(image_) == before) << what << ": the FAT is as it was";
        EXPECT_EQ(ntp::raw_write_count(), writes) << what;
        return out;
    };
    auto extents = [](std::initializer_list<std::pair<LONGLONG, LONGLONG>> runs) {
        std::vector<EXTENT_LIST> list;
        for (auto [lcn, count] : runs) {
            EXTENT_LIST e{};
            e.StartingLcn = lcn;
            e.ClusterCount = count;
            list.push_back(e);
        }
        return list;
    };
    EXPECT_TRUE(frametest::Contains(refused("a chain over a cluster in use", extents({{free, 1}, {used, 1}}), true),
                                    " is in use in FAT copy "));
    EXPECT_TRUE(frametest::Contains(refused("a release of a free cluster", extents({{free, 1}}), false),
                                    " is already free in FAT copy "));
    refused("a cluster named twice", extents({{far, 2}, {far + 1, 1}}), true);

    // The chain far, far + 1, free, free + 1: two windows, linked backwards.
    std::vector<EXTENT_LIST> chain = extents({{far, 2}, {free, 1}, {free + 1, 1}});
    ASSERT_TRUE(AllocateFATClusters(3, chain.data(), FAT_NO_CLUSTER));
    EXPECT_EQ(ntp::raw_write_count() - writes, 2 * kept.size()) << "one write per window and copy";
    std::string after = ReadImage(image_);
    const uint32_t eoc = g.bits == 32 ? 0x0FFFFFFFu : 0xFFFFu;
    for (int copy = 0; copy < g.fats; copy++) {
        bool keeps = std::find(kept.begin(), kept.end(), copy) != kept.end();
        std::vector<uint32_t> want = {uint32_t(far + 3), uint32_t(free + 2), uint32_t(free + 3) | reserved, eoc};
        std::vector<uint32_t> got = {Entry(after, copy, far + 2), Entry(after, copy, far + 3),
                                     Entry(after, copy, free + 2), Entry(after, copy, free + 3)};
        if (keeps)
            EXPECT_EQ(got, want) << "copy " << copy;
        else
            EXPECT_EQ(got, (std::vector<uint32_t>{Entry(before, copy, far + 2), Entry(before, copy, far + 3),
                                                  Entry(before, copy, free + 2), Entry(before, copy, free + 3)}))
                << "copy " << copy << " is not in use";
    }
    if (g.activeFat < 0 && g.fats <= 2) {  // fsck.fat takes one or two FATs
        FsckFacts f = Fsck(image_);
        EXPECT_TRUE(frametest::Contains(f.out, "Reclaimed 4 unused clusters")) << f.out;
    }
    ASSERT_TRUE(DeallocateFATClusters(3, chain.data()));
    EXPECT_TRUE(ReadImage(image_) == before) << "freed, the FAT is as it was";

    // A copy that differs is brought in step before the next chain write.
    if (kept.size() < 2) return;
    SetEntry(kept.back(), far + 8, eoc);
    bFatCopiesInStep = FALSE;
    std::string out = frametest::Screen([&] { EXPECT_TRUE(AllocateFATClusters(1, chain.data(), FAT_NO_CLUSTER)); });
    EXPECT_TRUE(frametest::Contains(out, "differed from the first; brought in step with it")) << out;
    EXPECT_TRUE(fattest::DifferingEntries(image_, facts_, g.bits).empty());
    ASSERT_TRUE(DeallocateFATClusters(1, chain.data()));
    EXPECT_TRUE(ReadImage(image_) == before);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatChain,
                         testing::Values(Geometry{16, 2048, 2, 16, -1}, Geometry{16, 512, 3, 16, -1},
                                         Geometry{32, 512, 2, 40, -1}, Geometry{32, 512, 2, 40, 1}),
                         [](const testing::TestParamInfo<Geometry> &i) {
                             const Geometry &g = i.param;
                             return "Fat" + std::to_string(g.bits) + "_" + std::to_string(g.fats) + "Fats" +
                                    (g.activeFat >= 0 ? "_Active" + std::to_string(g.activeFat) : "");
                         });

}  // namespace
