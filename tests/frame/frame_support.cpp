// Helpers of the frame's tests (see frame_support.h).
#include "frame_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "internal.h"

namespace frametest {
namespace {

// The frame's waits are not part of what the tests look at.
struct NoWaiting {
    NoWaiting() { setenv("NT_TIME_SCALE", "0", 1); }
} gNoWaiting;

// \Registry\Machine\SYSTEM\ControlSet001\Control\<key>
std::u16string ControlKey(const std::u16string &key) {
    return u"\\Registry\\Machine\\SYSTEM\\ControlSet001\\Control\\" + key;
}

struct Name {
    explicit Name(std::u16string t) : text(std::move(t)) {
        us.Buffer = text.data();
        us.Length = (USHORT)(text.size() * sizeof(WCHAR));
        us.MaximumLength = us.Length;
        InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    }
    std::u16string text;
    UNICODE_STRING us;
    OBJECT_ATTRIBUTES oa;
};

// Creates a key and every missing key above it below \Registry\Machine\SYSTEM.
bool CreateKeyPath(const std::u16string &full) {
    const std::u16string base = u"\\Registry\\Machine\\SYSTEM";
    size_t at = base.size();
    while (at < full.size()) {
        size_t next = full.find(u'\\', at + 1);
        if (next == std::u16string::npos) next = full.size();
        Name name(full.substr(0, next));
        HANDLE key = nullptr;
        ULONG disposition = 0;
        if (!NT_SUCCESS(NtCreateKey(&key, KEY_ALL_ACCESS, &name.oa, 0, nullptr, 0, &disposition))) return false;
        NtClose(key);
        at = next;
    }
    return true;
}

bool SetRaw(const std::u16string &keyPath, const std::u16string &value, ULONG type, const void *data, ULONG bytes) {
    if (!CreateKeyPath(keyPath)) return false;
    Name name(keyPath);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(NtOpenKey(&key, KEY_ALL_ACCESS, &name.oa))) return false;
    std::u16string valueText = value;
    UNICODE_STRING valueName{(USHORT)(valueText.size() * 2), (USHORT)(valueText.size() * 2), valueText.data()};
    NTSTATUS status = NtSetValueKey(key, &valueName, 0, type, const_cast<void *>(data), bytes);
    NtClose(key);
    return NT_SUCCESS(status);
}

}  // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/frametest-XXXXXX";
    char *made = mkdtemp(pattern);
    if (!made) std::abort();
    path_ = made;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Machine::Machine(const std::string &drives, bool mountedDevices) {
    WriteFile("drives", drives);
    MakeFolder("config");
    MakeFolder("logs");
    std::string error;
    if (!ntp::create_empty_hive(Path("config/SYSTEM"), &error)) {
        ADD_FAILURE() << "SYSTEM hive: " << error;
        return;
    }
    if (!ntp::create_empty_hive(Path("config/SOFTWARE"), &error)) {
        ADD_FAILURE() << "SOFTWARE hive: " << error;
        return;
    }
    setenv("NT_MACHINE", root().c_str(), 1);
    DWORD current = 1;
    ok_ = SetRaw(u"\\Registry\\Machine\\SYSTEM\\Select", u"Current", REG_DWORD, &current, sizeof current) &&
          SetMultiSz(u"Session Manager", u"BootExecute", {u"autocheck autochk *"}) &&
          SetMultiSz(u"Session Manager\\Memory Management", u"PagingFiles", {}) &&
          (!mountedDevices || CreateKeyPath(u"\\Registry\\Machine\\SYSTEM\\MountedDevices"));
    if (!ok_) ADD_FAILURE() << "the machine's registry keys could not be made";
}

Machine::~Machine() { unsetenv("NT_MACHINE"); }

void Machine::WriteFile(const std::string &relative, const std::string &bytes) const {
    std::filesystem::create_directories(std::filesystem::path(Path(relative)).parent_path());
    std::ofstream out(Path(relative), std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string Machine::ReadFile(const std::string &relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Machine::Exists(const std::string &relative) const {
    struct stat st;
    return ::stat(Path(relative).c_str(), &st) == 0;
}

void Machine::MakeFolder(const std::string &relative) const { std::filesystem::create_directories(Path(relative)); }

bool Machine::SetValue(const std::u16string &key, const std::u16string &name, ULONG type, const void *data,
                       ULONG bytes) const {
    return SetRaw(ControlKey(key), name, type, data, bytes);
}

bool Machine::SetMultiSz(const std::u16string &key, const std::u16string &name,
                         const std::vector<std::u16string> &strings) const {
    std::string bytes = MultiSzBytes(strings);
    return SetValue(key, name, REG_MULTI_SZ, bytes.data(), (ULONG)bytes.size());
}

bool Machine::GetValue(const std::u16string &key, const std::u16string &name, ULONG *type, std::string *data) const {
    Name keyName(ControlKey(key));
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(NtOpenKey(&handle, KEY_READ, &keyName.oa))) return false;
    std::u16string valueText = name;
    UNICODE_STRING valueName{(USHORT)(valueText.size() * 2), (USHORT)(valueText.size() * 2), valueText.data()};
    std::vector<BYTE> buffer(65536);
    ULONG length = 0;
    NTSTATUS status =
        NtQueryValueKey(handle, &valueName, KeyValuePartialInformation, buffer.data(), (ULONG)buffer.size(), &length);
    NtClose(handle);
    if (!NT_SUCCESS(status)) return false;
    auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer.data());
    *type = info->Type;
    data->assign(reinterpret_cast<const char *>(info->Data), info->DataLength);
    return true;
}

std::string Utf16Bytes(const std::u16string &text) {
    std::string out;
    for (char16_t c : text) {
        out += (char)(c & 0xFF);
        out += (char)(c >> 8);
    }
    return out;
}

std::string MultiSzBytes(const std::vector<std::u16string> &strings) {
    std::string out;
    for (const auto &s : strings) out += Utf16Bytes(s) + std::string(2, '\0');
    return out + std::string(2, '\0');
}

std::string Screen(const std::function<void()> &fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

void ResetProcessGlobals() {
    bScreenLog = 0;
    llPageFileFRN = -1;
    llPageFileZone = -1;
    lMFTOpt = -1;
    bLogFile = 0;
    hLogFile = nullptr;
    lLogLevel = 0;
}

// Calls main with a copy of the arguments.
static int CallMain(const std::vector<std::string> &args) {
    ResetProcessGlobals();
    std::vector<std::string> copies(args);
    std::vector<char *> argv;
    for (auto &a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    return NativeMain((int)args.size(), argv.data(), nullptr, 0);
}

std::string RunMain(const std::vector<std::string> &args, int *result) {
    int r = -1;
    std::string screen = Screen([&] { r = CallMain(args); });
    if (result) *result = r;
    return screen;
}

ChildRun RunInChild(const std::function<void()> &fn, int seconds) {
    ChildRun run;
    char pattern[] = "/tmp/frameout-XXXXXX";
    int out = mkstemp(pattern);
    if (out < 0) return run;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        close(out);
        fn();
        std::fflush(nullptr);
        _exit(0);
    }
    int status = 0;
    auto started = std::chrono::steady_clock::now();
    auto deadline = started + std::chrono::seconds(seconds);
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            run.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!run.timedOut && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    std::ifstream in(pattern, std::ios::binary);
    run.screen.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    close(out);
    unlink(pattern);
    return run;
}

ChildRun RunMainInChild(const std::vector<std::string> &args, int seconds, const char *timeScale) {
    return RunInChild(
        [&] {
            setenv("NT_TIME_SCALE", timeScale, 1);
            CallMain(args);
            // main returned: no reboot took place.
            std::fflush(nullptr);
            _exit(42);
        },
        seconds);
}

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

size_t CountOf(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) count++;
    return count;
}

}  // namespace frametest
