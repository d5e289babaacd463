// The reference side of the image tests, through libntfs-3g and ntfsls.
#include "ntfs3g_reference.h"

#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/mst.h>
#include <ntfs-3g/runlist.h>
#include <ntfs-3g/volume.h>
}
#undef min
#undef max

#include <cstring>

namespace ntfsref {

static std::vector<Run> Decode(ntfs_volume *vol, ATTR_RECORD *a) {
    std::vector<Run> runs;
    runlist_element *rl = ntfs_mapping_pairs_decompress(vol, a, nullptr);
    if (!rl) return runs;
    for (runlist_element *r = rl; r->length; r++) {
        if (r->lcn == LCN_RL_NOT_MAPPED) continue;  // the VCNs before this piece
        runs.push_back({r->lcn < 0 ? -1 : (int64_t)r->lcn, (int64_t)r->length});
    }
    free(rl);
    return runs;
}

static std::vector<Piece> Pieces(ntfs_volume *vol, ntfs_inode *ni, ATTR_TYPES type) {
    std::vector<Piece> pieces;
    ntfs_attr_search_ctx *ctx = ntfs_attr_get_search_ctx(ni, nullptr);
    if (!ctx) return pieces;
    while (!ntfs_attr_lookup(type, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
        Piece p;
        p.record = ctx->ntfs_ino->mft_no;
        p.resident = !ctx->attr->non_resident;
        if (!p.resident) p.runs = Decode(vol, ctx->attr);
        pieces.push_back(p);
    }
    ntfs_attr_put_search_ctx(ctx);
    return pieces;
}

// The value of the attribute `a` of ni (its name taken from the record).
static std::vector<uint8_t> Value(ntfs_inode *ni, ATTR_RECORD *a) {
    std::vector<uint8_t> value;
    ntfschar *name = (ntfschar *)((uint8_t *)a + le16_to_cpu(a->name_offset));
    ntfs_attr *na = ntfs_attr_open(ni, a->type, a->name_length ? name : AT_UNNAMED, a->name_length);
    if (!na) return value;
    value.resize((size_t)na->data_size);
    if (ntfs_attr_pread(na, 0, na->data_size, value.data()) != na->data_size) value.clear();
    ntfs_attr_close(na);
    return value;
}

// The non-resident attributes of ni other than $DATA and $INDEX_ALLOCATION,
// its attribute list first, then in lookup order.
static std::vector<Other> Others(ntfs_volume *vol, ntfs_inode *ni) {
    std::vector<Other> others;
    ntfs_attr_search_ctx *ctx = ntfs_attr_get_search_ctx(ni, nullptr);
    if (!ctx) return others;
    while (!ntfs_attr_lookup(AT_UNUSED, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
        ATTR_RECORD *a = ctx->attr;
        if (a->type == AT_DATA || a->type == AT_INDEX_ALLOCATION || !a->non_resident) continue;
        Other o;
        o.type = le32_to_cpu(a->type);
        o.record = ctx->ntfs_ino->mft_no;
        o.runs = Decode(vol, a);
        if (a->lowest_vcn == 0) o.value = Value(ni, a);
        if (a->type == AT_ATTRIBUTE_LIST)
            others.insert(others.begin(), o);
        else
            others.push_back(o);
    }
    ntfs_attr_put_search_ctx(ctx);
    if (ni->attr_list && (others.empty() || others.front().type != le32_to_cpu(AT_ATTRIBUTE_LIST))) {
        // The attribute list is not among the attributes it lists.
        ctx = ntfs_attr_get_search_ctx(ni, nullptr);
        if (ctx && !ntfs_attr_lookup(AT_ATTRIBUTE_LIST, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) &&
            ctx->attr->non_resident) {
            Other o;
            o.type = le32_to_cpu(AT_ATTRIBUTE_LIST);
            o.record = ni->mft_no;
            o.runs = Decode(vol, ctx->attr);
            o.value.assign(ni->attr_list, ni->attr_list + ni->attr_list_size);
            others.insert(others.begin(), o);
        }
        if (ctx) ntfs_attr_put_search_ctx(ctx);
    }
    return others;
}

Volume Load(const std::string &image) {
    Volume v;
    ntfs_volume *vol = ntfs_mount(image.c_str(), NTFS_MNT_RDONLY);
    if (!vol) {
        v.error = "ntfs_mount failed";
        return v;
    }
    v.clusterSize = vol->cluster_size;
    v.recordSize = vol->mft_record_size;
    s64 count = vol->mft_na->initialized_size / vol->mft_record_size;
    v.mft.resize((size_t)count * v.recordSize);
    if (ntfs_attr_pread(vol->mft_na, 0, (s64)v.mft.size(), v.mft.data()) != (s64)v.mft.size()) {
        v.error = "cannot read the MFT";
        ntfs_umount(vol, FALSE);
        return v;
    }
    v.mftFixed = v.mft;
    v.mftFixedOk.assign((size_t)count, false);
    for (s64 i = 0; i < count; i++) {
        NTFS_RECORD *r = (NTFS_RECORD *)&v.mftFixed[(size_t)i * v.recordSize];
        if (memcmp(r, "FILE", 4) == 0) v.mftFixedOk[(size_t)i] = ntfs_mst_post_read_fixup(r, v.recordSize) == 0;
    }
    if (ntfs_attr_map_whole_runlist(vol->mft_na) == 0)
        for (runlist_element *r = vol->mft_na->rl; r && r->length; r++)
            if (r->lcn >= 0) v.mftRuns.push_back({r->lcn, r->length});

    for (s64 i = 0; i < count; i++) {
        const MFT_RECORD *m = (const MFT_RECORD *)&v.mftFixed[(size_t)i * v.recordSize];
        if (!v.mftFixedOk[(size_t)i] || !(m->flags & MFT_RECORD_IN_USE) || m->base_mft_record) continue;
        ntfs_inode *ni = ntfs_inode_open(vol, (MFT_REF)i);
        if (!ni) continue;
        Record rec;
        rec.number = (uint64_t)i;
        rec.directory = (m->flags & MFT_RECORD_IS_DIRECTORY) != 0;
        ntfs_attr_search_ctx *ctx = ntfs_attr_get_search_ctx(ni, nullptr);
        if (ctx && !ntfs_attr_lookup(AT_STANDARD_INFORMATION, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
            const STANDARD_INFORMATION *si =
                (const STANDARD_INFORMATION *)((const char *)ctx->attr + le16_to_cpu(ctx->attr->value_offset));
            rec.fileAttributes = le32_to_cpu(si->file_attributes);
            rec.hasStandardInformation = true;
        }
        if (ctx) ntfs_attr_put_search_ctx(ctx);
        ctx = ntfs_attr_get_search_ctx(ni, nullptr);
        if (ctx && !ntfs_attr_lookup(AT_ATTRIBUTE_LIST, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx))
            rec.attributeList = ctx->attr->non_resident ? 2 : 1;
        if (ctx) ntfs_attr_put_search_ctx(ctx);
        rec.data = Pieces(vol, ni, AT_DATA);
        rec.index = Pieces(vol, ni, AT_INDEX_ALLOCATION);
        rec.others = Others(vol, ni);
        ntfs_inode_close(ni);
        v.records[rec.number] = rec;
    }
    ntfs_umount(vol, FALSE);
    return v;
}

std::map<uint64_t, std::set<std::string>> ListPaths(const std::string &image, std::string *error) {
    std::map<uint64_t, std::set<std::string>> paths;
    // -f: a volume a repair marked for a check lists too.
    std::string command = "ntfsls -f -R -i '" + image + "' 2>/dev/null";
    FILE *p = popen(command.c_str(), "r");
    if (!p) {
        *error = "cannot run ntfsls";
        return paths;
    }
    std::string directory, line;
    char buffer[4096];
    while (fgets(buffer, sizeof(buffer), p)) {
        line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty()) continue;
        if (line[0] == '/' && line.back() == ':') {
            directory = line.substr(0, line.size() - 1);  // "/" or "/a/b/"
            if (directory.back() != '/') directory += '/';
            continue;
        }
        size_t at = line.find_first_not_of(' ');
        size_t space = line.find(' ', at);
        if (at == std::string::npos || space == std::string::npos) continue;
        uint64_t inode = strtoull(line.c_str() + at, nullptr, 10);
        std::string name = line.substr(space + 1);
        if (name == "." || name == "..") continue;
        paths[inode].insert(directory + name);
    }
    if (pclose(p) != 0) *error = "ntfsls failed";
    return paths;
}

std::vector<Run> Merge(const std::vector<Run> &runs) {
    std::vector<Run> out;
    for (const Run &r : runs) {
        if (!out.empty()) {
            Run &last = out.back();
            if ((last.lcn < 0 && r.lcn < 0) || (last.lcn >= 0 && r.lcn == last.lcn + last.length)) {
                last.length += r.length;
                continue;
            }
        }
        out.push_back(r);
    }
    return out;
}

}  // namespace ntfsref
