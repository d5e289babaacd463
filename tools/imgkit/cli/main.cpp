// imgkit: make, fill, check and count NTFS and FAT test images.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imgkit/imgkit.h"

namespace {

const char *kUsage = "usage:\n"
                     "  imgkit make-ntfs IMAGE SIZE [CLUSTER]      SIZE in bytes, or with K/M/G suffix\n"
                     "  imgkit make-fat16 IMAGE SIZE [CLUSTER]\n"
                     "  imgkit make-fat32 IMAGE SIZE [CLUSTER]\n"
                     "  imgkit fill IMAGE MANIFEST [--seed N] [--profile basic|full|bench:N] [--set KEY=VALUE ...]\n"
                     "  imgkit check IMAGE MANIFEST [--no-content] [--probe-readwrite]\n"
                     "  imgkit count IMAGE [--list]\n"
                     "  imgkit extents IMAGE PATH\n"
                     "  imgkit corrupt-data IMAGE PATH [OFFSET]\n"
                     "  imgkit clear-allocation IMAGE PATH\n"
                     "  imgkit leak IMAGE COUNT\n"
                     "\n"
                     "check exit codes: 0 consistent, 1 consistent but lost clusters, 2 inconsistent,\n"
                     "3 content mismatch, 4 usage or tool error. Other commands: 0 done, 4 error.\n"
                     "Profile keys for --set: the fields of imgkit::Profile (dirs, small_files,\n"
                     "large_files, large_max, frag_groups, frag_rounds, deleted_files, big_dir_entries,\n"
                     "frag_dirs, attrlist_resident_fragments, attrlist_nonresident_fragments,\n"
                     "mft_fragments, bulk_files, min_free_share, long_names, dos_names, ...).\n";

uint64_t parse_size(const std::string &s) {
    char *end = nullptr;
    unsigned long long v = strtoull(s.c_str(), &end, 10);
    if (end == s.c_str()) throw imgkit::Error("bad size: " + s);
    std::string suf = end;
    if (suf == "K" || suf == "k")
        v <<= 10;
    else if (suf == "M" || suf == "m")
        v <<= 20;
    else if (suf == "G" || suf == "g")
        v <<= 30;
    else if (!suf.empty())
        throw imgkit::Error("bad size suffix: " + s);
    return v;
}

void set_key(imgkit::Profile &p, const std::string &kv) {
    size_t eq = kv.find('=');
    if (eq == std::string::npos) throw imgkit::Error("--set wants KEY=VALUE: " + kv);
    std::string k = kv.substr(0, eq), v = kv.substr(eq + 1);
    auto u = [&](uint32_t &f) { f = uint32_t(parse_size(v)); };
    auto u64 = [&](uint64_t &f) { f = parse_size(v); };
    auto b = [&](bool &f) { f = v == "1" || v == "true" || v == "yes"; };
    if (k == "dirs")
        u(p.dirs);
    else if (k == "depth")
        u(p.depth);
    else if (k == "small_files")
        u(p.small_files);
    else if (k == "small_max")
        u(p.small_max);
    else if (k == "large_files")
        u(p.large_files);
    else if (k == "large_min")
        u64(p.large_min);
    else if (k == "large_max")
        u64(p.large_max);
    else if (k == "long_names")
        b(p.long_names);
    else if (k == "deep_dirs")
        u(p.deep_dirs);
    else if (k == "empty_dirs")
        u(p.empty_dirs);
    else if (k == "name_variety")
        b(p.name_variety);
    else if (k == "frag_groups")
        u(p.frag_groups);
    else if (k == "frag_group_files")
        u(p.frag_group_files);
    else if (k == "frag_rounds")
        u(p.frag_rounds);
    else if (k == "frag_chunk_clusters")
        u(p.frag_chunk_clusters);
    else if (k == "deleted_files")
        u(p.deleted_files);
    else if (k == "big_dir_entries")
        u(p.big_dir_entries);
    else if (k == "frag_dirs")
        u(p.frag_dirs);
    else if (k == "frag_dir_entries")
        u(p.frag_dir_entries);
    else if (k == "dos_names")
        b(p.dos_names);
    else if (k == "compressed_file")
        b(p.compressed_file);
    else if (k == "sparse_file")
        b(p.sparse_file);
    else if (k == "named_stream")
        b(p.named_stream);
    else if (k == "attrlist_resident_fragments")
        u(p.attrlist_resident_fragments);
    else if (k == "attrlist_nonresident_fragments")
        u(p.attrlist_nonresident_fragments);
    else if (k == "attrlist_ea")
        b(p.attrlist_ea);
    else if (k == "frag_dir_bitmap_nonresident")
        b(p.frag_dir_bitmap_nonresident);
    else if (k == "mft_fragments")
        u(p.mft_fragments);
    else if (k == "paging_file_fragments")
        u(p.paging_file_fragments);
    else if (k == "paging_file_kib")
        u(p.paging_file_kib);
    else if (k == "paging_file_compressed")
        b(p.paging_file_compressed);
    else if (k == "file_behind_mft")
        b(p.file_behind_mft);
    else if (k == "end_file_kib")
        u(p.end_file_kib);
    else if (k == "bulk_files")
        u(p.bulk_files);
    else if (k == "bulk_min")
        u64(p.bulk_min);
    else if (k == "bulk_max")
        u64(p.bulk_max);
    else if (k == "min_free_share")
        p.min_free_share = atof(v.c_str());
    else
        throw imgkit::Error("unknown profile key: " + k);
}

const char *kind_name(imgkit::ItemCount::Kind k) {
    switch (k) {
    case imgkit::ItemCount::file:
        return "file";
    case imgkit::ItemCount::directory:
        return "dir";
    case imgkit::ItemCount::system:
        return "system";
    default:
        return "unmovable";
    }
}

int main_inner(std::vector<std::string> a) {
    if (a.empty()) {
        fputs(kUsage, stderr);
        return 4;
    }
    std::string cmd = a[0];
    auto need = [&](size_t n) {
        if (a.size() < n + 1) throw imgkit::Error("missing arguments for " + cmd);
    };
    if (cmd == "make-ntfs" || cmd == "make-fat16" || cmd == "make-fat32") {
        need(2);
        uint32_t cluster = a.size() > 3 ? uint32_t(parse_size(a[3])) : 0;
        if (cmd == "make-ntfs")
            imgkit::make_ntfs(a[1], parse_size(a[2]), cluster ? cluster : 4096);
        else
            imgkit::make_fat(a[1], parse_size(a[2]), cmd == "make-fat16" ? 16 : 32, cluster);
        return 0;
    }
    if (cmd == "fill") {
        need(2);
        uint64_t seed = 1;
        imgkit::Profile p = imgkit::Profile::basic();
        for (size_t i = 3; i < a.size(); i++) {
            if (a[i] == "--seed" && i + 1 < a.size())
                seed = strtoull(a[++i].c_str(), nullptr, 10);
            else if (a[i] == "--profile" && i + 1 < a.size()) {
                std::string v = a[++i];
                if (v == "basic")
                    p = imgkit::Profile::basic();
                else if (v == "full")
                    p = imgkit::Profile::full();
                else if (v.rfind("bench:", 0) == 0)
                    p = imgkit::Profile::bench(uint32_t(atoi(v.c_str() + 6)));
                else
                    throw imgkit::Error("unknown profile " + v);
            } else if (a[i] == "--set" && i + 1 < a.size())
                set_key(p, a[++i]);
            else
                throw imgkit::Error("unknown option " + a[i]);
        }
        imgkit::Manifest m = imgkit::fill(a[1], p, seed);
        m.save(a[2]);
        printf("%zu files written to the manifest %s\n", m.files.size(), a[2].c_str());
        return 0;
    }
    if (cmd == "check") {
        need(2);
        imgkit::CheckOptions o;
        for (size_t i = 3; i < a.size(); i++) {
            if (a[i] == "--no-content")
                o.compare_content = false;
            else if (a[i] == "--probe-readwrite")
                o.probe_readwrite_copy = true;
            else
                throw imgkit::Error("unknown option " + a[i]);
        }
        imgkit::CheckResult r = imgkit::check(a[1], imgkit::Manifest::load(a[2]), o);
        for (auto &d : r.details) printf("  %s\n", d.c_str());
        printf("%s\n", r.summary.c_str());
        return r.code;
    }
    if (cmd == "count") {
        need(1);
        imgkit::FragCounts c = imgkit::count(a[1]);
        if (a.size() > 2 && a[2] == "--list")
            for (auto &it : c.items)
                printf("%-9s %8llu %6llu fragments %8llu clusters%s%s  %s\n", kind_name(it.kind),
                       (unsigned long long)it.record, (unsigned long long)it.fragments, (unsigned long long)it.clusters,
                       it.attr_list == 1   ? " attrlist"
                       : it.attr_list == 2 ? " attrlist-nonres"
                                           : "",
                       it.compressed ? " compressed" : "", it.path.c_str());
        printf("%s\n", imgkit::format_counts(c).c_str());
        return 0;
    }
    if (cmd == "extents") {
        need(2);
        for (auto &e : imgkit::file_extents(a[1], a[2]))
            printf("%lld %llu\n", (long long)e.lcn, (unsigned long long)e.length);
        return 0;
    }
    if (cmd == "corrupt-data") {
        need(2);
        int64_t l = imgkit::corrupt_file_data(a[1], a[2], a.size() > 3 ? parse_size(a[3]) : 0);
        printf("changed a byte in cluster %lld\n", (long long)l);
        return 0;
    }
    if (cmd == "clear-allocation") {
        need(2);
        int64_t l = imgkit::clear_allocation_under_file(a[1], a[2]);
        printf("cleared the allocation of cluster %lld\n", (long long)l);
        return 0;
    }
    if (cmd == "leak") {
        need(2);
        int64_t l = imgkit::leak_clusters(a[1], parse_size(a[2]));
        printf("marked clusters in use from %lld\n", (long long)l);
        return 0;
    }
    fputs(kUsage, stderr);
    return 4;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return main_inner(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception &e) {
        fprintf(stderr, "imgkit: %s\n", e.what());
        return 4;
    }
}
