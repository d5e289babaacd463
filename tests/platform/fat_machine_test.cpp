// The FAT driver behind the native calls, on a machine folder: the requests
// the FAT boot-time program makes (trigger file, file-system name and sizes,
// the root directory's and a file's retrieval pointers on handles opened
// without access, a log file appended line by line on another drive).
#include "fat_support.h"
#include "io_machine.h"

namespace {

using fattest::Fsck;
using fattest::mshowfat;
using fattest::pattern;
using fattest::put_file;

constexpr ACCESS_MASK kRW = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;

struct Pointers {
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    std::vector<uint32_t> clusters;
    uint32_t extents = 0;
};

// FSCTL_GET_RETRIEVAL_POINTERS from VCN 0, completed through the status block.
Pointers pointers(HANDLE h, ULONG length = 4096) {
    std::vector<uint8_t> out(length, 0xCC);
    STARTING_VCN_INPUT_BUFFER in{};
    IO_STATUS_BLOCK iosb;
    std::memset(&iosb, 0xCC, sizeof iosb);
    NTSTATUS s = NtFsControlFile(h, nullptr, nullptr, nullptr, &iosb, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in,
                                 out.data(), length);
    if (s == STATUS_PENDING) {
        EXPECT_EQ(NtWaitForSingleObject(h, FALSE, nullptr), STATUS_SUCCESS);
        s = iosb.Status;
    }
    Pointers p;
    p.status = s;
    p.information = iosb.Information;
    if (!NT_SUCCESS(s) && s != STATUS_BUFFER_OVERFLOW) return p;
    auto *rp = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER *>(out.data());
    p.extents = rp->ExtentCount;
    int64_t vcn = rp->StartingVcn.QuadPart;
    for (uint32_t i = 0; i < rp->ExtentCount; ++i) {
        for (int64_t k = 0; k < rp->Extents[i].NextVcn.QuadPart - vcn; ++k)
            p.clusters.push_back(static_cast<uint32_t>(rp->Extents[i].Lcn.QuadPart + 2 + k));
        vcn = rp->Extents[i].NextVcn.QuadPart;
    }
    return p;
}

TEST(FatMachine, WhatTheFatProgramAsks) {
    iotest::TempMachine m;
    std::string c = m.root + "/c.img";
    ASSERT_EQ(iotest::run("mkfs.fat -C -F 32 -s 1 " + iotest::quote(c) + " 40000").status, 0);
    std::string l = m.root + "/l.img";
    ASSERT_EQ(iotest::run("mkfs.fat -C -F 16 " + iotest::quote(l) + " 20000").status, 0);
    m.drives("C: image c.img\nL: image l.img\n");
    fattest::TempDir scratch;
    put_file(scratch, c, "/Defragme.dat", {});
    // The trigger file: opened, closed, deleted.
    auto trigger = iotest::nt_open(u"\\DosDevices\\c:\\Defragme.dat", GENERIC_READ | SYNCHRONIZE, FILE_OPEN,
                                   FILE_NO_INTERMEDIATE_BUFFERING | FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(trigger.status, STATUS_SUCCESS);
    NtClose(trigger.handle);
    iotest::NtName trigger_name(u"\\DosDevices\\C:\\Defragme.dat");
    EXPECT_EQ(NtDeleteFile(&trigger_name.oa), STATUS_SUCCESS);
    EXPECT_EQ(fattest::mdir_names(c, "/").count("Defragme.dat"), 0u);

    // The volume: its file system and sizes.
    auto v = iotest::nt_open(u"\\DosDevices\\C:", GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_OPEN,
                             FILE_NO_INTERMEDIATE_BUFFERING | FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    alignas(8) uint8_t buf[272];
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(NtQueryVolumeInformationFile(v.handle, &iosb, buf, sizeof buf, FileFsAttributeInformation),
              STATUS_SUCCESS);
    auto *attr = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buf);
    EXPECT_EQ(std::u16string(attr->FileSystemName, attr->FileSystemNameLength / 2), u"FAT32");
    FILE_FS_SIZE_INFORMATION size{};
    ASSERT_EQ(NtQueryVolumeInformationFile(v.handle, &iosb, &size, sizeof size, FileFsSizeInformation), STATUS_SUCCESS);
    Fsck f = fattest::fsck(c);
    EXPECT_EQ(static_cast<uint64_t>(size.TotalAllocationUnits.QuadPart), f.total);
    EXPECT_EQ(static_cast<uint64_t>(size.AvailableAllocationUnits.QuadPart), f.free());
    NtClose(v.handle);

    // A fragmented file: two files appended to in turn, a cluster at a time.
    {
        auto a =
            iotest::nt_open(u"\\DosDevices\\C:\\Fragmented File.bin", kRW, FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT);
        auto b = iotest::nt_open(u"\\DosDevices\\C:\\other.bin", kRW, FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT);
        ASSERT_EQ(a.status, STATUS_SUCCESS);
        ASSERT_EQ(b.status, STATUS_SUCCESS);
        std::vector<uint8_t> block = pattern(512, 4);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(iotest::nt_write(a.handle, block.data(), 512, i * 512).status, STATUS_SUCCESS);
            EXPECT_EQ(iotest::nt_write(b.handle, block.data(), 512, i * 512).status, STATUS_SUCCESS);
        }
        NtClose(a.handle);
        NtClose(b.handle);
    }
    std::vector<uint32_t> frag = mshowfat(c, "/Fragmented File.bin");
    ASSERT_EQ(frag.size(), 3u);

    // The root directory and a file, opened with no access (backup intent
    // for the directory), give their clusters.
    auto root = iotest::nt_open(u"\\DosDevices\\C:\\", 0, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT);
    ASSERT_EQ(root.status, STATUS_SUCCESS);
    Pointers rp = pointers(root.handle);
    EXPECT_EQ(rp.status, STATUS_SUCCESS);
    EXPECT_EQ(rp.clusters, mshowfat(c, "/"));
    NtClose(root.handle);

    auto file = iotest::nt_open(u"\\DosDevices\\C:\\FRAGMENTED FILE.BIN", 0, FILE_OPEN, 0);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    Pointers fp = pointers(file.handle);
    EXPECT_EQ(fp.status, STATUS_SUCCESS);
    EXPECT_EQ(fp.extents, 3u);
    EXPECT_EQ(fp.clusters, frag);
    Pointers one = pointers(file.handle, 32);  // room for one extent
    EXPECT_EQ(one.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(one.information, 32u);
    EXPECT_EQ(one.extents, 1u);
    EXPECT_EQ(pointers(file.handle, 31).status, STATUS_BUFFER_TOO_SMALL);
    NtClose(file.handle);

    auto empty = iotest::nt_open(u"\\DosDevices\\C:\\empty", kRW, FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(pointers(empty.handle).status, STATUS_END_OF_FILE);
    NtClose(empty.handle);

    // The log on another drive: created over an old one, appended to.
    put_file(scratch, l, "/BOOTFAT.LOG", pattern(5000, 9));
    auto log = iotest::nt_open(u"\\DosDevices\\L:\\BootFat.log", kRW, FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(log.status, STATUS_SUCCESS);
    EXPECT_EQ(log.iosb.Information, static_cast<ULONG_PTR>(FILE_OVERWRITTEN));
    std::string expect;
    for (int i = 0; i < 200; ++i) {
        std::string line = "line " + std::to_string(i) + " of the run\r\n";
        IO_STATUS_BLOCK wb;
        LARGE_INTEGER end;
        end.HighPart = -1;
        end.LowPart = FILE_WRITE_TO_END_OF_FILE;
        ASSERT_EQ(NtWriteFile(log.handle, nullptr, nullptr, nullptr, &wb, line.data(), static_cast<ULONG>(line.size()),
                              &end, nullptr),
                  STATUS_SUCCESS);
        expect += line;
    }
    NtClose(log.handle);
    auto typed = iotest::run("MTOOLS_SKIP_CHECK=1 mtype -i " + iotest::quote(l) + " ::/BOOTFAT.LOG");
    EXPECT_EQ(typed.output, expect);

    // Delete on close.
    auto temp = iotest::nt_open(u"\\DosDevices\\L:\\scratch.tmp", kRW, FILE_CREATE,
                                FILE_DELETE_ON_CLOSE | FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(temp.status, STATUS_SUCCESS);
    EXPECT_EQ(iotest::nt_write(temp.handle, "x", 1, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(fattest::mdir_names(l, "/").count("scratch.tmp"), 1u);
    NtClose(temp.handle);
    EXPECT_EQ(fattest::mdir_names(l, "/").count("scratch.tmp"), 0u);

    EXPECT_FSCK_CLEAN(c);
    EXPECT_FSCK_CLEAN(l);
    EXPECT_TRUE(fattest::fats_equal(c));
    EXPECT_TRUE(fattest::fats_equal(l));
}

}  // namespace
