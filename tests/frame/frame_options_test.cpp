// The command line: keywords, conflicts, lists, derived settings, the
// options report, and what a boot does with and without the trigger file.
// Built for both programs; their differences are checked under BOOT_NTFS /
// BOOT_FAT.
#include <sys/stat.h>

#include "frame_support.h"

using namespace frametest;

namespace {

#ifdef BOOT_NTFS
const char *kProgram = "bootntfs";
const std::u16string kOurEntry = u"DOZUZORO C: FILES=FULL";
const std::string kRefusal = "Some argument was unrecognized or conflicting, boot-time not running...\n";
#else
const char *kProgram = "bootfat";
const std::u16string kOurEntry = u"ZIRIZUD C: FILES=FULL";
const std::string kRefusal = "Some argument was unrecognized, not running...\n";
#endif

// A machine whose drive C: is a host folder (so that the trigger file can
// be placed there by hand) and whose BootExecute holds the disk checker's
// entry and ours.
class BootMachine : public ::testing::Test {
protected:
    BootMachine() : machine_("A: folder logs\nC: folder cdrive\n") {
        machine_.MakeFolder("cdrive");
        EXPECT_TRUE(machine_.SetMultiSz(u"Session Manager", u"BootExecute", {u"autocheck autochk *", kOurEntry}));
    }
    std::string BootExecute() {
        ULONG type = 0;
        std::string data;
        EXPECT_TRUE(machine_.GetValue(u"Session Manager", u"BootExecute", &type, &data));
        return data;
    }
    bool Deregistered() { return BootExecute() == MultiSzBytes({u"autocheck autochk *"}); }
    bool StillRegistered() { return BootExecute() == MultiSzBytes({u"autocheck autochk *", kOurEntry}); }
    void PlaceTrigger() { machine_.WriteFile("cdrive/Defragme.dat", "run"); }

    Machine machine_;
};

std::vector<std::string> Args(std::initializer_list<std::string> rest) {
    std::vector<std::string> args{kProgram};
    args.insert(args.end(), rest);
    return args;
}

}  // namespace

// ------------------------------------------------------- counting, conflicts

TEST_F(BootMachine, SingleArgumentReturnsAtOnceWithoutOutput) {
    PlaceTrigger();
    int result = -1;
    EXPECT_EQ(RunMain(Args({}), &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(machine_.Exists("cdrive/Defragme.dat"));
    EXPECT_TRUE(StillRegistered());
}

TEST_F(BootMachine, ConflictingDirectoryKeywordsRefuseWithReportAndNoReboot) {
    PlaceTrigger();
    // Waits scaled to a tenth: 1.5 seconds for the 15-second wait.
    ChildRun run = RunMainInChild(Args({"C:", "DIRS=FREE", "DIRS=ZERO"}), 60, "0.1");
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 42) << "main must return (no reboot)";
    EXPECT_GE(run.seconds, 1.4) << "the refusal waits before it returns";
#ifdef BOOT_NTFS
    EXPECT_EQ(run.screen, "\r\nDirectories -> Contiguous Freespace...\nDirectory options conflict...\n\n" + kRefusal);
#else
    EXPECT_EQ(run.screen, "\r\n" + kRefusal);
#endif
    EXPECT_FALSE(machine_.Exists("reboot"));
    EXPECT_TRUE(machine_.Exists("cdrive/Defragme.dat")) << "the trigger file is not examined";
    EXPECT_TRUE(StillRegistered());
}

TEST_F(BootMachine, EveryGroupConflictsWithItself) {
    RunMain(Args({"C:", "FILES=FULL", "FILES=NONE", "PAGE=KEEP", "PAGE=MIN"}));
    EXPECT_EQ(lFileOpt, 1);
    EXPECT_EQ(lPageOpt, 0);
    EXPECT_TRUE(StillRegistered());
#ifdef BOOT_NTFS
    std::string screen = RunMain(Args({"C:", "MFT=NONE", "MFT=MIN"}));
    EXPECT_TRUE(Contains(screen, "Leaving MFT alone...\nMFT file options conflict...\n"));
    EXPECT_EQ(lMFTOpt, 0);
#endif
}

TEST_F(BootMachine, DriveLetterInEitherCaseNamesTheDrive) {
    int result = -1;
    EXPECT_EQ(RunMain(Args({"c:"}), &result), "\r\n");
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(Deregistered()) << "no trigger file: the entry goes";
}

TEST_F(BootMachine, DriveWithBackslashIsNotADrive) {
    std::string screen = RunMain(Args({"C:\\"}));
    EXPECT_TRUE(Contains(screen, kRefusal));
    EXPECT_TRUE(StillRegistered());
}

TEST_F(BootMachine, MissingDriveReturnsWithoutDeregistering) {
    int result = -1;
    std::string screen = RunMain(Args({"WHO", "LEV=1"}), &result);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(Contains(screen, "Error #0 at line ")) << screen;
    EXPECT_FALSE(Contains(screen, "Some argument"));
    EXPECT_TRUE(StillRegistered());
}

TEST_F(BootMachine, UnknownTokenAndKeywordsOfTheOtherProgramRefuse) {
    EXPECT_TRUE(Contains(RunMain(Args({"C:", "FROBNICATE"})), kRefusal));
    std::string screen = RunMain(Args({"C:", "MFT=MIN"}));
#ifdef BOOT_NTFS
    EXPECT_FALSE(Contains(screen, "Some argument"));
#else
    EXPECT_TRUE(Contains(screen, kRefusal)) << "MFT=MIN is not a FAT keyword";
#endif
    screen = RunMain(Args({"C:", "MOVEATTR"}));
#ifdef BOOT_NTFS
    EXPECT_FALSE(Contains(screen, "Some argument"));
    EXPECT_EQ(bMoveAttrs, 1);
#else
    EXPECT_TRUE(Contains(screen, kRefusal));
#endif
}

TEST_F(BootMachine, KeywordsAreCaseInsensitive) {
    RunMain(Args({"c:", "dirs=zero", "Files=Full", "nomove"}));
    EXPECT_EQ(lDirsOpt, 2);
    EXPECT_EQ(lFileOpt, 1);
    EXPECT_EQ(bMoveFiles, 0);
#ifdef BOOT_NTFS
    EXPECT_EQ(bMoveAttrs, 0);
#endif
    EXPECT_TRUE(Deregistered());
}

TEST_F(BootMachine, OverlongTokenIsNotRecognised) {
    std::string name = "LOG=A:\\" + std::string(100, 'X');
    EXPECT_TRUE(Contains(RunMain(Args({"C:", name})), kRefusal));
    EXPECT_TRUE(StillRegistered());
}

// ---------------------------------------------------------------- numbers

TEST_F(BootMachine, SecondPagingZoneIsAConflictAfterItsReportLine) {
    std::string screen = RunMain(Args({"C:", "PFZONE=12", "PFZONE=34"}));
#ifdef BOOT_NTFS
    EXPECT_TRUE(Contains(screen, "Paging File Zone passed in as 12...\nPaging File Zone passed in as 34...\n"
                                 "Paging File Zone options conflict...\n\n" +
                                     kRefusal))
        << screen;
#else
    EXPECT_TRUE(Contains(screen, kRefusal));
#endif
    EXPECT_EQ(llPageFileZone, 12);
}

TEST_F(BootMachine, PagingZoneNumbersAreSigned32Bit) {
    RunMain(Args({"C:", "PFZONE=99999999999"}));
    EXPECT_EQ(llPageFileZone, 0x7FFFFFFF);
    RunMain(Args({"C:", "PFZONE=12AB"}));
    EXPECT_EQ(llPageFileZone, 12);
    RunMain(Args({"C:", "PFZONE="}));
    EXPECT_EQ(llPageFileZone, 0);
#ifdef BOOT_NTFS
    RunMain(Args({"C:", "PFFRN=-5"}));
    EXPECT_EQ(llPageFileFRN, -5);
#endif
}

// --------------------------------------------------------------- EX= lists

std::string Patterns(int first, int count) {
    std::string list;
    for (int i = first; i < first + count; i++)
        list += (list.empty() ? "" : ",") + std::string("*") + std::to_string(i);
    return list;
}

TEST_F(BootMachine, ExclusionPatternsAreUpperCase) {
    RunMain(Args({"C:", "EX=c:\\temp\\*.tmp,*\\Caf\xE9"}));
    EXPECT_EQ(lExcludes, 2);
    EXPECT_EQ(std::u16string(pExcludes[0]), u"C:\\TEMP\\*.TMP");
    EXPECT_EQ(std::u16string(pExcludes[1]), u"*\\CAF\u00c9");
}

TEST_F(BootMachine, NineteenExclusionPatternsAreAccepted) {
    int result = -1;
    std::string screen = RunMain(Args({"C:", "EX=" + Patterns(1, 10), "EX=" + Patterns(11, 9)}), &result);
    EXPECT_FALSE(Contains(screen, "Some argument")) << screen;
    EXPECT_EQ(lExcludes, 19);
    EXPECT_EQ(bExcludes, 1);
    EXPECT_EQ(std::u16string(pExcludes[0]), u"*1");
    EXPECT_EQ(std::u16string(pExcludes[18]), u"*19");
    EXPECT_EQ(std::u16string(pExcludes[19]), std::u16string(86, u'.')) << "unused rows keep their preset";
    EXPECT_TRUE(Deregistered());
}

TEST_F(BootMachine, TwentiethExclusionPatternStopsAtOnce) {
    PlaceTrigger();
    int result = -1;
    std::string screen = RunMain(Args({"LEV=1", "C:", "EX=" + Patterns(1, 20)}), &result);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(Contains(screen, "Error #0 at line ")) << screen;
    EXPECT_FALSE(Contains(screen, "Some argument"));
    EXPECT_EQ(lExcludes, 20);
    EXPECT_TRUE(machine_.Exists("cdrive/Defragme.dat"));
    EXPECT_TRUE(StillRegistered());
}

TEST_F(BootMachine, EmptyPiecesAreEmptyPatterns) {
    RunMain(Args({"C:", "EX=A,,B"}));
    EXPECT_EQ(lExcludes, 3);
    EXPECT_EQ(std::u16string(pExcludes[1]), u"");
}

TEST_F(BootMachine, ExclusionPatternLongerThanItsRowIsRefused) {
    // 86 characters fit a row; 87 would be cut and name other files.
    RunMain(Args({"C:", "EX=" + std::string(86, 'P')}));
    EXPECT_EQ(lExcludes, 1);
    EXPECT_EQ(std::u16string(pExcludes[0]), std::u16string(86, u'P'));
    EXPECT_TRUE(machine_.SetMultiSz(u"Session Manager", u"BootExecute", {u"autocheck autochk *", kOurEntry}));
    std::string screen = RunMain(Args({"C:", "EX=A," + std::string(87, 'P')}));
    EXPECT_TRUE(Contains(screen, kRefusal));
    EXPECT_EQ(lExcludes, 1) << "the piece before the long one stays";
    EXPECT_EQ(pExcludes[1][86], 0) << "the row is never written past its end";
    EXPECT_TRUE(StillRegistered());
}

// ------------------------------------------------------------ FILEX= lists

#ifdef BOOT_NTFS
TEST_F(BootMachine, FileListWithANonDigitPieceStopsAndRefuses) {
    std::string screen = RunMain(Args({"C:", "FILES=LIST", "FILEX=12,3A,5"}));
    EXPECT_TRUE(Contains(screen, "Doing specified file defragmentation...\nAssimilating target FRS list...\n"
                                 "Error in FRS list (FILEX option)...\n\n" +
                                     kRefusal))
        << screen;
    EXPECT_EQ(glFileListX, 1);
    EXPECT_EQ(glFileList[0], 12);
    EXPECT_EQ(glFileList[1], 0);
    EXPECT_TRUE(StillRegistered());
}

// Seven FILEX= tokens of nine numbers each: 63 numbers (a token holds at
// most 99 characters).
std::vector<std::string> FileListTokens(std::vector<std::string> args) {
    for (int t = 0; t < 7; t++) {
        std::string list;
        for (int i = 1; i <= 9; i++) list += (i > 1 ? "," : "") + std::to_string((t * 9 + i) * 100);
        args.push_back("FILEX=" + list);
    }
    return args;
}

TEST_F(BootMachine, FileListTakesSixtyThreeNumbersAndStopsAtTheSixtyFourth) {
    RunMain(FileListTokens(Args({"C:", "FILES=LIST"})));
    EXPECT_EQ(glFileListX, 63);
    EXPECT_EQ(glFileList[0], 100);
    EXPECT_EQ(glFileList[62], 6300);
    EXPECT_TRUE(Deregistered());

    EXPECT_TRUE(machine_.SetMultiSz(u"Session Manager", u"BootExecute", {u"autocheck autochk *", kOurEntry}));
    int result = -1;
    std::vector<std::string> args = FileListTokens(Args({"LEV=1", "C:"}));
    args.push_back("FILEX=7");
    std::string screen = RunMain(args, &result);
    EXPECT_EQ(glFileListX, 64);
    EXPECT_TRUE(Contains(screen, "Error #0 at line "));
    EXPECT_TRUE(StillRegistered());
}

// An empty piece is record 0 (which the list stage passes over): the token
// counts and the run goes on.
TEST_F(BootMachine, FileListReadsAnEmptyPieceAsZeroAndRefusesOversizedNumbers) {
    for (const char *list : {"FILEX=30,", "FILEX=,30"}) {
        std::string screen = RunMain(Args({"C:", "FILES=LIST", list}));
        EXPECT_FALSE(Contains(screen, "Error in FRS list")) << list << "\n" << screen;
        EXPECT_FALSE(Contains(screen, "Some argument")) << list;
        ASSERT_EQ(glFileListX, 2) << list;
        EXPECT_EQ(glFileList[0] + glFileList[1], 30) << list;
        EXPECT_EQ(glFileList[0] * glFileList[1], 0) << list;
    }
    RunMain(Args({"C:", "FILEX=1,,2"}));
    ASSERT_EQ(glFileListX, 3);
    EXPECT_EQ(glFileList[1], 0);
    EXPECT_EQ(glFileList[2], 2);
    EXPECT_TRUE(Contains(RunMain(Args({"C:", "FILEX=4294967296"})), "Error in FRS list (FILEX option)...\n"));
    EXPECT_EQ(glFileListX, 0);
}
#else
TEST_F(BootMachine, FileListIsNotAFatKeyword) {
    EXPECT_TRUE(Contains(RunMain(Args({"C:", "FILEX=12"})), kRefusal));
    EXPECT_EQ(glFileListX, 0);
}
#endif

// ------------------------------------------------------------- LOG=, LEV=

TEST_F(BootMachine, DefaultLogNameBeforeTheDriveEndsAfterDefrag) {
    RunMain(Args({"LOG=", "C:"}));
    EXPECT_EQ(std::u16string(cLogFileName), u"a:\\defrag");
    EXPECT_EQ(bLogFile, 1);
    EXPECT_EQ(lLogLevel, 1) << "a log without LEV= logs at level 1";
    RunMain(Args({"C:", "LOG="}));
    EXPECT_EQ(std::u16string(cLogFileName), u"a:\\defragC.log");
}

TEST_F(BootMachine, LogNameWithoutDriveIsRefusedAtOnce) {
    std::string screen = RunMain(Args({"C:", "LOG=RUN.LOG"}));
    EXPECT_TRUE(Contains(screen, "Incorrect format for summary/log file name (probably volume missing)\n"));
    EXPECT_TRUE(Contains(screen, kRefusal));
    EXPECT_TRUE(StillRegistered());
}

TEST_F(BootMachine, LevelLetterSetsLevelAndScreenLogButDoesNotCount) {
    std::string screen = RunMain(Args({"C:", "LEV=A"}));
    EXPECT_EQ(lLogLevel, 17);
    EXPECT_EQ(bScreenLog, 1);
    EXPECT_TRUE(Contains(screen, kRefusal));
#ifdef BOOT_NTFS
    EXPECT_TRUE(Contains(screen, "Log Level Set To 17\n"));
#endif
    EXPECT_TRUE(StillRegistered());
}

TEST_F(BootMachine, LevelWithTwoDigitsIsUnrecognised) {
    std::string screen = RunMain(Args({"C:", "LEV=12"}));
    EXPECT_EQ(lLogLevel, 0);
    EXPECT_EQ(bScreenLog, 0);
    EXPECT_TRUE(Contains(screen, kRefusal));
}

// A level of 9 or less counts: a digit, or a character below '0' (a
// negative level).
TEST_F(BootMachine, LevelOfNineOrLessCounts) {
    std::string screen = RunMain(Args({"C:", "LEV=3"}));
    EXPECT_FALSE(Contains(screen, "Some argument"));
    EXPECT_EQ(lLogLevel, 3);
    EXPECT_EQ(bScreenLog, 1);
    EXPECT_TRUE(Deregistered());

    EXPECT_TRUE(machine_.SetMultiSz(u"Session Manager", u"BootExecute", {u"autocheck autochk *", kOurEntry}));
    screen = RunMain(Args({"C:", "LEV=/"}));
    EXPECT_FALSE(Contains(screen, "Some argument")) << screen;
    EXPECT_EQ(lLogLevel, -1);
    EXPECT_EQ(bScreenLog, 1);
    EXPECT_TRUE(Deregistered());
}

// ------------------------------------------------------- derived settings

TEST_F(BootMachine, DefaultsWhenNothingIsGiven) {
    RunMain(Args({"C:"}));
    EXPECT_EQ(lPageOpt, 0);
    EXPECT_EQ(lDirsOpt, 1);
    EXPECT_EQ(lFileOpt, 0);
    EXPECT_EQ(lMFTOpt, -1);
    EXPECT_EQ(lDirsPending, 0);
    EXPECT_EQ(lFilesPending, 0);
    EXPECT_EQ(bMoveFiles, 1);
    EXPECT_EQ(bKybd, 1);
    EXPECT_EQ(bDfrgBins, 0);
#ifdef BOOT_NTFS
    EXPECT_EQ(bDfrgShel, 0);
#else
    EXPECT_EQ(bDfrgShel, 1);
#endif
}

#ifdef BOOT_NTFS
TEST_F(BootMachine, MftMinimiseAloneForcesDirectoriesAndFiles) {
    RunMain(Args({"C:", "MFT=MIN"}));
    EXPECT_EQ(lMFTOpt, 1);
    EXPECT_EQ(lDirsOpt, 4);
    EXPECT_EQ(lFileOpt, 1);
    EXPECT_EQ(bDfrgBins, 1);
    EXPECT_EQ(bDfrgShel, 1);
    EXPECT_EQ(lDirsPending, 2);
    EXPECT_EQ(lFilesPending, 2);
    EXPECT_EQ(lPageOpt, 0);
}
#endif

TEST_F(BootMachine, PagePlaceForcesDirectoriesAndFiles) {
    RunMain(Args({"C:", "PAGE=PLACE"}));
    EXPECT_EQ(lPageOpt, 3);
#ifdef BOOT_NTFS
    EXPECT_EQ(lDirsOpt, 4);
#else
    EXPECT_EQ(lDirsOpt, 3);
#endif
    EXPECT_EQ(lFileOpt, 1);
    EXPECT_EQ(lDirsPending, 4);
    EXPECT_EQ(lFilesPending, 4);
    EXPECT_EQ(bDfrgBins, 1);
    EXPECT_EQ(bDfrgShel, 1);
}

TEST_F(BootMachine, ForcedSettingsKeepWhatWasGivenAndAddTheirBits) {
    RunMain(Args({"C:", "DIRS=FREE", "FILES=NONE", "PAGE=MIN"}));
    EXPECT_EQ(lDirsOpt, 1);
    EXPECT_EQ(lFileOpt, 0);
    EXPECT_EQ(lDirsPending, 1 | 4);
    EXPECT_EQ(lFilesPending, 4);
#ifdef BOOT_NTFS
    RunMain(Args({"C:", "MFT=MIN", "PAGE=PLACE", "DIRS=MFTZ"}));
    EXPECT_EQ(lDirsOpt, 3);
    EXPECT_EQ(lDirsPending, 1 | 2 | 4);
    EXPECT_EQ(lFilesPending, 2 | 4);
#endif
}

// ---------------------------------------------------------- options report

#ifdef BOOT_NTFS
TEST_F(BootMachine, OptionsReportNeverOutgrowsItsBlock) {
    std::vector<std::string> args = Args({"C:"});
    for (int i = 0; i < 200; i++) args.push_back("WHO");
    args.push_back("UNKNOWN");
    std::string screen = RunMain(args);
    // 93 lines of 11 characters fill 1023 of the 1024 places; the closing
    // line feed takes the last one.
    EXPECT_EQ(CountOf(screen, "Who set...\n"), 93u);
    EXPECT_EQ(
        screen, "\r\n" + [] {
            std::string s;
            for (int i = 0; i < 93; i++) s += "Who set...\n";
            return s;
        }() + "\n" + kRefusal);
}
#endif

// --------------------------------------------------------- boot without run

TEST_F(BootMachine, NoTriggerDeregistersAndReturnsWithoutWaitOrReboot) {
    // Real time: the 15-second wait would show.
    ChildRun run = RunMainInChild(Args({"C:", "FILES=FULL"}), 60, "1");
    EXPECT_EQ(run.exitCode, 42);
    EXPECT_LT(run.seconds, 10.0) << "no wait when no run is due";
    EXPECT_EQ(run.screen, "\r\n");
    EXPECT_TRUE(Deregistered());
    EXPECT_FALSE(machine_.Exists("reboot"));
}

TEST_F(BootMachine, NoTriggerWithPageZeroRecreatesThePagingFiles) {
    machine_.WriteFile("cdrive/pagefile.sys", std::string(8192, 'p'));
    ASSERT_TRUE(machine_.SetMultiSz(u"Session Manager\\Memory Management", u"PagingFiles",
                                    {u"C:\\pagefile.sys 64 128", u"D:\\other.sys 10 20"}));
    int result = -1;
    RunMain(Args({"C:", "PAGE=ZERO"}), &result);
    EXPECT_EQ(result, 0);
    struct stat st;
    ASSERT_EQ(stat(machine_.Path("cdrive/pagefile.sys").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_TRUE(Deregistered());
    EXPECT_FALSE(machine_.Exists("reboot"));
}

TEST_F(BootMachine, FailedPagingFileRebuildRebootsAfterTheWait) {
    machine_.MakeFolder("cdrive/pagefile.sys");  // a folder cannot be replaced by a file
    ASSERT_TRUE(
        machine_.SetMultiSz(u"Session Manager\\Memory Management", u"PagingFiles", {u"C:\\pagefile.sys 64 128"}));
    ChildRun run = RunMainInChild(Args({"C:", "PAGE=ZERO"}));
    EXPECT_EQ(run.exitCode, 0) << run.screen;
    EXPECT_TRUE(Contains(run.screen, "Failed to rebuild paging file(s). Rebooting.\n"));
    EXPECT_EQ(machine_.ReadFile("reboot"), "reboot\n");
}

TEST_F(BootMachine, FailedDeregistrationReturnsAtOnce) {
    ASSERT_TRUE(machine_.SetValue(u"Session Manager", u"BootExecute", REG_MULTI_SZ, "", 0));
    ChildRun run = RunMainInChild(Args({"C:", "LEV=1"}));
    EXPECT_EQ(run.exitCode, 42);
    EXPECT_TRUE(Contains(run.screen, "Error #0 at line ")) << run.screen;
    EXPECT_FALSE(machine_.Exists("reboot"));
}

TEST_F(BootMachine, HeapThatCannotServeReturnsAtOnce) {
    PlaceTrigger();
    LONGLONG saved = HeapLeft;
    setenv("NT_AVAILABLE_MEMORY", "102400", 1);
    HeapLeft = -1;
    int result = -1;
    std::string screen = RunMain(Args({"C:"}), &result);
    unsetenv("NT_AVAILABLE_MEMORY");
    HeapLeft = -1;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(screen, "");
    EXPECT_TRUE(machine_.Exists("cdrive/Defragme.dat"));
    EXPECT_TRUE(StillRegistered());
    (void)saved;
}

// ------------------------------------------------------------------- runs

TEST_F(BootMachine, RunDeletesTriggerLogsBannerAndOptionsAndReboots) {
    PlaceTrigger();
    ChildRun run = RunMainInChild(Args({"C:", "FILES=FULL", "LOG=A:\\RUN.LOG"}), 60, "0.1");
    EXPECT_EQ(run.exitCode, 0) << "the run ends in the reboot: " << run.screen;
    EXPECT_GE(run.seconds, 1.4) << "the reboot follows the wait";
    EXPECT_EQ(machine_.ReadFile("reboot"), "reboot\n");
    EXPECT_FALSE(machine_.Exists("cdrive/Defragme.dat"));
    EXPECT_TRUE(StillRegistered()) << "a run keeps the entry for the boot after it";

    const std::string options = "Doing Full File Defragmentation...\nSummary File Set To: A:\\RUN.LOG\n\n";
    EXPECT_TRUE(Contains(run.screen, "Boot-time defragmenter for")) << run.screen;
    EXPECT_TRUE(Contains(run.screen, options)) << run.screen;
    EXPECT_LT(run.screen.find("Boot-time defragmenter for"), run.screen.find(options));
#ifdef BOOT_NTFS
    EXPECT_TRUE(Contains(run.screen, "Failed to initialize for volume C: -- volume probably not mounted or is not "
                                     "NTFS\nExiting -- \n"));
#endif
    std::string log = machine_.ReadFile("logs/RUN.LOG");
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.substr(0, 2), "\xFF\xFE");
    EXPECT_TRUE(Contains(log, Utf16Bytes(u"Doing Full File Defragmentation...\r\nSummary File Set To: A:\\RUN.LOG"
                                         u"\r\n\r\n")));
    EXPECT_TRUE(Contains(log, Utf16Bytes(u"\r\nBoot-time defragmenter for")));
    EXPECT_FALSE(Contains(log, Utf16Bytes(u"\r\r\n"))) << "the leading \\r\\n was shown before the log opened";
}

TEST_F(BootMachine, RunWithoutLogShowsNoSummaryLine) {
    PlaceTrigger();
    ChildRun run = RunMainInChild(Args({"C:", "WHO"}));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Contains(run.screen, "Who set...\n\n"));
    EXPECT_TRUE(Contains(run.screen, "by the boot-time defragmenter team")) << "WHO shows the credits";
    EXPECT_FALSE(Contains(run.screen, "Summary File"));
    EXPECT_EQ(machine_.ReadFile("reboot"), "reboot\n");
}

TEST_F(BootMachine, LogOnTheTargetDriveIsRefusedInAnyLetterCase) {
    PlaceTrigger();
    ChildRun run = RunMainInChild(Args({"C:", "LOG=C:\\RUN.LOG"}));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Contains(run.screen, "Can't log to the same device as you're defragmenting\n"));
    EXPECT_FALSE(machine_.Exists("cdrive/RUN.LOG"));
    EXPECT_FALSE(Contains(run.screen, "Summary File"));

    // The default name "a:\defragA.log" on a run of drive A: is the same drive.
    machine_.WriteFile("logs/Defragme.dat", "run");
    std::remove(machine_.Path("reboot").c_str());
    run = RunMainInChild(Args({"A:", "LOG="}));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Contains(run.screen, "Can't log to the same device as you're defragmenting\n"));
    EXPECT_FALSE(machine_.Exists("logs/defragA.log"));
}

TEST_F(BootMachine, LogThatCannotBeOpenedIsToldAndTheRunGoesOn) {
    PlaceTrigger();
    ChildRun run = RunMainInChild(Args({"C:", "LOG=A:\\NODIR\\RUN.LOG"}));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Contains(run.screen, "Could't open summary/log file...\n"));
    EXPECT_TRUE(Contains(run.screen, "Summary File Set To: A:\\NODIR\\RUN.LOG\n"));
}

TEST_F(BootMachine, TracesBeforeEachCallFromLevelTwo) {
    PlaceTrigger();
    ChildRun run = RunMainInChild(Args({"C:", "LEV=2"}));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Contains(run.screen, "main:")) << run.screen;
    EXPECT_TRUE(Contains(run.screen, "->Initialize\n"));
    EXPECT_TRUE(Contains(run.screen, "->OffLineExit\n"));
    EXPECT_LT(run.screen.find("->Initialize\n"), run.screen.find("->OffLineExit\n"));
}

TEST_F(BootMachine, EndPauseStaysAtTheScreenWithoutReboot) {
    PlaceTrigger();
    ChildRun run = RunMainInChild(Args({"C:", "ENDPAUSE"}), 3);
    EXPECT_TRUE(run.timedOut) << "the machine must stay at the screen";
    EXPECT_TRUE(Contains(run.screen, "Paused before exiting.\nUse RESET button on front of computer or \n"
                                     "power-off and power-on to reboot.\n"));
    EXPECT_FALSE(machine_.Exists("reboot"));
}

TEST(OperatingSystemGate, SystemWithoutMountedDevices) {
    Machine machine("A: folder logs\nC: folder cdrive\n", false);
    machine.WriteFile("cdrive/Defragme.dat", "run");
    ChildRun run = RunMainInChild(Args({"C:"}));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(machine.ReadFile("reboot"), "reboot\n");
#ifdef BOOT_NTFS
    EXPECT_TRUE(
        Contains(run.screen, "This boot-time defragmenter was not created for this operating system version\n"));
    EXPECT_FALSE(Contains(run.screen, "Boot-time defragmenter for"));
#else
    EXPECT_FALSE(Contains(run.screen, "operating system version"));
    EXPECT_TRUE(Contains(run.screen, "Boot-time defragmenter for"));
#endif
}
