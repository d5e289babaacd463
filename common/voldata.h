// The one volume record of a run (VolData), the extent-list entry and the
// run-wide buffers. Both programs are built from this header; the NTFS and
// FAT fields are present in both (the FAT program leaves the NTFS ones 0).
//
// Numbers on the volume (LCN, VCN, record numbers, sizes, counts) are signed
// 64-bit; -1 means "no disk space" for a run's LCN.
//
// The in-memory volume bitmap (block hVolumeBitmap) has the layout of the
// file system's volume-bitmap answer: a 16-byte header (starting LCN, size in
// bits) and then one bit per cluster, bit n of 32-bit word n / 32 (least
// significant bit first), 1 = in use. The bits from TotalClusters up to
// BitmapSizeBits - 1 are always set. The block is VolumeBitmapBlockBytes()
// long: the bit bytes rounded up to whole clusters plus 24, so that whole
// clusters of the volume's bitmap file can be read into it and written from
// it after the header, and so that GetVolumeBitmap's clearing of
// BitmapSizeBits / 8 + 24 bytes stays inside it.
#pragma once

#include <nt/nt.h>

// One run of clusters of a file, attribute or system area: 40 bytes.
typedef struct _EXTENT_LIST {
    LONGLONG StartingLcn;   // 0x00: first cluster; -1 for a sparse run
    LONGLONG ClusterCount;  // 0x08
    LONGLONG FileRecord;    // 0x10: record holding the run's mapping pairs (NTFS raw readers); -1 ends a list
    LONGLONG SourceLcn;     // 0x18: StartingLcn as read, kept while the run moves
    ULONG AttributeType;    // 0x20
    ULONG AttributeIndex;   // 0x24: position of the attribute in its record
} EXTENT_LIST, *PEXTENT_LIST;
static_assert(sizeof(EXTENT_LIST) == 40, "EXTENT_LIST is 40 bytes");
static_assert(offsetof(EXTENT_LIST, AttributeType) == 32, "EXTENT_LIST layout");

// File-system type codes (GetFileSystem).
#define FS_OTHER 0
#define FS_FAT 1
#define FS_NTFS 2
#define FS_FAT32 3

#define SPARSE_LCN ((LONGLONG)-1)              // StartingLcn of a run without disk space
#define END_OF_EXTENTS ((LONGLONG)-1)          // FileRecord of the entry after a file's last
#define FAT_NO_CLUSTER ((LONGLONG)0xFFFFFFFF)  // FAT: no cluster (root of FAT16, empty file)

#define FILE_NAME_CHARS 32800  // capacity of cFileName and the name work area

typedef struct _VOL_DATA {
    // ---- common fields
    WCHAR cDrive[8];           // drive argument ("C:")
    ULONG FileSystem;          // FS_*
    HANDLE hVolume;            // "\\.\%c:"
    HGLOBAL hVolumeBitmap;     // in-memory volume bitmap (VOLUME_BITMAP_BUFFER layout)
    LONGLONG BitmapSizeBits;   // whole 32-bit words over every cluster, plus one spare word
    LONGLONG BitmapSizeBytes;  // BitmapSizeBits / 8: bytes of bits after the 16-byte header
    LONGLONG BytesPerSector;
    LONGLONG BytesPerCluster;
    LONGLONG SectorsPerCluster;
    LONGLONG TotalSectors;
    LONGLONG TotalClusters;
    LONGLONG UsedClusters;
    LONGLONG UsedSpace;
    LONGLONG FreeSpace;

    // ---- current file
    HANDLE hFile;  // FAT: the current file opened through the file system (OpenFatFile)
    HGLOBAL hExtentList;
    EXTENT_LIST *pExtentList;
    HGLOBAL hAttribExtentList;  // the current record's other non-resident attributes
    EXTENT_LIST *pAttribExtentList;
    LONGLONG AttribExtentCount;
    LONGLONG AttribExtentCapacity;  // entries allocated
    LONGLONG AttribClusters;
    LONGLONG AttribFragments;
    BOOL bAttribFragmented;
    LONGLONG AttribLowestLcn;
    LONGLONG ExtentListBytes;  // bytes allocated for pExtentList; CollapseExtentList refuses
                               // a NumberOfExtents that does not fit in it
    LONGLONG NumberOfExtents;
    LONGLONG NumberOfFragments;
    LONGLONG NumberOfClusters;
    LONGLONG FileSize;
    LONGLONG AttributeRecordCount;  // NTFS raw family: attribute records holding the runs
    BOOL bCompressed;
    BOOL bDirectory;
    BOOL bFragmented;
    BOOL bResident;
    BOOL bNonResident;
    BOOL bHugeFile;
    BOOL bMegaFile;
    LONGLONG LowestLcn;
    LONGLONG llDataAreaOffset;  // FAT: byte offset of LCN 0, an unsigned 32-bit quantity (high
                                // half 0); DasdRead/WriteClusters add it on FS_FAT and FS_FAT32

    // ---- NTFS
    LONGLONG MftStartLcn;
    LONGLONG Mft2StartLcn;
    LONGLONG MftStartOffset;
    LONGLONG MftZoneStart;
    LONGLONG MftZoneEnd;
    LONGLONG BytesPerFRS;
    LONGLONG ClustersPerFRS;  // 0 when a record is smaller than a cluster
    LONGLONG TotalFileRecords;
    LONGLONG InUseFileRecords;
    LONGLONG FileRecordNumber;  // the record being worked on
    BYTE *pFileRecord;          // 2 x BytesPerFRS
    HGLOBAL hFileRecord;
    BYTE *pMftBuffer;  // 64 KB raw read cache, sector-aligned
    HGLOBAL hMftBuffer;
    HGLOBAL hMftBitmap;
    EXTENT_LIST *pMftExtentList;
    HGLOBAL hMftExtentList;
    LONGLONG MftExtentCount;
    LONGLONG MftSize;
    LONGLONG SystemAreaEnd;
    LONGLONG MftClusters;         // set by the stage driver
    LONGLONG MftZoneLimit;        // end of the area placement keeps clear
    LONGLONG MftZoneLimitBase;    // MftZoneLimit before the low-free-space halving
    LONGLONG PagingZoneStartLcn;  // -1 until computed
    LONGLONG PagingZoneEndLcn;

    // ---- FAT
    LONGLONG llFatOffset;        // byte offset of the FAT read and written first
    LONGLONG llMirrorFatOffset;  // second FAT kept in step; 0 for none
    LONGLONG llFatBytes;         // bytes of one FAT copy
    LONG lFatCopies;             // FAT copies kept in step: 1 (FAT32 with mirroring off) or all of the
                                 // boot sector's, each llFatBytes after the one before from llMirrorFatOffset
    LONGLONG llRootDirSector;    // FAT16: first sector of the root directory region
    LONGLONG llRootDirSectors;   // FAT16: its length in sectors
    LONGLONG llParentDirLcn;     // directory holding the current entry; FAT_NO_CLUSTER for the FAT16 root
    LONGLONG llRootDirLcn;       // first LCN of the root directory; FAT_NO_CLUSTER on FAT16
    LONGLONG StartingLcn;        // FAT: first LCN of the current file

    // ---- current file's path and the name work area
    WCHAR cFileName[FILE_NAME_CHARS];
    WCHAR cNameWork[FILE_NAME_CHARS];

    // ---- free-space search window and result
    LONGLONG SearchStartLcn;
    LONGLONG SearchEndLcn;
    LONGLONG FoundLcn;
    LONGLONG FoundLen;         // 0: nothing found
    LONGLONG FreeRunCount;     // FFS_COUNT_RUNS: free runs in the window
    LONGLONG FreeRunClusters;  // FFS_COUNT_RUNS: clusters in those runs
} VOL_DATA, *PVOL_DATA;

extern VOL_DATA VolData;

// Modes of FindFreeSpace: one selection bit, optionally with FFS_AT_END, or
// FFS_COUNT_RUNS alone. The programs use FFS_FIRST_FIT.
#define FFS_FIRST_FIT 0x001   // the first run at least NumberOfClusters long
#define FFS_BEST_FIT 0x002    // the shortest such run (the first of equal ones)
#define FFS_LAST_FIT 0x004    // the last such run
#define FFS_FIRST_ANY 0x010   // the first free run of any length
#define FFS_LAST_ANY 0x020    // the last free run of any length
#define FFS_LONGEST 0x040     // the longest free run (the first of equal ones)
#define FFS_AT_END 0x080      // place at the end of the run: FoundLcn = end - needed, FoundLen = needed
#define FFS_COUNT_RUNS 0x100  // only count: FreeRunCount, FreeRunClusters; FoundLen stays 0

// Bits of the volume bitmap for a cluster count: whole 32-bit words over
// every cluster plus one spare word (4096 clusters give 4128, 4097 give 4160).
LONGLONG BitmapSizeBitsFor(LONGLONG totalClusters);
// Bytes to allocate for the volume bitmap block of the current VolData:
// BitmapSizeBits / 8 rounded up to whole BytesPerCluster, plus 24 (the
// 16-byte header and a spare 8). With BytesPerCluster 0 the rounding is
// skipped. Returns 0 when BitmapSizeBits is not a positive multiple of 32 or
// the size would not fit in 32 bits (AllocateMemory takes a DWORD).
LONGLONG VolumeBitmapBlockBytes(void);

// Run-wide buffers (handle/pointer pairs, null until allocated).
extern HGLOBAL hMoveBuffer;
extern BYTE *pMoveBuffer;  // 64 KB usable, sector-aligned
extern HGLOBAL hFrsBuffer;
extern BYTE *pFrsBuffer;  // 64 KB usable, sector-aligned
extern HGLOBAL hExcludedFrns;
extern LONGLONG *pExcludedFrns;
extern LONGLONG llUsedFrns;
extern LONGLONG llMaxFrns;
extern HGLOBAL hVolumeBitMapExtent;
extern EXTENT_LIST *pVolumeBitMapExtent;
extern LONGLONG llVolumeBitMapExtents;
extern BOOL bMoveDirs;
// The last-files table (only with LAST50): LAST50_ENTRIES records in one
// block of LAST50_ENTRIES x 65,608 bytes, allocated by InitializeDefrag and
// freed by OffLineExit; the NTFS run's "Gathering File Placement Data" stage
// fills it in ascending order of Lcn.
typedef struct _LAST_50 {
    LONGLONG Lcn;                     // 0x00: lowest starting LCN of the file's data runs
    WCHAR FileName[FILE_NAME_CHARS];  // 0x08: full path, zero-terminated
} LAST_50, *PLAST_50;
static_assert(sizeof(LAST_50) == 65608, "LAST_50 is 65,608 bytes");
static_assert(offsetof(LAST_50, FileName) == 8, "LAST_50 layout");
#define LAST50_ENTRIES 50
extern HGLOBAL hLast50;
extern struct _LAST_50 *plLast50;

// Run statistics, cleared at setup.
extern LONGLONG glFileStats[128];
extern LONGLONG glAttribStats[2][18];
