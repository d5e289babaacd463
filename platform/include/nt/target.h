// The one place where the two builds of the programs differ: on Linux the
// native API is the emulated machine of platform/ (C++ functions); on
// Windows it is the real ntdll.dll, through mingw-w64's import libraries
// (libntdll.a for the native calls, libntdllcrt.a for the string and
// formatting routines ntdll exports). The programs' sources are the same.
#pragma once

#if defined(_WIN32)

// ntdll's calling convention (stdcall on x86, the only one on x86-64) and C
// names for the native calls.
#define NTSYSAPI extern "C"
#define NTAPI __stdcall

// The 16-bit string routines are declared over WCHAR (char16_t), which
// ntdll's wchar_t is on Windows: each declaration is bound to the export of
// the same name, beside the C library's wchar_t declarations.
#define NT_STRINGIZE_(x) #x
#define NT_STRINGIZE(x) NT_STRINGIZE_(x)
#define NTCRTNAME(name) __asm__(NT_STRINGIZE(__USER_LABEL_PREFIX__) #name)

// The PEB of the running process, from the thread environment block.
struct _PEB;
inline struct _PEB *NtCurrentPeb(void) {
    struct _PEB *peb;
#if defined(__x86_64__)
    __asm__("movq %%gs:0x60, %0" : "=r"(peb));
#else
    __asm__("movl %%fs:0x30, %0" : "=r"(peb));
#endif
    return peb;
}

#else

#define NTSYSAPI
#define NTAPI
#define NTCRTNAME(name)

// The PEB of the running process (built by the platform at process start
// from the Linux command line, or from the command line the machine tool
// hands over in NT_COMMAND_LINE).
struct _PEB *NtCurrentPeb(void);

#endif

// A layout figure of Windows: the x64 value, or the x86 one where pointers
// are 32 bits.
#define NT_LAYOUT(x64, x86) (sizeof(void *) == 8 ? (x64) : (x86))
