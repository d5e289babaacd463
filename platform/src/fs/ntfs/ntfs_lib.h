// A narrow wrapper over the parts of libntfs-3g the NTFS driver uses.
//
// libntfs-3g's headers cannot share a translation unit with the NT headers
// (both define BOOL, min/max and several VOLUME_*/FILE_* names), so only
// ntfs_lib.cpp includes them. Everything here uses plain types; failures
// return -1 or null with errno set, as libntfs-3g does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ntp::ntfslib {

struct Vol;    // ntfs_volume
struct Inode;  // ntfs_inode
struct Attr;   // ntfs_attr

// The storage under a mount: the driver's volume.
struct Storage {
    virtual ~Storage() = default;
    virtual uint64_t size() const = 0;
    virtual bool read(uint64_t offset, void *buffer, size_t length) = 0;
    virtual bool write(uint64_t offset, const void *buffer, size_t length) = 0;
    virtual bool flush() = 0;
};

// libntfs-3g's error and warning messages go to `sink` (process-wide).
void set_message_sink(void (*sink)(const char *text));

// Mounts read-write over `storage` (which must outlive the mount). A volume
// whose dirty flag is set is mounted too; the flag is not changed.
Vol *mount(const char *name, Storage *storage);
// Writes everything and unmounts; 0 or -1.
int unmount(Vol *vol);
uint32_t cluster_size(const Vol *vol);
// Lets the allocator look at every zone again (see the write path).
void clear_full_zones(Vol *vol);
int device_sync(Vol *vol);

// Record references: record number in the low 48 bits, sequence above.
inline uint64_t make_ref(uint64_t record, uint16_t sequence) {
    return (record & 0x0000FFFFFFFFFFFFull) | (uint64_t(sequence) << 48);
}
inline uint64_t ref_record(uint64_t ref) { return ref & 0x0000FFFFFFFFFFFFull; }

inline constexpr uint64_t kRootRecord = 5;
inline constexpr uint64_t kExtendRecord = 11;
inline constexpr uint64_t kFirstUserRecord = 16;
inline constexpr int kNameDos = 2;  // name type of a short (8.3) name

// Inodes. inode_close writes a changed record (and its directory entries).
Inode *inode_open(Vol *vol, uint64_t ref);
int inode_close(Inode *ni);
int inode_sync(Inode *ni);
uint64_t inode_record(const Inode *ni);
uint16_t inode_sequence(const Inode *ni);
bool inode_is_directory(const Inode *ni);
// FILE_ATTRIBUTE_* bits of $STANDARD_INFORMATION.
uint32_t inode_attributes(const Inode *ni);
// Sets them; the record and its directory entries are written on close.
void inode_set_attributes(Inode *ni, uint32_t attributes);

// Directories. lookup_exact: the reference, or UINT64_MAX (errno ENOENT).
uint64_t lookup_exact(Inode *dir, const std::u16string &name);
// Calls `entry` for each name of the directory (with "." and ".."); a
// non-zero return stops the walk. 0 or -1.
using EntryFn = int (*)(void *context, const std::u16string &name, int name_type, uint64_t ref);
int read_directory(Inode *dir, void *context, EntryFn entry);
Inode *create(Inode *dir, const std::u16string &name, bool directory);
// Removes the name and, with the last name, the file. Closes both inodes
// whatever the result.
int remove(Vol *vol, const char *path, Inode *ni, Inode *dir, const std::u16string &name);

// Attributes.
Attr *open_data(Inode *ni);              // unnamed $DATA
Attr *open_index_allocation(Inode *ni);  // $I30 $INDEX_ALLOCATION of a directory
void attr_close(Attr *na);
int64_t attr_data_size(const Attr *na);
int64_t attr_allocated_size(const Attr *na);
bool attr_non_resident(const Attr *na);
int64_t attr_pread(Attr *na, int64_t pos, int64_t count, void *buffer);
int64_t attr_pwrite(Attr *na, int64_t pos, int64_t count, const void *buffer);
int attr_truncate(Attr *na, int64_t size);

struct Extent {
    int64_t vcn;
    int64_t lcn;  // -1 for a hole
    int64_t length;
};
// The whole run list; -1 (errno EIO) for a run that is neither mapped nor a hole.
int attr_runs(Attr *na, std::vector<Extent> *out);

}  // namespace ntp::ntfslib
