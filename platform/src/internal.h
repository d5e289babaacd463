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

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ntp {

// ------------------------------------------------------------------ text
std::string to_utf8(std::u16string_view s);
std::u16string to_utf16(std::string_view s);
WCHAR upcase(WCHAR c);  // the Windows upcase of one UTF-16 unit
bool iequal(std::u16string_view a, std::u16string_view b);
WCHAR downcase(WCHAR c);  // the lower-case form of one UTF-16 unit (inverse of upcase)
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
// Sets what the PEB's process parameters report: the image path, the command
// line and the debug flags. The Linux entry of the native programs calls it
// before NtProcessStartup; tests call it to give a command line. Without a
// call, NtCurrentPeb() builds the parameters from /proc/self/cmdline.
void set_process_parameters(std::u16string_view imagePath, std::u16string_view commandLine, ULONG debugFlags = 0);
// The value of PEB.ProcessHeap: the only heap the Rtl*Heap calls accept.
PVOID process_heap();
// Exit code of the Linux process for an NTSTATUS: 0 for STATUS_SUCCESS, else
// the low byte of the status, or 1 when that byte is 0 (so that a failure
// never reads as success).
int exit_code_of(NTSTATUS status);

// Time scale of NtDelayExecution (NT_TIME_SCALE, default 1; 0 = no waiting).
double time_scale();

// ---------------------------------------------------------------- machine
struct DriveConfig {
    char letter = 0;  // upper case
    enum class Kind { Image, Folder } kind = Kind::Image;
    std::string path;     // absolute host path
    uint64_t offset = 0;  // byte offset of the volume inside the image
};

// The machine folder named by NT_MACHINE (absolute); an error status (with a
// warning that names the variable) when it is unset or not a machine.
NTSTATUS machine_root(std::string *root);
// The drive's line of the machine's drives file, re-read on every call.
// STATUS_OBJECT_NAME_NOT_FOUND for a letter the machine does not have.
NTSTATUS machine_drive(char letter, DriveConfig *drive);
// Records a shutdown request in the machine folder: the file "reboot" holds
// one line, the action: "reboot\n" (ShutdownReboot), "shutdown\n"
// (ShutdownNoReboot) or "poweroff\n" (ShutdownPowerOff). It is written
// whole (temporary file, then rename); the machine tool reads and removes it.
NTSTATUS machine_record_reboot(SHUTDOWN_ACTION action);
// Name of that file inside the machine folder.
inline constexpr const char *kRebootFile = "reboot";

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

// ----------------------------------------------------------------- volumes
// One open image or block device per drive, shared by every handle and
// driver on that drive. Opening checks that the host does not have the
// volume mounted and takes an exclusive lock on it for the process.
class Volume {
public:
    static NTSTATUS open(const DriveConfig &drive, std::shared_ptr<Volume> *out);
    ~Volume();

    char letter() const { return letter_; }
    uint64_t size() const { return size_; }  // bytes of the volume (image size - offset)
    const std::string &host_path() const { return path_; }

    // The programs' raw access: the one write path. Every raw write is
    // counted, logged (NT_WRITE_LOG) and can be made to fail
    // (NT_FAIL_WRITE_AT), as a power cut would.
    NTSTATUS raw_read(uint64_t offset, void *buffer, size_t length);
    NTSTATUS raw_write(uint64_t offset, const void *buffer, size_t length);

    // Access of the file-system drivers (not raw writes of the program).
    NTSTATUS dev_read(uint64_t offset, void *buffer, size_t length);
    NTSTATUS dev_write(uint64_t offset, const void *buffer, size_t length);
    NTSTATUS dev_flush();

private:
    Volume() = default;
    char letter_ = 0;
    int fd_ = -1;
    uint64_t base_ = 0;
    uint64_t size_ = 0;
    std::string path_;
    std::shared_ptr<void> host_lock_;  // the flock, shared by drives on one image
};

// Raw volume writes made by this process so far.
uint64_t raw_write_count();

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

// -------------------------------------------------------------- registry
// Creates an empty, valid hive file (hivex cannot) that hivex opens for writing.
bool create_empty_hive(const std::string &path, std::string *error);

}  // namespace ntp
