// The NTFS run's own logic without a volume: the report (moved-object table,
// last-files list, closing lines), the placement rules (MFT area, pending
// options, first-fit search and the window checks, percentages) and the
// record walk, candidate filter and paths over an MFT held in the record
// cache.
#include <algorithm>
#include <random>

#include "bootntfs.h"
#include "ntfs_records.h"

using namespace ntfstest;

namespace {

std::string Utf8(const std::u16string &s) {
    std::string out;
    for (char16_t c : s) out += (char)c;  // the texts here are ASCII
    return out;
}

void Release(HGLOBAL *handle) {
    if (*handle) {
        GlobalUnlock(*handle);
        GlobalFree(*handle);
        *handle = nullptr;
    }
}

// ================================================================= report

class DriverReport : public testing::Test {
protected:
    void SetUp() override {
        ResetEngine();
        memset(glFileStats, 0, sizeof glFileStats);
        ASSERT_TRUE(AllocateMemory(LAST50_ENTRIES * sizeof(LAST_50), &hLast50, (void **)&plLast50));
        lLast50 = 0;
    }
    void TearDown() override {
        Release(&hLast50);
        plLast50 = nullptr;
        lLast50 = 0;
    }
    static std::string Label(LONG index) {
        WCHAR label[80];
        wmemset_guard(label);
        MovedObjectLabel(index, label);
        return Utf8(label);
    }
    // Junk in the buffer first, so a label that is not terminated shows.
    static void wmemset_guard(WCHAR *label) {
        for (int i = 0; i < 79; i++) label[i] = u'#';
        label[79] = 0;
    }
    static std::string Dotted(const std::string &words) {
        std::string s = words + "Moved: " + std::string(59, '.');
        return s.substr(0, 68);
    }
};

TEST_F(DriverReport, LabelsNameTheClassAndAreCutTo68Characters) {
    struct Case {
        LONG index;
        std::string words;
    } cases[] = {
        {2, "Contiguous Uncompressed Files "},
        {2 | 16, "Fragmented Uncompressed Files "},
        {1 | 8, "Contiguous Compressed Directories "},
        {2 | 32, "Large Contiguous Uncompressed Files "},
        {2 | 64 | 16, "Huge Fragmented Uncompressed Files "},
        {1 | 96 | 16 | 8, "Extremely Huge Fragmented Compressed Directories "},
        {3 | 96 | 16 | 8, "Non-resident Attributes "},  // replaces every word
        {4 | 16, "Individual Data Exents "},
        {6, "Contiguous Uncompressed "},  // an unknown kind adds nothing
    };
    for (const Case &c : cases) {
        std::string label = Label(c.index);
        EXPECT_EQ(label, Dotted(c.words)) << "class " << c.index;
        EXPECT_EQ(label.size(), 68u) << "class " << c.index;
    }
}

TEST_F(DriverReport, TableShowsOnlyClassesThatMovedInIndexOrder) {
    glFileStats[18] = 11;
    glFileStats[2] = 313;
    glFileStats[10] = 2;
    glFileStats[3] = 123456789;
    std::string screen = Screen(ShowMovedObjectTable);
    std::string expected = Dotted("Contiguous Uncompressed Files ") + "      313\n" +
                           Dotted("Non-resident Attributes ") + " 123456789\n" +
                           Dotted("Contiguous Compressed Files ") + "        2\n" +
                           Dotted("Fragmented Uncompressed Files ") + "       11\n";
    EXPECT_EQ(screen, expected);

    memset(glFileStats, 0, sizeof glFileStats);
    EXPECT_EQ(Screen(ShowMovedObjectTable), "") << "a run that moved nothing shows no table line";
}

TEST_F(DriverReport, ClosingLinesArePaddedAndCutTo78Characters) {
    std::string line = Screen([] { ShowClosingLine(u"\rMoved %ld files during gap adjustment", 22, u"\n\n"); });
    ASSERT_EQ(line.size(), 80u);
    EXPECT_EQ(line.substr(0, 38), "\rMoved 22 files during gap adjustment ");
    EXPECT_EQ(line.substr(38, 40), std::string(40, ' '));
    EXPECT_EQ(line.substr(78), "\n\n");

    std::u16string longFormat = u"\rMoved %ld " + std::u16string(100, u'x');
    line = Screen([&] { ShowClosingLine(longFormat.c_str(), 5, u"\n"); });
    EXPECT_EQ(line, "\rMoved 5 " + std::string(69, 'x') + "\n");
}

TEST_F(DriverReport, StageBannersAreNumberedFromZero) {
    lStageNumber = -1;
    std::string screen = Screen([] {
        ShowStageBanner(u"*** STAGE %ld *** Gathering Partition Data\n");
        ShowStageBanner(u"*** STAGE %ld *** Defragmenting Specific Files\n");
    });
    EXPECT_EQ(screen, "*** STAGE 0 *** Gathering Partition Data\n*** STAGE 1 *** Defragmenting Specific Files\n");
    EXPECT_EQ(lStageNumber, 1);
}

// The list keeps the 50 files with the highest Lcn, lowest first; among
// equal Lcns the later file goes behind (and outlives the earlier one at
// the bottom of a full list). Checked against a stable sort of everything.
TEST_F(DriverReport, LastFilesListKeepsTheFiftyHighestInOrder) {
    std::mt19937 random(1234);
    std::vector<std::pair<LONGLONG, int>> all;
    for (int i = 0; i < 400; i++) {
        LONGLONG lcn = (LONGLONG)(random() % 300);  // many equal values
        all.push_back({lcn, i});
        std::u16string name = u"C:\\f" + std::u16string(1, (char16_t)(u'A' + i % 26)) +
                              std::u16string(1, (char16_t)(u'0' + i / 26 % 10)) +
                              std::u16string(1, (char16_t)(u'0' + i / 260));
        AddToLast50(lcn, name.c_str());
        if (i < 50) {
            ASSERT_EQ(lLast50, i + 1);
        }
    }
    ASSERT_EQ(lLast50, 50);
    std::stable_sort(all.begin(), all.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    all.erase(all.begin(), all.end() - 50);
    for (int k = 0; k < 50; k++) {
        int i = all[k].second;
        std::u16string name = u"C:\\f" + std::u16string(1, (char16_t)(u'A' + i % 26)) +
                              std::u16string(1, (char16_t)(u'0' + i / 26 % 10)) +
                              std::u16string(1, (char16_t)(u'0' + i / 260));
        EXPECT_EQ(plLast50[k].Lcn, all[k].first) << "entry " << k;
        EXPECT_EQ(std::u16string(plLast50[k].FileName), name) << "entry " << k;
    }
}

TEST_F(DriverReport, FullListDropsAFileBelowAllAndTakesOneEqualToTheLowest) {
    for (int i = 0; i < 50; i++) AddToLast50(100 + i, u"C:\\old");
    AddToLast50(99, u"C:\\below");
    EXPECT_EQ(plLast50[0].Lcn, 100);
    EXPECT_EQ(std::u16string(plLast50[0].FileName), u"C:\\old");
    AddToLast50(100, u"C:\\equal");  // goes behind the old 100, which drops out
    EXPECT_EQ(plLast50[0].Lcn, 100);
    EXPECT_EQ(std::u16string(plLast50[0].FileName), u"C:\\equal");
    EXPECT_EQ(plLast50[1].Lcn, 101);
    AddToLast50(1000, u"C:\\top");
    EXPECT_EQ(plLast50[49].Lcn, 1000);
    EXPECT_EQ(plLast50[48].Lcn, 149);
    EXPECT_EQ(plLast50[0].Lcn, 101);
    EXPECT_EQ(lLast50, 50);
}

TEST_F(DriverReport, LastFilesAreShownLowestFirstWithTheHeaderAlways) {
    EXPECT_EQ(Screen(ShowLast50), "\n\nThe last files on the disk are:\n\n");
    AddToLast50(0x123456789LL, u"C:\\dir\\b.txt");
    AddToLast50(0x20, u"C:\\a.txt");
    EXPECT_EQ(Screen(ShowLast50),
              "\n\nThe last files on the disk are:\n@LCN 0x00000020: C:\\a.txt\n@LCN 0x23456789: C:\\dir\\b.txt\n\n");
}

TEST_F(DriverReport, LongPathsAreKeptWholeUpToTheEntrySize) {
    std::u16string path = u"C:" + std::u16string(40000, u'p');
    AddToLast50(7, path.c_str());
    EXPECT_EQ(std::u16string(plLast50[0].FileName).size(), (size_t)FILE_NAME_CHARS - 1);
}

// ============================================================== placement

class DriverPlacement : public testing::Test {
protected:
    void SetUp() override {
        ResetEngine(4096, 1024, 64);
        VolData.FileSystem = FS_NTFS;
        VolData.BitmapSizeBits = BitmapSizeBitsFor(VolData.TotalClusters);
        VolData.BitmapSizeBytes = VolData.BitmapSizeBits / 8;
        BYTE *block = nullptr;
        ASSERT_TRUE(AllocateMemory((DWORD)VolumeBitmapBlockBytes(), &VolData.hVolumeBitmap, (void **)&block));
        pVolumeBitmapBits = (ULONG *)(block + 16);
        GlobalUnlock(VolData.hVolumeBitmap);
        Set(VolData.TotalClusters, VolData.BitmapSizeBits - VolData.TotalClusters, true);
    }
    void TearDown() override {
        Release(&VolData.hVolumeBitmap);
        pVolumeBitmapBits = nullptr;
    }
    void Set(LONGLONG first, LONGLONG count, bool used) {
        for (LONGLONG c = first; c < first + count; c++) {
            if (used)
                pVolumeBitmapBits[c / 32] |= 1u << (c % 32);
            else
                pVolumeBitmapBits[c / 32] &= ~(1u << (c % 32));
        }
    }
    LONGLONG Search(LONGLONG needed, LONGLONG start, LONGLONG end) {
        VolData.NumberOfClusters = needed;
        LONGLONG destination = -7;
        return FirstFitSearch(start, end, &destination) ? destination : -1;
    }
};

TEST_F(DriverPlacement, MftAreaEndsAtTheZoneOrBehindAnMftThatLeftIt) {
    struct Case {
        const char *name;
        LONGLONG total, used, zoneEnd, mftFirst, mftClusters;
        LONGLONG limit, base;
    } cases[] = {
        {"room", 16384, 3000, 2051, 4, 64, 2051, 2051},
        {"under 25% free: halfway back", 16384, 13000, 2051, 4, 64, 88 + (2051 - 88) / 2, 2051},
        {"exactly 25% free: no halving", 1000, 750, 125, 4, 16, 125, 125},
        {"MFT reaching past the zone", 16384, 3000, 2051, 3000, 100, 3120, 3120},
        {"MFT ending on the zone's last cluster", 16384, 3000, 2051, 1952, 100, 2051, 2051},
    };
    for (const Case &c : cases) {
        VolData.TotalClusters = c.total;
        VolData.UsedClusters = c.used;
        VolData.MftZoneStart = 0;
        VolData.MftZoneEnd = c.zoneEnd;
        VolData.MftZoneLimit = VolData.MftZoneLimitBase = -5;
        SetMftArea(c.mftFirst, c.mftClusters);
        EXPECT_EQ(VolData.MftZoneLimit, c.limit) << c.name;
        EXPECT_EQ(VolData.MftZoneLimitBase, c.base) << c.name;
        EXPECT_EQ(VolData.MftClusters, c.mftClusters) << c.name;
    }
}

TEST_F(DriverPlacement, MftAreaIncludesBothBounds) {
    VolData.MftZoneStart = 10;
    VolData.MftZoneLimit = 20;
    EXPECT_FALSE(InMftArea(9));
    EXPECT_TRUE(InMftArea(10));
    EXPECT_TRUE(InMftArea(20));
    EXPECT_FALSE(InMftArea(21));
}

TEST_F(DriverPlacement, FinishedOptionsDropOnlyTheStagesTheyImplied) {
    struct Case {
        const char *name;
        LONG dirsOpt, dirsPending, fileOpt, filesPending, bit;
        LONG dirsOptAfter, dirsPendingAfter, fileOptAfter, filesPendingAfter;
    } cases[] = {
        {"MFT=MIN alone", 4, 2, 1, 2, 2, 0, 0, 0, 0},
        {"MFT=MIN with FILES=FULL", 4, 2, 1, 3, 2, 0, 0, 1, 1},
        {"paging file with DIRS=FREE", 1, 5, 1, 4, 4, 1, 1, 0, 0},
        {"MFT=MIN and PAGE=PLACE, MFT done", 4, 6, 1, 6, 2, 4, 4, 1, 4},
    };
    for (const Case &c : cases) {
        lDirsOpt = c.dirsOpt;
        lDirsPending = c.dirsPending;
        lFileOpt = c.fileOpt;
        lFilesPending = c.filesPending;
        PendingUpdate(c.bit);
        EXPECT_EQ(lDirsOpt, c.dirsOptAfter) << c.name;
        EXPECT_EQ(lDirsPending, c.dirsPendingAfter) << c.name;
        EXPECT_EQ(lFileOpt, c.fileOptAfter) << c.name;
        EXPECT_EQ(lFilesPending, c.filesPendingAfter) << c.name;
    }
}

TEST_F(DriverPlacement, FirstFitTakesTheFirstRunLongEnoughInsideTheWindow) {
    Set(0, 1024, true);
    Set(10, 10, false);    // 10..19
    Set(21, 40, false);    // 21..60
    Set(100, 500, false);  // 100..599
    EXPECT_EQ(Search(5, 0, 1024), 10);
    EXPECT_EQ(Search(10, 0, 1024), 10);
    EXPECT_EQ(Search(11, 0, 1024), 21) << "shorter runs are passed over";
    EXPECT_EQ(Search(41, 0, 1024), 100);
    EXPECT_EQ(Search(5, 0, 15), 10);
    EXPECT_EQ(Search(6, 0, 15), -1) << "the run is cut at the window's end";
    EXPECT_EQ(Search(5, 12, 1024), 12);
    EXPECT_EQ(Search(501, 0, 1024), -1);
    EXPECT_EQ(Search(50, 0, 5000), 100) << "a window past the volume ends with it";
    EXPECT_EQ(Search(0, 0, 1024), -1) << "nothing to place";
    // A free word reaching past the window's end counts only up to it.
    Set(640, 96, false);  // 640..735
    EXPECT_EQ(Search(8, 630, 648), 640);
    EXPECT_EQ(Search(9, 630, 648), -1) << "only 8 clusters of the run lie inside the window";
}

TEST_F(DriverPlacement, ZoneTestIncludesBothBoundsAndIgnoresRunsWithoutDiskSpace) {
    EXTENT_LIST list[3];
    memset(list, 0, sizeof list);
    list[0].StartingLcn = 100, list[0].ClusterCount = 10;
    list[1].StartingLcn = -1, list[1].ClusterCount = 5000;
    list[2].StartingLcn = 110, list[2].ClusterCount = 5;
    EXPECT_TRUE(AllClustersInZone(list, 3, 100, 114));
    EXPECT_FALSE(AllClustersInZone(list, 3, 100, 113)) << "the last cluster is 114";
    EXPECT_FALSE(AllClustersInZone(list, 3, 101, 200)) << "the first cluster is 100";
    EXPECT_TRUE(AllClustersInZone(list, 2, 100, 109)) << "a run without disk space lies nowhere";
    EXPECT_TRUE(AllClustersInZone(list, 0, 500, 600)) << "an empty list";
}

TEST_F(DriverPlacement, TargetAreasLieWhereTheModeSaysAndNeverPassTheVolume) {
    struct Case {
        const char *name;
        LONG dirsOpt;
        LONGLONG zoneStart, limitBase, systemEnd, d, a;
        TARGET_AREA area;
    } cases[] = {
        {"ZERO: the whole volume", 2, 1000, 1200, 300, 100, 50, {0, 10000, 0, 10000}},
        {"MFTZ before the MFT zone", 3, 1000, 1200, 300, 100, 50, {0, 110, 111, 166}},
        {"MFTZ that does not fit before the zone", 3, 150, 1200, 300, 100, 50, {1200, 1310, 1311, 1366}},
        {"MFTM behind the system files", 4, 0, 1200, 300, 100, 50, {300, 410, 411, 466}},
        {"MFTM running past the end", 4, 0, 1200, 9950, 100, 50, {9950, 10000, 10000, 10000}},
        {"MFTZ starting past the end", 3, 0, 12000, 300, 100, 50, {10000, 10000, 10000, 10000}},
        {"attributes running past the end", 4, 0, 0, 9800, 100, 500, {9800, 9910, 9911, 10000}},
    };
    for (const Case &c : cases) {
        VolData.TotalClusters = 10000;
        VolData.MftZoneStart = c.zoneStart;
        VolData.MftZoneLimitBase = c.limitBase;
        VolData.SystemAreaEnd = c.systemEnd;
        TARGET_AREA t = FixedTargetArea(c.dirsOpt, c.d, c.a);
        EXPECT_EQ(t.S, c.area.S) << c.name;
        EXPECT_EQ(t.Ed, c.area.Ed) << c.name;
        EXPECT_EQ(t.Sa, c.area.Sa) << c.name;
        EXPECT_EQ(t.E, c.area.E) << c.name;
    }
}

TEST_F(DriverPlacement, FirstFitNeverOffersClusterZero) {
    Set(0, 1024, true);
    Set(0, 1, false);
    Set(2, 30, false);
    EXPECT_EQ(Search(1, 0, 1024), 2);
    Set(1, 1, false);  // 0..31 free: the run is reported from 1
    EXPECT_EQ(Search(31, 0, 1024), 1);
    EXPECT_EQ(Search(32, 0, 1024), -1);
}

TEST_F(DriverPlacement, WindowSearchRefusesRunsMovedOutOfTheWindowOrTooShort) {
    Set(0, 1024, true);
    Set(32, 64, false);  // 32..95
    VolData.NumberOfClusters = 10;
    VolData.MftZoneStart = 30;
    VolData.MftZoneEnd = 45;
    // The run 32..63 starts in the zone: FindFreeSpace offers it from 45,
    // beyond the window's end 40.
    EXPECT_FALSE(FindFreeSpaceInWindow(0, 40));
    EXPECT_EQ(VolData.FoundLcn, 45);
    EXPECT_TRUE(FindFreeSpaceInWindow(0, 100));
    EXPECT_EQ(VolData.FoundLcn, 45);
    VolData.NumberOfClusters = 60;
    EXPECT_FALSE(FindFreeSpaceInWindow(0, 1024)) << "51 clusters left after the zone";
    VolData.MftZoneStart = VolData.MftZoneEnd = 900;
    EXPECT_TRUE(FindFreeSpaceInWindow(0, 1024));
    EXPECT_EQ(VolData.FoundLcn, 32);
}

TEST_F(DriverPlacement, PercentagesRunFromOneTo99) {
    StartPercentage(100);
    std::string screen = Screen([] {
        for (int i = 0; i < 4; i++) CountPercentage();
    });
    EXPECT_EQ(screen, "");
    screen = Screen(CountPercentage);
    EXPECT_EQ(screen, "\r[ 6%] ");
    PercentageToProgress();
    EXPECT_EQ(Utf8(cProgress), "\r[ 6%] ");
    StartPercentage(0);  // no work: every record shows, kept at 99
    screen = Screen([] {
        for (int i = 0; i < 3; i++) CountPercentage();
    });
    EXPECT_EQ(screen, "\r[99%] \r[99%] \r[99%] ");
    StartPercentage(1000);
    for (int i = 0; i < 3000; i++) Screen(CountPercentage);
    EXPECT_EQ(CurrentPercentage(), 99);
    StartPercentage(1000);
    EXPECT_EQ(CurrentPercentage(), 1);
}

// ===================================================== walk, filter, paths

// Pairs of one run: length (1 byte) and LCN (fewest signed bytes).
std::vector<uint8_t> OneRun(LONGLONG lcn, uint8_t clusters) {
    std::vector<uint8_t> offset;
    LONGLONG v = lcn;
    do {
        offset.push_back((uint8_t)(v & 0xFF));
        v >>= 8;
    } while (v != 0 || (offset.back() & 0x80));
    std::vector<uint8_t> pairs = {(uint8_t)(offset.size() * 16 + 1), clusters};
    for (uint8_t byte : offset) pairs.push_back(byte);
    return pairs;
}

class DriverWalk : public testing::Test {
protected:
    void SetUp() override {
        ResetEngine(4096, 1 << 20, 64);
        SetUpCachedMft();
        pMftBitmapBits = (BYTE *)GlobalLock(VolData.hMftBitmap);  // the run's view of the MFT bitmap
        GlobalUnlock(VolData.hMftBitmap);
        ASSERT_TRUE(AllocateMemory(200 * sizeof(LONGLONG), &hExcludedFrns, (void **)&pExcludedFrns));
        llMaxFrns = 200;
        llUsedFrns = 0;
        Put(5, Directory(5, u"."));
    }
    void TearDown() override {
        Release(&hExcludedFrns);
        pExcludedFrns = nullptr;
        llUsedFrns = llMaxFrns = 0;
        Release(&hLast50);
        plLast50 = nullptr;
        pMftBitmapBits = nullptr;
    }
    void Put(LONGLONG n, const std::vector<uint8_t> &record) { PutCachedRecord(n, record); }
    static std::vector<uint8_t> Directory(uint64_t parent, const std::u16string &name) {
        return DirectoryRecord(parent, name);
    }
    static std::vector<uint8_t> File(uint64_t parent, const std::u16string &name, LONGLONG lcn = 0x40,
                                     uint32_t attributes = 0x20) {
        RecordBuilder b;
        b.StandardInformation(attributes);
        b.FileName(parent, 3, name);
        b.NonResident(0x80, OneRun(lcn, 2), 2 * 4096);
        return b.Finish();
    }
    // Reads record n by the record walk; the walk's result.
    LONG Walk(LONGLONG n) {
        VolData.FileRecordNumber = n;
        LONG walk = WALK_END;
        Screen([&] { walk = WalkFile(); });
        return walk;
    }
};

TEST_F(DriverWalk, WalkSkipsExtensionRecordsAndEndsAfterTheLastRecordInUse) {
    Put(20, File(5, u"a"));
    RecordBuilder b;
    b.StandardInformation();
    b.NonResident(0x80, OneRun(0x50, 1), 4096);
    std::vector<uint8_t> extension = b.FinishPlain();
    Put16(extension, 0x12, 0);  // link count 0: an extension record
    RecordBuilder::Protect(extension, 7);
    Put(21, extension);
    Put(22, File(5, u"b"));

    EXPECT_EQ(Walk(17), WALK_READ) << "GetFrs moves on to the next record in use";
    EXPECT_EQ(VolData.FileRecordNumber, 20);
    EXPECT_EQ(Walk(21), WALK_SKIP);
    EXPECT_EQ(VolData.FileRecordNumber, 21);
    EXPECT_EQ(Walk(22), WALK_READ);
    EXPECT_EQ(VolData.LowestLcn, 0x40);
    EXPECT_EQ(Walk(23), WALK_END);
    EXPECT_EQ(VolData.FileRecordNumber, 64);
}

TEST_F(DriverWalk, CandidateFilterKeepsOnlyMovableFilesWithOneStream) {
    Put(30, Directory(5, u"dir"));
    Put(31, File(5, u"plain"));
    Put(32, File(5, u"excluded"));
    Put(33, File(5, u"sparse", 0x40, 0x220));
    {
        RecordBuilder b;
        b.StandardInformation();
        b.FileName(5, 3, u"resident");
        b.Resident(0x80, std::vector<uint8_t>(100, 1));
        Put(34, b.Finish());
    }
    {
        RecordBuilder b;
        b.StandardInformation();
        b.FileName(5, 3, u"two streams");
        b.NonResident(0x80, OneRun(0x60, 2), 2 * 4096);
        b.Resident(0x80, std::vector<uint8_t>(20, 2), u"side");
        Put(35, b.Finish());
    }
    {
        RecordBuilder b;
        b.StandardInformation();
        b.FileName(5, 3, u"two non-resident streams");
        b.NonResident(0x80, OneRun(0x70, 2), 2 * 4096);
        b.NonResident(0x80, OneRun(0x80, 1), 4096, u"side");
        Put(36, b.Finish());
    }
    pExcludedFrns[0] = 32;
    llUsedFrns = 1;

    struct Case {
        LONGLONG record;
        bool candidate;
    } cases[] = {{30, false}, {31, true}, {32, false}, {33, false}, {34, false}, {35, false}, {36, false}};
    for (const Case &c : cases) {
        ASSERT_EQ(Walk(c.record), WALK_READ) << c.record;
        ASSERT_EQ(VolData.FileRecordNumber, c.record);
        EXPECT_EQ(IsFileCandidate() ? true : false, c.candidate) << "record " << c.record;
    }
    ASSERT_EQ(Walk(35), WALK_READ);
    EXPECT_TRUE(HasSeveralDataStreams());
    ASSERT_EQ(Walk(31), WALK_READ);
    EXPECT_FALSE(HasSeveralDataStreams());
}

// A path the quick form cannot give (the previous file's directory part is
// reused only below 256 characters) is built again from the root instead of
// leaving the file without a name, and so without its exclusion test.
TEST_F(DriverWalk, PathsTooLongForTheQuickFormAreBuiltTheLongWay) {
    std::u16string longName(200, u'd');
    Put(30, Directory(5, longName));
    Put(31, File(30, std::u16string(40, u'a')));
    Put(32, File(30, std::u16string(60, u'b')));
    ASSERT_EQ(Walk(31), WALK_READ);
    ASSERT_TRUE(GetCurrentPath());
    ASSERT_EQ(Walk(32), WALK_READ);
    BOOL ok = FALSE;
    Screen([&] { ok = GetCurrentPath(); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(std::u16string(VolData.cFileName), u"C:\\" + longName + u"\\" + std::u16string(60, u'b'));
}

TEST_F(DriverWalk, PathThatCannotBeBuiltIsNamedAsSuch) {
    Put(31, File(50, u"orphan"));  // directory 50 is not in use
    ASSERT_EQ(Walk(31), WALK_READ);
    BOOL ok = TRUE;
    Screen([&] { ok = GetCurrentPath(); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(std::u16string(VolData.cFileName), u"COULDN'T GET MEMORY FOR FILENAME");
}

// The placement stage walks from record 1: system files take part, record
// 0 and directories and files without clusters do not.
TEST_F(DriverWalk, LastFilesStageListsFilesFromRecordOne) {
    ASSERT_TRUE(AllocateMemory(LAST50_ENTRIES * sizeof(LAST_50), &hLast50, (void **)&plLast50));
    Put(0, File(5, u"$MFT", 0x500));
    Put(1, File(5, u"$MFTMirr", 0x10));
    Put(30, Directory(5, u"dir"));
    for (int i = 0; i < 20; i++) Put(31 + i, File(30, u"f" + std::u16string(1, (char16_t)(u'a' + i)), 0x100 + 7 * i));
    {
        RecordBuilder b;
        b.StandardInformation();
        b.FileName(5, 3, u"small");
        b.Resident(0x80, std::vector<uint8_t>(10, 1));
        Put(60, b.Finish());
    }
    lStageNumber = 2;
    std::string screen = Screen([] { GatherLast50(); });
    EXPECT_EQ(screen.rfind("*** STAGE 3 *** Gathering File Placement Data\n", 0), 0u) << screen;
    ASSERT_EQ(lLast50, 21);
    EXPECT_EQ(plLast50[0].Lcn, 0x10);
    EXPECT_EQ(std::u16string(plLast50[0].FileName), u"C:\\$MFTMirr");
    for (int i = 0; i < 20; i++) EXPECT_EQ(plLast50[1 + i].Lcn, 0x100 + 7 * i);
    EXPECT_EQ(std::u16string(plLast50[20].FileName), u"C:\\dir\\ft");
    EXPECT_NE(screen.find("@LCN 0x00000185: C:\\dir\\ft\n"), std::string::npos);
    EXPECT_EQ(screen.find("$MFT\n"), std::string::npos) << "record 0 takes no part";
}

}  // namespace
