// The process: PEB and process parameters, the Linux entry, handles of the
// standard streams, closing and waiting, screen, time, privileges, shutdown
// and system information.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "core_support.h"

namespace {

using namespace coretest;

std::u16string text_of(const UNICODE_STRING &s) { return std::u16string(s.Buffer, s.Length / sizeof(WCHAR)); }

// ------------------------------------------------------------ parameters

TEST(ProcessParameters, DefaultComesFromTheLinuxCommandLine) {
    // Runs in a child: this process may already have had its parameters set.
    int status = run_in_child([] {
        PPEB peb = NtCurrentPeb();
        PRTL_USER_PROCESS_PARAMETERS p = peb->ProcessParameters;
        std::string image = ntp::to_utf8(text_of(p->ImagePathName));
        std::string line = ntp::to_utf8(text_of(p->CommandLine));
        char self[4096] = {};
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        std::string exe = n > 0 ? std::string(self, (size_t)n) : std::string();
        exe = exe.substr(exe.rfind('/') + 1);  // the test program's own file name
        bool ok = !exe.empty() && image.find(exe) != std::string::npos && line.rfind(image, 0) == 0 &&
                  (p->Flags & RTL_USER_PROC_PARAMS_NORMALIZED) && peb->ProcessHeap == ntp::process_heap() &&
                  p->CommandLine.Buffer[p->CommandLine.Length / 2] == 0;
        _exit(ok ? 0 : 1);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ProcessParameters, HostHookSetsCommandLineAndImage) {
    ntp::set_process_parameters(u"/machine/system32/dozuzoro", u"DOZUZORO C: FILES=FULL", 2);
    PPEB peb = NtCurrentPeb();
    PRTL_USER_PROCESS_PARAMETERS p = peb->ProcessParameters;
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(text_of(p->CommandLine), u"DOZUZORO C: FILES=FULL");
    EXPECT_EQ(p->CommandLine.Length, 22 * 2);
    EXPECT_EQ(p->CommandLine.MaximumLength, 23 * 2);
    EXPECT_EQ(text_of(p->ImagePathName), u"/machine/system32/dozuzoro");
    EXPECT_EQ(p->DebugFlags, 2u);
    // The offsets the programs read through.
    auto *raw = reinterpret_cast<const unsigned char *>(p);
    EXPECT_EQ(reinterpret_cast<const UNICODE_STRING *>(raw + 0x70)->Buffer, p->CommandLine.Buffer);
    EXPECT_EQ(*reinterpret_cast<const PVOID *>(reinterpret_cast<const unsigned char *>(peb) + 0x30), RtlProcessHeap());
}

TEST(ProcessParameters, StandardHandlesAreStreamObjects) {
    PRTL_USER_PROCESS_PARAMETERS p = NtCurrentPeb()->ProcessParameters;
    for (HANDLE h : {p->StandardInput, p->StandardOutput, p->StandardError}) {
        EXPECT_NE(ntp::handle_get<ntp::FileObject>(h), nullptr);
    }
    // Writing through the output handle reaches standard output.
    auto out = ntp::handle_get<ntp::FileObject>(p->StandardOutput);
    testing::internal::CaptureStdout();
    ULONG done = 0;
    EXPECT_EQ(out->write(0, "through the handle\n", 19, &done), STATUS_SUCCESS);
    EXPECT_EQ(done, 19u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "through the handle\n");
}

// The Linux entry, through a native program built for the test.
class Entry : public testing::Test {
protected:
    std::string probe = NTP_ENTRY_PROBE;
};

TEST_F(Entry, JoinsArgumentsWithSingleBlanks) {
    std::string out = run_command("env -u NT_COMMAND_LINE -u NT_DEBUG_FLAGS " + quote(probe) + " C:  FILES=FULL");
    EXPECT_NE(out.find("image=" + probe + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("cmd=" + probe + " C: FILES=FULL\n"), std::string::npos) << out;
    EXPECT_NE(out.find("flags=0\nnormalized=1\nheap=1\nstd=1\n"), std::string::npos) << out;
}

TEST_F(Entry, CommandLineAndDebugFlagsFromTheEnvironment) {
    std::string out = run_command("NT_COMMAND_LINE='ZIRIZUD  D: LOG=a:\\x.log' NT_DEBUG_FLAGS=0x10 " + quote(probe) +
                                  " ignored arguments");
    EXPECT_NE(out.find("cmd=ZIRIZUD  D: LOG=a:\\x.log\n"), std::string::npos) << out;
    EXPECT_NE(out.find("flags=16\n"), std::string::npos) << out;
}

TEST_F(Entry, RebootRequestIsRecordedAndEndsTheProgram) {
    ScratchDir dir;
    make_machine(dir.path());
    int code = -1;
    std::string out =
        run_command("NT_MACHINE=" + quote(dir.str()) + " NT_COMMAND_LINE='probe REBOOT' " + quote(probe), &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out.find("shutdown returned"), std::string::npos) << out;
    EXPECT_EQ(read_file(dir.path() / "reboot"), "reboot\n");
}

TEST_F(Entry, RebootWithoutMachineIsRefusedClearly) {
    int code = -1;
    std::string out = run_command("env -u NT_MACHINE NT_COMMAND_LINE='probe REBOOT' " + quote(probe) + " 2>&1", &code);
    EXPECT_NE(out.find("NT_MACHINE"), std::string::npos) << out;
    EXPECT_NE(out.find("shutdown returned"), std::string::npos) << out;
}

// ------------------------------------------------------ closing, waiting

class CountingFile : public ntp::FileObject {
public:
    std::atomic<int> closes{0};
    std::atomic<bool> ready{true};
    NTSTATUS read(uint64_t, void *, ULONG, ULONG *done) override { return *done = 0, STATUS_END_OF_FILE; }
    NTSTATUS write(uint64_t, const void *, ULONG, ULONG *done) override { return *done = 0, STATUS_SUCCESS; }
    NTSTATUS flush() override { return STATUS_SUCCESS; }
    uint64_t size() override { return 0; }
    NTSTATUS close() override {
        ++closes;
        return STATUS_SUCCESS;
    }
    bool signaled() const override { return ready; }
};

TEST(Handles, CloseCallsCloseOnceAndForgetsTheHandle) {
    auto file = std::make_shared<CountingFile>();
    HANDLE h = ntp::handle_insert(file);
    size_t before = ntp::handle_count();
    EXPECT_EQ(NtClose(h), STATUS_SUCCESS);
    EXPECT_EQ(file->closes, 1);
    EXPECT_EQ(ntp::handle_count(), before - 1);
    EXPECT_EQ(NtClose(h), STATUS_INVALID_HANDLE);
    EXPECT_EQ(file->closes, 1);
}

TEST(Handles, PseudoAndUnknownHandlesAreInvalid) {
    size_t before = ntp::handle_count();
    EXPECT_EQ(NtClose(NtCurrentProcess()), STATUS_INVALID_HANDLE);
    EXPECT_EQ(NtClose(NtCurrentThread()), STATUS_INVALID_HANDLE);
    EXPECT_EQ(NtClose(reinterpret_cast<HANDLE>(0x7FFFFFF0)), STATUS_INVALID_HANDLE);
    EXPECT_EQ(NtClose(nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ntp::handle_count(), before);
    EXPECT_EQ(NtWaitForSingleObject(reinterpret_cast<HANDLE>(0x7FFFFFF0), FALSE, nullptr), STATUS_INVALID_HANDLE);
}

TEST(Handles, WaitHonoursSignalsAndTimeouts) {
    auto file = std::make_shared<CountingFile>();
    HANDLE h = ntp::handle_insert(file);
    EXPECT_EQ(NtWaitForSingleObject(h, FALSE, nullptr), STATUS_SUCCESS);

    file->ready = false;
    LARGE_INTEGER zero{};
    EXPECT_EQ(NtWaitForSingleObject(h, FALSE, &zero), STATUS_TIMEOUT);
    LARGE_INTEGER twentyMs;
    twentyMs.QuadPart = -200000;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NtWaitForSingleObject(h, FALSE, &twentyMs), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));

    // Signalled by someone else while waiting without a time-out.
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        file->ready = true;
    });
    EXPECT_EQ(NtWaitForSingleObject(h, FALSE, nullptr), STATUS_SUCCESS);
    later.join();
    EXPECT_EQ(NtClose(h), STATUS_SUCCESS);

    // The running process is never signalled while one waits on it.
    EXPECT_EQ(NtWaitForSingleObject(NtCurrentProcess(), FALSE, &zero), STATUS_TIMEOUT);
}

// ---------------------------------------------------------------- screen

TEST(Screen, DisplayStringWritesUtf8) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"\r[ 5%] caf\u00e9\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(NtDisplayString(&s), STATUS_SUCCESS);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\r[ 5%] caf\u00e9\n");
    EXPECT_EQ(NtDisplayString(nullptr), STATUS_INVALID_PARAMETER);
}

TEST(Screen, DbgPrintGoesToStandardError) {
    testing::internal::CaptureStderr();
    DbgPrint("AutoChkMalloc failing - avail %X, asked for %X\n", 0x10u, 0x20u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "AutoChkMalloc failing - avail 10, asked for 20\n");
    DbgBreakPoint();  // no debugger attached: nothing happens
}

// ------------------------------------------------------------------ time

TEST(Time, ScaleZeroMakesAFifteenSecondWaitImmediate) {
    EnvVar scale("NT_TIME_SCALE", "0");
    LARGE_INTEGER fifteen;
    fifteen.QuadPart = -150000000;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NtDelayExecution(FALSE, &fifteen), STATUS_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(Time, RelativeWaitIsScaled) {
    EnvVar scale("NT_TIME_SCALE", "0.01");
    LARGE_INTEGER fiveSeconds;
    fiveSeconds.QuadPart = -50000000;  // 5 s at 1/100: 50 ms
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NtDelayExecution(FALSE, &fiveSeconds), STATUS_SUCCESS);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(50));
    EXPECT_LT(took, std::chrono::seconds(4));
}

TEST(Time, UnscaledWaitReallyWaits) {
    EnvVar scale("NT_TIME_SCALE", "1");
    LARGE_INTEGER thirtyMs;
    thirtyMs.QuadPart = -300000;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NtDelayExecution(FALSE, &thirtyMs), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(Time, AbsoluteTimeInThePastReturnsAtOnce) {
    EnvVar scale("NT_TIME_SCALE", "1");
    LARGE_INTEGER past;
    past.QuadPart = 116444736000000000LL;  // 1970
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NtDelayExecution(FALSE, &past), STATUS_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(Time, BadScaleIsAnnouncedAndIgnored) {
    EnvVar scale("NT_TIME_SCALE", "fast");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ntp::time_scale(), 1.0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("NT_TIME_SCALE"), std::string::npos);
}

TEST(Time, EndlessWaitBlocksUntilSignalledWhateverTheScale) {
    EnvVar scale("NT_TIME_SCALE", "0");
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        LARGE_INTEGER forever;
        forever.QuadPart = NT_INFINITE_DELAY;
        NtDelayExecution(FALSE, &forever);
        _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the endless wait returned";
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));

    pid = fork();
    if (pid == 0) {
        NtDelayExecution(FALSE, nullptr);
        _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "a null interval returned";
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
}

// ------------------------------------------------- privileges, shutdown

TEST(Privileges, AdjustReportsThePreviousState) {
    BOOLEAN was = 7;
    ASSERT_EQ(RtlAdjustPrivilege(20, TRUE, FALSE, &was), STATUS_SUCCESS);
    EXPECT_EQ(was, FALSE);
    ASSERT_EQ(RtlAdjustPrivilege(20, TRUE, FALSE, &was), STATUS_SUCCESS);
    EXPECT_EQ(was, TRUE);
    ASSERT_EQ(RtlAdjustPrivilege(20, FALSE, FALSE, &was), STATUS_SUCCESS);
    EXPECT_EQ(was, TRUE);
    ASSERT_EQ(RtlAdjustPrivilege(20, FALSE, FALSE, &was), STATUS_SUCCESS);
    EXPECT_EQ(was, FALSE);
    EXPECT_NE(RtlAdjustPrivilege(0, TRUE, FALSE, &was), STATUS_SUCCESS);
    EXPECT_NE(RtlAdjustPrivilege(500, TRUE, FALSE, &was), STATUS_SUCCESS);
}

TEST(Shutdown, WithoutThePrivilegeItFailsAndRecordsNothing) {
    ScratchDir dir;
    make_machine(dir.path());
    EnvVar machine("NT_MACHINE", dir.str());
    int status = run_in_child([] {
        BOOLEAN was;
        RtlAdjustPrivilege(SE_SHUTDOWN_PRIVILEGE, FALSE, FALSE, &was);
        _exit(NtShutdownSystem(ShutdownReboot) == STATUS_PRIVILEGE_NOT_HELD ? 42 : 1);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42);
    EXPECT_FALSE(fs::exists(dir.path() / "reboot"));
}

TEST(Shutdown, WithThePrivilegeItRecordsTheRebootAndEnds) {
    ScratchDir dir;
    make_machine(dir.path());
    EnvVar machine("NT_MACHINE", dir.str());
    int status = run_in_child([] {
        BOOLEAN was;
        RtlAdjustPrivilege(SE_SHUTDOWN_PRIVILEGE, TRUE, FALSE, &was);
        NtShutdownSystem(ShutdownReboot);
        _exit(3);  // not reached when the shutdown works
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(dir.path() / "reboot"), "reboot\n");

    fs::remove(dir.path() / "reboot");
    status = run_in_child([] {
        BOOLEAN was;
        RtlAdjustPrivilege(SE_SHUTDOWN_PRIVILEGE, TRUE, FALSE, &was);
        NtShutdownSystem(ShutdownPowerOff);
    });
    EXPECT_EQ(read_file(dir.path() / "reboot"), "poweroff\n");
}

TEST(Terminate, ExitCodeNeverReadsAsSuccessForAFailure) {
    EXPECT_EQ(ntp::exit_code_of(STATUS_SUCCESS), 0);
    EXPECT_EQ(ntp::exit_code_of(3), 3);
    EXPECT_EQ(ntp::exit_code_of(STATUS_UNSUCCESSFUL), 1);
    EXPECT_EQ(ntp::exit_code_of(static_cast<NTSTATUS>(0xC0000100)), 1);
    int status = run_in_child([] { NtTerminateProcess(NtCurrentProcess(), STATUS_ACCESS_DENIED); });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0x22);
    EXPECT_EQ(NtTerminateProcess(reinterpret_cast<HANDLE>(0x40), 0), STATUS_INVALID_HANDLE);
}

// ----------------------------------------------------- system information

TEST(SystemInformation, BasicReportsTheRealPageSize) {
    SYSTEM_BASIC_INFORMATION info;
    std::memset(&info, 0xCC, sizeof info);
    ULONG length = 0xDEAD;
    ASSERT_EQ(NtQuerySystemInformation(SystemBasicInformation, &info, sizeof info, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, sizeof info);
    EXPECT_EQ(info.PageSize, static_cast<ULONG>(sysconf(_SC_PAGESIZE)));
    EXPECT_GT(info.NumberOfPhysicalPages, 0u);
    EXPECT_GE(info.NumberOfProcessors, 1);

    length = 0;
    EXPECT_EQ(NtQuerySystemInformation(SystemBasicInformation, &info, sizeof info - 1, &length),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(length, sizeof info);
}

TEST(SystemInformation, AvailableMemoryCanBeOverridden) {
    EnvVar memory("NT_AVAILABLE_MEMORY", "102400");
    SYSTEM_PERFORMANCE_INFORMATION perf;
    std::memset(&perf, 0xCC, sizeof perf);
    ULONG length = 0;
    ASSERT_EQ(NtQuerySystemInformation(SystemPerformanceInformation, &perf, sizeof perf, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, sizeof perf);
    EXPECT_EQ(static_cast<uint64_t>(perf.AvailablePages) * sysconf(_SC_PAGESIZE), 102400u);
    // The rest of the record is zero, not junk.
    EXPECT_EQ(perf.CommittedPages, 0u);
    EXPECT_EQ(perf.Reserved[sizeof perf.Reserved - 1], 0);

    EXPECT_EQ(NtQuerySystemInformation(SystemPerformanceInformation, &perf, 0x2C, &length),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(length, sizeof perf);
}

TEST(SystemInformation, RealAvailableMemoryWithoutOverride) {
    EnvVar memory("NT_AVAILABLE_MEMORY", "lots");
    SYSTEM_PERFORMANCE_INFORMATION perf{};
    testing::internal::CaptureStderr();
    ASSERT_EQ(NtQuerySystemInformation(SystemPerformanceInformation, &perf, sizeof perf, nullptr), STATUS_SUCCESS);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("NT_AVAILABLE_MEMORY"), std::string::npos);
    EXPECT_GT(perf.AvailablePages, 0u);
    ULONG length = 5;
    EXPECT_EQ(NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(77), &perf, sizeof perf, &length),
              STATUS_INVALID_INFO_CLASS);
}

}  // namespace
