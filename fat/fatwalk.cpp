// The FAT directory-tree walk: every file and directory of the volume found
// by reading the directories themselves, one entry per NextFatFile call,
// depth-first from the root. Within a directory, first every live entry in
// directory order (files and subdirectories alike), then each subdirectory's
// own walk in directory order; deleted entries, volume labels, long-name
// entries and "." and ".." are never returned.
//
// TreeData keeps one loaded directory per level. A directory is compacted
// once loaded (StripDir) to its live entries, and again, when its entries
// have been returned, to its subdirectories; the walk then descends into
// them one at a time (LoadDir) and climbs back at the entry after the one it
// entered.
#include <cstring>

#include "fat.h"

LONGLONG EntryFirstCluster(const DIRSTRUC *e) {
    if (VolData.FileSystem == FS_FAT32) return (LONGLONG)e->FirstClusterHigh * 65536 + e->FirstClusterLow;
    return e->FirstClusterLow;
}

// A first-cluster field that names no cluster: 0, or an end-of-chain value.
static BOOL NamesNoCluster(LONGLONG cluster) {
    if (cluster == 0) return TRUE;
    if (VolData.FileSystem == FS_FAT32) return cluster >= FAT32_EOC_FIRST && cluster <= FAT32_EOC;
    return cluster >= FAT16_EOC_FIRST && cluster <= FAT16_EOC;
}

// Shows "Directory <path> <why>; nothing below it is walked" (screen and
// log) for a subdirectory the walk does not enter.
static void PassOver(const WCHAR *why) {
    _snwprintf(cOutline, OUTLINE_CHARS - 1, u"\rDirectory %s %s; nothing below it is walked\n", VolData.cFileName, why);
    cOutline[OUTLINE_CHARS - 1] = 0;
    ShowDiag(cOutline);
}

// Whether StripDir keeps a short entry with these flags.
static BOOL KeepEntry(const DIRSTRUC *e, DWORD flags) {
    BOOL deleted = e->Name[0] == DIR_DELETED;

    if (deleted && !(flags & (STRIP_KEEP_DELETED | STRIP_DELETED_FILES))) return FALSE;
    if ((e->Attributes & FAT_ATTR_DIRECTORY) && (flags & STRIP_SUBDIRECTORIES) && e->Name[0] != DIR_DOT) return TRUE;
    if (e->Attributes & (FAT_ATTR_VOLUME_LABEL | FAT_ATTR_DIRECTORY)) return FALSE;
    if (!(flags & (STRIP_LIVE_FILES | STRIP_DELETED_FILES))) return FALSE;
    return (deleted ? (flags & STRIP_DELETED_FILES) : (flags & STRIP_LIVE_FILES)) ? TRUE : FALSE;
}

BOOL StripDir(PTREE_DATA tree, DWORD flags) {
    BYTE *read = tree->pDirStart, *write = tree->pDirStart, *pending = nullptr;

    for (; ((const DIRSTRUC *)read)->Name[0] != DIR_END; read += DIR_ENTRY_BYTES) {
        const DIRSTRUC *e = (const DIRSTRUC *)read;
        BYTE *from;

        // Long-name pieces share the fate of the short entry after them.
        if (e->Attributes == FAT_ATTR_LONG_NAME) {
            if (pending == nullptr) pending = read;
            continue;
        }
        from = pending != nullptr ? pending : read;
        pending = nullptr;
        if (KeepEntry(e, flags)) {
            size_t bytes = (size_t)(read + DIR_ENTRY_BYTES - from);
            memmove(write, from, bytes);
            write += bytes;
        }
    }
    // The end entry (with any pieces left before it) closes the compacted
    // directory.
    BYTE *from = pending != nullptr ? pending : read;
    memmove(write, from, (size_t)(read + DIR_ENTRY_BYTES - from));
    tree->pCurrentEntry = tree->pDirStart;
    return TRUE;
}

// One byte of an 8.3 name as a UTF-16 unit: sign extension, no code page.
static WCHAR ByteUnit(BYTE b) { return (WCHAR)(USHORT)(SHORT)(signed char)b; }

BOOL GetUnicodeName(PTREE_DATA tree, WCHAR *name) {
    const BYTE *entry = tree->pCurrentEntry;
    const DIRSTRUC *e = (const DIRSTRUC *)entry;
    size_t n = 0, i;

    // The long name, from the pieces before the entry, last piece first in
    // the buffer; an empty one leaves the 8.3 name.
    if ((size_t)(entry - tree->pDirStart) >= DIR_ENTRY_BYTES) {
        const BYTE *at = entry - DIR_ENTRY_BYTES;
        for (LONG pieces = 0; pieces < LFN_MAX_PIECES; pieces++) {
            const LONG_NAME_ENTRY *piece = (const LONG_NAME_ENTRY *)at;
            if (piece->Attributes != FAT_ATTR_LONG_NAME || piece->Sequence == DIR_DELETED) break;
            for (i = 0; i < 5; i++) name[n++] = piece->Name1[i];
            for (i = 0; i < 6; i++) name[n++] = piece->Name2[i];
            for (i = 0; i < 2; i++) name[n++] = piece->Name3[i];
            if ((piece->Sequence & LFN_LAST_PIECE) || (size_t)(at - tree->pDirStart) < DIR_ENTRY_BYTES) break;
            at -= DIR_ENTRY_BYTES;
        }
        name[n] = 0;
        if (name[0] != 0) return TRUE;
        n = 0;
    }

    for (i = 0; i < DIR_NAME_BYTES; i++) {
        if (e->Name[i] == ' ') continue;
        name[n++] = e->Name[i] == DIR_DELETED ? u'~' : ByteUnit(e->Name[i]);
    }
    if (e->Extension[0] != ' ') {
        name[n++] = u'.';
        for (i = 0; i < DIR_EXTENSION_BYTES; i++)
            if (e->Extension[i] != ' ') name[n++] = ByteUnit(e->Extension[i]);
    }
    name[n] = 0;
    return TRUE;
}

BOOL GetUnicodePath(PTREE_DATA tree, WCHAR *path) {
    WCHAR name[FAT_NAME_CHARS];
    size_t n = 0, length;

    for (LONG level = 0; level < FAT_TREE_LEVELS && tree->cLevelName[level][0] != 0; level++) {
        length = wcsnlen(tree->cLevelName[level], FAT_LEVEL_NAME_CHARS);
        if (n + length >= FILE_NAME_CHARS) goto tooLong;
        memcpy(path + n, tree->cLevelName[level], length * sizeof(WCHAR));
        n += length;
    }
    GetUnicodeName(tree, name);
    length = wcslen(name);
    if (n + length >= FILE_NAME_CHARS) goto tooLong;
    memcpy(path + n, name, (length + 1) * sizeof(WCHAR));
    return TRUE;

tooLong:
    path[n] = 0;
    FatFault(u"A path below %s is longer than %ld characters\n", path, (LONG)(FILE_NAME_CHARS - 1));
    path[0] = 0;
    return FALSE;
}

// Reads a directory's clusters (the extent list of VolData) into a new
// buffer of its clusters and two zeroed sectors, as level `level`.
static BOOL ReadDirectory(PTREE_DATA tree, DWORD level) {
    LONGLONG bytes = VolData.NumberOfClusters * VolData.BytesPerCluster + 2 * VolData.BytesPerSector, offset = 0;

    ReleaseMemory(&tree->hDirBuffer[level], nullptr);
    if (bytes > 0xFFFFFFFFLL || !AllocateMemory((DWORD)bytes, &tree->hDirBuffer[level], (void **)&tree->pDirStart)) {
        tree->pDirStart = nullptr;
        ERROR_REPORT();
        return FALSE;
    }
    for (LONGLONG i = 0; i < VolData.NumberOfExtents; i++) {
        const EXTENT_LIST *e = &VolData.pExtentList[i];
        if (!DasdReadClusters(VolData.hVolume, e->StartingLcn, e->ClusterCount, tree->pDirStart + offset,
                              VolData.BytesPerSector, VolData.BytesPerCluster)) {
            ERROR_REPORT();
            return FALSE;
        }
        offset += e->ClusterCount * VolData.BytesPerCluster;
    }
    tree->pCurrentEntry = tree->pDirStart;
    return TRUE;
}

BOOL LoadDir(PTREE_DATA tree) {
    WCHAR name[FAT_NAME_CHARS];

    for (BYTE *cursor = tree->pCurrentEntry;; cursor += DIR_ENTRY_BYTES) {
        const DIRSTRUC *e = (const DIRSTRUC *)cursor;
        LONGLONG first;
        DWORD level;

        if (e->Name[0] == DIR_END) {
            tree->pCurrentEntry = cursor;
            VolData.cFileName[0] = 0;
            return TRUE;
        }
        if ((e->Attributes & FAT_ATTR_VOLUME_LABEL) || !(e->Attributes & FAT_ATTR_DIRECTORY) || e->Name[0] == DIR_DOT ||
            e->Name[0] == DIR_DELETED)
            continue;

        tree->pCurrentEntry = cursor;
        if (!GetUnicodePath(tree, VolData.cFileName)) return FALSE;
        GetUnicodeName(tree, name);
        if (wcslen(name) > FAT_LONG_NAME_CHARS)
            return FatFault(u"The name of directory %s is longer than %ld characters\n", VolData.cFileName,
                            (LONG)FAT_LONG_NAME_CHARS);
        if (tree->dwLevel + 1 >= FAT_TREE_LEVELS) {
            PassOver(u"lies deeper than 127 levels below the root");
            continue;
        }
        first = EntryFirstCluster(e);
        BOOL loop = FALSE;
        for (DWORD k = 0; k <= tree->dwLevel; k++) loop |= first - FAT_FIRST_CLUSTER == tree->llDirLcn[k];
        if (loop) {
            PassOver(u"leads back to a directory above it");
            continue;
        }
        if (tree->llDirsEntered >= VolData.TotalClusters) {
            PassOver(u"is one more directory than the volume has clusters (directories share clusters)");
            continue;
        }
        VolData.bDirectory = 1;
        VolData.StartingLcn = first - FAT_FIRST_CLUSTER;
        if (!GetExtentListManuallyFat()) return FALSE;
        if (VolData.NumberOfExtents == 0) {
            PassOver(u"has a cluster chain that runs into a free cluster");
            continue;
        }

        tree->llDirsEntered++;
        tree->dwResumeIndex[tree->dwLevel] = (DWORD)((cursor - tree->pDirStart) / DIR_ENTRY_BYTES) + 1;
        GlobalUnlock(tree->hDirBuffer[tree->dwLevel]);
        level = ++tree->dwLevel;
        tree->bFilePhase = 1;
        tree->llDirLcn[level] = VolData.pExtentList[0].StartingLcn;
        swprintf(tree->cLevelName[level], u"%s\\", name);
        if (!ReadDirectory(tree, level)) return FALSE;
        StripDir(tree, STRIP_SUBDIRECTORIES | STRIP_LIVE_FILES);
        return TRUE;
    }
}

BOOL NextFatFile(void) {
    PTREE_DATA tree = &TreeData;

    if (tree->pDirStart == nullptr) {
        ERROR_REPORT();
        return FALSE;
    }
    for (;;) {
        const DIRSTRUC *e = (const DIRSTRUC *)tree->pCurrentEntry;

        if (tree->bFilePhase) {
            if (e->Name[0] == DIR_END && tree->bRootOnly && tree->dwLevel == 0) {
                ReleaseTreeHandles();
                tree->cLevelName[0][0] = 0;
                VolData.cFileName[0] = 0;
                return TRUE;
            }
            if (e->Name[0] == DIR_END) {
                StripDir(tree, STRIP_SUBDIRECTORIES);
                tree->bFilePhase = 0;
                continue;
            }
            // Labels include the long-name pieces (their attribute holds the
            // label bit); a root directory holds no "." entries, but a
            // damaged one might.
            if (e->Name[0] == DIR_DELETED || (e->Attributes & FAT_ATTR_VOLUME_LABEL) || e->Name[0] == DIR_DOT) {
                tree->pCurrentEntry += DIR_ENTRY_BYTES;
                continue;
            }
            LONGLONG first = EntryFirstCluster(e);
            VolData.bDirectory = (e->Attributes & FAT_ATTR_DIRECTORY) ? 1 : 0;
            VolData.FileSize = e->FileSize;
            VolData.StartingLcn = NamesNoCluster(first) ? FAT_NO_CLUSTER : first - FAT_FIRST_CLUSTER;
            VolData.llParentDirLcn = tree->llDirLcn[tree->dwLevel];
            if (!GetUnicodePath(tree, VolData.cFileName)) return FALSE;
            tree->pCurrentEntry += DIR_ENTRY_BYTES;
            return TRUE;
        }

        if (e->Name[0] == DIR_END) {
            DWORD level = tree->dwLevel;
            ReleaseMemory(&tree->hDirBuffer[level], nullptr);
            tree->cLevelName[level][0] = 0;
            tree->llDirLcn[level] = 0;
            tree->pDirStart = tree->pCurrentEntry = nullptr;
            if (level == 0) {
                VolData.cFileName[0] = 0;
                return TRUE;
            }
            tree->dwLevel = --level;
            tree->pDirStart = (BYTE *)GlobalLock(tree->hDirBuffer[level]);
            if (tree->pDirStart == nullptr) {
                ERROR_REPORT();
                return FALSE;
            }
            tree->pCurrentEntry = tree->pDirStart + (size_t)DIR_ENTRY_BYTES * tree->dwResumeIndex[level];
            continue;
        }
        if (e->Attributes & FAT_ATTR_DIRECTORY) {
            // Into the subdirectory, or to this level's end when none is left.
            if (!LoadDir(tree)) {
                ERROR_REPORT();
                return FALSE;
            }
            continue;
        }
        tree->pCurrentEntry += DIR_ENTRY_BYTES;
    }
}
