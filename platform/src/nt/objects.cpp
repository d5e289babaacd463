// Closing handles and waiting on objects.
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "internal.h"

namespace {

bool is_pseudo_handle(HANDLE h) { return h == NtCurrentProcess() || h == NtCurrentThread(); }

int64_t nt_system_time() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return 116444736000000000LL + static_cast<int64_t>(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

}  // namespace

NTSTATUS NtClose(HANDLE Handle) {
    if (is_pseudo_handle(Handle)) return STATUS_INVALID_HANDLE;
    std::shared_ptr<ntp::Object> object = ntp::handle_lookup(Handle);
    if (!object) return STATUS_INVALID_HANDLE;
    NTSTATUS closed = STATUS_SUCCESS;
    if (auto file = std::dynamic_pointer_cast<ntp::FileObject>(object)) closed = file->close();
    NTSTATUS removed = ntp::handle_remove(Handle);
    if (!NT_SUCCESS(removed)) return removed;
    if (!NT_SUCCESS(closed))
        ntp::debug("NtClose: closing handle %p failed (0x%08X)", Handle, static_cast<unsigned>(closed));
    return closed;
}

NTSTATUS NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    std::shared_ptr<ntp::Object> object;
    if (!is_pseudo_handle(Handle)) {
        object = ntp::handle_lookup(Handle);
        if (!object) return STATUS_INVALID_HANDLE;
        if (object->signaled()) return STATUS_SUCCESS;
    }
    // Not signalled (the running process and thread never are while one
    // waits on them): wait for the object or the time-out.
    if (!Timeout || Timeout->QuadPart == NT_INFINITE_DELAY) {
        for (;;) {
            if (object && object->signaled()) return STATUS_SUCCESS;
            if (!object) {
                pause();
                if (Alertable) return STATUS_ALERTED;
                continue;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    int64_t units = Timeout->QuadPart < 0 ? -Timeout->QuadPart : Timeout->QuadPart - nt_system_time();
    if (units > (int64_t(1) << 50)) units = int64_t(1) << 50;  // years: as good as never
    auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(units > 0 ? units * 100 : 0);
    for (;;) {
        if (object && object->signaled()) return STATUS_SUCCESS;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return STATUS_TIMEOUT;
        auto step = std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(5));
        std::this_thread::sleep_for(step);
    }
}
