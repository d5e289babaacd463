// The in-memory volume bitmap and the free-space search.
//
// The bitmap block (VolData.hVolumeBitmap) holds a 16-byte header and then
// one bit per cluster, 1 = in use; see voldata.h for its size. The search is
// a first-fit scan (other modes on request) that tests whole 32-bit words
// before single bits, so fully used and fully free regions cost one test per
// 32 clusters.
#include <bit>
#include <cstring>

#include "frame.h"

namespace {

constexpr LONGLONG kHeaderBytes = 16;  // starting LCN, bitmap size

// Checks the bitmap geometry of VolData and that the bitmap block holds at
// least minimumBytes, then locks it. Returns the block's address, or null
// after the error report. The caller unlocks with UnlockVolumeBitmap.
BYTE *LockVolumeBitmap(LONGLONG minimumBytes) {
    HGLOBAL block = VolData.hVolumeBitmap;
    LONGLONG bits = VolData.BitmapSizeBits;
    if (block == nullptr || bits <= 0 || bits % 32 != 0 || VolData.TotalClusters < 0 || VolData.TotalClusters > bits ||
        (LONGLONG)GlobalSize(block) < minimumBytes) {
        ERROR_REPORT();
        return nullptr;
    }
    BYTE *address = (BYTE *)GlobalLock(block);
    if (address == nullptr) {
        ERROR_REPORT();
        return nullptr;
    }
    return address;
}

void UnlockVolumeBitmap(void) { GlobalUnlock(VolData.hVolumeBitmap); }

// Sets the bits of [first, end) of the bit array: single bits up to a word
// boundary, whole words while 32 or more remain, single bits for the rest.
void SetBitRange(ULONG *bits, LONGLONG first, LONGLONG end) {
    LONGLONG lcn = first;
    while (lcn < end && lcn % 32 != 0) {
        bits[lcn / 32] |= 1u << (lcn % 32);
        ++lcn;
    }
    while (end - lcn >= 32) {
        bits[lcn / 32] = 0xFFFFFFFF;
        lcn += 32;
    }
    while (lcn < end) {
        bits[lcn / 32] |= 1u << (lcn % 32);
        ++lcn;
    }
}

// Marks [firstLcn, firstLcn + clusters) in use in the in-memory bitmap. The
// range is cut at BitmapSizeBits (the bits past the volume are set already).
BOOL MarkRange(LONGLONG firstLcn, LONGLONG clusters) {
    if (firstLcn < 0 || clusters < 0) {
        ERROR_REPORT();
        return FALSE;
    }
    BYTE *block = LockVolumeBitmap(kHeaderBytes + VolData.BitmapSizeBits / 8);
    if (block == nullptr) return FALSE;
    LONGLONG limit = VolData.BitmapSizeBits;
    LONGLONG end = clusters > limit - firstLcn ? limit : firstLcn + clusters;
    if (firstLcn < limit && !VolumeBitsMarkedAlready(firstLcn, end)) {
        SetBitRange((ULONG *)(block + kHeaderBytes), firstLcn, end);
        VolumeBitsMarked(firstLcn, end, TRUE);
    }
    UnlockVolumeBitmap();
    return TRUE;
}

}  // namespace

// Entry b is the number of set bits in the byte value b: in-use clusters or
// records are counted a byte at a time.
extern const BYTE CountBitsArray[256] = {
    0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5, 1, 2, 2, 3, 2,
    3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5, 2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6, 1, 2, 2, 3, 2, 3, 3, 4, 2, 3,
    3, 4, 3, 4, 4, 5, 2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6, 2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5,
    6, 3, 4, 4, 5, 4, 5, 5, 6, 4, 5, 5, 6, 5, 6, 6, 7, 1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5, 2, 3, 3, 4,
    3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6, 2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6, 3, 4, 4, 5, 4, 5, 5, 6, 4,
    5, 5, 6, 5, 6, 6, 7, 2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6, 3, 4, 4, 5, 4, 5, 5, 6, 4, 5, 5, 6, 5, 6,
    6, 7, 3, 4, 4, 5, 4, 5, 5, 6, 4, 5, 5, 6, 5, 6, 6, 7, 4, 5, 5, 6, 5, 6, 6, 7, 5, 6, 6, 7, 6, 7, 7, 8,
};

// Refreshes the in-memory bitmap from the file system (FSCTL_GET_VOLUME_BITMAP
// on VolData.hVolume). Takes VolData.hVolumeBitmap (allocated by the setup
// with VolumeBitmapBlockBytes()), BitmapSizeBits and TotalClusters. Clears
// the first BitmapSizeBits / 8 + 24 bytes, asks for the bitmap from LCN 0
// into the whole block, then sets the bits from TotalClusters to
// BitmapSizeBits - 1. Returns TRUE; FALSE after the error report when the
// block is missing or too small, the lock or the request fails, or the answer
// covers fewer clusters than TotalClusters. After a failed request every bit
// is left set, so that no search can find space in a bitmap that was not
// read.
BOOL GetVolumeBitmap(void) {
    ForgetVolumeBitmapCopy();  // the file system's bitmap is not the copy of a disk read
    LONGLONG bitBytes = VolData.BitmapSizeBits / 8;
    BYTE *block = LockVolumeBitmap(bitBytes + 24);
    if (block == nullptr) return FALSE;
    memset(block, 0, (size_t)(bitBytes + 24));
    VOLUME_BITMAP_BUFFER *answer = (VOLUME_BITMAP_BUFFER *)block;
    answer->BitmapSize.QuadPart = VolData.BitmapSizeBits;

    STARTING_LCN_INPUT_BUFFER input;
    input.StartingLcn.QuadPart = 0;
    SIZE_T blockBytes = GlobalSize(VolData.hVolumeBitmap);
    DWORD outputBytes = blockBytes > 0xFFFFFFFF ? 0xFFFFFFFF : (DWORD)blockBytes;
    DWORD returned = 0;
    LONGLONG total = VolData.TotalClusters;
    BOOL ok = HvDeviceIoControl(VolData.hVolume, FSCTL_GET_VOLUME_BITMAP, &input, sizeof input, block, outputBytes,
                                &returned, nullptr);
    if (ok && (answer->StartingLcn.QuadPart != 0 || answer->BitmapSize.QuadPart < total ||
               (LONGLONG)returned < kHeaderBytes + (total + 7) / 8))
        ok = FALSE;
    ULONG *bits = (ULONG *)(block + kHeaderBytes);
    if (!ok) {
        memset(bits, 0xFF, (size_t)bitBytes);
        UnlockVolumeBitmap();
        ERROR_REPORT();
        return FALSE;
    }
    SetBitRange(bits, total, VolData.BitmapSizeBits);
    UnlockVolumeBitmap();
    return TRUE;
}

// On NTFS, marks the MFT area [MftZoneStart, MftZoneLimit) in use in the
// in-memory bitmap so that placement keeps it clear; on any other file system
// does nothing. Returns TRUE, or FALSE after the error report (bad block,
// lock failure, negative zone start). The bitmap on disk is not touched.
BOOL MarkMFTZoneUnavailable(void) {
    if (VolData.FileSystem != FS_NTFS) return TRUE;
    LONGLONG clusters = VolData.MftZoneLimit - VolData.MftZoneStart;
    return MarkRange(VolData.MftZoneStart, clusters < 0 ? 0 : clusters);
}

// Marks [firstLcn, firstLcn + clusters) in use in the in-memory bitmap, on
// any file system; clusters past the end of the bitmap are ignored (they are
// set already). Returns TRUE, or FALSE after the error report for a negative
// argument, a bad block or a lock failure.
BOOL MarkZoneUnavailable(LONGLONG firstLcn, LONGLONG clusters) { return MarkRange(firstLcn, clusters); }

// FindFreeExtent's answer from the free-space summary of the kept bitmap
// (arguments checked): the same run and the same cursor as the scan below
// gives, found without walking the clusters in between. The scan skips a
// whole used word (looking for the start) or a whole free word (looking for
// the end) only from a word boundary, so it may step past rangeEnd by up to
// 31 clusters: in the word that holds rangeEnd, when it reaches that word at
// its start and the word is all used (no start found) or all free (the run
// takes it whole).
static void SummaryFreeExtent(const ULONG *bits, LONGLONG rangeEnd, LONGLONG *lcn, LONGLONG *foundLcn,
                              LONGLONG *foundClusters) {
    LONGLONG last = rangeEnd - rangeEnd % 32;  // the word holding rangeEnd
    BOOL inside = rangeEnd % 32 != 0;          // rangeEnd lies inside that word
    LONGLONG start = NextFreeCluster(*lcn < 1 ? 1 : *lcn);
    if (start >= rangeEnd) {
        *lcn = inside && *lcn <= last && bits[last / 32] == 0xFFFFFFFF ? last + 32 : rangeEnd;
        return;
    }
    LONGLONG end = NextUsedCluster(start);
    if (end >= rangeEnd) end = inside && start <= last && end >= last + 32 ? last + 32 : rangeEnd;
    *lcn = end;
    *foundLcn = start;
    *foundClusters = end - start;
}

// Takes the bit array (after the bitmap header), a range end, and the cursor
// *lcn. Finds the first free run that starts at or after *lcn and below
// rangeEnd: *foundLcn = its start, *foundClusters = its length, and *lcn is
// left just after it; both results are 0 when there is none. LCN 0 never
// starts a run (0 stands for "not found"): a free cluster 0 is passed over.
// Whole used words are skipped while looking for the start and whole free
// words (from the start cluster on) while looking for the end, so a run may
// end up to 31 free clusters past rangeEnd when rangeEnd is not a multiple of
// 32: with rangeEnd 40 and clusters 32-63 free, the run found is 32-63.
// Rejects, with a trace line (log level above 5) and no result, null
// arguments, rangeEnd beyond TotalClusters, *lcn at or past rangeEnd and a
// negative *lcn.
void FindFreeExtent(ULONG *bits, LONGLONG rangeEnd, LONGLONG *lcn, LONGLONG *foundLcn, LONGLONG *foundClusters) {
    if (foundLcn) *foundLcn = 0;
    if (foundClusters) *foundClusters = 0;
    if (lcn == nullptr || bits == nullptr || foundLcn == nullptr || foundClusters == nullptr) {
        Message(u"FindFreeExtent called with nullptr arg", -1, nullptr);
        return;
    }
    if (rangeEnd > VolData.TotalClusters) {
        Message(u"FindFreeExtent called with RangeEnd > TotalClusters", -1, nullptr);
        return;
    }
    if (*lcn >= rangeEnd) {
        Message(u"FindFreeExtent called with LCN > RangeEnd", -1, nullptr);
        return;
    }
    if (*lcn < 0) {
        Message(u"FindFreeExtent called with LCN < 0", -1, nullptr);
        return;
    }
    if (VolumeBitsReadable(bits)) {
        SummaryFreeExtent(bits, rangeEnd, lcn, foundLcn, foundClusters);
        return;
    }

    // The start: the first clear bit after cluster 0. Within a word the next
    // clear bit is found at once; the result is the one a bit-by-bit walk
    // that stops at rangeEnd gives.
    LONGLONG p = *lcn;
    LONGLONG start = 0;
    while (p < rangeEnd && start == 0) {
        ULONG word = bits[p / 32];
        int bit = (int)(p % 32);
        if (bit == 0 && word == 0xFFFFFFFF) {
            p += 32;
            continue;
        }
        ULONG freeBits = ~word & (0xFFFFFFFFu << bit);
        LONGLONG wordEnd = p - bit + 32;
        if (freeBits == 0) {
            p = wordEnd < rangeEnd ? wordEnd : rangeEnd;
            continue;
        }
        LONGLONG q = p - bit + std::countr_zero(freeBits);
        if (q >= rangeEnd) {
            p = rangeEnd;
            break;
        }
        if (q == 0) {
            p = 1;  // a free cluster 0 never starts a run
            continue;
        }
        start = q;
        p = q;
    }
    if (start == 0) {
        *lcn = p;
        return;
    }

    // The end: the next set bit, free words skipped whole. The scan begins at
    // the start cluster itself, so a run that starts on a word boundary
    // takes that whole word when it is free, even when rangeEnd lies inside
    // it.
    while (p < rangeEnd) {
        ULONG word = bits[p / 32];
        int bit = (int)(p % 32);
        if (bit == 0 && word == 0) {
            p += 32;
            continue;
        }
        ULONG usedBits = word & (0xFFFFFFFFu << bit);
        LONGLONG wordEnd = p - bit + 32;
        if (usedBits == 0) {
            p = wordEnd < rangeEnd ? wordEnd : rangeEnd;
            continue;
        }
        LONGLONG q = p - bit + std::countr_zero(usedBits);
        p = q < rangeEnd ? q : rangeEnd;
        break;
    }
    *lcn = p;
    *foundLcn = start;
    *foundClusters = p - start;
}

// Searches the window [SearchStartLcn, SearchEndLcn) of the in-memory bitmap
// for free space of NumberOfClusters clusters and sets FoundLcn and FoundLen
// (FoundLen 0: nothing found; the result is still TRUE). On NTFS, unless
// SearchEndLcn equals MftZoneEnd, runs are cut to keep out of
// [MftZoneStart, MftZoneEnd). The mode is one of the FFS_* selections of
// voldata.h, optionally with FFS_AT_END, or FFS_COUNT_RUNS alone (which sets
// FreeRunCount and FreeRunClusters). A run found may reach up to 31 clusters
// past SearchEndLcn: callers check FoundLcn against their window. Returns
// FALSE after the error report for an unknown mode, a bad bitmap block or a
// lock failure.
BOOL FindFreeSpace(ULONG mode) {
    VolData.FoundLcn = 0;
    VolData.FoundLen = 0;
    const ULONG selections = FFS_FIRST_FIT | FFS_BEST_FIT | FFS_LAST_FIT | FFS_FIRST_ANY | FFS_LAST_ANY | FFS_LONGEST;
    ULONG select = mode & selections;
    BOOL counting = mode == FFS_COUNT_RUNS;
    if (!counting && ((mode & ~(selections | FFS_AT_END)) != 0 || std::popcount(select) != 1)) {
        ERROR_REPORT();
        return FALSE;
    }
    BYTE *block = LockVolumeBitmap(kHeaderBytes + VolData.BitmapSizeBits / 8);
    if (block == nullptr) return FALSE;
    ULONG *bits = (ULONG *)(block + kHeaderBytes);

    const LONGLONG needed = VolData.NumberOfClusters;
    const LONGLONG windowEnd = VolData.SearchEndLcn;
    const LONGLONG zoneStart = VolData.MftZoneStart, zoneEnd = VolData.MftZoneEnd;
    const BOOL cutZone = VolData.FileSystem == FS_NTFS && windowEnd != zoneEnd && zoneStart < zoneEnd;
    BOOL found = FALSE;
    LONGLONG bestLcn = 0, bestLen = 0, runs = 0, clusters = 0;

    LONGLONG cursor = VolData.SearchStartLcn;
    while (cursor < windowEnd) {
        LONGLONG runLcn = 0, runLen = 0;
        // A first fit passes every shorter run; the zone cut only shortens.
        if (select == FFS_FIRST_FIT && windowEnd <= VolData.TotalClusters)
            cursor = SkipShortFreeRuns(bits, cursor, needed);
        if (cursor >= windowEnd) break;
        FindFreeExtent(bits, windowEnd, &cursor, &runLcn, &runLen);
        if (runLen == 0) break;
        if (cutZone) {
            LONGLONG runEnd = runLcn + runLen;
            if (runLcn < zoneStart) {
                if (runEnd > zoneStart) runEnd = zoneStart;
            } else if (runLcn < zoneEnd) {
                runLcn = zoneEnd;
            }
            runLen = runEnd - runLcn;
            if (runLen <= 0) continue;
        }
        ++runs;
        clusters += runLen;
        BOOL take = FALSE, stop = FALSE;
        switch (select) {
        case FFS_FIRST_FIT:
            take = stop = runLen >= needed;
            break;
        case FFS_BEST_FIT:
            take = runLen >= needed && (!found || runLen < bestLen);
            break;
        case FFS_LAST_FIT:
            take = runLen >= needed;
            break;
        case FFS_FIRST_ANY:
            take = stop = TRUE;
            break;
        case FFS_LAST_ANY:
            take = TRUE;
            break;
        case FFS_LONGEST:
            take = !found || runLen > bestLen;
            break;
        default:
            break;  // counting
        }
        if (take) {
            found = TRUE;
            bestLcn = runLcn;
            bestLen = runLen;
        }
        if (stop) break;
    }
    UnlockVolumeBitmap();

    if (counting) {
        VolData.FreeRunCount = runs;
        VolData.FreeRunClusters = clusters;
        return TRUE;
    }
    if (found) {
        VolData.FoundLcn = bestLcn;
        VolData.FoundLen = bestLen;
        // Only a run long enough can hold the clusters at its end.
        if ((mode & FFS_AT_END) != 0 && needed > 0 && bestLen >= needed) {
            VolData.FoundLcn = bestLcn + bestLen - needed;
            VolData.FoundLen = needed;
        }
    }
    return TRUE;
}

// Takes a bit array, a cursor and a cluster count. With the free-space
// summary of the kept bitmap: the first cluster at or after lcn where a run
// of `clusters` free clusters begins (BitmapSizeBits when none), for every
// free run a first-fit walk from lcn would meet before it is shorter.
// Without one: lcn.
LONGLONG SkipShortFreeRuns(const ULONG *bits, LONGLONG lcn, LONGLONG clusters) {
    if (lcn < 0 || !VolumeBitsReadable(bits)) return lcn;
    return NextFreeRunOf(lcn, clusters);
}

// Takes a bit array (after the bitmap header), the window [start, end) and a
// table of `capacity` FREE_RUN entries. Walks the free runs with
// FindFreeExtent and keeps the longest in the table, longest first, a new
// run going in front of those of its length (so the later of equal runs
// wins). Returns the entries used.
LONGLONG CollectLongestFreeRuns(ULONG *bits, LONGLONG start, LONGLONG end, FREE_RUN *table, LONGLONG capacity) {
    LONGLONG used = 0;
    LONGLONG cursor = start < 0 ? 0 : start;

    if (end > VolData.TotalClusters) end = VolData.TotalClusters;
    if (bits == nullptr || table == nullptr || capacity <= 0) return 0;
    while (cursor < end) {
        LONGLONG lcn = 0, clusters = 0, at = 0;
        FindFreeExtent(bits, end, &cursor, &lcn, &clusters);
        if (clusters == 0) break;
        if (lcn + clusters > end) clusters = end - lcn;  // only the part inside the window
        while (at < used && table[at].ClusterCount > clusters) at++;
        if (at == capacity) continue;  // shorter than every run kept
        LONGLONG last = used < capacity ? used : capacity - 1;
        for (LONGLONG i = last; i > at; i--) table[i] = table[i - 1];
        table[at].StartingLcn = lcn;
        table[at].ClusterCount = clusters;
        if (used < capacity) used++;
    }
    return used;
}

// ============================================================ the check before the first write

const WCHAR cInconsistentVolume[] =
    u"Boot-time defragmenter cannot run on a volume whose allocation disagrees with its "
    u"files.  Please run CHKDSK /f\n";

// Takes the bit array, its length in bits and a run; clears the run's bits.
// FALSE at the first cluster of the run that is clear already or outside
// the array, with *conflict = that cluster; the bits before it stay cleared.
BOOL ClaimClusters(BYTE *bits, LONGLONG bitCount, LONGLONG lcn, LONGLONG clusters, LONGLONG *conflict) {
    if (lcn < 0 || clusters < 0) {
        *conflict = lcn;
        return FALSE;
    }
    BOOL outside = clusters > bitCount - lcn;
    LONGLONG end = outside ? bitCount : lcn + clusters;
    LONGLONG at = lcn;
    while (at < end) {
        BYTE mask = (BYTE)(1u << (at & 7));
        if (mask == 1 && end - at >= 8 && bits[at >> 3] == 0xFF) {
            bits[at >> 3] = 0;  // a whole byte claimed at once
            at += 8;
            continue;
        }
        if (!(bits[at >> 3] & mask)) {
            *conflict = at;
            return FALSE;
        }
        bits[at >> 3] &= (BYTE)~mask;
        at++;
    }
    if (outside) {
        *conflict = lcn > bitCount ? lcn : bitCount;
        return FALSE;
    }
    return TRUE;
}

BOOL RefuseInconsistentVolume(const WCHAR *detail) {
    if (detail != nullptr && lLogLevel >= 1) ShowDiag(detail);
    ShowDiag(cInconsistentVolume);
    return FALSE;
}
