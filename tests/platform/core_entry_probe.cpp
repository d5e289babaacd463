// A native program for the process-entry tests: shows what the process
// parameters hold, and asks for a reboot when its command line says REBOOT.
#include <nt/nt.h>

#include <cstdio>

extern "C" void NtProcessStartup(PPEB Peb) {
    PRTL_USER_PROCESS_PARAMETERS p = Peb->ProcessParameters;
    WCHAR line[1024];
    _snwprintf(line, 1024, u"image=%wZ\ncmd=%wZ\nflags=%lu\nnormalized=%lu\nheap=%lu\nstd=%lu\n", &p->ImagePathName,
               &p->CommandLine, p->DebugFlags, p->Flags & RTL_USER_PROC_PARAMS_NORMALIZED,
               (ULONG)(Peb->ProcessHeap != nullptr),
               (ULONG)(p->StandardInput && p->StandardOutput && p->StandardError));
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, line);
    NtDisplayString(&text);
    if (wcsstr(p->CommandLine.Buffer, u"REBOOT")) {
        BOOLEAN was;
        RtlAdjustPrivilege(SE_SHUTDOWN_PRIVILEGE, TRUE, FALSE, &was);
        NtShutdownSystem(ShutdownReboot);
        RtlInitUnicodeString(&text, u"shutdown returned\n");
        NtDisplayString(&text);
    }
}
