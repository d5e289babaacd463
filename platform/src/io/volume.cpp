// Volumes: the image files and block devices behind the machine's drives.
//
// One Volume per drive letter per process, shared by every handle and driver
// of the drive. Opening refuses what would be unsafe to write: a missing
// file, an offset past the end, a volume the host has mounted, a volume
// another process holds (an exclusive flock for the Volume's lifetime).
//
// raw_write is the one path by which the programs write a volume. Every raw
// write is counted for the process and can be
//   - logged: NT_WRITE_LOG=FILE appends "X: <byte offset> <length>\n"
//     (decimal, offset from the start of the volume) per completed write;
//   - made to fail as a power cut would: NT_FAIL_WRITE_AT=N stops the process
//     with exit code 99 (kFailWriteExitCode) instead of performing the N-th
//     raw write (1-based); the writes before it are on disk, none after;
//   - torn, as a power cut during a multi-sector write would leave it:
//     NT_TORN_WRITE_AT=N:K lands only the first K sectors of the N-th raw
//     write (all of it when it is K sectors or shorter), then stops the
//     process with the same exit code. A torn write is not logged.
// The drivers' own accesses (dev_read/dev_write) are not counted.
//
// An image file without any write permission is refused when the volume is
// opened, as a read-only hive is, even to root (who could write it).
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <dirent.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

#include "internal.h"

namespace ntp {

// Exit code of a process stopped by NT_FAIL_WRITE_AT.
constexpr int kFailWriteExitCode = 99;

// ------------------------------------------------------------ errno table

NTSTATUS status_from_errno(int err) {
    struct Entry {
        int err;
        NTSTATUS status;
    };
    // EBUSY and EAGAIN become errors, not STATUS_DEVICE_BUSY: that one is a
    // warning, and the Win32 layer takes warnings for success.
    static const Entry table[] = {
        {EPERM, STATUS_ACCESS_DENIED},
        {EACCES, STATUS_ACCESS_DENIED},
        {ENOENT, STATUS_OBJECT_NAME_NOT_FOUND},
        {ENOTDIR, STATUS_OBJECT_PATH_NOT_FOUND},
        {ELOOP, STATUS_OBJECT_PATH_NOT_FOUND},
        {ENAMETOOLONG, STATUS_OBJECT_NAME_INVALID},
        {EILSEQ, STATUS_OBJECT_NAME_INVALID},
        {EEXIST, STATUS_OBJECT_NAME_COLLISION},
        {EISDIR, STATUS_FILE_IS_A_DIRECTORY},
        {ENOTEMPTY, STATUS_DIRECTORY_NOT_EMPTY},
        {ENOSPC, STATUS_DISK_FULL},
        {EDQUOT, STATUS_DISK_FULL},
        {EFBIG, STATUS_DISK_FULL},
        {EMLINK, STATUS_DISK_FULL},
        {EROFS, STATUS_MEDIA_WRITE_PROTECTED},
        {EBUSY, STATUS_SHARING_VIOLATION},
        {ETXTBSY, STATUS_SHARING_VIOLATION},
        {EAGAIN, STATUS_SHARING_VIOLATION},
        {EIO, STATUS_IO_DEVICE_ERROR},
        {ENXIO, STATUS_NO_SUCH_DEVICE},
        {ENODEV, STATUS_NO_SUCH_DEVICE},
        {ENOMEDIUM, STATUS_NO_SUCH_DEVICE},
        {ENOMEM, STATUS_NO_MEMORY},
        {EMFILE, STATUS_INSUFFICIENT_RESOURCES},
        {ENFILE, STATUS_INSUFFICIENT_RESOURCES},
        {EINVAL, STATUS_INVALID_PARAMETER},
        {ESPIPE, STATUS_INVALID_PARAMETER},
        {EOVERFLOW, STATUS_INVALID_PARAMETER},
        {EBADF, STATUS_INVALID_HANDLE},
        {EFAULT, STATUS_ACCESS_VIOLATION},
        {ENOTSUP, STATUS_NOT_SUPPORTED},
        {ENOSYS, STATUS_NOT_IMPLEMENTED},
    };
    for (const Entry &e : table)
        if (e.err == err) return e.status;
    warn("unexpected host error %d (%s), reported as STATUS_UNSUCCESSFUL", err, std::strerror(err));
    return STATUS_UNSUCCESSFUL;
}

// ------------------------------------------------------- host mount checks

namespace {

bool read_text(const std::string &path, std::string *text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    text->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text->append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

std::string trim_line(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

// "MAJ:MIN" -> device number; 0 when malformed.
uint64_t parse_dev(const std::string &text) {
    unsigned maj = 0, min = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%u:%u%c", &maj, &min, &extra) < 2) return 0;
    if (extra && extra != '\n') return 0;
    return makedev(maj, min);
}

// The fields of /proc/self/mounts escape blanks, tabs, newlines and
// backslashes as \ooo.
std::string unescape_mount_field(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && s.size() - i >= 4 && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
            s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string resolved(const std::string &path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf)) return buf;
    return std::string();
}

uint64_t host_block_device_of(const std::string &source) {
    struct stat st;
    if (source.empty() || source[0] != '/') return 0;
    if (::stat(source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
    return st.st_rdev;
}

}  // namespace

std::vector<uint64_t> sysfs_device_numbers(const std::string &device_dir) {
    std::vector<uint64_t> out;
    std::string text;
    if (read_text(device_dir + "/dev", &text)) {
        uint64_t dev = parse_dev(trim_line(text));
        if (dev) out.push_back(dev);
    }
    // Partitions are subfolders with a "partition" file (loop0/loop0p1).
    if (DIR *dir = ::opendir(device_dir.c_str())) {
        while (struct dirent *e = ::readdir(dir)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            std::string sub = device_dir + "/" + name;
            std::string ignored;
            if (!read_text(sub + "/partition", &ignored)) continue;
            if (read_text(sub + "/dev", &text)) {
                uint64_t dev = parse_dev(trim_line(text));
                if (dev) out.push_back(dev);
            }
        }
        ::closedir(dir);
    }
    return out;
}

std::vector<std::string> loop_devices_backing(const std::string &block_root, const std::string &image) {
    std::vector<std::string> out;
    DIR *dir = ::opendir(block_root.c_str());
    if (!dir) return out;
    while (struct dirent *e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name.compare(0, 4, "loop") != 0) continue;
        std::string backing;
        if (!read_text(block_root + "/" + name + "/loop/backing_file", &backing)) continue;
        backing = trim_line(backing);
        // A backing file removed after attaching shows as "path (deleted)";
        // it is no longer our image.
        if (backing == image) out.push_back(block_root + "/" + name);
    }
    ::closedir(dir);
    return out;
}

std::string find_host_mount(std::string_view mounts, const std::string &path, const std::vector<uint64_t> &devices,
                            const std::function<uint64_t(const std::string &)> &device_of) {
    size_t pos = 0;
    while (pos < mounts.size()) {
        size_t end = mounts.find('\n', pos);
        if (end == std::string_view::npos) end = mounts.size();
        std::string_view line = mounts.substr(pos, end - pos);
        pos = end + 1;
        size_t sp1 = line.find(' ');
        if (sp1 == std::string_view::npos) continue;
        size_t sp2 = line.find(' ', sp1 + 1);
        if (sp2 == std::string_view::npos) sp2 = line.size();
        std::string source = unescape_mount_field(line.substr(0, sp1));
        std::string point = unescape_mount_field(line.substr(sp1 + 1, sp2 - sp1 - 1));
        if (source.empty() || source[0] != '/') continue;  // tmpfs, proc, ...
        bool hit = (!path.empty() && source == path);
        if (!hit && !path.empty()) {
            std::string real = resolved(source);
            hit = !real.empty() && real == path;
        }
        if (!hit && !devices.empty()) {
            uint64_t dev = device_of(source);
            if (dev)
                for (uint64_t d : devices)
                    if (d == dev) hit = true;
        }
        if (hit) return point;
    }
    return std::string();
}

// ----------------------------------------------------------------- volumes

namespace {

// The flock of one host file, shared by the drives of this process that are
// parts (partitions) of it. Another process taking it is refused.
struct HostLock {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    ~HostLock() {
        if (fd >= 0) ::close(fd);
    }
};

struct Registry {
    std::mutex lock;
    std::map<char, std::weak_ptr<Volume>> volumes;
    struct Part {
        std::weak_ptr<Volume> volume;
        dev_t dev;
        ino_t ino;
        uint64_t begin, end;
    };
    std::vector<Part> parts;  // open ranges of host files, for overlap checks
    std::vector<std::weak_ptr<HostLock>> locks;
};

Registry &registry() {
    static Registry *r = new Registry;  // never destroyed: volumes may die in atexit paths
    return *r;
}

std::atomic<uint64_t> g_raw_writes{0};

// The host refuses to let us touch what it has mounted itself.
NTSTATUS check_not_mounted(char letter, const std::string &path, const struct stat &st) {
    std::string real = resolved(path);
    std::vector<uint64_t> devices;
    if (S_ISBLK(st.st_mode)) {
        char dir[64];
        std::snprintf(dir, sizeof dir, "/sys/dev/block/%u:%u", major(st.st_rdev), minor(st.st_rdev));
        devices = sysfs_device_numbers(dir);
        devices.push_back(st.st_rdev);
    } else {
        for (const std::string &loop : loop_devices_backing("/sys/block", real)) {
            std::vector<uint64_t> d = sysfs_device_numbers(loop);
            devices.insert(devices.end(), d.begin(), d.end());
        }
    }
    std::string mounts;
    if (!read_text("/proc/self/mounts", &mounts)) {
        warn("volume %c: cannot read /proc/self/mounts to check that %s is not mounted: %s", letter, path.c_str(),
             std::strerror(errno));
        return STATUS_ACCESS_DENIED;
    }
    std::string point = find_host_mount(mounts, real, devices, host_block_device_of);
    if (!point.empty()) {
        warn("volume %c: (%s) is mounted on the host at %s; unmount it first", letter, path.c_str(), point.c_str());
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS check_range(const char *what, uint64_t offset, size_t length, uint64_t size, bool reading) {
    if (reading && offset >= size && length > 0) return STATUS_END_OF_FILE;
    if (offset > size || length > size - offset) {
        debug("%s of %zu bytes at %llu crosses the end of the volume (%llu bytes)", what, length,
              static_cast<unsigned long long>(offset), static_cast<unsigned long long>(size));
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

NTSTATUS read_all(char letter, const std::string &path, int fd, uint64_t pos, void *buffer, size_t length) {
    char *p = static_cast<char *>(buffer);
    while (length > 0) {
        size_t chunk = length > (1u << 30) ? (1u << 30) : length;
        ssize_t n = ::pread(fd, p, chunk, static_cast<off_t>(pos));
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            warn("volume %c: reading %zu bytes at host offset %llu of %s failed: %s", letter, length,
                 static_cast<unsigned long long>(pos), path.c_str(), std::strerror(err));
            return status_from_errno(err);
        }
        if (n == 0) {
            // The range was inside the volume when it was opened: the image
            // has been truncated behind our back. Never hand out what we did
            // not read.
            warn("volume %c: %s ends at host offset %llu, inside the volume (was it truncated?)", letter, path.c_str(),
                 static_cast<unsigned long long>(pos));
            std::memset(p, 0, length);
            return STATUS_DEVICE_DATA_ERROR;
        }
        p += n;
        pos += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return STATUS_SUCCESS;
}

NTSTATUS write_all(char letter, const std::string &path, int fd, uint64_t pos, const void *buffer, size_t length) {
    const char *p = static_cast<const char *>(buffer);
    while (length > 0) {
        size_t chunk = length > (1u << 30) ? (1u << 30) : length;
        ssize_t n = ::pwrite(fd, p, chunk, static_cast<off_t>(pos));
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            warn("volume %c: writing %zu bytes at host offset %llu of %s failed: %s", letter, length,
                 static_cast<unsigned long long>(pos), path.c_str(), std::strerror(err));
            return status_from_errno(err);
        }
        if (n == 0) {
            warn("volume %c: writing at host offset %llu of %s made no progress", letter,
                 static_cast<unsigned long long>(pos), path.c_str());
            return STATUS_IO_DEVICE_ERROR;
        }
        p += n;
        pos += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return STATUS_SUCCESS;
}

// NT_FAIL_WRITE_AT: the 1-based number of the raw write that is not
// performed; 0 when unset. A malformed value is reported and ignored.
uint64_t fail_write_at() {
    const char *v = std::getenv("NT_FAIL_WRITE_AT");
    if (!v || !*v) return 0;
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(v, &end, 10);
    if (errno || *end || n == 0 || v[0] == '-') {
        static std::atomic<bool> told{false};
        if (!told.exchange(true)) warn("NT_FAIL_WRITE_AT=%s is not a write number (1, 2, ...); ignored", v);
        return 0;
    }
    return n;
}

// NT_TORN_WRITE_AT=N:K: the 1-based number of the raw write that is torn
// and the sectors of it that land (K >= 1). False when unset; a malformed
// value is reported and ignored.
bool torn_write_at(uint64_t *number, uint64_t *sectors) {
    const char *v = std::getenv("NT_TORN_WRITE_AT");
    if (!v || !*v) return false;
    unsigned long long n = 0, k = 0;
    int used = 0;
    if (std::sscanf(v, "%llu:%llu%n", &n, &k, &used) != 2 || v[used] != 0 || n == 0 || k == 0 || std::strchr(v, '-')) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true)) warn("NT_TORN_WRITE_AT=%s is not WRITE:SECTORS (1:1, 7:3, ...); ignored", v);
        return false;
    }
    *number = n;
    *sectors = k;
    return true;
}

// NT_WRITE_LOG: one line per completed raw write, written whole with
// O_APPEND so that the lines of successive runs never mix. The log is opened
// once per process and name (again when the variable names another file):
// a log removed while the process writes to it is not made again, so empty
// one by truncating it.
void log_raw_write(char letter, uint64_t offset, size_t length) {
    const char *file = std::getenv("NT_WRITE_LOG");
    if (!file || !*file) return;
    struct Log {
        std::mutex lock;
        std::string name;
        int fd = -1;
    };
    static Log *log = new Log;  // never destroyed: writes may come from atexit paths
    char line[80];
    int n = std::snprintf(line, sizeof line, "%c: %llu %zu\n", letter, static_cast<unsigned long long>(offset), length);
    std::lock_guard<std::mutex> guard(log->lock);
    if (log->fd < 0 || log->name != file) {
        if (log->fd >= 0) ::close(log->fd);
        log->name = file;
        log->fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    if (log->fd < 0 || ::write(log->fd, line, static_cast<size_t>(n)) != n)
        warn("cannot append to the write log %s (NT_WRITE_LOG): %s", file, std::strerror(errno));
}

// Nanoseconds of the coarse monotonic clock (no system call).
int64_t coarse_now_ns() {
    struct timespec t;
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

uint64_t raw_write_count() { return g_raw_writes.load(); }

NTSTATUS Volume::open(const DriveConfig &drive, std::shared_ptr<Volume> *out) {
    out->reset();
    const char letter = drive.letter;
    if (drive.kind != DriveConfig::Kind::Image) {
        warn("volume %c: a folder drive has no volume to open", letter);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);

    if (auto it = r.volumes.find(letter); it != r.volumes.end()) {
        if (std::shared_ptr<Volume> v = it->second.lock()) {
            if (v->path_ == drive.path && v->base_ == drive.offset) {
                *out = v;
                return STATUS_SUCCESS;
            }
        }
    }

    struct stat st;
    if (::stat(drive.path.c_str(), &st) != 0) {
        int err = errno;
        NTSTATUS status = err == ENOENT ? (drive.path.compare(0, 5, "/dev/") == 0 ? STATUS_NO_SUCH_DEVICE
                                                                                  : STATUS_OBJECT_NAME_NOT_FOUND)
                                        : status_from_errno(err);
        warn("volume %c: cannot open %s: %s (status 0x%08X)", letter, drive.path.c_str(), std::strerror(err),
             static_cast<unsigned>(status));
        return status;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        warn("volume %c: %s is neither an image file nor a block device (status 0x%08X)", letter, drive.path.c_str(),
             static_cast<unsigned>(STATUS_OBJECT_TYPE_MISMATCH));
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (NTSTATUS status = check_not_mounted(letter, drive.path, st); !NT_SUCCESS(status)) return status;
    // Root may open what nobody may write: a volume whose owner took away
    // every write permission is refused as it is to anyone else.
    if ((st.st_mode & 0222) == 0) {
        warn("volume %c: %s is read-only (no write permission): it is not opened (status 0x%08X)", letter,
             drive.path.c_str(), static_cast<unsigned>(STATUS_ACCESS_DENIED));
        return STATUS_ACCESS_DENIED;
    }

    int fd = ::open(drive.path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        NTSTATUS status = status_from_errno(err);
        warn("volume %c: cannot open %s for reading and writing: %s (status 0x%08X)", letter, drive.path.c_str(),
             std::strerror(err), static_cast<unsigned>(status));
        return status;
    }
    struct stat fst;
    uint64_t host_size = 0;
    if (::fstat(fd, &fst) != 0) {
        int err = errno;
        ::close(fd);
        warn("volume %c: cannot examine %s: %s", letter, drive.path.c_str(), std::strerror(err));
        return status_from_errno(err);
    }
    if (S_ISBLK(fst.st_mode)) {
        if (::ioctl(fd, BLKGETSIZE64, &host_size) != 0) {
            int err = errno;
            ::close(fd);
            warn("volume %c: cannot read the size of the block device %s: %s", letter, drive.path.c_str(),
                 std::strerror(err));
            return status_from_errno(err);
        }
    } else {
        host_size = static_cast<uint64_t>(fst.st_size);
    }
    if (drive.offset >= host_size) {
        ::close(fd);
        warn("volume %c: offset %llu is at or past the end of %s (%llu bytes)", letter,
             static_cast<unsigned long long>(drive.offset), drive.path.c_str(),
             static_cast<unsigned long long>(host_size));
        return STATUS_INVALID_PARAMETER;
    }
    const uint64_t size = host_size - drive.offset;

    // Parts of one host file open under two letters of this process share the
    // lock; they must not overlap.
    std::shared_ptr<HostLock> host_lock;
    for (const Registry::Part &p : r.parts) {
        std::shared_ptr<Volume> other = p.volume.lock();
        if (!other || p.dev != fst.st_dev || p.ino != fst.st_ino || other->letter_ == letter) continue;
        if (drive.offset < p.end && p.begin < drive.offset + size) {
            ::close(fd);
            warn("volume %c: (%s) overlaps drive %c: on the same host file", letter, drive.path.c_str(),
                 other->letter_);
            return STATUS_SHARING_VIOLATION;
        }
    }
    for (const std::weak_ptr<HostLock> &w : r.locks) {
        std::shared_ptr<HostLock> l = w.lock();
        if (l && l->dev == fst.st_dev && l->ino == fst.st_ino) host_lock = l;
    }
    if (!host_lock) {
        host_lock = std::make_shared<HostLock>();
        host_lock->fd = ::open(drive.path.c_str(), O_RDONLY | O_CLOEXEC);
        host_lock->dev = fst.st_dev;
        host_lock->ino = fst.st_ino;
        if (host_lock->fd < 0 || ::flock(host_lock->fd, LOCK_EX | LOCK_NB) != 0) {
            int err = errno;
            ::close(fd);
            if (err == EWOULDBLOCK) {
                warn("volume %c: (%s) is in use by another run", letter, drive.path.c_str());
                return STATUS_SHARING_VIOLATION;
            }
            warn("volume %c: cannot lock %s: %s", letter, drive.path.c_str(), std::strerror(err));
            return status_from_errno(err);
        }
        r.locks.push_back(host_lock);
    }

    std::shared_ptr<Volume> v(new Volume());
    v->letter_ = letter;
    v->fd_ = fd;
    v->base_ = drive.offset;
    v->size_ = size;
    v->path_ = drive.path;
    v->image_file_ = S_ISREG(fst.st_mode);
    v->host_lock_ = host_lock;

    // Forget what has died, then remember this one.
    std::erase_if(r.parts, [](const Registry::Part &p) { return p.volume.expired(); });
    std::erase_if(r.locks, [](const std::weak_ptr<HostLock> &l) { return l.expired(); });
    r.parts.push_back({v, fst.st_dev, fst.st_ino, drive.offset, drive.offset + size});
    r.volumes[letter] = v;
    *out = v;
    debug("volume %c: %s, %llu bytes at offset %llu", letter, drive.path.c_str(), static_cast<unsigned long long>(size),
          static_cast<unsigned long long>(drive.offset));
    return STATUS_SUCCESS;
}

Volume::~Volume() {
    if (fd_ >= 0) ::close(fd_);
}

NTSTATUS Volume::raw_read(uint64_t offset, void *buffer, size_t length) { return dev_read(offset, buffer, length); }

// An image file must not grow: if it was truncated behind our back, a write
// inside the volume could land past its end. Its size is looked at before
// the first write, then at most once a second, and before every write once
// a read has met its end early, so that the writes themselves cost no
// system call more than the write.
NTSTATUS Volume::check_host_size(uint64_t pos, size_t length) {
    if (!image_file_) return STATUS_SUCCESS;
    const int64_t now = coarse_now_ns();
    if (!short_read_.load() && size_checked_ns_.load() != 0 && now - size_checked_ns_.load() < 1000000000)
        return STATUS_SUCCESS;
    struct stat st;
    if (::fstat(fd_, &st) != 0) return STATUS_SUCCESS;  // as before: only a size we can see refuses
    size_checked_ns_.store(now != 0 ? now : 1);
    if (static_cast<uint64_t>(st.st_size) < base_ + size_) {
        short_read_.store(true);  // look again before every write
        if (static_cast<uint64_t>(st.st_size) < pos + length) {
            warn("volume %c: %s is shorter (%lld bytes) than the write at host offset %llu needs (was it truncated?)",
                 letter_, path_.c_str(), static_cast<long long>(st.st_size), static_cast<unsigned long long>(pos));
            return STATUS_DEVICE_DATA_ERROR;
        }
    } else {
        short_read_.store(false);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Volume::raw_write(uint64_t offset, const void *buffer, size_t length, size_t sector) {
    if (NTSTATUS status = check_range("raw write", offset, length, size_, false); !NT_SUCCESS(status)) return status;
    if (length == 0) return STATUS_SUCCESS;
    const uint64_t number = ++g_raw_writes;
    if (uint64_t stop = fail_write_at(); stop != 0 && number == stop) {
        warn("stopping at raw write %llu (NT_FAIL_WRITE_AT)", static_cast<unsigned long long>(number));
        std::fflush(stdout);  // what the screen showed; the volume is left as it is
        ::_exit(kFailWriteExitCode);
    }
    NTSTATUS status = check_host_size(base_ + offset, length);
    if (!NT_SUCCESS(status)) return status;
    if (uint64_t torn = 0, sectors = 0; torn_write_at(&torn, &sectors) && number == torn) {
        const uint64_t landed = sector == 0 || sectors >= length / sector ? length : sectors * sector;
        warn("tearing raw write %llu after %llu of %zu bytes (NT_TORN_WRITE_AT)",
             static_cast<unsigned long long>(number), static_cast<unsigned long long>(landed), length);
        if (NT_SUCCESS(write_all(letter_, path_, fd_, base_ + offset, buffer, landed))) ::fdatasync(fd_);
        std::fflush(stdout);
        ::_exit(kFailWriteExitCode);
    }
    status = write_all(letter_, path_, fd_, base_ + offset, buffer, length);
    if (NT_SUCCESS(status)) log_raw_write(letter_, offset, length);
    return status;
}

NTSTATUS Volume::dev_read(uint64_t offset, void *buffer, size_t length) {
    if (NTSTATUS status = check_range("read", offset, length, size_, true); !NT_SUCCESS(status)) return status;
    if (length == 0) return STATUS_SUCCESS;
    NTSTATUS status = read_all(letter_, path_, fd_, base_ + offset, buffer, length);
    if (status == STATUS_DEVICE_DATA_ERROR) short_read_.store(true);
    return status;
}

NTSTATUS Volume::dev_write(uint64_t offset, const void *buffer, size_t length) {
    if (NTSTATUS status = check_range("write", offset, length, size_, false); !NT_SUCCESS(status)) return status;
    if (length == 0) return STATUS_SUCCESS;
    NTSTATUS status = check_host_size(base_ + offset, length);
    if (!NT_SUCCESS(status)) return status;
    return write_all(letter_, path_, fd_, base_ + offset, buffer, length);
}

NTSTATUS Volume::dev_flush() {
    if (::fsync(fd_) != 0) {
        int err = errno;
        warn("volume %c: flushing %s failed: %s", letter_, path_.c_str(), std::strerror(err));
        return status_from_errno(err);
    }
    return STATUS_SUCCESS;
}

}  // namespace ntp
