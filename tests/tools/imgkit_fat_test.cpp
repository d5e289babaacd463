// The image kit on FAT16 and FAT32: made and filled images pass fsck.fat,
// damage on purpose is reported for the right reason, fills are repeatable,
// fragmentation is real, and the counts agree with the FAT read directly.
#include <gtest/gtest.h>

#include "fat_raw.h"
#include "ntfs_raw.h"
#include "imgkit_testutil.h"

using namespace imgkit;
using imgkit_test::Scratch;
using imgkit_test::some_file;
using imgkit_test::tool;

namespace {

class FatKit : public Scratch, public ::testing::WithParamInterface<int> {
protected:
    std::string img;
    Manifest man;
    void make_filled(uint64_t seed = 42, const Profile &p = Profile::basic()) {
        img = file("vol.img");
        make_fat(img, 64 << 20, GetParam());
        man = fill(img, p, seed);
    }
};

std::set<std::string> mdir_files(const std::string &img) {
    std::set<std::string> out;
    for (const std::string &line : detail::split_lines(tool({"mdir", "-/", "-b", "-a", "-i", img, "::/"}, true))) {
        if (!detail::starts_with(line, "::/") || line.back() == '/') continue;
        std::string p = line.substr(2);
        std::replace(p.begin(), p.end(), '/', '\\');
        out.insert(p);
    }
    return out;
}

TEST_P(FatKit, FilledImageIsConsistentAndMatchesTheListing) {
    make_filled();
    EXPECT_EQ(detect_fs(img), GetParam() == 16 ? FsType::fat16 : FsType::fat32);
    EXPECT_EQ(man.fs, detect_fs(img));
    CheckResult r = check(img, man);
    EXPECT_EQ(r.code, kConsistent) << r.summary;
    EXPECT_EQ(r.files_checked, man.files.size());
    EXPECT_EQ(imgkit_test::manifest_files(man), mdir_files(img));
    // Long names are kept.
    bool long_name = false;
    for (auto &e : man.files) long_name |= e.path.find(' ') != std::string::npos;
    EXPECT_TRUE(long_name);
}

TEST_P(FatKit, CheckerCatchesDamageForTheRightReason) {
    make_filled();
    std::string victim = some_file(man, 20000);

    std::string data = copy_of(img, file("data.img"));
    corrupt_file_data(data, victim, 7);
    CheckResult r = check(data, man);
    EXPECT_EQ(r.code, kContentMismatch) << r.summary;
    EXPECT_EQ(r.files_differing, 1u);
    EXPECT_NE(r.summary.find(victim), std::string::npos) << r.summary;

    std::string fat = copy_of(img, file("fat.img"));
    int64_t lcn = clear_allocation_under_file(fat, victim);
    r = check(fat, man);
    EXPECT_EQ(r.code, kInconsistent) << r.summary;
    EXPECT_NE(r.summary.find("Contains a free cluster (" + std::to_string(lcn + 2) + ")"), std::string::npos)
        << r.summary;
    {
        detail::FatReader fr(fat);
        for (uint32_t copy = 0; copy < fr.geometry().fats; copy++) EXPECT_EQ(fr.entry(uint32_t(lcn + 2), copy), 0u);
    }

    std::string lost = copy_of(img, file("lost.img"));
    leak_clusters(lost, 4);
    r = check(lost, man);
    EXPECT_EQ(r.code, kLostClusters) << r.summary;
    EXPECT_NE(r.summary.find("4 lost clusters"), std::string::npos) << r.summary;

    // The undamaged image still passes: the copies were independent.
    EXPECT_EQ(check(img, man).code, kConsistent);
}

TEST_P(FatKit, FragmentationIsRealAndCountsAgreeWithTheFat) {
    make_filled();
    FragCounts c = count(img);
    Profile p = Profile::basic();
    EXPECT_GE(c.fragmented_files, uint64_t(p.frag_groups * p.frag_group_files));
    EXPECT_GE(c.fragmented_dirs, 1u);
    EXPECT_GT(c.free_extents, 5u);  // holes left by deletions
    detail::FatReader fr(img);
    EXPECT_EQ(c.total_clusters, fr.geometry().clusters);
    // Every chain as the kit's FAT reader follows it gives the same clusters
    // and fragments as mshowfat.
    uint64_t used = 0;
    for (const ItemCount &it : c.items) {
        if (!it.record) continue;
        std::vector<detail::Run> runs;
        uint64_t vcn = 0;
        for (uint32_t cl : fr.chain(uint32_t(it.record))) runs.push_back({vcn++, int64_t(cl) - 2, 1});
        EXPECT_EQ(runs.size(), it.clusters) << it.path;
        EXPECT_EQ(detail::count_fragments(runs), it.fragments) << it.path;
        used += it.clusters;
    }
    EXPECT_EQ(used, c.total_clusters - c.free_clusters);
    // fsck.fat's own summary: "<img>: N files, USED/TOTAL clusters".
    std::string out = tool({"fsck.fat", "-n", img});
    size_t slash = out.rfind('/');
    size_t sp = out.rfind(' ', slash);
    ASSERT_NE(slash, std::string::npos);
    EXPECT_EQ(std::stoull(out.substr(sp + 1)), c.total_clusters - c.free_clusters) << out;
}

TEST_P(FatKit, SameSeedSameFilesAndLayout) {
    make_filled(11);
    std::string other = file("again.img");
    make_fat(other, 64 << 20, GetParam());
    Manifest m2 = fill(other, Profile::basic(), 11);
    EXPECT_EQ(man.to_text(), m2.to_text());
    FragCounts a = count(img), b = count(other);
    EXPECT_EQ(format_counts(a), format_counts(b));
    ASSERT_EQ(a.items.size(), b.items.size());
    for (size_t i = 0; i < a.items.size(); i++) {
        EXPECT_EQ(a.items[i].path, b.items[i].path);
        EXPECT_EQ(a.items[i].record, b.items[i].record) << a.items[i].path;
    }
}

INSTANTIATE_TEST_SUITE_P(Imgkit, FatKit, ::testing::Values(16, 32),
                         [](const ::testing::TestParamInfo<int> &i) { return "Fat" + std::to_string(i.param); });

TEST(ImgkitFat, BadRequestsAreRefused) {
    detail::TempDir d;
    EXPECT_THROW(make_fat(d.path() + "/x.img", 64 << 20, 12), Error);
    EXPECT_THROW(make_fat(d.path() + "/x.img", 64 << 20, 16, 3000), Error);
    // Too few clusters for FAT32 at that cluster size.
    EXPECT_THROW(make_fat(d.path() + "/x.img", 8 << 20, 32, 4096), Error);
}

}  // namespace
