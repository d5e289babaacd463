// Directories: reading them whole for one operation, parsing entries and
// long names, adding and deleting entries, resolving paths.
#include <algorithm>
#include <set>

#include "fat_fs.h"

namespace ntp::fat {
namespace {

// A directory chain longer than this is taken for a corrupt one: 65,536
// entries is the most a FAT directory can hold.
constexpr uint64_t kMaxDirBytes = kMaxDirEntries * kEntrySize;

bool is_dot_entry(const uint8_t *e) {
    return e[0] == '.' &&
           (std::memcmp(e + 1, "          ", 10) == 0 || (e[1] == '.' && std::memcmp(e + 2, "         ", 9) == 0));
}

}  // namespace

uint32_t Entry::first_cluster(const Geometry &g) const {
    uint32_t c = le16(dirent.cluster_low);
    if (g.type == FatType::Fat32) c |= static_cast<uint32_t>(le16(dirent.cluster_high)) << 16;
    return c & kFat32Mask;
}

NTSTATUS Directory::load(Device &dev, const Geometry &g, FatTable &fat, DirRef ref) {
    ref_ = ref;
    g_ = &g;
    runs_.clear();
    bytes_.clear();
    if (ref.fixed_root) {
        bytes_.resize(g.root_bytes);
        return dev.read(g.root_offset, bytes_.data(), bytes_.size());
    }
    uint32_t count;
    NTSTATUS status = fat.chain(ref.cluster, &runs_, &count);
    if (!NT_SUCCESS(status)) return status;
    if (count == 0) return STATUS_FILE_CORRUPT_ERROR;  // a directory always has a cluster
    uint64_t bytes = static_cast<uint64_t>(count) * g.bytes_per_cluster;
    if (bytes > std::max<uint64_t>(kMaxDirBytes, g.bytes_per_cluster)) return STATUS_FILE_CORRUPT_ERROR;
    bytes_.resize(bytes);
    uint64_t at = 0;
    for (const Run &r : runs_) {
        uint64_t n = static_cast<uint64_t>(r.count) * g.bytes_per_cluster;
        status = dev.read(g.cluster_offset(r.first), bytes_.data() + at, n);
        if (!NT_SUCCESS(status)) return status;
        at += n;
    }
    return STATUS_SUCCESS;
}

uint64_t Directory::offset_of(size_t byte) const {
    if (ref_.fixed_root) return g_->root_offset + byte;
    uint64_t cluster_index = byte / g_->bytes_per_cluster;
    for (const Run &r : runs_) {
        if (cluster_index < r.count)
            return g_->cluster_offset(r.first + static_cast<uint32_t>(cluster_index)) + byte % g_->bytes_per_cluster;
        cluster_index -= r.count;
    }
    return UINT64_MAX;  // not reached: callers stay inside the directory
}

NTSTATUS Directory::store(Device &dev, size_t first, size_t n) {
    size_t i = first, end = std::min(first + n, count());
    while (i < end) {
        // Entries that lie one after the other on disk go out in one write.
        uint64_t at = offset_of(i * kEntrySize);
        size_t j = i + 1;
        while (j < end && offset_of(j * kEntrySize) == at + (j - i) * kEntrySize) ++j;
        NTSTATUS status = dev.write(at, raw(i), (j - i) * kEntrySize);
        if (!NT_SUCCESS(status)) return status;
        i = j;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Directory::grow(Device &dev, const Geometry &g, FatTable &fat, size_t entries) {
    if (entries <= count()) return STATUS_SUCCESS;
    if (ref_.fixed_root) return STATUS_DISK_FULL;  // the FAT12/16 root has a fixed size
    uint64_t bytes = static_cast<uint64_t>(entries) * kEntrySize;
    uint32_t more = static_cast<uint32_t>((bytes - bytes_.size() + g.bytes_per_cluster - 1) / g.bytes_per_cluster);
    if (bytes_.size() + static_cast<uint64_t>(more) * g.bytes_per_cluster > kMaxDirBytes) return STATUS_DISK_FULL;
    std::vector<uint32_t> fresh;
    NTSTATUS status = fat.find_free(more, &fresh);
    if (!NT_SUCCESS(status)) return status;
    // Zeroed on disk before anything points at them; then the new clusters
    // become a chain of their own; then the directory's last cluster links to it.
    std::vector<uint8_t> zero(g.bytes_per_cluster, 0);
    for (uint32_t c : fresh)
        if (!NT_SUCCESS(status = dev.write(g.cluster_offset(c), zero.data(), zero.size()))) return status;
    for (size_t k = 0; k < fresh.size(); ++k)
        if (!NT_SUCCESS(status = fat.set(fresh[k], k + 1 < fresh.size() ? fresh[k + 1] : g.end_of_chain())))
            return status;
    if (!NT_SUCCESS(status = fat.flush())) return status;
    const Run &last = runs_.back();
    if (!NT_SUCCESS(status = fat.set(last.first + last.count - 1, fresh[0]))) return status;
    if (!NT_SUCCESS(status = fat.flush())) return status;
    for (uint32_t c : fresh) {
        Run &r = runs_.back();
        if (r.first + r.count == c)
            ++r.count;
        else
            runs_.push_back({c, 1});
    }
    bytes_.resize(bytes_.size() + static_cast<size_t>(more) * g.bytes_per_cluster, 0);
    return STATUS_SUCCESS;
}

void for_each_entry(const Directory &dir, const std::function<bool(const Entry &)> &fn) {
    // The long name being gathered: parts arrive last part first.
    std::u16string units;
    int next = 0;  // order expected next; 0 when no long name is open
    uint8_t sum = 0;
    size_t first_slot = 0;
    bool open = false;

    for (size_t i = 0; i < dir.count(); ++i) {
        const uint8_t *e = dir.raw(i);
        if (e[0] == kEntryEnd) break;
        if (e[0] == kEntryDeleted) {
            open = false;
            continue;
        }
        uint8_t attr = e[11];
        if ((attr & kAttrLongNameMask) == kAttrLongName) {
            const LfnEntry *l = reinterpret_cast<const LfnEntry *>(e);
            int order = l->order & kLfnOrderMask;
            if (l->order & kLfnLast) {
                open = order >= 1 && order * kLfnUnits <= kMaxLongName + kLfnUnits;
                if (!open) continue;
                units.assign(static_cast<size_t>(order) * kLfnUnits, 0xFFFF);
                sum = l->checksum;
                first_slot = i;
            } else if (!open || order < 1 || order != next || l->checksum != sum) {
                open = false;
                continue;
            }
            size_t base = static_cast<size_t>(order - 1) * kLfnUnits;
            for (int k = 0; k < 5; ++k) units[base + k] = le16(l->name1 + 2 * k);
            for (int k = 0; k < 6; ++k) units[base + 5 + k] = le16(l->name2 + 2 * k);
            for (int k = 0; k < 2; ++k) units[base + 11 + k] = le16(l->name3 + 2 * k);
            next = order - 1;
            continue;
        }
        bool had_long = open && next == 0;
        open = false;
        if (attr & kAttrVolumeId) continue;  // the label
        if (is_dot_entry(e)) continue;

        Entry out;
        std::memcpy(&out.dirent, e, sizeof out.dirent);
        out.short_slot = i;
        out.first_slot = i;
        out.short_name = short_name_text(e, out.dirent.nt_case);
        if (had_long && lfn_checksum(e) == sum) {
            size_t len = units.find(u'\0');
            if (len == std::u16string::npos) len = units.size();
            if (len > 0 && len <= kMaxLongName) {
                out.long_name = units.substr(0, len);
                out.first_slot = first_slot;
            }
        }
        if (!fn(out)) return;
    }
}

bool find_entry(const Directory &dir, std::u16string_view name, Entry *out) {
    bool found = false;
    for_each_entry(dir, [&](const Entry &e) {
        if ((!e.long_name.empty() && iequal(e.long_name, name)) || iequal(e.short_name, name)) {
            *out = e;
            found = true;
            return false;
        }
        return true;
    });
    return found;
}

bool find_label(const Directory &dir, std::u16string *label) {
    for (size_t i = 0; i < dir.count(); ++i) {
        const uint8_t *e = dir.raw(i);
        if (e[0] == kEntryEnd) break;
        if (e[0] == kEntryDeleted) continue;
        uint8_t attr = e[11];
        if ((attr & kAttrLongNameMask) == kAttrLongName || !(attr & kAttrVolumeId)) continue;
        size_t len = 11;
        while (len > 0 && e[len - 1] == ' ') --len;
        label->clear();
        for (size_t k = 0; k < len; ++k)
            *label += oem_to_unicode(k == 0 && e[0] == kEntryKanjiE5 ? kEntryDeleted : e[k]);
        return true;
    }
    return false;
}

// ------------------------------------------------------------------ paths

DirRef FatVolume::dir_ref(const Node &n) const {
    if (n.root) return root_ref();
    return DirRef{false, n.entry.first_cluster(g_)};
}

NTSTATUS FatVolume::load_dir(FatTable &fat, DirRef ref, Directory *dir) { return dir->load(*dev_, g_, fat, ref); }

NTSTATUS FatVolume::split_path(std::u16string_view path, std::vector<std::u16string> *parts, bool *trailing) {
    parts->clear();
    *trailing = false;
    if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    path.remove_prefix(1);
    if (path.empty()) return STATUS_SUCCESS;  // the root
    if (path.back() == u'\\') {
        *trailing = true;
        path.remove_suffix(1);
    }
    for (;;) {
        size_t cut = path.find(u'\\');
        std::u16string_view part = path.substr(0, cut);
        if (part.empty() || part.size() > kMaxLongName || part == u"." || part == u"..")
            return STATUS_OBJECT_NAME_INVALID;
        for (char16_t c : part)
            if (c < 0x20 || c == u'"' || c == u'*' || c == u'/' || c == u':' || c == u'<' || c == u'>' || c == u'?' ||
                c == u'|')
                return STATUS_OBJECT_NAME_INVALID;
        parts->emplace_back(part);
        if (cut == std::u16string_view::npos) return STATUS_SUCCESS;
        path.remove_prefix(cut + 1);
    }
}

NTSTATUS FatVolume::lookup(std::u16string_view path, Node *node) {
    std::vector<std::u16string> parts;
    bool trailing;
    NTSTATUS status = split_path(path, &parts, &trailing);
    if (!NT_SUCCESS(status)) return status;
    *node = Node{};
    if (parts.empty()) {
        node->root = true;
        return STATUS_SUCCESS;
    }
    DirRef dir = root_ref();
    for (size_t i = 0; i < parts.size(); ++i) {
        FatTable fat(*dev_, g_);
        Directory d;
        if (!NT_SUCCESS(status = load_dir(fat, dir, &d))) return status;
        Entry e;
        bool last = i + 1 == parts.size();
        if (!find_entry(d, parts[i], &e)) return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        if (!last) {
            if (!e.is_directory()) return STATUS_OBJECT_PATH_NOT_FOUND;
            dir = DirRef{false, e.first_cluster(g_)};
            continue;
        }
        if (trailing && !e.is_directory()) return STATUS_OBJECT_NAME_INVALID;
        node->parent = dir;
        node->entry = e;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FatVolume::lookup_parent(std::u16string_view path, DirRef *parent, std::u16string *leaf) {
    std::vector<std::u16string> parts;
    bool trailing;
    NTSTATUS status = split_path(path, &parts, &trailing);
    if (!NT_SUCCESS(status)) return status;
    if (parts.empty()) return STATUS_OBJECT_NAME_INVALID;
    DirRef dir = root_ref();
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        FatTable fat(*dev_, g_);
        Directory d;
        if (!NT_SUCCESS(status = load_dir(fat, dir, &d))) return status;
        Entry e;
        if (!find_entry(d, parts[i], &e) || !e.is_directory()) return STATUS_OBJECT_PATH_NOT_FOUND;
        dir = DirRef{false, e.first_cluster(g_)};
    }
    *parent = dir;
    *leaf = parts.back();
    return STATUS_SUCCESS;
}

// ------------------------------------------------------ adding, deleting

NTSTATUS FatVolume::create(DirRef parent, std::u16string_view name, uint8_t attributes, bool directory, Node *out) {
    if (!valid_long_name(name)) return STATUS_OBJECT_NAME_INVALID;
    FatTable fat(*dev_, g_);
    Directory d;
    NTSTATUS status = load_dir(fat, parent, &d);
    if (!NT_SUCCESS(status)) return status;
    Entry existing;
    if (find_entry(d, name, &existing)) return STATUS_OBJECT_NAME_COLLISION;

    // The 8.3 name: the name itself when it is one, else the first free alias.
    ShortForm form = make_short_form(name);
    uint8_t short_name[11];
    if (form.exact) {
        std::memcpy(short_name, form.name, 11);
    } else {
        std::set<std::string> taken;
        for (size_t i = 0; i < d.count(); ++i) {
            const uint8_t *e = d.raw(i);
            if (e[0] == kEntryEnd) break;
            if (e[0] == kEntryDeleted || (e[11] & kAttrLongNameMask) == kAttrLongName) continue;
            taken.emplace(reinterpret_cast<const char *>(e), 11);
        }
        uint32_t n = 1;
        for (; n < 1000000; ++n) {
            with_numeric_tail(form.name, n, short_name);
            if (!taken.count(std::string(reinterpret_cast<const char *>(short_name), 11))) break;
        }
        if (n == 1000000) return STATUS_OBJECT_NAME_COLLISION;
    }
    std::vector<LfnEntry> lfn;
    if (form.needs_lfn) lfn = make_lfn_entries(name, lfn_checksum(short_name));
    size_t slots = lfn.size() + 1;

    // Free slots: deleted entries, or anything from the end marker on.
    size_t end = d.count();
    for (size_t i = 0; i < d.count(); ++i)
        if (d.raw(i)[0] == kEntryEnd) {
            end = i;
            break;
        }
    size_t start = SIZE_MAX, run = 0;
    for (size_t i = 0; i < d.count(); ++i) {
        bool free = i >= end || d.raw(i)[0] == kEntryDeleted;
        run = free ? run + 1 : 0;
        if (run == slots) {
            start = i + 1 - slots;
            break;
        }
    }

    DosTime now = dos_now();
    uint32_t cluster = 0;
    if (directory) {
        // The new directory's cluster, with "." and "..", exists before the
        // entry that names it.
        std::vector<uint32_t> one;
        if (!NT_SUCCESS(status = fat.find_free(1, &one))) return status;
        cluster = one[0];
        std::vector<uint8_t> block(g_.bytes_per_cluster, 0);
        DirEntry dots[2];
        std::memset(dots, 0, sizeof dots);
        uint32_t up = (parent.fixed_root || parent.cluster == g_.root_cluster) ? 0 : parent.cluster;
        uint32_t targets[2] = {cluster, up};
        for (int k = 0; k < 2; ++k) {
            std::memset(dots[k].name, ' ', 11);
            dots[k].name[0] = '.';
            if (k == 1) dots[k].name[1] = '.';
            dots[k].attributes = kAttrDirectory;
            dots[k].create_tenths = now.tenths;
            put16(dots[k].create_time, now.time);
            put16(dots[k].create_date, now.date);
            put16(dots[k].access_date, now.date);
            put16(dots[k].write_time, now.time);
            put16(dots[k].write_date, now.date);
            put16(dots[k].cluster_low, static_cast<uint16_t>(targets[k]));
            if (g_.type == FatType::Fat32) put16(dots[k].cluster_high, static_cast<uint16_t>(targets[k] >> 16));
        }
        std::memcpy(block.data(), dots, sizeof dots);
        if (!NT_SUCCESS(status = dev_->write(g_.cluster_offset(cluster), block.data(), block.size()))) return status;
        if (!NT_SUCCESS(status = fat.set(cluster, g_.end_of_chain()))) return status;
        if (!NT_SUCCESS(status = fat.flush())) return status;
    }
    auto undo_cluster = [&]() {
        if (cluster == 0) return;
        FatTable again(*dev_, g_);
        if (NT_SUCCESS(again.set(cluster, kFreeCluster))) (void)again.flush();
    };

    if (start == SIZE_MAX) {
        // No room: the directory grows (the fixed root cannot).
        size_t tail = d.count();
        while (tail > 0 && (tail - 1 >= end || d.raw(tail - 1)[0] == kEntryDeleted)) --tail;
        status = d.grow(*dev_, g_, fat, tail + slots);
        if (!NT_SUCCESS(status)) {
            undo_cluster();
            return status;
        }
        start = tail;
        end = std::max(end, tail);
    }

    for (size_t k = 0; k < lfn.size(); ++k) std::memcpy(d.raw(start + k), &lfn[k], kEntrySize);
    DirEntry *e = d.entry(start + lfn.size());
    std::memset(e, 0, sizeof *e);
    std::memcpy(e->name, short_name, 11);
    if (e->name[0] == kEntryDeleted) e->name[0] = kEntryKanjiE5;
    e->attributes = static_cast<uint8_t>((attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive)) |
                                         (directory ? kAttrDirectory : 0));
    e->nt_case = form.exact ? form.nt_case : 0;
    e->create_tenths = now.tenths;
    put16(e->create_time, now.time);
    put16(e->create_date, now.date);
    put16(e->access_date, now.date);
    put16(e->write_time, now.time);
    put16(e->write_date, now.date);
    put16(e->cluster_low, static_cast<uint16_t>(cluster));
    if (g_.type == FatType::Fat32) put16(e->cluster_high, static_cast<uint16_t>(cluster >> 16));
    size_t written = slots;
    // Slots taken past the old end marker: the entry after them must end the
    // directory again, whatever stale bytes it held.
    size_t after = start + slots;
    if (after < d.count() && after > end && d.raw(after)[0] != kEntryEnd) {
        d.raw(after)[0] = kEntryEnd;
        ++written;
    }
    status = d.store(*dev_, start, written);
    if (!NT_SUCCESS(status)) {
        undo_cluster();
        return status;
    }

    *out = Node{};
    out->parent = parent;
    out->entry.first_slot = start;
    out->entry.short_slot = start + lfn.size();
    std::memcpy(&out->entry.dirent, e, sizeof out->entry.dirent);
    out->entry.short_name = short_name_text(e->name, e->nt_case);
    if (form.needs_lfn) out->entry.long_name = std::u16string(name);
    return STATUS_SUCCESS;
}

NTSTATUS FatVolume::remove(const Node &node) {
    if (node.root) return STATUS_CANNOT_DELETE;
    FatTable fat(*dev_, g_);
    Directory d;
    NTSTATUS status = load_dir(fat, node.parent, &d);
    if (!NT_SUCCESS(status)) return status;
    const Entry &e = node.entry;
    if (e.short_slot >= d.count() || e.first_slot > e.short_slot ||
        std::memcmp(d.raw(e.short_slot), &e.dirent, 11) != 0)
        return kStatusFileInvalid;
    std::vector<Run> runs;
    uint32_t count;
    if (!NT_SUCCESS(status = fat.chain(e.first_cluster(g_), &runs, &count))) return status;
    if (e.is_directory()) {
        Directory sub;
        if (!NT_SUCCESS(status = load_dir(fat, DirRef{false, e.first_cluster(g_)}, &sub))) return status;
        bool empty = true;
        for_each_entry(sub, [&](const Entry &) { return empty = false; });
        if (!empty) return STATUS_DIRECTORY_NOT_EMPTY;
    }
    // Names first, clusters after: a stop in between leaves lost clusters,
    // never a name whose clusters are free.
    for (size_t i = e.first_slot; i <= e.short_slot; ++i) d.raw(i)[0] = kEntryDeleted;
    if (!NT_SUCCESS(status = d.store(*dev_, e.first_slot, e.short_slot - e.first_slot + 1))) return status;
    for (const Run &r : runs)
        for (uint32_t k = 0; k < r.count; ++k)
            if (!NT_SUCCESS(status = fat.set(r.first + k, kFreeCluster))) return status;
    return fat.flush();
}

NTSTATUS FatVolume::write_entry(const Node &node, const std::function<void(DirEntry *)> &change) {
    FatTable fat(*dev_, g_);
    Directory d;
    NTSTATUS status = load_dir(fat, node.parent, &d);
    if (!NT_SUCCESS(status)) return status;
    size_t slot = node.entry.short_slot;
    if (slot >= d.count() || std::memcmp(d.raw(slot), node.entry.dirent.name, 11) != 0) return kStatusFileInvalid;
    change(d.entry(slot));
    return d.store(*dev_, slot, 1);
}

}  // namespace ntp::fat
