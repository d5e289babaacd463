// The boot sector, the FAT copies, cluster chains, allocation and the FAT32
// FSInfo sector.
#include <algorithm>
#include <cstdio>

#include "fat_fs.h"

namespace ntp::fat {
namespace {

bool power_of_two(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::string format(const char *fmt, unsigned long long a, unsigned long long b = 0) {
    char text[200];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

}  // namespace

Probe parse_boot_sector(const uint8_t *sector, size_t length, uint64_t volume_size, Geometry *g, std::string *why) {
    if (length < sizeof(BootSector)) return Probe::NotFat;
    BootSector bs;
    std::memcpy(&bs, sector, sizeof bs);
    if (le16(bs.signature) != kBootSignature) return Probe::NotFat;
    if (bs.jump[0] != 0xEB && bs.jump[0] != 0xE9) return Probe::NotFat;
    uint32_t bps = le16(bs.bytes_per_sector);
    if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) return Probe::NotFat;
    uint32_t spc = bs.sectors_per_cluster;
    if (!power_of_two(spc) || spc > 128) return Probe::NotFat;
    uint32_t reserved = le16(bs.reserved_sectors);
    if (reserved == 0 || bs.fat_count == 0) return Probe::NotFat;  // NTFS and others have 0 here
    if (bs.media != 0xF0 && bs.media < 0xF8) return Probe::NotFat;

    Geometry r;
    r.bytes_per_sector = bps;
    r.sectors_per_cluster = spc;
    r.bytes_per_cluster = bps * spc;
    r.reserved_sectors = reserved;
    r.fat_count = bs.fat_count;
    r.root_entries = le16(bs.root_entries);
    r.total_sectors = le16(bs.total_sectors16) ? le16(bs.total_sectors16) : le32(bs.total_sectors32);
    bool fat32_layout = le16(bs.fat_size16) == 0;
    r.fat_sectors = fat32_layout ? le32(bs.f32.fat_size32) : le16(bs.fat_size16);

    if (r.total_sectors == 0) return *why = "the boot sector gives no sector count", Probe::Corrupt;
    if (r.fat_sectors == 0) return *why = "the boot sector gives no FAT size", Probe::Corrupt;
    if (fat32_layout && r.root_entries != 0)
        return *why = "a FAT32 boot sector with a fixed root directory", Probe::Corrupt;
    if (!fat32_layout && r.root_entries == 0)
        return *why = "a FAT12/FAT16 boot sector without root directory entries", Probe::Corrupt;

    uint64_t root_sectors = (static_cast<uint64_t>(r.root_entries) * kEntrySize + bps - 1) / bps;
    uint64_t data_sector = reserved + static_cast<uint64_t>(r.fat_count) * r.fat_sectors + root_sectors;
    if (data_sector >= r.total_sectors)
        return *why = format("the data area would start at sector %llu of %llu", data_sector, r.total_sectors),
               Probe::Corrupt;
    uint64_t clusters = (r.total_sectors - data_sector) / spc;
    if (clusters == 0) return *why = "the volume has no data clusters", Probe::Corrupt;

    if (fat32_layout) {
        r.type = FatType::Fat32;
        if (clusters > kMaxFat32Clusters) return *why = format("%llu clusters", clusters), Probe::Corrupt;
        if (clusters <= kMaxFat16Clusters)
            debug("FAT32 volume with only %llu clusters (below the FAT32 minimum)",
                  static_cast<unsigned long long>(clusters));
    } else if (clusters <= kMaxFat12Clusters) {
        r.type = FatType::Fat12;
    } else if (clusters <= kMaxFat16Clusters) {
        r.type = FatType::Fat16;
    } else {
        return *why = format("a FAT16 boot sector with %llu clusters, more than 16-bit entries hold", clusters),
               Probe::Corrupt;
    }
    r.clusters = static_cast<uint32_t>(clusters);

    uint64_t entry_bits = r.type == FatType::Fat12 ? 12 : r.type == FatType::Fat16 ? 16 : 32;
    uint64_t fat_entries = static_cast<uint64_t>(r.fat_sectors) * bps * 8 / entry_bits;
    if (fat_entries < clusters + 2)
        return *why = format("the FAT holds %llu entries for %llu clusters", fat_entries, clusters), Probe::Corrupt;

    uint64_t bytes = r.total_sectors * bps;
    if (bytes > volume_size)
        return *why = format("the boot sector gives %llu bytes but the volume has only %llu (truncated image?)", bytes,
                             volume_size),
               Probe::Corrupt;

    r.root_offset = (reserved + static_cast<uint64_t>(r.fat_count) * r.fat_sectors) * bps;
    r.root_bytes = static_cast<uint32_t>(root_sectors * bps);
    r.data_offset = data_sector * bps;

    if (r.type == FatType::Fat32) {
        r.root_cluster = le32(bs.f32.root_cluster) & kFat32Mask;
        if (!r.valid_cluster(r.root_cluster))
            return *why = format("the root directory cluster %llu is outside the volume", r.root_cluster),
                   Probe::Corrupt;
        uint32_t fsinfo = le16(bs.f32.fsinfo_sector);
        r.fsinfo_sector = (fsinfo == 0 || fsinfo >= reserved) ? 0 : fsinfo;
        uint16_t flags = le16(bs.f32.ext_flags);
        if (flags & 0x80) {
            r.mirrored = false;
            r.active_fat = flags & 0x0F;
            if (r.active_fat >= r.fat_count)
                return *why = format("the active FAT %llu does not exist (%llu FATs)", r.active_fat, r.fat_count),
                       Probe::Corrupt;
        }
        if (bs.f32.boot_signature == kExtBootSignature || bs.f32.boot_signature == kExtBootSignatureOld) {
            r.has_serial = true;
            r.serial = le32(bs.f32.serial);
        }
    } else if (bs.f16.boot_signature == kExtBootSignature || bs.f16.boot_signature == kExtBootSignatureOld) {
        r.has_serial = true;
        r.serial = le32(bs.f16.serial);
    }
    *g = r;
    return Probe::Fat;
}

// ------------------------------------------------------------------- FAT

NTSTATUS FatTable::block(uint64_t index, Block **out) {
    auto it = blocks_.find(index);
    if (it == blocks_.end()) {
        uint64_t start = index * kBlock;
        uint64_t length = std::min<uint64_t>(kBlock, g_.fat_bytes() - start);
        Block b;
        b.data.resize(length);
        NTSTATUS status = dev_.read(g_.fat_offset(g_.active_fat) + start, b.data.data(), length);
        if (!NT_SUCCESS(status)) return status;
        it = blocks_.emplace(index, std::move(b)).first;
    }
    *out = &it->second;
    return STATUS_SUCCESS;
}

NTSTATUS FatTable::byte_at(uint64_t offset, uint8_t **out, bool dirty) {
    if (offset >= g_.fat_bytes()) return STATUS_DISK_CORRUPT_ERROR;
    Block *b;
    NTSTATUS status = block(offset / kBlock, &b);
    if (!NT_SUCCESS(status)) return status;
    if (dirty) b->dirty = true;
    *out = &b->data[offset % kBlock];
    return STATUS_SUCCESS;
}

NTSTATUS FatTable::get(uint32_t c, uint32_t *value) {
    if (static_cast<uint64_t>(c) >= static_cast<uint64_t>(g_.clusters) + 2) return STATUS_DISK_CORRUPT_ERROR;
    uint8_t *p0, *p1;
    NTSTATUS status;
    switch (g_.type) {
    case FatType::Fat12: {
        uint64_t at = static_cast<uint64_t>(c) + c / 2;
        if (!NT_SUCCESS(status = byte_at(at, &p0, false))) return status;
        uint32_t lo = *p0;
        if (!NT_SUCCESS(status = byte_at(at + 1, &p1, false))) return status;
        uint32_t word = lo | (static_cast<uint32_t>(*p1) << 8);
        *value = (c & 1) ? word >> 4 : word & 0xFFF;
        return STATUS_SUCCESS;
    }
    case FatType::Fat16:
        if (!NT_SUCCESS(status = byte_at(static_cast<uint64_t>(c) * 2, &p0, false))) return status;
        *value = le16(p0);  // 2-byte entries never straddle a block
        return STATUS_SUCCESS;
    case FatType::Fat32:
        if (!NT_SUCCESS(status = byte_at(static_cast<uint64_t>(c) * 4, &p0, false))) return status;
        *value = le32(p0);
        return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS FatTable::set(uint32_t c, uint32_t value) {
    if (!g_.valid_cluster(c)) return STATUS_DISK_CORRUPT_ERROR;
    uint32_t old;
    NTSTATUS status = get(c, &old);
    if (!NT_SUCCESS(status)) return status;
    uint8_t *p0, *p1;
    switch (g_.type) {
    case FatType::Fat12: {
        value &= 0xFFF;
        uint64_t at = static_cast<uint64_t>(c) + c / 2;
        if (!NT_SUCCESS(status = byte_at(at, &p0, true))) return status;
        if (!NT_SUCCESS(status = byte_at(at + 1, &p1, true))) return status;
        if (c & 1) {
            *p0 = static_cast<uint8_t>((*p0 & 0x0F) | ((value & 0x0F) << 4));
            *p1 = static_cast<uint8_t>(value >> 4);
        } else {
            *p0 = static_cast<uint8_t>(value);
            *p1 = static_cast<uint8_t>((*p1 & 0xF0) | (value >> 8));
        }
        break;
    }
    case FatType::Fat16:
        value &= 0xFFFF;
        if (!NT_SUCCESS(status = byte_at(static_cast<uint64_t>(c) * 2, &p0, true))) return status;
        put16(p0, static_cast<uint16_t>(value));
        break;
    case FatType::Fat32:
        value = (old & ~kFat32Mask) | (value & kFat32Mask);
        if (!NT_SUCCESS(status = byte_at(static_cast<uint64_t>(c) * 4, &p0, true))) return status;
        put32(p0, value);
        break;
    }
    uint32_t mask = g_.type == FatType::Fat32 ? kFat32Mask : 0xFFFFFFFF;
    bool was_free = (old & mask) == kFreeCluster, now_free = (value & mask) == kFreeCluster;
    if (was_free && !now_free) {
        --free_delta_;
        last_allocated_ = c;
    } else if (!was_free && now_free) {
        ++free_delta_;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FatTable::flush() {
    // The active copy first, then the others (when they are kept equal).
    std::vector<uint32_t> copies{g_.active_fat};
    if (g_.mirrored)
        for (uint32_t i = 0; i < g_.fat_count; ++i)
            if (i != g_.active_fat) copies.push_back(i);
    for (uint32_t copy : copies) {
        for (auto &[index, b] : blocks_) {
            if (!b.dirty) continue;
            NTSTATUS status = dev_.write(g_.fat_offset(copy) + index * kBlock, b.data.data(), b.data.size());
            if (!NT_SUCCESS(status)) return status;
        }
    }
    for (auto &entry : blocks_) entry.second.dirty = false;
    NTSTATUS status = update_fsinfo();
    free_delta_ = 0;
    last_allocated_ = 0;
    return status;
}

// The FSInfo free count follows every change when it was known; an unknown
// count stays unknown, a count that cannot be right becomes unknown. The
// next-free hint names the last cluster allocated.
NTSTATUS FatTable::update_fsinfo() {
    if (g_.type != FatType::Fat32 || g_.fsinfo_sector == 0) return STATUS_SUCCESS;
    if (free_delta_ == 0 && last_allocated_ == 0) return STATUS_SUCCESS;
    uint64_t at = static_cast<uint64_t>(g_.fsinfo_sector) * g_.bytes_per_sector;
    FsInfoSector fsi;
    NTSTATUS status = dev_.read(at, &fsi, sizeof fsi);
    if (!NT_SUCCESS(status)) return status;
    if (le32(fsi.lead_signature) != kFsInfoLead || le32(fsi.struct_signature) != kFsInfoStruct ||
        le32(fsi.trail_signature) != kFsInfoTrail)
        return STATUS_SUCCESS;  // not a valid FSInfo sector: left as it is
    uint32_t free = le32(fsi.free_count);
    if (free != kFsInfoUnknown) {
        int64_t now = static_cast<int64_t>(free) + free_delta_;
        free = (free > g_.clusters || now < 0 || now > g_.clusters) ? kFsInfoUnknown : static_cast<uint32_t>(now);
        put32(fsi.free_count, free);
    }
    if (last_allocated_ != 0) put32(fsi.next_free, last_allocated_);
    return dev_.write(at, &fsi, sizeof fsi);
}

bool FatTable::is_end(uint32_t v) const {
    switch (g_.type) {
    case FatType::Fat12:
        return v >= 0xFF8;
    case FatType::Fat16:
        return v >= 0xFFF8;
    case FatType::Fat32:
        return (v & kFat32Mask) >= 0x0FFFFFF8;
    }
    return true;
}

bool FatTable::is_bad(uint32_t v) const {
    switch (g_.type) {
    case FatType::Fat12:
        return v == 0xFF7;
    case FatType::Fat16:
        return v == 0xFFF7;
    case FatType::Fat32:
        return (v & kFat32Mask) == 0x0FFFFFF7;
    }
    return true;
}

NTSTATUS FatTable::chain(uint32_t first, std::vector<Run> *runs, uint32_t *count) {
    runs->clear();
    *count = 0;
    if (first == kFreeCluster) return STATUS_SUCCESS;
    if (!g_.valid_cluster(first)) return STATUS_FILE_CORRUPT_ERROR;
    uint32_t c = first;
    runs->push_back({c, 0});
    for (;;) {
        // A chain can hold each cluster once: a longer walk has looped.
        if (*count >= g_.clusters) return STATUS_FILE_CORRUPT_ERROR;
        ++*count;
        ++runs->back().count;
        uint32_t v;
        NTSTATUS status = get(c, &v);
        if (!NT_SUCCESS(status)) return status;
        if (is_end(v)) return STATUS_SUCCESS;
        if (g_.type == FatType::Fat32) v &= kFat32Mask;
        if (is_bad(v) || !g_.valid_cluster(v)) return STATUS_FILE_CORRUPT_ERROR;  // free, bad, outside
        if (v != c + 1) runs->push_back({v, 0});
        c = v;
    }
}

NTSTATUS FatTable::find_free(uint32_t count, std::vector<uint32_t> *out) {
    out->clear();
    if (count == 0) return STATUS_SUCCESS;
    for (uint32_t c = kFirstCluster; g_.valid_cluster(c); ++c) {
        uint32_t v;
        NTSTATUS status = get(c, &v);
        if (!NT_SUCCESS(status)) return status;
        if (g_.type == FatType::Fat32) v &= kFat32Mask;
        if (v != kFreeCluster) continue;
        out->push_back(c);
        if (out->size() == count) return STATUS_SUCCESS;
    }
    out->clear();
    return STATUS_DISK_FULL;
}

NTSTATUS FatTable::scan(uint32_t first, uint32_t count, const std::function<void(uint32_t, uint32_t)> &fn) {
    if (static_cast<uint64_t>(first) + count > static_cast<uint64_t>(g_.clusters) + 2) return STATUS_INVALID_PARAMETER;
    constexpr uint32_t kPiece = 64 * 1024;  // entries per read
    std::vector<uint8_t> buf;
    uint64_t base = g_.fat_offset(g_.active_fat);
    uint32_t c = first;
    uint32_t end = first + count;
    while (c < end) {
        uint32_t n = std::min(kPiece, end - c);
        uint64_t from, to;  // byte range of entries [c, c + n)
        switch (g_.type) {
        case FatType::Fat12:
            from = c + c / 2;
            to = static_cast<uint64_t>(c + n - 1) + (c + n - 1) / 2 + 2;
            break;
        case FatType::Fat16:
            from = static_cast<uint64_t>(c) * 2;
            to = static_cast<uint64_t>(c + n) * 2;
            break;
        default:
            from = static_cast<uint64_t>(c) * 4;
            to = static_cast<uint64_t>(c + n) * 4;
            break;
        }
        to = std::min(to, g_.fat_bytes());
        buf.assign(to - from + 1, 0);
        NTSTATUS status = dev_.read(base + from, buf.data(), to - from);
        if (!NT_SUCCESS(status)) return status;
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t cl = c + i;
            uint32_t v;
            switch (g_.type) {
            case FatType::Fat12: {
                uint64_t at = cl + cl / 2 - from;
                uint32_t word = buf[at] | (static_cast<uint32_t>(buf[at + 1]) << 8);
                v = (cl & 1) ? word >> 4 : word & 0xFFF;
                break;
            }
            case FatType::Fat16:
                v = le16(&buf[static_cast<uint64_t>(cl) * 2 - from]);
                break;
            default:
                v = le32(&buf[static_cast<uint64_t>(cl) * 4 - from]);
                break;
            }
            fn(cl, v);
        }
        c += n;
    }
    return STATUS_SUCCESS;
}

}  // namespace ntp::fat
