// ntmachine frag --why against what the program did: volumes made so that
// files stay fragmented for known reasons, a run at log level 4, and the
// reasons compared with the run's log (the files it excluded, the files it
// passed over for their streams, the files it moved).
#include <imgkit/imgkit.h>

#include <functional>
#include <set>

#include "ntmachine_craft_support.h"
#include "ntmachine_support.h"
#include "tool.h"
#include "why.h"

namespace {

using namespace ntmtest;
namespace frag = ntm::frag;

// The run's log (UTF-16 little-endian) as text; characters beyond ASCII
// become '?'.
std::string read_log(const fs::path &path) {
    std::string raw = read_file(path), text;
    for (size_t i = 2; i + 1 < raw.size(); i += 2) {
        unsigned c = uint8_t(raw[i]) | uint8_t(raw[i + 1]) << 8;
        if (c != '\r') text += c < 0x80 ? char(c) : '?';
    }
    return text;
}

const frag::Item *find_item(const frag::Report &r, const std::string &path) {
    for (const frag::Item &i : r.items)
        if (i.path == path) return &i;
    return nullptr;
}

struct Expected {
    std::string keywords;                                     // besides FILES=FULL LEV=4 LOG=
    std::vector<std::pair<std::string, std::string>> expect;  // path -> reason after the run
    std::vector<std::string> defragmented;                    // paths fragmented before the run and not after
};

struct Scene {
    const char *name;
    // Makes the volume; from the report before the run, what to expect.
    std::function<void(const std::string &image)> make;
    std::function<Expected(const frag::Report &before)> setup;
};
void PrintTo(const Scene &s, std::ostream *os) { *os << s.name; }

class Why : public testing::TestWithParam<Scene> {};

TEST_P(Why, ReasonsAgreeWithTheRun) {
    ScratchDir scratch;
    std::string image = scratch / "volume.img", dir = scratch / "m";
    GetParam().make(image);
    fs::create_directories(scratch.path() / "logs");
    ASSERT_EQ(ntmachine("create " + quote(dir)).code, 0);
    ASSERT_EQ(ntmachine("attach " + quote(dir) + " C: image " + quote(image)).code, 0);
    ASSERT_EQ(ntmachine("attach " + quote(dir) + " A: folder " + quote(scratch / "logs")).code, 0);
    frag::Report before = ntm::fragmentation(dir, 'C');
    Expected setup = GetParam().setup(before);
    ASSERT_FALSE(setup.expect.empty());
    for (const auto &[path, reason] : setup.expect) {
        const frag::Item *i = find_item(before, path);
        ASSERT_TRUE(i && i->fragments > 1) << path << " must be fragmented before the run";
    }
    std::string keywords = "FILES=FULL LEV=4 LOG=A:\\run.log " + setup.keywords;
    std::string args;
    for (const std::string &word : ntm::split_blanks(keywords)) args += " " + quote(word);
    Result scheduled = ntmachine("schedule " + quote(dir) + " C:" + args);
    ASSERT_EQ(scheduled.code, 0) << scheduled.out;
    Result boot = ntmachine("boot " + quote(dir) + " --fast");
    ASSERT_EQ(boot.code, 0) << boot.out;
    std::string log = read_log(scratch.path() / "logs" / "RUN.LOG");  // the keywords are upper-cased
    ASSERT_TRUE(contains(log, "Gathering Partition Data")) << log;

    frag::Report after = ntm::fragmentation(dir, 'C');
    std::vector<ntm::why::Verdict> verdicts = ntm::why::explain(after, 'C', ntm::why::parse_run(keywords, true));
    size_t fragmented = 0;
    for (const frag::Item &i : after.items) fragmented += i.fragments > 1;
    EXPECT_EQ(verdicts.size(), fragmented) << "each fragmented item has one reason";
    std::set<std::string> seen;
    std::map<std::string, std::string> reasons;
    for (const auto &v : verdicts) {
        EXPECT_TRUE(seen.insert(v.item->path).second) << v.item->path << " listed twice";
        reasons[v.item->path] = v.key;
        std::string path = "C:" + v.item->path;
        // Whatever the reason, the program found no place for the item: it
        // never got as far as a move.
        EXPECT_NE(v.limit, ntm::why::Limit::Unknown) << path << ": " << v.text;
        EXPECT_FALSE(contains(log, "Name=" + path + ",")) << path << " (" << v.key << ") was moved";
        bool excluded = v.key == "excluded" || v.key == "excluded-by-run";
        EXPECT_EQ(contains(log, "Excluding " + path + "\n"), excluded) << path << ": " << v.key;
        bool sfm = contains(
            log, "Skipping SFM file (multiple data streams in FRS): (FRN=" + std::to_string(v.item->record) + ")");
        EXPECT_EQ(sfm, v.key == "streams-in-several-records") << path << ": " << v.key;
    }
    for (const auto &[path, reason] : setup.expect) EXPECT_EQ(reasons[path], reason) << path;
    for (const std::string &path : setup.defragmented) {
        EXPECT_EQ(reasons.count(path), 0u) << path << ": " << reasons[path];
        EXPECT_TRUE(contains(log, "Name=C:" + path + ",")) << path;
    }

    // The command shows the same reasons.
    Result text = ntmachine("frag " + quote(dir) + " C: --why");
    ASSERT_EQ(text.code, 0) << text.out;
    EXPECT_TRUE(contains(text.out, "the last run scheduled on C:")) << text.out;
    for (const auto &v : verdicts)
        EXPECT_TRUE(contains(text.out, "[" + std::string(ntm::why::limit_name(v.limit)) + "] " + v.item->path + " (" +
                                           std::to_string(v.item->fragments) + " fragments"))
            << v.item->path << "\n"
            << text.out;
}

// The path's last part as a pattern: "*\" and the name with '?' for blanks.
std::string pattern_for(const std::string &path) {
    std::string name = path.substr(path.rfind('\\'));
    for (char &c : name)
        if (c == ' ') c = '?';
    return "*" + name;
}

// The kit's full file set, and a named stream added to its two files whose
// data needs several records: one keeps the stream in the base record
// beside the first piece of its data (passed over), the other's data lies
// in extension records only (moved). One other fragmented file is excluded
// with EX=; the sparse file, the MFT and the directories stay as they are.
void kit_make(const std::string &image) {
    imgkit::make_ntfs(image, 64 << 20, 4096);
    imgkit::Manifest m = imgkit::fill(image, imgkit::Profile::full(), 41);
    craft::Ntfs v(image);
    for (const auto &f : m.files)
        if (contains(f.path, "Fragmented Mailbox") || contains(f.path, "Very Fragmented Database"))
            v.write(imgkit::posix_path(f.path).substr(1), 0, 100, "Summary");
}

Expected kit_expect(const frag::Report &before) {
    Expected e;
    const frag::Item *excluded = nullptr;
    for (const frag::Item &i : before.items) {
        if (i.fragments < 2) continue;
        if (i.why == "sparse") e.expect.push_back({i.path, "sparse"});
        if (i.kind == frag::Item::Unmovable && i.attribute_list)
            e.expect.push_back({i.path, "streams-in-several-records"});
        if (i.kind != frag::Item::File) continue;
        if (excluded || i.attribute_list)
            e.defragmented.push_back(i.path);
        else
            excluded = &i;
    }
    if (excluded) {
        e.keywords = "EX=" + pattern_for(excluded->path);
        e.expect.push_back({excluded->path, "excluded-by-run"});
    }
    e.expect.push_back({"\\$MFT", "system"});
    return e;
}

// Two files grown in turn (the kit's interleaved appends), then the free
// space filled up to kLeftFree clusters: neither fits in what is left.
constexpr uint64_t kLeftFree = 80;

void full_make(const std::string &image) {
    imgkit::make_ntfs(image, 16 << 20, 4096);
    imgkit::Profile p;
    p.dirs = 1;
    p.small_files = p.large_files = p.deleted_files = p.big_dir_entries = p.frag_dirs = 0;
    p.frag_groups = 1;
    p.frag_group_files = 2;
    p.frag_rounds = 14;
    p.frag_chunk_clusters = 40;
    p.compressed_file = p.sparse_file = p.named_stream = false;
    imgkit::fill(image, p, 51);
    uint64_t free = imgkit::count(image).free_clusters;
    craft::Ntfs v(image);
    // libntfs-3g gives up short of the last clusters: grow the filler while it can.
    for (uint64_t at = 0; at + 16 <= free - kLeftFree; at += 16) {
        try {
            v.write("Fill.bin", at * v.cluster_size(), 16 * v.cluster_size());
        } catch (const std::runtime_error &) {
            break;
        }
    }
}

// With DIRS=NONE the files that need more clusters than are free stay for
// want of room; with DIRS=FREE nothing moves, as the directories and
// attributes have no area either.
Expected full_expect(const frag::Report &before, const char *dirs, const char *reason) {
    Expected e;
    e.keywords = dirs;
    for (const frag::Item &i : before.items)
        if (i.kind == frag::Item::File && i.fragments > 1 && i.clusters > before.free_clusters)
            e.expect.push_back({i.path, reason});
    return e;
}

const Scene kScenes[] = {
    {"kit_full", kit_make, kit_expect},
    {"no_free_run_long_enough", full_make,
     [](const frag::Report &before) { return full_expect(before, "DIRS=NONE", "no-room"); }},
    {"no_directory_area", full_make,
     [](const frag::Report &before) { return full_expect(before, "DIRS=FREE", "no-directory-area"); }},
};

INSTANTIATE_TEST_SUITE_P(Volumes, Why, testing::ValuesIn(kScenes),
                         [](const testing::TestParamInfo<Scene> &i) { return std::string(i.param.name); });

}  // namespace
