// The libntfs-3g side of the NTFS driver (see ntfs_lib.h). This is the only
// file that includes libntfs-3g's headers.
#include "ntfs_lib.h"

#include <cstdio>
#include <cstring>
#include <mutex>

// libntfs-3g's headers need these before them and have no C++ guards.
#include <stdarg.h>
#include <stddef.h>
#include <errno.h>
#include <time.h>
#include <sys/stat.h>
#include <stdint.h>
#include <fcntl.h>
#include <unistd.h>
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/volume.h>
}
#undef min
#undef max

namespace ntp::ntfslib {

namespace {

// Vol, Inode and Attr stay incomplete: they are libntfs-3g's own objects.
ntfs_volume *raw(Vol *v) { return reinterpret_cast<ntfs_volume *>(v); }
const ntfs_volume *raw(const Vol *v) { return reinterpret_cast<const ntfs_volume *>(v); }
ntfs_inode *raw(Inode *i) { return reinterpret_cast<ntfs_inode *>(i); }
const ntfs_inode *raw(const Inode *i) { return reinterpret_cast<const ntfs_inode *>(i); }
ntfs_attr *raw(Attr *a) { return reinterpret_cast<ntfs_attr *>(a); }
const ntfs_attr *raw(const Attr *a) { return reinterpret_cast<const ntfs_attr *>(a); }
Vol *wrap(ntfs_volume *v) { return reinterpret_cast<Vol *>(v); }
Inode *wrap(ntfs_inode *i) { return reinterpret_cast<Inode *>(i); }
Attr *wrap(ntfs_attr *a) { return reinterpret_cast<Attr *>(a); }

std::vector<ntfschar> to_ntfs(const std::u16string &s) {
    std::vector<ntfschar> out(s.size() + 1, 0);
    for (size_t i = 0; i < s.size(); ++i) out[i] = cpu_to_le16(uint16_t(s[i]));
    return out;
}

std::u16string from_ntfs(const ntfschar *name, int length) {
    std::u16string out(size_t(length), u'\0');
    for (int i = 0; i < length; ++i) out[size_t(i)] = char16_t(le16_to_cpu(name[i]));
    return out;
}

// ------------------------------------------------------------- messages
void (*g_sink)(const char *) = nullptr;

int log_handler(const char *function, const char *file, int line, u32 level, void *data, const char *format,
                va_list args) {
    (void)function;
    (void)file;
    (void)line;
    (void)data;
    if (!g_sink ||
        !(level & (NTFS_LOG_LEVEL_ERROR | NTFS_LOG_LEVEL_PERROR | NTFS_LOG_LEVEL_CRITICAL | NTFS_LOG_LEVEL_WARNING)))
        return 0;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    size_t n = std::strlen(text);
    while (n && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = 0;
    if (n) g_sink(text);
    return int(n);
}

// ---------------------------------------------------------- the device
struct DeviceState {
    Storage *storage = nullptr;
    s64 position = 0;
};

DeviceState *state_of(struct ntfs_device *dev) { return static_cast<DeviceState *>(dev->d_private); }

int dev_sync(struct ntfs_device *dev) {
    if (!state_of(dev)->storage->flush()) {
        errno = EIO;
        return -1;
    }
    NDevClearDirty(dev);
    return 0;
}

int dev_open(struct ntfs_device *dev, int flags) {
    if (NDevOpen(dev)) {
        errno = EBUSY;
        return -1;
    }
    if ((flags & O_ACCMODE) == O_RDONLY) NDevSetReadOnly(dev);
    state_of(dev)->position = 0;
    NDevSetOpen(dev);
    return 0;
}

int dev_close(struct ntfs_device *dev) {
    if (!NDevOpen(dev)) {
        errno = EBADF;
        return -1;
    }
    int result = 0;
    if (NDevDirty(dev) && !NDevReadOnly(dev)) result = dev_sync(dev);
    NDevClearOpen(dev);
    return result;
}

s64 dev_pread(struct ntfs_device *dev, void *buffer, s64 count, s64 offset) {
    Storage *s = state_of(dev)->storage;
    if (offset < 0 || count < 0) {
        errno = EINVAL;
        return -1;
    }
    const uint64_t size = s->size();
    if (uint64_t(offset) >= size) return 0;
    if (uint64_t(count) > size - uint64_t(offset)) count = s64(size - uint64_t(offset));
    if (count && !s->read(uint64_t(offset), buffer, size_t(count))) {
        errno = EIO;
        return -1;
    }
    return count;
}

s64 dev_pwrite(struct ntfs_device *dev, const void *buffer, s64 count, s64 offset) {
    Storage *s = state_of(dev)->storage;
    if (NDevReadOnly(dev)) {
        errno = EROFS;
        return -1;
    }
    if (offset < 0 || count < 0) {
        errno = EINVAL;
        return -1;
    }
    const uint64_t size = s->size();
    if (uint64_t(offset) >= size) {
        errno = ENOSPC;
        return -1;
    }
    if (uint64_t(count) > size - uint64_t(offset)) count = s64(size - uint64_t(offset));
    NDevSetDirty(dev);
    if (count && !s->write(uint64_t(offset), buffer, size_t(count))) {
        errno = EIO;
        return -1;
    }
    return count;
}

s64 dev_seek(struct ntfs_device *dev, s64 offset, int whence) {
    DeviceState *s = state_of(dev);
    s64 base;
    switch (whence) {
    case SEEK_SET:
        base = 0;
        break;
    case SEEK_CUR:
        base = s->position;
        break;
    case SEEK_END:
        base = s64(s->storage->size());
        break;
    default:
        errno = EINVAL;
        return -1;
    }
    if (base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    s->position = base + offset;
    return s->position;
}

s64 dev_read(struct ntfs_device *dev, void *buffer, s64 count) {
    s64 n = dev_pread(dev, buffer, count, state_of(dev)->position);
    if (n > 0) state_of(dev)->position += n;
    return n;
}

s64 dev_write(struct ntfs_device *dev, const void *buffer, s64 count) {
    s64 n = dev_pwrite(dev, buffer, count, state_of(dev)->position);
    if (n > 0) state_of(dev)->position += n;
    return n;
}

int dev_stat(struct ntfs_device *dev, struct stat *buf) {
    std::memset(buf, 0, sizeof *buf);
    buf->st_mode = S_IFREG | 0600;
    buf->st_size = off_t(state_of(dev)->storage->size());
    buf->st_blksize = 512;
    return 0;
}

int dev_ioctl(struct ntfs_device *dev, unsigned long request, void *argp) {
    (void)dev;
    (void)request;
    (void)argp;
    errno = ENOTTY;  // not a block device: libntfs-3g falls back to stat
    return -1;
}

struct ntfs_device_operations g_device_ops = {
    dev_open, dev_close, dev_seek, dev_read, dev_write, dev_pread, dev_pwrite, dev_sync, dev_stat, dev_ioctl,
};

}  // namespace

void set_message_sink(void (*sink)(const char *text)) {
    static std::once_flag once;
    g_sink = sink;
    std::call_once(once, [] { ntfs_log_set_handler(log_handler); });
}

Vol *mount(const char *name, Storage *storage) {
    auto *state = new DeviceState;
    state->storage = storage;
    struct ntfs_device *dev = ntfs_device_alloc(name, 0, &g_device_ops, state);
    if (!dev) {
        delete state;
        return nullptr;
    }
    // This libntfs-3g mounts a volume whose dirty flag is set (the refusal
    // lives in its command-line front ends), and neither its mount nor its
    // unmount changes the flag.
    ntfs_volume *vol = ntfs_device_mount(dev, NTFS_MNT_NONE);
    if (!vol) {
        int err = errno;
        if (NDevOpen(dev)) NDevClearOpen(dev);
        ntfs_device_free(dev);
        delete state;
        errno = err;
        return nullptr;
    }
    return wrap(vol);
}

int unmount(Vol *vol) {
    ntfs_volume *v = raw(vol);
    DeviceState *state = state_of(v->dev);
    int rc = ntfs_umount(v, FALSE);  // also closes and frees the device
    int err = errno;
    delete state;
    errno = err;
    return rc;
}

uint32_t cluster_size(const Vol *vol) { return raw(vol)->cluster_size; }
void clear_full_zones(Vol *vol) { raw(vol)->full_zones = 0; }
int device_sync(Vol *vol) { return ntfs_device_sync(raw(vol)->dev); }

Inode *inode_open(Vol *vol, uint64_t ref) { return wrap(ntfs_inode_open(raw(vol), MFT_REF(ref))); }
int inode_close(Inode *ni) { return ntfs_inode_close(raw(ni)); }
int inode_sync(Inode *ni) { return ntfs_inode_sync(raw(ni)); }
uint64_t inode_record(const Inode *ni) { return raw(ni)->mft_no; }
uint16_t inode_sequence(const Inode *ni) { return le16_to_cpu(raw(ni)->mrec->sequence_number); }
bool inode_is_directory(const Inode *ni) { return (raw(ni)->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0; }
uint32_t inode_attributes(const Inode *ni) { return le32_to_cpu(raw(ni)->flags); }

void inode_set_attributes(Inode *i, uint32_t attributes) {
    ntfs_inode *ni = raw(i);
    ni->flags = FILE_ATTR_FLAGS(cpu_to_le32(attributes));
    NInoSetDirty(ni);
    NInoFileNameSetDirty(ni);  // the directory entries repeat the attributes
}

uint64_t lookup_exact(Inode *dir, const std::u16string &name) {
    std::vector<ntfschar> uname = to_ntfs(name);
    u64 ref = ntfs_inode_lookup_by_name(raw(dir), uname.data(), int(name.size()));
    return ref == u64(-1) ? UINT64_MAX : ref;
}

namespace {
struct Walk {
    void *context;
    EntryFn entry;
    bool stopped;
};

int walk_entry(void *context, const ntfschar *name, const int name_len, const int name_type, const s64 pos,
               const MFT_REF mref, const unsigned dt_type) {
    (void)pos;
    (void)dt_type;
    auto *w = static_cast<Walk *>(context);
    int rc = w->entry(w->context, from_ntfs(name, name_len), name_type, uint64_t(mref));
    if (rc) w->stopped = true;
    return rc;
}
}  // namespace

int read_directory(Inode *dir, void *context, EntryFn entry) {
    Walk w{context, entry, false};
    s64 pos = 0;
    int rc = ntfs_readdir(raw(dir), &pos, &w, walk_entry);
    // A walk the caller stopped is not a failure, whatever readdir says.
    return w.stopped ? 0 : rc;
}

Inode *create(Inode *dir, const std::u16string &name, bool directory) {
    if (name.empty() || name.size() > 255) {
        errno = EINVAL;
        return nullptr;
    }
    std::vector<ntfschar> uname = to_ntfs(name);
    return wrap(
        ntfs_create(raw(dir), const_cpu_to_le32(0), uname.data(), u8(name.size()), directory ? S_IFDIR : S_IFREG));
}

int remove(Vol *vol, const char *path, Inode *ni, Inode *dir, const std::u16string &name) {
    std::vector<ntfschar> uname = to_ntfs(name);
    return ntfs_delete(raw(vol), path, raw(ni), raw(dir), uname.data(), u8(name.size()));
}

Attr *open_data(Inode *ni) { return wrap(ntfs_attr_open(raw(ni), AT_DATA, AT_UNNAMED, 0)); }
Attr *open_index_allocation(Inode *ni) { return wrap(ntfs_attr_open(raw(ni), AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4)); }
void attr_close(Attr *na) { ntfs_attr_close(raw(na)); }
int64_t attr_data_size(const Attr *na) { return raw(na)->data_size; }
int64_t attr_allocated_size(const Attr *na) { return raw(na)->allocated_size; }
bool attr_non_resident(const Attr *na) { return NAttrNonResident(raw(na)) != 0; }
int64_t attr_pread(Attr *na, int64_t pos, int64_t count, void *buffer) {
    return ntfs_attr_pread(raw(na), pos, count, buffer);
}
int64_t attr_pwrite(Attr *na, int64_t pos, int64_t count, const void *buffer) {
    return ntfs_attr_pwrite(raw(na), pos, count, buffer);
}
int attr_truncate(Attr *na, int64_t size) { return ntfs_attr_truncate(raw(na), size); }

int attr_runs(Attr *a, std::vector<Extent> *out) {
    ntfs_attr *na = raw(a);
    out->clear();
    if (!NAttrNonResident(na)) return 0;
    if (ntfs_attr_map_whole_runlist(na) != 0) return -1;
    for (const runlist_element *rl = na->rl; rl && rl->length; ++rl) {
        if (rl->lcn < LCN_HOLE) {
            errno = EIO;
            return -1;
        }
        out->push_back({rl->vcn, rl->lcn == LCN_HOLE ? -1 : rl->lcn, rl->length});
    }
    return 0;
}

}  // namespace ntp::ntfslib
