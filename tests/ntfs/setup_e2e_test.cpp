// Boot-time runs of bootntfs from boot to reboot, on machines made with the
// machine tool and NTFS volumes made by mkntfs and filled by the image kit:
// the partition data against ntfsinfo, the refusals (dirty volume, another
// NTFS version, clusters above 4 KB, two paging files, a volume bitmap that
// disagrees with the records) that leave the volume as it was, the
// paging-file preparation seen through ntfscat and ntfsinfo, and that a run
// without moves makes no raw write to the volume.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include <imgkit/imgkit.h>

#include "setup_support.h"

using setuptest::Quote;

namespace {

namespace fs = std::filesystem;

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const char kRefusedInit[] = "Failed to initialize for volume C: -- volume probably not mounted or is not NTFS\n"
                            "Exiting -- \n";

// A machine folder with C: an NTFS image (and A: a folder for logs).
class BootRun : public ::testing::Test {
protected:
    void SetUp() override {
        dir = scratch.path() + "/machine";
        image = dir + "/c.img";
        writeLog = scratch.path() + "/writes.log";
    }
    // Makes the machine with a filled volume of this cluster size.
    void Make(uint32_t cluster = 4096, uint64_t bytes = 32 << 20) {
        Tool("create " + Quote(dir));
        fs::create_directories(dir + "/logs");
        imgkit::make_ntfs(image, bytes, cluster);
        imgkit::Profile profile = imgkit::Profile::basic();
        profile.compressed_file = cluster <= 4096;
        manifest = imgkit::fill(image, profile, 17);
        Tool("attach " + Quote(dir) + " C: image " + Quote(image));
        Tool("attach " + Quote(dir) + " A: folder " + Quote(dir + "/logs"));
    }
    // Runs the machine tool; a failure fails the test.
    std::string Tool(const std::string &args) {
        setuptest::Command c = setuptest::Run(Quote(NTMACHINE) + " " + args);
        EXPECT_EQ(c.code, 0) << "ntmachine " << args << "\n" << c.out;
        return c.out;
    }
    // Boots the machine (no waiting), logging the raw volume writes.
    std::string Boot(const std::string &extra = "") {
        fs::remove(writeLog);
        setuptest::Command c = setuptest::Run("NT_WRITE_LOG=" + Quote(writeLog) + " " + Quote(NTMACHINE) + " boot " +
                                              Quote(dir) + " --fast " + extra);
        return c.out;
    }
    std::string RawWrites() const { return fs::exists(writeLog) ? ReadAll(writeLog) : std::string(); }
    std::string BootExecute() const {
        return setuptest::Run("hivexget " + Quote(dir + "/config/SYSTEM") +
                              " 'ControlSet001\\Control\\Session Manager' " + "BootExecute")
            .out;
    }
    // The file's bytes through ntfscat; code is ntfscat's exit status.
    std::string Cat(const std::string &path, int *code = nullptr) const {
        setuptest::Command c = setuptest::Run("ntfscat -f " + Quote(image) + " " + Quote(path) + " 2>/dev/null");
        if (code) *code = c.code;
        return c.out;
    }
    // A run ends in the wait and the reboot; the boot after it removes the
    // program's entry and completes.
    void ExpectRebootAndDeregistration(const std::string &screen) {
        EXPECT_TRUE(Contains(screen, "[reboot]  DOZUZORO asked for a reboot")) << screen;
        EXPECT_TRUE(Contains(screen, "Boot 2 complete: Windows goes on starting.")) << screen;
        EXPECT_EQ(BootExecute(), "autocheck autochk *\n\n");
        int code = 0;
        Cat("/Defragme.dat", &code);
        EXPECT_NE(code, 0) << "the trigger file is still there";
    }
    void ExpectFilesIntact() {
        imgkit::CheckResult r = imgkit::check(image, manifest);
        EXPECT_TRUE(r.code == imgkit::kConsistent || r.code == imgkit::kLostClusters) << r.summary;
        EXPECT_EQ(r.files_checked, manifest.files.size());
        EXPECT_EQ(r.files_differing, 0u) << r.summary;
    }

    imgkit::ScratchDir scratch;
    std::string dir, image, writeLog;
    imgkit::Manifest manifest;
};

// The value of a partition-data line on the screen, e.g. "MFT Start LCN".
long long Shown(const std::string &screen, const std::string &name) {
    size_t at = screen.find(name);
    if (at == std::string::npos) return -1;
    size_t equals = screen.find('=', at);
    std::string rest = screen.substr(equals + 1, screen.find('\n', equals) - equals - 1);
    return std::stoll(rest, nullptr, 0);
}

TEST_F(BootRun, PartitionDataAndNoRawWriteWithoutMoves) {
    Make();
    Tool("schedule " + Quote(dir) + " C: DIRS=NONE FILES=NONE");
    std::map<std::string, std::string> info = setuptest::NtfsInfo(image);
    ASSERT_FALSE(info.empty());
    std::vector<imgkit::Extent> bitmap = imgkit::file_extents(image, "\\$Bitmap");
    std::string screen = Boot();

    EXPECT_TRUE(Contains(screen, "          Data for partition C:\n=========================================\n"))
        << screen;
    EXPECT_EQ(Shown(screen, "Bytes per sector"), std::stoll(info.at("Sector Size")));
    EXPECT_EQ(Shown(screen, "Bytes per cluster"), std::stoll(info.at("Cluster Size")));
    EXPECT_EQ(Shown(screen, "Total clusters on partition"), std::stoll(info.at("Volume Size in Clusters")));
    EXPECT_EQ(Shown(screen, "Bytes per File Record Segment"), std::stoll(info.at("MFT Record Size")));
    EXPECT_EQ(Shown(screen, "MFT Start LCN"), std::stoll(info.at("LCN of Data Attribute for FILE_MFT")));
    EXPECT_EQ(Shown(screen, "MFT Area Start"), std::stoll(info.at("MFT Zone Start")));
    EXPECT_EQ(Shown(screen, "MFT Area End"), std::stoll(info.at("MFT Zone End")));
    EXPECT_EQ(Shown(screen, "MFT Start Offset"),
              std::stoll(info.at("LCN of Data Attribute for FILE_MFT")) * std::stoll(info.at("Cluster Size")));
    ASSERT_FALSE(bitmap.empty());
    EXPECT_EQ(Shown(screen, "Volume Bitmap Start LCN"), bitmap[0].lcn);
    long long bitmapClusters = 0;
    for (auto &e : bitmap) bitmapClusters += (long long)e.length;
    EXPECT_EQ(Shown(screen, "Volume Bitmap Cluster Count"), bitmapClusters);
    EXPECT_EQ(Shown(screen, "Volume Bitmap Size"), (Shown(screen, "Total clusters on partition") + 31) / 32 * 32 + 32);

    ExpectRebootAndDeregistration(screen);
    EXPECT_EQ(RawWrites(), "") << "a run without moves wrote to the volume";
    ExpectFilesIntact();
}

TEST_F(BootRun, DirtyVolumeIsRefusedAndLeftAlone) {
    Make();
    Tool("schedule " + Quote(dir) + " C:");
    // Windows marked the volume for the disk checker after the scheduling.
    std::string why;
    ASSERT_TRUE(setuptest::PatchVolumeInformation(image, 0x0001, -1, -1, &why)) << why;
    std::string screen = Boot();
    EXPECT_TRUE(Contains(screen, "Boot-time defragmenter detected that this volume is slated to have CHKDSK run,\n"
                                 "Boot-time defragmenter cannot run on a dirty volume.  Please run CHKDSK /f"))
        << screen;
    EXPECT_TRUE(Contains(screen, kRefusedInit)) << screen;
    EXPECT_FALSE(Contains(screen, "Data for partition")) << screen;
    ExpectRebootAndDeregistration(screen);
    EXPECT_EQ(RawWrites(), "");
    imgkit::CheckResult r = imgkit::check(image, manifest);
    EXPECT_TRUE(r.dirty) << "the dirty flag was cleared";
    EXPECT_EQ(r.files_differing, 0u) << r.summary;
    EXPECT_EQ(r.files_checked, manifest.files.size());
}

TEST_F(BootRun, OtherNtfsVersionIsRefusedAndLeftAlone) {
    Make();
    ASSERT_TRUE(fs::exists(image));
    Tool("pagefile " + Quote(dir) + " C: pagefile.sys 2 4");
    Tool("schedule " + Quote(dir) + " C:");
    std::string why;
    ASSERT_TRUE(setuptest::PatchVolumeInformation(image, 0, 1, 2, &why)) << why;
    std::string screen = Boot();
    EXPECT_TRUE(Contains(screen, "Device C: not legal for boot-time defragmentation (NTFS version incompatible)\n"))
        << screen;
    EXPECT_TRUE(Contains(screen, kRefusedInit)) << screen;
    ExpectRebootAndDeregistration(screen);
    EXPECT_EQ(RawWrites(), "");
    std::map<std::string, std::string> info = setuptest::NtfsInfo(image);
    EXPECT_EQ(info["Volume Version"], "1.2");
    // The checkers read compressed files and named streams differently on
    // a version 1.2 volume: the files are compared under the version the
    // image was filled with.
    ASSERT_TRUE(setuptest::PatchVolumeInformation(image, 0, 3, 1, &why)) << why;
    ExpectFilesIntact();
}

TEST_F(BootRun, OtherNtfsVersionLeavesThePagingFileWithPagePlace) {
    // The paging file would be recreated during setup: the version is known
    // before that.
    Make();
    Tool("pagefile " + Quote(dir) + " C: pagefile.sys 2 4");
    Tool("schedule " + Quote(dir) + " C: PAGE=PLACE");
    std::string why;
    ASSERT_TRUE(setuptest::PatchVolumeInformation(image, 0, 1, 2, &why)) << why;
    std::string screen = Boot();
    EXPECT_TRUE(Contains(screen, "(NTFS version incompatible)")) << screen;
    EXPECT_FALSE(Contains(screen, "Registry Data For Paging File Found")) << screen;
    EXPECT_EQ(Cat("/pagefile.sys"), std::string(2 << 20, '\0'));
    EXPECT_EQ(RawWrites(), "");
}

TEST_F(BootRun, ClustersAbove4KAreRefusedAfterThePartitionData) {
    Make(8192, 64 << 20);
    Tool("pagefile " + Quote(dir) + " C: pagefile.sys 2 4");
    Tool("schedule " + Quote(dir) + " C:");
    std::string screen = Boot();
    EXPECT_EQ(Shown(screen, "Bytes per cluster"), 8192) << screen;
    EXPECT_TRUE(Contains(screen, "Volume C: -- Cannot process a partition with cluster size > 4k\n")) << screen;
    EXPECT_FALSE(Contains(screen, "not part of this program yet")) << "the stages ran: " << screen;
    ExpectRebootAndDeregistration(screen);
    EXPECT_EQ(RawWrites(), "");
    ExpectFilesIntact();
    // With PAGE=PLACE the paging file is not prepared for a run that
    // will be refused.
    Tool("schedule " + Quote(dir) + " C: PAGE=PLACE");
    screen = Boot();
    EXPECT_TRUE(Contains(screen, "Volume C: -- Cannot process a partition with cluster size > 4k\n")) << screen;
    EXPECT_EQ(Cat("/pagefile.sys"), std::string(2 << 20, '\0'));
    EXPECT_EQ(RawWrites(), "");
}

TEST_F(BootRun, PagePlaceRecreatesThePlaceholder) {
    Make();
    Tool("pagefile " + Quote(dir) + " C: pagefile.sys 2 4");
    Tool("schedule " + Quote(dir) + " C: PAGE=PLACE DIRS=NONE FILES=NONE");
    std::string screen = Boot();
    EXPECT_TRUE(Contains(screen, "Registry Data For Paging File Found: C:\\pagefile.sys\n")) << screen;
    EXPECT_TRUE(Contains(screen, "Data for partition C:")) << screen;
    std::string placeholder = Cat("/pagefile.sys");
    ASSERT_EQ(placeholder.size(), 1048640u);
    std::string pattern;
    for (int i = 0; i < 16385; i++) pattern += "IamaduckIamaduckIamaduckIamaduckIamaduckIamaduckIamaduckIamaduck";
    EXPECT_TRUE(placeholder == pattern) << "not the fill pattern";
    std::string attributes = setuptest::Run("ntfsinfo -F /pagefile.sys " + Quote(image)).out;
    EXPECT_TRUE(Contains(attributes, "HIDDEN SYSTEM")) << attributes;
    ExpectRebootAndDeregistration(screen);
    // The placeholder went through the file system, not raw.
    EXPECT_EQ(RawWrites(), "");
    ExpectFilesIntact();
}

TEST_F(BootRun, PageZeroDeletesThePagingFileAndTheNextBootRebuildsIt) {
    Make();
    Tool("pagefile " + Quote(dir) + " C: pagefile.sys 2 4");
    Tool("schedule " + Quote(dir) + " C: PAGE=ZERO DIRS=NONE FILES=NONE");
    // Only the boot of the run.
    std::string screen = Boot("--max-boots 1");
    EXPECT_TRUE(Contains(screen, "Registry Data For Paging File Found: C:\\pagefile.sys\n")) << screen;
    EXPECT_TRUE(Contains(screen, "[reboot]  DOZUZORO asked for a reboot")) << screen;
    int code = 0;
    Cat("/pagefile.sys", &code);
    EXPECT_NE(code, 0) << "the paging file is still there after the run";
    EXPECT_EQ(RawWrites(), "");
    // The boot after the run: deregistration and an empty paging file for
    // Windows to build.
    screen = Boot();
    EXPECT_TRUE(Contains(screen, "Boot 1 complete: Windows goes on starting.")) << screen;
    EXPECT_EQ(BootExecute(), "autocheck autochk *\n\n");
    EXPECT_EQ(Cat("/pagefile.sys", &code), "");
    EXPECT_EQ(code, 0) << "no paging file was rebuilt";
    ExpectFilesIntact();
}

TEST_F(BootRun, TwoPagingFilesOnOneDriveStopSetup) {
    Make();
    Tool("pagefile " + Quote(dir) + " C: pagefile.sys 2 4");
    Tool("pagefile " + Quote(dir) + " C: second.sys 1 1");
    Tool("schedule " + Quote(dir) + " C: PAGE=PLACE");
    std::string screen = Boot();
    EXPECT_TRUE(Contains(screen, "Info: Cannot optimize paging files when there's more than one paging file per "
                                 "partition\n"))
        << screen;
    EXPECT_TRUE(Contains(screen, kRefusedInit)) << screen;
    ExpectRebootAndDeregistration(screen);
    EXPECT_EQ(Cat("/pagefile.sys"), std::string(2 << 20, '\0'));
    EXPECT_EQ(RawWrites(), "");
}

// ------------------------------------------------ bitmap against records

// Sectors (512 bytes) in which two images of one size differ.
std::vector<size_t> ChangedSectors(const std::string &a, const std::string &b) {
    std::vector<size_t> changed;
    for (size_t at = 0; at < a.size() && at < b.size(); at += 512)
        if (a.compare(at, 512, b, at, 512) != 0) changed.push_back(at / 512);
    return changed;
}

// A damage done on purpose to a filled volume, by the image kit.
enum class Damage {
    Cleared,  // the bitmap bit of a live file's cluster cleared
    Shared,   // a file's first run pointed into another file's clusters
    Outside,  // a file's first run pointed across the volume's end
    Lost,     // clusters marked in use that no file owns: allowed
};

struct DamageCase {
    const char *name;
    Damage damage;
    const char *options;  // of the scheduled run
    const char *detail;   // the detail line shows it (null: the run is not refused)
};

void PrintTo(const DamageCase &c, std::ostream *os) { *os << c.name; }

class DamagedVolume : public BootRun, public ::testing::WithParamInterface<DamageCase> {
protected:
    // Two files each in one run of two clusters or more, in their base
    // records: the shorter is damaged, the longer lends its clusters.
    void PickFiles(std::string *damaged, std::string *lender) {
        std::vector<std::pair<uint64_t, std::string>> picked;
        for (const imgkit::ManifestEntry &f : manifest.files) {
            if (f.path.find(':') != std::string::npos || f.size < 64 * 1024) continue;
            std::vector<imgkit::Extent> runs = imgkit::file_extents(image, f.path);
            if (runs.size() == 1 && runs[0].lcn > 0 && runs[0].length >= 2) picked.push_back({runs[0].length, f.path});
        }
        ASSERT_GE(picked.size(), 2u) << "no two files in one run each";
        std::sort(picked.begin(), picked.end());
        *damaged = picked.front().second;
        *lender = picked.back().second;
    }
    void Apply(Damage damage) {
        std::string file, lender;
        PickFiles(&file, &lender);
        if (HasFatalFailure()) return;
        switch (damage) {
        case Damage::Cleared:
            imgkit::clear_allocation_under_file(image, file);
            break;
        case Damage::Shared:
            imgkit::ntfs_move_first_run(image, file, imgkit::file_extents(image, lender)[0].lcn);
            break;
        case Damage::Outside:
            imgkit::ntfs_move_first_run(image, file, (int64_t)imgkit::count(image).total_clusters - 1);
            break;
        case Damage::Lost:
            imgkit::leak_clusters(image, 40);
            break;
        }
    }
};

// A volume whose bitmap calls free a cluster a file uses, whose files share
// a cluster, or whose runs leave it, is refused before anything changes,
// with the line and its detail: no raw write, and on the image only what
// deleting the trigger file changes, as a run refused at once (on a system
// without SYSTEM\MountedDevices) shows. Lost clusters are no reason to
// refuse.
TEST_P(DamagedVolume, IsRefusedBeforeAnythingChanges) {
    const DamageCase &c = GetParam();
    Make();
    Tool("pagefile " + Quote(dir) + " C: pagefile.sys 2 4");
    Tool("schedule " + Quote(dir) + " C: " + c.options);
    Apply(c.damage);
    if (HasFatalFailure()) return;
    // The checkers nobody here wrote see the damage too.
    if (c.detail) {
        EXPECT_EQ(imgkit::check(image, manifest).code, imgkit::kInconsistent);
    }
    std::string before = ReadAll(image), hive = ReadAll(dir + "/config/SYSTEM");
    std::string screen = Boot();
    ExpectRebootAndDeregistration(screen);
    if (!c.detail) {
        EXPECT_FALSE(Contains(screen, "allocation disagrees")) << screen;
        EXPECT_TRUE(Contains(screen, "Data for partition C:")) << screen;
        ExpectFilesIntact();
        return;
    }
    EXPECT_TRUE(Contains(screen, c.detail)) << screen;
    EXPECT_TRUE(Contains(screen, "Boot-time defragmenter cannot run on a volume whose allocation disagrees with its "
                                 "files.  Please run CHKDSK /f\n" +
                                     std::string(kRefusedInit)))
        << screen;
    EXPECT_EQ(RawWrites(), "");
    std::vector<size_t> changed = ChangedSectors(before, ReadAll(image));

    // The trigger file's deletion alone, on the same image.
    std::ofstream(image, std::ios::binary) << before;
    std::ofstream(dir + "/config/SYSTEM", std::ios::binary) << hive;
    setuptest::Command del =
        setuptest::Run("printf 'cd MountedDevices\ndel\ncommit\n' | hivexsh -w " + Quote(dir + "/config/SYSTEM"));
    ASSERT_EQ(del.code, 0) << del.out;
    screen = Boot();
    ASSERT_TRUE(Contains(screen, "[reboot]  DOZUZORO asked for a reboot")) << screen;
    ASSERT_FALSE(Contains(screen, "Data for partition")) << screen;
    std::vector<size_t> deletion = ChangedSectors(before, ReadAll(image));
    EXPECT_FALSE(deletion.empty());
    EXPECT_EQ(changed, deletion) << "sectors changed beyond the trigger file's deletion";
}

INSTANTIATE_TEST_SUITE_P(Bitmaps, DamagedVolume,
                         ::testing::Values(DamageCase{"ClearedUnderAFile", Damage::Cleared, "FILES=FULL LEV=1",
                                                      "which the volume bitmap marks free\n"},
                                           DamageCase{"ClusterOfTwoFiles", Damage::Shared, "PAGE=PLACE LEV=1",
                                                      "which another record uses too\n"},
                                           DamageCase{"RunPastTheEnd", Damage::Outside, "LEV=1",
                                                      "are damaged or leave the volume\n"},
                                           DamageCase{"LostClusters", Damage::Lost, "FILES=FULL", nullptr}),
                         [](const testing::TestParamInfo<DamageCase> &i) { return std::string(i.param.name); });

}  // namespace
