// FAT volume setup and teardown: Initialize and InitializeDefrag open the
// volume and fix its geometry; GetFatBootSector derives where the FATs, the
// FAT16 root directory and the data area lie and loads the root directory as
// level 0 of the walk; DisplayFatVolumeStats shows the partition data;
// OffLineExit releases everything (the move lists and the map of shared
// clusters too).
//
// Two choices of this program: every FAT copy the boot sector names is kept
// in step when mirroring is on (lFatCopies; FAT32 with mirroring off keeps
// only the active one), and a volume whose data area would start at or
// beyond 4 GiB is refused (the data-area offset is a 32-bit quantity).
#include <cstring>

#include "fat.h"

TREE_DATA TreeData;

// The copy buffer of the moves: 64 KB usable, sector-aligned.
#define FAT_MOVE_BUFFER_BYTES 65536
// The current file's extent list at setup: 4,096 entries.
#define FAT_EXTENT_LIST_BYTES 0x28000
// Data areas from here on are refused.
#define FAT_DATA_AREA_LIMIT 0x100000000LL
// CreateFile flags of the volume: no buffering, normal attributes.
#define FAT_VOLUME_FLAGS 0x20000080

// Message-layer texts of the refusal of another file system.
#define FAT_TEXT_NOT_FAT 402
#define FAT_TEXT_CAPTION 122

// Refuses a boot sector whose fields do not add up: "Volume X: cannot be
// processed: <why>" and the error report. FALSE.
static BOOL RefuseBootSector(const WCHAR *why, LONGLONG a, LONGLONG b) {
    WCHAR reason[160];

    _snwprintf(reason, 159, why, (LONG)a, (LONG)b);
    reason[159] = 0;
    return FatFault(u"Volume %c: cannot be processed: %s\n", (int)VolData.cDrive[0], reason);
}

// Opens the volume, learns its file system and geometry. Leaves in VolData
// FileSystem, hVolume, the sector and cluster sizes, TotalSectors,
// TotalClusters, UsedClusters, UsedSpace, FreeSpace and BitmapSizeBits.
// FALSE (with the error report, or the message-layer line for another file
// system) when the drive is not FAT16/FAT32, cannot be opened or queried.
BOOL GetFatVolumeStats(void) {
    WCHAR name[16];
    FILE_FS_SIZE_INFORMATION size;
    IO_STATUS_BLOCK iosb;
    NTSTATUS status;

    VolData.hVolume = INVALID_HANDLE_VALUE;
    VolData.hFile = INVALID_HANDLE_VALUE;
    if (!GetFileSystem(VolData.cDrive[0], &VolData.FileSystem)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (VolData.FileSystem != FS_FAT && VolData.FileSystem != FS_FAT32) {
        WCHAR text[256];

        // The message layer holds no texts at boot time (GetString); the
        // line reaches the log at the verbose levels only.
        FormatMessage(0, GetString(nullptr, FAT_TEXT_NOT_FAT, 0, nullptr), 0, 0, text, 256, nullptr);
        RemoteMessageBox(text, GetString(nullptr, FAT_TEXT_CAPTION, 0, nullptr));
        return FALSE;
    }

    swprintf(name, u"\\\\.\\%c:", (int)VolData.cDrive[0]);
    VolData.hVolume = CreateFile(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FAT_VOLUME_FLAGS, nullptr);
    if (VolData.hVolume == INVALID_HANDLE_VALUE || VolData.hVolume == nullptr) {
        VolData.hVolume = INVALID_HANDLE_VALUE;
        ERROR_REPORT();
        return FALSE;
    }

    memset(&size, 0, sizeof size);
    memset(&iosb, 0, sizeof iosb);
    status = NtQueryVolumeInformationFile(VolData.hVolume, &iosb, &size, sizeof size, FileFsSizeInformation);
    if (status == STATUS_PENDING) {
        status = NtWaitForSingleObject(VolData.hVolume, FALSE, nullptr);
        if (NT_SUCCESS(status)) status = iosb.Status;
    }
    if (!NT_SUCCESS(status) || size.BytesPerSector == 0 || size.SectorsPerAllocationUnit == 0 ||
        size.TotalAllocationUnits.QuadPart <= 0 || size.AvailableAllocationUnits.QuadPart < 0 ||
        size.AvailableAllocationUnits.QuadPart > size.TotalAllocationUnits.QuadPart) {
        ERROR_REPORT();
        return FALSE;
    }

    VolData.BytesPerSector = size.BytesPerSector;
    VolData.SectorsPerCluster = size.SectorsPerAllocationUnit;
    VolData.BytesPerCluster = VolData.BytesPerSector * VolData.SectorsPerCluster;
    VolData.TotalClusters = size.TotalAllocationUnits.QuadPart;
    VolData.TotalSectors = VolData.TotalClusters * VolData.SectorsPerCluster;
    VolData.UsedClusters = VolData.TotalClusters - size.AvailableAllocationUnits.QuadPart;
    VolData.UsedSpace = VolData.UsedClusters * VolData.BytesPerCluster;
    VolData.FreeSpace = size.AvailableAllocationUnits.QuadPart * VolData.BytesPerCluster;
    VolData.BitmapSizeBits = BitmapSizeBitsFor(VolData.TotalClusters);
    VolData.BitmapSizeBytes = VolData.BitmapSizeBits / 8;
    return TRUE;
}

// Takes the drive argument ("C:"); opens and describes the volume, refuses
// 12-bit FATs and volumes whose FAT disagrees with their chains, allocates
// the current file's extent list and prepares the paging files for
// lPageOpt. FALSE refuses the run (the frame then calls OffLineExit);
// nothing is written to the volume.
BOOL Initialize(const WCHAR *drive) {
    memset(&VolData, 0, sizeof VolData);
    memset(glFileStats, 0, sizeof glFileStats);
    memset(glAttribStats, 0, sizeof glAttribStats);
    wcsncpy(VolData.cDrive, drive, sizeof VolData.cDrive / sizeof(WCHAR) - 1);
    CharUpper(VolData.cDrive);
    bFatCopiesInStep = FALSE;

    if (!GetFatVolumeStats()) {
        ShowDiag(u"Couldn't initialize -- probably not a FAT volume\n");
        return FALSE;
    }

    VolData.ExtentListBytes = FAT_EXTENT_LIST_BYTES;
    if (!AllocateMemory((DWORD)VolData.ExtentListBytes, &VolData.hExtentList, (void **)&VolData.pExtentList)) {
        VolData.ExtentListBytes = 0;
        ERROR_REPORT();
        return FALSE;
    }

    // The cluster count alone decides.
    if (VolData.TotalClusters < FAT12_CLUSTER_LIMIT) {
        ShowMessage(u"Error - Drive has a 12-bit FAT.\nTesserin does not support 12-bit FAT partitions.");
        return FALSE;
    }

    // Nothing is changed on a volume whose FAT disagrees with its chains.
    if (!CheckFatAllocation()) return FALSE;

    if (!PreparePageFile(VolData.cDrive[0])) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Allocates the copy buffer and the volume bitmap, reads the boot sector
// (GetFatBootSector: layout and the root directory as level 0 of the walk)
// and the file system's volume bitmap. FALSE after the error report; blocks
// already allocated are released by OffLineExit.
BOOL InitializeDefrag(void) {
    if (!AllocateAligned(FAT_MOVE_BUFFER_BYTES + VolData.BytesPerSector, &hMoveBuffer, &pMoveBuffer)) return FALSE;
    bMoveDirs = 1;
    if (VolData.BitmapSizeBytes <= 0 || VolData.BitmapSizeBytes + 24 > 0xFFFFFFFFLL ||
        !AllocateMemory((DWORD)(VolData.BitmapSizeBytes + 24), &VolData.hVolumeBitmap, nullptr)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!GetFatBootSector() || !GetVolumeBitmap()) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

LONGLONG FatCopyOffset(LONG copy) {
    if (copy == 0) return VolData.llFatOffset;
    return VolData.llMirrorFatOffset + (LONGLONG)(copy - 1) * VolData.llFatBytes;
}

// Checks the boot sector against itself and the file system's geometry and
// fixes the layout fields of VolData (llDataAreaOffset, the FAT copies, the
// FAT16 root region). FALSE with a line and the error report.
static BOOL TakeLayout(const FAT_BOOT_SECTOR *boot) {
    const LONGLONG bps = VolData.BytesPerSector;
    const BOOL fat32 = VolData.FileSystem == FS_FAT32;
    const LONGLONG width = fat32 ? FAT32_ENTRY_BYTES : FAT16_ENTRY_BYTES;
    LONGLONG reserved = boot->ReservedSectors;
    LONGLONG fats = boot->NumberOfFats;
    LONGLONG fatSize = boot->SectorsPerFat16 != 0 ? boot->SectorsPerFat16 : boot->Fat32.SectorsPerFat32;
    LONGLONG totalSectors = boot->TotalSectors16 != 0 ? boot->TotalSectors16 : boot->TotalSectors32;
    LONGLONG rootSectors = 0, dataSector, clusters;

    if (VolData.FileSystem != FS_FAT && VolData.FileSystem != FS_FAT32) {
        ERROR_REPORT();
        return FALSE;
    }
    if (boot->BytesPerSector != bps || boot->SectorsPerCluster != VolData.SectorsPerCluster)
        return RefuseBootSector(u"its sector or cluster size (%ld bytes, %ld sectors) is not the file system's",
                                boot->BytesPerSector, boot->SectorsPerCluster);
    if (reserved == 0) return RefuseBootSector(u"the boot sector gives no reserved sectors", 0, 0);
    if (fats == 0) return RefuseBootSector(u"the boot sector gives no FATs", 0, 0);
    if (fatSize == 0) return RefuseBootSector(u"the boot sector gives a FAT size of 0", 0, 0);
    if (!fat32) {
        if (boot->RootEntries == 0 || (LONGLONG)boot->RootEntries * DIR_ENTRY_BYTES % bps != 0)
            return RefuseBootSector(u"its root directory (%ld entries) is not a whole number of sectors",
                                    boot->RootEntries, 0);
        rootSectors = (LONGLONG)boot->RootEntries * DIR_ENTRY_BYTES / bps;
    }
    if (fatSize * bps / width < VolData.TotalClusters + FAT_FIRST_CLUSTER)
        return RefuseBootSector(u"its FAT of %ld sectors holds no entry for every one of its %ld clusters", fatSize,
                                VolData.TotalClusters);
    dataSector = reserved + fats * fatSize + rootSectors;
    if (dataSector * bps >= FAT_DATA_AREA_LIMIT) return RefuseBootSector(u"its data area starts beyond 4 GiB", 0, 0);
    clusters = totalSectors > dataSector ? (totalSectors - dataSector) / VolData.SectorsPerCluster : 0;
    if (clusters != VolData.TotalClusters)
        return RefuseBootSector(u"its boot sector gives %ld clusters, the file system %ld", clusters,
                                VolData.TotalClusters);

    VolData.llDataAreaOffset = dataSector * bps;
    VolData.llFatBytes = fatSize * bps;
    VolData.llRootDirSector = fat32 ? 0 : reserved + fats * fatSize;
    VolData.llRootDirSectors = rootSectors;
    if (fat32 && (boot->Fat32.ExtFlags & FAT32_NO_MIRRORING)) {
        LONGLONG active = boot->Fat32.ExtFlags & FAT32_ACTIVE_FAT;
        if (active >= fats) return RefuseBootSector(u"its active FAT %ld does not exist (%ld FATs)", active, fats);
        VolData.llFatOffset = (active * fatSize + reserved) * bps;
        VolData.llMirrorFatOffset = 0;
        VolData.lFatCopies = 1;
    } else {
        VolData.llFatOffset = reserved * bps;
        VolData.llMirrorFatOffset = fats > 1 ? (reserved + fatSize) * bps : 0;
        VolData.lFatCopies = (LONG)fats;
    }
    return TRUE;
}

// Loads the FAT32 root directory through the file system's retrieval
// pointers into level 0 of the walk.
static BOOL LoadFat32Root(void) {
    LONGLONG offset = 0, bytes, i;

    swprintf(VolData.cFileName, u"%c:\\", (int)VolData.cDrive[0]);
    VolData.bDirectory = 1;
    if (!OpenFatFile() || !GetExtentList(0)) {
        ERROR_REPORT();
        return FALSE;
    }
    bytes = VolData.NumberOfClusters * VolData.BytesPerCluster + VolData.BytesPerSector;
    if (VolData.NumberOfExtents <= 0 || bytes > 0xFFFFFFFFLL ||
        !AllocateMemory((DWORD)bytes, &TreeData.hDirBuffer[0], (void **)&TreeData.pDirStart)) {
        ERROR_REPORT();
        return FALSE;
    }
    TreeData.llDirLcn[0] = VolData.pExtentList[0].StartingLcn;
    for (i = 0; i < VolData.NumberOfExtents; i++) {
        const EXTENT_LIST *e = &VolData.pExtentList[i];
        if (!DasdReadClusters(VolData.hVolume, e->StartingLcn, e->ClusterCount, TreeData.pDirStart + offset,
                              VolData.BytesPerSector, VolData.BytesPerCluster)) {
            ERROR_REPORT();
            return FALSE;
        }
        offset += e->ClusterCount * VolData.BytesPerCluster;
    }
    TreeData.pCurrentEntry = TreeData.pDirStart;
    return TRUE;
}

// Reads the boot sector, fixes the layout (TakeLayout) and starts a walk of
// the directory tree: TreeData reset, the root directory loaded as level 0
// (FAT16: its sectors; FAT32: its clusters through the file system's
// retrieval pointers). FALSE after the error report.
BOOL GetFatBootSector(void) {
    HGLOBAL hBoot;
    const FAT_BOOT_SECTOR *boot;
    BOOL ok;

    if (VolData.BytesPerSector < (LONGLONG)sizeof(FAT_BOOT_SECTOR)) {
        ERROR_REPORT();
        return FALSE;
    }
    hBoot = DasdLoadSectors(VolData.hVolume, 0, 1, VolData.BytesPerSector);
    boot = hBoot != nullptr ? (const FAT_BOOT_SECTOR *)GlobalLock(hBoot) : nullptr;
    if (boot == nullptr) {
        ERROR_REPORT();
        ReleaseMemory(&hBoot, nullptr);
        return FALSE;
    }
    ok = TakeLayout(boot);
    ReleaseMemory(&hBoot, nullptr);
    if (!ok) return FALSE;

    ReleaseTreeHandles();
    memset(&TreeData, 0, sizeof TreeData);
    TreeData.bFilePhase = 1;
    if (VolData.FileSystem == FS_FAT) {
        TreeData.hDirBuffer[0] =
            DasdLoadSectors(VolData.hVolume, VolData.llRootDirSector, VolData.llRootDirSectors, VolData.BytesPerSector);
        TreeData.pDirStart =
            TreeData.hDirBuffer[0] != nullptr ? (BYTE *)GlobalLock(TreeData.hDirBuffer[0]) : (BYTE *)nullptr;
        if (TreeData.pDirStart == nullptr) {
            ERROR_REPORT();
            return FALSE;
        }
        TreeData.pCurrentEntry = TreeData.pDirStart;
        TreeData.llDirLcn[0] = FAT_NO_CLUSTER;
    } else if (!LoadFat32Root()) {
        return FALSE;
    }
    VolData.llRootDirLcn = TreeData.llDirLcn[0];
    swprintf(TreeData.cLevelName[0], u"%c:\\", (int)VolData.cDrive[0]);
    return TRUE;
}

BOOL ReleaseTreeHandles(void) {
    for (LONG level = 0; level < FAT_TREE_LEVELS; level++) ReleaseMemory(&TreeData.hDirBuffer[level], nullptr);
    TreeData.pDirStart = nullptr;
    TreeData.pCurrentEntry = nullptr;
    return TRUE;
}

// One line of the partition data: the format with a 32-bit number.
static void ShowStatsLine(const WCHAR *format, LONGLONG value) {
    swprintf(cOutline, format, (LONG)value);
    ShowDiag(cOutline);
}

// Shows the partition data block (screen and log) from VolData.
void DisplayFatVolumeStats(void) {
    swprintf(cOutline, u"        Data for partition %c:        \n", (int)VolData.cDrive[0]);
    ShowDiag(cOutline);
    ShowDiag(u"=====================================\n");
    ShowStatsLine(u"Total sectors on partition = %8ld\n", VolData.TotalSectors);
    ShowStatsLine(u"Bytes per sector           = %8ld\n", VolData.BytesPerSector);
    ShowStatsLine(u"Bytes per cluster          = %8ld\n", VolData.BytesPerCluster);
    ShowStatsLine(u"Sectors per cluster        = %8ld\n", VolData.SectorsPerCluster);
    ShowStatsLine(u"Total clusters on disk     = %8ld\n", VolData.TotalClusters);
    ShowStatsLine(u"Volume bitmap Size         = %8ld\n\n", VolData.BitmapSizeBits);
}

// Ends the run: releases every block of the setup and the walk, flushes and
// closes the volume and the current file, closes the log. TRUE. Safe after
// any partial setup: every release is guarded by its handle.
BOOL OffLineExit(void) {
    ReleaseMemory(&hMoveBuffer, (void **)&pMoveBuffer);
    TRACE(7, u"OffLineExit", u"UnlockVolume");
    if (VolData.hFile != nullptr && VolData.hFile != INVALID_HANDLE_VALUE) CloseHandle(VolData.hFile);
    VolData.hFile = INVALID_HANDLE_VALUE;
    if (VolData.hVolume != nullptr && VolData.hVolume != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(VolData.hVolume);
        CloseHandle(VolData.hVolume);
    }
    VolData.hVolume = INVALID_HANDLE_VALUE;
    ReleaseMemory(&VolData.hExtentList, (void **)&VolData.pExtentList);
    VolData.ExtentListBytes = 0;
    VolData.NumberOfExtents = 0;
    ReleaseMemory(&VolData.hVolumeBitmap, nullptr);
    ReleaseMemory(&hPageFileNames, (void **)&pPageFileNames);
    ReleaseMemory(&hDeallocExtents, (void **)&pDeallocExtents);
    ReleaseMemory(&hTempExtents, (void **)&pTempExtents);
    dwNumDeallocExtents = dwNumDeallocExtentsAlloced = dwNumTempExtents = dwNumTempExtentsAlloced = 0;
    ReleaseMemory(&hSharedClusters, nullptr);
    if (bLogFile && hLogFile != nullptr) {
        CloseLogFile(hLogFile);
        hLogFile = nullptr;
    }
    ReleaseTreeHandles();
    return TRUE;
}
