// Whole NTFS runs in this process on mkntfs volumes filled by the image kit:
// the volume set up as main does (Initialize, InitializeDefrag), the run
// options as main leaves them, OffLineDefrag, OffLineExit. The stage
// sequence each option set gives, and the MFT-area rules on a volume whose
// free space outside the MFT zone was taken away.
#include <fstream>

#include <imgkit/imgkit.h>

#include "bootntfs.h"
#include "e2e_support.h"
#include "frame_support.h"
#include "internal.h"
#include "move_reference.h"

namespace {

using e2e::Fragments;
using e2e::NeverMoved;
using e2e::RunListsOf;

// The run options a test sets; the others get main's initial values.
struct Options {
    LONG dirs = 0, files = 0, page = 0, mft = -1;
    LONG dirsPending = 0, filesPending = 0;
    LONGLONG pageFileFrn = -1;  // PFFRN=
    BOOL move = TRUE, attrs = TRUE, last50 = FALSE;
    std::vector<LONGLONG> list;
};

void SetOptions(const Options &o) {
    frametest::ResetProcessGlobals();
    bMoveFiles = o.move;
    bMoveAttrs = o.move && o.attrs;
    bDfrgBins = bDfrgShel = bWho = bShowEH = bEndPause = 0;
    bLast50 = o.last50;
    lDirsOpt = o.dirs;
    lFileOpt = o.files;
    lPageOpt = o.page;
    lMFTOpt = o.mft;
    llPageFileFRN = o.pageFileFrn;
    lDirsPending = o.dirsPending;
    lFilesPending = o.filesPending;
    lExcludes = 0;
    bExcludes = 0;
    glFileListX = 0;
    for (LONGLONG n : o.list) glFileList[glFileListX++] = n;
}

// A machine folder whose drive C: is a kit image.
class DriverRun : public testing::Test {
protected:
    void MakeImage(uint64_t size, uint32_t cluster, const imgkit::Profile &profile, uint64_t seed) {
        ASSERT_TRUE(machine_.ok());
        image_ = machine_.Path("c.img");
        imgkit::make_ntfs(image_, size, cluster);
        manifest_ = imgkit::fill(image_, profile, seed);
    }
    // Sets the volume up as main does and runs the stages; the screen.
    std::string Run(const Options &o, BOOL *result) {
        SetOptions(o);
        *result = -1;
        return frametest::Screen([&] {
            if (Initialize(u"C:") && InitializeDefrag()) *result = OffLineDefrag();
            OffLineExit();
        });
    }
    frametest::Machine machine_{"C: image c.img\n"};
    std::string image_;
    imgkit::Manifest manifest_;
};

// The lines that mark the run's course: banners, stage skips, the located
// line after gathering (as "Located"), the dispatch messages, the closing
// lines and the report's header and end; trailing blanks dropped.
std::vector<std::string> Course(const std::string &screen) {
    static const char *const starts[] = {"*** STAGE ", "Moved ", "Conflicting suboptions", "The last files",
                                         "Tesserin"};
    // Shown after a progress line without a line end of its own.
    static const char *const inside[] = {"Bad Algorithm Selection.", "No files found."};
    std::vector<std::string> course;
    for (std::string line : e2e::ScreenLines(screen)) {
        line = line.substr(0, line.find_last_not_of(' ') + 1);
        bool keep = line.find("stage skipped") != std::string::npos || line.rfind("Stage skipped", 0) == 0;
        for (const char *s : starts) keep |= line.rfind(s, 0) == 0;
        for (const char *s : inside)
            if (line.find(s) != std::string::npos) {
                line = line.substr(line.find(s));
                keep = true;
            }
        if (line.rfind("Located ", 0) == 0 && !course.empty() &&
            course.back().find("Gathering Partition Data") != std::string::npos) {
            line = "Located";
            keep = true;
        }
        if (keep) course.push_back(line);
    }
    return course;
}

// Each option set walks its stages in order; nothing is written (NOMOVE).
TEST_F(DriverRun, OptionsChooseTheStages) {
    imgkit::Profile profile = imgkit::Profile::basic();
    MakeImage(16 << 20, 4096, profile, 5);
    const std::string end = "Tesserin boot-time processing completed.";
    const std::string gather = "*** STAGE 0 *** Gathering Partition Data";
    const std::string dirsMoved = "Moved 0 directories to target area",
                      attrsMoved = "Moved 0 attributes to target area";
    std::vector<std::string> fileStages = {
        "*** STAGE 1 *** Defragmenting Files and Consolidating Free Space",
        "Moved 0 files during free space consolidation",
        "*** STAGE 2 *** Defragmenting Files and Closing Gaps in Free Space",
        "Moved 0 files during gap adjustment",
        "*** STAGE 3 *** Defragmenting Files and Consolidating Free Space",
        "Moved 0 files during free space consolidation",
        "*** STAGE 4 *** Defragmenting Files To Contiguous Free Space Only",
        "Moved 0 files during defragmentation pass",
        "*** STAGE 5 *** Defragmenting Files and Consolidating Free Space",
        "Moved 0 files during free space consolidation",
    };
    auto withFiles = [&](std::vector<std::string> head, int shift) {
        for (std::string l : fileStages) {
            if (l.rfind("*** STAGE ", 0) == 0) {
                int n = std::stoi(l.substr(10)) + shift;
                l = "*** STAGE " + std::to_string(n) + l.substr(l.find(" ***", 10));
            }
            head.push_back(l);
        }
        head.push_back(end);
        return head;
    };
    struct Case {
        const char *name;
        Options options;
        std::vector<std::string> course;
        LONG mftAfter, dirsAfter, filesAfter;
    };
    Options defaults;  // no keyword: DIRS=FREE, FILES=NONE
    defaults.dirs = 1;
    Options zero, mftz, mftmFull;
    zero.dirs = 2;
    mftz.dirs = 3;
    mftmFull.dirs = 4, mftmFull.files = 1, mftmFull.filesPending = 1;
    Options nothing;
    Options last50;
    last50.last50 = TRUE;
    Options mftAlone;  // MFT=MIN alone, as main derives it
    mftAlone.mft = 1, mftAlone.dirs = 4, mftAlone.dirsPending = 2, mftAlone.files = 1, mftAlone.filesPending = 2;
    Options mftFull;  // MFT=MIN DIRS=NONE FILES=FULL
    mftFull.mft = 1, mftFull.dirs = 0, mftFull.files = 1, mftFull.filesPending = 3;
    Options pageMin;  // PAGE=MIN without a paging file
    pageMin.page = 2, pageMin.dirs = 4, pageMin.dirsPending = 4, pageMin.files = 1, pageMin.filesPending = 4;
    Options full;
    full.files = 1, full.filesPending = 1;
    Options list;
    list.files = 2, list.filesPending = 1, list.list = {3, 15, 1 << 30};
    Options badDirs;
    badDirs.dirs = 9, badDirs.files = 1;
    Options badFiles;
    badFiles.files = 7;
    Case cases[] = {
        {"default",
         defaults,
         {gather, "Located", "*** STAGE 1 *** Defragmenting and Consolidating Directories & Attributes (a)", dirsMoved,
          attrsMoved, end},
         -1,
         1,
         0},
        {"DIRS=ZERO",
         zero,
         {gather, "Located", "*** STAGE 1 *** Moving Directories & Attributes (to front of disk)", dirsMoved,
          attrsMoved, end},
         -1,
         2,
         0},
        {"DIRS=MFTZ",
         mftz,
         {gather, "Located", "*** STAGE 1 *** Clearing Directory & Attribute Target Area",
          "Moved 0 files from directory target area",
          "*** STAGE 2 *** Defragmenting and Consolidating Directories & Attributes (b)", dirsMoved, attrsMoved, end},
         -1,
         3,
         0},
        {"DIRS=MFTM FILES=FULL", mftmFull,
         withFiles({gather, "Located", "*** STAGE 1 *** Clearing Directory & Attribute Target Area",
                    "Moved 0 files from directory target area",
                    "*** STAGE 2 *** Defragmenting and Consolidating Directories & Attributes (b)", dirsMoved,
                    attrsMoved},
                   2),
         -1, 4, 1},
        {"DIRS=NONE FILES=NONE", nothing, {end}, -1, 0, 0},
        {"LAST50 alone",
         last50,
         {"*** STAGE 0 *** Gathering File Placement Data", "The last files on the disk are:", end},
         -1,
         0,
         0},
        {"MFT=MIN alone",
         mftAlone,
         {"*** STAGE 0 *** Minimizing MFT Fragmentation", "Stage skipped; MFT already defragmented", end},
         0,
         0,
         0},
        {"MFT=MIN with FILES=FULL", mftFull,
         withFiles({"*** STAGE 0 *** Minimizing MFT Fragmentation", "Stage skipped; MFT already defragmented",
                    "*** STAGE 1 *** Gathering Partition Data", "Located"},
                   1),
         0, 0, 1},
        {"PAGE=MIN without a paging file", pageMin, {end}, -1, 0, 0},
        {"FILES=FULL", full, withFiles({gather, "Located"}, 0), -1, 0, 1},
        {"FILES=LIST outside the records",
         list,
         {gather, "Located", "*** STAGE 1 *** Defragmenting Specific Files", "Moved 0 files during specific file moves",
          end},
         -1,
         0,
         2},
        {"bad directory option", badDirs, {gather, "Bad Algorithm Selection.  Quitting now.", end}, -1, 9, 1},
        {"bad file option",
         badFiles,
         {gather, "Located", "Conflicting suboptions in FILES command line option", end},
         -1,
         0,
         7},
    };
    uint64_t writesBefore = ntp::raw_write_count();
    for (Case &c : cases) {
        c.options.move = FALSE;
        BOOL result = -1;
        std::string screen = Run(c.options, &result);
        EXPECT_EQ(result, TRUE) << c.name << "\n" << screen;
        EXPECT_EQ(Course(screen), c.course) << c.name << "\n" << screen;
        EXPECT_EQ(lMFTOpt, c.mftAfter) << c.name;
        EXPECT_EQ(lDirsOpt, c.dirsAfter) << c.name;
        EXPECT_EQ(lFileOpt, c.filesAfter) << c.name;
        if (c.options.files == 2) {
            EXPECT_EQ(lLogLevel, 4) << "the list stage raises the log level";
        }
    }
    EXPECT_EQ(ntp::raw_write_count(), writesBefore) << "NOMOVE writes nothing";
}

// Reads the volume bitmap file's bytes of an image through the runs
// libntfs-3g gives for record 6; writes them back with `change` applied.
void ChangeBitmapFile(const std::string &image, const ntfsref::Volume &v,
                      const std::function<void(std::vector<uint8_t> &)> &change) {
    std::fstream io(image, std::ios::in | std::ios::out | std::ios::binary);
    std::vector<uint8_t> bits;
    const auto &record = v.records.at(6);
    for (const auto &p : record.data)
        for (const auto &run : p.runs) {
            std::vector<uint8_t> bytes(run.length * v.clusterSize);
            io.seekg(run.lcn * (int64_t)v.clusterSize);
            io.read((char *)bytes.data(), (std::streamsize)bytes.size());
            bits.insert(bits.end(), bytes.begin(), bytes.end());
        }
    change(bits);
    size_t at = 0;
    for (const auto &p : record.data)
        for (const auto &run : p.runs) {
            io.seekp(run.lcn * (int64_t)v.clusterSize);
            io.write((const char *)bits.data() + at, run.length * v.clusterSize);
            at += run.length * v.clusterSize;
        }
}

// Clusters [first, end) of a record's data all inside [low, high).
bool DataInside(const ntfsref::Record &r, int64_t low, int64_t high) {
    for (const auto &p : r.data)
        for (const auto &run : p.runs)
            if (run.lcn >= 0 && (run.lcn < low || run.lcn + run.length > high)) return false;
    return true;
}
bool DataTouches(const ntfsref::Record &r, int64_t low, int64_t high) {
    for (const auto &p : r.data)
        for (const auto &run : p.runs)
            if (run.lcn >= 0 && run.lcn < high && low < run.lcn + run.length) return true;
    return false;
}

// A volume whose free space outside the MFT zone (or from `takenFrom` on)
// is taken: every free cluster there marked in use in the volume bitmap
// file, owned by nobody.
class DriverMftArea : public DriverRun {
protected:
    void SetUp() override {
        imgkit::Profile profile = imgkit::Profile::full();
        profile.frag_groups = 6;
        MakeImage(64 << 20, 4096, profile, 77);
        BOOL result = -1;
        Options probe;
        probe.move = FALSE;
        Run(probe, &result);  // the zone as the volume reports it
        zoneStart_ = VolData.MftZoneStart;
        zoneEnd_ = VolData.MftZoneEnd;
        total_ = VolData.TotalClusters;
        ASSERT_GT(zoneEnd_, zoneStart_);
        before_ = ntfsref::Load(image_);
        ASSERT_EQ(before_.error, "");
        int64_t mftFirst = before_.mftRuns.at(0).lcn, mftClusters = 0;
        for (const auto &run : before_.mftRuns) mftClusters += run.length;
        ASSERT_LE(mftFirst + mftClusters - 1, zoneEnd_) << "the kit's MFT lies in its zone";
        // Less than 25% will be free: the area closed to placement ends
        // halfway between the MFT's end (and 20 clusters) and the zone's end.
        int64_t behind = mftFirst + mftClusters + 20;
        limit_ = behind + (zoneEnd_ - behind) / 2;
    }
    void TakeFreeSpaceFrom(int64_t first) {
        ChangeBitmapFile(image_, before_, [&](std::vector<uint8_t> &bits) {
            for (int64_t c = first; c < total_; c++) bits[c / 8] |= (uint8_t)(1 << (c % 8));
        });
    }
    // FILES=FULL; the volume afterwards.
    void RunFull() {
        BOOL result = -1;
        Options full;
        full.files = 1, full.filesPending = 1;
        std::string screen = Run(full, &result);
        ASSERT_EQ(result, TRUE) << screen;
        EXPECT_EQ(VolData.MftZoneLimit, limit_);
        EXPECT_EQ(VolData.MftZoneLimitBase, zoneEnd_);
        after_ = ntfsref::Load(image_);
        ASSERT_EQ(after_.error, "");
    }
    // Sound apart from the clusters taken away; every file's content kept.
    void ExpectSound() {
        imgkit::CheckResult r = imgkit::check(image_, manifest_);
        EXPECT_EQ(r.code, imgkit::kLostClusters) << r.summary << " (the clusters taken away are owned by no file)";
        EXPECT_EQ(r.files_differing, 0u);
    }
    int64_t zoneStart_ = 0, zoneEnd_ = 0, total_ = 0, limit_ = 0;
    ntfsref::Volume before_, after_;
};

// With free space only in the part of the MFT area closed to placement,
// fragmented files still find room there as a last resort; contiguous files
// never move into it (they may take the places the fragmented files left).
TEST_F(DriverMftArea, FragmentedFilesUseTheMftAreaAsALastResort) {
    TakeFreeSpaceFrom(limit_);
    RunFull();
    int fragmentedBefore = 0, fragmentedAfter = 0, intoArea = 0, contiguousIntoArea = 0;
    for (const auto &[number, record] : before_.records) {
        if (NeverMoved(record) || !after_.records.count(number)) continue;
        const ntfsref::Record &now = after_.records.at(number);
        bool moved = !(RunListsOf(record) == RunListsOf(now));
        if (Fragments(record) > 1) {
            fragmentedBefore++;
            if (Fragments(now) > 1) fragmentedAfter++;
            if (moved && DataInside(now, zoneStart_, limit_)) intoArea++;
        } else if (moved && !DataTouches(record, zoneStart_, limit_ + 1) && DataTouches(now, zoneStart_, limit_)) {
            contiguousIntoArea++;
        }
    }
    printf("fragmented %d -> %d, %d of them into the MFT area\n", fragmentedBefore, fragmentedAfter, intoArea);
    EXPECT_GE(fragmentedBefore, 10);
    EXPECT_LT(fragmentedAfter * 2, fragmentedBefore) << "most fragmented files found room";
    EXPECT_GE(intoArea * 2, fragmentedBefore) << "most of them in the MFT area";
    EXPECT_EQ(contiguousIntoArea, 0);
    ExpectSound();
}

// With every free cluster outside the MFT zone taken (less than 25% free),
// contiguous files may move toward the front into the half of the MFT area
// the low free space opens, never into the part before it.
TEST_F(DriverMftArea, LowFreeSpaceOpensTheBackHalfOfTheArea) {
    TakeFreeSpaceFrom(zoneEnd_);
    RunFull();
    int intoOpenedHalf = 0, intoClosedArea = 0, fragmentedLeft = 0;
    for (const auto &[number, record] : before_.records) {
        if (NeverMoved(record) || !after_.records.count(number)) continue;
        const ntfsref::Record &now = after_.records.at(number);
        bool moved = !(RunListsOf(record) == RunListsOf(now));
        if (Fragments(record) > 1) {
            fragmentedLeft += Fragments(now) > 1;
            continue;
        }
        if (!moved || DataTouches(record, zoneStart_, limit_ + 1)) continue;
        if (DataTouches(now, zoneStart_, limit_)) intoClosedArea++;
        if (DataInside(now, limit_, zoneEnd_)) intoOpenedHalf++;
    }
    printf("contiguous files moved into the opened half %d; fragmented left %d\n", intoOpenedHalf, fragmentedLeft);
    EXPECT_EQ(intoClosedArea, 0);
    EXPECT_GT(intoOpenedHalf, 0) << "contiguous files moved toward the front into the opened half";
    EXPECT_LE(fragmentedLeft, 2);
    ExpectSound();
}

// DIRS=FREE on a volume whose only free space lies in the MFT area: no
// target area, the two lines that say so, and the file stages skipped.
TEST_F(DriverMftArea, NoRoomForTheFreeAreaEndsTheDirectoryWorkAndSkipsTheFileStages) {
    TakeFreeSpaceFrom(limit_);
    Options o;
    o.dirs = 1, o.dirsPending = 1, o.files = 1, o.filesPending = 1;
    BOOL result = -1;
    std::string screen = Run(o, &result);
    ASSERT_EQ(result, TRUE) << screen;
    std::string needed = std::to_string(llDirClusters + llAttribClusters);
    EXPECT_NE(screen.find("\n...Need " + needed +
                          " clusters for directories & attributes\nCouldn't find free space for directories & "
                          "attributes.\n"),
              std::string::npos)
        << screen;
    EXPECT_EQ(Course(screen), (std::vector<std::string>{"*** STAGE 0 *** Gathering Partition Data",
                                                        "Tesserin boot-time processing completed."}));
    after_ = ntfsref::Load(image_);
    for (const auto &[number, record] : before_.records)
        EXPECT_TRUE(RunListsOf(record) == RunListsOf(after_.records.at(number))) << "record " << number;
}

// ------------------------------------------ directories and attributes

// The walked directories with an index allocation: the root and those from
// record 16 on, outside $Extend.
std::map<uint64_t, std::vector<ntfsref::Run>> DirectoryIndexes(const ntfsref::Volume &v) {
    std::map<uint64_t, std::vector<ntfsref::Run>> indexes;
    for (const auto &[number, record] : v.records)
        if (record.directory && !record.index.empty() && (number == 5 || number >= 16))
            indexes[number] = RunListsOf(record).index;
    return indexes;
}

// The part of the screen from the banner that contains `from` to the line
// that contains `to`.
std::string Between(const std::string &screen, const std::string &from, const std::string &to) {
    size_t a = screen.find(from), b = screen.find(to, a == std::string::npos ? 0 : a);
    if (a == std::string::npos || b == std::string::npos) return "";
    return screen.substr(a, b - a);
}

std::string Frn(uint64_t n) {
    char b[16];
    snprintf(b, sizeof b, "(%08llu)", (unsigned long long)n);
    return b;
}

// DIRS=MFTM three times over. The first run gathers the directories into
// [S, Ed]; the second finds them in place and moves none (only the MFT's
// own attributes move, as every run moves them); then a directory inside
// the area is made fragmented (its index grown through libntfs-3g), and the
// third run's clearing stage moves it, and only it, out of the area, and
// "(b)" brings it back in one piece while the others stay where they are.
TEST_F(DriverRun, TargetAreaKeepsWhatLiesInPlaceAndTakesBackWhatDoesNot) {
    MakeImage(16 << 20, 1024, imgkit::Profile::basic(), 8);
    Options mftm;
    mftm.dirs = 4, mftm.dirsPending = 1;
    BOOL result = -1;
    std::string screen = Run(mftm, &result);
    ASSERT_EQ(result, TRUE) << screen;
    TARGET_AREA area = FixedTargetArea(4, llDirClusters, llAttribClusters);
    ntfsref::Volume first = ntfsref::Load(image_);
    ASSERT_EQ(first.error, "");
    auto inDirectoryPart = [&](const std::vector<ntfsref::Run> &runs) {
        return runs.size() == 1 && runs[0].lcn >= area.S && runs[0].lcn + runs[0].length <= area.Ed;
    };
    for (const auto &[number, runs] : DirectoryIndexes(first))
        EXPECT_TRUE(inDirectoryPart(runs)) << "directory " << number;
    EXPECT_EQ(imgkit::check(image_, manifest_).code, imgkit::kConsistent);

    screen = Run(mftm, &result);
    ASSERT_EQ(result, TRUE) << screen;
    std::vector<std::string> course = Course(screen);
    for (const char *line : {"Moved 0 files from directory target area", "Moved 0 directories to target area",
                             "Moved 1 attributes to target area"})
        EXPECT_NE(std::find(course.begin(), course.end(), line), course.end()) << line << "\n" << screen;
    ntfsref::Volume second = ntfsref::Load(image_);
    ASSERT_EQ(second.error, "");
    for (const auto &[number, record] : first.records) {
        if (number == MFT_RECORD_MFT) continue;
        const ntfsref::Record &now = second.records.at(number);
        EXPECT_TRUE(RunListsOf(record) == RunListsOf(now)) << "record " << number;
        EXPECT_EQ(e2e::OtherRuns(record), e2e::OtherRuns(now)) << "record " << number;
    }

    // The directory packed first in the area, grown in pieces.
    uint64_t grown = 0;
    for (const auto &[number, runs] : DirectoryIndexes(second))
        if (inDirectoryPart(runs) && (!grown || runs[0].lcn < DirectoryIndexes(second)[grown][0].lcn)) grown = number;
    ASSERT_NE(grown, 0u);
    std::string error;
    ASSERT_TRUE(moveref::AddEntries(image_, grown, 60, &error)) << error;
    ntfsref::Volume fragmented = ntfsref::Load(image_);
    ASSERT_GT(DirectoryIndexes(fragmented)[grown].size(), 1u) << "directory " << grown << " grew in pieces";

    screen = Run(mftm, &result);
    ASSERT_EQ(result, TRUE) << screen;
    area = FixedTargetArea(4, llDirClusters, llAttribClusters);
    std::string clearing = Between(screen, "Clearing Directory & Attribute Target Area", "from directory target area");
    EXPECT_NE(clearing.find("directory file " + Frn(grown)), std::string::npos) << clearing;
    EXPECT_EQ(clearing.find("directory file "), clearing.rfind("directory file ")) << "one directory moved out";
    ntfsref::Volume third = ntfsref::Load(image_);
    ASSERT_EQ(third.error, "");
    for (const auto &[number, runs] : DirectoryIndexes(third)) {
        if (number == grown)
            EXPECT_TRUE(inDirectoryPart(runs)) << "directory " << number << " brought back in one piece";
        else
            EXPECT_EQ(runs, DirectoryIndexes(fragmented)[number]) << "directory " << number << " left in place";
    }
    EXPECT_EQ(imgkit::check(image_, manifest_).code, imgkit::kConsistent);
}

// With attribute moves switched off the attributes stay where they are while
// the directories move; the closing lines count only what moved.
TEST_F(DriverRun, AttributesStayWhenOnlyDirectoriesMayMove) {
    MakeImage(16 << 20, 4096, imgkit::Profile::basic(), 9);
    ntfsref::Volume before = ntfsref::Load(image_);
    Options free;
    free.dirs = 1, free.dirsPending = 1, free.attrs = FALSE;
    BOOL result = -1;
    std::string screen = Run(free, &result);
    ASSERT_EQ(result, TRUE) << screen;
    std::vector<std::string> course = Course(screen);
    EXPECT_NE(std::find(course.begin(), course.end(), "Moved 0 attributes to target area"), course.end()) << screen;
    ntfsref::Volume after = ntfsref::Load(image_);
    int directories = 0;
    for (const auto &[number, record] : before.records) {
        const ntfsref::Record &now = after.records.at(number);
        EXPECT_EQ(e2e::OtherRuns(record), e2e::OtherRuns(now)) << "record " << number;
        if (record.directory && !(RunListsOf(record).index == RunListsOf(now).index)) directories++;
    }
    EXPECT_GT(directories, 0);
    EXPECT_NE(screen.find("Moved " + std::to_string(directories) + " directories to target area"), std::string::npos)
        << screen;
    EXPECT_EQ(imgkit::check(image_, manifest_).code, imgkit::kConsistent);
}

// ---------------------------------------------------------- paging file

// A kit volume with a paging file \pagefile.sys that the registry names
// (1 to 8 MB): in `fragments` pieces, compressed when asked.
class DriverPaging : public DriverRun {
protected:
    void MakePaging(uint64_t size, uint32_t fragments, bool compressed) {
        imgkit::Profile profile = imgkit::Profile::basic();
        profile.paging_file_fragments = fragments;
        profile.paging_file_compressed = compressed;
        MakeImage(size, 4096, profile, 60 + fragments + (compressed ? 10 : 0));
        imgkit::copy_image(image_, image_ + ".before");
        ASSERT_TRUE(
            machine_.SetMultiSz(u"Session Manager\\Memory Management", u"PagingFiles", {u"C:\\pagefile.sys 1 8"}));
        before_ = ntfsref::Load(image_);
        ASSERT_EQ(before_.error, "");
        std::string error;
        for (const auto &[record, names] : ntfsref::ListPaths(image_, &error))
            if (names.count("/pagefile.sys")) pagefile_ = record;
        ASSERT_NE(pagefile_, 0u) << error;
    }
    std::vector<ntfsref::Run> PagefileRuns(const ntfsref::Volume &v) const {
        return RunListsOf(v.records.at(pagefile_)).data;
    }
    ntfsref::Volume before_;
    uint64_t pagefile_ = 0;
};

// PAGE=MIN: a fragmented paging file moves whole to the start of the longest
// free run outside the MFT area (the later of equal ones), content and
// all; one that PFFRN= names wrongly, that lies in one piece or is
// compressed is left where it is with its line.
TEST_F(DriverPaging, MinimisationMovesOnlyAFragmentedPagingFileIntoTheLongestFreeRun) {
    struct Case {
        const char *name;
        uint32_t fragments;
        bool compressed;
        LONGLONG frn;  // PFFRN=: 0 the paging file's record, -1 none
        LONG dirs;
        const char *line;
    } cases[] = {
        {"fragmented", 4, false, 0, 0, "Moved 1 files during paging file fragment minimization"},
        {"PFFRN= naming $Bitmap", 4, false, 6, 0,
         "Paging File FRN passed didn't match pagefile found in registry; stage skipped\n\n"},
        {"contiguous, met while gathering", 1, false, -1, 1,
         "Info: Paging file is not fragmented; skipping paging file processing\n"},
        {"contiguous, named by PFFRN=", 1, false, 0, 0, "Error: Can't force rebuild of a contiguous paging file\n"},
        {"compressed", 3, true, 0, 0, "Error: Can't force rebuild of a compressed paging file\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MakePaging(16 << 20, c.fragments, c.compressed);
        Options o;
        o.page = 2;
        o.dirs = c.dirs;
        o.dirsPending = c.dirs ? 1 : 0;
        o.pageFileFrn = c.frn == 0 ? (LONGLONG)pagefile_ : c.frn;
        BOOL result = -1;
        uint64_t writes = ntp::raw_write_count();
        std::string screen = Run(o, &result);
        ASSERT_EQ(result, TRUE) << screen;
        EXPECT_NE(screen.find(c.line), std::string::npos) << screen;
        ntfsref::Volume after = ntfsref::Load(image_);
        ASSERT_EQ(after.error, "");
        EXPECT_EQ(imgkit::check(image_, manifest_).code, imgkit::kConsistent);
        if (std::string(c.line).rfind("Moved 1", 0) != 0) {
            EXPECT_TRUE(PagefileRuns(after) == PagefileRuns(before_)) << "the paging file stays";
            if (!c.dirs) {
                EXPECT_EQ(ntp::raw_write_count(), writes) << "nothing written";
            }
            continue;
        }
        // The longest free run before the run, the MFT area closed, the
        // later of equal ones.
        std::vector<uint8_t> bits = e2e::BitmapBytes(image_ + ".before", before_);
        int64_t bestLcn = -1, bestLength = 0, total = VolData.TotalClusters;
        for (int64_t lcn = 1; lcn < total;) {
            auto open = [&](int64_t l) {
                return e2e::ClusterFree(bits, l) && !(l >= VolData.MftZoneStart && l < VolData.MftZoneLimit);
            };
            if (!open(lcn)) {
                lcn++;
                continue;
            }
            int64_t end = lcn;
            while (end < total && open(end)) end++;
            if (end - lcn >= bestLength) bestLcn = lcn, bestLength = end - lcn;
            lcn = end;
        }
        std::vector<ntfsref::Run> runs = PagefileRuns(after);
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].lcn, bestLcn) << "the longest free run is " << bestLength << " clusters";
        EXPECT_EQ(e2e::RunFragments(PagefileRuns(before_)), 4);
    }
}

// The placement check on its own, on one volume, in steps: no record, a
// record that is not the registry's paging file, a zone larger than the
// volume, a move to the zone start with room behind it (the paging file then
// joins a full excluded list, which grows by 200 entries), a file already
// in place (nothing written), and a zone that wants more room behind the
// file than the volume has.
TEST_F(DriverPaging, PlacementCheckGivesEachCaseItsVerdict) {
    MakePaging(64 << 20, 4, false);
    SetOptions(Options{});
    BOOL ready = FALSE;
    frametest::Screen([&] { ready = Initialize(u"C:") && InitializeDefrag(); });
    ASSERT_TRUE(ready);
    wcscpy(cPageFile, u"C:\\PAGEFILE.SYS");  // compared without regard to case
    bPageFileFound = 1;
    llPageFileMax = 8;
    BYTE *mftBitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
    GlobalUnlock(VolData.hMftBitmap);
    const LONGLONG total = VolData.TotalClusters, zone = (8 << 20) / 4096, file = (LONGLONG)pagefile_;
    while (llUsedFrns < llMaxFrns) pExcludedFrns[llUsedFrns] = 100000 + llUsedFrns, llUsedFrns++;
    ASSERT_EQ(llMaxFrns, 200);
    struct Step {
        const char *name;
        LONGLONG frn, zone, presetStart;
        const char *line;
        LONG pageOpt;
        LONGLONG firstLcn;  // of the paging file afterwards (-1: not read)
        bool writes;
    } steps[] = {
        {"no record", -1, -1, -1, "Paging File not found or FRN passed was invalid; stage skipped\n\n", 0, -1, false},
        {"the root directory", 5, -1, -1,
         "Paging File FRN passed didn't match pagefile found in registry; stage skipped\n\n", 0, -1, false},
        {"zone larger than the volume", file, total + 1, -1,
         "Couldn't compute deterministic placement of paging file; stage skipped\n\n", 0, -1, false},
        {"moved to the zone start", file, -1, -1, "\rPaging File Determined to be placed properly", 0, total - zone,
         true},
        {"already in place", file, -1, -1, "\rPaging File Determined to be placed properly", 0, total - zone, false},
        {"no room behind it", file, zone + 10, total - zone, "\rPaging File Target area still needs to be cleared", 3,
         total - zone, false},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        VolData.PagingZoneStartLcn = s.presetStart;
        VolData.PagingZoneEndLcn = s.presetStart < 0 ? -1 : total - 1;
        LONGLONG pageFileZone = s.zone;
        LONG pageOpt = 3;
        LONGLONG used = llUsedFrns;
        uint64_t writes = ntp::raw_write_count();
        BOOL ok = FALSE;
        std::string screen =
            frametest::Screen([&] { ok = PlaceVerifyPagingFile(7, s.frn, &pageFileZone, mftBitmap, &pageOpt); });
        ASSERT_TRUE(ok) << screen;
        EXPECT_EQ(screen.rfind("*** STAGE 7 *** Verifying Paging File Placement\n", 0), 0u) << screen;
        EXPECT_NE(screen.find(s.line), std::string::npos) << screen;
        EXPECT_EQ(pageOpt, s.pageOpt);
        EXPECT_EQ(ntp::raw_write_count() > writes, s.writes);
        if (s.firstLcn >= 0) {
            EXPECT_EQ(VolData.pExtentList[0].StartingLcn, s.firstLcn);
        }
        bool placed = std::string(s.line).find("placed properly") != std::string::npos;
        EXPECT_EQ(llUsedFrns, used + (placed ? 1 : 0));
        if (placed) {
            EXPECT_EQ(pExcludedFrns[llUsedFrns - 1], file);
            EXPECT_EQ(llMaxFrns, 400) << "the full list grew by 200 entries";
            EXPECT_EQ(screen.substr(screen.find(s.line)).size(), 78u + 2) << "padded to 78, then two line ends";
        }
        if (std::string(s.name) == "zone larger than the volume") {
            EXPECT_EQ(VolData.PagingZoneStartLcn, -1);
            EXPECT_EQ(VolData.PagingZoneEndLcn, -1);
        }
    }
    frametest::Screen([] { OffLineExit(); });
    ntfsref::Volume after = ntfsref::Load(image_);
    EXPECT_TRUE(PagefileRuns(after) == (std::vector<ntfsref::Run>{{total - zone, 256}})) << "1 MB in one run";
    EXPECT_EQ(imgkit::check(image_, manifest_).code, imgkit::kConsistent);
}

// ------------------------------------------------- the caches change nothing

// What the run decides does not depend on how it reads and writes the
// metadata: with the caches (bCacheMetadata: the copy of the disk's bitmap,
// the free-space summary, the MFT record cache) and with the plain I/O they
// stand in for, a run gives the same screen and leaves the same image, byte
// for byte, on volumes where it moves many files, directories, attributes
// and MFT extents, also out of and into the MFT area.
struct CacheCase {
    const char *name;
    uint32_t cluster;
    Options options;
    double minFree;  // the kit's free share (less: the MFT area is needed as a last resort)
    uint32_t mftFragments;
    bool pagingFile;
};

class DriverCaches : public DriverRun, public testing::WithParamInterface<CacheCase> {
protected:
    std::string RunWith(BOOL cache) {
        BOOL result = -1;
        bCacheMetadata = cache;
        std::string screen = Run(GetParam().options, &result);
        bCacheMetadata = TRUE;
        EXPECT_EQ(result, TRUE) << screen;
        return screen;
    }
};

void PrintTo(const CacheCase &c, std::ostream *os) { *os << c.name; }

bool SameFiles(const std::string &a, const std::string &b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> p(1 << 20), q(1 << 20);
    while (x && y) {
        x.read(p.data(), (std::streamsize)p.size());
        y.read(q.data(), (std::streamsize)q.size());
        if (x.gcount() != y.gcount() || memcmp(p.data(), q.data(), (size_t)x.gcount()) != 0) return false;
    }
    return !x && !y;
}

TEST_P(DriverCaches, GiveTheScreenAndImageOfThePlainIo) {
    const CacheCase &c = GetParam();
    imgkit::Profile profile = imgkit::Profile::full();
    profile.min_free_share = c.minFree;
    profile.mft_fragments = c.mftFragments;
    profile.file_behind_mft = c.minFree < 0.2;
    profile.paging_file_fragments = c.pagingFile ? 4 : 0;
    MakeImage(64 << 20, c.cluster, profile, 40 + c.cluster);
    if (c.pagingFile) {
        ASSERT_TRUE(
            machine_.SetMultiSz(u"Session Manager\\Memory Management", u"PagingFiles", {u"C:\\pagefile.sys 1 4"}));
    }
    std::string start = image_ + ".start", plain = image_ + ".plain";
    imgkit::copy_image(image_, start);
    std::string plainScreen = RunWith(FALSE);
    imgkit::copy_image(image_, plain);
    imgkit::copy_image(start, image_);
    std::string screen = RunWith(TRUE);
    EXPECT_EQ(screen, plainScreen);
    EXPECT_TRUE(SameFiles(image_, plain)) << "the images differ";
    size_t moves = 0;
    for (size_t at = screen.find(" to LCN 0x"); at != std::string::npos; at = screen.find(" to LCN 0x", at + 1))
        moves++;
    EXPECT_GT(moves, 20u) << screen;
    EXPECT_EQ(imgkit::check(image_, manifest_).code, imgkit::kConsistent);
}

// The options main leaves for DIRS= and FILES= given (dirs, files), with
// MFT=MIN (mft 1) or a PAGE= option (page) besides.
Options Chosen(LONG dirs, LONG files, LONG mft = -1, LONG page = 0) {
    Options o;
    o.dirs = dirs, o.files = files, o.mft = mft, o.page = page;
    LONG implied = mft == 1 ? 2 : page != 0 ? 4 : 0;
    o.dirsPending = dirs ? 1 | implied : 0;
    o.filesPending = files ? 1 | implied : 0;
    if (files == 2)
        for (LONGLONG n = 20; n < 400; n += 7) o.list.push_back(n);
    return o;
}

INSTANTIATE_TEST_SUITE_P(Runs, DriverCaches,
                         testing::Values(CacheCase{"Files4096", 4096, Chosen(0, 1), 0.3, 0, false},
                                         CacheCase{"FreeDirs512", 512, Chosen(1, 1), 0.3, 0, false},
                                         CacheCase{"TightMftz1024", 1024, Chosen(3, 1), 0.08, 0, false},
                                         CacheCase{"MftMin2048", 2048, Chosen(4, 1, 1), 0.3, 8, false},
                                         CacheCase{"ZeroList4096", 4096, Chosen(2, 2), 0.3, 0, false},
                                         CacheCase{"PageMin4096", 4096, Chosen(4, 1, -1, 2), 0.2, 0, true}),
                         [](const testing::TestParamInfo<CacheCase> &i) { return std::string(i.param.name); });

}  // namespace
