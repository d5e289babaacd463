// The kit's own readers on made images, damaged by hand: they must refuse
// what is broken rather than count garbage. And the command's exit codes.
#include <gtest/gtest.h>

#include "fat_raw.h"
#include "imgkit_testutil.h"
#include "ntfs_raw.h"

using namespace imgkit;
using imgkit_test::Scratch;
using imgkit_test::some_file;

namespace {

class NtfsReaderOnImage : public Scratch {
protected:
    std::string img;
    void SetUp() override {
        img = file("vol.img");
        make_ntfs(img, 16 << 20, 1024);
    }
    // Byte offset of record n (the MFT of a fresh volume is one run).
    uint64_t record_offset(uint64_t n) {
        detail::NtfsReader r(img);
        return r.geometry().mft_lcn * r.geometry().cluster_size + n * r.geometry().record_size;
    }
    void poke(uint64_t off, uint8_t value) {
        detail::ImageFile f(img, true);
        f.write(off, &value, 1);
    }
};

TEST_F(NtfsReaderOnImage, ReadsAFreshVolume) {
    detail::NtfsReader r(img);
    EXPECT_EQ(r.geometry().cluster_size, 1024u);
    EXPECT_EQ(r.geometry().record_size, 1024u);
    EXPECT_EQ(r.geometry().total_clusters, (16u << 20) / 1024 - 1);  // the last sector holds the backup boot sector
    auto mft = r.load(0);
    ASSERT_TRUE(mft);
    EXPECT_FALSE(mft->is_dir());
    ASSERT_NE(mft->find(detail::kAtData), nullptr);
    auto root = r.load(5);
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->is_dir());
    EXPECT_EQ(r.paths().at(5), "\\");
    EXPECT_EQ(r.paths().at(6), "\\$Bitmap");
    EXPECT_EQ(r.lookup("\\$UpCase"), std::optional<uint64_t>(10));
    EXPECT_FALSE(r.lookup("\\nothing"));
    // $Bitmap covers the volume and marks the MFT's first cluster in use.
    auto bm = r.volume_bitmap();
    uint64_t l = r.geometry().mft_lcn;
    EXPECT_TRUE((bm[l / 8] >> (l % 8)) & 1);
}

TEST_F(NtfsReaderOnImage, TornRecordIsRefused) {
    // The last two bytes of the record's first 512-byte block must carry the
    // update sequence number; a write torn there leaves something else.
    uint64_t off = record_offset(3) + 510;
    poke(off, 0xEE);
    poke(off + 1, 0xEE);
    detail::NtfsReader r(img);
    std::vector<uint8_t> rec;
    try {
        r.read_record(3, rec);
        FAIL() << "a torn record was read";
    } catch (const Error &e) {
        EXPECT_NE(std::string(e.what()).find("record 3 is torn"), std::string::npos) << e.what();
    }
    EXPECT_THROW(count(img), Error);
}

TEST_F(NtfsReaderOnImage, OverrunningAttributeIsRefused) {
    // Record 4 ($AttrDef): make its first attribute claim more bytes than the record has.
    detail::NtfsReader r0(img);
    std::vector<uint8_t> rec;
    ASSERT_TRUE(r0.read_record(4, rec));
    uint16_t first = uint16_t(rec[0x14] | rec[0x15] << 8);
    uint64_t off = record_offset(4) + first + 4;
    poke(off + 1, 0x7F);  // length 0x7Fxx
    detail::NtfsReader r(img);
    try {
        r.load(4);
        FAIL() << "an overrunning attribute was accepted";
    } catch (const Error &e) {
        EXPECT_NE(std::string(e.what()).find("record 4"), std::string::npos) << e.what();
    }
}

TEST_F(NtfsReaderOnImage, NotNtfsIsRefused) {
    std::string junk = file("junk.img");
    std::string zeros(1 << 20, '\0');
    detail::write_file(junk, zeros.data(), zeros.size());
    EXPECT_THROW(detail::NtfsReader{junk}, Error);
    EXPECT_EQ(detect_fs(junk), FsType::unknown);
    std::string tiny = file("tiny.img");
    detail::write_file(tiny, "x", 1);
    EXPECT_EQ(detect_fs(tiny), FsType::unknown);
    EXPECT_THROW(detect_fs(file("absent.img")), Error);
}

class FatReaderOnImage : public Scratch, public ::testing::WithParamInterface<int> {};

TEST_P(FatReaderOnImage, EntriesChainsAndFsinfo) {
    std::string img = file("vol.img");
    make_fat(img, 40 << 20, GetParam());
    Manifest m = fill(img, Profile::basic(), 9);
    std::string victim = some_file(m, 20000);
    auto ext = file_extents(img, victim);
    ASSERT_FALSE(ext.empty());
    uint32_t first = uint32_t(ext.front().lcn + 2);
    {
        detail::FatReader r(img);
        EXPECT_EQ(r.geometry().bits, GetParam());
        auto chain = r.chain(first);
        uint64_t total = 0;
        for (auto &e : ext) total += e.length;
        EXPECT_EQ(chain.size(), total);
        EXPECT_EQ(r.entry(chain.back()), r.entry(chain.back(), 1));
        EXPECT_GE(r.entry(chain.back()), r.eoc() & ~7u);  // end of chain
    }
    {
        // A loop: the last cluster points back to the first.
        detail::FatReader w(img, true);
        auto chain = w.chain(first);
        w.set_entry(chain.back(), first);
        EXPECT_EQ(w.entry(chain.back(), 0), first);
        EXPECT_EQ(w.entry(chain.back(), 1), first);  // every copy
        EXPECT_THROW(w.chain(first), Error);
    }
    // The loop is a fault for fsck.fat too.
    EXPECT_EQ(check(img, m).code, kInconsistent);
    if (GetParam() == 32) {
        detail::FatReader w(img, true);
        w.set_fsinfo_next_free(1234);
        uint32_t fc, nf;
        ASSERT_TRUE(detail::FatReader(img).fsinfo(fc, nf));
        EXPECT_EQ(nf, 1234u);
    }
}

INSTANTIATE_TEST_SUITE_P(Imgkit, FatReaderOnImage, ::testing::Values(16, 32),
                         [](const ::testing::TestParamInfo<int> &i) { return "Fat" + std::to_string(i.param); });

// The command line: one exit code per verdict.
class ImgkitCommand : public Scratch {
protected:
    int cmd(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {IMGKIT_CLI};
        argv.insert(argv.end(), args.begin(), args.end());
        last = detail::run(argv);
        EXPECT_TRUE(last.started);
        return last.exit_code;
    }
    detail::ProcResult last;
};

TEST_F(ImgkitCommand, ExitCodesFollowTheVerdict) {
    std::string img = file("c.img"), man = file("c.man");
    ASSERT_EQ(cmd({"make-ntfs", img, "16M", "2048"}), 0) << last.output;
    ASSERT_EQ(cmd({"fill", img, man, "--seed", "4", "--set", "large_files=4"}), 0) << last.output;
    EXPECT_EQ(cmd({"check", img, man}), 0) << last.output;
    EXPECT_NE(last.output.find("OK (0):"), std::string::npos) << last.output;
    EXPECT_EQ(cmd({"count", img, "--list"}), 0);
    EXPECT_NE(last.output.find("\\$MFT"), std::string::npos);
    std::string victim = some_file(Manifest::load(man), 10000);

    std::string lost = file("lost.img");
    copy_image(img, lost);
    EXPECT_EQ(cmd({"leak", lost, "2"}), 0);
    EXPECT_EQ(cmd({"check", lost, man}), 1) << last.output;

    std::string bad = file("bad.img");
    copy_image(img, bad);
    EXPECT_EQ(cmd({"clear-allocation", bad, victim}), 0) << last.output;
    EXPECT_EQ(cmd({"check", bad, man}), 2) << last.output;

    std::string data = file("data.img");
    copy_image(img, data);
    EXPECT_EQ(cmd({"corrupt-data", data, victim}), 0) << last.output;
    EXPECT_EQ(cmd({"check", data, man}), 3) << last.output;

    EXPECT_EQ(cmd({"check", img, file("absent.man")}), 4);
    EXPECT_EQ(cmd({"frobnicate"}), 4);
    EXPECT_EQ(cmd({}), 4);
    EXPECT_EQ(cmd({"fill", img, man, "--set", "no_such_key=1"}), 4);
    EXPECT_EQ(cmd({"make-ntfs", file("x.img"), "12Q"}), 4);
}

}  // namespace
