// Independent fragment and free-space counts: NTFS from the MFT and $Bitmap
// read by this kit's own reader; FAT from mshowfat (chains as mtools sees
// them) and the FAT itself for free space.
#include <algorithm>
#include <map>

#include "fat_raw.h"
#include "imgkit/imgkit.h"
#include "ntfs_raw.h"

namespace imgkit {

using namespace detail;

namespace {

void free_space(FragCounts &c, const std::vector<bool> &used) {
    uint64_t run = 0;
    for (size_t i = 0; i <= used.size(); i++) {
        if (i < used.size() && !used[i]) {
            run++;
            c.free_clusters++;
            continue;
        }
        if (run) {
            c.free_extents++;
            c.largest_free_extent = std::max(c.largest_free_extent, run);
        }
        run = 0;
    }
}

FragCounts count_ntfs(const std::string &image) {
    NtfsReader r(image);
    FragCounts c;
    c.fs = FsType::ntfs;
    c.cluster_size = r.geometry().cluster_size;
    c.total_clusters = r.geometry().total_clusters;
    std::vector<uint8_t> bm = r.volume_bitmap();
    std::vector<bool> used(c.total_clusters);
    for (uint64_t l = 0; l < c.total_clusters; l++) used[l] = (bm[l >> 3] >> (l & 7)) & 1;
    free_space(c, used);

    const auto &paths = r.paths();
    for (uint64_t n = 0; n < r.record_count(); n++) {
        auto fr = r.load(n);
        if (!fr) continue;
        ItemCount it;
        it.record = n;
        auto p = paths.find(n);
        it.path = p != paths.end() ? p->second : fmt("<record %llu>", (unsigned long long)n);
        it.attr_list = fr->attr_list;
        it.multi_stream = fr->multi_stream;
        it.compressed = fr->file_attributes & kFileAttrCompressed;
        it.sparse_flag = fr->file_attributes & kFileAttrSparse;
        it.reparse = fr->file_attributes & kFileAttrReparse;
        it.offline = fr->file_attributes & kFileAttrOffline;
        const Attribute *a;
        if (fr->is_dir()) {
            it.kind = ItemCount::directory;
            a = fr->find(kAtIndexAllocation, u"$I30");
        } else {
            a = fr->find(kAtData);
            if (!a) continue;
            if (n < 16)
                it.kind = ItemCount::system;
            else if (it.sparse_flag || it.reparse || it.offline || it.multi_stream)
                it.kind = ItemCount::unmovable;
            else
                it.kind = ItemCount::file;
        }
        if (a && a->nonresident) {
            for (const Run &run : a->runs) {
                if (run.lcn >= 0)
                    it.clusters += run.length;
                else
                    it.has_holes = true;
            }
            it.fragments = count_fragments(a->runs);
            it.records = uint32_t(a->records.size());
        }
        switch (it.kind) {
        case ItemCount::file:
            c.files++;
            c.file_fragments += it.fragments;
            c.fragmented_files += it.fragments > 1;
            break;
        case ItemCount::directory:
            c.dirs++;
            c.dir_fragments += it.fragments;
            c.fragmented_dirs += it.fragments > 1;
            break;
        case ItemCount::system:
            c.system_fragments += it.fragments;
            if (n == 0) c.mft_fragments = it.fragments;
            break;
        case ItemCount::unmovable:
            c.unmovable_files++;
            break;
        }
        c.items.push_back(std::move(it));
    }
    return c;
}

// "::/a/b <2-5> <9>" or "::/a Root directory or empty file".
void parse_showfat(const std::string &line, std::string &path, std::vector<Extent> &ext) {
    ext.clear();
    size_t lt = line.find(" <");
    size_t end = lt != std::string::npos ? lt : line.find(" Root directory or empty file");
    path = line.substr(0, end);
    while (lt != std::string::npos) {
        size_t gt = line.find('>', lt);
        if (gt == std::string::npos) throw Error("unexpected mshowfat output: " + line);
        std::string range = line.substr(lt + 2, gt - lt - 2);
        size_t dash = range.find('-');
        uint64_t a = strtoull(range.c_str(), nullptr, 10);
        uint64_t b = dash == std::string::npos ? a : strtoull(range.c_str() + dash + 1, nullptr, 10);
        if (b < a || a < 2) throw Error("unexpected mshowfat range: " + line);
        ext.push_back({int64_t(a - 2), b - a + 1});
        lt = line.find(" <", gt);
    }
}

std::vector<std::pair<std::string, std::vector<Extent>>> showfat(const std::string &image,
                                                                 const std::vector<std::string> &paths) {
    std::vector<std::pair<std::string, std::vector<Extent>>> out;
    for (size_t i = 0; i < paths.size(); i += 500) {
        std::vector<std::string> argv = {"mshowfat", "-i", image};
        for (size_t j = i; j < std::min(paths.size(), i + 500); j++) argv.push_back(paths[j]);
        std::string text = run_checked(argv, mtools_env(), false);
        for (const std::string &line : split_lines(text)) {
            if (!starts_with(line, "::/")) continue;
            std::string p;
            std::vector<Extent> e;
            parse_showfat(line, p, e);
            out.emplace_back(p, e);
        }
    }
    return out;
}

uint64_t fragments_of(const std::vector<Extent> &ext) {
    std::vector<Run> runs;
    for (auto &e : ext) runs.push_back({0, e.lcn, e.length});
    return count_fragments(runs);
}

FragCounts count_fat(const std::string &image, FsType fs) {
    FatReader r(image);
    FragCounts c;
    c.fs = fs;
    c.cluster_size = r.geometry().cluster_size;
    c.total_clusters = r.geometry().clusters;
    std::vector<bool> used(c.total_clusters);
    for (uint32_t i = 0; i < r.geometry().clusters; i++) used[i] = !r.is_free(i + 2);
    free_space(c, used);

    for (FatEntry &e : fat_entries(image)) {
        ItemCount it;
        it.path = e.path;
        it.kind = e.directory ? ItemCount::directory : ItemCount::file;
        it.record = e.extents.empty() ? 0 : uint64_t(e.extents.front().lcn + 2);
        for (auto &x : e.extents) it.clusters += x.length;
        it.fragments = fragments_of(e.extents);
        if (it.kind == ItemCount::directory) {
            c.dirs++;
            c.dir_fragments += it.fragments;
            c.fragmented_dirs += it.fragments > 1;
        } else {
            c.files++;
            c.file_fragments += it.fragments;
            c.fragmented_files += it.fragments > 1;
        }
        c.items.push_back(std::move(it));
    }
    return c;
}

}  // namespace

std::vector<FatEntry> fat_entries(const std::string &image) {
    FsType fs = detect_fs(image);
    if (fs != FsType::fat16 && fs != FsType::fat32) throw Error(image + ": not FAT16/FAT32");
    std::string listing = run_checked({"mdir", "-/", "-b", "-a", "-i", image, "::/"}, mtools_env(), false);
    std::vector<std::string> paths;
    std::vector<FatEntry> out;
    if (fs == FsType::fat32) {
        paths.push_back("::/");
        out.push_back({"\\", true, {}});
    }
    for (const std::string &line : split_lines(listing)) {
        if (!starts_with(line, "::/") || line.size() <= 3) continue;
        FatEntry e;
        std::string p = line;
        e.directory = p.back() == '/';
        if (e.directory) p.pop_back();
        paths.push_back(p);
        e.path = p.substr(2);
        std::replace(e.path.begin(), e.path.end(), '/', '\\');
        out.push_back(std::move(e));
    }
    // mshowfat answers in the order asked, one line per path.
    auto shown = showfat(image, paths);
    if (shown.size() != out.size()) throw Error("mshowfat did not show every entry mdir listed");
    for (size_t i = 0; i < out.size(); i++) out[i].extents = std::move(shown[i].second);
    return out;
}

const ItemCount *FragCounts::find(const std::string &path) const {
    for (const auto &it : items)
        if (it.path == path) return &it;
    return nullptr;
}

FragCounts count(const std::string &image) {
    FsType fs = detect_fs(image);
    switch (fs) {
    case FsType::ntfs:
        return count_ntfs(image);
    case FsType::fat16:
    case FsType::fat32:
        return count_fat(image, fs);
    default:
        throw Error(image + ": neither NTFS nor FAT16/FAT32");
    }
}

std::string format_counts(const FragCounts &c) {
    std::string s =
        fmt("files %llu fragmented %llu fragments %llu | dirs %llu fragmented %llu fragments %llu",
            (unsigned long long)c.files, (unsigned long long)c.fragmented_files, (unsigned long long)c.file_fragments,
            (unsigned long long)c.dirs, (unsigned long long)c.fragmented_dirs, (unsigned long long)c.dir_fragments);
    if (c.fs == FsType::ntfs)
        s += fmt(" | system fragments %llu mft fragments %llu | unmovable %llu", (unsigned long long)c.system_fragments,
                 (unsigned long long)c.mft_fragments, (unsigned long long)c.unmovable_files);
    s += fmt(" | clusters %llu free %llu free extents %llu largest %llu", (unsigned long long)c.total_clusters,
             (unsigned long long)c.free_clusters, (unsigned long long)c.free_extents,
             (unsigned long long)c.largest_free_extent);
    return s;
}

// ------------------------------------------------------------------ layout and faults

std::vector<Extent> file_extents(const std::string &image, const std::string &path) {
    FsType fs = detect_fs(image);
    if (fs == FsType::ntfs) {
        NtfsReader r(image);
        auto n = r.lookup(posix_path(path) == "/" ? "\\" : path.substr(0, path.find(':')));
        if (!n) throw Error("no such file on the volume: " + path);
        auto fr = r.load(*n);
        std::string stream = stream_of(path);
        const Attribute *a = fr->find(fr->is_dir() && stream.empty() ? kAtIndexAllocation : kAtData,
                                      fr->is_dir() && stream.empty() ? u"$I30" : utf8_to_utf16(stream));
        std::vector<Extent> out;
        if (a && a->nonresident)
            for (const Run &run : a->runs) out.push_back({run.lcn, run.length});
        return out;
    }
    if (fs == FsType::fat16 || fs == FsType::fat32) {
        auto res = showfat(image, {mtools_path(path)});
        if (res.empty()) throw Error("no such file on the volume: " + path);
        return res.front().second;
    }
    throw Error(image + ": neither NTFS nor FAT16/FAT32");
}

uint64_t cluster_offset(const std::string &image, int64_t lcn) {
    FsType fs = detect_fs(image);
    if (lcn < 0) throw Error("negative cluster number");
    if (fs == FsType::ntfs) {
        NtfsReader r(image);
        if (uint64_t(lcn) >= r.geometry().total_clusters) throw Error("cluster beyond the volume");
        return r.cluster_offset(lcn);
    }
    FatReader r(image);
    if (uint64_t(lcn) >= r.geometry().clusters) throw Error("cluster beyond the volume");
    return r.cluster_offset(uint32_t(lcn + 2));
}

int64_t corrupt_file_data(const std::string &image, const std::string &path, uint64_t offset) {
    std::vector<Extent> ext = file_extents(image, path);
    auto it = std::find_if(ext.begin(), ext.end(), [](const Extent &e) { return e.lcn >= 0; });
    if (it == ext.end()) throw Error(path + " has no cluster on disk (resident or empty)");
    uint64_t off = cluster_offset(image, it->lcn);
    ImageFile f(image, true);
    uint8_t b;
    f.read(off + offset, &b, 1);
    b ^= 0xFF;
    f.write(off + offset, &b, 1);
    return it->lcn;
}

int64_t clear_allocation_under_file(const std::string &image, const std::string &path) {
    std::vector<Extent> ext = file_extents(image, path);
    FsType fs = detect_fs(image);
    if (fs == FsType::ntfs) {
        auto it = std::find_if(ext.begin(), ext.end(), [](const Extent &e) { return e.lcn >= 0; });
        if (it == ext.end()) throw Error(path + " has no cluster on disk (resident or empty)");
        NtfsReader r(image, true);
        std::vector<Run> bm = r.bitmap_runs();
        uint64_t byte = uint64_t(it->lcn) / 8;
        uint64_t cs = r.geometry().cluster_size;
        for (const Run &run : bm) {
            if (run.lcn < 0 || byte < run.vcn * cs || byte >= (run.vcn + run.length) * cs) continue;
            uint64_t off = uint64_t(run.lcn) * cs + (byte - run.vcn * cs);
            uint8_t v;
            r.file().read(off, &v, 1);
            v &= uint8_t(~(1u << (it->lcn & 7)));
            r.file().write(off, &v, 1);
            return it->lcn;
        }
        throw Error("$Bitmap does not map that cluster");
    }
    if (ext.empty()) throw Error(path + " has no clusters");
    // The second cluster of the chain when there is one: the first is named
    // by the directory entry and is the more obvious fault.
    int64_t lcn = ext.front().length > 1 ? ext.front().lcn + 1 : ext.size() > 1 ? ext[1].lcn : ext.front().lcn;
    FatReader r(image, true);
    r.set_entry(uint32_t(lcn + 2), 0);
    return lcn;
}

int64_t leak_clusters(const std::string &image, uint64_t count) {
    if (!count) throw Error("nothing to leak");
    FsType fs = detect_fs(image);
    if (fs == FsType::ntfs) {
        NtfsReader r(image, true);
        std::vector<uint8_t> bm = r.volume_bitmap();
        uint64_t total = r.geometry().total_clusters, cs = r.geometry().cluster_size;
        std::vector<Run> runs = r.bitmap_runs();
        int64_t first = -1;
        uint64_t done = 0;
        // Take free clusters from the end of the volume, leaving the last
        // cluster (backup boot sector) alone.
        for (uint64_t l = total - 2; l > 0 && done < count; l--) {
            if ((bm[l >> 3] >> (l & 7)) & 1) continue;
            bm[l >> 3] |= uint8_t(1u << (l & 7));
            uint64_t byte = l / 8;
            for (const Run &run : runs) {
                if (run.lcn < 0 || byte < run.vcn * cs || byte >= (run.vcn + run.length) * cs) continue;
                r.file().write(uint64_t(run.lcn) * cs + (byte - run.vcn * cs), &bm[byte], 1);
            }
            first = int64_t(l);
            done++;
        }
        if (done < count) throw Error("not enough free clusters to leak");
        return first;
    }
    FatReader r(image, true);
    int64_t first = -1;
    uint64_t done = 0;
    for (uint32_t c = r.geometry().clusters + 1; c >= 2 && done < count; c--) {
        if (!r.is_free(c)) continue;
        r.set_entry(c, r.eoc());
        first = int64_t(c) - 2;
        done++;
    }
    if (done < count) throw Error("not enough free clusters to leak");
    return first;
}

void fat_set_entry(const std::string &image, uint32_t cluster, uint32_t value) {
    FatReader r(image, true);
    r.set_entry(cluster, value);
}

void fat_unmirror(const std::string &image, uint32_t active) {
    FatReader r(image, true);
    const FatGeometry &g = r.geometry();
    if (g.bits != 32 || active >= g.fats || g.fats < 2) throw Error("fat_unmirror: a FAT32 volume with that copy");
    uint8_t flags[2] = {uint8_t(0x80 | active), 0};
    uint8_t bs[512];
    r.file().read(0, bs, sizeof bs);
    uint32_t backup = uint32_t(bs[0x32] | bs[0x33] << 8);
    r.file().write(0x28, flags, 2);
    if (backup != 0 && backup != 0xFFFF) r.file().write(uint64_t(backup) * g.sector_size + 0x28, flags, 2);
    std::vector<uint8_t> zeros(size_t(g.clusters) * 4, 0);
    for (uint32_t copy = 0; copy < g.fats; copy++)
        if (copy != active)
            r.file().write((uint64_t(g.reserved_sectors) + uint64_t(copy) * g.fat_sectors) * g.sector_size + 8,
                           zeros.data(), zeros.size());
}

}  // namespace imgkit
