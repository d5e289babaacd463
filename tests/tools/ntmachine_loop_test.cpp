// A real block device: a kit image on a loop device attached as C:, a full
// run on it, checked as an image is; then, mounted by ntfs-3g, refused by
// the tool and the program and left untouched. Needs root and loop devices;
// skipped with a line saying so where they cannot be made.
#include <imgkit/imgkit.h>

#include "ntmachine_support.h"

namespace {

using namespace ntmtest;

// A loop device over an image, detached (and unmounted) at the end.
struct Loop {
    std::string device, mountpoint;
    explicit Loop(const std::string &image) {
        Result r = run("losetup --find --show " + quote(image));
        if (r.code == 0 && r.out.rfind("/dev/", 0) == 0) device = r.out.substr(0, r.out.find('\n'));
        why = r.out;
    }
    ~Loop() {
        if (!mountpoint.empty()) run("umount " + quote(mountpoint));
        if (!device.empty()) run("losetup -d " + quote(device));
    }
    std::string why;
};

std::string digest(const std::string &path) { return run("sha256sum < " + quote(path)).out; }

TEST(BlockDevice, RunOnALoopDeviceAndRefusalWhileMounted) {
    ScratchDir scratch;
    std::string image = scratch / "volume.img", dir = scratch / "m";
    imgkit::make_ntfs(image, 16 << 20, 4096);
    imgkit::Manifest manifest = imgkit::fill(image, imgkit::Profile::basic(), 61);
    Loop loop(image);
    if (loop.device.empty())
        GTEST_SKIP() << "no loop device can be made here (losetup: " << loop.why
                     << "): the block-device test does not run";

    fs::create_directories(scratch.path() / "logs");
    ASSERT_EQ(ntmachine("create " + quote(dir)).code, 0);
    Result attached = ntmachine("attach " + quote(dir) + " C: image " + quote(loop.device));
    ASSERT_EQ(attached.code, 0) << attached.out;
    EXPECT_TRUE(contains(attached.out, "(file system: NTFS)")) << attached.out;
    ASSERT_EQ(ntmachine("attach " + quote(dir) + " A: folder " + quote(scratch / "logs")).code, 0);
    Result before = ntmachine("frag " + quote(dir) + " C: --json");
    ASSERT_EQ(before.code, 0) << before.out;
    EXPECT_FALSE(contains(before.out, "\"fragmented_files\": 0,")) << before.out;

    ASSERT_EQ(ntmachine("schedule " + quote(dir) + " C: FILES=FULL " + quote("LOG=A:\\run.log")).code, 0);
    Result boot = ntmachine("boot " + quote(dir) + " --fast");
    ASSERT_EQ(boot.code, 0) << boot.out;
    EXPECT_TRUE(contains(boot.out, "Moved")) << boot.out;
    Result after = ntmachine("frag " + quote(dir) + " C: --json");
    EXPECT_TRUE(contains(after.out, "\"fragmented_files\": 0,")) << after.out;
    // The kit's checkers take the volume's size from an image file: they
    // read the image behind the device, its writes flushed.
    run("blockdev --flushbufs " + quote(loop.device));
    imgkit::CheckResult check = imgkit::check(image, manifest);
    EXPECT_EQ(check.code, imgkit::kConsistent) << check.summary;

    // Mounted by ntfs-3g: a run scheduled before the mount finds no volume
    // it may open, the tool refuses it, and nothing is written.
    ASSERT_EQ(ntmachine("schedule " + quote(dir) + " C: FILES=FULL").code, 0);
    fs::create_directories(scratch.path() / "mnt");
    Result mounted = run("ntfs-3g " + quote(loop.device) + " " + quote(scratch / "mnt"));
    if (mounted.code != 0)
        GTEST_SKIP() << "ntfs-3g cannot mount here (" << mounted.out
                     << "): the refusal of a mounted volume is not tested";
    loop.mountpoint = scratch / "mnt";
    std::string bytes = digest(loop.device);
    Result refused = ntmachine("boot " + quote(dir) + " --fast --max-boots 2");
    EXPECT_TRUE(contains(refused.out, "is mounted on the host")) << refused.out;
    EXPECT_FALSE(contains(refused.out, "Moved")) << refused.out;
    for (const std::string &command :
         {"frag " + quote(dir) + " C:", "map " + quote(dir) + " C: --png " + quote(scratch / "map.png"),
          "schedule " + quote(dir) + " C: FILES=FULL"}) {
        Result r = ntmachine(command);
        EXPECT_EQ(r.code, 1) << command;
        EXPECT_TRUE(contains(r.out, "is mounted on the host")) << command << ": " << r.out;
    }
    EXPECT_FALSE(fs::exists(scratch.path() / "map.png"));
    EXPECT_EQ(digest(loop.device), bytes) << "the mounted volume was written";
}

}  // namespace
