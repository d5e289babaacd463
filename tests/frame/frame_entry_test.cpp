// The process entry: the command line from the process parameters (or the
// image path), split at every character of code 32 or less, main's result
// as the exit status.
#include "frame_support.h"
#include "internal.h"

using namespace frametest;

namespace {

#ifdef BOOT_NTFS
const std::string kRefusal = "Some argument was unrecognized or conflicting, boot-time not running...\n";
#else
const std::string kRefusal = "Some argument was unrecognized, not running...\n";
#endif

// Starts the program as the loader would, in a child process.
ChildRun Start(const std::u16string &image, const std::u16string &commandLine, ULONG debugFlags = 0) {
    return RunInChild([&] {
        ntp::set_process_parameters(image, commandLine, debugFlags);
        NtProcessStartup(NtCurrentPeb());
        _exit(99);  // NtProcessStartup never returns
    });
}

class Entry : public ::testing::Test {
protected:
    Entry() : machine_("A: folder logs\nC: folder cdrive\n") { machine_.MakeFolder("cdrive"); }
    Machine machine_;
};

}  // namespace

TEST_F(Entry, SplitsAtEveryControlCharacterAndBlank) {
    ChildRun run = Start(u"\\system32\\prog.exe", u"prog\tC:\x01\x01 DIRS=FREE\r\nDIRS=ZERO  ");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Contains(run.screen, kRefusal)) << run.screen;
#ifdef BOOT_NTFS
    EXPECT_TRUE(Contains(run.screen, "Directories -> Contiguous Freespace...\nDirectory options conflict...\n"));
#endif
}

TEST_F(Entry, CharactersAboveAsciiDoNotSplit) {
    // A no-break space (0xA0 in the ANSI code page) is part of the token:
    // "C:" followed by it is not a drive.
    ChildRun run = Start(u"prog", u"prog C:\u00a0");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Contains(run.screen, kRefusal)) << run.screen;
}

TEST_F(Entry, WellFormedCommandLineDeregistersAndEnds) {
    ASSERT_TRUE(machine_.SetMultiSz(u"Session Manager", u"BootExecute",
                                    {u"autocheck autochk *", u"DOZUZORO C:", u"ZIRIZUD C:"}));
    ChildRun run = Start(u"prog", u"  prog   c:  ");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.screen, "\r\n");
    ULONG type = 0;
    std::string data;
    ASSERT_TRUE(machine_.GetValue(u"Session Manager", u"BootExecute", &type, &data));
#ifdef BOOT_NTFS
    EXPECT_EQ(data, MultiSzBytes({u"autocheck autochk *", u"ZIRIZUD C:"}));
#else
    EXPECT_EQ(data, MultiSzBytes({u"autocheck autochk *", u"DOZUZORO C:"}));
#endif
}

TEST_F(Entry, EmptyCommandLineTakesTheImagePath) {
    // The image path alone is one token: main returns at once.
    ChildRun run = Start(u"\\system32\\prog.exe C: DIRS=FREE DIRS=ZERO", u"");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Contains(run.screen, kRefusal)) << "the image path was split and used: " << run.screen;
    run = Start(u"\\system32\\prog.exe", u"");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.screen, "");
}

TEST_F(Entry, DebugFlagsBreakWithoutADebuggerAndGoOn) {
    ChildRun run = Start(u"prog", u"prog C: BOGUS", 1);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Contains(run.screen, kRefusal));
}

TEST_F(Entry, RunEndsInTheRecordedReboot) {
    machine_.WriteFile("cdrive/Defragme.dat", "run");
    ChildRun run = Start(u"prog", u"prog C: LOG=A:\\BOOT.LOG");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(machine_.ReadFile("reboot"), "reboot\n");
    EXPECT_FALSE(machine_.Exists("cdrive/Defragme.dat"));
    EXPECT_TRUE(machine_.Exists("logs/BOOT.LOG"));
}
