// Filling a FAT16/FAT32 image with mtools.
//
// mtools allocates each new cluster at the lowest free cluster (on FAT32 it
// starts from the FSInfo next-free hint, which is therefore reset to
// "unknown" before each step that must reuse freed clusters). Files rewritten
// in turn with growing lengths (mcopy -o) therefore interleave their chains,
// a file copied after deletions fills the holes they left, and a directory
// that outgrows its cluster takes the next free one, far from the first.
#include "fill_internal.h"

#include <sys/time.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "fat_raw.h"
#include "plan.h"

namespace imgkit::detail {

namespace {

struct Staged {
    std::string dir;  // volume path of the directory ("" = root)
    std::string name;
    std::vector<uint8_t> data;
};

class FatFiller {
public:
    FatFiller(const std::string &image, const Profile &p, uint64_t seed)
        : image_(image), p_(p), seed_(seed), namer_(mix64(seed, 2), p.long_names) {
        FatReader r(image);
        geo_ = r.geometry();
        budget_ = uint64_t(double(geo_.clusters) * (1.0 - std::clamp(p.min_free_share, 0.0, 0.95)));
        // Kept for the fixed parts: large and bulk files get what is left.
        fixed_ = uint64_t(p.frag_groups) * (p.frag_group_files + 1) * p.frag_rounds *
                     std::max<uint32_t>(1, p.frag_chunk_clusters) +
                 uint64_t(p.frag_dirs) * (p.frag_dir_entries * 2 + 8) + p.big_dir_entries + 64;
        if (p.paging_file_fragments) fixed_ += clusters_of(uint64_t(p.paging_file_kib) << 10) + p.paging_file_fragments;
    }
    void run();
    std::vector<ManifestEntry> manifest;

private:
    uint64_t clusters_of(uint64_t bytes) const { return (bytes + geo_.cluster_size - 1) / geo_.cluster_size; }
    uint64_t room() const { return budget_ > planned_ ? budget_ - planned_ : 0; }
    uint64_t flexible_room() const { return room() > fixed_ ? room() - fixed_ : 0; }
    std::string random_dir();
    std::vector<uint8_t> content(uint64_t size, bool compressible = false) {
        return make_content(mix64(seed_, next_content_++), size, compressible);
    }
    // Copies the files, one mcopy per directory, in the order given.
    void copy(const std::vector<Staged> &files, bool overwrite = false);
    void remove(const std::vector<Staged> &files);
    void mkdirs(const std::vector<std::string> &paths);
    void reset_hint();
    void paging_file();
    void record(const Staged &s) {
        manifest.push_back({join_path(s.dir, s.name), s.data.size(), sha256_hex(s.data.data(), s.data.size())});
    }

    std::string image_;
    const Profile &p_;
    uint64_t seed_;
    Namer namer_;
    FatGeometry geo_;
    uint64_t budget_ = 0;
    uint64_t planned_ = 0;
    uint64_t fixed_ = 0;
    uint64_t next_content_ = 1;
    std::vector<PlanDir> dirs_;
    TempDir stage_;
    int batch_ = 0;
};

std::string FatFiller::random_dir() {
    if (dirs_.empty() || namer_.rng().chance(10)) return "";
    return dirs_[namer_.rng().below(dirs_.size())].path;
}

void FatFiller::reset_hint() {
    if (geo_.bits != 32) return;
    FatReader r(image_, true);
    r.set_fsinfo_next_free(0xFFFFFFFF);
}

void FatFiller::mkdirs(const std::vector<std::string> &paths) {
    if (paths.empty()) return;
    std::vector<std::string> argv = {"mmd", "-i", image_};
    for (auto &p : paths) argv.push_back(mtools_path(p));
    run_checked(argv, mtools_env());
}

void FatFiller::copy(const std::vector<Staged> &files, bool overwrite) {
    // Consecutive files of one directory go in one call, in order.
    size_t i = 0;
    while (i < files.size()) {
        size_t j = i;
        std::string folder = stage_.path() + "/b" + std::to_string(batch_++);
        make_dirs(folder);
        std::vector<std::string> argv = {"mcopy", "-m", "-D", "o", "-i", image_};
        while (j < files.size() && files[j].dir == files[i].dir) {
            std::string host = folder + "/" + files[j].name;
            write_file(host, files[j].data.data(), files[j].data.size());
            struct timeval tv[2] = {{992606400, 0}, {992606400, 0}};  // 2001-06-15 12:00 UTC
            utimes(host.c_str(), tv);
            argv.push_back(host);
            j++;
        }
        argv.push_back(mtools_path(files[i].dir) + "/");
        (void)overwrite;
        run_checked(argv, mtools_env());
        i = j;
    }
}

void FatFiller::remove(const std::vector<Staged> &files) {
    if (files.empty()) return;
    std::vector<std::string> argv = {"mdel", "-i", image_};
    for (auto &f : files) argv.push_back(mtools_path(join_path(f.dir, f.name)));
    run_checked(argv, mtools_env());
}

// \pagefile.sys (hidden, system) in paging_file_fragments pieces: it and a
// spacer are rewritten in turn, each time longer, and the spacer is deleted,
// leaving a gap after every piece but the last.
void FatFiller::paging_file() {
    if (!p_.paging_file_fragments) return;
    uint64_t size = uint64_t(p_.paging_file_kib) << 10, pieces = p_.paging_file_fragments;
    Staged page{"", "pagefile.sys", content(size)};
    Staged spacer{"", namer_.unique("", "PAGESPCR.TMP"), content(pieces * geo_.cluster_size)};
    planned_ += clusters_of(size) + pieces;
    if (planned_ > budget_) throw Error("the paging file does not fit the free-space budget");
    for (uint64_t r = 1; r <= pieces; r++) {
        Staged piece = page;
        piece.data.resize(size * r / pieces);
        reset_hint();
        copy({piece}, true);
        if (r == pieces) break;
        Staged gap = spacer;
        gap.data.resize(r * geo_.cluster_size);
        reset_hint();
        copy({gap}, true);
    }
    if (pieces > 1) remove({spacer});
    run_checked({"mattrib", "-i", image_, "+h", "+s", mtools_path("\\pagefile.sys")}, mtools_env());
    record(page);
}

void FatFiller::run() {
    // Directory tree.
    dirs_ = plan_dirs(namer_, p_.dirs, p_.depth);
    std::vector<std::string> paths;
    for (auto &d : dirs_) paths.push_back(d.path);
    mkdirs(paths);
    planned_ = dirs_.size();

    // Small and large files, with files that are deleted again between them.
    std::vector<Staged> batch, doomed;
    for (uint32_t i = 0; i < p_.small_files; i++) {
        std::string dir = random_dir();
        batch.push_back({dir, namer_.file(dir), content(namer_.rng().below(p_.small_max + 1))});
        planned_ += clusters_of(batch.back().data.size());
    }
    uint32_t n = std::max(p_.large_files, p_.deleted_files);
    for (uint32_t i = 0; i < n; i++) {
        if (i < p_.large_files) {
            uint64_t size = namer_.rng().between(p_.large_min, p_.large_max);
            if (clusters_of(size) + 16 <= flexible_room()) {
                std::string dir = random_dir();
                batch.push_back({dir, namer_.file(dir), content(size)});
                planned_ += clusters_of(size);
            }
        }
        if (i < p_.deleted_files) {
            std::string dir = random_dir();
            batch.push_back({dir, namer_.file(dir, "Temp"), content(namer_.rng().between(1, 4) * geo_.cluster_size)});
            doomed.push_back(batch.back());
        }
    }
    // Files of one directory stay together so that each mcopy call copies a run of them.
    std::stable_sort(batch.begin(), batch.end(), [](const Staged &a, const Staged &b) { return a.dir < b.dir; });
    copy(batch);
    for (auto &s : batch) {
        bool gone = false;
        for (auto &d : doomed) gone |= d.dir == s.dir && d.name == s.name;
        if (!gone) record(s);
    }

    // Interleaved appends: each round rewrites every member of a group with a
    // longer version of its final content, lowest free clusters first.
    for (uint32_t g = 0; g < p_.frag_groups; g++) {
        std::string dir = random_dir();
        std::vector<Staged> members;
        std::vector<std::vector<uint64_t>> ends;
        for (uint32_t f = 0; f <= p_.frag_group_files; f++) {
            bool spacer = f == p_.frag_group_files;
            std::string name = namer_.file(dir, spacer ? "Spacer" : nullptr);
            std::vector<uint64_t> e;
            uint64_t c = 0;
            for (uint32_t r = 0; r < p_.frag_rounds; r++) {
                c += namer_.rng().between(1, std::max<uint32_t>(1, p_.frag_chunk_clusters));
                e.push_back(c * geo_.cluster_size);
            }
            e.back() -= namer_.rng().below(geo_.cluster_size / 2);
            planned_ += c;
            members.push_back({dir, name, content(e.back())});
            ends.push_back(e);
        }
        if (planned_ > budget_) throw Error("the interleaved files do not fit the free-space budget");
        for (uint32_t r = 0; r < p_.frag_rounds; r++) {
            std::vector<Staged> round;
            for (size_t i = 0; i < members.size(); i++) {
                Staged s = members[i];
                s.data.resize(ends[i][r]);
                round.push_back(std::move(s));
            }
            // One mcopy per file: within one process mtools goes on from its
            // last allocation instead of reusing the clusters just freed.
            for (auto &f : round) {
                reset_hint();
                copy({f}, true);
            }
        }
        doomed.push_back(members.back());
        members.pop_back();
        for (auto &m : members) record(m);
    }

    // Directories that grow in turn.
    if (p_.frag_dirs && p_.frag_dir_entries) {
        std::vector<std::string> fdirs;
        static const char *names[] = {"Mail Inbox", "Sent Items", "Drafts", "Outbox", "Calendar", "Contacts"};
        for (uint32_t i = 0; i < p_.frag_dirs; i++) {
            std::string parent = random_dir();
            std::string name = namer_.unique(parent, p_.long_names ? std::string(names[i % 6]) + " " + std::to_string(i)
                                                                   : "MAIL" + std::to_string(i));
            fdirs.push_back(join_path(parent, name));
        }
        mkdirs(fdirs);
        const uint32_t per_round = 8;
        for (uint32_t done = 0; done < p_.frag_dir_entries; done += per_round) {
            std::vector<Staged> round;
            for (auto &d : fdirs)
                for (uint32_t k = done; k < std::min(done + per_round, p_.frag_dir_entries); k++) {
                    round.push_back(
                        {d, namer_.file(d, "Message"), content(namer_.rng().between(1, 2 * geo_.cluster_size))});
                    planned_ += clusters_of(round.back().data.size());
                }
            if (planned_ > budget_) throw Error("the fragmented directories do not fit the free-space budget");
            reset_hint();
            copy(round);
            for (auto &s : round) record(s);
        }
    }

    // A directory of many entries.
    if (p_.big_dir_entries) {
        std::string parent = random_dir();
        std::string name = namer_.unique(parent, p_.long_names ? "Big Folder" : "BIGFOLDR");
        std::string dir = join_path(parent, name);
        mkdirs({dir});
        std::vector<Staged> files;
        for (uint32_t i = 0; i < p_.big_dir_entries; i++) {
            files.push_back({dir, namer_.file(dir, "Entry"), content(namer_.rng().below(200))});
            planned_ += clusters_of(files.back().data.size());
        }
        copy(files);
        for (auto &s : files) record(s);
    }

    // The deleted files go last, so that their holes stay free.
    reset_hint();
    remove(doomed);

    // Bulk files for benchmarks, about a hundred per folder; some are deleted.
    if (p_.bulk_files) {
        std::vector<std::string> folders;
        for (uint32_t i = 0; i < (p_.bulk_files + 99) / 100; i++) {
            std::string parent = random_dir();
            folders.push_back(
                join_path(parent, namer_.unique(parent, namer_.directory(parent) + " " + std::to_string(i))));
        }
        mkdirs(folders);
        double lmin = std::log(double(std::max<uint64_t>(1, p_.bulk_min)));
        double lmax = std::log(double(std::max(p_.bulk_min, p_.bulk_max)));
        std::vector<Staged> files, gone;
        for (uint32_t i = 0; i < p_.bulk_files; i++) {
            const std::string &dir = folders[i / 100];
            double u = double(namer_.rng().below(1u << 30)) / double(1u << 30);
            uint64_t size = uint64_t(std::exp(lmin + (lmax - lmin) * u));
            if (clusters_of(size) + 16 > flexible_room()) size = std::min<uint64_t>(size, 512);
            planned_ += clusters_of(size);
            files.push_back({dir, namer_.file(dir), content(size)});
            if (namer_.rng().chance(12)) gone.push_back(files.back());
            if (files.size() == 400 || i + 1 == p_.bulk_files) {
                copy(files);
                for (auto &s : files) {
                    bool g = false;
                    for (auto &x : gone) g |= x.dir == s.dir && x.name == s.name;
                    if (!g) record(s);
                }
                remove(gone);
                files.clear();
                gone.clear();
            }
        }
    }

    // Directories nested deep, empty directories, names beyond ASCII.
    if (p_.deep_dirs) {
        std::vector<std::string> chain;
        std::string dir;
        for (uint32_t i = 1; i <= p_.deep_dirs; i++) {
            dir = join_path(dir, fmt(i % 2 ? "Level %02u" : "LEVEL%02u", i));
            chain.push_back(dir);
        }
        mkdirs(chain);
        Staged bottom{dir, "Bottom of the tree.txt", content(namer_.rng().between(1, 3 * geo_.cluster_size))};
        copy({bottom});
        record(bottom);
    }
    if (p_.empty_dirs) {
        std::vector<std::string> empty;
        for (uint32_t i = 0; i < p_.empty_dirs; i++) {
            std::string parent = random_dir();
            empty.push_back(join_path(parent, namer_.unique(parent, fmt(i % 2 ? "EMPTY%u" : "Empty folder %u", i))));
        }
        mkdirs(empty);
    }
    if (p_.name_variety) {
        // Long names (UTF-16 on the volume), one of 255 characters, then 8.3
        // names whose bytes 0x90, 0xD8 and 0x8F stand for \u00c9, \u00cf and
        // \u00c5 in code page 850.
        static const char *long_names[] = {"R\u00e9sum\u00e9 %u.txt", "\u00dcberweisung M\u00e4rz %u.doc",
                                           "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac %u.txt",
                                           "\u65e5\u672c\u8a9e %u.txt"};
        static const char *short_names[] = {"CAF\u00c9%u.TXT", "NA\u00cfVE%u.DAT", "\u00c5RSBOK%u"};
        std::string parent = random_dir();
        std::string dir = join_path(parent, namer_.unique(parent, "Caf\u00e9 \u00c0 la carte"));
        mkdirs({dir});
        std::vector<Staged> files;
        for (uint32_t i = 0; i < 4; i++) {
            std::string where = i % 2 ? dir : random_dir();
            files.push_back({where, namer_.unique(where, fmt(long_names[i], i)),
                             content(namer_.rng().between(1, 2 * geo_.cluster_size))});
        }
        std::string longest = "The longest name a FAT volume holds";
        while (longest.size() < 251) longest += " and more";
        longest = longest.substr(0, 251) + ".txt";
        files.push_back({dir, namer_.unique(dir, longest), content(namer_.rng().below(700))});
        for (uint32_t i = 0; i < 3; i++) {
            std::string where = i == 1 ? dir : "";
            files.push_back({where, namer_.unique(where, fmt(short_names[i], i)), content(namer_.rng().below(900))});
        }
        std::stable_sort(files.begin(), files.end(), [](const Staged &a, const Staged &b) { return a.dir < b.dir; });
        copy(files);
        for (auto &f : files) record(f);
    }
    paging_file();
}

}  // namespace

std::vector<ManifestEntry> fill_fat(const std::string &image, const Profile &profile, uint64_t seed) {
    FatFiller f(image, profile, seed);
    f.run();
    return std::move(f.manifest);
}

}  // namespace imgkit::detail
