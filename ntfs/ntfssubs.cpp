// NTFS geometry, file records, update-sequence protection, attribute lookup,
// run-list decoding and the query family of extent-list retrieval (records
// through the file system's record query).
//
// Everything read from the volume is checked before use; see the bounds in
// ntfs.h. A damaged structure is reported and gives FALSE, never a read
// outside its buffer.
#include "ntfs.h"

#include <climits>
#include <cstring>

LONGLONG FileRecordLow = 0;
LONGLONG FileRecordHi = 0;
BYTE FileRecordOutputBuffer[FILE_RECORD_OUTPUT_BYTES];
LONGLONG llMftBitmapBits = 0;

namespace {

// Message numbers of the string lookup: "not an NTFS volume" and its caption.
const LONG kMsgNotNtfs = 425;
const LONG kMsgNotNtfsCaption = 123;
const LONG kStringChars = 256;

// Largest extent array AllocateMemory can hold (its sizes are 32-bit).
const LONGLONG kMaxExtentEntries = 0x7FFFFFFF / (LONGLONG)sizeof(EXTENT_LIST) - 1;

BOOL IsPowerOfTwo(LONGLONG v) { return v > 0 && (v & (v - 1)) == 0; }

// A little-endian field of `size` bytes, sign-extended from its top bit.
LONGLONG ReadSignedField(const BYTE *p, int size) {
    ULONGLONG v = 0;
    for (int i = size - 1; i >= 0; i--) v = (v << 8) | p[i];
    if (size < 8 && (p[size - 1] & 0x80)) v |= ~0ull << (size * 8);
    return (LONGLONG)v;
}

// Adds a*b to *sum; FALSE when either step would overflow a signed 64-bit.
BOOL AddProduct(LONGLONG *sum, LONGLONG a, LONGLONG b) {
    LONGLONG product;
    if (__builtin_mul_overflow(a, b, &product)) return FALSE;
    return !__builtin_add_overflow(*sum, product, sum);
}

// One run of a mapping-pairs sequence, or the reason there is none.
enum RunStatus { RunOk, RunEnd, RunBad };
struct Run {
    LONGLONG length;
    LONGLONG offset;
    BOOL sparse;
    int bytes;  // header, length and offset fields
};

// Decodes the run at p, which must lie before end.
RunStatus DecodeRun(const BYTE *p, const BYTE *end, Run *run) {
    if (p >= end) return RunBad;  // no terminator inside the attribute
    BYTE header = *p;
    if (header == 0) return RunEnd;
    int lengthSize = header & 0x0F;
    int offsetSize = header >> 4;
    if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8) return RunBad;
    if (end - p < 1 + lengthSize + offsetSize) return RunBad;
    run->length = ReadSignedField(p + 1, lengthSize);
    if (run->length <= 0) return RunBad;
    run->sparse = offsetSize == 0;
    run->offset = run->sparse ? 0 : ReadSignedField(p + 1 + lengthSize, offsetSize);
    run->bytes = 1 + lengthSize + offsetSize;
    return RunOk;
}

// The first mapping-pairs byte and the end of a non-resident attribute;
// FALSE when the offset does not leave room for a terminator.
BOOL MappingPairsBounds(const ATTRIBUTE_RECORD_HEADER *attribute, const BYTE **start, const BYTE **end) {
    if (attribute->FormCode == RESIDENT_FORM) return FALSE;
    ULONG offset = attribute->Form.Nonresident.MappingPairsOffset;
    if (offset < NONRESIDENT_HEADER_LENGTH || offset >= attribute->RecordLength) return FALSE;
    *start = (const BYTE *)attribute + offset;
    *end = (const BYTE *)attribute + attribute->RecordLength;
    return TRUE;
}

// The two walks of the lookups: an attribute at `offset` either ends the
// list, is a valid attribute, or shows the record is damaged.
enum WalkStatus { WalkAttribute, WalkEnd, WalkDamaged };
WalkStatus WalkAt(const FILE_RECORD_SEGMENT_HEADER *record, ULONG recordSize, ULONG offset) {
    if ((ULONGLONG)offset + sizeof(ULONG) > recordSize) return WalkDamaged;  // ran off without an end marker
    if (((const ATTRIBUTE_RECORD_HEADER *)((const BYTE *)record + offset))->TypeCode == ATTRIBUTE_END) return WalkEnd;
    return AttributeValid(record, recordSize, offset) ? WalkAttribute : WalkDamaged;
}

ULONG OffsetIn(const FILE_RECORD_SEGMENT_HEADER *record, const ATTRIBUTE_RECORD_HEADER *attribute) {
    return (ULONG)((const BYTE *)attribute - (const BYTE *)record);
}

// The matching rule of the directory lookups: an index allocation, or
// failing that a data attribute.
BOOL FindTypeOrData(ULONG type, PFILE_RECORD_SEGMENT_HEADER record, PATTRIBUTE_RECORD_HEADER *attribute,
                    ULONG recordSize, ULONG *position) {
    if (FindAttribute(type, record, attribute, recordSize, position)) return TRUE;
    if (type == ATTR_INDEX_ALLOCATION) return FindAttribute(ATTR_DATA, record, attribute, recordSize, position);
    return FALSE;
}

BOOL FindNextTypeOrData(ULONG type, PFILE_RECORD_SEGMENT_HEADER record, PATTRIBUTE_RECORD_HEADER *attribute,
                        ULONG recordSize, ULONG *position) {
    PATTRIBUTE_RECORD_HEADER current = *attribute;
    ULONG at = *position;
    if (FindNextAttribute(type, record, attribute, recordSize, position)) return TRUE;
    if (type != ATTR_INDEX_ALLOCATION) return FALSE;
    *attribute = current;
    *position = at;
    return FindNextAttribute(ATTR_DATA, record, attribute, recordSize, position);
}

void ReleaseBlock(HGLOBAL *handle, void *pointer) {
    if (*handle) {
        if (pointer) GlobalUnlock(*handle);
        GlobalFree(*handle);
        *handle = nullptr;
    }
}

}  // namespace

// ===================================================== checks of disk data

// Takes a record and its size; TRUE when its update-sequence array lies in
// the first stride, before that stride's last word, and has one entry per
// 512-byte stride plus the USN. Nothing is changed.
BOOL UsaHeaderValid(const FILE_RECORD_SEGMENT_HEADER *fileRecord, ULONG bytes) {
    if (!fileRecord || bytes < USA_STRIDE || bytes % USA_STRIDE) return FALSE;
    ULONG offset = fileRecord->UpdateSequenceArrayOffset;
    ULONG entries = fileRecord->UpdateSequenceArraySize;
    if (offset & 1) return FALSE;
    if (entries != bytes / USA_STRIDE + 1) return FALSE;
    return offset + entries * sizeof(USHORT) <= USA_STRIDE - sizeof(USHORT);
}

// Takes a record, its size and an attribute's offset in it; TRUE when the
// attribute's header, its length, its value (resident) or mapping-pairs
// offset (non-resident) and its name lie inside the record, the length is
// at least the header of its form, and a non-resident attribute's name ends
// before its mapping pairs begin (a run-list rewrite replaces everything
// from the mapping pairs on, so a name after them would be overwritten).
BOOL AttributeValid(const FILE_RECORD_SEGMENT_HEADER *fileRecord, ULONG recordSize, ULONG offset) {
    if ((ULONGLONG)offset + ATTRIBUTE_HEADER_COMMON > recordSize) return FALSE;
    const ATTRIBUTE_RECORD_HEADER *a = (const ATTRIBUTE_RECORD_HEADER *)((const BYTE *)fileRecord + offset);
    ULONG length = a->RecordLength;
    if ((ULONGLONG)offset + length > recordSize) return FALSE;
    if (a->FormCode == RESIDENT_FORM) {
        if (length < RESIDENT_HEADER_LENGTH) return FALSE;
        if ((ULONGLONG)a->Form.Resident.ValueOffset + a->Form.Resident.ValueLength > length) return FALSE;
    } else {
        if (length < NONRESIDENT_HEADER_LENGTH) return FALSE;
        ULONG pairs = a->Form.Nonresident.MappingPairsOffset;
        if (pairs < NONRESIDENT_HEADER_LENGTH || pairs >= length) return FALSE;
    }
    if (a->NameLength) {
        ULONGLONG nameEnd = (ULONGLONG)a->NameOffset + a->NameLength * sizeof(WCHAR);
        if (nameEnd > length) return FALSE;
        if (a->FormCode != RESIDENT_FORM && nameEnd > a->Form.Nonresident.MappingPairsOffset) return FALSE;
    }
    return TRUE;
}

// Takes a record read for an attribute-list entry, the number it was read
// as and the file's base record number. TRUE when it is the base record
// itself, or an extension record in use whose base reference names the base
// record; a damaged list naming another file's record gives FALSE.
BOOL SegmentOfFile(const FILE_RECORD_SEGMENT_HEADER *segment, LONGLONG recordNumber, LONGLONG baseRecord) {
    if (!segment) return FALSE;
    if (recordNumber == baseRecord) return TRUE;
    if (!(segment->Flags & FILE_RECORD_IN_USE)) return FALSE;
    return (LONGLONG)(segment->BaseFileRecordSegment & SEGMENT_NUMBER_MASK) == baseRecord;
}

// Takes an attribute AttributeValid accepted; returns its value when it is
// resident and holds at least `minimum` bytes, else null.
const BYTE *ResidentValue(const ATTRIBUTE_RECORD_HEADER *attribute, ULONG minimum) {
    if (!attribute || attribute->FormCode != RESIDENT_FORM) return nullptr;
    if (attribute->Form.Resident.ValueLength < minimum) return nullptr;
    return (const BYTE *)attribute + attribute->Form.Resident.ValueOffset;
}

// Takes a record; leaves the file attributes of its $STANDARD_INFORMATION in
// *attributes. FALSE without a report when the attribute is missing; a
// damaged record is reported by the lookup or here.
BOOL GetFileAttributesOfRecord(PFILE_RECORD_SEGMENT_HEADER fileRecord, ULONG recordSize, ULONG *attributes) {
    PATTRIBUTE_RECORD_HEADER info = nullptr;
    ULONG position = 0;
    if (!FindAttribute(ATTR_STANDARD_INFORMATION, fileRecord, &info, recordSize, &position)) return FALSE;
    const BYTE *value = ResidentValue(info, sizeof(STANDARD_INFORMATION));
    if (!value) {
        ERROR_REPORT();
        return FALSE;
    }
    *attributes = ((const STANDARD_INFORMATION *)value)->FileAttributes;
    return TRUE;
}

// ================================================================ geometry

// Takes nothing; needs VolData.cDrive. Checks that the drive carries NTFS,
// opens VolData.hVolume ("\\.\X:", read and write, unbuffered) and fills the
// geometry fields of VolData, TotalFileRecords and FileRecordNumber (the
// same value) and BitmapSizeBits. The volume handle stays open for the run
// (closed at teardown), also when a later check fails.
BOOL GetNtfsVolumeStats(void) {
    VolData.hVolume = INVALID_HANDLE_VALUE;

    ULONG fileSystem = FS_OTHER;
    if (!GetFileSystem(VolData.cDrive[0], &fileSystem)) {
        ERROR_REPORT();
        return FALSE;
    }
    VolData.FileSystem = fileSystem;
    if (fileSystem != FS_NTFS) {
        WCHAR text[kStringChars], caption[kStringChars];
        const WCHAR *format = GetString(text, kMsgNotNtfs, kStringChars, nullptr);
        _snwprintf(cOutline, OUTLINE_CHARS - 1, format ? format : u"", (int)VolData.cDrive[0]);
        cOutline[OUTLINE_CHARS - 1] = 0;
        const WCHAR *title = GetString(caption, kMsgNotNtfsCaption, kStringChars, nullptr);
        RemoteMessageBox(cOutline, title ? title : u"");
        return FALSE;
    }

    WCHAR volumeName[16];
    _snwprintf(volumeName, 16, u"\\\\.\\%c:", (int)VolData.cDrive[0]);
    VolData.hVolume = CreateFile(volumeName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (VolData.hVolume == INVALID_HANDLE_VALUE) {
        ERROR_REPORT();
        return FALSE;
    }

    NTFS_VOLUME_DATA_BUFFER data;
    memset(&data, 0, sizeof(data));
    DWORD returned = 0;
    if (!HvDeviceIoControl(VolData.hVolume, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &data, sizeof(data), &returned,
                           nullptr)) {
        ERROR_REPORT();
        return FALSE;
    }

    VolData.MftStartLcn = data.MftStartLcn.QuadPart;
    VolData.Mft2StartLcn = data.Mft2StartLcn.QuadPart;
    VolData.BytesPerSector = data.BytesPerSector;
    VolData.BytesPerCluster = data.BytesPerCluster;
    VolData.BytesPerFRS = data.BytesPerFileRecordSegment;
    VolData.ClustersPerFRS = data.ClustersPerFileRecordSegment;
    VolData.TotalSectors = data.NumberSectors.QuadPart;
    VolData.TotalClusters = data.TotalClusters.QuadPart;
    VolData.MftZoneStart = data.MftZoneStart.QuadPart;
    VolData.MftZoneEnd = data.MftZoneEnd.QuadPart;

    if (VolData.BytesPerSector == 0) {
        ERROR_REPORT();
        return FALSE;
    }
    if (VolData.BytesPerFRS == 0) {
        ERROR_REPORT();
        return FALSE;
    }
    // A damaged boot sector can report anything: everything later divides
    // and multiplies by these values and sizes buffers with them.
    LONGLONG bps = VolData.BytesPerSector, bpc = VolData.BytesPerCluster, frs = VolData.BytesPerFRS;
    if (!IsPowerOfTwo(bps) || bps < NTFS_MIN_SECTOR || bps > NTFS_MAX_SECTOR || !IsPowerOfTwo(bpc) || bpc < bps ||
        bpc > NTFS_MAX_CLUSTER || !IsPowerOfTwo(frs) || frs < NTFS_MIN_FRS || frs > NTFS_MAX_FRS ||
        VolData.ClustersPerFRS != (frs >= bpc ? frs / bpc : 0) || VolData.TotalClusters <= 0 ||
        data.FreeClusters.QuadPart < 0 || data.FreeClusters.QuadPart > VolData.TotalClusters ||
        VolData.MftStartLcn < 0 || VolData.MftStartLcn >= VolData.TotalClusters ||
        data.MftValidDataLength.QuadPart < frs) {
        ERROR_REPORT();
        return FALSE;
    }

    LONGLONG last = VolData.TotalClusters - 1;
    if (VolData.MftZoneStart > last) VolData.MftZoneStart = last;
    if (VolData.MftZoneEnd < VolData.MftZoneStart) VolData.MftZoneEnd = VolData.MftZoneStart;
    if (VolData.MftZoneEnd > last) VolData.MftZoneEnd = last;

    LONGLONG freeClusters = data.FreeClusters.QuadPart;
    VolData.FreeSpace = freeClusters * bpc;
    VolData.UsedSpace = VolData.TotalClusters * bpc - VolData.FreeSpace;
    VolData.UsedClusters = VolData.TotalClusters - freeClusters;
    VolData.SectorsPerCluster = bpc / bps;
    VolData.MftStartOffset = VolData.MftStartLcn * bpc;
    VolData.TotalFileRecords = data.MftValidDataLength.QuadPart / frs;
    VolData.FileRecordNumber = VolData.TotalFileRecords;
    VolData.BitmapSizeBits = (VolData.TotalClusters / 32 + (VolData.TotalClusters % 32 ? 1 : 0) + 1) * 32;
    return TRUE;
}

// Takes nothing; needs VolData.hVolume. TRUE when the file system reports
// the volume dirty (or a check scheduled), after showing why the run cannot
// go on. A failed query is reported and answers FALSE.
BOOL IsVolumeDirty(void) {
    ULONG flags = 0;
    DWORD returned = 0;
    if (!HvDeviceIoControl(VolData.hVolume, FSCTL_IS_VOLUME_DIRTY, nullptr, 0, &flags, sizeof(flags), &returned,
                           nullptr)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (flags & (VOLUME_IS_DIRTY | 0x4)) {
        ShowDiag(u"Boot-time defragmenter detected that this volume is slated to have CHKDSK run,\n");
        ShowDiag(u"Boot-time defragmenter cannot run on a dirty volume.  Please run CHKDSK /f");
        return TRUE;
    }
    return FALSE;
}

// ============================================================ file records

// Takes the volume, the record number asked for (in/out), the caller's
// record buffer and the bytes to copy (BytesPerFRS). Asks the file system
// for the nearest in-use record at or below the number, copies `bytes`
// bytes of it (fix-ups already removed) and writes the number returned back.
BOOL GetInUseFrs(HANDLE volume, LONGLONG *fileRecordNumber, PFILE_RECORD_SEGMENT_HEADER fileRecord, ULONG bytes) {
    const ULONG header = offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileRecordBuffer);
    if (!fileRecordNumber || !fileRecord || bytes == 0 || bytes > FILE_RECORD_OUTPUT_BYTES - header) {
        ERROR_REPORT();
        return FALSE;
    }
    NTFS_FILE_RECORD_INPUT_BUFFER input;
    input.FileReferenceNumber.QuadPart = *fileRecordNumber;
    PNTFS_FILE_RECORD_OUTPUT_BUFFER output = (PNTFS_FILE_RECORD_OUTPUT_BUFFER)FileRecordOutputBuffer;
    output->FileRecordLength = bytes;
    DWORD returned = 0;
    if (!HvDeviceIoControl(volume, FSCTL_GET_NTFS_FILE_RECORD, &input, sizeof(input), FileRecordOutputBuffer,
                           FILE_RECORD_OUTPUT_BYTES, &returned, nullptr)) {
        ERROR_REPORT();
        return FALSE;
    }
    // A shorter answer would leave stale bytes in the caller's record.
    if (output->FileRecordLength < bytes || returned < header + bytes) {
        ERROR_REPORT();
        return FALSE;
    }
    memcpy(fileRecord, output->FileRecordBuffer, bytes);
    *fileRecordNumber = (LONGLONG)((ULONGLONG)output->FileReferenceNumber.QuadPart & SEGMENT_NUMBER_MASK);
    return TRUE;
}

BOOL FindMftExtent(const EXTENT_LIST *list, LONGLONG extents, LONGLONG vcn, LONGLONG *index, LONGLONG *running) {
    LONGLONG before = 0;
    for (LONGLONG i = 0; list && i < extents; i++) {
        if (list[i].ClusterCount <= 0 || list[i].StartingLcn < 0) {
            ERROR_REPORT();  // the MFT has no holes
            return FALSE;
        }
        if (vcn < before + list[i].ClusterCount) {
            *index = i;
            *running = before;
            return TRUE;
        }
        before += list[i].ClusterCount;
    }
    ERROR_REPORT();  // the cluster lies beyond the MFT's extents
    return FALSE;
}

// ------------------------------------------------ the record cache's windows
//
// The window of GetFrs ([FileRecordLow, FileRecordHi) in pMftBuffer) is one
// 64 KB read of the MFT. A run goes back and forth between windows (a file,
// the directories of its path, the file again), so the windows GetFrs
// leaves for another are kept, up to kSpareWindows of them, the least
// recently used one given up first, and a record in one is read from there
// (the window in use stays what it is). They
// hold what the disk holds: only the run writes records, and its writer
// puts what it writes into every window that holds it (RecordsWritten).
// Whoever empties or changes the window in use (a new MFT, its extents
// moved, a test) drops them all, as the next look at them finds. Without
// bCacheMetadata there are none.
//
// Beside them, the record store keeps every record below StoreRecords (the
// whole MFT when memory allows, at most kStoreBytes) that a window read or
// the run wrote, by record number, so that the passes of a stage over the
// MFT read each record from the volume once. It holds what the disk holds
// on the same terms as the spare windows and is dropped with them.
namespace {

constexpr int kSpareWindows = 16;
constexpr LONGLONG kStoreBytes = 128LL << 20;

struct SpareWindow {
    LONGLONG Low, Hi;  // records held, [Low, Hi); Low == Hi: none
    ULONGLONG Used;    // when last in use
};

HGLOBAL hSpareWindows = nullptr;
BYTE *pSpareWindows = nullptr;  // kSpareWindows windows
SpareWindow Spare[kSpareWindows];
LONGLONG LeftLow = 0, LeftHi = 0;  // the window in use as GetFrs left it
ULONGLONG SpareClock = 0;

HGLOBAL hStore = nullptr;
BYTE *pStore = nullptr;       // StoreRecords records, then pStoreHeld
ULONG *pStoreHeld = nullptr;  // a bit per record of the store: held
LONGLONG StoreRecords = 0;

BYTE *SpareBytes(int i) { return pSpareWindows + (LONGLONG)i * MFT_WINDOW_BYTES; }

BOOL StoreHolds(LONGLONG first, LONGLONG count) {
    if (!pStore || first < 0 || count <= 0 || first + count > StoreRecords) return FALSE;
    for (LONGLONG n = first; n < first + count; n++)
        if (!((pStoreHeld[n >> 5] >> (n & 31)) & 1)) return FALSE;
    return TRUE;
}

// Takes records [first, first + count) as the disk holds them; the store
// keeps those it has room for.
void StorePut(LONGLONG first, LONGLONG count, const BYTE *bytes) {
    if (!pStore) return;
    LONGLONG from = first < 0 ? 0 : first, to = first + count < StoreRecords ? first + count : StoreRecords;
    if (from >= to) return;
    LONGLONG frs = VolData.BytesPerFRS;
    memcpy(pStore + from * frs, bytes + (from - first) * frs, (size_t)((to - from) * frs));
    for (LONGLONG n = from; n < to; n++) pStoreHeld[n >> 5] |= 1u << (n & 31);
}

void StoreDrop(void) {
    if (pStoreHeld) memset(pStoreHeld, 0, (size_t)(StoreRecords / 32 + 1) * sizeof(ULONG));
}

// TRUE when spare windows and the store may be used: the window in use is
// as GetFrs left it. Otherwise drops them; they stay unused until GetFrs
// reads a window again.
BOOL SpareWindowsValid(void) {
    if (FileRecordLow == LeftLow && FileRecordHi == LeftHi && pSpareWindows) return TRUE;
    for (SpareWindow &w : Spare) w.Low = w.Hi = 0;
    StoreDrop();
    LeftLow = LeftHi = -1;
    return FALSE;
}

// The spare window holding record n, or -1.
int SpareHolding(LONGLONG n) {
    for (int i = 0; i < kSpareWindows; i++)
        if (Spare[i].Low <= n && n < Spare[i].Hi) return i;
    return -1;
}

// Takes the record GetFrs needs next (outside the window in use). Its bytes
// in a spare window, when one holds it (the window in use stays: the run
// comes back to it); else null, after the window in use was kept as a
// spare, for the caller to read the next one.
const BYTE *SpareRecord(LONGLONG n, BYTE *mftBuffer) {
    if (!bCacheMetadata || mftBuffer != VolData.pMftBuffer) return nullptr;
    if (!SpareWindowsValid()) return nullptr;  // a window GetFrs did not leave is not kept
    if (StoreHolds(n, 1)) return pStore + n * VolData.BytesPerFRS;
    int hit = SpareHolding(n);
    if (hit >= 0) {
        Spare[hit].Used = ++SpareClock;
        return SpareBytes(hit) + (n - Spare[hit].Low) * VolData.BytesPerFRS;
    }
    if (FileRecordLow < FileRecordHi) {
        int victim = 0;
        for (int i = 1; i < kSpareWindows; i++)
            if (Spare[i].Used < Spare[victim].Used) victim = i;
        memcpy(SpareBytes(victim), mftBuffer, MFT_WINDOW_BYTES);
        Spare[victim] = {FileRecordLow, FileRecordHi, ++SpareClock};
    }
    return nullptr;
}

}  // namespace

// Takes records [first, first + count). Their bytes as the disk holds them
// when the record cache (the window in use or a spare) holds them all;
// else null.
BYTE *CachedRecords(LONGLONG first, LONGLONG count) {
    LONGLONG frs = VolData.BytesPerFRS;
    if (VolData.pMftBuffer && FileRecordLow <= first && first + count <= FileRecordHi)
        return VolData.pMftBuffer + (first - FileRecordLow) * frs;
    if (!SpareWindowsValid()) return nullptr;
    if (StoreHolds(first, count)) return pStore + first * frs;
    for (SpareWindow &w : Spare)
        if (w.Low <= first && first + count <= w.Hi) return SpareBytes((int)(&w - Spare)) + (first - w.Low) * frs;
    return nullptr;
}

// Takes records [first, first + count) just written from `bytes` (as the
// disk now holds them). Every window of the record cache that holds them
// takes them; one that holds only some of them is dropped.
void RecordsWritten(LONGLONG first, LONGLONG count, const BYTE *bytes) {
    LONGLONG frs = VolData.BytesPerFRS;
    BOOL spares = SpareWindowsValid();
    if (VolData.pMftBuffer && FileRecordLow <= first && first + count <= FileRecordHi) {
        memcpy(VolData.pMftBuffer + (first - FileRecordLow) * frs, bytes, (size_t)(count * frs));
    } else if (first < FileRecordHi && FileRecordLow < first + count) {
        FileRecordLow = FileRecordHi = 0;
        spares = SpareWindowsValid();  // drops them with it
    }
    if (!spares) return;
    StorePut(first, count, bytes);
    for (int i = 0; i < kSpareWindows; i++) {
        SpareWindow &w = Spare[i];
        if (w.Low <= first && first + count <= w.Hi)
            memcpy(SpareBytes(i) + (first - w.Low) * frs, bytes, (size_t)(count * frs));
        else if (first < w.Hi && w.Low < first + count)
            w.Low = w.Hi = 0;
    }
}

// Takes nothing. With bCacheMetadata, allocates the spare windows of the
// record cache (once; setup calls it beside the MFT buffer). FALSE after the
// error report.
BOOL AllocateRecordCache(void) {
    if (!bCacheMetadata || pSpareWindows) return TRUE;
    if (!AllocateMemory((DWORD)(kSpareWindows * MFT_WINDOW_BYTES), &hSpareWindows, (void **)&pSpareWindows)) {
        ERROR_REPORT();
        return FALSE;
    }
    LeftLow = LeftHi = -1;  // nothing held yet
    // The store is a cache the run can do without.
    LONGLONG frs = VolData.BytesPerFRS, records = VolData.TotalFileRecords;
    if (frs > 0 && records > 0) {
        if (records > kStoreBytes / frs) records = kStoreBytes / frs;
        hStore = OptionalBlock(records * frs + (records / 32 + 1) * (LONGLONG)sizeof(ULONG));
        if (hStore) {
            pStore = (BYTE *)GlobalLock(hStore);
            pStoreHeld = (ULONG *)(pStore + records * frs);
            StoreRecords = records;
            StoreDrop();
        }
    }
    return TRUE;
}

// Drops the record cache with its spare windows and frees their memory.
void ForgetRecordCache(void) {
    FileRecordLow = FileRecordHi = 0;
    SpareWindowsValid();
    ReleaseMemory(&hSpareWindows, nullptr);
    pSpareWindows = nullptr;
    ReleaseMemory(&hStore, nullptr);
    pStore = nullptr;
    pStoreHeld = nullptr;
    StoreRecords = 0;
}

// Takes the record number to start at (in/out), the MFT extent list
// (VolData.MftExtentCount entries), the MFT bitmap (llMftBitmapBits bits),
// the 64 KB read cache and the caller's record buffer. Moves the number to
// the next in-use record at or above it; at the end of the MFT it stores
// TotalFileRecords and succeeds without touching the record. Otherwise it
// reads the record raw (through the cache [FileRecordLow, FileRecordHi)),
// removes its update-sequence protection and checks that it is in use.
BOOL GetFrs(LONGLONG *fileRecordNumber, EXTENT_LIST *mftExtentList, BYTE *mftBitmap, BYTE *mftBuffer,
            PFILE_RECORD_SEGMENT_HEADER fileRecord) {
    if (!fileRecordNumber || !mftBitmap || !mftBuffer || !fileRecord || *fileRecordNumber < 0) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG total = VolData.TotalFileRecords;
    LONGLONG bits = llMftBitmapBits < total ? llMftBitmapBits : total;
    LONGLONG n = *fileRecordNumber;
    while (n < bits) {
        if ((n & 7) == 0 && n + 8 <= bits && mftBitmap[n >> 3] == 0) {
            n += 8;  // a whole byte of free records
            continue;
        }
        if (mftBitmap[n >> 3] & (1 << (n & 7))) break;
        n++;
    }
    if (n >= bits) {
        *fileRecordNumber = total;  // no in-use record left: the caller sees the end
        return TRUE;
    }
    *fileRecordNumber = n;

    LONGLONG bpc = VolData.BytesPerCluster, frs = VolData.BytesPerFRS, cpf = VolData.ClustersPerFRS;
    const BYTE *source = nullptr;
    if (!(FileRecordLow <= n && n < FileRecordHi)) {
        if (bpc <= 0 || bpc > MFT_WINDOW_BYTES || frs < NTFS_MIN_FRS || frs > NTFS_MAX_FRS) {
            ERROR_REPORT();
            return FALSE;
        }
        LONGLONG recordsPerCluster, vcn;
        if (cpf) {
            if (cpf < 0 || cpf * bpc != frs) {
                ERROR_REPORT();
                return FALSE;
            }
            recordsPerCluster = 1;
            vcn = n * cpf;
        } else {
            recordsPerCluster = bpc / frs;
            if (recordsPerCluster == 0 || recordsPerCluster * frs != bpc) {
                ERROR_REPORT();
                return FALSE;
            }
            vcn = n / recordsPerCluster;
        }

        source = SpareRecord(n, mftBuffer);
        if (source) goto held;

        // The extent holding the record's first cluster.
        LONGLONG running = 0, i = 0;
        LONGLONG extents = mftExtentList ? VolData.MftExtentCount : 0;
        if (!FindMftExtent(mftExtentList, extents, vcn, &i, &running)) return FALSE;

        // The cache is refilled from here on: empty it first, so that a
        // failed read leaves no stale range behind.
        FileRecordLow = FileRecordHi = 0;
        LONGLONG clusters = MFT_WINDOW_BYTES / bpc;
        LONGLONG offset = vcn - running;
        LONGLONG read = 0;
        if (vcn + clusters <= running + mftExtentList[i].ClusterCount) {
            if (!DasdReadClusters(VolData.hVolume, mftExtentList[i].StartingLcn + offset, clusters, mftBuffer,
                                  VolData.BytesPerSector, bpc)) {
                ERROR_REPORT();
                return FALSE;
            }
            read = clusters;
        } else {
            while (read < clusters && i < extents) {
                if (mftExtentList[i].StartingLcn < 0 || mftExtentList[i].ClusterCount <= 0) {
                    ERROR_REPORT();
                    return FALSE;
                }
                if (!DasdReadClusters(VolData.hVolume, mftExtentList[i].StartingLcn + offset, 1, mftBuffer + read * bpc,
                                      VolData.BytesPerSector, bpc)) {
                    ERROR_REPORT();
                    return FALSE;
                }
                read++;
                if (++offset >= mftExtentList[i].ClusterCount) {
                    i++;
                    offset = 0;
                }
            }
        }
        LONGLONG low = n - n % recordsPerCluster;
        LONGLONG high = cpf ? low + read / cpf : low + read * recordsPerCluster;
        if (n >= high) {
            ERROR_REPORT();  // the MFT's extents end inside this record
            return FALSE;
        }
        FileRecordLow = LeftLow = low;
        FileRecordHi = LeftHi = high;
        if (bCacheMetadata && mftBuffer == VolData.pMftBuffer) StorePut(low, high - low, mftBuffer);
    }
    source = mftBuffer + (n - FileRecordLow) * frs;
held:
    memcpy(fileRecord, source, (size_t)frs);
    if (!AdjustUSA(fileRecord)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!(fileRecord->Flags & FILE_RECORD_IN_USE)) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Takes a record just read (BytesPerFRS bytes). When the last word of every
// 512-byte stride carries the USN, puts the saved words back and succeeds.
// Otherwise shows "AdjustUSA->Bad File Record" with VolData.FileRecordNumber,
// dumps the record and fails, leaving the record unchanged (a header that
// does not describe the record's strides fails the same way).
BOOL AdjustUSA(PFILE_RECORD_SEGMENT_HEADER fileRecord) {
    ULONG bytes = (ULONG)VolData.BytesPerFRS;
    BYTE *record = (BYTE *)fileRecord;
    BOOL valid = VolData.BytesPerFRS > 0 && VolData.BytesPerFRS <= NTFS_MAX_FRS && UsaHeaderValid(fileRecord, bytes);
    USHORT usn = 0;
    ULONG entries = 0;
    const BYTE *usa = nullptr;
    if (valid) {
        usa = record + fileRecord->UpdateSequenceArrayOffset;
        memcpy(&usn, usa, sizeof(usn));
        entries = fileRecord->UpdateSequenceArraySize;
        for (ULONG i = 1; i < entries; i++) {
            USHORT word;
            memcpy(&word, record + i * USA_STRIDE - sizeof(USHORT), sizeof(word));
            if (word != usn) {
                valid = FALSE;
                break;
            }
        }
    } else if (fileRecord && bytes >= USA_STRIDE &&
               (ULONG)fileRecord->UpdateSequenceArrayOffset + sizeof(USHORT) <= bytes) {
        memcpy(&usn, record + fileRecord->UpdateSequenceArrayOffset, sizeof(usn));
    }
    if (!valid) {
        // MemDump builds its lines in cOutline: give it a title of its own.
        WCHAR title[96];
        _snwprintf(title, 96, u"AdjustUSA->Bad File Record: %ld (Usn=%d)", (LONG)VolData.FileRecordNumber, (int)usn);
        title[95] = 0;
        wcscpy(cOutline, title);
        if (fileRecord) MemDump(fileRecord, (LONG)(bytes <= NTFS_MAX_FRS ? bytes : 0), title);
        return FALSE;
    }
    for (ULONG i = 1; i < entries; i++)
        memcpy(record + i * USA_STRIDE - sizeof(USHORT), usa + i * sizeof(USHORT), sizeof(USHORT));
    return TRUE;
}

// Takes a record about to be written (BytesPerFRS bytes). Saves the last
// word of every 512-byte stride into the update-sequence array and writes
// the USN there (the USN is not incremented). TRUE; a header that does not
// describe the record is reported and gives FALSE with nothing written.
BOOL EncodeUSA(PFILE_RECORD_SEGMENT_HEADER fileRecord) {
    ULONG bytes = (ULONG)VolData.BytesPerFRS;
    if (VolData.BytesPerFRS <= 0 || VolData.BytesPerFRS > NTFS_MAX_FRS || !UsaHeaderValid(fileRecord, bytes)) {
        ERROR_REPORT();
        return FALSE;
    }
    BYTE *record = (BYTE *)fileRecord;
    BYTE *usa = record + fileRecord->UpdateSequenceArrayOffset;
    ULONG entries = fileRecord->UpdateSequenceArraySize;
    for (ULONG i = 1; i < entries; i++) {
        BYTE *last = record + i * USA_STRIDE - sizeof(USHORT);
        memcpy(usa + i * sizeof(USHORT), last, sizeof(USHORT));
        memcpy(last, usa, sizeof(USHORT));
    }
    return TRUE;
}

// Takes nothing; needs hVolume, pFileRecord and the geometry. Loads the MFT's
// $BITMAP into a block under VolData.hMftBitmap (unlocked on return, kept
// for the run), at least large enough for TotalFileRecords bits, sets
// llMftBitmapBits and counts InUseFileRecords over whole bytes. Leaves the
// bitmap's extent list as the current file's.
BOOL GetMftBitmap(void) {
    LONGLONG frn = MFT_RECORD_MFT;
    if (!GetInUseFrs(VolData.hVolume, &frn, (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord,
                     (ULONG)VolData.BytesPerFRS) ||
        frn != MFT_RECORD_MFT) {
        ERROR_REPORT();
        return FALSE;
    }
    VolData.FileRecordNumber = MFT_RECORD_MFT;
    if (!GetExtentList(ATTR_BITMAP)) {
        ERROR_REPORT();
        return FALSE;
    }

    LONGLONG bpc = VolData.BytesPerCluster;
    LONGLONG size = 0;
    if (!AddProduct(&size, VolData.NumberOfClusters + 1, bpc)) size = LLONG_MAX;
    LONGLONG needed = VolData.TotalFileRecords / 8 + 8;
    if (size < needed) size = needed;
    if (size > 0x7FFFFFFF) {
        ERROR_REPORT();
        return FALSE;
    }
    BYTE *bitmap = nullptr;
    if (!AllocateMemory((DWORD)size, &VolData.hMftBitmap, (void **)&bitmap)) {
        ERROR_REPORT();
        return FALSE;
    }
    llMftBitmapBits = 0;
    BOOL ok = TRUE;
    LONGLONG at = 0;
    for (LONGLONG i = 0; ok && i < VolData.NumberOfExtents; i++) {
        EXTENT_LIST *e = &VolData.pExtentList[i];
        LONGLONG bytes = 0;
        if (e->StartingLcn < 0 || e->ClusterCount <= 0 || !AddProduct(&bytes, e->ClusterCount, bpc) ||
            at + bytes + bpc > size ||
            !DasdReadClusters(VolData.hVolume, e->StartingLcn, e->ClusterCount, bitmap + at, VolData.BytesPerSector,
                              bpc)) {
            ERROR_REPORT();
            ok = FALSE;
            break;
        }
        at += bytes;
    }
    if (ok) {
        llMftBitmapBits = size * 8;
        VolData.InUseFileRecords = 0;
        for (LONGLONG i = 0; i < VolData.TotalFileRecords / 8; i++)
            VolData.InUseFileRecords += CountBitsArray[bitmap[i]];
    }
    GlobalUnlock(VolData.hMftBitmap);
    return ok;
}

// Takes nothing; needs hVolume and pFileRecord. Reads record 10 through the
// file system and sets SystemAreaEnd to the end of its data's first extent.
// Leaves FileRecordNumber = 10 and that record's extent list current.
BOOL GetMftMirror(void) {
    VolData.FileRecordNumber = MFT_RECORD_UPCASE;
    if (!GetInUseFrs(VolData.hVolume, &VolData.FileRecordNumber, (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord,
                     (ULONG)VolData.BytesPerFRS) ||
        VolData.FileRecordNumber != MFT_RECORD_UPCASE) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!GetExtentList(ATTR_DATA) || VolData.NumberOfExtents < 1 || VolData.pExtentList[0].StartingLcn < 0) {
        ERROR_REPORT();
        return FALSE;
    }
    VolData.SystemAreaEnd = VolData.pExtentList[0].StartingLcn + VolData.pExtentList[0].ClusterCount;
    return TRUE;
}

// ======================================================== attribute lookup

// Takes a type, a record and its size. Walks the attributes from the first
// one; succeeds at the first of the type with it and its position (counted
// over every attribute passed). FALSE with a null attribute when the type is
// not there; a damaged attribute met on the way is also reported.
BOOL FindAttribute(ULONG type, PFILE_RECORD_SEGMENT_HEADER fileRecord, PATTRIBUTE_RECORD_HEADER *attribute,
                   ULONG recordSize, ULONG *position) {
    *attribute = nullptr;
    if (!fileRecord || recordSize < sizeof(FILE_RECORD_SEGMENT_HEADER)) {
        ERROR_REPORT();
        return FALSE;
    }
    ULONG offset = fileRecord->FirstAttributeOffset;
    for (ULONG index = 0;; index++) {
        WalkStatus status = WalkAt(fileRecord, recordSize, offset);
        if (status == WalkEnd) return FALSE;
        if (status == WalkDamaged) {
            ERROR_REPORT();
            return FALSE;
        }
        PATTRIBUTE_RECORD_HEADER a = (PATTRIBUTE_RECORD_HEADER)((BYTE *)fileRecord + offset);
        if (a->TypeCode == type) {
            *attribute = a;
            *position = index;
            return TRUE;
        }
        offset += a->RecordLength;
    }
}

// Takes a type, a record, an attribute of it and its position (both in/out)
// and the record size. Succeeds at the next attribute of the type after the
// given one, with its position. FALSE when there is none: the attribute and
// position are then left as given.
BOOL FindNextAttribute(ULONG type, PFILE_RECORD_SEGMENT_HEADER fileRecord, PATTRIBUTE_RECORD_HEADER *attribute,
                       ULONG recordSize, ULONG *position) {
    if (!fileRecord || !*attribute || (BYTE *)*attribute < (BYTE *)fileRecord) {
        ERROR_REPORT();
        return FALSE;
    }
    ULONG offset = OffsetIn(fileRecord, *attribute);
    if (!AttributeValid(fileRecord, recordSize, offset)) {
        ERROR_REPORT();
        return FALSE;
    }
    offset += (*attribute)->RecordLength;
    for (ULONG index = *position + 1;; index++) {
        WalkStatus status = WalkAt(fileRecord, recordSize, offset);
        if (status == WalkEnd) return FALSE;
        if (status == WalkDamaged) {
            ERROR_REPORT();
            return FALSE;
        }
        PATTRIBUTE_RECORD_HEADER a = (PATTRIBUTE_RECORD_HEADER)((BYTE *)fileRecord + offset);
        if (a->TypeCode == type) {
            *attribute = a;
            *position = index;
            return TRUE;
        }
        offset += a->RecordLength;
    }
}

// Takes a record, its size and an attribute of it (null: before the first).
// Steps to the next attribute, whatever its type: TRUE with it in
// *attribute; FALSE at the end of the attributes, with *damaged telling
// whether the walk stopped at a damaged attribute instead. No report.
BOOL StepAttribute(PFILE_RECORD_SEGMENT_HEADER fileRecord, ULONG recordSize, PATTRIBUTE_RECORD_HEADER *attribute,
                   BOOL *damaged) {
    *damaged = TRUE;
    if (!fileRecord || recordSize < sizeof(FILE_RECORD_SEGMENT_HEADER)) return FALSE;
    ULONG offset = fileRecord->FirstAttributeOffset;
    if (*attribute) {
        offset = OffsetIn(fileRecord, *attribute);
        if ((BYTE *)*attribute < (BYTE *)fileRecord || !AttributeValid(fileRecord, recordSize, offset)) return FALSE;
        offset += (*attribute)->RecordLength;
    }
    WalkStatus status = WalkAt(fileRecord, recordSize, offset);
    *damaged = status == WalkDamaged;
    if (status != WalkAttribute) return FALSE;
    *attribute = (PATTRIBUTE_RECORD_HEADER)((BYTE *)fileRecord + offset);
    return TRUE;
}

// Takes a type, a position, a record, an out attribute and the record size.
// Succeeds with the attribute at that position when it has the type; FALSE
// with a null attribute otherwise.
BOOL FindAttributeByIndex(ULONG type, ULONG position, PFILE_RECORD_SEGMENT_HEADER fileRecord,
                          PATTRIBUTE_RECORD_HEADER *attribute, ULONG recordSize) {
    *attribute = nullptr;
    if (!fileRecord || recordSize < sizeof(FILE_RECORD_SEGMENT_HEADER)) {
        ERROR_REPORT();
        return FALSE;
    }
    ULONG offset = fileRecord->FirstAttributeOffset;
    for (ULONG index = 0;; index++) {
        WalkStatus status = WalkAt(fileRecord, recordSize, offset);
        if (status == WalkEnd) return FALSE;
        if (status == WalkDamaged) {
            ERROR_REPORT();
            return FALSE;
        }
        PATTRIBUTE_RECORD_HEADER a = (PATTRIBUTE_RECORD_HEADER)((BYTE *)fileRecord + offset);
        if (index == position && a->TypeCode == type) {
            *attribute = a;
            return TRUE;
        }
        offset += a->RecordLength;
    }
}

// ================================================================ run lists

// Takes a non-resident attribute (accepted by AttributeValid), the bytes
// covered so far (in/out), the byte limit and a cluster total (in/out).
// Counts the runs while bytes covered < limit, sparse runs included; the
// clusters of runs with disk space are added to the total and, times the
// cluster size, to the bytes covered. Returns -1, changing nothing, for a
// malformed run list: a run past the attribute, a field size out of range,
// a length of 0 or less, a run outside the volume or an overflow.
LONGLONG GetExtentCount(PATTRIBUTE_RECORD_HEADER attribute, LONGLONG *bytesCovered, LONGLONG byteLimit,
                        LONGLONG *clusterTotal) {
    const BYTE *p, *end;
    if (!attribute || !MappingPairsBounds(attribute, &p, &end)) return -1;
    LONGLONG covered = *bytesCovered, clusters = 0, count = 0, lcn = 0;
    while (covered < byteLimit) {
        Run run;
        RunStatus status = DecodeRun(p, end, &run);
        if (status == RunEnd) break;
        if (status == RunBad) return -1;
        if (!run.sparse) {
            if (__builtin_add_overflow(lcn, run.offset, &lcn) || lcn < 0 || run.length > VolData.TotalClusters - lcn)
                return -1;
            clusters += run.length;
            if (!AddProduct(&covered, run.length, VolData.BytesPerCluster)) return -1;
        }
        count++;
        p += run.bytes;
    }
    *bytesCovered = covered;
    *clusterTotal += clusters;
    return count;
}

// Takes a non-resident attribute, an extent array of `capacity` entries and
// the carried index, next expected LCN, bytes covered and fragment count
// (all in/out), and the byte limit. Decodes the runs into the array from the
// index on while bytes covered < limit: StartingLcn (-1 for a sparse run) and
// ClusterCount; a run that does not start at the next expected LCN counts a
// fragment. Stops at the terminator, at a malformed run or at the capacity.
void AddToExtentList(PATTRIBUTE_RECORD_HEADER attribute, EXTENT_LIST *list, LONGLONG capacity, LONGLONG *nextIndex,
                     LONGLONG *nextLcn, LONGLONG *bytesCovered, LONGLONG byteLimit, LONGLONG *fragments) {
    const BYTE *p, *end;
    if (!attribute || !list || !MappingPairsBounds(attribute, &p, &end)) return;
    LONGLONG lcn = 0;
    while (*bytesCovered < byteLimit && *nextIndex >= 0 && *nextIndex < capacity) {
        Run run;
        if (DecodeRun(p, end, &run) != RunOk) break;
        EXTENT_LIST *e = &list[*nextIndex];
        if (!run.sparse) {
            if (__builtin_add_overflow(lcn, run.offset, &lcn)) break;
            if (lcn != *nextLcn) (*fragments)++;
            *nextLcn = lcn + run.length;
            e->StartingLcn = lcn;
        } else {
            e->StartingLcn = SPARSE_LCN;
        }
        e->ClusterCount = run.length;
        if (!AddProduct(bytesCovered, run.length, VolData.BytesPerCluster)) *bytesCovered = LLONG_MAX;
        (*nextIndex)++;
        p += run.bytes;
    }
}

// Takes an entry count; makes VolData.pExtentList hold at least that many
// entries (ExtentListBytes updated; contents kept, the grown tail zeroed).
// An allocation failure is reported; the list is then gone.
BOOL GrowExtentList(LONGLONG entries) {
    if (entries < 1 || entries > kMaxExtentEntries) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG bytes = entries * (LONGLONG)sizeof(EXTENT_LIST);
    if (VolData.pExtentList && VolData.hExtentList && VolData.ExtentListBytes >= bytes) return TRUE;
    if (!AllocateMemory((DWORD)bytes, &VolData.hExtentList, (void **)&VolData.pExtentList)) {
        VolData.pExtentList = nullptr;
        VolData.ExtentListBytes = 0;
        ERROR_REPORT();
        return FALSE;
    }
    VolData.ExtentListBytes = bytes;
    return TRUE;
}

// ============================================================ query family

// Takes an attribute type, or 0 to read record FileRecordNumber through the
// file system first (the number moves to the record returned) and use $DATA;
// with another type it works on the record in pFileRecord. Builds the
// current file's extent list (merged) and its counters and flags. FALSE
// without a report when the record lacks $STANDARD_INFORMATION or the type.
BOOL GetExtentList(ULONG type) {
    VolData.NumberOfExtents = 0;
    VolData.NumberOfFragments = 0;
    VolData.NumberOfClusters = 0;
    VolData.FileSize = 0;
    VolData.bFragmented = FALSE;
    VolData.bCompressed = FALSE;
    VolData.bDirectory = FALSE;
    VolData.bResident = FALSE;
    VolData.bNonResident = FALSE;
    VolData.bHugeFile = FALSE;
    VolData.bMegaFile = FALSE;

    PFILE_RECORD_SEGMENT_HEADER record = (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord;
    ULONG size = (ULONG)VolData.BytesPerFRS;
    if (type == 0) {
        if (!GetInUseFrs(VolData.hVolume, &VolData.FileRecordNumber, record, size)) {
            ERROR_REPORT();
            return FALSE;
        }
        type = ATTR_DATA;
    }
    if (!record) {
        ERROR_REPORT();
        return FALSE;
    }
    if (record->Flags & FILE_RECORD_DIRECTORY) {
        VolData.bDirectory = TRUE;
        type = ATTR_INDEX_ALLOCATION;
    }
    ULONG attributes = 0;
    if (!GetFileAttributesOfRecord(record, size, &attributes)) return FALSE;
    VolData.bCompressed = (attributes & FILE_ATTRIBUTE_COMPRESSED) ? TRUE : FALSE;

    PATTRIBUTE_RECORD_HEADER list = nullptr, attribute = nullptr;
    ULONG position = 0;
    if (!FindAttribute(ATTR_ATTRIBUTE_LIST, record, &list, size, &position)) {
        BOOL found = VolData.bDirectory ? FindTypeOrData(ATTR_INDEX_ALLOCATION, record, &attribute, size, &position)
                                        : FindAttribute(type, record, &attribute, size, &position);
        if (!found) return FALSE;
        if (!GetLargeFileExtentList(attribute)) {
            ERROR_REPORT();
            return FALSE;
        }
    } else if (list->FormCode != RESIDENT_FORM) {
        if (!GetMegaFileExtentList(list, type)) {
            ERROR_REPORT();
            return FALSE;
        }
        VolData.bMegaFile = TRUE;
    } else {
        if (!GetHugeFileExtentList(list, type)) {
            ERROR_REPORT();
            return FALSE;
        }
        VolData.bHugeFile = TRUE;
    }
    if (!CollapseExtentList()) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Takes the attribute of the current file in pFileRecord. Resident: FileSize
// and bResident, no extents. Non-resident: bNonResident, FileSize, and its
// runs as the extent list (NumberOfExtents, NumberOfClusters,
// NumberOfFragments). A malformed run list is reported.
BOOL GetLargeFileExtentList(PATTRIBUTE_RECORD_HEADER attribute) {
    if (attribute->FormCode == RESIDENT_FORM) {
        VolData.FileSize = attribute->Form.Resident.ValueLength;
        VolData.bResident = TRUE;
        VolData.bNonResident = FALSE;
        VolData.NumberOfExtents = 0;
        return TRUE;
    }
    VolData.bNonResident = TRUE;
    VolData.FileSize = attribute->Form.Nonresident.FileSize;
    LONGLONG limit = attribute->Form.Nonresident.AllocatedLength;
    LONGLONG covered = 0;
    LONGLONG count = GetExtentCount(attribute, &covered, limit, &VolData.NumberOfClusters);
    if (count < 0) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!GrowExtentList(count + 1)) return FALSE;
    LONGLONG index = 0, nextLcn = 0;
    covered = 0;
    AddToExtentList(attribute, VolData.pExtentList, VolData.ExtentListBytes / (LONGLONG)sizeof(EXTENT_LIST), &index,
                    &nextLcn, &covered, limit, &VolData.NumberOfFragments);
    VolData.NumberOfExtents = index;
    return TRUE;
}

namespace {

// How an attribute list is walked.
struct ListWalk {
    ULONG type;           // type asked for
    BOOL indexAlsoData;   // 0xA0 also matches 0x80 (query family)
    BOOL firstIsStdInfo;  // the first entry must be $STANDARD_INFORMATION and is skipped
    LONGLONG *records;    // where the matches' record numbers go, or null to count
    LONGLONG capacity;    // entries of records
    LONGLONG matches;     // out
};

// Walks the entries of an attribute-list value of `length` bytes. Stops at
// the end or at an entry of type 0. A damaged entry (shorter than an entry,
// running past the list, naming a record past the MFT) is reported.
BOOL WalkAttributeList(const BYTE *list, LONGLONG length, ListWalk *walk) {
    walk->matches = 0;
    LONGLONG at = 0;
    BOOL first = TRUE;
    while (at < length) {
        LONGLONG left = length - at;
        if (left < (LONGLONG)sizeof(ATTRIBUTE_LIST_ENTRY)) {
            ERROR_REPORT();
            return FALSE;
        }
        const ATTRIBUTE_LIST_ENTRY *entry = (const ATTRIBUTE_LIST_ENTRY *)(list + at);
        if (entry->AttributeTypeCode == 0 && !(first && walk->firstIsStdInfo)) break;
        if (entry->RecordLength < ATTRIBUTE_LIST_ENTRY_MIN || entry->RecordLength > left ||
            (ULONG)entry->AttributeNameOffset + entry->AttributeNameLength * sizeof(WCHAR) > entry->RecordLength) {
            ERROR_REPORT();
            return FALSE;
        }
        LONGLONG segment = AttributeListEntrySegment(entry);
        if (segment >= VolData.TotalFileRecords) {
            ERROR_REPORT();
            return FALSE;
        }
        if (first && walk->firstIsStdInfo) {
            if (entry->AttributeTypeCode != ATTR_STANDARD_INFORMATION) {
                ERROR_REPORT();
                return FALSE;
            }
        } else {
            ULONG t = entry->AttributeTypeCode;
            BOOL match =
                t == walk->type || (walk->indexAlsoData && walk->type == ATTR_INDEX_ALLOCATION && t == ATTR_DATA);
            if (match) {
                if (walk->records) {
                    if (walk->matches >= walk->capacity) {
                        ERROR_REPORT();
                        return FALSE;
                    }
                    walk->records[walk->matches] = segment;
                }
                walk->matches++;
            }
        }
        first = FALSE;
        at += entry->RecordLength;
    }
    return TRUE;
}

}  // namespace

// Takes an attribute-list value and its length, the type and the matching
// rule; collects the record numbers of the matching entries into a new block
// (*handle/*records, freed by the caller) and their count. FALSE after a
// report when the list is damaged or the block cannot be had.
static BOOL CollectListRecords(const BYTE *list, LONGLONG length, ULONG type, BOOL indexAlsoData, BOOL firstIsStdInfo,
                               HGLOBAL *handle, LONGLONG **records, LONGLONG *count) {
    ListWalk walk = {type, indexAlsoData, firstIsStdInfo, nullptr, 0, 0};
    *handle = nullptr;
    *records = nullptr;
    *count = 0;
    if (!WalkAttributeList(list, length, &walk)) return FALSE;
    if (walk.matches == 0) return TRUE;
    if (!AllocateMemory((DWORD)(walk.matches * sizeof(LONGLONG)), handle, (void **)records)) {
        ERROR_REPORT();
        return FALSE;
    }
    walk.records = *records;
    walk.capacity = walk.matches;
    if (!WalkAttributeList(list, length, &walk)) {
        ReleaseBlock(handle, *records);
        *records = nullptr;
        return FALSE;
    }
    *count = walk.matches;
    return TRUE;
}

// Takes a resident $ATTRIBUTE_LIST of the record in pFileRecord and a type
// (0xA0 also matches 0x80); builds the extent list from the records its
// matching entries name, in list order.
BOOL GetHugeFileExtentList(PATTRIBUTE_RECORD_HEADER attributeList, ULONG type) {
    const BYTE *value = ResidentValue(attributeList, 0);
    if (!value) {
        ERROR_REPORT();
        return FALSE;
    }
    HGLOBAL handle;
    LONGLONG *records, count;
    if (!CollectListRecords(value, attributeList->Form.Resident.ValueLength, type, TRUE, FALSE, &handle, &records,
                            &count))
        return FALSE;
    BOOL ok = GetExtentListFromMultipleFileRecords(records, count, type);
    ReleaseBlock(&handle, records);
    return ok;
}

// Takes a non-resident $ATTRIBUTE_LIST; reads its valid data (at most
// MAX_ATTRIBUTE_LIST_BYTES) into a new block (*handle/*data, freed by the
// caller) and gives its length. The list's clusters are added to *clusters.
// Succeeds with no block when the list has no runs.
BOOL ReadAttributeList(PATTRIBUTE_RECORD_HEADER attributeList, HGLOBAL *handle, BYTE **data, LONGLONG *length,
                       LONGLONG *clusters) {
    *handle = nullptr;
    *data = nullptr;
    *length = 0;
    LONGLONG valid = attributeList->Form.Nonresident.ValidDataLength;
    if (valid < 0 || valid > MAX_ATTRIBUTE_LIST_BYTES) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG covered = 0, listClusters = 0;
    LONGLONG count = GetExtentCount(attributeList, &covered, valid, &listClusters);
    if (count < 0) {
        ERROR_REPORT();
        return FALSE;
    }
    *clusters += listClusters;
    if (count == 0) return TRUE;

    // The list's runs, then its clusters one run after the other.
    HGLOBAL runHandle = nullptr;
    EXTENT_LIST *runs = nullptr;
    if (!AllocateMemory((DWORD)((count + 1) * sizeof(EXTENT_LIST)), &runHandle, (void **)&runs)) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG index = 0, nextLcn = 0, fragments = 0;
    covered = 0;
    AddToExtentList(attributeList, runs, count, &index, &nextLcn, &covered, valid, &fragments);
    LONGLONG bpc = VolData.BytesPerCluster;
    LONGLONG bytes = listClusters * bpc;
    BOOL ok = bytes > 0 && bytes <= MAX_ATTRIBUTE_LIST_BYTES + NTFS_MAX_CLUSTER &&
              AllocateMemory((DWORD)(bytes + VolData.BytesPerSector), handle, (void **)data);
    LONGLONG at = 0;
    for (LONGLONG i = 0; ok && i < index; i++) {
        if (runs[i].StartingLcn < 0 || at + runs[i].ClusterCount * bpc > bytes ||
            !DasdReadClusters(VolData.hVolume, runs[i].StartingLcn, runs[i].ClusterCount, *data + at,
                              VolData.BytesPerSector, bpc))
            ok = FALSE;
        else
            at += runs[i].ClusterCount * bpc;
    }
    ReleaseBlock(&runHandle, runs);
    if (!ok) {
        ERROR_REPORT();
        ReleaseBlock(handle, *data);
        *data = nullptr;
        return FALSE;
    }
    *length = valid < at ? valid : at;
    return TRUE;
}

// Takes a non-resident $ATTRIBUTE_LIST of the record in pFileRecord and a
// type (0xA0 also matches 0x80); reads the list and builds the extent list
// from the records its matching entries name. A list without runs gives
// success with nothing done.
BOOL GetMegaFileExtentList(PATTRIBUTE_RECORD_HEADER attributeList, ULONG type) {
    HGLOBAL listHandle;
    BYTE *list;
    LONGLONG length;
    if (!ReadAttributeList(attributeList, &listHandle, &list, &length, &VolData.NumberOfClusters)) return FALSE;
    if (!list) return TRUE;
    HGLOBAL handle;
    LONGLONG *records, count;
    BOOL ok = CollectListRecords(list, length, type, TRUE, FALSE, &handle, &records, &count);
    ReleaseBlock(&listHandle, list);
    if (!ok) return FALSE;
    ok = GetExtentListFromMultipleFileRecords(records, count, type);
    ReleaseBlock(&handle, records);
    return ok;
}

// Takes record numbers (count of them, in list order) and a type. Reads each
// record through the file system (a number equal to the previous one takes
// the next attribute of the type from the record already loaded) and
// appends the runs of its attribute of the type (0xA0: or else 0x80) to the
// extent list; fragments are counted across records. FileSize and the byte
// limit come from the first piece. A record other than the base record
// (FileRecordNumber) that is not one of its extension records shows a
// damaged list: reported, FALSE.
BOOL GetExtentListFromMultipleFileRecords(LONGLONG *records, LONGLONG count, ULONG type) {
    VolData.NumberOfClusters = 0;
    VolData.NumberOfExtents = 0;
    VolData.NumberOfFragments = 0;
    HGLOBAL handle = nullptr;
    PFILE_RECORD_SEGMENT_HEADER record = nullptr;
    if (!AllocateMemory((DWORD)(VolData.BytesPerFRS + VolData.BytesPerSector), &handle, (void **)&record)) {
        ERROR_REPORT();
        return FALSE;
    }
    ULONG size = (ULONG)VolData.BytesPerFRS;
    LONGLONG previous = -1, index = 0, nextLcn = 0, countCovered = 0, decodeCovered = 0, limit = 0;
    BOOL first = TRUE, ok = TRUE;
    PATTRIBUTE_RECORD_HEADER attribute = nullptr;
    ULONG position = 0;
    for (LONGLONG r = 0; ok && r < count; r++) {
        if (records[r] == previous && attribute) {
            if (!FindNextTypeOrData(type, record, &attribute, size, &position)) continue;
        } else {
            LONGLONG n = records[r];
            if (!GetInUseFrs(VolData.hVolume, &n, record, size) || n != records[r] ||
                !SegmentOfFile(record, n, VolData.FileRecordNumber)) {
                ERROR_REPORT();
                ok = FALSE;
                break;
            }
            previous = records[r];
            if (!FindTypeOrData(type, record, &attribute, size, &position)) {
                ERROR_REPORT();
                ok = FALSE;
                break;
            }
        }
        BOOL found = TRUE;
        while (attribute->FormCode == RESIDENT_FORM) {
            if (!FindNextTypeOrData(type, record, &attribute, size, &position)) {
                found = FALSE;
                break;
            }
        }
        if (!found) continue;
        if (first) {
            VolData.FileSize = attribute->Form.Nonresident.FileSize;
            limit = attribute->Form.Nonresident.AllocatedLength;
            first = FALSE;
        }
        LONGLONG runs = GetExtentCount(attribute, &countCovered, limit, &VolData.NumberOfClusters);
        if (runs < 0) {
            ERROR_REPORT();
            ok = FALSE;
            break;
        }
        if (runs == 0) continue;
        if (!GrowExtentList(index + runs + 1)) {
            ok = FALSE;
            break;
        }
        AddToExtentList(attribute, VolData.pExtentList, VolData.ExtentListBytes / (LONGLONG)sizeof(EXTENT_LIST), &index,
                        &nextLcn, &decodeCovered, limit, &VolData.NumberOfFragments);
    }
    ReleaseBlock(&handle, record);
    if (!ok) return FALSE;
    VolData.NumberOfExtents = index;
    return TRUE;
}

// Takes nothing; needs hVolume and pFileRecord. Builds the MFT's extent
// list (record 0's $DATA, merged, FileSize = its size) followed by one more
// entry for the system-file area: from the first cluster of the MFT mirror
// (record 1) to the end of the first extent of record 10's data.
// NumberOfExtents counts that last entry; FileRecordNumber is left at 0.
BOOL GetSystemsExtentList(void) {
    PFILE_RECORD_SEGMENT_HEADER record = (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord;
    ULONG size = (ULONG)VolData.BytesPerFRS;

    LONGLONG n = MFT_RECORD_MIRROR;
    if (!GetInUseFrs(VolData.hVolume, &n, record, size) || n != MFT_RECORD_MIRROR) {
        ERROR_REPORT();
        return FALSE;
    }
    VolData.FileRecordNumber = MFT_RECORD_MIRROR;
    if (!GetExtentList(ATTR_DATA) || VolData.NumberOfExtents < 1 || VolData.pExtentList[0].StartingLcn < 0) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG areaStart = VolData.pExtentList[0].StartingLcn;

    n = MFT_RECORD_UPCASE;
    if (!GetInUseFrs(VolData.hVolume, &n, record, size) || n != MFT_RECORD_UPCASE) {
        ERROR_REPORT();
        return FALSE;
    }
    VolData.FileRecordNumber = MFT_RECORD_UPCASE;
    if (!GetExtentList(ATTR_DATA) || VolData.NumberOfExtents < 1 || VolData.pExtentList[0].StartingLcn < 0) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG areaEnd = VolData.pExtentList[0].StartingLcn + VolData.pExtentList[0].ClusterCount;

    n = MFT_RECORD_MFT;
    if (!GetInUseFrs(VolData.hVolume, &n, record, size) || n != MFT_RECORD_MFT) {
        ERROR_REPORT();
        return FALSE;
    }
    VolData.FileRecordNumber = MFT_RECORD_MFT;
    if (!GetExtentList(ATTR_DATA) || VolData.NumberOfExtents < 1) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!GrowExtentList(VolData.NumberOfExtents + 2)) return FALSE;
    EXTENT_LIST *area = &VolData.pExtentList[VolData.NumberOfExtents];
    memset(area, 0, sizeof(*area));
    area->StartingLcn = areaStart;
    area->ClusterCount = areaEnd - areaStart;
    VolData.NumberOfExtents++;
    return TRUE;
}
