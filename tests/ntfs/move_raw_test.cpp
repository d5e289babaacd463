// The move engine's disk I/O on a plain image file (no file system): the
// volume bitmap file read and written in whole clusters without running past
// the bitmap block or touching the bits past the volume, the cluster copy in
// 64 KB requests, and the record writer on a hand-built MFT (whole units
// read and written back, neighbours unchanged, a fresh update sequence
// number, and a record written in two requests that stops half way is
// caught by the update-sequence check). Every byte is checked in the image
// file itself, behind the platform's back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "bootntfs.h"
#include "internal.h"
#include "move_support.h"

using namespace ntfstest;

namespace {

constexpr size_t kImageBytes = 4 << 20;

BYTE PatternByte(size_t offset) { return (BYTE)((offset * 167 + offset / 1021) ^ 0xA5); }

class MoveRaw : public testing::TestWithParam<LONGLONG> {
protected:
    void SetUp() override {
        ASSERT_TRUE(machine_.ok());
        std::string bytes(kImageBytes, '\0');
        for (size_t i = 0; i < kImageBytes; i++) bytes[i] = (char)PatternByte(i);
        WriteImage(0, bytes);
        ResetEngine(GetParam(), 5003, 16);
        memset(glFileStats, 0, sizeof(glFileStats));
        VolData.FileSystem = FS_NTFS;
        VolData.hVolume = OpenVolume(GENERIC_READ | GENERIC_WRITE);
        ASSERT_NE(VolData.hVolume, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (VolData.hVolume != INVALID_HANDLE_VALUE) CloseHandle(VolData.hVolume);
        VolData.hVolume = INVALID_HANDLE_VALUE;
        movetest::ReleaseMoveBuffers();
        ResetEngine();
        bScreenLog = FALSE;
        lLogLevel = 0;
    }
    static HANDLE OpenVolume(DWORD access) {
        return CreateFile(u"\\\\.\\C:", access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_NO_BUFFERING, nullptr);
    }
    void WriteImage(size_t offset, const std::string &bytes) {
        int fd = open(machine_.image().c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), (off_t)offset), (ssize_t)bytes.size());
        close(fd);
    }
    std::string ReadImage(size_t offset, size_t length) {
        std::string s(length, '\0');
        int fd = open(machine_.image().c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(pread(fd, s.data(), length, (off_t)offset), (ssize_t)length);
        close(fd);
        return s;
    }
    static std::string Pattern(size_t offset, size_t length) {
        std::string s(length, '\0');
        for (size_t i = 0; i < length; i++) s[i] = (char)PatternByte(offset + i);
        return s;
    }
    std::string Cluster(LONGLONG lcn, LONGLONG count = 1) {
        return ReadImage((size_t)(lcn * GetParam()), (size_t)(count * GetParam()));
    }
    // Gives the volume bitmap file these extents.
    void BitmapExtents(const std::vector<std::pair<LONGLONG, LONGLONG>> &extents) {
        ASSERT_TRUE(AllocateMemory((DWORD)((extents.size() + 1) * sizeof(EXTENT_LIST)), &hVolumeBitMapExtent,
                                   (void **)&pVolumeBitMapExtent));
        for (size_t i = 0; i < extents.size(); i++) {
            pVolumeBitMapExtent[i].StartingLcn = extents[i].first;
            pVolumeBitMapExtent[i].ClusterCount = extents[i].second;
        }
        llVolumeBitMapExtents = (LONGLONG)extents.size();
    }
    BYTE *Bits() {
        BYTE *b = (BYTE *)GlobalLock(VolData.hVolumeBitmap);
        GlobalUnlock(VolData.hVolumeBitmap);
        return b + 16;
    }
    // The bitmap file's bytes [0, n) read back through its extents.
    std::string BitmapFile(size_t n) {
        std::string s;
        for (LONGLONG i = 0; i < llVolumeBitMapExtents && s.size() < n; i++)
            s += Cluster(pVolumeBitMapExtent[i].StartingLcn, pVolumeBitMapExtent[i].ClusterCount);
        return s.substr(0, n);
    }

    movetest::ImageMachine machine_;
};

// ------------------------------------------------------ volume bitmap file

TEST_P(MoveRaw, BitmapWriteCoversTheVolumeAndKeepsWhatLiesPastIt) {
    const LONGLONG bpc = GetParam();
    // 5,003 clusters: 626 bytes of bits, the last one holding 3 of them. The
    // file is allocated more clusters than it needs, in two extents.
    for (LONGLONG blockBytes : {(LONGLONG)0, (LONGLONG)(16 + BitmapSizeBitsFor(5003) / 8)}) {
        SCOPED_TRACE(blockBytes ? "block of exactly the bits" : "block of whole clusters");
        VolData.BitmapSizeBits = 0;
        ASSERT_TRUE(movetest::AllocateMoveBuffers(blockBytes));
        BitmapExtents({{100, 1}, {300, 3}});
        std::mt19937 rng(7);
        BYTE *bits = Bits();
        for (LONGLONG i = 0; i < 626; i++) bits[i] = (BYTE)rng();
        bits[625] |= 0xF8;  // past the volume: in use in memory
        std::string expected = std::string((const char *)bits, 625);
        uint64_t writes = ntp::raw_write_count();
        ASSERT_TRUE(WriteVolumeBitmap());
        std::string file = BitmapFile(bpc * 4);
        EXPECT_EQ(file.substr(0, 625), expected);
        // The last byte: 3 bits from memory, 5 as the disk had them.
        size_t lastOffset = bpc == 512 ? 300 * 512 + 113 : 100 * 4096 + 625;
        BYTE disk = PatternByte(lastOffset);
        EXPECT_EQ((BYTE)file[625], (BYTE)((disk & 0xF8) | (bits[625] & 0x07)));
        if (bpc == 512) {
            EXPECT_EQ(ntp::raw_write_count(), writes + 2) << "one write per extent";
            EXPECT_EQ(Cluster(300).substr(114), Pattern(300 * 512 + 114, 512 - 114));
            EXPECT_EQ(Cluster(301, 2), Pattern(301 * 512, 1024)) << "clusters without volume bits are not written";
        } else {
            EXPECT_EQ(ntp::raw_write_count(), writes + 1);
            EXPECT_EQ(Cluster(100).substr(626), Pattern(100 * 4096 + 626, 4096 - 626));
            EXPECT_EQ(Cluster(300, 3), Pattern(300 * 4096, 3 * 4096)) << "the second extent holds no volume bits";
        }
        movetest::ReleaseMoveBuffers();
        WriteImage(0, Pattern(0, 2 << 20));
    }
}

TEST_P(MoveRaw, BitmapReadFillsTheBlockAndMarksThePastTheVolumeInUse) {
    for (LONGLONG blockBytes : {(LONGLONG)0, (LONGLONG)(16 + BitmapSizeBitsFor(5003) / 8)}) {
        SCOPED_TRACE(blockBytes ? "block of exactly the bits" : "block of whole clusters");
        VolData.BitmapSizeBits = 0;
        ASSERT_TRUE(movetest::AllocateMoveBuffers(blockBytes));
        BitmapExtents({{100, 1}, {300, 3}});
        BYTE *bits = Bits();
        memset(bits - 16, 0x33, 16);
        ASSERT_TRUE(DirectReadVolumeBitmap());
        std::string file = BitmapFile(632);
        EXPECT_EQ(std::string((const char *)bits, 625), file.substr(0, 625));
        EXPECT_EQ(bits[625] & 0x07, (BYTE)file[625] & 0x07);
        EXPECT_EQ(bits[625] & 0xF8, 0xF8) << "clusters 5,003 on are in use";
        for (LONGLONG i = 626; i < BitmapSizeBitsFor(5003) / 8; i++) EXPECT_EQ(bits[i], 0xFF) << i;
        LONGLONG header[2];
        memcpy(header, bits - 16, 16);
        EXPECT_EQ(header[0], 0);
        EXPECT_EQ(header[1], BitmapSizeBitsFor(5003));
        movetest::ReleaseMoveBuffers();
    }
}

TEST_P(MoveRaw, BitmapOfManyClustersGoesIn64KbRequests) {
    const LONGLONG bpc = GetParam();
    // 150,000 bytes of bits: 293 clusters of 512 or 37 of 4,096.
    VolData.TotalClusters = 1200000;
    VolData.BitmapSizeBits = 0;
    ASSERT_TRUE(movetest::AllocateMoveBuffers());
    LONGLONG need = (150000 + bpc - 1) / bpc;
    if (bpc == 512)
        BitmapExtents({{400, 200}, {700, 150}});
    else
        BitmapExtents({{400, 20}, {700, 30}});
    BYTE *bits = Bits();
    for (LONGLONG i = 0; i < 150000; i++) bits[i] = (BYTE)(i * 13 + i / 7);
    uint64_t writes = ntp::raw_write_count();
    ASSERT_TRUE(WriteVolumeBitmap());
    // 512: 128 + 72 clusters, then 93; 4,096: 16 + 4, then 16 + 1.
    EXPECT_EQ(ntp::raw_write_count(), writes + (bpc == 512 ? 3 : 4));
    EXPECT_EQ(BitmapFile(150000), std::string((const char *)bits, 150000));
    LONGLONG second = need - pVolumeBitMapExtent[0].ClusterCount;
    EXPECT_EQ(Cluster(700 + second, 2), Pattern((size_t)((700 + second) * bpc), (size_t)(2 * bpc)));
    memset(bits, 0, 150000);
    ASSERT_TRUE(DirectReadVolumeBitmap());
    EXPECT_EQ(std::string((const char *)bits, 150000), BitmapFile(150000));
}

TEST_P(MoveRaw, BitmapFileTooShortForTheVolumeIsRefusedBeforeAnyWrite) {
    VolData.TotalClusters = 100000;  // 12,500 bytes of bits
    VolData.BitmapSizeBits = 0;
    ASSERT_TRUE(movetest::AllocateMoveBuffers());
    BitmapExtents({{100, 12500 / GetParam()}});
    uint64_t writes = ntp::raw_write_count();
    bScreenLog = TRUE;
    BOOL wrote = TRUE, read = TRUE;
    std::string s = Screen([&] {
        wrote = WriteVolumeBitmap();
        read = DirectReadVolumeBitmap();
    });
    EXPECT_FALSE(wrote);
    EXPECT_FALSE(read);
    EXPECT_NE(s.find("Error #0 at line"), std::string::npos);
    EXPECT_EQ(ntp::raw_write_count(), writes);
}

TEST_P(MoveRaw, FailedBitmapReadLeavesEveryClusterInUse) {
    VolData.TotalClusters = 3000000;
    VolData.BitmapSizeBits = 0;
    ASSERT_TRUE(movetest::AllocateMoveBuffers());
    LONGLONG pastImage = (LONGLONG)(kImageBytes / GetParam()) + 10;
    BitmapExtents({{100, 2}, {pastImage, 3000000 / 8 / GetParam() + 1}});
    Screen([&] { EXPECT_FALSE(DirectReadVolumeBitmap()); });
    BYTE *bits = Bits();
    for (LONGLONG i = 0; i < VolData.BitmapSizeBits / 8; i++) ASSERT_EQ(bits[i], 0xFF) << i;
}

// ------------------------------------------------------------ cluster copy

TEST_P(MoveRaw, ClustersAreCopiedBackToBackIn64KbRequests) {
    const LONGLONG bpc = GetParam();
    VolData.TotalClusters = (LONGLONG)(kImageBytes / bpc);
    ASSERT_TRUE(movetest::AllocateMoveBuffers());
    LONGLONG chunk = 65536 / bpc;
    struct Case {
        const char *name;
        LONGLONG clusters;
        uint64_t writes;
    } cases[] = {{"exactly 64 KB", chunk, 1},
                 {"64 KB and one cluster", chunk + 1, 2},
                 {"one cluster", 1, 1},
                 {"three chunks", 3 * chunk, 3}};
    for (const Case &c : cases) {
        EXTENT_LIST e[3];
        memset(e, 0, sizeof e);
        e[0].StartingLcn = e[0].SourceLcn = 10;
        e[0].ClusterCount = c.clusters;
        e[1].StartingLcn = e[1].SourceLcn = -1;  // a hole: nothing to copy
        e[1].ClusterCount = 1000;
        LONGLONG destination = VolData.TotalClusters / 2;
        uint64_t writes = ntp::raw_write_count();
        ASSERT_TRUE(MoveFileClusters(destination, 0, 1, e)) << c.name;
        EXPECT_EQ(ntp::raw_write_count(), writes + c.writes) << c.name;
        EXPECT_EQ(e[0].StartingLcn, destination) << c.name;
        EXPECT_EQ(e[0].SourceLcn, 10) << c.name;
        EXPECT_EQ(e[1].StartingLcn, -1) << c.name;
        EXPECT_EQ(Cluster(destination, c.clusters), Pattern((size_t)(10 * bpc), (size_t)(c.clusters * bpc))) << c.name;
        EXPECT_EQ(Cluster(destination + c.clusters), Pattern((size_t)((destination + c.clusters) * bpc), (size_t)bpc))
            << c.name << ": nothing past the copy";
        WriteImage(0, Pattern(0, kImageBytes));
    }
    // Runs land back to back in entry order, from where each was read.
    EXTENT_LIST e[3];
    memset(e, 0, sizeof e);
    LONGLONG sources[3] = {40, 20, 60}, counts[3] = {3, 5, 2};
    for (int i = 0; i < 3; i++) {
        e[i].StartingLcn = e[i].SourceLcn = sources[i];
        e[i].ClusterCount = counts[i];
    }
    ASSERT_TRUE(MoveFileClusters(200, 0, 2, e));
    EXPECT_EQ(Cluster(200, 10), Pattern(40 * bpc, 3 * bpc) + Pattern(20 * bpc, 5 * bpc) + Pattern(60 * bpc, 2 * bpc));
    EXPECT_EQ(e[0].StartingLcn, 200);
    EXPECT_EQ(e[1].StartingLcn, 203);
    EXPECT_EQ(e[2].StartingLcn, 208);
}

// ----------------------------------------------------------- record writer

// A hand-built MFT of 16 records of 1,024 bytes in the image, spread over
// the given extents (LCN, clusters).
class MoveMft : public MoveRaw {
protected:
    void Build(const std::vector<std::pair<LONGLONG, LONGLONG>> &extents) {
        const LONGLONG bpc = GetParam();
        VolData.TotalClusters = (LONGLONG)(kImageBytes / bpc);
        VolData.TotalFileRecords = 16;
        ASSERT_TRUE(movetest::AllocateMoveBuffers());
        ASSERT_TRUE(AllocateMemory((DWORD)((extents.size() + 1) * sizeof(EXTENT_LIST)), &VolData.hMftExtentList,
                                   (void **)&VolData.pMftExtentList));
        for (size_t i = 0; i < extents.size(); i++) {
            VolData.pMftExtentList[i].StartingLcn = extents[i].first;
            VolData.pMftExtentList[i].ClusterCount = extents[i].second;
        }
        VolData.MftExtentCount = (LONGLONG)extents.size();
        BYTE *bitmap = nullptr;
        ASSERT_TRUE(AllocateMemory(8, &VolData.hMftBitmap, (void **)&bitmap));
        bitmap[0] = bitmap[1] = 0xFF;
        llMftBitmapBits = 64;
        BYTE *cache = nullptr;
        ASSERT_TRUE(AllocateMemory(65536 + 512, &VolData.hMftBuffer, (void **)&cache));
        VolData.pMftBuffer = (BYTE *)(((ULONG_PTR)cache + 511) & ~(ULONG_PTR)511);
        ASSERT_TRUE(AllocateMemory(2048, &VolData.hFileRecord, (void **)&VolData.pFileRecord));
        for (LONGLONG n = 0; n < 16; n++) {
            RecordBuilder b;
            b.StandardInformation();
            b.FileName(5, 1, u"record " + std::u16string(1, (char16_t)(u'A' + n)));
            std::vector<uint8_t> r = b.FinishPlain();
            Put16(r, 0x10, (uint16_t)(n + 1));  // the record's sequence number
            // Distinct words under the strides' ends, so that a lost fix-up shows.
            Put16(r, 510, (uint16_t)(0xB100 + n));
            Put16(r, 1022, (uint16_t)(0xB200 + n));
            RecordBuilder::Protect(r, 0x0007);
            WriteRecord(n, std::string(r.begin(), r.end()));
        }
        FileRecordLow = FileRecordHi = 0;
    }
    // Image offset of a byte of the MFT.
    size_t MftByteOffset(LONGLONG mftByte) {
        LONGLONG bpc = GetParam();
        for (LONGLONG i = 0; i < VolData.MftExtentCount; i++) {
            LONGLONG bytes = VolData.pMftExtentList[i].ClusterCount * bpc;
            if (mftByte < bytes) return (size_t)(VolData.pMftExtentList[i].StartingLcn * bpc + mftByte);
            mftByte -= bytes;
        }
        ADD_FAILURE() << "byte " << mftByte << " is past the MFT";
        return 0;
    }
    // Record n as the image holds it (in pieces of a cluster when smaller).
    std::string OnDisk(LONGLONG n) {
        LONGLONG piece = GetParam() < 1024 ? GetParam() : 1024;
        std::string s;
        for (LONGLONG at = 0; at < 1024; at += piece) s += ReadImage(MftByteOffset(n * 1024 + at), (size_t)piece);
        return s;
    }
    void WriteRecord(LONGLONG n, const std::string &bytes) {
        LONGLONG piece = GetParam() < 1024 ? GetParam() : 1024;
        for (LONGLONG at = 0; at < 1024; at += piece)
            WriteImage(MftByteOffset(n * 1024 + at), bytes.substr((size_t)at, (size_t)piece));
    }
    static uint16_t Usn(const std::string &r) { return (uint16_t)((BYTE)r[0x30] | ((BYTE)r[0x31] << 8)); }
    // Reads record n raw into pFileRecord; false when the read fails.
    bool Read(LONGLONG n) {
        BYTE *bitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
        GlobalUnlock(VolData.hMftBitmap);
        LONGLONG got = n;
        VolData.FileRecordNumber = n;
        return GetFrs(&got, VolData.pMftExtentList, bitmap, VolData.pMftBuffer,
                      (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord) &&
               got == n;
    }
    // A change to the record in pFileRecord: its name's last letter.
    void Change(char16_t letter) {
        PATTRIBUTE_RECORD_HEADER a = nullptr;
        ULONG position = 0;
        ASSERT_TRUE(FindAttribute(0x30, (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, &a, 1024, &position));
        BYTE *name = (BYTE *)a + a->Form.Resident.ValueOffset + 0x42 + 7 * 2;
        memcpy(name, &letter, 2);
    }
    std::u16string NameOf(LONGLONG n) {
        if (!Read(n)) return u"(unreadable)";
        WCHAR name[64];
        LONGLONG parent = 0;
        if (!GetNameFromFileRecord((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, name, &parent)) return u"?";
        return std::u16string((const char16_t *)name);
    }
};

TEST_P(MoveMft, RecordGoesBackInItsUnitWithANewSequenceNumberAndNeighboursUntouched) {
    const LONGLONG bpc = GetParam();
    Build({{50, 8192 / bpc}, {90, 8192 / bpc}});
    std::vector<std::string> before;
    for (LONGLONG n = 0; n < 16; n++) before.push_back(OnDisk(n));
    ASSERT_TRUE(Read(9));
    Change(u'Z');
    uint64_t writes = ntp::raw_write_count();
    FileRecordLow = 3;  // a record cache that does not hold record 9: the unit is read from the disk
    FileRecordHi = 7;
    BOOL written = FALSE;
    ASSERT_TRUE(WriteUpdatedFRS((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, 9, &written));
    EXPECT_EQ(FileRecordLow, 3) << "a cache without the unit stays as it is";
    EXPECT_EQ(FileRecordHi, 7);
    EXPECT_EQ(ntp::raw_write_count(), writes + 1) << "the unit in one request";
    EXPECT_TRUE(written);
    EXPECT_EQ(Usn(OnDisk(9)), 8);
    EXPECT_EQ(Usn(std::string((const char *)VolData.pFileRecord, 1024)), 8) << "the caller's record follows";
    for (LONGLONG n = 0; n < 16; n++)
        if (n != 9) {
            EXPECT_EQ(OnDisk(n), before[n]) << "record " << n;
        }
    EXPECT_EQ(NameOf(9), u"record Z");
    EXPECT_EQ(NameOf(8), u"record I");
    // Written again from the cache that holds it: the number moves on
    // again, in one request, and the cache holds what the disk holds.
    ASSERT_TRUE(Read(9));
    writes = ntp::raw_write_count();
    ASSERT_TRUE(WriteUpdatedFRS((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, 9, nullptr));
    EXPECT_EQ(ntp::raw_write_count(), writes + 1);
    EXPECT_EQ(Usn(OnDisk(9)), 9);
    ASSERT_TRUE(FileRecordLow <= 9 && 9 < FileRecordHi);
    EXPECT_EQ(std::string((const char *)VolData.pMftBuffer + (9 - FileRecordLow) * 1024, 1024), OnDisk(9));
}

TEST_P(MoveMft, SequenceNumberSkipsZeroAndFFFF) {
    Build({{50, 16384 / GetParam()}});
    struct Case {
        uint16_t from, to;
    } cases[] = {{0xFFFD, 0xFFFE}, {0xFFFE, 0x0001}, {0x0001, 0x0002}};
    for (const Case &c : cases) {
        ASSERT_TRUE(Read(4));
        std::string raw((const char *)VolData.pFileRecord, 1024);
        std::vector<uint8_t> r(raw.begin(), raw.end());
        RecordBuilder::Protect(r, c.from);
        WriteRecord(4, std::string(r.begin(), r.end()));
        FileRecordLow = FileRecordHi = 0;
        ASSERT_TRUE(Read(4));
        ASSERT_TRUE(WriteUpdatedFRS((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, 4, nullptr));
        EXPECT_EQ(Usn(OnDisk(4)), c.to) << std::hex << c.from;
        EXPECT_TRUE(Read(4));
    }
}

// Records of two clusters: one may lie across two MFT extents.
class MoveMftSmallClusters : public MoveMft {};

TEST_P(MoveMftSmallClusters, RecordAcrossTwoExtentsIsWrittenClusterByCluster) {
    VolData.ClustersPerFRS = 2;
    // Record 5 is VCN 10 and 11: the first extent ends after VCN 10.
    Build({{50, 11}, {80, 21}});
    ASSERT_TRUE(Read(5));
    Change(u'Q');
    uint64_t writes = ntp::raw_write_count();
    FileRecordLow = FileRecordHi = 0;  // the unit read from the disk, not the record cache
    lLogLevel = 8;
    bScreenLog = TRUE;
    BOOL ok = FALSE;
    std::string s = Screen([&] { ok = WriteUpdatedFRS((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, 5, nullptr); });
    lLogLevel = 0;
    bScreenLog = FALSE;
    ASSERT_TRUE(ok);
    EXPECT_EQ(ntp::raw_write_count(), writes + 2);
    EXPECT_NE(s.find("WriteUpdatedFRS:"), std::string::npos);
    EXPECT_NE(s.find("->(Rd)FRS crossed extent boundary"), std::string::npos) << s;
    EXPECT_NE(s.find("->(Wr)FRS crossed extent boundary"), std::string::npos) << s;
    EXPECT_EQ(NameOf(5), u"record Q");
    // Record 4 (VCN 8 and 9) lies inside the first extent.
    ASSERT_TRUE(Read(4));
    writes = ntp::raw_write_count();
    FileRecordLow = FileRecordHi = 0;
    lLogLevel = 8;
    bScreenLog = TRUE;
    s = Screen([&] { ok = WriteUpdatedFRS((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, 4, nullptr); });
    lLogLevel = 0;
    bScreenLog = FALSE;
    ASSERT_TRUE(ok);
    EXPECT_EQ(ntp::raw_write_count(), writes + 1);
    EXPECT_NE(s.find("->(Rd)FRS contained in extent"), std::string::npos) << s;
    EXPECT_NE(s.find("->(Wr)FRS contained in extent"), std::string::npos) << s;
}

TEST_P(MoveMftSmallClusters, RecordWriteStoppedBetweenItsTwoHalvesFailsTheUpdateSequenceCheck) {
    VolData.ClustersPerFRS = 2;
    Build({{50, 11}, {80, 21}});
    std::string old = OnDisk(5);
    ASSERT_TRUE(Read(5));
    Change(u'T');
    std::string fresh((const char *)VolData.pFileRecord, 1024);

    // Why the number must move on: the new first half protected with the
    // number the record was read with, beside the old second half, passes.
    {
        std::vector<uint8_t> mixed(fresh.begin(), fresh.end());
        RecordBuilder::Protect(mixed, Usn(old));
        memcpy(mixed.data() + 512, old.data() + 512, 512);
        VolData.FileRecordNumber = 5;
        EXPECT_TRUE(AdjustUSA(Frs(mixed))) << "a torn record written with its old number goes unnoticed";
    }

    // A power cut after the first of the record's two writes.
    fflush(stdout);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("NT_FAIL_WRITE_AT", std::to_string(ntp::raw_write_count() + 2).c_str(), 1);
        WriteUpdatedFRS((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, 5, nullptr);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 99) << "stopped at the second write";
    std::string torn = OnDisk(5);
    EXPECT_EQ(torn.substr(512), old.substr(512)) << "the second half was not written";
    EXPECT_NE(torn.substr(0, 512), old.substr(0, 512)) << "the first half was";

    FileRecordLow = FileRecordHi = 0;
    BOOL ok = TRUE;
    bScreenLog = TRUE;
    std::string s = Screen([&] { ok = Read(5); });
    bScreenLog = FALSE;
    EXPECT_FALSE(ok);
    EXPECT_NE(s.find("AdjustUSA->Bad File Record: 5 (Usn=8)"), std::string::npos) << s;
}

TEST_P(MoveMft, NothingIsWrittenWhenTheUnitDoesNotHoldTheRecordRewritten) {
    Build({{50, 16384 / GetParam()}});
    std::vector<std::string> before;
    for (LONGLONG n = 0; n < 16; n++) before.push_back(OnDisk(n));
    struct Case {
        const char *name;
        std::function<void()> spoil;
        const char *screen;
    };
    std::vector<Case> cases = {
        {"the slot was reused (another sequence number)",
         [] { ((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord)->SequenceNumber++; }, "Error #0"},
        {"the record to write is not a file record", [] { memcpy(VolData.pFileRecord, "BAAD", 4); }, "Error #0"},
    };
    if (GetParam() >= 2048)
        cases.push_back({"a neighbour in the unit is torn",
                         [this] {
                             std::string r = OnDisk(8);
                             r[1022] ^= 0x55;
                             WriteRecord(8, r);
                         },
                         "AdjustUSA->Bad File Record: 8 (Usn=7)"});
    for (const Case &c : cases) {
        ASSERT_TRUE(Read(9)) << c.name;
        Change(u'X');
        c.spoil();
        FileRecordLow = FileRecordHi = 0;  // the unit as the disk holds it (spoilt behind the cache)
        uint64_t writes = ntp::raw_write_count();
        BOOL ok = TRUE;
        bScreenLog = TRUE;
        BOOL written = TRUE;
        std::string s =
            Screen([&] { ok = WriteUpdatedFRS((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, 9, &written); });
        bScreenLog = FALSE;
        EXPECT_FALSE(ok) << c.name;
        EXPECT_FALSE(written) << c.name;
        EXPECT_EQ(ntp::raw_write_count(), writes) << c.name;
        EXPECT_EQ(OnDisk(9), before[9]) << c.name;
        EXPECT_NE(s.find(c.screen), std::string::npos) << c.name << ": " << s;
        for (LONGLONG n = 0; n < 16; n++) WriteRecord(n, before[n]);
        FileRecordLow = FileRecordHi = 0;
    }
}

TEST_P(MoveMft, FailedRecordWriteSaysTheWriteWasIssued) {
    Build({{50, 16384 / GetParam()}});
    std::string before = OnDisk(9);
    ASSERT_TRUE(Read(9));
    Change(u'R');
    HANDLE readWrite = VolData.hVolume;
    VolData.hVolume = OpenVolume(GENERIC_READ);
    ASSERT_NE(VolData.hVolume, INVALID_HANDLE_VALUE);
    BOOL ok = TRUE;
    BOOL written = FALSE;
    Screen([&] { ok = WriteUpdatedFRS((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, 9, &written); });
    CloseHandle(VolData.hVolume);
    VolData.hVolume = readWrite;
    EXPECT_FALSE(ok);
    EXPECT_TRUE(written) << "the record on disk may describe the new place";
    EXPECT_EQ(OnDisk(9), before);
    EXPECT_EQ(FileRecordLow, 0);
}

// ------------------------------------------ MFT extents and the MFT mirror

// The hand-built MFT of 16 records in five extents of 4 KB each, at units
// 10, 20, 30, 40 and 50 (a unit is 4 KB of clusters); record 0 describes
// them in a $DATA of five runs. The mirror holds records 0 to 3 at unit 60,
// the volume bitmap file lies at unit 1 and marks all of them in use.
class MoveMftExtents : public MoveMft {
protected:
    void SetUp() override {
        MoveMft::SetUp();
        Lay({10, 20, 30, 40, 50}, {});
    }
    // Lays the MFT out in one-unit extents at the given units (the first
    // holds records 0 to 3) and marks them, cluster 0, the bitmap file, the
    // mirror and the `used` units in use.
    void Lay(const std::vector<LONGLONG> &units, const std::vector<LONGLONG> &used) {
        const LONGLONG u = Unit();
        std::vector<std::pair<LONGLONG, LONGLONG>> extents;
        for (LONGLONG e : units) extents.push_back({e * u, u});
        Build(extents);
        std::vector<EXTENT_LIST> runs(extents.size());
        for (size_t e = 0; e < extents.size(); e++) {
            memset(&runs[e], 0, sizeof(EXTENT_LIST));
            runs[e].StartingLcn = extents[e].first;
            runs[e].ClusterCount = extents[e].second;
        }
        RecordBuilder b;
        b.StandardInformation(0x06);
        b.FileName(5, 3, u"$MFT");
        b.NonResident(0x80, Pairs(runs), (LONGLONG)extents.size() * 4096);
        std::vector<uint8_t> r = b.FinishPlain();
        Put16(r, 0x10, 1);
        RecordBuilder::Protect(r, 0x0007);
        WriteRecord(0, std::string(r.begin(), r.end()));
        VolData.Mft2StartLcn = 60 * u;
        VolData.MftStartLcn = units[0] * u;
        std::string mirror;
        for (LONGLONG n = 0; n < 4; n++) mirror += OnDisk(n);
        WriteImage((size_t)(60 * u * GetParam()), mirror);
        // The bitmap file: cluster 0, the bitmap itself, the MFT, the mirror.
        BitmapExtents({{u, u}});
        std::string bits((size_t)(u * GetParam()), '\0');
        auto mark = [&](LONGLONG first, LONGLONG count) {
            for (LONGLONG c = first; c < first + count; c++) bits[(size_t)(c / 8)] |= (char)(1 << (c % 8));
        };
        mark(0, 1);
        mark(u, u);
        for (auto &e : extents) mark(e.first, e.second);
        for (LONGLONG e : used) mark(e * u, u);
        mark(60 * u, u);
        WriteImage((size_t)(u * GetParam()), bits);
        FileRecordLow = FileRecordHi = 0;
        VolData.FileRecordNumber = 0;
        ASSERT_TRUE(ManualGetExtentList(0));
        ASSERT_EQ(VolData.NumberOfExtents, (LONGLONG)units.size());
    }
    BYTE *MftBits() {
        BYTE *bits = (BYTE *)GlobalLock(VolData.hMftBitmap);
        GlobalUnlock(VolData.hMftBitmap);
        return bits;
    }
    // Clusters of 4 KB.
    LONGLONG Unit() const { return 4096 / GetParam(); }
    static std::vector<uint8_t> Pairs(const std::vector<EXTENT_LIST> &runs) {
        BYTE pairs[256];
        LONGLONG length = 0;
        EXPECT_TRUE(EncodeMappingPairs(runs.data(), (LONGLONG)runs.size(), pairs, sizeof pairs, &length));
        return std::vector<uint8_t>(pairs, pairs + length - 1);
    }
    // The mapping pairs of record 0's $DATA as the disk holds them.
    std::vector<uint8_t> PairsOnDisk() {
        std::string r = OnDisk(0);
        std::vector<uint8_t> bytes(r.begin(), r.end());
        VolData.FileRecordNumber = 0;
        EXPECT_TRUE(AdjustUSA(Frs(bytes)));
        PATTRIBUTE_RECORD_HEADER a = nullptr;
        ULONG position = 0;
        EXPECT_TRUE(FindAttribute(0x80, Frs(bytes), &a, 1024, &position));
        if (!a) return {};
        BYTE *p = (BYTE *)a + a->Form.Nonresident.MappingPairsOffset;
        std::vector<uint8_t> pairs;
        while (*p) {
            size_t n = 1 + (*p & 0x0F) + (*p >> 4);
            pairs.insert(pairs.end(), p, p + n);
            p += n;
        }
        return pairs;
    }
    bool Bit(LONGLONG c) { return (ReadImage((size_t)(Unit() * GetParam() + c / 8), 1)[0] >> (c % 8)) & 1; }
    std::string Mirror(size_t bytes) { return ReadImage((size_t)(60 * Unit() * GetParam()), bytes); }
};

// The MFT's third extent moved to where its second ends: record 0 keeps five
// runs (the second and third now adjacent, not merged), the data is copied,
// the bitmap and the mirror follow, and the MFT extent list read again
// holds the new place.
TEST_P(MoveMftExtents, ThirdOfFiveExtentsMovesToWhereTheSecondEnds) {
    const LONGLONG u = Unit();
    std::string data = Cluster(30 * u, u);
    uint64_t writes = ntp::raw_write_count();
    BOOL ok = FALSE;
    std::string screen = Screen([&] { ok = NTFSMoveExtent(21 * u, 2); });
    ASSERT_TRUE(ok) << screen;
    char text[128];
    snprintf(text, sizeof text, "\rMoving data file extent  (00000000) to LCN 0x%08llx for %lld Clusters",
             (unsigned long long)(21 * u), (long long)u);
    EXPECT_EQ(screen, (text + std::string(86, ' ')).substr(0, 76) + " <<");
    EXPECT_EQ(ntp::raw_write_count(), writes + 5) << "bitmap, data, record 0, mirror, bitmap";
    EXPECT_EQ(glFileStats[4], 1);
    EXPECT_EQ(Cluster(21 * u, u), data);
    std::vector<EXTENT_LIST> expected(5);
    for (size_t e = 0; e < 5; e++) {
        memset(&expected[e], 0, sizeof(EXTENT_LIST));
        expected[e].StartingLcn = (e == 2 ? 21 : 10 * (LONGLONG)(e + 1)) * u;
        expected[e].ClusterCount = u;
    }
    EXPECT_EQ(PairsOnDisk(), Pairs(expected));
    EXPECT_TRUE(Bit(21 * u) && Bit(22 * u - 1));
    EXPECT_FALSE(Bit(30 * u) || Bit(31 * u - 1));
    EXPECT_EQ(Mirror(1024), OnDisk(0)) << "the mirror follows record 0";

    writes = ntp::raw_write_count();
    VolData.FileRecordNumber = 0;
    ASSERT_TRUE(SaveMFTExtentList());
    ASSERT_EQ(VolData.MftExtentCount, 5);
    for (LONGLONG e = 0; e < 5; e++) {
        EXPECT_EQ(VolData.pMftExtentList[e].StartingLcn, expected[e].StartingLcn) << e;
        EXPECT_EQ(VolData.pMftExtentList[e].ClusterCount, u) << e;
    }
    ASSERT_TRUE(SyncNTFSMirror());
    EXPECT_EQ(ntp::raw_write_count(), writes) << "a mirror already in step is not written again";
    EXPECT_EQ(NameOf(9), u"record J") << "records read through the new list";
}

// The extent that holds record 0 is not moved: record 0 would be written
// back where the MFT no longer is.
TEST_P(MoveMftExtents, ExtentHoldingRecordZeroIsRefusedBeforeAnyWrite) {
    uint64_t writes = ntp::raw_write_count();
    BOOL ok = TRUE;
    bScreenLog = TRUE;
    std::string screen = Screen([&] { ok = NTFSMoveExtent(21 * Unit(), 0); });
    EXPECT_FALSE(ok);
    EXPECT_NE(screen.find("Error #0 at line"), std::string::npos) << screen;
    EXPECT_EQ(ntp::raw_write_count(), writes);
    EXPECT_EQ(glFileStats[4], 0);
}

// The mirror unit is a record's worth of clusters (two of 512 bytes), or one
// cluster whose first record alone is replaced, protected again; any other
// record number reads and writes nothing.
TEST_P(MoveMftExtents, MirrorTakesRecordZeroAndNothingElse) {
    const LONGLONG u = Unit();
    std::string neighbours = Mirror(4096).substr(1024);
    memset(pMoveBuffer, 0x5A, 4096);
    VolData.FileRecordNumber = 7;
    uint64_t writes = ntp::raw_write_count();
    BOOL ok = TRUE;
    Screen([&] { ok = SyncNTFSMirror(); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(ntp::raw_write_count(), writes);
    for (int i = 0; i < 4096; i++) ASSERT_EQ(pMoveBuffer[i], 0x5A) << "nothing read, at byte " << i;

    // Record 0 changed in memory: "$MFT" named "QMFT", and a new USN.
    ASSERT_TRUE(Read(0));
    PATTRIBUTE_RECORD_HEADER a = nullptr;
    ULONG position = 0;
    ASSERT_TRUE(FindAttribute(0x30, (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, &a, 1024, &position));
    ((BYTE *)a + a->Form.Resident.ValueOffset)[0x42] = 'Q';
    USHORT usn = 0x0123;
    memcpy(VolData.pFileRecord + 0x30, &usn, 2);
    VolData.FileRecordNumber = 0;
    ASSERT_TRUE(SyncNTFSMirror());
    EXPECT_EQ(ntp::raw_write_count(), writes + 1);
    std::vector<uint8_t> expected(VolData.pFileRecord, VolData.pFileRecord + 1024);
    RecordBuilder::Protect(expected, 0x0123);
    EXPECT_TRUE(Mirror(1024) == std::string(expected.begin(), expected.end())) << "record 0, protected";
    EXPECT_EQ(Mirror(4096).substr(1024), neighbours) << "the mirror's other records as they were";
    EXPECT_EQ(Cluster(60 * u + u), Pattern((size_t)((60 * u + u) * GetParam()), (size_t)GetParam()))
        << "nothing past the unit";
}

// The MFT stage on that MFT, laid out (in units) so that each rule shows:
// extents close up behind the first; an extent that follows its
// predecessor, or lies beyond where a contiguous MFT would end, is not
// moved out; an extent in the way is moved out behind that end unless it
// ends before the MFT zone or a fitting run lies in front of the end; the
// passes stop when two in a row move as many extents. Each layout is run
// from a fresh image; every record reads back and the mirror holds record 0.
TEST_P(MoveMftExtents, MftStageFollowsItsRulesOnEveryLayout) {
    struct Layout {
        const char *name;
        std::vector<LONGLONG> extents, used;
        LONGLONG zoneStart;
        std::vector<LONGLONG> after;
        LONGLONG fragments, moved;  // fragments 1 with moved 0: skipped
    };
    const std::vector<LONGLONG> front = {2, 3, 4, 5, 6, 7, 8, 9, 11};  // nothing free before the MFT
    const Layout layouts[] = {
        {"close up", {10, 20, 30, 40, 50}, {}, 0, {10, 11, 12, 13, 14}, 1, 4},
        {"in one piece", {10, 11, 12, 13, 14}, {}, 0, {10, 11, 12, 13, 14}, 1, 0},
        {"following or beyond the end", {10, 11, 12, 40, 50}, {13}, 0, {10, 11, 12, 40, 14}, 3, 1},
        // Passes of 4, 1, 0 and 0 moves: the second moves the extent out again.
        {"in the way", {10, 13, 30, 40, 50}, front, 0, {10, 16, 12, 13, 14}, 3, 5},
        {"in the way, before the zone", {10, 13, 30, 40, 50}, front, 20, {10, 13, 12, 40, 14}, 5, 2},
        {"in the way, room in front", {10, 13, 30, 40, 50}, {11}, 0, {10, 13, 12, 40, 14}, 5, 2},
    };
    const LONGLONG u = Unit();
    bool first = true;
    for (const Layout &l : layouts) {
        SCOPED_TRACE(l.name);
        if (!first) {
            TearDown();
            MoveMft::SetUp();
            Lay(l.extents, l.used);
        } else if (l.extents != std::vector<LONGLONG>{10, 20, 30, 40, 50}) {
            FAIL() << "the first layout is the fixture's";
        }
        first = false;
        VolData.MftZoneStart = l.zoneStart * u;
        memset(glFileStats, 0, sizeof glFileStats);
        uint64_t writes = ntp::raw_write_count();
        LONG mftOpt = 1;
        BOOL ok = FALSE;
        std::string screen = Screen([&] { ok = PartialDefragMFT(3, MftBits(), l.extents[0] * u, 5 * u, &mftOpt); });
        ASSERT_TRUE(ok) << screen;
        EXPECT_EQ(screen.rfind("*** STAGE 3 *** Minimizing MFT Fragmentation\n", 0), 0u) << screen;
        EXPECT_EQ(glFileStats[4], l.moved);
        EXPECT_EQ(mftOpt, l.fragments < 2 ? 0 : 1);
        if (l.moved == 0) {
            EXPECT_NE(screen.find("Stage skipped; MFT already defragmented\n\n"), std::string::npos) << screen;
            EXPECT_EQ(ntp::raw_write_count(), writes) << "nothing written";
        } else {
            EXPECT_NE(screen.find("\rMFT is now in " + std::to_string(l.fragments) + " fragment(s) "),
                      std::string::npos)
                << screen;
            EXPECT_NE(screen.find("\rMoved " + std::to_string(l.moved) + " extents during MFT defragmentation "),
                      std::string::npos)
                << screen;
            EXPECT_EQ(ntp::raw_write_count(), writes + 5 * (uint64_t)l.moved)
                << "bitmap, data, record 0, mirror, bitmap";
        }
        std::vector<LONGLONG> after;
        for (LONGLONG e = 0; e < VolData.MftExtentCount; e++)
            after.push_back(VolData.pMftExtentList[e].StartingLcn / u);
        EXPECT_EQ(after, l.after);
        EXPECT_EQ(Mirror(1024), OnDisk(0)) << "the mirror follows record 0";
        EXPECT_EQ(NameOf(0), u"$MFT");
        for (LONGLONG n = 1; n < 16; n++) EXPECT_EQ(NameOf(n), u"record " + std::u16string(1, (char16_t)(u'A' + n)));
    }
}

INSTANTIATE_TEST_SUITE_P(Clusters, MoveRaw, testing::Values(512, 4096),
                         [](const testing::TestParamInfo<LONGLONG> &i) { return std::to_string(i.param); });
INSTANTIATE_TEST_SUITE_P(Clusters, MoveMftSmallClusters, testing::Values(512),
                         [](const testing::TestParamInfo<LONGLONG> &i) { return std::to_string(i.param); });
INSTANTIATE_TEST_SUITE_P(Clusters, MoveMft, testing::Values(512, 1024, 4096),
                         [](const testing::TestParamInfo<LONGLONG> &i) { return std::to_string(i.param); });
INSTANTIATE_TEST_SUITE_P(Clusters, MoveMftExtents, testing::Values(512, 1024, 4096),
                         [](const testing::TestParamInfo<LONGLONG> &i) { return std::to_string(i.param); });

}  // namespace
