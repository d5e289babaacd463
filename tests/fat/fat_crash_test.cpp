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
//
// At every write point the write is also torn, as a power cut during a
// multi-sector write would tear it (NT_TORN_WRITE_AT): after its first K
// sectors, for every K that leaves a state neither the stop before it nor
// the whole write leaves (every such K for a FAT or directory write of 4 KB
// at most; one in the middle for a longer one or a data write). Each write
// is told by where it lands: a FAT copy, a directory (the FAT16 root, or a
// chain that is a directory before or after the move) or elsewhere (data).
// A torn write of any kind must leave what a stop leaves, checked as a stop
// is. A FAT window is one cluster, so a FAT write
// spans sectors only on clusters larger than a sector, and a directory
// rewritten in place changes only the sector of the moved entry: torn FAT
// writes must be met on FAT16 with 2 KB clusters, torn directory writes
// where a tree of directories larger than a sector moves (their new chains).
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
    bool inRoot;                  // the entry lies in the root (else in a subdirectory)
    LONGLONG lowestTarget;        // the destination lies at or above this LCN
    bool fatTears = false;        // a FAT write changes sectors apart and is torn between them
    bool directoryTears = false;  // so does a directory write
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
    std::string base, work, other, stopped, log, plan;
    imgkit::Manifest manifest;
    std::string listing;
    std::unique_ptr<frametest::Machine> machine;

    explicit Bench(const CrashCase &c) {
        base = scratch.file("base.img");
        work = scratch.file("c.img");
        other = scratch.file("other.img");
        stopped = scratch.file("stopped.img");
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

// The raw writes logged, in order: byte offset and length.
struct Write {
    uint64_t offset, length;
};
std::vector<Write> WritesLogged(const std::string &log) {
    std::ifstream in(log);
    std::vector<Write> writes;
    for (std::string line; std::getline(in, line);) {
        char drive;
        unsigned long long offset = 0, length = 0;
        if (sscanf(line.c_str(), "%c: %llu %llu", &drive, &offset, &length) == 3) writes.push_back({offset, length});
    }
    return writes;
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

// Where a write lands: a FAT copy, a directory, or elsewhere (data).
enum class Kind { Data, Fat, Directory };
const char *const kKinds[] = {"data", "FAT", "directory"};

// The byte ranges of the FAT copies and of the directories, on the volume
// before the move and after it.
struct Regions {
    uint64_t fatFirst = 0, fatEnd = 0;
    std::vector<std::pair<uint64_t, uint64_t>> directories;

    void AddDirectories(const std::string &image, const FsckFacts &f) {
        for (const imgkit::FatEntry &e : imgkit::fat_entries(image))
            if (e.directory)
                for (const imgkit::Extent &x : e.extents)
                    directories.push_back({(uint64_t)(f.dataStart + x.lcn * f.clusterBytes),
                                           (uint64_t)(f.dataStart + (x.lcn + x.length) * f.clusterBytes)});
    }
    Kind KindOf(uint64_t offset) const {
        if (offset >= fatFirst && offset < fatEnd) return Kind::Fat;
        for (const auto &d : directories)
            if (offset >= d.first && offset < d.second) return Kind::Directory;
        return Kind::Data;
    }
};

// What the stops and torn writes of one case came to, per kind of write.
struct Tears {
    int stops[3] = {}, points[3] = {}, differing = 0;
};

// Tears write k (stopped at already: b.stopped is the image that stop left)
// after every K sectors that give a state of its own, and checks each as a
// stop is checked.
void TearWrite(const Bench &b, const CrashCase &c, const Plan &p, const Regions &r, int k, const Write &w,
               Tears *tears) {
    const uint64_t sector = 512, sectors = w.length / sector;
    auto tear = [&](uint64_t landed) {
        imgkit::copy_image(b.base, b.work);
        return frametest::RunInChild([&] {
                   setenv("NT_TORN_WRITE_AT",
                          (std::to_string(ntp::raw_write_count() + k) + ":" + std::to_string(landed)).c_str(), 1);
                   MoveInChild(p);
               })
            .exitCode;
    };
    Kind kind = r.KindOf(w.offset);
    tears->stops[(int)kind]++;
    if (sectors < 2) return;  // a sector lands whole or not at all
    std::string when = "write " + std::to_string(k) + " (" + kKinds[(int)kind] + ") torn";
    // The whole write landed: the sectors it changes.
    ASSERT_EQ(tear(sectors), 99) << when << ": the move must stop there";
    std::string whole = fattest::ReadImage(b.work), was = fattest::ReadImage(b.stopped);
    std::vector<uint64_t> changed;
    for (uint64_t s = 0; s < sectors; s++)
        if (whole.compare(w.offset + s * sector, sector, was, w.offset + s * sector, sector) != 0) changed.push_back(s);
    if (changed.size() < 2) return;  // every tear leaves the state before or after it
    uint64_t first = changed.front() + 1, last = changed.back();
    // Data lands in clusters no entry names until the directory write: its
    // tears are all alike, and one in the middle stands for them.
    if (w.length > 4096 || kind == Kind::Data) first = last = (first + last) / 2;
    for (uint64_t landed = first; landed <= last; landed++) {
        std::string at = when + " after " + std::to_string(landed) + " of " + std::to_string(sectors) + " sectors";
        ASSERT_EQ(tear(landed), 99) << at << ": the move must stop there";
        tears->points[(int)kind]++;
        tears->differing += CheckStopped(b, c, p, at);
    }
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
    std::vector<Write> logged = WritesLogged(b->log);
    int writes = (int)logged.size();
    imgkit::CheckResult whole = imgkit::check(b->work, b->manifest);
    EXPECT_EQ(whole.code, imgkit::kConsistent) << whole.summary;
    EXPECT_EQ(Listing(b->work), b->listing);
    EXPECT_EQ(imgkit::file_extents(b->work, p.path)[0].lcn, p.destination) << p.path << " starts at its destination";
    EXPECT_GE(p.destination, c.lowestTarget);
    ASSERT_GE(writes, 2 * c.fats + 2) << "a chain and a release in every copy, the data, the directory";
    printf("%s: %s, %lld clusters to LCN %lld, %d write points\n", c.name, p.path.c_str(), (long long)p.clusters,
           (long long)p.destination, writes);
    FsckFacts facts = Fsck(b->base);
    Regions regions;
    regions.fatFirst = (uint64_t)facts.firstFat;
    regions.fatEnd = (uint64_t)(facts.firstFat + facts.fats * facts.fatBytes);
    if (c.bits == 16) regions.directories.push_back({regions.fatEnd, (uint64_t)facts.dataStart});  // the root
    regions.AddDirectories(b->base, facts);
    regions.AddDirectories(b->work, facts);

    int differing = 0;
    Tears tears;
    for (int k = 1; k <= writes; k++) {
        std::string when = "stopped at write " + std::to_string(k) + " of " + std::to_string(writes);
        imgkit::copy_image(b->base, b->work);
        frametest::ChildRun stop = frametest::RunInChild([&] {
            setenv("NT_FAIL_WRITE_AT", std::to_string(ntp::raw_write_count() + k).c_str(), 1);
            MoveInChild(p);
        });
        ASSERT_EQ(stop.exitCode, 99) << when << ": the move must stop there";
        differing += CheckStopped(*b, c, p, when);
        imgkit::copy_image(b->work, b->stopped);

        ASSERT_EQ(frametest::RunInChild([] { RunInChild(); }, 120).exitCode, 0) << when << ", then a run";
        imgkit::CheckResult again = imgkit::check(b->work, b->manifest);
        EXPECT_TRUE(Sound(again) && !FatsDiffer(again)) << when << ", then a run: " << again.summary;
        EXPECT_EQ(Listing(b->work), b->listing) << when << ", then a run";
        TearWrite(*b, c, p, regions, k, logged[(size_t)k - 1], &tears);
        if (testing::Test::HasFailure()) break;
    }
    EXPECT_GE(differing, 2 * (c.fats - 1)) << "stops between copy writes, in the chain and in the release";
    // A file's move writes data, a tree's only directories; both write the
    // FATs and a directory. The torn writes each case must meet:
    EXPECT_EQ(tears.stops[(int)Kind::Data] > 0, c.mover == Mover::File) << "data writes";
    EXPECT_GT(tears.stops[(int)Kind::Fat], 0) << "no FAT write";
    EXPECT_GT(tears.stops[(int)Kind::Directory], 0) << "no directory write";
    if (c.mover == Mover::File) {
        EXPECT_GT(tears.points[(int)Kind::Data], 0) << "no torn data write";
    }
    if (c.fatTears) {
        EXPECT_GT(tears.points[(int)Kind::Fat], 0) << "no torn FAT write";
    }
    if (c.directoryTears) {
        EXPECT_GT(tears.points[(int)Kind::Directory], 0) << "no torn directory write";
    }
    printf("%s: stopped at %d write points (%d data, %d FAT, %d directory), %d between two FAT copy writes; torn at "
           "%d data, %d FAT, %d directory write points (%d leaving the FAT copies different)\n",
           c.name, writes, tears.stops[0], tears.stops[1], tears.stops[2], differing, tears.points[0], tears.points[1],
           tears.points[2], tears.differing);
}

INSTANTIATE_TEST_SUITE_P(
    Movers, FatCrash,
    testing::Values(CrashCase{"FileInFat16Root", 16, 2048, 2, 16, Mover::File, true, 2, true},
                    CrashCase{"FileInFat32Subdirectory", 32, 512, 2, 40, Mover::File, false, 65600},
                    CrashCase{"TreeInFat32Root", 32, 512, 2, 40, Mover::Tree, true, 2, false, true},
                    CrashCase{"TreeInFat16Subdirectory", 16, 1024, 2, 16, Mover::Tree, false, 2}),
    [](const testing::TestParamInfo<CrashCase> &i) { return std::string(i.param.name); });

}  // namespace
