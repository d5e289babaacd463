// What libntfs-3g itself says about an NTFS image: the reference the NTFS
// driver's answers are checked against. Each call mounts the image file
// directly (read-only unless it writes) and unmounts it again, so the image
// must not be held open by a drive of the machine at that moment.
//
// Kept free of the NT headers: libntfs-3g's headers clash with them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ntfsref {

struct Geometry {
    int64_t total_clusters = -1;
    uint32_t cluster_size = 0;
    uint32_t record_size = 0;
    int64_t mft_lcn = -1;
};

// -1 when the image does not mount.
int64_t free_clusters(const std::string &image);
bool geometry(const std::string &image, Geometry *out);
// The $Bitmap bytes covering the volume's clusters.
bool cluster_bitmap(const std::string &image, std::vector<uint8_t> *bits);
// Record n as libntfs-3g reads it (update sequence removed).
bool record(const std::string &image, uint64_t n, std::vector<uint8_t> *out);
// $Volume flags.
bool volume_flags(const std::string &image, uint16_t *flags);

// The file at `path` ("/dir/name"): record number, FILE_ATTRIBUTE_* bits of
// $STANDARD_INFORMATION, and its data runs (vcn, lcn, length; lcn -1 = hole).
struct Run {
    int64_t vcn, lcn, length;
};
bool file_info(const std::string &image, const std::string &path, uint64_t *record, uint32_t *attributes,
               std::vector<Run> *runs = nullptr);

// Writes files named "<prefix><n>" of `bytes` bytes each into the root until
// `count` files exist or the volume is full, then deletes every other one,
// leaving free space in many small holes. Returns the files written.
int fragment_free_space(const std::string &image, const std::string &prefix, int count, size_t bytes);

// Creates "/<name>" holding `content`. false on failure.
bool write_file(const std::string &image, const std::string &name, const std::string &content);

}  // namespace ntfsref
