// Registering a paging file and scheduling a boot-time run: what the
// product's own components do on a running system before the reboot.
#include <cstdio>
#include <cstdlib>

#include <ntp/host.h>
#include "tool.h"

namespace ntm {

namespace {

// Lower-case-insensitive comparison of UTF-16 text.
bool same_text(const std::u16string &a, const std::u16string &b) { return ntp::iequal(a, b); }

std::u16string upper(std::u16string s) {
    for (auto &c : s) c = ntp::upcase(c);
    return s;
}

uint64_t parse_megabytes(const std::string &text, const char *what) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 7)
        throw Failure(format("%s \"%s\" is not a number of megabytes", what, text.c_str()));
    return std::strtoull(text.c_str(), nullptr, 10);
}

// The first two blank-separated words of a BootExecute entry, upper case.
std::pair<std::u16string, std::u16string> entry_head(const std::u16string &entry) {
    std::vector<std::string> words = split_blanks(ntp::to_utf8(entry));
    std::u16string a = words.size() > 0 ? upper(ntp::to_utf16(words[0])) : u"";
    std::u16string b = words.size() > 1 ? upper(ntp::to_utf16(words[1])) : u"";
    return {a, b};
}

}  // namespace

void register_paging_file(const std::string &dir, const std::string &letterArg, const std::string &nameArg,
                          uint64_t minMb, uint64_t maxMb) {
    Machine::open(dir);
    char letter = parse_drive_letter(letterArg);
    std::string name = nameArg;
    while (!name.empty() && (name[0] == '\\' || name[0] == '/')) name.erase(0, 1);
    for (auto &c : name)
        if (c == '/') c = '\\';
    if (name.empty() || name.find_first_of(":*?\"<>|") != std::string::npos ||
        name.find_first_of(" \t") != std::string::npos)
        throw Failure(
            format("\"%s\" is not a usable paging-file name (no blanks, colons or wildcards)", nameArg.c_str()));
    if (minMb == 0 || minMb > maxMb)
        throw Failure(format("paging-file sizes %llu and %llu: the minimum must be at least 1 and at most the maximum",
                             static_cast<unsigned long long>(minMb), static_cast<unsigned long long>(maxMb)));

    std::string fsName = drive_file_system(letter);
    if (fsName == "RAW") throw Failure(format("drive %c: holds no file system the machine knows (RAW)", letter));

    // Validate the registry before the volume is touched.
    check_key_writable(kMemoryManagementKey);
    std::vector<std::u16string> list = read_multi_sz(kMemoryManagementKey, u"PagingFiles");

    std::u16string path = std::u16string(1, static_cast<char16_t>(letter)) + u":\\" + ntp::to_utf16(name);
    std::u16string entry = path + ntp::to_utf16(format(" %llu %llu", static_cast<unsigned long long>(minMb),
                                                       static_cast<unsigned long long>(maxMb)));
    std::vector<std::u16string> updated;
    for (const auto &e : list) {
        std::vector<std::string> words = split_blanks(ntp::to_utf8(e));
        if (!words.empty() && same_text(ntp::to_utf16(words[0]), path)) continue;  // replaced below
        updated.push_back(e);
    }
    updated.push_back(entry);

    // Windows makes the file at its initial size; an existing one stays.
    bool created = create_volume_file(letter, u"\\" + ntp::to_utf16(name), minMb << 20, true,
                                      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    try {
        write_multi_sz(kMemoryManagementKey, u"PagingFiles", updated);
    } catch (...) {
        if (created) delete_volume_file(letter, u"\\" + ntp::to_utf16(name));
        throw;
    }
    std::printf("Paging file %s registered%s\n", ntp::to_utf8(entry).c_str(),
                created ? format(" (created, %llu MB)", static_cast<unsigned long long>(minMb)).c_str()
                        : " (the file exists already)");
}

int cmd_pagefile(const std::vector<std::string> &args) {
    if (args.size() != 5) throw Failure("usage: ntmachine pagefile DIR X: NAME MIN MAX   (sizes in megabytes)");
    register_paging_file(args[0], args[1], args[2], parse_megabytes(args[3], "minimum"),
                         parse_megabytes(args[4], "maximum"));
    return 0;
}

std::string schedule_run(const std::string &dir, const std::string &letterArg,
                         const std::vector<std::string> &keywords) {
    Machine::open(dir);
    char letter = parse_drive_letter(letterArg);
    ntp::DriveConfig config;
    if (ntp::machine_drive(letter, &config) == STATUS_SUCCESS && config.kind == ntp::DriveConfig::Kind::Folder)
        throw Failure(format("drive %c: is a host folder, not an NTFS or FAT volume", letter));
    std::string fsName = drive_file_system(letter);
    std::u16string program;
    if (fsName == "NTFS")
        program = u"DOZUZORO";
    else if (fsName == "FAT" || fsName == "FAT32")
        program = u"ZIRIZUD";
    else
        throw Failure(format("drive %c: is not an NTFS or FAT volume (file system: %s)", letter, fsName.c_str()));
    for (const auto &k : keywords)
        if (k.empty() || k.find_first_of(" \t\r\n") != std::string::npos)
            throw Failure(format("keyword \"%s\" holds a blank", k.c_str()));

    std::u16string entry = program + u" " + static_cast<char16_t>(letter) + u":";
    for (const auto &k : keywords) entry += u" " + ntp::to_utf16(k);

    // Validate the registry before the volume is touched.
    check_key_writable(kSessionManagerKey);
    std::vector<std::u16string> list = read_multi_sz(kSessionManagerKey, u"BootExecute");
    std::vector<std::u16string> updated;
    std::u16string drive = std::u16string(1, static_cast<char16_t>(letter)) + u":";
    for (const auto &e : list) {
        auto [first, second] = entry_head(e);
        if (first == program && second == drive) continue;  // a run already scheduled for the drive: replaced
        updated.push_back(e);
    }
    updated.push_back(entry);

    // The trigger file in the volume's root, through the file-system driver.
    create_volume_file(letter, u"\\Defragme.dat", 0, false, FILE_ATTRIBUTE_NORMAL);
    try {
        write_multi_sz(kSessionManagerKey, u"BootExecute", updated);
    } catch (...) {
        delete_volume_file(letter, u"\\Defragme.dat");
        throw;
    }
    remember_run(dir, letter, keywords);
    return ntp::to_utf8(entry);
}

int cmd_schedule(const std::vector<std::string> &args) {
    if (args.size() < 2) throw Failure("usage: ntmachine schedule DIR X: [KEYWORD...]");
    std::vector<std::string> keywords(args.begin() + 2, args.end());
    std::string entry = schedule_run(args[0], args[1], keywords);
    std::printf("Scheduled \"%s\" (BootExecute) and placed Defragme.dat in the root of %c:\n", entry.c_str(),
                parse_drive_letter(args[1]));
    return 0;
}

}  // namespace ntm
