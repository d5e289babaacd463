// Machine folders: opening, creating, attaching drives; the registry and
// volume helpers every command shares.
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <ntp/host.h>
#include "tool.h"

namespace fs = std::filesystem;

namespace ntm {

const char16_t kSessionManagerKey[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char16_t kMemoryManagementKey[] =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";

std::string format(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, args);
    va_end(args);
    return out;
}

namespace {

std::string status_text(NTSTATUS s) { return format("status 0x%08X", static_cast<unsigned>(s)); }

bool is_machine(const fs::path &dir) {
    std::error_code ec;
    return fs::is_regular_file(dir / "drives", ec) && fs::is_regular_file(dir / "config" / "SYSTEM", ec);
}

// Writes a file whole: a temporary file beside it, then a rename.
void write_whole(const fs::path &path, const std::string &text) {
    fs::path temporary = path;
    temporary += format(".tmp%d", static_cast<int>(::getpid()));
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) throw Failure(format("%s: cannot be written", temporary.c_str()));
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        throw Failure(format("%s: cannot be written", path.c_str()));
    }
}

struct OpenKey {
    HANDLE handle = nullptr;
    ~OpenKey() {
        if (handle) NtClose(handle);
    }
};

NTSTATUS open_key(const char16_t *key, ACCESS_MASK access, OpenKey *out) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, key);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return NtOpenKey(&out->handle, access, &oa);
}

std::string key_text(const char16_t *key) { return ntp::to_utf8(key); }

}  // namespace

Machine Machine::open(const std::string &dir) {
    std::error_code ec;
    fs::path p = fs::absolute(dir, ec);
    if (ec || !fs::is_directory(p, ec)) throw Failure(format("%s: no such machine folder", dir.c_str()));
    p = fs::canonical(p, ec);
    if (!is_machine(p))
        throw Failure(format("%s is not a machine folder (it must hold \"drives\" and \"config/SYSTEM\"; "
                             "make one with: ntmachine create DIR)",
                             dir.c_str()));
    setenv("NT_MACHINE", p.c_str(), 1);
    return Machine{p.string()};
}

char parse_drive_letter(const std::string &arg) {
    if (arg.size() == 2 && arg[1] == ':' && std::isalpha(static_cast<unsigned char>(arg[0])))
        return static_cast<char>(std::toupper(static_cast<unsigned char>(arg[0])));
    throw Failure(format("\"%s\" is not a drive letter (expected a letter and a colon, such as C:)", arg.c_str()));
}

std::vector<uint8_t> encode_multi_sz(const std::vector<std::u16string> &list) {
    std::vector<uint8_t> out;
    auto put = [&](char16_t c) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    };
    for (const auto &s : list) {
        for (char16_t c : s) put(c);
        put(0);
    }
    put(0);
    return out;
}

std::vector<std::u16string> decode_multi_sz(const uint8_t *data, size_t bytes) {
    std::vector<std::u16string> list;
    std::u16string current;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c) {
            current += c;
            continue;
        }
        if (current.empty()) return list;  // the empty string ends the list
        list.push_back(current);
        current.clear();
    }
    if (!current.empty()) list.push_back(current);  // a last string left unterminated
    return list;
}

std::vector<std::u16string> read_multi_sz(const char16_t *key, const char16_t *value) {
    OpenKey k;
    NTSTATUS s = open_key(key, KEY_QUERY_VALUE, &k);
    if (!NT_SUCCESS(s))
        throw Failure(format("registry key %s cannot be opened (%s)", key_text(key).c_str(), status_text(s).c_str()));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value);
    ULONG needed = 0;
    s = NtQueryValueKey(k.handle, &name, KeyValuePartialInformation, nullptr, 0, &needed);
    if (s == STATUS_OBJECT_NAME_NOT_FOUND) return {};
    if (s != STATUS_BUFFER_TOO_SMALL && s != STATUS_BUFFER_OVERFLOW && !NT_SUCCESS(s))
        throw Failure(format("registry value %s\\%s cannot be read (%s)", key_text(key).c_str(),
                             ntp::to_utf8(value).c_str(), status_text(s).c_str()));
    std::vector<uint8_t> buffer(needed);
    s = NtQueryValueKey(k.handle, &name, KeyValuePartialInformation, buffer.data(), needed, &needed);
    if (!NT_SUCCESS(s))
        throw Failure(format("registry value %s\\%s cannot be read (%s)", key_text(key).c_str(),
                             ntp::to_utf8(value).c_str(), status_text(s).c_str()));
    auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer.data());
    if (info->Type != REG_MULTI_SZ)
        throw Failure(format("registry value %s\\%s is not a REG_MULTI_SZ (type %u)", key_text(key).c_str(),
                             ntp::to_utf8(value).c_str(), static_cast<unsigned>(info->Type)));
    return decode_multi_sz(info->Data, info->DataLength);
}

void check_key_writable(const char16_t *key) {
    std::string root;
    if (NT_SUCCESS(ntp::machine_root(&root))) {
        struct stat st;
        std::string hive = root + "/config/SYSTEM";
        if (::stat(hive.c_str(), &st) == 0 && (st.st_mode & 0222) == 0)
            throw Failure(format("%s is read-only: the registry cannot be written", hive.c_str()));
    }
    OpenKey k;
    NTSTATUS s = open_key(key, KEY_QUERY_VALUE | KEY_SET_VALUE, &k);
    if (!NT_SUCCESS(s))
        throw Failure(
            format("registry key %s cannot be opened for writing (%s)", key_text(key).c_str(), status_text(s).c_str()));
}

void write_multi_sz(const char16_t *key, const char16_t *value, const std::vector<std::u16string> &list) {
    check_key_writable(key);
    OpenKey k;
    NTSTATUS s = open_key(key, KEY_SET_VALUE, &k);
    if (!NT_SUCCESS(s))
        throw Failure(format("registry key %s cannot be opened (%s)", key_text(key).c_str(), status_text(s).c_str()));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value);
    std::vector<uint8_t> data = encode_multi_sz(list);
    s = NtSetValueKey(k.handle, &name, 0, REG_MULTI_SZ, data.data(), static_cast<ULONG>(data.size()));
    if (!NT_SUCCESS(s))
        throw Failure(format("registry value %s\\%s cannot be written (%s)", key_text(key).c_str(),
                             ntp::to_utf8(value).c_str(), status_text(s).c_str()));
}

std::string drive_file_system(char letter) {
    std::u16string path = u"\\DosDevices\\";
    path += static_cast<char16_t>(letter);
    path += u':';
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path.c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE h = nullptr;
    NTSTATUS s = NtOpenFile(&h, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &oa, &io, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            FILE_SYNCHRONOUS_IO_NONALERT);
    if (s == STATUS_OBJECT_NAME_NOT_FOUND || s == STATUS_NO_SUCH_DEVICE || s == STATUS_OBJECT_PATH_NOT_FOUND)
        throw Failure(format("the machine has no drive %c: (see its \"drives\" file)", letter));
    if (!NT_SUCCESS(s)) throw Failure(format("drive %c: cannot be opened (%s)", letter, status_text(s).c_str()));
    alignas(8) unsigned char buffer[512];
    s = NtQueryVolumeInformationFile(h, &io, buffer, sizeof buffer, FileFsAttributeInformation);
    NtClose(h);
    if (!NT_SUCCESS(s))
        throw Failure(format("the file system of drive %c: cannot be asked (%s)", letter, status_text(s).c_str()));
    auto *info = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buffer);
    return ntp::to_utf8(std::u16string(info->FileSystemName, info->FileSystemNameLength / sizeof(WCHAR)));
}

namespace {

std::u16string file_name(char letter, const std::u16string &path) {
    std::u16string name = u"\\DosDevices\\";
    name += static_cast<char16_t>(letter);
    name += u':';
    if (path.empty() || path[0] != u'\\') name += u'\\';
    return name + path;
}

}  // namespace

bool create_volume_file(char letter, const std::u16string &path, uint64_t bytes, bool only_if_missing,
                        uint32_t attributes) {
    std::u16string full = file_name(letter, path);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, full.c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE h = nullptr;
    NTSTATUS s = NtCreateFile(&h, GENERIC_WRITE | SYNCHRONIZE, &oa, &io, nullptr, attributes, 0,
                              only_if_missing ? FILE_CREATE : FILE_OVERWRITE_IF,
                              FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (only_if_missing && s == STATUS_OBJECT_NAME_COLLISION) return false;
    if (!NT_SUCCESS(s))
        throw Failure(
            format("%c:%s cannot be created (%s)", letter, ntp::to_utf8(path).c_str(), status_text(s).c_str()));
    std::vector<uint8_t> zeroes(static_cast<size_t>(std::min<uint64_t>(bytes, 1 << 20)), 0);
    uint64_t written = 0;
    while (written < bytes) {
        ULONG chunk = static_cast<ULONG>(std::min<uint64_t>(zeroes.size(), bytes - written));
        LARGE_INTEGER offset;
        offset.QuadPart = static_cast<LONGLONG>(written);
        s = NtWriteFile(h, nullptr, nullptr, nullptr, &io, zeroes.data(), chunk, &offset, nullptr);
        if (s == STATUS_PENDING) {
            NtWaitForSingleObject(h, FALSE, nullptr);
            s = io.Status;
        }
        if (!NT_SUCCESS(s) || io.Information != chunk) {
            NtClose(h);
            delete_volume_file(letter, path);
            throw Failure(format("%c:%s cannot be written (%s)", letter, ntp::to_utf8(path).c_str(),
                                 NT_SUCCESS(s) ? "short write" : status_text(s).c_str()));
        }
        written += chunk;
    }
    s = NtClose(h);
    if (!NT_SUCCESS(s))
        throw Failure(
            format("%c:%s cannot be closed (%s)", letter, ntp::to_utf8(path).c_str(), status_text(s).c_str()));
    return true;
}

void delete_volume_file(char letter, const std::u16string &path) {
    std::u16string full = file_name(letter, path);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, full.c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    NtDeleteFile(&oa);
}

std::string executable_dir() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
}

std::vector<std::string> split_blanks(const std::string &text) {
    std::vector<std::string> out;
    std::string current;
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= 32) {
            if (!current.empty()) out.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

void remember_run(const std::string &dir, char letter, const std::vector<std::string> &keywords) {
    Machine m = Machine::open(dir);
    std::ifstream in(m.path("runs"));
    std::string content = "# The keywords of the last run scheduled on each drive (read by ntmachine frag --why).\n";
    std::string line, prefix = format("%c: ", letter);
    std::getline(in, line);  // the heading
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) != 0 && !line.empty()) content += line + "\n";
    std::string mine = prefix;
    for (size_t i = 0; i < keywords.size(); ++i) mine += (i ? " " : "") + keywords[i];
    write_whole(m.path("runs"), content + mine + "\n");
}

bool remembered_run(const std::string &dir, char letter, std::string *keywords) {
    Machine m = Machine::open(dir);
    std::ifstream in(m.path("runs"));
    std::string line, prefix = format("%c: ", letter);
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) {
            *keywords = line.substr(prefix.size());
            return true;
        }
    return false;
}

// ----------------------------------------------------------------- create

namespace {

struct Hivex {
    hive_h *h = nullptr;
    std::string path;
    explicit Hivex(const std::string &p) : path(p) {
        std::string error;
        if (!ntp::create_empty_hive(p, &error)) throw Failure("a registry hive cannot be made: " + error);
        h = hivex_open(p.c_str(), HIVEX_OPEN_WRITE);
        if (!h) throw Failure(format("%s: cannot be opened: %s", p.c_str(), std::strerror(errno)));
    }
    ~Hivex() {
        if (h) hivex_close(h);
    }
    hive_node_h key(std::initializer_list<const char *> names) {
        hive_node_h node = hivex_root(h);
        for (const char *name : names) {
            hive_node_h child = hivex_node_get_child(h, node, name);
            if (!child) child = hivex_node_add_child(h, node, name);
            if (!child) throw Failure(format("%s: key %s cannot be added", path.c_str(), name));
            node = child;
        }
        return node;
    }
    void set(hive_node_h node, const char *name, hive_type type, const std::vector<uint8_t> &data) {
        static char empty = 0;
        hive_set_value v{const_cast<char *>(name), type, data.size(),
                         data.empty() ? &empty : reinterpret_cast<char *>(const_cast<uint8_t *>(data.data()))};
        if (hivex_node_set_value(h, node, &v, 0) != 0)
            throw Failure(format("%s: value %s cannot be set", path.c_str(), name));
    }
    void dword(hive_node_h node, const char *name, uint32_t value) {
        set(node, name, hive_t_REG_DWORD,
            {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
             static_cast<uint8_t>(value >> 24)});
    }
    void sz(hive_node_h node, const char *name, const std::u16string &text) {
        std::vector<uint8_t> data;
        for (char16_t c : text + u'\0') {
            data.push_back(static_cast<uint8_t>(c & 0xFF));
            data.push_back(static_cast<uint8_t>(c >> 8));
        }
        set(node, name, hive_t_REG_SZ, data);
    }
    void commit() {
        if (hivex_commit(h, nullptr, 0) != 0)
            throw Failure(format("%s: cannot be written: %s", path.c_str(), std::strerror(errno)));
    }
};

void write_system_hive(const std::string &path) {
    Hivex hive(path);
    hive_node_h select = hive.key({"Select"});
    hive.dword(select, "Current", 1);
    hive.dword(select, "Default", 1);
    hive.dword(select, "Failed", 0);
    hive.dword(select, "LastKnownGood", 2);
    hive_node_h sm = hive.key({"ControlSet001", "Control", "Session Manager"});
    // What a fresh installation runs at every boot: the disk checker.
    hive.set(sm, "BootExecute", hive_t_REG_MULTI_SZ, encode_multi_sz({u"autocheck autochk *"}));
    hive_node_h mm = hive.key({"ControlSet001", "Control", "Session Manager", "Memory Management"});
    hive.set(mm, "PagingFiles", hive_t_REG_MULTI_SZ, encode_multi_sz({}));
    hive.key({"ControlSet001", "Services"});
    hive.key({"MountedDevices"});
    hive.commit();
}

void write_software_hive(const std::string &path) {
    Hivex hive(path);
    hive.key({"Classes"});
    hive_node_h version = hive.key({"Microsoft", "Windows NT", "CurrentVersion"});
    hive.sz(version, "CurrentVersion", u"5.0");
    hive.sz(version, "CurrentBuildNumber", u"2195");
    hive.sz(version, "SystemRoot", u"C:\\WINNT");
    hive.commit();
}

}  // namespace

void create_machine(const std::string &dirArg) {
    std::error_code ec;
    fs::path dir = fs::absolute(dirArg, ec);
    if (ec) throw Failure(format("%s: not a usable path", dirArg.c_str()));
    dir = dir.lexically_normal();
    if (dir.has_filename() == false) dir = dir.parent_path();
    if (fs::exists(dir, ec)) {
        if (is_machine(dir)) throw Failure(format("%s is a machine already", dir.c_str()));
        if (!fs::is_directory(dir, ec) || !fs::is_empty(dir, ec))
            throw Failure(format("%s exists and is not an empty folder", dir.c_str()));
    }
    if (!fs::is_directory(dir.parent_path(), ec))
        throw Failure(format("%s: the folder it would go in does not exist", dir.c_str()));

    // Built beside its place and moved there whole.
    fs::path building = dir;
    building += format(".new%d", static_cast<int>(::getpid()));
    fs::remove_all(building, ec);
    try {
        fs::create_directories(building / "config");
        fs::create_directories(building / "system32");
        write_whole(building / "drives", "# Drives of this machine, one per line:\n"
                                         "#   X: image PATH[@OFFSET]   a volume in an image file or block device\n"
                                         "#   X: folder PATH           a host folder acting as a volume\n"
                                         "# Relative paths are relative to this folder.\n");
        write_system_hive((building / "config" / "SYSTEM").string());
        write_software_hive((building / "config" / "SOFTWARE").string());
        std::string bin = executable_dir();
        fs::create_symlink(fs::path(bin) / "bootntfs", building / "system32" / "dozuzoro", ec);
        if (ec) throw Failure(format("system32/dozuzoro cannot be linked: %s", ec.message().c_str()));
        fs::create_symlink(fs::path(bin) / "bootfat", building / "system32" / "zirizud", ec);
        if (ec) throw Failure(format("system32/zirizud cannot be linked: %s", ec.message().c_str()));
        if (fs::exists(dir, ec)) fs::remove(dir, ec);  // the empty folder it replaces
        fs::rename(building, dir, ec);
        if (ec) throw Failure(format("%s cannot be made: %s", dir.c_str(), ec.message().c_str()));
    } catch (const fs::filesystem_error &e) {
        fs::remove_all(building, ec);
        throw Failure(format("%s cannot be made: %s", dir.c_str(), e.what()));
    } catch (...) {
        fs::remove_all(building, ec);
        throw;
    }
    for (const char *program : {"bootntfs", "bootfat"}) {
        if (!fs::exists(fs::path(executable_dir()) / program, ec))
            std::fprintf(stderr, "ntmachine: note: %s is not built yet; system32 links to where it will be\n", program);
    }
}

int cmd_create(const std::vector<std::string> &args) {
    if (args.size() != 1) throw Failure("usage: ntmachine create DIR");
    create_machine(args[0]);
    Machine m = Machine::open(args[0]);
    std::printf("Created machine %s\n", m.dir.c_str());
    return 0;
}

// ----------------------------------------------------------------- attach

void attach_drive(const std::string &dirArg, const std::string &letterArg, const std::string &kind,
                  const std::string &pathArg) {
    Machine m = Machine::open(dirArg);
    char letter = parse_drive_letter(letterArg);
    if (kind != "image" && kind != "folder")
        throw Failure(format("unknown drive kind \"%s\" (expected image or folder)", kind.c_str()));

    std::string path = pathArg;
    uint64_t offset = 0;
    bool hasOffset = false;
    if (kind == "image") {
        size_t at = path.rfind('@');
        if (at != std::string::npos && at + 1 < path.size() &&
            path.find_first_not_of("0123456789", at + 1) == std::string::npos) {
            errno = 0;
            offset = std::strtoull(path.c_str() + at + 1, nullptr, 10);
            if (errno) throw Failure(format("%s: the offset is too large", pathArg.c_str()));
            hasOffset = true;
            path.erase(at);
        }
    }
    if (path.empty()) throw Failure("the path is missing");
    if (path.find_first_of("#\n\r") != std::string::npos)
        throw Failure(format("%s: a drive path cannot hold '#' or a line break", path.c_str()));

    std::error_code ec;
    fs::path target = fs::absolute(path, ec);
    if (!ec) target = fs::weakly_canonical(target, ec);
    if (ec || !fs::exists(target, ec)) throw Failure(format("%s: no such file or folder", path.c_str()));
    if (kind == "folder") {
        if (!fs::is_directory(target, ec)) throw Failure(format("%s is not a folder", path.c_str()));
    } else {
        auto status = fs::status(target, ec);
        if (!fs::is_regular_file(status) && !fs::is_block_file(status))
            throw Failure(format("%s is neither an image file nor a block device", path.c_str()));
        if (offset % 512 != 0) throw Failure(format("%s: the offset must be a multiple of 512 bytes", pathArg.c_str()));
        if (fs::is_regular_file(status) && offset >= fs::file_size(target, ec))
            throw Failure(format("%s: the offset lies past the end of the image", pathArg.c_str()));
    }

    ntp::DriveConfig existing;
    std::string said;
    if (ntp::machine_drive(letter, &existing) != STATUS_OBJECT_NAME_NOT_FOUND)
        throw Failure(format("drive %c: is attached already (see %s)", letter, m.path("drives").c_str()));

    // Inside the machine folder the path is kept relative, so that the
    // folder can be moved whole.
    std::string stored = target.string();
    fs::path relative = target.lexically_relative(m.dir);
    if (!relative.empty() && *relative.begin() != "..") stored = relative.string();
    std::string line = format("%c: %s %s", letter, kind.c_str(), stored.c_str());
    // A path that holds '@' always gets its offset, so that it reads back whole.
    if (kind == "image" && (hasOffset || stored.find('@') != std::string::npos))
        line += format("@%llu", static_cast<unsigned long long>(offset));

    std::ifstream in(m.path("drives"), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string content = text.str();
    if (!content.empty() && content.back() != '\n') content += '\n';
    content += line + "\n";
    write_whole(m.path("drives"), content);
}

int cmd_attach(const std::vector<std::string> &args) {
    if (args.size() != 4)
        throw Failure("usage: ntmachine attach DIR X: image PATH[@OFFSET]  |  ntmachine attach DIR X: folder PATH");
    attach_drive(args[0], args[1], args[2], args[3]);
    char letter = parse_drive_letter(args[1]);
    std::string fsName = "?";
    try {
        fsName = drive_file_system(letter);
    } catch (const Failure &e) {
        fsName = std::string("unreadable: ") + e.what();
    }
    std::printf("Attached %c: %s %s (file system: %s)\n", letter, args[2].c_str(), args[3].c_str(), fsName.c_str());
    return 0;
}

}  // namespace ntm
