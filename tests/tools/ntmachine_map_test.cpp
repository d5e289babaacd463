// ntmachine map: the picture read back against the counts, and maps before
// and after a run.
#include <cairo.h>
#include <imgkit/imgkit.h>

#include <functional>
#include <regex>

#include "map.h"
#include "ntmachine_craft_support.h"
#include "ntmachine_support.h"
#include "tool.h"

namespace {

using namespace ntmtest;
namespace frag = ntm::frag;

// The class of every cell of a map, from the colour of its centre; -1 for a
// colour of no class.
std::vector<int> cell_classes(const std::string &png, const ntm::map::Layout &l) {
    cairo_surface_t *s = cairo_image_surface_create_from_png(png.c_str());
    std::vector<int> out;
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
        const uint8_t *data = cairo_image_surface_get_data(s);
        int stride = cairo_image_surface_get_stride(s), height = cairo_image_surface_get_height(s);
        for (uint64_t i = 0; i < l.cells; ++i) {
            int x = l.grid_x + int(i % l.columns) * l.cell + (l.cell - l.gap) / 2;
            int y = l.grid_y + int(i / l.columns) * l.cell + (l.cell - l.gap) / 2;
            if (y >= height) return out;
            uint32_t px = *reinterpret_cast<const uint32_t *>(data + y * stride + x * 4);
            int cls = -1;
            for (int c = 0; c < frag::kClassCount; ++c) {
                ntm::map::Rgb rgb = ntm::map::colour(c);
                if ((px & 0xFFFFFF) == (uint32_t(rgb.r) << 16 | uint32_t(rgb.g) << 8 | rgb.b)) cls = c;
            }
            out.push_back(cls);
        }
    }
    cairo_surface_destroy(s);
    return out;
}

uint64_t json_number(const std::string &json, const std::string &key) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + key + "\": ([0-9]+)"))) return ~0ull;
    return std::stoull(m[1]);
}

struct Machine {
    ScratchDir scratch;
    std::string dir = scratch / "m";
    std::string image = scratch / "volume.img";
    void attach() {
        fs::create_directories(scratch.path() / "logs");
        ASSERT_EQ(ntmachine("create " + quote(dir)).code, 0);
        ASSERT_EQ(ntmachine("attach " + quote(dir) + " C: image " + quote(image)).code, 0);
        ASSERT_EQ(ntmachine("attach " + quote(dir) + " A: folder " + quote(scratch / "logs")).code, 0);
    }
    std::vector<int> map(const std::string &png, int width, ntm::map::Layout *l) {
        Result r = ntmachine("map " + quote(dir) + " C: --png " + quote(png) + " --width " + std::to_string(width));
        EXPECT_EQ(r.code, 0) << r.out;
        *l = ntm::map::layout(ntm::fragmentation(dir, 'C').total_clusters, width);
        return cell_classes(png, *l);
    }
};

// Volumes whose classes lie in large contiguous regions.
struct Layered {
    const char *name;
    std::function<void(const std::string &image)> make;
};
void PrintTo(const Layered &v, std::ostream *os) { *os << v.name; }

class MapCells : public testing::TestWithParam<Layered> {};

TEST_P(MapCells, ColoursMatchTheClusterCounts) {
    Machine m;
    GetParam().make(m.image);
    m.attach();
    ASSERT_EQ(ntmachine("pagefile " + quote(m.dir) + " C: pagefile.sys 4 4").code, 0);
    ntm::map::Layout l;
    std::vector<int> cells = m.map(m.scratch / "map.png", 1024, &l);
    ASSERT_EQ(cells.size(), l.cells);
    Result json = ntmachine("frag " + quote(m.dir) + " C: --json");
    ASSERT_EQ(json.code, 0) << json.out;
    uint64_t total = json_number(json.out, "total_clusters");
    std::array<uint64_t, frag::kClassCount> counted{}, shown{};
    for (int c = 0; c < frag::kClassCount; ++c) counted[c] = json_number(json.out, frag::class_key(c));
    for (int c : cells) {
        ASSERT_GE(c, 0) << "a cell of no class's colour";
        shown[c] += l.per_cell;
    }
    for (int c = 0; c < frag::kClassCount; ++c) {
        double diff = std::abs(double(shown[c]) - double(counted[c]));
        EXPECT_LE(diff, total / 100.0) << frag::class_key(c) << ": " << shown[c] << " shown, " << counted[c];
        if (counted[c] >= total / 10) {
            EXPECT_LE(diff, counted[c] / 100.0) << frag::class_key(c);
        }
    }
    // The counts against the image kit's own reading.
    imgkit::FragCounts kit = imgkit::count(m.image);
    uint64_t fileClusters = 0;
    for (const auto &i : kit.items)
        if (i.kind == imgkit::ItemCount::file) fileClusters += i.clusters;
    EXPECT_EQ(counted[frag::kFree] + counted[frag::kMftZone], kit.free_clusters);
    EXPECT_EQ(counted[frag::kContiguous] + counted[frag::kFragmented] + counted[frag::kPaging], fileClusters);
    EXPECT_EQ(counted[frag::kPaging], (4u << 20) / kit.cluster_size);
    EXPECT_EQ(counted[frag::kOther], 0u);
    EXPECT_GT(counted[frag::kMftZone], total / 20) << "mkntfs keeps an eighth of the volume for the MFT";
}

// A big contiguous file and two big files grown in turn on 32 MiB; a fresh
// 1 TiB volume (sparse image) with one big file.
INSTANTIATE_TEST_SUITE_P(Volumes, MapCells,
                         testing::Values(Layered{"ntfs_32mib",
                                                 [](const std::string &image) {
                                                     imgkit::make_ntfs(image, 32 << 20, 4096);
                                                     craft::Ntfs v(image);
                                                     v.write("Contiguous.bin", 0, 6 << 20);
                                                     v.grow_in_turn({"First.bin", "Second.bin"}, 512, 3);
                                                 }},
                                         Layered{"ntfs_1tib",
                                                 [](const std::string &image) {
                                                     imgkit::make_ntfs(image, 1ull << 40, 4096);
                                                     craft::Ntfs v(image);
                                                     v.write("Contiguous.bin", 0, 64 << 20);
                                                 }}),
                         [](const testing::TestParamInfo<Layered> &i) { return std::string(i.param.name); });

TEST(Map, BeforeAndAfterARunDifferWhereItMovedThings) {
    Machine m;
    imgkit::make_ntfs(m.image, 16 << 20, 4096);
    imgkit::fill(m.image, imgkit::Profile::basic(), 31);
    m.attach();
    ASSERT_EQ(ntmachine("schedule " + quote(m.dir) + " C: FILES=FULL").code, 0);
    frag::Report before = ntm::fragmentation(m.dir, 'C');
    ntm::map::Layout l;
    std::vector<int> a = m.map(m.scratch / "before.png", 1024, &l);
    Result boot = ntmachine("boot " + quote(m.dir) + " --fast");
    ASSERT_EQ(boot.code, 0) << boot.out;
    frag::Report after = ntm::fragmentation(m.dir, 'C');
    std::vector<int> b = m.map(m.scratch / "after.png", 1024, &l);
    ASSERT_EQ(a.size(), b.size());

    // The clusters of every item whose runs the run changed, before and after.
    std::map<uint64_t, const frag::Item *> old;
    for (const frag::Item &i : before.items) old[i.record] = &i;
    std::vector<bool> touched(l.cells, false);
    auto mark = [&](const std::vector<frag::Run> &runs) {
        for (const auto &run : runs) {
            if (run.lcn < 0) continue;
            uint64_t first = uint64_t(run.lcn), end = first + run.length;
            for (uint64_t c = first / l.per_cell; c * l.per_cell < end; ++c) touched[c] = true;
        }
    };
    auto same = [](const std::vector<frag::Run> &x, const std::vector<frag::Run> &y) {
        return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin(), [](const auto &p, const auto &q) {
                   return p.lcn == q.lcn && p.length == q.length;
               });
    };
    // Items are matched by record; the directory and attribute stages move
    // the other attributes too.
    size_t moved = 0;
    for (const frag::Item &i : after.items) {
        auto it = old.find(i.record);
        if (it != old.end() && same(it->second->runs, i.runs) && same(it->second->other_runs, i.other_runs)) continue;
        ++moved;
        mark(i.runs);
        mark(i.other_runs);
        if (it == old.end()) continue;
        mark(it->second->runs);
        mark(it->second->other_runs);
    }
    if (!same(before.metadata_runs, after.metadata_runs)) {
        mark(before.metadata_runs);
        mark(after.metadata_runs);
    }
    EXPECT_GT(moved, 5u);
    size_t changed = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        ++changed;
        EXPECT_TRUE(touched[i]) << "cell " << i << " changed from " << a[i] << " to " << b[i] << " where nothing moved";
    }
    EXPECT_GT(changed, 10u);
    EXPECT_EQ(std::count(b.begin(), b.end(), int(frag::kFragmented)), 0) << "the run leaves no fragmented file";
}

}  // namespace
