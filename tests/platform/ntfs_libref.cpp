// The libntfs-3g reference of the NTFS tests (see ntfs_libref.h).
#include "ntfs_libref.h"

#include <cstdlib>
#include <cstring>

#include <stdarg.h>
#include <stddef.h>
#include <errno.h>
#include <time.h>
#include <sys/stat.h>
#include <stdint.h>
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/mft.h>
#include <ntfs-3g/volume.h>
}
#undef min
#undef max

namespace ntfsref {
namespace {

// A mount that ends with the scope.
struct Mounted {
    explicit Mounted(const std::string &image, bool writable = false)
        : vol(ntfs_mount(image.c_str(), writable ? NTFS_MNT_NONE : NTFS_MNT_RDONLY)) {}
    ~Mounted() {
        if (vol) ntfs_umount(vol, FALSE);
    }
    ntfs_volume *vol;
};

std::vector<ntfschar> uname(const std::string &ascii) {
    std::vector<ntfschar> out;
    for (char c : ascii) out.push_back(cpu_to_le16(uint16_t(static_cast<unsigned char>(c))));
    return out;
}

}  // namespace

int64_t free_clusters(const std::string &image) {
    Mounted m(image);
    if (!m.vol || ntfs_volume_get_free_space(m.vol) != 0) return -1;
    return m.vol->free_clusters;
}

bool geometry(const std::string &image, Geometry *out) {
    Mounted m(image);
    if (!m.vol) return false;
    out->total_clusters = m.vol->nr_clusters;
    out->cluster_size = m.vol->cluster_size;
    out->record_size = m.vol->mft_record_size;
    out->mft_lcn = m.vol->mft_lcn;
    return true;
}

bool cluster_bitmap(const std::string &image, std::vector<uint8_t> *bits) {
    Mounted m(image);
    if (!m.vol) return false;
    bits->assign(size_t((m.vol->nr_clusters + 7) / 8), 0);
    return ntfs_attr_pread(m.vol->lcnbmp_na, 0, s64(bits->size()), bits->data()) == s64(bits->size());
}

bool record(const std::string &image, uint64_t n, std::vector<uint8_t> *out) {
    Mounted m(image);
    if (!m.vol) return false;
    out->assign(m.vol->mft_record_size, 0);
    return ntfs_mft_records_read(m.vol, MK_MREF(n, 0), 1, reinterpret_cast<MFT_RECORD *>(out->data())) == 0;
}

bool volume_flags(const std::string &image, uint16_t *flags) {
    Mounted m(image);
    if (!m.vol) return false;
    *flags = le16_to_cpu(m.vol->flags);
    return true;
}

bool file_info(const std::string &image, const std::string &path, uint64_t *record, uint32_t *attributes,
               std::vector<Run> *runs) {
    Mounted m(image);
    if (!m.vol) return false;
    ntfs_inode *ni = ntfs_pathname_to_inode(m.vol, nullptr, path.c_str());
    if (!ni) return false;
    *record = ni->mft_no;
    *attributes = le32_to_cpu(ni->flags);
    bool ok = true;
    if (runs) {
        runs->clear();
        ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        ok = na != nullptr;
        if (na && NAttrNonResident(na)) {
            ok = ntfs_attr_map_whole_runlist(na) == 0;
            for (runlist_element *rl = na->rl; ok && rl && rl->length; ++rl)
                runs->push_back({rl->vcn, rl->lcn == LCN_HOLE ? -1 : rl->lcn, rl->length});
        }
        if (na) ntfs_attr_close(na);
    }
    ntfs_inode_close(ni);
    return ok;
}

bool write_file(const std::string &image, const std::string &name, const std::string &content) {
    Mounted m(image, true);
    if (!m.vol) return false;
    ntfs_inode *root = ntfs_inode_open(m.vol, FILE_root);
    if (!root) return false;
    std::vector<ntfschar> n = uname(name);
    ntfs_inode *ni = ntfs_create(root, const_cpu_to_le32(0), n.data(), u8(n.size()), S_IFREG);
    bool ok = ni != nullptr;
    if (ni) {
        ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        ok = na && ntfs_attr_pwrite(na, 0, s64(content.size()), content.data()) == s64(content.size());
        if (na) ntfs_attr_close(na);
        ntfs_inode_close_in_dir(ni, root);  // its directory is open: close through it
    }
    ntfs_inode_close(root);
    return ok;
}

int fragment_free_space(const std::string &image, const std::string &prefix, int count, size_t bytes) {
    int written = 0;
    {
        Mounted m(image, true);
        if (!m.vol) return -1;
        std::vector<char> data(bytes, 'f');
        for (; written < count; ++written) {
            ntfs_inode *root = ntfs_inode_open(m.vol, FILE_root);
            if (!root) break;
            std::vector<ntfschar> n = uname(prefix + std::to_string(written));
            ntfs_inode *ni = ntfs_create(root, const_cpu_to_le32(0), n.data(), u8(n.size()), S_IFREG);
            bool ok = ni != nullptr;
            if (ni) {
                ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
                ok = na && ntfs_attr_pwrite(na, 0, s64(bytes), data.data()) == s64(bytes);
                if (na) ntfs_attr_close(na);
                ntfs_inode_close_in_dir(ni, root);
            }
            ntfs_inode_close(root);
            if (!ok) break;
        }
    }
    // Delete every other file, each delete in a mount of its own: the
    // directory is resolved afresh every time.
    for (int i = 0; i < written; i += 2) {
        Mounted m(image, true);
        if (!m.vol) return -1;
        std::string name = prefix + std::to_string(i);
        std::string path = "/" + name;
        ntfs_inode *ni = ntfs_pathname_to_inode(m.vol, nullptr, path.c_str());
        if (!ni) continue;
        ntfs_inode *root = ntfs_inode_open(m.vol, FILE_root);
        std::vector<ntfschar> n = uname(name);
        if (root)
            ntfs_delete(m.vol, path.c_str(), ni, root, n.data(), u8(n.size()));
        else
            ntfs_inode_close(ni);
    }
    return written;
}

}  // namespace ntfsref
