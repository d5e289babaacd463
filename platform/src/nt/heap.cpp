// The process heap. Blocks come from the C library; a registry of the live
// blocks gives RtlSizeHeap the exact size each was asked for, and lets a free
// or size query of an address the heap never gave out fail without harm.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "internal.h"

namespace {

// Larger requests fail (as a real heap would) rather than reaching the C
// library, which may abort on absurd sizes under the sanitizers.
constexpr SIZE_T kLargestBlock = SIZE_T(1) << 40;

// The registry keeps each address inverted, so that it does not itself hold
// the blocks: a block the program loses is then a leak LeakSanitizer reports.
uintptr_t key_of(const void *p) { return ~reinterpret_cast<uintptr_t>(p); }

struct Heap {
    std::mutex lock;
    std::unordered_map<uintptr_t, SIZE_T> blocks;  // key_of(address) -> size asked for
};

Heap &heap() {
    static Heap *h = new Heap;  // never destroyed: blocks may be freed from exit paths
    return *h;
}

bool is_process_heap(PVOID handle, const char *call) {
    if (handle == ntp::process_heap()) return true;
    ntp::debug("%s: %p is not the process heap", call, handle);
    return false;
}

}  // namespace

PVOID RtlAllocateHeap(PVOID HeapHandle, ULONG Flags, SIZE_T Size) {
    if (!is_process_heap(HeapHandle, "RtlAllocateHeap") || Size > kLargestBlock) return nullptr;
    void *p = (Flags & HEAP_ZERO_MEMORY) ? std::calloc(Size ? Size : 1, 1) : std::malloc(Size ? Size : 1);
    if (!p) return nullptr;
    Heap &h = heap();
    std::lock_guard<std::mutex> guard(h.lock);
    h.blocks[key_of(p)] = Size;
    return p;
}

BOOLEAN RtlFreeHeap(PVOID HeapHandle, ULONG Flags, PVOID BaseAddress) {
    if (!is_process_heap(HeapHandle, "RtlFreeHeap")) return FALSE;
    if (!BaseAddress) return TRUE;  // freeing nothing succeeds, as on Windows
    Heap &h = heap();
    {
        std::lock_guard<std::mutex> guard(h.lock);
        auto it = h.blocks.find(key_of(BaseAddress));
        if (it == h.blocks.end()) {
            ntp::debug("RtlFreeHeap: %p was not given out by the heap", BaseAddress);
            return FALSE;
        }
        h.blocks.erase(it);
    }
    std::free(BaseAddress);
    return TRUE;
}

SIZE_T RtlSizeHeap(PVOID HeapHandle, ULONG Flags, PVOID BaseAddress) {
    if (!is_process_heap(HeapHandle, "RtlSizeHeap")) return static_cast<SIZE_T>(-1);
    Heap &h = heap();
    std::lock_guard<std::mutex> guard(h.lock);
    auto it = h.blocks.find(key_of(BaseAddress));
    return it == h.blocks.end() ? static_cast<SIZE_T>(-1) : it->second;
}

PVOID RtlReAllocateHeap(PVOID HeapHandle, ULONG Flags, PVOID BaseAddress, SIZE_T Size) {
    if (!is_process_heap(HeapHandle, "RtlReAllocateHeap") || Size > kLargestBlock) return nullptr;
    Heap &h = heap();
    std::lock_guard<std::mutex> guard(h.lock);
    auto it = h.blocks.find(key_of(BaseAddress));
    if (it == h.blocks.end()) {
        ntp::debug("RtlReAllocateHeap: %p was not given out by the heap", BaseAddress);
        return nullptr;
    }
    SIZE_T old = it->second;
    void *p = std::realloc(BaseAddress, Size ? Size : 1);
    if (!p) return nullptr;  // the old block stays as it was
    h.blocks.erase(it);
    h.blocks[key_of(p)] = Size;
    if ((Flags & HEAP_ZERO_MEMORY) && Size > old) std::memset(static_cast<char *>(p) + old, 0, Size - old);
    return p;
}
