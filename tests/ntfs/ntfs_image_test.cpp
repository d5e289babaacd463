// The read side on real volumes: mkntfs images with clusters of 512 to 4,096
// bytes, filled by the image kit (fragmented files, attribute lists of both
// forms, compressed and sparse files, named streams, big directories, a
// fragmented MFT), opened through the emulated machine and set up the way
// volume setup does it. Extent lists and paths are checked against
// libntfs-3g and ntfsls; raw record reads against libntfs-3g's own fix-ups.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include <imgkit/imgkit.h>

#include "internal.h"
#include "ntfs3g_reference.h"
#include "ntfs_records.h"

using namespace ntfstest;
using RefRun = ntfsref::Run;

namespace {

// One filled image per cluster size, made once for the whole program.
struct Image {
    std::string folder, image;
    ntfsref::Volume reference;
    std::map<uint64_t, std::set<std::string>> paths;
    std::string error;
};

std::map<uint32_t, std::unique_ptr<Image>> images;

// Removes the images' folders when the program ends.
class RemoveImages : public testing::Environment {
public:
    void TearDown() override {
        for (auto &m : images)
            if (m.second && m.second->folder.rfind("/tmp/ntfsread-", 0) == 0)
                if (system(("rm -rf '" + m.second->folder + "'").c_str()) != 0) fprintf(stderr, "cannot remove it\n");
    }
};
testing::Environment *const removeImages = testing::AddGlobalTestEnvironment(new RemoveImages);

Image &ImageFor(uint32_t cluster) {
    auto &slot = images[cluster];
    if (slot) return *slot;
    slot = std::make_unique<Image>();
    Image &m = *slot;
    char pattern[] = "/tmp/ntfsread-XXXXXX";
    m.folder = mkdtemp(pattern) ? pattern : "";
    m.image = m.folder + "/c.img";
    try {
        imgkit::make_ntfs(m.image, 64 << 20, cluster);
        imgkit::fill(m.image, imgkit::Profile::full(), 11);
    } catch (const std::exception &e) {
        m.error = e.what();
        return m;
    }
    std::string hiveError;
    if (system(("mkdir -p '" + m.folder + "/config'").c_str()) != 0 ||
        !ntp::create_empty_hive(m.folder + "/config/SYSTEM", &hiveError)) {
        m.error = "cannot make the machine: " + hiveError;
        return m;
    }
    FILE *drives = fopen((m.folder + "/drives").c_str(), "w");
    if (!drives) {
        m.error = "cannot write drives";
        return m;
    }
    fprintf(drives, "C: image c.img\n");
    fclose(drives);
    m.reference = ntfsref::Load(m.image);
    if (!m.reference.error.empty()) m.error = m.reference.error;
    m.paths = ntfsref::ListPaths(m.image, &m.error);
    return m;
}

class NtfsImage : public testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override {
        Image &m = ImageFor(GetParam());
        ASSERT_EQ(m.error, "");
        image_ = &m;
        setenv("NT_MACHINE", m.folder.c_str(), 1);
        ResetEngine();
        memset(&VolData, 0, sizeof(VolData));
        VolData.cDrive[0] = u'C';
        VolData.cDrive[1] = u':';
        // What volume setup does before the stage driver runs.
        ASSERT_TRUE(GetNtfsVolumeStats());
        ASSERT_FALSE(IsVolumeDirty());
        ASSERT_TRUE(
            AllocateMemory((DWORD)(2 * VolData.BytesPerFRS), &VolData.hFileRecord, (void **)&VolData.pFileRecord));
        VolData.ExtentListBytes = 0x28000;
        ASSERT_TRUE(
            AllocateMemory((DWORD)VolData.ExtentListBytes, &VolData.hExtentList, (void **)&VolData.pExtentList));
        BYTE *buffer = nullptr;
        ASSERT_TRUE(AllocateMemory((DWORD)(65536 + VolData.BytesPerSector), &VolData.hMftBuffer, (void **)&buffer));
        VolData.pMftBuffer =
            (BYTE *)(((ULONG_PTR)buffer + VolData.BytesPerSector - 1) & ~(ULONG_PTR)(VolData.BytesPerSector - 1));
        ASSERT_TRUE(GetMftBitmap());
        ASSERT_TRUE(GetSystemsExtentList());
        VolData.MftSize = VolData.FileSize;
        VolData.MftExtentCount = VolData.NumberOfExtents - 1;
        ASSERT_TRUE(AllocateMemory((DWORD)((VolData.MftExtentCount + 1) * sizeof(EXTENT_LIST)), &VolData.hMftExtentList,
                                   (void **)&VolData.pMftExtentList));
        memcpy(VolData.pMftExtentList, VolData.pExtentList, VolData.MftExtentCount * sizeof(EXTENT_LIST));
    }
    void TearDown() override {
        if (VolData.hVolume && VolData.hVolume != INVALID_HANDLE_VALUE) CloseHandle(VolData.hVolume);
        VolData.hVolume = INVALID_HANDLE_VALUE;
        ResetEngine();
    }
    BYTE *Bitmap() {
        BYTE *b = (BYTE *)GlobalLock(VolData.hMftBitmap);
        GlobalUnlock(VolData.hMftBitmap);
        return b;
    }
    const std::vector<uint8_t> &Raw() const { return image_->reference.mft; }
    // Byte offset in the image of a 1,024-byte record, through libntfs-3g's
    // run list of the MFT; -1 when the runs end before it.
    int64_t RecordOffset(LONGLONG record) const {
        int64_t byte = record * 1024;
        for (const RefRun &run : image_->reference.mftRuns) {
            int64_t bytes = run.length * GetParam();
            if (byte < bytes) return run.lcn * GetParam() + byte;
            byte -= bytes;
        }
        return -1;
    }
    Image *image_ = nullptr;
};

std::string Utf8(const std::u16string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80)
            out += (char)c;
        else if (c < 0x800)
            out += {(char)(0xC0 | c >> 6), (char)(0x80 | (c & 0x3F))};
        else if (c < 0x10000)
            out += {(char)(0xE0 | c >> 12), (char)(0x80 | ((c >> 6) & 0x3F)), (char)(0x80 | (c & 0x3F))};
        else
            out += {(char)(0xF0 | c >> 18), (char)(0x80 | ((c >> 12) & 0x3F)), (char)(0x80 | ((c >> 6) & 0x3F)),
                    (char)(0x80 | (c & 0x3F))};
    }
    return out;
}

// What the raw family must make of a record, from libntfs-3g's view of it.
struct Expectation {
    enum Kind { Extents, Resident, SeveralStreams, NoMatchInList, NoStandardInformation } kind = Extents;
    std::vector<RefRun> runs;
};

Expectation Expect(const ntfsref::Record &r) {
    Expectation e;
    if (!r.hasStandardInformation) {
        e.kind = Expectation::NoStandardInformation;
        return e;
    }
    if (r.fileAttributes & (0x200 | 0x400 | 0x1000)) {
        e.kind = Expectation::Resident;
        return e;
    }
    const std::vector<ntfsref::Piece> &pieces = r.directory ? r.index : r.data;
    if (r.attributeList == 0) {
        if (pieces.empty() || pieces[0].resident)
            e.kind = Expectation::Resident;
        else
            e.runs = pieces[0].runs;
        return e;
    }
    std::map<uint64_t, int> perRecord;
    for (const auto &p : pieces) perRecord[p.record]++;
    bool several = false;
    for (auto &pr : perRecord) several |= pr.second > 1;
    if (r.directory)
        for (const auto &d : r.data) several |= perRecord.count(d.record) > 0;
    if (pieces.empty() || several) {
        // A directory whose list cannot be used is taken as index-root only;
        // a file is refused.
        e.kind =
            r.directory ? Expectation::Resident : (several ? Expectation::SeveralStreams : Expectation::NoMatchInList);
        return e;
    }
    // Pieces in list order.
    for (const auto &p : pieces)
        if (!p.resident) e.runs.insert(e.runs.end(), p.runs.begin(), p.runs.end());
    return e;
}

TEST_P(NtfsImage, GeometryMatchesTheVolume) {
    EXPECT_EQ(VolData.BytesPerCluster, GetParam());
    EXPECT_EQ(VolData.BytesPerFRS, 1024);
    EXPECT_EQ(VolData.ClustersPerFRS, GetParam() <= 1024 ? 1024 / GetParam() : 0);
    EXPECT_EQ(VolData.TotalFileRecords * 1024, (LONGLONG)Raw().size());
    EXPECT_EQ(VolData.MftStartLcn, image_->reference.mftRuns.at(0).lcn);
    // The MFT's extents as the query family merged them.
    std::vector<RefRun> mft;
    for (LONGLONG i = 0; i < VolData.MftExtentCount; i++)
        mft.push_back({VolData.pMftExtentList[i].StartingLcn, VolData.pMftExtentList[i].ClusterCount});
    EXPECT_EQ(mft, ntfsref::Merge(image_->reference.mftRuns));
    EXPECT_GE(VolData.MftExtentCount, 2) << "the kit fragments the MFT";
    // In-use records counted over whole bytes of the MFT bitmap.
    LONGLONG inUse = 0;
    for (LONGLONG n = 0; n < VolData.TotalFileRecords / 8 * 8; n++) inUse += (Bitmap()[n / 8] >> (n % 8)) & 1;
    EXPECT_EQ(VolData.InUseFileRecords, inUse);
    EXPECT_GE(VolData.InUseFileRecords, (LONGLONG)image_->reference.records.size() - 8);
    EXPECT_TRUE(GetMftMirror());
    EXPECT_GT(VolData.SystemAreaEnd, 0);
}

TEST_P(NtfsImage, RawFamilyAgreesWithLibntfs3gOnEveryBaseRecord) {
    const auto &records = image_->reference.records;
    std::map<Expectation::Kind, int> kinds;
    int lists[3] = {0, 0, 0}, compressed = 0, holes = 0, visited = 0, paths = 0;
    VolData.FileRecordNumber = 0;
    for (;;) {
        BOOL ok = FALSE;
        std::string screen = Screen([&] { ok = ManualGetExtentList(0); });
        LONGLONG n = VolData.FileRecordNumber;
        if (n >= VolData.TotalFileRecords) break;
        PFILE_RECORD_SEGMENT_HEADER frs = (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord;
        auto it = records.find((uint64_t)n);
        if (frs->BaseFileRecordSegment != 0 || it == records.end()) {
            EXPECT_FALSE(ok && VolData.NumberOfExtents > 0) << "extension record " << n << " yields no file";
            VolData.FileRecordNumber = n + 1;
            continue;
        }
        visited++;
        const ntfsref::Record &ref = it->second;
        Expectation e = Expect(ref);
        kinds[e.kind]++;
        lists[ref.attributeList]++;
        SCOPED_TRACE("record " + std::to_string(n));
        switch (e.kind) {
        case Expectation::NoStandardInformation:
        case Expectation::NoMatchInList:
            EXPECT_FALSE(ok);
            EXPECT_EQ(screen.find("Skipping SFM file"), std::string::npos) << screen;
            break;
        case Expectation::Resident:
            EXPECT_TRUE(ok) << screen;
            EXPECT_TRUE(VolData.bResident);
            EXPECT_EQ(VolData.NumberOfExtents, 0);
            break;
        case Expectation::SeveralStreams:
            EXPECT_FALSE(ok);
            EXPECT_NE(
                screen.find("Info: Skipping SFM file (multiple data streams in FRS): (FRN=" + std::to_string(n) + ")"),
                std::string::npos)
                << screen;
            break;
        case Expectation::Extents: {
            ASSERT_TRUE(ok) << screen;
            EXPECT_FALSE(VolData.bResident);
            std::vector<RefRun> got;
            LONGLONG clusters = 0;
            bool sparse = false;
            for (LONGLONG i = 0; i < VolData.NumberOfExtents; i++) {
                const EXTENT_LIST &x = VolData.pExtentList[i];
                got.push_back({x.StartingLcn, x.ClusterCount});
                if (x.StartingLcn >= 0) clusters += x.ClusterCount;
                sparse |= x.StartingLcn < 0;
                EXPECT_EQ(x.SourceLcn, x.StartingLcn);
                EXPECT_EQ(x.AttributeType, ref.directory ? 0xA0u : 0x80u);
                if (ref.attributeList == 0) {
                    EXPECT_EQ(x.FileRecord, n);
                }
            }
            EXPECT_EQ(ntfsref::Merge(got), ntfsref::Merge(e.runs));
            if (!sparse) {
                EXPECT_EQ(VolData.NumberOfClusters, clusters);
            }
            EXPECT_EQ(VolData.bHugeFile, ref.attributeList == 1);
            EXPECT_EQ(VolData.bMegaFile, ref.attributeList == 2);
            compressed += (ref.fileAttributes & 0x800) != 0;
            holes += sparse;
            break;
        }
        }
        // The path of every record ntfsls lists.
        auto listed = image_->paths.find((uint64_t)n);
        BOOL named = ManualGetNtfsFilePath();
        if (listed != image_->paths.end()) {
            EXPECT_TRUE(named);
            std::string path = Utf8(VolData.cFileName);
            ASSERT_EQ(path.substr(0, 2), "C:");
            path = path.substr(2);
            for (char &c : path)
                if (c == '\\') c = '/';
            EXPECT_TRUE(listed->second.count(path))
                << path << " is not among ntfsls's names, e.g. " << *listed->second.begin();
            paths++;
        }
        VolData.FileRecordNumber = n + 1;
    }
    EXPECT_EQ(visited, (int)records.size()) << "every in-use base record is reached";
    EXPECT_EQ(paths, (int)image_->paths.size()) << "every record ntfsls lists is named";
    // The kit's volume has every class the raw family tells apart.
    EXPECT_GT(lists[1], 0) << "a resident attribute list";
    EXPECT_GT(lists[2], 0) << "a non-resident attribute list";
    EXPECT_GT(kinds[Expectation::Resident], 0);
    EXPECT_GT(kinds[Expectation::Extents], 50);
    EXPECT_GT(holes, 0) << "a file with holes but no sparse flag";
    if (GetParam() <= 4096) {
        EXPECT_GT(compressed, 0) << "a compressed file";
    }
    bool sparseRefused = false;
    for (auto &r : records) sparseRefused |= (r.second.fileAttributes & 0x200) != 0;
    EXPECT_TRUE(sparseRefused) << "a file with the sparse flag";
}

TEST_P(NtfsImage, GetFrsWalksTheFragmentedMftAcrossExtentBoundaries) {
    // The first cluster of every MFT extent after the first, as a VCN.
    std::vector<LONGLONG> boundaries;
    LONGLONG vcn = 0;
    for (LONGLONG i = 0; i < VolData.MftExtentCount; i++) {
        if (i) boundaries.push_back(vcn);
        vcn += VolData.pMftExtentList[i].ClusterCount;
    }
    ASSERT_FALSE(boundaries.empty());
    LONGLONG recordsPerCluster = VolData.ClustersPerFRS ? 1 : VolData.BytesPerCluster / 1024;
    LONGLONG clustersPerRecord = VolData.ClustersPerFRS ? VolData.ClustersPerFRS : 1;
    auto vcnOf = [&](LONGLONG record) { return record / recordsPerCluster * clustersPerRecord; };

    FileRecordLow = FileRecordHi = 0;
    std::vector<uint8_t> out(1024);
    int read = 0, crossing = 0;
    LONGLONG lastLow = -1;
    for (LONGLONG n = 0;; n++) {
        ASSERT_TRUE(GetFrs(&n, VolData.pMftExtentList, Bitmap(), VolData.pMftBuffer, Frs(out))) << n;
        if (n >= VolData.TotalFileRecords) break;
        read++;
        ASSERT_TRUE(image_->reference.mftFixedOk[n]) << n;
        EXPECT_EQ(0, memcmp(out.data(), &image_->reference.mftFixed[n * 1024], 1024)) << "record " << n;
        if (FileRecordLow != lastLow) {
            lastLow = FileRecordLow;
            for (LONGLONG b : boundaries)
                crossing += vcnOf(FileRecordLow) < b && b < vcnOf(FileRecordHi - 1) + clustersPerRecord;
        }
    }
    EXPECT_EQ(
        read, (int)VolData.InUseFileRecords + [&] {
            int tail = 0;  // in-use records of a last partial bitmap byte are not counted there
            for (LONGLONG n = VolData.TotalFileRecords / 8 * 8; n < VolData.TotalFileRecords; n++)
                tail += (Bitmap()[n / 8] >> (n % 8)) & 1;
            return tail;
        }());
    EXPECT_GT(crossing, 0) << "a 64 KB window continued in the next MFT extent";
}

TEST_P(NtfsImage, UpdateSequenceRoundTripsOnEveryRecordOfTheMft) {
    int checked = 0;
    for (size_t n = 0; n < Raw().size() / 1024; n++) {
        if (memcmp(&Raw()[n * 1024], "FILE", 4) != 0) continue;
        std::vector<uint8_t> record(Raw().begin() + n * 1024, Raw().begin() + (n + 1) * 1024);
        VolData.FileRecordNumber = (LONGLONG)n;
        ASSERT_TRUE(AdjustUSA(Frs(record))) << n;
        ASSERT_TRUE(image_->reference.mftFixedOk[n]);
        EXPECT_EQ(0, memcmp(record.data(), &image_->reference.mftFixed[n * 1024], 1024)) << n;
        std::vector<uint8_t> adjusted = record;
        ASSERT_TRUE(EncodeUSA(Frs(record)));
        EXPECT_EQ(0, memcmp(record.data(), &Raw()[n * 1024], 1024)) << "protection restores the disk bytes " << n;
        ASSERT_TRUE(AdjustUSA(Frs(record)));
        EXPECT_EQ(record, adjusted) << "EncodeUSA then AdjustUSA is the identity " << n;
        checked++;
    }
    EXPECT_GT(checked, 100);
}

TEST_P(NtfsImage, TornRecordOnDiskFailsTheRawRead) {
    // A user file's record, located through libntfs-3g's run list of the MFT.
    LONGLONG victim = -1;
    for (auto &r : image_->reference.records)
        if (r.first >= 64 && !r.second.directory) {
            victim = (LONGLONG)r.first;
            break;
        }
    ASSERT_GE(victim, 0);
    int64_t offset = RecordOffset(victim);
    ASSERT_GE(offset, 0);
    int fd = open(image_->image.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    uint16_t word = 0, torn;
    ASSERT_EQ(pread(fd, &word, 2, offset + 1022), 2);
    torn = (uint16_t)(word ^ 0x5555);
    ASSERT_EQ(pwrite(fd, &torn, 2, offset + 1022), 2);

    FileRecordLow = FileRecordHi = 0;
    VolData.FileRecordNumber = victim;
    std::vector<uint8_t> out(1024, 0xCC);
    BOOL ok = TRUE;
    LONGLONG n = victim;
    std::string screen =
        Screen([&] { ok = GetFrs(&n, VolData.pMftExtentList, Bitmap(), VolData.pMftBuffer, Frs(out)); });
    // The window in the cache still holds the record as read: protected.
    std::vector<uint8_t> cached(VolData.pMftBuffer + (victim - FileRecordLow) * 1024,
                                VolData.pMftBuffer + (victim - FileRecordLow + 1) * 1024);
    ASSERT_EQ(pwrite(fd, &word, 2, offset + 1022), 2);
    close(fd);
    EXPECT_FALSE(ok);
    EXPECT_NE(screen.find("AdjustUSA->Bad File Record: " + std::to_string(victim) + " (Usn="), std::string::npos)
        << screen;
    EXPECT_NE(screen.find("000000: 46494c45"), std::string::npos) << "the record is dumped";
    EXPECT_EQ(Get16(out, 510), Get16(cached, 510)) << "the record stays protected";
    EXPECT_EQ(Get16(out, 1022), torn);
    FileRecordLow = FileRecordHi = 0;
}

TEST_P(NtfsImage, AttributeListNamingAnotherFilesRecordIsRefusedByBothFamilies) {
    // For each list form, a file whose $DATA continues in an extension record.
    const auto &records = image_->reference.records;
    for (int form : {1, 2}) {
        SCOPED_TRACE(form == 1 ? "resident list" : "non-resident list");
        LONGLONG base = -1, extension = -1;
        for (auto &r : records) {
            if (r.second.attributeList != form || r.second.directory || Expect(r.second).kind != Expectation::Extents)
                continue;
            for (const auto &piece : r.second.data)
                if (piece.record != r.first && !piece.resident) extension = (LONGLONG)piece.record;
            if (extension >= 0) {
                base = (LONGLONG)r.first;
                break;
            }
        }
        ASSERT_GE(base, 0);
        int64_t offset = RecordOffset(extension);
        ASSERT_GE(offset, 0);
        auto both = [&] {
            FileRecordLow = FileRecordHi = 0;
            VolData.FileRecordNumber = base;
            BOOL query = FALSE, raw = FALSE;
            Screen([&] { query = GetExtentList(0); });
            VolData.FileRecordNumber = base;
            Screen([&] { raw = ManualGetExtentList(0); });
            return std::make_pair(query != FALSE, raw != FALSE);
        };
        EXPECT_EQ(both(), std::make_pair(true, true)) << "record " << base << " as written";

        // The extension's base reference (first stride, outside the fix-ups)
        // made to name the root directory.
        int fd = open(image_->image.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        uint64_t reference = 0, other;
        ASSERT_EQ(pread(fd, &reference, 8, offset + 0x20), 8);
        EXPECT_EQ((LONGLONG)(reference & 0xFFFFFFFFFFFFull), base);
        other = (reference & ~0xFFFFFFFFFFFFull) | 5;
        ASSERT_EQ(pwrite(fd, &other, 8, offset + 0x20), 8);
        std::pair<bool, bool> damaged = both();
        ASSERT_EQ(pwrite(fd, &reference, 8, offset + 0x20), 8);
        close(fd);
        EXPECT_EQ(damaged, std::make_pair(false, false)) << "record " << extension << " belongs to the root";
        EXPECT_EQ(VolData.NumberOfExtents, 0);
    }
    FileRecordLow = FileRecordHi = 0;
}

INSTANTIATE_TEST_SUITE_P(Clusters, NtfsImage, testing::Values(512u, 1024u, 2048u, 4096u),
                         [](const testing::TestParamInfo<uint32_t> &info) { return std::to_string(info.param); });

}  // namespace
