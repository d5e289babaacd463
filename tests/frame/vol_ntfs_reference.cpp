// libntfs-3g's view of an NTFS image, for comparison with the bitmap that the
// platform's volume request hands the frame.
#include "vol_ntfs_reference.h"

#include <cerrno>
#include <cstring>

// libntfs-3g's headers need these before them and have no C++ guards.
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/volume.h>
}

namespace voltest {

bool ReadNtfsBitmapFacts(const std::string &image, NtfsBitmapFacts *facts, std::string *why) {
    ntfs_volume *vol = ntfs_mount(image.c_str(), NTFS_MNT_RDONLY);
    if (vol == nullptr) {
        *why = std::string("ntfs_mount: ") + std::strerror(errno);
        return false;
    }
    bool ok = true;
    if (ntfs_volume_get_free_space(vol) != 0) {
        *why = std::string("ntfs_volume_get_free_space: ") + std::strerror(errno);
        ok = false;
    }
    if (ok) {
        facts->totalClusters = vol->nr_clusters;
        facts->freeClusters = vol->free_clusters;
        s64 bytes = (vol->nr_clusters + 7) / 8;
        facts->bitmap.assign((size_t)bytes, 0);
        if (ntfs_attr_pread(vol->lcnbmp_na, 0, bytes, facts->bitmap.data()) != bytes) {
            *why = std::string("reading $Bitmap: ") + std::strerror(errno);
            ok = false;
        }
    }
    ntfs_umount(vol, FALSE);
    return ok;
}

}  // namespace voltest
