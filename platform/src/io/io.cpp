// The file and volume calls of the native API: NtCreateFile and friends.
//
// Object names reach a drive through \DosDevices (or its alias \??):
//   \DosDevices\C:           the volume of drive C itself (raw sector I/O)
//   \DosDevices\C:\          the root directory of C
//   \DosDevices\C:\dir\file  a file, through the drive's file-system driver,
//                            which is handed the path "\dir\file"
// Drive letters and names are case-insensitive.
//
// Completion. A handle opened without FILE_SYNCHRONOUS_IO_ALERT/NONALERT is
// asynchronous: NtReadFile, NtWriteFile and NtFsControlFile do the work, fill
// the IO_STATUS_BLOCK and return STATUS_PENDING; the caller waits on the
// handle (always signalled here) and takes the status from the block. A
// synchronous handle returns the final status at once. NT_IO_SYNC=1 makes
// every handle complete at once, so that tests exercise both paths. Errors in
// the arguments (bad handle, misaligned volume I/O, ...) are returned at once
// on every handle, as Windows does before it queues anything.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "internal.h"

namespace ntp {

// -------------------------------------------------- volume information

namespace {

// FILE_FS_DEVICE_INFORMATION (not in the public headers: only filled here).
struct FsDeviceInformation {
    ULONG DeviceType;       // 0x00
    ULONG Characteristics;  // 0x04
};
static_assert(sizeof(FsDeviceInformation) == 8, "FILE_FS_DEVICE_INFORMATION layout");
constexpr ULONG kFileDeviceDisk = 0x00000007;

static_assert(offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) == 12, "attribute information layout");
static_assert(sizeof(FILE_FS_ATTRIBUTE_INFORMATION) == 16, "attribute information layout");
static_assert(offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel) == 18, "volume information layout");
static_assert(sizeof(FILE_FS_VOLUME_INFORMATION) == 24, "volume information layout");
static_assert(sizeof(FILE_FS_SIZE_INFORMATION) == 24, "size information layout");

}  // namespace

NTSTATUS fs_attribute_info(void *out, ULONG length, ULONG *written, ULONG attributes, LONG max_component,
                           std::u16string_view name) {
    *written = 0;
    if (length < sizeof(FILE_FS_ATTRIBUTE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    const ULONG fixed = offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
    ULONG bytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    NTSTATUS status = STATUS_SUCCESS;
    if (bytes > length - fixed) {
        bytes = (length - fixed) & ~1u;
        status = STATUS_BUFFER_OVERFLOW;
    }
    auto *info = static_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(out);
    info->FileSystemAttributes = attributes;
    info->MaximumComponentNameLength = max_component;
    info->FileSystemNameLength = bytes;  // what was copied, as the Windows drivers report it
    std::memcpy(static_cast<char *>(out) + fixed, name.data(), bytes);
    *written = fixed + bytes;
    return status;
}

NTSTATUS fs_size_info(void *out, ULONG length, ULONG *written, uint64_t total_units, uint64_t free_units,
                      ULONG sectors_per_unit, ULONG bytes_per_sector) {
    *written = 0;
    if (length < sizeof(FILE_FS_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    auto *info = static_cast<FILE_FS_SIZE_INFORMATION *>(out);
    info->TotalAllocationUnits.QuadPart = static_cast<LONGLONG>(total_units);
    info->AvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(free_units);
    info->SectorsPerAllocationUnit = sectors_per_unit;
    info->BytesPerSector = bytes_per_sector;
    *written = sizeof(FILE_FS_SIZE_INFORMATION);
    return STATUS_SUCCESS;
}

NTSTATUS fs_volume_info(void *out, ULONG length, ULONG *written, ULONG serial, std::u16string_view label) {
    *written = 0;
    if (length < sizeof(FILE_FS_VOLUME_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    const ULONG fixed = offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
    ULONG bytes = static_cast<ULONG>(label.size() * sizeof(WCHAR));
    NTSTATUS status = STATUS_SUCCESS;
    if (bytes > length - fixed) {
        bytes = (length - fixed) & ~1u;
        status = STATUS_BUFFER_OVERFLOW;
    }
    std::memset(out, 0, fixed);
    auto *info = static_cast<FILE_FS_VOLUME_INFORMATION *>(out);
    info->VolumeSerialNumber = serial;
    info->VolumeLabelLength = bytes;
    info->SupportsObjects = FALSE;
    std::memcpy(static_cast<char *>(out) + fixed, label.data(), bytes);
    *written = fixed + bytes;
    return status;
}

NTSTATUS fs_device_info(void *out, ULONG length, ULONG *written) {
    *written = 0;
    if (length < sizeof(FsDeviceInformation)) return STATUS_INFO_LENGTH_MISMATCH;
    FsDeviceInformation info{kFileDeviceDisk, 0};
    std::memcpy(out, &info, sizeof info);
    *written = sizeof info;
    return STATUS_SUCCESS;
}

// ------------------------------------------------------------ RAW driver

namespace {

// A volume whose file system no driver knows: Windows mounts it as "RAW".
// It has no files; only raw sector I/O and the volume information work.
class RawDriver : public FsDriver {
public:
    explicit RawDriver(std::shared_ptr<Volume> volume) : volume_(std::move(volume)) {}

    NTSTATUS query_volume(FS_INFORMATION_CLASS cls, void *out, ULONG length, ULONG *written) override {
        switch (cls) {
        case FileFsAttributeInformation:
            return fs_attribute_info(out, length, written, 0, 255, u"RAW");
        case FileFsSizeInformation:
            return fs_size_info(out, length, written, volume_->size() / 512, 0, 1, 512);
        case FileFsVolumeInformation:
            return fs_volume_info(out, length, written, 0, u"");
        case FileFsDeviceInformation:
            return fs_device_info(out, length, written);
        default:
            *written = 0;
            debug("RAW volume %c: volume information class %d is not supported", volume_->letter(),
                  static_cast<int>(cls));
            return STATUS_INVALID_INFO_CLASS;
        }
    }

    NTSTATUS volume_fsctl(ULONG code, const void *, ULONG, void *, ULONG, ULONG *returned) override {
        *returned = 0;
        switch (code) {
        case FSCTL_GET_VOLUME_BITMAP:
        case FSCTL_GET_NTFS_VOLUME_DATA:
        case FSCTL_GET_NTFS_FILE_RECORD:
        case FSCTL_GET_RETRIEVAL_POINTERS:
        case FSCTL_IS_VOLUME_DIRTY:
        case FSCTL_MOVE_FILE:
            return STATUS_UNRECOGNIZED_VOLUME;
        default:
            debug("RAW volume %c: FSCTL 0x%08X is not supported", volume_->letter(), code);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }

    NTSTATUS create(std::u16string_view, const CreateRequest &, std::shared_ptr<FileObject> *out,
                    ULONG *information) override {
        out->reset();
        *information = 0;
        return STATUS_UNRECOGNIZED_VOLUME;
    }

    NTSTATUS remove(std::u16string_view) override { return STATUS_UNRECOGNIZED_VOLUME; }

private:
    std::shared_ptr<Volume> volume_;
};

}  // namespace

std::shared_ptr<FsDriver> raw_driver(std::shared_ptr<Volume> volume) {
    return std::make_shared<RawDriver>(std::move(volume));
}

// ---------------------------------------------------------------- drivers

namespace {

struct DriveEntry {
    std::weak_ptr<FsDriver> driver;
    std::weak_ptr<Volume> volume;
    bool folder = false;
    DriveConfig config;
};

struct Drives {
    std::mutex lock;
    std::map<char, DriveEntry> entries;
};

Drives &drives() {
    static Drives *d = new Drives;  // never destroyed: handles may be closed from atexit paths
    return *d;
}

}  // namespace

NTSTATUS drive_driver(char letter, std::shared_ptr<FsDriver> *out, std::shared_ptr<Volume> *volume) {
    out->reset();
    if (volume) volume->reset();
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z') return STATUS_OBJECT_NAME_INVALID;

    // The drives file is read every time: a drive whose line changed gets a
    // new driver, while handles on the old one keep theirs.
    DriveConfig config;
    NTSTATUS status = machine_drive(letter, &config);
    if (!NT_SUCCESS(status)) return status;

    Drives &d = drives();
    std::lock_guard<std::mutex> guard(d.lock);
    if (auto it = d.entries.find(letter); it != d.entries.end()) {
        const DriveConfig &was = it->second.config;
        std::shared_ptr<FsDriver> driver = it->second.driver.lock();
        std::shared_ptr<Volume> vol = it->second.volume.lock();
        if (driver && (it->second.folder || vol) && was.kind == config.kind && was.path == config.path &&
            was.offset == config.offset) {
            *out = driver;
            if (volume) *volume = vol;
            return STATUS_SUCCESS;
        }
    }

    DriveEntry entry;
    std::shared_ptr<FsDriver> driver;
    std::shared_ptr<Volume> vol;
    if (config.kind == DriveConfig::Kind::Folder) {
        driver = folder_driver(config);
        if (!driver) return STATUS_OBJECT_PATH_NOT_FOUND;  // folder_driver said why
        entry.folder = true;
    } else {
        status = Volume::open(config, &vol);
        if (!NT_SUCCESS(status)) return status;
        driver = ntfs_driver_probe(vol);
        if (!driver) driver = fat_driver_probe(vol);
        if (!driver) driver = raw_driver(vol);
    }
    entry.driver = driver;
    entry.volume = vol;
    entry.config = config;
    d.entries[letter] = entry;
    *out = driver;
    if (volume) *volume = vol;
    return STATUS_SUCCESS;
}

}  // namespace ntp

// --------------------------------------------------------------- handles

namespace {

using ntp::debug;

bool wants_read(ACCESS_MASK a) { return (a & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA | MAXIMUM_ALLOWED)) != 0; }
bool wants_write(ACCESS_MASK a) {
    return (a & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA | MAXIMUM_ALLOWED)) != 0;
}

bool io_sync_forced() {
    const char *v = std::getenv("NT_IO_SYNC");
    return v && v[0] == '1' && v[1] == 0;
}

// What every handle of ours knows about itself.
struct HandleState {
    ACCESS_MASK access = 0;
    bool synchronous = false;  // FILE_SYNCHRONOUS_IO_ALERT/NONALERT
};

// A handle on a drive's volume itself.
class OpenVolume : public ntp::Object {
public:
    HandleState state;
    char letter = 0;
    std::shared_ptr<ntp::FsDriver> driver;
    std::shared_ptr<ntp::Volume> volume;  // null on a folder drive
    uint64_t position = 0;
};

// A handle on a file or directory of a drive: the driver's FileObject, with
// what the handle adds (access, completion mode, file pointer, delete on
// close). NtClose calls close() once for it.
class OpenFile : public ntp::FileObject {
public:
    HandleState state;
    std::shared_ptr<ntp::FsDriver> driver;
    std::shared_ptr<ntp::FileObject> file;
    std::u16string path;
    bool delete_on_close = false;

    ~OpenFile() override { close(); }

    NTSTATUS read(uint64_t offset, void *buffer, ULONG length, ULONG *done) override {
        return file->read(offset, buffer, length, done);
    }
    NTSTATUS write(uint64_t offset, const void *buffer, ULONG length, ULONG *done) override {
        return file->write(offset, buffer, length, done);
    }
    NTSTATUS flush() override { return file->flush(); }
    uint64_t size() override { return file->size(); }
    NTSTATUS fsctl(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned) override {
        return file->fsctl(code, in, inLength, out, outLength, returned);
    }
    NTSTATUS close() override {
        if (closed_) return STATUS_SUCCESS;
        closed_ = true;
        NTSTATUS status = file->close();
        if (delete_on_close) {
            NTSTATUS removed = driver->remove(path);
            if (!NT_SUCCESS(removed)) {
                ntp::warn("delete on close of %s failed (status 0x%08X)", ntp::to_utf8(path).c_str(),
                          static_cast<unsigned>(removed));
                if (NT_SUCCESS(status)) status = removed;
            }
        }
        return status;
    }

private:
    bool closed_ = false;
};

// --------------------------------------------------------------- names

enum class NameKind { Volume, Root, File };

struct ParsedName {
    char letter = 0;
    NameKind kind = NameKind::Volume;
    std::u16string path;          // "\" or "\dir\file" (never with a trailing backslash)
    bool trailing_slash = false;  // "\dir\": the name asks for a directory
};

bool starts_with_nocase(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && ntp::iequal(s.substr(0, prefix.size()), prefix);
}

bool valid_component(std::u16string_view c) {
    if (c.empty() || c.size() > 255 || c == u"." || c == u"..") return false;
    for (char16_t ch : c) {
        if (ch < 0x20) return false;
        switch (ch) {
        case u'"':
        case u'*':
        case u'/':
        case u':':
        case u'<':
        case u'>':
        case u'?':
        case u'|':
            return false;
        default:
            break;
        }
    }
    return true;
}

NTSTATUS parse_name(const OBJECT_ATTRIBUTES *attributes, ParsedName *out) {
    const UNICODE_STRING *name = attributes->ObjectName;
    if (!name || (name->Length && !name->Buffer) || (name->Length & 1) || name->Length > name->MaximumLength)
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string_view s(name->Buffer ? name->Buffer : u"", name->Length / sizeof(WCHAR));
    if (s.empty() || s[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;  // relative names need a root
    std::u16string_view rest;
    if (starts_with_nocase(s, u"\\DosDevices\\"))
        rest = s.substr(12);
    else if (starts_with_nocase(s, u"\\??\\"))
        rest = s.substr(4);
    else {
        debug("NtCreateFile: %s is outside \\DosDevices, which is all this machine names", ntp::to_utf8(s).c_str());
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (rest.size() < 2 || rest[1] != u':') return STATUS_OBJECT_NAME_INVALID;
    char16_t letter = ntp::upcase(rest[0]);
    if (letter < u'A' || letter > u'Z') return STATUS_OBJECT_NAME_INVALID;
    out->letter = static_cast<char>(letter);
    rest = rest.substr(2);
    if (rest.empty()) {
        out->kind = NameKind::Volume;
        return STATUS_SUCCESS;
    }
    if (rest[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;  // "C:dir": no current directories here
    if (rest == u"\\") {
        out->kind = NameKind::Root;
        out->path.assign(1, u'\\');  // by count: GCC 12 reads assign-from-literal as a possible overlap
        return STATUS_SUCCESS;
    }
    if (rest.back() == u'\\') {
        out->trailing_slash = true;
        rest.remove_suffix(1);
    }
    size_t pos = 1;
    while (pos <= rest.size()) {
        size_t end = rest.find(u'\\', pos);
        if (end == std::u16string_view::npos) end = rest.size();
        if (!valid_component(rest.substr(pos, end - pos))) return STATUS_OBJECT_NAME_INVALID;
        pos = end + 1;
    }
    out->kind = NameKind::File;
    out->path = std::u16string(rest);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------- completion

// Fills the block and gives the caller what its handle's mode asks for.
NTSTATUS complete(const HandleState &state, PIO_STATUS_BLOCK iosb, NTSTATUS status, ULONG_PTR information) {
    iosb->Status = status;
    iosb->Information = information;
    if (state.synchronous || io_sync_forced()) return status;
    return STATUS_PENDING;
}

constexpr uint64_t kAppend = UINT64_MAX;

// The byte offset of a read or write. ByteOffset is required on asynchronous
// handles; synchronous handles without one use the file pointer.
//   -1/-1 (FILE_WRITE_TO_END_OF_FILE): a write appends (kAppend); a read
//          reads at the file pointer (the Win32 layer passes it when the
//          caller gave no overlapped record).
//   -2/-1 (FILE_USE_FILE_POINTER_POSITION): the file pointer.
NTSTATUS resolve_offset(bool writing, const HandleState &state, uint64_t position, const LARGE_INTEGER *given,
                        uint64_t *offset) {
    if (!given) {
        if (!state.synchronous) {
            debug("I/O on an asynchronous handle without a byte offset");
            return STATUS_INVALID_PARAMETER;
        }
        *offset = position;
        return STATUS_SUCCESS;
    }
    if (given->HighPart == -1 && given->LowPart == FILE_WRITE_TO_END_OF_FILE) {
        *offset = writing ? kAppend : position;
        return STATUS_SUCCESS;
    }
    if (given->HighPart == -1 && given->LowPart == FILE_USE_FILE_POINTER_POSITION) {
        *offset = position;
        return STATUS_SUCCESS;
    }
    if (given->QuadPart < 0) return STATUS_INVALID_PARAMETER;
    *offset = static_cast<uint64_t>(given->QuadPart);
    return STATUS_SUCCESS;
}

NTSTATUS unsupported_completion(const char *call, HANDLE event, PIO_APC_ROUTINE apc) {
    if (event || apc) {
        debug("%s: %s is not supported (every operation completes before the call returns)", call,
              event ? "an event" : "an APC routine");
        return STATUS_NOT_SUPPORTED;
    }
    return STATUS_SUCCESS;
}

// Raw I/O on a volume handle: checks shared by reads and writes.
NTSTATUS check_raw(OpenVolume &vh, bool writing, uint64_t offset, const void *buffer, ULONG length) {
    if (!vh.volume) {
        debug("volume %c: a folder drive has no sectors", vh.letter);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (writing ? !wants_write(vh.state.access) : !wants_read(vh.state.access)) return STATUS_ACCESS_DENIED;
    if (offset == kAppend) return STATUS_INVALID_PARAMETER;
    // Volumes take whole, aligned sectors only, as unbuffered I/O on Windows.
    const uint64_t sector = vh.driver->sector_size();
    if (sector == 0 || offset % sector || length % sector || reinterpret_cast<uintptr_t>(buffer) % sector) {
        debug("volume %c: raw %s of %u bytes at %llu from %p is not aligned to %llu-byte sectors", vh.letter,
              writing ? "write" : "read", length, static_cast<unsigned long long>(offset), buffer,
              static_cast<unsigned long long>(sector));
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

NTSTATUS do_read_write(bool writing, HANDLE handle, PIO_STATUS_BLOCK iosb, void *buffer, ULONG length,
                       PLARGE_INTEGER byteOffset) {
    std::shared_ptr<ntp::Object> object = ntp::handle_lookup(handle);
    if (!object) return STATUS_INVALID_HANDLE;
    if (!iosb || (!buffer && length)) return STATUS_INVALID_PARAMETER;

    if (auto *vh = dynamic_cast<OpenVolume *>(object.get())) {
        uint64_t offset = 0;
        NTSTATUS status = resolve_offset(writing, vh->state, vh->position, byteOffset, &offset);
        if (!NT_SUCCESS(status)) return status;
        status = check_raw(*vh, writing, offset, buffer, length);
        if (!NT_SUCCESS(status)) return status;
        vh->driver->before_raw_io();
        status = writing ? vh->volume->raw_write(offset, buffer, length, vh->driver->sector_size())
                         : vh->volume->raw_read(offset, buffer, length);
        ULONG done = NT_SUCCESS(status) ? length : 0;
        if (NT_SUCCESS(status)) vh->position = offset + done;
        return complete(vh->state, iosb, status, done);
    }

    auto *file = dynamic_cast<ntp::FileObject *>(object.get());
    if (!file) return STATUS_OBJECT_TYPE_MISMATCH;
    auto *fh = dynamic_cast<OpenFile *>(file);
    // Objects of other parts of the machine (the standard streams) are
    // synchronous and open for everything.
    HandleState state = fh ? fh->state : HandleState{GENERIC_READ | GENERIC_WRITE, true};
    if (writing ? !wants_write(state.access) : !wants_read(state.access)) return STATUS_ACCESS_DENIED;
    uint64_t offset = 0;
    NTSTATUS status = resolve_offset(writing, state, file->position, byteOffset, &offset);
    if (!NT_SUCCESS(status)) return status;
    ULONG done = 0;
    status = writing ? file->write(offset, buffer, length, &done) : file->read(offset, buffer, length, &done);
    if (NT_SUCCESS(status)) file->position = offset == kAppend ? file->size() : offset + done;
    return complete(state, iosb, status, done);
}

}  // namespace

// ------------------------------------------------------------ native API

NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength) {
    if (!FileHandle || !ObjectAttributes || !IoStatusBlock) return STATUS_INVALID_PARAMETER;
    *FileHandle = nullptr;
    if (ObjectAttributes->RootDirectory) {
        debug("NtCreateFile: names relative to a RootDirectory handle are not supported");
        return STATUS_NOT_SUPPORTED;
    }
    if (EaBuffer || EaLength) {
        debug("NtCreateFile: extended attributes are not supported");
        return STATUS_NOT_SUPPORTED;
    }
    if (AllocationSize && AllocationSize->QuadPart)
        debug("NtCreateFile: AllocationSize %lld ignored (files grow as they are written)",
              static_cast<long long>(AllocationSize->QuadPart));
    if (CreateDisposition > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
    if (ShareAccess != (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
        static bool told = false;
        if (!told) debug("NtCreateFile: share access is not enforced (one process owns the machine)");
        told = true;
    }
    if ((CreateOptions & FILE_DIRECTORY_FILE) && (CreateOptions & FILE_NON_DIRECTORY_FILE))
        return STATUS_INVALID_PARAMETER;

    ParsedName name;
    NTSTATUS status = parse_name(ObjectAttributes, &name);
    if (!NT_SUCCESS(status)) return status;

    std::shared_ptr<ntp::FsDriver> driver;
    std::shared_ptr<ntp::Volume> volume;
    status = ntp::drive_driver(name.letter, &driver, &volume);
    if (!NT_SUCCESS(status)) return status;

    HandleState state;
    state.access = DesiredAccess;
    state.synchronous = (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;

    if (name.kind == NameKind::Volume) {
        if (CreateDisposition != FILE_OPEN && CreateDisposition != FILE_OPEN_IF) return STATUS_ACCESS_DENIED;
        if (CreateOptions & FILE_DIRECTORY_FILE) return STATUS_NOT_A_DIRECTORY;
        auto handle = std::make_shared<OpenVolume>();
        handle->state = state;
        handle->letter = name.letter;
        handle->driver = driver;
        handle->volume = volume;
        *FileHandle = ntp::handle_insert(handle);
        IoStatusBlock->Status = STATUS_SUCCESS;
        IoStatusBlock->Information = FILE_OPENED;
        return STATUS_SUCCESS;
    }

    if (name.trailing_slash) {
        if (CreateOptions & FILE_NON_DIRECTORY_FILE) return STATUS_OBJECT_NAME_INVALID;
        CreateOptions |= FILE_DIRECTORY_FILE;
    }
    ntp::CreateRequest request;
    request.access = DesiredAccess;
    request.attributes = FileAttributes;
    request.share = ShareAccess;
    request.disposition = CreateDisposition;
    request.options = CreateOptions;
    std::shared_ptr<ntp::FileObject> file;
    ULONG information = 0;
    status = driver->create(name.path, request, &file, &information);
    if (!NT_SUCCESS(status)) return status;
    if (!file) {
        ntp::warn("drive %c: the driver opened %s without a file object", name.letter, ntp::to_utf8(name.path).c_str());
        return STATUS_UNSUCCESSFUL;
    }
    auto handle = std::make_shared<OpenFile>();
    handle->state = state;
    handle->driver = driver;
    handle->file = file;
    handle->path = name.path;
    handle->delete_on_close = (CreateOptions & FILE_DELETE_ON_CLOSE) != 0;
    *FileHandle = ntp::handle_insert(handle);
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = information;
    return status;
}

NTSTATUS NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions) {
    return NtCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess, FILE_OPEN,
                        OpenOptions, nullptr, 0);
}

NTSTATUS NtDeleteFile(POBJECT_ATTRIBUTES ObjectAttributes) {
    if (!ObjectAttributes) return STATUS_INVALID_PARAMETER;
    if (ObjectAttributes->RootDirectory) {
        debug("NtDeleteFile: names relative to a RootDirectory handle are not supported");
        return STATUS_NOT_SUPPORTED;
    }
    ParsedName name;
    NTSTATUS status = parse_name(ObjectAttributes, &name);
    if (!NT_SUCCESS(status)) return status;
    std::shared_ptr<ntp::FsDriver> driver;
    status = ntp::drive_driver(name.letter, &driver, nullptr);
    if (!NT_SUCCESS(status)) return status;
    if (name.kind != NameKind::File) return STATUS_CANNOT_DELETE;  // the volume or its root
    return driver->remove(name.path);
}

NTSTATUS NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
    NTSTATUS status = unsupported_completion("NtReadFile", Event, ApcRoutine);
    if (!NT_SUCCESS(status)) return status;
    if (Key) debug("NtReadFile: Key ignored (byte-range locks are not emulated)");
    return do_read_write(false, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                     PULONG Key) {
    NTSTATUS status = unsupported_completion("NtWriteFile", Event, ApcRoutine);
    if (!NT_SUCCESS(status)) return status;
    if (Key) debug("NtWriteFile: Key ignored (byte-range locks are not emulated)");
    return do_read_write(true, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
    std::shared_ptr<ntp::Object> object = ntp::handle_lookup(FileHandle);
    if (!object) return STATUS_INVALID_HANDLE;
    if (!IoStatusBlock) return STATUS_INVALID_PARAMETER;
    NTSTATUS status;
    if (auto *vh = dynamic_cast<OpenVolume *>(object.get())) {
        if (!wants_write(vh->state.access)) return STATUS_ACCESS_DENIED;
        status = vh->volume ? vh->volume->dev_flush() : STATUS_SUCCESS;
    } else if (auto *file = dynamic_cast<ntp::FileObject *>(object.get())) {
        auto *fh = dynamic_cast<OpenFile *>(file);
        if (fh && !wants_write(fh->state.access)) return STATUS_ACCESS_DENIED;
        status = file->flush();
    } else {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = 0;
    return status;
}

NTSTATUS NtQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FsInformation,
                                      ULONG Length, FS_INFORMATION_CLASS FsInformationClass) {
    std::shared_ptr<ntp::Object> object = ntp::handle_lookup(FileHandle);
    if (!object) return STATUS_INVALID_HANDLE;
    if (!IoStatusBlock || (!FsInformation && Length)) return STATUS_INVALID_PARAMETER;
    std::shared_ptr<ntp::FsDriver> driver;
    if (auto *vh = dynamic_cast<OpenVolume *>(object.get()))
        driver = vh->driver;
    else if (auto *fh = dynamic_cast<OpenFile *>(object.get()))
        driver = fh->driver;
    else
        return STATUS_INVALID_DEVICE_REQUEST;  // not on a drive (a standard stream)
    ULONG written = 0;
    NTSTATUS status = driver->query_volume(FsInformationClass, FsInformation, Length, &written);
    if (NT_ERROR(status)) written = 0;
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = written;
    return status;
}

NTSTATUS NtFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                         PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode, PVOID InputBuffer,
                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength) {
    NTSTATUS status = unsupported_completion("NtFsControlFile", Event, ApcRoutine);
    if (!NT_SUCCESS(status)) return status;
    std::shared_ptr<ntp::Object> object = ntp::handle_lookup(FileHandle);
    if (!object) return STATUS_INVALID_HANDLE;
    if (!IoStatusBlock || (!InputBuffer && InputBufferLength) || (!OutputBuffer && OutputBufferLength))
        return STATUS_INVALID_PARAMETER;
    ULONG returned = 0;
    HandleState state;
    if (auto *vh = dynamic_cast<OpenVolume *>(object.get())) {
        state = vh->state;
        // The answer comes from the disk as it is now, after the driver's
        // own writes.
        vh->driver->before_raw_io();
        status = vh->driver->volume_fsctl(FsControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                                          OutputBufferLength, &returned);
    } else if (auto *fh = dynamic_cast<OpenFile *>(object.get())) {
        state = fh->state;
        status = fh->fsctl(FsControlCode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength, &returned);
    } else {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (NT_ERROR(status)) returned = 0;  // a warning (buffer overflow) still reports what was filled
    return complete(state, IoStatusBlock, status, returned);
}
