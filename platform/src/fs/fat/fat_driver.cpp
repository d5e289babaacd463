// The NT face of the FAT driver: NtCreateFile dispositions and access,
// reads and writes of open files, NtDeleteFile, volume queries and FSCTLs,
// with the buffer rules of the Windows FAT driver. The file-system work
// itself is FatVolume's (fat_dir.cpp, fat_file.cpp, fat_table.cpp).
//
// Delete-on-close is io.cpp's (it calls remove() when the handle closes);
// create() refuses it up front where remove() would refuse later.
//
// An open file remembers only its path: every call finds its entry again on
// disk, because the boot-time program moves files and rewrites directory
// entries raw between calls. A file whose entry has gone answers
// STATUS_FILE_INVALID (0xC0000098).
#include <algorithm>
#include <mutex>

#include "fat_fs.h"

namespace ntp {
namespace {

using fat::FatVolume;
using fat::Geometry;
using fat::Node;

constexpr LONG kMaxComponentLength = 255;

constexpr ACCESS_MASK kReadAccess = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED;
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// The volume, as the driver reaches it: never through the raw write path.
class VolumeDevice final : public fat::Device {
public:
    explicit VolumeDevice(std::shared_ptr<Volume> v) : volume_(std::move(v)) {}
    uint64_t size() const override { return volume_->size(); }
    NTSTATUS read(uint64_t offset, void *buffer, size_t length) override {
        return volume_->dev_read(offset, buffer, length);
    }
    NTSTATUS write(uint64_t offset, const void *buffer, size_t length) override {
        return volume_->dev_write(offset, buffer, length);
    }
    NTSTATUS flush() override { return volume_->dev_flush(); }

private:
    std::shared_ptr<Volume> volume_;
};

class FatDriver;

class FatFile final : public FileObject {
public:
    FatFile(std::shared_ptr<FatDriver> driver, std::u16string path, bool directory, ACCESS_MASK access)
        : driver_(std::move(driver)), path_(std::move(path)), directory_(directory), access_(access) {}

    NTSTATUS read(uint64_t offset, void *buffer, ULONG length, ULONG *done) override;
    NTSTATUS write(uint64_t offset, const void *buffer, ULONG length, ULONG *done) override;
    NTSTATUS flush() override;
    uint64_t size() override;
    NTSTATUS fsctl(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned) override;

private:
    NTSTATUS node(Node *n);
    NTSTATUS retrieval_pointers(const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned);

    std::shared_ptr<FatDriver> driver_;
    std::u16string path_;
    bool directory_;
    ACCESS_MASK access_;
};

class FatDriver final : public FsDriver, public std::enable_shared_from_this<FatDriver> {
public:
    FatDriver(std::shared_ptr<fat::Device> device, const Geometry &g) : volume(std::move(device), g) {}

    NTSTATUS query_volume(FS_INFORMATION_CLASS cls, void *out, ULONG length, ULONG *written) override;
    NTSTATUS volume_fsctl(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                          ULONG *returned) override;
    NTSTATUS create(std::u16string_view path, const CreateRequest &request, std::shared_ptr<FileObject> *out,
                    ULONG *information) override;
    NTSTATUS remove(std::u16string_view path) override;
    ULONG sector_size() const override { return volume.geometry().bytes_per_sector; }

    std::mutex mutex;  // one request at a time
    FatVolume volume;

private:
    NTSTATUS volume_bitmap(const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned);
};

// ------------------------------------------------------------------ files

NTSTATUS FatFile::node(Node *n) {
    NTSTATUS status = driver_->volume.lookup(path_, n);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND ||
        (NT_SUCCESS(status) && n->is_directory() != directory_))
        return fat::kStatusFileInvalid;
    return status;
}

NTSTATUS FatFile::read(uint64_t offset, void *buffer, ULONG length, ULONG *done) {
    *done = 0;
    if (directory_) return STATUS_INVALID_DEVICE_REQUEST;
    if (!(access_ & kReadAccess)) return STATUS_ACCESS_DENIED;
    std::lock_guard<std::mutex> guard(driver_->mutex);
    Node n;
    NTSTATUS status = node(&n);
    if (!NT_SUCCESS(status)) return status;
    return driver_->volume.read(n, offset, buffer, length, done);
}

NTSTATUS FatFile::write(uint64_t offset, const void *buffer, ULONG length, ULONG *done) {
    *done = 0;
    if (directory_) return STATUS_INVALID_DEVICE_REQUEST;
    if (!(access_ & kWriteAccess)) return STATUS_ACCESS_DENIED;
    // Append-only access writes at the end whatever the offset says.
    if (!(access_ & (kWriteAccess & ~FILE_APPEND_DATA))) offset = UINT64_MAX;
    std::lock_guard<std::mutex> guard(driver_->mutex);
    Node n;
    NTSTATUS status = node(&n);
    if (!NT_SUCCESS(status)) return status;
    return driver_->volume.write(&n, offset, buffer, length, done);
}

NTSTATUS FatFile::flush() {
    std::lock_guard<std::mutex> guard(driver_->mutex);
    return driver_->volume.device().flush();
}

uint64_t FatFile::size() {
    std::lock_guard<std::mutex> guard(driver_->mutex);
    Node n;
    uint64_t bytes = 0;
    if (NT_SUCCESS(node(&n)) && NT_SUCCESS(driver_->volume.length(n, &bytes))) return bytes;
    return 0;
}

NTSTATUS FatFile::fsctl(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned) {
    *returned = 0;
    if (code == FSCTL_GET_RETRIEVAL_POINTERS) return retrieval_pointers(in, inLength, out, outLength, returned);
    debug("FAT: FSCTL 0x%08x on a file is not supported", code);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// The file's clusters from StartingVcn on, as Windows gives them: the first
// extent is the whole run that holds StartingVcn (its start is returned),
// consecutive clusters are one extent, LCN = cluster - 2.
NTSTATUS FatFile::retrieval_pointers(const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned) {
    if (!in || inLength < sizeof(STARTING_VCN_INPUT_BUFFER)) return STATUS_INVALID_PARAMETER;
    if (!out || outLength < sizeof(RETRIEVAL_POINTERS_BUFFER)) return STATUS_BUFFER_TOO_SMALL;
    LONGLONG vcn;
    std::memcpy(&vcn, in, sizeof vcn);
    if (vcn < 0) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(driver_->mutex);
    Node n;
    NTSTATUS status = node(&n);
    if (!NT_SUCCESS(status)) return status;
    std::vector<fat::Run> runs;
    uint32_t count;
    if (!NT_SUCCESS(status = driver_->volume.runs(n, &runs, &count))) return status;
    if (static_cast<uint64_t>(vcn) >= count) return STATUS_END_OF_FILE;

    auto *p = static_cast<uint8_t *>(out);
    const ULONG header = offsetof(RETRIEVAL_POINTERS_BUFFER, Extents);
    const ULONG pair = 16;
    ULONG room = (outLength - header) / pair;
    ULONG filled = 0;
    bool more = false;
    int64_t run_vcn = 0;
    int64_t first_vcn = -1;
    for (const fat::Run &r : runs) {
        int64_t next = run_vcn + r.count;
        if (next > vcn) {
            if (first_vcn < 0) first_vcn = run_vcn;
            if (filled == room) {
                more = true;
                break;
            }
            int64_t lcn = static_cast<int64_t>(r.first) - fat::kFirstCluster;
            std::memcpy(p + header + filled * pair, &next, 8);
            std::memcpy(p + header + filled * pair + 8, &lcn, 8);
            ++filled;
        }
        run_vcn = next;
    }
    DWORD extents = filled;
    std::memset(p, 0, header);
    std::memcpy(p, &extents, 4);
    std::memcpy(p + 8, &first_vcn, 8);
    *returned = header + filled * pair;
    return more ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// ---------------------------------------------------------------- volume

NTSTATUS FatDriver::query_volume(FS_INFORMATION_CLASS cls, void *out, ULONG length, ULONG *written) {
    ULONG dummy;
    if (!written) written = &dummy;
    *written = 0;
    auto *p = static_cast<uint8_t *>(out);
    std::lock_guard<std::mutex> guard(mutex);
    const Geometry &g = volume.geometry();
    switch (cls) {
    case FileFsVolumeInformation: {
        if (!out) return STATUS_INVALID_PARAMETER;
        std::u16string label;
        NTSTATUS status = volume.label(&label);
        if (!NT_SUCCESS(status)) return status;
        return fs_volume_info(out, length, written, g.has_serial ? g.serial : 0, label);
    }
    case FileFsSizeInformation: {
        if (!out) return STATUS_INVALID_PARAMETER;
        uint32_t free;
        NTSTATUS status = volume.free_clusters(&free);
        if (!NT_SUCCESS(status)) return status;
        return fs_size_info(out, length, written, g.clusters, free, g.sectors_per_cluster, g.bytes_per_sector);
    }
    case FileFsFullSizeInformation: {
        // Total 8, caller available 8, actual available 8, sectors per unit 4, bytes per sector 4.
        if (!out || length < 32) return STATUS_INFO_LENGTH_MISMATCH;
        uint32_t free;
        NTSTATUS status = volume.free_clusters(&free);
        if (!NT_SUCCESS(status)) return status;
        int64_t total = g.clusters, avail = free;
        std::memcpy(p, &total, 8);
        std::memcpy(p + 8, &avail, 8);
        std::memcpy(p + 16, &avail, 8);
        std::memcpy(p + 24, &g.sectors_per_cluster, 4);
        std::memcpy(p + 28, &g.bytes_per_sector, 4);
        *written = 32;
        return STATUS_SUCCESS;
    }
    case FileFsDeviceInformation:
        if (!out) return STATUS_INVALID_PARAMETER;
        return fs_device_info(out, length, written);
    case FileFsAttributeInformation:
        if (!out) return STATUS_INVALID_PARAMETER;
        return fs_attribute_info(out, length, written, FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK,
                                 kMaxComponentLength, g.type == fat::FatType::Fat32 ? u"FAT32" : u"FAT");
    default:
        debug("FAT: volume information class %d is not supported", static_cast<int>(cls));
        return STATUS_INVALID_INFO_CLASS;
    }
}

NTSTATUS FatDriver::volume_fsctl(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                                 ULONG *returned) {
    ULONG dummy;
    if (!returned) returned = &dummy;
    *returned = 0;
    switch (code) {
    case FSCTL_GET_VOLUME_BITMAP:
        return volume_bitmap(in, inLength, out, outLength, returned);
    case FSCTL_IS_VOLUME_DIRTY: {
        if (!out || outLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
        std::lock_guard<std::mutex> guard(mutex);
        bool dirty;
        NTSTATUS status = volume.dirty(&dirty);
        if (!NT_SUCCESS(status)) return status;
        ULONG flags = dirty ? VOLUME_IS_DIRTY : 0;
        std::memcpy(out, &flags, sizeof flags);
        *returned = sizeof flags;
        return STATUS_SUCCESS;
    }
    default:
        // FSCTL_GET_NTFS_VOLUME_DATA, FSCTL_GET_NTFS_FILE_RECORD and the rest:
        // what the Windows FAT driver does not answer either.
        debug("FAT: volume FSCTL 0x%08x is not supported", code);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// The bitmap from StartingLcn rounded down to a multiple of 8; BitmapSize
// counts the bits from there to the last cluster, and the bytes that do not
// fit make the answer STATUS_BUFFER_OVERFLOW. Bits past the last cluster in
// the last byte read as in use; bytes after it are left as they were.
NTSTATUS FatDriver::volume_bitmap(const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned) {
    if (!in || inLength < sizeof(STARTING_LCN_INPUT_BUFFER)) return STATUS_INVALID_PARAMETER;
    const ULONG header = offsetof(VOLUME_BITMAP_BUFFER, Buffer);
    if (!out || outLength < header) return STATUS_BUFFER_TOO_SMALL;
    LONGLONG start;
    std::memcpy(&start, in, sizeof start);
    const Geometry &g = volume.geometry();
    if (start < 0) return STATUS_INVALID_PARAMETER;
    start &= ~static_cast<LONGLONG>(7);
    if (start >= static_cast<LONGLONG>(g.clusters)) return STATUS_INVALID_PARAMETER;
    uint32_t bits = g.clusters - static_cast<uint32_t>(start);
    uint64_t bytes = (static_cast<uint64_t>(bits) + 7) / 8;
    uint64_t room = outLength - header;
    uint32_t copy_bits = bytes <= room ? bits : static_cast<uint32_t>(room * 8);
    auto *p = static_cast<uint8_t *>(out);
    std::lock_guard<std::mutex> guard(mutex);
    if (copy_bits > 0) {
        NTSTATUS status = volume.bitmap(static_cast<uint32_t>(start), copy_bits, p + header);
        if (!NT_SUCCESS(status)) return status;
    }
    LONGLONG size = bits;
    std::memcpy(p, &start, 8);
    std::memcpy(p + 8, &size, 8);
    *returned = header + static_cast<ULONG>(std::min(bytes, room));
    return bytes <= room ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS FatDriver::create(std::u16string_view path, const CreateRequest &request, std::shared_ptr<FileObject> *out,
                           ULONG *information) {
    ULONG dummy;
    if (!information) information = &dummy;
    *information = 0;
    const ULONG opts = request.options, disp = request.disposition;
    const bool want_dir = opts & FILE_DIRECTORY_FILE, want_file = opts & FILE_NON_DIRECTORY_FILE;
    const bool delete_on_close = opts & FILE_DELETE_ON_CLOSE;
    if ((want_dir && want_file) || disp > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
    const uint8_t requested =
        static_cast<uint8_t>(request.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));

    std::lock_guard<std::mutex> guard(mutex);
    Node n;
    NTSTATUS status = volume.lookup(path, &n);
    if (NT_SUCCESS(status)) {
        if (disp == FILE_CREATE) {
            *information = FILE_EXISTS;
            return STATUS_OBJECT_NAME_COLLISION;
        }
        if (n.is_directory()) {
            if (want_file) return STATUS_FILE_IS_A_DIRECTORY;
            if (disp != FILE_OPEN && disp != FILE_OPEN_IF) return STATUS_OBJECT_NAME_COLLISION;
            if (delete_on_close && n.root) return STATUS_CANNOT_DELETE;
            *out = std::make_shared<FatFile>(shared_from_this(), std::u16string(path), true, request.access);
            *information = FILE_OPENED;
            return STATUS_SUCCESS;
        }
        if (want_dir) return STATUS_NOT_A_DIRECTORY;
        const uint8_t attrs = n.entry.dirent.attributes;
        const bool overwrite = disp == FILE_SUPERSEDE || disp == FILE_OVERWRITE || disp == FILE_OVERWRITE_IF;
        if (attrs & fat::kAttrReadOnly) {
            if ((request.access & kWriteAccess) || overwrite) return STATUS_ACCESS_DENIED;
            if (delete_on_close) return STATUS_CANNOT_DELETE;
        }
        ULONG result = FILE_OPENED;
        if (overwrite) {
            // Supersede replaces the attributes; overwrite adds to them.
            uint8_t keep = disp == FILE_SUPERSEDE ? 0 : attrs;
            if (!NT_SUCCESS(status = volume.truncate(&n, static_cast<uint8_t>(keep | requested)))) return status;
            result = disp == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
        }
        *out = std::make_shared<FatFile>(shared_from_this(), std::u16string(path), false, request.access);
        *information = result;
        return STATUS_SUCCESS;
    }
    if (status != STATUS_OBJECT_NAME_NOT_FOUND) return status;
    if (disp == FILE_OPEN || disp == FILE_OVERWRITE) {
        *information = FILE_DOES_NOT_EXIST;
        return status;
    }
    if (want_dir && disp != FILE_CREATE && disp != FILE_OPEN_IF) return STATUS_INVALID_PARAMETER;
    if (!want_dir && !path.empty() && path.back() == u'\\') return STATUS_OBJECT_NAME_INVALID;
    fat::DirRef parent;
    std::u16string leaf;
    if (!NT_SUCCESS(status = volume.lookup_parent(path, &parent, &leaf))) return status;
    uint8_t attrs = want_dir ? static_cast<uint8_t>(requested & ~fat::kAttrArchive)
                             : static_cast<uint8_t>(requested | fat::kAttrArchive);
    if (!NT_SUCCESS(status = volume.create(parent, leaf, attrs, want_dir, &n))) return status;
    *out = std::make_shared<FatFile>(shared_from_this(), std::u16string(path), want_dir, request.access);
    *information = FILE_CREATED;
    return STATUS_SUCCESS;
}

NTSTATUS FatDriver::remove(std::u16string_view path) {
    std::lock_guard<std::mutex> guard(mutex);
    Node n;
    NTSTATUS status = volume.lookup(path, &n);
    if (!NT_SUCCESS(status)) return status;
    if (n.root || (n.entry.dirent.attributes & fat::kAttrReadOnly)) return STATUS_CANNOT_DELETE;
    return volume.remove(n);
}

}  // namespace

namespace fat {

std::shared_ptr<FsDriver> fat_driver_on(std::shared_ptr<Device> device, const std::string &what) {
    if (device->size() < sizeof(BootSector)) return nullptr;
    uint8_t sector[sizeof(BootSector)];
    if (!NT_SUCCESS(device->read(0, sector, sizeof sector))) return nullptr;
    Geometry g;
    std::string why;
    switch (parse_boot_sector(sector, sizeof sector, device->size(), &g, &why)) {
    case Probe::NotFat:
        return nullptr;
    case Probe::Corrupt:
        warn("%s: damaged FAT boot sector, the volume is not mounted: %s", what.c_str(), why.c_str());
        return nullptr;
    case Probe::Fat:
        break;
    }
    return std::make_shared<FatDriver>(std::move(device), g);
}

}  // namespace fat

std::shared_ptr<FsDriver> fat_driver_probe(std::shared_ptr<Volume> volume) {
    char what[16];
    std::snprintf(what, sizeof what, "drive %c:", volume->letter());
    return fat::fat_driver_on(std::make_shared<VolumeDevice>(std::move(volume)), what);
}

}  // namespace ntp
