// Move legality: the built-in patterns by option, the user's patterns, the
// excluded-record list of bootntfs and the pattern test of bootfat.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame_support.h"
#ifdef BOOT_NTFS
#include "ntfs.h"
#endif

namespace {

class Legality : public ::testing::Test {
protected:
    void SetUp() override {
        memset(&VolData, 0, sizeof VolData);
        bDfrgBins = 0;
        bDfrgShel = 0;
        bExcludes = 0;
        lExcludes = 0;
        lLogLevel = 0;
        bLogFile = 0;
        bScreenLog = 0;
        llUsedFrns = llMaxFrns = 0;
#ifdef BOOT_NTFS
        ASSERT_TRUE(AllocateMemory(200 * sizeof(LONGLONG), &hExcludedFrns, (void **)&pExcludedFrns));
        llMaxFrns = 200;
#endif
        units_ = dwNumUnits;
    }
    void TearDown() override {
        if (hExcludedFrns) {
            GlobalUnlock(hExcludedFrns);
            GlobalFree(hExcludedFrns);
        }
        hExcludedFrns = nullptr;
        pExcludedFrns = nullptr;
        llUsedFrns = llMaxFrns = 0;
        bExcludes = 0;
        lExcludes = 0;
        lLogLevel = 0;
        bScreenLog = 0;
    }
    void SetPath(const std::u16string &path) {
        memcpy(VolData.cFileName, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    }
    void AddUserPattern(const std::u16string &pattern) {
        memcpy(pExcludes[lExcludes], pattern.c_str(), (pattern.size() + 1) * sizeof(WCHAR));
        lExcludes++;
        bExcludes = 1;
    }
    // Whether the file at path, with record frn, may move, after the
    // program's own decision: bootntfs gathers (CheckExcluded) then looks up.
    bool Legal(const std::u16string &path, LONGLONG frn = 100) {
        SetPath(path);
        VolData.FileRecordNumber = frn;
#ifdef BOOT_NTFS
        EXPECT_TRUE(CheckExcluded());
#endif
        return LegalToMove() != FALSE;
    }
    DWORD units_ = 0;
};

struct OptionCase {
    const char16_t *path;
    bool legalByDefault;  // no option
    bool legalWithBins;   // DFRGBINS
    bool legalWithBoth;   // DFRGBINS DFRGSHEL
};

// DFRGSHEL alone changes nothing, so it is checked against the default.
const OptionCase kOptionCases[] = {
    {u"C:\\BOOTSECT.DOS", false, false, false},
    {u"C:\\old\\Bootsect.dos", false, false, false},
    {u"C:\\safeboot.fs", false, false, false},
    {u"C:\\SAFEBOOT.CSV", false, false, false},
    {u"C:\\safeboot.rsv", false, false, false},
    {u"C:\\data\\safeboot.rsv", true, true, true},
    {u"C:\\Profiles\\ShellIconCache", false, false, true},
    {u"C:\\RECYCLER", false, true, true},
    {u"C:\\RECYCLER\\S-1-5-21\\INFO2", false, true, true},
    {u"C:\\recycled", false, true, true},
    {u"C:\\Recycled\\DC1.TXT", false, true, true},
    {u"C:\\RECYCLEDX", true, true, true},
    {u"C:\\data\\report.doc", true, true, true},
    {u"C:\\pagefile.sys", true, true, true},
};

TEST_F(Legality, BuiltInPatternsByOption) {
    struct Options {
        BOOL bins, shell;
        const char *name;
    } options[] = {{0, 0, "none"}, {0, 1, "DFRGSHEL"}, {1, 0, "DFRGBINS"}, {1, 1, "DFRGBINS DFRGSHEL"}};
    LONGLONG frn = 1000;
    for (const Options &o : options) {
        bDfrgBins = o.bins;
        bDfrgShel = o.shell;
        for (const OptionCase &c : kOptionCases) {
            bool expected = o.bins ? (o.shell ? c.legalWithBoth : c.legalWithBins) : c.legalByDefault;
            EXPECT_EQ(Legal((const WCHAR *)c.path, frn++), expected)
                << o.name << ": " << std::string(c.path, c.path + std::char_traits<char16_t>::length(c.path));
        }
    }
}

TEST_F(Legality, ExtendFolderOnlyOnNtfs) {
    // The NTFS extension directory is the file system's own; FAT has none.
#ifdef BOOT_NTFS
    EXPECT_FALSE(Legal(u"C:\\$Extend\\$Quota"));
#else
    EXPECT_TRUE(Legal(u"C:\\$Extend\\$Quota"));
#endif
    EXPECT_TRUE(Legal(u"C:\\$Extend", 101));
}

TEST_F(Legality, UserPatternsInRowOrder) {
    AddUserPattern(u"*.TMP");
    AddUserPattern(u"*\\KEEP\\*");
    AddUserPattern(u"");  // an empty piece of EX= matches nothing
    EXPECT_FALSE(Legal(u"C:\\work\\a.tmp", 200));
    EXPECT_FALSE(Legal(u"C:\\Keep\\b.txt", 201));
    EXPECT_TRUE(Legal(u"C:\\work\\a.tmp.old", 202));
    EXPECT_TRUE(Legal(u"C:\\keep", 203));
    // Rows past lExcludes are not patterns (they start as dots).
    lExcludes = 1;
    EXPECT_TRUE(Legal(u"C:\\Keep\\c.txt", 204));
    // Without bExcludes the rows are not consulted at all.
    bExcludes = 0;
    EXPECT_TRUE(Legal(u"C:\\work\\d.tmp", 205));
}

#ifdef BOOT_NTFS

TEST_F(Legality, ExcludedRecordsAreLookedUpNotMatchedAgain) {
    EXPECT_FALSE(Legal(u"C:\\BOOTSECT.DOS", 42));
    EXPECT_EQ(llUsedFrns, 1);
    EXPECT_EQ(pExcludedFrns[0], 42);
    // The decision is by record number: another path with that record is
    // still refused, the same path with another record is not re-examined.
    SetPath(u"C:\\data\\harmless.txt");
    VolData.FileRecordNumber = 42;
    EXPECT_FALSE(LegalToMove());
    SetPath(u"C:\\BOOTSECT.DOS");
    VolData.FileRecordNumber = 43;
    EXPECT_TRUE(LegalToMove());
    // A file that matches nothing leaves the list as it was.
    EXPECT_TRUE(Legal(u"C:\\data\\x.txt", 44));
    EXPECT_EQ(llUsedFrns, 1);
}

TEST_F(Legality, ListGrowsBy200KeepingItsEntries) {
    for (LONGLONG n = 0; n < 200; n++) EXPECT_FALSE(Legal(u"C:\\RECYCLER\\f", 5000 + n));
    EXPECT_EQ(llUsedFrns, 200);
    EXPECT_EQ(llMaxFrns, 200);
    // The 201st excluded file: the list grows to 400 entries.
    EXPECT_FALSE(Legal(u"C:\\RECYCLER\\g", 9999));
    EXPECT_EQ(llUsedFrns, 201);
    EXPECT_EQ(llMaxFrns, 400);
    EXPECT_EQ(GlobalSize(hExcludedFrns), 400 * sizeof(LONGLONG));
    for (LONGLONG n = 0; n < 200; n++) {
        VolData.FileRecordNumber = 5000 + n;
        ASSERT_FALSE(LegalToMove()) << n;
    }
    VolData.FileRecordNumber = 7;
    EXPECT_TRUE(LegalToMove());
    EXPECT_EQ(dwNumUnits, units_);  // resized in place of the old block
}

TEST_F(Legality, FailedGrowthKeepsTheList) {
    for (LONGLONG n = 0; n < 200; n++) ASSERT_FALSE(Legal(u"C:\\RECYCLER\\f", n));
    LONGLONG savedHeap = HeapLeft;
    HeapLeft = 0;  // no memory left for a larger list
    SetPath(u"C:\\RECYCLER\\h");
    VolData.FileRecordNumber = 777;
    bScreenLog = 1;
    lLogLevel = 1;
    std::string screen = frametest::Screen([] { EXPECT_FALSE(CheckExcluded()); });
    HeapLeft = savedHeap;
    EXPECT_TRUE(frametest::Contains(screen, "Error #0 at line")) << screen;
    EXPECT_EQ(llMaxFrns, 200);
    EXPECT_EQ(llUsedFrns, 200);
    ASSERT_NE(hExcludedFrns, nullptr);
    EXPECT_EQ(dwNumUnits, units_);
    VolData.FileRecordNumber = 199;
    EXPECT_FALSE(LegalToMove());
    // With memory again the list grows.
    EXPECT_FALSE(Legal(u"C:\\RECYCLER\\h", 777));
    EXPECT_EQ(llMaxFrns, 400);
}

TEST_F(Legality, NoListMeansEveryFileMayMove) {
    GlobalUnlock(hExcludedFrns);
    GlobalFree(hExcludedFrns);
    hExcludedFrns = nullptr;
    pExcludedFrns = nullptr;
    llMaxFrns = llUsedFrns = 0;
    SetPath(u"C:\\BOOTSECT.DOS");
    VolData.FileRecordNumber = 9;
    EXPECT_TRUE(LegalToMove());
    // Gathering starts a list of its own.
    EXPECT_TRUE(CheckExcluded());
    EXPECT_EQ(llMaxFrns, 200);
    EXPECT_FALSE(LegalToMove());
}

TEST_F(Legality, ExclusionLinesAboveLevelThree) {
    bScreenLog = 0;
    AddUserPattern(u"*.TMP");
    lLogLevel = 3;
    std::string quiet = frametest::Screen([&] { Legal(u"C:\\BOOTSECT.DOS", 1); });
    EXPECT_EQ(quiet, "");
    lLogLevel = 4;
    std::string builtIn = frametest::Screen([&] { Legal(u"C:\\BOOTSECT.DOS", 2); });
    EXPECT_EQ(builtIn, "\nExcluding C:\\BOOTSECT.DOS\n");
    std::string user = frametest::Screen([&] { Legal(u"C:\\x.tmp", 3); });
    EXPECT_EQ(user, "\nExcluding C:\\x.tmp\n");
}

#else

TEST_F(Legality, RejectionLinesAboveLevelFive) {
    AddUserPattern(u"*.TMP");
    lLogLevel = 5;
    std::string quiet = frametest::Screen([&] {
        Legal(u"C:\\BOOTSECT.DOS");
        Legal(u"C:\\x.tmp");
    });
    EXPECT_EQ(quiet, "");
    lLogLevel = 6;
    std::string builtIn = frametest::Screen([&] { EXPECT_FALSE(Legal(u"C:\\BOOTSECT.DOS")); });
    EXPECT_EQ(builtIn, "LegalToMove1:Rejecting file:C:\\BOOTSECT.DOS:Pattern=*BOOTSECT.DOS\n");
    std::string user = frametest::Screen([&] { EXPECT_FALSE(Legal(u"C:\\x.tmp")); });
    EXPECT_EQ(user, "LegalToMove3:Rejecting file:C:\\x.tmp:Pattern=*.TMP\n");
}

TEST_F(Legality, TraceStepsAboveLevelSeven) {
    bScreenLog = 1;
    lLogLevel = 8;
    AddUserPattern(u"*.TMP");
    std::string screen = frametest::Screen([&] { EXPECT_TRUE(Legal(u"C:\\a.txt")); });
    size_t first = screen.find("LegalToMove:"), second = screen.find("->SecondTest"),
           third = screen.find("->ThirdTest");
    ASSERT_NE(first, std::string::npos) << screen;
    EXPECT_NE(screen.find("->FirstTest"), std::string::npos) << screen;
    ASSERT_NE(second, std::string::npos) << screen;
    ASSERT_NE(third, std::string::npos) << screen;
    EXPECT_LT(second, third);
    lLogLevel = 7;
    EXPECT_EQ(frametest::Screen([&] { Legal(u"C:\\a.txt"); }), "");
}

#endif

}  // namespace
