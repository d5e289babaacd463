// Raw volume I/O through a volume handle: alignment and bounds, the two ways
// an operation completes, the write log, and the RAW volume's answers.
#include <sys/stat.h>

#include "internal.h"
#include "io_machine.h"

namespace {

using iotest::nt_open;
using iotest::nt_read;
using iotest::nt_write;
using iotest::Sectors;
using iotest::TempMachine;

constexpr off_t kImage = 64 * 1024;

class IoRaw : public ::testing::Test {
protected:
    void SetUp() override {
        image = m.image("c.img", kImage);
        m.drives("C: image c.img\n");
    }
    // Bytes of the image file itself, read behind the platform's back.
    std::string on_disk(off_t offset, size_t length) {
        return iotest::read_file(image).substr(static_cast<size_t>(offset), length);
    }
    TempMachine m;
    std::string image;
};

TEST_F(IoRaw, AsynchronousHandleCompletesThroughTheStatusBlock) {
    auto v = nt_open(u"\\??\\C:");  // no synchronous option: asynchronous
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    Sectors s(1024);
    std::memset(s.data, 0xA5, 1024);
    auto w = nt_write(v.handle, s.data, 1024, 4096);
    EXPECT_EQ(w.returned, STATUS_PENDING);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.bytes, 1024u);
    EXPECT_EQ(on_disk(4096, 1024), std::string(1024, '\xA5'));

    std::memset(s.data, 0, 1024);
    auto r = nt_read(v.handle, s.data, 1024, 4096);
    EXPECT_EQ(r.returned, STATUS_PENDING);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 1024u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(s.data), 1024), std::string(1024, '\xA5'));

    // A failure found while doing the work also arrives through the block.
    r = nt_read(v.handle, s.data, 512, kImage);
    EXPECT_EQ(r.returned, STATUS_PENDING);
    EXPECT_EQ(r.status, STATUS_END_OF_FILE);
    NtClose(v.handle);
}

TEST_F(IoRaw, SynchronousHandleAndNtIoSyncReturnTheFinalStatus) {
    Sectors s(512);
    std::memset(s.data, 0x11, 512);
    {
        auto v =
            nt_open(u"\\??\\C:", GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
        ASSERT_EQ(v.status, STATUS_SUCCESS);
        auto w = nt_write(v.handle, s.data, 512, 0);
        EXPECT_EQ(w.returned, STATUS_SUCCESS);
        auto r = nt_read(v.handle, s.data, 512, kImage);
        EXPECT_EQ(r.returned, STATUS_END_OF_FILE);
        NtClose(v.handle);
    }
    {
        iotest::ScopedEnv sync("NT_IO_SYNC", "1");
        auto v = nt_open(u"\\??\\C:");  // asynchronous, but forced to complete at once
        ASSERT_EQ(v.status, STATUS_SUCCESS);
        auto w = nt_write(v.handle, s.data, 512, 512);
        EXPECT_EQ(w.returned, STATUS_SUCCESS);
        EXPECT_EQ(w.bytes, 512u);
        NtClose(v.handle);
    }
    EXPECT_EQ(on_disk(0, 1024), std::string(1024, '\x11'));
}

TEST_F(IoRaw, UnalignedTransfersAreRefusedAndWriteNothing) {
    auto v = nt_open(u"\\??\\C:");
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    Sectors s(2048);
    std::memset(s.data, 0xEE, 2048);
    const uint64_t before = ntp::raw_write_count();
    struct Case {
        const char *what;
        unsigned char *buffer;
        ULONG length;
        LONGLONG offset;
    };
    const Case cases[] = {
        {"offset inside a sector", s.data, 512, 100},
        {"length not whole sectors", s.data, 700, 0},
        {"buffer not sector aligned", s.data + 8, 512, 0},
        {"negative offset", s.data, 512, -512},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto w = nt_write(v.handle, c.buffer, c.length, c.offset);
        EXPECT_EQ(w.status, STATUS_INVALID_PARAMETER);
        auto r = nt_read(v.handle, c.buffer, c.length, c.offset);
        EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(ntp::raw_write_count(), before);
    EXPECT_EQ(on_disk(0, 4096), std::string(4096, '\0'));
    NtClose(v.handle);
}

TEST_F(IoRaw, TransfersAtOrAcrossTheEndFailAndNeverGrowTheImage) {
    auto v = nt_open(u"\\??\\C:");
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    Sectors s(1024);
    EXPECT_EQ(nt_read(v.handle, s.data, 512, kImage).status, STATUS_END_OF_FILE);
    EXPECT_EQ(nt_read(v.handle, s.data, 512, kImage + 4096).status, STATUS_END_OF_FILE);
    EXPECT_EQ(nt_read(v.handle, s.data, 1024, kImage - 512).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(nt_write(v.handle, s.data, 512, kImage).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(nt_write(v.handle, s.data, 1024, kImage - 512).status, STATUS_INVALID_PARAMETER);
    // The last sector itself is fine.
    std::memset(s.data, 0x7F, 512);
    EXPECT_EQ(nt_write(v.handle, s.data, 512, kImage - 512).status, STATUS_SUCCESS);
    NtClose(v.handle);
    struct stat st;
    ASSERT_EQ(::stat(image.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kImage);
    EXPECT_EQ(on_disk(kImage - 512, 512), std::string(512, '\x7F'));
}

TEST_F(IoRaw, ATruncatedImageGivesAnErrorNotGarbage) {
    auto v = nt_open(u"\\??\\C:");
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    ASSERT_EQ(::truncate(image.c_str(), kImage / 2), 0);
    Sectors s(512);
    std::memset(s.data, 0x33, 512);
    auto r = nt_read(v.handle, s.data, 512, kImage - 512);
    EXPECT_EQ(r.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(r.bytes, 0u);
    auto w = nt_write(v.handle, s.data, 512, kImage - 512);
    EXPECT_EQ(w.status, STATUS_DEVICE_DATA_ERROR);
    NtClose(v.handle);
    struct stat st;
    ASSERT_EQ(::stat(image.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kImage / 2);  // not grown back by the write
}

TEST_F(IoRaw, WriteLogHasOneLinePerCompletedRawWrite) {
    std::string log = m.root + "/writes.log";
    iotest::write_file(log, "earlier line\n");  // appended to, never truncated
    iotest::ScopedEnv env("NT_WRITE_LOG", log.c_str());
    auto v = nt_open(u"\\??\\C:");
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    Sectors s(4096);
    const uint64_t before = ntp::raw_write_count();
    EXPECT_EQ(nt_write(v.handle, s.data, 512, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(nt_write(v.handle, s.data, 4096, 8192).status, STATUS_SUCCESS);
    EXPECT_EQ(nt_read(v.handle, s.data, 4096, 0).status, STATUS_SUCCESS);                 // reads: no line
    EXPECT_EQ(nt_write(v.handle, s.data, 512, kImage).status, STATUS_INVALID_PARAMETER);  // refused: no line
    EXPECT_EQ(nt_write(v.handle, s.data, 512, 61440).status, STATUS_SUCCESS);
    NtClose(v.handle);
    EXPECT_EQ(ntp::raw_write_count() - before, 3u);
    EXPECT_EQ(iotest::read_file(log), "earlier line\nC: 0 512\nC: 8192 4096\nC: 61440 512\n");
}

TEST_F(IoRaw, VolumeAtAnOffsetAddressesItsOwnSectors) {
    std::string log = m.root + "/writes.log";
    iotest::ScopedEnv env("NT_WRITE_LOG", log.c_str());
    m.drives("E: image c.img@8192\n");
    auto v = nt_open(u"\\??\\E:");
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    Sectors s(512);
    std::memset(s.data, 0x5E, 512);
    EXPECT_EQ(nt_write(v.handle, s.data, 512, 0).status, STATUS_SUCCESS);
    // The volume ends where the image ends.
    EXPECT_EQ(nt_read(v.handle, s.data, 512, kImage - 8192).status, STATUS_END_OF_FILE);
    NtClose(v.handle);
    EXPECT_EQ(on_disk(8192, 512), std::string(512, '\x5E'));
    EXPECT_EQ(on_disk(0, 8192), std::string(8192, '\0'));
    EXPECT_EQ(iotest::read_file(log), "E: 0 512\n");  // offsets are the volume's, not the image's

    m.drives("E: image c.img@65536\n");  // at the very end: no volume left
    EXPECT_EQ(nt_open(u"\\??\\E:").status, STATUS_INVALID_PARAMETER);
}

TEST_F(IoRaw, PartitionsOfOneImageOpenTogetherButMayNotOverlap) {
    m.drives("C: image c.img@0\nD: image c.img@32768\nE: image c.img@16384\n");
    auto c = nt_open(u"\\??\\C:");
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    // D: starts after C:'s start but C: runs to the end of the image: overlap.
    EXPECT_EQ(nt_open(u"\\??\\D:").status, STATUS_SHARING_VIOLATION);
    NtClose(c.handle);
    auto d = nt_open(u"\\??\\D:");
    ASSERT_EQ(d.status, STATUS_SUCCESS);
    EXPECT_EQ(nt_open(u"\\??\\E:").status, STATUS_SHARING_VIOLATION);  // E: covers D:
    NtClose(d.handle);
}

TEST_F(IoRaw, AccessAndArgumentsAreChecked) {
    auto ro = nt_open(u"\\??\\C:", GENERIC_READ | SYNCHRONIZE);
    ASSERT_EQ(ro.status, STATUS_SUCCESS);
    Sectors s(512);
    EXPECT_EQ(nt_write(ro.handle, s.data, 512, 0).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(nt_read(ro.handle, s.data, 512, 0).status, STATUS_SUCCESS);

    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER at;
    at.QuadPart = 0;
    // Events and APC routines are not emulated.
    EXPECT_EQ(NtReadFile(ro.handle, reinterpret_cast<HANDLE>(8), nullptr, nullptr, &iosb, s.data, 512, &at, nullptr),
              STATUS_NOT_SUPPORTED);
    // An asynchronous handle has no file pointer to fall back on.
    EXPECT_EQ(NtReadFile(ro.handle, nullptr, nullptr, nullptr, &iosb, s.data, 512, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtReadFile(reinterpret_cast<HANDLE>(0x7FFC), nullptr, nullptr, nullptr, &iosb, s.data, 512, &at, nullptr),
              STATUS_INVALID_HANDLE);
    NtClose(ro.handle);
    // Nor does a volume have an end to append to.
    auto rw = nt_open(u"\\??\\C:");
    at.HighPart = -1;
    at.LowPart = FILE_WRITE_TO_END_OF_FILE;
    EXPECT_EQ(NtWriteFile(rw.handle, nullptr, nullptr, nullptr, &iosb, s.data, 512, &at, nullptr),
              STATUS_INVALID_PARAMETER);
    NtClose(rw.handle);
}

TEST_F(IoRaw, SynchronousHandleWithoutOffsetFollowsTheFilePointer) {
    auto v = nt_open(u"\\??\\C:", GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_OPEN, FILE_SYNCHRONOUS_IO_ALERT);
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    Sectors s(512);
    IO_STATUS_BLOCK iosb;
    for (int i = 1; i <= 3; ++i) {
        std::memset(s.data, i, 512);
        EXPECT_EQ(NtWriteFile(v.handle, nullptr, nullptr, nullptr, &iosb, s.data, 512, nullptr, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, 512u);
    }
    NtClose(v.handle);
    EXPECT_EQ(on_disk(0, 1536), std::string(512, '\1') + std::string(512, '\2') + std::string(512, '\3'));
}

TEST_F(IoRaw, RawVolumeAnswersAsWindowsDoesForAnUnknownFileSystem) {
    auto v = nt_open(u"\\??\\C:", GENERIC_READ | SYNCHRONIZE);
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    alignas(8) unsigned char buf[272];
    IO_STATUS_BLOCK iosb;

    std::memset(buf, 0xCC, sizeof buf);
    ASSERT_EQ(NtQueryVolumeInformationFile(v.handle, &iosb, buf, sizeof buf, FileFsAttributeInformation),
              STATUS_SUCCESS);
    auto *attr = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buf);
    EXPECT_EQ(attr->FileSystemNameLength, 6u);
    EXPECT_EQ(std::u16string(attr->FileSystemName, 3), u"RAW");
    EXPECT_EQ(iosb.Information, 18u);

    // Room for the fixed part and one character: what fits, and an overflow.
    std::memset(buf, 0xCC, sizeof buf);
    EXPECT_EQ(NtQueryVolumeInformationFile(v.handle, &iosb, buf, 16, FileFsAttributeInformation),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(attr->FileSystemNameLength, 4u);
    EXPECT_EQ(std::u16string(attr->FileSystemName, 2), u"RA");
    EXPECT_EQ(iosb.Information, 16u);
    EXPECT_EQ(buf[16], 0xCC);  // nothing beyond the buffer given
    EXPECT_EQ(NtQueryVolumeInformationFile(v.handle, &iosb, buf, 8, FileFsAttributeInformation),
              STATUS_INFO_LENGTH_MISMATCH);

    ASSERT_EQ(
        NtQueryVolumeInformationFile(v.handle, &iosb, buf, sizeof(FILE_FS_SIZE_INFORMATION), FileFsSizeInformation),
        STATUS_SUCCESS);
    auto *size = reinterpret_cast<FILE_FS_SIZE_INFORMATION *>(buf);
    EXPECT_EQ(size->TotalAllocationUnits.QuadPart, kImage / 512);
    EXPECT_EQ(size->BytesPerSector, 512u);
    EXPECT_EQ(NtQueryVolumeInformationFile(v.handle, &iosb, buf, 23, FileFsSizeInformation),
              STATUS_INFO_LENGTH_MISMATCH);

    // No file system: its requests are refused, through the status block.
    STARTING_LCN_INPUT_BUFFER in{};
    NTSTATUS s = NtFsControlFile(v.handle, nullptr, nullptr, nullptr, &iosb, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in,
                                 buf, sizeof buf);
    NTSTATUS final_status = s == STATUS_PENDING ? iosb.Status : s;
    EXPECT_EQ(final_status, STATUS_UNRECOGNIZED_VOLUME);
    EXPECT_EQ(nt_open(u"\\??\\C:\\Defragme.dat", GENERIC_READ | SYNCHRONIZE).status, STATUS_UNRECOGNIZED_VOLUME);
    NtClose(v.handle);
}

}  // namespace
