// Files of an NTFS volume through libntfs-3g (see ntfs_files.h).
#include "ntfs_files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <cstring>
#include <vector>

namespace ntp::ntfs {

namespace lib = ntfslib;

// ------------------------------------------------------------ errno table
NTSTATUS status_from_ntfs_errno(int err) {
    // libntfs-3g answers inconsistent metadata with EIO or ERANGE: the volume
    // is corrupt, the device did not fail. Everything else means what it
    // means for any host call.
    if (err == EIO || err == ERANGE) return STATUS_DISK_CORRUPT_ERROR;
    return status_from_errno(err);
}

namespace {

void library_message(const char *text) { debug("libntfs-3g: %s", text); }

// Closes an inode when it goes out of scope, unless released.
class InodeRef {
public:
    explicit InodeRef(lib::Inode *ni = nullptr) : ni_(ni) {}
    ~InodeRef() { reset(); }
    InodeRef(const InodeRef &) = delete;
    InodeRef &operator=(const InodeRef &) = delete;
    lib::Inode *get() const { return ni_; }
    lib::Inode *release() {
        lib::Inode *ni = ni_;
        ni_ = nullptr;
        return ni;
    }
    void reset(lib::Inode *ni = nullptr) {
        if (ni_) lib::inode_close(ni_);
        ni_ = ni;
    }

private:
    lib::Inode *ni_;
};

// The attributes a create or an overwrite may set.
constexpr ULONG kNotContentIndexed = 0x00002000;
constexpr ULONG kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      kNotContentIndexed;

// Sets the $STANDARD_INFORMATION attributes as NTFS does on a create or an
// overwrite: those asked for, plus the archive bit.
void set_attributes(lib::Inode *ni, ULONG requested) {
    ULONG flags = lib::inode_attributes(ni);
    flags = (flags & ~kSettableAttributes) | (requested & kSettableAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    lib::inode_set_attributes(ni, flags);
}

// Splits "\a\b" into its names ("\" gives none).
NTSTATUS split_path(std::u16string_view path, std::vector<std::u16string> *names) {
    names->clear();
    if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (path.size() > 1 && path.back() == u'\\') return STATUS_OBJECT_NAME_INVALID;
    size_t pos = 1;
    while (pos < path.size()) {
        size_t end = path.find(u'\\', pos);
        if (end == std::u16string_view::npos) end = path.size();
        std::u16string_view name = path.substr(pos, end - pos);
        if (name.empty() || name.size() > 255) return STATUS_OBJECT_NAME_INVALID;
        names->emplace_back(name);
        pos = end + 1;
    }
    return STATUS_SUCCESS;
}

struct Found {
    uint64_t ref = 0;
    std::u16string name;  // the name as the directory holds it
};

struct ScanState {
    std::u16string_view wanted;
    bool found = false;
    bool dos_only = false;  // matched a short name: the long name of that record is wanted
    Found result;
};

int scan_entry(void *context, const std::u16string &name, int name_type, uint64_t ref) {
    auto *s = static_cast<ScanState *>(context);
    if (name == u"." || name == u"..") return 0;
    if (!iequal(name, s->wanted)) return 0;
    s->found = true;
    s->result.ref = ref;
    s->result.name = name;
    s->dos_only = name_type == lib::kNameDos;
    return s->dos_only ? 0 : 1;  // a long name ends the walk
}

struct LongNameState {
    uint64_t ref = 0;
    bool found = false;
    std::u16string name;
};

int long_name_entry(void *context, const std::u16string &name, int name_type, uint64_t ref) {
    auto *s = static_cast<LongNameState *>(context);
    if (lib::ref_record(ref) != lib::ref_record(s->ref) || name_type == lib::kNameDos) return 0;
    s->found = true;
    s->name = name;
    return 1;
}

// Looks a name up in a directory: the exact name through the index first,
// then every entry compared without regard to case (as Win32 names are, and
// short names, which Windows also matches).
NTSTATUS lookup(lib::Inode *dir, const std::u16string &name, Found *found) {
    errno = 0;
    uint64_t ref = lib::lookup_exact(dir, name);
    if (ref != UINT64_MAX) {
        found->ref = ref;
        found->name = name;
        return STATUS_SUCCESS;
    }
    if (errno != ENOENT && errno != 0) return status_from_ntfs_errno(errno);
    ScanState scan;
    scan.wanted = name;
    if (lib::read_directory(dir, &scan, scan_entry) != 0) return status_from_ntfs_errno(errno);
    if (!scan.found) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (scan.dos_only) {
        LongNameState longname;
        longname.ref = scan.result.ref;
        if (lib::read_directory(dir, &longname, long_name_entry) != 0) return status_from_ntfs_errno(errno);
        if (longname.found) scan.result.name = longname.name;
    }
    *found = scan.result;
    return STATUS_SUCCESS;
}

// Opens the directory that holds the last of `names`, walking from the root.
// STATUS_OBJECT_PATH_NOT_FOUND when a directory on the way is missing.
NTSTATUS open_parent(lib::Vol *vol, const std::vector<std::u16string> &names, InodeRef *parent) {
    InodeRef dir(lib::inode_open(vol, lib::kRootRecord));
    if (!dir.get()) return status_from_ntfs_errno(errno);
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        Found f;
        NTSTATUS st = lookup(dir.get(), names[i], &f);
        if (st == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_OBJECT_PATH_NOT_FOUND;
        if (!NT_SUCCESS(st)) return st;
        InodeRef next(lib::inode_open(vol, f.ref));
        if (!next.get()) return status_from_ntfs_errno(errno);
        if (!lib::inode_is_directory(next.get())) return STATUS_OBJECT_PATH_NOT_FOUND;
        dir.reset(next.release());
    }
    parent->reset(dir.release());
    return STATUS_SUCCESS;
}

std::string host_path(const std::vector<std::u16string> &names, const std::u16string &last) {
    std::string out;
    for (size_t i = 0; i + 1 < names.size(); ++i) out += "/" + to_utf8(names[i]);
    out += "/" + to_utf8(last);
    return out;
}

}  // namespace

// The volume under libntfs-3g: the drive's driver access.
struct FileSystem::Storage : lib::Storage {
    Volume *volume = nullptr;
    uint64_t size() const override { return volume->size(); }
    bool read(uint64_t offset, void *buffer, size_t length) override {
        return NT_SUCCESS(volume->dev_read(offset, buffer, length));
    }
    bool write(uint64_t offset, const void *buffer, size_t length) override {
        return NT_SUCCESS(volume->dev_write(offset, buffer, length));
    }
    bool flush() override { return NT_SUCCESS(volume->dev_flush()); }
};

// --------------------------------------------------------------- the file
class NtfsFile : public FileObject {
public:
    NtfsFile(std::shared_ptr<FileSystem> fs, uint64_t record, uint16_t sequence, bool directory, ACCESS_MASK access,
             ULONG share)
        : fs_(std::move(fs)), record_(record), sequence_(sequence), directory_(directory), access_(access),
          share_(share) {}
    ~NtfsFile() override { close(); }

    uint64_t record() const { return record_; }
    bool directory() const { return directory_; }
    ACCESS_MASK access() const { return access_; }
    ULONG share() const { return share_; }

    NTSTATUS read(uint64_t offset, void *buffer, ULONG length, ULONG *done) override {
        *done = 0;
        std::lock_guard<std::recursive_mutex> guard(fs_->lock());
        if (directory_) return closed_ ? STATUS_FILE_CLOSED : STATUS_INVALID_DEVICE_REQUEST;
        lib::Inode *ni;
        lib::Attr *na;
        NTSTATUS st = attach(&ni, &na);
        if (!NT_SUCCESS(st)) return st;
        const int64_t size = lib::attr_data_size(na);
        if (offset >= uint64_t(size)) return STATUS_END_OF_FILE;
        const int64_t count = std::min<int64_t>(length, size - int64_t(offset));
        const int64_t n = lib::attr_pread(na, int64_t(offset), count, buffer);
        if (n < 0) return status_from_ntfs_errno(errno);
        *done = ULONG(n);
        return STATUS_SUCCESS;
    }

    NTSTATUS write(uint64_t offset, const void *buffer, ULONG length, ULONG *done) override {
        *done = 0;
        std::lock_guard<std::recursive_mutex> guard(fs_->lock());
        if (directory_) return closed_ ? STATUS_FILE_CLOSED : STATUS_INVALID_DEVICE_REQUEST;
        lib::Inode *ni;
        lib::Attr *na;
        NTSTATUS st = attach(&ni, &na);
        if (!NT_SUCCESS(st)) return st;
        if (offset == UINT64_MAX) offset = uint64_t(lib::attr_data_size(na));
        if (offset > uint64_t(INT64_MAX) - length) return STATUS_INVALID_PARAMETER;
        const auto *p = static_cast<const uint8_t *>(buffer);
        const size_t cluster = lib::cluster_size(fs_->vol());
        // On fragmented free space the allocator gives up (ENOSPC) after a
        // few free ranges and marks its zones full although clusters are
        // still free: clear the zones and go on in smaller pieces.
        size_t piece = length;
        bool retried = false;
        size_t written = 0;
        while (written < length) {
            const size_t want = std::min<size_t>(piece, length - written);
            errno = 0;
            const int64_t n = lib::attr_pwrite(na, int64_t(offset + written), int64_t(want), p + written);
            if (n > 0) {
                written += size_t(n);
                retried = false;
                continue;
            }
            const int err = n < 0 && errno ? errno : ENOSPC;
            if (err == ENOSPC) {
                lib::clear_full_zones(fs_->vol());
                if (piece > cluster) {
                    piece = std::max(cluster, piece / 2);
                    continue;
                }
                if (!retried) {
                    retried = true;
                    continue;
                }
            }
            *done = ULONG(written);
            return status_from_ntfs_errno(err);
        }
        *done = ULONG(written);
        return STATUS_SUCCESS;
    }

    NTSTATUS flush() override {
        std::lock_guard<std::recursive_mutex> guard(fs_->lock());
        if (closed_) return STATUS_FILE_CLOSED;
        if (directory_) return STATUS_SUCCESS;  // nothing of its own is held
        lib::Inode *ni;
        lib::Attr *na;
        NTSTATUS st = attach(&ni, &na);
        if (!NT_SUCCESS(st)) return st;
        if (lib::inode_sync(ni) != 0 || lib::device_sync(fs_->vol()) != 0) return status_from_ntfs_errno(errno);
        return STATUS_SUCCESS;
    }

    uint64_t size() override {
        std::lock_guard<std::recursive_mutex> guard(fs_->lock());
        lib::Inode *ni;
        lib::Attr *na;
        if (directory_ || !NT_SUCCESS(attach(&ni, &na))) return 0;
        return uint64_t(lib::attr_data_size(na));
    }

    NTSTATUS fsctl(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned) override {
        *returned = 0;
        if (code != FSCTL_GET_RETRIEVAL_POINTERS) {
            debug("NTFS %c: FSCTL 0x%08X on a file is not supported", fs_->letter(), code);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        std::lock_guard<std::recursive_mutex> guard(fs_->lock());
        if (closed_) return STATUS_FILE_CLOSED;
        if (!directory_) {
            lib::Inode *ni;
            lib::Attr *na;
            NTSTATUS st = attach(&ni, &na);
            if (!NT_SUCCESS(st)) return st;
            return retrieval_pointers(na, in, inLength, out, outLength, returned);
        }
        // A directory's clusters are those of its index, read with the
        // directory opened for this request only.
        NTSTATUS st = fs_->mount();
        if (!NT_SUCCESS(st)) return st;
        InodeRef dir(lib::inode_open(fs_->vol(), lib::make_ref(record_, sequence_)));
        if (!dir.get()) return STATUS_FILE_CLOSED;
        lib::Attr *index = lib::open_index_allocation(dir.get());
        if (!index) return errno == ENOENT ? STATUS_END_OF_FILE : status_from_ntfs_errno(errno);
        st = retrieval_pointers(index, in, inLength, out, outLength, returned);
        lib::attr_close(index);
        return st;
    }

    NTSTATUS close() override {
        if (closed_) return STATUS_SUCCESS;
        std::lock_guard<std::recursive_mutex> guard(fs_->lock());
        closed_ = true;
        fs_->file_closed(this);
        return STATUS_SUCCESS;
    }

private:
    NTSTATUS attach(lib::Inode **ni, lib::Attr **na) {
        if (closed_) return STATUS_FILE_CLOSED;
        return fs_->file_inode(record_, sequence_, ni, na);
    }

    // FSCTL_GET_RETRIEVAL_POINTERS: the runs from the one holding
    // StartingVcn on (its start reported as StartingVcn, as NTFS does).
    static NTSTATUS retrieval_pointers(lib::Attr *na, const void *in, ULONG inLength, void *out, ULONG outLength,
                                       ULONG *returned) {
        if (!in || inLength < sizeof(STARTING_VCN_INPUT_BUFFER)) return STATUS_INVALID_PARAMETER;
        if (!out || outLength < sizeof(RETRIEVAL_POINTERS_BUFFER)) return STATUS_BUFFER_TOO_SMALL;
        STARTING_VCN_INPUT_BUFFER input;
        std::memcpy(&input, in, sizeof input);
        const int64_t start = input.StartingVcn.QuadPart;
        if (start < 0) return STATUS_INVALID_PARAMETER;
        if (!lib::attr_non_resident(na) || lib::attr_allocated_size(na) == 0) return STATUS_END_OF_FILE;
        std::vector<lib::Extent> runs;
        if (lib::attr_runs(na, &runs) != 0) return status_from_ntfs_errno(errno);
        auto first =
            std::find_if(runs.begin(), runs.end(), [start](const lib::Extent &e) { return e.vcn + e.length > start; });
        if (first == runs.end()) return STATUS_END_OF_FILE;
        const size_t available = size_t(runs.end() - first);
        auto *rp = static_cast<RETRIEVAL_POINTERS_BUFFER *>(out);
        const size_t header = offsetof(RETRIEVAL_POINTERS_BUFFER, Extents);
        const size_t room = (outLength - header) / sizeof(rp->Extents[0]);
        const size_t count = std::min(room, available);
        std::memset(out, 0, header);
        rp->ExtentCount = DWORD(count);
        rp->StartingVcn.QuadPart = first->vcn;
        for (size_t i = 0; i < count; ++i) {
            rp->Extents[i].NextVcn.QuadPart = first[i].vcn + first[i].length;
            rp->Extents[i].Lcn.QuadPart = first[i].lcn;
        }
        *returned = ULONG(header + count * sizeof(rp->Extents[0]));
        return count < available ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }

    std::shared_ptr<FileSystem> fs_;
    const uint64_t record_;
    const uint16_t sequence_;
    const bool directory_;
    const ACCESS_MASK access_;
    const ULONG share_;
    bool closed_ = false;
};

namespace {

// The kinds of access that take part in sharing, as FILE_SHARE_* bits.
ULONG shared_kinds(ACCESS_MASK access) {
    ULONG kinds = 0;
    if (access & (FILE_READ_DATA | FILE_EXECUTE | GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL))
        kinds |= FILE_SHARE_READ;
    if (access & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL)) kinds |= FILE_SHARE_WRITE;
    if (access & (DELETE | GENERIC_ALL)) kinds |= FILE_SHARE_DELETE;
    return kinds;
}

}  // namespace

// ------------------------------------------------------------ file system
namespace {

// Every file system of the process, so that a program that ends with files
// still open leaves its volumes written as Windows would at shutdown. (A
// simulated power cut ends the process without this, on purpose.)
struct Registry {
    std::mutex lock;
    std::set<FileSystem *> all;
};

Registry &registry() {
    static Registry *r = new Registry;  // never destroyed: used from atexit
    return *r;
}

void unmount_all_at_exit() {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (FileSystem *fs : r.all) fs->unmount();
}

}  // namespace

FileSystem::FileSystem(std::shared_ptr<Volume> volume) : volume_(std::move(volume)), storage_(new Storage) {
    storage_->volume = volume_.get();
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(unmount_all_at_exit); });
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.all.insert(this);
}

FileSystem::~FileSystem() {
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        r.all.erase(this);
    }
    unmount();
}

NTSTATUS FileSystem::mount() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (vol_) return STATUS_SUCCESS;
    lib::set_message_sink(library_message);
    const std::string name = std::string(1, volume_->letter()) + ":";
    vol_ = lib::mount(name.c_str(), storage_.get());
    if (!vol_) {
        const int err = errno;
        if (!mount_warned_) {
            mount_warned_ = true;
            warn("NTFS %c: cannot open the volume for file access: %s", volume_->letter(),
                 err == EPERM ? "it is hibernated or its journal is not clean" : std::strerror(err));
        }
        return err == EPERM ? STATUS_ACCESS_DENIED : status_from_ntfs_errno(err);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FileSystem::file_inode(uint64_t record, uint16_t sequence, lib::Inode **ni, lib::Attr **na) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    NTSTATUS st = mount();
    if (!NT_SUCCESS(st)) return st;
    Open &o = inodes_[record];
    if (!o.ni) {
        o.ni = lib::inode_open(vol_, lib::make_ref(record, sequence));
        if (!o.ni) {
            warn("NTFS %c: record %llu of an open file is gone (%s)", volume_->letter(),
                 static_cast<unsigned long long>(record), std::strerror(errno));
            inodes_.erase(record);
            return STATUS_FILE_CLOSED;
        }
    }
    if (!o.na) {
        o.na = lib::open_data(o.ni);
        if (!o.na) return status_from_ntfs_errno(errno);
    }
    *ni = o.ni;
    *na = o.na;
    return STATUS_SUCCESS;
}

void FileSystem::close_inode(uint64_t record) {
    auto it = inodes_.find(record);
    if (it == inodes_.end()) return;
    if (it->second.na) lib::attr_close(it->second.na);
    if (it->second.ni && lib::inode_close(it->second.ni) != 0)
        warn("NTFS %c: writing record %llu failed (%s)", volume_->letter(), static_cast<unsigned long long>(record),
             std::strerror(errno));
    inodes_.erase(it);
}

bool FileSystem::in_use(uint64_t record) const {
    for (const NtfsFile *f : files_)
        if (f->record() == record) return true;
    return false;
}

void FileSystem::unmount() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!vol_) return;
    while (!inodes_.empty()) close_inode(inodes_.begin()->first);
    if (lib::unmount(vol_) != 0)
        warn("NTFS %c: writing the volume's metadata failed (%s)", volume_->letter(), std::strerror(errno));
    vol_ = nullptr;
}

void FileSystem::file_closed(NtfsFile *file) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    files_.erase(file);
    if (!in_use(file->record())) close_inode(file->record());
    if (files_.empty()) unmount();
}

namespace {
// Lets go of the volume on the way out of an operation when no file is open.
template <class F>
struct Settle {
    F f;
    ~Settle() { f(); }
};
template <class F>
Settle(F) -> Settle<F>;
}  // namespace

NTSTATUS FileSystem::create(std::u16string_view path, const CreateRequest &request, std::shared_ptr<FileObject> *out,
                            ULONG *information) {
    out->reset();
    *information = 0;
    const ULONG disposition = request.disposition;
    const ULONG options = request.options;
    if (disposition > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
    if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE)) return STATUS_INVALID_PARAMETER;
    if ((options & FILE_DIRECTORY_FILE) && disposition != FILE_CREATE && disposition != FILE_OPEN &&
        disposition != FILE_OPEN_IF)
        return STATUS_INVALID_PARAMETER;
    std::vector<std::u16string> names;
    NTSTATUS st = split_path(path, &names);
    if (!NT_SUCCESS(st)) return st;

    std::lock_guard<std::recursive_mutex> guard(lock_);
    st = mount();
    if (!NT_SUCCESS(st)) return st;
    Settle settle{[this] {
        if (files_.empty()) unmount();
    }};

    const ACCESS_MASK data_access =
        FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_READ | GENERIC_WRITE | GENERIC_ALL;
    const ACCESS_MASK write_access = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL;
    const bool wants_data = (request.access & data_access) != 0;
    const bool wants_write = (request.access & write_access) != 0;

    // The inode of the file or directory: shared with the open files when
    // one has it already, else opened here (owned).
    lib::Inode *ni = nullptr;
    InodeRef owned;
    ULONG result = FILE_OPENED;
    if (names.empty()) {
        if (disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
        owned.reset(lib::inode_open(vol_, lib::kRootRecord));
        if (!owned.get()) return status_from_ntfs_errno(errno);
        ni = owned.get();
    } else {
        InodeRef dir;
        st = open_parent(vol_, names, &dir);
        if (!NT_SUCCESS(st)) return st;
        Found found;
        st = lookup(dir.get(), names.back(), &found);
        if (st == STATUS_SUCCESS) {
            if (disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
            dir.reset();
            if (auto it = inodes_.find(lib::ref_record(found.ref)); it != inodes_.end() && it->second.ni) {
                ni = it->second.ni;
            } else {
                owned.reset(lib::inode_open(vol_, found.ref));
                if (!owned.get()) return status_from_ntfs_errno(errno);
                ni = owned.get();
            }
        } else if (st == STATUS_OBJECT_NAME_NOT_FOUND) {
            if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) return STATUS_OBJECT_NAME_NOT_FOUND;
            owned.reset(lib::create(dir.get(), names.back(), (options & FILE_DIRECTORY_FILE) != 0));
            if (!owned.get()) return status_from_ntfs_errno(errno);
            ni = owned.get();
            set_attributes(ni, request.attributes);
            result = FILE_CREATED;
        } else {
            return st;
        }
    }

    const uint64_t record = lib::inode_record(ni);
    const uint16_t sequence = lib::inode_sequence(ni);
    const bool directory = lib::inode_is_directory(ni);
    if (result != FILE_CREATED) {
        if (directory) {
            if (options & FILE_NON_DIRECTORY_FILE) return STATUS_FILE_IS_A_DIRECTORY;
            if (disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF)
                return STATUS_FILE_IS_A_DIRECTORY;
            if (!(options & (FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT)) && wants_data)
                return STATUS_FILE_IS_A_DIRECTORY;
        } else {
            if (options & FILE_DIRECTORY_FILE) return STATUS_NOT_A_DIRECTORY;
            const ULONG have = lib::inode_attributes(ni);
            const bool replacing =
                disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF;
            if ((have & FILE_ATTRIBUTE_READONLY) && (wants_write || replacing)) return STATUS_ACCESS_DENIED;
            if (replacing) {
                // NTFS keeps a hidden or system file from being replaced by a
                // caller that does not ask for those attributes again.
                if (((have & FILE_ATTRIBUTE_HIDDEN) && !(request.attributes & FILE_ATTRIBUTE_HIDDEN)) ||
                    ((have & FILE_ATTRIBUTE_SYSTEM) && !(request.attributes & FILE_ATTRIBUTE_SYSTEM)))
                    return STATUS_ACCESS_DENIED;
                if (in_use(record)) return STATUS_SHARING_VIOLATION;
                lib::Attr *na = lib::open_data(ni);
                if (!na) return status_from_ntfs_errno(errno);
                const int rc = lib::attr_truncate(na, 0);
                const int err = errno;
                lib::attr_close(na);
                if (rc != 0) return status_from_ntfs_errno(err);
                set_attributes(ni, request.attributes);
                result = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
            }
        }
    }

    // Sharing with the handles already open on the record, as Windows checks
    // it (an open for attributes only takes no part).
    const ULONG wanted = shared_kinds(request.access);
    for (const NtfsFile *f : files_) {
        if (!wanted || f->record() != record) continue;
        const ULONG held = shared_kinds(f->access());
        if ((wanted & ~f->share()) || (held & ~request.share)) return STATUS_SHARING_VIOLATION;
    }

    // Directories are not held open; a file's inode joins the open ones.
    if (directory)
        owned.reset();
    else if (owned.get())
        inodes_[record].ni = owned.release();
    auto file =
        std::make_shared<NtfsFile>(shared_from_this(), record, sequence, directory, request.access, request.share);
    files_.insert(file.get());
    if (!directory) {
        lib::Inode *file_ni;
        lib::Attr *file_na;
        st = file_inode(record, sequence, &file_ni, &file_na);
        if (!NT_SUCCESS(st)) return st;  // the file object closes itself as it goes
    }
    *out = file;
    *information = result;
    return STATUS_SUCCESS;
}

NTSTATUS FileSystem::remove(std::u16string_view path) {
    std::vector<std::u16string> names;
    NTSTATUS st = split_path(path, &names);
    if (!NT_SUCCESS(st)) return st;
    if (names.empty()) return STATUS_CANNOT_DELETE;

    std::lock_guard<std::recursive_mutex> guard(lock_);
    st = mount();
    if (!NT_SUCCESS(st)) return st;
    Settle settle{[this] {
        if (files_.empty()) unmount();
    }};

    // Resolve the file first and only then open its directory: a directory
    // inode that resolved the name and then serves the delete can leave a
    // stale copy behind.
    Found found;
    uint64_t parent_ref = 0;
    {
        InodeRef dir;
        st = open_parent(vol_, names, &dir);
        if (!NT_SUCCESS(st)) return st;
        st = lookup(dir.get(), names.back(), &found);
        if (!NT_SUCCESS(st)) return st;
        parent_ref = lib::make_ref(lib::inode_record(dir.get()), lib::inode_sequence(dir.get()));
    }
    const uint64_t record = lib::ref_record(found.ref);
    if (record < lib::kFirstUserRecord || lib::ref_record(parent_ref) == lib::kExtendRecord)
        return STATUS_ACCESS_DENIED;  // the file system's own files
    if (in_use(record)) return STATUS_SHARING_VIOLATION;

    InodeRef ni(lib::inode_open(vol_, found.ref));
    if (!ni.get()) return status_from_ntfs_errno(errno);
    if (lib::inode_attributes(ni.get()) & FILE_ATTRIBUTE_READONLY) return STATUS_CANNOT_DELETE;
    InodeRef dir(lib::inode_open(vol_, parent_ref));
    if (!dir.get()) return status_from_ntfs_errno(errno);
    const std::string where = host_path(names, found.name);
    if (lib::remove(vol_, where.c_str(), ni.release(), dir.release(), found.name) != 0)
        return status_from_ntfs_errno(errno);
    return STATUS_SUCCESS;
}

}  // namespace ntp::ntfs
