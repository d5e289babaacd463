// Fragmentation of a volume, counted independently of the engines: NTFS
// through libntfs-3g's run lists, FAT through the platform's FAT driver.
//
// This header holds plain types only: the NTFS counter includes libntfs-3g,
// whose headers cannot share a translation unit with the NT headers.
#pragma once

#include <array>
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

    // The runs counted (unnamed $DATA, $I30 index allocation, cluster chain)
    // and the runs of the item's other non-resident attributes (NTFS).
    std::vector<Run> runs;
    std::vector<Run> other_runs;
    // NTFS: what decides how the programs treat the file.
    bool compressed = false;
    bool attribute_list = false;       // its runs may live in several records
    bool streams_in_a_record = false;  // a record of the file holds more than one $DATA
    bool paging_file = false;          // named in the machine's PagingFiles
};

// What a cluster holds, as the map colours it.
enum Class {
    kFree,        // not in use
    kMftZone,     // not in use, inside the MFT zone the file system keeps for the MFT
    kSystem,      // NTFS records 0-15 other than the MFT's data
    kMft,         // the MFT's data
    kDirectory,   // directory indexes, directory chains
    kContiguous,  // files in one fragment
    kFragmented,  // files in several fragments
    kPaging,      // the paging file
    kUnmovable,   // files the programs never move; FAT: bad clusters
    kOther,       // in use, held by no file (lost clusters, unnamed metadata)
    kClassCount
};
const char *class_key(int c);   // "free", "mft_zone", ... (JSON keys)
const char *class_name(int c);  // "Free", "MFT zone (reserved)", ... (legend)

// A run of clusters of one class.
struct Painted {
    int64_t lcn = 0;
    uint64_t length = 0;
    int cls = kOther;
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

    // The allocation bitmap, bit c of byte c / 8 set for a cluster in use
    // (NTFS: $Bitmap; FAT: built from the FAT, a bad cluster counts as used).
    std::vector<uint8_t> bitmap;
    // NTFS: the MFT's first cluster and the MFT zone [start, end) the file
    // system keeps for it (as the platform reports it to the programs).
    int64_t mft_lcn = -1;
    int64_t mft_zone_start = 0, mft_zone_end = 0;
    // FAT: clusters marked bad. NTFS: the runs of records that are neither
    // files nor directories (the $Extend files, ...).
    std::vector<Run> bad_runs;
    std::vector<Run> metadata_runs;
    // NTFS: the clusters a run's gathering scan counts for the directories
    // (their index allocations) and for the other non-resident attributes
    // of the MFT, the root and the records from 16 on that it reads whole.
    uint64_t directory_clusters = 0, attribute_clusters = 0;

    // Fragments beyond one per file or directory: what a defragmenter has to remove.
    uint64_t extra_file_fragments = 0;
    uint64_t extra_dir_fragments = 0;
    // Adds an item to the counters and the list.
    void add(Item item);
    // Free clusters and extents from `bitmap`.
    void count_free();
    bool in_use(uint64_t lcn) const { return (bitmap[lcn >> 3] >> (lcn & 7)) & 1; }
    // The class of the clusters an item holds (its counted runs; its other
    // runs are kSystem for the MFT's record, else the same).
    int class_of(const Item &item) const;
    // Every run some item holds, with its class.
    std::vector<Painted> painted() const;
};

// Clusters of each class in blocks of `per_cell` consecutive clusters: a
// cell's counts add up to its length, and the counts of all cells to the
// volume's clusters, each cluster counted once by what holds it (free ones
// by the bitmap and the MFT zone; in-use ones held by nothing as kOther).
struct Cells {
    uint64_t per_cell = 1;
    std::vector<std::array<uint64_t, kClassCount>> counts;
    // The class holding most clusters of cell i (ties: the lower class).
    int major(size_t i) const;
};
Cells tally(const Report &r, uint64_t per_cell);
// The clusters of each class over the whole volume.
std::array<uint64_t, kClassCount> class_totals(const Report &r);

// Reads bytes of the volume (offset from its first byte); false on an I/O error.
using ReadFn = std::function<bool(uint64_t offset, void *buffer, size_t length)>;

// Counts an NTFS volume of `size` bytes through libntfs-3g (read-only
// mount). false with *error on a volume it cannot read.
bool count_ntfs(const ReadFn &read, uint64_t size, const std::string &name, Report *report, std::string *error);

// A JSON string literal.
std::string json_string(const std::string &s);

// The report as text (worst: how many of the most fragmented files to list)
// and as JSON.
std::string to_text(const Report &r, char letter, size_t worst);
std::string to_json(const Report &r, char letter, size_t worst);

}  // namespace ntm::frag
