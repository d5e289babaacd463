// The reference side of the move tests, through libntfs-3g.
#include "move_reference.h"

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
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/mst.h>
#include <ntfs-3g/runlist.h>
#include <ntfs-3g/volume.h>
}
#undef min
#undef max

#include <cstring>
#include <random>

namespace moveref {

namespace {

std::string Format(const char *fmt, ...) {
    char b[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(b, sizeof b, fmt, ap);
    va_end(ap);
    return b;
}

void Quiet() {
    ntfs_log_set_levels(0);
    ntfs_log_clear_levels(~0u);
}

}  // namespace

CrossCheck Check(const std::string &image) {
    CrossCheck c;
    Quiet();
    ntfs_volume *vol = ntfs_mount(image.c_str(), NTFS_MNT_RDONLY | NTFS_MNT_RECOVER);
    if (!vol) {
        c.errors.push_back("libntfs-3g cannot mount the volume: " + std::string(strerror(errno)));
        return c;
    }
    const s64 clusters = vol->nr_clusters;
    std::vector<uint8_t> bitmap((size_t)vol->lcnbmp_na->data_size);
    if (ntfs_attr_pread(vol->lcnbmp_na, 0, (s64)bitmap.size(), bitmap.data()) != (s64)bitmap.size())
        c.errors.push_back("cannot read $Bitmap");
    const uint32_t size = vol->mft_record_size;
    s64 count = vol->mft_na->initialized_size / size;
    std::vector<uint8_t> mft((size_t)(count * size));
    if (ntfs_attr_pread(vol->mft_na, 0, (s64)mft.size(), mft.data()) != (s64)mft.size())
        c.errors.push_back("cannot read the MFT");
    std::vector<int64_t> owner((size_t)clusters, -1);
    auto used = [&](s64 lcn) {
        return (size_t)(lcn / 8) < bitmap.size() && (bitmap[(size_t)(lcn / 8)] >> (lcn % 8)) & 1;
    };
    for (s64 n = 0; n < count && c.errors.size() < 50; n++) {
        MFT_RECORD *m = (MFT_RECORD *)&mft[(size_t)(n * size)];
        if (memcmp(m, "FILE", 4) != 0) continue;
        if (ntfs_mst_post_read_fixup((NTFS_RECORD *)m, size) != 0) {
            c.errors.push_back(Format("record %lld fails its update-sequence check", (long long)n));
            continue;
        }
        if (!(m->flags & MFT_RECORD_IN_USE)) continue;
        c.records++;
        uint32_t at = le16_to_cpu(m->attrs_offset);
        while (at + 8 <= size) {
            ATTR_RECORD *a = (ATTR_RECORD *)((uint8_t *)m + at);
            if (a->type == AT_END) break;
            uint32_t length = le32_to_cpu(a->length);
            if (length < 16 || at + length > size) {
                c.errors.push_back(Format("record %lld: damaged attribute at 0x%x", (long long)n, at));
                break;
            }
            if (a->non_resident) {
                runlist_element *rl = ntfs_mapping_pairs_decompress(vol, a, nullptr);
                if (!rl) {
                    c.errors.push_back(
                        Format("record %lld: attribute 0x%x has a bad run list", (long long)n, le32_to_cpu(a->type)));
                } else {
                    for (runlist_element *r = rl; r->length; r++) {
                        if (r->lcn < 0) continue;
                        for (s64 l = r->lcn; l < r->lcn + r->length; l++) {
                            if (l >= clusters) {
                                c.errors.push_back(Format("record %lld references cluster %lld past the volume",
                                                          (long long)n, (long long)l));
                                break;
                            }
                            if (owner[(size_t)l] >= 0) {
                                c.errors.push_back(Format("cluster %lld is referenced by records %lld and %lld",
                                                          (long long)l, (long long)owner[(size_t)l], (long long)n));
                                continue;
                            }
                            owner[(size_t)l] = n;
                            c.referenced++;
                            if (!used(l))
                                c.errors.push_back(Format("cluster %lld of record %lld is free in $Bitmap",
                                                          (long long)l, (long long)n));
                        }
                    }
                    free(rl);
                }
            }
            at += length;
        }
    }
    for (s64 l = 0; l < clusters; l++)
        if (owner[(size_t)l] < 0 && used(l)) c.lost++;
    ntfs_umount(vol, FALSE);
    return c;
}

std::vector<uint8_t> ReadData(const std::string &image, uint64_t inode, std::string *error) {
    std::vector<uint8_t> data;
    Quiet();
    ntfs_volume *vol = ntfs_mount(image.c_str(), NTFS_MNT_RDONLY | NTFS_MNT_RECOVER);
    if (!vol) {
        *error = "cannot mount";
        return data;
    }
    ntfs_inode *ni = ntfs_inode_open(vol, (MFT_REF)inode);
    ntfs_attr *na = ni ? ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0) : nullptr;
    if (!na) {
        *error = Format("cannot open the data of record %llu", (unsigned long long)inode);
    } else {
        data.resize((size_t)na->data_size);
        if (ntfs_attr_pread(na, 0, na->data_size, data.data()) != na->data_size) {
            *error = Format("cannot read the data of record %llu", (unsigned long long)inode);
            data.clear();
        }
        ntfs_attr_close(na);
    }
    if (ni) ntfs_inode_close(ni);
    ntfs_umount(vol, FALSE);
    return data;
}

uint64_t MakeHoledFile(const std::string &image, const std::string &name, uint64_t size,
                       const std::vector<std::pair<uint64_t, uint64_t>> &regions, std::vector<uint8_t> *content,
                       std::string *error) {
    Quiet();
    ntfs_volume *vol = ntfs_mount(image.c_str(), 0);
    if (!vol) {
        *error = "cannot mount for writing";
        return 0;
    }
    content->assign(size, 0);
    std::mt19937 rng(4711);
    for (auto &r : regions)
        for (uint64_t i = r.first; i < r.first + r.second && i < size; i++) (*content)[i] = (uint8_t)(rng() | 1);
    std::u16string u(name.begin(), name.end());
    ntfs_inode *root = ntfs_inode_open(vol, FILE_root);
    ntfs_inode *ni = root ? ntfs_create(root, 0, (ntfschar *)u.data(), (u8)u.size(), S_IFREG) : nullptr;
    uint64_t inode = 0;
    if (!ni) {
        *error = "cannot create the file";
    } else {
        inode = ni->mft_no;
        ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        bool ok = na != nullptr;
        for (auto &r : regions)
            if (ok && ntfs_attr_pwrite(na, (s64)r.first, (s64)r.second, content->data() + r.first) != (s64)r.second)
                ok = false;
        if (ok && na->data_size < (s64)size && ntfs_attr_truncate(na, (s64)size)) ok = false;
        if (na) ntfs_attr_close(na);
        if (!ok) *error = "cannot write the regions";
        // A plain file whose runs have holes: no sparse flag, neither in its
        // standard information nor on its data attribute.
        ntfs_attr_search_ctx *ctx = ntfs_attr_get_search_ctx(ni, nullptr);
        if (ctx && !ntfs_attr_lookup(AT_DATA, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
            ctx->attr->flags = (ATTR_FLAGS)(ctx->attr->flags & ~ATTR_IS_SPARSE);
            ntfs_inode_mark_dirty(ctx->ntfs_ino);
        } else {
            *error = "cannot find the data attribute";
        }
        if (ctx) ntfs_attr_put_search_ctx(ctx);
        ni->flags = (FILE_ATTR_FLAGS)(ni->flags & ~FILE_ATTR_SPARSE_FILE);
        NInoSetDirty(ni);
        NInoFileNameSetDirty(ni);
        ntfs_inode_close_in_dir(ni, root);
    }
    if (root) ntfs_inode_close(root);
    if (ntfs_umount(vol, FALSE)) *error = "cannot unmount";
    return error->empty() ? inode : 0;
}

bool AddEntries(const std::string &image, uint64_t directory, int count, std::string *error) {
    Quiet();
    ntfs_volume *vol = ntfs_mount(image.c_str(), 0);
    if (!vol) {
        *error = "cannot mount for writing";
        return false;
    }
    for (int i = 0; i < count && error->empty(); i++) {
        std::string name = Format("Added entry with a long name to grow the index %04d.txt", i);
        std::u16string u(name.begin(), name.end());
        ntfs_inode *dir = ntfs_inode_open(vol, (MFT_REF)directory);
        ntfs_inode *ni = dir ? ntfs_create(dir, 0, (ntfschar *)u.data(), (u8)u.size(), S_IFREG) : nullptr;
        if (!ni)
            *error = Format("cannot create entry %d in record %llu", i, (unsigned long long)directory);
        else
            ntfs_inode_close_in_dir(ni, dir);
        if (dir) ntfs_inode_close(dir);
    }
    if (ntfs_umount(vol, FALSE) && error->empty()) *error = "cannot unmount";
    return error->empty();
}

}  // namespace moveref
