// The NTFS move engine: moves clusters to free runs without help from the
// file system, by marking the volume bitmap, copying the clusters raw,
// rewriting the mapping pairs of the records that describe them and writing
// the records back into the MFT. Three movers share it: a whole file's data
// (NTFSMoveFile), a record's other non-resident attributes (NTFSMoveAttrib)
// and one single extent of a file (NTFSMoveExtent, used on the MFT's own
// extents); after a change to record 0 the MFT extent list is refreshed
// (SaveMFTExtentList) and the MFT mirror kept in step (SyncNTFSMirror).
//
// Every mover is a loop over groups: the runs of one attribute record (same
// record, attribute type and position), whose mapping pairs are rewritten
// as a whole. MoveGroup is the one home of the write order of a group, the
// safety promise of the engine:
//   1. the destination is marked in use and the bitmap written;
//   2. the data is copied;
//   3. the record is rewritten to point at the copy;
//   4. the source is marked free and the bitmap written.
// Each write of the bitmap leaves the disk holding every bit in memory; with
// a copy of the disk's bitmap kept (bitcache.cpp) it sends only the sectors
// whose bits changed, which leaves the disk as a write of all of it would.
// Stopped between any two writes, no record points at clusters the bitmap
// calls free or at clusters that do not yet hold its data; the worst left
// behind is clusters marked in use that no record references.
//
// Rules that keep that promise where a literal reading would not:
//   - the bitmap is put back to what the disk holds before every group
//     (from the copy, or read again), so that nothing a caller marked in
//     memory only (the MFT area closed for a search) is ever written to the
//     volume's bitmap;
//   - the bitmap file is read in whole clusters and written in whole
//     clusters or sectors, but only those that hold bits of the volume are
//     written, every copy between the bitmap block and the staging buffer is
//     bounded by the block, and the bits past the last cluster (and any
//     bytes after them in the last cluster or sector written) are written
//     back as the disk holds them;
//   - a file with runs without disk space keeps them: its runs are written
//     one per extent entry, never folded into one run;
//   - every record written gets a new update sequence number, so that a
//     record written in several requests and stopped half way fails the
//     update-sequence check instead of reading as a mix of two versions;
//   - record 0 is copied to the MFT mirror right after it is written, before
//     anything else: the mirror can be out of step with record 0 only while
//     the one write of the mirror is under way.
#include "ntfs.h"

#include <climits>
#include <cstring>

namespace {

const WCHAR kMoveFile[] = u"NTFSMoveFile";
const WCHAR kMoveAttrib[] = u"NTFSMoveAttrib";
const WCHAR kMoveExtent[] = u"NTFSMoveExtent";
const WCHAR kWriteFrs[] = u"WriteUpdatedFRS";
const LONGLONG kBitmapHeaderBytes = 16;  // starting LCN, bitmap size
const LONGLONG kTransferBytes = 65536;   // data moves and bitmap chunks
const LONG kMoveLineChars = 76;          // the move line is cut here, before " >>" or " <<"

// The MFT bitmap's address: it stays valid once locked and unlocked again.
BYTE *MftBitmapAddress(void) {
    BYTE *bitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
    if (bitmap) GlobalUnlock(VolData.hMftBitmap);
    return bitmap;
}

// The cluster geometry every raw transfer here relies on.
BOOL ClusterGeometryValid(void) {
    LONGLONG bps = VolData.BytesPerSector, bpc = VolData.BytesPerCluster;
    return bps > 0 && bpc > 0 && bpc <= kTransferBytes && bpc % bps == 0 && VolData.TotalClusters > 0;
}

// Locks the volume bitmap block after checking its geometry. Returns the
// block and, in *bitBytes, the bytes of bits that may be touched: the block
// after its header, and no more than BitmapSizeBits / 8. Null after the
// error report. The caller unlocks.
BYTE *LockBitmapBlock(LONGLONG *bitBytes) {
    HGLOBAL block = VolData.hVolumeBitmap;
    LONGLONG bits = VolData.BitmapSizeBits;
    if (!block || bits <= 0 || bits % 32 != 0 || VolData.TotalClusters <= 0 || VolData.TotalClusters > bits) {
        ERROR_REPORT();
        return nullptr;
    }
    LONGLONG size = (LONGLONG)GlobalSize(block);
    if (size < kBitmapHeaderBytes) {
        ERROR_REPORT();
        return nullptr;
    }
    BYTE *address = (BYTE *)GlobalLock(block);
    if (!address) {
        ERROR_REPORT();
        return nullptr;
    }
    LONGLONG room = size - kBitmapHeaderBytes;
    *bitBytes = room < bits / 8 ? room : bits / 8;
    return address;
}

// The extents of the bitmap file, checked; their total in bytes goes to
// *bytes. FALSE after the error report for a missing or damaged list.
BOOL BitmapExtentsValid(LONGLONG *bytes) {
    *bytes = 0;
    if (!pVolumeBitMapExtent || llVolumeBitMapExtents <= 0) {
        ERROR_REPORT();
        return FALSE;
    }
    for (LONGLONG i = 0; i < llVolumeBitMapExtents; i++) {
        const EXTENT_LIST *e = &pVolumeBitMapExtent[i];
        if (e->StartingLcn < 0 || e->ClusterCount <= 0 || e->ClusterCount > VolData.TotalClusters - e->StartingLcn) {
            ERROR_REPORT();
            return FALSE;
        }
        *bytes += e->ClusterCount * VolData.BytesPerCluster;
    }
    return TRUE;
}

LONGLONG ClustersFor(LONGLONG bytes) { return (bytes + VolData.BytesPerCluster - 1) / VolData.BytesPerCluster; }

// Checks what a transfer between the bitmap block and the bitmap file needs
// (geometry, pMoveBuffer, the file's extents, room in both for the bits of
// every cluster of the volume) and locks the block. Returns it and, in
// *bitBytes, what LockBitmapBlock gives. Null after the error report; the
// caller unlocks.
BYTE *LockBitmapForTransfer(LONGLONG *bitBytes) {
    LONGLONG fileBytes = 0;
    if (!ClusterGeometryValid() || !pMoveBuffer || !BitmapExtentsValid(&fileBytes)) {
        ERROR_REPORT();
        return nullptr;
    }
    BYTE *block = LockBitmapBlock(bitBytes);
    if (!block) return nullptr;
    LONGLONG usedBytes = (VolData.TotalClusters + 7) / 8;
    if (usedBytes > *bitBytes || usedBytes > fileBytes) {
        GlobalUnlock(VolData.hVolumeBitmap);
        ERROR_REPORT();
        return nullptr;
    }
    return block;
}

// Sum of ClusterCount over the entries with disk space in [first, last].
LONGLONG ClustersWithSpace(const EXTENT_LIST *list, LONGLONG first, LONGLONG last) {
    LONGLONG clusters = 0;
    for (LONGLONG i = first; i <= last; i++)
        if (list[i].StartingLcn >= 0) clusters += list[i].ClusterCount;
    return clusters;
}

// The update sequence number after `usn`; 0 and 0xFFFF are never used.
USHORT NextUsn(USHORT usn) {
    USHORT next = (USHORT)(usn + 1);
    if (next == 0xFFFF || next == 0) next = 1;
    return next;
}

USHORT UsnOf(const BYTE *record) {
    USHORT usn;
    memcpy(&usn, record + ((const FILE_RECORD_SEGMENT_HEADER *)record)->UpdateSequenceArrayOffset, sizeof usn);
    return usn;
}

void SetUsn(BYTE *record, USHORT usn) {
    memcpy(record + ((FILE_RECORD_SEGMENT_HEADER *)record)->UpdateSequenceArrayOffset, &usn, sizeof usn);
}

BOOL IsFileRecord(const BYTE *record) {
    return ((const FILE_RECORD_SEGMENT_HEADER *)record)->Signature == NTFS_RECORD_SIGNATURE;
}

// Reads (write FALSE) or writes one MFT unit of `clusters` clusters starting
// at MFT VCN `vcn` through pFrsBuffer: in one request when it lies inside
// one extent, else cluster by cluster across the extents. Traces as the
// record writer announces them. FALSE after the error report.
BOOL TransferMftUnit(LONGLONG vcn, LONGLONG clusters, BOOL write) {
    LONGLONG bpc = VolData.BytesPerCluster;
    LONGLONG running = 0, i = 0;
    if (!FindMftExtent(VolData.pMftExtentList, VolData.MftExtentCount, vcn, &i, &running)) return FALSE;
    const EXTENT_LIST *e = &VolData.pMftExtentList[i];
    if (vcn + clusters <= running + e->ClusterCount) {
        TRACE(8, kWriteFrs, write ? u"(Wr)FRS contained in extent" : u"(Rd)FRS contained in extent");
        LONGLONG lcn = e->StartingLcn + (vcn - running);
        BOOL ok = write ? DasdWriteClusters(VolData.hVolume, lcn, clusters, pFrsBuffer, VolData.BytesPerSector, bpc)
                        : DasdReadClusters(VolData.hVolume, lcn, clusters, pFrsBuffer, VolData.BytesPerSector, bpc);
        if (!ok) {
            ERROR_REPORT();
            return FALSE;
        }
        return TRUE;
    }
    TRACE(8, kWriteFrs, write ? u"(Wr)FRS crossed extent boundary" : u"(Rd)FRS crossed extent boundary");
    LONGLONG offset = vcn - running;
    for (LONGLONG done = 0; done < clusters; done++) {
        if (i >= VolData.MftExtentCount || VolData.pMftExtentList[i].StartingLcn < 0 ||
            VolData.pMftExtentList[i].ClusterCount <= 0) {
            ERROR_REPORT();  // the MFT's extents end inside the unit
            return FALSE;
        }
        LONGLONG lcn = VolData.pMftExtentList[i].StartingLcn + offset;
        BYTE *at = pFrsBuffer + done * bpc;
        BOOL ok = write ? DasdWriteClusters(VolData.hVolume, lcn, 1, at, VolData.BytesPerSector, bpc)
                        : DasdReadClusters(VolData.hVolume, lcn, 1, at, VolData.BytesPerSector, bpc);
        if (!ok) {
            ERROR_REPORT();
            return FALSE;
        }
        if (++offset >= VolData.pMftExtentList[i].ClusterCount) {
            i++;
            offset = 0;
        }
    }
    return TRUE;
}

// Checks that the non-resident attribute's mapping pairs still describe
// exactly the entries [first, last] as they were read (SourceLcn and
// ClusterCount, sparse runs included), so that a record is never rewritten
// from a list that does not belong to it. FALSE after the error report.
BOOL RunsMatchList(PATTRIBUTE_RECORD_HEADER attribute, const EXTENT_LIST *list, LONGLONG first, LONGLONG last) {
    LONGLONG covered = 0, clusters = 0;
    LONGLONG count = GetExtentCount(attribute, &covered, LLONG_MAX, &clusters);
    if (count != last - first + 1) {
        ERROR_REPORT();
        return FALSE;
    }
    HGLOBAL handle = nullptr;
    EXTENT_LIST *runs = nullptr;
    if (!AllocateMemory((DWORD)((count + 1) * sizeof(EXTENT_LIST)), &handle, (void **)&runs)) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG index = 0, nextLcn = 0, fragments = 0;
    covered = 0;
    AddToExtentList(attribute, runs, count, &index, &nextLcn, &covered, LLONG_MAX, &fragments);
    BOOL same = index == count;
    for (LONGLONG i = 0; same && i < count; i++) {
        const EXTENT_LIST *want = &list[first + i];
        LONGLONG lcn = want->SourceLcn < 0 ? SPARSE_LCN : want->SourceLcn;
        same = runs[i].StartingLcn == lcn && runs[i].ClusterCount == want->ClusterCount;
    }
    GlobalUnlock(handle);
    GlobalFree(handle);
    if (!same) ERROR_REPORT();
    return same;
}

// Checks that the entries [first, last] are where a group move leaves them
// before their record is rewritten: each entry with disk space either still
// at its place as read (StartingLcn = SourceLcn) or copied, the copied ones
// back to back from `destination` in entry order and `clusters` in all. A
// record may only point where the copies were made. *holes tells whether
// the range has runs without disk space. FALSE after the error report.
BOOL RunsAsCopied(const EXTENT_LIST *list, LONGLONG first, LONGLONG last, LONGLONG destination, LONGLONG clusters,
                  BOOL *holes) {
    *holes = FALSE;
    LONGLONG expected = destination;
    for (LONGLONG i = first; i <= last; i++) {
        if (list[i].StartingLcn < 0) {
            *holes = TRUE;
            continue;
        }
        if (list[i].StartingLcn == list[i].SourceLcn) continue;
        if (list[i].StartingLcn != expected) {
            ERROR_REPORT();
            return FALSE;
        }
        expected += list[i].ClusterCount;
    }
    if (expected - destination != clusters) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Rewrites the mapping pairs of the piece [first, last] of the current
// file's extent list in `record` (record number `recordNumber`) and puts
// the record back into the MFT. The attribute is the record's first
// $INDEX_ALLOCATION for a directory, else its first $DATA, and must be the
// one the entries were read from. A directory, a compressed file or a piece
// with runs without disk space is written one run per entry (from the
// entries' new StartingLcn); any other piece as one run of `clusters`
// clusters at `destination`. FALSE after the error report; *written (when
// given) tells whether the write of the record began.
BOOL RewritePiece(PFILE_RECORD_SEGMENT_HEADER record, LONGLONG recordNumber, LONGLONG destination, LONGLONG clusters,
                  LONGLONG first, LONGLONG last, BOOL *written) {
    const EXTENT_LIST *list = VolData.pExtentList;
    ULONG size = (ULONG)VolData.BytesPerFRS;
    ULONG type = VolData.bDirectory ? ATTR_INDEX_ALLOCATION : ATTR_DATA;
    PATTRIBUTE_RECORD_HEADER attribute = nullptr;
    ULONG position = 0;
    if (!FindAttribute(type, record, &attribute, size, &position)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (attribute->FormCode == RESIDENT_FORM || list[first].AttributeType != type ||
        list[first].AttributeIndex != position) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!RunsMatchList(attribute, list, first, last)) return FALSE;
    BOOL holes = FALSE;
    if (!RunsAsCopied(list, first, last, destination, clusters, &holes)) return FALSE;
    if (VolData.bDirectory || VolData.bCompressed || holes) {
        if (!ReplaceMappingPairs(record, attribute, &list[first], last - first + 1)) {
            ERROR_REPORT();
            return FALSE;
        }
    } else {
        EXTENT_LIST single;
        memset(&single, 0, sizeof single);
        single.StartingLcn = destination;
        single.ClusterCount = clusters;
        if (!ReplaceMappingPairs(record, attribute, &single, 1)) {
            ERROR_REPORT();
            return FALSE;
        }
    }
    if (!WriteUpdatedFRS(record, recordNumber, written)) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Reads every record other than the base record (FileRecordNumber) that
// holds runs of the entries [0, count) and checks that it is one of the
// base record's extension records. A damaged attribute list can name
// another file's record; the move is refused before anything is written
// rather than rewriting that record. FALSE after the error report.
BOOL PieceRecordsOfFile(const EXTENT_LIST *list, LONGLONG count) {
    BYTE *bitmap = MftBitmapAddress();
    if (!bitmap || VolData.BytesPerFRS < NTFS_MIN_FRS || VolData.BytesPerFRS > NTFS_MAX_FRS) {
        ERROR_REPORT();
        return FALSE;
    }
    BYTE buffer[NTFS_MAX_FRS];
    PFILE_RECORD_SEGMENT_HEADER record = (PFILE_RECORD_SEGMENT_HEADER)buffer;
    for (LONGLONG i = 0; i < count; i++) {
        LONGLONG number = list[i].FileRecord;
        if (number == VolData.FileRecordNumber || (i > 0 && number == list[i - 1].FileRecord)) continue;
        LONGLONG n = number;
        if (!GetFrs(&n, VolData.pMftExtentList, bitmap, VolData.pMftBuffer, record) || n != number ||
            !SegmentOfFile(record, number, VolData.FileRecordNumber)) {
            ERROR_REPORT();
            return FALSE;
        }
    }
    return TRUE;
}

}  // namespace

// ============================================================ screen line

// Takes the start of a move line already formatted in cOutline; pads it
// with cPad, cuts it to 76 characters (its leading "\r" included), ends it
// with " <<" when the destination lies before the thing moved (towardFront)
// or " >>" otherwise, and shows it with ShowMessage. Leaves the line in
// cOutline.
void ShowMoveLine(BOOL towardFront) {
    cOutline[OUTLINE_CHARS - 1] = 0;
    size_t length = wcslen(cOutline);
    if (length < (size_t)kMoveLineChars) {
        wcsncat(cOutline, cPad, (size_t)kMoveLineChars - length);
    }
    cOutline[kMoveLineChars] = 0;
    wcscat(cOutline, towardFront ? u" <<" : u" >>");
    ShowMessage(cOutline);
}

// ========================================================== bitmap marking

// Takes a first LCN, a cluster count and the state to give them (TRUE: in
// use). Flips the clusters' bits in the in-memory volume bitmap, from the
// LCN upward; FALSE at the first one already in that state (the ones before
// it stay changed in memory until the next DirectReadVolumeBitmap). A
// negative LCN (a run without disk space) succeeds with nothing changed. A
// range outside the volume or the block is reported and changes nothing.
// The bitmap on disk is not touched.
static BOOL MarkClusters(LONGLONG lcn, LONGLONG clusters, BOOL inUse) {
    if (lcn < 0) return TRUE;
    if (clusters < 0 || lcn > VolData.TotalClusters || clusters > VolData.TotalClusters - lcn) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG bitBytes = 0;
    BYTE *block = LockBitmapBlock(&bitBytes);
    if (!block) return FALSE;
    if (lcn + clusters > bitBytes * 8) {
        GlobalUnlock(VolData.hVolumeBitmap);
        ERROR_REPORT();
        return FALSE;
    }
    BYTE *bits = block + kBitmapHeaderBytes;
    BOOL ok = TRUE;
    VolumeBitsChanging(lcn, lcn + clusters);
    LONGLONG c = lcn;
    for (; c < lcn + clusters; c++) {
        BYTE mask = (BYTE)(1u << (c % 8));
        if (((bits[c / 8] & mask) != 0) == (inUse != FALSE)) {
            ok = FALSE;
            break;
        }
        bits[c / 8] ^= mask;
    }
    VolumeBitsChanged(lcn, c, !inUse);
    GlobalUnlock(VolData.hVolumeBitmap);
    return ok;
}

// Marks the clusters in use in the in-memory bitmap; FALSE at the first one
// already in use (see MarkClusters).
BOOL MarkDestAllocated(LONGLONG lcn, LONGLONG clusters) { return MarkClusters(lcn, clusters, TRUE); }

// Marks the clusters free in the in-memory bitmap; FALSE at the first one
// already free (see MarkClusters).
BOOL MarkDestUnallocated(LONGLONG lcn, LONGLONG clusters) { return MarkClusters(lcn, clusters, FALSE); }

// Takes an extent array, its entry count and an index range; frees the
// source clusters (SourceLcn, ClusterCount) of every entry in the range in
// the in-memory bitmap. An entry count of 0 succeeds at once. A refusal (a
// source cluster already free) or a bad range is reported.
BOOL MarkFileUnallocated(EXTENT_LIST *list, LONGLONG count, LONGLONG first, LONGLONG last) {
    if (count == 0) return TRUE;
    if (!list || count < 0 || first < 0 || last < first || last >= count) {
        ERROR_REPORT();
        return FALSE;
    }
    for (LONGLONG i = first; i <= last; i++) {
        if (!MarkDestUnallocated(list[i].SourceLcn, list[i].ClusterCount)) {
            ERROR_REPORT();
            return FALSE;
        }
    }
    return TRUE;
}

// ====================================================== bitmap file I/O

// Where byte `at` of the bitmap file lies on the volume: *sector, counted from
// the start of the volume, and *contiguous, the bytes of the file from there
// to the end of its extent. FALSE past the file's extents.
static BOOL BitmapFileByteOnVolume(LONGLONG at, LONGLONG *sector, LONGLONG *contiguous) {
    LONGLONG bpc = VolData.BytesPerCluster, before = 0;
    for (LONGLONG i = 0; i < llVolumeBitMapExtents; i++) {
        LONGLONG bytes = pVolumeBitMapExtent[i].ClusterCount * bpc;
        if (at < before + bytes) {
            *sector = (pVolumeBitMapExtent[i].StartingLcn * bpc + at - before) / VolData.BytesPerSector;
            *contiguous = before + bytes - at;
            return TRUE;
        }
        before += bytes;
    }
    return FALSE;
}

// The write of WriteVolumeBitmap when a copy of the disk's bitmap is kept:
// only the sectors of the bitmap file whose bits differ from the copy, in
// ascending order, neighbours on the volume in one request of up to 64 KB
// staged through pMoveBuffer. The copy follows every write. FALSE after the
// error report; the sectors before a failed write are written.
static BOOL WriteChangedBitmapSectors(void) {
    LONGLONG bps = VolData.BytesPerSector;
    LONGLONG usedBytes = (VolData.TotalClusters + 7) / 8;  // bytes holding any volume cluster
    LONGLONG runFirst = 0, runBytes = 0, runSector = 0, runRoom = 0, next = 0;
    auto flush = [&]() {
        if (runBytes == 0) return TRUE;
        BOOL ok = DasdStoreSectors(VolData.hVolume, runSector, runBytes / bps, bps, pMoveBuffer);
        if (ok) VolumeBitmapBytesWritten(runFirst, runBytes, pMoveBuffer);
        runBytes = 0;
        return ok;
    };
    for (LONGLONG u = NextVolumeBitmapUnitToWrite(-1); u >= 0; u = NextVolumeBitmapUnitToWrite(u)) {
        LONGLONG unitEnd = (u + 1) * VOLUME_BITMAP_UNIT_BYTES;
        for (LONGLONG at = u * VOLUME_BITMAP_UNIT_BYTES / bps * bps; at < unitEnd && at < usedBytes; at += bps) {
            if (at < next) continue;
            next = at + bps;
            if (runBytes > 0 && (at != runFirst + runBytes || runBytes + bps > kTransferBytes || runBytes >= runRoom) &&
                !flush()) {
                ERROR_REPORT();
                return FALSE;
            }
            if (!ComposeVolumeBitmapBytes(at, bps, pMoveBuffer + runBytes)) {
                if (!flush()) {
                    ERROR_REPORT();
                    return FALSE;
                }
                continue;  // the disk holds these bits already
            }
            if (runBytes == 0) {
                if (!BitmapFileByteOnVolume(at, &runSector, &runRoom)) {
                    ERROR_REPORT();
                    return FALSE;
                }
                runFirst = at;
            }
            runBytes += bps;
        }
    }
    if (!flush()) {
        ERROR_REPORT();
        return FALSE;
    }
    VolumeBitmapWritten();
    return TRUE;
}

// Takes nothing; needs the bitmap block, the bitmap file's extents
// (pVolumeBitMapExtent), pMoveBuffer and the geometry. Writes the in-memory
// bitmap to the volume's bitmap file. When a copy of the disk's bitmap is
// kept (see bitcache.cpp), only the sectors whose bits changed are written.
// Otherwise every cluster of the file that holds bits of clusters below
// TotalClusters is written, in extent order, up to 64 KB per write staged
// through pMoveBuffer; the last cluster written is read first, and the bits
// it holds for clusters from TotalClusters on (and any bytes after them) are
// written back as the disk has them. No copy reads past the block. FALSE
// after the error report; nothing is written when the checks before the
// first write fail.
BOOL WriteVolumeBitmap(void) {
    LONGLONG bitBytes = 0;
    BYTE *block = LockBitmapForTransfer(&bitBytes);
    if (!block) return FALSE;
    if (VolumeBitmapCopyKept()) {
        BOOL written = WriteChangedBitmapSectors();
        GlobalUnlock(VolData.hVolumeBitmap);
        return written;
    }
    const BYTE *bits = block + kBitmapHeaderBytes;
    LONGLONG total = VolData.TotalClusters;
    LONGLONG fullBytes = total / 8;        // bytes wholly of volume clusters
    LONGLONG usedBytes = (total + 7) / 8;  // bytes holding any volume cluster
    LONGLONG bpc = VolData.BytesPerCluster;
    LONGLONG chunk = kTransferBytes / bpc;
    BOOL keepTail = (usedBytes % bpc) != 0 || (total % 8) != 0;
    LONGLONG at = 0;  // byte of the bitmap file at the start of the next write
    BOOL ok = TRUE;
    for (LONGLONG i = 0; ok && i < llVolumeBitMapExtents && at < usedBytes; i++) {
        const EXTENT_LIST *e = &pVolumeBitMapExtent[i];
        LONGLONG wanted = ClustersFor(usedBytes - at);
        LONGLONG clusters = e->ClusterCount < wanted ? e->ClusterCount : wanted;
        for (LONGLONG done = 0; ok && done < clusters;) {
            LONGLONG k = clusters - done > chunk ? chunk : clusters - done;
            LONGLONG bytes = k * bpc;
            BOOL last = at + bytes >= usedBytes;
            if (last && keepTail &&
                !DasdReadClusters(VolData.hVolume, e->StartingLcn + done + k - 1, 1, pMoveBuffer + (k - 1) * bpc,
                                  VolData.BytesPerSector, bpc)) {
                ok = FALSE;
                break;
            }
            LONGLONG copy = last ? fullBytes - at : bytes;
            if (copy > 0) memcpy(pMoveBuffer, bits + at, (size_t)copy);
            if (last && total % 8) {
                BYTE mask = (BYTE)((1u << (total % 8)) - 1);
                BYTE *b = pMoveBuffer + (fullBytes - at);
                *b = (BYTE)((*b & ~mask) | (bits[fullBytes] & mask));
            }
            if (!DasdWriteClusters(VolData.hVolume, e->StartingLcn + done, k, pMoveBuffer, VolData.BytesPerSector,
                                   bpc)) {
                ok = FALSE;
                break;
            }
            done += k;
            at += bytes;
        }
    }
    GlobalUnlock(VolData.hVolumeBitmap);
    if (!ok) ERROR_REPORT();
    return ok;
}

// Takes nothing; needs what WriteVolumeBitmap needs. Reads the volume's
// bitmap file into the in-memory bitmap (whole clusters staged through
// pMoveBuffer, copied only as far as the block reaches), then sets the
// header and every bit from TotalClusters to BitmapSizeBits - 1, so that
// clusters past the end of the volume never look free. Keeps a copy of what
// it read (see bitcache.cpp). FALSE after the error report; after a failed
// read every bit in memory is set, so that no search finds space in a bitmap
// that was not read.
BOOL DirectReadVolumeBitmap(void) {
    LONGLONG bitBytes = 0;
    BYTE *block = LockBitmapForTransfer(&bitBytes);
    if (!block) return FALSE;
    BYTE *bits = block + kBitmapHeaderBytes;
    LONGLONG total = VolData.TotalClusters;
    LONGLONG bpc = VolData.BytesPerCluster;
    LONGLONG chunk = kTransferBytes / bpc;
    LONGLONG fileBytes = 0;  // what the loop below reads
    for (LONGLONG i = 0; i < llVolumeBitMapExtents && fileBytes < bitBytes; i++) {
        LONGLONG wanted = ClustersFor(bitBytes - fileBytes);
        fileBytes +=
            (pVolumeBitMapExtent[i].ClusterCount < wanted ? pVolumeBitMapExtent[i].ClusterCount : wanted) * bpc;
    }
    BYTE *copy = BeginVolumeBitmapCopy(fileBytes);
    LONGLONG at = 0;
    BOOL ok = TRUE;
    for (LONGLONG i = 0; ok && i < llVolumeBitMapExtents && at < bitBytes; i++) {
        const EXTENT_LIST *e = &pVolumeBitMapExtent[i];
        LONGLONG wanted = ClustersFor(bitBytes - at);
        LONGLONG clusters = e->ClusterCount < wanted ? e->ClusterCount : wanted;
        for (LONGLONG done = 0; done < clusters;) {
            LONGLONG k = clusters - done > chunk ? chunk : clusters - done;
            if (!DasdReadClusters(VolData.hVolume, e->StartingLcn + done, k, pMoveBuffer, VolData.BytesPerSector,
                                  bpc)) {
                ok = FALSE;
                break;
            }
            LONGLONG bytes = k * bpc;
            LONGLONG copied = bitBytes - at < bytes ? bitBytes - at : bytes;
            memcpy(bits + at, pMoveBuffer, (size_t)copied);
            if (copy) memcpy(copy + at, pMoveBuffer, (size_t)bytes);
            done += k;
            at += bytes;
        }
    }
    if (!ok) {
        memset(bits, 0xFF, (size_t)bitBytes);
        KeepVolumeBitmapCopy(FALSE);
        GlobalUnlock(VolData.hVolumeBitmap);
        ERROR_REPORT();
        return FALSE;
    }
    VOLUME_BITMAP_BUFFER *header = (VOLUME_BITMAP_BUFFER *)block;
    header->StartingLcn.QuadPart = 0;
    header->BitmapSize.QuadPart = VolData.BitmapSizeBits;
    for (LONGLONG c = total; c < bitBytes * 8; c++) bits[c / 8] |= (BYTE)(1u << (c % 8));
    KeepVolumeBitmapCopy(copy != nullptr);
    GlobalUnlock(VolData.hVolumeBitmap);
    return TRUE;
}

// Takes nothing; needs what DirectReadVolumeBitmap needs. Puts the in-memory
// bitmap back to what the disk holds: from the copy of the last read and the
// writes since (see bitcache.cpp) when one is kept, else read from the disk.
// Only for a re-read that can only give what the program itself last wrote:
// where the file system may have written the bitmap, DirectReadVolumeBitmap.
// FALSE after the error report.
BOOL RereadVolumeBitmap(void) {
    if (RestoreVolumeBitmapFromCopy()) return TRUE;
    return DirectReadVolumeBitmap();
}

// =========================================================== cluster copy

// Takes a destination LCN, an index range and an extent array. Copies the
// runs of the entries first..last with disk space, back to back from the
// destination in entry order, reading each from its SourceLcn through
// pMoveBuffer: chunks of 64 KB while more than one chunk is left, then the
// rest in one read and one write. Each entry's StartingLcn becomes its new
// place (SourceLcn keeps the old one); runs without disk space are skipped.
// FALSE after the error report.
BOOL MoveFileClusters(LONGLONG destination, LONGLONG first, LONGLONG last, EXTENT_LIST *list) {
    if (!list || !pMoveBuffer || !ClusterGeometryValid() || first < 0 || last < first || destination < 0) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG bpc = VolData.BytesPerCluster, bps = VolData.BytesPerSector;
    LONGLONG chunk = kTransferBytes / bpc;
    LONGLONG total = VolData.TotalClusters;
    LONGLONG current = destination;
    for (LONGLONG i = first; i <= last; i++) {
        EXTENT_LIST *e = &list[i];
        if (e->StartingLcn < 0) continue;
        LONGLONG source = e->SourceLcn, count = e->ClusterCount;
        if (source < 0 || count <= 0 || count > total - source || current > total - count) {
            ERROR_REPORT();
            return FALSE;
        }
        e->StartingLcn = current;
        LONGLONG offset = 0, left = count;
        while (left > 0) {
            LONGLONG k = left > chunk ? chunk : left;
            if (!DasdReadClusters(VolData.hVolume, source + offset, k, pMoveBuffer, bps, bpc) ||
                !DasdWriteClusters(VolData.hVolume, current + offset, k, pMoveBuffer, bps, bpc)) {
                ERROR_REPORT();
                return FALSE;
            }
            offset += k;
            left -= k;
        }
        current += count;
    }
    return TRUE;
}

// ==================================================== mapping-pairs encoding

// Takes a signed value; returns the bytes of its field in a mapping pair:
// the fewest little-endian two's-complement bytes (1 to 8) that hold it,
// with one more when the top byte's high bit would give the wrong sign.
ULONG MappingPairsFieldBytes(LONGLONG value) {
    ULONGLONG v = (ULONGLONG)value;
    BYTE drop = value < 0 ? 0xFF : 0x00;
    ULONG bytes = 8;
    while (bytes > 1 && (BYTE)(v >> ((bytes - 1) * 8)) == drop) bytes--;
    BYTE top = (BYTE)(v >> ((bytes - 1) * 8));
    BOOL signBit = (top & 0x80) != 0;
    if (bytes < 8 && signBit != (value < 0)) bytes++;
    return bytes;
}

// Takes `count` runs (StartingLcn absolute, negative for a run without
// disk space; ClusterCount above 0) and an output of `capacity` bytes.
// Writes their mapping pairs and the terminating 0: each run a header byte
// (offset bytes × 16 + length bytes), the length, then the offset from the
// previous run with disk space (the first from LCN 0); a run without disk
// space has no offset. *length = bytes written. FALSE, without a report,
// when a run has no clusters or the output is too short.
BOOL EncodeMappingPairs(const EXTENT_LIST *runs, LONGLONG count, BYTE *out, LONGLONG capacity, LONGLONG *length) {
    LONGLONG at = 0, previous = 0;
    for (LONGLONG i = 0; i < count; i++) {
        LONGLONG clusters = runs[i].ClusterCount;
        if (clusters <= 0) return FALSE;
        ULONG lengthBytes = MappingPairsFieldBytes(clusters);
        ULONG offsetBytes = 0;
        LONGLONG delta = 0;
        if (runs[i].StartingLcn >= 0) {
            delta = runs[i].StartingLcn - previous;
            previous = runs[i].StartingLcn;
            offsetBytes = MappingPairsFieldBytes(delta);
        }
        if (capacity - at < (LONGLONG)(1 + lengthBytes + offsetBytes)) return FALSE;
        out[at++] = (BYTE)(offsetBytes * 16 + lengthBytes);
        for (ULONG b = 0; b < lengthBytes; b++) out[at++] = (BYTE)((ULONGLONG)clusters >> (8 * b));
        for (ULONG b = 0; b < offsetBytes; b++) out[at++] = (BYTE)((ULONGLONG)delta >> (8 * b));
    }
    if (capacity - at < 1) return FALSE;
    out[at++] = 0;
    *length = at;
    return TRUE;
}

// Takes a record (in memory, update sequence removed, BytesPerFRS bytes),
// one of its non-resident attributes and the runs to give it. Replaces the
// attribute's mapping pairs, ends them with 0 and zero bytes up to a
// multiple of 8, sets the attribute's length, moves the attributes after it
// (and the end marker) to the new end, clears what the record no longer
// uses and sets its first free byte. Everything is checked first: when the
// runs do not fit in the record, or the record or attribute is damaged, the
// record is left unchanged and FALSE is returned after the error report.
BOOL ReplaceMappingPairs(PFILE_RECORD_SEGMENT_HEADER record, PATTRIBUTE_RECORD_HEADER attribute,
                         const EXTENT_LIST *runs, LONGLONG count) {
    LONGLONG size = VolData.BytesPerFRS;
    if (!record || !attribute || !runs || count <= 0 || size < NTFS_MIN_FRS || size > NTFS_MAX_FRS ||
        (BYTE *)attribute < (BYTE *)record || (BYTE *)attribute >= (BYTE *)record + size) {
        ERROR_REPORT();
        return FALSE;
    }
    BYTE *base = (BYTE *)record;
    ULONG offset = (ULONG)((BYTE *)attribute - base);
    if (!AttributeValid(record, (ULONG)size, offset) || attribute->FormCode == RESIDENT_FORM) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG oldEnd = offset + attribute->RecordLength;
    LONGLONG firstFree = record->FirstFreeByte;
    LONGLONG limit = size;
    if (record->BytesAvailable != 0 && record->BytesAvailable < limit) limit = record->BytesAvailable;
    if (firstFree < oldEnd || firstFree > limit) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG pairs = attribute->Form.Nonresident.MappingPairsOffset;
    BYTE encoded[NTFS_MAX_FRS];
    LONGLONG encodedBytes = 0;
    if (!EncodeMappingPairs(runs, count, encoded, limit - offset - pairs, &encodedBytes)) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG newLength = (pairs + encodedBytes + 7) & ~(LONGLONG)7;
    LONGLONG tail = firstFree - oldEnd;
    LONGLONG newFree = offset + newLength + tail;
    if (newFree > limit) {
        ERROR_REPORT();  // the run list no longer fits in the record
        return FALSE;
    }
    // We are guaranteed to succeed from here.
    memmove(base + offset + newLength, base + oldEnd, (size_t)tail);
    memcpy(base + offset + pairs, encoded, (size_t)encodedBytes);
    memset(base + offset + pairs + encodedBytes, 0, (size_t)(newLength - pairs - encodedBytes));
    attribute->RecordLength = (ULONG)newLength;
    if (newFree < firstFree) memset(base + newFree, 0, (size_t)(firstFree - newFree));
    record->FirstFreeByte = (ULONG)newFree;
    return TRUE;
}

// ======================================================= record rewriting

// Takes the piece's destination, its clusters, the record number holding
// its runs, its index range and *written. Chooses the rewriter:
// bNonResident → UpdateLargeFileFRS; bHugeFile or bMegaFile →
// UpdateHugeFileFRS; anything else fails without a report. A failure of a
// rewriter is reported; *written (when given) tells whether the write of a
// record began (and so whether the record on disk may already describe the
// destination).
BOOL UpdateFRS(LONGLONG destination, LONGLONG clusters, LONGLONG recordNumber, LONGLONG first, LONGLONG last,
               BOOL *written) {
    if (written) *written = FALSE;
    BOOL ok;
    if (VolData.bNonResident)
        ok = UpdateLargeFileFRS(destination, clusters, written);
    else if (VolData.bHugeFile || VolData.bMegaFile)
        ok = UpdateHugeFileFRS(destination, clusters, recordNumber, first, last, written);
    else
        return FALSE;
    if (!ok) ERROR_REPORT();
    return ok;
}

// Takes the destination and cluster count of a file whose runs all live in
// its base record (pFileRecord, record FileRecordNumber). Rewrites the
// record's mapping pairs for the whole extent list and writes it back;
// pFileRecord then holds the record as rewritten. FALSE after the error
// report, also for a cluster count of 0; *written as for WriteUpdatedFRS.
BOOL UpdateLargeFileFRS(LONGLONG destination, LONGLONG clusters, BOOL *written) {
    if (written) *written = FALSE;
    if (clusters <= 0 || !VolData.pFileRecord || !VolData.pExtentList || VolData.NumberOfExtents < 1) {
        ERROR_REPORT();
        return FALSE;
    }
    for (LONGLONG i = 0; i < VolData.NumberOfExtents; i++)
        if (VolData.pExtentList[i].FileRecord != VolData.FileRecordNumber) {
            ERROR_REPORT();
            return FALSE;
        }
    return RewritePiece((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, VolData.FileRecordNumber, destination,
                        clusters, 0, VolData.NumberOfExtents - 1, written);
}

// Reads record `recordNumber` raw into pFileRecord and checks that it is the
// current file's base record (FileRecordNumber) or one of its extension
// records. FALSE after the error report.
static BOOL ReadRecordOfFile(LONGLONG recordNumber) {
    BYTE *bitmap = MftBitmapAddress();
    PFILE_RECORD_SEGMENT_HEADER record = (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord;
    LONGLONG n = recordNumber;
    if (!bitmap || !record || !GetFrs(&n, VolData.pMftExtentList, bitmap, VolData.pMftBuffer, record) ||
        n != recordNumber || !SegmentOfFile(record, recordNumber, VolData.FileRecordNumber)) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Reads the current file's base record (FileRecordNumber) into pFileRecord
// again. FALSE after the error report.
static BOOL ReadBaseRecordAgain(void) {
    BYTE *bitmap = MftBitmapAddress();
    LONGLONG back = VolData.FileRecordNumber;
    if (!bitmap || !VolData.pFileRecord ||
        !GetFrs(&back, VolData.pMftExtentList, bitmap, VolData.pMftBuffer,
                (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord) ||
        back != VolData.FileRecordNumber) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Takes the destination, cluster count, record number and index range of
// one piece of a file whose runs live in several records. A piece without
// clusters has nothing to rewrite: TRUE at once. Otherwise reads the
// piece's record into pFileRecord (GetFrs), checks that it is the base
// record or one of its extension records, rewrites its mapping pairs,
// writes it back, and reads the base record (FileRecordNumber) into
// pFileRecord again, also when reading or rewriting the piece failed.
// FALSE after the error report; *written as for WriteUpdatedFRS.
BOOL UpdateHugeFileFRS(LONGLONG destination, LONGLONG clusters, LONGLONG recordNumber, LONGLONG first, LONGLONG last,
                       BOOL *written) {
    if (written) *written = FALSE;
    if (clusters == 0) return TRUE;
    if (!VolData.pFileRecord || clusters < 0 || !VolData.pExtentList || first < 0 || last < first ||
        last >= VolData.NumberOfExtents) {
        ERROR_REPORT();
        return FALSE;
    }
    BOOL ok = ReadRecordOfFile(recordNumber) && RewritePiece((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord,
                                                             recordNumber, destination, clusters, first, last, written);
    if (!ok) ERROR_REPORT();
    if (!ReadBaseRecordAgain()) ok = FALSE;
    return ok;
}

// Takes a group's destination and cluster count, its index range [first,
// last] in `list` (entries of one attribute record: same FileRecord,
// AttributeType and AttributeIndex) and *written. Reads the group's record
// into pFileRecord (it must be the current file's base record or one of its
// extension records), finds the attribute by its type and position, checks
// that its mapping pairs are the entries as read and that the entries that
// moved were copied back to back from the destination, writes one run per
// entry (never merged: runs that became adjacent stay separate runs) and
// puts the record back into the MFT. Record 0 is copied to the MFT mirror
// at once. pFileRecord then holds the current file's record
// (FileRecordNumber) again. A cluster count of 0 writes nothing. FALSE
// after the error report; *written (when given) tells whether the write of
// the record began.
BOOL UpdateAttribFRS(LONGLONG destination, LONGLONG clusters, LONGLONG first, LONGLONG last, EXTENT_LIST *list,
                     BOOL *written) {
    if (written) *written = FALSE;
    if (!list || first < 0 || last < first || clusters < 0 || !VolData.pFileRecord || !MftBitmapAddress()) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG recordNumber = list[first].FileRecord;
    ULONG type = list[first].AttributeType, position = list[first].AttributeIndex;
    for (LONGLONG i = first; i <= last; i++)
        if (list[i].FileRecord != recordNumber || list[i].AttributeType != type || list[i].AttributeIndex != position) {
            ERROR_REPORT();  // not one attribute record's runs
            return FALSE;
        }
    if (!ReadRecordOfFile(recordNumber)) {
        ReadBaseRecordAgain();
        return FALSE;
    }
    BOOL ok = TRUE;
    if (clusters > 0) {
        PFILE_RECORD_SEGMENT_HEADER record = (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord;
        PATTRIBUTE_RECORD_HEADER attribute = nullptr;
        BOOL holes = FALSE;
        ok = FindAttributeByIndex(type, position, record, &attribute, (ULONG)VolData.BytesPerFRS) &&
             attribute->FormCode != RESIDENT_FORM && RunsMatchList(attribute, list, first, last) &&
             RunsAsCopied(list, first, last, destination, clusters, &holes) &&
             ReplaceMappingPairs(record, attribute, &list[first], last - first + 1) &&
             WriteUpdatedFRS(record, recordNumber, written);
        if (ok && recordNumber == MFT_RECORD_MFT) {
            LONGLONG current = VolData.FileRecordNumber;
            VolData.FileRecordNumber = MFT_RECORD_MFT;
            ok = SyncNTFSMirror();
            VolData.FileRecordNumber = current;
        }
        if (!ok) ERROR_REPORT();
    }
    if (!ReadBaseRecordAgain()) ok = FALSE;
    return ok;
}

// Reads the MFT unit at `vcn` (`clusters` clusters, records [first, first +
// count)) into pFrsBuffer for WriteUpdatedFRS. The record cache holds what
// the disk holds (the program's own record writes go through it), so a
// unit it holds is taken from it; otherwise the unit is read and, without
// bCacheMetadata, the cache emptied as before. FALSE after the error report.
static BOOL ReadMftUnitForRewrite(LONGLONG vcn, LONGLONG clusters, LONGLONG first, LONGLONG count) {
    BYTE *cached = bCacheMetadata ? CachedRecords(first, count) : nullptr;
    if (cached) {
        TRACE(8, kWriteFrs, u"(Rd)FRS from the record cache");
        memcpy(pFrsBuffer, cached, (size_t)(count * VolData.BytesPerFRS));
        return TRUE;
    }
    BOOL ok = TransferMftUnit(vcn, clusters, FALSE);
    if (!ok || !bCacheMetadata) FileRecordLow = FileRecordHi = 0;
    return ok;
}

// Takes a rewritten record (update sequence removed) and its record number.
// Reads the MFT unit holding it into pFrsBuffer (ClustersPerFRS clusters
// for one record, or one cluster of several records), removes the update
// sequence of every record in it, puts the record over its slot with the
// next update sequence number, protects every record again and writes the
// unit back the way it was read. The other records go back byte for byte as
// they were. The slot must hold the same record (in use, same sequence
// number and base reference). The record cache of GetFrs takes the unit as
// written (emptied instead without bCacheMetadata), and the caller's record
// takes the new sequence number. *written (when given)
// is set once the write begins: after a failure it tells whether the record
// on disk may already be the new one. FALSE after the error report; nothing
// is written when a check before the write fails.
BOOL WriteUpdatedFRS(PFILE_RECORD_SEGMENT_HEADER record, LONGLONG recordNumber, BOOL *written) {
    if (written) *written = FALSE;
    LONGLONG bpc = VolData.BytesPerCluster, frs = VolData.BytesPerFRS, cpf = VolData.ClustersPerFRS;
    if (!record || !pFrsBuffer || !VolData.pMftExtentList || VolData.MftExtentCount <= 0 || recordNumber < 0 ||
        !ClusterGeometryValid() || frs < NTFS_MIN_FRS || frs > NTFS_MAX_FRS || !IsFileRecord((BYTE *)record) ||
        !UsaHeaderValid(record, (ULONG)frs) || record->FirstFreeByte > frs) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG unitClusters, vcn, firstRecord, records;
    if (cpf) {
        if (cpf < 0 || cpf * bpc != frs) {
            ERROR_REPORT();
            return FALSE;
        }
        unitClusters = cpf;
        vcn = recordNumber * cpf;
        firstRecord = recordNumber;
        records = 1;
    } else {
        records = bpc / frs;
        if (records == 0 || records * frs != bpc) {
            ERROR_REPORT();
            return FALSE;
        }
        unitClusters = 1;
        vcn = recordNumber / records;
        firstRecord = vcn * records;
    }
    if (unitClusters * bpc > kTransferBytes) {
        ERROR_REPORT();
        return FALSE;
    }
    BOOL ok = ReadMftUnitForRewrite(vcn, unitClusters, firstRecord, records);
    if (!ok) return FALSE;

    LONGLONG remembered = VolData.FileRecordNumber;
    for (LONGLONG r = 0; ok && r < records; r++) {
        BYTE *slot = pFrsBuffer + r * frs;
        if (!IsFileRecord(slot)) continue;
        VolData.FileRecordNumber = firstRecord + r;  // named by AdjustUSA's message
        if (!AdjustUSA((PFILE_RECORD_SEGMENT_HEADER)slot)) ok = FALSE;
    }
    VolData.FileRecordNumber = remembered;
    if (!ok) {
        ERROR_REPORT();
        return FALSE;
    }
    BYTE *target = pFrsBuffer + (recordNumber - firstRecord) * frs;
    const FILE_RECORD_SEGMENT_HEADER *onDisk = (const FILE_RECORD_SEGMENT_HEADER *)target;
    if (!IsFileRecord(target) || !(onDisk->Flags & FILE_RECORD_IN_USE) ||
        onDisk->SequenceNumber != record->SequenceNumber ||
        onDisk->BaseFileRecordSegment != record->BaseFileRecordSegment) {
        ERROR_REPORT();  // the slot holds another record than the one rewritten
        return FALSE;
    }
    USHORT usn = NextUsn(UsnOf(target));
    memcpy(target, record, (size_t)frs);
    SetUsn(target, usn);
    for (LONGLONG r = 0; r < records; r++) {
        BYTE *slot = pFrsBuffer + r * frs;
        if (IsFileRecord(slot) && !EncodeUSA((PFILE_RECORD_SEGMENT_HEADER)slot)) {
            ERROR_REPORT();
            return FALSE;
        }
    }
    if (written) *written = TRUE;
    ok = TransferMftUnit(vcn, unitClusters, TRUE);
    if (ok && bCacheMetadata) {
        RecordsWritten(firstRecord, records, pFrsBuffer);
    } else {
        FileRecordLow = FileRecordHi = 0;
    }
    if (!ok) return FALSE;
    SetUsn((BYTE *)record, usn);
    return TRUE;
}

// ============================================================ group moves

// Takes a group and *left. Moves the group's runs [MoveFirst, MoveLast]
// (with disk space: Clusters of them) back to back to Destination in the
// safe order, the group's record rewritten by its rule, each step announced
// by a trace naming the group's mover:
//   bitmap read from disk ("DirectReadVolumeBitmap", 9), destination marked
//   ("MarkDestAllocated", 4) and the bitmap written ("WriteVolumeBitMap",
//   7), runs copied ("MoveFileClusters", 6), record rewritten ("UpdateFrs",
//   6), source freed ("MarkFileUnallocated", 4) and the bitmap written
//   ("WriteVolumeBitmap", 7).
// A rewrite refused before its record was written gives the destination
// back ("MarkDestUnallocated", 4, and the bitmap written); once the
// record's write began, the destination and the source both stay marked in
// use. *left tells what the group left on disk (GROUP_*); the moved entries'
// StartingLcn holds their new place unless the group stayed where it was.
// TRUE when the group moved and its source was freed; FALSE after the error
// report. A group without clusters has nothing to move: TRUE at once.
BOOL MoveGroup(const MOVE_GROUP *group, LONG *left) {
    *left = GROUP_IN_PLACE;
    EXTENT_LIST *list = group->List;
    const WCHAR *routine = group->Routine;
    LONGLONG destination = group->Destination, clusters = group->Clusters;
    if (clusters == 0) {
        *left = GROUP_MOVED;
        return TRUE;
    }
    if (!list || !group->Rewrite || clusters < 0 || group->First < 0 || group->MoveFirst < group->First ||
        group->MoveLast < group->MoveFirst || group->Last < group->MoveLast || group->Last >= group->Count) {
        ERROR_REPORT();
        return FALSE;
    }
    TRACE(9, routine, u"DirectReadVolumeBitmap");
    if (!RereadVolumeBitmap()) {
        // Never write a bitmap that was not read from the disk.
        ERROR_REPORT();
        return FALSE;
    }
    TRACE(4, routine, u"MarkDestAllocated");
    if (!MarkDestAllocated(destination, clusters)) {
        ERROR_REPORT();
        return FALSE;
    }
    TRACE(7, routine, u"WriteVolumeBitMap");
    if (!WriteVolumeBitmap()) {
        ERROR_REPORT();
        return FALSE;
    }
    TRACE(6, routine, u"MoveFileClusters");
    BOOL copied = MoveFileClusters(destination, group->MoveFirst, group->MoveLast, list);
    BOOL written = FALSE;
    if (copied) TRACE(6, routine, u"UpdateFrs");
    if (!copied || !group->Rewrite(group, &written)) {
        ERROR_REPORT();
        if (written) {
            // The record on disk may already point at the copy: keep both
            // the copy and the source marked in use.
            *left = GROUP_RECORD_UNSURE;
            return FALSE;
        }
        for (LONGLONG i = group->MoveFirst; i <= group->MoveLast; i++) list[i].StartingLcn = list[i].SourceLcn;
        if (!copied) return FALSE;  // the destination stays marked: lost clusters at worst
        TRACE(4, routine, u"MarkDestUnallocated");
        if (!MarkDestUnallocated(destination, clusters)) ERROR_REPORT();
        TRACE(7, routine, u"WriteVolumeBitmap");
        if (!WriteVolumeBitmap()) ERROR_REPORT();
        return FALSE;
    }
    *left = GROUP_MOVED;
    TRACE(4, routine, u"MarkFileUnallocated");
    if (!MarkFileUnallocated(list, group->Count, group->MoveFirst, group->MoveLast)) {
        ERROR_REPORT();
        return FALSE;
    }
    TRACE(7, routine, u"WriteVolumeBitmap");
    if (!WriteVolumeBitmap()) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// The last entry of the group that begins at `first` in list[0, count):
// consecutive entries of the same record and, with byAttribute, the same
// attribute type and position.
static LONGLONG GroupLast(const EXTENT_LIST *list, LONGLONG count, LONGLONG first, BOOL byAttribute) {
    LONGLONG last = first;
    while (last + 1 < count && list[last + 1].FileRecord == list[first].FileRecord &&
           (!byAttribute || (list[last + 1].AttributeType == list[first].AttributeType &&
                             list[last + 1].AttributeIndex == list[first].AttributeIndex)))
        last++;
    return last;
}

// Checks a list of `count` entries about to move whole to `destination`:
// every entry with a record number and clusters, as read (StartingLcn =
// SourceLcn inside the volume, or both negative for a run without disk
// space), no group in two places of the list (byAttribute as for
// GroupLast), and the destination run inside the volume and clear of the
// runs themselves. *clusters: the clusters with disk space; *groups: the
// groups. FALSE after the error report.
static BOOL ListReadyToMove(const EXTENT_LIST *list, LONGLONG count, LONGLONG destination, BOOL byAttribute,
                            LONGLONG *clusters, LONGLONG *groups) {
    *clusters = 0;
    *groups = 0;
    if (!list || count < 1 || destination < 0) {
        ERROR_REPORT();
        return FALSE;
    }
    for (LONGLONG first = 0; first < count;) {
        LONGLONG last = GroupLast(list, count, first, byAttribute);
        for (LONGLONG j = 0; j < first; j++)
            if (list[j].FileRecord == list[first].FileRecord &&
                (!byAttribute || (list[j].AttributeType == list[first].AttributeType &&
                                  list[j].AttributeIndex == list[first].AttributeIndex))) {
                ERROR_REPORT();  // one group's runs in two places of the list
                return FALSE;
            }
        (*groups)++;
        for (LONGLONG i = first; i <= last; i++) {
            const EXTENT_LIST *e = &list[i];
            if (e->FileRecord < 0 || e->ClusterCount <= 0) {
                ERROR_REPORT();
                return FALSE;
            }
            if (e->StartingLcn < 0) {
                if (e->SourceLcn >= 0) {
                    ERROR_REPORT();
                    return FALSE;
                }
                continue;
            }
            // A list whose runs already moved would be copied from where the
            // data no longer is: the list must be as read.
            if (e->StartingLcn != e->SourceLcn || e->ClusterCount > VolData.TotalClusters - e->StartingLcn) {
                ERROR_REPORT();
                return FALSE;
            }
            *clusters += e->ClusterCount;
        }
        first = last + 1;
    }
    if (*clusters <= 0 || *clusters > VolData.TotalClusters - destination) {
        ERROR_REPORT();
        return FALSE;
    }
    for (LONGLONG i = 0; i < count; i++) {
        const EXTENT_LIST *e = &list[i];
        if (e->StartingLcn >= 0 && e->StartingLcn < destination + *clusters &&
            destination < e->StartingLcn + e->ClusterCount) {
            ERROR_REPORT();  // the destination overlaps the runs themselves
            return FALSE;
        }
    }
    return TRUE;
}

// The rewrite rule of a file's piece (NTFSMoveFile): UpdateFRS.
static BOOL RewriteFilePiece(const MOVE_GROUP *group, BOOL *written) {
    return UpdateFRS(group->Destination, group->Clusters, group->List[group->First].FileRecord, group->First,
                     group->Last, written);
}

// The rewrite rule of an attribute record's runs (NTFSMoveAttrib,
// NTFSMoveExtent): UpdateAttribFRS over the whole group.
static BOOL RewriteAttributeGroup(const MOVE_GROUP *group, BOOL *written) {
    return UpdateAttribFRS(group->Destination, group->Clusters, group->First, group->Last, group->List, written);
}

// Moves every group of list[0, count) (byAttribute as for GroupLast) with
// MoveGroup, back to back from `destination` in list order, each record
// rewritten by `rewrite` and each step traced for `routine`. Writes the end
// marker after the last entry first. FALSE after the error report; the
// groups before a failed one stay moved.
static BOOL MoveEveryGroup(const WCHAR *routine, EXTENT_LIST *list, LONGLONG count, LONGLONG destination,
                           BOOL byAttribute, GROUP_REWRITE rewrite) {
    list[count].FileRecord = END_OF_EXTENTS;
    MOVE_GROUP group = {routine, list, count, 0, 0, 0, 0, destination, 0, rewrite};
    while (group.First < count && list[group.First].FileRecord != END_OF_EXTENTS) {
        group.Last = group.MoveLast = GroupLast(list, count, group.First, byAttribute);
        group.MoveFirst = group.First;
        group.Clusters = ClustersWithSpace(list, group.First, group.Last);
        LONG left = GROUP_IN_PLACE;
        if (!MoveGroup(&group, &left)) {
            ERROR_REPORT();
            return FALSE;
        }
        group.Destination += group.Clusters;
        group.First = group.Last + 1;
    }
    return TRUE;
}

// The first LCN with disk space in list[0, count); 0 when none.
static LONGLONG FirstLcnOf(const EXTENT_LIST *list, LONGLONG count) {
    for (LONGLONG i = 0; list && i < count; i++)
        if (list[i].StartingLcn >= 0) return list[i].StartingLcn;
    return 0;
}

// ============================================================ the file move

// Takes the destination LCN of a free run of the current file's
// NumberOfClusters clusters. Needs the current file as the raw family left
// it (pExtentList with room for one entry more, NumberOfExtents,
// AttributeRecordCount, the class and kind flags, FileRecordNumber,
// pFileRecord holding the base record), the bitmap block and the bitmap
// file's extents, pMoveBuffer and pFrsBuffer. Shows the move line, then
// moves the file piece by piece (the runs of one record at a time, each a
// group moved by MoveGroup). On success: glFileStats counts the move, the
// entries hold the new StartingLcn (SourceLcn the old), the bitmap on disk
// and in memory agree, and pFileRecord holds the base record. FALSE after
// the error report; pieces moved before a failure stay moved, and a failed
// piece leaves at worst clusters marked in use that no record references.
BOOL NTFSMoveFile(LONGLONG destination) {
    EXTENT_LIST *list = VolData.pExtentList;
    LONGLONG count = VolData.NumberOfExtents;
    _snwprintf(cOutline, OUTLINE_CHARS - 1, u"\r%s%s%s%sfile (%08ld) to LCN 0x%08lx for %ld Clusters", cProgress,
               VolData.bFragmented ? u"Defragmenting " : u"Moving ", VolData.bCompressed ? u"compressed " : u"",
               VolData.bDirectory ? u"directory " : u"data ", (LONG)VolData.FileRecordNumber,
               (ULONG)((ULONGLONG)destination & 0xFFFFFFFF), (LONG)VolData.NumberOfClusters);
    ShowMoveLine(destination < FirstLcnOf(list, count));

    // Everything the move relies on is checked before the first write.
    LONGLONG total = 0, pieces = 0;
    if (!list || count < 1 || VolData.ExtentListBytes < (count + 1) * (LONGLONG)sizeof(EXTENT_LIST) ||
        !(VolData.bNonResident || VolData.bHugeFile || VolData.bMegaFile) ||
        !ListReadyToMove(list, count, destination, FALSE, &total, &pieces)) {
        ERROR_REPORT();
        return FALSE;
    }
    if ((VolData.AttributeRecordCount > 0 && pieces > VolData.AttributeRecordCount) ||
        (VolData.bNonResident &&
         (pieces != 1 || total != VolData.NumberOfClusters || list[0].FileRecord != VolData.FileRecordNumber))) {
        ERROR_REPORT();
        return FALSE;
    }
    if ((VolData.bHugeFile || VolData.bMegaFile) && !PieceRecordsOfFile(list, count)) {
        ERROR_REPORT();
        return FALSE;
    }

    if (!MoveEveryGroup(kMoveFile, list, count, destination, FALSE, RewriteFilePiece)) {
        ERROR_REPORT();
        return FALSE;
    }

    LONGLONG index = (VolData.bDirectory ? 1 : 2) + (VolData.bFragmented ? 16 : 0) + (VolData.bCompressed ? 8 : 0);
    glFileStats[index]++;
    return TRUE;
}

// ======================================================= the attribute move

// Takes the destination LCN of a free run of AttribClusters clusters. Needs
// the current file's attribute extent list (pAttribExtentList with room for
// one entry more, AttribExtentCount, AttribClusters, bAttribFragmented, as
// the raw family's census left it), FileRecordNumber and pFileRecord, and
// what NTFSMoveFile needs for its I/O. Shows the move line, then moves the
// attributes group by group (one attribute record's runs at a time), back
// to back from the destination in list order, each record rewritten by
// UpdateAttribFRS. On success glFileStats counts it (index 3) and
// pFileRecord holds the current file's record. After a move of record 0's
// attributes the caller refreshes the MFT extent list (SaveMFTExtentList);
// the mirror is already in step. FALSE after the error report; groups moved
// before a failure stay moved.
BOOL NTFSMoveAttrib(LONGLONG destination) {
    EXTENT_LIST *list = VolData.pAttribExtentList;
    LONGLONG count = VolData.AttribExtentCount;
    _snwprintf(cOutline, OUTLINE_CHARS - 1, u"\r%s%s%s%s(%08ld) to LCN 0x%08lx for %ld Clusters", cProgress,
               VolData.bAttribFragmented ? u"Defragmenting " : u"Moving ", u"", u"non-resident attributes ",
               (LONG)VolData.FileRecordNumber, (ULONG)((ULONGLONG)destination & 0xFFFFFFFF),
               (LONG)VolData.AttribClusters);
    ShowMoveLine(list && count > 0 && destination < list[0].StartingLcn);

    LONGLONG total = 0, groups = 0;
    if (!list || count < 1 || VolData.AttribExtentCapacity < count + 1 ||
        !ListReadyToMove(list, count, destination, TRUE, &total, &groups) || total != VolData.AttribClusters ||
        !PieceRecordsOfFile(list, count)) {
        ERROR_REPORT();
        return FALSE;
    }

    if (!MoveEveryGroup(kMoveAttrib, list, count, destination, TRUE, RewriteAttributeGroup)) {
        ERROR_REPORT();
        return FALSE;
    }
    glFileStats[3]++;
    return TRUE;
}

// ======================================================= the extent move

// TRUE when the MFT unit that holds record `recordNumber` lies in the MFT
// clusters [vcn, vcn + clusters).
static BOOL MftUnitInside(LONGLONG recordNumber, LONGLONG vcn, LONGLONG clusters) {
    LONGLONG cpf = VolData.ClustersPerFRS, unitVcn, unitClusters;
    if (cpf > 0) {
        unitVcn = recordNumber * cpf;
        unitClusters = cpf;
    } else {
        LONGLONG perCluster = VolData.BytesPerFRS > 0 ? VolData.BytesPerCluster / VolData.BytesPerFRS : 0;
        if (perCluster <= 0) return TRUE;  // no unit can be told: treat it as inside
        unitVcn = recordNumber / perCluster;
        unitClusters = 1;
    }
    return unitVcn < vcn + clusters && vcn < unitVcn + unitClusters;
}

// Takes the destination LCN of a free run as long as extent `index` of the
// current file, and the index. Needs the current file's list from the raw
// family (pExtentList with room for one entry more, NumberOfExtents),
// FileRecordNumber and pFileRecord, and what NTFSMoveFile needs for its
// I/O. Shows the move line and moves that one extent in the safe order; its
// attribute record is rewritten whole (UpdateAttribFRS), the group's other
// runs keeping their places. On the MFT itself (record 0), the extent that
// holds the MFT unit of the record to rewrite (record 0's own, the first)
// is refused: that record is written back through the MFT extent list as it
// stood before the move. After a move of an MFT extent the caller refreshes
// the MFT extent list (SaveMFTExtentList) before the next raw record
// access; the mirror is already in step. On success glFileStats counts it
// (index 4). FALSE after the error report; a failed move shows the line
// again as "Failed to move ".
BOOL NTFSMoveExtent(LONGLONG destination, LONGLONG index) {
    EXTENT_LIST *list = VolData.pExtentList;
    LONGLONG count = VolData.NumberOfExtents;
    BOOL known = list && index >= 0 && index < count;
    LONGLONG clusters = known ? list[index].ClusterCount : 0;
    LONGLONG source = known ? list[index].StartingLcn : 0;
    const WCHAR *format = u"\r%s%s%s%s (%08ld) to LCN 0x%08lx for %ld Clusters";
    _snwprintf(cOutline, OUTLINE_CHARS - 1, format, cProgress, u"Moving ", u"", u"data file extent ",
               (LONG)VolData.FileRecordNumber, (ULONG)((ULONGLONG)destination & 0xFFFFFFFF), (LONG)clusters);
    ShowMoveLine(destination < source);

    if (!known || VolData.ExtentListBytes < (count + 1) * (LONGLONG)sizeof(EXTENT_LIST) || destination < 0) {
        ERROR_REPORT();
        return FALSE;
    }
    const EXTENT_LIST *e = &list[index];
    if (e->FileRecord < 0 || e->StartingLcn < 0 || e->StartingLcn != e->SourceLcn || clusters <= 0 ||
        clusters > VolData.TotalClusters - e->StartingLcn || clusters > VolData.TotalClusters - destination ||
        (destination < e->StartingLcn + clusters && e->StartingLcn < destination + clusters)) {
        ERROR_REPORT();
        return FALSE;
    }
    list[count].FileRecord = END_OF_EXTENTS;
    MOVE_GROUP group = {kMoveExtent, list,  count,       index,    index,
                        index,       index, destination, clusters, RewriteAttributeGroup};
    while (group.First > 0 && list[group.First - 1].FileRecord == e->FileRecord &&
           list[group.First - 1].AttributeType == e->AttributeType &&
           list[group.First - 1].AttributeIndex == e->AttributeIndex)
        group.First--;
    group.Last = GroupLast(list, count, index, TRUE);
    if (VolData.FileRecordNumber == MFT_RECORD_MFT && e->AttributeType == ATTR_DATA) {
        LONGLONG vcn = 0;
        for (LONGLONG i = 0; i < index; i++)
            if (list[i].AttributeType == ATTR_DATA) vcn += list[i].ClusterCount;
        if (MftUnitInside(e->FileRecord, vcn, clusters)) {
            ERROR_REPORT();  // the record to rewrite lies in the extent that moves
            return FALSE;
        }
    }
    LONG left = GROUP_IN_PLACE;
    if (!MoveGroup(&group, &left)) {
        if (left != GROUP_MOVED) {
            _snwprintf(cOutline, OUTLINE_CHARS - 1, format, cProgress, u"Failed to move ", u"", u"data file extent ",
                       (LONG)VolData.FileRecordNumber, (ULONG)((ULONGLONG)destination & 0xFFFFFFFF), (LONG)clusters);
            ShowMoveLine(destination < source);
        }
        ERROR_REPORT();
        return FALSE;
    }
    glFileStats[4]++;
    return TRUE;
}

// ================================================= MFT extent list, mirror

// Takes nothing; needs FileRecordNumber 0 (the MFT) and what GetFrs needs.
// Reads record 0 into pFileRecord, builds its $DATA extent list with the
// raw family and copies it into the MFT extent list every raw record access
// goes through (pMftExtentList, MftExtentCount), growing that block when
// the MFT has more extents than it holds. The current-file fields then
// describe the MFT's data. FALSE after the error report; FALSE without one
// when the record read is not record 0.
BOOL SaveMFTExtentList(void) {
    BYTE *bitmap = MftBitmapAddress();
    if (!bitmap || !VolData.pFileRecord || VolData.FileRecordNumber != MFT_RECORD_MFT) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!GetFrs(&VolData.FileRecordNumber, VolData.pMftExtentList, bitmap, VolData.pMftBuffer,
                (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (VolData.FileRecordNumber != MFT_RECORD_MFT) return FALSE;
    if (!ManualGetExtentList(ATTR_DATA) || VolData.NumberOfExtents < 1 || VolData.bResident) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG n = VolData.NumberOfExtents;
    LONGLONG capacity = VolData.hMftExtentList ? (LONGLONG)GlobalSize(VolData.hMftExtentList) / sizeof(EXTENT_LIST) : 0;
    if (n > capacity) {
        if ((n + 1) > 0x7FFFFFFF / (LONGLONG)sizeof(EXTENT_LIST) ||
            !AllocateMemory((DWORD)((n + 1) * sizeof(EXTENT_LIST)), &VolData.hMftExtentList,
                            (void **)&VolData.pMftExtentList)) {
            ERROR_REPORT();
            return FALSE;
        }
    }
    for (LONGLONG i = 0; i < n; i++) {
        memset(&VolData.pMftExtentList[i], 0, sizeof(EXTENT_LIST));
        VolData.pMftExtentList[i].StartingLcn = VolData.pExtentList[i].StartingLcn;
        VolData.pMftExtentList[i].ClusterCount = VolData.pExtentList[i].ClusterCount;
    }
    VolData.MftExtentCount = n;
    FileRecordLow = FileRecordHi = 0;
    return TRUE;
}

// Takes nothing; needs FileRecordNumber 0 and pFileRecord holding record 0
// as the MFT has it (update sequence removed), pMoveBuffer and the
// geometry. Reads the mirror's first unit (BytesPerFRS of clusters, at
// least one, from Mft2StartLcn) into pMoveBuffer, puts record 0 over its
// start with its update sequence protection applied, and writes the unit
// back; the other records in those clusters go back as read. Nothing is
// written when the mirror already holds the record. FALSE, with nothing
// read or written, for another record number; FALSE after the error report
// when the geometry, the record or the I/O fails.
BOOL SyncNTFSMirror(void) {
    LONGLONG bpc = VolData.BytesPerCluster, frs = VolData.BytesPerFRS;
    if (VolData.FileRecordNumber != MFT_RECORD_MFT) {
        ERROR_REPORT();
        return FALSE;
    }
    PFILE_RECORD_SEGMENT_HEADER record = (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord;
    LONGLONG clusters = bpc > 0 ? frs / bpc : 0;
    if (clusters < 1) clusters = 1;
    if (!ClusterGeometryValid() || !pMoveBuffer || !record || frs < NTFS_MIN_FRS || frs > NTFS_MAX_FRS ||
        clusters * bpc < frs || clusters * bpc > kTransferBytes || VolData.Mft2StartLcn < 0 ||
        VolData.Mft2StartLcn > VolData.TotalClusters - clusters || !IsFileRecord((BYTE *)record) ||
        !UsaHeaderValid(record, (ULONG)frs)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (!DasdReadClusters(VolData.hVolume, VolData.Mft2StartLcn, clusters, pMoveBuffer, VolData.BytesPerSector, bpc)) {
        ERROR_REPORT();
        return FALSE;
    }
    BYTE before[NTFS_MAX_FRS];
    memcpy(before, pMoveBuffer, (size_t)frs);
    memcpy(pMoveBuffer, record, (size_t)frs);
    if (!EncodeUSA((PFILE_RECORD_SEGMENT_HEADER)pMoveBuffer)) {
        ERROR_REPORT();
        return FALSE;
    }
    if (memcmp(before, pMoveBuffer, (size_t)frs) == 0) return TRUE;
    if (!DasdWriteClusters(VolData.hVolume, VolData.Mft2StartLcn, clusters, pMoveBuffer, VolData.BytesPerSector, bpc)) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}
