// Directory consolidation: a directory moves together with every directory
// below it (the files inside keep their clusters), the whole tree packed
// into the destination in pre-order: the directory first, then its first
// subdirectory's tree, then the next one's. GetFATDirSizeWithChildren tells
// how many clusters a tree needs; MoveSubDirTree moves it.
//
// Write order: each directory's new chain goes into the FATs when the
// recursion reaches it; a directory is written to its new chain only after
// all its subdirectories (post-order); the parent, whose entry makes the
// moved tree reachable, is written last; the old chains are freed after
// that. Until the parent is written the old tree is intact and the one
// reachable; a stop before leaves the new chains as lost clusters.
//
// ".." of a directory names its parent's first cluster, or 0 when the
// parent is the root directory, on FAT32 as on FAT16 (what the format asks
// and fsck.fat checks).
//
// Trees are bounded as the walk bounds them: at most FAT_TREE_LEVELS levels
// and no more directories than the volume has clusters (a directory that
// leads back to one above it runs into those bounds); a chain shared with
// another entry is refused by LoadChainEx. The size is always asked first
// (FATMoveFile), so a tree that breaks a bound is refused before anything is
// written.
#include <cstring>

#include "fat.h"

static const BYTE cDotName[DIR_NAME_BYTES + DIR_EXTENSION_BYTES] = {'.', ' ', ' ', ' ', ' ', ' ',
                                                                    ' ', ' ', ' ', ' ', ' '};
static const BYTE cDotDotName[DIR_NAME_BYTES + DIR_EXTENSION_BYTES] = {'.', '.', ' ', ' ', ' ', ' ',
                                                                       ' ', ' ', ' ', ' ', ' '};

// Depth of the current recursion (1 for the directories below the top) and
// the directories it may still enter.
static LONG lTreeDepth = 0;
static LONGLONG llTreeDirsLeft = 0;

// A subdirectory entry the recursions descend into: a live directory that
// is not "." or "..".
static BOOL IsSubdirectory(const DIRSTRUC *e) {
    return e->Name[0] != DIR_DELETED && e->Name[0] != DIR_DOT && (e->Attributes & FAT_ATTR_DIRECTORY) &&
           !(e->Attributes & FAT_ATTR_VOLUME_LABEL);
}

// The entries of a buffer of `bytes` bytes up to the end entry.
static DWORD EntriesOf(const BYTE *buffer, SIZE_T bytes) {
    DWORD n = 0;
    while ((n + 1) * (SIZE_T)DIR_ENTRY_BYTES <= bytes && buffer[n * DIR_ENTRY_BYTES] != DIR_END) n++;
    return n;
}

// Enters one more level of a tree. FALSE (after a line and the error report)
// when the tree is deeper than the walk goes or holds more directories than
// the volume has clusters.
static BOOL EnterLevel(void) {
    if (lTreeDepth + 1 >= FAT_TREE_LEVELS)
        return FatFault(u"A directory tree below %s is deeper than %ld levels; it is not moved\n", VolData.cFileName,
                        (LONG)(FAT_TREE_LEVELS - 1));
    if (--llTreeDirsLeft < 0)
        return FatFault(u"The tree of %s holds more directories than the volume has clusters; it is not moved\n",
                        VolData.cFileName);
    lTreeDepth++;
    return TRUE;
}

// Loads the chain of a directory entry and locks it. FALSE after the error
// report.
static BOOL LoadEntryChain(const DIRSTRUC *e, HGLOBAL *handle, BYTE **data, DWORD *clusters) {
    TRACE(6, u"GetFATDirSizeWithChildren", u"LoadChainEx");
    if (!LoadChainEx(EntryFirstCluster(e) - FAT_FIRST_CLUSTER, handle, clusters) ||
        (*data = (BYTE *)GlobalLock(*handle)) == nullptr) {
        ReleaseMemory(handle, nullptr);
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// The clusters of the trees of every subdirectory in a loaded directory; 0
// after the error report.
static DWORD SubtreesSize(BYTE *buffer, SIZE_T bytes, BOOL *ok) {
    DWORD total = 0, entries = EntriesOf(buffer, bytes);

    *ok = TRUE;
    for (DWORD i = 0; i < entries; i++) {
        if (!IsSubdirectory((const DIRSTRUC *)(buffer + i * DIR_ENTRY_BYTES))) continue;
        TRACE(6, u"GetFATDirSizeWithChildren", u"GetFATDirSizeWithChildrenRecursion");
        DWORD size = GetFATDirSizeWithChildrenRecursion(i * DIR_ENTRY_BYTES, (DIRSTRUC *)buffer);
        if (size == 0) {
            ERROR_REPORT();
            *ok = FALSE;
            return 0;
        }
        total += size;
    }
    return total;
}

DWORD GetFATDirSizeWithChildrenRecursion(DWORD offset, DIRSTRUC *directory) {
    HGLOBAL handle = nullptr;
    BYTE *data = nullptr;
    DWORD clusters = 0, below;
    BOOL ok;

    if (!EnterLevel()) return 0;
    if (!LoadEntryChain((const DIRSTRUC *)((BYTE *)directory + offset), &handle, &data, &clusters)) {
        lTreeDepth--;
        return 0;
    }
    below = SubtreesSize(data, GlobalSize(handle), &ok);
    ReleaseMemory(&handle, nullptr);
    lTreeDepth--;
    return ok ? clusters + below : 0;
}

// The parent's buffer (locked) and, unless name is ".", the named directory's
// entry in it. FALSE after the error report (nothing held).
static BOOL LoadParentAndEntry(const WCHAR *name, LONGLONG parentLcn, HGLOBAL *hParent, BYTE **parent,
                               DIRSTRUC **entry) {
    DWORD offset = 0;

    *entry = nullptr;
    if (!LoadChainEx(parentLcn, hParent, nullptr) || (*parent = (BYTE *)GlobalLock(*hParent)) == nullptr) {
        ReleaseMemory(hParent, nullptr);
        ERROR_REPORT();
        return FALSE;
    }
    if (wcscmp(name, u".") == 0) return TRUE;
    TRACE(6, u"MoveSubDirTree", u"LoadDirEntry");
    if (!LocateDirEntry(*hParent, name, TRUE, &offset)) {
        ReleaseMemory(hParent, nullptr);
        return FatFault(u"The directory %s is not in its parent\n", name);
    }
    *entry = (DIRSTRUC *)(*parent + offset);
    return TRUE;
}

DWORD GetFATDirSizeWithChildren(const WCHAR *name, LONGLONG parentLcn) {
    HGLOBAL hParent = nullptr, hDir = nullptr;
    BYTE *parent = nullptr, *dir = nullptr, *base;
    DIRSTRUC *entry;
    DWORD total = 0, below;
    SIZE_T bytes;
    BOOL ok;

    lTreeDepth = 0;
    llTreeDirsLeft = VolData.TotalClusters;
    if (!LoadParentAndEntry(name, parentLcn, &hParent, &parent, &entry)) return 0;
    base = parent;
    bytes = GlobalSize(hParent);
    if (entry != nullptr) {
        if (!LoadEntryChain(entry, &hDir, &dir, &total)) {
            ReleaseMemory(&hParent, nullptr);
            return 0;
        }
        base = dir;
        bytes = GlobalSize(hDir);
    }
    below = SubtreesSize(base, bytes, &ok);
    ReleaseMemory(&hDir, nullptr);
    ReleaseMemory(&hParent, nullptr);
    return ok ? total + below : 0;
}

// A directory buffer's "." and ".." entries, refused (FALSE after the error
// report) when the first two entries are not those.
static BOOL DotEntries(BYTE *buffer, DIRSTRUC **dot, DIRSTRUC **dotDot) {
    *dot = (DIRSTRUC *)buffer;
    *dotDot = (DIRSTRUC *)(buffer + DIR_ENTRY_BYTES);
    if (memcmp((*dot)->Name, cDotName, sizeof cDotName) != 0 ||
        memcmp((*dotDot)->Name, cDotDotName, sizeof cDotDotName) != 0 || !((*dot)->Attributes & FAT_ATTR_DIRECTORY) ||
        !((*dotDot)->Attributes & FAT_ATTR_DIRECTORY))
        return FatFault(u"A directory below %s does not begin with its \".\" and \"..\" entries; it is not moved\n",
                        VolData.cFileName);
    return TRUE;
}

// The part of the destination after the first `consumed` clusters, cut to
// `clusters`, into pTempExtents (dwNumTempExtents). FALSE after the error
// report when the destination holds too little.
static BOOL TakeDestination(DWORD consumed, LONGLONG clusters, DWORD records, const EXTENT_LIST *destination) {
    LONGLONG skip = consumed;
    DWORD first = 0;

    while (first < records && skip >= destination[first].ClusterCount) skip -= destination[first++].ClusterCount;
    if (first == records || !GrowExtents(&hTempExtents, &pTempExtents, &dwNumTempExtentsAlloced, records)) {
        ERROR_REPORT();
        return FALSE;
    }
    memcpy(pTempExtents, destination + first, (records - first) * sizeof(EXTENT_LIST));
    pTempExtents[0].StartingLcn += skip;
    pTempExtents[0].ClusterCount -= skip;
    dwNumTempExtents = CutExtents(pTempExtents, records - first, clusters);
    if (dwNumTempExtents == 0) return FatFault(u"The destination of %s holds too few clusters\n", VolData.cFileName);
    return TRUE;
}

// Appends the old chain from lcn to pDeallocExtents. FALSE after the error
// report.
static BOOL AppendOldChain(LONGLONG lcn) {
    LONGLONG saved = VolData.StartingLcn;
    BOOL directory = VolData.bDirectory, ok;
    LONGLONG size = VolData.FileSize;

    VolData.StartingLcn = lcn;
    VolData.bDirectory = TRUE;
    TRACE(6, u"MoveSubDirTreeRecursion", u"GetExtentListManuallyFat");
    ok = GetExtentListManuallyFat() && VolData.NumberOfExtents > 0 &&
         GrowExtents(&hDeallocExtents, &pDeallocExtents, &dwNumDeallocExtentsAlloced,
                     dwNumDeallocExtents + (DWORD)VolData.NumberOfExtents);
    if (ok) {
        memcpy(pDeallocExtents + dwNumDeallocExtents, VolData.pExtentList,
               (size_t)VolData.NumberOfExtents * sizeof(EXTENT_LIST));
        dwNumDeallocExtents += (DWORD)VolData.NumberOfExtents;
    }
    VolData.StartingLcn = saved;
    VolData.bDirectory = directory;
    ok = GetExtentListManuallyFat() && ok;
    VolData.FileSize = size;
    if (!ok) ERROR_REPORT();
    return ok;
}

// Gives the new chain of pTempExtents to a loaded directory: its FATs
// entries, its "." entry, its ".." entry (the holding directory's first
// cluster, 0 for the root; unchanged when holdingLcn is FAT_NO_CLUSTER, the
// holding directory staying) and its entry in the holding directory's
// buffer. *newLcn is its new first LCN. FALSE after the error report.
static BOOL GiveNewChain(BYTE *buffer, DIRSTRUC *entry, LONGLONG holdingLcn, BOOL holdingIsRoot, LONGLONG *newLcn) {
    DIRSTRUC *dot, *dotDot;

    if (!DotEntries(buffer, &dot, &dotDot)) return FALSE;
    TRACE(4, u"MoveSubDirTree", u"AllocateFATClusters");
    if (!AllocateFATClusters(dwNumTempExtents, pTempExtents, FAT_NO_CLUSTER)) {
        ERROR_REPORT();
        return FALSE;
    }
    *newLcn = pTempExtents[0].StartingLcn;
    SetEntryFirstCluster(dot, *newLcn + FAT_FIRST_CLUSTER);
    if (holdingIsRoot)
        SetEntryFirstCluster(dotDot, 0);
    else if (holdingLcn != FAT_NO_CLUSTER)
        SetEntryFirstCluster(dotDot, holdingLcn + FAT_FIRST_CLUSTER);
    SetEntryFirstCluster(entry, *newLcn + FAT_FIRST_CLUSTER);
    return TRUE;
}

// Moves the trees of every subdirectory of a loaded directory (whose new
// first LCN is newLcn). FALSE after the error report.
static BOOL MoveSubtrees(BYTE *buffer, SIZE_T bytes, LONGLONG newLcn, DWORD *consumed, DWORD records,
                         EXTENT_LIST *destination) {
    DWORD entries = EntriesOf(buffer, bytes);

    for (DWORD i = 0; i < entries; i++) {
        if (!IsSubdirectory((const DIRSTRUC *)(buffer + i * DIR_ENTRY_BYTES))) continue;
        TRACE(6, u"MoveSubDirTree", u"MoveSubDirRecursion");
        if (!MoveSubDirTreeRecursion(i * DIR_ENTRY_BYTES, (DIRSTRUC *)buffer, newLcn, consumed, records, destination)) {
            ERROR_REPORT();
            return FALSE;
        }
    }
    return TRUE;
}

BOOL MoveSubDirTreeRecursion(DWORD offset, DIRSTRUC *directory, LONGLONG newLcn, DWORD *consumed, DWORD records,
                             EXTENT_LIST *destination) {
    DIRSTRUC *entry = (DIRSTRUC *)((BYTE *)directory + offset);
    HGLOBAL handle = nullptr;
    BYTE *data = nullptr;
    DWORD clusters = 0;
    LONGLONG ownLcn = 0;
    BOOL ok;

    if (!EnterLevel()) return FALSE;
    TRACE(6, u"MoveSubDirTreeRecursion", u"LoadChainEx");
    ok = LoadEntryChain(entry, &handle, &data, &clusters) &&
         AppendOldChain(EntryFirstCluster(entry) - FAT_FIRST_CLUSTER) &&
         TakeDestination(*consumed, clusters, records, destination);
    if (ok) {
        *consumed += clusters;
        TRACE(6, u"MoveSubDirTreeRecursion", u"AllocateFatClusters");
        ok = GiveNewChain(data, entry, newLcn, FALSE, &ownLcn) &&
             MoveSubtrees(data, GlobalSize(handle), ownLcn, consumed, records, destination);
    }
    if (ok) {
        GlobalUnlock(handle);
        TRACE(6, u"MoveSubDirTreeRecursion", u"StoreChain");
        ok = StoreChain(ownLcn, handle);
    }
    ReleaseMemory(&handle, nullptr);
    lTreeDepth--;
    if (!ok) ERROR_REPORT();
    return ok;
}

BOOL MoveSubDirTree(const WCHAR *name, LONGLONG parentLcn, DWORD records, EXTENT_LIST *destination) {
    HGLOBAL hParent = nullptr, hDir = nullptr;
    BYTE *parent = nullptr, *dir = nullptr;
    DIRSTRUC *entry = nullptr;
    DWORD consumed = 0, clusters = 0;
    LONGLONG newLcn = FAT_NO_CLUSTER;
    BOOL dotOnly = wcscmp(name, u".") == 0, ok;

    lTreeDepth = 0;
    llTreeDirsLeft = VolData.TotalClusters;
    if (!dotOnly && (VolData.StartingLcn == FAT_NO_CLUSTER || VolData.NumberOfExtents <= 0)) {
        ERROR_REPORT();
        return FALSE;
    }
    dwNumDeallocExtents = 0;
    if (!dotOnly) {
        if (!GrowExtents(&hDeallocExtents, &pDeallocExtents, &dwNumDeallocExtentsAlloced,
                         (DWORD)VolData.NumberOfExtents))
            return FALSE;
        memcpy(pDeallocExtents, VolData.pExtentList, (size_t)VolData.NumberOfExtents * sizeof(EXTENT_LIST));
        dwNumDeallocExtents = (DWORD)VolData.NumberOfExtents;
    }
    if (!GrowExtents(&hTempExtents, &pTempExtents, &dwNumTempExtentsAlloced, records)) return FALSE;

    TRACE(6, u"MoveSubDirTree", u"LoadChainEx");
    if (!LoadParentAndEntry(name, parentLcn, &hParent, &parent, &entry)) return FALSE;
    ok = TRUE;
    if (!dotOnly) {
        // The entry found by name must be the directory's own.
        if (EntryFirstCluster(entry) != VolData.StartingLcn + FAT_FIRST_CLUSTER)
            ok = FatFault(u"The entry named %s does not name the directory's first cluster; it is not moved\n",
                          VolData.cFileName);
        ok = ok && LoadEntryChain(entry, &hDir, &dir, &clusters) && TakeDestination(0, clusters, records, destination);
        if (ok) {
            consumed = clusters;
            ok = GiveNewChain(dir, entry, parentLcn, parentLcn == FAT_NO_CLUSTER || parentLcn == VolData.llRootDirLcn,
                              &newLcn);
        }
    }
    ok = ok && (dotOnly ? MoveSubtrees(parent, GlobalSize(hParent), FAT_NO_CLUSTER, &consumed, records, destination)
                        : MoveSubtrees(dir, GlobalSize(hDir), newLcn, &consumed, records, destination));
    // The directory to its new chain, then the parent that makes it
    // reachable; only then are the old chains freed.
    TRACE(6, u"MoveSubDirTree", u"StoreChain");
    if (ok && !dotOnly) {
        GlobalUnlock(hDir);
        ok = StoreChain(newLcn, hDir);
    }
    if (ok) {
        GlobalUnlock(hParent);
        ok = StoreChain(parentLcn, hParent);
    }
    ReleaseMemory(&hDir, nullptr);
    ReleaseMemory(&hParent, nullptr);
    if (!ok) {
        ERROR_REPORT();
        return FALSE;
    }
    TRACE(4, u"MoveSubDirTree", u"DeallocateFatClusters");
    if (dwNumDeallocExtents > 0 && !DeallocateFATClusters(dwNumDeallocExtents, pDeallocExtents)) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}
