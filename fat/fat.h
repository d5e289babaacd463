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
    BOOL bRootOnly;                      // set after GetFatBootSector: the walk ends after the root's own entries
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
// Before anything is written: every chain of the tree against the FAT
// (fatcheck.cpp). FALSE refuses the volume (chains that share a cluster, a
// chain on or into a free cluster) with its line, or after the error report.
BOOL CheckFatAllocation(void);
// Byte offset of FAT copy `copy` of those kept in step (0 .. lFatCopies - 1):
// llFatOffset, llMirrorFatOffset, then each further copy a FAT's size after
// the one before.
LONGLONG FatCopyOffset(LONG copy);

// ------------------------------------------------- run lists and the bitmap
// The FAT as the engine reads and writes it: one cluster-sized window of
// one copy in memory at a time; a changed window is written back before
// another is read. A zeroed FAT_WINDOW holds none.
typedef struct _FAT_WINDOW {
    HGLOBAL hWindow;
    BYTE *pWindow;
    LONGLONG llIndex;  // window number within the copy
    LONGLONG llCopy;   // byte offset of the copy
    BOOL bDirty;       // changed in memory, not yet written
} FAT_WINDOW, *PFAT_WINDOW;
// The entry of cluster `cluster` (0 .. TotalClusters + 1) of the copy at
// copyOffset, whole (16 or 32 bits, reserved bits included), loading its
// window when another is held. FALSE after the error report.
BOOL ReadFatEntry(PFAT_WINDOW window, LONGLONG copyOffset, LONGLONG cluster, ULONG *entry);
// Sets the entry of cluster `cluster` (2 .. TotalClusters + 1) in the window
// (16 bits on FAT16; all 32 on FAT32, the caller keeping the reserved bits).
// FALSE after the error report.
BOOL WriteFatEntry(PFAT_WINDOW window, LONGLONG copyOffset, LONGLONG cluster, ULONG entry);
// Writes the held window back when it changed (its sectors inside the
// copy). FALSE after the error report.
BOOL StoreFatWindow(PFAT_WINDOW window);
// Lets the window go, a change not written back.
void ReleaseFatWindow(PFAT_WINDOW window);

BOOL GetExtentListManuallyFat(void);
BOOL OpenFatFile(void);
BOOL GetExtentList(ULONG unused);
BOOL ManualGetVolumeBitmap(void);
// The bits of the volume bitmap (after its header), or null without one.
// The block is never reallocated during a run: the address stays valid.
ULONG *FatBitmapBits(void);

// The first cluster number an entry names (FAT32: with its high half).
LONGLONG EntryFirstCluster(const DIRSTRUC *e);
// Points an entry at cluster number `cluster` (FAT32: both halves; FAT16:
// the low half only).
void SetEntryFirstCluster(DIRSTRUC *e, LONGLONG cluster);

// ------------------------------------------- chains, entries, allocation
// (movefat.cpp) A directory buffer holds a directory's clusters back to
// back in chain order and one spare sector (the FAT16 root: its sectors);
// buffers pass between the routines as handles, unlocked.
//
// The chain writers keep every FAT copy in step (FatCopyOffset, lFatCopies),
// the first copy finished before the next is begun. Before any window is
// written, every entry the chain touches is checked in every copy: a chain
// over a cluster in use, a release of a free cluster or a list that names a
// cluster twice is refused with the FAT as it was. Before the first chain
// write of a run, copies that differ from the first are brought in step
// with it (the first is the one every reader, this program included, uses).

// Reads the chain from chainLcn (FAT_NO_CLUSTER: the FAT16 root) into a new
// buffer: *buffer (unlocked), *clusters (optional; 0 for the FAT16 root).
// StartingLcn and the current file's extent list are rebuilt afterwards.
// FALSE after the error report (a chain shared with another entry too).
BOOL LoadChainEx(LONGLONG chainLcn, HGLOBAL *buffer, DWORD *clusters);
// Writes a buffer of LoadChainEx back to the chain from chainLcn (which may
// since have been allocated anew). FALSE after the error report.
BOOL StoreChain(LONGLONG chainLcn, HGLOBAL buffer);
// The byte offset of the first live entry named `name` (any letter case;
// long name, else 8.3) among the buffer's directories (directory TRUE) or
// among all its entries but labels and long-name pieces. FALSE, without a
// report, when there is none.
BOOL LocateDirEntry(HGLOBAL buffer, const WCHAR *name, BOOL directory, DWORD *offset);
// Writes the chain of the first `records` records (each cluster linked to
// the next, record after record; the last gets lastLink, or end of chain
// for FAT_NO_CLUSTER) into every FAT copy. FALSE after the error report.
BOOL AllocateFATClusters(DWORD records, EXTENT_LIST *list, LONGLONG lastLink);
BOOL AllocateFATClustersWorker(DWORD records, EXTENT_LIST *list, LONGLONG lastLink, LONGLONG copyOffset);
// Frees every cluster of the first `records` records in every FAT copy.
// FALSE after the error report.
BOOL DeallocateFATClusters(DWORD records, EXTENT_LIST *list);
BOOL DeallocateFATClustersWorker(DWORD records, EXTENT_LIST *list, LONGLONG copyOffset);
// Cuts the first records of a list to exactly `clusters` clusters: returns
// how many records that takes (the last one shortened), 0 when the list
// holds fewer.
DWORD CutExtents(EXTENT_LIST *list, DWORD records, LONGLONG clusters);
// Grows a list block (handle, pointer, records allocated) to hold `records`
// records, contents kept. FALSE after the error report.
BOOL GrowExtents(HGLOBAL *handle, EXTENT_LIST **list, DWORD *allocated, DWORD records);
// Whether the copies are known to be in step for this run (reset by setup).
extern BOOL bFatCopiesInStep;

// Clusters that more than one entry's chain claims (crossed chains), one
// bit per LCN as in the volume bitmap, found by the gathering stage; null
// before. A move never touches them.
extern HGLOBAL hSharedClusters;
BOOL ExtentsShared(const EXTENT_LIST *list, LONGLONG count);

// --------------------------------------------------------------- moves
// The old clusters to free after a move (FATMoveFile, MoveSubDirTree) and
// the part of the destination given to the directory being moved; both
// only grow, and OffLineExit releases them.
extern HGLOBAL hDeallocExtents, hTempExtents;
extern EXTENT_LIST *pDeallocExtents, *pTempExtents;
extern DWORD dwNumDeallocExtents, dwNumDeallocExtentsAlloced, dwNumTempExtents, dwNumTempExtentsAlloced;

// Moves the current file (VolData as the walk left it, extent list built)
// to the destination records: its first `clusters` clusters (the file's
// whole chain when that is all of it). `name` is its name in the parent
// directory at parentLcn. A directory moves with every directory below it
// (MoveSubDirTree). Shows the move line and counts the move in glFileStats.
// FALSE after the error report, in the state the write order leaves.
BOOL FATMoveFile(const WCHAR *name, LONGLONG clusters, LONGLONG parentLcn, DWORD records, EXTENT_LIST *destination);

// The current entry (as the walk left it: path, parent, extent list) moved
// whole by FATMoveFile to `clusters` clusters (a file's own, a tree's) at
// destination, under the name part of its path. FALSE when FATMoveFile
// refused (reported); *noName (optional) when the path has no name part
// (after the error report).
BOOL MoveCurrentEntry(LONGLONG destination, LONGLONG clusters, BOOL *noName);

// (movedirs.cpp) The clusters of directory `name` of the parent and of every
// directory below it ("." : the parent's subdirectory trees only); 0 after
// the error report (a tree deeper than FAT_TREE_LEVELS, more directories
// than the volume has clusters, a chain shared with another entry).
DWORD GetFATDirSizeWithChildren(const WCHAR *name, LONGLONG parentLcn);
DWORD GetFATDirSizeWithChildrenRecursion(DWORD offset, DIRSTRUC *directory);
// Moves directory `name` of the parent with every directory below it into
// the destination records, packed in pre-order, each directory contiguous
// where the records allow ("." : the parent's subdirectory trees, the
// parent staying). FALSE after the error report.
BOOL MoveSubDirTree(const WCHAR *name, LONGLONG parentLcn, DWORD records, EXTENT_LIST *destination);
BOOL MoveSubDirTreeRecursion(DWORD offset, DIRSTRUC *directory, LONGLONG newLcn, DWORD *consumed, DWORD records,
                             EXTENT_LIST *destination);

// ------------------------------------------------ the run (bootfat.cpp)
// (fatpage.cpp) The paging-file placement check of PAGE=PLACE, a stage of
// its own numbered `stage`: TRUE when it ran to a verdict or was skipped
// (*pageOpt = 0 when placement is done or impossible), FALSE on a hard
// failure. The paging-file minimisation stage of PAGE=MIN (numbers its own
// banner): FALSE on a hard failure.
BOOL PlaceVerifyPagingFile(LONG stage, BOOL pageFileFound, LONGLONG *pageFileZone, LONG *pageOpt);
BOOL MinimizePagingFileStage(void);

// ------------------------------- the FAT program's side of the frame
// (fatprogram.cpp; the record BootProgram, program.h, names them)
BOOL DeregisterZiriZUD(void);
void DisplayFatVolumeStats(void);
