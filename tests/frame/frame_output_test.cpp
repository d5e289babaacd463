// Screen, log and progress output: where each routine's text goes, the log
// file's bytes, the error report, traces, MemDump's layout and the progress
// indicator.
#include "frame_support.h"

using namespace frametest;

namespace {

// Output state as a fresh run has it, restored afterwards.
class Output : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessGlobals(); }
    void TearDown() override {
        if (hLogFile) CloseLogFile(hLogFile);
        ResetProcessGlobals();
    }
};

// A log on a folder drive A: of a machine.
class LogOutput : public Output {
protected:
    void OpenLog(const char16_t *name = u"A:\\run.log") {
        hLogFile = InitializeLogFile(name);
        ASSERT_NE(hLogFile, nullptr);
        bLogFile = 1;
    }
    std::string CloseAndRead(const std::string &file = "logs/run.log") {
        CloseLogFile(hLogFile);
        hLogFile = nullptr;
        bLogFile = 0;
        return machine_.ReadFile(file);
    }
    Machine machine_;
};

std::string Bom() { return "\xFF\xFE"; }

}  // namespace

// ------------------------------------------------------------------- log

TEST_F(LogOutput, LogFileBytesByteOrderMarkUtf16AndCrLf) {
    OpenLog();
    WriteToLogFile(hLogFile, u"one\n");
    WriteToLogFile(hLogFile, u"two");             // no line feed: CR LF added
    WriteToLogFile(hLogFile, u"\r\n");            // CR kept, LF becomes CR LF
    WriteToLogFile(hLogFile, u"");                // nothing at all
    WriteToLogFile(hLogFile, u"a\n\nb");          // empty line in the middle
    WriteToLogFile(hLogFile, u"\u00e9\u20ac\n");  // UTF-16LE, not UTF-8
    std::string bytes = CloseAndRead();

    const unsigned char expected[] = {
        0xFF, 0xFE,                                                     // byte-order mark
        'o',  0,    'n',  0, 'e',  0,    '\r', 0,    '\n', 0,           // "one\n"
        't',  0,    'w',  0, 'o',  0,    '\r', 0,    '\n', 0,           // "two"
        '\r', 0,    '\r', 0, '\n', 0,                                   // "\r\n"
        'a',  0,    '\r', 0, '\n', 0,    '\r', 0,    '\n', 0, 'b',  0,  // "a\n\nb"
        '\r', 0,    '\n', 0, 0xE9, 0x00, 0xAC, 0x20, '\r', 0, '\n', 0,  // e-acute, euro sign
    };
    ASSERT_EQ(bytes.size(), sizeof expected);
    for (size_t i = 0; i < sizeof expected; i++) EXPECT_EQ((unsigned char)bytes[i], expected[i]) << "byte " << i;
}

TEST_F(LogOutput, InitializeLogFileReplacesAnOldLog) {
    machine_.WriteFile("logs/run.log", "an old log that is longer than a byte-order mark");
    OpenLog();
    EXPECT_EQ(CloseAndRead(), Bom());
}

TEST_F(LogOutput, LogThatCannotBeCreatedGivesNull) {
    EXPECT_EQ(InitializeLogFile(u"A:\\no\\such\\folder.log"), nullptr);
    EXPECT_EQ(InitializeLogFile(u"Q:\\nodrive.log"), nullptr);
}

TEST_F(Output, NullLogHandleIsRefusedQuietly) {
    EXPECT_FALSE(WriteToLogFile(nullptr, u"text\n"));
    EXPECT_FALSE(CloseLogFile(nullptr));
    bLogFile = 1;  // requested, but never opened
    EXPECT_EQ(Screen([] { ShowDiag(u"still shown\n"); }), "still shown\n");
}

TEST_F(LogOutput, EachRoutineGoesWhereItShould) {
    OpenLog();
    lLogLevel = 1;
    std::string screen = Screen([] {
        HVprintf(u"hv\n");
        ShowProgress(u"\r[ 5%] ");
        ShowDiag(u"diag\n");
        ShowMessage(u"message at 1\n");
        MessageFunction(u"function", -1, nullptr);
        Message(u"message below 6", -1, nullptr);
    });
    lLogLevel = 2;
    screen += Screen([] { ShowMessage(u"message at 2\n"); });
    lLogLevel = 6;
    bScreenLog = 1;
    screen += Screen([] {
        Message(u"message at 6", 7, u"more");
        MessageFunction(u"shown", -1, nullptr);
    });
    EXPECT_EQ(screen, "hv\n\r[ 5%] diag\nmessage at 1\nmessage at 2\nmessage at 6 7 more\nshown\n");
    EXPECT_EQ(CloseAndRead(), Bom() + Utf16Bytes(u"diag\r\nfunction\r\nmessage at 2\r\nmessage at 6 7 more\r\n"
                                                 u"shown\r\n"));
}

// ------------------------------------------------------------ error report

TEST_F(Output, ErrorReportNamesLineSourceCommandLineAndTimestamp) {
    char a0[] = "bootntfs", a1[] = "C:", a2[] = "50%OFF";
    char *argv[] = {a0, a1, a2, nullptr};
    ASSERT_TRUE(SaveCommandLine(3, argv));
    bScreenLog = 1;
    LONG line = 0;
    std::string screen = Screen([&] {
        // clang-format off
        line = __LINE__; ERROR_REPORT();
        // clang-format on
    });
    std::string expected = "Error #0 at line " + std::to_string(line) + " in " + __FILE__ +
                           " of bootntfs C: 50%OFF  as of " + __TIMESTAMP__ + "\n\n";
    EXPECT_EQ(screen, expected);
}

TEST_F(Output, ErrorReportWithoutSavedCommandLineDoesNotRecurse) {
    WCHAR *saved = pCommandLine;
    pCommandLine = nullptr;
    bScreenLog = 1;
    WCHAR *got = reinterpret_cast<WCHAR *>(1);
    std::string screen = Screen([&] { got = GetCommandLine(); });
    pCommandLine = saved;
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(CountOf(screen, "Error #0 at line"), 1u) << screen;
    EXPECT_TRUE(Contains(screen, " of (no command line saved) as of ")) << screen;
}

TEST_F(Output, ErrorHandlingFillsOnlyTheErrorNumber) {
    bScreenLog = 1;
    EXPECT_EQ(Screen([] { ErrorHandling(u"Error #%ld at line 7 in x of %ld %s 100% as of now"); }),
              "Error #0 at line 7 in x of %ld %s 100% as of now\n\n");
}

TEST_F(LogOutput, ErrorReportsGoToTheLogOnlyWithoutLev) {
    OpenLog();
    std::string screen = Screen([] { ERROR_REPORT(); });
    EXPECT_EQ(screen, "");
    std::string log = CloseAndRead();
    EXPECT_TRUE(Contains(log, Utf16Bytes(u"Error #0 at line "))) << "LOG= without LEV=: the log only";
}

TEST_F(Output, ErrorReportsAreNeitherShownNorLoggedWithoutLogOrLev) {
    EXPECT_EQ(Screen([] { ERROR_REPORT(); }), "");
}

TEST_F(Output, VeryLongMessagesAreCutNotOverrun) {
    bScreenLog = 1;
    std::u16string longText(40000, u'x');
    std::string screen = Screen([&] { MessageFunction(longText.c_str(), -1, nullptr); });
    EXPECT_EQ(screen.size(), 33099u);
}

TEST_F(Output, TracesFollowTheirLevel) {
    bScreenLog = 1;
    lLogLevel = 6;
    std::string screen = Screen([] {
        TraceSite(7, u"Routine", 12, u"Hidden");
        TraceSite(6, u"Routine", 34, u"Shown");
    });
    EXPECT_EQ(screen, "Routine:34->Shown\n");
}

TEST_F(Output, RemoteMessageBoxAndGetString) {
    bScreenLog = 1;
    lLogLevel = 6;
    EXPECT_EQ(Screen([] { EXPECT_TRUE(RemoteMessageBox(u"Text", u"Caption")); }), "Text -1 Caption\n");
    EXPECT_EQ(std::u16string(GetString(u"x", 1, 2, nullptr)), u"Temporary string to hold error message text....");
}

TEST_F(Output, LongScreenTextKeepsSurrogatePairsWhole) {
    std::u16string text(16383, u'a');
    text += u"\U0001F600";  // a pair across the 16384-character mark
    text += u"z";
    std::string screen = Screen([&] { HVprintf(text.c_str()); });
    EXPECT_EQ(screen, std::string(16383, 'a') + "\xF0\x9F\x98\x80" + "z");
}

// ------------------------------------------------------------------ MemDump

TEST_F(Output, MemDumpLayout) {
    unsigned char bytes[20];
    for (int i = 0; i < 16; i++) bytes[i] = (unsigned char)('A' + i);
    bytes[2] = '%';
    bytes[3] = 0x1F;
    bytes[4] = 0x7F;
    bytes[5] = 0x80;
    bytes[16] = 0x00;
    bytes[17] = 'q';
    bytes[18] = 0xFF;
    bytes[19] = ' ';
    std::string screen = Screen([&] { MemDump(bytes, 20, u"Title"); });
    char where[32];
    snprintf(where, sizeof where, "(@0x%08lx)", (unsigned long)(uint32_t)(uintptr_t)bytes);
    std::string expected = std::string("\nTitle ") + where + "\n\n" +
                           "000000: 4142251f 7f804748 494a4b4c 4d4e4f50 AB%%.\x7f.GHIJKLMNOP\n" + "000010: 0071ff20 " +
                           std::string(27, ' ') + ".q. \n" + "\n";
    EXPECT_EQ(screen, expected);
}

TEST_F(Output, MemDumpOfNothingShowsTheOffsetLineOnly) {
    std::string screen = Screen([] { MemDump(nullptr, 0, u"Empty"); });
    EXPECT_EQ(screen, "\nEmpty (@0x00000000)\n\n000000: " + std::string(36, ' ') + "\n\n");
}

// ---------------------------------------------------------------- progress

TEST_F(Output, ProgressOfFiveItemsStepsEveryFifthOfOneHundred) {
    InitializeProgress(5, 100);
    EXPECT_EQ(llProgressMaximum, 100);
    EXPECT_EQ(llProgressFivePercent, 5);
    std::string screen = Screen([] {
        for (int i = 0; i < 4; i++) UpdateProgress();
    });
    EXPECT_EQ(screen, "");
    EXPECT_EQ(Screen([] { UpdateProgress(); }), "\r[ 5%] ");
}

TEST_F(Output, ProgressOfAThousandItemsStepsBy51AndStaysWithin1To99) {
    InitializeProgress(1000, 100);
    EXPECT_EQ(llProgressFivePercent, 51);
    std::string screen = Screen([] {
        for (int i = 0; i < 1200; i++) UpdateProgress();
    });
    EXPECT_EQ(CountOf(screen, "\r["), 1200u / 51u);
    EXPECT_TRUE(Contains(screen, "\r[ 5%] "));
    EXPECT_TRUE(Contains(screen, "\r[99%] ")) << "past the end it stays at 99";
    EXPECT_FALSE(Contains(screen, "[100%]"));
    EXPECT_FALSE(Contains(screen, "[ 0%]"));
}

TEST_F(Output, ProgressStepIsNeverZeroAndSmallStepsAreNotRaised) {
    InitializeProgress(0, 0);
    EXPECT_EQ(llProgressFivePercent, 1);
    InitializeProgress(399, 100);
    EXPECT_EQ(llProgressFivePercent, 19);
    InitializeProgress(400, 100);
    EXPECT_EQ(llProgressFivePercent, 21);
}

TEST_F(Output, ForceProgressFillsThePrefixWithoutShowingIt) {
    InitializeProgress(1000, 100);
    EXPECT_EQ(std::u16string(cProgress), u"");
    EXPECT_EQ(Screen([] { ForceProgress(); }), "");
    EXPECT_EQ(std::u16string(cProgress), u"\r[ 1%] ") << "0% is shown as 1%";
    for (int i = 0; i < 500; i++) llProgressCurrent++;
    ForceProgress();
    EXPECT_EQ(std::u16string(cProgress), u"\r[50%] ");
}
