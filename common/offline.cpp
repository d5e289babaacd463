// The Win32-style routines of the boot-time programs over the native API:
// files, registry, text conversion and the saved command line. Only what the
// programs rely on is provided; each routine says where it departs from Win32.
#include "frame.h"

#include <cstring>

WCHAR *pCommandLine = nullptr;
static HGLOBAL hCommandLine = nullptr;

// Longest NT object name CreateFile and DeleteFile build.
#define OBJECT_NAME_CHARS 1024
// Longest registry key path, "\Registry\Machine\" included.
#define KEY_PATH_CHARS 255
// Query buffer of RegQueryValueEx: the partial-information header and the data.
#define VALUE_QUERY_BYTES 528

// ------------------------------------------------------------------- names

// Builds the NT name of a Win32 file or volume name into object (capacity in
// characters): "\\.\X:..." becomes "\DosDevices\X:...", anything else
// "\DosDevices\<name>". FALSE when the name is null or too long.
static BOOL BuildObjectName(LPCWSTR name, WCHAR *object, size_t capacity) {
    const WCHAR *rest;
    size_t need;

    if (name == nullptr) return FALSE;
    if (name[0] == u'\\' && name[1] == u'\\' && name[2] == u'.')
        rest = name + 3;  // keeps the backslash before the drive
    else
        rest = nullptr;
    need = wcslen(u"\\DosDevices") + (rest ? wcslen(rest) : 1 + wcslen(name));
    if (need + 1 > capacity || need * sizeof(WCHAR) > 0xFFFC) return FALSE;
    if (rest)
        swprintf(object, u"\\DosDevices%s", rest);
    else
        swprintf(object, u"\\DosDevices\\%s", name);
    return TRUE;
}

// Makes a counted string of a registry value name (null is the default value).
static void InitValueName(UNICODE_STRING *out, LPCWSTR name) {
    if (name == nullptr) {
        out->Length = 0;
        out->MaximumLength = 0;
        out->Buffer = nullptr;
        return;
    }
    RtlInitUnicodeString(out, name);
}

// ------------------------------------------------------------------- files

// Opens or creates a file or volume.
//   name         Win32 name: "\\.\C:" is the volume itself, "C:\dir\file" a file
//   access       desired access (the synchronize right is added)
//   share        share access, passed through
//   security, templateFile   ignored
//   disposition  CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS,
//                TRUNCATE_EXISTING
//   flags        FILE_FLAG_* (create options) and FILE_ATTRIBUTE_* bits;
//                FILE_FLAG_OVERLAPPED is not needed: every handle completes
//                its I/O through a wait on the handle
// Returns the handle (the caller closes it with CloseHandle), or
// INVALID_HANDLE_VALUE when the native call fails with an error status.
HANDLE CreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                  DWORD flags, HANDLE templateFile) {
    WCHAR object[OBJECT_NAME_CHARS];
    UNICODE_STRING objectName;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK iosb;
    HANDLE handle = nullptr;
    ULONG ntDisposition;
    ULONG options = 0;
    NTSTATUS status;

    switch (disposition) {
    case CREATE_NEW:
        ntDisposition = FILE_CREATE;
        break;
    case CREATE_ALWAYS:
        ntDisposition = FILE_OVERWRITE_IF;
        break;
    case OPEN_EXISTING:
        ntDisposition = FILE_OPEN;
        break;
    case OPEN_ALWAYS:
        ntDisposition = FILE_OPEN_IF;
        break;
    case TRUNCATE_EXISTING:
        ntDisposition = FILE_OVERWRITE;
        break;
    default:
        return INVALID_HANDLE_VALUE;
    }
    if (flags & FILE_FLAG_WRITE_THROUGH) options |= FILE_WRITE_THROUGH;
    if (flags & FILE_FLAG_NO_BUFFERING) options |= FILE_NO_INTERMEDIATE_BUFFERING;
    if (flags & FILE_FLAG_RANDOM_ACCESS) options |= FILE_RANDOM_ACCESS;
    if (flags & FILE_FLAG_SEQUENTIAL_SCAN) options |= FILE_SEQUENTIAL_ONLY;
    if (flags & FILE_FLAG_DELETE_ON_CLOSE) options |= FILE_DELETE_ON_CLOSE;
    if (flags & FILE_FLAG_BACKUP_SEMANTICS) options |= FILE_OPEN_FOR_BACKUP_INTENT | FILE_DIRECTORY_FILE;

    if (!BuildObjectName(name, object, OBJECT_NAME_CHARS)) return INVALID_HANDLE_VALUE;
    RtlInitUnicodeString(&objectName, object);
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    memset(&iosb, 0, sizeof iosb);
    status = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &iosb, nullptr, flags & 0x19A7, share,
                          ntDisposition, options, nullptr, 0);
    if (NT_ERROR(status) || handle == nullptr) return INVALID_HANDLE_VALUE;
    return handle;
}

// Closes a handle of CreateFile; TRUE when the native call succeeds.
BOOL CloseHandle(HANDLE handle) { return NT_SUCCESS(NtClose(handle)) ? TRUE : FALSE; }

// Deletes a file named as for CreateFile; TRUE when the native call succeeds.
BOOL DeleteFile(LPCWSTR name) {
    WCHAR object[OBJECT_NAME_CHARS];
    UNICODE_STRING objectName;
    OBJECT_ATTRIBUTES attributes;

    if (!BuildObjectName(name, object, OBJECT_NAME_CHARS)) return FALSE;
    RtlInitUnicodeString(&objectName, object);
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return NT_SUCCESS(NtDeleteFile(&attributes)) ? TRUE : FALSE;
}

// Byte offset of a transfer: from the overlapped record, else -1,-1 (for a
// write: append at the end of the file).
static LARGE_INTEGER TransferOffset(LPOVERLAPPED overlapped) {
    LARGE_INTEGER offset;

    if (overlapped != nullptr) {
        offset.LowPart = overlapped->Offset;
        offset.HighPart = (LONG)overlapped->OffsetHigh;
    } else {
        offset.LowPart = FILE_WRITE_TO_END_OF_FILE;
        offset.HighPart = -1;
    }
    return offset;
}

// One read or write, completed by waiting on the handle when it pends.
static BOOL Transfer(BOOL write, HANDLE handle, void *buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER offset = TransferOffset(overlapped);
    NTSTATUS status;

    memset(&iosb, 0, sizeof iosb);
    if (done != nullptr) *done = 0;
    if (write)
        status = NtWriteFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, count, &offset, nullptr);
    else
        status = NtReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, count, &offset, nullptr);
    if (status == STATUS_PENDING) {
        if (!NT_SUCCESS(NtWaitForSingleObject(handle, FALSE, nullptr))) return FALSE;
        status = iosb.Status;
    }
    if (done != nullptr) *done = (DWORD)iosb.Information;
    return NT_SUCCESS(status) ? TRUE : FALSE;
}

// Reads count bytes at the overlapped record's offset into buffer; *done =
// bytes read. TRUE when the final status is not an error or warning.
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    return Transfer(FALSE, handle, buffer, count, done, overlapped);
}

// Writes count bytes at the overlapped record's offset (without one: at the
// end of the file); *done = bytes written.
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    return Transfer(TRUE, handle, const_cast<void *>(buffer), count, done, overlapped);
}

// Flushes a file or volume; the standard-handle numbers name the process's
// standard handles.
BOOL FlushFileBuffers(HANDLE handle) {
    IO_STATUS_BLOCK iosb;
    PRTL_USER_PROCESS_PARAMETERS params = NtCurrentPeb()->ProcessParameters;

    if (params != nullptr) {
        if (handle == (HANDLE)(LONG_PTR)(LONG)STD_INPUT_HANDLE)
            handle = params->StandardInput;
        else if (handle == (HANDLE)(LONG_PTR)(LONG)STD_OUTPUT_HANDLE)
            handle = params->StandardOutput;
        else if (handle == (HANDLE)(LONG_PTR)(LONG)STD_ERROR_HANDLE)
            handle = params->StandardError;
    }
    memset(&iosb, 0, sizeof iosb);
    return NT_SUCCESS(NtFlushBuffersFile(handle, &iosb)) ? TRUE : FALSE;
}

// ---------------------------------------------------------------- registry

// Opens "\Registry\Machine\<subkey>" with the requested access. Only
// HKEY_LOCAL_MACHINE is served: another root gives the error report and 87
// without touching the registry. Returns 0 and the key in *result (closed
// with RegCloseKey), or the failing status with the error report.
LONG RegOpenKeyEx(HKEY root, LPCWSTR subkey, DWORD options, ACCESS_MASK access, PHKEY result) {
    WCHAR path[KEY_PATH_CHARS + 1];
    UNICODE_STRING keyName;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = nullptr;
    NTSTATUS status;
    int written;

    if (root != HKEY_LOCAL_MACHINE) {
        ERROR_REPORT();
        return ERROR_INVALID_PARAMETER;
    }
    written = _snwprintf(path, KEY_PATH_CHARS, u"%s%s", u"\\Registry\\Machine\\", subkey ? subkey : u"");
    if (written < 0) {
        // A cut path would name another key.
        ERROR_REPORT();
        return STATUS_OBJECT_NAME_INVALID;
    }
    path[KEY_PATH_CHARS] = 0;
    RtlInitUnicodeString(&keyName, path);
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    status = NtOpenKey(&key, access, &attributes);
    if (!NT_SUCCESS(status)) {
        ERROR_REPORT();
        return status;
    }
    *result = (HKEY)key;
    return ERROR_SUCCESS;
}

// Reads a value of an open key (values of up to 516 bytes).
//   type   optional: receives the value's type
//   data   optional: receives the data; *size must then give the buffer's
//          size in bytes, and nothing is copied past it (ERROR_MORE_DATA
//          when the data does not fit)
//   size   receives the size of the partial-information record: the data
//          length plus 12, so that a buffer sized from it always fits
// Returns 0, or the failing status with the error report.
LONG RegQueryValueEx(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        BYTE bytes[VALUE_QUERY_BYTES];
    } query;
    UNICODE_STRING valueName;
    ULONG resultLength = 0;
    ULONG dataLength;
    NTSTATUS status;

    InitValueName(&valueName, name);
    memset(&query, 0, sizeof query);
    status = NtQueryValueKey((HANDLE)key, &valueName, KeyValuePartialInformation, &query, sizeof query, &resultLength);
    if (!NT_SUCCESS(status)) {
        ERROR_REPORT();
        return status;
    }
    dataLength = query.info.DataLength;
    if (dataLength > VALUE_QUERY_BYTES - offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data)) {
        ERROR_REPORT();
        return STATUS_BUFFER_OVERFLOW;
    }
    if (type != nullptr) *type = query.info.Type;
    if (data != nullptr) {
        if (size == nullptr) return ERROR_INVALID_PARAMETER;
        if (*size < dataLength) {
            *size = dataLength + offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
            return ERROR_MORE_DATA;
        }
        memcpy(data, query.info.Data, dataLength);
    }
    if (size != nullptr) *size = dataLength + offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    return ERROR_SUCCESS;
}

// Writes a value of an open key. Returns 0, or the status with the report.
LONG RegSetValueEx(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size) {
    UNICODE_STRING valueName;
    NTSTATUS status;

    InitValueName(&valueName, name);
    status = NtSetValueKey((HANDLE)key, &valueName, 0, type, const_cast<BYTE *>(data), size);
    if (!NT_SUCCESS(status)) {
        ERROR_REPORT();
        return status;
    }
    return ERROR_SUCCESS;
}

// Closes a key of RegOpenKeyEx. Returns 0, or the status with the report.
LONG RegCloseKey(HKEY key) {
    NTSTATUS status = NtClose((HANDLE)key);
    if (!NT_SUCCESS(status)) {
        ERROR_REPORT();
        return status;
    }
    return ERROR_SUCCESS;
}

// -------------------------------------------------------------------- text

// Converts a terminated ANSI text (length must be -1; any other length gives
// 0) into wide, which holds capacity characters with the terminator. A text
// that does not fit is cut at capacity - 1 characters. Returns the characters
// stored, without the terminator. Codepage and flags are ignored: the
// system's ANSI code page is used.
int MultiByteToWideChar(UINT codepage, DWORD flags, LPCSTR text, int length, LPWSTR wide, int capacity) {
    ANSI_STRING ansi;
    UNICODE_STRING unicode;
    size_t bytes;
    int count;

    if (length != -1 || text == nullptr || wide == nullptr || capacity <= 0) return 0;
    // Only what can be stored needs converting: one character per ANSI byte.
    bytes = strlen(text);
    if (bytes > (size_t)(capacity - 1)) bytes = (size_t)(capacity - 1);
    if (bytes > 0x7FFE) bytes = 0x7FFE;
    ansi.Buffer = const_cast<PCHAR>(text);
    ansi.Length = (USHORT)bytes;
    ansi.MaximumLength = (USHORT)bytes;
    memset(&unicode, 0, sizeof unicode);
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&unicode, &ansi, TRUE))) {
        wide[0] = 0;
        return 0;
    }
    count = unicode.Length / (int)sizeof(WCHAR);
    if (count > capacity - 1) count = capacity - 1;
    memcpy(wide, unicode.Buffer, (size_t)count * sizeof(WCHAR));
    wide[count] = 0;
    RtlFreeUnicodeString(&unicode);
    return count;
}

// A value whose upper bits above 16 are zero is one character: returns its
// upper case. Otherwise upper-cases the terminated string in place and
// returns it.
LPWSTR CharUpper(LPWSTR arg) {
    WCHAR *p;

    if (((ULONG_PTR)arg >> 16) == 0) return (LPWSTR)(ULONG_PTR)RtlUpcaseUnicodeChar((WCHAR)(ULONG_PTR)arg);
    for (p = arg; *p; p++) *p = RtlUpcaseUnicodeChar(*p);
    return arg;
}

// Copies the source text (a WCHAR string) into buffer (size characters with
// the terminator, cut when longer) and returns 1: nothing is formatted.
DWORD FormatMessage(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR buffer, DWORD size,
                    va_list *arguments) {
    const WCHAR *text = source ? (const WCHAR *)source : u"";
    size_t count;

    if (buffer == nullptr || size == 0) return 1;
    count = wcsnlen(text, size - 1);
    memcpy(buffer, text, count * sizeof(WCHAR));
    buffer[count] = 0;
    return 1;
}

// The Win32 error state of the process (one thread): the last value set.
static DWORD dwLastError = 0;
void SetLastError(DWORD error) { dwLastError = error; }
DWORD GetLastError(void) { return dwLastError; }

// ------------------------------------------------------------ command line

// Converts each argument from ANSI to UTF-16 and keeps them joined, each
// followed by one blank, in pCommandLine for the rest of the process (a
// second call replaces the first text). FALSE with the error report when
// memory runs out.
BOOL SaveCommandLine(int argc, char **argv) {
    UNICODE_STRING *converted = nullptr;
    HGLOBAL hConverted = nullptr;
    HGLOBAL hLine = nullptr;
    WCHAR *line = nullptr;
    size_t chars = 1;
    BOOL ok = FALSE;
    int i;

    if (argc < 0 || (argc > 0 && argv == nullptr)) argc = 0;
    if (argc > 0 && !AllocateMemory((DWORD)(argc * sizeof(UNICODE_STRING)), &hConverted, (void **)&converted)) {
        ERROR_REPORT();
        return FALSE;
    }
    for (i = 0; i < argc; i++) {
        ANSI_STRING ansi;
        size_t bytes = argv[i] ? strlen(argv[i]) : 0;
        if (bytes > 0x7FFE) bytes = 0x7FFE;  // a counted string's limit
        ansi.Buffer = argv[i];
        ansi.Length = (USHORT)bytes;
        ansi.MaximumLength = (USHORT)bytes;
        if (bytes > 0 && !NT_SUCCESS(RtlAnsiStringToUnicodeString(&converted[i], &ansi, TRUE))) {
            ERROR_REPORT();
            goto done;
        }
        chars += converted[i].Length / sizeof(WCHAR) + 1;
    }
    if (chars * sizeof(WCHAR) > 0xFFFFFFFF || !AllocateMemory((DWORD)(chars * sizeof(WCHAR)), &hLine, (void **)&line)) {
        ERROR_REPORT();
        goto done;
    }
    chars = 0;
    for (i = 0; i < argc; i++) {
        size_t n = converted[i].Length / sizeof(WCHAR);
        if (n) memcpy(line + chars, converted[i].Buffer, n * sizeof(WCHAR));
        chars += n;
        line[chars++] = u' ';
    }
    line[chars] = 0;
    if (hCommandLine != nullptr) {
        GlobalUnlock(hCommandLine);
        GlobalFree(hCommandLine);
    }
    hCommandLine = hLine;
    pCommandLine = line;
    ok = TRUE;

done:
    for (i = 0; i < argc; i++)
        if (converted[i].Buffer != nullptr) RtlFreeUnicodeString(&converted[i]);
    if (hConverted != nullptr) {
        GlobalUnlock(hConverted);
        GlobalFree(hConverted);
    }
    return ok;
}

// The saved command line; without one, the error report and null.
WCHAR *GetCommandLine(void) {
    if (pCommandLine == nullptr) ERROR_REPORT();  // the report itself never asks for it
    return pCommandLine;
}
