// The NTFS defragmentation run: the stage driver OffLineDefrag, the pieces
// its stages share (record walk, candidate filter, first-fit search, move
// step, closing lines, percentages) and the final report (moved-object table
// and last-files list).
//
// Everything works on VolData and the process-wide globals below. The stages
// of the directory, MFT and paging-file work are entered through the
// routines declared at the end; they share the driver's run state.
#pragma once

#include "ntfs.h"

// ------------------------------------------------------------ run state
// Set by OffLineDefrag for the run; the stages read and update them.
extern LONGLONG llFilesLocated;    // records counted by the gathering scan (root included)
extern LONGLONG llDirClusters;     // clusters of the directories met while gathering
extern LONGLONG llAttribClusters;  // clusters of the other non-resident attributes (MFT included)
extern LONG lGatherMask;           // 1 files and paging file wanted, 2 directories wanted
extern LONGLONG llMftFirstLcn;     // first LCN of the MFT's data at the start of the run
// The bit arrays of the locked volume bitmap (after its 16-byte header) and
// of the MFT bitmap; valid from the start of the run to its end (the blocks
// are never reallocated while the run goes on).
extern ULONG *pVolumeBitmapBits;
extern BYTE *pMftBitmapBits;
// Entries of plLast50 in use.
extern LONG lLast50;

// Records below this number are the system files the stages never treat
// (the root directory, record 5, aside).
#define FIRST_USER_RECORD 16

// Results of the record walk's read step.
#define WALK_END (-1)  // no in-use record left: the scan is over
#define WALK_SKIP 0    // the record at FileRecordNumber is passed over
#define WALK_READ 1    // pFileRecord holds a base record in use

// Results of the directory and attribute stages.
#define DIRS_FILES 1   // go on with the file stages
#define DIRS_END 2     // no target area: go on with the end steps
#define DIRS_FAILED 0  // hard failure: the run ends with result 0

// -------------------------------------------------------- stage driver
BOOL OffLineDefrag(void);

// Re-reads the volume bitmap from disk and locks both bitmaps (the pointers
// above). FALSE after the error report.
BOOL ReloadVolumeBitmap(void);
// Record 0 with its extent list into the current-file fields; FALSE after
// the trace "BadMFT1" or "BadMFT2".
BOOL ReadMftRecord(void);
BOOL ReadMftRecordThrough(BYTE *mftBitmap);
// The read step of the record walk for FileRecordNumber (see WALK_*).
LONG ReadWalkRecord(void);
// The whole record walk step: ReadWalkRecord, then ManualGetExtentList(0).
// Returns a WALK_* value; WALK_SKIP also when the extent list fails.
LONG WalkFile(void);
// Reads exactly one record (FileRecordNumber, or the next in use) with its
// extent list; TRUE when it is a base record whose list could be built.
BOOL WalkOneRecord(void);
// Full path of the current record into cFileName; on failure cFileName is
// "COULDN'T GET MEMORY FOR FILENAME" and the result is FALSE.
BOOL GetCurrentPath(void);

// The current file's base record holds more than one $DATA attribute.
BOOL HasSeveralDataStreams(void);
// The current file may move (clusters, class, LegalToMove, one stream).
BOOL IsMovable(void);
// Candidate filter of the file stages: a movable file, not a directory.
BOOL IsFileCandidate(void);
// LCN inside the MFT area [MftZoneStart, MftZoneLimit] (both included).
BOOL InMftArea(LONGLONG lcn);

// First-fit search over the locked bitmap for `needed` clusters in [start,
// end) (the run's part inside the window counts): TRUE with the run's start
// in *destination. FirstFitSearch looks for NumberOfClusters.
BOOL FirstFitSearchFor(LONGLONG needed, LONGLONG start, LONGLONG end, LONGLONG *destination);
BOOL FirstFitSearch(LONGLONG start, LONGLONG end, LONGLONG *destination);
// FindFreeSpace(first fit) over [start, end) with the checks of the stages:
// TRUE with FoundLcn holding NumberOfClusters clusters inside the window.
BOOL FindFreeSpaceInWindow(LONGLONG start, LONGLONG end);
// Moves the current file to destination (nothing with NOMOVE); TRUE when
// NTFSMoveFile moved it.
BOOL MoveStep(LONGLONG destination);

// Sets MftClusters, MftZoneLimit and MftZoneLimitBase from the MFT's first
// LCN and cluster count, the zone and the free space.
void SetMftArea(LONGLONG mftFirstLcn, LONGLONG mftClusters);

// Percentage display of the file stages 2 to 5.
void StartPercentage(LONGLONG total);
void CountPercentage(void);
void PercentageToProgress(void);
LONG CurrentPercentage(void);

// ------------------------------------------------------------- report
// The label of a moved-object class (68 characters at most) into label,
// which holds at least 69.
void MovedObjectLabel(LONG index, WCHAR *label);
void ShowMovedObjectTable(void);
// Puts a file into the last-files list (plLast50, lLast50).
void AddToLast50(LONGLONG lcn, const WCHAR *name);
void ShowLast50(void);
// The "Gathering File Placement Data" stage; FALSE only when the table is
// missing.
BOOL GatherLast50(void);

// ------------------------------------------ stages entered by the driver
// MFT fragment minimisation (mftmin.cpp): 1 when the stage ran or was
// skipped (it sets *mftOpt to 0 when the MFT needs no more work), 0 on a
// hard failure.
BOOL PartialDefragMFT(LONG stage, BYTE *mftBitmap, LONGLONG mftFirstLcn, LONGLONG mftClusters, LONG *mftOpt);
// Paging-file placement and its check (pagestages.cpp): 1 when the stage ran
// or was skipped (it sets *pageOpt to 0 when done or impossible), 0 on a
// hard failure.
BOOL PlaceVerifyPagingFile(LONG stage, LONGLONG pageFileFrn, LONGLONG *pageFileZone, BYTE *mftBitmap, LONG *pageOpt);
// The placement zone at the end of the volume (VolData.PagingZoneStartLcn,
// PagingZoneEndLcn), computed once from *pageFileZone or the registry
// maximum; FALSE, both -1, when it does not lie inside the volume.
BOOL ComputePagingZone(LONGLONG *pageFileZone);
// The paging-file minimisation stage (numbers its own banner); FALSE on a
// hard failure.
BOOL MinimizePagingFileStage(void);
// The directory and attribute stages for lDirsOpt 1 to 4 (DIRS_*).
LONG ConsolidateDirsAndAttributes(void);

// ------------------------------------ directory and attribute consolidation
// TRUE when every entry of the list with disk space lies in [first, last]
// (both included); runs without disk space are ignored, an empty list is
// TRUE.
BOOL AllClustersInZone(const EXTENT_LIST *list, LONGLONG count, LONGLONG first, LONGLONG last);

// The target area of the directory and attribute stages: directories in
// [S, Ed), attributes from Sa on, the area ends at E (in-area tests include
// both bounds).
typedef struct _TARGET_AREA {
    LONGLONG S, Ed, Sa, E;
} TARGET_AREA;
// The area of DIRS=ZERO, MFTZ or MFTM (lDirsOpt 2 to 4) for directory
// clusters d and attribute clusters a, every bound within TotalClusters.
TARGET_AREA FixedTargetArea(LONG dirsOpt, LONGLONG d, LONGLONG a);
