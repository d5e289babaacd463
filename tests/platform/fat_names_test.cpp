// The FAT driver's name rules and its directory-entry parser, on made-up
// entries: which names are stored as plain 8.3, which get aliases and long
// names, and which long names the parser believes.
#include <gtest/gtest.h>

#include "fs/fat/fat_fs.h"

namespace {

using namespace ntp::fat;

std::string s11(const uint8_t *n) { return std::string(reinterpret_cast<const char *>(n), 11); }

TEST(FatNames, ShortForms) {
    struct Case {
        const char16_t *name;
        const char *stored;  // 11 bytes: the 8.3 name, or the alias basis
        bool exact;
        bool needs_lfn;
        uint8_t nt_case;
    };
    const Case cases[] = {
        {u"README.TXT", "README  TXT", true, false, 0},
        {u"readme.txt", "README  TXT", true, false, kCaseLowerBase | kCaseLowerExt},
        {u"README.txt", "README  TXT", true, false, kCaseLowerExt},
        {u"ReadMe.txt", "README  TXT", true, true, 0},
        {u"NOEXT", "NOEXT      ", true, false, 0},
        {u"12345678.123", "12345678123", true, false, 0},
        {u"A~B$%#.()!", "A~B$%#  ()!", true, false, 0},
        {u"123456789.TXT", "12345678TXT", false, true, 0},
        {u"NAME.TEXT", "NAME    TEX", false, true, 0},
        {u"two words.txt", "TWOWORDSTXT", false, true, 0},
        {u".bashrc", "BASHRC     ", false, true, 0},
        {u"a.b.c", "AB      C  ", false, true, 0},
        {u"x+y=z;[1].c", "X_Y_Z__1C  ", false, true, 0},
        {u"\u00e9t\u00e9.doc", "_T_     DOC", false, true, 0},
        {u"\u65e5\u672c", "__         ", false, true, 0},
        {u"NAME.", "NAME       ", false, true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(ntp::to_utf8(c.name));
        ShortForm f = make_short_form(c.name);
        EXPECT_EQ(s11(f.name), c.stored);
        EXPECT_EQ(f.exact, c.exact);
        EXPECT_EQ(f.needs_lfn, c.needs_lfn);
        EXPECT_EQ(f.nt_case, c.nt_case);
    }
}

TEST(FatNames, NumericTails) {
    struct Case {
        const char *basis;
        uint32_t n;
        const char *out;
    };
    const Case cases[] = {
        {"LONGFILETXT", 1, "LONGFI~1TXT"},      {"LONGFILETXT", 9, "LONGFI~9TXT"}, {"LONGFILETXT", 10, "LONGF~10TXT"},
        {"LONGFILETXT", 123456, "L~123456TXT"}, {"AB         ", 1, "AB~1       "}, {"ABCDEF  C  ", 2, "ABCDEF~2C  "},
    };
    for (const Case &c : cases) {
        uint8_t out[11];
        with_numeric_tail(reinterpret_cast<const uint8_t *>(c.basis), c.n, out);
        EXPECT_EQ(s11(out), c.out) << c.basis << " " << c.n;
    }
}

TEST(FatNames, ValidLongNames) {
    for (const char16_t *ok : {u"a", u"name with spaces.txt", u"x.y.z", u"\u00fcber", u"a..b", u"~$tmp"})
        EXPECT_TRUE(valid_long_name(ok)) << ntp::to_utf8(ok);
    for (const char16_t *bad : {u"", u".", u"..", u"end.", u"end ", u"a*b", u"a?b", u"a:b", u"a\"b", u"a<b", u"a>b",
                                u"a|b", u"a/b", u"a\\b", u"tab\there"})
        EXPECT_FALSE(valid_long_name(bad)) << ntp::to_utf8(bad);
    EXPECT_TRUE(valid_long_name(std::u16string(255, u'n')));
    EXPECT_FALSE(valid_long_name(std::u16string(256, u'n')));
}

TEST(FatNames, ShortNameText) {
    auto text = [](const char *n, uint8_t nt_case) {
        return short_name_text(reinterpret_cast<const uint8_t *>(n), nt_case);
    };
    EXPECT_EQ(text("README  TXT", 0), u"README.TXT");
    EXPECT_EQ(text("README  TXT", kCaseLowerBase), u"readme.TXT");
    EXPECT_EQ(text("README  TXT", kCaseLowerExt), u"README.txt");
    EXPECT_EQ(text("NOEXT      ", kCaseLowerBase | kCaseLowerExt), u"noext");
    EXPECT_EQ(text("\x05"
                   "ABC    TXT",
                   0),
              u"\u03c3ABC.TXT");  // 0x05 stands for 0xE5 (sigma in 437)
    EXPECT_EQ(text("\x80"
                   "1      A  ",
                   0),
              u"\u00c71.A");
}

TEST(FatNames, SplitPaths) {
    std::vector<std::u16string> parts;
    bool trailing;
    EXPECT_EQ(FatVolume::split_path(u"\\", &parts, &trailing), STATUS_SUCCESS);
    EXPECT_TRUE(parts.empty());
    EXPECT_EQ(FatVolume::split_path(u"\\a\\b c\\d.txt", &parts, &trailing), STATUS_SUCCESS);
    EXPECT_EQ(parts, (std::vector<std::u16string>{u"a", u"b c", u"d.txt"}));
    EXPECT_FALSE(trailing);
    EXPECT_EQ(FatVolume::split_path(u"\\dir\\", &parts, &trailing), STATUS_SUCCESS);
    EXPECT_EQ(parts, std::vector<std::u16string>{u"dir"});
    EXPECT_TRUE(trailing);
    for (const char16_t *bad : {u"\\a\\\\b", u"\\a\\.\\b", u"\\..", u"\\a*", u"\\\\"})
        EXPECT_EQ(FatVolume::split_path(bad, &parts, &trailing), STATUS_OBJECT_NAME_INVALID) << ntp::to_utf8(bad);
    EXPECT_EQ(FatVolume::split_path(u"relative", &parts, &trailing), STATUS_OBJECT_PATH_SYNTAX_BAD);
}

// ----------------------------------------------------- directory parsing

// A fixed root directory in memory, entries appended one by one.
class MemDir {
public:
    MemDir() { g_.type = FatType::Fat16; }

    void add(const void *entry) {
        const uint8_t *e = static_cast<const uint8_t *>(entry);
        bytes_.insert(bytes_.end(), e, e + 32);
    }
    void add_short(const char *name11, uint8_t attr = kAttrArchive, uint8_t nt_case = 0) {
        DirEntry d{};
        std::memcpy(d.name, name11, 11);
        d.attributes = attr;
        d.nt_case = nt_case;
        add(&d);
    }
    void add_long(std::u16string_view name, const char *short11) {
        for (const LfnEntry &l : make_lfn_entries(name, lfn_checksum(reinterpret_cast<const uint8_t *>(short11))))
            add(&l);
        add_short(short11);
    }
    uint8_t *at(size_t i) { return bytes_.data() + 32 * i; }

    Directory load() {
        class Mem : public Device {
        public:
            explicit Mem(std::vector<uint8_t> b) : b_(std::move(b)) {}
            uint64_t size() const override { return b_.size(); }
            NTSTATUS read(uint64_t o, void *p, size_t n) override {
                if (o + n > b_.size()) return STATUS_END_OF_FILE;
                std::memcpy(p, b_.data() + o, n);
                return STATUS_SUCCESS;
            }
            NTSTATUS write(uint64_t, const void *, size_t) override { return STATUS_MEDIA_WRITE_PROTECTED; }
            NTSTATUS flush() override { return STATUS_SUCCESS; }

        private:
            std::vector<uint8_t> b_;
        } mem(bytes_);
        g_.root_offset = 0;
        g_.root_bytes = static_cast<uint32_t>(bytes_.size());
        FatTable fat(mem, g_);
        Directory d;
        EXPECT_EQ(d.load(mem, g_, fat, DirRef{true, 0}), STATUS_SUCCESS);
        return d;
    }

    std::vector<std::pair<std::u16string, std::u16string>> entries() {
        Directory d = load();
        std::vector<std::pair<std::u16string, std::u16string>> out;
        for_each_entry(d, [&](const Entry &e) {
            out.emplace_back(e.long_name, e.short_name);
            return true;
        });
        return out;
    }

private:
    Geometry g_;
    std::vector<uint8_t> bytes_;
};

using Names = std::vector<std::pair<std::u16string, std::u16string>>;

TEST(FatDirParse, LongNamesAreTakenOnlyWhenWhole) {
    MemDir d;
    d.add_long(u"First long name.txt", "FIRSTL~1TXT");  // two parts
    d.add_long(u"exactly13char", "EXACTL~1   ");        // one full part, no terminator
    d.add_long(std::u16string(255, u'z'), "ZZZZZZ~1   ");
    EXPECT_EQ(d.entries(), (Names{{u"First long name.txt", u"FIRSTL~1.TXT"},
                                  {u"exactly13char", u"EXACTL~1"},
                                  {std::u16string(255, u'z'), u"ZZZZZZ~1"}}));

    // A wrong checksum, a deleted part: only the 8.3 name.
    MemDir bad;
    bad.add_long(u"checksum is wrong", "CHECKS~1   ");
    bad.at(0)[13] ^= 1;
    bad.at(1)[13] ^= 1;
    bad.add_long(u"deleted middle part of a name", "DELETE~1   ");
    bad.at(4)[0] = kEntryDeleted;
    bad.add_long(u"still fine", "STILLF~1   ");
    EXPECT_EQ(bad.entries(), (Names{{u"", u"CHECKS~1"}, {u"", u"DELETE~1"}, {u"still fine", u"STILLF~1"}}));

    MemDir gap;  // the first part dropped: order 2 is followed by the short entry
    std::vector<LfnEntry> parts = make_lfn_entries(u"a part is missing here", 0);
    parts[0].checksum = parts[1].checksum = lfn_checksum(reinterpret_cast<const uint8_t *>("APARTI~1   "));
    gap.add(&parts[0]);
    gap.add_short("APARTI~1   ");
    EXPECT_EQ(gap.entries(), (Names{{u"", u"APARTI~1"}}));

    MemDir zero;  // a stray part of order 0 after the first part (it once wrote before the name)
    std::vector<LfnEntry> z =
        make_lfn_entries(u"order zero", lfn_checksum(reinterpret_cast<const uint8_t *>("ORDERZ~1   ")));
    LfnEntry stray = z[0];
    stray.order = 0x20;  // order bits 0 (a zero byte would end the directory)
    zero.add(&z[0]);
    zero.add(&stray);
    zero.add_short("ORDERZ~1   ");
    EXPECT_EQ(zero.entries(), (Names{{u"", u"ORDERZ~1"}}));

    MemDir orphan;  // long-name entries with nothing after them, then a plain file
    uint8_t wrong = lfn_checksum(reinterpret_cast<const uint8_t *>("PLAIN   TXT")) ^ 1;
    for (const LfnEntry &l : make_lfn_entries(u"orphan name", wrong)) orphan.add(&l);
    orphan.add_short("PLAIN   TXT");
    EXPECT_EQ(orphan.entries(), (Names{{u"", u"PLAIN.TXT"}}));
}

TEST(FatDirParse, SpecialEntriesAndTheEndMarker) {
    MemDir d;
    d.add_short(".          ", kAttrDirectory);
    d.add_short("..         ", kAttrDirectory);
    d.add_short("MY LABEL   ", kAttrVolumeId);
    d.add_short("\xE5"
                "GONE   TXT");
    d.add_short("lower   txt", kAttrArchive, kCaseLowerBase | kCaseLowerExt);
    d.add_short("SUB        ", kAttrDirectory);
    d.add_short("\0\0\0\0\0\0\0\0\0\0\0");
    d.add_short("AFTER   END");  // past the end marker: not an entry
    Names names = d.entries();
    EXPECT_EQ(names, (Names{{u"", u"lower.txt"}, {u"", u"SUB"}}));
}

TEST(FatDirParse, EntriesAreFoundByEitherNameInAnyCase) {
    MemDir m;
    m.add_long(u"Program Files", "PROGRA~1   ");
    m.add_short("AUTOEXECBAT");
    m.add_long(u"\u0444\u0430\u0439\u043b", "____~1     ");
    Directory d = m.load();
    Entry e;
    ASSERT_TRUE(find_entry(d, u"PROGRAM FILES", &e));  // 13 units: one long-name entry
    EXPECT_EQ(e.short_slot, 1u);
    EXPECT_EQ(e.first_slot, 0u);
    ASSERT_TRUE(find_entry(d, u"progra~1", &e));
    EXPECT_EQ(e.long_name, u"Program Files");
    ASSERT_TRUE(find_entry(d, u"autoexec.bat", &e));
    EXPECT_EQ(e.first_slot, e.short_slot);
    ASSERT_TRUE(find_entry(d, u"\u0424\u0410\u0419\u041b", &e));
    EXPECT_FALSE(find_entry(d, u"Program", &e));
    EXPECT_FALSE(find_entry(d, u"AUTOEXEC", &e));
}

}  // namespace
