// NTFS fragmentation through libntfs-3g: the volume is mounted read-only
// over a device of our own (so that a volume at an offset inside an image
// works), every base record in use is opened, and the run lists of its
// unnamed $DATA (files) or $I30 index allocation (directories) are counted.
// This is the only file of the tool that includes libntfs-3g's headers.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "frag.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/mft.h>
#include <ntfs-3g/volume.h>
}
#undef min
#undef max

namespace ntm::frag {

namespace {

constexpr uint64_t kFirstUserRecord = 16;
constexpr uint64_t kRootRecord = 5;
constexpr uint32_t kAttrSparse = 0x200, kAttrReparse = 0x400, kAttrCompressed = 0x800, kAttrOffline = 0x1000;
constexpr int kDosNameSpace = 2;

// ---------------------------------------------------- read-only device
struct DeviceState {
    const ReadFn *read = nullptr;
    uint64_t size = 0;
    s64 position = 0;
};

DeviceState *state_of(struct ntfs_device *dev) { return static_cast<DeviceState *>(dev->d_private); }

int dev_open(struct ntfs_device *dev, int flags) {
    if ((flags & O_ACCMODE) != O_RDONLY) {
        errno = EROFS;
        return -1;
    }
    NDevSetReadOnly(dev);
    NDevSetOpen(dev);
    state_of(dev)->position = 0;
    return 0;
}
int dev_close(struct ntfs_device *dev) {
    NDevClearOpen(dev);
    return 0;
}
s64 dev_pread(struct ntfs_device *dev, void *buffer, s64 count, s64 offset) {
    DeviceState *s = state_of(dev);
    if (offset < 0 || count < 0) {
        errno = EINVAL;
        return -1;
    }
    if (uint64_t(offset) >= s->size) return 0;
    if (uint64_t(count) > s->size - uint64_t(offset)) count = s64(s->size - uint64_t(offset));
    if (count && !(*s->read)(uint64_t(offset), buffer, size_t(count))) {
        errno = EIO;
        return -1;
    }
    return count;
}
s64 dev_pwrite(struct ntfs_device *, const void *, s64, s64) {
    errno = EROFS;
    return -1;
}
s64 dev_seek(struct ntfs_device *dev, s64 offset, int whence) {
    DeviceState *s = state_of(dev);
    s64 base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->position : s64(s->size);
    if (base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    return s->position = base + offset;
}
s64 dev_read(struct ntfs_device *dev, void *buffer, s64 count) {
    s64 n = dev_pread(dev, buffer, count, state_of(dev)->position);
    if (n > 0) state_of(dev)->position += n;
    return n;
}
s64 dev_write(struct ntfs_device *, const void *, s64) {
    errno = EROFS;
    return -1;
}
int dev_sync(struct ntfs_device *) { return 0; }
int dev_stat(struct ntfs_device *dev, struct stat *buf) {
    std::memset(buf, 0, sizeof *buf);
    buf->st_mode = S_IFREG | 0400;
    buf->st_size = off_t(state_of(dev)->size);
    return 0;
}
int dev_ioctl(struct ntfs_device *, unsigned long, void *) {
    errno = ENOTTY;
    return -1;
}

struct ntfs_device_operations g_ops = {dev_open,  dev_close,  dev_seek, dev_read, dev_write,
                                       dev_pread, dev_pwrite, dev_sync, dev_stat, dev_ioctl};

// libntfs-3g's complaints are collected for the error message.
std::string *g_messages = nullptr;
int collect(const char *, const char *, int, u32 level, void *, const char *format, va_list args) {
    if (!g_messages || !(level & (NTFS_LOG_LEVEL_ERROR | NTFS_LOG_LEVEL_PERROR | NTFS_LOG_LEVEL_CRITICAL))) return 0;
    char text[512];
    int n = vsnprintf(text, sizeof text, format, args);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!line.empty() && g_messages->size() < 2000) *g_messages += (g_messages->empty() ? "" : "; ") + line;
    return n;
}

// A name as the record holds it: `length` little-endian UTF-16 units.
std::string from_ntfs(const uint8_t *name, int length) {
    std::u16string s;
    for (int i = 0; i < length; ++i) s += char16_t(name[2 * i] | (name[2 * i + 1] << 8));
    // UTF-16 to UTF-8 (surrogates paired where they can be).
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80)
            out += char(c);
        else if (c < 0x800)
            out += char(0xC0 | (c >> 6)), out += char(0x80 | (c & 0x3F));
        else if (c < 0x10000)
            out += char(0xE0 | (c >> 12)), out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
        else
            out += char(0xF0 | (c >> 18)), out += char(0x80 | ((c >> 12) & 0x3F)),
                out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
    }
    return out;
}

struct Name {
    uint64_t parent = 0;
    std::string name;
};

// The runs of an open attribute (empty for a resident one).
bool runs_of(ntfs_attr *na, std::vector<Run> *out) {
    out->clear();
    if (!NAttrNonResident(na)) return true;
    if (ntfs_attr_map_whole_runlist(na)) return false;
    for (runlist_element *rl = na->rl; rl && rl->length; ++rl) {
        if (rl->lcn == LCN_RL_NOT_MAPPED || rl->lcn == LCN_ENOENT) return false;
        out->push_back(Run{rl->lcn >= 0 ? int64_t(rl->lcn) : -1, uint64_t(rl->length)});
    }
    return true;
}

// Appends the runs of one attribute record to `out`, unless it is the
// attribute the counters read whole (a file's unnamed $DATA, a directory's
// $I30 index allocation) or resident.
void other_runs_of(ntfs_volume *vol, ATTR_RECORD *a, bool directory, std::vector<Run> *out) {
    if (!a->non_resident) return;
    ATTR_TYPES type = a->type;
    bool counted = directory ? type == AT_INDEX_ALLOCATION : (type == AT_DATA && a->name_length == 0);
    if (counted) return;
    runlist_element *rl = ntfs_mapping_pairs_decompress(vol, a, nullptr);
    for (runlist_element *e = rl; e && e->length; ++e)
        if (e->lcn >= 0) out->push_back(Run{int64_t(e->lcn), uint64_t(e->length)});
    free(rl);
}

}  // namespace

bool count_ntfs(const ReadFn &read, uint64_t size, const std::string &name, Report *report, std::string *error) {
    std::string messages;
    g_messages = &messages;
    ntfs_log_set_handler(collect);

    DeviceState state;
    state.read = &read;
    state.size = size;
    struct ntfs_device *dev = ntfs_device_alloc(name.c_str(), 0, &g_ops, &state);
    if (!dev) {
        *error = "out of memory";
        return false;
    }
    ntfs_volume *vol = ntfs_device_mount(dev, NTFS_MNT_RDONLY);
    if (!vol) {
        int err = errno;
        ntfs_device_free(dev);
        *error = messages.empty() ? std::string("libntfs-3g cannot mount it: ") + strerror(err) : messages;
        g_messages = nullptr;
        return false;
    }

    Report &r = *report;
    r.fs = "NTFS";
    r.cluster_size = vol->cluster_size;
    r.total_clusters = uint64_t(vol->nr_clusters);

    bool ok = true;
    r.mft_lcn = int64_t(vol->mft_lcn);
    // Free space from $Bitmap.
    r.bitmap.assign((r.total_clusters + 7) / 8, 0);
    if (ntfs_attr_pread(vol->lcnbmp_na, 0, s64(r.bitmap.size()), r.bitmap.data()) != s64(r.bitmap.size())) {
        *error = "$Bitmap cannot be read";
        ok = false;
    } else {
        r.count_free();
    }

    // Every base record in use.
    std::map<uint64_t, Name> names;
    std::vector<Item> pending;
    uint64_t records = ok ? uint64_t(vol->mft_na->initialized_size) >> vol->mft_record_size_bits : 0;
    for (uint64_t n = 0; ok && n < records; ++n) {
        MFT_RECORD *m = nullptr;
        if (ntfs_file_record_read(vol, MK_MREF(n, 0), &m, nullptr)) {
            free(m);
            continue;  // not a file record (never used, or unreadable)
        }
        bool inUse = m->flags & MFT_RECORD_IN_USE;
        bool base = MREF_LE(m->base_mft_record) == 0;
        bool directory = m->flags & MFT_RECORD_IS_DIRECTORY;
        free(m);
        if (!inUse || !base) continue;
        ntfs_inode *ni = ntfs_inode_open(vol, MK_MREF(n, 0));
        if (!ni) continue;

        uint32_t attributes = le32_to_cpu(ni->flags);
        // The names (the parent's record, a long name before a DOS one) and
        // the data streams of each record.
        std::set<std::pair<uint64_t, std::string>> streams;
        ntfs_attr_search_ctx *ctx = ntfs_attr_get_search_ctx(ni, nullptr);
        int bestRank = -1;  // a Win32 name before a POSIX one before a DOS one
        while (ctx && !ntfs_attr_lookup(AT_FILE_NAME, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
            if (ctx->attr->non_resident) continue;
            auto *fn = reinterpret_cast<FILE_NAME_ATTR *>(reinterpret_cast<uint8_t *>(ctx->attr) +
                                                          le16_to_cpu(ctx->attr->value_offset));
            int rank = fn->file_name_type == kDosNameSpace ? 0 : fn->file_name_type == 0 ? 1 : 2;
            if (rank <= bestRank) continue;
            bestRank = rank;
            names[n] = Name{MREF_LE(fn->parent_directory),
                            from_ntfs(reinterpret_cast<const uint8_t *>(fn) + offsetof(FILE_NAME_ATTR, file_name),
                                      fn->file_name_length)};
        }
        if (ctx) ntfs_attr_reinit_search_ctx(ctx);
        while (ctx && !ntfs_attr_lookup(AT_DATA, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
            std::string stream =
                from_ntfs(reinterpret_cast<const uint8_t *>(ctx->attr) + le16_to_cpu(ctx->attr->name_offset),
                          ctx->attr->name_length);
            streams.insert({ctx->ntfs_ino ? ctx->ntfs_ino->mft_no : n, stream});
        }
        // The runs of every other non-resident attribute, piece by piece.
        Item item;
        item.record = n;
        item.compressed = attributes & kAttrCompressed;
        if (ctx) ntfs_attr_reinit_search_ctx(ctx);
        while (ctx && !ntfs_attr_lookup(AT_UNUSED, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx))
            other_runs_of(vol, ctx->attr, directory, &item.other_runs);
        if (ctx) ntfs_attr_reinit_search_ctx(ctx);
        if (ctx && !ntfs_attr_lookup(AT_ATTRIBUTE_LIST, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
            item.attribute_list = true;
            other_runs_of(vol, ctx->attr, directory, &item.other_runs);
        }
        if (ctx) ntfs_attr_put_search_ctx(ctx);
        bool several = false;
        std::map<uint64_t, int> perRecord;
        for (const auto &s : streams) several |= ++perRecord[s.first] > 1;
        item.streams_in_a_record = several;
        // What the gathering scan adds up: nothing for the records it
        // passes over (sparse, reparse point, offline; several streams
        // across records).
        bool gathered = (n == 0 || n == kRootRecord || n >= kFirstUserRecord) &&
                        !(attributes & (kAttrSparse | kAttrReparse | kAttrOffline)) &&
                        !(item.attribute_list && several);
        if (gathered)
            for (const Run &run : item.other_runs) r.attribute_clusters += run.length;

        ntfs_attr *na = nullptr;
        if (directory) {
            item.kind = Item::Directory;
            na = ntfs_attr_open(ni, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4);  // none: a small directory
        } else {
            // Only a record that holds an unnamed $DATA is a file a
            // defragmenter moves ($Secure, for one, has named streams only).
            bool unnamed = false;
            for (const auto &s : streams) unnamed |= s.second.empty();
            static ntfschar noName[1] = {0};
            na = unnamed ? ntfs_attr_open(ni, AT_DATA, noName, 0) : nullptr;
            if (!na) {
                ntfs_inode_close(ni);
                // No unnamed $DATA: not a file a defragmenter moves.
                r.metadata_runs.insert(r.metadata_runs.end(), item.other_runs.begin(), item.other_runs.end());
                continue;
            }
            if (n < kFirstUserRecord)
                item.kind = Item::System;
            else if (attributes & kAttrSparse)
                item.kind = Item::Unmovable, item.why = "sparse";
            else if (attributes & kAttrReparse)
                item.kind = Item::Unmovable, item.why = "reparse point";
            else if (attributes & kAttrOffline)
                item.kind = Item::Unmovable, item.why = "offline";
            else if (several)
                item.kind = Item::Unmovable, item.why = "several data streams";
        }
        if (na) {
            std::vector<Run> runs;
            if (!runs_of(na, &runs)) {
                *error = "the run list of record " + std::to_string(n) + " cannot be read";
                ok = false;
            }
            for (const Run &run : runs)
                if (run.lcn >= 0) item.clusters += run.length;
            item.fragments = count_fragments(runs);
            if (directory && gathered && n != 0) r.directory_clusters += item.clusters;
            item.runs = std::move(runs);
            ntfs_attr_close(na);
        }
        ntfs_inode_close(ni);
        pending.push_back(std::move(item));
    }

    // Paths, from the names gathered on the way.
    for (Item &item : pending) {
        if (!names.count(item.record)) {
            item.path = "<record " + std::to_string(item.record) + ">";
            r.add(std::move(item));
            continue;
        }
        std::string path;
        uint64_t at = item.record;
        for (int depth = 0; depth < 256 && at != kRootRecord; ++depth) {
            auto it = names.find(at);
            if (it == names.end()) {
                path = "\\<record " + std::to_string(at) + ">" + path;
                break;
            }
            path = "\\" + it->second.name + path;
            if (it->second.parent == at) break;
            at = it->second.parent;
        }
        item.path = item.record == kRootRecord ? "\\" : path;
        r.add(std::move(item));
    }

    ntfs_umount(vol, FALSE);  // also frees the device
    g_messages = nullptr;
    return ok;
}

}  // namespace ntm::frag
