// Raw volume I/O: clusters and sectors read and written through the volume
// handle ("\\.\%c:") with byte offsets computed here, the file-system control
// call, and the file-system type of a drive letter.
//
// The volume is opened without buffering, so every transfer must start at a
// sector-aligned address. A caller's buffer that is not aligned is used from
// its first aligned address (rounded down, plus one sector); the data is then
// moved to the buffer's start and the sector after it is zeroed. Every buffer
// given to these routines must therefore be one sector larger than the
// transfer.
#include <cstring>

#include "frame.h"

// The last error of a control request that failed with a status of no
// other name.
#ifndef ERROR_GEN_FAILURE
#define ERROR_GEN_FAILURE 31L  // any other failure status
#endif

namespace {

// Validated geometry of one transfer.
struct DasdTransfer {
    ULONGLONG offset;  // byte offset on the volume
    DWORD length;      // bytes
    BYTE *address;     // sector-aligned transfer address
    BOOL moved;        // address differs from the caller's buffer
};

// Takes the transfer's byte offset and length (already multiplied out by the
// caller), the caller's buffer and the sector size; fills t. Returns FALSE,
// without a report, for a length of 0, a negative offset, a length that does
// not fit in 32 bits or a sector size that is not positive: the callers
// report.
BOOL PrepareTransfer(LONGLONG offset, LONGLONG length, PVOID buffer, LONGLONG bytesPerSector, DasdTransfer *t) {
    if (length <= 0 || length > (LONGLONG)0xFFFFFFFF || offset < 0 || bytesPerSector <= 0 || buffer == nullptr)
        return FALSE;
    t->offset = (ULONGLONG)offset;
    t->length = (DWORD)length;
    ULONG_PTR address = (ULONG_PTR)buffer;
    ULONG_PTR sector = (ULONG_PTR)bytesPerSector;
    if (address % sector != 0) {
        t->address = (BYTE *)(address - address % sector + sector);
        t->moved = TRUE;
    } else {
        t->address = (BYTE *)buffer;
        t->moved = FALSE;
    }
    return TRUE;
}

// Multiplies a first unit and a unit count by the unit size into a byte
// offset and length; FALSE when any is negative, the count is 0, or a product
// overflows 63 bits.
BOOL UnitsToBytes(LONGLONG first, LONGLONG count, LONGLONG unitBytes, LONGLONG *offset, LONGLONG *length) {
    if (first < 0 || count <= 0 || unitBytes <= 0) return FALSE;
    if (first > INT64_MAX / unitBytes || count > INT64_MAX / unitBytes) return FALSE;
    *offset = first * unitBytes;
    *length = count * unitBytes;
    return TRUE;
}

// Reads or writes t->length bytes at t->offset at t->address. Returns TRUE
// only when the whole length was transferred.
BOOL TransferBytes(HANDLE volume, const DasdTransfer *t, BOOL write) {
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.Offset = (DWORD)(t->offset & 0xFFFFFFFF);
    overlapped.OffsetHigh = (DWORD)(t->offset >> 32);
    DWORD done = 0;
    BOOL ok = write ? WriteFile(volume, t->address, t->length, &done, &overlapped)
                    : ReadFile(volume, t->address, t->length, &done, &overlapped);
    return ok && done == t->length;
}

// After a transfer through a moved address: brings the data back to the
// caller's buffer and zeroes the sector after it.
void RestoreToBuffer(const DasdTransfer *t, PVOID buffer, LONGLONG bytesPerSector) {
    memmove(buffer, t->address, t->length);
    memset((BYTE *)buffer + t->length, 0, (size_t)bytesPerSector);
}

// Adds the data-area offset on FAT volumes. FALSE (the callers report) when
// the offset is not the unsigned 32-bit quantity it must be.
BOOL AddDataAreaOffset(LONGLONG *offset) {
    if (VolData.FileSystem != FS_FAT && VolData.FileSystem != FS_FAT32) return TRUE;
    LONGLONG area = VolData.llDataAreaOffset;
    if (area < 0 || area > (LONGLONG)0xFFFFFFFF) return FALSE;
    *offset += area;
    return TRUE;
}

}  // namespace

// Takes the volume handle, a first LCN, a cluster count, a buffer at least
// clusters x bytesPerCluster + bytesPerSector bytes long when it is not
// sector-aligned, and the geometry. On FAT volumes (VolData.FileSystem 1 or
// 3) LCN 0 is the first byte of the data area (VolData.llDataAreaOffset).
// Returns TRUE with the clusters at the buffer's start (and the sector after
// them zeroed when the buffer was not aligned). A bad request (0 clusters,
// negative numbers, more than 4 GiB) gives the error report and touches
// nothing; a failed read is only traced (log level above 5): the caller
// decides what to say.
BOOL DasdReadClusters(HANDLE volume, LONGLONG lcn, LONGLONG clusters, PVOID buffer, LONGLONG bytesPerSector,
                      LONGLONG bytesPerCluster) {
    LONGLONG offset = 0, length = 0;
    DasdTransfer t;
    if (!UnitsToBytes(lcn, clusters, bytesPerCluster, &offset, &length) || !AddDataAreaOffset(&offset) ||
        !PrepareTransfer(offset, length, buffer, bytesPerSector, &t)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!TransferBytes(volume, &t, FALSE)) {
        WCHAR line[200];
        swprintf(line,
                 u"\nError:DasdReadCluster couldn't read disk: ReadFile H=0x%08lx, P=0x%08lx, B=0x%08lx, "
                 u"O=0x%08lx, C=0x%08lx\n",
                 (ULONG)(ULONG_PTR)volume, (ULONG)(ULONG_PTR)t.address, (ULONG)t.length, (ULONG)(t.offset & 0xFFFFFFFF),
                 (ULONG)((ULONGLONG)lcn & 0xFFFFFFFF));
        Message(line, -1, nullptr);
        return FALSE;
    }
    if (t.moved) RestoreToBuffer(&t, buffer, bytesPerSector);
    return TRUE;
}

// As DasdReadClusters, writing the buffer's clusters. When the buffer is not
// aligned its data is moved up to the aligned address for the write and moved
// back afterwards (also after a failed write, so that the caller's buffer is
// never left shifted), and the sector after it is zeroed. Every failure gives
// the error report.
BOOL DasdWriteClusters(HANDLE volume, LONGLONG lcn, LONGLONG clusters, PVOID buffer, LONGLONG bytesPerSector,
                       LONGLONG bytesPerCluster) {
    LONGLONG offset = 0, length = 0;
    DasdTransfer t;
    if (!UnitsToBytes(lcn, clusters, bytesPerCluster, &offset, &length) || !AddDataAreaOffset(&offset) ||
        !PrepareTransfer(offset, length, buffer, bytesPerSector, &t)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (t.moved) memmove(t.address, buffer, t.length);
    BOOL ok = TransferBytes(volume, &t, TRUE);
    if (t.moved) RestoreToBuffer(&t, buffer, bytesPerSector);
    if (!ok) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Issues a file-system control request on a handle (NtFsControlFile) and
// waits for it when it is pending. Returns TRUE for a success status with
// *returned = bytes transferred; FALSE otherwise, with *returned still set
// for a warning status (such as a short output buffer). overlapped is
// ignored. No report: the callers give it.
BOOL HvDeviceIoControl(HANDLE handle, DWORD code, LPVOID input, DWORD inputLength, LPVOID output, DWORD outputLength,
                       LPDWORD returned, LPOVERLAPPED overlapped) {
    (void)overlapped;
    IO_STATUS_BLOCK iosb;
    memset(&iosb, 0, sizeof iosb);
    NTSTATUS status =
        NtFsControlFile(handle, nullptr, nullptr, nullptr, &iosb, code, input, inputLength, output, outputLength);
    if (status == STATUS_PENDING) {
        status = NtWaitForSingleObject(handle, FALSE, nullptr);
        if (NT_SUCCESS(status)) status = iosb.Status;
    }
    if (NT_SUCCESS(status)) {
        if (returned) *returned = (DWORD)iosb.Information;
        return TRUE;
    }
    if (NT_WARNING(status) && returned) *returned = (DWORD)iosb.Information;
    // The Win32 error a caller sees through GetLastError.
    switch (status) {
    case STATUS_BUFFER_OVERFLOW:
        SetLastError(ERROR_MORE_DATA);
        break;
    case STATUS_ALREADY_COMMITTED:
        SetLastError(ERROR_ALREADY_COMMITTED);
        break;
    case STATUS_INVALID_PARAMETER:
        SetLastError(ERROR_INVALID_PARAMETER);
        break;
    case STATUS_END_OF_FILE:
        SetLastError(ERROR_HANDLE_EOF);
        break;
    default:
        SetLastError(ERROR_GEN_FAILURE);
        break;
    }
    return FALSE;
}

// Takes a drive letter; stores in *type the code of the file system the
// volume carries: FS_NTFS for "NTFS", FS_FAT for "FAT" (whatever its FAT
// width), FS_FAT32 for "FAT32", FS_OTHER for any other name. Opens the
// volume only for the query and closes it again; the query block is
// allocated and freed here. Returns FALSE with the error report when the
// block, the open or the query fails (*type then unchanged).
BOOL GetFileSystem(WCHAR driveLetter, ULONG *type) {
    const DWORD infoBytes = 272;
    HGLOBAL hInfo = nullptr;
    void *pInfo = nullptr;
    if (type == nullptr || !AllocateMemory(infoBytes, &hInfo, &pInfo)) {
        ERROR_REPORT();
        return FALSE;
    }
    WCHAR name[16];
    swprintf(name, u"\\\\.\\%c:", (int)driveLetter);
    HANDLE volume = CreateFile(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_NO_BUFFERING, nullptr);
    if (volume == INVALID_HANDLE_VALUE || volume == nullptr) {
        ERROR_REPORT();
        GlobalUnlock(hInfo);
        GlobalFree(hInfo);
        return FALSE;
    }
    IO_STATUS_BLOCK iosb;
    memset(&iosb, 0, sizeof iosb);
    NTSTATUS status = NtQueryVolumeInformationFile(volume, &iosb, pInfo, infoBytes, FileFsAttributeInformation);
    if (status == STATUS_PENDING) {
        status = NtWaitForSingleObject(volume, FALSE, nullptr);
        if (NT_SUCCESS(status)) status = iosb.Status;
    }
    CloseHandle(volume);
    const FILE_FS_ATTRIBUTE_INFORMATION *info = (const FILE_FS_ATTRIBUTE_INFORMATION *)pInfo;
    const ULONG maxNameBytes = infoBytes - (ULONG)offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
    if (!NT_SUCCESS(status) || info->FileSystemNameLength > maxNameBytes) {
        ERROR_REPORT();
        GlobalUnlock(hInfo);
        GlobalFree(hInfo);
        return FALSE;
    }
    size_t chars = info->FileSystemNameLength / sizeof(WCHAR);
    const WCHAR *fs = info->FileSystemName;
    auto is = [&](const WCHAR *text) { return wcslen(text) == chars && memcmp(fs, text, chars * sizeof(WCHAR)) == 0; };
    ULONG code = FS_OTHER;
    if (is(u"NTFS"))
        code = FS_NTFS;
    else if (is(u"FAT"))
        code = FS_FAT;
    else if (is(u"FAT32"))
        code = FS_FAT32;
    *type = code;
    GlobalUnlock(hInfo);
    GlobalFree(hInfo);
    return TRUE;
}

// Takes the volume handle, a first sector, a sector count and the sector
// size; reads those sectors (counted from the start of the volume, without
// the data-area offset) into a new Global block of sectorCount x
// bytesPerSector + bytesPerSector bytes, data at its start and the rest
// zeroed. Returns the block's handle, unlocked (the caller locks it to use
// it and frees it), or null after the error report.
HGLOBAL DasdLoadSectors(HANDLE volume, LONGLONG firstSector, LONGLONG sectorCount, LONGLONG bytesPerSector) {
    LONGLONG offset = 0, length = 0;
    if (!UnitsToBytes(firstSector, sectorCount, bytesPerSector, &offset, &length) ||
        length > (LONGLONG)0xFFFFFFFF - bytesPerSector) {
        ERROR_REPORT();
        return nullptr;
    }
    HGLOBAL hBlock = nullptr;
    void *pBlock = nullptr;
    if (!AllocateMemory((DWORD)(length + bytesPerSector), &hBlock, &pBlock)) {
        ERROR_REPORT();
        return nullptr;
    }
    DasdTransfer t;
    if (!PrepareTransfer(offset, length, pBlock, bytesPerSector, &t) || !TransferBytes(volume, &t, FALSE)) {
        ERROR_REPORT();
        GlobalUnlock(hBlock);
        GlobalFree(hBlock);
        return nullptr;
    }
    if (t.moved) RestoreToBuffer(&t, pBlock, bytesPerSector);
    GlobalUnlock(hBlock);
    return hBlock;
}

// Takes the volume handle, a first sector, a sector count, the sector size
// and a buffer (one sector longer than the data when it is not aligned);
// writes the sectors, counted from the start of the volume. The buffer keeps
// its data (moved and moved back when not aligned; the sector after the data
// is then zeroed). Returns TRUE, or FALSE after the error report.
BOOL DasdStoreSectors(HANDLE volume, LONGLONG firstSector, LONGLONG sectorCount, LONGLONG bytesPerSector,
                      PVOID buffer) {
    LONGLONG offset = 0, length = 0;
    DasdTransfer t;
    if (!UnitsToBytes(firstSector, sectorCount, bytesPerSector, &offset, &length) ||
        !PrepareTransfer(offset, length, buffer, bytesPerSector, &t)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (t.moved) memmove(t.address, buffer, t.length);
    BOOL ok = TransferBytes(volume, &t, TRUE);
    if (t.moved) RestoreToBuffer(&t, buffer, bytesPerSector);
    if (!ok) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}
