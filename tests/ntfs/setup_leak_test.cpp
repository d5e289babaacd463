// Teardown after a setup that failed at each heap allocation in turn: the
// process heap is made to refuse its k-th allocation (the program's heap
// calls are routed through a wrapper at link time), setup fails there, and
// OffLineExit must release exactly the blocks that exist: none is left in
// the Global heap's records, the GlobalAlloc and GlobalFree counts balance,
// and LeakSanitizer (in the sanitizer build) finds nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include <imgkit/imgkit.h>

#include "frame_support.h"
#include "ntfs.h"

namespace {

// Calls to the process heap counted from arming; the one numbered failAt
// is refused (0: none).
long gCalls = 0;
long gFailAt = 0;
bool gArmed = false;

}  // namespace

extern "C" void *__real__Z15RtlAllocateHeapPvjm(void *heap, unsigned int flags, unsigned long size);
extern "C" void *__wrap__Z15RtlAllocateHeapPvjm(void *heap, unsigned int flags, unsigned long size) {
    if (gArmed && ++gCalls == gFailAt) return nullptr;
    return __real__Z15RtlAllocateHeapPvjm(heap, flags, size);
}

namespace {

class SetupLeak : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(machine.ok());
        image = machine.Path("c.img");
        imgkit::make_ntfs(image, 16 << 20, 1024);
        imgkit::fill(image, imgkit::Profile::basic(), 5);
        ASSERT_TRUE(
            machine.SetMultiSz(u"Session Manager\\Memory Management", u"PagingFiles", {u"C:\\pagefile.sys 16 32"}));
    }
    void TearDown() override {
        gArmed = false;
        lPageOpt = 0;
        bLast50 = 0;
    }
    // One setup with the k-th heap allocation refused (0: none). Returns
    // whether setup succeeded; *live: Global blocks held when it ended.
    bool SetupFailingAt(long k, DWORD *live) {
        lPageOpt = 2;  // reads the paging-file list
        bLast50 = 1;   // and allocates the last-files table
        bLogFile = 0;
        lLogLevel = 0;
        bScreenLog = 0;
        gCalls = 0;
        gFailAt = k;
        gArmed = true;
        BOOL ok = FALSE;
        frametest::Screen([&] {
            ok = Initialize(u"C:");
            if (ok) ok = InitializeDefrag();
        });
        gArmed = false;
        *live = dwNumUnits;
        return ok != FALSE;
    }

    frametest::Machine machine{"C: image c.img\nA: folder logs\n"};
    std::string image;
};

TEST_F(SetupLeak, TeardownAfterEachFailedAllocationLeavesNothing) {
    DWORD before = dwNumUnits;
    DWORD live = 0;
    // The first setup also grows the Global heap's record array, which
    // stays: count the calls of a second one.
    ASSERT_TRUE(SetupFailingAt(0, &live));
    OffLineExit();
    ASSERT_TRUE(SetupFailingAt(0, &live));
    long calls = gCalls;
    DWORD fullLive = live - before;
    OffLineExit();
    ASSERT_EQ(dwNumUnits, before);
    ASSERT_GT(calls, 10);
    ASSERT_GE(fullLive, 12u);  // record, extents, MFT cache and bitmap and extents, names, bitmap, buffers...

    // A refused cache block (the record store) leaves setup
    // working without it; every other refusal fails setup.
    std::set<DWORD> failedWithLive;
    long optionalRefused = 0;
    for (long k = 1; k <= calls; k++) {
        SCOPED_TRACE("heap allocation " + std::to_string(k) + " of " + std::to_string(calls) + " refused");
        ULONG allocs = GlobalAllocCount, frees = GlobalFreeCount;
        if (SetupFailingAt(k, &live))
            optionalRefused++;
        else
            failedWithLive.insert(live - before);
        EXPECT_TRUE(OffLineExit());
        EXPECT_EQ(dwNumUnits, before);
        // Every block obtained was freed; at most the refused call itself
        // is a GlobalAlloc without a block.
        ULONG allocated = GlobalAllocCount - allocs, freed = GlobalFreeCount - frees;
        EXPECT_LE(freed, allocated);
        EXPECT_LE(allocated - freed, 1u);
        EXPECT_EQ(VolData.hFileRecord, nullptr);
        EXPECT_EQ(VolData.hExtentList, nullptr);
        EXPECT_EQ(VolData.hMftBitmap, nullptr);
        EXPECT_EQ(VolData.hVolumeBitmap, nullptr);
        EXPECT_EQ(hPageFileNames, nullptr);
        EXPECT_EQ(hExcludedFrns, nullptr);
        EXPECT_EQ(VolData.hVolume, INVALID_HANDLE_VALUE);
    }
    // The failures fell at every step of setup in turn: with 0, 1, 2 ...
    // blocks already held.
    EXPECT_LE(optionalRefused, 2);
    long missing = 0;
    for (DWORD n = 0; n < fullLive; n++) missing += failedWithLive.count(n) ? 0 : 1;
    EXPECT_LE(missing, optionalRefused) << "setup never failed at some steps";
    // And with the heap serving again, setup works.
    EXPECT_TRUE(SetupFailingAt(0, &live));
    OffLineExit();
    EXPECT_EQ(dwNumUnits, before);
}

}  // namespace
