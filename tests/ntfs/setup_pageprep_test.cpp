// The paging-file preparation of volume setup, in both programs' forms (this
// file is built against each), on a machine whose drives are host folders:
// what each PAGE= mode records, creates, deletes and excludes, the lines it
// shows, and when it refuses the setup.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame_support.h"

using frametest::Contains;
using frametest::CountOf;

namespace {

const std::u16string kMemoryManagement = u"Session Manager\\Memory Management";
const char kPattern[] = "IamaduckIamaduckIamaduckIamaduckIamaduckIamaduckIamaduckIamaduck";

class PagePrep : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(machine.ok());
        machine.MakeFolder("cdrive");
        machine.MakeFolder("ddrive");
        memset(&VolData, 0, sizeof VolData);
        VolData.cDrive[0] = u'C';
        VolData.cDrive[1] = u':';
        VolData.BytesPerCluster = 4096;
        VolData.TotalClusters = 100000;
        VolData.UsedClusters = 1000;
        lPageOpt = 0;
        llPageFileZone = -1;
        bDbgMsg = 0;
        bExcludes = 0;
        lExcludes = 0;
        lLogLevel = 0;
        bScreenLog = 0;
        units_ = dwNumUnits;
    }
    void TearDown() override {
        if (hPageFileNames) {
            GlobalUnlock(hPageFileNames);
            GlobalFree(hPageFileNames);
        }
        hPageFileNames = nullptr;
        pPageFileNames = nullptr;
        EXPECT_EQ(dwNumUnits, units_) << "a block was left behind";
        lPageOpt = 0;
        llPageFileZone = -1;
        bExcludes = 0;
        lExcludes = 0;
        lLogLevel = 0;
        bScreenLog = 0;
        setenv("NT_TIME_SCALE", "0", 1);
    }
    void PagingFiles(const std::vector<std::u16string> &entries) {
        ASSERT_TRUE(machine.SetMultiSz(kMemoryManagement, u"PagingFiles", entries));
    }
    // Runs the preparation for mode; returns the screen.
    std::string Prepare(LONG mode, BOOL *result) {
        lPageOpt = mode;
        return frametest::Screen([&] { *result = PreparePageFile(u'C'); });
    }
    void AddPattern(const std::u16string &pattern) {
        memcpy(pExcludes[lExcludes], pattern.c_str(), (pattern.size() + 1) * sizeof(WCHAR));
        lExcludes++;
        bExcludes = 1;
    }
    std::string Excluded(LONG row) const {
        return std::string(pExcludes[row], pExcludes[row] + std::char_traits<char16_t>::length(pExcludes[row]));
    }

    frametest::Machine machine{"C: folder cdrive\nD: folder ddrive\nA: folder logs\n"};
    DWORD units_ = 0;
};

TEST_F(PagePrep, MinimiseRecordsTheOnePagingFileAndChangesNothing) {
    machine.WriteFile("cdrive/pagefile.sys", "old contents");
    PagingFiles({u"D:\\pagefile.sys 10 20", u"c:\\pagefile.sys 64 128"});
    BOOL result = FALSE;
    std::string screen = Prepare(2, &result);
    EXPECT_TRUE(result);
#ifdef BOOT_NTFS
    EXPECT_EQ(screen, "Registry Data For Paging File Found: C:\\pagefile.sys\n");
#else
    EXPECT_EQ(screen, "Registry Data for Paging File Found: C:\\pagefile.sys\n");
#endif
    EXPECT_EQ(std::u16string(cPageFile), u"C:\\pagefile.sys");
    EXPECT_EQ(bPageFileFound, 1);
    EXPECT_EQ(lPageOpt, 2);
    EXPECT_EQ(bDbgMsg, 1);
    EXPECT_EQ(machine.ReadFile("cdrive/pagefile.sys"), "old contents");
    EXPECT_EQ(lExcludes, 0);
    // The names stay for teardown.
    ASSERT_NE(pPageFileNames, nullptr);
    EXPECT_EQ(std::u16string(pPageFileNames), u"pagefile.sys");
}

TEST_F(PagePrep, MinimiseWithTwoPagingFilesOnTheDrive) {
    PagingFiles({u"C:\\pagefile.sys 64 128", u"C:\\second\\pagefile2.sys 16 16"});
    BOOL result = TRUE;
    std::string screen = Prepare(2, &result);
    EXPECT_EQ(bPageFileFound, 0);
    EXPECT_EQ(lPageOpt, 0);
#ifdef BOOT_NTFS
    // The run cannot minimise one of two: setup stops.
    EXPECT_FALSE(result);
    EXPECT_TRUE(Contains(screen, "Info: Cannot optimize paging files when there's more than one paging file per "
                                 "partition\n"))
        << screen;
#else
    // bootfat only gives up the minimisation.
    EXPECT_TRUE(result);
    EXPECT_TRUE(Contains(screen, "Error: Cannot optimize more than one pagefile per partition\n")) << screen;
#endif
}

TEST_F(PagePrep, PlaceRecreatesThePlaceholderAndWaits) {
    machine.WriteFile("cdrive/pagefile.sys", std::string(3 << 20, 'x'));
    PagingFiles({u"C:\\pagefile.sys 64 32"});
    setenv("NT_TIME_SCALE", "0.01", 1);  // the 30-second wait takes 0.3 s
    auto start = std::chrono::steady_clock::now();
    BOOL result = FALSE;
    std::string screen = Prepare(3, &result);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(result);
    EXPECT_EQ(screen, "Registry Data For Paging File Found: C:\\pagefile.sys\n");
    EXPECT_EQ(llPageFileMin, 64);
    EXPECT_EQ(llPageFileMax, 64);  // never below the initial size
    EXPECT_EQ(bPageFileFound, 1);
    EXPECT_EQ(lPageOpt, 3);
    std::string placeholder = machine.ReadFile("cdrive/pagefile.sys");
    ASSERT_EQ(placeholder.size(), 1048640u);
    std::string expected;
    for (int i = 0; i < 16385; i++) expected += kPattern;
    EXPECT_TRUE(placeholder == expected) << "the placeholder is not the fill pattern";
    EXPECT_GE(seconds, 0.29);
}

TEST_F(PagePrep, PlaceWithoutRoomLeavesThePagingFile) {
    machine.WriteFile("cdrive/pagefile.sys", "old contents");
    PagingFiles({u"C:\\pagefile.sys 64 128"});
    // 128 MB = 32,768 clusters, plus 15 % of 100,000: 47,768 needed.
    struct Case {
        LONGLONG used;
        bool room;
    } cases[] = {{52232, true}, {52233, false}};
    for (const Case &c : cases) {
        VolData.UsedClusters = c.used;
        machine.WriteFile("cdrive/pagefile.sys", "old contents");
        BOOL result = FALSE;
        std::string screen = Prepare(3, &result);
        EXPECT_TRUE(result);
        if (c.room) {
            EXPECT_EQ(machine.ReadFile("cdrive/pagefile.sys").size(), 1048640u);
            EXPECT_EQ(lPageOpt, 3);
            EXPECT_EQ(bPageFileFound, 1);
        } else {
            EXPECT_EQ(screen, "Registry Data For Paging File Found: C:\\pagefile.sys\n"
                              "Note: Insufficient free space to guarantee paging file placement\n"
                              "Paging File Placement will not be performed.\n\n");
            EXPECT_EQ(machine.ReadFile("cdrive/pagefile.sys"), "old contents");
            EXPECT_EQ(lPageOpt, 0);
            EXPECT_EQ(bPageFileFound, 0);
        }
    }
}

TEST_F(PagePrep, PlaceZoneCountsWhenLargerThanTheMaximum) {
    // 1 MB is 256 clusters; 15 % of 2,000 is 300; 1,100 clusters are free.
    VolData.TotalClusters = 2000;
    VolData.UsedClusters = 900;
    PagingFiles({u"C:\\pagefile.sys 1 1"});
    BOOL result = FALSE;
    llPageFileZone = 700;  // larger than 1 (plain comparison): 700 + 300 fit
    Prepare(3, &result);
    EXPECT_EQ(lPageOpt, 3);
    llPageFileZone = 900;  // 900 + 300 do not
    std::string screen = Prepare(3, &result);
    EXPECT_EQ(lPageOpt, 0);
    EXPECT_TRUE(Contains(screen, "Note: Insufficient free space")) << screen;
    // A registry maximum above any volume's size is never taken for room.
    llPageFileZone = -1;
    PagingFiles({u"C:\\pagefile.sys 1 99999999999999"});
    screen = Prepare(3, &result);
    EXPECT_EQ(lPageOpt, 0);
    EXPECT_TRUE(Contains(screen, "Note: Insufficient free space")) << screen;
}

TEST_F(PagePrep, PlaceWithTwoPagingFilesStopsSetupInBothPrograms) {
    machine.WriteFile("cdrive/pagefile.sys", "old contents");
    PagingFiles({u"C:\\pagefile.sys 64 128", u"C:\\other.sys 8 8"});
    BOOL result = TRUE;
    std::string screen = Prepare(3, &result);
    EXPECT_FALSE(result);
    EXPECT_TRUE(Contains(screen, "Info: Cannot optimize paging files when there's more than one paging file per "
                                 "partition\n"))
        << screen;
    EXPECT_EQ(bPageFileFound, 0);
    EXPECT_EQ(lPageOpt, 0);
    EXPECT_EQ(machine.ReadFile("cdrive/pagefile.sys"), "old contents");
    EXPECT_FALSE(machine.Exists("cdrive/other.sys"));
}

TEST_F(PagePrep, PlaceWithoutPagingFileCreatesNothing) {
    PagingFiles({u"D:\\pagefile.sys 64 128"});
    BOOL result = FALSE;
    std::string screen = Prepare(3, &result);
    EXPECT_TRUE(result);
    EXPECT_EQ(screen, "");
    EXPECT_EQ(bPageFileFound, 0);
    EXPECT_FALSE(machine.Exists("cdrive/pagefile.sys"));
    EXPECT_FALSE(machine.Exists("ddrive/pagefile.sys"));
    ASSERT_NE(pPageFileNames, nullptr);
    EXPECT_EQ(pPageFileNames[0], 0);
}

TEST_F(PagePrep, PlaceholderThatCannotBeCreatedIsReported) {
    // A folder of that name is in the way.
    machine.MakeFolder("cdrive/pagefile.sys");
    PagingFiles({u"C:\\pagefile.sys 1 1"});
    BOOL result = FALSE;
    bDbgMsg = 0;
    std::string screen = Prepare(3, &result);
    EXPECT_TRUE(result);  // the run goes on
    EXPECT_TRUE(Contains(screen, "Failed to open Paging File Found as: C:\\pagefile.sys\n")) << screen;
    EXPECT_EQ(bDbgMsg, 1);
}

TEST_F(PagePrep, ZeroDeletesEveryPagingFileOfTheDriveAndExcludesIt) {
    machine.WriteFile("cdrive/pagefile.sys", "one");
    machine.WriteFile("cdrive/swap2.sys", "two");
    machine.WriteFile("ddrive/pagefile.sys", "other drive");
    PagingFiles({u"C:\\pagefile.sys 64 128", u"D:\\pagefile.sys 8 8", u"C:\\swap2.sys 8 8"});
    AddPattern(u"*.TMP");
    setenv("NT_TIME_SCALE", "0.01", 1);  // each 20-second wait takes 0.2 s
    auto start = std::chrono::steady_clock::now();
    BOOL result = FALSE;
    std::string screen = Prepare(1, &result);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(result);
#ifdef BOOT_NTFS
    EXPECT_EQ(lPageOpt, 0);
#else
    EXPECT_EQ(lPageOpt, 1);  // bootfat keeps the mode
#endif
    EXPECT_EQ(screen, "Registry Data For Paging File Found: C:\\pagefile.sys\n"
                      "Registry Data For Paging File Found: C:\\swap2.sys\n");
    EXPECT_FALSE(machine.Exists("cdrive/pagefile.sys"));
    EXPECT_FALSE(machine.Exists("cdrive/swap2.sys"));
    EXPECT_EQ(machine.ReadFile("ddrive/pagefile.sys"), "other drive");
    ASSERT_EQ(lExcludes, 3);
    EXPECT_EQ(bExcludes, 1);
    EXPECT_EQ(Excluded(0), "*.TMP");
    EXPECT_EQ(Excluded(1), "C:\\pagefile.sys");
    EXPECT_EQ(Excluded(2), "C:\\swap2.sys");
    EXPECT_GE(seconds, 0.39);
}

TEST_F(PagePrep, ZeroReportsAPagingFileThatCannotBeDeleted) {
    PagingFiles({u"C:\\pagefile.sys 64 128"});
    BOOL result = FALSE;
    std::string screen = Prepare(1, &result);
    EXPECT_TRUE(result);
#ifdef BOOT_NTFS
    EXPECT_TRUE(Contains(screen, "Failed to handle paging file C:\\pagefile.sys properly\n")) << screen;
#else
    EXPECT_TRUE(Contains(screen, "Failed to handle pagefile C:\\pagefile.sys properly\n")) << screen;
#endif
    // Excluded all the same: nothing may move into its place.
    ASSERT_EQ(lExcludes, 1);
    EXPECT_EQ(Excluded(0), "C:\\pagefile.sys");
    EXPECT_FALSE(machine.Exists("cdrive/pagefile.sys"));
}

TEST_F(PagePrep, ZeroRefusesWhenTheExclusionListCannotTakeThePath) {
    PagingFiles({u"C:\\pagefile.sys 64 128"});
    bScreenLog = 1;  // error reports on the screen
    // The 24th row is the last that may be filled.
    lExcludes = 23;
    BOOL result = FALSE;
    Prepare(1, &result);
    EXPECT_TRUE(result);
    EXPECT_EQ(lExcludes, 24);
    lExcludes = 24;
    std::string screen = Prepare(1, &result);
    EXPECT_FALSE(result);
    EXPECT_TRUE(Contains(screen, "Error #0 at line")) << screen;
    // A path longer than a row (86 characters) is refused, not cut.
    lExcludes = 0;
    std::u16string name(84, u'p');
    PagingFiles({u"C:\\" + name + u" 1 1"});
    screen = Prepare(1, &result);
    EXPECT_FALSE(result);
    EXPECT_EQ(lExcludes, 0);
    name.pop_back();  // 86 characters fit
    PagingFiles({u"C:\\" + name + u" 1 1"});
    Prepare(1, &result);
    EXPECT_TRUE(result);
    EXPECT_EQ(lExcludes, 1);
}

TEST_F(PagePrep, KeepOnlyReadsTheNames) {
    machine.WriteFile("cdrive/pagefile.sys", "old contents");
    PagingFiles({u"C:\\pagefile.sys 64 128"});
    BOOL result = FALSE;
    std::string screen = Prepare(0, &result);
    EXPECT_TRUE(result);
    EXPECT_EQ(screen, "");
    EXPECT_EQ(bPageFileFound, 0);
    EXPECT_EQ(machine.ReadFile("cdrive/pagefile.sys"), "old contents");
    ASSERT_NE(pPageFileNames, nullptr);
    EXPECT_EQ(std::u16string(pPageFileNames), u"pagefile.sys");
}

TEST_F(PagePrep, UnreadableRegistryFailsSetupInEveryMode) {
    // No PagingFiles value at all.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE,
                           u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management", 0, KEY_ALL_ACCESS,
                           &key),
              0);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"PagingFiles");
    ASSERT_TRUE(NT_SUCCESS(NtDeleteValueKey(key, &name)));
    RegCloseKey(key);
    for (LONG mode : {0, 1, 2, 3}) {
        BOOL result = TRUE;
        Prepare(mode, &result);
        EXPECT_FALSE(result) << mode;
        EXPECT_EQ(hPageFileNames, nullptr);
    }
}

TEST_F(PagePrep, ASecondPreparationReplacesTheNames) {
    PagingFiles({u"C:\\pagefile.sys 64 128"});
    BOOL result = FALSE;
    Prepare(2, &result);
    DWORD afterFirst = dwNumUnits;
    Prepare(2, &result);
    EXPECT_EQ(dwNumUnits, afterFirst);
    EXPECT_EQ(std::u16string(cPageFile), u"C:\\pagefile.sys");
    EXPECT_EQ(bPageFileFound, 1);  // found again, not "more than one"
}

}  // namespace
