// The registry over the machine's hive files, checked with hivex's own tools.
#include <hivex.h>

#include <cstring>

#include "core_support.h"

namespace {

using namespace coretest;

// Adds a path of keys below the root with hivex; returns the last node.
hive_node_h add_path(hive_h *h, std::initializer_list<const char *> names) {
    hive_node_h node = hivex_root(h);
    for (const char *name : names) {
        hive_node_h child = hivex_node_get_child(h, node, name);
        node = child ? child : hivex_node_add_child(h, node, name);
    }
    return node;
}

class Registry : public testing::Test {
protected:
    void SetUp() override {
        make_machine(dir.path());
        system = (dir.path() / "config" / "SYSTEM").string();
        hive_h *h = hivex_open(system.c_str(), HIVEX_OPEN_WRITE);
        ASSERT_NE(h, nullptr);
        uint32_t current = 1;
        hive_set_value v{const_cast<char *>("Current"), hive_t_REG_DWORD, 4, reinterpret_cast<char *>(&current)};
        ASSERT_EQ(hivex_node_set_value(h, add_path(h, {"Select"}), &v, 0), 0);
        add_path(h, {"ControlSet001", "Control", "Session Manager", "Memory Management"});
        add_path(h, {"ControlSet002", "Control", "Session Manager"});
        ASSERT_EQ(hivex_commit(h, nullptr, 0), 0);
        hivex_close(h);
        machine = std::make_unique<EnvVar>("NT_MACHINE", dir.str());
    }

    NTSTATUS open(const char16_t *name, ACCESS_MASK access, HANDLE *key, HANDLE root = nullptr) {
        UNICODE_STRING u;
        RtlInitUnicodeString(&u, name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE, root, nullptr);
        return NtOpenKey(key, access, &oa);
    }
    NTSTATUS set(HANDLE key, const char16_t *name, ULONG type, const void *data, ULONG size) {
        UNICODE_STRING u;
        RtlInitUnicodeString(&u, name);
        return NtSetValueKey(key, &u, 0, type, const_cast<void *>(data), size);
    }
    NTSTATUS query(HANDLE key, const char16_t *name, void *buffer, ULONG length, ULONG *result) {
        UNICODE_STRING u;
        RtlInitUnicodeString(&u, name);
        return NtQueryValueKey(key, &u, KeyValuePartialInformation, buffer, length, result);
    }
    std::string hivexget(const std::string &hive, const std::string &key, const std::string &value = "") {
        return run_command("hivexget " + quote(hive) + " " + quote(key) + (value.empty() ? "" : " " + quote(value)) +
                           " 2>&1");
    }

    ScratchDir dir;
    std::string system;
    std::unique_ptr<EnvVar> machine;
};

const char16_t kSessionManager[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";

TEST_F(Registry, ValueSetThroughCurrentControlSetLandsInControlSet001) {
    HANDLE key;
    ASSERT_EQ(open(kSessionManager, KEY_QUERY_VALUE | KEY_SET_VALUE, &key), STATUS_SUCCESS);
    const char16_t list[] = u"autocheck autochk *\0DOZUZORO C: FILES=FULL\0";  // ends with the empty string
    ASSERT_EQ(set(key, u"BootExecute", REG_MULTI_SZ, list, sizeof list), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(key), STATUS_SUCCESS);

    EXPECT_EQ(hivexget(system, "ControlSet001\\Control\\Session Manager", "BootExecute"),
              "autocheck autochk *\nDOZUZORO C: FILES=FULL\n\n");
    EXPECT_EQ(hivexget(system, "ControlSet002\\Control\\Session Manager"), "");
}

TEST_F(Registry, SelectCurrentChoosesTheControlSet) {
    hive_h *h = hivex_open(system.c_str(), HIVEX_OPEN_WRITE);
    uint32_t two = 2;
    hive_set_value v{const_cast<char *>("Current"), hive_t_REG_DWORD, 4, reinterpret_cast<char *>(&two)};
    ASSERT_EQ(hivex_node_set_value(h, add_path(h, {"Select"}), &v, 0), 0);
    ASSERT_EQ(hivex_commit(h, nullptr, 0), 0);
    hivex_close(h);

    HANDLE key;
    ASSERT_EQ(open(kSessionManager, KEY_SET_VALUE, &key), STATUS_SUCCESS);
    DWORD one = 1;
    ASSERT_EQ(set(key, u"Marker", REG_DWORD, &one, 4), STATUS_SUCCESS);
    NtClose(key);
    EXPECT_EQ(hivexget(system, "ControlSet002\\Control\\Session Manager", "Marker"), "1\n");
    // ControlSet001 has no Memory Management twin in 002: it is not found there.
    EXPECT_EQ(open(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
                   KEY_READ, &key),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Registry, PartialInformationSizesAsWindowsReports) {
    HANDLE key;
    ASSERT_EQ(open(kSessionManager, KEY_READ | KEY_SET_VALUE, &key), STATUS_SUCCESS);
    const char16_t text[] = u"C:\\pagefile.sys 64 128\0";
    ASSERT_EQ(set(key, u"PagingFiles", REG_MULTI_SZ, text, sizeof text), STATUS_SUCCESS);
    const ULONG full = 12 + sizeof text;

    unsigned char buffer[600];
    std::memset(buffer, 0xCC, sizeof buffer);
    ULONG result = 0;
    ASSERT_EQ(query(key, u"pagingfiles", buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer);
    EXPECT_EQ(result, full);
    EXPECT_EQ(info->TitleIndex, 0u);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_MULTI_SZ));
    EXPECT_EQ(info->DataLength, sizeof text);
    EXPECT_EQ(std::memcmp(info->Data, text, sizeof text), 0);
    EXPECT_EQ(buffer[full], 0xCC) << "nothing written past the record";

    // Header does not fit: too small, nothing written.
    std::memset(buffer, 0xCC, sizeof buffer);
    result = 0;
    EXPECT_EQ(query(key, u"PagingFiles", buffer, 11, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, full);
    EXPECT_EQ(buffer[0], 0xCC);

    // Header fits, data does not: overflow with the header filled.
    std::memset(buffer, 0xCC, sizeof buffer);
    result = 0;
    EXPECT_EQ(query(key, u"PagingFiles", buffer, 12 + 4, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, full);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_MULTI_SZ));
    EXPECT_EQ(info->DataLength, sizeof text);
    EXPECT_EQ(buffer[12], 0xCC);

    EXPECT_EQ(query(key, u"NoSuchValue", buffer, sizeof buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    NtClose(key);
}

TEST_F(Registry, ValueTypesKeepTheirRawBytes) {
    HANDLE key;
    ASSERT_EQ(open(u"\\Registry\\Machine\\SYSTEM\\Select", KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    const char16_t sz[] = u"caf\u00e9";
    const char16_t expand[] = u"%SystemRoot%\\x";
    const char16_t multi[] = u"a\0bc\0";
    const unsigned char binary[] = {0, 1, 2, 0xFF, 0x80};
    DWORD dword = 0x12345678;
    ASSERT_EQ(set(key, u"Sz", REG_SZ, sz, sizeof sz), STATUS_SUCCESS);
    ASSERT_EQ(set(key, u"Expand", REG_EXPAND_SZ, expand, sizeof expand), STATUS_SUCCESS);
    ASSERT_EQ(set(key, u"Multi", REG_MULTI_SZ, multi, sizeof multi), STATUS_SUCCESS);
    ASSERT_EQ(set(key, u"Binary", REG_BINARY, binary, sizeof binary), STATUS_SUCCESS);
    ASSERT_EQ(set(key, u"Dword", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    ASSERT_EQ(set(key, u"Empty", REG_BINARY, nullptr, 0), STATUS_SUCCESS);

    struct Case {
        const char16_t *name;
        ULONG type;
        const void *data;
        ULONG size;
    } cases[] = {{u"Sz", REG_SZ, sz, sizeof sz},
                 {u"Expand", REG_EXPAND_SZ, expand, sizeof expand},
                 {u"Multi", REG_MULTI_SZ, multi, sizeof multi},
                 {u"Binary", REG_BINARY, binary, sizeof binary},
                 {u"Dword", REG_DWORD, &dword, 4},
                 {u"Empty", REG_BINARY, nullptr, 0}};
    for (const Case &c : cases) {
        unsigned char buffer[128];
        ULONG result = 0;
        ASSERT_EQ(query(key, c.name, buffer, sizeof buffer, &result), STATUS_SUCCESS) << ntp::to_utf8(c.name);
        auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer);
        EXPECT_EQ(info->Type, c.type) << ntp::to_utf8(c.name);
        ASSERT_EQ(info->DataLength, c.size) << ntp::to_utf8(c.name);
        if (c.size) {
            EXPECT_EQ(std::memcmp(info->Data, c.data, c.size), 0) << ntp::to_utf8(c.name);
        }
    }
    NtClose(key);
    // hivex reads the same bytes.
    std::string listed = hivexget(system, "Select");
    EXPECT_NE(listed.find("\"Dword\"=dword:12345678"), std::string::npos) << listed;
    EXPECT_NE(listed.find("\"Binary\"=hex(3):00,01,02,ff,80"), std::string::npos) << listed;
    EXPECT_NE(listed.find("\"Multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00"), std::string::npos) << listed;
    EXPECT_EQ(hivexget(system, "Select", "Sz"), "caf\u00e9\n");
}

TEST_F(Registry, NamesAreCaseInsensitiveAndReplacementKeepsOneValue) {
    HANDLE key;
    ASSERT_EQ(open(u"\\REGISTRY\\machine\\system\\currentcontrolset\\CONTROL\\session manager", KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    DWORD a = 1, b = 2;
    ASSERT_EQ(set(key, u"Value", REG_DWORD, &a, 4), STATUS_SUCCESS);
    ASSERT_EQ(set(key, u"VALUE", REG_DWORD, &b, 4), STATUS_SUCCESS);
    NtClose(key);
    std::string listed = hivexget(system, "ControlSet001\\Control\\Session Manager");
    EXPECT_EQ(listed, "\"Value\"=dword:00000002\n");
}

TEST_F(Registry, SettingNeedsTheSetValueRight) {
    HANDLE key;
    ASSERT_EQ(open(kSessionManager, KEY_READ, &key), STATUS_SUCCESS);
    std::string before = read_file(system);
    DWORD one = 1;
    EXPECT_EQ(set(key, u"BootExecute", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"BootExecute");
    EXPECT_EQ(NtDeleteValueKey(key, &name), STATUS_ACCESS_DENIED);
    EXPECT_EQ(read_file(system), before);
    NtClose(key);

    ASSERT_EQ(open(kSessionManager, KEY_SET_VALUE, &key), STATUS_SUCCESS);
    unsigned char buffer[64];
    ULONG result;
    EXPECT_EQ(query(key, u"BootExecute", buffer, sizeof buffer, &result), STATUS_ACCESS_DENIED);
    NtClose(key);
    // Generic rights map onto the key rights.
    ASSERT_EQ(open(kSessionManager, GENERIC_WRITE, &key), STATUS_SUCCESS);
    EXPECT_EQ(set(key, u"X", REG_DWORD, &one, 4), STATUS_SUCCESS);
    NtClose(key);
}

TEST_F(Registry, ReadOnlyHiveIsNotReplaced) {
    HANDLE key;
    ASSERT_EQ(open(kSessionManager, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    DWORD one = 1;
    ASSERT_EQ(set(key, u"Before", REG_DWORD, &one, 4), STATUS_SUCCESS);
    fs::permissions(system, fs::perms::owner_read | fs::perms::group_read);
    std::string before = read_file(system);
    testing::internal::CaptureStderr();
    EXPECT_EQ(set(key, u"After", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("read-only"), std::string::npos);
    EXPECT_EQ(read_file(system), before);
    EXPECT_EQ(fs::status(system).permissions(), fs::perms::owner_read | fs::perms::group_read);
    // Reading still works.
    unsigned char buffer[64];
    ULONG result;
    EXPECT_EQ(query(key, u"Before", buffer, sizeof buffer, &result), STATUS_SUCCESS);
    NtClose(key);
}

TEST_F(Registry, CommitKeepsTheHivesPermissions) {
    fs::permissions(system, fs::perms::owner_read | fs::perms::owner_write);
    HANDLE key;
    ASSERT_EQ(open(kSessionManager, KEY_SET_VALUE, &key), STATUS_SUCCESS);
    DWORD one = 1;
    ASSERT_EQ(set(key, u"X", REG_DWORD, &one, 4), STATUS_SUCCESS);
    NtClose(key);
    EXPECT_EQ(fs::status(system).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    // No temporary file is left beside the hive.
    size_t files = 0;
    for (auto &e : fs::directory_iterator(dir.path() / "config")) files += 1, (void)e;
    EXPECT_EQ(files, 2u);
}

TEST_F(Registry, DeleteValueKeepsTheOthers) {
    HANDLE key;
    ASSERT_EQ(open(kSessionManager, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    DWORD v = 5;
    const char16_t s[] = u"kept";
    ASSERT_EQ(set(key, u"One", REG_DWORD, &v, 4), STATUS_SUCCESS);
    ASSERT_EQ(set(key, u"Two", REG_SZ, s, sizeof s), STATUS_SUCCESS);
    ASSERT_EQ(set(key, u"Three", REG_DWORD, &v, 4), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"one");
    EXPECT_EQ(NtDeleteValueKey(key, &name), STATUS_SUCCESS);
    EXPECT_EQ(NtDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    NtClose(key);
    EXPECT_EQ(hivexget(system, "ControlSet001\\Control\\Session Manager"),
              "\"Two\"=\"kept\"\n\"Three\"=dword:00000005\n");
}

TEST_F(Registry, CreateKeyMakesOnlyTheLastName) {
    UNICODE_STRING u;
    OBJECT_ATTRIBUTES oa;
    HANDLE key;
    ULONG disposition = 0;
    RtlInitUnicodeString(&u, u"\\Registry\\Machine\\SOFTWARE\\Vendor");
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ASSERT_EQ(NtCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    NtClose(key);
    ASSERT_EQ(NtCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));

    // Relative to an open key.
    HANDLE child;
    RtlInitUnicodeString(&u, u"Product");
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE, key, nullptr);
    ASSERT_EQ(NtCreateKey(&child, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    DWORD one = 1;
    EXPECT_EQ(set(child, u"Installed", REG_DWORD, &one, 4), STATUS_SUCCESS);
    NtClose(child);
    NtClose(key);
    EXPECT_EQ(hivexget((dir.path() / "config" / "SOFTWARE").string(), "Vendor\\Product", "Installed"), "1\n");

    // A missing parent is not created.
    RtlInitUnicodeString(&u, u"\\Registry\\Machine\\SOFTWARE\\Missing\\Child");
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    EXPECT_EQ(NtCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Registry, UnknownNamesAndHandles) {
    HANDLE key = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(open(u"\\Registry\\User\\x", KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(open(u"\\Registry\\Machine\\SAM", KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(open(u"\\Registry\\Machine\\SYSTEM\\NoSuchKey", KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(open(u"Registry\\Machine\\SYSTEM", KEY_READ, &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(key, reinterpret_cast<HANDLE>(0x1234)) << "no handle on failure";
    unsigned char buffer[64];
    ULONG result;
    EXPECT_EQ(query(reinterpret_cast<HANDLE>(0x7FFFFF00), u"X", buffer, sizeof buffer, &result), STATUS_INVALID_HANDLE);
    // \Registry\Machine itself opens, and names the hives below it.
    HANDLE machineKey, select;
    ASSERT_EQ(open(u"\\Registry\\Machine", KEY_READ, &machineKey), STATUS_SUCCESS);
    ASSERT_EQ(open(u"SYSTEM\\Select", KEY_READ, &select, machineKey), STATUS_SUCCESS);
    ASSERT_EQ(query(select, u"Current", buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer)->Data[0], 1);
    NtClose(select);
    NtClose(machineKey);
}

TEST_F(Registry, CorruptHiveGivesAClearStatus) {
    HANDLE key;
    ASSERT_EQ(open(kSessionManager, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    std::string good = read_file(system);
    std::string bad = good;
    bad.replace(0, 4, "junk");
    write_file(system, bad);
    testing::internal::CaptureStderr();
    DWORD one = 1;
    EXPECT_EQ(set(key, u"X", REG_DWORD, &one, 4), STATUS_REGISTRY_CORRUPT);
    HANDLE other;
    EXPECT_EQ(open(u"\\Registry\\Machine\\SYSTEM\\Select", KEY_READ, &other), STATUS_REGISTRY_CORRUPT);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("config/SYSTEM"), std::string::npos) << said;
    EXPECT_NE(said.find("not a valid hive"), std::string::npos) << said;
    EXPECT_EQ(read_file(system), bad) << "nothing written to a corrupt hive";
    NtClose(key);

    // Truncated to nothing: the same, never a crash.
    write_file(system, "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(open(u"\\Registry\\Machine\\SYSTEM\\Select", KEY_READ, &other), STATUS_REGISTRY_CORRUPT);
    testing::internal::GetCapturedStderr();
}

TEST_F(Registry, MissingHiveIsNotFound) {
    fs::remove(dir.path() / "config" / "SOFTWARE");
    HANDLE key;
    testing::internal::CaptureStderr();
    EXPECT_EQ(open(u"\\Registry\\Machine\\SOFTWARE\\Classes", KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("config/SOFTWARE"), std::string::npos) << said;
    EXPECT_NE(said.find("missing"), std::string::npos) << said;
}

TEST_F(Registry, MissingSelectCannotResolveCurrentControlSet) {
    std::string error;
    ASSERT_TRUE(ntp::create_empty_hive(system, &error)) << error;
    HANDLE key;
    testing::internal::CaptureStderr();
    EXPECT_EQ(open(kSessionManager, KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Select"), std::string::npos);
}

TEST(EmptyHive, HivexWritesAndReadsIt) {
    ScratchDir dir;
    std::string path = (dir.path() / "hive").string();
    std::string error;
    ASSERT_TRUE(ntp::create_empty_hive(path, &error)) << error;
    EXPECT_EQ(fs::file_size(path), 8192u);
    // Nothing in it yet.
    EXPECT_EQ(run_command("hivexget " + quote(path) + " '\\' 2>&1"), "");

    hive_h *h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    ASSERT_NE(h, nullptr) << std::strerror(errno);
    hive_node_h node = add_path(h, {"ControlSet001", "Control", "Session Manager"});
    ASSERT_NE(node, 0u);
    const char16_t list[] = u"autocheck autochk *\0";
    hive_set_value v{const_cast<char *>("BootExecute"), hive_t_REG_MULTI_SZ, sizeof list,
                     reinterpret_cast<char *>(const_cast<char16_t *>(list))};
    ASSERT_EQ(hivex_node_set_value(h, node, &v, 0), 0);
    // Enough keys to need more than the first bin.
    hive_node_h many = add_path(h, {"Many"});
    for (int i = 0; i < 200; ++i) ASSERT_NE(hivex_node_add_child(h, many, ("Key" + std::to_string(i)).c_str()), 0u);
    ASSERT_EQ(hivex_commit(h, nullptr, 0), 0);
    hivex_close(h);

    EXPECT_EQ(run_command("hivexget " + quote(path) + " 'ControlSet001\\Control\\Session Manager' BootExecute"),
              "autocheck autochk *\n\n");
    h = hivex_open(path.c_str(), 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(hivex_node_nr_children(h, hivex_node_get_child(h, hivex_root(h), "Many")), 200u);
    hivex_close(h);
}

TEST(EmptyHive, UnwritablePlaceIsReported) {
    std::string error;
    EXPECT_FALSE(ntp::create_empty_hive("/nonexistent-folder/hive", &error));
    EXPECT_NE(error.find("/nonexistent-folder"), std::string::npos) << error;
}

}  // namespace
