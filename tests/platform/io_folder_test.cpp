// Folder drives: a host folder acting as a volume (the log drive). Windows
// dispositions and their results, case-insensitive names, and every way of
// leaving the folder refused.
#include <sys/stat.h>

#include "internal.h"
#include "io_machine.h"

namespace {

using iotest::nt_open;
using iotest::nt_read;
using iotest::nt_write;
using iotest::read_file;
using iotest::TempMachine;
using iotest::write_file;

constexpr ACCESS_MASK kRW = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
constexpr ULONG kSync = FILE_SYNCHRONOUS_IO_NONALERT;

class IoFolder : public ::testing::Test {
protected:
    void SetUp() override {
        logs = m.folder("logs");
        outside = m.folder("outside");  // next to the drive's folder, not in it
        m.drives("A: folder logs\n");
    }
    TempMachine m;
    std::string logs, outside;
};

TEST_F(IoFolder, DispositionsGiveWindowsResults) {
    struct Case {
        const char *what;
        bool exists;
        ULONG disposition;
        NTSTATUS status;
        ULONG information;
        const char *content;  // after the open; nullptr: no file
    };
    const Case cases[] = {
        {"open existing", true, FILE_OPEN, STATUS_SUCCESS, FILE_OPENED, "old"},
        {"open missing", false, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
        {"create new", false, FILE_CREATE, STATUS_SUCCESS, FILE_CREATED, ""},
        {"create existing", true, FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0, "old"},
        {"open-if existing", true, FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED, "old"},
        {"open-if missing", false, FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED, ""},
        {"overwrite existing", true, FILE_OVERWRITE, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {"overwrite missing", false, FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
        {"overwrite-if existing", true, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {"overwrite-if missing", false, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_CREATED, ""},
        {"supersede existing", true, FILE_SUPERSEDE, STATUS_SUCCESS, FILE_SUPERSEDED, ""},
        {"supersede missing", false, FILE_SUPERSEDE, STATUS_SUCCESS, FILE_CREATED, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(logs + "/f.txt");
        if (c.exists) write_file(logs + "/f.txt", "old");
        auto o = nt_open(u"\\??\\A:\\f.txt", kRW, c.disposition, kSync);
        EXPECT_EQ(o.status, c.status);
        if (NT_SUCCESS(o.status)) {
            EXPECT_EQ(o.iosb.Information, static_cast<ULONG_PTR>(c.information));
            EXPECT_EQ(NtClose(o.handle), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(o.handle, nullptr);
        }
        if (c.content)
            EXPECT_EQ(read_file(logs + "/f.txt"), c.content);
        else
            EXPECT_FALSE(std::filesystem::exists(logs + "/f.txt"));
    }
}

TEST_F(IoFolder, NamesMatchIgnoringCaseAndNewNamesKeepTheirCase) {
    std::filesystem::create_directories(logs + "/Runs");
    write_file(logs + "/Runs/Summary.LOG", "first run\n");

    auto o = nt_open(u"\\??\\A:\\RUNS\\summary.log", kRW, FILE_OPEN, kSync);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    char buf[64] = {};
    auto r = nt_read(o.handle, buf, sizeof buf, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(buf, r.bytes), "first run\n");
    NtClose(o.handle);

    o = nt_open(u"\\??\\A:\\runs\\Second.Log", kRW, FILE_CREATE, kSync);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    NtClose(o.handle);
    EXPECT_TRUE(std::filesystem::exists(logs + "/Runs/Second.Log"));  // in the existing folder, as given
    EXPECT_FALSE(std::filesystem::exists(logs + "/runs"));

    // Another case of an existing name is that name: no second file.
    EXPECT_EQ(nt_open(u"\\??\\A:\\RUNS\\SECOND.LOG", kRW, FILE_CREATE, kSync).status, STATUS_OBJECT_NAME_COLLISION);
    iotest::NtName del(u"\\??\\A:\\runs\\SUMMARY.log");
    EXPECT_EQ(NtDeleteFile(&del.oa), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(logs + "/Runs/Summary.LOG"));
}

TEST_F(IoFolder, NamesLeadingOutOfTheFolderAreRefused) {
    write_file(outside + "/secret.txt", "keep");
    std::filesystem::create_directory_symlink(outside, logs + "/out");               // a folder outside
    std::filesystem::create_symlink(outside + "/secret.txt", logs + "/secret.lnk");  // a file outside
    std::filesystem::create_symlink(outside + "/new.txt", logs + "/dangling.txt");   // not there yet
    // Every target stays inside the test's own machine folder, so that even a
    // broken driver cannot reach the host's files.
    std::filesystem::create_directory_symlink(m.root, logs + "/up");

    struct Case {
        const char16_t *name;
        ULONG disposition;
    };
    const Case cases[] = {
        {u"\\??\\A:\\out\\secret.txt", FILE_OPEN},         {u"\\??\\A:\\OUT\\made.txt", FILE_CREATE},
        {u"\\??\\A:\\secret.lnk", FILE_OVERWRITE},         {u"\\??\\A:\\dangling.txt", FILE_OVERWRITE_IF},
        {u"\\??\\A:\\up\\outside\\secret.txt", FILE_OPEN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(ntp::to_utf8(c.name));
        auto o = nt_open(c.name, kRW, c.disposition, kSync);
        EXPECT_EQ(o.status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(o.handle, nullptr);
        iotest::NtName n(c.name);
        EXPECT_EQ(NtDeleteFile(&n.oa), STATUS_ACCESS_DENIED);
    }
    // ".." never reaches the driver as a component.
    EXPECT_EQ(nt_open(u"\\??\\A:\\..\\outside\\secret.txt", kRW, FILE_OPEN, kSync).status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(read_file(outside + "/secret.txt"), "keep");
    EXPECT_FALSE(std::filesystem::exists(outside + "/made.txt"));
    EXPECT_FALSE(std::filesystem::exists(outside + "/new.txt"));

    // A link that stays inside the folder is an ordinary name.
    std::filesystem::create_directories(logs + "/real");
    write_file(logs + "/real/x.txt", "inside");
    std::filesystem::create_directory_symlink(logs + "/real", logs + "/alias");
    auto o = nt_open(u"\\??\\A:\\alias\\x.txt", kRW, FILE_OPEN, kSync);
    EXPECT_EQ(o.status, STATUS_SUCCESS);
    NtClose(o.handle);
}

TEST_F(IoFolder, ReadWriteAppendAndTheFilePointer) {
    auto o = nt_open(u"\\??\\A:\\run.log", kRW, FILE_OVERWRITE_IF, kSync);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb;
    // Synchronous handle, no offset: at the file pointer, which advances.
    EXPECT_EQ(NtWriteFile(o.handle, nullptr, nullptr, nullptr, &iosb, const_cast<char *>("one "), 4, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(NtWriteFile(o.handle, nullptr, nullptr, nullptr, &iosb, const_cast<char *>("two "), 4, nullptr, nullptr),
              STATUS_SUCCESS);
    // -1/-1: at the end, wherever the pointer is.
    EXPECT_EQ(nt_write(o.handle, "X", 1, 0).status, STATUS_SUCCESS);  // overwrites the first byte
    LARGE_INTEGER end;
    end.HighPart = -1;
    end.LowPart = FILE_WRITE_TO_END_OF_FILE;
    EXPECT_EQ(NtWriteFile(o.handle, nullptr, nullptr, nullptr, &iosb, const_cast<char *>("end"), 3, &end, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(NtFlushBuffersFile(o.handle, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(read_file(logs + "/run.log"), "Xne two end");

    char buf[32];
    auto r = nt_read(o.handle, buf, sizeof buf, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(buf, r.bytes), "two end");
    EXPECT_EQ(nt_read(o.handle, buf, sizeof buf, 11).status, STATUS_END_OF_FILE);
    EXPECT_EQ(nt_read(o.handle, buf, sizeof buf, 1000).status, STATUS_END_OF_FILE);
    NtClose(o.handle);

    // An asynchronous handle completes through the status block, and needs
    // an offset.
    auto a = nt_open(u"\\??\\A:\\run.log", kRW, FILE_OPEN, 0);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    auto w = nt_write(a.handle, "!", 1, 0);
    EXPECT_EQ(w.returned, STATUS_PENDING);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(NtReadFile(a.handle, nullptr, nullptr, nullptr, &iosb, buf, 4, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    NtClose(a.handle);
    EXPECT_EQ(read_file(logs + "/run.log"), "!ne two end");

    // Access is what the handle was opened for.
    auto ro = nt_open(u"\\??\\A:\\run.log", GENERIC_READ | SYNCHRONIZE, FILE_OPEN, kSync);
    ASSERT_EQ(ro.status, STATUS_SUCCESS);
    EXPECT_EQ(nt_write(ro.handle, "?", 1, 0).status, STATUS_ACCESS_DENIED);
    NtClose(ro.handle);
    EXPECT_EQ(read_file(logs + "/run.log"), "!ne two end");
}

TEST_F(IoFolder, DeletingFilesDirectoriesAndOnClose) {
    std::filesystem::create_directories(logs + "/d/sub");
    write_file(logs + "/d/sub/f", "x");
    iotest::NtName dir(u"\\??\\A:\\d");
    EXPECT_EQ(NtDeleteFile(&dir.oa), STATUS_DIRECTORY_NOT_EMPTY);
    iotest::NtName file(u"\\??\\A:\\D\\Sub\\F");
    EXPECT_EQ(NtDeleteFile(&file.oa), STATUS_SUCCESS);
    EXPECT_EQ(NtDeleteFile(&file.oa), STATUS_OBJECT_NAME_NOT_FOUND);
    iotest::NtName missing_dir(u"\\??\\A:\\nope\\f");
    EXPECT_EQ(NtDeleteFile(&missing_dir.oa), STATUS_OBJECT_PATH_NOT_FOUND);
    iotest::NtName root(u"\\??\\A:\\");
    EXPECT_EQ(NtDeleteFile(&root.oa), STATUS_CANNOT_DELETE);
    iotest::NtName volume(u"\\??\\A:");
    EXPECT_EQ(NtDeleteFile(&volume.oa), STATUS_CANNOT_DELETE);

    auto o = nt_open(u"\\??\\A:\\temp.dat", kRW | DELETE, FILE_CREATE, kSync | FILE_DELETE_ON_CLOSE);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    EXPECT_EQ(nt_write(o.handle, "tmp", 3, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(logs + "/temp.dat"));
    EXPECT_EQ(NtClose(o.handle), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(logs + "/temp.dat"));
}

TEST_F(IoFolder, DirectoriesAreCreatedAndToldApart) {
    auto d = nt_open(u"\\??\\A:\\newdir", kRW, FILE_CREATE, kSync | FILE_DIRECTORY_FILE);
    ASSERT_EQ(d.status, STATUS_SUCCESS);
    EXPECT_EQ(d.iosb.Information, static_cast<ULONG_PTR>(FILE_CREATED));
    NtClose(d.handle);
    EXPECT_TRUE(std::filesystem::is_directory(logs + "/newdir"));
    EXPECT_EQ(nt_open(u"\\??\\A:\\newdir", kRW, FILE_OPEN, kSync | FILE_NON_DIRECTORY_FILE).status,
              STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(nt_open(u"\\??\\A:\\newdir", kRW, FILE_OVERWRITE_IF, kSync).status, STATUS_FILE_IS_A_DIRECTORY);
    write_file(logs + "/plain", "p");
    EXPECT_EQ(nt_open(u"\\??\\A:\\plain", kRW, FILE_OPEN, kSync | FILE_DIRECTORY_FILE).status, STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(nt_open(u"\\??\\A:\\plain\\", kRW, FILE_OPEN, kSync).status, STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(nt_open(u"\\??\\A:\\nodir\\f", kRW, FILE_CREATE, kSync).status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(nt_open(u"\\??\\A:\\plain\\f", kRW, FILE_CREATE, kSync).status, STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(IoFolder, TheVolumeIsHostfsAndHasNoSectors) {
    auto v = nt_open(u"\\??\\A:", GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_OPEN, kSync);
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    alignas(8) unsigned char buf[272];
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(NtQueryVolumeInformationFile(v.handle, &iosb, buf, sizeof buf, FileFsAttributeInformation),
              STATUS_SUCCESS);
    auto *attr = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buf);
    EXPECT_EQ(std::u16string(attr->FileSystemName, attr->FileSystemNameLength / 2), u"HOSTFS");

    iotest::Sectors s(512);
    EXPECT_EQ(nt_read(v.handle, s.data, 512, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(nt_write(v.handle, s.data, 512, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    NTSTATUS st =
        NtFsControlFile(v.handle, nullptr, nullptr, nullptr, &iosb, FSCTL_GET_VOLUME_BITMAP, buf, 8, buf, sizeof buf);
    EXPECT_EQ(st == STATUS_PENDING ? iosb.Status : st, STATUS_INVALID_DEVICE_REQUEST);
    NtClose(v.handle);

    // A file handle answers for its volume too.
    auto f = nt_open(u"\\??\\A:\\x", kRW, FILE_CREATE, kSync);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(NtQueryVolumeInformationFile(f.handle, &iosb, buf, sizeof buf, FileFsSizeInformation), STATUS_SUCCESS);
    auto *size = reinterpret_cast<FILE_FS_SIZE_INFORMATION *>(buf);
    EXPECT_GT(size->TotalAllocationUnits.QuadPart, 0);
    EXPECT_GT(size->BytesPerSector * size->SectorsPerAllocationUnit, 0u);
    NtClose(f.handle);
}

TEST_F(IoFolder, MissingFolderIsReported) {
    m.drives("A: folder not-there\n");
    EXPECT_EQ(nt_open(u"\\??\\A:\\f", kRW, FILE_OPEN_IF, kSync).status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(m.root + "/not-there"));
}

}  // namespace
