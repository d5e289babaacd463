// The native API of the emulated NT machine: registry, process, system
// information, heap, counted strings and the system calls the boot-time
// programs make. Everything here is implemented by platform/.
#pragma once

#include "ntdef.h"
#include "ntioapi.h"
#include "ntstatus.h"

// ---------------------------------------------------------------- registry
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ 0x00020019
#define KEY_WRITE 0x00020006
#define KEY_ALL_ACCESS 0x000F003F

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

// NtCreateKey Disposition.
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_OPTION_VOLATILE 0x00000001

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;  // 0x00
    ULONG Type;        // 0x04
    ULONG DataLength;  // 0x08
    UCHAR Data[1];     // 0x0C
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "partial information layout");

NTSYSAPI NTSTATUS NTAPI NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS NTAPI NtCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSYSAPI NTSTATUS NTAPI NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                        ULONG Length, PULONG ResultLength);
NTSYSAPI NTSTATUS NTAPI NtSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                      PVOID Data, ULONG DataSize);
NTSYSAPI NTSTATUS NTAPI NtDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);

// ------------------------------------------------------------ files, I/O
NTSYSAPI NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                     ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                                     ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
NTSYSAPI NTSTATUS NTAPI NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                   PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions);
NTSYSAPI NTSTATUS NTAPI NtClose(HANDLE Handle);
NTSYSAPI NTSTATUS NTAPI NtDeleteFile(POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                   PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER ByteOffset, PULONG Key);
NTSYSAPI NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                    PLARGE_INTEGER ByteOffset, PULONG Key);
NTSYSAPI NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSYSAPI NTSTATUS NTAPI NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);
NTSYSAPI NTSTATUS NTAPI NtQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                     PVOID FsInformation, ULONG Length,
                                                     FS_INFORMATION_CLASS FsInformationClass);
NTSYSAPI NTSTATUS NTAPI NtFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                        PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode, PVOID InputBuffer,
                                        ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);

// --------------------------------------------------------------- process
typedef struct _CURDIR {
    UNICODE_STRING DosPath;
    HANDLE Handle;
} CURDIR, *PCURDIR;

// The leading part of the Windows record, through Environment, with the
// Windows offsets (x64 shown).
typedef struct _RTL_USER_PROCESS_PARAMETERS {
    ULONG MaximumLength;           // 0x00
    ULONG Length;                  // 0x04
    ULONG Flags;                   // 0x08
    ULONG DebugFlags;              // 0x0C
    HANDLE ConsoleHandle;          // 0x10
    ULONG ConsoleFlags;            // 0x18
    HANDLE StandardInput;          // 0x20
    HANDLE StandardOutput;         // 0x28
    HANDLE StandardError;          // 0x30
    CURDIR CurrentDirectory;       // 0x38
    UNICODE_STRING DllPath;        // 0x50
    UNICODE_STRING ImagePathName;  // 0x60
    UNICODE_STRING CommandLine;    // 0x70
    PVOID Environment;             // 0x80
} RTL_USER_PROCESS_PARAMETERS, *PRTL_USER_PROCESS_PARAMETERS;
static_assert(offsetof(RTL_USER_PROCESS_PARAMETERS, ImagePathName) == NT_LAYOUT(0x60, 0x38),
              "process parameters layout");
static_assert(offsetof(RTL_USER_PROCESS_PARAMETERS, CommandLine) == NT_LAYOUT(0x70, 0x40), "process parameters layout");

// Process parameters flag: the strings hold pointers, not offsets.
#define RTL_USER_PROC_PARAMS_NORMALIZED 0x00000001

typedef struct _PEB {
    BOOLEAN InheritedAddressSpace;                   // 0x00
    BOOLEAN ReadImageFileExecOptions;                // 0x01
    BOOLEAN BeingDebugged;                           // 0x02
    BOOLEAN SpareBool;                               // 0x03
    HANDLE Mutant;                                   // 0x08
    PVOID ImageBaseAddress;                          // 0x10
    PVOID Ldr;                                       // 0x18
    PRTL_USER_PROCESS_PARAMETERS ProcessParameters;  // 0x20
    PVOID SubSystemData;                             // 0x28
    PVOID ProcessHeap;                               // 0x30
} PEB, *PPEB;
static_assert(offsetof(PEB, ProcessParameters) == NT_LAYOUT(0x20, 0x10) &&
                  offsetof(PEB, ProcessHeap) == NT_LAYOUT(0x30, 0x18),
              "PEB layout");

// NtCurrentPeb() (nt/target.h) gives the running program's PEB.
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#define RtlProcessHeap() (NtCurrentPeb()->ProcessHeap)

// The program's process entry, supplied by the program (not the platform).
// The platform's Linux process start builds the PEB and calls it.
extern "C" void NtProcessStartup(PPEB Peb);

NTSYSAPI NTSTATUS NTAPI NtTerminateProcess(HANDLE ProcessHandle, NTSTATUS ExitStatus);
NTSYSAPI VOID NTAPI DbgBreakPoint(void);
NTSYSAPI ULONG DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));

// ------------------------------------------------- screen, time, shutdown
NTSYSAPI NTSTATUS NTAPI NtDisplayString(PUNICODE_STRING String);
// Interval: negative = relative, in 100 ns units; scaled by NT_TIME_SCALE.
// INFINITE_DELAY (or a null interval) waits until the process is signalled.
NTSYSAPI NTSTATUS NTAPI NtDelayExecution(BOOLEAN Alertable, PLARGE_INTEGER DelayInterval);
#define NT_INFINITE_DELAY ((LONGLONG)0x8000000000000000LL)

#define SE_SHUTDOWN_PRIVILEGE 19
NTSYSAPI NTSTATUS NTAPI RtlAdjustPrivilege(ULONG Privilege, BOOLEAN Enable, BOOLEAN CurrentThread, PBOOLEAN Enabled);

typedef enum _SHUTDOWN_ACTION {
    ShutdownNoReboot = 0,
    ShutdownReboot = 1,
    ShutdownPowerOff = 2,
} SHUTDOWN_ACTION;
// Records the request in the machine (file "reboot" in the machine folder)
// and ends the process. Needs the shutdown privilege.
NTSYSAPI NTSTATUS NTAPI NtShutdownSystem(SHUTDOWN_ACTION Action);

// ------------------------------------------------------ system information
typedef enum _SYSTEM_INFORMATION_CLASS {
    SystemBasicInformation = 0,
    SystemProcessorInformation = 1,
    SystemPerformanceInformation = 2,
} SYSTEM_INFORMATION_CLASS;

typedef struct _SYSTEM_BASIC_INFORMATION {
    ULONG Reserved;                          // 0x00
    ULONG TimerResolution;                   // 0x04
    ULONG PageSize;                          // 0x08
    ULONG NumberOfPhysicalPages;             // 0x0C
    ULONG LowestPhysicalPageNumber;          // 0x10
    ULONG HighestPhysicalPageNumber;         // 0x14
    ULONG AllocationGranularity;             // 0x18
    ULONG_PTR MinimumUserModeAddress;        // 0x20
    ULONG_PTR MaximumUserModeAddress;        // 0x28
    ULONG_PTR ActiveProcessorsAffinityMask;  // 0x30
    CCHAR NumberOfProcessors;                // 0x38
} SYSTEM_BASIC_INFORMATION, *PSYSTEM_BASIC_INFORMATION;
static_assert(sizeof(SYSTEM_BASIC_INFORMATION) == NT_LAYOUT(64, 44), "SYSTEM_BASIC_INFORMATION layout");

// The leading fields of the Windows record; the platform fills the record
// up to its full Windows size (0x138 bytes) with zeroes past AvailablePages.
typedef struct _SYSTEM_PERFORMANCE_INFORMATION {
    LARGE_INTEGER IdleProcessTime;       // 0x00
    LARGE_INTEGER IoReadTransferCount;   // 0x08
    LARGE_INTEGER IoWriteTransferCount;  // 0x10
    LARGE_INTEGER IoOtherTransferCount;  // 0x18
    ULONG IoReadOperationCount;          // 0x20
    ULONG IoWriteOperationCount;         // 0x24
    ULONG IoOtherOperationCount;         // 0x28
    ULONG AvailablePages;                // 0x2C
    ULONG CommittedPages;                // 0x30
    ULONG CommitLimit;                   // 0x34
    ULONG PeakCommitment;                // 0x38
    UCHAR Reserved[0x138 - 0x3C];
} SYSTEM_PERFORMANCE_INFORMATION, *PSYSTEM_PERFORMANCE_INFORMATION;
static_assert(offsetof(SYSTEM_PERFORMANCE_INFORMATION, AvailablePages) == 0x2C, "performance layout");
static_assert(sizeof(SYSTEM_PERFORMANCE_INFORMATION) == 0x138, "performance layout");

NTSYSAPI NTSTATUS NTAPI NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass,
                                                 PVOID SystemInformation, ULONG SystemInformationLength,
                                                 PULONG ReturnLength);

// ------------------------------------------------------------------- heap
#define HEAP_NO_SERIALIZE 0x00000001
#define HEAP_GENERATE_EXCEPTIONS 0x00000004
#define HEAP_ZERO_MEMORY 0x00000008

NTSYSAPI PVOID NTAPI RtlAllocateHeap(PVOID HeapHandle, ULONG Flags, SIZE_T Size);
NTSYSAPI BOOLEAN NTAPI RtlFreeHeap(PVOID HeapHandle, ULONG Flags, PVOID BaseAddress);
// The size the block was allocated with, exactly; (SIZE_T)-1 for an
// address the heap does not know.
NTSYSAPI SIZE_T NTAPI RtlSizeHeap(PVOID HeapHandle, ULONG Flags, PVOID BaseAddress);
NTSYSAPI PVOID NTAPI RtlReAllocateHeap(PVOID HeapHandle, ULONG Flags, PVOID BaseAddress, SIZE_T Size);

// ---------------------------------------------------------- counted strings
NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
// ANSI here is the machine's ANSI code page, Windows-1252.
NTSYSAPI NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
NTSYSAPI BOOLEAN NTAPI RtlCreateUnicodeStringFromAsciiz(PUNICODE_STRING DestinationString, PCSZ SourceString);
NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);
NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive);
