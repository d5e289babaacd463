#include "fat_raw.h"

#include "imgkit/imgkit.h"

#include <cstring>
#include <memory>
#include <set>

namespace imgkit::detail {

namespace {
uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t *p) { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }
void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

enum {
    kBpbBytesPerSector = 0x0B,
    kBpbSectorsPerCluster = 0x0D,
    kBpbReserved = 0x0E,
    kBpbFats = 0x10,
    kBpbRootEntries = 0x11,
    kBpbTotal16 = 0x13,
    kBpbFatSize16 = 0x16,
    kBpbTotal32 = 0x20,
    kBpbFatSize32 = 0x24,
    kBpbRootCluster = 0x2C,
    kBpbFsInfo = 0x30,
    kFsiLeadSig = 0x000,
    kFsiStructSig = 0x1E4,
    kFsiFreeCount = 0x1E8,
    kFsiNextFree = 0x1EC,
};
constexpr uint32_t kFsiLead = 0x41615252, kFsiStruct = 0x61417272;
}  // namespace

FatReader::FatReader(const std::string &image, bool writable) : file_(std::make_unique<ImageFile>(image, writable)) {
    uint8_t bs[512];
    file_->read(0, bs, sizeof bs);
    if (bs[510] != 0x55 || bs[511] != 0xAA) throw Error(image + ": no boot sector signature");
    geo_.sector_size = le16(bs + kBpbBytesPerSector);
    uint32_t spc = bs[kBpbSectorsPerCluster];
    if (geo_.sector_size < 512 || geo_.sector_size > 4096 || (geo_.sector_size & (geo_.sector_size - 1)) || spc == 0 ||
        (spc & (spc - 1)))
        throw Error(image + ": not a FAT boot sector");
    geo_.cluster_size = geo_.sector_size * spc;
    geo_.reserved_sectors = le16(bs + kBpbReserved);
    geo_.fats = bs[kBpbFats];
    geo_.root_entries = le16(bs + kBpbRootEntries);
    uint32_t total = le16(bs + kBpbTotal16);
    if (!total) total = le32(bs + kBpbTotal32);
    geo_.fat_sectors = le16(bs + kBpbFatSize16);
    if (!geo_.fat_sectors) geo_.fat_sectors = le32(bs + kBpbFatSize32);
    if (!geo_.reserved_sectors || !geo_.fats || geo_.fats > 4 || !geo_.fat_sectors || !total)
        throw Error(image + ": not a FAT boot sector");
    uint32_t root_sectors = (geo_.root_entries * 32 + geo_.sector_size - 1) / geo_.sector_size;
    uint64_t data_sector = uint64_t(geo_.reserved_sectors) + uint64_t(geo_.fats) * geo_.fat_sectors + root_sectors;
    if (data_sector >= total) throw Error(image + ": FAT layout does not fit the volume");
    geo_.data_offset = data_sector * geo_.sector_size;
    geo_.clusters = uint32_t((total - data_sector) / spc);
    geo_.bits = geo_.clusters < 4085 ? 12 : geo_.clusters < 65525 ? 16 : 32;
    if (geo_.bits == 32) {
        geo_.root_cluster = le32(bs + kBpbRootCluster);
        geo_.fsinfo_sector = le16(bs + kBpbFsInfo);
        if (geo_.fsinfo_sector == 0xFFFF) geo_.fsinfo_sector = 0;
    }
    uint64_t fat_bytes = uint64_t(geo_.fat_sectors) * geo_.sector_size;
    uint64_t need_bits = uint64_t(geo_.clusters + 2) * uint64_t(geo_.bits);
    if (fat_bytes * 8 < need_bits) throw Error(image + ": FAT too small for the cluster count");
    fat_.resize(size_t(fat_bytes * geo_.fats));
    file_->read(uint64_t(geo_.reserved_sectors) * geo_.sector_size, fat_.data(), fat_.size());
}

uint32_t FatReader::entry(uint32_t c, uint32_t copy) const {
    if (c < 2 || c >= geo_.clusters + 2 || copy >= geo_.fats) throw Error(fmt("cluster %u outside the FAT", c));
    const uint8_t *f = fat_.data() + size_t(copy) * geo_.fat_sectors * geo_.sector_size;
    switch (geo_.bits) {
    case 32:
        return le32(f + 4 * size_t(c)) & 0x0FFFFFFF;
    case 16:
        return le16(f + 2 * size_t(c));
    default: {
        uint16_t v = le16(f + c + c / 2);
        return (c & 1) ? v >> 4 : v & 0xFFF;
    }
    }
}

uint32_t FatReader::eoc() const { return geo_.bits == 32 ? 0x0FFFFFFF : geo_.bits == 16 ? 0xFFFF : 0xFFF; }

void FatReader::set_entry(uint32_t c, uint32_t value) {
    if (c < 2 || c >= geo_.clusters + 2) throw Error(fmt("cluster %u outside the FAT", c));
    size_t fat_bytes = size_t(geo_.fat_sectors) * geo_.sector_size;
    for (uint32_t copy = 0; copy < geo_.fats; copy++) {
        uint8_t *f = fat_.data() + copy * fat_bytes;
        size_t off;
        size_t len;
        if (geo_.bits == 32) {
            off = 4 * size_t(c);
            uint32_t old = le32(f + off);
            put32(f + off, (old & 0xF0000000) | (value & 0x0FFFFFFF));
            len = 4;
        } else if (geo_.bits == 16) {
            off = 2 * size_t(c);
            f[off] = uint8_t(value);
            f[off + 1] = uint8_t(value >> 8);
            len = 2;
        } else {
            off = c + c / 2;
            uint16_t v = le16(f + off);
            v = (c & 1) ? uint16_t((v & 0x000F) | (value << 4)) : uint16_t((v & 0xF000) | (value & 0xFFF));
            f[off] = uint8_t(v);
            f[off + 1] = uint8_t(v >> 8);
            len = 2;
        }
        file_->write(uint64_t(geo_.reserved_sectors) * geo_.sector_size + copy * fat_bytes + off, f + off, len);
    }
}

std::vector<uint32_t> FatReader::chain(uint32_t first) const {
    std::vector<uint32_t> out;
    std::set<uint32_t> seen;
    uint32_t c = first;
    uint32_t bad = geo_.bits == 32 ? 0x0FFFFFF7 : geo_.bits == 16 ? 0xFFF7 : 0xFF7;
    while (true) {
        if (c < 2 || c >= geo_.clusters + 2) throw Error(fmt("chain from %u reaches cluster %u", first, c));
        if (!seen.insert(c).second) throw Error(fmt("chain from %u loops at %u", first, c));
        out.push_back(c);
        uint32_t next = entry(c);
        if (next >= bad + 1) break;  // end of chain
        if (next == 0 || next == bad) throw Error(fmt("chain from %u has a free or bad link at %u", first, c));
        c = next;
    }
    return out;
}

bool FatReader::fsinfo(uint32_t &free_count, uint32_t &next_free) const {
    if (!geo_.fsinfo_sector) return false;
    uint8_t s[512];
    file_->read(uint64_t(geo_.fsinfo_sector) * geo_.sector_size, s, sizeof s);
    if (le32(s + kFsiLeadSig) != kFsiLead || le32(s + kFsiStructSig) != kFsiStruct) return false;
    free_count = le32(s + kFsiFreeCount);
    next_free = le32(s + kFsiNextFree);
    return true;
}

void FatReader::set_fsinfo_next_free(uint32_t value) {
    uint32_t fc, nf;
    if (!fsinfo(fc, nf)) return;
    uint8_t v[4];
    put32(v, value);
    file_->write(uint64_t(geo_.fsinfo_sector) * geo_.sector_size + kFsiNextFree, v, 4);
}

}  // namespace imgkit::detail
