// Basic Windows NT types with their Windows sizes (LLP64 on x64, ILP32 on x86).
//
// WCHAR is a 16-bit UTF-16 code unit (char16_t, so that u"..." literals are
// WCHAR strings); it is never the Linux wchar_t. LONG/ULONG/DWORD are 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "target.h"

typedef void VOID;
typedef void *PVOID, *LPVOID;
typedef const void *PCVOID, *LPCVOID;

typedef char CHAR, *PCHAR, *PSTR, *LPSTR;
typedef const char *PCSTR, *LPCSTR, *PCSZ;
typedef signed char CCHAR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, *LPBYTE, BOOLEAN, *PBOOLEAN;
typedef char16_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR;
typedef const char16_t *PCWSTR, *LPCWSTR;
typedef WCHAR TCHAR, *PTCHAR, *LPTSTR;
typedef const WCHAR *LPCTSTR;

typedef int16_t SHORT, *PSHORT;
typedef uint16_t USHORT, *PUSHORT, WORD, *PWORD;
typedef int32_t LONG, *PLONG, INT, *PINT;
typedef uint32_t ULONG, *PULONG, UINT, *PUINT, DWORD, *PDWORD, *LPDWORD;
typedef int32_t BOOL, *PBOOL, *LPBOOL;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG, *PULONGLONG, DWORDLONG;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, DWORD_PTR, SIZE_T, *PSIZE_T;
typedef intptr_t LONG_PTR, SSIZE_T;

typedef void *HANDLE, **PHANDLE;
typedef HANDLE HGLOBAL, HLOCAL, HINSTANCE, HMODULE, HWND;
typedef struct HKEY__ *HKEY, **PHKEY;

typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef LONG KPRIORITY;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

// Counted strings. Length and MaximumLength are in bytes, as on Windows.
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, OEM_STRING, *PSTRING, *PANSI_STRING, *POEM_STRING;
typedef const STRING *PCANSI_STRING;

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_KERNEL_HANDLE 0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s)                                                                      \
    do {                                                                                                               \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                                       \
        (p)->RootDirectory = (r);                                                                                      \
        (p)->Attributes = (a);                                                                                         \
        (p)->ObjectName = (n);                                                                                         \
        (p)->SecurityDescriptor = (s);                                                                                 \
        (p)->SecurityQualityOfService = nullptr;                                                                       \
    } while (0)

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef VOID(NTAPI *PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;

static_assert(sizeof(WCHAR) == 2, "WCHAR is a 16-bit UTF-16 unit");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(DWORD) == 4, "LLP64 longs");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER layout");
static_assert(sizeof(UNICODE_STRING) == NT_LAYOUT(16, 8) && offsetof(UNICODE_STRING, Buffer) == NT_LAYOUT(8, 4),
              "UNICODE_STRING layout");
static_assert(sizeof(ANSI_STRING) == NT_LAYOUT(16, 8), "ANSI_STRING layout");
static_assert(sizeof(OBJECT_ATTRIBUTES) == NT_LAYOUT(48, 24) &&
                  offsetof(OBJECT_ATTRIBUTES, ObjectName) == NT_LAYOUT(16, 8) &&
                  offsetof(OBJECT_ATTRIBUTES, Attributes) == NT_LAYOUT(24, 12),
              "OBJECT_ATTRIBUTES layout");
static_assert(sizeof(IO_STATUS_BLOCK) == NT_LAYOUT(16, 8) && offsetof(IO_STATUS_BLOCK, Information) == NT_LAYOUT(8, 4),
              "IO_STATUS_BLOCK layout");
