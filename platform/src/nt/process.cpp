// The process: its PEB and process parameters, the standard stream objects
// behind the standard handles, process termination and the debugger calls.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "internal.h"

namespace ntp {
namespace {

// A standard stream (fd 0, 1 or 2) seen as a file. Output through it and
// through NtDisplayString/DbgPrint stays in order: the C streams are flushed
// before the descriptor is written.
class StdStream : public FileObject {
public:
    explicit StdStream(int fd) : fd_(fd) {}

    NTSTATUS read(uint64_t, void *buffer, ULONG length, ULONG *done) override {
        *done = 0;
        if (length == 0) return STATUS_SUCCESS;
        ssize_t n;
        do n = ::read(fd_, buffer, length);
        while (n < 0 && errno == EINTR);
        if (n < 0) return STATUS_IO_DEVICE_ERROR;
        if (n == 0) return STATUS_END_OF_FILE;
        *done = static_cast<ULONG>(n);
        return STATUS_SUCCESS;
    }

    NTSTATUS write(uint64_t, const void *buffer, ULONG length, ULONG *done) override {
        *done = 0;
        std::fflush(stream());
        const char *p = static_cast<const char *>(buffer);
        ULONG left = length;
        while (left > 0) {
            ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return STATUS_IO_DEVICE_ERROR;
            p += n;
            left -= static_cast<ULONG>(n);
            *done += static_cast<ULONG>(n);
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS flush() override {
        std::fflush(stream());
        return STATUS_SUCCESS;
    }

    uint64_t size() override { return 0; }

    // The standard streams stay open for the whole process.
    NTSTATUS close() override { return STATUS_SUCCESS; }

private:
    FILE *stream() const { return fd_ == 2 ? stderr : fd_ == 1 ? stdout : nullptr; }
    int fd_;
};

struct ProcessState {
    std::mutex lock;
    bool ready = false;
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS params{};
    std::u16string image;
    std::u16string commandLine;
    HANDLE stdHandles[3] = {};
};

ProcessState &state() {
    static ProcessState *s = new ProcessState;  // never destroyed: used from exit paths
    return *s;
}

// Process heap handle: an address that is nothing but a name.
char gHeapTag;

void fill_string(UNICODE_STRING *out, std::u16string &text) {
    size_t bytes = text.size() * sizeof(WCHAR);
    if (bytes > 0xFFFC) {  // a counted string holds at most 32,766 characters
        text.resize(0xFFFC / sizeof(WCHAR));
        bytes = 0xFFFC;
    }
    out->Length = static_cast<USHORT>(bytes);
    out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    out->Buffer = text.data();
}

// Called with the lock held.
void install(ProcessState &s, std::u16string image, std::u16string commandLine, ULONG debugFlags) {
    if (!s.stdHandles[0]) {
        for (int fd = 0; fd < 3; ++fd) s.stdHandles[fd] = handle_insert(std::make_shared<StdStream>(fd));
    }
    s.image = std::move(image);
    s.commandLine = std::move(commandLine);

    RTL_USER_PROCESS_PARAMETERS &p = s.params;
    std::memset(&p, 0, sizeof p);
    p.MaximumLength = sizeof p;
    p.Length = sizeof p;
    p.Flags = RTL_USER_PROC_PARAMS_NORMALIZED;
    p.DebugFlags = debugFlags;
    p.StandardInput = s.stdHandles[0];
    p.StandardOutput = s.stdHandles[1];
    p.StandardError = s.stdHandles[2];
    fill_string(&p.ImagePathName, s.image);
    fill_string(&p.CommandLine, s.commandLine);

    std::memset(&s.peb, 0, sizeof s.peb);
    s.peb.ProcessParameters = &p;
    s.peb.ProcessHeap = &gHeapTag;
    s.ready = true;
}

// The default parameters of a process that nobody described: the Linux
// command line, arguments joined by single blanks.
void install_default(ProcessState &s) {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    size_t start = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\0') {
            args.emplace_back(raw.substr(start, i - start));
            start = i + 1;
        }
    }
    if (start < raw.size()) args.emplace_back(raw.substr(start));
    std::string line;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) line += ' ';
        line += args[i];
    }
    install(s, to_utf16(args.empty() ? std::string() : args[0]), to_utf16(line), 0);
}

}  // namespace

void set_process_parameters(std::u16string_view imagePath, std::u16string_view commandLine, ULONG debugFlags) {
    ProcessState &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    install(s, std::u16string(imagePath), std::u16string(commandLine), debugFlags);
}

PVOID process_heap() { return &gHeapTag; }

int exit_code_of(NTSTATUS status) {
    if (status == STATUS_SUCCESS) return 0;
    int code = static_cast<int>(static_cast<ULONG>(status) & 0xFF);
    return code ? code : 1;
}

}  // namespace ntp

PPEB NtCurrentPeb(void) {
    ntp::ProcessState &s = ntp::state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.ready) ntp::install_default(s);
    return &s.peb;
}

NTSTATUS NtTerminateProcess(HANDLE ProcessHandle, NTSTATUS ExitStatus) {
    // A null handle means "every other thread of this process": there are none.
    if (ProcessHandle == nullptr) return STATUS_SUCCESS;
    if (ProcessHandle != NtCurrentProcess()) {
        ntp::debug("NtTerminateProcess: only the current process can be terminated");
        return STATUS_INVALID_HANDLE;
    }
    std::fflush(nullptr);
    std::exit(ntp::exit_code_of(ExitStatus));
}

ULONG DbgPrint(PCSTR Format, ...) {
    if (!Format) return STATUS_INVALID_PARAMETER;
    std::fflush(stdout);
    va_list args;
    va_start(args, Format);
    std::vfprintf(stderr, Format, args);
    va_end(args);
    std::fflush(stderr);
    return STATUS_SUCCESS;
}

namespace {
bool debugger_attached() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("TracerPid:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
    }
    return false;
}
}  // namespace

VOID DbgBreakPoint(void) {
    // Without a debugger a breakpoint would kill the process; Windows without
    // a kernel debugger lets it pass as well.
    if (debugger_attached()) raise(SIGTRAP);
}
