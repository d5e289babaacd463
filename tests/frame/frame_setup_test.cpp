// The program's BootExecute entry, the operating-system gate and the
// paging-file names, sizes and rebuild.
#include <sys/stat.h>

#include "frame_support.h"
#include "program.h"

using namespace frametest;

namespace {

#ifdef BOOT_NTFS
const std::u16string kToken = u"DOZUZORO";
const std::u16string kOtherToken = u"ZIRIZUD";
#else
const std::u16string kToken = u"ZIRIZUD";
const std::u16string kOtherToken = u"DOZUZORO";
#endif
// The program's own deregistration, as its record names it.
BOOL Deregister() { return BootProgram.Deregister(); }

class Setup : public ::testing::Test {
protected:
    Setup() : machine_("A: folder logs\nC: folder cdrive\n") { machine_.MakeFolder("cdrive"); }
    std::string BootExecute(ULONG *type = nullptr) {
        ULONG t = 0;
        std::string data;
        EXPECT_TRUE(machine_.GetValue(u"Session Manager", u"BootExecute", &t, &data));
        if (type) *type = t;
        return data;
    }
    void PagingFiles(const std::vector<std::u16string> &entries) {
        ASSERT_TRUE(machine_.SetMultiSz(u"Session Manager\\Memory Management", u"PagingFiles", entries));
    }
    // The names GetPagefileNames gives for a drive, as a list.
    std::vector<std::u16string> Names(WCHAR drive) {
        HGLOBAL h = nullptr;
        WCHAR *p = nullptr;
        std::vector<std::u16string> names;
        EXPECT_TRUE(GetPagefileNames(drive, &h, &p));
        if (!p) return names;
        for (const WCHAR *n = p; *n; n += names.back().size() + 1) names.emplace_back(n);
        GlobalUnlock(h);
        GlobalFree(h);
        return names;
    }
    Machine machine_;
};

}  // namespace

// ---------------------------------------------------------- deregistration

TEST_F(Setup, DeregistrationKeepsTheDiskCheckerAndDropsOurEntries) {
    ASSERT_TRUE(machine_.SetMultiSz(
        u"Session Manager", u"BootExecute",
        {u"autocheck autochk *", kToken + u" C: FILES=FULL", u"lowercase: " + kOtherToken, u"other program *"}));
    ASSERT_TRUE(Deregister());
    ULONG type = 0;
    EXPECT_EQ(BootExecute(&type),
              MultiSzBytes({u"autocheck autochk *", u"lowercase: " + kOtherToken, u"other program *"}));
    EXPECT_EQ(type, (ULONG)REG_MULTI_SZ);
}

TEST_F(Setup, OurEntryMatchesInAnyLetterCaseAndAlone) {
    std::u16string lower;
    for (char16_t c : kToken) lower += (char16_t)(c + (u'a' - u'A'));
    std::u16string shorter = kToken.substr(0, kToken.size() - 1);
    ASSERT_TRUE(machine_.SetMultiSz(u"Session Manager", u"BootExecute",
                                    {lower + u" d: page=zero", kToken, u"autocheck autochk *", shorter, kOtherToken}));
    ASSERT_TRUE(Deregister());
    EXPECT_EQ(BootExecute(), MultiSzBytes({u"autocheck autochk *", shorter, kOtherToken}));
}

TEST_F(Setup, ValueWithoutOurEntryIsWrittenBackUnchanged) {
    ASSERT_TRUE(Deregister());
    EXPECT_EQ(BootExecute(), MultiSzBytes({u"autocheck autochk *"}));
}

TEST_F(Setup, OnlyOurEntryLeavesAnEmptyList) {
    ASSERT_TRUE(machine_.SetMultiSz(u"Session Manager", u"BootExecute", {kToken + u" C:"}));
    ASSERT_TRUE(Deregister());
    EXPECT_EQ(BootExecute(), std::string(2, '\0'));
}

TEST_F(Setup, UnterminatedLastStringIsEndedNotOverrun) {
    std::string bytes = Utf16Bytes(u"autocheck autochk *") + std::string(2, '\0') + Utf16Bytes(u"tail");
    ASSERT_TRUE(machine_.SetValue(u"Session Manager", u"BootExecute", REG_MULTI_SZ, bytes.data(), (ULONG)bytes.size()));
    ASSERT_TRUE(Deregister());
    EXPECT_EQ(BootExecute(), MultiSzBytes({u"autocheck autochk *", u"tail"}));
}

TEST_F(Setup, MissingOrEmptyValueIsAnErrorAndChangesNothing) {
    ASSERT_TRUE(machine_.SetValue(u"Session Manager", u"BootExecute", REG_MULTI_SZ, "", 0));
    EXPECT_FALSE(Deregister());
    EXPECT_EQ(BootExecute(), "");

    Machine bare("A: folder logs\n");
    HANDLE key = nullptr;
    // A machine whose Session Manager key has no BootExecute at all.
    std::u16string path = u"\\Registry\\Machine\\SYSTEM\\ControlSet001\\Control\\Session Manager";
    UNICODE_STRING us{(USHORT)(path.size() * 2), (USHORT)(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ASSERT_TRUE(NT_SUCCESS(NtOpenKey(&key, KEY_ALL_ACCESS, &oa)));
    std::u16string name = u"BootExecute";
    UNICODE_STRING value{(USHORT)(name.size() * 2), (USHORT)(name.size() * 2), name.data()};
    ASSERT_TRUE(NT_SUCCESS(NtDeleteValueKey(key, &value)));
    NtClose(key);
    EXPECT_FALSE(Deregister());
}

// ---------------------------------------------------------------- OS gate

TEST_F(Setup, GateOpensWithTheMountedDeviceTable) { EXPECT_TRUE(OkOnThisOS()); }

TEST(OperatingSystemGate, WithoutTheMountedDeviceTable) {
    Machine machine("A: folder logs\n", false);
#ifdef BOOT_NTFS
    EXPECT_FALSE(OkOnThisOS());
#else
    EXPECT_TRUE(OkOnThisOS());
#endif
}

// ------------------------------------------------------------ paging files

TEST_F(Setup, NamesOfTheDrivesPagingFilesOnly) {
    PagingFiles({u"C:\\pagefile.sys 64 128", u"D:\\pagefile.sys 10 20", u"c:\\dir\\swap.sys 1 2", u"C:\\nosizes.sys",
                 u"C:\\ 5 5"});
    EXPECT_EQ(Names(u'c'), (std::vector<std::u16string>{u"pagefile.sys", u"swap.sys", u"nosizes.sys"}));
    EXPECT_EQ(Names(u'D'), (std::vector<std::u16string>{u"pagefile.sys"}));
    EXPECT_TRUE(Names(u'E').empty());
}

TEST_F(Setup, NoPagingFilesGiveAnEmptyList) {
    PagingFiles({});
    EXPECT_TRUE(Names(u'C').empty());
}

TEST_F(Setup, MissingPagingFilesValueFails) {
    HANDLE key = nullptr;
    std::u16string path = u"\\Registry\\Machine\\SYSTEM\\ControlSet001\\Control\\Session Manager\\Memory Management";
    UNICODE_STRING us{(USHORT)(path.size() * 2), (USHORT)(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ASSERT_TRUE(NT_SUCCESS(NtOpenKey(&key, KEY_ALL_ACCESS, &oa)));
    std::u16string name = u"PagingFiles";
    UNICODE_STRING value{(USHORT)(name.size() * 2), (USHORT)(name.size() * 2), name.data()};
    ASSERT_TRUE(NT_SUCCESS(NtDeleteValueKey(key, &value)));
    NtClose(key);

    HGLOBAL h = (HGLOBAL)1;
    WCHAR *p = (WCHAR *)1;
    DWORD units = dwNumUnits;
    EXPECT_FALSE(GetPagefileNames(u'C', &h, &p));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(dwNumUnits, units) << "no block is left behind";
    EXPECT_FALSE(RebuildPageFiles(u"C:"));
}

TEST_F(Setup, BoundsTakeTheLargerSizeAsMaximum) {
    PagingFiles({u"C:\\pagefile.sys 64 32"});
    LONGLONG low = 0, high = 0;
    ASSERT_TRUE(GetPageFileBounds(u"C:\\pagefile.sys", &low, &high));
    EXPECT_EQ(low, 64);
    EXPECT_EQ(high, 64);
}

TEST_F(Setup, BoundsSkipShortAndSimilarEntries) {
    PagingFiles({u"C:\\p 1 2", u"C:\\pagefile.sys2 5 6", u"D:\\pagefile.sys 7 8", u"c:\\PAGEFILE.SYS  100   300"});
    LONGLONG low = 0, high = 0;
    ASSERT_TRUE(GetPageFileBounds(u"C:\\pagefile.sys", &low, &high));
    EXPECT_EQ(low, 100);
    EXPECT_EQ(high, 300);
}

TEST_F(Setup, BoundsStayUnsetWithoutAnEntryOrSizes) {
    PagingFiles({u"C:\\pagefile.sys", u"D:\\pagefile.sys 1 2"});
    LONGLONG low = 0, high = 0;
    ASSERT_TRUE(GetPageFileBounds(u"C:\\pagefile.sys", &low, &high));
    EXPECT_EQ(low, -1);
    EXPECT_EQ(high, -1);
    ASSERT_TRUE(GetPageFileBounds(u"E:\\pagefile.sys", &low, &high));
    EXPECT_EQ(low, -1);
    EXPECT_EQ(high, -1);
}

TEST_F(Setup, RebuildRecreatesEveryPagingFileOfTheDrive) {
    machine_.WriteFile("cdrive/pagefile.sys", std::string(4096, 'p'));
    machine_.MakeFolder("cdrive/swap");
    machine_.WriteFile("cdrive/swap/second.sys", std::string(100, 's'));
    machine_.WriteFile("cdrive/other.sys", "not a paging file of C:");
    PagingFiles({u"C:\\pagefile.sys 64 128", u"D:\\other.sys 1 1", u"C:\\third.sys 1 1"});
    EXPECT_TRUE(RebuildPageFiles(u"C:"));
    struct stat st;
    ASSERT_EQ(stat(machine_.Path("cdrive/pagefile.sys").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    ASSERT_EQ(stat(machine_.Path("cdrive/third.sys").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(machine_.ReadFile("cdrive/other.sys"), "not a paging file of C:");
    EXPECT_EQ(machine_.ReadFile("cdrive/swap/second.sys"), std::string(100, 's'));
}

TEST_F(Setup, RebuildGoesOnAfterAFileThatCannotBeCreated) {
    machine_.MakeFolder("cdrive/first.sys");  // a folder cannot be replaced by a file
    PagingFiles({u"C:\\first.sys 1 1", u"C:\\second.sys 1 1"});
    EXPECT_FALSE(RebuildPageFiles(u"C:"));
    EXPECT_TRUE(machine_.Exists("cdrive/second.sys"));
}
