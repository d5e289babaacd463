// The NTFS volume engine, read side: geometry, file records and their
// update-sequence protection, attribute lookup, run lists turned into extent
// lists (the query family through the file system's record query, the raw
// family through the MFT's own extents), names and paths, and the attribute
// census.
//
// Every routine works on the one volume record VolData (common/voldata.h)
// and the globals below, and returns a 32-bit success flag. A failure that
// comes from the disk, the heap or a damaged structure is reported with the
// standard error report and gives FALSE; a "not there" answer (a missing
// attribute) gives FALSE without a report.
//
// Bounds this engine applies to what it reads from a volume that may be
// damaged (anything outside them is refused as a damaged structure):
//   - geometry: sectors of 512..4,096 bytes, clusters of one sector to 64 KB,
//     records of 512..4,096 bytes (a multiple of 512), ClustersPerFRS equal
//     to BytesPerFRS / BytesPerCluster (0 when a record is smaller than a
//     cluster), a non-empty volume and MFT;
//   - records: the update-sequence array inside the record's first stride,
//     one entry per 512-byte stride plus the USN; attributes of at least 16
//     bytes (24 resident, 64 non-resident) inside the record, values, names
//     and mapping pairs inside their attribute, and the name of a
//     non-resident attribute before its mapping pairs (the run-list rewrite
//     of a move writes over everything from the mapping pairs on);
//   - run lists: length fields of 1..8 bytes, offset fields of 0..8 bytes, a
//     length above 0, no run outside the volume, no arithmetic overflow;
//   - attribute lists: entries of at least 32 bytes inside the list, segment
//     numbers below TotalFileRecords, every record named other than the base
//     record in use and naming the file's base record as its own, a
//     non-resident list of at most MAX_ATTRIBUTE_LIST_BYTES;
//   - paths: at most MAX_PATH_DEPTH directories between a file and the root,
//     and a path that fits FILE_NAME_CHARS - 1 characters.
#pragma once

#include "frame.h"
#include "ntfslayout.h"

// ------------------------------------------------------------------ bounds
#define NTFS_MIN_SECTOR 512
#define NTFS_MAX_SECTOR 4096
#define NTFS_MAX_CLUSTER 65536
#define NTFS_MIN_FRS 512
#define NTFS_MAX_FRS 4096
#define MFT_WINDOW_BYTES 65536            // the raw record cache
#define FILE_RECORD_OUTPUT_BYTES 41440    // output of the file system's record query
#define MAX_ATTRIBUTE_LIST_BYTES 0x40000  // 256 KB: the largest attribute list NTFS writes
#define MAX_PATH_DEPTH 4096               // directories walked up from a file to the root
#define NTFS_NAME_CHARS 256               // a name (255 characters at most) and its terminator
#define SHORTCUT_PATH_CHARS 256           // the path built from the previous one stays below this

// -------------------------------------------------------------- globals
// Records held in pMftBuffer, as the half-open range [FileRecordLow,
// FileRecordHi); both 0 = empty. The record writer puts what it writes into
// it (WriteUpdatedFRS; it empties it without bCacheMetadata).
extern LONGLONG FileRecordLow, FileRecordHi;
// The record cache with the windows GetFrs left (ntfssubs.cpp): records as
// the disk holds them, the run's own writes put into it, dropped whole.
BYTE *CachedRecords(LONGLONG first, LONGLONG count);
void RecordsWritten(LONGLONG first, LONGLONG count, const BYTE *bytes);
BOOL AllocateRecordCache(void);
void ForgetRecordCache(void);
// Output of FSCTL_GET_NTFS_FILE_RECORD: record number 8, length 4, record.
extern BYTE FileRecordOutputBuffer[FILE_RECORD_OUTPUT_BYTES];
// Bits in the in-memory MFT bitmap (hMftBitmap), set by GetMftBitmap. GetFrs
// never looks at a bit past it: records beyond it read as not in use.
extern LONGLONG llMftBitmapBits;
// Parent record number of the last path built the long way.
extern LONGLONG LastPathFrs;

// ------------------------------- the NTFS program's side of the frame
// (ntfsprogram.cpp; the record BootProgram, program.h, names them)
BOOL DeregisterDozuZORO(void);
void DisplayNtfsVolumeStats(void);
// Puts the current record on the excluded list when its path matches a
// pattern; FALSE only when the list cannot grow.
BOOL CheckExcluded(void);
// Puts a record number on the excluded list (grown by 200 entries when
// full); FALSE only when the list cannot grow.
BOOL AddExcludedFrn(LONGLONG frn);

// --------------------------------------------- geometry and file records
BOOL GetNtfsVolumeStats(void);
BOOL IsVolumeDirty(void);
BOOL GetInUseFrs(HANDLE volume, LONGLONG *fileRecordNumber, PFILE_RECORD_SEGMENT_HEADER fileRecord, ULONG bytes);
// Finds the extent of the MFT's extent list (extents entries) that holds
// MFT cluster `vcn`: its index in *index and the MFT clusters before it in
// *running. FALSE after the error report when the list has a hole or an
// empty entry before it, or ends before the cluster.
BOOL FindMftExtent(const EXTENT_LIST *list, LONGLONG extents, LONGLONG vcn, LONGLONG *index, LONGLONG *running);
BOOL GetFrs(LONGLONG *fileRecordNumber, EXTENT_LIST *mftExtentList, BYTE *mftBitmap, BYTE *mftBuffer,
            PFILE_RECORD_SEGMENT_HEADER fileRecord);
BOOL AdjustUSA(PFILE_RECORD_SEGMENT_HEADER fileRecord);
BOOL EncodeUSA(PFILE_RECORD_SEGMENT_HEADER fileRecord);
BOOL GetMftBitmap(void);
BOOL GetMftMirror(void);
// Before the run's first write: every cluster the runs of the MFT's records
// use must be marked in use and used once (lost clusters are allowed).
// TRUE when they are; FALSE when the volume is refused (with its line) or
// after the error report.
BOOL CheckVolumeAllocation(void);

BOOL FindAttribute(ULONG type, PFILE_RECORD_SEGMENT_HEADER fileRecord, PATTRIBUTE_RECORD_HEADER *attribute,
                   ULONG recordSize, ULONG *position);
BOOL FindNextAttribute(ULONG type, PFILE_RECORD_SEGMENT_HEADER fileRecord, PATTRIBUTE_RECORD_HEADER *attribute,
                       ULONG recordSize, ULONG *position);
BOOL FindAttributeByIndex(ULONG type, ULONG position, PFILE_RECORD_SEGMENT_HEADER fileRecord,
                          PATTRIBUTE_RECORD_HEADER *attribute, ULONG recordSize);
// The attribute after *attribute (the first for null), whatever its type;
// FALSE at the end, *damaged telling whether a damaged attribute ended it.
BOOL StepAttribute(PFILE_RECORD_SEGMENT_HEADER fileRecord, ULONG recordSize, PATTRIBUTE_RECORD_HEADER *attribute,
                   BOOL *damaged);

// Checks of what came from disk (no report; the callers report).
// The update-sequence header of a record of `bytes` bytes: the array inside
// the first stride, one entry per stride plus the USN.
BOOL UsaHeaderValid(const FILE_RECORD_SEGMENT_HEADER *fileRecord, ULONG bytes);
// The attribute at `offset` of a record of `recordSize` bytes: its header,
// length, value or mapping pairs and name all inside the record, and the
// name of a non-resident attribute before its mapping pairs.
BOOL AttributeValid(const FILE_RECORD_SEGMENT_HEADER *fileRecord, ULONG recordSize, ULONG offset);
// A record read as record `recordNumber` for an attribute list of the file
// whose base record is `baseRecord`: TRUE for the base record itself, or
// for a record in use whose base reference (low 48 bits) is `baseRecord`.
BOOL SegmentOfFile(const FILE_RECORD_SEGMENT_HEADER *segment, LONGLONG recordNumber, LONGLONG baseRecord);
// The value of a resident attribute that AttributeValid accepted, when it
// holds at least `minimum` bytes; null otherwise.
const BYTE *ResidentValue(const ATTRIBUTE_RECORD_HEADER *attribute, ULONG minimum);
// The $STANDARD_INFORMATION file attributes of a record; FALSE without a
// report when the attribute is missing, not resident or too short.
BOOL GetFileAttributesOfRecord(PFILE_RECORD_SEGMENT_HEADER fileRecord, ULONG recordSize, ULONG *attributes);

// -------------------------------------------------------- extent lists
// Runs of an attribute's mapping pairs while bytes covered < byteLimit; adds
// the clusters with disk space to *clusterTotal. Returns -1, adding nothing,
// when the run list is malformed (see the bounds above).
LONGLONG GetExtentCount(PATTRIBUTE_RECORD_HEADER attribute, LONGLONG *bytesCovered, LONGLONG byteLimit,
                        LONGLONG *clusterTotal);
// Decodes the same runs into list[*nextIndex ...], never past `capacity`
// entries; carries the index, next expected LCN, bytes covered and fragment
// count from call to call.
void AddToExtentList(PATTRIBUTE_RECORD_HEADER attribute, EXTENT_LIST *list, LONGLONG capacity, LONGLONG *nextIndex,
                     LONGLONG *nextLcn, LONGLONG *bytesCovered, LONGLONG byteLimit, LONGLONG *fragments);
// Reads the valid data of a non-resident $ATTRIBUTE_LIST (at most
// MAX_ATTRIBUTE_LIST_BYTES) into a new block (*handle/*data, freed by the
// caller) and gives its length; adds the list's clusters to *clusters.
// Succeeds with no block when the list has no runs. Damage is reported.
BOOL ReadAttributeList(PATTRIBUTE_RECORD_HEADER attributeList, HGLOBAL *handle, BYTE **data, LONGLONG *length,
                       LONGLONG *clusters);
// Makes VolData.pExtentList hold at least `entries` entries (contents kept).
BOOL GrowExtentList(LONGLONG entries);

BOOL GetExtentList(ULONG type);
BOOL GetLargeFileExtentList(PATTRIBUTE_RECORD_HEADER attribute);
BOOL GetHugeFileExtentList(PATTRIBUTE_RECORD_HEADER attributeList, ULONG type);
BOOL GetMegaFileExtentList(PATTRIBUTE_RECORD_HEADER attributeList, ULONG type);
BOOL GetExtentListFromMultipleFileRecords(LONGLONG *records, LONGLONG count, ULONG type);
BOOL GetSystemsExtentList(void);

BOOL ManualGetExtentList(ULONG type);
BOOL ManualGetLargeFileExtentList(PATTRIBUTE_RECORD_HEADER attribute, ULONG type, ULONG position);
BOOL ManualGetHugeFileExtentList(PATTRIBUTE_RECORD_HEADER attributeList, ULONG type);
BOOL ManualGetMegaFileExtentList(PATTRIBUTE_RECORD_HEADER attributeList, ULONG type);
BOOL ManualGetExtentListFromMultipleFileRecords(LONGLONG *records, LONGLONG count, ULONG type);
BOOL CheckFragged(EXTENT_LIST *list, BOOL *fragmented, LONGLONG count, LONGLONG *fragments, LONGLONG *lowestLcn);

// ------------------------------------------- names, paths, attribute census
BOOL GetNameFromFileRecord(PFILE_RECORD_SEGMENT_HEADER fileRecord, WCHAR *name, LONGLONG *parent);
BOOL ManualGetNtfsFilePath(void);
BOOL IsDirectory(void);
BOOL ExtractAttributes(PFILE_RECORD_SEGMENT_HEADER fileRecord, ULONG recordSize, LONGLONG fileRecordNumber,
                       const WCHAR *label);
const WCHAR *GetAttribName(ULONG type, BOOL longForm);
void CountAttrib(ULONG type, BOOL all);

// ------------------------------------------------------------ moves
// The move engine (moventfs.cpp): the moves of a file's data, of a record's
// other non-resident attributes and of one single extent. Each is a loop
// over groups, the runs of one attribute record (same record, attribute
// type and position), and every group is moved in the safe order by
// MoveGroup: destination marked in use and the bitmap written, data copied,
// record rewritten, source marked free and the bitmap written again.

// What a group move left on disk.
#define GROUP_IN_PLACE 0       // the record describes the old place (the destination may be left marked in use)
#define GROUP_RECORD_UNSURE 1  // the record's write began and failed: it may describe either place, both stay in use
#define GROUP_MOVED 2          // the record describes the copy (after a failure the source may stay marked in use)

struct _MOVE_GROUP;
// The rule by which a group's record is rewritten once its runs are copied:
// TRUE when the record on disk describes the copy; on failure *written tells
// whether the write of the record began.
typedef BOOL (*GROUP_REWRITE)(const struct _MOVE_GROUP *group, BOOL *written);

typedef struct _MOVE_GROUP {
    const WCHAR *Routine;          // the mover its traces name
    EXTENT_LIST *List;             // the extent array the group belongs to
    LONGLONG Count;                // entries of that array
    LONGLONG First, Last;          // the group: the runs of one attribute record
    LONGLONG MoveFirst, MoveLast;  // the runs that move, inside the group
    LONGLONG Destination;          // where they go, back to back in entry order
    LONGLONG Clusters;             // their clusters with disk space
    GROUP_REWRITE Rewrite;         // how the group's record is rewritten
} MOVE_GROUP;

// Moves one group in the safe order; *left = GROUP_*. TRUE when it moved and
// its source was freed.
BOOL MoveGroup(const MOVE_GROUP *group, LONG *left);

BOOL NTFSMoveFile(LONGLONG destination);
BOOL NTFSMoveAttrib(LONGLONG destination);
BOOL NTFSMoveExtent(LONGLONG destination, LONGLONG index);
// After a change to record 0: the MFT extent list read again from record 0,
// and record 0 copied to the MFT mirror.
BOOL SaveMFTExtentList(void);
BOOL SyncNTFSMirror(void);

BOOL MarkDestAllocated(LONGLONG lcn, LONGLONG clusters);
BOOL MarkDestUnallocated(LONGLONG lcn, LONGLONG clusters);
BOOL MarkFileUnallocated(EXTENT_LIST *list, LONGLONG count, LONGLONG first, LONGLONG last);
BOOL MoveFileClusters(LONGLONG destination, LONGLONG first, LONGLONG last, EXTENT_LIST *list);
// The record rewriters. *written (may be null) tells after a failure whether
// the write of a record's MFT unit began: the record on disk may then
// already describe the destination.
BOOL UpdateFRS(LONGLONG destination, LONGLONG clusters, LONGLONG recordNumber, LONGLONG first, LONGLONG last,
               BOOL *written);
BOOL UpdateLargeFileFRS(LONGLONG destination, LONGLONG clusters, BOOL *written);
BOOL UpdateHugeFileFRS(LONGLONG destination, LONGLONG clusters, LONGLONG recordNumber, LONGLONG first, LONGLONG last,
                       BOOL *written);
BOOL UpdateAttribFRS(LONGLONG destination, LONGLONG clusters, LONGLONG first, LONGLONG last, EXTENT_LIST *list,
                     BOOL *written);
BOOL WriteUpdatedFRS(PFILE_RECORD_SEGMENT_HEADER record, LONGLONG recordNumber, BOOL *written);
BOOL WriteVolumeBitmap(void);
BOOL DirectReadVolumeBitmap(void);
BOOL RereadVolumeBitmap(void);

// Mapping pairs, for the record rewriters of the file, attribute and extent
// moves. Bytes of a length or offset field for a value (1..8).
ULONG MappingPairsFieldBytes(LONGLONG value);
// Runs (absolute StartingLcn, negative for no disk space) → mapping pairs
// and the terminating 0; FALSE without a report when they do not fit.
BOOL EncodeMappingPairs(const EXTENT_LIST *runs, LONGLONG count, BYTE *out, LONGLONG capacity, LONGLONG *length);
// Gives a non-resident attribute of an in-memory record these runs, moving
// the attributes after it; the record is unchanged when they do not fit.
BOOL ReplaceMappingPairs(PFILE_RECORD_SEGMENT_HEADER record, PATTRIBUTE_RECORD_HEADER attribute,
                         const EXTENT_LIST *runs, LONGLONG count);
// Shows the move line begun in cOutline: padded, cut to 76 characters, then
// " <<" (towardFront) or " >>".
void ShowMoveLine(BOOL towardFront);
