// The platform's own NTFS reader (see ntfs_reader.h).
#include "ntfs_reader.h"

#include <ntp/host.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace ntp::ntfs {
namespace {

bool power_of_two(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool fail(std::string *why, const char *text) {
    if (why) *why = text;
    return false;
}

// Size in bytes of an MFT or index record from its boot-sector encoding:
// positive = clusters, negative = a power of two of bytes.
bool record_size(int8_t encoded, uint32_t bytes_per_cluster, uint32_t *size) {
    uint64_t bytes;
    if (encoded > 0) {
        bytes = uint64_t(encoded) * bytes_per_cluster;
    } else if (encoded < 0 && encoded >= -31) {
        bytes = uint64_t(1) << -encoded;
    } else {
        return false;
    }
    if (!power_of_two(bytes) || bytes < kUsaStride || bytes > 65536) return false;
    *size = uint32_t(bytes);
    return true;
}

// A little-endian signed number of `size` (1..8) bytes.
int64_t read_signed(const uint8_t *p, unsigned size) {
    uint64_t v = 0;
    for (unsigned i = 0; i < size; ++i) v |= uint64_t(p[i]) << (8 * i);
    if (size < 8 && (p[size - 1] & 0x80)) v |= ~uint64_t(0) << (8 * size);
    return int64_t(v);
}

}  // namespace

// ------------------------------------------------------------ boot sector
bool parse_boot_sector(const uint8_t *sector, uint64_t volume_size, Geometry *g, std::string *why, bool *not_ntfs) {
    BootSector bs;
    std::memcpy(&bs, sector, sizeof bs);
    *not_ntfs = false;
    if (std::memcmp(bs.oem_id, "NTFS    ", 8) != 0) {
        *not_ntfs = true;
        return fail(why, "no NTFS signature");
    }
    Geometry r;
    r.bytes_per_sector = le16(bs.bytes_per_sector);
    if (r.bytes_per_sector < 256 || r.bytes_per_sector > 4096 || !power_of_two(r.bytes_per_sector))
        return fail(why, "bad bytes per sector");
    uint8_t spc = bs.sectors_per_cluster;
    if (spc <= 0x80) {
        if (!power_of_two(spc)) return fail(why, "bad sectors per cluster");
        r.sectors_per_cluster = spc;
    } else {
        // Large clusters: the field holds a negative shift.
        unsigned shift = 256u - spc;
        if (shift > 20) return fail(why, "bad sectors per cluster");
        r.sectors_per_cluster = 1u << shift;
    }
    uint64_t cluster = uint64_t(r.bytes_per_sector) * r.sectors_per_cluster;
    if (cluster > (2u << 20)) return fail(why, "clusters larger than 2 MB");
    r.bytes_per_cluster = uint32_t(cluster);
    if (!record_size(bs.clusters_per_mft_record, r.bytes_per_cluster, &r.bytes_per_record))
        return fail(why, "bad MFT record size");
    if (!record_size(bs.clusters_per_index_record, r.bytes_per_cluster, &r.bytes_per_index_record))
        return fail(why, "bad index record size");
    r.clusters_per_record = r.bytes_per_record >= r.bytes_per_cluster ? r.bytes_per_record / r.bytes_per_cluster : 0;
    r.total_sectors = le64(bs.total_sectors);
    r.total_clusters = r.total_sectors / r.sectors_per_cluster;
    r.mft_lcn = le64(bs.mft_lcn);
    r.mftmirr_lcn = le64(bs.mftmirr_lcn);
    r.serial = le64(bs.volume_serial);
    if (r.total_clusters == 0) return fail(why, "no clusters");
    if (r.total_sectors > std::numeric_limits<uint64_t>::max() / r.bytes_per_sector ||
        r.total_sectors * r.bytes_per_sector > volume_size)
        return fail(why, "the volume is shorter than its boot sector says (truncated image)");
    if (r.mft_lcn >= r.total_clusters || r.mftmirr_lcn >= r.total_clusters) return fail(why, "MFT outside the volume");
    *g = r;
    return true;
}

void mft_zone(const Geometry &g, uint64_t mft_lcn, int64_t *zone_start, int64_t *zone_end) {
    const int64_t total = int64_t(g.total_clusters);
    const int64_t cs = g.bytes_per_cluster;
    int64_t size = total >> 3;  // default multiplier: 12.5 %
    int64_t start = int64_t(mft_lcn);
    // Where a fresh format puts the MFT: a zone that starts there (or
    // before) also covers the start of the volume.
    int64_t fresh = (8192 + 2 * cs - 1) / cs;
    if (fresh * cs < 16 * 1024) fresh = (16 * 1024 + cs - 1) / cs;
    if (start <= fresh) start = 0;
    int64_t end = int64_t(mft_lcn) + size;
    while (end >= total && size > 0) {
        size >>= 1;
        end = int64_t(mft_lcn) + size;
    }
    *zone_start = start;
    *zone_end = end;
}

// --------------------------------------------------------------- records
bool remove_fixups(uint8_t *record, size_t size) {
    if (size < kUsaStride || size % kUsaStride) return false;
    const uint16_t usa_offset = le16(record + 4);
    const uint16_t usa_count = le16(record + 6);
    if (usa_count != size / kUsaStride + 1) return false;
    if (usa_offset < 8 || (usa_offset & 1) || size_t(usa_offset) + 2u * usa_count > kUsaStride - 2) return false;
    const uint8_t *usa = record + usa_offset;
    const uint16_t usn = le16(usa);
    for (size_t i = 1; i < usa_count; ++i)
        if (le16(record + i * kUsaStride - 2) != usn) return false;
    for (size_t i = 1; i < usa_count; ++i) std::memcpy(record + i * kUsaStride - 2, usa + 2 * i, 2);
    return true;
}

bool parse_attributes(const uint8_t *record, size_t size, std::vector<Attribute> *out, std::string *why) {
    out->clear();
    if (size < sizeof(FileRecordHeader)) return fail(why, "record too small");
    if (std::memcmp(record, "FILE", 4) != 0) return fail(why, "no FILE signature");
    const size_t first = le16(record + offsetof(FileRecordHeader, attrs_offset));
    size_t limit = le32(record + offsetof(FileRecordHeader, bytes_in_use));
    if (limit > size) return fail(why, "bytes in use past the record");
    if (first < 0x18 || first >= limit) return fail(why, "bad first attribute offset");
    size_t pos = first;
    for (;;) {
        if (pos + 4 > limit) return fail(why, "attributes run past the record");
        const uint8_t *p = record + pos;
        uint32_t type = le32(p);
        if (type == kAttrEnd) break;
        if (pos + kResidentHeaderSize > limit) return fail(why, "attribute header past the record");
        Attribute a;
        a.p = p;
        a.type = type;
        a.length = le32(p + 4);
        if (a.length < kResidentHeaderSize || a.length > limit - pos || (a.length & 7))
            return fail(why, "bad attribute length");
        a.non_resident = p[8] != 0;
        const unsigned name_length = p[9];
        const unsigned name_offset = le16(p + 0x0A);
        if (name_length && size_t(name_offset) + 2u * name_length > a.length)
            return fail(why, "attribute name past the attribute");
        for (unsigned i = 0; i < name_length; ++i) a.name += char16_t(le16(p + name_offset + 2 * i));
        a.instance = le16(p + 0x0E);
        if (!a.non_resident) {
            a.value_length = le32(p + 0x10);
            const uint32_t value_offset = le16(p + 0x14);
            if (value_offset > a.length || a.value_length > a.length - value_offset)
                return fail(why, "resident value past the attribute");
            a.value = p + value_offset;
        } else {
            if (a.length < kNonResidentHeaderSize) return fail(why, "short non-resident attribute");
            a.lowest_vcn = int64_t(le64(p + 0x10));
            a.highest_vcn = int64_t(le64(p + 0x18));
            const uint32_t pairs = le16(p + 0x20);
            a.allocated_size = int64_t(le64(p + 0x28));
            a.data_size = int64_t(le64(p + 0x30));
            a.initialized_size = int64_t(le64(p + 0x38));
            if (pairs < kNonResidentHeaderSize || pairs > a.length)
                return fail(why, "mapping pairs past the attribute");
            if (a.lowest_vcn < 0 || a.highest_vcn < a.lowest_vcn - 1) return fail(why, "bad VCN range");
            a.mapping_pairs = p + pairs;
            a.mapping_pairs_length = a.length - pairs;
            if (a.lowest_vcn == 0 && (a.data_size < 0 || a.initialized_size < 0 || a.allocated_size < 0 ||
                                      a.initialized_size > a.data_size || a.data_size > a.allocated_size))
                return fail(why, "bad attribute sizes");
        }
        pos += a.length;
        out->push_back(std::move(a));
    }
    return true;
}

// ------------------------------------------------------------- run lists
bool decode_runs(const uint8_t *pairs, size_t length, int64_t lowest_vcn, int64_t highest_vcn, uint64_t total_clusters,
                 std::vector<Run> *runs, std::string *why) {
    int64_t vcn = lowest_vcn;
    int64_t lcn = 0;
    size_t pos = 0;
    const int64_t total = int64_t(total_clusters);
    while (pos < length && pairs[pos] != 0) {
        const unsigned length_size = pairs[pos] & 0x0F;
        const unsigned offset_size = pairs[pos] >> 4;
        if (length_size == 0 || length_size > 8 || offset_size > 8) return fail(why, "bad mapping pair header");
        if (1 + length_size + offset_size > length - pos) return fail(why, "mapping pair past the attribute");
        const int64_t count = read_signed(pairs + pos + 1, length_size);
        if (count <= 0) return fail(why, "run of no clusters");
        Run run;
        run.vcn = vcn;
        run.length = count;
        if (offset_size) {
            const int64_t delta = read_signed(pairs + pos + 1 + length_size, offset_size);
            if ((delta > 0 && lcn > total - delta) || (delta < 0 && lcn + delta < 0))
                return fail(why, "run outside the volume");
            lcn += delta;
            if (lcn < 0 || lcn >= total || count > total - lcn) return fail(why, "run outside the volume");
            run.lcn = lcn;
        }
        if (count > std::numeric_limits<int64_t>::max() - vcn) return fail(why, "VCN overflow");
        vcn += count;
        if (vcn - 1 > highest_vcn) return fail(why, "runs past the highest VCN");
        runs->push_back(run);
        pos += 1 + length_size + offset_size;
    }
    if (vcn != highest_vcn + 1) return fail(why, "runs do not reach the highest VCN");
    return true;
}

// ------------------------------------------------------------- the view
NTSTATUS MftView::corrupt(const std::string &why) const {
    why_ = why;
    return STATUS_DISK_CORRUPT_ERROR;
}

NTSTATUS MftView::read_runs(const std::vector<Run> &runs, uint64_t offset, size_t length, uint8_t *out) const {
    const uint64_t cs = g_.bytes_per_cluster;
    // First run that ends after the offset.
    auto it = std::upper_bound(runs.begin(), runs.end(), offset / cs,
                               [](uint64_t vcn, const Run &r) { return vcn < uint64_t(r.vcn + r.length); });
    while (length) {
        if (it == runs.end()) return corrupt("data past the end of its run list");
        const uint64_t vcn = offset / cs;
        if (vcn < uint64_t(it->vcn)) return corrupt("gap in a run list");
        const uint64_t run_end = uint64_t(it->vcn + it->length) * cs;
        const size_t chunk = size_t(std::min<uint64_t>(length, run_end - offset));
        if (it->lcn == kSparseLcn) {
            std::memset(out, 0, chunk);
        } else {
            const uint64_t disk = uint64_t(it->lcn) * cs + (offset - uint64_t(it->vcn) * cs);
            NTSTATUS st = read_(disk, out, chunk);
            if (!NT_SUCCESS(st)) return st;
        }
        out += chunk;
        offset += chunk;
        length -= chunk;
        ++it;
    }
    return STATUS_SUCCESS;
}

NTSTATUS MftView::read_record_raw(uint64_t n, std::vector<uint8_t> *record) const {
    const uint64_t size = g_.bytes_per_record;
    const std::vector<Run> &runs = bootstrapping_ ? bootstrap_runs_ : mft_.runs;
    if (!bootstrapping_ && n >= record_count_) return corrupt("record past the end of the MFT");
    if (n > std::numeric_limits<uint64_t>::max() / size) return corrupt("record number out of range");
    record->resize(size);
    return read_runs(runs, n * size, size, record->data());
}

NTSTATUS MftView::read_record(uint64_t n, std::vector<uint8_t> *record) const {
    NTSTATUS st = read_record_raw(n, record);
    if (!NT_SUCCESS(st)) return st;
    if (std::memcmp(record->data(), "FILE", 4) != 0) {
        why_ = "record " + std::to_string(n) + " has no FILE signature";
        return STATUS_FILE_CORRUPT_ERROR;
    }
    if (!remove_fixups(record->data(), record->size())) {
        why_ = "record " + std::to_string(n) + " fails its update-sequence check (torn write)";
        return STATUS_FILE_CORRUPT_ERROR;
    }
    return STATUS_SUCCESS;
}

NTSTATUS MftView::gather(uint64_t n, const std::vector<uint8_t> &base, uint32_t type, AttributeValue *value,
                         bool bootstrap) const {
    std::string why;
    std::vector<Attribute> attrs;
    if (!parse_attributes(base.data(), base.size(), &attrs, &why))
        return corrupt("record " + std::to_string(n) + ": " + why);

    // The pieces of the attribute: (record holding it, its attributes index).
    struct Piece {
        std::vector<uint8_t> record;  // empty: the base record
        Attribute attr;
    };
    std::vector<Piece> pieces;

    const Attribute *list = nullptr;
    for (const Attribute &a : attrs)
        if (a.type == kAttrAttributeList) list = &a;

    if (!list) {
        for (const Attribute &a : attrs)
            if (a.type == type && a.name.empty()) {
                pieces.push_back({{}, a});
                break;
            }
    } else {
        // The list's own value (resident, or in clusters named by the base record).
        std::vector<uint8_t> entries;
        if (!list->non_resident) {
            entries.assign(list->value, list->value + list->value_length);
        } else {
            if (list->lowest_vcn != 0 || list->data_size > (1 << 20)) return corrupt("bad attribute list");
            std::vector<Run> runs;
            if (!decode_runs(list->mapping_pairs, list->mapping_pairs_length, 0, list->highest_vcn, g_.total_clusters,
                             &runs, &why))
                return corrupt("attribute list of record " + std::to_string(n) + ": " + why);
            entries.resize(size_t(list->data_size));
            NTSTATUS st = read_runs(runs, 0, entries.size(), entries.data());
            if (!NT_SUCCESS(st)) return st;
        }
        std::vector<AttributeListEntry> wanted;
        for (size_t pos = 0; pos + sizeof(AttributeListEntry) <= entries.size();) {
            AttributeListEntry e;
            std::memcpy(&e, entries.data() + pos, sizeof e);
            if (e.length < sizeof(AttributeListEntry) || e.length > entries.size() - pos ||
                size_t(e.name_offset) + 2u * e.name_length > e.length)
                return corrupt("bad attribute list entry in record " + std::to_string(n));
            if (e.type == type && e.name_length == 0) wanted.push_back(e);
            pos += e.length;
        }
        pieces.reserve(wanted.size());  // attributes point into the pieces' records: no reallocation
        std::stable_sort(wanted.begin(), wanted.end(), [](const AttributeListEntry &a, const AttributeListEntry &b) {
            return a.lowest_vcn < b.lowest_vcn;
        });
        for (const AttributeListEntry &e : wanted) {
            const uint64_t holder = e.mft_reference & kMftReferenceMask;
            Piece piece;
            const std::vector<Attribute> *in = &attrs;
            std::vector<Attribute> ext_attrs;
            if (holder != n) {
                if (bootstrap) bootstrap_runs_ = value->runs;  // the MFT runs gathered so far
                NTSTATUS st = read_record(holder, &piece.record);
                if (st == STATUS_FILE_CORRUPT_ERROR) return corrupt(why_);
                if (!NT_SUCCESS(st)) return st;
                const FileRecordHeader *h = reinterpret_cast<const FileRecordHeader *>(piece.record.data());
                if (!(h->flags & kRecordInUse) || (h->base_mft_record & kMftReferenceMask) != n)
                    return corrupt("extension record " + std::to_string(holder) + " does not belong to record " +
                                   std::to_string(n));
                if (!parse_attributes(piece.record.data(), piece.record.size(), &ext_attrs, &why))
                    return corrupt("record " + std::to_string(holder) + ": " + why);
                in = &ext_attrs;
            }
            const Attribute *found = nullptr;
            for (const Attribute &a : *in)
                if (a.type == type && a.name.empty() && a.instance == e.instance) found = &a;
            if (!found) return corrupt("attribute list names an attribute record " + std::to_string(holder) + " lacks");
            piece.attr = *found;
            // The attribute points into piece.record, whose buffer moves
            // along with the vector that owns it.
            pieces.push_back(std::move(piece));
            Piece &moved = pieces.back();
            if (bootstrap && moved.attr.non_resident) {
                // Grow the run list now, so the next extension record can be read.
                if (moved.attr.lowest_vcn !=
                    (value->runs.empty() ? 0 : value->runs.back().vcn + value->runs.back().length))
                    return corrupt("MFT data extents out of order");
                if (!decode_runs(moved.attr.mapping_pairs, moved.attr.mapping_pairs_length, moved.attr.lowest_vcn,
                                 moved.attr.highest_vcn, g_.total_clusters, &value->runs, &why))
                    return corrupt("MFT data: " + why);
                value->non_resident = true;
            }
        }
    }
    if (pieces.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;

    const Attribute &first = pieces.front().attr;
    if (!first.non_resident) {
        if (pieces.size() != 1) return corrupt("resident attribute in several pieces");
        value->non_resident = false;
        value->resident.assign(first.value, first.value + first.value_length);
        value->data_size = value->initialized_size = value->allocated_size = first.value_length;
        return STATUS_SUCCESS;
    }
    if (first.lowest_vcn != 0) return corrupt("attribute without its first extent");
    value->non_resident = true;
    value->data_size = first.data_size;
    value->initialized_size = first.initialized_size;
    value->allocated_size = first.allocated_size;
    if (!(bootstrap && list)) {
        value->runs.clear();
        int64_t next = 0;
        for (const Piece &piece : pieces) {
            const Attribute &a = piece.attr;
            if (!a.non_resident || a.lowest_vcn != next) return corrupt("attribute extents out of order");
            if (!decode_runs(a.mapping_pairs, a.mapping_pairs_length, a.lowest_vcn, a.highest_vcn, g_.total_clusters,
                             &value->runs, &why))
                return corrupt("record " + std::to_string(n) + ": " + why);
            next = a.highest_vcn + 1;
        }
    }
    const uint64_t mapped = value->runs.empty() ? 0 : uint64_t(value->runs.back().vcn + value->runs.back().length);
    if (uint64_t(value->data_size) > mapped * g_.bytes_per_cluster)
        return corrupt("record " + std::to_string(n) + ": run list shorter than the data");
    return STATUS_SUCCESS;
}

NTSTATUS MftView::open() {
    const uint64_t size = g_.bytes_per_record;
    // Record 0 lies at the MFT's first cluster; it is read from there before
    // the run list that maps it is known, then checked against that list.
    bootstrapping_ = true;
    bootstrap_runs_.assign(
        1, Run{0, int64_t(g_.mft_lcn),
               int64_t(std::max<uint64_t>(1, (size + g_.bytes_per_cluster - 1) / g_.bytes_per_cluster))});
    if (g_.mft_lcn + uint64_t(bootstrap_runs_[0].length) > g_.total_clusters) {
        bootstrapping_ = false;
        return corrupt("MFT outside the volume");
    }
    std::vector<uint8_t> rec0;
    NTSTATUS st = read_record(0, &rec0);
    if (!NT_SUCCESS(st)) {
        bootstrapping_ = false;
        return st == STATUS_FILE_CORRUPT_ERROR ? corrupt("MFT record 0: " + why_) : st;
    }
    st = gather(0, rec0, kAttrData, &mft_, true);
    bootstrapping_ = false;
    if (st == STATUS_OBJECT_NAME_NOT_FOUND) return corrupt("MFT record 0 has no data attribute");
    if (!NT_SUCCESS(st)) return st;
    if (!mft_.non_resident || mft_.runs.empty() || mft_.runs[0].lcn != int64_t(g_.mft_lcn) ||
        uint64_t(mft_.runs[0].length) * g_.bytes_per_cluster < size)
        return corrupt("MFT data does not start where the boot sector says");
    record_count_ = uint64_t(mft_.initialized_size) / size;
    if (record_count_ < kFirstUserRecord) return corrupt("MFT holds too few records");
    st = gather(0, rec0, kAttrBitmap, &bitmap_, false);
    if (st == STATUS_OBJECT_NAME_NOT_FOUND) return corrupt("MFT record 0 has no bitmap attribute");
    return st;
}

NTSTATUS MftView::read_value(const AttributeValue &value, uint64_t offset, size_t length, uint8_t *out) const {
    if (offset > uint64_t(value.data_size) || length > uint64_t(value.data_size) - offset)
        return corrupt("read past the end of an attribute");
    if (length == 0) return STATUS_SUCCESS;
    if (!value.non_resident) {
        std::memcpy(out, value.resident.data() + offset, length);
        return STATUS_SUCCESS;
    }
    const uint64_t init = uint64_t(value.initialized_size);
    size_t direct = offset >= init ? 0 : size_t(std::min<uint64_t>(length, init - offset));
    if (direct) {
        NTSTATUS st = read_runs(value.runs, offset, direct, out);
        if (!NT_SUCCESS(st)) return st;
    }
    std::memset(out + direct, 0, length - direct);
    return STATUS_SUCCESS;
}

NTSTATUS MftView::bitmap_bytes(uint64_t offset, size_t length, uint8_t *out) const {
    const uint64_t size = uint64_t(bitmap_.data_size);
    size_t inside = offset >= size ? 0 : size_t(std::min<uint64_t>(length, size - offset));
    if (inside) {
        NTSTATUS st = read_value(bitmap_, offset, inside, out);
        if (!NT_SUCCESS(st)) return st;
    }
    std::memset(out + inside, 0, length - inside);
    return STATUS_SUCCESS;
}

NTSTATUS MftView::record_bit(uint64_t n, bool *in_use) const {
    uint8_t byte;
    NTSTATUS st = bitmap_bytes(n / 8, 1, &byte);
    if (!NT_SUCCESS(st)) return st;
    *in_use = (byte >> (n % 8)) & 1;
    return STATUS_SUCCESS;
}

NTSTATUS MftView::attribute(uint64_t n, uint32_t type, AttributeValue *value) const {
    std::vector<uint8_t> record;
    NTSTATUS st = read_record(n, &record);
    if (st == STATUS_FILE_CORRUPT_ERROR) return corrupt(why_);
    if (!NT_SUCCESS(st)) return st;
    const FileRecordHeader *h = reinterpret_cast<const FileRecordHeader *>(record.data());
    if (!(h->flags & kRecordInUse)) return corrupt("record " + std::to_string(n) + " is not in use");
    return gather(n, record, type, value, false);
}

}  // namespace ntp::ntfs

namespace ntp {

void ntfs_mft_zone(uint64_t total_clusters, uint32_t bytes_per_cluster, uint64_t mft_lcn, int64_t *zone_start,
                   int64_t *zone_end) {
    ntfs::Geometry g;
    g.total_clusters = total_clusters;
    g.bytes_per_cluster = bytes_per_cluster;
    ntfs::mft_zone(g, mft_lcn, zone_start, zone_end);
}

}  // namespace ntp
