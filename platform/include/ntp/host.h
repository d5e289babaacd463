// The host side of the emulated NT machine: what the machine tool and the
// tests use to build, inspect and run a machine from Linux (machine folders
// and drives, volumes, registry hives, the programs' process parameters,
// UTF-8/UTF-16 text). Linux only; the programs never include it.
#pragma once

#include <nt/nt.h>

#include <atomic>
#include <cstdint>
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

// ---------------------------------------------------------------- process
// Sets what the PEB's process parameters report: the image path, the command
// line and the debug flags. The Linux entry of the native programs calls it
// before NtProcessStartup; tests call it to give a command line. Without a
// call, NtCurrentPeb() builds the parameters from /proc/self/cmdline.
void set_process_parameters(std::u16string_view imagePath, std::u16string_view commandLine, ULONG debugFlags = 0);
// Exit code of the Linux process for an NTSTATUS: 0 for STATUS_SUCCESS, else
// the low byte of the status, or 1 when that byte is 0 (so that a failure
// never reads as success).
int exit_code_of(NTSTATUS status);

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
    // (NT_FAIL_WRITE_AT) or be torn after some of its `sector`-byte sectors
    // (NT_TORN_WRITE_AT), as a power cut would.
    NTSTATUS raw_read(uint64_t offset, void *buffer, size_t length);
    NTSTATUS raw_write(uint64_t offset, const void *buffer, size_t length, size_t sector = 512);

    // Access of the file-system drivers (not raw writes of the program).
    NTSTATUS dev_read(uint64_t offset, void *buffer, size_t length);
    NTSTATUS dev_write(uint64_t offset, const void *buffer, size_t length);
    NTSTATUS dev_flush();

private:
    Volume() = default;
    // STATUS_DEVICE_DATA_ERROR when the image file has been cut short of the
    // write at host offset pos; looked at before the first write, then at
    // most once a second, and before every write after a short read.
    NTSTATUS check_host_size(uint64_t pos, size_t length);
    char letter_ = 0;
    int fd_ = -1;
    uint64_t base_ = 0;
    uint64_t size_ = 0;
    std::string path_;
    bool image_file_ = false;                  // a regular file (a block device cannot shrink)
    std::atomic<bool> short_read_{false};      // a read met the end of the image, or its size was short
    std::atomic<int64_t> size_checked_ns_{0};  // when the image's size was last looked at (0: never)
    std::shared_ptr<void> host_lock_;          // the flock, shared by drives on one image
};

// Raw volume writes made by this process so far.
uint64_t raw_write_count();

// -------------------------------------------------------------- registry
// Creates an empty, valid hive file (hivex cannot) that hivex opens for writing.
bool create_empty_hive(const std::string &path, std::string *error);

// ------------------------------------------------------------ FAT volumes
// A FAT volume as the machine tool's fragmentation report sees it, read by
// the platform's own FAT driver code. LCN n is cluster n + 2.
struct FatRun {
    int64_t lcn = 0;
    uint32_t count = 0;
};
struct FatFile {
    std::string path;  // "\dir\name" in UTF-8; "\" for the FAT32 root
    bool directory = false;
    uint32_t first_cluster = 0;  // 0: no clusters
    std::vector<FatRun> runs;    // in chain order
};
struct FatVolumeMap {
    std::string type;  // "FAT12", "FAT16" or "FAT32"
    uint32_t bytes_per_cluster = 0;
    uint32_t clusters = 0;
    std::vector<bool> in_use;    // by LCN, from the FAT
    std::vector<FatRun> bad;     // runs of clusters the FAT marks bad, in LCN order
    std::vector<FatFile> files;  // every file and directory, a directory's entries before its subdirectories
};
enum class FatMapResult { Mapped, NotFat, Failed };
// Reads the boot sector, the FAT and the whole directory tree. NotFat: the
// volume holds no FAT boot sector. Failed: *error says what cannot be read
// (a corrupt boot sector, an unreadable FAT, a broken chain, an unreadable
// or too deeply nested directory).
FatMapResult map_fat_volume(const std::shared_ptr<Volume> &volume, FatVolumeMap *map, std::string *error);

// ----------------------------------------------------------- NTFS volumes
// The MFT zone [*zone_start, *zone_end) that the NTFS driver reports for a
// volume of total_clusters clusters whose MFT starts at mft_lcn.
void ntfs_mft_zone(uint64_t total_clusters, uint32_t bytes_per_cluster, uint64_t mft_lcn, int64_t *zone_start,
                   int64_t *zone_end);

}  // namespace ntp
