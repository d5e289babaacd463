// Shared pieces of the NTFS driver tests: a throw-away machine with an
// mkntfs image, the host checkers run as commands, raw edits of the image,
// and thin wrappers over the native calls.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "internal.h"

namespace ntfstest {

// Output and exit status of a shell command (stderr folded into stdout).
struct Command {
    int status = -1;
    std::string output;
};

inline Command run(const std::string &command) {
    Command result;
    FILE *p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return result;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) result.output.append(buf, n);
    int rc = ::pclose(p);
    result.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return result;
}

inline std::string quote(const std::string &s) { return "'" + s + "'"; }

// The number after `key` in `text` (-1 when absent).
inline long long field(const std::string &text, const std::string &key) {
    size_t at = text.find(key);
    if (at == std::string::npos) return -1;
    return std::strtoll(text.c_str() + at + key.size(), nullptr, 10);
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// A machine folder in /tmp, named by NT_MACHINE while it lives.
class Machine {
public:
    Machine() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ntfsdrv_XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back(0);
        root = ::mkdtemp(buf.data());
        std::filesystem::create_directories(root + "/config");
        write_file(root + "/config/SYSTEM", "");  // not used by these tests
        ::setenv("NT_MACHINE", root.c_str(), 1);
    }
    ~Machine() {
        ::unsetenv("NT_MACHINE");
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    void drives(const std::string &text) { write_file(root + "/drives", text); }

    // An NTFS image of `bytes` bytes made by mkntfs (quick format), at byte
    // `offset` of the file when given. The drive line is up to the test.
    std::string ntfs(const std::string &name, uint64_t bytes, unsigned cluster = 4096, const std::string &extra = "",
                     uint64_t offset = 0) {
        std::string path = root + "/" + name;
        std::string part = offset ? path + ".part" : path;
        int fd = ::open(part.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::ftruncate(fd, off_t(bytes)), 0);
        ::close(fd);
        Command c = run("mkntfs -F -q -f -c " + std::to_string(cluster) + " " + extra + " " + quote(part));
        EXPECT_EQ(c.status, 0) << c.output;
        if (offset) {
            Command d = run("dd status=none conv=notrunc,sparse bs=1M if=" + quote(part) + " of=" + quote(path) +
                            " oflag=seek_bytes seek=" + std::to_string(offset));
            EXPECT_EQ(d.status, 0) << d.output;
            std::filesystem::remove(part);
        }
        return path;
    }

    std::string root;
};

// ------------------------------------------------------------ raw edits
// Reads/writes bytes of an image file directly (the machine must not hold it).
inline std::vector<uint8_t> peek(const std::string &image, uint64_t offset, size_t length) {
    std::vector<uint8_t> out(length);
    int fd = ::open(image.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::pread(fd, out.data(), length, off_t(offset)), ssize_t(length));
    ::close(fd);
    return out;
}

inline void poke(const std::string &image, uint64_t offset, const std::vector<uint8_t> &bytes) {
    int fd = ::open(image.c_str(), O_WRONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), off_t(offset)), ssize_t(bytes.size()));
    ::close(fd);
}

inline uint16_t get16(const std::vector<uint8_t> &b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
inline uint32_t get32(const std::vector<uint8_t> &b, size_t at) {
    return get16(b, at) | uint32_t(get16(b, at + 2)) << 16;
}
inline uint64_t get64(const std::vector<uint8_t> &b, size_t at) {
    return get32(b, at) | uint64_t(get32(b, at + 4)) << 32;
}

// Where record n of a freshly made image lies (its MFT is contiguous at the
// start), worked out from the boot sector alone.
struct ImageLayout {
    uint64_t cluster = 0, record = 0, mft = 0, mirror = 0;
};
inline ImageLayout layout(const std::string &image) {
    std::vector<uint8_t> bs = peek(image, 0, 512);
    ImageLayout l;
    uint8_t spc = bs[13];
    l.cluster = uint64_t(get16(bs, 11)) * (spc <= 0x80 ? spc : 1u << (256 - spc));
    int8_t cpr = int8_t(bs[0x40]);
    l.record = cpr > 0 ? uint64_t(cpr) * l.cluster : uint64_t(1) << -cpr;
    l.mft = get64(bs, 0x30) * l.cluster;
    l.mirror = get64(bs, 0x38) * l.cluster;
    return l;
}

// Sets the flags of $Volume's $VOLUME_INFORMATION in record 3 and in its
// copy in the MFT mirror, as chkdsk scheduling does.
inline void set_volume_flags(const std::string &image, uint16_t flags) {
    ImageLayout l = layout(image);
    std::vector<uint8_t> rec = peek(image, l.mft + 3 * l.record, size_t(l.record));
    size_t a = get16(rec, 0x14);
    while (get32(rec, a) != 0x70) {
        ASSERT_NE(get32(rec, a), 0xFFFFFFFFu);
        a += get32(rec, a + 4);
    }
    size_t value = a + get16(rec, a + 0x14) + 0x0A;
    ASSERT_NE(value % 512, 510u) << "the flags would sit on a protected word";
    std::vector<uint8_t> bytes = {uint8_t(flags), uint8_t(flags >> 8)};
    poke(image, l.mft + 3 * l.record + value, bytes);
    poke(image, l.mirror + 3 * l.record + value, bytes);
}

// ------------------------------------------------------------ NT calls
struct NtName {
    explicit NtName(std::u16string name) : text(std::move(name)) {
        us.Buffer = text.data();
        us.Length = USHORT(text.size() * sizeof(WCHAR));
        us.MaximumLength = us.Length;
        InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    }
    NtName(const NtName &) = delete;
    NtName &operator=(const NtName &) = delete;
    std::u16string text;
    UNICODE_STRING us{};
    OBJECT_ATTRIBUTES oa{};
};

struct Opened {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE handle = nullptr;
    ULONG_PTR information = 0;
};

inline Opened open(const std::u16string &name, ACCESS_MASK access, ULONG disposition, ULONG options = 0,
                   ULONG attributes = FILE_ATTRIBUTE_NORMAL, ULONG share = 0) {
    NtName n(name);
    Opened o;
    IO_STATUS_BLOCK iosb{};
    iosb.Information = 0xDEAD;
    o.status = NtCreateFile(&o.handle, access, &n.oa, &iosb, nullptr, attributes, share, disposition,
                            options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    o.information = iosb.Information;
    return o;
}

inline HANDLE open_volume(char letter) {
    std::u16string name = u"\\??\\";
    name += char16_t(letter);
    name += u':';
    Opened o = open(name, GENERIC_READ | GENERIC_WRITE, FILE_OPEN, 0, 0, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(o.status, STATUS_SUCCESS);
    return o.handle;
}

inline NTSTATUS fsctl(HANDLE h, ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                      ULONG_PTR *returned = nullptr) {
    IO_STATUS_BLOCK iosb{};
    NTSTATUS st =
        NtFsControlFile(h, nullptr, nullptr, nullptr, &iosb, code, const_cast<void *>(in), inLength, out, outLength);
    if (returned) *returned = iosb.Information;
    return st;
}

inline NTSTATUS write(HANDLE h, const void *data, ULONG length, int64_t offset, ULONG_PTR *done = nullptr) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS st = NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, const_cast<void *>(data), length, &at, nullptr);
    if (done) *done = iosb.Information;
    return st;
}

inline NTSTATUS read(HANDLE h, void *data, ULONG length, int64_t offset, ULONG_PTR *done = nullptr) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS st = NtReadFile(h, nullptr, nullptr, nullptr, &iosb, data, length, &at, nullptr);
    if (done) *done = iosb.Information;
    return st;
}

inline NTSTATUS remove(const std::u16string &name) {
    NtName n(name);
    return NtDeleteFile(&n.oa);
}

inline NTFS_VOLUME_DATA_BUFFER volume_data(HANDLE volume) {
    NTFS_VOLUME_DATA_BUFFER d;
    std::memset(&d, 0xCC, sizeof d);  // junk: every field must be filled
    EXPECT_EQ(fsctl(volume, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &d, sizeof d), STATUS_SUCCESS);
    return d;
}

// Free clusters counted from FSCTL_GET_VOLUME_BITMAP (bits below the cluster count).
inline int64_t bitmap_free(HANDLE volume, std::vector<uint8_t> *bits = nullptr) {
    NTFS_VOLUME_DATA_BUFFER d = volume_data(volume);
    std::vector<uint8_t> out(16 + size_t((d.TotalClusters.QuadPart + 7) / 8));
    STARTING_LCN_INPUT_BUFFER in;
    in.StartingLcn.QuadPart = 0;
    ULONG_PTR returned = 0;
    EXPECT_EQ(fsctl(volume, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, out.data(), ULONG(out.size()), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, out.size());
    int64_t free = 0;
    for (int64_t c = 0; c < d.TotalClusters.QuadPart; ++c)
        if (!((out[16 + size_t(c / 8)] >> (c % 8)) & 1)) ++free;
    if (bits) bits->assign(out.begin() + 16, out.end());
    return free;
}

}  // namespace ntfstest
