// The file and volume calls on real file systems (mkntfs and mkfs.fat
// images): the right driver answers, files made through a driver are on disk
// before the next raw read of the volume, and driver writes are not raw
// writes (the write log stays empty).
#include "internal.h"
#include "io_machine.h"

namespace {

using iotest::nt_open;
using iotest::nt_read;
using iotest::quote;
using iotest::run;
using iotest::Sectors;
using iotest::TempMachine;

constexpr ACCESS_MASK kRW = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
constexpr off_t kMiB = 1024 * 1024;

struct FsCase {
    const char *what;
    const char *make;  // command making the image; %s is its path
    off_t bytes;
    const char16_t *fs_name;  // FileFsAttributeInformation
    const char *cat;          // command printing \DEFRAGME.DAT of the image; %s is its path
};

std::string with_path(const char *pattern, const std::string &path) {
    std::string s = pattern;
    size_t at = s.find("%s");
    return s.replace(at, 2, quote(path));
}

std::u16string fs_name(HANDLE h) {
    alignas(8) unsigned char buf[272];
    IO_STATUS_BLOCK iosb;
    if (!NT_SUCCESS(NtQueryVolumeInformationFile(h, &iosb, buf, sizeof buf, FileFsAttributeInformation))) return u"?";
    auto *info = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buf);
    return std::u16string(info->FileSystemName, info->FileSystemNameLength / sizeof(WCHAR));
}

// Whether `needle` (at most 64 KiB) is somewhere on the volume, read raw in
// overlapping 1 MiB pieces.
bool volume_holds(HANDLE volume, off_t bytes, const std::string &needle) {
    Sectors s(kMiB);
    for (off_t at = 0; at < bytes; at += kMiB - 64 * 1024) {
        auto r = nt_read(volume, s.data, kMiB, at);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "at " << at;
        if (r.status != STATUS_SUCCESS) return false;
        std::string_view data(reinterpret_cast<char *>(s.data), kMiB);
        if (data.find(needle) != std::string_view::npos) return true;
    }
    return false;
}

class IoFs : public ::testing::TestWithParam<FsCase> {};

TEST_P(IoFs, FilesThroughTheDriverAreOnDiskBeforeRawReadsAndAreNotRawWrites) {
    const FsCase &c = GetParam();
    TempMachine m;
    std::string image = m.image("c.img", c.bytes);
    auto made = run(with_path(c.make, image));
    ASSERT_EQ(made.status, 0) << made.output;
    m.drives("C: image c.img\n");
    std::string log = m.root + "/writes.log";
    iotest::ScopedEnv wlog("NT_WRITE_LOG", log.c_str());
    const uint64_t raw_before = ntp::raw_write_count();

    // The volume stays open while files come and go, as in a run.
    auto v = nt_open(u"\\??\\C:", GENERIC_READ | SYNCHRONIZE, FILE_OPEN, FILE_NO_INTERMEDIATE_BUFFERING);
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    EXPECT_EQ(fs_name(v.handle), c.fs_name);

    // Large enough to lie in clusters of its own (small NTFS files live inside
    // their file record, where the update sequence changes two bytes a sector).
    std::string content = std::string("file of ") + c.what + ":";
    for (int i = 0; content.size() < 20000; ++i) content += " line " + std::to_string(i);
    auto f = nt_open(u"\\??\\C:\\Defragme.dat", kRW, FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(f.iosb.Information, static_cast<ULONG_PTR>(FILE_CREATED));
    auto w = iotest::nt_write(f.handle, content.data(), static_cast<ULONG>(content.size()), 0);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.bytes, content.size());
    // Raw reads see what the driver wrote, while the file is still open.
    EXPECT_TRUE(volume_holds(v.handle, c.bytes, content));
    // And the file stays usable after that.
    auto tail = iotest::nt_write(f.handle, "!", 1, static_cast<LONGLONG>(content.size()));
    EXPECT_EQ(tail.status, STATUS_SUCCESS);
    content += "!";
    NtClose(f.handle);
    // The same file, another case, seen through the driver.
    auto again =
        nt_open(u"\\??\\c:\\DEFRAGME.DAT", GENERIC_READ | SYNCHRONIZE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    std::string back(content.size(), '\0');
    auto r = nt_read(again.handle, back.data(), static_cast<ULONG>(back.size()), 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(back, content);
    NtClose(again.handle);

    EXPECT_TRUE(volume_holds(v.handle, c.bytes, content));
    NtClose(v.handle);

    auto cat = run(with_path(c.cat, image));
    EXPECT_EQ(cat.status, 0) << cat.output;
    EXPECT_EQ(cat.output, content);

    iotest::NtName name(u"\\??\\C:\\defragme.dat");
    EXPECT_EQ(NtDeleteFile(&name.oa), STATUS_SUCCESS);
    EXPECT_EQ(nt_open(u"\\??\\C:\\Defragme.dat", GENERIC_READ | SYNCHRONIZE, FILE_OPEN).status,
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_NE(run(with_path(c.cat, image)).status, 0);

    // None of that was a raw write of the program.
    EXPECT_EQ(ntp::raw_write_count(), raw_before);
    EXPECT_EQ(iotest::read_file(log), "");
}

TEST_P(IoFs, VolumeRequestsCompleteThroughTheStatusBlock) {
    const FsCase &c = GetParam();
    TempMachine m;
    std::string image = m.image("c.img", c.bytes);
    ASSERT_EQ(run(with_path(c.make, image)).status, 0);
    m.drives("C: image c.img\n");
    auto v = nt_open(u"\\??\\C:", GENERIC_READ | SYNCHRONIZE);
    ASSERT_EQ(v.status, STATUS_SUCCESS);
    alignas(8) static unsigned char out[64 * 1024];
    STARTING_LCN_INPUT_BUFFER in{};
    IO_STATUS_BLOCK iosb;
    std::memset(&iosb, 0xCC, sizeof iosb);
    NTSTATUS s = NtFsControlFile(v.handle, nullptr, nullptr, nullptr, &iosb, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in,
                                 out, sizeof out);
    ASSERT_EQ(s, STATUS_PENDING);
    ASSERT_EQ(NtWaitForSingleObject(v.handle, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(NT_SUCCESS(iosb.Status)) << std::hex << iosb.Status;
    auto *bitmap = reinterpret_cast<VOLUME_BITMAP_BUFFER *>(out);
    EXPECT_GT(bitmap->BitmapSize.QuadPart, 0);
    EXPECT_EQ(iosb.Information, 16 + static_cast<ULONG_PTR>((bitmap->BitmapSize.QuadPart + 7) / 8));

    // A short buffer: a warning, and what was filled is still reported.
    std::memset(&iosb, 0xCC, sizeof iosb);
    s = NtFsControlFile(v.handle, nullptr, nullptr, nullptr, &iosb, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, out, 24);
    ASSERT_EQ(s, STATUS_PENDING);
    EXPECT_EQ(iosb.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(iosb.Information, 24u);
    NtClose(v.handle);
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, IoFs,
    ::testing::Values(FsCase{"NTFS", "mkntfs -F -q -f %s", 16 * kMiB, u"NTFS", "ntfscat %s Defragme.dat"},
                      FsCase{"FAT16", "mkfs.fat -F 16 %s", 16 * kMiB, u"FAT", "mtype -i %s ::/DEFRAGME.DAT"},
                      FsCase{"FAT32", "mkfs.fat -F 32 -s 1 %s", 40 * kMiB, u"FAT32", "mtype -i %s ::/DEFRAGME.DAT"}),
    [](const ::testing::TestParamInfo<FsCase> &info) { return std::string(info.param.what); });

}  // namespace
