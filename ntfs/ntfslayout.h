// NTFS on-disk structures, as the NTFS engine reads and writes them.
//
// Every structure is packed and read in place from a buffer that holds what
// came off the disk; every field carries its byte offset and the layout is
// checked at compile time. NTFS is little-endian; the structures are read in
// place, so the host must be little-endian too (checked below).
//
// Nothing read through these structures is trusted: the parsers of the engine
// check each offset, length and count against the end of its buffer before
// they use it (see the Ntfs*Valid helpers of ntfs.h).
#pragma once

#include <nt/nt.h>

#include <bit>

static_assert(std::endian::native == std::endian::little,
              "NTFS structures are read in place: the host must be little-endian");

// ------------------------------------------------------------ sentinels
// One table of the special values the engine names.
#define NTFS_RECORD_SIGNATURE 0x454C4946u          // "FILE" read as a little-endian 32-bit value
#define ATTRIBUTE_END 0xFFFFFFFFu                  // type code that ends a record's attributes
#define USA_STRIDE 512                             // the update-sequence stride, whatever the sector size
#define MFT_RECORD_MFT 0                           // the MFT itself
#define MFT_RECORD_MIRROR 1                        // the MFT mirror
#define MFT_RECORD_VOLUME 3                        // $Volume (volume information, NTFS version)
#define MFT_RECORD_ROOT 5                          // the root directory
#define MFT_RECORD_BITMAP 6                        // $Bitmap, the volume bitmap file
#define MFT_RECORD_UPCASE 10                       // the end of its first extent ends the system-file area
#define SEGMENT_NUMBER_MASK 0x0000FFFFFFFFFFFFull  // low 48 bits of a file reference
// The LCN of a sparse run is SPARSE_LCN (-1, common/voldata.h).

// Record flags (FILE_RECORD_SEGMENT_HEADER.Flags).
#define FILE_RECORD_IN_USE 0x0001
#define FILE_RECORD_DIRECTORY 0x0002

// Attribute type codes.
#define ATTR_UNUSED 0x00
#define ATTR_STANDARD_INFORMATION 0x10
#define ATTR_ATTRIBUTE_LIST 0x20
#define ATTR_FILE_NAME 0x30
#define ATTR_VOLUME_VERSION 0x40  // NT 4.0 name of the object-id attribute
#define ATTR_SECURITY_DESCRIPTOR 0x50
#define ATTR_VOLUME_NAME 0x60
#define ATTR_VOLUME_INFORMATION 0x70
#define ATTR_DATA 0x80
#define ATTR_INDEX_ROOT 0x90
#define ATTR_INDEX_ALLOCATION 0xA0
#define ATTR_BITMAP 0xB0
#define ATTR_SYMBOLIC_LINK 0xC0  // NT 4.0 name of the reparse-point attribute
#define ATTR_EA_INFORMATION 0xD0
#define ATTR_EA 0xE0
#define ATTR_FIRST_USER_DEFINED 0x100

// Form codes (ATTRIBUTE_RECORD_HEADER.FormCode).
#define RESIDENT_FORM 0x00
#define NONRESIDENT_FORM 0x01

// $FILE_NAME namespaces; bit 0x1 marks a Win32 name.
#define FILE_NAME_POSIX 0x00
#define FILE_NAME_WIN32 0x01
#define FILE_NAME_DOS 0x02
#define FILE_NAME_WIN32_AND_DOS 0x03

#pragma pack(push, 1)

// One file record segment (the MFT record); BytesPerFRS bytes on disk.
typedef struct _FILE_RECORD_SEGMENT_HEADER {
    ULONG Signature;                   // 0x00: "FILE"
    USHORT UpdateSequenceArrayOffset;  // 0x04: from the start of the record
    USHORT UpdateSequenceArraySize;    // 0x06: entries, the USN included
    ULONGLONG LogFileSequenceNumber;   // 0x08
    USHORT SequenceNumber;             // 0x10
    USHORT ReferenceCount;             // 0x12: link count; 0 in extension records
    USHORT FirstAttributeOffset;       // 0x14
    USHORT Flags;                      // 0x16: FILE_RECORD_*
    ULONG FirstFreeByte;               // 0x18: bytes in use
    ULONG BytesAvailable;              // 0x1C: bytes allocated for the record
    ULONGLONG BaseFileRecordSegment;   // 0x20: file reference of the base record (0 in a base record)
    USHORT NextAttributeInstance;      // 0x28
    USHORT Reserved;                   // 0x2A (NTFS 3.1)
    ULONG SegmentNumberLowPart;        // 0x2C (NTFS 3.1)
} FILE_RECORD_SEGMENT_HEADER, *PFILE_RECORD_SEGMENT_HEADER;
static_assert(sizeof(FILE_RECORD_SEGMENT_HEADER) == 0x30, "FILE_RECORD_SEGMENT_HEADER layout");
static_assert(offsetof(FILE_RECORD_SEGMENT_HEADER, UpdateSequenceArraySize) == 0x06, "FRS layout");
static_assert(offsetof(FILE_RECORD_SEGMENT_HEADER, ReferenceCount) == 0x12, "FRS layout");
static_assert(offsetof(FILE_RECORD_SEGMENT_HEADER, FirstAttributeOffset) == 0x14, "FRS layout");
static_assert(offsetof(FILE_RECORD_SEGMENT_HEADER, Flags) == 0x16, "FRS layout");
static_assert(offsetof(FILE_RECORD_SEGMENT_HEADER, FirstFreeByte) == 0x18, "FRS layout");
static_assert(offsetof(FILE_RECORD_SEGMENT_HEADER, BaseFileRecordSegment) == 0x20, "FRS layout");

// The header every attribute record begins with; the form-specific part
// follows at 0x10.
typedef struct _ATTRIBUTE_RECORD_HEADER {
    ULONG TypeCode;      // 0x00: ATTR_*; ATTRIBUTE_END ends the list
    ULONG RecordLength;  // 0x04: the step to the next attribute
    UCHAR FormCode;      // 0x08: RESIDENT_FORM or not
    UCHAR NameLength;    // 0x09: characters
    USHORT NameOffset;   // 0x0A
    USHORT Flags;        // 0x0C: 0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
    USHORT Instance;     // 0x0E
    union {
        struct {
            ULONG ValueLength;    // 0x10
            USHORT ValueOffset;   // 0x14
            UCHAR ResidentFlags;  // 0x16
            UCHAR Reserved;       // 0x17
        } Resident;
        struct {
            LONGLONG LowestVcn;         // 0x10
            LONGLONG HighestVcn;        // 0x18
            USHORT MappingPairsOffset;  // 0x20
            UCHAR CompressionUnit;      // 0x22
            UCHAR Reserved[5];          // 0x23
            LONGLONG AllocatedLength;   // 0x28
            LONGLONG FileSize;          // 0x30
            LONGLONG ValidDataLength;   // 0x38
            LONGLONG TotalAllocated;    // 0x40: only when compressed or sparse
        } Nonresident;
    } Form;
} ATTRIBUTE_RECORD_HEADER, *PATTRIBUTE_RECORD_HEADER;
static_assert(offsetof(ATTRIBUTE_RECORD_HEADER, FormCode) == 0x08, "attribute layout");
static_assert(offsetof(ATTRIBUTE_RECORD_HEADER, NameOffset) == 0x0A, "attribute layout");
static_assert(offsetof(ATTRIBUTE_RECORD_HEADER, Form.Resident.ValueLength) == 0x10, "attribute layout");
static_assert(offsetof(ATTRIBUTE_RECORD_HEADER, Form.Resident.ValueOffset) == 0x14, "attribute layout");
static_assert(offsetof(ATTRIBUTE_RECORD_HEADER, Form.Nonresident.HighestVcn) == 0x18, "attribute layout");
static_assert(offsetof(ATTRIBUTE_RECORD_HEADER, Form.Nonresident.MappingPairsOffset) == 0x20, "attribute layout");
static_assert(offsetof(ATTRIBUTE_RECORD_HEADER, Form.Nonresident.AllocatedLength) == 0x28, "attribute layout");
static_assert(offsetof(ATTRIBUTE_RECORD_HEADER, Form.Nonresident.FileSize) == 0x30, "attribute layout");
static_assert(offsetof(ATTRIBUTE_RECORD_HEADER, Form.Nonresident.ValidDataLength) == 0x38, "attribute layout");
static_assert(offsetof(ATTRIBUTE_RECORD_HEADER, Form.Nonresident.TotalAllocated) == 0x40, "attribute layout");
static_assert(sizeof(ATTRIBUTE_RECORD_HEADER) == 0x48, "attribute layout");

// Smallest record length of each form, and the bytes of the header that must
// lie inside the attribute before a field is read.
#define ATTRIBUTE_HEADER_COMMON 0x10  // type .. instance
#define RESIDENT_HEADER_LENGTH 0x18
#define NONRESIDENT_HEADER_LENGTH 0x40      // without TotalAllocated
#define NONRESIDENT_COMPRESSED_LENGTH 0x48  // with TotalAllocated

// Value of $STANDARD_INFORMATION (0x10); only the file attributes are read.
typedef struct _STANDARD_INFORMATION {
    LONGLONG CreationTime;          // 0x00
    LONGLONG LastModificationTime;  // 0x08
    LONGLONG LastChangeTime;        // 0x10
    LONGLONG LastAccessTime;        // 0x18
    ULONG FileAttributes;           // 0x20: FILE_ATTRIBUTE_* (sparse 0x200, reparse 0x400, ...)
} STANDARD_INFORMATION, *PSTANDARD_INFORMATION;
static_assert(offsetof(STANDARD_INFORMATION, FileAttributes) == 0x20, "standard information layout");
static_assert(sizeof(STANDARD_INFORMATION) == 0x24, "standard information layout");

// Value of $FILE_NAME (0x30).
typedef struct _FILE_NAME {
    ULONGLONG ParentDirectory;      // 0x00: file reference; low 48 bits = parent's record
    LONGLONG CreationTime;          // 0x08
    LONGLONG LastModificationTime;  // 0x10
    LONGLONG LastChangeTime;        // 0x18
    LONGLONG LastAccessTime;        // 0x20
    LONGLONG AllocatedLength;       // 0x28
    LONGLONG FileSize;              // 0x30
    ULONG FileAttributes;           // 0x38
    ULONG ReparseTag;               // 0x3C
    UCHAR FileNameLength;           // 0x40: characters
    UCHAR Flags;                    // 0x41: namespace, FILE_NAME_*
    WCHAR FileName[1];              // 0x42: UTF-16, not terminated
} FILE_NAME, *PFILE_NAME;
static_assert(offsetof(FILE_NAME, FileNameLength) == 0x40, "file name layout");
static_assert(offsetof(FILE_NAME, Flags) == 0x41, "file name layout");
static_assert(offsetof(FILE_NAME, FileName) == 0x42, "file name layout");
#define FILE_NAME_HEADER_LENGTH 0x42

// One entry of an $ATTRIBUTE_LIST (0x20) value; entries are variable-length.
typedef struct _ATTRIBUTE_LIST_ENTRY {
    ULONG AttributeTypeCode;       // 0x00
    USHORT RecordLength;           // 0x04: the step to the next entry
    UCHAR AttributeNameLength;     // 0x06
    UCHAR AttributeNameOffset;     // 0x07
    LONGLONG LowestVcn;            // 0x08
    ULONG SegmentNumberLowPart;    // 0x10: record holding the piece, low 32 bits
    USHORT SegmentNumberHighPart;  // 0x14: high 16 bits
    USHORT SequenceNumber;         // 0x16
    USHORT Instance;               // 0x18
} ATTRIBUTE_LIST_ENTRY, *PATTRIBUTE_LIST_ENTRY;
static_assert(offsetof(ATTRIBUTE_LIST_ENTRY, RecordLength) == 0x04, "attribute list layout");
static_assert(offsetof(ATTRIBUTE_LIST_ENTRY, SegmentNumberLowPart) == 0x10, "attribute list layout");
static_assert(offsetof(ATTRIBUTE_LIST_ENTRY, SegmentNumberHighPart) == 0x14, "attribute list layout");
static_assert(sizeof(ATTRIBUTE_LIST_ENTRY) == 0x1A, "attribute list layout");
// Entries are 8-byte aligned, so even one without a name takes 32 bytes.
#define ATTRIBUTE_LIST_ENTRY_MIN 0x20

// Value of $VOLUME_INFORMATION (0x70).
typedef struct _VOLUME_INFORMATION {
    LONGLONG Reserved;   // 0x00
    UCHAR MajorVersion;  // 0x08
    UCHAR MinorVersion;  // 0x09
    USHORT VolumeFlags;  // 0x0A
} VOLUME_INFORMATION, *PVOLUME_INFORMATION;
static_assert(offsetof(VOLUME_INFORMATION, MajorVersion) == 0x08, "volume information layout");
static_assert(sizeof(VOLUME_INFORMATION) == 0x0C, "volume information layout");

#pragma pack(pop)

// The 48-bit segment number of an attribute-list entry.
inline LONGLONG AttributeListEntrySegment(const ATTRIBUTE_LIST_ENTRY *entry) {
    return (LONGLONG)entry->SegmentNumberLowPart | ((LONGLONG)entry->SegmentNumberHighPart << 32);
}
