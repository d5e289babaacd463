// FAT run lists and the volume bitmap, built from the FAT itself (after the
// program's own raw writes the file system's view is stale), and the file
// system's retrieval pointers, used for the FAT32 root directory only.
//
// The FAT is read one cluster-sized window of one copy at a time (the copy
// at llFatOffset): window w of a copy is the SectorsPerCluster sectors from
// sector (copy offset / BytesPerSector) + w x SectorsPerCluster.
#include <cstdarg>
#include <cstring>

#include "fat.h"

// Retrieval pointers asked for at first, and the pairs' size.
#define FAT_RETRIEVAL_PAIRS 256
#define FAT_RETRIEVAL_PAIR_BYTES 16
#define FAT_RETRIEVAL_HEADER_BYTES 32
// Set when the file system's retrieval pointers do not start at cluster 0.
#define FAT_BAD_STARTING_VCN 0x20000001
#define FAT_BAD_STARTING_VCN_CODE ((LONG)0x80070057)

BOOL FatFault(const WCHAR *format, ...) {
    va_list arguments;

    va_start(arguments, format);
    _vsnwprintf(cOutline, OUTLINE_CHARS - 1, format, arguments);
    va_end(arguments);
    cOutline[OUTLINE_CHARS - 1] = 0;
    ShowDiag(cOutline);
    ERROR_REPORT();
    return FALSE;
}

// Bytes of a FAT entry on this volume; 0 (with the error report) for a file
// system other than FAT16 and FAT32.
static LONGLONG EntryBytes(void) {
    if (VolData.FileSystem == FS_FAT) return FAT16_ENTRY_BYTES;
    if (VolData.FileSystem == FS_FAT32) return FAT32_ENTRY_BYTES;
    ERROR_REPORT();
    return 0;
}

void ReleaseFatWindow(PFAT_WINDOW window) {
    ReleaseMemory(&window->hWindow, (void **)&window->pWindow);
    window->llIndex = 0;
    window->llCopy = 0;
    window->bDirty = FALSE;
}

// Entries per window (0 with the error report for another file system).
static LONGLONG EntriesPerWindow(void) {
    LONGLONG width = EntryBytes();
    return width > 0 ? VolData.BytesPerCluster / width : 0;
}

BOOL StoreFatWindow(PFAT_WINDOW window) {
    LONGLONG first, sectors, copySectors = VolData.llFatBytes / VolData.BytesPerSector;

    if (window->hWindow == nullptr || !window->bDirty) return TRUE;
    // Only the window's sectors inside the copy: a FAT need not be a whole
    // number of clusters, and what follows it is another copy or the root.
    first = window->llIndex * VolData.SectorsPerCluster;
    sectors = copySectors - first < VolData.SectorsPerCluster ? copySectors - first : VolData.SectorsPerCluster;
    if (sectors <= 0 || !DasdStoreSectors(VolData.hVolume, window->llCopy / VolData.BytesPerSector + first, sectors,
                                          VolData.BytesPerSector, window->pWindow)) {
        ERROR_REPORT();
        return FALSE;
    }
    window->bDirty = FALSE;
    return TRUE;
}

// Makes window `index` of the copy at copyOffset the one held, writing a
// changed window back before another is read. FALSE after the error
// report.
static BOOL LoadFatWindow(PFAT_WINDOW window, LONGLONG copyOffset, LONGLONG index) {
    if (window->hWindow != nullptr && window->llIndex == index && window->llCopy == copyOffset) return TRUE;
    if (!StoreFatWindow(window)) return FALSE;
    ReleaseFatWindow(window);
    window->hWindow =
        DasdLoadSectors(VolData.hVolume, copyOffset / VolData.BytesPerSector + index * VolData.SectorsPerCluster,
                        VolData.SectorsPerCluster, VolData.BytesPerSector);
    window->pWindow = window->hWindow != nullptr ? (BYTE *)GlobalLock(window->hWindow) : (BYTE *)nullptr;
    if (window->pWindow == nullptr) {
        ReleaseFatWindow(window);
        ERROR_REPORT();
        return FALSE;
    }
    window->llIndex = index;
    window->llCopy = copyOffset;
    return TRUE;
}

// Entry `position` of the window held, whole.
static ULONG WindowEntry(const FAT_WINDOW *window, LONGLONG position) {
    if (VolData.FileSystem == FS_FAT) {
        USHORT value;
        memcpy(&value, window->pWindow + position * FAT16_ENTRY_BYTES, sizeof value);
        return value;
    }
    ULONG value;
    memcpy(&value, window->pWindow + position * FAT32_ENTRY_BYTES, sizeof value);
    return value;
}

BOOL ReadFatEntry(PFAT_WINDOW window, LONGLONG copyOffset, LONGLONG cluster, ULONG *entry) {
    LONGLONG perWindow = EntriesPerWindow();

    if (perWindow <= 0 || cluster < 0 || cluster > VolData.TotalClusters + 1) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!LoadFatWindow(window, copyOffset, cluster / perWindow)) return FALSE;
    *entry = WindowEntry(window, cluster % perWindow);
    return TRUE;
}

BOOL WriteFatEntry(PFAT_WINDOW window, LONGLONG copyOffset, LONGLONG cluster, ULONG entry) {
    LONGLONG perWindow = EntriesPerWindow(), position;

    if (perWindow <= 0 || cluster < FAT_FIRST_CLUSTER || cluster > VolData.TotalClusters + 1) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!LoadFatWindow(window, copyOffset, cluster / perWindow)) return FALSE;
    position = cluster % perWindow;
    if (VolData.FileSystem == FS_FAT) {
        USHORT value = (USHORT)entry;
        memcpy(window->pWindow + position * FAT16_ENTRY_BYTES, &value, sizeof value);
    } else {
        memcpy(window->pWindow + position * FAT32_ENTRY_BYTES, &entry, sizeof entry);
    }
    window->bDirty = TRUE;
    return TRUE;
}

// What an entry of the chain walk says about the cluster after c.
enum LINK_KIND { LINK_NEXT, LINK_JUMP, LINK_END, LINK_FREE };

// Reads the link of cluster c (the low 28 bits on FAT32) and tells what it
// is. FALSE after the error report when the entry cannot be read or the
// link leads off the volume (below cluster 2 or past the last cluster, bad-
// cluster and reserved values included); a line names the file.
static BOOL ReadLink(PFAT_WINDOW window, LONGLONG c, LONGLONG *next, LINK_KIND *kind) {
    ULONG value;

    if (!ReadFatEntry(window, VolData.llFatOffset, c, &value)) return FALSE;
    if (VolData.FileSystem == FS_FAT32) value &= FAT32_LINK_MASK;
    if (value == FAT_FREE) {
        *kind = LINK_FREE;
        return TRUE;
    }
    if (value >= (VolData.FileSystem == FS_FAT32 ? FAT32_EOC_FIRST : FAT16_EOC_FIRST)) {
        *kind = LINK_END;
        return TRUE;
    }
    if (value < FAT_FIRST_CLUSTER || (LONGLONG)value > VolData.TotalClusters + 1)
        return FatFault(u"The cluster chain of %s leaves the volume at cluster %lu\n", VolData.cFileName, value);
    *next = value;
    *kind = (LONGLONG)value == c + 1 ? LINK_NEXT : LINK_JUMP;
    return TRUE;
}

// Walks the chain from cluster `first`: counts its clusters and extents
// and, when list is given (room for the extents counted before), records
// them. *extents is 0 when the chain runs into a free cluster. FALSE after
// the error report when a link leaves the volume or the chain is longer
// than the volume (it loops).
static BOOL WalkChain(PFAT_WINDOW window, LONGLONG first, EXTENT_LIST *list, LONGLONG capacity, LONGLONG *extents,
                      LONGLONG *clusters) {
    LONGLONG c = first, runStart = first, runLength = 0, next = 0;
    LINK_KIND kind = LINK_END;

    *extents = 1;
    *clusters = 0;
    for (;;) {
        if (++*clusters > VolData.TotalClusters)
            return FatFault(u"The cluster chain of %s is longer than the volume (it loops)\n", VolData.cFileName);
        runLength++;
        if (!ReadLink(window, c, &next, &kind)) return FALSE;
        if (kind == LINK_FREE) {
            *extents = 0;
            *clusters = 0;
            return TRUE;
        }
        if (kind == LINK_NEXT) {
            c = next;
            continue;
        }
        if (list != nullptr && *extents <= capacity) {
            EXTENT_LIST *e = &list[*extents - 1];
            memset(e, 0, sizeof *e);
            e->StartingLcn = runStart - FAT_FIRST_CLUSTER;
            e->SourceLcn = e->StartingLcn;
            e->ClusterCount = runLength;
        }
        if (kind == LINK_END) return TRUE;
        ++*extents;
        c = runStart = next;
        runLength = 0;
    }
}

// Builds the current file's extent list from its chain in the FAT.
//   in   VolData.StartingLcn (FAT_NO_CLUSTER: no clusters), bDirectory
//   out  pExtentList (grown when needed; ExtentListBytes), NumberOfExtents,
//        NumberOfFragments, NumberOfClusters, bFragmented; FileSize for a
//        directory (its clusters' bytes) and for a file without clusters (0)
// A chain that runs into a free cluster gives an empty list: the file is
// treated as having no clusters and never moved. FALSE after the error
// report when the first cluster or a link lies off the volume, the chain
// loops, the FAT cannot be read or the list cannot grow.
BOOL GetExtentListManuallyFat(void) {
    FAT_WINDOW window;
    LONGLONG extents = 0, clusters = 0;
    BOOL ok = TRUE;

    memset(&window, 0, sizeof window);
    VolData.NumberOfExtents = VolData.NumberOfFragments = VolData.NumberOfClusters = 0;
    if (VolData.StartingLcn != FAT_NO_CLUSTER) {
        LONGLONG first = VolData.StartingLcn + FAT_FIRST_CLUSTER;
        if (EntryBytes() == 0) return FALSE;
        if (first < FAT_FIRST_CLUSTER || first > VolData.TotalClusters + 1)
            return FatFault(u"The first cluster of %s lies off the volume\n", VolData.cFileName);
        ok = WalkChain(&window, first, nullptr, 0, &extents, &clusters);
        if (ok && extents > 0) {
            LONGLONG bytes = extents * (LONGLONG)sizeof(EXTENT_LIST);
            if (bytes > VolData.ExtentListBytes) {
                if (bytes > 0x7FFFFFFF ||
                    !AllocateMemory((DWORD)bytes, &VolData.hExtentList, (void **)&VolData.pExtentList)) {
                    ReleaseFatWindow(&window);
                    VolData.pExtentList = nullptr;
                    VolData.ExtentListBytes = 0;
                    ERROR_REPORT();
                    return FALSE;
                }
                VolData.ExtentListBytes = bytes;
            }
            ok = WalkChain(&window, first, VolData.pExtentList, extents, &extents, &clusters);
        }
    }
    ReleaseFatWindow(&window);
    if (!ok) return FALSE;

    VolData.NumberOfExtents = VolData.NumberOfFragments = extents;
    VolData.NumberOfClusters = clusters;
    if (extents == 0 && VolData.pExtentList != nullptr) {
        memset(VolData.pExtentList, 0, (size_t)VolData.ExtentListBytes);
        VolData.FileSize = 0;
    }
    if (VolData.bDirectory) VolData.FileSize = clusters * VolData.BytesPerCluster;
    VolData.bFragmented = extents > 1 ? 1 : 0;
    return TRUE;
}

// Opens cFileName through the file system into VolData.hFile (closing the
// one held): no access rights, no sharing; a directory (bDirectory) with
// backup semantics. FALSE with a verbose-level line when it cannot be
// opened.
BOOL OpenFatFile(void) {
    if (VolData.hFile != nullptr && VolData.hFile != INVALID_HANDLE_VALUE) CloseHandle(VolData.hFile);
    VolData.hFile = CreateFile(VolData.cFileName, 0, 0, nullptr, OPEN_EXISTING,
                               VolData.bDirectory ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (VolData.hFile == INVALID_HANDLE_VALUE || VolData.hFile == nullptr) {
        VolData.hFile = INVALID_HANDLE_VALUE;
        Message(u"FatSubs::OpenFatFile", -1, u"Can't get handle to file - try again later.");
        return FALSE;
    }
    return TRUE;
}

// Builds the current file's extent list from the retrieval pointers of the
// file opened by OpenFatFile (unused: always 0). Leaves the list and its
// counts, StartingLcn, and for a directory FileSize, merged by
// CollapseExtentList. A file without clusters gives an empty list. FALSE
// after the error report, or the verbose-level line when the pointers do not
// start at the file's first cluster.
BOOL GetExtentList(ULONG unused) {
    HGLOBAL hOut = nullptr;
    RETRIEVAL_POINTERS_BUFFER *out = nullptr;
    STARTING_VCN_INPUT_BUFFER in;
    LONGLONG pairs = FAT_RETRIEVAL_PAIRS, previous = 0, clusters = 0, i;
    DWORD returned = 0;

    in.StartingVcn.QuadPart = 0;
    for (;;) {
        LONGLONG bytes = pairs * FAT_RETRIEVAL_PAIR_BYTES + FAT_RETRIEVAL_HEADER_BYTES;
        if (bytes > 0x7FFFFFFF || !AllocateMemory((DWORD)bytes, &hOut, (void **)&out)) {
            ReleaseMemory(&hOut, nullptr);
            ERROR_REPORT();
            return FALSE;
        }
        SetLastError(0);
        if (HvDeviceIoControl(VolData.hFile, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in, out, (DWORD)bytes, &returned,
                              nullptr))
            break;
        if (GetLastError() == ERROR_HANDLE_EOF) {
            ReleaseMemory(&hOut, nullptr);
            if (VolData.pExtentList != nullptr) memset(VolData.pExtentList, 0, (size_t)VolData.ExtentListBytes);
            VolData.NumberOfExtents = VolData.NumberOfFragments = VolData.NumberOfClusters = 0;
            VolData.bFragmented = 0;
            if (VolData.bDirectory) VolData.FileSize = 0;
            return TRUE;
        }
        // More pointers than the buffer holds: twice as many, up to one per
        // cluster.
        if (GetLastError() != ERROR_MORE_DATA || pairs > VolData.TotalClusters) {
            ReleaseMemory(&hOut, nullptr);
            ERROR_REPORT();
            return FALSE;
        }
        pairs *= 2;
    }
    if (out->StartingVcn.QuadPart != 0) {
        ReleaseMemory(&hOut, nullptr);
        SetLastError(FAT_BAD_STARTING_VCN);
        Message(u"GetFatExtentList - pRetrievalPointersBuffer->StartingVcn.QuadPart.", FAT_BAD_STARTING_VCN_CODE,
                nullptr);
        return FALSE;
    }
    {
        LONGLONG room = pairs, listBytes;
        pairs = out->ExtentCount;
        listBytes = pairs * (LONGLONG)sizeof(EXTENT_LIST);
        if (pairs <= 0 || pairs > room ||
            (LONGLONG)returned <
                (LONGLONG)offsetof(RETRIEVAL_POINTERS_BUFFER, Extents) + pairs * FAT_RETRIEVAL_PAIR_BYTES) {
            ReleaseMemory(&hOut, nullptr);
            ERROR_REPORT();
            return FALSE;
        }
        if (listBytes > VolData.ExtentListBytes) {
            if (listBytes > 0x7FFFFFFF ||
                !AllocateMemory((DWORD)listBytes, &VolData.hExtentList, (void **)&VolData.pExtentList)) {
                ReleaseMemory(&hOut, nullptr);
                VolData.pExtentList = nullptr;
                VolData.ExtentListBytes = 0;
                ERROR_REPORT();
                return FALSE;
            }
            VolData.ExtentListBytes = listBytes;
        }
    }
    for (i = 0; i < pairs; i++) {
        EXTENT_LIST *e = &VolData.pExtentList[i];
        LONGLONG next = out->Extents[i].NextVcn.QuadPart, lcn = out->Extents[i].Lcn.QuadPart;
        // The file system's answer is checked like anything read from disk.
        if (next <= previous || lcn < 0 || lcn + (next - previous) > VolData.TotalClusters) {
            ReleaseMemory(&hOut, nullptr);
            ERROR_REPORT();
            return FALSE;
        }
        memset(e, 0, sizeof *e);
        e->StartingLcn = e->SourceLcn = lcn;
        e->ClusterCount = next - previous;
        clusters += e->ClusterCount;
        previous = next;
    }
    ReleaseMemory(&hOut, nullptr);
    VolData.NumberOfExtents = VolData.NumberOfFragments = pairs;
    VolData.NumberOfClusters = clusters;
    VolData.StartingLcn = VolData.pExtentList[0].StartingLcn;
    if (VolData.bDirectory) VolData.FileSize = clusters * VolData.BytesPerCluster;
    if (!CollapseExtentList()) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Rebuilds the whole volume bitmap (hVolumeBitmap, BitmapSizeBits) from the
// FAT copy at llFatOffset: bit n is set when the entry of cluster n + 2 is
// not 0 (reserved and bad-cluster values included); the spare bits after the
// last cluster are set. FALSE after the error report (the bitmap is then
// left all in use).
BOOL ManualGetVolumeBitmap(void) {
    FAT_WINDOW window;
    VOLUME_BITMAP_BUFFER *header;
    ULONG *bits;
    LONGLONG perWindow = EntriesPerWindow(), cluster, n;

    if (perWindow <= 0 || VolData.hVolumeBitmap == nullptr || VolData.BitmapSizeBits < VolData.TotalClusters ||
        (header = (VOLUME_BITMAP_BUFFER *)GlobalLock(VolData.hVolumeBitmap)) == nullptr) {
        ERROR_REPORT();
        return FALSE;
    }
    bits = (ULONG *)((BYTE *)header + offsetof(VOLUME_BITMAP_BUFFER, Buffer));
    header->StartingLcn.QuadPart = 0;
    header->BitmapSize.QuadPart = VolData.BitmapSizeBits;
    memset(bits, 0, (size_t)(VolData.BitmapSizeBits / 8));
    memset(&window, 0, sizeof window);
    // Window by window: bit n is cluster n + 2.
    for (cluster = FAT_FIRST_CLUSTER; cluster < VolData.TotalClusters + FAT_FIRST_CLUSTER;) {
        if (!LoadFatWindow(&window, VolData.llFatOffset, cluster / perWindow)) {
            ReleaseFatWindow(&window);
            memset(bits, 0xFF, (size_t)(VolData.BitmapSizeBits / 8));
            GlobalUnlock(VolData.hVolumeBitmap);
            ERROR_REPORT();
            return FALSE;
        }
        LONGLONG end = (cluster / perWindow + 1) * perWindow;
        if (end > VolData.TotalClusters + FAT_FIRST_CLUSTER) end = VolData.TotalClusters + FAT_FIRST_CLUSTER;
        for (; cluster < end; cluster++) {
            if (WindowEntry(&window, cluster % perWindow) == FAT_FREE) continue;
            n = cluster - FAT_FIRST_CLUSTER;
            bits[n / 32] |= 1u << (n % 32);
        }
    }
    for (n = VolData.TotalClusters; n < VolData.BitmapSizeBits; n++) bits[n / 32] |= 1u << (n % 32);
    ReleaseFatWindow(&window);
    GlobalUnlock(VolData.hVolumeBitmap);
    return TRUE;
}

ULONG *FatBitmapBits(void) {
    BYTE *block = VolData.hVolumeBitmap != nullptr ? (BYTE *)GlobalLock(VolData.hVolumeBitmap) : nullptr;
    if (block == nullptr) return nullptr;
    GlobalUnlock(VolData.hVolumeBitmap);
    return (ULONG *)(block + offsetof(VOLUME_BITMAP_BUFFER, Buffer));
}
