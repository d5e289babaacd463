// ntmachine frag against the image kit's independent count.
#include <imgkit/imgkit.h>

#include "ntmachine_support.h"
#include "tool.h"

namespace {

using namespace ntmtest;
using FragRun = ntm::frag::Run;

TEST(CountFragments, AsADefragmenterSeesThem) {
    struct Case {
        const char *name;
        std::vector<FragRun> runs;
        uint64_t want;
    } cases[] = {
        {"no runs", {}, 0},
        {"one run", {{100, 5}}, 1},
        {"continuing runs are one fragment", {{100, 5}, {105, 3}, {108, 1}}, 1},
        {"a gap starts a fragment", {{100, 5}, {106, 3}}, 2},
        {"backwards is a new fragment", {{100, 5}, {50, 5}, {55, 5}}, 2},
        {"holes do not count", {{-1, 4}, {100, 5}, {-1, 8}, {105, 2}}, 1},
        {"only holes", {{-1, 16}}, 0},
        {"a run after a hole elsewhere", {{100, 5}, {-1, 3}, {200, 1}}, 2},
        {"cluster zero is a place like any other", {{0, 1}, {1, 1}}, 1},
        {"empty runs are ignored", {{100, 0}, {100, 2}}, 1},
    };
    for (const Case &c : cases) EXPECT_EQ(ntm::frag::count_fragments(c.runs), c.want) << c.name;
}

TEST(Report, FreeSpaceExtents) {
    ntm::frag::Report r;
    r.total_clusters = 12;
    // used: 0 1 . . 4 . . . 8 . 10 .   (free: 2-3, 5-7, 9, 11)
    r.bitmap = {0x13, 0x05};
    r.count_free();
    EXPECT_EQ(r.free_clusters, 7u);
    EXPECT_EQ(r.free_extents, 4u);
    EXPECT_EQ(r.largest_free_extent, 3u);
    // Whole free and used bytes, and a last byte cut short.
    r.total_clusters = 29;
    r.bitmap = {0x00, 0xFF, 0x00, 0x10};
    r.count_free();
    EXPECT_EQ(r.free_clusters, 20u);
    EXPECT_EQ(r.free_extents, 2u);
    EXPECT_EQ(r.largest_free_extent, 12u);
}

struct Volume {
    const char *name;
    imgkit::FsType fs;
    uint64_t size;
    bool full;
    uint64_t seed;
};

void PrintTo(const Volume &v, std::ostream *os) { *os << v.name; }

class Agreement : public testing::TestWithParam<Volume> {};

void expect_agreement(const ntm::frag::Report &mine, const imgkit::FragCounts &kit) {
    EXPECT_EQ(mine.cluster_size, kit.cluster_size);
    EXPECT_EQ(mine.total_clusters, kit.total_clusters);
    EXPECT_EQ(mine.free_clusters, kit.free_clusters);
    EXPECT_EQ(mine.free_extents, kit.free_extents);
    EXPECT_EQ(mine.largest_free_extent, kit.largest_free_extent);
    EXPECT_EQ(mine.files, kit.files);
    EXPECT_EQ(mine.fragmented_files, kit.fragmented_files);
    EXPECT_EQ(mine.file_fragments, kit.file_fragments);
    EXPECT_EQ(mine.dirs, kit.dirs);
    EXPECT_EQ(mine.fragmented_dirs, kit.fragmented_dirs);
    EXPECT_EQ(mine.dir_fragments, kit.dir_fragments);
    EXPECT_EQ(mine.system_fragments, kit.system_fragments);
    EXPECT_EQ(mine.mft_fragments, kit.mft_fragments);
    EXPECT_EQ(mine.unmovable_files, kit.unmovable_files);
    // File by file, where the kit names the file the same way.
    size_t compared = 0;
    for (const auto &item : mine.items) {
        const imgkit::ItemCount *k = kit.find(item.path);
        if (!k) continue;
        ++compared;
        EXPECT_EQ(item.fragments, k->fragments) << item.path;
        EXPECT_EQ(item.clusters, k->clusters) << item.path;
    }
    EXPECT_GT(compared, mine.items.size() * 9 / 10) << "most items are found under the same path";
}

TEST_P(Agreement, FragAgreesWithTheKitsCount) {
    const Volume &v = GetParam();
    ScratchDir scratch;
    std::string image = scratch / "volume.img";
    if (v.fs == imgkit::FsType::ntfs)
        imgkit::make_ntfs(image, v.size, 4096);
    else
        imgkit::make_fat(image, v.size, v.fs == imgkit::FsType::fat32 ? 32 : 16);
    imgkit::fill(image, v.full ? imgkit::Profile::full() : imgkit::Profile::basic(), v.seed);
    fs::path machine = scratch.path() / "m";
    ASSERT_EQ(ntmachine("create " + quote(machine.string())).code, 0);
    ASSERT_EQ(ntmachine("attach " + quote(machine.string()) + " C: image " + quote(image)).code, 0);

    ntm::frag::Report mine = ntm::fragmentation(machine.string(), 'C');
    imgkit::FragCounts kit = imgkit::count(image);
    expect_agreement(mine, kit);
    EXPECT_GT(mine.fragmented_files, 0u) << "the fill fragments files";

    // The command line shows the same numbers.
    Result json = ntmachine("frag " + quote(machine.string()) + " C: --json");
    ASSERT_EQ(json.code, 0) << json.out;
    EXPECT_TRUE(contains(json.out, "\"files\": " + std::to_string(kit.files) + ",")) << json.out;
    EXPECT_TRUE(contains(json.out, "\"free_extents\": " + std::to_string(kit.free_extents) + ",")) << json.out;
    Result text = ntmachine("frag " + quote(machine.string()) + " c:");
    ASSERT_EQ(text.code, 0) << text.out;
    EXPECT_TRUE(contains(text.out, "Files          " + std::to_string(kit.files) + ", fragmented " +
                                       std::to_string(kit.fragmented_files)))
        << text.out;
    EXPECT_TRUE(contains(text.out, "Most fragmented files:")) << text.out;
}

INSTANTIATE_TEST_SUITE_P(Images, Agreement,
                         testing::Values(Volume{"ntfs_basic", imgkit::FsType::ntfs, 16 << 20, false, 11},
                                         Volume{"ntfs_full", imgkit::FsType::ntfs, 64 << 20, true, 12},
                                         Volume{"fat16_basic", imgkit::FsType::fat16, 32 << 20, false, 13},
                                         Volume{"fat32_basic", imgkit::FsType::fat32, 64 << 20, false, 14}),
                         [](const testing::TestParamInfo<Volume> &i) { return std::string(i.param.name); });

TEST(Frag, VolumeAtAnOffsetInsideItsImage) {
    ScratchDir scratch;
    std::string plain = scratch / "plain.img";
    imgkit::make_fat(plain, 32 << 20, 16);
    imgkit::fill(plain, imgkit::Profile::basic(), 21);
    {
        std::ofstream whole(scratch / "disk.img", std::ios::binary);
        whole << std::string(1 << 20, '\0') << read_file(plain);
    }
    fs::path machine = scratch.path() / "m";
    ASSERT_EQ(ntmachine("create " + quote(machine.string())).code, 0);
    ASSERT_EQ(ntmachine("attach " + quote(machine.string()) + " E: image " + quote(scratch / "disk.img@1048576")).code,
              0);
    ntm::frag::Report mine = ntm::fragmentation(machine.string(), 'E');
    EXPECT_EQ(mine.fs, "FAT16");
    expect_agreement(mine, imgkit::count(plain));
}

TEST(Frag, OnlyNtfsAndFatVolumes) {
    ScratchDir scratch;
    fs::path machine = scratch.path() / "m";
    std::string m = quote(machine.string());
    ASSERT_EQ(ntmachine("create " + m).code, 0);
    std::ofstream(scratch / "zero.img").write(std::string(1 << 20, '\0').data(), 1 << 20);
    fs::create_directories(scratch.path() / "logs");
    ASSERT_EQ(ntmachine("attach " + m + " R: image " + quote(scratch / "zero.img")).code, 0);
    ASSERT_EQ(ntmachine("attach " + m + " A: folder " + quote(scratch / "logs")).code, 0);
    Result raw = ntmachine("frag " + m + " R:");
    EXPECT_EQ(raw.code, 1);
    EXPECT_TRUE(contains(raw.out, "not an NTFS or FAT volume")) << raw.out;
    Result folder = ntmachine("frag " + m + " A:");
    EXPECT_EQ(folder.code, 1);
    EXPECT_TRUE(contains(folder.out, "host folder")) << folder.out;
    Result missing = ntmachine("frag " + m + " Q:");
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(contains(missing.out, "has no drive Q:")) << missing.out;

    // A FAT boot sector whose numbers do not fit together.
    std::string bad = scratch / "bad.img";
    imgkit::make_fat(bad, 32 << 20, 16);
    {
        std::fstream f(bad, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(13);
        f.put('\0');  // sectors per cluster 0
    }
    ASSERT_EQ(ntmachine("attach " + m + " B: image " + quote(bad)).code, 0);
    Result corrupt = ntmachine("frag " + m + " B:");
    EXPECT_EQ(corrupt.code, 1);
    EXPECT_TRUE(contains(corrupt.out, "B:")) << corrupt.out;
}

}  // namespace
