// Small helpers shared by the kit: hashing, a seeded generator, image file
// access, child processes and scratch folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace imgkit::detail {

// ---- SHA-256
class Sha256 {
public:
    Sha256();
    void update(const void *data, size_t len);
    std::string hex();  // finishes; the object must not be updated afterwards
private:
    void block(const uint8_t *p);
    uint32_t h_[8];
    uint8_t buf_[64];
    size_t used_ = 0;
    uint64_t total_ = 0;
};
std::string sha256_hex(const void *data, size_t len);

// ---- deterministic generator (xoshiro256**, seeded through splitmix64)
class Rng {
public:
    explicit Rng(uint64_t seed);
    uint64_t next();
    uint64_t below(uint64_t n);                  // 0..n-1; n > 0
    uint64_t between(uint64_t lo, uint64_t hi);  // lo..hi inclusive
    bool chance(uint32_t percent) { return below(100) < percent; }

private:
    uint64_t s_[4];
};
uint64_t mix64(uint64_t a, uint64_t b);

// Content of generated files: a repeatable mix of random bytes and text,
// or (compressible) mostly text.
std::vector<uint8_t> make_content(uint64_t seed, uint64_t size, bool compressible = false);

// ---- image files
class ImageFile {
public:
    ImageFile(const std::string &path, bool writable);
    ~ImageFile();
    ImageFile(const ImageFile &) = delete;
    ImageFile &operator=(const ImageFile &) = delete;
    void read(uint64_t off, void *buf, size_t len) const;  // throws on a short read
    void write(uint64_t off, const void *buf, size_t len);
    uint64_t size() const { return size_; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

// ---- child processes
struct ProcResult {
    int exit_code = -1;  // -1 when it did not exit normally
    int signal = 0;
    bool started = false;
    std::string output;  // stdout and stderr, interleaved
};
// Runs argv[0] (looked up in PATH, then /sbin and /usr/sbin) with the extra
// environment entries ("NAME=value") added; standard input is /dev/null.
// Without `with_stderr` the standard error goes to /dev/null, so that it
// cannot split the lines of a listing.
ProcResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {}, bool with_stderr = true);
// As run(), throwing Error with the output when the program fails to start or
// exits non-zero.
std::string run_checked(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                        bool with_stderr = true);
std::vector<std::string> mtools_env();

// ---- scratch folders
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    void release() { path_.clear(); }  // keep the folder
private:
    std::string path_;
};
void write_file(const std::string &path, const void *data, size_t len);
std::string read_file(const std::string &path);
void make_dirs(const std::string &path);

std::vector<std::string> split_lines(const std::string &text);
std::string trim(const std::string &s);
bool starts_with(const std::string &s, const std::string &prefix);
std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));

}  // namespace imgkit::detail
