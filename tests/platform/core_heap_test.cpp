// The process heap: exact sizes, zeroing, and refusal of foreign addresses.
#include <gtest/gtest.h>

#include <cstring>

#include "internal.h"

namespace {

TEST(Heap, SizeIsExactlyWhatWasAsked) {
    for (SIZE_T size : {SIZE_T(0), SIZE_T(1), SIZE_T(13), SIZE_T(272), SIZE_T(2050), SIZE_T(65537)}) {
        void *p = RtlAllocateHeap(RtlProcessHeap(), 0, size);
        ASSERT_NE(p, nullptr) << size;
        EXPECT_EQ(RtlSizeHeap(RtlProcessHeap(), 0, p), size);
        EXPECT_TRUE(RtlFreeHeap(RtlProcessHeap(), 0, p));
    }
}

TEST(Heap, ZeroMemoryFlag) {
    auto *p = static_cast<unsigned char *>(RtlAllocateHeap(RtlProcessHeap(), HEAP_ZERO_MEMORY, 4096));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0) << i;
    std::memset(p, 0xAB, 4096);
    auto *q = static_cast<unsigned char *>(RtlReAllocateHeap(RtlProcessHeap(), HEAP_ZERO_MEMORY, p, 8192));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(RtlSizeHeap(RtlProcessHeap(), 0, q), 8192u);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(q[i], 0xAB) << i;
    for (int i = 4096; i < 8192; ++i) ASSERT_EQ(q[i], 0) << i;
    auto *r = static_cast<unsigned char *>(RtlReAllocateHeap(RtlProcessHeap(), 0, q, 100));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(RtlSizeHeap(RtlProcessHeap(), 0, r), 100u);
    EXPECT_EQ(r[99], 0xAB);
    EXPECT_TRUE(RtlFreeHeap(RtlProcessHeap(), 0, r));
}

TEST(Heap, ForeignAddressesChangeNothing) {
    int onStack = 0;
    void *p = RtlAllocateHeap(RtlProcessHeap(), 0, 64);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(RtlSizeHeap(RtlProcessHeap(), 0, &onStack), static_cast<SIZE_T>(-1));
    EXPECT_FALSE(RtlFreeHeap(RtlProcessHeap(), 0, &onStack));
    EXPECT_EQ(RtlReAllocateHeap(RtlProcessHeap(), 0, &onStack, 10), nullptr);
    // An address inside a block is not the block.
    EXPECT_FALSE(RtlFreeHeap(RtlProcessHeap(), 0, static_cast<char *>(p) + 8));
    EXPECT_EQ(RtlSizeHeap(RtlProcessHeap(), 0, p), 64u);
    EXPECT_TRUE(RtlFreeHeap(RtlProcessHeap(), 0, p));
    // Freed once: a second free is refused, not a double free.
    EXPECT_FALSE(RtlFreeHeap(RtlProcessHeap(), 0, p));
    EXPECT_EQ(RtlSizeHeap(RtlProcessHeap(), 0, p), static_cast<SIZE_T>(-1));
    EXPECT_TRUE(RtlFreeHeap(RtlProcessHeap(), 0, nullptr));
}

TEST(Heap, OnlyTheProcessHeapIsAccepted) {
    int other = 0;
    EXPECT_EQ(RtlAllocateHeap(&other, 0, 16), nullptr);
    void *p = RtlAllocateHeap(RtlProcessHeap(), 0, 16);
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(RtlFreeHeap(&other, 0, p));
    EXPECT_EQ(RtlSizeHeap(RtlProcessHeap(), 0, p), 16u);
    EXPECT_TRUE(RtlFreeHeap(RtlProcessHeap(), 0, p));
}

TEST(Heap, AbsurdSizesFailInsteadOfAborting) {
    EXPECT_EQ(RtlAllocateHeap(RtlProcessHeap(), 0, static_cast<SIZE_T>(-16)), nullptr);
    void *p = RtlAllocateHeap(RtlProcessHeap(), 0, 8);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(RtlReAllocateHeap(RtlProcessHeap(), 0, p, static_cast<SIZE_T>(-16)), nullptr);
    EXPECT_EQ(RtlSizeHeap(RtlProcessHeap(), 0, p), 8u);  // the old block stays
    EXPECT_TRUE(RtlFreeHeap(RtlProcessHeap(), 0, p));
}

}  // namespace
