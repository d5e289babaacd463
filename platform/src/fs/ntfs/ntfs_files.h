// Files of an NTFS volume, through libntfs-3g.
//
// libntfs-3g reaches the volume only through Volume::dev_read/dev_write/
// dev_flush (a device of our own), so the volume's byte offset inside its
// image, the host lock and the single descriptor hold. The volume is mounted
// on the first file operation and stays mounted while file objects are open,
// so that many small writes do not each pay for a mount. It is unmounted
// (everything written) when the program is about to use the volume raw, and
// when the last file object closes; an open file object re-opens its inode
// by record number on its next operation. Directories are opened for the
// operation at hand only: libntfs-3g opens a file's directory itself when it
// writes the file's record, and must not find a copy of it held open.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "internal.h"

#include "ntfs_lib.h"

namespace ntp::ntfs {

class NtfsFile;

// The libntfs-3g side of one NTFS drive. Held through a shared_ptr: the
// file objects keep it alive.
class FileSystem : public std::enable_shared_from_this<FileSystem> {
public:
    explicit FileSystem(std::shared_ptr<Volume> volume);
    ~FileSystem();
    FileSystem(const FileSystem &) = delete;
    FileSystem &operator=(const FileSystem &) = delete;

    // path: "\" or "\dir\file", names matched without regard to case.
    NTSTATUS create(std::u16string_view path, const CreateRequest &request, std::shared_ptr<FileObject> *out,
                    ULONG *information);
    NTSTATUS remove(std::u16string_view path);

    // Writes everything and lets go of the volume (file objects stay valid).
    void unmount();
    bool mounted() const { return vol_ != nullptr; }

    // For the file objects.
    std::recursive_mutex &lock() { return lock_; }
    NTSTATUS mount();
    ntfslib::Vol *vol() const { return vol_; }
    // The inode and unnamed $DATA of an open file's record, opened once per
    // mount and shared by every file object on that record (two in-memory
    // copies of one record would overwrite each other).
    NTSTATUS file_inode(uint64_t record, uint16_t sequence, ntfslib::Inode **ni, ntfslib::Attr **na);
    void file_closed(NtfsFile *file);
    char letter() const { return volume_->letter(); }

private:
    void close_inode(uint64_t record);
    bool in_use(uint64_t record) const;

    struct Open {
        ntfslib::Inode *ni = nullptr;
        ntfslib::Attr *na = nullptr;
    };

    std::shared_ptr<Volume> volume_;
    struct Storage;
    std::unique_ptr<Storage> storage_;
    ntfslib::Vol *vol_ = nullptr;
    std::set<NtfsFile *> files_;       // open file objects
    std::map<uint64_t, Open> inodes_;  // their records' inodes in this mount
    std::recursive_mutex lock_;
    bool mount_warned_ = false;
};

// errno of a libntfs-3g call as an NTSTATUS: the layer's one table
// (status_from_errno), except that EIO and ERANGE, the library's answers to
// inconsistent metadata, give STATUS_DISK_CORRUPT_ERROR.
NTSTATUS status_from_ntfs_errno(int err);

}  // namespace ntp::ntfs
