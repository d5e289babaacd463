// The raw family of extent-list retrieval (records read through the MFT's
// own extents, every run tagged with the record and attribute that hold its
// mapping pairs), names and full paths, the directory test and the census of
// the attributes of every record the raw family reads.
#include "ntfs.h"

#include <climits>
#include <cstring>

LONGLONG LastPathFrs = 0;

namespace {

const WCHAR kBaseLabel[] = u"Base FRS Attribute Data - ";
const WCHAR kAnnexLabel[] = u"Annex FRS Attribute Data - ";
const LONG kMappingLineChars = 506;  // a mapping-pairs log line is cut past this

void ReleaseBlock(HGLOBAL *handle, void *pointer) {
    if (*handle) {
        if (pointer) GlobalUnlock(*handle);
        GlobalFree(*handle);
        *handle = nullptr;
    }
}

// The MFT bitmap's address: it stays valid once locked and unlocked again.
BYTE *MftBitmapAddress(void) {
    BYTE *bitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
    if (bitmap) GlobalUnlock(VolData.hMftBitmap);
    return bitmap;
}

// What the raw companions clear when they fail.
void ClearOnFailure(void) {
    VolData.NumberOfClusters = 0;
    VolData.NumberOfExtents = 0;
    VolData.NumberOfFragments = 0;
    VolData.FileSize = 0;
}

// The size of a non-resident attribute as the raw family reports it: for a
// compressed file the total allocated (when the attribute carries it).
LONGLONG RawFileSize(const ATTRIBUTE_RECORD_HEADER *attribute) {
    if (VolData.bCompressed && attribute->RecordLength >= NONRESIDENT_COMPRESSED_LENGTH &&
        attribute->Form.Nonresident.MappingPairsOffset >= NONRESIDENT_COMPRESSED_LENGTH)
        return attribute->Form.Nonresident.TotalAllocated;
    return attribute->Form.Nonresident.FileSize;
}

// Tags the entries [from, to) of the current extent list with where their
// mapping pairs live.
void TagExtents(LONGLONG from, LONGLONG to, LONGLONG record, ULONG type, ULONG position) {
    for (LONGLONG i = from; i < to; i++) {
        EXTENT_LIST *e = &VolData.pExtentList[i];
        e->FileRecord = record;
        e->SourceLcn = e->StartingLcn;
        e->AttributeType = type;
        e->AttributeIndex = position;
    }
}

void ShowSfm(void) {
    _snwprintf(cOutline, OUTLINE_CHARS - 1, u"Info: Skipping SFM file (multiple data streams in FRS): (FRN=%ld)\n",
               (LONG)VolData.FileRecordNumber);
    cOutline[OUTLINE_CHARS - 1] = 0;
    ShowDiag(cOutline);
}

// Walks the entries of an attribute-list value for the raw family: exact type
// match; with firstIsStdInfo the first entry must be $STANDARD_INFORMATION
// and is skipped. Fills records (when given, up to capacity) and counts the
// matches. Damage is reported.
BOOL WalkRawList(const BYTE *list, LONGLONG length, ULONG type, BOOL firstIsStdInfo, LONGLONG *records,
                 LONGLONG capacity, LONGLONG *matches) {
    *matches = 0;
    LONGLONG at = 0;
    BOOL first = TRUE;
    while (at < length) {
        LONGLONG left = length - at;
        if (left < (LONGLONG)sizeof(ATTRIBUTE_LIST_ENTRY)) {
            ERROR_REPORT();  // a step past the end of the list's data
            return FALSE;
        }
        const ATTRIBUTE_LIST_ENTRY *entry = (const ATTRIBUTE_LIST_ENTRY *)(list + at);
        if (first && firstIsStdInfo) {
            if (entry->AttributeTypeCode != ATTR_STANDARD_INFORMATION) {
                ERROR_REPORT();
                return FALSE;
            }
        } else if (entry->AttributeTypeCode == 0) {
            break;  // the end of the useful part
        }
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
        if (!(first && firstIsStdInfo) && entry->AttributeTypeCode == type) {
            if (records) {
                if (*matches >= capacity) {
                    ERROR_REPORT();
                    return FALSE;
                }
                records[*matches] = segment;
            }
            (*matches)++;
        }
        first = FALSE;
        at += entry->RecordLength;
    }
    return TRUE;
}

// Collects the record numbers of the matching entries into a new block
// (*handle/*records, freed by the caller); *count = 0 with no block when
// nothing matches.
BOOL CollectRawRecords(const BYTE *list, LONGLONG length, ULONG type, BOOL firstIsStdInfo, HGLOBAL *handle,
                       LONGLONG **records, LONGLONG *count) {
    *handle = nullptr;
    *records = nullptr;
    if (!WalkRawList(list, length, type, firstIsStdInfo, nullptr, 0, count)) return FALSE;
    if (*count == 0) return TRUE;
    if (!AllocateMemory((DWORD)(*count * sizeof(LONGLONG)), handle, (void **)records)) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG again = 0;
    if (!WalkRawList(list, length, type, firstIsStdInfo, *records, *count, &again)) {
        ReleaseBlock(handle, *records);
        *records = nullptr;
        return FALSE;
    }
    return TRUE;
}

// Appends text to a bounded line; FALSE (line unchanged) when it does not fit.
BOOL AppendText(WCHAR *line, size_t capacity, const WCHAR *text) {
    size_t have = wcslen(line), add = wcslen(text);
    if (have + add + 1 > capacity) return FALSE;
    memcpy(line + have, text, (add + 1) * sizeof(WCHAR));
    return TRUE;
}

}  // namespace

// ============================================================== raw family

// Takes an attribute type, or 0 to read the next in-use record at or after
// FileRecordNumber with GetFrs (the number moves to it) and use $DATA; with
// another type it works on pFileRecord. Builds the current file's extent
// list, unmerged, every entry tagged with the record, attribute type and
// position holding its run, takes the attribute census of every record read
// and sets the current file's counters and flags. Reparse-point, offline and
// sparse files, resident data and directories with only an index root come
// back with bResident and no extents. FALSE without a report when the record
// has no $STANDARD_INFORMATION.
BOOL ManualGetExtentList(ULONG type) {
    BYTE *bitmap = MftBitmapAddress();
    if (!bitmap) {
        ERROR_REPORT();
        return FALSE;
    }
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
    VolData.AttributeRecordCount = 0;
    if (!VolData.pExtentList && !GrowExtentList(1)) return FALSE;
    VolData.pExtentList[0].StartingLcn = 0;
    VolData.pExtentList[0].ClusterCount = 0;
    VolData.pExtentList[0].FileRecord = 0;
    VolData.pExtentList[0].SourceLcn = 0;

    PFILE_RECORD_SEGMENT_HEADER record = (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord;
    ULONG size = (ULONG)VolData.BytesPerFRS;
    if (!record) {
        ERROR_REPORT();
        return FALSE;
    }
    if (type == 0) {
        if (!GetFrs(&VolData.FileRecordNumber, VolData.pMftExtentList, bitmap, VolData.pMftBuffer, record)) {
            ERROR_REPORT();
            return FALSE;
        }
        type = ATTR_DATA;
    }
    if (record->Flags & FILE_RECORD_DIRECTORY) {
        VolData.bDirectory = TRUE;
        type = ATTR_INDEX_ALLOCATION;
    }
    ULONG attributes = 0;
    if (!GetFileAttributesOfRecord(record, size, &attributes)) return FALSE;
    VolData.bCompressed = (attributes & FILE_ATTRIBUTE_COMPRESSED) ? TRUE : FALSE;

    VolData.AttribExtentCount = 0;
    VolData.AttribClusters = 0;
    VolData.AttribFragments = 0;
    VolData.bAttribFragmented = FALSE;
    VolData.AttribLowestLcn = 0;

    if (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_SPARSE_FILE)) {
        VolData.bResident = TRUE;  // never moved
        return TRUE;
    }

    PATTRIBUTE_RECORD_HEADER list = nullptr, attribute = nullptr;
    ULONG position = 0;
    if (!FindAttribute(ATTR_ATTRIBUTE_LIST, record, &list, size, &position)) {
        if (!ExtractAttributes(record, size, VolData.FileRecordNumber, kBaseLabel)) {
            ERROR_REPORT();
            return FALSE;
        }
        if (!FindAttribute(type, record, &attribute, size, &position)) {
            VolData.bResident = TRUE;
            return TRUE;
        }
        if (!ManualGetLargeFileExtentList(attribute, type, position)) {
            ERROR_REPORT();
            return FALSE;
        }
    } else {
        BOOL mega = list->FormCode != RESIDENT_FORM;
        BOOL ok = mega ? ManualGetMegaFileExtentList(list, type) : ManualGetHugeFileExtentList(list, type);
        if (!ok) {
            if (VolData.bDirectory && VolData.NumberOfClusters == 0) {
                VolData.bResident = TRUE;  // a directory with only its index root
                return TRUE;
            }
            ERROR_REPORT();
            return FALSE;
        }
        if (mega)
            VolData.bMegaFile = TRUE;
        else
            VolData.bHugeFile = TRUE;
    }

    CheckFragged(VolData.pExtentList, &VolData.bFragmented, VolData.NumberOfExtents, &VolData.NumberOfFragments,
                 &VolData.LowestLcn);
    if (VolData.hAttribExtentList && VolData.pAttribExtentList)
        CheckFragged(VolData.pAttribExtentList, &VolData.bAttribFragmented, VolData.AttribExtentCount,
                     &VolData.AttribFragments, &VolData.AttribLowestLcn);
    return TRUE;
}

// Takes the attribute of the type found in pFileRecord (record
// FileRecordNumber), the type and the attribute's position. Resident:
// FileSize and bResident. Non-resident: bNonResident, FileSize (total
// allocated for a compressed file), the runs as the extent list with room
// for one entry more, each tagged; AttributeRecordCount = 1.
BOOL ManualGetLargeFileExtentList(PATTRIBUTE_RECORD_HEADER attribute, ULONG type, ULONG position) {
    if (attribute->FormCode == RESIDENT_FORM) {
        VolData.FileSize = attribute->Form.Resident.ValueLength;
        VolData.bResident = TRUE;
        VolData.bNonResident = FALSE;
        VolData.NumberOfExtents = 0;
        return TRUE;
    }
    VolData.bNonResident = TRUE;
    VolData.FileSize = RawFileSize(attribute);
    LONGLONG limit = attribute->Form.Nonresident.AllocatedLength;
    LONGLONG covered = 0;
    LONGLONG count = GetExtentCount(attribute, &covered, limit, &VolData.NumberOfClusters);
    if (count < 0 || !GrowExtentList(count + 1)) {
        ERROR_REPORT();
        ClearOnFailure();
        return FALSE;
    }
    LONGLONG index = 0, nextLcn = 0;
    covered = 0;
    AddToExtentList(attribute, VolData.pExtentList, count, &index, &nextLcn, &covered, limit,
                    &VolData.NumberOfFragments);
    TagExtents(0, index, VolData.FileRecordNumber, type, position);
    VolData.NumberOfExtents = index;
    VolData.AttributeRecordCount = 1;
    return TRUE;
}

// Takes a resident $ATTRIBUTE_LIST of pFileRecord and a type; sets
// AttributeRecordCount to the entries of exactly that type and builds the
// extent list from the records they name. FALSE without a report when no
// entry matches.
BOOL ManualGetHugeFileExtentList(PATTRIBUTE_RECORD_HEADER attributeList, ULONG type) {
    const BYTE *value = ResidentValue(attributeList, 0);
    if (!value) {
        ERROR_REPORT();
        ClearOnFailure();
        return FALSE;
    }
    HGLOBAL handle;
    LONGLONG *records, count = 0;
    if (!CollectRawRecords(value, attributeList->Form.Resident.ValueLength, type, FALSE, &handle, &records, &count)) {
        ClearOnFailure();
        return FALSE;
    }
    VolData.AttributeRecordCount = count;
    if (count == 0) {
        ClearOnFailure();
        return FALSE;
    }
    BOOL ok = ManualGetExtentListFromMultipleFileRecords(records, count, type);
    ReleaseBlock(&handle, records);
    return ok;
}

// Takes a non-resident $ATTRIBUTE_LIST of pFileRecord and a type; reads the
// whole list (its first entry must be $STANDARD_INFORMATION), sets
// AttributeRecordCount to the matching entries and builds the extent list
// from the records they name. FALSE without a report when none matches.
BOOL ManualGetMegaFileExtentList(PATTRIBUTE_RECORD_HEADER attributeList, ULONG type) {
    HGLOBAL listHandle = nullptr;
    BYTE *list = nullptr;
    LONGLONG length = 0, listClusters = 0;
    if (!ReadAttributeList(attributeList, &listHandle, &list, &length, &listClusters) || !list) {
        ClearOnFailure();
        return FALSE;
    }
    HGLOBAL handle = nullptr;
    LONGLONG *records = nullptr, count = 0;
    BOOL ok = CollectRawRecords(list, length, type, TRUE, &handle, &records, &count);
    ReleaseBlock(&listHandle, list);
    if (!ok) {
        ClearOnFailure();
        return FALSE;
    }
    VolData.AttributeRecordCount = count;
    if (count == 0) {
        ClearOnFailure();
        return FALSE;
    }
    ok = ManualGetExtentListFromMultipleFileRecords(records, count, type);
    ReleaseBlock(&handle, records);
    return ok;
}

// Takes record numbers (count of them, in list order) and a type. Reads each
// record raw (it must come back as the number asked for and, unless it is
// the base record FileRecordNumber, be one of its extension records: else
// the list is damaged), takes its census, and appends the runs of its
// attribute of the type, tagged with the record and attribute position;
// fragments are counted across records. A record named twice in a row, or
// holding a second attribute of the type (for a directory: a second 0xA0 or
// any 0x80), is a file with several data streams: "Skipping SFM file" and
// FALSE.
BOOL ManualGetExtentListFromMultipleFileRecords(LONGLONG *records, LONGLONG count, ULONG type) {
    VolData.NumberOfClusters = 0;
    VolData.NumberOfExtents = 0;
    VolData.NumberOfFragments = 0;
    BYTE *bitmap = MftBitmapAddress();
    HGLOBAL handle = nullptr;
    PFILE_RECORD_SEGMENT_HEADER record = nullptr;
    if (!bitmap || !AllocateMemory((DWORD)(VolData.BytesPerFRS + VolData.BytesPerSector), &handle, (void **)&record)) {
        ERROR_REPORT();
        ClearOnFailure();
        return FALSE;
    }
    ULONG size = (ULONG)VolData.BytesPerFRS;
    LONGLONG previous = -1, index = 0, nextLcn = 0, countCovered = 0, decodeCovered = 0, limit = 0;
    BOOL first = TRUE, ok = TRUE;
    for (LONGLONG r = 0; ok && r < count; r++) {
        if (records[r] == previous) {
            ShowSfm();
            ok = FALSE;
            break;
        }
        previous = records[r];
        LONGLONG n = records[r];
        if (!GetFrs(&n, VolData.pMftExtentList, bitmap, VolData.pMftBuffer, record) || n != records[r] ||
            !SegmentOfFile(record, n, VolData.FileRecordNumber)) {
            ERROR_REPORT();
            ok = FALSE;
            break;
        }
        if (!ExtractAttributes(record, size, n, kAnnexLabel)) {
            ERROR_REPORT();
            ok = FALSE;
            break;
        }
        PATTRIBUTE_RECORD_HEADER attribute = nullptr, other = nullptr;
        ULONG position = 0, otherPosition = 0;
        if (!FindAttribute(type, record, &attribute, size, &position)) {
            ERROR_REPORT();
            ok = FALSE;
            break;
        }
        other = attribute;
        otherPosition = position;
        BOOL second = FindNextAttribute(type, record, &other, size, &otherPosition);
        if (!second && type == ATTR_INDEX_ALLOCATION)
            second = FindAttribute(ATTR_DATA, record, &other, size, &otherPosition);
        if (second) {
            ShowSfm();
            ok = FALSE;
            break;
        }
        if (attribute->FormCode == RESIDENT_FORM) continue;
        if (first) {
            VolData.FileSize = RawFileSize(attribute);
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
        LONGLONG from = index;
        AddToExtentList(attribute, VolData.pExtentList, index + runs, &index, &nextLcn, &decodeCovered, limit,
                        &VolData.NumberOfFragments);
        TagExtents(from, index, n, type, position);
    }
    ReleaseBlock(&handle, record);
    if (!ok) {
        ClearOnFailure();
        return FALSE;
    }
    VolData.NumberOfExtents = index;
    return TRUE;
}

// Takes an extent array and its entry count; out: the fragmented flag, the
// fragment count and the lowest LCN. Sparse entries neither count nor break
// contiguity; with fewer than 2 entries the lowest LCN is the first entry's.
// Always TRUE.
BOOL CheckFragged(EXTENT_LIST *list, BOOL *fragmented, LONGLONG count, LONGLONG *fragments, LONGLONG *lowestLcn) {
    *fragmented = FALSE;
    *fragments = 1;
    *lowestLcn = list ? list[0].StartingLcn : 0;
    if (count < 2 || !list) return TRUE;
    BOOL seen = FALSE;
    LONGLONG previousEnd = 0;
    for (LONGLONG i = 0; i < count; i++) {
        LONGLONG lcn = list[i].StartingLcn;
        if (lcn < 0) continue;
        if (!seen) {
            *lowestLcn = lcn;
            seen = TRUE;
        } else {
            if (lcn < *lowestLcn) *lowestLcn = lcn;
            if (lcn != previousEnd) {
                *fragmented = TRUE;
                (*fragments)++;
            }
        }
        previousEnd = lcn + list[i].ClusterCount;
    }
    return TRUE;
}

// ========================================================== names and paths

// Scans the $FILE_NAME attributes of one record: takes the first Win32 name
// (namespace bit 0x1), else remembers the last one met. Returns 1 when a
// Win32 name was taken, 0 otherwise (*found tells whether any was), -1 for a
// damaged one (reported).
static int ScanNames(PFILE_RECORD_SEGMENT_HEADER fileRecord, WCHAR *name, LONGLONG *parent, BOOL *found) {
    ULONG size = (ULONG)VolData.BytesPerFRS;
    PATTRIBUTE_RECORD_HEADER attribute = nullptr;
    ULONG position = 0;
    if (!FindAttribute(ATTR_FILE_NAME, fileRecord, &attribute, size, &position)) return 0;
    for (;;) {
        const FILE_NAME *fn = (const FILE_NAME *)ResidentValue(attribute, FILE_NAME_HEADER_LENGTH);
        if (!fn ||
            FILE_NAME_HEADER_LENGTH + fn->FileNameLength * sizeof(WCHAR) > attribute->Form.Resident.ValueLength) {
            ERROR_REPORT();
            return -1;
        }
        memcpy(name, (const BYTE *)fn + FILE_NAME_HEADER_LENGTH, fn->FileNameLength * sizeof(WCHAR));
        name[fn->FileNameLength] = 0;
        *parent = (LONGLONG)(fn->ParentDirectory & SEGMENT_NUMBER_MASK);
        *found = TRUE;
        if (fn->Flags & FILE_NAME_WIN32) return 1;
        if (!FindNextAttribute(ATTR_FILE_NAME, fileRecord, &attribute, size, &position)) return 0;
    }
}

// Takes a base record without $FILE_NAME; looks for the names in the records
// its $ATTRIBUTE_LIST names for them (read raw), with the same choice.
static BOOL NamesFromList(PFILE_RECORD_SEGMENT_HEADER fileRecord, WCHAR *name, LONGLONG *parent, BOOL *found) {
    ULONG size = (ULONG)VolData.BytesPerFRS;
    PATTRIBUTE_RECORD_HEADER list = nullptr;
    ULONG position = 0;
    if (!FindAttribute(ATTR_ATTRIBUTE_LIST, fileRecord, &list, size, &position)) return TRUE;
    HGLOBAL listHandle = nullptr;
    BYTE *data = nullptr;
    const BYTE *value = nullptr;
    LONGLONG length = 0, clusters = 0;
    if (list->FormCode == RESIDENT_FORM) {
        value = ResidentValue(list, 0);
        length = list->Form.Resident.ValueLength;
    } else {
        if (!ReadAttributeList(list, &listHandle, &data, &length, &clusters)) return FALSE;
        value = data;
    }
    HGLOBAL handle = nullptr, recordHandle = nullptr;
    LONGLONG *records = nullptr, count = 0;
    PFILE_RECORD_SEGMENT_HEADER record = nullptr;
    BYTE *bitmap = MftBitmapAddress();
    BOOL ok = value && bitmap && CollectRawRecords(value, length, ATTR_FILE_NAME, FALSE, &handle, &records, &count);
    if (ok && count > 0 &&
        !AllocateMemory((DWORD)(VolData.BytesPerFRS + VolData.BytesPerSector), &recordHandle, (void **)&record))
        ok = FALSE;
    for (LONGLONG i = 0; ok && i < count; i++) {
        if (i > 0 && records[i] == records[i - 1]) continue;
        LONGLONG n = records[i];
        if (!GetFrs(&n, VolData.pMftExtentList, bitmap, VolData.pMftBuffer, record) || n != records[i]) {
            ok = FALSE;
            break;
        }
        int taken = ScanNames(record, name, parent, found);
        if (taken < 0) ok = FALSE;
        if (taken != 0) break;
    }
    ReleaseBlock(&recordHandle, record);
    ReleaseBlock(&handle, records);
    ReleaseBlock(&listHandle, data);
    if (!ok) ERROR_REPORT();
    return ok;
}

// Takes a record (BytesPerFRS bytes), a name buffer of NTFS_NAME_CHARS
// characters and an out parent number. Copies the record's Win32 name (the
// first $FILE_NAME whose namespace has bit 0x1; failing that the last one)
// with a terminator and gives the parent's 48-bit record number. A base
// record whose names were moved out to extension records (its attribute
// list says where) is named from there. A record without $FILE_NAME, or
// with a damaged one, is reported.
BOOL GetNameFromFileRecord(PFILE_RECORD_SEGMENT_HEADER fileRecord, WCHAR *name, LONGLONG *parent) {
    BOOL found = FALSE;
    int taken = ScanNames(fileRecord, name, parent, &found);
    if (taken < 0) return FALSE;
    if (!found && !NamesFromList(fileRecord, name, parent, &found)) return FALSE;
    if (!found) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Takes nothing; works on pFileRecord. Builds the current file's full path in
// cFileName: cDrive, then every directory below the root and the name, each
// after a backslash. A file in the same directory as the last path built the
// long way reuses that path's directory part. The walk up reads parents raw
// (GetFrs), at most MAX_PATH_DEPTH of them, into a buffer freed on every way
// out. On failure cFileName is left as it was and the next path is built
// the long way.
BOOL ManualGetNtfsFilePath(void) {
    BYTE *bitmap = MftBitmapAddress();
    if (!bitmap) {
        ERROR_REPORT();
        return FALSE;
    }
    WCHAR name[NTFS_NAME_CHARS];
    LONGLONG parent = 0;
    if (!GetNameFromFileRecord((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord, name, &parent)) {
        ERROR_REPORT();
        return FALSE;
    }
    size_t nameLength = wcslen(name);

    if (parent == LastPathFrs && VolData.cFileName[0]) {
        WCHAR *slash = wcsrchr(VolData.cFileName, u'\\');
        if (!slash) {
            ERROR_REPORT();
            return FALSE;
        }
        size_t at = (size_t)(slash - VolData.cFileName);
        if (at + nameLength + 1 >= SHORTCUT_PATH_CHARS) {
            ERROR_REPORT();
            return FALSE;
        }
        memcpy(slash + 1, name, (nameLength + 1) * sizeof(WCHAR));
        return TRUE;
    }

    // The long way: the path grows leftwards from the end of the work area.
    const size_t capacity = FILE_NAME_CHARS - 1 - wcsnlen(VolData.cDrive, 8);
    WCHAR *work = VolData.cNameWork;
    size_t start = FILE_NAME_CHARS - 1;
    work[start] = 0;
    auto prepend = [&](const WCHAR *part, size_t length) -> BOOL {
        if ((FILE_NAME_CHARS - 1 - start) + length + 1 > capacity) return FALSE;
        start -= length;
        memcpy(work + start, part, length * sizeof(WCHAR));
        work[--start] = u'\\';
        return TRUE;
    };
    LastPathFrs = -1;  // until this path is complete
    if (!prepend(name, nameLength)) {
        ERROR_REPORT();
        return FALSE;
    }
    HGLOBAL handle = nullptr;
    PFILE_RECORD_SEGMENT_HEADER record = nullptr;
    LONGLONG directory = parent;
    BOOL ok = TRUE;
    for (LONG depth = 0; ok && directory != MFT_RECORD_ROOT; depth++) {
        if (depth >= MAX_PATH_DEPTH) {
            ERROR_REPORT();  // a parent chain that loops or never reaches the root
            ok = FALSE;
            break;
        }
        if (!record &&
            !AllocateMemory((DWORD)(VolData.BytesPerFRS + VolData.BytesPerSector), &handle, (void **)&record)) {
            ERROR_REPORT();
            ok = FALSE;
            break;
        }
        LONGLONG n = directory;
        if (!GetFrs(&n, VolData.pMftExtentList, bitmap, VolData.pMftBuffer, record) || n != directory) {
            ERROR_REPORT();
            ok = FALSE;
            break;
        }
        WCHAR directoryName[NTFS_NAME_CHARS];
        LONGLONG up = 0;
        if (!GetNameFromFileRecord(record, directoryName, &up)) {
            ERROR_REPORT();
            ok = FALSE;
            break;
        }
        if (!prepend(directoryName, wcslen(directoryName))) {
            ERROR_REPORT();
            ok = FALSE;
            break;
        }
        directory = up;
    }
    ReleaseBlock(&handle, record);
    if (!ok) return FALSE;
    _snwprintf(VolData.cFileName, FILE_NAME_CHARS, u"%s%s", VolData.cDrive, work + start);
    VolData.cFileName[FILE_NAME_CHARS - 1] = 0;
    LastPathFrs = parent;
    return TRUE;
}

// Takes nothing; TRUE, with bDirectory set, when pFileRecord is a directory's
// record. FALSE leaves bDirectory as it was.
BOOL IsDirectory(void) {
    PFILE_RECORD_SEGMENT_HEADER record = (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord;
    if (record && (record->Flags & FILE_RECORD_DIRECTORY)) {
        VolData.bDirectory = TRUE;
        return TRUE;
    }
    return FALSE;
}

// ======================================================== attribute census

// Takes a record, its size, its record number and a label for the log.
// Counts every attribute in glAttribStats; appends the runs of every
// non-resident attribute other than $DATA and $INDEX_ALLOCATION to the
// attribute extent list (pAttribExtentList, grown as needed, each entry
// tagged with the record, type and position); above log level 8 lists the
// attributes with ShowDiag. A damaged attribute or run list, or a failed
// growth, is reported.
BOOL ExtractAttributes(PFILE_RECORD_SEGMENT_HEADER fileRecord, ULONG recordSize, LONGLONG fileRecordNumber,
                       const WCHAR *label) {
    if (!fileRecord || recordSize < sizeof(FILE_RECORD_SEGMENT_HEADER)) {
        ERROR_REPORT();
        return FALSE;
    }
    ULONG offset = fileRecord->FirstAttributeOffset;
    for (ULONG index = 0;; index++) {
        if ((ULONGLONG)offset + sizeof(ULONG) > recordSize) {
            ERROR_REPORT();  // left the record without an end marker
            return FALSE;
        }
        PATTRIBUTE_RECORD_HEADER a = (PATTRIBUTE_RECORD_HEADER)((BYTE *)fileRecord + offset);
        if (a->TypeCode == ATTRIBUTE_END) break;
        if (!AttributeValid(fileRecord, recordSize, offset)) {
            ERROR_REPORT();
            return FALSE;
        }
        BOOL nonResident = a->FormCode != RESIDENT_FORM;
        CountAttrib(a->TypeCode, TRUE);
        if (nonResident) CountAttrib(a->TypeCode, FALSE);

        if (nonResident && a->TypeCode != ATTR_DATA && a->TypeCode != ATTR_INDEX_ALLOCATION) {
            LONGLONG covered = 0;
            LONGLONG limit = a->Form.Nonresident.AllocatedLength;
            LONGLONG count = GetExtentCount(a, &covered, limit, &VolData.AttribClusters);
            if (count < 0) {
                ERROR_REPORT();
                return FALSE;
            }
            if (VolData.AttribExtentCount + count > VolData.AttribExtentCapacity - 1) {
                LONGLONG entries = VolData.AttribExtentCount + count + 1;
                if (entries > 0x7FFFFFFF / (LONGLONG)sizeof(EXTENT_LIST) ||
                    !AllocateMemory((DWORD)(entries * sizeof(EXTENT_LIST)), &VolData.hAttribExtentList,
                                    (void **)&VolData.pAttribExtentList)) {
                    VolData.pAttribExtentList = nullptr;
                    VolData.AttribExtentCapacity = 0;
                    VolData.AttribExtentCount = 0;
                    ERROR_REPORT();
                    return FALSE;
                }
                VolData.AttribExtentCapacity = entries;
            }
            LONGLONG next = VolData.AttribExtentCount, nextLcn = 0, fragments = 0;
            covered = 0;
            AddToExtentList(a, VolData.pAttribExtentList, VolData.AttribExtentCount + count, &next, &nextLcn, &covered,
                            limit, &fragments);
            for (LONGLONG i = VolData.AttribExtentCount; i < next; i++) {
                EXTENT_LIST *e = &VolData.pAttribExtentList[i];
                e->FileRecord = fileRecordNumber;
                e->AttributeIndex = index;
                e->AttributeType = a->TypeCode;
                e->SourceLcn = e->StartingLcn;
            }
            VolData.AttribExtentCount = next;
        }

        if (lLogLevel > 8) {
            WCHAR line[kMappingLineChars + 64];
            line[0] = 0;
            AppendText(line, 128, label ? label : u"");
            AppendText(line, sizeof(line) / sizeof(WCHAR), GetAttribName(a->TypeCode, TRUE));
            AppendText(line, sizeof(line) / sizeof(WCHAR), nonResident ? u" Non-Resident Form " : u" Resident Form ");
            ShowDiag(line);
            ShowDiag(u"\n");
            if (nonResident) {
                _snwprintf(line, 64, u"     AllocatedLength = 0x%08lx bytes Mappingpairs =",
                           (LONG)a->Form.Nonresident.AllocatedLength);
                line[63] = 0;
                const BYTE *p = (const BYTE *)a + a->Form.Nonresident.MappingPairsOffset;
                const BYTE *end = (const BYTE *)a + a->RecordLength;
                for (; p < end && *p; p++) {
                    if ((LONG)wcslen(line) > kMappingLineChars) {
                        AppendText(line, sizeof(line) / sizeof(WCHAR), u"...");
                        break;
                    }
                    WCHAR hex[8];
                    _snwprintf(hex, 8, u" %02lx", (ULONG)*p);
                    hex[7] = 0;
                    AppendText(line, sizeof(line) / sizeof(WCHAR), hex);
                }
                ShowDiag(line);
                ShowDiag(u"\n");
            }
        }
        offset += a->RecordLength;
    }
    return TRUE;
}

// Takes a type code and the form wanted; returns the attribute's name (short:
// 13 characters for columns). A constant text, never null.
const WCHAR *GetAttribName(ULONG type, BOOL longForm) {
    switch (type) {
    case ATTR_UNUSED:
        return u"$UNUSED(0x00)";
    case ATTR_STANDARD_INFORMATION:
        return longForm ? u"$STANDARD_INFORMATION(0x10)" : u"$STDINF(0x10)";
    case ATTR_ATTRIBUTE_LIST:
        return longForm ? u"$ATTRIBUTE_LIST(0x20)" : u"$ATTLST(0x20)";
    case ATTR_FILE_NAME:
        return longForm ? u"$FILE_NAME(0x30)" : u"$FILNAM(0x30)";
    case ATTR_VOLUME_VERSION:
        return longForm ? u"$VOLUME_VERSION(0x40)" : u"$VOLVER(0x40)";
    case ATTR_SECURITY_DESCRIPTOR:
        return longForm ? u"$SECURITY_DESCRIPTOR(0x50)" : u"$SECDES(0x50)";
    case ATTR_VOLUME_NAME:
        return longForm ? u"$VOLUME_NAME(0x60)" : u"$VOLNAM(0x60)";
    case ATTR_VOLUME_INFORMATION:
        return longForm ? u"$VOLUME_INFORMATION(0x70)" : u"$VOLINF(0x70)";
    case ATTR_DATA:
        return u"$DATA  (0x80)";
    case ATTR_INDEX_ROOT:
        return longForm ? u"$INDEX_ROOT(0x90)" : u"$INDXRT(0x90)";
    case ATTR_INDEX_ALLOCATION:
        return longForm ? u"$INDEX_ALLOCATION(0xA0)" : u"$INDXAL(0xA0)";
    case ATTR_BITMAP:
        return u"$BITMAP(0xB0)";
    case ATTR_SYMBOLIC_LINK:
        return longForm ? u"$SYMBOLIC_LINK(0xC0)" : u"$SYMLNK(0xC0)";
    case ATTR_EA_INFORMATION:
        return longForm ? u"$EA_INFORMATION(0xD0)" : u"$EA_INF(0xD0)";
    case ATTR_EA:
        return u"$EA    (0xE0)";
    case ATTR_FIRST_USER_DEFINED:
        return longForm ? u"$FIRST_USER_DEFINED_ATTRIBUTE(0x100)" : u"$USRAT(0x100)";
    case ATTRIBUTE_END:
        return longForm ? u"$END(0xFFFFFFFF)" : u"$END (0xFFFF)";
    default:
        return longForm ? u"ERROR! UNKNOWN ATTRIBUTE TYPE!"
                        : u"$UNKNWN(0x?"
                          u"?)";
    }
}

// Takes a type code and the row (TRUE: every attribute, FALSE: the
// non-resident ones); adds 1 to the type's counter in glAttribStats.
void CountAttrib(ULONG type, BOOL all) {
    int column;
    if (type <= ATTR_EA && type % 0x10 == 0)
        column = (int)(type / 0x10);
    else if (type == ATTR_FIRST_USER_DEFINED)
        column = 15;
    else if (type == ATTRIBUTE_END)
        column = 16;
    else
        column = 17;
    glAttribStats[all ? 1 : 0][column]++;
}
