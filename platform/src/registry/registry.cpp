// The registry: \Registry\Machine\SYSTEM and \Registry\Machine\SOFTWARE are
// the hive files config/SYSTEM and config/SOFTWARE of the machine, read and
// written with hivex.
//
// A key handle remembers the hive and the path of names (CurrentControlSet
// resolved when the key is opened, as Windows does at boot). Every call opens
// the hive afresh, so that changes made by another process (the machine tool,
// a second program) are always seen; a change is committed at once, through a
// temporary file renamed over the hive, so that the hive is never
// half-written.
#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "internal.h"

namespace ntp {
namespace {

enum class HiveId { Machine, System, Software };  // Machine: \Registry\Machine itself

class KeyObject : public Object {
public:
    HiveId hive = HiveId::Machine;
    std::vector<std::u16string> path;  // names below the hive root
    ACCESS_MASK access = 0;
};

const char *hive_file(HiveId id) { return id == HiveId::System ? "config/SYSTEM" : "config/SOFTWARE"; }

// An open hive, closed on every path.
struct Hive {
    hive_h *h = nullptr;
    std::string path;
    Hive() = default;
    Hive(const Hive &) = delete;
    Hive &operator=(const Hive &) = delete;
    ~Hive() {
        if (h) hivex_close(h);
    }
};

NTSTATUS open_hive(HiveId id, bool write, Hive *hive) {
    std::string root;
    NTSTATUS status = machine_root(&root);
    if (!NT_SUCCESS(status)) return status;
    hive->path = root + "/" + hive_file(id);
    struct stat st;
    if (::stat(hive->path.c_str(), &st) != 0) {
        warn("registry hive %s is missing", hive->path.c_str());
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    errno = 0;
    hive->h = hivex_open(hive->path.c_str(), write ? HIVEX_OPEN_WRITE : 0);
    if (!hive->h) {
        int e = errno;
        if (e == EACCES || e == EPERM) {
            warn("registry hive %s cannot be opened: %s", hive->path.c_str(), std::strerror(e));
            return STATUS_ACCESS_DENIED;
        }
        warn("registry hive %s is not a valid hive: %s", hive->path.c_str(), e ? std::strerror(e) : "unreadable");
        return STATUS_REGISTRY_CORRUPT;
    }
    return STATUS_SUCCESS;
}

// Writes the changed hive: a temporary file beside it, flushed, renamed over it.
// A hive file without write permission is refused (root would otherwise
// replace it); the new file keeps the old one's permissions.
NTSTATUS commit_hive(Hive &hive) {
    struct stat st;
    if (::stat(hive.path.c_str(), &st) != 0) {
        warn("registry hive %s cannot be written: %s", hive.path.c_str(), std::strerror(errno));
        return STATUS_REGISTRY_IO_FAILED;
    }
    if ((st.st_mode & 0222) == 0) {
        warn("registry hive %s is read-only: the change is not written", hive.path.c_str());
        return STATUS_ACCESS_DENIED;
    }
    std::string temporary = hive.path + ".tmp" + std::to_string(::getpid());
    if (hivex_commit(hive.h, temporary.c_str(), 0) != 0) {
        int e = errno;
        ::unlink(temporary.c_str());
        warn("registry hive %s cannot be written: %s", hive.path.c_str(), std::strerror(e));
        return (e == EACCES || e == EPERM || e == EROFS) ? STATUS_ACCESS_DENIED : STATUS_REGISTRY_IO_FAILED;
    }
    int fd = ::open(temporary.c_str(), O_RDONLY);
    bool synced = fd >= 0 && ::fchmod(fd, st.st_mode & 07777) == 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!synced || ::rename(temporary.c_str(), hive.path.c_str()) != 0) {
        int e = errno;
        ::unlink(temporary.c_str());
        warn("registry hive %s cannot be replaced: %s", hive.path.c_str(), std::strerror(e));
        return STATUS_REGISTRY_IO_FAILED;
    }
    return STATUS_SUCCESS;
}

// The child of `node` named `name` (case-insensitive), 0 when there is none;
// STATUS_REGISTRY_CORRUPT when the hive cannot list the children.
NTSTATUS find_child(hive_h *h, hive_node_h node, const std::u16string &name, hive_node_h *child) {
    *child = 0;
    errno = 0;
    hive_node_h *children = hivex_node_children(h, node);
    if (!children) return STATUS_REGISTRY_CORRUPT;
    for (size_t i = 0; children[i]; ++i) {
        char *n = hivex_node_name(h, children[i]);
        if (!n) continue;
        bool same = iequal(to_utf16(n), name);
        std::free(n);
        if (same) {
            *child = children[i];
            break;
        }
    }
    std::free(children);
    return STATUS_SUCCESS;
}

// The value of `node` named `name` (case-insensitive), 0 when there is none.
NTSTATUS find_value(hive_h *h, hive_node_h node, const std::u16string &name, hive_value_h *value,
                    std::string *storedName) {
    *value = 0;
    hive_value_h *values = hivex_node_values(h, node);
    if (!values) return STATUS_REGISTRY_CORRUPT;
    for (size_t i = 0; values[i]; ++i) {
        char *k = hivex_value_key(h, values[i]);
        if (!k) continue;
        bool same = iequal(to_utf16(k), name);
        if (same) {
            *value = values[i];
            if (storedName) *storedName = k;
        }
        std::free(k);
        if (same) break;
    }
    std::free(values);
    return STATUS_SUCCESS;
}

NTSTATUS walk(hive_h *h, const std::vector<std::u16string> &path, hive_node_h *node) {
    hive_node_h n = hivex_root(h);
    if (!n) return STATUS_REGISTRY_CORRUPT;
    for (const auto &name : path) {
        hive_node_h child;
        NTSTATUS status = find_child(h, n, name, &child);
        if (!NT_SUCCESS(status)) return status;
        if (!child) return STATUS_OBJECT_NAME_NOT_FOUND;
        n = child;
    }
    *node = n;
    return STATUS_SUCCESS;
}

// "ControlSet%03u" named by Select\Current, as the boot loader chooses it.
NTSTATUS current_control_set(std::u16string *name) {
    Hive hive;
    NTSTATUS status = open_hive(HiveId::System, false, &hive);
    if (!NT_SUCCESS(status)) return status;
    hive_node_h select;
    status = walk(hive.h, {u"Select"}, &select);
    hive_value_h current = 0;
    if (NT_SUCCESS(status)) status = find_value(hive.h, select, u"Current", &current, nullptr);
    if (!NT_SUCCESS(status) || !current) {
        warn("registry hive %s has no Select\\Current: CurrentControlSet cannot be resolved", hive.path.c_str());
        return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
    }
    hive_type type;
    size_t length = 0;
    char *data = hivex_value_value(hive.h, current, &type, &length);
    if (!data || type != hive_t_REG_DWORD || length != 4) {
        std::free(data);
        warn("registry hive %s: Select\\Current is not a REG_DWORD", hive.path.c_str());
        return STATUS_REGISTRY_CORRUPT;
    }
    uint32_t number;
    std::memcpy(&number, data, 4);  // little-endian on disk and here
    std::free(data);
    char text[32];
    std::snprintf(text, sizeof text, "ControlSet%03u", number);
    *name = to_utf16(text);
    return STATUS_SUCCESS;
}

ACCESS_MASK map_access(ACCESS_MASK access) {
    if (access & GENERIC_READ) access |= KEY_READ;
    if (access & GENERIC_WRITE) access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE) access |= KEY_READ;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

std::vector<std::u16string> split(std::u16string_view text) {
    std::vector<std::u16string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == u'\\') {
            if (i > start) parts.emplace_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

// Turns the object attributes into a hive and a path of names. `path` ends
// with the key named; `hive` is Machine for \Registry\Machine itself.
NTSTATUS resolve_name(POBJECT_ATTRIBUTES attributes, HiveId *hive, std::vector<std::u16string> *path) {
    if (!attributes || !attributes->ObjectName) return STATUS_INVALID_PARAMETER;
    const UNICODE_STRING *name = attributes->ObjectName;
    if (name->Length && !name->Buffer) return STATUS_INVALID_PARAMETER;
    std::u16string_view text(name->Buffer ? name->Buffer : u"", name->Length / sizeof(WCHAR));
    std::vector<std::u16string> parts = split(text);

    std::vector<std::u16string> full;
    HiveId id = HiveId::Machine;
    if (attributes->RootDirectory) {
        if (!text.empty() && text[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        auto root = handle_get<KeyObject>(attributes->RootDirectory);
        if (!root) return STATUS_INVALID_HANDLE;
        id = root->hive;
        full = root->path;
        if (id == HiveId::Machine && !parts.empty()) {
            if (iequal(parts[0], u"SYSTEM"))
                id = HiveId::System;
            else if (iequal(parts[0], u"SOFTWARE"))
                id = HiveId::Software;
            else
                return STATUS_OBJECT_NAME_NOT_FOUND;
            parts.erase(parts.begin());
        }
        full.insert(full.end(), parts.begin(), parts.end());
    } else {
        if (text.empty() || text[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (parts.size() < 2 || !iequal(parts[0], u"Registry") || !iequal(parts[1], u"Machine"))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        if (parts.size() > 2) {
            if (iequal(parts[2], u"SYSTEM"))
                id = HiveId::System;
            else if (iequal(parts[2], u"SOFTWARE"))
                id = HiveId::Software;
            else
                return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        full.assign(parts.begin() + std::min<size_t>(parts.size(), 3), parts.end());
    }
    if (id == HiveId::System && !full.empty() && iequal(full[0], u"CurrentControlSet")) {
        std::u16string set;
        NTSTATUS status = current_control_set(&set);
        if (!NT_SUCCESS(status)) return status;
        full[0] = set;
    }
    *hive = id;
    *path = std::move(full);
    return STATUS_SUCCESS;
}

std::u16string value_name(PUNICODE_STRING name) {
    if (!name || !name->Buffer) return {};
    return std::u16string(name->Buffer, name->Length / sizeof(WCHAR));
}

NTSTATUS open_or_create(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, bool create,
                        PULONG disposition) {
    if (!handle) return STATUS_INVALID_PARAMETER;
    HiveId id = HiveId::Machine;
    std::vector<std::u16string> path;
    NTSTATUS status = resolve_name(attributes, &id, &path);
    if (!NT_SUCCESS(status)) return status;

    ULONG outcome = REG_OPENED_EXISTING_KEY;
    if (id != HiveId::Machine) {
        Hive hive;
        status = open_hive(id, false, &hive);
        if (!NT_SUCCESS(status)) return status;
        hive_node_h node;
        status = walk(hive.h, path, &node);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND && create && !path.empty()) {
            // Only the last name is created: its parent must exist.
            Hive writable;
            status = open_hive(id, true, &writable);
            if (!NT_SUCCESS(status)) return status;
            hive_node_h parent;
            std::vector<std::u16string> parentPath(path.begin(), path.end() - 1);
            status = walk(writable.h, parentPath, &parent);
            if (!NT_SUCCESS(status)) return status;
            if (!hivex_node_add_child(writable.h, parent, to_utf8(path.back()).c_str())) {
                warn("registry hive %s: key cannot be added: %s", writable.path.c_str(), std::strerror(errno));
                return STATUS_REGISTRY_IO_FAILED;
            }
            status = commit_hive(writable);
            if (!NT_SUCCESS(status)) return status;
            outcome = REG_CREATED_NEW_KEY;
        } else if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    auto key = std::make_shared<KeyObject>();
    key->hive = id;
    key->path = std::move(path);
    key->access = map_access(access);
    *handle = handle_insert(key);
    if (disposition) *disposition = outcome;
    return STATUS_SUCCESS;
}

// Opens the hive of a key handle and finds its node; checks the access first.
NTSTATUS key_node(HANDLE handle, ACCESS_MASK needed, bool write, Hive *hive, hive_node_h *node,
                  std::shared_ptr<KeyObject> *keyOut = nullptr) {
    auto key = handle_get<KeyObject>(handle);
    if (!key) return handle_lookup(handle) ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
    if ((key->access & needed) != needed) return STATUS_ACCESS_DENIED;
    if (key->hive == HiveId::Machine) return STATUS_OBJECT_NAME_NOT_FOUND;  // holds no values
    NTSTATUS status = open_hive(key->hive, write, hive);
    if (!NT_SUCCESS(status)) return status;
    status = walk(hive->h, key->path, node);
    if (!NT_SUCCESS(status)) return status;
    if (keyOut) *keyOut = key;
    return STATUS_SUCCESS;
}

}  // namespace
}  // namespace ntp

NTSTATUS NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    return ntp::open_or_create(KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr);
}

NTSTATUS NtCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    if (CreateOptions & REG_OPTION_VOLATILE)
        ntp::debug("NtCreateKey: volatile keys are not supported; the key is kept in the hive file");
    if (Class && Class->Length) ntp::debug("NtCreateKey: key classes are not kept");
    return ntp::open_or_create(KeyHandle, DesiredAccess, ObjectAttributes, true, Disposition);
}

NTSTATUS NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation, ULONG Length,
                         PULONG ResultLength) {
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    if (KeyValueInformationClass != KeyValuePartialInformation) {
        ntp::debug("NtQueryValueKey: only KeyValuePartialInformation is supported (class %d asked)",
                   static_cast<int>(KeyValueInformationClass));
        return STATUS_INVALID_PARAMETER;
    }
    ntp::Hive hive;
    hive_node_h node;
    NTSTATUS status = ntp::key_node(KeyHandle, KEY_QUERY_VALUE, false, &hive, &node);
    if (!NT_SUCCESS(status)) return status;
    hive_value_h value;
    status = ntp::find_value(hive.h, node, ntp::value_name(ValueName), &value, nullptr);
    if (!NT_SUCCESS(status)) return status;
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;

    hive_type type;
    size_t size = 0;
    errno = 0;
    char *data = hivex_value_value(hive.h, value, &type, &size);
    if (!data) {
        ntp::warn("registry hive %s: a value cannot be read: %s", hive.path.c_str(), std::strerror(errno));
        return STATUS_REGISTRY_CORRUPT;
    }
    const ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    if (size > 0xFFFFFFFFull - header) {
        std::free(data);
        return STATUS_REGISTRY_CORRUPT;
    }
    *ResultLength = header + static_cast<ULONG>(size);
    if (Length < header || !KeyValueInformation) {
        std::free(data);
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto *info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
    info->TitleIndex = 0;
    info->Type = static_cast<ULONG>(type);
    info->DataLength = static_cast<ULONG>(size);
    if (Length - header < size) {
        std::free(data);
        return STATUS_BUFFER_OVERFLOW;  // the header is filled; the data does not fit
    }
    std::memcpy(info->Data, data, size);
    std::free(data);
    return STATUS_SUCCESS;
}

NTSTATUS NtSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    if (DataSize && !Data) return STATUS_INVALID_PARAMETER;
    ntp::Hive hive;
    hive_node_h node;
    NTSTATUS status = ntp::key_node(KeyHandle, KEY_SET_VALUE, true, &hive, &node);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name = ntp::value_name(ValueName);
    hive_value_h existing;
    std::string stored;
    status = ntp::find_value(hive.h, node, name, &existing, &stored);
    if (!NT_SUCCESS(status)) return status;
    std::string key = existing ? stored : ntp::to_utf8(name);  // replace the value under its own spelling
    hive_set_value value{};
    value.key = key.data();
    value.t = static_cast<hive_type>(Type);
    value.len = DataSize;
    value.value = static_cast<char *>(Data);
    static char empty = 0;
    if (!value.value) value.value = &empty;
    if (hivex_node_set_value(hive.h, node, &value, 0) != 0) {
        ntp::warn("registry hive %s: a value cannot be set: %s", hive.path.c_str(), std::strerror(errno));
        return STATUS_REGISTRY_IO_FAILED;
    }
    return ntp::commit_hive(hive);
}

NTSTATUS NtDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    ntp::Hive hive;
    hive_node_h node;
    NTSTATUS status = ntp::key_node(KeyHandle, KEY_SET_VALUE, true, &hive, &node);
    if (!NT_SUCCESS(status)) return status;
    hive_value_h target;
    status = ntp::find_value(hive.h, node, ntp::value_name(ValueName), &target, nullptr);
    if (!NT_SUCCESS(status)) return status;
    if (!target) return STATUS_OBJECT_NAME_NOT_FOUND;

    // hivex replaces a key's values as a whole: keep every other one.
    hive_value_h *values = hivex_node_values(hive.h, node);
    if (!values) return STATUS_REGISTRY_CORRUPT;
    struct Kept {
        char *key = nullptr;
        char *data = nullptr;
        hive_type type{};
        size_t length = 0;
    };
    std::vector<Kept> kept;
    bool ok = true;
    for (size_t i = 0; values[i]; ++i) {
        if (values[i] == target) continue;
        Kept k;
        k.key = hivex_value_key(hive.h, values[i]);
        k.data = hivex_value_value(hive.h, values[i], &k.type, &k.length);
        if (!k.key || !k.data) ok = false;
        kept.push_back(k);
    }
    std::free(values);
    if (ok) {
        std::vector<hive_set_value> list;
        for (auto &k : kept) list.push_back(hive_set_value{k.key, k.type, k.length, k.data});
        ok = hivex_node_set_values(hive.h, node, list.size(), list.data(), 0) == 0;
        if (!ok) ntp::warn("registry hive %s: a value cannot be deleted: %s", hive.path.c_str(), std::strerror(errno));
    }
    for (auto &k : kept) {
        std::free(k.key);
        std::free(k.data);
    }
    if (!ok) return STATUS_REGISTRY_IO_FAILED;
    return ntp::commit_hive(hive);
}

// ------------------------------------------------------------ empty hive

namespace ntp {
namespace {

void put16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(std::vector<uint8_t> &b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const std::vector<uint8_t> &b, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
    return v;
}

}  // namespace

// The layout of a fresh hive: a 4 KiB base block, then one 4 KiB hive bin
// holding the root key ("nk"), its security descriptor ("sk") and one free
// cell. Cell offsets count from the start of the first bin.
bool create_empty_hive(const std::string &path, std::string *error) {
    constexpr size_t kBlock = 0x1000;
    constexpr uint32_t kRootCell = 0x20;  // right after the bin header
    constexpr uint32_t kRootSize = 0x58;  // nk: 0x50 bytes of fields + "ROOT", 8-aligned
    constexpr uint32_t kSecurityCell = kRootCell + kRootSize;
    constexpr uint32_t kSecuritySize = 0x30;  // sk: 0x18 bytes of fields + 20-byte descriptor
    constexpr uint32_t kFreeCell = kSecurityCell + kSecuritySize;
    static_assert(kFreeCell % 8 == 0 && kFreeCell < kBlock, "hive bin layout");

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t filetime = 116444736000000000ull + static_cast<uint64_t>(now.tv_sec) * 10000000ull +
                        static_cast<uint64_t>(now.tv_nsec) / 100;

    std::vector<uint8_t> b(2 * kBlock, 0);
    // Base block.
    std::memcpy(&b[0x00], "regf", 4);
    put32(b, 0x04, 1);          // primary sequence number
    put32(b, 0x08, 1);          // secondary sequence number (equal: consistent)
    put64(b, 0x0C, filetime);   // last written
    put32(b, 0x14, 1);          // major version
    put32(b, 0x18, 3);          // minor version
    put32(b, 0x1C, 0);          // type: primary file
    put32(b, 0x20, 1);          // format: direct memory load
    put32(b, 0x24, kRootCell);  // root key cell
    put32(b, 0x28, kBlock);     // size of the hive bins
    put32(b, 0x2C, 1);          // clustering factor
    uint32_t sum = 0;
    for (size_t at = 0; at < 0x1FC; at += 4) sum ^= get32(b, at);
    put32(b, 0x1FC, sum);

    // Hive bin header.
    const size_t bin = kBlock;
    std::memcpy(&b[bin + 0x00], "hbin", 4);
    put32(b, bin + 0x04, 0);       // offset of this bin
    put32(b, bin + 0x08, kBlock);  // size of this bin
    put64(b, bin + 0x14, filetime);

    // Root key.
    size_t nk = bin + kRootCell;
    put32(b, nk + 0x00, static_cast<uint32_t>(-static_cast<int32_t>(kRootSize)));  // in use: negative
    std::memcpy(&b[nk + 0x04], "nk", 2);
    put16(b, nk + 0x06, 0x2C);  // hive entry | no delete | compressed (8-bit) name
    put64(b, nk + 0x08, filetime);
    put32(b, nk + 0x14, 0);           // parent: none
    put32(b, nk + 0x18, 0);           // subkeys
    put32(b, nk + 0x1C, 0);           // volatile subkeys
    put32(b, nk + 0x20, 0xFFFFFFFF);  // subkey list
    put32(b, nk + 0x24, 0xFFFFFFFF);  // volatile subkey list
    put32(b, nk + 0x28, 0);           // values
    put32(b, nk + 0x2C, 0xFFFFFFFF);  // value list
    put32(b, nk + 0x30, kSecurityCell);
    put32(b, nk + 0x34, 0xFFFFFFFF);  // class name
    put16(b, nk + 0x4C, 4);           // name length
    put16(b, nk + 0x4E, 0);           // class name length
    std::memcpy(&b[nk + 0x50], "ROOT", 4);

    // Security descriptor cell, linked to itself both ways.
    size_t sk = bin + kSecurityCell;
    put32(b, sk + 0x00, static_cast<uint32_t>(-static_cast<int32_t>(kSecuritySize)));
    std::memcpy(&b[sk + 0x04], "sk", 2);
    put32(b, sk + 0x08, kSecurityCell);  // previous
    put32(b, sk + 0x0C, kSecurityCell);  // next
    put32(b, sk + 0x10, 1);              // reference count
    put32(b, sk + 0x14, 20);             // descriptor length
    b[sk + 0x18] = 1;                    // revision
    put16(b, sk + 0x1A, 0x8004);         // self-relative, DACL present (null DACL)
    // owner, group, SACL and DACL offsets stay 0

    // The rest of the bin is one free cell (positive size).
    put32(b, bin + kFreeCell, kBlock - kFreeCell);

    std::string temporary = path + ".tmp" + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        if (error) *error = temporary + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::write(fd, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace ntp
