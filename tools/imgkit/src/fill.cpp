#include "fill_internal.h"

namespace imgkit {

Profile Profile::basic() {
    Profile p;
    p.name = "basic";
    return p;
}

Profile Profile::full() {
    Profile p;
    p.name = "full";
    p.dirs = 12;
    p.small_files = 40;
    p.large_files = 12;
    p.frag_groups = 3;
    p.frag_rounds = 8;
    p.deleted_files = 12;
    p.big_dir_entries = 120;
    p.frag_dirs = 3;
    p.frag_dir_entries = 48;
    p.attrlist_resident_fragments = 400;
    p.attrlist_nonresident_fragments = 1000;
    p.mft_fragments = 6;
    return p;
}

Profile Profile::bench(uint32_t files) {
    Profile p = full();
    p.name = "bench";
    p.bulk_files = files;
    p.large_max = 4 << 20;
    return p;
}

Manifest fill(const std::string &image, const Profile &profile, uint64_t seed) {
    Manifest m;
    m.fs = detect_fs(image);
    m.seed = seed;
    m.profile = profile.name;
    if (profile.min_free_share < 0 || profile.min_free_share > 0.95)
        throw Error("min_free_share must lie between 0 and 0.95");
    if (profile.small_max > 4096 || profile.large_min > profile.large_max || profile.bulk_min > profile.bulk_max)
        throw Error("profile sizes are inconsistent (small_max <= 4096, large_min <= large_max, bulk_min <= bulk_max)");
    switch (m.fs) {
    case FsType::ntfs:
        m.files = detail::fill_ntfs(image, profile, seed);
        break;
    case FsType::fat16:
    case FsType::fat32:
        m.files = detail::fill_fat(image, profile, seed);
        break;
    default:
        throw Error(image + ": neither NTFS nor FAT16/FAT32");
    }
    return m;
}

}  // namespace imgkit
