// The FAT boot-time defragmenter (bootfat), read side: the volume layout
// from the boot sector, run lists and the volume bitmap built from the FAT,
// and the walk of the directory tree.
//
// Every routine works on the one volume record VolData (common/voldata.h)
// and the globals below, and returns a 32-bit success flag. A failure that
// comes from the disk, the heap or a damaged structure is reported with the
// standard error report (and, where a user can act on it, a line naming
// what is wrong) and gives FALSE.
//
// Numbering, fixed for the whole program: LCN = cluster number - 2, so LCN 0
// is the first cluster of the data area, at byte VolData.llDataAreaOffset;
// the FAT and the FAT16 root directory are addressed by sector numbers. The
// no-cluster value FAT_NO_CLUSTER (0xFFFFFFFF) marks the FAT16 root and an
// entry without clusters.
//
// Bounds this engine applies to what it reads from a volume that may be
// damaged:
//   - boot sector: at least one reserved sector and one FAT, a FAT size
//     other than 0 that holds an entry for every cluster, sector and cluster
//     sizes and a cluster count that agree with the file system's size
//     query, a FAT16 root region of whole sectors, an active FAT that
//     exists, a data area that starts below 4 GiB;
//   - chains: every link inside the volume (2 .. TotalClusters + 1), no more
//     clusters than the volume has (a chain that loops runs into that bound);
//     a chain that runs into a free cluster gives an empty extent list;
//   - the walk: at most FAT_TREE_LEVELS levels (a directory at the last level
//     is returned but not entered), no descent into a directory that leads
//     back to one on the path or whose chain is broken, no more directories
//     entered than the volume has clusters (directories that share clusters
//     could otherwise make a walk without end), names of at most
//     FAT_LONG_NAME_CHARS characters, paths that fit cFileName.
#pragma once

#include "fatlayout.h"
#include "frame.h"

// ------------------------------------------------------- the directory walk
#define FAT_TREE_LEVELS 128  // levels 0 (the root) .. 127
// A level's path component: a name of FAT_LONG_NAME_CHARS characters, its
// backslash and the terminator.
#define FAT_LEVEL_NAME_CHARS (FAT_LONG_NAME_CHARS + 2)
// A name as GetUnicodeName forms it: LFN_MAX_PIECES pieces and a terminator.
#define FAT_NAME_CHARS (LFN_MAX_PIECES * LFN_PIECE_CHARS + 1)

// The walk's state: one loaded directory per level of depth. Every directory
// buffer ends in at least one sector of zeros that nothing writes, so that a
// search for the entry whose first byte is DIR_END always ends inside it.
typedef struct _TREE_DATA {
    HGLOBAL hDirBuffer[FAT_TREE_LEVELS];   // per level, the directory's entries (level 0 = root)
    BYTE *pDirStart;                       // start of the current level's buffer
    BYTE *pCurrentEntry;                   // the current 32-byte entry in it
    DWORD dwResumeIndex[FAT_TREE_LEVELS];  // per level, index of the entry after the subdirectory entered
    WCHAR cLevelName[FAT_TREE_LEVELS][FAT_LEVEL_NAME_CHARS];  // "X:\" at level 0, "name\" below; "" ends the path
    DWORD dwLevel;                                            // current depth, 0 = root
    BOOL bFilePhase;  // 1 while the level's entries are returned, 0 while its subdirectories are walked
    LONGLONG llDirLcn[FAT_TREE_LEVELS];  // per level, the directory's first LCN; FAT_NO_CLUSTER for the FAT16 root
    LONGLONG llDirsEntered;              // directories entered by this walk: never more than the volume's clusters
} TREE_DATA, *PTREE_DATA;

extern TREE_DATA TreeData;

// StripDir flags.
#define STRIP_SUBDIRECTORIES 1  // keep subdirectories other than "." and ".."
#define STRIP_LIVE_FILES 2      // keep live files
#define STRIP_KEEP_DELETED 4    // do not drop deleted entries on sight
#define STRIP_DELETED_FILES 8   // keep deleted files

// The next entry of the walk into VolData (cFileName, bDirectory, FileSize,
// StartingLcn, llParentDirLcn): TRUE with cFileName set; TRUE with cFileName
// empty when the walk is over (every buffer released); FALSE after the error
// report. The walk begins with GetFatBootSector.
BOOL NextFatFile(void);
// Compacts the current level's buffer to the entry classes of flags
// (STRIP_*), long-name entries sharing the fate of the short entry after
// them; pCurrentEntry back to pDirStart. TRUE.
BOOL StripDir(PTREE_DATA tree, DWORD flags);
// Descends into the first subdirectory at or after pCurrentEntry that may be
// entered: TRUE with its path in cFileName and a new level loaded, TRUE with
// cFileName empty when there is none (pCurrentEntry then at the level's
// end), FALSE after the error report.
BOOL LoadDir(PTREE_DATA tree);
// The name of the entry at pCurrentEntry (FAT_NAME_CHARS units): its long
// name when long-name pieces stand before it, else its 8.3 name, each byte
// one unit by sign extension (bytes 0x80 and above give 0xFF80 and above).
BOOL GetUnicodeName(PTREE_DATA tree, WCHAR *name);
// The full path of the entry at pCurrentEntry into path (FILE_NAME_CHARS
// units): the level names, then the entry's name. FALSE after the error
// report when it does not fit.
BOOL GetUnicodePath(PTREE_DATA tree, WCHAR *path);
// Releases every directory buffer the walk holds. TRUE.
BOOL ReleaseTreeHandles(void);

// Shows a line about the volume (screen and log), formatted into cOutline,
// then the error report. FALSE, for the caller to return.
BOOL FatFault(const WCHAR *format, ...);

// ------------------------------------------------------------ volume setup
BOOL GetFatVolumeStats(void);
BOOL GetFatBootSector(void);
// Byte offset of FAT copy `copy` of those kept in step (0 .. lFatCopies - 1):
// llFatOffset, llMirrorFatOffset, then each further copy a FAT's size after
// the one before.
LONGLONG FatCopyOffset(LONG copy);

// ------------------------------------------------- run lists and the bitmap
// The FAT as the engine reads it: one cluster-sized window of one copy in
// memory at a time. A zeroed FAT_WINDOW holds none.
typedef struct _FAT_WINDOW {
    HGLOBAL hWindow;
    BYTE *pWindow;
    LONGLONG llIndex;  // window number within the copy
    LONGLONG llCopy;   // byte offset of the copy
} FAT_WINDOW, *PFAT_WINDOW;
// The entry of cluster `cluster` (0 .. TotalClusters + 1) of the copy at
// copyOffset, whole (16 or 32 bits, reserved bits included), loading its
// window when another is held. FALSE after the error report.
BOOL ReadFatEntry(PFAT_WINDOW window, LONGLONG copyOffset, LONGLONG cluster, ULONG *entry);
void ReleaseFatWindow(PFAT_WINDOW window);

BOOL GetExtentListManuallyFat(void);
BOOL OpenFatFile(void);
BOOL GetExtentList(ULONG unused);
BOOL ManualGetVolumeBitmap(void);

// ------------------------------- the FAT program's side of the frame
// (fatprogram.cpp; the record BootProgram, program.h, names them)
BOOL DeregisterZiriZUD(void);
void DisplayFatVolumeStats(void);
