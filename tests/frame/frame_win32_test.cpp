// The Win32-style layer: the bounded heap and the Global blocks, text
// conversion, files and the registry routines.
#include <cstring>

#include "frame_support.h"

using namespace frametest;

namespace {

// Restores the heap budget to the machine's real free memory afterwards.
class Heap : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("NT_AVAILABLE_MEMORY");
        HeapLeft = -1;
    }
    // Budget measured anew from a given free-memory figure.
    void Budget(long long freeBytes) {
        setenv("NT_AVAILABLE_MEMORY", std::to_string(freeBytes).c_str(), 1);
        HeapLeft = -1;
    }
};

void Release(HGLOBAL h) {
    GlobalUnlock(h);
    GlobalFree(h);
}

}  // namespace

// -------------------------------------------------------------------- heap

TEST_F(Heap, FreeingAnUnknownAddressChangesNothingButTheCounter) {
    HGLOBAL kept = GlobalAlloc(0, 64);
    ASSERT_NE(kept, nullptr);
    DWORD units = dwNumUnits;
    ULONG frees = GlobalFreeCount;
    int local = 0;
    EXPECT_EQ(GlobalFree(&local), nullptr);
    EXPECT_EQ(GlobalFree(nullptr), nullptr);
    EXPECT_EQ(dwNumUnits, units);
    EXPECT_EQ(GlobalFreeCount, frees + 2);
    EXPECT_EQ(GlobalSize(kept), 64u);
    EXPECT_EQ(GlobalLock(&local), nullptr);
    EXPECT_FALSE(GlobalUnlock(&local));
    Release(kept);
}

TEST_F(Heap, CountersGrowOnFailedCallsToo) {
    ULONG allocs = GlobalAllocCount, reallocs = GlobalReAllocCount;
    EXPECT_EQ(GlobalAlloc(0, 0), nullptr);
    int local = 0;
    EXPECT_EQ(GlobalReAlloc(&local, 10, 0), nullptr);
    EXPECT_EQ(GlobalAllocCount, allocs + 1);
    EXPECT_EQ(GlobalReAllocCount, reallocs + 1);
}

TEST_F(Heap, RecordsStayPackedInAllocationOrder) {
    DWORD base = dwNumUnits;
    HGLOBAL blocks[25];
    for (int i = 0; i < 25; i++) ASSERT_NE(blocks[i] = GlobalAlloc(0, 16 + i), nullptr);
    EXPECT_EQ(dwNumUnits, base + 25);
    EXPECT_GE(dwAllocedUnits, dwNumUnits);
    GlobalFree(blocks[3]);
    EXPECT_EQ(AllocBlock[base + 2].Address, blocks[2]);
    EXPECT_EQ(AllocBlock[base + 3].Address, blocks[4]);
    EXPECT_EQ(AllocBlock[base + 3].Size, 20u);
    for (int i = 0; i < 25; i++) {
        if (i != 3) {
            EXPECT_EQ(GlobalSize(blocks[i]), (SIZE_T)(16 + i)) << i;
        }
    }
    for (int i = 0; i < 25; i++)
        if (i != 3) GlobalFree(blocks[i]);
    EXPECT_EQ(dwNumUnits, base);
}

TEST_F(Heap, ZeroFlagAndGrowthWithZeroedTail) {
    HGLOBAL h = GlobalAlloc(GMEM_ZEROINIT, 100);
    ASSERT_NE(h, nullptr);
    BYTE *p = (BYTE *)GlobalLock(h);
    for (int i = 0; i < 100; i++) EXPECT_EQ(p[i], 0);
    memset(p, 0xAB, 100);
    // Shrinking keeps the block; growing back zeroes from the smaller size.
    EXPECT_EQ(GlobalReAlloc(h, 40, GMEM_ZEROINIT), h);
    EXPECT_EQ(GlobalSize(h), 40u);
    HGLOBAL g = GlobalReAlloc(h, 5000, GMEM_ZEROINIT);
    ASSERT_NE(g, nullptr);
    p = (BYTE *)GlobalLock(g);
    for (int i = 0; i < 40; i++) EXPECT_EQ(p[i], 0xAB) << i;
    for (int i = 40; i < 5000; i++) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(GlobalReAlloc(g, 0, 0), nullptr);
    EXPECT_EQ(GlobalSize(g), 5000u) << "a refused resize keeps the block";
    Release(g);
}

TEST_F(Heap, AllocateMemoryKeepsGrowsAndZeroes) {
    HGLOBAL h = nullptr;
    BYTE *p = nullptr;
    ASSERT_TRUE(AllocateMemory(64, &h, (void **)&p));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; i++) EXPECT_EQ(p[i], 0);
    memset(p, 0x5A, 64);

    BYTE *before = p;
    ASSERT_TRUE(AllocateMemory(64, &h, (void **)&p));
    EXPECT_EQ(p, before);
    for (int i = 0; i < 64; i++) EXPECT_EQ(p[i], 0x5A) << "the same size keeps the contents";

    ASSERT_TRUE(AllocateMemory(70000, &h, (void **)&p));
    for (int i = 0; i < 64; i++) EXPECT_EQ(p[i], 0x5A) << i;
    for (int i = 64; i < 70000; i++) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(GlobalSize(h), 70000u);

    EXPECT_FALSE(AllocateMemory(0, &h, (void **)&p));
    Release(h);
}

TEST_F(Heap, AllocateMemoryFailureLeavesANullHandle) {
    HGLOBAL h = nullptr;
    BYTE *p = nullptr;
    ASSERT_TRUE(AllocateMemory(64, &h, (void **)&p));
    HGLOBAL old = h;
    Budget(102400 + 8192);
    EXPECT_FALSE(AllocateMemory(1 << 20, &h, (void **)&p));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(GlobalSize(old), 64u) << "the old block is still whole";
    Release(old);
}

TEST_F(Heap, NoAllocationWhenOnlyTheReserveIsFree) {
    Budget(102400);
    EXPECT_EQ(AutoChkMalloc(1), nullptr);
    EXPECT_EQ(HeapLeft, 0);
    EXPECT_EQ(GlobalAlloc(0, 1), nullptr);
    HGLOBAL h = nullptr;
    EXPECT_FALSE(AllocateMemory(16, &h, nullptr));
    Budget(50000);
    EXPECT_EQ(AutoChkMalloc(1), nullptr);
    EXPECT_EQ(HeapLeft, 0);
}

TEST_F(Heap, BudgetIsWhatLiesAboveTheReserve) {
    Budget(102400 + 65536);
    void *p = AutoChkMalloc(65536);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(HeapLeft, 0);
    EXPECT_EQ(AutoChkMalloc(1), nullptr);
    // The budget is measured once: a change of free memory is not seen.
    setenv("NT_AVAILABLE_MEMORY", "100000000", 1);
    EXPECT_EQ(AutoChkMalloc(1), nullptr);
    AutoChkMFree(p);
    EXPECT_EQ(HeapLeft, 65536);
    void *q = AutoChkMalloc(100);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(HeapLeft, 65436);
    AutoChkMFree(q);
}

TEST_F(Heap, ReallocNeverShrinksAndKeepsTheOldBlockOnFailure) {
    Budget(102400 + 16384);
    char *p = (char *)AutoChkMalloc(1000);
    ASSERT_NE(p, nullptr);
    strcpy(p, "kept");
    EXPECT_EQ(UlibRealloc(p, 10), p);
    EXPECT_EQ(UlibRealloc(p, 1000000), nullptr);
    EXPECT_STREQ(p, "kept");
    char *q = (char *)UlibRealloc(p, 4000);
    ASSERT_NE(q, nullptr);
    EXPECT_STREQ(q, "kept");
    AutoChkMFree(q);
    EXPECT_EQ(HeapLeft, 16384);
}

// -------------------------------------------------------------------- text

TEST(Text, MultiByteToWideCharNeverWritesPastItsCapacity) {
    std::string text(150, 'x');
    WCHAR wide[110];
    for (auto &c : wide) c = 0xCCCC;
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, 100), 99);
    EXPECT_EQ(wide[98], u'x');
    EXPECT_EQ(wide[99], 0);
    for (int i = 100; i < 110; i++) EXPECT_EQ(wide[i], 0xCCCC) << i;
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, wide, 100), 0) << "only terminated texts";
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 0), 0);
}

TEST(Text, MultiByteToWideCharUsesTheAnsiCodePage) {
    WCHAR wide[16];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xE9\x80z", -1, wide, 16), 3);
    EXPECT_EQ(std::u16string(wide), u"\u00e9\u20acz");
}

TEST(Text, CharUpperTakesACharacterOrAString) {
    EXPECT_EQ((ULONG_PTR)CharUpper((LPWSTR)(ULONG_PTR)u'q'), (ULONG_PTR)u'Q');
    EXPECT_EQ((ULONG_PTR)CharUpper((LPWSTR)(ULONG_PTR)u'\u00e9'), (ULONG_PTR)u'\u00c9');
    WCHAR text[] = u"dozuzoro c:\u00e9";
    EXPECT_EQ(CharUpper(text), text);
    EXPECT_EQ(std::u16string(text), u"DOZUZORO C:\u00c9");
}

TEST(Text, FormatMessageCopiesWithinTheBuffer) {
    WCHAR buffer[8];
    for (auto &c : buffer) c = 0xCCCC;
    EXPECT_EQ(FormatMessage(0, u"%1 long text", 0, 0, buffer, 5, nullptr), 1u);
    EXPECT_EQ(std::u16string(buffer), u"%1 l");
    EXPECT_EQ(buffer[5], 0xCCCC);
}

TEST(Text, SaveCommandLineJoinsArgumentsEachWithABlank) {
    char a0[] = "bootfat", a1[] = "c:", a2[] = "EX=*\\\xE9t\xE9";
    char *argv[] = {a0, a1, a2, nullptr};
    ASSERT_TRUE(SaveCommandLine(3, argv));
    EXPECT_EQ(std::u16string(GetCommandLine()), u"bootfat c: EX=*\\\u00e9t\u00e9 ");
    ASSERT_TRUE(SaveCommandLine(0, argv));
    EXPECT_EQ(std::u16string(GetCommandLine()), u"");
}

// --------------------------------------------------------------- registry

TEST(Registry, ForeignRootIsRefusedWith87) {
    unsetenv("NT_MACHINE");  // nothing to touch: the call must not even try
    HKEY key = (HKEY)(ULONG_PTR)0x1234;
    bScreenLog = 1;
    LONG result = 0;
    std::string screen = Screen([&] { result = RegOpenKeyEx(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &key); });
    bScreenLog = 0;
    EXPECT_EQ(result, 87);
    EXPECT_EQ(key, (HKEY)(ULONG_PTR)0x1234);
    EXPECT_TRUE(Contains(screen, "Error #0 at line ")) << screen;
    EXPECT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, u"x", 0, KEY_READ, &key), 87);
    EXPECT_EQ(RegOpenKeyEx(HKEY_USERS, u"x", 0, KEY_READ, &key), 87);
}

class RegistryMachine : public ::testing::Test {
protected:
    HKEY Open(const char16_t *subkey = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager") {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, subkey, 0, KEY_ALL_ACCESS, &key), 0);
        return key;
    }
    Machine machine_;
};

TEST_F(RegistryMachine, QueryReportsDataPlusHeaderAndCopiesOnlyTheData) {
    BYTE value[10];
    for (int i = 0; i < 10; i++) value[i] = (BYTE)(i + 1);
    ASSERT_TRUE(machine_.SetValue(u"Session Manager", u"Test", REG_BINARY, value, sizeof value));
    HKEY key = Open();
    ASSERT_NE(key, nullptr);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueEx(key, u"test", nullptr, &type, nullptr, &size), 0) << "names are case-insensitive";
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    EXPECT_EQ(size, 22u);

    BYTE buffer[32];
    memset(buffer, 0xEE, sizeof buffer);
    DWORD capacity = 22;
    EXPECT_EQ(RegQueryValueEx(key, u"Test", nullptr, &type, buffer, &capacity), 0);
    EXPECT_EQ(capacity, 22u);
    EXPECT_EQ(memcmp(buffer, value, 10), 0);
    for (int i = 10; i < 32; i++) EXPECT_EQ(buffer[i], 0xEE) << "nothing past the data: " << i;

    memset(buffer, 0xEE, sizeof buffer);
    capacity = 5;
    EXPECT_EQ(RegQueryValueEx(key, u"Test", nullptr, &type, buffer, &capacity), ERROR_MORE_DATA);
    for (int i = 0; i < 32; i++) EXPECT_EQ(buffer[i], 0xEE) << "a short buffer is not written: " << i;
    EXPECT_EQ(RegCloseKey(key), 0);
}

TEST_F(RegistryMachine, ValuesTooLongForTheQueryBufferFail) {
    std::string big(600, 'b');
    ASSERT_TRUE(machine_.SetValue(u"Session Manager", u"Big", REG_BINARY, big.data(), (ULONG)big.size()));
    ASSERT_TRUE(machine_.SetValue(u"Session Manager", u"Fits", REG_BINARY, big.data(), 516));
    HKEY key = Open();
    DWORD size = 0;
    EXPECT_NE(RegQueryValueEx(key, u"Big", nullptr, nullptr, nullptr, &size), 0);
    EXPECT_EQ(RegQueryValueEx(key, u"Fits", nullptr, nullptr, nullptr, &size), 0);
    EXPECT_EQ(size, 528u);
    EXPECT_NE(RegQueryValueEx(key, u"Missing", nullptr, nullptr, nullptr, &size), 0);
    RegCloseKey(key);
}

TEST_F(RegistryMachine, SetValueWritesThroughAndMissingKeysFail) {
    HKEY key = Open();
    const char16_t text[] = u"hello";
    EXPECT_EQ(RegSetValueEx(key, u"Greeting", 0, REG_SZ, (const BYTE *)text, sizeof text), 0);
    RegCloseKey(key);
    ULONG type = 0;
    std::string data;
    ASSERT_TRUE(machine_.GetValue(u"Session Manager", u"Greeting", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_SZ);
    EXPECT_EQ(data, Utf16Bytes(u"hello") + std::string(2, '\0'));

    HKEY missing = nullptr;
    EXPECT_NE(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"SYSTEM\\NoSuchKey", 0, KEY_READ, &missing), 0);
    std::u16string longPath = u"SYSTEM\\" + std::u16string(300, u'k');
    EXPECT_NE(RegOpenKeyEx(HKEY_LOCAL_MACHINE, longPath.c_str(), 0, KEY_READ, &missing), 0);
}

// ------------------------------------------------------------------- files

TEST_F(RegistryMachine, CreateFileNamesFilesAndVolumes) {
    HANDLE file = CreateFile(u"A:\\made.txt", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    EXPECT_TRUE(WriteFile(file, "abc", 3, &done, nullptr));
    EXPECT_EQ(done, 3u);
    EXPECT_TRUE(WriteFile(file, "def", 3, &done, nullptr)) << "without an offset a write appends";
    OVERLAPPED at{};
    at.Offset = 2;
    char buffer[8] = {};
    EXPECT_TRUE(ReadFile(file, buffer, 3, &done, &at));
    EXPECT_EQ(done, 3u);
    EXPECT_STREQ(buffer, "cde");
    EXPECT_TRUE(FlushFileBuffers(file));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(machine_.ReadFile("logs/made.txt"), "abcdef");

    EXPECT_EQ(CreateFile(u"A:\\made.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
    HANDLE again =
        CreateFile(u"\\\\.\\a:\\MADE.TXT", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(again, INVALID_HANDLE_VALUE) << "\\\\.\\ names and any letter case reach the same file";
    CloseHandle(again);
    HANDLE cut = CreateFile(u"A:\\made.txt", GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr);
    ASSERT_NE(cut, INVALID_HANDLE_VALUE);
    CloseHandle(cut);
    EXPECT_EQ(machine_.ReadFile("logs/made.txt"), "");

    EXPECT_TRUE(DeleteFile(u"\\\\.\\A:\\made.txt"));
    EXPECT_FALSE(machine_.Exists("logs/made.txt"));
    EXPECT_FALSE(DeleteFile(u"A:\\made.txt"));
    EXPECT_EQ(CreateFile(u"A:\\made.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFile(u"A:\\x", GENERIC_READ, 0, nullptr, 99, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

TEST_F(RegistryMachine, CreateAlwaysReplacesAndOpenAlwaysKeeps) {
    machine_.WriteFile("logs/f.bin", "old contents");
    HANDLE h = CreateFile(u"A:\\f.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(machine_.ReadFile("logs/f.bin"), "old contents");
    h = CreateFile(u"A:\\f.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(machine_.ReadFile("logs/f.bin"), "");
}
