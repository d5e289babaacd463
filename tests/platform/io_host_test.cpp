// What Volume::open checks on the host (mounts, loop devices, the lock of
// another process, an image nobody may write), the errno table, and a run
// stopped by NT_FAIL_WRITE_AT or torn by NT_TORN_WRITE_AT the way a power
// cut would stop it.
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>

#include "fs/ntfs/ntfs_files.h"
#include "internal.h"
#include "io_machine.h"

#ifndef IO_RAW_WRITER
#error "IO_RAW_WRITER must name the io_raw_writer test program"
#endif

namespace {

using iotest::read_file;
using iotest::TempMachine;
using iotest::write_file;

// ------------------------------------------------------------ mounts

// Device numbers of made-up device nodes.
uint64_t fake_device(const std::string &source) {
    static const std::map<std::string, uint64_t> devices = {
        {"/dev/sda1", makedev(8, 1)},  {"/dev/sdb", makedev(8, 16)},      {"/dev/sdb1", makedev(8, 17)},
        {"/dev/loop0", makedev(7, 0)}, {"/dev/loop0p1", makedev(259, 0)}, {"/dev/mapper/x", makedev(254, 0)},
    };
    auto it = devices.find(source);
    return it == devices.end() ? 0 : it->second;
}

const char *kMounts = "sysfs /sys sysfs rw,nosuid 0 0\n"
                      "proc /proc proc rw 0 0\n"
                      "tmpfs /run tmpfs rw 0 0\n"
                      "/dev/sda1 / ext4 rw,relatime 0 0\n"
                      "/dev/sdb1 /media/usb\\040stick vfat rw 0 0\n"
                      "/dev/loop0p1 /mnt/part fuseblk rw 0 0\n"
                      "/srv/images/my\\040disk.img /mnt/fuse fuseblk rw 0 0\n";

TEST(IoHostMounts, MatcherFindsTheMountOfAVolume) {
    struct Case {
        const char *what;
        std::string path;
        std::vector<uint64_t> devices;
        std::string mount_point;
    };
    const Case cases[] = {
        {"partition of a disk, escaped blank in the mount point", "/dev/sdb1", {makedev(8, 17)}, "/media/usb stick"},
        {"whole disk whose partition is mounted", "/dev/sdb", {makedev(8, 16), makedev(8, 17)}, "/media/usb stick"},
        {"partition of a loop device backed by the image", "/tmp/a.img", {makedev(7, 0), makedev(259, 0)}, "/mnt/part"},
        {"image mounted directly, escaped blank in the source", "/srv/images/my disk.img", {}, "/mnt/fuse"},
        {"unmounted device", "/dev/sdc", {makedev(8, 32)}, ""},
        {"unmounted image", "/tmp/other.img", {}, ""},
        {"device number of a pseudo file system never matches", "/tmp/b.img", {0}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ntp::find_host_mount(kMounts, c.path, c.devices, fake_device), c.mount_point);
    }
}

TEST(IoHostMounts, MatcherResolvesLinksToTheImage) {
    TempMachine m;
    std::string image = m.image("disk.img", 4096);
    std::filesystem::create_symlink(image, m.root + "/alias.img");
    std::string real = std::filesystem::canonical(image).string();
    std::string mounts = "tmpfs /tmp tmpfs rw 0 0\n" + m.root + "/alias.img /mnt/x ntfs rw 0 0";  // no final newline
    EXPECT_EQ(ntp::find_host_mount(mounts, real, {}, fake_device), "/mnt/x");
}

// A made-up /sys/block: loop devices with their backing files, a partition.
class IoHostSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        block = m.folder("sys/block");
        loop(0, "/srv/a.img\n", "7:0\n");
        std::filesystem::create_directories(block + "/loop0/loop0p1");
        write_file(block + "/loop0/loop0p1/partition", "1\n");
        write_file(block + "/loop0/loop0p1/dev", "259:0\n");
        std::filesystem::create_directories(block + "/loop0/queue");  // not a partition
        write_file(block + "/loop0/queue/dev", "1:1\n");
        loop(1, "/srv/b.img\n", "7:1\n");
        loop(2, "/srv/a.img (deleted)\n", "7:2\n");  // an older file of the same name
        loop(3, "/srv/a.img.bak\n", "7:3\n");
        std::filesystem::create_directories(block + "/sda");
        write_file(block + "/sda/dev", "8:0\n");
        std::filesystem::create_directories(block + "/loop4");  // attached to nothing
        write_file(block + "/loop4/dev", "7:4\n");
    }
    void loop(int n, const std::string &backing, const std::string &dev) {
        std::string dir = block + "/loop" + std::to_string(n);
        std::filesystem::create_directories(dir + "/loop");
        write_file(dir + "/loop/backing_file", backing);
        write_file(dir + "/dev", dev);
    }
    TempMachine m;
    std::string block;
};

TEST_F(IoHostSysfs, LoopDevicesBackedByTheImageAndTheirPartitions) {
    std::vector<std::string> loops = ntp::loop_devices_backing(block, "/srv/a.img");
    ASSERT_EQ(loops, std::vector<std::string>{block + "/loop0"});
    std::vector<uint64_t> devices = ntp::sysfs_device_numbers(loops[0]);
    std::sort(devices.begin(), devices.end());
    EXPECT_EQ(devices, (std::vector<uint64_t>{makedev(7, 0), makedev(259, 0)}));

    EXPECT_TRUE(ntp::loop_devices_backing(block, "/srv/c.img").empty());
    EXPECT_TRUE(ntp::loop_devices_backing(m.root + "/no-sysfs", "/srv/a.img").empty());
    // Together: the image is refused when a partition of its loop device is mounted.
    EXPECT_EQ(ntp::find_host_mount(kMounts, "/srv/a.img", devices, fake_device), "/mnt/part");
}

// ------------------------------------------------------------ errno table

TEST(IoHostErrno, KnownErrorsMapAndUnknownOnesNeverReadAsSuccess) {
    EXPECT_EQ(ntp::status_from_errno(ENOENT), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ntp::status_from_errno(EACCES), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ntp::status_from_errno(ENOSPC), STATUS_DISK_FULL);
    EXPECT_EQ(ntp::status_from_errno(EEXIST), STATUS_OBJECT_NAME_COLLISION);
    // Busy is an error, not the warning STATUS_DEVICE_BUSY that callers
    // testing for errors would take for success.
    EXPECT_TRUE(NT_ERROR(ntp::status_from_errno(EBUSY)));
    EXPECT_EQ(ntp::status_from_errno(0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ntp::status_from_errno(EHOSTUNREACH), STATUS_UNSUCCESSFUL);
    // libntfs-3g's errors go through the same table; its EIO is corrupt metadata.
    EXPECT_TRUE(NT_ERROR(ntp::ntfs::status_from_ntfs_errno(EBUSY)));
    EXPECT_EQ(ntp::ntfs::status_from_ntfs_errno(ENOENT), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ntp::ntfs::status_from_ntfs_errno(EIO), STATUS_DISK_CORRUPT_ERROR);
    EXPECT_EQ(ntp::status_from_errno(EIO), STATUS_IO_DEVICE_ERROR);
}

// -------------------------------------------------- other processes

struct WriterRun {
    int exit_code = -1;
    std::string out, err;
};

// Runs the test program on drive `letter` of the current machine: `count`
// writes of `per` sectors each.
WriterRun run_writer(const TempMachine &m, const char *letter, int count, int per = 1) {
    WriterRun r;
    std::string out = m.root + "/writer.out", err = m.root + "/writer.err";
    std::string command = std::string("'") + IO_RAW_WRITER + "' " + letter + " " + std::to_string(count) + " " +
                          std::to_string(per) + " >'" + out + "' 2>'" + err + "'";
    int status = std::system(command.c_str());
    if (status != -1 && WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

TEST(IoHostLock, ASecondProcessIsRefusedWhileTheVolumeIsOpen) {
    TempMachine m;
    std::string image = m.image("c.img", 64 * 1024);
    m.drives("C: image c.img\n");
    auto v = iotest::nt_open(u"\\??\\C:");
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    WriterRun r = run_writer(m, "C", 1);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.out.find("0xC0000043"), std::string::npos) << r.out;  // sharing violation
    EXPECT_NE(r.err.find("is in use by another run"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(image), std::string(64 * 1024, '\0'));
    NtClose(v.handle);

    // Closed: the other process gets it.
    r = run_writer(m, "C", 1);
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(IoHostReadOnly, AnImageWithoutWritePermissionIsRefusedEvenToRoot) {
    TempMachine m;
    std::string image = m.image("c.img", 64 * 1024);
    m.drives("C: image c.img\n");
    ASSERT_EQ(::chmod(image.c_str(), 0444), 0);
    WriterRun r = run_writer(m, "C", 1);
    EXPECT_EQ(r.exit_code, 2) << r.out;
    EXPECT_NE(r.out.find("0xC0000022"), std::string::npos) << r.out;  // access denied
    EXPECT_NE(r.err.find("c.img is read-only (no write permission)"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(image), std::string(64 * 1024, '\0'));
    // One write permission bit is enough, as it is for the hives.
    ASSERT_EQ(::chmod(image.c_str(), 0604), 0);
    EXPECT_EQ(run_writer(m, "C", 1).exit_code, 0);
}

// ------------------------------------------------------- power cut

class IoHostCrash : public ::testing::Test {
protected:
    void SetUp() override {
        image = m.image("c.img", 16 * 512);
        m.drives("C: image c.img\n");
        log = m.root + "/writes.log";
    }
    // Sectors of the image holding the writer's pattern (sector i: byte i+1).
    int sectors_written() {
        std::string bytes = read_file(image);
        int n = 0;
        for (int i = 0; i < 16; ++i) {
            std::string sector = bytes.substr(static_cast<size_t>(i) * 512, 512);
            if (sector == std::string(512, static_cast<char>(i + 1)))
                ++n;
            else
                EXPECT_EQ(sector, std::string(512, '\0')) << "sector " << i << " is neither written nor blank";
        }
        return n;
    }
    TempMachine m;
    std::string image, log;
};

TEST_F(IoHostCrash, FailAtThirdWriteOfFiveLeavesExactlyTwoOnDiskAndEnds) {
    iotest::ScopedEnv fail("NT_FAIL_WRITE_AT", "3");
    iotest::ScopedEnv wlog("NT_WRITE_LOG", log.c_str());
    WriterRun r = run_writer(m, "C", 5);
    EXPECT_EQ(r.exit_code, 99);
    EXPECT_NE(r.err.find("stopping at raw write 3 (NT_FAIL_WRITE_AT)"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "wrote sector 0\nwrote sector 1\n");  // the program went no further
    EXPECT_EQ(sectors_written(), 2);
    EXPECT_EQ(read_file(log), "C: 0 512\nC: 512 512\n");
}

TEST_F(IoHostCrash, EveryWritePointLeavesThePrefixBeforeIt) {
    // The harness's way: count the writes of a run, then stop at each one.
    {
        iotest::ScopedEnv wlog("NT_WRITE_LOG", log.c_str());
        WriterRun r = run_writer(m, "C", 5);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(read_file(log), "C: 0 512\nC: 512 512\nC: 1024 512\nC: 1536 512\nC: 2048 512\n");
        EXPECT_EQ(sectors_written(), 5);
    }
    for (int at = 1; at <= 5; ++at) {
        SCOPED_TRACE("NT_FAIL_WRITE_AT=" + std::to_string(at));
        ASSERT_EQ(::truncate(image.c_str(), 0), 0);
        ASSERT_EQ(::truncate(image.c_str(), 16 * 512), 0);
        std::string value = std::to_string(at);
        iotest::ScopedEnv fail("NT_FAIL_WRITE_AT", value.c_str());
        iotest::ScopedEnv sync("NT_IO_SYNC", at % 2 ? "1" : nullptr);  // both completion paths
        WriterRun r = run_writer(m, "C", 5);
        EXPECT_EQ(r.exit_code, 99);
        EXPECT_EQ(sectors_written(), at - 1);
    }
    // A point past the last write changes nothing.
    iotest::ScopedEnv fail("NT_FAIL_WRITE_AT", "6");
    EXPECT_EQ(run_writer(m, "C", 5).exit_code, 0);
    EXPECT_EQ(sectors_written(), 5);
}

TEST_F(IoHostCrash, ATornWriteLandsItsFirstSectorsOnlyAndEnds) {
    // Three writes of four sectors, the second torn after K of them (all of
    // it from K = 4 on); it is not logged, and the program goes no further.
    for (int k = 1; k <= 5; ++k) {
        SCOPED_TRACE("NT_TORN_WRITE_AT=2:" + std::to_string(k));
        ASSERT_EQ(::truncate(image.c_str(), 0), 0);
        ASSERT_EQ(::truncate(image.c_str(), 16 * 512), 0);
        std::filesystem::remove(log);
        std::string value = "2:" + std::to_string(k);
        iotest::ScopedEnv torn("NT_TORN_WRITE_AT", value.c_str());
        iotest::ScopedEnv wlog("NT_WRITE_LOG", log.c_str());
        WriterRun r = run_writer(m, "C", 3, 4);
        EXPECT_EQ(r.exit_code, 99);
        EXPECT_NE(r.err.find("tearing raw write 2 after " + std::to_string(std::min(k, 4) * 512) + " of 2048 bytes"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.out, "wrote write 0\n");
        EXPECT_EQ(sectors_written(), 4 + std::min(k, 4));
        EXPECT_EQ(read_file(log), "C: 0 2048\n");
    }
    // A value that names no write and sector count is ignored, with a warning.
    for (const char *bad : {"2", "2:0", "0:1", "-2:1", "2:1x", "2:-1"}) {
        SCOPED_TRACE(bad);
        iotest::ScopedEnv torn("NT_TORN_WRITE_AT", bad);
        WriterRun r = run_writer(m, "C", 3, 4);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_NE(r.err.find("is not WRITE:SECTORS"), std::string::npos) << r.err;
        EXPECT_EQ(sectors_written(), 12);
    }
}

}  // namespace
