// Damaged FAT volumes: chains that loop, leave the volume or run into free
// clusters, sizes past their chains, broken long names. The driver answers
// with error statuses, never hangs, and changes nothing on a refused call.
#include "fat_support.h"

using namespace fattest;

namespace {

class FatCorruptTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        unsigned kib = GetParam() == 12 ? 1440 : GetParam() == 16 ? 20000 : 40000;
        img = make_image(dir, "x.img", GetParam(), kib, "-s 1");
        g = geometry(img);
        put_file(dir, img, "/before.bin", pattern(3 * 512, 1));
        put_file(dir, img, "/victim.bin", pattern(6 * 512, 2));
        mmd(img, "/sub");
        put_file(dir, img, "/sub/inner.txt", pattern(100, 3));
        chain = mshowfat(img, "/victim.bin");
        ASSERT_EQ(chain.size(), 6u);
    }

    // Byte offset of the short entry named `name11` in the root directory.
    uint64_t root_entry(const char *name11) {
        uint64_t base = g.fixed_root() ? g.root_offset : g.cluster_offset(g.root_cluster);
        size_t length = g.fixed_root() ? g.root_bytes : g.bytes_per_cluster;
        std::vector<uint8_t> root = image_bytes(img, base, length);
        for (size_t i = 0; i + 32 <= root.size(); i += 32)
            if (std::memcmp(&root[i], name11, 11) == 0) return base + i;
        ADD_FAILURE() << "no entry " << name11;
        return 0;
    }

    // Every call on the damaged file fails with a corruption status and
    // leaves the image as it was. A file whose chain is sound (only its size
    // is wrong) can still be deleted: its clusters are known.
    void expect_refused(NTSTATUS expected, bool removable = false) {
        std::vector<uint8_t> before = read_host(img);
        Mount m(img);
        ASSERT_TRUE(m);
        NTSTATUS status;
        auto h = open(m.driver.get(), u"\\victim.bin", request(FILE_OPEN), &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        std::vector<uint8_t> buf(8 * 512);
        ULONG done = 5;
        EXPECT_EQ(h->read(0, buf.data(), static_cast<ULONG>(buf.size()), &done), expected);
        EXPECT_EQ(done, 0u);
        EXPECT_EQ(h->write(UINT64_MAX, buf.data(), 700, &done), expected);
        EXPECT_EQ(retrieval_pointers(h.get(), 0).status, expected);
        open(m.driver.get(), u"\\victim.bin", request(FILE_OVERWRITE), &status);
        EXPECT_EQ(status, expected);
        if (!removable) {
            EXPECT_EQ(m->remove(u"\\victim.bin"), expected);
        }
        EXPECT_TRUE(read_host(img) == before) << "a refused call changed the image";
        if (removable) {
            EXPECT_EQ(m->remove(u"\\victim.bin"), STATUS_SUCCESS);
            EXPECT_FSCK_CLEAN(img);
        }

        // The rest of the volume still works.
        auto ok = open(m.driver.get(), u"\\before.bin", request(FILE_OPEN, GENERIC_READ));
        ASSERT_TRUE(ok);
        EXPECT_EQ(read_all(ok.get()), pattern(3 * 512, 1));
        EXPECT_EQ(size_info(m.driver.get(), &status).TotalAllocationUnits.QuadPart, g.clusters);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(volume_bitmap(m.driver.get(), 0, 16 + g.clusters / 8 + 1).status, STATUS_SUCCESS);
    }

    TempDir dir;
    std::string img;
    ntp::fat::Geometry g;
    std::vector<uint32_t> chain;
};

TEST_P(FatCorruptTest, ChainThatLoops) {
    set_fat_entry(img, chain[5], chain[1]);
    expect_refused(STATUS_FILE_CORRUPT_ERROR);
}

TEST_P(FatCorruptTest, ChainThatLoopsOnItself) {
    set_fat_entry(img, chain[0], chain[0]);
    expect_refused(STATUS_FILE_CORRUPT_ERROR);
}

TEST_P(FatCorruptTest, LinkOutsideTheVolume) {
    set_fat_entry(img, chain[2], g.clusters + 2);
    expect_refused(STATUS_FILE_CORRUPT_ERROR);
}

TEST_P(FatCorruptTest, LinkToClusterOne) {
    set_fat_entry(img, chain[2], 1);
    expect_refused(STATUS_FILE_CORRUPT_ERROR);
}

TEST_P(FatCorruptTest, ChainRunsIntoAFreeCluster) {
    set_fat_entry(img, chain[3], g.clusters);  // a free cluster near the end
    expect_refused(STATUS_FILE_CORRUPT_ERROR);
}

TEST_P(FatCorruptTest, ChainRunsIntoABadCluster) {
    set_fat_entry(img, chain[3], g.clusters);
    set_fat_entry(img, g.clusters, GetParam() == 32 ? 0x0FFFFFF7 : GetParam() == 16 ? 0xFFF7 : 0xFF7);
    expect_refused(STATUS_FILE_CORRUPT_ERROR);
}

TEST_P(FatCorruptTest, SizePastTheChain) {
    uint64_t at = root_entry("VICTIM  BIN");
    uint8_t size[4];
    ntp::fat::put32(size, 7 * 512);
    patch_image(img, at + 28, size, 4);
    expect_refused(STATUS_FILE_CORRUPT_ERROR, true);
}

TEST_P(FatCorruptTest, FirstClusterOutsideTheVolume) {
    uint64_t at = root_entry("VICTIM  BIN");
    uint32_t bad = g.clusters + 100;
    uint8_t lo[2], hi[2];
    ntp::fat::put16(lo, static_cast<uint16_t>(bad));
    ntp::fat::put16(hi, static_cast<uint16_t>(bad >> 16));
    patch_image(img, at + 26, lo, 2);
    if (GetParam() == 32) patch_image(img, at + 20, hi, 2);
    expect_refused(STATUS_FILE_CORRUPT_ERROR);
}

TEST_P(FatCorruptTest, DirectoriesWithBrokenChains) {
    std::vector<uint32_t> sub = mshowfat(img, "/sub");
    ASSERT_EQ(sub.size(), 1u);
    set_fat_entry(img, sub[0], sub[0]);  // the folder's chain loops
    Mount m(img);
    ASSERT_TRUE(m);
    NTSTATUS status;
    open(m.driver.get(), u"\\sub\\inner.txt", request(FILE_OPEN, GENERIC_READ), &status);
    EXPECT_EQ(status, STATUS_FILE_CORRUPT_ERROR);
    open(m.driver.get(), u"\\sub\\new.txt", request(FILE_CREATE), &status);
    EXPECT_EQ(status, STATUS_FILE_CORRUPT_ERROR);
    auto h = open(m.driver.get(), u"\\sub", request(FILE_OPEN, 0, 0));
    ASSERT_TRUE(h);  // its own entry is fine
    EXPECT_EQ(retrieval_pointers(h.get(), 0).status, STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(h->size(), 0u);
    EXPECT_EQ(m->remove(u"\\sub"), STATUS_FILE_CORRUPT_ERROR);
    EXPECT_TRUE(mdir_names(img, "/").count("sub/"));
}

TEST_P(FatCorruptTest, LongNameWithAWrongChecksumIsIgnored) {
    put_file(dir, img, "/A Long File Name.txt", pattern(10, 4));
    uint64_t at = root_entry("ALONGF~1TXT");
    ASSERT_NE(at, 0u);
    // The long-name entries just before the short one: spoil their checksum.
    for (uint64_t p = at - 32; p >= at - 64; p -= 32) {
        std::vector<uint8_t> e = image_bytes(img, p, 32);
        ASSERT_EQ(e[11], 0x0F);
        e[13] ^= 0x55;
        patch_image(img, p, e.data(), 32);
    }
    Mount m(img);
    ASSERT_TRUE(m);
    NTSTATUS status;
    open(m.driver.get(), u"\\A Long File Name.txt", request(FILE_OPEN, GENERIC_READ), &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(open(m.driver.get(), u"\\ALONGF~1.TXT", request(FILE_OPEN, GENERIC_READ)));
}

TEST_P(FatCorruptTest, BadClustersCountAsUsed) {
    Mount m(img);
    ASSERT_TRUE(m);
    uint64_t free_before = size_info(m.driver.get()).AvailableAllocationUnits.QuadPart;
    set_fat_entry(img, g.clusters + 1, GetParam() == 32 ? 0x0FFFFFF7 : GetParam() == 16 ? 0xFFF7 : 0xFF7);
    EXPECT_EQ(static_cast<uint64_t>(size_info(m.driver.get()).AvailableAllocationUnits.QuadPart), free_before - 1);
    Bitmap b = volume_bitmap(m.driver.get(), 0, 16 + g.clusters / 8 + 1);
    EXPECT_TRUE(b.bit(g.clusters - 1));
    // New clusters never come from a bad one.
    auto h = open(m.driver.get(), u"\\fill.bin", request(FILE_CREATE));
    ASSERT_TRUE(h);
    if (free_before * 512 < (48u << 20)) {
        std::vector<uint8_t> all((free_before - 1) * 512, 1);
        EXPECT_EQ(write_all(h.get(), 0, all), STATUS_SUCCESS);
        EXPECT_EQ(size_info(m.driver.get()).AvailableAllocationUnits.QuadPart, 0);
        uint8_t one = 1;
        ULONG done;
        EXPECT_EQ(h->write(UINT64_MAX, &one, 1, &done), STATUS_DISK_FULL);
        std::vector<uint32_t> got = mshowfat(img, "/fill.bin");
        EXPECT_EQ(std::count(got.begin(), got.end(), g.clusters + 1), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, FatCorruptTest, ::testing::Values(12, 16, 32),
                         [](const ::testing::TestParamInfo<int> &i) { return "fat" + std::to_string(i.param); });

}  // namespace
