// The NTFS driver's volume requests on mkntfs images, checked against what
// libntfs-3g and its tools (ntfsinfo) report for the same image.
#include <gtest/gtest.h>

#include <cstring>

#include "internal.h"
#include "ntfs_libref.h"
#include "ntfs_support.h"

namespace {

using namespace ntfstest;

// ---------------------------------------------------- volume geometry
struct Format {
    unsigned cluster;
    uint64_t megabytes;
    const char *extra;  // more mkntfs options
};

std::ostream &operator<<(std::ostream &os, const Format &f) {
    return os << f.cluster << "-byte clusters, " << f.megabytes << " MB " << f.extra;
}

class NtfsVolumeData : public ::testing::TestWithParam<Format> {};

TEST_P(NtfsVolumeData, MatchesNtfsinfo) {
    const Format f = GetParam();
    Machine m;
    std::string image = m.ntfs("c.img", f.megabytes << 20, f.cluster, f.extra);
    m.drives("C: image c.img\n");

    NTFS_VOLUME_DATA_BUFFER d;
    FILE_FS_SIZE_INFORMATION size;
    {
        HANDLE v = open_volume('C');
        d = volume_data(v);
        IO_STATUS_BLOCK iosb{};
        std::memset(&size, 0xCC, sizeof size);
        ASSERT_EQ(NtQueryVolumeInformationFile(v, &iosb, &size, sizeof size, FileFsSizeInformation), STATUS_SUCCESS);
        EXPECT_EQ(bitmap_free(v), d.FreeClusters.QuadPart);
        NtClose(v);
    }

    Command info = run("ntfsinfo -m " + quote(image));
    ASSERT_EQ(info.status, 0) << info.output;
    const std::string &t = info.output;
    EXPECT_EQ(d.TotalClusters.QuadPart, field(t, "Volume Size in Clusters:"));
    EXPECT_EQ(d.FreeClusters.QuadPart, field(t, "Free Clusters:"));
    EXPECT_EQ(d.BytesPerSector, field(t, "Sector Size:"));
    EXPECT_EQ(d.BytesPerCluster, field(t, "Cluster Size:"));
    EXPECT_EQ(d.BytesPerFileRecordSegment, field(t, "MFT Record Size:"));
    EXPECT_EQ(d.MftStartLcn.QuadPart, field(t, "LCN of Data Attribute for FILE_MFT:"));
    EXPECT_EQ(d.Mft2StartLcn.QuadPart, field(t, "LCN of Data Attribute for File_MFTMirr:"));
    EXPECT_EQ(d.MftZoneStart.QuadPart, field(t, "MFT Zone Start:"));
    EXPECT_EQ(d.MftZoneEnd.QuadPart, field(t, "MFT Zone End:"));
    EXPECT_EQ(d.ClustersPerFileRecordSegment,
              d.BytesPerFileRecordSegment >= d.BytesPerCluster ? d.BytesPerFileRecordSegment / d.BytesPerCluster : 0);
    EXPECT_EQ(d.TotalReserved.QuadPart, 0);

    Command mft = run("ntfsinfo -i 0 " + quote(image));
    size_t data = mft.output.find("Dumping attribute $DATA");
    ASSERT_NE(data, std::string::npos) << mft.output;
    EXPECT_EQ(d.MftValidDataLength.QuadPart, field(mft.output.substr(data), "Initialized size:"));

    std::vector<uint8_t> bs = peek(image, 0, 512);
    EXPECT_EQ(uint64_t(d.NumberSectors.QuadPart), get64(bs, 0x28));
    EXPECT_EQ(uint64_t(d.VolumeSerialNumber.QuadPart), get64(bs, 0x48));

    EXPECT_EQ(size.TotalAllocationUnits.QuadPart, d.TotalClusters.QuadPart);
    EXPECT_EQ(size.AvailableAllocationUnits.QuadPart, d.FreeClusters.QuadPart);
    EXPECT_EQ(uint64_t(size.SectorsPerAllocationUnit) * size.BytesPerSector, d.BytesPerCluster);
    EXPECT_EQ(size.BytesPerSector, d.BytesPerSector);
}

INSTANTIATE_TEST_SUITE_P(Formats, NtfsVolumeData,
                         ::testing::Values(Format{512, 8, ""}, Format{512, 61, ""}, Format{1024, 20, ""},
                                           Format{1024, 301, ""}, Format{2048, 45, ""}, Format{4096, 10, ""},
                                           Format{4096, 64, ""}, Format{4096, 2049, ""}, Format{8192, 130, ""},
                                           Format{65536, 300, ""}, Format{65536, 3000, ""}, Format{4096, 64, "-s 4096"},
                                           Format{1024, 40, "-z 3"}));

// ------------------------------------------------------- volume bitmap
TEST(NtfsVolumeBitmap, FreeCountAgreesWithLibntfsOnFragmentedSpace) {
    Machine m;
    std::string image = m.ntfs("c.img", 64 << 20);  // 16,383 clusters: the last bitmap byte is partial
    ASSERT_GT(ntfsref::fragment_free_space(image, "frag", 300, 3 * 4096 + 100), 100);
    m.drives("C: image c.img\n");

    std::vector<uint8_t> bits;
    int64_t from_bitmap, from_data, from_size;
    {
        HANDLE v = open_volume('C');
        from_bitmap = bitmap_free(v, &bits);
        from_data = volume_data(v).FreeClusters.QuadPart;
        FILE_FS_SIZE_INFORMATION size{};
        IO_STATUS_BLOCK iosb{};
        ASSERT_EQ(NtQueryVolumeInformationFile(v, &iosb, &size, sizeof size, FileFsSizeInformation), STATUS_SUCCESS);
        from_size = size.AvailableAllocationUnits.QuadPart;
        NtClose(v);
    }
    const int64_t reference = ntfsref::free_clusters(image);
    ASSERT_GT(reference, 0);
    EXPECT_EQ(from_bitmap, reference);
    EXPECT_EQ(from_data, reference);
    EXPECT_EQ(from_size, reference);

    std::vector<uint8_t> expected;
    ASSERT_TRUE(ntfsref::cluster_bitmap(image, &expected));
    ASSERT_EQ(bits.size(), expected.size());
    ntfsref::Geometry g;
    ASSERT_TRUE(ntfsref::geometry(image, &g));
    for (int64_t c = 0; c < g.total_clusters; ++c)
        ASSERT_EQ((bits[size_t(c / 8)] >> (c % 8)) & 1, (expected[size_t(c / 8)] >> (c % 8)) & 1) << "cluster " << c;
}

TEST(NtfsVolumeBitmap, StartRoundingShortBuffersAndBadStarts) {
    Machine m;
    std::string image = m.ntfs("c.img", 32 << 20);
    ASSERT_GT(ntfsref::fragment_free_space(image, "frag", 40, 4096 * 5), 10);
    m.drives("C: image c.img\n");
    HANDLE v = open_volume('C');
    const int64_t total = volume_data(v).TotalClusters.QuadPart;
    std::vector<uint8_t> all;
    bitmap_free(v, &all);

    STARTING_LCN_INPUT_BUFFER in;
    std::vector<uint8_t> out(16 + size_t(total / 8) + 1, 0xCC);
    ULONG_PTR returned = 0;

    // A start inside a byte is rounded down to the byte.
    in.StartingLcn.QuadPart = 13;
    ASSERT_EQ(fsctl(v, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, out.data(), ULONG(out.size()), &returned),
              STATUS_SUCCESS);
    auto *vb = reinterpret_cast<VOLUME_BITMAP_BUFFER *>(out.data());
    EXPECT_EQ(vb->StartingLcn.QuadPart, 8);
    EXPECT_EQ(vb->BitmapSize.QuadPart, total - 8);
    EXPECT_EQ(returned, 16 + size_t((total - 8 + 7) / 8));
    EXPECT_TRUE(std::equal(all.begin() + 1, all.end(), out.begin() + 16));

    // Room for 10 bytes: they are filled, the rest is reported as missing.
    std::fill(out.begin(), out.end(), 0xCC);
    in.StartingLcn.QuadPart = 0;
    EXPECT_EQ(fsctl(v, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, out.data(), 16 + 10, &returned),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, 26u);
    EXPECT_EQ(vb->BitmapSize.QuadPart, total);
    EXPECT_TRUE(std::equal(all.begin(), all.begin() + 10, out.begin() + 16));
    EXPECT_EQ(out[26], 0xCC);

    EXPECT_EQ(fsctl(v, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, out.data(), 15), STATUS_BUFFER_TOO_SMALL);
    in.StartingLcn.QuadPart = total;
    EXPECT_EQ(fsctl(v, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, out.data(), ULONG(out.size())),
              STATUS_INVALID_PARAMETER);
    in.StartingLcn.QuadPart = -8;
    EXPECT_EQ(fsctl(v, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, out.data(), ULONG(out.size())),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(fsctl(v, FSCTL_GET_VOLUME_BITMAP, &in, 4, out.data(), ULONG(out.size())), STATUS_INVALID_PARAMETER);
    // The last whole byte still works.
    in.StartingLcn.QuadPart = total - 1;
    EXPECT_EQ(fsctl(v, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, out.data(), ULONG(out.size()), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(vb->StartingLcn.QuadPart, (total - 1) & ~7);
    NtClose(v);
}

// ---------------------------------------------------------- file records
struct RecordReply {
    NTSTATUS status;
    int64_t number;
    ULONG length;
    std::vector<uint8_t> record;
};

RecordReply file_record(HANDLE v, uint64_t asked, ULONG room) {
    std::vector<uint8_t> out(12 + room, 0xCC);
    NTFS_FILE_RECORD_INPUT_BUFFER in;
    in.FileReferenceNumber.QuadPart = LONGLONG(asked);
    RecordReply r{};
    ULONG_PTR returned = 0;
    r.status = fsctl(v, FSCTL_GET_NTFS_FILE_RECORD, &in, sizeof in, out.data(), ULONG(out.size()), &returned);
    auto *o = reinterpret_cast<NTFS_FILE_RECORD_OUTPUT_BUFFER *>(out.data());
    r.number = o->FileReferenceNumber.QuadPart;
    r.length = o->FileRecordLength;
    if (NT_SUCCESS(r.status)) {
        EXPECT_EQ(returned, 12 + o->FileRecordLength);
        r.record.assign(out.begin() + 12, out.begin() + 12 + o->FileRecordLength);
    }
    return r;
}

class NtfsFileRecords : public ::testing::Test {
protected:
    void SetUp() override {
        image = m.ntfs("c.img", 32 << 20);
        m.drives("C: image c.img\n");
        for (int i = 0; i < 10; ++i) {
            std::u16string name = u"\\??\\C:\\rec" + std::u16string(1, char16_t(u'0' + i));
            Opened o = open(name, GENERIC_WRITE, FILE_CREATE);
            ASSERT_EQ(o.status, STATUS_SUCCESS);
            NtClose(o.handle);
        }
        for (int i = 0; i < 10; ++i) {
            uint32_t attributes;
            ASSERT_TRUE(ntfsref::file_info(image, "/rec" + std::to_string(i), &records[i], &attributes));
        }
        for (int i = 1; i < 10; ++i) ASSERT_EQ(records[i], records[i - 1] + 1) << "records given out in order";
    }
    Machine m;
    std::string image;
    uint64_t records[10] = {};
};

TEST_F(NtfsFileRecords, NearestRecordInUseAtOrBelowWithFixupsRemoved) {
    ASSERT_EQ(remove(u"\\??\\C:\\rec4"), STATUS_SUCCESS);
    ASSERT_EQ(remove(u"\\??\\C:\\rec5"), STATUS_SUCCESS);
    HANDLE v = open_volume('C');
    const ULONG size = volume_data(v).BytesPerFileRecordSegment;

    RecordReply below = file_record(v, records[5], size);
    ASSERT_EQ(below.status, STATUS_SUCCESS);
    EXPECT_EQ(below.number, int64_t(records[3]));
    EXPECT_EQ(below.length, size);

    EXPECT_EQ(file_record(v, records[6], size).number, int64_t(records[6]));  // in use itself
    // The sequence number in the high 16 bits is not part of the number.
    EXPECT_EQ(file_record(v, records[7] | (uint64_t(0x1234) << 48), size).number, int64_t(records[7]));
    // Past the end of the MFT: the last record in use.
    EXPECT_EQ(file_record(v, uint64_t(1) << 40, size).number, int64_t(records[9]));
    RecordReply zero = file_record(v, 0, size);
    ASSERT_EQ(zero.status, STATUS_SUCCESS);
    EXPECT_EQ(zero.number, 0);

    EXPECT_EQ(file_record(v, 0, size - 1).status, STATUS_BUFFER_TOO_SMALL);
    NTFS_FILE_RECORD_INPUT_BUFFER in{};
    std::vector<uint8_t> out(12 + size);
    EXPECT_EQ(fsctl(v, FSCTL_GET_NTFS_FILE_RECORD, &in, 4, out.data(), ULONG(out.size())), STATUS_INVALID_PARAMETER);
    NtClose(v);

    // The same bytes as libntfs-3g reads them, update sequence removed.
    std::vector<uint8_t> expected;
    ASSERT_TRUE(ntfsref::record(image, records[3], &expected));
    EXPECT_EQ(below.record, expected);
    ASSERT_TRUE(ntfsref::record(image, 0, &expected));
    EXPECT_EQ(zero.record, expected);
}

// A record whose bitmap bit is set but whose own in-use flag is clear is
// passed over, and so is one whose flag is set but whose bit is clear.
TEST_F(NtfsFileRecords, BothBitmapAndFlagMustSayInUse) {
    ImageLayout l = layout(image);
    const uint64_t at6 = l.mft + records[6] * l.record;
    std::vector<uint8_t> flags = peek(image, at6 + 0x16, 2);
    poke(image, at6 + 0x16, {uint8_t(flags[0] & ~1), flags[1]});
    HANDLE v = open_volume('C');
    const ULONG size = volume_data(v).BytesPerFileRecordSegment;
    EXPECT_EQ(file_record(v, records[6], size).number, int64_t(records[5]));
    NtClose(v);

    // rec8 deleted: its record keeps nothing in use; then its flag set back
    // by hand while its bitmap bit stays clear.
    ASSERT_EQ(remove(u"\\??\\C:\\rec8"), STATUS_SUCCESS);
    const uint64_t at8 = l.mft + records[8] * l.record;
    flags = peek(image, at8 + 0x16, 2);
    EXPECT_EQ(flags[0] & 1, 0);
    poke(image, at8 + 0x16, {uint8_t(flags[0] | 1), flags[1]});
    v = open_volume('C');
    EXPECT_EQ(file_record(v, records[8], size).number, int64_t(records[7]));
    NtClose(v);
}

TEST_F(NtfsFileRecords, TornRecordIsReportedAndOthersStillRead) {
    ImageLayout l = layout(image);
    const uint64_t stride_end = l.mft + records[5] * l.record + 510;  // last word of the first 512-byte stride
    std::vector<uint8_t> word = peek(image, stride_end, 2);
    poke(image, stride_end, {uint8_t(word[0] ^ 0x5A), word[1]});
    HANDLE v = open_volume('C');
    const ULONG size = volume_data(v).BytesPerFileRecordSegment;
    EXPECT_EQ(file_record(v, records[5], size).status, STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(file_record(v, records[4], size).number, int64_t(records[4]));
    EXPECT_EQ(file_record(v, records[6], size).number, int64_t(records[6]));
    NtClose(v);
}

// ------------------------------------------------------------ dirty flag
TEST(NtfsDirtyFlag, ReportedAndKeptAcrossFileWork) {
    Machine m;
    std::string image = m.ntfs("c.img", 24 << 20);
    m.drives("C: image c.img\n");
    auto dirty = [] {
        HANDLE v = open_volume('C');
        ULONG flags = 0xCCCCCCCC;
        ULONG_PTR returned = 0;
        EXPECT_EQ(fsctl(v, FSCTL_IS_VOLUME_DIRTY, nullptr, 0, &flags, sizeof flags, &returned), STATUS_SUCCESS);
        EXPECT_EQ(returned, sizeof flags);
        EXPECT_EQ(fsctl(v, FSCTL_IS_VOLUME_DIRTY, nullptr, 0, &flags, 2), STATUS_INVALID_PARAMETER);
        NtClose(v);
        return flags;
    };
    auto file_work = [] {
        Opened o = open(u"\\??\\C:\\Defragme.dat", GENERIC_WRITE, FILE_OVERWRITE_IF);
        ASSERT_EQ(o.status, STATUS_SUCCESS);
        ASSERT_EQ(write(o.handle, "x", 1, 0), STATUS_SUCCESS);
        NtClose(o.handle);
        ASSERT_EQ(remove(u"\\??\\C:\\DEFRAGME.DAT"), STATUS_SUCCESS);
    };

    EXPECT_EQ(dirty(), 0u);
    file_work();
    EXPECT_EQ(dirty(), 0u);
    uint16_t flags = 0xFFFF;
    ASSERT_TRUE(ntfsref::volume_flags(image, &flags));
    EXPECT_EQ(flags & 1, 0);
    Command fix = run("ntfsfix -n " + quote(image));
    EXPECT_EQ(fix.status, 0) << fix.output;

    set_volume_flags(image, 0x0001);
    EXPECT_EQ(dirty(), ULONG(VOLUME_IS_DIRTY));
    file_work();  // the trigger file can still be placed and removed
    EXPECT_EQ(dirty(), ULONG(VOLUME_IS_DIRTY));
    ASSERT_TRUE(ntfsref::volume_flags(image, &flags));
    EXPECT_EQ(flags & 1, 1);
    Command probe = run("ntfsinfo -f -m " + quote(image));
    EXPECT_NE(probe.output.find("Volume Flags: 0x0001"), std::string::npos) << probe.output;

    set_volume_flags(image, 0x0000);
    EXPECT_EQ(dirty(), 0u);
}

// ------------------------------------------------- volumes it must refuse
TEST(NtfsProbe, OtherFileSystemsAndBrokenVolumesAreNotNtfs) {
    Machine m;
    // FAT: not NTFS, not mounted as NTFS.
    std::string fat = m.root + "/fat.img";
    ASSERT_EQ(run("truncate -s 16M " + quote(fat) + " && mkfs.fat -F 16 " + quote(fat)).status, 0);
    // NTFS cut short: the boot sector claims more sectors than the image has.
    std::string cut = m.ntfs("cut.img", 32 << 20);
    ASSERT_EQ(::truncate(cut.c_str(), 16 << 20), 0);
    // NTFS whose record 0 no longer carries its signature.
    std::string nomft = m.ntfs("nomft.img", 16 << 20);
    poke(nomft, layout(nomft).mft, {'B', 'A', 'A', 'D'});
    // NTFS with an impossible sector size.
    std::string badbps = m.ntfs("badbps.img", 16 << 20);
    poke(badbps, 11, {0x2C, 0x01});  // 300
    m.drives("F: image fat.img\nT: image cut.img\nM: image nomft.img\nB: image badbps.img\n");

    for (char letter : {'F', 'T', 'M', 'B'}) {
        ntp::DriveConfig config;
        ASSERT_EQ(ntp::machine_drive(letter, &config), STATUS_SUCCESS);
        std::shared_ptr<ntp::Volume> volume;
        ASSERT_EQ(ntp::Volume::open(config, &volume), STATUS_SUCCESS) << letter;
        EXPECT_EQ(ntp::ntfs_driver_probe(volume), nullptr) << letter;
    }

    for (char letter : {'F', 'T', 'M', 'B'}) {
        HANDLE v = open_volume(letter);
        NTFS_VOLUME_DATA_BUFFER d;
        EXPECT_FALSE(NT_SUCCESS(fsctl(v, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, sizeof d))) << letter;
        ULONG flags;
        if (letter != 'F') {  // FAT answers this one too
            EXPECT_FALSE(NT_SUCCESS(fsctl(v, FSCTL_IS_VOLUME_DIRTY, nullptr, 0, &flags, sizeof flags))) << letter;
        }
        NtClose(v);
    }
    // The cut volume is not written to or extended by an attempt to use it.
    std::u16string name = u"\\??\\T:\\Defragme.dat";
    Opened o = open(name, GENERIC_WRITE, FILE_OVERWRITE_IF);
    EXPECT_EQ(o.status, STATUS_UNRECOGNIZED_VOLUME);
    EXPECT_EQ(std::filesystem::file_size(cut), uint64_t(16) << 20);
}

// ------------------------------------------------ volume information
TEST(NtfsVolumeInformation, NameFlagsSerialAndLabel) {
    Machine m;
    std::string image = m.ntfs("c.img", 16 << 20, 4096, "-L Data");
    m.drives("C: image c.img\n");
    HANDLE v = open_volume('C');
    IO_STATUS_BLOCK iosb{};

    alignas(8) uint8_t buf[64];
    std::memset(buf, 0xCC, sizeof buf);
    ASSERT_EQ(NtQueryVolumeInformationFile(v, &iosb, buf, sizeof buf, FileFsAttributeInformation), STATUS_SUCCESS);
    auto *a = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buf);
    EXPECT_EQ(a->FileSystemAttributes, 0x000300FFu);
    EXPECT_EQ(a->MaximumComponentNameLength, 255);
    ASSERT_EQ(a->FileSystemNameLength, 8u);
    EXPECT_EQ(std::u16string(a->FileSystemName, 4), u"NTFS");

    std::memset(buf, 0xCC, sizeof buf);
    ASSERT_EQ(NtQueryVolumeInformationFile(v, &iosb, buf, sizeof buf, FileFsVolumeInformation), STATUS_SUCCESS);
    auto *vi = reinterpret_cast<FILE_FS_VOLUME_INFORMATION *>(buf);
    std::vector<uint8_t> bs = peek(image, 0, 512);
    EXPECT_EQ(vi->VolumeSerialNumber, get32(bs, 0x48));
    ASSERT_EQ(vi->VolumeLabelLength, 8u);
    EXPECT_EQ(std::u16string(vi->VolumeLabel, 4), u"Data");
    EXPECT_EQ(vi->SupportsObjects, TRUE);
    NtClose(v);
}

// The driver's sector size is the volume's, whatever the host's.
TEST(NtfsVolumeInformation, SectorSizeFromTheBootSector) {
    Machine m;
    m.ntfs("c.img", 64 << 20, 4096, "-s 4096");
    m.drives("C: image c.img\n");
    std::shared_ptr<ntp::FsDriver> driver;
    std::shared_ptr<ntp::Volume> volume;
    ASSERT_EQ(ntp::drive_driver('C', &driver, &volume), STATUS_SUCCESS);
    EXPECT_EQ(driver->sector_size(), 4096u);
}

// A volume that starts at a byte offset inside its image file.
TEST(NtfsVolumeInformation, VolumeInsideAnImageAtAnOffset) {
    Machine m;
    std::string image = m.ntfs("disk.img", 32 << 20, 4096, "", 1 << 20);
    m.drives("C: image disk.img@1048576\n");
    {
        HANDLE v = open_volume('C');
        NTFS_VOLUME_DATA_BUFFER d = volume_data(v);
        EXPECT_EQ(d.TotalClusters.QuadPart, ((32 << 20) / 512 - 1) / 8);
        NtClose(v);
        Opened o = open(u"\\??\\C:\\inside.txt", GENERIC_WRITE, FILE_CREATE);
        ASSERT_EQ(o.status, STATUS_SUCCESS);
        ASSERT_EQ(write(o.handle, "offset volume", 13, 0), STATUS_SUCCESS);
        NtClose(o.handle);
    }
    std::string part = m.root + "/part.img";
    ASSERT_EQ(run("dd status=none bs=1M skip=1 if=" + quote(image) + " of=" + quote(part)).status, 0);
    Command cat = run("ntfscat " + quote(part) + " /inside.txt");
    EXPECT_EQ(cat.status, 0);
    EXPECT_EQ(cat.output, "offset volume");
    EXPECT_EQ(peek(image, 0, 512), std::vector<uint8_t>(512, 0)) << "nothing written before the volume";
}

}  // namespace
