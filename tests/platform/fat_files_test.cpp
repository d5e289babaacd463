// Files through the FAT driver, checked with tools nobody here wrote: what
// the driver creates, writes and deletes must be what mdir lists, mcopy reads
// back and fsck.fat accepts, with every FAT copy equal.
#include "fat_support.h"

using namespace fattest;

namespace {

struct Kind {
    const char *name;
    int bits;
    unsigned kib;
    const char *options;
};

const Kind kKinds[] = {
    {"fat12", 12, 1440, ""},
    {"fat16", 16, 20000, "-s 2"},
    {"fat16_three_fats", 16, 20000, "-s 1 -f 3"},
    {"fat32", 32, 40000, "-s 1"},
    {"fat32_4k_clusters", 32, 300000, "-s 8"},
};

class FatFilesTest : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        img = make_image(dir, "f.img", GetParam().bits, GetParam().kib, GetParam().options);
        g = geometry(img);
        three_fats = g.fat_count > 2;  // fsck.fat handles one or two copies only
    }
    void check_image() {
        EXPECT_TRUE(fats_equal(img));
        if (!three_fats) {
            EXPECT_FSCK_CLEAN(img);
        }
    }

    TempDir dir;
    std::string img;
    ntp::fat::Geometry g;
    bool three_fats = false;
};

TEST_P(FatFilesTest, WrittenFilesReadBackThroughMtools) {
    const size_t c = g.bytes_per_cluster;
    Fsck before = fsck(img);
    struct File {
        std::u16string name;
        std::string host_name;
        std::vector<uint8_t> data;
        size_t piece;
    };
    std::vector<File> files = {
        {u"\\EMPTY.TXT", "EMPTY.TXT", {}, 1},
        {u"\\ONE.BIN", "ONE.BIN", pattern(1, 10), 1},
        {u"\\almost.bin", "almost.bin", pattern(c - 1, 11), 100},
        {u"\\Exactly One Cluster.dat", "Exactly One Cluster.dat", pattern(c, 12), c},
        {u"\\crossing.bin", "crossing.bin", pattern(c + 1, 13), 7},
        {u"\\several.bin", "several.bin", pattern(3 * c + c / 2, 14), 1000},
        {u"\\large.bin", "large.bin", pattern(100000, 15), 65536},
    };
    Mount m(img);
    ASSERT_TRUE(m);
    for (File &f : files) {
        SCOPED_TRACE(f.host_name);
        ULONG info;
        NTSTATUS status;
        auto h = open(m.driver.get(), f.name, request(FILE_CREATE), &status, &info);
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(info, static_cast<ULONG>(FILE_CREATED));
        ASSERT_EQ(write_all(h.get(), 0, f.data, f.piece), STATUS_SUCCESS);
        EXPECT_EQ(h->size(), f.data.size());
        EXPECT_EQ(read_all(h.get()), f.data);
    }
    std::set<std::string> names = mdir_names(img, "/");
    for (File &f : files) {
        EXPECT_TRUE(names.count(f.host_name)) << f.host_name;
        std::vector<uint8_t> back;
        Result r = mcopy_out(dir, img, "/" + f.host_name, &back);
        ASSERT_EQ(r.rc, 0) << r.out;
        EXPECT_EQ(back, f.data) << f.host_name;
        EXPECT_EQ(mshowfat(img, "/" + f.host_name).size(), (f.data.size() + c - 1) / c) << f.host_name;
    }
    check_image();

    // Deleted again: gone for mdir, every cluster free again.
    for (File &f : files) ASSERT_EQ(m->remove(f.name), STATUS_SUCCESS) << f.host_name;
    EXPECT_TRUE(mdir_names(img, "/").empty());
    check_image();
    if (!three_fats) {
        EXPECT_EQ(fsck(img).used, before.used);
    }
    EXPECT_EQ(static_cast<uint64_t>(size_info(m.driver.get()).AvailableAllocationUnits.QuadPart),
              g.clusters - before.used);
}

TEST_P(FatFilesTest, AppendsOffsetsAndGaps) {
    const size_t c = g.bytes_per_cluster;
    Mount m(img);
    ASSERT_TRUE(m);
    auto h = open(m.driver.get(), u"\\log.txt", request(FILE_OVERWRITE_IF));
    ASSERT_TRUE(h);
    std::vector<uint8_t> expect;
    for (int i = 0; i < 40; ++i) {
        std::vector<uint8_t> line = pattern(37 + i * 13, 100 + i);
        ASSERT_EQ(write_all(h.get(), UINT64_MAX, line), STATUS_SUCCESS);
        expect.insert(expect.end(), line.begin(), line.end());
    }
    // Overwrite inside, then write past the end: the gap reads as zeros.
    std::vector<uint8_t> mid = pattern(c + 5, 7);
    ASSERT_EQ(write_all(h.get(), 10, mid), STATUS_SUCCESS);
    std::copy(mid.begin(), mid.end(), expect.begin() + 10);
    std::vector<uint8_t> tail = pattern(100, 8);
    uint64_t at = expect.size() + 2 * c + 3;
    ASSERT_EQ(write_all(h.get(), at, tail), STATUS_SUCCESS);
    expect.resize(at, 0);
    expect.insert(expect.end(), tail.begin(), tail.end());
    EXPECT_EQ(read_all(h.get()), expect);

    ULONG done = 77;
    uint8_t byte;
    EXPECT_EQ(h->read(expect.size(), &byte, 1, &done), STATUS_END_OF_FILE);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(h->write(5, &byte, 0, &done), STATUS_SUCCESS);  // nothing to write
    EXPECT_EQ(h->size(), expect.size());

    std::vector<uint8_t> back;
    ASSERT_EQ(mcopy_out(dir, img, "/log.txt", &back).rc, 0);
    EXPECT_EQ(back, expect);
    check_image();
}

TEST_P(FatFilesTest, NamesLongShortAndUnicode) {
    Mount m(img);
    ASSERT_TRUE(m);
    const std::u16string names[] = {
        u"README.TXT",                                      // plain 8.3
        u"lower.txt",                                       // 8.3 in lower case
        u"Mixed.Txt",                                       // 8.3 in mixed case: needs a long name
        u"A much longer name.text",                         // alias LONGER~1 style
        u"A much longer name 2.text",                       // same alias basis: ~2
        u"\u00dcnic\u00f8de \u0444\u0430\u0439\u043b.txt",  // beyond ASCII
        u"many.dots.in.name",
        u"x+y=z;[1].c",
    };
    for (const auto &n : names) {
        auto h = open(m.driver.get(), u"\\" + n, request(FILE_CREATE));
        ASSERT_TRUE(h) << ntp::to_utf8(n);
        std::string text = ntp::to_utf8(n);
        ASSERT_EQ(write_all(h.get(), 0, std::vector<uint8_t>(text.begin(), text.end())), STATUS_SUCCESS);
    }
    std::set<std::string> listed = mdir_names(img, "/");
    for (const auto &n : names) {
        std::string u8 = ntp::to_utf8(n);
        EXPECT_TRUE(listed.count(u8)) << u8;
        std::vector<uint8_t> back;
        // mtools takes '[' for a wildcard: that file is read by its alias.
        std::string source = u8.find('[') == std::string::npos ? u8 : "X_Y_Z_~1.C";
        ASSERT_EQ(mcopy_out(dir, img, "/" + source, &back).rc, 0) << u8;
        EXPECT_EQ(std::string(back.begin(), back.end()), u8);
    }
    // The 8.3 names mtools sees.
    Result r = run("mdir -i " + quote(img) + " ::/");
    EXPECT_NE(r.out.find("README   TXT"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("AMUCHL~1 TEX"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("AMUCHL~2 TEX"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("X_Y_Z_~1 C"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("MANYDO~1"), std::string::npos) << r.out;

    // Case-insensitive lookups by long name and by alias.
    for (std::u16string_view p : {u"\\readme.txt", u"\\LOWER.TXT", u"\\mixed.txt", u"\\a MUCH longer NAME.TEXT",
                                  u"\\AMUCHL~2.TEX", u"\\\u00fcNIC\u00d8DE \u0424\u0410\u0419\u041b.TXT"}) {
        NTSTATUS status;
        ULONG info;
        auto h = open(m.driver.get(), p, request(FILE_OPEN, GENERIC_READ), &status, &info);
        EXPECT_EQ(status, STATUS_SUCCESS) << ntp::to_utf8(p);
        EXPECT_EQ(info, static_cast<ULONG>(FILE_OPENED));
    }
    std::shared_ptr<ntp::FileObject> h2 = open(m.driver.get(), u"\\AMUCHL~2.TEX", request(FILE_OPEN, GENERIC_READ));
    ASSERT_TRUE(h2);
    std::vector<uint8_t> content = read_all(h2.get());
    EXPECT_EQ(std::string(content.begin(), content.end()), "A much longer name 2.text");

    // Names mtools wrote are found too.
    put_file(dir, img, "/Written By Mtools.dat", pattern(10, 1));
    EXPECT_TRUE(open(m.driver.get(), u"\\written by mtools.DAT", request(FILE_OPEN, GENERIC_READ)));
    EXPECT_TRUE(open(m.driver.get(), u"\\WRITTE~1.DAT", request(FILE_OPEN, GENERIC_READ)));
    check_image();

    // Removal clears the long-name entries with the short one.
    for (const auto &n : names) ASSERT_EQ(m->remove(u"\\" + n), STATUS_SUCCESS) << ntp::to_utf8(n);
    EXPECT_EQ(mdir_names(img, "/"), std::set<std::string>{"Written By Mtools.dat"});
    check_image();
}

TEST_P(FatFilesTest, DirectoriesGrowAndEmptyOnesAreRemoved) {
    const size_t c = g.bytes_per_cluster;
    Mount m(img);
    ASSERT_TRUE(m);
    NTSTATUS status;
    ULONG info;
    auto d =
        open(m.driver.get(), u"\\Sub Folder", request(FILE_CREATE, GENERIC_READ, FILE_DIRECTORY_FILE), &status, &info);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(info, static_cast<ULONG>(FILE_CREATED));
    ASSERT_TRUE(open(m.driver.get(), u"\\Sub Folder\\Deeper", request(FILE_CREATE, 0, FILE_DIRECTORY_FILE)));

    // Enough long names to need several clusters of directory.
    const size_t per_file = 3;  // two long-name entries and the short one
    const size_t count = std::max<size_t>(3 * c / (32 * per_file), 20);
    for (size_t i = 0; i < count; ++i) {
        std::u16string name = u"\\Sub Folder\\Deeper\\file number " + ntp::to_utf16(std::to_string(i)) + u".data";
        auto h = open(m.driver.get(), name, request(FILE_CREATE));
        ASSERT_TRUE(h) << i;
        ASSERT_EQ(write_all(h.get(), 0, pattern(i % 3 == 0 ? c + 1 : 10, static_cast<uint32_t>(i))), STATUS_SUCCESS);
    }
    EXPECT_GE(mshowfat(img, "/Sub Folder/Deeper").size(), 3u);
    std::set<std::string> listed = mdir_names(img, "/Sub Folder/Deeper");
    EXPECT_EQ(listed.size(), count);
    EXPECT_TRUE(listed.count("file number 0.data"));
    EXPECT_TRUE(listed.count("file number " + std::to_string(count - 1) + ".data"));
    EXPECT_EQ(mdir_names(img, "/Sub Folder"), std::set<std::string>{"Deeper/"});
    check_image();

    // A directory with files is not removed; emptied, it is.
    EXPECT_EQ(m->remove(u"\\Sub Folder\\Deeper"), STATUS_DIRECTORY_NOT_EMPTY);
    for (size_t i = 0; i < count; ++i)
        ASSERT_EQ(m->remove(u"\\Sub Folder\\Deeper\\file number " + ntp::to_utf16(std::to_string(i)) + u".data"),
                  STATUS_SUCCESS);
    EXPECT_EQ(m->remove(u"\\Sub Folder\\Deeper"), STATUS_SUCCESS);
    EXPECT_TRUE(mdir_names(img, "/Sub Folder").empty());
    EXPECT_EQ(m->remove(u"\\"), STATUS_CANNOT_DELETE);
    check_image();
}

TEST_P(FatFilesTest, RootDirectoryFillsUp) {
    // The FAT12/16 root has a fixed number of entries; the FAT32 root grows.
    Mount m(img);
    ASSERT_TRUE(m);
    size_t made = 0;
    NTSTATUS status = STATUS_SUCCESS;
    const size_t limit = g.fixed_root() ? g.root_entries + 10 : 700;
    for (; made < limit; ++made) {
        char name[32];
        std::snprintf(name, sizeof name, "\\F%06zu.TXT", made);
        auto h = open(m.driver.get(), ntp::to_utf16(name), request(FILE_CREATE), &status);
        if (!h) break;
    }
    if (g.fixed_root()) {
        EXPECT_EQ(status, STATUS_DISK_FULL);
        EXPECT_EQ(made, g.root_entries);
    } else {
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(made, limit);
        EXPECT_GT(mshowfat(img, "/").size() * g.bytes_per_cluster, 700u * 32);
    }
    EXPECT_EQ(mdir_names(img, "/").size(), made);
    check_image();
}

TEST_P(FatFilesTest, DiskFullChangesNothing) {
    Mount m(img);
    ASSERT_TRUE(m);
    uint64_t free = size_info(m.driver.get()).AvailableAllocationUnits.QuadPart;
    auto h = open(m.driver.get(), u"\\big.bin", request(FILE_CREATE));
    ASSERT_TRUE(h);
    ASSERT_EQ(write_all(h.get(), 0, pattern(100, 1)), STATUS_SUCCESS);
    std::vector<uint8_t> fat_before = image_bytes(img, g.fat_offset(0), g.fat_bytes());
    if ((free + 1) * g.bytes_per_cluster > (64u << 20)) GTEST_SKIP() << "volume too large for this test";
    std::vector<uint8_t> too_much((free + 1) * g.bytes_per_cluster, 0x5A);
    ULONG done = 99;
    EXPECT_EQ(h->write(UINT64_MAX, too_much.data(), static_cast<ULONG>(too_much.size()), &done), STATUS_DISK_FULL);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(h->size(), 100u);
    EXPECT_EQ(image_bytes(img, g.fat_offset(0), g.fat_bytes()), fat_before);
    // Past 4 GiB - 1 a FAT file cannot go.
    EXPECT_EQ(h->write(0xFFFFFFFFull, too_much.data(), 1, &done), STATUS_DISK_FULL);
    check_image();
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatFilesTest, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind> &i) { return std::string(i.param.name); });

// ------------------------------------------------------------ dispositions

class FatCreateTest : public ::testing::Test {
protected:
    void SetUp() override {
        img = make_image(dir, "c.img", 16, 20000);
        put_file(dir, img, "/exists.txt", pattern(5000, 1));
        put_file(dir, img, "/Other.txt", pattern(10, 2));
        mmd(img, "/folder");
        mount = std::make_unique<Mount>(img);
        ASSERT_TRUE(*mount);
        d = mount->driver.get();
    }
    std::vector<uint8_t> content(const std::string &path) {
        std::vector<uint8_t> v;
        EXPECT_EQ(mcopy_out(dir, img, path, &v).rc, 0);
        return v;
    }
    uint8_t attributes(const std::u16string &path) {
        ntp::fat::Node n;
        ntp::fat::FatVolume v(std::make_shared<FileDevice>(img), g());
        EXPECT_EQ(v.lookup(path, &n), STATUS_SUCCESS);
        return n.entry.dirent.attributes;
    }
    ntp::fat::Geometry g() { return geometry(img); }

    // Straight file access, to look at entries without the driver's NT face.
    class FileDevice : public ntp::fat::Device {
    public:
        explicit FileDevice(std::string p) : data_(read_host(p)) {}
        uint64_t size() const override { return data_.size(); }
        NTSTATUS read(uint64_t o, void *b, size_t n) override {
            if (o + n > data_.size()) return STATUS_END_OF_FILE;
            std::memcpy(b, data_.data() + o, n);
            return STATUS_SUCCESS;
        }
        NTSTATUS write(uint64_t, const void *, size_t) override { return STATUS_MEDIA_WRITE_PROTECTED; }
        NTSTATUS flush() override { return STATUS_SUCCESS; }

    private:
        std::vector<uint8_t> data_;
    };

    TempDir dir;
    std::string img;
    std::unique_ptr<Mount> mount;
    ntp::FsDriver *d = nullptr;
};

TEST_F(FatCreateTest, DispositionsOnExistingAndMissingFiles) {
    struct Case {
        ULONG disposition;
        bool exists;
        NTSTATUS status;
        ULONG information;
        bool emptied;
    };
    const Case cases[] = {
        {FILE_SUPERSEDE, true, STATUS_SUCCESS, FILE_SUPERSEDED, true},
        {FILE_SUPERSEDE, false, STATUS_SUCCESS, FILE_CREATED, true},
        {FILE_OPEN, true, STATUS_SUCCESS, FILE_OPENED, false},
        {FILE_OPEN, false, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, false},
        {FILE_CREATE, true, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS, false},
        {FILE_CREATE, false, STATUS_SUCCESS, FILE_CREATED, true},
        {FILE_OPEN_IF, true, STATUS_SUCCESS, FILE_OPENED, false},
        {FILE_OPEN_IF, false, STATUS_SUCCESS, FILE_CREATED, true},
        {FILE_OVERWRITE, true, STATUS_SUCCESS, FILE_OVERWRITTEN, true},
        {FILE_OVERWRITE, false, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, false},
        {FILE_OVERWRITE_IF, true, STATUS_SUCCESS, FILE_OVERWRITTEN, true},
        {FILE_OVERWRITE_IF, false, STATUS_SUCCESS, FILE_CREATED, true},
    };
    std::vector<uint8_t> original = content("/exists.txt");
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "disposition " << c.disposition << (c.exists ? " existing" : " missing"));
        std::string name = "case" + std::to_string(n++) + ".txt";
        if (c.exists) put_file(dir, img, "/" + name, original);
        NTSTATUS status;
        ULONG info;
        auto h = open(d, ntp::to_utf16("\\" + name), request(c.disposition), &status, &info);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(info, c.information);
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(mdir_names(img, "/").count(name), c.exists ? 1u : 0u);
            continue;
        }
        EXPECT_EQ(h->size(), c.emptied ? 0u : original.size());
        EXPECT_EQ(content("/" + name).size(), c.emptied ? 0u : original.size());
    }
    EXPECT_FSCK_CLEAN(img);
}

TEST_F(FatCreateTest, AttributesAndReadOnlyFiles) {
    auto h =
        open(d, u"\\hidden.sys", request(FILE_CREATE, GENERIC_WRITE, 0, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(h);
    EXPECT_EQ(attributes(u"\\hidden.sys"), ntp::fat::kAttrHidden | ntp::fat::kAttrSystem | ntp::fat::kAttrArchive);
    Result r = run("mattrib -i " + quote(img) + " ::/hidden.sys");
    EXPECT_NE(r.out.find("A  SH"), std::string::npos) << r.out;

    ASSERT_TRUE(open(d, u"\\ro.txt", request(FILE_CREATE, GENERIC_WRITE, 0, FILE_ATTRIBUTE_READONLY)));
    EXPECT_EQ(attributes(u"\\ro.txt"), ntp::fat::kAttrReadOnly | ntp::fat::kAttrArchive);
    NTSTATUS status;
    EXPECT_FALSE(open(d, u"\\ro.txt", request(FILE_OPEN, GENERIC_WRITE), &status));
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(open(d, u"\\ro.txt", request(FILE_OVERWRITE_IF, GENERIC_READ), &status));
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(open(d, u"\\ro.txt", request(FILE_OPEN, GENERIC_READ, FILE_DELETE_ON_CLOSE), &status));
    EXPECT_EQ(status, STATUS_CANNOT_DELETE);
    EXPECT_TRUE(open(d, u"\\ro.txt", request(FILE_OPEN, GENERIC_READ)));
    EXPECT_EQ(d->remove(u"\\ro.txt"), STATUS_CANNOT_DELETE);

    // Overwrite adds attributes, supersede replaces them.
    ASSERT_TRUE(open(d, u"\\hidden.sys", request(FILE_OVERWRITE, GENERIC_WRITE, 0, FILE_ATTRIBUTE_READONLY)));
    EXPECT_EQ(attributes(u"\\hidden.sys"),
              ntp::fat::kAttrHidden | ntp::fat::kAttrSystem | ntp::fat::kAttrReadOnly | ntp::fat::kAttrArchive);
    ASSERT_TRUE(open(d, u"\\exists.txt", request(FILE_SUPERSEDE, GENERIC_WRITE, 0, FILE_ATTRIBUTE_HIDDEN)));
    EXPECT_EQ(attributes(u"\\exists.txt"), ntp::fat::kAttrHidden | ntp::fat::kAttrArchive);

    // Access the handle was not opened for.
    auto reader = open(d, u"\\Other.txt", request(FILE_OPEN, GENERIC_READ));
    ASSERT_TRUE(reader);
    ULONG done;
    uint8_t b = 0;
    EXPECT_EQ(reader->write(0, &b, 1, &done), STATUS_ACCESS_DENIED);
    auto writer = open(d, u"\\Other.txt", request(FILE_OPEN, FILE_WRITE_DATA));
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer->read(0, &b, 1, &done), STATUS_ACCESS_DENIED);
    EXPECT_FSCK_CLEAN(img);
}

TEST_F(FatCreateTest, PathsAndDirectoryOptions) {
    struct Case {
        std::u16string path;
        ULONG disposition;
        ULONG options;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"\\nowhere\\file.txt", FILE_CREATE, 0, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\exists.txt\\file.txt", FILE_OPEN_IF, 0, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\missing.txt", FILE_OPEN, 0, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\folder", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_FILE_IS_A_DIRECTORY},
        {u"\\exists.txt", FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_NOT_A_DIRECTORY},
        {u"\\folder", FILE_OVERWRITE_IF, 0, STATUS_OBJECT_NAME_COLLISION},
        {u"\\folder", FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_SUCCESS},
        {u"\\FOLDER", FILE_OPEN_IF, 0, STATUS_SUCCESS},
        {u"\\", FILE_OPEN, 0, STATUS_SUCCESS},
        {u"\\", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_FILE_IS_A_DIRECTORY},
        {u"\\bad?name.txt", FILE_CREATE, 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\trailing.", FILE_CREATE, 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\a\\\\b", FILE_CREATE, 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\" + std::u16string(256, u'x'), FILE_CREATE, 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\" + std::u16string(255, u'x'), FILE_CREATE, 0, STATUS_SUCCESS},
        {u"\\newdir", FILE_OVERWRITE_IF, FILE_DIRECTORY_FILE, STATUS_INVALID_PARAMETER},
        {u"\\folder\\made", FILE_OPEN_IF, FILE_DIRECTORY_FILE, STATUS_SUCCESS},
        {u"\\exists.txt", FILE_OPEN, FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE, STATUS_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(ntp::to_utf8(c.path));
        NTSTATUS status;
        open(d, c.path, request(c.disposition, GENERIC_READ, c.options), &status);
        EXPECT_EQ(status, c.status);
    }
    EXPECT_EQ(mdir_names(img, "/folder"), std::set<std::string>{"made/"});
    EXPECT_EQ(d->remove(u"\\missing.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(d->remove(u"\\nowhere\\missing.txt"), STATUS_OBJECT_PATH_NOT_FOUND);

    // Reads and writes on a directory handle are refused.
    auto dir_handle = open(d, u"\\folder", request(FILE_OPEN, GENERIC_READ | GENERIC_WRITE, FILE_DIRECTORY_FILE));
    ASSERT_TRUE(dir_handle);
    uint8_t b[4];
    ULONG done;
    EXPECT_EQ(dir_handle->read(0, b, 4, &done), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(dir_handle->write(0, b, 4, &done), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(dir_handle->size(), g().bytes_per_cluster);
    EXPECT_FSCK_CLEAN(img);
}

TEST_F(FatCreateTest, OpenFilesFollowRawChangesAndDeletion) {
    auto h = open(d, u"\\exists.txt", request(FILE_OPEN, GENERIC_READ));
    ASSERT_TRUE(h);
    // Another program replaces the file behind the driver's back: the open
    // file reads the new content, not a cached copy.
    std::vector<uint8_t> fresh = pattern(12345, 99);
    put_file(dir, img, "/exists.txt", fresh);
    EXPECT_EQ(h->size(), fresh.size());
    EXPECT_EQ(read_all(h.get()), fresh);
    mdel(img, "/exists.txt");
    uint8_t b;
    ULONG done;
    EXPECT_EQ(h->read(0, &b, 1, &done), ntp::fat::kStatusFileInvalid);
}

TEST(FatFiles, TimestampsAreToday) {
    TempDir dir;
    std::string img = make_image(dir, "t.img", 32, 40000, "-s 1");
    Mount m(img);
    ASSERT_TRUE(m);
    auto h = open(m.driver.get(), u"\\stamp.txt", request(FILE_CREATE));
    ASSERT_TRUE(h);
    ASSERT_EQ(write_all(h.get(), 0, pattern(10, 1)), STATUS_SUCCESS);
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char today[16];
    std::strftime(today, sizeof today, "%Y-%m-%d", &tm);
    Result r = run("mdir -i " + quote(img) + " ::/stamp.txt");
    EXPECT_NE(r.out.find(today), std::string::npos) << r.out;
}

TEST(FatFiles, Fat32FsInfoFollowsChanges) {
    TempDir dir;
    std::string img = make_image(dir, "i.img", 32, 40000, "-s 1");
    ntp::fat::Geometry g = geometry(img);
    auto free_count = [&] {
        std::vector<uint8_t> s = image_bytes(img, g.fsinfo_sector * 512ull, 512);
        return ntp::fat::le32(&s[0x1E8]);
    };
    Mount m(img);
    ASSERT_TRUE(m);
    for (int i = 0; i < 5; ++i) {
        auto h = open(m.driver.get(), ntp::to_utf16("\\file" + std::to_string(i)), request(FILE_CREATE));
        ASSERT_TRUE(h);
        ASSERT_EQ(write_all(h.get(), 0, pattern(3000 * (i + 1), i)), STATUS_SUCCESS);
    }
    ASSERT_EQ(m->remove(u"\\file2"), STATUS_SUCCESS);
    auto h = open(m.driver.get(), u"\\file4", request(FILE_OVERWRITE));
    ASSERT_TRUE(h);
    Fsck f = fsck(img);
    EXPECT_EQ(f.rc, 0) << f.out;
    EXPECT_EQ(free_count(), f.free());
    EXPECT_EQ(f.out.find("Free cluster summary"), std::string::npos) << f.out;

    // An unknown count stays unknown.
    m.release();
    uint8_t unknown[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    patch_image(img, g.fsinfo_sector * 512ull + 0x1E8, unknown, 4);
    Mount again(img);
    ASSERT_TRUE(again);
    auto h2 = open(again.driver.get(), u"\\more", request(FILE_CREATE));
    ASSERT_TRUE(h2);
    ASSERT_EQ(write_all(h2.get(), 0, pattern(5000, 1)), STATUS_SUCCESS);
    EXPECT_EQ(free_count(), 0xFFFFFFFFu);
}

TEST(FatFiles, MirroringOffWritesOnlyTheActiveFat) {
    TempDir dir;
    std::string img = make_image(dir, "m.img", 32, 40000, "-s 1");
    ntp::fat::Geometry g = geometry(img);
    // Extended flags: mirroring off, FAT 1 active.
    uint8_t flags[2] = {0x81, 0x00};
    patch_image(img, 0x28, flags, 2);
    std::vector<uint8_t> fat0 = image_bytes(img, g.fat_offset(0), g.fat_bytes());
    Mount m(img);
    ASSERT_TRUE(m);
    auto h = open(m.driver.get(), u"\\one.bin", request(FILE_CREATE));
    ASSERT_TRUE(h);
    ASSERT_EQ(write_all(h.get(), 0, pattern(4000, 1)), STATUS_SUCCESS);
    EXPECT_EQ(image_bytes(img, g.fat_offset(0), g.fat_bytes()), fat0);
    EXPECT_NE(image_bytes(img, g.fat_offset(1), g.fat_bytes()), fat0);
    Extents e = retrieval_pointers(h.get(), 0);
    ASSERT_EQ(e.status, STATUS_SUCCESS);
    EXPECT_EQ(e.clusters().size(), 8u);
}

}  // namespace
