// Full FAT runs on machines made with the machine tool: a kit image
// (mkfs.fat, filled and fragmented through mtools, with long names, a deep
// tree and fragmented directories) is scheduled with FILES=FULL and each
// DIRS= mode, or with the drive alone, and booted, then booted once more.
// The volume is judged by tools nobody here wrote: fsck.fat -n, every
// manifest file's content through mcopy, every directory listing through
// mdir, the chains mshowfat shows for every entry, and fragments counted by
// the machine tool.
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "e2e_support.h"
#include "mtools.h"

using namespace e2e;

namespace {

struct FatCase {
    int bits;
    uint64_t megabytes;
    uint32_t cluster;
    const char *keywords;  // "" : the drive alone
};
void PrintTo(const FatCase &c, std::ostream *os) {
    *os << "FAT" << c.bits << ", " << c.megabytes << " MiB, " << c.cluster << "-byte clusters, \"" << c.keywords
        << "\"";
}

class FatRun : public testing::Test {
protected:
    // A volume filled with the kit's full profile and what the FAT side
    // adds: a tree 20 levels deep, empty directories, names of every kind.
    void Make(int bits, uint64_t megabytes, uint32_t cluster, uint64_t seed,
              const std::function<void(imgkit::Profile &)> &adjust = nullptr) {
        image_ = dir_.file("c.img");
        imgkit::make_fat(image_, megabytes << 20, bits, cluster, "E2E");
        imgkit::Profile profile = imgkit::Profile::full();
        profile.deep_dirs = 20;
        profile.empty_dirs = 3;
        profile.name_variety = true;
        if (adjust) adjust(profile);
        manifest_ = imgkit::fill(image_, profile, seed);
        machine_ = dir_.file("m");
        Tool("create " + Quote(machine_));
        Tool("attach " + Quote(machine_) + " C: image " + Quote(image_));
        listing_ = mtools::Listing(image_);
        ASSERT_FALSE(listing_.empty());
    }
    // The machine tool; the test fails when it does.
    std::string Tool(const std::string &arguments, const std::string &environment = "") {
        int rc = -1;
        std::string out = Shell(environment + " " + Quote(NTMACHINE) + " " + arguments, &rc);
        EXPECT_EQ(rc, 0) << "ntmachine " << arguments << ":\n" << out;
        return out;
    }
    int64_t Fragmented() { return JsonNumber(Tool("frag " + Quote(machine_) + " C: --json"), "fragmented_files"); }
    // Schedules a run with these keywords, boots, and returns the screen.
    std::string ScheduleAndBoot(const std::string &keywords, const std::string &environment = "") {
        std::string quoted;
        std::istringstream words(keywords);
        for (std::string k; words >> k;) quoted += " " + Quote(k);
        Tool("schedule " + Quote(machine_) + " C:" + quoted);
        return Tool("boot " + Quote(machine_) + " --fast", "NT_TIME_SCALE=0 " + environment);
    }
    // fsck.fat -n finds nothing, every file reads back with its content and
    // every directory lists as before.
    void ExpectSound(const std::string &when) {
        imgkit::CheckResult r = imgkit::check(image_, manifest_);
        EXPECT_EQ(r.code, imgkit::kConsistent) << when << ": " << r.summary;
        EXPECT_EQ(r.files_checked, manifest_.files.size()) << when;
        EXPECT_EQ(Visible(mtools::Listing(image_)), Visible(listing_)) << when << ": every directory lists as before";
    }
    // A listing without the lines naming `unlisted_` in any letter case (a
    // file the run may rewrite) and the byte totals its size is part of.
    std::string Visible(const std::string &listing) const {
        if (unlisted_.empty()) return listing;
        std::string out, line;
        std::istringstream lines(listing);
        while (std::getline(lines, line)) {
            std::string lower = line;
            std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
            bool total = lower.find(" files ") != std::string::npos && lower.find(" bytes") != std::string::npos;
            if (lower.find(unlisted_) == std::string::npos && !total) out += line + "\n";
        }
        return out;
    }

    imgkit::ScratchDir dir_;
    std::string image_, machine_, listing_, unlisted_;
    imgkit::Manifest manifest_;
};

// The directory trees of the root as mshowfat shows them: for each
// top-level directory, its directories in pre-order (a directory's
// subdirectories in the order its entries stand), each with its extents.
using Tree = std::vector<imgkit::FatEntry>;
std::vector<Tree> TopLevelTrees(const std::string &image) {
    std::vector<imgkit::FatEntry> entries = imgkit::fat_entries(image);
    std::map<std::string, std::vector<const imgkit::FatEntry *>> children;
    std::vector<const imgkit::FatEntry *> tops;
    for (const imgkit::FatEntry &e : entries) {
        if (!e.directory || e.path == "\\") continue;
        size_t slash = e.path.rfind('\\');
        (slash == 0 ? tops : children[e.path.substr(0, slash)]).push_back(&e);
    }
    std::vector<Tree> trees;
    std::function<void(const imgkit::FatEntry *, Tree *)> walk = [&](const imgkit::FatEntry *e, Tree *t) {
        t->push_back(*e);
        for (const imgkit::FatEntry *c : children[e->path]) walk(c, t);
    };
    for (const imgkit::FatEntry *top : tops) {
        trees.emplace_back();
        walk(top, &trees.back());
    }
    return trees;
}

// Every tree with clusters lies in one piece, its directories one after the
// other in pre-order, starting inside [first, last].
void ExpectTreesPacked(const std::string &image, int64_t first, int64_t last) {
    int packed = 0;
    for (const Tree &t : TopLevelTrees(image)) {
        int64_t next = -1, start = -1;
        for (const imgkit::FatEntry &d : t) {
            if (d.extents.empty()) continue;
            EXPECT_EQ(d.extents.size(), 1u) << d.path << " is in one piece";
            if (start < 0) start = d.extents[0].lcn;
            if (next >= 0) {
                EXPECT_EQ(d.extents[0].lcn, next) << d.path << " follows the directory before it";
            }
            next = d.extents.back().lcn + d.extents.back().length;
        }
        if (start < 0) continue;
        EXPECT_GE(start, first) << t[0].path;
        EXPECT_LE(start, last) << t[0].path;
        packed++;
    }
    EXPECT_GT(packed, 1);
}

class FatFullRun : public FatRun, public testing::WithParamInterface<FatCase> {};

// The acceptance run: the volume stays sound, every file keeps its content
// and every directory its listing, the fragmented files fall by at least
// 90% under FILES=FULL, the trees are packed into the announced area, and a
// second run leaves the volume as sound.
TEST_P(FatFullRun, DefragmentsAndKeepsTheVolumeSound) {
    const FatCase &c = GetParam();
    Make(c.bits, c.megabytes, c.cluster, 40 + c.cluster);
    bool files = std::string(c.keywords).find("FILES=FULL") != std::string::npos;
    bool dirs = std::string(c.keywords).find("DIRS=NONE") == std::string::npos;
    int64_t before = Fragmented();
    ASSERT_GT(before, 5);
    std::string screen = ScheduleAndBoot(c.keywords);
    ASSERT_TRUE(screen.find("Tesserin boot-time processing completed.") != std::string::npos) << screen;
    ExpectSound("after the run");
    int64_t after = Fragmented();
    if (files) {
        EXPECT_LE(after * 10, before) << "fragmented files " << before << " -> " << after;
    } else {
        EXPECT_EQ(after, before) << "without FILES=FULL the files stay";
    }
    std::smatch m;
    bool announced =
        std::regex_search(screen, m, std::regex("Directory target area is LCNs 0x([0-9a-f]+)-0x([0-9a-f]+)"));
    EXPECT_EQ(announced, dirs);
    if (dirs && announced) ExpectTreesPacked(image_, std::stoll(m[1], nullptr, 16), std::stoll(m[2], nullptr, 16));

    ScheduleAndBoot(c.keywords);
    ExpectSound("after a second run");
    if (files) {
        EXPECT_LE(Fragmented(), after);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, FatFullRun,
    testing::Values(FatCase{16, 16, 512, "FILES=FULL DIRS=NONE"}, FatCase{16, 32, 2048, "FILES=FULL DIRS=FREE"},
                    FatCase{16, 64, 8192, "FILES=FULL DIRS=ZERO"}, FatCase{32, 40, 512, "FILES=FULL DIRS=MFTZ"},
                    FatCase{32, 80, 1024, "FILES=FULL DIRS=MFTM"}, FatCase{32, 40, 512, ""}, FatCase{16, 32, 2048, ""}),
    [](const testing::TestParamInfo<FatCase> &i) {
        std::string name = "Fat" + std::to_string(i.param.bits) + "_" + std::to_string(i.param.cluster) + "_";
        std::string k = i.param.keywords;
        if (k.empty()) return name + "DriveOnly";
        return name + "Dirs" + k.substr(k.find("DIRS=") + 5);
    });

// NOMOVE walks every stage (the three directory walks of DIRS=MFTZ and the
// five file stages), reports no move and writes nothing raw; DIRS=NONE with
// FILES=NONE runs only the gathering stage and the report.
TEST_F(FatRun, NomoveAndNothingAskedForWriteNothing) {
    Make(32, 40, 512, 71);
    struct Expect {
        const char *keywords;
        int banners;
    } runs[] = {{"DIRS=MFTZ FILES=FULL NOMOVE", 8}, {"DIRS=NONE FILES=NONE", 1}};
    for (const Expect &e : runs) {
        std::string log = dir_.file("writes.log");
        std::string screen = ScheduleAndBoot(e.keywords, "NT_WRITE_LOG=" + Quote(log));
        std::ifstream in(log);
        std::string writes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(writes, "") << e.keywords;
        int banners = 0;
        for (const std::string &l : ScreenLines(screen)) {
            banners += l.rfind("*** STAGE ", 0) == 0;
            if (l.rfind("Moved ", 0) == 0) {
                EXPECT_EQ(l.rfind("Moved 0 ", 0), 0u) << e.keywords << ": " << l;
            }
            EXPECT_EQ(l.find(" Moved: ..."), std::string::npos) << e.keywords << ": " << l;
        }
        EXPECT_EQ(banners, e.banners) << e.keywords << "\n" << screen;
        EXPECT_TRUE(screen.find("Tesserin boot-time processing completed.") != std::string::npos) << screen;
        ExpectSound(e.keywords);
    }
}

// A volume without subdirectories ends after the gathering stage.
TEST_F(FatRun, NoSubdirectoriesQuitsAfterGathering) {
    Make(16, 16, 2048, 72, [](imgkit::Profile &p) {
        p = imgkit::Profile::basic();
        p.dirs = p.frag_dirs = p.big_dir_entries = 0;
    });
    std::string screen = ScheduleAndBoot("FILES=FULL DIRS=FREE");
    EXPECT_TRUE(screen.find("No files found or no directories found. Quitting now.\n") != std::string::npos) << screen;
    EXPECT_EQ(screen.find("*** STAGE 2 ***"), std::string::npos) << screen;
    ExpectSound("after the run");
}

// The paging-file stages on a registered paging file in many pieces.
// PAGE=MIN: the file stages it implies leave the paging file alone, and the
// minimisation stage after them moves it, content and all, into one free
// run. PAGE=PLACE with FILES=FULL: setup recreates it as the placeholder,
// the first check moves it to the start of the zone at the end of the
// volume (its registry maximum and one megabyte more) with room behind it,
// and its path then joins the exclusions: the file stages that follow,
// which would otherwise pull a file from the last zone toward the front,
// leave it there.
TEST_F(FatRun, PagingFileIsMinimisedOrPlacedAndThenLeftAlone) {
    Make(16, 16, 4096, 151, [](imgkit::Profile &p) {
        p = imgkit::Profile::basic();
        p.paging_file_fragments = 4;
    });
    Tool("pagefile " + Quote(machine_) + " C: pagefile.sys 1 4");
    const std::string original = dir_.file("original.img");
    imgkit::copy_image(image_, original);
    auto pieces = [&] { return imgkit::file_extents(image_, "\\pagefile.sys"); };
    ASSERT_GT(pieces().size(), 3u);

    std::string screen = ScheduleAndBoot("PAGE=MIN");
    size_t stage = screen.find("*** Minimizing Paging File Fragmentation");
    ASSERT_NE(stage, std::string::npos) << screen;
    EXPECT_LT(screen.rfind("Defragmenting Files and Consolidating Free Space"), stage);
    EXPECT_EQ(screen.find("file (PAGEFILE.SYS)"), screen.find("file (PAGEFILE.SYS)", stage)) << "moved once, there";
    EXPECT_NE(screen.find("Moved 1 files during paging file fragment minimization", stage), std::string::npos);
    EXPECT_EQ(pieces().size(), 1u);
    ExpectSound("after PAGE=MIN");

    imgkit::copy_image(original, image_);
    std::erase_if(manifest_.files, [](const imgkit::ManifestEntry &f) { return f.path == "\\pagefile.sys"; });
    unlisted_ = "pagefile";  // the placeholder setup makes in its place
    screen = ScheduleAndBoot("PAGE=PLACE FILES=FULL");
    size_t placed = screen.find("Paging File Determined to be placed properly");
    ASSERT_NE(placed, std::string::npos) << screen;
    EXPECT_NE(screen.find("*** STAGE 7 *** Defragmenting Files and Consolidating Free Space", placed),
              std::string::npos)
        << "the file stages asked for run after the placement";
    int64_t total = JsonNumber(Tool("frag " + Quote(machine_) + " C: --json"), "total_clusters");
    int64_t start = total - (4 + 1) * 1048576 / 4096;
    std::vector<imgkit::Extent> at = pieces();
    ASSERT_EQ(at.size(), 1u);
    EXPECT_EQ(at[0].lcn, start) << "at the zone start, after every file stage";
    ExpectSound("after PAGE=PLACE");
}

}  // namespace
