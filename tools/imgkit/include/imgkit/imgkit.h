// Image test kit: makes NTFS and FAT16/FAT32 disk images, fills them with a
// deterministic, deliberately fragmented file set, checks them afterwards with
// tools nobody here wrote, and counts fragments and free extents with a reader
// of its own.
//
// Typical use from a GoogleTest case:
//
//     imgkit::make_ntfs(img, 64 << 20, 4096);
//     imgkit::Manifest m = imgkit::fill(img, imgkit::Profile::basic(), 42);
//     ... run the program under test on img ...
//     imgkit::CheckResult r = imgkit::check(img, m);
//     EXPECT_EQ(r.code, imgkit::kConsistent) << r.summary;
//
// Everything here throws imgkit::Error on bad input or when a tool cannot be
// run, except check(), which reports such trouble as kToolError.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace imgkit {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class FsType { unknown, ntfs, fat16, fat32 };

// A scratch folder, removed with everything in it when the object goes. It
// lies in $IMGKIT_TMPDIR if set, else in /dev/shm when that is a writable
// memory file system with room, else in $TMPDIR or /tmp: libntfs-3g and the
// mkfs tools flush their writes, which costs seconds per image on a disk.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

const char *fs_name(FsType fs);

// Reads the boot sector and tells which file system the image holds.
FsType detect_fs(const std::string &image);

// ---------------------------------------------------------------- making

// Copies an image file, keeping its holes (fast for mostly empty images).
void copy_image(const std::string &from, const std::string &to);

// Creates (or replaces) an image file of `size` bytes holding a fresh NTFS
// volume made by mkntfs with the given cluster size (512 to 65,536; MFT
// records are 1,024 bytes). The volume timestamps are zeroed so that two
// calls give the same bytes.
void make_ntfs(const std::string &image, uint64_t size, uint32_t cluster = 4096, const std::string &label = "IMGKIT");

// Creates (or replaces) an image of `size` bytes with a FAT16 (fat_bits 16)
// or FAT32 (fat_bits 32) volume made by mkfs.fat with `fats` FAT copies.
// `cluster` 0 lets mkfs.fat choose. The volume id is fixed, so two calls
// give the same bytes.
void make_fat(const std::string &image, uint64_t size, int fat_bits, uint32_t cluster = 0,
              const std::string &label = "IMGKIT", int fats = 2);

// ---------------------------------------------------------------- filling

// What fill() puts on a volume. Counts of 0 switch a feature off. The fill
// never takes free space below min_free_share of the volume: it shrinks or
// drops the large and bulk files first, and throws Error when even the
// fixed structures (attribute-list files, MFT growth) do not fit.
struct Profile {
    std::string name = "custom";

    // Directory tree: `dirs` directories spread over at most `depth` levels
    // below the root.
    uint32_t dirs = 8;
    uint32_t depth = 3;
    uint32_t small_files = 24;  // 0..small_max bytes (resident on NTFS)
    uint32_t small_max = 600;
    uint32_t large_files = 8;  // large_min..large_max bytes
    uint64_t large_min = 8 << 10;
    uint64_t large_max = 256 << 10;
    bool long_names = true;  // long, mixed-case names with spaces

    // Files fragmented by interleaved appends: `frag_groups` groups of
    // `frag_group_files` files each, grown in turn `frag_rounds` times by
    // 1..frag_chunk_clusters clusters. Each group also grows one spacer file
    // that is deleted at the end, so holes stay between the pieces.
    uint32_t frag_groups = 2;
    uint32_t frag_group_files = 3;
    uint32_t frag_rounds = 6;
    uint32_t frag_chunk_clusters = 2;

    // Files created and then deleted between live files: holes in free space.
    uint32_t deleted_files = 8;

    // A directory holding this many entries, so that its index (NTFS) or its
    // cluster chain (FAT) outgrows a single block. 0 = none.
    uint32_t big_dir_entries = 60;
    // Directories whose entries are added in turn with other allocations,
    // so that their index blocks / cluster chains are fragmented.
    uint32_t frag_dirs = 2;
    uint32_t frag_dir_entries = 40;

    // NTFS only.
    bool dos_names = true;  // DOS 8.3 aliases beside long names
    // A compressed file (needs clusters of 4,096 bytes or less); its
    // compression units leave runs without disk space although the file
    // has no sparse flag.
    bool compressed_file = true;
    bool sparse_file = true;                      // holes, sparse flag set
    bool named_stream = true;                     // a file with a named $DATA stream
    uint32_t attrlist_resident_fragments = 0;     // >0: file whose $ATTRIBUTE_LIST stays resident
    uint32_t attrlist_nonresident_fragments = 0;  // >0: file with a non-resident $ATTRIBUTE_LIST
    // That file also gets a non-resident $EA, kept in the extension record of
    // its last data piece: its non-resident attributes other than the data
    // (the list and the EA) then lie in two records.
    bool attrlist_ea = false;
    // The index $BITMAP of the first fragmented directory made non-resident.
    bool frag_dir_bitmap_nonresident = false;
    uint32_t mft_fragments = 0;  // >0: grow the MFT in pieces until it has this many
    // A paging file "\pagefile.sys" (hidden, system) of paging_file_kib KiB,
    // written after everything else into paging_file_fragments pieces with
    // free gaps between them (1: one piece; 0: none), compressed when asked.
    // (FAT too, never compressed; mtools fills the holes it meets first, so
    // there the file may lie in more pieces.)
    uint32_t paging_file_fragments = 0;
    uint32_t paging_file_kib = 1024;
    bool paging_file_compressed = false;
    // A small file (1 KiB, or one cluster) right behind the MFT's first
    // extent, where the MFT grows: what a full volume leaves in the MFT zone.
    bool file_behind_mft = false;
    // A file of this many KiB in the last free clusters of the volume. 0 = none.
    uint32_t end_file_kib = 0;

    // FAT only (added after everything else, so that they leave the rest of
    // the layout as it is): a chain of this many directories nested in one
    // another below the root, a file at the bottom; this many empty
    // directories; files and directories whose long names hold non-ASCII
    // characters, a name of 255 characters (20 long-name pieces), and files
    // with 8.3 names only whose bytes include some of 0x80 and more (code
    // page 850).
    uint32_t deep_dirs = 0;
    uint32_t empty_dirs = 0;
    bool name_variety = false;

    // Many files for benchmarks: bulk_files files of bulk_min..bulk_max bytes.
    uint32_t bulk_files = 0;
    uint64_t bulk_min = 1 << 10;
    uint64_t bulk_max = 512 << 10;

    double min_free_share = 0.30;

    // Presets. basic(): every general feature, small; fits a 16 MiB volume.
    // full(): basic plus both attribute-list classes and a fragmented MFT
    // (NTFS), sized for a 64 MiB volume. bench(n): n bulk files on top of
    // full(), for large benchmark volumes.
    static Profile basic();
    static Profile full();
    static Profile bench(uint32_t files);
};

struct ManifestEntry {
    std::string path;  // as the volume shows it: "\dir\file"; "\dir\file:name" for a named stream
    uint64_t size = 0;
    std::string sha256;  // lower-case hex
};

// Manifest text format, one file per line, fields separated by a tab:
//     <path>\t<size>\t<sha256>
// Lines starting with '#' are comments; fill() writes "# fs", "# seed" and
// "# profile" lines first.
struct Manifest {
    FsType fs = FsType::unknown;
    uint64_t seed = 0;
    std::string profile;
    std::vector<ManifestEntry> files;

    const ManifestEntry *find(const std::string &path) const;
    std::string to_text() const;
    static Manifest parse(const std::string &text);  // throws Error on malformed lines
    void save(const std::string &file) const;
    static Manifest load(const std::string &file);
};

// "\a\b.txt" -> "/a/b.txt" (ntfscat), and the stream part of "\a:s" -> "s".
std::string posix_path(const std::string &volume_path);
std::string stream_of(const std::string &volume_path);
// "\a\b.txt" -> "::/a/b.txt" (mtools).
std::string mtools_path(const std::string &volume_path);

// Fills a freshly made image (make_ntfs / make_fat) from `seed`. The same
// seed, profile and image geometry give the same files, contents and
// cluster layout.
Manifest fill(const std::string &image, const Profile &profile, uint64_t seed);

// ---------------------------------------------------------------- checking

enum CheckCode {
    kConsistent = 0,       // every tool content, every manifest file matches
    kLostClusters = 1,     // consistent, but clusters marked in use that no file owns
    kInconsistent = 2,     // a structural fault (bitmap/FAT, MFT, mirror, chains ...)
    kContentMismatch = 3,  // structure sound, but a manifest file is missing or differs
    kToolError = 4,        // bad input or a checker could not run
};

struct CheckResult {
    int code = kToolError;
    std::string summary;               // one line naming the reason
    std::vector<std::string> details;  // the tool lines and files behind the verdict
    uint64_t files_checked = 0;
    uint64_t files_differing = 0;
    bool dirty = false;  // NTFS dirty flag set (not a fault by itself)
};

struct CheckOptions {
    bool compare_content = true;
    // Also run ntfs-3g.probe --readwrite, on a temporary copy of the image.
    bool probe_readwrite_copy = false;
};

// Checks an image: NTFS with ntfsresize --info, ntfs-3g.probe --readonly and
// ntfsfix -n; FAT with fsck.fat -n; then every manifest file's content. The
// image is never written. When several problems show, the code is the first
// of: kToolError (nothing could be judged), kInconsistent, kContentMismatch,
// kLostClusters.
CheckResult check(const std::string &image, const Manifest &manifest, const CheckOptions &options = {});

// ---------------------------------------------------------------- counting

// Fragment counting rule: the runs of a file in VCN order (cluster-chain
// order on FAT); a run that starts on the cluster after the end of the
// previous run with disk space continues its fragment; runs without disk
// space (sparse, compression holes) are skipped. A file with no clusters
// has 0 fragments.
struct ItemCount {
    std::string path;       // "\dir\file"; system files by name ("\$MFT")
    uint64_t record = 0;    // MFT record (NTFS); first cluster (FAT)
    uint64_t clusters = 0;  // clusters with disk space
    uint64_t fragments = 0;
    enum Kind { file, directory, system, unmovable } kind = file;
    // NTFS details.
    bool compressed = false, sparse_flag = false, reparse = false, offline = false;
    bool multi_stream = false;  // more than one $DATA attribute in one record
    bool has_holes = false;     // runs without disk space
    int attr_list = 0;          // 0 none, 1 resident, 2 non-resident $ATTRIBUTE_LIST
    uint32_t records = 1;       // MFT records holding the counted attribute
};

struct FragCounts {
    FsType fs = FsType::unknown;
    uint64_t cluster_size = 0;
    uint64_t total_clusters = 0;
    uint64_t free_clusters = 0;
    uint64_t free_extents = 0;
    uint64_t largest_free_extent = 0;

    // Regular files that a defragmenter may move (NTFS: records from 16 on,
    // not directories, with an unnamed $DATA, not unmovable).
    uint64_t files = 0;
    uint64_t fragmented_files = 0;
    uint64_t file_fragments = 0;
    // Directories (NTFS: $INDEX_ALLOCATION "$I30"; FAT: cluster chains;
    // the FAT16 root is not counted, the FAT32 root is).
    uint64_t dirs = 0;
    uint64_t fragmented_dirs = 0;
    uint64_t dir_fragments = 0;
    // NTFS records 0..15, unnamed $DATA.
    uint64_t system_fragments = 0;
    uint64_t mft_fragments = 0;
    // Files never moved: sparse flag, reparse point, offline, several $DATA
    // attributes in one record. Counted apart from `files`.
    uint64_t unmovable_files = 0;

    std::vector<ItemCount> items;
    const ItemCount *find(const std::string &path) const;
};

// Counts without libntfs-3g: NTFS by reading the MFT and $Bitmap from the
// image; FAT with mshowfat per file and the FAT itself for free space.
FragCounts count(const std::string &image);

// One line: "files 57 fragmented 9 fragments 120 | dirs ... | free ...".
std::string format_counts(const FragCounts &c);

// ---------------------------------------------------------------- layout and faults on purpose

struct Extent {
    int64_t lcn = -1;     // -1: no disk space (sparse run); FAT: cluster number - 2
    uint64_t length = 0;  // clusters
};

// The extents of a file's data (unnamed $DATA, or the named stream of
// "\f:name"; FAT: the cluster chain), in file order, read from the image.
std::vector<Extent> file_extents(const std::string &image, const std::string &path);

// FAT: every entry of the volume as mtools lists it (mdir -/ -a -b: a
// directory's entries in directory order, then each subdirectory's list in
// turn), with the extents mshowfat shows for it, in chain order. Paths as
// the volume shows them ("\dir\file", UTF-8, long names where there are
// any); the FAT32 root ("\") comes first, the FAT16 root (no clusters) is
// not listed.
struct FatEntry {
    std::string path;
    bool directory = false;
    std::vector<Extent> extents;
};
std::vector<FatEntry> fat_entries(const std::string &image);

// Byte offset in the image of the first byte of cluster `lcn`
// (FAT: lcn = cluster number - 2).
uint64_t cluster_offset(const std::string &image, int64_t lcn);

// Flips every bit of one byte in the data of a file, at `offset` within its
// first cluster with disk space. Returns the cluster changed.
int64_t corrupt_file_data(const std::string &image, const std::string &path, uint64_t offset = 0);

// NTFS: clears the $Bitmap bit of the first cluster of a live file.
// FAT: sets to 0 (free) in every FAT copy the entry of the file's second
// cluster (its first when it has one). Returns the cluster concerned.
int64_t clear_allocation_under_file(const std::string &image, const std::string &path);

// NTFS: points the first run of a file's data (its unnamed $DATA, which
// must lie in its base record) at `lcn`, its length kept, by rewriting the
// record's mapping pairs; the bitmap is left alone (the old clusters become
// lost). With `lcn` inside another file the two share clusters; near or
// past the volume's end the run leaves the volume. Throws when the new
// pairs do not fit the attribute.
void ntfs_move_first_run(const std::string &image, const std::string &path, int64_t lcn);

// Marks `count` free clusters as in use without any owner (NTFS: $Bitmap
// bits; FAT: one end-of-chain entry per cluster in every FAT copy), as an
// interrupted move may leave them. Returns the first cluster marked.
int64_t leak_clusters(const std::string &image, uint64_t count);

// FAT: sets the entry of `cluster` (a cluster number, 2 .. clusters + 1) to
// `value` in every FAT copy (on FAT32 the entry's reserved high bits stay).
void fat_set_entry(const std::string &image, uint32_t cluster, uint32_t value);

// FAT32 with two or more FATs: turns mirroring off with copy `active` (from
// 0) the one in use, in the boot sector and its backup, and frees every
// cluster in the other copies, so that a reader of another copy sees an
// empty volume.
void fat_unmirror(const std::string &image, uint32_t active);

}  // namespace imgkit
