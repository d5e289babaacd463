// Files on NTFS images through the native calls, checked with the host's
// NTFS tools (ntfsls, ntfscat, ntfsresize, ntfs-3g.probe, ntfsfix) and
// libntfs-3g itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "internal.h"
#include "ntfs_libref.h"
#include "ntfs_support.h"

namespace {

using namespace ntfstest;

// The independent checkers agree that the volume is sound.
void expect_consistent(const std::string &image) {
    Command resize = run("ntfsresize --info --force " + quote(image));
    // It may exit 1 for resize limits alone; the messages tell.
    EXPECT_NE(resize.output.find("Checking filesystem consistency"), std::string::npos) << resize.output;
    EXPECT_NE(resize.output.find("Space in use"), std::string::npos) << resize.output;
    for (const char *bad : {"ERROR", "rror:", "corrupt", "inconsistent", "accounting failed", "mismatch"})
        EXPECT_EQ(resize.output.find(bad), std::string::npos) << bad << "\n" << resize.output;
    Command probe = run("ntfs-3g.probe --readonly " + quote(image));
    EXPECT_EQ(probe.status, 0) << probe.output;
    Command fix = run("ntfsfix -n " + quote(image));
    EXPECT_EQ(fix.status, 0) << fix.output;
    EXPECT_NE(fix.output.find("processed successfully"), std::string::npos) << fix.output;
}

std::string cat(const std::string &image, const std::string &path) {
    Command c = run("ntfscat " + quote(image) + " " + quote(path));
    return c.status == 0 ? c.output : "<ntfscat failed: " + c.output + ">";
}

bool listed(const std::string &image, const std::string &dir, const std::string &name) {
    Command c = run("ntfsls -a " + quote(image) + " -p " + quote(dir));
    EXPECT_EQ(c.status, 0) << c.output;
    return ("\n" + c.output).find("\n" + name + "\n") != std::string::npos;
}

class NtfsFiles : public ::testing::Test {
protected:
    void SetUp() override {
        image = m.ntfs("c.img", 24 << 20);
        m.drives("C: image c.img\n");
    }
    Machine m;
    std::string image;
};

TEST_F(NtfsFiles, CreateWriteReadDeleteAsTheHostToolsSeeIt) {
    const std::string text = "written through NtWriteFile\n";
    {
        Opened o = open(u"\\??\\C:\\Notes.txt", GENERIC_READ | GENERIC_WRITE, FILE_CREATE);
        ASSERT_EQ(o.status, STATUS_SUCCESS);
        EXPECT_EQ(o.information, ULONG_PTR(FILE_CREATED));
        ULONG_PTR done = 0;
        ASSERT_EQ(write(o.handle, text.data(), ULONG(text.size()), 0, &done), STATUS_SUCCESS);
        EXPECT_EQ(done, text.size());
        char back[64] = {};
        ASSERT_EQ(read(o.handle, back, sizeof back, 0, &done), STATUS_SUCCESS);
        EXPECT_EQ(std::string(back, done), text);
        EXPECT_EQ(read(o.handle, back, sizeof back, int64_t(text.size())), STATUS_END_OF_FILE);
        NtClose(o.handle);
    }
    EXPECT_TRUE(listed(image, "/", "Notes.txt"));
    EXPECT_EQ(cat(image, "/Notes.txt"), text);
    expect_consistent(image);

    ASSERT_EQ(remove(u"\\??\\C:\\notes.TXT"), STATUS_SUCCESS);
    EXPECT_FALSE(listed(image, "/", "Notes.txt"));
    EXPECT_EQ(remove(u"\\??\\C:\\Notes.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
    expect_consistent(image);
}

// The paging-file placeholder: created hidden and system, written 64 bytes
// at a time 16,385 times, flushed, closed, and later deleted.
TEST_F(NtfsFiles, PagingFilePlaceholder) {
    const char pattern[] = "IamaduckIamaduckIamaduckIamaduckIamaduckIamaduckIamaduckIamaduck";
    static_assert(sizeof pattern == 65);
    {
        Opened o = open(u"\\??\\C:\\pagefile.sys", GENERIC_READ | GENERIC_WRITE, FILE_OVERWRITE_IF, 0,
                        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        ASSERT_EQ(o.status, STATUS_SUCCESS);
        EXPECT_EQ(o.information, ULONG_PTR(FILE_CREATED));
        for (int i = 0; i < 16385; ++i) {
            ULONG_PTR done = 0;
            // Half of the writes append, half give the offset.
            const int64_t at = (i & 1) ? int64_t(-1) : int64_t(i) * 64;
            ASSERT_EQ(write(o.handle, pattern, 64, at, &done), STATUS_SUCCESS) << i;
            ASSERT_EQ(done, 64u);
        }
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(NtFlushBuffersFile(o.handle, &iosb), STATUS_SUCCESS);
        NtClose(o.handle);
    }
    std::string expected;
    for (int i = 0; i < 16385; ++i) expected.append(pattern, 64);
    EXPECT_EQ(cat(image, "/pagefile.sys"), expected);
    uint64_t record = 0;
    uint32_t attributes = 0;
    ASSERT_TRUE(ntfsref::file_info(image, "/pagefile.sys", &record, &attributes));
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY),
              ULONG(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_ARCHIVE);
    expect_consistent(image);

    // Recreated over itself (create-always, the same attributes): emptied.
    Opened again = open(u"\\??\\C:\\PAGEFILE.SYS", GENERIC_WRITE, FILE_OVERWRITE_IF, 0,
                        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(again.information, ULONG_PTR(FILE_OVERWRITTEN));
    NtClose(again.handle);
    EXPECT_EQ(cat(image, "/pagefile.sys"), "");

    ASSERT_EQ(remove(u"\\??\\C:\\pagefile.sys"), STATUS_SUCCESS);
    EXPECT_FALSE(listed(image, "/", "pagefile.sys"));
    expect_consistent(image);
}

// ----------------------------------------------------------- dispositions
TEST_F(NtfsFiles, DispositionsAsWindowsAnswersThem) {
    const std::u16string name = u"\\??\\C:\\d.dat";
    struct Step {
        const char *what;
        ULONG disposition;
        NTSTATUS status;
        ULONG information;
        const char *content_after;  // nullptr: not checked
    } steps[] = {
        {"open missing", FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
        {"overwrite missing", FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
        {"open-if missing creates", FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED, ""},
        {"create existing", FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0, "abc"},
        {"open-if existing opens", FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED, "abc"},
        {"open existing", FILE_OPEN, STATUS_SUCCESS, FILE_OPENED, "abc"},
        {"overwrite existing empties", FILE_OVERWRITE, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {"overwrite-if existing empties", FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {"supersede existing empties", FILE_SUPERSEDE, STATUS_SUCCESS, FILE_SUPERSEDED, ""},
    };
    bool exists = false;
    for (const Step &s : steps) {
        if (exists) {  // put "abc" in before each step on an existing file
            Opened w = open(name, GENERIC_WRITE, FILE_OPEN);
            ASSERT_EQ(w.status, STATUS_SUCCESS) << s.what;
            ASSERT_EQ(write(w.handle, "abc", 3, 0), STATUS_SUCCESS);
            NtClose(w.handle);
        }
        Opened o = open(name, GENERIC_READ | GENERIC_WRITE, s.disposition);
        EXPECT_EQ(o.status, s.status) << s.what;
        if (NT_SUCCESS(o.status)) {
            EXPECT_EQ(o.information, ULONG_PTR(s.information)) << s.what;
            char buf[8];
            ULONG_PTR done = 0;
            NTSTATUS r = read(o.handle, buf, sizeof buf, 0, &done);
            std::string content = NT_SUCCESS(r) ? std::string(buf, done) : "";
            EXPECT_EQ(content, s.content_after) << s.what;
            NtClose(o.handle);
            exists = true;
        }
    }
    // Missing and supersede / overwrite-if: created.
    Opened o = open(u"\\??\\C:\\e.dat", GENERIC_WRITE, FILE_SUPERSEDE);
    EXPECT_EQ(o.status, STATUS_SUCCESS);
    EXPECT_EQ(o.information, ULONG_PTR(FILE_CREATED));
    NtClose(o.handle);
    o = open(u"\\??\\C:\\f.dat", GENERIC_WRITE, FILE_OVERWRITE_IF);
    EXPECT_EQ(o.information, ULONG_PTR(FILE_CREATED));
    NtClose(o.handle);
    expect_consistent(image);
}

TEST_F(NtfsFiles, DirectoriesPathsAndNames) {
    Opened d = open(u"\\??\\C:\\Sub", FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE);
    ASSERT_EQ(d.status, STATUS_SUCCESS);
    EXPECT_EQ(d.information, ULONG_PTR(FILE_CREATED));
    NtClose(d.handle);
    Opened f = open(u"\\??\\C:\\sub\\Inner.bin", GENERIC_WRITE, FILE_CREATE);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    ASSERT_EQ(write(f.handle, "inner", 5, 0), STATUS_SUCCESS);
    NtClose(f.handle);
    EXPECT_TRUE(listed(image, "/Sub", "Inner.bin"));
    EXPECT_EQ(cat(image, "/Sub/Inner.bin"), "inner");

    // Names are matched without regard to case, at every level.
    Opened g = open(u"\\??\\C:\\SUB\\inner.BIN", GENERIC_READ, FILE_OPEN);
    EXPECT_EQ(g.status, STATUS_SUCCESS);
    NtClose(g.handle);

    EXPECT_EQ(open(u"\\??\\C:\\Nowhere\\x", GENERIC_WRITE, FILE_CREATE).status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(open(u"\\??\\C:\\Sub\\Inner.bin\\x", GENERIC_WRITE, FILE_CREATE).status, STATUS_OBJECT_PATH_NOT_FOUND);
    // A directory opened for data without saying it may be one.
    EXPECT_EQ(open(u"\\??\\C:\\Sub", GENERIC_READ, FILE_OPEN).status, STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(open(u"\\??\\C:\\Sub", GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE).status,
              STATUS_FILE_IS_A_DIRECTORY);
    Opened backup = open(u"\\??\\C:\\Sub", GENERIC_READ, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT);
    EXPECT_EQ(backup.status, STATUS_SUCCESS);
    NtClose(backup.handle);
    EXPECT_EQ(open(u"\\??\\C:\\Sub\\Inner.bin", GENERIC_READ, FILE_OPEN, FILE_DIRECTORY_FILE).status,
              STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(open(u"\\??\\C:\\Sub", GENERIC_WRITE, FILE_OVERWRITE_IF).status, STATUS_FILE_IS_A_DIRECTORY);
    // The root is a directory.
    Opened root = open(u"\\??\\C:\\", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
    EXPECT_EQ(root.status, STATUS_SUCCESS);
    NtClose(root.handle);

    EXPECT_EQ(remove(u"\\??\\C:\\Sub"), STATUS_DIRECTORY_NOT_EMPTY);
    EXPECT_EQ(remove(u"\\??\\C:\\sub\\INNER.bin"), STATUS_SUCCESS);
    EXPECT_EQ(remove(u"\\??\\C:\\SUB"), STATUS_SUCCESS);
    EXPECT_FALSE(listed(image, "/", "Sub"));
    expect_consistent(image);
}

TEST_F(NtfsFiles, ProtectedFilesAreRefused) {
    Opened h = open(u"\\??\\C:\\hidden.sys", GENERIC_WRITE, FILE_CREATE, 0, FILE_ATTRIBUTE_HIDDEN);
    ASSERT_EQ(h.status, STATUS_SUCCESS);
    NtClose(h.handle);
    // Replacing a hidden file without asking for it to stay hidden.
    EXPECT_EQ(open(u"\\??\\C:\\hidden.sys", GENERIC_WRITE, FILE_OVERWRITE_IF).status, STATUS_ACCESS_DENIED);
    Opened ok = open(u"\\??\\C:\\hidden.sys", GENERIC_WRITE, FILE_OVERWRITE_IF, 0, FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(ok.status, STATUS_SUCCESS);
    NtClose(ok.handle);

    Opened r = open(u"\\??\\C:\\readonly.txt", GENERIC_WRITE, FILE_CREATE, 0, FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    NtClose(r.handle);
    EXPECT_EQ(open(u"\\??\\C:\\readonly.txt", GENERIC_WRITE, FILE_OPEN).status, STATUS_ACCESS_DENIED);
    Opened rd = open(u"\\??\\C:\\readonly.txt", GENERIC_READ, FILE_OPEN);
    EXPECT_EQ(rd.status, STATUS_SUCCESS);
    NtClose(rd.handle);
    EXPECT_EQ(remove(u"\\??\\C:\\readonly.txt"), STATUS_CANNOT_DELETE);

    // The file system's own files.
    EXPECT_EQ(remove(u"\\??\\C:\\$MFT"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(remove(u"\\??\\C:\\$Extend\\$Quota"), STATUS_ACCESS_DENIED);
    // A file that is open cannot be deleted under its handle.
    Opened busy = open(u"\\??\\C:\\hidden.sys", GENERIC_READ, FILE_OPEN);
    ASSERT_EQ(busy.status, STATUS_SUCCESS);
    EXPECT_EQ(remove(u"\\??\\C:\\hidden.sys"), STATUS_SHARING_VIOLATION);
    NtClose(busy.handle);
    EXPECT_EQ(remove(u"\\??\\C:\\hidden.sys"), STATUS_SUCCESS);
    expect_consistent(image);
}

TEST_F(NtfsFiles, DeleteOnClose) {
    Opened o = open(u"\\??\\C:\\temp.tmp", GENERIC_WRITE | DELETE, FILE_CREATE, FILE_DELETE_ON_CLOSE);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    ASSERT_EQ(write(o.handle, "gone", 4, 0), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(o.handle), STATUS_SUCCESS);
    EXPECT_FALSE(listed(image, "/", "temp.tmp"));
    expect_consistent(image);
}

// The program reads and writes the volume raw while a file is open: the
// driver's writes are on disk first, and the file goes on afterwards.
TEST_F(NtfsFiles, RawVolumeIoBetweenFileWrites) {
    Opened f = open(u"\\??\\C:\\Defragme.dat", GENERIC_READ | GENERIC_WRITE, FILE_CREATE);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    std::string first(5000, 'a');
    ASSERT_EQ(write(f.handle, first.data(), ULONG(first.size()), 0), STATUS_SUCCESS);

    HANDLE v = open_volume('C');
    const int64_t free_before = bitmap_free(v);
    alignas(4096) static uint8_t sector[4096];
    ASSERT_EQ(read(v, sector, 4096, 0), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(sector + 3, "NTFS    ", 8), 0);

    std::string second(9000, 'b');
    ASSERT_EQ(write(f.handle, second.data(), ULONG(second.size()), -1), STATUS_SUCCESS);
    // The volume requests see the file's clusters as soon as they are asked.
    const int64_t free_after = bitmap_free(v);
    EXPECT_LT(free_after, free_before);
    char back[4];
    ULONG_PTR done = 0;
    ASSERT_EQ(read(f.handle, back, 4, 4998, &done), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back, done), "aabb");
    NtClose(f.handle);
    NtClose(v);
    EXPECT_EQ(cat(image, "/Defragme.dat"), first + second);
    expect_consistent(image);
}

// Two handles on one file share what they write, and a directory handle
// held open does not get in the way of the files inside it.
TEST_F(NtfsFiles, TwoHandlesOnOneFileAndAnOpenDirectory) {
    Opened root = open(u"\\??\\C:\\", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
    ASSERT_EQ(root.status, STATUS_SUCCESS);
    Opened a = open(u"\\??\\C:\\shared.txt", GENERIC_READ | GENERIC_WRITE, FILE_CREATE, 0, FILE_ATTRIBUTE_NORMAL,
                    FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    Opened b = open(u"\\??\\C:\\SHARED.txt", GENERIC_READ | GENERIC_WRITE, FILE_OPEN, 0, FILE_ATTRIBUTE_NORMAL,
                    FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_EQ(b.status, STATUS_SUCCESS);
    std::string expected;
    for (int i = 0; i < 40; ++i) {
        std::string piece(100, char('a' + i % 26));
        ASSERT_EQ(write(i % 2 ? a.handle : b.handle, piece.data(), ULONG(piece.size()), -1), STATUS_SUCCESS);
        expected += piece;
    }
    char back[8];
    ULONG_PTR done = 0;
    ASSERT_EQ(read(b.handle, back, 8, 3996, &done), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back, done), std::string(4, 'n'));
    // Replacing a file that another handle has open is refused, and so is
    // an open that does not share what the others do, or asks for what they
    // do not share.
    EXPECT_EQ(open(u"\\??\\C:\\shared.txt", GENERIC_WRITE, FILE_OVERWRITE_IF).status, STATUS_SHARING_VIOLATION);
    EXPECT_EQ(open(u"\\??\\C:\\shared.txt", GENERIC_READ, FILE_OPEN, 0, 0, FILE_SHARE_READ).status,
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(open(u"\\??\\C:\\shared.txt", DELETE, FILE_OPEN, 0, 0, FILE_SHARE_READ | FILE_SHARE_WRITE).status,
              STATUS_SHARING_VIOLATION);
    Opened attributes_only = open(u"\\??\\C:\\shared.txt", FILE_READ_ATTRIBUTES, FILE_OPEN);
    EXPECT_EQ(attributes_only.status, STATUS_SUCCESS);
    NtClose(attributes_only.handle);
    NtClose(a.handle);
    Opened c = open(u"\\??\\C:\\other.txt", GENERIC_WRITE, FILE_CREATE);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    ASSERT_EQ(write(c.handle, "other", 5, 0), STATUS_SUCCESS);
    NtClose(c.handle);
    NtClose(b.handle);
    NtClose(root.handle);
    EXPECT_EQ(cat(image, "/shared.txt"), expected);
    EXPECT_EQ(cat(image, "/other.txt"), "other");
    expect_consistent(image);
}

// A program that ends with a file still open: its writes are on the
// volume and the volume is sound, as after a Windows shutdown.
TEST_F(NtfsFiles, ExitWithAFileStillOpen) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Opened o = open(u"\\??\\C:\\left-open.txt", GENERIC_WRITE, FILE_CREATE);
        std::string text(3000, 'q');
        bool ok = o.status == STATUS_SUCCESS && write(o.handle, text.data(), ULONG(text.size()), 0) == STATUS_SUCCESS;
        std::exit(ok ? 0 : 3);  // no NtClose
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(cat(image, "/left-open.txt"), std::string(3000, 'q'));
    expect_consistent(image);
}

// Windows left hibernated: files cannot be written (Windows would resume
// over them), the volume requests still answer, and nothing is changed.
TEST_F(NtfsFiles, HibernatedVolumeRefusesFileAccess) {
    std::string hiberfile(8192, '\0');
    hiberfile.replace(0, 4, "hibr");
    ASSERT_TRUE(ntfsref::write_file(image, "hiberfil.sys", hiberfile));
    const std::string before = read_file(image);
    EXPECT_EQ(open(u"\\??\\C:\\Defragme.dat", GENERIC_WRITE, FILE_OVERWRITE_IF).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(remove(u"\\??\\C:\\hiberfil.sys"), STATUS_ACCESS_DENIED);
    HANDLE v = open_volume('C');
    EXPECT_GT(volume_data(v).FreeClusters.QuadPart, 0);
    NtClose(v);
    EXPECT_TRUE(read_file(image) == before);
}

// ----------------------------------------------------- retrieval pointers
TEST_F(NtfsFiles, RetrievalPointersFollowTheRunList) {
    // Free space in holes of three clusters; the file is longer than the
    // longest free run, so that it gets several runs.
    ASSERT_GT(ntfsref::fragment_free_space(image, "frag", 100000, 4096 * 3), 200);  // fills the volume
    int64_t longest = 0;
    {
        HANDLE v = open_volume('C');
        std::vector<uint8_t> bits;
        const int64_t free = bitmap_free(v, &bits);
        int64_t run = 0;
        for (size_t c = 0; c < bits.size() * 8; ++c) {
            run = (bits[c / 8] >> (c % 8)) & 1 ? 0 : run + 1;
            longest = std::max(longest, run);
        }
        ASSERT_GT(free, longest + 64);
        NtClose(v);
    }
    std::string data;
    for (int64_t i = 0; i < (longest + 64) * 4096 - 100; ++i) data += char('A' + i % 23);
    Opened f = open(u"\\??\\C:\\big.bin", GENERIC_READ | GENERIC_WRITE, FILE_CREATE);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    ASSERT_EQ(write(f.handle, data.data(), ULONG(data.size()), 0), STATUS_SUCCESS);

    std::vector<uint8_t> out(4096, 0xCC);
    STARTING_VCN_INPUT_BUFFER in;
    in.StartingVcn.QuadPart = 0;
    ULONG_PTR returned = 0;
    ASSERT_EQ(fsctl(f.handle, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in, out.data(), ULONG(out.size()), &returned),
              STATUS_SUCCESS);
    auto *rp = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER *>(out.data());
    const DWORD count = rp->ExtentCount;
    ASSERT_GT(count, 1u) << "the file should be fragmented";
    EXPECT_EQ(returned, 16 + count * 16);
    EXPECT_EQ(rp->StartingVcn.QuadPart, 0);

    // Room for one extent: the first, and more to come.
    std::vector<uint8_t> small(32, 0xCC);
    EXPECT_EQ(fsctl(f.handle, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in, small.data(), 32, &returned),
              STATUS_BUFFER_OVERFLOW);
    auto *one = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER *>(small.data());
    EXPECT_EQ(one->ExtentCount, 1u);
    EXPECT_EQ(one->Extents[0].NextVcn.QuadPart, rp->Extents[0].NextVcn.QuadPart);
    EXPECT_EQ(fsctl(f.handle, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in, small.data(), 31), STATUS_BUFFER_TOO_SMALL);
    // From inside the second run: that run's start is reported.
    in.StartingVcn.QuadPart = rp->Extents[0].NextVcn.QuadPart + 1;
    std::vector<uint8_t> rest(4096);
    ASSERT_EQ(fsctl(f.handle, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in, rest.data(), ULONG(rest.size())),
              STATUS_SUCCESS);
    auto *rp2 = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER *>(rest.data());
    EXPECT_EQ(rp2->StartingVcn.QuadPart, rp->Extents[0].NextVcn.QuadPart);
    EXPECT_EQ(rp2->ExtentCount, count - 1);
    in.StartingVcn.QuadPart = rp->Extents[count - 1].NextVcn.QuadPart;
    EXPECT_EQ(fsctl(f.handle, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in, rest.data(), ULONG(rest.size())),
              STATUS_END_OF_FILE);

    // The clusters named hold the file's data, read raw.
    HANDLE v = open_volume('C');
    const ULONG cluster = volume_data(v).BytesPerCluster;
    ASSERT_EQ(cluster, 4096u);
    alignas(4096) static uint8_t raw[4096];  // raw volume I/O wants sector-aligned buffers
    int64_t vcn = 0;
    for (DWORD i = 0; i < count; ++i) {
        for (; vcn < rp->Extents[i].NextVcn.QuadPart; ++vcn) {
            if (uint64_t(vcn) * cluster >= data.size()) break;
            const int64_t lcn = rp->Extents[i].Lcn.QuadPart + (vcn - (i ? rp->Extents[i - 1].NextVcn.QuadPart : 0));
            ASSERT_EQ(read(v, raw, cluster, lcn * cluster), STATUS_SUCCESS);
            const size_t n = std::min<size_t>(cluster, data.size() - size_t(vcn) * cluster);
            ASSERT_EQ(std::memcmp(raw, data.data() + size_t(vcn) * cluster, n), 0) << "vcn " << vcn;
        }
    }
    NtClose(v);
    NtClose(f.handle);

    // The same runs as libntfs-3g reports.
    uint64_t record;
    uint32_t attributes;
    std::vector<ntfsref::Run> runs;
    ASSERT_TRUE(ntfsref::file_info(image, "/big.bin", &record, &attributes, &runs));
    ASSERT_EQ(runs.size(), count);
    for (DWORD i = 0; i < count; ++i) {
        EXPECT_EQ(runs[i].lcn, rp->Extents[i].Lcn.QuadPart);
        EXPECT_EQ(runs[i].vcn + runs[i].length, rp->Extents[i].NextVcn.QuadPart);
    }

    // A small file has no clusters of its own.
    Opened s = open(u"\\??\\C:\\small.txt", GENERIC_WRITE, FILE_CREATE);
    ASSERT_EQ(write(s.handle, "tiny", 4, 0), STATUS_SUCCESS);
    in.StartingVcn.QuadPart = 0;
    EXPECT_EQ(fsctl(s.handle, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in, out.data(), ULONG(out.size())),
              STATUS_END_OF_FILE);
    NtClose(s.handle);
    expect_consistent(image);
}

// On free space cut into small holes, a large write still finds its room.
TEST_F(NtfsFiles, LargeWriteOnFragmentedFreeSpace) {
    const int written = ntfsref::fragment_free_space(image, "hole", 100000, 4096);
    ASSERT_GT(written, 1000);
    HANDLE v = open_volume('C');
    const int64_t free = bitmap_free(v);
    NtClose(v);
    // Nearly all that is free, in one write. Bare libntfs-3g gives up on
    // such a write (ENOSPC) once its allocator has marked its zones full.
    const size_t size = size_t(free) * 4096 * 95 / 100;
    std::string data(size, 'z');
    for (size_t i = 0; i < size; i += 4096) data[i] = char('a' + (i / 4096) % 26);
    Opened f = open(u"\\??\\C:\\large.bin", GENERIC_WRITE, FILE_CREATE);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    ULONG_PTR done = 0;
    EXPECT_EQ(write(f.handle, data.data(), ULONG(size), 0, &done), STATUS_SUCCESS);
    EXPECT_EQ(done, size);
    NtClose(f.handle);
    EXPECT_TRUE(cat(image, "/large.bin") == data);
    expect_consistent(image);
}

}  // namespace
