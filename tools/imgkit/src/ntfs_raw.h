// A reader of NTFS images of its own, independent of libntfs-3g: boot sector,
// MFT records with their update sequence, attributes (also those that an
// attribute list places in extension records), run lists and $Bitmap.
// Everything read from the image is bounds-checked; a malformed structure
// raises Error naming the record.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "util.h"

namespace imgkit::detail {

// Attribute types and flags used here.
enum : uint32_t {
    kAtStandardInformation = 0x10,
    kAtAttributeList = 0x20,
    kAtFileName = 0x30,
    kAtData = 0x80,
    kAtIndexRoot = 0x90,
    kAtIndexAllocation = 0xA0,
    kAtBitmap = 0xB0,
    kAtEnd = 0xFFFFFFFF,
};
enum : uint16_t { kRecInUse = 0x0001, kRecDirectory = 0x0002 };
enum : uint16_t { kAttrCompressed = 0x00FF, kAttrEncrypted = 0x4000, kAttrSparse = 0x8000 };
enum : uint32_t {
    kFileAttrSparse = 0x200,
    kFileAttrReparse = 0x400,
    kFileAttrCompressed = 0x800,
    kFileAttrOffline = 0x1000,
};
constexpr int64_t kSparseLcn = -1;  // a run without disk space

struct Geometry {
    uint32_t sector_size = 0;
    uint32_t cluster_size = 0;
    uint32_t record_size = 0;
    uint64_t total_clusters = 0;
    uint64_t mft_lcn = 0;
    uint64_t mftmirr_lcn = 0;
};

struct Run {
    uint64_t vcn = 0;
    int64_t lcn = kSparseLcn;
    uint64_t length = 0;
};

// Decodes one attribute record's mapping pairs (`mp`, `len` bytes) starting
// at `lowest_vcn`. Throws Error on a malformed array or a cluster outside
// [0, total_clusters).
std::vector<Run> decode_runs(const uint8_t *mp, size_t len, uint64_t lowest_vcn, uint64_t total_clusters);

// Encodes runs as mapping pairs (the first run's LCN absolute, each later
// one relative to the run before with disk space), with the terminating 0.
std::vector<uint8_t> encode_runs(const std::vector<Run> &runs);

// Fragments of a run list under the kit's rule (see FragCounts in imgkit.h).
uint64_t count_fragments(const std::vector<Run> &runs);

struct Attribute {
    uint32_t type = 0;
    std::u16string name;
    bool nonresident = false;
    uint16_t flags = 0;
    uint64_t data_size = 0;
    uint64_t alloc_size = 0;
    std::vector<uint8_t> value;     // resident value
    std::vector<Run> runs;          // non-resident: all pieces, in VCN order
    std::vector<uint64_t> records;  // records holding the pieces
};

struct FileNameInfo {
    uint64_t parent = 0;
    uint8_t name_space = 0;  // 0 POSIX, 1 Win32, 2 DOS, 3 Win32+DOS
    std::u16string name;
};

struct FileRecord {
    uint64_t number = 0;
    uint16_t flags = 0;
    uint32_t file_attributes = 0;  // from $STANDARD_INFORMATION
    int attr_list = 0;             // 0 none, 1 resident, 2 non-resident
    bool multi_stream = false;     // two $DATA attributes in one record
    std::vector<Attribute> attrs;
    std::vector<FileNameInfo> names;

    const Attribute *find(uint32_t type, const std::u16string &name = u"") const;
    bool is_dir() const { return flags & kRecDirectory; }
};

class NtfsReader {
public:
    explicit NtfsReader(const std::string &image, bool writable = false);

    const Geometry &geometry() const { return geo_; }
    uint64_t record_count() const { return record_count_; }
    ImageFile &file() { return *file_; }

    // The raw record with its update sequence applied. Returns false when the
    // record has no "FILE" signature (never used); throws Error on a torn one.
    bool read_record(uint64_t n, std::vector<uint8_t> &rec);
    // Writes record n back (as read_record gives it: update sequence undone),
    // with its update sequence applied again. The image must be writable.
    void write_record(uint64_t n, std::vector<uint8_t> rec);

    // A base record in use with the attributes of its extension records.
    // Returns nullopt for records not in use and for extension records.
    std::optional<FileRecord> load(uint64_t n);

    // The content of a non-resident attribute (data_size bytes; holes read as 0).
    std::vector<uint8_t> read_nonresident(const Attribute &a);

    std::vector<uint8_t> volume_bitmap();
    std::vector<Run> bitmap_runs();  // where $Bitmap's data lies

    // Volume paths of every base record that has a name ("\dir\file").
    const std::map<uint64_t, std::string> &paths();
    // The record of a volume path; nullopt when no record has it.
    std::optional<uint64_t> lookup(const std::string &path);

    uint64_t cluster_offset(int64_t lcn) const { return uint64_t(lcn) * geo_.cluster_size; }

private:
    void read_vbytes(const std::vector<Run> &runs, uint64_t off, uint8_t *out, size_t len);
    // The image byte of virtual byte `off` of an attribute with these runs.
    uint64_t image_offset(const std::vector<Run> &runs, uint64_t off) const;
    void parse_attrs(const std::vector<uint8_t> &rec, uint64_t n, std::vector<Attribute> &out,
                     std::vector<FileNameInfo> *names, bool &multi);

    std::unique_ptr<ImageFile> file_;
    Geometry geo_;
    std::vector<Run> mft_runs_;
    uint64_t record_count_ = 0;
    std::map<uint64_t, std::string> paths_;
    bool paths_built_ = false;
};

std::string utf16_to_utf8(const std::u16string &s);
std::u16string utf8_to_utf16(const std::string &s);

}  // namespace imgkit::detail
