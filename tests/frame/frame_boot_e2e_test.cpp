// Boots of machines made with the machine tool, on volumes made by mkntfs and
// mkfs.fat and looked at with tools nobody here wrote (ntfsls, ntfscat,
// mtools, fsck.fat, hivexget): the boot after a run removes the program's
// BootExecute entry and, for PAGE=ZERO, recreates the paging files; a boot
// with the trigger file deletes it, shows and logs the banner and options
// report, and ends in the wait and a recorded reboot.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "frame_support.h"

using namespace frametest;

namespace {

// Runs a shell command; returns its standard output (and standard error
// when asked), *status receives the exit status.
std::string Shell(const std::string &command, int *status = nullptr, bool withErrors = false) {
    std::string full = command + (withErrors ? " 2>&1" : " 2>/dev/null");
    FILE *pipe = popen(full.c_str(), "r");
    std::string out;
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int rc = pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string Quote(const std::string &s) { return "'" + s + "'"; }

std::string ReadHostFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// regedit form of a multi-string, as hivexget prints a key's values.
std::string RegeditMultiSz(const std::string &name, const std::vector<std::u16string> &strings) {
    std::string bytes = MultiSzBytes(strings);
    std::string out = "\"" + name + "\"=hex(7):";
    char hex[4];
    for (size_t i = 0; i < bytes.size(); i++) {
        snprintf(hex, sizeof hex, "%02x", (unsigned char)bytes[i]);
        out += (i ? "," : "") + std::string(hex);
    }
    return out;
}

// A machine made by the machine tool, with drive C: on a fresh image and
// drive A: a folder for the log.
class BootedMachine : public ::testing::Test {
protected:
    void Make(bool ntfs) {
        ntfs_ = ntfs;
        image_ = dir_.path() + "/c.img";
        machine_ = dir_.path() + "/m";
        logs_ = dir_.path() + "/logs";
        int rc = -1;
        if (ntfs) {
            Shell("truncate -s 48M " + Quote(image_) + " && mkntfs -F -q -f " + Quote(image_), &rc);
        } else {
            Shell("mkfs.fat -F 32 -C " + Quote(image_) + " 49152", &rc);
        }
        ASSERT_EQ(rc, 0) << "the image could not be made";
        Shell("mkdir -p " + Quote(logs_));
        Tool("create " + Quote(machine_));
        Tool("attach " + Quote(machine_) + " C: image " + Quote(image_));
        Tool("attach " + Quote(machine_) + " A: folder " + Quote(logs_));
    }
    // The machine tool; the test fails when it does.
    std::string Tool(const std::string &arguments, const std::string &environment = "") {
        int rc = -1;
        std::string out = Shell(environment + " " + Quote(NTMACHINE) + " " + arguments, &rc, true);
        EXPECT_EQ(rc, 0) << "ntmachine " << arguments << ":\n" << out;
        return out;
    }
    std::string Boot(const std::string &environment = "NT_TIME_SCALE=0") {
        return Tool("boot " + Quote(machine_), environment);
    }
    void SetBootExecute(const std::vector<std::u16string> &entries) {
        setenv("NT_MACHINE", machine_.c_str(), 1);
        std::string bytes = MultiSzBytes(entries);
        std::u16string path = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
        UNICODE_STRING us{(USHORT)(path.size() * 2), (USHORT)(path.size() * 2), path.data()};
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE key = nullptr;
        ASSERT_TRUE(NT_SUCCESS(NtOpenKey(&key, KEY_ALL_ACCESS, &oa)));
        std::u16string name = u"BootExecute";
        UNICODE_STRING value{(USHORT)(name.size() * 2), (USHORT)(name.size() * 2), name.data()};
        EXPECT_TRUE(NT_SUCCESS(NtSetValueKey(key, &value, 0, REG_MULTI_SZ, bytes.data(), (ULONG)bytes.size())));
        NtClose(key);
        unsetenv("NT_MACHINE");
    }
    // The Session Manager key's values as hivexget shows them.
    std::string SessionManagerValues() {
        return Shell("hivexget " + Quote(machine_ + "/config/SYSTEM") + " 'ControlSet001\\Control\\Session Manager'");
    }
    // Places a host file of `bytes` bytes on the volume.
    void PutFile(const std::string &name, size_t bytes) {
        std::string host = dir_.path() + "/host.bin";
        std::ofstream(host, std::ios::binary) << std::string(bytes, 'p');
        int rc = -1;
        if (ntfs_)
            Shell("ntfscp -f " + Quote(image_) + " " + Quote(host) + " " + Quote(name), &rc);
        else
            Shell("mcopy -o -i " + Quote(image_) + " " + Quote(host) + " ::" + Quote(name), &rc);
        ASSERT_EQ(rc, 0);
    }
    // The file's size on the volume; -1 when it is not there.
    long FileSize(const std::string &name) {
        int rc = -1;
        std::string out = ntfs_ ? Shell("ntfscat -f " + Quote(image_) + " " + Quote(name), &rc)
                                : Shell("mtype -i " + Quote(image_) + " ::" + Quote(name), &rc);
        return rc == 0 ? (long)out.size() : -1;
    }
    bool VolumeHasFile(const std::string &name) {
        std::string out = ntfs_ ? Shell("ntfsls -f " + Quote(image_)) : Shell("mdir -b -i " + Quote(image_) + " ::/");
        for (char &c : out) c = (char)std::toupper((unsigned char)c);
        std::string wanted = name;
        for (char &c : wanted) c = (char)std::toupper((unsigned char)c);
        return Contains(out, wanted);
    }
    void ExpectVolumeClean() {
        int rc = -1;
        std::string out =
            ntfs_ ? Shell("ntfsfix -n " + Quote(image_), &rc, true) : Shell("fsck.fat -n " + Quote(image_), &rc, true);
        EXPECT_EQ(rc, 0) << out;
    }
    std::u16string Token() { return ntfs_ ? u"DOZUZORO" : u"ZIRIZUD"; }

    TempDir dir_;
    std::string image_, machine_, logs_;
    bool ntfs_ = true;
};

// -------------------------------------------------------- boot without run

class BootWithoutRun : public BootedMachine, public ::testing::WithParamInterface<bool> {};

TEST_P(BootWithoutRun, RemovesOnlyTheProgramsEntryWithoutWaitOrReboot) {
    Make(GetParam());
    SetBootExecute({u"autocheck autochk *", Token() + u" C: FILES=FULL"});
    auto start = std::chrono::steady_clock::now();
    // Real time: a wait of the end phase (15 seconds) would show here.
    std::string screen = Boot("NT_TIME_SCALE=1");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 10.0) << "a boot without a run must not wait";
    EXPECT_TRUE(Contains(screen, "1 boot (0 reboots asked for)")) << screen;
    EXPECT_TRUE(Contains(screen, "the machine is up"));
    EXPECT_EQ(SessionManagerValues(), RegeditMultiSz("BootExecute", {u"autocheck autochk *"}) + "\n");
    ExpectVolumeClean();
}

TEST_P(BootWithoutRun, PageZeroRecreatesTheDrivesPagingFiles) {
    Make(GetParam());
    // Registered and created (hidden and system) as Windows has it, then
    // filled through the volume's own tools.
    Tool("pagefile " + Quote(machine_) + " C: pagefile.sys 1 2");
    PutFile("pagefile.sys", 300000);
    ASSERT_EQ(FileSize("pagefile.sys"), 300000);
    SetBootExecute({u"autocheck autochk *", Token() + u" C: PAGE=ZERO"});
    std::string screen = Boot();
    EXPECT_TRUE(Contains(screen, "1 boot (0 reboots asked for)")) << screen;
    EXPECT_EQ(FileSize("pagefile.sys"), 0) << "the paging file is recreated empty";
    EXPECT_EQ(SessionManagerValues(), RegeditMultiSz("BootExecute", {u"autocheck autochk *"}) + "\n");
    ExpectVolumeClean();
}

INSTANTIATE_TEST_SUITE_P(Programs, BootWithoutRun, ::testing::Values(true, false),
                         [](const auto &info) { return std::string(info.param ? "Ntfs" : "Fat"); });

// ------------------------------------------------------------- boot with run

class BootWithRun : public BootedMachine, public ::testing::WithParamInterface<bool> {};

TEST_P(BootWithRun, DeletesTriggerLogsBannerAndOptionsAndReboots) {
    Make(GetParam());
    // DIRS=NONE: the directory stage of an NTFS run moves the MFT's own
    // attributes on every run; the file stages find nothing to move here.
    Tool("schedule " + Quote(machine_) + " C: DIRS=NONE FILES=FULL " + Quote("LOG=A:\\RUN.LOG"));
    ASSERT_TRUE(VolumeHasFile("Defragme.dat"));
    std::string writes = dir_.path() + "/writes.log";
    std::string screen = Boot("NT_TIME_SCALE=0 NT_WRITE_LOG=" + Quote(writes));

    // Boot 1 runs and reboots; boot 2 finds no trigger and deregisters.
    EXPECT_TRUE(Contains(screen, "asked for a reboot")) << screen;
    EXPECT_TRUE(Contains(screen, "2 boots (1 reboot asked for)")) << screen;
    EXPECT_FALSE(VolumeHasFile("Defragme.dat"));
    const std::string options = "Doing Full File Defragmentation...\nSummary File Set To: A:\\RUN.LOG\n\n";
    EXPECT_TRUE(Contains(screen, std::string("Boot-time defragmenter for ") + (ntfs_ ? "NTFS" : "FAT")));
    EXPECT_TRUE(Contains(screen, options)) << screen;
    EXPECT_EQ(SessionManagerValues(), RegeditMultiSz("BootExecute", {u"autocheck autochk *"}) + "\n");

    std::string log = ReadHostFile(logs_ + "/RUN.LOG");
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.substr(0, 2), "\xFF\xFE");
    EXPECT_TRUE(Contains(log, Utf16Bytes(u"\r\nBoot-time defragmenter for ")));
    EXPECT_TRUE(Contains(log, Utf16Bytes(u"Doing Full File Defragmentation...\r\nSummary File Set To: A:\\RUN.LOG\r\n"
                                         u"\r\n")));
    EXPECT_EQ(log.size() % 2, 0u);

    EXPECT_EQ(ReadHostFile(writes), "") << "nothing was written to the volume raw";
    ExpectVolumeClean();
}

TEST_P(BootWithRun, EndPauseHoldsTheMachineAtTheScreen) {
    Make(GetParam());
    Tool("schedule " + Quote(machine_) + " C: ENDPAUSE");
    int rc = -1;
    std::string screen = Shell("NT_TIME_SCALE=0 timeout 5 " + Quote(NTMACHINE) + " boot " + Quote(machine_), &rc, true);
    EXPECT_EQ(rc, 124) << "the boot must not end by itself: " << screen;
    EXPECT_TRUE(Contains(screen, "Paused before exiting.\nUse RESET button on front of computer or \n"
                                 "power-off and power-on to reboot.\n"))
        << screen;
    EXPECT_FALSE(Contains(screen, "asked for a reboot"));
}

INSTANTIATE_TEST_SUITE_P(Programs, BootWithRun, ::testing::Values(true, false),
                         [](const auto &info) { return std::string(info.param ? "Ntfs" : "Fat"); });

}  // namespace
