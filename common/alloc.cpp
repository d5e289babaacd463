// The bounded heap and the Global block allocator of the boot-time programs.
//
// At boot time the programs share physical memory with nothing that could
// page for them, so the heap keeps a reserve of free memory untouched: the
// budget is measured once, at the first allocation, and every block handed
// out is counted against it. The Global routines keep one record per live
// block; a block's handle is its address, and GlobalLock returns the handle.
#include "frame.h"

#include <cstring>

ALLOCUNIT *AllocBlock = nullptr;
DWORD dwNumUnits = 0;
DWORD dwAllocedUnits = 0;
ULONG GlobalAllocCount = 0;
ULONG GlobalFreeCount = 0;
ULONG GlobalReAllocCount = 0;
LONGLONG HeapLeft = -1;

#define ALLOC_RECORDS_STEP 10

// Measures the heap budget: the free physical memory less the reserve.
// Leaves the result in HeapLeft (0 when the memory cannot be learnt or is no
// more than the reserve).
static void MeasureHeap(void) {
    SYSTEM_BASIC_INFORMATION basic;
    SYSTEM_PERFORMANCE_INFORMATION performance;
    ULONGLONG available = 0;

    memset(&basic, 0, sizeof basic);
    memset(&performance, 0, sizeof performance);
    if (NT_SUCCESS(NtQuerySystemInformation(SystemBasicInformation, &basic, sizeof basic, nullptr)) &&
        NT_SUCCESS(NtQuerySystemInformation(SystemPerformanceInformation, &performance, sizeof performance, nullptr))) {
        available = (ULONGLONG)performance.AvailablePages * basic.PageSize;
    }
    // All ones would read as "not measured" where the budget is 32 bits wide.
    if (available == 0xFFFFFFFF) available--;
    HeapLeft = available > HEAP_RESERVE_BYTES ? (LONGLONG)(available - HEAP_RESERVE_BYTES) : 0;
}

// Takes a size in bytes; returns a block from the process heap, or null when
// the block would eat into the reserve (with a debugger line) or the heap
// has none. The caller frees it with AutoChkMFree.
void *AutoChkMalloc(SIZE_T size) {
    void *p;

    if (HeapLeft == -1) MeasureHeap();
    if ((ULONGLONG)size > (ULONGLONG)HeapLeft) {
        DbgPrint("AutoChkMalloc failing due to no available heap - avail %X, asked for %X\n", (unsigned)HeapLeft,
                 (unsigned)size);
        return nullptr;
    }
    p = RtlAllocateHeap(RtlProcessHeap(), 0, size);
    if (p != nullptr) HeapLeft -= (LONGLONG)size;
    return p;
}

// A block of GlobalAlloc for something the run can do without (a cache):
// none, and no report, when it would take more than an eighth of what the
// heap has left.
HGLOBAL OptionalBlock(LONGLONG bytes) {
    if (HeapLeft == -1) MeasureHeap();
    if (bytes <= 0 || bytes > 0xFFFFFFFF || bytes > HeapLeft / 8) return nullptr;
    return GlobalAlloc(0, (SIZE_T)bytes);
}

// Frees a block of AutoChkMalloc and gives its size back to the budget.
void AutoChkMFree(void *p) {
    SIZE_T size;

    if (p == nullptr) return;
    size = RtlSizeHeap(RtlProcessHeap(), 0, p);
    if (HeapLeft != -1 && size != (SIZE_T)-1) HeapLeft += (LONGLONG)size;
    RtlFreeHeap(RtlProcessHeap(), 0, p);
}

// Makes a block of AutoChkMalloc at least size bytes long. Blocks never
// shrink: a size that already fits returns the same block. Otherwise a new
// block is taken, the old contents copied and the old block freed; on
// failure null is returned and the old block is left as it was.
void *UlibRealloc(void *p, SIZE_T size) {
    SIZE_T current;
    void *q;

    if (p == nullptr) return AutoChkMalloc(size);
    current = RtlSizeHeap(RtlProcessHeap(), 0, p);
    if (current == (SIZE_T)-1) return nullptr;
    if (size <= current) return p;
    q = AutoChkMalloc(size);
    if (q == nullptr) return nullptr;
    memcpy(q, p, current);
    AutoChkMFree(p);
    return q;
}

// Index of the record of a block, or -1.
static LONG FindUnit(HGLOBAL handle) {
    DWORD i;

    if (handle == nullptr) return -1;
    for (i = 0; i < dwNumUnits; i++)
        if (AllocBlock[i].Address == handle) return (LONG)i;
    return -1;
}

// Takes flags (only GMEM_ZEROINIT is honoured) and a size; returns the new
// block's handle (its address), or null for size 0 or when memory runs out.
// The block lives until GlobalFree.
HGLOBAL GlobalAlloc(UINT flags, SIZE_T size) {
    void *p;

    GlobalAllocCount++;
    if (size == 0 || size > 0xFFFFFFFF) return nullptr;

    // The record array grows 10 records at a time, when it is full (which
    // includes the very first allocation).
    if (dwNumUnits == dwAllocedUnits) {
        ALLOCUNIT *grown;
        DWORD oldUnits = dwAllocedUnits;

        dwAllocedUnits += ALLOC_RECORDS_STEP;
        if (AllocBlock == nullptr)
            grown = (ALLOCUNIT *)AutoChkMalloc(dwAllocedUnits * sizeof(ALLOCUNIT));
        else
            grown = (ALLOCUNIT *)UlibRealloc(AllocBlock, dwAllocedUnits * sizeof(ALLOCUNIT));
        if (grown == nullptr) {
            dwAllocedUnits = oldUnits;
            return nullptr;
        }
        memset(&grown[oldUnits], 0, ALLOC_RECORDS_STEP * sizeof(ALLOCUNIT));
        AllocBlock = grown;
    }

    p = AutoChkMalloc(size);
    if (p == nullptr) return nullptr;
    AllocBlock[dwNumUnits].Address = p;
    AllocBlock[dwNumUnits].Size = (DWORD)size;
    dwNumUnits++;
    if (flags & GMEM_ZEROINIT) memset(p, 0, size);
    return (HGLOBAL)p;
}

// Frees a block of GlobalAlloc. Returns null (success, as in Win32) also for
// an address it does not know, which is then left alone.
HGLOBAL GlobalFree(HGLOBAL handle) {
    LONG i;

    GlobalFreeCount++;
    i = FindUnit(handle);
    if (i < 0) return nullptr;
    AutoChkMFree(AllocBlock[i].Address);
    memmove(&AllocBlock[i], &AllocBlock[i + 1], (dwNumUnits - (DWORD)i - 1) * sizeof(ALLOCUNIT));
    dwNumUnits--;
    memset(&AllocBlock[dwNumUnits], 0, sizeof(ALLOCUNIT));
    return nullptr;
}

// Resizes a block of GlobalAlloc; with GMEM_ZEROINIT the bytes a growth adds
// are zeroed. Returns the (possibly new) handle; null for size 0, an unknown
// handle or no memory, in which case the record keeps the old block.
HGLOBAL GlobalReAlloc(HGLOBAL handle, SIZE_T size, UINT flags) {
    LONG i;
    void *p;
    DWORD oldSize;

    GlobalReAllocCount++;
    if (size == 0 || size > 0xFFFFFFFF) return nullptr;
    i = FindUnit(handle);
    if (i < 0) return nullptr;
    oldSize = AllocBlock[i].Size;
    p = UlibRealloc(AllocBlock[i].Address, size);
    if (p == nullptr) return nullptr;
    if ((flags & GMEM_ZEROINIT) && size > oldSize) memset((BYTE *)p + oldSize, 0, size - oldSize);
    AllocBlock[i].Address = p;
    AllocBlock[i].Size = (DWORD)size;
    return (HGLOBAL)p;
}

// The size a block was last given, 0 for an unknown handle.
SIZE_T GlobalSize(HGLOBAL handle) {
    LONG i = FindUnit(handle);
    return i < 0 ? 0 : AllocBlock[i].Size;
}

// The block's address (its handle), null for an unknown handle.
LPVOID GlobalLock(HGLOBAL handle) { return FindUnit(handle) < 0 ? nullptr : (LPVOID)handle; }

// TRUE for a known handle. Blocks never move, so there is nothing to undo.
BOOL GlobalUnlock(HGLOBAL handle) { return FindUnit(handle) < 0 ? FALSE : TRUE; }

// Allocates or resizes the caller's block and locks it.
//   size     the wanted size in bytes (0 is an error)
//   handle   the caller's handle variable: null for a new block (zero-filled),
//            else the block to resize (a growth gets a zeroed tail; the same
//            size keeps the block and its contents)
//   pointer  optional: the caller's pointer variable, set to the locked block
// Returns TRUE, or FALSE with the error report; after a failed allocation or
// resize *handle is null and the caller treats the whole operation as failed.
// The caller releases the block with GlobalUnlock and GlobalFree.
BOOL AllocateMemory(DWORD size, HGLOBAL *handle, void **pointer) {
    if (size == 0) {
        ERROR_REPORT();
        return FALSE;
    }
    if (*handle == nullptr) {
        *handle = GlobalAlloc(GHND, size);
        if (*handle == nullptr) {
            ERROR_REPORT();
            return FALSE;
        }
    } else if (GlobalSize(*handle) != size) {
        if (pointer != nullptr && *pointer != nullptr) GlobalUnlock(*handle);
        *handle = GlobalReAlloc(*handle, size, GHND);
        if (*handle == nullptr) {
            ERROR_REPORT();
            return FALSE;
        }
    }
    if (pointer != nullptr) {
        *pointer = GlobalLock(*handle);
        if (*pointer == nullptr) {
            ERROR_REPORT();
            return FALSE;
        }
    }
    return TRUE;
}

// Releases a block of AllocateMemory (unlock, free) and clears the caller's
// handle and, when given, the pointer variable that refers to it.
void ReleaseMemory(HGLOBAL *handle, void **pointer) {
    if (*handle != nullptr) {
        GlobalUnlock(*handle);
        GlobalFree(*handle);
        *handle = nullptr;
    }
    if (pointer != nullptr) *pointer = nullptr;
}

// Allocates a block of bytes plus one sector (VolData.BytesPerSector) and
// gives, in *aligned, its first address that is a multiple of the sector
// size. FALSE with the error report.
BOOL AllocateAligned(LONGLONG bytes, HGLOBAL *handle, BYTE **aligned) {
    LONGLONG sector = VolData.BytesPerSector;
    BYTE *raw = nullptr;

    if (sector <= 0 || (sector & (sector - 1)) != 0 || bytes <= 0 || bytes + sector > 0x7FFFFFFF ||
        !AllocateMemory((DWORD)(bytes + sector), handle, (void **)&raw)) {
        ERROR_REPORT();
        return FALSE;
    }
    *aligned = (BYTE *)(((ULONG_PTR)raw + (ULONG_PTR)sector - 1) & ~((ULONG_PTR)sector - 1));
    return TRUE;
}
