// The FAT driver's volume answers, checked against fsck.fat, mshowfat and the
// boot sector mkfs.fat wrote: recognition, file-system name, sizes, the
// volume bitmap and its buffer rules, the volume information.
#include "fat_support.h"

using namespace fattest;

namespace {

struct Layout {
    const char *name;
    int bits;
    unsigned kib;
    const char *options;
    const char16_t *fs_name;
    ULONG sector;
};

const Layout kLayouts[] = {
    {"fat12_floppy", 12, 1440, "", u"FAT", 512},
    {"fat12_4k_clusters", 12, 8000, "-s 4", u"FAT", 512},
    {"fat16_1_sector_clusters", 16, 20000, "-s 1", u"FAT", 512},
    {"fat16_1k_sectors", 16, 32768, "-S 1024 -s 2", u"FAT", 1024},
    {"fat32_512b_clusters", 32, 40000, "-s 1", u"FAT32", 512},
    {"fat32_2k_clusters", 32, 300000, "-s 4", u"FAT32", 512},
    {"fat32_4k_sectors", 32, 300000, "-S 4096 -s 1", u"FAT32", 4096},
    {"fat32_one_fat", 32, 40000, "-f 1 -s 1", u"FAT32", 512},
};

class FatLayoutTest : public ::testing::TestWithParam<Layout> {
protected:
    // An image with files of several sizes, a folder, and holes left by
    // deleted files, so that the FAT is neither empty nor contiguous.
    void SetUp() override {
        const Layout &l = GetParam();
        img = make_image(dir, "v.img", l.bits, l.kib, l.options);
        g = geometry(img);
        size_t cluster = g.bytes_per_cluster;
        put_file(dir, img, "/a.bin", pattern(3 * cluster + 17, 1));
        put_file(dir, img, "/gap1.bin", pattern(2 * cluster, 2));
        put_file(dir, img, "/b.bin", pattern(cluster, 3));
        put_file(dir, img, "/gap2.bin", pattern(5 * cluster - 1, 4));
        mmd(img, "/Folder");
        put_file(dir, img, "/Folder/inner file.txt", pattern(7 * cluster + 100, 5));
        mdel(img, "/gap1.bin");
        mdel(img, "/gap2.bin");
        put_file(dir, img, "/frag.bin", pattern(9 * cluster, 6));  // fills the holes, then goes on
    }

    TempDir dir;
    std::string img;
    ntp::fat::Geometry g;
};

TEST_P(FatLayoutTest, NameSizesAndBitmapAgreeWithFsck) {
    Fsck f = fsck(img);
    ASSERT_NE(f.total, 0u) << f.out;
    Mount m(img);
    ASSERT_TRUE(m);
    EXPECT_EQ(fs_name(m.driver.get()), GetParam().fs_name);
    EXPECT_EQ(m->sector_size(), GetParam().sector);

    NTSTATUS status;
    FILE_FS_SIZE_INFORMATION info = size_info(m.driver.get(), &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(static_cast<uint64_t>(info.TotalAllocationUnits.QuadPart), f.total);
    EXPECT_EQ(static_cast<uint64_t>(info.AvailableAllocationUnits.QuadPart), f.free());
    EXPECT_EQ(info.BytesPerSector, GetParam().sector);
    EXPECT_EQ(info.SectorsPerAllocationUnit * info.BytesPerSector, g.bytes_per_cluster);

    size_t bytes = (f.total + 7) / 8;
    Bitmap b = volume_bitmap(m.driver.get(), 0, 16 + bytes + 64);
    ASSERT_EQ(b.status, STATUS_SUCCESS);
    EXPECT_EQ(b.returned, 16 + bytes);
    EXPECT_EQ(b.start, 0);
    EXPECT_EQ(static_cast<uint64_t>(b.size), f.total);
    uint64_t free = 0;
    for (uint64_t lcn = 0; lcn < f.total; ++lcn) free += !b.bit(lcn);
    EXPECT_EQ(free, f.free());
    // Bits past the last cluster in the last byte read as in use; the
    // buffer after the returned bytes is left alone.
    for (uint64_t lcn = f.total; lcn < bytes * 8; ++lcn) EXPECT_TRUE(b.bit(lcn)) << lcn;
    for (size_t i = 16 + bytes; i < b.raw.size(); ++i) ASSERT_EQ(b.raw[i], 0xA5) << i;

    // Every cluster mshowfat lists for a file is in use at LCN = cluster - 2.
    for (const char *path : {"/a.bin", "/b.bin", "/frag.bin", "/Folder", "/Folder/inner file.txt"}) {
        std::vector<uint32_t> clusters = mshowfat(img, path);
        ASSERT_FALSE(clusters.empty()) << path;
        for (uint32_t c : clusters) EXPECT_TRUE(b.bit(c - 2)) << path << " cluster " << c;
    }
    std::vector<uint32_t> frag = mshowfat(img, "/frag.bin");
    EXPECT_EQ(frag.size(), 9u);
}

TEST_P(FatLayoutTest, RetrievalPointersMatchMshowfat) {
    Mount m(img);
    ASSERT_TRUE(m);
    // Two files appended to in turn through the driver: both fragmented.
    {
        auto x = open(m.driver.get(), u"\\x.bin", request(FILE_CREATE));
        auto y = open(m.driver.get(), u"\\y.bin", request(FILE_CREATE));
        ASSERT_TRUE(x && y);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(write_all(x.get(), UINT64_MAX, pattern(g.bytes_per_cluster * (i + 1), i)), STATUS_SUCCESS);
            ASSERT_EQ(write_all(y.get(), UINT64_MAX, pattern(g.bytes_per_cluster, i)), STATUS_SUCCESS);
        }
        auto again = open(m.driver.get(), u"\\x.bin", request(FILE_OPEN, 0, 0));
        Extents e = retrieval_pointers(again.get(), 0);
        ASSERT_EQ(e.status, STATUS_SUCCESS);
        ASSERT_GE(e.pairs.size(), 4u);  // y.bin lies between x.bin's pieces (and holes may split more)
        // From a VCN inside a later extent: that whole extent first, then the rest.
        size_t k = 0;
        while (e.pairs[k].first <= 4) ++k;
        Extents mid = retrieval_pointers(again.get(), 4);
        ASSERT_EQ(mid.status, STATUS_SUCCESS);
        EXPECT_EQ(mid.starting_vcn, k == 0 ? 0 : e.pairs[k - 1].first);
        EXPECT_EQ(mid.pairs, decltype(e.pairs)(e.pairs.begin() + k, e.pairs.end()));
        EXPECT_EQ(retrieval_pointers(again.get(), 10).status, STATUS_END_OF_FILE);
        Extents two = retrieval_pointers(again.get(), 0, 16 + 2 * 16 + 8);
        EXPECT_EQ(two.status, STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(two.returned, 48u);
        using Pairs = std::vector<std::pair<int64_t, int64_t>>;
        EXPECT_EQ(two.pairs, Pairs(e.pairs.begin(), e.pairs.begin() + 2));
    }
    for (const char *path : {"/a.bin", "/frag.bin", "/Folder", "/Folder/inner file.txt", "/x.bin", "/y.bin"}) {
        std::u16string p = ntp::to_utf16(path);
        std::replace(p.begin(), p.end(), u'/', u'\\');
        auto f = open(m.driver.get(), p, request(FILE_OPEN, 0, 0));
        ASSERT_TRUE(f) << path;
        Extents e = retrieval_pointers(f.get(), 0);
        ASSERT_EQ(e.status, STATUS_SUCCESS) << path;
        EXPECT_EQ(e.starting_vcn, 0);
        EXPECT_EQ(e.returned, 16 + 16 * e.pairs.size());
        EXPECT_EQ(e.clusters(), mshowfat(img, path)) << path;
        // Consecutive clusters make one extent.
        for (size_t i = 1; i < e.pairs.size(); ++i) {
            int64_t prev_len = e.pairs[i - 1].first - (i >= 2 ? e.pairs[i - 2].first : 0);
            EXPECT_NE(e.pairs[i - 1].second + prev_len, e.pairs[i].second) << path << " extent " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FatLayoutTest, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<Layout> &i) { return std::string(i.param.name); });

TEST(FatVolume, BitmapBufferRules) {
    TempDir dir;
    std::string img = make_image(dir, "v.img", 16, 20000, "-s 1");
    put_file(dir, img, "/x.bin", pattern(40 * 512, 1));
    Fsck f = fsck(img);
    Mount m(img);
    ASSERT_TRUE(m);
    ntp::FsDriver *d = m.driver.get();
    const uint64_t total = f.total;

    // The start is rounded down to a multiple of 8; the size counts from there.
    Bitmap b = volume_bitmap(d, 13, 16 + (total + 7) / 8);
    EXPECT_EQ(b.status, STATUS_SUCCESS);
    EXPECT_EQ(b.start, 8);
    EXPECT_EQ(static_cast<uint64_t>(b.size), total - 8);
    Bitmap whole = volume_bitmap(d, 0, 16 + (total + 7) / 8);
    for (uint64_t lcn = 8; lcn < total; ++lcn) ASSERT_EQ(b.bit(lcn), whole.bit(lcn)) << lcn;

    // A short buffer: what fits, the full size in the header, buffer overflow.
    Bitmap shortb = volume_bitmap(d, 0, 16 + 3);
    EXPECT_EQ(shortb.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(shortb.returned, 19u);
    EXPECT_EQ(static_cast<uint64_t>(shortb.size), total);
    for (int lcn = 0; lcn < 24; ++lcn) EXPECT_EQ(shortb.bit(lcn), whole.bit(lcn)) << lcn;
    EXPECT_TRUE(whole.bit(0));  // x.bin starts at the first cluster

    // The header alone: overflow, 16 bytes. Less than the header: too small.
    Bitmap header = volume_bitmap(d, 0, 16);
    EXPECT_EQ(header.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(header.returned, 16u);
    EXPECT_EQ(volume_bitmap(d, 0, 15).status, STATUS_BUFFER_TOO_SMALL);

    // Starts past the end (after rounding down) or negative are invalid; the
    // last byte is not.
    EXPECT_EQ(volume_bitmap(d, static_cast<int64_t>((total + 7) & ~7ull), 4096).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(volume_bitmap(d, INT64_MAX, 4096).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(volume_bitmap(d, -1, 4096).status, STATUS_INVALID_PARAMETER);
    Bitmap last = volume_bitmap(d, static_cast<int64_t>(total - 1), 4096);
    EXPECT_EQ(last.status, STATUS_SUCCESS);
    EXPECT_EQ(static_cast<uint64_t>(last.start), (total - 1) & ~7ull);

    // No input buffer.
    uint8_t out[64];
    ULONG returned = 0;
    EXPECT_EQ(d->volume_fsctl(FSCTL_GET_VOLUME_BITMAP, nullptr, 0, out, sizeof out, &returned),
              STATUS_INVALID_PARAMETER);
}

TEST(FatVolume, NtfsRequestsAreRefusedAndDirtyFlagIsRead) {
    TempDir dir;
    std::string img = make_image(dir, "v.img", 32, 40000, "-s 1");
    Mount m(img);
    ASSERT_TRUE(m);
    uint8_t out[256];
    ULONG returned = 7;
    int64_t zero = 0;
    EXPECT_EQ(m->volume_fsctl(FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, out, sizeof out, &returned),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(m->volume_fsctl(FSCTL_GET_NTFS_FILE_RECORD, &zero, 8, out, sizeof out, &returned),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(m->volume_fsctl(FSCTL_GET_RETRIEVAL_POINTERS, &zero, 8, out, sizeof out, &returned),
              STATUS_INVALID_DEVICE_REQUEST);

    ULONG flags = 0xFFFF;
    ASSERT_EQ(m->volume_fsctl(FSCTL_IS_VOLUME_DIRTY, nullptr, 0, &flags, sizeof flags, &returned), STATUS_SUCCESS);
    EXPECT_EQ(flags, 0u);
    // Clearing the clean-shutdown bit of FAT entry 1 marks the volume dirty.
    m.release();
    set_fat_entry(img, 1, 0x07FFFFFF);
    Mount again(img);
    ASSERT_TRUE(again);
    ASSERT_EQ(again->volume_fsctl(FSCTL_IS_VOLUME_DIRTY, nullptr, 0, &flags, sizeof flags, &returned), STATUS_SUCCESS);
    EXPECT_EQ(flags, static_cast<ULONG>(VOLUME_IS_DIRTY));
}

TEST(FatVolume, LabelSerialAndInformationBuffers) {
    TempDir dir;
    std::string img = make_image(dir, "v.img", 16, 20000, "-n MYLABEL -i 1234ABCD");
    Mount m(img);
    ASSERT_TRUE(m);

    alignas(8) uint8_t buf[128];
    std::memset(buf, 0xA5, sizeof buf);
    ULONG written = 0;
    ASSERT_EQ(m->query_volume(FileFsVolumeInformation, buf, sizeof buf, &written), STATUS_SUCCESS);
    auto *vi = reinterpret_cast<FILE_FS_VOLUME_INFORMATION *>(buf);
    EXPECT_EQ(vi->VolumeSerialNumber, 0x1234ABCDu);
    EXPECT_EQ(std::u16string(vi->VolumeLabel, vi->VolumeLabelLength / 2), u"MYLABEL");
    EXPECT_EQ(written, offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel) + 14);

    // The name cut short: overflow with what fits.
    ULONG name_room = offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) + 4;
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(m->query_volume(FileFsAttributeInformation, buf, 16, &written), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(written, name_room);
    auto *ai = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buf);
    EXPECT_EQ(ai->MaximumComponentNameLength, 255);
    EXPECT_EQ(ai->FileSystemName[0], u'F');
    EXPECT_EQ(m->query_volume(FileFsSizeInformation, buf, 23, &written), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(m->query_volume(FileFsFullSizeInformation, buf, sizeof buf, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 32u);
    // The FAT16 root lies outside the data area: it has no clusters to give.
    auto root = open(m.driver.get(), u"\\", request(FILE_OPEN, 0, 0));
    ASSERT_TRUE(root);
    EXPECT_EQ(retrieval_pointers(root.get(), 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(root->size(), 512u * 32);

    FILE_FS_SIZE_INFORMATION si = size_info(m.driver.get());
    int64_t full_total, full_free;
    std::memcpy(&full_total, buf, 8);
    std::memcpy(&full_free, buf + 16, 8);
    EXPECT_EQ(full_total, si.TotalAllocationUnits.QuadPart);
    EXPECT_EQ(full_free, si.AvailableAllocationUnits.QuadPart);
}

// ------------------------------------------------------------ recognition

TEST(FatProbe, OtherContentIsNotFat) {
    TempDir dir;
    std::string zero = dir.file("zero.img");
    write_host(zero, std::vector<uint8_t>(1 << 20, 0));
    Mount a(zero);
    EXPECT_FALSE(a);

    // A boot sector with the signature but NTFS's zero FAT count and
    // reserved sectors, and one with an impossible sector size.
    std::string img = make_image(dir, "v.img", 16, 20000);
    std::vector<uint8_t> boot = image_bytes(img, 0, 512);
    std::vector<uint8_t> ntfs = boot;
    ntfs[0x0E] = ntfs[0x0F] = 0;
    ntfs[0x10] = 0;
    std::memcpy(&ntfs[3], "NTFS    ", 8);
    std::string ntfs_img = dir.file("ntfs.img");
    write_host(ntfs_img, read_host(img));
    patch_image(ntfs_img, 0, ntfs.data(), 512);
    Mount b(ntfs_img, 'G');
    EXPECT_FALSE(b);
}

TEST(FatProbe, DamagedBootSectorsAreRefusedWithAWarning) {
    TempDir dir;
    std::string good = make_image(dir, "good.img", 16, 20000, "-s 1");
    std::vector<uint8_t> image = read_host(good);
    struct Case {
        const char *name;
        std::function<void(std::vector<uint8_t> &)> damage;
        const char *message;  // part of the warning
    };
    const Case cases[] = {
        {"truncated image", [](std::vector<uint8_t> &v) { v.resize(v.size() / 2); }, "truncated"},
        {"no sector count",
         [](std::vector<uint8_t> &v) {
             v[0x13] = v[0x14] = 0;
             std::memset(&v[0x20], 0, 4);
         },
         "sector count"},
        {"FAT size 0 with a fixed root", [](std::vector<uint8_t> &v) { v[0x16] = v[0x17] = 0; }, "fixed root"},
        {"FAT too small for the clusters",
         [](std::vector<uint8_t> &v) {
             v[0x16] = 2;
             v[0x17] = 0;
         },
         "entries for"},
        {"data area past the end",
         [](std::vector<uint8_t> &v) {
             v[0x0E] = 0xFF;
             v[0x0F] = 0xFF;
         },
         "data area"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bad = image;
        c.damage(bad);
        std::string img = dir.file("bad.img");
        write_host(img, bad);
        ::testing::internal::CaptureStderr();
        {
            Mount m(img, 'H');
            EXPECT_FALSE(m);
        }
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("damaged FAT boot sector"), std::string::npos) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
}

TEST(FatProbe, ClusterCountDecidesTheFatWidth) {
    // Cluster counts around the FAT12/FAT16 limit, made by changing the
    // sector count of a FAT16 boot sector (the FAT is large enough for both).
    TempDir dir;
    std::string img = make_image(dir, "v.img", 16, 20000, "-s 1");
    std::vector<uint8_t> boot = image_bytes(img, 0, 512);
    ntp::fat::Geometry g = geometry(img);
    uint64_t data_sector = g.data_offset / 512;
    for (uint32_t clusters : {4084u, 4085u, 4086u, 4087u}) {
        std::vector<uint8_t> b = boot;
        uint32_t total = static_cast<uint32_t>(data_sector + clusters);
        ntp::fat::put16(&b[0x13], static_cast<uint16_t>(total));
        ntp::fat::Geometry out;
        std::string why;
        ASSERT_EQ(ntp::fat::parse_boot_sector(b.data(), b.size(), 20000 * 1024ull, &out, &why), ntp::fat::Probe::Fat)
            << why;
        EXPECT_EQ(out.clusters, clusters);
        EXPECT_EQ(out.type, clusters < 4085 ? ntp::fat::FatType::Fat12 : ntp::fat::FatType::Fat16) << clusters;
    }
}

}  // namespace
