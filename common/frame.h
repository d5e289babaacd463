// The runtime frame shared by both boot-time programs: run options, output,
// the Win32-style layer, raw volume I/O, the volume bitmap and free-space
// search, extent lists, exclusions and volume setup.
//
// common/ is compiled once, into one library both programs link. Where the
// programs' frames differ, the program's constant record (BootProgram,
// program.h) says how; the routines the frame calls in a run (Initialize,
// InitializeDefrag, OffLineDefrag, OffLineExit) and LegalToMove are each
// program's own, bound when the program is linked.
#pragma once

#include <nt/nt.h>

#include "voldata.h"

// ------------------------------------------------------------ run options
extern BOOL bMoveFiles, bMoveAttrs, bDfrgBins, bDfrgShel, bWho, bShowEH, bEndPause, bKybd, bLast50;
extern LONG lPageOpt, lDirsOpt, lFileOpt, lMFTOpt, lDirsPending, lFilesPending;
extern LONGLONG llPageFileFRN, llPageFileZone;
extern LONGLONG glFileList[64];
extern LONGLONG glFileListX;
#define EXCLUDE_ROWS 25
#define EXCLUDE_ROW_CHARS 87  // 86 characters and a terminator
extern WCHAR pExcludes[EXCLUDE_ROWS][EXCLUDE_ROW_CHARS];
extern LONG lExcludes;
extern BOOL bExcludes;
extern LONG lLogLevel;
extern BOOL bLogFile, bScreenLog, bDbgMsg;
extern HANDLE hLogFile;
// The summary/log file named by LOG= (empty without one); set while the
// arguments are read, opened by the run.
#define LOG_NAME_CHARS 100
extern WCHAR cLogFileName[LOG_NAME_CHARS];

// The native program's main. (The platform's Linux process entry owns the C
// name "main"; NtProcessStartup calls this.)
int NativeMain(int argc, char **argv, char **envp, ULONG DebugFlag);

// ------------------------------------------------------------------ output
extern WCHAR cProgress[32];
extern const WCHAR cPro[];
extern const WCHAR cPad[];
#define OUTLINE_CHARS 33100
extern WCHAR cOutline[OUTLINE_CHARS];
extern LONGLONG llProgressMaximum, llProgressFivePercent, llProgressCurrent, llProgressPercentage;

BOOL HVprintf(const WCHAR *text);
BOOL ShowProgress(const WCHAR *text);
BOOL ShowDiag(const WCHAR *text);
BOOL ShowMessage(const WCHAR *text);
BOOL MessageFunction(const WCHAR *text, LONG number, const WCHAR *second);
BOOL Message(const WCHAR *text, LONG number, const WCHAR *second);
BOOL ErrorHandling(const WCHAR *report);
BOOL RemoteMessageBox(const WCHAR *text, const WCHAR *caption);
const WCHAR *GetString(const WCHAR *text, LONG a, LONG b, HANDLE h);
HANDLE InitializeLogFile(const WCHAR *path);
BOOL WriteToLogFile(HANDLE file, const WCHAR *text);
BOOL CloseLogFile(HANDLE file);
BOOL MemDump(const void *address, LONG count, const WCHAR *title);
BOOL InitializeProgress(LONGLONG count, LONGLONG minimum);
BOOL UpdateProgress(void);
BOOL ForceProgress(void);

// The standard error report of a failure site: "Error #0 at line <line> in
// <source path> of <command line> as of <module timestamp>".
void ReportErrorSite(LONG line, const WCHAR *sourcePath, const WCHAR *timestamp);
#define ERROR_REPORT() ReportErrorSite(__LINE__, u"" __FILE__, u"" __TIMESTAMP__)

// A trace line "routine:line->step", given when lLogLevel is at least level.
void TraceSite(LONG level, const WCHAR *routine, LONG line, const WCHAR *step);
#define TRACE(level, routine, step) TraceSite((level), (routine), __LINE__, (step))

// ------------------------------------------------------- Win32-style layer
// One live block of the Global heap. A block's handle is its address.
typedef struct _ALLOCUNIT {
    PVOID Address;
    DWORD Size;
} ALLOCUNIT, *PALLOCUNIT;
extern ALLOCUNIT *AllocBlock;             // records in use packed at the front, in allocation order
extern DWORD dwNumUnits, dwAllocedUnits;  // records in use, records allocated
extern ULONG GlobalAllocCount, GlobalFreeCount, GlobalReAllocCount;
// Bytes the heap may still hand out; -1 until the first allocation measures
// the free memory (which keeps HEAP_RESERVE_BYTES of it untouched).
extern LONGLONG HeapLeft;
#define HEAP_RESERVE_BYTES 102400
// The command line saved by SaveCommandLine (UTF-16), null before.
extern WCHAR *pCommandLine;

void *AutoChkMalloc(SIZE_T size);
void AutoChkMFree(void *p);
void *UlibRealloc(void *p, SIZE_T size);
HGLOBAL GlobalAlloc(UINT flags, SIZE_T size);
HGLOBAL GlobalFree(HGLOBAL handle);
HGLOBAL GlobalReAlloc(HGLOBAL handle, SIZE_T size, UINT flags);
SIZE_T GlobalSize(HGLOBAL handle);
LPVOID GlobalLock(HGLOBAL handle);
BOOL GlobalUnlock(HGLOBAL handle);
BOOL AllocateMemory(DWORD size, HGLOBAL *handle, void **pointer);
void ReleaseMemory(HGLOBAL *handle, void **pointer);
BOOL AllocateAligned(LONGLONG bytes, HGLOBAL *handle, BYTE **aligned);
HGLOBAL OptionalBlock(LONGLONG bytes);

BOOL SaveCommandLine(int argc, char **argv);
WCHAR *GetCommandLine(void);

HANDLE CreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                  DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL DeleteFile(LPCWSTR name);
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE handle);

LONG RegOpenKeyEx(HKEY root, LPCWSTR subkey, DWORD options, ACCESS_MASK access, PHKEY result);
LONG RegQueryValueEx(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
LONG RegSetValueEx(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size);
LONG RegCloseKey(HKEY key);

int MultiByteToWideChar(UINT codepage, DWORD flags, LPCSTR text, int length, LPWSTR wide, int capacity);
LPWSTR CharUpper(LPWSTR arg);
DWORD FormatMessage(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR buffer, DWORD size,
                    va_list *arguments);
void SetLastError(DWORD error);
DWORD GetLastError(void);

// ---------------------------------------------------------- raw volume I/O
BOOL DasdReadClusters(HANDLE volume, LONGLONG lcn, LONGLONG clusters, PVOID buffer, LONGLONG bytesPerSector,
                      LONGLONG bytesPerCluster);
BOOL DasdWriteClusters(HANDLE volume, LONGLONG lcn, LONGLONG clusters, PVOID buffer, LONGLONG bytesPerSector,
                       LONGLONG bytesPerCluster);
BOOL HvDeviceIoControl(HANDLE handle, DWORD code, LPVOID input, DWORD inputLength, LPVOID output, DWORD outputLength,
                       LPDWORD returned, LPOVERLAPPED overlapped);
BOOL GetFileSystem(WCHAR driveLetter, ULONG *type);
HGLOBAL DasdLoadSectors(HANDLE volume, LONGLONG firstSector, LONGLONG sectorCount, LONGLONG bytesPerSector);
BOOL DasdStoreSectors(HANDLE volume, LONGLONG firstSector, LONGLONG sectorCount, LONGLONG bytesPerSector, PVOID buffer);

// --------------------------------------------- volume bitmap, free space
extern const BYTE CountBitsArray[256];
BOOL GetVolumeBitmap(void);
BOOL MarkMFTZoneUnavailable(void);
BOOL MarkZoneUnavailable(LONGLONG firstLcn, LONGLONG clusters);
void FindFreeExtent(ULONG *bits, LONGLONG rangeEnd, LONGLONG *lcn, LONGLONG *foundLcn, LONGLONG *foundClusters);
BOOL FindFreeSpace(ULONG mode);
// The free runs of [start, end) of a bit array, the longest kept in a table
// of `capacity` entries, longest first; a run goes in front of the runs as
// long as it, so among equal runs the one found later (higher LCN) comes
// first. A full table drops its last entry for a longer run and ignores a
// run shorter than all of them. Returns the entries used (0: no free run).
typedef struct _FREE_RUN {
    LONGLONG StartingLcn;
    LONGLONG ClusterCount;
} FREE_RUN;
LONGLONG CollectLongestFreeRuns(ULONG *bits, LONGLONG start, LONGLONG end, FREE_RUN *table, LONGLONG capacity);
// The first cluster at or after lcn from which a first-fit search for
// `clusters` free ones can find a run long enough: every run it passes is
// shorter. lcn itself when the bits have no summary (see bitcache.cpp).
LONGLONG SkipShortFreeRuns(const ULONG *bits, LONGLONG lcn, LONGLONG clusters);

// ------------------------------ the in-memory bitmap against the disk's
// (bitcache.cpp). FALSE: no copy of the disk's bitmap and no summary, every
// re-read from the disk, the MFT record cache one window emptied by every
// record write, the bitmap written whole: the plain I/O the tests compare
// the runs against.
extern BOOL bCacheMetadata;
BYTE *BeginVolumeBitmapCopy(LONGLONG bytes);
void KeepVolumeBitmapCopy(BOOL ok);
void ForgetVolumeBitmapCopy(void);
BOOL VolumeBitmapCopyKept(void);
BOOL RestoreVolumeBitmapFromCopy(void);
BOOL VolumeBitsMarkedAlready(LONGLONG firstLcn, LONGLONG endLcn);
void VolumeBitsMarked(LONGLONG firstLcn, LONGLONG endLcn, BOOL setNow);
void VolumeBitsChanging(LONGLONG firstLcn, LONGLONG endLcn);
void VolumeBitsChanged(LONGLONG firstLcn, LONGLONG endLcn, BOOL freed);
BOOL VolumeClusterInUse(LONGLONG lcn);
BOOL VolumeBitsReadable(const ULONG *bits);
LONGLONG NextFreeCluster(LONGLONG lcn);
LONGLONG NextUsedCluster(LONGLONG lcn);
LONGLONG NextFreeRunOf(LONGLONG lcn, LONGLONG clusters);
LONGLONG NextVolumeBitmapUnitToWrite(LONGLONG unit);
#define VOLUME_BITMAP_UNIT_BYTES 512  // bitmap bytes per unit of NextVolumeBitmapUnitToWrite
BOOL ComposeVolumeBitmapBytes(LONGLONG firstByte, LONGLONG bytes, BYTE *out);
void VolumeBitmapBytesWritten(LONGLONG firstByte, LONGLONG bytes, const BYTE *written);
void VolumeBitmapWritten(void);

// The check before a run's first write: the bitmap against the clusters the
// volume's files own. Each owner claims its runs in a copy of the bitmap's
// bit array (1 = in use, `bitCount` bits): their bits are cleared. A cluster
// whose bit is clear already is marked free, or claimed by another owner
// before: ClaimClusters then stops there and gives FALSE with *conflict =
// that cluster (a run reaching outside the array gives its first cluster
// outside). Bits still set at the end are lost clusters (in use, no owner),
// which an interrupted run leaves and which do no harm.
BOOL ClaimClusters(BYTE *bits, LONGLONG bitCount, LONGLONG lcn, LONGLONG clusters, LONGLONG *conflict);
// Refuses the volume whose allocation disagrees with its files: `detail`
// (the fault found, a line; may be null) at log level 1 and more, then the
// refusal line, with ShowDiag. Returns FALSE.
BOOL RefuseInconsistentVolume(const WCHAR *detail);
extern const WCHAR cInconsistentVolume[];

// ----------------------------------------------------------- extent lists
BOOL CollapseExtentList(void);
BOOL GetLowestStartingLcn(LONGLONG *result);

// ------------------------------------------------- exclusions and legality
BOOL lStrWildCmp(const WCHAR *text, const WCHAR *pattern, BOOL caseSensitive);
BOOL LegalToMove(void);  // each program's
BOOL isdecimaldigit(WCHAR c);

// ------------------------------------------------- volume setup, teardown
// Each program's own (ntfs/, fat/):
BOOL Initialize(const WCHAR *drive);
BOOL InitializeDefrag(void);
BOOL OffLineExit(void);
BOOL OffLineDefrag(void);
// The frame's:
BOOL OkOnThisOS(void);

// ------------------------------------------------------------ stage drivers
// The stage number: raised just before every "*** STAGE %ld ***" banner.
extern LONG lStageNumber;
// Banner "*** STAGE %ld *** ..." with the next stage number (ShowMessage).
void ShowStageBanner(const WCHAR *format);
// "%s" + cPad cut to 78 characters + ending, with the count formatted in,
// through ShowMessage.
void ShowClosingLine(const WCHAR *format, LONGLONG count, const WCHAR *ending);
// Clears bit in lDirsPending and lFilesPending; an emptied set switches
// lDirsOpt or lFileOpt off.
void PendingUpdate(LONG bit);

// ------------------------------------------------------------ paging files
extern HGLOBAL hPageFileNames;
extern WCHAR *pPageFileNames;
extern WCHAR cPageFile[256];
extern BOOL bPageFileFound;
extern LONGLONG llPageFileMin, llPageFileMax, llPageFileClusterCount, llPageFileExtentCount;
BOOL GetPagefileNames(WCHAR driveLetter, HGLOBAL *handle, WCHAR **pointer);
BOOL GetPageFileBounds(const WCHAR *path, LONGLONG *minimum, LONGLONG *maximum);
BOOL RebuildPageFiles(const WCHAR *drive);
// Appends a path to the exclusion patterns (pExcludes row lExcludes). FALSE
// with the error report when it is longer than a row or the rows run out.
BOOL ExcludePath(const WCHAR *path);
// The paging-file preparation of volume setup for lPageOpt (PAGE=MIN, PLACE,
// ZERO) on the drive; leaves hPageFileNames/pPageFileNames for OffLineExit.
BOOL PreparePageFile(WCHAR driveLetter);
