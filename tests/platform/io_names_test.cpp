// Object names of NtCreateFile: which names reach the volume, the root
// directory or a file, and which are refused with which status.
#include "internal.h"
#include "io_machine.h"

namespace {

using iotest::nt_open;
using iotest::TempMachine;

// The file-system name of what a handle is on.
std::u16string fs_name(HANDLE h) {
    alignas(8) unsigned char buf[272];
    IO_STATUS_BLOCK iosb;
    NTSTATUS s = NtQueryVolumeInformationFile(h, &iosb, buf, sizeof buf, FileFsAttributeInformation);
    if (!NT_SUCCESS(s)) return u"?";
    auto *info = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buf);
    return std::u16string(info->FileSystemName, info->FileSystemNameLength / sizeof(WCHAR));
}

class IoNames : public ::testing::Test {
protected:
    void SetUp() override {
        m.image("c.img", 1 << 20);
        m.folder("logs");
        m.drives("C: image c.img\nA: folder logs   # the log drive\n");
    }
    TempMachine m;
};

TEST_F(IoNames, VolumeNamesInEveryCaseOpenTheVolumeItself) {
    for (const char16_t *name :
         {u"\\??\\C:", u"\\DosDevices\\C:", u"\\dosdevices\\c:", u"\\??\\c:", u"\\DOSDEVICES\\C:"}) {
        SCOPED_TRACE(ntp::to_utf8(name));
        auto o = nt_open(name, GENERIC_READ | SYNCHRONIZE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
        ASSERT_EQ(o.status, STATUS_SUCCESS);
        EXPECT_EQ(o.iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(o.iosb.Information, static_cast<ULONG_PTR>(FILE_OPENED));
        EXPECT_EQ(fs_name(o.handle), u"RAW");  // a blank image: no file system
        // It is the volume: a sector read works.
        iotest::Sectors s(512);
        auto r = iotest::nt_read(o.handle, s.data, 512, 0);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(NtClose(o.handle), STATUS_SUCCESS);
    }
}

TEST_F(IoNames, RootAndFilesGoThroughTheDriver) {
    auto root = nt_open(u"\\??\\A:\\", GENERIC_READ | SYNCHRONIZE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(root.status, STATUS_SUCCESS);
    EXPECT_EQ(fs_name(root.handle), u"HOSTFS");
    char byte;
    auto r = iotest::nt_read(root.handle, &byte, 1, 0);
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);  // a directory has no data
    NtClose(root.handle);

    auto file = nt_open(u"\\DosDevices\\a:\\Report.txt", GENERIC_WRITE | SYNCHRONIZE, FILE_CREATE,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    EXPECT_EQ(file.iosb.Information, static_cast<ULONG_PTR>(FILE_CREATED));
    auto w = iotest::nt_write(file.handle, "hello", 5, 0);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.bytes, 5u);
    NtClose(file.handle);
    EXPECT_EQ(iotest::read_file(m.root + "/logs/Report.txt"), "hello");
}

TEST_F(IoNames, MalformedNamesAreRefusedBeforeAnythingIsTouched) {
    struct Case {
        const char16_t *name;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"C:\\file", STATUS_OBJECT_PATH_SYNTAX_BAD},                // relative: no root handle
        {u"\\Device\\HarddiskVolume1", STATUS_OBJECT_NAME_INVALID},  // not a name of this machine
        {u"\\Registry\\Machine\\SYSTEM", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\C", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\CC:", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\1:", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\C:file", STATUS_OBJECT_NAME_INVALID},
        {u"\\DosDevicesC:", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\A:\\a\\\\b", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\A:\\..\\escape", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\A:\\.\\x", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\A:\\a/../b", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\A:\\wild*.txt", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\A:\\file:stream", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\A:\\tab\there", STATUS_OBJECT_NAME_INVALID},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(ntp::to_utf8(c.name));
        auto o = nt_open(c.name, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_OPEN_IF);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.handle, nullptr);
    }
    // Nothing was created in the folder by any of them.
    EXPECT_TRUE(std::filesystem::is_empty(m.root + "/logs"));
}

TEST_F(IoNames, OddByteLengthAndMissingArgumentsAreRefused) {
    iotest::NtName n(u"\\??\\C:");
    n.us.Length = 5;  // half a character
    HANDLE h = nullptr;
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(NtCreateFile(&h, GENERIC_READ, &n.oa, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0),
              STATUS_OBJECT_NAME_INVALID);
    iotest::NtName ok(u"\\??\\C:");
    EXPECT_EQ(NtCreateFile(&h, GENERIC_READ, &ok.oa, nullptr, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtCreateFile(&h, GENERIC_READ, &ok.oa, &iosb, nullptr, 0, 0, 9, 0, nullptr, 0),
              STATUS_INVALID_PARAMETER);  // no such disposition
    ok.oa.RootDirectory = reinterpret_cast<HANDLE>(4);
    EXPECT_EQ(NtCreateFile(&h, GENERIC_READ, &ok.oa, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0),
              STATUS_NOT_SUPPORTED);
}

TEST_F(IoNames, UnknownDriveLetterIsNotFound) {
    auto o = nt_open(u"\\??\\Q:");
    EXPECT_EQ(o.status, STATUS_OBJECT_NAME_NOT_FOUND);
    o = nt_open(u"\\??\\q:\\file.txt", GENERIC_READ | SYNCHRONIZE, FILE_OPEN_IF);
    EXPECT_EQ(o.status, STATUS_OBJECT_NAME_NOT_FOUND);
    iotest::NtName n(u"\\??\\Q:\\x");
    EXPECT_EQ(NtDeleteFile(&n.oa), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoNames, MissingImageIsReportedNotCreated) {
    m.drives("C: image missing.img\n");
    auto o = nt_open(u"\\??\\C:");
    EXPECT_EQ(o.status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(m.root + "/missing.img"));
}

TEST(IoNamesNoMachine, WithoutNtMachineTheMachinesStatusIsReturned) {
    iotest::ScopedEnv unset("NT_MACHINE", nullptr);
    std::string root;
    NTSTATUS expected = ntp::machine_root(&root);
    ASSERT_FALSE(NT_SUCCESS(expected));
    auto o = nt_open(u"\\??\\C:");
    EXPECT_EQ(o.status, expected);
    EXPECT_EQ(o.handle, nullptr);
    // A malformed name is still a malformed name.
    EXPECT_EQ(nt_open(u"\\??\\C:bad").status, STATUS_OBJECT_NAME_INVALID);
}

}  // namespace
