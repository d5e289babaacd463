// The machine folder: where NT_MACHINE points, the drives file and the
// reboot record.
//
// drives, one drive per line ('#' starts a comment; blank lines are fine):
//   C: image disks/c.img          a raw volume (image file or block device)
//   E: image disks/all.img@1048576  a volume starting at a byte offset
//   A: folder logs                a host folder acting as a volume
// Relative paths are relative to the machine folder.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "internal.h"

namespace ntp {
namespace {

// Each distinct complaint is made once per process: the drives file is read
// on every request, and a program asks many times.
void warn_once(const std::string &message) {
    static std::mutex lock;
    static std::set<std::string> said;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!said.insert(message).second) return;
    }
    warn("%s", message.c_str());
}

bool is_regular(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_directory(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return {};
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

// One line of the drives file. Returns false (with `why`) for a malformed
// line; `letter` is set whenever the line starts with a drive letter.
bool parse_drive_line(const std::string &root, const std::string &text, DriveConfig *out, char *letter,
                      std::string *why) {
    *letter = 0;
    std::istringstream in(text);
    std::string drive, kind;
    in >> drive >> kind;
    if (drive.size() == 2 && drive[1] == ':' && std::isalpha(static_cast<unsigned char>(drive[0])))
        *letter = static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0])));
    if (!*letter) {
        *why = "expected a drive letter and a colon, such as \"C:\", at the start";
        return false;
    }
    std::string rest;
    std::getline(in, rest);
    rest = trim(rest);
    DriveConfig d;
    d.letter = *letter;
    if (kind == "image")
        d.kind = DriveConfig::Kind::Image;
    else if (kind == "folder")
        d.kind = DriveConfig::Kind::Folder;
    else {
        *why = kind.empty() ? "the kind (image or folder) is missing"
                            : "unknown kind \"" + kind + "\" (expected image or folder)";
        return false;
    }
    if (rest.empty()) {
        *why = "the path is missing";
        return false;
    }
    if (d.kind == DriveConfig::Kind::Image) {
        size_t at = rest.rfind('@');
        if (at != std::string::npos) {
            std::string number = rest.substr(at + 1);
            if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
                *why = "the offset after '@' must be a number of bytes";
                return false;
            }
            errno = 0;
            unsigned long long offset = std::strtoull(number.c_str(), nullptr, 10);
            if (errno) {
                *why = "the offset after '@' is too large";
                return false;
            }
            d.offset = offset;
            rest = trim(rest.substr(0, at));
            if (rest.empty()) {
                *why = "the path is missing";
                return false;
            }
        }
    }
    d.path = rest[0] == '/' ? rest : root + "/" + rest;
    *out = d;
    return true;
}

}  // namespace

NTSTATUS machine_root(std::string *root) {
    const char *given = std::getenv("NT_MACHINE");
    if (!given || !*given) {
        warn_once("NT_MACHINE is not set: it must name the machine folder (the one holding \"drives\" and "
                  "\"config/SYSTEM\")");
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    char resolved[PATH_MAX];
    if (!::realpath(given, resolved) || !is_directory(resolved)) {
        warn_once(std::string("NT_MACHINE=") + given + ": no such folder");
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::string path = resolved;
    if (!is_regular(path + "/drives") || !is_regular(path + "/config/SYSTEM")) {
        warn_once(std::string("NT_MACHINE=") + given +
                  " is not a machine folder: it must hold \"drives\" and \"config/SYSTEM\"");
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    *root = path;
    return STATUS_SUCCESS;
}

NTSTATUS machine_drive(char letter, DriveConfig *drive) {
    std::string root;
    NTSTATUS status = machine_root(&root);
    if (!NT_SUCCESS(status)) return status;
    if (!std::isalpha(static_cast<unsigned char>(letter))) return STATUS_OBJECT_NAME_INVALID;
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));

    std::string file = root + "/drives";
    std::ifstream in(file);
    if (!in) {
        warn_once(file + ": cannot be read");
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::string line;
    bool found = false;
    NTSTATUS result = STATUS_OBJECT_NAME_NOT_FOUND;
    for (int number = 1; std::getline(in, line); ++number) {
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = trim(line);
        if (line.empty()) continue;
        DriveConfig parsed;
        char named = 0;
        std::string why;
        if (!parse_drive_line(root, line, &parsed, &named, &why)) {
            warn_once(file + ":" + std::to_string(number) + ": " + why + ": \"" + line + "\"");
            if (named == letter && !found) {
                found = true;  // the drive is named, but its line is unusable
                result = STATUS_OBJECT_NAME_INVALID;
            }
            continue;
        }
        if (parsed.letter != letter) continue;
        if (found) {
            warn_once(file + ":" + std::to_string(number) + ": drive " + std::string(1, letter) +
                      ": is named a second time; the first line counts");
            continue;
        }
        found = true;
        *drive = parsed;
        result = STATUS_SUCCESS;
    }
    return result;
}

NTSTATUS machine_record_reboot(SHUTDOWN_ACTION action) {
    std::string root;
    NTSTATUS status = machine_root(&root);
    if (!NT_SUCCESS(status)) return status;
    const char *word = action == ShutdownReboot ? "reboot\n" : action == ShutdownPowerOff ? "poweroff\n" : "shutdown\n";
    std::string path = root + "/" + kRebootFile;
    std::string temporary = path + ".tmp" + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        warn("%s: cannot be written: %s", temporary.c_str(), std::strerror(errno));
        return STATUS_ACCESS_DENIED;
    }
    size_t length = std::strlen(word);
    bool ok = ::write(fd, word, length) == static_cast<ssize_t>(length);
    ok = (::fsync(fd) == 0) && ok;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        warn("%s: cannot be written: %s", path.c_str(), std::strerror(errno));
        ::unlink(temporary.c_str());
        return STATUS_IO_DEVICE_ERROR;
    }
    return STATUS_SUCCESS;
}

}  // namespace ntp
