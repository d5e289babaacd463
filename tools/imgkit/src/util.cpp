#include "util.h"

#include "imgkit/imgkit.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

extern char **environ;

namespace imgkit::detail {

// ------------------------------------------------------------------ SHA-256

namespace {
constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
}  // namespace

Sha256::Sha256() : h_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::block(const uint8_t *p) {
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
    for (int i = 0; i < 64; i++) {
        uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        uint32_t ch = (e & f) ^ (~e & g);
        uint32_t t1 = h + S1 + ch + K[i] + w[i];
        uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        uint32_t mj = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = S0 + mj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
    h_[5] += f;
    h_[6] += g;
    h_[7] += h;
}

void Sha256::update(const void *data, size_t len) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    total_ += len;
    if (used_) {
        size_t take = std::min(len, 64 - used_);
        memcpy(buf_ + used_, p, take);
        used_ += take;
        p += take;
        len -= take;
        if (used_ == 64) {
            block(buf_);
            used_ = 0;
        }
    }
    while (len >= 64) {
        block(p);
        p += 64;
        len -= 64;
    }
    if (len) {
        memcpy(buf_, p, len);
        used_ = len;
    }
}

std::string Sha256::hex() {
    uint64_t bits = total_ * 8;
    uint8_t pad = 0x80;
    update(&pad, 1);
    uint8_t zero = 0;
    while (used_ != 56) update(&zero, 1);
    uint8_t len[8];
    for (int i = 0; i < 8; i++) len[i] = uint8_t(bits >> (56 - 8 * i));
    update(len, 8);
    static const char *digits = "0123456789abcdef";
    std::string out;
    for (uint32_t v : h_)
        for (int s = 28; s >= 0; s -= 4) out += digits[(v >> s) & 15];
    return out;
}

std::string sha256_hex(const void *data, size_t len) {
    Sha256 h;
    h.update(data, len);
    return h.hex();
}

// ------------------------------------------------------------------ generator

static uint64_t splitmix(uint64_t &x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint64_t mix64(uint64_t a, uint64_t b) {
    uint64_t x = a ^ (b * 0x9e3779b97f4a7c15ULL);
    splitmix(x);
    return splitmix(x);
}

Rng::Rng(uint64_t seed) {
    uint64_t x = seed;
    for (auto &s : s_) s = splitmix(x);
}

uint64_t Rng::next() {
    auto rotl = [](uint64_t v, int k) { return (v << k) | (v >> (64 - k)); };
    uint64_t result = rotl(s_[1] * 5, 7) * 9;
    uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

uint64_t Rng::below(uint64_t n) { return n ? next() % n : 0; }

uint64_t Rng::between(uint64_t lo, uint64_t hi) { return hi <= lo ? lo : lo + below(hi - lo + 1); }

std::vector<uint8_t> make_content(uint64_t seed, uint64_t size, bool compressible) {
    static const char *words[] = {"cluster ", "record ", "volume ",   "extent ", "bitmap ", "index ",
                                  "sector ",  "stream ", "fragment ", "chain ",  "entry ",  "boot\r\n"};
    std::vector<uint8_t> out(size);
    Rng rng(seed);
    uint64_t pos = 0;
    while (pos < size) {
        uint64_t n = std::min<uint64_t>(size - pos, 64 + rng.below(448));
        bool text = compressible ? !rng.chance(5) : rng.chance(30);
        if (text) {
            for (uint64_t i = 0; i < n;) {
                const char *w = words[rng.below(12)];
                for (; *w && i < n; w++, i++) out[pos + i] = uint8_t(*w);
            }
        } else {
            for (uint64_t i = 0; i < n; i += 8) {
                uint64_t v = rng.next();
                for (int k = 0; k < 8 && i + k < n; k++) out[pos + i + k] = uint8_t(v >> (8 * k));
            }
        }
        pos += n;
    }
    return out;
}

// ------------------------------------------------------------------ image files

ImageFile::ImageFile(const std::string &path, bool writable) : path_(path) {
    fd_ = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd_ < 0) throw Error(fmt("cannot open image %s: %s", path.c_str(), strerror(errno)));
    struct stat st;
    if (fstat(fd_, &st) != 0) {
        ::close(fd_);
        throw Error(fmt("cannot stat image %s: %s", path.c_str(), strerror(errno)));
    }
    size_ = uint64_t(st.st_size);
}

ImageFile::~ImageFile() {
    if (fd_ >= 0) ::close(fd_);
}

void ImageFile::read(uint64_t off, void *buf, size_t len) const {
    if (off > size_ || len > size_ - off)
        throw Error(
            fmt("%s: read of %zu bytes at %llu is beyond the image end", path_.c_str(), len, (unsigned long long)off));
    uint8_t *p = static_cast<uint8_t *>(buf);
    while (len) {
        ssize_t n = ::pread(fd_, p, len, off_t(off));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            throw Error(fmt("%s: read failed at %llu", path_.c_str(), (unsigned long long)off));
        }
        p += n;
        off += uint64_t(n);
        len -= size_t(n);
    }
}

void ImageFile::write(uint64_t off, const void *buf, size_t len) {
    if (off > size_ || len > size_ - off)
        throw Error(
            fmt("%s: write of %zu bytes at %llu is beyond the image end", path_.c_str(), len, (unsigned long long)off));
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    while (len) {
        ssize_t n = ::pwrite(fd_, p, len, off_t(off));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            throw Error(fmt("%s: write failed at %llu", path_.c_str(), (unsigned long long)off));
        }
        p += n;
        off += uint64_t(n);
        len -= size_t(n);
    }
}

// ------------------------------------------------------------------ processes

static std::string find_program(const std::string &name) {
    if (name.find('/') != std::string::npos) return name;
    std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    path += ":/usr/sbin:/sbin:/usr/local/sbin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(start, end - start);
        if (!dir.empty()) {
            std::string cand = dir + "/" + name;
            if (access(cand.c_str(), X_OK) == 0) return cand;
        }
        start = end + 1;
    }
    return "";
}

ProcResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env, bool with_stderr) {
    ProcResult r;
    if (argv.empty()) return r;
    std::string prog = find_program(argv[0]);
    if (prog.empty()) {
        r.output = argv[0] + ": program not found";
        return r;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        r.output = "pipe failed";
        return r;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    if (with_stderr)
        posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    else
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);

    std::vector<std::string> envs;
    for (char **e = environ; *e; e++) {
        std::string s = *e;
        std::string name = s.substr(0, s.find('='));
        bool overridden = name == "LC_ALL" || name == "LANG" || name == "LANGUAGE";
        for (auto &x : env)
            if (x.substr(0, x.find('=')) == name) overridden = true;
        if (!overridden) envs.push_back(s);
    }
    // The C locale unless the caller names another.
    bool locale = false;
    for (auto &x : env) locale |= x.compare(0, 7, "LC_ALL=") == 0;
    if (!locale) envs.push_back("LC_ALL=C");
    for (auto &x : env) envs.push_back(x);
    std::vector<char *> cargv, cenv;
    for (auto &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    for (auto &e : envs) cenv.push_back(const_cast<char *>(e.c_str()));
    cenv.push_back(nullptr);

    pid_t pid;
    int rc = posix_spawn(&pid, prog.c_str(), &fa, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        r.output = argv[0] + ": cannot start: " + strerror(rc);
        return r;
    }
    r.started = true;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0)
            r.output.append(buf, size_t(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    ::close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(status))
        r.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        r.signal = WTERMSIG(status);
    return r;
}

std::string run_checked(const std::vector<std::string> &argv, const std::vector<std::string> &env, bool with_stderr) {
    ProcResult r = run(argv, env, with_stderr);
    if (!r.started || r.exit_code != 0) {
        if (!with_stderr) r = run(argv, env, true);  // for the messages
        std::string cmd;
        for (auto &a : argv) cmd += (cmd.empty() ? "" : " ") + a;
        std::string out = r.output.size() > 2000 ? r.output.substr(0, 2000) + "..." : r.output;
        throw Error(fmt("%s failed (exit %d): %s", cmd.c_str(), r.exit_code, trim(out).c_str()));
    }
    return r.output;
}

// Names reach mtools and come back from it in UTF-8 (code page 850 for the
// bytes of 8.3 names, mtools' default).
std::vector<std::string> mtools_env() { return {"MTOOLS_SKIP_CHECK=1", "MTOOLSRC=/dev/null", "LC_ALL=C.UTF-8"}; }

// ------------------------------------------------------------------ files and folders

static std::string scratch_base() {
    const char *mine = getenv("IMGKIT_TMPDIR");
    if (mine && *mine) return mine;
    struct statvfs st;
    if (access("/dev/shm", W_OK) == 0 && statvfs("/dev/shm", &st) == 0 &&
        uint64_t(st.f_bavail) * st.f_frsize >= (uint64_t(4) << 30))
        return "/dev/shm";
    const char *base = getenv("TMPDIR");
    return base && *base ? base : "/tmp";
}

TempDir::TempDir() {
    std::string tmpl = scratch_base() + "/imgkit-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) throw Error(fmt("cannot make a scratch folder: %s", strerror(errno)));
    path_ = buf.data();
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string &path, const void *data, size_t len) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) throw Error(fmt("cannot create %s: %s", path.c_str(), strerror(errno)));
    if (len && fwrite(data, 1, len, f) != len) {
        fclose(f);
        throw Error(fmt("cannot write %s", path.c_str()));
    }
    if (fclose(f) != 0) throw Error(fmt("cannot write %s", path.c_str()));
}

std::string read_file(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Error(fmt("cannot open %s: %s", path.c_str(), strerror(errno)));
    struct stat st;
    std::string out;
    if (fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(size_t(st.st_size));
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    ::close(fd);
    return out;
}

void make_dirs(const std::string &path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) throw Error(fmt("cannot make folder %s: %s", path.c_str(), ec.message().c_str()));
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
        start = end + 1;
    }
    return out;
}

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool starts_with(const std::string &s, const std::string &prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

std::string fmt(const char *f, ...) {
    va_list ap;
    va_start(ap, f);
    char buf[1024];
    int n = vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    if (n < 0) return "";
    if (size_t(n) < sizeof buf) return std::string(buf, size_t(n));
    std::string out(size_t(n) + 1, '\0');
    va_start(ap, f);
    vsnprintf(out.data(), out.size(), f, ap);
    va_end(ap);
    out.resize(size_t(n));
    return out;
}

}  // namespace imgkit::detail

namespace imgkit {

void copy_image(const std::string &from, const std::string &to) {
    using detail::fmt;
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw Error(fmt("cannot open %s: %s", from.c_str(), strerror(errno)));
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        int e = errno;
        ::close(in);
        throw Error(fmt("cannot create %s: %s", to.c_str(), strerror(e)));
    }
    struct stat st;
    bool ok = fstat(in, &st) == 0 && ftruncate(out, st.st_size) == 0;
    std::vector<char> buf(1 << 20);
    off_t pos = 0;
    // Copy only the data extents; the holes stay holes in the copy.
    while (ok && pos < st.st_size) {
        off_t data = lseek(in, pos, SEEK_DATA);
        if (data < 0) break;  // only a hole is left
        off_t hole = lseek(in, data, SEEK_HOLE);
        if (hole < 0) hole = st.st_size;
        for (off_t p = data; ok && p < hole;) {
            size_t n = size_t(std::min<off_t>(off_t(buf.size()), hole - p));
            ssize_t r = pread(in, buf.data(), n, p);
            ok = r > 0 && pwrite(out, buf.data(), size_t(r), p) == r;
            p += r > 0 ? r : 0;
        }
        pos = hole;
    }
    ::close(in);
    if (::close(out) != 0) ok = false;
    if (!ok) throw Error(fmt("copying %s to %s failed", from.c_str(), to.c_str()));
}

ScratchDir::ScratchDir() {
    detail::TempDir *t = new detail::TempDir();
    path_ = t->path();
    // Ownership of the folder passes to this object.
    t->release();
    delete t;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace imgkit
