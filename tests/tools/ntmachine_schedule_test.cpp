// ntmachine pagefile and schedule on made NTFS and FAT images, checked with
// hivexget, the host's NTFS and FAT tools and the image kit.
#include <sys/stat.h>

#include <imgkit/imgkit.h>

#include "ntmachine_support.h"

namespace {

using namespace ntmtest;

class Schedule : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // Made once: the tests work on copies.
        templates = new ScratchDir;
        imgkit::make_ntfs(*templates / "ntfs.img", 16 << 20, 4096);
        imgkit::fill(*templates / "ntfs.img", imgkit::Profile::basic(), 7).save(*templates / "ntfs.manifest");
        imgkit::make_fat(*templates / "fat32.img", 64 << 20, 32);
        imgkit::fill(*templates / "fat32.img", imgkit::Profile::basic(), 8).save(*templates / "fat32.manifest");
    }
    static void TearDownTestSuite() { delete templates; }

    void SetUp() override {
        ASSERT_EQ(ntmachine("create " + m).code, 0);
        fs::create_directories(scratch.path() / "disks");
        fs::copy_file(*templates / "ntfs.img", ntfs);
        fs::copy_file(*templates / "fat32.img", fat);
        std::ofstream(scratch / "disks/raw.img").write(std::string(1 << 20, '\0').data(), 1 << 20);
        fs::create_directories(scratch.path() / "logs");
        ASSERT_EQ(ntmachine("attach " + m + " C: image " + quote(ntfs)).code, 0);
        ASSERT_EQ(ntmachine("attach " + m + " D: image " + quote(fat)).code, 0);
        ASSERT_EQ(ntmachine("attach " + m + " R: image " + quote(scratch / "disks/raw.img")).code, 0);
        ASSERT_EQ(ntmachine("attach " + m + " A: folder " + quote(scratch / "logs")).code, 0);
    }

    std::string boot_execute() {
        return hivexget(machine / "config/SYSTEM", "ControlSet001\\Control\\Session Manager", "BootExecute");
    }
    std::string paging_files() {
        return hivexget(machine / "config/SYSTEM", "ControlSet001\\Control\\Session Manager\\Memory Management",
                        "PagingFiles");
    }
    std::string ntfs_root() { return run("ntfsls -f " + quote(ntfs)).out; }
    std::string fat_root() { return run("MTOOLS_SKIP_CHECK=1 mdir -b -i " + quote(fat) + " ::/").out; }
    int check(const std::string &image, const std::string &manifest) {
        imgkit::CheckResult r = imgkit::check(image, imgkit::Manifest::load(*templates / manifest));
        EXPECT_EQ(r.code, imgkit::kConsistent) << r.summary;
        return r.code;
    }

    static ScratchDir *templates;
    ScratchDir scratch;
    fs::path machine = scratch.path() / "m";
    std::string m = quote(machine.string());
    std::string ntfs = scratch / "disks/ntfs.img";
    std::string fat = scratch / "disks/fat32.img";
};
ScratchDir *Schedule::templates = nullptr;

TEST_F(Schedule, NtfsRunIsRegisteredAfterTheDiskCheckerWithItsTriggerFile) {
    Result p = ntmachine("pagefile " + m + " C: pagefile.sys 1 2");
    ASSERT_EQ(p.code, 0) << p.out;
    Result s = ntmachine("schedule " + m + " c: FILES=FULL DIRS=FREE");
    ASSERT_EQ(s.code, 0) << s.out;

    EXPECT_EQ(boot_execute(), "autocheck autochk *\nDOZUZORO C: FILES=FULL DIRS=FREE\n\n");
    EXPECT_EQ(paging_files(), "C:\\pagefile.sys 1 2\n\n");
    std::string root = ntfs_root();
    EXPECT_TRUE(contains(root, "Defragme.dat")) << root;
    EXPECT_TRUE(contains(root, "pagefile.sys")) << root;
    uint64_t clusters = 0;
    for (const auto &e : imgkit::file_extents(ntfs, "\\pagefile.sys")) clusters += e.lcn >= 0 ? e.length : 0;
    EXPECT_EQ(clusters * 4096, 1u << 20) << "the paging file has its initial size";
    check(ntfs, "ntfs.manifest");
}

TEST_F(Schedule, FatRunUsesTheFatProgram) {
    Result s = ntmachine("schedule " + m + " D: FILES=FULL " + quote("LOG=A:\\fat.log"));
    ASSERT_EQ(s.code, 0) << s.out;
    EXPECT_EQ(boot_execute(), "autocheck autochk *\nZIRIZUD D: FILES=FULL LOG=A:\\fat.log\n\n");
    std::string root = fat_root();
    EXPECT_TRUE(contains(root, "::/Defragme.dat")) << root;
    check(fat, "fat32.manifest");
}

TEST_F(Schedule, SchedulingAgainReplacesTheDrivesEntry) {
    ASSERT_EQ(ntmachine("schedule " + m + " C: FILES=FULL").code, 0);
    ASSERT_EQ(ntmachine("schedule " + m + " D:").code, 0);
    ASSERT_EQ(ntmachine("schedule " + m + " C: PAGE=PLACE").code, 0);
    ASSERT_EQ(ntmachine("pagefile " + m + " C: pagefile.sys 1 2").code, 0);
    ASSERT_EQ(ntmachine("pagefile " + m + " c: \\PAGEFILE.SYS 1 3").code, 0);
    EXPECT_EQ(boot_execute(), "autocheck autochk *\nZIRIZUD D:\nDOZUZORO C: PAGE=PLACE\n\n");
    EXPECT_EQ(paging_files(), "C:\\PAGEFILE.SYS 1 3\n\n");
}

TEST_F(Schedule, RefusalsChangeNothing) {
    std::string before = snapshot(machine);
    std::string ntfsBytes = read_file(ntfs);
    struct Case {
        std::string args, says;
    } cases[] = {
        {"schedule " + m + " A: FILES=FULL", "host folder, not an NTFS or FAT volume"},
        {"schedule " + m + " R: FILES=FULL", "not an NTFS or FAT volume (file system: RAW)"},
        {"schedule " + m + " Q: FILES=FULL", "has no drive Q:"},
        {"schedule " + m + " C:: FILES=FULL", "not a drive letter"},
        {"schedule " + quote(scratch / "nomachine") + " C:", "no such machine folder"},
        {"pagefile " + m + " C: pagefile.sys 100 200", "cannot be"},  // does not fit the 16 MiB volume
        {"pagefile " + m + " C: pagefile.sys 4 2", "at most the maximum"},
        {"pagefile " + m + " C: page*.sys 1 2", "not a usable paging-file name"},
        {"pagefile " + m + " R: pagefile.sys 1 2", "RAW"},
        {"pagefile " + m + " C: pagefile.sys one 2", "not a number of megabytes"},
    };
    for (const Case &c : cases) {
        Result r = ntmachine(c.args);
        EXPECT_EQ(r.code, 1) << c.args << ": " << r.out;
        EXPECT_TRUE(contains(r.out, c.says)) << c.args << ": " << r.out;
        EXPECT_EQ(snapshot(machine), before) << c.args;
    }
    EXPECT_FALSE(contains(ntfs_root(), "pagefile.sys")) << "a paging file that did not fit is removed again";
    check(ntfs, "ntfs.manifest");
}

TEST_F(Schedule, HiveThatCannotBeWrittenStopsBeforeTheVolume) {
    fs::path hive = machine / "config/SYSTEM";
    fs::permissions(hive, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    std::string before = read_file(hive);
    Result r = ntmachine("schedule " + m + " C: FILES=FULL");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "read-only")) << r.out;
    EXPECT_EQ(read_file(hive), before);
    EXPECT_FALSE(contains(ntfs_root(), "Defragme.dat"));
    Result p = ntmachine("pagefile " + m + " C: pagefile.sys 1 2");
    EXPECT_EQ(p.code, 1) << p.out;
    EXPECT_FALSE(contains(ntfs_root(), "pagefile.sys"));

    // A corrupt hive: the same, with the platform's warning.
    fs::permissions(hive, fs::perms::owner_read | fs::perms::owner_write);
    std::ofstream(hive, std::ios::trunc) << "not a hive";
    Result c = ntmachine("schedule " + m + " C: FILES=FULL");
    EXPECT_EQ(c.code, 1) << c.out;
    EXPECT_TRUE(contains(c.out, "not a valid hive")) << c.out;
    EXPECT_FALSE(contains(ntfs_root(), "Defragme.dat"));
    check(ntfs, "ntfs.manifest");
}

}  // namespace
