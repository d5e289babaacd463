// Helpers of the FAT driver tests: images made with mkfs.fat and filled with
// mtools, checked with fsck.fat, mdir, mshowfat and mcopy, and the driver
// mounted on them through the platform's volume layer.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fs/fat/fat_fs.h"
#include "internal.h"

namespace fattest {

struct Result {
    int rc = -1;
    std::string out;
};

inline std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

// Runs a shell command; stdout and stderr together.
inline Result run(const std::string &cmd) {
    Result r;
    std::string full = "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 " + cmd + " 2>&1";
    FILE *p = popen(full.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int status = pclose(p);
    r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

inline std::vector<uint8_t> read_host(const std::string &path) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f) return {};
    std::vector<uint8_t> out(static_cast<size_t>(f.tellg()));
    f.seekg(0);
    f.read(reinterpret_cast<char *>(out.data()), static_cast<std::streamsize>(out.size()));
    return out;
}

inline void write_host(const std::string &path, const std::vector<uint8_t> &data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// A scratch folder per test, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string tmpl = ::testing::TempDir() + "fatdrv.XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back(0);
        char *d = mkdtemp(buf.data());
        path_ = d ? d : "";
    }
    ~TempDir() {
        if (!path_.empty()) run("rm -rf " + quote(path_));
    }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// mkfs.fat -C image: bits 12, 16 or 32; size in KiB; extra options as given.
inline std::string make_image(const TempDir &dir, const std::string &name, int bits, unsigned kib,
                              const std::string &options = "") {
    std::string img = dir.file(name);
    Result r =
        run("mkfs.fat -C -F " + std::to_string(bits) + " " + options + " " + quote(img) + " " + std::to_string(kib));
    EXPECT_EQ(r.rc, 0) << r.out;
    return img;
}

inline void mcopy_in(const std::string &img, const std::string &host, const std::string &dest) {
    Result r = run("mcopy -o -i " + quote(img) + " " + quote(host) + " " + quote("::" + dest));
    ASSERT_EQ(r.rc, 0) << r.out;
}

inline void put_file(const TempDir &dir, const std::string &img, const std::string &dest,
                     const std::vector<uint8_t> &data) {
    std::string host = dir.file("put.tmp");
    write_host(host, data);
    mcopy_in(img, host, dest);
}

inline void mmd(const std::string &img, const std::string &dest) {
    Result r = run("mmd -i " + quote(img) + " " + quote("::" + dest));
    ASSERT_EQ(r.rc, 0) << r.out;
}

inline void mdel(const std::string &img, const std::string &dest) {
    Result r = run("mdel -i " + quote(img) + " " + quote("::" + dest));
    ASSERT_EQ(r.rc, 0) << r.out;
}

// The content of a file on the image as mcopy reads it; rc != 0 when mcopy fails.
inline Result mcopy_out(const TempDir &dir, const std::string &img, const std::string &src,
                        std::vector<uint8_t> *data) {
    std::string host = dir.file("get.tmp");
    std::remove(host.c_str());
    Result r = run("mcopy -n -i " + quote(img) + " " + quote("::" + src) + " " + quote(host));
    if (r.rc == 0) *data = read_host(host);
    return r;
}

// Names in a directory as mdir -b lists them (without the folder prefix;
// directories end in '/').
inline std::set<std::string> mdir_names(const std::string &img, const std::string &dir) {
    Result r = run("mdir -b -i " + quote(img) + " " + quote("::" + dir));
    std::set<std::string> names;
    std::string prefix = "::" + dir + (dir.size() > 1 && dir.back() != '/' ? "/" : "");
    size_t at = 0;
    while (at < r.out.size()) {
        size_t end = r.out.find('\n', at);
        if (end == std::string::npos) end = r.out.size();
        std::string line = r.out.substr(at, end - at);
        if (line.compare(0, prefix.size(), prefix) == 0) names.insert(line.substr(prefix.size()));
        at = end + 1;
    }
    return names;
}

// The clusters of a file in chain order, from mshowfat ("<3-8><10>").
inline std::vector<uint32_t> mshowfat(const std::string &img, const std::string &path) {
    Result r = run("mshowfat -i " + quote(img) + " " + quote("::" + path));
    std::vector<uint32_t> clusters;
    std::regex range("<([0-9]+)(?:-([0-9]+))?>");
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), range); it != std::sregex_iterator(); ++it) {
        uint32_t a = std::stoul((*it)[1]);
        uint32_t b = (*it)[2].matched ? std::stoul((*it)[2]) : a;
        for (uint32_t c = a; c <= b; ++c) clusters.push_back(c);
    }
    return clusters;
}

// fsck.fat -n -v: exit code, messages, and "N files, U/T clusters".
struct Fsck {
    int rc = -1;
    std::string out;
    uint64_t used = 0, total = 0;
    uint64_t free() const { return total - used; }
};
inline Fsck fsck(const std::string &img) {
    Result r = run("fsck.fat -n -v " + quote(img));
    Fsck f;
    f.rc = r.rc;
    f.out = r.out;
    std::smatch m;
    std::regex counts("([0-9]+) files, ([0-9]+)/([0-9]+) clusters");
    if (std::regex_search(r.out, m, counts)) {
        f.used = std::stoull(m[2]);
        f.total = std::stoull(m[3]);
    }
    return f;
}

// fsck.fat found nothing to say beyond its report.
#define EXPECT_FSCK_CLEAN(img)                                                                                         \
    do {                                                                                                               \
        fattest::Fsck fsck_result_ = fattest::fsck(img);                                                               \
        EXPECT_EQ(fsck_result_.rc, 0) << fsck_result_.out;                                                             \
        EXPECT_EQ(fsck_result_.out.find("Free cluster summary wrong"), std::string::npos) << fsck_result_.out;         \
        EXPECT_EQ(fsck_result_.out.find("differ"), std::string::npos) << fsck_result_.out;                             \
    } while (0)

// Bytes of the image file.
inline std::vector<uint8_t> image_bytes(const std::string &img, uint64_t offset, size_t length) {
    std::vector<uint8_t> out(length);
    FILE *f = fopen(img.c_str(), "rb");
    if (!f) return {};
    fseeko(f, static_cast<off_t>(offset), SEEK_SET);
    size_t n = fread(out.data(), 1, length, f);
    fclose(f);
    out.resize(n);
    return out;
}

inline void patch_image(const std::string &img, uint64_t offset, const void *data, size_t length) {
    FILE *f = fopen(img.c_str(), "rb+");
    ASSERT_NE(f, nullptr);
    fseeko(f, static_cast<off_t>(offset), SEEK_SET);
    fwrite(data, 1, length, f);
    fclose(f);
}

// The geometry as the driver's own parser reads it (for offsets in tests).
inline ntp::fat::Geometry geometry(const std::string &img) {
    std::vector<uint8_t> boot = image_bytes(img, 0, 512);
    ntp::fat::Geometry g;
    std::string why;
    EXPECT_EQ(ntp::fat::parse_boot_sector(boot.data(), boot.size(), std::filesystem::file_size(img), &g, &why),
              ntp::fat::Probe::Fat)
        << why;
    return g;
}

// Every FAT copy the boot sector names holds the same bytes.
inline bool fats_equal(const std::string &img) {
    ntp::fat::Geometry g = geometry(img);
    std::vector<uint8_t> first = image_bytes(img, g.fat_offset(0), g.fat_bytes());
    for (uint32_t i = 1; i < g.fat_count; ++i)
        if (image_bytes(img, g.fat_offset(i), g.fat_bytes()) != first) return false;
    return true;
}

// Writes one FAT entry in every copy (to corrupt chains on purpose).
inline void set_fat_entry(const std::string &img, uint32_t cluster, uint32_t value) {
    ntp::fat::Geometry g = geometry(img);
    for (uint32_t i = 0; i < g.fat_count; ++i) {
        uint64_t base = g.fat_offset(i);
        if (g.type == ntp::fat::FatType::Fat16) {
            uint8_t b[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
            patch_image(img, base + cluster * 2ull, b, 2);
        } else if (g.type == ntp::fat::FatType::Fat32) {
            uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
            patch_image(img, base + cluster * 4ull, b, 4);
        } else {
            uint64_t at = base + cluster + cluster / 2;
            std::vector<uint8_t> w = image_bytes(img, at, 2);
            if (cluster & 1) {
                w[0] = static_cast<uint8_t>((w[0] & 0x0F) | ((value & 0x0F) << 4));
                w[1] = static_cast<uint8_t>(value >> 4);
            } else {
                w[0] = static_cast<uint8_t>(value);
                w[1] = static_cast<uint8_t>((w[1] & 0xF0) | ((value >> 8) & 0x0F));
            }
            patch_image(img, at, w.data(), 2);
        }
    }
}

// The driver on an image, through the platform's volume layer.
struct Mount {
    std::shared_ptr<ntp::Volume> volume;
    std::shared_ptr<ntp::FsDriver> driver;

    explicit Mount(const std::string &img, char letter = 'F') {
        ntp::DriveConfig config;
        config.letter = letter;
        config.kind = ntp::DriveConfig::Kind::Image;
        config.path = img;
        NTSTATUS status = ntp::Volume::open(config, &volume);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (volume) driver = ntp::fat_driver_probe(volume);
    }
    ~Mount() { release(); }
    void release() {
        driver.reset();
        volume.reset();
    }
    ntp::FsDriver *operator->() const { return driver.get(); }
    explicit operator bool() const { return driver != nullptr; }
};

inline ntp::CreateRequest request(ULONG disposition, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE,
                                  ULONG options = FILE_NON_DIRECTORY_FILE, ULONG attributes = FILE_ATTRIBUTE_NORMAL) {
    ntp::CreateRequest r;
    r.access = access;
    r.disposition = disposition;
    r.options = options;
    r.attributes = attributes;
    r.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    return r;
}

// Opens (or creates) a file; null on failure, with *status set.
inline std::shared_ptr<ntp::FileObject> open(ntp::FsDriver *d, std::u16string_view path, const ntp::CreateRequest &r,
                                             NTSTATUS *status = nullptr, ULONG *information = nullptr) {
    std::shared_ptr<ntp::FileObject> f;
    ULONG info = 0xDEADBEEF;
    NTSTATUS s = d->create(path, r, &f, &info);
    if (status) *status = s;
    if (information) *information = info;
    return NT_SUCCESS(s) ? f : nullptr;
}

// Writes the whole buffer at offset (in pieces of at most `piece` bytes).
inline NTSTATUS write_all(ntp::FileObject *f, uint64_t offset, const std::vector<uint8_t> &data,
                          size_t piece = SIZE_MAX) {
    size_t at = 0;
    while (at < data.size()) {
        ULONG n = static_cast<ULONG>(std::min(piece, data.size() - at));
        ULONG done = 0;
        uint64_t where = offset == UINT64_MAX ? UINT64_MAX : offset + at;
        NTSTATUS s = f->write(where, data.data() + at, n, &done);
        if (!NT_SUCCESS(s)) return s;
        if (done != n) return STATUS_UNSUCCESSFUL;
        at += n;
    }
    return STATUS_SUCCESS;
}

inline std::vector<uint8_t> read_all(ntp::FileObject *f, NTSTATUS *status = nullptr) {
    std::vector<uint8_t> out;
    uint8_t buf[7000];  // not a multiple of any cluster size
    for (;;) {
        ULONG done = 0;
        NTSTATUS s = f->read(out.size(), buf, sizeof buf, &done);
        if (s == STATUS_END_OF_FILE) break;
        if (!NT_SUCCESS(s)) {
            if (status) *status = s;
            return out;
        }
        out.insert(out.end(), buf, buf + done);
    }
    if (status) *status = STATUS_SUCCESS;
    return out;
}

// FSCTL_GET_VOLUME_BITMAP from `start` with an output buffer of `length` bytes.
struct Bitmap {
    NTSTATUS status = 0;
    ULONG returned = 0;
    int64_t start = 0, size = 0;
    std::vector<uint8_t> raw;  // the whole output buffer
    bool bit(uint64_t lcn) const { return (raw[16 + (lcn - start) / 8] >> ((lcn - start) % 8)) & 1; }
};
inline Bitmap volume_bitmap(ntp::FsDriver *d, int64_t start, size_t length, uint8_t fill = 0xA5) {
    Bitmap b;
    b.raw.assign(length, fill);
    ULONG returned = 0xDEADBEEF;
    b.status = d->volume_fsctl(FSCTL_GET_VOLUME_BITMAP, &start, sizeof start, b.raw.data(), static_cast<ULONG>(length),
                               &returned);
    b.returned = returned;
    if (length >= 16) {
        std::memcpy(&b.start, b.raw.data(), 8);
        std::memcpy(&b.size, b.raw.data() + 8, 8);
    }
    return b;
}

// FSCTL_GET_RETRIEVAL_POINTERS as (next VCN, LCN) pairs.
struct Extents {
    NTSTATUS status = 0;
    ULONG returned = 0;
    int64_t starting_vcn = -1;
    std::vector<std::pair<int64_t, int64_t>> pairs;
    // The clusters (cluster numbers, LCN + 2) they cover, in order.
    std::vector<uint32_t> clusters() const {
        std::vector<uint32_t> out;
        int64_t vcn = starting_vcn;
        for (auto [next, lcn] : pairs) {
            for (int64_t k = 0; k < next - vcn; ++k) out.push_back(static_cast<uint32_t>(lcn + 2 + k));
            vcn = next;
        }
        return out;
    }
};
inline Extents retrieval_pointers(ntp::FileObject *f, int64_t vcn, size_t length = 16 + 16 * 512) {
    Extents e;
    std::vector<uint8_t> buf(length, 0xCC);
    ULONG returned = 0xDEADBEEF;
    e.status =
        f->fsctl(FSCTL_GET_RETRIEVAL_POINTERS, &vcn, sizeof vcn, buf.data(), static_cast<ULONG>(length), &returned);
    e.returned = returned;
    if (NT_SUCCESS(e.status) || e.status == STATUS_BUFFER_OVERFLOW) {
        uint32_t count;
        std::memcpy(&count, buf.data(), 4);
        std::memcpy(&e.starting_vcn, buf.data() + 8, 8);
        for (uint32_t i = 0; i < count && 16 + 16 * (i + 1) <= length; ++i) {
            int64_t next, lcn;
            std::memcpy(&next, buf.data() + 16 + 16 * i, 8);
            std::memcpy(&lcn, buf.data() + 24 + 16 * i, 8);
            e.pairs.emplace_back(next, lcn);
        }
    }
    return e;
}

inline FILE_FS_SIZE_INFORMATION size_info(ntp::FsDriver *d, NTSTATUS *status = nullptr) {
    FILE_FS_SIZE_INFORMATION info;
    std::memset(&info, 0xA5, sizeof info);
    ULONG written = 0;
    NTSTATUS s = d->query_volume(FileFsSizeInformation, &info, sizeof info, &written);
    if (status) *status = s;
    return info;
}

inline std::u16string fs_name(ntp::FsDriver *d) {
    alignas(8) uint8_t buf[64];
    ULONG written = 0;
    if (!NT_SUCCESS(d->query_volume(FileFsAttributeInformation, buf, sizeof buf, &written))) return u"?";
    auto *info = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buf);
    return std::u16string(info->FileSystemName, info->FileSystemNameLength / 2);
}

}  // namespace fattest
