// Fuzz target: one file record through the record parsers — update-sequence
// check and protection, the three attribute lookups, names, the attribute
// census, run lists, and the attribute-list walks up to the first record
// read (which fails: there is no disk behind the globals).
#include "fuzz_support.h"

#include <vector>

using namespace ntfsfuzz;

static void Lookups(PFILE_RECORD_SEGMENT_HEADER record) {
    PATTRIBUTE_RECORD_HEADER a = nullptr;
    ULONG position = 0;
    static const ULONG types[] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70,  0x80,
                                  0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0x100, 0x110};
    for (ULONG type : types) {
        if (FindAttribute(type, record, &a, 1024, &position)) {
            int steps = 0;
            while (FindNextAttribute(type, record, &a, 1024, &position)) Trap(++steps < 1024);
        }
        for (ULONG i = 0; i < 40; i++) FindAttributeByIndex(type, i, record, &a, 1024);
    }
}

static void RunLists(PFILE_RECORD_SEGMENT_HEADER record, ULONG type) {
    PATTRIBUTE_RECORD_HEADER a = nullptr;
    ULONG position = 0;
    if (!FindAttribute(type, record, &a, 1024, &position)) return;
    int steps = 0;
    do {
        Trap(++steps < 1024);
        if (a->FormCode == RESIDENT_FORM) continue;
        LONGLONG covered = 0, clusters = 0;
        LONGLONG limit = a->Form.Nonresident.AllocatedLength;
        LONGLONG count = GetExtentCount(a, &covered, limit, &clusters);
        if (count < 0) continue;
        std::vector<EXTENT_LIST> list((size_t)count + 1);
        LONGLONG index = 0, nextLcn = 0, fragments = 0;
        covered = 0;
        AddToExtentList(a, list.data(), count, &index, &nextLcn, &covered, limit, &fragments);
        Trap(index <= count);
        BOOL fragmented;
        LONGLONG lowest;
        CheckFragged(list.data(), &fragmented, index, &fragments, &lowest);
    } while (FindNextAttribute(type, record, &a, 1024, &position));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = InitOnce();
    (void)ready;
    ResetPerInput();
    std::vector<uint8_t> record(1024, 0);
    memcpy(record.data(), data, size < 1024 ? size : 1024);
    PFILE_RECORD_SEGMENT_HEADER frs = (PFILE_RECORD_SEGMENT_HEADER)record.data();

    // The update sequence: a failed check changes nothing; a passed one is
    // undone exactly by the protection.
    std::vector<uint8_t> read = record;
    if (AdjustUSA(frs)) {
        std::vector<uint8_t> adjusted = record;
        Trap(EncodeUSA(frs));
        Trap(record == read);
        Trap(AdjustUSA(frs));
        Trap(record == adjusted);
    } else {
        Trap(record == read);
    }

    Lookups(frs);
    RunLists(frs, 0x80);
    RunLists(frs, 0xA0);
    RunLists(frs, 0xB0);
    WCHAR name[NTFS_NAME_CHARS];
    LONGLONG parent;
    GetNameFromFileRecord(frs, name, &parent);
    ExtractAttributes(frs, 1024, 7, u"Base FRS Attribute Data - ");

    // The record as the current file: query and raw families on it. Every
    // read of another record fails, which ends those paths.
    memcpy(VolData.pFileRecord, record.data(), 1024);
    VolData.FileRecordNumber = 7;
    GetExtentList(0x80);
    ManualGetExtentList(0x80);
    ManualGetExtentList(0xB0);
    return 0;
}
