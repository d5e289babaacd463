// Filling an NTFS image through libntfs-3g.
//
// libntfs-3g's allocator places a new file in the largest free range it finds
// and extends files from their last cluster, so left alone it rarely
// fragments anything. To fragment on purpose, allocations are confined: every
// free cluster outside a chosen window (and, for a checkerboard, every other
// piece inside it) is marked in use for the duration of the writes and freed
// again afterwards. Files appended to in turn inside such a window interleave
// as they would on an aged volume; the pieces marked in use become free holes
// again, like the holes that deleted files leave.
#include "fill_internal.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "ntfs3g.h"
#include "ntfs_raw.h"
#include "plan.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "ntfschar strings are built in host order");

namespace imgkit::detail {

namespace {

// libntfs-3g messages are dropped unless IMGKIT_NTFS_LOG is set.
void quiet_log() {
    if (getenv("IMGKIT_NTFS_LOG")) {
        ntfs_log_set_handler(ntfs_log_handler_stderr);
        ntfs_log_set_levels(NTFS_LOG_LEVEL_DEBUG | NTFS_LOG_LEVEL_TRACE | NTFS_LOG_LEVEL_INFO | NTFS_LOG_LEVEL_PERROR |
                            NTFS_LOG_LEVEL_ERROR);
    } else {
        ntfs_log_set_handler(ntfs_log_handler_null);
    }
}

std::u16string u16(const std::string &s) { return utf8_to_utf16(s); }
ntfschar *uc(std::u16string &s) { return reinterpret_cast<ntfschar *>(s.data()); }

struct Run2 {
    int64_t start;
    int64_t length;
};

class Filler {
public:
    Filler(ntfs_volume *vol, const Profile &p, uint64_t seed)
        : vol_(vol), p_(p), seed_(seed), namer_(mix64(seed, 1), p.long_names), cs_(vol->cluster_size) {
        budget_ = uint64_t(double(vol->nr_clusters) * (1.0 - std::clamp(p.min_free_share, 0.0, 0.95)));
        dir_ref_[""] = FILE_root;
        // What the fixed parts of the fill need; large and bulk files only get
        // what is left of the budget after them.
        uint64_t mib = clusters_of(1 << 20);
        fixed_ = uint64_t(p.frag_groups) * (p.frag_group_files + 1) * p.frag_rounds *
                     std::max<uint32_t>(1, p.frag_chunk_clusters) +
                 uint64_t(p.frag_dirs) * p.frag_dir_entries * std::max<uint64_t>(2, clusters_of(1024)) * 2 +
                 p.big_dir_entries / 8 * clusters_of(4096) + 2 * mib +
                 2 * (uint64_t(p.attrlist_resident_fragments) + p.attrlist_nonresident_fragments) +
                 uint64_t(p.mft_fragments) * clusters_of(16 * 4096) + 256;
        if (p.paging_file_fragments) fixed_ += clusters_of(uint64_t(p.paging_file_kib) << 10) * 5 / 4 + 64;
        fixed_ += clusters_of(uint64_t(p.end_file_kib) << 10) + (p.file_behind_mft ? 1 : 0);
    }

    void run();
    std::vector<ManifestEntry> manifest;

private:
    // --- volume helpers
    uint64_t used() const { return uint64_t(vol_->nr_clusters - vol_->free_clusters); }
    uint64_t room() const { return budget_ > used() ? budget_ - used() : 0; }
    uint64_t flexible_room() const { return room() > fixed_ ? room() - fixed_ : 0; }
    uint64_t clusters_of(uint64_t bytes) const { return (bytes + cs_ - 1) / cs_; }
    ntfs_inode *open(uint64_t ref);
    std::vector<uint8_t> bitmap();
    Run2 find_window(int64_t length);

    // Marks every free cluster in use except those of the window whose offset
    // modulo (piece + gap) is below `piece`. Undone by release().
    // The MFT zone is blocked too: otherwise the allocator, finding the data
    // zones full, takes whole runs there. reserve_records() beforehand lets
    // the MFT grow outside the confinement, unless a fragmented MFT is wanted.
    void confine(int64_t lo, int64_t len, int64_t piece = 0, int64_t gap = 0);
    void reserve_records(uint64_t n);
    void release();

    // --- file helpers
    uint64_t make_dir(const std::string &parent, const std::string &name, bool dos);
    ntfs_inode *create(const std::string &dir, const std::string &name, ntfs_inode **dir_ni);
    void finish(ntfs_inode *ni, ntfs_inode *dir_ni, const std::string &dir, const std::string &name);
    void write(ntfs_inode *ni, ntfs_attr *na, uint64_t off, const uint8_t *data, uint64_t len);
    ntfs_attr *attr(ntfs_inode *ni, const std::u16string &stream = u"");
    void close_attr(ntfs_attr *na);
    void whole_file(const std::string &dir, const std::string &name, const std::vector<uint8_t> &data, bool dos = true);
    void delete_file(const std::string &dir, const std::string &name);
    void record(const std::string &path, const std::vector<uint8_t> &data);
    std::string random_dir();
    uint64_t mft_fragments();

    // --- the parts of the fill
    void tree();
    void small_files();
    void large_and_deleted();
    void interleaved_groups();
    void fragmented_dirs();
    void big_dir();
    void specials();
    void attrlist_file(bool resident, uint32_t fragments);
    void ea_beside_last_piece(ntfs_inode *ni);
    void index_bitmap_nonresident(uint64_t dir);
    void bulk();
    void mft();
    void confined_file(const std::string &dir, const std::string &name, const std::vector<uint8_t> &data, Run2 window,
                       int64_t piece, int64_t gap, uint32_t attributes);
    void paging_file();
    void end_file();
    void file_behind_mft();

    ntfs_volume *vol_;
    const Profile &p_;
    uint64_t seed_;
    Namer namer_;
    uint64_t cs_;
    uint64_t budget_;
    uint64_t fixed_ = 0;
    uint64_t next_content_ = 1;
    std::vector<PlanDir> dirs_;
    std::map<std::string, uint64_t> dir_ref_;
    std::map<std::string, uint64_t> file_ref_;
    std::map<std::string, std::set<std::string>> short_taken_;
    std::vector<Run2> blocked_;
};

ntfs_inode *Filler::open(uint64_t ref) {
    ntfs_inode *ni = ntfs_inode_open(vol_, MFT_REF(ref));
    if (!ni) throw Error(fmt("libntfs-3g cannot open record %llu: %s", (unsigned long long)ref, strerror(errno)));
    return ni;
}

std::vector<uint8_t> Filler::bitmap() {
    std::vector<uint8_t> bm(size_t((vol_->nr_clusters + 7) / 8));
    if (ntfs_attr_pread(vol_->lcnbmp_na, 0, s64(bm.size()), bm.data()) != s64(bm.size()))
        throw Error("cannot read $Bitmap through libntfs-3g");
    return bm;
}

Run2 Filler::find_window(int64_t length) {
    std::vector<uint8_t> bm = bitmap();
    int64_t n = vol_->nr_clusters;
    int64_t zs = vol_->mft_zone_start, ze = vol_->mft_zone_end;
    auto used = [&](int64_t l) { return (bm[size_t(l >> 3)] >> (l & 7)) & 1; };
    int64_t i = 0;
    while (i < n) {
        if (used(i) || (i >= zs && i < ze)) {
            i++;
            continue;
        }
        int64_t s = i;
        while (i < n && !used(i) && !(i >= zs && i < ze)) i++;
        if (i - s >= length) return {s, length};
    }
    throw Error(
        fmt("no free range of %lld clusters left for a fragmented region; use a larger image", (long long)length));
}

void Filler::confine(int64_t lo, int64_t len, int64_t piece, int64_t gap) {
    std::vector<uint8_t> bm = bitmap();
    int64_t n = vol_->nr_clusters;
    auto allowed = [&](int64_t l) {
        if (l < lo || l >= lo + len) return false;
        return piece == 0 || ((l - lo) % (piece + gap)) < piece;
    };
    auto is_used = [&](int64_t l) { return (bm[size_t(l >> 3)] >> (l & 7)) & 1; };
    int64_t i = 0;
    while (i < n) {
        if (is_used(i) || allowed(i)) {
            i++;
            continue;
        }
        int64_t s = i;
        while (i < n && !is_used(i) && !allowed(i)) i++;
        if (ntfs_bitmap_set_run(vol_->lcnbmp_na, s, i - s)) {
            release();
            throw Error("cannot mark clusters in $Bitmap");
        }
        blocked_.push_back({s, i - s});
    }
}

void Filler::reserve_records(uint64_t n) {
    uint64_t records = uint64_t(vol_->mft_na->data_size) / vol_->mft_record_size;
    std::vector<uint8_t> bits(size_t((records + 7) / 8));
    if (ntfs_attr_pread(vol_->mftbmp_na, 0, s64(bits.size()), bits.data()) != s64(bits.size()))
        throw Error("cannot read the MFT bitmap");
    uint64_t used_records = 0;
    for (uint64_t r = 0; r < records; r++) used_records += (bits[r >> 3] >> (r & 7)) & 1;
    if (records - used_records >= n) return;
    // Records of deleted files stay in the MFT for reuse.
    std::vector<std::string> pads;
    for (uint64_t i = 0; i < n - (records - used_records) + 16; i++) {
        std::string name = "~imgkit pad " + std::to_string(i);
        ntfs_inode *dir_ni;
        ntfs_inode *ni = create("", name, &dir_ni);
        ntfs_inode_close_in_dir(ni, dir_ni);
        ntfs_inode_close(dir_ni);
        pads.push_back(name);
    }
    for (auto &p : pads) delete_file("", p);
}

void Filler::release() {
    for (const Run2 &r : blocked_) ntfs_bitmap_clear_run(vol_->lcnbmp_na, r.start, r.length);
    blocked_.clear();
    vol_->full_zones = 0;
}

uint64_t Filler::make_dir(const std::string &parent, const std::string &name, bool dos) {
    ntfs_inode *dir_ni = nullptr;
    std::u16string n = u16(name);
    dir_ni = open(dir_ref_.at(parent));
    ntfs_inode *ni = ntfs_create(dir_ni, 0, uc(n), u8(n.size()), S_IFDIR);
    if (!ni) {
        int e = errno;
        ntfs_inode_close(dir_ni);
        throw Error(fmt("cannot create directory %s\\%s: %s", parent.c_str(), name.c_str(), strerror(e)));
    }
    uint64_t ref = ni->mft_no;
    std::string path = join_path(parent, name);
    dir_ref_[path] = ref;
    if (dos && p_.dos_names) {
        std::string alias = is_short_name(name) ? name : short_alias(name, short_taken_[parent]);
        if (ntfs_set_ntfs_dos_name(ni, dir_ni, alias.c_str(), alias.size(), 0))
            throw Error(fmt("cannot give %s the DOS name %s: %s", path.c_str(), alias.c_str(), strerror(errno)));
    } else {
        ntfs_inode_close_in_dir(ni, dir_ni);
        ntfs_inode_close(dir_ni);
    }
    return ref;
}

ntfs_inode *Filler::create(const std::string &dir, const std::string &name, ntfs_inode **dir_ni) {
    *dir_ni = open(dir_ref_.at(dir));
    std::u16string n = u16(name);
    ntfs_inode *ni = ntfs_create(*dir_ni, 0, uc(n), u8(n.size()), S_IFREG);
    if (!ni) {
        int e = errno;
        ntfs_inode_close(*dir_ni);
        throw Error(fmt("cannot create %s\\%s: %s", dir.c_str(), name.c_str(), strerror(e)));
    }
    file_ref_[join_path(dir, name)] = ni->mft_no;
    return ni;
}

void Filler::finish(ntfs_inode *ni, ntfs_inode *dir_ni, const std::string &dir, const std::string &name) {
    if (p_.dos_names) {
        std::string alias = is_short_name(name) ? name : short_alias(name, short_taken_[dir]);
        // Closes both inodes.
        if (ntfs_set_ntfs_dos_name(ni, dir_ni, alias.c_str(), alias.size(), 0))
            throw Error(fmt("cannot give %s\\%s the DOS name %s: %s", dir.c_str(), name.c_str(), alias.c_str(),
                            strerror(errno)));
        return;
    }
    // Closing the file in its open directory updates the index entry there,
    // not in a second copy of the directory that the first would overwrite.
    if (ntfs_inode_close_in_dir(ni, dir_ni)) {
        int e = errno;
        ntfs_inode_close(dir_ni);
        throw Error(fmt("cannot close %s\\%s: %s", dir.c_str(), name.c_str(), strerror(e)));
    }
    ntfs_inode_close(dir_ni);
}

ntfs_attr *Filler::attr(ntfs_inode *ni, const std::u16string &stream) {
    std::u16string s = stream;
    ntfschar *name = stream.empty() ? AT_UNNAMED : uc(s);
    if (!stream.empty() && !ntfs_attr_exist(ni, AT_DATA, name, u32(s.size()))) {
        if (ntfs_attr_add(ni, AT_DATA, name, u8(s.size()), nullptr, 0))
            throw Error(fmt("cannot add a named stream: %s", strerror(errno)));
    }
    ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, name, u32(s.size()));
    if (!na) throw Error(fmt("cannot open $DATA of record %llu: %s", (unsigned long long)ni->mft_no, strerror(errno)));
    return na;
}

void Filler::close_attr(ntfs_attr *na) {
    if (na->data_flags & ATTR_COMPRESSION_MASK) {
        if (ntfs_attr_pclose(na)) {
            int e = errno;
            ntfs_attr_close(na);
            throw Error(fmt("cannot finish a compressed write: %s", strerror(e)));
        }
    }
    ntfs_attr_close(na);
}

void Filler::write(ntfs_inode *ni, ntfs_attr *na, uint64_t off, const uint8_t *data, uint64_t len) {
    // A large write on fragmented free space can fail with ENOSPC although
    // there is room: the allocator gives up after a few ranges and marks its
    // zones full. Clear that and go on in smaller pieces.
    uint64_t chunk = std::max<uint64_t>(cs_, 1 << 20);
    int failures = 0;
    while (len) {
        uint64_t n = std::min(chunk, len);
        s64 w = ntfs_attr_pwrite(na, s64(off), s64(n), data);
        if (w <= 0) {
            if (errno == ENOSPC && failures < 64) {
                failures++;
                vol_->full_zones = 0;
                chunk = std::max<uint64_t>(cs_, chunk / 2);
                continue;
            }
            throw Error(fmt("write to record %llu at %llu failed: %s", (unsigned long long)ni->mft_no,
                            (unsigned long long)off, strerror(errno)));
        }
        off += uint64_t(w);
        data += w;
        len -= uint64_t(w);
    }
}

void Filler::whole_file(const std::string &dir, const std::string &name, const std::vector<uint8_t> &data, bool dos) {
    ntfs_inode *dir_ni;
    ntfs_inode *ni = create(dir, name, &dir_ni);
    if (!data.empty()) {
        ntfs_attr *na = attr(ni);
        write(ni, na, 0, data.data(), data.size());
        close_attr(na);
    }
    if (dos) {
        finish(ni, dir_ni, dir, name);
    } else {
        ntfs_inode_close_in_dir(ni, dir_ni);
        ntfs_inode_close(dir_ni);
    }
    record(join_path(dir, name), data);
}

void Filler::delete_file(const std::string &dir, const std::string &name) {
    // The file is opened by the record it was created in, then its
    // directory: resolving the name through an open directory first can
    // leave a stale cached copy of the directory behind.
    auto it = file_ref_.find(join_path(dir, name));
    if (it == file_ref_.end()) throw Error("no record known for " + join_path(dir, name));
    ntfs_inode *ni = open(it->second);
    ntfs_inode *d = open(dir_ref_.at(dir));
    std::u16string n = u16(name);
    if (ntfs_delete(vol_, nullptr, ni, d, uc(n), u8(n.size()))) {
        int e = errno;
        ntfs_inode_close(d);
        throw Error(fmt("cannot delete %s\\%s: %s", dir.c_str(), name.c_str(), strerror(e)));
    }
    ntfs_inode_close(d);
    file_ref_.erase(it);
}

void Filler::record(const std::string &path, const std::vector<uint8_t> &data) {
    manifest.push_back({path, data.size(), sha256_hex(data.data(), data.size())});
}

std::string Filler::random_dir() {
    if (dirs_.empty() || namer_.rng().chance(10)) return "";
    return dirs_[namer_.rng().below(dirs_.size())].path;
}

uint64_t Filler::mft_fragments() {
    if (ntfs_attr_map_whole_runlist(vol_->mft_na)) throw Error("cannot map the MFT run list");
    std::vector<Run> runs;
    for (runlist_element *r = vol_->mft_na->rl; r && r->length; r++)
        runs.push_back({uint64_t(r->vcn), r->lcn < 0 ? kSparseLcn : int64_t(r->lcn), uint64_t(r->length)});
    return count_fragments(runs);
}

// ------------------------------------------------------------------ parts

void Filler::tree() {
    dirs_ = plan_dirs(namer_, p_.dirs, p_.depth);
    for (const PlanDir &d : dirs_) make_dir(d.parent < 0 ? "" : dirs_[size_t(d.parent)].path, d.name, true);
}

void Filler::small_files() {
    for (uint32_t i = 0; i < p_.small_files; i++) {
        std::string dir = random_dir();
        std::string name = namer_.file(dir);
        auto data = make_content(mix64(seed_, next_content_++), namer_.rng().below(p_.small_max + 1));
        whole_file(dir, name, data);
    }
}

void Filler::large_and_deleted() {
    struct Item {
        std::string dir, name;
        std::vector<uint8_t> data;
        bool doomed;
    };
    std::vector<Item> items;
    uint32_t n = std::max(p_.large_files, p_.deleted_files);
    uint64_t clusters = 0;
    for (uint32_t i = 0; i < n; i++) {
        if (i < p_.large_files) {
            uint64_t size = namer_.rng().between(p_.large_min, p_.large_max);
            uint64_t c = clusters_of(size);
            if (c + clusters + 64 > flexible_room()) size = 0;  // over the free-space budget: drop it
            if (size) {
                std::string dir = random_dir();
                items.push_back({dir, namer_.file(dir), make_content(mix64(seed_, next_content_++), size), false});
                clusters += c;
            }
        }
        if (i < p_.deleted_files) {
            uint64_t size = namer_.rng().between(1, 4) * cs_;
            std::string dir = random_dir();
            items.push_back({dir, namer_.file(dir, "Temp"), make_content(mix64(seed_, next_content_++), size), true});
            clusters += clusters_of(size);
        }
    }
    if (items.empty()) return;
    reserve_records(items.size() + 8);
    Run2 w = find_window(int64_t(clusters + 64 + clusters / 8));
    confine(w.start, w.length);
    try {
        for (auto &it : items) {
            ntfs_inode *dir_ni;
            ntfs_inode *ni = create(it.dir, it.name, &dir_ni);
            ntfs_attr *na = attr(ni);
            write(ni, na, 0, it.data.data(), it.data.size());
            close_attr(na);
            ntfs_inode_close_in_dir(ni, dir_ni);
            ntfs_inode_close(dir_ni);
        }
    } catch (...) {
        release();
        throw;
    }
    release();
    for (auto &it : items) {
        if (it.doomed)
            delete_file(it.dir, it.name);
        else
            record(join_path(it.dir, it.name), it.data);
    }
}

void Filler::interleaved_groups() {
    for (uint32_t g = 0; g < p_.frag_groups; g++) {
        std::string dir = random_dir();
        struct Member {
            std::string name;
            std::vector<uint64_t> ends;
            std::vector<uint8_t> data;
            bool spacer;
        };
        std::vector<Member> members;
        uint64_t total = 0;
        for (uint32_t f = 0; f <= p_.frag_group_files; f++) {
            Member m;
            m.spacer = f == p_.frag_group_files;
            m.name = namer_.file(dir, m.spacer ? "Spacer" : nullptr);
            uint64_t clusters = 0;
            for (uint32_t r = 0; r < p_.frag_rounds; r++) {
                clusters += namer_.rng().between(1, std::max<uint32_t>(1, p_.frag_chunk_clusters));
                m.ends.push_back(clusters * cs_);
            }
            // The last piece ends inside its cluster.
            m.ends.back() -= namer_.rng().below(cs_ / 2);
            total += clusters;
            m.data = make_content(mix64(seed_, next_content_++), m.ends.back());
            members.push_back(std::move(m));
        }
        if (total + 64 > room()) throw Error("the interleaved files do not fit the free-space budget");
        reserve_records(members.size() + 8);
        Run2 w = find_window(int64_t(total + 16 + total / 16));
        std::vector<ntfs_inode *> inodes;
        std::vector<ntfs_attr *> attrs;
        confine(w.start, w.length);
        try {
            for (auto &m : members) {
                ntfs_inode *dir_ni;
                inodes.push_back(create(dir, m.name, &dir_ni));
                ntfs_inode_close(dir_ni);
                attrs.push_back(attr(inodes.back()));
            }
            for (uint32_t r = 0; r < p_.frag_rounds; r++)
                for (size_t i = 0; i < members.size(); i++) {
                    uint64_t from = r ? members[i].ends[r - 1] : 0;
                    write(inodes[i], attrs[i], from, members[i].data.data() + from, members[i].ends[r] - from);
                }
        } catch (...) {
            release();
            throw;
        }
        release();
        for (size_t i = 0; i < members.size(); i++) {
            close_attr(attrs[i]);
            ntfs_inode_close(inodes[i]);
        }
        for (auto &m : members) {
            if (m.spacer)
                delete_file(dir, m.name);
            else
                record(join_path(dir, m.name), m.data);
        }
    }
}

void Filler::fragmented_dirs() {
    if (!p_.frag_dirs || !p_.frag_dir_entries) return;
    std::vector<std::string> paths;
    static const char *names[] = {"Mail Inbox", "Sent Items", "Drafts", "Outbox", "Calendar", "Contacts"};
    for (uint32_t i = 0; i < p_.frag_dirs; i++) {
        std::string parent = random_dir();
        std::string name = namer_.unique(parent, std::string(names[i % 6]) + " " + namer_.directory(parent));
        make_dir(parent, name, true);
        paths.push_back(join_path(parent, name));
    }
    uint64_t per = std::max<uint64_t>(2, clusters_of(1024));
    uint64_t total = uint64_t(p_.frag_dirs) * p_.frag_dir_entries * per;
    uint64_t index_blocks = uint64_t(p_.frag_dirs) * (p_.frag_dir_entries / 8 + 2) * std::max<uint64_t>(1, 4096 / cs_);
    if (total + index_blocks + 64 > room()) throw Error("the fragmented directories do not fit the free-space budget");
    reserve_records(uint64_t(p_.frag_dirs) * p_.frag_dir_entries + 8);
    Run2 w = find_window(int64_t(total + index_blocks + 64));
    struct Pending {
        std::string dir, name;
        std::vector<uint8_t> data;
    };
    std::vector<Pending> done;
    confine(w.start, w.length);
    try {
        for (uint32_t e = 0; e < p_.frag_dir_entries; e++)
            for (auto &d : paths) {
                std::string name = namer_.file(d, "Message");
                auto data = make_content(mix64(seed_, next_content_++), namer_.rng().between(cs_ + 1, per * cs_));
                ntfs_inode *dir_ni;
                ntfs_inode *ni = create(d, name, &dir_ni);
                ntfs_attr *na = attr(ni);
                write(ni, na, 0, data.data(), data.size());
                close_attr(na);
                ntfs_inode_close_in_dir(ni, dir_ni);
                ntfs_inode_close(dir_ni);
                done.push_back({d, name, std::move(data)});
            }
    } catch (...) {
        release();
        throw;
    }
    release();
    for (auto &x : done) record(join_path(x.dir, x.name), x.data);
    if (p_.frag_dir_bitmap_nonresident) index_bitmap_nonresident(dir_ref_.at(paths[0]));
}

// Makes a directory's index $BITMAP non-resident, as NTFS does once a
// directory outgrows what its record can hold beside its other attributes.
void Filler::index_bitmap_nonresident(uint64_t dir) {
    ntfs_inode *ni = open(dir);
    ntfs_attr *na = ntfs_attr_open(ni, AT_BITMAP, NTFS_INDEX_I30, 4);
    int failed = !na || (!NAttrNonResident(na) && ntfs_attr_force_non_resident(na));
    int e = errno;
    if (na) ntfs_attr_close(na);
    ntfs_inode_close(ni);
    if (failed)
        throw Error(
            fmt("cannot make the index bitmap of record %llu non-resident: %s", (unsigned long long)dir, strerror(e)));
}

void Filler::big_dir() {
    if (!p_.big_dir_entries) return;
    std::string parent = random_dir();
    std::string name = namer_.unique(parent, "Big Folder " + std::to_string(namer_.rng().below(100)));
    make_dir(parent, name, true);
    std::string dir = join_path(parent, name);
    for (uint32_t i = 0; i < p_.big_dir_entries; i++) {
        std::string f = namer_.file(dir, "Entry");
        whole_file(dir, f, make_content(mix64(seed_, next_content_++), namer_.rng().below(200)));
    }
}

void Filler::specials() {
    // A compressed file, inside a directory marked compressed (new files
    // inherit the flag). NTFS compresses only with clusters up to 4 KiB.
    if (p_.compressed_file && cs_ <= 4096) {
        std::string parent = random_dir();
        std::string name = namer_.unique(parent, "Compressed Archive");
        uint64_t ref = make_dir(parent, name, true);
        ntfs_inode *d = open(ref);
        le32 attrib = le32(d->flags | FILE_ATTR_COMPRESSED);
        if (ntfs_set_ntfs_attrib(d, reinterpret_cast<const char *>(&attrib), sizeof attrib, 0)) {
            int e = errno;
            ntfs_inode_close(d);
            throw Error(fmt("cannot mark a directory compressed: %s", strerror(e)));
        }
        ntfs_inode_close(d);
        std::string dir = join_path(parent, name);
        auto data = make_content(mix64(seed_, next_content_++), namer_.rng().between(96 << 10, 256 << 10), true);
        whole_file(dir, namer_.unique(dir, "Compressed Log.txt"), data);
    }
    // Sparse: three written regions with holes between them.
    if (p_.sparse_file) {
        std::string proposed = "Sparse Database.mdb";
        std::string dir = random_dir();
        std::string name = namer_.unique(dir, proposed);
        uint64_t size = std::max<uint64_t>(1 << 20, 64 * cs_);
        std::vector<uint8_t> data(size, 0);
        struct Region {
            uint64_t off, len;
        };
        std::vector<Region> regions = {{0, 16 << 10}, {size / 2, 16 << 10}, {size - 8192, 8192}};
        for (auto &r : regions) {
            r.off = r.off / cs_ * cs_;
            auto bytes = make_content(mix64(seed_, next_content_++), r.len);
            memcpy(data.data() + r.off, bytes.data(), std::min<uint64_t>(r.len, size - r.off));
        }
        ntfs_inode *dir_ni;
        ntfs_inode *ni = create(dir, name, &dir_ni);
        ntfs_attr *na = attr(ni);
        for (auto &r : regions) write(ni, na, r.off, data.data() + r.off, std::min<uint64_t>(r.len, size - r.off));
        close_attr(na);
        finish(ni, dir_ni, dir, name);
        record(join_path(dir, name), data);
    }

    // A file with a named stream beside its unnamed one, both in its base record.
    if (p_.named_stream) {
        std::string dir = random_dir();
        std::string name = namer_.unique(dir, "Report With Summary.doc");
        auto main = make_content(mix64(seed_, next_content_++), namer_.rng().between(4 * cs_, 8 * cs_));
        auto side = make_content(mix64(seed_, next_content_++), namer_.rng().between(64, 300));
        ntfs_inode *dir_ni;
        ntfs_inode *ni = create(dir, name, &dir_ni);
        ntfs_attr *na = attr(ni);
        write(ni, na, 0, main.data(), main.size());
        close_attr(na);
        na = attr(ni, u"SummaryInformation");
        write(ni, na, 0, side.data(), side.size());
        close_attr(na);
        finish(ni, dir_ni, dir, name);
        record(join_path(dir, name), main);
        record(join_path(dir, name) + ":SummaryInformation", side);
    }
}

// A file whose runs need several records. libntfs-3g makes an attribute list
// non-resident as soon as it must grow in a full base record, which is what
// happens when the base record holds the first piece of the runs; moving the
// $DATA attribute out of the base record first keeps room there, so that the
// list can stay resident.
void Filler::attrlist_file(bool resident, uint32_t fragments) {
    std::string dir = random_dir();
    std::string name = namer_.unique(dir, resident ? "Fragmented Mailbox.pst" : "Very Fragmented Database.dat");
    uint64_t first = std::max<uint64_t>(4096, cs_);
    uint64_t size = first + uint64_t(fragments) * cs_ - namer_.rng().below(cs_ / 2);
    uint64_t clusters = clusters_of(size);
    if (2 * clusters + 64 > room())
        throw Error(fmt("a file of %u fragments does not fit the free-space budget", fragments));
    auto data = make_content(mix64(seed_, next_content_++), size);
    ntfs_inode *dir_ni;
    ntfs_inode *ni = create(dir, name, &dir_ni);
    ntfs_attr *na = attr(ni);
    write(ni, na, 0, data.data(), first);
    close_attr(na);
    if (resident) {
        if (ntfs_inode_add_attrlist(ni)) throw Error(fmt("cannot add an attribute list: %s", strerror(errno)));
        ntfs_attr_search_ctx *ctx = ntfs_attr_get_search_ctx(ni, nullptr);
        if (!ctx) throw Error("out of memory");
        if (ntfs_attr_lookup(AT_DATA, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) ||
            ntfs_attr_record_move_away(ctx, 0)) {
            int e = errno;
            ntfs_attr_put_search_ctx(ctx);
            throw Error(fmt("cannot move $DATA to an extension record: %s", strerror(e)));
        }
        ntfs_attr_put_search_ctx(ctx);
    }
    reserve_records(fragments / 64 + 8);
    Run2 w = find_window(int64_t(2 * clusters + 64));
    na = attr(ni);
    confine(w.start, w.length, 1, 1);
    try {
        write(ni, na, first, data.data() + first, size - first);
    } catch (...) {
        release();
        throw;
    }
    release();
    close_attr(na);
    ntfs_attr_search_ctx *ctx = ntfs_attr_get_search_ctx(ni, nullptr);
    bool found = ctx && !ntfs_attr_lookup(AT_ATTRIBUTE_LIST, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx);
    bool nonres = found && ctx->attr->non_resident;
    if (ctx) ntfs_attr_put_search_ctx(ctx);
    if (!resident && p_.attrlist_ea) ea_beside_last_piece(ni);
    finish(ni, dir_ni, dir, name);
    if (!found || nonres == resident)
        throw Error(fmt("%u fragments did not give a %s attribute list; choose %s fragments", fragments,
                        resident ? "resident" : "non-resident", resident ? "fewer" : "more"));
    record(join_path(dir, name), data);
}

// Gives a file whose data lies in several records an extended attribute too
// large for a record (so non-resident), and moves the $EA into the extension
// record that holds the last piece of the data.
void Filler::ea_beside_last_piece(ntfs_inode *ni) {
    // One EA entry: next-entry offset, flags, name length, value length, the
    // name with its terminator, the value; the entry ends on 4 bytes.
    const std::string ea_name = "IMGKIT.PADDING";
    std::vector<uint8_t> value = make_content(mix64(seed_, next_content_++), 3 * vol_->mft_record_size);
    size_t length = (8 + ea_name.size() + 1 + value.size() + 3) & ~size_t(3);
    std::vector<char> ea(length, 0);
    uint32_t next = uint32_t(length);
    uint16_t value_length = uint16_t(value.size());
    memcpy(&ea[0], &next, 4);
    ea[5] = char(ea_name.size());
    memcpy(&ea[6], &value_length, 2);
    memcpy(&ea[8], ea_name.data(), ea_name.size());
    memcpy(&ea[8 + ea_name.size() + 1], value.data(), value.size());
    if (ntfs_set_ntfs_ea(ni, ea.data(), ea.size(), 0))
        throw Error(
            fmt("cannot give record %llu an extended attribute: %s", (unsigned long long)ni->mft_no, strerror(errno)));
    ntfs_attr_search_ctx *ctx = ntfs_attr_get_search_ctx(ni, nullptr);
    if (!ctx) throw Error("out of memory");
    ntfs_inode *last = nullptr;
    while (!ntfs_attr_lookup(AT_DATA, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) last = ctx->ntfs_ino;
    ntfs_attr_reinit_search_ctx(ctx);
    int failed = !last || last == ni || ntfs_attr_lookup(AT_EA, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) ||
                 !ctx->attr->non_resident || (ctx->ntfs_ino != last && ntfs_attr_record_move_to(ctx, last));
    int e = errno;
    ntfs_attr_put_search_ctx(ctx);
    if (failed)
        throw Error(fmt("cannot put the extended attribute of record %llu beside its last data piece: %s",
                        (unsigned long long)ni->mft_no, strerror(e)));
}

void Filler::bulk() {
    if (!p_.bulk_files) return;
    // Spread over folders of about a hundred files each.
    std::vector<std::string> folders;
    for (uint32_t i = 0; i < (p_.bulk_files + 99) / 100; i++) {
        std::string parent = random_dir();
        std::string name = namer_.unique(parent, namer_.directory(parent) + " " + std::to_string(i));
        make_dir(parent, name, true);
        folders.push_back(join_path(parent, name));
    }
    struct Doomed {
        std::string dir, name;
    };
    std::vector<Doomed> doomed;
    double lmin = std::log(double(std::max<uint64_t>(1, p_.bulk_min)));
    double lmax = std::log(double(std::max(p_.bulk_min, p_.bulk_max)));
    for (uint32_t i = 0; i < p_.bulk_files; i++) {
        const std::string &dir = folders[i / 100];
        double u = double(namer_.rng().below(1u << 30)) / double(1u << 30);
        uint64_t size = uint64_t(std::exp(lmin + (lmax - lmin) * u));
        if (clusters_of(size) + 256 > flexible_room()) size = std::min<uint64_t>(size, 512);  // keep the budget
        std::string name = namer_.file(dir);
        auto data = make_content(mix64(seed_, next_content_++), size);
        bool doom = namer_.rng().chance(12);
        whole_file(dir, name, data, !doom);
        if (doom) {
            manifest.pop_back();
            doomed.push_back({dir, name});
        }
    }
    for (auto &d : doomed) delete_file(d.dir, d.name);
}

void Filler::mft() {
    if (!p_.mft_fragments) return;
    std::string parent = random_dir();
    std::string name = namer_.unique(parent, "Message Store");
    make_dir(parent, name, true);
    std::string dir = join_path(parent, name);
    // The MFT grows by 16 records at a time; pieces of half that let each
    // growth land in two or three places.
    int64_t grow = std::max<int64_t>(1, int64_t(16 * vol_->mft_record_size / cs_));
    int64_t piece = std::max<int64_t>(1, grow / 2);
    for (int round = 0; round < 256 && mft_fragments() < p_.mft_fragments; round++) {
        if (uint64_t(4 * grow + 64) > room()) throw Error("the MFT growth does not fit the free-space budget");
        Run2 w = find_window(4 * grow + 64);
        std::vector<std::pair<std::string, std::vector<uint8_t>>> made;
        confine(w.start, w.length, piece, 1);
        try {
            for (int i = 0; i < 16; i++) {
                std::string f = namer_.file(dir, "Msg");
                auto data = make_content(mix64(seed_, next_content_++), namer_.rng().below(300));
                ntfs_inode *dir_ni;
                ntfs_inode *ni = create(dir, f, &dir_ni);
                if (!data.empty()) {
                    ntfs_attr *na = attr(ni);
                    write(ni, na, 0, data.data(), data.size());
                    close_attr(na);
                }
                ntfs_inode_close_in_dir(ni, dir_ni);
                ntfs_inode_close(dir_ni);
                made.emplace_back(f, std::move(data));
            }
        } catch (...) {
            release();
            throw;
        }
        release();
        for (auto &[f, data] : made) record(join_path(dir, f), data);
    }
    if (mft_fragments() < p_.mft_fragments)
        throw Error(fmt("the MFT reached only %llu fragments", (unsigned long long)mft_fragments()));
}

// Writes the new file dir\name with `data`, its clusters confined to
// `window` (in pieces of `piece` clusters with `gap` clusters between them
// when piece > 0), with the file attributes `attributes` (hidden, system,
// compressed ...) set while it is still empty.
void Filler::confined_file(const std::string &dir, const std::string &name, const std::vector<uint8_t> &data,
                           Run2 window, int64_t piece, int64_t gap, uint32_t attributes) {
    ntfs_inode *dir_ni;
    ntfs_inode *ni = create(dir, name, &dir_ni);
    if (attributes) {
        le32 attrib = le32(ni->flags | attributes);
        if (ntfs_set_ntfs_attrib(ni, reinterpret_cast<const char *>(&attrib), sizeof attrib, 0))
            throw Error(fmt("cannot give %s\\%s its attributes: %s", dir.c_str(), name.c_str(), strerror(errno)));
    }
    ntfs_attr *na = attr(ni);
    confine(window.start, window.length, piece, gap);
    try {
        write(ni, na, 0, data.data(), data.size());
    } catch (...) {
        release();
        throw;
    }
    release();
    close_attr(na);
    finish(ni, dir_ni, dir, name);
    record(join_path(dir, name), data);
}

void Filler::paging_file() {
    if (!p_.paging_file_fragments) return;
    uint64_t size = uint64_t(p_.paging_file_kib) << 10;
    int64_t clusters = int64_t(clusters_of(size)), pieces = p_.paging_file_fragments;
    int64_t piece = (clusters + pieces - 1) / pieces, gap = pieces > 1 ? std::max<int64_t>(1, piece / 4) : 0;
    if (uint64_t(clusters + pieces * gap + 64) > room())
        throw Error("the paging file does not fit the free-space budget");
    reserve_records(8);
    Run2 w = find_window(pieces * (piece + gap) + 16);
    auto data = make_content(mix64(seed_, next_content_++), size, p_.paging_file_compressed);
    // A new file is compressed when its directory is: the root is marked so
    // for the time of the creation.
    auto root_compressed = [&](bool on) {
        ntfs_inode *root = open(FILE_root);
        le32 attrib = le32(on ? root->flags | FILE_ATTR_COMPRESSED : root->flags & ~FILE_ATTR_COMPRESSED);
        int failed = ntfs_set_ntfs_attrib(root, reinterpret_cast<const char *>(&attrib), sizeof attrib, 0);
        int e = errno;
        ntfs_inode_close(root);
        if (failed) throw Error(fmt("cannot change the compression of the root directory: %s", strerror(e)));
    };
    if (p_.paging_file_compressed) root_compressed(true);
    confined_file("", "pagefile.sys", data, w, pieces > 1 ? piece : 0, gap, FILE_ATTR_HIDDEN | FILE_ATTR_SYSTEM);
    if (p_.paging_file_compressed) root_compressed(false);
}

void Filler::end_file() {
    if (!p_.end_file_kib) return;
    uint64_t size = uint64_t(p_.end_file_kib) << 10;
    int64_t length = int64_t(clusters_of(size));
    reserve_records(8);
    std::vector<uint8_t> bm = bitmap();
    int64_t end = vol_->nr_clusters, free_run = 0, start = -1;
    for (int64_t l = end - 1; l >= 0 && start < 0; l--) {
        free_run = ((bm[size_t(l >> 3)] >> (l & 7)) & 1) ? 0 : free_run + 1;
        if (free_run == length) start = l;
    }
    if (start < 0) throw Error("no free range at the end of the volume for the end file");
    std::string dir = random_dir();
    confined_file(dir, namer_.unique(dir, "Archive At The End.zip"), make_content(mix64(seed_, next_content_++), size),
                  {start, length}, 0, 0, 0);
}

void Filler::file_behind_mft() {
    if (!p_.file_behind_mft) return;
    reserve_records(8);
    if (ntfs_attr_map_whole_runlist(vol_->mft_na)) throw Error("cannot map the MFT run list");
    runlist_element *first = vol_->mft_na->rl;
    if (!first || first->lcn < 0) throw Error("the MFT has no first extent");
    int64_t behind = first->lcn + first->length;
    uint64_t size = std::max<uint64_t>(cs_, 1024);  // too large to stay resident
    int64_t clusters = int64_t(clusters_of(size));
    std::vector<uint8_t> bm = bitmap();
    for (int64_t l = behind; l < behind + clusters; l++)
        if ((bm[size_t(l >> 3)] >> (l & 7)) & 1) throw Error("the clusters behind the MFT are in use");
    std::string dir = random_dir();
    confined_file(dir, namer_.unique(dir, "Zone Tenant.log"), make_content(mix64(seed_, next_content_++), size),
                  {behind, clusters}, 0, 0, 0);
}

void Filler::run() {
    auto dbg = [&](const char *step) {
        if (!getenv("IMGKIT_DEBUG")) return;
        ntfs_attr_map_whole_runlist(vol_->mft_na);
        static auto t0 = std::chrono::steady_clock::now();
        fprintf(stderr, "%.3fs after %s: zone %lld-%lld mft",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), step,
                (long long)vol_->mft_zone_start, (long long)vol_->mft_zone_end);
        for (runlist_element *r = vol_->mft_na->rl; r && r->length; r++)
            fprintf(stderr, " %lld+%lld", (long long)r->lcn, (long long)r->length);
        fprintf(stderr, "\n");
    };
    dbg("mount");
    // Grow the MFT once, while the space after it is still free, by about
    // the records the fill will use; the steps below then find free records
    // and the MFT stays in one piece unless a fragmented one is wanted.
    uint64_t records = p_.dirs + p_.small_files + p_.large_files + p_.deleted_files +
                       p_.frag_groups * (p_.frag_group_files + 1) + p_.frag_dirs * (p_.frag_dir_entries + 1) +
                       p_.big_dir_entries + 16 +
                       (p_.attrlist_resident_fragments + p_.attrlist_nonresident_fragments) / 64 + p_.bulk_files +
                       p_.bulk_files / 100 + 64;
    reserve_records(records);
    dbg("reserve");
    tree();
    dbg("tree");
    small_files();
    dbg("small");
    large_and_deleted();
    dbg("large");
    interleaved_groups();
    dbg("groups");
    fragmented_dirs();
    dbg("fragdirs");
    big_dir();
    dbg("bigdir");
    specials();
    dbg("specials");
    if (p_.attrlist_resident_fragments) attrlist_file(true, p_.attrlist_resident_fragments);
    if (p_.attrlist_nonresident_fragments) attrlist_file(false, p_.attrlist_nonresident_fragments);
    dbg("attrlists");
    bulk();
    dbg("bulk");
    mft();
    dbg("mft");
    paging_file();
    end_file();
    file_behind_mft();
    dbg("last");
}

}  // namespace

std::vector<ManifestEntry> fill_ntfs(const std::string &image, const Profile &profile, uint64_t seed) {
    quiet_log();
    ntfs_volume *vol = ntfs_mount(image.c_str(), NTFS_MNT_NONE);
    if (!vol) throw Error(fmt("libntfs-3g cannot mount %s: %s", image.c_str(), strerror(errno)));
    NVolSetCompression(vol);
    // The free-cluster count is computed on request only.
    if (ntfs_volume_get_free_space(vol)) {
        ntfs_umount(vol, FALSE);
        throw Error("libntfs-3g cannot count free clusters");
    }
    std::vector<ManifestEntry> files;
    try {
        Filler f(vol, profile, seed);
        f.run();
        files = std::move(f.manifest);
    } catch (...) {
        ntfs_umount(vol, FALSE);
        throw;
    }
    if (ntfs_umount(vol, FALSE)) throw Error(fmt("unmounting %s failed: %s", image.c_str(), strerror(errno)));
    return files;
}

}  // namespace imgkit::detail
