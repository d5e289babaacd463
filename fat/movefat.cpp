// Changing a FAT volume: directories read into memory and written back
// whole (LoadChainEx, StoreChain), an entry found by name (LocateDirEntry),
// chains written into and released from the FATs (AllocateFATClusters,
// DeallocateFATClusters), and the move of one file (FATMoveFile).
//
// The write order of a move is its safety:
//   1. the new chain into FAT copy 0, then into each further copy;
//   2. the file's data into the new clusters;
//   3. the directory entry (one write of the whole parent directory);
//   4. the old chain freed in FAT copy 0, then in each further copy.
// Until 3 the entry names the old, intact chain and the new clusters are
// allocated without an owner; after 3 the entry names the new chain, which
// already holds the data, and the old clusters are allocated without an
// owner until 4. A stop anywhere leaves every file readable as it was; at
// worst clusters stay allocated to no file (fsck.fat: "Reclaimed").
//
// A stop between two FAT copy writes (inside 1 or 4) leaves the copies
// different: copy 0 holds the later state and the copies after it the
// earlier one, and they differ only in entries of the chain being written
// or freed. Each copy on its own is then a sound FAT whose only fault is
// lost clusters: in 1, copy 0 has the new chain allocated without owner;
// in 4, the further copies still have the old chain allocated. fsck.fat
// reports "FATs differ but appear to be intact. Using first FAT." and, for
// copy 0, at most the lost clusters. The next run that writes a chain first
// brings the further copies in step with copy 0 (BringFatCopiesInStep), so
// a second run leaves the copies equal again.
#include <cstring>

#include "fat.h"

HGLOBAL hDeallocExtents = nullptr, hTempExtents = nullptr;
EXTENT_LIST *pDeallocExtents = nullptr, *pTempExtents = nullptr;
DWORD dwNumDeallocExtents = 0, dwNumDeallocExtentsAlloced = 0, dwNumTempExtents = 0, dwNumTempExtentsAlloced = 0;
BOOL bFatCopiesInStep = FALSE;
HGLOBAL hSharedClusters = nullptr;

// The largest piece of data the move copies at once.
#define FAT_COPY_BYTES 65536
// Bytes of the FAT compared at once when the copies are brought in step.
#define FAT_COMPARE_BYTES 65536
// The blanks between a move line and its direction mark.
static const WCHAR cMoveLinePad[] = u"                                                   ";
static_assert(sizeof(cMoveLinePad) / sizeof(WCHAR) == 52, "51 blanks");

// ------------------------------------------------------------ the entries

void SetEntryFirstCluster(DIRSTRUC *e, LONGLONG cluster) {
    e->FirstClusterLow = (USHORT)(cluster & 0xFFFF);
    if (VolData.FileSystem == FS_FAT32) e->FirstClusterHigh = (USHORT)((cluster >> 16) & 0xFFFF);
}

// The current file's fields a chain read borrows.
typedef struct _CURRENT_FILE {
    LONGLONG StartingLcn;
    LONGLONG FileSize;
    BOOL bDirectory;
} CURRENT_FILE;

// Builds the extent list of the directory chain from chainLcn in the
// current-file fields, keeping what they held in *saved. FALSE after the
// error report (also for a chain that runs into a free cluster, or that
// shares clusters with another entry).
static BOOL ChainOf(LONGLONG chainLcn, CURRENT_FILE *saved) {
    saved->StartingLcn = VolData.StartingLcn;
    saved->FileSize = VolData.FileSize;
    saved->bDirectory = VolData.bDirectory;
    VolData.StartingLcn = chainLcn;
    VolData.bDirectory = TRUE;
    TRACE(6, u"LoadChainEx", u"GetExtentListManuallyFat");
    if (!GetExtentListManuallyFat()) return FALSE;
    if (VolData.NumberOfExtents <= 0)
        return FatFault(u"The directory at LCN 0x%08lx has a chain that runs into a free cluster\n", (LONG)chainLcn);
    if (ExtentsShared(VolData.pExtentList, VolData.NumberOfExtents))
        return FatFault(u"The directory at LCN 0x%08lx shares clusters with another entry (crossed chains); it is "
                        u"not changed\n",
                        (LONG)chainLcn);
    return TRUE;
}

// Gives the current-file fields back and rebuilds the current file's list.
static BOOL RestoreCurrentFile(const CURRENT_FILE *saved) {
    BOOL ok;

    VolData.StartingLcn = saved->StartingLcn;
    VolData.bDirectory = saved->bDirectory;
    ok = GetExtentListManuallyFat();
    VolData.FileSize = saved->FileSize;
    return ok;
}

BOOL LoadChainEx(LONGLONG chainLcn, HGLOBAL *buffer, DWORD *clusters) {
    CURRENT_FILE saved;
    HGLOBAL handle = nullptr;
    BYTE *data = nullptr;
    LONGLONG bytes, offset = 0, count;

    *buffer = nullptr;
    if (chainLcn == FAT_NO_CLUSTER) {
        TRACE(6, u"LoadChainEx", u"ChainLcn=0xFFFFFFFF");
        if (VolData.FileSystem != FS_FAT || VolData.llRootDirSectors <= 0) {
            ERROR_REPORT();
            return FALSE;
        }
        *buffer =
            DasdLoadSectors(VolData.hVolume, VolData.llRootDirSector, VolData.llRootDirSectors, VolData.BytesPerSector);
        if (*buffer == nullptr) {
            ERROR_REPORT();
            return FALSE;
        }
        if (clusters != nullptr) *clusters = 0;
        return TRUE;
    }
    if (!ChainOf(chainLcn, &saved)) return FALSE;
    count = VolData.NumberOfClusters;
    bytes = count * VolData.BytesPerCluster + VolData.BytesPerSector;
    if (bytes > 0xFFFFFFFFLL || !AllocateMemory((DWORD)bytes, &handle, (void **)&data)) {
        ERROR_REPORT();
        return FALSE;
    }
    TRACE(8, u"LoadChainEx", u"StartofDasdLoadSectorsLoop");
    for (LONGLONG i = 0; i < VolData.NumberOfExtents; i++) {
        const EXTENT_LIST *e = &VolData.pExtentList[i];
        TRACE(8, u"LoadChainEx", u"DasdLoadSectors");
        if (!DasdReadClusters(VolData.hVolume, e->StartingLcn, e->ClusterCount, data + offset, VolData.BytesPerSector,
                              VolData.BytesPerCluster)) {
            ReleaseMemory(&handle, nullptr);
            ERROR_REPORT();
            return FALSE;
        }
        offset += e->ClusterCount * VolData.BytesPerCluster;
    }
    TRACE(8, u"LoadChainEx", u"EndofDasdLoadSectorsLoop");
    GlobalUnlock(handle);
    *buffer = handle;
    if (clusters != nullptr) *clusters = (DWORD)count;
    return RestoreCurrentFile(&saved);
}

BOOL StoreChain(LONGLONG chainLcn, HGLOBAL buffer) {
    CURRENT_FILE saved;
    BYTE *data, *aligned;
    LONGLONG bytes, offset = 0, sector = VolData.BytesPerSector;
    BOOL ok = TRUE;

    if (buffer == nullptr || (data = (BYTE *)GlobalLock(buffer)) == nullptr) {
        ERROR_REPORT();
        return FALSE;
    }
    if (chainLcn == FAT_NO_CLUSTER) {
        TRACE(6, u"StoreChain", u"ChainLcn=0xFFFFFFFF");
        if (VolData.FileSystem != FS_FAT || VolData.llRootDirSectors <= 0 ||
            (LONGLONG)GlobalSize(buffer) < VolData.llRootDirSectors * sector) {
            GlobalUnlock(buffer);
            ERROR_REPORT();
            return FALSE;
        }
        TRACE(6, u"StoreChain", u"DasdStoreSectors");
        ok = DasdStoreSectors(VolData.hVolume, VolData.llRootDirSector, VolData.llRootDirSectors, sector, data);
        GlobalUnlock(buffer);
        if (!ok) ERROR_REPORT();
        return ok;
    }
    TRACE(6, u"StoreChain", u"GetExtentListManuallyFat");
    if (!ChainOf(chainLcn, &saved)) {
        GlobalUnlock(buffer);
        return FALSE;
    }
    bytes = VolData.NumberOfClusters * VolData.BytesPerCluster;
    if ((LONGLONG)GlobalSize(buffer) < bytes + sector) {
        GlobalUnlock(buffer);
        ERROR_REPORT();
        return FALSE;
    }
    // The whole directory up to the next sector boundary inside the block
    // (its spare sector makes room), so that every record goes out of an
    // aligned address; moved back afterwards.
    aligned = (BYTE *)(((ULONG_PTR)data + (ULONG_PTR)sector - 1) & ~((ULONG_PTR)sector - 1));
    if (aligned != data) memmove(aligned, data, (size_t)bytes);
    TRACE(8, u"StoreChain", u"StartofDasdWriteClustersLoop");
    for (LONGLONG i = 0; ok && i < VolData.NumberOfExtents; i++) {
        const EXTENT_LIST *e = &VolData.pExtentList[i];
        ok = DasdWriteClusters(VolData.hVolume, e->StartingLcn, e->ClusterCount, aligned + offset, sector,
                               VolData.BytesPerCluster);
        offset += e->ClusterCount * VolData.BytesPerCluster;
    }
    TRACE(8, u"StoreChain", u"EndofDasdWriteClustersLoop");
    if (aligned != data) {
        memmove(data, aligned, (size_t)bytes);
        memset(data + bytes, 0, (size_t)sector);
    }
    GlobalUnlock(buffer);
    if (!ok) {
        ERROR_REPORT();
        return FALSE;
    }
    return RestoreCurrentFile(&saved);
}

// A scratch walk state for the names of a loaded buffer (GetUnicodeName
// reads only its directory start and current entry).
static TREE_DATA ScratchTree;

BOOL LocateDirEntry(HGLOBAL buffer, const WCHAR *name, BOOL directory, DWORD *offset) {
    WCHAR entryName[FAT_NAME_CHARS];
    BYTE *start;
    SIZE_T size, at;

    if (buffer == nullptr || (start = (BYTE *)GlobalLock(buffer)) == nullptr) {
        ERROR_REPORT();
        return FALSE;
    }
    size = GlobalSize(buffer);
    TRACE(8, u"LocateDirEntry", u"ZeroMemory");
    ScratchTree.pDirStart = start;
    for (at = 0; at + DIR_ENTRY_BYTES <= size; at += DIR_ENTRY_BYTES) {
        const DIRSTRUC *e = (const DIRSTRUC *)(start + at);
        if (e->Name[0] == DIR_END) break;
        if (e->Name[0] == DIR_DELETED || (e->Attributes & FAT_ATTR_VOLUME_LABEL)) continue;
        if (directory && !(e->Attributes & FAT_ATTR_DIRECTORY)) continue;
        ScratchTree.pCurrentEntry = start + at;
        TRACE(8, u"LocateDirEntry", u"GetUnicodeName");
        GetUnicodeName(&ScratchTree, entryName);
        if (_wcsicmp(entryName, name) != 0) continue;
        if (lLogLevel >= 9) {
            _snwprintf(cOutline, OUTLINE_CHARS - 1, u"in LocateDirEntry pCurrentName = %s\n", entryName);
            cOutline[OUTLINE_CHARS - 1] = 0;
            ShowMessage(cOutline);
            _snwprintf(cOutline, OUTLINE_CHARS - 1, u"in LocateDirEntry pEntryName = %s\n", name);
            cOutline[OUTLINE_CHARS - 1] = 0;
            ShowMessage(cOutline);
        }
        *offset = (DWORD)at;
        GlobalUnlock(buffer);
        return TRUE;
    }
    GlobalUnlock(buffer);
    return FALSE;
}

// ------------------------------------------------------------- the chains

DWORD CutExtents(EXTENT_LIST *list, DWORD records, LONGLONG clusters) {
    LONGLONG total = 0;

    if (clusters <= 0) return 0;
    for (DWORD i = 0; i < records; i++) {
        if (total + list[i].ClusterCount >= clusters) {
            list[i].ClusterCount = clusters - total;
            return i + 1;
        }
        total += list[i].ClusterCount;
    }
    return 0;
}

BOOL GrowExtents(HGLOBAL *handle, EXTENT_LIST **list, DWORD *allocated, DWORD records) {
    if (records <= *allocated && *handle != nullptr) return TRUE;
    if ((ULONGLONG)records * sizeof(EXTENT_LIST) > 0x7FFFFFFF ||
        !AllocateMemory((DWORD)(records * sizeof(EXTENT_LIST)), handle, (void **)list)) {
        *list = nullptr;
        *allocated = 0;
        ERROR_REPORT();
        return FALSE;
    }
    *allocated = records;
    return TRUE;
}

// Where a walk over the clusters of a chain list stands.
typedef struct _CHAIN_CURSOR {
    DWORD Record;
    LONGLONG Offset;
} CHAIN_CURSOR;

// The next cluster number of the chain and the link its entry takes (the
// next cluster, the next record's first, or lastLink / end of chain for the
// last). FALSE when the chain is done.
static BOOL NextChainCluster(CHAIN_CURSOR *at, DWORD records, const EXTENT_LIST *list, LONGLONG lastLink,
                             LONGLONG *cluster, ULONG *link) {
    const EXTENT_LIST *e;

    if (at->Record >= records) return FALSE;
    e = &list[at->Record];
    *cluster = e->StartingLcn + at->Offset + FAT_FIRST_CLUSTER;
    if (at->Offset + 1 < e->ClusterCount) {
        *link = (ULONG)(*cluster + 1);
        at->Offset++;
    } else if (at->Record + 1 < records) {
        *link = (ULONG)(list[at->Record + 1].StartingLcn + FAT_FIRST_CLUSTER);
        at->Record++;
        at->Offset = 0;
    } else {
        if (lastLink != FAT_NO_CLUSTER)
            *link = (ULONG)lastLink;
        else
            *link = VolData.FileSystem == FS_FAT32 ? FAT32_EOC : FAT16_EOC;
        at->Record++;
    }
    return TRUE;
}

// An entry's link (the low 28 bits on FAT32): 0 is a free cluster.
static ULONG LinkOf(ULONG entry) { return VolData.FileSystem == FS_FAT32 ? entry & FAT32_LINK_MASK : entry; }

// Sorts (start, count) pairs by start (shell sort: no library routine is
// needed).
static void SortRuns(LONGLONG *runs, DWORD count) {
    for (DWORD gap = count / 2; gap > 0; gap /= 2)
        for (DWORD i = gap; i < count; i++)
            for (DWORD j = i; j >= gap && runs[2 * (j - gap)] > runs[2 * j]; j -= gap) {
                LONGLONG start = runs[2 * j], length = runs[2 * j + 1];
                runs[2 * j] = runs[2 * (j - gap)];
                runs[2 * j + 1] = runs[2 * (j - gap) + 1];
                runs[2 * (j - gap)] = start;
                runs[2 * (j - gap) + 1] = length;
            }
}

// Whether the records and the last link name only clusters of the volume,
// each at most once. FALSE after the error report.
static BOOL CheckChainList(DWORD records, const EXTENT_LIST *list, LONGLONG lastLink) {
    HGLOBAL hRuns = nullptr;
    LONGLONG *runs = nullptr;
    BOOL ok = TRUE;

    if (records == 0 || list == nullptr || VolData.lFatCopies <= 0 ||
        (VolData.FileSystem != FS_FAT && VolData.FileSystem != FS_FAT32) ||
        (lastLink != FAT_NO_CLUSTER &&
         (lastLink < FAT_FIRST_CLUSTER || lastLink > VolData.TotalClusters + FAT_FIRST_CLUSTER - 1))) {
        ERROR_REPORT();
        return FALSE;
    }
    for (DWORD i = 0; i < records; i++)
        if (list[i].StartingLcn < 0 || list[i].ClusterCount <= 0 ||
            list[i].StartingLcn + list[i].ClusterCount > VolData.TotalClusters) {
            ERROR_REPORT();
            return FALSE;
        }
    if (records == 1) return TRUE;
    if ((ULONGLONG)records * 2 * sizeof(LONGLONG) > 0x7FFFFFFF ||
        !AllocateMemory((DWORD)(records * 2 * sizeof(LONGLONG)), &hRuns, (void **)&runs)) {
        ERROR_REPORT();
        return FALSE;
    }
    for (DWORD i = 0; i < records; i++) {
        runs[2 * i] = list[i].StartingLcn;
        runs[2 * i + 1] = list[i].ClusterCount;
    }
    SortRuns(runs, records);
    for (DWORD i = 1; i < records && ok; i++) ok = runs[2 * (i - 1)] + runs[2 * (i - 1) + 1] <= runs[2 * i];
    ReleaseMemory(&hRuns, nullptr);
    if (!ok) return FatFault(u"A cluster list names a cluster twice; the FAT is not changed\n");
    return TRUE;
}

// Checks every entry of the chain in one FAT copy: free when wantFree, else
// in use. FALSE, with a line naming the cluster and the error report, at
// the first that is not; nothing is written.
static BOOL CheckChainEntries(DWORD records, const EXTENT_LIST *list, LONG copy, BOOL wantFree) {
    FAT_WINDOW window;
    CHAIN_CURSOR at = {0, 0};
    LONGLONG cluster;
    ULONG link, entry;

    memset(&window, 0, sizeof window);
    while (NextChainCluster(&at, records, list, FAT_NO_CLUSTER, &cluster, &link)) {
        if (!ReadFatEntry(&window, FatCopyOffset(copy), cluster, &entry)) {
            ReleaseFatWindow(&window);
            return FALSE;
        }
        if ((LinkOf(entry) == FAT_FREE) != wantFree) {
            ReleaseFatWindow(&window);
            return FatFault(wantFree ? u"Cluster %ld is in use in FAT copy %ld: the new chain is not written\n"
                                     : u"Cluster %ld is already free in FAT copy %ld: the chain is not freed\n",
                            (LONG)cluster, copy + 1);
        }
    }
    ReleaseFatWindow(&window);
    return TRUE;
}

// Brings every further FAT copy in step with the first, once a run: the
// windows that differ are written from the first copy, with a line saying
// how many. FALSE after the error report.
static BOOL BringFatCopiesInStep(void) {
    LONGLONG sectors = VolData.llFatBytes / VolData.BytesPerSector;
    LONGLONG step = FAT_COMPARE_BYTES / VolData.BytesPerSector;

    if (bFatCopiesInStep) return TRUE;
    if (step <= 0) step = 1;
    for (LONG copy = 1; copy < VolData.lFatCopies; copy++) {
        LONGLONG differing = 0;
        for (LONGLONG first = 0; first < sectors; first += step) {
            LONGLONG count = sectors - first < step ? sectors - first : step;
            HGLOBAL hFirst = DasdLoadSectors(VolData.hVolume, VolData.llFatOffset / VolData.BytesPerSector + first,
                                             count, VolData.BytesPerSector);
            HGLOBAL hOther = DasdLoadSectors(VolData.hVolume, FatCopyOffset(copy) / VolData.BytesPerSector + first,
                                             count, VolData.BytesPerSector);
            BYTE *a = hFirst != nullptr ? (BYTE *)GlobalLock(hFirst) : nullptr;
            BYTE *b = hOther != nullptr ? (BYTE *)GlobalLock(hOther) : nullptr;
            BOOL ok = a != nullptr && b != nullptr;
            if (ok && memcmp(a, b, (size_t)(count * VolData.BytesPerSector)) != 0) {
                differing++;
                ok = DasdStoreSectors(VolData.hVolume, FatCopyOffset(copy) / VolData.BytesPerSector + first, count,
                                      VolData.BytesPerSector, a);
            }
            ReleaseMemory(&hFirst, nullptr);
            ReleaseMemory(&hOther, nullptr);
            if (!ok) {
                ERROR_REPORT();
                return FALSE;
            }
        }
        if (differing > 0) {
            swprintf(cOutline, u"FAT copy %ld differed from the first; brought in step with it\n", copy + 1);
            ShowDiag(cOutline);
        }
    }
    bFatCopiesInStep = TRUE;
    return TRUE;
}

BOOL AllocateFATClustersWorker(DWORD records, EXTENT_LIST *list, LONGLONG lastLink, LONGLONG copyOffset) {
    FAT_WINDOW window;
    CHAIN_CURSOR at = {0, 0};
    LONGLONG cluster;
    ULONG link, entry;

    memset(&window, 0, sizeof window);
    TRACE(8, u"AllocateFATClusters", u"DasdLoadSectors");
    while (NextChainCluster(&at, records, list, lastLink, &cluster, &link)) {
        if (!ReadFatEntry(&window, copyOffset, cluster, &entry)) {
            ReleaseFatWindow(&window);
            return FALSE;
        }
        if (LinkOf(entry) != FAT_FREE) {
            ReleaseFatWindow(&window);
            return FatFault(u"Cluster %ld is in use: the new chain is not written\n", (LONG)cluster);
        }
        if (VolData.FileSystem == FS_FAT32) link = (entry & ~FAT32_LINK_MASK) | (link & FAT32_LINK_MASK);
        if (!WriteFatEntry(&window, copyOffset, cluster, link)) {
            ReleaseFatWindow(&window);
            return FALSE;
        }
    }
    TRACE(8, u"AllocateFATClusters", u"DasdStoreSectors");
    BOOL ok = StoreFatWindow(&window);
    ReleaseFatWindow(&window);
    return ok;
}

BOOL DeallocateFATClustersWorker(DWORD records, EXTENT_LIST *list, LONGLONG copyOffset) {
    FAT_WINDOW window;
    CHAIN_CURSOR at = {0, 0};
    LONGLONG cluster;
    ULONG link, entry;

    memset(&window, 0, sizeof window);
    TRACE(8, u"DeallocateFATClusters", u"DasdLoadSectors");
    while (NextChainCluster(&at, records, list, FAT_NO_CLUSTER, &cluster, &link)) {
        if (!ReadFatEntry(&window, copyOffset, cluster, &entry)) {
            ReleaseFatWindow(&window);
            return FALSE;
        }
        if (LinkOf(entry) == FAT_FREE) {
            ReleaseFatWindow(&window);
            return FatFault(u"Cluster %ld is already free: the chain is not freed\n", (LONG)cluster);
        }
        if (!WriteFatEntry(&window, copyOffset, cluster,
                           VolData.FileSystem == FS_FAT32 ? entry & ~FAT32_LINK_MASK : FAT_FREE)) {
            ReleaseFatWindow(&window);
            return FALSE;
        }
    }
    TRACE(8, u"DeallocateFATClusters", u"DasdStoreSectors");
    BOOL ok = StoreFatWindow(&window);
    ReleaseFatWindow(&window);
    return ok;
}

// The chain writers' common frame: the list checked, the copies brought in
// step, every entry checked in every copy, then each copy written in turn.
static BOOL ChangeChain(DWORD records, EXTENT_LIST *list, LONGLONG lastLink, BOOL allocate) {
    if (!CheckChainList(records, list, lastLink) || !BringFatCopiesInStep()) return FALSE;
    for (LONG copy = 0; copy < VolData.lFatCopies; copy++)
        if (!CheckChainEntries(records, list, copy, allocate)) return FALSE;
    for (LONG copy = 0; copy < VolData.lFatCopies; copy++) {
        BOOL ok = allocate ? AllocateFATClustersWorker(records, list, lastLink, FatCopyOffset(copy))
                           : DeallocateFATClustersWorker(records, list, FatCopyOffset(copy));
        if (!ok) {
            ERROR_REPORT();
            return FALSE;
        }
    }
    return TRUE;
}

BOOL AllocateFATClusters(DWORD records, EXTENT_LIST *list, LONGLONG lastLink) {
    return ChangeChain(records, list, lastLink, TRUE);
}

BOOL DeallocateFATClusters(DWORD records, EXTENT_LIST *list) {
    return ChangeChain(records, list, FAT_NO_CLUSTER, FALSE);
}

BOOL ExtentsShared(const EXTENT_LIST *list, LONGLONG count) {
    const ULONG *bits;
    BOOL shared = FALSE;

    if (hSharedClusters == nullptr || (bits = (const ULONG *)GlobalLock(hSharedClusters)) == nullptr) return FALSE;
    for (LONGLONG i = 0; i < count && !shared; i++)
        for (LONGLONG n = list[i].StartingLcn; n < list[i].StartingLcn + list[i].ClusterCount && !shared; n++)
            shared = n >= 0 && n < VolData.TotalClusters && ((bits[n / 32] >> (n % 32)) & 1);
    GlobalUnlock(hSharedClusters);
    return shared;
}

// ---------------------------------------------------------------- the move

// Shows the move line: what moves, where, and which way (">>" to the same
// or a later LCN, "<<" toward the front).
static void ShowMoveLine(const WCHAR *name, const EXTENT_LIST *destination) {
    LONG written = _snwprintf(cOutline, OUTLINE_CHARS - 60, u"\r%s%s%s%sfile (%-12s) to LCN 0x%08lx for %ld Clusters",
                              cProgress, VolData.bFragmented ? u"Defragmenting " : u"Moving ",
                              VolData.bCompressed ? u"compressed " : u"", VolData.bDirectory ? u"directory " : u"data ",
                              name, (LONG)destination->StartingLcn, (LONG)VolData.NumberOfClusters);
    if (written < 0) cOutline[OUTLINE_CHARS - 61] = 0;
    wcscat(cOutline, cMoveLinePad);
    wcscat(cOutline, destination->StartingLcn >= VolData.StartingLcn ? u" >>" : u" <<");
    ShowMessage(cOutline);
}

// Counts a move in glFileStats: +4 fragmented, +2 compressed, +1 a file
// (the size classes are never set on FAT).
static void CountMove(BOOL file) {
    LONG index = (VolData.bFragmented ? 4 : 0) + (VolData.bCompressed ? 2 : 0) + (file ? 1 : 0);
    glFileStats[index]++;
}

// The copy of the first `clusters` clusters of the current file (its own
// extent list, in order) into the destination records, through the move
// buffer, a piece at a time: never more than 64 KB, never across the end
// of a source record. FALSE after the error report.
static BOOL CopyClusters(LONGLONG clusters, DWORD records, const EXTENT_LIST *destination) {
    LONGLONG perRead =
        (clusters * VolData.BytesPerCluster < FAT_COPY_BYTES ? clusters * VolData.BytesPerCluster : FAT_COPY_BYTES) /
        VolData.BytesPerCluster;
    LONGLONG done = 0, sourceOffset = 0, destinationOffset = 0;
    LONGLONG source = 0;
    DWORD target = 0;

    if (pMoveBuffer == nullptr || perRead < 1) {
        ERROR_REPORT();
        return FALSE;
    }
    while (done < clusters) {
        const EXTENT_LIST *from = &VolData.pExtentList[source];
        LONGLONG piece = from->ClusterCount - sourceOffset, written = 0;
        if (piece > perRead) piece = perRead;
        if (piece > clusters - done) piece = clusters - done;
        TRACE(6, u"FatMoveFile", u"DasdReadClusters");
        if (!DasdReadClusters(VolData.hVolume, from->StartingLcn + sourceOffset, piece, pMoveBuffer,
                              VolData.BytesPerSector, VolData.BytesPerCluster)) {
            ERROR_REPORT();
            return FALSE;
        }
        while (written < piece) {
            const EXTENT_LIST *to = &destination[target];
            LONGLONG part = to->ClusterCount - destinationOffset;
            if (part > piece - written) part = piece - written;
            TRACE(6, u"FatMoveFile", u"DasdWriteClusters");
            if (!DasdWriteClusters(VolData.hVolume, to->StartingLcn + destinationOffset, part,
                                   pMoveBuffer + written * VolData.BytesPerCluster, VolData.BytesPerSector,
                                   VolData.BytesPerCluster)) {
                ERROR_REPORT();
                return FALSE;
            }
            written += part;
            destinationOffset += part;
            if (destinationOffset == to->ClusterCount && target + 1 < records) {
                target++;
                destinationOffset = 0;
            }
        }
        done += piece;
        sourceOffset += piece;
        if (sourceOffset == from->ClusterCount) {
            source++;
            sourceOffset = 0;
        }
    }
    return TRUE;
}

// The cluster number that follows the first `clusters` clusters of the
// current file's chain (the link a partial move leaves the rest of the old
// chain on), or FAT_NO_CLUSTER when that is the whole chain.
static LONGLONG RestOfChain(LONGLONG clusters) {
    for (LONGLONG i = 0; i < VolData.NumberOfExtents; i++) {
        if (clusters < VolData.pExtentList[i].ClusterCount)
            return VolData.pExtentList[i].StartingLcn + clusters + FAT_FIRST_CLUSTER;
        clusters -= VolData.pExtentList[i].ClusterCount;
    }
    return FAT_NO_CLUSTER;
}

// The move of a file (not a directory): steps 3 to 13 of the write order.
static BOOL MoveFileData(const WCHAR *name, LONGLONG clusters, LONGLONG parentLcn, DWORD records,
                         EXTENT_LIST *destination) {
    HGLOBAL hDir = nullptr;
    BYTE *dir;
    DIRSTRUC *entry;
    DWORD offset = 0, targets;
    LONGLONG lastLink;

    if (ExtentsShared(VolData.pExtentList, VolData.NumberOfExtents))
        return FatFault(u"%s shares clusters with another entry (crossed chains); it is not moved\n",
                        VolData.cFileName);
    TRACE(6, u"FatMoveFile", u"LoadChain");
    if (!LoadChainEx(parentLcn, &hDir, nullptr)) {
        ERROR_REPORT();
        return FALSE;
    }
    TRACE(6, u"FatMoveFile", u"LocateDirEntry");
    if (!LocateDirEntry(hDir, name, FALSE, &offset) || (dir = (BYTE *)GlobalLock(hDir)) == nullptr) {
        ReleaseMemory(&hDir, nullptr);
        return FatFault(u"The entry of %s is not in its directory\n", VolData.cFileName);
    }
    entry = (DIRSTRUC *)(dir + offset);
    // The entry found by name must be this file's: a directory holding two
    // entries of one name must not have the wrong one changed.
    if (EntryFirstCluster(entry) != VolData.StartingLcn + FAT_FIRST_CLUSTER) {
        ReleaseMemory(&hDir, nullptr);
        return FatFault(u"The entry named %s does not name the file's first cluster; it is not moved\n",
                        VolData.cFileName);
    }
    // A move of fewer clusters than the chain holds links the new part to
    // the rest of the old chain, which stays.
    lastLink = clusters < VolData.NumberOfClusters ? RestOfChain(clusters) : FAT_NO_CLUSTER;
    if (!GrowExtents(&hTempExtents, &pTempExtents, &dwNumTempExtentsAlloced, records)) {
        ReleaseMemory(&hDir, nullptr);
        return FALSE;
    }
    memcpy(pTempExtents, destination, records * sizeof(EXTENT_LIST));
    targets = dwNumTempExtents = CutExtents(pTempExtents, records, clusters);
    if (targets == 0) {
        ReleaseMemory(&hDir, nullptr);
        return FatFault(u"The destination of %s holds fewer clusters than it needs\n", VolData.cFileName);
    }
    TRACE(4, u"FatMoveFile", u"AllocateFatClusters");
    if (!AllocateFATClusters(targets, pTempExtents, lastLink) || !CopyClusters(clusters, targets, pTempExtents)) {
        ReleaseMemory(&hDir, nullptr);
        ERROR_REPORT();
        return FALSE;
    }
    SetEntryFirstCluster(entry, pTempExtents[0].StartingLcn + FAT_FIRST_CLUSTER);
    GlobalUnlock(hDir);
    TRACE(6, u"FatMoveFile", u"StoreChain");
    if (!StoreChain(parentLcn, hDir)) {
        ReleaseMemory(&hDir, nullptr);
        ERROR_REPORT();
        return FALSE;
    }
    ReleaseMemory(&hDir, nullptr);
    TRACE(4, u"FatMoveFile", u"DeallocateFatClusters");
    if (!DeallocateFATClusters(dwNumDeallocExtents, pDeallocExtents)) {
        ERROR_REPORT();
        return FALSE;
    }
    CountMove(TRUE);
    return TRUE;
}

BOOL FATMoveFile(const WCHAR *name, LONGLONG clusters, LONGLONG parentLcn, DWORD records, EXTENT_LIST *destination) {
    if (name == nullptr || destination == nullptr || records == 0 || clusters <= 0 ||
        VolData.StartingLcn == FAT_NO_CLUSTER || VolData.NumberOfExtents <= 0 ||
        (!VolData.bDirectory && clusters > VolData.NumberOfClusters)) {
        ERROR_REPORT();
        return FALSE;
    }
    ShowMoveLine(name, destination);

    // The old clusters to free afterwards: the file's list cut to the
    // clusters moved.
    if (!GrowExtents(&hDeallocExtents, &pDeallocExtents, &dwNumDeallocExtentsAlloced, (DWORD)VolData.NumberOfExtents))
        return FALSE;
    memcpy(pDeallocExtents, VolData.pExtentList, (size_t)VolData.NumberOfExtents * sizeof(EXTENT_LIST));
    dwNumDeallocExtents = CutExtents(pDeallocExtents, (DWORD)VolData.NumberOfExtents, clusters);
    if (dwNumDeallocExtents == 0) dwNumDeallocExtents = (DWORD)VolData.NumberOfExtents;

    if (!VolData.bDirectory) return MoveFileData(name, clusters, parentLcn, records, destination);

    TRACE(6, u"FatMoveFile", u"GetFatDirSizeWithChildren");
    DWORD size = GetFATDirSizeWithChildren(name, parentLcn);
    if (size == 0 || clusters < (LONGLONG)size) {
        ERROR_REPORT();
        return FALSE;
    }
    TRACE(6, u"FatMoveFile", u"MoveSubDirTree");
    if (!MoveSubDirTree(name, parentLcn, records, destination)) {
        ERROR_REPORT();
        return FALSE;
    }
    CountMove(FALSE);
    return TRUE;
}

BOOL MoveCurrentEntry(LONGLONG destination, LONGLONG clusters, BOOL *noName) {
    static WCHAR name[FAT_NAME_CHARS];
    EXTENT_LIST target;
    const WCHAR *slash = wcsrchr(VolData.cFileName, u'\\');

    if (noName != nullptr) *noName = slash == nullptr;
    if (slash == nullptr) {
        ERROR_REPORT();
        return FALSE;
    }
    wcsncpy(name, slash + 1, FAT_NAME_CHARS - 1);
    name[FAT_NAME_CHARS - 1] = 0;
    memset(&target, 0, sizeof target);
    target.StartingLcn = target.SourceLcn = destination;
    target.ClusterCount = clusters;
    return FATMoveFile(name, clusters, VolData.llParentDirLcn, 1, &target);
}
