// What the run knows about its in-memory volume bitmap, so that the cost of a
// run grows with the clusters it moves and not with the size of the volume:
//
//   - a copy of the volume's bitmap file as the disk holds it (as last read,
//     and kept in step with every write the program makes to it), so that a
//     re-read that can only return what the program itself wrote is answered
//     from memory, and a write of the bitmap sends only the sectors whose
//     bits changed;
//   - the places where the bits in memory differ from that copy: units of
//     4,096 clusters changed by a move, and the ranges marked in use in
//     memory only (the MFT area closed for a search, a target area);
//   - a summary of free space per unit (free clusters at its start and end,
//     its longest free run) in a tree over the units, kept in step with every
//     change, so that the next free cluster, the next used one and the first
//     free run of a given length are found without scanning from LCN 0.
//
// The in-memory bitmap is still the one the searches and the marks work on.
// A range marked in memory only is not unmarked at once when the bitmap is
// put back to the disk's: it stays set and is remembered as *pending* (its
// clusters read as the copy has them), and the next mark of the same range,
// the usual next step of a stage, finds it marked already. Anything else
// that reads or changes the bits of a pending range first puts the copy's
// bits back there. So marking the MFT area before every search costs nothing
// as long as the area is marked already, and putting the bitmap back after a
// move costs nothing for it either.
//
// Only the NTFS program keeps a copy (DirectReadVolumeBitmap); without one
// (the FAT program, the file system's own bitmap of GetVolumeBitmap) every
// routine here leaves the bits alone and the searches scan as they always
// did. bCacheMetadata FALSE keeps no copy either: the plain I/O that the tests
// compare runs against.
#include <bit>
#include <cstring>

#include "frame.h"

BOOL bCacheMetadata = TRUE;

namespace {

constexpr LONGLONG kUnitBits = 4096;             // clusters per unit (512 bytes of bitmap)
constexpr LONGLONG kUnitWords = kUnitBits / 32;  // 32-bit words per unit
constexpr LONGLONG kUnitBytes = kUnitBits / 8;   // bytes per unit
constexpr int kRanges = 8;                       // marked and pending ranges kept apart
constexpr LONGLONG kHeaderBytes = 16;            // of the bitmap block

struct Range {
    LONGLONG First, End;  // [First, End) clusters
    BOOL Intact;          // marks: no cluster of it cleared since it was marked
};

// One node of the summary tree: free clusters at the start and at the end of
// its clusters, and its longest free run.
struct Node {
    LONGLONG Head, Tail, Longest;
};

struct BitmapState {
    ULONG *Bits;        // the bits of VolData.hVolumeBitmap (null: nothing kept)
    HGLOBAL Block;      // that block
    LONGLONG SizeBits;  // VolData.BitmapSizeBits when kept
    LONGLONG Total;     // VolData.TotalClusters when kept
    LONGLONG Words;     // SizeBits / 32
    HGLOBAL hDisk;      // the bitmap file's bytes as the disk holds them
    BYTE *Disk;
    LONGLONG DiskBytes;
    LONGLONG Units;   // units over SizeBits
    LONGLONG Leaves;  // the tree's leaves: Units rounded up to a power of two
    HGLOBAL hTree;    // 2 x Leaves nodes; node 1 is the root, leaf u is node Leaves + u
    Node *Tree;
    HGLOBAL hChanged;       // units changed by moves since the last write or restore,
    ULONG *ChangedSet;      // one bit per unit,
    LONGLONG ChangedCount;  // how many,
    LONGLONG ChangedLow;    // the lowest
    LONGLONG ChangedHigh;   // and the highest
    Range Marks[kRanges];   // marked in memory only
    int MarkCount;
    Range Pending[kRanges];  // set in memory, read as the copy has them
    int PendingCount;
};

BitmapState gState;

// ----------------------------------------------------------- bit access

ULONG WordAt(LONGLONG w) { return w < gState.Words ? gState.Bits[w] : 0xFFFFFFFF; }

BOOL BitAt(const ULONG *bits, LONGLONG c) { return (bits[c / 32] >> (c % 32)) & 1; }

// Copies the bits of [first, end) from the disk copy into the bits in memory
// (only clusters of the volume: the bits past it stay set).
void CopyFromDisk(LONGLONG first, LONGLONG end) {
    if (end > gState.Total) end = gState.Total;
    BYTE *to = (BYTE *)gState.Bits;
    const BYTE *from = gState.Disk;
    LONGLONG c = first;
    while (c < end && c % 8 != 0) {
        BYTE mask = (BYTE)(1u << (c % 8));
        to[c / 8] = (BYTE)((to[c / 8] & ~mask) | (from[c / 8] & mask));
        c++;
    }
    LONGLONG whole = (end - c) / 8;
    if (whole > 0) memcpy(to + c / 8, from + c / 8, (size_t)whole);
    c += whole * 8;
    while (c < end) {
        BYTE mask = (BYTE)(1u << (c % 8));
        to[c / 8] = (BYTE)((to[c / 8] & ~mask) | (from[c / 8] & mask));
        c++;
    }
}

// ---------------------------------------------------------------- summary

// Free clusters at the start of a 32-bit word, and at its end.
int FreeAtStart(ULONG w) { return std::countr_one(~w) == 32 ? 32 : std::countr_zero(w); }
int FreeAtEnd(ULONG w) { return std::countl_zero(w); }

// The longest free run lying wholly inside a word that is neither all free
// nor all used.
int LongestInside(ULONG w) {
    int best = 0, run = 0;
    for (int b = 0; b < 32; b++) {
        if ((w >> b) & 1) {
            run = 0;
        } else if (++run > best) {
            best = run;
        }
    }
    return best;
}

// Summary of unit u from the bits.
Node UnitSummary(LONGLONG u) {
    Node n = {0, 0, 0};
    if (u >= gState.Units) return n;
    LONGLONG run = 0;  // free run ending at the current word
    BOOL head = TRUE;
    for (LONGLONG i = 0; i < kUnitWords; i++) {
        ULONG w = WordAt(u * kUnitWords + i);
        if (w == 0) {
            run += 32;
            continue;
        }
        LONGLONG start = FreeAtStart(w);
        run += start;
        if (head) {
            n.Head = run;
            head = FALSE;
        }
        if (run > n.Longest) n.Longest = run;
        if (w != 0xFFFFFFFF && LongestInside(w) > n.Longest) n.Longest = LongestInside(w);
        run = FreeAtEnd(w);
    }
    if (head) n.Head = run;
    n.Tail = run;
    if (run > n.Longest) n.Longest = run;
    return n;
}

// Clusters under a node at `level` (0 for a leaf).
LONGLONG NodeClusters(int level) { return kUnitBits << level; }

Node Join(const Node &left, const Node &right, LONGLONG half) {
    Node n;
    n.Head = left.Head == half ? half + right.Head : left.Head;
    n.Tail = right.Tail == half ? half + left.Tail : right.Tail;
    n.Longest = left.Longest > right.Longest ? left.Longest : right.Longest;
    if (left.Tail + right.Head > n.Longest) n.Longest = left.Tail + right.Head;
    return n;
}

// Recomputes the leaves of units [firstUnit, endUnit) and their ancestors.
// state: 1 all in use, 0 all free (known from the change), -1 read the bits;
// only units wholly inside [first, end) take a known state.
void Summarise(LONGLONG first, LONGLONG end, int state) {
    if (gState.Tree == nullptr || end <= first) return;
    LONGLONG firstUnit = first / kUnitBits, endUnit = (end + kUnitBits - 1) / kUnitBits;
    if (endUnit > gState.Units) endUnit = gState.Units;
    for (LONGLONG u = firstUnit; u < endUnit; u++) {
        BOOL whole = u * kUnitBits >= first && (u + 1) * kUnitBits <= end && (u + 1) * kUnitBits <= gState.Total;
        Node n;
        if (whole && state == 1) {
            n.Head = n.Tail = n.Longest = 0;
        } else if (whole && state == 0) {
            n.Head = n.Tail = n.Longest = kUnitBits;
        } else {
            n = UnitSummary(u);
        }
        gState.Tree[gState.Leaves + u] = n;
    }
    LONGLONG lo = gState.Leaves + firstUnit, hi = gState.Leaves + endUnit - 1;
    for (int level = 1; lo > 1; level++) {
        lo /= 2;
        hi /= 2;
        for (LONGLONG i = lo; i <= hi; i++)
            gState.Tree[i] = Join(gState.Tree[2 * i], gState.Tree[2 * i + 1], NodeClusters(level - 1));
    }
}

// First free cluster at or after p inside unit u, or the unit's end.
LONGLONG NextFreeInUnit(LONGLONG p, LONGLONG u) {
    LONGLONG end = (u + 1) * kUnitBits;
    while (p < end) {
        ULONG w = WordAt(p / 32) | ((1u << (p % 32)) - 1);  // bits before p count as used
        if (w != 0xFFFFFFFF) return p - p % 32 + std::countr_one(w);
        p = p - p % 32 + 32;
    }
    return end;
}

// First used cluster at or after p inside unit u, or the unit's end.
LONGLONG NextUsedInUnit(LONGLONG p, LONGLONG u) {
    LONGLONG end = (u + 1) * kUnitBits;
    while (p < end) {
        ULONG w = WordAt(p / 32) & ~((1u << (p % 32)) - 1);  // bits before p count as free
        if (w != 0) return p - p % 32 + std::countr_zero(w);
        p = p - p % 32 + 32;
    }
    return end;
}

// The first run of `needed` free clusters inside unit u that starts at or
// after p, given `carry` free clusters just before p (from runStart). The
// start of that run, or -1; *carry and *runStart are left for the next unit.
LONGLONG WindowInUnit(LONGLONG p, LONGLONG u, LONGLONG needed, LONGLONG *carry, LONGLONG *runStart) {
    LONGLONG end = (u + 1) * kUnitBits;
    while (p < end) {
        LONGLONG used = NextUsedInUnit(p, u);
        if (*carry == 0) *runStart = p;
        *carry += used - p;
        if (*carry >= needed) return *runStart;
        if (used == end) return -1;
        *carry = 0;
        p = NextFreeInUnit(used, u);
    }
    return -1;
}

// Passes a node of `size` clusters from `start` that holds no run long
// enough: the free run reaching past its end (carried on through a node all
// free, else its tail) is *carry long and starts at *runStart.
void CarryOver(const Node &n, LONGLONG start, LONGLONG size, LONGLONG *carry, LONGLONG *runStart) {
    if (n.Head == size) {
        if (*carry == 0) *runStart = start;
        *carry += size;
    } else {
        *carry = n.Tail;
        *runStart = start + size - n.Tail;
    }
}

// Descends from node i (at `level`, starting at cluster `start`) to the
// first run of `needed` free clusters in it, given the carry before it; the
// node holds one (its longest run, or carry + its head, is long enough).
LONGLONG DescendToWindow(LONGLONG i, int level, LONGLONG start, LONGLONG needed, LONGLONG carry, LONGLONG runStart) {
    while (level > 0) {
        LONGLONG half = NodeClusters(level - 1);
        const Node &left = gState.Tree[2 * i];
        if (carry + left.Head >= needed) return carry > 0 ? runStart : start;
        if (left.Longest >= needed) {
            i = 2 * i;
        } else {
            CarryOver(left, start, half, &carry, &runStart);
            const Node &right = gState.Tree[2 * i + 1];
            if (carry + right.Head >= needed) return carry > 0 ? runStart : start + half;
            i = 2 * i + 1;
            start += half;
        }
        level--;
    }
    LONGLONG u = i - gState.Leaves;
    return WindowInUnit(start, u, needed, &carry, &runStart);
}

// The first run of `needed` (> 0) free clusters that starts at or after p;
// -1 when there is none.
LONGLONG FirstWindow(LONGLONG p, LONGLONG needed) {
    if (p >= gState.SizeBits) return -1;
    LONGLONG u = p / kUnitBits, carry = 0, runStart = p;
    LONGLONG found = WindowInUnit(p, u, needed, &carry, &runStart);
    if (found >= 0) return found;
    // The nodes after unit u, left to right.
    LONGLONG i = gState.Leaves + u;
    int level = 0;
    LONGLONG start = (u + 1) * kUnitBits;
    while (i > 1) {
        if ((i & 1) == 0) {
            const Node &n = gState.Tree[i + 1];
            LONGLONG size = NodeClusters(level);
            if (carry + n.Head >= needed) return carry > 0 ? runStart : start;
            if (n.Longest >= needed) return DescendToWindow(i + 1, level, start, needed, carry, runStart);
            CarryOver(n, start, size, &carry, &runStart);
            start += size;
        }
        i /= 2;
        level++;
    }
    return -1;
}

// The first used cluster at or after p (there is always one: the bits past
// the volume are set).
LONGLONG FirstUsed(LONGLONG p) {
    LONGLONG u = p / kUnitBits;
    LONGLONG found = NextUsedInUnit(p, u);
    if (found < (u + 1) * kUnitBits) return found;
    LONGLONG i = gState.Leaves + u;
    int level = 0;
    LONGLONG start = (u + 1) * kUnitBits;
    while (i > 1) {
        if ((i & 1) == 0) {
            LONGLONG size = NodeClusters(level);
            const Node &n = gState.Tree[i + 1];
            if (n.Head < size) return start + n.Head;
            start += size;
        }
        i /= 2;
        level++;
    }
    return gState.SizeBits;
}

// ------------------------------------------------------ changed and pending

BOOL Overlaps(const Range &r, LONGLONG first, LONGLONG end) { return r.First < end && first < r.End; }

void NoteChangedUnits(LONGLONG first, LONGLONG end) {
    for (LONGLONG u = first / kUnitBits; u < gState.Units && u * kUnitBits < end; u++) {
        ULONG bit = 1u << (u % 32);
        if (gState.ChangedSet[u / 32] & bit) continue;
        gState.ChangedSet[u / 32] |= bit;
        if (gState.ChangedCount == 0 || u < gState.ChangedLow) gState.ChangedLow = u;
        if (gState.ChangedCount == 0 || u > gState.ChangedHigh) gState.ChangedHigh = u;
        gState.ChangedCount++;
    }
}

BOOL UnitChanged(LONGLONG u) { return (gState.ChangedSet[u / 32] >> (u % 32)) & 1; }

// The first changed unit at or after u, or -1.
LONGLONG NextChangedUnit(LONGLONG u) {
    if (gState.ChangedCount == 0) return -1;
    if (u < gState.ChangedLow) u = gState.ChangedLow;
    while (u <= gState.ChangedHigh) {
        ULONG bits = gState.ChangedSet[u / 32] & ~((1u << (u % 32)) - 1);
        if (bits != 0) {
            LONGLONG found = u - u % 32 + std::countr_zero(bits);
            return found <= gState.ChangedHigh ? found : -1;
        }
        u = u - u % 32 + 32;
    }
    return -1;
}

void ForgetChanges(void) {
    if (gState.ChangedCount > 0)
        memset(gState.ChangedSet + gState.ChangedLow / 32, 0,
               (size_t)((gState.ChangedHigh / 32 - gState.ChangedLow / 32 + 1) * 4));
    gState.ChangedCount = 0;
}

void RemoveRange(Range *ranges, int *count, int at) {
    for (int i = at; i + 1 < *count; i++) ranges[i] = ranges[i + 1];
    (*count)--;
}

// Puts the copy's bits back into pending range `at` and forgets it.
void Materialise(int at) {
    Range r = gState.Pending[at];
    RemoveRange(gState.Pending, &gState.PendingCount, at);
    CopyFromDisk(r.First, r.End);
    Summarise(r.First, r.End, -1);
}

void MaterialiseOverlapping(LONGLONG first, LONGLONG end) {
    for (int i = gState.PendingCount - 1; i >= 0; i--)
        if (Overlaps(gState.Pending[i], first, end)) Materialise(i);
}

// Frees the blocks of the state and forgets it.
void Release(void) {
    ReleaseMemory(&gState.hDisk, nullptr);
    ReleaseMemory(&gState.hTree, nullptr);
    ReleaseMemory(&gState.hChanged, nullptr);
    memset(&gState, 0, sizeof gState);
}

// TRUE when the state describes the bitmap block of VolData as it is.
BOOL Kept(void) {
    return gState.Bits != nullptr && gState.Block == VolData.hVolumeBitmap &&
           gState.SizeBits == VolData.BitmapSizeBits && gState.Total == VolData.TotalClusters;
}

}  // namespace

// Takes the bytes of the volume's bitmap file about to be read (whole
// clusters, at least every byte that holds bits of the volume). Returns a
// buffer of that many bytes for the reader to fill as it reads, or null
// when no copy is kept (bCacheMetadata FALSE, no memory for it): the run then
// works as without one. KeepVolumeBitmapCopy ends the read.
BYTE *BeginVolumeBitmapCopy(LONGLONG bytes) {
    LONGLONG sizeBits = VolData.BitmapSizeBits, total = VolData.TotalClusters;
    if (!bCacheMetadata || !VolData.hVolumeBitmap || sizeBits <= 0 || sizeBits % 32 != 0 || total <= 0 ||
        total > sizeBits || bytes < (total + 7) / 8) {
        Release();
        return nullptr;
    }
    LONGLONG units = (sizeBits + kUnitBits - 1) / kUnitBits, leaves = 1;
    while (leaves < units) leaves *= 2;
    if (gState.Disk == nullptr || gState.DiskBytes != bytes || gState.Units != units) {
        Release();
        gState.hDisk = OptionalBlock(bytes);
        gState.hTree = OptionalBlock(2 * leaves * (LONGLONG)sizeof(Node));
        gState.hChanged = OptionalBlock((units / 32 + 1) * 4);
        if (!gState.hDisk || !gState.hTree || !gState.hChanged) {
            Release();
            return nullptr;
        }
        gState.Disk = (BYTE *)GlobalLock(gState.hDisk);
        gState.Tree = (Node *)GlobalLock(gState.hTree);
        gState.ChangedSet = (ULONG *)GlobalLock(gState.hChanged);
        gState.DiskBytes = bytes;
        gState.Units = units;
        gState.Leaves = leaves;
    }
    gState.Bits = nullptr;  // nothing is kept until the read has ended
    return gState.Disk;
}

// Ends the read begun by BeginVolumeBitmapCopy: when it succeeded (ok) and
// the bits are in the bitmap block (bits past TotalClusters set), keeps the
// copy, summarises the bits and forgets every earlier change; otherwise
// keeps nothing.
void KeepVolumeBitmapCopy(BOOL ok) {
    BYTE *block = VolData.hVolumeBitmap ? (BYTE *)GlobalLock(VolData.hVolumeBitmap) : nullptr;
    if (block) GlobalUnlock(VolData.hVolumeBitmap);
    if (!ok || !block || gState.Disk == nullptr) {
        Release();
        return;
    }
    gState.Bits = (ULONG *)(block + kHeaderBytes);
    gState.Block = VolData.hVolumeBitmap;
    gState.SizeBits = VolData.BitmapSizeBits;
    gState.Total = VolData.TotalClusters;
    gState.Words = gState.SizeBits / 32;
    memset(gState.ChangedSet, 0, (size_t)((gState.Units / 32 + 1) * 4));
    gState.MarkCount = gState.PendingCount = 0;
    memset(gState.Tree, 0, (size_t)(2 * gState.Leaves * sizeof(Node)));
    Summarise(0, gState.SizeBits, -1);
}

// Forgets the copy and the summary (the bits in memory no longer come from
// the disk, or the block goes away); frees their memory.
void ForgetVolumeBitmapCopy(void) { Release(); }

// Puts the in-memory bitmap back to what the disk holds, from the copy:
// units changed by moves at once, ranges marked in memory only as pending
// (see above). FALSE, changing nothing, when there is no copy of this
// bitmap: the caller reads the disk.
BOOL RestoreVolumeBitmapFromCopy(void) {
    if (!Kept()) return FALSE;
    for (LONGLONG u = NextChangedUnit(0); u >= 0; u = NextChangedUnit(u + 1)) {
        CopyFromDisk(u * kUnitBits, (u + 1) * kUnitBits);
        Summarise(u * kUnitBits, (u + 1) * kUnitBits, -1);
    }
    for (int m = 0; m < gState.MarkCount; m++) {
        Range r = gState.Marks[m];
        BOOL touched = !r.Intact || gState.PendingCount == kRanges;
        for (LONGLONG u = r.First / kUnitBits; !touched && u * kUnitBits < r.End; u++) touched = UnitChanged(u);
        if (touched) {
            CopyFromDisk(r.First, r.End);
            Summarise(r.First, r.End, -1);
        } else {
            gState.Pending[gState.PendingCount++] = r;
        }
    }
    ForgetChanges();
    gState.MarkCount = 0;
    return TRUE;
}

// Takes [firstLcn, endLcn) about to be marked in use in memory only (the bits
// are within BitmapSizeBits). TRUE when they are set already and need not be
// set again: the same range is pending, or is marked and intact. Otherwise
// the caller sets them and calls VolumeBitsMarked. Pending ranges that only
// overlap it are put back first.
BOOL VolumeBitsMarkedAlready(LONGLONG firstLcn, LONGLONG endLcn) {
    if (!Kept() || endLcn <= firstLcn) return FALSE;
    BOOL same = FALSE, other = FALSE;
    for (int i = gState.PendingCount - 1; i >= 0; i--) {
        const Range &p = gState.Pending[i];
        if (!Overlaps(p, firstLcn, endLcn)) continue;
        if (p.First == firstLcn && p.End == endLcn) {
            same = TRUE;
            RemoveRange(gState.Pending, &gState.PendingCount, i);
        } else {
            other = TRUE;
            Materialise(i);
        }
    }
    for (int m = 0; m < gState.MarkCount; m++) {
        const Range &r = gState.Marks[m];
        if (r.First == firstLcn && r.End == endLcn && r.Intact) return TRUE;
    }
    if (same && !other) {
        VolumeBitsMarked(firstLcn, endLcn, FALSE);
        return TRUE;
    }
    return FALSE;
}

// Takes [firstLcn, endLcn) just set in memory. setNow: the caller set the
// bits (else they were set already). Remembers the range as marked in memory
// only and summarises it.
void VolumeBitsMarked(LONGLONG firstLcn, LONGLONG endLcn, BOOL setNow) {
    if (!Kept() || endLcn <= firstLcn) return;
    if (setNow) Summarise(firstLcn, endLcn, 1);
    for (int m = 0; m < gState.MarkCount; m++) {
        Range &r = gState.Marks[m];
        if (r.First == firstLcn && r.End == endLcn) {
            r.Intact = TRUE;
            return;
        }
    }
    if (gState.MarkCount == kRanges) {
        // No room to remember it as a range: its units count as changed.
        NoteChangedUnits(firstLcn, endLcn);
        return;
    }
    gState.Marks[gState.MarkCount++] = {firstLcn, endLcn, TRUE};
}

// Takes [firstLcn, endLcn) whose bits a move is about to change: pending
// ranges there are put back first, so that the move sees the bits the disk
// has.
void VolumeBitsChanging(LONGLONG firstLcn, LONGLONG endLcn) {
    if (Kept()) MaterialiseOverlapping(firstLcn, endLcn);
}

// Takes [firstLcn, endLcn) whose bits a move has just changed (freed: to
// free). Notes their units for the next write and summarises them.
void VolumeBitsChanged(LONGLONG firstLcn, LONGLONG endLcn, BOOL freed) {
    if (!Kept() || endLcn <= firstLcn) return;
    NoteChangedUnits(firstLcn, endLcn);
    if (freed)
        for (int m = 0; m < gState.MarkCount; m++)
            if (Overlaps(gState.Marks[m], firstLcn, endLcn)) gState.Marks[m].Intact = FALSE;
    Summarise(firstLcn, endLcn, freed ? 0 : 1);
}

// The state of a cluster as the run sees it: TRUE in use. Needs the bitmap
// block; a cluster outside [0, BitmapSizeBits) is in use.
BOOL VolumeClusterInUse(LONGLONG lcn) {
    if (lcn < 0 || lcn >= VolData.BitmapSizeBits || !VolData.hVolumeBitmap) return TRUE;
    if (Kept()) {
        for (int i = 0; i < gState.PendingCount; i++)
            if (lcn >= gState.Pending[i].First && lcn < gState.Pending[i].End)
                return lcn < gState.Total ? BitAt((const ULONG *)gState.Disk, lcn) : TRUE;
        return BitAt(gState.Bits, lcn);
    }
    BYTE *block = (BYTE *)GlobalLock(VolData.hVolumeBitmap);
    if (!block) return TRUE;
    GlobalUnlock(VolData.hVolumeBitmap);
    return BitAt((const ULONG *)(block + kHeaderBytes), lcn);
}

// Takes a bit array about to be read (searched). When it is the kept bitmap,
// puts every pending range back first. TRUE when the summary may answer
// for it.
BOOL VolumeBitsReadable(const ULONG *bits) {
    if (!Kept() || bits != gState.Bits) return FALSE;
    while (gState.PendingCount > 0) Materialise(gState.PendingCount - 1);
    return TRUE;
}

// The summary's answers for the kept bits (VolumeBitsReadable first): the
// first free cluster at or after lcn, or BitmapSizeBits when none is left;
// the first used one at or after lcn; the first cluster at or after lcn that
// starts a run of `clusters` free ones, or BitmapSizeBits.
LONGLONG NextFreeCluster(LONGLONG lcn) {
    LONGLONG found = FirstWindow(lcn, 1);
    return found < 0 ? gState.SizeBits : found;
}
LONGLONG NextUsedCluster(LONGLONG lcn) { return lcn >= gState.SizeBits ? gState.SizeBits : FirstUsed(lcn); }
LONGLONG NextFreeRunOf(LONGLONG lcn, LONGLONG clusters) {
    LONGLONG found = FirstWindow(lcn, clusters < 1 ? 1 : clusters);
    return found < 0 ? gState.SizeBits : found;
}

// ------------------------------------------------------------- bitmap writes

// The units of 4,096 clusters (512 bytes of the bitmap file) to look at for
// a write of the bitmap, one after the other: those changed by moves and
// those of the ranges marked in memory only. Takes -1 for the first (which
// also counts the marked ranges in), then the last one given; returns the
// next, or -1 when none is left.
LONGLONG NextVolumeBitmapUnitToWrite(LONGLONG unit) {
    if (!Kept()) return -1;
    if (unit < 0)
        for (int m = 0; m < gState.MarkCount; m++) NoteChangedUnits(gState.Marks[m].First, gState.Marks[m].End);
    return NextChangedUnit(unit + 1);
}

// TRUE when a copy of the bitmap in the block of VolData is kept.
BOOL VolumeBitmapCopyKept(void) { return Kept(); }

// Takes a byte range of the bitmap file inside the copy and a buffer of as
// many bytes. Fills it with what the disk must hold there once the bitmap in
// memory is written: the bits of the volume's clusters as the run sees them
// (pending ranges as the copy has them), every other byte as the copy has it.
// TRUE when that differs from the copy.
BOOL ComposeVolumeBitmapBytes(LONGLONG firstByte, LONGLONG bytes, BYTE *out) {
    if (!Kept() || firstByte < 0 || bytes <= 0 || firstByte + bytes > gState.DiskBytes) return FALSE;
    memcpy(out, gState.Disk + firstByte, (size_t)bytes);
    LONGLONG first = firstByte * 8, end = (firstByte + bytes) * 8;
    if (end > gState.Total) end = gState.Total;
    const BYTE *from = (const BYTE *)gState.Bits;
    for (LONGLONG c = first; c < end;) {
        if (c % 8 == 0 && end - c >= 8) {
            LONGLONG whole = (end - c) / 8;
            memcpy(out + (c / 8 - firstByte), from + c / 8, (size_t)whole);
            c += whole * 8;
            continue;
        }
        BYTE mask = (BYTE)(1u << (c % 8));
        BYTE *o = out + (c / 8 - firstByte);
        *o = (BYTE)((*o & ~mask) | (from[c / 8] & mask));
        c++;
    }
    for (int i = 0; i < gState.PendingCount; i++) {
        LONGLONG a = gState.Pending[i].First > first ? gState.Pending[i].First : first;
        LONGLONG b = gState.Pending[i].End < end ? gState.Pending[i].End : end;
        for (LONGLONG c = a; c < b; c++) {
            BYTE mask = (BYTE)(1u << (c % 8));
            BYTE *o = out + (c / 8 - firstByte);
            *o = (BYTE)((*o & ~mask) | (gState.Disk[c / 8] & mask));
        }
    }
    return memcmp(out, gState.Disk + firstByte, (size_t)bytes) != 0;
}

// Takes bytes of the bitmap file just written to the disk: the copy takes
// them.
void VolumeBitmapBytesWritten(LONGLONG firstByte, LONGLONG bytes, const BYTE *written) {
    if (!Kept() || firstByte < 0 || bytes <= 0 || firstByte + bytes > gState.DiskBytes) return;
    memcpy(gState.Disk + firstByte, written, (size_t)bytes);
}

// After a whole write of the bitmap: the disk holds every bit in memory, so
// nothing differs but the pending ranges.
void VolumeBitmapWritten(void) {
    if (!Kept()) return;
    ForgetChanges();
    gState.MarkCount = 0;
}
