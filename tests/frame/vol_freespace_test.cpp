// The in-memory volume bitmap and the free-space search, on bitmaps built in
// memory: the run finder's edge cases, every search mode, zone marking, the
// block-size guards, and a property test against a bit-by-bit model.
#include <bit>
#include <random>

#include "vol_reference.h"
#include "vol_test_support.h"

using voltest::BitmapVolume;
using voltest::HasErrorReport;
using voltest::Screen;

namespace {

constexpr LONGLONG kJunk = 0x5A5A5A5A5A5ALL;

struct Extent {
    LONGLONG cursor, lcn, len;
};

Extent Find(BitmapVolume &v, LONGLONG from, LONGLONG rangeEnd) {
    Extent e{from, kJunk, kJunk};
    FindFreeExtent(v.bits(), rangeEnd, &e.cursor, &e.lcn, &e.len);
    return e;
}

void Search(LONGLONG start, LONGLONG end, LONGLONG needed) {
    VolData.SearchStartLcn = start;
    VolData.SearchEndLcn = end;
    VolData.NumberOfClusters = needed;
    VolData.FoundLcn = kJunk;
    VolData.FoundLen = kJunk;
}

}  // namespace

TEST(VolBitmapGeometry, SizesAndBitCounts) {
    for (unsigned b = 0; b < 256; ++b) EXPECT_EQ(CountBitsArray[b], std::popcount(b)) << "byte " << b;

    EXPECT_EQ(BitmapSizeBitsFor(0), 32);
    EXPECT_EQ(BitmapSizeBitsFor(1), 64);
    EXPECT_EQ(BitmapSizeBitsFor(4096), 4128);
    EXPECT_EQ(BitmapSizeBitsFor(4097), 4160);

    // The block must hold what GetVolumeBitmap clears, and the header plus
    // every whole cluster of the volume's bitmap file (its bytes rounded up
    // to 8, then to whole clusters), for every cluster count near a cluster
    // boundary of the bitmap file.
    memset(&VolData, 0, sizeof VolData);
    for (LONGLONG cluster : {512LL, 1024LL, 4096LL, 65536LL}) {
        for (LONGLONG k = 1; k <= 3; ++k) {
            for (LONGLONG delta = -70; delta <= 70; ++delta) {
                LONGLONG total = k * cluster * 8 + delta;
                VolData.TotalClusters = total;
                VolData.BitmapSizeBits = BitmapSizeBitsFor(total);
                VolData.BytesPerCluster = cluster;
                LONGLONG block = VolumeBitmapBlockBytes();
                LONGLONG fileBytes = ((total + 7) / 8 + 7) / 8 * 8;
                LONGLONG fileAlloc = (fileBytes + cluster - 1) / cluster * cluster;
                ASSERT_GE(block, VolData.BitmapSizeBits / 8 + 24) << total;
                ASSERT_GE(block, 16 + fileAlloc) << total << " clusters of " << cluster;
            }
        }
    }
    VolData.BitmapSizeBits = 100;  // not whole words
    EXPECT_EQ(VolumeBitmapBlockBytes(), 0);
    memset(&VolData, 0, sizeof VolData);
}

// ------------------------------------------------------------ FindFreeExtent

TEST(VolFindFreeExtent, RunsAtTheStartOfTheVolume) {
    BitmapVolume v(200);
    ASSERT_TRUE(v.ok());
    // Cluster 0 free, 1 in use, 2 onward free: the run is reported from 2.
    v.SetUsed(1, 2);
    Extent e = Find(v, 0, 200);
    EXPECT_EQ(e.lcn, 2);
    EXPECT_EQ(e.len, 198);
    EXPECT_EQ(e.cursor, 200);

    // A free cluster 0 followed by free clusters: reported from 1.
    v.SetFree(0, 200);
    e = Find(v, 0, 200);
    EXPECT_EQ(e.lcn, 1);
    EXPECT_EQ(e.len, 199);

    // Only cluster 0 free: nothing at all.
    v.SetUsed(1, 200);
    e = Find(v, 0, 200);
    EXPECT_EQ(e.lcn, 0);
    EXPECT_EQ(e.len, 0);
}

TEST(VolFindFreeExtent, WordSkippingAndRangeEnd) {
    BitmapVolume v(256);
    ASSERT_TRUE(v.ok());
    v.SetUsed(0, 256);

    // Bits 0-9 set, 10-19 clear, 20 set.
    v.SetFree(10, 20);
    Extent e = Find(v, 0, 100);
    EXPECT_EQ(e.lcn, 10);
    EXPECT_EQ(e.len, 10);
    EXPECT_EQ(e.cursor, 20);  // the cluster after the run

    // Range end 40 with clusters 32-63 free: the whole free word is taken.
    v.SetUsed(0, 256);
    v.SetFree(32, 64);
    e = Find(v, 0, 40);
    EXPECT_EQ(e.lcn, 32);
    EXPECT_EQ(e.len, 32);
    EXPECT_EQ(e.cursor, 64);

    // The most a run can overshoot: 31 clusters past a range end of 33.
    e = Find(v, 0, 33);
    EXPECT_EQ(e.lcn, 32);
    EXPECT_EQ(e.len, 32);

    // A run starting inside a word reaches a whole free word before the range
    // end and takes it whole.
    v.SetFree(20, 32);
    e = Find(v, 0, 40);
    EXPECT_EQ(e.lcn, 20);
    EXPECT_EQ(e.len, 44);
    v.SetUsed(20, 32);

    // The range end inside a word that is not wholly free cuts the run there.
    v.SetUsed(50, 51);
    e = Find(v, 0, 40);
    EXPECT_EQ(e.lcn, 32);
    EXPECT_EQ(e.len, 8);

    // A run starting inside a word and crossing whole free words ends at the
    // exact used bit.
    v.SetUsed(0, 256);
    v.SetFree(40, 151);
    e = Find(v, 33, 256);
    EXPECT_EQ(e.lcn, 40);
    EXPECT_EQ(e.len, 111);
    EXPECT_EQ(e.cursor, 151);

    // A start on the last cluster of the range gives a run of one.
    e = Find(v, 33, 41);
    EXPECT_EQ(e.lcn, 40);
    EXPECT_EQ(e.len, 1);

    // Whole used words skipped past the range end: nothing found.
    v.SetUsed(0, 256);
    v.SetFree(100, 110);
    e = Find(v, 0, 70);
    EXPECT_EQ(e.len, 0);
    EXPECT_GE(e.cursor, 70);
}

TEST(VolFindFreeExtent, RejectedCallsGiveNothing) {
    BitmapVolume v(100);
    ASSERT_TRUE(v.ok());
    Extent e{};
    std::string screen = Screen([&] { e = Find(v, 0, 101); }, 6);
    EXPECT_EQ(e.lcn, 0);
    EXPECT_EQ(e.len, 0);
    EXPECT_EQ(e.cursor, 0);
    EXPECT_NE(screen.find("FindFreeExtent called with RangeEnd > TotalClusters"), std::string::npos) << screen;

    screen = Screen([&] { e = Find(v, 50, 50); }, 6);
    EXPECT_EQ(e.len, 0);
    EXPECT_EQ(e.cursor, 50);
    EXPECT_NE(screen.find("FindFreeExtent called with LCN > RangeEnd"), std::string::npos) << screen;

    LONGLONG lcn = kJunk, len = kJunk;
    screen = Screen([&] { FindFreeExtent(v.bits(), 100, nullptr, &lcn, &len); }, 6);
    EXPECT_EQ(lcn, 0);
    EXPECT_EQ(len, 0);
    EXPECT_NE(screen.find("FindFreeExtent called with nullptr arg"), std::string::npos) << screen;

    e = Find(v, -5, 100);
    EXPECT_EQ(e.len, 0);
    EXPECT_EQ(e.cursor, -5);

    // The trace lines stay off the screen at the usual levels.
    screen = Screen([&] { e = Find(v, 0, 101); }, 5);
    EXPECT_EQ(screen, "");
}

// ------------------------------------------------------------- FindFreeSpace

TEST(VolFindFreeSpace, FirstFit) {
    BitmapVolume v(100);
    ASSERT_TRUE(v.ok());
    v.SetUsed(0, 100);
    v.SetFree(10, 20);

    Search(0, 100, 5);
    EXPECT_TRUE(FindFreeSpace(FFS_FIRST_FIT));
    EXPECT_EQ(VolData.FoundLcn, 10);
    EXPECT_EQ(VolData.FoundLen, 10);  // the whole run, longer than needed

    Search(0, 100, 11);
    EXPECT_TRUE(FindFreeSpace(FFS_FIRST_FIT));
    EXPECT_EQ(VolData.FoundLen, 0);

    // Shorter runs are passed over for a later one that fits.
    v.SetFree(50, 70);
    Search(0, 100, 11);
    EXPECT_TRUE(FindFreeSpace(FFS_FIRST_FIT));
    EXPECT_EQ(VolData.FoundLcn, 50);
    EXPECT_EQ(VolData.FoundLen, 20);

    // The window's start is honoured.
    Search(15, 100, 3);
    EXPECT_TRUE(FindFreeSpace(FFS_FIRST_FIT));
    EXPECT_EQ(VolData.FoundLcn, 15);
    EXPECT_EQ(VolData.FoundLen, 5);

    // A window end beyond the volume finds nothing rather than reading past it.
    Search(0, 101, 1);
    EXPECT_TRUE(FindFreeSpace(FFS_FIRST_FIT));
    EXPECT_EQ(VolData.FoundLen, 0);
}

// The table of longest free runs (the paging-file minimisation's): longest
// first, the later of equal runs in front, a full table keeping the
// longest, only the part of a run inside the window counted.
TEST(VolLongestFreeRuns, LongestFirstLaterOfEqualFirstFullTableKeepsTheLongest) {
    BitmapVolume v(400);
    ASSERT_TRUE(v.ok());
    v.SetUsed(0, 400);
    const std::pair<LONGLONG, LONGLONG> runs[] = {{10, 5}, {40, 9}, {70, 3}, {100, 9}, {150, 7}, {300, 9}};
    for (auto [lcn, length] : runs) v.SetFree(lcn, lcn + length);
    FREE_RUN table[8];
    LONGLONG used = CollectLongestFreeRuns(v.bits(), 0, 400, table, 8);
    std::vector<std::pair<LONGLONG, LONGLONG>> got;
    for (LONGLONG i = 0; i < used; i++) got.push_back({table[i].StartingLcn, table[i].ClusterCount});
    EXPECT_EQ(got,
              (std::vector<std::pair<LONGLONG, LONGLONG>>{{300, 9}, {100, 9}, {40, 9}, {150, 7}, {10, 5}, {70, 3}}));

    used = CollectLongestFreeRuns(v.bits(), 0, 400, table, 2);
    ASSERT_EQ(used, 2);
    EXPECT_EQ(table[0].StartingLcn, 300);
    EXPECT_EQ(table[1].StartingLcn, 100);

    // The window cuts the last run to 4 clusters: the 9 at 100 wins.
    used = CollectLongestFreeRuns(v.bits(), 0, 304, table, 8);
    EXPECT_EQ(table[0].StartingLcn, 100);
    EXPECT_EQ(table[used - 1].ClusterCount, 3);
    EXPECT_EQ(CollectLongestFreeRuns(v.bits(), 0, 10, table, 8), 0) << "no free run";
}

TEST(VolFindFreeSpace, MftZoneCut) {
    BitmapVolume v(1000, FS_NTFS);
    ASSERT_TRUE(v.ok());
    v.SetUsed(0, 1000);
    VolData.MftZoneStart = 300;
    VolData.MftZoneEnd = 500;

    // A run crossing MftZoneStart: only its part below the zone is offered.
    v.SetFree(250, 350);
    Search(0, 1000, 10);
    ASSERT_TRUE(FindFreeSpace(FFS_FIRST_FIT));
    EXPECT_EQ(VolData.FoundLcn, 250);
    EXPECT_EQ(VolData.FoundLen, 50);
    Search(0, 1000, 51);
    ASSERT_TRUE(FindFreeSpace(FFS_FIRST_FIT));
    EXPECT_EQ(VolData.FoundLen, 0);

    // A window that ends at MftZoneEnd searches inside the zone.
    Search(0, 500, 51);
    ASSERT_TRUE(FindFreeSpace(FFS_FIRST_FIT));
    EXPECT_EQ(VolData.FoundLcn, 250);
    EXPECT_EQ(VolData.FoundLen, 100);

    // A run wholly inside the zone is skipped; one starting inside keeps its
    // part from MftZoneEnd on.
    v.SetUsed(0, 1000);
    v.SetFree(320, 380);
    v.SetFree(450, 600);
    Search(0, 1000, 1);
    ASSERT_TRUE(FindFreeSpace(FFS_FIRST_FIT));
    EXPECT_EQ(VolData.FoundLcn, 500);
    EXPECT_EQ(VolData.FoundLen, 100);

    // A run covering the whole zone keeps its part before the zone.
    v.SetFree(200, 700);
    Search(0, 1000, 1);
    ASSERT_TRUE(FindFreeSpace(FFS_FIRST_FIT));
    EXPECT_EQ(VolData.FoundLcn, 200);
    EXPECT_EQ(VolData.FoundLen, 100);

    // FAT volumes have no MFT zone to keep clear.
    VolData.FileSystem = FS_FAT32;
    Search(0, 1000, 1);
    ASSERT_TRUE(FindFreeSpace(FFS_FIRST_FIT));
    EXPECT_EQ(VolData.FoundLcn, 200);
    EXPECT_EQ(VolData.FoundLen, 500);
}

TEST(VolFindFreeSpace, EveryMode) {
    BitmapVolume v(1000);
    ASSERT_TRUE(v.ok());
    v.SetUsed(0, 1000);
    v.SetFree(100, 105);  // 5
    v.SetFree(200, 220);  // 20
    v.SetFree(300, 308);  // 8
    v.SetFree(400, 420);  // 20
    v.SetFree(500, 503);  // 3
    struct Case {
        const char *name;
        ULONG mode;
        LONGLONG lcn, len;
    } cases[] = {
        {"first fit", FFS_FIRST_FIT, 200, 20},
        {"best fit", FFS_BEST_FIT, 300, 8},
        {"last fit", FFS_LAST_FIT, 400, 20},
        {"first of any length", FFS_FIRST_ANY, 100, 5},
        {"last of any length", FFS_LAST_ANY, 500, 3},
        {"longest, first of equals", FFS_LONGEST, 200, 20},
        {"first fit at the end", FFS_FIRST_FIT | FFS_AT_END, 214, 6},
        {"best fit at the end", FFS_BEST_FIT | FFS_AT_END, 302, 6},
        {"last of any length at the end, too short", FFS_LAST_ANY | FFS_AT_END, 500, 3},
    };
    for (const Case &c : cases) {
        Search(0, 1000, 6);
        ASSERT_TRUE(FindFreeSpace(c.mode)) << c.name;
        EXPECT_EQ(VolData.FoundLcn, c.lcn) << c.name;
        EXPECT_EQ(VolData.FoundLen, c.len) << c.name;
    }

    Search(0, 1000, 6);
    VolData.FreeRunCount = kJunk;
    VolData.FreeRunClusters = kJunk;
    ASSERT_TRUE(FindFreeSpace(FFS_COUNT_RUNS));
    EXPECT_EQ(VolData.FreeRunCount, 5);
    EXPECT_EQ(VolData.FreeRunClusters, 56);
    EXPECT_EQ(VolData.FoundLen, 0);

    for (ULONG bad : {0u, (ULONG)FFS_AT_END, (ULONG)(FFS_FIRST_FIT | FFS_BEST_FIT), 0x8u, 0x200u,
                      (ULONG)(FFS_COUNT_RUNS | FFS_FIRST_FIT)}) {
        Search(0, 1000, 6);
        BOOL ok = TRUE;
        std::string screen = Screen([&] { ok = FindFreeSpace(bad); });
        EXPECT_FALSE(ok) << "mode " << bad;
        EXPECT_TRUE(HasErrorReport(screen)) << "mode " << bad;
        EXPECT_EQ(VolData.FoundLen, 0);
    }
}

TEST(VolFindFreeSpace, RefusesABadBitmapBlock) {
    BitmapVolume v(1000);
    ASSERT_TRUE(v.ok());
    // A bitmap that claims more clusters than the block holds is never read.
    VolData.TotalClusters = 100000;
    VolData.BitmapSizeBits = BitmapSizeBitsFor(100000);
    Search(0, 100000, 1);
    BOOL ok = TRUE;
    std::string screen = Screen([&] { ok = FindFreeSpace(FFS_FIRST_FIT); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(HasErrorReport(screen));
    EXPECT_EQ(VolData.FoundLen, 0);

    HGLOBAL block = VolData.hVolumeBitmap;
    VolData.hVolumeBitmap = nullptr;
    screen = Screen([&] { ok = FindFreeSpace(FFS_FIRST_FIT); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(HasErrorReport(screen));
    VolData.hVolumeBitmap = block;
}

// ------------------------------------------------------------- zone marking

TEST(VolMarkZone, MarksExactlyTheRange) {
    const LONGLONG total = 300;
    struct Case {
        LONGLONG first, count;
    } cases[] = {{0, 0}, {0, 1}, {5, 10}, {31, 1}, {31, 2}, {30, 36}, {32, 32}, {33, 100}, {64, 64}, {1, 298}};
    for (const Case &c : cases) {
        BitmapVolume v(total);
        ASSERT_TRUE(v.ok());
        ASSERT_TRUE(MarkZoneUnavailable(c.first, c.count));
        for (LONGLONG n = 0; n < total; ++n)
            ASSERT_EQ(v.Used(n), n >= c.first && n < c.first + c.count)
                << "cluster " << n << " after marking " << c.first << "+" << c.count;
    }

    // A range running past the volume stops at the end of the bitmap.
    BitmapVolume v(total);
    ASSERT_TRUE(v.ok());
    std::vector<BYTE> before(v.block(), v.block() + VolumeBitmapBlockBytes());
    ASSERT_TRUE(MarkZoneUnavailable(290, 1000000));
    for (LONGLONG n = 0; n < total; ++n) ASSERT_EQ(v.Used(n), n >= 290);
    LONGLONG bitEnd = 16 + VolData.BitmapSizeBits / 8;
    EXPECT_TRUE(std::equal(v.block() + bitEnd, v.block() + VolumeBitmapBlockBytes(), before.begin() + bitEnd));

    BOOL ok = TRUE;
    std::string screen = Screen([&] { ok = MarkZoneUnavailable(-1, 10); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(HasErrorReport(screen));
    EXPECT_FALSE(v.Used(0));
}

TEST(VolMarkZone, MftZoneOnlyOnNtfs) {
    BitmapVolume v(500, FS_FAT32);
    ASSERT_TRUE(v.ok());
    VolData.MftZoneStart = 100;
    VolData.MftZoneLimit = 200;
    std::vector<BYTE> before(v.block(), v.block() + VolumeBitmapBlockBytes());
    ASSERT_TRUE(MarkMFTZoneUnavailable());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), v.block()));

    VolData.FileSystem = FS_NTFS;
    ASSERT_TRUE(MarkMFTZoneUnavailable());
    for (LONGLONG n = 0; n < 500; ++n) ASSERT_EQ(v.Used(n), n >= 100 && n < 200) << n;

    // A limit below the start marks nothing.
    v.SetFree(0, 500);
    VolData.MftZoneLimit = 50;
    ASSERT_TRUE(MarkMFTZoneUnavailable());
    for (LONGLONG n = 0; n < 500; ++n) ASSERT_FALSE(v.Used(n)) << n;
}

// ---------------------------------------------------- GetVolumeBitmap guards

TEST(VolGetVolumeBitmap, FailureLeavesNoFreeSpace) {
    BitmapVolume v(1000);
    ASSERT_TRUE(v.ok());
    VolData.hVolume = INVALID_HANDLE_VALUE;  // the request cannot succeed
    BOOL ok = TRUE;
    std::string screen = Screen([&] { ok = GetVolumeBitmap(); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(HasErrorReport(screen));
    for (LONGLONG n = 0; n < VolData.BitmapSizeBits; ++n) ASSERT_TRUE(v.Used(n)) << n;
    Search(0, 1000, 1);
    ASSERT_TRUE(FindFreeSpace(FFS_FIRST_FIT));
    EXPECT_EQ(VolData.FoundLen, 0);
}

TEST(VolGetVolumeBitmap, RefusesABlockTooSmallToClear) {
    BitmapVolume v(1000);
    ASSERT_TRUE(v.ok());
    // A block sized for fewer clusters than the volume has: nothing is written.
    HGLOBAL small = nullptr;
    void *p = nullptr;
    DWORD smallBytes = (DWORD)(VolData.BitmapSizeBits / 8 + 23);
    ASSERT_TRUE(AllocateMemory(smallBytes, &small, &p));
    memset(p, 0xA5, smallBytes);
    HGLOBAL good = VolData.hVolumeBitmap;
    VolData.hVolumeBitmap = small;
    BOOL ok = TRUE;
    std::string screen = Screen([&] { ok = GetVolumeBitmap(); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(HasErrorReport(screen));
    for (DWORD i = 0; i < smallBytes; ++i) ASSERT_EQ(((BYTE *)p)[i], 0xA5) << i;
    VolData.hVolumeBitmap = good;
    GlobalUnlock(small);
    GlobalFree(small);
}

// ------------------------------------------------------------ property test

namespace {

// A random bitmap of runs: alternately used and free, with lengths drawn
// from short, medium and word-sized ranges so that word boundaries, whole
// words and single bits all occur.
void FillRandom(BitmapVolume &v, LONGLONG total, std::mt19937_64 &rng, bool longRuns = false) {
    std::uniform_int_distribution<int> kind(0, longRuns ? 10 : 9);
    bool used = rng() & 1;
    LONGLONG n = 0;
    while (n < total) {
        int k = kind(rng);
        LONGLONG len = k < 4    ? 1 + (LONGLONG)(rng() % 4)
                       : k < 8  ? 1 + (LONGLONG)(rng() % 40)
                       : k < 10 ? 32 + (LONGLONG)(rng() % 200)
                                : 1000 + (LONGLONG)(rng() % 12000);  // across units of the summary
        LONGLONG end = std::min(total, n + len);
        if (used)
            v.SetUsed(n, end);
        else
            v.SetFree(n, end);
        used = !used;
        n = end;
    }
}

LONGLONG Pick(std::mt19937_64 &rng, LONGLONG total) {
    switch (rng() % 5) {
    case 0:
        return total;
    case 1:
        return 0;
    case 2:
        return std::min(total, (LONGLONG)(rng() % (total / 32 + 1)) * 32);
    default:
        return (LONGLONG)(rng() % (total + 1));
    }
}

}  // namespace

// The same searches with the free-space summary of a kept bitmap (see
// bitcache.cpp) as without: GetParam() is true for the summary, on larger
// bitmaps with free runs across its units.
class VolFreeSpaceProperty : public testing::TestWithParam<bool> {};

TEST_P(VolFreeSpaceProperty, AgreesWithBitByBitModel) {
    const bool summary = GetParam();
    std::mt19937_64 rng(summary ? 20260112 : 20240611);
    const ULONG modes[] = {FFS_FIRST_FIT,
                           FFS_BEST_FIT,
                           FFS_LAST_FIT,
                           FFS_FIRST_ANY,
                           FFS_LAST_ANY,
                           FFS_LONGEST,
                           FFS_FIRST_FIT | FFS_AT_END,
                           FFS_BEST_FIT | FFS_AT_END,
                           FFS_LAST_FIT | FFS_AT_END,
                           FFS_LONGEST | FFS_AT_END,
                           FFS_COUNT_RUNS};
    int found = 0, cut = 0;
    for (int round = 0; round < (summary ? 150 : 400); ++round) {
        LONGLONG total = 1 + (LONGLONG)(rng() % (summary && round % 2 ? 40000 : 3000));
        bool ntfs = rng() % 3 != 0;
        BitmapVolume v(total, ntfs ? FS_NTFS : FS_FAT);
        ASSERT_TRUE(v.ok());
        FillRandom(v, total, rng, summary);
        if (rng() % 4 == 0) v.SetFree(0, std::min<LONGLONG>(total, 1 + rng() % 40));  // runs at LCN 0
        if (summary) {
            LONGLONG bytes = VolData.BitmapSizeBits / 8;
            BYTE *copy = BeginVolumeBitmapCopy(bytes);
            ASSERT_NE(copy, nullptr);
            memcpy(copy, v.bits(), (size_t)bytes);
            KeepVolumeBitmapCopy(TRUE);
            ASSERT_TRUE(VolumeBitmapCopyKept());
        }

        for (int q = 0; q < 25; ++q) {
            LONGLONG a = Pick(rng, total), b = Pick(rng, total);
            if (rng() % 8 == 0) b = total + 1 + (LONGLONG)(rng() % 40);  // past the volume
            VolData.MftZoneStart = Pick(rng, total);
            VolData.MftZoneEnd = VolData.MftZoneStart + (LONGLONG)(rng() % 300);
            if (rng() % 6 == 0) b = VolData.MftZoneEnd;
            LONGLONG needed = (LONGLONG)(rng() % (summary && rng() % 2 ? 8000 : 60));
            volref::Search s{v.bits(), total, std::min(a, b),       std::max(a, b),
                             needed,   ntfs,  VolData.MftZoneStart, VolData.MftZoneEnd};
            if (rng() % 5 == 0) std::swap(s.start, s.end);  // empty or reversed windows too
            for (ULONG mode : modes) {
                Search(s.start, s.end, needed);
                ASSERT_TRUE(FindFreeSpace(mode));
                volref::Result r = volref::FindSpace(s, mode);
                ASSERT_TRUE(r.ok);
                if (mode == FFS_COUNT_RUNS) {
                    ASSERT_EQ(VolData.FreeRunCount, r.runs) << "round " << round << " query " << q;
                    ASSERT_EQ(VolData.FreeRunClusters, r.clusters) << "round " << round << " query " << q;
                } else {
                    ASSERT_EQ(VolData.FoundLcn, r.lcn) << "round " << round << " query " << q << " mode " << mode;
                    ASSERT_EQ(VolData.FoundLen, r.len) << "round " << round << " query " << q << " mode " << mode;
                    if (r.len > 0) ++found;
                }
            }
            if (ntfs && s.end != VolData.MftZoneEnd && VolData.MftZoneStart < VolData.MftZoneEnd) ++cut;

            // The run finder itself, call after call, cursor included.
            LONGLONG cursor = s.start, refCursor = s.start;
            while (cursor < s.end) {
                LONGLONG lcn = kJunk, len = kJunk;
                FindFreeExtent(v.bits(), s.end, &cursor, &lcn, &len);
                volref::Run run;
                volref::FindRun(v.bits(), total, s.end, &refCursor, &run);
                ASSERT_EQ(lcn, run.lcn);
                ASSERT_EQ(len, run.len);
                ASSERT_EQ(cursor, refCursor);
                if (len == 0) break;
                // A run never covers a used cluster nor cluster 0, and ends
                // at most 31 clusters past the range end.
                ASSERT_GT(lcn, 0);
                ASSERT_LE(lcn + len, s.end + 31);
                for (LONGLONG n = lcn; n < lcn + len; ++n) ASSERT_FALSE(v.Used(n)) << n;
            }
        }
        ForgetVolumeBitmapCopy();
    }
    // The random cases reached the interesting paths.
    EXPECT_GT(found, 1000);
    EXPECT_GT(cut, 500);
}

TEST(VolClaimClusters, ClearsWhatItClaimsAndStopsAtTheFirstClusterNotInUse) {
    // 40 clusters in use, then 8 free, then 16 in use: 64 bits.
    std::vector<BYTE> bits = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xFF};
    LONGLONG conflict = kJunk;
    // Across whole bytes and part bytes.
    EXPECT_TRUE(ClaimClusters(bits.data(), 64, 3, 20, &conflict));
    EXPECT_EQ(conflict, kJunk);
    EXPECT_EQ(bits[0], 0x07);
    EXPECT_EQ(bits[1], 0x00);
    EXPECT_EQ(bits[2], 0x80);
    // A cluster claimed before, and one marked free: the first such one.
    EXPECT_FALSE(ClaimClusters(bits.data(), 64, 22, 4, &conflict));
    EXPECT_EQ(conflict, 22);
    EXPECT_FALSE(ClaimClusters(bits.data(), 64, 36, 8, &conflict));
    EXPECT_EQ(conflict, 40);
    EXPECT_EQ(bits[4], 0x0F) << "the clusters before the conflict are claimed";
    // Outside the bit array: its first cluster there.
    EXPECT_FALSE(ClaimClusters(bits.data(), 64, 60, 8, &conflict));
    EXPECT_EQ(conflict, 64);
    EXPECT_FALSE(ClaimClusters(bits.data(), 64, 70, 1, &conflict));
    EXPECT_EQ(conflict, 70);
    EXPECT_FALSE(ClaimClusters(bits.data(), 64, -1, 1, &conflict));
    EXPECT_EQ(conflict, -1);
    // Nothing to claim.
    EXPECT_TRUE(ClaimClusters(bits.data(), 64, 30, 0, &conflict));
}

INSTANTIATE_TEST_SUITE_P(Search, VolFreeSpaceProperty, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &i) { return i.param ? "Summary" : "Scan"; });
