// Full NTFS runs on machines made with the machine tool: a kit image (mkntfs,
// filled and fragmented through libntfs-3g) is scheduled with
// "DIRS=NONE FILES=FULL" (or a list of records, or NOMOVE), or with one of
// the four DIRS= modes, and booted. The volume is then judged by tools
// nobody here wrote: ntfsresize --info, ntfs-3g.probe (read-only, and
// --readwrite on a copy), ntfsfix -n, every manifest file's content through
// ntfscat, every directory listing through ntfsls, fragments counted by the
// machine tool, and every run list read through libntfs-3g before and
// after.
#include <algorithm>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "e2e_support.h"
#include "move_reference.h"

using namespace e2e;

namespace {

// The machine, its C: image and what was known of it before the boot.
class NtfsRun : public testing::Test {
protected:
    // A 64 MiB volume filled with the kit's full profile, with more groups
    // of files grown in turn when `groups` is given.
    void Make(uint32_t cluster, uint64_t seed, uint32_t groups = 0) {
        image_ = dir_.file("c.img");
        imgkit::make_ntfs(image_, 64 << 20, cluster);
        imgkit::Profile profile = imgkit::Profile::full();
        if (groups) profile.frag_groups = groups;
        manifest_ = imgkit::fill(image_, profile, seed);
        Attach();
    }
    // A volume of `size` bytes filled with the given profile.
    void MakeWith(uint64_t size, uint32_t cluster, const imgkit::Profile &profile, uint64_t seed) {
        image_ = dir_.file("c.img");
        imgkit::make_ntfs(image_, size, cluster);
        manifest_ = imgkit::fill(image_, profile, seed);
        Attach();
    }
    // A machine around a copy of a kit image made before.
    void MakeFrom(const std::string &image, const imgkit::Manifest &manifest) {
        image_ = dir_.file("c.img");
        imgkit::copy_image(image, image_);
        manifest_ = manifest;
        Attach();
    }
    void Attach() {
        machine_ = dir_.file("m");
        Tool("create " + Quote(machine_));
        Tool("attach " + Quote(machine_) + " C: image " + Quote(image_));
    }
    // The machine tool; the test fails when it does.
    std::string Tool(const std::string &arguments, const std::string &environment = "") {
        int rc = -1;
        std::string out = Shell(environment + " " + Quote(NTMACHINE) + " " + arguments, &rc);
        EXPECT_EQ(rc, 0) << "ntmachine " << arguments << ":\n" << out;
        return out;
    }
    // Schedules a run with these keywords, notes the volume as it is then
    // (the trigger file is on it), boots, and returns the screen.
    std::string ScheduleAndBoot(const std::string &keywords, const std::string &environment = "") {
        std::string quoted;
        std::istringstream words(keywords);
        for (std::string k; words >> k;) quoted += " " + Quote(k);
        Tool("schedule " + Quote(machine_) + " C:" + quoted);
        before_ = ntfsref::Load(image_);
        EXPECT_EQ(before_.error, "");
        std::string error;
        paths_ = ntfsref::ListPaths(image_, &error);
        EXPECT_EQ(error, "");
        fragBefore_ = Tool("frag " + Quote(machine_) + " C: --json");
        counts_ = imgkit::count(image_);
        imgkit::copy_image(image_, dir_.file("before.img"));
        screen_ = Tool("boot " + Quote(machine_) + " --fast", "NT_TIME_SCALE=0 " + environment);
        after_ = ntfsref::Load(image_);
        EXPECT_EQ(after_.error, "");
        fragAfter_ = Tool("frag " + Quote(machine_) + " C: --json");
        return screen_;
    }
    // Record number of the file the listing before the run names `path` ("/a/b"; 0 when none).
    uint64_t RecordOf(const std::string &path) const {
        for (const auto &[record, names] : paths_)
            if (names.count(path)) return record;
        return 0;
    }
    // The listing after the run is the listing before it, the trigger file
    // aside.
    void ExpectListingKept() {
        std::string error;
        auto now = ntfsref::ListPaths(image_, &error);
        EXPECT_EQ(error, "");
        auto expected = paths_;
        int64_t trigger = TriggerRecord();
        if (trigger >= 0) expected.erase((uint64_t)trigger);
        EXPECT_TRUE(now == expected) << "every directory lists the same names and record numbers";
    }
    // Record number of the trigger file the run deleted (-1 when unknown).
    int64_t TriggerRecord() const {
        for (const auto &[record, names] : paths_)
            for (const auto &name : names)
                if (name == "/Defragme.dat") return (int64_t)record;
        return -1;
    }
    // Every record the run must not have moved still has its run lists; the
    // trigger file is gone. `alsoKept` names more records that must not
    // have changed.
    void ExpectUnmovedKept(const std::set<uint64_t> &alsoKept = {}) {
        int64_t trigger = TriggerRecord();
        int compared = 0;
        for (const auto &[number, record] : before_.records) {
            if ((int64_t)number == trigger) {
                EXPECT_EQ(after_.records.count(number), 0u) << "the trigger file is still there";
                continue;
            }
            if (!NeverMoved(record) && !alsoKept.count(number)) continue;
            auto it = after_.records.find(number);
            ASSERT_NE(it, after_.records.end()) << "record " << number << " is gone";
            EXPECT_TRUE(RunListsOf(record) == RunListsOf(it->second)) << "record " << number << " changed";
            compared++;
        }
        EXPECT_GT(compared, 16);
    }
    // ntfsresize, ntfs-3g.probe (also --readwrite on a copy), ntfsfix and
    // every file's content.
    void ExpectConsistent() {
        imgkit::CheckOptions options;
        options.probe_readwrite_copy = true;
        imgkit::CheckResult r = imgkit::check(image_, manifest_, options);
        EXPECT_EQ(r.code, imgkit::kConsistent) << r.summary;
        EXPECT_EQ(r.files_checked, manifest_.files.size());
        EXPECT_EQ(r.files_differing, 0u);
    }
    // A line of the partition data: "<label> = 0x<hex>".
    int64_t PartitionValue(const std::string &label) const {
        std::smatch m;
        std::regex re(label + " *= 0x([0-9a-f]+)");
        if (!std::regex_search(screen_, m, re)) return -1;
        return std::stoll(m[1].str(), nullptr, 16);
    }
    // Free clusters of the volume before the run, outside [first, end).
    uint64_t FreeOutside(int64_t first, int64_t end) const {
        std::vector<uint8_t> bits = BitmapBytes(dir_.file("before.img"), before_);
        uint64_t free = 0;
        for (int64_t c = 0; c < (int64_t)counts_.total_clusters; c++)
            if (ClusterFree(bits, c) && (c < first || c >= end)) free++;
        return free;
    }
    // Sum of the counts of the lines "Moved N files during ..." and of the
    // moved-object table's lines (optionally only those starting with
    // `kind`).
    // A record's data runs touch [first, end).
    static bool TouchesRange(const ntfsref::Record &r, int64_t first, int64_t end) {
        for (const auto &p : r.data)
            for (const auto &run : p.runs)
                if (run.lcn >= 0 && run.lcn < end && first < run.lcn + run.length) return true;
        return false;
    }
    static int64_t ClosingLineMoves(const std::vector<std::string> &lines) {
        int64_t sum = 0;
        std::regex re("^Moved ([0-9]+) files during ");
        for (const auto &l : lines) {
            std::smatch m;
            if (std::regex_search(l, m, re)) sum += std::stoll(m[1].str());
        }
        return sum;
    }
    static int64_t TableMoves(const std::vector<std::string> &lines, const std::string &kind = "") {
        int64_t sum = 0;
        std::regex re("^(.*)Moved: \\.+ +([0-9]+)$");
        for (const auto &l : lines) {
            std::smatch m;
            if (std::regex_match(l, m, re) && m[1].str().rfind(kind, 0) == 0) sum += std::stoll(m[2].str());
        }
        return sum;
    }

    imgkit::ScratchDir dir_;
    std::string image_, machine_, screen_, fragBefore_, fragAfter_;
    imgkit::Manifest manifest_;
    imgkit::FragCounts counts_;
    ntfsref::Volume before_, after_;
    std::map<uint64_t, std::set<std::string>> paths_;
};

class NtfsFullRun : public NtfsRun, public testing::WithParamInterface<uint32_t> {};

// The acceptance run: the volume stays sound with every file's content, the
// fragmented files fall by at least 90%, nothing the run never moves
// changes, the table counts what moved and LAST50 lists the files that
// start furthest toward the end.
TEST_P(NtfsFullRun, DefragmentsTheFilesAndKeepsTheVolumeSound) {
    Make(GetParam(), 20 + GetParam(), 8);
    std::string screen = ScheduleAndBoot("DIRS=NONE FILES=FULL LAST50");
    std::vector<std::string> lines = ScreenLines(screen);

    // The images this criterion is made for: a quarter of the free space
    // outside the MFT zone holds the largest fragmented file.
    int64_t zoneStart = PartitionValue("MFT Area Start"), zoneEnd = PartitionValue("MFT Area End");
    ASSERT_GE(zoneStart, 0);
    ASSERT_GT(zoneEnd, zoneStart);
    uint64_t largestFragmented = 0;
    for (const auto &item : counts_.items)
        if (item.kind == imgkit::ItemCount::file && item.fragments > 1)
            largestFragmented = std::max<uint64_t>(largestFragmented, item.clusters);
    ASSERT_LE(largestFragmented * 4, FreeOutside(zoneStart, zoneEnd));
    ASSERT_GE(counts_.free_clusters * 100, counts_.total_clusters * 30) << "at least 30% free";

    ExpectConsistent();

    int64_t fragmentedBefore = JsonNumber(fragBefore_, "fragmented_files");
    int64_t fragmentedAfter = JsonNumber(fragAfter_, "fragmented_files");
    ASSERT_GE(fragmentedBefore, 20) << fragBefore_;
    EXPECT_LE(fragmentedAfter * 10, fragmentedBefore) << "before " << fragmentedBefore << ", after " << fragmentedAfter;
    EXPECT_EQ(JsonNumber(fragAfter_, "files"), JsonNumber(fragBefore_, "files") - 1) << "all but the trigger file";
    RecordProperty("fragmented_before", (int)fragmentedBefore);
    RecordProperty("fragmented_after", (int)fragmentedAfter);
    printf("%u-byte clusters: fragmented files %lld -> %lld\n", GetParam(), (long long)fragmentedBefore,
           (long long)fragmentedAfter);

    ExpectUnmovedKept();

    // Every stage ran and closed; the table counts what moved.
    for (const char *stage : {"Gathering Partition Data", "Defragmenting Files and Consolidating Free Space",
                              "Defragmenting Files and Closing Gaps in Free Space",
                              "Defragmenting Files To Contiguous Free Space Only", "Gathering File Placement Data"})
        EXPECT_NE(screen.find(stage), std::string::npos) << stage;
    EXPECT_NE(screen.find("\nTesserin boot-time processing completed.\n"), std::string::npos);
    int64_t moves = ClosingLineMoves(lines);
    EXPECT_EQ(TableMoves(lines), moves);
    int changed = 0, unfragmented = 0;
    for (const auto &[number, record] : before_.records) {
        auto it = after_.records.find(number);
        if (it == after_.records.end() || NeverMoved(record)) continue;
        if (!(RunListsOf(record) == RunListsOf(it->second))) changed++;
        if (Fragments(record) > 1 && Fragments(it->second) == 1) unfragmented++;
    }
    EXPECT_GT(changed, 0);
    EXPECT_LE(changed, moves);

    // With this much free space the whole MFT zone stays closed to files
    // that were contiguous outside it.
    int intoZone = 0;
    for (const auto &[number, record] : before_.records) {
        auto it = after_.records.find(number);
        if (it == after_.records.end() || NeverMoved(record) || Fragments(record) != 1) continue;
        if (TouchesRange(record, zoneStart, zoneEnd)) continue;
        if (TouchesRange(it->second, zoneStart, zoneEnd)) intoZone++;
    }
    EXPECT_EQ(intoZone, 0);
    EXPECT_LE(unfragmented, TableMoves(lines, "Fragmented "));
    EXPECT_GT(unfragmented, 0);

    // LAST50: the 50 highest lowest-LCNs of the files (not directories)
    // from record 1 on, lowest first, as libntfs-3g reads them afterwards.
    std::vector<int64_t> listed;
    std::regex entry("^@LCN 0x([0-9a-f]{8}): (.+)$");
    for (const auto &l : lines) {
        std::smatch m;
        if (std::regex_match(l, m, entry)) listed.push_back(std::stoll(m[1].str(), nullptr, 16));
    }
    std::vector<int64_t> expected;
    for (const auto &[number, record] : after_.records) {
        if (number < 1 || record.directory || (record.fileAttributes & (0x200 | 0x400 | 0x1000))) continue;
        int64_t lowest = LowestLcnOf(record);
        if (lowest >= 0) expected.push_back(lowest);
    }
    std::sort(expected.begin(), expected.end());
    if (expected.size() > 50) expected.erase(expected.begin(), expected.end() - 50);
    EXPECT_EQ(listed.size(), 50u);
    EXPECT_EQ(listed, expected);
}

INSTANTIATE_TEST_SUITE_P(Clusters, NtfsFullRun, testing::Values(512u, 1024u, 4096u),
                         [](const testing::TestParamInfo<uint32_t> &i) { return std::to_string(i.param); });

// ---------------------------------------- directories and attributes

// The runs of a record's index allocation, merged (adjacent runs count as one).
std::vector<ntfsref::Run> IndexRuns(const ntfsref::Record &r) { return RunListsOf(r).index; }

// The directories the stages walk: the root and those from record 16 on,
// outside $Extend (never moved), with an index allocation.
bool WalkedDirectory(const ntfsref::Record &r, const std::map<uint64_t, std::set<std::string>> &paths) {
    if (!r.directory || r.index.empty() || (r.number != 5 && r.number < 16)) return false;
    auto it = paths.find(r.number);
    if (it != paths.end())
        for (const auto &p : it->second)
            if (p.rfind("/$Extend/", 0) == 0) return false;
    return true;
}

// One kit image per cluster size for the runs of the four DIRS= modes:
// fragmented directories of several hundred entries (one with a
// non-resident index bitmap), files with resident and non-resident
// attribute lists (the latter's other attributes in two records), named
// streams, a fragmented MFT.
struct DirsImage {
    std::unique_ptr<imgkit::ScratchDir> dir;
    std::string image;
    imgkit::Manifest manifest;
    std::string error;
};
const DirsImage &DirsImageFor(uint32_t cluster) {
    static std::map<uint32_t, DirsImage> images;
    DirsImage &d = images[cluster];
    if (d.dir) return d;
    d.dir = std::make_unique<imgkit::ScratchDir>();
    d.image = d.dir->file("base.img");
    try {
        imgkit::make_ntfs(d.image, 64 << 20, cluster);
        imgkit::Profile p = imgkit::Profile::full();
        p.frag_dirs = 3;
        p.frag_dir_entries = 300;
        p.frag_dir_bitmap_nonresident = true;
        p.attrlist_ea = true;
        d.manifest = imgkit::fill(d.image, p, 90 + cluster);
    } catch (const std::exception &e) {
        d.error = e.what();
    }
    return d;
}

struct DirsCase {
    const char *dirs;  // the DIRS= keyword, or "" for the default (FREE)
    const char *files;
    uint32_t cluster;
};
void PrintTo(const DirsCase &c, std::ostream *os) { *os << (*c.dirs ? c.dirs : "default") << " " << c.files; }

class NtfsDirsRun : public NtfsRun, public testing::WithParamInterface<DirsCase> {
protected:
    // Every walked directory's index allocation in one piece, and every
    // record whose other attributes moved has them physically consecutive.
    // Returns the directories and attribute sets that moved.
    std::pair<int, int> ExpectConsolidated() {
        int dirsMoved = 0, attrsMoved = 0;
        for (const auto &[number, record] : after_.records) {
            auto was = before_.records.find(number);
            if (was == before_.records.end()) continue;
            if (WalkedDirectory(record, paths_)) {
                EXPECT_LE(IndexRuns(record).size(), 1u) << "directory " << number << " is in pieces";
                if (!(IndexRuns(record) == IndexRuns(was->second))) dirsMoved++;
            }
            if (!(OtherRuns(record) == OtherRuns(was->second))) {
                attrsMoved++;
                EXPECT_EQ(OtherRuns(record).size(), 1u) << "the other attributes of record " << number;
            }
        }
        return {dirsMoved, attrsMoved};
    }
    // With FILES=NONE no file's data moved.
    void ExpectNoFileDataMoved() {
        int64_t trigger = TriggerRecord();
        int compared = 0;
        for (const auto &[number, record] : before_.records) {
            if (record.directory || (int64_t)number == trigger) continue;
            auto it = after_.records.find(number);
            ASSERT_NE(it, after_.records.end()) << "record " << number;
            EXPECT_TRUE(RunListsOf(record).data == RunListsOf(it->second).data) << "the data of record " << number;
            compared++;
        }
        EXPECT_GT(compared, 100);
    }
    // "Target area is LCNs 0x<S>-0x<E>" and "Need <n> clusters".
    void TargetArea(int64_t *s, int64_t *e, int64_t *needed) const {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(screen_, m, std::regex("Target area is LCNs 0x([0-9a-f]+)-0x([0-9a-f]+)")));
        *s = std::stoll(m[1].str(), nullptr, 16);
        *e = std::stoll(m[2].str(), nullptr, 16);
        ASSERT_TRUE(std::regex_search(screen_, m, std::regex("Need ([0-9]+) clusters for directories")));
        *needed = std::stoll(m[1].str());
    }
};

// The acceptance runs of the directory and attribute stages: each DIRS= mode
// with FILES=NONE and FILES=FULL on 512-, 1,024- and 4,096-byte clusters
// (DIRS=FREE FILES=NONE as the default run, the drive letter alone, booted
// twice).
TEST_P(NtfsDirsRun, ConsolidatesDirectoriesAndAttributesAndKeepsTheVolumeSound) {
    const DirsCase &c = GetParam();
    const DirsImage &base = DirsImageFor(c.cluster);
    ASSERT_EQ(base.error, "");
    MakeFrom(base.image, base.manifest);
    // DIRS=FREE FILES=NONE is the default run: the drive letter alone.
    bool byDefault = !*c.dirs && std::string(c.files) == "FILES=NONE";
    std::string keywords = byDefault ? "" : std::string(c.dirs) + " " + c.files;
    std::string screen = ScheduleAndBoot(keywords);
    std::vector<std::string> lines = ScreenLines(screen);
    std::string mode = *c.dirs ? std::string(c.dirs).substr(5) : "FREE";

    // The volume these runs are made for: fragmented directories of several
    // hundred entries, attribute lists of both forms, other attributes of
    // one file in two records, named streams.
    int bigFragmentedDirs = 0, lists[3] = {0, 0, 0}, twoRecords = 0;
    for (const auto &[number, record] : before_.records) {
        std::set<uint64_t> holders;
        for (const auto &o : record.others) holders.insert(o.record);
        twoRecords += holders.size() >= 2;
        lists[record.attributeList]++;
        if (!WalkedDirectory(record, paths_) || IndexRuns(record).size() < 3 || !paths_.count(number)) continue;
        std::string self = *paths_.at(number).begin() + "/";
        int entries = 0;
        for (const auto &[n, names] : paths_)
            for (const auto &name : names)
                entries += name.rfind(self, 0) == 0 && name.find('/', self.size()) == std::string::npos;
        bigFragmentedDirs += entries >= 300;
    }
    ASSERT_GE(bigFragmentedDirs, 3);
    ASSERT_GE(lists[1], 1);
    ASSERT_GE(lists[2], 1);
    ASSERT_GE(twoRecords, 1);
    ASSERT_TRUE(std::any_of(manifest_.files.begin(), manifest_.files.end(),
                            [](const imgkit::ManifestEntry &f) { return f.path.find(':') != std::string::npos; }));

    ExpectConsistent();
    ExpectListingKept();
    // Only the clearing stage of MFTZ and MFTM moves files without FILES=FULL.
    if (std::string(c.files) == "FILES=NONE" && (mode == "FREE" || mode == "ZERO")) ExpectNoFileDataMoved();
    EXPECT_NE(screen.find("\nTesserin boot-time processing completed.\n"), std::string::npos) << screen;

    int64_t s = 0, e = 0, needed = 0;
    TargetArea(&s, &e, &needed);
    EXPECT_LE(e, (int64_t)counts_.total_clusters);
    std::regex closing("^Moved ([0-9]+) (directories|attributes) to target area");
    int64_t dirsCounted = -1, attrsCounted = -1;
    for (const auto &l : lines) {
        std::smatch m;
        if (!std::regex_search(l, m, closing)) continue;
        (m[2].str() == "directories" ? dirsCounted : attrsCounted) = std::stoll(m[1].str());
    }
    ASSERT_GE(dirsCounted, 0) << screen;
    ASSERT_GT(attrsCounted, 0) << "the MFT's $BITMAP at least";
    EXPECT_EQ(TableMoves(lines, "Non-resident Attributes "), attrsCounted);

    if (mode == "ZERO") {
        // A directory only moves toward the front.
        for (const auto &[number, record] : after_.records) {
            if (!WalkedDirectory(record, paths_)) continue;
            const auto &was = before_.records.at(number);
            int64_t now = IndexRuns(record).front().lcn, then = IndexRuns(was).front().lcn;
            EXPECT_LE(now, then) << "directory " << number;
        }
        return;
    }
    auto [dirsMoved, attrsMoved] = ExpectConsolidated();
    EXPECT_GT(dirsMoved, 3) << "the fragmented directories";
    EXPECT_GT(attrsMoved, 2);
    if (mode == "FREE") {
        EXPECT_EQ(dirsCounted, dirsMoved);
        if (!byDefault) return;
        // A second default run keeps the volume as sound and its directories
        // and attributes as consolidated.
        ScheduleAndBoot("");
        ExpectConsistent();
        ExpectListingKept();
        ExpectNoFileDataMoved();
        ExpectConsolidated();
        return;
    }
    // "(b)": the directories it moved to the target area in [S, Ed], the
    // attributes from Sa on. A directory that found no room there stays
    // where it was taken out of the way, behind Ed (uncounted).
    int64_t d = 0;
    for (const auto &[number, record] : before_.records)
        if (record.directory && (number == 5 || number >= 16)) d += Clusters(RunListsOf(record).index);
    ASSERT_LE(d, needed);
    int64_t ed = std::min<int64_t>(s + d + d / 10, (int64_t)counts_.total_clusters), sa = ed + 1;
    int64_t intoArea = 0;
    for (const auto &[number, record] : after_.records) {
        const auto &was = before_.records.at(number);
        if (WalkedDirectory(record, paths_) && !(IndexRuns(record) == IndexRuns(was))) {
            ntfsref::Run run = IndexRuns(record).front();
            if (run.lcn >= s && run.lcn + run.length <= ed)
                intoArea++;
            else
                EXPECT_GE(run.lcn, ed) << "directory " << number << " moved, neither into " << s << "-" << ed
                                       << " nor behind it";
        }
        if (OtherRuns(record) == OtherRuns(was)) continue;
        for (const auto &run : OtherRuns(record)) EXPECT_GE(run.lcn, sa) << "the other attributes of record " << number;
    }
    EXPECT_EQ(intoArea, dirsCounted) << "the directories counted lie in the directory part of the area";
    printf("%s %s %u: %lld of %d directories moved into the area %lld-%lld\n", c.dirs, c.files, c.cluster,
           (long long)intoArea, dirsMoved, (long long)s, (long long)ed);
}

INSTANTIATE_TEST_SUITE_P(Modes, NtfsDirsRun, testing::ValuesIn([] {
                             std::vector<DirsCase> cases;
                             for (uint32_t cluster : {512u, 1024u, 4096u})
                                 for (const char *dirs : {"", "DIRS=ZERO", "DIRS=MFTZ", "DIRS=MFTM"})
                                     for (const char *files : {"FILES=NONE", "FILES=FULL"})
                                         cases.push_back({dirs, files, cluster});
                             return cases;
                         }()),
                         [](const testing::TestParamInfo<DirsCase> &i) {
                             std::string dirs = *i.param.dirs ? std::string(i.param.dirs).substr(5) : "Default";
                             return dirs + "_" + std::string(i.param.files).substr(6) + "_" +
                                    std::to_string(i.param.cluster);
                         });

// EX= patterns keep the files they name where they are, fragments and all.
TEST_F(NtfsRun, ExcludedFilesStayWhereTheyAre) {
    Make(4096, 71);
    std::string screen = ScheduleAndBoot("DIRS=NONE FILES=FULL EX=*MAILBOX.PST,*\\VERY?FRAGMENTED*");
    ExpectConsistent();
    std::set<uint64_t> excluded;
    for (const auto &[record, names] : paths_)
        for (const auto &name : names)
            if (name.find("/Fragmented Mailbox.pst") != std::string::npos ||
                name.find("/Very Fragmented") != std::string::npos)
                excluded.insert(record);
    ASSERT_EQ(excluded.size(), 2u);
    for (uint64_t n : excluded) EXPECT_GT(Fragments(before_.records.at(n)), 1) << "record " << n;
    ExpectUnmovedKept(excluded);
    EXPECT_EQ(JsonNumber(fragAfter_, "fragmented_files"), 2) << "only the excluded files stay fragmented";
}

// A second run over a defragmented volume keeps it sound and finds no
// fragmented file to leave behind.
TEST_F(NtfsRun, SecondRunKeepsTheVolumeDefragmented) {
    Make(2048, 33);
    ScheduleAndBoot("DIRS=NONE FILES=FULL");
    int64_t afterFirst = JsonNumber(fragAfter_, "fragmented_files");
    std::string screen = ScheduleAndBoot("DIRS=NONE FILES=FULL");
    ExpectConsistent();
    ExpectUnmovedKept();
    EXPECT_LE(JsonNumber(fragAfter_, "fragmented_files"), afterFirst);
    std::vector<std::string> lines = ScreenLines(screen);
    EXPECT_EQ(TableMoves(lines, "Fragmented "), 0) << "nothing fragmented was left to move";
}

// FILES=LIST moves the records listed and nothing else.
TEST_F(NtfsRun, ListMovesOnlyTheListedRecords) {
    Make(4096, 41);
    // Two fragmented files the run may move.
    std::vector<uint64_t> chosen;
    ntfsref::Volume now = ntfsref::Load(image_);
    ASSERT_EQ(now.error, "");
    for (const auto &[number, record] : now.records)
        if (!NeverMoved(record) && Fragments(record) > 1 && chosen.size() < 2) chosen.push_back(number);
    ASSERT_EQ(chosen.size(), 2u);
    std::string list = std::to_string(chosen[0]) + "," + std::to_string(chosen[1]);
    std::string screen = ScheduleAndBoot("DIRS=NONE FILES=LIST FILEX=" + list);

    ExpectConsistent();
    EXPECT_NE(screen.find("*** STAGE 1 *** Defragmenting Specific Files"), std::string::npos);
    EXPECT_NE(screen.find("Addressing file " + std::to_string(chosen[0]) + "...."), std::string::npos);
    EXPECT_NE(screen.find("Moved 2 files during specific file moves"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Defragmenting Files and Consolidating Free Space"), std::string::npos);
    std::set<uint64_t> others;
    for (const auto &[number, record] : before_.records)
        if (number != chosen[0] && number != chosen[1]) others.insert(number);
    ExpectUnmovedKept(others);
    for (uint64_t n : chosen) {
        ASSERT_TRUE(after_.records.count(n));
        EXPECT_EQ(Fragments(after_.records.at(n)), 1) << "record " << n;
    }
}

// NOMOVE walks every file stage, moves nothing and writes nothing raw to
// the volume (the platform logs every raw write).
TEST_F(NtfsRun, NomoveWalksEveryStageWithoutWriting) {
    Make(1024, 52);
    std::string log = dir_.file("writes.log");
    std::string screen = ScheduleAndBoot("DIRS=NONE FILES=FULL NOMOVE", "NT_WRITE_LOG=" + Quote(log));
    std::ifstream in(log);
    std::string writes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(writes, "");
    std::vector<std::string> lines = ScreenLines(screen);
    int closing = 0;
    for (const auto &l : lines)
        if (l.rfind("Moved ", 0) == 0) {
            closing++;
            EXPECT_EQ(l.rfind("Moved 0 files during ", 0), 0u) << l;
        }
    EXPECT_EQ(closing, 5);
    EXPECT_EQ(screen.find("Found space at"), std::string::npos);
    EXPECT_EQ(TableMoves(lines), 0);
    std::set<uint64_t> all;
    for (const auto &[number, record] : before_.records) all.insert(number);
    ExpectUnmovedKept(all);
    ExpectConsistent();
}

// NOMOVE with a list: the listed files are addressed, nothing is written.
TEST_F(NtfsRun, NomoveListWritesNothing) {
    Make(4096, 61);
    std::string log = dir_.file("writes.log");
    std::string screen = ScheduleAndBoot("DIRS=NONE FILES=LIST FILEX=20,30,40 NOMOVE", "NT_WRITE_LOG=" + Quote(log));
    std::ifstream in(log);
    std::string writes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(writes, "");
    EXPECT_NE(screen.find("Addressing file 30...."), std::string::npos);
    EXPECT_NE(screen.find("Moved 0 files during specific file moves"), std::string::npos);
}

// ------------------------------------------------- MFT minimisation

// Lines of a screen that contain `text`.
int CountLines(const std::vector<std::string> &lines, const std::string &text) {
    return (int)std::count_if(lines.begin(), lines.end(),
                              [&](const std::string &l) { return l.find(text) != std::string::npos; });
}
// The numbers of the lines "<prefix>N<...>", in order.
std::vector<int64_t> Numbers(const std::vector<std::string> &lines, const std::string &prefix) {
    std::vector<int64_t> numbers;
    for (const auto &l : lines)
        if (l.rfind(prefix, 0) == 0) numbers.push_back(std::stoll(l.substr(prefix.size())));
    return numbers;
}

struct MftCase {
    uint32_t cluster;
    const char *keywords;
    bool fileBehindMft;  // a file where the MFT's second extent would close up
};
void PrintTo(const MftCase &c, std::ostream *os) { *os << c.keywords << " " << c.cluster; }

class NtfsMftRun : public NtfsRun, public testing::WithParamInterface<MftCase> {};

// MFT=MIN on kit images whose MFT lies in at least five extents. The first
// extent stays where it is; every extent moved is announced and counted; the
// volume stays sound with every file's content and listing. On a volume
// whose MFT can close up at once, the stage finishes it and the directory
// and file stages MFT=MIN implies fall away; a second run finds it in one
// piece. With a file where the second extent would go, the MFT is left in
// pieces, the implied directory stage runs (its clearing stage takes the
// file out of the MFT area), and the MFT stage, run again before the first
// file stage, finishes it: the file stages then fall away. With NOMOVE the
// MFT stage runs all the same, before every file stage and after the last,
// and nothing else moves.
TEST_P(NtfsMftRun, BringsTheMftTogetherBehindItsFirstExtent) {
    const MftCase &c = GetParam();
    imgkit::Profile profile = imgkit::Profile::basic();
    profile.mft_fragments = 6;
    profile.file_behind_mft = c.fileBehindMft;
    MakeWith(32 << 20, c.cluster, profile, 130 + c.cluster);
    std::string screen = ScheduleAndBoot(c.keywords);
    std::vector<std::string> lines = ScreenLines(screen);
    bool nomove = std::string(c.keywords).find("NOMOVE") != std::string::npos;

    ASSERT_GE(before_.mftRuns.size(), 5u);
    int fragmentsBefore = RunFragments(before_.mftRuns), fragmentsAfter = RunFragments(after_.mftRuns);
    printf("%s, %u-byte clusters: MFT in %d fragments (%zu runs), then %d\n", c.keywords, c.cluster, fragmentsBefore,
           before_.mftRuns.size(), fragmentsAfter);
    EXPECT_LT(fragmentsAfter, fragmentsBefore);
    EXPECT_EQ(after_.mftRuns.front(), before_.mftRuns.front()) << "the first extent stays";
    std::vector<int64_t> fragmentLines = Numbers(lines, "MFT is now in ");
    ASSERT_FALSE(fragmentLines.empty()) << screen;
    EXPECT_EQ(fragmentLines.back(), fragmentsAfter);
    int announced = CountLines(lines, "data file extent  (00000000) to LCN");
    std::vector<int64_t> moved = Numbers(lines, "Moved ");
    int64_t closing = 0;
    for (const auto &l : lines)
        if (l.find(" extents during MFT defragmentation") != std::string::npos) closing += std::stoll(l.substr(6));
    EXPECT_GT(announced, 0);
    EXPECT_EQ(closing, announced);
    EXPECT_EQ(TableMoves(lines, "Individual Data Exents "), announced);
    ExpectConsistent();
    ExpectListingKept();

    int mftStages = CountLines(lines, "*** Minimizing MFT Fragmentation");
    bool gathered = screen.find("Gathering Partition Data") != std::string::npos;
    bool fileStages = screen.find("Defragmenting Files and Consolidating Free Space") != std::string::npos;
    if (nomove) {
        EXPECT_EQ(mftStages, 7) << "before gathering, before each of the five file stages and after the last";
        EXPECT_TRUE(gathered && fileStages);
        EXPECT_EQ(ClosingLineMoves(lines), 0);
        EXPECT_EQ(TableMoves(lines), announced) << "only MFT extents moved";
        for (const auto &[number, record] : before_.records) {
            if ((int64_t)number == TriggerRecord()) continue;
            const ntfsref::Record &now = after_.records.at(number);
            if (number != 0) {
                EXPECT_TRUE(RunListsOf(record) == RunListsOf(now)) << "record " << number;
            }
            EXPECT_EQ(OtherRuns(record), OtherRuns(now)) << "record " << number;
        }
        return;
    }
    EXPECT_EQ(fragmentsAfter, 1);
    EXPECT_FALSE(fileStages) << "the file stages only MFT=MIN asked for fall away";
    if (c.fileBehindMft) {
        EXPECT_EQ(mftStages, 2) << screen;
        EXPECT_GT(fragmentLines.front(), 1) << "the file kept the MFT in pieces at first";
        EXPECT_TRUE(gathered) << "the directory stage MFT=MIN implies ran";
        return;
    }
    EXPECT_EQ(mftStages, 1);
    EXPECT_FALSE(gathered) << "the directory stage only MFT=MIN asked for falls away";
    screen = ScheduleAndBoot(c.keywords);
    EXPECT_NE(screen.find("*** STAGE 0 *** Minimizing MFT Fragmentation\nStage skipped; MFT already defragmented\n\n"
                          "\nTesserin boot-time processing completed.\n"),
              std::string::npos)
        << screen;
    EXPECT_TRUE(after_.mftRuns == before_.mftRuns);
    ExpectConsistent();
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsMftRun,
                         testing::Values(MftCase{4096, "MFT=MIN", false}, MftCase{512, "MFT=MIN", true},
                                         MftCase{1024, "MFT=MIN NOMOVE", true}),
                         [](const testing::TestParamInfo<MftCase> &i) {
                             return std::string(i.param.fileBehindMft ? "Blocked" : "Free") +
                                    (std::string(i.param.keywords).find("NOMOVE") != std::string::npos ? "Nomove"
                                                                                                       : "") +
                                    std::to_string(i.param.cluster);
                         });

// ------------------------------------------------- paging file

// PAGE=PLACE with a registered, fragmented paging file and a file at the
// very end of the volume: setup recreates the paging file as the
// placeholder; the placement check before the first file stage puts it at
// the start of the zone (its registry maximum, 8 MB, at the end of the
// volume) but finds the file behind it in the way, that file stage moves
// the file away, and the check after it finds the placeholder placed with
// room behind it; the file stages PAGE=PLACE implied then fall away.
TEST_F(NtfsRun, PagingFileIsPlacedAtTheEndOnceTheFileStagesClearTheZone) {
    imgkit::Profile profile = imgkit::Profile::basic();
    profile.paging_file_fragments = 4;
    profile.end_file_kib = 256;
    MakeWith(64 << 20, 4096, profile, 141);
    std::erase_if(manifest_.files, [](const imgkit::ManifestEntry &f) { return f.path == "\\pagefile.sys"; });
    Tool("pagefile " + Quote(machine_) + " C: pagefile.sys 1 8");
    std::string screen = ScheduleAndBoot("PAGE=PLACE");
    std::vector<std::string> lines = ScreenLines(screen);

    auto at = [&](const std::string &text, size_t from = 0) { return screen.find(text, from); };
    size_t first = at("*** Verifying Paging File Placement"), cleared = at("Paging File Target area still needs");
    size_t stage = at("Defragmenting Files and Consolidating Free Space"), placed = at("Paging File Determined");
    ASSERT_NE(placed, std::string::npos) << screen;
    EXPECT_LT(first, cleared);
    EXPECT_LT(cleared, stage);
    EXPECT_LT(stage, at("*** Verifying Paging File Placement", stage));
    EXPECT_LT(at("*** Verifying Paging File Placement", stage), placed);
    EXPECT_EQ(at("*** STAGE ", placed), std::string::npos) << "the file stages only PAGE=PLACE asked for fall away";

    uint64_t pagefile = RecordOf("/pagefile.sys");
    ASSERT_NE(pagefile, 0u);
    int64_t zone = (8 << 20) / 4096, start = (int64_t)counts_.total_clusters - zone;
    ASSERT_TRUE(after_.records.count(pagefile));
    std::vector<ntfsref::Run> runs = RunListsOf(after_.records.at(pagefile)).data;
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].lcn, start) << "at the zone start";
    std::vector<uint8_t> bits = BitmapBytes(image_, after_);
    for (int64_t c = start + runs[0].length; c < (int64_t)counts_.total_clusters; c++)
        ASSERT_TRUE(ClusterFree(bits, c)) << "room behind the paging file, cluster " << c;
    std::string error;
    std::vector<uint8_t> content = moveref::ReadData(image_, pagefile, &error);
    ASSERT_EQ(error, "");
    std::string expected;
    for (int i = 0; i < 16385 * 8; i++) expected += "Iamaduck";
    EXPECT_TRUE(std::string(content.begin(), content.end()) == expected) << "the placeholder";
    ExpectConsistent();
    ExpectListingKept();
}

// PAGE=MIN with a registered, fragmented paging file: the implied file
// stages leave it alone, and the minimisation stage after them moves it,
// content and all, into one free run.
TEST_F(NtfsRun, PagingFileMinimisationMovesItWholeAfterTheFileStages) {
    imgkit::Profile profile = imgkit::Profile::basic();
    profile.paging_file_fragments = 4;
    MakeWith(16 << 20, 4096, profile, 151);
    Tool("pagefile " + Quote(machine_) + " C: pagefile.sys 1 4");
    std::string screen = ScheduleAndBoot("PAGE=MIN");
    uint64_t pagefile = RecordOf("/pagefile.sys");
    ASSERT_NE(pagefile, 0u);
    EXPECT_EQ(Fragments(before_.records.at(pagefile)), 4);
    EXPECT_EQ(Fragments(after_.records.at(pagefile)), 1);
    size_t stage = screen.find("*** Minimizing Paging File Fragmentation");
    ASSERT_NE(stage, std::string::npos) << screen;
    EXPECT_LT(screen.rfind("Defragmenting Files and Consolidating Free Space"), stage);
    EXPECT_NE(screen.find("Moved 1 files during paging file fragment minimization", stage), std::string::npos)
        << screen;
    char moveLine[32];
    snprintf(moveLine, sizeof moveLine, "file (%08llu) to LCN", (unsigned long long)pagefile);
    EXPECT_EQ(CountLines(ScreenLines(screen), moveLine), 1) << "moved by the minimisation stage alone";
    ExpectConsistent();
    ExpectListingKept();
}

}  // namespace
