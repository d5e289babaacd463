// The platform's own NTFS reader: the boot sector, MFT records with their
// update-sequence protection, attributes (attribute lists included), run
// lists, and the values of the few metadata files the volume-level requests
// need ($MFT's data and bitmap, $Bitmap, $Volume).
//
// It keeps nothing between requests: a MftView is built for one request from
// what is on the volume at that moment, because the programs rewrite the MFT
// and the bitmap raw between two requests. Every length, offset and count
// read from disk is checked against its buffer before use; a structure that
// fails a check gives STATUS_DISK_CORRUPT_ERROR (metadata) or
// STATUS_FILE_CORRUPT_ERROR (the record asked for), never a read outside the
// volume.
#pragma once

#include <bit>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nt/nt.h>

namespace ntp::ntfs {

static_assert(std::endian::native == std::endian::little,
              "on-disk structures are read in place on a little-endian host");

// ---------------------------------------------------------- on-disk layout
#pragma pack(push, 1)

// The NTFS boot sector (first sector of the volume). Unaligned BPB fields
// are byte arrays read through le16/le32/le64.
struct BootSector {
    uint8_t jump[3];                   // 0x00
    char oem_id[8];                    // 0x03 "NTFS    "
    uint8_t bytes_per_sector[2];       // 0x0B
    uint8_t sectors_per_cluster;       // 0x0D >0x80: cluster = 2^(256-v) sectors
    uint8_t reserved_sectors[2];       // 0x0E 0 on NTFS
    uint8_t fats;                      // 0x10 0 on NTFS
    uint8_t root_entries[2];           // 0x11
    uint8_t sectors16[2];              // 0x13
    uint8_t media_type;                // 0x15
    uint8_t sectors_per_fat[2];        // 0x16
    uint8_t sectors_per_track[2];      // 0x18
    uint8_t heads[2];                  // 0x1A
    uint8_t hidden_sectors[4];         // 0x1C
    uint8_t sectors32[4];              // 0x20
    uint8_t physical_drive;            // 0x24
    uint8_t current_head;              // 0x25
    uint8_t extended_signature;        // 0x26
    uint8_t reserved2;                 // 0x27
    uint8_t total_sectors[8];          // 0x28
    uint8_t mft_lcn[8];                // 0x30
    uint8_t mftmirr_lcn[8];            // 0x38
    int8_t clusters_per_mft_record;    // 0x40 <0: record = 2^-v bytes
    uint8_t reserved3[3];              // 0x41
    int8_t clusters_per_index_record;  // 0x44 <0: record = 2^-v bytes
    uint8_t reserved4[3];              // 0x45
    uint8_t volume_serial[8];          // 0x48
    uint8_t checksum[4];               // 0x50
    uint8_t bootstrap[426];            // 0x54
    uint8_t end_marker[2];             // 0x1FE 0x55 0xAA
};
static_assert(sizeof(BootSector) == 512);
static_assert(offsetof(BootSector, total_sectors) == 0x28);
static_assert(offsetof(BootSector, clusters_per_mft_record) == 0x40);
static_assert(offsetof(BootSector, volume_serial) == 0x48);
static_assert(offsetof(BootSector, end_marker) == 0x1FE);

// Header of an MFT record (file record segment).
struct FileRecordHeader {
    char magic[4];                // 0x00 "FILE"
    uint16_t usa_offset;          // 0x04 update sequence array
    uint16_t usa_count;           // 0x06 entries, the sequence number included
    uint64_t lsn;                 // 0x08
    uint16_t sequence_number;     // 0x10
    uint16_t link_count;          // 0x12
    uint16_t attrs_offset;        // 0x14 first attribute
    uint16_t flags;               // 0x16 kRecordInUse, kRecordIsDirectory
    uint32_t bytes_in_use;        // 0x18
    uint32_t bytes_allocated;     // 0x1C
    uint64_t base_mft_record;     // 0x20 0 in a base record
    uint16_t next_attr_instance;  // 0x28
};
static_assert(sizeof(FileRecordHeader) == 0x2A);
static_assert(offsetof(FileRecordHeader, flags) == 0x16);
static_assert(offsetof(FileRecordHeader, base_mft_record) == 0x20);

// Common header of an attribute record, with the two forms.
struct AttributeHeader {
    uint32_t type;         // 0x00 kAttrEnd ends the list
    uint32_t length;       // 0x04 step to the next attribute
    uint8_t non_resident;  // 0x08
    uint8_t name_length;   // 0x09 characters
    uint16_t name_offset;  // 0x0A
    uint16_t flags;        // 0x0C
    uint16_t instance;     // 0x0E
    union {
        struct {
            uint32_t value_length;   // 0x10
            uint16_t value_offset;   // 0x14
            uint8_t resident_flags;  // 0x16
            uint8_t reserved;        // 0x17
        } resident;
        struct {
            int64_t lowest_vcn;             // 0x10
            int64_t highest_vcn;            // 0x18
            uint16_t mapping_pairs_offset;  // 0x20
            uint8_t compression_unit;       // 0x22
            uint8_t reserved[5];            // 0x23
            int64_t allocated_size;         // 0x28
            int64_t data_size;              // 0x30
            int64_t initialized_size;       // 0x38
        } non_resident_form;
    };
};
static_assert(offsetof(AttributeHeader, resident.value_offset) == 0x14);
static_assert(offsetof(AttributeHeader, non_resident_form.mapping_pairs_offset) == 0x20);
static_assert(offsetof(AttributeHeader, non_resident_form.initialized_size) == 0x38);
static_assert(sizeof(AttributeHeader) == 0x40);
inline constexpr uint32_t kResidentHeaderSize = 0x18;
inline constexpr uint32_t kNonResidentHeaderSize = 0x40;

// One entry of an $ATTRIBUTE_LIST value.
struct AttributeListEntry {
    uint32_t type;           // 0x00
    uint16_t length;         // 0x04 step to the next entry
    uint8_t name_length;     // 0x06 characters
    uint8_t name_offset;     // 0x07
    int64_t lowest_vcn;      // 0x08
    uint64_t mft_reference;  // 0x10 record holding the attribute (low 48 bits)
    uint16_t instance;       // 0x18
};
static_assert(sizeof(AttributeListEntry) == 0x1A);

// Value of $VOLUME_INFORMATION (in record 3, $Volume).
struct VolumeInformation {
    uint64_t reserved;  // 0x00
    uint8_t major;      // 0x08
    uint8_t minor;      // 0x09
    uint16_t flags;     // 0x0A kVolumeDirty, ...
};
static_assert(sizeof(VolumeInformation) == 12);

// Value of $STANDARD_INFORMATION (the part read here).
struct StandardInformation {
    uint64_t creation_time;    // 0x00
    uint64_t change_time;      // 0x08
    uint64_t mft_change_time;  // 0x10
    uint64_t access_time;      // 0x18
    uint32_t file_attributes;  // 0x20 FILE_ATTRIBUTE_*
};
static_assert(offsetof(StandardInformation, file_attributes) == 0x20);

#pragma pack(pop)

// ----------------------------------------------------------- named values
inline constexpr uint32_t kAttrStandardInformation = 0x10;
inline constexpr uint32_t kAttrAttributeList = 0x20;
inline constexpr uint32_t kAttrFileName = 0x30;
inline constexpr uint32_t kAttrVolumeName = 0x60;
inline constexpr uint32_t kAttrVolumeInformation = 0x70;
inline constexpr uint32_t kAttrData = 0x80;
inline constexpr uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr uint32_t kAttrBitmap = 0xB0;
inline constexpr uint32_t kAttrEnd = 0xFFFFFFFF;  // end of the attributes of a record

inline constexpr uint16_t kRecordInUse = 0x0001;
inline constexpr uint16_t kRecordIsDirectory = 0x0002;
inline constexpr uint16_t kVolumeDirty = 0x0001;  // $VOLUME_INFORMATION flags

inline constexpr int64_t kSparseLcn = -1;                             // a run without clusters (a hole)
inline constexpr uint32_t kUsaStride = 512;                           // update-sequence stride, any sector size
inline constexpr uint64_t kMftReferenceMask = 0x0000FFFFFFFFFFFFull;  // record number of a reference

// Fixed records.
inline constexpr uint64_t kRecordMft = 0;
inline constexpr uint64_t kRecordMftMirr = 1;
inline constexpr uint64_t kRecordVolume = 3;
inline constexpr uint64_t kRecordRoot = 5;
inline constexpr uint64_t kRecordBitmap = 6;
inline constexpr uint64_t kRecordExtend = 11;
inline constexpr uint64_t kFirstUserRecord = 16;

// Little-endian reads of unaligned fields.
inline uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t le32(const uint8_t *p) { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }
inline uint64_t le64(const uint8_t *p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

// ------------------------------------------------------------- geometry
struct Geometry {
    uint32_t bytes_per_sector = 0;
    uint32_t sectors_per_cluster = 0;
    uint32_t bytes_per_cluster = 0;
    uint32_t bytes_per_record = 0;     // MFT record
    uint32_t clusters_per_record = 0;  // 0 when a record is smaller than a cluster
    uint32_t bytes_per_index_record = 0;
    uint64_t total_sectors = 0;   // as the boot sector says
    uint64_t total_clusters = 0;  // total sectors / sectors per cluster
    uint64_t mft_lcn = 0;
    uint64_t mftmirr_lcn = 0;
    uint64_t serial = 0;
};

// Checks a boot sector and derives the geometry. volume_size is the byte size
// of the volume (image size minus offset): a boot sector that claims more
// sectors than that is refused (a truncated image). On refusal *why says, in
// a few words, what is wrong; *not_ntfs tells "some other file system" (no
// NTFS signature) from "an NTFS boot sector that cannot be used".
bool parse_boot_sector(const uint8_t *sector, uint64_t volume_size, Geometry *geometry, std::string *why,
                       bool *not_ntfs);

// The MFT zone as the reference NTFS implementation of this host sets it up
// when it mounts a volume with the default zone multiplier: an eighth of the
// volume from the MFT on, from cluster 0 when the MFT lies where a freshly
// formatted volume has it (or before), and halved while it reaches the end
// of the volume.
void mft_zone(const Geometry &geometry, uint64_t mft_lcn, int64_t *zone_start, int64_t *zone_end);

// ------------------------------------------------------------- records
// Checks the update-sequence protection of a record of `size` bytes and
// removes it in place. Returns false, changing nothing, when the array does
// not fit the record or a stride's last word does not carry the sequence
// number (a torn write).
bool remove_fixups(uint8_t *record, size_t size);

// One attribute of a record, checked to lie inside it.
struct Attribute {
    const uint8_t *p = nullptr;  // the attribute record
    uint32_t type = 0;
    uint32_t length = 0;
    bool non_resident = false;
    std::u16string name;  // copied out of the record (the name may be unaligned)
    uint16_t instance = 0;
    // resident form
    const uint8_t *value = nullptr;
    uint32_t value_length = 0;
    // non-resident form
    int64_t lowest_vcn = 0;
    int64_t highest_vcn = 0;
    const uint8_t *mapping_pairs = nullptr;
    uint32_t mapping_pairs_length = 0;
    int64_t allocated_size = 0;
    int64_t data_size = 0;
    int64_t initialized_size = 0;
};

// Walks the attributes of a record whose fix-ups were removed. Fails (false,
// *why set) when the record header or an attribute does not fit the record.
bool parse_attributes(const uint8_t *record, size_t size, std::vector<Attribute> *out, std::string *why);

// ------------------------------------------------------------- run lists
struct Run {
    int64_t vcn = 0;
    int64_t lcn = kSparseLcn;  // kSparseLcn for a hole
    int64_t length = 0;        // clusters
};

// Decodes mapping pairs that start at `lowest_vcn` and must end exactly after
// `highest_vcn`. Every run must lie inside [0, total_clusters); lengths and
// sums are checked for overflow. Appends to *runs.
bool decode_runs(const uint8_t *pairs, size_t length, int64_t lowest_vcn, int64_t highest_vcn, uint64_t total_clusters,
                 std::vector<Run> *runs, std::string *why);

// ------------------------------------------------------------- the view
using ReadFn = std::function<NTSTATUS(uint64_t offset, void *buffer, size_t length)>;

// The value of one attribute, gathered over its extents.
struct AttributeValue {
    bool non_resident = false;
    std::vector<uint8_t> resident;  // resident form
    std::vector<Run> runs;          // non-resident form, in VCN order, contiguous
    int64_t data_size = 0;
    int64_t initialized_size = 0;
    int64_t allocated_size = 0;
};

// The MFT as it is on the volume now. open() reads record 0 and gathers the
// MFT's $DATA run list (through its attribute list when it has one) and the
// location of its $BITMAP.
class MftView {
public:
    MftView(ReadFn read, const Geometry &geometry) : read_(std::move(read)), g_(geometry) {}

    NTSTATUS open();

    // Records the MFT holds (its initialized data / record size).
    uint64_t record_count() const { return record_count_; }
    int64_t valid_data_length() const { return mft_.initialized_size; }
    const std::vector<Run> &runs() const { return mft_.runs; }

    // Reads record n as it is on disk (fix-ups still applied).
    NTSTATUS read_record_raw(uint64_t n, std::vector<uint8_t> *record) const;
    // Reads record n and removes the fix-ups: STATUS_FILE_CORRUPT_ERROR for a
    // torn record or one without the "FILE" signature.
    NTSTATUS read_record(uint64_t n, std::vector<uint8_t> *record) const;

    // Bit n of the MFT's $BITMAP (records past the bitmap read as free).
    NTSTATUS record_bit(uint64_t n, bool *in_use) const;
    // Bytes [offset, offset + length) of the MFT's $BITMAP (zeros past its end).
    NTSTATUS bitmap_bytes(uint64_t offset, size_t length, uint8_t *out) const;

    // The attribute (type, unnamed) of base record n, gathered over its
    // extents through the attribute list. STATUS_OBJECT_NAME_NOT_FOUND when
    // the record has no such attribute.
    NTSTATUS attribute(uint64_t n, uint32_t type, AttributeValue *value) const;

    // Bytes [offset, offset + length) of an attribute's value: holes and the
    // part past the initialized size read as zeros; reading past the data
    // size fails (STATUS_DISK_CORRUPT_ERROR).
    NTSTATUS read_value(const AttributeValue &value, uint64_t offset, size_t length, uint8_t *out) const;

    const std::string &error() const { return why_; }

private:
    NTSTATUS read_runs(const std::vector<Run> &runs, uint64_t offset, size_t length, uint8_t *out) const;
    NTSTATUS gather(uint64_t n, const std::vector<uint8_t> &base, uint32_t type, AttributeValue *value,
                    bool bootstrap) const;
    NTSTATUS corrupt(const std::string &why) const;

    ReadFn read_;
    Geometry g_;
    AttributeValue mft_;     // $MFT $DATA
    AttributeValue bitmap_;  // $MFT $BITMAP
    uint64_t record_count_ = 0;
    mutable std::vector<Run> bootstrap_runs_;  // MFT runs known while gathering record 0
    mutable bool bootstrapping_ = false;
    mutable std::string why_;
};

}  // namespace ntp::ntfs
