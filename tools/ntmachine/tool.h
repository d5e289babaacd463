// The machine tool: creates machine folders, attaches drives, registers
// paging files, schedules boot-time runs, plays the Session Manager at boot
// and reports a volume's fragmentation.
//
// Inside, the tool throws ntm::Failure for every refusal; main() prints it
// and exits non-zero. Every command validates first and writes after, so a
// refusal leaves the machine as it was.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "frag.h"

namespace ntm {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "%s"-style formatting into a std::string.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// ------------------------------------------------------------- machine
// An existing machine folder (absolute path). Opening one also points the
// platform at it (NT_MACHINE), so that the registry and the drives of the
// machine can be reached through the NT calls.
struct Machine {
    std::string dir;
    static Machine open(const std::string &dir);
    std::string path(const std::string &relative) const { return dir + "/" + relative; }
};

// "C:" or "c:" -> 'C'; anything else is refused.
char parse_drive_letter(const std::string &arg);

// The registry keys the tool reads and writes.
extern const char16_t kSessionManagerKey[];
extern const char16_t kMemoryManagementKey[];

// REG_MULTI_SZ as Windows keeps it: each string NUL-terminated, the list
// ended by an empty string (an empty list is a single NUL).
std::vector<uint8_t> encode_multi_sz(const std::vector<std::u16string> &list);
std::vector<std::u16string> decode_multi_sz(const uint8_t *data, size_t bytes);

// Reads a REG_MULTI_SZ value through the platform's registry (the key path
// is an NT name such as kSessionManagerKey); a missing value is an empty list.
std::vector<std::u16string> read_multi_sz(const char16_t *key, const char16_t *value);
// Writes it (the hive is committed at once).
void write_multi_sz(const char16_t *key, const char16_t *value, const std::vector<std::u16string> &list);
// Fails unless the key can be opened for reading and writing and its hive
// file is writable: the check made before anything is changed.
void check_key_writable(const char16_t *key);

// The file system of a drive as its driver names it ("NTFS", "FAT",
// "FAT32", "HOSTFS", "RAW").
std::string drive_file_system(char letter);
// Creates (or truncates) a file on a drive through its file-system driver;
// `bytes` zero bytes are written. Returns false when the file already
// existed and `only_if_missing` is set (nothing is then changed).
bool create_volume_file(char letter, const std::u16string &path, uint64_t bytes, bool only_if_missing,
                        uint32_t attributes);
void delete_volume_file(char letter, const std::u16string &path);

// The folder of the running executable (where the build put the programs).
std::string executable_dir();

// Splits at blanks (every character of code 32 or less), as the process start
// of the native programs does.
std::vector<std::string> split_blanks(const std::string &text);

// ------------------------------------------------------------- commands
int cmd_create(const std::vector<std::string> &args);
int cmd_attach(const std::vector<std::string> &args);
int cmd_pagefile(const std::vector<std::string> &args);
int cmd_schedule(const std::vector<std::string> &args);
int cmd_boot(const std::vector<std::string> &args);
int cmd_frag(const std::vector<std::string> &args);
int cmd_demo(const std::vector<std::string> &args);
int cmd_map(const std::vector<std::string> &args);

// The keywords of the last run scheduled on a drive, kept in DIR/runs for
// `frag --why` (the program removes its BootExecute entry when it runs).
void remember_run(const std::string &dir, char letter, const std::vector<std::string> &keywords);
bool remembered_run(const std::string &dir, char letter, std::string *keywords);

// Pieces the demo reuses.
void create_machine(const std::string &dir);
void attach_drive(const std::string &dir, const std::string &letter, const std::string &kind, const std::string &path);
void register_paging_file(const std::string &dir, const std::string &letter, const std::string &name, uint64_t minMb,
                          uint64_t maxMb);
std::string schedule_run(const std::string &dir, const std::string &letter, const std::vector<std::string> &keywords);
struct BootSummary {
    int boots = 0;
    int programs_run = 0;
    int skipped = 0;
    int failed = 0;
    bool completed = false;  // the last boot ended without a reboot request
    bool halted = false;     // a program shut the machine down without reboot
    std::string line;        // the one-line summary
};
BootSummary boot_machine(const std::string &dir, bool fast, int maxBoots);
// The fragmentation report of a drive of the machine.
frag::Report fragmentation(const std::string &dir, char letter);

}  // namespace ntm
