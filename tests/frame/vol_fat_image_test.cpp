// File-system types, the FAT data area and the volume bitmap on images made
// by mkntfs, mkfs.fat and mke2fs and filled with mcopy and the image kit.
// Layouts and counts are checked against the boot sector and FAT read here
// from the image file, and against fsck.fat.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <vector>

#include "frame_support.h"
#include "imgkit/imgkit.h"
#include "vol_test_support.h"

using voltest::HasErrorReport;
using voltest::Screen;

namespace {

// Runs a shell command; returns its exit status and standard output.
int Sh(const std::string &command, std::string *out = nullptr) {
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return -1;
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, p)) > 0) text.append(chunk, n);
    int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

unsigned Le16(const std::string &b, size_t at) { return (BYTE)b[at] | (unsigned)(BYTE)b[at + 1] << 8; }
uint32_t Le32(const std::string &b, size_t at) { return Le16(b, at) | (uint32_t)Le16(b, at + 2) << 16; }

// The layout of a FAT volume, from its boot sector.
struct FatLayout {
    unsigned bytesPerSector, sectorsPerCluster, reserved, fats, rootEntries;
    uint32_t fatSectors, totalSectors, rootCluster;
    bool fat32;
    uint64_t fatOffset() const { return (uint64_t)reserved * bytesPerSector; }
    uint64_t rootOffset() const { return ((uint64_t)reserved + (uint64_t)fats * fatSectors) * bytesPerSector; }
    uint64_t dataOffset() const { return rootOffset() + (uint64_t)rootEntries * 32; }
    uint64_t clusterBytes() const { return (uint64_t)bytesPerSector * sectorsPerCluster; }
    int64_t clusters() const { return (int64_t)((totalSectors - dataOffset() / bytesPerSector) / sectorsPerCluster); }
};

FatLayout ReadLayout(const std::string &image) {
    std::string b(512, '\0');
    std::ifstream in(image, std::ios::binary);
    in.read(b.data(), 512);
    FatLayout l{};
    l.bytesPerSector = Le16(b, 11);
    l.sectorsPerCluster = (BYTE)b[13];
    l.reserved = Le16(b, 14);
    l.fats = (BYTE)b[16];
    l.rootEntries = Le16(b, 17);
    l.totalSectors = Le16(b, 19) ? Le16(b, 19) : Le32(b, 32);
    l.fatSectors = Le16(b, 22) ? Le16(b, 22) : Le32(b, 36);
    l.fat32 = Le16(b, 22) == 0;
    l.rootCluster = l.fat32 ? Le32(b, 44) : 0;
    return l;
}

// The first cluster of a file in a directory's bytes, by its 8.3 name.
uint32_t FirstCluster(const std::string &dir, const std::string &name83) {
    for (size_t at = 0; at + 32 <= dir.size(); at += 32) {
        if (dir.compare(at, 11, name83) == 0) return Le16(dir, at + 26) | (uint32_t)Le16(dir, at + 20) << 16;
    }
    return 0;
}

std::string Content(size_t bytes, int salt) {
    std::string s(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) s[i] = (char)((i * 29 + salt + i / 4093) & 0xFF);
    return s;
}

class VolFatImage : public ::testing::Test {
protected:
    void TearDown() override {
        if (VolData.hVolumeBitmap) {
            GlobalUnlock(VolData.hVolumeBitmap);
            GlobalFree(VolData.hVolumeBitmap);
        }
        if (VolData.hVolume && VolData.hVolume != INVALID_HANDLE_VALUE) CloseHandle(VolData.hVolume);
        memset(&VolData, 0, sizeof VolData);
    }
    void OpenVolume(WCHAR letter) {
        WCHAR name[8] = u"\\\\.\\C:";
        name[4] = letter;
        VolData.hVolume = CreateFile(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
        ASSERT_NE(VolData.hVolume, INVALID_HANDLE_VALUE);
    }

    frametest::Machine machine{"C: image c.img\nD: image d.img\nE: image e.img\nF: image f.img\n"
                               "G: image g.img\nH: image h.img\n"};
};

TEST_F(VolFatImage, FileSystemOfEveryKindOfVolume) {
    imgkit::make_ntfs(machine.Path("c.img"), 16 << 20, 4096);
    ASSERT_EQ(Sh("mkfs.fat -F 12 -C " + machine.Path("d.img") + " 4096"), 0);
    imgkit::make_fat(machine.Path("e.img"), 32 << 20, 16);
    imgkit::make_fat(machine.Path("f.img"), 64 << 20, 32, 512);
    machine.WriteFile("g.img", std::string(8 << 20, '\0'));
    ASSERT_EQ(Sh("mke2fs -q -F -t ext2 " + machine.Path("g.img")), 0);
    machine.WriteFile("h.img", std::string(1 << 20, '\0'));
    ASSERT_FALSE(ReadLayout(machine.Path("d.img")).fat32);

    struct Case {
        WCHAR letter;
        ULONG type;
        const char *what;
    } cases[] = {{u'C', FS_NTFS, "mkntfs"},          {u'D', FS_FAT, "FAT12"},  {u'E', FS_FAT, "FAT16"},
                 {u'F', FS_FAT32, "FAT32"},          {u'G', FS_OTHER, "ext2"}, {u'H', FS_OTHER, "no file system"},
                 {u'e', FS_FAT, "lower-case letter"}};
    for (const Case &c : cases) {
        ULONG type = 77;
        ASSERT_TRUE(GetFileSystem(c.letter, &type)) << c.what;
        EXPECT_EQ(type, c.type) << c.what;
    }

    ULONG type = 77;
    BOOL ok = TRUE;
    std::string screen = Screen([&] { ok = GetFileSystem(u'Q', &type); });  // no such drive
    EXPECT_FALSE(ok);
    EXPECT_EQ(type, 77u);
    EXPECT_TRUE(HasErrorReport(screen));
}

TEST_F(VolFatImage, ClusterZeroIsTheStartOfTheDataArea) {
    struct Case {
        const char *what;
        const char *image;
        WCHAR letter;
        std::string mkfs;
    } cases[] = {
        {"FAT16, three FATs", "e.img", u'E', "mkfs.fat -F 16 -S 512 -s 4 -R 8 -f 3 -r 512 -i 1234ABCD -C %s 32768"},
        {"FAT32", "f.img", u'F', "mkfs.fat -F 32 -S 512 -s 1 -R 32 -f 2 -i 1234ABCD -C %s 65536"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string image = machine.Path(c.image);
        std::string command = c.mkfs;
        command.replace(command.find("%s"), 2, image);
        ASSERT_EQ(Sh("rm -f " + image + " && " + command), 0);
        FatLayout l = ReadLayout(image);
        ASSERT_EQ(l.bytesPerSector, 512u);
        ASSERT_EQ(l.fat32 ? 32u : 8u, l.reserved);  // what was asked of mkfs.fat
        ASSERT_EQ(l.fat32 ? 2u : 3u, l.fats);

        std::string data = Content(3 * l.clusterBytes() + 100, 7);
        machine.WriteFile("data.bin", data);
        ASSERT_EQ(Sh("MTOOLS_SKIP_CHECK=1 mcopy -i " + image + " " + machine.Path("data.bin") + " ::/DATA.BIN"), 0);

        std::string all = machine.ReadFile(c.image);
        std::string root = l.fat32
                               ? all.substr(l.dataOffset() + (l.rootCluster - 2) * l.clusterBytes(), l.clusterBytes())
                               : all.substr(l.rootOffset(), l.rootEntries * 32);
        uint32_t first = FirstCluster(root, "DATA    BIN");
        ASSERT_GE(first, 2u);

        memset(&VolData, 0, sizeof VolData);
        ULONG type = 0;
        ASSERT_TRUE(GetFileSystem(c.letter, &type));
        ASSERT_EQ(type, l.fat32 ? (ULONG)FS_FAT32 : (ULONG)FS_FAT);
        VolData.FileSystem = type;
        VolData.llDataAreaOffset = (LONGLONG)l.dataOffset();
        OpenVolume(c.letter);
        if (HasFatalFailure()) return;

        std::vector<BYTE> buffer(4 * l.clusterBytes() + 512 + 8);
        BYTE *p = buffer.data() + 8;  // not sector-aligned
        // LCN 0: the first bytes of the data area, not of the volume.
        ASSERT_TRUE(DasdReadClusters(VolData.hVolume, 0, 1, p, 512, l.clusterBytes()));
        EXPECT_EQ(std::string((char *)p, l.clusterBytes()), all.substr(l.dataOffset(), l.clusterBytes()));
        if (l.fat32) {
            EXPECT_NE(std::string((char *)p, l.clusterBytes()).find("DATA    BIN"), std::string::npos);
        }
        // The file written by mcopy, from its first cluster's LCN.
        ASSERT_TRUE(DasdReadClusters(VolData.hVolume, first - 2, 3, p, 512, l.clusterBytes()));
        EXPECT_EQ(std::string((char *)p, 3 * l.clusterBytes()), data.substr(0, 3 * l.clusterBytes()));

        // Sectors count from the start of the volume: sector 0 is the boot sector.
        HGLOBAL boot = DasdLoadSectors(VolData.hVolume, 0, 1, 512);
        ASSERT_NE(boot, nullptr);
        BYTE *b = (BYTE *)GlobalLock(boot);
        EXPECT_EQ(std::string((char *)b, 512), all.substr(0, 512));
        EXPECT_EQ(b[510], 0x55);
        EXPECT_EQ(b[511], 0xAA);
        GlobalUnlock(boot);
        GlobalFree(boot);
        TearDown();
    }
}

TEST_F(VolFatImage, BitmapAgreesWithFsckAndTheFat) {
    struct Case {
        const char *image;
        WCHAR letter;
        uint64_t bytes;
        int bits;
        uint32_t cluster;
    } cases[] = {{"e.img", u'E', 32 << 20, 16, 2048}, {"f.img", u'F', (64 << 20) + 7 * 1024, 32, 512}};
    uint64_t seed = 5;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.image);
        std::string image = machine.Path(c.image);
        imgkit::make_fat(image, c.bytes, c.bits, c.cluster);
        imgkit::fill(image, imgkit::Profile::basic(), seed++);

        // fsck.fat's count: "<used>/<total> clusters".
        std::string fsck;
        ASSERT_EQ(Sh("fsck.fat -n -v " + image, &fsck), 0) << fsck;
        std::smatch m;
        std::string::const_iterator from = fsck.begin();
        std::string used, total;
        std::regex counts("([0-9]+)/([0-9]+) clusters");
        while (std::regex_search(from, fsck.cend(), m, counts)) {
            used = m[1];
            total = m[2];
            from = m.suffix().first;
        }
        ASSERT_FALSE(total.empty()) << fsck;
        FatLayout l = ReadLayout(image);
        const LONGLONG clusters = l.clusters();
        ASSERT_EQ(clusters, std::stoll(total));
        const LONGLONG freeByFsck = clusters - std::stoll(used);

        memset(&VolData, 0, sizeof VolData);
        ULONG type = 0;
        ASSERT_TRUE(GetFileSystem(c.letter, &type));
        VolData.FileSystem = type;
        OpenVolume(c.letter);
        if (HasFatalFailure()) return;
        // The size the file system reports is the count the bitmap is built on.
        FILE_FS_SIZE_INFORMATION size;
        IO_STATUS_BLOCK iosb;
        ASSERT_TRUE(NT_SUCCESS(
            NtQueryVolumeInformationFile(VolData.hVolume, &iosb, &size, sizeof size, FileFsSizeInformation)));
        ASSERT_EQ(size.TotalAllocationUnits.QuadPart, clusters);
        VolData.TotalClusters = clusters;
        VolData.BitmapSizeBits = BitmapSizeBitsFor(clusters);
        VolData.BytesPerCluster = (LONGLONG)l.clusterBytes();
        // The FAT program's own block size: the bit bytes plus 24.
        void *p = nullptr;
        DWORD blockBytes = (DWORD)(VolData.BitmapSizeBits / 8 + 24);
        ASSERT_TRUE(AllocateMemory(blockBytes, &VolData.hVolumeBitmap, &p));
        memset(p, 0x5A, blockBytes);
        ASSERT_TRUE(GetVolumeBitmap());

        const ULONG *bits = (const ULONG *)((BYTE *)p + 16);
        auto usedBit = [&](LONGLONG n) { return ((bits[n / 32] >> (n % 32)) & 1) != 0; };
        std::string fat = machine.ReadFile(c.image).substr(l.fatOffset(), (size_t)l.fatSectors * l.bytesPerSector);
        LONGLONG freeBits = 0, differing = 0;
        for (LONGLONG n = 0; n < clusters; ++n) {
            uint64_t cluster = (uint64_t)n + 2;
            uint32_t entry = l.fat32 ? Le32(fat, cluster * 4) & 0x0FFFFFFF : Le16(fat, cluster * 2);
            if (!usedBit(n)) ++freeBits;
            if (usedBit(n) != (entry != 0)) ++differing;
        }
        EXPECT_EQ(freeBits, freeByFsck);
        EXPECT_EQ(differing, 0);
        EXPECT_GT(freeBits, 0);
        for (LONGLONG n = clusters; n < VolData.BitmapSizeBits; ++n) ASSERT_TRUE(usedBit(n)) << "spare bit " << n;
        TearDown();
    }
}

}  // namespace
