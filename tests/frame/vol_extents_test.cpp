// Extent lists: merging, fragment counting and the start LCN of the current
// file, as named cases and as a property (a collapse never changes where any
// virtual cluster of the file lives).
#include <map>
#include <random>
#include <vector>

#include "vol_test_support.h"

using voltest::HasErrorReport;
using voltest::Screen;

namespace {

struct Span {
    LONGLONG lcn, count;
};

// The current file's list in a Global block of `capacity` entries; each
// entry's FileRecord holds its position, SourceLcn and the attribute fields
// recognisable values, so that a collapse touching them is seen.
class ExtentFile {
public:
    ExtentFile(const std::vector<Span> &runs, LONGLONG capacity = 16) {
        memset(&VolData, 0, sizeof VolData);
        void *p = nullptr;
        ok_ = AllocateMemory((DWORD)(capacity * sizeof(EXTENT_LIST)), &VolData.hExtentList, &p) != FALSE;
        VolData.pExtentList = (EXTENT_LIST *)p;
        VolData.ExtentListBytes = capacity * (LONGLONG)sizeof(EXTENT_LIST);
        for (size_t i = 0; ok_ && i < runs.size(); ++i) {
            EXTENT_LIST &e = VolData.pExtentList[i];
            e.StartingLcn = runs[i].lcn;
            e.ClusterCount = runs[i].count;
            e.FileRecord = 1000 + (LONGLONG)i;
            e.SourceLcn = 2000 + (LONGLONG)i;
            e.AttributeType = 0x80;
            e.AttributeIndex = 3000 + (ULONG)i;
        }
        VolData.NumberOfExtents = (LONGLONG)runs.size();
        VolData.NumberOfFragments = 77;
        VolData.bFragmented = 77;
        VolData.LowestLcn = 77;
    }
    ~ExtentFile() {
        if (VolData.hExtentList) {
            GlobalUnlock(VolData.hExtentList);
            GlobalFree(VolData.hExtentList);
        }
        memset(&VolData, 0, sizeof VolData);
    }
    bool ok() const { return ok_; }
    std::vector<Span> Runs() const {
        std::vector<Span> out;
        for (LONGLONG i = 0; i < VolData.NumberOfExtents; ++i)
            out.push_back({VolData.pExtentList[i].StartingLcn, VolData.pExtentList[i].ClusterCount});
        return out;
    }

private:
    bool ok_ = false;
};

bool operator==(const Span &a, const Span &b) { return a.lcn == b.lcn && a.count == b.count; }

std::ostream &operator<<(std::ostream &os, const std::vector<Span> &runs) {
    for (const Span &r : runs) os << "{" << r.lcn << "," << r.count << "}";
    return os;
}

}  // namespace

TEST(VolCollapseExtentList, NamedCases) {
    struct Case {
        const char *name;
        std::vector<Span> in;
        LONGLONG zoneStart, zoneEnd;
        std::vector<Span> out;
        LONGLONG fragments;
        BOOL fragmented;
        LONGLONG lowest;
    } cases[] = {
        {"adjacent runs merge", {{100, 10}, {110, 5}, {200, 1}}, 0, 0, {{100, 15}, {200, 1}}, 2, 1, 100},
        {"a sparse run between stops the merge",
         {{100, 10}, {-1, 4}, {110, 5}},
         0,
         0,
         {{100, 10}, {-1, 4}, {110, 5}},
         1,
         0,
         100},
        {"a chain merges into one run", {{100, 10}, {110, 5}, {115, 5}}, 0, 0, {{100, 20}}, 1, 0, 100},
        {"a sparse run never merges with a run at its numeric end",
         {{-1, 1}, {0, 5}},
         0,
         0,
         {{-1, 1}, {0, 5}},
         1,
         0,
         0},
        {"sparse runs do not merge with each other", {{-1, 1}, {-1, 4}}, 0, 0, {{-1, 1}, {-1, 4}}, 1, 0, 0},
        {"only sparse runs", {{-1, 8}}, 0, 0, {{-1, 8}}, 1, 0, 0},
        {"leading sparse runs are skipped", {{-1, 2}, {50, 5}, {10, 5}}, 0, 0, {{-1, 2}, {50, 5}, {10, 5}}, 2, 1, 10},
        {"first run in the MFT zone, second above it",
         {{100, 10}, {500, 10}},
         50,
         200,
         {{100, 10}, {500, 10}},
         2,
         1,
         500},
        {"a lower run inside the zone is not the start",
         {{500, 10}, {100, 10}},
         50,
         200,
         {{500, 10}, {100, 10}},
         2,
         1,
         500},
        {"every run inside the zone: the first run's LCN",
         {{150, 10}, {60, 10}},
         50,
         200,
         {{150, 10}, {60, 10}},
         2,
         1,
         150},
        {"one fragment inside the zone keeps its LCN", {{150, 10}, {160, 10}}, 50, 200, {{150, 20}}, 1, 0, 150},
        {"the lowest run outside the zone wins",
         {{900, 1}, {300, 1}, {700, 1}, {10, 1}},
         0,
         100,
         {{900, 1}, {300, 1}, {700, 1}, {10, 1}},
         4,
         1,
         300},
    };
    for (const Case &c : cases) {
        ExtentFile f(c.in);
        ASSERT_TRUE(f.ok());
        VolData.MftZoneStart = c.zoneStart;
        VolData.MftZoneEnd = c.zoneEnd;
        ASSERT_TRUE(CollapseExtentList()) << c.name;
        EXPECT_EQ(f.Runs(), c.out) << c.name;
        EXPECT_EQ(VolData.NumberOfFragments, c.fragments) << c.name;
        EXPECT_EQ(VolData.bFragmented, c.fragmented) << c.name;
        EXPECT_EQ(VolData.LowestLcn, c.lowest) << c.name;
    }
}

TEST(VolCollapseExtentList, OnlyLcnAndCountMove) {
    // Entry 1 merges into entry 0; entry 2 is copied into position 1, which
    // keeps its own record, source and attribute fields; position 2 is left
    // as it was.
    ExtentFile f({{100, 10}, {110, 5}, {300, 1}});
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(CollapseExtentList());
    ASSERT_EQ(VolData.NumberOfExtents, 2);
    const EXTENT_LIST *e = VolData.pExtentList;
    EXPECT_EQ(e[0].FileRecord, 1000);
    EXPECT_EQ(e[1].StartingLcn, 300);
    EXPECT_EQ(e[1].ClusterCount, 1);
    EXPECT_EQ(e[1].FileRecord, 1001);
    EXPECT_EQ(e[1].SourceLcn, 2001);
    EXPECT_EQ(e[1].AttributeIndex, 3001u);
    EXPECT_EQ(e[2].StartingLcn, 300);
    EXPECT_EQ(e[2].FileRecord, 1002);
}

TEST(VolCollapseExtentList, EmptyAndBadLists) {
    {
        ExtentFile f({});
        ASSERT_TRUE(f.ok());
        ASSERT_TRUE(CollapseExtentList());
        EXPECT_EQ(VolData.NumberOfExtents, 0);
        EXPECT_EQ(VolData.NumberOfFragments, 77);  // nothing changes
        EXPECT_EQ(VolData.bFragmented, 77);
        EXPECT_EQ(VolData.LowestLcn, 77);
    }
    {
        // A count beyond the allocated list is refused before anything is read.
        ExtentFile f({{100, 10}, {110, 5}}, 2);
        ASSERT_TRUE(f.ok());
        VolData.NumberOfExtents = 3;
        BOOL ok = TRUE;
        std::string screen = Screen([&] { ok = CollapseExtentList(); });
        EXPECT_FALSE(ok);
        EXPECT_TRUE(HasErrorReport(screen));
        EXPECT_EQ(VolData.pExtentList[0].ClusterCount, 10);
        EXPECT_EQ(VolData.NumberOfFragments, 77);
    }
    {
        ExtentFile f({{100, 10}});
        ASSERT_TRUE(f.ok());
        BOOL ok = TRUE;
        std::string screen = Screen([&] { ok = GetLowestStartingLcn(nullptr); });
        EXPECT_FALSE(ok);
        EXPECT_TRUE(HasErrorReport(screen));
    }
}

TEST(VolCollapseExtentList, KeepsEveryVirtualClusterInPlace) {
    std::mt19937_64 rng(7310);
    for (int round = 0; round < 2000; ++round) {
        std::vector<Span> runs;
        LONGLONG lcn = (LONGLONG)(rng() % 50);
        size_t n = 1 + rng() % 12;
        for (size_t i = 0; i < n; ++i) {
            LONGLONG count = 1 + (LONGLONG)(rng() % 6);
            switch (rng() % 4) {
            case 0:
                runs.push_back({-1, count});
                break;  // sparse
            case 1:
                runs.push_back({lcn, count});
                lcn += count;
                break;  // adjacent to the last
            default:
                lcn = (LONGLONG)(rng() % 80);
                runs.push_back({lcn, count});
                lcn += count;
                break;
            }
        }
        // Where each virtual cluster lives before the collapse (-1: sparse).
        std::vector<LONGLONG> before;
        for (const Span &r : runs)
            for (LONGLONG k = 0; k < r.count; ++k) before.push_back(r.lcn == -1 ? -1 : r.lcn + k);

        ExtentFile f(runs);
        ASSERT_TRUE(f.ok());
        ASSERT_TRUE(CollapseExtentList());
        std::vector<LONGLONG> after;
        std::vector<Span> out = f.Runs();
        for (const Span &r : out)
            for (LONGLONG k = 0; k < r.count; ++k) after.push_back(r.lcn == -1 ? -1 : r.lcn + k);
        ASSERT_EQ(after, before) << "runs " << runs;
        // No two neighbours that could have merged are left apart.
        for (size_t i = 1; i < out.size(); ++i)
            ASSERT_FALSE(out[i].lcn != -1 && out[i - 1].lcn != -1 && out[i].lcn == out[i - 1].lcn + out[i - 1].count)
                << "runs " << runs;
        // Fragments: breaks between consecutive runs on disk, plus one.
        LONGLONG fragments = 1, end = -2;
        for (const Span &r : out) {
            if (r.lcn == -1) continue;
            if (end != -2 && r.lcn != end) ++fragments;
            end = r.lcn + r.count;
        }
        ASSERT_EQ(VolData.NumberOfFragments, fragments) << "runs " << runs;
        ASSERT_EQ(VolData.bFragmented, fragments >= 2 ? 1 : 0);
    }
}
