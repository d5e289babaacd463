#include "ntfs_raw.h"

#include "imgkit/imgkit.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace imgkit::detail {

namespace {

uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t *p) { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }
uint64_t le64(const uint8_t *p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

// Offsets in the boot sector, the record header, attribute records,
// attribute-list entries and $FILE_NAME values.
enum {
    kBsBytesPerSector = 0x0B,
    kBsSectorsPerCluster = 0x0D,
    kBsTotalSectors = 0x28,
    kBsMftLcn = 0x30,
    kBsMftMirrLcn = 0x38,
    kBsClustersPerRecord = 0x40,
    kRecUsaOffset = 0x04,
    kRecUsaCount = 0x06,
    kRecAttrsOffset = 0x14,
    kRecFlags = 0x16,
    kRecBytesInUse = 0x18,
    kRecBaseRecord = 0x20,
    kAttrType = 0x00,
    kAttrLength = 0x04,
    kAttrNonResident = 0x08,
    kAttrNameLength = 0x09,
    kAttrNameOffset = 0x0A,
    kAttrFlags = 0x0C,
    kAttrValueLength = 0x10,
    kAttrValueOffset = 0x14,
    kAttrLowestVcn = 0x10,
    kAttrHighestVcn = 0x18,
    kAttrMappingPairs = 0x20,
    kAttrAllocSize = 0x28,
    kAttrDataSize = 0x30,
    kAleType = 0x00,
    kAleLength = 0x04,
    kAleNameLength = 0x06,
    kAleNameOffset = 0x07,
    kAleLowestVcn = 0x08,
    kAleReference = 0x10,
    kFnParent = 0x00,
    kFnNameLength = 0x40,
    kFnNameSpace = 0x41,
    kFnName = 0x42,
    kSiFileAttributes = 0x20,
};
constexpr uint64_t kRefMask = 0x0000FFFFFFFFFFFFULL;
constexpr uint32_t kUsaStride = 512;

}  // namespace

std::vector<Run> decode_runs(const uint8_t *mp, size_t len, uint64_t lowest_vcn, uint64_t total_clusters) {
    std::vector<Run> out;
    uint64_t vcn = lowest_vcn;
    int64_t lcn = 0;
    size_t i = 0;
    while (i < len && mp[i] != 0) {
        unsigned ls = mp[i] & 0x0F, os = mp[i] >> 4;
        if (ls == 0 || ls > 8 || os > 8 || i + 1 + ls + os > len)
            throw Error(fmt("malformed mapping pairs (header 0x%02x at byte %zu)", mp[i], i));
        uint64_t length = 0;
        for (unsigned k = 0; k < ls; k++) length |= uint64_t(mp[i + 1 + k]) << (8 * k);
        if (ls < 8 && (mp[i + ls] & 0x80)) throw Error(fmt("negative run length at byte %zu", i));
        if (length == 0 || length > total_clusters)
            throw Error(fmt("run length %llu out of range", (unsigned long long)length));
        Run r;
        r.vcn = vcn;
        r.length = length;
        if (os) {
            uint64_t delta = 0;
            for (unsigned k = 0; k < os; k++) delta |= uint64_t(mp[i + 1 + ls + k]) << (8 * k);
            if (os < 8 && (mp[i + ls + os] & 0x80)) delta |= ~uint64_t(0) << (8 * os);
            int64_t d = int64_t(delta);
            if ((d > 0 && lcn > INT64_MAX - d) || lcn + d < 0) throw Error("run starts before cluster 0");
            lcn += d;
            if (uint64_t(lcn) >= total_clusters || length > total_clusters - uint64_t(lcn))
                throw Error(fmt("run %lld+%llu lies outside the volume", (long long)lcn, (unsigned long long)length));
            r.lcn = lcn;
        }
        out.push_back(r);
        vcn += length;
        i += 1 + ls + os;
    }
    return out;
}

std::vector<uint8_t> encode_runs(const std::vector<Run> &runs) {
    // Bytes of a signed little-endian field that holds v.
    auto width = [](int64_t v) {
        unsigned n = 1;
        while (n < 8 && (v < -(int64_t(1) << (8 * n - 1)) || v >= (int64_t(1) << (8 * n - 1)))) n++;
        return n;
    };
    std::vector<uint8_t> out;
    int64_t previous = 0;
    for (const Run &r : runs) {
        unsigned ls = width(int64_t(r.length)), os = 0;
        int64_t delta = 0;
        if (r.lcn >= 0) {
            delta = r.lcn - previous;
            os = width(delta);
            previous = r.lcn;
        }
        out.push_back(uint8_t(ls | os << 4));
        for (unsigned k = 0; k < ls; k++) out.push_back(uint8_t(r.length >> (8 * k)));
        for (unsigned k = 0; k < os; k++) out.push_back(uint8_t(uint64_t(delta) >> (8 * k)));
    }
    out.push_back(0);
    return out;
}

uint64_t count_fragments(const std::vector<Run> &runs) {
    uint64_t frags = 0;
    bool have = false;
    int64_t next = 0;
    for (const Run &r : runs) {
        if (r.lcn < 0) continue;
        if (!have || r.lcn != next) frags++;
        have = true;
        next = r.lcn + int64_t(r.length);
    }
    return frags;
}

const Attribute *FileRecord::find(uint32_t type, const std::u16string &name) const {
    for (const Attribute &a : attrs)
        if (a.type == type && a.name == name) return &a;
    return nullptr;
}

NtfsReader::NtfsReader(const std::string &image, bool writable) : file_(std::make_unique<ImageFile>(image, writable)) {
    uint8_t bs[512];
    file_->read(0, bs, sizeof bs);
    if (memcmp(bs + 3, "NTFS    ", 8) != 0) throw Error(image + ": no NTFS boot sector");
    geo_.sector_size = le16(bs + kBsBytesPerSector);
    unsigned spc = bs[kBsSectorsPerCluster];
    if (spc > 0x80) spc = 1u << (256 - spc);
    if (geo_.sector_size < 256 || geo_.sector_size > 4096 || (geo_.sector_size & (geo_.sector_size - 1)) || spc == 0 ||
        (spc & (spc - 1)))
        throw Error(image + ": bad NTFS geometry in the boot sector");
    geo_.cluster_size = geo_.sector_size * spc;
    int8_t cpr = int8_t(bs[kBsClustersPerRecord]);
    geo_.record_size = cpr > 0 ? uint32_t(cpr) * geo_.cluster_size : 1u << unsigned(-cpr);
    if (geo_.record_size < 512 || geo_.record_size > 65536) throw Error(image + ": bad MFT record size");
    geo_.total_clusters = le64(bs + kBsTotalSectors) / spc;
    geo_.mft_lcn = le64(bs + kBsMftLcn);
    geo_.mftmirr_lcn = le64(bs + kBsMftMirrLcn);
    if (geo_.mft_lcn >= geo_.total_clusters ||
        geo_.total_clusters * geo_.cluster_size > file_->size() + geo_.cluster_size)
        throw Error(image + ": boot sector does not fit the image");

    // Bootstrap: record 0 lies at the MFT's first cluster.
    uint64_t rec_clusters = (geo_.record_size + geo_.cluster_size - 1) / geo_.cluster_size;
    mft_runs_ = {Run{0, int64_t(geo_.mft_lcn), rec_clusters}};
    record_count_ = 1;
    std::vector<uint8_t> rec;
    if (!read_record(0, rec)) throw Error(image + ": MFT record 0 is not a file record");
    std::vector<Attribute> attrs;
    bool multi = false;
    parse_attrs(rec, 0, attrs, nullptr, multi);
    const Attribute *data = nullptr;
    for (auto &a : attrs)
        if (a.type == kAtData && a.name.empty() && a.nonresident) data = &a;
    if (!data) throw Error(image + ": $MFT has no $DATA");
    mft_runs_ = data->runs;
    uint64_t mft_size = data->data_size;
    // An $MFT with an attribute list keeps further pieces in extension records.
    for (auto &a : attrs) {
        if (a.type != kAtAttributeList) continue;
        std::vector<uint8_t> al = a.nonresident ? read_nonresident(a) : a.value;
        std::set<uint64_t> seen;
        for (size_t p = 0; p + 0x1A <= al.size();) {
            uint16_t elen = le16(&al[p + kAleLength]);
            if (elen < 0x1A || p + elen > al.size()) break;
            uint64_t ref = le64(&al[p + kAleReference]) & kRefMask;
            if (le32(&al[p + kAleType]) == kAtData && ref != 0 && seen.insert(ref).second) {
                record_count_ = std::max<uint64_t>(record_count_, ref + 1);
                std::vector<uint8_t> ext;
                if (read_record(ref, ext)) {
                    std::vector<Attribute> ea;
                    parse_attrs(ext, ref, ea, nullptr, multi);
                    for (auto &x : ea)
                        if (x.type == kAtData && x.name.empty())
                            mft_runs_.insert(mft_runs_.end(), x.runs.begin(), x.runs.end());
                }
            }
            p += elen;
        }
        std::sort(mft_runs_.begin(), mft_runs_.end(), [](const Run &x, const Run &y) { return x.vcn < y.vcn; });
    }
    record_count_ = mft_size / geo_.record_size;
}

void NtfsReader::read_vbytes(const std::vector<Run> &runs, uint64_t off, uint8_t *out, size_t len) {
    uint64_t cs = geo_.cluster_size;
    while (len) {
        uint64_t vcn = off / cs;
        const Run *r = nullptr;
        for (const Run &x : runs)
            if (vcn >= x.vcn && vcn < x.vcn + x.length) {
                r = &x;
                break;
            }
        if (!r) throw Error(fmt("virtual byte %llu is not mapped", (unsigned long long)off));
        uint64_t in_run = off - r->vcn * cs;
        size_t take = size_t(std::min<uint64_t>(len, r->length * cs - in_run));
        if (r->lcn < 0)
            memset(out, 0, take);
        else
            file_->read(uint64_t(r->lcn) * cs + in_run, out, take);
        out += take;
        off += take;
        len -= take;
    }
}

bool NtfsReader::read_record(uint64_t n, std::vector<uint8_t> &rec) {
    if (n >= record_count_ && !mft_runs_.empty() && record_count_ > 1)
        throw Error(fmt("MFT record %llu is beyond the MFT", (unsigned long long)n));
    rec.assign(geo_.record_size, 0);
    read_vbytes(mft_runs_, n * geo_.record_size, rec.data(), rec.size());
    if (memcmp(rec.data(), "FILE", 4) != 0) return false;
    uint16_t usa = le16(&rec[kRecUsaOffset]), cnt = le16(&rec[kRecUsaCount]);
    if (cnt < 1 || (cnt - 1) * kUsaStride != geo_.record_size || usa + 2u * cnt > geo_.record_size)
        throw Error(fmt("MFT record %llu: bad update sequence array", (unsigned long long)n));
    uint16_t usn = le16(&rec[usa]);
    for (unsigned i = 1; i < cnt; i++) {
        uint8_t *tail = &rec[i * kUsaStride - 2];
        if (le16(tail) != usn)
            throw Error(
                fmt("MFT record %llu is torn (update sequence mismatch in block %u)", (unsigned long long)n, i));
        memcpy(tail, &rec[usa + 2 * i], 2);
    }
    return true;
}

uint64_t NtfsReader::image_offset(const std::vector<Run> &runs, uint64_t off) const {
    uint64_t cs = geo_.cluster_size, vcn = off / cs;
    for (const Run &x : runs)
        if (vcn >= x.vcn && vcn < x.vcn + x.length && x.lcn >= 0) return uint64_t(x.lcn) * cs + (off - x.vcn * cs);
    throw Error(fmt("virtual byte %llu is not mapped", (unsigned long long)off));
}

void NtfsReader::write_record(uint64_t n, std::vector<uint8_t> rec) {
    if (rec.size() != geo_.record_size || n >= record_count_)
        throw Error(fmt("cannot write MFT record %llu", (unsigned long long)n));
    uint16_t usa = le16(&rec[kRecUsaOffset]), cnt = le16(&rec[kRecUsaCount]);
    for (unsigned i = 1; i < cnt; i++) {
        uint8_t *tail = &rec[i * kUsaStride - 2];
        memcpy(&rec[usa + 2 * i], tail, 2);
        memcpy(tail, &rec[usa], 2);
    }
    // A record lies in whole sectors, which never cross a cluster.
    for (uint64_t done = 0; done < rec.size(); done += geo_.sector_size)
        file_->write(image_offset(mft_runs_, n * geo_.record_size + done), &rec[done], geo_.sector_size);
}

void NtfsReader::parse_attrs(const std::vector<uint8_t> &rec, uint64_t n, std::vector<Attribute> &out,
                             std::vector<FileNameInfo> *names, bool &multi) {
    size_t used = std::min<size_t>(le32(&rec[kRecBytesInUse]), rec.size());
    size_t p = le16(&rec[kRecAttrsOffset]);
    std::set<std::u16string> data_names;
    while (p + 8 <= used) {
        uint32_t type = le32(&rec[p + kAttrType]);
        if (type == kAtEnd) break;
        uint32_t len = le32(&rec[p + kAttrLength]);
        if (len < 0x18 || p + len > used)
            throw Error(fmt("MFT record %llu: attribute at 0x%zx overruns the record", (unsigned long long)n, p));
        const uint8_t *a = &rec[p];
        Attribute at;
        at.type = type;
        at.nonresident = a[kAttrNonResident] != 0;
        at.flags = le16(a + kAttrFlags);
        unsigned nl = a[kAttrNameLength], no = le16(a + kAttrNameOffset);
        if (nl && no + 2u * nl > len)
            throw Error(fmt("MFT record %llu: attribute name overruns", (unsigned long long)n));
        for (unsigned k = 0; k < nl; k++) at.name += char16_t(le16(a + no + 2 * k));
        at.records.push_back(n);
        if (!at.nonresident) {
            uint32_t vl = le32(a + kAttrValueLength);
            uint16_t vo = le16(a + kAttrValueOffset);
            if (vo > len || vl > len - vo)
                throw Error(fmt("MFT record %llu: resident value overruns", (unsigned long long)n));
            at.value.assign(a + vo, a + vo + vl);
            at.data_size = vl;
            if (type == kAtFileName && names && vl >= kFnName) {
                FileNameInfo fn;
                fn.parent = le64(a + vo + kFnParent) & kRefMask;
                fn.name_space = a[vo + kFnNameSpace];
                unsigned fl = a[vo + kFnNameLength];
                if (kFnName + 2u * fl > vl)
                    throw Error(fmt("MFT record %llu: file name overruns", (unsigned long long)n));
                for (unsigned k = 0; k < fl; k++) fn.name += char16_t(le16(a + vo + kFnName + 2 * k));
                names->push_back(fn);
            }
        } else {
            if (len < 0x40) throw Error(fmt("MFT record %llu: short non-resident attribute", (unsigned long long)n));
            uint64_t lowest = le64(a + kAttrLowestVcn);
            uint16_t mpo = le16(a + kAttrMappingPairs);
            if (mpo > len) throw Error(fmt("MFT record %llu: mapping pairs offset overruns", (unsigned long long)n));
            at.alloc_size = le64(a + kAttrAllocSize);
            at.data_size = le64(a + kAttrDataSize);
            try {
                at.runs = decode_runs(a + mpo, len - mpo, lowest, geo_.total_clusters);
            } catch (const Error &e) {
                throw Error(fmt("MFT record %llu, attribute 0x%x: %s", (unsigned long long)n, type, e.what()));
            }
            (void)kAttrHighestVcn;
        }
        if (type == kAtData && !data_names.insert(at.name).second) {
            // The same stream twice in one record is malformed; keep going.
        }
        out.push_back(std::move(at));
        p += len;
    }
    if (data_names.size() > 1) multi = true;
}

std::optional<FileRecord> NtfsReader::load(uint64_t n) {
    std::vector<uint8_t> rec;
    if (!read_record(n, rec)) return std::nullopt;
    FileRecord fr;
    fr.number = n;
    fr.flags = le16(&rec[kRecFlags]);
    if (!(fr.flags & kRecInUse)) return std::nullopt;
    if ((le64(&rec[kRecBaseRecord]) & kRefMask) != 0) return std::nullopt;
    std::vector<Attribute> pieces;
    parse_attrs(rec, n, pieces, &fr.names, fr.multi_stream);

    // Extension records named by the attribute list.
    for (const Attribute &a : std::vector<Attribute>(pieces)) {
        if (a.type != kAtAttributeList) continue;
        fr.attr_list = a.nonresident ? 2 : 1;
        std::vector<uint8_t> al = a.nonresident ? read_nonresident(a) : a.value;
        std::set<uint64_t> seen{n};
        for (size_t p = 0; p + 0x1A <= al.size();) {
            uint16_t elen = le16(&al[p + kAleLength]);
            if (le32(&al[p + kAleType]) == 0) break;
            if (elen < 0x1A || p + elen > al.size())
                throw Error(fmt("MFT record %llu: malformed attribute list entry at %zu", (unsigned long long)n, p));
            uint64_t ref = le64(&al[p + kAleReference]) & kRefMask;
            if (seen.insert(ref).second) {
                std::vector<uint8_t> ext;
                if (ref >= record_count_ || !read_record(ref, ext))
                    throw Error(fmt("MFT record %llu: attribute list names record %llu, which is not a file record",
                                    (unsigned long long)n, (unsigned long long)ref));
                if ((le64(&ext[kRecBaseRecord]) & kRefMask) != n)
                    throw Error(fmt("MFT record %llu: extension record %llu belongs to another base",
                                    (unsigned long long)n, (unsigned long long)ref));
                parse_attrs(ext, ref, pieces, &fr.names, fr.multi_stream);
            }
            p += elen;
        }
    }

    // Merge the pieces of each attribute.
    for (Attribute &piece : pieces) {
        Attribute *into = nullptr;
        for (Attribute &x : fr.attrs)
            if (x.type == piece.type && x.name == piece.name && x.nonresident && piece.nonresident) into = &x;
        if (!into || piece.type == kAtFileName) {
            fr.attrs.push_back(std::move(piece));
            continue;
        }
        bool first = piece.runs.empty() || into->runs.empty() || piece.runs.front().vcn < into->runs.front().vcn;
        if (first) {  // sizes live in the piece starting at VCN 0
            into->data_size = piece.data_size;
            into->alloc_size = piece.alloc_size;
            into->flags = piece.flags;
        }
        into->runs.insert(into->runs.end(), piece.runs.begin(), piece.runs.end());
        into->records.insert(into->records.end(), piece.records.begin(), piece.records.end());
    }
    for (Attribute &x : fr.attrs) {
        std::stable_sort(x.runs.begin(), x.runs.end(), [](const Run &a, const Run &b) { return a.vcn < b.vcn; });
        std::sort(x.records.begin(), x.records.end());
        x.records.erase(std::unique(x.records.begin(), x.records.end()), x.records.end());
    }
    if (const Attribute *si = fr.find(kAtStandardInformation); si && si->value.size() >= kSiFileAttributes + 4)
        fr.file_attributes = le32(&si->value[kSiFileAttributes]);
    return fr;
}

std::vector<uint8_t> NtfsReader::read_nonresident(const Attribute &a) {
    if (a.data_size > (uint64_t(1) << 32)) throw Error("attribute too large to read");
    std::vector<uint8_t> out(a.data_size);
    if (!out.empty()) read_vbytes(a.runs, 0, out.data(), out.size());
    return out;
}

std::vector<Run> NtfsReader::bitmap_runs() {
    auto rec = load(6);
    if (!rec) throw Error("$Bitmap record is not in use");
    const Attribute *d = rec->find(kAtData);
    if (!d || !d->nonresident) throw Error("$Bitmap has no non-resident $DATA");
    return d->runs;
}

std::vector<uint8_t> NtfsReader::volume_bitmap() {
    auto rec = load(6);
    if (!rec) throw Error("$Bitmap record is not in use");
    const Attribute *d = rec->find(kAtData);
    if (!d) throw Error("$Bitmap has no $DATA");
    std::vector<uint8_t> bm = d->nonresident ? read_nonresident(*d) : d->value;
    if (bm.size() * 8 < geo_.total_clusters) throw Error("$Bitmap is shorter than the volume");
    return bm;
}

const std::map<uint64_t, std::string> &NtfsReader::paths() {
    if (paths_built_) return paths_;
    struct Node {
        uint64_t parent;
        std::u16string name;
    };
    std::map<uint64_t, Node> nodes;
    for (uint64_t n = 0; n < record_count_; n++) {
        std::optional<FileRecord> fr;
        try {
            fr = load(n);
        } catch (const Error &) {
            continue;
        }
        if (!fr) continue;
        const FileNameInfo *best = nullptr;
        for (auto &fn : fr->names) {
            if (fn.name_space == 2) continue;
            if (!best || (best->name_space == 0 && fn.name_space != 0)) best = &fn;
        }
        if (!best && !fr->names.empty()) best = &fr->names.front();
        if (best) nodes[n] = Node{best->parent, best->name};
    }
    for (auto &[n, node] : nodes) {
        if (n == 5) {
            paths_[n] = "\\";
            continue;
        }
        std::string path;
        uint64_t cur = n;
        int depth = 0;
        bool ok = true;
        while (cur != 5) {
            auto it = nodes.find(cur);
            if (it == nodes.end() || ++depth > 512) {
                ok = false;
                break;
            }
            path = "\\" + utf16_to_utf8(it->second.name) + path;
            cur = it->second.parent;
        }
        if (ok) paths_[n] = path;
    }
    paths_built_ = true;
    return paths_;
}

std::optional<uint64_t> NtfsReader::lookup(const std::string &path) {
    for (auto &[n, p] : paths())
        if (p == path) return n;
    return std::nullopt;
}

std::string utf16_to_utf8(const std::u16string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        }
        if (c < 0x80)
            out += char(c);
        else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18);
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string utf8_to_utf16(const std::string &s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        uint8_t b = uint8_t(s[i]);
        uint32_t c;
        int extra;
        if (b < 0x80) {
            c = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else
            throw Error("invalid UTF-8 in a name");
        if (extra && i + size_t(extra) >= s.size()) throw Error("truncated UTF-8 in a name");
        for (int k = 1; k <= extra; k++) {
            uint8_t cb = uint8_t(s[i + k]);
            if ((cb & 0xC0) != 0x80) throw Error("invalid UTF-8 in a name");
            c = c << 6 | (cb & 0x3F);
        }
        i += size_t(extra) + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
    }
    return out;
}

}  // namespace imgkit::detail

namespace imgkit {

void ntfs_move_first_run(const std::string &image, const std::string &path, int64_t lcn) {
    using namespace detail;
    NtfsReader r(image, true);
    std::optional<uint64_t> n = r.lookup(path);
    if (!n) throw Error(path + ": no such file");
    std::vector<uint8_t> rec;
    if (!r.read_record(*n, rec)) throw Error(path + ": its record is not a file record");
    size_t used = std::min<size_t>(le32(&rec[kRecBytesInUse]), rec.size());
    for (size_t p = le16(&rec[kRecAttrsOffset]); p + 8 <= used;) {
        uint8_t *a = &rec[p];
        uint32_t type = le32(a + kAttrType), len = le32(a + kAttrLength);
        if (type == kAtEnd || len < 0x18 || p + len > used) break;
        if (type == kAtData && a[kAttrNameLength] == 0 && a[kAttrNonResident] && le64(a + kAttrLowestVcn) == 0) {
            uint16_t mpo = le16(a + kAttrMappingPairs);
            if (mpo >= len) break;
            // The runs as they are, read without the volume's bounds.
            std::vector<Run> runs = decode_runs(a + mpo, len - mpo, 0, UINT64_MAX / 2);
            auto first = std::find_if(runs.begin(), runs.end(), [](const Run &x) { return x.lcn >= 0; });
            if (first == runs.end()) throw Error(path + ": its data has no cluster on disk");
            first->lcn = lcn;
            std::vector<uint8_t> pairs = encode_runs(runs);
            if (pairs.size() > len - mpo) throw Error(path + ": the new mapping pairs do not fit the attribute");
            memset(a + mpo, 0, len - mpo);
            memcpy(a + mpo, pairs.data(), pairs.size());
            r.write_record(*n, rec);
            return;
        }
        p += len;
    }
    throw Error(path + ": no non-resident $DATA in its base record");
}

}  // namespace imgkit
