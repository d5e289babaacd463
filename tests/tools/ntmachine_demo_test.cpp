// ntmachine demo: the machine the README's main command builds and boots.
#include "ntmachine_support.h"

namespace {

using namespace ntmtest;

TEST(Demo, BuildsSchedulesBootsAndChecks) {
    ScratchDir scratch;
    std::string dir = scratch / "demo";
    Result r = ntmachine("demo " + quote(dir) + " --run");
    ASSERT_EQ(r.code, 0) << r.out;
    for (const char *part :
         {"Drive C: NTFS", "Drive D: FAT32", "Scheduled \"DOZUZORO C: FILES=FULL", "Scheduled \"ZIRIZUD D: FILES=FULL",
          " Boot 1 of machine", "the machine is up", "--- Before -> after ---", "C: consistent", "D: consistent"})
        EXPECT_TRUE(contains(r.out, part)) << part << "\n" << r.out;
    for (const char *map : {"C-before.png", "D-before.png", "C-after.png", "D-after.png"}) {
        fs::path png = fs::path(dir) / "maps" / map;
        EXPECT_TRUE(contains(r.out, png.string())) << map;
        EXPECT_GT(fs::exists(png) ? fs::file_size(png) : 0, 1000u) << map;
    }
    EXPECT_NE(read_file(fs::path(dir) / "maps" / "C-before.png"), read_file(fs::path(dir) / "maps" / "C-after.png"));
    // Both runs are scheduled before the boot, and the boot leaves no request behind.
    EXPECT_FALSE(fs::exists(fs::path(dir) / "reboot"));

    // Made again from scratch on a second call; a folder it did not make is refused.
    Result again = ntmachine("demo " + quote(dir));
    ASSERT_EQ(again.code, 0) << again.out;
    EXPECT_TRUE(contains(again.out, "Demo machine ready")) << again.out;
    EXPECT_EQ(hivexget(fs::path(dir) / "config/SYSTEM", "ControlSet001\\Control\\Session Manager", "BootExecute"),
              "autocheck autochk *\n\n");
    fs::create_directories(scratch.path() / "mine");
    std::ofstream(scratch.path() / "mine" / "keep.txt") << "keep";
    Result refused = ntmachine("demo " + quote(scratch / "mine"));
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(contains(refused.out, "is not a demo machine")) << refused.out;
    EXPECT_EQ(read_file(scratch.path() / "mine" / "keep.txt"), "keep");
}

}  // namespace
