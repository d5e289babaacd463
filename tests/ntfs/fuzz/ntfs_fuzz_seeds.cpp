// Writes the seed corpora of the NTFS fuzz targets from real volumes: mkntfs
// images with 512- and 4,096-byte clusters, filled by the image kit, read
// with libntfs-3g. Every MFT record (as on disk, update sequence applied)
// becomes a seed of the record target; every run of 16 records one of the
// MFT target.
//
//     ntfs_fuzz_seeds WORKDIR RECORD_CORPUS MFT_CORPUS
// libntfs-3g's headers compile only after these system headers.
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/volume.h>
}
#undef min
#undef max

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <imgkit/imgkit.h>

static bool WriteFile(const std::string &path, const void *data, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s WORKDIR RECORD_CORPUS MFT_CORPUS\n", argv[0]);
        return 2;
    }
    std::string work = argv[1], recordDir = argv[2], mftDir = argv[3];
    int written = 0;
    for (unsigned cluster : {512u, 4096u}) {
        std::string image = work + "/seed-" + std::to_string(cluster) + ".img";
        try {
            imgkit::make_ntfs(image, 32 << 20, cluster);
        } catch (const std::exception &e) {
            fprintf(stderr, "ntfs_fuzz_seeds: %s\n", e.what());
            return 1;
        }
        try {
            imgkit::fill(image, imgkit::Profile::basic(), 7);
        } catch (const std::exception &e) {
            // The records written so far still make good seeds.
            fprintf(stderr, "ntfs_fuzz_seeds: fill stopped early: %s\n", e.what());
        }
        ntfs_volume *vol = ntfs_mount(image.c_str(), NTFS_MNT_RDONLY);
        if (!vol) {
            perror("ntfs_mount");
            return 1;
        }
        s64 records = vol->mft_na->initialized_size / vol->mft_record_size;
        std::vector<unsigned char> mft((size_t)records * vol->mft_record_size);
        s64 got = ntfs_attr_pread(vol->mft_na, 0, (s64)mft.size(), mft.data());
        ntfs_umount(vol, FALSE);
        if (got != (s64)mft.size() || vol->mft_record_size != 1024) {
            fprintf(stderr, "ntfs_fuzz_seeds: cannot read the MFT of %s\n", image.c_str());
            return 1;
        }
        for (s64 i = 0; i < records; i++) {
            const unsigned char *r = &mft[(size_t)i * 1024];
            if (memcmp(r, "FILE", 4) != 0) continue;
            std::string name = recordDir + "/c" + std::to_string(cluster) + "-r" + std::to_string(i);
            if (!WriteFile(name, r, 1024)) return 1;
            written++;
        }
        for (s64 i = 0; i + 16 <= records; i += 16) {
            std::string name = mftDir + "/c" + std::to_string(cluster) + "-m" + std::to_string(i);
            if (!WriteFile(name, &mft[(size_t)i * 1024], 16 * 1024)) return 1;
        }
        remove(image.c_str());
    }
    printf("ntfs_fuzz_seeds: %d records\n", written);
    return written > 0 ? 0 : 1;
}
