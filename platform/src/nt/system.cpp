// Screen, time, privileges, shutdown and system information.
//
//   NT_TIME_SCALE        factor applied to every NtDelayExecution wait
//                        (a non-negative decimal, default 1; 0 = no waiting)
//   NT_AVAILABLE_MEMORY  free physical memory to report, in bytes
//                        (default: MemAvailable of /proc/meminfo)
#include <time.h>
#include <unistd.h>

#include <bitset>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

#include "internal.h"

#ifndef STATUS_NO_SUCH_PRIVILEGE
#define STATUS_NO_SUCH_PRIVILEGE ((NTSTATUS)0xC0000060L)
#endif

namespace {

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochAsNt = 116444736000000000LL;

// Warns once per distinct bad text of an environment variable.
void warn_once(const char *variable, const char *text, const char *what) {
    static std::mutex lock;
    static std::string last;
    std::lock_guard<std::mutex> guard(lock);
    std::string key = std::string(variable) + "=" + text;
    if (key == last) return;
    last = key;
    ntp::warn("%s=\"%s\" is not %s; ignoring it", variable, text, what);
}

int64_t nt_system_time() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return kUnixEpochAsNt + static_cast<int64_t>(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

// Sleeps for `seconds` of real time; false when a signal cut it short and the
// caller wanted to know (alertable).
bool sleep_for(double seconds, bool alertable) {
    if (!(seconds > 0)) return true;
    if (seconds > 1e9) seconds = 1e9;
    timespec left{};
    left.tv_sec = static_cast<time_t>(seconds);
    left.tv_nsec = static_cast<long>((seconds - static_cast<double>(left.tv_sec)) * 1e9);
    while (nanosleep(&left, &left) != 0) {
        if (errno != EINTR) break;
        if (alertable) return false;
    }
    return true;
}

std::mutex gPrivilegeLock;
std::bitset<64> gEnabledPrivileges;
constexpr ULONG kLowestPrivilege = 2;    // SE_CREATE_TOKEN_PRIVILEGE
constexpr ULONG kHighestPrivilege = 36;  // SE_DELEGATE_SESSION_USER_IMPERSONATE_PRIVILEGE

}  // namespace

namespace ntp {

double time_scale() {
    const char *text = std::getenv("NT_TIME_SCALE");
    if (!text || !*text) return 1.0;
    char *end = nullptr;
    double value = std::strtod(text, &end);
    if (*end != '\0' || !std::isfinite(value) || value < 0) {
        warn_once("NT_TIME_SCALE", text, "a non-negative number");
        return 1.0;
    }
    return value;
}

}  // namespace ntp

NTSTATUS NtDisplayString(PUNICODE_STRING String) {
    if (!String || (String->Length && !String->Buffer)) return STATUS_INVALID_PARAMETER;
    std::string text = ntp::to_utf8(std::u16string_view(String->Buffer, String->Length / sizeof(WCHAR)));
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return STATUS_SUCCESS;
}

NTSTATUS NtDelayExecution(BOOLEAN Alertable, PLARGE_INTEGER DelayInterval) {
    if (!DelayInterval || DelayInterval->QuadPart == NT_INFINITE_DELAY) {
        // A wait without end: the machine stays here until it is reset (the
        // process is signalled), whatever the time scale.
        std::fflush(nullptr);
        for (;;) {
            pause();
            if (Alertable) return STATUS_ALERTED;
        }
    }
    int64_t interval = DelayInterval->QuadPart;
    int64_t units;  // 100 ns
    if (interval < 0)
        units = -interval;
    else
        units = interval - nt_system_time();  // absolute system time
    double scale = ntp::time_scale();
    if (units <= 0 || scale == 0) return STATUS_SUCCESS;
    double seconds = static_cast<double>(units) / 1e7 * scale;
    return sleep_for(seconds, Alertable) ? STATUS_SUCCESS : STATUS_ALERTED;
}

NTSTATUS RtlAdjustPrivilege(ULONG Privilege, BOOLEAN Enable, BOOLEAN CurrentThread, PBOOLEAN Enabled) {
    if (!Enabled) return STATUS_INVALID_PARAMETER;
    if (Privilege < kLowestPrivilege || Privilege > kHighestPrivilege) return STATUS_NO_SUCH_PRIVILEGE;
    if (CurrentThread) ntp::debug("RtlAdjustPrivilege: the thread has no token of its own; adjusting the process");
    std::lock_guard<std::mutex> guard(gPrivilegeLock);
    *Enabled = gEnabledPrivileges.test(Privilege) ? TRUE : FALSE;
    gEnabledPrivileges.set(Privilege, Enable != FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS NtShutdownSystem(SHUTDOWN_ACTION Action) {
    {
        std::lock_guard<std::mutex> guard(gPrivilegeLock);
        if (!gEnabledPrivileges.test(SE_SHUTDOWN_PRIVILEGE)) return STATUS_PRIVILEGE_NOT_HELD;
    }
    if (Action != ShutdownNoReboot && Action != ShutdownReboot && Action != ShutdownPowerOff)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = ntp::machine_record_reboot(Action);
    if (!NT_SUCCESS(status)) {
        ntp::warn("the shutdown request could not be recorded in the machine (status 0x%08X)",
                  static_cast<unsigned>(status));
        return status;
    }
    std::fflush(nullptr);
    std::exit(0);
}

namespace {

uint64_t meminfo_bytes(const char *field) {
    std::ifstream in("/proc/meminfo");
    std::string line;
    size_t n = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
            return std::strtoull(line.c_str() + n + 1, nullptr, 10) * 1024;  // kB
    }
    return 0;
}

uint64_t available_memory() {
    if (const char *text = std::getenv("NT_AVAILABLE_MEMORY"); text && *text) {
        char *end = nullptr;
        errno = 0;
        unsigned long long value = std::strtoull(text, &end, 10);
        if (!errno && *end == '\0' && text[0] != '-') return value;
        warn_once("NT_AVAILABLE_MEMORY", text, "a number of bytes");
    }
    return meminfo_bytes("MemAvailable");
}

ULONG clamp_ulong(uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(v); }

}  // namespace

NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass, PVOID SystemInformation,
                                  ULONG SystemInformationLength, PULONG ReturnLength) {
    const uint64_t pageSize = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    switch (SystemInformationClass) {
    case SystemBasicInformation: {
        if (ReturnLength) *ReturnLength = sizeof(SYSTEM_BASIC_INFORMATION);
        if (SystemInformationLength < sizeof(SYSTEM_BASIC_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        if (!SystemInformation) return STATUS_ACCESS_VIOLATION;
        SYSTEM_BASIC_INFORMATION info{};
        long pages = sysconf(_SC_PHYS_PAGES);
        long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        if (cpus < 1) cpus = 1;
        if (cpus > 64) cpus = 64;
        info.TimerResolution = 156250;  // 15.625 ms, in 100 ns units
        info.PageSize = static_cast<ULONG>(pageSize);
        info.NumberOfPhysicalPages = clamp_ulong(pages > 0 ? pages : 0);
        info.LowestPhysicalPageNumber = 1;
        info.HighestPhysicalPageNumber = info.NumberOfPhysicalPages;
        info.AllocationGranularity = 65536;
        info.MinimumUserModeAddress = 0x10000;
        info.MaximumUserModeAddress = 0x7FFFFFFEFFFFull;
        info.ActiveProcessorsAffinityMask = cpus >= 64 ? ~0ull : ((1ull << cpus) - 1);
        info.NumberOfProcessors = static_cast<CCHAR>(cpus);
        std::memcpy(SystemInformation, &info, sizeof info);
        return STATUS_SUCCESS;
    }
    case SystemPerformanceInformation: {
        if (ReturnLength) *ReturnLength = sizeof(SYSTEM_PERFORMANCE_INFORMATION);
        if (SystemInformationLength < sizeof(SYSTEM_PERFORMANCE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        if (!SystemInformation) return STATUS_ACCESS_VIOLATION;
        SYSTEM_PERFORMANCE_INFORMATION info{};
        info.AvailablePages = clamp_ulong(available_memory() / pageSize);
        std::memcpy(SystemInformation, &info, sizeof info);
        return STATUS_SUCCESS;
    }
    default:
        ntp::debug("NtQuerySystemInformation: class %d is not supported", static_cast<int>(SystemInformationClass));
        if (ReturnLength) *ReturnLength = 0;
        return STATUS_INVALID_INFO_CLASS;
    }
}
