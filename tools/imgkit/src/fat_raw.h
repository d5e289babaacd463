// A reader of FAT16/FAT32 images of its own: boot sector, FAT entries and
// FSInfo. Used for free-space counts, the faults-on-purpose helpers and the
// FSInfo cross-check; files and directories are found through mtools.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util.h"

namespace imgkit::detail {

struct FatGeometry {
    int bits = 0;  // 12, 16 or 32
    uint32_t sector_size = 0;
    uint32_t cluster_size = 0;
    uint32_t reserved_sectors = 0;
    uint32_t fats = 0;
    uint32_t fat_sectors = 0;
    uint32_t root_entries = 0;   // FAT12/16
    uint32_t root_cluster = 0;   // FAT32
    uint32_t fsinfo_sector = 0;  // FAT32; 0 when none
    uint64_t data_offset = 0;    // bytes
    uint32_t clusters = 0;       // data clusters (numbers 2 .. clusters+1)
};

class FatReader {
public:
    explicit FatReader(const std::string &image, bool writable = false);
    const FatGeometry &geometry() const { return geo_; }
    ImageFile &file() { return *file_; }

    // Entry of cluster c (2 .. clusters+1) in FAT copy `copy`; FAT32 entries
    // are masked to 28 bits.
    uint32_t entry(uint32_t c, uint32_t copy = 0) const;
    void set_entry(uint32_t c, uint32_t value);  // in every copy
    bool is_free(uint32_t c) const { return entry(c) == 0; }
    uint32_t eoc() const;  // an end-of-chain value

    // Follows a chain from `first`; throws Error on a loop or a bad link.
    std::vector<uint32_t> chain(uint32_t first) const;

    uint64_t cluster_offset(uint32_t c) const { return geo_.data_offset + uint64_t(c - 2) * geo_.cluster_size; }

    // FSInfo free count and next-free hint (0xFFFFFFFF: unknown); false without FSInfo.
    bool fsinfo(uint32_t &free_count, uint32_t &next_free) const;
    void set_fsinfo_next_free(uint32_t value);

private:
    std::unique_ptr<ImageFile> file_;
    FatGeometry geo_;
    std::vector<uint8_t> fat_;  // all copies
};

}  // namespace imgkit::detail
