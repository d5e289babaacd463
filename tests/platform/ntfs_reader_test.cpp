// The NTFS driver's own reader on hand-built structures: boot sectors, the
// update sequence, attribute walks, run lists, the MFT zone, and an MFT
// whose data is spread over an extension record through an attribute list.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "fs/ntfs/ntfs_reader.h"

namespace {

using namespace ntp::ntfs;

void put16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    put16(b, at, uint16_t(v));
    put16(b, at + 2, uint16_t(v >> 16));
}
void put64(std::vector<uint8_t> &b, size_t at, uint64_t v) {
    put32(b, at, uint32_t(v));
    put32(b, at + 4, uint32_t(v >> 32));
}

// ------------------------------------------------------------ boot sector
struct Boot {
    uint16_t bytes_per_sector = 512;
    uint8_t sectors_per_cluster = 8;
    int8_t clusters_per_record = -10;  // 1,024 bytes
    int8_t clusters_per_index = 1;
    uint64_t sectors = 65535;
    uint64_t mft = 4;
    uint64_t mirror = 4000;
    const char *oem = "NTFS    ";

    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> b(512, 0);
        b[0] = 0xEB;
        std::memcpy(&b[3], oem, 8);
        put16(b, 0x0B, bytes_per_sector);
        b[0x0D] = sectors_per_cluster;
        put64(b, 0x28, sectors);
        put64(b, 0x30, mft);
        put64(b, 0x38, mirror);
        b[0x40] = uint8_t(clusters_per_record);
        b[0x44] = uint8_t(clusters_per_index);
        put64(b, 0x48, 0x1122334455667788ull);
        b[0x1FE] = 0x55;
        b[0x1FF] = 0xAA;
        return b;
    }
};

struct BootCase {
    const char *name;
    Boot boot;
    uint64_t volume_bytes;
    bool ok;
    uint32_t cluster;         // when ok
    uint32_t record;          // when ok
    uint32_t per_record;      // clusters per record, when ok
    uint64_t total_clusters;  // when ok
};

Boot with(void (*change)(Boot &)) {
    Boot b;
    change(b);
    return b;
}

TEST(NtfsBootSector, AcceptsWhatIsSoundAndRefusesTheRest) {
    const uint64_t big = uint64_t(1) << 40;
    const BootCase cases[] = {
        {"4K clusters of 512-byte sectors", Boot{}, 32 << 20, true, 4096, 1024, 0, 8191},
        {"sectors not a multiple of the cluster", with([](Boot &b) { b.sectors = 65541; }), 33 << 20, true, 4096, 1024,
         0, 8192},
        {"512-byte clusters, 2 per record", with([](Boot &b) {
             b.sectors_per_cluster = 1;
             b.clusters_per_record = 2;
         }),
         32 << 20, true, 512, 1024, 2, 65535},
        {"4096-byte sectors", with([](Boot &b) {
             b.bytes_per_sector = 4096;
             b.sectors_per_cluster = 1;
             b.sectors = 8191;
         }),
         32 << 20, true, 4096, 1024, 0, 8191},
        {"64K clusters", with([](Boot &b) {
             b.sectors_per_cluster = 128;
             b.sectors = 1 << 20;
             b.mirror = 10;
         }),
         big, true, 65536, 1024, 0, 8192},
        {"2M clusters as a negative shift", with([](Boot &b) {
             b.sectors_per_cluster = 0xF4;
             b.clusters_per_index = -12;
             b.sectors = 1 << 24;
             b.mirror = 10;
         }),
         big, true, 2 << 20, 1024, 0, 4096},
        {"4K records", with([](Boot &b) { b.clusters_per_record = -12; }), 32 << 20, true, 4096, 4096, 1, 8191},
        {"no signature", with([](Boot &b) { b.oem = "MSDOS5.0"; }), 32 << 20, false, 0, 0, 0, 0},
        {"300-byte sectors", with([](Boot &b) { b.bytes_per_sector = 300; }), 32 << 20, false, 0, 0, 0, 0},
        {"128-byte sectors", with([](Boot &b) { b.bytes_per_sector = 128; }), 32 << 20, false, 0, 0, 0, 0},
        {"8K sectors", with([](Boot &b) { b.bytes_per_sector = 8192; }), 32 << 20, false, 0, 0, 0, 0},
        {"3 sectors per cluster", with([](Boot &b) { b.sectors_per_cluster = 3; }), 32 << 20, false, 0, 0, 0, 0},
        {"a shift past 2M clusters", with([](Boot &b) { b.sectors_per_cluster = 0xEB; }), big, false, 0, 0, 0, 0},
        {"256-byte records", with([](Boot &b) { b.clusters_per_record = -8; }), 32 << 20, false, 0, 0, 0, 0},
        {"no record size", with([](Boot &b) { b.clusters_per_record = 0; }), 32 << 20, false, 0, 0, 0, 0},
        {"3-cluster records", with([](Boot &b) { b.clusters_per_record = 3; }), 32 << 20, false, 0, 0, 0, 0},
        {"truncated image", Boot{}, 16 << 20, false, 0, 0, 0, 0},
        {"MFT past the end", with([](Boot &b) { b.mft = 8191; }), 32 << 20, false, 0, 0, 0, 0},
        {"no sectors", with([](Boot &b) { b.sectors = 0; }), 32 << 20, false, 0, 0, 0, 0},
        {"sector count overflowing", with([](Boot &b) { b.sectors = ~uint64_t(0) / 2; }), 32 << 20, false, 0, 0, 0, 0},
    };
    for (const BootCase &c : cases) {
        Geometry g;
        std::string why;
        bool not_ntfs = true;
        std::vector<uint8_t> b = c.boot.bytes();
        EXPECT_EQ(parse_boot_sector(b.data(), c.volume_bytes, &g, &why, &not_ntfs), c.ok) << c.name << ": " << why;
        EXPECT_EQ(not_ntfs, std::strcmp(c.name, "no signature") == 0) << c.name;
        if (c.ok) {
            EXPECT_EQ(g.bytes_per_cluster, c.cluster) << c.name;
            EXPECT_EQ(g.bytes_per_record, c.record) << c.name;
            EXPECT_EQ(g.clusters_per_record, c.per_record) << c.name;
            EXPECT_EQ(g.total_clusters, c.total_clusters) << c.name;
            EXPECT_EQ(g.serial, 0x1122334455667788ull) << c.name;
        } else {
            EXPECT_FALSE(why.empty()) << c.name;
        }
    }
}

// ------------------------------------------------------------- MFT zone
TEST(NtfsMftZone, AsTheHostImplementationSetsItUp) {
    struct Case {
        const char *name;
        uint32_t cluster;
        uint64_t total;
        uint64_t mft;
        int64_t start, end;
    } cases[] = {
        {"fresh 4K volume (ntfsinfo: 0..2051)", 4096, 16383, 4, 0, 2051},
        {"MFT moved to the middle", 4096, 100000, 50000, 50000, 62500},
        {"MFT near the end: halved until inside", 4096, 1000, 990, 990, 997},
        {"512-byte clusters: fresh place is 32", 512, 80000, 32, 0, 10032},
        {"512-byte clusters: just after it", 512, 80000, 33, 33, 10033},
        {"64K clusters: fresh place is 2", 65536, 4800, 2, 0, 602},
        {"64K clusters: just after it", 65536, 4800, 3, 3, 603},
        {"MFT on the last cluster", 4096, 1000, 999, 999, 999},
    };
    for (const Case &c : cases) {
        Geometry g;
        g.bytes_per_cluster = c.cluster;
        g.total_clusters = c.total;
        int64_t start = -1, end = -1;
        mft_zone(g, c.mft, &start, &end);
        EXPECT_EQ(start, c.start) << c.name;
        EXPECT_EQ(end, c.end) << c.name;
    }
}

// ----------------------------------------------------- records by hand
// A 1,024-byte record: header, attributes, end marker, update sequence.
class Rec {
public:
    explicit Rec(uint16_t flags, uint64_t base = 0) : b_(1024, 0) {
        std::memcpy(&b_[0], "FILE", 4);
        put16(b_, 0x04, 0x30);  // update sequence array
        put16(b_, 0x06, 3);     // sequence number + 2 strides
        put16(b_, 0x10, 1);     // sequence number of the record
        put16(b_, 0x12, 1);
        put16(b_, 0x14, 0x38);  // first attribute
        put16(b_, 0x16, flags);
        put32(b_, 0x1C, 1024);
        put64(b_, 0x20, base);
        pos_ = 0x38;
    }
    Rec &resident(uint32_t type, const std::vector<uint8_t> &value, uint16_t instance, std::u16string name = u"") {
        const size_t name_at = 0x18, value_at = (0x18 + name.size() * 2 + 7) & ~size_t(7);
        const size_t length = (value_at + value.size() + 7) & ~size_t(7);
        put32(b_, pos_, type);
        put32(b_, pos_ + 4, uint32_t(length));
        b_[pos_ + 9] = uint8_t(name.size());
        put16(b_, pos_ + 0x0A, uint16_t(name_at));
        put16(b_, pos_ + 0x0E, instance);
        put32(b_, pos_ + 0x10, uint32_t(value.size()));
        put16(b_, pos_ + 0x14, uint16_t(value_at));
        for (size_t i = 0; i < name.size(); ++i) put16(b_, pos_ + name_at + 2 * i, name[i]);
        std::memcpy(&b_[pos_ + value_at], value.data(), value.size());
        pos_ += length;
        return *this;
    }
    Rec &non_resident(uint32_t type, int64_t lowest, int64_t highest, const std::vector<uint8_t> &pairs,
                      int64_t allocated, int64_t size, int64_t initialized, uint16_t instance) {
        const size_t length = (0x40 + pairs.size() + 1 + 7) & ~size_t(7);
        put32(b_, pos_, type);
        put32(b_, pos_ + 4, uint32_t(length));
        b_[pos_ + 8] = 1;
        put16(b_, pos_ + 0x0A, 0x40);
        put16(b_, pos_ + 0x0E, instance);
        put64(b_, pos_ + 0x10, uint64_t(lowest));
        put64(b_, pos_ + 0x18, uint64_t(highest));
        put16(b_, pos_ + 0x20, 0x40);
        put64(b_, pos_ + 0x28, uint64_t(allocated));
        put64(b_, pos_ + 0x30, uint64_t(size));
        put64(b_, pos_ + 0x38, uint64_t(initialized));
        std::memcpy(&b_[pos_ + 0x40], pairs.data(), pairs.size());
        pos_ += length;
        return *this;
    }
    // The record as it lies on disk, protected by `usn`.
    std::vector<uint8_t> done(uint16_t usn = 0x0101) {
        std::vector<uint8_t> b = b_;
        put32(b, pos_, kAttrEnd);
        put32(b, 0x18, uint32_t(pos_ + 8));
        put16(b, 0x30, usn);
        for (size_t i = 1; i <= 2; ++i) {
            put16(b, 0x30 + 2 * i, uint16_t(b[i * 512 - 2] | b[i * 512 - 1] << 8));
            put16(b, i * 512 - 2, usn);
        }
        return b;
    }

private:
    std::vector<uint8_t> b_;
    size_t pos_;
};

TEST(NtfsUpdateSequence, RestoresTheProtectedWordsOnlyWhenEveryStrideCarriesTheNumber) {
    std::vector<uint8_t> value(700);
    for (size_t i = 0; i < value.size(); ++i) value[i] = uint8_t(i * 7);  // spans byte 510
    std::vector<uint8_t> disk = Rec(kRecordInUse).resident(kAttrData, value, 0).done(0x4242);
    EXPECT_EQ(le16(&disk[510]), 0x4242);

    std::vector<uint8_t> r = disk;
    ASSERT_TRUE(remove_fixups(r.data(), r.size()));
    std::vector<Attribute> attrs;
    std::string why;
    ASSERT_TRUE(parse_attributes(r.data(), r.size(), &attrs, &why)) << why;
    ASSERT_EQ(attrs.size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(attrs[0].value, attrs[0].value + attrs[0].value_length), value);

    struct Broken {
        const char *name;
        size_t at;
        uint8_t xor_with;
    } broken[] = {
        {"torn second stride", 1022, 0x01}, {"torn first stride", 510, 0x80},
        {"count says one stride", 6, 0x01},                                            // 3 -> 2
        {"odd array offset", 4, 0x01},      {"array past the first stride", 5, 0x02},  // 0x30 -> 0x230
    };
    for (const Broken &c : broken) {
        std::vector<uint8_t> bad = disk;
        bad[c.at] ^= c.xor_with;
        std::vector<uint8_t> before = bad;
        EXPECT_FALSE(remove_fixups(bad.data(), bad.size())) << c.name;
        EXPECT_EQ(bad, before) << c.name << ": nothing is changed";
    }
    std::vector<uint8_t> odd(1000);
    EXPECT_FALSE(remove_fixups(odd.data(), odd.size()));
}

TEST(NtfsAttributes, WalkChecksEveryLengthAgainstTheRecord) {
    std::vector<uint8_t> rec = Rec(kRecordInUse)
                                   .resident(kAttrStandardInformation, std::vector<uint8_t>(0x48, 1), 0)
                                   .resident(kAttrData, {1, 2, 3}, 3, u"ads")
                                   .non_resident(kAttrData, 0, 9, {0x11, 0x0A, 0x20}, 10 * 4096, 40000, 30000, 2)
                                   .done();
    ASSERT_TRUE(remove_fixups(rec.data(), rec.size()));
    std::vector<Attribute> attrs;
    std::string why;
    ASSERT_TRUE(parse_attributes(rec.data(), rec.size(), &attrs, &why)) << why;
    ASSERT_EQ(attrs.size(), 3u);
    EXPECT_EQ(attrs[1].name, u"ads");
    EXPECT_EQ(attrs[1].value_length, 3u);
    EXPECT_TRUE(attrs[2].non_resident);
    EXPECT_EQ(attrs[2].highest_vcn, 9);
    EXPECT_EQ(attrs[2].data_size, 40000);
    EXPECT_EQ(attrs[2].initialized_size, 30000);

    const size_t first = 0x38, second = first + attrs[0].length, third = second + attrs[1].length;
    struct Broken {
        const char *name;
        size_t at;
        uint32_t value;
        int width;
    } broken[] = {
        {"zero length", first + 4, 0, 32},
        {"length past the record", first + 4, 0x1000, 32},
        {"length not a multiple of 8", first + 4, 0x5C, 32},
        {"no end marker before bytes in use", 0x18, uint32_t(third + 8), 32},
        {"bytes in use past the record", 0x18, 2048, 32},
        {"name past the attribute", second + 0x0A, 0x60, 16},
        {"value past the attribute", second + 0x10, 0x100, 32},
        {"mapping pairs past the attribute", third + 0x20, 0x200, 16},
        {"initialized past the data size", third + 0x38, 50000, 32},
        {"first attribute past bytes in use", 0x14, 0x3F8, 16},
        {"not a file record", 0, 0x44414142, 32},
    };
    for (const Broken &c : broken) {
        std::vector<uint8_t> bad = rec;
        if (c.width == 32)
            put32(bad, c.at, c.value);
        else
            put16(bad, c.at, uint16_t(c.value));
        EXPECT_FALSE(parse_attributes(bad.data(), bad.size(), &attrs, &why)) << c.name;
    }
}

// ---------------------------------------------------------- run lists
TEST(NtfsRunLists, DecodeWithEveryBoundChecked) {
    struct Case {
        const char *name;
        std::vector<uint8_t> pairs;
        int64_t lowest, highest;
        bool ok;
        std::vector<ntp::ntfs::Run> runs;
    } cases[] = {
        {"one run", {0x21, 0x10, 0x00, 0x01, 0x00}, 0, 15, true, {{0, 256, 16}}},
        {"backwards second run",
         {0x21, 0x08, 0x00, 0x02, 0x11, 0x04, 0xF0, 0x00},
         0,
         11,
         true,
         {{0, 512, 8}, {8, 496, 4}}},
        {"hole between runs",
         {0x11, 0x02, 0x10, 0x01, 0x05, 0x11, 0x03, 0x10, 0x00},
         0,
         9,
         true,
         {{0, 16, 2}, {2, -1, 5}, {7, 32, 3}}},
        {"extent starting at VCN 24", {0x11, 0x10, 0x64, 0x00}, 24, 39, true, {{24, 100, 16}}},
        {"no terminator at the very end", {0x11, 0x04, 0x08}, 0, 3, true, {{0, 8, 4}}},
        {"empty attribute", {0x00}, 0, -1, true, {}},
        {"run of no clusters", {0x11, 0x00, 0x08, 0x00}, 0, -1, false, {}},
        {"negative length", {0x11, 0xFF, 0x08, 0x00}, 0, 0, false, {}},
        {"9-byte length field", {0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 0, 0, false, {}},
        {"pair cut short", {0x21, 0x04, 0x08}, 0, 3, false, {}},
        {"run past the volume", {0x21, 0x10, 0xF8, 0x03, 0x00}, 0, 15, false, {}},
        {"before cluster 0", {0x11, 0x04, 0x08, 0x11, 0x04, 0xF0, 0x00}, 0, 7, false, {}},
        {"short of the highest VCN", {0x11, 0x04, 0x08, 0x00}, 0, 9, false, {}},
        {"past the highest VCN", {0x11, 0x04, 0x08, 0x00}, 0, 1, false, {}},
        {"huge length", {0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0x00}, 0, 0, false, {}},
    };
    for (const Case &c : cases) {
        std::vector<ntp::ntfs::Run> runs;
        std::string why;
        EXPECT_EQ(decode_runs(c.pairs.data(), c.pairs.size(), c.lowest, c.highest, 1024, &runs, &why), c.ok)
            << c.name << ": " << why;
        if (!c.ok) continue;
        ASSERT_EQ(runs.size(), c.runs.size()) << c.name;
        for (size_t i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(runs[i].vcn, c.runs[i].vcn) << c.name << " run " << i;
            EXPECT_EQ(runs[i].lcn, c.runs[i].lcn) << c.name << " run " << i;
            EXPECT_EQ(runs[i].length, c.runs[i].length) << c.name << " run " << i;
        }
    }
}

// ------------------------------------------------ an MFT built by hand
// 512-byte clusters and sectors, 1,024-byte records, 256 clusters. The MFT
// holds 20 records in two runs: clusters 16-39 (records 0-11) and 100-115
// (records 12-19). Record 0's $DATA covers only the first run; the second
// lies in extension record 11, found through record 0's attribute list.
// Record 18 is free, record 19 is torn.
class NtfsHandMadeMft : public ::testing::Test {
public:
    static constexpr uint32_t kCluster = 512;

    void SetUp() override {
        g.bytes_per_sector = 512;
        g.sectors_per_cluster = 1;
        g.bytes_per_cluster = kCluster;
        g.bytes_per_record = 1024;
        g.clusters_per_record = 2;
        g.total_sectors = 256;
        g.total_clusters = 256;
        g.mft_lcn = 16;
        g.mftmirr_lcn = 200;
        disk.assign(256 * kCluster, 0);
        records.clear();
        outside = 0;

        for (uint64_t n = 1; n < 20; ++n) records[n] = Rec(kRecordInUse).done();
        records[3] =
            Rec(kRecordInUse).resident(kAttrVolumeInformation, {0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0x01, 0}, 0).done();
        records[6] = Rec(kRecordInUse).non_resident(kAttrData, 0, 0, {0x21, 0x01, 0x96, 0x00}, 512, 32, 32, 0).done();
        records[11] = Rec(kRecordInUse, 0x0001000000000000ull /* record 0, sequence 1 */)
                          .non_resident(kAttrData, 24, 39, {0x11, 0x10, 0x64}, 0, 0, 0, 0)
                          .done();
        records[18] = Rec(0).done();
        records[19] = Rec(kRecordInUse).done();
        records[19][1022] ^= 0xFF;  // torn
        build_record0(11, 0);
        for (size_t i = 0; i < 32; ++i) disk[150 * kCluster + i] = uint8_t(0xA5 ^ i);  // $Bitmap data
    }

    void build_record0(uint64_t extension, uint16_t extension_instance) {
        std::vector<uint8_t> list;
        auto entry = [&](uint32_t type, int64_t lowest, uint64_t record, uint16_t instance) {
            std::vector<uint8_t> e(0x20, 0);
            put32(e, 0, type);
            put16(e, 4, 0x20);
            e[7] = 0x1A;
            put64(e, 8, uint64_t(lowest));
            put64(e, 0x10, record | 0x0001000000000000ull);
            put16(e, 0x18, instance);
            list.insert(list.end(), e.begin(), e.end());
        };
        entry(kAttrData, 0, 0, 1);
        entry(kAttrData, 24, extension, extension_instance);
        entry(kAttrBitmap, 0, 0, 2);
        // Records 0-17 and 19 in use.
        records[0] =
            Rec(kRecordInUse)
                .resident(kAttrAttributeList, list, 3)
                .non_resident(kAttrData, 0, 23, {0x11, 0x18, 0x10}, 40 * kCluster, 40 * kCluster, 40 * kCluster, 1)
                .resident(kAttrBitmap, {0xFF, 0xFF, 0x0B}, 2)
                .done();
    }

    void store() {
        for (auto &[n, bytes] : records) {
            const uint64_t lcn = n < 12 ? 16 + 2 * n : 100 + 2 * (n - 12);
            std::memcpy(&disk[lcn * kCluster], bytes.data(), bytes.size());
        }
    }

    ReadFn reader() {
        return [this](uint64_t offset, void *buffer, size_t length) -> NTSTATUS {
            if (offset > disk.size() || length > disk.size() - offset) {
                ++outside;
                return STATUS_INVALID_PARAMETER;
            }
            std::memcpy(buffer, &disk[offset], length);
            return STATUS_SUCCESS;
        };
    }

    Geometry g;
    std::vector<uint8_t> disk;
    std::map<uint64_t, std::vector<uint8_t>> records;
    int outside = 0;
};

TEST_F(NtfsHandMadeMft, GathersTheMftThroughItsAttributeList) {
    store();
    MftView view(reader(), g);
    ASSERT_EQ(view.open(), STATUS_SUCCESS) << view.error();
    EXPECT_EQ(view.record_count(), 20u);
    EXPECT_EQ(view.valid_data_length(), 40 * 512);
    ASSERT_EQ(view.runs().size(), 2u);
    EXPECT_EQ(view.runs()[1].vcn, 24);
    EXPECT_EQ(view.runs()[1].lcn, 100);
    EXPECT_EQ(view.runs()[1].length, 16);

    std::vector<uint8_t> r;
    ASSERT_EQ(view.read_record(17, &r), STATUS_SUCCESS);  // in the second run
    EXPECT_EQ(std::memcmp(r.data(), "FILE", 4), 0);
    EXPECT_EQ(view.read_record(19, &r), STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(view.read_record(20, &r), STATUS_DISK_CORRUPT_ERROR);

    bool in_use = false;
    ASSERT_EQ(view.record_bit(17, &in_use), STATUS_SUCCESS);
    EXPECT_TRUE(in_use);
    ASSERT_EQ(view.record_bit(18, &in_use), STATUS_SUCCESS);
    EXPECT_FALSE(in_use);
    ASSERT_EQ(view.record_bit(5000, &in_use), STATUS_SUCCESS);  // past the bitmap: free
    EXPECT_FALSE(in_use);

    AttributeValue bitmap;
    ASSERT_EQ(view.attribute(kRecordBitmap, kAttrData, &bitmap), STATUS_SUCCESS);
    EXPECT_TRUE(bitmap.non_resident);
    EXPECT_EQ(bitmap.data_size, 32);
    uint8_t bits[32];
    ASSERT_EQ(view.read_value(bitmap, 0, 32, bits), STATUS_SUCCESS);
    for (size_t i = 0; i < 32; ++i) EXPECT_EQ(bits[i], uint8_t(0xA5 ^ i));
    EXPECT_EQ(view.read_value(bitmap, 30, 3, bits), STATUS_DISK_CORRUPT_ERROR);

    AttributeValue info;
    ASSERT_EQ(view.attribute(kRecordVolume, kAttrVolumeInformation, &info), STATUS_SUCCESS);
    ASSERT_EQ(info.resident.size(), 12u);
    EXPECT_EQ(info.resident[10], 0x01);
    EXPECT_EQ(view.attribute(5, kAttrData, &info), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(outside, 0);
}

TEST_F(NtfsHandMadeMft, RefusesAnMftItCannotTrust) {
    struct Case {
        const char *name;
        void (*spoil)(NtfsHandMadeMft &);
    } cases[] = {
        {"extension record of another file", [](NtfsHandMadeMft &t) { put64(t.records[11], 0x20, 5); }},
        {"extension record not in use", [](NtfsHandMadeMft &t) { put16(t.records[11], 0x16, 0); }},
        {"list names an instance the extension lacks", [](NtfsHandMadeMft &t) { t.build_record0(11, 7); }},
        {"list names an extension in the part not yet mapped",
         [](NtfsHandMadeMft &t) {
             t.records[14] = t.records[11];
             t.build_record0(14, 0);
         }},
        {"extension runs past the volume",
         [](NtfsHandMadeMft &t) {
             t.records[11] = Rec(kRecordInUse, 0x0001000000000000ull)
                                 .non_resident(kAttrData, 24, 39, {0x21, 0x10, 0xF8, 0x00}, 0, 0, 0, 0)
                                 .done();
         }},
        {"torn record 0", [](NtfsHandMadeMft &t) { t.records[0][510] ^= 1; }},
        {"record 0 not where the boot sector says", [](NtfsHandMadeMft &t) { t.g.mft_lcn = 40; }},
    };
    for (const Case &c : cases) {
        SetUp();
        c.spoil(*this);
        store();
        MftView view(reader(), g);
        NTSTATUS st = view.open();
        EXPECT_EQ(st, STATUS_DISK_CORRUPT_ERROR) << c.name;
        EXPECT_FALSE(view.error().empty()) << c.name;
        EXPECT_EQ(outside, 0) << c.name;
    }
}

// The same MFT described in record 0 alone, both runs in one mapping.
TEST_F(NtfsHandMadeMft, PlainRunListWithoutAnAttributeList) {
    records[0] = Rec(kRecordInUse)
                     .non_resident(kAttrData, 0, 39, {0x11, 0x18, 0x10, 0x11, 0x10, 0x54}, 40 * kCluster, 40 * kCluster,
                                   19 * 1024, 1)
                     .resident(kAttrBitmap, {0xFF, 0xFF, 0x0B}, 2)
                     .done();
    store();
    MftView view(reader(), g);
    ASSERT_EQ(view.open(), STATUS_SUCCESS) << view.error();
    EXPECT_EQ(view.record_count(), 19u);  // the initialized part only
    ASSERT_EQ(view.runs().size(), 2u);
    EXPECT_EQ(view.runs()[1].lcn, 100);
    std::vector<uint8_t> r;
    EXPECT_EQ(view.read_record(12, &r), STATUS_SUCCESS);
}

}  // namespace
