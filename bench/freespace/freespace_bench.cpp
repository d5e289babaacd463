// Free-space search speed: the word-at-a-time scan of the frame against the
// bit-by-bit model, on a 2^28-cluster bitmap (a 1 TiB volume of 4 KB
// clusters), one mostly full and one mostly empty. Each search asks for more
// than any run holds, so the whole bitmap is scanned. Prints the best of a
// few runs of each and the ratio; the two must agree on the answer.
//   bench_freespace [log2 of the cluster count, default 28]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "frame.h"
#include "vol_reference.h"

namespace {

double Seconds(const std::chrono::steady_clock::time_point &from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

void SetRange(ULONG *bits, LONGLONG a, LONGLONG b, bool used) {
    for (LONGLONG n = a; n < b; ++n) {
        if (used)
            bits[n / 32] |= 1u << (n % 32);
        else
            bits[n / 32] &= ~(1u << (n % 32));
    }
}

// Fills the bits with `base` and scatters short runs of the other state so
// that about `share` of the clusters have it.
void Fill(ULONG *bits, LONGLONG total, bool baseUsed, double share, std::mt19937_64 &rng) {
    memset(bits, baseUsed ? 0xFF : 0x00, (size_t)(VolData.BitmapSizeBits / 8));
    std::uniform_int_distribution<LONGLONG> len(1, 8);
    LONGLONG gap = (LONGLONG)(4.5 / share);
    std::uniform_int_distribution<LONGLONG> step(1, 2 * gap);
    for (LONGLONG n = step(rng); n < total; n += step(rng)) {
        LONGLONG end = std::min(total, n + len(rng));
        SetRange(bits, n, end, !baseUsed);
        n = end;
    }
    SetRange(bits, total, VolData.BitmapSizeBits, true);
}

struct Timing {
    double fast, reference;
    bool agree;
};

Timing Measure(ULONG *bits, LONGLONG total, LONGLONG needed) {
    VolData.SearchStartLcn = 0;
    VolData.SearchEndLcn = total;
    VolData.NumberOfClusters = needed;
    double fast = 1e30;
    for (int i = 0; i < 5; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        if (!FindFreeSpace(FFS_FIRST_FIT)) {
            fprintf(stderr, "FindFreeSpace failed\n");
            exit(1);
        }
        fast = std::min(fast, Seconds(t0));
    }
    LONGLONG foundLcn = VolData.FoundLcn, foundLen = VolData.FoundLen;
    volref::Search s{bits, total, 0, total, needed, true, VolData.MftZoneStart, VolData.MftZoneEnd};
    double reference = 1e30;
    volref::Result r;
    for (int i = 0; i < 2; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        r = volref::FindSpace(s, FFS_FIRST_FIT);
        reference = std::min(reference, Seconds(t0));
    }
    return {fast, reference, r.lcn == foundLcn && r.len == foundLen};
}

}  // namespace

int main(int argc, char **argv) {
    int log2 = argc > 1 ? atoi(argv[1]) : 28;
    if (log2 < 10 || log2 > 34) {
        fprintf(stderr, "usage: bench_freespace [log2 of the cluster count, 10..34]\n");
        return 2;
    }
    LONGLONG total = 1LL << log2;
    memset(&VolData, 0, sizeof VolData);
    VolData.FileSystem = FS_NTFS;
    VolData.TotalClusters = total;
    VolData.BitmapSizeBits = BitmapSizeBitsFor(total);
    VolData.BytesPerCluster = 4096;
    VolData.MftZoneStart = total / 8;
    VolData.MftZoneEnd = total / 8 + total / 64;
    void *block = nullptr;
    if (!AllocateMemory((DWORD)VolumeBitmapBlockBytes(), &VolData.hVolumeBitmap, &block)) {
        fprintf(stderr, "cannot allocate the %lld-byte bitmap\n", (long long)VolumeBitmapBlockBytes());
        return 1;
    }
    ULONG *bits = (ULONG *)((BYTE *)block + 16);
    std::mt19937_64 rng(42);

    printf("FindFreeSpace(first fit) over %lld clusters, whole bitmap scanned\n", (long long)total);
    printf("%-34s %12s %14s %8s %6s\n", "bitmap", "scan ms", "bit-by-bit ms", "ratio", "agree");
    struct Scenario {
        const char *name;
        bool baseUsed;
        double share;
        LONGLONG needed;
    } scenarios[] = {
        {"mostly full (1% free, short runs)", true, 0.01, 64},
        {"mostly empty (1% used, short runs)", false, 0.01, 1LL << 40},
    };
    bool allAgree = true;
    for (const Scenario &sc : scenarios) {
        Fill(bits, total, sc.baseUsed, sc.share, rng);
        Timing t = Measure(bits, total, sc.needed);
        printf("%-34s %12.2f %14.2f %7.1fx %6s\n", sc.name, t.fast * 1e3, t.reference * 1e3, t.reference / t.fast,
               t.agree ? "yes" : "NO");
        allAgree = allAgree && t.agree;
    }
    GlobalUnlock(VolData.hVolumeBitmap);
    GlobalFree(VolData.hVolumeBitmap);
    return allAgree ? 0 : 1;
}
