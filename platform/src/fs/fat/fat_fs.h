// The platform's own FAT12/FAT16/FAT32 driver: the file-system logic behind
// fat_driver_probe(). It shares nothing with the FAT engine of the boot-time
// program, which it serves as an independent reference.
//
//   fat_names.cpp   8.3 and long names: validation, aliases, checksums, OEM text
//   fat_table.cpp   boot sector, the FAT copies, cluster chains, allocation, FSInfo
//   fat_dir.cpp     directories: loading, parsing, adding and deleting entries, paths
//   fat_driver.cpp  the NT side: create dispositions, read/write, volume queries, FSCTLs
//
// Nothing is cached from one call to the next: every operation reads the
// boot-sector geometry it was given at probe time and everything else (FAT,
// directories) fresh from the device, because the boot-time program writes
// the same volume raw between the driver's calls. Within one operation a FAT
// block read once is kept until the operation ends; every change is written
// to all maintained FAT copies before the operation returns.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fat_layout.h"
#include "internal.h"

namespace ntp::fat {

// An open file whose entry the volume no longer holds as it was (changed or
// removed behind the driver's back).
constexpr NTSTATUS kStatusFileInvalid = static_cast<NTSTATUS>(0xC0000098);

// What the driver reads and writes: the volume (Volume::dev_read/dev_write)
// in the platform, a memory image in the fuzzer. Reads and writes past the
// end fail with an error status.
class Device {
public:
    virtual ~Device() = default;
    virtual uint64_t size() const = 0;
    virtual NTSTATUS read(uint64_t offset, void *buffer, size_t length) = 0;
    virtual NTSTATUS write(uint64_t offset, const void *buffer, size_t length) = 0;
    virtual NTSTATUS flush() = 0;
};

enum class FatType { Fat12, Fat16, Fat32 };

// The volume's layout, fixed by the boot sector.
struct Geometry {
    FatType type = FatType::Fat16;
    uint32_t bytes_per_sector = 0;
    uint32_t sectors_per_cluster = 0;
    uint32_t bytes_per_cluster = 0;
    uint32_t reserved_sectors = 0;
    uint32_t fat_count = 0;
    uint32_t fat_sectors = 0;   // sectors of one FAT copy
    uint32_t root_entries = 0;  // entries of the fixed root directory (FAT12/16)
    uint64_t total_sectors = 0;
    uint32_t clusters = 0;       // data clusters: cluster numbers 2 .. clusters + 1
    uint64_t root_offset = 0;    // byte offset of the fixed root directory (FAT12/16)
    uint32_t root_bytes = 0;     // its length in bytes (whole sectors)
    uint64_t data_offset = 0;    // byte offset of cluster 2 (LCN 0)
    uint32_t root_cluster = 0;   // first cluster of the root directory (FAT32)
    uint32_t fsinfo_sector = 0;  // FAT32 FSInfo sector; 0 = none
    bool mirrored = true;        // all FAT copies are kept equal
    uint32_t active_fat = 0;     // the copy read; with mirroring off the only one written
    bool has_serial = false;
    uint32_t serial = 0;

    bool fixed_root() const { return type != FatType::Fat32; }
    uint64_t fat_offset(uint32_t copy) const {
        return (static_cast<uint64_t>(reserved_sectors) + static_cast<uint64_t>(copy) * fat_sectors) * bytes_per_sector;
    }
    uint64_t fat_bytes() const { return static_cast<uint64_t>(fat_sectors) * bytes_per_sector; }
    uint64_t cluster_offset(uint32_t cluster) const {
        return data_offset + static_cast<uint64_t>(cluster - kFirstCluster) * bytes_per_cluster;
    }
    bool valid_cluster(uint32_t c) const { return c >= kFirstCluster && c - kFirstCluster < clusters; }
    // End of chain as written.
    uint32_t end_of_chain() const {
        return type == FatType::Fat12 ? 0xFFF : type == FatType::Fat16 ? 0xFFFF : kFat32Mask;
    }
};

enum class Probe { NotFat, Corrupt, Fat };
// Reads the boot sector (at least 512 bytes of sector 0). NotFat: not a FAT
// boot sector at all (quietly). Corrupt: a FAT boot sector whose numbers do
// not fit together or do not fit in volume_size bytes; *why says what.
Probe parse_boot_sector(const uint8_t *sector, size_t length, uint64_t volume_size, Geometry *g, std::string *why);

// A run of consecutive clusters of a chain.
struct Run {
    uint32_t first = 0;
    uint32_t count = 0;
};

// ------------------------------------------------------------------- FAT
// One operation's view of the FAT: entries are read from the active copy in
// blocks, changes are kept until flush() writes them to every maintained copy
// (and adjusts the FAT32 FSInfo sector). Destroying the table without flush()
// drops the changes.
class FatTable {
public:
    FatTable(Device &device, const Geometry &g) : dev_(device), g_(g) {}

    // The raw entry of cluster c (0 <= c < clusters + 2); FAT32 values keep their top 4 bits.
    NTSTATUS get(uint32_t c, uint32_t *value);
    // Stages a new value (FAT32: the top 4 bits of the old entry are kept).
    NTSTATUS set(uint32_t c, uint32_t value);
    NTSTATUS flush();

    bool is_end(uint32_t value) const;  // end of chain
    bool is_bad(uint32_t value) const;  // bad-cluster mark

    // The chain that starts at first (0: no clusters) as runs in chain order.
    // A chain that loops, leaves the volume, runs into a free or bad cluster:
    // STATUS_FILE_CORRUPT_ERROR.
    NTSTATUS chain(uint32_t first, std::vector<Run> *runs, uint32_t *count);
    // The first `count` free clusters in cluster order (first fit), not yet
    // marked; STATUS_DISK_FULL when there are fewer.
    NTSTATUS find_free(uint32_t count, std::vector<uint32_t> *out);
    // Calls fn(cluster, value) for clusters [first, first + count) in order,
    // reading large pieces straight from the device (nothing is kept).
    NTSTATUS scan(uint32_t first, uint32_t count, const std::function<void(uint32_t, uint32_t)> &fn);

private:
    static constexpr uint32_t kBlock = 4096;
    struct Block {
        std::vector<uint8_t> data;
        bool dirty = false;
    };
    NTSTATUS block(uint64_t index, Block **out);
    NTSTATUS byte_at(uint64_t offset, uint8_t **out, bool dirty);
    NTSTATUS update_fsinfo();

    Device &dev_;
    const Geometry &g_;
    std::map<uint64_t, Block> blocks_;
    int64_t free_delta_ = 0;  // change of the free-cluster count since the last flush
    uint32_t last_allocated_ = 0;
};

// -------------------------------------------------------------- names
// 8.3 name of an entry as text: "NAME.EXT" in the entry's case (NT case
// bits), OEM bytes decoded from code page 437.
std::u16string short_name_text(const uint8_t name[11], uint8_t nt_case);
WCHAR oem_to_unicode(uint8_t c);
// Checksum of an 8.3 name that its long-name entries carry.
uint8_t lfn_checksum(const uint8_t name[11]);
// A name the driver accepts for a new entry: 1..255 units, none of the
// characters Windows forbids, not "." or "..", no trailing dot or blank.
bool valid_long_name(std::u16string_view name);
// How a new name is stored. When `exact`, `name`/`nt_case` hold the name
// itself as an 8.3 name and a long-name entry is needed only when
// `needs_lfn` (mixed case); otherwise `name` is the basis of an alias that
// needs a numeric tail (with_numeric_tail) and long-name entries.
struct ShortForm {
    uint8_t name[11];
    uint8_t nt_case = 0;
    bool exact = false;
    bool needs_lfn = true;
};
ShortForm make_short_form(std::u16string_view long_name);
// The basis with "~n" (n >= 1) put in its base part, which is shortened to make room.
void with_numeric_tail(const uint8_t basis[11], uint32_t n, uint8_t out[11]);
// The long-name entries for name, in on-disk order (last part first).
std::vector<LfnEntry> make_lfn_entries(std::u16string_view name, uint8_t checksum);

// ---------------------------------------------------------- directories
// A directory: the fixed FAT12/16 root, or a cluster chain.
struct DirRef {
    bool fixed_root = false;
    uint32_t cluster = 0;  // first cluster of a chained directory
};

// A directory's entries, read whole for one operation.
class Directory {
public:
    NTSTATUS load(Device &dev, const Geometry &g, FatTable &fat, DirRef ref);
    size_t count() const { return bytes_.size() / kEntrySize; }
    uint8_t *raw(size_t i) { return bytes_.data() + i * kEntrySize; }
    const uint8_t *raw(size_t i) const { return bytes_.data() + i * kEntrySize; }
    DirEntry *entry(size_t i) { return reinterpret_cast<DirEntry *>(raw(i)); }
    const DirEntry *entry(size_t i) const { return reinterpret_cast<const DirEntry *>(raw(i)); }
    // Writes entries [first, first + n) back to the device.
    NTSTATUS store(Device &dev, size_t first, size_t n);
    // Adds whole clusters (zeroed on disk first, then linked into the chain)
    // until the directory holds at least `entries` entries. The fixed root
    // cannot grow: STATUS_DISK_FULL. Changes are flushed to the FAT.
    NTSTATUS grow(Device &dev, const Geometry &g, FatTable &fat, size_t entries);
    DirRef ref() const { return ref_; }

private:
    uint64_t offset_of(size_t byte) const;
    DirRef ref_;
    const Geometry *g_ = nullptr;
    std::vector<Run> runs_;
    std::vector<uint8_t> bytes_;
};

// One live entry of a directory, with the names it answers to.
struct Entry {
    size_t first_slot = 0;  // first long-name slot (== short_slot without long name)
    size_t short_slot = 0;
    std::u16string long_name;  // empty when there is none (or it failed its checks)
    std::u16string short_name;
    DirEntry dirent{};

    bool is_directory() const { return (dirent.attributes & kAttrDirectory) != 0; }
    uint32_t first_cluster(const Geometry &g) const;
    uint32_t size() const { return le32(dirent.size); }
    const std::u16string &name() const { return long_name.empty() ? short_name : long_name; }
};

// Calls fn for every live entry of the directory (not deleted, not the
// volume label, not "." or ".."), in order; fn returns false to stop. Long
// names are taken only when their order and checksum prove they belong to
// the short entry that follows them.
void for_each_entry(const Directory &dir, const std::function<bool(const Entry &)> &fn);
// The entry that answers to name (long or 8.3, case-insensitive).
bool find_entry(const Directory &dir, std::u16string_view name, Entry *out);
// The volume label of the root directory (its trailing blanks removed).
bool find_label(const Directory &dir, std::u16string *label);

// DOS date and time of now (local time), for directory entries.
struct DosTime {
    uint16_t date = 0;
    uint16_t time = 0;
    uint8_t tenths = 0;
};
DosTime dos_now();

// ------------------------------------------------------------ the volume
// A resolved path: the root, or an entry of its parent directory.
struct Node {
    bool root = false;
    DirRef parent;
    Entry entry;
    bool is_directory() const { return root || entry.is_directory(); }
};

class FatVolume {
public:
    FatVolume(std::shared_ptr<Device> device, const Geometry &g) : dev_(std::move(device)), g_(g) {}
    const Geometry &geometry() const { return g_; }
    Device &device() { return *dev_; }

    DirRef root_ref() const { return g_.fixed_root() ? DirRef{true, 0} : DirRef{false, g_.root_cluster}; }
    DirRef dir_ref(const Node &n) const;

    // Splits "\a\b\c" into its components; STATUS_OBJECT_NAME_INVALID for
    // empty components or names with forbidden characters. A trailing
    // backslash is allowed and reported in *trailing.
    static NTSTATUS split_path(std::u16string_view path, std::vector<std::u16string> *parts, bool *trailing);
    // The node of a path. STATUS_OBJECT_NAME_NOT_FOUND when only the last
    // component is missing, STATUS_OBJECT_PATH_NOT_FOUND when a directory on
    // the way is missing (or is a file).
    NTSTATUS lookup(std::u16string_view path, Node *node);
    // The directory that holds the last component of a path, and that component.
    NTSTATUS lookup_parent(std::u16string_view path, DirRef *parent, std::u16string *leaf);

    // A new file or directory named `name` in parent (which must not hold
    // it already). A directory gets one zeroed cluster with "." and "..".
    NTSTATUS create(DirRef parent, std::u16string_view name, uint8_t attributes, bool directory, Node *out);
    // Deletes an entry: its slots are marked deleted first, then its clusters
    // are freed in every FAT. A directory must be empty.
    NTSTATUS remove(const Node &node);
    // Truncates a file to 0 bytes and sets its attributes (for overwrite).
    NTSTATUS truncate(Node *node, uint8_t attributes);

    NTSTATUS read(const Node &node, uint64_t offset, void *buffer, ULONG length, ULONG *done);
    // Writes at offset (grows the chain first fit, zero-fills a gap).
    NTSTATUS write(Node *node, uint64_t offset, const void *buffer, ULONG length, ULONG *done);
    // The clusters of a node (a file, a chained directory).
    NTSTATUS runs(const Node &node, std::vector<Run> *runs, uint32_t *count);
    // Byte length as reported: a file's size, a directory's allocation.
    NTSTATUS length(const Node &node, uint64_t *bytes);

    NTSTATUS free_clusters(uint32_t *count);
    // Bits [first_lcn, first_lcn + bits) of the volume bitmap (LCN n = cluster
    // n + 2; 1 = in use) into out, which holds (bits + 7) / 8 bytes; bits of
    // the last byte past `bits` are set.
    NTSTATUS bitmap(uint32_t first_lcn, uint32_t bits, uint8_t *out);
    NTSTATUS label(std::u16string *label);
    // FAT entry 1's clean-shutdown bit (FAT16/32); FAT12 volumes are never dirty.
    NTSTATUS dirty(bool *dirty);

private:
    NTSTATUS load_dir(FatTable &fat, DirRef ref, Directory *dir);
    NTSTATUS io_runs(const std::vector<Run> &runs, uint64_t offset, uint8_t *buffer, const uint8_t *data,
                     uint64_t length);
    NTSTATUS write_entry(const Node &node, const std::function<void(DirEntry *)> &change);

    std::shared_ptr<Device> dev_;
    Geometry g_;
};

// The driver over any device (the probe of fat_driver.cpp wraps the volume);
// null when the device does not hold a FAT volume. `what` names the volume
// in warnings.
std::shared_ptr<FsDriver> fat_driver_on(std::shared_ptr<Device> device, const std::string &what);

}  // namespace ntp::fat
