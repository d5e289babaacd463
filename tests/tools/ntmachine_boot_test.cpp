// ntmachine boot: the Session Manager runs BootExecute and honours reboots.
#include <chrono>

#include "ntmachine_support.h"
#include "tool.h"

namespace {

using namespace ntmtest;

class Boot : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ntmachine("create " + quote(machine.string())).code, 0);
        fs::copy_file(REBOOT_PROBE, machine / "system32" / "RebootProbe");
    }
    // Sets BootExecute through the platform's registry, as the tool does.
    void boot_execute(const std::vector<std::u16string> &entries) {
        setenv("NT_MACHINE", machine.c_str(), 1);
        ntm::write_multi_sz(ntm::kSessionManagerKey, u"BootExecute", entries);
    }
    int probe_runs() {
        std::string v = hivexget(machine / "config" / "SOFTWARE", "RebootProbe", "Runs");
        return v.empty() ? 0 : std::atoi(v.c_str());
    }
    ScratchDir scratch;
    fs::path machine = scratch.path() / "m";
};

TEST_F(Boot, ARebootRequestGivesASecondBoot) {
    boot_execute({u"autocheck autochk *", u"rebootprobe  once   C:"});
    Result r = ntmachine("boot " + quote(machine.string()) + " --fast");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(contains(r.out, " Boot 1 of machine")) << r.out;
    EXPECT_TRUE(contains(r.out, " Boot 2 of machine")) << r.out;
    EXPECT_FALSE(contains(r.out, " Boot 3 of machine")) << r.out;
    EXPECT_TRUE(contains(r.out, "[skipped] autocheck autochk *  (no program \"autocheck\" in system32)")) << r.out;
    // The whole entry is the program's command line.
    EXPECT_TRUE(contains(r.out, "probe: run 1, command line \"rebootprobe  once   C:\"")) << r.out;
    EXPECT_TRUE(contains(r.out, "[reboot]  rebootprobe asked for a reboot")) << r.out;
    EXPECT_TRUE(contains(r.out, "probe: run 2,")) << r.out;
    EXPECT_FALSE(contains(r.out, "the reboot was refused")) << r.out;
    // The one-line summary ends the output.
    std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
    EXPECT_EQ(last,
              "ntmachine: 2 boots (1 reboot asked for); programs run 2, skipped 2, failed 0; the machine is up\n");
    EXPECT_EQ(probe_runs(), 2);
    EXPECT_FALSE(fs::exists(machine / "reboot")) << "the reboot record is consumed";
}

TEST_F(Boot, EntriesAfterARebootDoNotRunInThatBoot) {
    boot_execute({u"RebootProbe first", u"rebootprobe second"});
    Result r = ntmachine("boot " + quote(machine.string()) + " --fast");
    ASSERT_EQ(r.code, 0) << r.out;
    // Boot 1: "first" reboots at once; boot 2 runs both, neither reboots.
    EXPECT_TRUE(contains(r.out, "run 1, command line \"RebootProbe first\"")) << r.out;
    EXPECT_TRUE(contains(r.out, "run 2, command line \"RebootProbe first\"")) << r.out;
    EXPECT_TRUE(contains(r.out, "run 3, command line \"rebootprobe second\"")) << r.out;
    EXPECT_EQ(probe_runs(), 3);
}

TEST_F(Boot, EndlessRebootsAreBounded) {
    boot_execute({u"rebootprobe ALWAYS"});
    Result r = ntmachine("boot " + quote(machine.string()) + " --fast --max-boots 3");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_TRUE(contains(r.out, " Boot 3 of machine")) << r.out;
    EXPECT_FALSE(contains(r.out, " Boot 4 of machine")) << r.out;
    EXPECT_TRUE(contains(r.out, "stopped after 3 boots")) << r.out;
    EXPECT_EQ(probe_runs(), 3);
}

TEST_F(Boot, FastMeansNoWaiting) {
    boot_execute({u"rebootprobe WAIT"});  // waits 15 s before each reboot request
    auto start = std::chrono::steady_clock::now();
    Result r = ntmachine("boot " + quote(machine.string()) + " --fast");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(probe_runs(), 2);
}

TEST_F(Boot, MissingOrBrokenProgramsAreSkippedOrReported) {
    fs::create_symlink(scratch.path() / "nowhere", machine / "system32" / "dangling");
    std::ofstream(machine / "system32" / "notaprogram") << "text";
    fs::permissions(machine / "system32" / "notaprogram", fs::perms::owner_read);
    fs::create_symlink("/bin/false", machine / "system32" / "failing");
    boot_execute({u"dangling C:", u"notaprogram", u"failing x", u"   "});
    Result r = ntmachine("boot " + quote(machine.string()) + " --fast");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "[skipped] dangling C:  (system32/dangling points to")) << r.out;
    EXPECT_TRUE(contains(r.out, "[skipped] notaprogram  (system32/notaprogram is not a program)")) << r.out;
    EXPECT_TRUE(contains(r.out, "[ended]   failing ended with exit status 1")) << r.out;
    EXPECT_TRUE(contains(r.out, "1 boot (0 reboots asked for); programs run 1, skipped 2, failed 1")) << r.out;
}

TEST_F(Boot, StaleRebootRecordIsNotTakenForARequest) {
    boot_execute({});
    std::ofstream(machine / "reboot") << "reboot\n";
    Result r = ntmachine("boot " + quote(machine.string()));
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "old shutdown record")) << r.out;
    EXPECT_TRUE(contains(r.out, "ntmachine: 1 boot (0 reboots asked for)")) << r.out;
}

TEST(BootErrors, MissingMachineOrBrokenHive) {
    ScratchDir scratch;
    Result none = ntmachine("boot " + quote(scratch / "absent"));
    EXPECT_EQ(none.code, 1);
    EXPECT_TRUE(contains(none.out, "no such machine folder")) << none.out;

    fs::path m = scratch.path() / "m";
    ASSERT_EQ(ntmachine("create " + quote(m.string())).code, 0);
    std::ofstream(m / "config" / "SYSTEM", std::ios::trunc) << "garbage, not a hive";
    Result corrupt = ntmachine("boot " + quote(m.string()));
    EXPECT_EQ(corrupt.code, 1);
    EXPECT_TRUE(contains(corrupt.out, "not a valid hive")) << corrupt.out;
    EXPECT_TRUE(contains(corrupt.out, "ntmachine: error: registry key")) << corrupt.out;
}

}  // namespace
