// Fragmentation of a volume, counted independently of the engines: NTFS
// through libntfs-3g's run lists, FAT through the platform's FAT driver.
//
// This header holds plain types only: the NTFS counter includes libntfs-3g,
// whose headers cannot share a translation unit with the NT headers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ntm::frag {

// One run of a file's data in file order; lcn < 0 has no disk space
// (a sparse run or a compression hole).
struct Run {
    int64_t lcn = -1;
    uint64_t length = 0;
};

// Fragments as a defragmenter sees them: runs in file order, a run that
// starts on the cluster after the end of the previous run with disk space
// continues its fragment, runs without disk space do not count.
uint64_t count_fragments(const std::vector<Run> &runs);

struct Item {
    enum Kind { File, Directory, System, Unmovable };
    Kind kind = File;
    std::string path;       // "\dir\file"; system files by name ("\$MFT")
    uint64_t record = 0;    // NTFS: MFT record; FAT: first cluster
    uint64_t clusters = 0;  // clusters with disk space
    uint64_t fragments = 0;
    std::string why;  // Unmovable: "sparse", "reparse point", "offline", "several data streams"
};

struct Report {
    std::string fs;  // "NTFS", "FAT16", "FAT32", "FAT12"
    uint64_t cluster_size = 0;
    uint64_t total_clusters = 0;
    uint64_t free_clusters = 0;
    uint64_t free_extents = 0;
    uint64_t largest_free_extent = 0;

    uint64_t files = 0;  // regular files the engines may move
    uint64_t fragmented_files = 0;
    uint64_t file_fragments = 0;
    uint64_t dirs = 0;
    uint64_t fragmented_dirs = 0;
    uint64_t dir_fragments = 0;
    uint64_t system_fragments = 0;  // NTFS records 0-15
    uint64_t mft_fragments = 0;     // the MFT's own extents
    uint64_t unmovable_files = 0;
    std::vector<Item> items;

    // Fragments beyond one per file or directory: what a defragmenter has to remove.
    uint64_t extra_file_fragments = 0;
    uint64_t extra_dir_fragments = 0;
    // Adds an item to the counters and the list.
    void add(Item item);
    // Free extents from a cluster-in-use test over [0, total_clusters).
    void count_free(const std::function<bool(uint64_t)> &used);
};

// Reads bytes of the volume (offset from its first byte); false on an I/O error.
using ReadFn = std::function<bool(uint64_t offset, void *buffer, size_t length)>;

// Counts an NTFS volume of `size` bytes through libntfs-3g (read-only
// mount). false with *error on a volume it cannot read.
bool count_ntfs(const ReadFn &read, uint64_t size, const std::string &name, Report *report, std::string *error);

// The report as text (worst: how many of the most fragmented files to list)
// and as JSON.
std::string to_text(const Report &r, char letter, size_t worst);
std::string to_json(const Report &r, char letter, size_t worst);

}  // namespace ntm::frag
