// What libntfs-3g says about an NTFS image: cluster count, free clusters
// (ntfs_volume_get_free_space) and the bits of $Bitmap. Kept in its own
// translation unit: libntfs-3g's headers define BOOL, TRUE and FALSE their
// own way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace voltest {

struct NtfsBitmapFacts {
    int64_t totalClusters = 0;
    int64_t freeClusters = 0;
    std::vector<uint8_t> bitmap;  // $Bitmap's bytes covering every cluster
};

// Mounts the image read-only, reads the facts and unmounts. False with a
// reason when libntfs-3g refuses.
bool ReadNtfsBitmapFacts(const std::string &image, NtfsBitmapFacts *facts, std::string *why);

}  // namespace voltest
