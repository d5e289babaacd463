// Linux side of the emulated NT machine: the pieces the native calls are
// built from. Plain C++ inside; nothing here is seen by the programs.
//
//   nt/        strings and formatting, counted strings, heap, handles and
//              waits, the process and its parameters, screen, time, shutdown
//              and system information, UTF-8/UTF-16 text
//   io/        volume.cpp: open images/devices, raw I/O (the one raw write
//              path); io.cpp: NtCreateFile and the other file calls, names
//   fs/ntfs/   NTFS volumes (own reader for the FSCTLs, libntfs-3g for files)
//   fs/fat/    FAT12/16/32 volumes (own compact driver)
//   fs/folder/ host folders acting as volumes
//   registry/  hives through hivex
//   host/      NT_MACHINE, the drives file, the reboot record; the Linux
//              process entry of the programs
#pragma once

#include <nt/nt.h>
#include <ntp/host.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ntp {

// ------------------------------------------------------------------ text
// The machine's ANSI code page, Windows-1252: one byte to UTF-16, and back
// (-1 for a character the code page cannot hold).
WCHAR ansi_to_wchar(unsigned char c);
int wchar_to_ansi(WCHAR c);

// A message of the platform itself (not of the program), on stderr:
// "ntplatform: <text>".
void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Arguments the emulation does not support are announced here (stderr when
// NT_DEBUG is set), never silently ignored.
void debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The one errno -> NTSTATUS table of the layer (volume.cpp). An errno it does
// not know is reported (warning) and becomes STATUS_UNSUCCESSFUL, never success.
NTSTATUS status_from_errno(int err);

// ---------------------------------------------------------------- process
// The value of PEB.ProcessHeap: the only heap the Rtl*Heap calls accept.
PVOID process_heap();
// Time scale of NtDelayExecution (NT_TIME_SCALE, default 1; 0 = no waiting).
double time_scale();

// ---------------------------------------------------------------- handles
class Object {
public:
    virtual ~Object() = default;
    // For NtWaitForSingleObject: every object here completes its I/O before
    // the call that started it returns, so it is always signalled.
    virtual bool signaled() const { return true; }
};

HANDLE handle_insert(std::shared_ptr<Object> object);
std::shared_ptr<Object> handle_lookup(HANDLE handle);
template <class T>
std::shared_ptr<T> handle_get(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(handle_lookup(handle));
}
// Removes the handle; the object dies with its last reference.
NTSTATUS handle_remove(HANDLE handle);
size_t handle_count();

// Host checks behind Volume::open, kept apart so that tests can feed them
// made-up system files.
// Device numbers (st_rdev) of a block device and of its partitions, read from
// its sysfs folder (e.g. /sys/dev/block/8:16 or /sys/block/loop0).
std::vector<uint64_t> sysfs_device_numbers(const std::string &device_dir);
// The sysfs folders (under block_root, normally /sys/block) of the loop
// devices whose backing file is `image` (an absolute, resolved path).
std::vector<std::string> loop_devices_backing(const std::string &block_root, const std::string &image);
// The mount point of the first line of `mounts` (the /proc/self/mounts
// format) whose source is the host path `path` itself or a device whose number
// (device_of(source), 0 when it is none) is in `devices`; "" when none is.
std::string find_host_mount(std::string_view mounts, const std::string &path, const std::vector<uint64_t> &devices,
                            const std::function<uint64_t(const std::string &)> &device_of);

// ------------------------------------------------------- file-system side
struct CreateRequest {
    ACCESS_MASK access = 0;
    ULONG attributes = 0;  // FILE_ATTRIBUTE_*
    ULONG share = 0;
    ULONG disposition = 0;  // FILE_OPEN, FILE_CREATE, ...
    ULONG options = 0;      // FILE_* create options
};

// An open file (or directory) of a driver.
class FileObject : public Object {
public:
    // Reading at or past the end gives STATUS_END_OF_FILE.
    virtual NTSTATUS read(uint64_t offset, void *buffer, ULONG length, ULONG *done) = 0;
    // offset FILE_WRITE_TO_END_OF_FILE (as a 64-bit -1) appends.
    virtual NTSTATUS write(uint64_t offset, const void *buffer, ULONG length, ULONG *done) = 0;
    virtual NTSTATUS flush() = 0;
    virtual uint64_t size() = 0;
    // FSCTLs on a file handle (FSCTL_GET_RETRIEVAL_POINTERS).
    virtual NTSTATUS fsctl(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned) {
        (void)code;
        (void)in;
        (void)inLength;
        (void)out;
        (void)outLength;
        (void)returned;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // NtClose of the last handle (delete-on-close and the like).
    virtual NTSTATUS close() { return STATUS_SUCCESS; }

    uint64_t position = 0;  // for FILE_USE_FILE_POINTER_POSITION
};

// The file system of one drive.
class FsDriver {
public:
    virtual ~FsDriver() = default;
    // NtQueryVolumeInformationFile on a volume or file handle of the drive.
    virtual NTSTATUS query_volume(FS_INFORMATION_CLASS cls, void *out, ULONG length, ULONG *written) = 0;
    // NtFsControlFile on the volume handle.
    virtual NTSTATUS volume_fsctl(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                                  ULONG *returned) = 0;
    // path: the name inside the volume, "\" for the root, "\dir\file".
    virtual NTSTATUS create(std::u16string_view path, const CreateRequest &request, std::shared_ptr<FileObject> *out,
                            ULONG *information) = 0;
    virtual NTSTATUS remove(std::u16string_view path) = 0;
    // The program is about to read or write the volume raw: every change the
    // driver made must be on disk, and nothing it caches may outlive it.
    virtual void before_raw_io() {}
    // Raw volume I/O must be aligned to this (offset, length, buffer address).
    virtual ULONG sector_size() const { return 512; }
};

// Volume information records filled as Windows fills them (io.cpp). Records
// with a name (attribute, volume) take what fits of the name and answer
// STATUS_BUFFER_OVERFLOW when it does not all fit; a buffer shorter than the
// fixed record gives STATUS_INFO_LENGTH_MISMATCH. *written: bytes filled.
NTSTATUS fs_attribute_info(void *out, ULONG length, ULONG *written, ULONG attributes, LONG max_component,
                           std::u16string_view name);
NTSTATUS fs_size_info(void *out, ULONG length, ULONG *written, uint64_t total_units, uint64_t free_units,
                      ULONG sectors_per_unit, ULONG bytes_per_sector);
NTSTATUS fs_volume_info(void *out, ULONG length, ULONG *written, ULONG serial, std::u16string_view label);
NTSTATUS fs_device_info(void *out, ULONG length, ULONG *written);

// Drivers. Each probe answers null when the volume is not its file system.
std::shared_ptr<FsDriver> ntfs_driver_probe(std::shared_ptr<Volume> volume);
std::shared_ptr<FsDriver> fat_driver_probe(std::shared_ptr<Volume> volume);
std::shared_ptr<FsDriver> raw_driver(std::shared_ptr<Volume> volume);  // "RAW": not a known file system
std::shared_ptr<FsDriver> folder_driver(const DriveConfig &drive);

// The driver of a drive letter (created on first use, shared afterwards).
NTSTATUS drive_driver(char letter, std::shared_ptr<FsDriver> *out, std::shared_ptr<Volume> *volume);

}  // namespace ntp
