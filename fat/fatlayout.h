// FAT16/FAT32 on-disk structures, as the FAT engine reads and writes them:
// the boot sector's parameter block, the 32-byte directory entry (DIRSTRUC)
// and the long-name entry, with the special values the engine names.
//
// Every structure is packed and read in place from a buffer that holds what
// came off the disk; every field carries its byte offset and the layout is
// checked at compile time. FAT is little-endian; the structures are read in
// place, so the host must be little-endian too (checked below).
//
// Nothing read through these structures is trusted: the engine checks the
// boot sector's fields against each other and against the file system's
// size query (GetFatBootSector), every link of a chain against the volume
// (GetExtentListManuallyFat), and every name against its buffer.
#pragma once

#include <nt/nt.h>

#include <bit>

static_assert(std::endian::native == std::endian::little,
              "FAT structures are read in place: the host must be little-endian");

// ------------------------------------------------------------ FAT entries
#define FAT_FIRST_CLUSTER 2  // cluster number of LCN 0
#define FAT16_ENTRY_BYTES 2
#define FAT32_ENTRY_BYTES 4
#define FAT_FREE 0                   // an entry of a free cluster
#define FAT16_EOC_FIRST 0xFFF8u      // FAT16 entries from here on end a chain (as read)
#define FAT16_EOC 0xFFFFu            // ... and this one is written
#define FAT32_LINK_MASK 0x0FFFFFFFu  // FAT32: the link is the low 28 bits; the high 4 are reserved
#define FAT32_EOC_FIRST 0x0FFFFFF8u  // FAT32 links from here on end a chain (as read)
#define FAT32_EOC 0x0FFFFFFFu        // ... and this one is written
#define FAT12_CLUSTER_LIMIT 4087     // fewer clusters: a 12-bit FAT, which the program refuses

// FAT32 extended flags (FAT_BOOT_SECTOR.Fat32.ExtFlags).
#define FAT32_NO_MIRRORING 0x0080  // only the active FAT is in use
#define FAT32_ACTIVE_FAT 0x000F    // number of the active FAT (meaningful with FAT32_NO_MIRRORING)

#pragma pack(push, 1)

// The boot sector's parameter block (sector 0 of the volume) and the FAT16
// and FAT32 extensions that follow it. The engine takes the sector and
// cluster sizes from the file system, not from here (it checks that the two
// agree).
typedef struct _FAT_BOOT_SECTOR {
    BYTE Jump[3];            // 0x00
    BYTE OemName[8];         // 0x03
    USHORT BytesPerSector;   // 0x0B
    BYTE SectorsPerCluster;  // 0x0D
    USHORT ReservedSectors;  // 0x0E
    BYTE NumberOfFats;       // 0x10
    USHORT RootEntries;      // 0x11: FAT16 root directory entries; 0 on FAT32
    USHORT TotalSectors16;   // 0x13: 0 when the count needs TotalSectors32
    BYTE Media;              // 0x15
    USHORT SectorsPerFat16;  // 0x16: 0 on FAT32
    USHORT SectorsPerTrack;  // 0x18
    USHORT Heads;            // 0x1A
    ULONG HiddenSectors;     // 0x1C
    ULONG TotalSectors32;    // 0x20
    union {
        struct {
            BYTE DriveNumber;      // 0x24
            BYTE Reserved;         // 0x25
            BYTE BootSignature;    // 0x26
            ULONG VolumeId;        // 0x27
            BYTE VolumeLabel[11];  // 0x2B
            BYTE FileSystem[8];    // 0x36
        } Fat16;
        struct {
            ULONG SectorsPerFat32;    // 0x24: read only when SectorsPerFat16 is 0
            USHORT ExtFlags;          // 0x28: FAT32_NO_MIRRORING, FAT32_ACTIVE_FAT
            USHORT Version;           // 0x2A
            ULONG RootCluster;        // 0x2C
            USHORT FsInfoSector;      // 0x30
            USHORT BackupBootSector;  // 0x32
            BYTE Reserved[12];        // 0x34
            BYTE DriveNumber;         // 0x40
            BYTE Reserved1;           // 0x41
            BYTE BootSignature;       // 0x42
            ULONG VolumeId;           // 0x43
            BYTE VolumeLabel[11];     // 0x47
            BYTE FileSystem[8];       // 0x52
        } Fat32;
    };
} FAT_BOOT_SECTOR, *PFAT_BOOT_SECTOR;  // 0x5A bytes
static_assert(sizeof(FAT_BOOT_SECTOR) == 0x5A, "FAT_BOOT_SECTOR layout");
static_assert(offsetof(FAT_BOOT_SECTOR, ReservedSectors) == 14, "FAT_BOOT_SECTOR layout");
static_assert(offsetof(FAT_BOOT_SECTOR, NumberOfFats) == 16, "FAT_BOOT_SECTOR layout");
static_assert(offsetof(FAT_BOOT_SECTOR, RootEntries) == 17, "FAT_BOOT_SECTOR layout");
static_assert(offsetof(FAT_BOOT_SECTOR, TotalSectors16) == 19, "FAT_BOOT_SECTOR layout");
static_assert(offsetof(FAT_BOOT_SECTOR, SectorsPerFat16) == 22, "FAT_BOOT_SECTOR layout");
static_assert(offsetof(FAT_BOOT_SECTOR, TotalSectors32) == 32, "FAT_BOOT_SECTOR layout");
static_assert(offsetof(FAT_BOOT_SECTOR, Fat32.SectorsPerFat32) == 36, "FAT_BOOT_SECTOR layout");
static_assert(offsetof(FAT_BOOT_SECTOR, Fat32.ExtFlags) == 40, "FAT_BOOT_SECTOR layout");
static_assert(offsetof(FAT_BOOT_SECTOR, Fat32.RootCluster) == 44, "FAT_BOOT_SECTOR layout");
static_assert(offsetof(FAT_BOOT_SECTOR, Fat32.FileSystem) == 82, "FAT_BOOT_SECTOR layout");

// ------------------------------------------------------- directory entries
#define DIR_ENTRY_BYTES 32
#define DIR_END 0x00      // Name[0]: this entry and everything after it are unused
#define DIR_DELETED 0xE5  // Name[0]: a deleted entry
#define DIR_DOT 0x2E      // Name[0] of the "." and ".." entries
#define DIR_NAME_BYTES 8
#define DIR_EXTENSION_BYTES 3

// Attribute bits (DIRSTRUC.Attributes).
#define FAT_ATTR_READONLY 0x01
#define FAT_ATTR_HIDDEN 0x02
#define FAT_ATTR_SYSTEM 0x04
#define FAT_ATTR_VOLUME_LABEL 0x08
#define FAT_ATTR_DIRECTORY 0x10
#define FAT_ATTR_ARCHIVE 0x20
#define FAT_ATTR_LONG_NAME 0x0F  // exactly this value: a long-name entry

// One 32-byte directory entry. A loaded directory is an array of them.
typedef struct _DIRSTRUC {
    BYTE Name[DIR_NAME_BYTES];            // 0x00: space-padded; Name[0] also DIR_END, DIR_DELETED, DIR_DOT
    BYTE Extension[DIR_EXTENSION_BYTES];  // 0x08: space-padded
    BYTE Attributes;                      // 0x0B: FAT_ATTR_*
    BYTE CaseFlags;                       // 0x0C
    BYTE CreateTimeTenths;                // 0x0D
    USHORT CreateTime;                    // 0x0E
    USHORT CreateDate;                    // 0x10
    USHORT AccessDate;                    // 0x12
    USHORT FirstClusterHigh;              // 0x14: FAT32 only
    USHORT WriteTime;                     // 0x16
    USHORT WriteDate;                     // 0x18
    USHORT FirstClusterLow;               // 0x1A
    ULONG FileSize;                       // 0x1C: 0 for directories
} DIRSTRUC, *PDIRSTRUC;
static_assert(sizeof(DIRSTRUC) == DIR_ENTRY_BYTES, "DIRSTRUC is 32 bytes");
static_assert(offsetof(DIRSTRUC, Attributes) == 11, "DIRSTRUC layout");
static_assert(offsetof(DIRSTRUC, FirstClusterHigh) == 20, "DIRSTRUC layout");
static_assert(offsetof(DIRSTRUC, FirstClusterLow) == 26, "DIRSTRUC layout");
static_assert(offsetof(DIRSTRUC, FileSize) == 28, "DIRSTRUC layout");

// Long-name entries stand before the short entry they belong to, the piece
// with the highest sequence number first; each holds 13 UTF-16 characters.
#define LFN_LAST_PIECE 0x40  // Sequence: set on the piece that holds the end of the name
#define LFN_PIECE_CHARS 13
#define LFN_MAX_PIECES 20        // 20 pieces hold the longest name (255 characters)
#define FAT_LONG_NAME_CHARS 255  // the longest name a volume holds

typedef struct _LONG_NAME_ENTRY {
    BYTE Sequence;           // 0x00: piece number from 1, LFN_LAST_PIECE on the last
    WCHAR Name1[5];          // 0x01: characters 1-5
    BYTE Attributes;         // 0x0B: FAT_ATTR_LONG_NAME
    BYTE Type;               // 0x0C
    BYTE Checksum;           // 0x0D: of the short name (not used by the engine)
    WCHAR Name2[6];          // 0x0E: characters 6-11
    USHORT FirstClusterLow;  // 0x1A: 0
    WCHAR Name3[2];          // 0x1C: characters 12-13
} LONG_NAME_ENTRY, *PLONG_NAME_ENTRY;
static_assert(sizeof(LONG_NAME_ENTRY) == DIR_ENTRY_BYTES, "LONG_NAME_ENTRY is 32 bytes");
static_assert(offsetof(LONG_NAME_ENTRY, Name2) == 14, "LONG_NAME_ENTRY layout");
static_assert(offsetof(LONG_NAME_ENTRY, Name3) == 28, "LONG_NAME_ENTRY layout");

#pragma pack(pop)
