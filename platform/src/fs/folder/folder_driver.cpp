// A host folder acting as a mounted volume (the log drive): plain POSIX
// files under one folder.
//
// Names are case-insensitive as on Windows: an existing entry is matched
// ignoring case (an exact match first), a new one is created as given. No
// name may lead out of the folder: "." and ".." components, slashes, and
// links whose target lies outside are refused. The volume answers "HOSTFS",
// a file system the programs do not handle, so they refuse raw work on it;
// its volume handle has no sectors.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace ntp {
namespace {

bool wants_write(ACCESS_MASK a) {
    return (a & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA | MAXIMUM_ALLOWED)) != 0;
}

std::string real_path(const std::string &path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

class FolderFile : public FileObject {
public:
    FolderFile(int fd, bool directory) : fd_(fd), directory_(directory) {}
    ~FolderFile() override {
        if (fd_ >= 0) ::close(fd_);
    }

    NTSTATUS read(uint64_t offset, void *buffer, ULONG length, ULONG *done) override {
        *done = 0;
        if (fd_ < 0) return STATUS_FILE_CLOSED;
        if (directory_) return STATUS_INVALID_DEVICE_REQUEST;
        if (offset > static_cast<uint64_t>(INT64_MAX)) return STATUS_INVALID_PARAMETER;
        char *p = static_cast<char *>(buffer);
        while (*done < length) {
            ssize_t n = ::pread(fd_, p + *done, length - *done, static_cast<off_t>(offset + *done));
            if (n < 0) {
                if (errno == EINTR) continue;
                return status_from_errno(errno);
            }
            if (n == 0) break;
            *done += static_cast<ULONG>(n);
        }
        if (*done == 0 && length > 0) return STATUS_END_OF_FILE;
        return STATUS_SUCCESS;
    }

    NTSTATUS write(uint64_t offset, const void *buffer, ULONG length, ULONG *done) override {
        *done = 0;
        if (fd_ < 0) return STATUS_FILE_CLOSED;
        if (directory_) return STATUS_INVALID_DEVICE_REQUEST;
        if (offset == UINT64_MAX) {  // append
            struct stat st;
            if (::fstat(fd_, &st) != 0) return status_from_errno(errno);
            offset = static_cast<uint64_t>(st.st_size);
        }
        if (offset > static_cast<uint64_t>(INT64_MAX) - length) return STATUS_INVALID_PARAMETER;
        const char *p = static_cast<const char *>(buffer);
        while (*done < length) {
            ssize_t n = ::pwrite(fd_, p + *done, length - *done, static_cast<off_t>(offset + *done));
            if (n < 0) {
                if (errno == EINTR) continue;
                return status_from_errno(errno);
            }
            if (n == 0) return STATUS_DISK_FULL;
            *done += static_cast<ULONG>(n);
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS flush() override {
        if (fd_ < 0) return STATUS_FILE_CLOSED;
        if (::fsync(fd_) != 0 && errno != EINVAL) return status_from_errno(errno);
        return STATUS_SUCCESS;
    }

    uint64_t size() override {
        struct stat st;
        if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
        return static_cast<uint64_t>(st.st_size);
    }

    NTSTATUS close() override {
        if (fd_ >= 0 && ::close(fd_) != 0) {
            fd_ = -1;
            return status_from_errno(errno);
        }
        fd_ = -1;
        return STATUS_SUCCESS;
    }

private:
    int fd_;
    bool directory_;
};

class FolderDriver : public FsDriver {
public:
    FolderDriver(char letter, std::string root) : letter_(letter), root_(std::move(root)) {}

    NTSTATUS query_volume(FS_INFORMATION_CLASS cls, void *out, ULONG length, ULONG *written) override {
        switch (cls) {
        case FileFsAttributeInformation:
            return fs_attribute_info(out, length, written, FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK, 255,
                                     u"HOSTFS");
        case FileFsSizeInformation: {
            struct statvfs vfs;
            if (::statvfs(root_.c_str(), &vfs) != 0) {
                *written = 0;
                return status_from_errno(errno);
            }
            ULONG unit = vfs.f_frsize ? static_cast<ULONG>(vfs.f_frsize) : 4096;
            ULONG sector = unit < 512 ? unit : 512;
            return fs_size_info(out, length, written, vfs.f_blocks, vfs.f_bavail, unit / sector, sector);
        }
        case FileFsVolumeInformation: {
            struct statvfs vfs;
            ULONG serial = ::statvfs(root_.c_str(), &vfs) == 0 ? static_cast<ULONG>(vfs.f_fsid) : 0;
            return fs_volume_info(out, length, written, serial, u"");
        }
        case FileFsDeviceInformation:
            return fs_device_info(out, length, written);
        default:
            *written = 0;
            debug("folder drive %c: volume information class %d is not supported", letter_, static_cast<int>(cls));
            return STATUS_INVALID_INFO_CLASS;
        }
    }

    NTSTATUS volume_fsctl(ULONG code, const void *, ULONG, void *, ULONG, ULONG *returned) override {
        *returned = 0;
        debug("folder drive %c: FSCTL 0x%08X on a host folder", letter_, code);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    NTSTATUS create(std::u16string_view path, const CreateRequest &request, std::shared_ptr<FileObject> *out,
                    ULONG *information) override {
        out->reset();
        *information = 0;
        std::string host;
        bool exists = false;
        NTSTATUS status = resolve(path, &host, &exists);
        if (!NT_SUCCESS(status)) return status;

        const ULONG disposition = request.disposition;
        const bool want_dir = (request.options & FILE_DIRECTORY_FILE) != 0;
        const bool want_file = (request.options & FILE_NON_DIRECTORY_FILE) != 0;
        const bool truncate =
            disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF || disposition == FILE_SUPERSEDE;
        const bool writable = wants_write(request.access) || truncate;
        int fd = -1;
        bool directory = false;

        if (exists) {
            struct stat st;
            if (::stat(host.c_str(), &st) != 0) return status_from_errno(errno);
            directory = S_ISDIR(st.st_mode);
            if (disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
            if (directory) {
                if (want_file || truncate) return STATUS_FILE_IS_A_DIRECTORY;
                fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (fd < 0) return status_from_errno(errno);
                *information = FILE_OPENED;
            } else {
                if (want_dir) return STATUS_NOT_A_DIRECTORY;
                if (!S_ISREG(st.st_mode)) return STATUS_ACCESS_DENIED;  // devices, fifos: not files here
                fd = ::open(host.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
                if (fd < 0) return status_from_errno(errno);
                if (truncate && ::ftruncate(fd, 0) != 0) {
                    int err = errno;
                    ::close(fd);
                    return status_from_errno(err);
                }
                *information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED
                               : truncate                    ? FILE_OVERWRITTEN
                                                             : FILE_OPENED;
            }
        } else {
            if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) return STATUS_OBJECT_NAME_NOT_FOUND;
            if (want_dir) {
                if (::mkdir(host.c_str(), 0755) != 0) return status_from_errno(errno);
                fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
                directory = true;
            } else {
                fd = ::open(host.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            }
            if (fd < 0) return status_from_errno(errno);
            *information = FILE_CREATED;
        }
        *out = std::make_shared<FolderFile>(fd, directory);
        return STATUS_SUCCESS;
    }

    NTSTATUS remove(std::u16string_view path) override {
        std::string host;
        bool exists = false;
        NTSTATUS status = resolve(path, &host, &exists);
        if (!NT_SUCCESS(status)) return status;
        if (host == root_) return STATUS_CANNOT_DELETE;
        if (!exists) return STATUS_OBJECT_NAME_NOT_FOUND;
        struct stat st;
        if (::lstat(host.c_str(), &st) != 0) return status_from_errno(errno);
        if ((S_ISDIR(st.st_mode) ? ::rmdir(host.c_str()) : ::unlink(host.c_str())) != 0)
            return status_from_errno(errno);
        return STATUS_SUCCESS;
    }

private:
    bool inside(const std::string &real) const {
        return real == root_ || (real.size() > root_.size() && real.compare(0, root_.size(), root_) == 0 &&
                                 (root_ == "/" || real[root_.size()] == '/'));
    }

    NTSTATUS escape(std::u16string_view path) const {
        warn("drive %c: %s leads out of the drive's folder %s; refused", letter_, to_utf8(path).c_str(), root_.c_str());
        return STATUS_ACCESS_DENIED;
    }

    // The entry of folder `dir` named `name` ignoring case: an exact match
    // first, else the first matching name in byte order (so the choice does
    // not depend on the order of the folder). "" when there is none.
    static std::string find_entry(const std::string &dir, std::u16string_view name) {
        std::string exact = to_utf8(name);
        struct stat st;
        if (::lstat((dir + "/" + exact).c_str(), &st) == 0) return exact;
        std::string best;
        if (DIR *d = ::opendir(dir.c_str())) {
            while (struct dirent *e = ::readdir(d)) {
                std::string entry = e->d_name;
                if (entry == "." || entry == "..") continue;
                if (iequal(to_utf16(entry), name) && (best.empty() || entry < best)) best = entry;
            }
            ::closedir(d);
        }
        return best;
    }

    // Host path of `path` ("\" or "\dir\file"). *exists tells whether the
    // last component is there; the folders above it must be.
    NTSTATUS resolve(std::u16string_view path, std::string *host, bool *exists) const {
        *exists = false;
        if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
        std::vector<std::u16string_view> parts;
        size_t pos = 1;
        while (pos < path.size()) {
            size_t end = path.find(u'\\', pos);
            if (end == std::u16string_view::npos) end = path.size();
            std::u16string_view part = path.substr(pos, end - pos);
            if (part.empty() || part == u"." || part == u"..") return escape(path);
            for (char16_t c : part)
                if (c == u'/' || c == 0) return escape(path);
            parts.push_back(part);
            pos = end + 1;
        }
        std::string current = root_;
        if (parts.empty()) {
            *host = root_;
            *exists = true;
            return STATUS_SUCCESS;
        }
        for (size_t i = 0; i < parts.size(); ++i) {
            std::string entry = find_entry(current, parts[i]);
            const bool last = i + 1 == parts.size();
            if (entry.empty()) {
                if (!last) return STATUS_OBJECT_PATH_NOT_FOUND;
                *host = current + "/" + to_utf8(parts[i]);
                return STATUS_SUCCESS;
            }
            std::string candidate = current + "/" + entry;
            std::string real = real_path(candidate);
            if (real.empty()) {
                struct stat st;
                if (::lstat(candidate.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                    return escape(path);  // a dangling link: creating through it could land anywhere
                return status_from_errno(errno);
            }
            if (!inside(real)) return escape(path);
            if (last) {
                *host = candidate;  // the entry itself: removing a link removes the link
                *exists = true;
                return STATUS_SUCCESS;
            }
            struct stat st;
            if (::stat(real.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return STATUS_OBJECT_PATH_NOT_FOUND;
            current = real;
        }
        return STATUS_SUCCESS;
    }

    char letter_;
    std::string root_;  // resolved
};

}  // namespace

std::shared_ptr<FsDriver> folder_driver(const DriveConfig &drive) {
    std::string root = real_path(drive.path);
    struct stat st;
    if (root.empty() || ::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        warn("drive %c: the folder %s does not exist", drive.letter, drive.path.c_str());
        return nullptr;
    }
    return std::make_shared<FolderDriver>(drive.letter, root);
}

}  // namespace ntp
