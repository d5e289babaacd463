#include "ntmachine_craft_support.h"

#include <cstring>
#include <stdexcept>

#include "ntfs3g.h"  // the image kit's libntfs-3g include order

namespace craft {

struct Ntfs::State {
    ntfs_volume *vol = nullptr;
};

namespace {

std::runtime_error failure(const std::string &what) {
    return std::runtime_error(what + ": " + std::string(strerror(errno)));
}

// A name as libntfs-3g takes it; free() it.
ntfschar *unicode(const std::string &name, int *length) {
    ntfschar *u = nullptr;
    *length = ntfs_mbstoucs(name.c_str(), &u);
    if (*length < 0) throw failure("name " + name);
    return u;
}

// The bytes written at `offset`: they depend on where they go only.
std::vector<uint8_t> content(uint64_t offset, uint64_t bytes) {
    std::vector<uint8_t> data(bytes);
    for (uint64_t i = 0; i < bytes; ++i) data[i] = uint8_t((offset + i) * 131 + ((offset + i) >> 12));
    return data;
}

}  // namespace

Ntfs::Ntfs(const std::string &image) : s_(new State) {
    s_->vol = ntfs_mount(image.c_str(), 0);
    if (!s_->vol) {
        delete s_;
        throw failure("libntfs-3g cannot mount " + image);
    }
}

Ntfs::~Ntfs() {
    ntfs_umount(s_->vol, FALSE);
    delete s_;
}

uint64_t Ntfs::cluster_size() const { return s_->vol->cluster_size; }

void Ntfs::write(const std::string &name, uint64_t offset, uint64_t bytes, const std::string &stream) {
    ntfs_inode *ni = ntfs_pathname_to_inode(s_->vol, nullptr, ("/" + name).c_str());
    if (!ni) {
        ntfs_inode *root = ntfs_inode_open(s_->vol, FILE_root);
        int length = 0;
        ntfschar *u = unicode(name, &length);
        ni = root ? ntfs_create(root, 0, u, u8(length), S_IFREG) : nullptr;
        free(u);
        if (root) ntfs_inode_close(root);
        if (!ni) throw failure("cannot create " + name);
    }
    int length = 0;
    ntfschar *u = stream.empty() ? nullptr : unicode(stream, &length);
    ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, u ? u : AT_UNNAMED, u32(length));
    if (!na && u && ntfs_attr_add(ni, AT_DATA, u, u8(length), nullptr, 0) == 0)
        na = ntfs_attr_open(ni, AT_DATA, u, u32(length));
    free(u);
    if (!na) {
        ntfs_inode_close(ni);
        throw failure("cannot open the data of " + name);
    }
    std::vector<uint8_t> data = content(offset, bytes);
    s64 done = ntfs_attr_pwrite(na, s64(offset), s64(bytes), data.data());
    ntfs_attr_close(na);
    ntfs_inode_close(ni);
    if (done != s64(bytes)) throw failure("cannot write " + name);
}

void Ntfs::grow_in_turn(const std::vector<std::string> &names, uint64_t clusters, int rounds) {
    uint64_t piece = clusters * cluster_size();
    for (int r = 0; r < rounds; ++r)
        for (const std::string &name : names) write(name, uint64_t(r) * piece, piece);
}

void Ntfs::remove(const std::string &name) {
    ntfs_inode *ni = ntfs_pathname_to_inode(s_->vol, nullptr, ("/" + name).c_str());
    ntfs_inode *root = ntfs_inode_open(s_->vol, FILE_root);
    int length = 0;
    ntfschar *u = unicode(name, &length);
    int rc = ni && root ? ntfs_delete(s_->vol, nullptr, ni, root, u, u8(length)) : -1;  // closes both
    free(u);
    if (rc) throw failure("cannot delete " + name);
}

}  // namespace craft
