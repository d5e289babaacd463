// bootfat runs (DIRS=NONE FILES=NONE, in a child process) on volumes at the
// 12-bit boundary and on volumes damaged on purpose: chains that loop,
// cross (one joins another, or the FAT32 root), run into a free cluster or
// leave the volume, an entry on a free cluster or on cluster 1, a directory
// that leads back to its parent, a tree deeper than 128 levels, a root
// region that is not whole sectors. A volume whose FAT disagrees with its
// chains is refused before anything is written. Every run ends in the reboot
// with the line that names the trouble, writes nothing raw, and leaves the
// image as it was but for the trigger file's deletion.
#include <cstdlib>

#include "fat_test_support.h"
#include "frame_support.h"

namespace {

using fattest::FindEntry;
using fattest::Le16;
using fattest::Mtools;
using fattest::Patch;
using fattest::Quote;
using testshell::Run;

const char kWalked[] = "\nTesserin boot-time processing completed.\n";
const char kRefused[] =
    "Boot-time defragmenter cannot run on a volume whose allocation disagrees with its files.  Please run CHKDSK /f\n";

// A FAT16 volume of exactly `clusters` clusters of one sector: made larger
// by mkfs.fat, then its sector count cut (1 reserved sector, 2 FATs of 17
// sectors, a root of 32).
void MakeExact(const std::string &image, uint32_t clusters) {
    ASSERT_EQ(Run("mkfs.fat -C -F 16 -s 1 -S 512 -f 2 -R 1 -r 512 " + Quote(image) + " 2200").code, 0);
    uint32_t sectors = 1 + 2 * 17 + 32 + clusters;
    Patch(image, 19, Le16(sectors));
    Patch(image, 32, std::string(4, '\0'));
    ASSERT_EQ(truncate(image.c_str(), (off_t)sectors * 512), 0);
}

// A filled FAT16 (or FAT32) volume with ONE.TXT and TWO.TXT (three
// clusters each) in the root, the second just after the first.
void MakeFilledAs(const std::string &image, int bits) {
    if (bits == 16) imgkit::make_fat(image, 16 << 20, 16, 2048);
    if (bits == 32) imgkit::make_fat(image, 40 << 20, 32, 512);
    imgkit::Profile profile = imgkit::Profile::basic();
    imgkit::fill(image, profile, 3);
    std::string host = image + ".txt";
    std::ofstream(host) << std::string(3 * 2048, 'x');
    ASSERT_EQ(Run(Mtools("mcopy -i " + Quote(image) + " " + Quote(host) + " ::/ONE.TXT")).code, 0);
    ASSERT_EQ(Run(Mtools("mcopy -i " + Quote(image) + " " + Quote(host) + " ::/TWO.TXT")).code, 0);
}

void MakeFilled(const std::string &image) { MakeFilledAs(image, 16); }

// The cluster numbers of a file's chain.
std::vector<uint32_t> Chain(const std::string &image, const std::string &path) {
    std::vector<uint32_t> chain;
    for (const imgkit::Extent &e : imgkit::file_extents(image, path))
        for (uint64_t i = 0; i < e.length; i++) chain.push_back(uint32_t(e.lcn + 2 + i));
    return chain;
}

// Points the entry with the 8.3 name at another first cluster.
void SetFirstCluster(const std::string &image, const std::string &name83, uint32_t cluster) {
    size_t at = FindEntry(fattest::ReadImage(image), name83);
    ASSERT_NE(at, std::string::npos) << name83;
    Patch(image, at + 26, Le16(cluster));
}

struct RunCase {
    const char *name;
    void (*make)(const std::string &image);    // the volume
    void (*damage)(const std::string &image);  // the fault, after the trigger file is placed; may be null
    const char *line;                          // what the run shows about the volume
};

const RunCase kCases[] = {
    {"Volume4087Clusters", [](const std::string &i) { MakeExact(i, 4087); }, nullptr, kWalked},
    {"Volume4086Clusters", [](const std::string &i) { MakeExact(i, 4086); }, nullptr,
     "Error - Drive has a 12-bit FAT.\nTesserin does not support 12-bit FAT partitions."},
    {"ChainLoops", MakeFilled,
     [](const std::string &i) {
         auto c = Chain(i, "\\ONE.TXT");
         imgkit::fat_set_entry(i, c.back(), c.front());
     },
     "The cluster chain of C:\\ONE.TXT is longer than the volume (it loops)\n"},
    {"ChainLeavesTheVolume", MakeFilled,
     [](const std::string &i) { imgkit::fat_set_entry(i, Chain(i, "\\ONE.TXT").back(), 0xFFF0); },
     "The cluster chain of C:\\ONE.TXT leaves the volume at cluster 65520\n"},
    {"ChainRunsIntoAFreeCluster", MakeFilled,
     [](const std::string &i) { imgkit::clear_allocation_under_file(i, "\\ONE.TXT"); }, kRefused},
    {"EntryOnAFreeCluster", MakeFilled,
     [](const std::string &i) { imgkit::fat_set_entry(i, Chain(i, "\\ONE.TXT").front(), 0); }, kRefused},
    {"ChainsCross", MakeFilled,
     [](const std::string &i) {
         imgkit::fat_set_entry(i, Chain(i, "\\ONE.TXT").back(), Chain(i, "\\TWO.TXT").front());
     },
     kRefused},
    {"ChainJoinsTheFat32Root", [](const std::string &i) { MakeFilledAs(i, 32); },
     [](const std::string &i) {
         std::string boot = fattest::ReadImage(i).substr(44, 4);  // the root's first cluster
         uint32_t root =
             (uint8_t)boot[0] | (uint8_t)boot[1] << 8 | (uint8_t)boot[2] << 16 | (uint32_t)(uint8_t)boot[3] << 24;
         imgkit::fat_set_entry(i, Chain(i, "\\ONE.TXT").back(), root);
     },
     kRefused},
    {"FirstClusterOne", MakeFilled, [](const std::string &i) { SetFirstCluster(i, "ONE     TXT", 1); },
     "The first cluster of C:\\ONE.TXT lies off the volume\n"},
    {"DirectoryLeadsBackToItsParent", MakeFilled,
     [](const std::string &i) {
         ASSERT_EQ(Run(Mtools("mmd -i " + Quote(i) + " ::/LOOPA ::/LOOPA/LOOPB")).code, 0);
         SetFirstCluster(i, "LOOPB      ", Chain(i, "\\LOOPA").front());
     },
     kRefused},  // the two directories share their clusters
    {"TreeDeeperThan128Levels", MakeFilled,
     [](const std::string &i) {
         std::string paths, path = "::";
         for (int level = 1; level <= 130; level++) paths += " " + Quote(path += "/D");
         ASSERT_EQ(Run(Mtools("mmd -i " + Quote(i) + paths)).code, 0);
     },
     "lies deeper than 127 levels below the root; nothing below it is walked\n"},
    {"RootRegionNotWholeSectors", MakeFilled, [](const std::string &i) { Patch(i, 17, Le16(500)); },
     "Volume C: cannot be processed: its root directory (500 entries) is not a whole number of sectors\n"},
};

class FatRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(FatRun, EndsInTheRebootAndLeavesTheImageButForTheTrigger) {
    imgkit::ScratchDir scratch;
    std::string image = scratch.file("c.img"), writes = scratch.file("writes.log");
    GetParam().make(image);
    if (HasFatalFailure()) return;
    std::ofstream(scratch.file("DEFRAGME.DAT")).close();
    ASSERT_EQ(
        testshell::Run(Mtools("mcopy -i " + Quote(image) + " " + Quote(scratch.file("DEFRAGME.DAT")) + " ::/")).code,
        0);
    if (GetParam().damage) GetParam().damage(image);
    if (HasFatalFailure()) return;
    std::string before = fattest::ReadImage(image);
    size_t trigger = FindEntry(before, "DEFRAGMEDAT");
    ASSERT_NE(trigger, std::string::npos);

    frametest::Machine machine("A: folder logs\nC: image " + image + "\n");
    machine.MakeFolder("logs");
    setenv("NT_WRITE_LOG", writes.c_str(), 1);
    frametest::ChildRun run = frametest::RunMainInChild({"bootfat", "C:", "DIRS=NONE", "FILES=NONE"});
    unsetenv("NT_WRITE_LOG");

    EXPECT_EQ(run.exitCode, 0) << run.screen;
    EXPECT_EQ(machine.ReadFile("reboot"), "reboot\n");
    EXPECT_TRUE(frametest::Contains(run.screen, GetParam().line)) << run.screen;
    EXPECT_FALSE(std::ifstream(writes).good()) << "a raw write";
    std::string after = fattest::ReadImage(image);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ((BYTE)after[trigger], 0xE5) << "the trigger file is deleted";
    for (size_t at = 0; at < after.size(); at++)
        if (after[at] != before[at] && (at < trigger || at >= trigger + 32)) {
            ADD_FAILURE() << "byte " << at << " changed";
            break;
        }
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatRun, ::testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<RunCase> &info) { return std::string(info.param.name); });

}  // namespace
