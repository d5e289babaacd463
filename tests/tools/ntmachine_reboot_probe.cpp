// A native program for the boot tests: counts its runs in the registry
// (SOFTWARE\RebootProbe\Runs), shows its command line, and asks for a reboot
// on its first run only -- or on every run when its command line says ALWAYS.
// With WAIT on the command line it first waits 15 seconds, as the programs
// do before they reboot.
#include <nt/nt.h>

namespace {

void show(const WCHAR *text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    NtDisplayString(&s);
}

}  // namespace

extern "C" void NtProcessStartup(PPEB Peb) {
    PUNICODE_STRING line = &Peb->ProcessParameters->CommandLine;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Registry\\Machine\\SOFTWARE\\RebootProbe");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    ULONG disposition = 0;
    if (!NT_SUCCESS(NtCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition))) {
        show(u"probe: the registry cannot be opened\n");
        NtTerminateProcess(NtCurrentProcess(), STATUS_UNSUCCESSFUL);
    }
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, u"Runs");
    unsigned char buffer[64];
    ULONG length = 0;
    DWORD runs = 0;
    if (NT_SUCCESS(NtQueryValueKey(key, &value, KeyValuePartialInformation, buffer, sizeof buffer, &length)))
        runs = *reinterpret_cast<DWORD *>(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer)->Data);
    ++runs;
    NtSetValueKey(key, &value, 0, REG_DWORD, &runs, sizeof runs);
    NtClose(key);

    WCHAR text[512];
    _snwprintf(text, 512, u"probe: run %lu, command line \"%wZ\"\n", (ULONG)runs, line);
    show(text);
    if (wcsstr(line->Buffer, u"WAIT")) {
        LARGE_INTEGER fifteen;
        fifteen.QuadPart = -150000000;
        NtDelayExecution(FALSE, &fifteen);
    }
    if (runs == 1 || wcsstr(line->Buffer, u"ALWAYS")) {
        BOOLEAN was;
        RtlAdjustPrivilege(SE_SHUTDOWN_PRIVILEGE, TRUE, FALSE, &was);
        show(u"probe: rebooting\n");
        NtShutdownSystem(ShutdownReboot);
        show(u"probe: the reboot was refused\n");
    }
}
