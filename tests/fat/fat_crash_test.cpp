// Crash consistency of the FAT movers, the way a power cut would test them:
// a move (a fragmented file in the FAT16 root, one in a FAT32 subdirectory
// taken above cluster 65,536, a directory tree three levels deep in the
// FAT32 root, one in a FAT16 subdirectory) is run
// once with its raw writes logged to count them, then once per write on a
// fresh copy of the volume, stopped by the platform in place of that write
// (NT_FAIL_WRITE_AT). After every stop every file reads back (mcopy) with
// its content, every directory lists as before (mdir) and fsck.fat finds at
// most lost clusters. A stop between two FAT copy writes leaves the copies
// different; there they may differ only in entries of the chains the move
// writes or frees, and each copy, taken as the FAT, must be sound but for
// lost clusters. Then a run of the whole stage driver on the stopped volume
// completes and leaves it sound but for lost clusters, the copies in step.
// Every move and run is a child process of the test, as a boot would be.
#include <fstream>
#include <memory>
#include <stdexcept>

#include "fat_test_support.h"
#include "frame_support.h"
#include "internal.h"

namespace {

using fattest::Fsck;
using fattest::FsckFacts;
using fattest::Listing;

enum class Mover { File, Tree };

struct CrashCase {
    const char *name;
    int bits;
    uint32_t cluster;
    int fats;
    uint64_t megabytes;
    Mover mover;
    bool inRoot;            // the entry lies in the root (else in a subdirectory)
    LONGLONG lowestTarget;  // the destination lies at or above this LCN
};
void PrintTo(const CrashCase &c, std::ostream *os) { *os << c.name; }

// What the counting run chose: the entry, its destination and the clusters
// the move writes or frees.
struct Plan {
    std::string path;
    LONGLONG destination = -1, clusters = 0;
    std::set<uint64_t> chains;  // cluster numbers of the old chains and the new one
};

// The base image and a machine whose drive C: is the work copy of it.
struct Bench {
    imgkit::ScratchDir scratch;
    std::string base, work, other, log, plan;
    imgkit::Manifest manifest;
    std::string listing;
    std::unique_ptr<frametest::Machine> machine;

    explicit Bench(const CrashCase &c) {
        base = scratch.file("base.img");
        work = scratch.file("c.img");
        other = scratch.file("other.img");
        log = scratch.file("writes.log");
        plan = scratch.file("plan.txt");
        imgkit::make_fat(base, c.megabytes << 20, c.bits, c.cluster, "IMGKIT", c.fats);
        imgkit::Profile profile = imgkit::Profile::basic();
        profile.deep_dirs = c.inRoot ? 3 : 4;  // "Level 01" holds three levels; "LEVEL02" below it too
        profile.paging_file_fragments = 3;     // a fragmented file in the root
        profile.paging_file_kib = 192;
        manifest = imgkit::fill(base, profile, 31);
        listing = Listing(base);
        machine = std::make_unique<frametest::Machine>("A: folder logs\nC: image " + work + "\n");
        machine->MakeFolder("logs");
        if (!machine->ok() || listing.empty()) throw std::runtime_error("cannot make the bench");
    }
};

// The entry the case moves: the most fragmented file, or the tree with the
// most clusters among those three levels deep, in the root or below it.
std::string ChooseEntry(const CrashCase &c, const std::string &image) {
    std::vector<imgkit::FatEntry> entries = imgkit::fat_entries(image);
    std::string best;
    size_t bestScore = 0;
    for (const imgkit::FatEntry &e : entries) {
        size_t depth = std::count(e.path.begin(), e.path.end(), '\\');
        if (e.path == "\\" || (depth == 1) != c.inRoot || e.directory != (c.mover == Mover::Tree)) continue;
        size_t score = e.extents.size();
        if (c.mover == Mover::Tree) {
            size_t deepest = 0, clusters = 0;
            for (const imgkit::FatEntry &d : entries)
                if (d.directory && d.path.compare(0, e.path.size() + 1, e.path + "\\") == 0) {
                    deepest = std::max(deepest, (size_t)std::count(d.path.begin(), d.path.end(), '\\') - depth);
                    for (const imgkit::Extent &x : d.extents) clusters += x.length;
                }
            score = deepest >= 2 ? clusters + 1 : 0;
        } else if (score < 2) {
            score = 0;
        }
        if (score > bestScore) best = e.path, bestScore = score;
    }
    return best;
}

// In the child: the volume set up as for a run and the entry walked to.
bool SetUp(const std::string &path) {
    lPageOpt = 0;
    bLogFile = 0;
    lLogLevel = 0;
    bMoveFiles = 1;
    return Initialize(u"C:") && InitializeDefrag() && ManualGetVolumeBitmap() && fattest::WalkTo(path);
}

// In the child: chooses the destination (the first free run at or above
// lowestTarget that holds the entry, or its tree) and moves with every raw
// write logged; writes the plan. Exit codes: 0 moved, 1 the move failed, 2
// the set-up failed.
void PlanInChild(const Bench &b, const CrashCase &c, const std::string &path) {
    setenv("NT_WRITE_LOG", b.log.c_str(), 1);
    if (!SetUp(path)) _exit(2);
    LONGLONG clusters = VolData.NumberOfClusters;
    if (c.mover == Mover::Tree)
        clusters = GetFATDirSizeWithChildren(wcsrchr(VolData.cFileName, u'\\') + 1, VolData.llParentDirLcn);
    VolData.NumberOfClusters = clusters;
    VolData.SearchStartLcn = c.lowestTarget;
    VolData.SearchEndLcn = VolData.TotalClusters;
    if (clusters <= 0 || !FindFreeSpace(FFS_FIRST_FIT) || VolData.FoundLen < clusters) _exit(2);
    LONGLONG destination = VolData.FoundLcn;
    fattest::WalkTo(path);
    BOOL ok = MoveCurrentEntry(destination, clusters, nullptr);
    std::ofstream plan(b.plan);
    plan << destination << " " << clusters;
    for (DWORD i = 0; i < dwNumDeallocExtents; i++)
        for (LONGLONG n = 0; n < pDeallocExtents[i].ClusterCount; n++)
            plan << " " << pDeallocExtents[i].StartingLcn + n + FAT_FIRST_CLUSTER;
    plan << "\n";
    plan.close();
    OffLineExit();
    _exit(ok ? 0 : 1);
}

// In the child: the same move, to be stopped by the platform.
void MoveInChild(const Plan &p) {
    if (!SetUp(p.path)) _exit(2);
    BOOL ok = MoveCurrentEntry(p.destination, p.clusters, nullptr);
    OffLineExit();
    _exit(ok ? 0 : 1);
}

// In the child: the whole stage driver, FILES=FULL with the default
// directory mode, as a second run would go.
void RunInChild() {
    lPageOpt = 0;
    lDirsOpt = 1;
    lFileOpt = 1;
    bMoveFiles = 1;
    bLogFile = 0;
    lLogLevel = 0;
    BOOL ok = Initialize(u"C:") && InitializeDefrag() && OffLineDefrag();
    OffLineExit();
    _exit(ok ? 0 : 1);
}

// The number of raw writes in the log.
int Writes(const std::string &log) {
    std::ifstream in(log);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += !line.empty();
    return n;
}

bool Sound(const imgkit::CheckResult &r) { return r.code == imgkit::kConsistent || r.code == imgkit::kLostClusters; }

bool FatsDiffer(const imgkit::CheckResult &r) {
    for (const std::string &line : r.details)
        if (line.find("FATs differ") != std::string::npos) return true;
    return false;
}

// The image after a stop: sound but for lost clusters, or FAT copies that
// differ only in the move's chains with each copy sound on its own. Returns
// whether the copies differed.
bool CheckStopped(const Bench &b, const CrashCase &c, const Plan &p, const std::string &when) {
    imgkit::CheckResult r = imgkit::check(b.work, b.manifest);
    EXPECT_EQ(Listing(b.work), b.listing) << when << ": every directory lists as before";
    if (!FatsDiffer(r)) {
        EXPECT_TRUE(Sound(r)) << when << ": " << r.summary;
        return false;
    }
    FsckFacts f = Fsck(b.work);
    for (uint64_t cluster : fattest::DifferingEntries(b.work, f, c.bits))
        EXPECT_TRUE(p.chains.count(cluster)) << when << ": the copies differ at cluster " << cluster;
    for (long long copy : {0LL, f.fats - 1}) {
        imgkit::copy_image(b.work, b.other);
        fattest::TakeFatCopy(b.other, f, copy);
        imgkit::CheckResult one = imgkit::check(b.other, b.manifest);
        EXPECT_TRUE(Sound(one)) << when << ", FAT copy " << copy + 1 << " taken: " << one.summary;
        EXPECT_EQ(Listing(b.other), b.listing) << when << ", FAT copy " << copy + 1 << " taken";
    }
    return true;
}

class FatCrash : public testing::TestWithParam<CrashCase> {};

TEST_P(FatCrash, StoppedAtEveryWriteTheVolumeStaysSoundAndASecondRunCleansIt) {
    const CrashCase &c = GetParam();
    std::unique_ptr<Bench> b;
    try {
        b = std::make_unique<Bench>(c);
    } catch (const std::exception &e) {
        FAIL() << e.what();
    }
    Plan p;
    p.path = ChooseEntry(c, b->base);
    ASSERT_FALSE(p.path.empty()) << "the volume holds what the case moves";

    // The counting run: the whole move, every raw write logged.
    imgkit::copy_image(b->base, b->work);
    ASSERT_EQ(frametest::RunInChild([&] { PlanInChild(*b, c, p.path); }).exitCode, 0) << p.path;
    std::ifstream plan(b->plan);
    plan >> p.destination >> p.clusters;
    for (uint64_t cluster; plan >> cluster;) p.chains.insert(cluster);
    for (LONGLONG n = 0; n < p.clusters; n++) p.chains.insert(p.destination + n + FAT_FIRST_CLUSTER);
    int writes = Writes(b->log);
    imgkit::CheckResult whole = imgkit::check(b->work, b->manifest);
    EXPECT_EQ(whole.code, imgkit::kConsistent) << whole.summary;
    EXPECT_EQ(Listing(b->work), b->listing);
    EXPECT_EQ(imgkit::file_extents(b->work, p.path)[0].lcn, p.destination) << p.path << " starts at its destination";
    EXPECT_GE(p.destination, c.lowestTarget);
    ASSERT_GE(writes, 2 * c.fats + 2) << "a chain and a release in every copy, the data, the directory";
    printf("%s: %s, %lld clusters to LCN %lld, %d write points\n", c.name, p.path.c_str(), (long long)p.clusters,
           (long long)p.destination, writes);

    int differing = 0;
    for (int k = 1; k <= writes; k++) {
        std::string when = "stopped at write " + std::to_string(k) + " of " + std::to_string(writes);
        imgkit::copy_image(b->base, b->work);
        frametest::ChildRun stop = frametest::RunInChild([&] {
            setenv("NT_FAIL_WRITE_AT", std::to_string(ntp::raw_write_count() + k).c_str(), 1);
            MoveInChild(p);
        });
        ASSERT_EQ(stop.exitCode, 99) << when << ": the move must stop there";
        differing += CheckStopped(*b, c, p, when);

        ASSERT_EQ(frametest::RunInChild([] { RunInChild(); }, 120).exitCode, 0) << when << ", then a run";
        imgkit::CheckResult again = imgkit::check(b->work, b->manifest);
        EXPECT_TRUE(Sound(again) && !FatsDiffer(again)) << when << ", then a run: " << again.summary;
        EXPECT_EQ(Listing(b->work), b->listing) << when << ", then a run";
        if (testing::Test::HasFailure()) break;
    }
    EXPECT_GE(differing, 2 * (c.fats - 1)) << "stops between copy writes, in the chain and in the release";
    printf("%s: stopped at %d write points, %d between two FAT copy writes\n", c.name, writes, differing);
}

INSTANTIATE_TEST_SUITE_P(Movers, FatCrash,
                         testing::Values(CrashCase{"FileInFat16Root", 16, 2048, 2, 16, Mover::File, true, 2},
                                         CrashCase{"FileInFat32Subdirectory", 32, 512, 2, 40, Mover::File, false,
                                                   65600},
                                         CrashCase{"TreeInFat32Root", 32, 512, 2, 40, Mover::Tree, true, 2},
                                         CrashCase{"TreeInFat16Subdirectory", 16, 1024, 2, 16, Mover::Tree, false, 2}),
                         [](const testing::TestParamInfo<CrashCase> &i) { return std::string(i.param.name); });

}  // namespace
