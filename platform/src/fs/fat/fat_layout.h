// On-disk structures of FAT12, FAT16 and FAT32 volumes, as the platform's own
// FAT driver reads and writes them. Every structure is declared once, packed,
// with its offsets checked at compile time. Multi-byte fields are byte arrays
// read and written through the little-endian helpers below, so that no field
// is ever accessed unaligned or in host order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ntp::fat {

// ------------------------------------------------------------ byte order
inline uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// ------------------------------------------------------------ boot sector
#pragma pack(push, 1)
struct BootSector {
    uint8_t jump[3];               // 0x00 EB xx 90 or E9 xx xx
    uint8_t oem_name[8];           // 0x03
    uint8_t bytes_per_sector[2];   // 0x0B
    uint8_t sectors_per_cluster;   // 0x0D
    uint8_t reserved_sectors[2];   // 0x0E
    uint8_t fat_count;             // 0x10
    uint8_t root_entries[2];       // 0x11 FAT12/16 only; 0 on FAT32
    uint8_t total_sectors16[2];    // 0x13 0 when the 32-bit count is used
    uint8_t media;                 // 0x15
    uint8_t fat_size16[2];         // 0x16 sectors per FAT; 0 on FAT32
    uint8_t sectors_per_track[2];  // 0x18
    uint8_t heads[2];              // 0x1A
    uint8_t hidden_sectors[4];     // 0x1C
    uint8_t total_sectors32[4];    // 0x20
    union {
        struct {
            uint8_t drive_number;    // 0x24
            uint8_t reserved;        // 0x25 bit 0: volume dirty (NT)
            uint8_t boot_signature;  // 0x26 0x29 (or 0x28): the next fields are valid
            uint8_t serial[4];       // 0x27
            uint8_t label[11];       // 0x2B
            uint8_t fs_type[8];      // 0x36
        } f16;
        struct {
            uint8_t fat_size32[4];     // 0x24 sectors per FAT
            uint8_t ext_flags[2];      // 0x28 bit 7: mirroring off; bits 0-3: active FAT
            uint8_t fs_version[2];     // 0x2A
            uint8_t root_cluster[4];   // 0x2C
            uint8_t fsinfo_sector[2];  // 0x30
            uint8_t backup_boot[2];    // 0x32
            uint8_t reserved[12];      // 0x34
            uint8_t drive_number;      // 0x40
            uint8_t reserved1;         // 0x41 bit 0: volume dirty (NT)
            uint8_t boot_signature;    // 0x42
            uint8_t serial[4];         // 0x43
            uint8_t label[11];         // 0x47
            uint8_t fs_type[8];        // 0x52
        } f32;
    };
    uint8_t code[420];     // 0x5A
    uint8_t signature[2];  // 0x1FE 55 AA
};
static_assert(sizeof(BootSector) == 512, "boot sector layout");
static_assert(offsetof(BootSector, bytes_per_sector) == 0x0B, "boot sector layout");
static_assert(offsetof(BootSector, total_sectors32) == 0x20, "boot sector layout");
static_assert(offsetof(BootSector, f16.serial) == 0x27, "boot sector layout");
static_assert(offsetof(BootSector, f32.root_cluster) == 0x2C, "boot sector layout");
static_assert(offsetof(BootSector, f32.fsinfo_sector) == 0x30, "boot sector layout");
static_assert(offsetof(BootSector, f32.serial) == 0x43, "boot sector layout");
static_assert(offsetof(BootSector, signature) == 0x1FE, "boot sector layout");

// FAT32 file-system information sector.
struct FsInfoSector {
    uint8_t lead_signature[4];    // 0x000 "RRaA" = 0x41615252
    uint8_t reserved1[480];       // 0x004
    uint8_t struct_signature[4];  // 0x1E4 "rrAa" = 0x61417272
    uint8_t free_count[4];        // 0x1E8 free clusters, 0xFFFFFFFF = unknown
    uint8_t next_free[4];         // 0x1EC where to look for a free cluster, 0xFFFFFFFF = unknown
    uint8_t reserved2[12];        // 0x1F0
    uint8_t trail_signature[4];   // 0x1FC 0xAA550000
};
static_assert(sizeof(FsInfoSector) == 512, "FSInfo layout");
static_assert(offsetof(FsInfoSector, free_count) == 0x1E8, "FSInfo layout");
static_assert(offsetof(FsInfoSector, next_free) == 0x1EC, "FSInfo layout");

// 32-byte short (8.3) directory entry.
struct DirEntry {
    uint8_t name[11];         // 0x00 base 8 + extension 3, blank padded, OEM code page
    uint8_t attributes;       // 0x0B
    uint8_t nt_case;          // 0x0C 0x08: base in lower case, 0x10: extension in lower case
    uint8_t create_tenths;    // 0x0D 10 ms units, 0..199
    uint8_t create_time[2];   // 0x0E
    uint8_t create_date[2];   // 0x10
    uint8_t access_date[2];   // 0x12
    uint8_t cluster_high[2];  // 0x14 FAT32 only
    uint8_t write_time[2];    // 0x16
    uint8_t write_date[2];    // 0x18
    uint8_t cluster_low[2];   // 0x1A
    uint8_t size[4];          // 0x1C
};
static_assert(sizeof(DirEntry) == 32, "directory entry layout");
static_assert(offsetof(DirEntry, cluster_high) == 0x14, "directory entry layout");
static_assert(offsetof(DirEntry, cluster_low) == 0x1A, "directory entry layout");
static_assert(offsetof(DirEntry, size) == 0x1C, "directory entry layout");

// 32-byte long-name entry: 13 UTF-16 units of the name, last part first.
struct LfnEntry {
    uint8_t order;       // 0x00 1..20, 0x40 on the entry holding the last part
    uint8_t name1[10];   // 0x01 units 0-4
    uint8_t attributes;  // 0x0B always 0x0F
    uint8_t type;        // 0x0C 0
    uint8_t checksum;    // 0x0D checksum of the short name the entries belong to
    uint8_t name2[12];   // 0x0E units 5-10
    uint8_t cluster[2];  // 0x1A 0
    uint8_t name3[4];    // 0x1C units 11-12
};
static_assert(sizeof(LfnEntry) == 32, "long-name entry layout");
static_assert(offsetof(LfnEntry, checksum) == 0x0D, "long-name entry layout");
static_assert(offsetof(LfnEntry, name2) == 0x0E, "long-name entry layout");
static_assert(offsetof(LfnEntry, name3) == 0x1C, "long-name entry layout");
#pragma pack(pop)

// ------------------------------------------------------------ sentinels
// Every special value the driver knows, in one place.
constexpr uint16_t kBootSignature = 0xAA55;     // bytes 55 AA at 0x1FE
constexpr uint8_t kExtBootSignature = 0x29;     // serial, label and type follow
constexpr uint8_t kExtBootSignatureOld = 0x28;  // serial only
constexpr uint32_t kFsInfoLead = 0x41615252;
constexpr uint32_t kFsInfoStruct = 0x61417272;
constexpr uint32_t kFsInfoTrail = 0xAA550000;
constexpr uint32_t kFsInfoUnknown = 0xFFFFFFFF;  // free count or hint not known

constexpr uint32_t kFirstCluster = 2;        // first cluster of the data area (LCN 0)
constexpr uint32_t kFreeCluster = 0;         // FAT entry of a free cluster
constexpr uint32_t kFat32Mask = 0x0FFFFFFF;  // FAT32 links are the low 28 bits
// Cluster-count limits that decide the FAT width.
constexpr uint32_t kMaxFat12Clusters = 4084;        // fewer than 4085
constexpr uint32_t kMaxFat16Clusters = 65524;       // fewer than 65525
constexpr uint32_t kMaxFat32Clusters = 0x0FFFFFF5;  // highest usable cluster is 0x0FFFFFF6

// Directory entries.
constexpr uint8_t kEntryEnd = 0x00;      // first name byte: this and all later entries unused
constexpr uint8_t kEntryDeleted = 0xE5;  // first name byte: entry deleted
constexpr uint8_t kEntryKanjiE5 = 0x05;  // first name byte stands for 0xE5
constexpr uint8_t kLfnLast = 0x40;       // order flag of the last long-name part
constexpr uint8_t kLfnOrderMask = 0x1F;
constexpr size_t kLfnUnits = 13;      // UTF-16 units per long-name entry
constexpr size_t kMaxLongName = 255;  // UTF-16 units
constexpr uint8_t kCaseLowerBase = 0x08;
constexpr uint8_t kCaseLowerExt = 0x10;
constexpr size_t kEntrySize = 32;
constexpr size_t kMaxDirEntries = 65536;  // a directory never holds more

// Attribute bits.
constexpr uint8_t kAttrReadOnly = 0x01;
constexpr uint8_t kAttrHidden = 0x02;
constexpr uint8_t kAttrSystem = 0x04;
constexpr uint8_t kAttrVolumeId = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrArchive = 0x20;
constexpr uint8_t kAttrLongName = 0x0F;  // read-only|hidden|system|volume: a long-name entry
constexpr uint8_t kAttrLongNameMask = 0x3F;

}  // namespace ntp::fat
