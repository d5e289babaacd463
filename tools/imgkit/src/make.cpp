// Making images with mkntfs and mkfs.fat, detecting the file system, and the
// manifest text format.
#include "imgkit/imgkit.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "util.h"

namespace imgkit {

using namespace detail;

const char *fs_name(FsType fs) {
    switch (fs) {
    case FsType::ntfs:
        return "ntfs";
    case FsType::fat16:
        return "fat16";
    case FsType::fat32:
        return "fat32";
    default:
        return "unknown";
    }
}

FsType detect_fs(const std::string &image) {
    ImageFile f(image, false);
    if (f.size() < 512) return FsType::unknown;
    uint8_t bs[512];
    f.read(0, bs, sizeof bs);
    if (memcmp(bs + 3, "NTFS    ", 8) == 0) return FsType::ntfs;
    if (bs[510] != 0x55 || bs[511] != 0xAA) return FsType::unknown;
    uint32_t bps = bs[11] | bs[12] << 8, spc = bs[13], reserved = bs[14] | bs[15] << 8, fats = bs[16];
    uint32_t root = bs[17] | bs[18] << 8;
    uint32_t total = bs[19] | bs[20] << 8;
    if (!total) total = uint32_t(bs[32]) | bs[33] << 8 | bs[34] << 16 | uint32_t(bs[35]) << 24;
    uint32_t fatsz = bs[22] | bs[23] << 8;
    if (!fatsz) fatsz = uint32_t(bs[36]) | bs[37] << 8 | bs[38] << 16 | uint32_t(bs[39]) << 24;
    if (bps < 512 || (bps & (bps - 1)) || !spc || (spc & (spc - 1)) || !reserved || !fats || !fatsz || !total)
        return FsType::unknown;
    uint64_t data = uint64_t(reserved) + uint64_t(fats) * fatsz + (root * 32 + bps - 1) / bps;
    if (data >= total) return FsType::unknown;
    uint64_t clusters = (total - data) / spc;
    if (clusters < 4085) return FsType::unknown;  // FAT12 is not made by this kit
    return clusters < 65525 ? FsType::fat16 : FsType::fat32;
}

static void fresh_file(const std::string &image, uint64_t size) {
    std::error_code ec;
    std::filesystem::remove(image, ec);
    int fd = ::open(image.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) throw Error(fmt("cannot create %s: %s", image.c_str(), strerror(errno)));
    int rc = ftruncate(fd, off_t(size));
    int err = errno;
    ::close(fd);
    if (rc != 0) throw Error(fmt("cannot size %s: %s", image.c_str(), strerror(err)));
}

void make_ntfs(const std::string &image, uint64_t size, uint32_t cluster, const std::string &label) {
    if (cluster < 512 || cluster > 65536 || (cluster & (cluster - 1)))
        throw Error(fmt("NTFS cluster size %u is not a power of two from 512 to 65536", cluster));
    if (size < (4u << 20) || size % 512)
        throw Error(fmt("NTFS image size %llu must be a multiple of 512 and at least 4 MiB", (unsigned long long)size));
    if (size / cluster < 1024) throw Error("NTFS image too small for that cluster size");
    fresh_file(image, size);
    run_checked({"mkntfs", "-F", "-Q", "-T", "-q", "-c", std::to_string(cluster), "-s", "512", "-p", "0", "-H", "0",
                 "-S", "0", "-L", label, image});
}

void make_fat(const std::string &image, uint64_t size, int fat_bits, uint32_t cluster, const std::string &label,
              int fats) {
    if (fat_bits != 16 && fat_bits != 32) throw Error(fmt("FAT width %d: only 16 and 32 are made", fat_bits));
    if (fats < 1 || fats > 4) throw Error(fmt("%d FAT copies: 1 to 4 are made", fats));
    if (size < (1u << 20) || size % 1024)
        throw Error(fmt("FAT image size %llu must be a multiple of 1024 and at least 1 MiB", (unsigned long long)size));
    std::vector<std::string> argv = {"mkfs.fat",
                                     "-C",
                                     "-F",
                                     std::to_string(fat_bits),
                                     "-S",
                                     "512",
                                     "--invariant",
                                     "-i",
                                     "1D6E4B17",
                                     "-n",
                                     label.substr(0, 11),
                                     "-f",
                                     std::to_string(fats)};
    if (cluster) {
        if (cluster < 512 || cluster > 65536 || (cluster & (cluster - 1)))
            throw Error(fmt("FAT cluster size %u is not a power of two from 512 to 65536", cluster));
        argv.push_back("-s");
        argv.push_back(std::to_string(cluster / 512));
    }
    std::error_code ec;
    std::filesystem::remove(image, ec);
    argv.push_back(image);
    argv.push_back(std::to_string(size / 1024));
    run_checked(argv);
    FsType got = detect_fs(image);
    if ((fat_bits == 16 && got != FsType::fat16) || (fat_bits == 32 && got != FsType::fat32)) {
        std::filesystem::remove(image, ec);
        throw Error(fmt("mkfs.fat made no valid FAT%d volume of that size and cluster size", fat_bits));
    }
}

// ------------------------------------------------------------------ manifest

const ManifestEntry *Manifest::find(const std::string &path) const {
    for (const auto &e : files)
        if (e.path == path) return &e;
    return nullptr;
}

std::string Manifest::to_text() const {
    std::string out = "# imgkit manifest 1\n";
    out += std::string("# fs ") + fs_name(fs) + "\n";
    out += "# seed " + std::to_string(seed) + "\n";
    out += "# profile " + profile + "\n";
    for (const auto &e : files) out += e.path + "\t" + std::to_string(e.size) + "\t" + e.sha256 + "\n";
    return out;
}

Manifest Manifest::parse(const std::string &text) {
    Manifest m;
    int lineno = 0;
    for (const std::string &line : split_lines(text)) {
        lineno++;
        if (line.empty()) continue;
        if (line[0] == '#') {
            std::string body = trim(line.substr(1));
            if (starts_with(body, "fs ")) {
                std::string v = trim(body.substr(3));
                m.fs = v == "ntfs"    ? FsType::ntfs
                       : v == "fat16" ? FsType::fat16
                       : v == "fat32" ? FsType::fat32
                                      : FsType::unknown;
            } else if (starts_with(body, "seed ")) {
                m.seed = strtoull(body.c_str() + 5, nullptr, 10);
            } else if (starts_with(body, "profile ")) {
                m.profile = trim(body.substr(8));
            }
            continue;
        }
        size_t t1 = line.find('\t');
        size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
        if (t2 == std::string::npos || line.find('\t', t2 + 1) != std::string::npos)
            throw Error(fmt("manifest line %d: expected <path> TAB <size> TAB <sha256>", lineno));
        ManifestEntry e;
        e.path = line.substr(0, t1);
        std::string size = line.substr(t1 + 1, t2 - t1 - 1);
        e.sha256 = line.substr(t2 + 1);
        if (e.path.empty() || e.path[0] != '\\')
            throw Error(fmt("manifest line %d: path must start with a backslash", lineno));
        if (size.empty() || size.find_first_not_of("0123456789") != std::string::npos)
            throw Error(fmt("manifest line %d: bad size \"%s\"", lineno, size.c_str()));
        e.size = strtoull(size.c_str(), nullptr, 10);
        if (e.sha256.size() != 64 || e.sha256.find_first_not_of("0123456789abcdef") != std::string::npos)
            throw Error(fmt("manifest line %d: bad sha256", lineno));
        m.files.push_back(e);
    }
    return m;
}

void Manifest::save(const std::string &file) const {
    std::string t = to_text();
    write_file(file, t.data(), t.size());
}

Manifest Manifest::load(const std::string &file) { return parse(read_file(file)); }

std::string posix_path(const std::string &volume_path) {
    std::string p = volume_path;
    size_t colon = p.find(':');
    if (colon != std::string::npos) p = p.substr(0, colon);
    for (char &c : p)
        if (c == '\\') c = '/';
    return p.empty() ? "/" : p;
}

std::string stream_of(const std::string &volume_path) {
    size_t colon = volume_path.find(':');
    return colon == std::string::npos ? "" : volume_path.substr(colon + 1);
}

std::string mtools_path(const std::string &volume_path) { return "::" + posix_path(volume_path); }

}  // namespace imgkit
