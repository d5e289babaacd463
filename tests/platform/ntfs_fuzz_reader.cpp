// libFuzzer target over the NTFS driver's own reader: the input is laid over
// the MFT of a small mkntfs volume (made once at start), and the reader must
// then answer every question without reading outside the volume, crashing or
// tripping a sanitizer. An empty input is the untouched volume.
//
//   cmake -DNTDEFRAG_FUZZ=ON (clang), then:
//   fuzz_platform_ntfs_reader -max_len=65536 -max_total_time=60 CORPUS
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "fs/ntfs/ntfs_reader.h"

using namespace ntp::ntfs;

namespace {

std::vector<uint8_t> g_base;  // the pristine volume
Geometry g_geometry;

void die(const char *why) {
    std::fprintf(stderr, "fuzz_platform_ntfs_reader: %s\n", why);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char folder[] = "/tmp/ntfs_fuzz_reader_XXXXXX";
    if (!::mkdtemp(folder)) die("no temporary folder");
    const std::string image = std::string(folder) + "/base.img";
    const std::string command = "truncate -s 2M " + image + " && mkntfs -F -q -f -c 512 " + image + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) die("mkntfs failed");
    std::ifstream in(image, std::ios::binary);
    g_base.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::remove(image.c_str());
    ::rmdir(folder);
    std::string why;
    bool not_ntfs = false;
    if (g_base.size() < 512 || !parse_boot_sector(g_base.data(), g_base.size(), &g_geometry, &why, &not_ntfs))
        die("the base volume does not parse");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The input over the MFT; the volume is put back as it was on the way out.
    static std::vector<uint8_t> disk = g_base;
    const uint64_t mft = g_geometry.mft_lcn * g_geometry.bytes_per_cluster;
    const size_t laid = std::min<size_t>(size, disk.size() - mft);
    std::memcpy(&disk[mft], data, laid);
    struct Restore {
        size_t at, length;
        ~Restore() { std::memcpy(&disk[at], &g_base[at], length); }
    } restore{size_t(mft), laid};

    ReadFn read = [](uint64_t offset, void *buffer, size_t length) -> NTSTATUS {
        if (offset > disk.size() || length > disk.size() - offset) die("read outside the volume");
        std::memcpy(buffer, &disk[offset], length);
        return STATUS_SUCCESS;
    };

    // The decoders on the raw input too.
    std::vector<Run> runs;
    std::string why;
    decode_runs(data, size, 0, int64_t(size) * 4, g_geometry.total_clusters, &runs, &why);
    if (size >= 1024) {
        std::vector<uint8_t> record(data, data + 1024);
        if (remove_fixups(record.data(), record.size())) {
            std::vector<Attribute> attrs;
            parse_attributes(record.data(), record.size(), &attrs, &why);
        }
    }

    MftView view(read, g_geometry);
    if (view.open() != STATUS_SUCCESS) return 0;
    const uint64_t records = std::min<uint64_t>(view.record_count(), 96);
    std::vector<uint8_t> record;
    std::vector<uint8_t> value;
    for (uint64_t n = 0; n < records; ++n) {
        bool in_use = false;
        view.record_bit(n, &in_use);
        if (view.read_record(n, &record) != STATUS_SUCCESS) continue;
        for (uint32_t type : {kAttrData, kAttrBitmap, kAttrVolumeInformation, kAttrVolumeName}) {
            AttributeValue v;
            if (view.attribute(n, type, &v) != STATUS_SUCCESS) continue;
            value.resize(size_t(std::min<int64_t>(v.data_size, 1 << 16)));
            view.read_value(v, 0, value.size(), value.data());
        }
    }
    return 0;
}
