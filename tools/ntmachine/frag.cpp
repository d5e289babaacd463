// `ntmachine frag`: the fragmentation of a drive, counted independently of
// the engines. FAT volumes are walked with the platform's FAT driver; NTFS
// volumes are counted through libntfs-3g (frag_ntfs.cpp).
#include "frag.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include <ntp/host.h>

#include "tool.h"
#include "why.h"

namespace ntm::frag {

uint64_t count_fragments(const std::vector<Run> &runs) {
    uint64_t fragments = 0;
    bool any = false;
    int64_t next = 0;  // the cluster after the previous run with disk space
    for (const Run &run : runs) {
        if (run.lcn < 0 || run.length == 0) continue;
        if (!any || run.lcn != next) ++fragments;
        any = true;
        next = run.lcn + static_cast<int64_t>(run.length);
    }
    return fragments;
}

void Report::add(Item item) {
    uint64_t extra = item.fragments > 1 ? item.fragments - 1 : 0;
    switch (item.kind) {
    case Item::File:
        ++files;
        file_fragments += item.fragments;
        fragmented_files += item.fragments > 1;
        extra_file_fragments += extra;
        break;
    case Item::Directory:
        ++dirs;
        dir_fragments += item.fragments;
        fragmented_dirs += item.fragments > 1;
        extra_dir_fragments += extra;
        break;
    case Item::System:
        system_fragments += item.fragments;
        if (item.record == 0) mft_fragments = item.fragments;
        break;
    case Item::Unmovable:
        ++unmovable_files;
        break;
    }
    items.push_back(std::move(item));
}

namespace {

std::vector<const Item *> worst_files(const Report &r, size_t count) {
    std::vector<const Item *> files;
    for (const Item &i : r.items)
        if (i.kind == Item::File && i.fragments > 1) files.push_back(&i);
    std::stable_sort(files.begin(), files.end(), [](const Item *a, const Item *b) {
        if (a->fragments != b->fragments) return a->fragments > b->fragments;
        return a->path < b->path;
    });
    if (files.size() > count) files.resize(count);
    return files;
}

using ull = unsigned long long;

}  // namespace

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\')
            out += '\\', out += static_cast<char>(c);
        else if (c < 0x20)
            out += format("\\u%04x", c);
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

std::string to_text(const Report &r, char letter, size_t worst) {
    std::string t;
    t += format("Drive %c: %s, %llu-byte clusters, %llu clusters, %llu free\n", letter, r.fs.c_str(),
                ull(r.cluster_size), ull(r.total_clusters), ull(r.free_clusters));
    t += format("  Files          %llu, fragmented %llu, fragments %llu, extra fragments %llu\n", ull(r.files),
                ull(r.fragmented_files), ull(r.file_fragments), ull(r.extra_file_fragments));
    t += format("  Directories    %llu (%s), fragmented %llu, extra fragments %llu\n", ull(r.dirs),
                r.fs == "NTFS" ? "index allocation" : "cluster chains", ull(r.fragmented_dirs),
                ull(r.extra_dir_fragments));
    if (r.fs == "NTFS") {
        t += format("  System 0-15    $MFT %llu fragment%s; records 0-15 together %llu fragments\n",
                    ull(r.mft_fragments), r.mft_fragments == 1 ? "" : "s", ull(r.system_fragments));
        uint64_t sparse = 0, reparse = 0, offline = 0, streams = 0;
        for (const Item &i : r.items) {
            if (i.kind != Item::Unmovable) continue;
            sparse += i.why == "sparse";
            reparse += i.why == "reparse point";
            offline += i.why == "offline";
            streams += i.why == "several data streams";
        }
        t += format("  Never moved    %llu files (sparse %llu, reparse point %llu, offline %llu, several data "
                    "streams %llu)\n",
                    ull(r.unmovable_files), ull(sparse), ull(reparse), ull(offline), ull(streams));
    }
    t += format("  Free space     %llu extents, largest %llu clusters\n", ull(r.free_extents),
                ull(r.largest_free_extent));
    auto w = worst_files(r, worst);
    if (!w.empty()) {
        t += "  Most fragmented files:\n";
        for (const Item *i : w) t += format("    %6llu  %s\n", ull(i->fragments), i->path.c_str());
    }
    return t;
}

std::string to_json(const Report &r, char letter, size_t worst) {
    std::string j = "{";
    auto num = [&](const char *key, uint64_t v) { j += format("\"%s\": %llu, ", key, ull(v)); };
    j += format("\"drive\": \"%c:\", \"fs\": %s, ", letter, json_string(r.fs).c_str());
    num("cluster_size", r.cluster_size);
    num("total_clusters", r.total_clusters);
    num("free_clusters", r.free_clusters);
    num("free_extents", r.free_extents);
    num("largest_free_extent", r.largest_free_extent);
    num("files", r.files);
    num("fragmented_files", r.fragmented_files);
    num("file_fragments", r.file_fragments);
    num("extra_fragments", r.extra_file_fragments);
    num("dirs", r.dirs);
    num("fragmented_dirs", r.fragmented_dirs);
    num("dir_fragments", r.dir_fragments);
    num("extra_dir_fragments", r.extra_dir_fragments);
    num("system_fragments", r.system_fragments);
    num("mft_fragments", r.mft_fragments);
    num("unmovable_files", r.unmovable_files);
    j += "\"classes\": {";
    auto totals = class_totals(r);
    for (int c = 0; c < kClassCount; ++c) j += format("%s\"%s\": %llu", c ? ", " : "", class_key(c), ull(totals[c]));
    j += "}, \"worst\": [";
    auto w = worst_files(r, worst);
    for (size_t i = 0; i < w.size(); ++i) {
        j += format("%s{\"path\": %s, \"fragments\": %llu, \"clusters\": %llu}", i ? ", " : "",
                    json_string(w[i]->path).c_str(), ull(w[i]->fragments), ull(w[i]->clusters));
    }
    j += "]}\n";
    return j;
}

}  // namespace ntm::frag

namespace ntm {

namespace {

std::string status_text(NTSTATUS s) { return format("status 0x%08X", static_cast<unsigned>(s)); }

void count_fat(const ntp::FatVolumeMap &map, frag::Report *r) {
    r->fs = map.type;
    r->cluster_size = map.bytes_per_cluster;
    r->total_clusters = map.clusters;
    r->bitmap.assign((uint64_t(map.clusters) + 7) / 8, 0);
    for (uint64_t lcn = 0; lcn < map.in_use.size(); ++lcn)
        if (map.in_use[lcn]) r->bitmap[lcn >> 3] |= uint8_t(1u << (lcn & 7));
    for (const ntp::FatRun &run : map.bad) r->bad_runs.push_back(frag::Run{run.lcn, run.count});
    r->count_free();
    for (const ntp::FatFile &file : map.files) {
        frag::Item item;
        item.kind = file.directory ? frag::Item::Directory : frag::Item::File;
        item.path = file.path;
        item.record = file.first_cluster;
        std::vector<frag::Run> runs;
        for (const ntp::FatRun &run : file.runs) {
            runs.push_back(frag::Run{run.lcn, run.count});
            item.clusters += run.count;
        }
        item.fragments = frag::count_fragments(runs);
        item.runs = std::move(runs);
        r->add(item);
    }
}

}  // namespace

namespace {

// Marks the items the machine's PagingFiles names for the drive.
void mark_paging_files(char letter, frag::Report *report) {
    std::vector<std::u16string> entries;
    try {
        entries = read_multi_sz(kMemoryManagementKey, u"PagingFiles");
    } catch (const Failure &) {
        return;  // a machine without the value has no paging file
    }
    for (const auto &e : entries) {
        std::vector<std::string> words = split_blanks(ntp::to_utf8(e));
        if (words.empty() || words[0].size() < 3 || std::toupper(static_cast<unsigned char>(words[0][0])) != letter ||
            words[0][1] != ':')
            continue;
        std::u16string path = ntp::to_utf16(words[0].substr(2));
        for (frag::Item &item : report->items)
            if (item.kind != frag::Item::Directory && ntp::iequal(ntp::to_utf16(item.path), path))
                item.paging_file = true;
    }
}

}  // namespace

frag::Report fragmentation(const std::string &dir, char letter) {
    Machine::open(dir);
    ntp::DriveConfig config;
    NTSTATUS s = ntp::machine_drive(letter, &config);
    if (s == STATUS_OBJECT_NAME_NOT_FOUND) throw Failure(format("the machine has no drive %c:", letter));
    if (!NT_SUCCESS(s)) throw Failure(format("drive %c: cannot be used (see the warning above)", letter));
    if (config.kind == ntp::DriveConfig::Kind::Folder)
        throw Failure(format("drive %c: is a host folder, not an NTFS or FAT volume", letter));
    std::shared_ptr<ntp::Volume> volume;
    s = ntp::Volume::open(config, &volume);
    if (!NT_SUCCESS(s))
        throw Failure(
            format("drive %c: (%s) cannot be opened (%s)", letter, config.path.c_str(), status_text(s).c_str()));
    uint8_t sector[512];
    if (volume->size() < sizeof sector || !NT_SUCCESS(volume->dev_read(0, sector, sizeof sector)))
        throw Failure(format("drive %c: its boot sector cannot be read", letter));

    frag::Report report;
    if (std::memcmp(sector + 3, "NTFS    ", 8) == 0) {
        std::string error;
        frag::ReadFn read = [&](uint64_t offset, void *buffer, size_t length) {
            return NT_SUCCESS(volume->dev_read(offset, buffer, length));
        };
        if (!frag::count_ntfs(read, volume->size(), config.path, &report, &error))
            throw Failure(format("drive %c: the NTFS volume cannot be read: %s", letter, error.c_str()));
        ntp::ntfs_mft_zone(report.total_clusters, uint32_t(report.cluster_size), uint64_t(report.mft_lcn),
                           &report.mft_zone_start, &report.mft_zone_end);
        mark_paging_files(letter, &report);
        return report;
    }
    ntp::FatVolumeMap map;
    std::string why;
    switch (ntp::map_fat_volume(volume, &map, &why)) {
    case ntp::FatMapResult::Mapped:
        count_fat(map, &report);
        mark_paging_files(letter, &report);
        return report;
    case ntp::FatMapResult::Failed:
        throw Failure(format("drive %c: %s", letter, why.c_str()));
    case ntp::FatMapResult::NotFat:
        break;
    }
    throw Failure(format("drive %c: is not an NTFS or FAT volume", letter));
}

int cmd_frag(const std::vector<std::string> &args) {
    std::vector<std::string> plain;
    bool json = false, why = false, haveRun = false;
    std::string run;
    size_t worst = 10;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json")
            json = true;
        else if (args[i] == "--why")
            why = true;
        else if (args[i] == "--run" && i + 1 < args.size())
            run = args[++i], haveRun = true;
        else if (args[i] == "--worst" && i + 1 < args.size())
            worst = std::strtoul(args[++i].c_str(), nullptr, 10);
        else if (args[i].rfind("--", 0) == 0)
            throw Failure(format("frag: unknown option %s (see ntmachine frag --help)", args[i].c_str()));
        else
            plain.push_back(args[i]);
    }
    if (plain.size() != 2 || (haveRun && !why))
        throw Failure("usage: ntmachine frag DIR X: [--json] [--worst N] [--why [--run KEYWORDS]]");
    char letter = parse_drive_letter(plain[1]);
    frag::Report r = fragmentation(plain[0], letter);
    std::string out = json ? frag::to_json(r, letter, worst) : frag::to_text(r, letter, worst);
    if (why) {
        std::string source = "given with --run";
        if (!haveRun) {
            source = format("the last run scheduled on %c:", letter);
            if (!remembered_run(plain[0], letter, &run)) {
                run = "FILES=FULL";
                source = format("no run scheduled on %c:, taken as FILES=FULL", letter);
            }
        }
        why::RunOptions o = why::parse_run(run, r.fs == "NTFS");
        std::vector<why::Verdict> verdicts = why::explain(r, letter, o);
        if (json) {
            out.erase(out.size() - 2);  // "}\n"
            out += ", \"run\": " + frag::json_string(run) + ", \"why\": " + why::to_json(verdicts) + "}\n";
        } else {
            out += why::to_text(verdicts, r, letter, o, source);
        }
    }
    std::fputs(out.c_str(), stdout);
    return 0;
}

}  // namespace ntm
